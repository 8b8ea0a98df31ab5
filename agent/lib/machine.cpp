#include "agent/machine.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>

#include <host/host.h>

#include "agent/error.h"
#include "agent/owned_file.h"

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
  for (auto it = disks_.rbegin(); it != disks_.rend(); ++it) {
    if (host::del_disk(it->dev) != 0) {
      // Still in use: its image stays locked until the process ends.
      fprintf(stderr, "qel-agent: removing disk %s failed: %s\n", it->devs[0].name.c_str(),
              errno_text(errno).c_str());
      continue;
    }
    if (it->image_fd >= 0) ::close(it->image_fd);
  }
  disks_.clear();
  if (loaded_) {
    loaded_ = false;
    if (host::rmmod() != 0)
      fprintf(stderr, "qel-agent: unloading the module failed: %s\n", errno_text(errno).c_str());
  }
}

namespace {

const char *file_kind(mode_t m) {
  if (S_ISDIR(m)) return "a directory";
  if (S_ISFIFO(m)) return "a FIFO";
  if (S_ISCHR(m)) return "a character device";
  if (S_ISBLK(m)) return "a block device";
  if (S_ISSOCK(m)) return "a socket";
  return "not a regular file";
}

[[noreturn]] void not_an_image(const std::string &path, mode_t m) {
  throw Error(path + " is " + file_kind(m) + ", not a disk image (a disk image is a regular file)");
}

// A disk image opened and locked for this machine, and its layout.
struct Image {
  OwnedFile file;
  uint64_t nr_sects = 0;
  std::vector<PartitionLayout> parts;
};

// Lays out a new image: its size, then its partition table. Anything that fails takes back
// what was done, so no half-made image is left to be taken for a disk later.
void make_image(const DiskOptions &d, Image &img) {
  const std::string &path = d.image;
  // An empty file that was there before goes back to being empty.
  auto undo = [&] {
    if (img.file.created)
      ::unlink(path.c_str());
    else if (::ftruncate(img.file.fd, 0) != 0)
      fprintf(stderr, "qel-agent: emptying %s again failed: %s\n", path.c_str(),
              errno_text(errno).c_str());
  };
  try {
    if (d.bytes == 0 || d.bytes % 512)
      throw Error("a disk of " + std::to_string(d.bytes) +
                  " bytes is not a whole number of 512-byte sectors");
    img.nr_sects = d.bytes / 512;
    unsigned count = d.partitions.value_or(2);
    if (count > kMbrPartitions)
      throw Error("a new disk gets an MBR partition table, which holds at most 4 partitions, not " +
                  std::to_string(count));
    if (count && img.nr_sects > 0xffffffffull)
      throw Error(
          "a disk with an MBR partition table is at most 2 TiB (--partitions 0 makes a "
          "bigger one without partitions)");
    img.parts = equal_partitions(img.nr_sects, count);
    if (::ftruncate(img.file.fd, off_t(d.bytes)) != 0)
      throw_errno(
          "creating the disk image " + path + " of " + std::to_string(d.bytes) + " bytes failed",
          errno);
    if (count) {
      uint32_t id = 0;
      if (getrandom(&id, sizeof id, 0) != ssize_t(sizeof id))
        id = uint32_t(::getpid() ^ ::time(nullptr));
      Sector mbr = encode_mbr(img.parts, id);
      ssize_t w = ::pwrite(img.file.fd, mbr.data(), mbr.size(), 0);
      if (w != ssize_t(mbr.size()) || ::fdatasync(img.file.fd) != 0)
        throw_errno("writing the partition table of the new disk image " + path + " failed",
                    w < 0 || w == ssize_t(mbr.size()) ? errno : EIO);
    }
  } catch (...) {
    undo();
    throw;
  }
}

// The layout of an existing image: its table's, or the equal one asked for when it has none.
void read_image(const DiskOptions &d, const struct stat &st, Image &img) {
  const std::string &path = d.image;
  uint64_t size = uint64_t(st.st_size);
  if (size == 0)
    throw Error("the disk image " + path + " is empty: give --disk-size SIZE to make a disk of it");
  if (size % 512)
    throw Error("the disk image " + path + " is " + std::to_string(size) +
                " bytes, not a whole number of 512-byte sectors: its last " +
                std::to_string(size % 512) + " bytes would belong to no sector");
  if (d.create && size != d.bytes)
    throw Error("the disk image " + path + " is " + std::to_string(size) + " bytes, not the " +
                std::to_string(d.bytes) + " asked for");
  img.nr_sects = size / 512;
  Sector first{};
  ssize_t r = ::pread(img.file.fd, first.data(), first.size(), 0);
  if (r != ssize_t(first.size()))
    throw_errno("reading the partition table of the disk image " + path + " failed",
                r < 0 ? errno : EIO);
  std::optional<std::vector<PartitionLayout>> table;
  try {
    table = decode_mbr(first, img.nr_sects);
  } catch (const Error &e) {
    throw Error("the disk image " + path + ": " + e.what());
  }
  if (table) {
    if (d.partitions && *d.partitions != table->size())
      throw Error("the disk image " + path + " has a partition table of " +
                  std::to_string(table->size()) + " partitions, not the " +
                  std::to_string(*d.partitions) +
                  " of --partitions (which lays out a new image only)");
    img.parts = std::move(*table);
    return;
  }
  // Images made before partition tables were laid out by --partitions alone: read so only
  // when it is given again, never by a default that may not be what made the image.
  if (!d.partitions)
    throw Error("the disk image " + path +
                " has no partition table: give --partitions N to read it as N equal partitions "
                "(as qel-agent and vek-machine laid out images before they wrote tables), or "
                "--partitions 0 to use it as one whole disk");
  img.parts = equal_partitions(img.nr_sects, *d.partitions);
}

Image open_image(const DiskOptions &d) {
  const std::string &path = d.image;
  Image img;
  struct stat st;
  bool exists = ::stat(path.c_str(), &st) == 0;
  if (!exists && errno != ENOENT) throw_errno("cannot reach the disk image " + path, errno);
  if (exists && !S_ISREG(st.st_mode)) not_an_image(path, st.st_mode);
  if (!exists && !d.create)
    throw Error("there is no disk image " + path + " (give --disk-size SIZE to create one)");
  bool fresh = !exists || st.st_size == 0;
  bool writable = !d.read_only || (fresh && d.create);
  // Not blocking: a FIFO put there since the look above must not hang the open.
  int flags = (writable ? O_RDWR : O_RDONLY) | O_NONBLOCK | O_NOCTTY | (d.create ? O_CREAT : 0);
  pid_t holder = 0;
  if (!open_owned(path, flags, 0644, &img.file, &holder)) {
    int e = errno;
    if (e == EWOULDBLOCK)
      throw Error("the disk image " + path + " is in use by " + process_text(holder) +
                  ": a disk image belongs to one machine at a time");
    if (writable && (e == EACCES || e == EPERM || e == EROFS))
      throw_errno("cannot open the disk image " + path + " for writing" +
                      (d.writes_because.empty() ? "" : " (" + d.writes_because + ")"),
                  e);
    if (e == ENXIO || e == ENODEV)
      throw Error(path + " is not a disk image (a disk image is a regular file)");
    throw_errno(
        std::string(d.create ? "cannot create or open" : "cannot open") + " the disk image " + path,
        e);
  }
  try {
    if (::fstat(img.file.fd, &st) != 0) throw_errno("cannot look at the disk image " + path, errno);
    if (!S_ISREG(st.st_mode)) not_an_image(path, st.st_mode);
    int fl = ::fcntl(img.file.fd, F_GETFL);
    if (fl >= 0) ::fcntl(img.file.fd, F_SETFL, fl & ~O_NONBLOCK);
    if (img.file.created || (st.st_size == 0 && d.create))
      make_image(d, img);
    else
      read_image(d, st, img);
  } catch (...) {
    ::close(img.file.fd);
    throw;
  }
  return img;
}

}  // namespace

