// A writer workload whose every write can be told apart afterwards, so a backup can be checked
// bit for bit against the device's content at its snapshot instant.
//
// Each 512-byte sector a write puts down names the write (its sequence number) and the sector
// it belongs to; the rest of the sector is a pseudo-random function of both and of a salt.
// Sequence 0 is the base pattern the device is prefilled with. One writer thread issues the
// writes one after another, so the device's content at any instant is the base plus a prefix
// of the write log.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <sys/types.h>

namespace agent {

int64_t now_ns();  // steady clock, shared by the workload and the backup's freeze bracket

void fill_sector(uint8_t *out, uint32_t seq, uint64_t sector, uint64_t salt);
// The sequence number stamped in a sector, or -1 when the sector is not a workload sector
// of that position and salt.
int64_t sector_seq(const uint8_t *in, uint64_t sector, uint64_t salt);

struct WriteEntry {
  uint32_t seq;
  uint64_t sector;  // first sector, relative to the device
  uint32_t nr_sects;
  int64_t issued_ns;  // just before the write was issued
  int64_t done_ns;    // just after it completed
};

class WriteLog {
 public:
  void append(const WriteEntry &e);
  std::vector<WriteEntry> snapshot() const;
  size_t size() const;

 private:
  mutable std::mutex mu_;
  std::vector<WriteEntry> entries_;
};

using WriteFn = std::function<ssize_t(const void *buf, size_t len, off_t off)>;
using ReadFn = std::function<ssize_t(void *buf, size_t len, off_t off)>;

// Writes the base pattern over the whole device; throws Error on a failed write.
void prefill(const WriteFn &write, uint64_t nr_sects, uint64_t salt);

struct WorkloadOptions {
  uint64_t nr_sects = 0;   // device size
  uint32_t min_sects = 8;  // write sizes, in sectors, multiples of 8 (4 KiB)
  uint32_t max_sects = 128;
  unsigned pause_us = 500;  // pause between writes
  // When set, writes are issued at this many a second (pause_us is then unused), so the
  // number of writes over a time no longer depends on how fast each completes.
  unsigned writes_per_s = 0;
  uint64_t seed = 1;
  uint64_t salt = 0;
  std::string thread_name = "writer";  // an ordinary application, not the agent
};

class Workload {
 public:
  Workload(WriteFn write, WorkloadOptions opt);
  ~Workload();
  void start();
  void stop();  // joins; safe to call twice
  const WriteLog &log() const { return log_; }
  uint64_t writes() const { return log_.size(); }
  // Non-empty once a write failed; the writer stops at the first failure.
  std::string error() const;

 private:
  void run();
  WriteFn write_;
  WorkloadOptions opt_;
  WriteLog log_;
  std::atomic<bool> stop_{false};
  std::thread thr_;
  mutable std::mutex err_mu_;
  std::string error_;
};

}  // namespace agent
