// The host's own ext4 on DIR/sda1 of a running vek-machine (through a loop device with direct
// I/O), written by this process with and without a snapshot session of sda1 held by a
// `qel-agent snapshot --wait` child:
//
//   random:     a 64 MiB file written in full beforehand; each op a 4 KiB pwrite at a random
//               4 KiB-aligned offset and an fdatasync. Time per op and ops/s.
//   sequential: a new 64 MiB file in 1 MiB writes and an fsync, removed after. MB/s.
//   freeze:     K sessions one after another, each started and stopped by an agent of its
//               own while the random workload runs in a thread; the agent's "frozen X s",
//               median and max.
//
// Every timed pass with the session runs in a session of its own, started just before it and
// stopped after, so that each pass pays for the first write to every chunk it touches; the
// passes with and without it alternate. The ratios compare the medians of the passes: the
// file system's journal makes single passes noisy. Needs root, /dev/fuse, loop devices,
// mkfs.ext4 and the built vek-machine and qel-agent; skips without them. A keeper process
// forked at the start unmounts the file system, detaches the loop device, ends the agents and
// the machine and removes the temporary directory once this process ends, however it ends.
#include "bench_machine.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace bench_machine;
using Clock = std::chrono::steady_clock;

constexpr const char *kName = "bench_machine_ext4";
// Two partitions: sda1 is about 255 MiB, room for both files and the file system's own.
constexpr const char *kDiskSize = "512M";
constexpr uint64_t kFileBytes = 64ull << 20;
constexpr size_t kSmall = 4096, kLarge = 1 << 20;
constexpr int kRandomOps = 1000;	// per pass
constexpr int kPasses = 5;		// of each kind, with and without a session
constexpr int kFreezes = 10;

double seconds_since(Clock::time_point t)
{
	return std::chrono::duration<double>(Clock::now() - t).count();
}

[[noreturn]] void fatal(const std::string &why)
{
	fprintf(stderr, "%s: %s\n", kName, why.c_str());
	fflush(nullptr);
	_exit(1);	// the keeper cleans up after this process
}

// vek-machine serving its devices in tmp/dev, and ext4 made on a loop device over
// tmp/dev/sda1 and mounted at tmp/mnt. All of it belongs to a keeper process forked before
// any thread starts, which takes it down once this process closes its end of a pipe: at the
// end of main, or when it dies in any way. The agents this process starts are listed in
// tmp/agents while they run, so that the keeper ends those left behind too.
class rig {
public:
	std::string tmp, dir, mnt, loop;

	bool start(std::string &why)
	{
		std::string reply;
		auto launched = [this](std::string &out) {
			if (!launch(out))
				return false;
			out = "ok " + loop + " " + tmp;
			return true;
		};
		if (!link_.start(launched, [this] { return cleanup(); }, &reply, why))
			return false;
		std::istringstream in(reply);
		std::string word;
		in >> word;
		if (word != "ok" || !(in >> loop >> tmp)) {
			why = reply.empty() ? "the keeper process died during the start" : reply;
			finish();
			return false;
		}
		dir = tmp + "/dev";
		mnt = tmp + "/mnt";
		return true;
	}

	bool finish() { return link_.finish(); }

