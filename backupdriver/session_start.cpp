/*
 * session_start.cpp - creating a snapshot session and starting it.
 *
 * The whole start runs under workLock, so starts, stops and the shutdown never overlap and
 * the limits and the backing-file check are consistent. The request function is installed
 * and the session listed inside one short freeze of the source's file system, so the first
 * write after the thaw is already subject to copy-on-write.
 */
#include "cow.h"

#include <linux/kernel.h>
#include <linux/string.h>
#include <linux/err.h>
#include <linux/time.h>

#define VEK_MAX_MAJOR 0xFFF
#define VEK_MAX_MINOR 0xFFFFF
#define VEK_CHUNK_TABLE_BUCKETS 131072

/* session_count is changed under workLock and read by the command replies without it. */
static inline void session_count_add(int delta)
{
	__atomic_add_fetch(&session_count, delta, __ATOMIC_RELAXED);
}

void lock_bdev(struct block_device *bdev)
{
	mutex_lock(&bdev->bd_fsfreeze_mutex);
}

void unlock_bdev(struct block_device *bdev)
{
	mutex_unlock(&bdev->bd_fsfreeze_mutex);
}

void calcTimeDiff(struct timespec *start, struct timespec *end, struct timespec *out)
{
	out->tv_sec = 0;
	out->tv_nsec = 0;
	out->tv_sec = end->tv_sec - start->tv_sec;
	out->tv_nsec = end->tv_nsec - start->tv_nsec;
	if (out->tv_nsec < 0) {
		out->tv_nsec += 1000000000L;
		out->tv_sec -= 1;
	}
}

/* A device number the caller gave, or 0 when its parts do not fit a dev_t. */
static dev_t request_dev(const struct snap_shot_request *req)
{
	if (req->major < 0 || req->major > VEK_MAX_MAJOR)
		return 0;
	if (req->minor < 0 || req->minor > VEK_MAX_MINOR)
		return 0;
	return MKDEV((unsigned int)req->major, (unsigned int)req->minor);
}

/* Copy a fixed-size field from the request: bounded by both sizes, always terminated. */
static void copy_field(char *dst, size_t dst_len, const char *src, size_t src_len)
{
	snprintf(dst, dst_len, "%.*s", (int)src_len, src);
}

static int is_mounted(struct block_device *bdev)
{
	struct super_block *sb;

	lock_bdev(bdev);
	sb = get_super(bdev);
	if (sb)
		drop_super(sb);
	unlock_bdev(bdev);
	return sb != NULL;
}

/* The change-tracking session of the source, or a new unstarted one. workLock held. */
static struct ct_session *attach_cts(struct cow_session *cs)
{
	struct ct_session *cts;

	list_for_each_entry(cts, &ct_list_head, list) {
		if (cts->major != cs->major || cts->first_minor != cs->first_minor ||
		    cts->start_sect != cs->part.start_sect || cts->nr_sects != cs->part.nr_sects)
			continue;
		if (cts->smrf != cs->smrf) {
			printk(KERN_INFO "%s: INFO: Found old chage tracking with stale smrf!\n",
			       VEK_TAG);
			printk(KERN_INFO "%s: INFO: Attempting to unmapp stale smrf!\n", VEK_TAG);
			unset_mrf(cts->smrf);
			put_smrf(cts->smrf);
			/*
			 * Its use of the old mapping is gone: let the start count it as a
			 * user of the new one, or the source's own function would come back
			 * at this session's stop and tracking would miss writes unnoticed.
			 */
			atomic_set(&cts->mapped, 0);
			cts_set_error(cts);
			grab_smrf(cs->smrf);
			cts->smrf = cs->smrf;
		}
		return cts;
	}

