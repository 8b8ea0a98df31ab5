// Disks and their partitions.
#pragma once
#include <linux/types.h>
#include <linux/kernel.h>
#include <linux/atomic.h>

struct block_device_operations;
struct request_queue;

#define DISK_NAME_LEN 32
#define BDEVNAME_SIZE 32
#define DISK_MAX_PARTS 256

// One partition, or the whole disk (part0, partno 0).
struct hd_struct {
  sector_t start_sect;  // first sector on the whole disk
  sector_t nr_sects;    // size in 512-byte sectors
  int partno;
  int policy;           // read-only when non-zero
  struct gendisk *__disk;  // platform: the disk it belongs to
};

#define GENHD_FL_REMOVABLE 1
#define GENHD_FL_UP 16
#define GENHD_FL_SUPPRESS_PARTITION_INFO 32

struct gendisk {
  int major;
  int first_minor;
  int minors;  // 1 for a disk without partitions
  char disk_name[DISK_NAME_LEN];
  struct hd_struct part0;
  const struct block_device_operations *fops;
  struct request_queue *queue;
  void *private_data;
  int flags;
  // Platform bookkeeping, not for drivers.
  struct hd_struct **__part;  // [minors]; __part[i] for partition i, null if absent
  atomic_t __refs;            // alloc_disk, add_disk and every block_device hold one
  struct request_queue *__held_queue;  // the queue reference add_disk took
};

// Allocates a disk with room for `minors` minors (partitions 1..minors-1).
// May sleep. Null on failure; fault point "alloc_disk" (context: minors).
struct gendisk *alloc_disk(int minors);
// Publishes the disk: its numbers and name become reachable (bdget, open by
// "/dev/<disk_name>"). Takes a reference on disk->queue.
void add_disk(struct gendisk *disk);
// Unpublishes the disk; block devices already obtained keep it in memory.
void del_gendisk(struct gendisk *disk);
// Drops the alloc_disk reference.
void put_disk(struct gendisk *disk);

static inline sector_t get_capacity(const struct gendisk *disk) { return disk->part0.nr_sects; }
static inline void set_capacity(struct gendisk *disk, sector_t size) { disk->part0.nr_sects = size; }
static inline int disk_max_parts(const struct gendisk *disk) { return disk->minors; }
static inline dev_t disk_devt(const struct gendisk *disk) { return MKDEV(disk->major, disk->first_minor); }
static inline void set_disk_ro(struct gendisk *disk, int flag) { disk->part0.policy = flag; }
static inline int get_disk_ro(const struct gendisk *disk) { return disk->part0.policy; }

// "sda" for partno 0, "sda1" for partition 1, "vek1p1" when the disk name
// ends in a digit. Writes at most BDEVNAME_SIZE bytes; returns buf.
char *disk_name(struct gendisk *hd, int partno, char *buf);
