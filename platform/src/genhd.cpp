// Disks: allocation, publication and lookup by number or name; block-major
// registration.
#include <linux/genhd.h>
#include <linux/blkdev.h>
#include <linux/fs.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "block_internal.h"

namespace kplat {

blk_registry &blk_reg() {
  static blk_registry *reg = [] {
    auto *r = new blk_registry;
    // The disks of the machine are SCSI-like: major 8 belongs to the platform.
    r->majors[8] = "sd";
    return r;
  }();
  return *reg;
}

bool disk_published(const struct gendisk *disk) { return disk && (disk->flags & GENHD_FL_UP); }

struct gendisk *find_disk_locked(dev_t dev, int *partno) {
  for (struct gendisk *disk : blk_reg().disks) {
    if (unsigned(disk->major) != MAJOR(dev))
      continue;
    unsigned minor = MINOR(dev);
    if (minor < unsigned(disk->first_minor) || minor >= unsigned(disk->first_minor + disk->minors))
      continue;
    int p = int(minor - unsigned(disk->first_minor));
    if (p != 0 && !disk->__part[p])
      return nullptr;
    *partno = p;
    return disk;
  }
  return nullptr;
}

struct gendisk *find_disk(dev_t dev, int *partno) {
  std::lock_guard<std::mutex> g(blk_reg().lock);
  return find_disk_locked(dev, partno);
}

void get_disk_ref(struct gendisk *disk) { atomic_inc(&disk->__refs); }

void put_disk_ref(struct gendisk *disk) {
  if (!atomic_dec_and_test(&disk->__refs))
    return;
  WARN_ON(disk_published(disk));
  if (disk->__held_queue)
    blk_put_queue(disk->__held_queue);
  for (int i = 1; i < disk->minors; i++)
    std::free(disk->__part[i]);
  std::free(disk->__part);
  std::memset(static_cast<void *>(disk), 0x6b, sizeof(*disk));
  std::free(disk);
}

struct hd_struct *disk_add_part(struct gendisk *disk, int partno, sector_t start, sector_t nr_sects) {
  if (partno < 1 || partno >= disk->minors || disk->__part[partno])
    return nullptr;
  auto *p = static_cast<struct hd_struct *>(std::calloc(1, sizeof(struct hd_struct)));
  if (!p)
    return nullptr;
  p->start_sect = start;
  p->nr_sects = nr_sects;
  p->partno = partno;
  p->__disk = disk;
  disk->__part[partno] = p;
  return p;
}

struct gendisk *alloc_disk_internal(int minors) {
  if (minors < 1 || minors > DISK_MAX_PARTS)
    return nullptr;
  auto *disk = static_cast<struct gendisk *>(std::calloc(1, sizeof(struct gendisk)));
  if (!disk)
    return nullptr;
  disk->__part = static_cast<struct hd_struct **>(std::calloc(size_t(minors), sizeof(struct hd_struct *)));
  if (!disk->__part) {
    std::free(disk);
    return nullptr;
  }
  disk->minors = minors;
  disk->part0.partno = 0;
  disk->part0.__disk = disk;
  disk->__part[0] = &disk->part0;
  atomic_set(&disk->__refs, 1);
  return disk;
}

}  // namespace kplat

using kplat::blk_reg;
using kplat::disk_published;

namespace {
// Caller holds blk_reg().lock.
void __unpublish(struct gendisk *disk) {
  auto &reg = blk_reg();
  disk->flags &= ~GENHD_FL_UP;
  for (auto it = reg.disks.begin(); it != reg.disks.end(); ++it) {
    if (*it == disk) {
      reg.disks.erase(it);
      break;
    }
  }
}
}  // namespace

struct gendisk *alloc_disk(int minors) {
  kplat::check_sleep("alloc_disk");
  kplat::fault_ctx ctx;
  ctx.size = size_t(minors < 0 ? 0 : minors);
  if (kplat::fault_hit("alloc_disk", ctx))
    return nullptr;
  return kplat::alloc_disk_internal(minors);
}

