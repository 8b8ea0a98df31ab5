// The live-backup demonstration: a fresh machine, a disk image with two partitions, a writer
// on the mounted one, a full and then an incremental backup taken while it writes, and each
// backup checked bit for bit against the partition at its snapshot instant.
#pragma once
#include <cstdint>
#include <cstdio>
#include <ostream>
#include <string>

#include "agent/changes.h"

namespace agent {

struct DemoOptions {
  uint64_t disk_bytes = 256ull << 20;
  int workers = 4;
  size_t buffer_size = 1u << 20;
  unsigned pause_us = 1500;  // between the writer's writes
  unsigned settle_ms = 300;  // writing before the first backup and between the two
  std::string dir;           // "" = a new directory under $TMPDIR or /tmp, removed at the end
  bool keep = false;         // keep the directory (and say where it is)
  RecordFormat format = RecordFormat::v2;
  FILE *progress = stderr;
  uint64_t seed = 0;  // 0 = from the clock; printed so a run can be repeated
  std::string disk_reorder;  // the disk reorders its bios, as DiskOptions::reorder; "" = in order
};

// Returns the process exit code: 0 when every check passed, 1 when one failed or the demo
// could not run.
int run_demo(const DemoOptions &opt, std::ostream &out, std::ostream &err);

}  // namespace agent
