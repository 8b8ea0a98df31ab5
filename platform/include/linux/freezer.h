// There is no freezer: tasks are never frozen.
#pragma once
#include <linux/sched.h>
static inline int freezing(struct task_struct *p) { return 0; }
static inline int try_to_freeze(void) { return 0; }
static inline void set_freezable(void) {}
