// bio allocation, page adding under queue limits, completion and splitting.
#include <linux/bio.h>
#include <linux/blkdev.h>
#include <linux/gfp.h>
#include <linux/mm.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

#include <host/host_block.h>

#include "block_internal.h"
#include "internal.h"
#include "depot.h"

namespace {

kplat::split_count g_bios_in_use;

// A bio and its segment array in one allocation.
struct bio_block {
  struct bio bio;
  struct bio_vec vecs[];
};

// Freed bios of the common sizes wait for reuse, as the kernel's bio and bvec slabs keep
// them: a snapshot device takes a bio per page, often freed on another thread than the one
// that allocated it. A kept bio is poisoned (unaddressable under AddressSanitizer).
constexpr int kKeptVecs[] = {1, 16};
constexpr size_t kKeepPerSize = 1024;

struct bio_store {
  kplat::object_depot kept[2]{kplat::object_depot(kKeepPerSize), kplat::object_depot(kKeepPerSize)};
};
bio_store &store() {
  static bio_store *s = new bio_store();
  return *s;
}

// Index of the kept size a bio of n segments is stored as, or -1.
int keep_class(int n) {
  for (int i = 0; i < 2; i++)
    if (n <= kKeptVecs[i]) return i;
  return -1;
}

size_t block_bytes(int vecs) { return sizeof(bio_block) + size_t(vecs) * sizeof(struct bio_vec); }

bio_block *take_block(int nr_iovecs) {
  int k = keep_class(nr_iovecs);
  if (k >= 0) {
    auto *blk = static_cast<bio_block *>(store().kept[k].take());
    if (blk) {
      KP_UNPOISON(blk, block_bytes(kKeptVecs[k]));
      return blk;
    }
  }
  return static_cast<bio_block *>(std::malloc(block_bytes(k >= 0 ? kKeptVecs[k] : nr_iovecs)));
}

void give_block(bio_block *blk, int nr_iovecs) {
  int k = keep_class(nr_iovecs);
  if (k >= 0) {
    KP_POISON(blk, block_bytes(kKeptVecs[k]));
    if (store().kept[k].give(blk)) return;
    KP_UNPOISON(blk, block_bytes(kKeptVecs[k]));
  }
  std::free(blk);
}

void bio_block_free(struct bio *bio) {
  auto *blk = reinterpret_cast<bio_block *>(bio);
  // Poison, so a completion that touches a freed bio reads rubbish pointers
  // rather than plausible stale ones.
  const int vecs = int(bio->bi_max_vecs);
  std::memset(static_cast<void *>(blk), 0x6b, block_bytes(vecs));
  give_block(blk, vecs);
  g_bios_in_use.sub();
}

}  // namespace

namespace kplat {

struct bio *bio_alloc_internal(int nr_iovecs) {
  if (nr_iovecs < 0 || nr_iovecs > BIO_MAX_PAGES)
    return nullptr;
  bio_block *blk = take_block(nr_iovecs);
  if (!blk)
    return nullptr;
  std::memset(static_cast<void *>(blk->vecs), 0, size_t(nr_iovecs) * sizeof(struct bio_vec));
  struct bio *bio = &blk->bio;
  bio->bi_max_vecs = unsigned(nr_iovecs);
  bio->bi_io_vec = nr_iovecs ? blk->vecs : nullptr;
  bio->bi_destructor = bio_block_free;
  bio_init(bio);  // zeroes the rest and keeps these three
  g_bios_in_use.add();
  return bio;
}

long bios_in_use() { return g_bios_in_use.value(); }

}  // namespace kplat

long host::bios_in_use() { return kplat::bios_in_use(); }

