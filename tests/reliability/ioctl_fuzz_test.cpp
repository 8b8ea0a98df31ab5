// The control device under fire: several threads send it command numbers in and around its
// table, records of random bytes, and null, unmapped, half-mapped and read-only pointers, with
// random ids and sizes, between valid starts (with workers), fetches and stops, while a writer
// keeps writing both source partitions. Nothing may crash; every source write completes and is
// on the disk; every session can be stopped; the module unloads with every counter back where
// it was. The seed is printed (VEK_TEST_SEED repeats a run); VEK_FUZZ_CALLS sets the calls per
// thread.
#include "driver_fixture.h"
#include "ioctl_fuzz.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <host/host.h>
#include <host/host_block.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

class IoctlFuzz : public vekfx::DriverTest {
protected:
	IoctlFuzz()
	{
		disk_sectors = 16384;	// 8 MiB
		part_sectors = 4096;	// 2 MiB each
	}
};

// The calls go to the module of this process; valid starts get one worker thread each.
struct InProcess : vekfx::fuzz_target {
	InProcess(dev_t a, dev_t b, std::string d) : parts{a, b}, dir(std::move(d)) {}
	int open_control() override { return host::open("/dev/vekdriver", O_RDWR); }
	void close_control(int fd) override { host::close(fd); }
	int ioctl(int fd, unsigned long cmd, void *arg) override { return host::ioctl(fd, cmd, arg); }
	bool start_with_worker(int fd, std::mt19937_64 &rng, const std::string &stem) override
	{
		snap_shot_request req = vekfx::make_start_request(
			parts[rng() % 2], dir + "/" + stem,
			USER_SPACE_FILE | (rng() % 2 ? VEK_MODE_CHANGE_TRACKING : 0));
		if (host::ioctl(fd, VEK_IOCTL_START_VK2, &req) != 0 || req.id <= 0)
			return false;
		auto w = std::make_unique<vekfx::io_workers>(req.id, 1, dir, 65536);
		std::lock_guard<std::mutex> g(mu);
		pools.push_back(std::move(w));
		return true;
	}

	dev_t parts[2];
	std::string dir;
	std::mutex mu;
	std::vector<std::unique_ptr<vekfx::io_workers>> pools;
};

TEST_F(IoctlFuzz, RandomCommandsRecordsAndPointersLoseNoWriteAndUnloadClean)
{
	const uint64_t seed = vekfx::test_seed();
	const int calls = vekfx::fuzz_calls(400);
	const int kThreads = 4;

	// The writer: 4 KiB at a time over both partitions, round and round.
	std::atomic<bool> done{false};
	std::atomic<long> writes{0}, failed_writes{0};
	const size_t part_bytes = size_t(part_sectors) * 512;
	std::vector<uint8_t> want1(part_bytes), want2(part_bytes);
	// Both partitions start as the writer's record of them.
	EXPECT_EQ((ssize_t)part_bytes, host::fs_pwrite(part1, want1.data(), part_bytes, 0));
	EXPECT_EQ((ssize_t)part_bytes, host::fs_pwrite(part2, want2.data(), part_bytes, 0));
	std::thread writer([&] {
		std::mt19937_64 rng(seed ^ 0x77);
		std::vector<uint8_t> b(4096);
		for (uint64_t i = 0; !done; i++) {
			bool first = i % 2 == 0;
			off_t off = off_t(rng() % (part_bytes / 4096)) * 4096;
			for (auto &x : b)
				x = (uint8_t)rng();
			if (host::fs_pwrite(first ? part1 : part2, b.data(), b.size(), off) != 4096) {
				failed_writes++;
				continue;
			}
			std::copy(b.begin(), b.end(), (first ? want1 : want2).begin() + off);
			writes++;
		}
	});
	vekfx::fuzz_arena arena(dir());
	ASSERT_TRUE(arena.ready());
	InProcess target(part1, part2, dir());
	vekfx::fuzz_report report = vekfx::run_ioctl_fuzz(target, arena, seed, kThreads, calls);
	EXPECT_TRUE(report.returned) << "a fuzzer came back from the driver only when unstuck";
	// Every session is stoppable; then the driver's own UNLOAD command succeeds.
	for (const auto &s : list(16)) {
		if (s.id > 0) {
			EXPECT_EQ(0, stop(s.id)) << "session vek" << s.id;
		}
	}
	EXPECT_EQ(0, ioctl(VEK_IOCTL_UNLOAD, nullptr)) << vekfx::dmesg_text();
	EXPECT_EQ(0, session_count());
	for (auto &p : target.pools)
		p->join();
	done = true;
	writer.join();

	EXPECT_EQ(0, failed_writes.load()) << "a source write failed";
	EXPECT_TRUE(read_dev("/dev/sda1", 0, part_bytes) == want1) << "a completed write to sda1 is lost";
	EXPECT_TRUE(read_dev("/dev/sda2", 0, part_bytes) == want2) << "a completed write to sda2 is lost";
	std::cout << "[ fuzz ] " << kThreads << " threads x " << calls << " calls, " << writes
		  << " source writes:" << report.summary() << std::endl;
	// TearDown unloads the module and checks every counter against its baseline.
}

}  // namespace
