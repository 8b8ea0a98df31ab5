/*
 * session.cpp - the session registry: the list of running snapshot sessions, how a bio or a
 * command finds its session, the user references that let a stop wait for everybody, and
 * the session state flags.
 *
 * The list changes only with session_list_lock held (and workLock, by start, stop and
 * shutdown); every walk holds one of the two.
 */
#include "cow.h"

#include <linux/kernel.h>
#include <linux/string.h>

LIST_HEAD(session_list_head);	/* session_list_lock (or workLock for walks) */
int session_count;		/* workLock */

/* Process context; may sleep. */
struct cow_session *alloc_cow_session(void)
{
	return (struct cow_session *)kzalloc(sizeof(struct cow_session), GFP_KERNEL);
}

/* Caller holds workLock. */
struct cow_session *get_cow_session_by_id(int id)
{
	struct cow_session *cs;

	list_for_each_entry(cs, &session_list_head, list) {
		if (cs->clone_id == id)
			return cs;
	}
	return NULL;
}

void check_bio(struct bio *bio)
{
	if (!bio) {
		printk(KERN_ERR "%s: ERROR: NO: bio\n", VEK_TAG);
		return;
	}
	if (!bio->bi_bdev) {
		printk(KERN_ERR "%s: ERROR: NO: bio->bi_bdev\n", VEK_TAG);
		return;
	}
	if (!bio->bi_bdev->bd_disk) {
		printk(KERN_ERR "%s: ERROR: NO: bio->bi_bdev->bd_disk\n", VEK_TAG);
		return;
	}
	if (!bio->bi_bdev->bd_disk->major)
		printk(KERN_ERR "%s: ERROR: NO: bio->bi_bdev->bd_disk->major\n", VEK_TAG);
}

/*
 * The sectors [first, end) the bio covers, whole-disk based; a partial last sector counts.
 * A bio without data still names one sector (it claims no chunk anyway).
 */
void bio_sector_range(struct bio *bio, sector_t *first, sector_t *end)
{
	sector_t n = DIV_ROUND_UP(bio->bi_size, 512);

	*first = bio->bi_sector;
	*end = bio->bi_sector + (n ? n : 1);
}

/*
 * The bio is for the session's source: same disk, and its sectors overlap the partition,
 * whose end is exclusive (the sector after it is the next partition's). A whole-disk bio
 * that begins before the partition and runs into it is the partition's too: its chunks
 * inside must be copied first. A bio without a device or disk matches nothing (and is
 * logged once per session it is tested against).
 */
static int bio_hits_session(struct cow_session *cs, struct bio *bio)
{
	struct gendisk *disk;
	sector_t first, end;

	check_bio(bio);
	if (!bio || !bio->bi_bdev || !bio->bi_bdev->bd_disk)
		return 0;
	disk = bio->bi_bdev->bd_disk;
	if ((unsigned int)disk->major != MAJOR(cs->dev))
		return 0;
	if (disk->first_minor != cs->first_minor)
		return 0;
	bio_sector_range(bio, &first, &end);
	return first < cs->part.start_sect + cs->part.nr_sects && end > cs->part.start_sect;
}

/* Request path; caller holds session_list_lock. */
struct cow_session *get_cow_session(struct bio *bio)
{
	struct cow_session *cs;

	list_for_each_entry(cs, &session_list_head, list) {
		if (bio_hits_session(cs, bio) && !atomic_read(&cs->error))
			return cs;
	}
	return NULL;
}

int get_session_and_chunk(struct bio *bio, struct cow_session **cs, sector_t *chunk)
{
	struct cow_session *found = get_cow_session(bio);

	if (!found)
		return 0;
	*cs = found;
	/* A bio that begins before the partition has its first chunk at the start. */
	*chunk = get_chunk(found->sector_shift, found->chunk_mask, found->chunk_shift,
			   bio->bi_sector > found->part.start_sect ?
			   bio->bi_sector - found->part.start_sect : 0);
	return 1;
}

/* Request path: no-IO allocation, so it never recurses into block IO; may sleep. */
struct session_node *get_session_node(struct cow_session *cs)
{
	struct session_node *node;

	node = (struct session_node *)kmalloc(sizeof(*node), GFP_NOIO);
	if (!node)
		node = (struct session_node *)kmalloc(sizeof(*node), GFP_NOIO);
	if (!node)
		return NULL;
	INIT_LIST_HEAD(&node->list);
	node->cs = cs;
	inc_users(cs);
	return node;
}

