// The machine's disks: numbering and partitions, asynchronous completion in
// interrupt context, image files, injected faults; disk and major registry.
#include "blk_test_util.h"

#include <linux/completion.h>
#include <linux/delay.h>
#include <linux/gfp.h>
#include <linux/spinlock.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

using namespace blkt;

namespace {

host::disk_spec ram_disk(const std::string &name, uint64_t sectors = 8192) {
  host::disk_spec s;
  s.name = name;
  s.nr_sects = sectors;
  return s;
}

ssize_t write_at(const char *path, const std::vector<unsigned char> &data, off_t off) {
  int fd = host::open(path, O_RDWR);
  if (fd < 0)
    return -1;
  ssize_t r = host::pwrite(fd, data.data(), data.size(), off);
  int e = errno;
  host::close(fd);
  errno = e;
  return r;
}

ssize_t read_at(const char *path, std::vector<unsigned char> &data, off_t off) {
  int fd = host::open(path, O_RDONLY);
  if (fd < 0)
    return -1;
  ssize_t r = host::pread(fd, data.data(), data.size(), off);
  int e = errno;
  host::close(fd);
  errno = e;
  return r;
}

TEST(Disks, NumberingPartitionsAndQueueLimits) {
  host::disk_spec a = ram_disk("sda");
  a.partitions = {{64, 1024}, {2048, 4096}};
  host::disk_spec b = ram_disk("sdb");
  b.max_hw_sectors = 64;
  dev_t da = host::add_disk(a), db = host::add_disk(b);
  EXPECT_EQ(da, MKDEV(8, 0));
  EXPECT_EQ(db, MKDEV(8, 16));

  struct block_device *p2 = bdget(da + 2);
  ASSERT_NE(p2, nullptr);
  EXPECT_EQ(p2->bd_dev, MKDEV(8, 2));
  EXPECT_EQ(p2->bd_part->start_sect, 2048u);
  EXPECT_EQ(p2->bd_part->nr_sects, 4096u);
  EXPECT_EQ(p2->bd_part->partno, 2);
  EXPECT_EQ(p2->bd_disk->first_minor, 0);
  EXPECT_EQ(p2->bd_disk->minors, 16);
  EXPECT_STREQ(p2->bd_disk->disk_name, "sda");
  struct block_device *whole = p2->bd_contains;
  EXPECT_EQ(whole->bd_contains, whole);
  EXPECT_EQ(whole->bd_part, &whole->bd_disk->part0);
  EXPECT_EQ(get_capacity(whole->bd_disk), 8192u);
  EXPECT_EQ(bdget(da + 2), p2);  // one object per number
  bdput(p2);
  EXPECT_EQ(bdget(da + 3), nullptr);  // no third partition
  EXPECT_EQ(bdget(MKDEV(8, 32)), nullptr);

  struct request_queue *q = bdev_get_queue(p2);
  EXPECT_EQ(q->limits.max_hw_sectors, 256u);
  EXPECT_EQ(q->limits.max_sectors, 256u);
  EXPECT_EQ(q->limits.max_segments, 128);
  EXPECT_EQ(q->limits.max_segment_size, 65536u);
  EXPECT_EQ(q->limits.logical_block_size, 512u);
  EXPECT_EQ(bdev_physical_block_size(p2), 4096u);
  EXPECT_NE(q->queue_lock, nullptr);
  struct block_device *sdb = bdget(db);
  EXPECT_EQ(bdev_get_queue(sdb)->limits.max_hw_sectors, 64u);
  bdput(sdb);
  bdput(p2);

  EXPECT_EQ(host::del_disk(da), 0);
  EXPECT_EQ(bdget(da), nullptr);
  EXPECT_EQ(host::add_disk(ram_disk("sdc")), MKDEV(8, 0));  // the lowest free slot again
  EXPECT_EQ(host::del_disk(MKDEV(8, 0)), 0);
  EXPECT_EQ(host::del_disk(db), 0);
}

TEST(Disks, BadSpecsAreRefused) {
  host::disk_spec s = ram_disk("sda", 4096);
  s.partitions = {{0, 2048}, {2000, 1000}};  // overlapping
  EXPECT_EQ(host::add_disk(s), 0u);
  EXPECT_EQ(errno, EINVAL);
  s.partitions = {{3000, 2000}};  // past the end
  EXPECT_EQ(host::add_disk(s), 0u);
  EXPECT_EQ(errno, EINVAL);
  s.partitions = {{100, 0}};
  EXPECT_EQ(host::add_disk(s), 0u);
  s.partitions.assign(16, host::partition_spec{0, 1});
  EXPECT_EQ(host::add_disk(s), 0u);
  EXPECT_EQ(host::add_disk(ram_disk("sda", 0)), 0u);
  EXPECT_EQ(host::add_disk(ram_disk("", 8)), 0u);
  host::disk_spec tiny = ram_disk("sda");
  tiny.max_hw_sectors = 4;
  EXPECT_EQ(host::add_disk(tiny), 0u);
  EXPECT_EQ(errno, EINVAL);

  dev_t d = host::add_disk(ram_disk("sda"));
  ASSERT_NE(d, 0u);
  EXPECT_EQ(host::add_disk(ram_disk("sda")), 0u);
  EXPECT_EQ(errno, EEXIST);
  EXPECT_EQ(host::del_disk(d + 1), -1);  // a partition number is not a disk
  EXPECT_EQ(errno, ENODEV);
  EXPECT_EQ(host::del_disk(d), 0);
  EXPECT_EQ(host::del_disk(d), -1);
  EXPECT_EQ(errno, ENODEV);
}

TEST(Disks, CompletionIsAsynchronousAndInInterruptContext) {
  host::set_clock_speed(0);  // the delay lasts until the clock runs again
  dev_t d = host::add_disk(ram_disk("sda"));
  host::disk_fault_add(d, host::disk_fault::delay, 0, 8, 1, 5000);
  struct block_device *bdev = bdget(d);
  struct bio *b = make_bio(bdev, 0, 1, 0);
  bio_waiter w;
  w.arm(b);
  generic_make_request(b);
  {
    std::lock_guard<std::mutex> g(w.m);
    EXPECT_FALSE(w.done);  // held by the disk
  }
  host::set_clock_speed(100);
  EXPECT_EQ(w.wait(), 0);
  EXPECT_TRUE(w.in_irq);
  EXPECT_NE(w.tid, gettid());
  EXPECT_FALSE(in_interrupt());
  free_bio_pages(b);
  bio_put(b);
  bdput(bdev);
  EXPECT_EQ(host::del_disk(d), 0);
}

// An idle image disk serves a submitter that may sleep in its own thread, before the
// submission returns, and still completes in interrupt context. A caller of the disk's
// request function that may not sleep (under a spinlock) is queued for the disk's thread:
// serving it at once would sleep in atomic context, which the platform aborts on.
TEST(Disks, AnIdleImageDiskServesASleepingSubmitterAtOnceAndQueuesAnAtomicOne) {
  host::disk_spec s = ram_disk("sdx", 8192);
  s.image = temp_dir() + "/direct.img";
  dev_t d = host::add_disk(s);
  ASSERT_NE(d, 0u);
  struct block_device *bdev = bdget(d);
  for (bool atomic : {false, true}) {
    SCOPED_TRACE(atomic ? "under a spinlock" : "may sleep");
    struct bio *b = make_bio(bdev, 64, 2, 1);
    bio_waiter w;
    w.arm(b);
    DEFINE_SPINLOCK(lock);
    if (atomic) {
      spin_lock(&lock);
      bdev_get_queue(bdev)->make_request_fn(bdev_get_queue(bdev), b);
      spin_unlock(&lock);
    } else {
      generic_make_request(b);
    }
    if (!atomic) {
      EXPECT_EQ(w.calls, 1);  // ended before generic_make_request returned
    }
    EXPECT_EQ(w.wait(), 0);
    EXPECT_TRUE(w.in_irq);
    EXPECT_EQ(w.tid == gettid(), !atomic);
    EXPECT_FALSE(in_interrupt());
    free_bio_pages(b);
    bio_put(b);
  }
  bdput(bdev);
  EXPECT_EQ(host::del_disk(d), 0);
}

// A stacked driver that reads one page of the disk for each write it is given, as a copy
// before a write does.
struct read_per_write {
  make_request_fn *saved = nullptr;
  struct block_device *bdev = nullptr;
  std::deque<bio_waiter> reads;
  std::vector<struct bio *> bios;
};
read_per_write *g_read_per_write;

int submit_with_a_read(struct request_queue *q, struct bio *bio) {
  read_per_write *d = g_read_per_write;
  if (bio->bi_rw & (1UL << BIO_RW)) {
    struct bio *r = make_bio(d->bdev, 4000, 1, 0);
    d->reads.emplace_back();
    d->reads.back().arm(r);
    d->bios.push_back(r);
    generic_make_request(r);
  }
  return d->saved(q, bio);
}

// A range written in several bios is submitted as a batch: the bios, and what a driver
// submits while handling them, are queued to the disk thread, which merges and serves them
// while the submitter goes on. Served one by one in the submitter's thread instead, a
// snapshot read of many pages took a third longer. A range of one bio is still served at
// once.
TEST(Disks, ARangeOfSeveralBiosIsQueuedWithWhatADriverSubmitsMeanwhile) {
  host::disk_spec s = ram_disk("sdx", 8192);
  s.image = temp_dir() + "/batch.img";
  dev_t d = host::add_disk(s);
  ASSERT_NE(d, 0u);
  read_per_write rpw;
  rpw.bdev = bdget(d);
  struct request_queue *q = bdev_get_queue(rpw.bdev);
  rpw.saved = q->make_request_fn;
  g_read_per_write = &rpw;
  q->make_request_fn = submit_with_a_read;
  const size_t one_bio = PAGE_SIZE, several = 2u << 20;  // 128 pages a bio at most
  for (size_t len : {one_bio, several}) {
    SCOPED_TRACE(len == one_bio ? "one bio" : "several bios");
    size_t first = rpw.reads.size();
    EXPECT_EQ(write_at("/dev/sdx", pattern(len, 7), 0), ssize_t(len));
    ASSERT_GT(rpw.reads.size(), first);
    EXPECT_GE(rpw.reads.size() - first, len == several ? 2u : 1u);
    for (size_t i = first; i < rpw.reads.size(); i++) {
      EXPECT_EQ(rpw.reads[i].wait(), 0);
      EXPECT_EQ(rpw.reads[i].tid == gettid(), len == one_bio) << "read " << i;
    }
  }
  q->make_request_fn = rpw.saved;
  g_read_per_write = nullptr;
  for (struct bio *b : rpw.bios) {
    free_bio_pages(b);
    bio_put(b);
  }
  std::vector<unsigned char> back(several);
  EXPECT_EQ(read_at("/dev/sdx", back, 0), ssize_t(several));
  EXPECT_TRUE(back == pattern(several, 7));
  bdput(rpw.bdev);
  EXPECT_EQ(host::del_disk(d), 0);

  // A disk taking 1 MiB has the segments for it: 1 MiB goes as one bio, served at once.
  s.name = "sdy";
  s.image = temp_dir() + "/big.img";
  s.max_hw_sectors = 2048;
  d = host::add_disk(s);
  ASSERT_NE(d, 0u);
  {
    interposer ip(d);
    EXPECT_EQ(write_at("/dev/sdy", pattern(1u << 20, 3), 0), ssize_t(1u << 20));
    auto seen = ip.log();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].size, 1u << 20);
  }
  // A large read is copied out of the image in two halves by two threads. Its first segment
  // is short, so that the second half starts inside a page of the image: every byte must
  // still land where its segment says, from its own place in the image. What the host's cache
  // holds ready is copied at once, unsplit, and only a rest of 512 KiB or more is split: the
  // fault point stands for the cache, with nothing ready, then the first 256 KiB less 512
  // bytes (ending inside a segment). A third pass leaves it to the cache, which holds all of
  // the image just written: nothing to split, where the host can say so.
  const auto in_image = pattern(2u << 20, 9);
  int img_fd = ::open(s.image.c_str(), O_RDWR);
  EXPECT_GE(img_fd, 0);
  EXPECT_EQ(::pwrite(img_fd, in_image.data(), in_image.size(), 0), ssize_t(in_image.size()));
  std::vector<unsigned char> probe(PAGE_SIZE);
  struct iovec probe_iov = {probe.data(), probe.size()};
  const bool host_tells = ::preadv2(img_fd, &probe_iov, 1, 0, RWF_NOWAIT) == ssize_t(PAGE_SIZE);
  ::close(img_fd);
  for (long long ready : {0LL, 256LL * 1024 - 512, -1LL}) {
    SCOPED_TRACE(ready < 0 ? "the host's cache" : "ready: " + std::to_string(ready));
    if (ready >= 0) {
      host::fault_rule rule;
      rule.value = ready;
      host::fault_inject("image_read_ready", rule);
    }
    struct block_device *bdev = bdget(d);
    struct bio *r = make_bio(bdev, 1, 256, 0);
    r->bi_io_vec[0].bv_offset = 1024;
    r->bi_io_vec[0].bv_len = 512;
    r->bi_size -= PAGE_SIZE - 512;
    host::disk_stats before{}, after{};
    EXPECT_EQ(host::disk_get_stats(d, &before), 0);
    EXPECT_EQ(submit_and_wait(r), 0);
    EXPECT_EQ(host::disk_get_stats(d, &after), 0);
    if (ready >= 0 || host_tells) {
      EXPECT_EQ(after.image_split_reads - before.image_split_reads, ready >= 0 ? 1u : 0u);
    }
    size_t at = 512;  // sector 1
    for (unsigned i = 0; i < r->bi_vcnt; i++) {
      const struct bio_vec &bv = r->bi_io_vec[i];
      auto *got = static_cast<unsigned char *>(page_address(bv.bv_page)) + bv.bv_offset;
      if (!std::equal(got, got + bv.bv_len, in_image.begin() + long(at))) {
        ADD_FAILURE() << "segment " << i << " does not hold the image at byte " << at;
        break;
      }
      at += bv.bv_len;
    }
    host::fault_clear("image_read_ready");
    free_bio_pages(r);
    bio_put(r);
    bdput(bdev);
  }
  EXPECT_EQ(host::del_disk(d), 0);
}

