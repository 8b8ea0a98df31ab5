/*
 * cow_virt_read.cpp - bios on a snapshot device: the entry point, chunk
 * preparation, and the read path (from the source while a chunk still holds its
 * snapshot contents there, from in-flight pages, or from the backing store).
 * Also the simple page cache that keeps the device usable for other processes
 * once the session has failed, and the copies between a bio and the pages of an
 * in-flight chunk.
 */
#include <linux/kernel.h>
#include <linux/slab.h>
#include <linux/string.h>
#include <linux/sched.h>
#include <linux/highmem.h>
#include <linux/mm.h>
#include <linux/bio.h>
#include <linux/blkdev.h>

#include "cow.h"

static int virt_bio_is_write(struct bio *bio)
{
	return (bio->bi_rw & (1UL << BIO_RW)) != 0;
}

/* ---- read interlock ---- */

/* write_list_lock held. The last read of a chunk lets the source writes held on it go. */
void finish_read(struct rb_wl *rbwl)
{
	atomic_inc(&rbwl->done);
	wake_up(&rbwl->wait);
}

/*
 * Gives back one read count of a chunk read lock: at completion of the read,
 * or when the read fails before it was issued (a held source write must not
 * wait for a read that never happens). Any context.
 */
static void release_read_lock(struct cow_session *cs, struct rb_wl *rbwl)
{
	unsigned long flags;

	spin_lock_irqsave(&cs->write_list_lock, flags);
	if (--rbwl->reads == 0) {
		finish_read(rbwl);
		rb_erase(&rbwl->node, &cs->write_locks);
		if (rbwl->writes != 0) {
			rb_instert_wl(&cs->write_locked, rbwl);
			rbwl = NULL;
		}
	} else {
		rbwl = NULL;
	}
	spin_unlock_irqrestore(&cs->write_list_lock, flags);
	if (rbwl)
		put_rbwl(rbwl);
}

/* session_work_lock held. A read lock on cl's chunk, or null when none could be had. */
static struct rb_wl *take_read_lock(struct cow_session *cs, sector_t chunk)
{
	struct rb_wl *rbwl;
	unsigned long flags;

	spin_lock_irqsave(&cs->write_list_lock, flags);
	rbwl = rb_serach_wl(&cs->write_locks, chunk);
	if (rbwl)
		rbwl->reads++;
	spin_unlock_irqrestore(&cs->write_list_lock, flags);
	if (rbwl)
		return rbwl;

	/* Nobody else inserts into write_locks while we hold session_work_lock. */
	rbwl = alloc_rb_wl();
	if (!rbwl) {
		printk(KERN_ERR "%s: ERROR: could not allocate new rbl for chunk: %llu.\n", VEK_TAG,
		       (unsigned long long)chunk);
		return NULL;
	}
	rbwl->n = chunk;
	rbwl->reads = 1;
	rbwl->writes = 0;
	atomic_set(&rbwl->done, 0);
	init_waitqueue_head(&rbwl->wait);
	spin_lock_irqsave(&cs->write_list_lock, flags);
	rb_instert_wl(&cs->write_locks, rbwl);
	spin_unlock_irqrestore(&cs->write_list_lock, flags);
	return rbwl;
}

/* ---- chunk preparation ---- */

/*
 * session_work_lock held (every path that creates chunk work holds it). The
 * in-flight record is looked up before the copy record: none can appear while
 * we hold the lock, and one that has finished published its copy record before
 * it left the table, so a chunk whose copy completed in between is never taken
 * for an untouched one (and read or copied again from an overwritten source).
 */
