// Disk layouts and the names the CLI accepts for sizes and devices.
#pragma once
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace agent {

// "256M", "1G", "4096K", "512" (bytes), "1.5G"; suffixes K, M, G, T (binary), optional "iB"/"B".
// nullopt for anything else, for zero and for overflow.
std::optional<uint64_t> parse_size(const std::string &s);

struct PartitionLayout {
  uint64_t start_sect, nr_sects;
};

// `count` equal partitions on a disk of `nr_sects` sectors, each starting on a 1 MiB boundary
// after the first MiB, sizes multiples of 1 MiB. Empty when count is 0; throws Error when the
// disk is too small for that many.
std::vector<PartitionLayout> equal_partitions(uint64_t nr_sects, unsigned count);

// A disk size given on a command line ("256M"): "" when it is one, else what is wrong with it
// (not a size, or not a whole number of 512-byte sectors).
std::string disk_size_problem(const std::string &s);

// The DOS (MBR) partition table in a disk's first sector, as fdisk writes it: at most four
// primary partitions of type 83 (Linux), none bootable, CHS fields in the usual 255-head,
// 63-sector geometry.
constexpr unsigned kMbrPartitions = 4;
using Sector = std::array<uint8_t, 512>;
// Throws Error for more than four partitions, or one outside 32-bit sector numbers.
Sector encode_mbr(const std::vector<PartitionLayout> &parts, uint32_t disk_id);

// What the first sector of a disk of nr_sects holds. nullopt when it is no partition table:
// no 0x55AA signature, or a boot flag other than 0 and 0x80 (a file system's boot sector, as
// the kernel decides). Otherwise its partitions, in order (an empty table: none). Throws
// Error for a table this machine cannot use as it stands: an extended or GPT-protective
// entry, a partition at sector 0, an empty entry before a used one, overlapping partitions,
// or one that runs past the disk's end (an image cut short).
std::optional<std::vector<PartitionLayout>> decode_mbr(const Sector &s, uint64_t nr_sects);

// "sda" -> {"sda", 0}; "sda2" -> {"sda", 2}. nullopt for a name that is not letters followed
// by an optional partition number 1..15.
struct DeviceName {
  std::string disk;
  unsigned part;  // 0 = the whole disk
};
std::optional<DeviceName> parse_device_name(const std::string &s);

}  // namespace agent