// Bytes the disk has read ahead, once it has nothing left to read ahead (it reads on a thread
// of its own, so the wait is bounded only to report a thread that never finishes).
uint64_t read_ahead_when_done(dev_t d) {
  host::disk_stats st{};
  for (int i = 0; i < 60000; i++) {
    if (host::disk_get_stats(d, &st) != 0 || !st.image_read_ahead_busy)
      return st.image_read_ahead;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ADD_FAILURE() << "still reading ahead after a minute";
  return st.image_read_ahead;
}

// Only a read that starts where the last one ended is read ahead of, and never past the disk's
// end, though its image goes on: the image is larger than the disk here.
TEST(Disks, SequentialReadsOfAnImageAreReadAheadUpToTheDisksEndAndNoOthers) {
  constexpr uint64_t KiB = 1024, MiB = KiB * KiB;
  const uint64_t disk_bytes = 6 * MiB + 64 * KiB;
  const std::string img = temp_dir() + "/ahead.img";
  {
    int fd = ::open(img.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(::ftruncate(fd, off_t(disk_bytes + 4 * MiB)), 0);
    ::close(fd);
  }
  host::disk_spec s = ram_disk("sdw", disk_bytes / 512);
  s.image = img;
  dev_t d = host::add_disk(s);
  ASSERT_NE(d, 0u);
  std::vector<unsigned char> buf(64 * KiB);
  // The first read, at 0, and two reads elsewhere: nothing. Then one right after the last:
  // its next 4 MiB.
  for (uint64_t at : {0 * MiB, 3 * MiB, 1 * MiB})
    EXPECT_EQ(read_at("/dev/sdw", buf, off_t(at)), ssize_t(buf.size()));
  EXPECT_EQ(read_ahead_when_done(d), 0u);
  EXPECT_EQ(read_at("/dev/sdw", buf, off_t(1 * MiB + 64 * KiB)), ssize_t(buf.size()));
  EXPECT_EQ(read_ahead_when_done(d), 4 * MiB);
  // A new run near the end: read ahead only up to the disk's end.
  for (uint64_t at : {5 * MiB + 128 * KiB, 5 * MiB + 192 * KiB})
    EXPECT_EQ(read_at("/dev/sdw", buf, off_t(at)), ssize_t(buf.size()));
  const uint64_t to_end = disk_bytes - (5 * MiB + 256 * KiB);
  EXPECT_EQ(read_ahead_when_done(d), 4 * MiB + to_end);
  EXPECT_EQ(host::del_disk(d), 0);
}

// A driver in front of the disk that reads, page by page, what a write covers, waits for
// the reads, then passes the write on, as a copy before a write does.
struct copy_before_write {
  make_request_fn *saved = nullptr;
  struct block_device *bdev = nullptr;
  struct completion reads_done;
  std::atomic<int> reads_left{0};
  std::atomic<int> read_errors{0};
  std::atomic<int> reads_elsewhere{0};  // served in another thread than the writer's
  pid_t writer = 0;
  std::vector<struct bio *> bios;
  // On: the last read's completion passes the write on, and the driver waits for the write.
  bool write_from_completion = false;
  struct request_queue *q = nullptr;
  struct bio *write = nullptr;
  bio_end_io_t *write_end_io = nullptr;
  struct completion write_done;
};
copy_before_write *g_cbw;

void cbw_write_done(struct bio *bio, int err) {
  copy_before_write *d = g_cbw;
  bio->bi_end_io = d->write_end_io;
  bio->bi_end_io(bio, err);
  complete(&d->write_done);
}

void cbw_read_done(struct bio *bio, int err) {
  copy_before_write *d = g_cbw;
  if (err || !test_bit(BIO_UPTODATE, &bio->bi_flags)) d->read_errors++;
  if (gettid() != d->writer) d->reads_elsewhere++;
  if (--d->reads_left > 0) return;
  if (d->write_from_completion) d->saved(d->q, d->write);
  complete(&d->reads_done);
}

int cbw_request(struct request_queue *q, struct bio *bio) {
  copy_before_write *d = g_cbw;
  if (!(bio->bi_rw & (1UL << BIO_RW))) return d->saved(q, bio);
  int pages = int(bio->bi_size / PAGE_SIZE);
  init_completion(&d->reads_done);
  init_completion(&d->write_done);
  d->reads_left = pages;
  d->q = q;
  d->write = bio;
  if (d->write_from_completion) {
    d->write_end_io = bio->bi_end_io;
    bio->bi_end_io = cbw_write_done;
  }
  for (int k = 0; k < pages; k++) {
    struct bio *r = make_bio(d->bdev, bio->bi_sector + sector_t(k) * (PAGE_SIZE >> 9), 1, 0);
    r->bi_end_io = cbw_read_done;
    d->bios.push_back(r);
    d->saved(q, r);  // straight to the disk, as a driver passes a bio on
  }
  if (!d->write_from_completion) {
    wait_for_completion(&d->reads_done);
    return d->saved(q, bio);
  }
  // Only the write is waited for. Ten seconds stand for never: the write was held while this
  // thread slept.
  EXPECT_GT(wait_for_completion_timeout(&d->write_done, 10 * HZ), 0u) << "the write went out";
  wait_for_completion(&d->reads_done);
  return 0;
}

// What such a driver sends an idle image disk while it handles a write waits in the writer's
// thread and goes out merged: the 16 page reads as one system call when it waits for them,
// the write as another when its request function returns (one by one they took 17). A
// write passed on from a read's completion, which the driver then waits for, goes out at once.
TEST(Disks, ADriversBiosGoOutMergedWhenItWaitsOrReturns) {
  for (bool from_completion : {false, true}) {
    SCOPED_TRACE(from_completion ? "write passed on from the completion" : "write passed on after");
    host::disk_spec s = ram_disk("sdx", 8192);
    s.image = temp_dir() + "/cbw.img";
    dev_t d = host::add_disk(s);
    ASSERT_NE(d, 0u);
    ASSERT_EQ(write_at("/dev/sdx", pattern(65536, 4), 65536), 65536);
    copy_before_write cbw;
    cbw.bdev = bdget(d);
    cbw.writer = gettid();
    cbw.write_from_completion = from_completion;
    struct request_queue *q = bdev_get_queue(cbw.bdev);
    cbw.saved = q->make_request_fn;
    g_cbw = &cbw;
    q->make_request_fn = cbw_request;
    host::disk_stats before{}, after{};
    ASSERT_EQ(host::disk_get_stats(d, &before), 0);
    EXPECT_EQ(write_at("/dev/sdx", pattern(65536, 9), 65536), 65536);  // one bio of 16 pages
    ASSERT_EQ(host::disk_get_stats(d, &after), 0);
    q->make_request_fn = cbw.saved;
    g_cbw = nullptr;
    EXPECT_EQ(cbw.bios.size(), 16u);
    EXPECT_EQ(cbw.read_errors.load(), 0);
    EXPECT_EQ(after.read_bios - before.read_bios, 16u);
    if (!from_completion) {
      EXPECT_EQ(cbw.reads_elsewhere.load(), 0) << "served in the writer's thread";
      EXPECT_EQ(after.image_transfers - before.image_transfers, 2u) << "the reads merged, then the write";
    }
    for (size_t k = 0; k < cbw.bios.size(); k++) {
      struct bio *r = cbw.bios[k];
      EXPECT_EQ(memcmp(page_address(r->bi_io_vec[0].bv_page), pattern(65536, 4).data() + k * PAGE_SIZE,
                       PAGE_SIZE), 0) << "page " << k << " read before the write";
      free_bio_pages(r);
      bio_put(r);
    }
    std::vector<unsigned char> back(65536);
    EXPECT_EQ(read_at("/dev/sdx", back, 65536), 65536);
    EXPECT_TRUE(back == pattern(65536, 9));
    bdput(cbw.bdev);
    EXPECT_EQ(host::del_disk(d), 0);
  }
}

// As this kernel's request-based drivers do, a completed bio has its range consumed
// (failed or not): its submitter must have kept the sector and size it asked for.
TEST(Disks, CompletedBioHasItsRangeConsumed) {
  for (bool image : {false, true}) {
    SCOPED_TRACE(image ? "image disk" : "RAM disk");
    host::disk_spec s = ram_disk("sda");
    if (image)
      s.image = temp_dir() + "/consumed.img";
    s.partitions = {{1024, 2048}};
    dev_t d = host::add_disk(s);
    ASSERT_NE(d, 0u);
    ASSERT_GT(host::disk_fault_add(d, host::disk_fault::read_error, 512, 8, 1), 0);
    struct block_device *part = bdget(d + 1), *whole = bdget(d);
    struct {
      struct block_device *bdev;
      sector_t sector, ends_at;  // ends_at: on the whole disk
      int pages, rw, err;
    } cases[] = {
        {whole, 16, 16 + 16, 2, 1, 0},
        {whole, 16, 16 + 16, 2, 0, 0},
        {part, 8, 1024 + 8 + 24, 3, 0, 0},  // remapped to the disk, then consumed there
        {whole, 512, 512 + 8, 1, 0, -EIO},
    };
    for (auto &c : cases) {
      struct bio *b = make_bio(c.bdev, c.sector, c.pages, c.rw);
      EXPECT_EQ(submit_and_wait(b), c.err);
      EXPECT_EQ(b->bi_sector, c.ends_at);
      EXPECT_EQ(b->bi_size, 0u);
      EXPECT_EQ(b->bi_idx, b->bi_vcnt);
      EXPECT_EQ(b->bi_vcnt, c.pages);
      free_bio_pages(b);
      bio_put(b);
    }
    bdput(part);
    bdput(whole);
    EXPECT_EQ(host::del_disk(d), 0);
  }
}

void sleeping_end_io(struct bio *bio, int err) { msleep(1); }

TEST(DisksDeathTest, SleepingInACompletionAborts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        dev_t d = host::add_disk(ram_disk("sda"));
        struct block_device *bdev = bdget(d);
        struct bio *b = make_bio(bdev, 0, 1, 0);
        b->bi_end_io = sleeping_end_io;
        generic_make_request(b);
        sleep(10);
      },
      "BUG: sleeping function called from invalid context");
}

