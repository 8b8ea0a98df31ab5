// End to end: writers hammer a source partition under snapshot while agent-style workers
// store the preserved chunks; the backing files must then hold, at each chunk's worker
// and slot, exactly what the chunk held at the snapshot instant. Both run on a disk that
// serves in order and on one that reorders.
#include "cow.h"
#include "driver_fixture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <random>
#include <set>
#include <thread>
#include <unistd.h>

namespace {

constexpr size_t kBlock = 4096;
constexpr size_t kChunk = 65536;

// Block contents: every 8-byte word says which block, which writer and which generation.
std::vector<uint8_t> stamp(uint32_t block, uint8_t writer, uint32_t gen)
{
	std::vector<uint8_t> b(kBlock);
	for (size_t i = 0; i < kBlock; i += 8) {
		uint64_t w = ((uint64_t)block << 32) | ((uint64_t)writer << 24) | (gen & 0xFFFFFF);
		w ^= i * 0x9E3779B97F4A7C15ull;
		memcpy(&b[i], &w, 8);
	}
	return b;
}

struct placement {
	int thread;
	uint64_t slot;
};

using vekfx::eventually;

class CowE2E : public vekfx::DriverTest, public ::testing::WithParamInterface<vekfx::disk_order> {
protected:
	static constexpr int kWorkers = 3;
	static constexpr int kWriters = 4;
	static constexpr int kWritesEach = 120;

	CowE2E()
	{
		disk_sectors = 65536;
		part_sectors = 16384;	// 8 MiB: 128 chunks
		seed = vekfx::test_seed();
		if (GetParam() == vekfx::disk_order::reordering)
			reorder = vekfx::reordering_disk(seed);
	}
	uint64_t seed;

	size_t part_bytes() const { return part_sectors * 512; }
	size_t blocks() const { return part_bytes() / kBlock; }

	// The partition's contents before the snapshot, written block by block.
	std::vector<uint8_t> lay_down_image()
	{
		std::vector<uint8_t> img(part_bytes());
		for (uint32_t b = 0; b < blocks(); b++) {
			std::vector<uint8_t> s = stamp(b, 0xFF, 0);
			memcpy(&img[b * kBlock], s.data(), kBlock);
		}
		int fd = host::open("/dev/sda1", O_RDWR);
		EXPECT_GE(fd, 0);
		for (size_t off = 0; off < img.size(); off += kChunk)
			EXPECT_EQ(host::pwrite(fd, &img[off], kChunk, (off_t)off), (ssize_t)kChunk);
		host::close(fd);
		return img;
	}

	// Four writers, two through the mounted file system and two straight to the device.
	// Returns the chunks written.
	std::set<uint32_t> run_writers(uint64_t seed)
	{
		std::vector<std::set<uint32_t>> touched(kWriters);
		std::vector<std::thread> ts;
		for (int wr = 0; wr < kWriters; wr++) {
			ts.emplace_back([&, wr] {
				std::mt19937_64 rng(seed + wr);
				int fd = wr % 2 ? host::open("/dev/sda1", O_RDWR) : -1;
				for (int g = 1; g <= kWritesEach; g++) {
					uint32_t b = (uint32_t)(rng() % blocks());
					std::vector<uint8_t> s = stamp(b, (uint8_t)wr, (uint32_t)g);
					ssize_t r = fd >= 0 ? host::pwrite(fd, s.data(), kBlock, (off_t)b * kBlock)
							    : host::fs_pwrite(part1, s.data(), kBlock, (off_t)b * kBlock);
					EXPECT_EQ(r, (ssize_t)kBlock) << "the source never fails a write";
					touched[wr].insert((uint32_t)(b * kBlock / kChunk));
				}
				if (fd >= 0)
					host::close(fd);
			});
		}
		for (std::thread &t : ts)
			t.join();
		std::set<uint32_t> all;
		for (int wr = 0; wr < kWriters; wr++)
			all.insert(touched[wr].begin(), touched[wr].end());
		return all;
	}

	std::map<uint32_t, placement> placements(int id)
	{
		std::map<uint32_t, placement> out;
		down(&workLock);
		cow_session *cs = get_cow_session_by_id(id);
		if (cs) {
			for (uint32_t c = 0; c <= part_bytes() / kChunk; c++) {
				unsigned long flags;
				spin_lock_irqsave(&cs->chunk_lock, flags);
				cow_chunk *cc = get_cow_chunk(&cs->chunk_table, c);
				if (cc)
					out[c] = placement{cc->thread, cc->new_chunk};
				spin_unlock_irqrestore(&cs->chunk_lock, flags);
			}
		}
		up(&workLock);
		return out;
	}

	int fc_count(int id)
	{
		int v = -1;
		down(&workLock);
		if (cow_session *cs = get_cow_session_by_id(id))
			v = atomic_read(&cs->fc_count);
		up(&workLock);
		return v;
	}

