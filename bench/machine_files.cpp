// The devices of a running vek-machine, read and driven as files through its FUSE mount by
// this process with plain system calls, as dd and the agent do.
//
//   SourceRead/SnapRead: one pass over DIR/sda1 and over DIR/vek<N> (the snapshot of sda1,
//   held by a qel-agent child with 4 IO workers) in 1 MiB preads on an O_DIRECT descriptor
//   into a page-aligned buffer (dd bs=1M iflag=direct).
//     Arg 0: nothing written since the snapshot: the snapshot reads the source.
//     Arg 1: every chunk of sda1 overwritten once, and all of them stored in the backing
//            files: the snapshot reads those.
//   MachineIoctl/InProcessIoctl: one GET_VERSION on the control device, through the machine
//   (DIR/vekdriver) and on a module loaded in this process (no FUSE, no second process).
//
// The ratios after the table compare the best repetition of each: the machine is shared and
// noise only adds time. Needs root, /dev/fuse and the built vek-machine and qel-agent; skips
// without them. The disk image, the backing files and the mount live in a temporary
// directory; a keeper process removes them and ends the children once this process ends,
// however it ends.
#include "bench_machine.h"
#include "bench_ratio.h"

#include <vekdriver.h>

#include <benchmark/benchmark.h>
#include <host/host.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <regex>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace bench_machine;

// Two partitions of 32 MiB after the first MiB.
constexpr uint64_t kDiskBytes = 65ull << 20;
constexpr size_t kReadSize = 1 << 20;
constexpr int kWorkers = 4;
// The disk's bytes before the snapshot, and sda1's after the overwrite.
constexpr char kOld = 's', kNew = 'p';

// vek-machine serving its devices in tmp/dev, and the qel-agent child holding a session of
// sda1 on it. Both are children of a keeper process forked before any thread starts, which
// ends them and removes the mount and the files once this process closes its end of a pipe:
// at the end of main, or when it dies in any way (a failed check, a signal, a crash).
class rig {
public:
	std::string tmp, dir, backing;
	int id = 0;
	uint64_t part_bytes = 0;

	// In this process: forks the keeper and waits for its start. False with why set when
	// the start failed (the keeper has cleaned up then).
	bool start(std::string &why)
	{
		std::string reply;
		auto launched = [this](std::string &out) {
			if (!launch(out))
				return false;
			out = "ok " + std::to_string(id) + " " + std::to_string(part_bytes) + " " + tmp;
			return true;
		};
		if (!link_.start(launched, [this] { return cleanup(); }, &reply, why))
			return false;
		std::istringstream in(reply);
		std::string word;
		in >> word;
		if (word != "ok" || !(in >> id >> part_bytes >> tmp)) {
			why = reply.empty() ? "the keeper process died during the start" : reply;
			finish();
			return false;
		}
		dir = tmp + "/dev";
		backing = tmp + "/backing";
		return true;
	}