TEST(Disks, ImageFileIsCreatedExtendedAndKeepsItsContents) {
  std::string img = temp_dir() + "/disk.img";
  host::disk_spec s = ram_disk("sdx", 2048);
  s.image = img;
  s.partitions = {{128, 1024}};
  dev_t d = host::add_disk(s);
  ASSERT_NE(d, 0u);
  EXPECT_EQ(std::filesystem::file_size(img), 2048u * 512);
  auto data = pattern(3 * 4096 + 1000, 3);
  ASSERT_EQ(write_at("/dev/sdx1", data, 4096 + 100), ssize_t(data.size()));
  ASSERT_EQ(host::del_disk(d), 0);

  // The bytes are in the file, where the partition begins.
  std::ifstream f(img, std::ios::binary);
  f.seekg(128 * 512 + 4096 + 100);
  std::vector<unsigned char> raw(data.size());
  f.read(reinterpret_cast<char *>(raw.data()), std::streamsize(raw.size()));
  EXPECT_EQ(raw, data);

  s.nr_sects = 4096;  // a bigger disk on the same image: extended, not cleared
  d = host::add_disk(s);
  ASSERT_NE(d, 0u);
  EXPECT_EQ(std::filesystem::file_size(img), 4096u * 512);
  std::vector<unsigned char> got(data.size());
  ASSERT_EQ(read_at("/dev/sdx1", got, 4096 + 100), ssize_t(got.size()));
  EXPECT_EQ(got, data);
  ASSERT_EQ(host::del_disk(d), 0);

  s.nr_sects = 1024;  // a smaller one leaves the file's tail alone
  s.partitions.clear();
  d = host::add_disk(s);
  ASSERT_NE(d, 0u);
  EXPECT_EQ(std::filesystem::file_size(img), 4096u * 512);
  ASSERT_EQ(host::del_disk(d), 0);

  host::disk_spec bad = ram_disk("sdy", 64);
  bad.image = temp_dir() + "/no/such/dir/x.img";
  EXPECT_EQ(host::add_disk(bad), 0u);
  EXPECT_EQ(errno, ENOENT);
}