int prep_chunk_list(struct cow_session *cs, struct chunk_list *cl, int rw)
{
	unsigned long flags;

	cl->cs = cs;
	cl->ic = get_and_inc_if(cs, cl->chunk);
	if (cl->ic)
		cl->new_ic = 0;
	spin_lock_irqsave(&cs->chunk_lock, flags);
	cl->cc = get_cow_chunk(&cs->chunk_table, cl->chunk);
	spin_unlock_irqrestore(&cs->chunk_lock, flags);

	if (rw == 0) {
		if (is_error(cs)) {
			if (cl->ic)
				put_and_dec_if(cs, cl->ic);
			cl->ic = NULL;
			cl->cc = NULL;
		} else if (cl->cc || cl->ic) {
			return 0;
		}
		cl->rbwl = take_read_lock(cs, cl->chunk);
		return 0;
	}

	if (!cl->cc && !cl->ic) {
		struct if_chunk *ic = alloc_if_chunk(cl->chunk);

		if (!ic) {
			printk(KERN_ERR "%s: ERROR: could not allocate new ic for chunk: %llu.\n",
			       VEK_TAG, (unsigned long long)cl->chunk);
			return 0;
		}
		ic->created = 2;
		add_and_inc_if(cs, ic);
		cl->ic = ic;
		cl->new_ic = 1;
	}
	return 0;
}

/*
 * Undoes what prep_chunk_list took for an entry that will not be handled (an
 * earlier entry of the same bio failed): the read count, the in-flight
 * reference and, for a record this entry published, its held semaphores.
 */
static void unprep_chunk_list(struct cow_session *cs, struct chunk_list *cl)
{
	if (cl->rbwl) {
		release_read_lock(cs, cl->rbwl);
		cl->rbwl = NULL;
	}
	if (!cl->ic)
		return;
	if (cl->new_ic) {
		/* Its copy never started; the session is already in error. */
		up(&cl->ic->real_lock);
		up(&cl->ic->virt_lock);
		cl->ic->real_free = 1;
	}
	put_and_dec_if(cs, cl->ic);
	cl->ic = NULL;
}

/* ---- reads ---- */

/* Completion of a read redirected to the source. May run in interrupt context: spinlocks only. */
void vrt_bio_endIO(struct bio *bio, int err)
{
	struct saved_info *info = (struct saved_info *)bio->bi_private;
	struct cow_session *cs = info->cs;

	if (info->rbwl)
		release_read_lock(cs, info->rbwl);
	restore_info(info, bio);
	/* A failed source read still shows through BIO_UPTODATE, which the disk cleared. */
	bio_endIO(bio, 0);
	put_saved_info(info);
	dec_users(cs);
}

/* Sends the entry's bio to the source disk, still holding the entry's read lock. */
static int virt_read_from_source(struct handle_io *hio)
{
	struct cow_session *cs = hio->cs;
	struct chunk_list *cl = hio->cl;
	struct bio *bio = hio->bio;
	struct request_queue *q = hio->bdev->bd_disk ? hio->bdev->bd_disk->queue : NULL;
	struct saved_info *info;

	if (!q) {
		printk(KERN_ERR "%s: ERROR: could not get target queue for read.\n", VEK_TAG);
		invalidate_session(cs, "GET QUEUE ERROR");
		return -1;
	}
	info = alloc_saved_info();
	if (!info) {
		invalidate_session(cs, "OUT OF MEMORY");
		return -1;
	}
	save_info(bio, info);
	inc_users(cs);
	info->cs = cs;
	info->rbwl = cl->rbwl;
	cl->rbwl = NULL;	/* the completion gives it back now */

	bio->bi_end_io = vrt_bio_endIO;
	bio->bi_private = info;
	bio->bi_bdev = hio->bdev;
	bio->bi_sector += cs->part.start_sect;
	doMRF(q, hio->mrf, bio);
	return 0;
}

/*
 * Queues one transfer between the entry's bio and the chunk's place in the backing store
 * (rw 0 reads from it, 1 writes to it); virt_fc_end_io ends the bio with its result.
 */