void bio_init(struct bio *bio) {
  struct bio_vec *vecs = bio->bi_io_vec;
  unsigned max = bio->bi_max_vecs;
  bio_destructor_t *destructor = bio->bi_destructor;
  std::memset(static_cast<void *>(bio), 0, sizeof(*bio));
  bio->bi_io_vec = vecs;
  bio->bi_max_vecs = max;
  bio->bi_destructor = destructor;
  bio->bi_flags = 1UL << BIO_UPTODATE;
  atomic_set(&bio->bi_cnt, 1);
}

struct bio *bio_alloc(gfp_t gfp_mask, int nr_iovecs) {
  if (gfp_mask & __GFP_WAIT)
    kplat::check_sleep("bio_alloc");
  kplat::fault_ctx ctx;
  ctx.size = size_t(nr_iovecs < 0 ? 0 : nr_iovecs);
  ctx.gfp = gfp_mask;
  if (kplat::fault_hit("bio_alloc", ctx))
    return nullptr;
  return kplat::bio_alloc_internal(nr_iovecs);
}

void bio_get(struct bio *bio) {
  BUG_ON(atomic_read(&bio->bi_cnt) <= 0);
  atomic_inc(&bio->bi_cnt);
}

void bio_put(struct bio *bio) {
  BUG_ON(atomic_read(&bio->bi_cnt) <= 0);
  if (!atomic_dec_and_test(&bio->bi_cnt))
    return;
  bio->bi_next = nullptr;
  // Embedded bios (the halves of a bio_pair) have no destructor: their memory
  // belongs to the pair.
  if (bio->bi_destructor)
    bio->bi_destructor(bio);
}

int bio_add_page(struct bio *bio, struct page *page, unsigned int len, unsigned int offset) {
  if (!page || len == 0 || offset >= PAGE_SIZE || len > PAGE_SIZE - offset)
    return 0;
  if (bio_flagged(bio, BIO_CLONED))
    return 0;

  struct queue_limits defaults;
  const struct queue_limits *lim = &defaults;
  struct request_queue *q = bio->bi_bdev ? bdev_get_queue(bio->bi_bdev) : nullptr;
  if (q) {
    lim = &q->limits;
  } else {
    blk_set_default_limits(&defaults);
  }
  unsigned max_sectors = lim->max_sectors < lim->max_hw_sectors ? lim->max_sectors : lim->max_hw_sectors;
  if ((uint64_t(bio->bi_size) + len) >> 9 > max_sectors)
    return 0;

  if (bio->bi_vcnt > 0) {
    struct bio_vec *prev = &bio->bi_io_vec[bio->bi_vcnt - 1];
    if (page == prev->bv_page && offset == prev->bv_offset + prev->bv_len) {
      if (prev->bv_len + len > lim->max_segment_size)
        return 0;
      prev->bv_len += len;
      bio->bi_size += len;
      return int(len);
    }
  }
  if (bio->bi_vcnt >= bio->bi_max_vecs)
    return 0;
  if (bio->bi_vcnt >= lim->max_segments)
    return 0;
  if (len > lim->max_segment_size)
    return 0;

  struct bio_vec *bv = &bio->bi_io_vec[bio->bi_vcnt];
  bv->bv_page = page;
  bv->bv_len = len;
  bv->bv_offset = offset;
  bio->bi_vcnt++;
  bio->bi_phys_segments++;
  bio->bi_size += len;
  return int(len);
}

void bio_endio(struct bio *bio, int error) {
  if (error)
    clear_bit(BIO_UPTODATE, &bio->bi_flags);
  else if (!test_bit(BIO_UPTODATE, &bio->bi_flags))
    error = -EIO;
  if (bio->bi_end_io)
    bio->bi_end_io(bio, error);
}

// ---- bio_split ----

