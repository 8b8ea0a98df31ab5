/* Weak placeholders so the driver links while its parts are being written.
 * Each aborts loudly if reached; every one is overridden by the real definition and this
 * file is deleted once the last part lands. */
#include "cow.h"
#include <cstdio>
#include <cstdlib>
[[noreturn]] static void vek_unbuilt(const char *name)
{
	fprintf(stderr, "vekdriver: %s is not built yet\n", name);
	abort();
}

__attribute__((weak)) struct list_head *mrf_hash;
__attribute__((weak)) spinlock_t mrf_mapping_lock;
__attribute__((weak)) int init_mrf_hash(void)
{
	vek_unbuilt("init_mrf_hash");
}

__attribute__((weak)) void free_mrf_hash(void)
{
	vek_unbuilt("free_mrf_hash");
}

__attribute__((weak)) unsigned int mrf_hash_bucket(u64 key)
{
	vek_unbuilt("mrf_hash_bucket");
}

__attribute__((weak)) struct saved_mrf * find_smrf(struct block_device *bdev)
{
	vek_unbuilt("find_smrf");
}

__attribute__((weak)) struct saved_mrf * get_smrf(struct block_device *bdev)
{
	vek_unbuilt("get_smrf");
}

__attribute__((weak)) void grab_smrf(struct saved_mrf *smrf)
{
	vek_unbuilt("grab_smrf");
}

__attribute__((weak)) void put_smrf(struct saved_mrf *smrf)
{
	vek_unbuilt("put_smrf");
}

__attribute__((weak)) int set_mrf(struct saved_mrf *smrf, struct block_device *bdev, make_request_fn *newMRF)
{
	vek_unbuilt("set_mrf");
}

__attribute__((weak)) void inc_mapped(struct saved_mrf *smrf)
{
	vek_unbuilt("inc_mapped");
}

__attribute__((weak)) int unset_mrf(struct saved_mrf *smrf)
{
	vek_unbuilt("unset_mrf");
}

__attribute__((weak)) make_request_fn * get_mrf_fn(struct block_device *bdev)
{
	vek_unbuilt("get_mrf_fn");
}

__attribute__((weak)) void doMRF(struct request_queue *q, make_request_fn *savedMRF, struct bio *bio)
{
	vek_unbuilt("doMRF");
}

__attribute__((weak)) unsigned int down_to_power_of_2(unsigned int n)
{
	vek_unbuilt("down_to_power_of_2");
}

__attribute__((weak)) sector_t get_chunk(sector_t sector_shift, sector_t chunk_mask, sector_t chunk_shift, sector_t sector)
{
	vek_unbuilt("get_chunk");
}

__attribute__((weak)) unsigned int chunk_hash(struct chunk_table *ct, sector_t chunk)
{
	vek_unbuilt("chunk_hash");
}

__attribute__((weak)) void * alloc_table(u64 n, u64 size)
{
	vek_unbuilt("alloc_table");
}

__attribute__((weak)) int init_chunk_table(struct chunk_table *ct, unsigned int size)
{
	vek_unbuilt("init_chunk_table");
}

__attribute__((weak)) void add_cow_chunk(struct chunk_table *ct, struct cow_chunk *cc)
{
	vek_unbuilt("add_cow_chunk");
}

__attribute__((weak)) struct cow_chunk * get_cow_chunk(struct chunk_table *ct, sector_t chunk)
{
	vek_unbuilt("get_cow_chunk");
}

__attribute__((weak)) void add_if_chunk(struct chunk_table *ct, struct if_chunk *ic)
{
	vek_unbuilt("add_if_chunk");
}

__attribute__((weak)) struct if_chunk * get_if_chunk(struct chunk_table *ct, sector_t chunk)
{
	vek_unbuilt("get_if_chunk");
}

__attribute__((weak)) struct cow_chunk * alloc_cow_chunk(void)
{
	vek_unbuilt("alloc_cow_chunk");
}

__attribute__((weak)) struct if_chunk * alloc_if_chunk(sector_t chunk)
{
	vek_unbuilt("alloc_if_chunk");
}

__attribute__((weak)) struct if_chunk * alloc_anon_if_chunk(struct cow_chunk *cc)
{
	vek_unbuilt("alloc_anon_if_chunk");
}

