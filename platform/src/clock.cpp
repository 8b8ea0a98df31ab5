// The platform clock. Platform time runs at `speed` times real time from the
// moment of the last change; jiffies, wall time and every timed wait derive
// from it. At speed 0 it stands still and moves only when a test advances it.
// A change wakes all sleepers so that they recompute their real deadlines.
#include "task.h"
#include "internal.h"
#include <host/host.h>
#include <linux/delay.h>
#include <linux/time.h>
#include <linux/jiffies.h>
#include <cmath>
#include <vector>

namespace {

using steady = std::chrono::steady_clock;

struct epoch {
  steady::time_point real0;
  uint64_t plat0_ns;  // platform time at real0
  double speed;
};

struct clock_state {
  std::mutex mu;  // serialises speed changes
  std::atomic<const epoch *> cur{nullptr};
  std::vector<const epoch *> old;  // kept: readers may still hold them
  int64_t wall0_ns;                // real wall time at start-up
  clock_state() {
    auto *e = new epoch{steady::now(), 0, 1.0};
    cur.store(e);
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    wall0_ns = (int64_t)ts.tv_sec * 1000000000LL + ts.tv_nsec;
  }
};
clock_state &cs() {
  static clock_state *c = new clock_state();
  return *c;
}

uint64_t plat_ns_at(const epoch *e, steady::time_point now) {
  double real = (double)std::chrono::duration_cast<std::chrono::nanoseconds>(now - e->real0).count();
  if (real < 0) real = 0;
  return e->plat0_ns + (uint64_t)(real * e->speed);
}

}  // namespace

namespace kplat {

uint64_t clock_ns() {
  const epoch *e = cs().cur.load(std::memory_order_acquire);
  return plat_ns_at(e, steady::now());
}

unsigned long read_jiffies() { return INITIAL_JIFFIES + (unsigned long)(clock_ns() / 1000000ULL); }

uint64_t jiffies_to_platform_ns(unsigned long j) { return (uint64_t)(j - INITIAL_JIFFIES) * 1000000ULL; }

steady::time_point real_deadline_for_ns(uint64_t platform_ns) {
  const epoch *e = cs().cur.load(std::memory_order_acquire);
  if (platform_ns <= e->plat0_ns) return e->real0;
  // Stopped: only a change of the clock, which wakes every sleeper, brings the deadline.
  if (e->speed == 0) return steady::now() + std::chrono::hours(1);
  double real = (double)(platform_ns - e->plat0_ns) / e->speed;
  // A far deadline is capped; the sleeper re-checks and sleeps again.
  if (real > 3.6e12) real = 3.6e12;
  return e->real0 + std::chrono::nanoseconds((int64_t)std::ceil(real));
}

void clock_sleep_ms(unsigned ms) {
  const uint64_t until = clock_ns() + (uint64_t)ms * 1000000ULL;
  for (;;) {
    uint64_t now = clock_ns();
    if (now >= until) return;
    std::this_thread::sleep_until(std::min(real_deadline_for_ns(until), steady::now() + std::chrono::milliseconds(50)));
  }
}

}  // namespace kplat

namespace host {

namespace {
// Starts a new epoch now, at platform time moved on by step_ns, and wakes every sleeper.
void new_epoch(double speed, uint64_t step_ns) {
  clock_state &c = cs();
  {
    std::lock_guard<std::mutex> g(c.mu);
    const epoch *e = c.cur.load();
    steady::time_point now = steady::now();
    auto *n = new epoch{now, plat_ns_at(e, now) + step_ns, speed < 0 ? e->speed : speed};
    c.old.push_back(e);
    c.cur.store(n, std::memory_order_release);
  }
  kplat::wake_all_sleepers();
}
}  // namespace

void set_clock_speed(double factor) {
  if (!(factor >= 0)) factor = 1.0;
  new_epoch(factor, 0);
}

void advance_clock(unsigned long ms) {
  new_epoch(-1, (uint64_t)ms * 1000000ULL);
  kplat::wait_for_expired_sleeps(kplat::clock_ns());
}

double clock_speed() { return cs().cur.load()->speed; }

}  // namespace host

using namespace kplat;

struct timespec current_kernel_time(void) {
  int64_t ns = cs().wall0_ns + (int64_t)clock_ns();
  struct timespec ts;
  ts.tv_sec = ns / 1000000000LL;
  ts.tv_nsec = ns % 1000000000LL;
  return ts;
}

void getnstimeofday(struct timespec *ts) { *ts = current_kernel_time(); }

void do_gettimeofday(struct timeval *tv) {
  struct timespec ts = current_kernel_time();
  tv->tv_sec = ts.tv_sec;
  tv->tv_usec = ts.tv_nsec / 1000;
}

unsigned long get_seconds(void) { return (unsigned long)current_kernel_time().tv_sec; }

void msleep(unsigned int msecs) {
  check_sleep("msleep");
  long timeout = (long)msecs_to_jiffies(msecs) + 1;
  while (timeout) {
    __set_current_state(TASK_UNINTERRUPTIBLE);
    timeout = sched_timeout_raw(timeout);
  }
}

unsigned long msleep_interruptible(unsigned int msecs) {
  check_sleep("msleep_interruptible");
  long timeout = (long)msecs_to_jiffies(msecs) + 1;
  while (timeout && !signal_pending(current_task())) {
    __set_current_state(TASK_INTERRUPTIBLE);
    timeout = sched_timeout_raw(timeout);
  }
  return jiffies_to_msecs((unsigned long)timeout);
}

void udelay(unsigned long usecs) {
  // Busy-waits on the platform clock: allowed in atomic context.
  const uint64_t until = clock_ns() + (uint64_t)usecs * 1000ULL;
  while (clock_ns() < until) std::this_thread::yield();
}

void ndelay(unsigned long nsecs) {
  const uint64_t until = clock_ns() + nsecs;
  while (clock_ns() < until) std::this_thread::yield();
}