// A new image file of `sectors` sectors opened by the test, and the disk_spec of a disk named
// sdx of `disk_sectors` on it; fd is -1 when the file could not be made.
host::disk_spec caller_image(const std::string &img, uint64_t sectors, uint64_t disk_sectors, int *fd) {
  *fd = ::open(img.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
  if (*fd >= 0 && ftruncate(*fd, off_t(sectors * 512)) != 0) {
    ::close(*fd);
    *fd = -1;
  }
  host::disk_spec s = ram_disk("sdx", disk_sectors);
  s.image = img;
  s.image_fd = *fd;
  return s;
}

// A disk on an image the caller opened (and holds locked) serves that very file as it is. A
// write the file refuses fails with ENOSPC when its file system is full, so the writer learns
// why, and the kernel log names the image and the host's reason, once per run of failures.
TEST(Disks, ImageOpenedByTheCallerIsServedAsItIsAndNamesWhyWritesFail) {
  std::string img = temp_dir() + "/given.img";
  int fd;
  host::disk_spec s = caller_image(img, 1024, 2048, &fd);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(host::add_disk(s), 0u);  // shorter than the disk: never extended
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(std::filesystem::file_size(img), 1024u * 512);
  s.nr_sects = 1024;
  s.partitions = {{64, 512}};
  dev_t d = host::add_disk(s);
  ASSERT_NE(d, 0u);
  ::close(fd);  // the disk has its own descriptor of the same file
  ASSERT_EQ(::unlink(img.c_str()), 0);
  auto data = pattern(4096, 5);
  ASSERT_EQ(write_at("/dev/sdx1", data, 0), 4096);
  std::vector<unsigned char> got(4096);
  ASSERT_EQ(read_at("/dev/sdx1", got, 0), 4096);
  EXPECT_EQ(got, data);

  host::dmesg_clear();
  host::fault_rule full;
  full.count = 3;
  full.error = -ENOSPC;
  host::fault_inject("image_write", full);
  EXPECT_EQ(write_at("/dev/sdx1", data, 8192), -1);
  EXPECT_EQ(errno, ENOSPC);
  ASSERT_EQ(host::mount(d + 1), 0);
  EXPECT_EQ(host::fs_pwrite(d + 1, data.data(), data.size(), 8192), -1);
  EXPECT_EQ(errno, ENOSPC);
  ASSERT_EQ(host::umount(d + 1), 0);
  EXPECT_EQ(write_at("/dev/sdx1", data, 8192), -1);
  EXPECT_EQ(errno, ENOSPC);
  std::vector<std::string> log = host::dmesg();
  EXPECT_EQ(std::count_if(log.begin(), log.end(),
                          [&](const std::string &l) {
                            return l == "sdx: writing the image " + img +
                                            " at sector 80 failed: No space left on device";
                          }),
            1)
      << ::testing::PrintToString(log);
  host::fault_fail_next("image_write", 1, -EFBIG);  // any other failure is EIO
  EXPECT_EQ(write_at("/dev/sdx1", data, 8192), -1);
  EXPECT_EQ(errno, EIO);
  host::fault_reset();
  ASSERT_EQ(host::del_disk(d), 0);

  // Open read-only: the disk reads it and refuses every write, saying why.
  fd = ::open(img.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, 1024 * 512), 0);
  ASSERT_EQ(pwrite(fd, data.data(), data.size(), 64 * 512), ssize_t(data.size()));
  int ro = ::open(img.c_str(), O_RDONLY);
  ::close(fd);
  s.image_fd = ro;
  d = host::add_disk(s);
  ASSERT_NE(d, 0u);
  ::close(ro);
  ASSERT_EQ(read_at("/dev/sdx1", got, 0), 4096);
  EXPECT_EQ(got, data);
  host::dmesg_clear();
  EXPECT_EQ(write_at("/dev/sdx1", pattern(4096, 6), 0), -1);
  EXPECT_EQ(errno, EIO);
  ASSERT_EQ(read_at("/dev/sdx1", got, 0), 4096);
  EXPECT_EQ(got, data);
  log = host::dmesg();
  EXPECT_NE(std::find(log.begin(), log.end(),
                      "sdx: writing the image " + img + " at sector 64 failed: it is open read-only"),
            log.end())
      << ::testing::PrintToString(log);
  ASSERT_EQ(host::del_disk(d), 0);
  ::unlink(img.c_str());
}

