// Writing a backup image so that the backup it replaces stays whole until the new one is.
//
// Files beside an image X, in X's directory:
//   X.qel          the record of X's backup (image.h)
//   X.qel-lock     locked (an OFD lock) by the one backup that writes X; it holds that
//                  backup's pid and is removed when the backup ends
//   X.qel-new      a full backup's new image, renamed over X once the backup succeeded
//   X.qel-new.qel  its record, renamed over X.qel right after that rename
//   X.qel-undo     an incremental's undo journal: the old contents of every range it
//                  overwrote in X, each made durable before the overwrite
// A backup interrupted anywhere leaves X and X.qel as they were (or, past the full backup's
// rename, the new image with its record waiting beside it); recover_image finishes or undoes
// what it left, and every backup runs it first.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "agent/image.h"

namespace agent {

std::string lock_path(const std::string &image);       // X.qel-lock
std::string new_image_path(const std::string &image);  // X.qel-new
std::string undo_path(const std::string &image);       // X.qel-undo

// The right to write an image, held from before anything of it is looked at until its
// record is in place. Throws Error when another backup holds it, naming its pid, and when the
// image is a file another process owns (the disk image of a running machine, a session's
// backing file): the backup holds a shared flock on it meanwhile, so none can take it.
class ImageLock {
 public:
  explicit ImageLock(const std::string &image);
  ~ImageLock();
  ImageLock(const ImageLock &) = delete;
  ImageLock &operator=(const ImageLock &) = delete;
  const std::string &image() const { return image_; }

 private:
  std::string image_, path_;
  int fd_ = -1;
  int image_fd_ = -1;  // the image as it was, share-locked against a machine taking it
};

// Brings the image back to its last complete backup after one that did not finish: an
// interrupted incremental is rolled back from its journal, a full backup's left-over new image
// is removed, and one interrupted between its two renames gets its record. Returns what was
// done, a sentence each (nothing when nothing was left over). The first form takes the lock
// and throws Error, touching nothing, while a live backup holds it.
std::vector<std::string> recover_image(const std::string &image);
std::vector<std::string> recover_image(const ImageLock &held);

// Where a backup writes. Nothing of the previous backup changes for good before commit().
class ImageWriter {
 public:
  virtual ~ImageWriter() = default;
  // `n` bytes at `off`; throws Error, with the errno (ENOSPC for a full file system).
  virtual void write(const char *buf, size_t n, uint64_t off) = 0;
  // Makes what was written durable.
  virtual void flush() = 0;
  // Bytes of all-zero chunks that went into the image as holes rather than written blocks.
  virtual uint64_t hole_bytes() const = 0;
  // The backup succeeded: the image and its record `m` take the previous one's place.
  virtual void commit(const ImageMeta &m) = 0;
  // What a backup that fails before its commit leaves, for its error message.
  virtual std::string kept() const = 0;
};

// A full backup of `bytes` bytes: written to X.qel-new, which is removed unless committed.
std::unique_ptr<ImageWriter> new_image(const ImageLock &lock, uint64_t bytes);
// An incremental onto X (which must be `bytes` long and have a record): written in place
// behind an undo journal, and rolled back unless committed.
std::unique_ptr<ImageWriter> update_image(const ImageLock &lock, uint64_t bytes);

// Called before every step that changes an image's files (and with "committed" after a
// commit), with the step's name and the image's path. Only test builds set one: it may end
// or stop the process there.
using ImageStepHook = void (*)(const char *step, const std::string &image);
void set_image_step_hook(ImageStepHook h);

}  // namespace agent
