#include "agent/machine.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include <host/host.h>

#include "agent/error.h"

namespace agent {

Machine::Machine() {
  int r = host::insmod();
  if (r != 0) throw Error("loading the vekdriver module failed (result " + std::to_string(r) + ")");
  loaded_ = true;
}

Machine::~Machine() { unload(); }

void Machine::unload() {
  for (auto it = mounts_.rbegin(); it != mounts_.rend(); ++it)
    if (host::umount(*it) != 0)
      fprintf(stderr, "qel-agent: unmounting %u failed: %s\n", *it, errno_text(errno).c_str());
  mounts_.clear();
  for (auto it = disks_.rbegin(); it != disks_.rend(); ++it)
    if (host::del_disk(it->dev) != 0)
      fprintf(stderr, "qel-agent: removing disk %s failed: %s\n", it->devs[0].name.c_str(),
              errno_text(errno).c_str());
  disks_.clear();
  if (loaded_) {
    loaded_ = false;
    if (host::rmmod() != 0)
      fprintf(stderr, "qel-agent: unloading the module failed: %s\n", errno_text(errno).c_str());
  }
}

void Machine::add_disk(const DiskOptions &d) {
  uint64_t bytes = d.bytes;
  if (!d.image.empty()) {
    struct stat st;
    // An existing image keeps its size: growing it would move no data but change where its
    // partitions lie.
    if (::stat(d.image.c_str(), &st) == 0 && st.st_size > 0) {
      if (d.bytes_given && uint64_t(st.st_size) != d.bytes)
        throw Error("the disk image " + d.image + " is " + std::to_string(st.st_size) +
                    " bytes, not the " + std::to_string(d.bytes) + " asked for");
      bytes = uint64_t(st.st_size);
    }
  }
  uint64_t nr_sects = bytes / 512;
  if (nr_sects == 0) throw Error("disk " + d.name + " would have no sectors");
  host::disk_spec spec;
  spec.name = d.name;
  spec.nr_sects = nr_sects;
  spec.image = d.image;
  std::vector<PartitionLayout> parts = equal_partitions(nr_sects, d.partitions);
  for (const PartitionLayout &p : parts) spec.partitions.push_back({p.start_sect, p.nr_sects});
  dev_t dev = host::add_disk(spec);
  if (dev == 0)
    throw_errno("adding disk " + d.name + (d.image.empty() ? "" : " from " + d.image) + " failed",
                errno);
  Disk disk{uint32_t(dev), {}};
  disk.devs.push_back({d.name, uint32_t(dev), nr_sects});
  for (size_t i = 0; i < parts.size(); ++i)
    disk.devs.push_back(
        {d.name + std::to_string(i + 1), uint32_t(dev) + uint32_t(i + 1), parts[i].nr_sects});
  disks_.push_back(std::move(disk));
}

const Machine::Dev &Machine::find(const std::string &name) const {
  std::string n = name.rfind("/dev/", 0) == 0 ? name.substr(5) : name;
  for (const Disk &d : disks_)
    for (const Dev &v : d.devs)
      if (v.name == n) return v;
  std::string have;
  for (const std::string &s : device_names()) have += (have.empty() ? "" : ", ") + s;
  throw Error("no device " + name + " on this machine" +
              (have.empty() ? " (no disks)" : " (it has " + have + ")"));
}

uint32_t Machine::device(const std::string &name) const { return find(name).dev; }
uint64_t Machine::nr_sects(const std::string &name) const { return find(name).nr_sects; }

std::vector<std::string> Machine::device_names() const {
  std::vector<std::string> out;
  for (const Disk &d : disks_)
    for (const Dev &v : d.devs) out.push_back(v.name);
  return out;
}

bool Machine::mounted(const std::string &name) const {
  return std::find(mounts_.begin(), mounts_.end(), device(name)) != mounts_.end();
}

void Machine::mount(const std::string &name) {
  uint32_t dev = device(name);
  if (mounted(name)) return;
  if (host::mount(dev) != 0) throw_errno("mounting " + name + " failed", errno);
  mounts_.push_back(dev);
}

}  // namespace agent
