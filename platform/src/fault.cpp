// Fault points. Each point keeps hit/failure counters and an ordered rule
// list; the lookup is a scan of a small fixed table, and a point with no
// rules is decided without taking a lock. Points are never removed, so the
// hot path may remember them by name address.
//
// Every allocation passes a point, on every CPU, so hits are counted per
// thread: one shared counter would move its cache line between the CPUs on
// each call. A read sums the live threads' counts and those of the threads
// gone.
#include <host/fault.h>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <vector>

namespace {

constexpr int kMaxPoints = 64;

struct point {
  char name[48];
  std::atomic<long> hits{0};  // of the threads gone; the live ones count in their shard
  std::atomic<long> failures{0};
  std::atomic<int> nrules{0};
  std::vector<host::fault_rule> rules;  // guarded by table::mu
};

// One thread's hit counts, by point index. Only the owner adds; reads and
// resets come from any thread.
struct hit_shard {
  std::atomic<long> hits[kMaxPoints] = {};
};

struct table {
  std::mutex mu;
  point points[kMaxPoints];
  std::atomic<int> count{0};
  std::mutex shards_mu;
  std::vector<hit_shard *> shards;  // live threads'; guarded by shards_mu
};
table &tab() {
  static table *t = new table();
  return *t;
}

point *find(const char *name, bool create) {
  table &t = tab();
  int n = t.count.load(std::memory_order_acquire);
  for (int i = 0; i < n; i++)
    if (strcmp(t.points[i].name, name) == 0) return &t.points[i];
  if (!create) return nullptr;
  std::lock_guard<std::mutex> g(t.mu);
  n = t.count.load();
  for (int i = 0; i < n; i++)
    if (strcmp(t.points[i].name, name) == 0) return &t.points[i];
  if (n == kMaxPoints || strlen(name) >= sizeof(t.points[0].name)) return nullptr;
  strcpy(t.points[n].name, name);
  t.count.store(n + 1, std::memory_order_release);
  return &t.points[n];
}

// Registers the thread's shard on its first hit and, when the thread ends,
// folds its counts into the points.
class shard_owner {
public:
  shard_owner() {
    table &t = tab();
    std::lock_guard<std::mutex> g(t.shards_mu);
    t.shards.push_back(&shard_);
  }
  ~shard_owner() {
    table &t = tab();
    std::lock_guard<std::mutex> g(t.shards_mu);
    for (int i = 0; i < kMaxPoints; i++)
      t.points[i].hits.fetch_add(shard_.hits[i].load(std::memory_order_relaxed), std::memory_order_relaxed);
    std::erase(t.shards, &shard_);
  }
  void add(const point *p) {
    shard_.hits[p - tab().points].fetch_add(1, std::memory_order_relaxed);
  }

private:
  hit_shard shard_;
};

void count_hit(const point *p) {
  thread_local shard_owner own;
  own.add(p);
}

long hits_of(const point *p) {
  table &t = tab();
  std::lock_guard<std::mutex> g(t.shards_mu);
  long n = p->hits.load();
  for (hit_shard *s : t.shards) n += s->hits[p - t.points].load(std::memory_order_relaxed);
  return n;
}

// Every allocation passes a point: a per-thread cache of the points found,
// keyed by the literal's address, saves the name scan.
point *find_literal(const char *name) {
  constexpr int kWays = 16;
  thread_local const char *keys[kWays];
  thread_local point *points[kWays];
  unsigned h = unsigned(reinterpret_cast<uintptr_t>(name) >> 3) % kWays;
  if (keys[h] == name) return points[h];
  point *p = find(name, true);
  if (p) {
    keys[h] = name;
    points[h] = p;
  }
  return p;
}

}  // namespace

namespace kplat {

bool fault_hit(const char *name, const fault_ctx &ctx, fault_outcome *out) {
  point *p = find_literal(name);
  if (!p) return false;
  count_hit(p);
  if (p->nrules.load(std::memory_order_acquire) == 0) return false;
  std::lock_guard<std::mutex> g(tab().mu);
  for (size_t i = 0; i < p->rules.size(); i++) {
    host::fault_rule &r = p->rules[i];
    // Predicates run under the table lock: they must not call the platform.
    if (r.match && !r.match(ctx)) continue;
    if (r.skip > 0) {
      r.skip--;
      return false;
    }
    if (out) {
      out->error = r.error;
      out->value = r.value;
    }
    if (r.count > 0 && --r.count == 0) {
      p->rules.erase(p->rules.begin() + (long)i);
      p->nrules.store((int)p->rules.size(), std::memory_order_release);
    }
    p->failures.fetch_add(1, std::memory_order_relaxed);
    return true;
  }
  return false;
}

}  // namespace kplat

namespace host {

void fault_inject(const std::string &name, fault_rule rule) {
  if (rule.count == 0) return;
  point *p = find(name.c_str(), true);
  if (!p) return;
  std::lock_guard<std::mutex> g(tab().mu);
  p->rules.push_back(std::move(rule));
  p->nrules.store((int)p->rules.size(), std::memory_order_release);
}

void fault_fail_next(const std::string &name, long n, int error) {
  fault_rule r;
  r.count = n;
  r.error = error;
  fault_inject(name, std::move(r));
}

void fault_fail_after(const std::string &name, unsigned skip, long n, int error) {
  fault_rule r;
  r.skip = skip;
  r.count = n;
  r.error = error;
  fault_inject(name, std::move(r));
}

void fault_fail_if(const std::string &name, std::function<bool(const fault_ctx &)> match, long n, int error) {
  fault_rule r;
  r.match = std::move(match);
  r.count = n;
  r.error = error;
  fault_inject(name, std::move(r));
}

void fault_clear(const std::string &name) {
  point *p = find(name.c_str(), false);
  if (!p) return;
  std::lock_guard<std::mutex> g(tab().mu);
  p->rules.clear();
  p->nrules.store(0, std::memory_order_release);
}

void fault_reset() {
  table &t = tab();
  std::lock_guard<std::mutex> g(t.mu);
  std::lock_guard<std::mutex> gs(t.shards_mu);
  int n = t.count.load();
  for (int i = 0; i < n; i++) {
    t.points[i].rules.clear();
    t.points[i].nrules.store(0);
    t.points[i].hits.store(0);
    t.points[i].failures.store(0);
    for (hit_shard *s : t.shards) s->hits[i].store(0, std::memory_order_relaxed);
  }
}

long fault_hits(const std::string &name) {
  point *p = find(name.c_str(), false);
  return p ? hits_of(p) : 0;
}

long fault_failures(const std::string &name) {
  point *p = find(name.c_str(), false);
  return p ? p->failures.load() : 0;
}

}  // namespace host
