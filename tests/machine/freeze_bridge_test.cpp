// The machine's freezes of host file systems that do not go as planned: one that cannot finish
// within --freeze-timeout, and one the host kernel refuses. Either fails the snapshot's start,
// leaves no session, and leaves every host file system on the device thawed and working.
// Needs root, loop devices, /dev/fuse, e2fsprogs; userfaultfd for the first case, mksquashfs
// and the kernel's squashfs for the second.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/userfaultfd.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fstream>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "host_fs_fixture.h"

namespace {

using namespace vekmachine;

// A write(2) into a host file system whose source page userfaultfd holds back: the writer
// waits in the page fault while it holds the file system's write access, so a freeze of that
// file system cannot finish before release() hands the page over. Whatever the machine does
// or how long it takes, the freeze stays stalled until then.
class StalledWrite {
 public:
  static bool available() {
    int fd = int(syscall(SYS_userfaultfd, O_CLOEXEC | O_NONBLOCK));
    if (fd < 0) return false;
    close(fd);
    return true;
  }
  ~StalledWrite() {
    release();
    join();
    if (page_ != MAP_FAILED) munmap(page_, size_);
  }

  // "" once the writer waits in the fault, else what went wrong.
  std::string begin(const std::string &file, char fill) {
    fill_ = fill;
    size_ = size_t(sysconf(_SC_PAGESIZE));
    uffd_ = int(syscall(SYS_userfaultfd, O_CLOEXEC | O_NONBLOCK));
    if (uffd_ < 0) return std::string("userfaultfd: ") + strerror(errno);
    uffdio_api api{};
    api.api = UFFD_API;
    if (ioctl(uffd_, UFFDIO_API, &api) != 0) return std::string("UFFDIO_API: ") + strerror(errno);
    page_ = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (page_ == MAP_FAILED) return std::string("mmap: ") + strerror(errno);
    uffdio_register reg{};
    reg.range.start = uintptr_t(page_);
    reg.range.len = size_;
    reg.mode = UFFDIO_REGISTER_MODE_MISSING;
    if (ioctl(uffd_, UFFDIO_REGISTER, &reg) != 0) return std::string("UFFDIO_REGISTER: ") + strerror(errno);
    writer_ = std::thread([this, file] {
      int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
      written_ = fd < 0 ? -1 : write(fd, page_, size_);
      if (fd >= 0) close(fd);
      done_ = true;
    });
    bool faulted = eventually([&] {
      uffd_msg msg;
      if (read(uffd_, &msg, sizeof msg) != ssize_t(sizeof msg)) return false;
      return msg.event == UFFD_EVENT_PAGEFAULT &&
             (msg.arg.pagefault.address & ~uint64_t(size_ - 1)) == uint64_t(uintptr_t(page_));
    }, 1000);
    if (!faulted) return done_ ? "the write ended without waiting for its page" : "the write never faulted";
    return "";
  }
  // Hands the page over (filled with `fill`): the write goes on.
  void release() {
    if (uffd_ < 0) return;
    void *src = aligned_alloc(size_, size_);
    memset(src, fill_, size_);
    uffdio_copy copy{};
    copy.dst = uintptr_t(page_);
    copy.src = uintptr_t(src);
    copy.len = size_;
    ioctl(uffd_, UFFDIO_COPY, &copy);
    free(src);
    close(uffd_);  // wakes the writer all the same if the copy failed
    uffd_ = -1;
  }
  // The writer may still wait on its file system after release(): joined only once the case's
  // file systems are thawed.
  void join() {
    if (writer_.joinable()) writer_.join();
  }
  bool done() const { return done_; }
  ssize_t written() const { return written_; }
  size_t size() const { return size_; }

 private:
  int uffd_ = -1;
  void *page_ = MAP_FAILED;
  size_t size_ = 0;
  char fill_ = 0;
  std::thread writer_;
  std::atomic<bool> done_{false};
  std::atomic<ssize_t> written_{0};
};

class FreezeBridgeTest : public HostFsTest {
 protected:
  void TearDown() override {
    // Before the thaws: a freeze the stalled write holds up cannot be thawed.
    if (stall_) stall_->release();
    HostFsTest::TearDown();
  }
  void stop_users() override {
    if (stall_) stall_->join();
    HostFsTest::stop_users();
  }

