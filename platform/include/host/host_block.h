// The machine's disks and file systems, as a program or test drives them.
// Failures return -1 (or 0 for add_disk) and set errno.
#pragma once
#include <linux/types.h>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>
#include <sys/types.h>

namespace host {

struct partition_spec {
  uint64_t start_sect;  // first sector on the disk
  uint64_t nr_sects;
};

// How a disk serves its bios. Off (the default), one disk thread serves them one at a time
// in submission order. On, the disk behaves as a queueing device with timers does: up to
// `depth` bios are in service at once, each completes after a random latency drawn from an
// exponential distribution of mean `mean_latency_us` microseconds of platform time (0: due
// at once), and `threads` completion threads complete them in the order their latencies
// run out, concurrently. A bio's data moves when it completes, so writes to one range that
// are in service together land in any order; each bio moves as a whole with respect to any
// bio it overlaps, so a read sees one of them, never a mix. A barrier bio (BIO_RW_BARRIER)
// enters service only once every bio submitted before it has completed, and none after it
// enters before it has completed. Fault rules meet bios in submission order; a delay rule
// adds to the bio's latency. The latencies follow the platform clock: on a stopped clock a
// bio with a latency completes only once the clock moves on. The seed fixes the draws.
struct disk_reorder {
  bool enabled = false;
  uint64_t seed = 0;
  unsigned depth = 32;              // 1 to 4096
  unsigned mean_latency_us = 200;   // up to 10 s
  unsigned threads = 2;             // 2 to 16
};
// Reads "SEED[:DEPTH[:LATENCY_US]]" (decimal; the omitted fields keep their defaults) into
// *out, enabled. False with *why (a sentence naming the bad field) for anything else.
bool parse_disk_reorder(const std::string &text, disk_reorder *out, std::string *why);

struct disk_spec {
  std::string name;      // "sda": partitions become "sda1", "sda2", ...
  uint64_t nr_sects;     // size in 512-byte sectors
  std::string image;     // "" = RAM disk, else path of an image file (created/extended)
  std::vector<partition_spec> partitions;
  unsigned max_hw_sectors = 256;
  // An image file the caller opened (and may hold locked): the disk serves a duplicate of it,
  // as it is: it is neither created nor extended, and must hold nr_sects (EINVAL when it
  // is no regular file or is shorter). Open read-only, it makes a disk whose writes fail.
  // `image` then only names it in the kernel log.
  int image_fd = -1;
  disk_reorder reorder;  // how the disk serves its bios; fixed for the disk's life
  // The image is read and written with O_DIRECT, past the host's page cache, as QEMU opens
  // its files with cache=none: on a descriptor of the disk's own, reopened (an image_fd keeps
  // its O_SYNC or O_DSYNC), and EOPNOTSUPP when its file system takes no direct I/O in 512-byte
  // units. A bio whose segments the host cannot move directly goes through an aligned copy on
  // that same direct descriptor, never a buffered one: buffered and direct writes of one file
  // may lose each other's data.
  bool direct = false;
};

// Adds a disk with block major 8: the n-th free disk slot gets first minor
// 16 n and 16 minors; partition i (1-based) is first_minor + i. Returns the
// whole disk's dev_t, or 0 with errno: EINVAL (no name, name too long, zero
// size, more than 15 partitions, a partition empty, past the end or overlapping
// another, max_hw_sectors below 8, reorder settings out of their ranges), EEXIST
// (a disk of that name exists), ENOSPC (no free slot), EAGAIN (the host gives
// no thread to serve it), or the errno of opening/extending the image file. An
// image file keeps its contents across del_disk/add_disk. A write the image file refuses fails its bio with -ENOSPC when the file's file system is full (or over
// quota), else -EIO, and the disk logs the host's reason once per run of failures.
dev_t add_disk(const disk_spec &spec);
// Removes a disk added by add_disk; its in-flight bios complete first (on a reordering
// disk without waiting out their latencies).
// EBUSY while it or a partition is mounted or open, ENODEV for a number that
// is not such a disk.
int del_disk(dev_t dev);

// Mounts a file system on that whole disk or partition (an open of the device
// by the caller: the disk's fops open runs). EBUSY when the device, its whole
// disk or one of its partitions is mounted; ENXIO when there is no such
// device; the open's error otherwise.
int mount(dev_t dev);
// EINVAL when nothing is mounted there; EBUSY while it is frozen.
int umount(dev_t dev);
// Writes through the mounted file system as bios to that device: held while
// the file system is frozen. Any byte range; partial sectors are read first.
// Returns len (less when the range runs past the device end), or -1 with
// errno EINVAL (not mounted, negative offset), ENOSPC (offset at or past the
// end), EFAULT (bad buffer), EIO (the device failed the I/O).
ssize_t fs_pwrite(dev_t dev, const void *buf, size_t len, off_t off);

// File systems of the host stacked on a device (through a file the host can mount): the first
// freeze_bdev of a mounted device calls freeze(dev) before it holds the device's own writers,
// since that freeze writes back through the device; a negative errno fails the freeze_bdev.
// The last thaw_bdev calls thaw(dev) after it let the writers go. Either may sleep. Set
// before the machine serves; empty functions (the default) do nothing.
struct freeze_hooks {
  std::function<int(dev_t)> freeze;
  std::function<void(dev_t)> thaw;
};
void set_freeze_hooks(freeze_hooks h);

// Disk fault injection. Sectors are relative to dev (a disk or a partition).
// A bio that overlaps the range and has the rule's direction fails with -EIO
// (read_error, write_error) or is held back delay_ms of platform time first
// (delay, either direction). count: how many matching bios the rule affects
// (-1: until cleared). Returns a rule id (> 0), or -1 with errno ENODEV.
enum class disk_fault { read_error, write_error, delay };
int disk_fault_add(dev_t dev, disk_fault kind, uint64_t first_sect, uint64_t nr_sects, int count = -1,
                   unsigned delay_ms = 0);
int disk_fault_clear(dev_t dev);  // all rules of that disk

// Bios the disk driver has served (per disk; the partitions share them).
struct disk_stats {
  uint64_t read_bios, write_bios;
  uint64_t read_sectors, write_sectors;
  uint64_t failed_bios;
  // Bios in service at once at most, and completions that came after a later-submitted
  // bio had completed (both stay 0 on a disk that serves in order).
  uint64_t max_in_service;
  uint64_t overtaken;
  // System calls on the image file that served them: a merged run of bios is one.
  uint64_t image_transfers;
  // Of those, large reads still coming from the host's disk, copied out of its page cache
  // by two threads at once.
  uint64_t image_split_reads;
  // Bytes of the image read ahead of sequential reads, into the host's cache only.
  uint64_t image_read_ahead;
  // Whether it is reading ahead now, or has reading ahead left to do.
  bool image_read_ahead_busy;
};
int disk_get_stats(dev_t dev, disk_stats *out);

// The block devices that exist now: every published disk (the driver's too) and its
// partitions, whole disk first, in the order the disks were added.
struct block_device_info {
  std::string name;   // "sda", "sda1", "vek1"
  dev_t dev;
  uint64_t nr_sects;  // size in 512-byte sectors
};
std::vector<block_device_info> block_devices();

// Bios allocated with bio_alloc and not yet freed, platform-wide.
long bios_in_use();

}  // namespace host
