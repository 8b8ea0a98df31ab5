// The identity the machine gives a request's thread follows the thread as it is now: a new
// name is seen at once, a name the status file escapes reads the same from either source, and
// a thread that has ended is not answered with what was known of it.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "callers.h"

namespace {

// A thread that names itself as told and reports its id, until it is let go.
class NamedThread {
 public:
  NamedThread() : t_([this] { run(); }) {
    std::unique_lock<std::mutex> g(mu_);
    cv_.wait(g, [&] { return tid_ != 0; });
  }
  ~NamedThread() { end(); }
  pid_t tid() const { return tid_; }
  void rename(const std::string &name) {
    std::unique_lock<std::mutex> g(mu_);
    name_ = name;
    renamed_ = false;
    cv_.notify_all();
    cv_.wait(g, [&] { return renamed_; });
  }
  void end() {
    {
      std::lock_guard<std::mutex> g(mu_);
      stop_ = true;
    }
    cv_.notify_all();
    if (t_.joinable()) t_.join();
  }

 private:
  void run() {
    std::unique_lock<std::mutex> g(mu_);
    tid_ = pid_t(syscall(SYS_gettid));
    cv_.notify_all();
    for (;;) {
      cv_.wait(g, [&] { return stop_ || !renamed_; });
      if (stop_) return;
      pthread_setname_np(pthread_self(), name_.c_str());
      renamed_ = true;
      cv_.notify_all();
    }
  }
  std::mutex mu_;
  std::condition_variable cv_;
  pid_t tid_ = 0;
  std::string name_;
  bool renamed_ = true;
  bool stop_ = false;
  std::thread t_;
};

TEST(Callers, AThreadIsNamedAsItIsNowAndAnEndedOneIsGone) {
  NamedThread t;
  t.rename("alpha");
  machine::thread_identity first = machine::identity_of(t.tid());
  EXPECT_EQ(first.tgid, getpid());
  EXPECT_EQ(first.comm, "alpha");

  // Asked again, the thread is known: a new name must still be seen.
  t.rename("beta");
  machine::thread_identity second = machine::identity_of(t.tid());
  EXPECT_EQ(second.tgid, getpid());
  EXPECT_EQ(second.comm, "beta");

  // status escapes a backslash and a newline, the comm file does not, and ends the name with
  // one more newline: both must give the name as it was set.
  const std::string odd = "a\\b\nc\n";
  NamedThread u;
  u.rename(odd);
  std::ifstream st("/proc/self/task/" + std::to_string(u.tid()) + "/status");
  std::string status((std::istreambuf_iterator<char>(st)), std::istreambuf_iterator<char>());
  machine::thread_identity parsed = machine::identity_from_status(status, u.tid());
  EXPECT_EQ(parsed.comm, odd);
  EXPECT_EQ(parsed.tgid, getpid());
  EXPECT_EQ(machine::identity_of(u.tid()).comm, odd);
  EXPECT_EQ(machine::identity_of(u.tid()).comm, odd);  // known by now

  // The join returns before the kernel lets go of the thread's id; until it has, the thread
  // is not gone yet.
  const pid_t gone = t.tid();
  t.end();
  while (syscall(SYS_tgkill, getpid(), gone, 0) == 0) sched_yield();
  machine::thread_identity after = machine::identity_of(gone);
  EXPECT_EQ(after.tgid, gone);
  EXPECT_EQ(after.comm, "");

  EXPECT_EQ(machine::identity_of(0).tgid, 0);
}

// More threads than descriptors are kept for, then a process out of descriptors: each caller
// is still named, and the one that comes when none is left does not pass for gone. In a child
// process, which may run out of descriptors.
TEST(Callers, ManyThreadsAndNoDescriptorsLeftStillNameEveryCaller) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");  // a sanitizer's own thread runs beside
  EXPECT_EXIT(
      {
        std::vector<std::unique_ptr<NamedThread>> many;
        for (int i = 0; i < 300; i++) {
          many.push_back(std::make_unique<NamedThread>());
          many.back()->rename("t" + std::to_string(i));
        }
        for (int pass = 0; pass < 2; pass++)
          for (int i = 0; i < 300; i++)
            if (machine::identity_of(many[size_t(i)]->tid()).comm != "t" + std::to_string(i))
              _exit(1);
        NamedThread late;
        late.rename("late");
        // A descriptor of its own to copy: the test's stdin may be closed.
        int any = open("/dev/null", O_RDONLY);
        if (any < 0) _exit(3);
        while (dup(any) >= 0) {
        }
        if (errno != EMFILE) _exit(4);  // not out of descriptors: the case is not reached
        _exit(machine::identity_of(late.tid()).comm == "late" ? 0 : 2);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