  std::string kmsg() { return slurp(path("kmsg")); }
  bool logged(const std::string &text) { return kmsg().find(text) != std::string::npos; }
  // No session is listed and no snapshot device is served.
  void expect_no_session() {
    Run list = agent({"list"});
    EXPECT_EQ(list.status, 0) << list.output;
    EXPECT_EQ(list.output, "no snapshot sessions\n");
    for (const std::string &e : list_dir(dir_))
      EXPECT_FALSE(e.rfind("vek", 0) == 0 && e != "vekdriver") << e << " is served after a failed start";
  }
  // The ext4 in `img` (where `extra` says, as for attach) is clean and holds the files as given.
  void expect_image_holds(const std::string &img, const std::string &extra,
                          const std::map<std::string, std::string> &files) {
    EXPECT_EQ(fsck_as_mounted(img, extra), 0) << "the image is not a clean file system";
    const std::string dev = attach(img, true, extra);
    ASSERT_FALSE(dev.empty());
    const std::string point = tmp_ + "/image";
    ASSERT_TRUE(mount_at(dev, point, "ro,noload"));
    for (auto &[name, data] : files) EXPECT_TRUE(slurp(point + "/" + name) == data) << name << " in the image";
    unmount_last();
    detach_last();
  }
  // The path by which host loop devices name the machine's file `name`.
  std::string served(const std::string &name) {
    char canon[PATH_MAX];
    return realpath(tmp_.c_str(), canon) ? std::string(canon) + "/dev/" + name : path(name);
  }
  static std::string loop_name(const std::string &dev) { return dev.substr(dev.rfind('/') + 1); }

