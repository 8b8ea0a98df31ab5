/*
 * cow_io_thread.cpp - IO workers: agent threads lent to the driver through RunIOThread.
 *
 * A worker serves one slot of one session: it takes the chunks queued to its slot and
 * moves their data through its own staging buffer and backing file, in the agent's
 * process context, until the session is stopped or fails and its last transfer is gone.
 * Also here: waiting for the first worker, giving up on workers, and failing the queued
 * transfers of a session that never got one.
 */
#include <linux/kernel.h>
#include <linux/errno.h>
#include <linux/list.h>
#include <linux/slab.h>
#include <linux/spinlock.h>
#include <linux/semaphore.h>
#include <linux/wait.h>
#include <linux/completion.h>
#include <linux/sched.h>
#include <linux/jiffies.h>
#include <linux/fs.h>
#include <linux/file.h>
#include <linux/statfs.h>
#include <linux/uaccess.h>
#include <linux/mm.h>

#include "cow.h"

#define VEK_WORKER_SLEEP_MS 5000
#define VEK_WORKER_YIELD 1000		/* jiffies; issued while runnable: a yield */
#define VEK_DRAIN_YIELD 100
#define VEK_ANON_BACKLOG 100
#define VEK_ANON_BURST 15
#define VEK_ANON_TRICKLE 1

/* ---- worker table ---- */

int new_io_threads(struct io_thread_info *io_threads)
{
	int i;

	for (i = 0; i < VEK_IO_THREADS; i++) {
		struct io_thread *iot = (struct io_thread *)kzalloc(sizeof(*iot), GFP_KERNEL);

		if (!iot) {
			printk(KERN_ERR "%s: ERROR: Failed to alloc %dth iothread\n", VEK_TAG, i);
			goto undo;
		}
		INIT_LIST_HEAD(&iot->io_list);
		init_waitqueue_head(&iot->io_wait);
		atomic_set(&iot->started, 0);
		atomic_set(&iot->pending_io, 0);
		atomic_set(&iot->pending_anon_io, 0);
		iot->thread_pos = 0;
		atomic_set(&iot->retired, 0);
		io_threads->io_threads[i] = iot;
	}
	return 1;

undo:
	while (i-- > 0) {
		kfree(io_threads->io_threads[i]);
		io_threads->io_threads[i] = NULL;
	}
	return 0;
}

void free_io_threads(struct io_thread_info *io_threads)
{
	int i;

	if (!io_threads)
		return;
	for (i = 0; i < VEK_IO_THREADS; i++) {
		kfree(io_threads->io_threads[i]);
		io_threads->io_threads[i] = NULL;
	}
}

/* ---- registry of worker thread ids (lets the write path pass worker I/O) ---- */

int add_cow_thread(void)
{
	struct cow_pid_tracker *t, *e;
	unsigned long flags;
	int listed = 0;

	t = (struct cow_pid_tracker *)kmalloc(sizeof(*t), GFP_KERNEL);
	if (!t)
		return 1;
	t->pid = current->pid;

	spin_lock_irqsave(&cow_thread_lock, flags);
	list_for_each_entry(e, &cow_pids_list, list) {
		if (e->pid == t->pid) {
			listed = 1;
			break;
		}
	}
	if (!listed)
		list_add_tail(&t->list, &cow_pids_list);
	spin_unlock_irqrestore(&cow_thread_lock, flags);

	if (listed)
		kfree(t);
	return 0;
}

void remove_cow_thread(void)
{
	struct cow_pid_tracker *e, *next;
	unsigned long flags;
	pid_t pid = current->pid;
	LIST_HEAD(gone);

	spin_lock_irqsave(&cow_thread_lock, flags);
	list_for_each_entry_safe(e, next, &cow_pids_list, list) {
		if (e->pid == pid)
			list_move_tail(&e->list, &gone);
	}
	spin_unlock_irqrestore(&cow_thread_lock, flags);

	list_for_each_entry_safe(e, next, &gone, list) {
		list_del(&e->list);
		kfree(e);
	}
}

/*
 * The worker must not be frozen, throttled or stopped by a signal while it holds chunk
 * data the snapshot depends on. The signal table is shared with the agent's other threads.
 */
