// The agent service (`qel-agent serve`) and its client. The service holds the control device
// open for as long as it runs, so the driver never drops change records for lack of a
// handle; a thread of its own fetches them all the time; and the changed-chunk map of every
// device it backed up is kept in its state directory. The CLI carries its commands to it over
// a Unix socket there, one JSON object per line each way.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <linux/close_range.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <list>
#include <random>
#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "agent/backup.h"
#include "agent/command.h"
#include "agent/error.h"
#include "agent/state.h"
#include "agent/system.h"

namespace agent {

using nlohmann::json;

void to_json(json &j, const Request &r) {
  const Globals &g = r.g;
  j["globals"] = {{"dev", g.dev},           {"state", g.state},
                  {"workers", g.workers},   {"buffer", g.buffer},
                  {"backing_dir", g.backing_dir}, {"backing_io", g.backing_io},
                  {"format", g.format},
                  {"progress", g.progress}, {"no_progress", g.no_progress}};
  j["commands"] = json::array();
  for (const Command &c : r.cmds)
    j["commands"].push_back({{"name", c.name},       {"device", c.device}, {"out", c.out},
                             {"no_tracking", c.no_tracking}, {"writer", c.writer},
                             {"wait", c.wait},       {"id", c.id},         {"json", c.json},
                             {"image", c.image},     {"against", c.against}});
}

void from_json(const json &j, Request &r) {
  const json &g = j.at("globals");
  r.g.dev = g.at("dev").get<std::string>();
  r.g.state = g.at("state").get<std::string>();
  r.g.workers = g.at("workers").get<int>();
  r.g.buffer = g.at("buffer").get<std::string>();
  r.g.backing_dir = g.at("backing_dir").get<std::string>();
  // A client from before the choice existed asks for the default.
  r.g.backing_io = g.value("backing_io", std::string("direct"));
  if (r.g.backing_io != "direct" && r.g.backing_io != "cached")
    throw json::other_error::create(501, "backing_io must be direct or cached", &g);
  r.g.format = g.at("format").get<int>();
  r.g.progress = g.at("progress").get<bool>();
  r.g.no_progress = g.at("no_progress").get<bool>();
  for (const json &c : j.at("commands")) {
    Command k;
    k.name = c.at("name").get<std::string>();
    k.device = c.at("device").get<std::string>();
    k.out = c.at("out").get<std::string>();
    k.no_tracking = c.at("no_tracking").get<bool>();
    k.writer = c.at("writer").get<bool>();
    k.wait = c.at("wait").get<bool>();
    k.id = c.at("id").get<int>();
    k.json = c.at("json").get<bool>();
    k.image = c.at("image").get<std::string>();
    k.against = c.at("against").get<std::string>();
    r.cmds.push_back(std::move(k));
  }
}

std::string default_state_dir() {
  if (const char *s = getenv("QEL_AGENT_STATE"); s && *s) return s;
  if (geteuid() == 0) return "/var/lib/qel-agent";
  if (const char *x = getenv("XDG_STATE_HOME"); x && *x) return std::string(x) + "/qel-agent";
  if (const char *h = getenv("HOME"); h && *h) return std::string(h) + "/.local/state/qel-agent";
  return "/tmp/qel-agent-" + std::to_string(geteuid());
}

std::string make_temp_dir(const std::string &prefix) {
  const char *t = getenv("TMPDIR");
  std::string tmpl = std::string(t && *t ? t : "/tmp") + "/" + prefix + "-XXXXXX";
  std::vector<char> b(tmpl.begin(), tmpl.end());
  b.push_back(0);
  if (!mkdtemp(b.data()))
    throw_errno("cannot create a directory for backing files from " + tmpl, errno);
  return b.data();
}

namespace {

std::string socket_path(const std::string &state) { return state + "/agent.sock"; }

// One line of JSON each way; sends may come from several threads of a request.
class Wire {
 public:
  explicit Wire(int fd) : fd_(fd) {}
  ~Wire() {
    if (fd_ >= 0) ::close(fd_);
  }
  Wire(const Wire &) = delete;
  Wire &operator=(const Wire &) = delete;
  int fd() const { return fd_; }

