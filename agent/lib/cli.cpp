#include "agent/cli.h"

#include <signal.h>
#include <sys/prctl.h>

#include <algorithm>
#include <climits>
#include <cstring>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <thread>

#include "agent/backup.h"
#include "agent/command.h"
#include "agent/compare.h"
#include "agent/demo.h"
#include "agent/error.h"
#include "agent/image_writer.h"
#include "agent/layout.h"
#include "agent/machine.h"
#include "agent/output_check.h"
#include "agent/progress.h"
#include "agent/system.h"
#include "agent/workload.h"

namespace agent {

namespace {

bool g_source_writes = false;  // see expect_source_writes

// The state of one run: its own machine and agent, or the service's.
struct Ctx {
  std::ostream &out, &err;
  const Globals &g;
  const RunHooks &hooks;
  ServiceCore *core;
  std::string tmp_dir;  // backing files, when no --backing-dir was given
  std::unique_ptr<Machine> machine;
  std::unique_ptr<Agent> agent;
  std::map<int, std::shared_ptr<Snapshot>> own_held;  // sessions left running by `snapshot`
  std::unique_ptr<System> replaced;  // the system in use before --dev chose one
  bool system_chosen = false;

  Ctx(std::ostream &o, std::ostream &e, const Globals &gl, const RunHooks &h, ServiceCore *c)
      : out(o), err(e), g(gl), hooks(h), core(c) {}
  ~Ctx() {
    own_held.clear();
    agent.reset();
    machine.reset();
    if (system_chosen) use_system(std::move(replaced));
    if (!tmp_dir.empty()) {
      std::error_code ec;
      std::filesystem::remove_all(tmp_dir, ec);
    }
  }

  bool served() const { return core || !g.dev.empty(); }
  // The system the commands run on: the running machine of --dev, or one booted here. The
  // service chose its system when it started.
  void boot() {
    if (core) return;
    if (!g.dev.empty()) {
      if (!system_chosen) {
        replaced = use_system(machine_system(g.dev));
        system_chosen = true;
      }
      return;
    }
    mach();
  }
  Machine &mach() {
    if (!machine) {
      auto m = std::make_unique<Machine>();
      if (!g.disk.empty()) {
        DiskOptions d;
        d.image = g.disk;
        d.create = g.disk_size_given;
        if (d.create) d.bytes = *parse_size(g.disk_size);  // checked when parsed
        if (g.partitions_given) d.partitions = g.partitions;
        // Nothing else writes the source: the snapshot's writes stay in the driver.
        d.read_only = !g.writes_disk && !g_source_writes;
        d.writes_because = "--writer writes to it";
        d.reorder = g.disk_reorder;
        m->add_disk(d);
      }
      machine = std::move(m);
    }
    return *machine;
  }
  Agent &ag() {
    if (core) return *core->agent;
    boot();
    if (!agent) {
      agent = std::make_unique<Agent>(g.format == 1 ? RecordFormat::v1 : RecordFormat::v2);
      if (served()) {
        agent->watch_starts(sys().kernel_log().size());
        agent->tracker().set_unknown_reason(
            "no backup of this device in this qel-agent run, and no agent service to keep "
            "change tracking between runs (start one with qel-agent serve)");
      }
    }
    return *agent;
  }
  std::string backing_dir() {
    if (!g.backing_dir.empty()) return g.backing_dir;
    if (core) return core->tmp_dir;
    if (tmp_dir.empty()) tmp_dir = make_temp_dir("qel-agent");
    return tmp_dir;
  }
  std::string default_device() {
    if (served()) {
      boot();
      return sys().device("sda1") ? "sda1" : "sda";
    }
    std::vector<std::string> names = mach().device_names();
    return std::find(names.begin(), names.end(), "sda1") != names.end() ? "sda1" : "sda";
  }
  // The device to snapshot, ready for it: on the machine booted here its disk is added and
  // the device mounted (the running machine of --dev mounted its devices itself).
  DeviceInfo source(std::string name, const char *cmd) {
    // "/dev/sda1" is what users type for sda1; the machine's devices have no other path.
    if (name.rfind("/dev/", 0) == 0) name = name.substr(5);
    if (!served()) {
      need_disk(cmd);
      Machine &m = mach();
      m.mount(name);
      return {name, m.device(name), m.nr_sects(name)};
    }
    boot();
    if (std::optional<DeviceInfo> d = sys().device(name)) return *d;
    std::string have;
    for (const DeviceInfo &d : sys().devices()) have += (have.empty() ? "" : ", ") + d.name;
    throw Error("no device " + name + " in " + sys().dev_dir() +
                (have.empty() ? "" : " (it has " + have + ")"));
  }
  WorkerOptions workers() {
    WorkerOptions w;
    w.count = g.workers;
    auto b = parse_size(g.buffer);
    if (!b) throw Error("bad staging buffer size '" + g.buffer + "'");
    w.buffer_size = size_t(*b);
    w.direct = g.backing_io != "cached";
    w.dir = backing_dir();
    check_worker_options(w);
    return w;
  }
  void need_disk(const char *cmd) {
    if (g.disk.empty())
      throw Error(std::string(cmd) +
                  " needs a source disk: give --disk IMAGE (and --disk-size SIZE to create it)");
  }

