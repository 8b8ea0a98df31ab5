// Kernel core helpers: printk and its levels, container_of, min_t/max_t,
// BUG_ON/WARN_ON. min/max are deliberately not macros (they would clash
// with the C++ standard library).
#pragma once
#include <linux/types.h>
#include <linux/compiler.h>
#include <linux/errno.h>
#include <linux/err.h>
#include <linux/string.h>
#include <linux/bitops.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <limits.h>

#define KERN_EMERG "<0>"
#define KERN_ALERT "<1>"
#define KERN_CRIT "<2>"
#define KERN_ERR "<3>"
#define KERN_WARNING "<4>"
#define KERN_NOTICE "<5>"
#define KERN_INFO "<6>"
#define KERN_DEBUG "<7>"

#ifndef NR_CPUS
#define NR_CPUS 4096
#endif

// Appends to the kernel log (host::dmesg reads it); returns the characters printed.
int printk(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
int vprintk(const char *fmt, va_list args) __attribute__((format(printf, 1, 0)));
#define pr_err(fmt, ...) printk(KERN_ERR fmt, ##__VA_ARGS__)
#define pr_warning(fmt, ...) printk(KERN_WARNING fmt, ##__VA_ARGS__)
#define pr_info(fmt, ...) printk(KERN_INFO fmt, ##__VA_ARGS__)
#define pr_debug(fmt, ...) ((void)0)

#define ARRAY_SIZE(arr) (sizeof(arr) / sizeof((arr)[0]))
#define container_of(ptr, type, member) \
  ((type *)((char *)(__typeof__(((type *)0)->member) *)(ptr) - offsetof(type, member)))

#define min_t(type, x, y) ({ type __x = (x); type __y = (y); __x < __y ? __x : __y; })
#define max_t(type, x, y) ({ type __x = (x); type __y = (y); __x > __y ? __x : __y; })
#define clamp_t(type, val, lo, hi) min_t(type, max_t(type, val, lo), hi)
#define DIV_ROUND_UP(n, d) (((n) + (d) - 1) / (d))
#define ALIGN(x, a) (((x) + ((a) - 1)) & ~((__typeof__(x))(a) - 1))
#define roundup(x, y) ((((x) + ((y) - 1)) / (y)) * (y))
#define do_div(n, base) ({ unsigned int __base = (base); unsigned int __rem = (unsigned)((n) % __base); (n) = (n) / __base; __rem; })

namespace kplat {
[[noreturn]] void kernel_bug(const char *file, int line, const char *what);
void kernel_warn(const char *file, int line, const char *what);
}
#define BUG() ::kplat::kernel_bug(__FILE__, __LINE__, "BUG()")
#define BUG_ON(cond) do { if (unlikely(cond)) ::kplat::kernel_bug(__FILE__, __LINE__, #cond); } while (0)
#define WARN_ON(cond) ({ int __w = !!(cond); if (unlikely(__w)) ::kplat::kernel_warn(__FILE__, __LINE__, #cond); unlikely(__w); })
#define WARN_ON_ONCE(cond) WARN_ON(cond)
#define BUILD_BUG_ON(cond) static_assert(!(cond), #cond)

#define EXPORT_SYMBOL(sym)
#define EXPORT_SYMBOL_GPL(sym)

#define might_sleep() ::kplat::check_sleep("might_sleep")
namespace kplat {
// Aborts with "BUG: sleeping function called from invalid context: <what>"
// when the calling task holds a spinlock, has interrupts off, or runs in
// interrupt context.
void check_sleep(const char *what);
}
