#include "agent/demo.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include <host/host.h>

#include "agent/backup.h"
#include "agent/error.h"
#include "agent/machine.h"
#include "agent/progress.h"
#include "agent/verify.h"
#include "agent/workload.h"

namespace agent {

namespace {

struct TempDir {
  std::string path;
  bool keep = false;
  ~TempDir() {
    if (!path.empty() && !keep) {
      std::error_code ec;
      std::filesystem::remove_all(path, ec);
    }
  }
};

struct Check {
  std::string what;
  VerifyResult r;
};

VerifyResult verify_file(const std::string &path, uint64_t nr_sects, uint64_t salt,
                         const std::vector<WriteEntry> &log, size_t lo, size_t hi) {
  int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) {
    VerifyResult r;
    r.detail = "cannot open " + path + ": " + errno_text(errno);
    return r;
  }
  VerifyResult r = verify_image([fd](void *b, size_t n, off_t o) { return ::pread(fd, b, n, o); },
                                nr_sects, salt, log, lo, hi);
  ::close(fd);
  return r;
}

VerifyResult verify_device(const std::string &dev, uint64_t nr_sects, uint64_t salt,
                           const std::vector<WriteEntry> &log) {
  int fd = host::open(("/dev/" + dev).c_str(), O_RDONLY);
  if (fd < 0) {
    VerifyResult r;
    r.detail = "cannot open /dev/" + dev + ": " + errno_text(errno);
    return r;
  }
  VerifyResult r =
      verify_image([fd](void *b, size_t n, off_t o) { return host::pread(fd, b, n, o); }, nr_sects,
                   salt, log, log.size(), log.size());
  host::close(fd);
  return r;
}

}  // namespace

