// The agent service (`qel-agent serve`) on a running vek-machine with a 1 GiB disk of two
// partitions (sda1 about 511 MiB), driven by CLI processes as a user drives it:
//
//   incremental cost: kRounds rounds, each a full backup of sda1 through the service, then
//   for each of kPercents that share of sda1's 64 KiB chunks overwritten through DIR/sda1
//   (random distinct chunks, new random data, O_DIRECT, fsynced) and an incremental onto the
//   same image. Each CLI process is timed from its spawn to its exit ("wall"), beside the
//   copy time and rate its summary reports. Every image is checked against sda1 with
//   `qel-agent verify`, and every incremental must have copied exactly the chunks written, so
//   a wrong backup stops the bench instead of giving a figure. Before the rounds, one untimed
//   full backup makes the image file, so every timed backup overwrites an image, as a
//   backup schedule does (that first one is shown on its own line).
//
//   record intake: writer threads make 4 KiB O_DIRECT pwrites at random 4 KiB-aligned offsets
//   of DIR/sda1 as fast as they can for kWriteSeconds, with no session running; each write
//   is one change record, queued before the write returns. The driver's rate is writes
//   completed per second. The service's is the growth of "records" (change records it has
//   folded) in its state file, which it rewrites at most every 5 s: a least-squares line
//   through its rewrites while the writers ran. The lag at each rewrite is the writes
//   completed then minus the records folded, an upper bound of the driver's queue: when the
//   service keeps up it falls back under one fetch batch after each fetch; a queue that grows
//   never comes back down. After the writers stop,
//   the time until every record is folded, and the records must match the writes. The
//   service's rate can show no more than the driver makes: it tells whether the service keeps
//   up with the writes this machine can make, not how much more it could take.
//
// Needs root, /dev/fuse and the built vek-machine and qel-agent; skips without them. A keeper
// process forked at the start ends the CLI runs still going, the service and the machine, and
// removes the temporary directory (disk image, backup image, state directory, the service's
// backing files) once this process ends, however it ends.
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
#include <mutex>
#include <numeric>
#include <poll.h>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace bench_machine;
using Clock = std::chrono::steady_clock;

constexpr const char *kName = "bench_machine_service";
constexpr uint64_t kDiskBytes = 1ull << 30;
constexpr uint64_t kChunk = 64 << 10;
constexpr size_t kSmall = 4096;
constexpr int kRounds = 5;
constexpr int kPercents[] = {1, 10, 50};
constexpr double kWriteSeconds = 10;
constexpr int kWriters[] = {1, 4};	// threads, one intake pass each
// The service's fetches ask for this many records: one returns when that many are queued, or
// at the service's once-a-second release, so its folded count moves in such steps.
constexpr long long kFetchBatch = 4096;

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

// vek-machine serving its devices in tmp/dev and `qel-agent serve` with its state in
// tmp/state, both children of a keeper process forked before any thread starts, which ends
// them and removes tmp once this process closes its end of a pipe: at the end of main, or
// when it dies in any way. The CLI runs this process starts are listed in tmp/agents while
// they run, so that the keeper ends one left behind too.
class rig {
public:
	std::string tmp, dir, state;
	uint64_t part_bytes = 0;
	pid_t service = -1;	/* the keeper's child: here only to see that it still runs */

	bool start(std::string &why)
	{
		std::string reply;
		auto launched = [this](std::string &out) {
			if (!launch(out))
				return false;
			out = "ok " + std::to_string(part_bytes) + " " + std::to_string(service_) + " " + tmp;
			return true;
		};
		if (!link_.start(launched, [this] { return cleanup(); }, &reply, why))
			return false;
		std::istringstream in(reply);
		std::string word;
		in >> word;
		if (word != "ok" || !(in >> part_bytes >> service >> tmp)) {
			why = reply.empty() ? "the keeper process died during the start" : reply;
			finish();
			return false;
		}
		dir = tmp + "/dev";
		state = tmp + "/state";
		return true;
	}

	bool finish() { return link_.finish(); }

