// The whole backup of a 1 GiB partition while a writer keeps writing to it at a fixed rate,
// against plain copying of the same partition while idle (read /dev/sda1, write an image
// file). The ratio benchmark does both in one iteration and reports backup time / plain time.
//
// Each timed run writes a new 1 GiB file. This machine is a VM whose free memory goes back to
// its host a second or two after it is freed: filling the page cache from such memory costs
// about 5 s per GiB, from memory a file gave up just before about 0.3 s. The plain copy's
// O_TRUNC hands it its own old pages; a backup, whose previous image stays until the new one is
// complete, had cheap pages only when the run before it had just unlinked an image. That, not
// the driver or the agent, set the figures. So before each run, untimed, more page cache than
// the run fills is taken by a scratch file, which is removed as the run's copying begins.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <host/host.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "agent/backup.h"
#include "agent/error.h"
#include "agent/machine.h"
#include "agent/workload.h"

namespace {

constexpr uint64_t kPartBytes = 1ull << 30;
constexpr unsigned kWriterRate = 1000;  // writes of 4 to 64 KiB a second

struct Rig {
  std::string dir;
  std::unique_ptr<agent::Machine> m;
  std::unique_ptr<agent::Agent> ag;
  uint32_t dev = 0;
  uint64_t nr = 0;

  Rig() {
    agent::ensure_agent_thread_name("qel-bench");
    char t[] = "/tmp/qel-bench-XXXXXX";
    if (!mkdtemp(t)) {
      perror("mkdtemp");
      exit(1);
    }
    dir = t;
    m = std::make_unique<agent::Machine>();
    agent::DiskOptions d;
    d.image = dir + "/disk.img";
    d.bytes = kPartBytes + (1u << 20);  // one partition after the first MiB: exactly 1 GiB
    d.create = true;
    d.partitions = 1;
    m->add_disk(d);
    m->mount("sda1");
    dev = m->device("sda1");
    nr = m->nr_sects("sda1");
    // Written in full once, so no read meets a hole in the image file.
    agent::prefill([this](const void *b, size_t n, off_t o) { return host::fs_pwrite(dev, b, n, o); }, nr, 1);
    // On disk before anything is timed: left dirty, the host would write it back in the
    // middle of whichever run comes some 30 s later.
    int img = ::open(d.image.c_str(), O_RDONLY);
    if (img < 0 || ::fsync(img) != 0) throw agent::Error("cannot flush the disk image " + d.image);
    ::close(img);
    ag = std::make_unique<agent::Agent>();
  }
  ~Rig() {
    ag.reset();
    m.reset();
    std::filesystem::remove_all(dir);
  }

  // The image or plain copy and the backing files fill up to some 1.5 GiB; the rest is for the
  // machine's other processes, which take freed pages too. A file of holes, read through: clean
  // page cache, and nothing written to the disk.
  void fill_scratch() {
    constexpr uint64_t kBytes = 2 * kPartBytes;
    int fd = ::open(scratch().c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) throw agent::Error("cannot create " + scratch());
    if (::ftruncate(fd, off_t(kBytes)) != 0) {
      ::close(fd);
      throw agent::Error("cannot size " + scratch());
    }
    std::vector<char> buf(1u << 20);
    for (uint64_t off = 0; off < kBytes; off += buf.size())
      if (::pread(fd, buf.data(), buf.size(), off_t(off)) != ssize_t(buf.size())) {
        ::close(fd);
        throw agent::Error("cannot read " + scratch());
      }
    ::close(fd);
  }
  // Its pages go back; the seconds this took.
  double drop_scratch() {
    auto t0 = std::chrono::steady_clock::now();
    ::unlink(scratch().c_str());
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  }
  std::string scratch() const { return dir + "/scratch"; }

