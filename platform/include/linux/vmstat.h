// Zone page-state counters (one global zone), readable by tests.
#pragma once
#include <linux/types.h>

enum zone_stat_item {
  NR_FREE_PAGES,
  NR_INACTIVE_ANON,
  NR_ACTIVE_ANON,
  NR_INACTIVE_FILE,
  NR_ACTIVE_FILE,
  NR_UNEVICTABLE,
  NR_MLOCK,
  NR_ANON_PAGES,
  NR_FILE_MAPPED,
  NR_FILE_PAGES,
  NR_FILE_DIRTY,  // 10
  NR_WRITEBACK,
  NR_SLAB_RECLAIMABLE,
  NR_SLAB_UNRECLAIMABLE,
  NR_PAGETABLE,
  NR_KERNEL_STACK,
  NR_UNSTABLE_NFS,
  NR_BOUNCE,
  NR_VMSCAN_WRITE,
  NR_WRITEBACK_TEMP,
  NR_ISOLATED_ANON,
  NR_ISOLATED_FILE,
  NR_SHMEM,
  NR_VM_ZONE_STAT_ITEMS
};
static_assert(NR_FILE_DIRTY == 10, "zone_stat_item layout");

struct page;
void inc_zone_page_state(struct page *page, enum zone_stat_item item);
void dec_zone_page_state(struct page *page, enum zone_stat_item item);
void mod_zone_page_state(struct page *page, enum zone_stat_item item, int delta);
unsigned long global_page_state(enum zone_stat_item item);  // negative sums read as 0