	// In this process: lets the keeper clean up and waits for it; true when all went.
	bool finish() { return link_.finish(); }

private:
	// The keeper: starts, reports, waits for the pipe to close, cleans up, exits.
	bool launch(std::string &why)
	{
		char tmpl[] = "/tmp/vek-machine-bench-XXXXXX";
		if (!mkdtemp(tmpl)) {
			why = std::string("mkdtemp: ") + strerror(errno);
			return false;
		}
		tmp = tmpl;
		dir = tmp + "/dev";
		backing = tmp + "/backing";
		std::string image = tmp + "/disk.img", log = tmp + "/machine.log";
		std::string agent_out = tmp + "/agent.out";
		if (mkdir(dir.c_str(), 0755) != 0 || mkdir(backing.c_str(), 0755) != 0) {
			why = std::string("mkdir: ") + strerror(errno);
			return false;
		}
		// Written in full, so that every read moves real data.
		{
			std::ofstream img(image, std::ios::binary);
			std::vector<char> fill(kReadSize, kOld);
			for (uint64_t off = 0; off < kDiskBytes; off += fill.size())
				img.write(fill.data(), std::streamsize(fill.size()));
			if (!img.flush()) {
				why = "cannot write the disk image " + image;
				return false;
			}
		}
		if (!start_machine({"--disk", image, "--partitions", "2"}, dir, log, tmp + "/machine.out",
				   machine_, why))
			return false;
		struct stat st;
		if (stat((dir + "/sda1").c_str(), &st) != 0 || st.st_size < (off_t)kReadSize) {
			why = "no sda1 in " + dir;
			return false;
		}
		part_bytes = uint64_t(st.st_size);
		agent_ = spawn({VEK_AGENT_PATH, "--dev", dir, "--no-progress", "--workers",
				std::to_string(kWorkers), "--backing-dir", backing, "snapshot", "sda1",
				"--wait"},
			       agent_out);
		if (agent_ < 0) {
			why = "cannot start " + std::string(VEK_AGENT_PATH);
			return false;
		}
		std::regex announced("vek([0-9]+): snapshot of");
		bool exited = false;
		eventually(
			[&] {
				std::smatch m;
				std::string text = slurp(agent_out);
				if (std::regex_search(text, m, announced))
					id = std::stoi(m[1]);
				exited = waitpid(agent_, nullptr, WNOHANG) == agent_;
				return id != 0 || exited;
			},
			3000);
		if (exited)
			agent_ = -1;
		if (id == 0 || exited) {
			why = "qel-agent did not hold a session of sda1:\n" + slurp(agent_out);
			return false;
		}
		if (access((dir + "/vek" + std::to_string(id)).c_str(), F_OK) != 0) {
			why = "no vek" + std::to_string(id) + " in " + dir;
			return false;
		}
		return true;
	}

	// Ends what launch() began, in whatever state it got to; true when nothing is left.
	bool cleanup()
	{
		if (tmp.empty())
			return true;
		// The agent first: its stop of the session needs the machine. A killed agent
		// still waits for the requests the machine is serving (its parked workers); they
		// end when the machine does, so it is reaped after the machine.
		bool agent_killed = false;
		if (agent_ > 0) {
			kill(agent_, SIGTERM);
			if (!reap(agent_, 1000)) {
				kill(agent_, SIGKILL);
				agent_killed = true;
			}
		}
		bool unmounted = stop_machine(machine_, dir);
		if (agent_killed)
			waitpid(agent_, nullptr, 0);
		if (!unmounted) {
			fprintf(stderr, "bench_machine_files: %s is still mounted\n", dir.c_str());
			return false;
		}
		std::error_code ec;
		std::filesystem::remove_all(tmp, ec);
		return !ec;
	}

	bench_machine::keeper_link link_;
	pid_t machine_ = -1, agent_ = -1;	/* in the keeper */
};

rig g_rig;

// A failure in the middle of a case ends the run: the framework cannot take an error in a
// later repetition than the first, and the keeper cleans up after this process's exit.
[[noreturn]] void fatal(const std::string &why)
{
	fprintf(stderr, "bench_machine_files: %s\n", why.c_str());
	fflush(nullptr);
	_exit(1);
}

// One pass over the whole device, front to back; "" or what failed. The ends of every read
// are checked against the byte expected there, so that a pass returning the wrong image is
// no figure.
std::string read_pass(int fd, char *buf, char expect)
{
	for (uint64_t off = 0; off < g_rig.part_bytes; off += kReadSize) {
		size_t n = (size_t)std::min<uint64_t>(kReadSize, g_rig.part_bytes - off);
		ssize_t r = pread(fd, buf, n, (off_t)off);
		if (r != (ssize_t)n)
			return "pread at " + std::to_string(off) + ": " +
			       (r < 0 ? strerror(errno) : "short read of " + std::to_string(r));
		if (buf[0] != expect || buf[n - 1] != expect)
			return "wrong data at " + std::to_string(off);
	}
	return "";
}