	cts = alloc_cts_session();
	if (!cts)
		return NULL;
	cts->dev = cs->dev;
	cts->major = cs->major;
	cts->first_minor = cs->first_minor;
	cts->nr_sects = cs->part.nr_sects;
	cts->start_sect = cs->part.start_sect;
	atomic_set(&cts->missed_write, 0);
	atomic_set(&cts->started, 0);
	atomic_set(&cts->reset, 0);
	atomic_set(&cts->mapped, 0);
	INIT_LIST_HEAD(&cts->list);
	grab_smrf(cs->smrf);
	cts->smrf = cs->smrf;
	return cts;
}

/*
 * A change-tracking record this start made and never started belongs to nobody else:
 * release it with the session, or it and its mapping reference would be lost.
 */
static void drop_unstarted_cts(struct cow_session *cs)
{
	struct ct_session *cts = cs->cts;

	if (!cts || atomic_read(&cts->started))
		return;
	cs->cts = NULL;
	if (cts->smrf)
		put_smrf(cts->smrf);
	kfree(cts);
}

static int alloc_session_parts(struct cow_session *cs, int ma, int mi)
{
	cs->errorMsg = (char *)kzalloc(VEK_ERROR_MSG_LEN, GFP_KERNEL);
	if (!cs->errorMsg) {
		printk(KERN_ERR "%s: ERROR: could not allocate error message storage!\n", VEK_TAG);
		return 1;
	}
	cs->thread_info = (struct io_thread_info *)kzalloc(sizeof(struct io_thread_info),
							   GFP_KERNEL);
	if (!cs->thread_info) {
		printk(KERN_ERR "%s: ERROR: cound not allocate thread info storage for (%d,%d).\n",
		       VEK_TAG, ma, mi);
		return 1;
	}
	cs->snap_info = (struct snap_info *)kzalloc(sizeof(struct snap_info), GFP_KERNEL);
	if (!cs->snap_info) {
		printk(KERN_ERR "%s: ERROR: could not allocate snap info storage for (%d,%d).\n",
		       VEK_TAG, ma, mi);
		return 1;
	}
	cs->other_info = (struct other_info *)kzalloc(sizeof(struct other_info), GFP_KERNEL);
	if (!cs->other_info) {
		printk(KERN_ERR "%s: ERROR: could not allocate other info storage for (%d,%d).\n",
		       VEK_TAG, ma, mi);
		return 1;
	}
	cs->spc = (struct simple_page_cache *)kzalloc(sizeof(struct simple_page_cache),
						      GFP_KERNEL);
	if (!cs->spc) {
		printk(KERN_ERR "%s: ERROR: could not allocate simple page cache for (%d,%d).\n",
		       VEK_TAG, ma, mi);
		return 1;
	}
	cs->spc->size = 0;
	INIT_LIST_HEAD(&cs->spc->list);
	spin_lock_init(&cs->spc->lock);
	return 0;
}

static void fill_strings(struct cow_session *cs, struct snap_shot_request *req, int n)
{
	struct other_info *oi = cs->other_info;

	copy_field(oi->device_name, sizeof(oi->device_name), req->device_name,
		   sizeof(req->device_name));
	/* A stem too long for the name is cut; the name stays terminated. */
	if (snprintf(oi->backing_file, sizeof(oi->backing_file), "%.*s.cow_vek%d",
		     (int)sizeof(req->backing_file), req->backing_file, n) < 0)
		oi->backing_file[0] = 0;
	copy_field(oi->device_path, sizeof(oi->device_path), req->device_path,
		   sizeof(req->device_path));
	copy_field(oi->backing_device, sizeof(oi->backing_device), req->backing_dev,
		   sizeof(req->backing_dev));
}

