// Contract between the block-layer files of the platform (bio, queues,
// disks, block devices, file systems). Not seen by the driver.
#pragma once
#include <linux/bio.h>
#include <linux/blkdev.h>
#include <linux/genhd.h>
#include <linux/fs.h>
#include <host/fault.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <map>
#include <set>
#include <string>
#include <vector>

struct kplat_bdev_state {
  std::mutex lock;
  std::condition_variable cv;
  uint64_t next_ticket = 0;           // lock
  std::set<uint64_t> writes_in_flight;  // tickets of host-side writes not yet done; lock
  struct super_block *frozen_sb = nullptr;  // bd_fsfreeze_mutex
};

namespace kplat {

// bio allocation without the "bio_alloc" fault point, for the platform's own
// I/O (host calls must not eat faults a test aimed at the driver).
struct bio *bio_alloc_internal(int nr_iovecs);
long bios_in_use();


// ---- disk registry (genhd.cpp) ----
struct blk_registry {
  std::mutex lock;
  std::map<unsigned, std::string> majors;        // registered block majors; lock
  std::vector<struct gendisk *> disks;           // published disks; lock
  std::map<dev_t, struct block_device *> bdevs;  // live block devices by number; lock
};
blk_registry &blk_reg();
struct gendisk *find_disk_locked(dev_t dev, int *partno);
struct gendisk *alloc_disk_internal(int minors);  // no fault point
struct request_queue *blk_alloc_queue_internal();  // no fault point, never sleeps
// Unpublishes the disk unless one of its devices is open or mounted; true
// when it did (and the registry's reference was dropped).
bool disk_unpublish_if_idle(struct gendisk *disk);
struct hd_struct *disk_add_part(struct gendisk *disk, int partno, sector_t start, sector_t nr_sects);
// The published disk whose numbers include dev, with the partition number in
// *partno (0: whole disk); null when none (or when dev names an absent
// partition).
struct gendisk *find_disk(dev_t dev, int *partno);
// The block device of a published disk or partition by name ("sda",
// "sda1", "vek1"), with a reference; null when none.
struct block_device *bdget_by_name(const char *name);
void get_disk_ref(struct gendisk *disk);
void put_disk_ref(struct gendisk *disk);
bool disk_published(const struct gendisk *disk);

// Open accounting of a block device: runs the disk's fops open as the
// caller, pins the fops owner; 0 or a negative errno. bdev_close undoes it.
int bdev_open(struct block_device *bdev, fmode_t mode);
void bdev_close(struct block_device *bdev, fmode_t mode);

// ---- host-side I/O (blockdev_file.cpp) ----
// Referenced from add_disk so the object holding blockdev_open (which
// replaces the core's weak default) is always linked in.
void blockdev_file_anchor();
// Moves len bytes between a buffer and the device at byte offset off with
// bios built in pages, split to the queue's limits, submitted with
// generic_make_request and waited for. Partial sectors of a write are read
// first. user: the buffer is the calling process's memory (copy_*_user).
// Returns bytes moved (short at the device end; 0 for a read at/after it), or
// a negative errno (-ENOSPC for a write at/after the end, -EFAULT, -EIO,
// -ENOMEM).
ssize_t bdev_rw(struct block_device *bdev, bool write, void *buf, size_t len, loff_t off);
// Above 0 while this thread submits a range that takes more than one bio: the bios, and
// those a driver submits while handling them, go to the disk's queue, where they are merged
// and served while the submitter adds the next, rather than one at a time in the
// submitter's thread (the role of the kernel's request plug).
extern thread_local int t_submit_plug;

// Bios a driver's make_request_fn gives an image disk are held in the submitting thread until
// it sleeps or the outermost driver's make_request_fn returns, then served merged (disk.cpp).
make_request_fn *disk_make_request_fn();  // the request function of the machine's disks
void driver_mrf_enter();
void driver_mrf_exit();
void deferred_bios_flush();
// Write tickets for fsync_bdev/sync_blockdev.
uint64_t bdev_write_begin(struct block_device *bdev);
void bdev_write_end(struct block_device *bdev, uint64_t ticket);

// ---- file systems (fs_freeze.cpp) ----
bool bdev_mounted(struct block_device *bdev);

}  // namespace kplat
