// kmalloc, slab caches and vmalloc on the C allocator, with the kernel's
// context rules, fault points and live-object accounting.
#include "task.h"
#include "internal.h"
#include "depot.h"
#include <host/host.h>
#include <linux/slab.h>
#include <linux/vmalloc.h>
#include <linux/mm.h>
#include <linux/string.h>
#include <cstdlib>
#include <cstring>
#include <malloc.h>
#include <new>

using namespace kplat;

namespace {
split_count g_kmalloc_live;
std::atomic<long> g_vmalloc_live{0};

struct cache_list {
  std::mutex mu;
  struct list_head head = LIST_HEAD_INIT(head);
};
cache_list &caches() {
  static cache_list *c = new cache_list();
  return *c;
}

size_t obj_stride(const struct kmem_cache *c) { return (c->size + c->align - 1) & ~(c->align - 1); }

// A cache keeps up to about this many freed objects, as a slab keeps its free objects: the
// request paths allocate and free several records per bio, often on different threads,
// which the C allocator serves slowly. Kept objects stay poisoned (and, under
// AddressSanitizer, unaddressable) until they are handed out again.
constexpr unsigned kCacheKeep = 1024;

// What a cache has beside its public fields. Objects are often allocated on one thread and
// freed on another, so the live count is a split one.
struct cache_state {
  explicit cache_state(size_t keep) : kept(keep) {}
  object_depot kept;  // freed objects
  split_count live;   // objects allocated and not freed
};

cache_state *state(struct kmem_cache *c) { return static_cast<cache_state *>(c->kp_state); }
object_depot *depot(struct kmem_cache *c) { return &state(c)->kept; }

void *take_kept(struct kmem_cache *c) {
  void *p = depot(c)->take();
  if (p) KP_UNPOISON(p, c->size);
  return p;
}

bool keep(struct kmem_cache *c, void *p) {
  KP_POISON(p, c->size);
  if (depot(c)->give(p)) return true;
  KP_UNPOISON(p, c->size);
  return false;
}

void drop_kept(struct kmem_cache *c) {
  depot(c)->drain([c](void *p) {
    KP_UNPOISON(p, c->size);
    free(p);
  });
  delete state(c);
  c->kp_state = nullptr;
}

// Blocks of up to 1 KiB come in size classes that keep freed blocks for reuse, as the
// kernel's kmalloc-N caches do: the request paths allocate records on one thread and free
// them on another for every bio, which the C allocator serves through its arena locks.
// Blocks of a cache line or more start on a line, as a kmalloc cache's objects do (a
// structure that gives a hot lock a line of its own relies on it).
constexpr size_t kCacheLine = 64;
constexpr size_t kClassSizes[] = {32, 64, 128, 256, 512, 1024};
constexpr int kClasses = int(sizeof(kClassSizes) / sizeof(kClassSizes[0]));
constexpr unsigned kClassKeep = 1024;

object_depot *class_depots() {
  static object_depot *d = [] {
    auto *a = static_cast<object_depot *>(operator new(sizeof(object_depot) * kClasses));
    for (int i = 0; i < kClasses; i++) new (&a[i]) object_depot(kClassKeep);
    return a;
  }();
  return d;
}

size_t whole_lines(size_t size) { return (size + kCacheLine - 1) & ~(kCacheLine - 1); }

void *raw_block(size_t size) {
  if (size < kCacheLine) return malloc(size);
  return aligned_alloc(kCacheLine, whole_lines(size));
}

void *kmalloc_block(size_t size) {
  for (int i = 0; i < kClasses; i++) {
    if (size > kClassSizes[i]) continue;
    if (void *p = class_depots()[i].take()) {
      KP_UNPOISON(p, kClassSizes[i]);
      return p;
    }
    return raw_block(kClassSizes[i]);
  }
  return raw_block(size);
}

// The largest class a block can serve, or -1: it must hold the class's size and, from a
// line up, start on a line. Any block qualifies that way, whoever allocated it; one of twice
// the largest class or more goes back to the C allocator rather than be kept.
int class_of_block(void *p) {
  size_t usable = malloc_usable_size(p);
  if (usable >= 2 * kClassSizes[kClasses - 1]) return -1;
  bool on_line = reinterpret_cast<uintptr_t>(p) % kCacheLine == 0;
  for (int i = kClasses - 1; i >= 0; i--)
    if (usable >= kClassSizes[i] && (kClassSizes[i] < kCacheLine || on_line)) return i;
  return -1;
}

void kfree_block(void *p) {
  int c = class_of_block(p);
  if (c >= 0) {
    KP_POISON(p, kClassSizes[c]);
    if (class_depots()[c].give(p)) return;
    KP_UNPOISON(p, kClassSizes[c]);
  }
  free(p);
}
}  // namespace