	void note_agents(const std::vector<pid_t> &pids) { bench_machine::note_agents(tmp, pids); }

private:
	bool launch(std::string &why)
	{
		char tmpl[] = "/tmp/vek-ext4-bench-XXXXXX";
		if (!mkdtemp(tmpl)) {
			why = std::string("mkdtemp: ") + strerror(errno);
			return false;
		}
		tmp = tmpl;
		dir = tmp + "/dev";
		mnt = tmp + "/mnt";
		std::string log = tmp + "/machine.log";
		if (mkdir(dir.c_str(), 0755) != 0 || mkdir(mnt.c_str(), 0755) != 0 ||
		    mkdir((tmp + "/backing").c_str(), 0755) != 0) {
			why = std::string("mkdir: ") + strerror(errno);
			return false;
		}
		if (!start_machine({"--disk", tmp + "/disk.img", "--disk-size", kDiskSize, "--partitions", "2"},
				   dir, log, tmp + "/machine.out", machine_, why))
			return false;
		struct stat st;
		if (stat((dir + "/sda1").c_str(), &st) != 0 || st.st_size < (128ll << 20)) {
			why = "no sda1 of 128 MiB or more in " + dir;
			return false;
		}
		// Direct I/O: no page cache of the host between the loop device and the machine.
		std::string out = tmp + "/losetup.out";
		int r = run_quiet({"losetup", "-f", "--show", "--direct-io=on", dir + "/sda1"}, out);
		std::string said = slurp(out);
		while (!said.empty() && said.back() == '\n')
			said.pop_back();
		if (r != 0 || said.rfind("/dev/loop", 0) != 0) {
			why = "losetup over sda1 failed: " + said;
			return false;
		}
		loop = said;
		out = tmp + "/mkfs.out";
		// Initialised in full now: ext4's lazy initialisation would write in the
		// background during the passes.
		if (run_quiet({"mkfs.ext4", "-q", "-F", "-m", "0", "-E",
			       "lazy_itable_init=0,lazy_journal_init=0", loop},
			      out) != 0) {
			why = "mkfs.ext4 " + loop + " failed: " + slurp(out);
			return false;
		}
		out = tmp + "/mount.out";
		if (run_quiet({"mount", "-t", "ext4", loop, mnt}, out) != 0) {
			why = "mount " + loop + " failed: " + slurp(out);
			return false;
		}
		mounted_ = true;
		return true;
	}

	// Ends what launch() began, in whatever state it got to; true when nothing is left.
	bool cleanup()
	{
		if (tmp.empty())
			return true;
		bool ok = true;
		// The agents first: their stop of the session needs the machine. They are not the
		// keeper's children: whoever reaps them, a pid that is gone is gone.
		std::ifstream agents(tmp + "/agents");
		std::vector<pid_t> left;
		for (pid_t p; agents >> p;)
			if (p > 0 && kill(p, SIGTERM) == 0)
				left.push_back(p);
		for (pid_t p : left)
			if (!eventually([&] { return kill(p, 0) != 0; }, 1000))
				kill(p, SIGKILL);
		if (mounted_) {
			// An agent killed in the middle of a freeze leaves the file system frozen.
			run_quiet({"fsfreeze", "-u", mnt});
			if (run_quiet({"umount", mnt}) != 0 && run_quiet({"umount", "-l", mnt}) != 0) {
				fprintf(stderr, "%s: cannot unmount %s\n", kName, mnt.c_str());
				ok = false;
			}
		}
		if (!loop.empty() && run_quiet({"losetup", "-d", loop}) != 0) {
			fprintf(stderr, "%s: cannot detach %s\n", kName, loop.c_str());
			ok = false;
		}
		if (!stop_machine(machine_, dir)) {
			fprintf(stderr, "%s: %s is still mounted\n", kName, dir.c_str());
			return false;
		}
		std::error_code ec;
		std::filesystem::remove_all(tmp, ec);
		return ok && !ec;
	}

	bench_machine::keeper_link link_;
	pid_t machine_ = -1;	/* in the keeper */
	bool mounted_ = false;	/* in the keeper */
};

rig g_rig;

// A qel-agent child holding a session of sda1.
struct session {
	pid_t pid = -1;
	int id = 0;
	double frozen = 0;	/* seconds, as the agent said */
};

session start_session()
{
	std::string out = g_rig.tmp + "/agent.out";
	session s;
	s.pid = spawn({VEK_AGENT_PATH, "--dev", g_rig.dir, "--no-progress", "--backing-dir",
		       g_rig.tmp + "/backing", "snapshot", "sda1", "--wait"},
		      out);
	if (s.pid < 0)
		fatal("cannot start " + std::string(VEK_AGENT_PATH));
	g_rig.note_agents({s.pid});
	std::regex announced("vek([0-9]+): snapshot of sda1 taken at .*, frozen ([0-9.]+) (ms|s)");
	bool exited = false;
	eventually(
		[&] {
			std::smatch m;
			std::string text = slurp(out);
			if (std::regex_search(text, m, announced)) {
				s.id = std::stoi(m[1]);
				s.frozen = std::stod(m[2]) / (m[3] == "ms" ? 1e3 : 1.0);
			}
			exited = waitpid(s.pid, nullptr, WNOHANG) == s.pid;
			return s.id != 0 || exited;
		},
		3000);
	if (exited)
		g_rig.note_agents({});
	if (s.id == 0 || exited)
		fatal("qel-agent did not hold a session of sda1:\n" + slurp(out));
	// A freeze time is a figure only when the machine froze the file system for real.
	static bool seen = false;
	if (!seen && slurp(g_rig.dir + "/kmsg").find("froze the host file system on " + g_rig.mnt) ==
			     std::string::npos)
		fatal("vek" + std::to_string(s.id) + " was taken without a freeze of " + g_rig.mnt);
	seen = true;
	return s;
}

