#define FUSE_USE_VERSION 314
#include "devfs.h"
#include "callers.h"

#include <fcntl.h>
#include <fuse_lowlevel.h>
#include <linux/falloc.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <mutex>
#include <optional>
#include <random>
#include <sstream>
#include <thread>
#include <vector>

#include <host/host.h>
#include <vekdriver.h>

#include "agent/error.h"

namespace machine {
namespace {

constexpr fuse_ino_t kRootIno = FUSE_ROOT_ID;
constexpr fuse_ino_t kControlIno = 2;
constexpr fuse_ino_t kKmsgIno = 3;
// A block device's inode number is derived from its dev_t, so nothing needs remembering
// while snapshot devices come and go.
constexpr fuse_ino_t kBlockBase = fuse_ino_t(1) << 32;
constexpr const char *kControlName = "vekdriver";
constexpr const char *kKmsgName = "kmsg";

enum class Kind { root, control, kmsg, block };

struct Node {
  Kind kind;
  fuse_ino_t ino;
  std::string name;
  dev_t dev = 0;
  uint64_t size = 0;
};

std::string kmsg_text() {
  std::string s;
  for (const std::string &l : host::dmesg()) s += l + "\n";
  return s;
}

std::optional<Node> block_node(const std::function<bool(const host::block_device_info &)> &match) {
  for (const host::block_device_info &b : host::block_devices())
    if (match(b)) return Node{Kind::block, kBlockBase + b.dev, b.name, b.dev, b.nr_sects * 512};
  return std::nullopt;
}

std::optional<Node> node_by_ino(fuse_ino_t ino) {
  switch (ino) {
    case kRootIno: return Node{Kind::root, ino, "", 0, 0};
    case kControlIno: return Node{Kind::control, ino, kControlName, 0, 0};
    case kKmsgIno: return Node{Kind::kmsg, ino, kKmsgName, 0, kmsg_text().size()};
  }
  if (ino < kBlockBase) return std::nullopt;
  return block_node([&](const host::block_device_info &b) { return kBlockBase + b.dev == ino; });
}

std::optional<Node> node_by_name(const char *name) {
  if (std::strcmp(name, kControlName) == 0) return node_by_ino(kControlIno);
  if (std::strcmp(name, kKmsgName) == 0) return node_by_ino(kKmsgIno);
  return block_node([&](const host::block_device_info &b) { return b.name == name; });
}

struct stat attr_of(const Node &n) {
  struct stat st = {};
  st.st_ino = n.ino;
  st.st_uid = getuid();
  st.st_gid = getgid();
  st.st_blksize = 4096;
  // The devices came with the machine: their times are its start.
  static const time_t started = time(nullptr);
  st.st_atime = st.st_mtime = st.st_ctime = started;
  switch (n.kind) {
    case Kind::root: st.st_mode = S_IFDIR | 0755; st.st_nlink = 2; break;
    case Kind::control: st.st_mode = S_IFREG | 0600; st.st_nlink = 1; break;
    case Kind::kmsg: st.st_mode = S_IFREG | 0444; st.st_nlink = 1; break;
    // Regular files, not block nodes: a block node's rdev would name a device of the host.
    case Kind::block: st.st_mode = S_IFREG | 0660; st.st_nlink = 1; break;
  }
  st.st_size = off_t(n.size);
  st.st_blocks = off_t((n.size + 511) / 512);
  return st;
}

// ---- who asked ----

// FUSE names the calling thread by its thread id; its process and name are looked up for
// every request. A caller that is gone keeps its thread id as process id (its copies then
// fail).
host::caller caller_of(fuse_req_t req, bool caller_memory) {
  host::caller c;
  c.pid = fuse_req_ctx(req)->pid;
  c.caller_memory = caller_memory;
  thread_identity who = identity_of(c.pid);
  c.tgid = who.tgid;
  c.comm = std::move(who.comm);
  return c;
}

// ---- interrupts ----

uint64_t hex_field(const std::string &line, const char *key) {
  size_t n = std::strlen(key);
  return line.compare(0, n, key) == 0 ? std::strtoull(line.c_str() + n, nullptr, 16) : 0;
}

// The signal a FUSE interrupt stands for. FUSE does not say which one interrupted the caller,
// but it stays pending on the caller's thread while the thread waits for our reply: take the
// lowest unblocked one there, which the kernel will deliver first, so that the emulated task
// gets the signal whose handler its table is asked about. None left (another thread took a
// shared one): SIGKILL when the thread is gone or exiting, so that killable waits end too;
// else SIGINT, an ordinary interrupting signal.
int interrupt_signal(pid_t tgid, pid_t tid) {
  std::ifstream st("/proc/" + std::to_string(tgid) + "/task/" + std::to_string(tid) + "/status");
  if (!st) return SIGKILL;
  uint64_t pending = 0, blocked = 0;
  char state = 0;
  for (std::string line; std::getline(st, line);) {
    pending |= hex_field(line, "SigPnd:") | hex_field(line, "ShdPnd:");
    blocked |= hex_field(line, "SigBlk:");
    if (line.rfind("State:", 0) == 0) {
      size_t at = line.find_first_not_of(" \t", 6);
      if (at != std::string::npos) state = line[at];
    }
  }
  uint64_t ready = pending & ~blocked;
  if (ready) return __builtin_ctzll(ready) + 1;
  return state == 0 || state == 'Z' || state == 'X' ? SIGKILL : SIGINT;
}

struct Interruptee {
  pid_t tid, tgid;
};

// libfuse calls this on another worker when the kernel sends FUSE_INTERRUPT for the request,
// or at once when it is registered after the interrupt came.
void on_interrupt(fuse_req_t, void *data) {
  const auto *who = static_cast<const Interruptee *>(data);
  host::signal_task(who->tid, interrupt_signal(who->tgid, who->tid));
}

// Runs fn as the caller's task. A caller the kernel gives no pid (pid 0: one outside the
// machine's pid namespace) runs as the worker's own task, which may not stand in for it where
// its memory or descriptors are needed: false then, and fn does not run.
bool as_caller(fuse_req_t req, bool caller_memory, const std::function<void()> &fn) {
  if (fuse_req_ctx(req)->pid <= 0) {
    if (caller_memory) return false;
    fn();
    return true;
  }
  const host::caller c = caller_of(req, caller_memory);
  host::run_as_caller(c, [&] {
    // Only now is there a task for the signal to be pending on.
    Interruptee who{c.pid, c.tgid};
    fuse_req_interrupt_func(req, on_interrupt, &who);
    fn();
    // Before the task goes, so that a late interrupt cannot reach the thread's next request;
    // this waits for a call already running.
    fuse_req_interrupt_func(req, nullptr, nullptr);
  });
  return true;
}

// ---- open files ----

struct Handle {
  Kind kind;
  int fd = -1;          // the machine's descriptor (control and block files)
  dev_t dev = 0;
  bool mounted = false;  // block file of a device with a file system on it
  std::string text;      // kmsg: the log as it was at open
  // Who opened it: the close runs as that task, as in the kernel (a release comes from nobody,
  // and the driver counts a device's openers by their pid and name). pid 0: the machine.
  host::caller opener;
  int busy = 0;          // State::mu: requests using fd
  bool left = false;     // State::mu: closed by the machine; the last request closes it
};

struct State {
  explicit State(const DevfsOptions &o) : opt(o) {}
  DevfsOptions opt;
  std::mutex mu;
  std::set<Handle *> open;  // mu
  // Closed by the machine while requests may still be on their way to them: kept until the
  // loop has ended, so a request between handle_of() and its InUse finds a closed descriptor
  // rather than freed memory.
  std::vector<Handle *> retired;  // mu
  std::atomic<unsigned> parked{0};  // requests inside RunIOThread
};
State *g_state;

Handle *handle_of(struct fuse_file_info *fi) { return reinterpret_cast<Handle *>(fi->fh); }

void close_fd(Handle *h) {
  if (h->fd < 0) return;
  if (h->opener.pid > 0)
    host::run_as_caller(h->opener, [&] { host::close(h->fd); });
  else
    host::close(h->fd);
  h->fd = -1;
}

void close_handle(Handle *h) {
  close_fd(h);
  delete h;
}

// A request's use of a handle's descriptor: a handle the machine closes while a request
// still uses it (close_left_handles) is closed when the last such request ends.
class InUse {
 public:
  explicit InUse(Handle *h) : h_(h) {
    std::lock_guard<std::mutex> g(g_state->mu);
    h_->busy++;
  }
  ~InUse() {
    bool last;
    {
      std::lock_guard<std::mutex> g(g_state->mu);
      last = --h_->busy == 0 && h_->left;
    }
    if (last) close_handle(h_);
  }
  InUse(const InUse &) = delete;
  InUse &operator=(const InUse &) = delete;

