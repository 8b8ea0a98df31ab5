// Pages and their memory.
#pragma once
#include <linux/types.h>
#include <linux/gfp.h>
#include <linux/mm_types.h>
#include <linux/vmstat.h>

#define PAGE_SHIFT 12
#define PAGE_SIZE (1UL << PAGE_SHIFT)
#define PAGE_MASK (~(PAGE_SIZE - 1))
#define PAGE_CACHE_SHIFT PAGE_SHIFT
#define PAGE_CACHE_SIZE PAGE_SIZE
#define PAGE_ALIGN(addr) (((addr) + PAGE_SIZE - 1) & PAGE_MASK)

enum pageflags { PG_locked, PG_error, PG_referenced, PG_uptodate, PG_dirty, PG_lru, PG_active, PG_slab,
                 PG_reserved = 11, PG_private = 12, PG_writeback = 13 };

static inline void *page_address(const struct page *page) { return page->virtual_addr; }
static inline int page_count(struct page *page) { return atomic_read(&page->_count); }
static inline void get_page(struct page *page) { atomic_inc(&page->_count); }
void put_page(struct page *page);  // frees the page when the last reference goes
struct page *virt_to_page(const void *addr);  // pages from __get_free_pages/alloc_pages

struct vm_area_struct {
  unsigned long vm_start;
  unsigned long vm_end;
  unsigned long vm_flags;
  unsigned long vm_pgoff;
  struct file *vm_file;
  void *vm_private_data;
};
#define VM_READ 0x1UL
#define VM_WRITE 0x2UL
#define VM_SHARED 0x8UL