uint64_t backing_bytes()
{
	uint64_t n = 0;
	std::error_code ec;
	for (const auto &e : std::filesystem::directory_iterator(g_rig.backing, ec)) {
		std::error_code sec;
		uintmax_t s = e.file_size(sec);
		if (!sec)
			n += s;
	}
	return n;
}

// Every chunk of sda1 overwritten once, then every preserved chunk in a backing file: the
// workers store them in batches, the last at most their 5 s sleep later. Once per run.
void preserve_all()
{
	static bool done = false;
	if (done)
		return;
	done = true;
	int fd = open((g_rig.dir + "/sda1").c_str(), O_WRONLY);
	if (fd < 0)
		fatal(std::string("open sda1: ") + strerror(errno));
	std::vector<char> fill(kReadSize, kNew);
	for (uint64_t off = 0; off < g_rig.part_bytes; off += kReadSize) {
		size_t n = (size_t)std::min<uint64_t>(kReadSize, g_rig.part_bytes - off);
		if (pwrite(fd, fill.data(), n, (off_t)off) != (ssize_t)n)
			fatal(std::string("overwriting sda1: ") + strerror(errno));
	}
	close(fd);
	if (!eventually([] { return backing_bytes() >= g_rig.part_bytes; }, 6000))
		fatal("only " + std::to_string(backing_bytes()) + " of " +
		      std::to_string(g_rig.part_bytes) + " bytes reached the backing files");
}

// Whole passes over a device by a thread named comm, as the agent's reader or another
// program.
void read_device(benchmark::State &state, int which, const char *comm)
{
	if (state.range(0) == 1)
		preserve_all();
	std::string path = which == 0 ? g_rig.dir + "/sda1"
				      : g_rig.dir + "/vek" + std::to_string(g_rig.id);
	char expect = which == 0 && state.range(0) == 1 ? kNew : kOld;
	std::thread t([&] {
		prctl(PR_SET_NAME, comm, 0, 0, 0);
		int fd = open(path.c_str(), O_RDONLY | O_DIRECT);
		if (fd < 0)
			fatal("open " + path + ": " + strerror(errno));
		char *buf = static_cast<char *>(aligned_alloc(4096, kReadSize));
		for (auto _ : state) {
			std::string error = read_pass(fd, buf, expect);
			if (!error.empty())
				fatal(path + ": " + error);
		}
		free(buf);
		close(fd);
	});
	t.join();
	state.SetBytesProcessed(state.iterations() * (int64_t)g_rig.part_bytes);
}

void BM_SourceRead(benchmark::State &state)
{
	read_device(state, 0, "reader");
}

void BM_SnapRead(benchmark::State &state)
{
	read_device(state, 1, "qel-reader");
}

void BM_MachineIoctl(benchmark::State &state)
{
	int fd = open((g_rig.dir + "/vekdriver").c_str(), O_RDWR);
	if (fd < 0)
		fatal(std::string("open vekdriver: ") + strerror(errno));
	version_info v{};
	for (auto _ : state) {
		if (ioctl(fd, VEK_IOCTL_GET_VERSION, &v) != 0)
			fatal(std::string("GET_VERSION through the machine: ") + strerror(errno));
		benchmark::DoNotOptimize(v);
	}
	close(fd);
}

// The module of this process, loaded at the first in-process case: its threads stay out of
// the way of the cases before.
bool g_loaded = false;
int g_ctl = -1;

void BM_InProcessIoctl(benchmark::State &state)
{
	if (!g_loaded) {
		if (host::insmod() != 0)
			fatal("insmod failed");
		g_loaded = true;
		g_ctl = host::open("/dev/vekdriver", O_RDWR);
		if (g_ctl < 0)
			fatal("cannot open the in-process control device");
	}
	version_info v{};
	for (auto _ : state) {
		if (host::ioctl(g_ctl, VEK_IOCTL_GET_VERSION, &v) != 0)
			fatal("GET_VERSION in process failed");
		benchmark::DoNotOptimize(v);
	}
}

