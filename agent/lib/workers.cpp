#include "agent/workers.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <system_error>

#include <host/fault.h>

#include "agent/control.h"
#include "agent/error.h"
#include "agent/owned_file.h"
#include "agent/progress.h"
#include "agent/system.h"
#include "vekdriver.h"

namespace agent {

void check_worker_options(const WorkerOptions &o) {
  if (o.count < 1 || o.count > VEK_MAX_IO_THREADS)
    throw Error("the number of IO workers must be 1 to " + std::to_string(VEK_MAX_IO_THREADS) +
                ", not " + std::to_string(o.count));
  // The driver copies whole pages and whole chunks through the buffer without checking its
  // size, so the agent never offers it a buffer that a chunk does not fit in.
  if (o.buffer_size < 65536 || o.buffer_size % 4096 || o.buffer_size > (1u << 30))
    throw Error("the staging buffer must be a multiple of 4 KiB between 64 KiB and 1 GiB, not " +
                std::to_string(o.buffer_size) + " bytes");
}

BackingFiles::BackingFiles(const std::string &dir, const std::string &name, int count, bool keep,
                           bool direct)
    : keep_(keep) {
  std::string d = dir.empty() ? "." : dir;
  for (int k = 0; k < count; ++k) {
    std::string path = d + "/" + name + "." + std::to_string(k);
    OwnedFile f;
    pid_t holder = 0;
    // Never through a symbolic link: a name planted in a shared directory must not make the
    // agent empty some other file.
    if (!open_owned(path, O_RDWR | O_CREAT | O_NOFOLLOW, 0600, &f, &holder)) {
      int e = errno;
      close();
      if (e == EWOULDBLOCK)
        throw BackingFileInUse("backing file " + path + " is in use by " + process_text(holder) +
                                   ", whose snapshot session writes it: choose another backing "
                                   "directory",
                               holder);
      if (e == ELOOP) throw Error("backing file " + path + " is a symbolic link; not following it");
      throw_errno("cannot create backing file " + path, e);
    }
    // A file left by a run that is gone is ours now that we hold its lock; its old chunks are
    // not. Only a plain file of one name is taken over: emptying a link would empty another.
    struct stat st;
    std::string bad;
    if (::fstat(f.fd, &st) != 0)
      bad = "cannot be looked at: " + errno_text(errno);
    else if (!S_ISREG(st.st_mode))
      bad = "is not a regular file";
    else if (st.st_nlink > 1)
      bad = "has other names (hard links); not emptying it";
    else if (st.st_size && ::ftruncate(f.fd, 0) != 0)
      bad = "left by an earlier run cannot be emptied: " + errno_text(errno);
    if (!bad.empty()) {
      ::close(f.fd);
      close();
      throw Error("backing file " + path + " " + bad);
    }
    // Written directly where the file system takes it (unless the run asks otherwise): a copy
    // is read back at most once, by the backup, so caching it as it is stored costs a copy and
    // a page per 4 KiB, and write-back later, for nothing. The staging windows are
    // page-aligned; a transfer the file system will not take directly (a sector-sized one)
    // goes through the page cache instead, as the reads do.
    int fl = direct ? ::fcntl(f.fd, F_GETFL) : -1;
    if (fl >= 0) (void)::fcntl(f.fd, F_SETFL, fl | O_DIRECT);
    files_.push_back({path, f.fd});
  }
}

BackingFiles::~BackingFiles() { close(); }

BackingFiles::BackingFiles(BackingFiles &&o) noexcept : files_(o.release()), keep_(o.keep_) {}

BackingFiles &BackingFiles::operator=(BackingFiles &&o) noexcept {
  if (this != &o) {
    close();
    keep_ = o.keep_;
    files_ = o.release();
  }
  return *this;
}

std::vector<BackingFiles::File> BackingFiles::release() {
  std::vector<File> out;
  out.swap(files_);
  return out;
}

// Removed before closed: once the lock goes, nobody finds the file under its name any more.
void BackingFiles::close() {
  for (const File &f : files_) {
    if (!keep_) ::unlink(f.path.c_str());
    ::close(f.fd);
  }
  files_.clear();
}

struct WorkerPool::Shared {
  std::mutex mu;
  std::condition_variable cv;
  int reported = 0;  // workers that either entered the driver or gave up
  int entered = 0;
  int left = 0;
  std::vector<std::string> problems;
  std::vector<std::string> files;
  bool keep = false;
};

WorkerPool::WorkerPool(Control &ctl, int id, BackingFiles files, const WorkerOptions &opt)
    : sh_(std::make_shared<Shared>()), ctl_(ctl), id_(id) {
  check_worker_options(opt);
  sh_->keep = files.keep();
  std::vector<BackingFiles::File> owned = files.release();
  for (const BackingFiles::File &f : owned) sh_->files.push_back(f.path);
  int ctl_fd = ctl.fd();
  // The workers never take the signals that end a command: inside the driver they could not
  // act on them (it ignores every signal for them), so the thread that can must get them.
  sigset_t ends, before;
  sigemptyset(&ends);
  for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&ends, s);
  pthread_sigmask(SIG_BLOCK, &ends, &before);
  struct restore_mask {
    sigset_t m;
    ~restore_mask() { pthread_sigmask(SIG_SETMASK, &m, nullptr); }
  } restore{before};
  for (size_t k = 0; k < owned.size(); ++k) {
    std::string path = owned[k].path;
    int fd = owned[k].fd;
    size_t bufsz = opt.buffer_size;
    std::shared_ptr<Shared> sh = sh_;
    // Each thread closes its file (removed first, unless kept) when it leaves.
    try {
      threads_.emplace_back([sh, path, fd, bufsz, k, id, ctl_fd] {
        std::string tname = "qel-io" + std::to_string(k);
        pthread_setname_np(pthread_self(), tname.c_str());
        auto done_with_file = [&] {
          if (!sh->keep) ::unlink(path.c_str());
          ::close(fd);
        };
        kplat::fault_ctx fc;
        fc.size = bufsz;
        fc.name = "qel-io";
        // Shared memory: a machine in another process maps it once rather than moving every
        // segment the driver stages through a system call of its own.
        void *buf = kplat::fault_hit("staging_buffer", fc)
                        ? MAP_FAILED
                        : ::mmap(nullptr, bufsz, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (buf == MAP_FAILED) buf = nullptr;
        if (!buf) {
          done_with_file();
          std::lock_guard<std::mutex> g(sh->mu);
          sh->problems.push_back("worker " + std::to_string(k) +
                                 ": cannot allocate a staging buffer of " + format_bytes(bufsz) +
                                 ": " + strerror(ENOMEM));
          ++sh->reported;
          ++sh->left;
          sh->cv.notify_all();
          return;
        }
        {
          std::lock_guard<std::mutex> g(sh->mu);
          ++sh->entered;
          ++sh->reported;
          sh->cv.notify_all();
        }
        zk_thread_info zti{};
        zti.id = int32_t(k);
        zti.session_id = id;
        zti.file_fd = fd;
        zti.buffer_size = int32_t(bufsz);
        zti.user_addr = uint64_t(uintptr_t(buf));
        int r = sys().ioctl(ctl_fd, VEK_IOCTL_RUN_IO_THREAD, &zti);
        int err = errno;
        ::munmap(buf, bufsz);
        done_with_file();
        std::lock_guard<std::mutex> g(sh->mu);
        if (r != 0)
          sh->problems.push_back("worker " + std::to_string(k) + ": RunIOThread returned " +
                                 std::to_string(r) + (r < 0 ? ": " + errno_text(err) : ""));
        ++sh->left;
        sh->cv.notify_all();
      });
    } catch (const std::system_error &e) {
      // No thread for this worker nor the ones after it: their files go, and the session
      // runs with the workers that did start.
      for (size_t j = k; j < owned.size(); ++j) {
        if (!sh_->keep) ::unlink(owned[j].path.c_str());
        ::close(owned[j].fd);
      }
      std::lock_guard<std::mutex> g(sh_->mu);
      sh_->problems.push_back("workers " + std::to_string(k) + " to " +
                              std::to_string(owned.size() - 1) +
                              ": cannot start a thread: " + e.what());
      break;
    }
  }
}

WorkerPool::~WorkerPool() {
  // The threads hold only the shared state, so any still inside the driver may outlive us.
  if (!join(60000))
    for (auto &t : threads_)
      if (t.joinable()) t.detach();
}

void WorkerPool::wait_ready() {
  int entered;
  {
    std::unique_lock<std::mutex> l(sh_->mu);
    sh_->cv.wait(l, [&] { return sh_->reported == int(threads_.size()); });
    entered = sh_->entered;
  }
  std::string why;
  if (entered > 0) {
    if (ctl_.wait_for_worker(id_)) return;
    why = "no IO worker registered with session vek" + std::to_string(id_) + " in time";
  } else {
    why = "no IO worker could be started for session vek" + std::to_string(id_);
  }
  bool stopped = false;
  try {
    stopped = ctl_.no_thread_shutdown(id_);
  } catch (const Error &) {
  }
  // A worker may have registered after all, between the wait and the give-up.
  if (!stopped && entered > 0) return;
  for (const std::string &p : problems()) why += "; " + p;
  throw Error(why + (stopped ? "; the driver stopped the session" : ""));
}

bool WorkerPool::join(int ms) {
  {
    std::unique_lock<std::mutex> l(sh_->mu);
    if (!sh_->cv.wait_for(l, std::chrono::milliseconds(ms),
                          [&] { return sh_->left == int(threads_.size()); }))
      return false;
  }
  for (auto &t : threads_)
    if (t.joinable()) t.join();
  return true;
}

int WorkerPool::entered() const {
  std::lock_guard<std::mutex> g(sh_->mu);
  return sh_->entered;
}

std::vector<std::string> WorkerPool::problems() const {
  std::lock_guard<std::mutex> g(sh_->mu);
  return sh_->problems;
}

std::vector<std::string> WorkerPool::files() const { return sh_->files; }

}  // namespace agent
