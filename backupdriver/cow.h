/*
 * cow.h - the driver's internal contract: module globals, object allocators, the request
 * paths, IO workers, change records and the lock watchdog.
 *
 * Lock order: workLock -> session_list_lock; the request paths never hold session_list_lock
 * and session_work_lock together. Spinlocks are innermost and never held across a sleep.
 * Snapshot devices: rw_mutex -> open_mutex -> device_users_lock.
 */
#ifndef VEK_COW_H
#define VEK_COW_H

#include <linux/types.h>
#include <linux/list.h>
#include <linux/atomic.h>
#include <linux/spinlock.h>
#include <linux/semaphore.h>
#include <linux/wait.h>
#include <linux/completion.h>
#include <linux/rbtree.h>
#include <linux/slab.h>
#include <linux/mempool.h>
#include <linux/sched.h>
#include <linux/fs.h>
#include <linux/bio.h>
#include <linux/blkdev.h>

#include "vekdriver.h"
#include "session.h"
#include "chunk.h"
#include "fc.h"
#include "kfc.h"
#include "mrf.h"
#include "clone.h"

#define VEK_TAG "vek"
#define VEK_VERSION_MAJOR 4
#define VEK_VERSION_MINOR 6
#define VEK_VERSION_MAINT 0
#define VEK_VERSION_BUILD 27

#define VEK_IO_THREADS 64
#define VEK_CHUNK_PAGES 16
#define VEK_THREAD_WAIT_MS 30000
#define VEK_SPC_MAX 2560

typedef struct kmem_cache kmem_cache_zk;

/* ---- module globals ---- */
extern struct list_head record_list;		/* record_list_lock */
extern struct list_head cow_pids_list;		/* cow_thread_lock */
extern struct semaphore workLock;
extern struct semaphore session_list_lock;
extern struct semaphore session_work_lock;
extern spinlock_t cow_thread_lock;
extern spinlock_t record_list_lock;
extern atomic_t record_list_lenght;
extern atomic_t record_list_unblock;
extern atomic_t record_list_waiting;
extern wait_queue_head_t record_list_wait_queue;
extern atomic_t global_shutdown;
extern atomic_t shutdown_requested;
extern atomic_t users;
extern atomic_t total_cow_pages;
extern unsigned long zk_max_chunk_buffer;
extern struct task_struct *lock_debug_thread_task;
extern wait_queue_head_t lock_wait;
extern atomic_t lock_wait_count;
extern atomic_t lock_print_count;
extern struct completion lock_wait_done;
extern kmem_cache_zk *record_cache, *saved_cache, *cl_cache, *fc_cache, *rb_cache;
extern mempool_t *qel_bp_cache;
extern const struct file_operations cow_file_opts;

/*
 * The heartbeat the watchdog reads as progress: given after each blocking down(). Only
 * the first heartbeat the watchdog has not taken yet needs to wake it (cow_watchdog.cpp).
 */
static inline void lock_heartbeat(void)
{
	if (atomic_inc_return(&lock_wait_count) == 1)
		wake_up(&lock_wait);
}

/* ---- records ---- */

/* One affected chunk of one session for one request; lives on the request's stack list. */
struct chunk_list {
	sector_t chunk;
	struct cow_session *cs;
	struct cow_chunk *cc;
	struct if_chunk *ic;		/* one reference until stage 1 drops it */
	struct rb_wl *rbwl;
	struct bio *bio;		/* snapshot path: the piece in this chunk */
	int new_ic;			/* 1: this request created ic and must copy */
	struct list_head list;
};

/* Read interlock between snapshot reads served from the source and source writes. */
struct rb_wl {
	struct rb_node node;
	sector_t n;
	sector_t reads;			/* write_list_lock */
	sector_t writes;		/* write_list_lock */
	atomic_t done;
	wait_queue_head_t wait;
};

/* One cached page of a per-request page tree. */
struct rb_cache {
	struct rb_node node;
	sector_t n;
	struct page *p;
};

struct io_thread {
	struct list_head io_list;	/* queued if_chunks; io_threads_lock */
	wait_queue_head_t io_wait;
	atomic_t started;
	atomic_t pending_io;
	atomic_t pending_anon_io;
	atomic_t retired;		/* 1 once its worker has left; io_threads_lock */
	sector_t thread_pos;		/* next free slot; io_threads_lock */
};

struct io_thread_info {
	struct io_thread *io_threads[VEK_IO_THREADS];
	atomic_t io_threads_started;
	atomic_t io_threads_stop;
	spinlock_t io_threads_lock;	/* irqsave; queues, slot claims, chunk assignment */
	struct completion io_thread_done;
};

struct cow_pid_tracker {
	int pid;
	struct list_head list;		/* cow_pids_list; cow_thread_lock */
};