void adjust_thread_properites(int id, int thread_id)
{
	char name[TASK_COMM_LEN];
	struct sighand_struct *sh = current->sighand;
	int i;

	current->flags |= PF_NOFREEZE | PF_LESS_THROTTLE;

	snprintf(name, sizeof(name), "vek_io/%d/%d", id, thread_id);
	set_task_comm(current, name);	/* takes the task lock */

	set_user_nice(current, 0);

	if (sh) {
		spin_lock_irq(&sh->siglock);
		for (i = 0; i < _NSIG; i++)
			sh->action[i].sa.sa_handler = SIG_IGN;
		spin_unlock_irq(&sh->siglock);
	}
	clear_tsk_thread_flag(current, TIF_SIGPENDING);
}

/* Free space of the file system holding the file: 0 on success, 1 otherwise. */
int statfs(struct file *file, struct kstatfs *st)
{
	struct dentry *dentry;

	if (!file || !file->f_path.dentry)
		return 1;
	dentry = file->f_path.dentry;
	if (!dentry->d_sb || !dentry->d_sb->s_op)
		return 1;
	return vfs_statfs(dentry, st) ? 1 : 0;
}

/* ---- the worker loop ---- */

static unsigned long io_thresh(struct io_thread_info *ti)
{
	unsigned long n = (unsigned long)atomic_read(&ti->io_threads_started);

	return n ? zk_max_chunk_buffer / n : zk_max_chunk_buffer;
}

/* The worker's wait condition; submissions test it too, to wake the worker only for it. */
int worker_has_work(struct cow_session *cs, struct io_thread *iot)
{
	struct io_thread_info *ti = cs->thread_info;

	return atomic_read(&iot->pending_io) > (long)(io_thresh(ti) / 2) ||
	       atomic_read(&iot->pending_anon_io) > 0 ||
	       atomic_read(&ti->io_threads_stop) > 0 || is_error(cs) || close_files(cs);
}

/* A timed schedule issued while runnable gives the processor up without sleeping. */
static void worker_yield(long timeout)
{
	__set_current_state(TASK_RUNNING);
	schedule_timeout(timeout);
}

static void quota_check(struct cow_session *cs, struct io_thread *iot, struct file *file)
{
	struct kstatfs st;

	if ((unsigned long)atomic_read(&iot->pending_io) <= zk_max_chunk_buffer || !file)
		return;
	memset(&st, 0, sizeof(st));
	if (statfs(file, &st))
		return;
	if (st.f_bavail < cs->bfree) {
		printk(KERN_ERR "%s: ERROR: user specified quota reached, tarvish session vek%d ending.\n",
		       VEK_TAG, cs->clone_id);
		invalidate_session(cs, "USER QUOTA REACHED");
	}
}

/*
 * Preserved chunks are written in batches; snapshot-device requests, which a reader
 * waits for, go ahead of a preserved backlog that is still below the worker's share.
 */
static void serve_preserved(struct cow_session *cs, struct io_thread *iot,
			    struct list_head *local, struct user_buffer *ub, struct file *file)
{
	struct io_thread_info *ti = cs->thread_info;
	struct if_chunk *ic, *next;
	unsigned long proccessed_io = 0;

	list_for_each_entry_safe(ic, next, local, submit_list) {
		unsigned long thresh = io_thresh(ti);
		unsigned long min_proccessed = thresh / 10 ? thresh / 10 : 1;
		long anon = atomic_read(&iot->pending_anon_io);
		long pending = atomic_read(&iot->pending_io);

		if (ic->anon == 1)
			continue;
		if (anon > 0 && proccessed_io > 0 && pending < (long)thresh)
			break;
		if (anon > VEK_ANON_BACKLOG && proccessed_io >= min_proccessed)
			break;
		do_ic_io(cs, ic, ub, file);
		atomic_dec(&iot->pending_io);
		proccessed_io++;
	}
}

static void serve_anon(struct cow_session *cs, struct io_thread *iot, struct list_head *local,
		       struct user_buffer *ub, struct file *file)
{
	struct io_thread_info *ti = cs->thread_info;
	struct if_chunk *ic, *next;
	unsigned long c = 0;

	list_for_each_entry_safe(ic, next, local, submit_list) {
		unsigned long thresh = io_thresh(ti);
		long pending = atomic_read(&iot->pending_io);

		if (ic->anon == 0)
			continue;
		if (pending > (long)max_t(unsigned long, thresh / 2, 1) && c > VEK_ANON_BURST)
			break;
		if (pending > (long)max_t(unsigned long, thresh, 1) && c > VEK_ANON_TRICKLE)
			break;
		do_ic_io(cs, ic, ub, file);
		atomic_dec(&iot->pending_anon_io);
		c++;
	}
}

