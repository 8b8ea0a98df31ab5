// A store of freed objects for reuse, in the manner of the kernel's per-CPU
// slab magazines: each thread is given one of a few small magazines, and full
// or empty magazines trade half their objects with a bounded shared depot. The
// request paths allocate records on one thread and free them on another for
// every bio; one shared free list made both threads meet on its lock and its
// cache lines each time.
//
// The depot never touches the objects' memory, so the caller may poison them
// (and make them unaddressable under AddressSanitizer) while they are kept.
#pragma once
#include <atomic>
#include <cstddef>
#include <vector>

#include <linux/spinlock.h>

#include "internal.h"

namespace kplat {

class object_depot {
 public:
  // At most shared_limit objects wait in the shared depot, beyond the magazines.
  // The shared store is sized once, so that no allocation happens under its spinlock.
  explicit object_depot(size_t shared_limit) : limit_(shared_limit) { shared_.reserve(limit_); }
  object_depot(const object_depot &) = delete;
  object_depot &operator=(const object_depot &) = delete;

  // A kept object, or null when none is kept.
  void *take() {
    magazine &m = mine();
    kplat_raw_spin_lock(&m.mu);
    if (m.n == 0) refill(m);
    void *p = m.n ? m.slot[--m.n] : nullptr;
    kplat_raw_spin_unlock(&m.mu);
    return p;
  }

  // Keeps p; false when the depot is full and the caller must free p itself.
  bool give(void *p) {
    magazine &m = mine();
    kplat_raw_spin_lock(&m.mu);
    if (m.n == kMagazine) spill(m);
    bool kept = m.n < kMagazine;
    if (kept) m.slot[m.n++] = p;
    kplat_raw_spin_unlock(&m.mu);
    return kept;
  }

  // Hands every kept object to release; the depot is empty afterwards.
  template <class F>
  void drain(F release) {
    for (auto &m : mags_) {
      kplat_raw_spin_lock(&m.mu);
      while (m.n) release(m.slot[--m.n]);
      kplat_raw_spin_unlock(&m.mu);
    }
    kplat_raw_spin_lock(&mu_);
    for (void *p : shared_) release(p);
    shared_.clear();
    kplat_raw_spin_unlock(&mu_);
  }

  // Objects kept now, magazines included.
  size_t kept() {
    size_t n = 0;
    for (auto &m : mags_) {
      kplat_raw_spin_lock(&m.mu);
      n += m.n;
      kplat_raw_spin_unlock(&m.mu);
    }
    kplat_raw_spin_lock(&mu_);
    n += shared_.size();
    kplat_raw_spin_unlock(&mu_);
    return n;
  }

 private:
  static constexpr unsigned kMagazines = 16;
  static constexpr unsigned kMagazine = 32;

  struct alignas(64) magazine {
    kplat_raw_spinlock_t mu{};  // a magazine's own; shared only by threads given the same index
    unsigned n = 0;          // mu
    void *slot[kMagazine];   // mu; [0, n) kept
  };

  magazine &mine() {
    static std::atomic<unsigned> next{0};
    thread_local unsigned index = next.fetch_add(1, std::memory_order_relaxed) % kMagazines;
    return mags_[index];
  }

  // An empty magazine takes up to half a magazine from the shared depot. m.mu held.
  void refill(magazine &m) {
    kplat_raw_spin_lock(&mu_);
    while (m.n < kMagazine / 2 && !shared_.empty()) {
      m.slot[m.n++] = shared_.back();
      shared_.pop_back();
    }
    kplat_raw_spin_unlock(&mu_);
  }

  // A full magazine moves half its objects to the shared depot, as far as it has room. m.mu held.
  void spill(magazine &m) {
    kplat_raw_spin_lock(&mu_);
    while (m.n > kMagazine / 2 && shared_.size() < limit_) shared_.push_back(m.slot[--m.n]);
    kplat_raw_spin_unlock(&mu_);
  }

  const size_t limit_;
  magazine mags_[kMagazines];
  kplat_raw_spinlock_t mu_{};
  std::vector<void *> shared_;  // mu_
};

}  // namespace kplat
