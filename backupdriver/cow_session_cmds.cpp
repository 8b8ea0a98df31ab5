/*
 * cow_session_cmds.cpp - the session commands of the control device: start, stop, the
 * session lists and count, the session of a device, the string queries, the version and
 * set-file; and the stop of all sessions used by the driver shutdown.
 *
 * All handlers run in the calling agent thread. Handlers that take a record work on a
 * zeroed kernel copy and copy the whole record back where the command says so. Start,
 * stop, set-file and stop-all hold workLock for their whole work; the query walks hold
 * only session_list_lock, which keeps a session from being unlisted and freed under them.
 */
#include "cow.h"

#include <linux/kernel.h>
#include <linux/string.h>
#include <linux/uaccess.h>
#include <linux/delay.h>
#include <linux/file.h>

#define VEK_STOP_ATTEMPTS 5
#define VEK_STOP_RETRY_MS 1000

/* Read without workLock by the replies; written under it. */
static inline int read_session_count(void)
{
	return __atomic_load_n(&session_count, __ATOMIC_RELAXED);
}

static void *user_ptr(unsigned long arg)
{
	return (void *)arg;
}

/* A zeroed kernel copy of the caller's snap_shot_request, or null (logged). */
static struct snap_shot_request *copy_in_request(unsigned long arg)
{
	struct snap_shot_request *req;

	req = (struct snap_shot_request *)kzalloc(sizeof(*req), GFP_KERNEL);
	if (!req) {
		printk(KERN_ERR "%s: ERROR: Could not allocate kernel snapshot request.\n", VEK_TAG);
		return NULL;
	}
	if (copy_from_user(req, user_ptr(arg), sizeof(*req))) {
		printk(KERN_ERR "%s: ERROR: Could not copy snapshot request from user space.\n",
		       VEK_TAG);
		kfree(req);
		return NULL;
	}
	return req;
}

/* ---- start ---- */

/*
 * The caller never learned the id of a session whose reply could not be delivered: take it
 * away completely. workLock has been held since the start, so no stop that guessed the id
 * and no other start can have come in between: the session is still listed and is the one
 * this start made (a session found again after the lock was dropped could be another one
 * in a reused record).
 */
static void undo_start(struct cow_session *started)
{
	unlist_stopping_session(started);
	stop_cow_session(started);
	put_cow_session(started);
}

int handle_ioctlStartVK2(unsigned long arg)
{
	struct snap_shot_request *req = copy_in_request(arg);
	struct cow_session *cs = NULL;
	int locked, rc;

	if (!req)
		return -1;
	/* A start interrupted while waiting for workLock fails silently; the reply still goes. */
	locked = down_interruptible(&workLock) == 0;
	if (locked)
		cs = __ioctl_start_vek_session(req);
	req->active_sessions = read_session_count();
	if (copy_to_user(user_ptr(arg), req, sizeof(*req))) {
		printk(KERN_ERR "%s: ERROR: Could not copy snapshot request to user space.\n",
		       VEK_TAG);
		if (cs)
			undo_start(cs);
		rc = -1;
	} else {
		rc = cs ? 0 : -1;
	}
	if (locked)
		up(&workLock);
	kfree(req);
	return rc;
}

/* ---- stop ---- */

/*
 * Prepares the snapshot device (major, minor) for removal: flush it and ask for its
 * shutdown, retrying for about five seconds while processes other than the agent hold it.
 * 0 when it is gone (or never existed), 1 when it stayed busy.
 */
int bdev_stop_wait_flush(int major, int minor)
{
	struct block_device *bdev;

	/* Only slots of the device table can name a snapshot device. */
	if (minor <= 0 || minor >= MAX_REPLICAS || major < 0 || major > 0xFFF)
		return 0;

	for (int i = 0; i < VEK_STOP_ATTEMPTS; i++) {
		bdev = bdget(MKDEV((unsigned int)major, (unsigned int)minor));
		if (bdev) {
			fsync_bdev(bdev);
			bdput(bdev);
		}
		if (blkdev_shutdown(minor) == 0)
			return 0;
		msleep(VEK_STOP_RETRY_MS);
	}
	return 1;
}

/*
 * Caller holds workLock: the session of req->id is the one the caller found, not another
 * that a stop and a start in between gave the same number.
 */
