// The machine the agent runs on, in this process: the module loaded, disks made from image
// files, a file system mounted. Torn down in reverse order.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

#include "agent/layout.h"

namespace agent {

struct DiskOptions {
  std::string name = "sda";
  std::string image;              // "" = RAM disk, else a disk image: a regular file
  uint64_t bytes = 256ull << 20;  // a RAM disk's size, or a new image's
  // The image is made, of `bytes`, when it does not exist (or is an empty file); an existing
  // one must then be `bytes` long. Without it a missing image is an error.
  bool create = false;
  // A new image gets an MBR partition table of that many equal partitions (0: none, the disk
  // is one whole device; default 2). An image with a table is laid out as the table says, and
  // a number given must match it. An image without one (made before partition tables, or a
  // whole disk) is read as that many equal partitions, and needs the number given.
  std::optional<unsigned> partitions;
  // Nothing in this machine will write the disk: an existing image is opened read-only.
  bool read_only = false;
  std::string writes_because;  // why it is written, for a message when it cannot be
  // "SEED[:DEPTH[:LATENCY_US]]": the disk keeps up to DEPTH bios in service and completes
  // them out of order after seeded random latencies, as a real disk may; "": in order.
  std::string reorder;
  // The image is read and written with O_DIRECT, past the host's page cache, as QEMU opens
  // its files with cache=none; its file system must take direct I/O in 512-byte units.
  bool direct = false;
};

// Why a --disk-reorder value cannot be used ("" when it can).
std::string disk_reorder_problem(const std::string &s);

class Machine {
 public:
  Machine();  // loads the module; throws Error
  ~Machine();
  Machine(const Machine &) = delete;
  Machine &operator=(const Machine &) = delete;

  // Adds a disk; its partitions are named "<name>1", "<name>2", ... An image belongs to this
  // machine until it is unloaded: one that another machine has is refused (Error names the
  // holder's pid), as are paths that are no regular file and sizes that are no whole number
  // of sectors. A failed creation leaves no file behind.
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
    int image_fd;           // holds the image's lock; -1 for a RAM disk
  };
  const Dev &find(const std::string &name) const;
  std::vector<Disk> disks_;
  std::vector<uint32_t> mounts_;
  bool loaded_ = false;
};

}  // namespace agent