 private:
  Handle *h_;
};

// errno of a failed host call for a reply: never 0 (a reply of error 0 would claim success)
// and never one of the kernel's own numbers of 512 and up, which the kernel refuses in a
// reply. An interrupted wait's restart request becomes EINTR: through FUSE the caller's system
// call cannot be restarted, it fails as a kernel call whose handler ran without SA_RESTART.
int err_or(int e) {
  if (e <= 0) return EIO;
  if (e < 512) return e;
  if (e == 515) return ENOTTY;  // ENOIOCTLCMD
  return e <= 516 ? EINTR : EIO;  // ERESTARTSYS, ERESTARTNOINTR, ERESTARTNOHAND, ERESTART_RESTARTBLOCK
}

// ---- operations ----

void op_lookup(fuse_req_t req, fuse_ino_t parent, const char *name) {
  std::optional<Node> n = parent == kRootIno ? node_by_name(name) : std::nullopt;
  if (!n) {
    fuse_reply_err(req, ENOENT);
    return;
  }
  struct fuse_entry_param e = {};
  e.ino = n->ino;
  e.attr = attr_of(*n);
  // No caching: a snapshot device may vanish and its size is asked each time.
  e.attr_timeout = 0;
  e.entry_timeout = 0;
  fuse_reply_entry(req, &e);
}

void op_getattr(fuse_req_t req, fuse_ino_t ino, struct fuse_file_info *) {
  std::optional<Node> n = node_by_ino(ino);
  if (!n) {
    fuse_reply_err(req, ENOENT);
    return;
  }
  struct stat st = attr_of(*n);
  fuse_reply_attr(req, &st, 0);
}

// Devices have fixed sizes: a truncate on open (dd of=...) or a time change is accepted and
// changes nothing, as on a real device node.
void op_setattr(fuse_req_t req, fuse_ino_t ino, struct stat *, int, struct fuse_file_info *fi) {
  op_getattr(req, ino, fi);
}

void op_readdir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, struct fuse_file_info *) {
  if (ino != kRootIno) {
    fuse_reply_err(req, ENOTDIR);
    return;
  }
  std::vector<std::pair<std::string, struct stat>> ents;
  struct stat dir = {};
  dir.st_ino = kRootIno;
  dir.st_mode = S_IFDIR;
  ents.push_back({".", dir});
  ents.push_back({"..", dir});
  for (fuse_ino_t i : {kControlIno, kKmsgIno}) ents.push_back({node_by_ino(i)->name, attr_of(*node_by_ino(i))});
  for (const host::block_device_info &b : host::block_devices())
    ents.push_back({b.name, attr_of(Node{Kind::block, kBlockBase + b.dev, b.name, b.dev, b.nr_sects * 512})});
  std::vector<char> buf(size);
  size_t used = 0;
  for (size_t i = size_t(off); i < ents.size(); i++) {
    size_t need = fuse_add_direntry(req, buf.data() + used, size - used, ents[i].first.c_str(), &ents[i].second,
                                    off_t(i + 1));
    if (need > size - used) break;
    used += need;
  }
  fuse_reply_buf(req, buf.data(), used);
}

void op_open(fuse_req_t req, fuse_ino_t ino, struct fuse_file_info *fi) {
  std::optional<Node> n = node_by_ino(ino);
  if (!n || n->kind == Kind::root) {
    fuse_reply_err(req, n ? EISDIR : ENOENT);
    return;
  }
  auto *h = new Handle{n->kind};
  int err = 0;
  if (n->kind == Kind::kmsg) {
    if ((fi->flags & O_ACCMODE) != O_RDONLY) err = EACCES;
    h->text = kmsg_text();
  } else {
    std::string path = "/dev/" + (n->kind == Kind::control ? std::string(kControlName) : n->name);
    if (fuse_req_ctx(req)->pid > 0) h->opener = caller_of(req, false);
    as_caller(req, false, [&] {
      h->fd = host::open(path.c_str(), fi->flags & O_ACCMODE);
      if (h->fd < 0) err = err_or(errno);
    });
    h->dev = n->dev;
    h->mounted = n->kind == Kind::block && g_state->opt.mounted.count(n->dev);
  }
  if (err) {
    close_handle(h);
    fuse_reply_err(req, err);
    return;
  }
  // Every read and write reaches the device: no page cache of the host in between.
  fi->direct_io = 1;
  fi->keep_cache = 0;
  fi->nonseekable = n->kind == Kind::control;
  fi->fh = reinterpret_cast<uint64_t>(h);
  {
    std::lock_guard<std::mutex> g(g_state->mu);
    g_state->open.insert(h);
  }
  if (fuse_reply_open(req, fi) != 0) {
    // The opener is gone (interrupted): no release will come for this handle. The request
    // is freed by the reply, so the close runs as the worker's own task.
    {
      std::lock_guard<std::mutex> g(g_state->mu);
      g_state->open.erase(h);
    }
    close_handle(h);
  }
}

// A request replies before its InUse ends, so the caller may close the file and its release
// arrive while that request still holds the handle: the last one out closes it then.
void op_release(fuse_req_t req, fuse_ino_t, struct fuse_file_info *fi) {
  Handle *h = handle_of(fi);
  bool close_now = false;
  {
    std::lock_guard<std::mutex> g(g_state->mu);
    if (g_state->open.erase(h) > 0) {
      close_now = h->busy == 0;
      if (!close_now) h->left = true;
    }
  }
  if (close_now) close_handle(h);
  fuse_reply_err(req, 0);
}

void op_read(fuse_req_t req, fuse_ino_t, size_t size, off_t off, struct fuse_file_info *fi) {
  Handle *h = handle_of(fi);
  // Past the reply too: the kernel may pass the release on before the reply call has returned.
  InUse use(h);
  if (h->kind == Kind::kmsg) {
    size_t at = std::min(size_t(off), h->text.size());
    fuse_reply_buf(req, h->text.data() + at, std::min(size, h->text.size() - at));
    return;
  }
  if (h->kind != Kind::block) {
    fuse_reply_err(req, EINVAL);  // the control device has no read
    return;
  }
  std::vector<char> buf(size);
  ssize_t r = -1;
  int err = 0;
  as_caller(req, false, [&] {
    r = host::pread(h->fd, buf.data(), size, off);
    if (r < 0) err = err_or(errno);
  });
  if (r < 0)
    fuse_reply_err(req, err);
  else
    fuse_reply_buf(req, buf.data(), size_t(r));
}

// A write to a device with a file system goes through that file system, so that it is held
// while the file system is frozen, as the host's writers through the mount would be.
ssize_t block_write(Handle *h, const void *buf, size_t size, off_t off) {
  return h->mounted ? host::fs_pwrite(h->dev, buf, size, off) : host::pwrite(h->fd, buf, size, off);
}

void op_write(fuse_req_t req, fuse_ino_t, const char *buf, size_t size, off_t off, struct fuse_file_info *fi) {
  Handle *h = handle_of(fi);
  if (h->kind != Kind::block) {
    fuse_reply_err(req, h->kind == Kind::kmsg ? EBADF : EINVAL);
    return;
  }
  ssize_t r = -1;
  int err = 0;
  InUse use(h);
  as_caller(req, false, [&] {
    r = block_write(h, buf, size, off);
    if (r < 0) err = err_or(errno);
  });
  if (r < 0)
    fuse_reply_err(req, err);
  else
    fuse_reply_write(req, size_t(r));
}

// Discard and zeroing (the host's loop driver sends both as fallocate) write zeros; a plain
// allocation inside the device has nothing to do. Anything else, or a range past the end,
// is refused.
void op_fallocate(fuse_req_t req, fuse_ino_t ino, int mode, off_t off, off_t len, struct fuse_file_info *fi) {
  Handle *h = handle_of(fi);
  std::optional<Node> n = node_by_ino(ino);
  const int known = FALLOC_FL_KEEP_SIZE | FALLOC_FL_PUNCH_HOLE | FALLOC_FL_ZERO_RANGE;
  if (h->kind != Kind::block || !n || (mode & ~known)) {
    fuse_reply_err(req, EOPNOTSUPP);
    return;
  }
  if (off < 0 || len <= 0 || uint64_t(off) + uint64_t(len) > n->size) {
    fuse_reply_err(req, (mode & known) == 0 ? EFBIG : EINVAL);
    return;
  }
  if (!(mode & (FALLOC_FL_PUNCH_HOLE | FALLOC_FL_ZERO_RANGE))) {
    fuse_reply_err(req, 0);
    return;
  }
  static const std::vector<char> zeros(1 << 20, 0);
  int err = 0;
  InUse use(h);
  as_caller(req, false, [&] {
    for (off_t done = 0; done < len && !err;) {
      size_t piece = size_t(std::min<off_t>(len - done, off_t(zeros.size())));
      ssize_t w = block_write(h, zeros.data(), piece, off + done);
      if (w <= 0) err = w < 0 ? err_or(errno) : EIO;
      done += w > 0 ? w : 0;
    }
  });
  fuse_reply_err(req, err);
}

void op_flush(fuse_req_t req, fuse_ino_t, struct fuse_file_info *) { fuse_reply_err(req, 0); }

// The block layer completes every write before it answers: nothing is left to sync.
void op_fsync(fuse_req_t req, fuse_ino_t, int, struct fuse_file_info *) { fuse_reply_err(req, 0); }

// Counts a RunIOThread in, or logs why it is refused.
bool park(fuse_req_t req) {
  const DevfsOptions &o = g_state->opt;
  const unsigned allowed = o.max_threads > o.reserve_threads ? o.max_threads - o.reserve_threads : 0;
  unsigned before = g_state->parked.fetch_add(1);
  if (before < allowed) return true;
  g_state->parked--;
  host::caller c = caller_of(req, false);
  fprintf(stderr,
          "vek-machine: refused an IO worker of %s[%d] (EAGAIN): %u of the %u FUSE threads are parked in IO "
          "workers and %u are kept free for commands and reads (--threads)\n",
          c.comm.c_str(), int(c.pid), before, o.max_threads, o.reserve_threads);
  return false;
}

// Regular files get restricted ioctls: the kernel has already copied in _IOC_SIZE bytes
// from the caller (refusing a bad pointer with EFAULT itself), but the driver reads and
// writes the caller's record through copy_from_user/copy_to_user on the original pointer,
// which reach the caller's memory directly. The reply carries no data, so the kernel copies
// nothing back over what copy_to_user wrote.
// Change records the fetch commands have handed out, to anyone: an agent that follows the
// queue compares it with what it fetched itself, and so learns that another agent took records
// it will never see.
std::atomic<uint64_t> g_records_delivered{0};

void op_ioctl(fuse_req_t req, fuse_ino_t, unsigned int cmd, void *arg, struct fuse_file_info *fi, unsigned flags,
              const void *, size_t, size_t) {
  Handle *h = handle_of(fi);
  if (h->kind == Kind::kmsg) {
    fuse_reply_err(req, ENOTTY);
    return;
  }
  if (flags & FUSE_IOCTL_COMPAT) {
    fuse_reply_err(req, ENOTTY);  // 32-bit callers would need the compat record layouts
    return;
  }
  // An IO worker holds its FUSE thread until its session ends. Workers never take the last
  // reserve_threads threads: commands, reads and the writeback a freeze waits for need them,
  // and with every thread parked nothing could end the sessions.
  const bool worker = h->kind == Kind::control && cmd == VEK_IOCTL_RUN_IO_THREAD;
  if (worker && !park(req)) {
    fuse_reply_err(req, EAGAIN);
    return;
  }
  int r = -1, err = EPERM;  // a caller without a pid here: its memory cannot be reached
  {
    InUse use(h);
    as_caller(req, true, [&] {
      err = 0;
      r = host::ioctl(h->fd, cmd, arg);
      if (r < 0) err = err_or(errno);
    });
  }
  if (worker) g_state->parked--;
  // Counted before the reply, so a caller that reads the count after its fetch sees it.
  if (r > 0 && h->kind == Kind::control &&
      (cmd == VEK_IOCTL_GET_CHANGED_RECORDS || cmd == VEK_IOCTL_GET_CHANGED_RECORDS_V2))
    g_records_delivered += uint64_t(r);
  if (r < 0)
    fuse_reply_err(req, err);
  else
    fuse_reply_ioctl(req, r, nullptr, 0);
}

// A block device's numbers, "major:minor" in the attribute user.vekdriver.dev: a regular
// file cannot carry them in st_rdev, and the driver's start command needs them.
constexpr const char *kDevAttr = "user.vekdriver.dev";
// The control device's user.vekdriver.boot: a stamp of this run of the machine. An agent that
// kept change-tracking state across its own restarts tells by it that the machine (and with it
// the driver's tracking) started over.
constexpr const char *kBootAttr = "user.vekdriver.boot";
// And user.vekdriver.records: the change records handed out so far.
constexpr const char *kRecordsAttr = "user.vekdriver.records";

const std::string &boot_stamp() {
  static const std::string stamp = [] {
    std::random_device rd;
    char b[40];
    snprintf(b, sizeof b, "%08x%08x%08x%08x", rd(), rd(), rd(), rd());
    return std::string(b);
  }();
  return stamp;
}

void reply_xattr_value(fuse_req_t req, const std::string &v, size_t size) {
  if (size == 0)
    fuse_reply_xattr(req, v.size());
  else if (size < v.size())
    fuse_reply_err(req, ERANGE);
  else
    fuse_reply_buf(req, v.data(), v.size());
}

void op_getxattr(fuse_req_t req, fuse_ino_t ino, const char *name, size_t size) {
  std::optional<Node> n = node_by_ino(ino);
  if (!n) {
    fuse_reply_err(req, ENOENT);
    return;
  }
  if (n->kind == Kind::control && std::strcmp(name, kBootAttr) == 0) {
    reply_xattr_value(req, boot_stamp(), size);
    return;
  }
  if (n->kind == Kind::control && std::strcmp(name, kRecordsAttr) == 0) {
    reply_xattr_value(req, std::to_string(g_records_delivered.load()), size);
    return;
  }
  if (n->kind != Kind::block || std::strcmp(name, kDevAttr) != 0) {
    fuse_reply_err(req, ENODATA);
    return;
  }
  reply_xattr_value(req, std::to_string(n->dev >> 20) + ":" + std::to_string(n->dev & 0xfffff), size);
}

void op_listxattr(fuse_req_t req, fuse_ino_t ino, size_t size) {
  std::optional<Node> n = node_by_ino(ino);
  if (!n) {
    fuse_reply_err(req, ENOENT);
    return;
  }
  std::string names;
  if (n->kind == Kind::block) names.assign(kDevAttr, std::strlen(kDevAttr) + 1);
  if (n->kind == Kind::control) {
    names.assign(kBootAttr, std::strlen(kBootAttr) + 1);
    names.append(kRecordsAttr, std::strlen(kRecordsAttr) + 1);
  }
  reply_xattr_value(req, names, size);
}

const struct fuse_lowlevel_ops kOps = [] {
  struct fuse_lowlevel_ops o = {};
  o.lookup = op_lookup;
  o.getattr = op_getattr;
  o.setattr = op_setattr;
  o.readdir = op_readdir;
  o.open = op_open;
  o.release = op_release;
  o.read = op_read;
  o.write = op_write;
  o.flush = op_flush;
  o.fsync = op_fsync;
  o.fallocate = op_fallocate;
  o.ioctl = op_ioctl;
  o.getxattr = op_getxattr;
  o.listxattr = op_listxattr;
  return o;
}();

void on_wake(int) {}

// ---- the mount ----

constexpr const char *kFusectl = "/sys/fs/fuse/connections";

// A path as the mount table writes it: space, tab, newline and backslash as octal escapes.
std::string mount_table_path(const std::string &escaped) {
  std::string out;
  for (size_t i = 0; i < escaped.size(); i++) {
    if (escaped[i] == '\\' && i + 3 < escaped.size() && std::isdigit((unsigned char)escaped[i + 1])) {
      out += char(std::stoi(escaped.substr(i + 1, 3), nullptr, 8));
      i += 3;
    } else {
      out += escaped[i];
    }
  }
  return out;
}

// The FUSE connection number (the device minor) of the file system mounted last at point, or
// -1 when that is not a FUSE mount or there is none. From the mount table: a stat of the mount
// point would be a request to ourselves.
int fuse_connection_at(const std::string &point) {
  std::ifstream f("/proc/self/mountinfo");
  int conn = -1;
  for (std::string line; std::getline(f, line);) {
    std::istringstream in(line);
    std::string id, parent, devno, root, at;
    in >> id >> parent >> devno >> root >> at;
    if (mount_table_path(at) != point) continue;
    size_t sep = line.find(" - ");
    std::string type = sep == std::string::npos ? "" : line.substr(sep + 3, line.find(' ', sep + 3) - sep - 3);
    size_t colon = devno.find(':');
    conn = type.rfind("fuse", 0) == 0 && colon != std::string::npos ? std::atoi(devno.c_str() + colon + 1) : -1;
  }
  return conn;
}

bool write_abort(const std::string &file) {
  int fd = ::open(file.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = ::write(fd, "1", 1) == 1;
  ::close(fd);
  return ok;
}

// Lazily, so that files still held open do not keep it; as fusermount3 does without root.
void detach(const std::string &point) {
  if (umount2(point.c_str(), MNT_DETACH) == 0) return;
  const char *argv[] = {"fusermount3", "-u", "-q", "-z", point.c_str(), nullptr};
  pid_t pid;
  if (posix_spawnp(&pid, argv[0], nullptr, nullptr, const_cast<char **>(argv), environ) != 0) return;
  int st;
  waitpid(pid, &st, 0);
}

}  // namespace

Devfs::Devfs(const DevfsOptions &o) : opt_(o) {
  char real[PATH_MAX];
  point_ = realpath(opt_.dir.c_str(), real) ? real : opt_.dir;
  g_state = new State(opt_);
  std::string options = "fsname=vek-machine,subtype=vek";
  // Without default_permissions every user could reach the control device: the files'
  // modes are what keeps them out.
  if (opt_.allow_other) options += ",allow_other,default_permissions";
  const char *argv[] = {"vek-machine", "-o", options.c_str()};
  struct fuse_args args = FUSE_ARGS_INIT(3, const_cast<char **>(argv));
  se_ = fuse_session_new(&args, &kOps, sizeof(kOps), nullptr);
  fuse_opt_free_args(&args);  // the session keeps what it needs; added options are ours to free
  if (!se_) throw agent::Error("cannot start a FUSE session (see the message above)");
  if (fuse_session_mount(se_, opt_.dir.c_str()) != 0) {
    fuse_session_destroy(se_);
    se_ = nullptr;
    throw agent::Error("cannot mount the device directory at " + opt_.dir);
  }
  mounted_ = true;
  conn_ = fuse_connection_at(point_);
}

Devfs::~Devfs() { unmount(); }

int Devfs::serve() {
  // stop() interrupts the loop's wait with SIGUSR1: the handler only has to exist.
  struct sigaction sa = {};
  sa.sa_handler = on_wake;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGUSR1, &sa, nullptr);
  sigset_t usr1;
  sigemptyset(&usr1);
  sigaddset(&usr1, SIGUSR1);
  pthread_sigmask(SIG_UNBLOCK, &usr1, nullptr);

