// IO workers lent to the machine through its FUSE files, signals that interrupt a caller's
// request, and the machine's stop while workers are parked. Needs root and /dev/fuse.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include <vekdriver.h>

#include "machine_fixture.h"

namespace {

using namespace vekmachine;

// A thread of this process lent to the machine as an IO worker: its own backing file and a
// page-aligned staging buffer, as an agent gives them.
struct Lent {
  std::thread thread;
  std::atomic<bool> done{false};
  int result = 0, err = 0;
  int file = -1;
  void *buf = nullptr;
  ~Lent() {
    if (thread.joinable()) thread.join();
    if (file >= 0) close(file);
    free(buf);
  }
};

class WorkerTest : public MachineTest {
 protected:
  void TearDown() override {
    // Whatever the case left parked is let go by the machine's stop in the fixture.
    MachineTest::TearDown();
    lent_.clear();
  }

  Lent &lend(int ctl, int session) {
    lent_.push_back(std::make_unique<Lent>());
    Lent &w = *lent_.back();
    const int n = int(lent_.size()) - 1;
    w.file = open((tmp_ + "/backing" + std::to_string(n)).c_str(), O_RDWR | O_CREAT, 0600);
    w.buf = aligned_alloc(4096, kBuffer);
    w.thread = std::thread([&w, ctl, session, n] {
      zk_thread_info zti = {n, session, w.file, int32_t(kBuffer), uint64_t(uintptr_t(w.buf))};
      w.result = ioctl(ctl, VEK_IOCTL_RUN_IO_THREAD, &zti);
      w.err = errno;
      w.done = true;
    });
    return w;
  }

  // Workers the driver has registered, as its lines in the machine's log say (a host file,
  // readable also when the machine has no thread left to serve kmsg).
  size_t registered() {
    std::string log = slurp(log_);
    size_t n = 0;
    for (size_t at = 0; (at = log.find("vek_io: Thread(", at)) != std::string::npos; at++) n++;
    return n;
  }

  static constexpr size_t kBuffer = 65536;
  std::vector<std::unique_ptr<Lent>> lent_;
};

void no_op(int) {}

// A state letter and the system call of one of our threads, from /proc.
bool sleeping_in_ioctl(pid_t tid) {
  const std::string task = "/proc/self/task/" + std::to_string(tid);
  std::string stat = slurp(task + "/stat");
  size_t paren = stat.rfind(')');
  if (paren == std::string::npos || paren + 2 >= stat.size() || stat[paren + 2] != 'S') return false;
  return slurp(task + "/syscall").rfind(std::to_string(SYS_ioctl) + " ", 0) == 0;
}

// A handled signal (no SA_RESTART) reaches the caller's task in the machine as a FUSE
// interrupt: the fetch's wait, which only a signal or an unblock ends, returns what was
// queued (nothing), and the machine serves on.
TEST_F(WorkerTest, ASignalEndsAFetchWaitingForRecords) {
  start();
  Fd ctl(open(path("vekdriver").c_str(), O_RDWR));
  ASSERT_GE(ctl.fd, 0) << strerror(errno);
  struct sigaction sa = {}, old;
  sa.sa_handler = no_op;
  sigemptyset(&sa.sa_mask);
  ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);

  std::vector<change_record_usr_v2> cru(8);
  change_recrod_request_v2 crr = {int32_t(cru.size()), -1, -1, cru.data()};
  std::atomic<pid_t> tid{0};
  std::atomic<bool> done{false};
  int r = 0, err = 0;
  std::thread fetch([&] {
    tid = pid_t(gettid());
    r = ioctl(ctl.fd, VEK_IOCTL_GET_CHANGED_RECORDS_V2, &crr);
    err = errno;
    done = true;
  });
  ASSERT_TRUE(eventually([&] { return tid != 0 && sleeping_in_ioctl(tid); }));
  pthread_kill(fetch.native_handle(), SIGUSR1);
  bool returned = eventually([&] { return done.load(); }, 1000);
  if (!returned) {
    int32_t unused = 0;
    ioctl(ctl.fd, VEK_IOCTL_UNBLOCK_CHANGE_RECORDS, &unused);  // so the thread can be joined
  }
  fetch.join();
  sigaction(SIGUSR1, &old, nullptr);
  ASSERT_TRUE(returned) << "the signal did not end the fetch";
  EXPECT_EQ(r, 0) << strerror(err);
  EXPECT_EQ(crr.inqueue, 0);
  EXPECT_EQ(crr.tracking, 1);

  version_info v = {};
  EXPECT_EQ(ioctl(ctl.fd, VEK_IOCTL_GET_VERSION, &v), 0) << strerror(errno);
  EXPECT_EQ(v.major, 4u);
}

