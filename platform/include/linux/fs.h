// Files, inodes, super blocks and character devices. The block-device part
// (struct block_device and its calls) comes from <linux/blk_bdev.h> at the end.
#pragma once
#include <linux/types.h>
#include <linux/kernel.h>
#include <linux/list.h>
#include <linux/atomic.h>
#include <linux/spinlock.h>
#include <linux/mutex.h>
#include <linux/wait.h>
#include <linux/dcache.h>
#include <linux/statfs.h>
#include <fcntl.h>

struct module;
struct file;
struct inode;
struct poll_table_struct;
struct vm_area_struct;
struct block_device;
struct super_block;
struct vfsmount;
struct kstatfs;

#define FMODE_READ ((fmode_t)0x1)
#define FMODE_WRITE ((fmode_t)0x2)
#define FMODE_LSEEK ((fmode_t)0x4)
#define FMODE_PREAD ((fmode_t)0x8)
#define FMODE_PWRITE ((fmode_t)0x10)
#define FMODE_EXEC ((fmode_t)0x20)
#define FMODE_NDELAY ((fmode_t)0x40)
#define FMODE_EXCL ((fmode_t)0x80)

#define MAY_EXEC 1
#define MAY_WRITE 2
#define MAY_READ 4

#define CHRDEV_MAJOR_HASH_SIZE 255

#ifndef SEEK_SET
#define SEEK_SET 0
#define SEEK_CUR 1
#define SEEK_END 2
#endif

struct file_operations {
  struct module *owner;
  loff_t (*llseek)(struct file *, loff_t, int);
  ssize_t (*read)(struct file *, char __user *, size_t, loff_t *);
  ssize_t (*write)(struct file *, const char __user *, size_t, loff_t *);
  unsigned int (*poll)(struct file *, struct poll_table_struct *);
  int (*ioctl)(struct inode *, struct file *, unsigned int, unsigned long);
  long (*unlocked_ioctl)(struct file *, unsigned int, unsigned long);
  long (*compat_ioctl)(struct file *, unsigned int, unsigned long);
  int (*mmap)(struct file *, struct vm_area_struct *);
  int (*open)(struct inode *, struct file *);
  int (*flush)(struct file *, fl_owner_t id);
  int (*release)(struct inode *, struct file *);
  int (*fsync)(struct file *, struct dentry *, int datasync);
};

struct super_operations {
  int (*statfs)(struct dentry *, struct kstatfs *);
  int (*freeze_fs)(struct super_block *);
  int (*unfreeze_fs)(struct super_block *);
  int (*sync_fs)(struct super_block *, int wait);
  void (*put_super)(struct super_block *);
};

#define SB_UNFROZEN 0
#define SB_FREEZE_WRITE 1
#define SB_FREEZE_TRANS 2

struct super_block {
  const struct super_operations *s_op;
  struct block_device *s_bdev;
  dev_t s_dev;
  unsigned long s_blocksize;
  unsigned char s_blocksize_bits;
  unsigned long s_flags;
  unsigned long s_magic;
  int s_frozen;           // SB_UNFROZEN / SB_FREEZE_*
  int s_count;
  struct list_head s_list;
  struct dentry *s_root;
  void *s_fs_info;        // owner's private state
  char s_id[32];
};

struct inode {
  umode_t i_mode;
  dev_t i_rdev;
  loff_t i_size;
  unsigned long i_ino;
  struct super_block *i_sb;
  struct block_device *i_bdev;
  const struct file_operations *i_fop;
  void *i_private;
};

struct vfsmount {
  struct dentry *mnt_root;
  struct super_block *mnt_sb;
};

struct path {
  struct vfsmount *mnt;
  struct dentry *dentry;
};

struct file {
  const struct file_operations *f_op;
  struct path f_path;
#define f_dentry f_path.dentry
#define f_vfsmnt f_path.mnt
  loff_t f_pos;
  unsigned f_flags;  // O_* of the open
  fmode_t f_mode;    // FMODE_*
  void *private_data;
  struct address_space *f_mapping;
  struct kplat_file *kp;  // platform-private (reference count, descriptor)
};

static inline unsigned iminor(const struct inode *inode) { return MINOR(inode->i_rdev); }
static inline unsigned imajor(const struct inode *inode) { return MAJOR(inode->i_rdev); }
static inline struct inode *file_inode_k(struct file *f) { return f->f_path.dentry ? f->f_path.dentry->d_inode : NULL; }

// Character devices. major 0 asks for a free major (returned); a fixed major
// returns 0. -EBUSY when the minors clash with a registered range.
// Fault point "register_chrdev" (context: name).
int __register_chrdev(unsigned int major, unsigned int baseminor, unsigned int count, const char *name,
                      const struct file_operations *fops);
void __unregister_chrdev(unsigned int major, unsigned int baseminor, unsigned int count, const char *name);
static inline int register_chrdev(unsigned int major, const char *name, const struct file_operations *fops) {
  return __register_chrdev(major, 0, 256, name, fops);
}
static inline void unregister_chrdev(unsigned int major, const char *name) {
  __unregister_chrdev(major, 0, 256, name);
}

// dentry->d_sb->s_op->statfs; -ENOSYS when there is none.
int vfs_statfs(struct dentry *dentry, struct kstatfs *buf);
// f_op->read/write with the context check; -EINVAL without the operation.
ssize_t vfs_read(struct file *file, char __user *buf, size_t count, loff_t *pos);
ssize_t vfs_write(struct file *file, const char __user *buf, size_t count, loff_t *pos);
int filp_close(struct file *filp, fl_owner_t id);
loff_t no_llseek(struct file *file, loff_t offset, int origin);
loff_t default_llseek(struct file *file, loff_t offset, int origin);
int nonseekable_open(struct inode *inode, struct file *filp);

#if __has_include(<linux/blk_bdev.h>)
#include <linux/blk_bdev.h>
#endif