/*
 * The worker stops serving its queue, unless a transfer has been queued since the caller
 * looked. A copy decided before the stop or error may still be on its way (its transfer
 * not yet allocated, so fc_count did not show it); its submission finds the slot retired
 * and releases it instead of leaving it queued where nobody serves it. The slot stays
 * claimed: `started` is never decremented (the stop and the watchdog's listing read it).
 */
static int retire_worker(struct io_thread_info *ti, struct io_thread *iot)
{
	unsigned long flags;
	int retired = 0;

	spin_lock_irqsave(&ti->io_threads_lock, flags);
	if (atomic_read(&iot->pending_io) == 0 && atomic_read(&iot->pending_anon_io) == 0) {
		atomic_set(&iot->retired, 1);
		retired = 1;
	}
	spin_unlock_irqrestore(&ti->io_threads_lock, flags);
	return retired;
}

/*
 * Stop or error seen: leave only when this slot and the whole session have no transfer
 * left. session_work_lock keeps new work for the session from being made meanwhile. This
 * down gives no lock heartbeat: a draining worker polls here, and a drain that cannot end
 * (the stop waiting for it with workLock held) must leave the watchdog its quiet period.
 */
static int worker_may_leave(struct cow_session *cs, struct io_thread *iot)
{
	int leave;

	if (atomic_read(&cs->thread_info->io_threads_stop) == 0 && !is_error(cs))
		return 0;
	down(&session_work_lock);
	leave = atomic_read(&iot->pending_io) == 0 && atomic_read(&iot->pending_anon_io) == 0 &&
		atomic_read(&cs->fc_count) == 0;
	if (leave)
		leave = retire_worker(cs->thread_info, iot);
	up(&session_work_lock);
	if (!leave)
		worker_yield(VEK_DRAIN_YIELD);
	return leave;
}

static void worker_loop(struct cow_session *cs, struct io_thread *iot, struct user_buffer *ub,
			struct file *file)
{
	struct io_thread_info *ti = cs->thread_info;
	unsigned long flags;
	LIST_HEAD(local_copy_list);

	for (;;) {
		if (!worker_has_work(cs, iot))
			wait_event_interruptible_timeout(iot->io_wait, worker_has_work(cs, iot),
							 msecs_to_jiffies(VEK_WORKER_SLEEP_MS));

		quota_check(cs, iot, file);

		spin_lock_irqsave(&ti->io_threads_lock, flags);
		list_splice_tail_init(&iot->io_list, &local_copy_list);
		spin_unlock_irqrestore(&ti->io_threads_lock, flags);

		serve_preserved(cs, iot, &local_copy_list, ub, file);
		serve_anon(cs, iot, &local_copy_list, ub, file);

		worker_yield(VEK_WORKER_YIELD);

		if (worker_may_leave(cs, iot))
			break;
	}
}

/* ---- registration and exit ---- */

static struct cow_session *grab_session(int id)
{
	struct cow_session *cs;

	down(&workLock);
	lock_heartbeat();
	cs = get_cow_session_by_id(id);
	if (cs)
		inc_users(cs);
	up(&workLock);
	return cs;
}

/* Claims the next slot, or returns -1 when all are taken. */
static int claim_slot(struct io_thread_info *ti)
{
	unsigned long flags;
	int thread_id = -1;

	spin_lock_irqsave(&ti->io_threads_lock, flags);
	if (atomic_read(&ti->io_threads_started) < VEK_IO_THREADS) {
		thread_id = atomic_read(&ti->io_threads_started);
		atomic_inc(&ti->io_threads_started);
		atomic_inc(&ti->io_threads[thread_id]->started);
	}
	spin_unlock_irqrestore(&ti->io_threads_lock, flags);
	return thread_id;
}

/*
 * A segment is at most one page. A smaller (or absent) buffer could not hold one, and
 * the chunks bound to this worker could then never be stored: fail the session now,
 * while the worker stays to drain its queue with -5 and never touches the buffer.
 */
