// Doubly linked circular lists, the kernel's API.
#pragma once
#include <linux/kernel.h>

struct list_head {
  struct list_head *next, *prev;
};

#define LIST_POISON1 ((struct list_head *)0x00100100)
#define LIST_POISON2 ((struct list_head *)0x00200200)

#define LIST_HEAD_INIT(name) {&(name), &(name)}
#define LIST_HEAD(name) struct list_head name = LIST_HEAD_INIT(name)

static inline void INIT_LIST_HEAD(struct list_head *list) {
  list->next = list;
  list->prev = list;
}
static inline void __list_add(struct list_head *n, struct list_head *prev, struct list_head *next) {
  next->prev = n;
  n->next = next;
  n->prev = prev;
  prev->next = n;
}
static inline void list_add(struct list_head *n, struct list_head *head) { __list_add(n, head, head->next); }
static inline void list_add_tail(struct list_head *n, struct list_head *head) { __list_add(n, head->prev, head); }
static inline void __list_del(struct list_head *prev, struct list_head *next) {
  next->prev = prev;
  prev->next = next;
}
static inline void list_del(struct list_head *entry) {
  __list_del(entry->prev, entry->next);
  entry->next = LIST_POISON1;
  entry->prev = LIST_POISON2;
}
static inline void list_del_init(struct list_head *entry) {
  __list_del(entry->prev, entry->next);
  INIT_LIST_HEAD(entry);
}
static inline void list_replace(struct list_head *old, struct list_head *n) {
  n->next = old->next;
  n->next->prev = n;
  n->prev = old->prev;
  n->prev->next = n;
}
static inline void list_replace_init(struct list_head *old, struct list_head *n) {
  list_replace(old, n);
  INIT_LIST_HEAD(old);
}
static inline void list_move(struct list_head *list, struct list_head *head) {
  __list_del(list->prev, list->next);
  list_add(list, head);
}
static inline void list_move_tail(struct list_head *list, struct list_head *head) {
  __list_del(list->prev, list->next);
  list_add_tail(list, head);
}
static inline int list_is_last(const struct list_head *list, const struct list_head *head) {
  return list->next == head;
}
static inline int list_empty(const struct list_head *head) { return head->next == head; }
static inline int list_empty_careful(const struct list_head *head) {
  struct list_head *next = head->next;
  return (next == head) && (next == head->prev);
}
static inline int list_is_singular(const struct list_head *head) {
  return !list_empty(head) && (head->next == head->prev);
}
static inline void __list_splice(const struct list_head *list, struct list_head *prev, struct list_head *next) {
  struct list_head *first = list->next;
  struct list_head *last = list->prev;
  first->prev = prev;
  prev->next = first;
  last->next = next;
  next->prev = last;
}
static inline void list_splice(const struct list_head *list, struct list_head *head) {
  if (!list_empty(list)) __list_splice(list, head, head->next);
}
static inline void list_splice_tail(struct list_head *list, struct list_head *head) {
  if (!list_empty(list)) __list_splice(list, head->prev, head);
}
static inline void list_splice_init(struct list_head *list, struct list_head *head) {
  if (!list_empty(list)) {
    __list_splice(list, head, head->next);
    INIT_LIST_HEAD(list);
  }
}
static inline void list_splice_tail_init(struct list_head *list, struct list_head *head) {
  if (!list_empty(list)) {
    __list_splice(list, head->prev, head);
    INIT_LIST_HEAD(list);
  }
}
static inline void __list_cut_position(struct list_head *list, struct list_head *head, struct list_head *entry) {
  struct list_head *new_first = entry->next;
  list->next = head->next;
  list->next->prev = list;
  list->prev = entry;
  entry->next = list;
  head->next = new_first;
  new_first->prev = head;
}
static inline void list_cut_position(struct list_head *list, struct list_head *head, struct list_head *entry) {
  if (list_empty(head)) return;
  if (list_is_singular(head) && (head->next != entry && head != entry)) return;
  if (entry == head)
    INIT_LIST_HEAD(list);
  else
    __list_cut_position(list, head, entry);
}

#define list_entry(ptr, type, member) container_of(ptr, type, member)
#define list_first_entry(ptr, type, member) list_entry((ptr)->next, type, member)
#define list_last_entry(ptr, type, member) list_entry((ptr)->prev, type, member)
#define list_for_each(pos, head) for (pos = (head)->next; pos != (head); pos = pos->next)
#define __list_for_each(pos, head) list_for_each(pos, head)
#define list_for_each_prev(pos, head) for (pos = (head)->prev; pos != (head); pos = pos->prev)
#define list_for_each_safe(pos, n, head) \
  for (pos = (head)->next, n = pos->next; pos != (head); pos = n, n = pos->next)
