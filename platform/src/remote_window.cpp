// Shared memory of a caller process, mapped here once. A task that runs another process's
// request moves that process's memory with process_vm_readv/writev: a system call and a
// page-table walk per copy, which for an IO worker means one per 4 KiB segment it stages. When
// the caller's range lies in a shared anonymous mapping (MAP_SHARED | MAP_ANONYMOUS, as the
// agent makes its staging buffers), the task maps the same memory through
// /proc/PID/map_files and copies with memcpy instead.
//
// A window lives as long as the task: one request of the caller, which for an IO worker is
// its whole RunIOThread call. As with memory pinned for an I/O in flight (or a registered
// io_uring buffer), what the caller unmaps, remaps or write-protects meanwhile is not seen:
// copies still go to the memory the window maps, which is the caller's own shared memory and
// nothing else. The mapping is checked to be exactly that: the maps text only points at it;
// the object behind it must be shared anonymous memory (the device of such memory here, no
// links), and only as much of it is mapped as the object holds, so that a mapping grown past
// its object (mremap) is not touched beyond it. Copies under a page go through the kernel,
// as do all when map_files cannot be opened (no CAP_SYS_ADMIN): looking costs a read of the
// caller's maps.
#include "task.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
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
// Smaller copies (control records) are not worth a read of the caller's maps.
constexpr size_t kMinCopy = 4096;

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
  char *line = nullptr;
  size_t cap = 0;
  bool found = false;
  // Whole lines, however long a file name makes them.
  while (getline(&line, &cap, f) > 0) {
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
  free(line);
  fclose(f);
  return found;
}

// The device of shared anonymous memory in this kernel, from a page of our own; 0 when it
// cannot be told (map_files cannot be opened: windows are then never made).
dev_t shared_anon_dev() {
  static const dev_t dev = [] {
    dev_t d = 0;
    void *m = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (m == MAP_FAILED) return d;
    char path[96];
    uintptr_t a = reinterpret_cast<uintptr_t>(m);
    snprintf(path, sizeof(path), "/proc/self/map_files/%" PRIxPTR "-%" PRIxPTR, a, a + 4096);
    struct stat st;
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd >= 0 && fstat(fd, &st) == 0) d = st.st_dev;
    if (fd >= 0) ::close(fd);
    munmap(m, 4096);
    return d;
  }();
  return dev;
}

// Maps what backs the caller's mapping here, up to the end of its object; sets *len. Null
// when it is not shared anonymous memory, is too big, or map_files is refused.
char *map_vma(pid_t pid, const vma &v, size_t *len) {
  dev_t anon = shared_anon_dev();
  if (!v.shared_anon || v.end - v.start > kMaxWindow) return nullptr;
  char path[96];
  snprintf(path, sizeof(path), "/proc/%d/map_files/%" PRIxPTR "-%" PRIxPTR, int(pid), v.start, v.end);
  int fd = ::open(path, O_RDWR | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat st;
  char *local = nullptr;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_dev == anon && st.st_nlink == 0 &&
      uint64_t(st.st_size) > v.offset) {
    *len = size_t(std::min<uint64_t>(v.end - v.start, uint64_t(st.st_size) - v.offset));
    void *m = mmap(nullptr, *len, PROT_READ | PROT_WRITE, MAP_SHARED, fd, off_t(v.offset));
    local = m == MAP_FAILED ? nullptr : static_cast<char *>(m);
  }
  ::close(fd);
  return local;
}

}  // namespace

remote_windows::~remote_windows() {
  for (const remote_window &w : windows)
    if (w.local) munmap(w.local, w.mapped);
}

char *remote_windows::find(pid_t pid, const void *remote, size_t n) {
  uintptr_t a = reinterpret_cast<uintptr_t>(remote);
  if (n < kMinCopy || a + n < a) return nullptr;
  auto view = [&](const remote_window &w) {
    return w.local && a + n <= w.start + w.mapped ? w.local + (a - w.start) : nullptr;
  };
  for (const remote_window &w : windows) {
    if (w.pid == pid && a >= w.start && a < w.end) return view(w);
  }
  if (windows.size() >= kMaxWindows || !shared_anon_dev()) return nullptr;
  vma v;
  if (!find_vma(pid, a, &v)) return nullptr;
  // Remembered either way: a range that cannot be mapped is not looked up again.
  size_t mapped = 0;
  char *local = map_vma(pid, v, &mapped);
  windows.push_back({pid, v.start, v.end, local, local ? mapped : 0});
  return view(windows.back());
}

char *remote_window_for(pid_t pid, const void *remote, size_t n) {
  struct task_struct *t = current;
  if (!t || !t->kp || !t->kp->emulated) return nullptr;
  return t->kp->windows.find(pid, remote, n);
}

}  // namespace kplat
