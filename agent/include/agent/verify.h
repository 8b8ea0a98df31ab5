// Checks an image against the workload's log: the image must equal the base pattern plus a
// prefix of the log, and the prefix must end inside the window in which the snapshot was taken.
#pragma once
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "agent/workload.h"

namespace agent {

// Prefix bounds [lo, hi] for a snapshot taken between t_before and t_after: the first lo
// writes completed before t_before; writes after the hi-th were issued after t_after.
std::pair<size_t, size_t> freeze_bracket(const std::vector<WriteEntry> &log, int64_t t_before,
                                         int64_t t_after);

struct VerifyResult {
  bool ok = false;
  size_t cut = 0;            // the prefix length the image matches
  uint64_t bad_sectors = 0;  // sectors that match no admissible prefix
  std::string detail;        // first mismatch, in words
};

// `log` must hold at least the first `hi` writes. Reads the image through `read`.
VerifyResult verify_image(const ReadFn &read, uint64_t nr_sects, uint64_t salt,
                          const std::vector<WriteEntry> &log, size_t lo, size_t hi);

}  // namespace agent
