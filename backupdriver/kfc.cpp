/*
 * kfc.cpp - a worker's backing-file I/O through its user-space staging window.
 *
 * Everything here runs on the IO worker that owns the window and the file, in the agent
 * process that lent the thread: the window lives in that process's memory and the file
 * is one of its descriptors. Nothing is shared, so nothing is locked.
 *
 * Window invariant: buffer bytes [0, pos) mirror file bytes [file_pos - pos, file_pos).
 */
#include <linux/kernel.h>
#include <linux/errno.h>
#include <linux/fs.h>
#include <linux/file.h>
#include <linux/mm.h>
#include <linux/uaccess.h>
#include <linux/sched.h>

#include "cow.h"

static inline loff_t ub_start(struct user_buffer *ub)
{
	return ub->file_pos - ub->pos;
}

/* The window holds [p, p + len) completely. */
static int ub_holds(struct user_buffer *ub, loff_t p, unsigned int len)
{
	return ub->pos > 0 && ub->file_pos > p && p >= ub_start(ub) &&
	       ub->file_pos >= p + (loff_t)len;
}

/*
 * A segment longer than the window would be copied past the end of the agent's buffer.
 * Registration refuses such buffers; this keeps the copy bounded whatever the caller.
 */
static int ub_too_small(struct user_buffer *ub, unsigned int len)
{
	if (ub->size >= 0 && len <= (unsigned int)ub->size)
		return 0;
	printk(KERN_ERR "%s: ERROR: Segment of %u bytes does not fit the backing buffer of %d bytes!\n",
	       VEK_TAG, len, ub->size);
	return 1;
}

static void ub_empty_at(struct user_buffer *ub, loff_t p)
{
	ub->pos = 0;
	ub->file_pos = p;
}

/*
 * One positional read or write between the file and the user buffer at m_buf, without
 * moving the file's own f_pos. A short result of at least need bytes is accepted.
 * Returns the byte count, or 0 on failure (logged).
 */
ssize_t buf_to_file_f_op(int rw, struct file *file, unsigned long m_buf, loff_t pos, ssize_t s,
			 ssize_t need)
{
	loff_t off = pos;
	mm_segment_t old_fs;
	ssize_t r;

	if (!file) {
		printk(KERN_ERR "%s: ERROR: An IO error occurred: file no longer exisist.", VEK_TAG);
		return 0;
	}

	old_fs = get_fs();
	set_fs(KERNEL_DS);
	if (rw && file->f_op && file->f_op->write)
		r = file->f_op->write(file, (const char __user *)m_buf, s, &off);
	else if (!rw && file->f_op && file->f_op->read)
		r = file->f_op->read(file, (char __user *)m_buf, s, &off);
	else
		r = -EINVAL;
	set_fs(old_fs);

	if (r == s || r >= need)
		return r;

	if (!rw) {
		if (r > s)
			printk(KERN_ERR "%s: ERROR: An IO error occurred while reading from file: offset %llu, length %ld\n, needed %ld, got %ld\n",
			       VEK_TAG, (unsigned long long)off, (long)s, (long)need, (long)r);
		else
			printk(KERN_ERR "%s: ERROR: An error occurred while reading from file: offset %llu, length %ld, got %ld, needed %ld\n",
			       VEK_TAG, (unsigned long long)off, (long)s, (long)r, (long)need);
	} else if (r > s) {
		printk(KERN_ERR "%s: ERROR: An IO error occurred while writing to file: offset %llu, length %ld\n",
		       VEK_TAG, (unsigned long long)off, (long)s);
	} else if (r == -ENOSPC) {
		printk(KERN_ERR "%s: ERROR: Out of space on file: offset %llu, length %ld\n",
		       VEK_TAG, (unsigned long long)off, (long)s);
	} else {
		printk(KERN_ERR "%s: ERROR: An error occurred while writing to file: offset %llu, length %ld, got %ld\n",
		       VEK_TAG, (unsigned long long)off, (long)s, (long)r);
	}
	return 0;
}