  double plain_copy() {
    drop_scratch();
    auto t0 = std::chrono::steady_clock::now();
    int src = host::open("/dev/sda1", O_RDONLY);
    int out = ::open((dir + "/plain.img").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (src < 0 || out < 0) throw agent::Error("cannot open the partition or the output");
    std::vector<char> buf(1u << 20);
    for (uint64_t off = 0; off < nr * 512; off += buf.size()) {
      if (host::pread(src, buf.data(), buf.size(), off_t(off)) != ssize_t(buf.size()) ||
          ::pwrite(out, buf.data(), buf.size(), off_t(off)) != ssize_t(buf.size()))
        throw agent::Error("plain copy failed at byte " + std::to_string(off));
    }
    ::fsync(out);
    ::close(out);
    host::close(src);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  }

  struct BackupRun {
    double seconds;
    agent::BackupResult r;
    uint64_t writes;
  };
  BackupRun backup_under_writer() {
    agent::WorkloadOptions wo;
    wo.nr_sects = nr;
    wo.seed = uint64_t(agent::now_ns());
    // A fixed rate, so that a faster source write path does not make the backup preserve more
    // chunks: the backup, not the writer, is what is timed.
    wo.writes_per_s = kWriterRate;
    agent::Workload w([this](const void *b, size_t n, off_t o) { return host::fs_pwrite(dev, b, n, o); }, wo);
    agent::BackupOptions bo;
    bo.device = "sda1";
    bo.major = dev >> 20;
    bo.minor = dev & 0xfffff;
    bo.nr_sects = nr;
    bo.out = dir + "/backup.img";
    bo.workers.dir = dir;
    double dropping = 0;
    bo.on_started = [&](agent::Snapshot &) { dropping = drop_scratch(); };
    w.start();
    auto t0 = std::chrono::steady_clock::now();
    agent::BackupResult r = ag->backup(bo);
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count() - dropping;
    w.stop();
    if (!w.error().empty()) throw agent::Error(w.error());
    return {s, r, w.writes()};
  }
};

Rig &rig() {
  static Rig r;
  return r;
}

// Untimed: the page cache the next run fills, touched once.
void warm(benchmark::State &st, Rig &r) {
  st.PauseTiming();
  r.fill_scratch();
  st.ResumeTiming();
}

void BM_PlainCopyIdle(benchmark::State &st) {
  Rig &r = rig();
  for (auto _ : st) {
    warm(st, r);
    st.SetIterationTime(r.plain_copy());
  }
  st.SetBytesProcessed(int64_t(st.iterations() * kPartBytes));
}

void BM_FullBackupUnderWriter(benchmark::State &st) {
  Rig &r = rig();
  uint64_t preserved = 0, writes = 0;
  for (auto _ : st) {
    warm(st, r);
    auto b = r.backup_under_writer();
    st.SetIterationTime(b.seconds);
    preserved += b.r.chunks_preserved;
    writes += b.writes;
  }
  st.SetBytesProcessed(int64_t(st.iterations() * kPartBytes));
  st.counters["chunks_preserved"] = benchmark::Counter(double(preserved), benchmark::Counter::kAvgIterations);
  st.counters["writer_writes"] = benchmark::Counter(double(writes), benchmark::Counter::kAvgIterations);
}

void BM_BackupOverPlainRatio(benchmark::State &st) {
  Rig &r = rig();
  double plain = 0, backup = 0;
  uint64_t preserved = 0;
  for (auto _ : st) {
    warm(st, r);
    double p = r.plain_copy();
    warm(st, r);
    auto b = r.backup_under_writer();
    st.SetIterationTime(p + b.seconds);
    plain += p;
    backup += b.seconds;
    preserved += b.r.chunks_preserved;
  }
  st.counters["plain_s"] = plain / double(st.iterations());
  st.counters["backup_s"] = backup / double(st.iterations());
  st.counters["ratio"] = backup / plain;
  st.counters["chunks_preserved"] = benchmark::Counter(double(preserved), benchmark::Counter::kAvgIterations);
}

BENCHMARK(BM_PlainCopyIdle)->UseManualTime()->Iterations(2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FullBackupUnderWriter)->UseManualTime()->Iterations(2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BackupOverPlainRatio)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
