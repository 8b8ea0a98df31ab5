// The IO workers lent to the driver for one snapshot session. Each worker is a thread named
// "qel-io<k>" that opens its own backing file, allocates its own staging buffer and calls
// RunIOThread, which returns only when the session is stopped and drained.
#pragma once
#include <sys/types.h>

#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "agent/error.h"

namespace agent {

class Control;

struct WorkerOptions {
  int count = 4;                  // 1..64
  size_t buffer_size = 1u << 20;  // staging buffer per worker: a multiple of 4 KiB, >= 64 KiB
  std::string dir;                // where the backing files go
  bool keep_files = false;        // leave the backing files behind after the session
  bool direct = true;             // backing files written with O_DIRECT where the file system takes it
};

// Throws Error for a count or buffer size the pool will not use.
void check_worker_options(const WorkerOptions &o);

// A backing file another live process holds.
class BackingFileInUse : public Error {
 public:
  BackingFileInUse(const std::string &msg, pid_t holder) : Error(msg, EBUSY), holder_(holder) {}
  pid_t holder() const { return holder_; }

 private:
  pid_t holder_;
};

// The backing files of one session, "<dir>/<name>.<k>", one per worker. Each is created, or
// taken over (emptied) from a run that is gone, and locked for as long as it is open, so that
// no two sessions, of this process or another, ever write one file. Until handed to a pool
// they are this object's: it removes them (unless kept) and closes them.
class BackingFiles {
 public:
  // Throws Error, with nothing left behind, when one cannot be made or is a live session's:
  // the message names the file and the process that has it.
  // direct: written with O_DIRECT where their file system takes it (see WorkerOptions).
  BackingFiles(const std::string &dir, const std::string &name, int count, bool keep,
               bool direct = true);
  ~BackingFiles();
  BackingFiles(BackingFiles &&o) noexcept;
  BackingFiles &operator=(BackingFiles &&o) noexcept;

  struct File {
    std::string path;
    int fd;
  };
  const std::vector<File> &files() const { return files_; }
  bool keep() const { return keep_; }
  std::vector<File> release();  // the files are the caller's now
  void close();                 // removes them (unless kept) and closes them now

 private:
  std::vector<File> files_;
  bool keep_ = false;
};

class WorkerPool {
 public:
  // Starts a thread for session `id` for each backing file, which it takes over.
  WorkerPool(Control &ctl, int id, BackingFiles files, const WorkerOptions &opt);
  ~WorkerPool();
  WorkerPool(const WorkerPool &) = delete;
  WorkerPool &operator=(const WorkerPool &) = delete;

  // Waits until a worker has registered with the driver. When none could be started, tells the
  // driver so (NoThreadShutdown, which stops the session) and throws Error with the reasons.
  void wait_ready();
  // Joins the threads; call after the session was stopped. Returns false (and leaves the
  // threads running, detached from this object) when they do not leave within `ms`.
  bool join(int ms = 60000);

  int entered() const;                        // workers that called RunIOThread
  std::vector<std::string> problems() const;  // what went wrong in workers, in words
  std::vector<std::string> files() const;

 private:
  struct Shared;
  std::shared_ptr<Shared> sh_;
  Control &ctl_;
  int id_;
  std::vector<std::thread> threads_;
};

}  // namespace agent
