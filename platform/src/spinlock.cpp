// Spinlocks and interrupt/preemption state. Each held spinlock raises the
// task's preempt count, which is what makes a later sleeping call abort.
#include "task.h"
#include "internal.h"
#include <linux/spinlock.h>
#include <linux/highmem.h>

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <cstdio>
#include <cstdlib>

#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#define KP_TSAN(call) call
#else
#define KP_TSAN(call) ((void)0)
#endif

using namespace kplat;

namespace {
constexpr int kSpinsBeforePark = 256;

bool try_take(kplat_raw_spinlock_t *l) {
  int free_word = 0;
  return __atomic_load_n(&l->locked, __ATOMIC_RELAXED) == 0 &&
         __atomic_compare_exchange_n(&l->locked, &free_word, 1, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED);
}

void futex(int *word, int op, int val) {
  syscall(SYS_futex, word, op | FUTEX_PRIVATE_FLAG, val, nullptr, nullptr, 0);
}

// A waiter that has spun long enough marks the word and sleeps on it; taking the lock from
// here on leaves the mark, since other waiters may still sleep there.
void park_until_taken(kplat_raw_spinlock_t *l) {
  while (__atomic_exchange_n(&l->locked, 2, __ATOMIC_ACQUIRE) != 0) futex(&l->locked, FUTEX_WAIT, 2);
}
}  // namespace

void kplat_raw_spin_lock(kplat_raw_spinlock_t *l) {
  KP_TSAN(__tsan_mutex_pre_lock(l, 0));
  int spins = 0;
  while (!try_take(l)) {
    if (++spins == kSpinsBeforePark) {
      park_until_taken(l);
      break;
    }
    __builtin_ia32_pause();
  }
  KP_TSAN(__tsan_mutex_post_lock(l, 0, 0));
}

int kplat_raw_spin_trylock(kplat_raw_spinlock_t *l) {
  KP_TSAN(__tsan_mutex_pre_lock(l, __tsan_mutex_try_lock));
  bool taken = try_take(l);
  KP_TSAN(__tsan_mutex_post_lock(l, taken ? __tsan_mutex_try_lock : __tsan_mutex_try_lock_failed, 0));
  return taken;
}

void kplat_raw_spin_unlock(kplat_raw_spinlock_t *l) {
  KP_TSAN(__tsan_mutex_pre_unlock(l, 0));
  if (__atomic_exchange_n(&l->locked, 0, __ATOMIC_RELEASE) == 2) futex(&l->locked, FUTEX_WAKE, 1);
  KP_TSAN(__tsan_mutex_post_unlock(l, 0));
}

namespace {
inline struct task_struct *me() { return current_task(); }

[[noreturn]] void inconsistent_lock_state(spinlock_t *lock, struct task_struct *t, const char *call,
                                          unsigned now) {
  const bool in_irq = now == KPLAT_LOCK_USED_IN_IRQ;
  fprintf(stderr, "BUG: spinlock taken both in interrupt context and with interrupts enabled: %s(%s)\n", call,
          lock->name ? lock->name : "unnamed lock");
  fprintf(stderr, "inconsistent %s usage: taken %s before, now %s; lock: %p, pid: %d, name: %s\n",
          in_irq ? "{HARDIRQ-ON-W} -> {IN-HARDIRQ-W}" : "{IN-HARDIRQ-W} -> {HARDIRQ-ON-W}",
          in_irq ? "with interrupts enabled" : "in interrupt context",
          in_irq ? "in interrupt context" : "with interrupts enabled", (void *)lock, t->pid, t->comm);
  fflush(stderr);
  abort();
}

// Records how the lock is being taken; the first acquisition of the other kind aborts.
inline void note_usage(spinlock_t *lock, struct task_struct *t, const char *call) {
  unsigned now = t->kp_irq_depth ? KPLAT_LOCK_USED_IN_IRQ : t->kp_irqs_off ? 0u : KPLAT_LOCK_USED_IRQS_ON;
  if (likely(!now || (__atomic_load_n(&lock->usage, __ATOMIC_RELAXED) & now))) return;
  unsigned seen = __atomic_fetch_or(&lock->usage, now, __ATOMIC_RELAXED);
  if (seen & ~now) inconsistent_lock_state(lock, t, call, now);
}

void lock_common(spinlock_t *lock, struct task_struct *t, const char *call) {
  if (unlikely(__atomic_load_n(&lock->owner, __ATOMIC_RELAXED) == t->kp_lock_owner))
    fatal("BUG: spinlock recursion on CPU, %s/%d", t->comm, t->pid);
  note_usage(lock, t, call);
  t->kp_preempt_count++;
  kplat_raw_spin_lock(&lock->raw);
  __atomic_store_n(&lock->owner, t->kp_lock_owner, __ATOMIC_RELAXED);
}

void unlock_common(spinlock_t *lock, struct task_struct *t) {
  if (unlikely(__atomic_load_n(&lock->owner, __ATOMIC_RELAXED) != t->kp_lock_owner))
    fatal("BUG: spinlock wrong owner on CPU, %s/%d", t->comm, t->pid);
  __atomic_store_n(&lock->owner, 0, __ATOMIC_RELAXED);
  kplat_raw_spin_unlock(&lock->raw);
  t->kp_preempt_count--;
}
}  // namespace

