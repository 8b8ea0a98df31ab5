// The agent service on a running vek-machine: CLI runs in processes of their own make real
// incrementals across runs through it, and every link that could make an incremental wrong
// (a service restart, missed writes, another image, a machine restart) gives a full backup
// that says why. Needs root and /dev/fuse.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <random>
#include <thread>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include <vekdriver.h>

#include "machine_fixture.h"

namespace {

using namespace vekmachine;

class ServiceOnMachine : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    if (std::string(VEK_AGENT_PATH).empty()) GTEST_SKIP() << "qel-agent was not built";
    state_ = tmp_ + "/state";
    img_ = tmp_ + "/sda1.img";
  }

  // Starts `qel-agent serve` and waits until its socket takes requests.
  void serve() {
    service_out_ = tmp_ + "/service." + std::to_string(++services_) + ".out";
    service_ = spawn_agent({"--state", state_, "serve"}, service_out_);
    ASSERT_GT(service_, 0);
    ASSERT_TRUE(eventually([&] {
      return slurp(service_out_).find("requests on") != std::string::npos ||
             waitpid(service_, nullptr, WNOHANG) == service_;
    })) << slurp(service_out_);
    ASSERT_NE(slurp(service_out_).find("requests on"), std::string::npos) << slurp(service_out_);
  }
  void stop_service() {
    ASSERT_EQ(kill(service_, SIGTERM), 0);
    int st = wait_agent(service_);
    ASSERT_TRUE(st >= 0 && WIFEXITED(st) && WEXITSTATUS(st) == 0) << st << slurp(service_out_);
    EXPECT_NE(slurp(service_out_).find("stopped"), std::string::npos) << slurp(service_out_);
  }
  Run cli(std::vector<std::string> args) {
    args.insert(args.begin(), {"--state", state_});
    return agent(args);
  }

  // Overwrites whole chunks of sda1 through its file, as a program would; the chunks written.
  std::set<uint64_t> write_chunks(unsigned count, uint64_t seed, bool zeroes = false) {
    std::mt19937_64 rng(seed);
    const uint64_t nchunks = part_bytes(0) / 65536;
    std::set<uint64_t> touched;
    Fd f(open(path("sda1").c_str(), O_RDWR));
    EXPECT_GE(f.fd, 0) << strerror(errno);
    std::string data(65536, 0);
    while (touched.size() < count) {
      uint64_t c = rng() % nchunks;
      for (char &ch : data) ch = zeroes ? 0 : char(rng());
      EXPECT_EQ(pwrite(f.fd, data.data(), data.size(), off_t(c * 65536)), 65536) << strerror(errno);
      touched.insert(c);
    }
    EXPECT_EQ(fsync(f.fd), 0);
    return touched;
  }

  // The image is sda1 bit for bit; nothing writes sda1 while a backup runs, so sda1 now is
  // sda1 at that backup's snapshot instant.
  void expect_image_is_source(const std::string &img) {
    EXPECT_TRUE(slurp(img) == slurp(path("sda1"))) << img << " differs from sda1";
    Run v = cli({"verify", img, "--against", "sda1"});
    EXPECT_EQ(0, v.status) << v.output;
    EXPECT_NE(v.output.find("matches"), std::string::npos) << v.output;
  }

  // "N of M chunks" of a backup's summary.
  static uint64_t chunks_copied(const std::string &out) {
    std::smatch m;
    if (!std::regex_search(out, m, std::regex("([0-9]+) of ([0-9]+) chunks"))) return ~0ull;
    return std::stoull(m[1]);
  }

  Run backup(const std::string &kind, const std::string &img) {
    Run r = cli({kind, "sda1", "-o", img});
    EXPECT_EQ(0, r.status) << r.output;
    return r;
  }
  void expect_incremental(const Run &r, const std::set<uint64_t> &touched) {
    EXPECT_NE(r.output.find("incremental backup of sda1"), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find("not possible"), std::string::npos) << r.output;
    EXPECT_EQ(touched.size(), chunks_copied(r.output)) << r.output;
  }
  void expect_full_because(const Run &r, const std::string &why) {
    EXPECT_NE(r.output.find("incremental backup not possible"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find(why), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("full backup of sda1"), std::string::npos) << r.output;
    EXPECT_EQ(part_bytes(0) / 65536, chunks_copied(r.output)) << r.output;
  }

  std::string state_, img_, service_out_;
  pid_t service_ = -1;
  int services_ = 0;
};

