/*
 * clone.cpp - the snapshot block devices vek<N>: the device table, creation and
 * removal, the block-device operations, opener accounting and the shutdown
 * request that refuses to take a device away from other processes.
 *
 * Lock order: rw_mutex -> open_mutex -> device_users_lock. The IO path never
 * takes rw_mutex: it looks a device up under replicas_lock and holds an IO
 * reference (io_refs) while it works, which removal waits out.
 */
#include <linux/kernel.h>
#include <linux/module.h>
#include <linux/slab.h>
#include <linux/string.h>
#include <linux/sched.h>
#include <linux/wait.h>
#include <linux/fs.h>
#include <linux/genhd.h>
#include <linux/blkdev.h>

#include "cow.h"

struct blkdev_replica *replicas[MAX_REPLICAS];	/* rw_mutex; slots also under replicas_lock */
atomic_t clone_count = ATOMIC_INIT(0);
DECLARE_RWSEM(rw_mutex);

/* Opener records: newest first. */
struct device_users *device_users_head;	/* device_users_lock */
atomic_t device_users_count = ATOMIC_INIT(0);
DEFINE_SPINLOCK(device_users_lock);	/* irqsave; innermost */

/*
 * The IO path's view of the table. A slot is cleared under this lock before its
 * record is torn down, and an IO reference is only taken under it, so once
 * destroy_replica has cleared the slot the reference count can only fall.
 */
static DEFINE_SPINLOCK(replicas_lock);		/* irqsave; guards slot reads by the IO path */
static DECLARE_WAIT_QUEUE_HEAD(replica_io_wait);	/* destroy_replica waits for io_refs 0 */
/*
 * Records removed while the agent still held the device open (its opens do not
 * block a shutdown). They leave the table at once and are freed by the last
 * close, which can still count itself against them.
 */
static LIST_HEAD(replica_orphans);		/* replicas_lock */

static const struct block_device_operations clone_bd_op = {
	.open = clone_open_blkdev,
	.release = clone_close_blkdev,
	.ioctl = clone_ioctl,
	.owner = THIS_MODULE,
};

/* ---- table ---- */

int clone_init(void)
{
	int i;

	for (i = 0; i < MAX_REPLICAS; i++)
		replicas[i] = NULL;
	if (register_blkdev(CLONE_MAJOR, CLONE_NAME))
		return 1;
	return 0;
}

void clone_exit(void)
{
	if (atomic_read(&clone_count) == 0)
		unregister_blkdev(CLONE_MAJOR, CLONE_NAME);
}

/* First free slot, 1..254; 255 when the table is full. */
int next_replica(void)
{
	int i;

	for (i = 1; i < MAX_REPLICAS; i++)
		if (!replicas[i])
			return i;
	return MAX_REPLICAS;
}

/* rw_mutex held exclusively. May sleep. */
int new_replica(dev_t dev, struct request_queue *q, struct cow_session *cs)
{
	struct blkdev_replica *clone;
	unsigned long flags;
	int slot = next_replica();

	if (slot >= MAX_REPLICAS)
		return -12;
	clone = (struct blkdev_replica *)kzalloc(sizeof(*clone), GFP_KERNEL);
	if (!clone)
		return -12;
	clone->bdev = bdget(dev);
	if (!clone->bdev)
		goto out_free;
	clone->disk = alloc_disk(1);
	if (!clone->disk)
		goto out_bdput;
	clone->q = blk_alloc_queue(GFP_KERNEL);
	if (!clone->q)
		goto out_put_disk;

	if (!clone->q->queue_lock) {
		spin_lock_init(&clone->q->__queue_lock);
		clone->q->queue_lock = &clone->q->__queue_lock;
	}
	clone->q->queuedata = clone;
	clone->q->unplug_fn = clone_unplug;

	clone->dev = dev;
	clone->cs = cs;
	clone->nr_sects = cs->part.nr_sects;
	clone->disk->private_data = clone;
	clone->made_disk = clone->disk;
	INIT_LIST_HEAD(&clone->orphan);
	mutex_init(&clone->open_mutex);
	atomic_set(&clone->users, 0);
	atomic_set(&clone->users_qel, 0);
	atomic_set(&clone->sd, 0);
	atomic_set(&clone->io_refs, 0);

	atomic_inc(&clone_count);
	spin_lock_irqsave(&replicas_lock, flags);
	replicas[slot] = clone;
	spin_unlock_irqrestore(&replicas_lock, flags);
	return slot;

out_put_disk:
	put_disk(clone->disk);
out_bdput:
	bdput(clone->bdev);
out_free:
	kfree(clone);
	return -12;
}

