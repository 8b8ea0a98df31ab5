/*
 * cow_copy.cpp - preserving one chunk: read its current contents from the source disk,
 * through the disk's saved function so the read is not intercepted again, into fresh
 * pages, and queue those pages to the chunk's IO worker as file_copy transfers.
 *
 * copy_chunk returns once the read has completed and the transfer is queued; the held
 * write may then overwrite the chunk on disk, the old contents living on in the pages
 * until the worker has stored them.
 *
 * Copy pages are counted in total_cow_pages, marked by their own address in `private`,
 * and charged three times to NR_FILE_DIRTY; fc_copy_end_io takes all of that back.
 */
#include "cow.h"

#include <linux/highmem.h>
#include <linux/mm.h>
#include <linux/vmstat.h>

#define VEK_PAGE_TRIES 1000		/* failures slept over before a chunk is given up */
#define VEK_PAGE_RETRY_JIFFIES 100
#define VEK_DIRTY_CHARGES 3
#define VEK_PAGE_GFP 0x650u		/* WAIT | IO | NOWARN | REPEAT */
#define VEK_PAGE_GFP_HIGH 0x670u	/* the same, with access to the reserves */

void set_chunk_pos(struct cow_session *cs, struct cow_chunk *cc, sector_t chunk)
{
	unsigned long flags;

	spin_lock_irqsave(&cs->pos_lock, flags);
	cc->old_chunk = chunk;
	cc->new_chunk = cs->pos;	/* provisional: the worker assigns the real slot */
	cs->pos++;
	spin_unlock_irqrestore(&cs->pos_lock, flags);
}

/* May sleep and start IO, never enters a file system. */
struct page *alloc_one_page(void)
{
	struct page *page = alloc_page(VEK_PAGE_GFP);

	if (!page)
		page = alloc_page(VEK_PAGE_GFP_HIGH);
	return page;
}

struct bio *alloc_bio(int max_pages)
{
	struct bio *bio = bio_alloc(GFP_NOIO, max_pages);

	if (!bio)
		bio = bio_alloc(GFP_NOIO, max_pages);
	return bio;
}

/*
 * Completion of a copy read: disk completion (interrupt) context, or the copier itself
 * for a read served from the page tree. Only signals; a failed read leaves the bio not
 * up to date, which copy_chunk checks after the wait.
 */
void cow_bio_endIO(struct bio *bio, int err)
{
	struct file_copy *fc = (struct file_copy *)bio->bi_private;

	if (err)
		clear_bit(BIO_UPTODATE, &bio->bi_flags);
	complete(&fc->event);
}

void bio_endIO(struct bio *bio, int err)
{
	bio_endio(bio, err);
}

static void account_copy_page(struct page *page)
{
	int i;

	atomic_inc(&total_cow_pages);
	set_page_private(page, page);
	for (i = 0; i < VEK_DIRTY_CHARGES; i++)
		inc_zone_page_state(page, NR_FILE_DIRTY);
}

/* Takes back what account_copy_page gave the page, and frees it. */
static void release_copy_page(struct page *page)
{
	int j;

	if (page_private(page) == (unsigned long)page) {
		for (j = 0; j < VEK_DIRTY_CHARGES; j++)
			dec_zone_page_state(page, NR_FILE_DIRTY);
		set_page_private(page, 0);
	}
	__free_page(page);
	atomic_dec(&total_cow_pages);
}

/*
 * end_io of copy transfers: the worker that stored them, the workers' clean-up, or a
 * failed copy. Releases the copy pages and the bio; the record itself is the caller's.
 */
void fc_copy_end_io(struct file_copy *fc, int err)
{
	struct bio *bio = fc->bio;
	int i;

	(void)err;
	fc->bio = NULL;
	if (!bio)
		return;
	for (i = 0; i < bio->bi_vcnt; i++)
		if (bio->bi_io_vec[i].bv_page)
			release_copy_page(bio->bi_io_vec[i].bv_page);
	bio_put(bio);
}