int run_demo(const DemoOptions &opt, std::ostream &out, std::ostream &err) {
  try {
    ensure_agent_thread_name();
    uint64_t seed =
        opt.seed ? opt.seed : uint64_t(std::chrono::system_clock::now().time_since_epoch().count());
    TempDir dir;
    dir.keep = opt.keep;
    if (opt.dir.empty()) {
      const char *t = getenv("TMPDIR");
      std::string tmpl = std::string(t && *t ? t : "/tmp") + "/qel-demo-XXXXXX";
      std::vector<char> b(tmpl.begin(), tmpl.end());
      b.push_back(0);
      if (!mkdtemp(b.data())) throw_errno("cannot create a directory from " + tmpl, errno);
      dir.path = b.data();
    } else {
      std::error_code ec;
      std::filesystem::create_directories(opt.dir, ec);
      if (ec) throw Error("cannot create " + opt.dir + ": " + ec.message());
      dir.path = opt.dir;
      dir.keep = true;  // never remove a directory the caller named
    }
    out << "demo: machine in " << dir.path << ", seed " << seed << "\n";

    Machine m;
    DiskOptions d;
    d.image = dir.path + "/disk.img";
    d.bytes = opt.disk_bytes;
    d.create = true;
    d.partitions = 2;
    d.reorder = opt.disk_reorder;
    m.add_disk(d);
    const std::string src = "sda1", other = "sda2";
    uint64_t nr = m.nr_sects(src), nr2 = m.nr_sects(other);
    uint32_t dev = m.device(src);
    m.mount(src);
    out << "demo: disk " << format_bytes(m.nr_sects("sda") * 512) << " with " << src << " ("
        << format_bytes(nr * 512) << ", mounted) and " << other << " (" << format_bytes(nr2 * 512)
        << ")" << (opt.disk_reorder.empty() ? "" : ", reordering its bios (" + opt.disk_reorder + ")") << "\n";

    uint64_t salt = seed * 0x9E3779B97F4A7C15ull + 1, salt2 = salt ^ 0x5555555555555555ull;
    WriteFn fs_write = [dev](const void *b, size_t n, off_t o) {
      return host::fs_pwrite(dev, b, n, o);
    };
    prefill(fs_write, nr, salt);
    {
      int fd = host::open("/dev/sda2", O_RDWR);
      if (fd < 0) throw_errno("cannot open /dev/sda2", errno);
      try {
        prefill([fd](const void *b, size_t n, off_t o) { return host::pwrite(fd, b, n, o); }, nr2,
                salt2);
      } catch (...) {
        host::close(fd);
        throw;
      }
      host::close(fd);
    }

    Agent agent(opt.format);
    WorkloadOptions wo;
    wo.nr_sects = nr;
    wo.pause_us = opt.pause_us;
    wo.seed = seed;
    wo.salt = salt;
    Workload w(fs_write, wo);
    w.start();
    std::this_thread::sleep_for(std::chrono::milliseconds(opt.settle_ms));

    BackupOptions bo;
    bo.device = src;
    bo.major = dev >> 20;
    bo.minor = dev & 0xfffff;
    bo.nr_sects = nr;
    bo.out = dir.path + "/" + src + ".img";
    bo.workers.count = opt.workers;
    bo.workers.buffer_size = opt.buffer_size;
    bo.workers.dir = dir.path;
    bo.progress = opt.progress;

    std::vector<Check> checks;
    auto run_one = [&](bool incremental) {
      bo.incremental = incremental;
      BackupResult r = agent.backup(bo);
      out << format_summary(bo, r);
      std::vector<WriteEntry> log = w.log().snapshot();
      auto [lo, hi] = freeze_bracket(log, r.start_called_ns, r.start_returned_ns);
      VerifyResult v = verify_file(bo.out, nr, salt, log, lo, hi);
      std::string what = std::string(r.incremental ? "incremental" : "full") + " backup";
      out << "  verification:     "
          << (v.ok ? "image equals " + src + " at its snapshot instant (after write " +
                         std::to_string(v.cut) + ", window " + std::to_string(lo) + ".." +
                         std::to_string(hi) + ")"
                   : "FAILED: " + v.detail)
          << "\n";
      checks.push_back({what, v});
      return r;
    };
    BackupResult full = run_one(false);
    std::this_thread::sleep_for(std::chrono::milliseconds(opt.settle_ms));
    BackupResult inc = run_one(true);
    w.stop();
    if (!w.error().empty()) throw Error(w.error());

    std::vector<WriteEntry> log = w.log().snapshot();
    VerifyResult live = verify_device(src, nr, salt, log);
    checks.push_back({"live " + src + " after all writes", live});
    VerifyResult untouched = verify_device(other, nr2, salt2, {});
    checks.push_back({other + " untouched", untouched});

    bool ok = true;
    out << "summary:\n";
    out << "  writer:           " << log.size() << " writes to " << src
        << " while the backups ran\n";
    out << "  full backup:      " << format_bytes(full.bytes_copied) << " at "
        << format_rate(full.bytes_copied, full.copy_seconds) << ", " << full.chunks_preserved
        << " chunks preserved, frozen "
        << format_duration(full.start.sec_froze, full.start.nsec_froze) << "\n";
    out << "  incremental:      " << (inc.incremental ? "" : "(fell back to full) ")
        << inc.chunks_copied << " of " << inc.chunks_total << " chunks copied, "
        << format_bytes(inc.bytes_copied) << ", " << inc.chunks_preserved
        << " chunks preserved, frozen " << format_duration(inc.start.sec_froze, inc.start.nsec_froze)
        << "\n";
    for (const Check &c : checks) {
      out << "  " << (c.r.ok ? "ok      " : "FAILED  ") << c.what
          << (c.r.ok ? "" : ": " + c.r.detail) << "\n";
      ok = ok && c.r.ok;
    }
    if (!inc.incremental) {
      out << "  FAILED  the second backup was not incremental: " << inc.fallback_reason << "\n";
      ok = false;
    }
    if (opt.keep) out << "demo: files kept in " << dir.path << "\n";
    out << (ok ? "demo: all checks passed\n" : "demo: verification FAILED\n");
    return ok ? 0 : 1;
  } catch (const std::exception &e) {
    err << "qel-agent: demo failed: " << e.what() << "\n";
    return 1;
  }
}

}  // namespace agent