/* Queue limits: one 4096-byte page in one segment per bio; the read and write paths rely on it. */
static void init_replica(struct blkdev_replica *clone, int slot, make_request_fn *mrf)
{
	struct request_queue *q = clone->q;
	struct gendisk *disk = clone->disk;

	blk_queue_make_request(q, mrf);
	blk_set_default_limits(&q->limits);
	q->limits.max_hw_sectors = 8;
	q->limits.max_sectors = 8;
	q->limits.max_segment_size = 4096;
	q->limits.max_segments = 1;

	disk->major = CLONE_MAJOR;
	disk->first_minor = slot;
	disk->minors = 1;
	disk->fops = &clone_bd_op;
	disk->queue = q;
	set_capacity(disk, clone->nr_sects);
	snprintf(disk->disk_name, sizeof(disk->disk_name), "%s%d", VEK_TAG, slot);
	add_disk(disk);
}

/* Creates and publishes vek<slot> for session cs on source dev. May sleep. */
int blkdev_clone(dev_t dev, struct cow_session *cs, make_request_fn *mrf)
{
	struct block_device *bdev;
	int slot;

	down_write(&rw_mutex);
	if (atomic_read(&clone_count) == 0 && clone_init()) {
		printk(KERN_ERR "%s: ERROR: could not init clone devices driver.\n", VEK_TAG);
		up_write(&rw_mutex);
		return -1;
	}
	bdev = bdget(dev);
	if (!bdev) {
		printk(KERN_ERR "%s: ERROR: could not get block device for (%d,%d).\n", VEK_TAG,
		       MAJOR(dev), MINOR(dev));
		slot = -1;
		goto out_exit;
	}
	if (!bdev->bd_disk) {
		printk(KERN_ERR "%s: ERROR: disk was NULL, device (%d,%d) not mounted.\n", VEK_TAG,
		       MAJOR(dev), MINOR(dev));
		slot = -1;
		goto out_bdput;
	}
	if (!bdev->bd_disk->queue) {
		printk(KERN_ERR "%s: ERROR: could not get q for (%d,%d).\n", VEK_TAG, MAJOR(dev),
		       MINOR(dev));
		slot = -1;
		goto out_bdput;
	}
	slot = new_replica(dev, bdev->bd_disk->queue, cs);
	if (slot < 1) {
		printk(KERN_ERR "%s: ERROR: could not create new replica for device (%d,%d).\n",
		       VEK_TAG, MAJOR(dev), MINOR(dev));
		goto out_bdput;
	}
	init_replica(replicas[slot], slot, mrf);
	bdput(bdev);
	up_write(&rw_mutex);
	return slot;

out_bdput:
	bdput(bdev);
out_exit:
	/* Keep the major registered only while some device exists. */
	clone_exit();
	up_write(&rw_mutex);
	return slot;
}