int virt_store_io(struct handle_io *hio, struct cow_chunk *cc, unsigned long rw)
{
	struct cow_session *cs = hio->cs;
	struct if_chunk *anon = NULL;
	struct file_copy *fc = NULL;

	if (cc)
		anon = alloc_anon_if_chunk(cc);
	if (anon)
		fc = alloc_file_copy(cs);
	if (!fc) {
		if (anon)
			put_and_dec_if(cs, anon);
		invalidate_session(cs, "OUT OF MEMORY");
		return -1;
	}
	init_fc(fc, cc, hio->bio, cs->chunk_size, 0, cs->sector_shift, virt_fc_end_io, rw);
	list_add_tail(&fc->fc_list, &anon->fc_list_head);
	submit_ic_file_io(anon, cs);
	return 0;
}

/* Serves one chunk entry of a read. Process context; may sleep on the chunk's virt_lock. */
int handle_virt_read(struct handle_io *hio)
{
	struct cow_session *cs = hio->cs;
	struct chunk_list *cl = hio->cl;
	struct if_chunk *ic = cl->ic;
	struct cow_chunk *cc = cl->cc;
	unsigned long flags;
	unsigned int copied;

	if (cl->rbwl || !is_valid_session(cs)) {
		/* A failed session reads the source; an in-flight reference is not needed. */
		if (ic) {
			put_and_dec_if(cs, ic);
			cl->ic = NULL;
		}
		return virt_read_from_source(hio);
	}
	if (ic) {
		if (!cc) {
			/* Wait for the copy under way to publish its copy record. */
			down(&ic->virt_lock);
			lock_heartbeat();
			up(&ic->virt_lock);
			spin_lock_irqsave(&cs->chunk_lock, flags);
			cc = get_cow_chunk(&cs->chunk_table, cl->chunk);
			spin_unlock_irqrestore(&cs->chunk_lock, flags);
			cl->cc = cc;
			if (!cc) {
				invalidate_session(cs, "NO CHUNK");
				put_and_dec_if(cs, ic);
				cl->ic = NULL;
				return -1;
			}
		}
		down(&ic->virt_lock);
		lock_heartbeat();
		if (atomic_read(&ic->processed) < 1) {
			copied = io_on_if_chunk(cs, ic, cc, hio->bio, 0);
			up(&ic->virt_lock);
			put_and_dec_if(cs, ic);
			cl->ic = NULL;
			bio_endIO(hio->bio, 0);
			return copied;
		}
		up(&ic->virt_lock);
		put_and_dec_if(cs, ic);
		cl->ic = NULL;
	}
	return virt_store_io(hio, cc, 0);
}

/* End of a backing-store transfer for the snapshot device; runs on the IO worker. */
void virt_fc_end_io(struct file_copy *fc, int err)
{
	bio_endIO(fc->bio, err);
}

/* ---- entry ---- */

/*
 * Ends the bio of every entry from 'first' on with the result a failure gives
 * the caller: -5 and BIO_EOF for the agent, no error for everyone else. Split
 * halves are ended one by one, so the submitted bio completes exactly once.
 */
static void virt_fail_entries(struct bio *bio, struct chunk_list *cl, int first, int n, int qel)
{
	int i;

	if (qel)
		set_bit(BIO_EOF, &bio->bi_flags);
	for (i = first; i < n; i++)
		bio_endIO(cl[i].bio, qel ? -5 : 0);
}

static void virt_fail_bio(struct bio *bio, int qel)
{
	if (qel)
		set_bit(BIO_EOF, &bio->bi_flags);
	bio_endIO(bio, qel ? -5 : 0);
}

/* Splits the bio at a chunk boundary it crosses; fills one or two entries. 0 on failure. */
static int virt_make_entries(struct cow_session *cs, struct bio *bio, struct chunk_list *cl)
{
	sector_t chunk = get_chunk(cs->sector_shift, cs->chunk_mask, cs->chunk_shift, bio->bi_sector);
	u64 pos = (u64)bio->bi_sector << cs->sector_shift;
	u64 end = (chunk + 1) * cs->chunk_size;
	struct bio_pair *bp;

	cl[0].chunk = chunk;
	cl[0].bio = bio;
	if (pos + bio->bi_size <= end)
		return 1;
	bp = bio_split(bio, (int)((end - pos) >> cs->sector_shift));
	if (!bp)
		return 0;
	cl[0].bio = &bp->bio1;
	cl[1].chunk = chunk + 1;
	cl[1].bio = &bp->bio2;
	/* The halves hold the pair now; the submitted bio completes after both. */
	bio_pair_release(bp);
	return 2;
}