  // Sessions kept by `snapshot`: the run's own, or the service's, shared with its other
  // requests under held_mu.
  std::unique_lock<std::mutex> held_lock() {
    return core ? std::unique_lock<std::mutex>(core->held_mu) : std::unique_lock<std::mutex>();
  }
  std::map<int, std::shared_ptr<Snapshot>> &held() { return core ? core->held : own_held; }
  int cancelled() const { return hooks.cancel ? hooks.cancel->load() : 0; }
};

SessionRow row_of(Control &c, const session_list &s) {
  SessionRow r{};
  r.id = s.id;
  r.time = s.time;
  r.changed_blocks = s.changed_blocks;
  r.block_size = s.block_size;
  r.sec_froze = s.sec_froze;
  r.nsec_froze = s.nsec_froze;
  r.mode = s.mode;
  r.error = s.error;
  r.device_path = c.device_path(s.id);
  r.backing_file = c.backing_file(s.id);
  r.error_text = c.session_error(s.id);
  return r;
}

std::optional<session_list> find_session(Control &c, int id) {
  for (const session_list &s : c.list())
    if (s.id == id) return s;
  return std::nullopt;
}

sigset_t end_signals() {
  sigset_t s;
  sigemptyset(&s);
  sigaddset(&s, SIGINT);
  sigaddset(&s, SIGTERM);
  sigaddset(&s, SIGHUP);
  return s;
}

// SIGINT, SIGTERM or SIGHUP during a backup of a run of its own end it cleanly: the copy
// stops, the session is stopped and the command fails. Left to their default, they would kill
// the agent with its workers still inside the driver, where (through a running machine) they
// stay until someone stops the session.
std::atomic<int> g_backup_cancel{0};

class CancelOnSignals {
 public:
  CancelOnSignals() {
    g_backup_cancel = 0;
    struct sigaction sa = {};
    sa.sa_handler = [](int sig) { g_backup_cancel = sig; };
    sigemptyset(&sa.sa_mask);  // no SA_RESTART: a read in progress returns
    for (size_t i = 0; i < 3; i++) sigaction(kSignals[i], &sa, &old_[i]);
  }
  ~CancelOnSignals() {
    for (size_t i = 0; i < 3; i++) sigaction(kSignals[i], &old_[i], nullptr);
  }
  CancelOnSignals(const CancelOnSignals &) = delete;
  CancelOnSignals &operator=(const CancelOnSignals &) = delete;

