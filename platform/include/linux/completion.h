// Completions.
#pragma once
#include <linux/wait.h>

struct completion {
  unsigned int done;  // guarded by wait.lock
  wait_queue_head_t wait;
};

#define COMPLETION_INITIALIZER(work) {0, __WAIT_QUEUE_HEAD_INITIALIZER((work).wait)}
#define DECLARE_COMPLETION(work) struct completion work = COMPLETION_INITIALIZER(work)
#define DECLARE_COMPLETION_ONSTACK(work) DECLARE_COMPLETION(work)

void init_completion(struct completion *x);
// Re-arms a completion (not done) under its lock.
void kplat_reinit_completion(struct completion *x);
#define INIT_COMPLETION(x) kplat_reinit_completion(&(x))

// May sleep (context-checked).
void wait_for_completion(struct completion *x);
int wait_for_completion_interruptible(struct completion *x);  // 0 or -ERESTARTSYS
int wait_for_completion_killable(struct completion *x);
unsigned long wait_for_completion_timeout(struct completion *x, unsigned long timeout);  // remaining or 0
long wait_for_completion_interruptible_timeout(struct completion *x, unsigned long timeout);
// Never sleep.
int try_wait_for_completion(struct completion *x);  // 1 when one was consumed
int completion_done(struct completion *x);          // 1 when a wait would not block
void complete(struct completion *x);
void complete_all(struct completion *x);
