// Sleeping calls in atomic or interrupt context abort with the kernel's
// message naming the call.
#include <gtest/gtest.h>
#include <linux/kernel.h>
#include <linux/spinlock.h>
#include <linux/semaphore.h>
#include <linux/mutex.h>
#include <linux/rwsem.h>
#include <linux/wait.h>
#include <linux/completion.h>
#include <linux/delay.h>
#include <linux/slab.h>
#include <linux/vmalloc.h>
#include <linux/mempool.h>
#include <linux/gfp.h>
#include <linux/highmem.h>
#include <linux/uaccess.h>
#include <linux/file.h>
#include <linux/kthread.h>
#include "../../platform/src/internal.h"
#include <thread>

namespace {

DEFINE_SPINLOCK(lock);

class ContextDeath : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

#define EXPECT_BUG(stmt, name) \
  EXPECT_DEATH(stmt, "BUG: sleeping function called from invalid context: " name)

// Each call runs under a spinlock (atomic context).
template <typename F>
void under_spinlock(F f) {
  spin_lock(&lock);
  f();
  spin_unlock(&lock);
}

TEST_F(ContextDeath, SleepingCallsUnderSpinlockAbort) {
  static struct semaphore sem;
  sema_init(&sem, 1);
  static DEFINE_MUTEX(mx);
  static DECLARE_RWSEM(rw);
  static DECLARE_WAIT_QUEUE_HEAD(wq);
  static DECLARE_COMPLETION(done);
  complete_all(&done);
  char buf[8] = {0};
  char src[8] = {0};

  EXPECT_BUG(under_spinlock([] { down(&sem); }), "down");
  EXPECT_BUG(under_spinlock([] { (void)down_interruptible(&sem); }), "down_interruptible");
  EXPECT_BUG(under_spinlock([] { mutex_lock(&mx); }), "mutex_lock");
  EXPECT_BUG(under_spinlock([] { (void)mutex_lock_interruptible(&mx); }), "mutex_lock_interruptible");
  EXPECT_BUG(under_spinlock([] { down_read(&rw); }), "down_read");
  EXPECT_BUG(under_spinlock([] { down_write(&rw); }), "down_write");
  // The condition already holds: the check still fires.
  EXPECT_BUG(under_spinlock([] { wait_event(wq, 1); }), "wait_event");
  EXPECT_BUG(under_spinlock([] { (void)wait_event_interruptible(wq, 1); }), "wait_event_interruptible");
  EXPECT_BUG(under_spinlock([] { (void)wait_event_timeout(wq, 1, 10); }), "wait_event_timeout");
  EXPECT_BUG(under_spinlock([] { wait_for_completion(&done); }), "wait_for_completion");
  EXPECT_BUG(under_spinlock([] { (void)wait_for_completion_timeout(&done, 5); }), "wait_for_completion_timeout");
  EXPECT_BUG(under_spinlock([] { msleep(1); }), "msleep");
  EXPECT_BUG(under_spinlock([] { (void)schedule_timeout(1); }), "schedule_timeout");
  EXPECT_BUG(under_spinlock([] { schedule(); }), "schedule");
  EXPECT_BUG(under_spinlock([] { kfree(kmalloc(8, GFP_KERNEL)); }), "kmalloc");
  EXPECT_BUG(under_spinlock([] { (void)vmalloc(4096); }), "vmalloc");
  EXPECT_BUG(under_spinlock([] { (void)kmem_cache_create("x", 32, 0, 0, nullptr); }), "kmem_cache_create");
  EXPECT_BUG(under_spinlock([] { (void)alloc_page(GFP_KERNEL); }), "alloc_pages");
  EXPECT_BUG(under_spinlock([&] { (void)copy_from_user(buf, src, 4); }), "copy_from_user");
  EXPECT_BUG(under_spinlock([&] { (void)copy_to_user(buf, src, 4); }), "copy_to_user");
  EXPECT_BUG(under_spinlock([] { (void)fget(0); }), "fget");
  EXPECT_BUG(under_spinlock([] { (void)kthread_stop(nullptr); }), "kthread_stop");
}

TEST_F(ContextDeath, InterruptContextAndIrqsOffAbort) {
  static DEFINE_MUTEX(mx);
  EXPECT_BUG(({
               kplat::irq_context_guard irq;
               mutex_lock(&mx);
             }),
             "mutex_lock");
  EXPECT_BUG(({
               kplat::irq_context_guard irq;
               msleep(1);
             }),
             "msleep");
  EXPECT_BUG(({
               unsigned long flags;
               local_irq_save(flags);
               msleep(1);
               local_irq_restore(flags);
             }),
             "msleep");
  EXPECT_BUG(({
               unsigned long flags;
               spin_lock_irqsave(&lock, flags);
               spin_unlock(&lock);  // lock dropped, interrupts still off
               (void)flags;
               msleep(1);
             }),
             "msleep");
  EXPECT_BUG(({
               struct page *p = alloc_page(GFP_KERNEL);
               void *a = kmap_atomic(p, KM_USER0);
               msleep(1);
               kunmap_atomic(a, KM_USER0);
             }),
             "msleep");
  // A file read through a real descriptor is a sleeping call.
  EXPECT_BUG(({
               struct file *f = fget(0);
               char c;
               loff_t pos = 0;
               spin_lock(&lock);
               f->f_op->read(f, &c, 1, &pos);
             }),
             "file_read");
}

// What is allowed in atomic context stays allowed, and the bookkeeping
// unwinds: after the lock is dropped sleeping works again.
TEST(Context, NonSleepingCallsAreFineInAtomicContext) {
  struct semaphore sem;
  sema_init(&sem, 1);
  struct mutex mx;
  mutex_init(&mx);
  unsigned long flags;
  spin_lock_irqsave(&lock, flags);
  EXPECT_TRUE(in_atomic());
  EXPECT_TRUE(irqs_disabled());
  void *p = kmalloc(64, GFP_ATOMIC);
  EXPECT_NE(p, nullptr);
  kfree(p);
  struct page *pg = alloc_page(GFP_ATOMIC);
  EXPECT_NE(pg, nullptr);
  __free_page(pg);
  EXPECT_EQ(down_trylock(&sem), 0);
  up(&sem);
  EXPECT_EQ(mutex_trylock(&mx), 1);
  mutex_unlock(&mx);
  DECLARE_WAIT_QUEUE_HEAD(wq);
  wake_up(&wq);
  udelay(10);
  spin_unlock_irqrestore(&lock, flags);
  EXPECT_FALSE(in_atomic());
  EXPECT_FALSE(irqs_disabled());
  msleep(1);
  {
    kplat::irq_context_guard irq;
    EXPECT_TRUE(in_interrupt());
    EXPECT_EQ(spin_trylock(&lock), 1);
    spin_unlock(&lock);
  }
  EXPECT_FALSE(in_interrupt());
}

#define EXPECT_IRQ_BUG(stmt, call)                                                                  \
  EXPECT_DEATH(stmt, "BUG: spinlock taken both in interrupt context and with interrupts enabled: " \
                     call)

// A lock an interrupt takes must never be held with interrupts enabled: the interrupt could
// come on the holder's processor and spin for ever. Whichever of the two comes second aborts.
TEST_F(ContextDeath, SpinlockTakenInInterruptAndWithInterruptsEnabledAborts) {
  EXPECT_IRQ_BUG(({
                   DEFINE_SPINLOCK(irq_first);
                   {
                     kplat::irq_context_guard irq;
                     spin_lock(&irq_first);
                     spin_unlock(&irq_first);
                   }
                   spin_lock(&irq_first);
                 }),
                 "spin_lock\\(irq_first\\)");
  EXPECT_IRQ_BUG(({
                   spinlock_t enabled_first;
                   spin_lock_init(&enabled_first);
                   spin_lock(&enabled_first);
                   spin_unlock(&enabled_first);
                   kplat::irq_context_guard irq;
                   unsigned long flags;
                   spin_lock_irqsave(&enabled_first, flags);
                   (void)flags;  // the lock aborts first
                 }),
                 "spin_lock_irqsave\\(&enabled_first\\)");
  // A trylock that got the lock holds it like any other acquisition.
  EXPECT_IRQ_BUG(({
                   DEFINE_SPINLOCK(probed);
                   {
                     kplat::irq_context_guard irq;
                     spin_lock(&probed);
                     spin_unlock(&probed);
                   }
                   if (spin_trylock(&probed)) spin_unlock(&probed);
                 }),
                 "spin_trylock\\(probed\\)");
  EXPECT_IRQ_BUG(({
                   DEFINE_SPINLOCK(bh);
                   spin_lock_bh(&bh);
                   spin_unlock_bh(&bh);
                   kplat::irq_context_guard irq;
                   (void)spin_trylock(&bh);
                 }),
                 "spin_trylock\\(bh\\)");
}

// Process-context holders with interrupts off may share a lock with interrupt context; a
// failed trylock holds nothing and counts as no use.
TEST(Context, LockSharedWithInterruptsIsFineWithInterruptsOff) {
  DEFINE_SPINLOCK(shared);
  unsigned long flags;
  {
    kplat::irq_context_guard irq;
    spin_lock(&shared);
    spin_unlock(&shared);
  }
  spin_lock_irqsave(&shared, flags);
  std::thread([&] { EXPECT_EQ(0, spin_trylock(&shared)); }).join();
  spin_unlock_irqrestore(&shared, flags);
  spin_lock_irq(&shared);
  spin_unlock_irq(&shared);
  local_irq_save(flags);
  spin_lock(&shared);
  spin_unlock(&shared);
  local_irq_restore(flags);

  ASSERT_EQ(1, spin_trylock_irqsave(&shared, flags));
  EXPECT_TRUE(irqs_disabled());
  EXPECT_TRUE(in_atomic());
  std::thread([&] {
    unsigned long f = 0;
    EXPECT_EQ(0, spin_trylock_irqsave(&shared, f));
    EXPECT_FALSE(irqs_disabled()) << "a failed trylock gives the interrupt state back";
  }).join();
  spin_unlock_irqrestore(&shared, flags);
  EXPECT_FALSE(irqs_disabled());
  EXPECT_FALSE(in_atomic());
  {
    kplat::irq_context_guard irq;
    EXPECT_EQ(1, spin_trylock(&shared));
    spin_unlock(&shared);
  }
}

TEST_F(ContextDeath, SpinlockRecursionAbortsInsteadOfHanging) {
  EXPECT_DEATH(({
                 spin_lock(&lock);
                 spin_lock(&lock);
               }),
               "spinlock recursion");
  static DEFINE_MUTEX(mx);
  EXPECT_DEATH(({
                 mutex_lock(&mx);
                 mutex_lock(&mx);
               }),
               "mutex recursion: mx");
}

}  // namespace