 private:
  static constexpr int kSignals[3] = {SIGINT, SIGTERM, SIGHUP};
  struct sigaction old_[3];
};

// `snapshot --wait`: until a signal ends the wait (the session is then stopped as the run
// ends) or the session is gone, stopped by another agent or by the driver. In a run of its
// own the signals are blocked and taken here; in the service, the client's signals arrive
// as the run's cancel.
void wait_for_end(Ctx &x, Snapshot &s) {
  const sigset_t ends = end_signals();
  const struct timespec poll = {0, 200'000'000};
  for (;;) {
    int sig = 0;
    if (x.core) {
      sig = x.cancelled();
      if (!sig) std::this_thread::sleep_for(std::chrono::milliseconds(200));
    } else {
      sig = sigtimedwait(&ends, nullptr, &poll);
    }
    if (sig > 0) {
      x.out << "vek" << s.id() << ": " << strsignal(sig) << ", stopping" << std::endl;
      return;
    }
    auto lock = x.held_lock();
    if (!s.info()) {
      x.out << "vek" << s.id() << " was stopped from outside" << std::endl;
      return;
    }
  }
}

// What the run reads and serves, which no backup may be written over.
RunFiles run_files(Ctx &ctx, const std::string &device) {
  RunFiles r;
  if (!ctx.g.disk.empty()) r.files.push_back(ctx.g.disk);
  if (ctx.served()) {
    ctx.boot();
    r.dev_dir = sys().dev_dir();
  }
  r.backing_dir = ctx.backing_dir();
  r.device = device;
  check_backing_dir(r.backing_dir, r.dev_dir);
  return r;
}

int do_backup(Ctx &ctx, const Command &c) {
  bool incremental = c.name == "incremental";
  std::unique_ptr<CancelOnSignals> cancel_on_signals;
  if (!ctx.core) cancel_on_signals = std::make_unique<CancelOnSignals>();
  if (!ctx.served()) ctx.need_disk(c.name.c_str());
  std::string dev = c.device.empty() ? ctx.default_device() : c.device;
  const std::string out = check_output(c.out, run_files(ctx, dev));
  DeviceInfo src = ctx.source(dev, c.name.c_str());
  dev = src.name;
  BackupOptions bo;
  bo.device = dev;
  bo.major = src.dev >> 20;
  bo.minor = src.dev & 0xfffff;
  bo.nr_sects = src.nr_sects;
  bo.out = out;
  bo.incremental = incremental;
  bo.tracking = !c.no_tracking;
  bo.workers = ctx.workers();
  bo.progress = ctx.g.no_progress ? nullptr : stderr;
  bo.force_progress = ctx.g.progress;
  if (ctx.hooks.progress && !ctx.g.no_progress) bo.progress_sink = ctx.hooks.progress;
  bo.cancel = ctx.core ? ctx.hooks.cancel : &g_backup_cancel;
  bo.note = [&ctx](const std::string &n) { ctx.out << "note: " << n << std::endl; };
  std::unique_ptr<Workload> w;
  if (c.writer) {
    WorkloadOptions wo;
    wo.nr_sects = bo.nr_sects;
    wo.seed = uint64_t(now_ns());
    w = std::make_unique<Workload>(
        [dev](const void *b, size_t n, off_t o) { return sys().fs_pwrite(dev, b, n, o); }, wo);
    w->start();
    // Let the writer get ahead of the copy, so the copy really races with it: the chunks it
    // overwrites now must come back from the backing files.
    bo.on_started = [&w](Snapshot &) {
      uint64_t target = w->writes() + 200;
      int64_t deadline = now_ns() + 5'000'000'000;
      while (w->writes() < target && w->error().empty() && now_ns() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    };
    // A writer that failed fails the command: the backup is then not put in place either.
    bo.after_copy = [&w](Snapshot &) {
      w->stop();
      if (!w->error().empty()) throw Error(w->error() + "; the backup is not kept");
    };
  }
  Agent &ag = ctx.ag();
  std::unique_lock<std::mutex> one_backup;
  if (ctx.core) one_backup = std::unique_lock<std::mutex>(ctx.core->backup_mu);
  BackupResult r;
  try {
    r = ag.backup(bo);
  } catch (...) {
    if (ctx.core && ctx.core->saved_state) ctx.core->saved_state();
    throw;
  }
  if (ctx.core && ctx.core->saved_state) ctx.core->saved_state();
  one_backup = {};
  if (w) {
    w->stop();
    ctx.out << "writer: " << w->writes() << " writes to " << dev << " during the backup\n";
    if (!w->error().empty()) throw Error(w->error());
  }
  ctx.out << format_summary(bo, r);
  return 0;
}

int do_snapshot(Ctx &x, const Command &c) {
  std::string dev = c.device.empty() ? x.default_device() : c.device;
  check_backing_dir(x.backing_dir(), x.served() ? (x.boot(), sys().dev_dir()) : std::string());
  DeviceInfo src = x.source(dev, "snapshot");
  dev = src.name;
  SnapshotOptions so;
  so.start.major = src.dev >> 20;
  so.start.minor = src.dev & 0xfffff;
  so.start.device_name = dev;
  so.start.device_path = "/dev/" + dev;
  so.start.tracking = !c.no_tracking;
  so.workers = x.workers();
  // The workers start with the signals that end the wait blocked, so only the waiting thread
  // takes them. They stay blocked to the end of the run: a second one must not kill the agent
  // while it stops its session, and one already taken ends nothing more.
  sigset_t ends = end_signals();
  if (c.wait && !x.core) pthread_sigmask(SIG_BLOCK, &ends, nullptr);
  std::shared_ptr<Snapshot> s = x.ag().snapshot(so);
  const StartReply &r = s->reply();
  std::string short_of = s->workers_short();
  x.out << "vek" << r.id << ": snapshot of " << dev << " taken at " << format_time(r.time)
        << ", frozen " << format_duration(r.sec_froze, r.nsec_froze) << ", "
        << (short_of.empty() ? std::to_string(so.workers.count) + " IO workers" : short_of)
        << std::endl;
  {
    auto lock = x.held_lock();
    x.held()[r.id] = s;
  }
  if (!c.wait) return 0;
  wait_for_end(x, *s);
  if (x.core) {
    // The service keeps a session only as long as the one who waits on it.
    auto lock = x.held_lock();
    auto it = x.core->held.find(r.id);
    if (it != x.core->held.end() && it->second == s) x.core->held.erase(it);
    if (!s->stopped()) s->stop();
  }
  return 0;
}

int do_list(Ctx &x, const Command &c) {
  Control &ctl = x.ag().control();
  std::vector<SessionRow> rows;
  for (const session_list &s : ctl.list()) rows.push_back(row_of(ctl, s));
  x.out << (c.json ? format_session_json(rows) : format_session_table(rows));
  return 0;
}

int do_status(Ctx &x, const Command &c) {
  Control &ctl = x.ag().control();
  auto s = find_session(ctl, c.id);
  if (!s) throw Error("no session vek" + std::to_string(c.id));
  SessionRow r = row_of(ctl, *s);
  if (c.name == "error") {
    x.out << (r.error_text.empty() ? "no error" : r.error_text) << "\n";
    return 0;
  }
  x.out << "vek" << r.id << ": device " << r.device_path << ", backing file " << r.backing_file
        << "\n"
        << "  snapshot time " << format_time(r.time) << ", frozen "
        << format_duration(r.sec_froze, r.nsec_froze) << "\n"
        << "  preserved: " << r.changed_blocks << " chunks of " << format_bytes(r.block_size)
        << " (" << format_bytes(r.changed_blocks * r.block_size)
        << " of old contents copied aside), mode " << r.mode << "\n"
        << "  state: " << (r.error ? "error: " + r.error_text : std::string("ok")) << "\n";
  return 0;
}

int do_stop(Ctx &x, const Command &c) {
  Control &ctl = x.ag().control();
  if (!find_session(ctl, c.id)) throw Error("no session vek" + std::to_string(c.id));
  StopReply r;
  {
    auto lock = x.held_lock();
    auto it = x.held().find(c.id);
    if (it != x.held().end()) {
      std::shared_ptr<Snapshot> s = it->second;
      x.held().erase(it);
      r = s->stop().reply;
    } else {
      r = ctl.stop(c.id);
    }
  }
  x.out << "vek" << c.id << " stopped; backing file " << r.backing_file << "; "
        << r.active_sessions << (r.active_sessions == 1 ? " session remains\n" : " sessions remain\n");
  return 0;
}

int do_version(Ctx &x, const Command &) {
  version_info v = x.ag().control().version();
  x.out << "vekdriver " << v.major << "." << v.minor << "." << v.maint << " build " << v.build
        << "\n";
  return 0;
}

int do_demo(Ctx &x, const Command &c) {
  if (x.served()) throw Error("demo boots a machine of its own and does not take --dev");
  DemoOptions demo;
  auto sz = parse_size(c.demo_size);
  if (!sz) throw Error("bad demo disk size '" + c.demo_size + "'");
  auto b = parse_size(c.demo_buffer);
  if (!b) throw Error("bad staging buffer size '" + c.demo_buffer + "'");
  demo.disk_bytes = *sz;
  demo.buffer_size = size_t(*b);
  demo.workers = c.demo_workers;
  demo.pause_us = c.demo_pause_us;
  demo.settle_ms = c.demo_settle_ms;
  demo.dir = c.demo_dir;
  demo.keep = c.demo_keep;
  demo.seed = c.demo_seed;
  demo.format = c.demo_format == 1 ? RecordFormat::v1 : RecordFormat::v2;
  demo.disk_reorder = x.g.disk_reorder;
  demo.progress = x.g.no_progress ? nullptr : stderr;
  return run_demo(demo, x.out, x.err);
}

// `verify IMAGE --against DEV`: DEV is a path, or a device of the machine (sda1, vek3).
int do_verify(Ctx &x, const Command &c) {
  // An image an interrupted backup left is first put back to its last complete backup.
  {
    ImageLock lock(c.image);
    for (const std::string &n : recover_image(lock)) x.out << "note: " << n << "\n";
  }
  Comparison r;
  if (c.against.find('/') != std::string::npos) {
    r = compare_image_with_file(c.image, c.against);
  } else {
    x.boot();
    std::optional<DeviceInfo> d = sys().device(c.against);
    if (!d) throw Error("no device " + c.against + " in " + sys().dev_dir());
    r = compare_image_with_device(c.image, *d);
  }
  x.out << format_comparison(c.image, c.against, r);
  return r.equal() ? 0 : 1;
}

using Runner = int (*)(Ctx &, const Command &);
const std::map<std::string, Runner> kRunners = {
    {"backup", do_backup},   {"incremental", do_backup}, {"snapshot", do_snapshot},
    {"list", do_list},       {"status", do_status},      {"error", do_status},
    {"stop", do_stop},       {"version", do_version},    {"demo", do_demo},
    {"verify", do_verify},
};

// What is wrong with a --buffer value, "" when the workers can use it.
std::string buffer_problem(const std::string &v) {
  std::optional<uint64_t> b = parse_size(v);
  if (!b) return "'" + v + "' is not a size (e.g. 1M, 256K)";
  WorkerOptions w;
  w.buffer_size = size_t(std::min<uint64_t>(*b, uint64_t(1) << 40));
  try {
    check_worker_options(w);
  } catch (const Error &e) {
    return e.what();
  }
  return "";
}

void add_globals(CLI::App &app, Globals &g) {
  app.add_option("--dev", g.dev,
                 "drive the running vek-machine that serves its devices in this directory "
                 "(default: boot a machine inside this process)")
      ->check(CLI::ExistingDirectory);
  app.add_option("--state", g.state,
                 "the agent service's state directory (default " + default_state_dir() +
                     "); with --dev or --state, commands go to the service running there");
  app.add_option("--disk", g.disk, "image file of the source disk");
  app.add_option("--disk-size", g.disk_size,
                 "create the disk image of this size when it does not exist, e.g. 256M, 1G (an "
                 "existing one must have it)")
      ->check(CLI::Validator(disk_size_problem, "SIZE"))
      ->each([&g](const std::string &) { g.disk_size_given = true; });
  app.add_option("--disk-reorder", g.disk_reorder,
                 "serve the disk of --disk as a disk that reorders: up to DEPTH bios (default 32) in "
                 "service at once, completed out of order after random latencies of mean LATENCY_US "
                 "microseconds (default 200), drawn from SEED")
      ->check(CLI::Validator(disk_reorder_problem, "SEED[:DEPTH[:LATENCY_US]]"));
  app.add_option("--partitions", g.partitions,
                 "a new image's equal partitions (default 2, 0: none); an existing image has "
                 "them in its partition table, or in this number when it has no table")
      ->check(CLI::Range(0, 15))
      ->each([&g](const std::string &) { g.partitions_given = true; });
  app.add_option("--workers", g.workers, "IO worker threads per session")
      ->check(CLI::Range(1, 64))
      ->capture_default_str();
  app.add_option("--buffer", g.buffer, "staging buffer per worker, e.g. 1M")
      ->capture_default_str()
      ->check(CLI::Validator(buffer_problem, "SIZE"));
  app.add_option("--backing-dir", g.backing_dir,
                 "directory for the backing files (default: a temporary one)");
  app.add_option("--backing-io", g.backing_io,
                 "how the backing files are written: direct (O_DIRECT where their file system "
                 "takes it) or cached (through the page cache)")
      ->check(CLI::IsMember({"direct", "cached"}))
      ->capture_default_str();
  app.add_option("--format", g.format, "change-record format, 1 or 2")
      ->check(CLI::IsMember({1, 2}))
      ->capture_default_str();
  app.add_flag("--progress", g.progress,
               "draw the progress bar even when stderr is not a terminal");
  app.add_flag("--no-progress", g.no_progress, "never draw the progress bar");
}

// Builds the parser of one command segment; parsing fills `c`.
void build(CLI::App &app, Globals &g, bool first, Command &c) {
  app.require_subcommand(1, 1);
  app.fallthrough(false);
  if (first) add_globals(app, g);
  auto named = [&c](CLI::App *sub) {
    sub->callback([&c, sub] { c.name = sub->get_name(); });
    return sub;
  };

  for (bool inc : {false, true}) {
    auto *s = named(app.add_subcommand(
        inc ? "incremental" : "backup",
        inc ? "copy the chunks changed since the last backup onto that backup's image "
              "(a full backup, saying why, when that cannot be proven safe)"
            : "snapshot a device and read it to an image file"));
    s->add_option("device", c.device, "device to back up (default sda1, or sda without partitions)");
    s->add_option("-o,--out", c.out, "image file")->required();
    if (!inc)
      s->add_flag("--no-tracking", c.no_tracking,
                  "do not keep change tracking for later incrementals");
    s->add_flag("--writer", c.writer, "keep a writer busy on the device during the backup");
  }

  auto *snap = named(
      app.add_subcommand("snapshot", "start a snapshot session and keep it until stop or exit"));
  snap->add_option("device", c.device, "device to snapshot");
  snap->add_flag("--no-tracking", c.no_tracking, "no change tracking");
  snap->add_flag("--wait", c.wait,
                 "keep the session until SIGINT or SIGTERM, or until another agent stops it");

  auto *list = named(app.add_subcommand("list", "list the snapshot sessions"));
  list->add_flag("--json", c.json, "as JSON");

  named(app.add_subcommand("status", "show one session"))
      ->add_option("id", c.id, "session id (N of vekN)")
      ->required();
  named(app.add_subcommand("error", "print a session's error text"))
      ->add_option("id", c.id, "session id (N of vekN)")
      ->required();
  named(app.add_subcommand("stop", "stop a snapshot session"))
      ->add_option("id", c.id, "session id")
      ->required();
  named(app.add_subcommand("version", "show the driver's version"));

  auto *v = named(app.add_subcommand(
      "verify", "compare an image with a device or file and report the first differing chunks"));
  v->add_option("image", c.image, "image file")->required();
  v->add_option("--against", c.against, "a device of the machine (sda1, vek3) or a file")
      ->required();

  named(app.add_subcommand(
      "serve", "run as the agent service: keep the control device open and follow the change "
               "records of every device backed up, so incrementals work across runs"));

  auto *d = named(app.add_subcommand(
      "demo", "live backup demonstration on a fresh disk image, verified bit for bit"));
  d->add_option("--size", c.demo_size, "disk image size")->capture_default_str();
  d->add_option("--workers", c.demo_workers, "IO workers")
      ->check(CLI::Range(1, 64))
      ->capture_default_str();
  d->add_option("--buffer", c.demo_buffer, "staging buffer per worker")
      ->capture_default_str()
      ->check(CLI::Validator(buffer_problem, "SIZE"));
  d->add_option("--pause-us", c.demo_pause_us, "pause between the writer's writes, microseconds")
      ->capture_default_str();
  d->add_option("--settle-ms", c.demo_settle_ms, "writing time before each backup, milliseconds")
      ->capture_default_str();
  d->add_option("--dir", c.demo_dir, "work in this directory and keep it");
  d->add_flag("--keep", c.demo_keep, "keep the temporary directory");
  d->add_option("--seed", c.demo_seed, "workload seed (0: from the clock)");
  d->add_option("--format", c.demo_format, "change-record format, 1 or 2")
      ->check(CLI::IsMember({1, 2}));
}

// Paths as the service must see them: it runs in a directory of its own.
void make_paths_absolute(Request &r) {
  auto abs = [](std::string &p) {
    if (p.empty() || p[0] == '/') return;
    std::error_code ec;
    std::filesystem::path a = std::filesystem::absolute(p, ec);
    if (!ec) p = a.lexically_normal().string();
  };
  abs(r.g.backing_dir);
  abs(r.g.dev);
  abs(r.g.state);
  for (Command &c : r.cmds) {
    abs(c.out);
    abs(c.image);
    if (c.against.find('/') != std::string::npos) abs(c.against);
  }
}

bool service_command(const std::string &name) { return name != "demo" && name != "serve"; }

const std::vector<std::string> kCommands = {"backup", "incremental", "snapshot", "list",
                                            "status", "error",       "stop",     "version",
                                            "verify", "serve",       "demo"};

size_t edit_distance(const std::string &a, const std::string &b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diag = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      size_t up = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diag + (a[i - 1] != b[j - 1])});
      diag = up;
    }
  }
  return row[b.size()];
}

