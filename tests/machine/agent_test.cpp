// qel-agent in processes of its own driving one vek-machine: the driver's state outlives each
// agent run, the snapshot device is a file any program reads, and an agent killed in the
// middle of a session leaves a machine that serves the next backup. Needs root and /dev/fuse.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <map>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <vekdriver.h>

#include "machine_fixture.h"

namespace {

using namespace vekmachine;

class AgentOverMachine : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    if (std::string(VEK_AGENT_PATH).empty()) GTEST_SKIP() << "qel-agent was not built";
  }

  std::string sda1_now() { return slurp(path("sda1")); }
  std::string image_part(unsigned i) const {
    return std::string(image_bytes_.data() + part_offset(i), part_bytes(i));
  }
};

// A session held by one agent process is seen and stopped by others; its device shows the
// partition as it was at the start while the partition itself changes.
TEST_F(AgentOverMachine, SessionOutlivesTheAgentRunsThatLookAtIt) {
  start();
  const std::string out = tmp_ + "/holder.out";
  // Two agents started at the same moment with one backing directory: both guess the same
  // session id for their backing files before their starts, and neither is refused for it.
  const std::string twin_out = tmp_ + "/twin.out";
  const std::vector<std::string> hold = {"--workers", "2", "--backing-dir", tmp_, "snapshot", "sda1", "--wait"};
  pid_t holder = spawn_agent(hold, out);
  pid_t twin = spawn_agent(hold, twin_out);
  ASSERT_GT(holder, 0);
  ASSERT_GT(twin, 0);
  const int id = announced_session(out);
  ASSERT_GT(id, 0) << slurp(out);
  const int twin_id = announced_session(twin_out);
  ASSERT_GT(twin_id, 0) << slurp(twin_out);
  EXPECT_NE(id, twin_id);
  Run twin_stop = agent({"stop", std::to_string(twin_id)});
  EXPECT_EQ(twin_stop.status, 0) << twin_stop.output;
  EXPECT_NE(wait_agent(twin), -1) << slurp(twin_out);
  const std::string vek = "vek" + std::to_string(id);

  // Change sda1 after the snapshot, through its file (and so its file system): 128 chunks, more
  // than the workers keep in memory, so they go through the workers' staging buffers in the
  // agent's memory to its backing files and come back from there.
  std::string fresh(8 << 20, 'Z');
  {
    Fd f(open(path("sda1").c_str(), O_RDWR));
    ASSERT_GE(f.fd, 0) << strerror(errno);
    ASSERT_EQ(pwrite(f.fd, fresh.data(), fresh.size(), 1 << 20), ssize_t(fresh.size())) << strerror(errno);
  }

  Run list = agent({"list", "--json"});
  EXPECT_EQ(list.status, 0) << list.output;
  EXPECT_NE(list.output.find("\"id\": " + std::to_string(id)), std::string::npos) << list.output;

  // Plain programs read the frozen image: dd of the snapshot device is sda1 at the start.
  const std::string copy = tmp_ + "/vek.dd";
  ASSERT_EQ(run_quiet({"dd", "if=" + path(vek), "of=" + copy, "bs=1M", "iflag=direct"}), 0);
  std::string frozen = slurp(copy);
  EXPECT_EQ(frozen.size(), part_bytes(0));
  EXPECT_TRUE(frozen == image_part(0)) << "the snapshot device is not sda1 as it was at the start";
  EXPECT_EQ(sda1_now().substr(1 << 20, fresh.size()), fresh);

  // Openers are counted as the processes they are, closes too (a release comes from nobody):
  // after an agent thread's open and close, another opener still holds the device, and the
  // stop is refused while it does.
  std::thread([&] {
    pthread_setname_np(pthread_self(), "qel-reader");
    Fd r(open(path(vek).c_str(), O_RDONLY));
    char c;
    EXPECT_EQ(pread(r.fd, &c, 1, 0), 1);
  }).join();
  {
    Fd held(open(path(vek).c_str(), O_RDONLY));
    ASSERT_GE(held.fd, 0) << strerror(errno);
    Run refused = agent({"stop", std::to_string(id)});
    EXPECT_NE(refused.status, 0) << "the stop took the device from under its opener:\n" << refused.output;
    char c;
    EXPECT_EQ(pread(held.fd, &c, 1, 0), 1) << strerror(errno);
  }

  Run stop = agent({"stop", std::to_string(id)});
  EXPECT_EQ(stop.status, 0) << stop.output;
  int st = wait_agent(holder);
  ASSERT_NE(st, -1) << "the holding agent did not notice its session was stopped";
  EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << slurp(out);
  EXPECT_NE(slurp(out).find(vek + " was stopped from outside"), std::string::npos) << slurp(out);
  EXPECT_TRUE(eventually([&] { return access(path(vek).c_str(), F_OK) != 0; }, 300));
  Run empty = agent({"list"});
  EXPECT_NE(empty.output.find("no snapshot sessions"), std::string::npos) << empty.output;
}