__attribute__((weak)) void free_cow_chunk(struct cow_chunk *cc)
{
	vek_unbuilt("free_cow_chunk");
}

__attribute__((weak)) void free_if_chunk(struct if_chunk *ic)
{
	vek_unbuilt("free_if_chunk");
}

__attribute__((weak)) void put_cow_chunk_table(struct chunk_table *ct)
{
	vek_unbuilt("put_cow_chunk_table");
}

__attribute__((weak)) void put_cow_if_table(struct chunk_table *ct)
{
	vek_unbuilt("put_cow_if_table");
}

__attribute__((weak)) struct list_head session_list_head;
__attribute__((weak)) struct list_head ct_list_head;
__attribute__((weak)) int session_count;
__attribute__((weak)) struct cow_session * alloc_cow_session(void)
{
	vek_unbuilt("alloc_cow_session");
}

__attribute__((weak)) struct cow_session * get_cow_session_by_id(int id)
{
	vek_unbuilt("get_cow_session_by_id");
}

__attribute__((weak)) struct cow_session * get_cow_session(struct bio *bio)
{
	vek_unbuilt("get_cow_session");
}

__attribute__((weak)) int get_session_and_chunk(struct bio *bio, struct cow_session **cs, sector_t *chunk)
{
	vek_unbuilt("get_session_and_chunk");
}

__attribute__((weak)) int get_cow_sessions(struct bio *bio, struct list_head *list)
{
	vek_unbuilt("get_cow_sessions");
}

__attribute__((weak)) int get_all_sessions(struct list_head *list)
{
	vek_unbuilt("get_all_sessions");
}

__attribute__((weak)) void put_cow_sessions(struct list_head *list)
{
	vek_unbuilt("put_cow_sessions");
}

__attribute__((weak)) struct session_node * get_session_node(struct cow_session *cs)
{
	vek_unbuilt("get_session_node");
}

__attribute__((weak)) void put_session_node(struct session_node *node)
{
	vek_unbuilt("put_session_node");
}

__attribute__((weak)) void inc_users(struct cow_session *cs)
{
	vek_unbuilt("inc_users");
}

__attribute__((weak)) void dec_users(struct cow_session *cs)
{
	vek_unbuilt("dec_users");
}

__attribute__((weak)) u64 get_users(struct cow_session *cs)
{
	vek_unbuilt("get_users");
}

__attribute__((weak)) int get_cow_session_count(void)
{
	vek_unbuilt("get_cow_session_count");
}

__attribute__((weak)) void check_bio(struct bio *bio)
{
	vek_unbuilt("check_bio");
}

__attribute__((weak)) int is_error(struct cow_session *cs)
{
	vek_unbuilt("is_error");
}

__attribute__((weak)) int is_shutdown(struct cow_session *cs)
{
	vek_unbuilt("is_shutdown");
}

__attribute__((weak)) int is_valid_session(struct cow_session *cs)
{
	vek_unbuilt("is_valid_session");
}

__attribute__((weak)) void set_close_files(struct cow_session *cs)
{
	vek_unbuilt("set_close_files");
}

__attribute__((weak)) int close_files(struct cow_session *cs)
{
	vek_unbuilt("close_files");
}

__attribute__((weak)) void invalidate_session(struct cow_session *cs, const char *text)
{
	vek_unbuilt("invalidate_session");
}

__attribute__((weak)) struct cow_session * ioctl_start_vek_session(struct snap_shot_request *req)
{
	vek_unbuilt("ioctl_start_vek_session");
}

__attribute__((weak)) struct cow_session * new_cow_session(struct snap_shot_request *req)
{
	vek_unbuilt("new_cow_session");
}

__attribute__((weak)) int start_cow_session(struct cow_session *cs)
{
	vek_unbuilt("start_cow_session");
}

__attribute__((weak)) void lock_bdev(struct block_device *bdev)
{
	vek_unbuilt("lock_bdev");
}

__attribute__((weak)) void unlock_bdev(struct block_device *bdev)
{
	vek_unbuilt("unlock_bdev");
}

__attribute__((weak)) void calcTimeDiff(struct timespec *start, struct timespec *end, struct timespec *out)
{
	vek_unbuilt("calcTimeDiff");
}

