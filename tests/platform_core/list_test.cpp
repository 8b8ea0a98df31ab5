// List walks over entries of a type aligned to a cache line: when a walk ends, its cursor
// is the head's would-be container, which is no object and not so aligned. The walks must
// not read through it (UBSan's alignment check sees it if they do).
#include <gtest/gtest.h>
#include <linux/compiler.h>
#include <linux/list.h>
#include <linux/slab.h>

#include <cstddef>
#include <vector>

namespace {

struct hot_entry {
  int id;
  long lock_word ____cacheline_aligned_in_smp;
  struct list_head link;
};

// A head inside another record, placed so that its would-be container is never aligned.
struct alignas(64) holder {
  long pad[2];
  struct list_head head;
};
static_assert((offsetof(holder, head) - offsetof(hot_entry, link)) % 64 != 0);

std::vector<int> forward(struct list_head *head) {
  std::vector<int> ids;
  struct hot_entry *e;
  list_for_each_entry(e, head, link) ids.push_back(e->id);
  return ids;
}

std::vector<int> backward(struct list_head *head) {
  std::vector<int> ids;
  struct hot_entry *e;
  list_for_each_entry_reverse(e, head, link) ids.push_back(e->id);
  return ids;
}

TEST(List, WalksOverLineAlignedEntriesVisitEachEntryOnce) {
  holder h{};
  INIT_LIST_HEAD(&h.head);
  EXPECT_TRUE(forward(&h.head).empty());
  EXPECT_TRUE(backward(&h.head).empty());
  struct hot_entry *e, *n;
  list_for_each_entry_safe(e, n, &h.head, link) ADD_FAILURE() << "an empty list has no entry";

  for (int i = 0; i < 4; i++) {
    auto *x = static_cast<hot_entry *>(kzalloc(sizeof(hot_entry), GFP_KERNEL));
    ASSERT_NE(x, nullptr);
    x->id = i;
    list_add_tail(&x->link, &h.head);
  }
  EXPECT_EQ(forward(&h.head), (std::vector<int>{0, 1, 2, 3}));
  EXPECT_EQ(backward(&h.head), (std::vector<int>{3, 2, 1, 0}));

  // From entry 1 on, to the end.
  std::vector<int> rest;
  e = list_first_entry(&h.head, struct hot_entry, link);
  e = list_entry(e->link.next, struct hot_entry, link);
  list_for_each_entry_continue(e, &h.head, link) rest.push_back(e->id);
  EXPECT_EQ(rest, (std::vector<int>{2, 3}));

  // Removing while walking, both ways, empties the list.
  list_for_each_entry_safe_reverse(e, n, &h.head, link) if (e->id % 2) {
    list_del(&e->link);
    kfree(e);
  }
  EXPECT_EQ(forward(&h.head), (std::vector<int>{0, 2}));
  list_for_each_entry_safe(e, n, &h.head, link) {
    list_del(&e->link);
    kfree(e);
  }
  EXPECT_TRUE(list_empty(&h.head));
}

}  // namespace
