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
}  // namespace

struct page *alloc_pages(gfp_t gfp_mask, unsigned int order) {
  if (gfp_mask & __GFP_WAIT) check_sleep("alloc_pages");
  fault_ctx ctx;
  ctx.size = PAGE_SIZE << order;
  ctx.gfp = gfp_mask;
  if (fault_hit("alloc_page", ctx)) return nullptr;
  if (order > 10) return nullptr;
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
  if (order != page->kp_order) {
    report("BUG: __free_pages order %u of a block of order %u", order, page->kp_order);
    order = page->kp_order;
  }
  const size_t n = 1UL << order;
  void *mem = page->virtual_addr;
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
