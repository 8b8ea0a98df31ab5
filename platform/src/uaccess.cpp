// User-memory copies. The caller's process is this one. A copy is first tried as a
// plain memcpy under a fault fixup, as the kernel's copy routines do: a SIGSEGV or SIGBUS
// inside it jumps back here. A copy that faulted, and every copy in the sanitizer builds
// (whose interceptors would report the bad address first), goes through
// process_vm_readv/writev on our own pid instead: the kernel checks the addresses there and
// a bad one becomes an exact short count, never a fault.
#include "task.h"
#include <linux/uaccess.h>
#include <pthread.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/uio.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KP_UACCESS_FIXUP 0
#else
#define KP_UACCESS_FIXUP 1
#endif

using namespace kplat;

namespace {

// Our own pid, asked once (getpid is a system call each time) and again in a forked child.
pid_t g_self_pid;

pid_t self_pid() {
  static pthread_once_t once = PTHREAD_ONCE_INIT;
  pthread_once(&once, [] {
    g_self_pid = getpid();
    pthread_atfork(nullptr, nullptr, [] { g_self_pid = getpid(); });
  });
  return g_self_pid;
}

// Bytes moved; stops at the first bad page. pid: the process whose memory `remote` is.
size_t vm_copy_pid(pid_t pid, void *local, const void *remote, size_t n, bool to_remote) {
  size_t done = 0;
  while (done < n) {
    struct iovec l = {static_cast<char *>(local) + done, n - done};
    struct iovec r = {const_cast<char *>(static_cast<const char *>(remote)) + done, n - done};
    ssize_t got = to_remote ? process_vm_writev(pid, &l, 1, &r, 1, 0) : process_vm_readv(pid, &l, 1, &r, 1, 0);
    if (got <= 0) {
      if (got < 0 && errno == EINTR) continue;
      break;
    }
    done += (size_t)got;
  }
  return done;
}

// The caller's process when the task runs a request of another process, else our own.
size_t vm_copy(void *local, const void *remote, size_t n, bool to_remote) {
  pid_t pid = user_memory_pid();
  return pid ? copy_with_process(pid, local, remote, n, to_remote) : vm_copy_pid(self_pid(), local, remote, n, to_remote);
}

#if KP_UACCESS_FIXUP
// Set while this thread copies under the fixup: a fault then lands at the sigsetjmp.
thread_local sigjmp_buf *t_fixup;
struct sigaction g_old_segv, g_old_bus;

void chain(int sig, siginfo_t *info, void *uctx, const struct sigaction &old) {
  if (old.sa_flags & SA_SIGINFO) {
    old.sa_sigaction(sig, info, uctx);
  } else if (old.sa_handler != SIG_IGN && old.sa_handler != SIG_DFL) {
    old.sa_handler(sig);
  } else {
    // Not a user copy: the fault is what it would have been without us.
    sigaction(sig, &old, nullptr);
  }
}

void on_fault(int sig, siginfo_t *info, void *uctx) {
  if (sigjmp_buf *fix = t_fixup) {
    t_fixup = nullptr;
    siglongjmp(*fix, 1);
  }
  chain(sig, info, uctx, sig == SIGBUS ? g_old_bus : g_old_segv);
}

void install_fixup() {
  static pthread_once_t once = PTHREAD_ONCE_INIT;
  pthread_once(&once, [] {
    struct sigaction sa = {};
    sa.sa_sigaction = on_fault;
    // NODEFER: the jump out of the handler leaves the signal unblocked for the next fault.
    sa.sa_flags = SA_SIGINFO | SA_NODEFER | SA_ONSTACK;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGSEGV, &sa, &g_old_segv);
    sigaction(SIGBUS, &sa, &g_old_bus);
  });
}

// True when all n bytes were copied; false after a fault (some may have been).
bool fixup_copy(void *dst, const void *src, size_t n) {
  install_fixup();
  sigjmp_buf fix;
  if (sigsetjmp(fix, 0)) return false;
  t_fixup = &fix;
  __asm__ __volatile__("" ::: "memory");
  memcpy(dst, src, n);
  __asm__ __volatile__("" ::: "memory");
  t_fixup = nullptr;
  return true;
}
#else
bool fixup_copy(void *, const void *, size_t) { return false; }
#endif

}  // namespace

// A window's memory can still fault (its object cut short from outside): such a copy is done
// again through the kernel, which tells exactly how much of it is there.
size_t kplat::copy_with_process(pid_t pid, void *local, const void *remote, size_t n, bool to_remote) {
  if (char *w = remote_window_for(pid, remote, n)) {
    void *dst = to_remote ? w : local;
    const void *src = to_remote ? local : w;
#if KP_UACCESS_FIXUP
    if (fixup_copy(dst, src, n)) return n;
#else
    memcpy(dst, src, n);
    return n;
#endif
  }
  return vm_copy_pid(pid, local, remote, n, to_remote);
}

unsigned long copy_from_user(void *to, const void __user *from, unsigned long n) {
  check_sleep("copy_from_user");
  if (n == 0) return 0;
  if (!user_memory_pid() && fixup_copy(to, from, n)) return 0;
  return n - vm_copy(to, from, n, false);
}

unsigned long copy_to_user(void __user *to, const void *from, unsigned long n) {
  check_sleep("copy_to_user");
  if (n == 0) return 0;
  if (!user_memory_pid() && fixup_copy(to, from, n)) return 0;
  return n - vm_copy(const_cast<void *>(from), to, n, true);
}

unsigned long clear_user(void __user *to, unsigned long n) {
  check_sleep("clear_user");
  static const char zeros[4096] = {};
  unsigned long done = 0;
  while (done < n) {
    size_t chunk = n - done < sizeof(zeros) ? n - done : sizeof(zeros);
    size_t w = vm_copy(const_cast<char *>(zeros), static_cast<char *>(to) + done, chunk, true);
    done += w;
    if (w < chunk) break;
  }
  return n - done;
}

long strncpy_from_user(char *dst, const char __user *src, long count) {
  check_sleep("strncpy_from_user");
  long i = 0;
  while (i < count) {
    char c;
    if (vm_copy(&c, src + i, 1, false) != 1) return -EFAULT;
    dst[i] = c;
    if (c == 0) return i;
    i++;
  }
  return count;
}
