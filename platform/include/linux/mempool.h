// Memory pools: a reserve of min_nr preallocated elements that an allocation
// falls back on, and waits for (with __GFP_WAIT) when the reserve is empty.
#pragma once
#include <linux/types.h>
#include <linux/gfp.h>
#include <linux/wait.h>
#include <linux/spinlock.h>

typedef void *(mempool_alloc_t)(gfp_t gfp_mask, void *pool_data);
typedef void(mempool_free_t)(void *element, void *pool_data);

typedef struct mempool_s {
  spinlock_t lock;  // internal
  int min_nr;       // reserve size
  int curr_nr;      // elements now in the reserve
  void **elements;
  void *pool_data;
  mempool_alloc_t *alloc;
  mempool_free_t *free;
  wait_queue_head_t wait;
} mempool_t;

// May sleep. Fault point "mempool_create" (context: size = min_nr).
mempool_t *mempool_create(int min_nr, mempool_alloc_t *alloc_fn, mempool_free_t *free_fn, void *pool_data);
void mempool_destroy(mempool_t *pool);
void *mempool_alloc(mempool_t *pool, gfp_t gfp_mask);
void mempool_free(void *element, mempool_t *pool);

void *mempool_alloc_slab(gfp_t gfp_mask, void *pool_data);
void mempool_free_slab(void *element, void *pool_data);
void *mempool_kmalloc(gfp_t gfp_mask, void *pool_data);  // pool_data is the size
void mempool_kfree(void *element, void *pool_data);
void *mempool_alloc_pages(gfp_t gfp_mask, void *pool_data);  // pool_data is the order
void mempool_free_pages(void *element, void *pool_data);
static inline mempool_t *mempool_create_slab_pool(int min_nr, struct kmem_cache *kc) {
  return mempool_create(min_nr, mempool_alloc_slab, mempool_free_slab, (void *)kc);
}
static inline mempool_t *mempool_create_kmalloc_pool(int min_nr, size_t size) {
  return mempool_create(min_nr, mempool_kmalloc, mempool_kfree, (void *)size);
}
static inline mempool_t *mempool_create_page_pool(int min_nr, int order) {
  return mempool_create(min_nr, mempool_alloc_pages, mempool_free_pages, (void *)(long)order);
}
