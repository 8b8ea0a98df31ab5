// host::open/pread/pwrite/close on block devices: direct bio I/O, the
// disk's fops open/release and the owner pin.
#include "blk_test_util.h"

#include <linux/module.h>
#include <linux/sched.h>

#include <cstring>
#include <thread>

#include <unistd.h>

using namespace blkt;

namespace {

struct DevFileTest : ::testing::Test {
  dev_t disk = 0;
  void SetUp() override {
    host::disk_spec s{"sda", 4096, "", {{2048, 1024}}};
    s.max_hw_sectors = 16;
    disk = host::add_disk(s);
    ASSERT_NE(disk, 0u);
  }
  void TearDown() override { EXPECT_EQ(host::del_disk(disk), 0); }
};

TEST_F(DevFileTest, RoundTripIsSplitToTheQueueLimits) {
  int fd = host::open("/dev/sda", O_RDWR);
  ASSERT_GE(fd, 0);
  interposer ip(disk);
  auto data = pattern(1 << 20, 1);
  ASSERT_EQ(host::pwrite(fd, data.data(), data.size(), 4096), ssize_t(data.size()));
  auto log = ip.log();
  ASSERT_EQ(log.size(), (1u << 20) / 8192);  // 16 sectors per bio
  for (auto &b : log) {
    EXPECT_LE(b.size, 8192u);
    EXPECT_EQ(b.rw & 1, 1u);
  }
  std::vector<unsigned char> got(data.size());
  ASSERT_EQ(host::pread(fd, got.data(), got.size(), 4096), ssize_t(got.size()));
  EXPECT_EQ(got, data);
  EXPECT_EQ(host::close(fd), 0);
}

TEST_F(DevFileTest, UnalignedWritesKeepTheBytesAroundThem) {
  int fd = host::open("/dev/sda1", O_RDWR);
  auto base = pattern(8192, 2);
  ASSERT_EQ(host::pwrite(fd, base.data(), base.size(), 0), 8192);
  const char patch[] = "hello, block layer";
  ASSERT_EQ(host::pwrite(fd, patch, 3, 510), 3);           // across a sector boundary
  ASSERT_EQ(host::pwrite(fd, patch, sizeof patch, 4000), ssize_t(sizeof patch));  // across a page
  ASSERT_EQ(host::pwrite(fd, patch, 5, 7000), 5);          // inside one sector
  std::memcpy(&base[510], patch, 3);
  std::memcpy(&base[4000], patch, sizeof patch);
  std::memcpy(&base[7000], patch, 5);
  std::vector<unsigned char> got(8192);
  ASSERT_EQ(host::pread(fd, got.data(), got.size(), 0), 8192);
  EXPECT_EQ(got, base);
  char small[7];
  ASSERT_EQ(host::pread(fd, small, 7, 4001), 7);
  EXPECT_EQ(0, std::memcmp(small, patch + 1, 7));
  host::close(fd);
}

TEST_F(DevFileTest, TheDeviceEndShortensAndRefuses) {
  int fd = host::open("/dev/sda1", O_RDWR);  // 1024 sectors
  std::vector<unsigned char> buf(4096, 1);
  const off_t end = 1024 * 512;
  EXPECT_EQ(host::pread(fd, buf.data(), buf.size(), end - 100), 100);
  EXPECT_EQ(host::pread(fd, buf.data(), buf.size(), end), 0);
  EXPECT_EQ(host::pwrite(fd, buf.data(), buf.size(), end - 512), 512);
  EXPECT_EQ(host::pwrite(fd, buf.data(), buf.size(), end), -1);
  EXPECT_EQ(errno, ENOSPC);
  EXPECT_EQ(host::pwrite(fd, reinterpret_cast<void *>(16), 512, 0), -1);  // bad buffer
  EXPECT_EQ(errno, EFAULT);
  host::close(fd);
}

TEST_F(DevFileTest, OpenModesAndUnknownNames) {
  EXPECT_EQ(host::open("/dev/sdz", O_RDONLY), -1);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(host::open("/dev/sda2", O_RDONLY), -1);
  int ro = host::open("/dev/sda", O_RDONLY);
  ASSERT_GE(ro, 0);
  char c = 0;
  EXPECT_EQ(host::pwrite(ro, &c, 1, 0), -1);
  EXPECT_EQ(errno, EBADF);
  host::close(ro);
  int wo = host::open("/dev/sda", O_WRONLY);
  EXPECT_EQ(host::pread(wo, &c, 1, 0), -1);
  EXPECT_EQ(errno, EBADF);
  host::close(wo);
}

TEST_F(DevFileTest, InjectedErrorsBecomeEio) {
  int fd = host::open("/dev/sda", O_RDWR);
  host::disk_fault_add(disk, host::disk_fault::read_error, 100, 1);
  std::vector<unsigned char> buf(64 * 1024);
  EXPECT_EQ(host::pread(fd, buf.data(), buf.size(), 0), -1);  // one bad sector among 128
  EXPECT_EQ(errno, EIO);
  host::disk_fault_add(disk, host::disk_fault::write_error, 7, 1, 1);
  EXPECT_EQ(host::pwrite(fd, buf.data(), 4096, 0), -1);
  EXPECT_EQ(errno, EIO);
  EXPECT_EQ(host::pwrite(fd, buf.data(), 4096, 0), 4096);
  host::close(fd);
}

TEST_F(DevFileTest, GenericIoctlsAreAnsweredAndOthersRefused) {
  int fd = host::open("/dev/sda1", O_RDONLY);
  uint64_t bytes = 0;
  unsigned long sectors = 0;
  int lbs = 0;
  unsigned pbs = 0;
  EXPECT_EQ(host::ioctl(fd, 0x80081272, &bytes), 0);  // BLKGETSIZE64
  EXPECT_EQ(bytes, 1024u * 512);
  EXPECT_EQ(host::ioctl(fd, 0x1260, &sectors), 0);  // BLKGETSIZE
  EXPECT_EQ(sectors, 1024u);
  EXPECT_EQ(host::ioctl(fd, 0x1268, &lbs), 0);  // BLKSSZGET
  EXPECT_EQ(lbs, 512);
  EXPECT_EQ(host::ioctl(fd, 0x127b, &pbs), 0);  // BLKPBSZGET
  EXPECT_EQ(pbs, 4096u);
  EXPECT_EQ(host::ioctl(fd, 0x1261, nullptr), 0);  // BLKFLSBUF: a flush
  EXPECT_EQ(host::ioctl(fd, 0x4242, nullptr), -1);  // no driver ioctl on this disk
  EXPECT_EQ(errno, ENOTTY);
  EXPECT_EQ(host::ioctl(fd, 0x80081272, reinterpret_cast<void *>(8)), -1);
  EXPECT_EQ(errno, EFAULT);
  host::close(fd);
}

// A driver-style disk with its own operations and owner module.
struct module g_owner = {MODULE_STATE_LIVE, "blktest", ATOMIC_INIT(0)};
std::atomic<int> g_opens, g_releases, g_open_result;
std::atomic<pid_t> g_opener, g_closer;
std::atomic<struct block_device *> g_open_bdev;

int t_open(struct block_device *bdev, fmode_t mode) {
  g_opener = current->pid;
  g_open_bdev = bdev;
  int r = g_open_result;
  if (!r)
    g_opens++;
  return r;
}
int t_release(struct gendisk *disk, fmode_t mode) {
  g_closer = current->pid;
  g_releases++;
  return 0;
}
std::atomic<unsigned> g_ioctl_cmd;
int t_ioctl(struct block_device *bdev, fmode_t mode, unsigned cmd, unsigned long arg) {
  g_ioctl_cmd = cmd;
  return 0;
}
const struct block_device_operations t_fops = {t_open, t_release, nullptr, t_ioctl, nullptr, nullptr,
                                               nullptr, &g_owner};

TEST(DriverDiskFile, OpenRunsTheDiskOpsAsTheOpenerAndPinsTheOwner) {
  mem_disk md{"vek1", 121, 1, 2048};
  md.disk->fops = &t_fops;
  md.q->limits.max_hw_sectors = 8;
  md.q->limits.max_sectors = 8;
  md.q->limits.max_segments = 1;
  md.q->limits.max_segment_size = 4096;

  int fd = host::open("/dev/vek1", O_RDWR);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(g_opens, 1);
  EXPECT_EQ(g_opener, gettid());
  EXPECT_EQ(g_open_bdev.load()->bd_dev, MKDEV(121, 1));
  EXPECT_EQ(module_refcount(&g_owner), 1u);

  auto data = pattern(64 * 1024, 3);
  ASSERT_EQ(host::pwrite(fd, data.data(), data.size(), 8192), ssize_t(data.size()));
  auto log = md.log();
  ASSERT_EQ(log.size(), 16u);  // one page per bio
  for (size_t i = 0; i < log.size(); i++) {
    EXPECT_EQ(log[i].size, 4096u);
    EXPECT_EQ(log[i].vcnt, 1);
    EXPECT_EQ(log[i].sector, 16 + 8 * i);
  }
  EXPECT_EQ(0, std::memcmp(&md.data[8192], data.data(), data.size()));

  EXPECT_EQ(host::ioctl(fd, 0x4242, nullptr), 0);  // the driver's ioctl
  EXPECT_EQ(g_ioctl_cmd, 0x4242u);

  // Release runs as the closing thread.
  pid_t closer = 0;
  std::thread([&] {
    closer = gettid();
    EXPECT_EQ(host::close(fd), 0);
  }).join();
  EXPECT_EQ(g_releases, 1);
  EXPECT_EQ(g_closer, closer);
  EXPECT_EQ(module_refcount(&g_owner), 0u);

  g_open_result = -EBUSY;
  EXPECT_EQ(host::open("/dev/vek1", O_RDONLY), -1);
  EXPECT_EQ(errno, EBUSY);
  EXPECT_EQ(module_refcount(&g_owner), 0u);
  EXPECT_EQ(g_releases, 1);
  g_open_result = 0;

  // A mount is an open too.
  ASSERT_EQ(host::mount(md.dev()), 0);
  EXPECT_EQ(g_opens, 2);
  EXPECT_EQ(module_refcount(&g_owner), 1u);
  ASSERT_EQ(host::umount(md.dev()), 0);
  EXPECT_EQ(g_releases, 2);
  EXPECT_EQ(module_refcount(&g_owner), 0u);
}

TEST(DriverDiskFile, FileStaysUsableAfterTheDiskIsDeleted) {
  int releases = g_releases;
  mem_disk md{"vek3", 121, 3, 2048};
  md.disk->fops = &t_fops;
  int fd = host::open("/dev/vek3", O_RDWR);
  ASSERT_GE(fd, 0);
  del_gendisk(md.disk);
  EXPECT_EQ(host::open("/dev/vek3", O_RDWR), -1);  // gone by name
  char buf[512] = {};
  blk_cleanup_queue(md.q);
  md.q = nullptr;
  EXPECT_EQ(host::pread(fd, buf, sizeof buf, 0), -1);  // its queue is dead
  EXPECT_EQ(errno, EIO);
  put_disk(md.disk);
  EXPECT_EQ(host::close(fd), 0);  // the release still reaches the driver
  EXPECT_EQ(g_releases, releases + 1);
  md.disk = nullptr;
}

}  // namespace
