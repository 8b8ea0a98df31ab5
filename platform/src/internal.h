// What the platform's parts offer each other (not part of the kernel API).
// The block layer uses: the interrupt-context guard for its completion
// threads, the raw clock sleep for injected delays, syscall_entry at every
// host:: entry, alloc_file for the files its block-device opens return, and
// it implements blockdev_open.
#pragma once
#include <linux/types.h>
#include <linux/fs.h>
#include <linux/module.h>
#include <linux/sched.h>
#include <host/fault.h>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>

// Memory the allocators keep for reuse is unaddressable under AddressSanitizer, so a use
// after free is still caught.
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define KP_POISON(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#define KP_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
#else
#define KP_POISON(p, n) ((void)(p), (void)(n))
#define KP_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace kplat {

// A count of live objects that are often allocated on one thread and freed on another (a
// bio on its submitter and its disk's thread): each side counts on a cache line of its own,
// so that neither takes the other's line for every object, and so that nothing else shares
// a line with the counts.
class split_count {
 public:
  void add(long n = 1) { added_.n.fetch_add(n); }
  void sub(long n = 1) { removed_.n.fetch_add(n); }
  // Exact while nothing is added or removed. Otherwise the removals are read first: an
  // object is added before it is removed, so the difference never counts a removal without
  // its addition and is never less than the live count at either read.
  long value() const {
    long removed = removed_.n.load();
    return added_.n.load() - removed;
  }

 private:
  struct alignas(64) side {
    std::atomic<long> n{0};
  };
  side added_, removed_;
};

// Takes a mutex that guards a few instructions and that a condition variable waits with:
// spins on it briefly, as a kernel spinlock would, and blocks only when the holder stays
// (preempted by the host, say). A blocked waiter costs both sides a system call, and the
// submitters meet the disk threads on such locks for every bio.
inline void spin_acquire(std::mutex &m) {
  for (int i = 0; i < 64; i++) {
    if (m.try_lock()) return;
    __builtin_ia32_pause();
  }
  m.lock();
}

// Marks the calling thread's task as running in interrupt context for the
// guard's lifetime (nests): sleeping calls then abort. Completion threads
// of the disk drivers hold one while they run bi_end_io.
class irq_context_guard {
 public:
  irq_context_guard();
  ~irq_context_guard();
  irq_context_guard(const irq_context_guard &) = delete;
  irq_context_guard &operator=(const irq_context_guard &) = delete;
};

// Every host:: system call starts with this: refreshes current->comm from
// the real thread name (so prctl(PR_SET_NAME) is seen).
void syscall_entry();

// Platform clock.
uint64_t clock_ns();  // platform nanoseconds since start-up
// When, in real time, the platform clock reaches platform_ns at its present speed (an hour
// away on a stopped clock: a waiter re-checks now and then).
std::chrono::steady_clock::time_point real_deadline_for_ns(uint64_t platform_ns);
// Sleeps ms of platform time with no context check and no wake-up (for
// injected delays on threads that are not tasks' sleeping paths).
void clock_sleep_ms(unsigned ms);

// A new struct file with one reference, its own dentry and inode (zeroed
// apart from i_mode/i_rdev set by the caller as needed). The last fput calls
// fops->release(inode, file), then module_put(pinned) when pinned is given,
// then frees the file. f_mode follows the O_ACCMODE bits of f_flags.
struct file *alloc_file(const struct file_operations *fops, unsigned f_flags, struct module *pinned = nullptr);
struct inode *file_inode(struct file *f);
long file_count(struct file *f);  // references held (for tests)

// Opens a block device by path for host::open; returns a file with one
// reference (f_op read/write/release), or null with *err set (negative
// errno). The platform's default (weak) answers -ENOENT; the block layer
// defines the real one in an object that host::add_disk's object
// references, so it is linked whenever a disk can exist.
struct file *blockdev_open(const char *path, int flags, int *err);

}  // namespace kplat