// Three CLI processes in turn, a workload between them: the second and third copy only the
// chunks written since, and each image is the source at its snapshot instant. The socket is
// closed to other users.
TEST_F(ServiceOnMachine, IncrementalsAcrossCliRunsCopyOnlyTheChangedChunks) {
  start();
  ASSERT_NO_FATAL_FAILURE(serve());
  // A hundred chunks of zeroes on sda1 are holes in its image, not written blocks.
  {
    Fd f(open(path("sda1").c_str(), O_RDWR));
    const std::string zero(100 * 65536, '\0');
    ASSERT_EQ(ssize_t(zero.size()), pwrite(f.fd, zero.data(), zero.size(), 100 * 65536));
    ASSERT_EQ(0, fsync(f.fd));
  }
  Run full = backup("backup", img_);
  EXPECT_NE(full.output.find("change tracking:  intact"), std::string::npos) << full.output;
  expect_image_is_source(img_);
  EXPECT_NE(full.output.find("holes:            6.2 MiB of all-zero chunks left unwritten"),
            std::string::npos)
      << full.output;
  {
    Fd f(open(img_.c_str(), O_RDONLY));
    EXPECT_EQ(100 * 65536, lseek(f.fd, 0, SEEK_HOLE));
    EXPECT_EQ(200 * 65536, lseek(f.fd, 100 * 65536, SEEK_DATA));
  }

  // The first round writes data, the second zeroes, also over the first round's chunks: all
  // of the second's are then holes in the image, those of the first punched out in place.
  std::set<uint64_t> filled;
  for (uint64_t round = 1; round <= 2; ++round) {
    std::set<uint64_t> touched = write_chunks(round == 1 ? 7 : 23, round, round == 2);
    if (round == 1) {
      filled = touched;
    } else {
      Fd f(open(path("sda1").c_str(), O_RDWR));
      const std::string zero(65536, '\0');
      for (uint64_t c : filled)
        EXPECT_EQ(65536, pwrite(f.fd, zero.data(), zero.size(), off_t(c * 65536)));
      EXPECT_EQ(0, fsync(f.fd));
      touched.insert(filled.begin(), filled.end());
    }
    Run inc = backup("incremental", img_);
    expect_incremental(inc, touched);
    expect_image_is_source(img_);
    Fd f(open(img_.c_str(), O_RDONLY));
    for (uint64_t c : touched) {
      off_t at = off_t(c * 65536);
      EXPECT_EQ(at, lseek(f.fd, at, round == 1 ? SEEK_DATA : SEEK_HOLE)) << "chunk " << c;
    }
    std::cout << "incremental " << round << ": " << chunks_copied(inc.output) << " of "
              << part_bytes(0) / 65536 << " chunks copied\n";
  }

  // The state file holds the map and the generation of the image it belongs to.
  std::string state = slurp(state_ + "/state.json");
  EXPECT_NE(state.find("\"image\": \"" + img_ + "\""), std::string::npos) << state;
  EXPECT_NE(state.find("\"intact\": true"), std::string::npos) << state;
  // Its count of folded records holds at least one for each chunk write above.
  std::smatch folded;
  ASSERT_TRUE(std::regex_search(state, folded, std::regex("\"records\": ([0-9]+)"))) << state;
  EXPECT_GE(std::stoull(folded[1]), 7u + 23u) << state;

  // A session the service holds for a waiting client ends with that client: a signal the
  // client takes is passed on, and a client killed outright ends its request too.
  for (int sig : {SIGINT, SIGKILL}) {
    const std::string out = tmp_ + "/hold." + std::to_string(sig) + ".out";
    pid_t h = spawn_agent({"--state", state_, "snapshot", "sda1", "--wait"}, out);
    ASSERT_GT(h, 0);
    ASSERT_GT(announced_session(out), 0) << slurp(out);
    ASSERT_EQ(kill(h, sig), 0);
    int st = wait_agent(h);
    ASSERT_NE(st, -1) << slurp(out);
    if (sig == SIGINT) {
      EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st << slurp(out);
      EXPECT_NE(slurp(out).find("Interrupt, stopping"), std::string::npos) << slurp(out);
    }
    EXPECT_TRUE(eventually([&] { return cli({"list"}).output.find("no snapshot sessions") != std::string::npos; }, 300))
        << "the session outlived its client (signal " << sig << ")";
  }

  if (access("/usr/bin/setpriv", X_OK) == 0) {
    std::string out = tmp_ + "/other-user.out";
    std::vector<std::string> args = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                                     "--clear-groups", VEK_AGENT_PATH,    "--state",
                                     state_,          "list"};
    std::string cmdline;
    for (auto &a : args) cmdline += a + " ";
    int st = system((cmdline + "> " + out + " 2>&1").c_str());
    // 126/127: that user cannot run the binary where this build lives; nothing to check then.
    if (!(WIFEXITED(st) && (WEXITSTATUS(st) == 126 || WEXITSTATUS(st) == 127))) {
      EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 1) << st << slurp(out);
      EXPECT_NE(slurp(out).find("cannot reach the agent service"), std::string::npos) << slurp(out);
    }
  }
}

