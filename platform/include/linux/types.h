// Kernel base types. The C library's own types come first so that the
// kernel's 32-bit dev_t can replace the library's name without changing any
// library structure (glibc declares its structures with __dev_t).
#pragma once
#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

typedef uint8_t u8;
typedef uint16_t u16;
typedef uint32_t u32;
typedef unsigned long long u64;
typedef int8_t s8;
typedef int16_t s16;
typedef int32_t s32;
typedef long long s64;
typedef u8 __u8;
typedef u16 __u16;
typedef u32 __u32;
typedef u64 __u64;
typedef s8 __s8;
typedef s16 __s16;
typedef s32 __s32;
typedef s64 __s64;
typedef u16 __le16;
typedef u32 __le32;
typedef u64 __le64;
typedef u16 __be16;
typedef u32 __be32;
typedef u64 __be64;

// Kernel device numbers: major in the top 12 bits, minor in the low 20.
typedef uint32_t kplat_dev_t;
#define dev_t kplat_dev_t

typedef uint64_t sector_t;
typedef uint64_t blkcnt_t_k;
typedef long loff_t;  // same type as the C library's loff_t on x86-64
typedef unsigned fmode_t;
typedef unsigned gfp_t;
typedef unsigned short umode_t;
typedef unsigned long pgoff_t;
typedef void *fl_owner_t;

#ifndef __cplusplus
typedef _Bool bool;
#endif

#define MINORBITS 20
#define MINORMASK ((1U << MINORBITS) - 1)
#define MKDEV(ma, mi) ((dev_t)(((unsigned)(ma) << MINORBITS) | (unsigned)(mi)))
#define MAJOR(dev) ((unsigned int)((dev) >> MINORBITS))
#define MINOR(dev) ((unsigned int)((dev) & MINORMASK))
