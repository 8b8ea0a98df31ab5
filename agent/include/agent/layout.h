// Disk layouts and the names the CLI accepts for sizes and devices.
#pragma once
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

// "sda" -> {"sda", 0}; "sda2" -> {"sda", 2}. nullopt for a name that is not letters followed
// by an optional partition number 1..15.
struct DeviceName {
  std::string disk;
  unsigned part;  // 0 = the whole disk
};
std::optional<DeviceName> parse_device_name(const std::string &s);

}  // namespace agent
