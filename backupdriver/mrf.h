/* mrf.h - the taken-over make_request_fn of every source disk. */
#ifndef VEK_MRF_H
#define VEK_MRF_H

#include <linux/types.h>
#include <linux/list.h>
#include <linux/atomic.h>
#include <linux/blkdev.h>

#define MRF_HASH_BITS 12
#define MRF_HASH_SIZE (1 << MRF_HASH_BITS)

struct saved_mrf {
	atomic_t users;			/* must be 0 to free; nothing changes it */
	atomic_t mapped;		/* holders relying on omrf being installed */
	atomic_t count;			/* references to the record */
	int major;			/* whole disk */
	int minor;			/* whole disk's first_minor */
	make_request_fn *mrf;		/* the function we replaced */
	make_request_fn *omrf;		/* the function we installed */
	struct list_head list;		/* mrf_hash bucket; mrf_mapping_lock */
};

extern struct list_head *mrf_hash;	/* MRF_HASH_SIZE buckets; mrf_mapping_lock */
extern spinlock_t mrf_mapping_lock;

int init_mrf_hash(void);
void free_mrf_hash(void);
unsigned int mrf_hash_bucket(u64 key);
struct saved_mrf *find_smrf(struct block_device *bdev);
struct saved_mrf *get_smrf(struct block_device *bdev);
void grab_smrf(struct saved_mrf *smrf);
void put_smrf(struct saved_mrf *smrf);
int set_mrf(struct saved_mrf *smrf, struct block_device *bdev, make_request_fn *newMRF);
void inc_mapped(struct saved_mrf *smrf);
int unset_mrf(struct saved_mrf *smrf);
make_request_fn *get_mrf_fn(struct block_device *bdev);
make_request_fn *find_mrf_fn(struct block_device *bdev);
void doMRF(struct request_queue *q, make_request_fn *savedMRF, struct bio *bio);

#endif
