// driver_fixture.h - scenario helpers for tests that drive the module the way an agent does:
// through host:: system calls on /dev/vekdriver with the records of vekdriver.h.
//
// A typical scenario test:
//
//   class MyTest : public vekfx::DriverTest {};
//   TEST_F(MyTest, Something) {
//     int id = start(part1, "/backup/a");          // session on the mounted partition 1
//     vekfx::io_workers w(id, 2, dir());           // two agent threads "qel-io-0", "qel-io-1"
//     ASSERT_EQ(0, w.wait_first());                 // ThreadWaitTimeout
//     write_source(part1, 0, data);                 // through the mounted file system
//     auto img = read_snapshot(id, 0, 65536);
//     ASSERT_EQ(0, stop(id));
//     w.join();
//   }                                               // TearDown: rmmod and leak checks
//
// DriverTest::SetUp speeds the platform clock up, adds a RAM disk "sda" with two
// partitions, mounts both, loads the module and opens the control device. TearDown stops
// what is left, closes handles, unloads the module and checks that the module returned
// every allocation, page, bio, cache and device it took. Subclasses change the knobs in
// their constructor (or override SetUp and call the pieces themselves).
#pragma once

#include <gtest/gtest.h>
#include <host/host.h>
#include <linux/spinlock.h>

#include "../../backupdriver/include/vekdriver.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

struct semaphore;

namespace vekfx {

// ---- log helpers ----
int dmesg_count(const std::string &needle);	// lines containing needle
inline bool dmesg_has(const std::string &needle) { return dmesg_count(needle) > 0; }
std::string dmesg_text();			// the whole log, one line per entry

// ---- records ----
snap_shot_request make_start_request(dev_t dev, const std::string &stem,
				     int mode = USER_SPACE_FILE);
inline unsigned dev_major(dev_t d) { return d >> 20; }
inline unsigned dev_minor(dev_t d) { return d & 0xFFFFF; }

// The seed of a randomised test: VEK_TEST_SEED from the environment, else fresh; printed.
uint64_t test_seed();

// How the test disk serves its bios, for scenarios that race source I/O with snapshot I/O:
// in submission order, or reordered (seeded; depth 32; latencies of a few platform ms, so
// that many bios overlap at the fixture's clock speed). A parameterised suite runs over both.
enum class disk_order { in_order, reordering };
host::disk_reorder reordering_disk(uint64_t seed);
std::string disk_order_name(const ::testing::TestParamInfo<disk_order> &info);
inline void PrintTo(disk_order o, std::ostream *os) { *os << (o == disk_order::reordering ? "reordering" : "in order"); }
#define VEKFX_BOTH_DISK_ORDERS(suite)                                                        \
	INSTANTIATE_TEST_SUITE_P(Disks, suite,                                               \
				 ::testing::Values(::vekfx::disk_order::in_order,            \
						   ::vekfx::disk_order::reordering),         \
				 ::vekfx::disk_order_name)

// Polls cond every millisecond until it holds; false after ms of real time. The bound only
// ends a test that has already failed: no verdict may rest on how soon cond holds.
bool eventually(const std::function<bool()> &cond, int ms = 10000);
// Tasks queued on a semaphore, read under its internal lock as the platform reads it.
int semaphore_waiters(struct semaphore *sem);

// Runs fn on a new thread whose task name is `name` (so "qel..." makes it the agent and
// anything else an ordinary process thread) and waits for it.
void run_as(const std::string &name, const std::function<void()> &fn);

// A long-lived thread with a fixed task name, for work that must open and close from the
// same task (the driver keys its opener records by thread id).
class task_thread {
public:
	explicit task_thread(const std::string &name);
	~task_thread();
	task_thread(const task_thread &) = delete;
	task_thread &operator=(const task_thread &) = delete;
	void run(const std::function<void()> &fn);	// runs fn there and waits for it
	pid_t tid() const { return tid_; }

private:
	struct state;
	std::unique_ptr<state> st_;
	std::thread thread_;
	pid_t tid_ = 0;
};

// Log lines (as dmesg() gives them) that contain any of the needles, in order.
std::vector<std::string> dmesg_matching(const std::vector<std::string> &needles);

// A per-process scratch directory under /tmp, removed with its files at process exit.
const std::string &scratch_dir();

// Platform counters whose values the module must give back when it is unloaded.
struct leak_baseline {
	long kmalloc = 0, vmalloc = 0, pages = 0, bios = 0;
	static leak_baseline now();
};
// Expects every counter equal to the baseline, no "qel_" cache and no control device.
void expect_no_leaks(const leak_baseline &before);

// ---- agent-style IO workers ----
// Starts n threads named "qel-io-<i>"; each opens its own control handle and its own
// backing file (dir/<session>-<i>.cow), allocates a staging buffer and calls RunIOThread
// (0x27) for the session. The calls return when the session stops.
class io_workers {
public:
	io_workers(int session_id, int n, const std::string &dir, int buffer_size = 1 << 20,
		   int first_worker_id = 0);
	~io_workers();			// joins; the session must be stopping by then
	io_workers(const io_workers &) = delete;
	io_workers &operator=(const io_workers &) = delete;

