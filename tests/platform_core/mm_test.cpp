// Allocators: live counters, poisoning, pools, pages and fault points.
#include <gtest/gtest.h>
#include <host/host.h>
#include <linux/kernel.h>
#include <linux/slab.h>
#include <linux/mempool.h>
#include <linux/vmalloc.h>
#include <linux/mm.h>
#include <linux/highmem.h>
#include <linux/vmstat.h>
#include <linux/kthread.h>
#include <linux/delay.h>
#include <linux/fs.h>
#include <linux/spinlock.h>
#include <linux/compiler.h>
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace {

class Mm : public ::testing::Test {
 protected:
  void SetUp() override {
    host::fault_reset();
    host::dmesg_clear();
  }
  void TearDown() override { host::fault_reset(); }
};

bool log_has(const std::string &needle) {
  for (auto &l : host::dmesg())
    if (l.find(needle) != std::string::npos) return true;
  return false;
}

TEST_F(Mm, KmallocCountsZeroesAndHandlesEdgeSizes) {
  long base = host::kmalloc_in_use();
  char *p = static_cast<char *>(kzalloc(100, GFP_KERNEL));
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(*std::max_element(p, p + 100), 0);
  EXPECT_EQ(host::kmalloc_in_use(), base + 1);
  kfree(p);
  EXPECT_EQ(host::kmalloc_in_use(), base);
  void *z = kmalloc(0, GFP_KERNEL);
  EXPECT_EQ(z, ZERO_SIZE_PTR);
  kfree(z);
  kfree(nullptr);
  EXPECT_EQ(kmalloc(KMALLOC_MAX_SIZE + 1, GFP_KERNEL), nullptr);
  EXPECT_EQ(host::kmalloc_in_use(), base);
  EXPECT_EQ(kcalloc(ULONG_MAX / 2, 4, GFP_KERNEL), nullptr);
}

// A structure with a lock on a line of its own must start on a line when kmalloc'd, or
// the lock shares its line after all (and the access is misaligned).
TEST_F(Mm, KmallocStartsLineSizedStructuresOnALine) {
  struct hot {
    long read_mostly;
    spinlock_t lock ____cacheline_aligned_in_smp;
    long count;
  };
  static_assert(sizeof(hot) % 64 == 0);
  std::vector<void *> kept;
  for (int i = 0; i < 64; i++) {
    auto *h = static_cast<hot *>(kzalloc(sizeof(hot), GFP_KERNEL));
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(h) % 64, 0u);
    EXPECT_EQ(h->count, 0);
    h->count = i;
    kept.push_back(kmalloc(24, GFP_KERNEL));  // odd sizes in between shift the heap
    auto *g = static_cast<hot *>(krealloc(h, 2 * sizeof(hot), GFP_KERNEL));
    ASSERT_NE(g, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(g) % 64, 0u);
    EXPECT_EQ(g->count, i);
    kfree(g);
  }
  for (void *p : kept) kfree(p);
}

// Freed blocks serve later kmallocs, here across threads as on the request paths: every
// block handed out holds the size asked for (written in full, so AddressSanitizer sees a
// block too small), blocks of a line or more start on a line, and the count of live
// blocks comes back to where it was.
TEST_F(Mm, KmallocReusesFreedBlocksAcrossThreadsAtTheirFullSize) {
  long base = host::kmalloc_in_use();
  const size_t sizes[] = {1, 24, 33, 64, 100, 128, 255, 600, 1024, 1500, 5000};
  std::vector<void *> handed;
  std::mutex mu;
  auto allocate = [&](int round) {
    for (int i = 0; i < 300; i++) {
      size_t n = sizes[(i + round) % (sizeof(sizes) / sizeof(sizes[0]))];
      auto *p = static_cast<unsigned char *>(kmalloc(n, GFP_KERNEL));
      ASSERT_NE(p, nullptr);
      if (n >= 64) {
        EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 64, 0u) << n;
      }
      memset(p, 0xa5, n);
      std::lock_guard<std::mutex> g(mu);
      handed.push_back(p);
    }
  };
  for (int round = 0; round < 3; round++) {
    std::thread(allocate, round).join();
    std::vector<void *> mine;
    {
      std::lock_guard<std::mutex> g(mu);
      mine.swap(handed);
    }
    std::thread([&] {
      for (void *p : mine) kfree(p);
    }).join();
  }
  EXPECT_EQ(host::kmalloc_in_use(), base);
}

