// The kernel log: a ring of the last 65536 lines. A "<N>" at the start of a
// line sets its level (default 4) and is not part of the text; a message
// without a trailing newline is continued by the next one.
#include "internal.h"
#include <host/host.h>
#include <linux/kernel.h>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <string>

namespace {

constexpr size_t kLogLines = 65536;
constexpr int kDefaultLevel = 4;

struct klog {
  std::mutex mu;
  std::deque<host::dmesg_record> lines;
  host::dmesg_record partial{kDefaultLevel, ""};
  bool have_partial = false;
  bool echo = false;
  std::function<void(const host::dmesg_record &)> sink;  // mu
  klog() {
    const char *e = getenv("VEK_DMESG");
    echo = e && *e && strcmp(e, "0") != 0;
  }
  void push(host::dmesg_record &&r) {
    if (echo) {
      fprintf(stderr, "<%d>%s\n", r.level, r.text.c_str());
      fflush(stderr);
    }
    if (sink) sink(r);
    if (lines.size() == kLogLines) lines.pop_front();
    lines.push_back(std::move(r));
  }
  // Appends text, splitting it into lines.
  void add(const char *s, size_t n) {
    size_t i = 0;
    while (i < n) {
      if (!have_partial) {
        partial.level = kDefaultLevel;
        partial.text.clear();
        if (n - i >= 3 && s[i] == '<' && s[i + 1] >= '0' && s[i + 1] <= '7' && s[i + 2] == '>') {
          partial.level = s[i + 1] - '0';
          i += 3;
        }
        have_partial = true;
      }
      const char *nl = static_cast<const char *>(memchr(s + i, '\n', n - i));
      size_t end = nl ? (size_t)(nl - s) : n;
      partial.text.append(s + i, end - i);
      i = end;
      if (nl) {
        i++;
        have_partial = false;
        push(std::move(partial));
        partial = host::dmesg_record{kDefaultLevel, ""};
      }
    }
  }
};

klog &log() {
  static klog *l = new klog();
  return *l;
}

}  // namespace

int vprintk(const char *fmt, va_list args) {
  char small[1024];
  va_list copy;
  va_copy(copy, args);
  int n = vsnprintf(small, sizeof(small), fmt, copy);
  va_end(copy);
  if (n < 0) return 0;
  std::string big;
  const char *text = small;
  if ((size_t)n >= sizeof(small)) {
    big.resize((size_t)n + 1);
    vsnprintf(&big[0], big.size(), fmt, args);
    text = big.c_str();
  }
  klog &l = log();
  std::lock_guard<std::mutex> g(l.mu);
  l.add(text, (size_t)n);
  return n;
}

int printk(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  int n = vprintk(fmt, ap);
  va_end(ap);
  return n;
}

namespace host {

std::vector<dmesg_record> dmesg_records() {
  klog &l = log();
  std::lock_guard<std::mutex> g(l.mu);
  std::vector<dmesg_record> out(l.lines.begin(), l.lines.end());
  if (l.have_partial) out.push_back(l.partial);
  return out;
}

std::vector<std::string> dmesg() {
  std::vector<std::string> out;
  for (auto &r : dmesg_records()) out.push_back(std::move(r.text));
  return out;
}

void set_dmesg_sink(std::function<void(const dmesg_record &)> sink) {
  klog &l = log();
  std::lock_guard<std::mutex> g(l.mu);
  l.sink = std::move(sink);
}

void dmesg_clear() {
  klog &l = log();
  std::lock_guard<std::mutex> g(l.mu);
  l.lines.clear();
  l.have_partial = false;
}

}  // namespace host
