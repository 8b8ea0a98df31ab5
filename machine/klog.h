// The kernel log's lines written to the machine's log (stderr, the --log file) as they are
// printed, beside the machine's own "vek-machine: ..." lines.
#pragma once
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

namespace machine {

class KernelLog {
 public:
  KernelLog();   // from now on every new line is written
  ~KernelLog();  // writes what is queued, then stops
  KernelLog(const KernelLog &) = delete;
  KernelLog &operator=(const KernelLog &) = delete;

  // Returns once every line printed before the call is written.
  void flush();

 private:
  void run();

  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<std::string> queue_;  // mu_
  size_t written_ = 0, queued_ = 0;  // mu_: lines so far
  bool done_ = false;               // mu_
  std::thread writer_;
};

}  // namespace machine
