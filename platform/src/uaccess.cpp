// User-memory copies. The caller's process is this one, so the copies go
// through process_vm_readv/writev on our own pid: the kernel checks the
// addresses and a bad one becomes a short count, never a fault.
#include "task.h"
#include <linux/uaccess.h>
#include <pthread.h>
#include <sys/uio.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>

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

// Bytes moved; stops at the first bad page.
size_t vm_copy(void *local, const void *remote, size_t n, bool to_remote) {
  size_t done = 0;
  while (done < n) {
    struct iovec l = {static_cast<char *>(local) + done, n - done};
    struct iovec r = {const_cast<char *>(static_cast<const char *>(remote)) + done, n - done};
    ssize_t got = to_remote ? process_vm_writev(self_pid(), &l, 1, &r, 1, 0) : process_vm_readv(self_pid(), &l, 1, &r, 1, 0);
    if (got <= 0) {
      if (got < 0 && errno == EINTR) continue;
      break;
    }
    done += (size_t)got;
  }
  return done;
}

}  // namespace

unsigned long copy_from_user(void *to, const void __user *from, unsigned long n) {
  check_sleep("copy_from_user");
  if (n == 0) return 0;
  return n - vm_copy(to, from, n, false);
}

unsigned long copy_to_user(void __user *to, const void *from, unsigned long n) {
  check_sleep("copy_to_user");
  if (n == 0) return 0;
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
