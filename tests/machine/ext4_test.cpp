// The host's own ext4 on a machine device, through a loop device over its file: a workload
// runs on it while qel-agent takes a backup and holds a snapshot. The machine freezes the
// host file system for real at the snapshot, so the image and the live snapshot device are
// clean file systems holding exactly what was written before the freeze. Needs root, loop
// devices, /dev/fuse, mkfs.ext4 and e2fsck.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "host_fs_fixture.h"

namespace {

using namespace vekmachine;
using Clock = std::chrono::steady_clock;

// One completed operation of the workload on the files it names, and what each of them holds
// after it (nullopt: gone).
struct Op {
  Clock::time_point start, end;
  std::map<std::string, std::optional<std::string>> after;
};

// Threads that create, append to, rewrite, rename and delete files of their own, each
// operation followed by an fsync of the file or the directory, and logged once it returned.
class Workload {
 public:
  Workload(std::string dir, int threads) : dir_(std::move(dir)) {
    for (int t = 0; t < threads; t++) threads_.emplace_back([this, t] { run(t); });
  }
  ~Workload() { stop(); }
  void stop() {
    stop_ = true;
    for (auto &t : threads_)
      if (t.joinable()) t.join();
  }
  std::string error() {
    std::lock_guard<std::mutex> g(mu_);
    return error_;
  }
  size_t ops() {
    std::lock_guard<std::mutex> g(mu_);
    return log_.size();
  }

  // Checks a copy of the file system taken by a freeze that began after `lo` and ended before
  // `hi`: a file with no operation running between them holds what its last operation before
  // `lo` left (or is absent), and a file first made after `hi` is absent. Returns the files
  // checked.
  size_t check(const std::string &copy, Clock::time_point lo, Clock::time_point hi) {
    std::map<std::string, std::vector<const Op *>> by_name;
    std::lock_guard<std::mutex> g(mu_);
    for (const Op &op : log_)
      for (auto &[name, state] : op.after) by_name[name].push_back(&op);
    size_t checked = 0;
    for (auto &[name, ops] : by_name) {
      std::optional<std::string> want;
      bool certain = true;
      for (const Op *op : ops) {
        if (op->end < lo) want = op->after.at(name);
        else if (op->start <= hi) certain = false;
      }
      if (!certain) continue;
      checked++;
      std::string path = copy + "/" + name;
      if (!want) {
        EXPECT_NE(access(path.c_str(), F_OK), 0) << name << " is in the copy but was not there at the freeze";
      } else {
        EXPECT_TRUE(slurp(path) == *want) << name << " in the copy is not what it held at the freeze";
      }
    }
    return checked;
  }

 private:
  static std::string content(std::mt19937_64 &rng, size_t n) {
    std::string s(n, 0);
    for (char &c : s) c = char('a' + rng() % 26);
    return s;
  }
  bool write_file(const std::string &name, const std::string &data, int flags) {
    int fd = open((dir_ + "/" + name).c_str(), O_WRONLY | O_CREAT | flags, 0644);
    if (fd < 0) return fail("open " + name);
    bool ok = write(fd, data.data(), data.size()) == ssize_t(data.size()) && fsync(fd) == 0;
    close(fd);
    return ok || fail("write " + name);
  }
  bool sync_dir() {
    int fd = open(dir_.c_str(), O_RDONLY | O_DIRECTORY);
    bool ok = fd >= 0 && fsync(fd) == 0;
    if (fd >= 0) close(fd);
    return ok || fail("fsync of the directory");
  }
  bool fail(const std::string &what) {
    std::lock_guard<std::mutex> g(mu_);
    if (error_.empty()) error_ = what + ": " + strerror(errno);
    return false;
  }
  void run(int t) {
    std::mt19937_64 rng(1000 + t);
    std::map<std::string, std::string> mine;  // this thread's files and their contents
    int next = 0;
    while (!stop_ && error().empty()) {
      Op op;
      op.start = Clock::now();
      unsigned pick = unsigned(rng() % 10);
      auto it = mine.begin();
      if (!mine.empty()) std::advance(it, long(rng() % mine.size()));
      bool ok = true;
      if (mine.size() < 8 || pick < 3) {
        std::string name = "t" + std::to_string(t) + "_" + std::to_string(next++);
        std::string data = content(rng, 1 + rng() % 16384);
        ok = write_file(name, data, O_EXCL) && sync_dir();
        mine[name] = data;
        op.after[name] = data;
      } else if (pick < 5 && it->second.size() < 65536) {
        std::string more = content(rng, 1 + rng() % 8192);
        ok = write_file(it->first, more, O_APPEND);
        it->second += more;
        op.after[it->first] = it->second;
      } else if (pick < 7) {
        std::string data = content(rng, 1 + rng() % 16384);
        ok = write_file(it->first, data, O_TRUNC);
        it->second = data;
        op.after[it->first] = data;
      } else if (pick < 8) {
        std::string to = "t" + std::to_string(t) + "_" + std::to_string(next++);
        ok = rename((dir_ + "/" + it->first).c_str(), (dir_ + "/" + to).c_str()) == 0 ? sync_dir() : fail("rename");
        op.after[it->first] = std::nullopt;
        op.after[to] = it->second;
        mine[to] = it->second;
        mine.erase(it);
      } else {
        ok = unlink((dir_ + "/" + it->first).c_str()) == 0 ? sync_dir() : fail("unlink");
        op.after[it->first] = std::nullopt;
        mine.erase(it);
      }
      if (!ok) return;
      op.end = Clock::now();
      std::lock_guard<std::mutex> g(mu_);
      log_.push_back(std::move(op));
    }
  }

