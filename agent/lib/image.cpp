#include "agent/image.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>

#include "agent/error.h"

namespace agent {

namespace {
constexpr const char *kMagic = "qel-image 1";

bool parse_u64(const std::string &s, uint64_t &out) {
  if (s.empty() || s.size() > 20) return false;
  uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    uint64_t d = c - '0';
    if (v > (UINT64_MAX - d) / 10) return false;
    v = v * 10 + d;
  }
  out = v;
  return true;
}
}  // namespace

std::string meta_path(const std::string &image) { return image + ".qel"; }

std::string format_meta(const ImageMeta &m) {
  std::ostringstream o;
  o << kMagic << "\n"
    << "device=" << m.device << "\n"
    << "nr_sects=" << m.nr_sects << "\n"
    << "chunk_size=" << m.chunk_size << "\n"
    << "generation=" << m.generation << "\n"
    << "snapshot_time=" << m.snapshot_time << "\n"
    << "kind=" << m.kind << "\n";
  return o.str();
}

std::optional<ImageMeta> parse_meta(const std::string &text) {
  std::istringstream in(text);
  std::string line;
  if (!std::getline(in, line) || line != kMagic) return std::nullopt;
  ImageMeta m;
  unsigned seen = 0;
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    auto eq = line.find('=');
    if (eq == std::string::npos) return std::nullopt;
    std::string k = line.substr(0, eq), v = line.substr(eq + 1);
    if (k == "device") {
      if (v.empty()) return std::nullopt;
      m.device = v;
      seen |= 1;
    } else if (k == "nr_sects") {
      if (!parse_u64(v, m.nr_sects)) return std::nullopt;
      seen |= 2;
    } else if (k == "chunk_size") {
      if (!parse_u64(v, m.chunk_size)) return std::nullopt;
      seen |= 4;
    } else if (k == "generation") {
      if (!parse_u64(v, m.generation)) return std::nullopt;
      seen |= 8;
    } else if (k == "snapshot_time") {
      if (!parse_u64(v, m.snapshot_time)) return std::nullopt;
      seen |= 16;
    } else if (k == "kind") {
      if (v != "full" && v != "incremental") return std::nullopt;
      m.kind = v;
      seen |= 32;
    }
    // Unknown keys are skipped so later versions can add fields.
  }
  if (seen != 63) return std::nullopt;
  return m;
}

std::optional<ImageMeta> read_meta(const std::string &image) {
  std::ifstream f(meta_path(image));
  if (!f) return std::nullopt;
  std::stringstream ss;
  ss << f.rdbuf();
  return parse_meta(ss.str());
}

void write_meta(const std::string &image, const ImageMeta &m) {
  // Written to a temporary name and renamed, so a crash leaves either no record or a whole one.
  std::string path = meta_path(image), tmp = path + ".tmp";
  std::string text = format_meta(m);
  ::unlink(tmp.c_str());  // made afresh: a planted name (a hard link) is not written through
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) throw_errno("cannot write image record " + tmp, errno);
  ssize_t n = ::write(fd, text.data(), text.size());
  int err = errno;
  if (n != ssize_t(text.size()) || ::fsync(fd) != 0) {
    if (n >= 0) err = n == ssize_t(text.size()) ? errno : EIO;
    ::close(fd);
    ::unlink(tmp.c_str());
    throw_errno("cannot write image record " + tmp, err);
  }
  ::close(fd);
  if (::rename(tmp.c_str(), path.c_str()) != 0) {
    err = errno;
    ::unlink(tmp.c_str());
    throw_errno("cannot rename image record to " + path, err);
  }
}

void remove_meta(const std::string &image) { ::unlink(meta_path(image).c_str()); }

uint64_t new_generation() {
  std::random_device rd;
  uint64_t g = 0;
  while (g == 0) g = (uint64_t(rd()) << 32) ^ rd();
  return g;
}

}  // namespace agent
