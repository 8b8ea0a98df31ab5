// Pass-through block I/O with no driver loaded: 4 KiB random and 1 MiB
// sequential transfers through host::pwrite/host::pread on a RAM disk and an
// image-file disk. These are the figures the snapshot benchmarks divide by. The disks that
// reorder (queue depth 32, no latency) show what that service costs a lone submitter.
#include <benchmark/benchmark.h>

#include <host/host.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr uint64_t kDiskBytes = 64ull << 20;

struct bench_disk {
  dev_t dev = 0;
  int fd = -1;
};

std::string image_path() {
  static std::string path = [] {
    char tmpl[] = "/tmp/block_baseline.XXXXXX";
    std::string dir = mkdtemp(tmpl);
    static struct cleanup {
      std::string dir;
      ~cleanup() { std::filesystem::remove_all(dir); }
    } c{dir};
    return dir + "/disk.img";
  }();
  return path;
}

// One RAM disk and one image disk for the whole run, each written once in
// full so reads never hit holes.
bench_disk &disk(bool image, bool reorder) {
  static bench_disk disks[2][2];
  bench_disk &d = disks[image][reorder];
  if (d.fd >= 0)
    return d;
  host::disk_spec spec;
  spec.name = std::string(image ? "sdi" : "sdr") + (reorder ? "q" : "");
  spec.nr_sects = kDiskBytes / 512;
  if (image)
    spec.image = image_path() + (reorder ? ".q" : "");
  spec.reorder.enabled = reorder;
  spec.reorder.seed = 1;
  spec.reorder.mean_latency_us = 0;
  d.dev = host::add_disk(spec);
  if (!d.dev) {
    std::perror("add_disk");
    std::exit(1);
  }
  d.fd = host::open(("/dev/" + spec.name).c_str(), O_RDWR);
  std::vector<unsigned char> fill(1 << 20, 0x5a);
  for (uint64_t off = 0; off < kDiskBytes; off += fill.size())
    host::pwrite(d.fd, fill.data(), fill.size(), off_t(off));
  return d;
}

// args: image (0/1), write (0/1), transfer bytes, random (0/1), reorder (0/1)
void BM_Io(benchmark::State &state) {
  bool image = state.range(0), write = state.range(1), random = state.range(3);
  size_t len = size_t(state.range(2));
  bench_disk &d = disk(image, state.range(4));
  std::vector<unsigned char> buf(len, 0xa5);
  uint64_t slots = kDiskBytes / len, x = 88172645463325252ull, seq = 0;
  for (auto _ : state) {
    uint64_t slot;
    if (random) {
      x ^= x << 13;
      x ^= x >> 7;
      x ^= x << 17;
      slot = x % slots;
    } else {
      slot = seq++ % slots;
    }
    ssize_t r = write ? host::pwrite(d.fd, buf.data(), len, off_t(slot * len))
                      : host::pread(d.fd, buf.data(), len, off_t(slot * len));
    if (r != ssize_t(len)) {
      state.SkipWithError("short or failed transfer");
      break;
    }
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(len));
  state.SetItemsProcessed(int64_t(state.iterations()));
}

void args(benchmark::internal::Benchmark *b) {
  b->ArgNames({"image", "write", "bytes", "random", "reorder"});
  for (int reorder : {0, 1})
    for (int image : {0, 1})
      for (int write : {1, 0}) {
        b->Args({image, write, 4096, 1, reorder});
        b->Args({image, write, 1 << 20, 0, reorder});
      }
}

BENCHMARK(BM_Io)->Apply(args)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
