// Error values carried in pointers.
#pragma once
#include <linux/compiler.h>

#define MAX_ERRNO 4095
#define IS_ERR_VALUE(x) unlikely((unsigned long)(x) >= (unsigned long)-MAX_ERRNO)

static inline void *ERR_PTR(long error) { return (void *)error; }
static inline long PTR_ERR(const void *ptr) { return (long)ptr; }
static inline long IS_ERR(const void *ptr) { return IS_ERR_VALUE((unsigned long)ptr); }
static inline long IS_ERR_OR_NULL(const void *ptr) {
  return !ptr || IS_ERR_VALUE((unsigned long)ptr);
}
static inline void *ERR_CAST(const void *ptr) { return (void *)ptr; }
