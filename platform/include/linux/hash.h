// Multiplicative hashing as in the kernel of this generation.
#pragma once
#include <linux/types.h>

#define GOLDEN_RATIO_PRIME_32 0x9e370001UL
#define GOLDEN_RATIO_PRIME_64 0x9e37fffffffc0001UL

static inline u64 hash_64(u64 val, unsigned int bits) {
  u64 hash = val;
  // Shift-and-add form of hash * GOLDEN_RATIO_PRIME_64, exactly the kernel's.
  u64 n = hash;
  n <<= 18; hash -= n;
  n <<= 33; hash -= n;
  n <<= 3; hash += n;
  n <<= 3; hash -= n;
  n <<= 4; hash += n;
  n <<= 2; hash += n;
  return hash >> (64 - bits);
}
static inline u32 hash_32(u32 val, unsigned int bits) {
  u32 hash = val * (u32)GOLDEN_RATIO_PRIME_32;
  return hash >> (32 - bits);
}
static inline unsigned long hash_ptr(const void *ptr, unsigned int bits) {
  return (unsigned long)hash_64((unsigned long)ptr, bits);
}
