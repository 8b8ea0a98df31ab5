// Compiler annotations used by kernel code; most are empty in user space.
#pragma once
// Library headers that use __init (and friends) as identifiers come first, so
// the empty kernel macros below cannot break them when included later.
#include <stdlib.h>
#ifdef __cplusplus
#include <memory>
#include <numeric>
#endif

#define __user
#define __kernel
#define __iomem
#define __force
#define __must_check __attribute__((warn_unused_result))
#define __init
#define __exit
#define __initdata
#define __exitdata
#define __devinit
#define __devexit
#define __read_mostly
#ifndef __always_inline
#define __always_inline inline __attribute__((always_inline))
#endif
#define __maybe_unused __attribute__((unused))
#define __used __attribute__((used))
#define __packed __attribute__((packed))
#define __aligned(x) __attribute__((aligned(x)))
#define __cacheline_aligned __attribute__((aligned(64)))
#define ____cacheline_aligned_in_smp __attribute__((aligned(64)))
#define __acquires(x)
#define __releases(x)
#define __must_hold(x)

#define likely(x) __builtin_expect(!!(x), 1)
#define unlikely(x) __builtin_expect(!!(x), 0)

#define smp_mb() __atomic_thread_fence(__ATOMIC_SEQ_CST)
#define smp_rmb() __atomic_thread_fence(__ATOMIC_ACQUIRE)
#define smp_wmb() __atomic_thread_fence(__ATOMIC_RELEASE)
#define mb() smp_mb()
#define rmb() smp_rmb()
#define wmb() smp_wmb()
#define ACCESS_ONCE(x) (*(volatile __typeof__(x) *)&(x))

// One untorn access of a field that another thread reads or writes without a common
// lock. Relaxed: no ordering, only the guarantee that the value once existed.
#define READ_ONCE(x) __atomic_load_n(&(x), __ATOMIC_RELAXED)
#define WRITE_ONCE(x, v) __atomic_store_n(&(x), (v), __ATOMIC_RELAXED)
// Publication: what was written before the release store is seen by whoever reads the
// stored value with the acquire load.
#define smp_load_acquire(p) __atomic_load_n((p), __ATOMIC_ACQUIRE)
#define smp_store_release(p, v) __atomic_store_n((p), (v), __ATOMIC_RELEASE)
