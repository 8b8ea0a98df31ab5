#include "agent/image_writer.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "agent/chunkset.h"
#include "agent/error.h"
#include "agent/owned_file.h"
#include "agent/progress.h"

namespace agent {

std::string lock_path(const std::string &image) { return image + ".qel-lock"; }
std::string new_image_path(const std::string &image) { return image + ".qel-new"; }
std::string undo_path(const std::string &image) { return image + ".qel-undo"; }

namespace {

std::atomic<ImageStepHook> g_hook{nullptr};

void step(const char *name, const std::string &image) {
  if (ImageStepHook h = g_hook.load()) h(name, image);
}

bool all_zero(const char *p, size_t n) { return n == 0 || (p[0] == 0 && memcmp(p, p + 1, n - 1) == 0); }

// Cuts [off, off + n) at the image's 64 KiB chunk boundaries and hands on runs of adjacent
// chunks alike: each(buf, len, off, zero), zero for a run of all-zero chunks.
template <class Each>
void by_zero_runs(const char *buf, size_t n, uint64_t off, Each each) {
  size_t start = 0;
  bool run_zero = false;
  for (size_t at = 0; at < n;) {
    size_t len = std::min<uint64_t>(n - at, kChunkSize - (off + at) % kChunkSize);
    bool z = all_zero(buf + at, len);
    if (at > start && z != run_zero) {
      each(buf + start, at - start, off + start, run_zero);
      start = at;
    }
    run_zero = z;
    at += len;
  }
  if (n > start) each(buf + start, n - start, off + start, run_zero);
}

// Makes [off, off + n) a hole; false when the file system cannot (its bytes are then as
// they were).
bool punch_hole(int fd, uint64_t off, size_t n, const std::string &what) {
  if (::fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, off_t(off), off_t(n)) == 0)
    return true;
  if (errno == EOPNOTSUPP || errno == ENOSYS) return false;
  throw_errno("cannot punch a hole into " + what, errno);
}

struct OwnedFd {
  int fd = -1;
  OwnedFd() = default;
  OwnedFd(const OwnedFd &) = delete;
  OwnedFd &operator=(const OwnedFd &) = delete;
  ~OwnedFd() { reset(); }
  void reset() {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
};

std::string dir_of(const std::string &p) {
  auto slash = p.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : p.substr(0, slash);
}

bool exists(const std::string &p) {
  struct stat st;
  return ::lstat(p.c_str(), &st) == 0;
}

void remove_file(const std::string &p) {
  if (::unlink(p.c_str()) != 0 && errno != ENOENT) throw_errno("cannot remove " + p, errno);
}

// A rename or an unlink lasts only once the directory that holds it is on disk.
void sync_dir(const std::string &file) {
  std::string d = dir_of(file);
  OwnedFd fd;
  fd.fd = ::open(d.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd.fd < 0) throw_errno("cannot open the directory " + d, errno);
  // A file system that cannot sync a directory has nothing there to lose.
  if (::fsync(fd.fd) != 0 && errno != EINVAL && errno != ENOTSUP)
    throw_errno("cannot flush the directory " + d, errno);
}

void pwrite_all(int fd, const void *data, size_t n, uint64_t off, const std::string &what) {
  const char *p = static_cast<const char *>(data);
  while (n > 0) {
    ssize_t w = ::pwrite(fd, p, n, off_t(off));
    if (w < 0 && errno == EINTR) continue;
    // A write that takes nothing finds no room.
    if (w <= 0)
      throw_errno("writing " + what + " at byte " + std::to_string(off) + " failed",
                  w < 0 ? errno : ENOSPC);
    p += w;
    n -= size_t(w);
    off += uint64_t(w);
  }
}

// False at the end of the file.
bool pread_all(int fd, void *data, size_t n, uint64_t off, const std::string &what) {
  char *p = static_cast<char *>(data);
  while (n > 0) {
    ssize_t r = ::pread(fd, p, n, off_t(off));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) throw_errno("reading " + what + " at byte " + std::to_string(off) + " failed", errno);
    if (r == 0) return false;
    p += r;
    n -= size_t(r);
    off += uint64_t(r);
  }
  return true;
}

// Enough to tell a torn or stale journal entry from a whole one.
constexpr uint64_t kSumSeed = 0xcbf29ce484222325ull;
uint64_t sum64(uint64_t h, const void *data, size_t n) {
  const unsigned char *b = static_cast<const unsigned char *>(data);
  for (; n >= 8; b += 8, n -= 8) {
    uint64_t w;
    memcpy(&w, b, 8);
    h = (h ^ w) * 0x100000001b3ull;
    h ^= h >> 29;
  }
  for (; n; --n) h = (h ^ *b++) * 0x100000001b3ull;
  return h;
}

// The journal is a transient file of this host, in its byte order: a header, then one entry
// (header and old contents) per overwritten range, in the order they were overwritten.
constexpr char kUndoMagic[16] = "qel-undo 1\n";
constexpr uint64_t kEntryMagic = 0x31646e752d6c6571ull;
constexpr size_t kMaxEntry = size_t(1) << 30;

struct UndoHeader {
  char magic[16];
  uint64_t image_bytes;
  uint64_t base_generation;  // of the record the incremental started from
  uint64_t sum;
};

struct UndoEntry {
  uint64_t magic;
  uint64_t off, len;
  uint64_t sum;  // of off, len and the old contents
};

uint64_t header_sum(const UndoHeader &h) { return sum64(kSumSeed, &h, offsetof(UndoHeader, sum)); }

// Undoes an interrupted incremental from its journal, or drops the journal of one that had
// completed (its record is then no longer the one it started from). "" when there is none.
std::string roll_back(const std::string &image) {
  const std::string undo = undo_path(image);
  OwnedFd j;
  j.fd = ::open(undo.c_str(), O_RDONLY | O_CLOEXEC);
  if (j.fd < 0) {
    if (errno == ENOENT) return "";
    throw_errno("cannot open the undo journal " + undo, errno);
  }
  const std::string jname = "the undo journal " + undo;
  UndoHeader h{};
  // The header is durable before the image is first written: without a whole one, it was not.
  bool whole = pread_all(j.fd, &h, sizeof h, 0, jname) &&
               memcmp(h.magic, kUndoMagic, sizeof h.magic) == 0 && h.sum == header_sum(h);
  std::string said = "removed " + undo + ", left by an incremental that was interrupted before it "
                     "changed " + image;
  std::optional<ImageMeta> m = read_meta(image);
  if (whole && m && m->generation != h.base_generation) {
    said = "removed " + undo + ", left by an incremental of " + image + " that had completed";
  } else if (whole) {
    struct Range {
      uint64_t pos, off, len;
    };
    std::vector<Range> ranges;
    std::vector<char> buf;
    for (uint64_t pos = sizeof h;;) {
      UndoEntry e;
      if (!pread_all(j.fd, &e, sizeof e, pos, jname) || e.magic != kEntryMagic) break;
      if (e.len == 0 || e.len > kMaxEntry || e.off > h.image_bytes || e.len > h.image_bytes - e.off)
        break;
      buf.resize(e.len);
      if (!pread_all(j.fd, buf.data(), e.len, pos + sizeof e, jname)) break;
      if (sum64(sum64(kSumSeed, &e.off, 2 * sizeof(uint64_t)), buf.data(), e.len) != e.sum) break;
      ranges.push_back({pos + sizeof e, e.off, e.len});
      pos += sizeof e + e.len;
    }
    // A torn last entry is one whose overwrite never began: the image is written only after
    // its entry is durable.
    if (!ranges.empty()) {
      OwnedFd img;
      img.fd = ::open(image.c_str(), O_RDWR | O_CLOEXEC);
      if (img.fd < 0) throw_errno("cannot open the image " + image + " to roll it back", errno);
      uint64_t bytes = 0;
      // Newest first, so a range written twice ends with its oldest contents.
      for (auto it = ranges.rbegin(); it != ranges.rend(); ++it) {
        buf.resize(it->len);
        if (!pread_all(j.fd, buf.data(), it->len, it->pos, jname))
          throw Error(jname + " ends inside an entry it read before");
        step("rollback", image);
        // Zeroes go back as holes: an image whose incremental filled its holes on a full file
        // system is rolled back without asking it for room.
        by_zero_runs(buf.data(), it->len, it->off, [&](const char *b, size_t len, uint64_t at, bool zero) {
          if (!zero || !punch_hole(img.fd, at, len, "the image " + image))
            pwrite_all(img.fd, b, len, at, "the image " + image);
        });
        bytes += it->len;
      }
      step("fsync", image);
      if (::fsync(img.fd) != 0) throw_errno("cannot flush the image " + image, errno);
      said = "rolled " + image + " back to its last complete backup: " +
             std::to_string(ranges.size()) + " ranges (" + format_bytes(bytes) +
             ") restored from " + undo + ", left by an interrupted incremental";
    }
  }
  j.reset();
  step("drop-undo", image);
  remove_file(undo);
  sync_dir(image);
  return said;
}

// What a full backup left: its new image (removed) or, when it was interrupted between its
// two renames, its record (put in place).
void finish_or_drop_new(const std::string &image, std::vector<std::string> &said) {
  const std::string tmp = new_image_path(image), rec = meta_path(tmp);
  bool have_tmp = exists(tmp), have_rec = exists(rec);
  if (have_rec && !have_tmp) {
    // The new image was renamed into place and its record waits beside it. The record goes
    // before the new image whenever one is dropped, so it never waits for an image not there.
    std::optional<ImageMeta> m = read_meta(tmp);
    struct stat st;
    if (m && ::stat(image.c_str(), &st) == 0 && uint64_t(st.st_size) == m->nr_sects * 512) {
      step("rename-record", image);
      if (::rename(rec.c_str(), meta_path(image).c_str()) != 0)
        throw_errno("cannot rename " + rec + " to " + meta_path(image), errno);
      sync_dir(image);
      said.push_back("finished the backup of " + image +
                     " that was interrupted after its image was put in place: its record " + rec +
                     " is now " + meta_path(image));
    } else {
      step("drop-new", image);
      remove_file(rec);
      sync_dir(image);
      said.push_back("removed " + rec + ", a record that matches no image");
    }
  } else if (have_tmp) {
    step("drop-new", image);
    remove_file(rec);
    remove_file(tmp);
    sync_dir(image);
    said.push_back("removed " + tmp + ", left by a backup of " + image + " that did not finish");
  }
  for (const std::string &t : {meta_path(image) + ".tmp", rec + ".tmp"}) {
    if (!exists(t)) continue;
    remove_file(t);
    said.push_back("removed " + t + ", left by a record that was being written");
  }
}

// A full backup, written beside the target under a temporary name.
class NewImage final : public ImageWriter {
 public:
  NewImage(const ImageLock &lock, uint64_t bytes)
      : image_(lock.image()), tmp_(new_image_path(image_)) {
    struct stat old;
    had_old_ = ::stat(image_.c_str(), &old) == 0;
    had_record_ = exists(meta_path(image_));
    step("open", image_);
    // Made afresh: a name planted there (a link to another file) is not written through.
    ::unlink(tmp_.c_str());
    fd_.fd = ::open(tmp_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd_.fd < 0) throw_errno("cannot create the new image " + tmp_, errno);
    try {
      if (had_old_) (void)::fchmod(fd_.fd, old.st_mode & 07777);
      // Room for the whole image first: a full file system is found before the copy.
      if (::fallocate(fd_.fd, 0, 0, off_t(bytes)) != 0) {
        if (errno != EOPNOTSUPP && errno != ENOSYS)
          throw_errno("cannot make room for the new image " + tmp_, errno);
        if (::ftruncate(fd_.fd, off_t(bytes)) != 0)
          throw_errno("cannot size the new image " + tmp_, errno);
      }
    } catch (...) {
      drop();
      throw;
    }
  }
  ~NewImage() override {
    if (renamed_) return;
    try {
      drop();
    } catch (const Error &e) {
      fprintf(stderr, "qel-agent: %s; the next backup of %s removes it\n", e.what(), image_.c_str());
    }
  }

