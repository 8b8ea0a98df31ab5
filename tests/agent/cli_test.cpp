// qel-agent end to end, in this process: every cli_main call is a fresh machine, as every
// qel-agent process is.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <host/host.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "agent/cli.h"
#include "agent/image.h"
#include "agent/layout.h"
#include "driver_fixture.h"
#include "spawn_output.h"

using namespace agent;

extern char **environ;

namespace {

// The host's inode flags (chattr +i): <linux/fs.h> here is the machine's own.
constexpr unsigned long kGetFlags = _IOR('f', 1, long), kSetFlags = _IOW('f', 2, long);
constexpr int kImmutable = 0x00000010;

struct CliRun {
  int code;
  std::string out, err;
};

CliRun qel(std::vector<std::string> args) {
  std::ostringstream o, e;
  int c = cli_main(args, o, e);
  return {c, o.str(), e.str()};
}

bool has(const std::string &hay, const std::string &needle) {
  return hay.find(needle) != std::string::npos;
}

class Cli : public ::testing::Test {
 protected:
  std::string dir, disk;
  std::vector<char> part1;  // content written into the image's first partition

  void SetUp() override {
    host::set_clock_speed(50);  // the driver's 5 s waits and retries take 100 ms
    char t[] = "/tmp/qel-cli-XXXXXX";
    ASSERT_TRUE(mkdtemp(t));
    dir = t;
    disk = dir + "/disk.img";
  }
  void TearDown() override {
    if (child > 0) {
      kill(child, SIGKILL);
      waitpid(child, nullptr, 0);
    }
    if (!immutable.empty()) set_immutable(immutable, false);
    host::fault_reset();
    host::set_clock_speed(1);
    std::filesystem::remove_all(dir);
  }
  pid_t child = -1;       // a qel-agent of its own, killed at the end
  std::string immutable;  // a file made immutable, made mutable again at the end

  static bool set_immutable(const std::string &f, bool on) {
    int fd = ::open(f.c_str(), O_RDONLY);
    int flags = 0;
    bool ok = fd >= 0 && ioctl(fd, kGetFlags, &flags) == 0;
    flags = on ? flags | kImmutable : flags & ~kImmutable;
    ok = ok && ioctl(fd, kSetFlags, &flags) == 0;
    if (fd >= 0) ::close(fd);
    return ok;
  }
  std::string path(const std::string &f) const { return dir + "/" + f; }