/* ---- the per-request page tree ---- */

struct rb_cache *rb_search(struct rb_root *root, sector_t value)
{
	struct rb_node *n = root->rb_node;
	struct rb_cache *c;

	while (n) {
		c = rb_entry(n, struct rb_cache, node);
		if (c->n > value)
			n = n->rb_left;
		else if (c->n < value)
			n = n->rb_right;
		else
			return c;
	}
	return NULL;
}

void rb_insert(struct rb_root *root, struct rb_cache *n)
{
	struct rb_node **p = &root->rb_node;
	struct rb_node *parent = NULL;

	while (*p) {
		parent = *p;
		if (n->n < rb_entry(parent, struct rb_cache, node)->n)
			p = &parent->rb_left;
		else
			p = &parent->rb_right;
	}
	rb_link_node(&n->node, parent, p);
	rb_insert_color(&n->node, root);
}

static void copy_page_data(struct page *to, struct page *from)
{
	void *dst = kmap_atomic(to, KM_USER0);
	void *src = kmap_atomic(from, KM_USER1);

	memcpy(dst, src, PAGE_SIZE);
	kunmap_atomic(src, KM_USER1);
	kunmap_atomic(dst, KM_USER0);
}

/* 1 when every segment was in the tree: the bio is then filled and ended here. */
int read_from_page_cache(struct rb_root *rb, struct bio *bio)
{
	struct rb_cache *c;
	int i;

	if (!rb)
		return 0;
	if (bio->bi_vcnt == 0) {
		bio_endIO(bio, 0);
		return 1;
	}
	for (i = 0; i < bio->bi_vcnt; i++) {
		c = rb_search(rb, bio->bi_sector + 8 * (sector_t)i);
		if (!c)
			return 0;
		copy_page_data(bio->bi_io_vec[i].bv_page, c->p);
	}
	bio_endIO(bio, 0);
	return 1;
}

/*
 * Caches the segments the bio really read: only whole pages inside bi_size, keyed from
 * bi_sector (the caller gives a completed bio back its submitted range first). Pages past
 * the end of a session's device were not read and must not be served to a later copy
 * of another session (whose device may well extend there).
 */
void cache_pages(struct rb_root *rb, struct bio *bio)
{
	struct rb_cache *c;
	struct page *page;
	sector_t sector;
	unsigned int done = 0;
	int i;

	if (!rb || bio->bi_vcnt == 0)
		return;
	for (i = 0; i < bio->bi_vcnt; i++) {
		done += bio->bi_io_vec[i].bv_len;
		if (done > bio->bi_size)
			return;
		sector = bio->bi_sector + 8 * (sector_t)i;
		if (rb_search(rb, sector))
			continue;
		c = alloc_rb_cache();
		if (!c) {
			printk(KERN_ERR "%s: ERROR: Could not allocate rb page cache for chunk cache.\n",
			       VEK_TAG);
			return;
		}
		page = alloc_one_page();
		if (!page) {
			printk(KERN_ERR "%s: ERROR: Could not allocate rb page for chunk cache.\n",
			       VEK_TAG);
			put_rb_cache(c);
			return;
		}
		copy_page_data(page, bio->bi_io_vec[i].bv_page);
		c->n = sector;
		c->p = page;
		rb_insert(rb, c);
	}
}

/* ---- copy_chunk ---- */

/* Sleeps between failures; null after VEK_PAGE_TRIES + 1 failed attempts. */
static struct page *get_copy_page(void)
{
	struct page *page;
	int tries = 0;

	for (;;) {
		page = alloc_one_page();
		if (page) {
			account_copy_page(page);
			return page;
		}
		if (++tries > VEK_PAGE_TRIES)
			break;
		set_current_state(TASK_INTERRUPTIBLE);
		schedule_timeout(VEK_PAGE_RETRY_JIFFIES);
	}
	printk(KERN_ERR "%s: ERROR: failed to allocate page after %d tries.  currently have %d "
	       "pages allocated.\n", VEK_TAG, VEK_PAGE_TRIES, atomic_read(&total_cow_pages));
	return NULL;
}

