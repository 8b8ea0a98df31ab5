// User memory and descriptors: bad pointers fail cleanly, fget resolves real
// descriptors, file ops use pread/pwrite at *pos, statfs reaches fstatfs.
#include <gtest/gtest.h>
#include <host/host.h>
#include <linux/kernel.h>
#include <linux/uaccess.h>
#include <linux/file.h>
#include <linux/fs.h>
#include <linux/statfs.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/statfs.h>
#include <unistd.h>
#include <cstring>
#include <string>
#include "../../platform/src/internal.h"

namespace {

TEST(Uaccess, CopiesAndReportsBytesNotCopied) {
  char src[64], dst[64];
  for (int i = 0; i < 64; i++) src[i] = (char)i;
  EXPECT_EQ(copy_from_user(dst, src, sizeof(src)), 0u);
  EXPECT_EQ(memcmp(dst, src, 64), 0);
  memset(dst, 0, sizeof(dst));
  EXPECT_EQ(copy_to_user(dst, src, 10), 0u);
  EXPECT_EQ(dst[9], 9);
  EXPECT_EQ(copy_from_user(dst, nullptr, 16), 16u);
  EXPECT_EQ(copy_to_user(nullptr, src, 16), 16u);
  EXPECT_EQ(copy_from_user(dst, (const void *)0xdead0000UL, 8), 8u);
  EXPECT_EQ(copy_from_user(dst, src, 0), 0u);
  int v = 0;
  int *good = &v;
  EXPECT_EQ(get_user(v, (int *)nullptr), -EFAULT);
  EXPECT_EQ(put_user(5, good), 0);
  EXPECT_EQ(v, 5);
}

TEST(Uaccess, PartialCopyStopsAtTheFirstBadPage) {
  // Two pages: the first readable, the second unmapped.
  long ps = sysconf(_SC_PAGESIZE);
  char *m = static_cast<char *>(mmap(nullptr, 2 * ps, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(m, MAP_FAILED);
  ASSERT_EQ(munmap(m + ps, ps), 0);
  memset(m, 'a', ps);
  std::string dst(256, 0);
  // 100 bytes before the hole, 156 in it: 156 not copied.
  EXPECT_EQ(copy_from_user(&dst[0], m + ps - 100, 256), 156u);
  EXPECT_EQ(dst[99], 'a');
  char buf[256] = {};
  EXPECT_EQ(copy_to_user(m + ps - 100, buf, 256), 156u);
  EXPECT_EQ(m[ps - 1], 0);
  char s[8];
  EXPECT_EQ(strncpy_from_user(s, "hello", sizeof(s)), 5);
  EXPECT_STREQ(s, "hello");
  EXPECT_EQ(strncpy_from_user(s, m + ps, sizeof(s)), -EFAULT);
  munmap(m, ps);
}

TEST(Uaccess, ReadOnlyUserMemoryTakesNoWriteAndOtherFaultsStillKill) {
  long ps = sysconf(_SC_PAGESIZE);
  char *m = static_cast<char *>(mmap(nullptr, ps, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(m, MAP_FAILED);
  memset(m, 'r', ps);
  ASSERT_EQ(mprotect(m, ps, PROT_READ), 0);
  char buf[64] = {};
  EXPECT_EQ(copy_to_user(m + 8, buf, sizeof(buf)), sizeof(buf));
  EXPECT_EQ(m[8], 'r');
  EXPECT_EQ(copy_from_user(buf, m, sizeof(buf)), 0u);  // reading it is fine
  EXPECT_EQ(buf[63], 'r');
  // After the copies above caught their faults, a fault elsewhere is still a crash.
  EXPECT_DEATH({ *(volatile char *)(m + 1) = 0; }, "");
  char again[16] = {};
  EXPECT_EQ(copy_to_user(m, again, sizeof(again)), sizeof(again));
  munmap(m, ps);
}

TEST(Uaccess, SetFsHasTheKernelShape) {
  mm_segment_t old = get_fs();
  set_fs(KERNEL_DS);
  EXPECT_TRUE(segment_eq(get_fs(), KERNEL_DS));
  set_fs(old);
  EXPECT_TRUE(segment_eq(get_fs(), USER_DS));
}

class Files : public ::testing::Test {
 protected:
  void SetUp() override {
    host::fault_reset();
    char tmpl[] = "/tmp/vek_core_XXXXXX";
    fd_ = mkstemp(tmpl);
    ASSERT_GE(fd_, 0);
    path_ = tmpl;
  }
  void TearDown() override {
    host::fault_reset();
    ::close(fd_);
    unlink(path_.c_str());
  }
  int fd_ = -1;
  std::string path_;
};

TEST_F(Files, FgetResolvesRealDescriptorsAndReadsWritesAtPos) {
  EXPECT_EQ(fget(987654), nullptr);
  struct file *f = fget(fd_);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(kplat::file_count(f), 1);
  loff_t pos = 4096;
  EXPECT_EQ(f->f_op->write(f, "chunk-data", 10, &pos), 10);
  EXPECT_EQ(pos, 4106);
  char buf[16] = {};
  ASSERT_EQ(::pread(fd_, buf, 10, 4096), 10);
  EXPECT_STREQ(buf, "chunk-data");
  pos = 4100;
  memset(buf, 0, sizeof(buf));
  EXPECT_EQ(f->f_op->read(f, buf, 100, &pos), 6);  // end of file
  EXPECT_STREQ(buf, "k-data");
  EXPECT_EQ(pos, 4106);
  // The file keeps working after the caller closes its descriptor.
  int fd2 = dup(fd_);
  struct file *g = fget(fd2);
  ::close(fd2);
  pos = 0;
  EXPECT_EQ(vfs_write(g, "x", 1, &pos), 1);
  fput(g);
  fput(f);
}

// A backing file opened O_DIRECT still takes what a driver writes a sector or a byte at a
// time, from any buffer, and a read sees every write, whichever way each went: a read
// cached before a direct write of its range does not outlive it.
TEST_F(Files, DirectDescriptorTakesUnalignedTransfersAndReadsStayCurrent) {
  int fd = ::open(path_.c_str(), O_RDWR | O_DIRECT);
  if (fd < 0) GTEST_SKIP() << "the file system of /tmp does not take O_DIRECT";
  struct file *f = fget(fd);
  ASSERT_NE(f, nullptr);
  void *mem = nullptr;
  ASSERT_EQ(posix_memalign(&mem, 4096, 65536), 0);
  char *chunk = static_cast<char *>(mem);
  memset(chunk, 0x5a, 65536);
  loff_t pos = 65536;
  EXPECT_EQ(vfs_write(f, chunk, 65536, &pos), 65536);  // aligned: direct
  pos = 65536 + 512;
  EXPECT_EQ(vfs_write(f, "sector", 6, &pos), 6) << "an unaligned write is not refused";
  pos = 3;
  EXPECT_EQ(vfs_write(f, chunk + 1, 100, &pos), 100);
  char buf[8] = {};
  pos = 65536 + 512;
  EXPECT_EQ(vfs_read(f, buf, 6, &pos), 6);
  EXPECT_STREQ(buf, "sector");
  memset(chunk, 0, 65536);
  pos = 65536;
  ASSERT_EQ(vfs_read(f, chunk, 65536, &pos), 65536);  // now in the page cache
  EXPECT_EQ(memcmp(chunk + 512, "sector", 6), 0);
  EXPECT_EQ(chunk[0], 0x5a);
  EXPECT_EQ(chunk[65535], 0x5a);
  memset(chunk, 0x33, 65536);
  pos = 65536;
  EXPECT_EQ(vfs_write(f, chunk, 65536, &pos), 65536);  // direct, over the cached range
  memset(chunk, 0, 65536);
  pos = 65536;
  ASSERT_EQ(vfs_read(f, chunk, 65536, &pos), 65536);
  EXPECT_EQ(chunk[512], 0x33) << "the read saw the direct write, not the cached pages";
  EXPECT_EQ(chunk[65535], 0x33);
  char head[103] = {};
  ASSERT_EQ(::pread(fd_, head, 103, 0), 103);
  EXPECT_EQ(head[3], 0x5a);
  EXPECT_EQ(head[102], 0x5a);
  fput(f);
  ::close(fd);
  free(mem);
}

TEST_F(Files, InjectedWriteErrorsAndShortWrites) {
  struct file *f = fget(fd_);
  ASSERT_NE(f, nullptr);
  char data[8192];
  memset(data, 'z', sizeof(data));
  host::fault_rule enospc;
  enospc.error = -ENOSPC;
  host::fault_inject("file_write", enospc);
  loff_t pos = 0;
  EXPECT_EQ(f->f_op->write(f, data, sizeof(data), &pos), -28);
  EXPECT_EQ(pos, 0);
  host::fault_fail_next("file_write", 1, -EIO);
  EXPECT_EQ(f->f_op->write(f, data, sizeof(data), &pos), -5);
  host::fault_rule shrt;
  shrt.value = 1000;
  host::fault_inject("file_write", shrt);
  EXPECT_EQ(f->f_op->write(f, data, sizeof(data), &pos), 1000);
  EXPECT_EQ(pos, 1000);
  struct stat st;
  fstat(fd_, &st);
  EXPECT_EQ(st.st_size, 1000);  // exactly the short count reached the file
  host::fault_fail_next("file_read", 1, -EIO);
  char buf[16];
  pos = 0;
  EXPECT_EQ(f->f_op->read(f, buf, 16, &pos), -5);
  EXPECT_EQ(f->f_op->read(f, buf, 16, &pos), 16);
  EXPECT_EQ(host::fault_hits("file_write"), 3);
  fput(f);
}

TEST_F(Files, StatfsGoesThroughTheSuperBlockToFstatfs) {
  struct file *f = fget(fd_);
  ASSERT_NE(f, nullptr);
  ASSERT_TRUE(f->f_path.dentry && f->f_path.dentry->d_sb && f->f_path.dentry->d_sb->s_op);
  struct kstatfs ks;
  ASSERT_EQ(vfs_statfs(f->f_path.dentry, &ks), 0);
  struct statfs st;
  ASSERT_EQ(fstatfs(fd_, &st), 0);
  EXPECT_EQ(ks.f_bsize, (long)st.f_bsize);
  EXPECT_EQ(ks.f_blocks, st.f_blocks);
  EXPECT_EQ((long)ks.f_type, (long)st.f_type);
  // A test can make the disk look full.
  host::fault_rule full;
  full.value = 3;
  host::fault_inject("statfs", full);
  ASSERT_EQ(vfs_statfs(f->f_path.dentry, &ks), 0);
  EXPECT_EQ(ks.f_bavail, 3u);
  host::fault_fail_next("statfs", 1, -EIO);
  EXPECT_EQ(vfs_statfs(f->f_path.dentry, &ks), -EIO);
  fput(f);
  struct dentry bare = {};
  EXPECT_EQ(vfs_statfs(&bare, &ks), -ENODEV);
}

}  // namespace