/*
 * Every bio on a snapshot device. Process context of the submitter; sleeps.
 * Holds the device record's IO reference from the look-up to the return, so the
 * record and its session outlive the handling here; completions that come later
 * hold what they need themselves (a session user reference, a file copy).
 */
int __virt_request(struct request_queue *q, struct bio *bio)
{
	struct blkdev_replica *clone;
	struct cow_session *cs;
	struct block_device *bdev;
	make_request_fn *mrf;
	struct chunk_list cl[2];
	struct handle_io hio;
	LIST_HEAD(lf);
	int rw = virt_bio_is_write(bio);
	int qel = is_qel_process();
	int n, i, ret;

	clone = get_blkdev_replica(MINOR(bio->bi_bdev->bd_dev));
	if (clone && clone->q != q) {
		/*
		 * The bio came in on the queue of a device removed since: its slot now
		 * holds another snapshot, whose image it must not read or change.
		 */
		put_blkdev_replica(clone);
		clone = NULL;
	}
	if (!clone) {
		printk(KERN_ERR "%s: ERROR: IO on virtual device without clone!\n", VEK_TAG);
		virt_fail_bio(bio, qel);
		return 0;
	}
	cs = clone->cs;

	if (!is_valid_session(cs)) {
		if (!qel && cached_io(cs, bio, rw)) {
			bio_endIO(bio, 0);
			goto out;
		}
		if (rw || qel)
			goto fail;
	} else if (rw && cs->cts) {
		record_change(cs->cts, bio, 1);
	}

	bdev = clone->bdev;
	if (!bdev)
		goto fail;
	if (bdev->bd_contains)
		bdev = bdev->bd_contains;
	mrf = get_mrf_fn(bdev);
	if (!mrf)
		goto fail;

	if (bio->bi_size > PAGE_SIZE)
		printk(KERN_ERR "%s: ERROR: bio larger than page, this is bad.\n", VEK_TAG);

	memset(cl, 0, sizeof(cl));
	n = virt_make_entries(cs, bio, cl);
	if (!n)
		goto fail;

	down(&session_work_lock);
	lock_heartbeat();
	hio.submitted = 0;
	hio.cs = cs;
	hio.cl = NULL;
	hio.bdev = bdev;
	hio.mrf = mrf;
	hio.bio = bio;
	hio.clone = clone;
	hio.lf = &lf;
	for (i = 0; i < n; i++)
		prep_chunk_list(cs, &cl[i], rw);
	up(&session_work_lock);

	for (i = 0; i < n; i++) {
		hio.cl = &cl[i];
		hio.bio = cl[i].bio;
		ret = rw ? handle_virt_write(&hio) : handle_virt_read(&hio);
		if (ret < 0) {
			int j;

			for (j = i; j < n; j++)
				unprep_chunk_list(cs, &cl[j]);
			virt_fail_entries(bio, cl, i, n, qel);
			goto out;
		}
	}
	goto out;

fail:
	virt_fail_bio(bio, qel);
out:
	put_blkdev_replica(clone);
	return 0;
}

/* ---- simple page cache ---- */

static struct simple_cached_page *alloc_cached_page(void)
{
	struct simple_cached_page *scp;

	scp = (struct simple_cached_page *)kmalloc(sizeof(*scp), GFP_NOIO);
	if (!scp)
		scp = (struct simple_cached_page *)kmalloc(sizeof(*scp), GFP_NOIO);
	return scp;
}

