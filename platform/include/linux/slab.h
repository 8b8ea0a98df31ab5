// kmalloc and slab caches. Allocations with __GFP_WAIT may sleep and are
// context-checked. Caches count live objects, poison freed ones (0x6b) and
// complain in the kernel log when destroyed with objects still live.
#pragma once
#include <linux/types.h>
#include <linux/gfp.h>
#include <linux/list.h>
#include <linux/atomic.h>

#define SLAB_DEBUG_FREE 0x00000100UL
#define SLAB_RED_ZONE 0x00000400UL
#define SLAB_POISON 0x00000800UL
#define SLAB_HWCACHE_ALIGN 0x00002000UL
#define SLAB_CACHE_DMA 0x00004000UL
#define SLAB_RECLAIM_ACCOUNT 0x00020000UL
#define SLAB_PANIC 0x00040000UL
#define SLAB_MEM_SPREAD 0x00100000UL

#define ZERO_SIZE_PTR ((void *)16)
#define ZERO_OR_NULL_PTR(x) ((unsigned long)(x) <= (unsigned long)ZERO_SIZE_PTR)
#define KMALLOC_MAX_SIZE (1UL << 22)
#define POISON_FREE 0x6b

struct kmem_cache {
  const char *name;  // owned copy
  size_t size;       // object size asked for
  size_t align;      // effective alignment
  unsigned long flags;
  void (*ctor)(void *);
  struct list_head list;  // all caches (internal)
  void *kp_state;         // live count and freed objects kept for reuse (internal)
};

// Fault point "kmalloc" (context: size, gfp). Sizes above KMALLOC_MAX_SIZE fail.
void *kmalloc(size_t size, gfp_t flags);
void *kzalloc(size_t size, gfp_t flags);
void *kcalloc(size_t n, size_t size, gfp_t flags);
void *krealloc(const void *p, size_t new_size, gfp_t flags);
void kfree(const void *objp);
#define kmalloc_node(size, flags, node) kmalloc(size, flags)

// May sleep. Fault point "kmem_cache_create" (context: name, size). Null on failure.
struct kmem_cache *kmem_cache_create(const char *name, size_t size, size_t align, unsigned long flags,
                                     void (*ctor)(void *));
void kmem_cache_destroy(struct kmem_cache *cachep);
// Fault point "kmem_cache_alloc" (context: cache name, size, gfp).
void *kmem_cache_alloc(struct kmem_cache *cachep, gfp_t flags);
void *kmem_cache_zalloc(struct kmem_cache *cachep, gfp_t flags);
void kmem_cache_free(struct kmem_cache *cachep, void *objp);
static inline unsigned int kmem_cache_size(struct kmem_cache *cachep) { return (unsigned int)cachep->size; }
