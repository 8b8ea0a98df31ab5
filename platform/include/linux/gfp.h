// Allocation flags (this generation's values) and page allocation.
#pragma once
#include <linux/types.h>

#define __GFP_DMA 0x01u
#define __GFP_HIGHMEM 0x02u
#define __GFP_DMA32 0x04u
#define __GFP_MOVABLE 0x08u
#define __GFP_WAIT 0x10u
#define __GFP_HIGH 0x20u
#define __GFP_IO 0x40u
#define __GFP_FS 0x80u
#define __GFP_COLD 0x100u
#define __GFP_NOWARN 0x200u
#define __GFP_REPEAT 0x400u
#define __GFP_NOFAIL 0x800u
#define __GFP_NORETRY 0x1000u
#define __GFP_COMP 0x4000u
#define __GFP_ZERO 0x8000u

#define GFP_NOWAIT 0u
#define GFP_ATOMIC (__GFP_HIGH)
#define GFP_NOIO (__GFP_WAIT)
#define GFP_NOFS (__GFP_WAIT | __GFP_IO)
#define GFP_KERNEL (__GFP_WAIT | __GFP_IO | __GFP_FS)
#define GFP_USER (__GFP_WAIT | __GFP_IO | __GFP_FS)
#define GFP_HIGHUSER (GFP_USER | __GFP_HIGHMEM)
#define GFP_DMA __GFP_DMA

struct page;
// Fault point "alloc_page"; counts live pages (host::pages_in_use).
struct page *alloc_pages(gfp_t gfp_mask, unsigned int order);
#define alloc_page(gfp_mask) alloc_pages(gfp_mask, 0)
void __free_pages(struct page *page, unsigned int order);
#define __free_page(page) __free_pages((page), 0)
unsigned long __get_free_pages(gfp_t gfp_mask, unsigned int order);
#define __get_free_page(gfp_mask) __get_free_pages((gfp_mask), 0)
unsigned long get_zeroed_page(gfp_t gfp_mask);
void free_pages(unsigned long addr, unsigned int order);
#define free_page(addr) free_pages((addr), 0)
