/*
 * cow_watchdog.cpp - the lock watchdog "vek_watchdog": reports driver locks that stay
 * taken. Every blocking down() of a driver semaphore gives a heartbeat (lock_heartbeat in
 * cow.h); the watchdog consumes them, and after 60 quiet seconds, or when a listing is
 * asked for, probes every global lock and every lock of every session and in-flight chunk.
 *
 * It only observes: each probe takes a lock for the moment of the probe and gives it back,
 * it holds at most one driver lock at a time, and it gives up on a lock after 600 tries
 * 10 ms apart (at once, silently, when it is being stopped or the session's stop has
 * begun). Probes sleep, so all of this runs in the watchdog's own thread.
 */
#include <linux/kernel.h>
#include <linux/list.h>
#include <linux/sched.h>
#include <linux/kthread.h>
#include <linux/wait.h>
#include <linux/completion.h>
#include <linux/jiffies.h>
#include <linux/delay.h>
#include <linux/semaphore.h>
#include <linux/spinlock.h>
#include <linux/rbtree.h>
#include <linux/atomic.h>

#include "cow.h"

#define VEK_WATCHDOG_PERIOD_MS 60000
#define VEK_PROBE_TRIES 600
#define VEK_PROBE_SLEEP_MS 10
#define VEK_HEARTBEAT_REST_MS 500

/* ---- probes ---- */

/*
 * The probes' tries end early, and nothing is reported, once the watchdog is being stopped
 * or the probed session's stop has begun (it waits for the watchdog's pin).
 */
static int probe_abandoned(struct cow_session *cs)
{
	if (cs && atomic_read(&cs->sd))
		return 1;
	return current == lock_debug_thread_task && kthread_should_stop();
}

#define VEK_PROBE_HELD 1
#define VEK_PROBE_ABANDONED 2

/* A stop's wake-up ends it early, as msleep's would not. */
static void probe_sleep(void)
{
	schedule_timeout_uninterruptible(msecs_to_jiffies(VEK_PROBE_SLEEP_MS) + 1);
}

static int probe_sem_tries(struct semaphore *sem, struct cow_session *cs)
{
	int i;

	for (i = 0; i < VEK_PROBE_TRIES; i++) {
		if (!down_trylock(sem))
			return 0;
		if (probe_abandoned(cs))
			return VEK_PROBE_ABANDONED;
		probe_sleep();
	}
	return VEK_PROBE_HELD;
}

/*
 * Runs with interrupts on; sleeps between tries, never while holding the lock. The session
 * locks are also taken by bio completions in interrupt context, so the lock is held with
 * interrupts off (a completion on this processor would spin on it for ever): 0 means held
 * that way, to be given back with spin_unlock_irq.
 */
static int probe_spin_tries(spinlock_t *lock, struct cow_session *cs)
{
	int i;

	for (i = 0; i < VEK_PROBE_TRIES; i++) {
		local_irq_disable();
		if (spin_trylock(lock))
			return 0;
		local_irq_enable();
		if (probe_abandoned(cs))
			return VEK_PROBE_ABANDONED;
		probe_sleep();
	}
	return VEK_PROBE_HELD;
}

/* Watchdog thread; sleeps. 0: acquired (the caller releases it), else not had. */
int lock_debug_sem_lock(struct semaphore *sem)
{
	return probe_sem_tries(sem, NULL);
}

/* Watchdog thread; sleeps. 0: held with interrupts off (spin_unlock_irq), else not had. */
int lock_debug_lock(spinlock_t *lock)
{
	return probe_spin_tries(lock, NULL);
}

static void probe_sem(struct semaphore *sem, struct cow_session *cs, const char *fmt, int id,
		      u64 chunk)
{
	int rc = probe_sem_tries(sem, cs);

	if (rc == VEK_PROBE_HELD)
		printk(fmt, VEK_VERSION_BUILD, id, (unsigned long long)chunk);
	else if (rc == 0)
		up(sem);
}

static void probe_spin(spinlock_t *lock, struct cow_session *cs, const char *fmt, int id)
{
	int rc = probe_spin_tries(lock, cs);

	if (rc == VEK_PROBE_HELD)
		printk(fmt, VEK_VERSION_BUILD, id);
	else if (rc == 0)
		spin_unlock_irq(lock);
}

/* ---- one pass ---- */

static void list_io_threads(struct cow_session *cs)
{
	struct io_thread *iot;
	int i;

	for (i = 0; i < VEK_IO_THREADS; i++) {
		iot = cs->thread_info->io_threads[i];
		if (!iot || (i && atomic_read(&iot->started) <= 0))
			continue;
		printk(KERN_ERR "%s: ERROR: vek_watchdog: io_thread[%d]->pendign_io: %d\n",
		       VEK_TAG, i, atomic_read(&iot->pending_io));
		printk(KERN_ERR "%s: ERROR: vek_watchdog: io_thread[%d]->pending_anon_io: %d\n",
		       VEK_TAG, i, atomic_read(&iot->pending_anon_io));
	}
}