static int staging_buffer_ok(struct cow_session *cs, struct zk_thread_info *ti)
{
	if (ti->user_addr && ti->buffer_size >= (int)PAGE_SIZE)
		return 1;
	printk(KERN_ERR "%s: ERROR: COW Thread (%d) staging buffer %p + %d cannot hold a %lu byte segment, disabling vek session (%d).\n",
	       VEK_TAG, ti->id, (void *)(unsigned long)ti->user_addr, ti->buffer_size,
	       (unsigned long)PAGE_SIZE, cs->clone_id);
	invalidate_session(cs, "BUFFER ERROR");
	return 0;
}

/* Runs in the calling agent thread; returns only when the worker leaves. */
int runIOThread(struct zk_thread_info *ti)
{
	struct cow_session *cs;
	struct io_thread *iot;
	struct user_buffer ub;
	struct file *file;
	int thread_id;

	if (add_cow_thread()) {
		printk(KERN_ERR "%s: ERROR: could not add threaad!\n", VEK_TAG);
		goto out_deregister;
	}

	cs = grab_session(ti->session_id);
	if (!cs) {
		printk(KERN_ERR "%s: ERROR: started new thread without a session, thread exiting.\n",
		       VEK_TAG);
		goto out_deregister;
	}

	thread_id = claim_slot(cs->thread_info);
	if (thread_id < 0) {
		complete(&cs->thread_info->io_thread_done);
		goto out_put;
	}
	iot = cs->thread_info->io_threads[thread_id];

	memset(&ub, 0, sizeof(ub));
	ub.addr = (unsigned long)ti->user_addr;
	ub.size = ti->buffer_size;
	ub.slot = (int)cs->chunk_size;

	file = fget(ti->file_fd);
	if (!file) {
		printk(KERN_ERR "%s: ERROR: COW Thread (%d) could not get file handel.\n", VEK_TAG,
		       ti->id);
		printk(KERN_ERR "%s: ERROR: Didsabling vek session (%d) due to file error.\n",
		       VEK_TAG, cs->clone_id);
		invalidate_session(cs, "FILE ERROR");
	}
	if (!staging_buffer_ok(cs, ti))
		ub.size = 0;

	adjust_thread_properites(cs->clone_id, thread_id);
	complete(&cs->thread_info->io_thread_done);
	printk(KERN_INFO "%s: INFO: vek_io: Thread(%d) with user space address %p + %d\n", VEK_TAG,
	       thread_id, (void *)(unsigned long)ti->user_addr, ti->buffer_size);

	worker_loop(cs, iot, &ub, file);

	/* Staged data is not written back: the files matter only while the session lives. */
	if (file)
		kernel_close_file(file);
out_put:
	dec_users(cs);
out_deregister:
	remove_cow_thread();
	return 0;
}

int handel_RunIOThread(unsigned long arg)
{
	struct zk_thread_info ti;

	if (copy_from_user(&ti, (const void __user *)arg, sizeof(ti))) {
		printk(KERN_ERR "%s: ERROR: Could not get session ID from user space.\n", VEK_TAG);
		return 1;
	}
	runIOThread(&ti);
	return 0;
}

/* ---- waiting for workers, giving up on them ---- */

static struct snap_shot_request *get_user_request(unsigned long arg)
{
	struct snap_shot_request *req;

	req = (struct snap_shot_request *)kmalloc(sizeof(*req), GFP_KERNEL);
	if (!req) {
		printk(KERN_ERR "%s: ERROR: Could not allocate kernel snapshot request.\n", VEK_TAG);
		return NULL;
	}
	memset(req, 0, sizeof(*req));
	if (copy_from_user(req, (const void __user *)arg, sizeof(*req))) {
		printk(KERN_ERR "%s: ERROR: Could not copy snapshot request from user space.\n",
		       VEK_TAG);
		kfree(req);
		return NULL;
	}
	return req;
}

/* Each call consumes one completion; each RunIOThread that reached the session left one. */
int handle_ioctlThreadWaitTimeout(unsigned long arg)
{
	struct snap_shot_request *req;
	struct cow_session *cs;
	unsigned long left;
	int ret = -1;

	req = get_user_request(arg);
	if (!req)
		return -1;

	cs = grab_session(req->id);
	if (!cs)
		goto out_free;

	left = wait_for_completion_timeout(&cs->thread_info->io_thread_done,
					   msecs_to_jiffies(VEK_THREAD_WAIT_MS));
	if (!left)
		printk(KERN_ERR "%s: ERROR: Backing thread for session %d did not start after %d msecs!\n",
		       VEK_TAG, req->id, VEK_THREAD_WAIT_MS);
	else if (atomic_read(&cs->sd))
		ret = -1;	/* stopping: whatever came, no worker serves the session now */
	else
		ret = 0;
	dec_users(cs);
out_free:
	kfree(req);
	return ret;
}