// A backup from another process, with a writer racing it through the device's file: the image
// is the partition at the snapshot, and a failed command quotes the driver's log line.
TEST_F(AgentOverMachine, BackupThroughTheMachineIsThePartitionAtTheSnapshot) {
  start();
  const std::string img = tmp_ + "/sda2.img";
  Run full = agent({"--workers", "3", "--buffer", "256K", "backup", "sda2", "-o", img});
  ASSERT_EQ(full.status, 0) << full.output;
  EXPECT_NE(full.output.find("full backup of sda2"), std::string::npos) << full.output;
  EXPECT_TRUE(slurp(img) == image_part(1)) << "the image is not sda2";

  // Nothing the machine serves is a target, whatever path leads there, nor a place for
  // backing files: each is refused as bad usage and sda1 keeps every byte.
  ASSERT_EQ(symlink(path("sda1").c_str(), (tmp_ + "/link").c_str()), 0);
  for (std::vector<std::string> args : {std::vector<std::string>{"backup", "sda2", "-o", path("sda1")},
                                        {"backup", "sda2", "-o", tmp_ + "/link"},
                                        {"incremental", "sda2", "-o", path("new.img")},
                                        {"--backing-dir", dir_, "backup", "sda2", "-o", img},
                                        {"--backing-dir", dir_ + "/sub", "snapshot", "sda2"}}) {
    Run refused = agent(args);
    EXPECT_EQ(refused.status, 2) << refused.output;
    EXPECT_NE(refused.output.find(args[0] == "--backing-dir" ? "is inside " + dir_ : "refusing to write"),
              std::string::npos) << refused.output;
  }
  EXPECT_TRUE(sda1_now() == image_part(0)) << "a refused backup wrote sda1";
  EXPECT_TRUE(slurp(img) == image_part(1));

  // With a writer: the writes during the copy must not reach the image.
  Run raced = agent({"--workers", "2", "backup", "sda2", "-o", img, "--writer"});
  ASSERT_EQ(raced.status, 0) << raced.output;
  std::smatch m;
  ASSERT_TRUE(std::regex_search(raced.output, m, std::regex("writer: ([0-9]+) writes"))) << raced.output;
  EXPECT_GT(std::stoul(m[1]), 0ul);
  ASSERT_TRUE(std::regex_search(raced.output, m, std::regex("preserved: +([0-9]+) chunks? of 64 KiB"))) << raced.output;
  EXPECT_GT(std::stoul(m[1]), 0ul) << "no chunk was preserved: the writer did not race the copy";

  Run bad = agent({"stop", "99"});
  EXPECT_NE(bad.status, 0);
  EXPECT_NE(bad.output.find("no session vek99"), std::string::npos) << bad.output;
}

