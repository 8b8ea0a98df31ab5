// Kernel threads: real std::threads, each with its own task. A created
// thread does not run its function until woken (wake_up_process or
// kthread_run); kthread_stop asks it to stop, wakes it and waits for it.
#pragma once
#include <linux/sched.h>
#include <linux/err.h>

// ERR_PTR(-ENOMEM) when the thread cannot be made (fault point "kthread_create").
struct task_struct *kthread_create(int (*threadfn)(void *data), void *data, const char namefmt[], ...)
    __attribute__((format(printf, 3, 4)));
#define kthread_run(threadfn, data, namefmt, ...)                                       \
  ({                                                                                    \
    struct task_struct *__k = kthread_create(threadfn, data, namefmt, ##__VA_ARGS__);   \
    if (!IS_ERR(__k)) wake_up_process(__k);                                             \
    __k;                                                                                \
  })
// Returns the thread function's result (-EINTR when it never ran). May sleep.
int kthread_stop(struct task_struct *k);
int kthread_should_stop(void);
static inline void kthread_bind(struct task_struct *k, unsigned int cpu) {}
