// The machine's devices as files: a FUSE file system whose root holds `vekdriver` (the
// control device), one file per block device (`sda`, `sda1`, ..., `vek<N>` while that
// snapshot exists) and `kmsg` (the kernel log). Every request runs in the machine as an
// emulated task of the thread that made it.
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
};

class Devfs {
 public:
  explicit Devfs(const DevfsOptions &o);  // mounts; throws agent::Error
  ~Devfs();                               // unmounts when still mounted
  Devfs(const Devfs &) = delete;
  Devfs &operator=(const Devfs &) = delete;

  // Serves requests until stop(); returns the loop's result (0 after a stop).
  int serve();
  // Ends serve() from another thread (not a signal handler); returns once serve() has
  // returned or was never running. Harmless when called again.
  void stop();
  // Unmounts, then closes the machine's handles that requests left open (their releases
  // cannot come any more), so the module can be unloaded.
  void unmount();

 private:
  DevfsOptions opt_;
  struct fuse_session *se_ = nullptr;
  bool mounted_ = false;
  pthread_t server_{};               // the thread in serve()
  std::atomic<bool> serving_{false};
  std::atomic<bool> stopping_{false};
};

}  // namespace machine
