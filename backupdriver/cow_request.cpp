/*
 * cow_request.cpp - request routing and write interception.
 *
 * cow_request is installed in the queue of every source disk under snapshot and
 * virt_request in the queue of every snapshot device; both run the handler through
 * generic_request. __cow_request makes sure that the old contents of every chunk a write
 * is about to overwrite have been copied out (or are being copied by someone else) before
 * the write reaches the disk, and that no snapshot read still reading those chunks from the
 * source is overtaken by the write.
 *
 * Context: the request functions run in the submitter's process context and sleep (global
 * semaphores, real_lock, reads of the copies, interlock waits). Never from interrupt context.
 */
#include "cow.h"

#include <linux/jiffies.h>

/* How often a writer held by a snapshot read re-checks the session's error state. */
#define VEK_READ_WAIT_POLL (HZ / 10)

/* ---- routing ---- */

int cow_request(struct request_queue *q, struct bio *bio)
{
	return generic_request(__cow_request, q, bio);
}

int virt_request(struct request_queue *q, struct bio *bio)
{
	return generic_request(__virt_request, q, bio);
}

void do_request(make_request_fn *request_fn, struct request_queue *q, struct bio *bio)
{
	if (request_fn(q, bio))
		generic_make_request(bio);
}

/*
 * The handlers submit bios of their own (copy reads, redirected snapshot reads) and wait
 * for them, so nested submissions in this task must run at once instead of queueing
 * behind the bio being handled: the task's pending list is taken over and bio_tail
 * cleared.
 *
 * The bios taken over have not been through the block layer's own submission steps
 * (partition remap, end-of-device check) and may address any device. Handing them to this
 * handler as if they were ours would route a partition bio with a partition-relative
 * sector, or another disk's bio, through the wrong queue. So they are submitted again, in
 * their order, once the handler is done; with bio_tail null each runs at once through its
 * own device's queue.
 */
int generic_request(make_request_fn *request_fn, struct request_queue *q, struct bio *bio)
{
	struct bio *pending = current->bio_list;
	struct bio *next;

	current->bio_list = NULL;
	current->bio_tail = NULL;

	bio->bi_next = NULL;
	do_request(request_fn, q, bio);

	while (pending) {
		next = pending->bi_next;
		pending->bi_next = NULL;
		generic_make_request(pending);
		pending = next;
	}
	return 0;
}

/* ---- if_chunk references ---- */

void add_and_inc_if(struct cow_session *cs, struct if_chunk *ic)
{
	unsigned long flags;

	spin_lock_irqsave(&cs->if_lock, flags);
	atomic_inc(&ic->count);
	add_if_chunk(&cs->if_table, ic);
	spin_unlock_irqrestore(&cs->if_lock, flags);
}

struct if_chunk *get_and_inc_if(struct cow_session *cs, sector_t chunk)
{
	struct if_chunk *ic;
	unsigned long flags;

	spin_lock_irqsave(&cs->if_lock, flags);
	ic = get_if_chunk(&cs->if_table, chunk);
	if (ic)
		atomic_inc(&ic->count);
	spin_unlock_irqrestore(&cs->if_lock, flags);
	return ic;
}

/* The last reference unlinks and frees; any context (takes only if_lock). */
void put_and_dec_if(struct cow_session *cs, struct if_chunk *ic)
{
	unsigned long flags;
	int last = 0;

	spin_lock_irqsave(&cs->if_lock, flags);
	if (atomic_dec_and_test(&ic->count)) {
		if (!ic->anon)
			list_del(&ic->list);
		last = 1;
	}
	spin_unlock_irqrestore(&cs->if_lock, flags);
	if (last)
		free_if_chunk(ic);
}

/* ---- read interlock nodes; callers hold write_list_lock for the tree ops ---- */

struct rb_wl *rb_serach_wl(struct rb_root *root, sector_t value)
{
	struct rb_node *n = root->rb_node;
	struct rb_wl *wl;

	while (n) {
		wl = rb_entry(n, struct rb_wl, node);
		if (wl->n > value)
			n = n->rb_left;
		else if (wl->n < value)
			n = n->rb_right;
		else
			return wl;
	}
	return NULL;
}

