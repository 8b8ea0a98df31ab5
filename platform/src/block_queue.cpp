// Request queues, their limits, and bio submission with the per-task
// pending list of this kernel generation.
#include <linux/blkdev.h>
#include <linux/gfp.h>
#include <linux/mm.h>
#include <linux/sched.h>

#include <climits>
#include <new>

#include "block_internal.h"

void blk_set_default_limits(struct queue_limits *lim) {
  lim->max_segments = MAX_SEGMENTS;
  lim->max_segment_size = MAX_SEGMENT_SIZE;
  lim->max_sectors = BLK_DEF_MAX_SECTORS;
  lim->max_hw_sectors = INT_MAX;
  lim->logical_block_size = 512;
  lim->physical_block_size = 512;
}

struct request_queue *kplat::blk_alloc_queue_internal() {
  auto *q = new (std::nothrow) request_queue{};
  if (!q)
    return nullptr;
  spin_lock_init(&q->__queue_lock);
  q->queue_lock = nullptr;
  blk_set_default_limits(&q->limits);
  atomic_set(&q->__refs, 1);
  return q;
}

struct request_queue *blk_alloc_queue(gfp_t gfp_mask) {
  if (gfp_mask & __GFP_WAIT)
    kplat::check_sleep("blk_alloc_queue");
  kplat::fault_ctx ctx;
  ctx.gfp = gfp_mask;
  if (kplat::fault_hit("blk_alloc_queue", ctx))
    return nullptr;
  return kplat::blk_alloc_queue_internal();
}

void blk_get_queue(struct request_queue *q) { atomic_inc(&q->__refs); }

void blk_put_queue(struct request_queue *q) {
  if (!q || !atomic_dec_and_test(&q->__refs))
    return;
  if (q->__release)
    q->__release(q);
  delete q;
}

void blk_cleanup_queue(struct request_queue *q) {
  if (!q)
    return;
  kplat::check_sleep("blk_cleanup_queue");
  set_bit(QUEUE_FLAG_DEAD, &q->queue_flags);
  blk_put_queue(q);
}

void blk_queue_make_request(struct request_queue *q, make_request_fn *mfn) {
  queue_set_make_request_fn(q, mfn);
  blk_set_default_limits(&q->limits);
  blk_queue_max_sectors(q, SAFE_MAX_SECTORS);
}

void blk_queue_max_sectors(struct request_queue *q, unsigned int max_sectors) {
  if ((uint64_t(max_sectors) << 9) < PAGE_SIZE) {
    max_sectors = PAGE_SIZE >> 9;
    printk(KERN_INFO "%s: set to minimum %u\n", __func__, max_sectors);
  }
  if (BLK_DEF_MAX_SECTORS > max_sectors) {
    q->limits.max_hw_sectors = q->limits.max_sectors = max_sectors;
  } else {
    q->limits.max_sectors = BLK_DEF_MAX_SECTORS;
    q->limits.max_hw_sectors = max_sectors;
  }
}

void blk_queue_max_hw_sectors(struct request_queue *q, unsigned int max_sectors) {
  if ((uint64_t(max_sectors) << 9) < PAGE_SIZE) {
    max_sectors = PAGE_SIZE >> 9;
    printk(KERN_INFO "%s: set to minimum %u\n", __func__, max_sectors);
  }
  q->limits.max_hw_sectors = max_sectors;
}

void blk_queue_max_segments(struct request_queue *q, unsigned short max_segments) {
  if (!max_segments) {
    max_segments = 1;
    printk(KERN_INFO "%s: set to minimum %u\n", __func__, unsigned(max_segments));
  }
  q->limits.max_segments = max_segments;
}
void blk_queue_max_phys_segments(struct request_queue *q, unsigned short n) { blk_queue_max_segments(q, n); }
void blk_queue_max_hw_segments(struct request_queue *q, unsigned short n) { blk_queue_max_segments(q, n); }

void blk_queue_max_segment_size(struct request_queue *q, unsigned int max_size) {
  if (max_size < PAGE_SIZE) {
    max_size = PAGE_SIZE;
    printk(KERN_INFO "%s: set to minimum %u\n", __func__, max_size);
  }
  q->limits.max_segment_size = max_size;
}

void blk_queue_logical_block_size(struct request_queue *q, unsigned short size) {
  q->limits.logical_block_size = size;
  if (q->limits.physical_block_size < size)
    q->limits.physical_block_size = size;
}

void blk_queue_physical_block_size(struct request_queue *q, unsigned short size) {
  q->limits.physical_block_size = size;
  if (q->limits.physical_block_size < q->limits.logical_block_size)
    q->limits.physical_block_size = q->limits.logical_block_size;
}

struct request_queue *bdev_get_queue(struct block_device *bdev) {
  return bdev && bdev->bd_disk ? bdev->bd_disk->queue : nullptr;
}

unsigned int bdev_physical_block_size(struct block_device *bdev) {
  struct request_queue *q = bdev_get_queue(bdev);
  return q ? q->limits.physical_block_size : 512;
}

unsigned short bdev_logical_block_size(struct block_device *bdev) {
  struct request_queue *q = bdev_get_queue(bdev);
  return q ? (unsigned short)q->limits.logical_block_size : 512;
}

