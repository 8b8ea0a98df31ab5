#include "agent/system.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <map>
#include <random>
#include <mutex>

#include <host/host.h>

#include "agent/error.h"

namespace agent {

std::optional<DeviceInfo> System::device(const std::string &name) {
  std::string n = name.rfind(dev_dir() + "/", 0) == 0 ? name.substr(dev_dir().size() + 1)
                  : name.rfind("/dev/", 0) == 0       ? name.substr(5)
                                                      : name;
  for (DeviceInfo &d : devices())
    if (d.name == n) return d;
  return std::nullopt;
}

namespace {

// The machine in this process, through the platform's host calls.
class Embedded : public System {
 public:
  std::string dev_dir() const override { return "/dev"; }
  int open(const std::string &device, int flags) override {
    return host::open(path(device).c_str(), flags);
  }
  int close(int fd) override { return host::close(fd); }
  int ioctl(int fd, unsigned long cmd, void *arg) override { return host::ioctl(fd, cmd, arg); }
  ssize_t pread(int fd, void *buf, size_t n, off_t off) override {
    return host::pread(fd, buf, n, off);
  }
  ssize_t pwrite(int fd, const void *buf, size_t n, off_t off) override {
    return host::pwrite(fd, buf, n, off);
  }
  ssize_t fs_pwrite(const std::string &device, const void *buf, size_t n, off_t off) override {
    std::optional<DeviceInfo> d = this->device(device);
    if (!d) {
      errno = ENOENT;
      return -1;
    }
    return host::fs_pwrite(d->dev, buf, n, off);
  }
  std::vector<std::string> kernel_log() override { return host::dmesg(); }
  // The machine in here lives as long as this process.
  std::string machine_id() override {
    static const std::string id = "embedded-" + std::to_string(getpid()) + "-" +
                                  std::to_string(std::random_device{}());
    return id;
  }
  std::vector<DeviceInfo> devices() override {
    std::vector<DeviceInfo> out;
    for (const host::block_device_info &b : host::block_devices())
      out.push_back({b.name, uint32_t(b.dev), b.nr_sects});
    return out;
  }
};

// The extended attribute of a block device's file in which vek-machine gives its device
// numbers: a regular file of a FUSE mount cannot carry them in st_rdev.
constexpr const char *kDevAttr = "user.vekdriver.dev";
// The control device's stamp of the machine's run.
constexpr const char *kBootAttr = "user.vekdriver.boot";
constexpr const char *kRecordsAttr = "user.vekdriver.records";

// A running vek-machine: its files in `dir`, used with plain system calls.
class Served : public System {
 public:
  explicit Served(std::string dir) : dir_(std::move(dir)) {
    struct stat st;
    if (::stat(path("vekdriver").c_str(), &st) != 0)
      throw_errno("no vek-machine serves " + dir_ + " (" + path("vekdriver") + ")", errno);
  }
  ~Served() override {
    for (auto &[name, fd] : writers_) ::close(fd);
  }
  std::string dev_dir() const override { return dir_; }
  int open(const std::string &device, int flags) override {
    return ::open(path(device).c_str(), flags | O_CLOEXEC);
  }
  int close(int fd) override { return ::close(fd); }
  int ioctl(int fd, unsigned long cmd, void *arg) override { return ::ioctl(fd, cmd, arg); }
  ssize_t pread(int fd, void *buf, size_t n, off_t off) override {
    return ::pread(fd, buf, n, off);
  }
  ssize_t pwrite(int fd, const void *buf, size_t n, off_t off) override {
    return ::pwrite(fd, buf, n, off);
  }
  // The machine sends a write to a mounted device's file through that device's file system.
  ssize_t fs_pwrite(const std::string &device, const void *buf, size_t n, off_t off) override {
    int fd;
    {
      std::lock_guard<std::mutex> g(mu_);
      auto it = writers_.find(device);
      if (it == writers_.end()) {
        fd = open(device, O_RDWR);
        if (fd < 0) return -1;
        it = writers_.emplace(device, fd).first;
      }
      fd = it->second;
    }
    return ::pwrite(fd, buf, n, off);
  }
  std::vector<std::string> kernel_log() override {
    std::vector<std::string> lines;
    FILE *f = fopen(path("kmsg").c_str(), "re");
    if (!f) return lines;
    std::string cur;
    for (int c; (c = fgetc(f)) != EOF;) {
      if (c != '\n') {
        cur += char(c);
        continue;
      }
      lines.push_back(cur);
      cur.clear();
    }
    if (!cur.empty()) lines.push_back(cur);
    fclose(f);
    return lines;
  }
  std::string machine_id() override {
    char v[64] = {};
    ssize_t n = getxattr(path("vekdriver").c_str(), kBootAttr, v, sizeof v - 1);
    return n > 0 ? std::string(v, size_t(n)) : std::string();
  }
  std::optional<uint64_t> records_delivered() override {
    char v[32] = {};
    ssize_t n = getxattr(path("vekdriver").c_str(), kRecordsAttr, v, sizeof v - 1);
    unsigned long long c = 0;
    if (n <= 0 || sscanf(v, "%llu", &c) != 1) return std::nullopt;
    return uint64_t(c);
  }
  std::vector<DeviceInfo> devices() override {
    std::vector<DeviceInfo> out;
    DIR *d = opendir(dir_.c_str());
    if (!d) return out;
    while (struct dirent *e = readdir(d)) {
      std::string p = path(e->d_name);
      char v[32] = {};
      ssize_t n = getxattr(p.c_str(), kDevAttr, v, sizeof v - 1);
      unsigned major = 0, minor = 0;
      struct stat st;
      if (n <= 0 || sscanf(v, "%u:%u", &major, &minor) != 2 || ::stat(p.c_str(), &st) != 0)
        continue;  // not a block device (the control device, kmsg), or gone meanwhile
      out.push_back({e->d_name, major << 20 | minor, uint64_t(st.st_size) / 512});
    }
    closedir(d);
    return out;
  }

 private:
  std::string dir_;
  std::mutex mu_;
  std::map<std::string, int> writers_;  // mu_
};

std::unique_ptr<System> &current() {
  static std::unique_ptr<System> s;
  return s;
}

}  // namespace

System &sys() {
  static Embedded embedded;
  return current() ? *current() : embedded;
}

std::unique_ptr<System> use_system(std::unique_ptr<System> s) {
  std::swap(current(), s);
  return s;
}

std::unique_ptr<System> embedded_system() { return std::make_unique<Embedded>(); }
std::unique_ptr<System> machine_system(const std::string &dir) {
  return std::make_unique<Served>(dir);
}

}  // namespace agent
