// struct file: reference counting, the emulated descriptor table, files of
// real descriptors (pread/pwrite on a dup, statfs by fstatfs) and the vfs
// helpers.
#include "task.h"
#include "files.h"
#include "internal.h"
#include <linux/file.h>
#include <linux/fs.h>
#include <linux/statfs.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <cstdio>
#include <unordered_map>
#include <vector>

struct kplat_file {
  std::atomic<long> count{1};
  int real_fd = -1;  // owned duplicate, for files of real descriptors
  std::atomic<bool> direct{false};  // real_fd is O_DIRECT, and reads take cached_fd
  std::atomic<int> cached_fd{-1};  // a buffered reopen of real_fd, made on first need
  struct module *pinned = nullptr;
  struct dentry dentry;
  struct inode inode;
  struct super_block sb;  // real descriptors only
};

namespace {

struct file_box {
  struct file file;
  struct kplat_file kp;
};

struct fd_table {
  std::mutex mu;
  std::unordered_map<int, struct file *> files;
};
fd_table &fdt() {
  static fd_table *t = new fd_table();
  return *t;
}

fmode_t mode_of(unsigned flags) {
  fmode_t m = FMODE_LSEEK | FMODE_PREAD | FMODE_PWRITE;
  switch (flags & O_ACCMODE) {
    case O_RDONLY: m |= FMODE_READ; break;
    case O_WRONLY: m |= FMODE_WRITE; break;
    default: m |= FMODE_READ | FMODE_WRITE; break;
  }
  return m;
}

file_box *new_box(const struct file_operations *fops, unsigned f_flags) {
  auto *b = new file_box();
  std::memset(static_cast<void *>(&b->file), 0, sizeof(b->file));
  std::memset(static_cast<void *>(&b->kp.dentry), 0, sizeof(b->kp.dentry));
  std::memset(static_cast<void *>(&b->kp.inode), 0, sizeof(b->kp.inode));
  std::memset(static_cast<void *>(&b->kp.sb), 0, sizeof(b->kp.sb));
  b->file.f_op = fops;
  b->file.f_flags = f_flags;
  b->file.f_mode = mode_of(f_flags);
  b->file.f_path.dentry = &b->kp.dentry;
  b->file.kp = &b->kp;
  b->kp.dentry.d_inode = &b->kp.inode;
  return b;
}

file_box *box_of(struct file *f) { return reinterpret_cast<file_box *>(f); }

// ---- files of real descriptors ----

// A descriptor opened O_DIRECT is written directly, but read through the page cache of a
// buffered reopen of the same file: a backup reads its copies in order, and the read-ahead
// keeps the disk busy while the caller takes the last piece, which direct reads one piece at
// a time would not. A write the file system refuses as unaligned (EINVAL: a driver's
// sector-sized write, say) takes the reopen too. Linux keeps the two coherent: a direct
// write writes back and then drops the cached pages of its range. Where the file cannot be
// opened again (no /proc, or a caller's file we may reach but not open), the descriptor
// itself stops being direct, so that no transfer fails for a choice made for speed.
int cached_fd(kplat_file *kp) {
  int fd = kp->cached_fd.load();
  if (fd >= 0) return fd;
  int fl = fcntl(kp->real_fd, F_GETFL);
  if (fl < 0 || !(fl & O_DIRECT)) return -1;
  char path[32];
  snprintf(path, sizeof(path), "/proc/self/fd/%d", kp->real_fd);
  fd = ::open(path, (fl & O_ACCMODE) | O_CLOEXEC);
  if (fd < 0) {
    (void)fcntl(kp->real_fd, F_SETFL, fl & ~O_DIRECT);
    kp->direct.store(false);
    return -1;
  }
  int none = -1;
  if (!kp->cached_fd.compare_exchange_strong(none, fd)) {
    ::close(fd);
    return none;
  }
  return fd;
}

// One pread or pwrite of the file: bytes moved, or -errno.
ssize_t transfer_at(kplat_file *kp, bool write, char *buf, size_t count, off_t pos) {
  auto on = [&](int fd) {
    ssize_t r = write ? ::pwrite(fd, buf, count, pos) : ::pread(fd, buf, count, pos);
    return r < 0 ? ssize_t(-errno) : r;
  };
  int fd;
  if (!write && kp->direct.load() && (fd = cached_fd(kp)) >= 0) return on(fd);
  ssize_t r = on(kp->real_fd);
  if (r == -EINVAL && kp->direct.load()) {
    fd = cached_fd(kp);
    r = on(fd >= 0 ? fd : kp->real_fd);  // no longer direct, or it still refuses: EINVAL stands
  }
  return r;
}

// A caller's buffer moves through ours a piece at a time: its size is the caller's to choose.
// The bounce buffer is page-aligned, so that a direct descriptor takes it as it is.
constexpr size_t kBouncePiece = size_t(1) << 20;

struct bounce_buffer {
  explicit bounce_buffer(size_t n)
      : size(n), data(static_cast<char *>(std::aligned_alloc(4096, (n + 4095) & ~size_t(4095)))) {}
  ~bounce_buffer() { std::free(data); }
  bounce_buffer(const bounce_buffer &) = delete;
  bounce_buffer &operator=(const bounce_buffer &) = delete;
  size_t size;
  char *data;
};

// pread into the memory of process `caller`: bytes moved, or -errno when none could be.
ssize_t pread_for(pid_t caller, kplat_file *kp, char *remote, size_t count, off_t pos) {
  if (char *w = kplat::remote_window_for(caller, remote, count)) return transfer_at(kp, false, w, count, pos);
  bounce_buffer bounce(std::min(count, kBouncePiece));
  if (!bounce.data) return -ENOMEM;
  size_t done = 0;
  while (done < count) {
    size_t piece = std::min(count - done, bounce.size);
    ssize_t r = transfer_at(kp, false, bounce.data, piece, pos + off_t(done));
    if (r < 0) return done ? ssize_t(done) : r;
    size_t moved = kplat::copy_with_process(caller, bounce.data, remote + done, size_t(r), true);
    done += moved;
    if (moved < size_t(r)) return done ? ssize_t(done) : -EFAULT;
    if (size_t(r) < piece) break;  // end of file
  }
  return ssize_t(done);
}

// pwrite from the memory of process `caller`, as pread_for.
ssize_t pwrite_for(pid_t caller, kplat_file *kp, const char *remote, size_t count, off_t pos) {
  if (char *w = kplat::remote_window_for(caller, remote, count)) return transfer_at(kp, true, w, count, pos);
  bounce_buffer bounce(std::min(count, kBouncePiece));
  if (!bounce.data) return -ENOMEM;
  size_t done = 0;
  while (done < count) {
    size_t got = kplat::copy_with_process(caller, bounce.data, remote + done,
                                          std::min(count - done, bounce.size), false);
    if (got == 0) return done ? ssize_t(done) : -EFAULT;
    ssize_t w = transfer_at(kp, true, bounce.data, got, pos + off_t(done));
    if (w < 0) return done ? ssize_t(done) : w;
    done += size_t(w);
    if (size_t(w) < got) break;  // a short write: the file system is full
  }
  return ssize_t(done);
}

ssize_t real_read(struct file *f, char __user *buf, size_t count, loff_t *pos) {
  kplat::check_sleep("file_read");
  kplat::fault_ctx ctx;
  ctx.size = count;
  ctx.offset = *pos;
  kplat::fault_outcome o;
  if (kplat::fault_hit("file_read", ctx, &o)) {
    if (o.error) return o.error;
    if (o.value < 0) return -EIO;
    if ((size_t)o.value < count) count = (size_t)o.value;
  }
  ssize_t r;
  if (pid_t caller = kplat::file_buffer_pid()) {
    // The buffer is in the calling process, not in ours.
    r = pread_for(caller, f->kp, buf, count, *pos);
  } else {
    r = transfer_at(f->kp, false, buf, count, *pos);
  }
  if (r < 0) return r;
  *pos += r;
  return r;
}

ssize_t real_write(struct file *f, const char __user *buf, size_t count, loff_t *pos) {
  kplat::check_sleep("file_write");
  kplat::fault_ctx ctx;
  ctx.size = count;
  ctx.offset = *pos;
  kplat::fault_outcome o;
  if (kplat::fault_hit("file_write", ctx, &o)) {
    if (o.error) return o.error;
    if (o.value < 0) return -EIO;
    if ((size_t)o.value < count) count = (size_t)o.value;  // a short write of that many bytes
  }
  ssize_t r;
  if (pid_t caller = kplat::file_buffer_pid()) {
    // The data is in the calling process: what is readable of it is written.
    r = pwrite_for(caller, f->kp, buf, count, *pos);
  } else {
    r = transfer_at(f->kp, true, const_cast<char *>(buf), count, *pos);
  }
  if (r < 0) return r;
  *pos += r;
  return r;
}

loff_t real_llseek(struct file *f, loff_t offset, int origin) { return default_llseek(f, offset, origin); }

int real_statfs(struct dentry *d, struct kstatfs *buf) {
  kplat_file *kp = static_cast<kplat_file *>(d->d_fsdata);
  kplat::fault_ctx ctx;
  kplat::fault_outcome o;
  bool fail = kplat::fault_hit("statfs", ctx, &o);
  if (fail && (o.error || o.value < 0)) return o.error ? o.error : -EIO;
  struct statfs st;
  if (fstatfs(kp->real_fd, &st) != 0) return -errno;
  buf->f_type = (long)st.f_type;
  buf->f_bsize = (long)st.f_bsize;
  buf->f_blocks = st.f_blocks;
  buf->f_bfree = st.f_bfree;
  buf->f_bavail = fail ? (u64)o.value : st.f_bavail;
  buf->f_files = st.f_files;
  buf->f_ffree = st.f_ffree;
  std::memcpy(&buf->f_fsid, &st.f_fsid, sizeof(buf->f_fsid));
  buf->f_namelen = (long)st.f_namelen;
  buf->f_frsize = (long)st.f_frsize;
  return 0;
}

const struct file_operations real_fops = {
    .owner = nullptr, .llseek = real_llseek, .read = real_read, .write = real_write};
const struct super_operations real_sops = {.statfs = real_statfs};

struct file *real_file(int fd) {
  int dup_fd = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (dup_fd < 0) return nullptr;
  int fl = fcntl(dup_fd, F_GETFL);
  file_box *b = new_box(&real_fops, fl < 0 ? O_RDWR : (unsigned)fl);
  b->kp.real_fd = dup_fd;
  b->kp.direct = fl >= 0 && (fl & O_DIRECT);
  b->kp.sb.s_op = &real_sops;
  b->kp.dentry.d_sb = &b->kp.sb;
  b->kp.dentry.d_fsdata = &b->kp;
  b->kp.inode.i_sb = &b->kp.sb;
  struct stat st;
  if (fstat(dup_fd, &st) == 0) {
    b->kp.inode.i_mode = (umode_t)st.st_mode;
    b->kp.inode.i_size = st.st_size;
    b->kp.inode.i_ino = st.st_ino;
    b->kp.sb.s_dev = (dev_t)st.st_dev;
    b->kp.sb.s_blocksize = (unsigned long)st.st_blksize;
  }
  off_t pos = lseek(dup_fd, 0, SEEK_CUR);
  b->file.f_pos = pos < 0 ? 0 : pos;
  return &b->file;
}

}  // namespace