void generic_unplug_device(struct request_queue *q) {
  if (!q)
    return;
  unsigned long flags = 0;
  if (q->queue_lock)
    spin_lock_irqsave(q->queue_lock, flags);
  clear_bit(QUEUE_FLAG_PLUGGED, &q->queue_flags);
  atomic_inc(&q->__unplugs);
  if (q->queue_lock)
    spin_unlock_irqrestore(q->queue_lock, flags);
}

void blk_unplug(struct request_queue *q) {
  if (q && q->unplug_fn)
    q->unplug_fn(q);
}

// ---- submission ----

namespace {

const char *bdev_label(struct block_device *bdev, char *buf) {
  if (!bdev || !bdev->bd_disk || !bdev->bd_part) {
    snprintf(buf, BDEVNAME_SIZE, "unknown-block(%u,%u)", bdev ? MAJOR(bdev->bd_dev) : 0,
             bdev ? MINOR(bdev->bd_dev) : 0);
    return buf;
  }
  return disk_name(bdev->bd_disk, bdev->bd_part->partno, buf);
}

// True (and the bio marked) when the bio runs past the end of its device.
bool bio_check_eod(struct bio *bio, unsigned int nr_sectors) {
  if (!nr_sectors)
    return false;
  sector_t maxsector = bdev_nr_sects(bio->bi_bdev);
  // A device whose size is not known (0) is not checked, as in the kernel.
  if (maxsector && (maxsector < nr_sectors || maxsector - nr_sectors < bio->bi_sector)) {
    char b[BDEVNAME_SIZE];
    printk(KERN_INFO "attempt to access beyond end of device\n");
    printk(KERN_INFO "%s: rw=%ld, want=%llu, limit=%llu\n", bdev_label(bio->bi_bdev, b), long(bio->bi_rw),
           (unsigned long long)(bio->bi_sector + nr_sectors), (unsigned long long)maxsector);
    set_bit(BIO_EOF, &bio->bi_flags);
    return true;
  }
  return false;
}

void blk_partition_remap(struct bio *bio) {
  struct block_device *bdev = bio->bi_bdev;
  if (bio_sectors(bio) && bdev != bdev->bd_contains && bdev->bd_contains) {
    bio->bi_sector += bdev->bd_part->start_sect;
    bio->bi_bdev = bdev->bd_contains;
  }
}

void __generic_make_request(struct bio *bio) {
  kplat::check_sleep("generic_make_request");
  unsigned nr_sectors = bio_sectors(bio);
  char b[BDEVNAME_SIZE];
  if (!bio->bi_bdev) {
    printk(KERN_ERR "generic_make_request: bio without a block device (%llu)\n",
           (unsigned long long)bio->bi_sector);
    bio_endio(bio, -EIO);
    return;
  }
  if (bio_check_eod(bio, nr_sectors)) {
    bio_endio(bio, -EIO);
    return;
  }
  int ret;
  do {
    struct request_queue *q = bdev_get_queue(bio->bi_bdev);
    // Read once: a driver may swap the function while this bio is on its way.
    make_request_fn *fn = q ? queue_make_request_fn(q) : nullptr;
    if (unlikely(!fn)) {
      printk(KERN_ERR "generic_make_request: Trying to access nonexistent block-device %s (%llu)\n",
             bdev_label(bio->bi_bdev, b), (unsigned long long)bio->bi_sector);
      bio_endio(bio, -EIO);
      return;
    }
    if (unlikely(!bio_rw_flagged(bio, BIO_RW_DISCARD) && nr_sectors > queue_max_hw_sectors(q))) {
      printk(KERN_ERR "bio too big device %s (%u > %u)\n", bdev_label(bio->bi_bdev, b), nr_sectors,
             queue_max_hw_sectors(q));
      bio_endio(bio, -EIO);
      return;
    }
    if (unlikely(test_bit(QUEUE_FLAG_DEAD, &q->queue_flags))) {
      bio_endio(bio, -EIO);
      return;
    }
    blk_partition_remap(bio);
    if (bio_check_eod(bio, nr_sectors)) {
      bio_endio(bio, -EIO);
      return;
    }
    // A disk's own request function serves or queues the bio; a driver's may hold what it
    // sends on until it returns.
    if (fn == kplat::disk_make_request_fn()) {
      ret = fn(q, bio);
    } else {
      kplat::driver_mrf_enter();
      ret = fn(q, bio);
      kplat::driver_mrf_exit();
    }
  } while (ret);
}

}  // namespace

// A make_request_fn may submit further bios; running them recursively could
// overflow the stack with stacked drivers, so while one runs in this task
// (bio_tail set) new bios are only appended to current->bio_list, and the
// outermost call works the list off once the make_request_fn has returned.
void generic_make_request(struct bio *bio) {
  struct task_struct *tsk = current;
  if (tsk->bio_tail) {
    *(tsk->bio_tail) = bio;
    bio->bi_next = nullptr;
    tsk->bio_tail = &bio->bi_next;
    return;
  }
  if (WARN_ON(bio->bi_next != nullptr))
    bio->bi_next = nullptr;
  do {
    tsk->bio_list = bio->bi_next;
    if (bio->bi_next == nullptr)
      tsk->bio_tail = &tsk->bio_list;
    else
      bio->bi_next = nullptr;
    __generic_make_request(bio);
    bio = tsk->bio_list;
  } while (bio);
  tsk->bio_tail = nullptr;
}

void submit_bio(int rw, struct bio *bio) {
  bio->bi_rw |= (unsigned long)rw;
  generic_make_request(bio);
}