// Untouched chunks first: the overwrite of case 1 preserves them for good.
BENCHMARK(BM_SourceRead)->Arg(0)->Unit(benchmark::kMillisecond)->MinTime(0.5)->Repetitions(5)->UseRealTime();
BENCHMARK(BM_SnapRead)->Arg(0)->Unit(benchmark::kMillisecond)->MinTime(0.5)->Repetitions(5)->UseRealTime();
BENCHMARK(BM_SourceRead)->Arg(1)->Unit(benchmark::kMillisecond)->MinTime(0.5)->Repetitions(5)->UseRealTime();
BENCHMARK(BM_SnapRead)->Arg(1)->Unit(benchmark::kMillisecond)->MinTime(0.5)->Repetitions(5)->UseRealTime();
// Real time: the machine's share of the work is spent in another process.
BENCHMARK(BM_MachineIoctl)->MinTime(0.5)->Repetitions(5)->UseRealTime();
BENCHMARK(BM_InProcessIoctl)->MinTime(0.5)->Repetitions(5)->UseRealTime();

void print_ratios(const ratio_reporter &rep)
{
	auto get = [&](const std::string &key) {
		auto it = rep.ns.find(key);
		return it == rep.ns.end() ? 0.0 : it->second;
	};
	auto mib_s = [](double ns) { return (double)g_rig.part_bytes / (1 << 20) / (ns * 1e-9); };
	const char *what[] = {"untouched", "preserved"};
	std::string vek = "vek" + std::to_string(g_rig.id);
	for (int i = 0; i < 2; i++) {
		double src = get("BM_SourceRead/" + std::to_string(i));
		double snap = get("BM_SnapRead/" + std::to_string(i));
		if (src <= 0 || snap <= 0)
			continue;
		printf("%-9s sda1 %.1f MiB/s, %s %.1f MiB/s (best passes %.2f and %.2f ms): "
		       "%s/sda1 time per pass %.3fx\n",
		       what[i], mib_s(src), vek.c_str(), mib_s(snap), src / 1e6, snap / 1e6,
		       vek.c_str(), snap / src);
	}
	// Google Benchmark names a case without arguments "function/".
	double machine = get("BM_MachineIoctl/"), local = get("BM_InProcessIoctl/");
	if (machine > 0 && local > 0)
		printf("GET_VERSION ioctl: %.0f ns through the machine, %.0f ns in process: %.1fx\n",
		       machine, local, machine / local);
}

}  // namespace

int main(int argc, char **argv)
{
	benchmark::Initialize(&argc, argv);
	const char *skip = geteuid() != 0 ? "needs root"
			   : access("/dev/fuse", R_OK | W_OK) != 0 ? "needs /dev/fuse"
			   : access(VEK_MACHINE_PATH, X_OK) != 0 ? "vek-machine was not built (no libfuse3)"
			   : access(VEK_AGENT_PATH, X_OK) != 0 ? "qel-agent was not built"
							       : nullptr;
	if (skip) {
		printf("bench_machine_files: skipped: %s\n", skip);
		return 0;
	}
	std::string why;
	if (!g_rig.start(why)) {
		fprintf(stderr, "bench_machine_files: %s\n", why.c_str());
		return 1;
	}
	ratio_reporter rep;
	benchmark::RunSpecifiedBenchmarks(&rep);
	print_ratios(rep);
	int status = 0;
	if (g_loaded) {
		host::close(g_ctl);
		if (host::rmmod() != 0) {
			fprintf(stderr, "bench_machine_files: rmmod failed\n");
			status = 1;
		}
	}
	if (!g_rig.finish()) {
		fprintf(stderr, "bench_machine_files: the machine's clean-up failed\n");
		status = 1;
	}
	return status;
}
