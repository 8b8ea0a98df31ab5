// String helpers of the kernel: the C library's, plus strlcpy/strlcat where
// the C library lacks them (glibc before 2.38).
#pragma once
#include <linux/types.h>
#include <string.h>
#include <stdio.h>

#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 38))
#define KPLAT_LIBC_HAS_STRLCPY 1
#else
extern "C" {
// Copies at most size-1 bytes and always terminates; returns strlen(src).
size_t strlcpy(char *dest, const char *src, size_t size);
size_t strlcat(char *dest, const char *src, size_t count);
}
#endif
char *kstrdup(const char *s, gfp_t gfp);
