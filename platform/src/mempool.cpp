// Memory pools: the reserve is filled at creation; an allocation tries the
// underlying allocator without waiting first, then the reserve, and with
// __GFP_WAIT sleeps until an element is given back.
#include "task.h"
#include "internal.h"
#include <linux/mempool.h>
#include <linux/slab.h>
#include <linux/mm.h>
#include <cstdlib>

using namespace kplat;

static void free_pool(mempool_t *pool) {
  while (pool->curr_nr) pool->free(pool->elements[--pool->curr_nr], pool->pool_data);
  kfree(pool->elements);
  kfree(pool);
}

mempool_t *mempool_create(int min_nr, mempool_alloc_t *alloc_fn, mempool_free_t *free_fn, void *pool_data) {
  check_sleep("mempool_create");
  fault_ctx ctx;
  ctx.size = (size_t)(min_nr < 0 ? 0 : min_nr);
  ctx.gfp = GFP_KERNEL;
  if (fault_hit("mempool_create", ctx)) return nullptr;
  if (min_nr < 1 || !alloc_fn || !free_fn) return nullptr;
  auto *pool = static_cast<mempool_t *>(kzalloc(sizeof(mempool_t), GFP_KERNEL));
  if (!pool) return nullptr;
  pool->elements = static_cast<void **>(kmalloc((size_t)min_nr * sizeof(void *), GFP_KERNEL));
  if (!pool->elements) {
    kfree(pool);
    return nullptr;
  }
  spin_lock_init(&pool->lock);
  pool->min_nr = min_nr;
  pool->pool_data = pool_data;
  init_waitqueue_head(&pool->wait);
  pool->alloc = alloc_fn;
  pool->free = free_fn;
  while (pool->curr_nr < pool->min_nr) {
    void *element = pool->alloc(GFP_KERNEL, pool->pool_data);
    if (!element) {
      free_pool(pool);
      return nullptr;
    }
    pool->elements[pool->curr_nr++] = element;
  }
  return pool;
}

void mempool_destroy(mempool_t *pool) {
  if (!pool) return;
  if (pool->curr_nr != pool->min_nr)
    report("BUG: mempool_destroy with %d of %d elements outstanding", pool->min_nr - pool->curr_nr, pool->min_nr);
  free_pool(pool);
}

void *mempool_alloc(mempool_t *pool, gfp_t gfp_mask) {
  if (gfp_mask & __GFP_WAIT) check_sleep("mempool_alloc");
  const gfp_t try_mask = gfp_mask & ~(__GFP_WAIT | __GFP_IO);
  for (;;) {
    void *element = pool->alloc(try_mask | __GFP_NOWARN, pool->pool_data);
    if (element) return element;
    raw_lock(&pool->lock);
    if (pool->curr_nr > 0) {
      element = pool->elements[--pool->curr_nr];
      raw_unlock(&pool->lock);
      return element;
    }
    raw_unlock(&pool->lock);
    if (!(gfp_mask & __GFP_WAIT)) return nullptr;
    // Wait for an element to come back, or retry the allocator after 5 s.
    DEFINE_WAIT(wait);
    prepare_to_wait(&pool->wait, &wait, TASK_UNINTERRUPTIBLE);
    raw_lock(&pool->lock);
    bool empty = pool->curr_nr == 0;
    raw_unlock(&pool->lock);
    if (empty) sched_timeout_raw(5 * HZ);
    finish_wait(&pool->wait, &wait);
  }
}

void mempool_free(void *element, mempool_t *pool) {
  if (!element) return;
  raw_lock(&pool->lock);
  if (pool->curr_nr < pool->min_nr) {
    pool->elements[pool->curr_nr++] = element;
    raw_unlock(&pool->lock);
    wake_up(&pool->wait);
    return;
  }
  raw_unlock(&pool->lock);
  pool->free(element, pool->pool_data);
}

void *mempool_alloc_slab(gfp_t gfp_mask, void *pool_data) {
  return kmem_cache_alloc(static_cast<struct kmem_cache *>(pool_data), gfp_mask);
}
void mempool_free_slab(void *element, void *pool_data) {
  kmem_cache_free(static_cast<struct kmem_cache *>(pool_data), element);
}
void *mempool_kmalloc(gfp_t gfp_mask, void *pool_data) { return kmalloc((size_t)pool_data, gfp_mask); }
void mempool_kfree(void *element, void *pool_data) { kfree(element); }
void *mempool_alloc_pages(gfp_t gfp_mask, void *pool_data) {
  return alloc_pages(gfp_mask, (unsigned)(long)pool_data);
}
void mempool_free_pages(void *element, void *pool_data) {
  __free_pages(static_cast<struct page *>(element), (unsigned)(long)pool_data);
}
