// vek-machine: boots the platform, loads the module, adds the disk from an image file,
// mounts the partitions asked for and serves every device as a file under --dev DIR until
// SIGTERM or SIGINT.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <cctype>
#include <chrono>
#include <climits>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <cstdio>
#include <iostream>
#include <memory>
#include <optional>
#include <set>
#include <thread>

#include <host/host.h>
#include <host/host_block.h>
#include <vekdriver.h>

#include "agent/error.h"
#include "agent/layout.h"
#include "agent/machine.h"
#include "devfs.h"
#include "freeze_bridge.h"
#include "klog.h"

namespace {

// How long requests may take to end once the loop is told to stop: after the driver's
// shutdown none of them waits for a session any more.
constexpr unsigned kStopWaitMs = 5000;
// The same after an abort and a second shutdown; past it the machine gives up.
constexpr unsigned kAbortedStopWaitMs = 10000;

machine::KernelLog *g_klog;  // with --log
int g_terminal = -1;         // stderr as it was before --log took it: a start that fails says why there too

// One of the machine's own lines, after the kernel's lines printed before it.
__attribute__((format(printf, 1, 2))) void say(const char *fmt, ...) {
  char line[512];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(line, sizeof line, fmt, ap);
  va_end(ap);
  if (g_klog) g_klog->flush();
  fprintf(stderr, "vek-machine: %s\n", line);
}

// Blocked in every thread (set before the first thread starts): only the stopper thread
// takes them, so a second signal during the stop is just logged.
sigset_t stop_signals() {
  sigset_t s;
  sigemptyset(&s);
  sigaddset(&s, SIGTERM);
  sigaddset(&s, SIGINT);
  sigaddset(&s, SIGHUP);
  return s;
}

// The driver's own shutdown (the unload command), run as the machine's own task: it stops
// every session, so that the IO workers parked in callers' ioctls leave and those callers get
// their replies, and all change tracking. False when a session could not be stopped (its
// snapshot device is held open).
bool shutdown_driver() {
  int fd = host::open("/dev/" VEK_CONTROL_NAME, O_RDWR);
  if (fd < 0) {
    say("cannot open the control device: %s", strerror(errno));
    return false;
  }
  int32_t unused = 0;
  int r = host::ioctl(fd, VEK_IOCTL_UNLOAD, &unused);
  host::close(fd);
  if (r == 0) {
    say("driver shut down: no session left");
    return true;
  }
  say("driver shutdown: a session could not be stopped (its snapshot device is open)");
  return false;
}

// The stop, in the order that lets every caller go: the driver's shutdown, then the loop.
// What that leaves (a session whose snapshot device a process holds open, a request that
// does not end) is cut off: the connection aborted, the handles callers left closed, the
// driver shut down again. Runs on the stopper thread, never on a FUSE worker.
void stop_machine(machine::Devfs &fs) {
  if (shutdown_driver()) {
    if (fs.stop(kStopWaitMs)) return;
    say("requests still running %u ms after the stop", kStopWaitMs);
  }
  say("aborting the FUSE connection: callers waiting for a reply get errors");
  if (!fs.abort()) say("the FUSE connection could not be aborted");
  fs.close_left_handles();
  shutdown_driver();
  if (fs.stop(kAbortedStopWaitMs)) return;
  say("requests still running in the driver: leaving without unloading it");
  fs.detach_mount();
  if (g_klog) g_klog->flush();
  fflush(stderr);
  _exit(1);
}

// What the platform holds allocated. The module, the disks and their file systems give all
// of theirs back at the stop, so whatever is still held then has leaked.
struct Allocated {
  long kmalloc, vmalloc, pages, bios;
  static Allocated now() {
    return {host::kmalloc_in_use(), host::vmalloc_in_use(), host::pages_in_use(), host::bios_in_use()};
  }
};

void say_leaks(const Allocated &before) {
  const Allocated after = Allocated::now();
  if (after.kmalloc == before.kmalloc && after.vmalloc == before.vmalloc && after.pages == before.pages &&
      after.bios == before.bios) {
    say("nothing left allocated");
    return;
  }
  say("left allocated after the stop: %ld kmalloc objects, %ld vmalloc areas, %ld pages, %ld bios",
      after.kmalloc - before.kmalloc, after.vmalloc - before.vmalloc, after.pages - before.pages,
      after.bios - before.bios);
}

int run(int argc, char **argv) {
  const Allocated at_start = Allocated::now();
  std::string image, disk_size, dir, log;
  unsigned partitions = 2;
  bool allow_other = false;
  std::vector<std::string> mounts;
  // Workers park inside ioctls (every IO thread of every session: up to 16 x 64), and a
  // freeze needs a free worker to serve the writeback it waits for. libfuse starts a worker
  // only when none is idle, so the cap costs nothing until it is needed.
  machine::DevfsOptions o;
  // The 32 beyond them are the reserve that workers leave free, and as many more.
  unsigned threads = VEK_MAX_SESSIONS * VEK_MAX_IO_THREADS + 32;

  CLI::App app{"vek-machine: the vekdriver machine, its devices served as files"};
  app.add_option("--disk", image, "disk image file; it belongs to this machine while it runs")->required();
  auto *size_opt = app.add_option("--disk-size", disk_size,
                                  "create the image of this size when it does not exist (an existing one must have it)")
                       ->check(CLI::Validator(agent::disk_size_problem, "SIZE"));
  auto *parts_opt = app.add_option("--partitions", partitions,
                                   "a new image's equal partitions (default 2, 0: none); an existing image has them "
                                   "in its partition table, or in this number when it has no table")
                        ->check(CLI::Range(0, 15));
  std::string reorder;
  app.add_option("--disk-reorder", reorder,
                 "serve the disk as one that reorders: up to DEPTH bios (default 32) in service at once, "
                 "completed out of order after random latencies of mean LATENCY_US microseconds "
                 "(default 200), drawn from SEED")
      ->check(CLI::Validator(agent::disk_reorder_problem, "SEED[:DEPTH[:LATENCY_US]]"));
  std::string image_cache = "writeback";
  app.add_option("--image-cache", image_cache,
                 "how the disk image is read and written: writeback (through the host's page cache) or "
                 "none (O_DIRECT, past it, as QEMU opens its files with cache=none)")
      ->check(CLI::IsMember({"writeback", "none"}));
  app.add_option("--mount", mounts, "mount a file system on this device (repeatable; default: every partition)");
  app.add_option("--dev", dir, "directory to serve the devices in")->required()->check(CLI::ExistingDirectory);
  app.add_option("--log", log, "append the machine's messages and the kernel log to this file instead of stderr");
  unsigned freeze_timeout = 20;
  app.add_option("--freeze-timeout", freeze_timeout,
                 "seconds a host file system on a device may take to freeze before the snapshot is refused")
      ->check(CLI::Range(1, 3600));
  app.add_option("--threads", threads, "FUSE worker threads at most; IO workers leave 16 of them free, so at least 20")
      ->check(CLI::Range(20, 4096));
  app.add_flag("--allow-other", allow_other, "let other users use the files, as their modes allow");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError &e) {
    return app.exit(e) == 0 ? 0 : 2;
  }
  if (!log.empty()) g_terminal = fcntl(2, F_DUPFD_CLOEXEC, 0);
  if (!log.empty() && !freopen(log.c_str(), "a", stderr)) {
    perror(("vek-machine: " + log).c_str());
    return 2;
  }
  setvbuf(stderr, nullptr, _IOLBF, 0);

