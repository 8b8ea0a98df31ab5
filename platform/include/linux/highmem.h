// Page mappings. kmap_atomic makes the task atomic until kunmap_atomic, as
// in the kernel: sleeping in between aborts.
#pragma once
#include <linux/mm.h>

enum km_type { KM_BOUNCE_READ, KM_SKB_SUNRPC_DATA, KM_SKB_DATA_SOFTIRQ, KM_USER0, KM_USER1, KM_BIO_SRC_IRQ,
               KM_BIO_DST_IRQ, KM_PTE0, KM_PTE1, KM_IRQ0, KM_IRQ1, KM_SOFTIRQ0, KM_SOFTIRQ1, KM_TYPE_NR };

static inline void *kmap(struct page *page) { return page_address(page); }
static inline void kunmap(struct page *page) {}
void *kmap_atomic(struct page *page, enum km_type type);
void kunmap_atomic(void *kvaddr, enum km_type type);
static inline void clear_highpage(struct page *page) { memset(page_address(page), 0, PAGE_SIZE); }
