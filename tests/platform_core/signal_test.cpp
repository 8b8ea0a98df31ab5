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

// Threads of other processes (as the machine runs their requests): each process has a table of
// its own, shared by its tasks here and gone with the last of them.
TEST(Signals, EachCallerProcessHasATableOfItsOwnWhileItHasTasksHere) {
  // Thread and process ids no real thread has (they are above any pid_max).
  constexpr pid_t kAgent = 2100000000, kOther = 2100000100;
  auto as = [](pid_t tid, pid_t tgid, const std::function<void()> &fn) {
    host::caller c;
    c.pid = tid;
    c.tgid = tgid;
    c.comm = "qel-agent";
    c.caller_memory = false;
    host::run_as_caller(c, fn);
  };
  std::atomic<bool> ignoring{false}, leave{false};
  struct sighand_struct *agent_table = nullptr;
  // An IO worker of the agent ignores every signal in its process's table, and stays.
  std::thread worker([&] {
    as(kAgent + 1, kAgent, [&] {
      struct sighand_struct *sh = current->sighand;
      spin_lock_irq(&sh->siglock);
      for (int i = 0; i < _NSIG; i++) sh->action[i].sa.sa_handler = SIG_IGN;
      spin_unlock_irq(&sh->siglock);
      agent_table = sh;
      ignoring = true;
      while (!leave) std::this_thread::yield();
    });
  });
  while (!ignoring) std::this_thread::yield();
  std::thread([&] {
    as(kAgent + 2, kAgent, [&] {
      EXPECT_EQ(current->sighand, agent_table);
      EXPECT_EQ(host::signal_task(kAgent + 2, SIGINT), 0);
      EXPECT_FALSE(signal_pending(current));
    });
  }).join();
  // Another process's threads and the machine's own keep their signals.
  std::thread([&] {
    as(kOther + 1, kOther, [&] {
      EXPECT_NE(current->sighand, agent_table);
      EXPECT_EQ(host::signal_task(kOther + 1, SIGINT), 1);
    });
  }).join();
  EXPECT_EQ(host::signal_handler(SIGINT), (void *)SIG_DFL);
  std::thread([] { EXPECT_EQ(host::signal_task(current->pid, SIGINT), 1); }).join();
  leave = true;
  worker.join();
  // No task of the agent is left: a process given its pid later starts with SIG_DFL.
  std::thread([&] { as(kAgent + 1, kAgent, [&] { EXPECT_EQ(host::signal_task(kAgent + 1, SIGINT), 1); }); }).join();
}

}  // namespace