int __ioctl_stop_vek_session(struct snap_shot_request *req)
{
	struct cow_session *cs;

	if (bdev_stop_wait_flush(VEK_CLONE_MAJOR, req->id)) {
		printk(KERN_ERR "%s: ERROR: Can not stop mounted vek session vek%d, please unmount "
		       "and try again.\n", VEK_TAG, req->id);
		return 1;
	}

	down(&session_list_lock);
	lock_heartbeat();
	cs = get_cow_session_by_id(req->id);
	if (!cs) {
		up(&session_list_lock);
		return 0;
	}
	printk(KERN_INFO "%s: INFO: stopping vek session vek%d.\n", VEK_TAG, req->id);
	__unlist_stopping_session(cs);
	up(&session_list_lock);

	snprintf(req->backing_file, sizeof(req->backing_file), "%s", cs->other_info->backing_file);

	stop_cow_session(cs);
	put_cow_session(cs);

	printk(KERN_INFO "%s: INFO: vek session vek%d stopped.\n", VEK_TAG, req->id);
	return 0;
}

int ioctl_stop_vek_session(struct snap_shot_request *req)
{
	int rc;

	if (down_interruptible(&workLock))
		return 1;
	rc = __ioctl_stop_vek_session(req);
	up(&workLock);
	return rc;
}

int handle_ioctlStopVK(unsigned long arg)
{
	struct snap_shot_request *req = copy_in_request(arg);
	int rc;

	if (!req)
		return -1;
	rc = ioctl_stop_vek_session(req);
	req->active_sessions = read_session_count();
	if (copy_to_user(user_ptr(arg), req, sizeof(*req)))
		rc = -1;
	kfree(req);
	return rc == 0 ? 0 : -1;
}

/* Driver shutdown, workLock held. 0 when no session is left, 1 when one stayed busy. */
int stop_all_vek_sessions(void)
{
	struct cow_session *cs, *next;
	int id;

	list_for_each_entry_safe(cs, next, &session_list_head, list) {
		id = cs->clone_id;
		if (bdev_stop_wait_flush(VEK_CLONE_MAJOR, id)) {
			printk(KERN_ERR "%s: ERROR: Can not stop mounted vek session vek%d, please "
			       "unmount and try again.\n", VEK_TAG, id);
			return 1;
		}
		printk(KERN_INFO "%s: INFO: stopping vek session vek%d.\n", VEK_TAG, id);
		/*
		 * Unlisted before the stop waits for its users, as a single stop does: the
		 * watchdog pins listed sessions, and a pin taken after that wait would be
		 * dropped on a freed session.
		 */
		unlist_stopping_session(cs);
		stop_cow_session(cs);
		put_cow_session(cs);
		printk(KERN_INFO "%s: INFO: vek session vek%d stopped.\n", VEK_TAG, id);
	}
	return 0;
}

/* ---- queries ---- */

/* session_list_lock held. */
static struct cow_session *find_listed(int id)
{
	return get_cow_session_by_id(id);
}

static void lock_list(void)
{
	down(&session_list_lock);
	lock_heartbeat();
}

int ioctl_get_vek_device(struct snap_shot_request *req)
{
	struct cow_session *cs;
	int rc = 255;

	lock_list();
	list_for_each_entry(cs, &session_list_head, list) {
		if (MAJOR(cs->dev) == (unsigned int)req->major &&
		    MINOR(cs->dev) == (unsigned int)req->minor) {
			req->id = cs->clone_id;
			rc = 0;
			break;
		}
	}
	up(&session_list_lock);
	return rc;
}

int handle_ioctlGetVKDev(unsigned long arg)
{
	struct snap_shot_request *req = copy_in_request(arg);
	int rc = -1;

	if (!req)
		return -1;
	if (ioctl_get_vek_device(req) == 0) {
		if (copy_to_user(user_ptr(arg), req, sizeof(*req)))
			printk(KERN_ERR "%s: ERROR: Could not copy snapshot request to user space.\n",
			       VEK_TAG);
		else
			rc = 0;
	}
	kfree(req);
	return rc;
}

/* Copies a session string (always terminated within its field) into the reply. */
static void put_string(struct get_string *gs, const char *s)
{
	snprintf(gs->string, sizeof(gs->string), "%s", s);
}

