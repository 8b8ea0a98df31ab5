/*
 * session_cts.cpp - change-tracking sessions: one per tracked source, made with the first
 * snapshot that asks for change tracking, kept (and kept holding the disk's request
 * function) until unload, so writes go on producing change records between snapshots.
 *
 * ct_list_head has no lock of its own. Appends happen only in a session start (under
 * workLock), removals only at unload (under workLock and session_list_lock). Every other
 * walk holds session_list_lock (the request path, and the commands, which may run beside
 * the shutdown command), so nobody walks an entry being freed; but an append runs beside
 * those walks, so it stores the link that makes the entry reachable last, with release
 * order, and the walks read the links with acquire order: a walker sees either the old
 * list or the new entry whole.
 */
#include <linux/kernel.h>
#include <linux/list.h>
#include <linux/slab.h>
#include <linux/semaphore.h>
#include <linux/atomic.h>
#include <linux/genhd.h>
#include <linux/fs.h>
#include <linux/bio.h>

#include "cow.h"

struct list_head ct_list_head = LIST_HEAD_INIT(ct_list_head);

/* ---- list walking that tolerates a concurrent append ---- */

static inline struct list_head *cts_link_next(struct list_head *link)
{
	return __atomic_load_n(&link->next, __ATOMIC_ACQUIRE);
}

#define cts_entry(link) list_entry(link, struct ct_session, list)

#define for_each_listed_cts(cts)						\
	for (cts = cts_entry(cts_link_next(&ct_list_head));			\
	     &(cts)->list != &ct_list_head;					\
	     cts = cts_entry(cts_link_next(&(cts)->list)))

/* ---- life cycle ---- */

/* Process context, may sleep. The creator fills the identity and takes the smrf reference. */
struct ct_session *alloc_cts_session(void)
{
	struct ct_session *cts;

	cts = (struct ct_session *)kzalloc(sizeof(*cts), GFP_KERNEL);
	if (!cts)
		return NULL;
	atomic_set(&cts->missed_write, 0);
	atomic_set(&cts->started, 0);
	atomic_set(&cts->reset, 0);
	atomic_set(&cts->mapped, 0);
	INIT_LIST_HEAD(&cts->list);
	return cts;
}

/* Caller holds workLock (the only appender). */
void start_cts(struct ct_session *cts)
{
	struct list_head *tail;

	if (atomic_read(&cts->started))
		return;
	tail = ct_list_head.prev;
	cts->list.next = &ct_list_head;
	cts->list.prev = tail;
	ct_list_head.prev = &cts->list;
	/* Publish last: lockless walkers follow only the next links. */
	__atomic_store_n(&tail->next, &cts->list, __ATOMIC_RELEASE);
	atomic_set(&cts->started, 1);
}

/*
 * Request path of any writer, caller holds session_list_lock; never sleeps. The bio has
 * been remapped to the whole disk. The first covering session decides, even when broken:
 * a source with lost changes must not have its writes attributed elsewhere.
 */
struct ct_session *get_cts_session_bio(struct bio *bio)
{
	struct gendisk *disk;
	struct ct_session *cts;

	if (!bio || !bio->bi_bdev || !bio->bi_bdev->bd_disk)
		return NULL;
	disk = bio->bi_bdev->bd_disk;
	for_each_listed_cts(cts) {
		if (cts->major != disk->major || cts->first_minor != disk->first_minor)
			continue;
		/*
		 * The end is exclusive: the sector after a partition's last is the next
		 * partition's, and a write there recorded for this one lay outside it, so an
		 * incremental of the next partition missed it.
		 */
		if (bio->bi_sector < cts->start_sect ||
		    bio->bi_sector >= cts->start_sect + cts->nr_sects)
			continue;
		if (atomic_read(&cts->missed_write))
			return NULL;
		return cts;
	}
	return NULL;
}

/* Caller holds session_list_lock. 1 when cts is still listed (so not freed). */
int cts_listed(struct ct_session *cts)
{
	struct ct_session *it;

	for_each_listed_cts(it) {
		if (it == cts)
			return 1;
	}
	return 0;
}

