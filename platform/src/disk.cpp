// The machine's disks: RAM disks and image-file disks behind block major 8.
// Bios are queued by the make_request_fn in the submitter's context and
// served in order by one thread per disk, which completes each bio in
// interrupt context, as a disk interrupt would. An idle image disk serves a
// bio from a submitter that may sleep at once, in that submitter's thread (as
// blk-mq issues directly to an idle queue): two wake-ups fewer per bio. Not
// while that submitter is sending a range of several bios, which the thread
// merges. A reordering disk serves them with its own threads instead
// (disk_reorder.cpp).
#include <linux/bio.h>
#include <linux/blkdev.h>
#include <linux/genhd.h>
#include <linux/hardirq.h>
#include <linux/mm.h>
#include <linux/spinlock.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <host/host_block.h>

#include "block_internal.h"
#include "disk_internal.h"
#include "internal.h"

namespace kplat {
namespace {

constexpr unsigned kSdMajor = 8;
constexpr int kMinorsPerDisk = 16;

std::mutex g_hosts_lock;
std::map<int, host_disk *> g_hosts;  // by slot; g_hosts_lock

const struct block_device_operations host_disk_fops = {};

}  // namespace

void iov_advance(struct iovec *&iov, int &iovcnt, size_t n) {
  while (iovcnt > 0 && n >= iov->iov_len) {
    n -= iov->iov_len;
    iov++;
    iovcnt--;
  }
  if (iovcnt > 0) {
    iov->iov_base = static_cast<char *>(iov->iov_base) + n;
    iov->iov_len -= n;
  }
}

int file_transfer(int fd, bool write, struct iovec *iov, int iovcnt, uint64_t pos) {
  while (iovcnt > 0) {
    ssize_t r = write ? ::pwritev(fd, iov, iovcnt, off_t(pos)) : ::preadv(fd, iov, iovcnt, off_t(pos));
    if (r < 0 && errno == EINTR)
      continue;
    if (r < 0)
      return errno ? errno : EIO;
    if (r == 0) {
      if (write)
        return EIO;
      // A read past the file's end: the image holds zeroes there.
      for (int i = 0; i < iovcnt; i++)
        std::memset(iov[i].iov_base, 0, iov[i].iov_len);
      return 0;
    }
    pos += uint64_t(r);
    iov_advance(iov, iovcnt, size_t(r));
  }
  return 0;
}

namespace {

// ---- an image opened O_DIRECT ----
// True when the host can move the segments at pos directly: every base and length, and pos,
// in the units the image's file system takes.
bool dio_aligned(const host_disk *hd, const struct iovec *iov, int iovcnt, uint64_t pos) {
  if (pos & 511)
    return false;
  for (int i = 0; i < iovcnt; i++) {
    if (uintptr_t(iov[i].iov_base) % hd->dio_mem_align || iov[i].iov_len % 512)
      return false;
  }
  return true;
}

// Moves segments the host cannot move directly through an aligned copy, on the image's own
// direct descriptor, never a buffered one (a buffered write beside the direct ones could be
// written back over them).
int bounce_transfer(host_disk *hd, bool write, struct iovec *iov, int iovcnt, uint64_t pos) {
  size_t bytes = 0;
  for (int i = 0; i < iovcnt; i++)
    bytes += iov[i].iov_len;
  if ((pos | bytes) & 511)
    return EINVAL;  // no bio of whole sectors
  // Page-aligned meets any memory alignment open_direct accepts (at most a page).
  void *mem = std::aligned_alloc(PAGE_SIZE, (bytes + PAGE_SIZE - 1) & ~size_t(PAGE_SIZE - 1));
  if (!mem)
    return ENOMEM;
  auto *at = static_cast<unsigned char *>(mem);
  if (write) {
    for (int i = 0; i < iovcnt; at += iov[i].iov_len, i++)
      std::memcpy(at, iov[i].iov_base, iov[i].iov_len);
  }
  struct iovec one = {mem, bytes};
  int err = file_transfer(hd->fd, write, &one, 1, pos);
  if (!err && !write) {
    for (int i = 0; i < iovcnt; at += iov[i].iov_len, i++)
      std::memcpy(iov[i].iov_base, at, iov[i].iov_len);
  }
  std::free(mem);
  return err;
}

// The image reopened O_DIRECT, on a descriptor of the disk's own (a flag set on the one the
// caller passed would change the caller's file too), with its O_SYNC or O_DSYNC: 0, or
// EOPNOTSUPP when the image's file system takes no direct I/O in 512-byte units.
int open_direct(host_disk *hd) {
  int was = fcntl(hd->fd, F_GETFL);
  if (was < 0)
    return errno;
  std::string self = "/proc/self/fd/" + std::to_string(hd->fd);
  int fd = ::open(self.c_str(), (hd->read_only ? O_RDONLY : O_RDWR) | (was & (O_SYNC | O_DSYNC)) | O_DIRECT |
                                    O_CLOEXEC);
  if (fd < 0)
    return errno == EINVAL || errno == EOPNOTSUPP ? EOPNOTSUPP : errno;
  struct statx stx = {};
  int err = 0;
  if (statx(fd, "", AT_EMPTY_PATH, STATX_DIOALIGN, &stx) == 0 && (stx.stx_mask & STATX_DIOALIGN)) {
    if (!stx.stx_dio_offset_align || stx.stx_dio_offset_align > 512 || stx.stx_dio_mem_align > PAGE_SIZE)
      err = EOPNOTSUPP;
    else
      hd->dio_mem_align = std::max<size_t>(stx.stx_dio_mem_align, 512);
  } else {
    // The file system does not say: its first sector read directly tells.
    void *probe = std::aligned_alloc(PAGE_SIZE, PAGE_SIZE);
    if (!probe)
      err = ENOMEM;
    else if (::pread(fd, probe, 512, 0) < 0)
      err = errno == EINVAL ? EOPNOTSUPP : errno;
    std::free(probe);
  }
  if (err) {
    ::close(fd);
    return err;
  }
  ::close(hd->fd);
  hd->fd = fd;
  hd->direct = true;
  return 0;
}

// A transfer of the image file at byte pos: the bio's error for the host's errno. A full file
// system stays -ENOSPC, so that the writer learns why; the reason of a failed write is logged
// once per run of failures, not once per bio. Disk thread.
int image_transfer(host_disk *hd, bool write, struct iovec *iov, int iovcnt, uint64_t pos,
                   bool *injected = nullptr) {
  int err = 0;
  if (write && hd->read_only) {
    err = EROFS;
  } else {
    kplat::fault_ctx ctx;
    ctx.name = hd->name.c_str();
    ctx.offset = (long long)pos;
    kplat::fault_outcome o;
    if (write && kplat::fault_hit("image_write", ctx, &o)) {
      err = o.error ? -o.error : EIO;
      if (injected)
        *injected = true;
    } else if (hd->direct && !dio_aligned(hd, iov, iovcnt, pos)) {
      err = bounce_transfer(hd, write, iov, iovcnt, pos);
    } else if (write) {
      err = file_transfer(hd->fd, true, iov, iovcnt, pos);
    } else {
      err = image_read(hd, iov, iovcnt, pos);
    }
    hd->image_transfers.fetch_add(1, std::memory_order_relaxed);
  }
  if (!write)
    return err ? -EIO : 0;
  if (!err) {
    if (hd->logged_write_error.load(std::memory_order_relaxed))
      hd->logged_write_error.store(0, std::memory_order_relaxed);
    return 0;
  }
  if (hd->logged_write_error.exchange(err) != err) {
    printk(KERN_ERR "%s: writing the image %s at sector %llu failed: %s\n", hd->name.c_str(),
           hd->image.c_str(), (unsigned long long)(pos >> 9),
           err == EROFS ? "it is open read-only" : strerror(err));
  }
  return err == ENOSPC || err == EDQUOT ? -ENOSPC : -EIO;
}

// Puts the bio's data segments into iov (room for max); their count, or -EIO when they do not
// hold bi_size bytes in pages, or when they need more than max entries.
int bio_iov(struct bio *bio, struct iovec *iov, int max) {
  unsigned remaining = bio->bi_size;
  int iovcnt = 0;
  for (unsigned i = bio->bi_idx; i < bio->bi_vcnt && remaining; i++) {
    struct bio_vec *bv = &bio->bi_io_vec[i];
    unsigned n = bv->bv_len < remaining ? bv->bv_len : remaining;
    if (!bv->bv_page || bv->bv_offset + n > PAGE_SIZE || iovcnt == max)
      return -EIO;
    iov[iovcnt].iov_base = static_cast<char *>(page_address(bv->bv_page)) + bv->bv_offset;
    iov[iovcnt].iov_len = n;
    iovcnt++;
    remaining -= n;
  }
  if (remaining)
    return -EIO;  // segments shorter than bi_size
  return iovcnt;
}

}  // namespace

int transfer(host_disk *hd, struct bio *bio) {
  bool write = bio_data_dir(bio) == WRITE;
  uint64_t pos = uint64_t(bio->bi_sector) << 9;
  struct iovec iov[BIO_MAX_PAGES];
  int iovcnt = bio_iov(bio, iov, BIO_MAX_PAGES);
  if (iovcnt < 0)
    return iovcnt;
  if (hd->fd >= 0)
    return image_transfer(hd, write, iov, iovcnt, pos);
  for (int i = 0; i < iovcnt; i++) {
    if (write)
      std::memcpy(hd->ram + pos, iov[i].iov_base, iov[i].iov_len);
    else
      std::memcpy(iov[i].iov_base, hd->ram + pos, iov[i].iov_len);
    pos += iov[i].iov_len;
  }
  return 0;
}

namespace {

// An image disk serves a run of queued bios that continue one another in one direction with
// one system call, as the kernel's elevator merges such bios into one request; each bio is
// still counted and completed on its own. The runs are bounded by the host's vector limit.
constexpr int kMergeIov = IOV_MAX;
constexpr size_t kMergeBios = 256;

// Moves the front bios of the batch that form a run (at least one) into run.
void take_run(std::deque<struct bio *> &batch, std::vector<struct bio *> &run) {
  run.clear();
  struct bio *first = batch.front();
  sector_t next = first->bi_sector + bio_sectors(first);
  unsigned segs = first->bi_vcnt - first->bi_idx;
  run.push_back(first);
  batch.pop_front();
  while (!batch.empty() && run.size() < kMergeBios) {
    struct bio *bio = batch.front();
    unsigned more = bio->bi_vcnt - bio->bi_idx;
    if (bio_data_dir(bio) != bio_data_dir(first) || bio->bi_sector != next || !bio->bi_size ||
        segs + more > unsigned(kMergeIov))
      break;
    next += bio_sectors(bio);
    segs += more;
    run.push_back(bio);
    batch.pop_front();
  }
}

// Serves a run of two or more bios with one transfer: 0 when done, or the error of every bio in
// it when an injected fault failed it (as a failed request fails all its bios; served again
// bio by bio, the fault would be used up and fail none). kRunNotDone when nothing was done or
// the file failed it: one of the bios has segments a transfer cannot take, or only some of
// them may fail, and the caller serves them one by one.
constexpr int kRunNotDone = 1;

int transfer_run(host_disk *hd, const std::vector<struct bio *> &run, std::vector<struct iovec> &iov) {
  if (run.size() < 2)
    return kRunNotDone;
  iov.resize(kMergeIov);
  int n = 0;
  for (struct bio *bio : run) {
    int got = bio_iov(bio, iov.data() + n, kMergeIov - n);
    if (got < 0)
      return kRunNotDone;
    n += got;
  }
  bool injected = false;
  int err = image_transfer(hd, bio_data_dir(run.front()) == WRITE, iov.data(), n,
                           uint64_t(run.front()->bi_sector) << 9, &injected);
  return !err || injected ? err : kRunNotDone;
}

}  // namespace

int __match_rules(host_disk *hd, struct bio *bio, unsigned *delay_ms) {
  bool write = bio_data_dir(bio) == WRITE;
  sector_t first = bio->bi_sector, end = bio->bi_sector + bio_sectors(bio);
  if (end == first)
    end = first + 1;
  int err = 0;
  for (auto it = hd->rules.begin(); it != hd->rules.end();) {
    bool hit = it->first < end && first < it->end;
    if (hit && it->kind == host::disk_fault::read_error)
      hit = !write && !err;
    else if (hit && it->kind == host::disk_fault::write_error)
      hit = write && !err;
    if (hit) {
      if (it->kind == host::disk_fault::delay)
        *delay_ms += it->delay_ms;
      else
        err = -EIO;
      if (it->remaining > 0 && --it->remaining == 0) {
        it = hd->rules.erase(it);
        hd->nr_rules.store(hd->rules.size(), std::memory_order_release);
        continue;
      }
    }
    ++it;
  }
  return err;
}

void __count_bio(host_disk *hd, struct bio *bio, int err) {
  if (err) {
    hd->stats.failed_bios++;
  } else if (bio_data_dir(bio) == WRITE) {
    hd->stats.write_bios++;
    hd->stats.write_sectors += bio_sectors(bio);
  } else {
    hd->stats.read_bios++;
    hd->stats.read_sectors += bio_sectors(bio);
  }
}

// What this kernel's request-based drivers leave in a bio they have completed (as
// blk_update_request and req_bio_endio do): its range consumed, bi_sector past its end,
// bi_size 0, bi_idx at bi_vcnt; failed or not. Whoever needs the range afterwards keeps
// it from before the submission.
void consume_bio(struct bio *bio) {
  bio->bi_sector += bio->bi_size >> 9;
  bio->bi_size = 0;
  bio->bi_idx = bio->bi_vcnt;
}

namespace {

// Counts served bios (error or 0 each), then completes them in order in interrupt context, as
// a disk interrupt would.
void end_served(host_disk *hd, const std::pair<struct bio *, int> *served, size_t n) {
  {
    spin_acquire(hd->lock);
    std::lock_guard<std::mutex> g(hd->lock, std::adopt_lock);
    for (size_t i = 0; i < n; i++)
      __count_bio(hd, served[i].first, served[i].second);
  }
  irq_context_guard irq;
  for (size_t i = 0; i < n; i++) {
    consume_bio(served[i].first);
    bio_endio(served[i].first, served[i].second);
  }
}

// Serves the queue in batches: every bio queued when the thread looks is
// taken in one go, so a busy submitter does not pay a wake-up per bio. Each
// bio still meets the fault rules when its turn comes, in queue order, and
// the disk's counters cover a bio before its completion runs.
constexpr size_t kCompleteBatch = 32;

void worker_main(host_disk *hd) {
  std::string tname = (hd->name + "-io").substr(0, 15);
  pthread_setname_np(pthread_self(), tname.c_str());
  std::deque<struct bio *> batch;
  std::vector<std::pair<struct bio *, int>> done;
  std::vector<struct bio *> run;
  std::vector<struct iovec> iov;
  done.reserve(kCompleteBatch + kMergeBios);
  // Counts the served bios, then completes them in order.
  auto flush = [&] {
    if (done.empty())
      return;
    end_served(hd, done.data(), done.size());
    done.clear();
  };
  bool took = false;  // this thread's batch set serving
  for (;;) {
    {
      spin_acquire(hd->lock);
      std::unique_lock<std::mutex> g(hd->lock, std::adopt_lock);
      if (took)
        hd->serving = false;
      took = false;
      // A submitter serving a bio of its own keeps the rest queued behind it.
      hd->cv.wait(g, [&] { return !hd->serving && (!hd->pending.empty() || hd->stopping); });
      if (hd->pending.empty())
        break;
      batch.swap(hd->pending);
      hd->serving = took = true;
    }
    size_t singles = 0;  // bios at the front to serve one by one
    while (!batch.empty()) {
      // Without fault rules, an image disk takes a run of bios at once. A run the file fails
      // is served again bio by bio, so only the failing bios fail; an injected fault fails
      // the whole run.
      if (!singles && hd->fd >= 0 && !hd->nr_rules.load(std::memory_order_acquire)) {
        take_run(batch, run);
        if (int err = transfer_run(hd, run, iov); err != kRunNotDone) {
          for (struct bio *bio : run)
            done.emplace_back(bio, err);
          if (done.size() >= kCompleteBatch)
            flush();
          continue;
        }
        batch.insert(batch.begin(), run.begin(), run.end());
        singles = run.size();
      }
      if (singles)
        singles--;
      struct bio *bio = batch.front();
      batch.pop_front();
      unsigned delay_ms = 0;
      int err = 0;
      // A rule armed before the bio was queued is seen: the queue's lock orders them.
      if (hd->nr_rules.load(std::memory_order_acquire)) {
        std::lock_guard<std::mutex> g(hd->lock);
        err = __match_rules(hd, bio, &delay_ms);
      }
      if (delay_ms) {
        flush();  // the bios served before a slow one do not wait for it
        clock_sleep_ms(delay_ms);
      }
      if (!err)
        err = transfer(hd, bio);
      done.emplace_back(bio, err);
      if (done.size() >= kCompleteBatch)
        flush();
    }
    flush();
  }
}

// True when the submitter may serve its bio itself: an image disk in order, with nothing queued
// or in service and no fault rules (whose delays and order the disk thread keeps), and a
// submitter that may sleep and is not in the middle of submitting a range of bios (served one
// by one here, they would not be merged, nor served while it adds the next). hd->lock held.
bool __may_serve_now(host_disk *hd) {
  return hd->fd >= 0 && !hd->reorder.enabled && !hd->stopping && !hd->serving && hd->pending.empty() &&
         !hd->nr_rules.load(std::memory_order_relaxed) && !t_submit_plug && !in_interrupt() && !in_atomic() &&
         !irqs_disabled();
}

// A submitter that served bios itself gives the disk back, and hands whatever was queued
// meanwhile to the disk thread.
void end_claim(host_disk *hd) {
  spin_acquire(hd->lock);
  std::lock_guard<std::mutex> g(hd->lock, std::adopt_lock);
  hd->serving = false;
  if (!hd->pending.empty() || hd->stopping)
    hd->cv.notify_one();
}

// Serves one bio in the submitter's thread, completing it in interrupt context as the disk
// thread would.
void serve_now(host_disk *hd, struct bio *bio) {
  check_sleep("disk_serve");
  const std::pair<struct bio *, int> served{bio, transfer(hd, bio)};
  end_served(hd, &served, 1);
  end_claim(hd);
}

// ---- bios a driver in front of the disk sends it ----
// A driver in front of a disk submits several bios from its make_request_fn and then waits
// for them: a copy before a write reads every chunk the write touches. Served one by one as
// they come, a sequential writer's chunks cost a system call each, where this kernel's
// elevator merged them behind its plugged queue. So while a driver's make_request_fn runs,
// the bios it gives an in-order image disk wait in the submitting thread, in order, and are
// served there as merged runs when the thread is about to sleep or the make_request_fn
// returns (deferred_bios_flush).
thread_local int t_driver_mrf_depth = 0;  // drivers' make_request_fns running in this thread
thread_local std::vector<std::pair<host_disk *, struct bio *>> t_deferred;

// Claims the disk for the caller to serve the bios at once (true), or queues them, in order,
// for the disk's threads (false); a stopping disk fails them.
bool claim_or_queue(host_disk *hd, struct bio *const *bios, size_t n) {
  {
    spin_acquire(hd->lock);
    std::lock_guard<std::mutex> g(hd->lock, std::adopt_lock);
    if (__may_serve_now(hd)) {
      hd->serving = true;
      return true;
    }
    if (!hd->stopping) {
      for (size_t i = 0; i < n; i++)
        hd->pending.push_back(bios[i]);
      if (hd->reorder.enabled)
        __reorder_admit(hd);
      else
        hd->cv.notify_one();
      return false;
    }
  }
  for (size_t i = 0; i < n; i++)
    bio_endio(bios[i], -EIO);  // the disk is gone
  return false;
}

// Serves a thread's deferred bios of one disk: here, merged, when the disk may serve them at
// once; else queued for its thread, in their order.
void serve_deferred(host_disk *hd, const std::vector<struct bio *> &group) {
  bool now = claim_or_queue(hd, group.data(), group.size());
  hd->held.fetch_sub(group.size());  // queued, failed or claimed: no longer this thread's alone
  if (!now)
    return;
  check_sleep("disk_serve");
  std::deque<struct bio *> batch(group.begin(), group.end());
  std::vector<std::pair<struct bio *, int>> done;
  std::vector<struct bio *> run;
  std::vector<struct iovec> iov;
  done.reserve(group.size());
  while (!batch.empty()) {
    take_run(batch, run);
    if (int err = transfer_run(hd, run, iov); err != kRunNotDone) {
      for (struct bio *bio : run)
        done.emplace_back(bio, err);
      continue;
    }
    // One bio, or a run the file failed: each bio alone, so only a failing one fails.
    for (struct bio *bio : run)
      done.emplace_back(bio, transfer(hd, bio));
  }
  end_served(hd, done.data(), done.size());
  end_claim(hd);
}

// Holds a bio a driver's make_request_fn gives the disk; false when it goes the usual way.
// Every bio the thread gives the disk meanwhile is held behind it, so none overtakes another.
// A completion (interrupt context, during a flush) that passes a bio on does not hold it: the
// thread may be about to sleep waiting for it.
bool defer_bio(host_disk *hd, struct bio *bio) {
  if (!t_driver_mrf_depth || in_interrupt() || hd->fd < 0 || hd->reorder.enabled)
    return false;
  hd->held.fetch_add(1);
  t_deferred.emplace_back(hd, bio);
  return true;
}

// Submitter's context: checks the bio against the disk and queues it, or serves it at once.
int disk_make_request(struct request_queue *q, struct bio *bio) {
  auto *hd = static_cast<host_disk *>(q->queuedata);
  sector_t nr = bio_sectors(bio);
  if (bio->bi_sector > hd->nr_sects || nr > hd->nr_sects - bio->bi_sector) {
    printk(KERN_ERR "%s: bio at sector %llu (+%llu) beyond the disk end %llu\n", hd->name.c_str(),
           (unsigned long long)bio->bi_sector, (unsigned long long)nr, (unsigned long long)hd->nr_sects);
    set_bit(BIO_EOF, &bio->bi_flags);
    bio_endio(bio, -EIO);
    return 0;
  }
  if (nr > q->limits.max_hw_sectors) {
    printk(KERN_ERR "%s: bio of %llu sectors exceeds max_hw_sectors %u\n", hd->name.c_str(),
           (unsigned long long)nr, q->limits.max_hw_sectors);
    bio_endio(bio, -EIO);
    return 0;
  }
  // The k-th read or write a disk is given can be failed by name, as a sweep over every
  // fault point needs; sector rules (disk_fault_add) choose by place instead.
  kplat::fault_ctx fc;
  fc.name = hd->name.c_str();
  fc.offset = (long long)bio->bi_sector;
  fc.size = bio->bi_size;
  if (kplat::fault_hit(bio_data_dir(bio) == WRITE ? "disk_write" : "disk_read", fc)) {
    bio_endio(bio, -EIO);
    return 0;
  }
  if (defer_bio(hd, bio))
    return 0;
  if (claim_or_queue(hd, &bio, 1))
    serve_now(hd, bio);
  return 0;
}

void stop_service(host_disk *hd) {
  // A bio held in a submitting thread is served or queued before that thread sleeps, so this
  // wait is short; without it the disk would fail a bio given to it before it stopped.
  while (hd->held.load())
    std::this_thread::yield();
  {
    std::lock_guard<std::mutex> l(hd->lock);
    hd->stopping = true;
    hd->cv.notify_all();
  }
  if (hd->reorder.enabled)
    reorder_stop(hd);
  else if (hd->worker.joinable())  // not when add_disk could not start it
    hd->worker.join();
}

void release_host_disk(struct request_queue *q) { delete static_cast<host_disk *>(q->queuedata); }

// The host disk behind dev (a disk or one of its partitions) and the first
// sector of that device on the disk. g_hosts_lock held.
host_disk *__find_host(dev_t dev, sector_t *start) {
  if (MAJOR(dev) != kSdMajor)
    return nullptr;
  auto it = g_hosts.find(int(MINOR(dev) / kMinorsPerDisk));
  if (it == g_hosts.end())
    return nullptr;
  int partno = int(MINOR(dev) % kMinorsPerDisk);
  struct hd_struct *part = it->second->disk->__part[partno];
  if (!part)
    return nullptr;
  if (start)
    *start = part->start_sect;
  return it->second;
}

int fail(int err) {
  errno = err;
  return -1;
}

dev_t fail_dev(int err) {
  errno = err;
  return 0;
}

int validate(const host::disk_spec &spec) {
  if (spec.name.empty() || spec.name.size() > DISK_NAME_LEN - 4 || spec.name.find('/') != std::string::npos)
    return EINVAL;
  if (spec.nr_sects == 0 || spec.nr_sects > (uint64_t(1) << 50))
    return EINVAL;
  if (spec.partitions.size() > size_t(kMinorsPerDisk - 1) || spec.max_hw_sectors < 8)
    return EINVAL;
  if (spec.reorder.enabled && reorder_check(spec.reorder))
    return EINVAL;
  for (size_t i = 0; i < spec.partitions.size(); i++) {
    const auto &p = spec.partitions[i];
    if (p.nr_sects == 0 || p.start_sect >= spec.nr_sects || p.nr_sects > spec.nr_sects - p.start_sect)
      return EINVAL;
    for (size_t j = 0; j < i; j++) {
      const auto &o = spec.partitions[j];
      if (p.start_sect < o.start_sect + o.nr_sects && o.start_sect < p.start_sect + p.nr_sects)
        return EINVAL;
    }
  }
  return 0;
}

// What an open image file still needs: its direct descriptor when asked for, and its reader
// and read-ahead threads.
int start_image(host_disk *hd, const host::disk_spec &spec) {
  if (spec.direct) {
    if (int e = open_direct(hd))
      return e;
  }
  return start_reader(hd, !spec.reorder.enabled);
}

int open_storage(host_disk *hd, const host::disk_spec &spec) {
  size_t bytes = size_t(spec.nr_sects) << 9;
  hd->image = spec.image;
  if (spec.image_fd >= 0) {
    struct stat st;
    if (fstat(spec.image_fd, &st) != 0)
      return errno;
    if (!S_ISREG(st.st_mode) || uint64_t(st.st_size) < bytes)
      return EINVAL;
    int flags = fcntl(spec.image_fd, F_GETFL);
    if (flags < 0)
      return errno;
    int fd = fcntl(spec.image_fd, F_DUPFD_CLOEXEC, 0);
    if (fd < 0)
      return errno;
    hd->fd = fd;
    hd->read_only = (flags & O_ACCMODE) == O_RDONLY;
    return start_image(hd, spec);
  }
  if (spec.image.empty()) {
    void *m = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (m == MAP_FAILED)
      return errno;
    hd->ram = static_cast<unsigned char *>(m);
    hd->ram_bytes = bytes;
    return 0;
  }
  int fd = ::open(spec.image.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0)
    return errno;
  struct stat st;
  if (fstat(fd, &st) != 0 || (uint64_t(st.st_size) < bytes && ftruncate(fd, off_t(bytes)) != 0)) {
    int e = errno;
    ::close(fd);
    return e;
  }
  hd->fd = fd;
  return start_image(hd, spec);
}

void close_storage(host_disk *hd) {
  if (hd->ram)
    munmap(hd->ram, hd->ram_bytes);
  hd->ram = nullptr;
  stop_reader(hd);
  if (hd->fd >= 0)
    ::close(hd->fd);
  hd->fd = -1;
}

}  // namespace

make_request_fn *disk_make_request_fn() { return disk_make_request; }

void driver_mrf_enter() { t_driver_mrf_depth++; }

void driver_mrf_exit() {
  if (--t_driver_mrf_depth == 0)
    deferred_bios_flush();
}

void deferred_bios_flush() {
  std::vector<std::pair<host_disk *, struct bio *>> held;
  std::vector<struct bio *> group;
  while (!t_deferred.empty()) {
    held.clear();
    held.swap(t_deferred);  // what serving them submits is held anew, and served next round
    for (size_t i = 0; i < held.size();) {
      host_disk *hd = held[i].first;
      group.clear();
      for (; i < held.size() && held[i].first == hd; i++)
        group.push_back(held[i].second);
      serve_deferred(hd, group);
    }
  }
}

}  // namespace kplat