/* A read bio of the chunk starting `offset` bytes into it, on the whole disk. */
static void init_copy_bio(struct cow_session *cs, struct bio *bio, struct block_device *bdev,
			  struct file_copy *fc, sector_t chunk, sector_t offset)
{
	bio->bi_bdev = bdev;
	bio->bi_rw = 0;
	bio->bi_end_io = cow_bio_endIO;
	bio->bi_private = fc;
	bio->bi_sector = ((offset + chunk * cs->chunk_size) >> cs->sector_shift) +
			 cs->part.start_sect;
}

/* Bytes of the bio that lie on the session's device (the rest is past its end). */
static unsigned int bytes_on_device(struct cow_session *cs, struct bio *bio)
{
	sector_t end = cs->part.start_sect + cs->part.nr_sects;
	sector_t last = bio->bi_sector + (bio->bi_size >> 9);
	unsigned int size = bio->bi_size;

	if (bio->bi_sector >= end)
		return 0;
	if (last > end) {
		size -= (unsigned int)((last - end) << 9);
		if (size > bio->bi_size)
			size = 0;
	}
	return size;
}

/* Zero what lies past `valid` bytes: no stale memory may reach a backing file. */
static void zero_past(struct bio *bio, unsigned int valid)
{
	unsigned int start = 0, len, from;
	void *addr;
	int i;

	for (i = 0; i < bio->bi_vcnt; i++) {
		len = bio->bi_io_vec[i].bv_len;
		if (start + len > valid) {
			from = valid > start ? valid - start : 0;
			addr = kmap_atomic(bio->bi_io_vec[i].bv_page, KM_USER0);
			memset((char *)addr + bio->bi_io_vec[i].bv_offset + from, 0, len - from);
			kunmap_atomic(addr, KM_USER0);
		}
		start += len;
	}
}

/* Ends and frees every transfer of the chunk; used when the copy is given up. */
static void drop_copy_transfers(struct cow_session *cs, struct if_chunk *ic)
{
	struct file_copy *fc, *next;

	list_for_each_entry_safe(fc, next, &ic->fc_list_head, fc_list) {
		list_del(&fc->fc_list);
		fc_endio(fc, -EIO);
		put_file_copy(fc, cs);
	}
}

/* Pages for the whole chunk, in as few bios as the queue accepts. 0 or -ENOMEM. */
static int build_copy(struct cow_session *cs, struct if_chunk *ic, struct cow_chunk *cc,
		      struct block_device *bdev)
{
	struct bio *bio = NULL;
	struct file_copy *fc = NULL;
	struct page *page = NULL;
	sector_t covered = 0;
	int added;

	while (covered < cs->chunk_size) {
		if (!bio) {
			bio = alloc_bio(VEK_CHUNK_PAGES);
			if (!bio) {
				printk(KERN_ERR "%s: ERROR: Could not allocate copy bio!\n", VEK_TAG);
				goto fail;
			}
			fc = alloc_file_copy(cs);
			if (!fc) {
				printk(KERN_ERR "%s: ERROR: Could not allocate file copy!\n", VEK_TAG);
				bio_put(bio);
				goto fail;
			}
			init_copy_bio(cs, bio, bdev, fc, ic->chunk, covered);
			init_fc(fc, cc, bio, cs->chunk_size, cs->part.start_sect, cs->sector_shift,
				fc_copy_end_io, 1);
			list_add_tail(&fc->fc_list, &ic->fc_list_head);
		}
		if (!page) {
			page = get_copy_page();
			if (!page)
				goto fail;
		}
		added = fc_add_page(fc, page);
		if (added == 0) {
			if (bio->bi_vcnt == 0)
				goto fail_page;	/* the queue takes not even one page */
			bio = NULL;	/* full: the same page goes into the next bio */
			continue;
		}
		covered += (sector_t)added;
		page = NULL;
	}
	return 0;

fail_page:
	printk(KERN_ERR "%s: ERROR: Could not allocate copy bio!\n", VEK_TAG);
fail:
	/* A page a full bio refused is on no transfer yet: nobody else gives it back. */
	if (page)
		release_copy_page(page);
	return -ENOMEM;
}

