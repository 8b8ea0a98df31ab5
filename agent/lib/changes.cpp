#include "agent/changes.h"

namespace agent {

bool record_matches(const ChangeRecord &r, uint32_t major, uint32_t minor, RecordFormat f) {
  if (f == RecordFormat::v1) return r.major == (major & 0xffff) && r.minor == (minor & 0xffff);
  return r.major == major && r.minor == minor;
}

ChangeTracker::Route ChangeTracker::route_locked(const ChangeRecord &r, RecordFormat f) {
  if (capture_ && record_matches(r, capture_->major, capture_->minor, f)) {
    if (capture_->set.add_sectors(r.start_sector, r.num_sectors)) return Route::claimed;
    if (capture_->broken.empty()) capture_->broken = kRecordPastEnd;
    return Route::clipped;
  }
  for (Device &d : devices_)
    if (record_matches(r, d.major, d.minor, f))
      return d.pending.add_sectors(r.start_sector, r.num_sectors) ? Route::claimed
                                                                   : Route::clipped;
  return Route::dropped;
}

// The driver reads its flag as a fetch returns. Before the session's start it speaks of
// changes this backup should have had; after the start (armed), of changes the next one needs,
// and a break then is sticky until the next start, so later fetches report it too.
void ChangeTracker::tracking_report_locked(bool tracking) {
  if (tracking) return;
  mark_all_broken_locked(kTrackingBroken);
  if (!capture_) return;
  std::string &which = capture_->armed ? capture_->broken : capture_->before_start;
  if (which.empty()) which = kTrackingBroken;
}

void ChangeTracker::mark_all_broken_locked(const std::string &why) {
  for (Device &d : devices_) {
    if (d.intact || d.broken.empty()) d.broken = why;
    d.intact = false;
  }
  ++version_;
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
      std::lock_guard<std::mutex> g(mu_);
      ++folded_;
      if (cap && capture && record_matches(r, cap->first, cap->second, f)) {
        ++claimed;
        if (!capture->add_sectors(r.start_sector, r.num_sectors)) ++clipped;
        return;
      }
      Route to = route_locked(r, f);
      if (to != Route::dropped) ++claimed;
      if (to == Route::clipped) ++clipped;
      ++version_;
    });
  } catch (...) {
    mark_all_broken();
    throw;
  }
  st.claimed = claimed;
  st.clipped = clipped;
  std::lock_guard<std::mutex> g(mu_);
  tracking_report_locked(st.tracking);
  if (clipped) {
    mark_all_broken_locked(kRecordPastEnd);
    if (capture_ && capture_->broken.empty()) capture_->broken = kRecordPastEnd;
  }
  return st;
}

void ChangeTracker::fold(const ChangeBatch &b) {
  RecordFormat f = src_.format();
  std::lock_guard<std::mutex> g(mu_);
  bool clipped = false;
  for (const ChangeRecord &r : b.records) clipped = route_locked(r, f) == Route::clipped || clipped;
  folded_ += b.records.size();
  if (!b.records.empty()) ++version_;
  tracking_report_locked(b.tracking);
  if (clipped) {
    mark_all_broken_locked(kRecordPastEnd);
    if (capture_ && capture_->broken.empty()) capture_->broken = kRecordPastEnd;
  }
}

const ChangeTracker::Device *ChangeTracker::find_locked(uint32_t major, uint32_t minor) const {
  for (const Device &d : devices_)
    if (d.major == major && d.minor == minor) return &d;
  return nullptr;
}

const ChangeTracker::Device *ChangeTracker::find(uint32_t major, uint32_t minor) const {
  std::lock_guard<std::mutex> g(mu_);
  return find_locked(major, minor);
}

std::optional<ChangeTracker::Device> ChangeTracker::lookup(uint32_t major, uint32_t minor) const {
  std::lock_guard<std::mutex> g(mu_);
  const Device *d = find_locked(major, minor);
  if (!d) return std::nullopt;
  return *d;
}

std::vector<ChangeTracker::Device> ChangeTracker::devices() const {
  std::lock_guard<std::mutex> g(mu_);
  return devices_;
}

void ChangeTracker::record_backup(uint32_t major, uint32_t minor, uint64_t nr_sects,
                                  ChunkSet since_freeze, bool intact, uint64_t generation,
                                  const std::string &image) {
  Device d;
  d.major = major;
  d.minor = minor;
  d.nr_sects = nr_sects;
  d.pending = std::move(since_freeze);
  d.intact = intact;
  d.generation = generation;
  d.image = image;
  restore(std::move(d));
}