	void note_agents(const std::vector<pid_t> &pids) { bench_machine::note_agents(tmp, pids); }

private:
	bool launch(std::string &why)
	{
		char tmpl[] = "/tmp/vek-service-bench-XXXXXX";
		if (!mkdtemp(tmpl)) {
			why = std::string("mkdtemp: ") + strerror(errno);
			return false;
		}
		tmp = tmpl;
		dir = tmp + "/dev";
		state = tmp + "/state";
		std::string image = tmp + "/disk.img";
		if (mkdir(dir.c_str(), 0755) != 0) {
			why = std::string("mkdir: ") + strerror(errno);
			return false;
		}
		// Written in full and flushed, so that every read moves real data and the first
		// backup does not wait for this image's writeback. Every chunk starts with its
		// offset, so that a chunk copied to the wrong place cannot match.
		{
			std::ofstream img(image, std::ios::binary);
			std::vector<char> fill(1 << 20);
			std::mt19937_64 rng(20261210);
			for (size_t i = 0; i + 8 <= fill.size(); i += 8) {
				uint64_t v = rng();
				memcpy(&fill[i], &v, 8);
			}
			for (uint64_t off = 0; off < kDiskBytes; off += fill.size()) {
				for (uint64_t c = 0; c < fill.size(); c += kChunk) {
					uint64_t at = off + c;
					memcpy(&fill[c], &at, 8);
				}
				img.write(fill.data(), std::streamsize(fill.size()));
			}
			if (!img.flush()) {
				why = "cannot write the disk image " + image;
				return false;
			}
		}
		int ifd = open(image.c_str(), O_RDONLY);
		if (ifd < 0 || fsync(ifd) != 0) {
			why = "cannot flush the disk image " + image + ": " + strerror(errno);
			return false;
		}
		close(ifd);
		if (!start_machine({"--disk", image, "--partitions", "2"}, dir, tmp + "/machine.log",
				   tmp + "/machine.out", machine_, why))
			return false;
		struct stat st;
		if (stat((dir + "/sda1").c_str(), &st) != 0 || st.st_size < (256ll << 20)) {
			why = "no sda1 of 256 MiB or more in " + dir;
			return false;
		}
		part_bytes = uint64_t(st.st_size);
		// The service's own temporary directory (its backing files) goes with ours.
		setenv("TMPDIR", tmp.c_str(), 1);
		std::string out = tmp + "/service.out";
		service_ = spawn({VEK_AGENT_PATH, "--dev", dir, "--state", state, "--no-progress", "serve"},
				 out);
		if (service_ < 0) {
			why = "cannot start " + std::string(VEK_AGENT_PATH);
			return false;
		}
		bool exited = false;
		bool ready = eventually(
			[&] {
				exited = waitpid(service_, nullptr, WNOHANG) == service_;
				return exited || slurp(out).find("requests on") != std::string::npos;
			},
			3000);
		if (exited)
			service_ = -1;
		if (!ready || exited) {
			why = "qel-agent serve did not take requests:\n" + slurp(out);
			return false;
		}
		return true;
	}

	// Ends what launch() began, in whatever state it got to; true when nothing is left.
	bool cleanup()
	{
		if (tmp.empty())
			return true;
		// The CLI runs first, then the service: their stops of a session need the service
		// and the machine. They are not the keeper's children: whoever reaps them, a pid that
		// is gone is gone.
		std::ifstream agents(tmp + "/agents");
		std::vector<pid_t> left;
		for (pid_t p; agents >> p;)
			if (p > 0 && kill(p, SIGTERM) == 0)
				left.push_back(p);
		for (pid_t p : left)
			if (!eventually([&] { return kill(p, 0) != 0; }, 1000))
				kill(p, SIGKILL);
		// A killed service still waits for the requests the machine is serving (IO workers
		// parked in the driver); they end when the machine does, so it is reaped after it.
		bool service_killed = false;
		if (service_ > 0) {
			kill(service_, SIGTERM);
			if (!reap(service_, 3000)) {
				kill(service_, SIGKILL);
				service_killed = true;
			}
		}
		bool unmounted = stop_machine(machine_, dir);
		if (service_killed)
			waitpid(service_, nullptr, 0);
		if (!unmounted) {
			fprintf(stderr, "%s: %s is still mounted\n", kName, dir.c_str());
			return false;
		}
		std::error_code ec;
		std::filesystem::remove_all(tmp, ec);
		return !ec;
	}

