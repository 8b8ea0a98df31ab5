// qel-agent end to end, in this process: every cli_main call is a fresh machine, as every
// qel-agent process is.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <host/host.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <sstream>

#include "agent/cli.h"
#include "agent/image.h"
#include "agent/layout.h"
#include "driver_fixture.h"

using namespace agent;

namespace {

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
    host::fault_reset();
    host::set_clock_speed(1);
    std::filesystem::remove_all(dir);
  }
  std::string path(const std::string &f) const { return dir + "/" + f; }

  // A 16 MiB image whose first partition (2 equal partitions, as qel-agent lays them out)
  // holds random bytes.
  void make_disk() {
    const uint64_t nr = (16ull << 20) / 512;
    auto parts = equal_partitions(nr, 2);
    part1.resize(parts[0].nr_sects * 512);
    std::mt19937_64 rng(7);
    for (size_t i = 0; i < part1.size(); i += 8) {
      uint64_t v = rng();
      memcpy(&part1[i], &v, 8);
    }
    int fd = ::open(disk.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(0, ftruncate(fd, off_t(nr * 512)));
    ASSERT_EQ(ssize_t(part1.size()),
              pwrite(fd, part1.data(), part1.size(), off_t(parts[0].start_sect * 512)));
    close(fd);
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
  EXPECT_EQ(1, r.code);
  EXPECT_TRUE(has(r.err, "staging buffer must be a multiple of 4 KiB")) << r.err;
  r = qel({"--disk", disk, "--backing-dir", path("no/such/dir"), "snapshot"});
  EXPECT_EQ(1, r.code);
  EXPECT_TRUE(has(r.err, "no IO worker could be started for session vek1")) << r.err;
  EXPECT_TRUE(has(r.err, "cannot create backing file")) << r.err;
  EXPECT_TRUE(has(r.err, "the driver stopped the session")) << r.err;
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
  EXPECT_TRUE(has(r.err, "no IO worker could be started")) << r.err;
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
