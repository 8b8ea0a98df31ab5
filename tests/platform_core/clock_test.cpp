// One platform clock, optionally accelerated, under every timed call.
#include <gtest/gtest.h>
#include <host/host.h>
#include <linux/kernel.h>
#include <linux/jiffies.h>
#include <linux/delay.h>
#include <linux/time.h>
#include <linux/wait.h>
#include <linux/completion.h>
#include <linux/semaphore.h>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

using std::chrono::steady_clock;

double real_ms_since(steady_clock::time_point t0) {
  return std::chrono::duration<double, std::milli>(steady_clock::now() - t0).count();
}

class Clock : public ::testing::Test {
 protected:
  void TearDown() override { host::set_clock_speed(1); }
};

TEST_F(Clock, JiffiesConversions) {
  EXPECT_EQ(HZ, 1000);
  EXPECT_EQ(msecs_to_jiffies(5000), 5000u);
  EXPECT_EQ(jiffies_to_msecs(250), 250u);
  unsigned long a = 10, b = (unsigned long)-10;  // b is before a across the wrap
  EXPECT_TRUE(time_after(a, b));
  EXPECT_FALSE(time_after(b, a));
}

TEST_F(Clock, AcceleratedSleepsTakeLittleRealTime) {
  host::set_clock_speed(1000);
  EXPECT_DOUBLE_EQ(host::clock_speed(), 1000);
  // Each clock reading is bracketed by jiffies: at 1000x, a stall of the test between two
  // readings is whole seconds of platform time.
  unsigned long j0a = jiffies;
  struct timespec w0 = current_kernel_time();
  unsigned long j0b = jiffies;
  auto t0 = steady_clock::now();
  msleep(5000);
  double real = real_ms_since(t0);
  unsigned long j1a = jiffies;
  struct timespec w1 = current_kernel_time();
  unsigned long j1b = jiffies;
  EXPECT_GE((long)(j1a - j0b), 5000);
  EXPECT_LT(real, 4000.0);  // 5 s of platform time, ~5 ms real; 5 s if it slept in real time
  long wall_ms = (w1.tv_sec - w0.tv_sec) * 1000 + (w1.tv_nsec - w0.tv_nsec) / 1000000;
  EXPECT_GE(wall_ms, (long)(j1a - j0b) * 1000 / HZ - 1000) << "the wall clock keeps platform time";
  EXPECT_LE(wall_ms, (long)(j1b - j0a) * 1000 / HZ + 1000);

  // Timed waits follow the same clock: each takes far less than half its time-out in real
  // time, which it would take at least had it waited on the real clock.
  DECLARE_WAIT_QUEUE_HEAD(wq);
  t0 = steady_clock::now();
  EXPECT_EQ(wait_event_timeout(wq, false, 30 * HZ), 0);
  EXPECT_LT(real_ms_since(t0), 15000.0) << "wait_event_timeout";
  struct completion c;
  init_completion(&c);
  t0 = steady_clock::now();
  EXPECT_EQ(wait_for_completion_timeout(&c, 60 * HZ), 0u);
  EXPECT_LT(real_ms_since(t0), 30000.0) << "wait_for_completion_timeout";
  struct semaphore s;
  sema_init(&s, 0);
  t0 = steady_clock::now();
  EXPECT_EQ(down_timeout(&s, 10 * HZ), -ETIME);
  EXPECT_LT(real_ms_since(t0), 5000.0) << "down_timeout";
  set_current_state(TASK_INTERRUPTIBLE);
  t0 = steady_clock::now();
  EXPECT_EQ(schedule_timeout(20 * HZ), 0);
  EXPECT_LT(real_ms_since(t0), 10000.0) << "schedule_timeout";
}

TEST_F(Clock, SpeedChangeReachesTasksAlreadyAsleep) {
  auto t0 = steady_clock::now();
  std::thread sleeper([] { msleep(60 * 1000); });  // a minute at real speed
  msleep(20);
  host::set_clock_speed(100000);
  sleeper.join();
  EXPECT_LT(real_ms_since(t0), 5000.0);
}

