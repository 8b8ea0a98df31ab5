// A minimal mountable file system: one super block per mounted device, whose
// only operation is writing through to the device. It exists so that the
// freeze protocol (freeze_bdev/thaw_bdev) has writers to hold back and to
// wait for, as a real file system on the source disk would.
#include <linux/blkdev.h>
#include <linux/err.h>
#include <linux/fs.h>
#include <linux/statfs.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>

#include <host/host_block.h>

#include "block_internal.h"
#include "internal.h"

namespace kplat {
namespace {

constexpr unsigned long kFsMagic = 0x766b6673;  // "vkfs"
constexpr fmode_t kMountMode = FMODE_READ | FMODE_WRITE;

struct mounted_fs {
  struct super_block sb{};
  struct dentry root{};
  // All below: g_fs_lock.
  int holds = 0;        // get_super holders and file-system writers
  int writers = 0;      // writers past the freeze gate
  bool frozen = false;  // new writers wait
  bool going = false;   // being mounted or unmounted: not found by get_super
};

host::freeze_hooks &hooks() {
  static host::freeze_hooks *h = new host::freeze_hooks();
  return *h;
}

std::mutex g_fs_lock;
std::condition_variable g_fs_cv;
std::map<dev_t, mounted_fs *> g_mounts;  // g_fs_lock

mounted_fs *of(struct super_block *sb) { return reinterpret_cast<mounted_fs *>(sb); }

int fs_statfs(struct dentry *dentry, struct kstatfs *buf) {
  struct super_block *sb = dentry->d_sb;
  std::memset(buf, 0, sizeof(*buf));
  buf->f_type = long(kFsMagic);
  buf->f_bsize = 4096;
  buf->f_frsize = 4096;
  buf->f_blocks = bdev_nr_sects(sb->s_bdev) / 8;
  buf->f_bfree = buf->f_blocks;
  buf->f_bavail = buf->f_blocks;
  buf->f_namelen = 255;
  return 0;
}

const struct super_operations fs_sops = {fs_statfs, nullptr, nullptr, nullptr, nullptr};

int fail(int err) {
  errno = err;
  return -1;
}

// The file system mounted on dev and ready, or null. g_fs_lock held.
mounted_fs *__lookup(dev_t dev) {
  auto it = g_mounts.find(dev);
  return it != g_mounts.end() && !it->second->going ? it->second : nullptr;
}

void set_bd_super(struct block_device *bdev, struct super_block *sb) {
  std::lock_guard<std::mutex> g(blk_reg().lock);
  bdev->bd_super = sb;
}

}  // namespace

bool bdev_mounted(struct block_device *bdev) {
  std::lock_guard<std::mutex> g(g_fs_lock);
  for (auto &kv : g_mounts)
    if (kv.second->sb.s_bdev == bdev)
      return true;
  return false;
}

}  // namespace kplat

using namespace kplat;

struct super_block *get_super(struct block_device *bdev) {
  kplat::check_sleep("get_super");
  if (!bdev)
    return nullptr;
  std::lock_guard<std::mutex> g(g_fs_lock);
  for (auto &kv : g_mounts) {
    mounted_fs *fs = kv.second;
    if (fs->sb.s_bdev == bdev && !fs->going) {
      fs->holds++;
      return &fs->sb;
    }
  }
  return nullptr;
}

void drop_super(struct super_block *sb) {
  if (!sb)
    return;
  std::lock_guard<std::mutex> g(g_fs_lock);
  of(sb)->holds--;
  g_fs_cv.notify_all();
}

struct super_block *freeze_bdev(struct block_device *bdev) {
  kplat::check_sleep("freeze_bdev");
  if (!bdev)
    return nullptr;
  mutex_lock(&bdev->bd_fsfreeze_mutex);
  if (bdev->bd_fsfreeze_count > 0) {
    bdev->bd_fsfreeze_count++;
    struct super_block *sb = bdev->__state->frozen_sb;
    mutex_unlock(&bdev->bd_fsfreeze_mutex);
    return sb;
  }
  struct super_block *sb = get_super(bdev);
  if (!sb) {
    // Nothing to freeze, and nothing counted: a caller that gives up on a
    // null result (and so never thaws) leaves the device as it was.
    mutex_unlock(&bdev->bd_fsfreeze_mutex);
    return nullptr;
  }
  if (hooks().freeze) {
    int r = hooks().freeze(bdev->bd_dev);
    if (r < 0) {
      drop_super(sb);
      mutex_unlock(&bdev->bd_fsfreeze_mutex);
      return static_cast<struct super_block *>(ERR_PTR(r));
    }
  }
  {
    std::unique_lock<std::mutex> g(g_fs_lock);
    mounted_fs *fs = of(sb);
    fs->frozen = true;
    sb->s_frozen = SB_FREEZE_WRITE;
    g_fs_cv.wait(g, [&] { return fs->writers == 0; });
    sb->s_frozen = SB_FREEZE_TRANS;
  }
  sync_blockdev(bdev);
  bdev->bd_fsfreeze_count = 1;
  bdev->__state->frozen_sb = sb;
  // The freeze itself keeps the super block: umount refuses a frozen one.
  drop_super(sb);
  mutex_unlock(&bdev->bd_fsfreeze_mutex);
  return sb;
}

