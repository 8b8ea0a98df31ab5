// Wait queues and completions.
#include "task.h"
#include <linux/wait.h>
#include <linux/completion.h>
#include <climits>

using namespace kplat;

void init_waitqueue_head(wait_queue_head_t *q) {
  spin_lock_init(&q->lock);
  INIT_LIST_HEAD(&q->task_list);
}

int default_wake_function(wait_queue_t *wait, unsigned mode, int flags, void *key) {
  return try_to_wake_up(static_cast<struct task_struct *>(wait->priv), mode);
}

int autoremove_wake_function(wait_queue_t *wait, unsigned mode, int sync, void *key) {
  int ret = default_wake_function(wait, mode, sync, key);
  if (ret) list_del_init(&wait->task_list);
  return ret;
}

int waitqueue_active(wait_queue_head_t *q) {
  raw_lock(&q->lock);
  int r = !list_empty(&q->task_list);
  raw_unlock(&q->lock);
  return r;
}

void add_wait_queue(wait_queue_head_t *q, wait_queue_t *wait) {
  wait->flags &= ~WQ_FLAG_EXCLUSIVE;
  raw_lock(&q->lock);
  list_add(&wait->task_list, &q->task_list);
  raw_unlock(&q->lock);
}

void add_wait_queue_exclusive(wait_queue_head_t *q, wait_queue_t *wait) {
  wait->flags |= WQ_FLAG_EXCLUSIVE;
  raw_lock(&q->lock);
  list_add_tail(&wait->task_list, &q->task_list);
  raw_unlock(&q->lock);
}

void remove_wait_queue(wait_queue_head_t *q, wait_queue_t *wait) {
  raw_lock(&q->lock);
  list_del_init(&wait->task_list);
  raw_unlock(&q->lock);
}

void prepare_to_wait(wait_queue_head_t *q, wait_queue_t *wait, int state) {
  wait->flags &= ~WQ_FLAG_EXCLUSIVE;
  raw_lock(&q->lock);
  if (list_empty(&wait->task_list)) list_add(&wait->task_list, &q->task_list);
  kplat_set_current_state(state);
  raw_unlock(&q->lock);
}

void prepare_to_wait_exclusive(wait_queue_head_t *q, wait_queue_t *wait, int state) {
  wait->flags |= WQ_FLAG_EXCLUSIVE;
  raw_lock(&q->lock);
  if (list_empty(&wait->task_list)) list_add_tail(&wait->task_list, &q->task_list);
  kplat_set_current_state(state);
  raw_unlock(&q->lock);
}

void finish_wait(wait_queue_head_t *q, wait_queue_t *wait) {
  kplat_set_current_state(TASK_RUNNING);
  // Always under the lock (the kernel peeks first): keeps the sanitizers quiet.
  raw_lock(&q->lock);
  if (!list_empty(&wait->task_list)) list_del_init(&wait->task_list);
  raw_unlock(&q->lock);
}

static void wake_locked(wait_queue_head_t *q, unsigned int mode, int nr_exclusive, void *key) {
  wait_queue_t *curr, *next;
  list_for_each_entry_safe(curr, next, &q->task_list, task_list) {
    unsigned flags = curr->flags;
    if (curr->func(curr, mode, 0, key) && (flags & WQ_FLAG_EXCLUSIVE) && !--nr_exclusive) break;
  }
}

void __wake_up(wait_queue_head_t *q, unsigned int mode, int nr_exclusive, void *key) {
  raw_lock(&q->lock);
  wake_locked(q, mode, nr_exclusive, key);
  raw_unlock(&q->lock);
}

void __wake_up_locked(wait_queue_head_t *q, unsigned int mode) { wake_locked(q, mode, 1, nullptr); }

// ---- completions ----

void init_completion(struct completion *x) {
  x->done = 0;
  init_waitqueue_head(&x->wait);
}

void kplat_reinit_completion(struct completion *x) {
  raw_lock(&x->wait.lock);
  x->done = 0;
  raw_unlock(&x->wait.lock);
}

// The kernel's wait_for_common: remaining jiffies (at least 1) when done,
// 0 on time-out, -ERESTARTSYS when interrupted.
static long wait_for_common(struct completion *x, long timeout, long state) {
  raw_lock(&x->wait.lock);
  if (!x->done) {
    struct task_struct *t = current_task();
    wait_queue_t wait = {WQ_FLAG_EXCLUSIVE, t, default_wake_function, {nullptr, nullptr}};
    list_add_tail(&wait.task_list, &x->wait.task_list);
    do {
      if ((state & (TASK_INTERRUPTIBLE | TASK_WAKEKILL)) && signal_pending(t)) {
        timeout = -ERESTARTSYS;
        break;
      }
      kplat_set_current_state(state);
      raw_unlock(&x->wait.lock);
      timeout = sched_timeout_raw(timeout);
      raw_lock(&x->wait.lock);
    } while (!x->done && timeout);
    list_del(&wait.task_list);
    if (!x->done) {
      raw_unlock(&x->wait.lock);
      return timeout;
    }
  }
  if (x->done != UINT_MAX) x->done--;
  raw_unlock(&x->wait.lock);
  return timeout ? timeout : 1;
}

void wait_for_completion(struct completion *x) {
  check_sleep("wait_for_completion");
  wait_for_common(x, MAX_SCHEDULE_TIMEOUT, TASK_UNINTERRUPTIBLE);
}

int wait_for_completion_interruptible(struct completion *x) {
  check_sleep("wait_for_completion_interruptible");
  long t = wait_for_common(x, MAX_SCHEDULE_TIMEOUT, TASK_INTERRUPTIBLE);
  return t == -ERESTARTSYS ? (int)t : 0;
}

int wait_for_completion_killable(struct completion *x) {
  check_sleep("wait_for_completion_killable");
  long t = wait_for_common(x, MAX_SCHEDULE_TIMEOUT, TASK_KILLABLE);
  return t == -ERESTARTSYS ? (int)t : 0;
}

unsigned long wait_for_completion_timeout(struct completion *x, unsigned long timeout) {
  check_sleep("wait_for_completion_timeout");
  return (unsigned long)wait_for_common(x, (long)timeout, TASK_UNINTERRUPTIBLE);
}

long wait_for_completion_interruptible_timeout(struct completion *x, unsigned long timeout) {
  check_sleep("wait_for_completion_interruptible_timeout");
  return wait_for_common(x, (long)timeout, TASK_INTERRUPTIBLE);
}

int try_wait_for_completion(struct completion *x) {
  raw_lock(&x->wait.lock);
  int ret = x->done != 0;
  if (ret && x->done != UINT_MAX) x->done--;
  raw_unlock(&x->wait.lock);
  return ret;
}

int completion_done(struct completion *x) {
  raw_lock(&x->wait.lock);
  int ret = x->done != 0;
  raw_unlock(&x->wait.lock);
  return ret;
}

void complete(struct completion *x) {
  raw_lock(&x->wait.lock);
  if (x->done != UINT_MAX) x->done++;
  wake_locked(&x->wait, TASK_NORMAL, 1, nullptr);
  raw_unlock(&x->wait.lock);
}

void complete_all(struct completion *x) {
  raw_lock(&x->wait.lock);
  x->done = UINT_MAX;
  wake_locked(&x->wait, TASK_NORMAL, 0, nullptr);
  raw_unlock(&x->wait.lock);
}