  // A 16 MiB image qel-agent made (two equal partitions), whose first partition holds random
  // bytes. `with_table` false: an image as made before partition tables, the same layout
  // without one.
  void make_disk(bool with_table = true, const std::string &image = "") {
    std::string img = image.empty() ? disk : image;
    const uint64_t nr = (16ull << 20) / 512;
    if (with_table) {
      ASSERT_EQ(0, qel({"--disk", img, "--disk-size", "16M", "list"}).code);
    }
    auto parts = equal_partitions(nr, 2);
    part1.resize(parts[0].nr_sects * 512);
    std::mt19937_64 rng(7);
    for (size_t i = 0; i < part1.size(); i += 8) {
      uint64_t v = rng();
      memcpy(&part1[i], &v, 8);
    }
    int fd = ::open(img.c_str(), O_RDWR | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(0, ftruncate(fd, off_t(nr * 512)));
    ASSERT_EQ(ssize_t(part1.size()),
              pwrite(fd, part1.data(), part1.size(), off_t(parts[0].start_sect * 512)));
    close(fd);
  }
  // qel-agent in a process of its own, its output in `out`.
  void spawn_agent(std::vector<std::string> args, const std::string &out) {
    args.insert(args.begin(), VEK_AGENT_PATH);
    child = vekfx::spawn_with_output(args, out);
    ASSERT_GT(child, 0);
  }
  // Polls (bounded) until the file holds `text`, or the child has ended.
  bool wait_for_text(const std::string &f, const std::string &text) {
    for (int i = 0; i < 3000; i++) {
      std::vector<char> got = slurp(f);
      if (has(std::string(got.begin(), got.end()), text)) return true;
      if (waitpid(child, nullptr, WNOHANG) == child) {
        child = -1;
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }
  std::vector<char> slurp(const std::string &f) {
    std::ifstream in(f, std::ios::binary);
    return std::vector<char>(std::istreambuf_iterator<char>(in), {});
  }
  std::vector<std::string> base() {
    return {"--disk", disk, "--disk-size", "16M", "--workers", "2", "--no-progress"};
  }
  std::vector<std::string> cmd(std::vector<std::string> rest) {
    auto v = base();
    v.insert(v.end(), rest.begin(), rest.end());
    return v;
  }
};

}  // namespace

TEST_F(Cli, DemoVerifiesBothBackupsOnASmallDisk) {
  auto before = vekfx::leak_baseline::now();
  CliRun r = qel({"demo", "--size", "32M", "--settle-ms", "100", "--workers", "2"});
  EXPECT_EQ(0, r.code) << r.out << r.err;
  EXPECT_TRUE(has(r.out, "ok      full backup")) << r.out;
  EXPECT_TRUE(has(r.out, "ok      incremental backup")) << r.out;
  EXPECT_TRUE(has(r.out, "ok      live sda1 after all writes")) << r.out;
  EXPECT_TRUE(has(r.out, "ok      sda2 untouched")) << r.out;
  EXPECT_TRUE(has(r.out, "demo: all checks passed")) << r.out;
  // The demo's directory is gone and the machine was given back whole.
  std::string line = r.out.substr(0, r.out.find('\n'));
  std::string d = line.substr(line.find("/"), line.find(',') - line.find("/"));
  EXPECT_FALSE(std::filesystem::exists(d)) << d;
  vekfx::expect_no_leaks(before);
}

TEST_F(Cli, BackupThenIncrementalOnOneMachineCopiesNothingForAnIdleDevice) {
  make_disk();
  std::string a = path("a.img");
  CliRun r = qel(cmd(
      {"backup", "-o", a, "+", "incremental", "-o", a, "+", "incremental", "-o", path("b.img")}));
  ASSERT_EQ(0, r.code) << r.out << r.err;
  EXPECT_TRUE(has(r.out, "full backup of sda1 to " + a)) << r.out;
  EXPECT_TRUE(has(r.out, "incremental backup of sda1 to " + a)) << r.out;
  EXPECT_TRUE(has(r.out, "0 B, 0 of 112 chunks")) << r.out;  // 7 MiB partition, nothing written
  EXPECT_TRUE(has(r.out, "the last backup of this device went to " + a + ", not " + path("b.img")))
      << r.out;
  EXPECT_TRUE(slurp(a) == part1);
  EXPECT_TRUE(slurp(path("b.img")) == part1);
  auto m = read_meta(a);
  ASSERT_TRUE(m);
  EXPECT_EQ("incremental", m->kind);
  EXPECT_EQ("sda1", m->device);
  EXPECT_EQ(part1.size() / 512, m->nr_sects);
}

TEST_F(Cli, IncrementalInAFreshProcessFallsBackToFullAndSaysWhy) {
  make_disk();
  std::string a = path("a.img");
  ASSERT_EQ(0, qel(cmd({"backup", "-o", a})).code);
  auto gen1 = read_meta(a)->generation;
  CliRun r = qel(cmd({"incremental", "-o", a}));
  ASSERT_EQ(0, r.code) << r.err;
  EXPECT_TRUE(
      has(r.out,
          "note: incremental backup not possible (no change tracking of this device since a backup "
          "in this machine (every qel-agent process starts a fresh machine)); made a full backup"))
      << r.out;
  EXPECT_TRUE(has(r.out, "full backup of sda1")) << r.out;
  EXPECT_TRUE(slurp(a) == part1);
  auto m = read_meta(a);
  ASSERT_TRUE(m);
  EXPECT_EQ("full", m->kind);
  EXPECT_NE(gen1, m->generation);
}

TEST_F(Cli, SessionCommandsSeeTheSessionASnapshotLeftRunning) {
  make_disk();
  auto before = vekfx::leak_baseline::now();
  CliRun r =
      qel(cmd({"snapshot", "sda1", "+", "list", "+", "status", "1", "+", "error", "1", "+",
               "version", "+", "stop", "1", "+", "list"}));
  ASSERT_EQ(0, r.code) << r.out << r.err;
  EXPECT_TRUE(has(r.out, "vek1: snapshot of sda1 taken at")) << r.out;
  EXPECT_TRUE(has(r.out, "\nvek1  /dev/sda1  ")) << r.out;
  EXPECT_TRUE(has(r.out, "state: ok")) << r.out;
  EXPECT_TRUE(has(r.out, "\nno error\n")) << r.out;
  EXPECT_TRUE(has(r.out, "vekdriver 4.6.0 build 27")) << r.out;
  EXPECT_TRUE(has(r.out, "vek1 stopped; backing file ")) << r.out;
  EXPECT_TRUE(has(r.out, "0 sessions remain")) << r.out;
  EXPECT_TRUE(r.out.size() > 20 && r.out.substr(r.out.size() - 21) == "no snapshot sessions\n")
      << r.out;
  vekfx::expect_no_leaks(before);

  // A session never stopped is stopped when the run ends; its workers leave with it.
  CliRun r2 = qel(cmd({"snapshot", "+", "list"}));
  EXPECT_EQ(0, r2.code) << r2.err;
  vekfx::expect_no_leaks(before);
}

TEST_F(Cli, BadUsageAndFailuresGiveClearMessagesAndExitCodes) {
  make_disk();
  CliRun r = qel(cmd({"stop", "3"}));
  EXPECT_EQ(1, r.code);
  EXPECT_TRUE(has(r.err, "no session vek3")) << r.err;
  r = qel(cmd({"status", "2"}));
  EXPECT_EQ(1, r.code);
  EXPECT_TRUE(has(r.err, "no session vek2")) << r.err;
  r = qel({"backup", "-o", path("x.img")});
  EXPECT_EQ(1, r.code);
  EXPECT_TRUE(has(r.err, "backup needs a source disk: give --disk IMAGE")) << r.err;
  r = qel(cmd({"backup", "sdb1", "-o", path("x.img")}));
  EXPECT_EQ(1, r.code);
  EXPECT_TRUE(has(r.err, "no device sdb1 on this machine (it has sda, sda1, sda2)")) << r.err;
  r = qel({"--disk", disk, "--buffer", "1000", "backup", "-o", path("x.img")});
  EXPECT_EQ(2, r.code);
  EXPECT_TRUE(has(r.err, "staging buffer must be a multiple of 4 KiB")) << r.err;
  // A worker whose staging buffer cannot be had is not counted as lent, and says why; with
  // none left the snapshot is not kept.
  host::fault_fail_next("staging_buffer", 1);
  r = qel(cmd({"snapshot", "+", "stop", "1"}));
  EXPECT_EQ(0, r.code) << r.err;
  EXPECT_TRUE(std::regex_search(r.out, std::regex("frozen [^,]+, 1 of 2 IO workers \\(worker [01]: "
                                                  "cannot allocate a staging buffer of 1.0 MiB: "
                                                  "Cannot allocate memory\\)\n")))
      << r.out;
  host::fault_fail_next("staging_buffer", 1);
  r = qel(cmd({"backup", "-o", path("one.img")}));
  EXPECT_EQ(0, r.code) << r.err;
  EXPECT_TRUE(has(r.out, "  IO workers:       1 of 2 IO workers (worker ")) << r.out;
  EXPECT_TRUE(slurp(path("one.img")) == part1);
  host::fault_fail_next("staging_buffer", 2);
  r = qel(cmd({"snapshot", "+", "list"}));
  EXPECT_EQ(1, r.code);
  EXPECT_TRUE(has(r.err, "no IO worker could be started for session vek1; worker ")) << r.err;
  EXPECT_TRUE(has(r.err, "the driver stopped the session")) << r.err;
  EXPECT_FALSE(has(r.out, "snapshot of")) << r.out;
  // Backing files are made before the snapshot is taken: nothing was started.
  r = qel({"--disk", disk, "--backing-dir", path("no/such/dir"), "snapshot"});
  EXPECT_EQ(1, r.code);
  EXPECT_TRUE(has(r.err, "cannot create backing file " + path("no/such/dir") +
                             "/sda1.cow_vek1.0: No such file or directory"))
      << r.err;
  EXPECT_FALSE(has(r.out, "snapshot of")) << r.out;
  EXPECT_FALSE(std::filesystem::exists(path("x.img.qel")));

  // An existing image keeps its size (and so its partitions); a different size is refused.
  r = qel({"--disk", disk, "--disk-size", "32M", "list"});
  EXPECT_EQ(1, r.code);
  EXPECT_TRUE(has(r.err, "is 16777216 bytes, not the 33554432 asked for")) << r.err;
  EXPECT_EQ(16u << 20, std::filesystem::file_size(disk));
  EXPECT_EQ(0, qel({"--disk", disk, "list"}).code);
  EXPECT_EQ(16u << 20, std::filesystem::file_size(disk));

  EXPECT_EQ(2, qel(cmd({"backup"})).code);  // no -o
  EXPECT_EQ(2, qel({"list", "+"}).code);
  EXPECT_EQ(2, qel({"demo", "+", "list"}).code);
  EXPECT_EQ(2, qel({"--workers", "65", "list"}).code);
  EXPECT_EQ(2, qel({"frobnicate"}).code);
  EXPECT_EQ(2, qel({}).code);
  EXPECT_EQ(0, qel({"--help"}).code);
  // Machine options belong before the first command only.
  EXPECT_EQ(2, qel({"list", "+", "--disk", disk, "list"}).code);

  // A mistyped command is named, with the nearest one; a chain is checked whole before its
  // first command runs; a bad size is bad usage.
  r = qel(cmd({"bakup", "-o", path("x.img")}));
  EXPECT_EQ(2, r.code);
  EXPECT_TRUE(has(r.err, "unknown command 'bakup' (did you mean backup?")) << r.err;
  r = qel(cmd({"backup", "-o", path("chain.img"), "+", "stauts", "1"}));
  EXPECT_EQ(2, r.code);
  EXPECT_FALSE(std::filesystem::exists(path("chain.img"))) << "the chain ran before it was checked";
  EXPECT_EQ(2, qel({"--disk", disk, "--buffer", "3x", "list"}).code);
  // A reordering that cannot be had, or that has no disk of this run to apply to.
  r = qel({"--disk", disk, "--disk-reorder", "7:0", "list"});
  EXPECT_EQ(2, r.code);
  EXPECT_TRUE(has(r.err, "depth")) << r.err;
  r = qel({"--dev", dir, "--disk-reorder", "7", "list"});
  EXPECT_EQ(2, r.code);
  EXPECT_TRUE(has(r.err, "give --disk")) << r.err;
  // /dev/NAME is NAME; JSON asked for in a chain is alone on stdout.
  r = qel(cmd({"backup", "/dev/sda1", "-o", path("dev.img")}));
  EXPECT_EQ(0, r.code) << r.err;
  r = qel(cmd({"snapshot", "+", "list", "--json", "+", "stop", "1"}));
  EXPECT_EQ(0, r.code) << r.err;
  nlohmann::json j;
  EXPECT_NO_THROW(j = nlohmann::json::parse(r.out)) << r.out;
  ASSERT_EQ(1u, j.size()) << r.out;
  EXPECT_EQ("/dev/sda1", j[0]["device"]);
  EXPECT_EQ(65536, j[0]["block_size"]);
  EXPECT_TRUE(has(r.err, "vek1 stopped")) << r.err;
}

TEST_F(Cli, ABackupWhoseSessionGoesIntoErrorReportsTheReasonAndFails) {
  // A partition big enough that the writer gets ahead of the reader: chunks preserved there
  // must come back from the backing files while the image is read.
  std::string big = path("big.img"), a = path("a.img");
  // Every write to a backing file finds its file system full.
  host::fault_rule rule;
  rule.count = -1;
  rule.error = -28;
  host::fault_inject("file_write", rule);
  CliRun r = qel({"--disk", big, "--disk-size", "64M", "--workers", "1", "--buffer", "64K",
                  "--no-progress", "backup", "-o", a, "--writer"});
  EXPECT_EQ(1, r.code) << r.out;
  EXPECT_TRUE(has(r.err, "is in error: FILE IO ERROR") ||
              has(r.err, "went into error during the backup: FILE IO ERROR"))
      << r.err;
  EXPECT_GT(host::fault_failures("file_write"), 0);
  EXPECT_GT(vekfx::dmesg_count("Out of space on file"), 0);
  // The half-made image is not recorded as a backup.
  EXPECT_FALSE(read_meta(a));
}

// No output that is, or resolves to, what the run reads or serves: each is refused as bad
// usage before anything is created, and the disk keeps every byte.
TEST_F(Cli, OutputsOverWhatTheRunReadsAreRefusedAndTouchNothing) {
  make_disk();
  const std::vector<char> before = slurp(disk);
  std::string backing = path("backing");
  std::filesystem::create_directory(backing);
  std::filesystem::create_symlink(disk, path("link"));
  std::filesystem::create_hard_link(disk, path("hard"));
  auto listing = [&] {
    std::set<std::string> s;
    for (auto &e : std::filesystem::recursive_directory_iterator(dir)) s.insert(e.path().string());
    return s;
  };
  const std::set<std::string> files = listing();
  struct Case {
    std::vector<std::string> args;
    std::string why;
  };
  for (const Case &c : std::vector<Case>{
           {cmd({"backup", "sda1", "-o", disk}), "it is the disk image " + disk},
           {cmd({"incremental", "-o", disk}), "it is the disk image"},
           {cmd({"backup", "-o", path("link")}), "it is the disk image"},
           {cmd({"backup", "-o", path("hard")}), "it is the disk image"},
           {{"--disk", disk, "--backing-dir", backing, "backup", "-o", backing}, "it is the backing directory"},
           {cmd({"backup", "-o", dir}), "it is a directory"},
           {{"--disk", disk, "--backing-dir", backing, "backup", "sda1", "-o", backing + "/sda1.cow_vek1.0"},
            "it would be a backing file of this run's snapshot"},
       }) {
    CliRun r = qel(c.args);
    EXPECT_EQ(2, r.code) << c.args.back() << ": " << r.out << r.err;
    EXPECT_TRUE(has(r.err, "qel-agent: error: refusing to write ") && has(r.err, c.why)) << r.err;
  }
  // The record beside the image would go over the disk.
  std::filesystem::rename(disk, path("disk.img.qel"));
  CliRun r = qel({"--disk", path("disk.img.qel"), "backup", "-o", disk});
  EXPECT_EQ(2, r.code) << r.err;
  EXPECT_TRUE(has(r.err, "refusing to write " + disk + ".qel (beside the image " + disk +
                             "): it is the disk image"))
      << r.err;
  std::filesystem::rename(path("disk.img.qel"), disk);
  EXPECT_TRUE(slurp(disk) == before);
  EXPECT_EQ(files, listing());

  // A backup replaces its image by a rename, which would put a file in the place of a FIFO or
  // a device node, and would follow links beside the image to what they name. Refused.
  ASSERT_EQ(0, mkfifo(path("fifo").c_str(), 0644));
  std::ofstream(path("victim")) << "keep";
  std::filesystem::create_symlink(path("victim"), path("b.img.qel-lock"));
  std::filesystem::create_hard_link(path("victim"), path("h.img.qel-lock"));
  for (const Case &c : std::vector<Case>{
           {cmd({"backup", "-o", path("fifo")}), "the image " + path("fifo") + ": it is a FIFO, not a regular file"},
           {cmd({"backup", "-o", path("b.img")}),
            path("b.img.qel-lock") + " (beside the image " + path("b.img") + "): it is a symbolic link"},
       }) {
    r = qel(c.args);
    EXPECT_EQ(2, r.code) << r.out << r.err;
    EXPECT_TRUE(has(r.err, "refusing to write " + c.why)) << r.err;
  }
  r = qel(cmd({"backup", "-o", path("h.img")}));
  EXPECT_EQ(1, r.code);
  EXPECT_TRUE(has(r.err, "has other names (a hard link)")) << r.err;
  if (geteuid() == 0) {
    ASSERT_EQ(0, mknod(path("null").c_str(), S_IFCHR | 0666, makedev(1, 3)));
    r = qel(cmd({"backup", "-o", path("null")}));
    EXPECT_EQ(2, r.code);
    EXPECT_TRUE(has(r.err, "it is a character device, not a regular file")) << r.err;
    struct stat st;
    ASSERT_EQ(0, lstat(path("null").c_str(), &st));
    EXPECT_TRUE(S_ISCHR(st.st_mode));
  }
  struct stat fifo;
  ASSERT_EQ(0, lstat(path("fifo").c_str(), &fifo));
  EXPECT_TRUE(S_ISFIFO(fifo.st_mode));
  EXPECT_EQ("keep", std::string(slurp(path("victim")).data(), 4));
  // A link given as the image is written through: the image and its record go where it points.
  std::filesystem::remove(path("b.img.qel-lock"));
  std::filesystem::create_symlink(path("b.img"), path("latest.img"));
  r = qel(cmd({"backup", "-o", path("latest.img")}));
  ASSERT_EQ(0, r.code) << r.err;
  EXPECT_TRUE(std::filesystem::is_symlink(path("latest.img")));
  EXPECT_TRUE(slurp(path("b.img")) == part1);
  EXPECT_TRUE(std::filesystem::exists(path("b.img.qel")));
}

// A backup that fails, before or after it began to copy, leaves the previous image and its
// record as they were: it stays a base.
TEST_F(Cli, AFailedBackupKeepsThePreviousImageAndItsRecord) {
  make_disk();
  std::string a = path("a.img");
  ASSERT_EQ(0, qel(cmd({"backup", "-o", a})).code);
  const std::vector<char> img = slurp(a), rec = slurp(a + ".qel");
  CliRun r = qel(cmd({"backup", "sdb1", "-o", a}));
  EXPECT_EQ(1, r.code);
  r = qel({"--disk", disk, "--backing-dir", path("no/such/dir"), "backup", "-o", a});
  EXPECT_EQ(1, r.code);
  EXPECT_TRUE(has(r.err, "cannot create backing file " + path("no/such/dir/sda1.cow_vek1.0")))
      << r.err;
  // Every write to a backing file finds its file system full: the session goes into error.
  host::fault_rule rule;
  rule.count = -1;
  rule.error = -28;
  host::fault_inject("file_write", rule);
  r = qel({"--disk", disk, "--workers", "1", "--buffer", "64K", "--no-progress", "backup", "-o", a,
           "--writer"});
  EXPECT_EQ(1, r.code);
  EXPECT_TRUE(has(r.err, "the previous image " + a + " and its record are kept as before")) << r.err;
  host::fault_reset();
  EXPECT_TRUE(slurp(a) == img);
  EXPECT_TRUE(slurp(a + ".qel") == rec);
  EXPECT_FALSE(std::filesystem::exists(a + ".qel-new"));
  EXPECT_FALSE(std::filesystem::exists(a + ".qel-lock"));
}

// A disk image is made only when --disk-size asks for one, must be a regular file of whole
// sectors, and a creation that fails leaves no file behind.
TEST_F(Cli, DiskImagesAreMadeOnlyWhenAskedAndAreRegularFilesOfWholeSectors) {
  std::string typo = path("dsik.img");
  CliRun r = qel({"--disk", typo, "backup", "-o", path("x.img")});
  EXPECT_EQ(1, r.code);
  EXPECT_TRUE(
      has(r.err, "there is no disk image " + typo + " (give --disk-size SIZE to create one)"))
      << r.err;
  EXPECT_FALSE(std::filesystem::exists(typo));
  EXPECT_FALSE(std::filesystem::exists(path("x.img")));

  ASSERT_EQ(0, mkfifo(path("fifo").c_str(), 0644));
  // Device nodes of its own (as root): the host's are never handed to the agent.
  std::vector<std::pair<std::string, std::string>> odd = {{dir, "a directory"},
                                                          {path("fifo"), "a FIFO"}};
  if (mknod(path("null").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0)
    odd.push_back({path("null"), "a character device"});
  for (auto [p, kind] : odd) {
    r = qel({"--disk", p, "--disk-size", "16M", "list"});
    EXPECT_EQ(1, r.code) << p;
    EXPECT_TRUE(
        has(r.err, p + " is " + kind + ", not a disk image (a disk image is a regular file)"))
        << r.err;
  }

  // Sizes the option cannot mean are bad usage.
  for (const char *bad : {"12Q", "1000"}) {
    r = qel({"--disk", typo, "--disk-size", bad, "list"});
    EXPECT_EQ(2, r.code) << bad;
    EXPECT_FALSE(std::filesystem::exists(typo)) << bad;
  }
  // A size the file system refuses (here: beyond the process's file size limit), or one an
  // MBR table cannot describe: no file is left behind.
  struct rlimit old;
  ASSERT_EQ(0, getrlimit(RLIMIT_FSIZE, &old));
  struct rlimit small = old;
  small.rlim_cur = 32 << 20;
  auto old_xfsz = signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &small));
  r = qel({"--disk", typo, "--disk-size", "100T", "--partitions", "0", "list"});
  setrlimit(RLIMIT_FSIZE, &old);
  signal(SIGXFSZ, old_xfsz);
  EXPECT_EQ(1, r.code);
  EXPECT_TRUE(has(r.err, "creating the disk image " + typo +
                             " of 109951162777600 bytes failed: File too large"))
      << r.err;
  EXPECT_FALSE(std::filesystem::exists(typo));
  r = qel({"--disk", typo, "--disk-size", "3T", "list"});
  EXPECT_EQ(1, r.code);
  EXPECT_TRUE(has(r.err, "a disk with an MBR partition table is at most 2 TiB")) << r.err;
  EXPECT_FALSE(std::filesystem::exists(typo));

  // An image whose size is no whole number of sectors would lose its tail.
  make_disk();
  ASSERT_EQ(0, truncate(disk.c_str(), (16 << 20) + 100));
  r = qel({"--disk", disk, "list"});
  EXPECT_EQ(1, r.code);
  EXPECT_TRUE(has(r.err,
                  "is 16777316 bytes, not a whole number of 512-byte sectors: its last 100 "
                  "bytes would belong to no sector"))
      << r.err;
  // An empty file is a disk only when asked to be one.
  std::string empty = path("empty.img");
  std::ofstream(empty).close();
  r = qel({"--disk", empty, "list"});
  EXPECT_EQ(1, r.code);
  EXPECT_TRUE(has(r.err, "the disk image " + empty + " is empty: give --disk-size SIZE")) << r.err;
  EXPECT_EQ(0, qel({"--disk", empty, "--disk-size", "8M", "list"}).code);
  EXPECT_EQ(8u << 20, std::filesystem::file_size(empty));
}

// The layout of a new image is in its MBR partition table, where later runs read it; images
// without a table (made before tables, or whole disks) keep the layout they were made with
// and need it named, and nothing is written into them.
TEST_F(Cli, ANewImageCarriesItsPartitionTableAndOlderImagesNeedTheirLayoutNamed) {
  std::string t = path("t.img");
  ASSERT_EQ(0, qel({"--disk", t, "--disk-size", "16M", "--partitions", "3", "list"}).code);
  std::vector<char> raw = slurp(t);
  ASSERT_EQ(16u << 20, raw.size());
  auto le32 = [&](size_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = v << 8 | uint8_t(raw[at + size_t(i)]);
    return v;
  };
  EXPECT_EQ(0x55, uint8_t(raw[510]));
  EXPECT_EQ(0xaa, uint8_t(raw[511]));
  const uint32_t each = 5 * 2048;  // the 15 MiB after the first, in three
  for (unsigned i = 0; i < 4; ++i) {
    size_t e = 446 + 16 * i;
    EXPECT_EQ(0, raw[e]) << "entry " << i;  // not bootable
    EXPECT_EQ(i < 3 ? 0x83 : 0, uint8_t(raw[e + 4])) << "entry " << i;
    EXPECT_EQ(i < 3 ? 2048 + i * each : 0, le32(e + 8)) << "entry " << i;
    EXPECT_EQ(i < 3 ? each : 0, le32(e + 12)) << "entry " << i;
  }
  // sda3 is the bytes the table says.
  std::vector<char> p3(size_t(each) * 512);
  std::mt19937_64 rng(3);
  for (char &c : p3) c = char(rng());
  {
    std::fstream f(t, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(std::streamoff(2048 + 2 * each) * 512);
    f.write(p3.data(), std::streamsize(p3.size()));
  }
  CliRun r = qel({"--disk", t, "--no-progress", "backup", "sda3", "-o", path("p3.img")});
  ASSERT_EQ(0, r.code) << r.err;
  EXPECT_TRUE(slurp(path("p3.img")) == p3);
  // --partitions lays out new images only: another number is refused, not applied.
  r = qel({"--disk", t, "--partitions", "2", "list"});
  EXPECT_EQ(1, r.code);
  EXPECT_TRUE(has(r.err, "has a partition table of 3 partitions, not the 2 of --partitions"))
      << r.err;
  // An image cut short no longer holds what its table says.
  ASSERT_EQ(0, truncate(t.c_str(), 12 << 20));
  r = qel({"--disk", t, "list"});
  EXPECT_EQ(1, r.code);
  EXPECT_TRUE(has(r.err,
                  "partition 3 (sectors 22528 to 32767) runs past the end of the disk (24576 "
                  "sectors): the image is shorter than its table says"))
      << r.err;

  // An image from before tables: read as the equal partitions it was made with, once named.
  std::string old = path("old.img");
  make_disk(false, old);
  r = qel({"--disk", old, "list"});
  EXPECT_EQ(1, r.code);
  EXPECT_TRUE(
      has(r.err, "has no partition table: give --partitions N to read it as N equal partitions"))
      << r.err;
  r = qel({"--disk", old, "--partitions", "2", "--no-progress", "backup", "-o", path("o.img")});
  ASSERT_EQ(0, r.code) << r.err;
  EXPECT_TRUE(slurp(path("o.img")) == part1);
  std::vector<char> first = slurp(old);
  first.resize(512);
  EXPECT_TRUE(first == std::vector<char>(512, 0));
  // A whole disk gets no table: its first sector is its own.
  std::string whole = path("whole.img");
  r = qel({"--disk", whole, "--disk-size", "8M", "--partitions", "0", "--no-progress", "backup",
           "-o", path("w.img")});
  ASSERT_EQ(0, r.code) << r.err;
  EXPECT_TRUE(has(r.out, "full backup of sda to")) << r.out;
  EXPECT_TRUE(has(r.out, "holes:            8.0 MiB of all-zero chunks left unwritten")) << r.out;
  first = slurp(whole);
  first.resize(512);
  EXPECT_TRUE(first == std::vector<char>(512, 0));
}

// The host's own tools read the table as it was meant.
TEST_F(Cli, SfdiskReadsTheTableOfANewImage) {
  std::string sfdisk;
  for (const char *p : {"/usr/sbin/sfdisk", "/sbin/sfdisk", "/usr/bin/sfdisk"})
    if (access(p, X_OK) == 0) sfdisk = p;
  if (sfdisk.empty()) GTEST_SKIP() << "needs sfdisk (Debian package fdisk)";
  std::string t = path("t.img");
  ASSERT_EQ(0, qel({"--disk", t, "--disk-size", "64M", "list"}).code);
  std::string cmdline = sfdisk + " -d " + t + " 2>&1";
  FILE *f = popen(cmdline.c_str(), "r");
  ASSERT_NE(nullptr, f);
  std::string dump;
  char buf[256];
  while (fgets(buf, sizeof buf, f)) dump += buf;
  EXPECT_EQ(0, pclose(f)) << dump;
  EXPECT_TRUE(has(dump, "label: dos\n")) << dump;
  EXPECT_TRUE(has(dump, t + "1 : start=        2048, size=       63488, type=83\n")) << dump;
  EXPECT_TRUE(has(dump, t + "2 : start=       65536, size=       63488, type=83\n")) << dump;
  EXPECT_FALSE(has(dump, t + "3")) << dump;
}

// Two processes never share a disk image, nor a backing file: the second is refused before it
// starts anything, with the first one's pid. A run killed outright leaves its backing files
// behind, unlocked: the next run takes them over.
TEST_F(Cli, TwoRunsNeverShareADiskImageOrABackingFile) {
  if (std::string(VEK_AGENT_PATH).empty()) GTEST_SKIP() << "qel-agent was not built";
  make_disk();
  std::string other = path("other.img"), backing = path("backing"), out = path("child.out");
  ASSERT_EQ(0, qel({"--disk", other, "--disk-size", "16M", "list"}).code);
  ASSERT_TRUE(std::filesystem::create_directory(backing));
  spawn_agent({"--disk", disk, "--workers", "2", "--no-progress", "--backing-dir", backing,
               "snapshot", "sda1", "--wait"},
              out);
  ASSERT_TRUE(wait_for_text(out, "vek1: snapshot of sda1")) << slurp(out).data();
  std::string holder = "pid " + std::to_string(child) + " (qel-agent)";
  std::string f0 = backing + "/sda1.cow_vek1.0";
  struct stat before, st;
  ASSERT_EQ(0, stat(f0.c_str(), &before));

  CliRun r = qel(cmd({"list"}));
  EXPECT_EQ(1, r.code);
  EXPECT_TRUE(has(r.err, "the disk image " + disk + " is in use by " + holder +
                             ": a disk image belongs to one machine at a time"))
      << r.err;
  r = qel({"--disk", other, "--workers", "2", "--no-progress", "--backing-dir", backing, "snapshot",
           "sda1", "+", "list"});
  EXPECT_EQ(1, r.code);
  EXPECT_TRUE(has(r.err, "backing file " + f0 + " is in use by " + holder)) << r.err;
  EXPECT_FALSE(has(r.out, "snapshot of")) << r.out;
  // Nor is a backup written over the image a live run has as its disk, or over a live
  // session's backing file: the rename would take the file from under it.
  struct stat disk_before, disk_after;
  ASSERT_EQ(0, stat(disk.c_str(), &disk_before));
  for (const std::string &target : {disk, f0}) {
    r = qel({"--disk", other, "--no-progress", "backup", "-o", target});
    EXPECT_EQ(1, r.code) << target;
    EXPECT_TRUE(has(r.err, "the image " + target + " is in use by " + holder +
                               " (the disk image of a running machine, or a session's backing file)"))
        << r.err;
  }
  ASSERT_EQ(0, stat(disk.c_str(), &disk_after));
  EXPECT_EQ(disk_before.st_ino, disk_after.st_ino);
  // The running session's file is the same file still.
  ASSERT_EQ(0, stat(f0.c_str(), &st));
  EXPECT_EQ(before.st_ino, st.st_ino);

  kill(child, SIGKILL);
  ASSERT_EQ(child, waitpid(child, nullptr, 0));
  child = -1;
  ASSERT_TRUE(std::filesystem::exists(f0));
  std::ofstream(f0, std::ios::binary) << std::string(65536, 'x');  // chunks of the dead run
  r = qel(cmd({"--backing-dir", backing, "backup", "-o", path("a.img")}));
  ASSERT_EQ(0, r.code) << r.err;
  EXPECT_TRUE(slurp(path("a.img")) == part1);
  EXPECT_TRUE(std::filesystem::is_empty(backing));
}

// Nothing writes the source of a backup but --writer: without it a read-only image does.
TEST_F(Cli, AReadOnlyImageIsBackedUpAndOnlyAWriterNeedsItWritable) {
  make_disk();
  ASSERT_EQ(0, chmod(disk.c_str(), 0444));
  int rw = ::open(disk.c_str(), O_RDWR);
  if (rw >= 0) {  // root: mode bits do not stop it
    ::close(rw);
    if (!set_immutable(disk, true)) GTEST_SKIP() << "cannot make the image read-only for root here";
    immutable = disk;
    rw = ::open(disk.c_str(), O_RDWR);
    ASSERT_LT(rw, 0);
  }
  CliRun r = qel(cmd({"backup", "-o", path("a.img")}));
  ASSERT_EQ(0, r.code) << r.err;
  EXPECT_TRUE(slurp(path("a.img")) == part1);
  r = qel(cmd({"backup", "--writer", "-o", path("w.img")}));
  EXPECT_EQ(1, r.code);
  EXPECT_TRUE(
      has(r.err, "cannot open the disk image " + disk + " for writing (--writer writes to it)"))
      << r.err;
}
