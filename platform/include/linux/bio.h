// Block I/O units: struct bio and its segments, as this kernel generation has
// them. A bio is one contiguous range of sectors on one block device, carried
// by up to bi_max_vecs page segments.
#pragma once
#include <linux/types.h>
#include <linux/kernel.h>
#include <linux/atomic.h>
#include <linux/bitops.h>

struct page;
struct bio;
struct block_device;
struct request_queue;

typedef void(bio_end_io_t)(struct bio *, int);
typedef void(bio_destructor_t)(struct bio *);

struct bio_vec {
  struct page *bv_page;
  unsigned int bv_len;
  unsigned int bv_offset;
};

struct bio {
  sector_t bi_sector;            // first sector (512 bytes) on bi_bdev
  struct bio *bi_next;           // request queue / per-task pending list link
  struct block_device *bi_bdev;
  unsigned long bi_flags;        // BIO_* bit numbers below
  unsigned long bi_rw;           // bit BIO_RW set: write
  unsigned short bi_vcnt;        // segments in use
  unsigned short bi_idx;         // current index into bi_io_vec
  unsigned int bi_phys_segments;
  unsigned int bi_size;          // bytes still to transfer
  unsigned int bi_seg_front_size;
  unsigned int bi_seg_back_size;
  unsigned int bi_max_vecs;      // segments the bio can hold
  unsigned int bi_comp_cpu;
  atomic_t bi_cnt;               // pin count (bio_get/bio_put)
  struct bio_vec *bi_io_vec;
  bio_end_io_t *bi_end_io;       // completion; may run in interrupt context
  void *bi_private;
  bio_destructor_t *bi_destructor;  // frees the bio at the last bio_put; null for embedded bios
};

// bi_flags bit numbers.
#define BIO_UPTODATE 0   // ok after I/O completion
#define BIO_RW_BLOCK 1
#define BIO_EOF 2        // out-of-bounds error
#define BIO_SEG_VALID 3
#define BIO_CLONED 4
#define BIO_BOUNCED 5
#define BIO_USER_MAPPED 6
#define BIO_EOPNOTSUPP 7
#define bio_flagged(bio, flag) ((bio)->bi_flags & (1UL << (flag)))

// bi_rw bit numbers (so the write mask is 1 and the read-ahead mask 0x10).
#define BIO_RW 0
#define BIO_RW_FAILFAST_DEV 1
#define BIO_RW_FAILFAST_TRANSPORT 2
#define BIO_RW_FAILFAST_DRIVER 3
#define BIO_RW_AHEAD 4
#define BIO_RW_BARRIER 5
#define BIO_RW_SYNCIO 6
#define BIO_RW_UNPLUG 7
#define BIO_RW_META 8
#define BIO_RW_DISCARD 9
#define BIO_RW_NOIDLE 10

#ifndef READ
#define READ 0
#define WRITE 1
#define READA 2
#endif

#define BIO_MAX_PAGES 256
#define BIO_MAX_SIZE (BIO_MAX_PAGES << 12)
#define BIO_MAX_SECTORS (BIO_MAX_SIZE >> 9)

static inline int bio_rw_flagged(const struct bio *bio, int flag) { return (bio->bi_rw & (1UL << flag)) != 0; }
#define bio_data_dir(bio) ((bio)->bi_rw & 1)
#define bio_iovec_idx(bio, idx) (&((bio)->bi_io_vec[(idx)]))
#define bio_iovec(bio) bio_iovec_idx((bio), (bio)->bi_idx)
#define bio_page(bio) bio_iovec((bio))->bv_page
#define bio_offset(bio) bio_iovec((bio))->bv_offset
#define bio_segments(bio) ((bio)->bi_vcnt - (bio)->bi_idx)
#define bio_sectors(bio) ((bio)->bi_size >> 9)
#define bio_cur_bytes(bio) ((bio)->bi_vcnt ? bio_iovec(bio)->bv_len : (bio)->bi_size)
#define bio_empty_barrier(bio) (bio_rw_flagged(bio, BIO_RW_BARRIER) && !bio_has_data(bio))
static inline int bio_has_data(const struct bio *bio) { return bio && bio->bi_io_vec != NULL; }

#define __bio_for_each_segment(bvl, bio, i, start_idx) \
  for (bvl = bio_iovec_idx((bio), (start_idx)), i = (start_idx); i < (bio)->bi_vcnt; bvl++, i++)
#define bio_for_each_segment(bvl, bio, i) __bio_for_each_segment(bvl, bio, i, (bio)->bi_idx)

// Allocates a bio with room for nr_iovecs segments (at most BIO_MAX_PAGES):
// pin count 1, BIO_UPTODATE set, everything else zero. Sleeps only when gfp
// has __GFP_WAIT. Null on failure; fault point "bio_alloc".
struct bio *bio_alloc(gfp_t gfp_mask, int nr_iovecs);
// Resets a bio's fields (not its segment array) to the freshly allocated state.
void bio_init(struct bio *bio);
void bio_get(struct bio *bio);
// Drops one pin; the last one frees the bio. Never sleeps.
void bio_put(struct bio *bio);
// Appends len bytes of page at offset as a segment (merged with the previous
// one when contiguous). Honours the limits of bi_bdev's queue: max_sectors,
// max_hw_sectors, max_segments, max_segment_size; without a queue the default
// limits apply. Returns len, or 0 when the page does not fit.
int bio_add_page(struct bio *bio, struct page *page, unsigned int len, unsigned int offset);
// Ends the bio: an error clears BIO_UPTODATE; a bio that is not up to date
// ends with -EIO. Calls bi_end_io in the caller's context.
void bio_endio(struct bio *bio, int error);

// bio_split result: two halves that share the parent's single segment. The
// parent completes once, after both halves and the pair's own reference are
// released, with the first error that either half reported.
struct bio_pair {
  struct bio bio1, bio2;
  struct bio_vec bv1, bv2;
  char bp_integrity_room[456 - 2 * sizeof(struct bio) - 2 * sizeof(struct bio_vec) - 2 * sizeof(int)];
  atomic_t cnt;
  int error;
};
static_assert(sizeof(struct bio_pair) == 456, "bio_pair has this kernel's size");

// Splits a single-segment bio (bi_vcnt 1, bi_idx 0) after first_sectors
// sectors. Sleeps (GFP_NOIO). Null for a bio that cannot be split that way.
struct bio_pair *bio_split(struct bio *bi, int first_sectors);
void bio_pair_release(struct bio_pair *dbio);
