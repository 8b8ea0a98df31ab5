// Cost of writes to a source under snapshot, on a RAM disk and on an image-file disk.
//
//   Preserved vs PassThrough: 4 KiB writes to chunks whose old contents are already in
//   the backing store, against the same writes with no session (target: >= 0.95x the
//   pass-through rate).
//   FirstWrite vs LowerBound: the first write to each chunk, until its copy is stored by
//   an IO worker, against the I/O it cannot avoid: a 64 KiB read of the chunk, a 64 KiB
//   write to a backing file and the write itself (target: <= 1.2x).
//
// The ratios are printed after the benchmark table.
#include "cow.h"

#include "bench_ratio.h"
#include "bench_workers.h"

#include <benchmark/benchmark.h>
#include <host/host.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <string>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr size_t kChunk = 65536;
constexpr size_t kBlock = 4096;
constexpr uint64_t kPartSectors = 131072;	// 64 MiB: 1024 chunks
constexpr int kChunksPerRound = 1024;	// the whole partition
constexpr int kWorkers = 2;
// The first writes' last transfers wait out the workers' 5 s batching sleep; on this clock
// it takes 5 ms. Rounds that wait on no timer run on the real clock.
constexpr double kFastClock = 1000;

std::string g_dir;

struct disk {
	const char *label;
	dev_t whole = 0, part = 0;
	std::string path;
};
disk g_disks[2] = {{"ram"}, {"image"}};

void add_disks()
{
	for (int i = 0; i < 2; i++) {
		host::disk_spec spec;
		spec.name = i == 0 ? "sda" : "sdb";
		spec.nr_sects = kPartSectors + 2048;
		spec.image = i == 0 ? "" : g_dir + "/source.img";
		spec.partitions = {{2048, kPartSectors}};
		g_disks[i].whole = host::add_disk(spec);
		g_disks[i].part = g_disks[i].whole + 1;
		g_disks[i].path = "/dev/" + spec.name + "1";
		if (!g_disks[i].whole || host::mount(g_disks[i].part)) {
			fprintf(stderr, "cannot set up disk %s\n", spec.name.c_str());
			exit(1);
		}
		// Written once in full: a first read of untouched RAM-disk memory costs the host a
		// page fault per page, which the first round alone would pay.
		std::vector<char> fill(1 << 20, 's');
		for (uint64_t off = 0; off < kPartSectors * 512; off += fill.size())
			host::fs_pwrite(g_disks[i].part, fill.data(), fill.size(), (off_t)off);
	}
}

// Agent-style workers: threads named "qel...", each with its own file and buffer.
struct workers : agent_workers {
	workers(int id, int n) : agent_workers(g_dir, id, n)
	{
	}
};

int g_ctl = -1;

int start_session(const disk &d)
{
	snap_shot_request req{};
	req.major = (int)(d.part >> 20);
	req.minor = (int)(d.part & 0xFFFFF);
	req.mode = USER_SPACE_FILE;
	snprintf(req.device_name, sizeof(req.device_name), "%s", d.path.c_str() + 5);
	snprintf(req.device_path, sizeof(req.device_path), "%s", d.path.c_str());
	snprintf(req.backing_file, sizeof(req.backing_file), "%s/bench", g_dir.c_str());
	if (host::ioctl(g_ctl, VEK_IOCTL_START_VK2, &req) != 0)
		return -1;
	return req.id;
}

void wait_workers(int id, int n)
{
	for (int i = 0; i < n; i++) {
		snap_shot_request req{};
		req.id = id;
		host::ioctl(g_ctl, VEK_IOCTL_THREAD_WAIT_TIMEOUT, &req);
	}
}

void stop_session(int id)
{
	snap_shot_request req{};
	req.id = id;
	host::ioctl(g_ctl, VEK_IOCTL_STOP_VK, &req);
}

// Every transfer of the session stored (or the session gone).
void wait_stored(int id)
{
	for (;;) {
		int left = 0;
		down(&workLock);
		if (cow_session *cs = get_cow_session_by_id(id))
			left = atomic_read(&cs->fc_count);
		up(&workLock);
		if (!left)
			return;
		usleep(50);	// leave the processors to the workers
	}
}

// One 4 KiB write at the start of each of chunks [0, n).
void write_chunks(int fd, int n, const std::vector<char> &block)
{
	for (int c = 0; c < n; c++)
		if (host::pwrite(fd, block.data(), kBlock, (off_t)c * kChunk) != (ssize_t)kBlock)
			abort();
}

void BM_PassThrough(benchmark::State &state)
{
	host::set_clock_speed(1);
	const disk &d = g_disks[state.range(0)];
	int fd = host::open(d.path.c_str(), O_RDWR);
	std::vector<char> block(kBlock, 'p');
	for (auto _ : state)
		write_chunks(fd, kChunksPerRound, block);
	host::close(fd);
	state.SetBytesProcessed(state.iterations() * kChunksPerRound * kBlock);
	state.SetLabel(d.label);
}

