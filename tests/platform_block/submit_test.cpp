// generic_make_request: the per-task pending list, partition remapping,
// end-of-device checks and resubmission.
#include "blk_test_util.h"

#include <linux/gfp.h>

#include <cstring>
#include <linux/sched.h>

using namespace blkt;

namespace {

bool dmesg_has(const std::string &needle) {
  for (auto &l : host::dmesg())
    if (l.find(needle) != std::string::npos)
      return true;
  return false;
}

struct SubmitTest : ::testing::Test {
  mem_disk md{"tdisk", 200, 0, 4096};
  struct block_device *bdev = nullptr;
  std::vector<struct bio *> bios;
  std::vector<sector_t> order;

  void SetUp() override { bdev = bdget(md.dev()); }
  void TearDown() override {
    for (auto *b : bios) {
      free_bio_pages(b);
      bio_put(b);
    }
    bdput(bdev);
  }
  struct bio *child(sector_t s) {
    struct bio *b = make_bio(bdev, s, 1, 0);
    bios.push_back(b);
    return b;
  }
};

TEST_F(SubmitTest, NestedSubmissionsRunAfterTheCurrentOneInOrder) {
  bool nested_ran_early = false;
  md.on_request = [&](struct bio *bio) {
    order.push_back(bio->bi_sector);
    if (bio->bi_sector == 0) {
      EXPECT_NE(current->bio_tail, nullptr);
      generic_make_request(child(1));
      generic_make_request(child(2));
      nested_ran_early = order.size() != 1;  // queued, not run
    } else if (bio->bi_sector == 1) {
      generic_make_request(child(3));
    }
    return -1;  // serve it
  };
  struct bio *top = child(0);
  generic_make_request(top);
  EXPECT_FALSE(nested_ran_early);
  EXPECT_EQ(order, (std::vector<sector_t>{0, 1, 2, 3}));
  EXPECT_EQ(current->bio_tail, nullptr);
  EXPECT_EQ(current->bio_list, nullptr);
}

TEST_F(SubmitTest, ClearedBioTailMakesNestedSubmissionsImmediate) {
  bool handled_inside = false;
  md.on_request = [&](struct bio *bio) {
    order.push_back(bio->bi_sector);
    if (bio->bi_sector == 10) {
      current->bio_tail = nullptr;
      generic_make_request(child(11));
      generic_make_request(child(12));
      handled_inside = order.size() == 3;
    }
    return -1;
  };
  generic_make_request(child(10));
  EXPECT_TRUE(handled_inside);
  EXPECT_EQ(order, (std::vector<sector_t>{10, 11, 12}));
  EXPECT_EQ(current->bio_tail, nullptr);
  EXPECT_EQ(current->bio_list, nullptr);
}

TEST_F(SubmitTest, NonZeroResultResubmitsTheRemappedBio) {
  mem_disk other{"tother", 201, 0, 4096};
  struct block_device *obdev = bdget(other.dev());
  int calls = 0;
  md.on_request = [&](struct bio *bio) {
    calls++;
    bio->bi_bdev = obdev;
    bio->bi_sector += 100;
    return 1;
  };
  struct bio *b = child(5);
  EXPECT_EQ(submit_and_wait(b), 0);
  EXPECT_EQ(calls, 1);
  auto log = other.log();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].sector, 105u);
  EXPECT_EQ(log[0].bdev, obdev);
  bdput(obdev);
}

TEST_F(SubmitTest, BioPastTheEndIsEndedWithEioAndEof) {
  struct bio *b = child(4095);  // one page from the last sector
  EXPECT_EQ(submit_and_wait(b), -EIO);
  EXPECT_TRUE(test_bit(BIO_EOF, &b->bi_flags));
  EXPECT_TRUE(md.log().empty());
  EXPECT_TRUE(dmesg_has("attempt to access beyond end of device"));
  // The last full page fits.
  b = child(4088);
  EXPECT_EQ(submit_and_wait(b), 0);
}

TEST_F(SubmitTest, BioAboveMaxHwSectorsIsRefused) {
  md.q->limits.max_hw_sectors = 8;
  struct bio *b = make_bio(bdev, 0, 2, 0);
  bios.push_back(b);
  EXPECT_EQ(submit_and_wait(b), -EIO);
  EXPECT_TRUE(md.log().empty());
  EXPECT_TRUE(dmesg_has("bio too big device tdisk (16 > 8)"));
}

