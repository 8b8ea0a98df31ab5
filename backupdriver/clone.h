/* clone.h - the snapshot block devices vek<N>. */
#ifndef VEK_CLONE_H
#define VEK_CLONE_H

#include <linux/types.h>
#include <linux/list.h>
#include <linux/atomic.h>
#include <linux/mutex.h>
#include <linux/rwsem.h>
#include <linux/spinlock.h>
#include <linux/genhd.h>
#include <linux/blkdev.h>

struct cow_session;

#define CLONE_MAJOR 121
#define CLONE_NAME "clone"
#define MAX_REPLICAS 255	/* slot 0 unused */

struct blkdev_replica {
	struct gendisk *disk;		/* null once a shutdown request removed it */
	struct request_queue *q;
	struct hd_struct p;		/* unused */
	struct cow_session *cs;		/* not counted */
	dev_t dev;			/* source device; key of the opener records */
	struct mutex open_mutex;	/* opener counting vs shutdown */
	atomic_t sd;
	atomic_t users;			/* opens by others than the agent */
	atomic_t users_qel;		/* opens by the agent */
	struct block_device *bdev;	/* source, counted */
	sector_t nr_sects;
	struct queue_limits limits;	/* unused */
	atomic_t io_refs;		/* bios inside the IO path; taken under replicas_lock */
	struct gendisk *made_disk;	/* the disk made with the record; identifies its closes */
	struct list_head orphan;	/* removed while the agent still had it open; replicas_lock */
};

struct device_users {
	dev_t dev;
	pid_t pid;
	char comm[256];
	u64 count;
	struct device_users *next;	/* newest first; device_users_lock */
};

extern struct blkdev_replica *replicas[MAX_REPLICAS];	/* rw_mutex */
extern atomic_t clone_count;
extern struct rw_semaphore rw_mutex;
extern struct device_users *device_users_head;	/* device_users_lock */
extern atomic_t device_users_count;
extern spinlock_t device_users_lock;

int clone_init(void);
void clone_exit(void);
int next_replica(void);
int new_replica(dev_t dev, struct request_queue *q, struct cow_session *cs);
int blkdev_clone(dev_t dev, struct cow_session *cs, make_request_fn *mrf);
int blkdev_unclone(int clone_id);
void destroy_replica(int clone_id);	/* rw_mutex held exclusively */
/* IO path: a record with one IO reference (drop it with put_blkdev_replica), or null. */
struct blkdev_replica *get_blkdev_replica(int clone_id);
void put_blkdev_replica(struct blkdev_replica *r);
int blkdev_shutdown(int clone_id);
int clone_open_blkdev(struct block_device *blkdev, fmode_t mode);
int clone_close_blkdev(struct gendisk *disk, fmode_t mode);
int clone_ioctl(struct block_device *blkdev, fmode_t mode, unsigned cmd, unsigned long arg);
void clone_unplug(struct request_queue *q);
void inc_device_users(dev_t dev);
void dec_device_users(dev_t dev);
void kprint_device_users(dev_t dev);
int is_qel_process(void);

#endif