std::string disk_reorder_problem(const std::string &s) {
  host::disk_reorder r;
  std::string why;
  return host::parse_disk_reorder(s, &r, &why) ? "" : why;
}

void Machine::add_disk(const DiskOptions &d) {
  host::disk_spec spec;
  spec.name = d.name;
  // Bios of up to 1 MiB, as a virtio or NVMe disk takes them: a writer's 1 MiB request
  // then reaches the driver whole, and the chunks it overwrites are read in one go.
  spec.max_hw_sectors = (1u << 20) >> 9;
  if (!d.reorder.empty()) {
    std::string why;
    if (!host::parse_disk_reorder(d.reorder, &spec.reorder, &why)) throw Error("disk " + d.name + ": " + why);
  }
  std::vector<PartitionLayout> parts;
  Image img;
  if (d.image.empty()) {
    spec.nr_sects = d.bytes / 512;
    if (spec.nr_sects == 0) throw Error("disk " + d.name + " would have no sectors");
    parts = equal_partitions(spec.nr_sects, d.partitions.value_or(2));
  } else {
    img = open_image(d);
    spec.nr_sects = img.nr_sects;
    spec.image = d.image;
    spec.image_fd = img.file.fd;
    spec.direct = d.direct;
    parts = img.parts;
  }
  for (const PartitionLayout &p : parts) spec.partitions.push_back({p.start_sect, p.nr_sects});
  dev_t dev = host::add_disk(spec);
  if (dev == 0) {
    int e = errno;
    if (img.file.fd >= 0) {
      if (img.file.created) ::unlink(d.image.c_str());
      ::close(img.file.fd);
    }
    if (e == EOPNOTSUPP && spec.direct)
      throw Error("disk " + d.name + ": the file system of " + d.image +
                  " takes no direct I/O in 512-byte units: it needs the host's page cache");
    throw_errno("adding disk " + d.name + (d.image.empty() ? "" : " from " + d.image) + " failed",
                e);
  }
  Disk disk{uint32_t(dev), {}, img.file.fd};
  disk.devs.push_back({d.name, uint32_t(dev), spec.nr_sects});
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