int ioctl_get_real_device_path(struct get_string *gs)
{
	struct cow_session *cs;
	int rc = 255;

	lock_list();
	cs = find_listed(gs->id);
	if (cs) {
		put_string(gs, cs->other_info->device_path);
		rc = 0;
	}
	up(&session_list_lock);
	return rc;
}

int ioctl_get_backing_file(struct get_string *gs)
{
	struct cow_session *cs;
	int rc = 255;

	lock_list();
	cs = find_listed(gs->id);
	if (cs) {
		put_string(gs, cs->other_info->backing_file);
		rc = 0;
	}
	up(&session_list_lock);
	return rc;
}

int ioctl_get_session_error(struct get_string *gs)
{
	struct cow_session *cs;
	unsigned long flags;

	lock_list();
	cs = find_listed(gs->id);
	if (cs) {
		/* users_lock orders this read against the one write of the text. */
		spin_lock_irqsave(&cs->users_lock, flags);
		strncpy(gs->string, cs->errorMsg, VEK_ERROR_MSG_LEN);
		spin_unlock_irqrestore(&cs->users_lock, flags);
	} else {
		put_string(gs, "NO ERROR");
	}
	up(&session_list_lock);
	return 0;
}

typedef int (string_worker)(struct get_string *gs);

static int handle_string_query(unsigned long arg, string_worker *worker)
{
	struct get_string *gs;
	int rc;

	gs = (struct get_string *)kzalloc(sizeof(*gs), GFP_KERNEL);
	if (!gs) {
		printk(KERN_ERR "%s: ERROR: Could not allocate string.\n", VEK_TAG);
		return -1;
	}
	if (copy_from_user(gs, user_ptr(arg), sizeof(*gs))) {
		printk(KERN_ERR "%s: ERROR: Could not copy string request from user space.\n",
		       VEK_TAG);
		kfree(gs);
		return -1;
	}
	rc = worker(gs);
	if (copy_to_user(user_ptr(arg), gs, sizeof(*gs))) {
		printk(KERN_ERR "%s: ERROR: Could not copy string erquest to user space.\n",
		       VEK_TAG);
		rc = -1;
	}
	kfree(gs);
	return rc == 0 ? 0 : -1;
}

int handle_ioctlGetDevPath(unsigned long arg)
{
	return handle_string_query(arg, ioctl_get_real_device_path);
}

int handle_ioctlGetBackingFile(unsigned long arg)
{
	return handle_string_query(arg, ioctl_get_backing_file);
}

int handle_ioctlGetSessionError(unsigned long arg)
{
	return handle_string_query(arg, ioctl_get_session_error);
}

static void fill_list_entry(struct session_list *e, struct cow_session *cs)
{
	unsigned long flags;

	e->id = cs->clone_id;
	e->time = cs->snap_info->snap_time;
	spin_lock_irqsave(&cs->pos_lock, flags);
	e->changed_blocks = cs->pos;
	spin_unlock_irqrestore(&cs->pos_lock, flags);
	e->block_size = cs->chunk_size;
	e->sec_get_freez = cs->snap_info->sec_get_freez;
	e->nsec_get_freez = cs->snap_info->nsec_get_freez;
	e->sec_froze = cs->snap_info->sec_froze;
	e->nsec_froze = cs->snap_info->nsec_froze;
	e->mode = cs->mode;
	e->error = atomic_read(&cs->error);
}

int ioctl_get_session_list(struct session_list *array, int n)
{
	struct cow_session *cs;
	int i = 0;

	if (n <= 0)
		return 0;
	lock_list();
	list_for_each_entry(cs, &session_list_head, list) {
		if (i >= n)
			break;
		fill_list_entry(&array[i++], cs);
	}
	up(&session_list_lock);
	return 0;
}

int handle_ioctlGetVKList(unsigned long arg)
{
	const size_t bytes = VEK_LIST_ENTRIES * sizeof(struct session_list);
	struct session_list *sl;

	sl = (struct session_list *)kzalloc(bytes, GFP_KERNEL);
	if (!sl) {
		printk(KERN_ERR "%s: ERROR: Could not allocate session list.\n", VEK_TAG);
		return -1;
	}
	if (copy_from_user(sl, user_ptr(arg), bytes)) {
		kfree(sl);
		return -1;
	}
	ioctl_get_session_list(sl, VEK_LIST_ENTRIES);
	if (copy_to_user(user_ptr(arg), sl, bytes)) {
		printk(KERN_ERR "%s: ERROR: Could not copy session list to user space.\n", VEK_TAG);
		kfree(sl);
		return -1;
	}
	kfree(sl);
	return 0;
}

