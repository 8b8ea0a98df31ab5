/*
 * fc.cpp - file_copy records, chunk-to-worker assignment and serving a queued chunk.
 *
 * The backing store is one file per IO worker, each a headerless array of chunk slots.
 * A chunk is bound to one worker and one slot the first time it is submitted and keeps
 * both for the session's life, so every later transfer of it meets the same file.
 */
#include <linux/kernel.h>
#include <linux/list.h>
#include <linux/spinlock.h>
#include <linux/semaphore.h>
#include <linux/wait.h>
#include <linux/completion.h>
#include <linux/bio.h>
#include <linux/mm.h>

#include "cow.h"

/*
 * Fill a freshly allocated transfer. sector_offset is the partition start for copies
 * from the source (whose bios carry disk sectors) and 0 for snapshot-device bios, so
 * disk_start is always a byte offset from the start of the session's device.
 */
void init_fc(struct file_copy *fc, struct cow_chunk *cc, struct bio *bio, sector_t chunk_size,
	     sector_t sector_offset, sector_t sector_shift, file_copy_end_io *end_io,
	     unsigned long rw)
{
	fc->rw = rw;
	fc->bio = bio;
	fc->cc = cc;
	init_completion(&fc->event);
	fc->file_start = 0;
	fc->disk_start = (loff_t)((bio->bi_sector - sector_offset) << sector_shift);
	fc->size = 0;
	fc->end_io = end_io;
	INIT_LIST_HEAD(&fc->fc_list);
}

/* Returns the bytes bio_add_page took: 0 means the bio is full. */
int fc_add_page(struct file_copy *fc, struct page *page)
{
	int ret = bio_add_page(fc->bio, page, PAGE_SIZE, 0);

	fc->size = fc->bio->bi_size;
	return ret;
}

void fc_endio(struct file_copy *fc, int err)
{
	if (fc->end_io)
		fc->end_io(fc, err);
}

/* The chunk's slot offset plus the bio's offset inside its chunk. */
void calc_fc_file_start(struct file_copy *fc, sector_t chunk_size)
{
	struct cow_chunk *cc = fc->cc;

	fc->file_start = (loff_t)(cc->new_chunk * chunk_size) + fc->disk_start -
			 (loff_t)(cc->old_chunk * chunk_size);
}

/*
 * Caller: io_threads_lock held. Binds the chunk to worker old_chunk mod n (worker 0 while
 * none has registered: workers take slots from 0, so the first one finds it there) and
 * hands out that worker's next slot.
 */
static void __assign_chunk(struct io_thread_info *ti, struct cow_chunk *cc)
{
	u32 n = (u32)atomic_read(&ti->io_threads_started);
	struct io_thread *iot;

	cc->thread = n ? (int)(cc->old_chunk % n) : 0;
	iot = ti->io_threads[cc->thread];
	cc->new_chunk = iot->thread_pos;
	iot->thread_pos++;
}

/*
 * Caller: io_threads_lock held. The slot's worker has left (or none ever came) and no other
 * will come.
 */
static int slot_retired(struct cow_session *cs, struct io_thread *iot)
{
	return (atomic_read(&iot->started) <= 0 || atomic_read(&iot->retired)) &&
	       (atomic_read(&cs->thread_info->io_threads_stop) > 0 || is_error(cs));
}

/*
 * A transfer nobody will serve: end it with -5 now (a snapshot read then fails rather than
 * waiting forever; copy pages are freed) and drop the reference meant for the queue. The
 * chunk's own semaphores are its submitter's business: held by a copier, free on a
 * private read record.
 */
static void release_unserved(struct if_chunk *ic, struct cow_session *cs)
{
	cleanup_ic(ic, cs);
	put_and_dec_if(cs, ic);
}

/*
 * Queue a chunk to its worker. The caller has taken the reference that the queue owns;
 * the worker drops it after serving. Any context: takes only io_threads_lock.
 */
void submit_ic_file_io(struct if_chunk *ic, struct cow_session *cs)
{
	struct io_thread_info *ti = cs->thread_info;
	struct cow_chunk *cc = ic->cc;
	struct io_thread *iot;
	unsigned long flags;

	spin_lock_irqsave(&ti->io_threads_lock, flags);
	if (cc->thread < 0)
		__assign_chunk(ti, cc);
	iot = ti->io_threads[cc->thread];
	if (slot_retired(cs, iot)) {
		spin_unlock_irqrestore(&ti->io_threads_lock, flags);
		release_unserved(ic, cs);
		return;
	}
	list_add_tail(&ic->submit_list, &iot->io_list);
	if (ic->anon == 0)
		atomic_inc(&iot->pending_io);
	else
		atomic_inc(&iot->pending_anon_io);
	/*
	 * A worker woken below its batch size would only test its condition and sleep again:
	 * one context switch per preserved chunk. Wake it when the condition holds.
	 */
	if (worker_has_work(cs, iot))
		wake_up(&iot->io_wait);
	spin_unlock_irqrestore(&ti->io_threads_lock, flags);
}

/* Worker context: transfer and release every file_copy of the chunk, in order. */
void do_file_io(struct cow_session *cs, struct user_buffer *ub, struct if_chunk *ic,
		struct file *file)
{
	struct file_copy *fc, *next;

	list_for_each_entry_safe(fc, next, &ic->fc_list_head, fc_list) {
		list_del_init(&fc->fc_list);
		calc_fc_file_start(fc, cs->chunk_size);
		io_on_chunk(cs, ub, fc, file);
		put_file_copy(fc, cs);
	}
}

/*
 * Worker context, process of the agent: ic has already left the shared queue (it sits on
 * the worker's private list). virt_lock keeps snapshot reads of this chunk from looking at
 * its pages while they move; processed tells them the data is now in the file.
 */
void do_ic_io(struct cow_session *cs, struct if_chunk *ic, struct user_buffer *ub,
	      struct file *file)
{
	list_del_init(&ic->submit_list);
	down(&ic->virt_lock);
	lock_heartbeat();
	do_file_io(cs, ub, ic, file);
	atomic_inc(&ic->processed);
	up(&ic->virt_lock);
	put_and_dec_if(cs, ic);
}
