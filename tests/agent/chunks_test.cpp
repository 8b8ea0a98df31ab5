// Change records into chunk sets, the drain that never waits for a full batch, and the
// tracker that decides whether an incremental backup is sound.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "agent/changes.h"
#include "agent/chunkset.h"
#include "agent/follow.h"

using namespace agent;

TEST(ChunkSet, SectorRangesCoverEveryTouchedChunkAndClipAtTheEnd) {
  ChunkSet s(10);  // 10 chunks = 1280 sectors
  EXPECT_TRUE(s.add_sectors(0, 1));
  EXPECT_TRUE(s.add_sectors(127, 2));        // straddles chunks 0 and 1
  EXPECT_TRUE(s.add_sectors(128 * 5, 128));  // exactly chunk 5
  EXPECT_EQ((std::vector<uint64_t>{0, 1, 5}), s.chunks());
  EXPECT_TRUE(s.add_sectors(300, 0));  // an empty record touches nothing
  EXPECT_EQ(3u, s.count());

  // A write that begins on the first sector after the device is attributed to it by the
  // driver; it changes nothing of this device.
  EXPECT_FALSE(s.add_sectors(1280, 8));
  EXPECT_EQ(3u, s.count());
  // Partly past the end: the inside part counts, the record is reported as clipped.
  EXPECT_FALSE(s.add_sectors(1270, 100));
  EXPECT_TRUE(s.contains(9));
  // A hostile length does not wrap around to chunk 0.
  ChunkSet w(10);
  EXPECT_FALSE(w.add_sectors(128 * 8, UINT64_MAX));
  EXPECT_EQ((std::vector<uint64_t>{8, 9}), w.chunks());
  EXPECT_FALSE(w.add(10));
}

TEST(ChunkSet, RunsMergeAndCounts) {
  ChunkSet a(200), b(200);
  for (uint64_t c : {3, 4, 5, 9, 64, 65, 199}) a.add(c);
  a.add(4);  // twice counts once
  EXPECT_EQ(7u, a.count());
  EXPECT_EQ((std::vector<std::pair<uint64_t, uint64_t>>{{3, 3}, {9, 1}, {64, 2}, {199, 1}}),
            a.runs());
  b.add(6);
  b.add(63);
  a.merge(b);
  EXPECT_EQ(9u, a.count());
  EXPECT_EQ((std::vector<std::pair<uint64_t, uint64_t>>{{3, 4}, {9, 1}, {63, 3}, {199, 1}}),
            a.runs());
  ChunkSet other(201);
  EXPECT_THROW(a.merge(other), std::invalid_argument);
  a.clear();
  EXPECT_TRUE(a.empty());
  EXPECT_TRUE(a.runs().empty());
  EXPECT_EQ(2048u, chunks_for_sectors(262144));
  EXPECT_EQ(2049u, chunks_for_sectors(262145));
}

// A queue like the driver's: fetch waits for a full batch unless unblocked (here: a fetch
// that would wait is a test failure), records may keep arriving while it is drained.
class FakeQueue : public ChangeSource {
 public:
  std::deque<ChangeRecord> q;
  bool unblocked = false;
  bool tracking = true;
  int fetches = 0, unblocks = 0, would_wait = 0;
  int arrive_per_fetch = 0;  // a busy writer
  RecordFormat fmt = RecordFormat::v2;
  uint64_t next_sector = 0;

  void push(uint32_t major, uint32_t minor, uint64_t start, uint64_t n) {
    q.push_back({major, minor, start, n});
  }
  ChangeBatch fetch(int size) override {
    ++fetches;
    if (size_t(size) > q.size() && !unblocked) ++would_wait;
    unblocked = false;
    ChangeBatch b;
    b.tracking = tracking;
    while (int(b.records.size()) < size && !q.empty()) {
      b.records.push_back(q.front());
      q.pop_front();
    }
    for (int i = 0; i < arrive_per_fetch; ++i) push(8, 1, next_sector++ % 1000, 8);
    b.inqueue = int(q.size());
    return b;
  }
  void unblock() override {
    ++unblocks;
    unblocked = true;
  }
  RecordFormat format() const override { return fmt; }
};