void rb_instert_wl(struct rb_root *root, struct rb_wl *n)
{
	struct rb_node **p = &root->rb_node;
	struct rb_node *parent = NULL;

	while (*p) {
		parent = *p;
		if (n->n < rb_entry(parent, struct rb_wl, node)->n)
			p = &parent->rb_left;
		else
			p = &parent->rb_right;
	}
	rb_link_node(&n->node, parent, p);
	rb_insert_color(&n->node, root);
}

/* Not initialised here: the snapshot read path fills the node. */
struct rb_wl *alloc_rb_wl(void)
{
	struct rb_wl *wl = (struct rb_wl *)kmalloc(sizeof(*wl), GFP_NOIO);

	if (!wl)
		wl = (struct rb_wl *)kmalloc(sizeof(*wl), GFP_NOIO);
	return wl;
}

void put_rbwl(struct rb_wl *rbwl)
{
	kfree(rbwl);
}

void wait_for_read(struct rb_wl *rbwl)
{
	if (atomic_read(&rbwl->done))
		return;
	wait_event(rbwl->wait, atomic_read(&rbwl->done));
}

/*
 * A snapshot read that failed before issuing its source read never raises done; it has
 * put the session in error, and the snapshot is void then anyway. So the writer also
 * stops waiting once the session is in error (nothing wakes it for that: it re-checks).
 */
void wait_for_read_or_error(struct cow_session *cs, struct rb_wl *rbwl)
{
	while (!atomic_read(&rbwl->done) && !is_error(cs))
		wait_event_timeout(rbwl->wait, atomic_read(&rbwl->done) || is_error(cs),
				   VEK_READ_WAIT_POLL);
}

/* ---- worker exemption ---- */

int is_cow_thread(void)
{
	struct cow_pid_tracker *t;
	unsigned long flags;
	int found = 0;

	spin_lock_irqsave(&cow_thread_lock, flags);
	list_for_each_entry(t, &cow_pids_list, list) {
		if (t->pid == current->pid) {
			found = 1;
			break;
		}
	}
	spin_unlock_irqrestore(&cow_thread_lock, flags);
	return found;
}

/* Decided by who submits: the workers write the backing files, whatever disk that is. */
int is_cow_file_for_any_session(struct list_head *session_list, struct bio *bio)
{
	(void)session_list;
	(void)bio;
	return is_cow_thread() ? 1 : 0;
}

/* ---- bio field save and restore for redirected snapshot reads ---- */

void save_info(struct bio *bio, struct saved_info *info)
{
	info->bi_bdev = bio->bi_bdev;
	info->bi_end_io = bio->bi_end_io;
	info->bi_private = bio->bi_private;
	info->bi_size = bio->bi_size;
	info->bi_sector = bio->bi_sector;
	info->bi_idx = bio->bi_idx;
}

void restore_info(struct saved_info *info, struct bio *bio)
{
	bio->bi_bdev = info->bi_bdev;
	bio->bi_end_io = info->bi_end_io;
	bio->bi_private = info->bi_private;
	bio->bi_size = info->bi_size;
	bio->bi_sector = info->bi_sector;
	bio->bi_idx = info->bi_idx;
}

loff_t calc_bio_disk_pos(struct cow_session *cs, struct cow_chunk *cc, struct bio *bio)
{
	(void)cc;
	return (loff_t)(bio->bi_sector << cs->sector_shift);
}

/* ---- write interception ---- */

/* Read-ahead does not count; any other write flag combination with BIO_RW does. */
static int bio_is_write(struct bio *bio)
{
	unsigned long dir = bio->bi_rw & ((1UL << BIO_RW) | (1UL << BIO_RW_AHEAD));

	return dir == (1UL << BIO_RW);
}

static struct cow_chunk *lookup_cow_chunk(struct cow_session *cs, sector_t chunk)
{
	struct cow_chunk *cc;
	unsigned long flags;

