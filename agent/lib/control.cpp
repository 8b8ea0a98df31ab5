#include "agent/control.h"

#include <fcntl.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "agent/error.h"
#include "agent/system.h"

namespace agent {

namespace {

template <size_t N>
void put_string(char (&dst)[N], const std::string &src, const char *what) {
  if (src.size() >= N)
    throw Error(std::string(what) + " is longer than " + std::to_string(N - 1) + " bytes");
  memcpy(dst, src.data(), src.size());
  dst[src.size()] = 0;
}

template <size_t N>
std::string get_string_field(const char (&src)[N]) {
  return std::string(src, strnlen(src, N));
}

std::string sid(int id) { return "vek" + std::to_string(id); }

}  // namespace

Control::Control(const std::string &device) {
  fd_ = sys().open(device, O_RDWR);
  if (fd_ < 0) {
    int err = errno;
    throw_errno("cannot open the driver's control device " + sys().path(device) +
                    " (is the module loaded?)",
                err);
  }
}

Control::~Control() {
  if (fd_ >= 0) sys().close(fd_);
}

long Control::raw(unsigned long cmd, void *arg) {
  int r = sys().ioctl(fd_, cmd, arg);
  return r < 0 ? -long(errno) : long(r);
}

size_t Control::log_mark() const { return sys().kernel_log().size(); }

std::string Control::driver_says(size_t mark) const {
  std::vector<std::string> log = sys().kernel_log();
  std::string out;
  for (size_t i = mark; i < log.size(); ++i) {
    const std::string &l = log[i];
    auto p = l.find("ERROR: ");
    if (p == std::string::npos) continue;
    std::string msg = l.substr(p + 7);
    while (!msg.empty() && (msg.back() == '\n' || msg.back() == ' ')) msg.pop_back();
    if (!out.empty()) out += "; ";
    out += msg;
  }
  return out.empty() ? out : " (driver: " + out + ")";
}

version_info Control::version() {
  version_info v{};
  if (raw(VEK_IOCTL_GET_VERSION, &v) < 0) throw_errno("version query failed", errno);
  return v;
}

StartReply Control::start(const StartParams &p) {
  auto req = std::make_unique<snap_shot_request>();
  memset(req.get(), 0, sizeof *req);
  req->major = int32_t(p.major);
  req->minor = int32_t(p.minor);
  req->mode = USER_SPACE_FILE | (p.tracking ? VEK_MODE_CHANGE_TRACKING : 0);
  put_string(req->device_name, p.device_name, "device name");
  put_string(req->device_path, p.device_path, "device path");
  put_string(req->backing_file, p.backing_stem, "backing file name");
  put_string(req->backing_dev, p.backing_dev, "backing device name");
  req->bfree = p.bfree;
  size_t mark = log_mark();
  long r = raw(VEK_IOCTL_START_VK2, req.get());
  std::string dev =
      p.device_name + " (" + std::to_string(p.major) + ":" + std::to_string(p.minor) + ")";
  if (r < 0) {
    int err = int(-r);
    if (req->id == VEK_ID_BACKING_FILE_IN_USE)
      throw Error("cannot snapshot " + dev + ": backing file " + p.backing_stem +
                      " is in use by another session",
                  err);
    throw_errno("cannot snapshot " + dev + driver_says(mark), err);
  }
  StartReply rep;
  rep.id = req->id;
  rep.mode = req->mode;
  rep.active_sessions = req->active_sessions;
  rep.time = req->time;
  rep.sec_get_freez = req->sec_get_freez;
  rep.nsec_get_freez = req->nsec_get_freez;
  rep.sec_froze = req->sec_froze;
  rep.nsec_froze = req->nsec_froze;
  if (rep.id < 1)
    throw Error("the driver started a snapshot of " + dev + " but returned session id " +
                std::to_string(rep.id));
  return rep;
}

StopReply Control::stop(int id) {
  auto req = std::make_unique<snap_shot_request>();
  memset(req.get(), 0, sizeof *req);
  req->id = id;
  size_t mark = log_mark();
  long r = raw(VEK_IOCTL_STOP_VK, req.get());
  if (r < 0) throw_errno("cannot stop session " + sid(id) + driver_says(mark), int(-r));
  StopReply rep;
  rep.backing_file = get_string_field(req->backing_file);
  rep.active_sessions = req->active_sessions;
  return rep;
}

int Control::count() {
  int32_t n = 0;
  if (raw(VEK_IOCTL_GET_VK_LIST_COUNT, &n) < 0) throw_errno("session count query failed", errno);
  return n;
}

std::vector<session_list> Control::list() {
  // The count may grow between the two commands; ask for a few spare entries and trust the
  // ids, since the driver zeroes entries beyond the sessions it has.
  int n = count();
  std::vector<session_list> v(size_t(n) + 4);
  session_list_request rq{};
  rq.size = int32_t(v.size());
  rq.sl = v.data();
  long r = raw(VEK_IOCTL_GET_VK_LIST2, &rq);
  if (r < 0) throw_errno("session list query failed", int(-r));
  std::vector<session_list> out;
  for (const session_list &e : v)
    if (e.id > 0) out.push_back(e);
  return out;
}

std::array<session_list, VEK_LIST_ENTRIES> Control::list_fixed() {
  std::array<session_list, VEK_LIST_ENTRIES> a{};
  long r = raw(VEK_IOCTL_GET_VK_LIST, a.data());
  if (r < 0) throw_errno("session list query failed", int(-r));
  return a;
}

std::optional<int> Control::session_of(uint32_t major, uint32_t minor) {
  auto req = std::make_unique<snap_shot_request>();
  memset(req.get(), 0, sizeof *req);
  req->major = int32_t(major);
  req->minor = int32_t(minor);
  if (raw(VEK_IOCTL_GET_VK_DEV, req.get()) < 0) return std::nullopt;
  return req->id;
}

static std::string string_query(Control &c, unsigned long cmd, int id, const char *what,
                                bool *found) {
  auto gs = std::make_unique<get_string>();
  memset(gs.get(), 0, sizeof *gs);
  gs->id = id;
  long r = c.raw(cmd, gs.get());
  if (found) *found = r >= 0;
  if (r < 0) {
    if (found) return "";
    throw_errno(std::string(what) + " query for session " + sid(id) + " failed (no such session?)",
                int(-r));
  }
  return get_string_field(gs->string);
}

std::string Control::device_path(int id) {
  return string_query(*this, VEK_IOCTL_GET_DEV_PATH, id, "device path", nullptr);
}
std::string Control::backing_file(int id) {
  return string_query(*this, VEK_IOCTL_GET_BACKING_FILE, id, "backing file", nullptr);
}
std::string Control::session_error(int id) {
  return string_query(*this, VEK_IOCTL_GET_SESSION_ERROR, id, "error text", nullptr);
}

void Control::set_file(int id, int fd, const std::string &name) {
  auto sf = std::make_unique<set_cow_file>();
  memset(sf.get(), 0, sizeof *sf);
  sf->id = id;
  sf->fd = fd;
  put_string(sf->backing_file, name, "backing file name");
  size_t mark = log_mark();
  long r = raw(VEK_IOCTL_SET_COW_FILE, sf.get());
  // This command reports failure as 1, not as a negative result.
  if (r < 0)
    throw_errno("cannot attach backing file to session " + sid(id) + driver_says(mark), int(-r));
  if (r != 0)
    throw Error("cannot attach backing file " + name + " to session " + sid(id) +
                driver_says(mark));
}

bool Control::wait_for_worker(int id) {
  auto req = std::make_unique<snap_shot_request>();
  memset(req.get(), 0, sizeof *req);
  req->id = id;
  return raw(VEK_IOCTL_THREAD_WAIT_TIMEOUT, req.get()) == 0;
}

bool Control::no_thread_shutdown(int id) {
  auto req = std::make_unique<snap_shot_request>();
  memset(req.get(), 0, sizeof *req);
  req->id = id;
  return raw(VEK_IOCTL_NO_THREAD_SHUTDOWN, req.get()) < 0;
}

// Both record formats share the request layout; only the record type differs.
template <class Request, class Record>
long Control::fetch_format(unsigned long cmd, int size, ChangeBatch &b, int32_t &tracking,
                           int32_t &inqueue) {
  std::vector<Record> v(size_t(size) + 1);  // never a zero-length array
  Request rq{};
  rq.size = size;
  rq.cru = v.data();
  long r = raw(cmd, &rq);
  if (r < 0) throw_errno("change-record fetch failed", int(-r));
  if (r > size) throw Error("the driver delivered more change records than asked for");
  for (long i = 0; i < r; ++i)
    b.records.push_back({v[i].major, v[i].minor, v[i].start_sector, v[i].num_sectors});
  tracking = rq.tracking;
  inqueue = rq.inqueue;
  return r;
}

ChangeBatch Control::fetch_changes(RecordFormat f, int size) {
  if (size < 0) throw Error("change-record batch size must not be negative");
  ChangeBatch b;
  int32_t tracking = 0, inqueue = 0;
  if (f == RecordFormat::v1)
    fetch_format<change_recrod_request, change_record_usr>(VEK_IOCTL_GET_CHANGED_RECORDS, size, b,
                                                           tracking, inqueue);
  else
    fetch_format<change_recrod_request_v2, change_record_usr_v2>(
        VEK_IOCTL_GET_CHANGED_RECORDS_V2, size, b, tracking, inqueue);
  b.tracking = tracking != 0;
  b.inqueue = inqueue;
  return b;
}

void Control::unblock_changes() {
  int32_t dummy = 0;
  if (raw(VEK_IOCTL_UNBLOCK_CHANGE_RECORDS, &dummy) < 0)
    throw_errno("change-record unblock failed", errno);
}

void Control::error_cts() {
  int32_t dummy = 0;
  if (raw(VEK_IOCTL_ERROR_CTS, &dummy) < 0)
    throw_errno("marking change tracking broken failed", errno);
}

void Control::list_locks() {
  int32_t dummy = 0;
  if (raw(VEK_IOCTL_LIST_LOCKS, &dummy) < 0) throw_errno("lock listing request failed", errno);
}

void Control::shutdown_driver() {
  int32_t dummy = 0;
  size_t mark = log_mark();
  long r = raw(VEK_IOCTL_UNLOAD, &dummy);
  if (r < 0) throw_errno("driver shutdown failed" + driver_says(mark), int(-r));
}

}  // namespace agent