struct saved_info {
	struct completion *event;
	unsigned int bi_size;
	sector_t bi_sector;
	void *bi_private;
	bio_end_io_t *bi_end_io;
	struct block_device *bi_bdev;
	unsigned short bi_idx;
	int count;
	make_request_fn *savedMRF;
	struct block_device *target_bdev;
	struct cow_session *cs;		/* one user reference while the record lives */
	struct rb_wl *rbwl;
	unsigned int copied;
};

struct simple_page_cache {
	int size;
	struct list_head list;		/* most recently used first; lock */
	spinlock_t lock;		/* irqsave */
};

struct simple_cached_page {
	sector_t sector;
	struct page *page;
	struct list_head list;
};

struct handle_io {
	int submitted;
	struct cow_session *cs;
	struct chunk_list *cl;
	struct block_device *bdev;
	make_request_fn *mrf;
	struct bio *bio;
	struct blkdev_replica *clone;
	struct list_head *lf;
};

struct change_record {
	u64 major;
	u64 minor;
	sector_t start_sector;
	sector_t num_sectors;
	struct ct_session *cts;		/* never null */
	struct list_head list;		/* record_list; record_list_lock */
};

/*
 * A bi_flags bit of our own, above the block layer's: set on a bio that cow_request found
 * without a mapping and passed on once, so that it cannot go round again.
 */
#define VEK_BIO_REROUTED 14

/* ---- module and control device ---- */
int vek_init(void);
void vek_exit(void);
int vek_unload(void);
int handle_ioctlUnload(unsigned long arg);
int cow_ioctl(struct inode *inode, struct file *file, unsigned int cmd, unsigned long arg);
int handle_ioctlStartVK(unsigned long arg);
kmem_cache_zk *kmem_cache_create_zk(const char *name, size_t size);
void *alloc_common(kmem_cache_zk *cache, size_t size);
void free_common(kmem_cache_zk *cache, void *object);
struct file_copy *alloc_file_copy(struct cow_session *cs);
void put_file_copy(struct file_copy *fc, struct cow_session *cs);
struct rb_cache *alloc_rb_cache(void);
void put_rb_cache(struct rb_cache *node);
struct saved_info *alloc_saved_info(void);
void put_saved_info(struct saved_info *info);
struct chunk_list *alloc_chunk_list(void);
void put_chunk_list(struct chunk_list *cl);
struct change_record *alloc_change_record(void);
void put_change_record(struct change_record *rec);

/* ---- session control commands ---- */
int handle_ioctlStartVK2(unsigned long arg);
int handle_ioctlStopVK(unsigned long arg);
int handle_ioctlGetVKList(unsigned long arg);
int handle_ioctlGetVKDev(unsigned long arg);
int handle_ioctlGetDevPath(unsigned long arg);
int handle_ioctlGetBackingFile(unsigned long arg);
int handle_ioctlGetSessionError(unsigned long arg);
int handle_ioctlGetVersion(unsigned long arg);
int handle_ioctlGetVKList2(unsigned long arg);
int handle_ioctlGetVKListCount(unsigned long arg);
int handle_SetCowFile(unsigned long arg);
int ioctl_get_vek_device(struct snap_shot_request *req);
int ioctl_get_real_device_path(struct get_string *gs);
int ioctl_get_backing_file(struct get_string *gs);
int ioctl_get_session_error(struct get_string *gs);
int ioctl_set_session_file(struct set_cow_file *sf);
int ioctl_stop_vek_session(struct snap_shot_request *req);
int __ioctl_stop_vek_session(struct snap_shot_request *req);	/* workLock held */
int ioctl_get_session_list(struct session_list *array, int n);
int stop_all_vek_sessions(void);
int bdev_stop_wait_flush(int major, int minor);

/* ---- request routing ---- */
int cow_request(struct request_queue *q, struct bio *bio);
int virt_request(struct request_queue *q, struct bio *bio);
int generic_request(make_request_fn *request_fn, struct request_queue *q, struct bio *bio);
void do_request(make_request_fn *request_fn, struct request_queue *q, struct bio *bio);

/* ---- write interception ---- */
int __cow_request(struct request_queue *q, struct bio *bio);
int publish_chunk_copy(struct cow_session *cs, struct chunk_list *cl, struct cow_chunk *cc);
int get_affected_chunks(struct cow_session *cs, struct bio *bio, struct list_head *list);
void add_and_inc_if(struct cow_session *cs, struct if_chunk *ic);
struct if_chunk *get_and_inc_if(struct cow_session *cs, sector_t chunk);
void put_and_dec_if(struct cow_session *cs, struct if_chunk *ic);
struct rb_wl *rb_serach_wl(struct rb_root *root, sector_t value);
void rb_instert_wl(struct rb_root *root, struct rb_wl *n);
struct rb_wl *alloc_rb_wl(void);
void put_rbwl(struct rb_wl *rbwl);
void wait_for_read(struct rb_wl *rbwl);
/* As wait_for_read, but also ends once the session is in error (a failed snapshot read
 * never raises done). */