/* write_list_lock held. 1 when chunk c has a read interlock in root, its counts copied. */
static int __copy_rbwl(struct rb_root *root, u64 c, u64 *writes, u64 *reads)
{
	struct rb_wl *rbwl = rb_serach_wl(root, c);

	if (!rbwl)
		return 0;
	*writes = rbwl->writes;
	*reads = rbwl->reads;
	return 1;
}

/*
 * The read interlocks of one chunk, as the write path sees them. Their counts are copied
 * under write_list_lock and printed once it is released: interrupts are off meanwhile.
 */
static void probe_chunk_rbwl(struct cow_session *cs, u64 c)
{
	u64 w1 = 0, r1 = 0, w2 = 0, r2 = 0;
	int in_locks, in_locked, rc;

	rc = probe_spin_tries(&cs->write_list_lock, cs);
	if (rc) {
		if (rc == VEK_PROBE_HELD)
			printk(KERN_ERR "%s: ERROR: could not get write_list_lock for chunk: %llu on session: %d\n",
			       VEK_TAG, (unsigned long long)c, cs->clone_id);
		return;
	}
	in_locks = __copy_rbwl(&cs->write_locks, c, &w1, &r1);
	in_locked = __copy_rbwl(&cs->write_locked, c, &w2, &r2);
	spin_unlock_irq(&cs->write_list_lock);

	if (in_locks)
		printk(KERN_ERR "%s: ERROR: found rbwl in locks on session %d for chunk %llu: writes(%llu) reads(%llu)\n",
		       VEK_TAG, cs->clone_id, (unsigned long long)c, (unsigned long long)w1,
		       (unsigned long long)r1);
	if (in_locked)
		printk(KERN_ERR "%s: ERROR: found rbwl in locked on session %d for chunk %llu: writes(%llu) reads(%llu)\n",
		       VEK_TAG, cs->clone_id, (unsigned long long)c, (unsigned long long)w2,
		       (unsigned long long)r2);
}

static void probe_session(struct cow_session *cs, int listing)
{
	struct if_chunk *ic;
	u64 c, last;

	if (listing && cs->thread_info)
		list_io_threads(cs);

	probe_spin(&cs->chunk_lock, cs, KERN_ERR "vek_watchdog[%d] LOCKED(cs->chunk_lock) id(%d)\n",
		   cs->clone_id);
	probe_spin(&cs->write_list_lock, cs,
		   KERN_ERR "vek_watchdog[%d] LOCKED(cs->write_list_lock) id(%d)\n", cs->clone_id);
	if (cs->thread_info)
		probe_spin(&cs->thread_info->io_threads_lock, cs,
			   KERN_ERR "vek_watchdog[%d] LOCKED(cs->thread_info->io_threads_lock) id(%d)\n",
			   cs->clone_id);

	last = (u32)cs->chunk_table.hash_mask;
	for (c = 0; c <= last; c++) {
		/*
		 * Its stop has begun and waits for this pin, or the watchdog is being stopped:
		 * the chunks are not worth the wait. With a lock really held, the rest of the
		 * pass is a probe of many seconds per chunk.
		 */
		if (probe_abandoned(cs))
			break;
		/* The reference keeps the record alive while its semaphores are probed. */
		ic = get_and_inc_if(cs, c);
		probe_chunk_rbwl(cs, c);
		if (!ic)
			continue;
		probe_sem(&ic->real_lock, cs,
			  KERN_ERR "vek_watchdog[%d]: LOCKED(ic->real_lock) id(%d), chunk(%llu)\n",
			  cs->clone_id, c);
		probe_sem(&ic->virt_lock, cs,
			  KERN_ERR "vek_watchdog[%d]: LOCKED(ic->virt_lock) id(%d), chunk(%llu)\n",
			  cs->clone_id, c);
		put_and_dec_if(cs, ic);
	}
}

/* 0 when session_list_lock is held now; logs only a lock really held. */
static int get_session_list(void)
{
	int rc = lock_debug_sem_lock(&session_list_lock);

	if (rc == VEK_PROBE_HELD)
		printk(KERN_ERR "%s: ERROR: vek_watchdog: could not get session_list_lock!\n",
		       VEK_TAG);
	return rc;
}

static void probe_global_sem(struct semaphore *sem, const char *fmt)
{
	int rc = lock_debug_sem_lock(sem);

	if (rc == VEK_PROBE_HELD)
		printk(fmt, VEK_VERSION_BUILD);
	else if (rc == 0)
		up(sem);
}

