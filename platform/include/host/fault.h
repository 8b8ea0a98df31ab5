// Fault injection. Platform calls that can fail name a fault point and ask
// fault_hit whether this call must fail; tests arm points with rules.
//
// Points: "kmalloc", "kmem_cache_alloc", "kmem_cache_create", "mempool_create",
// "alloc_page", "vmalloc", "kthread_create", "register_chrdev", "file_write",
// "file_read", "statfs", the block layer's "bio_alloc", "register_blkdev", "alloc_disk",
// "blk_alloc_queue", the disks' "disk_read" and "disk_write" (a bio as the disk takes it; the
// ctx names the disk), an image disk's "image_write" and "image_read_ready" (what a large read
// finds ready in the host's cache: a rule's value >= 0 is taken as that many bytes ready), and
// the agent's "staging_buffer" (an IO worker's buffer).
// A point's usual failure is its natural one (null, -ENOMEM, -EBUSY, -EIO);
// a rule may choose the error. For "file_write"/"file_read" a rule with a
// value >= 0 and no error makes a short transfer of that many bytes; for
// "statfs" a value >= 0 and no error replaces f_bavail.
#pragma once
#include <cstddef>
#include <functional>
#include <string>

namespace kplat {
// What the failing call is about; fields a point does not know stay 0/null.
struct fault_ctx {
  size_t size = 0;             // bytes asked for (or count, min_nr)
  unsigned gfp = 0;            // allocation flags
  const char *name = nullptr;  // cache, pool, thread, device or file name
  long long offset = 0;        // file position or sector
};
struct fault_outcome {
  int error = 0;           // 0: the point's usual error
  long long value = -1;    // point-specific (see above)
};
// Counts the call and returns true when this call must fail; *out, when
// given, receives the rule's error and value. Cheap when nothing is armed.
// The point's name must have static storage (a literal): each thread keeps
// the points it has found by the name's address.
bool fault_hit(const char *point, const fault_ctx &ctx = fault_ctx(), fault_outcome *out = nullptr);
}  // namespace kplat

namespace host {
using fault_ctx = kplat::fault_ctx;

struct fault_rule {
  unsigned skip = 0;  // matching calls let through before failing starts
  long count = 1;     // matching calls then failed; -1: all of them
  std::function<bool(const fault_ctx &)> match;  // empty: every call
  int error = 0;         // negative errno to report; 0: the point's usual one
  long long value = -1;  // see the points above
};

// Rules of a point are tried in the order added; the first that matches and
// still has failures left decides. A spent rule is dropped.
void fault_inject(const std::string &point, fault_rule rule);
void fault_fail_next(const std::string &point, long n = 1, int error = 0);
void fault_fail_after(const std::string &point, unsigned skip, long n = 1, int error = 0);
void fault_fail_if(const std::string &point, std::function<bool(const fault_ctx &)> match, long n = -1,
                   int error = 0);
void fault_clear(const std::string &point);  // that point's rules
void fault_reset();                          // all rules and all counters
long fault_hits(const std::string &point);      // calls that reached the point
long fault_failures(const std::string &point);  // calls the point failed
}  // namespace host
