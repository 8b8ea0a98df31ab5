#include "agent/compare.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <sstream>

#include "agent/chunkset.h"
#include "agent/error.h"
#include "agent/progress.h"

namespace agent {

namespace {

constexpr size_t kBlock = 1u << 20;

using ReadAt = std::function<ssize_t(void *, size_t, off_t)>;

struct Aligned {
  explicit Aligned(size_t n) : p(static_cast<char *>(std::aligned_alloc(4096, n))) {
    if (!p) throw Error("cannot allocate a buffer of " + std::to_string(n) + " bytes");
  }
  ~Aligned() { std::free(p); }
  Aligned(const Aligned &) = delete;
  Aligned &operator=(const Aligned &) = delete;
  char *p;
};

// Reads all of n bytes at off, or says why not.
void read_full(const ReadAt &read, char *buf, size_t n, off_t off, const std::string &what) {
  size_t got = 0;
  while (got < n) {
    ssize_t r = read(buf + got, n - got, off + off_t(got));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0)
      throw_errno("reading " + what + " at byte " + std::to_string(off + off_t(got)) + " failed",
                  r < 0 ? errno : EIO);
    got += size_t(r);
  }
}

struct Fd {
  int fd = -1;
  bool device = false;
  ~Fd() {
    if (fd >= 0) device ? (void)sys().close(fd) : (void)::close(fd);
  }
};

uint64_t open_image(const std::string &image, Fd &f) {
  f.fd = ::open(image.c_str(), O_RDONLY | O_CLOEXEC);
  if (f.fd < 0) throw_errno("cannot open the image " + image, errno);
  struct stat st;
  if (fstat(f.fd, &st) != 0) throw_errno("cannot stat the image " + image, errno);
  if (!S_ISREG(st.st_mode)) throw Error("the image " + image + " is not a regular file");
  return uint64_t(st.st_size);
}

Comparison compare(const std::string &image, const std::string &against, uint64_t dev_bytes,
                   const ReadAt &dev_read) {
  Fd img;
  Comparison c;
  c.image_bytes = open_image(image, img);
  c.device_bytes = dev_bytes;
  uint64_t common = std::min(c.image_bytes, c.device_bytes);
  Aligned a(kBlock), b(kBlock);
  ReadAt img_read = [&](void *p, size_t n, off_t o) { return ::pread(img.fd, p, n, o); };
  for (uint64_t off = 0; off < common; off += kBlock) {
    size_t n = size_t(std::min<uint64_t>(kBlock, common - off));
    read_full(img_read, a.p, n, off_t(off), image);
    // Devices read in whole sectors; the image may end on any byte.
    size_t dn = (n + 511) / 512 * 512;
    if (off + dn > dev_bytes) dn = n;
    read_full(dev_read, b.p, dn, off_t(off), against);
    for (size_t k = 0; k < n; k += kChunkSize) {
      size_t len = std::min<size_t>(kChunkSize, n - k);
      ++c.chunks;
      if (std::memcmp(a.p + k, b.p + k, len) == 0) continue;
      ++c.differing;
      if (c.first.size() < Comparison::kShown) c.first.push_back((off + k) / kChunkSize);
    }
  }
  return c;
}

}  // namespace

Comparison compare_image_with_file(const std::string &image, const std::string &path) {
  Fd f;
  f.fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (f.fd < 0) throw_errno("cannot open " + path, errno);
  struct stat st;
  if (fstat(f.fd, &st) != 0) throw_errno("cannot stat " + path, errno);
  uint64_t bytes = 0;
  if (S_ISBLK(st.st_mode)) {
    if (ioctl(f.fd, BLKGETSIZE64, &bytes) != 0) throw_errno("cannot size " + path, errno);
  } else if (S_ISREG(st.st_mode)) {
    bytes = uint64_t(st.st_size);
  } else {
    throw Error(path + " is neither a regular file nor a block device");
  }
  int fd = f.fd;
  return compare(image, path, bytes, [fd](void *p, size_t n, off_t o) { return ::pread(fd, p, n, o); });
}

Comparison compare_image_with_device(const std::string &image, const DeviceInfo &dev) {
  Fd f;
  f.device = true;
  // O_DIRECT: what the device holds now, not what a page cache kept of it.
  f.fd = sys().open(dev.name, O_RDONLY | O_DIRECT);
  if (f.fd < 0) throw_errno("cannot open " + sys().path(dev.name), errno);
  int fd = f.fd;
  return compare(image, sys().path(dev.name), dev.nr_sects * kSectorSize,
                 [fd](void *p, size_t n, off_t o) { return sys().pread(fd, p, n, o); });
}

std::string format_comparison(const std::string &image, const std::string &against,
                              const Comparison &c) {
  std::ostringstream o;
  if (c.equal()) {
    o << image << " matches " << against << ": " << c.chunks << " chunks ("
      << format_bytes(c.image_bytes) << ") identical\n";
    return o.str();
  }
  o << image << " differs from " << against << ":\n";
  if (c.image_bytes != c.device_bytes)
    o << "  sizes: the image has " << c.image_bytes << " bytes, " << against << " "
      << c.device_bytes << "\n";
  if (c.differing) {
    o << "  " << c.differing << " of " << c.chunks << " chunks differ; the first:";
    for (uint64_t k : c.first) o << " " << k << " (byte " << k * kChunkSize << ")";
    o << "\n";
  } else {
    o << "  the " << c.chunks << " chunks they share are identical\n";
  }
  return o.str();
}

}  // namespace agent
