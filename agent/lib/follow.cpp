#include "agent/follow.h"

#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <chrono>

#include "agent/error.h"

namespace agent {

ChangeFollower::ChangeFollower(ChangeTracker &t, int batch, Delivered delivered)
    : t_(t), batch_(batch < 1 ? 1 : batch), delivered_(std::move(delivered)) {}

ChangeFollower::~ChangeFollower() { stop(); }

void ChangeFollower::start() {
  if (thread_.joinable()) return;
  // Signals go to the service's main thread, never to one parked in the driver.
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &old);
  thread_ = std::thread([this] { run(); });
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

void ChangeFollower::stop() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> g(mu_);
    stopping_ = true;
    cv_.notify_all();  // a sync waiting now ends with an error
  }
  poke();
  thread_.join();
}

void ChangeFollower::poke() {
  try {
    t_.source().unblock();
  } catch (const std::exception &) {
    // The fetch thread finds out for itself when the control device is gone.
  }
}

std::string ChangeFollower::failure() const {
  std::lock_guard<std::mutex> g(mu_);
  return failure_;
}

void ChangeFollower::sync() {
  std::unique_lock<std::mutex> g(mu_);
  if (!failure_.empty()) throw Error("change records can no longer be fetched: " + failure_);
  uint64_t me = ++sync_asked_;
  g.unlock();
  poke();
  g.lock();
  cv_.wait(g, [&] { return sync_done_ >= me || !failure_.empty() || stopping_; });
  if (sync_done_ >= me) return;
  throw Error("change records can no longer be fetched: " +
              (failure_.empty() ? std::string("the service is stopping") : failure_));
}

void ChangeFollower::run() {
  ChangeSource &src = t_.source();
  // A sync is satisfied once everything queued when a fetch sent after its request returned
  // has been taken: the queue is first in, first out, so that covers every record queued
  // before the request. Counting to that point, rather than waiting for an empty queue, ends
  // the sync even while a writer keeps the queue full.
  uint64_t taken = 0;
  uint64_t target = 0, target_for = 0;  // target_for: the request the target counts for
  int failures = 0;
  // Handed out to others = counted - base - taken. Read between fetches, when none of ours is
  // on its way, so the difference is exact.
  std::optional<uint64_t> base = delivered_ ? delivered_() : std::nullopt;
  for (;;) {
    uint64_t asked, done;
    {
      std::lock_guard<std::mutex> g(mu_);
      if (stopping_) return;
      asked = sync_asked_;
      done = sync_done_;
    }
    // A sync waits: no fetch may sit waiting for a full batch until it is done.
    ChangeBatch b;
    try {
      if (asked > done) src.unblock();
      b = src.fetch(batch_);
      failures = 0;
    } catch (const Error &e) {
      // Records the failed fetch took are lost to us.
      t_.mark_all_broken();
      int err = e.code();
      bool gone = err == ENOTCONN || err == ENODEV || err == ENXIO || err == EBADF ||
                  err == ECONNABORTED || ++failures >= 50;
      if (gone) {
        std::lock_guard<std::mutex> g(mu_);
        failure_ = e.what();
        cv_.notify_all();
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      continue;
    }
    ++fetches_;
    t_.fold(b);
    taken += b.records.size();
    if (base) {
      std::optional<uint64_t> now = delivered_();
      if (now && *now > *base + taken) {
        t_.mark_all_broken(kRecordsTaken);
        *base = *now - taken;  // reported once for each theft
      }
    }
    std::lock_guard<std::mutex> g(mu_);
    if (asked > sync_done_ && asked > target_for) {
      target_for = asked;
      target = taken + uint64_t(b.inqueue > 0 ? b.inqueue : 0);
    }
    // An empty batch with records counted: someone else fetched them; nothing more will come
    // for this target.
    if (target_for > sync_done_ && (taken >= target || b.records.empty())) {
      sync_done_ = target_for;
      cv_.notify_all();
    }
  }
}

}  // namespace agent