  // All-zero chunks become holes, as cp --sparse=always makes them. The room taken for them
  // reads as zeroes already, so a file system that cannot punch one loses nothing.
  void write(const char *buf, size_t n, uint64_t off) override {
    step("write", image_);
    by_zero_runs(buf, n, off, [&](const char *b, size_t len, uint64_t at, bool zero) {
      if (!zero) return pwrite_all(fd_.fd, b, len, at, "the new image " + tmp_);
      if (punch_hole(fd_.fd, at, len, "the new image " + tmp_)) holes_ += len;
    });
  }
  uint64_t hole_bytes() const override { return holes_; }
  void flush() override {
    step("fsync", image_);
    if (::fsync(fd_.fd) != 0) throw_errno("cannot flush the new image " + tmp_, errno);
  }
  void commit(const ImageMeta &m) override {
    step("record", image_);
    write_meta(tmp_, m);
    step("rename-image", image_);
    if (::rename(tmp_.c_str(), image_.c_str()) != 0)
      throw_errno("cannot rename the new image " + tmp_ + " to " + image_, errno);
    renamed_ = true;
    fd_.reset();
    step("sync-dir", image_);
    sync_dir(image_);
    // From here on the new image is in place and only its record can still be missing, which
    // recover_image puts in place.
    step("rename-record", image_);
    if (::rename(meta_path(tmp_).c_str(), meta_path(image_).c_str()) != 0)
      throw_errno("the new image " + image_ + " is in place, but its record " + meta_path(tmp_) +
                      " could not be renamed to " + meta_path(image_),
                  errno);
    step("sync-dir", image_);
    sync_dir(image_);
    step("committed", image_);
  }
  std::string kept() const override {
    if (!had_old_) return "no image was left at " + image_;
    return "the previous image " + image_ + (had_record_ ? " and its record are" : " is") +
           " kept as before";
  }