/* rw_mutex held exclusively. Waits for bios still inside the IO path. */
void destroy_replica(int clone_id)
{
	struct blkdev_replica *clone;
	unsigned long flags;

	if (clone_id < 1 || clone_id >= MAX_REPLICAS || !replicas[clone_id])
		return;
	clone = replicas[clone_id];

	/*
	 * Unpublish first: no new IO reference can be taken after this. Closes from
	 * now on find the record among the orphans.
	 */
	spin_lock_irqsave(&replicas_lock, flags);
	replicas[clone_id] = NULL;
	list_add_tail(&clone->orphan, &replica_orphans);
	spin_unlock_irqrestore(&replicas_lock, flags);
	wait_event(replica_io_wait, atomic_read(&clone->io_refs) == 0);
	if (clone->q)
		clone->q->queuedata = NULL;	/* a late unplug finds no record */

	if (clone->disk) {
		del_gendisk(clone->disk);
		if (clone->q)
			blk_cleanup_queue(clone->q);
		put_disk(clone->disk);
		clone->disk = NULL;
	} else if (clone->q) {
		blk_cleanup_queue(clone->q);
	}
	if (clone->bdev) {
		bdput(clone->bdev);
		clone->bdev = NULL;
	}
	atomic_dec(&clone_count);
	clone_exit();

	/* A null queue tells the closes that the record is torn down and theirs to free. */
	spin_lock_irqsave(&replicas_lock, flags);
	clone->q = NULL;
	if (atomic_read(&clone->users) + atomic_read(&clone->users_qel) <= 0)
		list_del(&clone->orphan);
	else
		clone = NULL;
	spin_unlock_irqrestore(&replicas_lock, flags);
	kfree(clone);
}

int blkdev_unclone(int clone_id)
{
	down_write(&rw_mutex);
	destroy_replica(clone_id);
	up_write(&rw_mutex);
	return 0;
}

/*
 * The IO path's look-up: takes no sleeping lock. A record returned holds one IO
 * reference, given back with put_blkdev_replica; until then the record (and the
 * session, whose stop removes the device before it waits for the session's
 * users) stays allocated. Any context.
 */
struct blkdev_replica *get_blkdev_replica(int clone_id)
{
	struct blkdev_replica *clone = NULL;
	unsigned long flags;

	if (clone_id < 1 || clone_id >= MAX_REPLICAS)
		return NULL;
	spin_lock_irqsave(&replicas_lock, flags);
	clone = replicas[clone_id];
	if (clone)
		atomic_inc(&clone->io_refs);
	spin_unlock_irqrestore(&replicas_lock, flags);
	return clone;
}

/* Any context. The wait queue is global, so waking after the drop touches no freed record. */
void put_blkdev_replica(struct blkdev_replica *clone)
{
	if (clone && atomic_dec_and_test(&clone->io_refs))
		wake_up(&replica_io_wait);
}

/* 0 when the device is gone (or never was), -16 while others than the agent hold it open. */
int blkdev_shutdown(int clone_id)
{
	struct blkdev_replica *clone;
	int sd, users, users_qel;

	if (clone_id < 1 || clone_id >= MAX_REPLICAS)
		return 0;
	down_read(&rw_mutex);
	clone = replicas[clone_id];
	if (!clone) {
		up_read(&rw_mutex);
		return 0;
	}
	mutex_lock(&clone->open_mutex);
	sd = atomic_inc_return(&clone->sd);
	users = atomic_read(&clone->users);
	users_qel = atomic_read(&clone->users_qel);
	if (users > 0) {
		printk(KERN_INFO
		       "%s: INFO: Shutdown request %d on vek%d with %d users and %d qel users.\n",
		       VEK_TAG, sd, clone_id, users, users_qel);
		mutex_unlock(&clone->open_mutex);
		kprint_device_users(clone->dev);
		up_read(&rw_mutex);
		return -16;
	}
	if (clone->bdev)
		sync_blockdev(clone->bdev);
	if (clone->disk) {
		del_gendisk(clone->disk);
		put_disk(clone->disk);
		clone->disk = NULL;
	}
	mutex_unlock(&clone->open_mutex);
	up_read(&rw_mutex);
	return 0;
}

/* ---- block-device operations ---- */

int is_qel_process(void)
{
	return strncmp(current->comm, "qel", 3) == 0;
}

/* rw_mutex held shared. The record for the opened device, or null with *err set. */
static struct blkdev_replica *find_clone(struct block_device *blkdev, int *err)
{
	struct blkdev_replica *clone;
	dev_t d = blkdev->bd_dev;

