// Wall-clock time of the platform clock: the real time at start-up plus the
// (possibly accelerated) time elapsed since.
#pragma once
#include <linux/types.h>
#include <linux/jiffies.h>
#include <time.h>
#include <sys/time.h>

#define MSEC_PER_SEC 1000L
#define USEC_PER_MSEC 1000L
#define NSEC_PER_USEC 1000L
#define NSEC_PER_MSEC 1000000L
#define USEC_PER_SEC 1000000L
#define NSEC_PER_SEC 1000000000L

struct timespec current_kernel_time(void);
void getnstimeofday(struct timespec *ts);
void do_gettimeofday(struct timeval *tv);
unsigned long get_seconds(void);

static inline struct timespec timespec_sub(struct timespec lhs, struct timespec rhs) {
  struct timespec r;
  r.tv_sec = lhs.tv_sec - rhs.tv_sec;
  r.tv_nsec = lhs.tv_nsec - rhs.tv_nsec;
  while (r.tv_nsec < 0) { r.tv_nsec += NSEC_PER_SEC; r.tv_sec--; }
  return r;
}
static inline s64 timespec_to_ns(const struct timespec *ts) {
  return ((s64)ts->tv_sec * NSEC_PER_SEC) + ts->tv_nsec;
}
static inline int timespec_compare(const struct timespec *a, const struct timespec *b) {
  if (a->tv_sec < b->tv_sec) return -1;
  if (a->tv_sec > b->tv_sec) return 1;
  return (int)(a->tv_nsec - b->tv_nsec);
}
