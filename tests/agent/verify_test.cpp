// The workload's sectors and the verifier that checks an image against the write log: it
// must accept exactly the images that equal the device at some instant inside the snapshot
// window, and name the first sector of any other.
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "agent/error.h"
#include "agent/verify.h"
#include "agent/workload.h"

using namespace agent;

namespace {

// A device in memory whose writes are atomic against a copy of it, like writes against a
// file-system freeze.
struct MemDev {
  std::mutex mu;
  std::condition_variable cv;
  std::vector<uint8_t> data;
  uint64_t writes = 0, hold_at = 0;  // mu
  bool held = false;                 // mu
  explicit MemDev(uint64_t nr_sects) : data(nr_sects * 512) {}
  WriteFn writer() {
    return [this](const void *b, size_t n, off_t o) -> ssize_t {
      std::unique_lock<std::mutex> g(mu);
      if (++writes == hold_at) {
        held = true;
        cv.notify_all();
        cv.wait(g, [&] { return hold_at == 0; });
      }
      if (uint64_t(o) + n > data.size()) return -1;
      memcpy(data.data() + o, b, n);
      return ssize_t(n);
    };
  }
  std::vector<uint8_t> copy() {
    std::lock_guard<std::mutex> g(mu);
    return data;
  }
  // The n-th write from now is held before it lands, until copy_held has copied the device:
  // a snapshot at a known point of a live write stream, whatever the threads' timing.
  void hold(uint64_t n) {
    std::lock_guard<std::mutex> g(mu);
    hold_at = writes + n;
  }
  // Waits for the held write and copies the device, bracketed by *t0 and *t1 as the agent
  // brackets its snapshot call.
  std::vector<uint8_t> copy_held(int64_t *t0, int64_t *t1) {
    std::unique_lock<std::mutex> g(mu);
    cv.wait(g, [&] { return held; });
    *t0 = now_ns();
    std::vector<uint8_t> img = data;
    *t1 = now_ns();
    hold_at = 0;
    held = false;
    cv.notify_all();
    return img;
  }
};

ReadFn reader(const std::vector<uint8_t> &img) {
  return [&img](void *b, size_t n, off_t o) -> ssize_t {
    if (uint64_t(o) >= img.size()) return 0;
    size_t k = std::min(n, img.size() - size_t(o));
    memcpy(b, img.data() + o, k);
    return ssize_t(k);
  };
}

constexpr uint64_t kSalt = 0xfeedbeef;

}  // namespace

TEST(Sector, StampNamesWriteAndPlace) {
  uint8_t s[512];
  fill_sector(s, 7, 1234, kSalt);
  EXPECT_EQ(7, sector_seq(s, 1234, kSalt));
  EXPECT_EQ(-1, sector_seq(s, 1235, kSalt));  // right write, wrong place
  EXPECT_EQ(-1, sector_seq(s, 1234, kSalt + 1));
  s[300] ^= 1;
  EXPECT_EQ(-1, sector_seq(s, 1234, kSalt));
  uint8_t a[512], b[512];
  fill_sector(a, 1, 0, kSalt);
  fill_sector(b, 2, 0, kSalt);
  EXPECT_NE(0, memcmp(a + 16, b + 16, 496));
}

TEST(Verify, WindowChoosesThePrefixAndRejectsOthers) {
  const uint64_t nr = 64;
  MemDev dev(nr);
  prefill(dev.writer(), nr, kSalt);
  // Three writes by hand: 1 over sectors 0-7, 2 over 8-15, 3 over 0-7 again.
  std::vector<WriteEntry> log = {{1, 0, 8, 10, 11}, {2, 8, 8, 20, 21}, {3, 0, 8, 30, 31}};
  std::vector<uint8_t> buf(8 * 512);
  auto put = [&](const WriteEntry &e) {
    for (uint32_t i = 0; i < e.nr_sects; ++i)
      fill_sector(&buf[i * 512], e.seq, e.sector + i, kSalt);
    dev.writer()(buf.data(), e.nr_sects * 512, off_t(e.sector * 512));
  };
  put(log[0]);
  put(log[1]);
  std::vector<uint8_t> img = dev.copy();  // the device after writes 1 and 2

  auto r = verify_image(reader(img), nr, kSalt, log, 1, 3);
  EXPECT_TRUE(r.ok) << r.detail;
  EXPECT_EQ(2u, r.cut);
  EXPECT_TRUE(verify_image(reader(img), nr, kSalt, log, 2, 2).ok);
  // A window that excludes the true instant: write 2 cannot have happened yet...
  r = verify_image(reader(img), nr, kSalt, log, 1, 1);
  EXPECT_FALSE(r.ok);
  EXPECT_NE(std::string::npos, r.detail.find("sector 8 holds write 2, expected the base pattern"))
      << r.detail;
  // ...or write 3 must already have happened.
  r = verify_image(reader(img), nr, kSalt, log, 3, 3);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(8u, r.bad_sectors);
  // A log shorter than the window is refused, not guessed at.
  EXPECT_FALSE(verify_image(reader(img), nr, kSalt, log, 1, 4).ok);
  // A short image is a failure.
  std::vector<uint8_t> half(img.begin(), img.begin() + img.size() / 2);
  r = verify_image(reader(half), nr, kSalt, log, 1, 3);
  EXPECT_FALSE(r.ok);
  EXPECT_NE(std::string::npos, r.detail.find("short read"));
}