void stop_session(session &s)
{
	kill(s.pid, SIGTERM);
	int st = 0;
	if (!reap(s.pid, 3000, &st))
		fatal("qel-agent holding vek" + std::to_string(s.id) + " did not end at SIGTERM");
	g_rig.note_agents({});
	if (!WIFEXITED(st) || WEXITSTATUS(st) != 0)
		fatal("qel-agent holding vek" + std::to_string(s.id) + " failed at its stop:\n" +
		      slurp(g_rig.tmp + "/agent.out"));
}

// The random workload's file, written in full so that its ops overwrite allocated blocks.
int open_random_file()
{
	std::string path = g_rig.mnt + "/random";
	int fd = open(path.c_str(), O_RDWR | O_CREAT, 0644);
	if (fd < 0)
		fatal("open " + path + ": " + strerror(errno));
	struct stat st;
	if (fstat(fd, &st) == 0 && uint64_t(st.st_size) == kFileBytes)
		return fd;
	std::vector<char> fill(kLarge, 'r');
	for (uint64_t off = 0; off < kFileBytes; off += kLarge)
		if (pwrite(fd, fill.data(), kLarge, (off_t)off) != (ssize_t)kLarge)
			fatal("filling " + path + ": " + strerror(errno));
	if (fsync(fd) != 0)
		fatal("fsync " + path + ": " + strerror(errno));
	return fd;
}

// One random op: a 4 KiB write at a random 4 KiB-aligned offset, made durable.
void random_op(int fd, std::mt19937_64 &rng, char *buf)
{
	off_t off = off_t(rng() % (kFileBytes / kSmall) * kSmall);
	buf[0] = char(rng());	// each op's block differs from what it overwrites
	if (pwrite(fd, buf, kSmall, off) != (ssize_t)kSmall)
		fatal(std::string("random pwrite: ") + strerror(errno));
	if (fdatasync(fd) != 0)
		fatal(std::string("fdatasync: ") + strerror(errno));
}

// Seconds per op over one pass of kRandomOps.
double random_pass(int fd, std::mt19937_64 &rng)
{
	std::vector<char> buf(kSmall, 'w');
	Clock::time_point t = Clock::now();
	for (int i = 0; i < kRandomOps; i++)
		random_op(fd, rng, buf.data());
	return seconds_since(t) / kRandomOps;
}

// MB/s of one new 64 MiB file in 1 MiB writes and an fsync; removed after.
double sequential_pass()
{
	std::string path = g_rig.mnt + "/sequential";
	std::vector<char> buf(kLarge, 'q');
	Clock::time_point t = Clock::now();
	int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
	if (fd < 0)
		fatal("open " + path + ": " + strerror(errno));
	for (uint64_t off = 0; off < kFileBytes; off += kLarge)
		if (write(fd, buf.data(), kLarge) != (ssize_t)kLarge)
			fatal("write " + path + ": " + strerror(errno));
	if (fsync(fd) != 0)
		fatal("fsync " + path + ": " + strerror(errno));
	double s = seconds_since(t);
	close(fd);
	if (unlink(path.c_str()) != 0)
		fatal("unlink " + path + ": " + strerror(errno));
	// The freed blocks reach the disk before the next pass, outside its time.
	int mfd = open(g_rig.mnt.c_str(), O_RDONLY | O_DIRECTORY);
	if (mfd < 0 || syncfs(mfd) != 0)
		fatal("syncfs " + g_rig.mnt + ": " + strerror(errno));
	close(mfd);
	return double(kFileBytes) / 1e6 / s;
}

