#include "callers.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <unordered_map>

namespace machine {
namespace {

constexpr size_t kCommBytes = 16;  // a name of at most 15 bytes and its newline

// The text of a /proc file, read with one system call (small files only); errno tells why
// nothing came.
std::string read_proc(const std::string &path) {
  char buf[4096];
  errno = 0;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  ssize_t n = ::read(fd, buf, sizeof(buf));
  ::close(fd);
  return n > 0 ? std::string(buf, size_t(n)) : std::string();
}

// A status file's value for key ("Name:"): what follows the one tab after the key (a name
// may itself begin with blanks).
std::string status_field(const std::string &status, const std::string &key) {
  size_t at = status.compare(0, key.size(), key) == 0 ? 0 : status.find("\n" + key);
  if (at == std::string::npos) return {};
  at += (at ? 1 : 0) + key.size();
  if (at < status.size() && status[at] == '\t') at++;
  size_t end = status.find('\n', at);
  return status.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

// The status file's Name: escapes the two characters it would be ambiguous with.
std::string unescape_name(const std::string &s) {
  std::string out;
  for (size_t i = 0; i < s.size(); i++) {
    if (s[i] == '\\' && i + 1 < s.size() && (s[i + 1] == 'n' || s[i + 1] == '\\')) {
      out += s[i + 1] == 'n' ? '\n' : '\\';
      i++;
    } else {
      out += s[i];
    }
  }
  return out;
}

enum class comm_read { ok, ended, foreign };

// A comm file holds the name unescaped and one newline; ESRCH once its thread has ended.
// Anything else is no comm file's answer: the number was closed and reused elsewhere, and
// the descriptor is no longer ours to close.
comm_read read_comm(int fd, std::string *comm) {
  char buf[64];
  ssize_t n = ::pread(fd, buf, sizeof(buf), 0);
  if (n < 0 && errno == ESRCH) return comm_read::ended;
  if (n <= 0 || size_t(n) > kCommBytes || buf[n - 1] != '\n') return comm_read::foreign;
  comm->assign(buf, size_t(n - 1));
  return comm_read::ok;
}

// Threads seen before, by id: their process and a descriptor of /proc/<tgid>/task/<tid>/comm.
// Reading status costs an open, a formatted page and a close per request (12 us here, a
// fifth of an ioctl's time through the machine); a kept descriptor costs one read (2 us).
// A /proc descriptor stays bound to its thread, not to the id, and ends with it.
struct known_thread {
  pid_t tgid;
  int fd;
};

struct known_threads {
  std::mutex mu;
  std::unordered_map<pid_t, known_thread> by_tid;  // mu
  size_t max = max_known();
  // A sixteenth of the descriptors this process may hold, at most 256: the machine's own
  // files and its callers' come first.
  static size_t max_known() {
    struct rlimit rl {};
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0 || rl.rlim_cur == RLIM_INFINITY) return 256;
    return std::clamp<size_t>(size_t(rl.rlim_cur / 16), 1, 256);
  }
};
known_threads &known() {
  static known_threads *k = new known_threads();
  return *k;
}

using known_iter = std::unordered_map<pid_t, known_thread>::iterator;

// Drops an entry, closing its descriptor unless the number is someone else's now. k.mu held.
known_iter drop(known_threads &k, known_iter it, comm_read why) {
  if (why != comm_read::foreign) ::close(it->second.fd);
  return k.by_tid.erase(it);
}

// Room for one more, at the cost of a few reads under the lock: of the first entries, those
// whose threads have ended go; if none has, the first one does. k.mu held.
void make_room(known_threads &k) {
  constexpr int kLooks = 8;
  std::string comm;
  size_t before = k.by_tid.size();
  int looked = 0;
  for (auto it = k.by_tid.begin(); it != k.by_tid.end() && looked < kLooks; looked++) {
    comm_read r = read_comm(it->second.fd, &comm);
    it = r == comm_read::ok ? std::next(it) : drop(k, it, r);
  }
  if (k.by_tid.size() == before && !k.by_tid.empty()) drop(k, k.by_tid.begin(), comm_read::ok);
}

// Gives back every kept descriptor: the process has run out of them.
void forget_all() {
  known_threads &k = known();
  std::lock_guard<std::mutex> g(k.mu);
  for (auto &[id, t] : k.by_tid) ::close(t.fd);
  k.by_tid.clear();
}

// Answered from a known thread's descriptor; false when tid is not known or has ended.
bool known_identity(pid_t tid, thread_identity *who) {
  known_threads &k = known();
  std::lock_guard<std::mutex> g(k.mu);
  auto it = k.by_tid.find(tid);
  if (it == k.by_tid.end()) return false;
  comm_read r = read_comm(it->second.fd, &who->comm);
  if (r == comm_read::ok) {
    who->tgid = it->second.tgid;
    return true;
  }
  drop(k, it, r);
  return false;
}

// The comm file exists under tgid only while tid is a thread of tgid, so a descriptor that
// opens names the thread status spoke of (or a new thread of the same process).
void remember(pid_t tid, thread_identity *who) {
  std::string path =
      "/proc/" + std::to_string(who->tgid) + "/task/" + std::to_string(tid) + "/comm";
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  if (read_comm(fd, &who->comm) != comm_read::ok) {
    ::close(fd);
    return;
  }
  known_threads &k = known();
  std::lock_guard<std::mutex> g(k.mu);
  if (k.by_tid.size() >= k.max) make_room(k);
  if (!k.by_tid.emplace(tid, known_thread{who->tgid, fd}).second) ::close(fd);
}

}  // namespace

thread_identity identity_from_status(const std::string &status, pid_t tid) {
  thread_identity who{tid, {}};
  std::string tgid = status_field(status, "Tgid:");
  if (!tgid.empty()) who.tgid = pid_t(std::strtol(tgid.c_str(), nullptr, 10));
  who.comm = unescape_name(status_field(status, "Name:"));
  return who;
}

thread_identity identity_of(pid_t tid) {
  thread_identity who{tid, {}};
  if (tid <= 0) return who;
  if (known_identity(tid, &who)) return who;
  const std::string path = "/proc/" + std::to_string(tid) + "/status";
  std::string status = read_proc(path);
  bool starved = status.empty() && (errno == EMFILE || errno == ENFILE);
  if (starved) {
    // Out of descriptors, the kept ones among them: a caller must not pass for gone, and
    // none is kept again until the next lookup.
    forget_all();
    status = read_proc(path);
  }
  if (status.empty()) return who;
  who = identity_from_status(status, tid);
  if (!starved) remember(tid, &who);
  return who;
}

}  // namespace machine