using namespace kplat;

dev_t host::add_disk(const host::disk_spec &spec) {
  syscall_entry();
  if (int e = validate(spec))
    return fail_dev(e);
  if (struct block_device *clash = bdget_by_name(spec.name.c_str())) {
    bdput(clash);
    return fail_dev(EEXIST);
  }
  std::lock_guard<std::mutex> g(g_hosts_lock);
  int slot = 0;
  while (g_hosts.count(slot))
    slot++;
  if (slot * kMinorsPerDisk + kMinorsPerDisk - 1 > int(MINORMASK))
    return fail_dev(ENOSPC);

  auto *hd = new host_disk;
  hd->name = spec.name;
  hd->slot = slot;
  hd->nr_sects = spec.nr_sects;
  if (int e = open_storage(hd, spec)) {
    close_storage(hd);  // what it opened before it failed
    delete hd;
    return fail_dev(e);
  }
  struct request_queue *q = blk_alloc_queue_internal();
  struct gendisk *disk = alloc_disk_internal(kMinorsPerDisk);
  if (!q || !disk) {
    close_storage(hd);
    if (q)
      blk_put_queue(q);
    put_disk(disk);
    delete hd;
    return fail_dev(ENOMEM);
  }
  blk_queue_make_request(q, disk_make_request);
  q->limits.max_hw_sectors = spec.max_hw_sectors;
  q->limits.max_sectors = spec.max_hw_sectors;
  // Enough page segments for the largest transfer: a disk taking 1 MiB takes it as one bio.
  q->limits.max_segments = (unsigned short)std::min<unsigned>(
      BIO_MAX_PAGES, std::max<unsigned>(MAX_SEGMENTS, spec.max_hw_sectors / (PAGE_SIZE >> 9)));
  q->limits.max_segment_size = MAX_SEGMENT_SIZE;
  q->limits.logical_block_size = 512;
  q->limits.physical_block_size = 4096;
  // Request-based disks of this generation have a queue lock and unplug.
  q->queue_lock = &q->__queue_lock;
  q->unplug_fn = generic_unplug_device;
  q->queuedata = hd;
  q->__release = release_host_disk;
  hd->q = q;

  disk->major = int(kSdMajor);
  disk->first_minor = slot * kMinorsPerDisk;
  snprintf(disk->disk_name, sizeof(disk->disk_name), "%s", spec.name.c_str());
  disk->fops = &host_disk_fops;
  disk->queue = q;
  disk->private_data = hd;
  set_capacity(disk, spec.nr_sects);
  for (size_t i = 0; i < spec.partitions.size(); i++)
    disk_add_part(disk, int(i + 1), spec.partitions[i].start_sect, spec.partitions[i].nr_sects);
  hd->disk = disk;
  hd->reorder = spec.reorder;
  int err = 0;
  try {
    if (hd->reorder.enabled)
      reorder_start(hd);
    else
      hd->worker = std::thread(worker_main, hd);
  } catch (const std::system_error &) {
    err = EAGAIN;  // the host gives no more threads: the ones started are stopped below
  }

  if (!err) {
    add_disk(disk);
    if (!disk_published(disk))  // lost a race for the name
      err = EEXIST;
  }
  if (err) {
    stop_service(hd);
    close_storage(hd);
    put_disk(disk);
    blk_cleanup_queue(q);
    return fail_dev(err);
  }
  g_hosts[slot] = hd;
  blockdev_file_anchor();
  return MKDEV(kSdMajor, unsigned(disk->first_minor));
}