  bool send(const json &j) {
    // Text from the driver or a path need not be UTF-8; JSON must be.
    std::string line = j.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
    std::lock_guard<std::mutex> g(send_mu_);
    if (dead_) return false;
    size_t done = 0;
    while (done < line.size()) {
      ssize_t n = ::send(fd_, line.data() + done, line.size() - done, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        // Half a line is on its way: nothing more may follow it.
        dead_ = true;
        ::shutdown(fd_, SHUT_RDWR);
        return false;
      }
      done += size_t(n);
    }
    return true;
  }
  // Lines already received, then more from the socket: false at its end.
  bool read_line(std::string &line) {
    for (;;) {
      auto nl = in_.find('\n');
      if (nl != std::string::npos) {
        line = in_.substr(0, nl);
        in_.erase(0, nl + 1);
        return true;
      }
      char buf[4096];
      ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      in_.append(buf, size_t(n));
      if (in_.size() > (16u << 20)) return false;  // no request is that long
    }
  }

 private:
  int fd_;
  std::mutex send_mu_;
  bool dead_ = false;  // send_mu_
  std::string in_;
};

// An ostream whose text goes to the client as {"out": ...} or {"err": ...}.
class WireBuf : public std::stringbuf {
 public:
  WireBuf(Wire &w, const char *key) : w_(w), key_(key) {}
  ~WireBuf() override {
    try {
      sync();
    } catch (...) {
    }
  }
  int sync() override {
    std::string s = str();
    if (!s.empty()) {
      w_.send({{key_, s}});
      str("");
    }
    return 0;
  }

 private:
  Wire &w_;
  const char *key_;
};

std::string random_stamp() {
  std::random_device rd;
  char b[40];
  snprintf(b, sizeof b, "%08x%08x", rd(), rd());
  return b;
}

std::string canonical(const std::string &p) {
  std::error_code ec;
  std::filesystem::path c = std::filesystem::canonical(p, ec);
  return ec ? p : c.string();
}

// The state directory: made owner-only when new; one that others may enter is refused, since
// its socket takes backup requests.
void prepare_state_dir(const std::string &dir) {
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) throw Error("cannot create the state directory " + dir + ": " + ec.message());
  struct stat st;
  if (::lstat(dir.c_str(), &st) != 0) throw_errno("cannot stat " + dir, errno);
  if (!S_ISDIR(st.st_mode)) throw Error(dir + " is not a directory (a symbolic link is not taken)");
  if (st.st_uid != geteuid())
    throw Error("the state directory " + dir + " belongs to uid " + std::to_string(st.st_uid) +
                ", not to this user");
  if (st.st_mode & 077) {
    if (::chmod(dir.c_str(), 0700) != 0)
      throw_errno("the state directory " + dir + " is open to other users and cannot be closed",
                  errno);
  }
}

// One service per state directory, for as long as it runs.
int take_service_lock(const std::string &dir) {
  std::string path = dir + "/service.lock";
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) throw_errno("cannot open " + path, errno);
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    int err = errno;
    char pid[32] = {};
    ssize_t n = ::pread(fd, pid, sizeof pid - 1, 0);
    ::close(fd);
    if (err == EWOULDBLOCK)
      throw Error("an agent service already runs with the state directory " + dir +
                  (n > 0 ? " (pid " + std::string(pid, strcspn(pid, "\n")) + ")" : ""));
    throw_errno("cannot lock " + path, err);
  }
  std::string me = std::to_string(getpid()) + "\n";
  if (ftruncate(fd, 0) != 0 || ::pwrite(fd, me.data(), me.size(), 0) != ssize_t(me.size()))
    throw_errno("cannot write " + path, errno);
  return fd;
}

