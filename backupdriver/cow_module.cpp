/*
 * cow_module.cpp - the module's frame: global state, load and unload, the driver shutdown
 * (also reachable by ioctl), the control device's file operations and the object allocators
 * of the data paths.
 */
#include "cow.h"

#include <linux/kernel.h>
#include <linux/module.h>
#include <linux/init.h>
#include <linux/err.h>
#include <linux/kthread.h>
#include <linux/poll.h>
#include <linux/mm.h>

MODULE_LICENSE("Proprietary");
MODULE_DESCRIPTION("Linux Tarvish Driver");
MODULE_VERSION("4.6.0 build 27");

#define VEK_CHRDEV_MAJOR 120
#define VEK_CHRDEV_MINORS 256
#define VEK_BP_POOL_ELEMENTS 256
#define VEK_BP_ELEMENT_SIZE 456		/* the platform's bio_pair */

static_assert(sizeof(struct bio_pair) == VEK_BP_ELEMENT_SIZE, "bio_pair size");

/* ---- module globals ---- */
LIST_HEAD(record_list);			/* record_list_lock */
LIST_HEAD(cow_pids_list);		/* cow_thread_lock */
struct semaphore workLock;		/* start, stop, set-file, shutdown, look-ups by id */
struct semaphore session_list_lock;	/* session and change-tracking lists */
struct semaphore session_work_lock;	/* decisions that create chunk work */
spinlock_t cow_thread_lock;
spinlock_t record_list_lock;
atomic_t record_list_lenght;
atomic_t record_list_unblock;
atomic_t record_list_waiting;
wait_queue_head_t record_list_wait_queue;
atomic_t global_shutdown = ATOMIC_INIT(1);
atomic_t shutdown_requested;
atomic_t users;				/* open control handles */
atomic_t total_cow_pages;
unsigned long zk_max_chunk_buffer = 160;
struct task_struct *lock_debug_thread_task;	/* null when no watchdog runs */
wait_queue_head_t lock_wait;
atomic_t lock_wait_count;
atomic_t lock_print_count;
struct completion lock_wait_done;
kmem_cache_zk *record_cache, *saved_cache, *cl_cache, *fc_cache, *rb_cache;
mempool_t *qel_bp_cache;		/* reserve pool: lives from load to exit, never drawn on */

/* ---- object allocators ---- */

kmem_cache_zk *kmem_cache_create_zk(const char *name, size_t size)
{
	return kmem_cache_create(name, size, 0, SLAB_HWCACHE_ALIGN, NULL);
}

/*
 * Any context: never sleeps. Falls back to the general allocator when the record's cache
 * could not be created at load. Objects are not zeroed.
 */
void *alloc_common(kmem_cache_zk *cache, size_t size)
{
	void *obj;

	if (cache) {
		obj = kmem_cache_alloc(cache, GFP_ATOMIC);
		if (!obj)
			obj = kmem_cache_alloc(cache, GFP_ATOMIC);
	} else {
		obj = kmalloc(size, GFP_ATOMIC);
		if (!obj)
			obj = kmalloc(size, GFP_ATOMIC);
	}
	return obj;
}

void free_common(kmem_cache_zk *cache, void *object)
{
	if (!object)
		return;
	if (cache)
		kmem_cache_free(cache, object);
	else
		kfree(object);
}

struct file_copy *alloc_file_copy(struct cow_session *cs)
{
	struct file_copy *fc = (struct file_copy *)alloc_common(fc_cache, sizeof(*fc));

	if (fc)
		atomic_inc(&cs->fc_count);
	return fc;
}

void put_file_copy(struct file_copy *fc, struct cow_session *cs)
{
	if (!fc)
		return;
	free_common(fc_cache, fc);
	atomic_dec(&cs->fc_count);
}

struct rb_cache *alloc_rb_cache(void)
{
	return (struct rb_cache *)alloc_common(rb_cache, sizeof(struct rb_cache));
}

void put_rb_cache(struct rb_cache *node)
{
	free_common(rb_cache, node);
}

struct saved_info *alloc_saved_info(void)
{
	return (struct saved_info *)alloc_common(saved_cache, sizeof(struct saved_info));
}

void put_saved_info(struct saved_info *info)
{
	free_common(saved_cache, info);
}

