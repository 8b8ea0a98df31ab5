/* fc.h - transfers between bios and the backing store; chunk-to-worker assignment. */
#ifndef VEK_FC_H
#define VEK_FC_H

#include <linux/types.h>
#include <linux/list.h>
#include <linux/completion.h>
#include <linux/bio.h>
#include <linux/fs.h>

struct cow_session;
struct cow_chunk;
struct if_chunk;
struct user_buffer;
struct file_copy;

/* Called exactly once per record, 0 or -5; must not release the record. */
typedef void (file_copy_end_io)(struct file_copy *fc, int err);

struct file_copy {
	unsigned long rw;		/* 0: backing store -> bio, 1: bio -> backing store */
	struct bio *bio;
	struct cow_chunk *cc;
	struct completion event;	/* the source read of a chunk copy */
	unsigned int saved_size;
	loff_t file_start;		/* byte offset in the worker's file */
	loff_t disk_start;		/* byte offset of the bio from the device start */
	sector_t size;
	file_copy_end_io *end_io;
	struct list_head fc_list;	/* if_chunk.fc_list_head */
};

void init_fc(struct file_copy *fc, struct cow_chunk *cc, struct bio *bio, sector_t chunk_size,
	     sector_t sector_offset, sector_t sector_shift, file_copy_end_io *end_io,
	     unsigned long rw);
int fc_add_page(struct file_copy *fc, struct page *page);
void fc_endio(struct file_copy *fc, int err);
void calc_fc_file_start(struct file_copy *fc, sector_t chunk_size);
void submit_ic_file_io(struct if_chunk *ic, struct cow_session *cs);
int worker_has_work(struct cow_session *cs, struct io_thread *iot);
void do_ic_io(struct cow_session *cs, struct if_chunk *ic, struct user_buffer *ub,
	      struct file *file);
void do_file_io(struct cow_session *cs, struct user_buffer *ub, struct if_chunk *ic,
		struct file *file);

#endif