  sigset_t stops = stop_signals();
  pthread_sigmask(SIG_BLOCK, &stops, nullptr);
  signal(SIGPIPE, SIG_IGN);

  // Before the module loads, so that its first lines are in the log too.
  std::optional<machine::KernelLog> klog;
  if (!log.empty()) g_klog = &klog.emplace();

  agent::Machine m;
  agent::DiskOptions d;
  d.image = image;
  d.create = size_opt->count() > 0;
  if (d.create) d.bytes = *agent::parse_size(disk_size);  // checked when parsed
  if (parts_opt->count() > 0) d.partitions = partitions;
  d.writes_because = "the machine serves its devices for writing";
  d.reorder = reorder;
  d.direct = image_cache == "none";
  m.add_disk(d);
  o.dir = dir;
  o.max_threads = threads;
  // Every partition has a file system unless --mount names the devices that have one; a
  // disk without partitions has it on the whole disk.
  std::vector<std::string> devices = m.device_names();
  if (mounts.empty())
    for (const std::string &name : devices)
      if (devices.size() == 1 || std::isdigit(static_cast<unsigned char>(name.back()))) mounts.push_back(name);
  o.allow_other = allow_other;
  for (const std::string &name : mounts) {
    m.mount(name);
    o.mounted.insert(m.device(name));
  }

  // Host file systems mounted on loop devices over our files name them by the directory's
  // canonical path, which must be taken before the mount covers it.
  char canon[PATH_MAX];
  if (!realpath(dir.c_str(), canon)) {
    perror(("vek-machine: " + dir).c_str());
    return 2;
  }
  machine::FreezeBridge bridge(canon, std::chrono::seconds(freeze_timeout));
  bridge.install();
  machine::Devfs fs(o);
  std::thread stopper([&] {
    for (;;) {
      struct timespec poll = {0, 200 * 1000 * 1000};
      int sig = sigtimedwait(&stops, nullptr, &poll);
      if (sig > 0) {
        say("%s: stopping", strsignal(sig));
        break;
      }
      if (fs.session_ended()) {
        // The mount went away under us (fusermount3 -u, an abort): stop the same way.
        say("the device directory was unmounted: stopping");
        break;
      }
    }
    std::thread again([stops] {
      for (int s = 0;;) {
        sigwait(&stops, &s);
        fprintf(stderr, "vek-machine: %s: already stopping\n", strsignal(s));  // may outlive the log writer
      }
    });
    again.detach();
    stop_machine(fs);
  });
  say("serving %s", dir.c_str());
  // On the terminal too when the log goes to a file: what is where.
  std::string names = "vekdriver kmsg";
  for (const std::string &n : m.device_names()) names += " " + n;
  printf("vek-machine: %s holds %s (and vek<N> while snapshot N exists); %s\n", dir.c_str(), names.c_str(),
         log.empty() ? "messages on stderr, the kernel log in kmsg" : ("messages and the kernel log in " + log).c_str());
  fflush(stdout);
  int r = fs.serve();
  stopper.join();
  fs.unmount();
  m.unload();
  say_leaks(at_start);
  say("stopped");
  return r == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
  try {
    return run(argc, argv);
  } catch (const std::exception &e) {
    fprintf(stderr, "vek-machine: %s\n", e.what());
    if (g_terminal >= 0) dprintf(g_terminal, "vek-machine: %s\n", e.what());
    return 1;
  }
}