void add_disk(struct gendisk *disk) {
  kplat::check_sleep("add_disk");
  auto &reg = blk_reg();
  std::lock_guard<std::mutex> g(reg.lock);
  if (disk_published(disk)) {
    printk(KERN_ERR "add_disk: %s is already added\n", disk->disk_name);
    return;
  }
  if (!disk->disk_name[0]) {
    printk(KERN_ERR "add_disk: disk without a name\n");
    return;
  }
  for (struct gendisk *other : reg.disks) {
    bool overlap = other->major == disk->major && disk->first_minor < other->first_minor + other->minors &&
                   other->first_minor < disk->first_minor + disk->minors;
    if (overlap || std::strcmp(other->disk_name, disk->disk_name) == 0) {
      printk(KERN_ERR "add_disk: %s (%d:%d) clashes with %s (%d:%d)\n", disk->disk_name, disk->major,
             disk->first_minor, other->disk_name, other->major, other->first_minor);
      return;
    }
  }
  disk->part0.__disk = disk;
  if (disk->queue && !disk->__held_queue) {
    blk_get_queue(disk->queue);
    disk->__held_queue = disk->queue;
  }
  disk->flags |= GENHD_FL_UP;
  kplat::get_disk_ref(disk);  // the registry's
  reg.disks.push_back(disk);
  kplat::blockdev_file_anchor();
}

bool kplat::disk_unpublish_if_idle(struct gendisk *disk) {
  auto &reg = blk_reg();
  {
    std::lock_guard<std::mutex> g(reg.lock);
    if (!disk_published(disk))
      return false;
    for (auto &kv : reg.bdevs) {
      struct block_device *b = kv.second;
      if (b->bd_disk == disk && (b->bd_openers > 0 || b->bd_super))
        return false;
    }
    __unpublish(disk);
  }
  kplat::put_disk_ref(disk);
  return true;
}

void del_gendisk(struct gendisk *disk) {
  kplat::check_sleep("del_gendisk");
  auto &reg = blk_reg();
  {
    std::lock_guard<std::mutex> g(reg.lock);
    if (!disk_published(disk))
      return;
    __unpublish(disk);
  }
  kplat::put_disk_ref(disk);
}

void put_disk(struct gendisk *disk) {
  if (disk)
    kplat::put_disk_ref(disk);
}

char *disk_name(struct gendisk *hd, int partno, char *buf) {
  std::string name(hd->disk_name, strnlen(hd->disk_name, sizeof(hd->disk_name)));
  if (partno) {
    if (!name.empty() && std::isdigit(static_cast<unsigned char>(name.back())))
      name += 'p';
    name += std::to_string(partno);
  }
  size_t n = std::min(name.size(), size_t(BDEVNAME_SIZE - 1));
  std::memcpy(buf, name.data(), n);
  buf[n] = 0;
  return buf;
}

// ---- block majors ----

int register_blkdev(unsigned int major, const char *name) {
  kplat::fault_ctx ctx;
  ctx.size = major;
  ctx.name = name;
  kplat::fault_outcome out;
  if (kplat::fault_hit("register_blkdev", ctx, &out))
    return out.error ? out.error : -EBUSY;
  if (major > MAJOR(~0u) || !name || !name[0])
    return -EINVAL;
  auto &reg = blk_reg();
  std::lock_guard<std::mutex> g(reg.lock);
  if (major == 0) {
    // Dynamic majors are handed out from the top, as the kernel does.
    for (unsigned m = 254; m > 0; m--) {
      if (!reg.majors.count(m)) {
        reg.majors[m] = name;
        return int(m);
      }
    }
    printk(KERN_ERR "register_blkdev: failed to get major for %s\n", name);
    return -EBUSY;
  }
  auto it = reg.majors.find(major);
  if (it != reg.majors.end()) {
    printk(KERN_ERR "register_blkdev: cannot get major %u for %s\n", major, name);
    return -EBUSY;
  }
  reg.majors[major] = name;
  return 0;
}

void unregister_blkdev(unsigned int major, const char *name) {
  auto &reg = blk_reg();
  std::lock_guard<std::mutex> g(reg.lock);
  auto it = reg.majors.find(major);
  if (it == reg.majors.end() || !name || it->second != name) {
    printk(KERN_WARNING "unregister_blkdev: major %u is not registered as %s\n", major, name ? name : "(null)");
    return;
  }
  reg.majors.erase(it);
}

// ---- listing, for the host ----

#include <host/host_block.h>

std::vector<host::block_device_info> host::block_devices() {
  std::vector<block_device_info> out;
  auto &reg = blk_reg();
  std::lock_guard<std::mutex> g(reg.lock);
  char buf[BDEVNAME_SIZE];
  for (struct gendisk *disk : reg.disks) {
    for (int p = 0; p < disk->minors; p++) {
      struct hd_struct *part = disk->__part[p];
      if (!part)
        continue;
      out.push_back({disk_name(disk, p, buf), dev_t(MKDEV(disk->major, disk->first_minor + p)), part->nr_sects});
    }
  }
  return out;
}
