// Tasks. Every thread that calls into the platform has a task, made when it
// is first seen and freed when the thread ends; `current` yields it. A task
// belongs to the one emulated process (pid, descriptor table, signal-handler
// table shared by all its threads); a task run for another process's thread
// (host::run_as_caller) shares the signal-handler table of that process's
// tasks instead. The emulated signal tables never touch the real process's
// signal dispositions.
#pragma once
#include <signal.h>  // first, so the kernel's _NSIG below wins
#include <linux/types.h>
#include <linux/kernel.h>
#include <linux/list.h>
#include <linux/atomic.h>
#include <linux/spinlock.h>
#include <linux/hardirq.h>
#include <linux/jiffies.h>

#undef _NSIG
#define _NSIG 64
#define _NSIG_BPW 64
#define _NSIG_WORDS (_NSIG / _NSIG_BPW)

#define TASK_COMM_LEN 16

#define TASK_RUNNING 0
#define TASK_INTERRUPTIBLE 1
#define TASK_UNINTERRUPTIBLE 2
#define __TASK_STOPPED 4
#define __TASK_TRACED 8
#define TASK_DEAD 64
#define TASK_WAKEKILL 128
#define TASK_KILLABLE (TASK_WAKEKILL | TASK_UNINTERRUPTIBLE)
#define TASK_NORMAL (TASK_INTERRUPTIBLE | TASK_UNINTERRUPTIBLE)
#define TASK_ALL (TASK_NORMAL | __TASK_STOPPED | __TASK_TRACED)

#define PF_EXITING 0x00000004
#define PF_FORKNOEXEC 0x00000040
#define PF_SUPERPRIV 0x00000100
#define PF_MEMALLOC 0x00000800
#define PF_FREEZING 0x00004000
#define PF_NOFREEZE 0x00008000
#define PF_FROZEN 0x00010000
#define PF_LESS_THROTTLE 0x00100000
#define PF_KTHREAD 0x00200000

// Thread flags (bit numbers in task_struct::thread_flags, x86 values).
#define TIF_SIGPENDING 2
#define TIF_NEED_RESCHED 3
#define TIF_MEMDIE 20

#define MAX_SCHEDULE_TIMEOUT LONG_MAX

typedef struct {
  unsigned long sig[_NSIG_WORDS];
} kplat_sigset_t;

// The kernel calls this `struct sigaction`; the C library owns that name,
// and its <signal.h> makes `sa_handler` a macro for
// `__sigaction_handler.sa_handler`, so the handler sits in a union of that name
// and `action[i].sa.sa_handler` reads the same either way.
#pragma push_macro("sa_handler")
#undef sa_handler
struct kplat_sigaction {
  union {
    __sighandler_t sa_handler;
  } __sigaction_handler;
  unsigned long sa_flags;
  void (*sa_restorer)(void);
  kplat_sigset_t sa_mask;
};
#pragma pop_macro("sa_handler")
struct k_sigaction {
  struct kplat_sigaction sa;
};

struct sighand_struct {
  spinlock_t siglock;
  // Indexed by signal number - 1; one spare entry so that loops written
  // against either _NSIG (64 here, 65 in the C library) stay in bounds.
  struct k_sigaction action[_NSIG + 1];
  atomic_t count;
};

struct files_struct {
  atomic_t count;
};
struct mm_struct {
  atomic_t mm_users;
};

struct bio;
struct kplat_task;  // platform-private part (platform/src/internal.h)

struct task_struct {
  volatile long state;  // TASK_*; changed only through the scheduler calls
  pid_t pid;            // the thread id
  pid_t tgid;           // the process id
  char comm[TASK_COMM_LEN];
  unsigned int flags;   // PF_*
  int nice;
  int static_prio;      // 120 + nice
  unsigned long thread_flags;  // TIF_* bits, changed atomically
  struct bio *bio_list;        // pending bios of generic_make_request
  struct bio **bio_tail;       // non-null while generic_make_request runs
  struct sighand_struct *sighand;
  struct files_struct *files;
  struct mm_struct *mm;        // null for kernel threads
  spinlock_t alloc_lock;       // task_lock
  struct task_struct *real_parent;
  void *journal_info;
  unsigned long nvcsw;         // sleeps that really waited (read atomically from elsewhere)
  // Context bookkeeping, only touched by the task's own thread.
  int kp_preempt_count;  // spinlocks held + kmap_atomic + preempt_disable
  int kp_irq_depth;      // > 0: interrupt context
  int kp_irqs_off;       // interrupts "disabled"
  unsigned long kp_addr_limit;  // get_fs/set_fs
  // The holder's mark in a spinlock: unique per task, where pids are not (two requests of one
  // caller's thread may be inside the machine at once, as tasks of the same pid).
  int kp_lock_owner;
  struct kplat_task *kp;
};

