// One snapshot session with its IO workers, from start to stop.
#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "agent/control.h"
#include "agent/workers.h"

namespace agent {

struct SnapshotOptions {
  StartParams start;  // backing_stem is filled in from workers.dir when empty
  WorkerOptions workers;
};

struct StopSummary {
  StopReply reply;
  std::string error_text;  // the session's error reason seen just before the stop; "" if healthy
  uint64_t chunks_preserved = 0;
};

class Snapshot {
 public:
  // Starts the session, lends it the workers and waits for the first to register. On any
  // failure the session is stopped again and Error says why.
  Snapshot(Control &ctl, const SnapshotOptions &opt);
  ~Snapshot();
  Snapshot(const Snapshot &) = delete;
  Snapshot &operator=(const Snapshot &) = delete;

  int id() const { return reply_.id; }
  const StartReply &reply() const { return reply_; }
  std::string vek_path() const;  // the snapshot device's path in sys()
  // Steady-clock instants just before the start command and just after it returned: the
  // snapshot instant lies between them.
  int64_t start_called_ns() const { return t_called_; }
  int64_t start_returned_ns() const { return t_returned_; }

  // The IO workers lent to the driver, of those asked for, and why the others were not.
  int workers_lent() const;
  std::vector<std::string> worker_problems() const;
  // "" when every worker asked for was lent, else "3 of 4 IO workers (worker 3: ...)".
  std::string workers_short() const;

  std::optional<session_list> info();  // nullopt once the session is gone
  std::string error_text();            // "" while healthy
  bool stopped() const { return stopped_; }

  // Stops the session and waits for its workers. Throws Error when the driver refuses.
  StopSummary stop();

 private:
  Control &ctl_;
  StartReply reply_;
  std::unique_ptr<WorkerPool> pool_;
  int asked_workers_ = 0;
  int64_t t_called_ = 0, t_returned_ = 0;
  std::string backing_file_;  // as the driver stored it: with the id, tells our session from a later one
  bool stopped_ = false;
};

std::string session_summary_line(const session_list &s);

}  // namespace agent