static int init_tables(struct cow_session *cs, int ma, int mi)
{
	unsigned int buckets = down_to_power_of_2(VEK_CHUNK_TABLE_BUCKETS);

	if (init_chunk_table(&cs->chunk_table, buckets)) {
		printk(KERN_ERR "%s: ERROR: could not create chunk table for (%d,%d).\n", VEK_TAG,
		       ma, mi);
		return 1;
	}
	if (init_chunk_table(&cs->if_table, buckets)) {
		printk(KERN_ERR "%s: ERROR: could not create in flight table for (%d,%d).\n",
		       VEK_TAG, ma, mi);
		return 1;
	}
	spin_lock_init(&cs->chunk_lock);
	spin_lock_init(&cs->if_lock);
	spin_lock_init(&cs->pos_lock);
	cs->pos = 0;

	if (!new_io_threads(cs->thread_info)) {
		printk(KERN_ERR "%s: ERROR: could not allocate io thread info for (%d,%d).\n",
		       VEK_TAG, ma, mi);
		return 1;
	}
	atomic_set(&cs->thread_info->io_threads_started, 0);
	atomic_set(&cs->thread_info->io_threads_stop, 0);
	spin_lock_init(&cs->thread_info->io_threads_lock);
	init_completion(&cs->thread_info->io_thread_done);
	return 0;
}

/* Process context, workLock held. A fully initialised, unlisted session, or null. */
struct cow_session *new_cow_session(struct snap_shot_request *req)
{
	struct cow_session *cs = NULL;
	struct block_device *bdev = NULL;
	struct hd_struct *part;
	int n, ma, mi;
	dev_t dev;

	n = next_replica();
	dev = request_dev(req);
	ma = MAJOR(dev);
	mi = MINOR(dev);
	if (dev)
		bdev = bdget(dev);
	if (!bdev) {
		ma = req->major;
		mi = req->minor;
		printk(KERN_ERR "%s: ERROR: could not get block device info for (%d,%d).\n",
		       VEK_TAG, ma, mi);
		printk(KERN_ERR "%s: ERROR: please check that the device (%d,%d) is mounted!\n",
		       VEK_TAG, ma, mi);
		return NULL;
	}

	if (!is_mounted(bdev)) {
		printk(KERN_ERR "%s: ERROR: please check that the device (%d,%d) is mounted!\n",
		       VEK_TAG, ma, mi);
		goto fail;
	}

	cs = alloc_cow_session();
	if (!cs) {
		printk(KERN_ERR "%s: ERROR: could not allocate new cow session for (%d,%d).\n",
		       VEK_TAG, ma, mi);
		goto fail;
	}
	spin_lock_init(&cs->users_lock);
	INIT_LIST_HEAD(&cs->list);
	if (alloc_session_parts(cs, ma, mi))
		goto fail;

	part = bdev->bd_part;
	if (!part && bdev->bd_disk)
		part = &bdev->bd_disk->part0;
	if (!part || !bdev->bd_disk) {
		printk(KERN_ERR "%s: ERROR: could not get disk capacity from the disk for (%d,%d).\n",
		       VEK_TAG, ma, mi);
		printk(KERN_ERR "%s: ERROR: please check that the device (%d,%d) is mounted!\n",
		       VEK_TAG, ma, mi);
		goto fail;
	}
	cs->part = *part;

	cs->dev = dev;
	cs->major = bdev->bd_disk->major;
	cs->first_minor = bdev->bd_disk->first_minor;
	cs->bdev = bdev;

	cs->smrf = get_smrf(bdev);
	if (!cs->smrf) {
		printk(KERN_ERR "%s: ERROR: Could not get smrf for device!\n", VEK_TAG);
		goto fail;
	}
	cs->hw_sector_size = bdev_physical_block_size(bdev);
	fill_strings(cs, req, n);

	cs->chunk_size = 65536;
	cs->chunk_mask = 65535;
	cs->chunk_shift = 16;
	cs->sector_shift = 9;
	if (init_tables(cs, ma, mi))
		goto fail;

	atomic_set(&cs->sd, 0);
	cs->cs_users = 0;
	atomic_set(&cs->fc_count, 0);
	cs->bfree = req->bfree;
	atomic_set(&cs->error, 0);
	memset(cs->errorMsg, 0, VEK_ERROR_MSG_LEN);
	cs->mode = req->mode;