/*
 * Write a dirty window back. dirty is cleared even when the write fails: the session is
 * then in error and the staged data goes with it. Returns pos, 0 when there was nothing
 * to write, -1 on failure.
 */
int flush_ub(struct file *file, struct user_buffer *ub, int reset)
{
	ssize_t r;
	int ret;

	if (!ub->dirty || !ub->pos)
		return 0;

	r = buf_to_file_f_op(1, file, ub->addr, ub_start(ub), ub->pos, ub->pos);
	ub->dirty = 0;
	ret = (r == ub->pos) ? ub->pos : -1;
	if (reset) {
		ub->pos = 0;
		ub->file_pos = 0;
		ub->used = 0;
	}
	return ret;
}

/*
 * How much a refill at p reads. Slots are taken in first-write order, so a snapshot read
 * in device order meets them in file order only where the chunks were first written in
 * that order. A refill that continues the window reads a whole buffer's worth ahead; one
 * elsewhere reads the rest of p's slot only, since the next slot in the file is as likely
 * as not some other chunk's (a whole buffer there cost 16 times the data a 64 KiB chunk
 * needs, for every chunk).
 */
static int refill_size(struct user_buffer *ub, loff_t p, int need)
{
	int rest;

	if (ub->slot <= 0 || (ub->pos > 0 && p == ub->file_pos))
		return ub->size;
	rest = ub->slot - (int)(p % ub->slot);
	if (rest < need)
		rest = need;
	return rest < ub->size ? rest : ub->size;
}

/*
 * Refill the window from file offset p (refill_size says how much); fewer than need is a
 * failure. A failed read may have overwritten part of the buffer, so the window is left
 * empty rather than claiming data it no longer holds.
 */
int populate_ub(struct file *file, struct user_buffer *ub, loff_t p, int need)
{
	int s = refill_size(ub, p, need);
	ssize_t r;

	if (ub->dirty && flush_ub(file, ub, 1) < 0)
		return -1;

	r = buf_to_file_f_op(0, file, ub->addr, p, s, need);
	if (r < need) {
		ub_empty_at(ub, 0);
		return -1;
	}
	ub->pos = (int)r;
	ub->file_pos = p + r;
	return (int)r;
}

/*
 * Stage one segment for file offset p. Contiguous segments accumulate and reach the file
 * as one write when the window fills or a write elsewhere forces it out.
 * Returns the segment length, 0 when the user copy failed, -1 when a write-back failed.
 */
ssize_t bvec_buffered_write(struct file *file, struct user_buffer *ub, struct bio_vec *bvec,
			    loff_t pos)
{
	unsigned int len = bvec->bv_len;
	loff_t start = ub_start(ub);
	unsigned long uaddr;
	loff_t o;

	if (ub_too_small(ub, len))
		return -1;

	if (ub->pos && pos >= start && pos <= ub->file_pos &&
	    pos + (loff_t)len <= start + ub->size) {
		o = pos - start;
	} else {
		if (ub->pos && ub->dirty) {
			if (flush_ub(file, ub, 1) < 0)
				return -1;
		}
		/*
		 * The new window starts at p even when the old one was empty: a window left
		 * empty at a later offset (a refill that found end of file) would otherwise
		 * swallow a write that ends before that offset.
		 */
		ub_empty_at(ub, pos);
		o = 0;
	}

	if (len == 0)
		return 0;

	cond_resched();
	uaddr = ub->addr + (unsigned long)o;
	if (copy_to_user((void __user *)uaddr,
			 (char *)page_address(bvec->bv_page) + bvec->bv_offset, len)) {
		printk(KERN_ERR "%s: ERROR: Error copying %ld bytes to user space at address %p!\n",
		       VEK_TAG, (long)len, (void *)uaddr);
		return 0;
	}

	ub->used = 1;
	ub->dirty = 1;
	if (pos + (loff_t)len > ub->file_pos) {
		ub->file_pos = pos + len;
		ub->pos = (int)(o + len);
	}

	/* A full window goes out now but stays valid, so it can still serve reads. */
	if (ub->pos == ub->size && flush_ub(file, ub, 0) < 0)
		return -1;
	return len;
}

