// The machine test fixture: vek-machine as a real child process serving its devices under a
// FUSE mount in a temporary directory; every mount it made is gone after each case, also when
// the case fails. Needs root and /dev/fuse; cases skip without them.
#pragma once
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <vekdriver.h>

#include "agent/layout.h"
#include "spawn_output.h"

extern char **environ;

namespace vekmachine {

constexpr uint64_t kDiskBytes = 64ull << 20;
constexpr unsigned kPartitions = 2;

inline std::string slurp(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

// The device numbers ("0:53") of what is mounted at dir in our mount table, "" when nothing is.
inline std::string mount_devno(const std::string &dir) {
  std::ifstream f("/proc/self/mountinfo");
  for (std::string line; std::getline(f, line);) {
    std::istringstream in(line);
    std::string id, parent, devno, root, point;
    in >> id >> parent >> devno >> root >> point;
    if (point == dir) return devno;
  }
  return "";
}

inline bool is_mounted(const std::string &dir) { return !mount_devno(dir).empty(); }

// The FUSE connection number of a mount (its device minor), or -1.
inline int fuse_connection(const std::string &dir) {
  std::string devno = mount_devno(dir);
  auto colon = devno.find(':');
  return colon == std::string::npos ? -1 : std::stoi(devno.substr(colon + 1));
}

inline int run_quiet(std::vector<std::string> args) {
  std::vector<char *> argv;
  for (auto &a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid;
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
  int r = posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  if (r != 0) return -1;
  int st = 0;
  waitpid(pid, &st, 0);
  return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

// Polls cond every 10 ms, at most `limit` times (a bound for a hung machine, not a timing
// assumption: the conditions become true as soon as the machine gets there).
template <class F>
inline bool eventually(F cond, int limit = 3000) {
  for (int i = 0; i < limit; i++) {
    if (cond()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return cond();
}

class MachineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    if (access("/dev/fuse", R_OK | W_OK) != 0) GTEST_SKIP() << "needs /dev/fuse";
    if (std::string(VEK_MACHINE_PATH).empty()) GTEST_SKIP() << "vek-machine was not built (no libfuse3)";
    char tmpl[] = "/tmp/vek-machine-test-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    tmp_ = tmpl;
    dir_ = tmp_ + "/dev";
    image_ = tmp_ + "/disk.img";
    log_ = tmp_ + "/machine.log";
    ASSERT_EQ(mkdir(dir_.c_str(), 0755), 0);
    // A known pattern on the whole disk, so every device read can be checked against it.
    std::mt19937_64 rng(20240607);
    image_bytes_.resize(kDiskBytes);
    for (size_t i = 0; i + 8 <= image_bytes_.size(); i += 8) {
      uint64_t v = rng();
      memcpy(&image_bytes_[i], &v, 8);
    }
    std::ofstream(image_, std::ios::binary).write(image_bytes_.data(), std::streamsize(image_bytes_.size()));
    parts_ = agent::equal_partitions(kDiskBytes / 512, kPartitions);
    // The pattern leaves the image without a partition table: its layout is named.
    disk_args_ = {"--disk", image_, "--partitions", std::to_string(kPartitions)};
  }

  void TearDown() override {
    if (tmp_.empty()) return;
    // Agents first: the machine's stop ends what they wait for inside it.
    for (pid_t a : agents_) kill(a, SIGKILL);
    if (child_ > 0) {
      kill(child_, SIGTERM);
      if (!wait_exit(1000)) {
        abort_connection();
        kill(child_, SIGKILL);
        wait_exit(-1);
      }
    }
    for (pid_t a : agents_) waitpid(a, nullptr, 0);
    agents_.clear();
    if (is_mounted(dir_) && run_quiet({"fusermount3", "-u", dir_}) != 0) {
      abort_connection();
      run_quiet({"fusermount3", "-u", "-z", dir_});
    }
    EXPECT_FALSE(is_mounted(dir_)) << dir_ << " is still mounted";
    if (HasFailure()) std::cerr << "machine log:\n" << slurp(log_);
    run_quiet({"rm", "-rf", tmp_});
  }

  void abort_connection() {
    int conn = fuse_connection(dir_);
    if (conn >= 0) std::ofstream("/sys/fs/fuse/connections/" + std::to_string(conn) + "/abort") << "1";
  }

  // Waits for the child: polls `limit` times 10 ms apart, or forever with -1.
  bool wait_exit(int limit) {
    for (int i = 0; limit < 0 || i < limit; i++) {
      int st = 0;
      pid_t r = waitpid(child_, &st, limit < 0 ? 0 : WNOHANG);
      if (r == child_) {
        status_ = st;
        child_ = -1;
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  // `wrapper`: a program that runs the machine for us (e.g. unshare); child_ is then the
  // wrapper, which must pass SIGTERM on.
  void start(std::vector<std::string> extra = {}, std::vector<std::string> wrapper = {}) {
    std::vector<std::string> args = wrapper;
    args.push_back(VEK_MACHINE_PATH);
    args.insert(args.end(), disk_args_.begin(), disk_args_.end());
    for (std::string a : {std::string("--dev"), dir_, std::string("--log"), log_}) args.push_back(a);
    args.insert(args.end(), extra.begin(), extra.end());
    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    ASSERT_EQ(posix_spawnp(&child_, argv[0], nullptr, nullptr, argv.data(), environ), 0);
    bool ready = eventually([&] {
      int st = 0;
      if (waitpid(child_, &st, WNOHANG) == child_) {
        child_ = -1;
        return true;
      }
      return access(path("vekdriver").c_str(), F_OK) == 0;
    });
    ASSERT_GT(child_, 0) << "vek-machine exited during start-up";
    ASSERT_TRUE(ready) << "vek-machine did not serve " << dir_;
  }

  // qel-agent in a process of its own on this machine: `args` after --dev and --no-progress.
  // Its stdout and stderr go to a file of the test's; the pid is returned at once.
  pid_t spawn_agent(const std::vector<std::string> &args, const std::string &out) {
    std::vector<std::string> all = {VEK_AGENT_PATH, "--dev", dir_, "--no-progress"};
    all.insert(all.end(), args.begin(), args.end());
    pid_t pid = vekfx::spawn_with_output(all, out);
    if (pid > 0) agents_.push_back(pid);
    return pid;
  }
  // Waits (bounded) for an agent spawned above; its wait status, or -1 when it did not end.
  int wait_agent(pid_t pid, int limit = 6000) {
    for (int i = 0; i < limit; i++) {
      int st = 0;
      if (waitpid(pid, &st, WNOHANG) == pid) {
        agents_.erase(std::find(agents_.begin(), agents_.end(), pid));
        return st;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
  }
  struct Run {
    int status;  // the exit code, or -1
    std::string output;
  };
  // Any program in a process of its own, until it ends (bounded: then it gets SIGTERM, and
  // SIGKILL if that does not end it either); its exit code (-1 when it had to be ended) and
  // its output.
  Run run_tool(std::vector<std::string> args, int limit = 1000) {
    std::string out = tmp_ + "/tool." + std::to_string(++runs_) + ".out";
    pid_t pid = vekfx::spawn_with_output(args, out);
    if (pid < 0) return {-1, "cannot start " + args[0]};
    agents_.push_back(pid);
    int st = wait_agent(pid, limit);
    if (st == -1) {
      kill(pid, SIGTERM);
      if ((st = wait_agent(pid, 500)) == -1) kill(pid, SIGKILL);
      return {-1, slurp(out)};
    }
    return {WIFEXITED(st) ? WEXITSTATUS(st) : -1, slurp(out)};
  }
  Run agent(const std::vector<std::string> &args) {
    std::string out = tmp_ + "/agent." + std::to_string(++runs_) + ".out";
    pid_t pid = spawn_agent(args, out);
    if (pid < 0) return {-1, "cannot start qel-agent"};
    int st = wait_agent(pid);
    return {st >= 0 && WIFEXITED(st) ? WEXITSTATUS(st) : -1, slurp(out)};
  }

  // Starts a session on sda1 through the control file `ctl`; its id, or -1. The reply is left
  // in *reply when asked for.
  int start_session(int ctl, snap_shot_request *reply = nullptr) {
    auto req = std::make_unique<snap_shot_request>();
    memset(req.get(), 0, sizeof *req);
    req->major = 8;
    req->minor = 1;
    req->mode = USER_SPACE_FILE;
    strcpy(req->device_name, "sda1");
    strcpy(req->device_path, "/dev/sda1");
    snprintf(req->backing_file, sizeof req->backing_file, "%s/sda1", tmp_.c_str());
    int r = ioctl(ctl, VEK_IOCTL_START_VK2, req.get());
    if (reply) *reply = *req;
    return r == 0 ? req->id : -1;
  }

  // The id of "vek<N>: snapshot of ..." in an agent's output, or 0 once `limit` polls passed.
  int announced_session(const std::string &out_file, int limit = 3000) {
    int id = 0;
    eventually([&] {
      std::smatch m;
      std::string text = slurp(out_file);
      if (std::regex_search(text, m, std::regex("vek([0-9]+): snapshot of"))) id = std::stoi(m[1]);
      return id != 0;
    }, limit);
    return id;
  }

  std::string path(const std::string &name) const { return dir_ + "/" + name; }
  uint64_t part_offset(unsigned i) const { return parts_[i].start_sect * 512; }
  uint64_t part_bytes(unsigned i) const { return parts_[i].nr_sects * 512; }

  std::string tmp_, dir_, image_, log_;
  std::vector<std::string> disk_args_;  // the machine's disk options
  std::vector<char> image_bytes_;
  std::vector<agent::PartitionLayout> parts_;
  pid_t child_ = -1;
  int status_ = 0;
  std::vector<pid_t> agents_;  // agents still to be reaped
  int runs_ = 0;
};

struct Fd {
  int fd;
  explicit Fd(int f) : fd(f) {}
  ~Fd() {
    if (fd >= 0) close(fd);
  }
};

// The names in a directory, without "." and "..".
inline std::vector<std::string> list_dir(const std::string &dir) {
  std::vector<std::string> out;
  if (DIR *d = opendir(dir.c_str())) {
    while (struct dirent *e = readdir(d))
      if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) out.push_back(e->d_name);
    closedir(d);
  }
  return out;
}

inline uint64_t file_size(const std::string &p) {
  struct stat st;
  return stat(p.c_str(), &st) == 0 ? uint64_t(st.st_size) : ~0ull;
}

}  // namespace vekmachine