	// ThreadWaitTimeout (0x28) for the session, once one more of these workers has come into
	// the driver or ended; -1 when none has in 10 s of real time. The wait's 30 s are
	// platform time, which a loaded machine can spend before a worker is even scheduled.
	int wait_first(int ctl_fd = -1);
	void join();
	bool joined() const { return joined_; }
	// RunIOThread's results, valid after join().
	const std::vector<long> &results() const { return results_; }
	std::string file_path(int i) const;
	int count() const { return n_; }
	pid_t tid(int i) const;		// the worker's thread id once it has started

private:
	struct worker;
	int session_id_;
	int n_;
	std::string dir_;
	int buffer_size_;
	int first_id_;
	bool joined_ = false;
	int waited_ = 0;			// wait_first calls that returned 0
	std::vector<long> results_;
	std::vector<std::unique_ptr<worker>> workers_;
};

// ---- the fixture ----
class DriverTest : public ::testing::Test {
protected:
	// Knobs, set in a subclass constructor.
	double clock_speed = 200;		// 5 s of platform time take 25 ms
	bool load_module = true;		// insmod in SetUp
	bool make_disk = true;			// "sda" with two partitions, both mounted
	bool check_leaks = true;		// after rmmod in TearDown
	uint64_t disk_sectors = 8192;		// 4 MiB
	uint64_t part_sectors = 2048;		// each partition 1 MiB
	unsigned max_hw_sectors = 256;		// largest request the disk's queue takes
	// Off: the disk serves in order, unless VEK_TEST_DISK_REORDER=SEED[:DEPTH[:LATENCY_US]]
	// is set, which runs every scenario on a reordering disk (use latency 0 for the tests
	// that stop the clock).
	host::disk_reorder reorder;
	// The test stops the platform clock while the disk serves bios: latencies run on that
	// clock, so a reordering disk from VEK_TEST_DISK_REORDER completes its bios at once.
	bool clock_stops_with_io = false;

	void SetUp() override;
	void TearDown() override;

	// Pieces SetUp uses.
	int load();				// insmod, result
	void add_test_disk();			// fills disk, part1, part2; mounts both partitions
	int open_control();			// a new control handle (also closed by TearDown)

	// Agent commands through the first control handle `ctl`; each returns the ioctl
	// result (-1 with errno on failure).
	int ioctl(unsigned long cmd, void *arg) { return host::ioctl(ctl, cmd, arg); }
	// Start (0x26) on dev with the given stem; the new id, or -1. The reply goes to *reply.
	int start(dev_t dev, const std::string &stem, int mode = USER_SPACE_FILE,
		  snap_shot_request *reply = nullptr);
	int stop(int id, snap_shot_request *reply = nullptr);	// 0x16
	int session_count();					// 0x22, -1 on failure
	std::vector<session_list> list(int size = 16);		// 0x21
	std::string get_string_cmd(unsigned long cmd, int id, int *rc = nullptr);
	int set_file(int id, int fd, const std::string &name);	// 0x25

	// Data helpers.
	void write_source(dev_t dev, off_t off, const std::vector<uint8_t> &data);
	std::vector<uint8_t> read_dev(const std::string &path, off_t off, size_t len);
	std::vector<uint8_t> read_snapshot(int id, off_t off, size_t len);
	static std::vector<uint8_t> pattern(size_t len, uint8_t seed);

	// Stops every listed session, closes the handles and runs rmmod; 0 when it unloaded.
	int unload();
	const std::string &dir() const { return scratch_dir(); }

	dev_t disk = 0, part1 = 0, part2 = 0;
	int ctl = -1;				// first control handle
	std::vector<int> handles;		// every handle open_control made
	leak_baseline baseline;
	bool loaded = false;
};

// ---- a stopped platform clock ----
// With the clock stopped (host::set_clock_speed(0)): waits until every task in tids sleeps,
// then moves the clock on to the earliest of their time-outs, so that each of their sleeps
// lasts exactly its platform time however late the machine runs them (as long as only they
// wake one another). The platform ms it moved, or -1 without moving it when one of them
// has ended or none of them has a time-out.
long advance_to_next_timeout(const std::vector<pid_t> &tids);
// Waits until the task sleeps; its platform ms left until the time-out (-1: none).
long wait_sleeping(pid_t tid);
// Runs fn on a thread of its own and tells whether it returned (within a bound of real time
// far above what it needs). With the clock stopped, a call that waits for a time-out does not
// return: the clock is then run fast to let it go, and the answer is false.
bool returns_on_stopped_clock(const std::function<void()> &fn);

// Holds a spinlock on a thread of its own until released, with interrupts off as the
// driver holds its locks (a holder must not sleep in the platform's sense, so it waits in
// real time).
class spin_holder {
public:
	explicit spin_holder(spinlock_t *lock);
	~spin_holder() { release(); }
	void release();

private:
	spinlock_t *lock_;
	std::atomic<bool> held_{false}, release_{false};
	std::thread t_;
};

}  // namespace vekfx