TEST(Drain, TakesWhatWasQueuedWithoutWaitingEvenWhileWritesArrive) {
  FakeQueue f;
  for (int i = 0; i < 10; ++i) f.push(8, 1, i * 128, 8);
  f.arrive_per_fetch = 5;  // faster than one record per fetch: a naive "until empty" never ends
  std::vector<ChangeRecord> got;
  DrainStats st = drain_queue(f, 3, [&](const ChangeRecord &r) { got.push_back(r); });
  // The first fetch saw 3 taken + 7 queued + 5 new arrivals = 15; nothing beyond that.
  EXPECT_EQ(15u, st.fetched);
  EXPECT_EQ(15u, got.size());
  EXPECT_EQ(0, f.would_wait);
  EXPECT_EQ(f.fetches, f.unblocks);
  EXPECT_TRUE(st.tracking);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(uint64_t(i * 128), got[i].start_sector);  // oldest first
}

TEST(Drain, EmptyQueueBrokenTrackingAndAStolenQueue) {
  FakeQueue f;
  DrainStats st = drain_queue(f, 16, [](const ChangeRecord &) { FAIL(); });
  EXPECT_EQ(0u, st.fetched);
  EXPECT_EQ(1, f.fetches);

  // Tracking is the AND over every batch.
  FakeQueue g;
  for (int i = 0; i < 5; ++i) g.push(8, 1, 0, 8);
  g.tracking = false;
  EXPECT_FALSE(drain_queue(g, 2, [](const ChangeRecord &) {}).tracking);

  // Someone else emptied the queue after the first batch: the drain ends instead of blocking.
  struct Thief : FakeQueue {
    ChangeBatch fetch(int size) override {
      ChangeBatch b = FakeQueue::fetch(size);
      q.clear();
      return b;
    }
  } t;
  for (int i = 0; i < 6; ++i) t.push(8, 1, 0, 8);
  DrainStats s2 = drain_queue(t, 2, [](const ChangeRecord &) {});
  EXPECT_EQ(2u, s2.fetched);
  EXPECT_EQ(0, t.would_wait);
}

TEST(Tracker, SortsRecordsByDeviceAndCapturesTheOneBeingBackedUp) {
  FakeQueue f;
  ChangeTracker tr(f, 4);
  tr.record_backup(8, 1, 128 * 100, ChunkSet(100), true, 42, "/img/a");
  f.push(8, 1, 0, 8);           // followed device: pending
  f.push(8, 2, 128, 8);         // captured device
  f.push(8, 3, 128, 8);         // nobody's: dropped
  f.push(121, 1, 256, 8);       // a snapshot device's write: dropped
  f.push(8, 1, 128 * 99, 300);  // past the end: clipped
  ChunkSet cap(50);
  DrainStats st = tr.drain(std::make_pair(8u, 2u), &cap);
  EXPECT_EQ(5u, st.fetched);
  EXPECT_EQ(3u, st.claimed);
  EXPECT_EQ(1u, st.clipped);
  EXPECT_EQ((std::vector<uint64_t>{1}), cap.chunks());
  EXPECT_EQ((std::vector<uint64_t>{0, 99}), tr.find(8, 1)->pending.chunks());
  EXPECT_EQ(nullptr, tr.find(8, 2));
}

TEST(Tracker, FormatOneMatchesOnTheLow16BitsOnly) {
  ChangeRecord r{8, 70000 & 0xffff, 0, 8};  // what format 1 delivers for minor 70000
  EXPECT_TRUE(record_matches(r, 8, 70000, RecordFormat::v1));
  EXPECT_FALSE(record_matches(r, 8, 70000, RecordFormat::v2));
  EXPECT_TRUE(record_matches({8, 70000, 0, 8}, 8, 70000, RecordFormat::v2));
  FakeQueue f;
  f.fmt = RecordFormat::v1;
  ChangeTracker tr(f);
  tr.record_backup(8, 70000, 1280, ChunkSet(10), true, 1, "/i");
  f.push(8, 4464, 0, 8);
  tr.drain();
  EXPECT_EQ(1u, tr.find(8, 70000)->pending.count());
}