void put_session_node(struct session_node *node)
{
	if (!node)
		return;
	if (node->cs)
		dec_users(node->cs);
	node->cs = NULL;
	kfree(node);
}

static int add_session_node(struct cow_session *cs, struct list_head *list)
{
	struct session_node *node = get_session_node(cs);

	if (!node) {
		printk(KERN_ERR "%s: ERROR: Could not allocate session node!\n", VEK_TAG);
		return 0;
	}
	list_add_tail(&node->list, list);
	return 1;
}

/* Caller holds session_list_lock. */
int get_cow_sessions(struct bio *bio, struct list_head *list)
{
	struct cow_session *cs;
	int added = 0;

	list_for_each_entry(cs, &session_list_head, list) {
		if (!bio_hits_session(cs, bio))
			continue;
		if (atomic_read(&cs->error) || atomic_read(&cs->sd))
			continue;
		added += add_session_node(cs, list);
	}
	return added;
}

/*
 * Caller holds session_list_lock. The n-th listed session whose stop has not begun, with a
 * user reference the caller drops, or null. A stop waits for its session's users: a
 * session already stopping gets no new one.
 */
struct cow_session *pin_session_at(int n)
{
	struct cow_session *cs;

	list_for_each_entry(cs, &session_list_head, list) {
		if (atomic_read(&cs->sd))
			continue;
		if (n-- == 0) {
			inc_users(cs);
			return cs;
		}
	}
	return NULL;
}

void put_cow_sessions(struct list_head *list)
{
	struct session_node *node, *next;

	list_for_each_entry_safe(node, next, list, list) {
		list_del(&node->list);
		put_session_node(node);
	}
}

/* Any context: completions in interrupt context drop references too. */
void inc_users(struct cow_session *cs)
{
	unsigned long flags;

	spin_lock_irqsave(&cs->users_lock, flags);
	cs->cs_users++;
	spin_unlock_irqrestore(&cs->users_lock, flags);
}

void dec_users(struct cow_session *cs)
{
	unsigned long flags;

	spin_lock_irqsave(&cs->users_lock, flags);
	if (cs->cs_users > 0)
		cs->cs_users--;
	spin_unlock_irqrestore(&cs->users_lock, flags);
}

u64 get_users(struct cow_session *cs)
{
	unsigned long flags;
	u64 n;

	spin_lock_irqsave(&cs->users_lock, flags);
	n = cs->cs_users;
	spin_unlock_irqrestore(&cs->users_lock, flags);
	return n;
}

/* Process context; takes session_list_lock. */
int get_cow_session_count(void)
{
	struct cow_session *cs;
	int n = 0;

	down(&session_list_lock);
	lock_heartbeat();
	list_for_each_entry(cs, &session_list_head, list)
		n++;
	up(&session_list_lock);
	return n;
}

int is_error(struct cow_session *cs)
{
	return atomic_read(&cs->error) != 0;
}

int is_shutdown(struct cow_session *cs)
{
	return atomic_read(&cs->sd) != 0;
}

int is_valid_session(struct cow_session *cs)
{
	return !is_error(cs) && !is_shutdown(cs);
}

void set_close_files(struct cow_session *cs)
{
	atomic_inc(&cs->close_files);
}

int close_files(struct cow_session *cs)
{
	return atomic_read(&cs->close_files) != 0;
}

/*
 * Any context (completions in interrupt context invalidate too): spinlocks only. Only the
 * first reason is kept. The text is written before the flag is published, both under
 * users_lock, which the error query reads the text under: whoever sees the flag (the list,
 * the request paths, the workers) and then asks for the reason finds it under the lock.
 */
void invalidate_session(struct cow_session *cs, const char *text)
{
	unsigned long flags;

	if (!cs)
		return;
	spin_lock_irqsave(&cs->users_lock, flags);
	if (atomic_read(&cs->error) == 0) {
		if (cs->errorMsg && text) {
			strncpy(cs->errorMsg, text, VEK_ERROR_MSG_LEN - 1);
			cs->errorMsg[VEK_ERROR_MSG_LEN - 1] = 0;
		}
		atomic_set(&cs->error, 1);
	}
	spin_unlock_irqrestore(&cs->users_lock, flags);
}