	// Which backing file serves each slot, from the workers' names "vek_io/<id>/<slot>".
	std::map<int, std::string> files_by_slot(const vekfx::io_workers &w)
	{
		std::map<int, std::string> out;
		for (int i = 0; i < w.count(); i++) {
			host::task_info ti;
			int sid = 0, slot = -1;
			if (host::task_info_of(w.tid(i), &ti) &&
			    sscanf(ti.comm.c_str(), "vek_io/%d/%d", &sid, &slot) == 2)
				out[slot] = w.file_path(i);
		}
		return out;
	}
};

TEST_P(CowE2E, BackingFilesHoldEachChunkAsItWasAtTheSnapshot)
{
	std::vector<uint8_t> image = lay_down_image();
	int id = start(part1, dir() + "/e2e");
	ASSERT_GT(id, 0);
	// A one-chunk window: each chunk reaches its file as soon as its last page is staged.
	vekfx::io_workers w(id, kWorkers, dir(), (int)kChunk);
	for (int i = 0; i < kWorkers; i++)
		ASSERT_EQ(0, w.wait_first());
	std::map<int, std::string> files = files_by_slot(w);
	ASSERT_EQ(files.size(), (size_t)kWorkers);

	// First a sequential run over the first chunks, block by block: every chunk boundary
	// it crosses ends one of its writes there, and the chunk after the run stays untouched.
	constexpr uint32_t kRun = 8;
	int dev = host::open("/dev/sda1", O_RDWR);
	ASSERT_GE(dev, 0);
	for (uint32_t b = 0; b < kRun * kChunk / kBlock; b++) {
		std::vector<uint8_t> s = stamp(b, 0xEE, 1);
		ASSERT_EQ(host::pwrite(dev, s.data(), kBlock, (off_t)b * kBlock), (ssize_t)kBlock);
	}
	host::close(dev);
	EXPECT_EQ(list()[0].changed_blocks, kRun) << "the run preserved a chunk it never wrote";

	std::set<uint32_t> written = run_writers(seed);
	for (uint32_t c = 0; c < kRun; c++)
		written.insert(c);
	ASSERT_TRUE(eventually([&] { return fc_count(id) == 0; })) << "every transfer stored";

	std::map<uint32_t, placement> where = placements(id);
	for (uint32_t c : written)
		EXPECT_TRUE(where.count(c)) << "chunk " << c << " was written but not preserved";
	for (auto &[c, p] : where)
		EXPECT_TRUE(written.count(c)) << "chunk " << c << " never written";

	std::map<int, std::set<uint64_t>> slots_used;
	for (auto &[c, p] : where) {
		ASSERT_EQ(p.thread, (int)(c % kWorkers)) << "chunk " << c;
		EXPECT_TRUE(slots_used[p.thread].insert(p.slot).second) << "slot given twice";
		ASSERT_LT(c, part_bytes() / kChunk) << "a chunk past the device's end was preserved";
		int fd = ::open(files[p.thread].c_str(), O_RDONLY);
		ASSERT_GE(fd, 0);
		std::vector<uint8_t> got(kChunk);
		ASSERT_EQ(::pread(fd, got.data(), kChunk, (off_t)(p.slot * kChunk)), (ssize_t)kChunk)
			<< "chunk " << c << " slot " << p.slot;
		::close(fd);
		EXPECT_EQ(0, memcmp(got.data(), &image[c * kChunk], kChunk))
			<< "chunk " << c << " at worker " << p.thread << " slot " << p.slot;
	}
	for (auto &[t, slots] : slots_used)
		EXPECT_EQ(*slots.rbegin() + 1, slots.size()) << "worker " << t << " slots are dense";

	int entries = 0;
	for (const session_list &e : list()) {
		if (e.id != id)
			continue;
		entries++;
		EXPECT_EQ(e.changed_blocks, where.size()) << "one copy per preserved chunk";
		EXPECT_EQ(e.error, 0);
	}
	EXPECT_EQ(entries, 1);

	ASSERT_EQ(0, stop(id));
	w.join();
	EXPECT_EQ(w.results(), (std::vector<long>(kWorkers, 0)));
}

TEST_P(CowE2E, SnapshotDeviceShowsTheFrozenImageWhileTheSourceMovesOn)
{
	std::vector<uint8_t> image = lay_down_image();
	int id = start(part1, dir() + "/e2e-read");
	ASSERT_GT(id, 0);
	vekfx::io_workers w(id, kWorkers, dir());	// big windows: reads meet staged data
	for (int i = 0; i < kWorkers; i++)
		ASSERT_EQ(0, w.wait_first());

	// The image is read while the writers run, and again after them.
	std::vector<uint8_t> during;
	std::thread reader([&] { during = read_snapshot(id, 0, part_bytes()); });
	std::set<uint32_t> written = run_writers(seed ^ 0x5a5a);
	reader.join();
	ASSERT_FALSE(written.empty());
	ASSERT_EQ(during.size(), image.size());
	for (uint32_t c = 0; c < part_bytes() / kChunk; c++)
		EXPECT_EQ(0, memcmp(&during[c * kChunk], &image[c * kChunk], kChunk)) << "chunk " << c << " read during the writes";
	std::vector<uint8_t> snap = read_snapshot(id, 0, part_bytes());
	ASSERT_EQ(snap.size(), image.size());
	for (uint32_t c = 0; c < part_bytes() / kChunk; c++)
		EXPECT_EQ(0, memcmp(&snap[c * kChunk], &image[c * kChunk], kChunk)) << "chunk " << c;
	EXPECT_NE(read_dev("/dev/sda1", 0, part_bytes()), image) << "the source did change";

	ASSERT_EQ(0, stop(id));
	w.join();
}

VEKFX_BOTH_DISK_ORDERS(CowE2E);

}  // namespace
