// Wait queues and the wait_event family, built like the kernel's on the
// scheduler calls of <linux/sched.h>: register on the queue, set the task
// state, re-check the condition, schedule.
#pragma once
#include <linux/types.h>
#include <linux/list.h>
#include <linux/spinlock.h>
#include <linux/sched.h>

typedef struct __wait_queue wait_queue_t;
typedef int (*wait_queue_func_t)(wait_queue_t *wait, unsigned mode, int flags, void *key);

#define WQ_FLAG_EXCLUSIVE 0x01

struct __wait_queue {
  unsigned int flags;
  void *priv;  // the waiting task ("private" in the kernel; a C++ keyword)
  wait_queue_func_t func;
  struct list_head task_list;
};

struct __wait_queue_head {
  spinlock_t lock;  // internal: taken without context bookkeeping
  struct list_head task_list;
};
typedef struct __wait_queue_head wait_queue_head_t;

#define __WAIT_QUEUE_HEAD_INITIALIZER(name) {__SPIN_LOCK_UNLOCKED(name.lock), {&(name).task_list, &(name).task_list}}
#define DECLARE_WAIT_QUEUE_HEAD(name) wait_queue_head_t name = __WAIT_QUEUE_HEAD_INITIALIZER(name)

void init_waitqueue_head(wait_queue_head_t *q);
int default_wake_function(wait_queue_t *wait, unsigned mode, int flags, void *key);
int autoremove_wake_function(wait_queue_t *wait, unsigned mode, int sync, void *key);

#define __WAITQUEUE_INITIALIZER(name, tsk) {0, (void *)(tsk), default_wake_function, {NULL, NULL}}
#define DECLARE_WAITQUEUE(name, tsk) wait_queue_t name = __WAITQUEUE_INITIALIZER(name, tsk)
#define DEFINE_WAIT_FUNC(name, function)                                                  \
  wait_queue_t name = {0, (void *)::kplat::current_task(), function, {&(name).task_list, \
                                                                        &(name).task_list}}
#define DEFINE_WAIT(name) DEFINE_WAIT_FUNC(name, autoremove_wake_function)

static inline void init_waitqueue_entry(wait_queue_t *q, struct task_struct *p) {
  q->flags = 0;
  q->priv = p;
  q->func = default_wake_function;
}
int waitqueue_active(wait_queue_head_t *q);
void add_wait_queue(wait_queue_head_t *q, wait_queue_t *wait);
void add_wait_queue_exclusive(wait_queue_head_t *q, wait_queue_t *wait);
void remove_wait_queue(wait_queue_head_t *q, wait_queue_t *wait);
void prepare_to_wait(wait_queue_head_t *q, wait_queue_t *wait, int state);
void prepare_to_wait_exclusive(wait_queue_head_t *q, wait_queue_t *wait, int state);
void finish_wait(wait_queue_head_t *q, wait_queue_t *wait);
void __wake_up(wait_queue_head_t *q, unsigned int mode, int nr_exclusive, void *key);
void __wake_up_locked(wait_queue_head_t *q, unsigned int mode);  // q->lock held

#define wake_up(x) __wake_up(x, TASK_NORMAL, 1, NULL)
#define wake_up_nr(x, nr) __wake_up(x, TASK_NORMAL, nr, NULL)
#define wake_up_all(x) __wake_up(x, TASK_NORMAL, 0, NULL)
#define wake_up_interruptible(x) __wake_up(x, TASK_INTERRUPTIBLE, 1, NULL)
#define wake_up_interruptible_nr(x, nr) __wake_up(x, TASK_INTERRUPTIBLE, nr, NULL)
#define wake_up_interruptible_all(x) __wake_up(x, TASK_INTERRUPTIBLE, 0, NULL)

