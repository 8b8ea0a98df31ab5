// Writes to /dev/vek<N>: they land in the snapshot image only, in every chunk state, and
// the source and the snapshot keep their own versions of a chunk afterwards.
#include "snap_helpers.h"

#include <chrono>
#include <thread>

namespace {

using namespace snapt;
using clk = std::chrono::steady_clock;

constexpr size_t kPart = 2048 * 512;
constexpr size_t kChunk = 65536;

class SnapWriteTest : public vekfx::DriverTest {
protected:
	void SetUp() override
	{
		DriverTest::SetUp();
		if (HasFatalFailure())
			return;
		image = pattern(kPart, 11);
		write_source(part1, 0, image);
		id = start(part1, dir() + "/snap");
		ASSERT_GT(id, 0) << vekfx::dmesg_text();
		w = std::make_unique<vekfx::io_workers>(id, 2, dir());
		ASSERT_EQ(0, w->wait_first());
	}
	void TearDown() override
	{
		if (w) {
			EXPECT_EQ(0, stop(id)) << vekfx::dmesg_text();
			w->join();
		}
		DriverTest::TearDown();
	}
	uint64_t changed() { return list()[0].changed_blocks; }
	bool wait_stored(sector_t chunk)
	{
		struct cow_session *cs = session_of(id);
		auto deadline = clk::now() + std::chrono::seconds(10);
		for (;;) {
			struct if_chunk *ic = get_and_inc_if(cs, chunk);
			if (!ic)
				return true;
			put_and_dec_if(cs, ic);
			if (clk::now() > deadline)
				return false;
			std::this_thread::sleep_for(std::chrono::milliseconds(2));
		}
	}
	// The image as the test expects it, with the snapshot writes applied.
	void apply(std::vector<uint8_t> &img, off_t off, const std::vector<uint8_t> &data)
	{
		std::copy(data.begin(), data.end(), img.begin() + off);
	}

	std::vector<uint8_t> image;
	int id = -1;
	std::unique_ptr<vekfx::io_workers> w;
};

TEST_F(SnapWriteTest, AWriteToAnUntouchedChunkChangesOnlyTheSnapshot)
{
	auto mine = pattern(3000, 201);
	write_as("qel-writer", vek(id), 6 * kChunk + 1000, mine);
	// The chunk was copied from the source with the write merged in.
	EXPECT_EQ(1u, changed());
	EXPECT_TRUE(same_bytes(image, read_dev(devpath(part1), 0, kPart)));
	auto want = image;
	apply(want, 6 * kChunk + 1000, mine);
	EXPECT_TRUE(same_bytes(want, read_as("qel-reader", vek(id), 0, kPart)));

	// Stored by its worker, then written again: the second write goes to the backing store.
	ASSERT_TRUE(wait_stored(6));
	auto more = pattern(4096, 202);
	write_as("mounter", vek(id), 6 * kChunk + 32768, more);
	apply(want, 6 * kChunk + 32768, more);
	EXPECT_EQ(1u, changed());
	EXPECT_TRUE(same_bytes(want, read_as("qel-reader", vek(id), 0, kPart)));

	// A later source write over the whole chunk goes straight through and copies nothing,
	// not even the next chunk, where it ends; each side keeps its own data.
	auto theirs = pattern(kChunk, 203);
	write_source(part1, 6 * kChunk, theirs);
	EXPECT_EQ(1u, changed());
	EXPECT_TRUE(same_bytes(theirs, read_dev(devpath(part1), 6 * kChunk, kChunk)));
	EXPECT_TRUE(same_bytes(want, read_as("qel-reader", vek(id), 0, kPart)));
}

TEST_F(SnapWriteTest, AWriteToAChunkPreservedByTheSourceLandsInItsSlot)
{
	auto theirs = pattern(kChunk, 50);
	write_source(part1, 2 * kChunk, theirs);
	ASSERT_TRUE(wait_stored(2));
	const uint64_t copies = changed();
	auto mine = pattern(1536, 51);
	write_as("qel-writer", vek(id), 2 * kChunk + 512, mine);
	EXPECT_EQ(copies, changed());
	auto want = slice(image, 2 * kChunk, kChunk);
	std::copy(mine.begin(), mine.end(), want.begin() + 512);
	EXPECT_TRUE(same_bytes(want, read_as("qel-reader", vek(id), 2 * kChunk, kChunk)));
	EXPECT_TRUE(same_bytes(theirs, read_dev(devpath(part1), 2 * kChunk, kChunk)));
}

TEST_F(SnapWriteTest, AWriteAcrossAChunkBoundaryServesBothHalves)
{
	// Chunk 7 preserved and stored, chunk 8 untouched.
	write_source(part1, 7 * kChunk, pattern(4096, 60));
	ASSERT_TRUE(wait_stored(7));
	auto mine = pattern(4096, 61);
	const off_t at = 8 * kChunk - 2048;
	write_as("qel-writer", vek(id), at, mine);
	EXPECT_TRUE(same_bytes(mine, read_as("qel-reader", vek(id), at, 4096)));
	EXPECT_TRUE(same_bytes(slice(image, at + 4096, kChunk),
			       read_as("qel-reader", vek(id), at + 4096, kChunk)));
	EXPECT_TRUE(same_bytes(slice(image, at, 4096), read_dev(devpath(part1), at, 4096)));
	// Both chunks are now preserved; the image survives source writes to both.
	write_source(part1, 7 * kChunk, pattern(2 * kChunk, 62));
	EXPECT_TRUE(same_bytes(mine, read_as("qel-reader", vek(id), at, 4096)));
}

TEST_F(SnapWriteTest, ManySmallWritesToOneChunkAllStick)
{
	auto want = image;
	for (int i = 0; i < 32; i++) {
		auto piece = pattern(512 * (1 + i % 5), (uint8_t)(70 + i));
		off_t off = 10 * kChunk + (off_t)((i * 7919) % (kChunk - 4096));
		write_as(i % 2 ? "qel-writer" : "mounter", vek(id), off, piece);
		apply(want, off, piece);
	}
	EXPECT_TRUE(same_bytes(slice(want, 10 * kChunk, kChunk),
			       read_as("qel-reader", vek(id), 10 * kChunk, kChunk)));
	ASSERT_TRUE(wait_stored(10));
	EXPECT_TRUE(same_bytes(want, read_as("qel-reader", vek(id), 0, kPart)));
	EXPECT_TRUE(same_bytes(image, read_dev(devpath(part1), 0, kPart)));
}

TEST_F(SnapWriteTest, AFailedCopyFailsTheWriteAndTheSession)
{
	// The copy's source read needs a copy bio: without one the copy fails.
	host::fault_fail_if("bio_alloc", [](const host::fault_ctx &) { return true; }, 2);
	std::vector<uint8_t> data = pattern(4096, 90);
	int err = 0;
	EXPECT_EQ(-1, pwrite_as("qel-writer", vek(id), 12 * kChunk, data, &err));
	EXPECT_EQ(EIO, err);
	host::fault_reset();
	EXPECT_NE(0, list()[0].error);
	EXPECT_TRUE(same_bytes(image, read_dev(devpath(part1), 0, kPart)));
	// The chunk's locks were given back: a source write to it is not held.
	write_source(part1, 12 * kChunk, pattern(4096, 91));
}

}  // namespace
