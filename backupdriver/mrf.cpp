/*
 * mrf.cpp - the make_request_fn of every source disk we have taken over.
 *
 * One saved_mrf per whole disk (all partitions share the disk's queue), kept in a small
 * hash keyed by the whole disk's device number. The record remembers the function we
 * replaced (mrf), so every bio we do not hold back can be passed on to it, and the
 * function we installed (omrf), so we only give the queue back what we took.
 *
 * Locking: mrf_mapping_lock (irqsave) guards the bucket lists and the reference count's
 * last drop; the queue's own queue_lock guards its make_request_fn. The two are never
 * held together.
 */
#include "cow.h"

#include <linux/hash.h>

struct list_head *mrf_hash;		/* MRF_HASH_SIZE buckets; mrf_mapping_lock */
DEFINE_SPINLOCK(mrf_mapping_lock);

unsigned int mrf_hash_bucket(u64 key)
{
	return (unsigned int)hash_64(key, MRF_HASH_BITS);
}

int init_mrf_hash(void)
{
	int i;

	mrf_hash = (struct list_head *)kmalloc(sizeof(struct list_head) * MRF_HASH_SIZE,
					       GFP_KERNEL);
	if (!mrf_hash)
		return 0;
	memset(mrf_hash, 0, sizeof(struct list_head) * MRF_HASH_SIZE);
	for (i = 0; i < MRF_HASH_SIZE; i++)
		INIT_LIST_HEAD(&mrf_hash[i]);
	return 1;
}

/* Unload, after every session is gone; records still hashed are not visited. */
void free_mrf_hash(void)
{
	if (mrf_hash)
		kfree(mrf_hash);
	mrf_hash = NULL;
}

static struct block_device *whole_disk(struct block_device *bdev)
{
	return bdev->bd_contains ? bdev->bd_contains : bdev;
}

static u64 mrf_key(int major, int minor)
{
	return (u64)MKDEV((unsigned int)major, (unsigned int)minor);
}

/* Caller holds mrf_mapping_lock. */
static struct saved_mrf *__find_smrf(struct gendisk *disk)
{
	struct list_head *head;
	struct saved_mrf *smrf;

	if (!mrf_hash)
		return NULL;
	head = &mrf_hash[mrf_hash_bucket(mrf_key(disk->major, disk->first_minor))];
	list_for_each_entry(smrf, head, list) {
		if (smrf->major == disk->major && smrf->minor == disk->first_minor)
			return smrf;
	}
	return NULL;
}

/* The disk of bdev, logging what is missing; null when there is none. */
static struct gendisk *smrf_disk(struct block_device *bdev)
{
	struct block_device *whole;

	if (!bdev) {
		printk(KERN_ERR "%s: ERROR: get_smrf: no block device!\n", VEK_TAG);
		return NULL;
	}
	whole = whole_disk(bdev);
	if (!whole->bd_disk) {
		printk(KERN_ERR "%s: ERROR: get_smrf: no disk!\n", VEK_TAG);
		return NULL;
	}
	return whole->bd_disk;
}

/* No reference is taken: the caller must already hold one (or the session list). */
struct saved_mrf *find_smrf(struct block_device *bdev)
{
	struct gendisk *disk = smrf_disk(bdev);
	struct saved_mrf *smrf;
	unsigned long flags;

	if (!disk)
		return NULL;
	spin_lock_irqsave(&mrf_mapping_lock, flags);
	smrf = __find_smrf(disk);
	spin_unlock_irqrestore(&mrf_mapping_lock, flags);
	return smrf;
}

/* Process context (may sleep): session creation, under workLock. */
struct saved_mrf *get_smrf(struct block_device *bdev)
{
	struct gendisk *disk = smrf_disk(bdev);
	struct saved_mrf *smrf;
	unsigned long flags;

