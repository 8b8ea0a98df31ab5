// A set of 64 KiB chunks of one device, as a bitmap: what an incremental backup must copy.
#pragma once
#include <cstdint>
#include <utility>
#include <vector>

namespace agent {

constexpr uint64_t kSectorSize = 512;
constexpr uint64_t kChunkSize = 65536;
constexpr uint64_t kSectorsPerChunk = kChunkSize / kSectorSize;

// Number of chunks that cover a device of nr_sects sectors (the last one may be partial).
constexpr uint64_t chunks_for_sectors(uint64_t nr_sects) {
  return (nr_sects + kSectorsPerChunk - 1) / kSectorsPerChunk;
}

class ChunkSet {
 public:
  explicit ChunkSet(uint64_t nr_chunks = 0);

  uint64_t capacity() const { return nr_chunks_; }
  uint64_t count() const { return count_; }
  bool empty() const { return count_ == 0; }
  bool contains(uint64_t chunk) const;

  // Returns false (and adds nothing) for a chunk past the device's end.
  bool add(uint64_t chunk);
  // Adds every chunk that sectors [start, start + n) touch, clipped to the device. Returns
  // false when any part of the range lay past the end; n == 0 touches nothing.
  bool add_sectors(uint64_t start, uint64_t n);
  // Union; both sets must describe the same device size.
  void merge(const ChunkSet &other);
  void clear();

  // Chunks in ascending order, and the same as runs of consecutive chunks (first, length).
  std::vector<uint64_t> chunks() const;
  std::vector<std::pair<uint64_t, uint64_t>> runs() const;

 private:
  uint64_t nr_chunks_;
  uint64_t count_ = 0;
  std::vector<uint64_t> bits_;
};

}  // namespace agent