TEST_F(Mm, CacheCountsPoisonsAndComplainsOnDestroyWithLiveObjects) {
  struct rec {
    long a, b, c;
  };
  struct kmem_cache *c = kmem_cache_create("qel_rb_cache", sizeof(rec), 0, SLAB_HWCACHE_ALIGN, nullptr);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->align, 32u);  // a cache line halved while two objects still fit
  EXPECT_EQ(host::kmem_cache_objects("qel_rb_cache"), 0);
  rec *r1 = static_cast<rec *>(kmem_cache_alloc(c, GFP_ATOMIC));
  rec *r2 = static_cast<rec *>(kmem_cache_zalloc(c, GFP_KERNEL));
  ASSERT_TRUE(r1 && r2);
  EXPECT_EQ((uintptr_t)r1 % 32, 0u);
  EXPECT_EQ(r2->a | r2->b | r2->c, 0);
  EXPECT_EQ(host::kmem_cache_objects("qel_rb_cache"), 2);
  kmem_cache_free(c, r1);
  EXPECT_EQ(host::kmem_cache_objects("qel_rb_cache"), 1);

  kmem_cache_destroy(c);  // one object still live: refused and logged
  EXPECT_TRUE(log_has("kmem_cache_destroy(): cache `qel_rb_cache': Can't free all objects"));
  EXPECT_EQ(host::kmem_cache_objects("qel_rb_cache"), 1);
  kmem_cache_free(c, r2);
  kmem_cache_destroy(c);
  EXPECT_EQ(host::kmem_cache_objects("qel_rb_cache"), -1);
  kmem_cache_destroy(nullptr);
}

TEST_F(Mm, CacheReusesFreedObjectsPoisonedAndZeroesOnAsk) {
  struct rec {
    long a, b, c, d;
  };
  struct kmem_cache *c = kmem_cache_create("qel_fc_cache", sizeof(rec), 0, 0, nullptr);
  ASSERT_NE(c, nullptr);
  rec *r = static_cast<rec *>(kmem_cache_zalloc(c, GFP_NOIO));
  ASSERT_NE(r, nullptr);
  r->a = r->b = r->c = r->d = 42;
  kmem_cache_free(c, r);
  EXPECT_EQ(host::kmem_cache_objects("qel_fc_cache"), 0);

  rec *again = static_cast<rec *>(kmem_cache_alloc(c, GFP_NOIO));
  EXPECT_EQ(again, r) << "a freed object is handed out again";
  const unsigned char *bytes = reinterpret_cast<const unsigned char *>(again);
  for (size_t i = 0; i < sizeof(rec); i++) ASSERT_EQ(bytes[i], POISON_FREE) << i;  // no stale data
  kmem_cache_free(c, again);
  rec *zeroed = static_cast<rec *>(kmem_cache_zalloc(c, GFP_NOIO));
  EXPECT_EQ(zeroed->a | zeroed->b | zeroed->c | zeroed->d, 0);
  EXPECT_EQ(host::kmem_cache_objects("qel_fc_cache"), 1);
#if defined(__SANITIZE_ADDRESS__)
  kmem_cache_free(c, zeroed);
  EXPECT_DEATH({ (void)*(volatile long *)&zeroed->b; }, "use-after-poison");
#else
  kmem_cache_free(c, zeroed);
#endif
  kmem_cache_destroy(c);  // gives back the kept objects too
  EXPECT_EQ(host::kmem_cache_objects("qel_fc_cache"), -1);
}

TEST_F(Mm, CacheConstructorRunsAndBadArgumentsFail) {
  static int ctor_calls = 0;
  struct kmem_cache *c = kmem_cache_create("ctor_cache", 64, 0, 0, [](void *p) {
    ctor_calls++;
    memset(p, 0x5a, 64);
  });
  ASSERT_NE(c, nullptr);
  auto *p = static_cast<unsigned char *>(kmem_cache_alloc(c, GFP_KERNEL));
  EXPECT_EQ(ctor_calls, 1);
  EXPECT_EQ(p[63], 0x5a);
  kmem_cache_free(c, p);
  kmem_cache_destroy(c);
  EXPECT_EQ(kmem_cache_create(nullptr, 64, 0, 0, nullptr), nullptr);
  EXPECT_EQ(kmem_cache_create("tiny", 1, 0, 0, nullptr), nullptr);
}

