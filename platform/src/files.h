// Platform-private: the emulated descriptor table (core only).
#pragma once
#include <linux/fs.h>

namespace kplat {
// Reserves a real descriptor number (open of /dev/null) for file and enters
// it in the table; the table takes over the caller's reference. -errno on failure.
int fd_install(struct file *file);
// The file of an emulated descriptor with one more reference, or null.
struct file *fd_lookup(int fd);
// Removes the descriptor (closing its reservation) and returns the table's
// reference, or null when fd is not emulated.
struct file *fd_remove(int fd);
// Frees a file from alloc_file whose open failed: no release, no module_put.
void discard_file(struct file *f);
}  // namespace kplat
