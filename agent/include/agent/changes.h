// Change records and the bookkeeping that turns them into the chunk sets of incremental backups.
//
// The driver keeps one queue of change records for every tracked device; whoever fetches takes
// records of all devices. So there is one ChangeTracker per control handle (per machine), and
// it sorts what it drains into the pending sets of the devices it backs up.
#pragma once
#include <cstdint>
#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "agent/chunkset.h"

namespace agent {

enum class RecordFormat { v1 = 1, v2 = 2 };

struct ChangeRecord {
  uint64_t major, minor, start_sector, num_sectors;
};

struct ChangeBatch {
  std::vector<ChangeRecord> records;
  bool tracking = true;  // false: the driver missed changes somewhere
  int inqueue = 0;       // records still queued after this batch
};

// Where records come from: the control device, or a fake in tests.
class ChangeSource {
 public:
  virtual ~ChangeSource() = default;
  // Up to `size` records; waits for a full batch unless unblock() was called first.
  virtual ChangeBatch fetch(int size) = 0;
  virtual void unblock() = 0;
  virtual RecordFormat format() const = 0;
};

// Format 1 carries only the low 16 bits of major and minor.
bool record_matches(const ChangeRecord &r, uint32_t major, uint32_t minor, RecordFormat f);

struct DrainStats {
  uint64_t fetched = 0;  // records taken from the queue
  uint64_t claimed = 0;  // of those, records of a device the tracker follows (or captures)
  uint64_t clipped = 0;  // records that reached past their device's end
  bool tracking = true;  // AND of every batch's tracking flag
};

// Takes every record that was queued when the drain began (and perhaps a few more that
// arrive meanwhile), without ever waiting for a full batch: each fetch is preceded by an
// unblock, and the drain stops at the count seen at its first fetch, so a writer that keeps
// writing cannot keep it going. `sink` gets each record.
template <class Sink>
DrainStats drain_queue(ChangeSource &src, int batch, Sink &&sink) {
  DrainStats st;
  if (batch < 1) batch = 1;
  uint64_t target = 0;
  bool first = true;
  for (;;) {
    int want = batch;
    if (!first) {
      if (st.fetched >= target) break;
      uint64_t left = target - st.fetched;
      if (left < uint64_t(batch)) want = int(left);
    }
    src.unblock();
    ChangeBatch b = src.fetch(want);
    st.tracking = st.tracking && b.tracking;
    st.fetched += b.records.size();
    for (const ChangeRecord &r : b.records) sink(r);
    if (first) {
      target = b.records.size() + uint64_t(b.inqueue > 0 ? b.inqueue : 0);
      first = false;
    }
    // Nothing came although records were counted: someone else is fetching too.
    if (b.records.empty()) break;
  }
  return st;
}

class ChangeTracker {
 public:
  struct Device {
    std::string name;  // "sda1", for the state file and messages
    uint32_t major = 0, minor = 0;
    uint64_t nr_sects = 0;
    ChunkSet pending;         // chunks changed since the freeze of the last backup (a superset)
    bool intact = false;      // no change was missed since that freeze
    std::string broken;       // why not intact, when it was found out after the backup
    uint64_t generation = 0;  // stamp of the image that backup wrote
    std::string image;        // path of that image
    uint64_t snapshot_time = 0;  // of that backup
  };

  explicit ChangeTracker(ChangeSource &src, int batch = 4096) : src_(src), batch_(batch) {}

  // Drains the queue into the pending sets. Records of (cap_major, cap_minor) go to `capture`
  // instead when it is given. A batch that reports tracking broken marks every followed device
  // not intact: the driver does not say which device missed the change. So does a record that
  // reaches past its device's end: the write went on into a device after it on the disk, which
  // may not have a record of its own.
  DrainStats drain(std::optional<std::pair<uint32_t, uint32_t>> cap = std::nullopt,
                   ChunkSet *capture = nullptr);

  // One batch fetched by someone else (the service's fetch thread).
  void fold(const ChangeBatch &b);