TEST(Tracker, RefusesAnIncrementalForEveryReasonItCannotBeTrusted) {
  FakeQueue f;
  ChangeTracker tr(f);
  auto refuse = [&](uint64_t nr, const std::string &img, std::optional<uint64_t> gen) {
    auto r = tr.incremental_refusal(8, 1, nr, img, gen);
    return r ? *r : std::string();
  };
  EXPECT_NE(std::string::npos, refuse(1280, "/i", 7).find("fresh machine"));
  tr.record_backup(8, 1, 1280, ChunkSet(10), true, 7, "/i");
  EXPECT_EQ("", refuse(1280, "/i", 7));
  EXPECT_NE(std::string::npos, refuse(2560, "/i", 7).find("changed size"));
  EXPECT_NE(std::string::npos, refuse(1280, "/other", 7).find("went to /i"));
  EXPECT_NE(std::string::npos, refuse(1280, "/i", std::nullopt).find("no readable record"));
  EXPECT_NE(std::string::npos, refuse(1280, "/i", 8).find("replaced"));

  // A batch that says tracking missed writes makes every followed device untrustworthy.
  f.push(8, 9, 0, 8);
  f.tracking = false;
  tr.drain();
  EXPECT_NE(std::string::npos, refuse(1280, "/i", 7).find("missed writes"));
  tr.forget(8, 1);
  EXPECT_EQ(nullptr, tr.find(8, 1));
}

TEST(Tracker, ARecordPastItsDevicesEndBreaksEveryFollowedDeviceAndSaysWhy) {
  FakeQueue f;
  ChangeTracker tr(f);
  tr.record_backup(8, 1, 1280, ChunkSet(10), true, 7, "/a");
  tr.record_backup(8, 2, 1280, ChunkSet(10), true, 8, "/b");
  // A write to the whole disk that ran on from sda1 into sda2: only sda1 has a record.
  f.push(8, 1, 1270, 20);
  DrainStats st = tr.drain();
  EXPECT_EQ(1u, st.clipped);
  for (uint32_t minor : {1u, 2u}) {
    auto why = tr.incremental_refusal(8, minor, 1280, minor == 1 ? "/a" : "/b", minor + 6);
    ASSERT_TRUE(why) << minor;
    EXPECT_EQ(ChangeTracker::kRecordPastEnd, *why);
  }
  // A later broken batch keeps the first reason found.
  f.tracking = false;
  f.push(8, 1, 0, 8);
  tr.drain();
  EXPECT_EQ(ChangeTracker::kRecordPastEnd, *tr.incremental_refusal(8, 2, 1280, "/b", 8));
}

TEST(Tracker, AFailedFetchLosesRecordsSoItBreaksTracking) {
  struct Failing : FakeQueue {
    int calls = 0;
    ChangeBatch fetch(int size) override {
      if (++calls == 2) throw std::runtime_error("fetch failed");
      return FakeQueue::fetch(size);
    }
  } f;
  ChangeTracker tr(f, 1);
  tr.record_backup(8, 1, 1280, ChunkSet(10), true, 7, "/i");
  for (int i = 0; i < 3; ++i) f.push(8, 1, 0, 8);
  EXPECT_THROW(tr.drain(), std::runtime_error);
  auto why = tr.incremental_refusal(8, 1, 1280, "/i", 7);
  ASSERT_TRUE(why);
  EXPECT_NE(std::string::npos, why->find("missed writes"));
}

