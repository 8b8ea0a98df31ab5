#include "klog.h"

#include <cstdio>

#include <host/host.h>

namespace machine {

KernelLog::KernelLog() : writer_([this] { run(); }) {
  // printk may run in atomic context and holds the log's lock here: only queue the line.
  host::set_dmesg_sink([this](const host::dmesg_record &r) {
    std::lock_guard<std::mutex> g(mu_);
    queue_.push_back("kernel: <" + std::to_string(r.level) + ">" + r.text + "\n");
    queued_++;
    cv_.notify_all();
  });
}

KernelLog::~KernelLog() {
  host::set_dmesg_sink(nullptr);
  {
    std::lock_guard<std::mutex> g(mu_);
    done_ = true;
    cv_.notify_all();
  }
  writer_.join();
}

void KernelLog::flush() {
  std::unique_lock<std::mutex> l(mu_);
  const size_t until = queued_;
  cv_.wait(l, [&] { return written_ >= until; });
}

void KernelLog::run() {
  std::unique_lock<std::mutex> l(mu_);
  for (;;) {
    cv_.wait(l, [&] { return done_ || !queue_.empty(); });
    if (queue_.empty()) return;  // done, and everything written
    std::deque<std::string> batch;
    batch.swap(queue_);
    l.unlock();
    for (const std::string &line : batch) fputs(line.c_str(), stderr);
    fflush(stderr);
    l.lock();
    written_ += batch.size();
    cv_.notify_all();
  }
}

}  // namespace machine
