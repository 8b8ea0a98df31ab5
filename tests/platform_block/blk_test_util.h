// Helpers for the block-layer tests: memory-backed test disks with their
// own make_request_fn, bio waiters, and an interposer on a host disk's queue.
#pragma once
#include <gtest/gtest.h>

#include <linux/bio.h>
#include <linux/blkdev.h>
#include <linux/fs.h>
#include <linux/genhd.h>
#include <linux/mm.h>
#include <host/host.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace blkt {

// One bio as a make_request_fn saw it.
struct seen_bio {
  sector_t sector;
  unsigned size;
  unsigned short vcnt;
  struct block_device *bdev;
  unsigned long rw;
};

// A disk served from memory in the submitter's context (bios end inline).
// `on_request` runs first; returning a value >= 0 makes make_request_fn
// return it without serving the bio.
struct mem_disk {
  struct gendisk *disk = nullptr;
  struct request_queue *q = nullptr;
  std::vector<unsigned char> data;
  std::mutex lock;
  std::vector<seen_bio> seen;  // lock
  std::function<int(struct bio *)> on_request;

  mem_disk(const char *name, int major, int first_minor, sector_t sectors, int minors = 1);
  ~mem_disk();
  dev_t dev() const { return MKDEV(disk->major, disk->first_minor); }
  std::vector<seen_bio> log();
};

// Waits for one bio's completion.
struct bio_waiter {
  std::mutex m;
  std::condition_variable cv;
  bool done = false;
  int err = 1;
  int calls = 0;
  bool in_irq = false;
  pid_t tid = 0;
  static void end_io(struct bio *bio, int err);
  void arm(struct bio *bio);
  int wait();  // the error the bio ended with
};

// Submits the bio with generic_make_request and waits for its end: the error it ended with.
int submit_and_wait(struct bio *bio);

// A bio of `pages` fresh pages at sector on bdev, for rw (0 read, 1 write).
struct bio *make_bio(struct block_device *bdev, sector_t sector, int pages, int rw);
void free_bio_pages(struct bio *bio);  // __free_page of every segment

// Replaces the make_request_fn of the disk's queue with a recorder that
// calls the original afterwards; restores it on destruction.
struct interposer {
  struct request_queue *q;
  make_request_fn *saved;
  std::mutex lock;
  std::condition_variable cv;
  std::vector<seen_bio> seen;  // lock
  explicit interposer(dev_t disk);
  ~interposer();
  // Waits (real time, bounded) until n bios have been seen.
  bool wait_for(size_t n);
  std::vector<seen_bio> log();
};

std::vector<unsigned char> pattern(size_t len, unsigned seed);
std::string temp_dir();  // removed at process exit

}  // namespace blkt