__attribute__((weak)) int stop_cow_session(struct cow_session *cs)
{
	vek_unbuilt("stop_cow_session");
}

__attribute__((weak)) void put_cow_session(struct cow_session *cs)
{
	vek_unbuilt("put_cow_session");
}

__attribute__((weak)) void clean_spc(struct simple_page_cache *spc)
{
	vek_unbuilt("clean_spc");
}

__attribute__((weak)) void rb_free_node_and_page(struct rb_root *root)
{
	vek_unbuilt("rb_free_node_and_page");
}

__attribute__((weak)) void rb_free_node(struct rb_root *root)
{
	vek_unbuilt("rb_free_node");
}

__attribute__((weak)) void stop_all_cow_sessions(void)
{
	vek_unbuilt("stop_all_cow_sessions");
}

__attribute__((weak)) void put_all_cow_sessions(void)
{
	vek_unbuilt("put_all_cow_sessions");
}

__attribute__((weak)) struct ct_session * alloc_cts_session(void)
{
	vek_unbuilt("alloc_cts_session");
}

__attribute__((weak)) void start_cts(struct ct_session *cts)
{
	vek_unbuilt("start_cts");
}

__attribute__((weak)) struct ct_session * get_cts_session_bio(struct bio *bio)
{
	vek_unbuilt("get_cts_session_bio");
}

__attribute__((weak)) void cts_set_error(struct ct_session *cts)
{
	vek_unbuilt("cts_set_error");
}

__attribute__((weak)) void error_all_cts(void)
{
	vek_unbuilt("error_all_cts");
}

__attribute__((weak)) int handle_ioctlErrorCTS(unsigned long arg)
{
	vek_unbuilt("handle_ioctlErrorCTS");
}

__attribute__((weak)) int any_cts_has_error(void)
{
	vek_unbuilt("any_cts_has_error");
}

__attribute__((weak)) void clear_all_cts(void)
{
	vek_unbuilt("clear_all_cts");
}

__attribute__((weak)) void stop_all_cts(void)
{
	vek_unbuilt("stop_all_cts");
}

__attribute__((weak)) void init_fc(struct file_copy *fc, struct cow_chunk *cc, struct bio *bio, sector_t chunk_size, sector_t sector_offset, sector_t sector_shift, file_copy_end_io *end_io, unsigned long rw)
{
	vek_unbuilt("init_fc");
}

__attribute__((weak)) int fc_add_page(struct file_copy *fc, struct page *page)
{
	vek_unbuilt("fc_add_page");
}

__attribute__((weak)) void fc_endio(struct file_copy *fc, int err)
{
	vek_unbuilt("fc_endio");
}

__attribute__((weak)) void calc_fc_file_start(struct file_copy *fc, sector_t chunk_size)
{
	vek_unbuilt("calc_fc_file_start");
}

__attribute__((weak)) void submit_ic_file_io(struct if_chunk *ic, struct cow_session *cs)
{
	vek_unbuilt("submit_ic_file_io");
}

__attribute__((weak)) void do_ic_io(struct cow_session *cs, struct if_chunk *ic, struct user_buffer *ub, struct file *file)
{
	vek_unbuilt("do_ic_io");
}

__attribute__((weak)) void do_file_io(struct cow_session *cs, struct user_buffer *ub, struct if_chunk *ic, struct file *file)
{
	vek_unbuilt("do_file_io");
}

__attribute__((weak)) void io_on_chunk(struct cow_session *cs, struct user_buffer *ub, struct file_copy *fc, struct file *file)
{
	vek_unbuilt("io_on_chunk");
}

__attribute__((weak)) ssize_t bvec_to_file_f_op(unsigned long rw, struct file *file, struct user_buffer *ub, struct bio_vec *bvec, loff_t pos)
{
	vek_unbuilt("bvec_to_file_f_op");
}

__attribute__((weak)) ssize_t bvec_buffered_write(struct file *file, struct user_buffer *ub, struct bio_vec *bvec, loff_t pos)
{
	vek_unbuilt("bvec_buffered_write");
}

