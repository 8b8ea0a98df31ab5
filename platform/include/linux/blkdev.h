// Request queues and bio submission.
#pragma once
#include <linux/types.h>
#include <linux/kernel.h>
#include <linux/atomic.h>
#include <linux/spinlock.h>
#include <linux/bio.h>
#include <linux/genhd.h>
#include <linux/fs.h>

struct request_queue;
struct module;

// Returns 0 when the bio was taken care of (queued, passed on or ended);
// non-zero when it was remapped (bi_bdev/bi_sector changed) and must be
// submitted again.
typedef int(make_request_fn)(struct request_queue *q, struct bio *bio);
typedef void(unplug_fn)(struct request_queue *);

struct queue_limits {
  unsigned int max_sectors;      // largest bio bio_add_page builds, in sectors
  unsigned int max_hw_sectors;   // largest bio the queue accepts, in sectors
  unsigned int max_segment_size; // bytes
  unsigned int logical_block_size;
  unsigned int physical_block_size;
  unsigned short max_segments;
};

#define QUEUE_FLAG_STOPPED 2
#define QUEUE_FLAG_PLUGGED 7
#define QUEUE_FLAG_DEAD 5

struct request_queue {
  // Submitters read it without a lock on every bio: read it with queue_make_request_fn()
  // and replace it on a live queue with queue_set_make_request_fn().
  ::make_request_fn *make_request_fn;
  ::unplug_fn *unplug_fn;
  void *queuedata;
  spinlock_t __queue_lock;
  spinlock_t *queue_lock;  // null unless the owner points it somewhere (often &__queue_lock)
  struct queue_limits limits;
  unsigned long queue_flags;  // QUEUE_FLAG_* bits
  // Platform bookkeeping, not for drivers.
  atomic_t __refs;                               // owner, and each added disk
  void (*__release)(struct request_queue *q);    // called when the last reference goes
  atomic_t __unplugs;                            // generic_unplug_device calls
};

#define BLK_DEF_MAX_SECTORS 1024
#define SAFE_MAX_SECTORS 255
#define MAX_SEGMENTS 128
#define MAX_SEGMENT_SIZE 65536

struct block_device_operations {
  int (*open)(struct block_device *, fmode_t);
  int (*release)(struct gendisk *, fmode_t);
  int (*locked_ioctl)(struct block_device *, fmode_t, unsigned, unsigned long);
  int (*ioctl)(struct block_device *, fmode_t, unsigned, unsigned long);
  int (*compat_ioctl)(struct block_device *, fmode_t, unsigned, unsigned long);
  int (*media_changed)(struct gendisk *);
  int (*revalidate_disk)(struct gendisk *);
  struct module *owner;
};

// The queue's request function as one acquire load: a function installed with
// queue_set_make_request_fn() is seen whole, together with everything its installer wrote
// before (the state the function relies on).
static inline make_request_fn *queue_make_request_fn(struct request_queue *q) {
  return smp_load_acquire(&q->make_request_fn);
}
// Replaces the request function of a queue that may be in use (a release store).
static inline void queue_set_make_request_fn(struct request_queue *q, make_request_fn *fn) {
  smp_store_release(&q->make_request_fn, fn);
}

// A queue with default limits, no make_request_fn and a null queue_lock.
// May sleep when gfp has __GFP_WAIT. Null on failure; fault point
// "blk_alloc_queue" (context: gfp).
struct request_queue *blk_alloc_queue(gfp_t gfp_mask);
// Installs mfn and resets the limits (defaults, max_sectors 255).
void blk_queue_make_request(struct request_queue *q, make_request_fn *mfn);
// Marks the queue dead (later submissions end with -EIO) and drops the
// owner's reference.
void blk_cleanup_queue(struct request_queue *q);
void blk_get_queue(struct request_queue *q);
void blk_put_queue(struct request_queue *q);
void blk_set_default_limits(struct queue_limits *lim);
void blk_queue_max_sectors(struct request_queue *q, unsigned int max_sectors);
void blk_queue_max_hw_sectors(struct request_queue *q, unsigned int max_sectors);
void blk_queue_max_segments(struct request_queue *q, unsigned short max_segments);
void blk_queue_max_phys_segments(struct request_queue *q, unsigned short max_segments);
void blk_queue_max_hw_segments(struct request_queue *q, unsigned short max_segments);
void blk_queue_max_segment_size(struct request_queue *q, unsigned int max_size);
void blk_queue_logical_block_size(struct request_queue *q, unsigned short size);
void blk_queue_physical_block_size(struct request_queue *q, unsigned short size);

static inline unsigned int queue_max_sectors(const struct request_queue *q) { return q->limits.max_sectors; }
static inline unsigned int queue_max_hw_sectors(const struct request_queue *q) { return q->limits.max_hw_sectors; }
static inline unsigned short queue_max_segments(const struct request_queue *q) { return q->limits.max_segments; }
static inline unsigned int queue_max_segment_size(const struct request_queue *q) { return q->limits.max_segment_size; }
static inline unsigned short queue_logical_block_size(const struct request_queue *q) {
  return (unsigned short)q->limits.logical_block_size;
}
static inline unsigned int queue_physical_block_size(const struct request_queue *q) {
  return q->limits.physical_block_size;
}
#define blk_queue_plugged(q) test_bit(QUEUE_FLAG_PLUGGED, &(q)->queue_flags)
#define blk_queue_stopped(q) test_bit(QUEUE_FLAG_STOPPED, &(q)->queue_flags)

// The queue of the device's disk, or null.
struct request_queue *bdev_get_queue(struct block_device *bdev);
unsigned int bdev_physical_block_size(struct block_device *bdev);
unsigned short bdev_logical_block_size(struct block_device *bdev);

// The queue's plugged requests go to the driver (takes queue_lock when set).
// Block queues of this platform hold nothing back, so it only counts the call.
void generic_unplug_device(struct request_queue *q);
void blk_unplug(struct request_queue *q);

// Submits a bio. While a submission loop runs in this task (current->bio_tail
// set) the bio is appended to the task's pending list and handled after the
// running make_request_fn returns; otherwise it is handled now, followed by
// everything queued meanwhile, in order. Each bio is remapped from its
// partition to the whole disk, checked against the end of the device (-EIO and
// BIO_EOF beyond it) and the queue's max_hw_sectors, then given to the queue's
// make_request_fn until that returns 0. Process context; may sleep.
void generic_make_request(struct bio *bio);
// Sets rw in bi_rw and submits.
void submit_bio(int rw, struct bio *bio);

int register_blkdev(unsigned int major, const char *name);
void unregister_blkdev(unsigned int major, const char *name);
