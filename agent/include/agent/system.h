// The system the agent talks to: the calls it makes on the driver's devices. Two of them:
// the machine booted inside this process (the default, needing nothing), and a running
// vek-machine reached through the device files it serves in a directory, with plain system
// calls from this process. The agent's code makes its calls through sys() and does not
// know which one it has.
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace agent {

struct DeviceInfo {
  std::string name;    // "sda1"
  uint32_t dev = 0;    // major << 20 | minor, as the driver's records carry it
  uint64_t nr_sects = 0;
};

class System {
 public:
  virtual ~System() = default;

  // Where the devices are, for messages and paths: "/dev" or the machine's directory.
  virtual std::string dev_dir() const = 0;
  std::string path(const std::string &device) const { return dev_dir() + "/" + device; }

  // A device by its name ("vekdriver", "sda1", "vek3"); -1 with errno on failure.
  virtual int open(const std::string &device, int flags) = 0;
  virtual int close(int fd) = 0;
  virtual int ioctl(int fd, unsigned long cmd, void *arg) = 0;
  virtual ssize_t pread(int fd, void *buf, size_t n, off_t off) = 0;
  virtual ssize_t pwrite(int fd, const void *buf, size_t n, off_t off) = 0;
  // Writes to a device as a program writing through its mounted file system would: such a
  // write is held while the file system is frozen.
  virtual ssize_t fs_pwrite(const std::string &device, const void *buf, size_t n, off_t off) = 0;

  // The kernel log, a line each, oldest first.
  virtual std::vector<std::string> kernel_log() = 0;
  // A stamp of this run of the machine: another value means the machine, and the driver's
  // change tracking with it, started over. "" when the machine gives none.
  virtual std::string machine_id() = 0;
  // Change records the driver's fetch commands have handed out so far, to any agent; nullopt
  // when the machine does not count them (the machine in here has no other agent).
  virtual std::optional<uint64_t> records_delivered() { return std::nullopt; }
  // The block devices there are now (snapshot devices included).
  virtual std::vector<DeviceInfo> devices() = 0;
  std::optional<DeviceInfo> device(const std::string &name);
};

// The system in use; the in-process machine unless use_system() chose another.
System &sys();
// Makes `s` the system in use and returns the one it replaces (null for the default).
std::unique_ptr<System> use_system(std::unique_ptr<System> s);

std::unique_ptr<System> embedded_system();
// The vek-machine serving its devices in `dir`; throws Error when nothing is served there.
std::unique_ptr<System> machine_system(const std::string &dir);

}  // namespace agent