/*
 * Every change-tracking session whose source the bio overlaps, in list order, into
 * found[0..max): a whole-disk write may touch several tracked partitions, or begin before
 * one and run into it, and each of them must learn of it. One that does not fit has missed
 * the write and is marked so. Request path, caller holds session_list_lock; never sleeps.
 */
int get_cts_sessions_bio(struct bio *bio, struct ct_session **found, int max)
{
	struct gendisk *disk;
	struct ct_session *cts;
	sector_t first, end;
	int n = 0;

	if (!bio || !bio->bi_bdev || !bio->bi_bdev->bd_disk)
		return 0;
	disk = bio->bi_bdev->bd_disk;
	bio_sector_range(bio, &first, &end);
	for_each_listed_cts(cts) {
		if (cts->major != disk->major || cts->first_minor != disk->first_minor)
			continue;
		if (first >= cts->start_sect + cts->nr_sects || end <= cts->start_sect)
			continue;
		if (n < max)
			found[n++] = cts;
		else
			cts_set_error(cts);
	}
	return n;
}

/* Any context; never sleeps. */
void cts_set_error(struct ct_session *cts)
{
	if (!cts)
		return;
	printk(KERN_INFO "%s: INFO: CTS has been disabled %d.%d[%llu+%llu]\n", VEK_TAG,
	       cts->major, cts->first_minor, (unsigned long long)cts->start_sect,
	       (unsigned long long)cts->nr_sects);
	atomic_set(&cts->missed_write, 1);
}

/* Command context; may sleep. Sessions made but not yet started are not touched. */
void error_all_cts(void)
{
	struct ct_session *cts;

	down(&session_list_lock);
	lock_heartbeat();
	for_each_listed_cts(cts) {
		if (atomic_read(&cts->started))
			cts_set_error(cts);
	}
	up(&session_list_lock);
}

/* ErrorCTS: the agent declares every tracked source's changes lost. */
int handle_ioctlErrorCTS(unsigned long arg)
{
	error_all_cts();
	return 0;
}

/*
 * Command context; may sleep. cts_set_error on each listed session named in `owners`
 * (the sessions of records a fetch could not hand over), once each. A session no longer
 * listed has been freed by the shutdown command and is skipped.
 */
void cts_set_error_lost(struct ct_session **owners, int n)
{
	struct ct_session *cts;
	int i;

	down(&session_list_lock);
	lock_heartbeat();
	for_each_listed_cts(cts) {
		for (i = 0; i < n; i++) {
			if (owners[i] == cts) {
				cts_set_error(cts);
				break;
			}
		}
	}
	up(&session_list_lock);
}

/* Command context; may sleep. */
int any_cts_has_error(void)
{
	struct ct_session *cts;
	int broken = 0;

	down(&session_list_lock);
	lock_heartbeat();
	for_each_listed_cts(cts) {
		if (atomic_read(&cts->started) && atomic_read(&cts->missed_write)) {
			broken = 1;
			break;
		}
	}
	up(&session_list_lock);
	return broken;
}

/* Release context (last close of the control device); may sleep. */
void clear_all_cts(void)
{
	struct cow_session *cs;

	down(&session_list_lock);
	lock_heartbeat();
	list_for_each_entry(cs, &session_list_head, list) {
		if (cs->cts)
			atomic_set(&cs->cts->missed_write, 1);
	}
	up(&session_list_lock);
}

/*
 * Unload, caller holds workLock, every snapshot session already stopped. First every
 * session gives up its hold on the disk's request function; then the sessions are
 * unlinked under session_list_lock: a source write records its change under that lock,
 * only into sessions still listed, so once it is had no write can still name them. Only
 * then do the queued records go (a fetch reads each record's session), and then the
 * sessions.
 */
void stop_all_cts(void)
{
	struct ct_session *cts, *next;
	LIST_HEAD(dead);

	if (list_empty(&ct_list_head))
		return;
	list_for_each_entry(cts, &ct_list_head, list) {
		unset_mrf(cts->smrf);
		put_smrf(cts->smrf);
		cts->smrf = NULL;
	}

	down(&session_list_lock);
	lock_heartbeat();
	list_splice_init(&ct_list_head, &dead);
	up(&session_list_lock);

	shutdown_flush_changed_recores();

	list_for_each_entry_safe(cts, next, &dead, list) {
		list_del(&cts->list);
		kfree(cts);
	}
}