 private:
  // The record first: see finish_or_drop_new.
  void drop() {
    fd_.reset();
    remove_file(meta_path(tmp_));
    remove_file(tmp_);
  }
  std::string image_, tmp_;
  OwnedFd fd_;
  uint64_t holes_ = 0;
  bool had_old_ = false, had_record_ = false, renamed_ = false;
};

// An incremental, in place behind an undo journal.
class UpdateImage final : public ImageWriter {
 public:
  UpdateImage(const ImageLock &lock, uint64_t bytes)
      : image_(lock.image()), undo_(undo_path(image_)), jname_("the undo journal " + undo_) {
    std::optional<ImageMeta> base = read_meta(image_);
    if (!base) throw Error("the image " + image_ + " has no record of the backup to update");
    fd_.fd = ::open(image_.c_str(), O_RDWR | O_CLOEXEC);
    if (fd_.fd < 0) throw_errno("cannot open the image " + image_, errno);
    struct stat st;
    if (::fstat(fd_.fd, &st) != 0) throw_errno("cannot stat the image " + image_, errno);
    if (uint64_t(st.st_size) != bytes)
      throw Error("the image " + image_ + " is " + std::to_string(st.st_size) +
                  " bytes, the device " + std::to_string(bytes));
    step("open", image_);
    j_.fd = ::open(undo_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (j_.fd < 0) throw_errno("cannot create the undo journal " + undo_, errno);
    try {
      UndoHeader h{};
      memcpy(h.magic, kUndoMagic, sizeof h.magic);
      h.image_bytes = bytes;
      h.base_generation = base->generation;
      h.sum = header_sum(h);
      pwrite_all(j_.fd, &h, sizeof h, 0, jname_);
      sync_journal();
      sync_dir(image_);
      end_ = sizeof h;
    } catch (...) {
      j_.reset();
      ::unlink(undo_.c_str());
      throw;
    }
  }
  ~UpdateImage() override {
    if (committed_) return;
    fd_.reset();
    j_.reset();
    try {
      roll_back(image_);
    } catch (const Error &e) {
      fprintf(stderr, "qel-agent: %s; the next backup of %s rolls it back\n", e.what(),
              image_.c_str());
    }
  }

  // All-zero chunks become holes where the file system can punch one.
  void write(const char *buf, size_t n, uint64_t off) override {
    for (size_t done = 0; done < n;) {
      size_t k = std::min(n - done, kMaxEntry);
      save_old(off + done, k);
      step("write", image_);
      by_zero_runs(buf + done, k, off + done, [&](const char *b, size_t len, uint64_t at, bool zero) {
        if (zero && punch_hole(fd_.fd, at, len, "the image " + image_)) {
          holes_ += len;
          return;
        }
        pwrite_all(fd_.fd, b, len, at, "the image " + image_);
      });
      done += k;
    }
  }
  uint64_t hole_bytes() const override { return holes_; }
  void flush() override {
    step("fsync", image_);
    if (::fsync(fd_.fd) != 0) throw_errno("cannot flush the image " + image_, errno);
  }
  void commit(const ImageMeta &m) override {
    step("record", image_);
    write_meta(image_, m);
    // The new record is the commit: a journal found after it belongs to a completed backup.
    committed_ = true;
    step("sync-dir", image_);
    sync_dir(image_);
    step("drop-undo", image_);
    j_.reset();
    ::unlink(undo_.c_str());
    try {
      sync_dir(image_);
    } catch (const Error &) {
      // the journal then names a record that is gone, and is dropped by the next backup
    }
    step("committed", image_);
  }
  std::string kept() const override {
    return "the image " + image_ + " is rolled back to its previous backup";
  }

 private:
  void sync_journal() {
    step("journal-sync", image_);
    if (::fdatasync(j_.fd) != 0) throw_errno("cannot flush " + jname_, errno);
  }
  // The range's old contents, durable in the journal before the range is overwritten.
  void save_old(uint64_t off, size_t n) {
    old_.resize(n);
    if (!pread_all(fd_.fd, old_.data(), n, off, "the image " + image_))
      throw Error("the image " + image_ + " ends before byte " + std::to_string(off + n));
    UndoEntry e{kEntryMagic, off, n, 0};
    e.sum = sum64(sum64(kSumSeed, &e.off, 2 * sizeof(uint64_t)), old_.data(), n);
    step("journal", image_);
    pwrite_all(j_.fd, &e, sizeof e, end_, jname_);
    pwrite_all(j_.fd, old_.data(), n, end_ + sizeof e, jname_);
    end_ += sizeof e + n;
    sync_journal();
  }

  std::string image_, undo_, jname_;
  OwnedFd fd_, j_;
  uint64_t end_ = 0, holes_ = 0;
  std::vector<char> old_;
  bool committed_ = false;
};

std::string read_pid(int fd) {
  char b[32] = {};
  ssize_t n = ::pread(fd, b, sizeof b - 1, 0);
  std::string s(b, n > 0 ? size_t(n) : 0);
  while (!s.empty() && s.back() == '\n') s.pop_back();
  if (s.empty() || s.find_first_not_of("0123456789") != std::string::npos) return "";
  return s;
}

}  // namespace

ImageLock::ImageLock(const std::string &image) : image_(image), path_(lock_path(image)) {
  for (int tries = 0;; ++tries) {
    OwnedFd fd;
    fd.fd = ::open(path_.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd.fd < 0) throw_errno("cannot create the lock " + path_ + " of the image " + image, errno);
    // An OFD lock: it belongs to this open file, so two backups in one process exclude each
    // other too, and it goes with the process however that ends.
    struct flock fl = {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    if (::fcntl(fd.fd, F_OFD_SETLK, &fl) != 0) {
      int err = errno;
      if (err != EAGAIN && err != EACCES) throw_errno("cannot lock " + path_, err);
      std::string pid = read_pid(fd.fd);
      std::string who = pid.empty() ? "another backup" : "another backup, pid " + pid;
      if (pid == std::to_string(getpid())) who += " (this process)";
      throw Error("the image " + image + " is being written by " + who + ", which holds " +
                      path_ + "; nothing of it was touched",
                  EBUSY);
    }
    // A holder removes the file as it leaves: a file locked after that is not the path's.
    struct stat a, b;
    bool looked = ::fstat(fd.fd, &a) == 0;
    if (looked && a.st_nlink > 1)
      throw Error("the lock " + path_ + " of the image " + image + " has other names (a hard link): " +
                      "it is no lock of a backup, and is left as it is",
                  EEXIST);
    if (looked && ::stat(path_.c_str(), &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino) {
      fd_ = fd.fd;
      fd.fd = -1;
      break;
    }
    if (tries == 100) throw Error("cannot lock " + path_ + ": it keeps being replaced");
  }
  // For the message of a backup refused meanwhile; the lock holds without it.
  std::string pid = std::to_string(getpid()) + "\n";
  if (::ftruncate(fd_, 0) == 0) (void)!::pwrite(fd_, pid.data(), pid.size(), 0);
  // A machine holds its disk image, and a worker its backing file, with an exclusive flock:
  // a shared one here finds them, and keeps a machine from taking the image while it is
  // rewritten or replaced.
  int fd = ::open(image.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd >= 0 && ::flock(fd, LOCK_SH | LOCK_NB) != 0) {
    int err = errno;
    pid_t holder = err == EWOULDBLOCK ? flock_holder(fd) : 0;
    ::close(fd);
    ::unlink(path_.c_str());
    ::close(fd_);
    if (err != EWOULDBLOCK) throw_errno("cannot lock the image " + image, err);
    throw Error("the image " + image + " is in use by " + process_text(holder) +
                    " (the disk image of a running machine, or a session's backing file): a "
                    "backup never replaces a file in use; nothing of it was touched",
                EBUSY);
  }
  image_fd_ = fd;
}

ImageLock::~ImageLock() {
  ::unlink(path_.c_str());
  ::close(fd_);
  if (image_fd_ >= 0) ::close(image_fd_);
}

std::vector<std::string> recover_image(const ImageLock &held) {
  std::vector<std::string> said;
  std::string r = roll_back(held.image());
  if (!r.empty()) said.push_back(r);
  finish_or_drop_new(held.image(), said);
  return said;
}

std::vector<std::string> recover_image(const std::string &image) {
  ImageLock lock(image);
  return recover_image(lock);
}

std::unique_ptr<ImageWriter> new_image(const ImageLock &lock, uint64_t bytes) {
  return std::make_unique<NewImage>(lock, bytes);
}

std::unique_ptr<ImageWriter> update_image(const ImageLock &lock, uint64_t bytes) {
  return std::make_unique<UpdateImage>(lock, bytes);
}

void set_image_step_hook(ImageStepHook h) { g_hook.store(h); }

}  // namespace agent