/* spc->lock held. The entry for sector, or null. */
static struct simple_cached_page *spc_find(struct simple_page_cache *spc, sector_t sector)
{
	struct simple_cached_page *it;

	list_for_each_entry(it, &spc->list, list)
		if (it->sector == sector)
			return it;
	return NULL;
}

/*
 * spc->lock held. The entry a write to sector goes to: the sector's own, or in a full
 * cache the least recently used one, which then takes the sector (*renamed set). Null
 * when a new entry is needed.
 */
static struct simple_cached_page *spc_claim(struct simple_page_cache *spc, sector_t sector,
					    int *renamed)
{
	struct simple_cached_page *scp = spc_find(spc, sector);

	if (scp || spc->size < VEK_SPC_MAX || list_empty(&spc->list))
		return scp;
	scp = list_entry(spc->list.prev, struct simple_cached_page, list);
	scp->sector = sector;
	*renamed = 1;
	return scp;
}

/* A cleared page for a new entry; may sleep, so never under spc->lock. */
static struct simple_cached_page *spc_new_entry(sector_t sector)
{
	struct simple_cached_page *scp = alloc_cached_page();
	char *cache;

	if (!scp)
		return NULL;
	scp->page = alloc_one_page();
	if (!scp->page) {
		kfree(scp);
		return NULL;
	}
	scp->sector = sector;
	cache = (char *)kmap_atomic(scp->page, KM_USER0);	/* the page may be high memory */
	memset(cache, 0, PAGE_SIZE);
	kunmap_atomic(cache, KM_USER0);
	return scp;
}

/* spc->lock held: the copy between the entry and the bio's single segment. */
static void spc_copy(struct simple_cached_page *scp, struct bio_vec *bv, int rw, int renamed)
{
	unsigned int len = bv->bv_len > PAGE_SIZE ? PAGE_SIZE : bv->bv_len;
	char *cache = (char *)kmap_atomic(scp->page, KM_USER0);
	char *data = (char *)kmap_atomic(bv->bv_page, KM_USER1);

	if (rw) {
		memcpy(cache, data + bv->bv_offset, len);
		if (renamed)
			memset(cache + len, 0, PAGE_SIZE - len);
	} else {
		memcpy(data + bv->bv_offset, cache, len);
	}
	kunmap_atomic(data, KM_USER1);
	kunmap_atomic(cache, KM_USER0);
}

/*
 * Serves a single-page bio of another process than the agent once the session
 * is no longer valid: a write keeps its data under its start sector, a read at
 * that sector gets it back. Bytes no write at the entry's sector has filled read
 * as zeros (a new page is cleared, a page taken over from another sector is
 * cleared past the new write). 1 when served. Process context.
 *
 * The copy is made under the lock with the entry left in the list: an entry taken
 * out for the copy let a write to its sector meanwhile add a second entry, which
 * the older one then hid when it went back in front, and reads at that sector
 * returned data older than a completed write. A new entry is allocated outside
 * the lock, so the look-up is made again before it goes in.
 */
int cached_io(struct cow_session *cs, struct bio *bio, int rw)
{
	struct simple_page_cache *spc = cs->spc;
	struct simple_cached_page *scp, *fresh = NULL;
	struct bio_vec *bv = bio->bi_io_vec;
	unsigned long flags;
	int renamed = 0;

	if (!spc || bio->bi_size > PAGE_SIZE || bio->bi_vcnt != 1 || !bv || !bv->bv_page)
		return 0;

	spin_lock_irqsave(&spc->lock, flags);
	scp = rw ? spc_claim(spc, bio->bi_sector, &renamed) : spc_find(spc, bio->bi_sector);
	if (!scp && !rw) {
		spin_unlock_irqrestore(&spc->lock, flags);
		return 0;
	}
	if (!scp) {
		spin_unlock_irqrestore(&spc->lock, flags);
		fresh = spc_new_entry(bio->bi_sector);
		if (!fresh)
			return 0;
		spin_lock_irqsave(&spc->lock, flags);
		/* Another write may have added the sector, or filled the cache, meanwhile. */
		scp = spc_claim(spc, bio->bi_sector, &renamed);
		if (!scp) {
			scp = fresh;
			fresh = NULL;
			list_add(&scp->list, &spc->list);
			spc->size++;
		}
	}
	spc_copy(scp, bv, rw, renamed);
	list_move(&scp->list, &spc->list);
	spin_unlock_irqrestore(&spc->lock, flags);

	if (fresh) {
		__free_page(fresh->page);
		kfree(fresh);
	}
	return 1;
}