namespace kplat {

struct file *alloc_file(const struct file_operations *fops, unsigned f_flags, struct module *pinned) {
  file_box *b = new_box(fops, f_flags);
  b->kp.pinned = pinned;
  return &b->file;
}

struct inode *file_inode(struct file *f) { return f->f_path.dentry ? f->f_path.dentry->d_inode : nullptr; }

long file_count(struct file *f) { return f->kp->count.load(); }

void discard_file(struct file *f) { delete box_of(f); }

int fd_install(struct file *file) {
  int fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  if (fd < 0) return -errno;
  std::lock_guard<std::mutex> g(fdt().mu);
  fdt().files[fd] = file;
  return fd;
}

struct file *fd_lookup(int fd) {
  std::lock_guard<std::mutex> g(fdt().mu);
  auto it = fdt().files.find(fd);
  if (it == fdt().files.end()) return nullptr;
  it->second->kp->count.fetch_add(1);
  return it->second;
}

struct file *fd_remove(int fd) {
  struct file *f = nullptr;
  {
    std::lock_guard<std::mutex> g(fdt().mu);
    auto it = fdt().files.find(fd);
    if (it == fdt().files.end()) return nullptr;
    f = it->second;
    fdt().files.erase(it);
  }
  ::close(fd);
  return f;
}

}  // namespace kplat