/*
 * No worker has claimed a slot: put the session in error, in one io_threads_lock section
 * with the test, so that a slot claim comes either before the test (and the session is
 * kept) or after the error is set. A worker that looked the session up before the stop
 * unlists it may still claim a slot then; it finds the session in error and its queue
 * emptied by runIOCleanup, whose counts follow, and leaves at its first exit check.
 * 1 when the session was given up.
 */
static int give_up_without_workers(struct cow_session *cs)
{
	struct io_thread_info *ti = cs->thread_info;
	unsigned long flags;
	int none;

	spin_lock_irqsave(&ti->io_threads_lock, flags);
	none = atomic_read(&ti->io_threads_started) == 0;
	if (none)
		invalidate_session(cs, "NO THREADS");
	spin_unlock_irqrestore(&ti->io_threads_lock, flags);
	return none;
}

int handle_ioctlNoThreadShutdown(unsigned long arg)
{
	struct snap_shot_request *req;
	struct cow_session *cs;

	req = get_user_request(arg);
	if (!req)
		return -1;

	down(&workLock);
	lock_heartbeat();
	cs = get_cow_session_by_id(req->id);
	if (!cs || !give_up_without_workers(cs)) {
		up(&workLock);
		kfree(req);
		return 0;
	}
	printk(KERN_ERR "%s: ERROR: tarvish session vek%d had no threads running, shutting down!\n",
	       VEK_TAG, cs->clone_id);
	runIOCleanup(cs);
	/* In the same workLock section: the number could name another session after it. */
	__ioctl_stop_vek_session(req);
	up(&workLock);
	kfree(req);
	return -1;
}

/* ---- failing queued transfers of a session that has no worker ---- */

/* Caller holds ic's virt_lock. Ends and releases every transfer of the chunk. */
void cleanup_ic(struct if_chunk *ic, struct cow_session *cs)
{
	struct file_copy *fc, *next;

	list_for_each_entry_safe(fc, next, &ic->fc_list_head, fc_list) {
		list_del_init(&fc->fc_list);
		fc_endio(fc, -EIO);
		put_file_copy(fc, cs);
	}
}

/*
 * Caller: io_threads_lock held. Moves the slot's queue to `to` and takes its entries out of
 * the slot's pending counts, which count what is queued and not yet served: left behind, a
 * count of transfers no queue holds any more would keep a worker that registers later from
 * ever leaving (and the stop that waits for it, with workLock held, from ending).
 */
static void detach_queue(struct io_thread *iot, struct list_head *to)
{
	struct if_chunk *ic;
	int preserved = 0, anon = 0;

	list_for_each_entry(ic, &iot->io_list, submit_list) {
		if (ic->anon == 0)
			preserved++;
		else
			anon++;
	}
	atomic_sub(preserved, &iot->pending_io);
	atomic_sub(anon, &iot->pending_anon_io);
	list_splice_tail_init(&iot->io_list, to);
}

/*
 * virt_lock sleeps and io_threads_lock is a spinlock with interrupts off, so the queues
 * are detached onto a private list under the spinlock and each chunk's virt_lock is taken
 * only after it has been released. The pending counters drop with the detach.
 */
void runIOCleanup(struct cow_session *cs)
{
	struct io_thread_info *ti = cs->thread_info;
	struct if_chunk *ic, *next;
	unsigned long flags;
	LIST_HEAD(detached);
	int i;

	spin_lock_irqsave(&ti->io_threads_lock, flags);
	for (i = 0; i < VEK_IO_THREADS; i++)
		detach_queue(ti->io_threads[i], &detached);
	spin_unlock_irqrestore(&ti->io_threads_lock, flags);

	list_for_each_entry_safe(ic, next, &detached, submit_list) {
		list_del_init(&ic->submit_list);
		down(&ic->virt_lock);
		lock_heartbeat();
		cleanup_ic(ic, cs);
		up(&ic->virt_lock);
		put_and_dec_if(cs, ic);
	}
}
