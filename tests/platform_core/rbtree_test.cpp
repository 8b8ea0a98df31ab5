// Red-black trees driven the kernel way: own descent, rb_link_node,
// rb_insert_color; then erase, order and balance checks.
#include <gtest/gtest.h>
#include <linux/rbtree.h>
#include <algorithm>
#include <cstdio>
#include <random>
#include <set>
#include <vector>

namespace {

struct item {
  unsigned long key;
  struct rb_node node;
};

bool insert(struct rb_root *root, item *it) {
  struct rb_node **link = &root->rb_node, *parent = nullptr;
  while (*link) {
    parent = *link;
    item *cur = rb_entry(parent, item, node);
    if (it->key < cur->key)
      link = &parent->rb_left;
    else if (it->key > cur->key)
      link = &parent->rb_right;
    else
      return false;
  }
  rb_link_node(&it->node, parent, link);
  rb_insert_color(&it->node, root);
  return true;
}

item *search(struct rb_root *root, unsigned long key) {
  struct rb_node *n = root->rb_node;
  while (n) {
    item *cur = rb_entry(n, item, node);
    if (key < cur->key)
      n = n->rb_left;
    else if (key > cur->key)
      n = n->rb_right;
    else
      return cur;
  }
  return nullptr;
}

// Black height of the subtree; -1 when a red-black rule is broken.
int check(const struct rb_node *n, const struct rb_node *parent) {
  if (!n) return 1;
  if (rb_parent(n) != parent) return -1;
  if (rb_is_red(n) && ((n->rb_left && rb_is_red(n->rb_left)) || (n->rb_right && rb_is_red(n->rb_right))))
    return -1;
  int l = check(n->rb_left, n), r = check(n->rb_right, n);
  if (l < 0 || r < 0 || l != r) return -1;
  return l + (rb_is_black(n) ? 1 : 0);
}

std::vector<unsigned long> in_order(struct rb_root *root) {
  std::vector<unsigned long> out;
  for (struct rb_node *n = rb_first(root); n; n = rb_next(n)) out.push_back(rb_entry(n, item, node)->key);
  return out;
}

TEST(Rbtree, RandomInsertEraseKeepsOrderAndBalance) {
  unsigned seed = std::random_device{}();
  if (const char *s = getenv("RB_SEED")) seed = (unsigned)strtoul(s, nullptr, 10);
  printf("rbtree seed %u (RB_SEED to repeat)\n", seed);
  std::mt19937 rng(seed);
  struct rb_root root = RB_ROOT;
  EXPECT_TRUE(RB_EMPTY_ROOT(&root));
  EXPECT_EQ(rb_first(&root), nullptr);
  std::vector<item> pool(2000);
  std::set<unsigned long> model;
  for (auto &it : pool) {
    it.key = rng() % 5000;
    bool added = insert(&root, &it);
    EXPECT_EQ(added, model.insert(it.key).second);
  }
  ASSERT_GT(check(root.rb_node, nullptr), 0);
  EXPECT_TRUE(rb_is_black(root.rb_node));
  EXPECT_EQ(in_order(&root), std::vector<unsigned long>(model.begin(), model.end()));

  // Erase about half, in random order.
  std::vector<unsigned long> keys(model.begin(), model.end());
  std::shuffle(keys.begin(), keys.end(), rng);
  for (size_t i = 0; i < keys.size() / 2; i++) {
    item *it = search(&root, keys[i]);
    ASSERT_NE(it, nullptr);
    rb_erase(&it->node, &root);
    model.erase(keys[i]);
    if (i % 97 == 0) {
      ASSERT_GT(check(root.rb_node, nullptr), 0) << "after erase " << i;
    }
  }
  ASSERT_GT(check(root.rb_node, nullptr), 0);
  EXPECT_EQ(in_order(&root), std::vector<unsigned long>(model.begin(), model.end()));
  // Backwards too.
  std::vector<unsigned long> back;
  for (struct rb_node *n = rb_last(&root); n; n = rb_prev(n)) back.push_back(rb_entry(n, item, node)->key);
  EXPECT_EQ(back, std::vector<unsigned long>(model.rbegin(), model.rend()));
  // And the rest, down to empty.
  for (size_t i = keys.size() / 2; i < keys.size(); i++) rb_erase(&search(&root, keys[i])->node, &root);
  EXPECT_TRUE(RB_EMPTY_ROOT(&root));
}

TEST(Rbtree, AscendingInsertsStayShallow) {
  struct rb_root root = RB_ROOT;
  std::vector<item> items(1 << 12);
  for (size_t i = 0; i < items.size(); i++) {
    items[i].key = i;
    insert(&root, &items[i]);
  }
  int bh = check(root.rb_node, nullptr);
  ASSERT_GT(bh, 0);
  EXPECT_LE(bh, 13);  // black height <= log2(n) + 1
  EXPECT_EQ(rb_entry(rb_first(&root), item, node)->key, 0u);
  // Erasing the root repeatedly keeps it valid.
  for (int i = 0; i < 100; i++) rb_erase(root.rb_node, &root);
  EXPECT_GT(check(root.rb_node, nullptr), 0);
  EXPECT_EQ(in_order(&root).size(), items.size() - 100);
}

TEST(Rbtree, ReplaceNodeKeepsPosition) {
  struct rb_root root = RB_ROOT;
  item a{1, {}}, b{2, {}}, c{3, {}}, b2{2, {}};
  insert(&root, &a);
  insert(&root, &b);
  insert(&root, &c);
  rb_replace_node(&b.node, &b2.node, &root);
  EXPECT_EQ(search(&root, 2), &b2);
  EXPECT_GT(check(root.rb_node, nullptr), 0);
  EXPECT_EQ(in_order(&root), (std::vector<unsigned long>{1, 2, 3}));
}

}  // namespace
