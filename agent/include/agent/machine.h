// The machine the agent runs on, in this process: the module loaded, disks made from image
// files, a file system mounted. Torn down in reverse order.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include <sys/types.h>

#include "agent/layout.h"

namespace agent {

struct DiskOptions {
  std::string name = "sda";
  std::string image;              // "" = RAM disk; an image file is created or extended
  uint64_t bytes = 256ull << 20;  // size of a new image; an existing image keeps its own
  bool bytes_given = false;       // `bytes` was asked for: an existing image must have that size
  unsigned partitions = 2;        // equal partitions (0 = none)
};

class Machine {
 public:
  Machine();  // loads the module; throws Error
  ~Machine();
  Machine(const Machine &) = delete;
  Machine &operator=(const Machine &) = delete;

  // Adds a disk; its partitions are named "<name>1", "<name>2", ...
  void add_disk(const DiskOptions &d);
  // dev_t of "sda" or "sda2"; throws Error for a name this machine does not have.
  uint32_t device(const std::string &name) const;
  uint64_t nr_sects(const std::string &name) const;
  std::vector<std::string> device_names() const;
  void mount(const std::string &name);  // no-op when already mounted
  bool mounted(const std::string &name) const;
  void unload();  // tears everything down now; the destructor then does nothing

 private:
  struct Dev {
    std::string name;
    uint32_t dev;
    uint64_t nr_sects;
  };
  struct Disk {
    uint32_t dev;
    std::vector<Dev> devs;  // the whole disk first
  };
  const Dev &find(const std::string &name) const;
  std::vector<Disk> disks_;
  std::vector<uint32_t> mounts_;
  bool loaded_ = false;
};

}  // namespace agent
