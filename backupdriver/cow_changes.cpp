/*
 * cow_changes.cpp - the change record queue: one record per write to a tracked source or
 * to a snapshot device with change tracking, queued in arrival order and handed to the
 * agent in blocking batches, in either of the two user formats.
 *
 * record_list is guarded by record_list_lock (irqsave): writers append from any request
 * path, fetches take from the head. record_list_lenght and record_list_unblock are atomic
 * so that the fetch's wait condition can read them without the lock.
 */
#include <linux/kernel.h>
#include <linux/string.h>
#include <linux/list.h>
#include <linux/slab.h>
#include <linux/spinlock.h>
#include <linux/wait.h>
#include <linux/sched.h>
#include <linux/atomic.h>
#include <linux/uaccess.h>
#include <linux/genhd.h>
#include <linux/fs.h>
#include <linux/bio.h>

#include "cow.h"

#define VEK_SECTOR_SIZE 512

/* ---- recording ---- */

/*
 * Request path of any writer, any processor; never sleeps. A record that cannot be made
 * breaks tracking of its source instead of failing or delaying the write.
 */
/* rec->num_sectors from start on, cut to the source's sectors and made relative to it. */
static void clip_to_source(struct ct_session *cts, sector_t start, struct change_record *rec)
{
	sector_t end = start + rec->num_sectors;
	sector_t stop = cts->start_sect + cts->nr_sects;

	if (start < cts->start_sect)
		start = cts->start_sect;
	if (end > stop)
		end = stop;
	rec->start_sector = start - cts->start_sect;
	rec->num_sectors = end > start ? end - start : 0;
}

void record_change(struct ct_session *cts, struct bio *bio, int virt)
{
	struct change_record *rec;
	unsigned long flags;

	if (!cts || atomic_read(&cts->missed_write))
		return;
	rec = alloc_change_record();
	if (!rec) {
		cts_set_error(cts);
		return;
	}
	memset(rec, 0, sizeof(*rec));
	rec->num_sectors = bio->bi_size / VEK_SECTOR_SIZE;
	if (bio->bi_size % VEK_SECTOR_SIZE)
		rec->num_sectors++;
	if (virt) {
		/* A snapshot device write names the snapshot device itself. */
		rec->major = bio->bi_bdev->bd_disk->major;
		rec->minor = bio->bi_bdev->bd_disk->first_minor;
		rec->start_sector = bio->bi_sector;
	} else {
		/*
		 * The bio is remapped to the whole disk; report the part of it that lies in
		 * the source, within the source. A whole-disk write may begin before it or
		 * run on past its end.
		 */
		rec->major = cts->dev >> 20;
		rec->minor = cts->dev & 0xfffff;
		clip_to_source(cts, bio->bi_sector, rec);
	}
	rec->cts = cts;

	spin_lock_irqsave(&record_list_lock, flags);
	list_add_tail(&rec->list, &record_list);
	atomic_inc(&record_list_lenght);
	wake_up_all(&record_list_wait_queue);
	spin_unlock_irqrestore(&record_list_lock, flags);
}

/* ---- fetching ---- */

/* Caller holds record_list_lock: one kernel array entry in the command's format. */
typedef void (fill_record_fn)(void *cru, int i, const struct change_record *rec);

static void fill_record_v1(void *cru, int i, const struct change_record *rec)
{
	struct change_record_usr *e = (struct change_record_usr *)cru + i;

	/* The old format has room for 16 bits only. */
	e->major = (u16)rec->major;
	e->minor = (u16)rec->minor;
	e->start_sector = rec->start_sector;
	e->num_sectors = rec->num_sectors;
}

static void fill_record_v2(void *cru, int i, const struct change_record *rec)
{
	struct change_record_usr_v2 *e = (struct change_record_usr_v2 *)cru + i;

	e->major = rec->major;
	e->minor = rec->minor;
	e->start_sector = rec->start_sector;
	e->num_sectors = rec->num_sectors;
}

/*
 * Command context; may sleep until `size` records are queued, an unblock arrives or a
 * signal is pending (then it takes what there is). Fills `cru` and, when given, `owners`
 * with the change-tracking session of each record taken. Returns the number taken.
 */
static int take_changed_records(int size, int *tracking, int *inqueue, void *cru,
				fill_record_fn *fill, struct ct_session **owners)
{
	struct change_record *rec;
	unsigned long flags;
	int n = 0;

	if (size > atomic_read(&record_list_lenght) && !atomic_read(&record_list_unblock))
		wait_event_interruptible(record_list_wait_queue,
					 size <= atomic_read(&record_list_lenght) ||
					 atomic_read(&record_list_unblock));
	/* One-shot: an unblock releases this fetch only. */
	atomic_set(&record_list_unblock, 0);
	*tracking = any_cts_has_error() ? 0 : 1;

	spin_lock_irqsave(&record_list_lock, flags);
	while (n < size && !list_empty(&record_list)) {
		rec = list_first_entry(&record_list, struct change_record, list);
		list_del(&rec->list);
		if (atomic_read(&rec->cts->missed_write) == 1)
			*tracking = 0;
		fill(cru, n, rec);
		if (owners)
			owners[n] = rec->cts;
		put_change_record(rec);
		atomic_dec(&record_list_lenght);
		n++;
	}
	*inqueue = atomic_read(&record_list_lenght);
	spin_unlock_irqrestore(&record_list_lock, flags);
	return n;
}

int ioctl_get_changed_records(struct change_recrod_request *crr, struct change_record_usr *cru)
{
	return take_changed_records(crr->size, &crr->tracking, &crr->inqueue, cru,
				    fill_record_v1, NULL);
}