// All forms check the sleeping-context rules first, even when the condition
// already holds, so a misuse is caught on every path.
#define wait_event(wq, condition)                                     \
  do {                                                                \
    ::kplat::check_sleep("wait_event");                               \
    if (condition) break;                                             \
    DEFINE_WAIT(__wait);                                              \
    for (;;) {                                                        \
      prepare_to_wait(&(wq), &__wait, TASK_UNINTERRUPTIBLE);          \
      if (condition) break;                                           \
      schedule();                                                     \
    }                                                                 \
    finish_wait(&(wq), &__wait);                                      \
  } while (0)

// Remaining jiffies (at least 1) when the condition came true, 0 on time-out.
#define wait_event_timeout(wq, condition, timeout)                    \
  ({                                                                  \
    long __ret = (timeout);                                           \
    ::kplat::check_sleep("wait_event_timeout");                       \
    if (!(condition)) {                                               \
      DEFINE_WAIT(__wait);                                            \
      for (;;) {                                                      \
        prepare_to_wait(&(wq), &__wait, TASK_UNINTERRUPTIBLE);        \
        if (condition) break;                                         \
        __ret = schedule_timeout(__ret);                              \
        if (!__ret) break;                                            \
      }                                                               \
      finish_wait(&(wq), &__wait);                                    \
      if (!__ret && (condition)) __ret = 1;                           \
    }                                                                 \
    __ret;                                                            \
  })

// 0 when the condition came true, -ERESTARTSYS when a signal is pending.
#define wait_event_interruptible(wq, condition)                       \
  ({                                                                  \
    int __ret = 0;                                                    \
    ::kplat::check_sleep("wait_event_interruptible");                 \
    if (!(condition)) {                                               \
      DEFINE_WAIT(__wait);                                            \
      for (;;) {                                                      \
        prepare_to_wait(&(wq), &__wait, TASK_INTERRUPTIBLE);          \
        if (condition) break;                                         \
        if (signal_pending(::kplat::current_task())) {                \
          __ret = -ERESTARTSYS;                                       \
          break;                                                      \
        }                                                             \
        schedule();                                                   \
      }                                                               \
      finish_wait(&(wq), &__wait);                                    \
    }                                                                 \
    __ret;                                                            \
  })

#define wait_event_interruptible_exclusive(wq, condition)             \
  ({                                                                  \
    int __ret = 0;                                                    \
    ::kplat::check_sleep("wait_event_interruptible_exclusive");       \
    if (!(condition)) {                                               \
      DEFINE_WAIT(__wait);                                            \
      for (;;) {                                                      \
        prepare_to_wait_exclusive(&(wq), &__wait, TASK_INTERRUPTIBLE); \
        if (condition) break;                                         \
        if (signal_pending(::kplat::current_task())) {                \
          __ret = -ERESTARTSYS;                                       \
          break;                                                      \
        }                                                             \
        schedule();                                                   \
      }                                                               \
      finish_wait(&(wq), &__wait);                                    \
    }                                                                 \
    __ret;                                                            \
  })

// Remaining jiffies (at least 1) when the condition came true, 0 on
// time-out, -ERESTARTSYS when a signal is pending.
#define wait_event_interruptible_timeout(wq, condition, timeout)      \
  ({                                                                  \
    long __ret = (timeout);                                           \
    ::kplat::check_sleep("wait_event_interruptible_timeout");         \
    if (!(condition)) {                                               \
      DEFINE_WAIT(__wait);                                            \
      for (;;) {                                                      \
        prepare_to_wait(&(wq), &__wait, TASK_INTERRUPTIBLE);          \
        if (condition) break;                                         \
        if (signal_pending(::kplat::current_task())) {                \
          __ret = -ERESTARTSYS;                                       \
          break;                                                      \
        }                                                             \
        __ret = schedule_timeout(__ret);                              \
        if (!__ret) break;                                            \
      }                                                               \
      finish_wait(&(wq), &__wait);                                    \
      if (!__ret && (condition)) __ret = 1;                           \
    }                                                                 \
    __ret;                                                            \
  })

#define wait_event_killable(wq, condition) wait_event_interruptible(wq, condition)