	spin_lock_irqsave(&cs->chunk_lock, flags);
	cc = get_cow_chunk(&cs->chunk_table, chunk);
	spin_unlock_irqrestore(&cs->chunk_lock, flags);
	return cc;
}

/* A write joins the snapshot read in flight on the chunk, if any. */
static struct rb_wl *take_read_interlock(struct cow_session *cs, sector_t chunk)
{
	struct rb_wl *rbwl;
	unsigned long flags;

	spin_lock_irqsave(&cs->write_list_lock, flags);
	rbwl = rb_serach_wl(&cs->write_locks, chunk);
	if (rbwl)
		rbwl->writes++;
	spin_unlock_irqrestore(&cs->write_list_lock, flags);
	return rbwl;
}

/* Frees the node once its reads have completed and no writer holds it any more. */
static void drop_read_interlock(struct cow_session *cs, struct rb_wl *rbwl)
{
	unsigned long flags;
	int last = 0;

	spin_lock_irqsave(&cs->write_list_lock, flags);
	rbwl->writes--;
	if (rbwl->reads == 0 && rbwl->writes == 0) {
		rb_erase(&rbwl->node, &cs->write_locked);
		last = 1;
	}
	spin_unlock_irqrestore(&cs->write_list_lock, flags);
	if (last)
		put_rbwl(rbwl);
}

/*
 * The part of a whole-disk bio that lies in the session's partition, as partition sectors
 * [*first, *end). A whole-disk bio may begin before the partition or run on past it;
 * only the sectors inside are the session's. 0 when none are.
 */
static int bio_session_range(struct cow_session *cs, struct bio *bio, sector_t *first,
			     sector_t *end)
{
	sector_t start = cs->part.start_sect;
	sector_t stop = start + cs->part.nr_sects;
	sector_t lo, hi;

	bio_sector_range(bio, &lo, &hi);
	if (lo < start)
		lo = start;
	if (hi > stop)
		hi = stop;
	if (lo >= hi)
		return 0;
	*first = lo - start;
	*end = hi - start;
	return 1;
}

/*
 * Caller holds session_work_lock: checking for a preserved or in-flight chunk and
 * creating the in-flight record is one step, so exactly one request copies a chunk.
 */
int get_affected_chunks(struct cow_session *cs, struct bio *bio, struct list_head *list)
{
	sector_t first, end, chunk, first_chunk, last_chunk;
	struct chunk_list *cl;
	struct cow_chunk *cc;
	struct if_chunk *ic;
	struct rb_wl *rbwl;
	int write = bio_is_write(bio);
	int count = 0;

	if (is_error(cs) || bio->bi_size == 0 || !bio_session_range(cs, bio, &first, &end))
		return 0;
	first_chunk = get_chunk(cs->sector_shift, cs->chunk_mask, cs->chunk_shift, first);
	/*
	 * The chunk of the bio's last sector (end is exclusive and never past the partition):
	 * a write ending on a chunk boundary leaves the next chunk alone, and one ending at the
	 * device's end claims nothing beyond it.
	 */
	last_chunk = get_chunk(cs->sector_shift, cs->chunk_mask, cs->chunk_shift, end - 1);
	if (first_chunk > last_chunk)
		return 0;

	for (chunk = first_chunk; chunk <= last_chunk; chunk++) {
		/*
		 * In-flight record first: a copier publishes the chunk record before it drops
		 * the in-flight one, so this order never sees a just-copied chunk as untouched
		 * (and copies it again from a source its write may already have changed).
		 */
		ic = get_and_inc_if(cs, chunk);
		cc = lookup_cow_chunk(cs, chunk);
		rbwl = NULL;
		if (!ic && (cc || !write)) {
			/*
			 * Preserved, or a read with nothing to wait for. A write to a preserved
			 * chunk still must not overtake a snapshot read that began reading the
			 * chunk from the source before it was copied.
			 */
			if (!write)
				continue;
			rbwl = take_read_interlock(cs, chunk);
			if (!rbwl)
				continue;
		}
		cl = alloc_chunk_list();
		if (!cl) {
			if (ic)
				put_and_dec_if(cs, ic);
			if (rbwl)
				drop_read_interlock(cs, rbwl);
			goto nomem;
		}
		cl->chunk = chunk;
		cl->cs = cs;
		cl->cc = cc;
		cl->bio = NULL;
		cl->ic = ic;
		cl->new_ic = 0;
		if (!ic && !rbwl) {
			ic = alloc_if_chunk(chunk);
			if (!ic) {
				put_chunk_list(cl);
				goto nomem;
			}
			ic->created = 1;
			add_and_inc_if(cs, ic);
			cl->ic = ic;
			cl->new_ic = 1;
		}
		if (write && !rbwl)
			rbwl = take_read_interlock(cs, chunk);
		cl->rbwl = rbwl;
		list_add_tail(&cl->list, list);
		count++;
	}
	return count;

nomem:
	printk(KERN_ERR "%s: ERROR: could not create affected chunks list for sector %llu + %d.",
	       VEK_TAG, (unsigned long long)bio->bi_sector, (int)bio->bi_size);
	invalidate_session(cs, "OUT OF MEMORY");
	return 0;
}

