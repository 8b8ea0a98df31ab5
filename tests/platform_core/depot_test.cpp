// The freed-object store behind slab caches and bios: objects freed on one
// thread serve allocations on another, the store stays bounded, and draining
// gives every kept object back exactly once.
#include <gtest/gtest.h>
#include <host/host.h>
#include <linux/slab.h>

#include <set>
#include <thread>
#include <vector>

#include "../../platform/src/depot.h"
#include "../../platform/src/internal.h"

#include <atomic>
#include <mutex>
#include <deque>

namespace {

// Distinct fake object addresses; the store never touches what they point at.
std::vector<void *> addresses(size_t n, std::vector<char> &backing) {
  backing.assign(n, 0);
  std::vector<void *> out;
  for (size_t i = 0; i < n; i++) out.push_back(&backing[i]);
  return out;
}

TEST(ObjectDepot, ObjectsGivenOnOneThreadAreTakenOnAnother) {
  kplat::object_depot d(256);
  std::vector<char> backing;
  std::vector<void *> objs = addresses(200, backing);
  std::thread giver([&] {
    for (void *p : objs) ASSERT_TRUE(d.give(p));
  });
  giver.join();
  std::vector<void *> taken;
  std::thread taker([&] {
    while (void *p = d.take()) taken.push_back(p);
  });
  taker.join();
  // The giver's magazine may keep up to a magazine's worth; the rest moved to the taker.
  EXPECT_GE(taken.size(), 200u - 32u);
  std::set<void *> given(objs.begin(), objs.end()), seen;
  for (void *p : taken) {
    EXPECT_TRUE(given.count(p)) << "an object nobody gave";
    EXPECT_TRUE(seen.insert(p).second) << "an object handed out twice";
  }
  EXPECT_EQ(d.kept(), 200u - taken.size());
}

TEST(ObjectDepot, StaysBoundedAndDrainsEveryKeptObjectOnce) {
  constexpr size_t kLimit = 100;
  kplat::object_depot d(kLimit);
  std::vector<char> backing;
  std::vector<void *> objs = addresses(5000, backing);
  std::set<void *> accepted;
  std::vector<std::thread> threads;
  std::mutex mu;
  for (int t = 0; t < 4; t++)
    threads.emplace_back([&, t] {
      for (size_t i = size_t(t); i < objs.size(); i += 4)
        if (d.give(objs[i])) {
          std::lock_guard<std::mutex> g(mu);
          accepted.insert(objs[i]);
        }
    });
  for (auto &t : threads) t.join();
  // Refused objects stay the caller's: the store never grows past its shared
  // limit and its magazines.
  EXPECT_LE(accepted.size(), kLimit + 16 * 32);
  EXPECT_GE(accepted.size(), kLimit);
  EXPECT_EQ(d.kept(), accepted.size());
  std::multiset<void *> drained;
  d.drain([&](void *p) { drained.insert(p); });
  EXPECT_EQ(drained.size(), accepted.size());
  for (void *p : accepted) EXPECT_EQ(drained.count(p), 1u);
  EXPECT_EQ(d.kept(), 0u);
  EXPECT_EQ(d.take(), nullptr);
}

TEST(ObjectDepot, CacheObjectsFreedOnOneThreadServeAllocationsOnAnother) {
  struct kmem_cache *c = kmem_cache_create("depot_cross", 48, 0, 0, nullptr);
  ASSERT_NE(c, nullptr);
  constexpr int kN = 300;
  std::vector<void *> first(kN);
  for (auto &p : first) ASSERT_NE(p = kmem_cache_alloc(c, GFP_KERNEL), nullptr);
  std::thread freer([&] {
    for (void *p : first) kmem_cache_free(c, p);
  });
  freer.join();
  EXPECT_EQ(host::kmem_cache_objects("depot_cross"), 0);
  std::vector<void *> second(kN);
  std::thread allocator([&] {
    for (auto &p : second) p = kmem_cache_alloc(c, GFP_KERNEL);
  });
  allocator.join();
  std::set<void *> old(first.begin(), first.end()), now;
  int reused = 0;
  for (void *p : second) {
    ASSERT_NE(p, nullptr);
    EXPECT_TRUE(now.insert(p).second) << "one object handed out twice";
    if (old.count(p)) {
      reused++;
      // Still poisoned from its free: no stale data reaches the new owner.
      EXPECT_EQ(*static_cast<unsigned char *>(p), POISON_FREE);
    }
  }
  EXPECT_GE(reused, kN - 32);
  EXPECT_EQ(host::kmem_cache_objects("depot_cross"), kN);
  for (void *p : second) kmem_cache_free(c, p);
  kmem_cache_destroy(c);
  EXPECT_EQ(host::kmem_cache_objects("depot_cross"), -1);
}

// The live counts behind bios, pages and caches are added to on one line and taken from on
// another. A reader that looks while objects pass from an allocating thread to a freeing one
// never sees a free counted before its allocation, and the count is exact once they stop.
TEST(SplitCount, AReaderNeverSeesAFreeBeforeItsAllocation) {
  kplat::split_count live;
  constexpr int kObjects = 100000;
  constexpr size_t kMaxOut = 8;
  std::mutex mu;
  std::deque<int> passed;  // mu
  std::atomic<bool> done{false};
  long lowest = 0;
  std::thread reader([&] {
    while (!done.load()) lowest = std::min(lowest, live.value());
  });
  std::thread freer([&] {
    for (int freed = 0; freed < kObjects;) {
      std::lock_guard<std::mutex> g(mu);
      while (!passed.empty()) {
        passed.pop_front();
        live.sub();
        freed++;
      }
    }
  });
  for (int i = 0; i < kObjects; i++) {
    for (;;) {
      std::lock_guard<std::mutex> g(mu);
      if (passed.size() < kMaxOut) break;
    }
    live.add();
    std::lock_guard<std::mutex> g(mu);
    passed.push_back(i);
  }
  freer.join();
  done = true;
  reader.join();
  EXPECT_GE(lowest, 0);
  EXPECT_EQ(live.value(), 0);
}

}  // namespace