// The word where a segment's command should be, when it names none: "" when it does. The
// options before a command that take a value are skipped with their value.
std::string unknown_command(const std::vector<std::string> &seg) {
  static const std::vector<std::string> with_value = {
      "--dev", "--state", "--disk", "--disk-size", "--disk-reorder", "--partitions", "--workers", "--buffer",
      "--backing-dir", "--backing-io", "--format"};
  for (size_t i = 0; i < seg.size(); ++i) {
    const std::string &t = seg[i];
    if (t.rfind("-", 0) == 0) {
      if (t.find('=') == std::string::npos &&
          std::find(with_value.begin(), with_value.end(), t) != with_value.end())
        ++i;
      continue;
    }
    if (std::find(kCommands.begin(), kCommands.end(), t) != kCommands.end()) return "";
    return t;
  }
  return "";
}

std::string nearest_command(const std::string &word) {
  std::string best;
  size_t d = SIZE_MAX;
  for (const std::string &c : kCommands)
    if (size_t e = edit_distance(word, c); e < d) d = e, best = c;
  return best;
}

}  // namespace

int run_request(const Request &req, std::ostream &out, std::ostream &err, const RunHooks &hooks,
                ServiceCore *core) {
  // When a chain asks for JSON, stdout holds the JSON alone and the other commands' text goes
  // to stderr, so the output can go straight to a JSON reader.
  bool json_out = false;
  for (const Command &c : req.cmds) json_out = json_out || c.json;
  std::ostream chosen(out.rdbuf());
  Ctx ctx(chosen, err, req.g, hooks, core);
  for (const Command &c : req.cmds) {
    chosen.rdbuf(json_out && !c.json ? err.rdbuf() : out.rdbuf());
    try {
      int r = kRunners.at(c.name)(ctx, c);
      chosen.flush();
      if (r != 0) return r;
    } catch (const std::exception &e) {
      chosen.flush();
      err << "qel-agent: error: " << e.what() << std::endl;
      // 2 for a request refused before anything was done, 128 + the signal for a command
      // ended by one (as a shell reports a command the signal ended), 1 for any other failure.
      if (dynamic_cast<const UsageError *>(&e)) return 2;
      int sig = ctx.cancelled();
      return sig ? 128 + sig : 1;
    }
  }
  return 0;
}