TEST_F(SubmitTest, DeadQueueAndDeviceWithoutQueueEndWithEio) {
  bio_waiter w;
  struct bio *b = child(0);
  w.arm(b);
  set_bit(QUEUE_FLAG_DEAD, &md.q->queue_flags);
  generic_make_request(b);
  EXPECT_EQ(w.wait(), -EIO);
  clear_bit(QUEUE_FLAG_DEAD, &md.q->queue_flags);

  bio_waiter w2;
  b = child(0);
  w2.arm(b);
  md.disk->queue = nullptr;
  generic_make_request(b);
  md.disk->queue = md.q;
  EXPECT_EQ(w2.wait(), -EIO);
  EXPECT_TRUE(md.log().empty());
}

TEST_F(SubmitTest, SubmitBioSetsTheDirection) {
  bio_waiter w;
  struct bio *b = child(0);
  w.arm(b);
  submit_bio(WRITE, b);
  EXPECT_EQ(w.wait(), 0);
  ASSERT_EQ(md.log().size(), 1u);
  EXPECT_EQ(md.log()[0].rw & 1, 1u);
}

// Host disk partitions: sda with p1 at 64 (1024 sectors) and p2 at 2048.
struct PartitionTest : ::testing::Test {
  dev_t disk = 0;
  void SetUp() override {
    host::disk_spec spec{"sda", 8192, "", {{64, 1024}, {2048, 2048}}};
    disk = host::add_disk(spec);
    ASSERT_NE(disk, 0u);
  }
  void TearDown() override { EXPECT_EQ(host::del_disk(disk), 0); }
};

TEST_F(PartitionTest, PartitionBiosAreRemappedToTheWholeDisk) {
  interposer ip(disk);
  struct block_device *p2 = bdget(disk + 2);
  struct block_device *whole = bdget(disk);
  ASSERT_NE(p2, nullptr);
  EXPECT_EQ(p2->bd_contains, whole);
  struct bio *b = make_bio(p2, 5, 1, 1);
  std::memset(page_address(b->bi_io_vec[0].bv_page), 0x5a, PAGE_SIZE);
  bio_waiter w;
  w.arm(b);
  generic_make_request(b);
  EXPECT_EQ(w.wait(), 0);
  auto log = ip.log();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].sector, 2048u + 5);
  EXPECT_EQ(log[0].bdev, whole);
  free_bio_pages(b);
  bio_put(b);

  // The data is where the whole disk says partition 2 begins.
  int fd = host::open("/dev/sda", O_RDONLY);
  ASSERT_GE(fd, 0);
  std::vector<unsigned char> got(PAGE_SIZE);
  ASSERT_EQ(host::pread(fd, got.data(), got.size(), (2048 + 5) * 512), ssize_t(PAGE_SIZE));
  EXPECT_EQ(got, std::vector<unsigned char>(PAGE_SIZE, 0x5a));
  host::close(fd);
  bdput(p2);
  bdput(whole);
}

TEST_F(PartitionTest, EndOfPartitionIsCheckedBeforeRemapping) {
  interposer ip(disk);
  struct block_device *p1 = bdget(disk + 1);
  struct bio *b = make_bio(p1, 1020, 1, 0);  // p1 ends at 1024: 4 sectors short
  bio_waiter w;
  w.arm(b);
  generic_make_request(b);
  EXPECT_EQ(w.wait(), -EIO);
  EXPECT_TRUE(test_bit(BIO_EOF, &b->bi_flags));
  EXPECT_TRUE(ip.log().empty());
  EXPECT_EQ(b->bi_sector, 1020u);  // not remapped
  EXPECT_TRUE(dmesg_has("sda1: rw=0, want=1028, limit=1024"));
  free_bio_pages(b);
  bio_put(b);
  bdput(p1);
}

TEST_F(PartitionTest, DiskDriverRefusesBiosPastItsEndEvenWhenCalledDirectly) {
  // Drivers call a saved make_request_fn directly, bypassing the checks of
  // generic_make_request; the disk still must not touch memory past its end.
  struct block_device *whole = bdget(disk);
  struct request_queue *q = bdev_get_queue(whole);
  struct bio *b = make_bio(whole, 8190, 1, 1);
  bio_waiter w;
  w.arm(b);
  EXPECT_EQ(q->make_request_fn(q, b), 0);
  EXPECT_EQ(w.wait(), -EIO);
  free_bio_pages(b);
  bio_put(b);
  bdput(whole);
}

}  // namespace