/* ---- copies between a bio and an in-flight chunk's pages ---- */

/*
 * Copies the overlap of a bio segment at device byte bio_bvec_disk_pos and a
 * chunk segment at if_bvec_disk_pos: into the chunk page when rw is 1, into the
 * bio page otherwise. The caller has checked that the two ranges overlap.
 */
unsigned int bvec_to_if_bvec(struct bio_vec *bio_bvec, loff_t bio_bvec_disk_pos,
			     struct bio_vec *if_bvec, loff_t if_bvec_disk_pos, int rw)
{
	u32 a = if_bvec_disk_pos > bio_bvec_disk_pos ? (u32)(if_bvec_disk_pos - bio_bvec_disk_pos) : 0;
	u32 b = bio_bvec_disk_pos > if_bvec_disk_pos ? (u32)(bio_bvec_disk_pos - if_bvec_disk_pos) : 0;
	u32 len = min_t(u32, if_bvec->bv_len - b, bio_bvec->bv_len - a);
	char *bio_addr, *if_addr;

	bio_addr = (char *)kmap_atomic(bio_bvec->bv_page, KM_USER0);
	if_addr = (char *)kmap_atomic(if_bvec->bv_page, KM_USER1);
	if (rw)
		memcpy(if_addr + if_bvec->bv_offset + b, bio_addr + bio_bvec->bv_offset + a, len);
	else
		memcpy(bio_addr + bio_bvec->bv_offset + a, if_addr + if_bvec->bv_offset + b, len);
	kunmap_atomic(if_addr, KM_USER1);
	kunmap_atomic(bio_addr, KM_USER0);
	return len;
}

/* Caller holds ic's virt_lock (or is the copier holding it from birth). */
unsigned int bvec_to_if_chunk(struct cow_session *cs, struct if_chunk *ic,
			      struct bio_vec *bio_bvec, loff_t bio_bvec_disk_pos, int rw)
{
	loff_t bio_end = bio_bvec_disk_pos + bio_bvec->bv_len;
	struct file_copy *fc;
	unsigned int total = 0;
	int i;

	list_for_each_entry(fc, &ic->fc_list_head, fc_list) {
		struct bio *cb = fc->bio;
		loff_t pos = fc->disk_start;

		if (!cb)
			continue;
		for (i = 0; i < cb->bi_vcnt; i++) {
			struct bio_vec *iv = &cb->bi_io_vec[i];

			if (pos < bio_end && bio_bvec_disk_pos < pos + (loff_t)iv->bv_len)
				total += bvec_to_if_bvec(bio_bvec, bio_bvec_disk_pos, iv, pos, rw);
			pos += iv->bv_len;
		}
	}
	return total;
}

/* Copies the whole bio, from its first segment, between it and ic's pages. */
unsigned int io_on_if_chunk(struct cow_session *cs, struct if_chunk *ic, struct cow_chunk *cc,
			    struct bio *bio, int rw)
{
	loff_t pos = (loff_t)bio->bi_sector << cs->sector_shift;
	unsigned int total = 0;
	int i;

	for (i = 0; i < bio->bi_vcnt; i++) {
		struct bio_vec *bv = &bio->bi_io_vec[i];

		total += bvec_to_if_chunk(cs, ic, bv, pos, rw);
		pos += bv->bv_len;
	}
	return total;
}
