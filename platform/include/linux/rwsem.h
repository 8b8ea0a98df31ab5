// Reader-writer semaphores (FIFO: a waiting writer holds back later readers).
#pragma once
#include <linux/types.h>
#include <linux/list.h>
#include <linux/spinlock.h>

struct rw_semaphore {
  long activity;  // 0 idle, > 0 readers, -1 one writer
  spinlock_t wait_lock;  // internal
  struct list_head wait_list;
  const char *name;
};

#define __RWSEM_INITIALIZER(name) {0, __SPIN_LOCK_UNLOCKED(name.wait_lock), LIST_HEAD_INIT((name).wait_list), #name}
#define DECLARE_RWSEM(name) struct rw_semaphore name = __RWSEM_INITIALIZER(name)

void __init_rwsem(struct rw_semaphore *sem, const char *name);
#define init_rwsem(sem) __init_rwsem((sem), #sem)

// May sleep (context-checked).
void down_read(struct rw_semaphore *sem);
void down_write(struct rw_semaphore *sem);
// Never sleep: 1 when acquired.
int down_read_trylock(struct rw_semaphore *sem);
int down_write_trylock(struct rw_semaphore *sem);
void up_read(struct rw_semaphore *sem);
void up_write(struct rw_semaphore *sem);
void downgrade_write(struct rw_semaphore *sem);
#define down_read_nested(sem, subclass) down_read(sem)
#define down_write_nested(sem, subclass) down_write(sem)
