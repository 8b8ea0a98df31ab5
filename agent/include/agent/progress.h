// Human-readable numbers and the progress bar shown while an image is read.
#pragma once
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

namespace agent {

std::string format_bytes(uint64_t bytes);  // "512 B", "1.5 KiB", "256.0 MiB", "1.00 GiB"
std::string format_rate(uint64_t bytes,
                        double seconds);  // "87.3 MB/s" (decimal MB); "-" for no time
std::string format_seconds(uint64_t sec, uint64_t nsec);  // "0.004213 s"

// "[##########..........]  50%  128.0 MiB/256.0 MiB  87.3 MB/s"; `width` is the bar's inner width.
std::string format_progress(uint64_t done, uint64_t total, double seconds, int width = 30);

// Draws the bar on a terminal, at most every 100 ms; draws nothing when `out` is not a tty
// (or is null), so logs and pipes get only the summary.
class ProgressBar {
 public:
  ProgressBar(FILE *out, std::string label, uint64_t total);
  ProgressBar(FILE *out, std::string label, uint64_t total, bool force_tty);
  // A line drawn and never finished (the copy failed) is ended, so the error starts a line.
  ~ProgressBar();
  ProgressBar(const ProgressBar &) = delete;
  ProgressBar &operator=(const ProgressBar &) = delete;
  void update(uint64_t done);
  void finish();
  bool drawing() const { return tty_; }

 private:
  void draw(uint64_t done);
  FILE *out_;
  std::string label_;
  uint64_t total_;
  bool tty_;
  bool finished_ = false;
  bool drawn_ = false;
  uint64_t last_done_ = 0;
  std::chrono::steady_clock::time_point start_, last_draw_;
};

}  // namespace agent
