/*
 * cow_virt_write.cpp - writes to a snapshot device. They change the snapshot
 * image only: the data goes into the chunk's preserved copy (the pages of a copy
 * still in flight, or the chunk's place in the backing store), never to the
 * source. A chunk not yet preserved is copied from the source first, with the
 * write merged into the copied pages.
 */
#include <linux/kernel.h>
#include <linux/list.h>
#include <linux/semaphore.h>
#include <linux/bio.h>

#include "cow.h"

/*
 * This entry published the in-flight record (both semaphores held): copy the
 * chunk with the write merged in, then publish the copy record. Sleeps for the
 * source read of the whole chunk.
 */
static int virt_write_new_chunk(struct handle_io *hio)
{
	struct cow_session *cs = hio->cs;
	struct chunk_list *cl = hio->cl;
	struct if_chunk *ic = cl->ic;
	unsigned int copied = 0;
	int err;

	/* Source writes held on this chunk, and snapshot IO waiting on it, go on after this. */
	err = publish_chunk_copy(cs, cl, copy_chunk(cs, ic, hio->bdev, hio->mrf, NULL, hio->bio,
						     &copied));
	/* The data is in the record's pages, where reads find it until the worker stored it. */
	bio_endIO(hio->bio, err);
	return copied;
}

/*
 * Someone else's copy of the chunk is in flight. Merges the write into its
 * pages while the worker has not stored them; returns 1 when it did, 0 when the
 * chunk is already in the backing store, -1 on failure. Drops the entry's
 * reference on the record in every case.
 */
static int virt_write_in_flight(struct handle_io *hio, unsigned int *copied)
{
	struct cow_session *cs = hio->cs;
	struct chunk_list *cl = hio->cl;
	struct if_chunk *ic = cl->ic;
	unsigned long flags;
	int merged = 0;

	if (!cl->cc) {
		/* Wait until the copier has published its copy record. */
		down(&ic->virt_lock);
		lock_heartbeat();
		up(&ic->virt_lock);
		spin_lock_irqsave(&cs->chunk_lock, flags);
		cl->cc = get_cow_chunk(&cs->chunk_table, cl->chunk);
		spin_unlock_irqrestore(&cs->chunk_lock, flags);
		if (!cl->cc) {
			invalidate_session(cs, "NO CHUNK");
			put_and_dec_if(cs, ic);
			cl->ic = NULL;
			return -1;
		}
	}
	down(&ic->virt_lock);
	lock_heartbeat();
	if (atomic_read(&ic->processed) < 1) {
		/* The worker stores the merged data with the rest of the chunk. */
		*copied += io_on_if_chunk(cs, ic, cl->cc, hio->bio, 1);
		merged = 1;
	}
	up(&ic->virt_lock);
	put_and_dec_if(cs, ic);
	cl->ic = NULL;
	if (merged)
		bio_endIO(hio->bio, 0);
	return merged;
}

/*
 * Serves one chunk entry of a write. Process context; sleeps. Returns the bytes
 * merged into in-flight pages (0 when the data goes to the backing store by a
 * transfer of its own), or -1 with the entry's bio not ended.
 */
int handle_virt_write(struct handle_io *hio)
{
	struct chunk_list *cl = hio->cl;
	unsigned int copied = 0;
	int ret;

	if (cl->ic && cl->new_ic)
		return virt_write_new_chunk(hio);
	if (cl->ic) {
		ret = virt_write_in_flight(hio, &copied);
		if (ret < 0)
			return -1;
		if (ret > 0)
			return copied;
	}
	ret = virt_store_io(hio, hio->cl->cc, 1);
	return ret < 0 ? -1 : (int)copied;
}