// Session ids are given again once free. An agent whose session was stopped from outside and
// whose id now names another agent's session leaves that one alone.
TEST_F(AgentOverMachine, AnAgentNeverStopsTheSessionThatReusedItsId) {
  start();
  const std::string out_a = tmp_ + "/a.out", out_c = tmp_ + "/c.out";
  pid_t a = spawn_agent({"--workers", "1", "snapshot", "sda1", "--wait"}, out_a);
  ASSERT_GT(a, 0);
  const int id = announced_session(out_a);
  ASSERT_GT(id, 0) << slurp(out_a);
  ASSERT_EQ(kill(a, SIGSTOP), 0);  // so that it cannot notice before the id is taken again
  EXPECT_EQ(agent({"stop", std::to_string(id)}).status, 0);
  pid_t c = spawn_agent({"--workers", "1", "snapshot", "sda1", "--wait"}, out_c);
  ASSERT_GT(c, 0);
  ASSERT_EQ(announced_session(out_c), id) << slurp(out_c);
  ASSERT_EQ(kill(a, SIGCONT), 0);
  ASSERT_EQ(kill(a, SIGTERM), 0);
  int st = wait_agent(a);
  ASSERT_NE(st, -1);
  EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << slurp(out_a);
  Run list = agent({"list"});
  EXPECT_NE(list.output.find("vek" + std::to_string(id)), std::string::npos)
      << "the first agent stopped the second one's session:\n" << slurp(out_a) << list.output;
  ASSERT_EQ(kill(c, SIGTERM), 0);
  st = wait_agent(c);
  EXPECT_TRUE(st != -1 && WIFEXITED(st) && WEXITSTATUS(st) == 0) << slurp(out_c);
}

// SIGINT in the middle of a backup ends it cleanly: the agent stops its session and exits with
// an error, rather than dying with its workers stuck in the machine. (Should the copy have
// ended before the signal was taken, the backup simply succeeds; either way nothing is left.)
TEST_F(AgentOverMachine, InterruptedBackupStopsItsSessionAndEnds) {
  start();
  const std::string out = tmp_ + "/interrupted.out";
  pid_t a = spawn_agent({"--workers", "2", "backup", "sda1", "-o", tmp_ + "/cut.img"}, out);
  ASSERT_GT(a, 0);
  ASSERT_TRUE(eventually([&] {
    for (const std::string &e : list_dir(dir_))
      if (e.rfind("vek", 0) == 0 && e != "vekdriver") return true;
    return false;
  }, 3000)) << slurp(out);
  ASSERT_EQ(kill(a, SIGSTOP), 0);
  ASSERT_EQ(kill(a, SIGINT), 0);
  ASSERT_EQ(kill(a, SIGCONT), 0);
  int st = wait_agent(a);
  ASSERT_NE(st, -1) << "the interrupted agent did not end:\n" << slurp(out);
  ASSERT_TRUE(WIFEXITED(st)) << "the agent died of signal " << WTERMSIG(st) << " instead of stopping its session";
  if (WEXITSTATUS(st) != 0) {
    EXPECT_EQ(WEXITSTATUS(st), 130) << slurp(out);
    EXPECT_NE(slurp(out).find("interrupted by"), std::string::npos) << slurp(out);
    EXPECT_NE(access((tmp_ + "/cut.img").c_str(), F_OK), 0) << "an interrupted first backup left an image";
    EXPECT_NE(access((tmp_ + "/cut.img.qel-new").c_str(), F_OK), 0);
  }
  Run list = agent({"list"});
  EXPECT_NE(list.output.find("no snapshot sessions"), std::string::npos) << list.output;
  Run next = agent({"backup", "sda1", "-o", tmp_ + "/after.img"});
  EXPECT_EQ(next.status, 0) << next.output;
}