// Waits (in real time) until the task is parked in a sleep.
void wait_asleep(pid_t tid) {
  host::task_info ti{};
  while (!host::task_info_of(tid, &ti) || !ti.sleeping) std::this_thread::yield();
}

// A stopped clock lets a test decide when each sleep times out, whatever the machine's load.
TEST_F(Clock, StoppedClockMovesOnlyWhenAdvanced) {
  host::set_clock_speed(0);
  EXPECT_DOUBLE_EQ(host::clock_speed(), 0);
  unsigned long j0 = jiffies;
  struct timespec w0 = current_kernel_time();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(j0, jiffies);
  struct timespec w1 = current_kernel_time();
  EXPECT_EQ(w0.tv_sec, w1.tv_sec);
  EXPECT_EQ(w0.tv_nsec, w1.tv_nsec);

  std::atomic<pid_t> tid{0};
  std::atomic<bool> done{false};
  std::atomic<long> woke_at{0};
  std::thread sleeper([&] {
    tid = current->pid;
    msleep(100);  // 101 jiffies: msleep rounds up by one
    woke_at = (long)(jiffies - j0);
    done = true;
  });
  while (!tid) std::this_thread::yield();
  wait_asleep(tid);
  host::task_info ti{};
  ASSERT_TRUE(host::task_info_of(tid, &ti));
  EXPECT_EQ(101, ti.sleep_left);
  host::advance_clock(60);
  ASSERT_TRUE(host::task_info_of(tid, &ti));
  EXPECT_TRUE(ti.sleeping) << "an advance short of the time-out leaves the sleeper asleep";
  EXPECT_EQ(41, ti.sleep_left);
  host::advance_clock(40);
  EXPECT_FALSE(done.load()) << "woken before its time";
  host::advance_clock(1);
  sleeper.join();
  EXPECT_EQ(101, woke_at.load());
  EXPECT_EQ(101u, jiffies - j0);

  // Timed waits of every kind time out on an advance, and only then.
  std::atomic<int> timed_out{0};
  std::vector<std::thread> waiters;
  std::vector<std::atomic<pid_t>> tids(3);
  waiters.emplace_back([&] {
    tids[0] = current->pid;
    DECLARE_WAIT_QUEUE_HEAD(wq);
    if (wait_event_timeout(wq, false, 30 * HZ) == 0) timed_out++;
  });
  waiters.emplace_back([&] {
    tids[1] = current->pid;
    struct completion c;
    init_completion(&c);
    if (wait_for_completion_timeout(&c, 10 * HZ) == 0) timed_out++;
  });
  waiters.emplace_back([&] {
    tids[2] = current->pid;
    struct semaphore s;
    sema_init(&s, 0);
    if (down_timeout(&s, 20 * HZ) == -ETIME) timed_out++;
  });
  for (auto &t : tids) {
    while (!t) std::this_thread::yield();
    wait_asleep(t);
  }
  host::advance_clock(29 * 1000);
  waiters[1].join();
  waiters[2].join();
  EXPECT_EQ(2, timed_out.load()) << "the 30 s wait is still waiting";
  host::advance_clock(1000);
  waiters[0].join();
  EXPECT_EQ(3, timed_out.load());

  // Advancing a running clock jumps it.
  host::set_clock_speed(1);
  unsigned long j1 = jiffies;
  host::advance_clock(5000);
  EXPECT_GE((long)(jiffies - j1), 5000);
}

TEST_F(Clock, RealSpeedSleepsAtLeastTheTime) {
  auto t0 = steady_clock::now();
  unsigned long j0 = jiffies;
  msleep(30);
  EXPECT_GE(real_ms_since(t0), 29.0);
  EXPECT_GE((long)(jiffies - j0), 30);
  unsigned long s0 = get_seconds();
  EXPECT_GE((long)s0, (long)time(nullptr) - 1);  // platform time never lags real time
}

}  // namespace