	bench_machine::keeper_link link_;
	pid_t machine_ = -1, service_ = -1;	/* in the keeper */
};

rig g_rig;

// The service is the keeper's child, which reaps it only at the clean-up: one that ended
// is a zombie until then.
bool service_runs()
{
	std::string stat = slurp("/proc/" + std::to_string(g_rig.service) + "/stat");
	auto paren = stat.rfind(") ");
	return paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] != 'Z' &&
	       stat[paren + 2] != 'X';
}

struct cli_run {
	int status = -1;
	std::string output;
	double seconds = 0;	/* spawn to exit */
};

// One qel-agent CLI process sent to the service; timed from its spawn to its exit, which a
// pidfd reports at once (no polling interval in the figure).
cli_run cli(std::vector<std::string> args)
{
	if (!service_runs())
		fatal("the agent service is gone:\n" + slurp(g_rig.tmp + "/service.out"));
	std::vector<std::string> all = {VEK_AGENT_PATH, "--dev", g_rig.dir, "--state", g_rig.state,
					"--no-progress"};
	all.insert(all.end(), args.begin(), args.end());
	std::string out = g_rig.tmp + "/cli.out";
	cli_run r;
	Clock::time_point t = Clock::now();
	pid_t pid = spawn(all, out);
	if (pid < 0)
		fatal("cannot start " + std::string(VEK_AGENT_PATH));
	g_rig.note_agents({pid});
	int pfd = int(syscall(SYS_pidfd_open, pid, 0));
	if (pfd < 0)
		fatal(std::string("pidfd_open: ") + strerror(errno));
	struct pollfd p = {pfd, POLLIN, 0};
	int n;
	do
		n = poll(&p, 1, 300 * 1000);	// a bound for a hung run
	while (n < 0 && errno == EINTR);
	r.seconds = seconds_since(t);
	close(pfd);
	int st = 0;
	if (n != 1 || waitpid(pid, &st, 0) != pid)
		fatal("qel-agent " + args[0] + " did not end within 5 minutes");
	g_rig.note_agents({});
	r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
	r.output = slurp(out);
	return r;
}

// What a backup's summary says it copied.
struct summary {
	uint64_t chunks = 0, total = 0;
	double copy_seconds = 0, rate = 0;	/* MB/s, 10^6 bytes */
};

summary parse_summary(const std::string &out)
{
	std::smatch m;
	static const std::regex copied(
		"([0-9]+) of ([0-9]+) chunks, in ([0-9.]+) (ms|s) \\(([0-9.]+) MB/s\\)");
	if (!std::regex_search(out, m, copied))
		fatal("no copy summary in the output:\n" + out);
	summary s;
	s.chunks = std::stoull(m[1]);
	s.total = std::stoull(m[2]);
	s.copy_seconds = std::stod(m[3]) / (m[4] == "ms" ? 1e3 : 1.0);
	s.rate = std::stod(m[5]);
	return s;
}

std::string img_path() { return g_rig.tmp + "/sda1.img"; }

// The image is sda1 bit for bit: nothing writes sda1 while a backup runs, so sda1 now is
// sda1 at that backup's snapshot instant.
void verify_image()
{
	cli_run v = cli({"verify", img_path(), "--against", "sda1"});
	if (v.status != 0 || v.output.find("matches") == std::string::npos)
		fatal("the image differs from sda1:\n" + v.output);
}

summary full_backup(double *wall)
{
	cli_run r = cli({"backup", "sda1", "-o", img_path()});
	if (r.status != 0 || r.output.find("full backup of sda1") == std::string::npos ||
	    r.output.find("change tracking:  intact") == std::string::npos)
		fatal("the full backup failed or did not keep change tracking:\n" + r.output);
	summary s = parse_summary(r.output);
	if (s.chunks != s.total)
		fatal("the full backup copied " + std::to_string(s.chunks) + " of " +
		      std::to_string(s.total) + " chunks");
	verify_image();
	*wall = r.seconds;
	return s;
}