static void probe_all_locks(int listing)
{
	struct cow_session *cs;
	int any, n, rc;

	if (get_session_list())
		return;
	any = !list_empty(&session_list_head);
	up(&session_list_lock);
	if (!any)
		return;

	/*
	 * The global locks before any session is pinned: a stop holds workLock while it waits
	 * for its session's users, and a pin is a user, so probing workLock with the sessions
	 * pinned kept the stop and the probe waiting on each other until the probe gave up.
	 */
	probe_global_sem(&session_work_lock, KERN_ERR "vek_watchdog[%d]: LOCKED(session_work_lock) \n");
	probe_global_sem(&workLock, KERN_ERR "vek_watchdog[%d]: LOCKED(workLock) \n");
	rc = lock_debug_lock(&record_list_lock);
	if (rc == VEK_PROBE_HELD)
		printk(KERN_ERR "vek_watchdog[%d] LOCKED(record_list_lock) \n", VEK_VERSION_BUILD);
	else if (rc == 0)
		spin_unlock_irq(&record_list_lock);

	/*
	 * One session pinned at a time: a stop of one session then never waits out the probes
	 * of another whose locks are really held. A session listed or unlisted meanwhile may
	 * be probed twice or not at all in this pass; the next pass sees it.
	 */
	for (n = 0;; n++) {
		if (get_session_list())
			return;
		cs = probe_abandoned(NULL) ? NULL : pin_session_at(n);
		up(&session_list_lock);
		if (!cs)
			return;
		probe_session(cs, listing);
		dec_users(cs);
	}
}

/* ---- the thread ---- */

/* A stop's wake-up alone must end the wait too: the unload's flag may not be set. */
static int watchdog_idle(void)
{
	return !atomic_read(&lock_wait_count) && !atomic_read(&lock_print_count) &&
	       !atomic_read(&global_shutdown) && !kthread_should_stop();
}

/* A rest ends early only for what must not wait: a listing, the unload, a stop. */
static int watchdog_rested(void)
{
	return atomic_read(&lock_print_count) || atomic_read(&global_shutdown) ||
	       kthread_should_stop();
}

/*
 * The source write path gives a heartbeat for every bio; a wake-up for each would put a
 * context switch on every write. So after a wake-up the watchdog leaves the heartbeats
 * counted for VEK_HEARTBEAT_REST_MS, while lock_heartbeat wakes it only when the count
 * leaves 0, and then takes them all: a stream of heartbeats costs about two wake-ups a
 * second, and the quiet period still starts after the last of them.
 */
static void watchdog_rest(void)
{
	long ret = wait_event_interruptible_timeout(lock_wait, watchdog_rested(),
						    msecs_to_jiffies(VEK_HEARTBEAT_REST_MS));

	if (ret == -ERESTARTSYS)
		clear_tsk_thread_flag(current, TIF_SIGPENDING);	/* as in the main wait */
	atomic_xchg(&lock_wait_count, 0);
}

/*
 * Kernel thread "vek_watchdog", from load to unload. Heartbeats restart the quiet period;
 * it probes only after a quiet period or for a listing.
 */
int lock_debug_thread(void *data)
{
	long ret;
	int listing;

	/* Keep running through a system freeze, and ahead of the tasks it watches. */
	current->flags |= PF_NOFREEZE;
	set_user_nice(current, -20);
	printk(KERN_INFO "%s: INFO: vek_watchdog: started.\n", VEK_TAG);
	complete(&lock_wait_done);

	for (;;) {
		ret = 1;
		if (watchdog_idle())
			ret = wait_event_interruptible_timeout(lock_wait, !watchdog_idle(),
							       msecs_to_jiffies(VEK_WATCHDOG_PERIOD_MS));
		if (kthread_should_stop())
			break;
		if (ret == -ERESTARTSYS) {
			/*
			 * Nobody signals a kernel thread on purpose; a stray signal would keep
			 * every later wait from sleeping. Drop it and wait again.
			 */
			clear_tsk_thread_flag(current, TIF_SIGPENDING);
			continue;
		}
		if (ret && !atomic_read(&lock_print_count)) {
			/* Only heartbeats are consumed: the shutdown flag is no heartbeat. */
			if (atomic_read(&lock_wait_count) > 0)
				watchdog_rest();
			continue;
		}

		listing = 0;
		if (atomic_read(&lock_print_count)) {
			printk(KERN_ERR "%s: ERROR: -- listing vek debug info --\n", VEK_TAG);
			printk(KERN_ERR "%s: ERROR: vek_watchdog: total_cow_pages: %d\n", VEK_TAG,
			       atomic_read(&total_cow_pages));
			atomic_dec(&lock_print_count);
			listing = 1;
		}
		probe_all_locks(listing);
	}

	printk(KERN_INFO "%s: INFO: vek_watchdog: stopped.\n", VEK_TAG);
	return 0;
}

/* ---- the listing command ---- */

int ioctl_list_locks(void)
{
	atomic_inc(&lock_print_count);
	wake_up(&lock_wait);
	return 0;
}

/* ListLokcs: the argument is not read. */
int handle_ioctlListLokcs(unsigned long arg)
{
	return ioctl_list_locks();
}