	if (cs->mode & VEK_MODE_CHANGE_TRACKING) {
		cs->cts = attach_cts(cs);
		if (!cs->cts) {
			printk(KERN_ERR "%s: ERROR: could not create new change tracking session "
			       "for device:(%d,%d).\n", VEK_TAG, ma, mi);
			goto fail;
		}
	}

	cs->block_tree = RB_ROOT;
	cs->page_tree = RB_ROOT;
	spin_lock_init(&cs->write_list_lock);
	cs->write_locks = RB_ROOT;
	cs->write_locked = RB_ROOT;
	cs->set_mrf = 0;
	return cs;

fail:
	if (cs) {
		/* The record owns the device reference once it is set; drop it exactly once. */
		cs->bdev = NULL;
		bdput(bdev);
		put_cow_session(cs);
	} else {
		bdput(bdev);
	}
	return NULL;
}

/* workLock held. Takes back everything a start that failed had set up, then frees it. */
void undo_failed_start(struct cow_session *cs)
{
	stop_cow_session(cs);
	drop_unstarted_cts(cs);
	put_cow_session(cs);
}

static void unlist_session(struct cow_session *cs)
{
	down(&session_list_lock);
	lock_heartbeat();
	list_del_init(&cs->list);
	up(&session_list_lock);
}

/* Process context, workLock held. 0 once the session runs, 1 on failure (caller undoes). */
int start_cow_session(struct cow_session *cs)
{
	struct timespec t0, t1, t2, d;
	struct super_block *sb;
	int ma = MAJOR(cs->dev), mi = MINOR(cs->dev);
	int id;

	if (!cs->bdev) {
		printk(KERN_ERR "%s: ERROR: could not get block device for device (%d,%d).\n",
		       VEK_TAG, ma, mi);
		return 1;
	}
	if (!cs->smrf) {
		printk(KERN_ERR "%s: ERROR: could not get smrf for device (%d,%d).\n", VEK_TAG, ma,
		       mi);
		return 1;
	}

	fsync_bdev(cs->bdev);
	fsync_bdev(cs->bdev);
	fsync_bdev(cs->bdev);

	t0 = current_kernel_time();
	sb = freeze_bdev(cs->bdev);
	if (!sb || IS_ERR(sb)) {
		printk(KERN_ERR "%s: ERROR: could not freeze block device (%d,%d).\n", VEK_TAG, ma,
		       mi);
		return 1;
	}
	t1 = current_kernel_time();
	cs->snap_info->snap_time = get_seconds();

	if (set_mrf(cs->smrf, cs->bdev, cow_request)) {
		printk(KERN_ERR "%s: ERROR: could not set MRF for new session on device (%d,%d)\n",
		       VEK_TAG, ma, mi);
		thaw_bdev(cs->bdev, sb);
		return 1;
	}
	cs->set_mrf = 1;

	/*
	 * Tracking starts before the session is listed: a write from then on (one that no
	 * freeze holds, to the raw device) is recorded, since change records follow the
	 * tracked sources listed, not the snapshot sessions.
	 */
	if (cs->cts) {
		if (atomic_read(&cs->cts->mapped) == 0) {
			atomic_inc(&cs->cts->mapped);
			inc_mapped(cs->cts->smrf);
		}
		atomic_set(&cs->cts->missed_write, 0);
		start_cts(cs->cts);
	}

	down(&session_list_lock);
	lock_heartbeat();
	list_add_tail(&cs->list, &session_list_head);
	up(&session_list_lock);

	thaw_bdev(cs->bdev, sb);
	t2 = current_kernel_time();

	if (!(cs->mode & USER_SPACE_FILE)) {
		printk(KERN_ERR "%s: ERROR: Error: USER_SPACE_FILE was not set!\n", VEK_TAG);
		unlist_session(cs);
		return 1;
	}

	id = blkdev_clone(cs->dev, cs, virt_request);
	if (id < 0) {
		unlist_session(cs);
		printk(KERN_ERR "%s: ERROR: could not set up clone device for device (%d,%d)\n",
		       VEK_TAG, ma, mi);
		return 1;
	}

	/* Listed already: the query walks read these under session_list_lock. */
	down(&session_list_lock);
	lock_heartbeat();
	cs->clone_id = id;
	calcTimeDiff(&t0, &t1, &d);
	cs->snap_info->sec_get_freez = d.tv_sec;
	cs->snap_info->nsec_get_freez = d.tv_nsec;
	calcTimeDiff(&t0, &t2, &d);
	cs->snap_info->sec_froze = d.tv_sec;
	cs->snap_info->nsec_froze = d.tv_nsec;
	up(&session_list_lock);

	session_count_add(1);
	cs->counted = 1;
	return 0;
}

