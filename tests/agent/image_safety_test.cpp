// A backup never costs the one it replaces: qel-agent as a real child process (with a test
// hook at each step of writing an image) killed, stopped or signalled at those steps, two
// processes writing one image, and full file systems.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "agent/error.h"
#include "agent/image.h"
#include "agent/image_writer.h"
#include "agent/layout.h"

extern char **environ;

using namespace agent;
namespace fs = std::filesystem;

namespace {

std::string slurp(const std::string &f) {
  std::ifstream in(f, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void spit(const std::string &f, const std::string &data) {
  std::ofstream(f, std::ios::binary | std::ios::trunc).write(data.data(), std::streamsize(data.size()));
}

bool has(const std::string &hay, const std::string &needle) {
  return hay.find(needle) != std::string::npos;
}

using Env = std::vector<std::pair<std::string, std::string>>;

class ImageSafety : public ::testing::Test {
 protected:
  static constexpr uint64_t kDisk = 48ull << 20;
  std::string dir, disk, tmpdir, a;
  std::vector<PartitionLayout> parts = equal_partitions(kDisk / 512, 2);

  void SetUp() override {
    char t[] = "/tmp/qel-safety-XXXXXX";
    ASSERT_TRUE(mkdtemp(t));
    dir = t;
    disk = dir + "/disk.img";
    tmpdir = dir + "/tmp";
    a = dir + "/a.img";
    fs::create_directory(tmpdir);
    std::mt19937_64 rng(20240611);
    std::string d(kDisk, '\0');
    for (size_t i = 0; i < d.size(); i += 8) {
      uint64_t v = rng();
      memcpy(&d[i], &v, 8);
    }
    spit(disk, d);
  }
  void TearDown() override { fs::remove_all(dir); }

  std::string part(unsigned i) {
    return slurp(disk).substr(parts[i].start_sect * 512, parts[i].nr_sects * 512);
  }
  // Seeded bytes over 1 MiB of sda1, so that a new backup differs from the last.
  void change_sda1(uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::string b(1 << 20, '\0');
    for (char &c : b) c = char(rng());
    int fd = ::open(disk.c_str(), O_WRONLY);
    ASSERT_EQ(ssize_t(b.size()), pwrite(fd, b.data(), b.size(), off_t(parts[0].start_sect * 512 + (2 << 20))));
    close(fd);
  }

  pid_t spawn(std::vector<std::string> args, const Env &env, bool base = true) {
    std::vector<std::string> all = {QEL_AGENT_HOOKED};
    // The disk is random bytes without a partition table: it is read as two equal partitions.
    if (base) all.insert(all.end(), {"--disk", disk, "--partitions", "2", "--workers", "2"});
    all.insert(all.end(), args.begin(), args.end());
    std::vector<std::string> envs = {"TMPDIR=" + tmpdir};
    for (char **e = environ; *e; ++e)
      if (strncmp(*e, "QEL_TEST_", 9) != 0 && strncmp(*e, "TMPDIR=", 7) != 0) envs.push_back(*e);
    for (auto &[k, v] : env) envs.push_back(k + "=" + v);
    std::vector<char *> argv, envp;
    for (auto &s : all) argv.push_back(s.data());
    for (auto &s : envs) envp.push_back(s.data());
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, (dir + "/out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&fa, 2, (dir + "/err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), envp.data()) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    return pid;
  }
  // The wait status once the child ended (or stopped, when asked); -1 when it does neither
  // within a bound meant for a hung child only.
  int wait_child(pid_t pid, bool stopped = false) {
    for (int i = 0; i < 12000; i++) {
      int st = 0;
      if (waitpid(pid, &st, WNOHANG | (stopped ? WUNTRACED : 0)) == pid) return st;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return -1;
  }
  struct Run {
    int st;
    std::string out, err;
    int code() const { return st != -1 && WIFEXITED(st) ? WEXITSTATUS(st) : -1; }
    bool killed() const { return st != -1 && WIFSIGNALED(st) && WTERMSIG(st) == SIGKILL; }
  };
  Run run(std::vector<std::string> args, const Env &env = {}, bool base = true) {
    pid_t pid = spawn(args, env, base);
    if (pid < 0) return {-1, "", "cannot start " QEL_AGENT_HOOKED};
    int st = wait_child(pid);
    return {st, slurp(dir + "/out"), slurp(dir + "/err")};
  }
  std::vector<std::string> lines(const std::string &f) {
    std::vector<std::string> v;
    std::ifstream in(f);
    for (std::string l; std::getline(in, l);) v.push_back(l);
    return v;
  }
  // Files an image's backups keep beside it while they run.
  std::vector<std::string> left_over(const std::string &img) {
    std::vector<std::string> v;
    for (std::string f : {new_image_path(img), meta_path(new_image_path(img)), undo_path(img),
                          lock_path(img), meta_path(img) + ".tmp"})
      if (fs::exists(f)) v.push_back(f);
    return v;
  }
  std::string joined(const std::vector<std::string> &v) {
    std::string s;
    for (auto &l : v) s += l + "\n";
    return s;
  }
};

// Killed before every step of a full backup in turn: until the new image is renamed into
// place, the previous image and its record are bit for bit as they were; after it, the new
// backup is whole once its record is put beside it. Either way the image is a backup that
// matches its record, and nothing else is left.
TEST_F(ImageSafety, AFullBackupKilledAtAnyStepLeavesTheOldBackupOrTheNewOneWhole) {
  ASSERT_EQ(0, run({"backup", "-o", a}).code());
  const std::string old_img = slurp(a), old_rec = slurp(meta_path(a));
  const uint64_t old_gen = read_meta(a)->generation;
  change_sda1(1);
  const std::string now = part(0);
  ASSERT_NE(old_img, now);
  Run dry = run({"backup", "-o", dir + "/b.img"}, {{"QEL_TEST_STEPS", dir + "/steps"}});
  ASSERT_EQ(0, dry.code()) << dry.err;
  const std::vector<std::string> steps = lines(dir + "/steps");
  const long n = long(steps.size());
  const long renamed = long(std::find(steps.begin(), steps.end(), "rename-image") - steps.begin()) + 1;
  ASSERT_GE(n, 20) << joined(steps);
  ASSERT_LT(renamed, n);

  bool told = false;
  for (long k = 1; k <= n; ++k) {
    SCOPED_TRACE("killed before step " + std::to_string(k) + ", " + steps[k - 1]);
    spit(a, old_img);
    spit(meta_path(a), old_rec);
    Run r = run({"backup", "-o", a}, {{"QEL_TEST_KILL_AT", std::to_string(k)}});
    ASSERT_TRUE(r.killed()) << r.st << r.err;
    if (k <= renamed) {
      EXPECT_TRUE(slurp(a) == old_img);
      EXPECT_EQ(old_rec, slurp(meta_path(a)));
    }
    bool had_new = fs::exists(new_image_path(a)), had_rec = fs::exists(meta_path(new_image_path(a)));
    if (had_new && !told) {
      // The next run removes what was left and says so.
      told = true;
      Run next = run({"backup", "-o", a});
      EXPECT_EQ(0, next.code()) << next.err;
      EXPECT_TRUE(has(next.out, "note: removed " + new_image_path(a) + ", left by a backup of " + a +
                                    " that did not finish"))
          << next.out;
      EXPECT_TRUE(slurp(a) == now);
      EXPECT_TRUE(left_over(a).empty()) << joined(left_over(a));
      continue;
    }
    std::vector<std::string> said = recover_image(a);
    EXPECT_EQ(had_new || had_rec, !said.empty()) << joined(said);
    std::optional<ImageMeta> m = read_meta(a);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->nr_sects * 512, fs::file_size(a));
    if (k <= renamed) {
      EXPECT_TRUE(slurp(a) == old_img);
      EXPECT_EQ(old_rec, slurp(meta_path(a)));
    } else {
      EXPECT_TRUE(slurp(a) == now);
      EXPECT_NE(old_gen, m->generation);
    }
    EXPECT_TRUE(left_over(a).empty()) << joined(left_over(a));
  }
  EXPECT_TRUE(told);
}

// backup + incremental + incremental in one process: the first incremental's session sees a
// seeded writer, so the second copies those chunks. Killed at seeded steps of the second, the
// image is rolled back to the first incremental's backup bit for bit, with its record, until
// the second's record is written; from then on it is the second's.
TEST_F(ImageSafety, AnIncrementalKilledAtAnyStepRollsBackToTheLastCompleteBackup) {
  const std::string pristine = slurp(disk), ckpt = dir + "/ckpt";
  const std::vector<std::string> cmd = {"backup", "-o", a, "+", "incremental", "-o", a, "+", "incremental", "-o", a};
  const Env env = {{"QEL_TEST_DIRTY", "sda1:5:40"}, {"QEL_TEST_DIRTY_AT", "open:2"}, {"QEL_TEST_CHECKPOINT", ckpt}};
  Env dry_env = env;
  dry_env.push_back({"QEL_TEST_STEPS", dir + "/steps"});
  Run dry = run(cmd, dry_env);
  ASSERT_EQ(0, dry.code()) << dry.err;
  EXPECT_TRUE(has(dry.out, "incremental backup of sda1")) << dry.out;
  const std::string final_img = part(0);
  EXPECT_TRUE(slurp(a) == final_img);
  const std::vector<std::string> steps = lines(dir + "/steps");
  const long n = long(steps.size());
  long first = 0, record = 0, committed = 0;
  for (long i = 0; i < n; ++i) {
    if (steps[i] == "committed" && ++committed == 2) first = i + 2;
    if (steps[i] == "record") record = i + 1;
  }
  ASSERT_GE(n - first, 60) << "the second incremental copied too little:\n" << dry.out;

  // Seeded steps of the second incremental, and each step of its commit.
  std::mt19937_64 rng(42);
  std::set<long> ks;
  while (ks.size() < 24) ks.insert(first + long(rng() % uint64_t(n - first)));
  for (long k = record - 2; k <= n; ++k) ks.insert(k);
  for (long k : ks) {
    SCOPED_TRACE("killed before step " + std::to_string(k) + ", " + steps[k - 1]);
    spit(disk, pristine);
    Env e = env;
    e.push_back({"QEL_TEST_KILL_AT", std::to_string(k)});
    Run r = run(cmd, e);
    ASSERT_TRUE(r.killed()) << r.st << r.err;
    const std::string base = slurp(ckpt + ".img"), base_rec = slurp(ckpt + ".qel");
    if (k <= record) {
      ASSERT_FALSE(base == final_img);
      EXPECT_EQ(base_rec, slurp(meta_path(a)));
    }
    // An entry is in the journal once its step ran; only then is there anything to restore.
    bool saved = std::count(steps.begin() + first - 1, steps.begin() + k - 1, "journal") > 0;
    std::vector<std::string> said = recover_image(a);
    if (k <= record) {
      EXPECT_TRUE(slurp(a) == base);
      EXPECT_EQ(base_rec, slurp(meta_path(a)));
      EXPECT_EQ(saved, has(joined(said), "rolled " + a + " back to its last complete backup")) << joined(said);
    } else {
      EXPECT_TRUE(slurp(a) == final_img);
      EXPECT_EQ("incremental", read_meta(a)->kind);
      // (killed at "committed", the checkpoint is already this backup's)
      if (k < n) {
        EXPECT_NE(read_meta(ckpt)->generation, read_meta(a)->generation);
      }
    }
    EXPECT_TRUE(left_over(a).empty()) << joined(left_over(a));
  }

  // The next run rolls back what an interrupted incremental left, and says so.
  spit(disk, pristine);
  Env e = env;
  e.push_back({"QEL_TEST_KILL_AT", "write:30"});
  ASSERT_TRUE(run(cmd, e).killed());
  Run next = run({"backup", "-o", a});
  EXPECT_EQ(0, next.code()) << next.err;
  EXPECT_TRUE(has(next.out, "note: rolled " + a + " back to its last complete backup")) << next.out;
}

// SIGINT, SIGTERM and SIGHUP in the middle of a copy: the previous backup stays, nothing of
// the run is left, the progress line is ended, and the exit code is the shell's 128 + signal.
TEST_F(ImageSafety, ASignalledBackupKeepsThePreviousOneAndExitsAsTheShellWould) {
  ASSERT_EQ(0, run({"backup", "-o", a}).code());
  const std::string pristine = slurp(disk), ckpt = dir + "/ckpt";
  const std::string old_img = slurp(a), old_rec = slurp(meta_path(a));
  for (auto [sig, code] : {std::pair{SIGINT, 130}, {SIGTERM, 143}, {SIGHUP, 129}}) {
    SCOPED_TRACE(strsignal(sig));
    spit(disk, pristine);
    spit(a, old_img);
    spit(meta_path(a), old_rec);
    change_sda1(uint64_t(sig));
    Run r = run({"--progress", "backup", "-o", a},
                {{"QEL_TEST_SIGNAL_AT", "write:3"}, {"QEL_TEST_SIGNAL", std::to_string(sig)}});
    EXPECT_EQ(code, r.code()) << r.err;
    auto at = r.err.find("qel-agent: error: interrupted by " + std::string(strsignal(sig)));
    ASSERT_NE(std::string::npos, at) << r.err;
    EXPECT_TRUE(at > 0 && r.err[at - 1] == '\n') << r.err;
    EXPECT_TRUE(has(r.err, "the previous image " + a + " and its record are kept as before")) << r.err;
    EXPECT_TRUE(slurp(a) == old_img);
    EXPECT_EQ(old_rec, slurp(meta_path(a)));
    EXPECT_TRUE(left_over(a).empty()) << joined(left_over(a));
    EXPECT_TRUE(fs::is_empty(tmpdir)) << "the temporary backing directory was left";

    // The same in the middle of an incremental: rolled back to the backup before it.
    spit(disk, pristine);
    r = run({"--progress", "backup", "-o", a, "+", "incremental", "-o", a, "+", "incremental", "-o", a},
            {{"QEL_TEST_DIRTY", "sda1:5:40"}, {"QEL_TEST_DIRTY_AT", "open:2"},
             {"QEL_TEST_CHECKPOINT", ckpt}, {"QEL_TEST_SIGNAL_AT", "journal:3"},
             {"QEL_TEST_SIGNAL", std::to_string(sig)}});
    EXPECT_EQ(code, r.code()) << r.err;
    at = r.err.find("qel-agent: error: interrupted by");
    ASSERT_NE(std::string::npos, at) << r.err;
    EXPECT_EQ('\n', r.err[at - 1]) << r.err;
    EXPECT_TRUE(has(r.err, "the image " + a + " is rolled back to its previous backup")) << r.err;
    EXPECT_TRUE(slurp(a) == slurp(ckpt + ".img"));
    EXPECT_EQ(slurp(ckpt + ".qel"), slurp(meta_path(a)));
    EXPECT_FALSE(slurp(a) == part(0));
    EXPECT_TRUE(left_over(a).empty()) << joined(left_over(a));
    EXPECT_TRUE(fs::is_empty(tmpdir));
  }
}

// Two processes, one image: the second is refused naming the first's pid, and neither it nor
// a recovery touches the first's new image or journal; the first then finishes as if alone.
TEST_F(ImageSafety, ASecondWriterIsRefusedAndALiveBackupsFilesAreLeftAlone) {
  ASSERT_EQ(0, run({"backup", "sda1", "-o", a}).code());
  const std::string old_img = slurp(a), old_rec = slurp(meta_path(a));
  change_sda1(2);
  pid_t first = spawn({"backup", "sda1", "-o", a}, {{"QEL_TEST_STOP_AT", "write:3"}});
  ASSERT_GT(first, 0);
  int st = wait_child(first, true);
  ASSERT_TRUE(st != -1 && WIFSTOPPED(st)) << st << slurp(dir + "/err");
  const std::string pid = "pid " + std::to_string(first);
  // The second run has a disk of its own: one disk image belongs to one process at a time.
  const std::string disk2 = dir + "/disk2.img";
  fs::copy_file(disk, disk2);
  const std::vector<std::string> own = {"--disk", disk2, "--partitions", "2"};
  auto second_run = [&](std::vector<std::string> args) {
    args.insert(args.begin(), own.begin(), own.end());
    return run(args, {}, false);
  };
  Run second = second_run({"backup", "sda2", "-o", a});
  EXPECT_EQ(1, second.code());
  EXPECT_TRUE(has(second.err, "the image " + a + " is being written by another backup, " + pid)) << second.err;
  try {
    recover_image(a);
    ADD_FAILURE() << "recovered an image a live backup writes";
  } catch (const Error &e) {
    EXPECT_TRUE(has(e.what(), pid)) << e.what();
  }
  EXPECT_TRUE(fs::exists(new_image_path(a)));
  EXPECT_TRUE(slurp(a) == old_img);
  EXPECT_EQ(old_rec, slurp(meta_path(a)));
  kill(first, SIGCONT);
  st = wait_child(first);
  EXPECT_TRUE(st != -1 && WIFEXITED(st) && WEXITSTATUS(st) == 0) << slurp(dir + "/err");
  EXPECT_TRUE(slurp(a) == part(0));
  EXPECT_EQ("sda1", read_meta(a)->device);
  EXPECT_TRUE(left_over(a).empty()) << joined(left_over(a));

  // An incremental's journal and its half-updated image are left alone too.
  first = spawn({"backup", "-o", a, "+", "incremental", "-o", a, "+", "incremental", "-o", a},
                {{"QEL_TEST_DIRTY", "sda1:5:40"}, {"QEL_TEST_DIRTY_AT", "open:2"}, {"QEL_TEST_STOP_AT", "journal:2"}});
  st = wait_child(first, true);
  ASSERT_TRUE(st != -1 && WIFSTOPPED(st)) << st << slurp(dir + "/err");
  const std::string journal = slurp(undo_path(a)), half = slurp(a);
  ASSERT_FALSE(journal.empty());
  second = second_run({"incremental", "sda1", "-o", a});
  EXPECT_EQ(1, second.code());
  EXPECT_TRUE(has(second.err, "pid " + std::to_string(first))) << second.err;
  EXPECT_THROW(recover_image(a), Error);
  EXPECT_EQ(journal, slurp(undo_path(a)));
  EXPECT_TRUE(slurp(a) == half);
  kill(first, SIGCONT);
  st = wait_child(first);
  EXPECT_TRUE(st != -1 && WIFEXITED(st) && WEXITSTATUS(st) == 0) << slurp(dir + "/err");
  EXPECT_TRUE(slurp(a) == part(0));
  EXPECT_EQ("incremental", read_meta(a)->kind);
  EXPECT_TRUE(left_over(a).empty()) << joined(left_over(a));
}

// A target and a disk image on a full file system (a small tmpfs): "No space left on device",
// and the previous backup stays as it was. Needs root for the mount.
TEST_F(ImageSafety, AFullFileSystemIsReportedAsSuchAndCostsNoBackup) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to mount a small tmpfs";
  const std::string full = dir + "/full";
  fs::create_directory(full);
  // Room for one image of sda1, not for a second beside it.
  std::string size = "size=" + std::to_string(parts[0].nr_sects * 512 * 3 / 2);
  if (mount("tmpfs", full.c_str(), "tmpfs", 0, size.c_str()) != 0)
    GTEST_SKIP() << "cannot mount a tmpfs: " << strerror(errno);
  struct Unmount {
    std::string d;
    ~Unmount() { umount2(d.c_str(), MNT_DETACH); }
  } unmount{full};

  const std::string img = full + "/a.img";
  ASSERT_EQ(0, run({"backup", "-o", img}).code());
  const std::string old_img = slurp(img), old_rec = slurp(meta_path(img));
  change_sda1(3);
  Run r = run({"backup", "-o", img});
  EXPECT_EQ(1, r.code());
  EXPECT_TRUE(has(r.err, "No space left on device")) << r.err;
  EXPECT_TRUE(slurp(img) == old_img);
  EXPECT_EQ(old_rec, slurp(meta_path(img)));
  EXPECT_TRUE(left_over(img).empty()) << joined(left_over(img));

  // A disk image whose file system fills while the device is written during its backup.
  {
    std::ofstream fill(full + "/fill", std::ios::binary);
    std::string mib(1 << 20, 'f');
    while (fill.write(mib.data(), std::streamsize(mib.size()))) {
    }
  }
  const std::string out = dir + "/b.img";
  r = run({"--disk", full + "/small.img", "--disk-size", "16M", "backup", "-o", out, "--writer"},
          {}, false);
  EXPECT_EQ(1, r.code());
  EXPECT_TRUE(has(r.err, "No space left on device")) << r.err;
  EXPECT_FALSE(fs::exists(out));
  EXPECT_FALSE(fs::exists(meta_path(out)));
  EXPECT_TRUE(left_over(out).empty()) << joined(left_over(out));

  // A sparse image whose incremental fills its holes until the file system is full: the
  // roll-back punches them again, needing no room, and leaves the last backup whole.
  fs::remove(full + "/fill");
  fs::remove(img);
  fs::remove(meta_path(img));
  {
    std::string zero(parts[0].nr_sects * 512, '\0');
    int fd = ::open(disk.c_str(), O_WRONLY);
    ASSERT_EQ(ssize_t(zero.size()), pwrite(fd, zero.data(), zero.size(), off_t(parts[0].start_sect * 512)));
    close(fd);
  }
  {
    std::ofstream fill(full + "/fill", std::ios::binary);
    std::string k(4096, 'f');
    // Room for the full backup's reservation and 3 MiB more, not for the incremental.
    uint64_t room = parts[0].nr_sects * 512 / 2 - (3 << 20);
    for (uint64_t n = 0; n < room && fill.write(k.data(), std::streamsize(k.size())); n += k.size()) {
    }
  }
  const std::string s = full + "/s.img";
  r = run({"backup", "-o", s, "+", "incremental", "-o", s},
          {{"QEL_TEST_DIRTY", "sda1:9:2000"}, {"QEL_TEST_DIRTY_AT", "committed:1"}});
  EXPECT_EQ(1, r.code()) << r.err;
  EXPECT_TRUE(has(r.err, "No space left on device")) << r.err;
  ASSERT_TRUE(read_meta(s)) << r.err;
  EXPECT_EQ("full", read_meta(s)->kind);
  EXPECT_TRUE(slurp(s) == std::string(parts[0].nr_sects * 512, '\0')) << "not rolled back";
  EXPECT_TRUE(left_over(s).empty()) << joined(left_over(s)) << r.err;
}

}  // namespace
