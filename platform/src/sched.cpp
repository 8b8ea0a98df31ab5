// Tasks, the emulated process, the scheduler core and signals.
#include <chrono>
#include "task.h"
#include "internal.h"
#include "block_internal.h"
#include <host/host.h>
#include <linux/uaccess.h>
#include <pthread.h>
#include <climits>
#include <ctime>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <unordered_map>

__thread struct task_struct *kplat::tls_current = nullptr;

namespace {

// The one process: its signal-handler table, descriptor table and memory.
struct process {
  sighand_struct sighand;
  files_struct files;
  mm_struct mm;
  process() {
    std::memset(&sighand, 0, sizeof(sighand));
    spin_lock_init(&sighand.siglock);
    atomic_set(&sighand.count, 1);
    atomic_set(&files.count, 1);
    atomic_set(&mm.mm_users, 1);
  }
};
process &the_process() {
  static process *p = new process();  // never destroyed: threads may outlive statics
  return *p;
}

// The signal-handler tables of other processes whose threads are inside the machine
// (host::run_as_caller), one per process as in the kernel, where a task shares its table with
// its own process's threads only: an IO worker ignoring every signal in its agent's table
// leaves every other process's signals alone. A table lives while some task of its process
// exists here (its count is the number of such tasks): the machine cannot see a process end,
// and a table kept after its last task could be inherited by an unrelated process that is
// given the same pid. The machine's own tasks keep the process's table.
struct caller_tables {
  std::mutex mu;
  std::unordered_map<pid_t, sighand_struct *> by_tgid;  // mu
};
caller_tables &callers() {
  static caller_tables *c = new caller_tables();
  return *c;
}

sighand_struct *get_caller_sighand(pid_t tgid) {
  if (tgid == getpid()) return &the_process().sighand;
  std::lock_guard<std::mutex> g(callers().mu);
  sighand_struct *&sh = callers().by_tgid[tgid];
  if (sh) {
    atomic_inc(&sh->count);
    return sh;
  }
  sh = new sighand_struct;
  std::memset(sh, 0, sizeof(*sh));  // every handler SIG_DFL
  spin_lock_init(&sh->siglock);
  atomic_set(&sh->count, 1);
  return sh;
}

void put_sighand(struct task_struct *t) {
  sighand_struct *sh = t->sighand;
  if (!sh || sh == &the_process().sighand) return;
  std::lock_guard<std::mutex> g(callers().mu);
  if (!atomic_dec_and_test(&sh->count)) return;
  callers().by_tgid.erase(t->tgid);
  delete sh;
}

struct registry {
  std::mutex mu;
  std::unordered_map<pid_t, struct task_struct *> by_tid;
};
registry &reg() {
  static registry *r = new registry();
  return *r;
}

__thread bool t_reaped = false;

// Frees the calling thread's task when the thread ends.
struct task_reaper {
  bool armed = false;
  ~task_reaper() {
    struct task_struct *t = kplat::tls_current;
    if (!t) return;
    {
      std::lock_guard<std::mutex> g(reg().mu);
      auto it = reg().by_tid.find(t->pid);
      if (it != reg().by_tid.end() && it->second == t) reg().by_tid.erase(it);
    }
    kplat::tls_current = nullptr;
    t_reaped = true;
    put_task_struct(t);
  }
};
thread_local task_reaper t_reaper;

void read_real_name(char out[TASK_COMM_LEN]) {
  out[0] = 0;
  if (pthread_getname_np(pthread_self(), out, TASK_COMM_LEN) != 0) out[0] = 0;
  out[TASK_COMM_LEN - 1] = 0;
}

// A new task of this process's tables for the calling thread, running, not yet current.
kplat_task *new_task(pid_t pid, pid_t tgid) {
  auto *k = new kplat_task();
  struct task_struct *t = &k->task;
  std::memset(static_cast<void *>(t), 0, sizeof(*t));
  t->kp = k;
  t->state = TASK_RUNNING;
  t->pid = pid;
  t->tgid = tgid;
  t->sighand = &the_process().sighand;
  t->files = &the_process().files;
  t->mm = &the_process().mm;
  t->static_prio = 120;
  t->kp_addr_limit = USER_DS.seg;
  static std::atomic<unsigned> owners{0};
  do t->kp_lock_owner = int(++owners & 0x7fffffff);
  while (t->kp_lock_owner == 0);
  spin_lock_init(&t->alloc_lock);
  k->thread = pthread_self();
  return k;
}

}  // namespace

