// vek-machine: boots the platform, loads the module, adds the disk from an image file,
// mounts the partitions asked for and serves every device as a file under --dev DIR until
// SIGTERM or SIGINT.
#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <cctype>
#include <chrono>
#include <climits>
#include <cstring>
#include <cstdio>
#include <iostream>
#include <memory>
#include <set>
#include <thread>

#include <vekdriver.h>

#include "agent/error.h"
#include "agent/layout.h"
#include "agent/machine.h"
#include "devfs.h"
#include "freeze_bridge.h"

namespace {

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

int run(int argc, char **argv) {
  std::string image, disk_size = "256M", dir, log;
  unsigned partitions = 2;
  std::vector<std::string> mounts;
  // Workers park inside ioctls (every IO thread of every session: up to 16 x 64), and a
  // freeze needs a free worker to serve the writeback it waits for. libfuse starts a worker
  // only when none is idle, so the cap costs nothing until it is needed.
  unsigned threads = VEK_MAX_SESSIONS * VEK_MAX_IO_THREADS + 32;

  CLI::App app{"vek-machine: the vekdriver machine, its devices served as files"};
  app.add_option("--disk", image, "disk image file (created when it does not exist)")->required();
  auto *size_opt = app.add_option("--disk-size", disk_size, "size of a new image (an existing one keeps its size)");
  app.add_option("--partitions", partitions, "equal partitions on the disk")->check(CLI::Range(0, 15));
  app.add_option("--mount", mounts, "mount a file system on this device (repeatable; default: every partition)");
  app.add_option("--dev", dir, "directory to serve the devices in")->required()->check(CLI::ExistingDirectory);
  app.add_option("--log", log, "append the machine's messages to this file instead of stderr");
  unsigned freeze_timeout = 20;
  app.add_option("--freeze-timeout", freeze_timeout,
                 "seconds a host file system on a device may take to freeze before the snapshot is refused")
      ->check(CLI::Range(1, 3600));
  app.add_option("--threads", threads, "FUSE worker threads at most")->check(CLI::Range(4, 4096));
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError &e) {
    return app.exit(e) == 0 ? 0 : 2;
  }
  if (!log.empty() && !freopen(log.c_str(), "a", stderr)) {
    perror(("vek-machine: " + log).c_str());
    return 2;
  }
  setvbuf(stderr, nullptr, _IOLBF, 0);
  auto bytes = agent::parse_size(disk_size);
  if (!bytes) {
    fprintf(stderr, "vek-machine: bad disk size '%s'\n", disk_size.c_str());
    return 2;
  }

  sigset_t stops = stop_signals();
  pthread_sigmask(SIG_BLOCK, &stops, nullptr);
  signal(SIGPIPE, SIG_IGN);

  agent::Machine m;
  agent::DiskOptions d;
  d.image = image;
  d.bytes = *bytes;
  d.bytes_given = size_opt->count() > 0;
  d.partitions = partitions;
  m.add_disk(d);
  machine::DevfsOptions o;
  o.dir = dir;
  o.max_threads = threads;
  // Every partition has a file system unless --mount names the devices that have one; a
  // disk without partitions has it on the whole disk.
  if (mounts.empty())
    for (const std::string &name : m.device_names())
      if (partitions == 0 || std::isdigit(static_cast<unsigned char>(name.back()))) mounts.push_back(name);
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
  std::atomic<bool> signalled{false};
  std::thread stopper([&] {
    int sig = 0;
    sigwait(&stops, &sig);
    signalled = true;
    fprintf(stderr, "vek-machine: %s: stopping\n", strsignal(sig));
    std::thread again([stops] {
      for (int s = 0;;) {
        sigwait(&stops, &s);
        fprintf(stderr, "vek-machine: %s: already stopping\n", strsignal(s));
      }
    });
    again.detach();
    fs.stop();
  });
  fprintf(stderr, "vek-machine: serving %s\n", dir.c_str());
  int r = fs.serve();
  if (!signalled) {
    // The mount went away under us (fusermount3 -u, an abort): stop the same way.
    fprintf(stderr, "vek-machine: the device directory was unmounted\n");
    pthread_kill(stopper.native_handle(), SIGTERM);
  }
  stopper.join();
  fs.unmount();
  m.unload();
  fprintf(stderr, "vek-machine: stopped\n");
  return r == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
  try {
    return run(argc, argv);
  } catch (const std::exception &e) {
    fprintf(stderr, "vek-machine: %s\n", e.what());
    return 1;
  }
}
