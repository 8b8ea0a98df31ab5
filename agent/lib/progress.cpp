#include "agent/progress.h"

#include <unistd.h>

#include <cmath>

namespace agent {

std::string format_bytes(uint64_t bytes) {
  char buf[64];
  if (bytes < 1024) {
    snprintf(buf, sizeof buf, "%llu B", (unsigned long long)bytes);
  } else if (bytes < (1ull << 20)) {
    snprintf(buf, sizeof buf, "%.1f KiB", bytes / 1024.0);
  } else if (bytes < (1ull << 30)) {
    snprintf(buf, sizeof buf, "%.1f MiB", bytes / 1048576.0);
  } else {
    snprintf(buf, sizeof buf, "%.2f GiB", bytes / 1073741824.0);
  }
  return buf;
}

std::string format_rate(uint64_t bytes, double seconds) {
  if (!(seconds > 0) || !std::isfinite(seconds)) return "-";
  char buf[64];
  snprintf(buf, sizeof buf, "%.1f MB/s", bytes / seconds / 1e6);
  return buf;
}

std::string format_seconds(uint64_t sec, uint64_t nsec) {
  char buf[64];
  snprintf(buf, sizeof buf, "%llu.%06llu s", (unsigned long long)sec,
           (unsigned long long)(nsec / 1000));
  return buf;
}

std::string format_progress(uint64_t done, uint64_t total, double seconds, int width) {
  if (width < 1) width = 1;
  if (done > total) done = total;
  // An empty job is complete.
  double frac = total ? double(done) / double(total) : 1.0;
  int fill = int(frac * width);
  int pct = int(frac * 100);
  std::string bar = "[" + std::string(fill, '#') + std::string(width - fill, '.') + "]";
  char buf[160];
  snprintf(buf, sizeof buf, " %3d%%  %s/%s  %s", pct, format_bytes(done).c_str(),
           format_bytes(total).c_str(), format_rate(done, seconds).c_str());
  return bar + buf;
}

ProgressBar::ProgressBar(FILE *out, std::string label, uint64_t total)
    : ProgressBar(out, std::move(label), total, out && isatty(fileno(out))) {}

ProgressBar::ProgressBar(FILE *out, std::string label, uint64_t total, bool force_tty)
    : out_(out),
      label_(std::move(label)),
      total_(total),
      tty_(out && force_tty),
      start_(std::chrono::steady_clock::now()),
      last_draw_() {}

ProgressBar::~ProgressBar() {
  if (drawn_ && !finished_) {
    fputc('\n', out_);
    fflush(out_);
  }
}

void ProgressBar::draw(uint64_t done) {
  drawn_ = true;
  double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  fprintf(out_, "\r%s %s", label_.c_str(), format_progress(done, total_, secs).c_str());
  fflush(out_);
}

void ProgressBar::update(uint64_t done) {
  last_done_ = done;
  if (!tty_ || finished_) return;
  auto now = std::chrono::steady_clock::now();
  if (now - last_draw_ < std::chrono::milliseconds(100)) return;
  last_draw_ = now;
  draw(done);
}

void ProgressBar::finish() {
  if (!tty_ || finished_) return;
  finished_ = true;
  draw(last_done_);
  fputc('\n', out_);
  fflush(out_);
}

}  // namespace agent