summary incremental(uint64_t written, double *wall)
{
	cli_run r = cli({"incremental", "sda1", "-o", img_path()});
	if (r.status != 0 || r.output.find("incremental backup of sda1") == std::string::npos ||
	    r.output.find("not possible") != std::string::npos)
		fatal("no incremental:\n" + r.output);
	summary s = parse_summary(r.output);
	if (s.chunks != written)
		fatal("the incremental copied " + std::to_string(s.chunks) + " chunks, " +
		      std::to_string(written) + " were written:\n" + r.output);
	verify_image();
	*wall = r.seconds;
	return s;
}

// Overwrites these chunks of sda1 with new random data through its file, and flushes.
void write_chunks(const std::vector<uint64_t> &chunks, std::mt19937_64 &rng)
{
	std::string path = g_rig.dir + "/sda1";
	int fd = open(path.c_str(), O_WRONLY | O_DIRECT);
	if (fd < 0)
		fatal("open " + path + ": " + strerror(errno));
	uint64_t *buf = static_cast<uint64_t *>(aligned_alloc(4096, kChunk));
	for (uint64_t c : chunks) {
		for (size_t i = 0; i < kChunk / 8; i++)
			buf[i] = rng();
		if (pwrite(fd, buf, kChunk, off_t(c * kChunk)) != ssize_t(kChunk))
			fatal("overwriting chunk " + std::to_string(c) + " of sda1: " + strerror(errno));
	}
	if (fsync(fd) != 0)
		fatal(std::string("fsync sda1: ") + strerror(errno));
	free(buf);
	close(fd);
}