static void fill_start_reply(struct snap_shot_request *req, struct cow_session *cs)
{
	req->id = cs->clone_id;
	req->time = cs->snap_info->snap_time;
	req->sec_froze = cs->snap_info->sec_froze;
	req->nsec_froze = cs->snap_info->nsec_froze;
	req->sec_get_freez = cs->snap_info->sec_get_freez;
	req->nsec_get_freez = cs->snap_info->nsec_get_freez;
	req->mode |= VEK_MODE_STARTED;
}

/* workLock held. 1 when a listed session already uses the name. */
static int backing_file_in_use(struct snap_shot_request *req)
{
	struct cow_session *cs;

	list_for_each_entry(cs, &session_list_head, list) {
		if (cs->other_info && !strncmp(req->backing_file, cs->other_info->backing_file,
					       VEK_PATH_LEN))
			return 1;
	}
	return 0;
}

/*
 * Process context, workLock held: the start command's work. The started session, or null.
 * The start command keeps workLock until its reply is delivered or the start undone.
 */
struct cow_session *__ioctl_start_vek_session(struct snap_shot_request *req)
{
	struct cow_session *cs = NULL;

	if (session_count > VEK_MAX_SESSIONS - 1) {
		printk(KERN_ERR "%s: ERROR: Reached max simultaneous snapshots. Can not create new "
		       "snapshots!\n", VEK_TAG);
		goto out;
	}
	if (req->major == VEK_CLONE_MAJOR) {
		printk(KERN_ERR "%s: ERROR: Can not take snapshot of Tarvish Device!\n", VEK_TAG);
		goto out;
	}
	if (atomic_read(&shutdown_requested) == 1) {
		printk(KERN_ERR "%s: ERROR: Driver is currently not accepting new Tarvish sessions "
		       "request.\n", VEK_TAG);
		goto out;
	}
	if (backing_file_in_use(req)) {
		req->id = VEK_ID_BACKING_FILE_IN_USE;
		/* The caller's text need not be terminated: print within the field. */
		printk(KERN_ERR "%s: ERROR: Backing file `%.*s' is already in use by another active "
		       "session.\n", VEK_TAG, VEK_PATH_LEN, req->backing_file);
		goto out;
	}

	cs = new_cow_session(req);
	if (!cs) {
		printk(KERN_ERR "%s: ERROR: could not create new session for device:(%d,%d).\n",
		       VEK_TAG, req->major, req->minor);
		goto out;
	}
	printk(KERN_INFO "%s: INFO: starting new session on device:(%d,%d).\n", VEK_TAG,
	       MAJOR(cs->dev), MINOR(cs->dev));

	if (start_cow_session(cs)) {
		printk(KERN_ERR "%s: ERROR: could not start new session for device:(%d,%d).\n",
		       VEK_TAG, MAJOR(cs->dev), MINOR(cs->dev));
		undo_failed_start(cs);
		cs = NULL;
		goto out;
	}

	printk(KERN_INFO "%s: INFO: session started for device:(%d,%d) with session id: vek%d\n",
	       VEK_TAG, MAJOR(cs->dev), MINOR(cs->dev), cs->clone_id);
	fill_start_reply(req, cs);
out:
	return cs;
}
