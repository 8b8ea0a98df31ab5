// Sleeping locks: semaphores, mutexes and reader-writer semaphores. Each
// keeps a FIFO of waiters under its internal lock; a release hands the lock
// to the first waiter and wakes it. Waits run on the scheduler core, so
// signals and the platform clock apply.
#include "task.h"
#include <linux/semaphore.h>
#include <linux/mutex.h>
#include <linux/rwsem.h>
#include <linux/errno.h>

using namespace kplat;

namespace {

struct lock_waiter {
  struct list_head list;
  struct task_struct *task;
  int granted;
  int writer;  // rwsem only
};

// Sleeps on `lock` (held on entry and on return) until w->granted, a signal
// (interruptible states) or the timeout. 0, -EINTR or -ETIME; on failure the
// waiter is unlinked.
int wait_granted(spinlock_t *lock, lock_waiter *w, long state, long timeout) {
  struct task_struct *t = w->task;
  for (;;) {
    if (w->granted) return 0;
    if ((state & TASK_INTERRUPTIBLE) && signal_pending(t)) {
      list_del(&w->list);
      return -EINTR;
    }
    if (timeout <= 0) {
      list_del(&w->list);
      return -ETIME;
    }
    kplat_set_current_state(state);
    raw_unlock(lock);
    timeout = sched_timeout_raw(timeout);
    raw_lock(lock);
  }
}

void grant(lock_waiter *w) {
  list_del(&w->list);
  w->granted = 1;
  wake_up_process(w->task);
}

}  // namespace

// ---- semaphores ----

void sema_init(struct semaphore *sem, int val) {
  spin_lock_init(&sem->lock);
  sem->count = (unsigned)val;
  INIT_LIST_HEAD(&sem->wait_list);
}

static int down_common(struct semaphore *sem, long state, long timeout) {
  raw_lock(&sem->lock);
  if (likely(sem->count > 0)) {
    sem->count--;
    raw_unlock(&sem->lock);
    return 0;
  }
  lock_waiter w{{nullptr, nullptr}, current_task(), 0, 0};
  list_add_tail(&w.list, &sem->wait_list);
  int r = wait_granted(&sem->lock, &w, state, timeout);
  raw_unlock(&sem->lock);
  return r;
}

void down(struct semaphore *sem) {
  check_sleep("down");
  down_common(sem, TASK_UNINTERRUPTIBLE, MAX_SCHEDULE_TIMEOUT);
}

int down_interruptible(struct semaphore *sem) {
  check_sleep("down_interruptible");
  return down_common(sem, TASK_INTERRUPTIBLE, MAX_SCHEDULE_TIMEOUT);
}

int down_killable(struct semaphore *sem) {
  check_sleep("down_killable");
  return down_common(sem, TASK_KILLABLE, MAX_SCHEDULE_TIMEOUT);
}

int down_timeout(struct semaphore *sem, long jiffies_timeout) {
  check_sleep("down_timeout");
  return down_common(sem, TASK_UNINTERRUPTIBLE, jiffies_timeout);
}

int down_trylock(struct semaphore *sem) {
  raw_lock(&sem->lock);
  int busy = sem->count == 0;
  if (!busy) sem->count--;
  raw_unlock(&sem->lock);
  return busy;
}

void up(struct semaphore *sem) {
  raw_lock(&sem->lock);
  if (list_empty(&sem->wait_list))
    sem->count++;
  else
    grant(list_first_entry(&sem->wait_list, lock_waiter, list));
  raw_unlock(&sem->lock);
}

// ---- mutexes ----

void __mutex_init(struct mutex *lock, const char *name) {
  atomic_set(&lock->count, 1);
  spin_lock_init(&lock->wait_lock);
  INIT_LIST_HEAD(&lock->wait_list);
  lock->owner = nullptr;
  lock->name = name;
}

static int mutex_lock_common(struct mutex *lock, long state) {
  struct task_struct *t = current_task();
  raw_lock(&lock->wait_lock);
  if (unlikely(lock->owner == t)) {
    raw_unlock(&lock->wait_lock);
    fatal("BUG: mutex recursion: %s taken again by %s/%d", lock->name ? lock->name : "?", t->comm, t->pid);
  }
  if (atomic_read(&lock->count) == 1) {
    atomic_set(&lock->count, 0);
    lock->owner = t;
    raw_unlock(&lock->wait_lock);
    return 0;
  }
  lock_waiter w{{nullptr, nullptr}, t, 0, 0};
  list_add_tail(&w.list, &lock->wait_list);
  int r = wait_granted(&lock->wait_lock, &w, state, MAX_SCHEDULE_TIMEOUT);
  raw_unlock(&lock->wait_lock);
  return r;
}