struct chunk_list *alloc_chunk_list(void)
{
	return (struct chunk_list *)alloc_common(cl_cache, sizeof(struct chunk_list));
}

void put_chunk_list(struct chunk_list *cl)
{
	free_common(cl_cache, cl);
}

struct change_record *alloc_change_record(void)
{
	return (struct change_record *)alloc_common(record_cache, sizeof(struct change_record));
}

void put_change_record(struct change_record *rec)
{
	free_common(record_cache, rec);
}

/* ---- control device ---- */

/* Process context, the opener. */
static int cow_open(struct inode *inode, struct file *file)
{
	atomic_inc(&users);
	return 0;
}

static ssize_t cow_read(struct file *file, char __user *buf, size_t count, loff_t *pos)
{
	return 0;
}

static ssize_t cow_write(struct file *file, const char __user *buf, size_t count, loff_t *pos)
{
	return 0;
}

static unsigned int cow_poll(struct file *file, struct poll_table_struct *wait)
{
	return 0;
}

static long cow_ioctl_unlocked(struct file *file, unsigned int cmd, unsigned long arg)
{
	return (long)cow_ioctl(NULL, file, cmd, arg);
}

static int cow_mmap(struct file *file, struct vm_area_struct *vma)
{
	return 0;
}

/*
 * Process context, the last closer of a handle. With the last handle gone nobody fetches
 * change records any more: the queue is dropped and tracking is marked as having missed
 * writes, so the next incremental backup knows it cannot trust the records.
 */
static int cow_release(struct inode *inode, struct file *file)
{
	if (atomic_dec_and_test(&users)) {
		clear_all_cts();
		safe_flush_changed_records();
	}
	return 0;
}

const struct file_operations cow_file_opts = {
	.owner = THIS_MODULE,
	.read = cow_read,
	.write = cow_write,
	.poll = cow_poll,
	.unlocked_ioctl = cow_ioctl_unlocked,
	.mmap = cow_mmap,
	.open = cow_open,
	.release = cow_release,
};

/* ---- load and unload ---- */

static void destroy_caches(void)
{
	kmem_cache_zk **caches[] = { &record_cache, &saved_cache, &cl_cache, &rb_cache,
				     &fc_cache };

	for (unsigned int i = 0; i < ARRAY_SIZE(caches); i++) {
		if (*caches[i]) {
			kmem_cache_destroy(*caches[i]);
			*caches[i] = NULL;
		}
	}
	if (qel_bp_cache) {
		mempool_destroy(qel_bp_cache);
		qel_bp_cache = NULL;
	}
}

static void create_caches(void)
{
	record_cache = kmem_cache_create_zk("qel_record_cache", sizeof(struct change_record));
	if (!record_cache)
		printk(KERN_ERR "%s: ERROR: Could not create qel record cache.\n", VEK_TAG);
	saved_cache = kmem_cache_create_zk("qel_saved_cache", sizeof(struct saved_info));
	if (!saved_cache)
		printk(KERN_ERR "%s: ERROR: Could not create qel saved cache.\n", VEK_TAG);
	cl_cache = kmem_cache_create_zk("qel_chunk_list_cache", sizeof(struct chunk_list));
	if (!cl_cache)
		printk(KERN_ERR "%s: ERROR: Could not create qel cunk list cache.\n", VEK_TAG);
	fc_cache = kmem_cache_create_zk("qel_fc_cache", sizeof(struct file_copy));
	if (!fc_cache)
		printk(KERN_ERR "%s: ERROR: Could not create qle fc cache.\n", VEK_TAG);
	rb_cache = kmem_cache_create_zk("qel_rb_cache", sizeof(struct rb_cache));
	if (!rb_cache)
		printk(KERN_ERR "%s: ERROR: Could not create qel rb cache.\n", VEK_TAG);
}