__attribute__((weak)) ssize_t bvec_buffered_read(struct file *file, struct user_buffer *ub, struct bio_vec *bvec, loff_t pos)
{
	vek_unbuilt("bvec_buffered_read");
}

__attribute__((weak)) int flush_ub(struct file *file, struct user_buffer *ub, int reset)
{
	vek_unbuilt("flush_ub");
}

__attribute__((weak)) int populate_ub(struct file *file, struct user_buffer *ub, loff_t p, int need)
{
	vek_unbuilt("populate_ub");
}

__attribute__((weak)) ssize_t buf_to_file_f_op(int rw, struct file *file, unsigned long m_buf, loff_t pos, ssize_t s, ssize_t need)
{
	vek_unbuilt("buf_to_file_f_op");
}

__attribute__((weak)) void kernel_close_file(struct file *file)
{
	vek_unbuilt("kernel_close_file");
}

__attribute__((weak)) struct blkdev_replica *replicas[MAX_REPLICAS];
__attribute__((weak)) atomic_t clone_count;
__attribute__((weak)) struct rw_semaphore rw_mutex;
__attribute__((weak)) int clone_init(void)
{
	vek_unbuilt("clone_init");
}

__attribute__((weak)) void clone_exit(void)
{
	vek_unbuilt("clone_exit");
}

__attribute__((weak)) int next_replica(void)
{
	vek_unbuilt("next_replica");
}

__attribute__((weak)) int new_replica(dev_t dev, struct request_queue *q, struct cow_session *cs)
{
	vek_unbuilt("new_replica");
}

__attribute__((weak)) int blkdev_clone(dev_t dev, struct cow_session *cs, make_request_fn *mrf)
{
	vek_unbuilt("blkdev_clone");
}

__attribute__((weak)) int blkdev_unclone(int clone_id)
{
	vek_unbuilt("blkdev_unclone");
}

__attribute__((weak)) void destroy_replica(int clone_id)
{
	vek_unbuilt("destroy_replica");
}

__attribute__((weak)) struct blkdev_replica * get_blkdev_replica(int clone_id)
{
	vek_unbuilt("get_blkdev_replica");
}

__attribute__((weak)) void put_blkdev_replica(struct blkdev_replica *r)
{
	vek_unbuilt("put_blkdev_replica");
}

__attribute__((weak)) int blkdev_shutdown(int clone_id)
{
	vek_unbuilt("blkdev_shutdown");
}

__attribute__((weak)) int clone_open_blkdev(struct block_device *blkdev, fmode_t mode)
{
	vek_unbuilt("clone_open_blkdev");
}

__attribute__((weak)) int clone_close_blkdev(struct gendisk *disk, fmode_t mode)
{
	vek_unbuilt("clone_close_blkdev");
}

__attribute__((weak)) int clone_ioctl(struct block_device *blkdev, fmode_t mode, unsigned cmd, unsigned long arg)
{
	vek_unbuilt("clone_ioctl");
}

__attribute__((weak)) void clone_unplug(struct request_queue *q)
{
	vek_unbuilt("clone_unplug");
}

__attribute__((weak)) void inc_device_users(dev_t dev)
{
	vek_unbuilt("inc_device_users");
}

__attribute__((weak)) void dec_device_users(dev_t dev)
{
	vek_unbuilt("dec_device_users");
}

__attribute__((weak)) void kprint_device_users(dev_t dev)
{
	vek_unbuilt("kprint_device_users");
}

__attribute__((weak)) int is_qel_process(void)
{
	vek_unbuilt("is_qel_process");
}

