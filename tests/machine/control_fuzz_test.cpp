// The ioctl fuzzer from another process: this one, through a running vek-machine's control
// file. The calls cross FUSE (the caller's kernel copies each _IOW record in first), and the
// driver reaches this process's memory (records, arrays, staging buffers) with
// process_vm_readv/writev, so bad pointers take another path than in the module's own
// process. Every call returns, and fails only with an errno the driver, the caller's kernel or
// the machine gives; every source write through the device files lands; every session left is
// stoppable; the machine serves a whole session afterwards and stops on SIGTERM with exit 0,
// nothing left allocated. The seed is printed (VEK_TEST_SEED repeats a run); VEK_FUZZ_CALLS
// sets the calls per thread. Needs root and /dev/fuse.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <vekdriver.h>

#include "ioctl_fuzz.h"
#include "machine_fixture.h"

namespace {

using namespace vekmachine;

// A thread of this process lent to the machine as a session's IO worker, with a backing
// file and a staging buffer of its own.
struct Lent {
  std::thread thread;
  std::atomic<bool> done{false};
  int result = 0;
  ~Lent() {
    if (thread.joinable()) thread.join();
  }
};

class ControlFuzz : public MachineTest, public vekfx::fuzz_target, public ::testing::WithParamInterface<bool> {
 protected:
  int open_control() override { return ::open(path("vekdriver").c_str(), O_RDWR | O_CLOEXEC); }
  void close_control(int fd) override { ::close(fd); }
  int ioctl(int fd, unsigned long cmd, void *arg) override { return ::ioctl(fd, cmd, arg); }
  bool start_with_worker(int fd, std::mt19937_64 &rng, const std::string &stem) override {
    auto req = std::make_unique<snap_shot_request>();
    memset(req.get(), 0, sizeof *req);
    const int part = 1 + int(rng() % 2);
    req->major = 8;
    req->minor = part;
    req->mode = USER_SPACE_FILE | (rng() % 2 ? VEK_MODE_CHANGE_TRACKING : 0);
    snprintf(req->device_name, sizeof req->device_name, "sda%d", part);
    snprintf(req->device_path, sizeof req->device_path, "/dev/sda%d", part);
    snprintf(req->backing_file, sizeof req->backing_file, "%s/%s", tmp_.c_str(), stem.c_str());
    if (::ioctl(fd, VEK_IOCTL_START_VK2, req.get()) != 0 || req->id <= 0) return false;
    lend(req->id, tmp_ + "/" + stem + ".w");
    return true;
  }
  // Aborting the connection fails every request still waiting in a caller.
  void unstick() override { abort_connection(); }

  Lent &lend(int session, const std::string &file) {
    std::lock_guard<std::mutex> g(mu_);
    lent_.push_back(std::make_unique<Lent>());
    Lent &w = *lent_.back();
    const int n = int(lent_.size());
    w.thread = std::thread([this, &w, session, file, n] {
      pthread_setname_np(pthread_self(), "qel-io");
      int ctl = open_control();
      int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
      void *buf = aligned_alloc(4096, kBuffer);
      zk_thread_info zti = {n, session, fd, int32_t(kBuffer), uint64_t(uintptr_t(buf))};
      w.result = ctl >= 0 && fd >= 0 ? ::ioctl(ctl, VEK_IOCTL_RUN_IO_THREAD, &zti) : -2;
      if (fd >= 0) ::close(fd);
      if (ctl >= 0) ::close(ctl);
      free(buf);
      w.done = true;
    });
    return w;
  }

  // The ids of the listed sessions.
  std::vector<int> sessions(int ctl) {
    std::vector<session_list> sl(VEK_MAX_SESSIONS);
    session_list_request slr = {int32_t(sl.size()), sl.data()};
    EXPECT_EQ(::ioctl(ctl, VEK_IOCTL_GET_VK_LIST2, &slr), 0) << strerror(errno);
    std::vector<int> ids;
    for (const auto &s : sl)
      if (s.id > 0) ids.push_back(s.id);
    return ids;
  }
  int stop(int ctl, int id) {
    auto req = std::make_unique<snap_shot_request>();
    memset(req.get(), 0, sizeof *req);
    req->id = id;
    return ::ioctl(ctl, VEK_IOCTL_STOP_VK, req.get());
  }

