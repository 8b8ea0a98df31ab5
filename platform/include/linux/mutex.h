// Sleeping mutexes. mutex_init keeps its stringified argument as the lock's
// debug name ("&clone->open_mutex").
#pragma once
#include <linux/types.h>
#include <linux/list.h>
#include <linux/atomic.h>
#include <linux/spinlock.h>

struct task_struct;
struct mutex {
  atomic_t count;  // 1 unlocked, 0 locked
  spinlock_t wait_lock;  // internal
  struct list_head wait_list;
  struct task_struct *owner;
  const char *name;
};

#define __MUTEX_INITIALIZER(lockname) \
  {ATOMIC_INIT(1), __SPIN_LOCK_UNLOCKED(lockname.wait_lock), LIST_HEAD_INIT((lockname).wait_list), NULL, #lockname}
#define DEFINE_MUTEX(mutexname) struct mutex mutexname = __MUTEX_INITIALIZER(mutexname)

void __mutex_init(struct mutex *lock, const char *name);
#define mutex_init(mutex) __mutex_init((mutex), #mutex)
static inline void mutex_destroy(struct mutex *lock) {}
static inline int mutex_is_locked(struct mutex *lock) { return atomic_read(&lock->count) != 1; }

// May sleep (context-checked).
void mutex_lock(struct mutex *lock);
int mutex_lock_interruptible(struct mutex *lock);  // 0, or -EINTR when a signal is pending
int mutex_lock_killable(struct mutex *lock);
#define mutex_lock_nested(lock, subclass) mutex_lock(lock)
// Never sleeps: 1 when acquired, 0 when not.
int mutex_trylock(struct mutex *lock);
void mutex_unlock(struct mutex *lock);