__attribute__((weak)) struct list_head record_list;
__attribute__((weak)) struct list_head cow_pids_list;
__attribute__((weak)) struct semaphore workLock;
__attribute__((weak)) struct semaphore session_list_lock;
__attribute__((weak)) struct semaphore session_work_lock;
__attribute__((weak)) spinlock_t cow_thread_lock;
__attribute__((weak)) spinlock_t record_list_lock;
__attribute__((weak)) atomic_t record_list_lenght;
__attribute__((weak)) atomic_t record_list_unblock;
__attribute__((weak)) atomic_t record_list_waiting;
__attribute__((weak)) wait_queue_head_t record_list_wait_queue;
__attribute__((weak)) atomic_t global_shutdown;
__attribute__((weak)) atomic_t shutdown_requested;
__attribute__((weak)) atomic_t users;
__attribute__((weak)) atomic_t total_cow_pages;
__attribute__((weak)) unsigned long zk_max_chunk_buffer;
__attribute__((weak)) struct task_struct *lock_debug_thread_task;
__attribute__((weak)) wait_queue_head_t lock_wait;
__attribute__((weak)) atomic_t lock_wait_count;
__attribute__((weak)) atomic_t lock_print_count;
__attribute__((weak)) struct completion lock_wait_done;
__attribute__((weak)) kmem_cache_zk *record_cache, *saved_cache, *cl_cache, *fc_cache, *rb_cache;
__attribute__((weak)) mempool_t *qel_bp_cache;
__attribute__((weak)) int vek_init(void)
{
	vek_unbuilt("vek_init");
}

__attribute__((weak)) void vek_exit(void)
{
	vek_unbuilt("vek_exit");
}

__attribute__((weak)) int vek_unload(void)
{
	vek_unbuilt("vek_unload");
}

__attribute__((weak)) int handle_ioctlUnload(unsigned long arg)
{
	vek_unbuilt("handle_ioctlUnload");
}

__attribute__((weak)) int cow_ioctl(struct inode *inode, struct file *file, unsigned int cmd, unsigned long arg)
{
	vek_unbuilt("cow_ioctl");
}

__attribute__((weak)) int handle_ioctlStartVK(unsigned long arg)
{
	vek_unbuilt("handle_ioctlStartVK");
}

__attribute__((weak)) kmem_cache_zk * kmem_cache_create_zk(const char *name, size_t size)
{
	vek_unbuilt("kmem_cache_create_zk");
}

__attribute__((weak)) void * alloc_common(kmem_cache_zk *cache, size_t size)
{
	vek_unbuilt("alloc_common");
}

__attribute__((weak)) void free_common(kmem_cache_zk *cache, void *object)
{
	vek_unbuilt("free_common");
}

__attribute__((weak)) struct file_copy * alloc_file_copy(struct cow_session *cs)
{
	vek_unbuilt("alloc_file_copy");
}

__attribute__((weak)) void put_file_copy(struct file_copy *fc, struct cow_session *cs)
{
	vek_unbuilt("put_file_copy");
}

__attribute__((weak)) struct rb_cache * alloc_rb_cache(void)
{
	vek_unbuilt("alloc_rb_cache");
}

__attribute__((weak)) void put_rb_cache(struct rb_cache *node)
{
	vek_unbuilt("put_rb_cache");
}

__attribute__((weak)) struct saved_info * alloc_saved_info(void)
{
	vek_unbuilt("alloc_saved_info");
}

__attribute__((weak)) void put_saved_info(struct saved_info *info)
{
	vek_unbuilt("put_saved_info");
}

__attribute__((weak)) struct chunk_list * alloc_chunk_list(void)
{
	vek_unbuilt("alloc_chunk_list");
}

__attribute__((weak)) void put_chunk_list(struct chunk_list *cl)
{
	vek_unbuilt("put_chunk_list");
}

__attribute__((weak)) struct change_record * alloc_change_record(void)
{
	vek_unbuilt("alloc_change_record");
}

__attribute__((weak)) void put_change_record(struct change_record *rec)
{
	vek_unbuilt("put_change_record");
}

__attribute__((weak)) int handle_ioctlStartVK2(unsigned long arg)
{
	vek_unbuilt("handle_ioctlStartVK2");
}

__attribute__((weak)) int handle_ioctlStopVK(unsigned long arg)
{
	vek_unbuilt("handle_ioctlStopVK");
}

__attribute__((weak)) int handle_ioctlGetVKList(unsigned long arg)
{
	vek_unbuilt("handle_ioctlGetVKList");
}

__attribute__((weak)) int handle_ioctlGetVKDev(unsigned long arg)
{
	vek_unbuilt("handle_ioctlGetVKDev");
}

__attribute__((weak)) int handle_ioctlGetDevPath(unsigned long arg)
{
	vek_unbuilt("handle_ioctlGetDevPath");
}

__attribute__((weak)) int handle_ioctlGetBackingFile(unsigned long arg)
{
	vek_unbuilt("handle_ioctlGetBackingFile");
}