int ioctl_get_changed_records_v2(struct change_recrod_request_v2 *crr,
				 struct change_record_usr_v2 *cru)
{
	return take_changed_records(crr->size, &crr->tracking, &crr->inqueue, cru,
				    fill_record_v2, NULL);
}

/* A zeroed kernel array of `size` entries; null for a negative size or no memory. */
static void *alloc_cru(int size, size_t entry_size)
{
	if (size < 0)
		return NULL;
	return kcalloc(size ? size : 1, entry_size, GFP_KERNEL);
}

/*
 * Records already taken from the queue could not be handed over: their sources' changes
 * are lost, so their tracking is broken and the next fetch must say so. Without the
 * owners array (no memory for it) every started session is marked.
 */
static void mark_lost_records(struct ct_session **owners, int n)
{
	if (n <= 0)
		return;
	if (owners)
		cts_set_error_lost(owners, n);
	else
		error_all_cts();
}

/*
 * Shared by both fetch commands: `crr` is the kernel copy of the 24-byte request, read
 * from `arg`; `ucru` its array address as sent. Process context, may sleep.
 */
static int get_changed_records(unsigned long arg, void *crr, int *size, int *tracking,
			       int *inqueue, void __user *ucru, size_t entry_size,
			       fill_record_fn *fill)
{
	struct ct_session **owners;
	void *cru;
	int n;

	cru = alloc_cru(*size, entry_size);
	if (!cru) {
		printk(KERN_ERR "%s: ERROR: Could not allocate cru.\n", VEK_TAG);
		return -1;
	}
	/* Only needed if the copy-out fails; without it that failure marks every source. */
	owners = (struct ct_session **)kcalloc(*size ? *size : 1, sizeof(*owners), GFP_KERNEL);

	n = take_changed_records(*size, tracking, inqueue, cru, fill, owners);

	if (copy_to_user((void __user *)arg, crr, sizeof(struct change_recrod_request))) {
		printk(KERN_ERR "%s: ERROR: Failed to copy crr to user space, change tracking is now being disabled.\n",
		       VEK_TAG);
		goto lost;
	}
	if (copy_to_user(ucru, cru, (size_t)*size * entry_size)) {
		printk(KERN_ERR "%s: ERROR: failed to copy cru to user space, change tracking is now being disabled.\n",
		       VEK_TAG);
		goto lost;
	}
	kfree(owners);
	kfree(cru);
	return n;

lost:
	mark_lost_records(owners, n);
	kfree(owners);
	kfree(cru);
	return -1;
}

/* GetChangedRecords: format 1, 16-bit device numbers. */
int handle_ioctlGetChangedRecords(unsigned long arg)
{
	struct change_recrod_request crr;

	if (copy_from_user(&crr, (const void __user *)arg, sizeof(crr))) {
		printk(KERN_ERR "%s: ERROR: Could not copy request from user space.", VEK_TAG);
		return -1;
	}
	return get_changed_records(arg, &crr, &crr.size, &crr.tracking, &crr.inqueue,
				   (void __user *)crr.cru, sizeof(struct change_record_usr),
				   fill_record_v1);
}

/* GetChangedRecordsV2: format 2, every field 64-bit. */
int handle_ioctlGetChangedRecordsV2(unsigned long arg)
{
	struct change_recrod_request_v2 crr;

	if (copy_from_user(&crr, (const void __user *)arg, sizeof(crr))) {
		printk(KERN_ERR "%s: ERROR: Could not copy request from user space.", VEK_TAG);
		return -1;
	}
	return get_changed_records(arg, &crr, &crr.size, &crr.tracking, &crr.inqueue,
				   (void __user *)crr.cru, sizeof(struct change_record_usr_v2),
				   fill_record_v2);
}

/* UnblockChangeRecords: releases the waiting fetches, or else the next one, once. */
int handle_ioctlUnblockChangeRecords(unsigned long arg)
{
	atomic_inc(&record_list_unblock);
	wake_up_all(&record_list_wait_queue);
	return 0;
}

/* ---- emptying ---- */

static void free_record_list(struct list_head *list)
{
	struct change_record *rec, *next;

	list_for_each_entry_safe(rec, next, list, list) {
		list_del(&rec->list);
		put_change_record(rec);
	}
}

/*
 * Release context, last close of the control device: the queued changes will never reach
 * the agent, so each record's source is marked broken as it is dropped.
 */
void safe_flush_changed_records(void)
{
	struct change_record *rec, *next;
	unsigned long flags;
	LIST_HEAD(dead);

	spin_lock_irqsave(&record_list_lock, flags);
	list_for_each_entry_safe(rec, next, &record_list, list) {
		list_move_tail(&rec->list, &dead);
		atomic_set(&rec->cts->missed_write, 1);
		atomic_dec(&record_list_lenght);
	}
	spin_unlock_irqrestore(&record_list_lock, flags);

	atomic_inc(&record_list_unblock);
	wake_up_all(&record_list_wait_queue);
	free_record_list(&dead);
}

/*
 * Unload: the change-tracking sessions may be gone already, so no record's session is
 * read. The lock is taken anyway: the shutdown command can run beside a fetch.
 */
void shutdown_flush_changed_recores(void)
{
	struct change_record *rec;
	unsigned long flags;
	LIST_HEAD(dead);

	atomic_inc(&record_list_unblock);
	wake_up_all(&record_list_wait_queue);

	spin_lock_irqsave(&record_list_lock, flags);
	list_for_each_entry(rec, &record_list, list)
		atomic_dec(&record_list_lenght);
	list_splice_init(&record_list, &dead);
	spin_unlock_irqrestore(&record_list_lock, flags);

	free_record_list(&dead);
}