void BM_Preserved(benchmark::State &state)
{
	host::set_clock_speed(1);	/* nothing waits on a timer: the driver's own pace */
	const disk &d = g_disks[state.range(0)];
	int id = start_session(d);
	workers w(id, kWorkers);
	wait_workers(id, kWorkers);
	int fd = host::open(d.path.c_str(), O_RDWR);
	std::vector<char> block(kBlock, 'q');
	write_chunks(fd, kChunksPerRound, block);	// preserve them all first
	wait_stored(id);
	for (auto _ : state)
		write_chunks(fd, kChunksPerRound, block);
	host::close(fd);
	stop_session(id);
	state.SetBytesProcessed(state.iterations() * kChunksPerRound * kBlock);
	state.SetLabel(d.label);
}

void BM_FirstWrite(benchmark::State &state)
{
	host::set_clock_speed(kFastClock);
	const disk &d = g_disks[state.range(0)];
	int fd = host::open(d.path.c_str(), O_RDWR);
	std::vector<char> block(kBlock, 'f');
	double write_ms = 0, drain_ms = 0;	// the writes, then the workers' tail
	for (auto _ : state) {
		state.PauseTiming();
		int id = start_session(d);
		workers *w = new workers(id, kWorkers);
		wait_workers(id, kWorkers);
		state.ResumeTiming();

		auto t0 = std::chrono::steady_clock::now();
		write_chunks(fd, kChunksPerRound, block);
		auto t1 = std::chrono::steady_clock::now();
		wait_stored(id);
		auto t2 = std::chrono::steady_clock::now();
		write_ms += std::chrono::duration<double, std::milli>(t1 - t0).count();
		drain_ms += std::chrono::duration<double, std::milli>(t2 - t1).count();

		state.PauseTiming();
		stop_session(id);
		delete w;
		state.ResumeTiming();
	}
	host::close(fd);
	state.counters["write_ms"] = write_ms / state.iterations();
	state.counters["drain_ms"] = drain_ms / state.iterations();
	state.SetItemsProcessed(state.iterations() * kChunksPerRound);
	state.SetLabel(d.label);
}

// The unavoidable I/O of a first write, done back to back by one thread.
void BM_LowerBound(benchmark::State &state)
{
	host::set_clock_speed(kFastClock);
	const disk &d = g_disks[state.range(0)];
	int fd = host::open(d.path.c_str(), O_RDWR);
	std::string path = g_dir + "/lower.cow";
	int bfd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
	std::vector<char> chunk(kChunk), block(kBlock, 'l');
	for (auto _ : state) {
		for (int c = 0; c < kChunksPerRound; c++) {
			if (host::pread(fd, chunk.data(), kChunk, (off_t)c * kChunk) != (ssize_t)kChunk ||
			    ::pwrite(bfd, chunk.data(), kChunk, (off_t)c * kChunk) != (ssize_t)kChunk ||
			    host::pwrite(fd, block.data(), kBlock, (off_t)c * kChunk) != (ssize_t)kBlock)
				abort();
		}
		state.PauseTiming();
		ftruncate(bfd, 0);	// a fresh file, as each session's workers have
		state.ResumeTiming();
	}
	::close(bfd);
	unlink(path.c_str());
	host::close(fd);
	state.SetItemsProcessed(state.iterations() * kChunksPerRound);
	state.SetLabel(d.label);
}

BENCHMARK(BM_PassThrough)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->MinTime(0.5)->Repetitions(3);
BENCHMARK(BM_Preserved)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->MinTime(0.5)->Repetitions(3);
BENCHMARK(BM_FirstWrite)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(6)->Repetitions(3);
BENCHMARK(BM_LowerBound)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(6)->Repetitions(3);

void print_ratios(const ratio_reporter &rep)
{
	for (int i = 0; i < 2; i++) {
		std::string a = "/" + std::to_string(i);
		auto get = [&](const char *n) {
			auto it = rep.ns.find(std::string(n) + a);
			return it == rep.ns.end() ? 0.0 : it->second;
		};
		double pass = get("BM_PassThrough"), pres = get("BM_Preserved");
		double first = get("BM_FirstWrite"), lower = get("BM_LowerBound");
		if (pass > 0 && pres > 0)
			printf("%-5s preserved writes: %.3fx the pass-through rate (target >= 0.95)\n",
			       g_disks[i].label, pass / pres);
		if (first > 0 && lower > 0)
			printf("%-5s first writes: %.3fx the I/O lower bound (target <= 1.2)\n",
			       g_disks[i].label, first / lower);
	}
}

}  // namespace

int main(int argc, char **argv)
{
	char tmpl[] = "/tmp/vek_bench_XXXXXX";
	g_dir = mkdtemp(tmpl);
	benchmark::Initialize(&argc, argv);
	if (host::insmod() != 0) {
		fprintf(stderr, "insmod failed\n");
		return 1;
	}
	add_disks();
	g_ctl = host::open("/dev/vekdriver", O_RDWR);
	ratio_reporter rep;
	benchmark::RunSpecifiedBenchmarks(&rep);
	print_ratios(rep);
	host::close(g_ctl);
	for (disk &d : g_disks) {
		host::umount(d.part);
		host::del_disk(d.whole);
	}
	host::rmmod();
	std::string img = g_dir + "/source.img";
	unlink(img.c_str());
	rmdir(g_dir.c_str());
	benchmark::Shutdown();
	return 0;
}
