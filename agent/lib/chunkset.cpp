#include "agent/chunkset.h"

#include <bit>
#include <stdexcept>

namespace agent {

ChunkSet::ChunkSet(uint64_t nr_chunks) : nr_chunks_(nr_chunks), bits_((nr_chunks + 63) / 64, 0) {}

bool ChunkSet::contains(uint64_t chunk) const {
  return chunk < nr_chunks_ && (bits_[chunk / 64] >> (chunk % 64) & 1);
}

bool ChunkSet::add(uint64_t chunk) {
  if (chunk >= nr_chunks_) return false;
  uint64_t &w = bits_[chunk / 64];
  uint64_t m = uint64_t(1) << (chunk % 64);
  if (!(w & m)) {
    w |= m;
    ++count_;
  }
  return true;
}

bool ChunkSet::add_sectors(uint64_t start, uint64_t n) {
  if (n == 0) return true;
  uint64_t first = start / kSectorsPerChunk;
  // start + n may wrap for a hostile record; clamp instead of wrapping around to chunk 0.
  uint64_t last_sector = (n - 1 > UINT64_MAX - start) ? UINT64_MAX : start + n - 1;
  uint64_t last = last_sector / kSectorsPerChunk;
  bool inside = last < nr_chunks_;
  if (first >= nr_chunks_) return false;
  if (last >= nr_chunks_) last = nr_chunks_ - 1;
  for (uint64_t c = first; c <= last; ++c) add(c);
  return inside;
}

void ChunkSet::merge(const ChunkSet &other) {
  if (other.nr_chunks_ != nr_chunks_)
    throw std::invalid_argument("chunk sets of different devices");
  count_ = 0;
  for (size_t i = 0; i < bits_.size(); ++i) {
    bits_[i] |= other.bits_[i];
    count_ += std::popcount(bits_[i]);
  }
}

void ChunkSet::clear() {
  std::fill(bits_.begin(), bits_.end(), 0);
  count_ = 0;
}

std::vector<uint64_t> ChunkSet::chunks() const {
  std::vector<uint64_t> out;
  out.reserve(count_);
  for (size_t i = 0; i < bits_.size(); ++i) {
    uint64_t w = bits_[i];
    while (w) {
      int b = std::countr_zero(w);
      out.push_back(i * 64 + b);
      w &= w - 1;
    }
  }
  return out;
}

std::vector<std::pair<uint64_t, uint64_t>> ChunkSet::runs() const {
  std::vector<std::pair<uint64_t, uint64_t>> out;
  for (uint64_t c : chunks()) {
    if (!out.empty() && out.back().first + out.back().second == c)
      ++out.back().second;
    else
      out.emplace_back(c, 1);
  }
  return out;
}

}  // namespace agent