int listen_on(const std::string &path) {
  struct sockaddr_un a = {};
  a.sun_family = AF_UNIX;
  if (path.size() >= sizeof a.sun_path)
    throw Error("the socket path " + path + " is too long for a Unix socket");
  std::memcpy(a.sun_path, path.c_str(), path.size() + 1);
  ::unlink(path.c_str());  // a socket left by a service that died: ours now, by the lock
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw_errno("cannot create a socket", errno);
  mode_t old = umask(077);
  int r = ::bind(fd, reinterpret_cast<struct sockaddr *>(&a), sizeof a);
  int err = errno;
  umask(old);
  if (r != 0 || ::chmod(path.c_str(), 0600) != 0 || ::listen(fd, 16) != 0) {
    err = r != 0 ? err : errno;
    ::close(fd);
    throw_errno("cannot listen on " + path, err);
  }
  return fd;
}

// Why a device followed by an earlier run of the service cannot have an incremental now.
std::string restart_reason(const ServiceState &old, const std::string &dev,
                           const std::string &machine, const ChangeTracker::Device &d) {
  std::string name = d.name.empty() ? "this device" : d.name;
  if (old.dev != dev)
    return "the last backup of " + name + " was followed for the machine in " + old.dev +
           ", not " + dev;
  if (old.machine.empty() || old.machine != machine)
    return "the machine restarted since the last backup of " + name +
           ", so the driver's change tracking started over";
  return std::string("the agent service ") + (old.clean ? "restarted" : "ended without stopping") +
         " since the last backup of " + name +
         ": its control handle was closed, which breaks the driver's change tracking";
}

struct Connection {
  std::unique_ptr<Wire> wire;
  std::atomic<int> cancel{0};
  std::atomic<bool> done{false};
  std::thread thread;
};

class Service {
 public:
  Service(const Request &r, std::ostream &out, std::ostream &err) : req_(r), out_(out), err_(err) {}
  int run();

 private:
  void save(bool clean);
  void serve_connection(Connection &c);
  void accept_one(int lfd);

  const Request &req_;
  std::ostream &out_, &err_;
  std::string dev_, state_;
  std::string machine_, stamp_;
  std::unique_ptr<Agent> agent_;
  ServiceCore core_;
  std::mutex save_mu_;
  uint64_t saved_version_ = UINT64_MAX;  // save_mu_
  std::list<Connection> conns_;
};

void Service::save(bool clean) {
  std::lock_guard<std::mutex> g(save_mu_);
  uint64_t v = agent_->tracker().version();
  if (!clean && v == saved_version_) return;
  ServiceState s;
  s.dev = dev_;
  s.machine = machine_;
  s.service = stamp_;
  s.clean = clean;
  s.saved = uint64_t(time(nullptr));
  s.records = agent_->tracker().records_folded();
  s.devices = agent_->tracker().devices();
  try {
    save_state(state_, s);
    saved_version_ = v;
  } catch (const Error &e) {
    err_ << "qel-agent serve: " << e.what() << std::endl;
  }
}

void Service::serve_connection(Connection &c) {
  Wire &w = *c.wire;
  auto finish = [&](int code, const std::string &msg) {
    if (!msg.empty()) w.send({{"err", "qel-agent: error: " + msg + "\n"}});
    w.send({{"exit", code}});
  };
  std::string line;
  Request r;
  try {
    if (!w.read_line(line)) return;
    from_json(json::parse(line), r);
    for (const Command &k : r.cmds)
      if (k.name == "serve" || k.name == "demo" || k.name.empty())
        throw Error("the agent service does not run '" + k.name + "'");
  } catch (const std::exception &e) {
    finish(2, std::string("a request the service cannot read: ") + e.what());
    return;
  }
  if (!r.g.dev.empty() && canonical(r.g.dev) != dev_) {
    // The client decides: an error when it named this state directory, else it acts alone.
    w.send({{"serves", dev_}, {"exit", 2}});
    return;
  }
  // The client's further lines: a signal it took, or its end.
  std::thread reader([&] {
    std::string l;
    while (w.read_line(l)) {
      try {
        json j = json::parse(l);
        if (j.contains("cancel")) c.cancel = j["cancel"].get<int>();
      } catch (const std::exception &) {
      }
    }
    // The client is gone (killed, say): what it asked for ends as if it had taken SIGHUP.
    int zero = 0;
    c.cancel.compare_exchange_strong(zero, SIGHUP);
  });
  int code;
  {
    WireBuf ob(w, "out"), eb(w, "err");
    std::ostream o(&ob), e(&eb);
    RunHooks hooks;
    hooks.cancel = &c.cancel;
    hooks.progress = [&w, &c](const std::string &label, uint64_t done, uint64_t total, bool end) {
      if (!w.send({{"progress", {{"label", label}, {"done", done}, {"total", total}, {"end", end}}}})) {
        int zero = 0;
        c.cancel.compare_exchange_strong(zero, SIGPIPE);
      }
    };
    code = run_request(r, o, e, hooks, &core_);
    o.flush();
    e.flush();
  }
  w.send({{"exit", code}});
  ::shutdown(w.fd(), SHUT_RDWR);
  reader.join();
}

