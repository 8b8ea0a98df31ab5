// File references of the calling process.
#pragma once
#include <linux/fs.h>

// Emulated descriptors (opened with host::open) give their own file with one
// more reference; any other number is the real descriptor, duplicated, as a
// file that reads/writes with pread/pwrite. Null when the number is not open.
// May sleep (context-checked).
struct file *fget(unsigned int fd);
void fput(struct file *file);
static inline struct file *fget_light(unsigned int fd, int *fput_needed) {
  *fput_needed = 1;
  return fget(fd);
}
static inline void fput_light(struct file *file, int fput_needed) {
  if (fput_needed) fput(file);
}
