// Atomic counters. The read-modify-write ones are sequentially consistent, like the
// kernel's value-returning atomics on x86 (the plain ones are at least as strong as
// needed). atomic_set is a release store: the kernel's orders nothing at all, and a
// sequentially consistent store costs a full fence on x86, paid on every bio's
// reference count.
#pragma once
#include <linux/types.h>

typedef struct {
  int counter;
} atomic_t;
typedef struct {
  long counter;
} atomic64_t;

#define ATOMIC_INIT(i) {(i)}
#define ATOMIC64_INIT(i) {(i)}

#define KPLAT_ATOMIC_OPS(prefix, type, vtype)                                                        \
  static inline vtype prefix##_read(const type *v) { return __atomic_load_n(&v->counter, __ATOMIC_SEQ_CST); } \
  static inline void prefix##_set(type *v, vtype i) { __atomic_store_n(&v->counter, i, __ATOMIC_RELEASE); }   \
  static inline void prefix##_add(vtype i, type *v) { __atomic_fetch_add(&v->counter, i, __ATOMIC_SEQ_CST); } \
  static inline void prefix##_sub(vtype i, type *v) { __atomic_fetch_sub(&v->counter, i, __ATOMIC_SEQ_CST); } \
  static inline void prefix##_inc(type *v) { prefix##_add(1, v); }                                  \
  static inline void prefix##_dec(type *v) { prefix##_sub(1, v); }                                  \
  static inline vtype prefix##_add_return(vtype i, type *v) {                                        \
    return __atomic_add_fetch(&v->counter, i, __ATOMIC_SEQ_CST);                                     \
  }                                                                                                  \
  static inline vtype prefix##_sub_return(vtype i, type *v) {                                        \
    return __atomic_sub_fetch(&v->counter, i, __ATOMIC_SEQ_CST);                                     \
  }                                                                                                  \
  static inline vtype prefix##_inc_return(type *v) { return prefix##_add_return(1, v); }            \
  static inline vtype prefix##_dec_return(type *v) { return prefix##_sub_return(1, v); }            \
  static inline int prefix##_dec_and_test(type *v) { return prefix##_sub_return(1, v) == 0; }       \
  static inline int prefix##_inc_and_test(type *v) { return prefix##_add_return(1, v) == 0; }       \
  static inline int prefix##_sub_and_test(vtype i, type *v) { return prefix##_sub_return(i, v) == 0; } \
  static inline int prefix##_add_negative(vtype i, type *v) { return prefix##_add_return(i, v) < 0; }  \
  static inline vtype prefix##_xchg(type *v, vtype n) { return __atomic_exchange_n(&v->counter, n, __ATOMIC_SEQ_CST); } \
  static inline vtype prefix##_cmpxchg(type *v, vtype old, vtype n) {                                \
    __atomic_compare_exchange_n(&v->counter, &old, n, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);    \
    return old;                                                                                      \
  }                                                                                                  \
  static inline int prefix##_add_unless(type *v, vtype a, vtype u) {                                 \
    vtype c = prefix##_read(v);                                                                      \
    while (c != u) {                                                                                 \
      if (__atomic_compare_exchange_n(&v->counter, &c, c + a, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST)) \
        return 1;                                                                                    \
    }                                                                                                \
    return 0;                                                                                        \
  }

KPLAT_ATOMIC_OPS(atomic, atomic_t, int)
KPLAT_ATOMIC_OPS(atomic64, atomic64_t, long)
#undef KPLAT_ATOMIC_OPS
#define atomic_inc_not_zero(v) atomic_add_unless((v), 1, 0)
#define atomic64_inc_not_zero(v) atomic64_add_unless((v), 1, 0)

#define smp_mb__before_atomic_dec() __atomic_thread_fence(__ATOMIC_SEQ_CST)
#define smp_mb__after_atomic_dec() __atomic_thread_fence(__ATOMIC_SEQ_CST)
#define smp_mb__before_atomic_inc() __atomic_thread_fence(__ATOMIC_SEQ_CST)
#define smp_mb__after_atomic_inc() __atomic_thread_fence(__ATOMIC_SEQ_CST)
#define smp_mb__before_clear_bit() __atomic_thread_fence(__ATOMIC_SEQ_CST)
#define smp_mb__after_clear_bit() __atomic_thread_fence(__ATOMIC_SEQ_CST)
#define cmpxchg(ptr, o, n) ({ __typeof__(*(ptr)) __o = (o); __atomic_compare_exchange_n((ptr), &__o, (n), false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST); __o; })
#define xchg(ptr, v) __atomic_exchange_n((ptr), (v), __ATOMIC_SEQ_CST)