	if (d == 0 || MAJOR(d) != CLONE_MAJOR || MINOR(d) == 0 || MINOR(d) >= MAX_REPLICAS) {
		printk(KERN_INFO "%s: INFO: Open without clone!\n", VEK_TAG);
		*err = -19;
		return NULL;
	}
	clone = replicas[MINOR(d)];
	if (!clone) {
		printk(KERN_INFO "%s: INFO: Open without clone!\n", VEK_TAG);
		*err = -19;
		return NULL;
	}
	if (clone->disk != blkdev->bd_disk) {
		printk(KERN_INFO "%s: INFO: Open where disk do not match!\n", VEK_TAG);
		*err = -512;
		return NULL;
	}
	if (blkdev->bd_disk->private_data != clone) {
		printk(KERN_ERR "%s: ERROR: Open where clone does not match!\n", VEK_TAG);
		*err = -1;
		return NULL;
	}
	return clone;
}

/* rw_mutex held shared. Counts one open against a concurrent shutdown request. */
static int zk_open_blkdev(struct blkdev_replica *clone, struct block_device *blkdev)
{
	int err = mutex_lock_interruptible(&clone->open_mutex);

	if (err)
		return err;
	/* A shutdown request may have removed the disk while we waited for the mutex. */
	if (clone->disk != blkdev->bd_disk) {
		mutex_unlock(&clone->open_mutex);
		printk(KERN_INFO "%s: INFO: Open where disk do not match!\n", VEK_TAG);
		return -512;
	}
	inc_device_users(clone->dev);
	if (is_qel_process())
		atomic_inc(&clone->users_qel);
	else
		atomic_inc(&clone->users);
	mutex_unlock(&clone->open_mutex);
	return 0;
}

/* Process context; may sleep. */
int clone_open_blkdev(struct block_device *blkdev, fmode_t mode)
{
	struct blkdev_replica *clone;
	int err = 0;

	down_read(&rw_mutex);
	clone = find_clone(blkdev, &err);
	if (clone)
		err = zk_open_blkdev(clone, blkdev);
	up_read(&rw_mutex);
	return err;
}

static void zk_close_blkdev(struct blkdev_replica *clone)
{
	dec_device_users(clone->dev);
	if (is_qel_process())
		atomic_dec(&clone->users_qel);
	else
		atomic_dec(&clone->users);
}

/* A removed record whose disk this was and that still counts opens, or null. */
static struct blkdev_replica *find_orphan(struct gendisk *disk)
{
	struct blkdev_replica *it;

	list_for_each_entry(it, &replica_orphans, orphan)
		if (it->made_disk == disk)
			return it;
	return NULL;
}

/*
 * Process context. Holds an IO reference on the record while counting, so a
 * concurrent removal cannot free it. A record now in the slot for another disk
 * (ours was removed and the slot reused) is not touched; a removed record that
 * the agent still had open takes the close and is freed by the last one.
 */
int clone_close_blkdev(struct gendisk *disk, fmode_t mode)
{
	struct blkdev_replica *clone, *last = NULL;
	unsigned long flags;
	dev_t dev;

	if (!disk) {
		printk(KERN_ERR "%s: ERROR: close without disk!\n", VEK_TAG);
		return -1;
	}
	clone = get_blkdev_replica(disk->first_minor);
	if (clone && clone->made_disk != disk) {
		put_blkdev_replica(clone);
		clone = NULL;
	}
	if (clone) {
		zk_close_blkdev(clone);
		put_blkdev_replica(clone);
		return 0;
	}

	spin_lock_irqsave(&replicas_lock, flags);
	clone = find_orphan(disk);
	if (clone) {
		dev = clone->dev;
		atomic_dec(is_qel_process() ? &clone->users_qel : &clone->users);
		if (!clone->q && atomic_read(&clone->users) + atomic_read(&clone->users_qel) <= 0) {
			list_del(&clone->orphan);
			last = clone;
		}
	}
	spin_unlock_irqrestore(&replicas_lock, flags);
	if (!clone) {
		printk(KERN_ERR "%s: ERROR: Close without clone!\n", VEK_TAG);
		return -1;
	}
	dec_device_users(dev);
	kfree(last);
	return 0;
}

