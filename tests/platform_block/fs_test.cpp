// Mounting, get_super, the freeze protocol and flushing.
#include "blk_test_util.h"

#include <chrono>
#include <thread>

using namespace blkt;

namespace {

struct FsTest : ::testing::Test {
  dev_t disk = 0, p1 = 0, p2 = 0;
  struct block_device *b1 = nullptr;

  void SetUp() override {
    host::set_clock_speed(100);
    host::disk_spec s{"sda", 8192, "", {{64, 2048}, {4096, 2048}}};
    disk = host::add_disk(s);
    ASSERT_NE(disk, 0u);
    p1 = disk + 1;
    p2 = disk + 2;
    ASSERT_EQ(host::mount(p1), 0);
    b1 = bdget(p1);
  }
  void TearDown() override {
    bdput(b1);
    host::umount(p1);
    host::umount(p2);
    EXPECT_EQ(host::del_disk(disk), 0);
    host::set_clock_speed(1);
  }
  std::vector<unsigned char> read_p1(off_t off, size_t len) {
    std::vector<unsigned char> v(len);
    int fd = host::open("/dev/sda1", O_RDONLY);
    EXPECT_EQ(host::pread(fd, v.data(), len, off), ssize_t(len));
    host::close(fd);
    return v;
  }
  uint64_t disk_writes() {
    host::disk_stats st;
    host::disk_get_stats(disk, &st);
    return st.write_bios;
  }
};

// Runs fs_pwrite on its own thread; done flips when it returns.
struct fs_writer {
  std::atomic<bool> done{false};
  ssize_t result = 0;
  std::thread t;
  fs_writer(dev_t dev, std::vector<unsigned char> data, off_t off)
      : t([this, dev, data, off] {
          result = host::fs_pwrite(dev, data.data(), data.size(), off);
          done = true;
        }) {}
  ~fs_writer() {
    if (t.joinable())
      t.join();
  }
};

TEST_F(FsTest, MountRulesAndGetSuper) {
  EXPECT_EQ(host::mount(p1), -1);
  EXPECT_EQ(errno, EBUSY);
  EXPECT_EQ(host::mount(disk), -1);  // the whole disk of a mounted partition
  EXPECT_EQ(errno, EBUSY);
  EXPECT_EQ(host::mount(p2), 0);  // a sibling partition is fine
  EXPECT_EQ(host::mount(disk + 3), -1);
  EXPECT_EQ(errno, ENXIO);
  EXPECT_EQ(host::umount(disk), -1);
  EXPECT_EQ(errno, EINVAL);

  struct super_block *sb = get_super(b1);
  ASSERT_NE(sb, nullptr);
  EXPECT_EQ(sb->s_bdev, b1);
  EXPECT_EQ(b1->bd_super, sb);
  struct kstatfs st;
  EXPECT_EQ(vfs_statfs(sb->s_root, &st), 0);
  EXPECT_EQ(st.f_blocks, 2048u / 8);
  drop_super(sb);
  struct block_device *whole = bdget(disk);
  EXPECT_EQ(get_super(whole), nullptr);  // mounted on the partition only
  bdput(whole);

  ASSERT_EQ(host::umount(p1), 0);
  EXPECT_EQ(get_super(b1), nullptr);
  EXPECT_EQ(b1->bd_super, nullptr);
  EXPECT_EQ(host::fs_pwrite(p1, "x", 1, 0), -1);
  EXPECT_EQ(errno, EINVAL);
}

TEST_F(FsTest, UmountWaitsForGetSuperHolders) {
  struct super_block *sb = get_super(b1);
  std::atomic<bool> unmounted{false};
  std::thread t([&] {
    EXPECT_EQ(host::umount(p1), 0);
    unmounted = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_FALSE(unmounted);
  drop_super(sb);
  t.join();
  EXPECT_TRUE(unmounted);
}

TEST_F(FsTest, FsWriteGoesToThePartition) {
  auto data = pattern(5000, 4);
  EXPECT_EQ(host::fs_pwrite(p1, data.data(), data.size(), 1234), ssize_t(data.size()));
  EXPECT_EQ(read_p1(1234, data.size()), data);
  // Runs past the end: short; at the end: no space.
  EXPECT_EQ(host::fs_pwrite(p1, data.data(), 1000, 2048 * 512 - 100), 100);
  EXPECT_EQ(host::fs_pwrite(p1, data.data(), 10, 2048 * 512), -1);
  EXPECT_EQ(errno, ENOSPC);
  EXPECT_EQ(host::fs_pwrite(p1, data.data(), 10, -1), -1);
  EXPECT_EQ(errno, EINVAL);
}

TEST_F(FsTest, FreezeHoldsFsWritesUntilThaw) {
  struct super_block *sb = freeze_bdev(b1);
  ASSERT_NE(sb, nullptr);
  ASSERT_FALSE(IS_ERR(sb));
  EXPECT_EQ(sb->s_frozen, SB_FREEZE_TRANS);
  EXPECT_EQ(b1->bd_fsfreeze_count, 1);
  auto data = pattern(4096, 5);
  fs_writer w(p1, data, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(w.done);
  EXPECT_EQ(disk_writes(), 0u);
  // Direct writes to the device are not the file system's: they pass.
  int fd = host::open("/dev/sda1", O_RDWR);
  EXPECT_EQ(host::pwrite(fd, data.data(), 512, 8192), 512);
  host::close(fd);
  EXPECT_EQ(host::umount(p1), -1);  // a frozen file system stays
  EXPECT_EQ(errno, EBUSY);
  EXPECT_EQ(thaw_bdev(b1, sb), 0);
  w.t.join();
  EXPECT_EQ(w.result, 4096);
  EXPECT_EQ(read_p1(0, 4096), data);
  EXPECT_EQ(sb->s_frozen, SB_UNFROZEN);
}

TEST_F(FsTest, FreezeWaitsForWritesAlreadyInside) {
  // The disk holds the write for 10 s of a stopped clock: it is inside the file system
  // until the test lets the clock run.
  host::set_clock_speed(0);
  host::disk_fault_add(p1, host::disk_fault::delay, 0, 8, 1, 10000);
  interposer ip(disk);
  fs_writer w(p1, pattern(4096, 6), 0);
  ASSERT_TRUE(ip.wait_for(1));
  EXPECT_EQ(disk_writes(), 0u);
  struct super_block *sb = nullptr;
  std::thread fr([&] { sb = freeze_bdev(b1); });
  // Time for the freeze to reach its wait for the write. On a slower run it gets there
  // later, after the write: the case then passes without showing the wait, never fails.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(disk_writes(), 0u) << "the disk holds the write until the clock runs";
  host::set_clock_speed(100);
  fr.join();
  ASSERT_NE(sb, nullptr);
  EXPECT_EQ(disk_writes(), 1u);  // completed before the freeze returned
  EXPECT_EQ(thaw_bdev(b1, sb), 0);
  w.t.join();
  EXPECT_EQ(w.result, 4096);
}

TEST_F(FsTest, NestedFreezesNeedAsManyThaws) {
  struct super_block *sb1 = freeze_bdev(b1);
  struct super_block *sb2 = freeze_bdev(b1);
  ASSERT_NE(sb1, nullptr);
  EXPECT_EQ(sb1, sb2);
  EXPECT_EQ(b1->bd_fsfreeze_count, 2);
  fs_writer w(p1, pattern(4096, 7), 0);
  EXPECT_EQ(thaw_bdev(b1, sb2), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(w.done);  // one freeze is still in force
  EXPECT_EQ(thaw_bdev(b1, sb1), 0);
  w.t.join();
  EXPECT_EQ(w.result, 4096);
  EXPECT_EQ(thaw_bdev(b1, sb1), -EINVAL);  // not frozen any more
  EXPECT_EQ(b1->bd_fsfreeze_count, 0);
}

TEST_F(FsTest, FreezingAnUnmountedDeviceCountsNothing) {
  struct block_device *b2 = bdget(p2);
  EXPECT_EQ(freeze_bdev(b2), nullptr);
  EXPECT_EQ(b2->bd_fsfreeze_count, 0);
  EXPECT_EQ(thaw_bdev(b2, nullptr), -EINVAL);
  // Once mounted it freezes for real.
  ASSERT_EQ(host::mount(p2), 0);
  struct super_block *sb = freeze_bdev(b2);
  ASSERT_NE(sb, nullptr);
  fs_writer w(p2, pattern(512, 8), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_FALSE(w.done);
  EXPECT_EQ(thaw_bdev(b2, nullptr), 0);  // a wrong argument still thaws what is frozen
  w.t.join();
  EXPECT_EQ(w.result, 512);
  bdput(b2);
}

TEST_F(FsTest, FsyncWaitsForInFlightDirectWrites) {
  host::disk_fault_add(p2, host::disk_fault::delay, 0, 8, 1, 10000);
  interposer ip(disk);
  std::atomic<bool> done{false};
  std::thread t([&] {
    int fd = host::open("/dev/sda2", O_RDWR);
    auto data = pattern(4096, 9);
    EXPECT_EQ(host::pwrite(fd, data.data(), data.size(), 0), 4096);
    host::close(fd);
    done = true;
  });
  ASSERT_TRUE(ip.wait_for(1));
  struct block_device *b2 = bdget(p2);
  EXPECT_EQ(fsync_bdev(b2), 0);
  EXPECT_EQ(disk_writes(), 1u);
  EXPECT_EQ(sync_blockdev(b1), 0);  // another device: nothing to wait for
  t.join();
  bdput(b2);
}

}  // namespace
