// Red-black trees with the kernel's interface: the caller descends and links
// a node itself (rb_link_node), then rebalances with rb_insert_color. The
// balancing is Boost.Intrusive's rbtree_algorithms (platform/src/rbtree.cpp).
#pragma once
#include <linux/kernel.h>

struct rb_node {
  // Parent pointer with the colour in bit 0 (kernel layout: 0 red, 1 black).
  unsigned long rb_parent_color;
  struct rb_node *rb_right;
  struct rb_node *rb_left;
} __attribute__((aligned(sizeof(long))));

struct rb_root {
  struct rb_node *rb_node;
};

#define RB_RED 0
#define RB_BLACK 1
#define RB_ROOT {NULL}
#define rb_entry(ptr, type, member) container_of(ptr, type, member)
#define rb_parent(r) ((struct rb_node *)((r)->rb_parent_color & ~3UL))
#define rb_color(r) ((r)->rb_parent_color & 1)
#define rb_is_red(r) (!rb_color(r))
#define rb_is_black(r) rb_color(r)
#define RB_EMPTY_ROOT(root) ((root)->rb_node == NULL)
#define RB_EMPTY_NODE(node) (rb_parent(node) == (node))
#define RB_CLEAR_NODE(node) (rb_set_parent(node, node))

static inline void rb_set_parent(struct rb_node *rb, struct rb_node *p) {
  rb->rb_parent_color = (rb->rb_parent_color & 3UL) | (unsigned long)p;
}
static inline void rb_set_color(struct rb_node *rb, int color) {
  rb->rb_parent_color = (rb->rb_parent_color & ~1UL) | (unsigned long)color;
}
static inline void rb_link_node(struct rb_node *node, struct rb_node *parent, struct rb_node **rb_link) {
  node->rb_parent_color = (unsigned long)parent;  // red
  node->rb_left = node->rb_right = NULL;
  *rb_link = node;
}

void rb_insert_color(struct rb_node *node, struct rb_root *root);
void rb_erase(struct rb_node *node, struct rb_root *root);
struct rb_node *rb_next(const struct rb_node *node);
struct rb_node *rb_prev(const struct rb_node *node);
struct rb_node *rb_first(const struct rb_root *root);
struct rb_node *rb_last(const struct rb_root *root);
void rb_replace_node(struct rb_node *victim, struct rb_node *n, struct rb_root *root);
