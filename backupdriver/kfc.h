/* kfc.h - a worker's backing-file I/O through its user-space staging window. */
#ifndef VEK_KFC_H
#define VEK_KFC_H

#include <linux/types.h>
#include <linux/fs.h>
#include <linux/bio.h>

struct cow_session;
struct file_copy;

/* Used only by the worker that owns it: no lock. */
struct user_buffer {
	unsigned long addr;		/* in the worker's process */
	int size;			/* capacity */
	int pos;			/* valid bytes */
	int used;
	int dirty;
	loff_t file_pos;		/* one past the window's last valid byte */
	int slot;			/* chunk slot size of the file; 0: unknown */
};

void io_on_chunk(struct cow_session *cs, struct user_buffer *ub, struct file_copy *fc,
		 struct file *file);
ssize_t bvec_to_file_f_op(unsigned long rw, struct file *file, struct user_buffer *ub,
			  struct bio_vec *bvec, loff_t pos);
ssize_t bvec_buffered_write(struct file *file, struct user_buffer *ub, struct bio_vec *bvec,
			    loff_t pos);
ssize_t bvec_buffered_read(struct file *file, struct user_buffer *ub, struct bio_vec *bvec,
			   loff_t pos);
int flush_ub(struct file *file, struct user_buffer *ub, int reset);
int populate_ub(struct file *file, struct user_buffer *ub, loff_t p, int need);
ssize_t buf_to_file_f_op(int rw, struct file *file, unsigned long m_buf, loff_t pos, ssize_t s,
			 ssize_t need);
void kernel_close_file(struct file *file);

#endif
