// User memory. The copies address the calling task's process; a bad address
// is a failed copy (detected with process_vm_readv/writev), never a crash.
// Both may sleep (context-checked).
#pragma once
#include <linux/types.h>
#include <linux/sched.h>

typedef struct {
  unsigned long seg;
} mm_segment_t;
#define MAKE_MM_SEG(s) ((mm_segment_t){(s)})
#define KERNEL_DS MAKE_MM_SEG(~0UL)
#define USER_DS MAKE_MM_SEG(0x00007ffffffff000UL)
// Kept for the calling shape only: user and kernel memory are one address space.
#define get_ds() KERNEL_DS
#define get_fs() MAKE_MM_SEG(::kplat::current_task()->kp_addr_limit)
#define set_fs(x) ((void)(::kplat::current_task()->kp_addr_limit = (x).seg))
#define segment_eq(a, b) ((a).seg == (b).seg)

#define VERIFY_READ 0
#define VERIFY_WRITE 1
#define access_ok(type, addr, size) 1

// Return the number of bytes NOT copied (0 on success).
unsigned long copy_from_user(void *to, const void __user *from, unsigned long n);
unsigned long copy_to_user(void __user *to, const void *from, unsigned long n);
unsigned long clear_user(void __user *to, unsigned long n);
long strncpy_from_user(char *dst, const char __user *src, long count);  // length or -EFAULT
#define __copy_from_user copy_from_user
#define __copy_to_user copy_to_user

#define get_user(x, ptr)                                                        \
  ({                                                                            \
    __typeof__(*(ptr)) __gu_val;                                                \
    int __gu_err = copy_from_user(&__gu_val, (ptr), sizeof(__gu_val)) ? -EFAULT : 0; \
    (x) = __gu_err ? (__typeof__(*(ptr)))0 : __gu_val;                          \
    __gu_err;                                                                   \
  })
#define put_user(x, ptr)                                                        \
  ({                                                                            \
    __typeof__(*(ptr)) __pu_val = (x);                                          \
    copy_to_user((ptr), &__pu_val, sizeof(__pu_val)) ? -EFAULT : 0;             \
  })