namespace kplat {

struct task_struct *create_current_task_with(const std::function<void(kplat_task *)> &fn) {
  kplat_task *k = new_task(gettid(), getpid());
  struct task_struct *t = &k->task;
  read_real_name(k->last_real_name);
  std::memcpy(t->comm, k->last_real_name, TASK_COMM_LEN);
  if (fn) fn(k);
  tls_current = t;
  if (!t_reaped) t_reaper.armed = true;  // registers the thread-exit destructor
  std::lock_guard<std::mutex> g(reg().mu);
  reg().by_tid[t->pid] = t;
  return t;
}

struct task_struct *create_current_task() { return create_current_task_with(nullptr); }

void for_each_task(const std::function<void(struct task_struct *)> &fn) {
  std::lock_guard<std::mutex> g(reg().mu);
  for (auto &e : reg().by_tid) fn(e.second);
}

// The futex calls behind parking. A wait returns on a wake, a signal, a changed word or the
// deadline (CLOCK_MONOTONIC, which steady_clock reads); the caller re-checks its state.
static void park(kplat_task *k, uint32_t seen, const std::chrono::steady_clock::time_point *deadline) {
  struct timespec ts;
  struct timespec *tsp = nullptr;
  if (deadline) {
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline->time_since_epoch()).count();
    if (ns < 0) ns = 0;
    ts.tv_sec = ns / 1000000000;
    ts.tv_nsec = ns % 1000000000;
    tsp = &ts;
  }
  syscall(SYS_futex, reinterpret_cast<uint32_t *>(&k->wake_seq), FUTEX_WAIT_BITSET | FUTEX_PRIVATE_FLAG, seen, tsp,
          nullptr, FUTEX_BITSET_MATCH_ANY);
}

static void unpark(kplat_task *k) {
  k->wake_seq.fetch_add(1);
  if (k->sleeping.load())
    syscall(SYS_futex, reinterpret_cast<uint32_t *>(&k->wake_seq), FUTEX_WAKE | FUTEX_PRIVATE_FLAG, INT_MAX, nullptr,
            nullptr, 0);
}

void wake_all_sleepers() {
  for_each_task([](struct task_struct *t) { unpark(t->kp); });
}

void wait_for_expired_sleeps(uint64_t now_ns) {
  for (;;) {
    bool parked = false;
    for_each_task([&](struct task_struct *t) {
      kplat_task *k = t->kp;
      if (k->asleep.load() && k->sleep_until_ns.load() <= now_ns) parked = true;
    });
    if (!parked) return;
    std::this_thread::yield();
  }
}

void report(const char *fmt, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(buf, sizeof(buf), fmt, ap);
  va_end(ap);
  fprintf(stderr, "%s\n", buf);
  fflush(stderr);
  printk(KERN_ERR "%s\n", buf);
}

void fatal(const char *fmt, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(buf, sizeof(buf), fmt, ap);
  va_end(ap);
  fprintf(stderr, "%s\n", buf);
  fflush(stderr);
  abort();
}

void check_sleep(const char *what) {
  struct task_struct *t = current_task();
  if (likely(t->kp_preempt_count == 0 && t->kp_irq_depth == 0 && t->kp_irqs_off == 0)) return;
  fprintf(stderr, "BUG: sleeping function called from invalid context: %s\n", what);
  fprintf(stderr, "in_atomic(): %d, irqs_disabled(): %d, in_interrupt(): %d, pid: %d, name: %s\n",
          t->kp_preempt_count > 0, t->kp_irqs_off != 0, t->kp_irq_depth > 0, t->pid, t->comm);
  fflush(stderr);
  abort();
}

void kernel_bug(const char *file, int line, const char *what) {
  fatal("kernel BUG at %s:%d: %s", file, line, what);
}

void kernel_warn(const char *file, int line, const char *what) {
  report("WARNING: at %s:%d: %s", file, line, what);
}

irq_context_guard::irq_context_guard() { current_task()->kp_irq_depth++; }
irq_context_guard::~irq_context_guard() { current_task()->kp_irq_depth--; }

void syscall_entry() {
  struct task_struct *t = current_task();
  kplat_task *k = t->kp;
  // Another process's thread: its name came with the request, the worker's own is unrelated.
  if (k->emulated) return;
  char real[TASK_COMM_LEN];
  read_real_name(real);
  if (std::strncmp(real, k->last_real_name, TASK_COMM_LEN) != 0) {
    // The real thread was renamed (prctl): the task follows.
    std::memcpy(k->last_real_name, real, TASK_COMM_LEN);
    task_lock(t);
    std::memcpy(t->comm, real, TASK_COMM_LEN);
    task_unlock(t);
  } else if (std::strncmp(t->comm, real, TASK_COMM_LEN) != 0) {
    // The kernel side wrote comm directly: the real thread follows.
    char name[TASK_COMM_LEN];
    task_lock(t);
    std::memcpy(name, t->comm, TASK_COMM_LEN);
    task_unlock(t);
    name[TASK_COMM_LEN - 1] = 0;
    pthread_setname_np(pthread_self(), name);
    read_real_name(k->last_real_name);
  }
}