__attribute__((weak)) int handle_ioctlGetSessionError(unsigned long arg)
{
	vek_unbuilt("handle_ioctlGetSessionError");
}

__attribute__((weak)) int handle_ioctlGetVersion(unsigned long arg)
{
	vek_unbuilt("handle_ioctlGetVersion");
}

__attribute__((weak)) int handle_ioctlGetVKList2(unsigned long arg)
{
	vek_unbuilt("handle_ioctlGetVKList2");
}

__attribute__((weak)) int handle_ioctlGetVKListCount(unsigned long arg)
{
	vek_unbuilt("handle_ioctlGetVKListCount");
}

__attribute__((weak)) int handle_SetCowFile(unsigned long arg)
{
	vek_unbuilt("handle_SetCowFile");
}

__attribute__((weak)) int ioctl_get_vek_device(struct snap_shot_request *req)
{
	vek_unbuilt("ioctl_get_vek_device");
}

__attribute__((weak)) int ioctl_get_real_device_path(struct get_string *gs)
{
	vek_unbuilt("ioctl_get_real_device_path");
}

__attribute__((weak)) int ioctl_get_backing_file(struct get_string *gs)
{
	vek_unbuilt("ioctl_get_backing_file");
}

__attribute__((weak)) int ioctl_get_session_error(struct get_string *gs)
{
	vek_unbuilt("ioctl_get_session_error");
}

__attribute__((weak)) int ioctl_set_session_file(struct set_cow_file *sf)
{
	vek_unbuilt("ioctl_set_session_file");
}

__attribute__((weak)) int ioctl_stop_vek_session(struct snap_shot_request *req)
{
	vek_unbuilt("ioctl_stop_vek_session");
}

__attribute__((weak)) int ioctl_get_session_list(struct session_list *array, int n)
{
	vek_unbuilt("ioctl_get_session_list");
}

__attribute__((weak)) int stop_all_vek_sessions(void)
{
	vek_unbuilt("stop_all_vek_sessions");
}

__attribute__((weak)) int bdev_stop_wait_flush(int major, int minor)
{
	vek_unbuilt("bdev_stop_wait_flush");
}

__attribute__((weak)) int cow_request(struct request_queue *q, struct bio *bio)
{
	vek_unbuilt("cow_request");
}

__attribute__((weak)) int virt_request(struct request_queue *q, struct bio *bio)
{
	vek_unbuilt("virt_request");
}

__attribute__((weak)) int generic_request(make_request_fn *request_fn, struct request_queue *q, struct bio *bio)
{
	vek_unbuilt("generic_request");
}

__attribute__((weak)) void do_request(make_request_fn *request_fn, struct request_queue *q, struct bio *bio)
{
	vek_unbuilt("do_request");
}

__attribute__((weak)) int __cow_request(struct request_queue *q, struct bio *bio)
{
	vek_unbuilt("__cow_request");
}

__attribute__((weak)) int get_affected_chunks(struct cow_session *cs, struct bio *bio, struct list_head *list)
{
	vek_unbuilt("get_affected_chunks");
}

__attribute__((weak)) void add_and_inc_if(struct cow_session *cs, struct if_chunk *ic)
{
	vek_unbuilt("add_and_inc_if");
}

__attribute__((weak)) struct if_chunk * get_and_inc_if(struct cow_session *cs, sector_t chunk)
{
	vek_unbuilt("get_and_inc_if");
}

__attribute__((weak)) void put_and_dec_if(struct cow_session *cs, struct if_chunk *ic)
{
	vek_unbuilt("put_and_dec_if");
}

__attribute__((weak)) struct rb_wl * rb_serach_wl(struct rb_root *root, sector_t value)
{
	vek_unbuilt("rb_serach_wl");
}

__attribute__((weak)) void rb_instert_wl(struct rb_root *root, struct rb_wl *n)
{
	vek_unbuilt("rb_instert_wl");
}

__attribute__((weak)) struct rb_wl * alloc_rb_wl(void)
{
	vek_unbuilt("alloc_rb_wl");
}

__attribute__((weak)) void put_rbwl(struct rb_wl *rbwl)
{
	vek_unbuilt("put_rbwl");
}

