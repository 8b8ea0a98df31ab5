// ioctl_fuzz.h - the control device's fuzzer. Several threads send command numbers in and
// around the command table, records of random bytes, and null, unmapped, half-mapped and
// read-only pointers (also inside the records), with random ids, sizes and descriptors,
// between valid starts with a worker, fetches and stops. The calls go wherever the target
// sends them: into the module of this process, or through a vek-machine's control file.
#pragma once

#include "../../backupdriver/include/vekdriver.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace vekfx {

// The memory the fuzzer's pointers lead to and the descriptors its records name. Every
// region a pointer may lead into ends at an inaccessible page, so that a copy out of bounds
// stops there rather than landing in memory of ours.
class fuzz_arena {
public:
	explicit fuzz_arena(const std::string &dir);	// its scratch file lives in dir
	~fuzz_arena();
	fuzz_arena(const fuzz_arena &) = delete;
	fuzz_arena &operator=(const fuzz_arena &) = delete;
	bool ready() const { return ready_; }

	// The argument of a call whose record of `size` bytes is in rec.
	void *argument(std::mt19937_64 &rng, std::vector<uint8_t> &rec, size_t size);
	// A record of random bytes for command nr: the fields that name descriptors hold
	// harmless ones, ids are mostly small (so that they meet live sessions), and the
	// pointers inside point where an argument may.
	void fill(std::mt19937_64 &rng, unsigned nr, std::vector<uint8_t> &rec);

private:
	void *address(std::mt19937_64 &rng, void *valid, size_t size);
	int32_t any_fd(std::mt19937_64 &rng);

	bool ready_ = false;
	size_t page_ = 4096;
	uint8_t *half_ = nullptr;	// a page, then an inaccessible one
	uint8_t *ro_ = nullptr;		// read-only
	uint8_t *gone_ = nullptr;	// inaccessible, kept reserved so that nothing is mapped there
	uint8_t *room_ = nullptr;	// kRoom writable bytes (for arrays and staging buffers), then a guard
	int file_fd_ = -1;		// a scratch file
	int closed_fd_ = -1;		// a number no descriptor has
	static constexpr size_t kRoom = 1 << 20;
};

// How the calls reach a control device.
struct fuzz_target {
	virtual ~fuzz_target() = default;
	virtual int open_control() = 0;			// a new handle, or -1
	virtual void close_control(int fd) = 0;
	virtual int ioctl(int fd, unsigned long cmd, void *arg) = 0;	// -1 with errno on failure
	// A valid start on one of the source partitions, with an IO worker of its own; true
	// when the session started. `stem` names the backing files.
	virtual bool start_with_worker(int fd, std::mt19937_64 &rng, const std::string &stem) = 0;
	// Called once the fuzzers are long overdue: make the calls still inside return.
	virtual void unstick() {}
};

struct fuzz_report {
	bool returned = false;			// every fuzzer came back
	std::map<std::string, long> tally;	// calls by kind and outcome
	std::map<int, long> errnos;		// the errno of every failed call
	double longest_ms = 0;			// the longest call, in real time
	unsigned long longest_cmd = 0;		// and its command number
	std::string summary() const;		// both, on one line
};

// Runs `threads` fuzzers of `calls` calls each. Meanwhile this thread releases the fetches
// that wait for a full batch and, every so often, stops every listed session, so that a
// fuzzer a random command made a session's worker comes back. The seed of thread t is
// seed + 1000003 * t.
fuzz_report run_ioctl_fuzz(fuzz_target &target, fuzz_arena &arena, uint64_t seed, int threads,
			   int calls);

// VEK_FUZZ_CALLS, else fallback: the calls per fuzzer thread.
int fuzz_calls(int fallback);

}  // namespace vekfx
