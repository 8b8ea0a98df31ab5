// Block devices (the block part of <linux/fs.h>, which includes this file):
// block_device references, block-major registration, super blocks and the
// file-system freeze.
#pragma once
#include <linux/types.h>
#include <linux/kernel.h>
#include <linux/atomic.h>
#include <linux/mutex.h>

struct gendisk;
struct hd_struct;
struct super_block;

// One per device number in use: a whole disk or one partition. Obtained with
// bdget, released with bdput; the same object is returned for the same dev_t
// while any reference is held.
struct block_device {
  dev_t bd_dev;
  struct block_device *bd_contains;  // the whole disk (itself for a whole disk)
  struct gendisk *bd_disk;           // kept in memory while the block_device lives
  struct hd_struct *bd_part;         // partition, or &bd_disk->part0
  int bd_openers;                    // opens through the disk's fops (files and mounts)
  struct mutex bd_fsfreeze_mutex;    // serialises freeze_bdev/thaw_bdev
  int bd_fsfreeze_count;             // bd_fsfreeze_mutex
  struct super_block *bd_super;      // mounted file system, or null
  // Platform bookkeeping, not for drivers.
  atomic_t __refs;
  struct kplat_bdev_state *__state;  // in-flight writes, freeze holder
};

// A reference to the device with that number, or null when no published
// disk or partition has it. May sleep.
struct block_device *bdget(dev_t dev);
void bdput(struct block_device *bdev);
// Capacity in sectors of the partition or whole disk.
sector_t bdev_nr_sects(struct block_device *bdev);

// Registers a block major under a name. major 0 asks for a free one, which is
// returned; otherwise 0. -EBUSY when the major is taken, -EINVAL for a major
// out of range. Fault point "register_blkdev".
int register_blkdev(unsigned int major, const char *name);
void unregister_blkdev(unsigned int major, const char *name);

// The file system mounted on exactly this device, held against unmount until
// drop_super; null when none. May sleep.
struct super_block *get_super(struct block_device *bdev);
void drop_super(struct super_block *sb);
// Freezes the file system on bdev: new file-system writes are held, writes
// already inside are waited for, then the device's writes are synced. Nested
// freezes count; each needs a thaw_bdev. Returns the super block, or null when
// nothing is mounted (nothing is then counted or frozen). May sleep.
struct super_block *freeze_bdev(struct block_device *bdev);
// Undoes one freeze_bdev; the last one lets held writers go on. -EINVAL when
// the device is not frozen.
int thaw_bdev(struct block_device *bdev, struct super_block *sb);
// Wait until every write to this device (file-system and direct) started
// before the call has completed. 0. May sleep.
int fsync_bdev(struct block_device *bdev);
int sync_blockdev(struct block_device *bdev);
