// Shared memory of a caller process, mapped here once. A task that runs another process's
// request moves that process's memory with process_vm_readv/writev: a system call and a
// page-table walk per copy, which for an IO worker means one per 4 KiB segment it stages. When
// the caller's range lies in a shared anonymous mapping (MAP_SHARED | MAP_ANONYMOUS, as the
// agent makes its staging buffers), the task maps the same memory through
// /proc/PID/map_files and copies with memcpy instead.
//
// A window lives as long as the task: one request of the caller. As with memory pinned for
// an I/O in flight, memory the caller unmaps meanwhile stays reachable here until then; the
// caller's own data goes there, never anything of another process's.
#include "task.h"

#include <sys/mman.h>
#include <fcntl.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>

namespace kplat {
namespace {

// Bigger mappings are not taken: a staging buffer is at most 1 GiB.
constexpr uintptr_t kMaxWindow = uintptr_t(1) << 30;
// Ranges asked about per task: a worker asks about its one buffer, a control call about a
// record or two.
constexpr size_t kMaxWindows = 16;

struct vma {
  uintptr_t start = 0, end = 0;
  uint64_t offset = 0;
  bool shared_anon = false;  // rw-s, "/dev/zero (deleted)"
};

// The mapping of pid that holds addr; false when none does or maps cannot be read.
bool find_vma(pid_t pid, uintptr_t addr, vma *out) {
  char path[64];
  snprintf(path, sizeof(path), "/proc/%d/maps", int(pid));
  FILE *f = fopen(path, "re");
  if (!f) return false;
  char line[512];
  bool found = false;
  while (fgets(line, sizeof(line), f)) {
    uintptr_t start, end;
    char perms[8] = {};
    uint64_t offset;
    int name_at = 0;
    if (sscanf(line, "%" SCNxPTR "-%" SCNxPTR " %7s %" SCNx64 " %*s %*s %n", &start, &end, perms, &offset,
               &name_at) < 4)
      continue;
    if (addr < start || addr >= end) continue;
    std::string name = name_at > 0 ? std::string(line + name_at) : std::string();
    while (!name.empty() && (name.back() == '\n' || name.back() == ' ')) name.pop_back();
    out->start = start;
    out->end = end;
    out->offset = offset;
    out->shared_anon = std::strcmp(perms, "rw-s") == 0 && name == "/dev/zero (deleted)";
    found = true;
    break;
  }
  fclose(f);
  return found;
}

// Maps the caller's mapping here, or gives null when it cannot be (not shared anonymous
// memory, too big, or map_files refused: that takes CAP_SYS_ADMIN).
char *map_vma(pid_t pid, const vma &v) {
  if (!v.shared_anon || v.end - v.start > kMaxWindow) return nullptr;
  char path[96];
  snprintf(path, sizeof(path), "/proc/%d/map_files/%" PRIxPTR "-%" PRIxPTR, int(pid), v.start, v.end);
  int fd = ::open(path, O_RDWR | O_CLOEXEC);
  if (fd < 0) return nullptr;
  void *m = mmap(nullptr, v.end - v.start, PROT_READ | PROT_WRITE, MAP_SHARED, fd, off_t(v.offset));
  ::close(fd);
  return m == MAP_FAILED ? nullptr : static_cast<char *>(m);
}

}  // namespace

remote_windows::~remote_windows() {
  for (const remote_window &w : windows)
    if (w.local) munmap(w.local, w.end - w.start);
}

char *remote_windows::find(pid_t pid, const void *remote, size_t n) {
  uintptr_t a = reinterpret_cast<uintptr_t>(remote);
  if (n == 0 || a + n < a) return nullptr;
  for (const remote_window &w : windows) {
    if (w.pid == pid && a >= w.start && a < w.end)
      return w.local && a + n <= w.end ? w.local + (a - w.start) : nullptr;
  }
  if (windows.size() >= kMaxWindows) return nullptr;
  vma v;
  if (!find_vma(pid, a, &v)) return nullptr;
  // Remembered either way: a range that cannot be mapped is not looked up again.
  windows.push_back({pid, v.start, v.end, map_vma(pid, v)});
  const remote_window &w = windows.back();
  return w.local && a + n <= w.end ? w.local + (a - w.start) : nullptr;
}

char *remote_window_for(pid_t pid, const void *remote, size_t n) {
  struct task_struct *t = current;
  if (!t || !t->kp || !t->kp->emulated) return nullptr;
  return t->kp->windows.find(pid, remote, n);
}

}  // namespace kplat