TEST_F(Mm, MempoolPreallocatesAndFallsBackOnItsReserve) {
  long base = host::kmalloc_in_use();
  mempool_t *pool = mempool_create(256, mempool_kmalloc, mempool_kfree, (void *)456);
  ASSERT_NE(pool, nullptr);
  EXPECT_EQ(pool->curr_nr, 256);
  EXPECT_EQ(host::kmalloc_in_use(), base + 256 + 2);  // elements, the pool and its array
  // The allocator fails: elements come from the reserve, and go back to it.
  host::fault_fail_next("kmalloc", 2);
  void *a = mempool_alloc(pool, GFP_NOIO);
  void *b = mempool_alloc(pool, GFP_ATOMIC);
  ASSERT_TRUE(a && b);
  EXPECT_EQ(pool->curr_nr, 254);
  mempool_free(a, pool);
  mempool_free(b, pool);
  EXPECT_EQ(pool->curr_nr, 256);
  mempool_destroy(pool);
  EXPECT_EQ(host::kmalloc_in_use(), base);

  // An empty reserve with a failing allocator: a non-waiting allocation fails,
  // a waiting one sleeps until an element is freed.
  pool = mempool_create_kmalloc_pool(1, 32);
  ASSERT_NE(pool, nullptr);
  host::fault_fail_if("kmalloc", [](const host::fault_ctx &c) { return c.size == 32; });
  void *only = mempool_alloc(pool, GFP_ATOMIC);
  ASSERT_NE(only, nullptr);
  EXPECT_EQ(mempool_alloc(pool, GFP_ATOMIC), nullptr);
  std::thread giver([&] {
    msleep(20);
    mempool_free(only, pool);
  });
  void *again = mempool_alloc(pool, GFP_KERNEL);
  giver.join();
  EXPECT_EQ(again, only);
  host::fault_reset();
  mempool_free(again, pool);
  mempool_destroy(pool);

  host::fault_fail_next("mempool_create");
  EXPECT_EQ(mempool_create_kmalloc_pool(4, 8), nullptr);
  host::fault_fail_after("kmalloc", 3);  // the pool, its array and one element, then a failure
  EXPECT_EQ(mempool_create_kmalloc_pool(4, 8), nullptr);
  EXPECT_EQ(host::kmalloc_in_use(), base);  // unwound
}

TEST_F(Mm, PagesCountPrivateWordAndZoneState) {
  long base = host::pages_in_use();
  struct page *p = alloc_page(GFP_NOIO);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(host::pages_in_use(), base + 1);
  EXPECT_EQ((uintptr_t)page_address(p) % PAGE_SIZE, 0u);
  EXPECT_EQ(kmap(p), page_address(p));
  set_page_private(p, 0xabcUL);
  EXPECT_EQ(page_private(p), 0xabcUL);
  memset(kmap_atomic(p, KM_USER0), 7, PAGE_SIZE);
  kunmap_atomic(page_address(p), KM_USER0);
  EXPECT_FALSE(in_atomic());

  long dirty = host::zone_page_state(NR_FILE_DIRTY);
  inc_zone_page_state(p, NR_FILE_DIRTY);
  EXPECT_EQ(global_page_state(NR_FILE_DIRTY), (unsigned long)(dirty + 1));
  dec_zone_page_state(p, NR_FILE_DIRTY);
  dec_zone_page_state(p, NR_FILE_DIRTY);
  if (dirty == 0) {
    EXPECT_EQ(global_page_state(NR_FILE_DIRTY), 0u);  // a negative sum reads as 0
  }
  inc_zone_page_state(p, NR_FILE_DIRTY);
  EXPECT_EQ(host::zone_page_state(NR_FILE_DIRTY), dirty);

  struct page *big = alloc_pages(GFP_KERNEL | __GFP_ZERO, 2);
  ASSERT_NE(big, nullptr);
  EXPECT_EQ(host::pages_in_use(), base + 5);
  EXPECT_EQ((char *)page_address(big + 3) - (char *)page_address(big), 3 * (long)PAGE_SIZE);
  EXPECT_EQ(virt_to_page((char *)page_address(big) + 2 * PAGE_SIZE + 17), big + 2);
  __free_pages(big, 2);
  __free_page(p);
  EXPECT_EQ(host::pages_in_use(), base);

  unsigned long addr = get_zeroed_page(GFP_KERNEL);
  ASSERT_NE(addr, 0u);
  EXPECT_EQ(host::pages_in_use(), base + 1);
  free_page(addr);
  EXPECT_EQ(host::pages_in_use(), base);
}

