// Platform-private parts of tasks and the scheduler (core only).
#pragma once
#include <linux/sched.h>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kplat {
// A caller's shared memory mapped here (local null: a range that cannot be), by the caller's
// address range (remote_window.cpp).
struct remote_window {
  pid_t pid;
  uintptr_t start, end;  // the caller's mapping
  char *local;           // its first `mapped` bytes here (what its object holds)
  size_t mapped;
};
struct remote_windows {
  std::vector<remote_window> windows;
  ~remote_windows();
  // Where [remote, remote + n) of process pid is here, or null.
  char *find(pid_t pid, const void *remote, size_t n);
};
}  // namespace kplat

struct kplat_task {
  struct task_struct task;  // task.kp points back here
  std::mutex mu;            // guards the kthread exit fields below
  // Parking: a sleeper waits on the futex word wake_seq, which every wake-up advances;
  // `sleeping` tells a waker whether the system call is needed at all.
  std::atomic<uint32_t> wake_seq{0};
  std::atomic<int> sleeping{0};
  // A sleep that really waits, from its start until it is over (wake-ups that find the task
  // still asleep do not end it), and the platform time at which it times out (UINT64_MAX:
  // never), set first: whoever sees a sleeper sees its deadline.
  std::atomic<int> asleep{0};
  std::atomic<uint64_t> sleep_until_ns{UINT64_MAX};
  std::atomic<int> refs{1};
  char last_real_name[TASK_COMM_LEN] = {};  // real thread name at the last refresh
  pthread_t thread{};
  // The task set a sleeping state since its last schedule (own thread only): a schedule
  // that then finds it running was woken early and returns at once; one called while
  // running on purpose gives the processor up.
  bool prepared_sleep = false;

  // A task run for a thread of another process (host::run_as_caller): its name is not the
  // real thread's, and user memory and descriptors are that process's.
  bool emulated = false;
  pid_t user_pid = 0;   // copy_*_user go to this thread's memory; 0: our own
  pid_t user_tgid = 0;  // fget takes descriptors of this process; 0: our own
  kplat::remote_windows windows;  // own thread only

  // Kernel threads.
  bool is_kthread = false;
  int (*threadfn)(void *) = nullptr;
  void *data = nullptr;
  std::atomic<bool> should_stop{false};
  bool exited = false;  // mu
  int result = 0;       // mu
  std::condition_variable exit_cv;
  std::thread runner;
};

namespace kplat {
// Sleeps until the task state is TASK_RUNNING again (wake_up_process), a
// signal arrives in TASK_INTERRUPTIBLE, or timeout jiffies pass; leaves the
// state TASK_RUNNING and returns the jiffies left. No context check.
long sched_timeout_raw(long timeout);
// Makes tsk runnable when its state matches mask; 1 when it did.
int try_to_wake_up(struct task_struct *tsk, unsigned int mask);
// A task for the calling thread, set up by fn before it is registered.
struct task_struct *create_current_task_with(const std::function<void(kplat_task *)> &fn);
// Calls fn on every registered task, under the registry lock.
void for_each_task(const std::function<void(struct task_struct *)> &fn);
void wake_all_sleepers();  // the clock changed: sleepers recompute deadlines
// Returns once no task is still in a sleep that timed out by platform time now_ns.
void wait_for_expired_sleeps(uint64_t now_ns);

// The calling task's foreign process for user copies (0: this process's memory, also under
// set_fs(KERNEL_DS)) and for descriptors (0: this process).
pid_t user_memory_pid();
pid_t user_files_tgid();
// The caller's thread whose memory a file's read or write buffer is in, whatever the address
// limit, or 0 for this process. In the kernel a read or write under set_fs(KERNEL_DS) reaches
// the calling process's memory as well as the kernel's, and the driver uses that for an IO
// worker's staging buffer, an address of the caller: a task running another process's request
// moves such a buffer to or from the caller.
pid_t file_buffer_pid();
// Bytes moved between this process's `local` and `remote` in process pid's memory, up to the
// first bad page.
size_t copy_with_process(pid_t pid, void *local, const void *remote, size_t n, bool to_remote);
// The calling task's view of [remote, remote + n) in process pid's shared memory, mapped on
// first use for the task's life; null where the range is not such memory.
char *remote_window_for(pid_t pid, const void *remote, size_t n);

// Platform clock internals.
std::chrono::steady_clock::time_point real_deadline_for_ns(uint64_t platform_ns);
uint64_t jiffies_to_platform_ns(unsigned long j);

// Raw lock helpers for the internal spinlock_t of primitives.
inline void raw_lock(spinlock_t *l) { kplat_raw_spin_lock(&l->raw); }
inline void raw_unlock(spinlock_t *l) { kplat_raw_spin_unlock(&l->raw); }

// Writes a line to stderr and to the kernel log.
void report(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
[[noreturn]] void fatal(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
}  // namespace kplat
