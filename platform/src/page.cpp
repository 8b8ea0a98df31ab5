// Page allocation and the zone page-state counters.
#include "task.h"
#include "internal.h"
#include <host/host.h>
#include <linux/mm.h>
#include <linux/gfp.h>
#include <linux/vmstat.h>
#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>
#include <sys/mman.h>

using namespace kplat;

namespace {
kplat::split_count g_pages_live;
std::atomic<long> g_zone[NR_VM_ZONE_STAT_ITEMS];

// Memory block start -> first page, so virt_to_page and free_pages work.
struct page_map {
  std::mutex mu;
  std::map<uintptr_t, struct page *> by_addr;
};
page_map &pmap() {
  static page_map *m = new page_map();
  return *m;
}

// Single pages live like the kernel's memory: carved from blocks mapped (and faulted in)
// once, kept for reuse when freed and never given back, so a page costs neither an
// allocation nor page faults (which are dear under virtualisation) per use. A free page
// keeps its map entry; its memory is poisoned under AddressSanitizer, so a use after free
// is still caught. Blocks of two or more pages come from the C allocator.
constexpr size_t kArenaBlock = 2UL << 20;
constexpr unsigned long kPageFreeFlag = 1UL << 63;  // on the free list: a second free is a bug
constexpr unsigned long kPageTailFlag = 1UL << 62;  // inside a block: only its head is freed

struct single_pages {
  std::mutex mu;
  std::vector<struct page *> free;  // mu
  char *next = nullptr;             // mu: unused memory of the newest arena block
  char *end = nullptr;              // mu
};
single_pages &singles() {
  static single_pages *s = new single_pages();
  return *s;
}

// Memory for one more page; null when the arena cannot grow. singles().mu held.
void *__arena_page() {
  single_pages &s = singles();
  if (s.next == s.end) {
    void *m = mmap(nullptr, kArenaBlock, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE,
                   -1, 0);
    if (m == MAP_FAILED) return nullptr;
    s.next = static_cast<char *>(m);
    s.end = s.next + kArenaBlock;
  }
  void *mem = s.next;
  s.next += PAGE_SIZE;
  return mem;
}

void reset_page(struct page *p) {
  p->flags = 0;
  p->private_ = 0;
  p->index = 0;
  p->mapping = nullptr;
  p->kp_order = 0;
  INIT_LIST_HEAD(&p->lru);
  atomic_set(&p->_count, 1);
}

struct page *alloc_single_page() {
  single_pages &s = singles();
  struct page *p = nullptr;
  {
    std::lock_guard<std::mutex> g(s.mu);
    if (!s.free.empty()) {
      p = s.free.back();
      s.free.pop_back();
    }
  }
  if (p) {
    KP_UNPOISON(p->virtual_addr, PAGE_SIZE);
    reset_page(p);
    return p;
  }
  // A new page: its record first, so that a failure leaves the arena as it was.
  p = static_cast<struct page *>(calloc(1, sizeof(struct page)));
  if (!p) return nullptr;
  void *mem;
  {
    std::lock_guard<std::mutex> g(s.mu);
    mem = __arena_page();
  }
  if (!mem) {
    free(p);
    return nullptr;
  }
  p->virtual_addr = mem;
  reset_page(p);
  std::lock_guard<std::mutex> g(pmap().mu);
  pmap().by_addr[(uintptr_t)mem] = p;
  return p;
}

void free_single_page(struct page *p) {
  single_pages &s = singles();
  p->flags = kPageFreeFlag;
  KP_POISON(p->virtual_addr, PAGE_SIZE);
  std::lock_guard<std::mutex> g(s.mu);
  s.free.push_back(p);
}
}  // namespace

