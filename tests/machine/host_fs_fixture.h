// Host file systems on the machine's devices, through loop devices of the host over their
// files. Every mount and loop device a case made is gone after it, also when it failed, and so
// is a freeze it left: thawed first, so that nothing the case ran in them stays blocked.
// Needs root, loop devices, /dev/fuse, qel-agent and e2fsprogs; cases skip without them.
#pragma once
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "machine_fixture.h"

namespace vekmachine {

inline bool have_tool(const std::string &tool) { return run_quiet({"sh", "-c", "command -v " + tool}) == 0; }

class HostFsTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    if (std::string(VEK_AGENT_PATH).empty()) GTEST_SKIP() << "qel-agent was not built";
    if (access("/dev/loop-control", F_OK) != 0) GTEST_SKIP() << "needs loop devices";
    for (const char *tool : {"losetup", "mkfs.ext4", "e2fsck", "dumpe2fs", "fsfreeze"})
      if (!have_tool(tool)) GTEST_SKIP() << "needs " << tool;
  }
  void TearDown() override {
    // Ours first, innermost first: the mounts and loop devices hold the machine's files open.
    // Thawed before anything that uses them is stopped: a case that failed while it held a
    // freeze leaves writers waiting in it.
    for (const std::string &m : mounts_) run_quiet({"fsfreeze", "-u", m});
    stop_users();
    for (auto it = mounts_.rbegin(); it != mounts_.rend(); ++it)
      if (run_quiet({"umount", *it}) != 0) run_quiet({"umount", "-l", *it});
    for (auto it = loops_.rbegin(); it != loops_.rend(); ++it) run_quiet({"losetup", "-d", *it});
    MachineTest::TearDown();
  }
  // Ends whatever the case still runs in its file systems; they are thawed by then.
  virtual void stop_users() {
    for (auto &t : writers_)
      if (t.joinable()) t.join();
  }

  // A loop device over `file` (direct I/O: no page cache of the host between it and the
  // machine), or "" when losetup failed. `extra`: more losetup options (--offset, --sizelimit).
  std::string attach(const std::string &file, bool read_only, const std::string &extra = "") {
    std::string out = tmp_ + "/losetup.out";
    std::string cmd =
        "losetup -f --show --direct-io=on " + std::string(read_only ? "-r " : "") + extra + " " + file + " > " + out;
    if (run_quiet({"sh", "-c", cmd}) != 0) return "";
    std::string dev = slurp(out);
    while (!dev.empty() && dev.back() == '\n') dev.pop_back();
    if (!dev.empty()) loops_.push_back(dev);
    return dev;
  }
  bool mount_at(const std::string &dev, const std::string &point, const std::string &opts,
                const std::string &type = "ext4") {
    mkdir(point.c_str(), 0755);
    std::vector<std::string> args = {"mount", "-t", type};
    if (!opts.empty()) args.insert(args.end(), {"-o", opts});
    args.insert(args.end(), {dev, point});
    if (run_quiet(args) != 0) return false;
    mounts_.push_back(point);
    return true;
  }
  void unmount_last() {
    ASSERT_EQ(run_quiet({"umount", mounts_.back()}), 0);
    mounts_.pop_back();
  }
  void detach_last() {
    ASSERT_EQ(run_quiet({"losetup", "-d", loops_.back()}), 0);
    loops_.pop_back();
  }
  // e2fsck -fn's exit status (0 is a clean file system); what it found goes to the test's
  // output when it was not clean.
  int fsck(const std::string &dev) {
    std::string out = tmp_ + "/e2fsck.out";
    int r = run_quiet({"sh", "-c", "e2fsck -fn " + dev + " > " + out + " 2>&1"});
    if (r != 0) {
      std::cerr << "e2fsck -fn " << dev << ":\n" << slurp(out);
      run_quiet({"sh", "-c", "dumpe2fs -h " + dev + " 2>&1 | grep -i -E 'orphan|state|features' > " + out});
      std::cerr << slurp(out);
    }
    return r;
  }
  // e2fsck -fn of what the kernel makes of the file system when it mounts it: on a scratch copy,
  // mounted once and unmounted. A freeze may fall between an unlink's commit and the release of
  // its inode (that release waits for the thaw), so a consistent frozen file system can still
  // hold inodes on its orphan list; the kernel frees them at mount, while e2fsck in read-only
  // mode reports them as errors. `extra`: where in `src` the file system is, as for attach.
  int fsck_as_mounted(const std::string &src, const std::string &extra = "") {
    const std::string scratch = tmp_ + "/scratch.img";
    if (run_quiet({"cp", "--sparse=always", src, scratch}) != 0) return -1;
    const std::string dev = attach(scratch, false, extra);
    if (dev.empty()) return -1;
    bool mounted = mount_at(dev, tmp_ + "/scratch", "");
    if (mounted) unmount_last();
    int r = mounted ? fsck(dev) : -1;
    detach_last();
    unlink(scratch.c_str());
    return r;
  }
  bool needs_recovery(const std::string &dev) {
    std::string out = tmp_ + "/dumpe2fs.out";
    run_quiet({"sh", "-c", "dumpe2fs -h " + dev + " > " + out + " 2>/dev/null"});
    return slurp(out).find("needs_recovery") != std::string::npos;
  }

  // Writes `data` to `file` and fsyncs it on a thread of its own; true when that finished, and
  // succeeded, within the polling bound. A file system left frozen holds it back; the thread is
  // joined once the case's file systems are thawed.
  bool writes_through(const std::string &file, const std::string &data) {
    auto result = std::make_shared<std::atomic<int>>(0);  // 0 running, 1 done, -1 failed
    writers_.emplace_back([file, data, result] {
      int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
      bool ok = fd >= 0 && write(fd, data.data(), data.size()) == ssize_t(data.size()) && fsync(fd) == 0;
      if (fd >= 0) close(fd);
      *result = ok ? 1 : -1;
    });
    eventually([&] { return *result != 0; });
    return *result == 1;
  }

  std::vector<std::string> loops_, mounts_;
  std::vector<std::thread> writers_;  // of writes_through
};

}  // namespace vekmachine
