#include "freeze_bridge.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include <host/host.h>

int printk(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

namespace machine {
namespace {

// The host kernel's freeze commands (its <linux/fs.h> is shadowed here by the platform's).
constexpr unsigned long kFiFreeze = 0xC0045877;  // _IOWR('X', 119, int)
constexpr unsigned long kFiThaw = 0xC0045878;    // _IOWR('X', 120, int)

std::string first_line(const std::string &path) {
  std::ifstream f(path);
  std::string s;
  std::getline(f, s);
  return s;
}

// mountinfo escapes blanks, tabs, newlines and backslashes as \ooo.
std::string unescape(const std::string &s) {
  std::string out;
  for (size_t i = 0; i < s.size(); i++) {
    if (s[i] == '\\' && i + 3 < s.size()) {
      const std::string o = s.substr(i + 1, 3);
      if (o.find_first_not_of("01234567") == std::string::npos) {
        out += char(std::stoi(o, nullptr, 8));
        i += 3;
        continue;
      }
    }
    out += s[i];
  }
  return out;
}

// The first mount point of the block device "major:minor", "" when it is not mounted.
std::string mount_point_of(const std::string &devno) {
  std::ifstream f("/proc/self/mountinfo");
  for (std::string line; std::getline(f, line);) {
    std::istringstream in(line);
    std::string id, parent, dev, root, point;
    in >> id >> parent >> dev >> root >> point;
    if (dev == devno) return unescape(point);
  }
  return "";
}

// Runs fn on a thread of its own and waits for it at most `timeout`; true when it finished
// in time. A late fn still runs to its end and then calls late(): a host freeze blocks for as
// long as its writeback takes, and that writeback may need the very thread that would wait.
struct Bounded {
  std::mutex mu;
  std::condition_variable cv;
  bool done = false, abandoned = false;
};

bool run_bounded(std::function<void()> fn, std::function<void()> late, std::chrono::milliseconds timeout) {
  auto b = std::make_shared<Bounded>();
  std::thread([b, fn = std::move(fn), late = std::move(late)] {
    fn();
    bool was_late;
    {
      std::lock_guard<std::mutex> g(b->mu);
      b->done = true;
      was_late = b->abandoned;
    }
    b->cv.notify_all();
    if (was_late && late) late();
  }).detach();
  std::unique_lock<std::mutex> g(b->mu);
  if (b->cv.wait_for(g, timeout, [&] { return b->done; })) return true;
  b->abandoned = true;
  return false;
}

int ioctl_on(const std::string &point, unsigned long cmd) {
  int fd = ::open(point.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno;
  int err = ::ioctl(fd, cmd, 0) == 0 ? 0 : errno;
  ::close(fd);
  return err;
}

}  // namespace

std::vector<HostMount> host_mounts_of(const std::string &file) {
  std::vector<HostMount> out;
  DIR *d = opendir("/sys/block");
  if (!d) return out;
  while (struct dirent *e = readdir(d)) {
    std::string name = e->d_name;
    if (name.rfind("loop", 0) != 0) continue;
    if (first_line("/sys/block/" + name + "/loop/backing_file") != file) continue;
    std::string point = mount_point_of(first_line("/sys/block/" + name + "/dev"));
    if (!point.empty()) out.push_back({name, point});
  }
  closedir(d);
  // A fixed order, whatever the directory's: the freezes are taken in it and undone backwards.
  auto number = [](const HostMount &m) { return std::strtoul(m.loop.c_str() + 4, nullptr, 10); };
  std::sort(out.begin(), out.end(), [&](const HostMount &a, const HostMount &b) { return number(a) < number(b); });
  return out;
}

FreezeBridge::FreezeBridge(std::string dir, std::chrono::milliseconds timeout)
    : dir_(std::move(dir)), timeout_(timeout) {}

FreezeBridge::~FreezeBridge() { host::set_freeze_hooks({}); }

void FreezeBridge::install() {
  host::set_freeze_hooks({[this](dev_t d) { return freeze(d); }, [this](dev_t d) { thaw(d); }});
}

int FreezeBridge::freeze(dev_t dev) {
  std::string name;
  for (const host::block_device_info &b : host::block_devices())
    if (b.dev == dev) name = b.name;
  if (name.empty()) return 0;
  const std::string file = dir_ + "/" + name;
  Frozen fr;
  int result = 0;
  for (const HostMount &m : host_mounts_of(file)) {
    auto err = std::make_shared<int>(0);
    const std::string point = m.point;
    {
      std::lock_guard<std::mutex> g(pending_->mu);
      if (!pending_->points.insert(point).second) {
        printk("<3>vek-machine: ERROR: the host file system on %s (%s over %s) is still being frozen for an earlier "
               "snapshot that gave up waiting: the snapshot is refused.\n",
               point.c_str(), m.loop.c_str(), file.c_str());
        result = -EBUSY;
        break;
      }
    }
    // In time, the entry is ours to drop; late, the late thread's.
    bool in_time = run_bounded([err, point] { *err = ioctl_on(point, kFiFreeze); },
                               [err, point, pending = pending_] {
                                 // Too late for the snapshot that asked: give it back.
                                 if (*err == 0) ioctl_on(point, kFiThaw);
                                 {
                                   std::lock_guard<std::mutex> g(pending->mu);
                                   pending->points.erase(point);
                                 }
                                 if (*err == 0)
                                   printk("<4>vek-machine: WARNING: the late freeze of %s was undone.\n", point.c_str());
                                 else
                                   printk("<4>vek-machine: WARNING: the late freeze of %s ended without freezing it: "
                                          "%s (errno %d).\n",
                                          point.c_str(), strerror(*err), *err);
                               },
                               timeout_);
    if (!in_time) {
      printk("<3>vek-machine: ERROR: freezing the host file system on %s (%s over %s) took longer than %lld ms: "
             "the snapshot is refused.\n",
             point.c_str(), m.loop.c_str(), file.c_str(), (long long)timeout_.count());
      result = -ETIMEDOUT;
      break;
    }
    {
      std::lock_guard<std::mutex> g(pending_->mu);
      pending_->points.erase(point);
    }
    if (*err == EBUSY) {
      // Frozen by someone else: consistent already, and theirs to thaw.
      printk("<6>vek-machine: INFO: the host file system on %s was frozen already; it stays so.\n", point.c_str());
      continue;
    }
    if (*err != 0) {
      printk("<3>vek-machine: ERROR: could not freeze the host file system on %s (%s over %s): %s (errno %d).\n",
             point.c_str(), m.loop.c_str(), file.c_str(), strerror(*err), *err);
      result = -*err;
      break;
    }
    printk("<6>vek-machine: INFO: froze the host file system on %s (%s over %s).\n", point.c_str(), m.loop.c_str(),
           file.c_str());
    fr.points.push_back(point);
  }
  if (result != 0) {
    for (auto it = fr.points.rbegin(); it != fr.points.rend(); ++it) ioctl_on(*it, kFiThaw);
    return result;
  }
  if (!fr.points.empty()) {
    std::lock_guard<std::mutex> g(mu_);
    frozen_[dev] = std::move(fr);
  }
  return 0;
}

void FreezeBridge::thaw(dev_t dev) {
  Frozen fr;
  {
    std::lock_guard<std::mutex> g(mu_);
    auto it = frozen_.find(dev);
    if (it == frozen_.end()) return;
    fr = std::move(it->second);
    frozen_.erase(it);
  }
  for (auto it = fr.points.rbegin(); it != fr.points.rend(); ++it) {
    auto err = std::make_shared<int>(0);
    const std::string point = *it;
    bool in_time = run_bounded([err, point] { *err = ioctl_on(point, kFiThaw); }, nullptr, timeout_);
    if (!in_time)
      printk("<3>vek-machine: ERROR: thawing the host file system on %s takes longer than %lld ms; it goes on.\n",
             point.c_str(), (long long)timeout_.count());
    else if (*err != 0)
      printk("<3>vek-machine: ERROR: could not thaw the host file system on %s: %s (errno %d).\n", point.c_str(),
             strerror(*err), *err);
  }
}

}  // namespace machine
