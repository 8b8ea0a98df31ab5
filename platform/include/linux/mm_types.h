// struct page: one 4096-byte page of platform memory.
#pragma once
#include <linux/types.h>
#include <linux/list.h>
#include <linux/atomic.h>

struct address_space;
struct page {
  unsigned long flags;     // PG_* bits
  unsigned long private_;  // the kernel's `private` word (C++ reserves the name)
  void *virtual_addr;      // the page's memory (page_address)
  atomic_t _count;         // get_page/put_page
  struct list_head lru;
  pgoff_t index;
  struct address_space *mapping;
  unsigned int kp_order;   // allocation order of the block this page heads
};

#define page_private(page) ((page)->private_)
#define set_page_private(page, v) ((page)->private_ = (unsigned long)(v))
