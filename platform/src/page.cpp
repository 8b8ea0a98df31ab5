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


using namespace kplat;

namespace {
std::atomic<long> g_pages_live{0};
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

// Freed single pages wait here for reuse, as on the kernel's per-cpu free lists: a
// chunk copy takes sixteen at a time, and fresh memory costs an allocation, a map
// update and a page fault per page. A cached page keeps its map entry; its memory is
// poisoned under AddressSanitizer, so a use after free is still caught.
constexpr size_t kFreeListMax = 8192;
constexpr unsigned long kPageFreeFlag = 1UL << 63;  // on the free list: a second free is a bug
constexpr unsigned long kPageTailFlag = 1UL << 62;  // inside a block: only its head is freed

struct free_list {
  std::mutex mu;
  std::vector<struct page *> pages;
};
free_list &flist() {
  static free_list *f = new free_list();
  return *f;
}

struct page *take_free_page() {
  struct page *p = nullptr;
  {
    std::lock_guard<std::mutex> g(flist().mu);
    if (flist().pages.empty()) return nullptr;
    p = flist().pages.back();
    flist().pages.pop_back();
  }
  KP_UNPOISON(p->virtual_addr, PAGE_SIZE);
  p->flags = 0;
  p->private_ = 0;
  p->index = 0;
  p->mapping = nullptr;
  INIT_LIST_HEAD(&p->lru);
  atomic_set(&p->_count, 1);
  return p;
}

bool put_free_page(struct page *p) {
  std::lock_guard<std::mutex> g(flist().mu);
  if (flist().pages.size() >= kFreeListMax) return false;
  if (flist().pages.capacity() == 0) flist().pages.reserve(kFreeListMax);
  p->flags = kPageFreeFlag;
  KP_POISON(p->virtual_addr, PAGE_SIZE);
  flist().pages.push_back(p);
  return true;
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
    if (struct page *p = take_free_page()) {
      if (gfp_mask & __GFP_ZERO) memset(p->virtual_addr, 0, PAGE_SIZE);
      g_pages_live.fetch_add(1, std::memory_order_relaxed);
      return p;
    }
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
  g_pages_live.fetch_add((long)n, std::memory_order_relaxed);
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
  if (order == 0 && put_free_page(page)) {
    g_pages_live.fetch_sub(1, std::memory_order_relaxed);
    return;
  }
  {
    std::lock_guard<std::mutex> g(pmap().mu);
    pmap().by_addr.erase((uintptr_t)mem);
  }
  g_pages_live.fetch_sub((long)n, std::memory_order_relaxed);
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
long pages_in_use() { return g_pages_live.load(); }
long zone_page_state(int item) {
  if (item < 0 || item >= NR_VM_ZONE_STAT_ITEMS) return 0;
  return g_zone[item].load();
}
}  // namespace host