/*
 * The first disk sector of a copy bio, from its transfer: the disk leaves a completed bio's
 * range consumed (sector past its end, size 0).
 */
static sector_t copy_bio_sector(struct cow_session *cs, struct file_copy *fc)
{
	return ((sector_t)fc->disk_start >> cs->sector_shift) + cs->part.start_sect;
}

/* Reads every transfer's range from the source (or the page tree); the bios' sizes are
 * clipped to the device, and what lies past it is zeroed. */
static void issue_copy_reads(struct cow_session *cs, struct if_chunk *ic,
			     struct block_device *bdev, make_request_fn *savedMRF,
			     struct rb_root *rb)
{
	struct request_queue *q = bdev->bd_disk->queue;
	struct file_copy *fc;
	struct bio *bio;
	unsigned int valid;

	list_for_each_entry(fc, &ic->fc_list_head, fc_list) {
		bio = fc->bio;
		fc->saved_size = bio->bi_size;
		valid = bytes_on_device(cs, bio);
		if (read_from_page_cache(rb, bio)) {
			zero_past(bio, valid);
			continue;
		}
		zero_past(bio, valid);
		bio->bi_size = valid;
		if (bio->bi_size)
			doMRF(q, savedMRF, bio);
		else
			bio_endIO(bio, 0);
	}
}

/*
 * Waits for the reads; 0, or -EIO when any of them failed. Each bio is given back the
 * range it was submitted with, which the page tree keys its pages by and the transfer
 * stores.
 */
static int wait_copy_reads(struct cow_session *cs, struct if_chunk *ic, struct rb_root *rb)
{
	struct file_copy *fc;
	struct bio *bio;
	int ret = 0;

	list_for_each_entry(fc, &ic->fc_list_head, fc_list) {
		bio = fc->bio;
		wait_for_completion(&fc->event);
		bio->bi_sector = copy_bio_sector(cs, fc);
		bio->bi_idx = 0;
		/* The transfer stores the whole chunk; past the device end it is zeros. */
		bio->bi_size = fc->saved_size;
		if (!test_bit(BIO_UPTODATE, &bio->bi_flags)) {
			ret = -EIO;
		} else if (ret == 0 && rb) {
			bio->bi_size = bytes_on_device(cs, bio);
			cache_pages(rb, bio);
			bio->bi_size = fc->saved_size;
		}
	}
	return ret;
}

/* The copy of ic's chunk is given up: the session goes into error. */
static void give_up_copy(struct cow_session *cs, struct if_chunk *ic)
{
	printk(KERN_ERR "%s: ERROR: could not copy chunk %llu.\n", VEK_TAG,
	       (unsigned long long)ic->chunk);
	invalidate_session(cs, "OUT OF MEMORY");
}

/* Gives a copy up: nothing of it is left (no pages, bios, transfers or cow_chunk). */
static void abandon_copy(struct cow_session *cs, struct if_chunk *ic, struct cow_chunk *cc)
{
	drop_copy_transfers(cs, ic);
	ic->cc = NULL;
	free_cow_chunk(cc);
	give_up_copy(cs, ic);
}

/*
 * First half of a chunk copy: checks, the chunk's pages and transfers, and its reads
 * issued. Process context, sleeps (page allocation). The caller created ic and holds its
 * real_lock and virt_lock until copy_chunk_end, so nothing else touches the chunk's
 * transfers. 0 with ic->cc set, or -1 with the session in error, ic->cc null and nothing
 * of the copy left behind.
 */
