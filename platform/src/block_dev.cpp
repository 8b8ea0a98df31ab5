// Block devices: references by number and name, open accounting, and the
// write tickets behind fsync_bdev/sync_blockdev.
#include <linux/blkdev.h>
#include <linux/fs.h>
#include <linux/module.h>

#include <cstring>
#include <vector>

#include "block_internal.h"

namespace kplat {
namespace {

// Caller holds blk_reg().lock.
struct block_device *__bdget(dev_t dev) {
  auto &reg = blk_reg();
  int partno = 0;
  struct gendisk *disk = find_disk_locked(dev, &partno);
  if (!disk)
    return nullptr;
  auto it = reg.bdevs.find(dev);
  if (it != reg.bdevs.end() && it->second->bd_disk == disk) {
    atomic_inc(&it->second->__refs);
    return it->second;
  }
  struct block_device *whole = nullptr;
  if (partno) {
    whole = __bdget(MKDEV(disk->major, disk->first_minor));
    if (!whole)
      return nullptr;
  }
  auto *b = new ::block_device{};
  b->__state = new kplat_bdev_state;
  mutex_init(&b->bd_fsfreeze_mutex);
  b->bd_dev = dev;
  b->bd_disk = disk;
  get_disk_ref(disk);
  b->bd_part = disk->__part[partno];
  b->bd_contains = partno ? whole : b;
  atomic_set(&b->__refs, 1);
  // A block device of an earlier disk with this number stays alive for its
  // holders but is no longer found.
  reg.bdevs[dev] = b;
  return b;
}

// Caller holds blk_reg().lock; disks whose reference must be dropped after
// the lock is released are collected in `later` (their release may take
// other locks).
void __bdput(struct block_device *b, std::vector<struct gendisk *> &later) {
  if (!atomic_dec_and_test(&b->__refs))
    return;
  auto &reg = blk_reg();
  auto it = reg.bdevs.find(b->bd_dev);
  if (it != reg.bdevs.end() && it->second == b)
    reg.bdevs.erase(it);
  WARN_ON(b->bd_openers != 0 || b->bd_super != nullptr);
  struct block_device *whole = b->bd_contains != b ? b->bd_contains : nullptr;
  later.push_back(b->bd_disk);
  delete b->__state;
  delete b;
  if (whole)
    __bdput(whole, later);
}

}  // namespace

struct block_device *bdget_by_name(const char *name) {
  auto &reg = blk_reg();
  std::lock_guard<std::mutex> g(reg.lock);
  char buf[BDEVNAME_SIZE];
  for (struct gendisk *disk : reg.disks) {
    for (int p = 0; p < disk->minors; p++) {
      if (p && !disk->__part[p])
        continue;
      if (std::strcmp(disk_name(disk, p, buf), name) == 0)
        return __bdget(MKDEV(disk->major, disk->first_minor + p));
    }
  }
  return nullptr;
}

int bdev_open(struct block_device *bdev, fmode_t mode) {
  check_sleep("blkdev_get");
  struct gendisk *disk = bdev->bd_disk;
  {
    std::lock_guard<std::mutex> g(blk_reg().lock);
    if (!disk_published(disk))
      return -ENXIO;
    bdev->bd_openers++;
  }
  struct module *owner = disk->fops ? disk->fops->owner : nullptr;
  int ret = 0;
  if (!try_module_get(owner)) {
    ret = -ENXIO;
  } else if (disk->fops && disk->fops->open) {
    // Partitions are opened through their whole disk, as the kernel does.
    ret = disk->fops->open(bdev->bd_contains, mode);
    if (ret)
      module_put(owner);
  }
  if (ret) {
    std::lock_guard<std::mutex> g(blk_reg().lock);
    bdev->bd_openers--;
  }
  return ret;
}

void bdev_close(struct block_device *bdev, fmode_t mode) {
  check_sleep("blkdev_put");
  struct gendisk *disk = bdev->bd_disk;
  if (disk->fops && disk->fops->release)
    disk->fops->release(disk, mode);
  module_put(disk->fops ? disk->fops->owner : nullptr);
  std::lock_guard<std::mutex> g(blk_reg().lock);
  bdev->bd_openers--;
}

uint64_t bdev_write_begin(struct block_device *bdev) {
  kplat_bdev_state *st = bdev->__state;
  std::lock_guard<std::mutex> g(st->lock);
  uint64_t t = ++st->next_ticket;
  st->writes_in_flight.insert(t);
  return t;
}

void bdev_write_end(struct block_device *bdev, uint64_t ticket) {
  kplat_bdev_state *st = bdev->__state;
  std::lock_guard<std::mutex> g(st->lock);
  st->writes_in_flight.erase(ticket);
  st->cv.notify_all();
}

}  // namespace kplat

struct block_device *bdget(dev_t dev) {
  kplat::check_sleep("bdget");
  std::lock_guard<std::mutex> g(kplat::blk_reg().lock);
  return kplat::__bdget(dev);
}

void bdput(struct block_device *bdev) {
  if (!bdev)
    return;
  std::vector<struct gendisk *> later;
  {
    std::lock_guard<std::mutex> g(kplat::blk_reg().lock);
    kplat::__bdput(bdev, later);
  }
  for (struct gendisk *disk : later)
    kplat::put_disk_ref(disk);
}

sector_t bdev_nr_sects(struct block_device *bdev) { return bdev->bd_part ? bdev->bd_part->nr_sects : 0; }

// Only writes started through the host calls are tracked; they are waited
// for by ticket, so a stream of new writes cannot starve the caller.
int sync_blockdev(struct block_device *bdev) {
  kplat::check_sleep("sync_blockdev");
  if (!bdev)
    return 0;
  kplat_bdev_state *st = bdev->__state;
  std::unique_lock<std::mutex> g(st->lock);
  uint64_t mark = st->next_ticket;
  st->cv.wait(g, [&] { return st->writes_in_flight.empty() || *st->writes_in_flight.begin() > mark; });
  return 0;
}

int fsync_bdev(struct block_device *bdev) {
  kplat::check_sleep("fsync_bdev");
  // File-system writes go to the same device and carry the same tickets.
  return sync_blockdev(bdev);
}