__attribute__((weak)) void wait_for_read(struct rb_wl *rbwl)
{
	vek_unbuilt("wait_for_read");
}

__attribute__((weak)) int is_cow_thread(void)
{
	vek_unbuilt("is_cow_thread");
}

__attribute__((weak)) int is_cow_file_for_any_session(struct list_head *session_list, struct bio *bio)
{
	vek_unbuilt("is_cow_file_for_any_session");
}

__attribute__((weak)) void save_info(struct bio *bio, struct saved_info *info)
{
	vek_unbuilt("save_info");
}

__attribute__((weak)) void restore_info(struct saved_info *info, struct bio *bio)
{
	vek_unbuilt("restore_info");
}

__attribute__((weak)) loff_t calc_bio_disk_pos(struct cow_session *cs, struct cow_chunk *cc, struct bio *bio)
{
	vek_unbuilt("calc_bio_disk_pos");
}

__attribute__((weak)) struct cow_chunk * copy_chunk(struct cow_session *cs, struct if_chunk *ic, struct block_device *bdev, make_request_fn *savedMRF, struct rb_root *rb, struct bio *merge_bio, unsigned int *copied)
{
	vek_unbuilt("copy_chunk");
}

__attribute__((weak)) void set_chunk_pos(struct cow_session *cs, struct cow_chunk *cc, sector_t chunk)
{
	vek_unbuilt("set_chunk_pos");
}

__attribute__((weak)) struct page * alloc_one_page(void)
{
	vek_unbuilt("alloc_one_page");
}

__attribute__((weak)) struct bio * alloc_bio(int max_pages)
{
	vek_unbuilt("alloc_bio");
}

__attribute__((weak)) void cow_bio_endIO(struct bio *bio, int err)
{
	vek_unbuilt("cow_bio_endIO");
}

__attribute__((weak)) void bio_endIO(struct bio *bio, int err)
{
	vek_unbuilt("bio_endIO");
}

__attribute__((weak)) void fc_copy_end_io(struct file_copy *fc, int err)
{
	vek_unbuilt("fc_copy_end_io");
}

__attribute__((weak)) int read_from_page_cache(struct rb_root *rb, struct bio *bio)
{
	vek_unbuilt("read_from_page_cache");
}

__attribute__((weak)) void cache_pages(struct rb_root *rb, struct bio *bio)
{
	vek_unbuilt("cache_pages");
}

__attribute__((weak)) struct rb_cache * rb_search(struct rb_root *root, sector_t value)
{
	vek_unbuilt("rb_search");
}

__attribute__((weak)) void rb_insert(struct rb_root *root, struct rb_cache *n)
{
	vek_unbuilt("rb_insert");
}

__attribute__((weak)) int new_io_threads(struct io_thread_info *io_threads)
{
	vek_unbuilt("new_io_threads");
}

__attribute__((weak)) void free_io_threads(struct io_thread_info *io_threads)
{
	vek_unbuilt("free_io_threads");
}

__attribute__((weak)) int handel_RunIOThread(unsigned long arg)
{
	vek_unbuilt("handel_RunIOThread");
}

__attribute__((weak)) int runIOThread(struct zk_thread_info *ti)
{
	vek_unbuilt("runIOThread");
}

__attribute__((weak)) int handle_ioctlThreadWaitTimeout(unsigned long arg)
{
	vek_unbuilt("handle_ioctlThreadWaitTimeout");
}

__attribute__((weak)) int handle_ioctlNoThreadShutdown(unsigned long arg)
{
	vek_unbuilt("handle_ioctlNoThreadShutdown");
}

__attribute__((weak)) int add_cow_thread(void)
{
	vek_unbuilt("add_cow_thread");
}

__attribute__((weak)) void remove_cow_thread(void)
{
	vek_unbuilt("remove_cow_thread");
}

__attribute__((weak)) void adjust_thread_properites(int id, int thread_id)
{
	vek_unbuilt("adjust_thread_properites");
}

__attribute__((weak)) int statfs(struct file *file, struct kstatfs *st)
{
	vek_unbuilt("statfs");
}

__attribute__((weak)) void runIOCleanup(struct cow_session *cs)
{
	vek_unbuilt("runIOCleanup");
}