/*
 * Read one segment from file offset p, from the window when it holds the range (dirty
 * bytes included, so staged data is visible before it reaches the file), else after a
 * refill of a whole buffer's worth. Returns the length, 0 or -1 on failure.
 */
ssize_t bvec_buffered_read(struct file *file, struct user_buffer *ub, struct bio_vec *bvec,
			   loff_t pos)
{
	unsigned int len = bvec->bv_len;
	unsigned long uaddr;

	if (ub_too_small(ub, len))
		return -1;

	if (!ub_holds(ub, pos, len)) {
		if (populate_ub(file, ub, pos, (int)len) < 0)
			return -1;
		if (!ub_holds(ub, pos, len)) {
			populate_ub(file, ub, pos, (int)len);
			return 0;
		}
	}

	cond_resched();
	uaddr = ub->addr + (unsigned long)(pos - ub_start(ub));
	if (copy_from_user((char *)page_address(bvec->bv_page) + bvec->bv_offset,
			   (const void __user *)uaddr, len)) {
		printk(KERN_ERR "%s: ERROR: Error copying %ld bytes from user space at address %p!\n",
		       VEK_TAG, (long)len, (void *)uaddr);
		return 0;
	}
	return len;
}

/* Moves one segment; returns its length on success and 0 on any failure. */
ssize_t bvec_to_file_f_op(unsigned long rw, struct file *file, struct user_buffer *ub,
			  struct bio_vec *bvec, loff_t pos)
{
	ssize_t r;

	if (rw == 1) {
		r = bvec_buffered_write(file, ub, bvec, pos);
		if (r < 1) {
			printk(KERN_ERR "%s: ERROR: An error occurred while writing to backing buffer!\n",
			       VEK_TAG);
			return 0;
		}
	} else if (rw == 0) {
		r = bvec_buffered_read(file, ub, bvec, pos);
		if (r < 1) {
			printk(KERN_ERR "%s: ERROR: An error occurred while reading from backing buffer!\n",
			       VEK_TAG);
			return 0;
		}
	} else {
		printk(KERN_ERR "%s: ERROR: I/O on file was not a READ or a WRITE!\n", VEK_TAG);
		return 0;
	}
	return bvec->bv_len;
}

/*
 * Transfer one file_copy segment by segment from file_start and end it exactly once.
 * A session in error touches the file no more; a failed segment puts it in error.
 */
void io_on_chunk(struct cow_session *cs, struct user_buffer *ub, struct file_copy *fc,
		 struct file *file)
{
	struct bio *bio = fc->bio;
	loff_t pos = fc->file_start;
	unsigned short i;

	for (i = 0; i < bio->bi_vcnt; i++) {
		struct bio_vec *bvec = &bio->bi_io_vec[i];
		ssize_t moved;

		if (is_error(cs)) {
			fc_endio(fc, -EIO);
			return;
		}
		moved = bvec_to_file_f_op(fc->rw & 17, file, ub, bvec, pos);
		if (moved < (ssize_t)bvec->bv_len) {
			printk(KERN_ERR "%s: ERROR: Error while doing IO on file!\n", VEK_TAG);
			invalidate_session(cs, "FILE IO ERROR");
			fc_endio(fc, -EIO);
			return;
		}
		pos += moved;
	}
	fc_endio(fc, 0);
}

/* Drops a reference taken with fget (a worker's file, a session's cow_file). */
void kernel_close_file(struct file *file)
{
	if (!file)
		return;
	if (!file->f_path.dentry) {
		printk(KERN_ERR "%s: ERROR: File had no dentry!\n", VEK_TAG);
		return;
	}
	fput(file);
}
