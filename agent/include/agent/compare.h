// Compares a backup image with a device or file, chunk by chunk, for users who want to check
// a backup themselves (`qel-agent verify IMAGE --against DEV`).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "agent/system.h"

namespace agent {

struct Comparison {
  uint64_t image_bytes = 0, device_bytes = 0;
  uint64_t chunks = 0;                 // 64 KiB chunks compared
  uint64_t differing = 0;              // of those, chunks that differ
  std::vector<uint64_t> first;         // the first differing chunks, at most kShown
  static constexpr size_t kShown = 10;
  bool equal() const { return image_bytes == device_bytes && differing == 0; }
};

Comparison compare_image_with_file(const std::string &image, const std::string &path);
Comparison compare_image_with_device(const std::string &image, const DeviceInfo &dev);
std::string format_comparison(const std::string &image, const std::string &against,
                              const Comparison &c);

}  // namespace agent
