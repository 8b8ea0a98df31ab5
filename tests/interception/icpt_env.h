// icpt_env.h - a machine for unit tests of the request interception: the module loaded,
// a RAM disk "sda" with two adjacent partitions, and snapshot sessions built by hand
// (alloc_cow_session + init_chunk_table) and listed with cow_request installed, so that
// plain host::pwrite/pread on /dev/sda* run through the interception.
//
// The disk's own make_request_fn can be wrapped by a "gate": bios reaching the saved
// function are logged in order, and reads can be held until the test opens the gate.
#pragma once

#include <gtest/gtest.h>

#include "cow.h"

#include <host/host.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace icpt {

// Geometry of the test disk, in 512-byte sectors.
constexpr uint64_t kDiskSectors = 8192;
constexpr uint64_t kPart1Start = 2048, kPart1Sectors = 2048;
constexpr uint64_t kPart2Start = 4096, kPart2Sectors = 2000;	// not a multiple of 128
constexpr size_t kChunk = 65536;

// What reached the disk's saved function.
struct seen_bio {
	bool write;
	uint64_t sector;	// whole-disk sector
	unsigned size;
};

// Wraps the disk's make_request_fn; installed as the saved function of a session's smrf.
struct gate {
	std::mutex m;
	std::condition_variable cv;
	bool hold_reads = false;
	uint64_t hold_lo = 0, hold_hi = ~0ULL;	// whole-disk sectors whose reads are held
	std::vector<seen_bio> seen;
	make_request_fn *lower = nullptr;	// the disk's own function

	void close_reads(uint64_t lo = 0, uint64_t hi = ~0ULL);
	void open_reads();
	std::vector<seen_bio> log();
	size_t count(bool write);
	bool wait_count(bool write, size_t n, int ms = 20000);	// a hang guard
};

class InterceptTest : public ::testing::Test {
protected:
	void SetUp() override;
	void TearDown() override;

	// A session on dev (disk or partition), built like a start does, not yet listed.
	cow_session *make_session(dev_t dev);
	// Installs cow_request through the session's smrf and lists the session.
	void list_session(cow_session *cs);
	// Unlists, fails queued copies, gives the mapping back and frees the session.
	void drop_session(cow_session *cs);
	// Wrap the disk's saved function in `g` (after the first list_session).
	void use_gate(cow_session *cs);

	// I/O through the block layer, as a process would do it.
	void write_dev(const char *path, off_t off, const std::vector<uint8_t> &data);
	std::vector<uint8_t> read_dev(const char *path, off_t off, size_t len);
	static std::vector<uint8_t> pattern(size_t len, uint8_t seed);

	// The copies queued to the session's workers: chunk number -> 64 KiB of old data.
	std::vector<std::pair<uint64_t, std::vector<uint8_t>>> queued_copies(cow_session *cs);
	std::string error_text(cow_session *cs) { return cs->errorMsg ? cs->errorMsg : ""; }
	int dmesg_count(const std::string &needle);

	dev_t disk = 0, part1 = 0, part2 = 0;
	std::vector<cow_session *> sessions;
	long kmalloc_before = 0, pages_before = 0, bios_before = 0;
	bool loaded = false;
};

extern gate g;

}  // namespace icpt