void *kmalloc(size_t size, gfp_t flags) {
  if (flags & __GFP_WAIT) check_sleep("kmalloc");
  fault_ctx ctx;
  ctx.size = size;
  ctx.gfp = flags;
  if (fault_hit("kmalloc", ctx)) return nullptr;
  if (size == 0) return ZERO_SIZE_PTR;
  if (size > KMALLOC_MAX_SIZE) return nullptr;
  void *p = kmalloc_block(size);
  if (!p) return nullptr;
  if (flags & __GFP_ZERO) memset(p, 0, size);
  g_kmalloc_live.add();
  return p;
}

void *kzalloc(size_t size, gfp_t flags) { return kmalloc(size, flags | __GFP_ZERO); }

void *kcalloc(size_t n, size_t size, gfp_t flags) {
  if (size != 0 && n > ULONG_MAX / size) return nullptr;
  return kmalloc(n * size, flags | __GFP_ZERO);
}

void *krealloc(const void *p, size_t new_size, gfp_t flags) {
  if (ZERO_OR_NULL_PTR(p)) return kmalloc(new_size, flags);
  if (new_size == 0) {
    kfree(p);
    return ZERO_SIZE_PTR;
  }
  void *n = kmalloc(new_size, flags);
  if (!n) return nullptr;
  size_t old = malloc_usable_size(const_cast<void *>(p));
  memcpy(n, p, old < new_size ? old : new_size);
  kfree(p);
  return n;
}

void kfree(const void *objp) {
  if (ZERO_OR_NULL_PTR(objp)) return;
  g_kmalloc_live.sub();
  kfree_block(const_cast<void *>(objp));
}

char *kstrdup(const char *s, gfp_t gfp) {
  if (!s) return nullptr;
  size_t n = strlen(s) + 1;
  char *d = static_cast<char *>(kmalloc(n, gfp));
  if (d) memcpy(d, s, n);
  return d;
}

#ifndef KPLAT_LIBC_HAS_STRLCPY
size_t strlcpy(char *dest, const char *src, size_t size) {
  size_t ret = strlen(src);
  if (size) {
    size_t len = ret >= size ? size - 1 : ret;
    memcpy(dest, src, len);
    dest[len] = '\0';
  }
  return ret;
}

size_t strlcat(char *dest, const char *src, size_t count) {
  size_t dsize = strnlen(dest, count);
  size_t len = strlen(src);
  size_t res = dsize + len;
  if (dsize == count) return res;
  dest += dsize;
  count -= dsize;
  if (len >= count) len = count - 1;
  memcpy(dest, src, len);
  dest[len] = 0;
  return res;
}
#endif

// ---- slab caches ----

struct kmem_cache *kmem_cache_create(const char *name, size_t size, size_t align, unsigned long flags,
                                     void (*ctor)(void *)) {
  check_sleep("kmem_cache_create");
  fault_ctx ctx;
  ctx.size = size;
  ctx.name = name;
  if (fault_hit("kmem_cache_create", ctx)) return nullptr;
  if (!name || size < sizeof(void *) || size > KMALLOC_MAX_SIZE || (align & (align - 1))) {
    printk(KERN_ERR "kmem_cache_create: Early error in slab %s\n", name ? name : "(null)");
    return nullptr;
  }
  size_t ralign = sizeof(void *);
  if (flags & SLAB_HWCACHE_ALIGN) {
    // As the kernel does: a cache line, halved while two objects fit in it.
    ralign = 64;
    while (size <= ralign / 2) ralign /= 2;
    if (ralign < sizeof(void *)) ralign = sizeof(void *);
  }
  if (align > ralign) ralign = align;
  // On lines of its own: every allocation and free reads it, and a neighbour written as
  // often would take its line away each time.
  const size_t bytes = whole_lines(sizeof(struct kmem_cache));
  auto *c = static_cast<struct kmem_cache *>(aligned_alloc(kCacheLine, bytes));
  if (!c) return nullptr;
  memset(static_cast<void *>(c), 0, bytes);
  c->kp_state = new (std::nothrow) cache_state(kCacheKeep);
  c->name = strdup(name);
  if (!c->kp_state || !c->name) {
    delete state(c);
    free(const_cast<char *>(c->name));
    free(c);
    return nullptr;
  }
  c->size = size;
  c->align = ralign;
  c->flags = flags;
  c->ctor = ctor;
  std::lock_guard<std::mutex> g(caches().mu);
  list_add_tail(&c->list, &caches().head);
  return c;
}

