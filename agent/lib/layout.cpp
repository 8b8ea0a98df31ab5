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

std::string disk_size_problem(const std::string &s) {
  std::optional<uint64_t> b = parse_size(s);
  if (!b) return "'" + s + "' is not a size (e.g. 256M, 1G)";
  if (*b % 512)
    return "a size of " + std::to_string(*b) + " bytes is not a whole number of 512-byte sectors";
  return "";
}

namespace {

constexpr size_t kTableAt = 446, kEntrySize = 16;
constexpr uint8_t kLinux = 0x83;

void put32(uint8_t *p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}

uint32_t get32(const uint8_t *p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// Cylinder, head, sector of an LBA; past cylinder 1023 the field says so (1023/254/63).
void put_chs(uint8_t *p, uint64_t lba) {
  uint64_t c = lba / (255 * 63), h = lba / 63 % 255, sec = lba % 63 + 1;
  if (c > 1023) c = 1023, h = 254, sec = 63;
  p[0] = uint8_t(h);
  p[1] = uint8_t(sec | ((c >> 2) & 0xc0));
  p[2] = uint8_t(c);
}

std::string range_text(unsigned n, uint64_t start, uint64_t len) {
  return "partition " + std::to_string(n) + " (sectors " + std::to_string(start) + " to " +
         std::to_string(start + len - 1) + ")";
}

}  // namespace

Sector encode_mbr(const std::vector<PartitionLayout> &parts, uint32_t disk_id) {
  if (parts.size() > kMbrPartitions)
    throw Error("an MBR partition table holds at most 4 partitions, not " +
                std::to_string(parts.size()));
  Sector s{};
  put32(&s[440], disk_id);
  for (size_t i = 0; i < parts.size(); ++i) {
    const PartitionLayout &p = parts[i];
    if (p.nr_sects == 0 || p.start_sect == 0 || p.start_sect + p.nr_sects > 0xffffffffull)
      throw Error("an MBR partition table cannot describe " +
                  range_text(unsigned(i + 1), p.start_sect, p.nr_sects ? p.nr_sects : 1) +
                  ": its sectors must lie between 1 and 2^32 - 1 (2 TiB)");
    uint8_t *e = &s[kTableAt + i * kEntrySize];
    put_chs(e + 1, p.start_sect);
    e[4] = kLinux;
    put_chs(e + 5, p.start_sect + p.nr_sects - 1);
    put32(e + 8, uint32_t(p.start_sect));
    put32(e + 12, uint32_t(p.nr_sects));
  }
  s[510] = 0x55;
  s[511] = 0xaa;
  return s;
}

std::optional<std::vector<PartitionLayout>> decode_mbr(const Sector &s, uint64_t nr_sects) {
  if (s[510] != 0x55 || s[511] != 0xaa) return std::nullopt;
  for (unsigned i = 0; i < kMbrPartitions; ++i) {
    uint8_t boot = s[kTableAt + i * kEntrySize];
    if (boot != 0 && boot != 0x80) return std::nullopt;
  }
  std::vector<PartitionLayout> out;
  unsigned empty_at = 0;
  for (unsigned i = 0; i < kMbrPartitions; ++i) {
    const uint8_t *e = &s[kTableAt + i * kEntrySize];
    uint8_t type = e[4];
    uint64_t start = get32(e + 8), len = get32(e + 12);
    unsigned n = i + 1;
    // Only a size of 0 marks an entry empty: the kernel and fdisk count one of type 0.
    if (len == 0) {
      if (!empty_at) empty_at = n;
      continue;
    }
    if (type == 0x05 || type == 0x0f || type == 0x85)
      throw Error("partition " + std::to_string(n) +
                  " is an extended partition: logical partitions are not supported");
    if (type == 0xee)
      throw Error("the disk has a GPT partition table: only MBR tables are supported");
    if (empty_at)
      throw Error("partition " + std::to_string(n) + " is used while partition " +
                  std::to_string(empty_at) + " is empty: not supported");
    if (start == 0)
      throw Error(range_text(n, start, len) + " holds the partition table's own sector");
    if (start + len > nr_sects)
      throw Error(range_text(n, start, len) + " runs past the end of the disk (" +
                  std::to_string(nr_sects) + " sectors): the image is shorter than its table says");
    for (unsigned j = 0; j < out.size(); ++j)
      if (start < out[j].start_sect + out[j].nr_sects && out[j].start_sect < start + len)
        throw Error(range_text(n, start, len) + " overlaps " +
                    range_text(j + 1, out[j].start_sect, out[j].nr_sects));
    out.push_back({start, len});
  }
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
