// Character devices, host system calls on them, and module pinning. The
// module under test is a placeholder defined here (no driver is linked).
#include <gtest/gtest.h>
#include <host/host.h>
#include <linux/kernel.h>
#include <linux/module.h>
#include <linux/init.h>
#include <linux/fs.h>
#include <linux/file.h>
#include <linux/poll.h>
#include <linux/uaccess.h>
#include <linux/sched.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <cstring>
#include <string>
#include <thread>
#include "../../platform/src/internal.h"

namespace {

struct placeholder_state {
  int init_result = 0;
  int inits = 0, exits = 0, opens = 0, releases = 0;
  int register_result = 0;
  std::string opener_comm;
  struct inode *last_inode = nullptr;
} st;

int ph_open(struct inode *inode, struct file *file) {
  st.opens++;
  st.opener_comm = current->comm;
  st.last_inode = inode;
  file->private_data = (void *)0x1234;
  return 0;
}
int ph_release(struct inode *, struct file *) {
  st.releases++;
  return 0;
}
long ph_ioctl(struct file *file, unsigned int cmd, unsigned long arg) {
  if (cmd == 1) {
    int v = 77;
    return copy_to_user((void *)arg, &v, sizeof(v)) ? -EFAULT : 0;
  }
  if (cmd == 2) return 5;
  return -EINVAL;
}
ssize_t ph_read(struct file *, char __user *, size_t, loff_t *) { return 0; }
ssize_t ph_write(struct file *, const char __user *, size_t, loff_t *) { return 0; }
unsigned int ph_poll(struct file *, struct poll_table_struct *) { return 0; }
int ph_mmap(struct file *, struct vm_area_struct *) { return 0; }

struct file_operations ph_fops = {
    .owner = THIS_MODULE,
    .read = ph_read,
    .write = ph_write,
    .poll = ph_poll,
    .unlocked_ioctl = ph_ioctl,
    .mmap = ph_mmap,
    .open = ph_open,
    .release = ph_release,
};

int __init ph_init(void) {
  st.inits++;
  if (st.init_result) return st.init_result;
  st.register_result = __register_chrdev(120, 0, 256, "vektest", &ph_fops);
  return st.register_result < 0 ? -1 : 0;
}
void __exit ph_exit(void) {
  st.exits++;
  __unregister_chrdev(120, 0, 256, "vektest");
}

module_init(ph_init);
module_exit(ph_exit);
MODULE_LICENSE("Proprietary");
MODULE_VERSION("4.6.0 build 27");

class ChrdevModule : public ::testing::Test {
 protected:
  void SetUp() override {
    st = placeholder_state();
    host::fault_reset();
  }
  void TearDown() override {
    host::rmmod();
    host::fault_reset();
  }
};

TEST_F(ChrdevModule, OpenIoctlReadWriteClose) {
  EXPECT_EQ(host::modinfo("version"), "4.6.0 build 27");
  EXPECT_EQ(host::modinfo("nothing"), "");
  ASSERT_EQ(host::insmod(), 0);
  EXPECT_EQ(host::insmod(), -1);  // already loaded
  EXPECT_EQ(errno, EEXIST);
  EXPECT_EQ(st.register_result, 0);

  int fd = -1;
  std::thread([&] {
    pthread_setname_np(pthread_self(), "qel-agent");
    fd = host::open("/dev/vektest", O_RDWR);
  }).join();
  ASSERT_GE(fd, 0);
  EXPECT_EQ(st.opens, 1);
  EXPECT_EQ(st.opener_comm, "qel-agent");
  EXPECT_EQ(MAJOR(st.last_inode->i_rdev), 120u);
  EXPECT_GE(fcntl(fd, F_GETFD), 0);  // a real number, reserved

  int v = 0;
  EXPECT_EQ(host::ioctl(fd, 1, &v), 0);
  EXPECT_EQ(v, 77);
  EXPECT_EQ(host::ioctl(fd, 2, nullptr), 5);
  EXPECT_EQ(host::ioctl(fd, 3, nullptr), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(host::ioctl(fd, 1, (void *)8), -1);  // bad user pointer
  EXPECT_EQ(errno, EFAULT);
  char buf[4];
  EXPECT_EQ(host::read(fd, buf, sizeof(buf)), 0);
  EXPECT_EQ(host::write(fd, "abc", 3), 0);
  EXPECT_EQ(host::pread(fd, buf, sizeof(buf), 0), 0);
  EXPECT_EQ(host::poll(fd), 0);
  EXPECT_EQ(host::mmap_dev(fd, 4096, 0), 0);

  // fget of the emulated number gives its file, with one more reference.
  struct file *f = fget(fd);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->private_data, (void *)0x1234);
  EXPECT_EQ(kplat::file_count(f), 2);
  EXPECT_EQ(host::close(fd), 0);
  EXPECT_EQ(st.releases, 0);  // our reference still holds it
  fput(f);
  EXPECT_EQ(st.releases, 1);
  EXPECT_EQ(host::ioctl(fd, 2, nullptr), -1);  // closed: a real (bad) descriptor now
}

TEST_F(ChrdevModule, OpenHandlesAndPinsKeepTheModule) {
  ASSERT_EQ(host::insmod(), 0);
  int a = host::open("/dev/vektest", O_RDWR);
  int b = host::open("/dev/vektest", O_RDONLY);
  ASSERT_TRUE(a >= 0 && b >= 0);
  EXPECT_NE(a, b);
  EXPECT_EQ(module_refcount(THIS_MODULE), 2u);
  EXPECT_EQ(host::rmmod(), -EBUSY);
  EXPECT_EQ(host::close(a), 0);
  EXPECT_EQ(host::rmmod(), -EBUSY);
  EXPECT_EQ(host::close(b), 0);
  // A block-device style pin: a file whose last put unpins.
  ASSERT_TRUE(try_module_get(THIS_MODULE));
  struct file *pin = kplat::alloc_file(&ph_fops, O_RDONLY, THIS_MODULE);
  EXPECT_EQ(host::rmmod(), -EBUSY);
  fput(pin);
  EXPECT_EQ(host::rmmod(), 0);
  EXPECT_EQ(st.exits, 1);
  EXPECT_EQ(host::rmmod(), -ENOENT);
  EXPECT_EQ(host::open("/dev/vektest", O_RDWR), -1);  // unregistered by exit
  EXPECT_EQ(errno, ENOENT);
  EXPECT_FALSE(try_module_get(THIS_MODULE));  // not live

  // Load and unload again in the same process.
  ASSERT_EQ(host::insmod(), 0);
  EXPECT_EQ(st.inits, 2);
  EXPECT_EQ(host::rmmod(), 0);
  EXPECT_EQ(st.exits, 2);
}

TEST_F(ChrdevModule, FailedInitLeavesTheModuleUnloaded) {
  st.init_result = -1;
  EXPECT_EQ(host::insmod(), -1);
  EXPECT_EQ(host::rmmod(), -ENOENT);
  EXPECT_EQ(st.exits, 0);
  st.init_result = 0;
  host::fault_fail_next("register_chrdev");
  EXPECT_EQ(host::insmod(), -1);
  EXPECT_EQ(st.register_result, -EBUSY);
  EXPECT_EQ(host::insmod(), 0);
}

TEST_F(ChrdevModule, MajorClashesAndDynamicMajors) {
  static const struct file_operations fops = {};
  EXPECT_EQ(__register_chrdev(120, 0, 256, "vekdriver", &fops), 0);
  EXPECT_EQ(__register_chrdev(120, 0, 256, "other", &fops), -EBUSY);
  EXPECT_EQ(__register_chrdev(120, 255, 1, "overlap", &fops), -EBUSY);
  int dyn = __register_chrdev(0, 0, 1, "dyn", &fops);
  EXPECT_EQ(dyn, 254);
  EXPECT_EQ(__register_chrdev(0, 0, 1, "dyn2", &fops), 253);
  auto devs = host::chrdevs();
  EXPECT_NE(std::find(devs.begin(), devs.end(), "120 vekdriver"), devs.end());
  __unregister_chrdev(120, 0, 256, "vekdriver");
  EXPECT_EQ(__register_chrdev(120, 0, 256, "other", &fops), 0);
  __unregister_chrdev(120, 0, 256, "other");
  __unregister_chrdev(254, 0, 1, "dyn");
  __unregister_chrdev(253, 0, 1, "dyn2");
  EXPECT_TRUE(host::chrdevs().empty());
}

TEST_F(ChrdevModule, OtherPathsAndRealDescriptors) {
  EXPECT_EQ(host::open("/dev/no_such_thing_here", O_RDWR), -1);
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  ASSERT_EQ(::write(p[1], "abc", 3), 3);
  int n = 0;
  EXPECT_EQ(host::ioctl(p[0], FIONREAD, &n), 0);  // passes through to the real call
  EXPECT_EQ(n, 3);
  char buf[3];
  EXPECT_EQ(host::read(p[0], buf, 3), 3);
  EXPECT_EQ(host::close(p[0]), 0);
  EXPECT_EQ(host::close(p[1]), 0);
}

}  // namespace
