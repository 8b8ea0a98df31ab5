// Reordering disks: bios in service together complete out of submission order, in interrupt
// context, never more than the depth at once; a barrier keeps its place; overlapping writes
// land whole; removing the disk completes what it holds. The clock is stopped where a
// verdict would otherwise rest on how fast the threads run.
#include "blk_test_util.h"

#include <linux/hardirq.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

using namespace blkt;

namespace {

host::disk_spec reorder_disk(const std::string &image = "") {
  host::disk_spec s;
  s.name = "sda";
  s.nr_sects = 8192;
  s.image = image;
  s.reorder.enabled = true;
  s.reorder.seed = 7;
  s.reorder.depth = 8;
  s.reorder.mean_latency_us = 500;
  return s;
}

// The order in which bios complete, by their index.
struct completion_log {
  std::mutex m;
  std::vector<int> order;
  int outside_irq = 0;
  void record(int idx) {
    std::lock_guard<std::mutex> g(m);
    order.push_back(idx);
    if (!in_interrupt())
      outside_irq++;
  }
  size_t count() {
    std::lock_guard<std::mutex> g(m);
    return order.size();
  }
};

struct tagged {
  completion_log *log;
  int idx;
};

void tagged_end_io(struct bio *bio, int) {
  auto *t = static_cast<tagged *>(bio->bi_private);
  t->log->record(t->idx);
}

// Moves a stopped clock on until n completions are logged (bounded in real time).
bool run_clock_until(completion_log &log, size_t n) {
  auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (log.count() < n) {
    if (std::chrono::steady_clock::now() > give_up)
      return false;
    host::advance_clock(20);
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}

struct ReorderDisk : ::testing::Test {
  void TearDown() override { host::set_clock_speed(1); }
};

TEST_F(ReorderDisk, CompletesOutOfOrderWithinItsDepthAndABarrierKeepsItsPlace) {
  host::set_clock_speed(0);
  dev_t d = host::add_disk(reorder_disk());
  ASSERT_NE(d, 0u) << strerror(errno);
  struct block_device *bdev = bdget(d);
  constexpr int kBefore = 40, kAfter = 16, kBarrier = kBefore;
  completion_log log;
  std::vector<tagged> tags(kBefore + 1 + kAfter);
  std::vector<struct bio *> bios;
  for (int i = 0; i < kBefore + 1 + kAfter; i++) {
    struct bio *b = make_bio(bdev, sector_t(8 * i), 1, i % 3 ? 1 : 0);
    if (i == kBarrier)
      b->bi_rw |= 1UL << BIO_RW_BARRIER;
    tags[size_t(i)] = {&log, i};
    b->bi_end_io = tagged_end_io;
    b->bi_private = &tags[size_t(i)];
    bios.push_back(b);
    generic_make_request(b);
  }
  host::disk_stats st;
  ASSERT_EQ(host::disk_get_stats(d, &st), 0);
  EXPECT_EQ(st.max_in_service, 8u) << "the depth fills while the clock stands";
  EXPECT_EQ(log.count(), 0u) << "nothing completes before its latency has run out";

  ASSERT_TRUE(run_clock_until(log, bios.size()));
  ASSERT_EQ(host::disk_get_stats(d, &st), 0);
  EXPECT_EQ(st.max_in_service, 8u);
  EXPECT_GT(st.overtaken, 0u) << "completions in submission order: nothing was reordered";
  EXPECT_EQ(st.write_bios + st.read_bios, bios.size());
  EXPECT_EQ(log.outside_irq, 0);
  auto at = std::find(log.order.begin(), log.order.end(), kBarrier);
  ASSERT_NE(at, log.order.end());
  EXPECT_EQ(at - log.order.begin(), kBefore) << "every bio before the barrier, and none after it";
  EXPECT_TRUE(std::all_of(log.order.begin(), at, [](int i) { return i < kBarrier; }));
  std::vector<int> sorted = log.order;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_TRUE(std::adjacent_find(sorted.begin(), sorted.end()) == sorted.end()) << "a bio completed twice";
  for (struct bio *b : bios) {
    free_bio_pages(b);
    bio_put(b);
  }
  bdput(bdev);
  EXPECT_EQ(host::del_disk(d), 0);
}

TEST_F(ReorderDisk, RemovingTheDiskCompletesWhatItHoldsWithoutTheClock) {
  host::set_clock_speed(0);
  host::disk_spec s = reorder_disk();
  s.reorder.mean_latency_us = 10000000;
  dev_t d = host::add_disk(s);
  ASSERT_NE(d, 0u);
  struct block_device *bdev = bdget(d);
  completion_log log;
  std::vector<tagged> tags(20);
  std::vector<struct bio *> bios;
  for (int i = 0; i < 20; i++) {  // past the depth: some still queued
    struct bio *b = make_bio(bdev, sector_t(8 * i), 1, 1);
    tags[size_t(i)] = {&log, i};
    b->bi_end_io = tagged_end_io;
    b->bi_private = &tags[size_t(i)];
    bios.push_back(b);
    generic_make_request(b);
  }
  bdput(bdev);
  EXPECT_EQ(host::del_disk(d), 0);
  EXPECT_EQ(log.count(), bios.size());
  for (struct bio *b : bios) {
    EXPECT_EQ(b->bi_size, 0u);
    EXPECT_TRUE(test_bit(BIO_UPTODATE, &b->bi_flags));
    free_bio_pages(b);
    bio_put(b);
  }
}

// Writes of one range in service together land in some order, each whole; a read among them
// sees the zeroes or one write, whole. The image disk moves data with system calls, the RAM
// disk with copies: both are held to it.
TEST_F(ReorderDisk, OverlappingWritesLandWholeAndReadsSeeOneOfThem) {
  for (bool image : {false, true}) {
    SCOPED_TRACE(image ? "image disk" : "RAM disk");
    host::disk_spec s = reorder_disk(image ? temp_dir() + "/overlap.img" : "");
    s.reorder.depth = 32;
    s.reorder.mean_latency_us = 50;
    dev_t d = host::add_disk(s);
    ASSERT_NE(d, 0u) << strerror(errno);
    struct block_device *bdev = bdget(d);
    constexpr int kN = 48;
    std::vector<struct bio *> bios;
    std::vector<std::unique_ptr<bio_waiter>> waits;
    // 16 KiB writes at sectors 0, 8, 16 (each covering the next two's start) and reads of
    // the 4 KiB at sector 16 that they all cover.
    for (int i = 0; i < kN; i++) {
      bool write = i % 4 != 3;
      struct bio *b = make_bio(bdev, write ? sector_t(8 * (i % 3)) : 16, write ? 4 : 1, write);
      if (write)
        for (unsigned v = 0; v < b->bi_vcnt; v++)
          memset(page_address(b->bi_io_vec[v].bv_page), i + 1, PAGE_SIZE);
      waits.push_back(std::make_unique<bio_waiter>());
      waits.back()->arm(b);
      bios.push_back(b);
    }
    for (struct bio *b : bios)
      generic_make_request(b);
    for (size_t i = 0; i < bios.size(); i++) {
      ASSERT_EQ(waits[i]->wait(), 0) << "bio " << i;
      if (i % 4 != 3)
        continue;
      auto *p = static_cast<unsigned char *>(page_address(bios[i]->bi_io_vec[0].bv_page));
      EXPECT_TRUE(std::all_of(p, p + PAGE_SIZE, [&](unsigned char c) { return c == p[0]; }))
          << "read " << i << " saw a mix of writes";
      EXPECT_TRUE(p[0] == 0 || (p[0] - 1) % 4 != 3) << "read " << i << " saw foreign data";
    }
    for (struct bio *b : bios) {
      free_bio_pages(b);
      bio_put(b);
    }
    bdput(bdev);
    ASSERT_EQ(host::del_disk(d), 0);
  }
}

TEST_F(ReorderDisk, SettingsOutOfTheirRangesAreRefused) {
  for (auto bad : {host::disk_reorder{true, 1, 0, 0, 2}, host::disk_reorder{true, 1, 4097, 0, 2},
                   host::disk_reorder{true, 1, 8, 10000001, 2}, host::disk_reorder{true, 1, 8, 0, 1},
                   host::disk_reorder{true, 1, 8, 0, 17}}) {
    host::disk_spec s = reorder_disk();
    s.reorder = bad;
    EXPECT_EQ(host::add_disk(s), 0u);
    EXPECT_EQ(errno, EINVAL);
  }

  host::disk_reorder r;
  std::string why;
  ASSERT_TRUE(host::parse_disk_reorder("42", &r, &why)) << why;
  EXPECT_TRUE(r.enabled);
  EXPECT_EQ(r.seed, 42u);
  EXPECT_EQ(r.depth, 32u);
  EXPECT_EQ(r.mean_latency_us, 200u);
  ASSERT_TRUE(host::parse_disk_reorder("18446744073709551615:4096:0", &r, &why)) << why;
  EXPECT_EQ(r.seed, ~uint64_t(0));
  EXPECT_EQ(r.depth, 4096u);
  EXPECT_EQ(r.mean_latency_us, 0u);
  host::disk_reorder untouched;
  for (const char *text : {"", "x", "-1", "1:", "1::5", "1:0", "1:4097", "1:8:10000001", "1:8:5:2",
                           "18446744073709551616", "1:8:5us"}) {
    why.clear();
    EXPECT_FALSE(host::parse_disk_reorder(text, &untouched, &why)) << text;
    EXPECT_FALSE(why.empty()) << text;
    EXPECT_FALSE(untouched.enabled) << text;
  }
}

}  // namespace