namespace kplat {
extern __thread struct task_struct *tls_current;
struct task_struct *create_current_task();
static inline struct task_struct *current_task() {
  struct task_struct *t = tls_current;
  return t ? t : create_current_task();
}
// `current` is an object, not a macro: the C++ library uses the identifier.
struct current_accessor {
  struct task_struct *operator->() const { return current_task(); }
  operator struct task_struct *() const { return current_task(); }
  struct task_struct &operator*() const { return *current_task(); }
};
}  // namespace kplat
inline constexpr kplat::current_accessor current{};

static inline void set_tsk_thread_flag(struct task_struct *t, int flag) { set_bit(flag, &t->thread_flags); }
static inline void clear_tsk_thread_flag(struct task_struct *t, int flag) { clear_bit(flag, &t->thread_flags); }
static inline int test_tsk_thread_flag(struct task_struct *t, int flag) { return test_bit(flag, &t->thread_flags); }
static inline int test_and_clear_tsk_thread_flag(struct task_struct *t, int flag) {
  return test_and_clear_bit(flag, &t->thread_flags);
}
static inline int signal_pending(struct task_struct *p) { return test_tsk_thread_flag(p, TIF_SIGPENDING); }
static inline int fatal_signal_pending(struct task_struct *p) { return signal_pending(p); }
static inline pid_t task_pid_nr(struct task_struct *t) { return t->pid; }
static inline pid_t task_tgid_nr(struct task_struct *t) { return t->tgid; }
static inline pid_t task_pid_vnr(struct task_struct *t) { return t->pid; }
static inline int task_nice(const struct task_struct *p) { return p->nice; }

// Scheduler. A task sets its state, checks its condition and calls
// schedule(); wake_up_process() makes it runnable again, so no wake-up is
// lost between the check and the sleep. A TASK_INTERRUPTIBLE sleep also ends
// when a signal is pending. Every timeout runs on the platform clock.
void kplat_set_current_state(long state);
#define set_current_state(s) kplat_set_current_state(s)
#define __set_current_state(s) kplat_set_current_state(s)
#define set_task_state(tsk, s) kplat_set_task_state((tsk), (s))
#define __set_task_state(tsk, s) kplat_set_task_state((tsk), (s))
void kplat_set_task_state(struct task_struct *tsk, long state);
void schedule(void);
long schedule_timeout(long timeout);  // remaining jiffies, 0 when it ran out
long schedule_timeout_interruptible(long timeout);
long schedule_timeout_uninterruptible(long timeout);
long schedule_timeout_killable(long timeout);
int wake_up_process(struct task_struct *tsk);  // 1 when it was asleep
int wake_up_state(struct task_struct *tsk, unsigned int state);
void yield(void);
int cond_resched(void);
#define cond_resched_lock(lock) 0
void set_user_nice(struct task_struct *p, long nice);
void task_lock(struct task_struct *p);
void task_unlock(struct task_struct *p);
// Also renames the real thread when tsk is the caller.
void set_task_comm(struct task_struct *tsk, const char *name);
char *get_task_comm(char *buf, struct task_struct *tsk);
void get_task_struct(struct task_struct *t);
void put_task_struct(struct task_struct *t);
void flush_signals(struct task_struct *t);
int send_sig(int sig, struct task_struct *p, int priv);
int allow_signal(int sig);
int disallow_signal(int sig);
struct task_struct *find_task_by_vpid(pid_t nr);  // no reference taken
static inline int capable(int cap) { return 1; }
#define CAP_SYS_ADMIN 21
#define CAP_SYS_RESOURCE 24
