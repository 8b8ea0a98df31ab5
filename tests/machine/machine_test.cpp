// vek-machine as a real child process: its devices are files under a FUSE mount, used from
// this process with ordinary system calls. Needs root and /dev/fuse.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include <vekdriver.h>

#include "machine_fixture.h"

namespace {

using namespace vekmachine;

// errno of fn run in a child process as the user nobody; 0 when it succeeded.
int as_nobody(const std::function<int()> &fn) {
  pid_t pid = fork();
  if (pid == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(255);
    _exit(fn() == 0 ? 0 : errno);
  }
  int st = 0;
  waitpid(pid, &st, 0);
  return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

int stat_of(const std::string &p) {
  struct stat st;
  return stat(p.c_str(), &st);
}

int open_close(const std::string &p, int flags) {
  int fd = open(p.c_str(), flags);
  if (fd < 0) return -1;
  close(fd);
  return 0;
}

TEST_F(MachineTest, DirectoryHoldsTheDevicesWithTheirSizes) {
  start();
  std::set<std::string> names;
  DIR *d = opendir(dir_.c_str());
  ASSERT_NE(d, nullptr);
  while (struct dirent *e = readdir(d))
    if (e->d_name[0] != '.') names.insert(e->d_name);
  closedir(d);
  EXPECT_EQ(names, (std::set<std::string>{"kmsg", "sda", "sda1", "sda2", "vekdriver"}));
  EXPECT_EQ(file_size(path("sda")), kDiskBytes);
  EXPECT_EQ(file_size(path("sda1")), part_bytes(0));
  EXPECT_EQ(file_size(path("sda2")), part_bytes(1));
  EXPECT_NE(access(path("sda3").c_str(), F_OK), 0);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_NE(slurp(path("kmsg")).find("vek driver loaded"), std::string::npos);
  // The mount is the owner's only.
  ASSERT_EQ(chmod(tmp_.c_str(), 0755), 0);
  EXPECT_EQ(as_nobody([&] { return stat_of(path("kmsg")); }), EACCES);
}

// With --allow-other other users get in as far as the files' modes let them: never to the
// control device or a device's data.
TEST_F(MachineTest, AllowOtherLetsOtherUsersInAsTheModesAllow) {
  start({"--allow-other"});
  ASSERT_EQ(chmod(tmp_.c_str(), 0755), 0);
  EXPECT_EQ(as_nobody([&] { return stat_of(path("sda1")); }), 0);
  EXPECT_EQ(as_nobody([&] { return open_close(path("kmsg"), O_RDONLY); }), 0);
  EXPECT_EQ(as_nobody([&] { return open_close(path("vekdriver"), O_RDWR); }), EACCES);
  EXPECT_EQ(as_nobody([&] { return open_close(path("sda1"), O_RDONLY); }), EACCES);
  Fd f(open(path("vekdriver").c_str(), O_RDWR));  // the owner still can
  EXPECT_GE(f.fd, 0) << strerror(errno);
}

TEST_F(MachineTest, BlockFilesReadTheImageAndWriteThroughToIt) {
  start({"--mount", "sda2"});  // sda1 without a file system: its file is the block device
  Fd f(open(path("sda1").c_str(), O_RDWR));
  ASSERT_GE(f.fd, 0) << strerror(errno);
  // The whole partition, in large reads, is the image's bytes at the partition's place.
  std::vector<char> got(part_bytes(0));
  size_t done = 0;
  while (done < got.size()) {
    ssize_t r = pread(f.fd, got.data() + done, std::min<size_t>(1 << 20, got.size() - done), off_t(done));
    ASSERT_GT(r, 0) << "at " << done << ": " << strerror(errno);
    done += size_t(r);
  }
  EXPECT_TRUE(std::equal(got.begin(), got.end(), image_bytes_.begin() + long(part_offset(0))));
  char past;
  EXPECT_EQ(pread(f.fd, &past, 1, off_t(part_bytes(0))), 0);

  // An unaligned write lands exactly there, neighbours untouched.
  std::string data(3000, 0);
  for (size_t i = 0; i < data.size(); i++) data[i] = char(i * 7 + 1);
  const off_t at = 123457;
  ASSERT_EQ(pwrite(f.fd, data.data(), data.size(), at), ssize_t(data.size())) << strerror(errno);
  std::vector<char> back(data.size() + 2);
  ASSERT_EQ(pread(f.fd, back.data(), back.size(), at - 1), ssize_t(back.size()));
  EXPECT_EQ(back[0], image_bytes_[part_offset(0) + at - 1]);
  EXPECT_EQ(std::string(back.data() + 1, data.size()), data);
  EXPECT_EQ(back.back(), image_bytes_[part_offset(0) + at + data.size()]);
  // The whole disk's file sees it at the partition's offset.
  Fd whole(open(path("sda").c_str(), O_RDONLY));
  ASSERT_GE(whole.fd, 0);
  std::string via_disk(data.size(), 0);
  ASSERT_EQ(pread(whole.fd, via_disk.data(), via_disk.size(), off_t(part_offset(0)) + at), ssize_t(data.size()));
  EXPECT_EQ(via_disk, data);
  EXPECT_LT(pwrite(f.fd, data.data(), 1, off_t(part_bytes(0))), 0);

  // And the image file holds it once the machine has stopped.
  close(f.fd);
  f.fd = -1;
  close(whole.fd);
  whole.fd = -1;
  kill(child_, SIGTERM);
  ASSERT_TRUE(wait_exit(3000));
  std::string img = slurp(image_);
  ASSERT_EQ(img.size(), kDiskBytes);
  EXPECT_EQ(img.substr(part_offset(0) + at, data.size()), data);
}

TEST_F(MachineTest, WritesToAMountedDeviceGoThroughItsFileSystem) {
  start({"--mount", "sda2"});
  Fd f(open(path("sda2").c_str(), O_RDWR));
  ASSERT_GE(f.fd, 0) << strerror(errno);
  std::string data(8192, 'm');
  ASSERT_EQ(pwrite(f.fd, data.data(), data.size(), 4096), ssize_t(data.size())) << strerror(errno);
  std::string back(data.size(), 0);
  ASSERT_EQ(pread(f.fd, back.data(), back.size(), 4096), ssize_t(back.size()));
  EXPECT_EQ(back, data);
}

// The version record as the driver's load line prints it.
TEST_F(MachineTest, ControlFileAnswersTheDriversCommands) {
  start();
  Fd f(open(path("vekdriver").c_str(), O_RDWR));
  ASSERT_GE(f.fd, 0) << strerror(errno);
  version_info v = {};
  ASSERT_EQ(ioctl(f.fd, VEK_IOCTL_GET_VERSION, &v), 0) << strerror(errno);
  char line[128];
  snprintf(line, sizeof line, "vek driver loaded: %llu.%llu.%llu %llu", (unsigned long long)v.major,
           (unsigned long long)v.minor, (unsigned long long)v.maint, (unsigned long long)v.build);
  EXPECT_NE(slurp(path("kmsg")).find(line), std::string::npos) << line;

  int32_t count = -1;
  ASSERT_EQ(ioctl(f.fd, VEK_IOCTL_GET_VK_LIST_COUNT, &count), 0) << strerror(errno);
  EXPECT_EQ(count, 0);
}

TEST_F(MachineTest, SessionStartsListsAndStopsFromAnotherProcess) {
  start({"--mount", "sda1"});
  Fd f(open(path("vekdriver").c_str(), O_RDWR));
  ASSERT_GE(f.fd, 0) << strerror(errno);
  auto req = std::make_unique<snap_shot_request>();
  const int id = start_session(f.fd, req.get());
  ASSERT_GE(id, 1);
  EXPECT_TRUE(req->mode & VEK_MODE_STARTED);

  // The kernel log reaches the machine's log as it is printed, beside the machine's own lines.
  const std::string started = "session started for device:(8,1) with session id: vek" + std::to_string(id);
  EXPECT_TRUE(eventually([&] { return slurp(log_).find(started) != std::string::npos; }, 500)) << started;
  EXPECT_NE(slurp(log_).find("vek-machine: serving"), std::string::npos);

  const std::string snap = path("vek" + std::to_string(id));
  EXPECT_TRUE(eventually([&] { return access(snap.c_str(), F_OK) == 0; })) << snap;
  EXPECT_EQ(file_size(snap), part_bytes(0));
  int32_t count = 0;
  ASSERT_EQ(ioctl(f.fd, VEK_IOCTL_GET_VK_LIST_COUNT, &count), 0);
  EXPECT_EQ(count, 1);
  std::vector<session_list> sl(VEK_MAX_SESSIONS);
  session_list_request lr = {int32_t(sl.size()), sl.data()};
  // The driver writes the entries through the record's pointer, into this process.
  ASSERT_EQ(ioctl(f.fd, VEK_IOCTL_GET_VK_LIST2, &lr), 0) << strerror(errno);
  EXPECT_EQ(sl[0].id, id);
  EXPECT_EQ(sl[1].id, 0);

  // The list record's pointer is followed by the driver itself: an unmapped one is refused.
  void *page = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(page, MAP_FAILED);
  munmap(page, 4096);
  session_list_request bad = {int32_t(sl.size()), static_cast<session_list *>(page)};
  errno = 0;
  EXPECT_LT(ioctl(f.fd, VEK_IOCTL_GET_VK_LIST2, &bad), 0);
  EXPECT_EQ(errno, EPERM);  // the driver answers a failed copy with -1
  sl.assign(sl.size(), session_list{});
  ASSERT_EQ(ioctl(f.fd, VEK_IOCTL_GET_VK_LIST2, &lr), 0) << strerror(errno);
  EXPECT_EQ(sl[0].id, id);

  // The set-file command's descriptor is the caller's: one open only in the machine is no
  // descriptor of ours and is refused; our own file is taken.
  int machine_only = -1;
  for (const std::string &e : list_dir("/proc/" + std::to_string(child_) + "/fd"))
    if (fcntl(std::stoi(e), F_GETFD) < 0 && errno == EBADF) machine_only = std::max(machine_only, std::stoi(e));
  ASSERT_GE(machine_only, 0);
  auto sf = std::make_unique<set_cow_file>();
  memset(sf.get(), 0, sizeof *sf);
  sf->id = id;
  sf->fd = machine_only;
  strcpy(sf->backing_file, "not-ours");
  EXPECT_EQ(ioctl(f.fd, VEK_IOCTL_SET_COW_FILE, sf.get()), 1);
  EXPECT_NE(slurp(path("kmsg")).find("could not get file for fd: " + std::to_string(machine_only)), std::string::npos);
  const std::string ours = tmp_ + "/cow-file";
  Fd cow(open(ours.c_str(), O_RDWR | O_CREAT, 0600));
  ASSERT_GE(cow.fd, 0);
  sf->fd = cow.fd;
  strcpy(sf->backing_file, ours.c_str());
  EXPECT_EQ(ioctl(f.fd, VEK_IOCTL_SET_COW_FILE, sf.get()), 0);
  auto gs = std::make_unique<get_string>();
  memset(gs.get(), 0, sizeof *gs);
  gs->id = id;
  ASSERT_EQ(ioctl(f.fd, VEK_IOCTL_GET_BACKING_FILE, gs.get()), 0) << strerror(errno);
  EXPECT_STREQ(gs->string, ours.c_str());

  memset(req.get(), 0, sizeof *req);
  req->id = id;
  ASSERT_EQ(ioctl(f.fd, VEK_IOCTL_STOP_VK, req.get()), 0) << strerror(errno);
  ASSERT_EQ(ioctl(f.fd, VEK_IOCTL_GET_VK_LIST_COUNT, &count), 0);
  EXPECT_EQ(count, 0);
  EXPECT_TRUE(eventually([&] { return access(snap.c_str(), F_OK) != 0; })) << snap << " is still there";
}

TEST_F(MachineTest, BadPointersAreRefusedAndTheMachineKeepsServing) {
  start();
  Fd f(open(path("vekdriver").c_str(), O_RDWR));
  ASSERT_GE(f.fd, 0) << strerror(errno);
  void *page = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(page, MAP_FAILED);
  munmap(page, 4096);
  for (void *arg : {static_cast<void *>(nullptr), page}) {
    errno = 0;
    EXPECT_LT(ioctl(f.fd, VEK_IOCTL_GET_VERSION, arg), 0);
    EXPECT_EQ(errno, EFAULT);
    errno = 0;
    EXPECT_LT(ioctl(f.fd, VEK_IOCTL_GET_VK_LIST_COUNT, arg), 0);
    EXPECT_EQ(errno, EFAULT);
  }
  // An unknown command is the driver's to refuse.
  int32_t dummy = 0;
  errno = 0;
  EXPECT_LT(ioctl(f.fd, VEK_IOW(0x7f, sizeof(int32_t)), &dummy), 0);
  EXPECT_NE(errno, 0);

  version_info v = {};
  EXPECT_EQ(ioctl(f.fd, VEK_IOCTL_GET_VERSION, &v), 0) << strerror(errno);
  EXPECT_GT(v.major + v.minor + v.maint + v.build, 0u);
  EXPECT_EQ(file_size(path("sda1")), part_bytes(0));
}

TEST_F(MachineTest, SigtermStopsTheMachineAndUnmounts) {
  start({"--mount", "sda1"});
  ASSERT_TRUE(is_mounted(dir_));
  kill(child_, SIGTERM);
  kill(child_, SIGTERM);  // a second one while stopping changes nothing
  ASSERT_TRUE(wait_exit(3000)) << "vek-machine did not stop";
  EXPECT_TRUE(WIFEXITED(status_) && WEXITSTATUS(status_) == 0) << "status " << status_;
  EXPECT_FALSE(is_mounted(dir_));
  std::string log = slurp(log_);
  EXPECT_NE(log.find("vek-machine: stopped"), std::string::npos) << log;
}

}  // namespace

namespace {

using namespace vekmachine;

// A machine in a pid namespace of its own sees callers outside it without a pid (0): such a
// caller's memory and descriptors cannot be reached, so what needs them is refused, never
// done on the machine's own memory; the rest still serves.
TEST_F(MachineTest, ACallerTheMachineCannotNameIsRefusedItsMemory) {
  if (run_quiet({"sh", "-c", "command -v unshare"}) != 0) GTEST_SKIP() << "needs unshare";
  start({}, {"unshare", "--pid", "--kill-child=SIGTERM"});
  Fd f(open(path("vekdriver").c_str(), O_RDWR));
  ASSERT_GE(f.fd, 0) << strerror(errno);
  version_info v = {};
  errno = 0;
  EXPECT_LT(ioctl(f.fd, VEK_IOCTL_GET_VERSION, &v), 0);
  EXPECT_EQ(errno, EPERM);
  EXPECT_EQ(v.major + v.minor + v.maint + v.build, 0u);
  Fd d(open(path("sda1").c_str(), O_RDONLY));
  ASSERT_GE(d.fd, 0) << strerror(errno);
  std::vector<char> got(4096);
  ASSERT_EQ(pread(d.fd, got.data(), got.size(), 0), ssize_t(got.size())) << strerror(errno);
  EXPECT_TRUE(std::equal(got.begin(), got.end(), image_bytes_.begin() + long(part_offset(0))));
  close(f.fd);
  f.fd = -1;
  close(d.fd);
  d.fd = -1;

  // unshare ignores SIGTERM while it waits: the machine itself is told to stop.
  std::string kids = slurp("/proc/" + std::to_string(child_) + "/task/" + std::to_string(child_) + "/children");
  ASSERT_FALSE(kids.empty());
  ASSERT_EQ(kill(std::stoi(kids), SIGTERM), 0);
  ASSERT_TRUE(wait_exit(3000)) << "vek-machine did not stop";
  EXPECT_FALSE(is_mounted(dir_));
}

}  // namespace

namespace {

using namespace vekmachine;

// A disk image belongs to one machine at a time: a second vek-machine, or an agent's own
// machine, on the image of a running one is refused with its pid; the first serves on.
TEST_F(MachineTest, ASecondMachineOnTheSameImageIsRefusedWithTheHoldersPid) {
  start();
  std::string dev2 = tmp_ + "/dev2";
  ASSERT_EQ(mkdir(dev2.c_str(), 0755), 0);
  Run second = run_tool({VEK_MACHINE_PATH, "--disk", image_, "--partitions", "2", "--dev", dev2});
  if (is_mounted(dev2)) run_quiet({"fusermount3", "-u", "-z", dev2});
  std::string held = "the disk image " + image_ + " is in use by pid " + std::to_string(child_) + " (vek-machine)";
  EXPECT_EQ(second.status, 1) << second.output;
  EXPECT_NE(second.output.find("vek-machine: " + held), std::string::npos) << second.output;
  Run agent = run_tool({VEK_AGENT_PATH, "--disk", image_, "--partitions", "2", "list"});
  EXPECT_EQ(agent.status, 1) << agent.output;
  EXPECT_NE(agent.output.find(held), std::string::npos) << agent.output;
  Fd d(open(path("sda1").c_str(), O_RDONLY));
  ASSERT_GE(d.fd, 0) << strerror(errno);
  std::vector<char> got(4096);
  ASSERT_EQ(pread(d.fd, got.data(), got.size(), 0), ssize_t(got.size())) << strerror(errno);
  EXPECT_TRUE(std::equal(got.begin(), got.end(), image_bytes_.begin() + long(part_offset(0))));
}

// A new image keeps its layout in its partition table, where later starts find it; --partitions
// lays out a new image only, and a missing image is made only when --disk-size asks.
TEST_F(MachineTest, ANewImageKeepsItsLayoutInItsPartitionTable) {
  std::string fresh = tmp_ + "/fresh.img";
  auto stop = [&] {
    kill(child_, SIGTERM);
    return wait_exit(3000) && WIFEXITED(status_) && WEXITSTATUS(status_) == 0;
  };
  std::set<std::string> three = {"kmsg", "sda", "sda1", "sda2", "sda3", "vekdriver"};
  for (auto args : {std::vector<std::string>{"--disk", fresh, "--disk-size", "64M", "--partitions", "3"},
                    std::vector<std::string>{"--disk", fresh}}) {
    disk_args_ = args;
    start();
    std::vector<std::string> names = list_dir(dir_);
    EXPECT_EQ(std::set<std::string>(names.begin(), names.end()), three);
    for (const char *p : {"sda1", "sda2", "sda3"}) EXPECT_EQ(file_size(path(p)), 21ull << 20) << p;
    ASSERT_TRUE(stop()) << "vek-machine did not stop cleanly";
  }
  Run r = run_tool({VEK_MACHINE_PATH, "--disk", fresh, "--partitions", "2", "--dev", dir_});
  EXPECT_EQ(r.status, 1) << r.output;
  EXPECT_NE(r.output.find("has a partition table of 3 partitions, not the 2 of --partitions"), std::string::npos)
      << r.output;
  std::string none = tmp_ + "/none.img";
  r = run_tool({VEK_MACHINE_PATH, "--disk", none, "--dev", dir_});
  EXPECT_EQ(r.status, 1) << r.output;
  EXPECT_NE(r.output.find("there is no disk image " + none), std::string::npos) << r.output;
  EXPECT_NE(access(none.c_str(), F_OK), 0);
  EXPECT_FALSE(is_mounted(dir_));
}

}  // namespace