int try_to_wake_up(struct task_struct *tsk, unsigned int mask) {
  kplat_task *k = tsk->kp;
  // Taken before the state changes: once running, the task may return from its sleep and
  // exit, and it must outlive the wake-up below.
  k->refs.fetch_add(1);
  long st = __atomic_load_n(&tsk->state, __ATOMIC_SEQ_CST);
  int woken = 0;
  while (st & mask) {
    if (__atomic_compare_exchange_n(&tsk->state, &st, (long)TASK_RUNNING, false, __ATOMIC_SEQ_CST,
                                    __ATOMIC_SEQ_CST)) {
      woken = 1;
      break;
    }
  }
  if (woken) unpark(k);
  put_task_struct(tsk);
  return woken;
}

long sched_timeout_raw(long timeout) {
  // Bios this thread holds for a disk go out before it sleeps: it may be waiting for them.
  deferred_bios_flush();
  struct task_struct *t = current_task();
  kplat_task *k = t->kp;
  const bool forever = timeout == MAX_SCHEDULE_TIMEOUT;
  if (timeout < 0) {
    k->prepared_sleep = false;
    __atomic_store_n(&t->state, TASK_RUNNING, __ATOMIC_SEQ_CST);
    return 0;
  }
  const unsigned long expire = read_jiffies() + (unsigned long)timeout;
  const bool prepared = k->prepared_sleep;
  k->prepared_sleep = false;
  if (__atomic_load_n(&t->state, __ATOMIC_SEQ_CST) == TASK_RUNNING) {
    // Woken between setting its state and here: yielding now could leave the task
    // behind another thread's whole time slice.
    if (!prepared) std::this_thread::yield();
    return forever ? MAX_SCHEDULE_TIMEOUT : timeout;
  }
  __atomic_add_fetch(&t->nvcsw, 1, __ATOMIC_RELAXED);
  k->sleep_until_ns.store(forever ? UINT64_MAX : jiffies_to_platform_ns(expire));
  k->asleep.store(1);
  for (;;) {
    // The word is read before the state: a wake-up after this read changes it, so the
    // wait below returns at once instead of missing it.
    uint32_t seen = k->wake_seq.load();
    long st = __atomic_load_n(&t->state, __ATOMIC_SEQ_CST);
    if (st == TASK_RUNNING) break;
    if ((st & TASK_INTERRUPTIBLE) && signal_pending(t)) break;
    if ((st & TASK_WAKEKILL) && signal_pending(t)) break;
    k->sleeping.store(1);
    if (forever) {
      park(k, seen, nullptr);
    } else if (time_after_eq(read_jiffies(), expire)) {
      k->sleeping.store(0);
      break;
    } else {
      auto deadline = real_deadline_for_ns(jiffies_to_platform_ns(expire));
      park(k, seen, &deadline);
    }
    k->sleeping.store(0);
  }
  k->asleep.store(0);
  __atomic_store_n(&t->state, TASK_RUNNING, __ATOMIC_SEQ_CST);
  if (forever) return MAX_SCHEDULE_TIMEOUT;
  long left = (long)(expire - read_jiffies());
  return left < 0 ? 0 : left;
}

}  // namespace kplat

using namespace kplat;

void kplat_set_current_state(long state) {
  struct task_struct *t = current_task();
  t->kp->prepared_sleep = state != TASK_RUNNING;
  __atomic_store_n(&t->state, state, __ATOMIC_SEQ_CST);
}
void kplat_set_task_state(struct task_struct *tsk, long state) { __atomic_store_n(&tsk->state, state, __ATOMIC_SEQ_CST); }

void schedule(void) {
  check_sleep("schedule");
  sched_timeout_raw(MAX_SCHEDULE_TIMEOUT);
}