  std::unique_ptr<StalledWrite> stall_;
};

TEST_F(FreezeBridgeTest, AFreezeThatCannotFinishInTimeFailsTheStartAndIsUndoneWhenItCompletes) {
  if (!StalledWrite::available()) GTEST_SKIP() << "needs userfaultfd";
  // Long enough for the retry's freeze of a live ext4 on a slow run; the stalled freeze
  // waits it out in full.
  start({"--freeze-timeout", "5"});
  const std::string src = attach(path("sda1"), false);
  ASSERT_FALSE(src.empty());
  ASSERT_EQ(run_quiet({"mkfs.ext4", "-q", "-F", src}), 0);
  const std::string live = tmp_ + "/live";
  ASSERT_TRUE(mount_at(src, live, ""));
  const std::string before(100000, 'B');
  ASSERT_TRUE(writes_through(live + "/before", before));

  stall_ = std::make_unique<StalledWrite>();
  ASSERT_EQ(stall_->begin(live + "/stalled", 'U'), "");
  const std::string img = tmp_ + "/sda1.img";
  Run failed = agent({"backup", "sda1", "-o", img});
  EXPECT_GT(failed.status, 0) << failed.output;
  EXPECT_NE(failed.output.find("cannot snapshot sda1"), std::string::npos) << failed.output;
  EXPECT_NE(failed.output.find(live), std::string::npos) << "the agent does not say which file system: "
                                                         << failed.output;
  const std::string over = " (" + loop_name(src) + " over " + served("sda1") + ")";
  EXPECT_TRUE(logged("ERROR: freezing the host file system on " + live + over + " took longer than 5000 ms")) << kmsg();
  EXPECT_TRUE(logged("could not freeze block device")) << kmsg();
  expect_no_session();

  // That freeze still waits, to be undone when it completes: a new snapshot is refused rather
  // than taking it for someone else's freeze and being thawed under.
  Run again = agent({"backup", "sda1", "-o", img});
  EXPECT_GT(again.status, 0) << again.output;
  EXPECT_TRUE(logged("ERROR: the host file system on " + live + over + " is still being frozen for an earlier snapshot"))
      << kmsg();
  expect_no_session();
  ASSERT_FALSE(stall_->done()) << "the write was not stalled throughout";

  stall_->release();
  EXPECT_TRUE(eventually([&] { return stall_->done(); })) << "the stalled write never finished";
  EXPECT_EQ(stall_->written(), ssize_t(stall_->size()));
  EXPECT_TRUE(eventually([&] { return logged("the late freeze of " + live + " was undone"); })) << kmsg();
  const std::string after(50000, 'A');
  EXPECT_TRUE(writes_through(live + "/after", after)) << "the host file system was left frozen";

  Run retry = agent({"backup", "sda1", "-o", img});
  ASSERT_EQ(retry.status, 0) << retry.output;
  EXPECT_TRUE(logged("froze the host file system on " + live)) << kmsg();
  expect_image_holds(img, "", {{"before", before}, {"stalled", std::string(stall_->size(), 'U')}, {"after", after}});
}

// Two host file systems on sda1, side by side: ext4 on the lower-numbered loop device, frozen
// first, and squashfs, whose kernel driver cannot freeze at all (EOPNOTSUPP). A file system
// that cannot be frozen is not known to be consistent: the start fails, and the ext4 frozen
// already is thawed.
TEST_F(FreezeBridgeTest, AHostFileSystemThatCannotBeFrozenFailsTheStartAndThoseFrozenBeforeItAreThawed) {
  if (!have_tool("mksquashfs")) GTEST_SKIP() << "needs mksquashfs (squashfs-tools)";
  run_quiet({"modprobe", "squashfs"});
  if (slurp("/proc/filesystems").find("\tsquashfs\n") == std::string::npos)
    GTEST_SKIP() << "needs the kernel's squashfs";
  start();
  const std::string regions[2] = {"--sizelimit 16M", "--offset 16M --sizelimit 8M"};
  const std::string a = attach(path("sda1"), false, regions[0]);
  ASSERT_FALSE(a.empty());
  const std::string b = attach(path("sda1"), false, regions[1]);
  ASSERT_FALSE(b.empty());
  auto number = [](const std::string &dev) { return std::stoi(dev.substr(dev.find_first_of("0123456789"))); };
  const bool a_first = number(a) < number(b);
  const std::string ext4_dev = a_first ? a : b, ext4_region = a_first ? regions[0] : regions[1];
  const std::string sq_dev = a_first ? b : a;

  ASSERT_EQ(run_quiet({"mkfs.ext4", "-q", "-F", ext4_dev}), 0);
  const std::string live = tmp_ + "/live";
  ASSERT_TRUE(mount_at(ext4_dev, live, ""));
  const std::string kept(70000, 'K');
  ASSERT_TRUE(writes_through(live + "/kept", kept));
  const std::string sq_src = tmp_ + "/sqsrc", sq_img = tmp_ + "/sq.img", sq = tmp_ + "/sq";
  mkdir(sq_src.c_str(), 0755);
  std::ofstream(sq_src + "/hello") << "read-only\n";
  ASSERT_EQ(run_quiet({"mksquashfs", sq_src, sq_img, "-quiet", "-noappend"}), 0);
  ASSERT_EQ(run_quiet({"dd", "if=" + sq_img, "of=" + sq_dev, "bs=64k", "conv=fsync"}), 0);
  ASSERT_TRUE(mount_at(sq_dev, sq, "ro", "squashfs"));

  const std::string img = tmp_ + "/sda1.img";
  Run failed = agent({"backup", "sda1", "-o", img});
  EXPECT_GT(failed.status, 0) << failed.output;
  EXPECT_NE(failed.output.find("cannot snapshot sda1"), std::string::npos) << failed.output;
  EXPECT_NE(failed.output.find(sq), std::string::npos) << "the agent does not say which file system: "
                                                       << failed.output;
  EXPECT_TRUE(logged("ERROR: could not freeze the host file system on " + sq + " (" + loop_name(sq_dev) + " over " +
                     served("sda1") + "): " + strerror(EOPNOTSUPP) + " (errno " + std::to_string(EOPNOTSUPP) + ")"))
      << kmsg();
  EXPECT_TRUE(logged("froze the host file system on " + live)) << "the ext4 was not frozen first:\n" << kmsg();
  EXPECT_TRUE(logged("could not freeze block device")) << kmsg();
  expect_no_session();
  const std::string after(30000, 'A');
  EXPECT_TRUE(writes_through(live + "/after", after)) << "the ext4 frozen before the failure was left frozen";
  EXPECT_EQ(slurp(sq + "/hello"), "read-only\n");

  // Without the file system that cannot be frozen, the same backup goes through.
  ASSERT_EQ(mounts_.back(), sq);
  unmount_last();
  Run retry = agent({"backup", "sda1", "-o", img});
  ASSERT_EQ(retry.status, 0) << retry.output;
  expect_image_holds(img, ext4_region, {{"kept", kept}, {"after", after}});
  ASSERT_EQ(mounts_.back(), live);
  unmount_last();
  EXPECT_EQ(fsck(ext4_dev), 0) << "the source file system was damaged";
}

}  // namespace