double median(std::vector<double> v)
{
	std::sort(v.begin(), v.end());
	size_t n = v.size();
	return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// "median (min-max)"
std::string spread(const std::vector<double> &v, const char *fmt)
{
	char a[32], b[32], c[32];
	snprintf(a, sizeof(a), fmt, median(v));
	snprintf(b, sizeof(b), fmt, *std::min_element(v.begin(), v.end()));
	snprintf(c, sizeof(c), fmt, *std::max_element(v.begin(), v.end()));
	return std::string(a) + " (" + b + "-" + c + ")";
}

struct row {
	std::string what;
	uint64_t chunks = 0, bytes = 0;
	std::vector<double> wall, copy, rate;
};

void print_row(const row &r)
{
	double mib = double(r.bytes) / (1 << 20);
	std::vector<double> over_wall, outside;
	for (size_t i = 0; i < r.wall.size(); i++) {
		over_wall.push_back(double(r.bytes) / 1e6 / r.wall[i]);
		outside.push_back(r.wall[i] - r.copy[i]);
	}
	printf("  %-17s %6llu %7.1f  %-22s %-22s %-22s %-20s %s\n", r.what.c_str(),
	       (unsigned long long)r.chunks, mib, spread(r.wall, "%.3f").c_str(),
	       spread(r.copy, "%.3f").c_str(), spread(r.rate, "%.0f").c_str(),
	       spread(over_wall, "%.0f").c_str(), spread(outside, "%.3f").c_str());
}

void incremental_cost()
{
	const uint64_t nchunks = g_rig.part_bytes / kChunk;
	std::mt19937_64 rng(20261211);
	std::vector<uint64_t> all(nchunks);
	std::iota(all.begin(), all.end(), 0);

	double first_wall = 0;
	summary first = full_backup(&first_wall);
	row full{"full backup", first.total, g_rig.part_bytes, {}, {}, {}};
	std::vector<row> inc;
	for (int pct : kPercents) {
		uint64_t n = nchunks * uint64_t(pct) / 100;
		inc.push_back({"incremental " + std::to_string(pct) + "%", n, n * kChunk, {}, {}, {}});
	}
	for (int round = 0; round < kRounds; round++) {
		double wall;
		summary s = full_backup(&wall);
		full.wall.push_back(wall);
		full.copy.push_back(s.copy_seconds);
		full.rate.push_back(s.rate);
		for (row &r : inc) {
			std::shuffle(all.begin(), all.end(), rng);
			write_chunks(std::vector<uint64_t>(all.begin(), all.begin() + long(r.chunks)), rng);
			s = incremental(r.chunks, &wall);
			r.wall.push_back(wall);
			r.copy.push_back(s.copy_seconds);
			r.rate.push_back(s.rate);
		}
	}
	printf("incremental backups through the service: sda1 %.1f MiB (%llu chunks of 64 KiB) on a "
	       "1 GiB disk; %d rounds, each a full backup, then for each share that many random "
	       "distinct chunks overwritten (new data, O_DIRECT, fsynced) and an incremental onto "
	       "the same image; every image verified against sda1\n",
	       double(g_rig.part_bytes) / (1 << 20), (unsigned long long)first.total, kRounds);
	printf("  wall: the CLI process, spawn to exit; copy and MB/s: as its summary says; "
	       "MB/s over wall: data copied / wall; outside copy: wall - copy (start-up, session "
	       "start and stop, the image's fsync). Each median (min-max).\n");
	printf("  %-17s %6s %7s  %-22s %-22s %-22s %-20s %s\n", "", "chunks", "MiB", "wall s",
	       "copy s", "copy MB/s", "MB/s over wall", "outside copy s");
	print_row(full);
	for (const row &r : inc)
		print_row(r);
	printf("  (the first full backup, which made the image file, not in the rounds: wall %.3f s, copy "
	       "%.3f s, %.0f MB/s)\n",
	       first_wall, first.copy_seconds, first.rate);
	fflush(stdout);
}

// "records" of the service's state file; -1 while it has none (a file being replaced is
// renamed into place, so a read sees the old file or the new one whole).
long long records_folded()
{
	static const std::regex records("\"records\": *([0-9]+)");
	std::smatch m;
	std::string text = slurp(g_rig.state + "/state.json");
	if (!std::regex_search(text, m, records))
		return -1;
	return std::stoll(m[1]);
}

struct sample {
	double t;		/* seconds since the writers started */
	long long folded;	/* records folded since then */
	long long written;	/* writes completed by then */
};

void intake(int threads)
{
	// Everything from before folded and saved: the count stands still for over two of the
	// service's saving periods.
	long long base = records_folded();
	if (base < 0)
		fatal("the service's state file has no \"records\" count");
	for (int tries = 0;; tries++) {
		std::this_thread::sleep_for(std::chrono::milliseconds(2200));
		long long now = records_folded();
		if (now == base)
			break;
		if (tries == 10)
			fatal("the service's record count does not settle");
		base = now;
	}

	std::atomic<bool> stop{false}, done{false};
	std::atomic<long long> written{0};
	std::vector<sample> samples;
	std::mutex samples_mu;
	Clock::time_point t0 = Clock::now();
	std::thread watcher([&] {
		long long last = base;
		while (!done) {
			long long r = records_folded();
			if (r >= 0 && r != last) {
				std::lock_guard<std::mutex> g(samples_mu);
				samples.push_back({seconds_since(t0), r - base, written.load()});
				last = r;
			}
			std::this_thread::sleep_for(std::chrono::milliseconds(5));
		}
	});
	const uint64_t blocks = g_rig.part_bytes / kSmall;
	std::vector<std::thread> writers;
	for (int w = 0; w < threads; w++)
		writers.emplace_back([&, w] {
			std::string path = g_rig.dir + "/sda1";
			int fd = open(path.c_str(), O_WRONLY | O_DIRECT);
			if (fd < 0)
				fatal("open " + path + ": " + strerror(errno));
			char *buf = static_cast<char *>(aligned_alloc(4096, kSmall));
			memset(buf, 'w', kSmall);
			std::mt19937_64 rng(uint64_t(w) + 1);
			while (!stop) {
				buf[0] = char(rng());
				if (pwrite(fd, buf, kSmall, off_t(rng() % blocks * kSmall)) != ssize_t(kSmall))
					fatal(std::string("pwrite sda1: ") + strerror(errno));
				written++;
			}
			free(buf);
			close(fd);
		});
	std::this_thread::sleep_for(std::chrono::duration<double>(kWriteSeconds));
	stop = true;
	for (std::thread &t : writers)
		t.join();
	double wrote_for = seconds_since(t0);
	const long long total = written;

	// Every write's record folded; then a while longer, to see that none came besides.
	auto folded = [&] { return records_folded() - base; };
	if (!eventually([&] { return folded() >= total; }, 6000))
		fatal("the service folded " + std::to_string(folded()) + " of the " +
		      std::to_string(total) + " records within 60 s of the writers' end");
	double all_in = seconds_since(t0);
	std::this_thread::sleep_for(std::chrono::milliseconds(2200));
	done = true;
	watcher.join();
	long long extra = folded() - total;

	// The rate over the rewrites while the writers ran.
	std::vector<sample> during;
	for (const sample &s : samples)
		if (s.t <= wrote_for)
			during.push_back(s);
	double produced = double(total) / wrote_for;
	printf("  %d writer%s: %lld writes in %.2f s: the driver made %.0f records/s\n", threads,
	       threads == 1 ? "" : "s", total, wrote_for, produced);
	if (during.size() >= 2) {
		// A least-squares line through the rewrites: the count moves in steps of a
		// fetch, which two end points alone would take for a change of rate.
		double n = double(during.size()), st = 0, sf = 0, stt = 0, stf = 0;
		for (const sample &s : during) {
			st += s.t;
			sf += double(s.folded);
			stt += s.t * s.t;
			stf += s.t * double(s.folded);
		}
		double rate = (n * stf - st * sf) / (n * stt - st * st);
		printf("    the service folded %lld records by its last rewrite while they wrote; a line "
		       "through its %zu rewrites from %.2f s to %.2f s: %.0f records/s (%.2f of the "
		       "driver's rate)\n",
		       during.back().folded, during.size(), during.front().t, during.back().t, rate,
		       rate / produced);
	} else {
		printf("    the service rewrote its state file fewer than twice while the writers ran\n");
	}
	std::string lags;
	long long max_lag = 0;
	for (const sample &s : during) {
		long long lag = s.written - s.folded;
		max_lag = std::max(max_lag, lag);
		char b[64];
		snprintf(b, sizeof(b), "%s%.1f s: %lld", lags.empty() ? "" : ", ", s.t, lag);
		lags += b;
	}
	printf("    lag (writes completed - records folded) at each rewrite: %s; max %lld = %.2f s of "
	       "writes\n",
	       lags.empty() ? "-" : lags.c_str(), max_lag, double(max_lag) / produced);
	// A service that keeps up holds back about the batch its fetch waits to fill, and its
	// lag falls back under that after each fetch; a queue that grows never comes back down.
	// (A single high lag is no sign: the file's fsync can hold a rewrite back while the
	// writers go on.)
	long long late_min = -1;
	for (const sample &s : during)
		if (s.t >= wrote_for / 2 && (late_min < 0 || s.written - s.folded < late_min))
			late_min = s.written - s.folded;
	bool keeps_up = late_min >= 0 && late_min <= kFetchBatch;
	printf("    keeps up: %s (least lag in the second half of the writing %lld, %s one fetch "
	       "batch of %lld records)\n",
	       keeps_up ? "yes" : "NO", late_min, keeps_up ? "within" : "past", kFetchBatch);
	printf("    all %lld records folded %.2f s after the writers stopped (%.0f records/s over "
	       "the whole); %lld records besides the writes'\n",
	       total, all_in - wrote_for, double(total) / all_in, extra);
	fflush(stdout);
}

void record_intake()
{
	printf("change-record intake: writer threads making 4 KiB O_DIRECT pwrites at random "
	       "offsets of DIR/sda1 for %.0f s, no session running, the service following sda1; "
	       "the service's count of folded records read from its state file (rewritten at most "
	       "every 5 s); its fetches take %lld records, or what is queued at its "
	       "once-a-second release\n",
	       kWriteSeconds, kFetchBatch);
	for (int threads : kWriters)
		intake(threads);
}

}  // namespace

int main()
{
	const char *skip = geteuid() != 0 ? "needs root"
			   : access("/dev/fuse", R_OK | W_OK) != 0 ? "needs /dev/fuse"
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
	Clock::time_point t = Clock::now();
	incremental_cost();
	record_intake();
	printf("(whole bench %.0f s)\n", seconds_since(t));
	if (!g_rig.finish()) {
		fprintf(stderr, "%s: the clean-up failed\n", kName);
		return 1;
	}
	return 0;
}
