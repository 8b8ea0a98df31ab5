// Test helper: whether a lock's wait list has waiters, read under the
// primitive's internal lock (as the platform itself reads it).
#pragma once
#include <linux/list.h>
#include <linux/spinlock.h>

inline bool has_waiters(spinlock_t *lock, struct list_head *wait_list) {
  kplat_raw_spin_lock(&lock->raw);
  bool r = !list_empty(wait_list);
  kplat_raw_spin_unlock(&lock->raw);
  return r;
}
