// The reordering service of the machine's disks, as null_blk's timer mode does it: bios
// enter service up to the queue depth, each gets a random latency, and several completion
// threads complete them as their latencies run out, in interrupt context. Submission order
// then says nothing about completion order, as on real disks; only barriers keep theirs.
#include <linux/bio.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>

#include <pthread.h>

#include "disk_internal.h"
#include "internal.h"

namespace kplat {
namespace {

using steady = std::chrono::steady_clock;

// A waiter for a due time re-checks the clock at least this often, so that a change of its
// speed is seen.
constexpr auto kRecheck = std::chrono::milliseconds(50);

bool later(const reorder_slot &a, const reorder_slot &b) {
  return a.due_ns != b.due_ns ? a.due_ns > b.due_ns : a.tiebreak > b.tiebreak;
}

// Platform nanoseconds of a draw from the exponential distribution of the disk's mean,
// capped at 16 means so that one bio cannot hold a test up. hd->lock held.
uint64_t __draw_latency_ns(host_disk *hd) {
  if (!hd->reorder.mean_latency_us)
    return 0;
  double u = double((hd->rng() >> 11) + 1) * 0x1p-53;  // (0, 1]
  double x = -std::log(u);
  if (x > 16)
    x = 16;
  return uint64_t(x * hd->reorder.mean_latency_us * 1000.0);
}

// Holds the stripe locks of every region the bio's range touches while its data moves, taken
// in stripe order.
class stripe_guard {
 public:
  stripe_guard(host_disk *hd, struct bio *bio) : hd_(hd) {
    if (!bio->bi_size)
      return;
    uint64_t first = bio->bi_sector >> kStripeShift;
    uint64_t last = (bio->bi_sector + bio_sectors(bio) - 1) >> kStripeShift;
    if (last - first + 1 >= kStripes) {
      mask_ = ~uint64_t(0);
    } else {
      for (uint64_t r = first; r <= last; r++)
        mask_ |= uint64_t(1) << (r % kStripes);
    }
    for (unsigned i = 0; i < kStripes; i++)
      if (mask_ & (uint64_t(1) << i))
        hd_->stripes[i].lock();
  }
  ~stripe_guard() {
    for (unsigned i = 0; i < kStripes; i++)
      if (mask_ & (uint64_t(1) << i))
        hd_->stripes[i].unlock();
  }
  stripe_guard(const stripe_guard &) = delete;
  stripe_guard &operator=(const stripe_guard &) = delete;

