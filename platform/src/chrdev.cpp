// Character devices and the host system calls on descriptors: "/dev/<name>"
// of a registered character device opens through its file_operations, other
// paths go to the block layer; emulated descriptors dispatch to the file's
// operations, any other descriptor to the real system call.
#include "task.h"
#include "files.h"
#include "internal.h"
#include <host/host.h>
#include <linux/fs.h>
#include <linux/file.h>
#include <linux/poll.h>
#include <linux/mm.h>
#include <linux/module.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct chrdev_region {
  unsigned major, baseminor, count;
  std::string name;
  const struct file_operations *fops;
};

struct chrdev_table {
  std::mutex mu;
  std::vector<chrdev_region> regions;
};
chrdev_table &chr() {
  static chrdev_table *t = new chrdev_table();
  return *t;
}

bool overlaps(const chrdev_region &r, unsigned major, unsigned base, unsigned count) {
  return r.major == major && base < r.baseminor + r.count && r.baseminor < base + count;
}

long fail(long r) {
  if (r < 0) {
    errno = (int)-r;
    return -1;
  }
  return r;
}

}  // namespace

int __register_chrdev(unsigned int major, unsigned int baseminor, unsigned int count, const char *name,
                      const struct file_operations *fops) {
  kplat::fault_ctx ctx;
  ctx.name = name;
  ctx.size = count;
  kplat::fault_outcome o;
  if (kplat::fault_hit("register_chrdev", ctx, &o)) return o.error ? o.error : -EBUSY;
  if (!name || count == 0 || major >= 512 || baseminor + count > (1U << MINORBITS)) return -EINVAL;
  std::lock_guard<std::mutex> g(chr().mu);
  auto &regs = chr().regions;
  unsigned chosen = major;
  if (major == 0) {
    // As the kernel does: the highest free major below 255.
    for (unsigned m = 254; m > 0 && chosen == 0; m--) {
      bool used = false;
      for (auto &r : regs) used = used || r.major == m;
      if (!used) chosen = m;
    }
    if (chosen == 0) return -EBUSY;
  }
  for (auto &r : regs)
    if (overlaps(r, chosen, baseminor, count)) return -EBUSY;
  regs.push_back({chosen, baseminor, count, name, fops});
  return major == 0 ? (int)chosen : 0;
}

void __unregister_chrdev(unsigned int major, unsigned int baseminor, unsigned int count, const char *name) {
  std::lock_guard<std::mutex> g(chr().mu);
  auto &regs = chr().regions;
  for (auto it = regs.begin(); it != regs.end(); ++it) {
    if (it->major == major && it->baseminor == baseminor && it->count == count) {
      regs.erase(it);
      return;
    }
  }
}

namespace kplat {
// The block layer's definition replaces this one when it is linked.
__attribute__((weak)) struct file *blockdev_open(const char *path, int flags, int *err) {
  *err = -ENOENT;
  return nullptr;
}
}  // namespace kplat

namespace {

// An open of a registered character device, or null with *err.
struct file *chrdev_open(const char *path, int flags, int *err, bool *found) {
  *found = false;
  if (strncmp(path, "/dev/", 5) != 0) return nullptr;
  const char *name = path + 5;
  chrdev_region reg;
  {
    std::lock_guard<std::mutex> g(chr().mu);
    for (auto &r : chr().regions) {
      if (r.name == name) {
        reg = r;
        *found = true;
        break;
      }
    }
  }
  if (!*found) return nullptr;
  const struct file_operations *fops = reg.fops;
  struct module *owner = fops ? fops->owner : nullptr;
  if (!try_module_get(owner)) {
    *err = -ENXIO;
    return nullptr;
  }
  struct file *f = kplat::alloc_file(fops, (unsigned)flags, owner);
  struct inode *inode = kplat::file_inode(f);
  inode->i_rdev = MKDEV(reg.major, reg.baseminor);
  inode->i_mode = S_IFCHR | 0600;
  inode->i_fop = fops;
  if (fops && fops->open) {
    int r = fops->open(inode, f);
    if (r < 0) {
      kplat::discard_file(f);
      module_put(owner);
      *err = r;
      return nullptr;
    }
  }
  return f;
}

// The file of an emulated descriptor (one reference), else null.
struct file *emu(int fd) { return kplat::fd_lookup(fd); }

}  // namespace