  server_ = pthread_self();
  serving_ = true;
  int r = 0;
  if (!stopping_) {
    struct fuse_loop_config *cfg = fuse_loop_cfg_create();
    fuse_loop_cfg_set_max_threads(cfg, opt_.max_threads);
    fuse_loop_cfg_set_idle_threads(cfg, opt_.idle_threads);
    r = fuse_session_loop_mt(se_, cfg);
    fuse_loop_cfg_destroy(cfg);
  }
  serving_ = false;
  return stopping_ ? 0 : r;
}

bool Devfs::stop(unsigned wait_ms) {
  if (!stopping_.exchange(true) && se_) fuse_session_exit(se_);
  // The loop waits on a semaphore that only a worker leaving or a signal ends: signal the
  // server until it has left (a signal sent just before it starts waiting is lost). Then it
  // joins its workers, each once its request is done.
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
  while (serving_) {
    if (std::chrono::steady_clock::now() >= until) return false;
    pthread_kill(server_, SIGUSR1);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

bool Devfs::session_ended() const { return se_ && !stopping_ && fuse_session_exited(se_); }

bool Devfs::abort() {
  if (conn_ < 0) return false;
  const std::string file = std::string(kFusectl) + "/" + std::to_string(conn_) + "/abort";
  if (write_abort(file)) return true;
  // fusectl is not mounted: mount it in a mount namespace of a thread of our own, which goes
  // with the thread, so that nothing is left mounted on the host.
  bool ok = false;
  std::thread([&] {
    if (unshare(CLONE_FS | CLONE_NEWNS) != 0) return;
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return;
    if (mount("fusectl", kFusectl, "fusectl", 0, nullptr) != 0) return;
    ok = write_abort(file);
  }).join();
  return ok;
}

void Devfs::close_left_handles() {
  if (!g_state) return;
  std::vector<Handle *> now;
  {
    std::lock_guard<std::mutex> g(g_state->mu);
    for (Handle *h : g_state->open) {
      if (h->busy == 0)
        now.push_back(h);
      else
        h->left = true;
    }
    g_state->open.clear();
  }
  for (Handle *h : now) close_fd(h);
  std::lock_guard<std::mutex> g(g_state->mu);
  g_state->retired.insert(g_state->retired.end(), now.begin(), now.end());
}

void Devfs::detach_mount() {
  if (mounted_ && conn_ >= 0 && fuse_connection_at(point_) == conn_) detach(point_);
  mounted_ = false;
}

void Devfs::unmount() {
  if (mounted_) {
    // After an abort libfuse finds the connection gone and leaves the mount in place.
    fuse_session_unmount(se_);
    if (conn_ >= 0 && fuse_connection_at(point_) == conn_) detach(point_);
    mounted_ = false;
  }
  if (se_) {
    fuse_session_destroy(se_);
    se_ = nullptr;
  }
  if (!g_state) return;
  std::set<Handle *> left;
  {
    std::lock_guard<std::mutex> g(g_state->mu);
    left.swap(g_state->open);
  }
  for (Handle *h : left) close_handle(h);
  for (Handle *h : g_state->retired) delete h;
  delete g_state;
  g_state = nullptr;
}

}  // namespace machine