long schedule_timeout(long timeout) {
  check_sleep("schedule_timeout");
  if (timeout < 0) {
    printk(KERN_ERR "schedule_timeout: wrong timeout value %lx\n", (unsigned long)timeout);
    __set_current_state(TASK_RUNNING);
    return 0;
  }
  return sched_timeout_raw(timeout);
}
long schedule_timeout_interruptible(long timeout) {
  __set_current_state(TASK_INTERRUPTIBLE);
  return schedule_timeout(timeout);
}
long schedule_timeout_uninterruptible(long timeout) {
  __set_current_state(TASK_UNINTERRUPTIBLE);
  return schedule_timeout(timeout);
}
long schedule_timeout_killable(long timeout) {
  __set_current_state(TASK_KILLABLE);
  return schedule_timeout(timeout);
}

int wake_up_process(struct task_struct *tsk) { return try_to_wake_up(tsk, TASK_ALL); }
int wake_up_state(struct task_struct *tsk, unsigned int state) { return try_to_wake_up(tsk, state); }

void yield(void) {
  check_sleep("yield");
  __set_current_state(TASK_RUNNING);
  std::this_thread::yield();
}

int cond_resched(void) {
  check_sleep("cond_resched");
  // The kernel yields here only when a reschedule is due; give the processor
  // away only after the thread has run for a time slice, not on every call.
  constexpr auto kSlice = std::chrono::milliseconds(2);
  thread_local auto last = std::chrono::steady_clock::now();
  auto now = std::chrono::steady_clock::now();
  if (now - last < kSlice) return 0;
  last = now;
  std::this_thread::yield();
  return 1;
}

void set_user_nice(struct task_struct *p, long nice) {
  if (nice < -20) nice = -20;
  if (nice > 19) nice = 19;
  p->nice = (int)nice;
  p->static_prio = 120 + (int)nice;
}

void task_lock(struct task_struct *p) { spin_lock(&p->alloc_lock); }
void task_unlock(struct task_struct *p) { spin_unlock(&p->alloc_lock); }

void set_task_comm(struct task_struct *tsk, const char *name) {
  task_lock(tsk);
  strlcpy(tsk->comm, name, sizeof(tsk->comm));
  task_unlock(tsk);
  if (tsk == current_task() && !tsk->kp->emulated) {
    char buf[TASK_COMM_LEN];
    strlcpy(buf, name, sizeof(buf));
    pthread_setname_np(pthread_self(), buf);
    read_real_name(tsk->kp->last_real_name);
  }
}

char *get_task_comm(char *buf, struct task_struct *tsk) {
  task_lock(tsk);
  strncpy(buf, tsk->comm, TASK_COMM_LEN);
  task_unlock(tsk);
  return buf;
}

void get_task_struct(struct task_struct *t) { t->kp->refs.fetch_add(1); }
void put_task_struct(struct task_struct *t) {
  if (t->kp->refs.fetch_sub(1) != 1) return;
  put_sighand(t);
  delete t->kp;
}

void flush_signals(struct task_struct *t) { clear_tsk_thread_flag(t, TIF_SIGPENDING); }

namespace {
// Makes sig pending on t unless the emulated table ignores it.
int deliver_signal(struct task_struct *t, int sig) {
  if (sig >= 1 && sig <= _NSIG) {
    sighand_struct *sh = t->sighand;
    raw_lock(&sh->siglock);
    __sighandler_t h = sh->action[sig - 1].sa.sa_handler;
    raw_unlock(&sh->siglock);
    if (h == SIG_IGN) return 0;
  }
  set_tsk_thread_flag(t, TIF_SIGPENDING);
  try_to_wake_up(t, TASK_INTERRUPTIBLE | TASK_WAKEKILL);
  return 1;
}
}  // namespace

int send_sig(int sig, struct task_struct *p, int priv) {
  deliver_signal(p, sig);
  return 0;
}
int allow_signal(int sig) { return 0; }
int disallow_signal(int sig) { return 0; }

struct task_struct *find_task_by_vpid(pid_t nr) {
  std::lock_guard<std::mutex> g(reg().mu);
  auto it = reg().by_tid.find(nr);
  return it == reg().by_tid.end() ? nullptr : it->second;
}

int in_interrupt(void) { return current_task()->kp_irq_depth > 0; }
int in_irq(void) { return current_task()->kp_irq_depth > 0; }
int in_softirq(void) { return 0; }
int in_atomic(void) {
  struct task_struct *t = current_task();
  return t->kp_preempt_count > 0 || t->kp_irq_depth > 0;
}