// The descriptors of this process open on path: O_DIRECT or not, each.
std::vector<bool> direct_fds_of(const std::string &path) {
  std::vector<bool> out;
  for (const auto &e : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    if (std::filesystem::read_symlink(e.path(), ec) != path)
      continue;
    std::ifstream info("/proc/self/fdinfo/" + e.path().filename().string());
    std::string key, flags;
    while (info >> key >> flags && key != "flags:") {
    }
    out.push_back(key == "flags:" && (std::stoul(flags, nullptr, 8) & O_DIRECT));
  }
  return out;
}

// A direct image disk moves its bios past the host's page cache, on a descriptor of its own:
// the caller's stays as it was. Segments the host cannot move directly (a base or a length off
// 512 bytes) go through an aligned copy, each byte from and to its own place; a large read is
// still split, both halves coming from the disk.
TEST(Disks, ADirectImageMovesEveryBioPastTheHostCacheAlsoUnalignedOnes) {
  std::string img = temp_dir() + "/direct.img";
  int fd;
  host::disk_spec s = caller_image(img, 8192, 8192, &fd);
  ASSERT_GE(fd, 0);
  s.max_hw_sectors = 2048;
  s.direct = true;
  dev_t d = host::add_disk(s);
  if (d == 0 && errno == EOPNOTSUPP) {
    ::close(fd);
    GTEST_SKIP() << "the file system of " << temp_dir() << " takes no direct I/O";
  }
  ASSERT_NE(d, 0u);
  EXPECT_EQ(fcntl(fd, F_GETFL) & O_DIRECT, 0);
  auto fds = direct_fds_of(img);
  EXPECT_EQ(std::count(fds.begin(), fds.end(), true), 1) << "the disk's own, O_DIRECT";
  EXPECT_EQ(std::count(fds.begin(), fds.end(), false), 1) << "the caller's, as it was";

  // Three segments: off by 100 bytes, whole, off by 7 and 2.5 KiB long.
  struct block_device *bdev = bdget(d);
  const auto data = pattern(3 * PAGE_SIZE, 11);
  const unsigned offs[] = {100, 0, 7}, lens[] = {1536, 4096, 2560};
  auto lay_out = [&](struct bio *bio) {
    bio->bi_size = 0;
    for (int i = 0; i < 3; i++) {
      bio->bi_io_vec[i].bv_offset = offs[i];
      bio->bi_io_vec[i].bv_len = lens[i];
      bio->bi_size += lens[i];
    }
  };
  struct bio *w = make_bio(bdev, 3, 3, 1);
  lay_out(w);
  size_t at = 0;
  for (int i = 0; i < 3; at += lens[i], i++) {
    std::memcpy(static_cast<unsigned char *>(page_address(w->bi_io_vec[i].bv_page)) + offs[i],
                data.data() + at, lens[i]);
  }
  EXPECT_EQ(submit_and_wait(w), 0);
  std::vector<unsigned char> file(at);
  EXPECT_EQ(::pread(fd, file.data(), file.size(), 3 * 512), ssize_t(file.size()));
  EXPECT_TRUE(std::equal(file.begin(), file.end(), data.begin())) << "the image after the write";

  // Read back into the same layout, from zeroed pages.
  struct bio *r = make_bio(bdev, 3, 3, 0);
  lay_out(r);
  EXPECT_EQ(submit_and_wait(r), 0);
  at = 0;
  for (int i = 0; i < 3; i++) {
    auto *got = static_cast<unsigned char *>(page_address(r->bi_io_vec[i].bv_page)) + offs[i];
    EXPECT_TRUE(std::equal(got, got + lens[i], data.begin() + long(at))) << "segment " << i;
    at += lens[i];
  }

  // Whole pages whose segments end off 512 bytes: a length the host refuses directly.
  struct bio *odd = make_bio(bdev, 40, 2, 1);
  odd->bi_io_vec[0].bv_len = 1000;
  odd->bi_io_vec[1].bv_len = 3096;
  odd->bi_size = 4096;
  std::memcpy(page_address(odd->bi_io_vec[0].bv_page), data.data(), 1000);
  std::memcpy(page_address(odd->bi_io_vec[1].bv_page), data.data() + 1000, 3096);
  EXPECT_EQ(submit_and_wait(odd), 0);
  EXPECT_EQ(::pread(fd, file.data(), 4096, 40 * 512), 4096);
  EXPECT_TRUE(std::equal(file.begin(), file.begin() + 4096, data.begin())) << "the odd lengths";

  // Aligned, through the device file, and a 1 MiB read split in two.
  const auto big = pattern(1u << 20, 12);
  EXPECT_EQ(write_at("/dev/sdx", big, 64 << 10), ssize_t(big.size()));
  host::disk_stats before{}, after{};
  EXPECT_EQ(host::disk_get_stats(d, &before), 0);
  struct bio *b = make_bio(bdev, 128, 256, 0);
  EXPECT_EQ(submit_and_wait(b), 0);
  EXPECT_EQ(host::disk_get_stats(d, &after), 0);
  EXPECT_EQ(after.image_split_reads - before.image_split_reads, 1u);
  for (unsigned i = 0; i < b->bi_vcnt; i++) {
    if (std::memcmp(page_address(b->bi_io_vec[i].bv_page), big.data() + i * PAGE_SIZE, PAGE_SIZE)) {
      ADD_FAILURE() << "page " << i << " of the large read";
      break;
    }
  }
  for (struct bio *bio : {w, r, odd, b}) {
    free_bio_pages(bio);
    bio_put(bio);
  }
  bdput(bdev);
  EXPECT_EQ(host::del_disk(d), 0);
  ::close(fd);

  // Opened by the disk itself, and given read-only: each direct, and the read-only one still
  // refuses writes (its reopen must not make it writable).
  s.image_fd = -1;
  d = host::add_disk(s);
  ASSERT_NE(d, 0u);
  fds = direct_fds_of(img);
  EXPECT_EQ(fds, std::vector<bool>{true}) << "opened by the disk";
  std::vector<unsigned char> got(big.size());
  EXPECT_EQ(read_at("/dev/sdx", got, 64 << 10), ssize_t(got.size()));
  EXPECT_TRUE(got == big);
  EXPECT_EQ(host::del_disk(d), 0);
  int ro = ::open(img.c_str(), O_RDONLY);
  ASSERT_GE(ro, 0);
  s.image_fd = ro;
  d = host::add_disk(s);
  ASSERT_NE(d, 0u);
  EXPECT_EQ(write_at("/dev/sdx", pattern(4096, 13), 64 << 10), -1);
  EXPECT_EQ(errno, EIO);
  EXPECT_EQ(read_at("/dev/sdx", got, 64 << 10), ssize_t(got.size()));
  EXPECT_TRUE(got == big) << "the read-only image unchanged";
  EXPECT_EQ(host::del_disk(d), 0);
  ::close(ro);
  ::unlink(img.c_str());
}

