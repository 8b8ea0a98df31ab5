// Locks, wait queues, completions and kernel threads under real threads.
#include <gtest/gtest.h>
#include <host/host.h>
#include <linux/kernel.h>
#include <linux/spinlock.h>
#include <linux/semaphore.h>
#include <linux/mutex.h>
#include <linux/rwsem.h>
#include <linux/wait.h>
#include <linux/completion.h>
#include <linux/kthread.h>
#include <linux/delay.h>
#include <linux/atomic.h>
#include <linux/sched.h>
#include "../../platform/src/task.h"
#include "peek.h"
#include <algorithm>
#include <atomic>
#include <chrono>
#include <ctime>
#include <thread>
#include <vector>

namespace {

// Two of the holders are tasks of one thread of another process (a loop device's worker with
// two requests in the machine at once): the same pid is no recursion.
TEST(Spinlock, ExcludesAndCountsHolders) {
  DEFINE_SPINLOCK(l);
  long counter = 0;
  std::vector<std::thread> ts;
  for (int i = 0; i < 4; i++)
    ts.emplace_back([&, i] {
      auto work = [&] {
        for (int j = 0; j < 20000; j++) {
          unsigned long flags;
          spin_lock_irqsave(&l, flags);
          counter++;
          spin_unlock_irqrestore(&l, flags);
        }
      };
      if (i < 2) {
        host::caller c;
        c.pid = c.tgid = 999999;
        c.comm = "kworker/loop";
        host::run_as_caller(c, work);
      } else {
        work();
      }
    });
  for (auto &t : ts) t.join();
  EXPECT_EQ(counter, 80000);

  // And one of them waits while the other holds the lock.
  host::caller c;
  c.pid = c.tgid = 999998;
  std::atomic<bool> held{false}, trying{false};
  std::thread holder([&] {
    host::run_as_caller(c, [&] {
      spin_lock(&l);
      held = true;
      while (!trying) std::this_thread::yield();
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      spin_unlock(&l);
    });
  });
  std::thread waiter([&] {
    host::run_as_caller(c, [&] {
      while (!held) std::this_thread::yield();
      trying = true;
      spin_lock(&l);
      counter++;
      spin_unlock(&l);
    });
  });
  holder.join();
  waiter.join();
  EXPECT_EQ(counter, 80001);
  EXPECT_FALSE(spin_is_locked(&l));
  EXPECT_EQ(spin_trylock(&l), 1);
  EXPECT_TRUE(spin_is_locked(&l));
  std::thread([&] { EXPECT_EQ(spin_trylock(&l), 0); }).join();
  spin_unlock(&l);
}

double thread_cpu_ms() {
  struct timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

// A holder the host has taken the processor from (here: one that simply stays away) must not
// keep its waiters burning the processors it needs; they sleep until the release, then each
// gets the lock in turn.
TEST(Spinlock, WaitersOfAHolderThatDoesNotRunSleepUntilTheRelease) {
  DEFINE_SPINLOCK(l);
  constexpr double kHoldMs = 100;
  std::atomic<int> waiting{0};
  long inside = 0, max_inside = 0, served = 0;
  std::vector<double> cpu(3);
  kplat_raw_spin_lock(&l.raw);
  std::vector<std::thread> ts;
  for (int i = 0; i < 3; i++)
    ts.emplace_back([&, i] {
      double before = thread_cpu_ms();
      waiting++;
      kplat_raw_spin_lock(&l.raw);
      cpu[i] = thread_cpu_ms() - before;
      max_inside = std::max(max_inside, ++inside);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      inside--;
      served++;
      kplat_raw_spin_unlock(&l.raw);
    });
  while (waiting != 3) std::this_thread::yield();
  std::this_thread::sleep_for(std::chrono::milliseconds(int(kHoldMs)));
  kplat_raw_spin_unlock(&l.raw);
  for (auto &t : ts) t.join();
  EXPECT_EQ(served, 3);
  EXPECT_EQ(max_inside, 1);
  for (double ms : cpu) EXPECT_LT(ms, kHoldMs / 4) << "a waiter spun instead of sleeping";
  EXPECT_EQ(spin_trylock(&l), 1) << "the word is free again after the parked waiters";
  spin_unlock(&l);
}

TEST(Semaphore, CountsAndHandsOffInOrder) {
  struct semaphore s;
  sema_init(&s, 2);
  EXPECT_EQ(down_trylock(&s), 0);
  EXPECT_EQ(down_trylock(&s), 0);
  EXPECT_EQ(down_trylock(&s), 1);  // exhausted
  std::atomic<int> order{0};
  int first = -1, second = -1;
  std::thread a([&] {
    down(&s);
    first = order++;
  });
  while (!has_waiters(&s.lock, &s.wait_list)) std::this_thread::yield();
  std::thread b([&] {
    down(&s);
    second = order++;
  });
  msleep(20);
  up(&s);
  a.join();
  up(&s);
  b.join();
  EXPECT_EQ(first, 0);
  EXPECT_EQ(second, 1);
  EXPECT_EQ(s.count, 0u);
  EXPECT_EQ(down_timeout(&s, 5), -ETIME);
}

TEST(Mutex, KeepsDebugNameAndExcludes) {
  struct holder {
    struct mutex open_mutex;
  } h, *clone = &h;
  mutex_init(&clone->open_mutex);
  EXPECT_STREQ(clone->open_mutex.name, "&clone->open_mutex");
  static DEFINE_MUTEX(global_mutex);
  EXPECT_STREQ(global_mutex.name, "global_mutex");

  long counter = 0;
  std::vector<std::thread> ts;
  for (int i = 0; i < 3; i++)
    ts.emplace_back([&] {
      for (int j = 0; j < 5000; j++) {
        mutex_lock(&h.open_mutex);
        counter++;
        mutex_unlock(&h.open_mutex);
      }
    });
  for (auto &t : ts) t.join();
  EXPECT_EQ(counter, 15000);
  EXPECT_FALSE(mutex_is_locked(&h.open_mutex));
  EXPECT_EQ(mutex_trylock(&h.open_mutex), 1);
  std::thread([&] { EXPECT_EQ(mutex_trylock(&h.open_mutex), 0); }).join();
  mutex_unlock(&h.open_mutex);
}

TEST(RwSemaphore, ReadersShareWriterExcludesAndIsNotStarved) {
  DECLARE_RWSEM(rw);
  down_read(&rw);
  EXPECT_EQ(down_read_trylock(&rw), 1);  // readers share
  EXPECT_EQ(down_write_trylock(&rw), 0);
  std::atomic<bool> wrote{false};
  std::thread w([&] {
    down_write(&rw);
    wrote = true;
    up_write(&rw);
  });
  while (!has_waiters(&rw.wait_lock, &rw.wait_list)) std::this_thread::yield();
  // A writer waits: a new reader queues behind it instead of starving it.
  EXPECT_EQ(down_read_trylock(&rw), 0);
  up_read(&rw);
  EXPECT_FALSE(wrote.load());
  up_read(&rw);
  w.join();
  EXPECT_TRUE(wrote.load());
  EXPECT_EQ(rw.activity, 0);
  down_write(&rw);
  downgrade_write(&rw);
  EXPECT_EQ(down_read_trylock(&rw), 1);
  up_read(&rw);
  up_read(&rw);
  EXPECT_EQ(rw.activity, 0);
}

TEST(WaitQueue, EventFamilyWakesAndTimesOut) {
  host::set_clock_speed(100);
  DECLARE_WAIT_QUEUE_HEAD(wq);
  std::atomic<int> flag{0};
  std::thread waker([&] {
    msleep(50);
    flag = 1;
    wake_up(&wq);
  });
  wait_event(wq, flag.load() == 1);
  waker.join();
  // Condition already true: full timeout back.
  EXPECT_EQ(wait_event_timeout(wq, flag.load() == 1, 100), 100);
  // Never true: times out with 0 after about the timeout.
  unsigned long t0 = jiffies;
  EXPECT_EQ(wait_event_timeout(wq, flag.load() == 2, 200), 0);
  EXPECT_GE((long)(jiffies - t0), 200);
  EXPECT_EQ(wait_event_interruptible_timeout(wq, flag.load() == 2, 50), 0);
  // Woken in time: the remaining jiffies. The clock stands still but for the waker's step,
  // so the remainder is exact however late either thread runs.
  host::set_clock_speed(0);
  pid_t waiter = current->pid;
  std::thread waker2([&] {
    host::task_info ti{};
    while (!host::task_info_of(waiter, &ti) || !ti.sleeping) std::this_thread::yield();
    host::advance_clock(100);
    flag = 2;
    wake_up_all(&wq);
  });
  long left = wait_event_interruptible_timeout(wq, flag.load() == 2, 100000);
  waker2.join();
  EXPECT_EQ(left, 100000 - 100);
  EXPECT_FALSE(waitqueue_active(&wq));
  host::set_clock_speed(1);
}

TEST(WaitQueue, WakeUpInterruptibleLeavesUninterruptibleSleepers) {
  DECLARE_WAIT_QUEUE_HEAD(wq);
  std::atomic<int> flag{0};
  std::atomic<bool> done{false};
  std::atomic<struct task_struct *> sleeper{nullptr};
  std::thread t([&] {
    sleeper = (struct task_struct *)current;
    wait_event(wq, flag.load() != 0);
    done = true;
  });
  // Asleep, not just queued: a sleeper still on its way would see the flag by itself.
  while (!sleeper.load() || !__atomic_load_n(&sleeper.load()->nvcsw, __ATOMIC_RELAXED))
    std::this_thread::yield();
  flag = 1;
  wake_up_interruptible(&wq);
  msleep(30);
  EXPECT_FALSE(done.load());
  wake_up(&wq);
  t.join();
  EXPECT_TRUE(done.load());
}

TEST(Completion, CountsReArmsAndCompletesAll) {
  struct completion c;
  init_completion(&c);
  EXPECT_FALSE(completion_done(&c));
  EXPECT_EQ(wait_for_completion_timeout(&c, 10), 0u);
  complete(&c);
  complete(&c);
  EXPECT_TRUE(try_wait_for_completion(&c));
  EXPECT_GT(wait_for_completion_timeout(&c, 10), 0u);
  EXPECT_FALSE(try_wait_for_completion(&c));

  std::thread t([&] {
    msleep(20);
    complete(&c);
  });
  wait_for_completion(&c);
  t.join();

  complete_all(&c);
  for (int i = 0; i < 3; i++) EXPECT_GT(wait_for_completion_timeout(&c, 1), 0u);  // stays done
  INIT_COMPLETION(c);
  EXPECT_FALSE(completion_done(&c));
  EXPECT_EQ(wait_for_completion_timeout(&c, 5), 0u);

  // complete_all releases every waiter.
  std::atomic<int> released{0};
  std::vector<std::thread> ws;
  for (int i = 0; i < 3; i++)
    ws.emplace_back([&] {
      wait_for_completion(&c);
      released++;
    });
  msleep(20);
  complete_all(&c);
  for (auto &w : ws) w.join();
  EXPECT_EQ(released.load(), 3);
}

struct kt_state {
  std::atomic<int> loops{0};
  struct completion started;
  pid_t pid = 0;
};

int kt_loop(void *data) {
  auto *st = static_cast<kt_state *>(data);
  st->pid = current->pid;
  complete(&st->started);
  while (!kthread_should_stop()) {
    st->loops++;
    set_current_state(TASK_INTERRUPTIBLE);
    schedule_timeout(5);
  }
  __set_current_state(TASK_RUNNING);
  return 42;
}

TEST(Kthread, RunsNamedStopsAndReturnsResult) {
  kt_state st;
  init_completion(&st.started);
  struct task_struct *k = kthread_create(kt_loop, &st, "vek_%s", "watchdog");
  ASSERT_FALSE(IS_ERR(k));
  EXPECT_STREQ(k->comm, "vek_watchdog");
  EXPECT_TRUE(k->flags & PF_KTHREAD);
  EXPECT_EQ(k->mm, nullptr);
  msleep(20);
  EXPECT_EQ(st.loops.load(), 0);  // not woken yet: the function has not run
  wake_up_process(k);
  wait_for_completion(&st.started);
  EXPECT_EQ(st.pid, k->pid);
  EXPECT_NE(k->pid, current->pid);
  char name[16] = {};
  EXPECT_EQ(pthread_getname_np(k->kp->thread, name, sizeof(name)), 0);
  EXPECT_STREQ(name, "vek_watchdog");
  while (st.loops.load() < 3) msleep(1);
  EXPECT_EQ(kthread_stop(k), 42);
  EXPECT_FALSE(kthread_should_stop());  // not a kthread here
}

TEST(Kthread, StopBeforeWakeNeverRunsTheFunction) {
  kt_state st;
  init_completion(&st.started);
  struct task_struct *k = kthread_create(kt_loop, &st, "never");
  ASSERT_FALSE(IS_ERR(k));
  EXPECT_EQ(kthread_stop(k), -EINTR);
  EXPECT_EQ(st.loops.load(), 0);
}

TEST(Sched, WakeUpProcessEndsSleepAndTimeoutReturnsRemainder) {
  host::set_clock_speed(0);  // only the waker's step moves it: the remainder is exact
  struct task_struct *me = current;
  std::thread t([&] {
    // Wake only once it sleeps: a wake-up of a runnable task is a no-op.
    host::task_info ti{};
    while (!host::task_info_of(me->pid, &ti) || !ti.sleeping) std::this_thread::yield();
    host::advance_clock(100);
    EXPECT_EQ(wake_up_process(me), 1);
  });
  set_current_state(TASK_UNINTERRUPTIBLE);
  long left = schedule_timeout(1000000);
  t.join();
  EXPECT_EQ(left, 1000000 - 100);
  EXPECT_EQ(current->state, TASK_RUNNING);
  // A task still runnable does not sleep: the timeout comes back whole.
  EXPECT_EQ(schedule_timeout(1000), 1000);
  host::set_clock_speed(1);
}

TEST(Sched, TaskAttributes) {
  EXPECT_EQ(current->pid, gettid());
  EXPECT_EQ(current->tgid, getpid());
  set_user_nice(current, -25);
  EXPECT_EQ(task_nice(current), -20);
  set_user_nice(current, 0);
  current->flags |= PF_NOFREEZE | PF_LESS_THROTTLE;
  host::task_info info;
  ASSERT_TRUE(host::task_info_of(gettid(), &info));
  EXPECT_EQ(info.flags & (PF_NOFREEZE | PF_LESS_THROTTLE), (unsigned)(PF_NOFREEZE | PF_LESS_THROTTLE));
  // Threads of the process share one signal-handler table and descriptor table.
  struct sighand_struct *sh = current->sighand;
  struct files_struct *files = current->files;
  pid_t main_pid = current->pid;
  std::thread([&] {
    EXPECT_EQ(current->sighand, sh);
    EXPECT_EQ(current->files, files);
    EXPECT_NE(current->pid, main_pid);
    EXPECT_EQ(current->tgid, getpid());
  }).join();
}

TEST(Sched, CommFollowsTheRealThreadName) {
  std::thread([] {
    pthread_setname_np(pthread_self(), "qel-agent-io");
    int fd = host::open("/nonexistent", 0);  // any host call refreshes comm
    EXPECT_EQ(fd, -1);
    EXPECT_STREQ(current->comm, "qel-agent-io");
    set_task_comm(current, "vek_io/1/12345678");  // truncated to 15 characters
    EXPECT_STREQ(current->comm, "vek_io/1/123456");
    char real[16] = {};
    pthread_getname_np(pthread_self(), real, sizeof(real));
    EXPECT_STREQ(real, "vek_io/1/123456");
    // Written directly under the task lock, as kernel code may do.
    task_lock(current);
    snprintf(current->comm, sizeof(current->comm), "vek_io/%d/%d", 2, 3);
    task_unlock(current);
    host::close(-1);
    EXPECT_STREQ(current->comm, "vek_io/2/3");
    pthread_getname_np(pthread_self(), real, sizeof(real));
    EXPECT_STREQ(real, "vek_io/2/3");
  }).join();
}

TEST(Sched, TaskIsFreedWhenItsThreadEnds) {
  pid_t tid = 0;
  std::thread([&] { tid = current->pid; }).join();
  host::task_info info;
  EXPECT_FALSE(host::task_info_of(tid, &info));
  EXPECT_EQ(host::signal_task(tid), -ESRCH);
}

}  // namespace