void Service::accept_one(int lfd) {
  int fd = ::accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return;
  auto wire = std::make_unique<Wire>(fd);
  // A client that stops reading must not stall a backup (and the service's stop) for ever: a
  // send that cannot go out in this time fails, and the request is cancelled.
  struct timeval tv = {30, 0};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  struct ucred cred = {};
  socklen_t len = sizeof cred;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || cred.uid != geteuid()) {
    wire->send({{"err", "qel-agent: error: the agent service of " + state_ +
                            " takes requests only from uid " + std::to_string(geteuid()) + "\n"},
                {"exit", 1}});
    return;
  }
  // Finished connections are joined here, so the list stays as long as the live ones.
  for (auto it = conns_.begin(); it != conns_.end();) {
    if (it->done) {
      it->thread.join();
      it = conns_.erase(it);
    } else {
      ++it;
    }
  }
  Connection &c = conns_.emplace_back();
  c.wire = std::move(wire);
  c.thread = std::thread([this, &c] {
    serve_connection(c);
    c.done = true;
  });
}

int Service::run() {
  if (req_.g.dev.empty()) {
    err_ << "qel-agent: error: serve needs --dev DIR, the device directory of a running "
            "vek-machine\n";
    return 2;
  }
  // Signals are taken by this thread alone, through a signalfd; every thread started from
  // here on has them blocked.
  sigset_t ends;
  sigemptyset(&ends);
  for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&ends, s);
  sigset_t old_mask;
  pthread_sigmask(SIG_BLOCK, &ends, &old_mask);
  struct Restore {
    sigset_t m;
    ~Restore() { pthread_sigmask(SIG_SETMASK, &m, nullptr); }
  } restore_mask{old_mask};

  // A service lives long: a descriptor it inherited would keep its parent's file (and that
  // file's mount) busy for all that time.
  close_range(3, ~0u, 0);
  dev_ = canonical(req_.g.dev);
  state_ = req_.g.state.empty() ? default_state_dir() : req_.g.state;
  state_ = std::filesystem::absolute(state_).lexically_normal().string();
  int lock_fd = -1, lfd = -1, sfd = -1;
  std::unique_ptr<System> replaced;
  bool system_chosen = false;
  int code = 0;
  try {
    prepare_state_dir(state_);
    lock_fd = take_service_lock(state_);
    replaced = use_system(machine_system(dev_));
    system_chosen = true;
    machine_ = sys().machine_id();
    stamp_ = random_stamp();
    agent_ = std::make_unique<Agent>(req_.g.format == 1 ? RecordFormat::v1 : RecordFormat::v2);
    agent_->tracker().set_unknown_reason(
        "no backup of this device was made through this agent service since it started");
    try {
      if (std::optional<ServiceState> old = load_state(state_)) {
        for (ChangeTracker::Device d : old->devices) {
          if (d.intact || d.broken.empty()) d.broken = restart_reason(*old, dev_, machine_, d);
          d.intact = false;
          agent_->tracker().restore(std::move(d));
        }
      }
    } catch (const Error &e) {
      err_ << "qel-agent serve: " << e.what() << "; starting without it" << std::endl;
    }
    save(false);
    agent_->watch_starts(sys().kernel_log().size());
    agent_->follow();
    core_.agent = agent_.get();
    // Backing files under the state directory: what a killed service left there is cleared
    // by the next one, which holds the lock.
    core_.tmp_dir = state_ + "/backing";
    {
      std::error_code ec;
      std::filesystem::remove_all(core_.tmp_dir, ec);
      if (!std::filesystem::create_directory(core_.tmp_dir, ec) || ec)
        throw Error("cannot create " + core_.tmp_dir + ": " + ec.message());
    }
    core_.saved_state = [this] { save(false); };
    lfd = listen_on(socket_path(state_));
    sfd = signalfd(-1, &ends, SFD_CLOEXEC);
    if (sfd < 0) throw_errno("cannot take signals", errno);
  } catch (const std::exception &e) {
    err_ << "qel-agent: error: " << e.what() << std::endl;
    code = 1;
  }
  if (code == 0) {
    out_ << "qel-agent: serving " << dev_ << "; state in " << state_ << "; requests on "
         << socket_path(state_) << std::endl;
    auto last_poke = std::chrono::steady_clock::now(), last_save = last_poke;
    for (;;) {
      struct pollfd p[2] = {{lfd, POLLIN, 0}, {sfd, POLLIN, 0}};
      int n = poll(p, 2, 500);
      if (n > 0 && (p[1].revents & POLLIN)) {
        struct signalfd_siginfo si;
        if (::read(sfd, &si, sizeof si) == ssize_t(sizeof si))
          out_ << "qel-agent serve: " << strsignal(int(si.ssi_signo)) << ", stopping" << std::endl;
        break;
      }
      if (n > 0 && (p[0].revents & POLLIN)) accept_one(lfd);
      std::string failed = agent_->follower()->failure();
      if (!failed.empty()) {
        err_ << "qel-agent serve: the machine serving " << dev_
             << " can no longer be reached (" << failed << "); stopping" << std::endl;
        code = 1;
        break;
      }
      // Fetches are let out at least once a second, so the map (and its file) keeps up even
      // while too few writes come to fill a batch.
      auto now = std::chrono::steady_clock::now();
      if (now - last_poke >= std::chrono::seconds(1)) {
        agent_->note_foreign_starts();
        agent_->follower()->poke();
        last_poke = now;
      }
      // The map is saved after every backup and at the stop; in between it is only news.
      if (now - last_save >= std::chrono::seconds(5)) {
        save(false);
        last_save = now;
      }
    }
    ::close(lfd);
    lfd = -1;
    ::unlink(socket_path(state_).c_str());
    for (Connection &c : conns_) {
      int zero = 0;
      c.cancel.compare_exchange_strong(zero, SIGTERM);
      // A client that never sent its request (or sends nothing more) must not hold the stop.
      ::shutdown(c.wire->fd(), SHUT_RD);
    }
    for (Connection &c : conns_) c.thread.join();
    conns_.clear();
    {
      std::lock_guard<std::mutex> g(core_.held_mu);
      core_.held.clear();  // their sessions are stopped
    }
    agent_->follower()->stop();
    save(true);
  }
  if (sfd >= 0) ::close(sfd);
  if (lfd >= 0) ::close(lfd);
  if (!core_.tmp_dir.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(core_.tmp_dir, ec);
  }
  agent_.reset();
  if (system_chosen) use_system(std::move(replaced));
  if (lock_fd >= 0) ::close(lock_fd);
  if (code == 0) out_ << "qel-agent serve: stopped" << std::endl;
  return code;
}

}  // namespace