// A driver in front of the disk that passes on, with the bio it is given first, the group that
// bio heads: the disk gets them together.
struct group_submit {
  make_request_fn *saved = nullptr;
  std::vector<struct bio *> group;
};
group_submit *g_group;

int submit_group(struct request_queue *q, struct bio *bio) {
  group_submit *g = g_group;
  if (g->group.empty() || bio != g->group.front())
    return g->saved(q, bio);
  for (struct bio *b : g->group)
    g->saved(q, b);
  return 0;
}

// An image disk serves queued bios that continue one another with one transfer. Each bio
// still ends on its own: in a run with one bio the file cannot take, only that bio fails,
// and reads queued behind writes of the same sectors see the written data.
TEST(Disks, ImageDiskServesRunsOfBiosAndEndsEachOnItsOwn) {
  host::disk_spec s = ram_disk("sdx", 8192);
  s.image = temp_dir() + "/runs.img";
  dev_t d = host::add_disk(s);
  ASSERT_NE(d, 0u);
  struct block_device *bdev = bdget(d);
  // Holds the disk's thread while the bios below queue up behind it, so that they are
  // taken together; the rule is gone once it has matched.
  ASSERT_GT(host::disk_fault_add(d, host::disk_fault::delay, 4000, 8, 1, 200), 0);
  struct bio *hold = make_bio(bdev, 4000, 1, 0);
  bio_waiter hold_w;
  hold_w.arm(hold);
  generic_make_request(hold);

  constexpr int kRun = 8, kBad = 3;
  std::vector<struct bio *> bios;
  std::vector<std::vector<unsigned char>> data;
  for (int i = 0; i < kRun; i++) {
    struct bio *w = make_bio(bdev, sector_t(8 * i), 1, 1);
    data.push_back(pattern(PAGE_SIZE, unsigned(i + 1)));
    std::memcpy(page_address(w->bi_io_vec[0].bv_page), data.back().data(), PAGE_SIZE);
    bios.push_back(w);
  }
  bios[kBad]->bi_io_vec[0].bv_offset = 512;  // runs past its page
  bios.push_back(make_bio(bdev, 200, 1, 1));  // not next to the run
  for (int i = 0; i < kRun; i++)
    bios.push_back(make_bio(bdev, sector_t(8 * i), 1, 0));
  std::vector<std::unique_ptr<bio_waiter>> waits;
  for (struct bio *b : bios) {
    waits.push_back(std::make_unique<bio_waiter>());
    waits.back()->arm(b);
    generic_make_request(b);
  }

  EXPECT_EQ(hold_w.wait(), 0);
  for (size_t i = 0; i < bios.size(); i++) {
    EXPECT_EQ(waits[i]->wait(), i == size_t(kBad) ? -EIO : 0) << "bio " << i;
    EXPECT_EQ(bios[i]->bi_size, 0u) << "bio " << i;
  }
  EXPECT_EQ(bios[kRun - 1]->bi_sector, sector_t(8 * kRun));  // each bio past its own end
  for (int i = 0; i < kRun; i++) {
    auto *got = static_cast<unsigned char *>(page_address(bios[kRun + 1 + i]->bi_io_vec[0].bv_page));
    std::vector<unsigned char> want = i == kBad ? std::vector<unsigned char>(PAGE_SIZE, 0) : data[size_t(i)];
    EXPECT_TRUE(std::equal(want.begin(), want.end(), got)) << "read of block " << i;
  }
  host::disk_stats st;
  ASSERT_EQ(host::disk_get_stats(d, &st), 0);
  EXPECT_EQ(st.write_bios, unsigned(kRun));  // the bad one counts as failed
  EXPECT_EQ(st.read_bios, unsigned(kRun + 1));
  EXPECT_EQ(st.failed_bios, 1u);

  // A write fault injected once fails the run it hits, every bio of it, as a failed request
  // would: served again bio by bio, the used-up fault would fail none of them. The writes come
  // as one group from a driver in front of the disk, so that they are one run whether the
  // submitter serves them (an idle disk) or the disk thread does (a disk busy with a read
  // that waits on the stopped clock).
  struct request_queue *q = bdev_get_queue(bdev);
  group_submit gs;
  gs.saved = q->make_request_fn;
  g_group = &gs;
  q->make_request_fn = submit_group;
  const double speed = host::clock_speed();
  for (bool busy : {false, true}) {
    SCOPED_TRACE(busy ? "served by the disk thread" : "served by the submitter");
    host::disk_stats before{}, after{};
    EXPECT_EQ(host::disk_get_stats(d, &before), 0);
    const long failures = host::fault_failures("image_write");
    struct bio *hold2 = nullptr;
    bio_waiter hold2_w;
    if (busy) {
      host::set_clock_speed(0);
      EXPECT_GT(host::disk_fault_add(d, host::disk_fault::delay, 4000, 8, 1, 200), 0);
      hold2 = make_bio(bdev, 4000, 1, 0);
      hold2_w.arm(hold2);
      generic_make_request(hold2);
    }
    std::vector<std::unique_ptr<bio_waiter>> group_w;
    for (int i = 0; i < 4; i++) {
      gs.group.push_back(make_bio(bdev, sector_t(1000 + 8 * i), 1, 1));
      group_w.push_back(std::make_unique<bio_waiter>());
      group_w.back()->arm(gs.group.back());
    }
    host::fault_fail_next("image_write", 1, -EIO);
    generic_make_request(gs.group[0]);
    host::set_clock_speed(speed);
    if (hold2) {
      EXPECT_EQ(hold2_w.wait(), 0);
    }
    for (size_t i = 0; i < group_w.size(); i++)
      EXPECT_EQ(group_w[i]->wait(), -EIO) << "bio " << i << " of the failed run";
    EXPECT_EQ(host::fault_failures("image_write") - failures, 1);
    EXPECT_EQ(host::disk_get_stats(d, &after), 0);
    EXPECT_EQ(after.image_transfers - before.image_transfers, busy ? 2u : 1u) << "one run";
    host::fault_clear("image_write");
    if (hold2)
      gs.group.push_back(hold2);
    for (struct bio *b : gs.group) {
      free_bio_pages(b);
      bio_put(b);
    }
    gs.group.clear();
  }
  q->make_request_fn = gs.saved;
  g_group = nullptr;
  for (struct bio *b : bios) {
    free_bio_pages(b);
    bio_put(b);
  }
  free_bio_pages(hold);
  bio_put(hold);
  bdput(bdev);
  ASSERT_EQ(host::del_disk(d), 0);
}