int handle_ioctlGetVKList2(unsigned long arg)
{
	struct session_list_request slr;
	struct session_list *sl;
	long size;
	size_t bytes;

	if (copy_from_user(&slr, user_ptr(arg), sizeof(slr))) {
		printk(KERN_ERR "%s: ERROR: Could not copy session list requset from user space.\n",
		       VEK_TAG);
		return -1;
	}
	size = slr.size;	/* signed, widened before the multiplication */
	if (size == 0)
		return 0;
	/* A negative or oversized count is an allocation nobody can make. */
	if (size < 0 || size > (long)(KMALLOC_MAX_SIZE / sizeof(struct session_list))) {
		printk(KERN_ERR "%s: ERROR: Could not allocate session list.\n", VEK_TAG);
		return -1;
	}
	bytes = (size_t)size * sizeof(struct session_list);
	sl = (struct session_list *)kzalloc(bytes, GFP_KERNEL);
	if (!sl) {
		printk(KERN_ERR "%s: ERROR: Could not allocate session list.\n", VEK_TAG);
		return -1;
	}
	ioctl_get_session_list(sl, (int)size);
	if (copy_to_user(slr.sl, sl, bytes)) {
		kfree(sl);
		return -1;
	}
	kfree(sl);
	return 0;
}

int handle_ioctlGetVKListCount(unsigned long arg)
{
	int n = get_cow_session_count();

	if (copy_to_user(user_ptr(arg), &n, sizeof(n)))
		return -1;
	return 0;
}

int handle_ioctlGetVersion(unsigned long arg)
{
	struct version_info vi = { VEK_VERSION_MAJOR, VEK_VERSION_MINOR, VEK_VERSION_MAINT,
				   VEK_VERSION_BUILD };

	if (copy_to_user(user_ptr(arg), &vi, sizeof(vi))) {
		printk(KERN_ERR "%s: ERROR: Could not copy version info to user space.\n", VEK_TAG);
		return -1;
	}
	return 0;
}

/* ---- set file ---- */

/* Under workLock, so it never meets a session in the middle of its stop. 0 or 1. */
int ioctl_set_session_file(struct set_cow_file *sf)
{
	struct cow_session *cs;
	struct file *file = NULL;
	int rc = 0;

	down(&workLock);
	lock_heartbeat();
	cs = get_cow_session_by_id(sf->id);
	if (!cs)
		goto out;
	if (cs->cow_file) {
		printk(KERN_ERR "%s: ERROR: cow file already set on vek session with id: %d.\n",
		       VEK_TAG, sf->id);
		rc = 1;
		goto out;
	}
	if (sf->fd >= 0)
		file = fget((unsigned int)sf->fd);
	if (!file) {
		printk(KERN_ERR "%s: ERROR: could not get file for fd: %d.\n", VEK_TAG, sf->fd);
		rc = 1;
		goto out;
	}
	cs->cow_file = file;
	/* The name query reads it under session_list_lock (taken after workLock). */
	down(&session_list_lock);
	lock_heartbeat();
	snprintf(cs->other_info->backing_file, sizeof(cs->other_info->backing_file), "%.*s",
		 (int)sizeof(sf->backing_file), sf->backing_file);
	up(&session_list_lock);
out:
	up(&workLock);
	return rc;
}

int handle_SetCowFile(unsigned long arg)
{
	struct set_cow_file *sf;
	int rc;

	sf = (struct set_cow_file *)kzalloc(sizeof(*sf), GFP_KERNEL);
	if (!sf) {
		printk(KERN_ERR "%s: ERROR: Could not allocate set file request.\n", VEK_TAG);
		return 1;
	}
	if (copy_from_user(sf, user_ptr(arg), sizeof(*sf))) {
		printk(KERN_ERR "%s: ERROR: Could not copy set file requset from user space.\n",
		       VEK_TAG);
		kfree(sf);
		return 1;
	}
	rc = ioctl_set_session_file(sf);
	kfree(sf);
	return rc;
}
