// bio allocation, building under queue limits, completion and splitting.
#include "blk_test_util.h"

#include <linux/gfp.h>

#include <cstring>

using namespace blkt;

namespace {

struct BioTest : ::testing::Test {
  mem_disk md{"tdisk", 200, 0, 4096};
  struct block_device *bdev = nullptr;
  std::vector<struct page *> pages;

  void SetUp() override {
    bdev = bdget(md.dev());
    ASSERT_NE(bdev, nullptr);
    for (int i = 0; i < 8; i++)
      pages.push_back(alloc_page(GFP_KERNEL));
  }
  void TearDown() override {
    for (auto *p : pages)
      __free_page(p);
    bdput(bdev);
  }
  struct bio *fresh(int vecs) {
    struct bio *bio = bio_alloc(GFP_NOIO, vecs);
    bio->bi_bdev = bdev;
    return bio;
  }
};

TEST_F(BioTest, AllocGivesAnUpToDateBioWithOnePin) {
  long before = host::bios_in_use();
  struct bio *bio = bio_alloc(GFP_NOIO, 16);
  ASSERT_NE(bio, nullptr);
  EXPECT_TRUE(test_bit(BIO_UPTODATE, &bio->bi_flags));
  EXPECT_EQ(atomic_read(&bio->bi_cnt), 1);
  EXPECT_EQ(bio->bi_max_vecs, 16u);
  EXPECT_EQ(bio->bi_vcnt, 0);
  EXPECT_EQ(bio->bi_size, 0u);
  EXPECT_EQ(bio->bi_next, nullptr);
  EXPECT_EQ(host::bios_in_use(), before + 1);
  bio_get(bio);
  bio_put(bio);
  EXPECT_EQ(host::bios_in_use(), before + 1);  // still pinned once
  bio_put(bio);
  EXPECT_EQ(host::bios_in_use(), before);
  EXPECT_EQ(bio_alloc(GFP_NOIO, BIO_MAX_PAGES + 1), nullptr);
}

TEST_F(BioTest, AllocFailsOnItsFaultPoint) {
  host::fault_fail_next("bio_alloc", 1);
  EXPECT_EQ(bio_alloc(GFP_NOIO, 1), nullptr);
  struct bio *bio = bio_alloc(GFP_NOIO, 1);
  ASSERT_NE(bio, nullptr);
  bio_put(bio);
  EXPECT_EQ(host::fault_failures("bio_alloc"), 1);
}

TEST_F(BioTest, AddPageStopsAtMaxSectors) {
  blk_queue_max_sectors(md.q, 16);  // 8 KiB
  struct bio *bio = fresh(8);
  EXPECT_EQ(bio_add_page(bio, pages[0], PAGE_SIZE, 0), int(PAGE_SIZE));
  EXPECT_EQ(bio_add_page(bio, pages[1], PAGE_SIZE, 0), int(PAGE_SIZE));
  EXPECT_EQ(bio_add_page(bio, pages[2], 512, 0), 0);
  EXPECT_EQ(bio->bi_size, 2 * PAGE_SIZE);
  EXPECT_EQ(bio->bi_vcnt, 2);
  bio_put(bio);
}

TEST_F(BioTest, AddPageHonoursMaxHwSectorsBelowMaxSectors) {
  md.q->limits.max_sectors = 1024;
  md.q->limits.max_hw_sectors = 8;
  struct bio *bio = fresh(8);
  EXPECT_EQ(bio_add_page(bio, pages[0], PAGE_SIZE, 0), int(PAGE_SIZE));
  EXPECT_EQ(bio_add_page(bio, pages[1], 512, 0), 0);
  bio_put(bio);
}

TEST_F(BioTest, AddPageStopsAtMaxSegmentsButMergesContiguousBytes) {
  blk_queue_max_segments(md.q, 2);
  struct bio *bio = fresh(8);
  EXPECT_EQ(bio_add_page(bio, pages[0], 1024, 0), 1024);
  EXPECT_EQ(bio_add_page(bio, pages[0], 1024, 1024), 1024);  // same page, contiguous: merged
  EXPECT_EQ(bio->bi_vcnt, 1);
  EXPECT_EQ(bio_add_page(bio, pages[1], 1024, 0), 1024);
  EXPECT_EQ(bio_add_page(bio, pages[2], 1024, 0), 0);  // a third segment
  EXPECT_EQ(bio->bi_vcnt, 2);
  EXPECT_EQ(bio->bi_size, 3072u);
  bio_put(bio);
}

TEST_F(BioTest, AddPageHonoursMaxSegmentSizeWhenMerging) {
  md.q->limits.max_segment_size = 2048;
  struct bio *bio = fresh(8);
  EXPECT_EQ(bio_add_page(bio, pages[0], 2048, 0), 2048);
  EXPECT_EQ(bio_add_page(bio, pages[0], 1024, 2048), 0);  // merging would exceed 2048
  EXPECT_EQ(bio_add_page(bio, pages[1], PAGE_SIZE, 0), 0);  // one segment too large
  EXPECT_EQ(bio_add_page(bio, pages[1], 2048, 0), 2048);
  bio_put(bio);
}

TEST_F(BioTest, AddPageStopsAtTheBiosOwnCapacityAndRejectsBadRanges) {
  struct bio *bio = fresh(2);
  EXPECT_EQ(bio_add_page(bio, pages[0], PAGE_SIZE, 0), int(PAGE_SIZE));
  EXPECT_EQ(bio_add_page(bio, pages[1], PAGE_SIZE, 0), int(PAGE_SIZE));
  EXPECT_EQ(bio_add_page(bio, pages[2], PAGE_SIZE, 0), 0);
  bio_put(bio);
  bio = fresh(2);
  EXPECT_EQ(bio_add_page(bio, pages[0], 0, 0), 0);
  EXPECT_EQ(bio_add_page(bio, pages[0], 1024, 3584), 0);  // runs past the page
  EXPECT_EQ(bio_add_page(bio, nullptr, 512, 0), 0);
  EXPECT_EQ(bio->bi_vcnt, 0);
  bio_put(bio);
}

TEST_F(BioTest, AddPageWithoutDeviceUsesDefaultLimits) {
  struct bio *bio = bio_alloc(GFP_NOIO, 8);
  for (int i = 0; i < 8; i++)
    EXPECT_EQ(bio_add_page(bio, pages[i], PAGE_SIZE, 0), int(PAGE_SIZE));
  EXPECT_EQ(bio->bi_size, 8 * PAGE_SIZE);
  bio_put(bio);
}

TEST_F(BioTest, EndioClearsUptodateOnErrorAndReportsEioForStaleBios) {
  bio_waiter w1;
  struct bio *bio = fresh(1);
  w1.arm(bio);
  bio_endio(bio, -ENOSPC);
  EXPECT_EQ(w1.wait(), -ENOSPC);
  EXPECT_FALSE(test_bit(BIO_UPTODATE, &bio->bi_flags));
  bio_put(bio);

  bio_waiter w2;
  bio = fresh(1);
  w2.arm(bio);
  clear_bit(BIO_UPTODATE, &bio->bi_flags);
  bio_endio(bio, 0);  // not up to date without an error: still a failure
  EXPECT_EQ(w2.wait(), -EIO);
  bio_put(bio);
}

struct SplitTest : BioTest {
  struct bio *parent = nullptr;
  bio_waiter w;
  void SetUp() override {
    BioTest::SetUp();
    parent = fresh(1);
    parent->bi_sector = 100;
    parent->bi_rw = 1UL << BIO_RW;
    ASSERT_EQ(bio_add_page(parent, pages[0], PAGE_SIZE, 0), int(PAGE_SIZE));
    w.arm(parent);
  }
  void TearDown() override {
    bio_put(parent);
    BioTest::TearDown();
  }
};

TEST_F(SplitTest, HalvesShareTheSegmentAtTheSplitPoint) {
  struct bio_pair *bp = bio_split(parent, 4);
  ASSERT_NE(bp, nullptr);
  EXPECT_EQ(bp->bio1.bi_sector, 100u);
  EXPECT_EQ(bp->bio1.bi_size, 2048u);
  EXPECT_EQ(bp->bio1.bi_io_vec->bv_page, pages[0]);
  EXPECT_EQ(bp->bio1.bi_io_vec->bv_offset, 0u);
  EXPECT_EQ(bp->bio1.bi_io_vec->bv_len, 2048u);
  EXPECT_EQ(bp->bio2.bi_sector, 104u);
  EXPECT_EQ(bp->bio2.bi_size, 2048u);
  EXPECT_EQ(bp->bio2.bi_io_vec->bv_page, pages[0]);
  EXPECT_EQ(bp->bio2.bi_io_vec->bv_offset, 2048u);
  EXPECT_EQ(bp->bio2.bi_io_vec->bv_len, 2048u);
  EXPECT_EQ(bp->bio1.bi_bdev, bdev);
  EXPECT_EQ(bp->bio2.bi_rw, parent->bi_rw);
  bio_pair_release(bp);
  bio_endio(&bp->bio1, 0);
  EXPECT_FALSE(w.done);
  bio_endio(&bp->bio2, 0);
  EXPECT_EQ(w.wait(), 0);
  EXPECT_EQ(w.calls, 1);
}

TEST_F(SplitTest, ParentEndsOnceAfterBothHalvesWithTheFirstError) {
  struct bio_pair *bp = bio_split(parent, 2);
  ASSERT_NE(bp, nullptr);
  bio_endio(&bp->bio2, -EIO);
  bio_endio(&bp->bio1, -ENOSPC);
  EXPECT_FALSE(w.done);  // the pair's own reference is still held
  bio_pair_release(bp);
  EXPECT_EQ(w.wait(), -EIO);
  EXPECT_EQ(w.calls, 1);
  EXPECT_FALSE(test_bit(BIO_UPTODATE, &parent->bi_flags));
}

TEST_F(SplitTest, SplittingThroughTheBlockLayerDeliversBothHalves) {
  auto data = pattern(PAGE_SIZE, 7);
  std::memcpy(page_address(pages[0]), data.data(), PAGE_SIZE);
  struct bio_pair *bp = bio_split(parent, 1);
  ASSERT_NE(bp, nullptr);
  generic_make_request(&bp->bio1);
  generic_make_request(&bp->bio2);
  bio_pair_release(bp);
  EXPECT_EQ(w.wait(), 0);
  EXPECT_EQ(0, std::memcmp(&md.data[100 * 512], data.data(), PAGE_SIZE));
  auto log = md.log();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].sector, 100u);
  EXPECT_EQ(log[0].size, 512u);
  EXPECT_EQ(log[1].sector, 101u);
  EXPECT_EQ(log[1].size, 3584u);
}

TEST_F(SplitTest, RefusesMultiSegmentBiosAndSplitPointsOutsideTheBio) {
  EXPECT_EQ(bio_split(parent, 0), nullptr);
  EXPECT_EQ(bio_split(parent, 8), nullptr);
  struct bio *two = fresh(2);
  bio_add_page(two, pages[1], PAGE_SIZE, 0);
  bio_add_page(two, pages[2], PAGE_SIZE, 0);
  EXPECT_EQ(bio_split(two, 4), nullptr);
  bio_put(two);
  bio_endio(parent, 0);
  EXPECT_EQ(w.wait(), 0);
}

}  // namespace