int cli_main(const std::vector<std::string> &args, std::ostream &out, std::ostream &err) {
  ensure_agent_thread_name();
  auto segments = split_commands(args);
  Request req;
  // Every command of a chain is checked before the first one runs.
  for (size_t i = 0; i < segments.size(); ++i) {
    if (segments[i].empty()) {
      err << "qel-agent: error: empty command" << (i ? " after '+'" : "") << " (try --help)\n";
      return 2;
    }
    if (std::string w = unknown_command(segments[i]); !w.empty()) {
      err << "qel-agent: error: unknown command '" << w << "' (did you mean "
          << nearest_command(w) << "? try --help)\n";
      return 2;
    }
    CLI::App app{"qel-agent: point-in-time backups of live block devices through vekdriver",
                 "qel-agent"};
    Command c;
    build(app, req.g, i == 0, c);
    std::vector<const char *> argv{"qel-agent"};
    for (const std::string &a : segments[i]) argv.push_back(a.c_str());
    try {
      app.parse(int(argv.size()), argv.data());
    } catch (const CLI::ParseError &e) {
      int code = app.exit(e, out, err);
      return code == 0 ? 0 : 2;
    }
    if (c.name.empty()) return 2;
    req.cmds.push_back(std::move(c));
  }
  for (const Command &c : req.cmds) {
    if ((c.name == "demo" || c.name == "serve") && req.cmds.size() > 1) {
      err << "qel-agent: error: " << c.name
          << (c.name == "demo" ? " runs its own machine" : " runs until it is stopped")
          << " and cannot be joined with other commands\n";
      return 2;
    }
  }
  if (req.cmds[0].name == "serve") return run_service(req, out, err);
  for (const Command &c : req.cmds) req.g.writes_disk = req.g.writes_disk || c.writer;

  if (!req.g.disk_reorder.empty() && req.g.disk.empty() && req.cmds[0].name != "demo") {
    err << "qel-agent: error: --disk-reorder sets how the disk of --disk (or demo's own) serves its bios: "
           "give --disk (a running vek-machine takes its own --disk-reorder)\n";
    return 2;
  }
  bool to_service = req.g.disk.empty() && (!req.g.dev.empty() || !req.g.state.empty());
  for (const Command &c : req.cmds) to_service = to_service && service_command(c.name);
  if (to_service) {
    Request remote = req;
    make_paths_absolute(remote);
    std::string state = remote.g.state.empty() ? default_state_dir() : remote.g.state;
    int code = run_remote(remote, state, !req.g.state.empty(), out, err);
    if (code >= 0) return code;
  }
  RunHooks local;
  local.cancel = &g_backup_cancel;
  g_backup_cancel = 0;
  return run_request(req, out, err, local, nullptr);
}

void expect_source_writes() { g_source_writes = true; }

int cli_main(int argc, char **argv) {
  prctl(PR_SET_NAME, "qel-agent", 0, 0, 0);
  std::vector<std::string> args(argv + 1, argv + argc);
  return cli_main(args, std::cout, std::cerr);
}

}  // namespace agent
