// host::signal_task interrupts interruptible sleeps and leaves the others.
#include <gtest/gtest.h>
#include <host/host.h>
#include <linux/kernel.h>
#include <linux/sched.h>
#include <linux/semaphore.h>
#include <linux/mutex.h>
#include <linux/wait.h>
#include <linux/completion.h>
#include <linux/delay.h>
#include "peek.h"
#include <atomic>
#include <functional>
#include <thread>

namespace {

// Runs body on a thread, waits until it sleeps, signals it and returns
// body's result.
long run_and_signal(const std::function<long()> &body) {
  std::atomic<pid_t> tid{0};
  std::atomic<bool> finished{false};
  long result = 0;
  std::thread t([&] {
    tid = current->pid;
    result = body();
    finished = true;
  });
  while (tid.load() == 0) std::this_thread::yield();
  struct task_struct *task = find_task_by_vpid(tid.load());
  while (!task || __atomic_load_n(&task->state, __ATOMIC_SEQ_CST) == TASK_RUNNING) {
    std::this_thread::yield();
    task = find_task_by_vpid(tid.load());
  }
  msleep(5);
  EXPECT_FALSE(finished.load());
  EXPECT_EQ(host::signal_task(tid.load()), 1);
  t.join();
  return result;
}

TEST(Signals, InterruptEveryInterruptibleWait) {
  struct semaphore sem;
  sema_init(&sem, 0);
  EXPECT_EQ(run_and_signal([&] { return (long)down_interruptible(&sem); }), -EINTR);
  EXPECT_EQ(sem.count, 0u);
  EXPECT_FALSE(has_waiters(&sem.lock, &sem.wait_list));  // the waiter left the queue

  struct mutex mx;
  mutex_init(&mx);
  mutex_lock(&mx);
  EXPECT_EQ(run_and_signal([&] { return (long)mutex_lock_interruptible(&mx); }), -EINTR);
  mutex_unlock(&mx);
  EXPECT_FALSE(mutex_is_locked(&mx));

  DECLARE_WAIT_QUEUE_HEAD(wq);
  EXPECT_EQ(run_and_signal([&] { return (long)wait_event_interruptible(wq, false); }), -ERESTARTSYS);
  EXPECT_EQ(run_and_signal([&] { return wait_event_interruptible_timeout(wq, false, 1000000); }), -ERESTARTSYS);
  EXPECT_FALSE(waitqueue_active(&wq));

  long left = run_and_signal([] {
    set_current_state(TASK_INTERRUPTIBLE);
    return schedule_timeout(1000000);
  });
  EXPECT_GT(left, 0);
  EXPECT_LT(left, 1000000);

  struct completion c;
  init_completion(&c);
  EXPECT_EQ(run_and_signal([&] { return (long)wait_for_completion_interruptible(&c); }), -ERESTARTSYS);
  EXPECT_GT(run_and_signal([] { return (long)msleep_interruptible(1000000); }), 0);
}

TEST(Signals, PendingSignalMakesInterruptibleWaitsFailAtOnceUntilCleared) {
  std::thread([] {
    pid_t me = current->pid;
    EXPECT_EQ(host::signal_task(me), 1);
    EXPECT_TRUE(signal_pending(current));
    EXPECT_TRUE(host::signal_pending(me));
    struct semaphore sem;
    sema_init(&sem, 0);
    EXPECT_EQ(down_interruptible(&sem), -EINTR);
    DECLARE_WAIT_QUEUE_HEAD(wq);
    EXPECT_EQ(wait_event_interruptible(wq, false), -ERESTARTSYS);
    // Uninterruptible sleeps are not cut short.
    sema_init(&sem, 1);
    down(&sem);
    unsigned long t0 = jiffies;
    msleep(20);
    EXPECT_GE((long)(jiffies - t0), 20);
    EXPECT_EQ(host::clear_signal(me), 0);
    EXPECT_FALSE(signal_pending(current));
    EXPECT_EQ(wait_event_interruptible_timeout(wq, false, 5), 0);
  }).join();
}

TEST(Signals, UninterruptibleSleepIgnoresTheSignal) {
  struct semaphore sem;
  sema_init(&sem, 0);
  std::atomic<pid_t> tid{0};
  std::atomic<bool> got{false};
  std::thread t([&] {
    tid = current->pid;
    down(&sem);
    got = true;
  });
  while (!has_waiters(&sem.lock, &sem.wait_list)) std::this_thread::yield();
  EXPECT_EQ(host::signal_task(tid.load()), 1);
  msleep(20);
  EXPECT_FALSE(got.load());
  up(&sem);
  t.join();
  EXPECT_TRUE(got.load());
}

TEST(Signals, IgnoredSignalsAreDiscardedAndTheRealProcessIsUntouched) {
  struct sigaction before;
  sigaction(SIGTERM, nullptr, &before);
  std::thread([] {
    struct sighand_struct *sh = current->sighand;
    spin_lock_irq(&sh->siglock);
    for (int i = 0; i < _NSIG; i++) sh->action[i].sa.sa_handler = SIG_IGN;
    spin_unlock_irq(&sh->siglock);
  }).join();
  EXPECT_EQ(host::signal_handler(SIGKILL), (void *)SIG_IGN);
  std::thread([] {
    // The table is shared by the process's threads: this one ignores too.
    EXPECT_EQ(host::signal_task(current->pid, SIGTERM), 0);
    EXPECT_FALSE(signal_pending(current));
  }).join();
  struct sigaction after;
  sigaction(SIGTERM, nullptr, &after);
  EXPECT_EQ(after.sa_handler, before.sa_handler);
  struct sighand_struct *sh = current->sighand;
  for (int i = 0; i < _NSIG; i++) sh->action[i].sa.sa_handler = SIG_DFL;
  EXPECT_EQ(host::signal_handler(SIGTERM), (void *)SIG_DFL);
}

}  // namespace
