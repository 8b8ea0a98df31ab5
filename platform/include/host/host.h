// The host API: what a program, a test or the agent uses to run the machine.
// The system calls act as the calling thread of this process makes them;
// failures return -1 and set errno (a negative driver result -E becomes
// errno E).
#pragma once
#include <linux/types.h>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>
#include <sys/types.h>
#include <host/fault.h>
#include <host/host_block.h>

namespace host {

// Runs the module's init; 0, or -1 when it failed (or no module is linked,
// or it is loaded already).
int insmod();
// Runs the module's exit: 0; -EBUSY while a handle pins the module (a
// control handle or a block device of the module open); -ENOENT when not loaded.
int rmmod();
// A MODULE_* tag of the linked module ("license", "description", "version",
// "author"), "" when absent.
std::string modinfo(const std::string &tag);

// "/dev/<name>" of a registered character device reaches its
// file_operations; any other path is asked of the block layer. The
// descriptors are real numbers reserved from the process.
int open(const char *path, int flags);
int ioctl(int fd, unsigned long cmd, void *arg);
ssize_t read(int fd, void *buf, size_t count);
ssize_t write(int fd, const void *buf, size_t count);
ssize_t pread(int fd, void *buf, size_t count, off_t offset);
ssize_t pwrite(int fd, const void *buf, size_t count, off_t offset);
int close(int fd);
// f_op->poll of an emulated descriptor: its event mask.
int poll(int fd);
// f_op->mmap with a vm area [0, length) at page offset pgoff: 0 or -1.
int mmap_dev(int fd, size_t length, unsigned long pgoff);

// Kernel log: lines oldest first, without the level prefix and the trailing
// newline, as the dmesg tool shows them.
struct dmesg_record {
  int level;  // 0..7; lines without a prefix get 4
  std::string text;
};
std::vector<std::string> dmesg();
std::vector<dmesg_record> dmesg_records();
void dmesg_clear();
// Called with every line once it is complete, in log order, by the task that printed it, which
// may be in atomic context, and with the log's lock held: it must not sleep, block for long or
// print (queue the line and write it elsewhere). An empty function removes it.
void set_dmesg_sink(std::function<void(const dmesg_record &)> sink);

// Platform clock: factor 1 is real time; 1000 makes a 5 s sleep take 5 ms; 0 stops platform
// time, which then moves only by advance_clock: a test decides when each sleep times out.
void set_clock_speed(double factor);
double clock_speed();
// Moves platform time on by ms at once (at any speed) and returns when every task whose
// sleep timed out by then has woken from it.
void advance_clock(unsigned long ms);

// Signals. Makes a signal pending on the task with that thread id and wakes
// it out of an interruptible sleep. A signal whose handler in the emulated
// table is SIG_IGN is discarded, as the kernel does. 1 when made pending, 0
// when discarded, -ESRCH when no task has that id.
int signal_task(pid_t tid, int sig = 15);
int clear_signal(pid_t tid);  // 0, or -ESRCH
bool signal_pending(pid_t tid);
// The emulated handler of sig for this process (SIG_DFL unless changed by the
// driver); void* so no kernel types are needed here.
void *signal_handler(int sig);

// Requests from other processes (the machine's FUSE files). A thread of another process on
// whose behalf the machine runs a request.
struct caller {
  pid_t pid = 0;     // its thread id: current->pid, and the target of signal_task
  pid_t tgid = 0;    // its process: current->tgid; fget resolves descriptors of this process
  std::string comm;  // current->comm (at most 15 characters are kept)
  // true: copy_from_user/copy_to_user address the caller's memory (process_vm_readv/writev
  // on pid; a bad address is a failed copy). false: this process's memory, for requests whose
  // data the machine already holds (FUSE read and write buffers).
  bool caller_memory = true;
};
// Runs fn on the calling thread as an emulated task of that caller, then gives the thread its
// own task back. While fn runs, current is that task (pid, tgid, comm as given; its name never
// renames the real thread), signal_task(c.pid) makes a signal pending on it, its signal-handler
// table is shared with the other tasks of c.tgid in the machine only (fresh, all SIG_DFL, once
// none of them is left; this process's own table for c.tgid == getpid()), and fget(fd)
// takes the caller's descriptor fd with pidfd_getfd (descriptors of this process's host::open
// stay usable through the host:: calls). Copies under set_fs(KERNEL_DS) stay local. May sleep.
void run_as_caller(const caller &c, const std::function<void()> &fn);

// Task attributes, for tests.
struct task_info {
  pid_t pid;
  std::string comm;
  unsigned flags;
  int nice;
  bool sleeping;    // in a sleep, waiting for a wake-up or its time-out
  long sleep_left;  // platform ms until that sleep times out; -1: none, or not sleeping
};
bool task_info_of(pid_t tid, task_info *out);
// Only the name, read under the task lock as set_task_comm writes it: safe to poll while the
// task changes its flags (which task_info_of reads as a kernel would, racily).
bool task_comm_of(pid_t tid, std::string *comm);

// Memory counters.
long pages_in_use();                    // alloc_page(s) not yet freed, in pages
long zone_page_state(int item);         // global_page_state, signed
long kmalloc_in_use();                  // kmalloc'd objects not yet kfree'd
long vmalloc_in_use();                  // vmalloc'd areas not yet vfree'd
long kmem_cache_objects(const std::string &name);  // live objects; -1: no such cache
std::vector<std::string> kmem_cache_names();

// Registered character devices as "major name".
std::vector<std::string> chrdevs();

}  // namespace host