// A descriptor of another process (the caller of a machine request): taken over with
// pidfd_getfd, which the kernel allows us as that process's tracer would be.
static struct file *caller_file(pid_t tgid, int fd) {
  int pidfd = (int)syscall(SYS_pidfd_open, tgid, 0);
  if (pidfd < 0) return nullptr;
  int got = (int)syscall(SYS_pidfd_getfd, pidfd, fd, 0);
  ::close(pidfd);
  if (got < 0) return nullptr;
  struct file *f = real_file(got);
  ::close(got);
  return f;
}

struct file *fget(unsigned int fd) {
  kplat::check_sleep("fget");
  // The emulated table is this process's: a caller's numbers mean its own descriptors.
  if (pid_t tgid = kplat::user_files_tgid()) return caller_file(tgid, (int)fd);
  if (struct file *f = kplat::fd_lookup((int)fd)) return f;
  return real_file((int)fd);
}

void fput(struct file *file) {
  if (!file) return;
  kplat_file *kp = file->kp;
  if (kp->count.fetch_sub(1) != 1) return;
  if (file->f_op && file->f_op->release) file->f_op->release(kplat::file_inode(file), file);
  if (kp->pinned) module_put(kp->pinned);
  if (kp->real_fd >= 0) ::close(kp->real_fd);
  if (kp->cached_fd >= 0) ::close(kp->cached_fd);
  delete box_of(file);
}