// Each link of the chain broken in turn gives a full backup with its reason, and an exact
// image; the incremental after each such full backup works again.
TEST_F(ServiceOnMachine, EveryBrokenLinkGivesAFullBackupThatSaysWhy) {
  start();
  ASSERT_NO_FATAL_FAILURE(serve());
  backup("backup", img_);

  // The service restarted: its control handle closed in between.
  write_chunks(3, 11);
  ASSERT_NO_FATAL_FAILURE(stop_service());
  ASSERT_NO_FATAL_FAILURE(serve());
  expect_full_because(backup("incremental", img_), "the agent service restarted");
  expect_image_is_source(img_);
  std::set<uint64_t> touched = write_chunks(4, 12);
  expect_incremental(backup("incremental", img_), touched);
  expect_image_is_source(img_);

  // The driver reports missed writes (here because it was told to give up tracking).
  {
    Fd ctl(open(path("vekdriver").c_str(), O_RDWR));
    ASSERT_GE(ctl.fd, 0) << strerror(errno);
    int32_t arg = 0;
    ASSERT_EQ(0, ioctl(ctl.fd, VEK_IOCTL_ERROR_CTS, &arg)) << strerror(errno);
  }
  write_chunks(2, 13);
  expect_full_because(backup("incremental", img_), "missed writes");
  expect_image_is_source(img_);

  // Another agent takes records from the queue the service follows: the driver cannot say so,
  // the machine's count of records handed out does. A writer keeps records coming, and the
  // one-record fetch asks until it gets one: the writer's first record may not be queued yet,
  // or the service may take what is queued first. A slow machine only takes longer.
  {
    std::atomic<bool> stop{false};
    std::thread writer([&] {
      for (uint64_t seed = 100; !stop; ++seed) write_chunks(1, seed);
    });
    Fd ctl(open(path("vekdriver").c_str(), O_RDWR));
    int got = -1, why = ctl.fd >= 0 ? 0 : errno;
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::minutes(2);
    while (ctl.fd >= 0) {
      change_record_usr_v2 rec[1] = {};
      change_recrod_request_v2 req = {};
      req.size = 1;
      req.cru = rec;
      got = ioctl(ctl.fd, VEK_IOCTL_GET_CHANGED_RECORDS_V2, &req);
      why = errno;
      if (got != 0 || std::chrono::steady_clock::now() > give_up) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    stop = true;
    writer.join();
    ASSERT_EQ(1, got) << strerror(why);
  }
  expect_full_because(backup("incremental", img_), "another agent took change records");
  expect_image_is_source(img_);

  // Another agent starts (and stops) a session of sda1: its start resets the driver's tracking
  // of sda1, which could hide a break no fetch reported yet.
  {
    Fd ctl(open(path("vekdriver").c_str(), O_RDWR));
    ASSERT_GE(ctl.fd, 0) << strerror(errno);
    int id = start_session(ctl.fd);
    ASSERT_GT(id, 0) << strerror(errno);
    EXPECT_EQ(0, cli({"stop", std::to_string(id)}).status);
  }
  expect_full_because(backup("incremental", img_), "another agent started");
  expect_image_is_source(img_);

  // Another image than the one the map belongs to: a copy, and one whose record was replaced.
  const std::string copy = tmp_ + "/copy.img";
  ASSERT_EQ(0, run_quiet({"cp", img_, copy}));
  ASSERT_EQ(0, run_quiet({"cp", img_ + ".qel", copy + ".qel"}));
  expect_full_because(backup("incremental", copy), "went to " + img_);
  expect_image_is_source(copy);
  // The copy's backup made it the base; the first image no longer is.
  expect_full_because(backup("incremental", img_), "went to " + copy);

  // The machine restarted with the same disk: tracking started over.
  write_chunks(2, 14);
  ASSERT_NO_FATAL_FAILURE(stop_service());
  kill(child_, SIGTERM);
  ASSERT_TRUE(wait_exit(3000)) << "vek-machine did not stop";
  ASSERT_NO_FATAL_FAILURE(start());
  ASSERT_NO_FATAL_FAILURE(serve());
  expect_full_because(backup("incremental", img_), "the machine restarted");
  expect_image_is_source(img_);
  touched = write_chunks(5, 15);
  expect_incremental(backup("incremental", img_), touched);
  expect_image_is_source(img_);
}

}  // namespace