	if (!disk)
		return NULL;
	/* Found and referenced under one lock hold, so a last put cannot free it between. */
	spin_lock_irqsave(&mrf_mapping_lock, flags);
	smrf = __find_smrf(disk);
	if (smrf)
		atomic_inc(&smrf->count);
	spin_unlock_irqrestore(&mrf_mapping_lock, flags);
	if (smrf)
		return smrf;

	smrf = (struct saved_mrf *)kmalloc(sizeof(*smrf), GFP_KERNEL);
	if (!smrf) {
		printk(KERN_ERR "%s: ERROR: Failed to allocate saved_mrf, size: %lu.\n", VEK_TAG,
		       (unsigned long)sizeof(*smrf));
		return NULL;
	}
	memset(smrf, 0, sizeof(*smrf));
	atomic_set(&smrf->users, 0);
	atomic_set(&smrf->mapped, 0);
	atomic_set(&smrf->count, 1);
	smrf->major = disk->major;
	smrf->minor = disk->first_minor;
	/* An empty link means "not hashed"; the last put relies on it. */
	INIT_LIST_HEAD(&smrf->list);
	return smrf;
}

void grab_smrf(struct saved_mrf *smrf)
{
	atomic_inc(&smrf->count);
}

/*
 * Drops one reference. A record is never freed while holders rely on it, and never
 * while it can still be reached from the hash: when an unset could not reach the queue
 * (disk gone or offline) the record is still hashed with nobody mapped, and it is
 * unlinked here before it is freed, so a later lookup cannot find freed memory.
 */
void put_smrf(struct saved_mrf *smrf)
{
	unsigned long flags;

	if (!smrf)
		return;
	spin_lock_irqsave(&mrf_mapping_lock, flags);
	if (!atomic_dec_and_test(&smrf->count)) {
		spin_unlock_irqrestore(&mrf_mapping_lock, flags);
		return;
	}
	if (atomic_read(&smrf->users) > 0) {
		spin_unlock_irqrestore(&mrf_mapping_lock, flags);
		printk(KERN_ERR "%s: ERROR: Freeing of smrf while users, will not allow!\n",
		       VEK_TAG);
		return;
	}
	if (atomic_read(&smrf->mapped) > 0) {
		spin_unlock_irqrestore(&mrf_mapping_lock, flags);
		printk(KERN_ERR "%s: ERROR: Freeing of smrf while mapped, will not allow!\n",
		       VEK_TAG);
		return;
	}
	if (!list_empty(&smrf->list))
		list_del_init(&smrf->list);
	spin_unlock_irqrestore(&mrf_mapping_lock, flags);
	kfree(smrf);
}

/* Caller holds mrf_mapping_lock. */
static void __hash_smrf(struct saved_mrf *smrf)
{
	struct list_head *head = &mrf_hash[mrf_hash_bucket(mrf_key(smrf->major, smrf->minor))];
	struct saved_mrf *pos;

	list_for_each_entry(pos, head, list) {
		if (pos == smrf)
			return;
	}
	list_add(&smrf->list, head);
}

/* Swaps newMRF into the queue (or finds it there); caller holds no lock. */
static void swap_in_mrf(struct saved_mrf *smrf, struct request_queue *q, make_request_fn *newMRF)
{
	unsigned long flags = 0;

	if (q->queue_lock)
		spin_lock_irqsave(q->queue_lock, flags);
	if (queue_make_request_fn(q) == newMRF) {
		printk(KERN_INFO "%s: INFO: Mapping unchanged.\n", VEK_TAG);
	} else {
		if (atomic_read(&smrf->mapped) != 0) {
			if (smrf->omrf != newMRF)
				printk(KERN_WARNING "%s: INFO: New mapping differs from old!\n",
				       VEK_TAG);
			printk(KERN_INFO "%s: INFO: Restarting mapping.\n", VEK_TAG);
		} else {
			printk(KERN_INFO "%s: INFO: Starting mapping.\n", VEK_TAG);
		}
		/*
		 * The saved function is published before ours goes in: a bio that finds ours
		 * in the queue finds the function to pass it on to. Assigned directly, not
		 * through blk_queue_make_request: the queue keeps its limits and settings.
		 */
		WRITE_ONCE(smrf->mrf, queue_make_request_fn(q));
		smrf->omrf = newMRF;
		queue_set_make_request_fn(q, newMRF);
	}
	if (q->queue_lock)
		spin_unlock_irqrestore(q->queue_lock, flags);
}