// A worker parks its FUSE thread: the machine refuses the one that would leave fewer than its
// reserve free, and commands and reads still answer with every other worker parked.
TEST_F(WorkerTest, WorkersLeaveThreadsFreeForCommandsAndReads) {
  constexpr unsigned kThreads = 20, kReserve = 16;
  start({"--mount", "sda1", "--threads", std::to_string(kThreads)});
  Fd ctl(open(path("vekdriver").c_str(), O_RDWR));
  ASSERT_GE(ctl.fd, 0) << strerror(errno);
  const int id = start_session(ctl.fd);
  ASSERT_GE(id, 1) << strerror(errno);

  Lent *refused = nullptr;
  for (size_t i = 0; i < kThreads && !refused; i++) {
    Lent &w = lend(ctl.fd, id);
    ASSERT_TRUE(eventually([&] { return w.done || registered() == i + 1; })) << "worker " << i;
    if (w.done) refused = &w;
  }
  // With every thread parked even a close would wait for ever: the machine's stop, which needs
  // no FUSE thread, lets the workers go first.
  if (!refused) kill(child_, SIGTERM);
  ASSERT_NE(refused, nullptr) << "every worker was let in";
  EXPECT_EQ(lent_.size() - 1, size_t(kThreads - kReserve));
  EXPECT_EQ(refused->result, -1);
  EXPECT_EQ(refused->err, EAGAIN);
  EXPECT_NE(slurp(log_).find("refused an IO worker"), std::string::npos);

  version_info v = {};
  EXPECT_EQ(ioctl(ctl.fd, VEK_IOCTL_GET_VERSION, &v), 0) << strerror(errno);
  int32_t count = 0;
  EXPECT_EQ(ioctl(ctl.fd, VEK_IOCTL_GET_VK_LIST_COUNT, &count), 0) << strerror(errno);
  EXPECT_EQ(count, 1);
  for (const std::string &name : {std::string("sda1"), "vek" + std::to_string(id)}) {
    Fd f(open(path(name).c_str(), O_RDONLY));
    ASSERT_GE(f.fd, 0) << name << ": " << strerror(errno);
    std::vector<char> got(1 << 20);
    ASSERT_EQ(pread(f.fd, got.data(), got.size(), 0), ssize_t(got.size())) << name << ": " << strerror(errno);
    EXPECT_TRUE(std::equal(got.begin(), got.end(), image_bytes_.begin() + long(part_offset(0)))) << name;
  }

  // Stopping the session lets the workers go; the refused one's thread is free again too.
  auto req = std::make_unique<snap_shot_request>();
  memset(req.get(), 0, sizeof *req);
  req->id = id;
  ASSERT_EQ(ioctl(ctl.fd, VEK_IOCTL_STOP_VK, req.get()), 0) << strerror(errno);
  for (auto &w : lent_) {
    EXPECT_TRUE(eventually([&] { return w->done.load(); })) << "a worker stayed parked";
    EXPECT_EQ(w.get() == refused ? -1 : 0, w->result);
  }
  Lent &again = lend(ctl.fd, id);  // no session any more: it returns at once
  EXPECT_TRUE(eventually([&] { return again.done.load(); }));
  EXPECT_EQ(again.result, 0) << strerror(again.err);
}

// SIGTERM with a worker parked in its ioctl: the driver's shutdown stops the session, the
// worker's ioctl returns, and the machine exits 0 unmounted.
TEST_F(WorkerTest, SigtermStopsTheSessionsOfParkedWorkersFirst) {
  start({"--mount", "sda1"});
  Fd ctl(open(path("vekdriver").c_str(), O_RDWR));
  ASSERT_GE(ctl.fd, 0) << strerror(errno);
  const int id = start_session(ctl.fd);
  ASSERT_GE(id, 1) << strerror(errno);
  Lent &w = lend(ctl.fd, id);
  ASSERT_TRUE(eventually([&] { return registered() == 1; }));

  kill(child_, SIGTERM);
  ASSERT_TRUE(wait_exit(3000)) << "vek-machine did not stop";
  EXPECT_TRUE(WIFEXITED(status_) && WEXITSTATUS(status_) == 0) << "status " << status_;
  EXPECT_FALSE(is_mounted(dir_));
  ASSERT_TRUE(eventually([&] { return w.done.load(); })) << "the worker's ioctl did not return";
  EXPECT_EQ(w.result, 0) << strerror(w.err);
  std::string log = slurp(log_);
  EXPECT_NE(log.find("vek session vek" + std::to_string(id) + " stopped."), std::string::npos) << log;
  EXPECT_EQ(log.find("aborting"), std::string::npos) << log;
}

// SIGTERM while this process holds the snapshot device open: the session cannot be stopped,
// so the machine cuts its callers off (abort), closes what they left open, and still stops.
TEST_F(WorkerTest, SigtermWithTheSnapshotDeviceHeldOpenStillStops) {
  start({"--mount", "sda1"});
  Fd ctl(open(path("vekdriver").c_str(), O_RDWR));
  ASSERT_GE(ctl.fd, 0) << strerror(errno);
  const int id = start_session(ctl.fd);
  ASSERT_GE(id, 1) << strerror(errno);
  Lent &w = lend(ctl.fd, id);
  ASSERT_TRUE(eventually([&] { return registered() == 1; }));
  Fd snap(open(path("vek" + std::to_string(id)).c_str(), O_RDONLY));
  ASSERT_GE(snap.fd, 0) << strerror(errno);

  kill(child_, SIGTERM);
  ASSERT_TRUE(wait_exit(6000)) << "vek-machine did not stop";
  EXPECT_TRUE(WIFEXITED(status_) && WEXITSTATUS(status_) == 0) << "status " << status_;
  EXPECT_FALSE(is_mounted(dir_));
  EXPECT_TRUE(eventually([&] { return w.done.load(); })) << "the worker's ioctl did not return";
  std::string log = slurp(log_);
  EXPECT_NE(log.find("aborting the FUSE connection"), std::string::npos) << log;
  EXPECT_NE(log.find("vek session vek" + std::to_string(id) + " stopped."), std::string::npos) << log;
  EXPECT_NE(log.find("vek-machine: stopped"), std::string::npos) << log;
}

}  // namespace