namespace host {

int open(const char *path, int flags) {
  kplat::syscall_entry();
  if (!path) {
    errno = EFAULT;
    return -1;
  }
  int err = 0;
  bool is_chr = false;
  struct file *f = chrdev_open(path, flags, &err, &is_chr);
  if (!is_chr) f = kplat::blockdev_open(path, flags, &err);
  if (!f) {
    errno = err ? -err : ENOENT;
    return -1;
  }
  int fd = kplat::fd_install(f);
  if (fd < 0) {
    fput(f);
    errno = -fd;
    return -1;
  }
  return fd;
}

int close(int fd) {
  kplat::syscall_entry();
  if (struct file *f = kplat::fd_remove(fd)) {
    fput(f);
    return 0;
  }
  return ::close(fd);
}

int ioctl(int fd, unsigned long cmd, void *arg) {
  kplat::syscall_entry();
  struct file *f = emu(fd);
  if (!f) return ::ioctl(fd, cmd, arg);
  long r;
  if (f->f_op && f->f_op->unlocked_ioctl)
    r = f->f_op->unlocked_ioctl(f, (unsigned)cmd, (unsigned long)arg);
  else if (f->f_op && f->f_op->ioctl)
    r = f->f_op->ioctl(kplat::file_inode(f), f, (unsigned)cmd, (unsigned long)arg);
  else
    r = -ENOTTY;
  fput(f);
  return (int)fail(r);
}

static ssize_t do_read(struct file *f, void *buf, size_t count, loff_t *pos) {
  if (!(f->f_mode & FMODE_READ)) return -EBADF;
  if (!f->f_op || !f->f_op->read) return -EINVAL;
  return f->f_op->read(f, static_cast<char *>(buf), count, pos);
}

static ssize_t do_write(struct file *f, const void *buf, size_t count, loff_t *pos) {
  if (!(f->f_mode & FMODE_WRITE)) return -EBADF;
  if (!f->f_op || !f->f_op->write) return -EINVAL;
  return f->f_op->write(f, static_cast<const char *>(buf), count, pos);
}

ssize_t read(int fd, void *buf, size_t count) {
  kplat::syscall_entry();
  struct file *f = emu(fd);
  if (!f) return ::read(fd, buf, count);
  loff_t pos = f->f_pos;
  ssize_t r = do_read(f, buf, count, &pos);
  if (r >= 0) f->f_pos = pos;
  fput(f);
  return fail(r);
}

ssize_t write(int fd, const void *buf, size_t count) {
  kplat::syscall_entry();
  struct file *f = emu(fd);
  if (!f) return ::write(fd, buf, count);
  loff_t pos = f->f_pos;
  ssize_t r = do_write(f, buf, count, &pos);
  if (r >= 0) f->f_pos = pos;
  fput(f);
  return fail(r);
}

ssize_t pread(int fd, void *buf, size_t count, off_t offset) {
  kplat::syscall_entry();
  struct file *f = emu(fd);
  if (!f) return ::pread(fd, buf, count, offset);
  if (offset < 0) {
    fput(f);
    return fail(-EINVAL);
  }
  loff_t pos = offset;
  ssize_t r = do_read(f, buf, count, &pos);
  fput(f);
  return fail(r);
}

ssize_t pwrite(int fd, const void *buf, size_t count, off_t offset) {
  kplat::syscall_entry();
  struct file *f = emu(fd);
  if (!f) return ::pwrite(fd, buf, count, offset);
  if (offset < 0) {
    fput(f);
    return fail(-EINVAL);
  }
  loff_t pos = offset;
  ssize_t r = do_write(f, buf, count, &pos);
  fput(f);
  return fail(r);
}

int poll(int fd) {
  kplat::syscall_entry();
  struct file *f = emu(fd);
  if (!f) {
    struct pollfd p = {fd, POLLIN | POLLOUT | POLLPRI, 0};
    int r = ::poll(&p, 1, 0);
    return r < 0 ? -1 : p.revents;
  }
  int mask;
  if (f->f_op && f->f_op->poll) {
    poll_table pt = {0};
    mask = (int)f->f_op->poll(f, &pt);
  } else {
    mask = POLLIN | POLLOUT | POLLRDNORM | POLLWRNORM;  // the kernel's default mask
  }
  fput(f);
  return mask;
}

int mmap_dev(int fd, size_t length, unsigned long pgoff) {
  kplat::syscall_entry();
  struct file *f = emu(fd);
  if (!f) {
    errno = ENODEV;
    return -1;
  }
  long r;
  if (!f->f_op || !f->f_op->mmap) {
    r = -ENODEV;
  } else {
    struct vm_area_struct vma = {0, length, VM_READ | VM_SHARED, pgoff, f, nullptr};
    r = f->f_op->mmap(f, &vma);
  }
  fput(f);
  return (int)fail(r);
}

std::vector<std::string> chrdevs() {
  std::vector<std::string> out;
  std::lock_guard<std::mutex> g(chr().mu);
  for (auto &r : chr().regions) out.push_back(std::to_string(r.major) + " " + r.name);
  return out;
}

}  // namespace host