int clone_ioctl(struct block_device *blkdev, fmode_t mode, unsigned cmd, unsigned long arg)
{
	return 0;
}

/* Passes an unplug on to the source disk's queue when that queue is request based. */
void clone_unplug(struct request_queue *q)
{
	struct blkdev_replica *clone;
	struct request_queue *sq;

	if (!q || !q->queuedata)
		return;
	clone = (struct blkdev_replica *)q->queuedata;
	if (!clone->bdev || !clone->bdev->bd_disk)
		return;
	sq = clone->bdev->bd_disk->queue;
	if (sq && sq->queue_lock && queue_make_request_fn(sq))
		generic_unplug_device(sq);
}

/* ---- opener records ---- */

/* Process context; may sleep (allocation). */
void inc_device_users(dev_t dev)
{
	struct device_users *du, *it;
	unsigned long flags;

	printk(KERN_INFO "%s: INFO: inc_device_user: %d,%d,%s\n", VEK_TAG, MINOR(dev),
	       current->pid, current->comm);
	du = (struct device_users *)kzalloc(sizeof(*du), GFP_KERNEL);
	if (!du) {
		printk(KERN_ERR "%s: ERROR: Could not create device_user for user: %d,%d,%s\n",
		       VEK_TAG, MINOR(dev), current->pid, current->comm);
		return;
	}
	atomic_inc(&device_users_count);
	spin_lock_irqsave(&device_users_lock, flags);
	for (it = device_users_head; it; it = it->next) {
		if (it->dev == dev && it->pid == current->pid) {
			it->count++;
			spin_unlock_irqrestore(&device_users_lock, flags);
			kfree(du);
			return;
		}
	}
	du->dev = dev;
	du->pid = current->pid;
	du->count = 1;
	strlcpy(du->comm, current->comm, sizeof(du->comm));
	du->next = device_users_head;
	device_users_head = du;
	spin_unlock_irqrestore(&device_users_lock, flags);
}

/* Any context; frees outside the lock. */
void dec_device_users(dev_t dev)
{
	struct device_users **link, *it, *gone = NULL;
	unsigned long flags;

	printk(KERN_INFO "%s: INFO: dec_device_user: %d,%d,%s\n", VEK_TAG, MINOR(dev),
	       current->pid, current->comm);
	atomic_dec(&device_users_count);
	spin_lock_irqsave(&device_users_lock, flags);
	for (link = &device_users_head; (it = *link); link = &it->next) {
		if (it->dev == dev && it->pid == current->pid) {
			if (--it->count == 0) {
				*link = it->next;
				gone = it;
			}
			break;
		}
	}
	spin_unlock_irqrestore(&device_users_lock, flags);
	kfree(gone);
}

/* Lists every opener of every device, oldest first. Process context; may sleep. */
void kprint_device_users(dev_t dev)
{
	struct device_users *copies, *it;
	unsigned long flags;
	int room = atomic_read(&device_users_count);
	int n = 0;

	if (room <= 0)
		return;
	copies = (struct device_users *)kmalloc(sizeof(*copies) * room, GFP_KERNEL);
	if (!copies) {
		printk(KERN_ERR "%s: ERROR: Could not allocate buffer to print device users!\n",
		       VEK_TAG);
		return;
	}
	spin_lock_irqsave(&device_users_lock, flags);
	for (it = device_users_head; it && n < room; it = it->next)
		copies[n++] = *it;
	spin_unlock_irqrestore(&device_users_lock, flags);
	while (n-- > 0)
		printk(KERN_INFO "%s: INFO: DEVICE USER: %d,%d,%s : %llu\n", VEK_TAG,
		       MINOR(copies[n].dev), copies[n].pid, copies[n].comm,
		       (unsigned long long)copies[n].count);
	kfree(copies);
}