void kplat_spin_lock_init(spinlock_t *lock, const char *name) {
  __atomic_store_n(&lock->raw.locked, 0, __ATOMIC_RELAXED);
  lock->owner = 0;
  __atomic_store_n(&lock->usage, 0u, __ATOMIC_RELAXED);
  lock->name = name;
}

void spin_lock(spinlock_t *lock) { lock_common(lock, me(), "spin_lock"); }
void spin_unlock(spinlock_t *lock) { unlock_common(lock, me()); }

namespace {
// The trylock of a held lock takes nothing, so only a taken lock counts as used.
int trylock_common(spinlock_t *lock, struct task_struct *t, const char *call) {
  if (!kplat_raw_spin_trylock(&lock->raw)) return 0;
  note_usage(lock, t, call);
  t->kp_preempt_count++;
  __atomic_store_n(&lock->owner, t->kp_lock_owner, __ATOMIC_RELAXED);
  return 1;
}
}  // namespace

int spin_trylock(spinlock_t *lock) { return trylock_common(lock, me(), "spin_trylock"); }

int kplat_spin_trylock_irqsave(spinlock_t *lock, unsigned long *flags) {
  struct task_struct *t = me();
  *flags = (unsigned long)t->kp_irqs_off;
  t->kp_irqs_off = 1;
  if (trylock_common(lock, t, "spin_trylock_irqsave")) return 1;
  t->kp_irqs_off = (int)*flags;
  return 0;
}

void spin_lock_irq(spinlock_t *lock) {
  struct task_struct *t = me();
  t->kp_irqs_off = 1;
  lock_common(lock, t, "spin_lock_irq");
}

void spin_unlock_irq(spinlock_t *lock) {
  struct task_struct *t = me();
  unlock_common(lock, t);
  t->kp_irqs_off = 0;
}

void spin_lock_bh(spinlock_t *lock) { lock_common(lock, me(), "spin_lock_bh"); }
void spin_unlock_bh(spinlock_t *lock) { spin_unlock(lock); }

unsigned long kplat_spin_lock_irqsave(spinlock_t *lock) {
  struct task_struct *t = me();
  unsigned long flags = (unsigned long)t->kp_irqs_off;
  t->kp_irqs_off = 1;
  lock_common(lock, t, "spin_lock_irqsave");
  return flags;
}

void spin_unlock_irqrestore(spinlock_t *lock, unsigned long flags) {
  struct task_struct *t = me();
  unlock_common(lock, t);
  t->kp_irqs_off = (int)flags;
}

int spin_is_locked(spinlock_t *lock) { return __atomic_load_n(&lock->owner, __ATOMIC_RELAXED) != 0; }

unsigned long kplat_local_irq_save(void) {
  struct task_struct *t = me();
  unsigned long flags = (unsigned long)t->kp_irqs_off;
  t->kp_irqs_off = 1;
  return flags;
}
void kplat_local_irq_restore(unsigned long flags) { me()->kp_irqs_off = (int)flags; }
void local_irq_disable(void) { me()->kp_irqs_off = 1; }
void local_irq_enable(void) { me()->kp_irqs_off = 0; }
int irqs_disabled(void) { return me()->kp_irqs_off != 0; }
void preempt_disable(void) { me()->kp_preempt_count++; }
void preempt_enable(void) { me()->kp_preempt_count--; }

void rwlock_init(rwlock_t *lock) { pthread_rwlock_init(&lock->raw, nullptr); }
void read_lock(rwlock_t *lock) {
  me()->kp_preempt_count++;
  pthread_rwlock_rdlock(&lock->raw);
}
void read_unlock(rwlock_t *lock) {
  pthread_rwlock_unlock(&lock->raw);
  me()->kp_preempt_count--;
}
void write_lock(rwlock_t *lock) {
  me()->kp_preempt_count++;
  pthread_rwlock_wrlock(&lock->raw);
}
void write_unlock(rwlock_t *lock) {
  pthread_rwlock_unlock(&lock->raw);
  me()->kp_preempt_count--;
}
unsigned long kplat_read_lock_irqsave(rwlock_t *lock) {
  unsigned long f = kplat_local_irq_save();
  read_lock(lock);
  return f;
}
unsigned long kplat_write_lock_irqsave(rwlock_t *lock) {
  unsigned long f = kplat_local_irq_save();
  write_lock(lock);
  return f;
}
void read_unlock_irqrestore(rwlock_t *lock, unsigned long flags) {
  read_unlock(lock);
  kplat_local_irq_restore(flags);
}
void write_unlock_irqrestore(rwlock_t *lock, unsigned long flags) {
  write_unlock(lock);
  kplat_local_irq_restore(flags);
}

void *kmap_atomic(struct page *page, enum km_type type) {
  me()->kp_preempt_count++;
  return page_address(page);
}
void kunmap_atomic(void *kvaddr, enum km_type type) { me()->kp_preempt_count--; }
