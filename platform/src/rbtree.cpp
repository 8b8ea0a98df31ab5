// Red-black tree rebalancing through Boost.Intrusive's rbtree_algorithms on
// the kernel's node layout. Boost keeps a header node (parent = root, left =
// leftmost, right = rightmost, root's parent = header); the kernel keeps
// just a root pointer with a null parent. Each operation builds a header
// around the tree for the call and takes it away afterwards.
#include <boost/intrusive/rbtree_algorithms.hpp>
#include <linux/rbtree.h>

namespace {

struct rb_traits {
  typedef struct rb_node node;
  typedef struct rb_node *node_ptr;
  typedef const struct rb_node *const_node_ptr;
  typedef int color;
  static node_ptr get_parent(const_node_ptr n) { return rb_parent(n); }
  static void set_parent(node_ptr n, node_ptr p) { rb_set_parent(n, p); }
  static node_ptr get_left(const_node_ptr n) { return n->rb_left; }
  static void set_left(node_ptr n, node_ptr l) { n->rb_left = l; }
  static node_ptr get_right(const_node_ptr n) { return n->rb_right; }
  static void set_right(node_ptr n, node_ptr r) { n->rb_right = r; }
  static color get_color(const_node_ptr n) { return (int)rb_color(n); }
  static void set_color(node_ptr n, color c) { rb_set_color(n, c); }
  static color black() { return RB_BLACK; }
  static color red() { return RB_RED; }
};
typedef boost::intrusive::rbtree_algorithms<rb_traits> algo;

struct rb_node *leftmost(struct rb_node *n) {
  while (n && n->rb_left) n = n->rb_left;
  return n;
}
struct rb_node *rightmost(struct rb_node *n) {
  while (n && n->rb_right) n = n->rb_right;
  return n;
}

// A Boost header around root for one call.
class header_scope {
 public:
  explicit header_scope(struct rb_root *root) : root_(root) {
    h_.rb_parent_color = 0;
    rb_set_color(&h_, RB_RED);  // Boost tells the header from the root by colour
    struct rb_node *r = root->rb_node;
    if (r) {
      rb_set_parent(&h_, r);
      rb_set_parent(r, &h_);
      h_.rb_left = leftmost(r);
      h_.rb_right = rightmost(r);
    } else {
      rb_set_parent(&h_, nullptr);
      h_.rb_left = h_.rb_right = &h_;
    }
  }
  ~header_scope() {
    struct rb_node *r = rb_parent(&h_);
    root_->rb_node = r;
    if (r) rb_set_parent(r, nullptr);
  }
  struct rb_node *get() { return &h_; }

 private:
  struct rb_root *root_;
  struct rb_node h_;
};

}  // namespace

void rb_insert_color(struct rb_node *node, struct rb_root *root) {
  // The caller linked node in (rb_link_node); unlink it and let Boost commit
  // the same position, which also rebalances.
  struct rb_node *parent = rb_parent(node);
  algo::insert_commit_data commit;
  if (!parent) {
    root->rb_node = nullptr;
  } else {
    commit.link_left = parent->rb_left == node;
    if (commit.link_left)
      parent->rb_left = nullptr;
    else
      parent->rb_right = nullptr;
  }
  header_scope h(root);
  commit.node = parent ? parent : h.get();
  algo::insert_unique_commit(h.get(), node, commit);
}

void rb_erase(struct rb_node *node, struct rb_root *root) {
  header_scope h(root);
  algo::erase(h.get(), node);
}

struct rb_node *rb_first(const struct rb_root *root) { return leftmost(root->rb_node); }
struct rb_node *rb_last(const struct rb_root *root) { return rightmost(root->rb_node); }

struct rb_node *rb_next(const struct rb_node *node) {
  if (rb_parent(node) == node) return nullptr;  // an empty (cleared) node
  if (node->rb_right) return leftmost(node->rb_right);
  struct rb_node *parent;
  while ((parent = rb_parent(node)) && node == parent->rb_right) node = parent;
  return parent;
}

struct rb_node *rb_prev(const struct rb_node *node) {
  if (rb_parent(node) == node) return nullptr;
  if (node->rb_left) return rightmost(node->rb_left);
  struct rb_node *parent;
  while ((parent = rb_parent(node)) && node == parent->rb_left) node = parent;
  return parent;
}

void rb_replace_node(struct rb_node *victim, struct rb_node *n, struct rb_root *root) {
  struct rb_node *parent = rb_parent(victim);
  if (parent) {
    if (victim == parent->rb_left)
      parent->rb_left = n;
    else
      parent->rb_right = n;
  } else {
    root->rb_node = n;
  }
  if (victim->rb_left) rb_set_parent(victim->rb_left, n);
  if (victim->rb_right) rb_set_parent(victim->rb_right, n);
  *n = *victim;
}
