// A task running another process's request copies that process's memory: shared anonymous
// memory through a mapping of its own, anything else through the kernel. Both must move
// exactly the caller's bytes, stop exactly where the caller's memory ends, and never write
// where the caller itself could not (a private mapping of a file).
#include <gtest/gtest.h>
#include <host/host.h>
#include <linux/uaccess.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <fcntl.h>

#include <signal.h>
#include <sys/mman.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr size_t kPage = 4096;

// A child process that only waits: its memory is a copy of ours at the fork (the shared
// mapping is the same memory), and it goes when the test ends, however it ends.
struct child_process {
  pid_t pid = -1;
  child_process() {
    pid = fork();
    if (pid == 0) {
      pause();
      _exit(0);
    }
  }
  ~child_process() {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }
  // The child's bytes at addr, read by the kernel.
  std::vector<char> peek(const void *addr, size_t n) const {
    std::vector<char> out(n, 0);
    struct iovec l = {out.data(), n}, r = {const_cast<void *>(addr), n};
    EXPECT_EQ(process_vm_readv(pid, &l, 1, &r, 1, 0), ssize_t(n));
    return out;
  }
};

// Mappings of shared anonymous memory in this process.
int shared_anon_mappings() {
  std::ifstream maps("/proc/self/maps");
  int n = 0;
  for (std::string line; std::getline(maps, line);)
    n += line.find("/dev/zero (deleted)") != std::string::npos;
  return n;
}

TEST(CallerMemory, SharedAndPrivateMemoryOfTheCallerMoveExactlyAndStopAtItsEnd) {
  // Two shared pages followed by a hole, and two private pages.
  char *area = static_cast<char *>(mmap(nullptr, 3 * kPage, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(area, MAP_FAILED);
  char *shared = static_cast<char *>(
      mmap(area, 2 * kPage, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS | MAP_FIXED, -1, 0));
  ASSERT_EQ(shared, area);
  ASSERT_EQ(munmap(area + 2 * kPage, kPage), 0);
  char *priv = static_cast<char *>(mmap(nullptr, 2 * kPage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(priv, MAP_FAILED);
  std::memset(shared, 's', 2 * kPage);
  std::memset(priv, 'p', 2 * kPage);

  child_process child;
  ASSERT_GT(child.pid, 0);
  std::vector<char> in(2 * kPage, 0), out(2 * kPage);
  for (size_t i = 0; i < out.size(); i++) out[i] = char('a' + i % 26);

  host::caller c;
  c.pid = c.tgid = child.pid;
  c.comm = "caller";
  c.caller_memory = true;
  const int mapped_before = shared_anon_mappings();
  host::run_as_caller(c, [&] {
    for (char *buf : {shared, priv}) {
      SCOPED_TRACE(buf == shared ? "shared" : "private");
      // Whole, then a piece inside: the second copy finds what the first one mapped.
      EXPECT_EQ(copy_to_user(buf, out.data(), 2 * kPage), 0u);
      EXPECT_EQ(copy_to_user(buf + 100, out.data(), 50), 0u);
      EXPECT_EQ(copy_from_user(in.data(), buf, 2 * kPage), 0u);
      std::vector<char> want = out;
      std::memcpy(want.data() + 100, out.data(), 50);
      EXPECT_EQ(in, want);
      EXPECT_EQ(child.peek(buf, 2 * kPage), want);
    }
    // A copy that runs past the shared pages stops at their end: the rest is not copied.
    EXPECT_EQ(copy_to_user(shared + kPage, out.data(), 2 * kPage), kPage);
    EXPECT_EQ(copy_from_user(in.data(), shared + 2 * kPage - 8, 16), 8u);
    EXPECT_EQ(copy_to_user(shared + 2 * kPage, out.data(), 8), 8u);
    // The shared pages went through a window of this task (root may open map_files).
    if (geteuid() == 0)
      EXPECT_EQ(shared_anon_mappings(), mapped_before + 1);
  });
  EXPECT_EQ(shared_anon_mappings(), mapped_before) << "the task's window outlived it";
  // Our own pages are untouched: the child's private copy was written, and the shared pages
  // are the child's and ours alike.
  EXPECT_EQ(std::string(priv, 8), std::string(8, 'p'));
  EXPECT_EQ(std::memcmp(shared + kPage, out.data(), kPage), 0);
  munmap(shared, 2 * kPage);
  munmap(priv, 2 * kPage);
}

// A shared mapping grown with mremap is bigger than the memory behind it: a copy past that
// memory fails as the kernel's would (the rest not copied) instead of faulting here. A
// private mapping of a file is written in the caller's copy only, never in the file.
TEST(CallerMemory, CopiesPastASharedObjectFailAndPrivateFileMappingsKeepTheirFile) {
  char *small = static_cast<char *>(mmap(nullptr, kPage, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(small, MAP_FAILED);
  char *grown = static_cast<char *>(mremap(small, kPage, 4 * kPage, MREMAP_MAYMOVE));
  ASSERT_NE(grown, MAP_FAILED);
  char tmpl[] = "/tmp/vek-caller-XXXXXX";
  int fd = mkstemp(tmpl);
  ASSERT_GE(fd, 0);
  std::vector<char> file(2 * kPage, 'f');
  ASSERT_EQ(pwrite(fd, file.data(), file.size(), 0), ssize_t(file.size()));
  char *priv = static_cast<char *>(mmap(nullptr, 2 * kPage, PROT_READ | PROT_WRITE, MAP_PRIVATE, fd, 0));
  ASSERT_NE(priv, MAP_FAILED);

  child_process child;
  ASSERT_GT(child.pid, 0);
  host::caller c;
  c.pid = c.tgid = child.pid;
  c.comm = "caller";
  std::vector<char> out(2 * kPage, 'x');
  host::run_as_caller(c, [&] {
    EXPECT_EQ(copy_to_user(grown, out.data(), kPage), 0u);
    EXPECT_EQ(copy_to_user(grown + 2 * kPage, out.data(), kPage), kPage);
    EXPECT_EQ(copy_to_user(priv, out.data(), 2 * kPage), 0u);
  });
  EXPECT_EQ(child.peek(grown, 8), std::vector<char>(8, 'x'));
  EXPECT_EQ(child.peek(priv, 8), std::vector<char>(8, 'x'));
  std::vector<char> now(file.size());
  EXPECT_EQ(pread(fd, now.data(), now.size(), 0), ssize_t(now.size()));
  EXPECT_EQ(now, file) << "a private mapping's file was written";
  munmap(priv, 2 * kPage);
  munmap(grown, 4 * kPage);
  close(fd);
  unlink(tmpl);
}

}  // namespace
