// Full and incremental backups of a device through its snapshot.
#pragma once
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "agent/changes.h"
#include "agent/control.h"
#include "agent/follow.h"
#include "agent/progress.h"
#include "agent/snapshot.h"

namespace agent {

struct BackupOptions {
  std::string device;             // "sda1", for messages and the image record
  uint32_t major = 0, minor = 0;  // its numbers
  uint64_t nr_sects = 0;          // its size
  std::string out;                // the image file
  bool incremental = false;       // copy only the chunks changed since the last backup to `out`
  bool tracking = true;           // keep change tracking for later incrementals
  WorkerOptions workers;
  size_t read_block = 1u << 20;  // bytes per read of the snapshot device
  FILE *progress = nullptr;      // where the bar goes (drawn only on a terminal)
  // Set (to a signal number) when the backup is to end early: the copy stops, the session is
  // stopped, and the backup fails saying why.
  const std::atomic<int> *cancel = nullptr;
  bool force_progress = false;   // draw even when not a terminal
  ProgressBar::Sink progress_sink;  // instead of `progress`: the bar is drawn elsewhere
  // Called with the running snapshot before the copy starts (the demo notes the freeze window).
  std::function<void(Snapshot &)> on_started;
  // Called after the queued change records were taken and just before the snapshot starts.
  std::function<void()> before_start;
  // Called once the image is written, before the session's health decides whether it counts.
  std::function<void(Snapshot &)> after_copy;
  // Told, a sentence each, what was done to the image's files before the backup began (what an
  // interrupted backup left, rolled back or removed); also in BackupResult::recovered.
  std::function<void(const std::string &)> note;
};

struct BackupResult {
  bool incremental = false;     // false also when an incremental fell back to a full backup
  std::string fallback_reason;  // why an asked-for incremental became a full backup
  int session_id = 0;
  StartReply start;
  int64_t start_called_ns = 0, start_returned_ns = 0;
  uint64_t bytes_copied = 0;
  uint64_t chunks_copied = 0;  // chunks written to the image (all of them for a full backup)
  uint64_t chunks_total = 0;
  uint64_t chunks_preserved = 0;  // chunks the driver copied aside while the backup ran
  double copy_seconds = 0;
  uint64_t hole_bytes = 0;  // of all-zero chunks, left as holes in the image
  std::string workers_short;  // "" when every IO worker asked for was lent to the driver
  uint64_t records_drained = 0;
  bool tracking_intact = false;  // an incremental can follow this backup in this machine
  std::string stopped_backing_file;
  uint64_t generation = 0;
  std::vector<std::string> recovered;  // what recover_image did first
};

// The agent of one machine: the control handle (kept open, so tracking stays intact) and the
// change tracker that follows the devices it backed up.
class Agent {
 public:
  explicit Agent(RecordFormat f = RecordFormat::v2);
  ~Agent();
  Control &control() { return ctl_; }
  ChangeTracker &tracker() { return tracker_; }
  // From now on a thread of its own fetches the change records (the service's way); without
  // it, each backup drains the queue itself.
  void follow(int batch = 4096);
  ChangeFollower *follower() { return follower_.get(); }
  // Every record queued before the call is in the tracker when it returns.
  void settle();
  BackupResult backup(const BackupOptions &opt);
  // The service's watch on sessions it did not start: a start with tracking makes its device's
  // tracking a fresh baseline in the driver, which hides a break no fetch has reported yet; so
  // every such start found in the kernel log breaks its device here. From `log_start` lines on.
  void watch_starts(size_t log_start);
  void note_foreign_starts();
  // A session kept running (`snapshot`). Its start makes the device's tracking a fresh
  // baseline, which would hide a break not yet seen; so the queue is settled first.
  std::unique_ptr<Snapshot> snapshot(const SnapshotOptions &so);

 private:
  Control ctl_;
  ControlChanges src_;
  ChangeTracker tracker_;
  std::unique_ptr<ChangeFollower> follower_;
  std::unique_ptr<Snapshot> start_own(const SnapshotOptions &so);
  bool watching_starts_ = false;
  std::mutex start_mu_;          // held over our starts and over a scan of the log
  size_t log_seen_ = 0;          // start_mu_: kernel log lines looked at
  std::multiset<int> own_ids_;   // start_mu_: ids our starts got, not yet seen in the log
  std::optional<uint64_t> delivered_base_;  // records handed out to others before our first drain
  uint64_t drained_ = 0;                    // records our drains took
};

// Lines of the summary printed after a backup.
std::string format_summary(const BackupOptions &opt, const BackupResult &r);

// Gives the calling thread an agent name ("qel-...") unless it has one: the driver tells the
// agent's opens of a snapshot device from others' by that name.
void ensure_agent_thread_name(const char *name = "qel-agent");

}  // namespace agent