TEST(Disks, RamDiskStartsZeroedAndLosesItsContentsWithTheDisk) {
  dev_t d = host::add_disk(ram_disk("sda"));
  std::vector<unsigned char> got(4096, 0xff);
  ASSERT_EQ(read_at("/dev/sda", got, 8192), 4096);
  EXPECT_EQ(got, std::vector<unsigned char>(4096, 0));
  ASSERT_EQ(write_at("/dev/sda", pattern(4096, 1), 8192), 4096);
  ASSERT_EQ(host::del_disk(d), 0);
  d = host::add_disk(ram_disk("sda"));
  ASSERT_EQ(read_at("/dev/sda", got, 8192), 4096);
  EXPECT_EQ(got, std::vector<unsigned char>(4096, 0));
  ASSERT_EQ(host::del_disk(d), 0);
}

struct FaultTest : ::testing::Test {
  dev_t d = 0;
  void SetUp() override {
    host::disk_spec s = ram_disk("sda");
    s.partitions = {{1024, 2048}};
    d = host::add_disk(s);
    ASSERT_NE(d, 0u);
  }
  void TearDown() override { EXPECT_EQ(host::del_disk(d), 0); }
};

TEST_F(FaultTest, ReadErrorOnARangeFailsOnlyReadsThatTouchIt) {
  ASSERT_GT(host::disk_fault_add(d + 1, host::disk_fault::read_error, 16, 8), 0);  // disk sectors 1040..1047
  std::vector<unsigned char> buf(4096);
  EXPECT_EQ(read_at("/dev/sda1", buf, 16 * 512), -1);
  EXPECT_EQ(errno, EIO);
  EXPECT_EQ(read_at("/dev/sda", buf, 1044 * 512), -1);  // the same sectors through the disk
  EXPECT_EQ(errno, EIO);
  EXPECT_EQ(read_at("/dev/sda1", buf, 24 * 512), 4096);
  EXPECT_EQ(read_at("/dev/sda1", buf, 8 * 512), 4096);
  EXPECT_EQ(write_at("/dev/sda1", buf, 16 * 512), 4096);  // writes pass
  host::disk_stats st;
  ASSERT_EQ(host::disk_get_stats(d + 1, &st), 0);
  EXPECT_EQ(st.failed_bios, 2u);
  EXPECT_EQ(host::disk_fault_clear(d), 0);
  EXPECT_EQ(read_at("/dev/sda1", buf, 16 * 512), 4096);
}

