// ioctl_fuzz.cpp - the control device's fuzzer (see ioctl_fuzz.h).
#include "ioctl_fuzz.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

namespace vekfx {

namespace {

// The commands and their record sizes; UNLOAD (0x23) ends the driver's service and is never
// sent.
const std::vector<std::pair<unsigned, size_t>> kTable = {
	{0x15, sizeof(snap_shot_request)},	{0x16, sizeof(snap_shot_request)},
	{0x17, sizeof(session_list)},		{0x19, sizeof(snap_shot_request)},
	{0x1A, sizeof(get_string)},		{0x1B, sizeof(get_string)},
	{0x1C, sizeof(get_string)},		{0x1D, sizeof(change_recrod_request)},
	{0x1E, sizeof(int32_t)},		{0x1F, sizeof(int32_t)},
	{0x20, sizeof(uint64_t)},		{0x21, sizeof(session_list_request)},
	{0x22, sizeof(int32_t)},		{0x24, sizeof(int32_t)},
	{0x25, sizeof(set_cow_file)},		{0x26, sizeof(snap_shot_request)},
	{0x27, sizeof(zk_thread_info)},		{0x28, sizeof(snap_shot_request)},
	{0x29, sizeof(snap_shot_request)},	{0x2A, sizeof(change_recrod_request_v2)},
};

// Larger than any record: the argument buffer of every call.
constexpr size_t kRecordBytes = 16384;

uint8_t *map_pages(size_t bytes, int prot)
{
	void *p = mmap(nullptr, bytes, prot, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
	return p == MAP_FAILED ? nullptr : (uint8_t *)p;
}

}  // namespace

fuzz_arena::fuzz_arena(const std::string &dir)
{
	page_ = (size_t)sysconf(_SC_PAGESIZE);
	half_ = map_pages(2 * page_, PROT_READ | PROT_WRITE);
	ro_ = map_pages(page_, PROT_READ | PROT_WRITE);
	gone_ = map_pages(page_, PROT_NONE);
	room_ = map_pages(kRoom + page_, PROT_READ | PROT_WRITE);
	if (!half_ || !ro_ || !gone_ || !room_)
		return;
	if (mprotect(half_ + page_, page_, PROT_NONE) || mprotect(room_ + kRoom, page_, PROT_NONE))
		return;
	memset(ro_, 0x11, page_);
	if (mprotect(ro_, page_, PROT_READ))
		return;
	file_fd_ = ::open((dir + "/fuzz.cow").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
	// Descriptors are given lowest first: the last number the limit allows stays free
	// while this process has fewer open, where a number just closed would soon be a new
	// handle's.
	struct rlimit rl;
	if (getrlimit(RLIMIT_NOFILE, &rl) == 0)
		closed_fd_ = (int)std::min<rlim_t>(rl.rlim_cur, 1 << 20) - 1;
	ready_ = file_fd_ >= 0 && closed_fd_ > 64 && fcntl(closed_fd_, F_GETFD) < 0;
}

fuzz_arena::~fuzz_arena()
{
	if (half_)
		munmap(half_, 2 * page_);
	if (ro_)
		munmap(ro_, page_);
	if (gone_)
		munmap(gone_, page_);
	if (room_)
		munmap(room_, kRoom + page_);
	if (file_fd_ >= 0)
		::close(file_fd_);
}

// valid: memory of the caller's that holds size bytes.
void *fuzz_arena::address(std::mt19937_64 &rng, void *valid, size_t size)
{
	switch (rng() % 8) {
	case 0: return nullptr;
	case 1: return (void *)(uintptr_t)(1 + rng() % 4095);
	case 2: return gone_;
	case 3: // starts on the mapped page and runs into the next one
		return half_ + page_ - 1 - rng() % std::clamp<size_t>(size, 1, page_);
	case 4: return ro_;
	case 5: return (void *)(uintptr_t)rng();
	default: return valid;
	}
}

void *fuzz_arena::argument(std::mt19937_64 &rng, std::vector<uint8_t> &rec, size_t size)
{
	return address(rng, rec.data(), size);
}

int32_t fuzz_arena::any_fd(std::mt19937_64 &rng)
{
	const int32_t fds[] = {-1, file_fd_, closed_fd_, 1 << 20, (int32_t)rng()};
	return fds[rng() % 5];
}

void fuzz_arena::fill(std::mt19937_64 &rng, unsigned nr, std::vector<uint8_t> &rec)
{
	for (auto &b : rec)
		b = (uint8_t)rng();
	auto small = [&] { return (int32_t)(rng() % 4 ? rng() % 20 : rng()); };
	auto count = [&] { return (int32_t)(rng() % 3 ? rng() % 64 : rng()); };
	// Arrays and staging buffers start anywhere in the room and end at its guard at most.
	auto in_room = [&] { return room_ + (rng() % 2 ? 0 : (rng() % kRoom) & ~size_t(7)); };
	switch (nr) {
	case 0x27: {
		auto *t = (zk_thread_info *)rec.data();
		t->session_id = small();
		t->file_fd = any_fd(rng);
		t->buffer_size = (int32_t)(rng() % 3 ? 65536 : rng());
		t->user_addr = (uint64_t)(uintptr_t)address(rng, in_room(), 65536);
		break;
	}
	case 0x25:
		((set_cow_file *)rec.data())->id = small();
		((set_cow_file *)rec.data())->fd = any_fd(rng);
		break;
	case 0x1D: case 0x2A: {
		auto *c = (change_recrod_request *)rec.data();
		c->size = count();
		c->cru = (change_record_usr *)address(rng, in_room(), sizeof(change_record_usr_v2));
		break;
	}
	case 0x21: {
		auto *l = (session_list_request *)rec.data();
		l->size = count();
		l->sl = (session_list *)address(rng, in_room(), sizeof(session_list));
		break;
	}
	case 0x16: case 0x19: case 0x1A: case 0x1B: case 0x1C: case 0x28: case 0x29:
		*(int32_t *)rec.data() = small();
		break;
	}
}

std::string fuzz_report::summary() const
{
	std::string s;
	for (auto &[k, v] : tally)
		s += "  " + k + " " + std::to_string(v);
	s += "; errnos:";
	for (auto &[e, v] : errnos)
		s += " " + std::to_string(e) + "(" + (e < 256 && strerrorname_np(e) ? strerrorname_np(e) : "?") +
		     ") " + std::to_string(v);
	char longest[64];
	snprintf(longest, sizeof(longest), "; longest call %.0f ms (0x%lx)", longest_ms, longest_cmd);
	return s + longest;
}

int fuzz_calls(int fallback)
{
	const char *env = getenv("VEK_FUZZ_CALLS");
	return env ? atoi(env) : fallback;
}

namespace {

// Every listed session is stopped (those a random command made a fuzzer a worker of too).
void stop_listed(fuzz_target &target, int ctl)
{
	std::vector<session_list> sl(VEK_MAX_SESSIONS);
	session_list_request slr = {(int32_t)sl.size(), sl.data()};
	if (target.ioctl(ctl, VEK_IOCTL_GET_VK_LIST2, &slr) != 0)
		return;
	for (const auto &s : sl) {
		if (s.id <= 0)
			continue;
		snap_shot_request req;
		memset(&req, 0, sizeof(req));
		req.id = s.id;
		target.ioctl(ctl, VEK_IOCTL_STOP_VK, &req);
	}
}

}  // namespace

fuzz_report run_ioctl_fuzz(fuzz_target &target, fuzz_arena &arena, uint64_t seed, int threads,
			   int calls)
{
	fuzz_report report;
	std::mutex mu;
	std::atomic<int> running{threads};
	std::vector<std::thread> fuzzers;
	for (int t = 0; t < threads; t++) {
		fuzzers.emplace_back([&, t] {
			// "qel": the driver takes the fuzzers for the agent's threads.
			std::string name = "qel-fuzz" + std::to_string(t);
			pthread_setname_np(pthread_self(), name.c_str());
			std::mt19937_64 rng(seed + 1000003 * t);
			int fd = target.open_control();
			std::vector<uint8_t> rec(kRecordBytes);
			std::map<std::string, long> mine;
			std::map<int, long> errs;
			double longest = 0;
			unsigned long longest_cmd = 0;
			// Each call is timed: the longest says what kept a run long.
			auto call = [&](unsigned long cmd, void *arg) {
				auto t0 = std::chrono::steady_clock::now();
				int rc = target.ioctl(fd, cmd, arg);
				int e = errno;
				std::chrono::duration<double, std::milli> took =
					std::chrono::steady_clock::now() - t0;
				if (took.count() > longest) {
					longest = took.count();
					longest_cmd = cmd;
				}
				errno = e;
				return rc;
			};
			auto count = [&](int rc, const char *kind) {
				mine[std::string(kind) + (rc >= 0 ? " ok" : " refused")]++;
				if (rc < 0)
					errs[errno]++;
			};
			if (fd < 0)
				mine["no control handle"]++;
			for (int i = 0; i < calls && fd >= 0; i++) {
				unsigned r = rng() % 100;
				if (r < 4) {	// a valid start with a worker
					std::string stem = "fz" + std::to_string(t) + "_" + std::to_string(i);
					mine[target.start_with_worker(fd, rng, stem) ? "start ok" : "start refused"]++;
					continue;
				}
				if (r < 8) {	// a valid stop of a small id
					snap_shot_request req;
					memset(&req, 0, sizeof(req));
					req.id = int32_t(1 + rng() % 16);
					count(call(VEK_IOCTL_STOP_VK, &req), "stop");
					continue;
				}
				if (r < 14) {	// release fetches waiting for a full batch, then fetch
					int32_t unused = 0;
					target.ioctl(fd, VEK_IOCTL_UNBLOCK_CHANGE_RECORDS, &unused);
					std::vector<change_record_usr_v2> recs(16);
					change_recrod_request_v2 crr;
					memset(&crr, 0, sizeof(crr));
					crr.size = 16;
					crr.cru = recs.data();
					count(call(VEK_IOCTL_GET_CHANGED_RECORDS_V2, &crr), "fetch");
					continue;
				}
				// A random command: one of the table's, or a number around it, with its
				// own size or another, and a record behind one of the pointers.
				unsigned nr;
				size_t size;
				if (rng() % 4) {
					auto &e = kTable[rng() % kTable.size()];
					nr = e.first;
					size = e.second;
				} else {
					nr = unsigned(rng() % 0x40);
					if (nr == 0x23)
						nr = 0x2B;
					size = rng() % 256;
				}
				if (rng() % 8 == 0)
					size = rng() % 0x4000;
				unsigned long cmd = VEK_IOW(nr, size);
				if (rng() % 16 == 0)
					cmd = (unsigned long)(uint32_t)rng();
				if (((cmd >> 8) & 0xff) == VEK_IOC_TYPE && (cmd & 0xff) == 0x23)
					cmd ^= 1;	// never UNLOAD here
				arena.fill(rng, nr, rec);
				void *arg = arena.argument(rng, rec, size);
				count(call(cmd, arg), "random");
			}
			if (fd >= 0)
				target.close_control(fd);
			std::lock_guard<std::mutex> g(mu);
			for (auto &[k, v] : mine)
				report.tally[k] += v;
			for (auto &[e, v] : errs)
				report.errnos[e] += v;
			if (longest > report.longest_ms) {
				report.longest_ms = longest;
				report.longest_cmd = longest_cmd;
			}
			running--;
		});
	}

	// The bounds only end a run that has already failed: a fuzzer stuck in a call.
	using clock = std::chrono::steady_clock;
	auto overdue = clock::now() + std::chrono::minutes(3);
	int ctl = target.open_control();
	bool unstuck = false;
	for (int rounds = 0; running > 0; rounds++) {
		if (clock::now() > overdue) {
			if (unstuck)
				break;
			fprintf(stderr, "ioctl fuzz: %d fuzzers still in a call; unsticking them\n",
				running.load());
			target.unstick();
			unstuck = true;
			overdue = clock::now() + std::chrono::seconds(30);
		}
		int32_t unused = 0;
		if (ctl >= 0)
			target.ioctl(ctl, VEK_IOCTL_UNBLOCK_CHANGE_RECORDS, &unused);
		if (ctl >= 0 && rounds % 200 == 199)
			stop_listed(target, ctl);
		std::this_thread::sleep_for(std::chrono::microseconds(200));
	}
	if (ctl >= 0)
		target.close_control(ctl);
	if (running > 0) {
		// The threads hold references into this frame: nothing can go on.
		fprintf(stderr, "ioctl fuzz: a fuzzer never came back from its call\n");
		abort();
	}
	for (auto &t : fuzzers)
		t.join();
	report.returned = !unstuck;
	return report;
}

}  // namespace vekfx