int thaw_bdev(struct block_device *bdev, struct super_block *sb) {
  kplat::check_sleep("thaw_bdev");
  if (!bdev)
    return -EINVAL;
  mutex_lock(&bdev->bd_fsfreeze_mutex);
  if (bdev->bd_fsfreeze_count == 0) {
    mutex_unlock(&bdev->bd_fsfreeze_mutex);
    return -EINVAL;
  }
  if (--bdev->bd_fsfreeze_count > 0) {
    mutex_unlock(&bdev->bd_fsfreeze_mutex);
    return 0;
  }
  struct super_block *frozen = bdev->__state->frozen_sb;
  bdev->__state->frozen_sb = nullptr;
  if (sb != frozen)
    printk(KERN_WARNING "thaw_bdev: thawing with a super block that is not the frozen one\n");
  // The frozen super block is thawed whatever the caller passed, so that a
  // wrong argument cannot leave its writers held for ever.
  if (frozen) {
    std::lock_guard<std::mutex> g(g_fs_lock);
    of(frozen)->frozen = false;
    frozen->s_frozen = SB_UNFROZEN;
    g_fs_cv.notify_all();
  }
  if (frozen && hooks().thaw) hooks().thaw(bdev->bd_dev);
  mutex_unlock(&bdev->bd_fsfreeze_mutex);
  return 0;
}

void host::set_freeze_hooks(freeze_hooks h) { hooks() = std::move(h); }

int host::mount(dev_t dev) {
  syscall_entry();
  struct block_device *bdev = bdget(dev);
  if (!bdev)
    return fail(ENXIO);
  auto *fs = new mounted_fs;
  {
    std::lock_guard<std::mutex> g(g_fs_lock);
    for (auto &kv : g_mounts) {
      struct block_device *other = kv.second->sb.s_bdev;
      bool same_disk = other->bd_contains == bdev->bd_contains;
      // One device is mounted once; a whole disk and its partitions exclude
      // each other, as their exclusive opens would.
      if (kv.first == dev || (same_disk && (other == other->bd_contains || bdev == bdev->bd_contains))) {
        delete fs;
        bdput(bdev);
        return fail(EBUSY);
      }
    }
    fs->going = true;  // reserved while the open runs
    fs->sb.s_bdev = bdev;
    g_mounts[dev] = fs;
  }
  int err = bdev_open(bdev, kMountMode);
  if (err) {
    {
      std::lock_guard<std::mutex> g(g_fs_lock);
      g_mounts.erase(dev);
    }
    delete fs;
    bdput(bdev);
    return fail(-err);
  }
  struct super_block *sb = &fs->sb;
  sb->s_op = &fs_sops;
  sb->s_dev = dev;
  sb->s_blocksize = 4096;
  sb->s_blocksize_bits = 12;
  sb->s_magic = kFsMagic;
  INIT_LIST_HEAD(&sb->s_list);
  fs->root.d_sb = sb;
  sb->s_root = &fs->root;
  char name[BDEVNAME_SIZE];
  snprintf(sb->s_id, sizeof(sb->s_id), "%s", disk_name(bdev->bd_disk, bdev->bd_part->partno, name));
  set_bd_super(bdev, sb);
  {
    std::lock_guard<std::mutex> g(g_fs_lock);
    fs->going = false;
  }
  return 0;
}

int host::umount(dev_t dev) {
  syscall_entry();
  mounted_fs *fs;
  {
    std::unique_lock<std::mutex> g(g_fs_lock);
    fs = __lookup(dev);
    if (!fs)
      return fail(EINVAL);
    if (fs->frozen)
      return fail(EBUSY);
    fs->going = true;
    g_fs_cv.wait(g, [&] { return fs->holds == 0; });
    if (fs->frozen) {  // a freeze that had already found it finished meanwhile
      fs->going = false;
      g_fs_cv.notify_all();
      return fail(EBUSY);
    }
    g_mounts.erase(dev);
  }
  struct block_device *bdev = fs->sb.s_bdev;
  set_bd_super(bdev, nullptr);
  bdev_close(bdev, kMountMode);
  bdput(bdev);
  delete fs;
  return 0;
}

ssize_t host::fs_pwrite(dev_t dev, const void *buf, size_t len, off_t off) {
  syscall_entry();
  if (off < 0)
    return fail(EINVAL);
  mounted_fs *fs;
  {
    std::unique_lock<std::mutex> g(g_fs_lock);
    fs = __lookup(dev);
    if (!fs)
      return fail(EINVAL);
    fs->holds++;
    g_fs_cv.wait(g, [&] { return !fs->frozen; });
    fs->writers++;
  }
  ssize_t r = bdev_rw(fs->sb.s_bdev, true, const_cast<void *>(buf), len, off);
  {
    std::lock_guard<std::mutex> g(g_fs_lock);
    fs->writers--;
    fs->holds--;
    g_fs_cv.notify_all();
  }
  if (r < 0)
    return fail(int(-r));
  return r;
}