#define list_for_each_prev_safe(pos, n, head) \
  for (pos = (head)->prev, n = pos->prev; pos != (head); pos = n, n = pos->prev)
// The list_head inside pos, by address arithmetic. When a walk ends, pos is the
// would-be container of the head: not a real object, and not aligned like one, so
// nothing is read through it as if it were.
#define __list_member(pos, member) \
  ((struct list_head *)((char *)(pos) + offsetof(__typeof__(*(pos)), member)))
#define list_for_each_entry(pos, head, member)                             \
  for (pos = list_entry((head)->next, __typeof__(*pos), member);           \
       __list_member(pos, member) != (head);                               \
       pos = list_entry(__list_member(pos, member)->next, __typeof__(*pos), member))
#define list_for_each_entry_reverse(pos, head, member)                     \
  for (pos = list_entry((head)->prev, __typeof__(*pos), member);           \
       __list_member(pos, member) != (head);                               \
       pos = list_entry(__list_member(pos, member)->prev, __typeof__(*pos), member))
#define list_for_each_entry_continue(pos, head, member)                    \
  for (pos = list_entry(__list_member(pos, member)->next, __typeof__(*pos), member); \
       __list_member(pos, member) != (head);                               \
       pos = list_entry(__list_member(pos, member)->next, __typeof__(*pos), member))
#define list_for_each_entry_safe(pos, n, head, member)                     \
  for (pos = list_entry((head)->next, __typeof__(*pos), member),           \
      n = list_entry(__list_member(pos, member)->next, __typeof__(*pos), member); \
       __list_member(pos, member) != (head);                               \
       pos = n, n = list_entry(__list_member(n, member)->next, __typeof__(*n), member))
#define list_for_each_entry_safe_reverse(pos, n, head, member)             \
  for (pos = list_entry((head)->prev, __typeof__(*pos), member),           \
      n = list_entry(__list_member(pos, member)->prev, __typeof__(*pos), member); \
       __list_member(pos, member) != (head);                               \
       pos = n, n = list_entry(__list_member(n, member)->prev, __typeof__(*n), member))

// Singly headed hash lists.
struct hlist_node {
  struct hlist_node *next, **pprev;
};
struct hlist_head {
  struct hlist_node *first;
};
#define HLIST_HEAD_INIT {NULL}
#define INIT_HLIST_HEAD(ptr) ((ptr)->first = NULL)
static inline void INIT_HLIST_NODE(struct hlist_node *h) {
  h->next = NULL;
  h->pprev = NULL;
}
static inline int hlist_unhashed(const struct hlist_node *h) { return !h->pprev; }
static inline int hlist_empty(const struct hlist_head *h) { return !h->first; }
static inline void __hlist_del(struct hlist_node *n) {
  struct hlist_node *next = n->next;
  struct hlist_node **pprev = n->pprev;
  *pprev = next;
  if (next) next->pprev = pprev;
}
static inline void hlist_del(struct hlist_node *n) {
  __hlist_del(n);
  n->next = (struct hlist_node *)LIST_POISON1;
  n->pprev = (struct hlist_node **)LIST_POISON2;
}
static inline void hlist_del_init(struct hlist_node *n) {
  if (!hlist_unhashed(n)) {
    __hlist_del(n);
    INIT_HLIST_NODE(n);
  }
}
static inline void hlist_add_head(struct hlist_node *n, struct hlist_head *h) {
  struct hlist_node *first = h->first;
  n->next = first;
  if (first) first->pprev = &n->next;
  h->first = n;
  n->pprev = &h->first;
}
#define hlist_entry(ptr, type, member) container_of(ptr, type, member)
#define hlist_for_each(pos, head) for (pos = (head)->first; pos; pos = pos->next)
#define hlist_for_each_safe(pos, n, head) for (pos = (head)->first; pos && ({ n = pos->next; 1; }); pos = n)
#define hlist_for_each_entry(tpos, pos, head, member) \
  for (pos = (head)->first; pos && ({ tpos = hlist_entry(pos, __typeof__(*tpos), member); 1; }); pos = pos->next)
#define hlist_for_each_entry_safe(tpos, pos, n, head, member)                                     \
  for (pos = (head)->first; pos && ({ n = pos->next; 1; }) &&                                    \
                            ({ tpos = hlist_entry(pos, __typeof__(*tpos), member); 1; });         \
       pos = n)
