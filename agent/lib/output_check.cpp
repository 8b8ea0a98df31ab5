#include "agent/output_check.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <iterator>

#include "agent/error.h"
#include "agent/image.h"
#include "agent/image_writer.h"

namespace agent {

namespace {

namespace fs = std::filesystem;

// The path as the system finds it: absolute, with every symbolic link that exists followed,
// also for a file that does not exist yet.
fs::path resolved(const std::string &p) {
  std::error_code ec;
  fs::path a = fs::absolute(p, ec);
  if (ec) return fs::path(p).lexically_normal();
  fs::path r = fs::weakly_canonical(a, ec);
  return ec ? a.lexically_normal() : r;
}

bool same_inode(const std::string &a, const std::string &b) {
  struct stat x, y;
  return ::stat(a.c_str(), &x) == 0 && ::stat(b.c_str(), &y) == 0 && x.st_dev == y.st_dev &&
         x.st_ino == y.st_ino;
}

// `p` is `dir` or lies below it.
bool inside(const fs::path &p, const fs::path &dir) {
  auto d = dir.begin(), q = p.begin();
  for (; d != dir.end(); ++d, ++q) {
    if (d->empty() && std::next(d) == dir.end()) return true;  // a trailing separator
    if (q == p.end() || *d != *q) return false;
  }
  return true;
}

// Another file system mounted at `dir` (the machine's FUSE mount): any file on it is the
// machine's, whatever path leads there.
bool on_mount_at(const fs::path &p, const std::string &dir) {
  struct stat m, up, f;
  if (::stat(dir.c_str(), &m) != 0 || ::stat((dir + "/..").c_str(), &up) != 0) return false;
  if (m.st_dev == up.st_dev) return false;  // not a mount point
  fs::path parent = p.parent_path();
  return ::stat(parent.c_str(), &f) == 0 && f.st_dev == m.st_dev;
}

}  // namespace

// What kind of file is at `p` itself (a link not followed): "" for a regular file or none.
std::string not_regular(const std::string &p) {
  struct stat st;
  if (::lstat(p.c_str(), &st) != 0 || S_ISREG(st.st_mode)) return "";
  if (S_ISLNK(st.st_mode)) return "a symbolic link";
  if (S_ISDIR(st.st_mode)) return "a directory";
  if (S_ISFIFO(st.st_mode)) return "a FIFO";
  if (S_ISCHR(st.st_mode)) return "a character device";
  if (S_ISBLK(st.st_mode)) return "a block device";
  if (S_ISSOCK(st.st_mode)) return "a socket";
  return "no regular file";
}

std::string check_output(const std::string &given, const RunFiles &run) {
  // A link given as the image is written through, as cp does: the image (and its record)
  // go where it points, and the link stays.
  std::string out = given;
  struct stat st;
  for (int hops = 0; ::lstat(out.c_str(), &st) == 0 && S_ISLNK(st.st_mode); ++hops) {
    std::error_code ec;
    fs::path to = fs::read_symlink(out, ec);
    if (ec || hops == 40) throw UsageError("refusing to write the image " + given + ": its symbolic links lead nowhere");
    out = resolved((to.is_absolute() ? to : fs::path(out).parent_path() / to).string()).string();
  }
  const std::string tmp = new_image_path(out);
  const std::vector<std::string> written = {
      out,           meta_path(out),    meta_path(out) + ".tmp", tmp, meta_path(tmp),
      meta_path(tmp) + ".tmp", undo_path(out), lock_path(out)};
  for (const std::string &w : written) {
    const fs::path rw = resolved(w);
    const std::string what =
        "refusing to write " + (w == out ? "the image " + out : w + " (beside the image " + out + ")");
    for (const std::string &f : run.files)
      if (!f.empty() && (rw == resolved(f) || same_inode(w, f)))
        throw UsageError(what + ": it is the disk image " + f + ", which this run reads");
    if (!run.dev_dir.empty() && (inside(rw, resolved(run.dev_dir)) || on_mount_at(rw, run.dev_dir)))
      throw UsageError(what + ": it is inside " + run.dev_dir +
                       ", the device directory of the machine this run drives");
    if (!run.backing_dir.empty()) {
      const fs::path rb = resolved(run.backing_dir);
      if (rw == rb || same_inode(w, run.backing_dir))
        throw UsageError(what + ": it is the backing directory " + run.backing_dir);
      const std::string stem = run.device.substr(run.device.rfind('/') + 1) + ".cow_vek";
      if (rw.parent_path() == rb && rw.filename().string().rfind(stem, 0) == 0)
        throw UsageError(what + ": it would be a backing file of this run's snapshot (" + stem +
                         "N.K in " + run.backing_dir + ")");
    }
  }
  // A backup puts a new file in the image's place by a rename, which would replace a device
  // node or a FIFO there, and found a directory only after the whole copy. The files beside
  // the image are its own: none is followed elsewhere.
  for (const std::string &w : written)
    if (std::string kind = not_regular(w); !kind.empty())
      throw UsageError("refusing to write " +
                       (w == out ? "the image " + out : w + " (beside the image " + out + ")") +
                       ": it is " + kind + ", not a regular file");
  return out;
}

void check_backing_dir(const std::string &backing_dir, const std::string &dev_dir) {
  if (dev_dir.empty() || backing_dir.empty()) return;
  const fs::path rb = resolved(backing_dir);
  if (inside(rb, resolved(dev_dir)) || on_mount_at(rb / "x", dev_dir))
    throw UsageError("the backing directory " + backing_dir + " is inside " + dev_dir +
                     ", the device directory of the machine: its backing files would be written "
                     "through the machine that serves them to the driver");
}

}  // namespace agent
