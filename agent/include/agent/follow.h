// The service's change-record thread: it keeps a blocking fetch waiting in the driver all the
// time and folds every batch into the tracker, so no record waits long in the driver's queue
// and none is lost to a later close of the control handle.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <optional>
#include <mutex>
#include <string>
#include <thread>

#include "agent/changes.h"

namespace agent {

class ChangeFollower {
 public:
  // Records handed out by the driver to anyone so far, where the machine counts them.
  using Delivered = std::function<std::optional<uint64_t>()>;
  // With `delivered`, every fetch is followed by a count of what the driver handed out: more
  // than this thread fetched means another agent took records from the shared queue, and
  // every followed device is then marked broken.
  ChangeFollower(ChangeTracker &t, int batch = 4096, Delivered delivered = nullptr);
  ~ChangeFollower();
  ChangeFollower(const ChangeFollower &) = delete;
  ChangeFollower &operator=(const ChangeFollower &) = delete;

  void start();
  void stop();  // returns once the thread has ended
  // Returns once every record queued before the call has been folded. Throws Error when the
  // thread can no longer fetch (the machine went away).
  void sync();
  // Ends the current fetch early, so what is queued gets folded now.
  void poke();
  // Why fetching ended for good; "" while it goes on.
  std::string failure() const;
  uint64_t fetches() const { return fetches_; }

  static constexpr const char *kRecordsTaken =
      "another agent took change records from the driver's queue, so they never reached this "
      "agent";

 private:
  void run();
  ChangeTracker &t_;
  int batch_;
  Delivered delivered_;
  std::thread thread_;
  mutable std::mutex mu_;
  std::condition_variable cv_;
  bool stopping_ = false;         // mu_
  uint64_t sync_asked_ = 0;       // mu_: number of the newest sync request
  uint64_t sync_done_ = 0;        // mu_: every request up to this one is satisfied
  std::string failure_;           // mu_
  std::atomic<uint64_t> fetches_{0};
};

}  // namespace agent
