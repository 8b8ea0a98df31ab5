#include "agent/changes.h"

namespace agent {

bool record_matches(const ChangeRecord &r, uint32_t major, uint32_t minor, RecordFormat f) {
  if (f == RecordFormat::v1) return r.major == (major & 0xffff) && r.minor == (minor & 0xffff);
  return r.major == major && r.minor == minor;
}

DrainStats ChangeTracker::drain(std::optional<std::pair<uint32_t, uint32_t>> cap,
                                ChunkSet *capture) {
  DrainStats st;
  RecordFormat f = src_.format();
  uint64_t claimed = 0, clipped = 0;
  // A fetch that fails may already have taken records off the queue (the driver frees them
  // before it copies them out), so after a failure no pending set can be trusted.
  try {
    st = drain_queue(src_, batch_, [&](const ChangeRecord &r) {
      if (cap && capture && record_matches(r, cap->first, cap->second, f)) {
        ++claimed;
        if (!capture->add_sectors(r.start_sector, r.num_sectors)) ++clipped;
        return;
      }
      for (Device &d : devices_) {
        if (record_matches(r, d.major, d.minor, f)) {
          ++claimed;
          if (!d.pending.add_sectors(r.start_sector, r.num_sectors)) ++clipped;
          return;
        }
      }
    });
  } catch (...) {
    mark_all_broken();
    throw;
  }
  st.claimed = claimed;
  st.clipped = clipped;
  if (!st.tracking) mark_all_broken();
  if (clipped) mark_all_broken(kRecordPastEnd);
  return st;
}

const ChangeTracker::Device *ChangeTracker::find(uint32_t major, uint32_t minor) const {
  for (const Device &d : devices_)
    if (d.major == major && d.minor == minor) return &d;
  return nullptr;
}

void ChangeTracker::record_backup(uint32_t major, uint32_t minor, uint64_t nr_sects,
                                  ChunkSet since_freeze, bool intact, uint64_t generation,
                                  const std::string &image) {
  forget(major, minor);
  Device d;
  d.major = major;
  d.minor = minor;
  d.nr_sects = nr_sects;
  d.pending = std::move(since_freeze);
  d.intact = intact;
  d.generation = generation;
  d.image = image;
  devices_.push_back(std::move(d));
}

void ChangeTracker::forget(uint32_t major, uint32_t minor) {
  std::erase_if(devices_, [&](const Device &d) { return d.major == major && d.minor == minor; });
}

void ChangeTracker::mark_all_broken(const std::string &why) {
  for (Device &d : devices_) {
    if (d.intact || d.broken.empty()) d.broken = why;
    d.intact = false;
  }
}

std::optional<std::string> ChangeTracker::incremental_refusal(
    uint32_t major, uint32_t minor, uint64_t nr_sects, const std::string &image,
    std::optional<uint64_t> image_generation) const {
  const Device *d = find(major, minor);
  if (!d)
    return "no change tracking of this device since a backup in this machine (every "
           "qel-agent process "
           "starts a fresh machine)";
  if (!d->intact) return d->broken.empty() ? std::string(kTrackingBroken) : d->broken;
  if (d->nr_sects != nr_sects) return "the device changed size since the last backup";
  if (d->image != image)
    return "the last backup of this device went to " + d->image + ", not " + image;
  if (!image_generation)
    return "the previous image " + image + " has no readable record of its backup";
  if (*image_generation != d->generation)
    return "the previous image " + image + " was replaced since the last backup";
  return std::nullopt;
}

}  // namespace agent
