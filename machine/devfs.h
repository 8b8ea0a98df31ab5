// The machine's devices as files: a FUSE file system whose root holds `vekdriver` (the
// control device), one file per block device (`sda`, `sda1`, ..., `vek<N>` while that
// snapshot exists) and `kmsg` (the kernel log). Every request runs in the machine as an
// emulated task of the thread that made it; a FUSE interrupt becomes a pending signal on it.
#pragma once
#include <sys/types.h>

#include <pthread.h>

#include <atomic>
#include <set>
#include <string>

struct fuse_session;

namespace machine {

struct DevfsOptions {
  std::string dir;              // the mount point
  std::set<dev_t> mounted;      // devices with a file system: writes go through it
  unsigned max_threads = 1056;  // FUSE workers at most (see main.cpp)
  unsigned idle_threads = 16;   // workers kept waiting for requests
  // Threads that IO workers parked in RunIOThread never take: commands, reads and the
  // writeback a freeze waits for are served by them. A RunIOThread that would leave fewer
  // free is refused with EAGAIN.
  unsigned reserve_threads = 16;
  bool allow_other = false;  // other users may use the files, as their modes allow
};

class Devfs {
 public:
  explicit Devfs(const DevfsOptions &o);  // mounts; throws agent::Error
  ~Devfs();                               // unmounts when still mounted
  Devfs(const Devfs &) = delete;
  Devfs &operator=(const Devfs &) = delete;

  // Serves requests until stop(); returns the loop's result (0 after a stop).
  int serve();
  // Ends serve() from another thread (not a signal handler) and waits up to wait_ms for it to
  // return: true once it has returned or was never running; false while a request still runs
  // (the loop joins every worker). May be called again.
  bool stop(unsigned wait_ms);
  // The session ended without stop(): the directory was unmounted or the connection aborted.
  bool session_ended() const;
  // Aborts the FUSE connection through fusectl (mounted for this only when the host has not
  // mounted it): every request waiting for a reply fails in its caller, and no new request
  // comes. Requests still running in the machine go on. False when it could not be done.
  bool abort();
  // After abort(), whose releases never come: closes the machine's handles of files that
  // callers still hold open, each at once or, when a request still uses it, as that ends.
  void close_left_handles();
  // Unmounts (also after an abort), then closes the machine's handles that requests left
  // open (their releases cannot come any more), so the module can be unloaded.
  void unmount();
  // Only takes the mount away, lazily, for a machine that leaves while requests still run.
  void detach_mount();

 private:
  DevfsOptions opt_;
  std::string point_;  // the mount point as the mount table names it
  int conn_ = -1;      // the FUSE connection number (fusectl), -1 unknown
  struct fuse_session *se_ = nullptr;
  bool mounted_ = false;
  pthread_t server_{};               // the thread in serve()
  std::atomic<bool> serving_{false};
  std::atomic<bool> stopping_{false};
};

}  // namespace machine
