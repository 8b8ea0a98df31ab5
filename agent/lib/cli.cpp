#include "agent/cli.h"

#include <signal.h>
#include <sys/prctl.h>

#include <algorithm>
#include <cstring>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <chrono>
#include <thread>

#include "agent/backup.h"
#include "agent/demo.h"
#include "agent/error.h"
#include "agent/layout.h"
#include "agent/machine.h"
#include "agent/progress.h"
#include "agent/system.h"
#include "agent/workload.h"

namespace agent {

namespace {

struct Globals {
  std::string dev;  // a running vek-machine's device directory; "" for the machine in here
  std::string disk;
  std::string disk_size;  // given: the image is created when missing
  unsigned partitions = 2;
  bool partitions_given = false;
  int workers = 4;
  std::string buffer = "1M";
  std::string backing_dir;
  int format = 2;
  bool progress = false, no_progress = false;
  bool disk_size_given = false;
  bool writes_disk = false;  // a command of the run writes the source disk (--writer)
};

struct Ctx {
  std::ostream &out, &err;
  Globals g;
  std::string tmp_dir;  // backing files, when no --backing-dir was given
  std::unique_ptr<Machine> machine;
  std::unique_ptr<Agent> agent;
  std::map<int, std::unique_ptr<Snapshot>> held;  // sessions left running by `snapshot`
  std::unique_ptr<System> replaced;               // the system in use before --dev chose one
  bool system_chosen = false;

  Ctx(std::ostream &o, std::ostream &e) : out(o), err(e) {}
  ~Ctx() {
    held.clear();
    agent.reset();
    machine.reset();
    if (system_chosen) use_system(std::move(replaced));
    if (!tmp_dir.empty()) {
      std::error_code ec;
      std::filesystem::remove_all(tmp_dir, ec);
    }
  }

