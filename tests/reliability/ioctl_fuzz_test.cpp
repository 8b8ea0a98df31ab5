// The control device under fire: several threads send it command numbers in and around its
// table, records of random bytes, and null, unmapped, half-mapped and read-only pointers, with
// random ids and sizes, between valid starts (with workers), fetches and stops, while a writer
// keeps writing both source partitions. Nothing may crash; every source write completes and is
// on the disk; every session can be stopped; the module unloads with every counter back where
// it was. The seed is printed (VEK_TEST_SEED repeats a run); VEK_FUZZ_CALLS sets the calls per
// thread.
#include "driver_fixture.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <host/host.h>
#include <host/host_block.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

// The commands and their record sizes; UNLOAD (0x23) ends the driver's service and is sent
// only at the end.
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

class IoctlFuzz : public vekfx::DriverTest {
protected:
	IoctlFuzz()
	{
		disk_sectors = 16384;	// 8 MiB
		part_sectors = 4096;	// 2 MiB each
	}
	void SetUp() override
	{
		vekfx::DriverTest::SetUp();
		long page = sysconf(_SC_PAGESIZE);
		// Two pages, the second inaccessible: a record that starts on the first runs into it.
		half = (uint8_t *)mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE,
				       MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
		ASSERT_NE(MAP_FAILED, (void *)half);
		ASSERT_EQ(0, mprotect(half + page, page, PROT_NONE));
		ro = (uint8_t *)mmap(nullptr, page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
				     -1, 0);
		ASSERT_NE(MAP_FAILED, (void *)ro);
		memset(ro, 0x11, page);
		ASSERT_EQ(0, mprotect(ro, page, PROT_READ));
		// Inaccessible, and kept reserved: an address unmapped here could be mapped again for
		// a thread stack or the allocator, and this process is the "kernel" too.
		gone = (uint8_t *)mmap(nullptr, page, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
		ASSERT_NE(MAP_FAILED, (void *)gone);
		// Descriptors a record may name: a scratch file, one closed, none.
		file_fd = ::open((dir() + "/fuzz.cow").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
		ASSERT_GE(file_fd, 0);
		closed_fd = ::open((dir() + "/fuzz.closed").c_str(), O_RDWR | O_CREAT, 0600);
		::close(closed_fd);
	}
	void TearDown() override
	{
		long page = sysconf(_SC_PAGESIZE);
		munmap(half, 2 * page);
		munmap(ro, page);
		munmap(gone, page);
		::close(file_fd);
		vekfx::DriverTest::TearDown();
	}

	uint8_t *half = nullptr, *ro = nullptr, *gone = nullptr;
	int file_fd = -1, closed_fd = -1;

	// What a pointer argument is made of.
	void *pointer(std::mt19937_64 &rng, std::vector<uint8_t> &buf, size_t size)
	{
		long page = sysconf(_SC_PAGESIZE);
		switch (rng() % 8) {
		case 0: return nullptr;
		case 1: return (void *)(uintptr_t)(1 + rng() % 4095);
		case 2: return gone;
		case 3: return half + page - 1 - rng() % std::max<size_t>(size, 1);
		case 4: return ro;
		case 5: return (void *)(uintptr_t)rng();
		default: return buf.data();
		}
	}
	int32_t any_fd(std::mt19937_64 &rng)
	{
		const int32_t fds[] = {-1, file_fd, closed_fd, 1 << 20, (int32_t)rng()};
		return fds[rng() % 5];
	}
	// A record of random bytes, with the fields that name descriptors kept to harmless ones and
	// ids mostly small (so they meet live sessions).
	void fill(std::mt19937_64 &rng, unsigned nr, std::vector<uint8_t> &buf)
	{
		for (auto &b : buf)
			b = (uint8_t)rng();
		auto small = [&] { return (int32_t)(rng() % 4 ? rng() % 20 : rng()); };
		switch (nr) {
		case 0x27: {
			auto *t = (zk_thread_info *)buf.data();
			t->session_id = small();
			t->file_fd = any_fd(rng);
			t->buffer_size = (int32_t)(rng() % 3 ? 65536 : rng());
			break;
		}
		case 0x25:
			((set_cow_file *)buf.data())->id = small();
			((set_cow_file *)buf.data())->fd = any_fd(rng);
			break;
		case 0x1D: case 0x2A:
			((change_recrod_request *)buf.data())->size = (int32_t)(rng() % 3 ? rng() % 64 : rng());
			break;
		case 0x16: case 0x19: case 0x1A: case 0x1B: case 0x1C: case 0x28: case 0x29:
			*(int32_t *)buf.data() = small();
			break;
		}
	}
};

TEST_F(IoctlFuzz, RandomCommandsRecordsAndPointersLoseNoWriteAndUnloadClean)
{
	const uint64_t seed = vekfx::test_seed();
	const int calls = getenv("VEK_FUZZ_CALLS") ? atoi(getenv("VEK_FUZZ_CALLS")) : 400;
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
	std::mutex mu;
	std::vector<std::unique_ptr<vekfx::io_workers>> pools;	// workers of the valid starts
	std::map<std::string, long> tally;
	std::atomic<int> running{kThreads};
	std::vector<std::thread> fuzzers;
	for (int t = 0; t < kThreads; t++) {
		fuzzers.emplace_back([&, t] {
			std::string name = "qel-fuzz" + std::to_string(t);
			pthread_setname_np(pthread_self(), name.c_str());
			std::mt19937_64 rng(seed + 1000003 * t);
			int fd = host::open("/dev/vekdriver", O_RDWR);
			EXPECT_GE(fd, 0);
			std::vector<uint8_t> buf(16384);
			std::map<std::string, long> mine;
			for (int i = 0; i < calls && fd >= 0; i++) {
				unsigned r = rng() % 100;
				if (r < 4) {	// a valid start with a worker
					dev_t dev = rng() % 2 ? part1 : part2;
					snap_shot_request req = vekfx::make_start_request(
						dev, dir() + "/fz" + std::to_string(t) + "_" + std::to_string(i),
						USER_SPACE_FILE | (rng() % 2 ? VEK_MODE_CHANGE_TRACKING : 0));
					if (host::ioctl(fd, VEK_IOCTL_START_VK2, &req) == 0 && req.id > 0) {
						auto w = std::make_unique<vekfx::io_workers>(req.id, 1, dir(), 65536);
						std::lock_guard<std::mutex> g(mu);
						pools.push_back(std::move(w));
						mine["start ok"]++;
					} else {
						mine["start refused"]++;
					}
					continue;
				}
				if (r < 8) {	// a valid stop of a small id
					snap_shot_request req{};
					req.id = int32_t(1 + rng() % 16);
					mine[host::ioctl(fd, VEK_IOCTL_STOP_VK, &req) == 0 ? "stop ok" : "stop refused"]++;
					continue;
				}
				if (r < 14) {	// release fetches waiting for a full batch, then fetch
					host::ioctl(fd, VEK_IOCTL_UNBLOCK_CHANGE_RECORDS, nullptr);
					std::vector<change_record_usr_v2> recs(16);
					change_recrod_request_v2 crr{};
					crr.size = 16;
					crr.cru = recs.data();
					int n = host::ioctl(fd, VEK_IOCTL_GET_CHANGED_RECORDS_V2, &crr);
					mine[n >= 0 ? "fetch ok" : "fetch refused"]++;
					continue;
				}
				// A random command: one of the table's, or a number around it, with its own
				// size or another, and a record behind one of the pointers.
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
				fill(rng, nr, buf);
				void *arg = pointer(rng, buf, size);
				int rc = host::ioctl(fd, cmd, arg);
				mine[rc == 0 ? "random ok" : "random refused"]++;
			}
			if (fd >= 0)
				host::close(fd);
			std::lock_guard<std::mutex> g(mu);
			for (auto &[k, v] : mine)
				tally[k] += v;
			running--;
		});
	}

	// Until every fuzzer is done: fetches waiting for a batch are released, and sessions that
	// hold a fuzzer as their worker are stopped.
	for (int rounds = 0; running > 0 && rounds < 600000; rounds++) {
		host::ioctl(ctl, VEK_IOCTL_UNBLOCK_CHANGE_RECORDS, nullptr);
		if (rounds % 200 == 199)
			for (const auto &s : list(16))
				if (s.id > 0)
					stop(s.id);
		std::this_thread::sleep_for(std::chrono::microseconds(200));
	}
	ASSERT_EQ(0, running.load()) << "a fuzzer never came back from the driver";
	for (auto &t : fuzzers)
		t.join();
	// Every session is stoppable; then the driver's own UNLOAD command succeeds.
	for (const auto &s : list(16)) {
		if (s.id > 0) {
			EXPECT_EQ(0, stop(s.id)) << "session vek" << s.id;
		}
	}
	EXPECT_EQ(0, ioctl(VEK_IOCTL_UNLOAD, nullptr)) << vekfx::dmesg_text();
	EXPECT_EQ(0, session_count());
	for (auto &p : pools)
		p->join();
	done = true;
	writer.join();

	EXPECT_EQ(0, failed_writes.load()) << "a source write failed";
	EXPECT_TRUE(read_dev("/dev/sda1", 0, part_bytes) == want1) << "a completed write to sda1 is lost";
	EXPECT_TRUE(read_dev("/dev/sda2", 0, part_bytes) == want2) << "a completed write to sda2 is lost";
	std::string table;
	for (auto &[k, v] : tally)
		table += "  " + k + " " + std::to_string(v);
	std::cout << "[ fuzz ] " << kThreads << " threads x " << calls << " calls, " << writes
		  << " source writes:" << table << std::endl;
	// TearDown unloads the module and checks every counter against its baseline.
}

}  // namespace
