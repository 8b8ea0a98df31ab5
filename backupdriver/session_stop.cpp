/*
 * session_stop.cpp - ending a snapshot session: stop_cow_session makes it inert and waits
 * for everybody holding a reference, put_cow_session frees what it owns. The change-tracking
 * session of the source outlives both.
 */
#include "cow.h"

#include <linux/kernel.h>
#include <linux/mm.h>
#include <linux/sched.h>

static inline void session_count_add(int delta)
{
	__atomic_add_fetch(&session_count, delta, __ATOMIC_RELAXED);
}

static void wake_io_threads(struct io_thread_info *ti)
{
	for (int i = 0; i < VEK_IO_THREADS; i++) {
		struct io_thread *t = ti->io_threads[i];

		if (t && atomic_read(&t->started) > 0)
			wake_up_all(&t->io_wait);
	}
}

/*
 * workLock and session_list_lock held. Takes a session off the list for its stop, marked as
 * stopping in the same step: unlisted, source writes no longer copy its chunks, so from
 * then on its snapshot device must not read the source as if they did.
 */
void __unlist_stopping_session(struct cow_session *cs)
{
	atomic_set(&cs->sd, 1);
	list_del_init(&cs->list);
}

/* workLock held. */
void unlist_stopping_session(struct cow_session *cs)
{
	down(&session_list_lock);
	lock_heartbeat();
	__unlist_stopping_session(cs);
	up(&session_list_lock);
}

/*
 * Process context, workLock held; at most once per session. 0, or 1 when the source
 * queue's own request function could not be restored (the rest is done anyway).
 */
int stop_cow_session(struct cow_session *cs)
{
	int result = 0;

	/* From here on the request path hands out no new references. */
	atomic_set(&cs->sd, 1);

	if (cs->clone_id > 0)
		blkdev_unclone(cs->clone_id);

	if (cs->set_mrf == 1) {
		if (unset_mrf(cs->smrf)) {
			printk(KERN_ERR "%s: ERROR: could not set MRF to original MRF for device "
			       "(%d,%d)\n", VEK_TAG, MAJOR(cs->dev), MINOR(cs->dev));
			result = 1;
		}
		cs->set_mrf = 0;
	}

	if (cs->thread_info) {
		atomic_inc(&cs->thread_info->io_threads_stop);
		wake_io_threads(cs->thread_info);
		/*
		 * A ThreadWaitTimeout still waiting holds a user reference, and no worker can
		 * come for a session that stops: let it go now rather than after its 30 s.
		 */
		complete_all(&cs->thread_info->io_thread_done);
	}

	/* Nothing wakes this wait: the last holders (workers, requests) just drop out. */
	while (get_users(cs) != 0)
		yield();

	/*
	 * No worker serves the session any more and no request can queue to it. Transfers
	 * still queued had none to serve them (none ever registered): fail and release
	 * them, as NoThreadShutdown does, or their records, pages and charges stay behind.
	 */
	if (cs->thread_info)
		runIOCleanup(cs);

	if (cs->cow_file) {
		kernel_close_file(cs->cow_file);
		cs->cow_file = NULL;
	}

	if (cs->counted) {
		session_count_add(-1);
		cs->counted = 0;
	}
	return result;
}

void clean_spc(struct simple_page_cache *spc)
{
	struct simple_cached_page *scp, *next;

	list_for_each_entry_safe(scp, next, &spc->list, list) {
		list_del(&scp->list);
		if (scp->page)
			__free_page(scp->page);
		kfree(scp);
	}
	spc->size = 0;
}

void rb_free_node_and_page(struct rb_root *root)
{
	struct rb_node *first;

	while ((first = rb_first(root)) != NULL) {
		struct rb_cache *node = rb_entry(first, struct rb_cache, node);

		rb_erase(first, root);
		if (node->p) {
			__free_page(node->p);
			node->p = NULL;
		}
		put_rb_cache(node);
	}
}

void rb_free_node(struct rb_root *root)
{
	struct rb_node *first;

	while ((first = rb_first(root)) != NULL) {
		rb_erase(first, root);
		put_rb_cache(rb_entry(first, struct rb_cache, node));
	}
}

/*
 * Frees a session and everything it owns; works on partially built sessions. Not released
 * here: cts (change tracking owns it), cow_file (closed by the stop).
 */
void put_cow_session(struct cow_session *cs)
{
	if (!cs)
		return;

	kfree(cs->errorMsg);
	cs->errorMsg = NULL;

	if (cs->thread_info) {
		free_io_threads(cs->thread_info);
		kfree(cs->thread_info);
		cs->thread_info = NULL;
	}

	kfree(cs->snap_info);
	cs->snap_info = NULL;
	kfree(cs->other_info);
	cs->other_info = NULL;

	if (cs->spc) {
		clean_spc(cs->spc);
		kfree(cs->spc);
		cs->spc = NULL;
	}

	if (cs->smrf) {
		put_smrf(cs->smrf);
		cs->smrf = NULL;
	}

	if (cs->chunk_table.table)
		put_cow_chunk_table(&cs->chunk_table);
	if (cs->if_table.table)
		put_cow_if_table(&cs->if_table);

	rb_free_node_and_page(&cs->page_tree);
	rb_free_node(&cs->block_tree);

	if (cs->bdev) {
		bdput(cs->bdev);
		cs->bdev = NULL;
	}
	kfree(cs);
}

/*
 * workLock held. Stops every listed session, leaving them listed. The driver's shutdown
 * does not use it: a listed session may be pinned by the watchdog after its stop waited
 * for users, so a caller must have no watchdog running.
 */
void stop_all_cow_sessions(void)
{
	struct cow_session *cs;

	list_for_each_entry(cs, &session_list_head, list)
		stop_cow_session(cs);
}

/* workLock held, every session stopped. Frees them all and leaves the list empty. */
void put_all_cow_sessions(void)
{
	struct cow_session *cs, *next;

	down(&session_list_lock);
	lock_heartbeat();
	list_for_each_entry_safe(cs, next, &session_list_head, list) {
		list_del_init(&cs->list);
		put_cow_session(cs);
	}
	up(&session_list_lock);
}