  bool served() const { return !g.dev.empty(); }
  // The system the commands run on: the running machine of --dev, or one booted here.
  void boot() {
    if (served()) {
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
        d.read_only = !g.writes_disk;
        d.writes_because = "--writer writes to it";
        m->add_disk(d);
      }
      machine = std::move(m);
    }
    return *machine;
  }
  Agent &ag() {
    boot();
    if (!agent)
      agent = std::make_unique<Agent>(g.format == 1 ? RecordFormat::v1 : RecordFormat::v2);
    return *agent;
  }
  std::string backing_dir() {
    if (!g.backing_dir.empty()) return g.backing_dir;
    if (tmp_dir.empty()) {
      const char *t = getenv("TMPDIR");
      std::string tmpl = std::string(t && *t ? t : "/tmp") + "/qel-agent-XXXXXX";
      std::vector<char> b(tmpl.begin(), tmpl.end());
      b.push_back(0);
      if (!mkdtemp(b.data()))
        throw_errno("cannot create a directory for backing files from " + tmpl, errno);
      tmp_dir = b.data();
    }
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
  DeviceInfo source(const std::string &name, const char *cmd) {
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
    throw Error("no device " + name + " in " + g.dev + (have.empty() ? "" : " (it has " + have + ")"));
  }
  WorkerOptions workers() {
    WorkerOptions w;
    w.count = g.workers;
    auto b = parse_size(g.buffer);
    if (!b) throw Error("bad staging buffer size '" + g.buffer + "'");
    w.buffer_size = size_t(*b);
    w.dir = backing_dir();
    check_worker_options(w);
    return w;
  }
  void need_disk(const char *cmd) {
    if (g.disk.empty())
      throw Error(std::string(cmd) +
                  " needs a source disk: give --disk IMAGE (and --disk-size SIZE to create it)");
  }
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

using Action = std::function<int(Ctx &)>;

sigset_t end_signals() {
  sigset_t s;
  sigemptyset(&s);
  sigaddset(&s, SIGINT);
  sigaddset(&s, SIGTERM);
  sigaddset(&s, SIGHUP);
  return s;
}

// `snapshot --wait`: until one of `ends` arrives (the session is then stopped as the command
// line ends) or the session is gone, stopped by another agent or by the driver.
void wait_for_end(Ctx &x, Snapshot &s, const sigset_t &ends) {
  const struct timespec poll = {0, 200'000'000};
  for (;;) {
    int sig = sigtimedwait(&ends, nullptr, &poll);
    if (sig > 0) {
      x.out << "vek" << s.id() << ": " << strsignal(sig) << ", stopping" << std::endl;
      return;
    }
    if (!s.info()) {
      x.out << "vek" << s.id() << " was stopped from outside" << std::endl;
      return;
    }
  }
}

struct BackupArgs {
  std::string device, out;
  bool no_tracking = false, writer = false, wait = false;
};

// SIGINT, SIGTERM or SIGHUP during a backup end it cleanly: the copy stops, the session is
// stopped and the command fails. Left to their default, they would kill the agent with its
// workers still inside the driver, where (through a running machine) they stay until someone
// stops the session.
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

int do_backup(Ctx &ctx, const BackupArgs &a, bool incremental) {
  CancelOnSignals cancel_on_signals;
  if (!ctx.served()) ctx.need_disk(incremental ? "incremental" : "backup");
  std::string dev = a.device.empty() ? ctx.default_device() : a.device;
  DeviceInfo src = ctx.source(dev, incremental ? "incremental" : "backup");
  dev = src.name;
  BackupOptions bo;
  bo.device = dev;
  bo.major = src.dev >> 20;
  bo.minor = src.dev & 0xfffff;
  bo.nr_sects = src.nr_sects;
  bo.out = a.out;
  bo.incremental = incremental;
  bo.tracking = !a.no_tracking;
  bo.workers = ctx.workers();
  bo.progress = ctx.g.no_progress ? nullptr : stderr;
  bo.force_progress = ctx.g.progress;
  bo.cancel = &g_backup_cancel;
  std::unique_ptr<Workload> w;
  if (a.writer) {
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
  }
  Agent &ag = ctx.ag();
  BackupResult r = ag.backup(bo);
  if (w) {
    w->stop();
    ctx.out << "writer: " << w->writes() << " writes to " << dev << " during the backup\n";
    if (!w->error().empty()) throw Error(w->error());
  }
  ctx.out << format_summary(bo, r);
  return 0;
}

void add_globals(CLI::App &app, Globals &g) {
  app.add_option("--dev", g.dev,
                 "drive the running vek-machine that serves its devices in this directory "
                 "(default: boot a machine inside this process)")
      ->check(CLI::ExistingDirectory);
  app.add_option("--disk", g.disk, "image file of the source disk");
  app.add_option("--disk-size", g.disk_size,
                 "create the disk image of this size when it does not exist, e.g. 256M, 1G (an "
                 "existing one must have it)")
      ->check(CLI::Validator(disk_size_problem, "SIZE"))
      ->each([&g](const std::string &) { g.disk_size_given = true; });
  app.add_option("--partitions", g.partitions,
                 "a new image's equal partitions (default 2, 0: none); an existing image has "
                 "them in its partition table, or in this number when it has no table")
      ->check(CLI::Range(0, 15))
      ->each([&g](const std::string &) { g.partitions_given = true; });
  app.add_option("--workers", g.workers, "IO worker threads per session")
      ->check(CLI::Range(1, 64))
      ->capture_default_str();
  app.add_option("--buffer", g.buffer, "staging buffer per worker, e.g. 1M")->capture_default_str();
  app.add_option("--backing-dir", g.backing_dir,
                 "directory for the backing files (default: a temporary one)");
  app.add_option("--format", g.format, "change-record format, 1 or 2")
      ->check(CLI::IsMember({1, 2}))
      ->capture_default_str();
  app.add_flag("--progress", g.progress,
               "draw the progress bar even when stderr is not a terminal");
  app.add_flag("--no-progress", g.no_progress, "never draw the progress bar");
}

// Builds the parser of one command segment; `action` is set to what the segment asks for.
void build(CLI::App &app, Ctx &ctx, bool first, Action &action, DemoOptions &demo,
           std::string &demo_size, std::string &demo_buffer, BackupArgs &ba, int &id, bool &json) {
  app.require_subcommand(1, 1);
  app.fallthrough(false);
  if (first) add_globals(app, ctx.g);

  for (bool inc : {false, true}) {
    auto *c = app.add_subcommand(
        inc ? "incremental" : "backup",
        inc ? "copy the chunks changed since the last backup onto that backup's image "
              "(a full backup when change tracking is not intact)"
            : "snapshot a device and read it to an image file");
    c->add_option("device", ba.device,
                  "device to back up (default sda1, or sda without partitions)");
    c->add_option("-o,--out", ba.out, "image file")->required();
    if (!inc)
      c->add_flag("--no-tracking", ba.no_tracking,
                  "do not keep change tracking for later incrementals");
    c->add_flag("--writer", ba.writer, "keep a writer busy on the device during the backup");
    c->callback(
        [&action, &ba, inc] { action = [&ba, inc](Ctx &x) { return do_backup(x, ba, inc); }; });
  }

  auto *snap =
      app.add_subcommand("snapshot", "start a snapshot session and keep it until stop or exit");
  snap->add_option("device", ba.device, "device to snapshot");
  snap->add_flag("--no-tracking", ba.no_tracking, "no change tracking");
  snap->add_flag("--wait", ba.wait,
                 "keep the session until SIGINT or SIGTERM, or until another agent stops it");
  snap->callback([&] {
    action = [&ba](Ctx &x) {
      std::string dev = ba.device.empty() ? x.default_device() : ba.device;
      DeviceInfo src = x.source(dev, "snapshot");
      dev = src.name;
      SnapshotOptions so;
      so.start.major = src.dev >> 20;
      so.start.minor = src.dev & 0xfffff;
      so.start.device_name = dev;
      so.start.device_path = "/dev/" + dev;
      so.start.tracking = !ba.no_tracking;
      so.workers = x.workers();
      // The workers start with the signals that end the wait blocked, so only the waiting
      // thread takes them.
      sigset_t ends = end_signals();
      if (ba.wait) pthread_sigmask(SIG_BLOCK, &ends, nullptr);
      auto s = std::make_unique<Snapshot>(x.ag().control(), so);
      const StartReply &r = s->reply();
      x.out << "vek" << r.id << ": snapshot of " << dev << " taken at " << r.time << ", frozen "
            << format_seconds(r.sec_froze, r.nsec_froze) << ", " << so.workers.count
            << " IO workers" << std::endl;
      if (ba.wait) {
        Snapshot &held = *s;
        x.held[r.id] = std::move(s);
        // The signals stay blocked to the end of the run: a second one must not kill the
        // agent while it stops its session, and one already taken ends nothing more.
        wait_for_end(x, held, ends);
        return 0;
      }
      x.held[r.id] = std::move(s);
      return 0;
    };
  });

  auto *list = app.add_subcommand("list", "list the snapshot sessions");
  list->add_flag("--json", json, "as JSON");
  list->callback([&] {
    action = [&json](Ctx &x) {
      Control &c = x.ag().control();
      std::vector<SessionRow> rows;
      for (const session_list &s : c.list()) rows.push_back(row_of(c, s));
      x.out << (json ? format_session_json(rows) : format_session_table(rows));
      return 0;
    };
  });

  for (const char *name : {"status", "error"}) {
    bool only_error = std::string(name) == "error";
    auto *c =
        app.add_subcommand(name, only_error ? "print a session's error text" : "show one session");
    c->add_option("id", id, "session id (N of vekN)")->required();
    c->callback([&action, &id, only_error] {
      action = [&id, only_error](Ctx &x) {
        Control &c = x.ag().control();
        auto s = find_session(c, id);
        if (!s) throw Error("no session vek" + std::to_string(id));
        SessionRow r = row_of(c, *s);
        if (only_error) {
          x.out << (r.error_text.empty() ? "no error" : r.error_text) << "\n";
          return 0;
        }
        x.out << "vek" << r.id << ": device " << r.device_path << ", backing file "
              << r.backing_file << "\n"
              << "  snapshot time " << r.time << ", frozen "
              << format_seconds(r.sec_froze, r.nsec_froze) << ", chunks preserved "
              << r.changed_blocks << " of " << r.block_size << " bytes, mode " << r.mode << "\n"
              << "  state: " << (r.error ? "error: " + r.error_text : std::string("ok")) << "\n";
        return 0;
      };
    });
  }

  auto *stop = app.add_subcommand("stop", "stop a snapshot session");
  stop->add_option("id", id, "session id")->required();
  stop->callback([&] {
    action = [&id](Ctx &x) {
      Control &c = x.ag().control();
      if (!find_session(c, id)) throw Error("no session vek" + std::to_string(id));
      auto it = x.held.find(id);
      StopReply r;
      if (it != x.held.end()) {
        r = it->second->stop().reply;
        x.held.erase(it);
      } else {
        r = c.stop(id);
      }
      x.out << "vek" << id << " stopped; backing file " << r.backing_file << "; "
            << r.active_sessions << " sessions remain\n";
      return 0;
    };
  });

  auto *ver = app.add_subcommand("version", "show the driver's version");
  ver->callback([&] {
    action = [](Ctx &x) {
      version_info v = x.ag().control().version();
      x.out << "vekdriver " << v.major << "." << v.minor << "." << v.maint << " build " << v.build
            << "\n";
      return 0;
    };
  });

  auto *d = app.add_subcommand(
      "demo", "live backup demonstration on a fresh disk image, verified bit for bit");
  d->add_option("--size", demo_size, "disk image size")->capture_default_str();
  d->add_option("--workers", demo.workers, "IO workers")
      ->check(CLI::Range(1, 64))
      ->capture_default_str();
  d->add_option("--buffer", demo_buffer, "staging buffer per worker")->capture_default_str();
  d->add_option("--pause-us", demo.pause_us, "pause between the writer's writes, microseconds")
      ->capture_default_str();
  d->add_option("--settle-ms", demo.settle_ms, "writing time before each backup, milliseconds")
      ->capture_default_str();
  d->add_option("--dir", demo.dir, "work in this directory and keep it");
  d->add_flag("--keep", demo.keep, "keep the temporary directory");
  d->add_option("--seed", demo.seed, "workload seed (0: from the clock)");
  d->add_option("--format", demo.format, "change-record format, 1 or 2")
      ->transform(CLI::CheckedTransformer(
          std::map<std::string, RecordFormat>{{"1", RecordFormat::v1}, {"2", RecordFormat::v2}}));
  d->callback([&] {
    action = [&demo, &demo_size, &demo_buffer](Ctx &x) {
      if (x.served()) throw Error("demo boots a machine of its own and does not take --dev");
      auto sz = parse_size(demo_size);
      if (!sz) throw Error("bad demo disk size '" + demo_size + "'");
      auto b = parse_size(demo_buffer);
      if (!b) throw Error("bad staging buffer size '" + demo_buffer + "'");
      demo.disk_bytes = *sz;
      demo.buffer_size = size_t(*b);
      demo.progress = x.g.no_progress ? nullptr : stderr;
      return run_demo(demo, x.out, x.err);
    };
  });
}

}  // namespace

int cli_main(const std::vector<std::string> &args, std::ostream &out, std::ostream &err) {
  ensure_agent_thread_name();
  auto segments = split_commands(args);
  Ctx ctx(out, err);
  for (const auto &seg : segments)
    for (const std::string &a : seg) ctx.g.writes_disk = ctx.g.writes_disk || a == "--writer";
  for (size_t i = 0; i < segments.size(); ++i) {
    if (segments[i].empty()) {
      err << "qel-agent: error: empty command " << (i ? "after '+'" : "") << " (try --help)\n";
      return 2;
    }
    bool is_demo = false;
    for (const std::string &a : segments[i]) is_demo = is_demo || a == "demo";
    if (is_demo && segments.size() > 1) {
      err << "qel-agent: error: demo runs its own machine and cannot be joined with other "
             "commands\n";
      return 2;
    }
  }
  for (size_t i = 0; i < segments.size(); ++i) {
    CLI::App app{"qel-agent: point-in-time backups of live block devices through vekdriver",
                 "qel-agent"};
    Action action;
    DemoOptions demo;
    std::string demo_size = "256M", demo_buffer = "1M";
    BackupArgs ba;
    int id = 0;
    bool json = false;
    build(app, ctx, i == 0, action, demo, demo_size, demo_buffer, ba, id, json);
    std::vector<const char *> argv{"qel-agent"};
    for (const std::string &a : segments[i]) argv.push_back(a.c_str());
    try {
      app.parse(int(argv.size()), argv.data());
    } catch (const CLI::ParseError &e) {
      int code = app.exit(e, out, err);
      return code == 0 ? 0 : 2;
    }
    if (!action) return 2;
    try {
      int r = action(ctx);
      if (r != 0) return r;
    } catch (const std::exception &e) {
      err << "qel-agent: error: " << e.what() << "\n";
      return 1;
    }
  }
  return 0;
}

int cli_main(int argc, char **argv) {
  prctl(PR_SET_NAME, "qel-agent", 0, 0, 0);
  std::vector<std::string> args(argv + 1, argv + argc);
  return cli_main(args, std::cout, std::cerr);
}

}  // namespace agent