/* Process context. The start holds the source frozen around this call. */
int set_mrf(struct saved_mrf *smrf, struct block_device *bdev, make_request_fn *newMRF)
{
	struct block_device *whole;
	struct gendisk *disk;
	unsigned long flags;

	if (!smrf) {
		printk(KERN_ERR "%s: ERROR: Starting mapping with no smrf!\n", VEK_TAG);
		return 1;
	}
	if (!newMRF) {
		printk(KERN_ERR "%s: ERROR: Starting mappig to NULL!.\n", VEK_TAG);
		return 1;
	}
	if (!bdev) {
		printk(KERN_ERR "%s: ERROR: Can not start mapping: No block device!\n", VEK_TAG);
		return 1;
	}
	whole = whole_disk(bdev);
	if (whole != bdev)
		printk(KERN_INFO "%s: INFO: Using parent block device for mapping.\n", VEK_TAG);
	disk = whole->bd_disk;
	if (!disk) {
		printk(KERN_ERR "%s: ERROR: Can not start mapping: No disk!\n", VEK_TAG);
		return 1;
	}
	if (!disk->queue) {
		printk(KERN_ERR "%s: ERROR: Can not start mapping: No queue!\n", VEK_TAG);
		return 1;
	}
	if (disk->major != smrf->major || disk->first_minor != smrf->minor)
		printk(KERN_WARNING "%s: INFO: Starting mapping MRF with mismatched device numbers "
		       "(%llu,%llu) -> (%d,%d).\n", VEK_TAG, (unsigned long long)disk->major,
		       (unsigned long long)disk->first_minor, smrf->major, smrf->minor);

	/*
	 * Hashed before it is installed: from the moment cow_request is in the queue, every
	 * bio that reaches it must find the record.
	 */
	spin_lock_irqsave(&mrf_mapping_lock, flags);
	__hash_smrf(smrf);
	spin_unlock_irqrestore(&mrf_mapping_lock, flags);

	swap_in_mrf(smrf, disk->queue, newMRF);
	atomic_inc(&smrf->mapped);
	return 0;
}

void inc_mapped(struct saved_mrf *smrf)
{
	if (smrf)
		atomic_inc(&smrf->mapped);
}

/* Every partition of the disk, so nothing written through us stays unflushed. */
static void flush_disk_minors(struct gendisk *disk)
{
	struct block_device *part;
	int minor;

	printk(KERN_INFO "%s: INFO: Flusing devices (%llu,%llu)->(%llu)\n", VEK_TAG,
	       (unsigned long long)disk->major, (unsigned long long)disk->first_minor,
	       (unsigned long long)(disk->first_minor + disk->minors - 1));
	for (minor = disk->first_minor; minor <= disk->first_minor + disk->minors - 1; minor++) {
		part = bdget(MKDEV((unsigned int)disk->major, (unsigned int)minor));
		if (!part)
			continue;
		fsync_bdev(part);
		bdput(part);
	}
}

/* Gives the queue its own function back if it still holds ours; caller holds no lock. */
static void swap_out_mrf(struct saved_mrf *smrf, struct request_queue *q)
{
	unsigned long flags = 0;
	int changed = 0;

	if (q->queue_lock)
		spin_lock_irqsave(q->queue_lock, flags);
	if (queue_make_request_fn(q) == smrf->omrf)
		queue_set_make_request_fn(q, smrf->mrf);
	else
		changed = 1;
	if (q->queue_lock)
		spin_unlock_irqrestore(q->queue_lock, flags);
	if (changed)
		printk(KERN_INFO "%s: INFO: Not resetting mapping because mapping has changed on "
		       "device (%d,%d)!\n", VEK_TAG, smrf->major, smrf->minor);
}