void wait_for_read_or_error(struct cow_session *cs, struct rb_wl *rbwl);
int is_cow_thread(void);
int is_cow_file_for_any_session(struct list_head *session_list, struct bio *bio);
void save_info(struct bio *bio, struct saved_info *info);
void restore_info(struct saved_info *info, struct bio *bio);
loff_t calc_bio_disk_pos(struct cow_session *cs, struct cow_chunk *cc, struct bio *bio);

/* ---- chunk copy ---- */
int copy_chunk_begin(struct cow_session *cs, struct if_chunk *ic, struct block_device *bdev,
		     make_request_fn *savedMRF, struct rb_root *rb);
struct cow_chunk *copy_chunk_end(struct cow_session *cs, struct if_chunk *ic,
				 struct rb_root *rb, struct bio *merge_bio, unsigned int *copied);
struct cow_chunk *copy_chunk(struct cow_session *cs, struct if_chunk *ic,
			     struct block_device *bdev, make_request_fn *savedMRF,
			     struct rb_root *rb, struct bio *merge_bio, unsigned int *copied);
void set_chunk_pos(struct cow_session *cs, struct cow_chunk *cc, sector_t chunk);
struct page *alloc_one_page(void);
struct bio *alloc_bio(int max_pages);
void cow_bio_endIO(struct bio *bio, int err);
void bio_endIO(struct bio *bio, int err);
void fc_copy_end_io(struct file_copy *fc, int err);
int read_from_page_cache(struct rb_root *rb, struct bio *bio);
void cache_pages(struct rb_root *rb, struct bio *bio);
struct rb_cache *rb_search(struct rb_root *root, sector_t value);
void rb_insert(struct rb_root *root, struct rb_cache *n);

/* ---- IO workers ---- */
int new_io_threads(struct io_thread_info *io_threads);
void free_io_threads(struct io_thread_info *io_threads);
int handel_RunIOThread(unsigned long arg);
int runIOThread(struct zk_thread_info *ti);
int handle_ioctlThreadWaitTimeout(unsigned long arg);
int handle_ioctlNoThreadShutdown(unsigned long arg);
int add_cow_thread(void);
void remove_cow_thread(void);
void adjust_thread_properites(int id, int thread_id);
int statfs(struct file *file, struct kstatfs *st);
void runIOCleanup(struct cow_session *cs);
void cleanup_ic(struct if_chunk *ic, struct cow_session *cs);

/* ---- snapshot device read and write paths ---- */
int __virt_request(struct request_queue *q, struct bio *bio);
int prep_chunk_list(struct cow_session *cs, struct chunk_list *cl, int rw);
int handle_virt_read(struct handle_io *hio);
int handle_virt_write(struct handle_io *hio);
int virt_store_io(struct handle_io *hio, struct cow_chunk *cc, unsigned long rw);
void vrt_bio_endIO(struct bio *bio, int err);
void finish_read(struct rb_wl *rbwl);
void virt_fc_end_io(struct file_copy *fc, int err);
int cached_io(struct cow_session *cs, struct bio *bio, int rw);
unsigned int io_on_if_chunk(struct cow_session *cs, struct if_chunk *ic, struct cow_chunk *cc,
			    struct bio *bio, int rw);
unsigned int bvec_to_if_chunk(struct cow_session *cs, struct if_chunk *ic,
			      struct bio_vec *bio_bvec, loff_t bio_bvec_disk_pos, int rw);
unsigned int bvec_to_if_bvec(struct bio_vec *bio_bvec, loff_t bio_bvec_disk_pos,
			     struct bio_vec *if_bvec, loff_t if_bvec_disk_pos, int rw);

/* ---- change records ---- */
void record_change(struct ct_session *cts, struct bio *bio, int virt);
int handle_ioctlGetChangedRecords(unsigned long arg);
int handle_ioctlGetChangedRecordsV2(unsigned long arg);
int ioctl_get_changed_records(struct change_recrod_request *crr, struct change_record_usr *cru);
int ioctl_get_changed_records_v2(struct change_recrod_request_v2 *crr,
				 struct change_record_usr_v2 *cru);
int handle_ioctlUnblockChangeRecords(unsigned long arg);
void safe_flush_changed_records(void);
void shutdown_flush_changed_recores(void);

/* ---- lock watchdog ---- */
int lock_debug_thread(void *data);
int lock_debug_sem_lock(struct semaphore *sem);
/* 0: had, with interrupts off (release with spin_unlock_irqrestore(lock, *flags)). */
int lock_debug_lock(spinlock_t *lock);	/* 0: held with interrupts off */
int ioctl_list_locks(void);
int handle_ioctlListLokcs(unsigned long arg);

#endif