int copy_chunk_begin(struct cow_session *cs, struct if_chunk *ic, struct block_device *bdev,
		     make_request_fn *savedMRF, struct rb_root *rb)
{
	struct cow_chunk *cc;

	if (!bdev) {
		printk(KERN_ERR "%s: ERROR: Can not copy chunk without block device!\n", VEK_TAG);
		invalidate_session(cs, "COPY CHUNK ERROR");
		goto fail;
	}
	/* The copy bios carry whole-disk sectors, so they go to the whole disk. */
	if (bdev->bd_contains)
		bdev = bdev->bd_contains;
	if (!bdev->bd_disk || !bdev->bd_disk->queue) {
		printk(KERN_ERR "%s: ERROR: Can not copy chunk without request queue!\n", VEK_TAG);
		invalidate_session(cs, "COPY CHUNK ERROR");
		goto fail;
	}
	/* Each copy bio carries at least one page, and a chunk fits its transfers' pages. */
	if (cs->chunk_size > VEK_CHUNK_PAGES * PAGE_SIZE) {
		printk(KERN_ERR "%s: ERROR: Can not copy chunk of %llu bytes!\n", VEK_TAG,
		       (unsigned long long)cs->chunk_size);
		invalidate_session(cs, "COPY CHUNK ERROR");
		goto fail;
	}
	cc = alloc_cow_chunk();
	if (!cc) {
		printk(KERN_ERR "%s: ERROR: Could not allocate cow chunk!\n", VEK_TAG);
		goto fail;
	}
	set_chunk_pos(cs, cc, ic->chunk);
	ic->cc = cc;

	if (build_copy(cs, ic, cc, bdev))
		goto fail_copy;
	issue_copy_reads(cs, ic, bdev, savedMRF, rb);
	return 0;

fail_copy:
	abandon_copy(cs, ic, cc);
	return -1;
fail:
	give_up_copy(cs, ic);
	return -1;
}

/*
 * Second half, for a chunk whose copy_chunk_begin succeeded: waits for the reads and
 * queues the transfers to the chunk's worker. Returns the chunk's cow_chunk, not yet in
 * the chunk table, or null with the session in error and nothing of the copy left behind.
 */
struct cow_chunk *copy_chunk_end(struct cow_session *cs, struct if_chunk *ic,
				 struct rb_root *rb, struct bio *merge_bio, unsigned int *copied)
{
	struct cow_chunk *cc = ic->cc;
	unsigned int merged;

	if (wait_copy_reads(cs, ic, rb)) {
		/* Storing what the pages hold would pass garbage off as the snapshot. */
		printk(KERN_ERR "%s: ERROR: Could not read chunk %llu from the source device!\n",
		       VEK_TAG, (unsigned long long)ic->chunk);
		invalidate_session(cs, "COPY CHUNK ERROR");
		abandon_copy(cs, ic, cc);
		return NULL;
	}
	if (merge_bio) {
		merged = io_on_if_chunk(cs, ic, cc, merge_bio, 1);
		if (copied)
			*copied += merged;
	}
	atomic_inc(&ic->count);		/* the worker queue's reference */
	submit_ic_file_io(ic, cs);
	return cc;
}

/*
 * The whole copy of one chunk, as its two halves. Process context, sleeps. Returns the
 * chunk's cow_chunk, not yet in the chunk table, or null with the session in error.
 */
struct cow_chunk *copy_chunk(struct cow_session *cs, struct if_chunk *ic,
			     struct block_device *bdev, make_request_fn *savedMRF,
			     struct rb_root *rb, struct bio *merge_bio, unsigned int *copied)
{
	if (copy_chunk_begin(cs, ic, bdev, savedMRF, rb))
		return NULL;
	return copy_chunk_end(cs, ic, rb, merge_bio, copied);
}
