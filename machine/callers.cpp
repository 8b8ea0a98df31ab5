#include "callers.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <unordered_map>

namespace machine {
namespace {

// The text of a /proc file, read with one system call (small files only).
std::string read_proc(const std::string &path) {
  char buf[4096];
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

// A comm file holds the name unescaped and a newline. False once its thread has ended.
bool read_comm(int fd, std::string *comm) {
  char buf[64];
  ssize_t n = ::pread(fd, buf, sizeof(buf), 0);
  if (n <= 0) return false;
  if (buf[n - 1] == '\n') n--;
  comm->assign(buf, size_t(n));
  return true;
}

// Threads seen before, by id: their process and a descriptor of /proc/<tgid>/task/<tid>/comm.
// Reading status costs an open, a formatted page and a close per request (a tenth of a
// small write's time, measured); a kept descriptor costs one read. A /proc descriptor stays
// bound to its thread, not to the id, and ends with it.
struct known_thread {
  pid_t tgid;
  int fd;
};
constexpr size_t kMaxKnown = 256;  // descriptors held; all are dropped when it is reached

struct known_threads {
  std::mutex mu;
  std::unordered_map<pid_t, known_thread> by_tid;  // mu
};
known_threads &known() {
  static known_threads *k = new known_threads();
  return *k;
}

// Answered from a known thread's descriptor; false when tid is not known or has ended.
bool known_identity(pid_t tid, thread_identity *who) {
  known_threads &k = known();
  std::lock_guard<std::mutex> g(k.mu);
  auto it = k.by_tid.find(tid);
  if (it == k.by_tid.end()) return false;
  if (read_comm(it->second.fd, &who->comm)) {
    who->tgid = it->second.tgid;
    return true;
  }
  ::close(it->second.fd);
  k.by_tid.erase(it);
  return false;
}

// The comm file exists under tgid only while tid is a thread of tgid, so a descriptor that
// opens names the thread status spoke of (or a new thread of the same process).
void remember(pid_t tid, thread_identity *who) {
  std::string path = "/proc/" + std::to_string(who->tgid) + "/task/" + std::to_string(tid) + "/comm";
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  if (!read_comm(fd, &who->comm)) {
    ::close(fd);
    return;
  }
  known_threads &k = known();
  std::lock_guard<std::mutex> g(k.mu);
  if (k.by_tid.size() >= kMaxKnown) {
    for (auto &[id, t] : k.by_tid) ::close(t.fd);
    k.by_tid.clear();
  }
  if (!k.by_tid.emplace(tid, known_thread{who->tgid, fd}).second) ::close(fd);
}

}  // namespace

thread_identity identity_of(pid_t tid) {
  thread_identity who{tid, {}};
  if (tid <= 0) return who;
  if (known_identity(tid, &who)) return who;
  std::string status = read_proc("/proc/" + std::to_string(tid) + "/status");
  if (status.empty()) return who;
  std::string tgid = status_field(status, "Tgid:");
  if (!tgid.empty()) who.tgid = pid_t(std::strtol(tgid.c_str(), nullptr, 10));
  who.comm = unescape_name(status_field(status, "Name:"));
  remember(tid, &who);
  return who;
}

}  // namespace machine
