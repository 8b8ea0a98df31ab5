// Kernel threads: each a std::thread with its own task. The creator holds
// one reference until kthread_stop, which joins the thread.
#include "task.h"
#include "internal.h"
#include <linux/kthread.h>
#include <cstdarg>
#include <cstdio>
#include <cstring>

using namespace kplat;

struct task_struct *kthread_create(int (*threadfn)(void *data), void *data, const char namefmt[], ...) {
  check_sleep("kthread_create");
  char name[TASK_COMM_LEN * 4];
  va_list ap;
  va_start(ap, namefmt);
  vsnprintf(name, sizeof(name), namefmt, ap);
  va_end(ap);
  fault_ctx ctx;
  ctx.name = name;
  if (fault_hit("kthread_create", ctx)) return static_cast<struct task_struct *>(ERR_PTR(-ENOMEM));

  std::mutex mu;
  std::condition_variable cv;
  struct task_struct *created = nullptr;
  std::thread th;
  try {
    th = std::thread([&, threadfn, data]() {
      char comm[TASK_COMM_LEN];
      strlcpy(comm, name, sizeof(comm));
      pthread_setname_np(pthread_self(), comm);
      struct task_struct *t = create_current_task_with([&](kplat_task *k) {
        k->is_kthread = true;
        k->threadfn = threadfn;
        k->data = data;
        k->task.flags |= PF_KTHREAD;
        k->task.mm = nullptr;
        k->task.kp_addr_limit = ~0UL;
        k->refs.store(2);  // the thread's and the creator's
        // Created asleep: runs its function once woken.
        k->task.state = TASK_UNINTERRUPTIBLE;
      });
      kplat_task *k = t->kp;
      {
        std::lock_guard<std::mutex> g(mu);
        created = t;
        cv.notify_all();
      }
      // From here on the creator's locals are gone.
      sched_timeout_raw(MAX_SCHEDULE_TIMEOUT);
      int result = -EINTR;
      if (!k->should_stop.load()) result = k->threadfn(k->data);
      std::lock_guard<std::mutex> g(k->mu);
      k->result = result;
      k->exited = true;
      k->exit_cv.notify_all();
    });
  } catch (const std::system_error &) {
    return static_cast<struct task_struct *>(ERR_PTR(-ENOMEM));
  }
  std::unique_lock<std::mutex> lk(mu);
  cv.wait(lk, [&] { return created != nullptr; });
  created->kp->runner = std::move(th);
  return created;
}

int kthread_stop(struct task_struct *k) {
  check_sleep("kthread_stop");
  kplat_task *kp = k->kp;
  kp->should_stop.store(true);
  wake_up_process(k);
  int result;
  {
    std::unique_lock<std::mutex> lk(kp->mu);
    kp->exit_cv.wait(lk, [&] { return kp->exited; });
    result = kp->result;
  }
  if (kp->runner.joinable()) kp->runner.join();
  put_task_struct(k);
  return result;
}

int kthread_should_stop(void) {
  kplat_task *k = current_task()->kp;
  return k->is_kthread && k->should_stop.load();
}