static void init_globals(void)
{
	atomic_set(&global_shutdown, 1);
	atomic_set(&shutdown_requested, 0);
	atomic_set(&users, 0);
	atomic_set(&total_cow_pages, 0);
	atomic_set(&record_list_lenght, 0);
	atomic_set(&record_list_waiting, 0);
	atomic_set(&record_list_unblock, 0);
	sema_init(&session_list_lock, 1);
	sema_init(&session_work_lock, 1);
	sema_init(&workLock, 1);
	spin_lock_init(&cow_thread_lock);
	spin_lock_init(&record_list_lock);
	init_waitqueue_head(&record_list_wait_queue);
	/* A module loaded again in the same machine starts from empty lists. */
	INIT_LIST_HEAD(&session_list_head);
	INIT_LIST_HEAD(&record_list);
	INIT_LIST_HEAD(&cow_pids_list);
	session_count = 0;
	zk_max_chunk_buffer = 160;
	lock_debug_thread_task = NULL;
}

static void start_watchdog(void)
{
	struct task_struct *task;

	atomic_set(&global_shutdown, 0);
	atomic_set(&lock_wait_count, 0);
	atomic_set(&lock_print_count, 0);
	init_waitqueue_head(&lock_wait);
	init_completion(&lock_wait_done);

	task = kthread_create(lock_debug_thread, NULL, "vek_watchdog");
	if (!task || IS_ERR(task)) {
		printk(KERN_ERR "%s: ERROR: vek watchdog failed to start!\n", VEK_TAG);
		lock_debug_thread_task = NULL;
		return;
	}
	lock_debug_thread_task = task;
	wake_up_process(task);
	wait_for_completion(&lock_wait_done);
}

/* Process context (insmod). */
int vek_init(void)
{
	int hash_made = 0;

	init_globals();

	if (!init_mrf_hash()) {
		printk(KERN_ERR "%s: ERROR: Could not init mrf hash!\n", VEK_TAG);
		goto fail;
	}
	hash_made = 1;

	create_caches();

	qel_bp_cache = mempool_create_kmalloc_pool(VEK_BP_POOL_ELEMENTS, VEK_BP_ELEMENT_SIZE);
	if (!qel_bp_cache) {
		printk(KERN_ERR "%s: ERROR: Could not create qel bp cache.\n", VEK_TAG);
		goto fail;
	}

	if (__register_chrdev(VEK_CHRDEV_MAJOR, 0, VEK_CHRDEV_MINORS, VEK_CONTROL_NAME,
			      &cow_file_opts) < 0) {
		printk(KERN_ERR "%s: ERROR: Could not register char device.\n", VEK_TAG);
		goto fail;
	}

	printk(KERN_INFO "%s: INFO: vek driver loaded: %d.%d.%d %d, NR_CPUS: %d\n", VEK_TAG,
	       VEK_VERSION_MAJOR, VEK_VERSION_MINOR, VEK_VERSION_MAINT, VEK_VERSION_BUILD,
	       NR_CPUS);

	start_watchdog();
	return 0;

fail:
	destroy_caches();
	if (hash_made)
		free_mrf_hash();
	return -1;
}

/* Process context (rmmod); no control handle and no snapshot device is open. */
void vek_exit(void)
{
	INIT_COMPLETION(lock_wait_done);
	atomic_set(&global_shutdown, 1);
	if (lock_debug_thread_task) {
		kthread_stop(lock_debug_thread_task);
		lock_debug_thread_task = NULL;
	}

	vek_unload();

	__unregister_chrdev(VEK_CHRDEV_MAJOR, 0, VEK_CHRDEV_MINORS, VEK_CONTROL_NAME);
	destroy_caches();
	printk(KERN_INFO "%s: INFO: driver unloaded.\n", VEK_TAG);
}

/*
 * Driver shutdown: every later start is refused, whatever happens here. Holds workLock
 * throughout so no start or stop runs beside it. 0, or 1 when a session could not be stopped.
 */
int vek_unload(void)
{
	int result = 0;

	down(&workLock);
	lock_heartbeat();

	atomic_set(&shutdown_requested, 1);

	if (stop_all_vek_sessions()) {
		printk(KERN_ERR "%s: ERROR: could not stop all vek sessions!\n", VEK_TAG);
		result = 1;
		goto out;
	}

	stop_all_cts();
	shutdown_flush_changed_recores();
	free_mrf_hash();
	printk(KERN_INFO "%s: INFO: vek driver has been shutdown.\n", VEK_TAG);
out:
	up(&workLock);
	return result;
}

int handle_ioctlUnload(unsigned long arg)
{
	return vek_unload() == 0 ? 0 : -1;
}

module_init(vek_init);
module_exit(vek_exit);
