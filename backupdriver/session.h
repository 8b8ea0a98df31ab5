/* session.h - snapshot sessions, the session list, change-tracking sessions. */
#ifndef VEK_SESSION_H
#define VEK_SESSION_H

#include <linux/types.h>
#include <linux/list.h>
#include <linux/atomic.h>
#include <linux/spinlock.h>
#include <linux/rbtree.h>
#include <linux/genhd.h>
#include <linux/fs.h>
#include <linux/bio.h>
#include <linux/time.h>

#include "chunk.h"

struct io_thread_info;
struct simple_page_cache;
struct saved_mrf;
struct snap_shot_request;

#define VEK_ERROR_MSG_LEN 256

struct snap_info {
	unsigned long sec_get_freez;
	unsigned long nsec_get_freez;
	unsigned long sec_froze;
	unsigned long nsec_froze;
	unsigned long snap_time;
};

struct other_info {
	char device_name[256];
	char device_path[4096];
	char backing_file[4096];
	char backing_device[4096];
};

/* One tracked source; made with the first change-tracking snapshot, freed only at unload. */
struct ct_session {
	dev_t dev;
	int major;
	int first_minor;
	sector_t start_sect;
	sector_t nr_sects;
	atomic_t missed_write;		/* 1: changes were lost since the last baseline */
	atomic_t started;		/* 1 once on ct_list_head */
	atomic_t reset;			/* never set */
	atomic_t mapped;		/* 1 once a holder of smrf's installation */
	struct saved_mrf *smrf;		/* one reference */
	struct list_head list;		/* ct_list_head: appended under workLock */
};

struct cow_session {
	dev_t dev;
	int major;
	int first_minor;
	struct hd_struct part;		/* only start_sect and nr_sects are used */
	unsigned int hw_sector_size;
	int clone_id;			/* vek<N>; 0 until the device exists */
	int mode;
	sector_t chunk_size;
	sector_t chunk_mask;
	sector_t chunk_shift;
	sector_t sector_shift;
	spinlock_t chunk_lock;		/* guards chunk_table */
	struct chunk_table chunk_table;	/* chunk_lock */
	spinlock_t if_lock;		/* guards if_table and if_chunk count transitions */
	struct chunk_table if_table;	/* if_lock */
	struct file *cow_file;		/* set-file; owned, closed at stop; workLock */
	u64 pos;			/* chunks copied; pos_lock */
	spinlock_t pos_lock;
	struct io_thread_info *thread_info;	/* owned */
	struct snap_info *snap_info;		/* owned */
	struct other_info *other_info;		/* owned */
	int set_mrf;			/* 1 once the start installed cow_request */
	struct simple_page_cache *spc;	/* owned */
	struct rb_root block_tree;	/* never filled */
	struct rb_root page_tree;	/* never filled */
	/* Taken by the reads and by their completions on another CPU, for every bio: with the
	 * trees it guards, a line of its own, so that the fields the request path only reads
	 * (from bdev on) stay in its cache. */
	spinlock_t write_list_lock ____cacheline_aligned_in_smp;	/* guards write_locks and write_locked */
	struct rb_root write_locks;	/* write_list_lock */
	struct rb_root write_locked;	/* write_list_lock */
	struct block_device *bdev ____cacheline_aligned_in_smp;	/* one reference */
	struct ct_session *cts;		/* not owned */
	struct saved_mrf *smrf;		/* one reference */
	u64 bfree;
	atomic_t fc_count;
	atomic_t sd;			/* shut down; never back to 0 */
	atomic_t close_files;
	atomic_t error;			/* invalidated; never back to 0 */
	spinlock_t users_lock ____cacheline_aligned_in_smp;	/* guards cs_users, the setting of error and errorMsg; irqsave */
	u64 cs_users;			/* users_lock */
	char *errorMsg;			/* VEK_ERROR_MSG_LEN bytes; first reason kept */
	struct list_head list;		/* session_list_head; session_list_lock */
	int counted;			/* 1 once counted in session_count by a completed start */
};

struct session_node {
	struct cow_session *cs;		/* one user reference */
	struct list_head list;
};

extern struct list_head session_list_head;	/* session_list_lock (or workLock) */
extern struct list_head ct_list_head;		/* see session_cts.cpp */
extern int session_count;			/* workLock */

/* registry */
struct cow_session *alloc_cow_session(void);
struct cow_session *get_cow_session_by_id(int id);	/* caller holds workLock */
struct cow_session *get_cow_session(struct bio *bio);
int get_session_and_chunk(struct bio *bio, struct cow_session **cs, sector_t *chunk);
int get_cow_sessions(struct bio *bio, struct list_head *list);	/* session_list_lock held */
struct cow_session *pin_session_at(int n);			/* session_list_lock held */
void put_cow_sessions(struct list_head *list);
struct session_node *get_session_node(struct cow_session *cs);
void put_session_node(struct session_node *node);
void inc_users(struct cow_session *cs);
void dec_users(struct cow_session *cs);
u64 get_users(struct cow_session *cs);
int get_cow_session_count(void);
void check_bio(struct bio *bio);
void bio_sector_range(struct bio *bio, sector_t *first, sector_t *end);
int is_error(struct cow_session *cs);
int is_shutdown(struct cow_session *cs);
int is_valid_session(struct cow_session *cs);
void set_close_files(struct cow_session *cs);
int close_files(struct cow_session *cs);
void invalidate_session(struct cow_session *cs, const char *text);

/* start */
struct cow_session *__ioctl_start_vek_session(struct snap_shot_request *req);	/* workLock held */
struct cow_session *new_cow_session(struct snap_shot_request *req);
int start_cow_session(struct cow_session *cs);
void lock_bdev(struct block_device *bdev);
void unlock_bdev(struct block_device *bdev);
void calcTimeDiff(struct timespec *start, struct timespec *end, struct timespec *out);
void undo_failed_start(struct cow_session *cs);	/* workLock held; session not listed */

/* stop and teardown */
int stop_cow_session(struct cow_session *cs);
void put_cow_session(struct cow_session *cs);
void clean_spc(struct simple_page_cache *spc);
void rb_free_node_and_page(struct rb_root *root);
void rb_free_node(struct rb_root *root);
void __unlist_stopping_session(struct cow_session *cs);	/* session_list_lock held */
void unlist_stopping_session(struct cow_session *cs);
void stop_all_cow_sessions(void);
void put_all_cow_sessions(void);

/* change-tracking sessions */
struct ct_session *alloc_cts_session(void);
void start_cts(struct ct_session *cts);
struct ct_session *get_cts_session_bio(struct bio *bio);
/* Tracked sources one bio may reach; a further one is marked as having missed it. */
#define VEK_CTS_PER_BIO 4
int get_cts_sessions_bio(struct bio *bio, struct ct_session **found, int max);
int cts_listed(struct ct_session *cts);	/* session_list_lock held */
void cts_set_error(struct ct_session *cts);
void error_all_cts(void);
int handle_ioctlErrorCTS(unsigned long arg);
int any_cts_has_error(void);
void clear_all_cts(void);
void stop_all_cts(void);
void cts_set_error_lost(struct ct_session **owners, int n);	/* records lost to a fetch */

#endif
