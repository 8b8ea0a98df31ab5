// Virtually contiguous allocations (page-aligned). May sleep; fault point "vmalloc".
#pragma once
#include <linux/types.h>

void *vmalloc(unsigned long size);
void *vzalloc(unsigned long size);
void vfree(const void *addr);