/*
 * Stage 1: copy the chunks this request claimed, wait for those someone else is copying.
 * Every claimed chunk has its semaphores released here, whether its copy worked or not,
 * so no other request stays blocked on it.
 *
 * All the claimed chunks' reads are issued before the first is waited for, so that none
 * waits for the one before it: a busy disk takes them together (a sequential writer's
 * chunks as one merged read), an idle one serves each at once in this context. With
 * several sessions on the disk the copies stay one after another, so that each chunk is
 * read once and the others are served from the page tree.
 */
static void secure_chunks(struct list_head *chunks, struct bio *bio, make_request_fn *savedMRF,
			  struct rb_root *rb)
{
	struct chunk_list *cl;
	struct cow_session *cs;
	struct cow_chunk *cc;
	struct if_chunk *ic;

	if (!rb) {
		list_for_each_entry(cl, chunks, list)
			if (cl->new_ic)
				copy_chunk_begin(cl->cs, cl->ic, bio->bi_bdev, savedMRF, NULL);
	}
	list_for_each_entry(cl, chunks, list) {
		cs = cl->cs;
		ic = cl->ic;
		if (cl->new_ic) {
			if (rb)
				cc = copy_chunk(cs, ic, bio->bi_bdev, savedMRF, rb, NULL, NULL);
			else
				cc = ic->cc ? copy_chunk_end(cs, ic, NULL, NULL, NULL) : NULL;
			publish_chunk_copy(cs, cl, cc);
		} else if (ic) {
			down(&ic->real_lock);
			lock_heartbeat();
			up(&ic->real_lock);
			put_and_dec_if(cs, ic);
			cl->ic = NULL;
		}
	}
	if (rb)
		rb_free_node_and_page(rb);
}

/*
 * Ends the copy that the entry's request made: the chunk counts as preserved from now on (or
 * the session is in error), and whoever waits on the chunk goes on. Returns 0, or -5 when the
 * copy failed. Process context.
 */
int publish_chunk_copy(struct cow_session *cs, struct chunk_list *cl, struct cow_chunk *cc)
{
	struct if_chunk *ic = cl->ic;
	unsigned long flags;
	int err = 0;

	cl->cc = cc;
	if (cc) {
		spin_lock_irqsave(&cs->chunk_lock, flags);
		add_cow_chunk(&cs->chunk_table, cc);
		spin_unlock_irqrestore(&cs->chunk_lock, flags);
	} else {
		err = -5;
		invalidate_session(cs, "NO COPY");
	}
	up(&ic->real_lock);
	up(&ic->virt_lock);
	ic->real_free = 1;
	put_and_dec_if(cs, ic);
	cl->ic = NULL;
	return err;
}

/* Stage 2: a write waits for snapshot reads still reading its chunks from the source. */
static void release_chunks(struct list_head *chunks, int write)
{
	struct chunk_list *cl, *next;

	list_for_each_entry_safe(cl, next, chunks, list) {
		if (write && cl->rbwl) {
			wait_for_read_or_error(cl->cs, cl->rbwl);
			drop_read_interlock(cl->cs, cl->rbwl);
			cl->rbwl = NULL;
		}
		list_del(&cl->list);
		put_chunk_list(cl);
	}
}