TEST_F(Mm, FreedPagesAreReusedCleanAndMisusedFreesAreReported) {
  long base = host::pages_in_use();
  struct page *p = alloc_page(GFP_NOIO);
  ASSERT_NE(p, nullptr);
  void *mem = page_address(p);
  set_page_private(p, 0x55UL);
  p->index = 9;
  get_page(p);
  put_page(p);  // one reference left: still in use
  EXPECT_EQ(host::pages_in_use(), base + 1);
  __free_page(p);
  EXPECT_EQ(host::pages_in_use(), base);

  // A freed page's memory comes back, with the page's words as a new page has them.
  struct page *q = alloc_page(GFP_NOIO | __GFP_ZERO);
  ASSERT_NE(q, nullptr);
  EXPECT_EQ(page_address(q), mem);
  EXPECT_EQ(page_private(q), 0u);
  EXPECT_EQ(q->index, 0u);
  EXPECT_EQ(q->flags, 0u);
  EXPECT_EQ(atomic_read(&q->_count), 1);
  EXPECT_EQ(virt_to_page((char *)mem + 100), q);
  const char *bytes = static_cast<const char *>(mem);
  EXPECT_EQ(*std::max_element(bytes, bytes + PAGE_SIZE), 0);
  __free_page(q);

  __free_page(q);  // twice: reported, and the page is not handed out twice
  EXPECT_TRUE(log_has("BUG: __free_pages of a page that is already free"));
  struct page *a = alloc_page(GFP_NOIO), *b = alloc_page(GFP_NOIO);
  ASSERT_TRUE(a && b);
  EXPECT_NE(a, b);
  EXPECT_EQ(host::pages_in_use(), base + 2);

  struct page *block = alloc_pages(GFP_KERNEL, 1);
  ASSERT_NE(block, nullptr);
  __free_page(block + 1);
  EXPECT_TRUE(log_has("BUG: __free_pages of a page inside a block; free its first page"));
  EXPECT_EQ(host::pages_in_use(), base + 4);
  __free_pages(block, 1);
  __free_page(a);
  __free_page(b);
  EXPECT_EQ(host::pages_in_use(), base);
}

TEST_F(Mm, VmallocIsPageAlignedAndCounted) {
  long base = host::vmalloc_in_use();
  char *v = static_cast<char *>(vzalloc(3 * PAGE_SIZE + 5));
  ASSERT_NE(v, nullptr);
  EXPECT_EQ((uintptr_t)v % PAGE_SIZE, 0u);
  EXPECT_EQ(v[3 * PAGE_SIZE + 4], 0);
  EXPECT_EQ(host::vmalloc_in_use(), base + 1);
  vfree(v);
  vfree(nullptr);
  EXPECT_EQ(host::vmalloc_in_use(), base);
  EXPECT_EQ(vmalloc(0), nullptr);
}

// Every named allocator point can be made to fail, with counted hits.
TEST_F(Mm, EveryAllocatorHonoursItsFaultPoint) {
  struct kmem_cache *c = kmem_cache_create("fault_cache", 40, 0, 0, nullptr);
  ASSERT_NE(c, nullptr);
  host::fault_fail_next("kmalloc");
  EXPECT_EQ(kmalloc(8, GFP_KERNEL), nullptr);
  host::fault_fail_next("kmem_cache_alloc");
  EXPECT_EQ(kmem_cache_alloc(c, GFP_ATOMIC), nullptr);
  host::fault_fail_next("kmem_cache_create");
  EXPECT_EQ(kmem_cache_create("other", 40, 0, 0, nullptr), nullptr);
  host::fault_fail_next("alloc_page");
  EXPECT_EQ(alloc_page(GFP_KERNEL), nullptr);
  host::fault_fail_next("vmalloc");
  EXPECT_EQ(vmalloc(100), nullptr);
  host::fault_fail_next("kthread_create");
  struct task_struct *k = kthread_create([](void *) { return 0; }, nullptr, "kt");
  ASSERT_TRUE(IS_ERR(k));
  EXPECT_EQ(PTR_ERR(k), -ENOMEM);
  host::fault_fail_next("register_chrdev");
  static const struct file_operations fops = {};
  EXPECT_EQ(__register_chrdev(120, 0, 256, "vekdriver", &fops), -EBUSY);
  EXPECT_TRUE(host::chrdevs().empty());
  for (const char *pt : {"kmalloc", "kmem_cache_alloc", "kmem_cache_create", "alloc_page", "vmalloc",
                         "kthread_create", "register_chrdev"})
    EXPECT_EQ(host::fault_failures(pt), 1) << pt;

  // Everything works again once the rules are spent.
  void *p = kmem_cache_alloc(c, GFP_ATOMIC);
  EXPECT_NE(p, nullptr);
  kmem_cache_free(c, p);
  kmem_cache_destroy(c);
}

}  // namespace
