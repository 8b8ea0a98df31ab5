// Bookkeeping of backup images. An image is the raw content of the device (byte i of the image
// is byte i of the device at the snapshot instant). Beside it, "<image>.qel" records what it is,
// so an incremental backup can tell whether the image it is asked to update is the one its
// change tracking refers to. A backup puts its record in place only once it succeeded, and
// leaves the previous image and record whole until then (image_writer.h).
#pragma once
#include <cstdint>
#include <optional>
#include <string>

namespace agent {

struct ImageMeta {
  std::string device;          // "sda1"
  uint64_t nr_sects = 0;       // device size in 512-byte sectors
  uint64_t chunk_size = 0;     // 65536
  uint64_t generation = 0;     // random stamp of the backup that last wrote the image
  uint64_t snapshot_time = 0;  // driver's snapshot time, seconds since the epoch
  std::string kind;            // "full" or "incremental"
};

std::string meta_path(const std::string &image);
std::string format_meta(const ImageMeta &m);
// nullopt for text that is not a complete record (missing or malformed fields).
std::optional<ImageMeta> parse_meta(const std::string &text);

// File helpers; read_meta gives nullopt when the file is missing or unreadable.
std::optional<ImageMeta> read_meta(const std::string &image);
void write_meta(const std::string &image, const ImageMeta &m);  // throws Error
void remove_meta(const std::string &image);

// A fresh non-zero generation stamp.
uint64_t new_generation();

}  // namespace agent
