#include "agent/backup.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <vector>

#include "agent/error.h"
#include "agent/image.h"
#include "agent/image_writer.h"
#include "agent/progress.h"
#include "agent/system.h"

namespace agent {

void ensure_agent_thread_name(const char *name) {
  char cur[17] = {0};
  prctl(PR_GET_NAME, cur, 0, 0, 0);
  if (strncmp(cur, "qel", 3) != 0) prctl(PR_SET_NAME, name, 0, 0, 0);
}

Agent::Agent(RecordFormat f) : ctl_(), src_(ctl_, f), tracker_(src_) {}

Agent::~Agent() {
  if (follower_) follower_->stop();
}

void Agent::follow(int batch) {
  if (follower_) return;
  follower_ = std::make_unique<ChangeFollower>(tracker_, batch,
                                               [] { return sys().records_delivered(); });
  follower_->start();
}

void Agent::settle() {
  if (follower_) {
    follower_->sync();
    return;
  }
  // The queue is shared: records another agent (a service) fetched between or during our
  // drains never reach this tracker. The machine's count of records handed out tells.
  if (!delivered_base_) delivered_base_ = sys().records_delivered();
  DrainStats st = tracker_.drain();
  drained_ += st.fetched;
  if (!delivered_base_) return;
  std::optional<uint64_t> now = sys().records_delivered();
  if (now && *now > *delivered_base_ + drained_) {
    tracker_.mark_all_broken(ChangeFollower::kRecordsTaken);
    delivered_base_ = *now - drained_;
  }
}

std::unique_ptr<Snapshot> Agent::snapshot(const SnapshotOptions &so) {
  // Without a followed device there is nothing to settle, and a drain would only take records
  // from the queue that another agent (the service) follows.
  if (follower_ || !tracker_.devices().empty()) settle();
  return start_own(so);
}

std::unique_ptr<Snapshot> Agent::start_own(const SnapshotOptions &so) {
  std::lock_guard<std::mutex> g(start_mu_);
  auto s = std::make_unique<Snapshot>(ctl_, so);
  if (watching_starts_) own_ids_.insert(s->id());
  return s;
}

void Agent::watch_starts(size_t log_start) {
  std::lock_guard<std::mutex> g(start_mu_);
  watching_starts_ = true;
  log_seen_ = log_start;
}

void Agent::note_foreign_starts() {
  std::lock_guard<std::mutex> g(start_mu_);
  if (!watching_starts_) return;
  std::vector<std::string> log = sys().kernel_log();
  if (log.size() < log_seen_) log_seen_ = 0;  // a log that started over
  for (size_t i = log_seen_; i < log.size(); ++i) {
    const char *p = strstr(log[i].c_str(), "session started for device:(");
    unsigned major = 0, minor = 0;
    int id = 0;
    if (!p || sscanf(p, "session started for device:(%u,%u) with session id: vek%d", &major,
                     &minor, &id) != 3)
      continue;
    // Our starts hold start_mu_ until their id is noted, so their lines are all known here.
    if (auto it = own_ids_.find(id); it != own_ids_.end()) {
      own_ids_.erase(it);
      continue;
    }
    tracker_.mark_broken(major, minor,
                         "a snapshot session another agent started (vek" + std::to_string(id) +
                             ") made the driver's change tracking of this device start over, "
                             "which can hide writes it had missed");
  }
  log_seen_ = log.size();
}

namespace {

// The read buffer starts on a page: on this hardware a copy into a destination a few bytes
// off a cache line runs several times slower.
struct ReadBuffer {
  explicit ReadBuffer(size_t n) : p(static_cast<char *>(std::aligned_alloc(4096, n))), size(n) {
    if (!p) throw Error("cannot allocate a read buffer of " + std::to_string(n) + " bytes");
  }
  ~ReadBuffer() { std::free(p); }
  ReadBuffer(const ReadBuffer &) = delete;
  ReadBuffer &operator=(const ReadBuffer &) = delete;
  char *data() const { return p; }
  char *p;
  size_t size;
};

struct Fd {
  int fd = -1;
  bool device = false;  // a descriptor of sys(), not of this process's files
  ~Fd() {
    if (fd >= 0) device ? (void)sys().close(fd) : (void)::close(fd);
  }
};

std::string vek_error(Snapshot &s) {
  try {
    std::string t = s.error_text();
    if (!t.empty()) return "; session vek" + std::to_string(s.id()) + " is in error: " + t;
  } catch (const Error &) {
  }
  return "";
}

// Copies [off, off + len) of the snapshot device to the image at the same offset.
void copy_range(Snapshot &snap, int vek, ImageWriter &img, uint64_t off, uint64_t len,
                ReadBuffer &buf, uint64_t &done, ProgressBar &bar,
                const std::atomic<int> *cancel) {
  while (len > 0) {
    if (cancel && *cancel)
      throw Error("interrupted by " + std::string(strsignal(*cancel)) + " at byte " + std::to_string(off) +
                  "; the snapshot was stopped and " + img.kept(), EINTR);
    size_t n = size_t(std::min<uint64_t>(len, buf.size));
    ssize_t r = sys().pread(vek, buf.data(), n, off_t(off));
    if (r < 0 && errno == EINTR) continue;  // a signal: asked again, unless it ends the backup
    if (r != ssize_t(n)) {
      int err = r < 0 ? errno : EIO;
      std::string what = r < 0 ? errno_text(err) : "short read of " + std::to_string(r) + " bytes";
      throw Error("reading " + snap.vek_path() + " at byte " + std::to_string(off) +
                      " failed: " + what + vek_error(snap) + "; " + img.kept(),
                  err);
    }
    try {
      img.write(buf.data(), n, off);
    } catch (const Error &e) {
      throw Error(std::string(e.what()) + "; " + img.kept(), e.code());
    }
    off += n;
    len -= n;
    done += n;
    bar.update(done);
  }
}

}  // namespace

BackupResult Agent::backup(const BackupOptions &opt) {
  if (opt.out.empty()) throw Error("no image file given");
  if (opt.nr_sects == 0) throw Error("device " + opt.device + " has no sectors");
  if (opt.read_block < 4096 || opt.read_block % 4096)
    throw Error("the read block must be a multiple of 4 KiB");
  ensure_agent_thread_name();
  // One backup at a time writes an image, and undoes first what an interrupted one left.
  ImageLock lock(opt.out);
  BackupResult res;
  res.recovered = recover_image(lock);
  if (opt.note)
    for (const std::string &n : res.recovered) opt.note(n);
  const uint64_t dev_bytes = opt.nr_sects * kSectorSize;
  const uint64_t nchunks = chunks_for_sectors(opt.nr_sects);
  res.chunks_total = nchunks;

  // Changes since the last backup's freeze, up to now. Settling them before the start also
  // catches a break in tracking that the new session's start would otherwise clear.
  const uint64_t folded_before = tracker_.records_folded();
  settle();
  note_foreign_starts();

  std::optional<uint64_t> gen;
  if (opt.incremental) {
    std::optional<ImageMeta> meta = read_meta(opt.out);
    if (meta && meta->device == opt.device && meta->nr_sects == opt.nr_sects &&
        meta->chunk_size == kChunkSize)
      gen = meta->generation;
  }
  // From here the device's records go to this backup's capture, and its old pending set is
  // this backup's to copy; whatever the outcome, the device is no longer followed as before.
  std::string why;
  std::optional<ChunkSet> pending =
      tracker_.begin_backup(opt.major, opt.minor, opt.nr_sects, opt.out, gen, why);
  struct EndCapture {
    ChangeTracker &t;
    bool done = false;
    ~EndCapture() {
      if (!done) t.end_backup(false, "", 0, "", 0);
    }
  } end_capture{tracker_};
  bool want_inc = opt.incremental && pending.has_value();
  if (opt.incremental && !want_inc) res.fallback_reason = why;
  ChunkSet needed(nchunks);
  if (want_inc) needed = std::move(*pending);

  if (opt.before_start) opt.before_start();
  SnapshotOptions so;
  so.start.major = opt.major;
  so.start.minor = opt.minor;
  so.start.device_name = opt.device;
  so.start.device_path = "/dev/" + opt.device;
  so.start.tracking = opt.tracking;
  so.workers = opt.workers;
  std::unique_ptr<Snapshot> snapp = start_own(so);
  Snapshot &snap = *snapp;
  res.session_id = snap.id();
  res.workers_short = snap.workers_short();
  res.start = snap.reply();
  res.start_called_ns = snap.start_called_ns();
  res.start_returned_ns = snap.start_returned_ns();

  // Records queued up to now: those from before the freeze belong to this backup, those after
  // it to the next; they cannot be told apart, so they count for both.
  tracker_.arm_capture();
  settle();
  note_foreign_starts();
  std::string broken = tracker_.incremental_broken();
  if (want_inc && !broken.empty()) {
    res.fallback_reason = broken;
    want_inc = false;
  }
  if (want_inc) needed.merge(tracker_.capture_set());
  res.incremental = want_inc;

  if (opt.on_started) opt.on_started(snap);

  // The previous backup stays whole until this one is: a full backup goes to a new file, an
  // incremental keeps the old contents of what it overwrites.
  std::unique_ptr<ImageWriter> img =
      want_inc ? update_image(lock, dev_bytes) : new_image(lock, dev_bytes);

  Fd vek;
  vek.device = true;
  // O_DIRECT: the page-aligned buffer is filled by the device itself, with no page cache of
  // the host in between that could hold a stale image.
  vek.fd = sys().open("vek" + std::to_string(snap.id()), O_RDONLY | O_DIRECT);
  if (vek.fd < 0) throw_errno("cannot open the snapshot device " + snap.vek_path(), errno);

  ReadBuffer buf(opt.read_block);
  uint64_t total = want_inc ? 0 : dev_bytes;
  std::vector<std::pair<uint64_t, uint64_t>> runs;
  if (want_inc) {
    runs = needed.runs();
    for (auto &[c, n] : runs) {
      uint64_t off = c * kChunkSize, end = std::min(dev_bytes, (c + n) * kChunkSize);
      total += end - off;
    }
  }
  const char *label = want_inc ? "incremental" : "backup";
  std::unique_ptr<ProgressBar> barp =
      opt.progress_sink
          ? std::make_unique<ProgressBar>(opt.progress_sink, label, total)
          : std::make_unique<ProgressBar>(
                opt.progress, label, total,
                opt.force_progress || (opt.progress && isatty(fileno(opt.progress))));
  ProgressBar &bar = *barp;
  auto t0 = std::chrono::steady_clock::now();
  uint64_t done = 0;
  if (want_inc) {
    for (auto &[c, n] : runs) {
      uint64_t off = c * kChunkSize, end = std::min(dev_bytes, (c + n) * kChunkSize);
      copy_range(snap, vek.fd, *img, off, end - off, buf, done, bar, opt.cancel);
    }
    res.chunks_copied = needed.count();
  } else {
    copy_range(snap, vek.fd, *img, 0, dev_bytes, buf, done, bar, opt.cancel);
    res.chunks_copied = nchunks;
  }
  bar.finish();
  res.copy_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  res.bytes_copied = done;
  res.hole_bytes = img->hole_bytes();
  img->flush();
  sys().close(vek.fd);
  vek.fd = -1;

  // A session that went into error may have lost preserved chunks: what was read is then no
  // point-in-time image, however cleanly the reads went.
  if (opt.after_copy) opt.after_copy(snap);
  std::optional<session_list> info = snap.info();
  std::string err = snap.error_text();
  if (!err.empty() || (info && info->error))
    throw Error("session vek" + std::to_string(snap.id()) + " went into error during the backup: " +
                (err.empty() ? std::string("(no reason given)") : err) +
                "; what was read is no valid backup, and " + img->kept());
  StopSummary st = snap.stop();
  res.chunks_preserved = st.chunks_preserved;
  res.stopped_backing_file = st.reply.backing_file;
  if (!st.error_text.empty())
    throw Error("session vek" + std::to_string(res.session_id) +
                " went into error during the backup: " + st.error_text +
                "; what was read is no valid backup, and " + img->kept());
  // Asked to end once the copy was done: the backup is not put in place.
  if (opt.cancel && *opt.cancel)
    throw Error("interrupted by " + std::string(strsignal(*opt.cancel)) +
                    " after the copy; the snapshot was stopped and " + img->kept(),
                EINTR);

  res.generation = new_generation();
  ImageMeta m;
  m.device = opt.device;
  m.nr_sects = opt.nr_sects;
  m.chunk_size = kChunkSize;
  m.generation = res.generation;
  m.snapshot_time = res.start.time;
  m.kind = want_inc ? "incremental" : "full";
  img->commit(m);
  res.records_drained = tracker_.records_folded() - folded_before;
  res.tracking_intact = opt.tracking && tracker_.capture_broken().empty();
  end_capture.done = true;
  tracker_.end_backup(opt.tracking, opt.device, res.generation, opt.out, res.start.time);
  return res;
}

std::string format_summary(const BackupOptions &opt, const BackupResult &r) {
  std::ostringstream o;
  if (!r.fallback_reason.empty())
    o << "note: incremental backup not possible (" << r.fallback_reason
      << "); made a full backup instead\n";
  double secs = r.copy_seconds;
  uint64_t whole = uint64_t(secs);
  o << (r.incremental ? "incremental backup" : "full backup") << " of " << opt.device << " to "
    << opt.out << "\n"
    << "  snapshot:         vek" << r.session_id << " at " << format_time(r.start.time) << "\n"
    << (r.workers_short.empty() ? "" : "  IO workers:       " + r.workers_short + "\n")
    << "  freeze:           " << format_duration(r.start.sec_froze, r.start.nsec_froze)
    << " frozen (" << format_duration(r.start.sec_get_freez, r.start.nsec_get_freez)
    << " to freeze)\n"
    << "  copied:           " << format_bytes(r.bytes_copied) << ", " << r.chunks_copied << " of "
    << r.chunks_total << " chunks, in " << format_duration(whole, uint64_t((secs - whole) * 1e9))
    << " (" << format_rate(r.bytes_copied, r.copy_seconds) << ")\n"
    << "  holes:            "
    << (r.hole_bytes ? format_bytes(r.hole_bytes) + " of all-zero chunks left unwritten (a sparse image)"
                     : std::string("none (no copied chunk was all zeroes)"))
    << "\n"
    << "  preserved:        " << r.chunks_preserved
    << (r.chunks_preserved == 1 ? " chunk" : " chunks") << " of 64 KiB ("
    << format_bytes(r.chunks_preserved * kChunkSize)
    << " of old contents the driver copied aside before the device overwrote them)\n"
    << "  stop:             vek" << r.session_id << " stopped, backing file "
    << r.stopped_backing_file << "\n"
    << "  change tracking:  "
    << (r.tracking_intact ? "intact, an incremental can follow" : "not kept") << "\n";
  return o.str();
}

}  // namespace agent
