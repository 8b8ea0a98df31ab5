// The IO workers lent to the driver for one snapshot session. Each worker is a thread named
// "qel-io<k>" that opens its own backing file, allocates its own staging buffer and calls
// RunIOThread, which returns only when the session is stopped and drained.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace agent {

class Control;

struct WorkerOptions {
  int count = 4;                  // 1..64
  size_t buffer_size = 1u << 20;  // staging buffer per worker: a multiple of 4 KiB, >= 64 KiB
  std::string dir;                // where the backing files go
  bool keep_files = false;        // leave the backing files behind after the session
};

// Throws Error for a count or buffer size the pool will not use.
void check_worker_options(const WorkerOptions &o);

class WorkerPool {
 public:
  // Starts the threads for session `id`; their backing files are "<dir>/<name>.<k>".
  WorkerPool(Control &ctl, int id, const std::string &name, const WorkerOptions &opt);
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