struct page *alloc_pages(gfp_t gfp_mask, unsigned int order) {
  if (gfp_mask & __GFP_WAIT) check_sleep("alloc_pages");
  fault_ctx ctx;
  ctx.size = PAGE_SIZE << order;
  ctx.gfp = gfp_mask;
  if (fault_hit("alloc_page", ctx)) return nullptr;
  if (order > 10) return nullptr;
  if (order == 0) {
    struct page *p = alloc_single_page();
    if (!p) return nullptr;
    if (gfp_mask & __GFP_ZERO) memset(p->virtual_addr, 0, PAGE_SIZE);
    g_pages_live.add();
    return p;
  }
  const size_t n = 1UL << order;
  auto *pages = static_cast<struct page *>(calloc(n, sizeof(struct page)));
  if (!pages) return nullptr;
  void *mem = aligned_alloc(PAGE_SIZE, n * PAGE_SIZE);
  if (!mem) {
    free(pages);
    return nullptr;
  }
  if (gfp_mask & __GFP_ZERO) memset(mem, 0, n * PAGE_SIZE);
  for (size_t i = 0; i < n; i++) {
    pages[i].virtual_addr = static_cast<char *>(mem) + i * PAGE_SIZE;
    INIT_LIST_HEAD(&pages[i].lru);
    if (i) pages[i].flags = kPageTailFlag;
  }
  atomic_set(&pages[0]._count, 1);
  pages[0].kp_order = order;
  {
    std::lock_guard<std::mutex> g(pmap().mu);
    pmap().by_addr[(uintptr_t)mem] = pages;
  }
  g_pages_live.add((long)n);
  return pages;
}

void __free_pages(struct page *page, unsigned int order) {
  if (!page) return;
  if (page->flags & kPageFreeFlag) {
    report("BUG: __free_pages of a page that is already free");
    return;
  }
  if (page->flags & kPageTailFlag) {
    report("BUG: __free_pages of a page inside a block; free its first page");
    return;
  }
  if (order != page->kp_order) {
    report("BUG: __free_pages order %u of a block of order %u", order, page->kp_order);
    order = page->kp_order;
  }
  const size_t n = 1UL << order;
  void *mem = page->virtual_addr;
  if (order == 0) {
    free_single_page(page);
    g_pages_live.sub();
    return;
  }
  {
    std::lock_guard<std::mutex> g(pmap().mu);
    pmap().by_addr.erase((uintptr_t)mem);
  }
  g_pages_live.sub((long)n);
  free(mem);
  free(page);
}

void put_page(struct page *page) {
  if (atomic_dec_and_test(&page->_count)) __free_pages(page, page->kp_order);
}

struct page *virt_to_page(const void *addr) {
  std::lock_guard<std::mutex> g(pmap().mu);
  auto &m = pmap().by_addr;
  auto it = m.upper_bound((uintptr_t)addr);
  if (it == m.begin()) return nullptr;
  --it;
  struct page *first = it->second;
  size_t idx = ((uintptr_t)addr - it->first) / PAGE_SIZE;
  if (idx >= (1UL << first->kp_order)) return nullptr;
  return first + idx;
}

unsigned long __get_free_pages(gfp_t gfp_mask, unsigned int order) {
  struct page *p = alloc_pages(gfp_mask, order);
  return p ? (unsigned long)page_address(p) : 0;
}

unsigned long get_zeroed_page(gfp_t gfp_mask) { return __get_free_pages(gfp_mask | __GFP_ZERO, 0); }

void free_pages(unsigned long addr, unsigned int order) {
  if (!addr) return;
  struct page *p = virt_to_page((const void *)addr);
  if (!p) {
    report("BUG: free_pages of %#lx, which is no page block", addr);
    return;
  }
  __free_pages(p, order);
}

void inc_zone_page_state(struct page *page, enum zone_stat_item item) { mod_zone_page_state(page, item, 1); }
void dec_zone_page_state(struct page *page, enum zone_stat_item item) { mod_zone_page_state(page, item, -1); }
void mod_zone_page_state(struct page *page, enum zone_stat_item item, int delta) {
  if ((unsigned)item >= NR_VM_ZONE_STAT_ITEMS) return;
  g_zone[item].fetch_add(delta, std::memory_order_relaxed);
}

unsigned long global_page_state(enum zone_stat_item item) {
  if ((unsigned)item >= NR_VM_ZONE_STAT_ITEMS) return 0;
  long v = g_zone[item].load(std::memory_order_relaxed);
  return v < 0 ? 0 : (unsigned long)v;
}

namespace host {
long pages_in_use() { return g_pages_live.value(); }
long zone_page_state(int item) {
  if (item < 0 || item >= NR_VM_ZONE_STAT_ITEMS) return 0;
  return g_zone[item].load();
}
}  // namespace host