TEST_F(FaultTest, WriteErrorWithACountFailsThatManyWrites) {
  ASSERT_GT(host::disk_fault_add(d, host::disk_fault::write_error, 0, 8192, 1), 0);
  auto data = pattern(4096, 9);
  EXPECT_EQ(write_at("/dev/sda", data, 0), -1);
  EXPECT_EQ(errno, EIO);
  std::vector<unsigned char> got(4096);
  ASSERT_EQ(read_at("/dev/sda", got, 0), 4096);
  EXPECT_EQ(got, std::vector<unsigned char>(4096, 0));  // nothing written
  EXPECT_EQ(write_at("/dev/sda", data, 0), 4096);
  ASSERT_EQ(read_at("/dev/sda", got, 0), 4096);
  EXPECT_EQ(got, data);
  EXPECT_EQ(host::disk_fault_add(MKDEV(8, 48), host::disk_fault::write_error, 0, 1), -1);
  EXPECT_EQ(errno, ENODEV);
}

TEST_F(FaultTest, FailedBioIsNotUpToDate) {
  host::disk_fault_add(d, host::disk_fault::write_error, 0, 1);
  struct block_device *bdev = bdget(d);
  struct bio *b = make_bio(bdev, 0, 1, 1);
  EXPECT_EQ(submit_and_wait(b), -EIO);
  EXPECT_FALSE(test_bit(BIO_UPTODATE, &b->bi_flags));
  free_bio_pages(b);
  bio_put(b);
  bdput(bdev);
}

TEST(Disks, BlockDeviceOutlivesItsDiskAndFailsLaterIo) {
  dev_t d = host::add_disk(ram_disk("sda"));
  struct block_device *bdev = bdget(d);
  ASSERT_EQ(host::del_disk(d), 0);
  EXPECT_STREQ(bdev->bd_disk->disk_name, "sda");  // still readable
  struct bio *b = make_bio(bdev, 0, 1, 0);
  EXPECT_EQ(submit_and_wait(b), -EIO);
  free_bio_pages(b);
  bio_put(b);
  // A new disk with the same number is a new block device.
  dev_t d2 = host::add_disk(ram_disk("sdb"));
  ASSERT_EQ(d2, d);
  struct block_device *fresh = bdget(d2);
  EXPECT_NE(fresh, bdev);
  EXPECT_STREQ(fresh->bd_disk->disk_name, "sdb");
  bdput(fresh);
  bdput(bdev);
  EXPECT_EQ(host::del_disk(d2), 0);
}

TEST(Disks, DelDiskIsRefusedWhileOpenOrMounted) {
  dev_t d = host::add_disk(ram_disk("sda"));
  int fd = host::open("/dev/sda", O_RDWR);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(host::del_disk(d), -1);
  EXPECT_EQ(errno, EBUSY);
  host::close(fd);
  ASSERT_EQ(host::mount(d), 0);
  EXPECT_EQ(host::del_disk(d), -1);
  EXPECT_EQ(errno, EBUSY);
  ASSERT_EQ(host::umount(d), 0);
  EXPECT_EQ(host::del_disk(d), 0);
}

TEST(Majors, RegisterBlkdevClashesDynamicMajorsAndFaults) {
  EXPECT_EQ(register_blkdev(8, "other"), -EBUSY);  // the platform's "sd"
  EXPECT_EQ(register_blkdev(121, "clone"), 0);
  EXPECT_EQ(register_blkdev(121, "clone"), -EBUSY);
  unregister_blkdev(121, "clone");
  EXPECT_EQ(register_blkdev(121, "clone"), 0);
  unregister_blkdev(121, "clone");
  EXPECT_EQ(register_blkdev(0, "dyn1"), 254);
  EXPECT_EQ(register_blkdev(0, "dyn2"), 253);
  unregister_blkdev(254, "dyn1");
  EXPECT_EQ(register_blkdev(0, "dyn3"), 254);
  unregister_blkdev(254, "dyn3");
  unregister_blkdev(253, "dyn2");
  EXPECT_EQ(register_blkdev(1u << 12, "huge"), -EINVAL);
  host::fault_fail_next("register_blkdev", 1);
  EXPECT_EQ(register_blkdev(121, "clone"), -EBUSY);
  EXPECT_EQ(register_blkdev(121, "clone"), 0);  // the fault is spent
  unregister_blkdev(121, "clone");
}

TEST(Majors, DriverDisksAreFoundByNumberAndName) {
  mem_disk vek{"vek1", 121, 1, 2048};
  struct block_device *b = bdget(MKDEV(121, 1));
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->bd_disk, vek.disk);
  EXPECT_EQ(b->bd_contains, b);
  bdput(b);
  EXPECT_EQ(bdget(MKDEV(121, 2)), nullptr);
  mem_disk clash{"vek2", 121, 1, 2048};  // same numbers: refused
  EXPECT_FALSE(clash.disk->flags & GENHD_FL_UP);
  char name[BDEVNAME_SIZE];
  EXPECT_STREQ(disk_name(vek.disk, 0, name), "vek1");
  EXPECT_STREQ(disk_name(vek.disk, 2, name), "vek1p2");
  host::disk_spec s = ram_disk("vek1");  // names are unique across all disks
  EXPECT_EQ(host::add_disk(s), 0u);
  EXPECT_EQ(errno, EEXIST);
}

}  // namespace
