// Counting semaphores (the kernel's: FIFO hand-off to waiters).
#pragma once
#include <linux/types.h>
#include <linux/list.h>
#include <linux/spinlock.h>

struct semaphore {
  spinlock_t lock;  // internal
  unsigned int count;
  struct list_head wait_list;
};

#define __SEMAPHORE_INITIALIZER(name, n) {__SPIN_LOCK_UNLOCKED((name).lock), (n), LIST_HEAD_INIT((name).wait_list)}
#define DEFINE_SEMAPHORE(name) struct semaphore name = __SEMAPHORE_INITIALIZER(name, 1)
#define DECLARE_MUTEX(name) DEFINE_SEMAPHORE(name)

void sema_init(struct semaphore *sem, int val);
#define init_MUTEX(sem) sema_init(sem, 1)
#define init_MUTEX_LOCKED(sem) sema_init(sem, 0)

// May sleep (context-checked).
void down(struct semaphore *sem);
int down_interruptible(struct semaphore *sem);  // 0, or -EINTR when a signal is pending
int down_killable(struct semaphore *sem);
int down_timeout(struct semaphore *sem, long jiffies_timeout);  // 0 or -ETIME
// Never sleeps: 0 when acquired, 1 when not.
int down_trylock(struct semaphore *sem);
void up(struct semaphore *sem);