/*
 * The disk has no usable mapping record. Two moments of a mapping's life lead here without
 * anything being wrong:
 * - the bio entered cow_request just before the last holder gave the queue its function
 *   back, and finds the record unhashed: it goes to the function now in the queue;
 * - it entered under a mapping that has since been removed, and a new record has been
 *   hashed but not yet installed: the same; or it has been installed meanwhile, and seeing
 *   cow_request in the queue (an acquire load) makes the record's saved function visible:
 *   the bio is handled once more.
 * A bio comes here once: a function stacked on top of ours, which hands its bios down to
 * cow_request, must not make that a loop. Only then, or while the queue holds cow_request
 * with no record, is the mapping really lost, and the bio ends with -5.
 */
static int pass_unmapped_bio(struct request_queue *q, struct bio *bio)
{
	make_request_fn *fn = queue_make_request_fn(q);

	if (fn && !test_and_set_bit(VEK_BIO_REROUTED, &bio->bi_flags))
		return fn == cow_request ? __cow_request(q, bio) : fn(q, bio);
	get_mrf_fn(bio->bi_bdev);	/* says which device lost its mapping */
	printk(KERN_ERR "%s: ERROR: could not find MRF.\n", VEK_TAG);
	bio_endIO(bio, -EIO);
	return 0;
}

/*
 * Recorded after the copies, so that a write delayed across the start of the next tracked
 * snapshot is that snapshot's change. Nothing holds a tracking session while the copies
 * run, and the unload frees those it has unlisted under session_list_lock: each is
 * recorded only if still listed.
 */
static void record_changes(struct ct_session **cts, int nr_cts, struct bio *bio)
{
	int i;

	if (!nr_cts)
		return;
	down(&session_list_lock);
	lock_heartbeat();
	for (i = 0; i < nr_cts; i++) {
		if (cts_listed(cts[i]))
			record_change(cts[i], bio, 0);
	}
	up(&session_list_lock);
}

int __cow_request(struct request_queue *q, struct bio *bio)
{
	LIST_HEAD(sessions);
	LIST_HEAD(chunks);
	struct rb_root tree = RB_ROOT;
	struct rb_root *rb = NULL;
	struct ct_session *cts[VEK_CTS_PER_BIO];
	struct session_node *node;
	make_request_fn *savedMRF;
	int write = bio_is_write(bio);
	int nr_cts = 0;
	int ret;

	down(&session_list_lock);
	lock_heartbeat();
	savedMRF = find_mrf_fn(bio->bi_bdev);
	if (!savedMRF) {
		up(&session_list_lock);
		return pass_unmapped_bio(q, bio);
	}
	/*
	 * Change tracking follows the bio's sectors, not the snapshot sessions: a write to a
	 * tracked source under an untracked snapshot, or to the next partition while this one
	 * is snapshotted, is still the tracked source's change.
	 */
	if (write && bio->bi_size)
		nr_cts = get_cts_sessions_bio(bio, cts, VEK_CTS_PER_BIO);
	if (get_cow_sessions(bio, &sessions) == 0) {
		up(&session_list_lock);
		goto record;
	}
	/* Several sessions on one disk share one read of each chunk. */
	if (!list_is_singular(&sessions))
		rb = &tree;
	up(&session_list_lock);

	down(&session_work_lock);
	lock_heartbeat();
	if (!is_cow_file_for_any_session(&session_list_head, bio)) {
		list_for_each_entry(node, &sessions, list)
			get_affected_chunks(node->cs, bio, &chunks);
	}
	up(&session_work_lock);

	/* Entries left by a failed list build still hold claimed chunks: secure them too. */
	if (!list_empty(&chunks))
		secure_chunks(&chunks, bio, savedMRF, rb);
record:
	record_changes(cts, nr_cts, bio);
	release_chunks(&chunks, write);

	ret = savedMRF(q, bio);
	put_cow_sessions(&sessions);
	return ret;
}