/* Process context: sleeps in bdget and fsync_bdev. */
int unset_mrf(struct saved_mrf *smrf)
{
	struct block_device *bdev;
	struct gendisk *disk;
	unsigned long flags;
	int ret = 0;

	if (atomic_dec_return(&smrf->mapped) > 0)
		return 0;

	printk(KERN_INFO "%s: INFO: Stopping mapping (%d,%d).\n", VEK_TAG, smrf->major, smrf->minor);
	bdev = bdget(MKDEV((unsigned int)smrf->major, (unsigned int)smrf->minor));
	if (!bdev) {
		printk(KERN_WARNING "%s: INFO: Could not find (%d,%d) for unmapping!\n", VEK_TAG,
		       smrf->major, smrf->minor);
		return 0;
	}
	disk = bdev->bd_disk;
	if (!disk) {
		printk(KERN_WARNING "%s: INFO: Device (%d,%d) is offline.\n", VEK_TAG, smrf->major,
		       smrf->minor);
		ret = 1;
		goto out;
	}
	if (!disk->queue) {
		printk(KERN_ERR "%s: ERROR: Could not get device queue for (%d,%d)!\n", VEK_TAG,
		       smrf->major, smrf->minor);
		ret = 1;
		goto out;
	}
	swap_out_mrf(smrf, disk->queue);
	flush_disk_minors(disk);

	spin_lock_irqsave(&mrf_mapping_lock, flags);
	if (!list_empty(&smrf->list))
		list_del_init(&smrf->list);
	spin_unlock_irqrestore(&mrf_mapping_lock, flags);
out:
	bdput(bdev);
	return ret;
}

/* The record's saved function; null, without a word, when the disk has no record. */
static make_request_fn *__get_mrf_fn(struct gendisk *disk)
{
	struct saved_mrf *smrf;
	make_request_fn *fn = NULL;
	unsigned long flags;

	/* Read under the lock: the record cannot be freed while it is hashed. */
	spin_lock_irqsave(&mrf_mapping_lock, flags);
	smrf = __find_smrf(disk);
	if (smrf)
		fn = READ_ONCE(smrf->mrf);
	spin_unlock_irqrestore(&mrf_mapping_lock, flags);
	return fn;
}

/*
 * Submitter's context, every intercepted bio: never sleeps. Quiet when the disk has no
 * record, for a caller that can still pass the bio on (a mapping being removed).
 */
make_request_fn *find_mrf_fn(struct block_device *bdev)
{
	struct block_device *whole;

	if (!bdev)
		return NULL;
	whole = whole_disk(bdev);
	return whole->bd_disk ? __get_mrf_fn(whole->bd_disk) : NULL;
}

/* Submitter's context, every intercepted bio: never sleeps. */
make_request_fn *get_mrf_fn(struct block_device *bdev)
{
	struct block_device *whole;
	make_request_fn *fn;

	if (!bdev) {
		printk(KERN_ERR "%s: ERROR: Get make request function for null block device!\n",
		       VEK_TAG);
		return NULL;
	}
	whole = whole_disk(bdev);
	if (!whole->bd_disk) {
		printk(KERN_ERR "%s: ERROR: get_smrf: no disk!\n", VEK_TAG);
	} else {
		fn = __get_mrf_fn(whole->bd_disk);
		if (fn)
			return fn;
	}
	printk(KERN_ERR "%s: ERROR: Could not find mrf for device (%d,%d)\n", VEK_TAG,
	       (int)(whole->bd_dev >> 20), (int)(whole->bd_dev & 0xfffff));
	return NULL;
}

/* Straight to the replaced function, bypassing interception; resubmit when it asks. */
void doMRF(struct request_queue *q, make_request_fn *savedMRF, struct bio *bio)
{
	if (savedMRF(q, bio))
		generic_make_request(bio);
}
