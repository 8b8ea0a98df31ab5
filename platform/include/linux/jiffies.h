// The platform clock in jiffies (HZ 1000). Tests may run it faster than real
// time (host::set_clock_speed); every timed wait follows it.
#pragma once
#include <linux/types.h>
#include <limits.h>

#define HZ 1000
#define USER_HZ 100
#define MAX_JIFFY_OFFSET ((LONG_MAX >> 1) - 1)
#define INITIAL_JIFFIES ((unsigned long)(unsigned int)(-300 * HZ))

namespace kplat {
unsigned long read_jiffies();
}
// An expression, not a variable: it cannot be assigned.
#define jiffies (::kplat::read_jiffies())
#define jiffies_64 ((u64)::kplat::read_jiffies())
static inline u64 get_jiffies_64(void) { return ::kplat::read_jiffies(); }

#define time_after(a, b) ((long)((b) - (a)) < 0)
#define time_before(a, b) time_after(b, a)
#define time_after_eq(a, b) ((long)((a) - (b)) >= 0)
#define time_before_eq(a, b) time_after_eq(b, a)
#define time_in_range(a, b, c) (time_after_eq(a, b) && time_before_eq(a, c))
#define time_is_before_jiffies(a) time_after(jiffies, a)
#define time_is_after_jiffies(a) time_before(jiffies, a)

static inline unsigned int jiffies_to_msecs(const unsigned long j) { return (unsigned int)j; }
static inline unsigned int jiffies_to_usecs(const unsigned long j) { return (unsigned int)(j * 1000); }
static inline unsigned long msecs_to_jiffies(const unsigned int m) {
  if ((int)m < 0) return MAX_JIFFY_OFFSET;
  return m;
}
static inline unsigned long usecs_to_jiffies(const unsigned int u) {
  if (u > jiffies_to_usecs(MAX_JIFFY_OFFSET)) return MAX_JIFFY_OFFSET;
  return (u + 999) / 1000;
}