TEST(Verify, LiveWorkloadImageTakenMidStreamVerifies) {
  const uint64_t nr = 4096;  // 2 MiB
  MemDev dev(nr);
  prefill(dev.writer(), nr, kSalt);
  WorkloadOptions wo;
  wo.nr_sects = nr;
  wo.pause_us = 20;
  wo.seed = 99;
  wo.salt = kSalt;
  Workload w(dev.writer(), wo);
  // The copy is taken while write 201 is held: 200 writes were done before it and write 201
  // was issued before its end but is not in it.
  dev.hold(201);
  w.start();
  int64_t t0, t1;
  std::vector<uint8_t> img = dev.copy_held(&t0, &t1);
  while (w.writes() < 400) std::this_thread::yield();
  w.stop();
  ASSERT_EQ("", w.error());
  std::vector<WriteEntry> log = w.log().snapshot();
  auto [lo, hi] = freeze_bracket(log, t0, t1);
  EXPECT_EQ(200u, lo);
  EXPECT_EQ(201u, hi);
  auto r = verify_image(reader(img), nr, kSalt, log, lo, hi);
  ASSERT_TRUE(r.ok) << r.detail;
  EXPECT_EQ(200u, r.cut);

  // Writes are 4 KiB aligned, 4 to 64 KiB, inside the device.
  for (const WriteEntry &e : log) {
    EXPECT_EQ(0u, e.sector % 8);
    EXPECT_GE(e.nr_sects, 8u);
    EXPECT_LE(e.nr_sects, 128u);
    EXPECT_LE(e.sector + e.nr_sects, nr);
  }

  // A chunk whose preserved copy was lost shows the data of a later write: caught. The write
  // is a fixed one of the log (however long the log grew before the stop), on a sector the
  // snapshot window leaves no doubt about.
  std::vector<uint8_t> final_img = dev.copy();
  size_t k = 300;
  while (k + 1 < log.size() && log[k].sector >= log[lo].sector &&
         log[k].sector < log[lo].sector + log[lo].nr_sects)
    ++k;
  const WriteEntry &late = log[k];
  std::vector<uint8_t> bad = img;
  fill_sector(&bad[late.sector * 512], late.seq, late.sector, kSalt);
  auto rb = verify_image(reader(bad), nr, kSalt, log, lo, hi);
  EXPECT_FALSE(rb.ok);
  EXPECT_NE(std::string::npos, rb.detail.find("sector " + std::to_string(late.sector)))
      << rb.detail;
  // So is one flipped bit anywhere.
  std::vector<uint8_t> flip = img;
  flip[nr * 512 - 1] ^= 0x80;
  auto rf = verify_image(reader(flip), nr, kSalt, log, lo, hi);
  EXPECT_FALSE(rf.ok);
  EXPECT_EQ(1u, rf.bad_sectors);
  EXPECT_NE(std::string::npos, rf.detail.find("sector 4095 holds foreign data")) << rf.detail;
  // And the final content matches the whole log.
  EXPECT_TRUE(verify_image(reader(final_img), nr, kSalt, log, log.size(), log.size()).ok);
}

TEST(Verify, BracketFromTimes) {
  std::vector<WriteEntry> log = {
      {1, 0, 8, 10, 20}, {2, 0, 8, 25, 40}, {3, 0, 8, 45, 60}, {4, 0, 8, 70, 80}};
  // Snapshot call from 30 to 50: write 1 was done before; 2 and 3 may or may not be in.
  EXPECT_EQ(std::make_pair(size_t(1), size_t(3)), freeze_bracket(log, 30, 50));
  EXPECT_EQ(std::make_pair(size_t(0), size_t(0)), freeze_bracket(log, 0, 5));
  EXPECT_EQ(std::make_pair(size_t(4), size_t(4)), freeze_bracket(log, 100, 110));
}

TEST(Workload, StopsAtTheFirstFailedWriteAndSaysSo) {
  int calls = 0;
  WorkloadOptions wo;
  wo.nr_sects = 1024;
  wo.pause_us = 0;
  Workload w(
      [&](const void *, size_t n, off_t) -> ssize_t {
        if (++calls == 3) {
          errno = EIO;
          return -1;
        }
        return ssize_t(n);
      },
      wo);
  w.start();
  while (w.error().empty()) std::this_thread::yield();
  w.stop();
  EXPECT_EQ(2u, w.writes());
  EXPECT_NE(std::string::npos, w.error().find("workload write 3"));
  EXPECT_NE(std::string::npos, w.error().find("errno 5"));
  wo.nr_sects = 64;  // smaller than the largest write
  EXPECT_THROW(Workload([](const void *, size_t n, off_t) { return ssize_t(n); }, wo), Error);
}
