// Stress: writer threads hammer the source with stamped 4 KiB blocks while the agent reads
// the snapshot end to end; the image must be the source as it was at the freeze, bit for
// bit. Variants mix in snapshot writes, and keep the writers running across the freeze.
// Each runs on a disk that serves in order and on one that reorders its bios.
#include "snap_helpers.h"

#include <atomic>
#include <barrier>
#include <chrono>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <thread>

namespace {

using namespace snapt;
using clk = std::chrono::steady_clock;

constexpr size_t kBlock = 4096;
constexpr int kWriters = 4;
constexpr uint64_t kSourceFlag = 1, kSnapFlag = 2;

uint64_t mix(uint64_t x)
{
	x += 0x9e3779b97f4a7c15ULL;
	x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
	x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
	return x ^ (x >> 31);
}

// seq, block, flag, payload, checksum of everything before it.
std::vector<uint8_t> stamp(uint64_t seq, uint64_t block, uint64_t flag)
{
	std::vector<uint8_t> b(kBlock);
	uint64_t *w = (uint64_t *)b.data();
	w[0] = seq;
	w[1] = block;
	w[2] = flag;
	uint64_t sum = seq ^ (block << 1) ^ (flag << 2);
	for (size_t i = 3; i < kBlock / 8 - 1; i++) {
		w[i] = mix(seq * 1000003 + block * 31 + i + flag);
		sum = mix(sum ^ w[i]);
	}
	w[kBlock / 8 - 1] = sum;
	return b;
}

struct stamp_view {
	bool valid;
	uint64_t seq, block, flag;
};

stamp_view inspect(const uint8_t *p)
{
	const uint64_t *w = (const uint64_t *)p;
	auto want = stamp(w[0], w[1], w[2]);
	return {memcmp(want.data(), p, kBlock) == 0, w[0], w[1], w[2]};
}

class SnapStressTest : public vekfx::DriverTest,
		       public ::testing::WithParamInterface<vekfx::disk_order> {
protected:
	SnapStressTest()
	{
		part_sectors = 16384;			// 8 MiB: 128 chunks, 2048 blocks
		disk_sectors = 64 + 2 * 16384 + 64;
		seed = vekfx::test_seed();
		if (GetParam() == vekfx::disk_order::reordering)
			reorder = vekfx::reordering_disk(seed);
	}
	void SetUp() override
	{
		DriverTest::SetUp();
		if (HasFatalFailure())
			return;
		blocks = part_sectors * 512 / kBlock;
		std::vector<uint8_t> all;
		for (uint64_t b = 0; b < blocks; b++) {
			auto s = stamp(0, b, 0);
			all.insert(all.end(), s.begin(), s.end());
		}
		write_source(part1, 0, all);
		prefill = all;
	}

	// Source writers: writer i owns the blocks b with b % kWriters == i, so the writes to
	// one block are ordered and its content is that of its last completed write.
	struct write_log {
		uint64_t block, seq;
		clk::time_point begin, end;
	};
	void start_writers()
	{
		for (int i = 0; i < kWriters; i++)
			writers.emplace_back([this, i] {
				std::mt19937_64 rng(seed + i);
				while (!done.load() || writes[i].size() < 64) {
					uint64_t b = (rng() % (blocks / kWriters)) * kWriters + i;
					uint64_t seq = next_seq++;
					auto data = stamp(seq, b, kSourceFlag);
					write_log l{b, seq, clk::now(), {}};
					ssize_t n = host::fs_pwrite(part1, data.data(), kBlock, b * kBlock);
					l.end = clk::now();
					if (n != (ssize_t)kBlock) {
						ADD_FAILURE() << "source write failed: " << n;
						return;
					}
					writes[i].push_back(l);
					if (writes[i].size() > 100000)
						return;
				}
			});
	}
	void stop_writers()
	{
		done = true;
		for (auto &t : writers)
			t.join();
		writers.clear();
	}
	std::vector<uint8_t> read_image()
	{
		std::vector<uint8_t> img(blocks * kBlock);
		const size_t step = 65536;
		vekfx::run_as("qel-reader", [&] {
			int fd = host::open(vek(id).c_str(), O_RDONLY);
			ASSERT_GE(fd, 0);
			for (size_t off = 0; off < img.size(); off += step)
				ASSERT_EQ((ssize_t)step, host::pread(fd, img.data() + off, step, off));
			host::close(fd);
		});
		return img;
	}
	void start_session()
	{
		id = start(part1, dir() + "/stress");
		ASSERT_GT(id, 0) << vekfx::dmesg_text();
		w = std::make_unique<vekfx::io_workers>(id, 3, dir());
		ASSERT_EQ(0, w->wait_first());
	}
	void end_session()
	{
		EXPECT_EQ(0, list()[0].error) << get_string_cmd(VEK_IOCTL_GET_SESSION_ERROR, id);
		EXPECT_EQ(0, stop(id)) << vekfx::dmesg_text();
		w->join();
	}

	uint64_t seed = 0, blocks = 0;
	int id = -1;
	std::vector<uint8_t> prefill;
	std::unique_ptr<vekfx::io_workers> w;
	std::vector<std::thread> writers;
	std::atomic<bool> done{false};
	std::atomic<uint64_t> next_seq{1};
	std::vector<write_log> writes[kWriters];
};

TEST_P(SnapStressTest, TheImageIsTheSourceAtTheFreezeWhileWritersHammerIt)
{
	start_session();
	start_writers();
	auto img = read_image();
	stop_writers();
	EXPECT_TRUE(same_bytes(prefill, img)) << "seed " << seed;
	// The source really moved on meanwhile, and the image stays what it was.
	size_t total = 0;
	for (auto &l : writes)
		total += l.size();
	EXPECT_GE(total, (size_t)kWriters * 64);
	EXPECT_GT(list()[0].changed_blocks, 0u);
	printf("source writes during the read: %zu, chunks copied: %llu\n", total,
	       (unsigned long long)list()[0].changed_blocks);
	EXPECT_TRUE(same_bytes(prefill, read_image())) << "seed " << seed;
	end_session();
}

TEST_P(SnapStressTest, SnapshotWritesMixedInStayInTheImageAndOutOfTheSource)
{
	start_session();
	std::map<uint64_t, std::set<uint64_t>> snap_seqs;	// block -> seqs written to it
	std::map<uint64_t, std::vector<uint8_t>> snap_last;
	std::mutex snap_mu;
	std::thread snap_writer([&] {
		std::mt19937_64 rng(seed ^ 0x5A5A);
		task_thread me("qel-snapwriter");
		int fd = me.open(vek(id), O_RDWR);
		ASSERT_GE(fd, 0);
		for (int i = 0; i < 400; i++) {
			uint64_t b = rng() % blocks;
			uint64_t seq = next_seq++;
			auto data = stamp(seq, b, kSnapFlag);
			{
				std::lock_guard<std::mutex> g(snap_mu);
				snap_seqs[b].insert(seq);
			}
			ssize_t n = -1;
			me.run([&] { n = host::pwrite(fd, data.data(), kBlock, b * kBlock); });
			ASSERT_EQ((ssize_t)kBlock, n);
			std::lock_guard<std::mutex> g(snap_mu);
			snap_last[b] = data;
		}
		me.close(fd);
	});
	start_writers();
	auto img = read_image();
	snap_writer.join();
	stop_writers();

	// During the run every block is either the freeze-time block or one the snapshot
	// writer wrote to it, whole.
	for (uint64_t b = 0; b < blocks; b++) {
		const uint8_t *p = img.data() + b * kBlock;
		stamp_view v = inspect(p);
		ASSERT_TRUE(v.valid) << "torn or foreign block " << b << ", seed " << seed;
		ASSERT_EQ(b, v.block) << "seed " << seed;
		ASSERT_NE(kSourceFlag, v.flag) << "a source write in the image at block " << b;
		if (v.flag == kSnapFlag) {
			ASSERT_TRUE(snap_seqs[b].count(v.seq)) << b;
		}
	}
	// Afterwards: exactly the freeze-time image with the last snapshot write of each block.
	auto want = prefill;
	for (auto &[b, data] : snap_last)
		std::copy(data.begin(), data.end(), want.begin() + b * kBlock);
	EXPECT_TRUE(same_bytes(want, read_image())) << "seed " << seed;
	// No snapshot write ever reached the source.
	auto src = read_dev(devpath(part1), 0, blocks * kBlock);
	for (uint64_t b = 0; b < blocks; b++)
		ASSERT_NE(kSnapFlag, inspect(src.data() + b * kBlock).flag) << "block " << b;
	end_session();
}

TEST_P(SnapStressTest, WritersRunningAcrossTheFreezeLeaveAConsistentImage)
{
	start_writers();
	std::this_thread::sleep_for(std::chrono::milliseconds(20));
	auto t0 = clk::now();
	start_session();
	auto t1 = clk::now();
	auto img = read_image();
	stop_writers();

	// Per block: the image holds the last write that completed before the start began, or
	// a later one that began before the start returned; nothing newer.
	std::vector<uint64_t> lower(blocks, 0);
	std::vector<std::set<uint64_t>> allowed(blocks);
	for (auto &log : writes)
		for (auto &l : log) {
			if (l.end < t0)
				lower[l.block] = std::max(lower[l.block], l.seq);
			if (l.begin < t1)
				allowed[l.block].insert(l.seq);
		}
	for (uint64_t b = 0; b < blocks; b++) {
		stamp_view v = inspect(img.data() + b * kBlock);
		ASSERT_TRUE(v.valid) << "torn block " << b << ", seed " << seed;
		ASSERT_EQ(b, v.block);
		ASSERT_GE(v.seq, lower[b]) << "block " << b << " older than a write before the freeze";
		if (v.seq != 0) {
			ASSERT_TRUE(allowed[b].count(v.seq))
				<< "block " << b << " holds a write made after the start";
		}
	}
	EXPECT_TRUE(same_bytes(img, read_image())) << "the image changed, seed " << seed;
	end_session();
}

// Every chunk is read from the snapshot while its first source write is submitted: the
// read goes to the source, and the write, its copy read and the read are all on the disk
// at once. Whatever order the disk serves them in, the read must show the freeze.
TEST_P(SnapStressTest, ReadsOfUncopiedChunksRacingTheirFirstWriteShowTheFreeze)
{
	start_session();
	const uint64_t chunks = blocks * kBlock / 65536, per_chunk = 65536 / kBlock;
	std::vector<uint8_t> img(chunks * 65536);
	std::barrier meet(2);
	std::thread writer([&] {
		std::mt19937_64 rng(seed ^ 0xC0FFEE);
		for (uint64_t c = 0; c < chunks; c++) {
			uint64_t b = c * per_chunk + rng() % per_chunk;
			auto data = stamp(next_seq++, b, kSourceFlag);
			meet.arrive_and_wait();
			EXPECT_EQ((ssize_t)kBlock, host::fs_pwrite(part1, data.data(), kBlock, b * kBlock));
		}
	});
	vekfx::run_as("qel-reader", [&] {
		int fd = host::open(vek(id).c_str(), O_RDONLY);
		for (uint64_t c = 0; c < chunks; c++) {
			meet.arrive_and_wait();
			EXPECT_EQ(65536, host::pread(fd, img.data() + c * 65536, 65536, c * 65536));
		}
		host::close(fd);
	});
	writer.join();
	size_t wrong = 0;
	for (uint64_t c = 0; c < chunks; c++)
		if (memcmp(img.data() + c * 65536, prefill.data() + c * 65536, 65536))
			wrong++;
	EXPECT_EQ(0u, wrong) << "chunks that showed a source write, seed " << seed;
	end_session();
}

VEKFX_BOTH_DISK_ORDERS(SnapStressTest);

}  // namespace
