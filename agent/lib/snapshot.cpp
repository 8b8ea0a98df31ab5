#include "agent/snapshot.h"

#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <optional>
#include <set>

#include "agent/error.h"
#include "agent/progress.h"
#include "agent/system.h"
#include "agent/workload.h"
#include "vekdriver.h"

namespace agent {

namespace {

// The id the driver gives the next session: its lowest free snapshot device number. Another
// agent of a running machine may take it first; the start's reply says.
int next_session_id(Control &ctl) {
  std::set<int> used;
  for (const session_list &s : ctl.list()) used.insert(s.id);
  for (const DeviceInfo &d : sys().devices())
    if (d.name.rfind("vek", 0) == 0 && d.name.size() > 3 &&
        d.name.find_first_not_of("0123456789", 3) == std::string::npos)
      used.insert(std::stoi(d.name.substr(3)));
  int id = 1;
  while (used.count(id)) ++id;
  return id;
}

// The process has this machine's control device open: an agent of the same machine.
bool shares_control(pid_t pid) {
  struct stat ctl;
  if (pid <= 0 || ::stat(sys().path("vekdriver").c_str(), &ctl) != 0) return false;
  std::error_code ec;
  for (const auto &e : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
    struct stat st;
    if (::stat(e.path().c_str(), &st) == 0 && st.st_dev == ctl.st_dev && st.st_ino == ctl.st_ino)
      return true;
  }
  return false;
}

}  // namespace

Snapshot::Snapshot(Control &ctl, const SnapshotOptions &opt) : ctl_(ctl) {
  check_worker_options(opt.workers);
  StartParams p = opt.start;
  std::string dir = opt.workers.dir.empty() ? "." : opt.workers.dir;
  if (p.backing_stem.empty())
    p.backing_stem = dir + "/" + (p.device_name.empty() ? "snap" : p.device_name);
  std::string stem = p.backing_stem;
  auto slash = stem.rfind('/');
  std::string base = slash == std::string::npos ? stem : stem.substr(slash + 1);
  WorkerOptions w = opt.workers;
  asked_workers_ = w.count;
  w.dir = slash == std::string::npos ? "." : stem.substr(0, slash);
  auto files_for = [&](int id) {
    return BackingFiles(w.dir, base + ".cow_vek" + std::to_string(id), w.count, w.keep_files,
                        w.direct);
  };
  // The backing files are made and locked before the start: one that another session has
  // is refused while nothing is started yet.
  // Another agent of this machine starting at the same moment may have guessed the same id
  // and hold its files: its start takes that id, and this one most likely the next.
  int expected = next_session_id(ctl_);
  std::optional<BackingFiles> made;
  for (int tries = 0; !made; ++tries) {
    try {
      made.emplace(files_for(expected));
    } catch (const BackingFileInUse &e) {
      if (tries == VEK_MAX_SESSIONS || !shares_control(e.holder())) throw;
      ++expected;
    }
  }
  BackingFiles files = std::move(*made);
  t_called_ = now_ns();
  reply_ = ctl_.start(p);
  backing_file_ = p.backing_stem + ".cow_vek" + std::to_string(reply_.id);
  t_returned_ = now_ns();
  try {
    if (reply_.id != expected) {
      files.close();  // those of the id we did not get
      files = files_for(reply_.id);
    }
    pool_ = std::make_unique<WorkerPool>(ctl_, reply_.id, std::move(files), w);
    pool_->wait_ready();
  } catch (...) {
    // wait_ready may already have had the driver stop it; stopping an absent id succeeds.
    try {
      ctl_.stop(reply_.id);
    } catch (const Error &) {
    }
    if (pool_) pool_->join(10000);
    stopped_ = true;
    throw;
  }
}

Snapshot::~Snapshot() {
  if (stopped_) return;
  try {
    stop();
  } catch (const Error &e) {
    fprintf(stderr, "qel-agent: %s\n", e.what());
  }
}

// Ids are given again once free: a session of our id with another snapshot time or backing
// file is someone else's, started after ours was stopped from outside.
std::optional<session_list> Snapshot::info() {
  for (const session_list &s : ctl_.list()) {
    if (s.id != reply_.id || s.time != reply_.time) continue;
    try {
      if (ctl_.backing_file(s.id) == backing_file_) return s;
    } catch (const Error &) {
      // gone since the list
    }
  }
  return std::nullopt;
}

int Snapshot::workers_lent() const { return pool_ ? pool_->entered() : 0; }

std::vector<std::string> Snapshot::worker_problems() const {
  return pool_ ? pool_->problems() : std::vector<std::string>();
}

std::string Snapshot::workers_short() const {
  int lent = workers_lent();
  if (lent >= asked_workers_) return "";
  std::string s = std::to_string(lent) + " of " + std::to_string(asked_workers_) + " IO workers";
  std::vector<std::string> why = worker_problems();
  for (size_t i = 0; i < why.size(); ++i) s += (i ? "; " : " (") + why[i];
  return why.empty() ? s : s + ")";
}

std::string Snapshot::vek_path() const { return sys().path("vek" + std::to_string(reply_.id)); }

std::string Snapshot::error_text() {
  std::string t = ctl_.session_error(reply_.id);
  return t == "NO ERROR" ? "" : t;
}

StopSummary Snapshot::stop() {
  StopSummary s;
  if (stopped_) return s;
  std::optional<session_list> i = info();
  if (i) {
    s.chunks_preserved = i->changed_blocks;
    s.error_text = error_text();
    s.reply = ctl_.stop(reply_.id);
  }
  // Gone already (stopped by another agent): its id may be someone else's by now.
  stopped_ = true;
  if (pool_ && !pool_->join())
    throw Error("the IO workers of session vek" + std::to_string(reply_.id) +
                " did not leave the driver after the stop");
  return s;
}

std::string session_summary_line(const session_list &s) {
  char buf[256];
  snprintf(buf, sizeof buf, "vek%d  chunks %llu  freeze %s  mode %d  %s", s.id,
           (unsigned long long)s.changed_blocks, format_seconds(s.sec_froze, s.nsec_froze).c_str(),
           s.mode, s.error ? "ERROR" : "ok");
  return buf;
}

}  // namespace agent
