#include "agent/workers.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>

#include "agent/control.h"
#include "agent/error.h"
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

WorkerPool::WorkerPool(Control &ctl, int id, const std::string &name, const WorkerOptions &opt)
    : sh_(std::make_shared<Shared>()), ctl_(ctl), id_(id) {
  check_worker_options(opt);
  sh_->keep = opt.keep_files;
  std::string dir = opt.dir.empty() ? "." : opt.dir;
  for (int k = 0; k < opt.count; ++k)
    sh_->files.push_back(dir + "/" + name + "." + std::to_string(k));
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
  for (int k = 0; k < opt.count; ++k) {
    std::string path = sh_->files[k];
    size_t bufsz = opt.buffer_size;
    std::shared_ptr<Shared> sh = sh_;
    threads_.emplace_back([sh, path, bufsz, k, id, ctl_fd] {
      std::string tname = "qel-io" + std::to_string(k);
      pthread_setname_np(pthread_self(), tname.c_str());
      auto give_up = [&](const std::string &why) {
        std::lock_guard<std::mutex> g(sh->mu);
        sh->problems.push_back(why);
        ++sh->reported;
        ++sh->left;
        sh->cv.notify_all();
      };
      int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
      if (fd < 0) {
        give_up("worker " + std::to_string(k) + ": cannot create backing file " + path + ": " +
                errno_text(errno));
        return;
      }
      void *buf = aligned_alloc(4096, bufsz);
      if (!buf) {
        ::close(fd);
        if (!sh->keep) ::unlink(path.c_str());
        give_up("worker " + std::to_string(k) + ": cannot allocate a staging buffer of " +
                std::to_string(bufsz) + " bytes");
        return;
      }
      {
        std::lock_guard<std::mutex> g(sh->mu);
        ++sh->entered;
        ++sh->reported;
        sh->cv.notify_all();
      }
      zk_thread_info zti{};
      zti.id = k;
      zti.session_id = id;
      zti.file_fd = fd;
      zti.buffer_size = int32_t(bufsz);
      zti.user_addr = uint64_t(uintptr_t(buf));
      int r = sys().ioctl(ctl_fd, VEK_IOCTL_RUN_IO_THREAD, &zti);
      int err = errno;
      free(buf);
      ::close(fd);
      if (!sh->keep) ::unlink(path.c_str());
      std::lock_guard<std::mutex> g(sh->mu);
      if (r != 0)
        sh->problems.push_back("worker " + std::to_string(k) + ": RunIOThread returned " +
                               std::to_string(r) + (r < 0 ? ": " + errno_text(err) : ""));
      ++sh->left;
      sh->cv.notify_all();
    });
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
