// Fault rules: next N, after K, predicates, errors and values, counters.
#include <gtest/gtest.h>
#include <host/host.h>
#include <linux/kernel.h>
#include <linux/slab.h>
#include <atomic>
#include <cstring>
#include <thread>

namespace {

class Fault : public ::testing::Test {
 protected:
  void SetUp() override { host::fault_reset(); }
  void TearDown() override { host::fault_reset(); }
};

int fails_in(int calls, const char *point, kplat::fault_ctx ctx = {}) {
  int n = 0;
  for (int i = 0; i < calls; i++) n += kplat::fault_hit(point, ctx);
  return n;
}

TEST_F(Fault, NextNAndAfterK) {
  host::fault_fail_next("p1", 2);
  EXPECT_TRUE(kplat::fault_hit("p1"));
  EXPECT_TRUE(kplat::fault_hit("p1"));
  EXPECT_FALSE(kplat::fault_hit("p1"));
  EXPECT_EQ(host::fault_hits("p1"), 3);
  EXPECT_EQ(host::fault_failures("p1"), 2);

  host::fault_fail_after("p2", 3, 2);
  bool seen[7];
  for (bool &s : seen) s = kplat::fault_hit("p2");
  EXPECT_FALSE(seen[0] || seen[1] || seen[2]);
  EXPECT_TRUE(seen[3] && seen[4]);
  EXPECT_FALSE(seen[5] || seen[6]);

  host::fault_fail_next("p3", -1);  // every call until cleared
  EXPECT_EQ(fails_in(50, "p3"), 50);
  host::fault_clear("p3");
  EXPECT_EQ(fails_in(5, "p3"), 0);
  EXPECT_EQ(host::fault_hits("p3"), 55);
  EXPECT_EQ(host::fault_hits("never_reached"), 0);
}

TEST_F(Fault, PredicatesSeeTheCallContext) {
  // Fail only one cache's allocations, by name.
  host::fault_fail_if("kmem_cache_alloc",
                      [](const host::fault_ctx &c) { return c.name && strcmp(c.name, "qel_fc_cache") == 0; });
  struct kmem_cache *fc = kmem_cache_create("qel_fc_cache", 64, 0, SLAB_HWCACHE_ALIGN, nullptr);
  struct kmem_cache *rb = kmem_cache_create("qel_rb_cache", 64, 0, SLAB_HWCACHE_ALIGN, nullptr);
  ASSERT_TRUE(fc && rb);
  for (int i = 0; i < 3; i++) EXPECT_EQ(kmem_cache_alloc(fc, GFP_ATOMIC), nullptr);
  void *p = kmem_cache_alloc(rb, GFP_ATOMIC);
  EXPECT_NE(p, nullptr);
  kmem_cache_free(rb, p);
  EXPECT_EQ(host::fault_failures("kmem_cache_alloc"), 3);
  kmem_cache_destroy(fc);
  kmem_cache_destroy(rb);

  // By gfp flags: sleeping allocations fail, atomic ones pass.
  host::fault_fail_if("kmalloc", [](const host::fault_ctx &c) { return (c.gfp & __GFP_WAIT) != 0; });
  EXPECT_EQ(kmalloc(16, GFP_KERNEL), nullptr);
  void *a = kmalloc(16, GFP_ATOMIC);
  EXPECT_NE(a, nullptr);
  kfree(a);

  // By size, limited count, with a predicate and a skip together.
  host::fault_rule r;
  r.match = [](const host::fault_ctx &c) { return c.size == 4096; };
  r.skip = 1;
  r.count = 1;
  host::fault_inject("p", r);
  kplat::fault_ctx small, page;
  small.size = 8;
  page.size = 4096;
  EXPECT_FALSE(kplat::fault_hit("p", small));
  EXPECT_FALSE(kplat::fault_hit("p", page));  // skipped
  EXPECT_FALSE(kplat::fault_hit("p", small));
  EXPECT_TRUE(kplat::fault_hit("p", page));
  EXPECT_FALSE(kplat::fault_hit("p", page));  // spent
}

TEST_F(Fault, RulesCarryErrorAndValueAndFirstMatchDecides) {
  host::fault_rule enospc;
  enospc.error = -28;
  host::fault_inject("file_write", enospc);
  host::fault_rule shrt;
  shrt.value = 100;
  host::fault_inject("file_write", shrt);
  kplat::fault_outcome o;
  ASSERT_TRUE(kplat::fault_hit("file_write", {}, &o));
  EXPECT_EQ(o.error, -28);
  ASSERT_TRUE(kplat::fault_hit("file_write", {}, &o));
  EXPECT_EQ(o.error, 0);
  EXPECT_EQ(o.value, 100);
  EXPECT_FALSE(kplat::fault_hit("file_write", {}, &o));
}

TEST_F(Fault, ResetClearsRulesAndCounters) {
  host::fault_fail_next("kmalloc", -1);
  EXPECT_EQ(kmalloc(4, GFP_ATOMIC), nullptr);
  host::fault_reset();
  EXPECT_EQ(host::fault_hits("kmalloc"), 0);
  EXPECT_EQ(host::fault_failures("kmalloc"), 0);
  void *p = kmalloc(4, GFP_ATOMIC);
  EXPECT_NE(p, nullptr);
  kfree(p);
  EXPECT_EQ(host::fault_hits("kmalloc"), 1);
}

// Hits are counted per thread; a read must see those of threads still running and of
// threads gone, and a reset must clear both.
TEST_F(Fault, HitsOfOtherThreadsCountWhileTheyRunAndAfterTheyEnd) {
  std::atomic<int> stage{0};
  std::thread live([&] {
    fails_in(7, "mt");
    stage = 1;
    while (stage != 2) std::this_thread::yield();
    fails_in(2, "mt");
    stage = 3;
    while (stage != 4) std::this_thread::yield();
  });
  std::thread gone([] { fails_in(5, "mt"); });
  gone.join();
  while (stage != 1) std::this_thread::yield();
  fails_in(1, "mt");
  EXPECT_EQ(host::fault_hits("mt"), 13);

  host::fault_reset();
  EXPECT_EQ(host::fault_hits("mt"), 0);
  stage = 2;
  while (stage != 3) std::this_thread::yield();
  EXPECT_EQ(host::fault_hits("mt"), 2) << "the running thread counts on from zero after a reset";
  stage = 4;
  live.join();
  EXPECT_EQ(host::fault_hits("mt"), 2) << "its count stays once it has ended";
}

}  // namespace