int filp_close(struct file *filp, fl_owner_t id) {
  fput(filp);
  return 0;
}

int vfs_statfs(struct dentry *dentry, struct kstatfs *buf) {
  kplat::check_sleep("vfs_statfs");
  if (!dentry || !dentry->d_sb) return -ENODEV;
  struct super_block *sb = dentry->d_sb;
  if (!sb->s_op || !sb->s_op->statfs) return -ENOSYS;
  std::memset(buf, 0, sizeof(*buf));
  return sb->s_op->statfs(dentry, buf);
}

ssize_t vfs_read(struct file *file, char __user *buf, size_t count, loff_t *pos) {
  kplat::check_sleep("vfs_read");
  if (!(file->f_mode & FMODE_READ)) return -EBADF;
  if (!file->f_op || !file->f_op->read) return -EINVAL;
  return file->f_op->read(file, buf, count, pos);
}

ssize_t vfs_write(struct file *file, const char __user *buf, size_t count, loff_t *pos) {
  kplat::check_sleep("vfs_write");
  if (!(file->f_mode & FMODE_WRITE)) return -EBADF;
  if (!file->f_op || !file->f_op->write) return -EINVAL;
  return file->f_op->write(file, buf, count, pos);
}

loff_t no_llseek(struct file *file, loff_t offset, int origin) { return -ESPIPE; }

loff_t default_llseek(struct file *file, loff_t offset, int origin) {
  switch (origin) {
    case SEEK_END: {
      struct inode *i = kplat::file_inode(file);
      offset += i ? i->i_size : 0;
      break;
    }
    case SEEK_CUR: offset += file->f_pos; break;
    case SEEK_SET: break;
    default: return -EINVAL;
  }
  if (offset < 0) return -EINVAL;
  file->f_pos = offset;
  return offset;
}

int nonseekable_open(struct inode *inode, struct file *filp) {
  filp->f_mode &= ~(FMODE_LSEEK | FMODE_PREAD | FMODE_PWRITE);
  return 0;
}