// SIGKILL of an agent whose workers are parked in the driver: the process cannot end while
// they are inside (as in the kernel, the driver ignores its signals there), the session stays
// stoppable from another process, the killed agent's handles are released, and the next
// backup works.
TEST_F(AgentOverMachine, KilledAgentLeavesAStoppableSessionAndAWorkingMachine) {
  start();
  const std::string out = tmp_ + "/victim.out";
  pid_t victim = spawn_agent({"--workers", "4", "--backing-dir", tmp_, "snapshot", "sda1", "--wait"}, out);
  ASSERT_GT(victim, 0);
  const int id = announced_session(out);
  ASSERT_GT(id, 0) << slurp(out);
  ASSERT_EQ(kill(victim, SIGKILL), 0);

  Run list = agent({"list"});
  EXPECT_EQ(list.status, 0) << list.output;
  EXPECT_NE(list.output.find("vek" + std::to_string(id)), std::string::npos) << list.output;
  Run stop = agent({"stop", std::to_string(id)});
  EXPECT_EQ(stop.status, 0) << stop.output;
  int st = wait_agent(victim);
  ASSERT_NE(st, -1) << "the killed agent did not end after its session was stopped";
  EXPECT_TRUE(WIFSIGNALED(st) && WTERMSIG(st) == SIGKILL) << "status " << st;

  const std::string img = tmp_ + "/after.img";
  Run next = agent({"backup", "sda1", "-o", img});
  ASSERT_EQ(next.status, 0) << next.output;
  EXPECT_EQ(slurp(img).size(), part_bytes(0));
  Run v = agent({"version"});
  EXPECT_EQ(v.status, 0) << v.output;
  kill(child_, SIGTERM);
  ASSERT_TRUE(wait_exit(3000)) << "vek-machine did not stop";
  EXPECT_TRUE(WIFEXITED(status_) && WEXITSTATUS(status_) == 0) << "status " << status_;
}

}  // namespace