__attribute__((weak)) void cleanup_ic(struct if_chunk *ic, struct cow_session *cs)
{
	vek_unbuilt("cleanup_ic");
}

__attribute__((weak)) int __virt_request(struct request_queue *q, struct bio *bio)
{
	vek_unbuilt("__virt_request");
}

__attribute__((weak)) int prep_chunk_list(struct cow_session *cs, struct chunk_list *cl, int rw)
{
	vek_unbuilt("prep_chunk_list");
}

__attribute__((weak)) int handle_virt_read(struct handle_io *hio)
{
	vek_unbuilt("handle_virt_read");
}

__attribute__((weak)) int handle_virt_write(struct handle_io *hio)
{
	vek_unbuilt("handle_virt_write");
}

__attribute__((weak)) void vrt_bio_endIO(struct bio *bio, int err)
{
	vek_unbuilt("vrt_bio_endIO");
}

__attribute__((weak)) void finish_read(struct rb_wl *rbwl)
{
	vek_unbuilt("finish_read");
}

__attribute__((weak)) void virt_fc_end_io(struct file_copy *fc, int err)
{
	vek_unbuilt("virt_fc_end_io");
}

__attribute__((weak)) int cached_io(struct cow_session *cs, struct bio *bio, int rw)
{
	vek_unbuilt("cached_io");
}

__attribute__((weak)) unsigned int io_on_if_chunk(struct cow_session *cs, struct if_chunk *ic, struct cow_chunk *cc, struct bio *bio, int rw)
{
	vek_unbuilt("io_on_if_chunk");
}

__attribute__((weak)) unsigned int bvec_to_if_chunk(struct cow_session *cs, struct if_chunk *ic, struct bio_vec *bio_bvec, loff_t bio_bvec_disk_pos, int rw)
{
	vek_unbuilt("bvec_to_if_chunk");
}

__attribute__((weak)) unsigned int bvec_to_if_bvec(struct bio_vec *bio_bvec, loff_t bio_bvec_disk_pos, struct bio_vec *if_bvec, loff_t if_bvec_disk_pos, int rw)
{
	vek_unbuilt("bvec_to_if_bvec");
}

__attribute__((weak)) void record_change(struct ct_session *cts, struct bio *bio, int virt)
{
	vek_unbuilt("record_change");
}

__attribute__((weak)) int handle_ioctlGetChangedRecords(unsigned long arg)
{
	vek_unbuilt("handle_ioctlGetChangedRecords");
}

__attribute__((weak)) int handle_ioctlGetChangedRecordsV2(unsigned long arg)
{
	vek_unbuilt("handle_ioctlGetChangedRecordsV2");
}

__attribute__((weak)) int ioctl_get_changed_records(struct change_recrod_request *crr, struct change_record_usr *cru)
{
	vek_unbuilt("ioctl_get_changed_records");
}

__attribute__((weak)) int ioctl_get_changed_records_v2(struct change_recrod_request_v2 *crr, struct change_record_usr_v2 *cru)
{
	vek_unbuilt("ioctl_get_changed_records_v2");
}

__attribute__((weak)) int handle_ioctlUnblockChangeRecords(unsigned long arg)
{
	vek_unbuilt("handle_ioctlUnblockChangeRecords");
}

__attribute__((weak)) void safe_flush_changed_records(void)
{
	vek_unbuilt("safe_flush_changed_records");
}

__attribute__((weak)) void shutdown_flush_changed_recores(void)
{
	vek_unbuilt("shutdown_flush_changed_recores");
}

__attribute__((weak)) int lock_debug_thread(void *data)
{
	vek_unbuilt("lock_debug_thread");
}

__attribute__((weak)) int lock_debug_sem_lock(struct semaphore *sem)
{
	vek_unbuilt("lock_debug_sem_lock");
}

__attribute__((weak)) int lock_debug_lock(spinlock_t *lock)
{
	vek_unbuilt("lock_debug_lock");
}

__attribute__((weak)) int ioctl_list_locks(void)
{
	vek_unbuilt("ioctl_list_locks");
}

__attribute__((weak)) int handle_ioctlListLokcs(unsigned long arg)
{
	vek_unbuilt("handle_ioctlListLokcs");
}