namespace {

void bio_pair_note_error(struct bio_pair *bp, int err) {
  if (!err)
    return;
  int none = 0;
  // The first error wins: the parent reports what went wrong first.
  __atomic_compare_exchange_n(&bp->error, &none, err, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
}

void bio_pair_end_1(struct bio *bi, int err) {
  struct bio_pair *bp = container_of(bi, struct bio_pair, bio1);
  bio_pair_note_error(bp, err);
  bio_pair_release(bp);
}

void bio_pair_end_2(struct bio *bi, int err) {
  struct bio_pair *bp = container_of(bi, struct bio_pair, bio2);
  bio_pair_note_error(bp, err);
  bio_pair_release(bp);
}

void bio_copy_header(struct bio *to, const struct bio *from) {
  to->bi_sector = from->bi_sector;
  to->bi_next = nullptr;
  to->bi_bdev = from->bi_bdev;
  to->bi_flags = from->bi_flags;
  to->bi_rw = from->bi_rw;
  to->bi_vcnt = from->bi_vcnt;
  to->bi_idx = from->bi_idx;
  to->bi_phys_segments = from->bi_phys_segments;
  to->bi_size = from->bi_size;
  to->bi_seg_front_size = from->bi_seg_front_size;
  to->bi_seg_back_size = from->bi_seg_back_size;
  to->bi_max_vecs = from->bi_max_vecs;
  to->bi_comp_cpu = from->bi_comp_cpu;
  atomic_set(&to->bi_cnt, 1);
  to->bi_io_vec = nullptr;
  to->bi_end_io = nullptr;
  to->bi_private = nullptr;
  to->bi_destructor = nullptr;
}

}  // namespace

struct bio_pair *bio_split(struct bio *bi, int first_sectors) {
  kplat::check_sleep("bio_split");
  if (bi->bi_vcnt != 1 || bi->bi_idx != 0) {
    printk(KERN_ERR "bio_split: only a single-segment bio can be split (vcnt %u, idx %u)\n", bi->bi_vcnt,
           bi->bi_idx);
    return nullptr;
  }
  if (first_sectors <= 0 || (unsigned(first_sectors) << 9) >= bi->bi_size ||
      (unsigned(first_sectors) << 9) >= bi->bi_io_vec[0].bv_len) {
    printk(KERN_ERR "bio_split: split point %d outside a bio of %u sectors\n", first_sectors, bi->bi_size >> 9);
    return nullptr;
  }
  auto *bp = static_cast<struct bio_pair *>(std::calloc(1, sizeof(struct bio_pair)));
  if (!bp)
    return nullptr;
  unsigned first_bytes = unsigned(first_sectors) << 9;
  atomic_set(&bp->cnt, 3);
  bp->error = 0;
  bio_copy_header(&bp->bio1, bi);
  bio_copy_header(&bp->bio2, bi);
  bp->bio2.bi_sector += sector_t(first_sectors);
  bp->bio2.bi_size -= first_bytes;
  bp->bio1.bi_size = first_bytes;

  bp->bv1 = bi->bi_io_vec[0];
  bp->bv2 = bi->bi_io_vec[0];
  bp->bv2.bv_offset += first_bytes;
  bp->bv2.bv_len -= first_bytes;
  bp->bv1.bv_len = first_bytes;

  bp->bio1.bi_io_vec = &bp->bv1;
  bp->bio2.bi_io_vec = &bp->bv2;
  bp->bio1.bi_max_vecs = 1;
  bp->bio2.bi_max_vecs = 1;
  bp->bio1.bi_end_io = bio_pair_end_1;
  bp->bio2.bi_end_io = bio_pair_end_2;
  bp->bio1.bi_private = bi;
  bp->bio2.bi_private = nullptr;
  return bp;
}

void bio_pair_release(struct bio_pair *bp) {
  if (!atomic_dec_and_test(&bp->cnt))
    return;
  struct bio *master = static_cast<struct bio *>(bp->bio1.bi_private);
  int err = __atomic_load_n(&bp->error, __ATOMIC_SEQ_CST);
  std::memset(static_cast<void *>(bp), 0x6b, sizeof(*bp));
  std::free(bp);
  bio_endio(master, err);
}
