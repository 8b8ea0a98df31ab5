// poll() support: the event bits (the C library's values) and poll_wait.
#pragma once
#include <linux/types.h>
#include <linux/wait.h>
#include <poll.h>

#ifndef POLLRDNORM
#define POLLRDNORM 0x040
#endif
#ifndef POLLWRNORM
#define POLLWRNORM 0x100
#endif

struct file;
typedef struct poll_table_struct {
  int kp_unused;
} poll_table;
// No poll loop waits on the queue; kept for the calling shape.
static inline void poll_wait(struct file *filp, wait_queue_head_t *wait_address, poll_table *p) {}