int host::del_disk(dev_t dev) {
  syscall_entry();
  host_disk *hd;
  {
    std::lock_guard<std::mutex> g(g_hosts_lock);
    sector_t start;
    hd = __find_host(dev, &start);
    if (!hd || MINOR(dev) % kMinorsPerDisk != 0)
      return fail(ENODEV);
    if (!disk_unpublish_if_idle(hd->disk))
      return fail(EBUSY);
    g_hosts.erase(hd->slot);
  }
  stop_service(hd);  // serves what is still queued first
  close_storage(hd);
  struct request_queue *q = hd->q;
  put_disk(hd->disk);
  blk_cleanup_queue(q);  // hd goes with the queue's last reference
  return 0;
}

int host::disk_fault_add(dev_t dev, host::disk_fault kind, uint64_t first_sect, uint64_t nr_sects, int count,
                         unsigned delay_ms) {
  std::lock_guard<std::mutex> g(g_hosts_lock);
  sector_t start = 0;
  host_disk *hd = __find_host(dev, &start);
  if (!hd)
    return fail(ENODEV);
  if (nr_sects == 0 || count == 0)
    return fail(EINVAL);
  std::lock_guard<std::mutex> l(hd->lock);
  disk_rule r{hd->next_rule_id++, kind, start + first_sect, start + first_sect + nr_sects,
              count < 0 ? -1L : long(count), delay_ms};
  hd->rules.push_back(r);
  hd->nr_rules.store(hd->rules.size(), std::memory_order_release);
  return r.id;
}

int host::disk_fault_clear(dev_t dev) {
  std::lock_guard<std::mutex> g(g_hosts_lock);
  host_disk *hd = __find_host(dev, nullptr);
  if (!hd)
    return fail(ENODEV);
  std::lock_guard<std::mutex> l(hd->lock);
  hd->rules.clear();
  hd->nr_rules.store(0, std::memory_order_release);
  return 0;
}

int host::disk_get_stats(dev_t dev, host::disk_stats *out) {
  std::lock_guard<std::mutex> g(g_hosts_lock);
  host_disk *hd = __find_host(dev, nullptr);
  if (!hd || !out)
    return fail(hd ? EINVAL : ENODEV);
  std::lock_guard<std::mutex> l(hd->lock);
  *out = hd->stats;
  out->image_transfers = hd->image_transfers.load(std::memory_order_relaxed);
  out->image_split_reads = hd->split_reads.load(std::memory_order_relaxed);
  out->image_read_ahead = hd->read_ahead.load(std::memory_order_relaxed);
  out->image_read_ahead_busy = read_ahead_busy(hd);
  return 0;
}
