// Spinlocks: real mutual exclusion plus the context bookkeeping the kernel's
// debug build does: while a task holds any spinlock it is atomic, and a
// sleeping call aborts. spin_lock_irqsave/spin_lock_irq also mark the task's
// interrupts as off.
#pragma once
#include <linux/types.h>
#include <linux/compiler.h>
#include <pthread.h>

// The lock word. Since no holder may sleep, a waiter spins a while; past
// that the holder has been preempted by the host, which no kernel spinlock
// holder can be, and the waiter parks on the word until the release instead
// of yielding: the host scheduler may hand the processor straight back to a
// yielder, for milliseconds, while the holder waits to run. A free lock costs
// one atomic instruction to take (a compare-exchange) and one to release (an
// exchange, which tells whether a waiter is parked). The sanitizers are told of
// every lock and unlock.
typedef struct {
  int locked;  // 0 free, 1 taken, 2 taken with a parked waiter; accessed atomically
} kplat_raw_spinlock_t;
void kplat_raw_spin_lock(kplat_raw_spinlock_t *l);
int kplat_raw_spin_trylock(kplat_raw_spinlock_t *l);  // 1 when taken
void kplat_raw_spin_unlock(kplat_raw_spinlock_t *l);

// A spinlock also remembers how it has been taken, as lockdep's irq-safe/irq-unsafe check
// does: in interrupt context, and in process context with interrupts enabled. A lock that has
// been both can deadlock a processor (an interrupt spinning on the lock its own processor
// holds), and the acquisition that makes it both aborts, naming the lock and the call. An
// acquisition of a kind the lock has seen before costs one load.
#define KPLAT_LOCK_USED_IN_IRQ 1u   // taken in interrupt context
#define KPLAT_LOCK_USED_IRQS_ON 2u  // taken in process context with interrupts enabled
typedef struct spinlock {
  kplat_raw_spinlock_t raw;
  pid_t owner;         // the holder task's kp_lock_owner, 0 when free (read atomically)
  unsigned usage;      // KPLAT_LOCK_USED_* seen so far (accessed atomically)
  const char *name;    // as spin_lock_init or DEFINE_SPINLOCK spelled it; null if zeroed
} spinlock_t;

#define __SPIN_LOCK_UNLOCKED(lockname) {{0}, 0, 0, #lockname}
#define SPIN_LOCK_UNLOCKED __SPIN_LOCK_UNLOCKED(old_style)
#define DEFINE_SPINLOCK(x) spinlock_t x = __SPIN_LOCK_UNLOCKED(x)

// Named after its argument, as mutex_init names a mutex ("&cs->write_list_lock").
void kplat_spin_lock_init(spinlock_t *lock, const char *name);
#define spin_lock_init(lock) kplat_spin_lock_init(lock, #lock)
void spin_lock(spinlock_t *lock) __acquires(lock);
void spin_unlock(spinlock_t *lock) __releases(lock);
int spin_trylock(spinlock_t *lock);  // 1 when taken
// 1 when taken, with interrupts off and their state saved in flags (released with
// spin_unlock_irqrestore); 0 with the interrupt state unchanged.
int kplat_spin_trylock_irqsave(spinlock_t *lock, unsigned long *flags);
#define spin_trylock_irqsave(lock, flags) kplat_spin_trylock_irqsave(lock, &(flags))
void spin_lock_irq(spinlock_t *lock);
void spin_unlock_irq(spinlock_t *lock);
void spin_lock_bh(spinlock_t *lock);
void spin_unlock_bh(spinlock_t *lock);
unsigned long kplat_spin_lock_irqsave(spinlock_t *lock);
void spin_unlock_irqrestore(spinlock_t *lock, unsigned long flags);
int spin_is_locked(spinlock_t *lock);
#define spin_lock_irqsave(lock, flags) \
  do { (flags) = kplat_spin_lock_irqsave(lock); } while (0)
#define spin_lock_nested(lock, subclass) spin_lock(lock)
#define assert_spin_locked(lock) BUG_ON(!spin_is_locked(lock))

// Interrupt state of the calling task (there are no real interrupts: the
// flag only feeds the context checks).
unsigned long kplat_local_irq_save(void);
void kplat_local_irq_restore(unsigned long flags);
void local_irq_disable(void);
void local_irq_enable(void);
int irqs_disabled(void);
#define local_irq_save(flags) do { (flags) = kplat_local_irq_save(); } while (0)
#define local_irq_restore(flags) kplat_local_irq_restore(flags)
void preempt_disable(void);
void preempt_enable(void);
#define preempt_enable_no_resched() preempt_enable()

// Reader-writer spinlocks.
typedef struct {
  pthread_rwlock_t raw;
} rwlock_t;
#define __RW_LOCK_UNLOCKED(name) {PTHREAD_RWLOCK_INITIALIZER}
#define DEFINE_RWLOCK(x) rwlock_t x = __RW_LOCK_UNLOCKED(x)
void rwlock_init(rwlock_t *lock);
void read_lock(rwlock_t *lock);
void read_unlock(rwlock_t *lock);
void write_lock(rwlock_t *lock);
void write_unlock(rwlock_t *lock);
unsigned long kplat_read_lock_irqsave(rwlock_t *lock);
unsigned long kplat_write_lock_irqsave(rwlock_t *lock);
void read_unlock_irqrestore(rwlock_t *lock, unsigned long flags);
void write_unlock_irqrestore(rwlock_t *lock, unsigned long flags);
#define read_lock_irqsave(lock, flags) do { (flags) = kplat_read_lock_irqsave(lock); } while (0)
#define write_lock_irqsave(lock, flags) do { (flags) = kplat_write_lock_irqsave(lock); } while (0)
