// Host file systems stacked on the machine's devices: a loop device of the host whose backing
// file is DIR/<dev>, mounted somewhere. When the driver freezes a device, they are frozen for
// real (FIFREEZE) first, so the snapshot holds them consistent, and thawed (FITHAW) last.
#pragma once
#include <sys/types.h>

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <host/host_block.h>  // the platform's dev_t

namespace machine {

struct HostMount {
  std::string loop;   // "loop3"
  std::string point;  // where it is mounted (one mount point per super block)
};

// The mounts of host file systems on loop devices backed by `file` (an absolute path), in
// the order of their loop devices' numbers.
std::vector<HostMount> host_mounts_of(const std::string &file);

class FreezeBridge {
 public:
  // dir: the device directory's canonical path, taken before it was mounted over.
  FreezeBridge(std::string dir, std::chrono::milliseconds timeout);
  ~FreezeBridge();
  FreezeBridge(const FreezeBridge &) = delete;
  FreezeBridge &operator=(const FreezeBridge &) = delete;

  void install();  // as the platform's freeze hooks
  int freeze(dev_t dev);  // 0, or a negative errno
  void thaw(dev_t dev);

 private:
  struct Frozen {
    std::vector<std::string> points;  // frozen by us, thawed by us
  };
  // Mount points whose FIFREEZE has not returned yet. One that timed out stays here until it
  // returns and is undone: until then a new freeze of it would take that late freeze (EBUSY)
  // for someone else's and snapshot across its undoing. Shared with the late threads, which
  // may outlive the bridge.
  struct Pending {
    std::mutex mu;
    std::set<std::string> points;  // mu
  };
  std::string dir_;
  std::chrono::milliseconds timeout_;
  std::shared_ptr<Pending> pending_ = std::make_shared<Pending>();
  std::mutex mu_;
  std::map<dev_t, Frozen> frozen_;  // mu_
};

}  // namespace machine
