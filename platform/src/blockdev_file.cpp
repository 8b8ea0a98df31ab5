// Block devices as files: host::open("/dev/<name>") and direct bio I/O for
// the read/write of the returned file (also used by the file system's
// writes).
#include <linux/bio.h>
#include <linux/blkdev.h>
#include <linux/fs.h>
#include <linux/mm.h>
#include <linux/uaccess.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include <sys/stat.h>

#include "block_internal.h"
#include "internal.h"

namespace kplat {

thread_local int t_submit_plug = 0;

namespace {

// Bytes moved per round of bios: bounds the buffer, not the request size.
constexpr size_t kBatch = 1 << 20;
constexpr size_t kSector = 512;

// Page-backed staging memory of the platform's own (not from alloc_pages: a
// test's "alloc_page" faults and page counts are the driver's business).
struct io_buffer {
  unsigned char *mem = nullptr;
  size_t npages = 0;
  std::vector<struct page> pages;
  bool busy = false;

  bool reserve(size_t n) {
    if (n <= npages)
      return true;
    auto *m = static_cast<unsigned char *>(std::aligned_alloc(PAGE_SIZE, n * PAGE_SIZE));
    if (!m)
      return false;
    std::free(mem);
    mem = m;
    npages = n;
    pages.assign(n, page{});
    for (size_t i = 0; i < n; i++) {
      pages[i].virtual_addr = mem + i * PAGE_SIZE;
      atomic_set(&pages[i]._count, 1);
      INIT_LIST_HEAD(&pages[i].lru);
    }
    return true;
  }
  ~io_buffer() { std::free(mem); }
};

thread_local io_buffer t_buffer;

// The bios of one range complete on the disk's thread while the submitter may still be
// adding more: the count is atomic so that neither side takes a lock per bio, and only the
// completion that ends the range wakes the submitter.
struct io_wait {
  std::atomic<int> pending{1};  // the submitter's own count until all bios are out
  std::atomic<int> error{0};
  std::mutex m;
  std::condition_variable cv;
  bool done = false;  // m
};

// The last count gone: nothing touches w after this but the waiter.
void io_done(io_wait *w) {
  std::lock_guard<std::mutex> g(w->m);
  w->done = true;
  w->cv.notify_all();
}

// Completion: interrupt context; takes the waiter's lock only for the range's last bio.
void io_end(struct bio *bio, int err) {
  auto *w = static_cast<io_wait *>(bio->bi_private);
  bool failed = err || !test_bit(BIO_UPTODATE, &bio->bi_flags);
  bio_put(bio);
  if (failed) {
    // The disk's own reason when it gave one (a full file system under an image disk).
    int none = 0;
    w->error.compare_exchange_strong(none, err < 0 ? err : -EIO);
  }
  if (w->pending.fetch_sub(1) == 1)
    io_done(w);
}

void io_submit(io_wait *w, struct bio *bio) {
  w->pending.fetch_add(1);
  generic_make_request(bio);
}

// Set once a range needs a second bio, before its first is submitted.
struct submit_plug {
  bool on = false;
  void plug() {
    if (!on)
      t_submit_plug++;
    on = true;
  }
  ~submit_plug() {
    if (on)
      t_submit_plug--;
  }
};

// Transfers bytes at buffer offset boff to/from the device at byte pos
// (both sector-aligned) as bios that respect the queue's limits; waits.
int io_range(struct block_device *bdev, bool write, io_buffer &buf, size_t boff, uint64_t pos, size_t bytes) {
  io_wait w;
  struct bio *bio = nullptr;
  size_t done = 0;
  int err = 0;
  submit_plug plug;
  while (done < bytes) {
    size_t at = boff + done;
    struct page *page = &buf.pages[at / PAGE_SIZE];
    unsigned offset = unsigned(at % PAGE_SIZE);
    unsigned n = unsigned(std::min<size_t>(PAGE_SIZE - offset, bytes - done));
    if (!bio) {
      // No more segments than the queue lets one bio carry: a bio sized for the whole
      // range on a queue taking a page per bio costs a large allocation each time.
      size_t span = bytes - done;
      size_t max_segs = BIO_MAX_PAGES;
      if (struct request_queue *q = bdev_get_queue(bdev)) {
        span = std::min<size_t>(span, size_t(std::min(queue_max_sectors(q), queue_max_hw_sectors(q))) * kSector);
        max_segs = std::max<size_t>(1, q->limits.max_segments);
      }
      size_t vecs = std::min<size_t>({(offset + span + PAGE_SIZE - 1) / PAGE_SIZE, max_segs, BIO_MAX_PAGES});
      vecs = std::max<size_t>(vecs, 1);
      bio = bio_alloc_internal(int(vecs));
      if (!bio) {
        err = -ENOMEM;
        break;
      }
      bio->bi_bdev = bdev;
      bio->bi_sector = sector_t((pos + done) / kSector);
      bio->bi_rw = write ? (1UL << BIO_RW) : 0;
      bio->bi_end_io = io_end;
      bio->bi_private = &w;
    }
    unsigned added = unsigned(bio_add_page(bio, page, n, offset));
    // A queue whose limits refuse a whole page to an empty bio gets sectors.
    while (!added && bio->bi_size == 0 && n > kSector) {
      n = unsigned(kSector);
      added = unsigned(bio_add_page(bio, page, n, offset));
    }
    if (!added) {
      if (bio->bi_size == 0) {
        bio_put(bio);
        bio = nullptr;
        err = -EIO;
        break;
      }
      plug.plug();  // full with more to come: the range is a batch
      io_submit(&w, bio);
      bio = nullptr;
      continue;
    }
    done += added;
  }
  if (bio)
    io_submit(&w, bio);
  if (w.pending.fetch_sub(1) != 1) {
    std::unique_lock<std::mutex> g(w.m);
    w.cv.wait(g, [&] { return w.done; });
  }
  return err ? err : w.error.load();
}

struct buffer_claim {
  io_buffer *buf;
  io_buffer own;
  buffer_claim() {
    if (t_buffer.busy) {
      buf = &own;  // nested use on this thread: a private buffer
    } else {
      buf = &t_buffer;
      t_buffer.busy = true;
    }
  }
  ~buffer_claim() {
    if (buf == &t_buffer)
      t_buffer.busy = false;
  }
};

}  // namespace

ssize_t bdev_rw(struct block_device *bdev, bool write, void *ubuf, size_t len, loff_t off) {
  check_sleep(write ? "blkdev_write" : "blkdev_read");
  if (off < 0)
    return -EINVAL;
  uint64_t dev_bytes = uint64_t(bdev_nr_sects(bdev)) * kSector;
  if (len == 0)
    return 0;
  if (uint64_t(off) >= dev_bytes)
    return write ? -ENOSPC : 0;
  if (len > dev_bytes - uint64_t(off))
    len = size_t(dev_bytes - uint64_t(off));

  buffer_claim claim;
  io_buffer &buf = *claim.buf;
  if (!buf.reserve(kBatch / PAGE_SIZE + 1))
    return -ENOMEM;
  uint64_t ticket = write ? bdev_write_begin(bdev) : 0;
  size_t done = 0;
  int err = 0;
  auto *user = static_cast<unsigned char *>(ubuf);
  while (done < len) {
    uint64_t pos = uint64_t(off) + done;
    uint64_t a0 = pos & ~uint64_t(kSector - 1);
    size_t head = size_t(pos - a0);
    size_t chunk = std::min(len - done, kBatch - head);
    uint64_t a1 = (pos + chunk + kSector - 1) & ~uint64_t(kSector - 1);
    size_t span = size_t(a1 - a0);
    if (write) {
      // Partial sectors at either end keep the bytes around the write.
      if (head)
        err = io_range(bdev, false, buf, 0, a0, kSector);
      if (!err && (pos + chunk) != a1 && !(head && span == kSector))
        err = io_range(bdev, false, buf, span - kSector, a1 - kSector, kSector);
      if (!err && copy_from_user(buf.mem + head, user + done, chunk))
        err = -EFAULT;
      if (!err)
        err = io_range(bdev, true, buf, 0, a0, span);
    } else {
      err = io_range(bdev, false, buf, 0, a0, span);
      if (!err && copy_to_user(user + done, buf.mem + head, chunk))
        err = -EFAULT;
    }
    if (err)
      break;
    done += chunk;
  }
  if (write)
    bdev_write_end(bdev, ticket);
  return done ? ssize_t(done) : ssize_t(err);
}

namespace {

struct block_device *file_bdev(struct file *f) { return static_cast<struct block_device *>(f->private_data); }

ssize_t blkdev_read(struct file *f, char __user *buf, size_t len, loff_t *pos) {
  if (!(f->f_mode & FMODE_READ))
    return -EBADF;
  ssize_t r = bdev_rw(file_bdev(f), false, buf, len, *pos);
  if (r > 0)
    *pos += r;
  return r;
}

ssize_t blkdev_write(struct file *f, const char __user *buf, size_t len, loff_t *pos) {
  if (!(f->f_mode & FMODE_WRITE))
    return -EBADF;
  ssize_t r = bdev_rw(file_bdev(f), true, const_cast<char *>(buf), len, *pos);
  if (r > 0)
    *pos += r;
  return r;
}

loff_t blkdev_llseek(struct file *f, loff_t offset, int origin) {
  loff_t size = loff_t(bdev_nr_sects(file_bdev(f)) * kSector);
  loff_t base = origin == SEEK_SET ? 0 : origin == SEEK_CUR ? f->f_pos : origin == SEEK_END ? size : -1;
  if (base < 0 || base + offset < 0 || base + offset > size)
    return -EINVAL;
  f->f_pos = base + offset;
  return f->f_pos;
}

// Block ioctl numbers of this generation.
constexpr unsigned kBLKGETSIZE = 0x1260;       // _IO(0x12, 96): unsigned long, sectors
constexpr unsigned kBLKFLSBUF = 0x1261;        // _IO(0x12, 97)
constexpr unsigned kBLKSSZGET = 0x1268;        // _IO(0x12, 104): int, logical block size
constexpr unsigned kBLKGETSIZE64 = 0x80081272; // _IOR(0x12, 114, size_t): u64, bytes
constexpr unsigned kBLKPBSZGET = 0x127b;       // _IO(0x12, 123): unsigned, physical block size

int driver_ioctl(struct block_device *bdev, fmode_t mode, unsigned cmd, unsigned long arg) {
  const struct block_device_operations *ops = bdev->bd_disk->fops;
  if (ops && ops->ioctl)
    return ops->ioctl(bdev, mode, cmd, arg);
  if (ops && ops->locked_ioctl)
    return ops->locked_ioctl(bdev, mode, cmd, arg);
  return -ENOTTY;
}

template <typename T>
long put_arg(unsigned long arg, T v) {
  return copy_to_user(reinterpret_cast<void *>(arg), &v, sizeof v) ? -EFAULT : 0;
}

// The block layer answers the generic queries itself; everything else is
// the disk driver's.
long blkdev_ioctl(struct file *f, unsigned int cmd, unsigned long arg) {
  struct block_device *bdev = file_bdev(f);
  fmode_t mode = f->f_mode & (FMODE_READ | FMODE_WRITE);
  switch (cmd) {
    case kBLKGETSIZE:
      return put_arg<unsigned long>(arg, bdev_nr_sects(bdev));
    case kBLKGETSIZE64:
      return put_arg<uint64_t>(arg, uint64_t(bdev_nr_sects(bdev)) * kSector);
    case kBLKSSZGET:
      return put_arg<int>(arg, bdev_logical_block_size(bdev));
    case kBLKPBSZGET:
      return put_arg<unsigned>(arg, bdev_physical_block_size(bdev));
    case kBLKFLSBUF: {
      int r = driver_ioctl(bdev, mode, cmd, arg);
      if (r != -ENOTTY && r != -EINVAL && r != -ENOIOCTLCMD)
        return r;
      return fsync_bdev(bdev);
    }
    default:
      return driver_ioctl(bdev, mode, cmd, arg);
  }
}

int blkdev_release(struct inode *inode, struct file *f) {
  struct block_device *bdev = file_bdev(f);
  bdev_close(bdev, f->f_mode & (FMODE_READ | FMODE_WRITE));
  bdput(bdev);
  return 0;
}

const struct file_operations blkdev_fops = [] {
  struct file_operations ops = {};
  ops.llseek = blkdev_llseek;
  ops.read = blkdev_read;
  ops.write = blkdev_write;
  ops.unlocked_ioctl = blkdev_ioctl;
  ops.release = blkdev_release;
  return ops;
}();

}  // namespace

void blockdev_file_anchor() {}

struct file *blockdev_open(const char *path, int flags, int *err) {
  static const char prefix[] = "/dev/";
  if (!path || std::strncmp(path, prefix, sizeof(prefix) - 1) != 0) {
    *err = -ENOENT;
    return nullptr;
  }
  struct block_device *bdev = bdget_by_name(path + sizeof(prefix) - 1);
  if (!bdev) {
    *err = -ENOENT;
    return nullptr;
  }
  int acc = flags & O_ACCMODE;
  fmode_t mode = (acc == O_RDONLY || acc == O_RDWR ? FMODE_READ : 0) |
                 (acc == O_WRONLY || acc == O_RDWR ? FMODE_WRITE : 0);
  int r = bdev_open(bdev, mode);
  if (r) {
    bdput(bdev);
    *err = r;
    return nullptr;
  }
  struct file *f = alloc_file(&blkdev_fops, unsigned(flags));
  if (!f) {
    bdev_close(bdev, mode);
    bdput(bdev);
    *err = -ENOMEM;
    return nullptr;
  }
  f->private_data = bdev;
  if (struct inode *inode = file_inode(f)) {
    inode->i_mode = S_IFBLK | 0660;
    inode->i_rdev = bdev->bd_dev;
    inode->i_bdev = bdev;
    inode->i_size = loff_t(bdev_nr_sects(bdev) * kSector);
  }
  return f;
}

}  // namespace kplat
