// Atomic bit operations on unsigned long arrays (kernel semantics: set/clear
// are atomic; the __ variants are not).
#pragma once
#include <linux/types.h>

#define KPLAT_HAVE_BITOPS 1
#define BITS_PER_LONG 64
#define BIT(nr) (1UL << (nr))
#define BIT_MASK(nr) (1UL << ((nr) % BITS_PER_LONG))
#define BIT_WORD(nr) ((nr) / BITS_PER_LONG)
#define BITS_TO_LONGS(nr) (((nr) + BITS_PER_LONG - 1) / BITS_PER_LONG)

static inline void set_bit(int nr, volatile unsigned long *addr) {
  __atomic_fetch_or(addr + BIT_WORD(nr), BIT_MASK(nr), __ATOMIC_SEQ_CST);
}
static inline void clear_bit(int nr, volatile unsigned long *addr) {
  __atomic_fetch_and(addr + BIT_WORD(nr), ~BIT_MASK(nr), __ATOMIC_SEQ_CST);
}
static inline void change_bit(int nr, volatile unsigned long *addr) {
  __atomic_fetch_xor(addr + BIT_WORD(nr), BIT_MASK(nr), __ATOMIC_SEQ_CST);
}
static inline int test_bit(int nr, const volatile unsigned long *addr) {
  return (__atomic_load_n(addr + BIT_WORD(nr), __ATOMIC_SEQ_CST) >> (nr % BITS_PER_LONG)) & 1UL;
}
static inline int test_and_set_bit(int nr, volatile unsigned long *addr) {
  return (__atomic_fetch_or(addr + BIT_WORD(nr), BIT_MASK(nr), __ATOMIC_SEQ_CST) & BIT_MASK(nr)) != 0;
}
static inline int test_and_clear_bit(int nr, volatile unsigned long *addr) {
  return (__atomic_fetch_and(addr + BIT_WORD(nr), ~BIT_MASK(nr), __ATOMIC_SEQ_CST) & BIT_MASK(nr)) != 0;
}
static inline void __set_bit(int nr, volatile unsigned long *addr) { addr[BIT_WORD(nr)] = addr[BIT_WORD(nr)] | BIT_MASK(nr); }
static inline void __clear_bit(int nr, volatile unsigned long *addr) { addr[BIT_WORD(nr)] = addr[BIT_WORD(nr)] & ~BIT_MASK(nr); }
static inline int fls(int x) { return x ? 32 - __builtin_clz((unsigned)x) : 0; }
static inline int fls64(u64 x) { return x ? 64 - __builtin_clzll(x) : 0; }
static inline unsigned long __ffs(unsigned long w) { return (unsigned long)__builtin_ctzl(w); }
static inline int ilog2_u64(u64 n) { return fls64(n) - 1; }
#define ilog2(n) ilog2_u64((u64)(n))
#define is_power_of_2(n) ((n) != 0 && (((n) & ((n) - 1)) == 0))