void ChangeTracker::restore(Device d) {
  std::lock_guard<std::mutex> g(mu_);
  std::erase_if(devices_, [&](const Device &o) { return o.major == d.major && o.minor == d.minor; });
  devices_.push_back(std::move(d));
  ++version_;
}

void ChangeTracker::forget(uint32_t major, uint32_t minor) {
  std::lock_guard<std::mutex> g(mu_);
  std::erase_if(devices_, [&](const Device &d) { return d.major == major && d.minor == minor; });
  ++version_;
}

void ChangeTracker::mark_all_broken(const std::string &why) {
  std::lock_guard<std::mutex> g(mu_);
  mark_all_broken_locked(why);
  if (capture_ && capture_->broken.empty()) capture_->broken = why;
}

void ChangeTracker::mark_broken(uint32_t major, uint32_t minor, const std::string &why) {
  std::lock_guard<std::mutex> g(mu_);
  for (Device &d : devices_) {
    if (d.major != major || d.minor != minor) continue;
    if (d.intact || d.broken.empty()) d.broken = why;
    d.intact = false;
  }
  if (capture_ && capture_->major == major && capture_->minor == minor && capture_->broken.empty())
    capture_->broken = why;
  ++version_;
}

std::optional<ChunkSet> ChangeTracker::begin_backup(uint32_t major, uint32_t minor,
                                                    uint64_t nr_sects, const std::string &image,
                                                    std::optional<uint64_t> image_generation,
                                                    std::string &why) {
  std::lock_guard<std::mutex> g(mu_);
  std::optional<ChunkSet> pending;
  why.clear();
  if (auto r = refusal_locked(major, minor, nr_sects, image, image_generation))
    why = *r;
  for (auto it = devices_.begin(); it != devices_.end(); ++it) {
    if (it->major != major || it->minor != minor) continue;
    if (why.empty()) pending = std::move(it->pending);
    devices_.erase(it);
    break;
  }
  Capture c;
  c.major = major;
  c.minor = minor;
  c.nr_sects = nr_sects;
  c.set = ChunkSet(chunks_for_sectors(nr_sects));
  capture_ = std::move(c);
  ++version_;
  return pending;
}

void ChangeTracker::arm_capture() {
  std::lock_guard<std::mutex> g(mu_);
  if (capture_) capture_->armed = true;
}

std::string ChangeTracker::capture_broken() const {
  std::lock_guard<std::mutex> g(mu_);
  return capture_ ? capture_->broken : std::string("no backup is capturing changes");
}

std::string ChangeTracker::incremental_broken() const {
  std::lock_guard<std::mutex> g(mu_);
  if (!capture_) return "no backup is capturing changes";
  return capture_->before_start.empty() ? capture_->broken : capture_->before_start;
}

ChunkSet ChangeTracker::capture_set() const {
  std::lock_guard<std::mutex> g(mu_);
  return capture_ ? capture_->set : ChunkSet();
}

void ChangeTracker::end_backup(bool succeeded, const std::string &name, uint64_t generation,
                               const std::string &image, uint64_t snapshot_time) {
  std::lock_guard<std::mutex> g(mu_);
  if (!capture_) return;
  if (succeeded) {
    Device d;
    d.name = name;
    d.major = capture_->major;
    d.minor = capture_->minor;
    d.nr_sects = capture_->nr_sects;
    d.pending = std::move(capture_->set);
    d.intact = capture_->armed && capture_->broken.empty();
    d.broken = d.intact ? std::string() : capture_->broken;
    d.generation = generation;
    d.image = image;
    d.snapshot_time = snapshot_time;
    std::erase_if(devices_, [&](const Device &o) { return o.major == d.major && o.minor == d.minor; });
    devices_.push_back(std::move(d));
  }
  capture_.reset();
  ++version_;
}

std::optional<std::string> ChangeTracker::incremental_refusal(
    uint32_t major, uint32_t minor, uint64_t nr_sects, const std::string &image,
    std::optional<uint64_t> image_generation) const {
  std::lock_guard<std::mutex> g(mu_);
  return refusal_locked(major, minor, nr_sects, image, image_generation);
}

std::optional<std::string> ChangeTracker::refusal_locked(
    uint32_t major, uint32_t minor, uint64_t nr_sects, const std::string &image,
    std::optional<uint64_t> image_generation) const {
  const Device *d = find_locked(major, minor);
  if (!d) return unknown_reason_;
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
