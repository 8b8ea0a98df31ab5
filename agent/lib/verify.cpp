#include "agent/verify.h"

#include <cerrno>
#include <cstring>
#include <map>

#include "agent/error.h"

namespace agent {

std::pair<size_t, size_t> freeze_bracket(const std::vector<WriteEntry> &log, int64_t t_before,
                                         int64_t t_after) {
  size_t lo = 0, hi = 0;
  for (size_t i = 0; i < log.size(); ++i) {
    if (log[i].done_ns < t_before) lo = i + 1;
    if (log[i].issued_ns <= t_after) hi = i + 1;
  }
  if (hi < lo) hi = lo;
  return {lo, hi};
}

VerifyResult verify_image(const ReadFn &read, uint64_t nr_sects, uint64_t salt,
                          const std::vector<WriteEntry> &log, size_t lo, size_t hi) {
  VerifyResult res;
  if (hi > log.size() || lo > hi) {
    res.detail = "write log holds " + std::to_string(log.size()) +
                 " writes, fewer than the snapshot window needs";
    return res;
  }
  // Which write last touched each sector, after the writes certainly done before the snapshot.
  std::vector<uint32_t> last(nr_sects, 0);
  auto apply = [&](const WriteEntry &e, std::vector<uint32_t> &into) {
    for (uint64_t s = e.sector; s < e.sector + e.nr_sects && s < nr_sects; ++s) into[s] = e.seq;
  };
  for (size_t i = 0; i < lo; ++i) apply(log[i], last);
  std::vector<bool> uncertain(nr_sects, false);
  for (size_t i = lo; i < hi; ++i)
    for (uint64_t s = log[i].sector; s < log[i].sector + log[i].nr_sects && s < nr_sects; ++s)
      uncertain[s] = true;

  std::map<uint64_t, std::vector<uint8_t>> held;  // content of the uncertain sectors
  constexpr uint64_t kStep = 2048;
  std::vector<uint8_t> buf(kStep * 512), expect(512);
  auto note = [&](uint64_t s, int64_t want, const uint8_t *got) {
    if (res.bad_sectors++ == 0) {
      int64_t found = sector_seq(got, s, salt);
      res.detail = "sector " + std::to_string(s) + " holds " +
                   (found < 0 ? std::string("foreign data") : "write " + std::to_string(found)) +
                   ", expected " +
                   (want == 0 ? std::string("the base pattern") : "write " + std::to_string(want));
    }
  };
  for (uint64_t s0 = 0; s0 < nr_sects; s0 += kStep) {
    uint64_t n = std::min(kStep, nr_sects - s0);
    ssize_t r = read(buf.data(), n * 512, off_t(s0 * 512));
    if (r != ssize_t(n * 512)) {
      int err = r < 0 ? errno : EIO;
      res.detail = "reading the image at sector " + std::to_string(s0) +
                   " failed: " + (r >= 0 ? std::string("short read") : errno_text(err));
      res.bad_sectors = nr_sects - s0;
      return res;
    }
    for (uint64_t i = 0; i < n; ++i) {
      uint64_t s = s0 + i;
      const uint8_t *got = &buf[i * 512];
      if (uncertain[s]) {
        held.emplace(s, std::vector<uint8_t>(got, got + 512));
        continue;
      }
      fill_sector(expect.data(), last[s], s, salt);
      if (memcmp(expect.data(), got, 512) != 0) note(s, last[s], got);
    }
  }
  if (res.bad_sectors) return res;

  // The writes inside the window: find a prefix length that explains every sector they touched.
  std::map<uint64_t, uint32_t> cand;
  for (auto &[s, _] : held) cand[s] = last[s];
  for (size_t k = lo;; ++k) {
    bool all = true;
    for (auto &[s, content] : held) {
      fill_sector(expect.data(), cand[s], s, salt);
      if (memcmp(expect.data(), content.data(), 512) != 0) {
        all = false;
        break;
      }
    }
    if (all) {
      res.ok = true;
      res.cut = k;
      return res;
    }
    if (k == hi) break;
    const WriteEntry &e = log[k];
    for (uint64_t s = e.sector; s < e.sector + e.nr_sects && s < nr_sects; ++s) cand[s] = e.seq;
  }
  // Report against the last prefix of the window.
  for (auto &[s, content] : held) {
    fill_sector(expect.data(), cand[s], s, salt);
    if (memcmp(expect.data(), content.data(), 512) != 0) note(s, cand[s], content.data());
  }
  res.detail = "no prefix of writes " + std::to_string(lo) + ".." + std::to_string(hi) +
               " explains the image; " + res.detail;
  return res;
}

}  // namespace agent