// A break reported before the session's start costs this backup its incremental (the changes
// it lacks came before the freeze) but not the next one's base (the start mended it); one
// reported after the start costs both; a record past the end breaks the capture at any time.
TEST(Tracker, ABreakBeforeTheStartFailsThisIncrementalAndOneAfterItTheNext) {
  FakeQueue f;
  ChangeTracker tr(f);
  std::string why;
  EXPECT_FALSE(tr.begin_backup(8, 1, 1280, "/i", std::nullopt, why));
  ChangeBatch broken;
  broken.tracking = false;
  tr.fold(broken);  // before the start
  tr.arm_capture();
  EXPECT_EQ(ChangeTracker::kTrackingBroken, tr.incremental_broken());
  EXPECT_EQ("", tr.capture_broken());
  ChangeBatch rec;
  rec.records.push_back({8, 1, 128, 8});
  tr.fold(rec);
  EXPECT_EQ((std::vector<uint64_t>{1}), tr.capture_set().chunks());
  tr.end_backup(true, "sda1", 5, "/i", 100);
  EXPECT_FALSE(tr.incremental_refusal(8, 1, 1280, "/i", 5));
  EXPECT_EQ((std::vector<uint64_t>{1}), tr.lookup(8, 1)->pending.chunks());

  ASSERT_TRUE(tr.begin_backup(8, 1, 1280, "/i", 5, why)) << why;
  tr.arm_capture();
  tr.fold(broken);
  EXPECT_EQ(ChangeTracker::kTrackingBroken, tr.capture_broken());
  EXPECT_EQ(ChangeTracker::kTrackingBroken, tr.incremental_broken());
  tr.end_backup(true, "sda1", 6, "/i", 101);
  EXPECT_EQ(ChangeTracker::kTrackingBroken, *tr.incremental_refusal(8, 1, 1280, "/i", 6));

  // Unarmed, a record past the end still breaks the capture.
  tr.begin_backup(8, 1, 1280, "/i", 6, why);
  ChangeBatch past;
  past.records.push_back({8, 1, 1270, 20});
  tr.fold(past);
  EXPECT_EQ(ChangeTracker::kRecordPastEnd, tr.capture_broken());
  tr.end_backup(false, "", 0, "", 0);
  EXPECT_EQ(nullptr, tr.find(8, 1));  // a failed backup leaves no base
}

// The driver's queue as it behaves: a fetch waits for a full batch unless unblocked.
class BlockingQueue : public ChangeSource {
 public:
  void push(ChangeRecord r) {
    std::lock_guard<std::mutex> g(mu_);
    q_.push_back(r);
    cv_.notify_all();
  }
  ChangeBatch fetch(int size) override {
    std::unique_lock<std::mutex> g(mu_);
    cv_.wait(g, [&] { return q_.size() >= size_t(size) || unblocked_; });
    unblocked_ = false;
    ChangeBatch b;
    while (int(b.records.size()) < size && !q_.empty()) {
      b.records.push_back(q_.front());
      q_.pop_front();
    }
    b.inqueue = int(q_.size());
    return b;
  }
  void unblock() override {
    std::lock_guard<std::mutex> g(mu_);
    unblocked_ = true;
    cv_.notify_all();
  }
  RecordFormat format() const override { return RecordFormat::v2; }
  size_t size() {
    std::lock_guard<std::mutex> g(mu_);
    return q_.size();
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<ChangeRecord> q_;
  bool unblocked_ = false;
};

// A sync returns only once every record queued before it is folded, and it ends even while a
// writer keeps the queue fuller than a batch (waiting for an empty queue would never end).
TEST(Follower, SyncFoldsWhatWasQueuedBeforeItWhileAWriterKeepsTheQueueFull) {
  BlockingQueue q;
  ChangeTracker tr(q, 4);
  tr.record_backup(8, 1, 1280, ChunkSet(10), true, 1, "/i");
  ChangeFollower fol(tr, 4);
  fol.start();
  std::atomic<bool> stop{false};
  // Always more queued than a batch, but never so far ahead that the queue grows for ever.
  std::thread writer([&] {
    for (uint64_t i = 0; !stop; ++i) {
      if (q.size() < 64)
        q.push({8, 3, i % 1000, 8});
      else
        std::this_thread::yield();
    }
  });
  for (int round = 0; round < 20; ++round) {
    q.push({8, 1, uint64_t(round % 10) * 128, 8});
    fol.sync();
    EXPECT_EQ(uint64_t(std::min(round + 1, 10)), tr.lookup(8, 1)->pending.count()) << round;
  }
  stop = true;
  writer.join();
  fol.stop();
  EXPECT_EQ("", fol.failure());
}