 private:
  host_disk *hd_;
  uint64_t mask_ = 0;
};

// Takes the next due bio out of the timers; false when the disk stops and nothing is left.
bool take_due(host_disk *hd, reorder_slot *out) {
  spin_acquire(hd->lock);
  std::unique_lock<std::mutex> g(hd->lock, std::adopt_lock);
  for (;;) {
    if (!hd->timers.empty()) {
      uint64_t due = hd->timers.front().due_ns;
      // A stopping disk completes what it holds at once: del_disk waits for it.
      if (hd->stopping || due <= clock_ns())
        break;
      hd->cv.wait_until(g, std::min(real_deadline_for_ns(due), steady::now() + kRecheck));
    } else if (hd->stopping && hd->pending.empty()) {
      return false;
    } else {
      hd->cv.wait(g);
    }
  }
  std::pop_heap(hd->timers.begin(), hd->timers.end(), later);
  *out = hd->timers.back();
  hd->timers.pop_back();
  return true;
}

void completer_main(host_disk *hd, unsigned idx) {
  std::string tname = (hd->name + "-io" + std::to_string(idx)).substr(0, 15);
  pthread_setname_np(pthread_self(), tname.c_str());
  reorder_slot s;
  while (take_due(hd, &s)) {
    if (!s.err) {
      stripe_guard sg(hd, s.bio);
      s.err = transfer(hd, s.bio);
    }
    {
      spin_acquire(hd->lock);
      std::lock_guard<std::mutex> g(hd->lock, std::adopt_lock);
      __count_bio(hd, s.bio, s.err);
      if (hd->any_done && s.seq < hd->last_done_seq)
        hd->stats.overtaken++;
      else
        hd->last_done_seq = s.seq;
      hd->any_done = true;
    }
    {
      irq_context_guard irq;
      consume_bio(s.bio);
      bio_endio(s.bio, s.err);
    }
    // Out of service only now: a barrier behind it enters once its completion has run.
    spin_acquire(hd->lock);
    std::lock_guard<std::mutex> g(hd->lock, std::adopt_lock);
    hd->in_service--;
    if (s.barrier)
      hd->barrier_in_service = false;
    __reorder_admit(hd);
  }
}

}  // namespace

int reorder_check(const host::disk_reorder &r) {
  if (r.depth < 1 || r.depth > 4096 || r.mean_latency_us > 10000000 || r.threads < 2 || r.threads > 16)
    return EINVAL;
  return 0;
}

void __reorder_admit(host_disk *hd) {
  bool admitted = false;
  while (!hd->pending.empty() && hd->in_service < hd->reorder.depth && !hd->barrier_in_service) {
    struct bio *bio = hd->pending.front();
    bool barrier = bio_rw_flagged(bio, BIO_RW_BARRIER);
    if (barrier && hd->in_service)
      break;  // it waits for every bio before it
    hd->pending.pop_front();
    unsigned delay_ms = 0;
    int err = hd->nr_rules.load(std::memory_order_relaxed) ? __match_rules(hd, bio, &delay_ms) : 0;
    uint64_t due = clock_ns() + __draw_latency_ns(hd) + uint64_t(delay_ms) * 1000000;
    hd->timers.push_back(reorder_slot{due, hd->rng(), hd->next_seq++, bio, err, barrier});
    std::push_heap(hd->timers.begin(), hd->timers.end(), later);
    hd->in_service++;
    hd->barrier_in_service = barrier;
    if (hd->in_service > hd->stats.max_in_service)
      hd->stats.max_in_service = hd->in_service;
    admitted = true;
  }
  if (admitted)
    hd->cv.notify_all();
}

void reorder_start(host_disk *hd) {
  hd->rng.seed(hd->reorder.seed);
  for (unsigned i = 0; i < hd->reorder.threads; i++)
    hd->completers.emplace_back(completer_main, hd, i);
}

void reorder_stop(host_disk *hd) {
  for (std::thread &t : hd->completers)
    t.join();
  hd->completers.clear();
}

}  // namespace kplat

bool host::parse_disk_reorder(const std::string &text, host::disk_reorder *out, std::string *why) {
  static const char *const names[] = {"seed", "depth", "latency"};
  host::disk_reorder r;
  uint64_t v[3] = {0, r.depth, r.mean_latency_us};
  size_t pos = 0;
  for (int i = 0; i < 3; i++) {
    size_t end = text.find(':', pos);
    std::string field = text.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
    bool digits = !field.empty() && field.size() <= 20 &&
                  std::all_of(field.begin(), field.end(), [](char c) { return c >= '0' && c <= '9'; });
    errno = 0;
    if (digits)
      v[i] = std::strtoull(field.c_str(), nullptr, 10);
    if (!digits || errno == ERANGE) {
      if (why)
        *why = std::string("the ") + names[i] + " of \"" + text + "\" is no decimal number (SEED[:DEPTH[:LATENCY_US]])";
      return false;
    }
    if (end == std::string::npos)
      break;
    if (i == 2) {
      if (why)
        *why = "\"" + text + "\" has more than three fields (SEED[:DEPTH[:LATENCY_US]])";
      return false;
    }
    pos = end + 1;
  }
  r.enabled = true;
  r.seed = v[0];
  if (v[1] < 1 || v[1] > 4096) {
    if (why)
      *why = "the depth of \"" + text + "\" is not between 1 and 4096";
    return false;
  }
  if (v[2] > 10000000) {
    if (why)
      *why = "the latency of \"" + text + "\" is above 10000000 microseconds";
    return false;
  }
  r.depth = unsigned(v[1]);
  r.mean_latency_us = unsigned(v[2]);
  *out = r;
  return true;
}