  std::string dir_;
  std::atomic<bool> stop_{false};
  std::mutex mu_;
  std::vector<Op> log_;  // mu_
  std::string error_;    // mu_
  std::vector<std::thread> threads_;
};

class Ext4OnMachine : public HostFsTest {
 protected:
  void stop_users() override {
    if (workload_) workload_->stop();
    HostFsTest::stop_users();
  }

  std::unique_ptr<Workload> workload_;
};

// The first time a snapshot device file appears in the directory, watched from the start.
class VekWatch {
 public:
  explicit VekWatch(std::string dir) : dir_(std::move(dir)), t_([this] {
    while (!stop_ && !seen_) {
      for (const std::string &e : list_dir(dir_))
        if (e.rfind("vek", 0) == 0 && e != "vekdriver") {
          at_ = Clock::now();
          seen_ = true;
        }
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  }) {}
  ~VekWatch() {
    stop_ = true;
    if (t_.joinable()) t_.join();
  }
  std::optional<Clock::time_point> seen() {
    stop_ = true;
    if (t_.joinable()) t_.join();
    return seen_ ? std::optional<Clock::time_point>(at_) : std::nullopt;
  }

 private:
  std::string dir_;
  std::atomic<bool> stop_{false}, seen_{false};
  Clock::time_point at_;
  std::thread t_;
};

TEST_F(Ext4OnMachine, BackupAndLiveSnapshotOfABusyExt4AreCleanAndHoldTheFreezeInstant) {
  start();  // sda1 has the machine's file system too: the driver snapshots only mounted devices
  const std::string src_loop = attach(path("sda1"), false);
  ASSERT_FALSE(src_loop.empty());
  ASSERT_EQ(run_quiet({"mkfs.ext4", "-q", "-F", src_loop}), 0);
  const std::string live = tmp_ + "/live";
  ASSERT_TRUE(mount_at(src_loop, live, ""));
  workload_ = std::make_unique<Workload>(live, 3);
  ASSERT_TRUE(eventually([&] { return workload_->ops() >= 150 || !workload_->error().empty(); }));
  ASSERT_EQ(workload_->error(), "");

  // A backup while the workload runs, and after more of it an incremental in another agent
  // run: the agent service between them keeps change tracking. Each image is a clean file
  // system holding the files as they were at its own freeze.
  const std::string state = tmp_ + "/state";
  const std::string service_out = tmp_ + "/service.out";
  ASSERT_GT(spawn_agent({"--state", state, "serve"}, service_out), 0);
  ASSERT_TRUE(eventually([&] { return slurp(service_out).find("requests on") != std::string::npos; }))
      << slurp(service_out);
  const std::string img = tmp_ + "/sda1.img";
  Clock::time_point lo;
  std::optional<Clock::time_point> hi;
  for (const char *kind : {"backup", "incremental"}) {
    if (std::string(kind) == "incremental") {
      size_t before = workload_->ops();
      ASSERT_TRUE(eventually([&] { return workload_->ops() >= before + 150 || !workload_->error().empty(); }));
    }
    lo = Clock::now();
    Run backup;
    {
      VekWatch watch(dir_);
      backup = agent({"--state", state, kind, "sda1", "-o", img});
      hi = watch.seen();
    }
    ASSERT_EQ(backup.status, 0) << backup.output;
    ASSERT_TRUE(hi) << "the snapshot device never appeared";
    if (std::string(kind) == "incremental") {
      EXPECT_NE(backup.output.find("incremental backup of sda1"), std::string::npos) << backup.output;
      EXPECT_EQ(backup.output.find("not possible"), std::string::npos) << backup.output;
    }
    EXPECT_NE(slurp(path("kmsg")).find("froze the host file system on " + live), std::string::npos)
        << "nothing was frozen for real";
    EXPECT_EQ(fsck_as_mounted(img), 0) << "the " << kind << " image is not a clean file system";
    EXPECT_FALSE(needs_recovery(img)) << "the image's journal was not flushed by a freeze";
    const std::string img_loop = attach(img, true);
    ASSERT_FALSE(img_loop.empty());
    const std::string restored = tmp_ + "/restored";
    ASSERT_TRUE(mount_at(img_loop, restored, "ro"));
    EXPECT_GE(workload_->check(restored, lo, *hi), 20u) << kind;
    unmount_last();
    detach_last();
  }

  // A snapshot held by another agent: its device, mounted read-only, is the same promise.
  const std::string out = tmp_ + "/holder.out";
  lo = Clock::now();
  pid_t holder = spawn_agent({"--backing-dir", tmp_, "snapshot", "sda1", "--wait"}, out);
  ASSERT_GT(holder, 0);
  const int id = announced_session(out);
  ASSERT_GT(id, 0) << slurp(out);
  hi = Clock::now();
  // More workload on top, so the snapshot's reads come back from preserved chunks.
  size_t before = workload_->ops();
  ASSERT_TRUE(eventually([&] { return workload_->ops() >= before + 150 || !workload_->error().empty(); }));
  const std::string vek = path("vek" + std::to_string(id));
  const std::string vek_loop = attach(vek, true);
  ASSERT_FALSE(vek_loop.empty());
  EXPECT_EQ(fsck_as_mounted(vek), 0) << "the live snapshot is not a clean file system";
  const std::string frozen = tmp_ + "/frozen";
  ASSERT_TRUE(mount_at(vek_loop, frozen, "ro,noload"));
  EXPECT_GE(workload_->check(frozen, lo, *hi), 20u);
  unmount_last();
  detach_last();

  // The snapshot is writable: a file system mounted on it read-write takes files of its own,
  // stays clean, and the source never sees them.
  const std::string rw_loop = attach(vek, false);
  ASSERT_FALSE(rw_loop.empty());
  ASSERT_TRUE(mount_at(rw_loop, frozen, ""));
  const std::string mine(200000, 'S');
  {
    std::ofstream(frozen + "/written-in-the-snapshot", std::ios::binary) << mine;
  }
  unmount_last();
  EXPECT_EQ(fsck(rw_loop), 0) << "the written snapshot is not a clean file system";
  detach_last();
  const std::string rw_loop2 = attach(vek, true);
  ASSERT_FALSE(rw_loop2.empty());
  ASSERT_TRUE(mount_at(rw_loop2, frozen, "ro,noload"));
  EXPECT_TRUE(slurp(frozen + "/written-in-the-snapshot") == mine) << "the snapshot lost what was written to it";
  unmount_last();
  detach_last();
  EXPECT_NE(access((live + "/written-in-the-snapshot").c_str(), F_OK), 0) << "a write to the snapshot reached the source";
  EXPECT_EQ(agent({"stop", std::to_string(id)}).status, 0);
  EXPECT_NE(wait_agent(holder), -1);

  workload_->stop();
  EXPECT_EQ(workload_->error(), "") << "the workload on the live file system failed";
  // A file system its owner froze already is consistent as it is: the snapshot takes it so, and
  // leaves it frozen for its owner to thaw.
  ASSERT_EQ(run_quiet({"fsfreeze", "-f", live}), 0);
  Run on_frozen = agent({"backup", "sda1", "-o", img});
  EXPECT_EQ(on_frozen.status, 0) << on_frozen.output;
  EXPECT_NE(slurp(path("kmsg")).find("was frozen already"), std::string::npos);
  EXPECT_EQ(run_quiet({"fsfreeze", "-u", live}), 0) << "the machine thawed a freeze that was not its own";

  // And the source itself, through all of it, is a clean file system.
  ASSERT_EQ(mounts_.back(), live);
  unmount_last();
  EXPECT_EQ(fsck(src_loop), 0) << "the source file system was damaged";
}

}  // namespace