void mutex_lock(struct mutex *lock) {
  check_sleep("mutex_lock");
  mutex_lock_common(lock, TASK_UNINTERRUPTIBLE);
}

int mutex_lock_interruptible(struct mutex *lock) {
  check_sleep("mutex_lock_interruptible");
  return mutex_lock_common(lock, TASK_INTERRUPTIBLE);
}

int mutex_lock_killable(struct mutex *lock) {
  check_sleep("mutex_lock_killable");
  return mutex_lock_common(lock, TASK_KILLABLE);
}

int mutex_trylock(struct mutex *lock) {
  raw_lock(&lock->wait_lock);
  int ok = atomic_read(&lock->count) == 1;
  if (ok) {
    atomic_set(&lock->count, 0);
    lock->owner = current_task();
  }
  raw_unlock(&lock->wait_lock);
  return ok;
}

void mutex_unlock(struct mutex *lock) {
  struct task_struct *t = current_task();
  raw_lock(&lock->wait_lock);
  if (unlikely(lock->owner != t))
    report("WARNING: mutex_unlock of %s by %s/%d, which does not hold it", lock->name ? lock->name : "?", t->comm,
           t->pid);
  if (list_empty(&lock->wait_list)) {
    lock->owner = nullptr;
    atomic_set(&lock->count, 1);
  } else {
    lock_waiter *w = list_first_entry(&lock->wait_list, lock_waiter, list);
    lock->owner = w->task;  // handed over: count stays 0
    grant(w);
  }
  raw_unlock(&lock->wait_lock);
}

// ---- reader-writer semaphores ----

void __init_rwsem(struct rw_semaphore *sem, const char *name) {
  sem->activity = 0;
  spin_lock_init(&sem->wait_lock);
  INIT_LIST_HEAD(&sem->wait_list);
  sem->name = name;
}

// Grants the lock to the waiters at the head that can have it now: one
// writer when idle, or every reader before the first writer.
static void rwsem_wake(struct rw_semaphore *sem) {
  while (!list_empty(&sem->wait_list)) {
    lock_waiter *w = list_first_entry(&sem->wait_list, lock_waiter, list);
    if (w->writer) {
      if (sem->activity == 0) {
        sem->activity = -1;
        grant(w);
      }
      return;
    }
    if (sem->activity < 0) return;
    sem->activity++;
    grant(w);
  }
}

static void rwsem_down(struct rw_semaphore *sem, int writer) {
  raw_lock(&sem->wait_lock);
  if (list_empty(&sem->wait_list) && (writer ? sem->activity == 0 : sem->activity >= 0)) {
    sem->activity = writer ? -1 : sem->activity + 1;
    raw_unlock(&sem->wait_lock);
    return;
  }
  lock_waiter w{{nullptr, nullptr}, current_task(), 0, writer};
  list_add_tail(&w.list, &sem->wait_list);
  wait_granted(&sem->wait_lock, &w, TASK_UNINTERRUPTIBLE, MAX_SCHEDULE_TIMEOUT);
  raw_unlock(&sem->wait_lock);
}

void down_read(struct rw_semaphore *sem) {
  check_sleep("down_read");
  rwsem_down(sem, 0);
}

void down_write(struct rw_semaphore *sem) {
  check_sleep("down_write");
  rwsem_down(sem, 1);
}

int down_read_trylock(struct rw_semaphore *sem) {
  raw_lock(&sem->wait_lock);
  int ok = sem->activity >= 0 && list_empty(&sem->wait_list);
  if (ok) sem->activity++;
  raw_unlock(&sem->wait_lock);
  return ok;
}

int down_write_trylock(struct rw_semaphore *sem) {
  raw_lock(&sem->wait_lock);
  int ok = sem->activity == 0 && list_empty(&sem->wait_list);
  if (ok) sem->activity = -1;
  raw_unlock(&sem->wait_lock);
  return ok;
}

void up_read(struct rw_semaphore *sem) {
  raw_lock(&sem->wait_lock);
  if (--sem->activity == 0) rwsem_wake(sem);
  raw_unlock(&sem->wait_lock);
}

void up_write(struct rw_semaphore *sem) {
  raw_lock(&sem->wait_lock);
  sem->activity = 0;
  rwsem_wake(sem);
  raw_unlock(&sem->wait_lock);
}

void downgrade_write(struct rw_semaphore *sem) {
  raw_lock(&sem->wait_lock);
  sem->activity = 1;
  rwsem_wake(sem);
  raw_unlock(&sem->wait_lock);
}
