#include "agent/workload.h"

#include <pthread.h>

#include <chrono>
#include <cstring>

#include "agent/error.h"

namespace agent {

namespace {
constexpr uint8_t kMagic[4] = {'Q', 'E', 'L', 'W'};

uint64_t splitmix(uint64_t &s) {
  uint64_t z = (s += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

void fill_body(uint8_t *out, uint32_t seq, uint64_t sector, uint64_t salt) {
  uint64_t s = (uint64_t(seq) << 40) ^ (sector * 0xD6E8FEB86659FD93ull) ^ salt;
  for (int off = 16; off < 512; off += 8) {
    uint64_t v = splitmix(s);
    memcpy(out + off, &v, 8);
  }
}
}  // namespace

int64_t now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void fill_sector(uint8_t *out, uint32_t seq, uint64_t sector, uint64_t salt) {
  memcpy(out, kMagic, 4);
  memcpy(out + 4, &seq, 4);
  memcpy(out + 8, &sector, 8);
  fill_body(out, seq, sector, salt);
}

int64_t sector_seq(const uint8_t *in, uint64_t sector, uint64_t salt) {
  if (memcmp(in, kMagic, 4) != 0) return -1;
  uint32_t seq;
  uint64_t sec;
  memcpy(&seq, in + 4, 4);
  memcpy(&sec, in + 8, 8);
  if (sec != sector) return -1;
  uint8_t expect[512];
  fill_body(expect, seq, sector, salt);
  if (memcmp(in + 16, expect + 16, 496) != 0) return -1;
  return seq;
}

void WriteLog::append(const WriteEntry &e) {
  std::lock_guard<std::mutex> g(mu_);
  entries_.push_back(e);
}

std::vector<WriteEntry> WriteLog::snapshot() const {
  std::lock_guard<std::mutex> g(mu_);
  return entries_;
}

size_t WriteLog::size() const {
  std::lock_guard<std::mutex> g(mu_);
  return entries_.size();
}

void prefill(const WriteFn &write, uint64_t nr_sects, uint64_t salt) {
  constexpr uint64_t kStep = 2048;  // 1 MiB per write
  std::vector<uint8_t> buf(kStep * 512);
  for (uint64_t s = 0; s < nr_sects; s += kStep) {
    uint64_t n = std::min(kStep, nr_sects - s);
    for (uint64_t i = 0; i < n; ++i) fill_sector(&buf[i * 512], 0, s + i, salt);
    ssize_t r = write(buf.data(), n * 512, off_t(s * 512));
    if (r != ssize_t(n * 512)) {
      int err = r < 0 ? errno : EIO;
      throw_errno("prefilling the device at sector " + std::to_string(s) + " failed", err);
    }
  }
}

Workload::Workload(WriteFn write, WorkloadOptions opt)
    : write_(std::move(write)), opt_(std::move(opt)) {
  opt_.min_sects = std::max<uint32_t>(8, opt_.min_sects / 8 * 8);
  opt_.max_sects = std::max<uint32_t>(opt_.min_sects, opt_.max_sects / 8 * 8);
  if (opt_.nr_sects < opt_.max_sects)
    throw Error("workload device of " + std::to_string(opt_.nr_sects) +
                " sectors is smaller than one write");
}

Workload::~Workload() { stop(); }

void Workload::start() {
  stop_ = false;
  thr_ = std::thread([this] { run(); });
}

void Workload::stop() {
  stop_ = true;
  if (thr_.joinable()) thr_.join();
}

std::string Workload::error() const {
  std::lock_guard<std::mutex> g(err_mu_);
  return error_;
}

void Workload::run() {
  pthread_setname_np(pthread_self(), opt_.thread_name.substr(0, 15).c_str());
  uint64_t rng = opt_.seed;
  std::vector<uint8_t> buf(opt_.max_sects * 512);
  uint32_t seq = 0;
  uint32_t steps = (opt_.max_sects - opt_.min_sects) / 8 + 1;
  const std::chrono::nanoseconds period{opt_.writes_per_s ? 1000000000ll / opt_.writes_per_s : 0};
  auto next = std::chrono::steady_clock::now();
  while (!stop_) {
    if (opt_.writes_per_s) {
      std::this_thread::sleep_until(next);
      // A write that completed late is not made up for by a burst.
      next = std::max(next + period, std::chrono::steady_clock::now());
    }
    uint32_t n = opt_.min_sects + uint32_t(splitmix(rng) % steps) * 8;
    uint64_t slots = (opt_.nr_sects - n) / 8 + 1;
    uint64_t start = (splitmix(rng) % slots) * 8;
    ++seq;
    for (uint32_t i = 0; i < n; ++i) fill_sector(&buf[i * 512], seq, start + i, opt_.salt);
    WriteEntry e{seq, start, n, now_ns(), 0};
    ssize_t r = write_(buf.data(), n * 512, off_t(start * 512));
    e.done_ns = now_ns();
    if (r != ssize_t(n * 512)) {
      int err = r < 0 ? errno : EIO;
      std::lock_guard<std::mutex> g(err_mu_);
      error_ = "workload write " + std::to_string(seq) + " at sector " + std::to_string(start) +
               " failed: " + errno_text(err);
      return;
    }
    log_.append(e);
    if (opt_.pause_us && !opt_.writes_per_s)
      std::this_thread::sleep_for(std::chrono::microseconds(opt_.pause_us));
  }
}

}  // namespace agent
