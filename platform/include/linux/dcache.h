#pragma once
#include <linux/types.h>

struct super_block;
struct inode;
struct qstr {
  unsigned int hash;
  unsigned int len;
  const unsigned char *name;
};
struct dentry {
  struct super_block *d_sb;
  struct inode *d_inode;
  struct qstr d_name;
  void *d_fsdata;
};