  // Not for use while another thread folds: the pointer is into the tracker's own list.
  const Device *find(uint32_t major, uint32_t minor) const;
  std::optional<Device> lookup(uint32_t major, uint32_t minor) const;
  std::vector<Device> devices() const;
  // After a successful backup whose post-start drain captured `since_freeze`.
  void record_backup(uint32_t major, uint32_t minor, uint64_t nr_sects, ChunkSet since_freeze,
                     bool intact, uint64_t generation, const std::string &image);
  // A device known from before (the service's state file), followed again.
  void restore(Device d);
  // After a failed backup: its image can no longer be trusted as a base.
  void forget(uint32_t major, uint32_t minor);
  void mark_all_broken(const std::string &why = kTrackingBroken);
  // One device's tracking may have missed writes (its capture too, when it is being backed up).
  void mark_broken(uint32_t major, uint32_t minor, const std::string &why);

  // The life of one backup, safe against a thread that folds meanwhile. begin_backup forgets
  // the device and sends its records to a capture from then on; it returns the device's
  // pending set when an incremental of `image` can be trusted, else nullopt and `why`.
  // arm_capture marks the session's start. A break reported before it means this backup's
  // incremental may lack changes (incremental_broken); one reported after it, a record past
  // the end or a lost fetch at any time also means the next one's base is incomplete
  // (capture_broken). end_backup either makes the capture the device's new pending set (the
  // backup succeeded) or drops it.
  std::optional<ChunkSet> begin_backup(uint32_t major, uint32_t minor, uint64_t nr_sects,
                                       const std::string &image,
                                       std::optional<uint64_t> image_generation, std::string &why);
  void arm_capture();
  std::string capture_broken() const;      // "" while the capture holds every change since the start
  std::string incremental_broken() const;  // "" while nothing this backup needs was missed
  ChunkSet capture_set() const;
  void end_backup(bool succeeded, const std::string &name, uint64_t generation,
                  const std::string &image, uint64_t snapshot_time);

  uint64_t records_folded() const { return folded_; }
  // Raised by every change of what the tracker knows, so its owner can tell when to save it.
  uint64_t version() const { return version_; }

  static constexpr const char *kTrackingBroken =
      "the driver reported that change tracking missed writes";
  static constexpr const char *kRecordPastEnd =
      "a change record reached past the end of its device, so a device after it on the disk "
      "may have missed that write";

  // What incremental_refusal says of a device this tracker has never seen backed up.
  void set_unknown_reason(std::string why) { unknown_reason_ = std::move(why); }

  // Why an incremental of `image` on this device cannot be made, or nullopt when it can.
  std::optional<std::string> incremental_refusal(uint32_t major, uint32_t minor, uint64_t nr_sects,
                                                 const std::string &image,
                                                 std::optional<uint64_t> image_generation) const;

  RecordFormat format() const { return src_.format(); }
  ChangeSource &source() { return src_; }
  int batch() const { return batch_; }

 private:
  struct Capture {
    uint32_t major = 0, minor = 0;
    uint64_t nr_sects = 0;
    ChunkSet set;
    bool armed = false;        // the session has started
    std::string before_start;  // a break reported before the start
    std::string broken;        // a break that the next backup's base has too
  };
  enum class Route { dropped, claimed, clipped };
  // mu_ held:
  Route route_locked(const ChangeRecord &r, RecordFormat f);
  void tracking_report_locked(bool tracking);
  void mark_all_broken_locked(const std::string &why);
  const Device *find_locked(uint32_t major, uint32_t minor) const;
  std::optional<std::string> refusal_locked(uint32_t major, uint32_t minor, uint64_t nr_sects,
                                            const std::string &image,
                                            std::optional<uint64_t> image_generation) const;

  ChangeSource &src_;
  int batch_;
  mutable std::mutex mu_;
  std::vector<Device> devices_;     // mu_
  std::optional<Capture> capture_;  // mu_
  std::string unknown_reason_ =
      "no change tracking of this device since a backup in this machine (every qel-agent "
      "process starts a fresh machine)";
  std::atomic<uint64_t> folded_{0};
  std::atomic<uint64_t> version_{0};
};

}  // namespace agent