int run_service(const Request &r, std::ostream &out, std::ostream &err) {
  Service s(r, out, err);
  return s.run();
}

int run_remote(const Request &r, const std::string &state_dir, bool explicit_state,
               std::ostream &out, std::ostream &err) {
  std::string path = socket_path(state_dir);
  struct sockaddr_un a = {};
  a.sun_family = AF_UNIX;
  if (path.size() >= sizeof a.sun_path) return -1;
  std::memcpy(a.sun_path, path.c_str(), path.size() + 1);
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  Wire w(fd);
  if (::connect(fd, reinterpret_cast<struct sockaddr *>(&a), sizeof a) != 0) {
    int e = errno;
    // No service runs there; or one that is not this user's, in a place nobody named.
    if (e == ENOENT || e == ECONNREFUSED || e == ENOTDIR || !explicit_state) return -1;
    err << "qel-agent: error: cannot reach the agent service at " << path << ": "
        << errno_text(e) << "\n";
    return 1;
  }
  struct ucred peer = {};
  socklen_t plen = sizeof peer;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &plen) != 0 || peer.uid != geteuid()) {
    err << "qel-agent: error: what listens at " << path << " is not this user's agent service\n";
    return 1;
  }
  if (!w.send(r)) {
    err << "qel-agent: error: the agent service at " << path << " did not take the request\n";
    return 1;
  }
  // The signals that end a command are passed on to the service, which ends it cleanly.
  sigset_t ends, old;
  sigemptyset(&ends);
  for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&ends, s);
  pthread_sigmask(SIG_BLOCK, &ends, &old);
  int sfd = signalfd(-1, &ends, SFD_CLOEXEC);
  std::unique_ptr<ProgressBar> bar;
  bool draw = !r.g.no_progress && (r.g.progress || isatty(STDERR_FILENO));
  int code = -2;
  std::string line, serves_other;
  bool signalled = false;
  while (code == -2) {
    struct pollfd p[2] = {{fd, POLLIN, 0}, {sfd, POLLIN, 0}};
    if (poll(p, sfd >= 0 ? 2 : 1, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (sfd >= 0 && (p[1].revents & POLLIN)) {
      struct signalfd_siginfo si;
      if (::read(sfd, &si, sizeof si) == ssize_t(sizeof si)) {
        // The first signal asks the service to end the command cleanly; a second one, when
        // that takes too long or the service does not answer, ends the client.
        if (signalled) {
          code = 128 + int(si.ssi_signo);
          err << "qel-agent: error: " << strsignal(int(si.ssi_signo))
              << " again; left the agent service without its answer\n";
          break;
        }
        signalled = true;
        w.send({{"cancel", int(si.ssi_signo)}});
      }
    }
    if (!(p[0].revents & (POLLIN | POLLHUP | POLLERR))) continue;
    if (!w.read_line(line)) break;
    json j;
    try {
      j = json::parse(line);
    } catch (const std::exception &) {
      continue;
    }
    if (j.contains("out")) out << j["out"].get<std::string>() << std::flush;
    if (j.contains("err")) {
      bar.reset();  // ends the bar's line first
      err << j["err"].get<std::string>() << std::flush;
    }
    if (j.contains("progress") && draw) {
      const json &pr = j["progress"];
      if (!bar)
        bar = std::make_unique<ProgressBar>(stderr, pr["label"].get<std::string>(),
                                            pr["total"].get<uint64_t>(), true);
      bar->update(pr["done"].get<uint64_t>());
      if (pr["end"].get<bool>()) {
        bar->finish();
        bar.reset();
      }
    }
    if (j.contains("serves")) {
      serves_other = j["serves"].get<std::string>();
      break;
    }
    if (j.contains("exit")) code = j["exit"].get<int>();
  }
  bar.reset();
  if (sfd >= 0) ::close(sfd);
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  if (!serves_other.empty()) {
    if (!explicit_state) return -1;
    err << "qel-agent: error: the agent service of " << state_dir << " serves " << serves_other
        << ", not " << r.g.dev << "\n";
    return 2;
  }
  if (code == -2) {
    err << "qel-agent: error: the agent service ended the connection before the command "
           "finished\n";
    code = 1;
  }
  return code;
}

}  // namespace agent