// Kill points: agents SIGKILLed at seeded moments of their backups, then the machine itself
// SIGKILLed during one. The machine keeps serving, every session a dead agent left is
// stoppable, the next backup is exact, a half-written image never replaces the last whole one,
// and a machine restarted on the same disk image serves again. VEK_KILL_RUNS sets the number
// of killed backups; VEK_TEST_SEED repeats a run.
TEST_F(AgentOverMachine, KilledBackupsAndAKilledMachineLeaveWholeImagesAndAServingMachine) {
  start();
  const char *seed_env = getenv("VEK_TEST_SEED");
  const uint64_t seed = seed_env ? strtoull(seed_env, nullptr, 10) : uint64_t(time(nullptr));
  std::cout << "test seed: VEK_TEST_SEED=" << seed << std::endl;
  const int runs = getenv("VEK_KILL_RUNS") ? atoi(getenv("VEK_KILL_RUNS")) : 8;
  std::mt19937_64 rng(seed);
  const std::string img = tmp_ + "/k.img";
  // The kill moments are drawn over the length of a whole backup, the last one's, so that
  // they fall in each of its phases rather than mostly after its end.
  long span_us = 0;
  auto whole_backup = [&] {
    const auto t0 = std::chrono::steady_clock::now();
    Run r = agent({"--backing-dir", tmp_, "backup", "sda1", "-o", img});
    span_us = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t0).count() + 1;
    return r;
  };
  Run first = whole_backup();
  ASSERT_EQ(first.status, 0) << first.output;
  std::map<std::string, int> when;  // what a kill met, in the victim's last words
  for (int i = 0; i < runs; i++) {
    // Between kills the source moves on, so each backup has something new to write.
    std::string fresh(1 << 20, char('a' + i % 26));
    {
      Fd f(open(path("sda1").c_str(), O_RDWR));
      ASSERT_EQ(pwrite(f.fd, fresh.data(), fresh.size(), off_t(rng() % 24) << 20), ssize_t(fresh.size()));
    }
    const std::string out = tmp_ + "/killed." + std::to_string(i) + ".out";
    pid_t victim = spawn_agent({"--backing-dir", tmp_, "backup", "sda1", "-o", img}, out);
    ASSERT_GT(victim, 0);
    std::this_thread::sleep_for(std::chrono::microseconds(rng() % span_us));
    int st = -1;
    const bool ended = waitpid(victim, &st, WNOHANG) == victim;
    if (ended)
      agents_.erase(std::find(agents_.begin(), agents_.end(), victim));
    else
      kill(victim, SIGKILL);
    const bool half_written = !ended && access((img + ".qel-new").c_str(), F_OK) == 0;
    bool had_session = false;
    // A victim whose workers are in the driver ends once its session is stopped.
    for (int tries = 0; st == -1 && tries < 100; tries++) {
      Run list = agent({"list", "--json"});
      ASSERT_EQ(list.status, 0) << list.output;
      std::smatch m;
      std::string text = list.output;
      while (std::regex_search(text, m, std::regex("\"id\": ([0-9]+)"))) {
        Run stop = agent({"stop", m[1]});
        EXPECT_EQ(stop.status, 0) << stop.output;
        had_session = true;
        text = m.suffix();
      }
      st = wait_agent(victim, 20);
    }
    ASSERT_NE(st, -1) << "a killed agent never ended";
    when[ended         ? "ended before the kill"
         : half_written  ? "while writing its image"
         : had_session   ? "with its session running"
                         : "before its snapshot or after its copy"]++;
    // The image is the last whole backup or, when the kill came after the rename, this one
    // with its record waiting beside it; the next backup puts that right and is exact.
    Run next = whole_backup();
    ASSERT_EQ(next.status, 0) << next.output;
    EXPECT_TRUE(slurp(img) == sda1_now()) << "backup " << i << " after a kill is not the partition";
  }
  std::string table;
  for (auto &[k, n] : when) table += " " + std::to_string(n) + " " + k + ";";
  std::cout << "[ kills ] " << runs << " agents killed:" << table << std::endl;

  // The machine killed during a backup: the image and its record stay the last whole ones.
  const std::string whole = slurp(img), whole_rec = slurp(img + ".qel");
  std::string fresh(4 << 20, 'K');
  {
    Fd f(open(path("sda1").c_str(), O_RDWR));
    ASSERT_EQ(pwrite(f.fd, fresh.data(), fresh.size(), 0), ssize_t(fresh.size()));
  }
  const std::string out = tmp_ + "/orphan.out";
  pid_t orphan = spawn_agent({"--backing-dir", tmp_, "--buffer", "64K", "--workers", "1", "backup", "sda1", "-o", img}, out);
  ASSERT_GT(orphan, 0);
  ASSERT_TRUE(eventually([&] { return slurp(out).find("vek") != std::string::npos ||
                                      access((img + ".qel-new").c_str(), F_OK) == 0; }, 3000))
      << slurp(out);
  kill(child_, SIGKILL);
  ASSERT_TRUE(wait_exit(3000));
  child_ = -1;
  abort_connection();
  int st = wait_agent(orphan, 3000);
  ASSERT_NE(st, -1) << "the agent of a killed machine never ended";
  EXPECT_FALSE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << slurp(out);
  EXPECT_TRUE(slurp(img) == whole) << "a half-written image replaced the last whole one";
  EXPECT_EQ(whole_rec, slurp(img + ".qel"));
  run_quiet({"fusermount3", "-u", "-z", dir_});
  umount2(dir_.c_str(), MNT_DETACH);

  // The same disk image serves again, and its next backup is exact.
  ASSERT_NO_FATAL_FAILURE(start());
  Run again = agent({"--backing-dir", tmp_, "backup", "sda1", "-o", img});
  ASSERT_EQ(again.status, 0) << again.output;
  EXPECT_TRUE(slurp(img) == sda1_now());
  EXPECT_EQ(sda1_now().substr(0, fresh.size()), fresh);
}