  static constexpr size_t kBuffer = 65536;
  std::mutex mu_;
  std::vector<std::unique_ptr<Lent>> lent_;
};

// On a disk that serves its bios in order, and on one that reorders them (seeded from the
// test's seed).
TEST_P(ControlFuzz, RandomCallsFromAnotherProcessLeaveAServingMachineThatStopsClean) {
  const char *seed_env = getenv("VEK_TEST_SEED");
  const uint64_t seed = seed_env ? strtoull(seed_env, nullptr, 0) : std::random_device{}();
  std::cout << "test seed: VEK_TEST_SEED=" << seed << std::endl;
  if (GetParam()) {
    const std::string reorder = std::to_string(seed % 100000 + 1) + ":32:200";
    std::cout << "machine disk: --disk-reorder " << reorder << std::endl;
    start({"--disk-reorder", reorder});
  } else {
    start();
  }
  const int calls = vekfx::fuzz_calls(1000);
  const int kThreads = 4;

  // The writer: 4 KiB at a time over the first 4 MiB of both partitions, through their files
  // (so through their file systems and the driver's interception).
  constexpr size_t kSpan = 4 << 20;
  std::string want[2] = {std::string(image_bytes_.data() + part_offset(0), kSpan),
                         std::string(image_bytes_.data() + part_offset(1), kSpan)};
  std::atomic<bool> done{false};
  std::atomic<long> writes{0}, failed_writes{0};
  std::thread writer([&] {
    std::mt19937_64 rng(seed ^ 0x77);
    Fd part[2] = {Fd(::open(path("sda1").c_str(), O_RDWR)), Fd(::open(path("sda2").c_str(), O_RDWR))};
    std::vector<char> b(4096);
    for (uint64_t i = 0; !done; i++) {
      const int p = int(i % 2);
      const off_t off = off_t(rng() % (kSpan / 4096)) * 4096;
      for (auto &x : b) x = char(rng());
      if (pwrite(part[p].fd, b.data(), b.size(), off) != ssize_t(b.size())) {
        failed_writes++;
        continue;
      }
      want[p].replace(size_t(off), b.size(), b.data(), b.size());
      writes++;
    }
  });

  vekfx::fuzz_arena arena(tmp_);
  ASSERT_TRUE(arena.ready());
  vekfx::fuzz_report report = vekfx::run_ioctl_fuzz(*this, arena, seed, kThreads, calls);
  EXPECT_TRUE(report.returned) << "a call through the machine came back only when its connection was aborted";
  std::cout << "[ fuzz ] " << kThreads << " threads x " << calls << " calls through the machine:" << report.summary()
            << std::endl;
  // -1 and -255 from the driver; EFAULT from this process's kernel, which copies an _IOW
  // record in before the machine sees it; EAGAIN from the machine for an IO worker that would
  // take a FUSE thread it keeps free. Anything else (ENOTCONN, EIO, ENOSYS, ...) is the
  // machine or its FUSE link failing.
  const std::set<int> clear = {EPERM, 255, EFAULT, EAGAIN};
  for (auto &[e, n] : report.errnos)
    EXPECT_TRUE(clear.count(e)) << n << " calls failed with errno " << e << " (" << strerror(e) << ")";

  Fd ctl(open_control());
  ASSERT_GE(ctl.fd, 0) << strerror(errno);
  for (int id : sessions(ctl.fd)) EXPECT_EQ(stop(ctl.fd, id), 0) << "session vek" << id << ": " << strerror(errno);
  EXPECT_TRUE(sessions(ctl.fd).empty());
  for (auto &w : lent_) EXPECT_TRUE(eventually([&] { return w->done.load(); })) << "a worker stayed parked";
  lent_.clear();
  done = true;
  writer.join();
  EXPECT_EQ(failed_writes.load(), 0) << "a source write failed";
  EXPECT_GT(writes.load(), 0);
  EXPECT_TRUE(slurp(path("sda1")).substr(0, kSpan) == want[0]) << "a completed write to sda1 is lost";
  EXPECT_TRUE(slurp(path("sda2")).substr(0, kSpan) == want[1]) << "a completed write to sda2 is lost";

  // A whole session still works: start, a worker, a write that its snapshot must not show, a
  // fetch, a read of the snapshot, the stop.
  const std::string before = slurp(path("sda1"));
  snap_shot_request reply;
  const int id = start_session(ctl.fd, &reply);
  ASSERT_GT(id, 0) << strerror(errno);
  Lent &w = lend(id, tmp_ + "/after.w");
  auto wait = std::make_unique<snap_shot_request>();
  memset(wait.get(), 0, sizeof *wait);
  wait->id = id;
  EXPECT_EQ(::ioctl(ctl.fd, VEK_IOCTL_THREAD_WAIT_TIMEOUT, wait.get()), 0) << strerror(errno);
  {
    Fd f(::open(path("sda1").c_str(), O_RDWR));
    std::string fresh(1 << 20, 'F');
    ASSERT_EQ(pwrite(f.fd, fresh.data(), fresh.size(), 0), ssize_t(fresh.size())) << strerror(errno);
  }
  int32_t unused = 0;
  EXPECT_EQ(::ioctl(ctl.fd, VEK_IOCTL_UNBLOCK_CHANGE_RECORDS, &unused), 0) << strerror(errno);
  std::vector<change_record_usr_v2> recs(64);
  change_recrod_request_v2 crr = {int32_t(recs.size()), 0, 0, recs.data()};
  EXPECT_GE(::ioctl(ctl.fd, VEK_IOCTL_GET_CHANGED_RECORDS_V2, &crr), 0) << strerror(errno);
  EXPECT_TRUE(slurp(path("vek" + std::to_string(id))) == before) << "the snapshot after the fuzz is not sda1 at its start";
  EXPECT_EQ(stop(ctl.fd, id), 0) << strerror(errno);
  EXPECT_TRUE(eventually([&] { return w.done.load(); })) << "the worker stayed parked after its stop";
  EXPECT_EQ(w.result, 0);

  kill(child_, SIGTERM);
  ASSERT_TRUE(wait_exit(3000)) << "vek-machine did not stop";
  EXPECT_TRUE(WIFEXITED(status_) && WEXITSTATUS(status_) == 0) << "status " << status_;
  const std::string log = slurp(log_);
  EXPECT_NE(log.find("driver shut down: no session left"), std::string::npos) << log;
  EXPECT_NE(log.find("vek-machine: nothing left allocated"), std::string::npos) << log;
  EXPECT_EQ(log.find("aborting"), std::string::npos) << log;
}

INSTANTIATE_TEST_SUITE_P(Disks, ControlFuzz, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool> &i) { return i.param ? "Reordering" : "InOrder"; });

}  // namespace