void kmem_cache_destroy(struct kmem_cache *c) {
  if (!c) return;
  check_sleep("kmem_cache_destroy");
  long live = state(c)->live.value();
  if (live != 0) {
    // The cache stays (its objects still point at it), as the kernel leaves it.
    report("slab error in kmem_cache_destroy(): cache `%s': Can't free all objects (%ld live)", c->name, live);
    return;
  }
  {
    std::lock_guard<std::mutex> g(caches().mu);
    list_del(&c->list);
  }
  drop_kept(c);
  free(const_cast<char *>(c->name));
  free(c);
}

void *kmem_cache_alloc(struct kmem_cache *c, gfp_t flags) {
  if (flags & __GFP_WAIT) check_sleep("kmem_cache_alloc");
  fault_ctx ctx;
  ctx.size = c->size;
  ctx.gfp = flags;
  ctx.name = c->name;
  if (fault_hit("kmem_cache_alloc", ctx)) return nullptr;
  void *p = take_kept(c);
  if (!p) p = aligned_alloc(c->align, obj_stride(c));
  if (!p) return nullptr;
  if (flags & __GFP_ZERO)
    memset(p, 0, c->size);
  else if (c->ctor)
    c->ctor(p);
  state(c)->live.add();
  return p;
}

void *kmem_cache_zalloc(struct kmem_cache *c, gfp_t flags) { return kmem_cache_alloc(c, flags | __GFP_ZERO); }

void kmem_cache_free(struct kmem_cache *c, void *objp) {
  if (!objp) return;
  // Poisoned so that a use after free reads garbage rather than stale data.
  memset(objp, POISON_FREE, c->size);
  state(c)->live.sub();
  if (!keep(c, objp)) free(objp);
}

// ---- vmalloc ----

void *vmalloc(unsigned long size) {
  check_sleep("vmalloc");
  fault_ctx ctx;
  ctx.size = size;
  ctx.gfp = GFP_KERNEL;
  if (fault_hit("vmalloc", ctx)) return nullptr;
  if (size == 0) return nullptr;
  void *p = aligned_alloc(PAGE_SIZE, PAGE_ALIGN(size));
  if (p) g_vmalloc_live.fetch_add(1, std::memory_order_relaxed);
  return p;
}

void *vzalloc(unsigned long size) {
  void *p = vmalloc(size);
  if (p) memset(p, 0, size);
  return p;
}

void vfree(const void *addr) {
  if (!addr) return;
  if (in_interrupt()) kernel_bug(__FILE__, __LINE__, "vfree in interrupt context");
  g_vmalloc_live.fetch_sub(1, std::memory_order_relaxed);
  free(const_cast<void *>(addr));
}

namespace host {

long kmalloc_in_use() { return g_kmalloc_live.value(); }
long vmalloc_in_use() { return g_vmalloc_live.load(); }

long kmem_cache_objects(const std::string &name) {
  std::lock_guard<std::mutex> g(caches().mu);
  struct kmem_cache *c;
  list_for_each_entry(c, &caches().head, list) {
    if (name == c->name) return state(c)->live.value();
  }
  return -1;
}

std::vector<std::string> kmem_cache_names() {
  std::vector<std::string> out;
  std::lock_guard<std::mutex> g(caches().mu);
  struct kmem_cache *c;
  list_for_each_entry(c, &caches().head, list) out.push_back(c->name);
  return out;
}

}  // namespace host