double median(std::vector<double> v)
{
	std::sort(v.begin(), v.end());
	size_t n = v.size();
	return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

std::string joined(const std::vector<double> &v, double scale, const char *fmt)
{
	std::string s;
	char b[32];
	for (double x : v) {
		snprintf(b, sizeof(b), fmt, x * scale);
		s += (s.empty() ? "" : " ") + std::string(b);
	}
	return s;
}

void run()
{
	int fd = open_random_file();
	std::mt19937_64 rng(20261209);

	std::vector<double> rnd[2], seq[2];	/* [0] without a session, [1] with */
	for (int p = 0; p < kPasses; p++)
		for (int with = 0; with < 2; with++) {
			session s;
			if (with)
				s = start_session();
			rnd[with].push_back(random_pass(fd, rng));
			if (with)
				stop_session(s);
		}
	for (int p = 0; p < kPasses; p++)
		for (int with = 0; with < 2; with++) {
			session s;
			if (with)
				s = start_session();
			seq[with].push_back(sequential_pass());
			if (with)
				stop_session(s);
		}
	const char *what[] = {"without a session", "with a session   "};
	printf("random 4 KiB pwrite + fdatasync, %d ops a pass on a 64 MiB file "
	       "(a fresh session for each pass with one):\n",
	       kRandomOps);
	for (int w = 0; w < 2; w++)
		printf("  %s: median %.3f ms/op, %.0f ops/s (passes: %s ms/op)\n", what[w],
		       median(rnd[w]) * 1e3, 1 / median(rnd[w]), joined(rnd[w], 1e3, "%.3f").c_str());
	printf("  with/without: time per op %.2fx\n", median(rnd[1]) / median(rnd[0]));
	printf("sequential 64 MiB file in 1 MiB writes + fsync "
	       "(a fresh session for each pass with one):\n");
	for (int w = 0; w < 2; w++)
		printf("  %s: median %.1f MB/s (passes: %s MB/s)\n", what[w], median(seq[w]),
		       joined(seq[w], 1, "%.1f").c_str());
	printf("  with/without: throughput %.2fx\n", median(seq[1]) / median(seq[0]));
	fflush(stdout);

	// Freezes while the random workload runs.
	std::atomic<bool> stop{false};
	std::atomic<long> ops{0};
	std::thread load([&] {
		std::mt19937_64 r(7);
		std::vector<char> buf(kSmall, 'l');
		while (!stop) {
			random_op(fd, r, buf.data());
			ops++;
		}
	});
	// Some writes in flight before the first freeze.
	eventually([&] { return ops >= 50; }, 3000);
	std::vector<double> frozen;
	long before = ops;
	Clock::time_point t = Clock::now();
	for (int k = 0; k < kFreezes; k++) {
		session s = start_session();
		frozen.push_back(s.frozen);
		stop_session(s);
	}
	double spent = seconds_since(t);
	long done = ops - before;
	stop = true;
	load.join();
	close(fd);
	printf("freeze under the random workload, %d sessions one after another "
	       "(%ld ops in %.1f s meanwhile, %.0f ops/s):\n",
	       kFreezes, done, spent, double(done) / spent);
	printf("  frozen median %.6f s, max %.6f s (all: %s s)\n", median(frozen),
	       *std::max_element(frozen.begin(), frozen.end()), joined(frozen, 1, "%.6f").c_str());
}

}  // namespace

int main()
{
	auto have = [](const char *tool) {
		return run_quiet({"sh", "-c", std::string("command -v ") + tool}) == 0;
	};
	const char *skip = geteuid() != 0 ? "needs root"
			   : access("/dev/fuse", R_OK | W_OK) != 0 ? "needs /dev/fuse"
			   : access("/dev/loop-control", F_OK) != 0 ? "needs loop devices"
			   : !have("losetup") ? "needs losetup"
			   : !have("mkfs.ext4") ? "needs mkfs.ext4"
			   : !have("fsfreeze") ? "needs fsfreeze"
			   : access(VEK_MACHINE_PATH, X_OK) != 0 ? "vek-machine was not built (no libfuse3)"
			   : access(VEK_AGENT_PATH, X_OK) != 0 ? "qel-agent was not built"
							       : nullptr;
	if (skip) {
		printf("%s: skipped: %s\n", kName, skip);
		return 0;
	}
	std::string why;
	if (!g_rig.start(why)) {
		fprintf(stderr, "%s: %s\n", kName, why.c_str());
		return 1;
	}
	run();
	if (!g_rig.finish()) {
		fprintf(stderr, "%s: the clean-up failed\n", kName);
		return 1;
	}
	return 0;
}
