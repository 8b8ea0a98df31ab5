#include "agent/layout.h"

#include <cctype>
#include <cmath>

#include "agent/error.h"

namespace agent {

std::optional<uint64_t> parse_size(const std::string &in) {
  std::string s = in;
  if (s.empty()) return std::nullopt;
  size_t i = 0;
  bool dot = false;
  while (i < s.size() && (isdigit((unsigned char)s[i]) || (s[i] == '.' && !dot))) {
    if (s[i] == '.') dot = true;
    ++i;
  }
  std::string num = s.substr(0, i), suf = s.substr(i);
  if (num.empty() || num == ".") return std::nullopt;
  for (char &c : suf) c = char(toupper((unsigned char)c));
  uint64_t mul = 1;
  if (!suf.empty()) {
    char u = suf[0];
    std::string rest = suf.substr(1);
    if (u == 'B' && rest.empty()) {
      mul = 1;
    } else {
      switch (u) {
        case 'K':
          mul = 1ull << 10;
          break;
        case 'M':
          mul = 1ull << 20;
          break;
        case 'G':
          mul = 1ull << 30;
          break;
        case 'T':
          mul = 1ull << 40;
          break;
        default:
          return std::nullopt;
      }
      if (!(rest.empty() || rest == "B" || rest == "IB")) return std::nullopt;
    }
  }
  if (num.size() > 20) return std::nullopt;
  long double v = std::stold(num) * mul;
  if (!(v >= 1) || v > 18446744073709551615.0L) return std::nullopt;
  long double r = std::floor(v);
  if (r != v) return std::nullopt;  // fractional bytes
  return uint64_t(r);
}

std::vector<PartitionLayout> equal_partitions(uint64_t nr_sects, unsigned count) {
  constexpr uint64_t kMiB = 2048;
  std::vector<PartitionLayout> out;
  if (count == 0) return out;
  if (count > 15)
    throw Error("at most 15 partitions fit the disk's minor numbers, not " + std::to_string(count));
  uint64_t usable = nr_sects > kMiB ? nr_sects - kMiB : 0;
  uint64_t each = usable / count / kMiB * kMiB;
  if (each == 0)
    throw Error("a disk of " + std::to_string(nr_sects / kMiB) + " MiB is too small for " +
                std::to_string(count) + " partitions of at least 1 MiB after the first MiB");
  for (unsigned i = 0; i < count; ++i) out.push_back({kMiB + i * each, each});
  return out;
}

std::optional<DeviceName> parse_device_name(const std::string &in) {
  std::string s = in;
  if (s.rfind("/dev/", 0) == 0) s = s.substr(5);
  size_t i = 0;
  while (i < s.size() && islower((unsigned char)s[i])) ++i;
  if (i == 0 || i > 16) return std::nullopt;
  DeviceName d{s.substr(0, i), 0};
  std::string num = s.substr(i);
  if (num.empty()) return d;
  if (num.size() > 2 || num[0] == '0') return std::nullopt;
  for (char c : num)
    if (!isdigit((unsigned char)c)) return std::nullopt;
  unsigned p = unsigned(std::stoul(num));
  if (p < 1 || p > 15) return std::nullopt;
  d.part = p;
  return d;
}

}  // namespace agent