namespace host {

int signal_task(pid_t tid, int sig) {
  std::lock_guard<std::mutex> g(reg().mu);
  auto it = reg().by_tid.find(tid);
  if (it == reg().by_tid.end()) return -ESRCH;
  return deliver_signal(it->second, sig);
}

int clear_signal(pid_t tid) {
  std::lock_guard<std::mutex> g(reg().mu);
  auto it = reg().by_tid.find(tid);
  if (it == reg().by_tid.end()) return -ESRCH;
  clear_tsk_thread_flag(it->second, TIF_SIGPENDING);
  return 0;
}

bool signal_pending(pid_t tid) {
  std::lock_guard<std::mutex> g(reg().mu);
  auto it = reg().by_tid.find(tid);
  return it != reg().by_tid.end() && ::signal_pending(it->second);
}

void *signal_handler(int sig) {
  if (sig < 1 || sig > _NSIG) return nullptr;
  sighand_struct *sh = &the_process().sighand;
  raw_lock(&sh->siglock);
  void *h = (void *)sh->action[sig - 1].sa.sa_handler;
  raw_unlock(&sh->siglock);
  return h;
}

// The task's name, read under the task lock as set_task_comm writes it.
static std::string comm_of(struct task_struct *t) {
  char comm[TASK_COMM_LEN];
  raw_lock(&t->alloc_lock);
  std::memcpy(comm, t->comm, TASK_COMM_LEN);
  raw_unlock(&t->alloc_lock);
  comm[TASK_COMM_LEN - 1] = 0;
  return comm;
}

bool task_comm_of(pid_t tid, std::string *out) {
  std::lock_guard<std::mutex> g(reg().mu);
  auto it = reg().by_tid.find(tid);
  if (it == reg().by_tid.end()) return false;
  *out = comm_of(it->second);
  return true;
}

bool task_info_of(pid_t tid, task_info *out) {
  std::lock_guard<std::mutex> g(reg().mu);
  auto it = reg().by_tid.find(tid);
  if (it == reg().by_tid.end()) return false;
  struct task_struct *t = it->second;
  out->pid = t->pid;
  out->comm = comm_of(t);
  out->flags = __atomic_load_n(&t->flags, __ATOMIC_RELAXED);
  out->nice = __atomic_load_n(&t->nice, __ATOMIC_RELAXED);
  kplat_task *k = t->kp;
  // A task woken but not yet back on a processor is no longer waiting.
  out->sleeping = k->asleep.load() && __atomic_load_n(&t->state, __ATOMIC_SEQ_CST) != TASK_RUNNING;
  out->sleep_left = -1;
  uint64_t until = k->sleep_until_ns.load();
  if (out->sleeping && until != UINT64_MAX) {
    uint64_t now = kplat::clock_ns();
    out->sleep_left = until > now ? (long)((until - now + 999999) / 1000000) : 0;
  }
  return true;
}

}  // namespace host

// ---- tasks for threads of other processes ----

namespace kplat {

pid_t user_memory_pid() {
  struct task_struct *t = tls_current;
  if (!t || !t->kp->user_pid || t->kp_addr_limit != USER_DS.seg) return 0;
  return t->kp->user_pid;
}

pid_t file_buffer_pid() {
  struct task_struct *t = tls_current;
  return t ? t->kp->user_pid : 0;
}

pid_t user_files_tgid() {
  struct task_struct *t = tls_current;
  return t ? t->kp->user_tgid : 0;
}

}  // namespace kplat

void host::run_as_caller(const caller &c, const std::function<void()> &fn) {
  struct task_struct *own = tls_current;
  kplat_task *k = new_task(c.pid, c.tgid);
  struct task_struct *t = &k->task;
  strlcpy(t->comm, c.comm.c_str(), sizeof(t->comm));
  std::memcpy(k->last_real_name, t->comm, TASK_COMM_LEN);
  k->emulated = true;
  k->user_pid = c.caller_memory ? c.pid : 0;
  k->user_tgid = c.tgid;
  t->sighand = get_caller_sighand(c.tgid);  // given back when the task is freed
  bool registered = false;
  {
    // A second request of the same thread in flight (a release behind a read, say) keeps
    // the first one's entry: signals go to the older request.
    std::lock_guard<std::mutex> g(reg().mu);
    registered = reg().by_tid.emplace(t->pid, t).second;
  }
  tls_current = t;
  struct restore {
    struct task_struct *own, *t;
    bool registered;
    ~restore() {
      tls_current = own;
      if (registered) {
        std::lock_guard<std::mutex> g(reg().mu);
        auto it = reg().by_tid.find(t->pid);
        if (it != reg().by_tid.end() && it->second == t) reg().by_tid.erase(it);
      }
      put_task_struct(t);
    }
  } r{own, t, registered};
  fn();
}
