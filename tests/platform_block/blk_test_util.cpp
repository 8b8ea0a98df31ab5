#include "blk_test_util.h"

#include <linux/gfp.h>
#include <linux/hardirq.h>
#include <linux/sched.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include <unistd.h>

namespace blkt {
namespace {

int mem_make_request(struct request_queue *q, struct bio *bio) {
  auto *md = static_cast<mem_disk *>(q->queuedata);
  {
    std::lock_guard<std::mutex> g(md->lock);
    md->seen.push_back({bio->bi_sector, bio->bi_size, bio->bi_vcnt, bio->bi_bdev, bio->bi_rw});
  }
  if (md->on_request) {
    int r = md->on_request(bio);
    if (r >= 0)
      return r;
  }
  uint64_t pos = uint64_t(bio->bi_sector) << 9;
  unsigned left = bio->bi_size;
  for (unsigned i = bio->bi_idx; i < bio->bi_vcnt && left; i++) {
    struct bio_vec *bv = &bio->bi_io_vec[i];
    unsigned n = std::min(bv->bv_len, left);
    if (pos + n > md->data.size()) {
      bio_endio(bio, -EIO);
      return 0;
    }
    auto *p = static_cast<unsigned char *>(page_address(bv->bv_page)) + bv->bv_offset;
    if (bio_data_dir(bio) == WRITE)
      std::memcpy(&md->data[pos], p, n);
    else
      std::memcpy(p, &md->data[pos], n);
    pos += n;
    left -= n;
  }
  bio_endio(bio, 0);
  return 0;
}

interposer *g_interposer;

int interposed(struct request_queue *q, struct bio *bio) {
  interposer *ip = g_interposer;
  {
    std::lock_guard<std::mutex> g(ip->lock);
    ip->seen.push_back({bio->bi_sector, bio->bi_size, bio->bi_vcnt, bio->bi_bdev, bio->bi_rw});
    ip->cv.notify_all();
  }
  return ip->saved(q, bio);
}

}  // namespace

mem_disk::mem_disk(const char *name, int major, int first_minor, sector_t sectors, int minors) {
  data.assign(size_t(sectors) << 9, 0);
  q = blk_alloc_queue(GFP_KERNEL);
  blk_queue_make_request(q, mem_make_request);
  q->queuedata = this;
  disk = alloc_disk(minors);
  disk->major = major;
  disk->first_minor = first_minor;
  snprintf(disk->disk_name, sizeof(disk->disk_name), "%s", name);
  disk->queue = q;
  set_capacity(disk, sectors);
  add_disk(disk);
}

mem_disk::~mem_disk() {
  if (disk)
    del_gendisk(disk);
  if (q)
    blk_cleanup_queue(q);
  if (disk)
    put_disk(disk);
}

std::vector<seen_bio> mem_disk::log() {
  std::lock_guard<std::mutex> g(lock);
  return seen;
}

void bio_waiter::end_io(struct bio *bio, int err) {
  auto *w = static_cast<bio_waiter *>(bio->bi_private);
  std::lock_guard<std::mutex> g(w->m);
  w->calls++;
  w->err = err;
  w->in_irq = in_interrupt();
  w->tid = gettid();
  w->done = true;
  w->cv.notify_all();
}

void bio_waiter::arm(struct bio *bio) {
  bio->bi_end_io = end_io;
  bio->bi_private = this;
}

int bio_waiter::wait() {
  std::unique_lock<std::mutex> g(m);
  if (!cv.wait_for(g, std::chrono::seconds(10), [&] { return done; }))
    ADD_FAILURE() << "bio never completed";
  return err;
}

int submit_and_wait(struct bio *bio) {
  bio_waiter w;
  w.arm(bio);
  generic_make_request(bio);
  return w.wait();
}

struct bio *make_bio(struct block_device *bdev, sector_t sector, int pages, int rw) {
  struct bio *bio = bio_alloc(GFP_KERNEL, pages);
  bio->bi_bdev = bdev;
  bio->bi_sector = sector;
  bio->bi_rw = rw ? (1UL << BIO_RW) : 0;
  for (int i = 0; i < pages; i++) {
    struct page *p = alloc_page(GFP_KERNEL);
    std::memset(page_address(p), 0, PAGE_SIZE);
    // Built directly, so a test can exceed any queue limit on purpose.
    bio->bi_io_vec[i] = {p, unsigned(PAGE_SIZE), 0};
    bio->bi_vcnt++;
    bio->bi_size += PAGE_SIZE;
  }
  return bio;
}

void free_bio_pages(struct bio *bio) {
  for (unsigned i = 0; i < bio->bi_vcnt; i++)
    __free_page(bio->bi_io_vec[i].bv_page);
}

interposer::interposer(dev_t disk) {
  struct block_device *bdev = bdget(disk);
  q = bdev_get_queue(bdev);
  bdput(bdev);
  saved = q->make_request_fn;
  g_interposer = this;
  q->make_request_fn = interposed;
}

interposer::~interposer() {
  q->make_request_fn = saved;
  g_interposer = nullptr;
}

bool interposer::wait_for(size_t n) {
  std::unique_lock<std::mutex> g(lock);
  return cv.wait_for(g, std::chrono::seconds(10), [&] { return seen.size() >= n; });
}

std::vector<seen_bio> interposer::log() {
  std::lock_guard<std::mutex> g(lock);
  return seen;
}

std::vector<unsigned char> pattern(size_t len, unsigned seed) {
  std::vector<unsigned char> v(len);
  uint32_t x = seed * 2654435761u + 1;
  for (auto &b : v) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = (unsigned char)x;
  }
  return v;
}

std::string temp_dir() {
  static std::string dir = [] {
    char tmpl[] = "/tmp/platform_block.XXXXXX";
    std::string d = mkdtemp(tmpl);
    static struct cleanup {
      std::string d;
      ~cleanup() { std::filesystem::remove_all(d); }
    } c{d};
    return d;
  }();
  return dir;
}

}  // namespace blkt
