// The staging window: how segments reach a worker's backing file through its user buffer.
#include "unit_env.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace vek_test;

namespace {

constexpr int kWindow = 4 * 4096;
constexpr size_t kCanary = 256;

class StagingWindow : public ::testing::Test {
protected:
	temp_file f;
	std::vector<unsigned char> mem;	// the agent's buffer, then a canary tail
	user_buffer ub{};
	std::vector<struct page *> pages;

	void SetUp() override
	{
		ASSERT_NE(f.file, nullptr);
		mem.assign(kWindow + kCanary, 0xEE);
		ub.addr = (unsigned long)mem.data();
		ub.size = kWindow;
		host::dmesg_clear();
		host::fault_reset();
	}
	void TearDown() override
	{
		for (struct page *p : pages)
			__free_page(p);
		host::fault_reset();
	}
	bio_vec seg(unsigned char v, unsigned len = PAGE_SIZE, unsigned off = 0)
	{
		struct page *p = filled_page(v);
		pages.push_back(p);
		return bio_vec{p, len, off};
	}
	ssize_t put(unsigned char v, loff_t at, unsigned len = PAGE_SIZE)
	{
		bio_vec b = seg(v, len);
		return bvec_buffered_write(f.file, &ub, &b, at);
	}
	// Reads len bytes at `at`; returns the result and the first byte of data.
	ssize_t get(loff_t at, unsigned char *first, unsigned len = PAGE_SIZE)
	{
		bio_vec b = seg(0);
		b.bv_len = len;
		ssize_t r = bvec_buffered_read(f.file, &ub, &b, at);
		*first = ((unsigned char *)page_address(b.bv_page))[0];
		return r;
	}
	bool canary_intact() const
	{
		for (size_t i = kWindow; i < mem.size(); i++)
			if (mem[i] != 0xEE)
				return false;
		return true;
	}
};

TEST_F(StagingWindow, ContiguousWritesFillTheWindowAndGoOutAsOneWrite)
{
	for (int i = 0; i < 3; i++)
		ASSERT_EQ(put((unsigned char)(0x10 + i), i * 4096), 4096);
	EXPECT_EQ(f.size(), 0) << "nothing reaches the file before the window is full";
	EXPECT_EQ(ub.pos, 3 * 4096);
	EXPECT_EQ(ub.file_pos, 3 * 4096);
	EXPECT_EQ(ub.dirty, 1);

	long writes = host::fault_hits("file_write");
	ASSERT_EQ(put(0x13, 3 * 4096), 4096);
	EXPECT_EQ(host::fault_hits("file_write") - writes, 1) << "one write of the whole window";
	std::vector<unsigned char> got = f.bytes();
	ASSERT_EQ(got.size(), (size_t)kWindow);
	for (int i = 0; i < 4; i++)
		EXPECT_EQ(got[i * 4096 + 17], 0x10 + i);
	EXPECT_EQ(ub.dirty, 0);
	EXPECT_EQ(ub.pos, kWindow) << "the flushed window stays valid";

	// The window still serves that range: change the file behind it and read.
	f.fill(0x77, 4096, 4096);
	long reads = host::fault_hits("file_read");
	unsigned char first = 0;
	EXPECT_EQ(get(4096, &first), 4096);
	EXPECT_EQ(first, 0x11);
	EXPECT_EQ(host::fault_hits("file_read"), reads);
}

TEST_F(StagingWindow, OverwriteInsideTheWindowKeepsItsExtent)
{
	ASSERT_EQ(put(0x01, 0), 4096);
	ASSERT_EQ(put(0x02, 4096), 4096);
	ASSERT_EQ(put(0x03, 0), 4096);
	EXPECT_EQ(ub.pos, 8192);
	EXPECT_EQ(ub.file_pos, 8192);
	ASSERT_EQ(flush_ub(f.file, &ub, 1), 8192);
	std::vector<unsigned char> got = f.bytes();
	ASSERT_EQ(got.size(), 8192u);
	EXPECT_EQ(got[0], 0x03);
	EXPECT_EQ(got[4096], 0x02);
	EXPECT_EQ(ub.pos, 0);
	EXPECT_EQ(ub.file_pos, 0);
}

struct restart_case {
	const char *name;
	loff_t window_at;	// first write of the old window
	int old_segments;
	unsigned old_len;
	loff_t next_at;		// the write that does not fit
};

void PrintTo(const restart_case &c, std::ostream *os) { *os << c.name; }

class WindowRestart : public StagingWindow, public ::testing::WithParamInterface<restart_case> {};

TEST_P(WindowRestart, FlushesTheDirtyWindowAndStartsANewOneAtTheWrite)
{
	const restart_case &c = GetParam();
	for (int i = 0; i < c.old_segments; i++)
		ASSERT_EQ(put(0x40, c.window_at + (loff_t)i * c.old_len, c.old_len), (ssize_t)c.old_len);
	loff_t old_end = c.window_at + (loff_t)c.old_segments * c.old_len;

	ASSERT_EQ(put(0x50, c.next_at), 4096);
	std::vector<unsigned char> got = f.bytes();
	ASSERT_EQ((loff_t)got.size(), old_end) << "old window written, new one still staged";
	EXPECT_EQ(got[c.window_at], 0x40);
	EXPECT_EQ(got[old_end - 1], 0x40);
	EXPECT_EQ(ub.file_pos - ub.pos, c.next_at);
	EXPECT_EQ(ub.pos, 4096);
	EXPECT_EQ(ub.dirty, 1);
	EXPECT_EQ(mem[0], 0x50) << "the new window starts at buffer offset 0";
}

INSTANTIATE_TEST_SUITE_P(
	Cases, WindowRestart,
	::testing::Values(restart_case{"gap_after", 0, 2, 4096, 3 * 4096},
			  restart_case{"before_start", 65536, 2, 4096, 65536 - 4096},
			  restart_case{"past_capacity", 0, 7, 2048, 7 * 2048}),
	[](const ::testing::TestParamInfo<restart_case> &i) { return std::string(i.param.name); });

TEST_F(StagingWindow, CleanWindowIsDroppedNotRewritten)
{
	for (int i = 0; i < 4; i++)
		ASSERT_EQ(put(0x20, i * 4096), 4096);	// full: written, clean
	long writes = host::fault_hits("file_write");
	ASSERT_EQ(put(0x21, 10 * 4096), 4096);
	EXPECT_EQ(host::fault_hits("file_write"), writes);
	EXPECT_EQ(ub.file_pos - ub.pos, 10 * 4096);
}

TEST_F(StagingWindow, ReadsSeeStagedBytesBeforeWriteBack)
{
	ASSERT_EQ(put(0x31, 0), 4096);
	ASSERT_EQ(put(0x32, 4096), 4096);
	ASSERT_EQ(f.size(), 0);
	unsigned char first = 0;
	EXPECT_EQ(get(4096, &first), 4096);
	EXPECT_EQ(first, 0x32);
	EXPECT_EQ(f.size(), 0) << "a read inside a dirty window does not flush it";
}

TEST_F(StagingWindow, ReadOutsideTheWindowRefillsAWholeBuffer)
{
	for (int i = 0; i < 8; i++)
		f.fill((unsigned char)(0x60 + i), 4096, i * 4096);
	long reads = host::fault_hits("file_read");
	unsigned char first = 0;
	ASSERT_EQ(get(4096, &first), 4096);
	EXPECT_EQ(first, 0x61);
	EXPECT_EQ(ub.pos, kWindow);
	EXPECT_EQ(ub.file_pos, 4096 + kWindow);
	for (int i = 2; i < 5; i++) {
		ASSERT_EQ(get(i * 4096, &first), 4096);
		EXPECT_EQ(first, 0x60 + i);
	}
	EXPECT_EQ(host::fault_hits("file_read") - reads, 1) << "read ahead serves the next segments";
	ASSERT_EQ(get(5 * 4096, &first), 4096);
	EXPECT_EQ(first, 0x65);
	EXPECT_EQ(host::fault_hits("file_read") - reads, 2);
}

TEST_F(StagingWindow, RefillElsewhereReadsItsSlotAndOneThatContinuesReadsAhead)
{
	ub.slot = 2 * 4096;	// chunk slots of two pages
	for (int i = 0; i < 16; i++)
		f.fill((unsigned char)(0x40 + i), 4096, i * 4096);
	long reads = host::fault_hits("file_read");
	unsigned char first = 0;
	ASSERT_EQ(get(5 * 4096, &first), 4096);
	EXPECT_EQ(first, 0x45);
	EXPECT_EQ(ub.pos, 4096) << "the rest of slot 2 only, not a whole buffer";
	EXPECT_EQ(ub.file_pos, 6 * 4096);

	ASSERT_EQ(get(6 * 4096, &first), 4096);
	EXPECT_EQ(first, 0x46);
	EXPECT_EQ(ub.pos, kWindow) << "a read just past the window reads a whole buffer ahead";
	EXPECT_EQ(ub.file_pos, 6 * 4096 + kWindow);
	for (int i = 7; i < 10; i++) {
		ASSERT_EQ(get(i * 4096, &first), 4096);
		EXPECT_EQ(first, 0x40 + i);
	}
	EXPECT_EQ(host::fault_hits("file_read") - reads, 2);

	ASSERT_EQ(get(0, &first), 4096);
	EXPECT_EQ(first, 0x40);
	EXPECT_EQ(ub.pos, 2 * 4096) << "back to a slot elsewhere: its two pages";
	ASSERT_EQ(get(4096, &first), 4096);
	EXPECT_EQ(first, 0x41);
	EXPECT_EQ(host::fault_hits("file_read") - reads, 3);
}

TEST_F(StagingWindow, RefillWritesADirtyWindowBackFirst)
{
	ASSERT_EQ(put(0x71, 0), 4096);
	unsigned char first = 0;
	f.fill(0x72, 4096, 8 * 4096);
	ASSERT_EQ(get(8 * 4096, &first), 4096);
	EXPECT_EQ(first, 0x72);
	std::vector<unsigned char> got = f.bytes();
	EXPECT_EQ(got[0], 0x71) << "staged data reached the file before the refill";
	EXPECT_EQ(ub.dirty, 0);
}

TEST_F(StagingWindow, ShortReadThatCoversTheSegmentIsAccepted)
{
	f.fill(0x81, 6000, 0);
	unsigned char first = 0;
	ASSERT_EQ(get(0, &first), 4096);
	EXPECT_EQ(first, 0x81);
	EXPECT_EQ(ub.pos, 6000) << "the window holds only what was read";
	EXPECT_EQ(ub.file_pos, 6000);
}

TEST_F(StagingWindow, ReadPastTheEndOfTheFileFailsAndEmptiesTheWindow)
{
	f.fill(0x82, 6000, 0);
	unsigned char first = 0;
	ASSERT_EQ(get(0, &first), 4096);
	EXPECT_EQ(get(4096, &first), -1);
	EXPECT_TRUE(dmesg_has("vek: ERROR: An error occurred while reading from file: offset 6000, length 16384, got 1904, needed 4096"));
	EXPECT_EQ(ub.pos, 0) << "a failed refill leaves no stale window behind";
}

TEST_F(StagingWindow, SegmentLargerThanTheBufferIsNeverCopiedPastIt)
{
	ub.size = 2048;
	mem.assign(mem.size(), 0xEE);
	EXPECT_EQ(put(0x91, 0), -1);
	unsigned char first = 0;
	f.fill(0x92, 8192, 0);
	EXPECT_EQ(get(0, &first), -1);
	for (size_t i = 2048; i < mem.size(); i++)
		ASSERT_EQ(mem[i], 0xEE) << "byte " << i << " past the agent's buffer was written";
	EXPECT_TRUE(dmesg_has("Segment of 4096 bytes does not fit the backing buffer of 2048 bytes"));

	ub.size = -1;
	EXPECT_EQ(put(0x93, 0), -1);
	EXPECT_EQ(get(0, &first), -1);
	EXPECT_TRUE(canary_intact());
}

TEST_F(StagingWindow, BadUserAddressFailsWithoutTouchingMemory)
{
	ub.addr = 4096;	// never mapped in a user process
	EXPECT_EQ(put(0xA1, 0), 0);
	EXPECT_TRUE(dmesg_has("vek: ERROR: Error copying 4096 bytes to user space at address 0x1000!"));
	EXPECT_EQ(f.size(), 0);

	f.fill(0xA2, 8192, 0);
	unsigned char first = 0;
	EXPECT_EQ(get(0, &first), -1) << "the file read into a bad address fails";
	EXPECT_TRUE(dmesg_has("An error occurred while reading from file: offset 0, length 16384"));
}

TEST_F(StagingWindow, ZeroLengthWriteAfterAnEmptyRefillLosesNothing)
{
	// A zero-length read at the end of the file leaves an empty window at that offset;
	// a later write before that offset must still be staged and reach the file.
	f.fill(0xB0, 4096, 0);
	unsigned char first = 0;
	EXPECT_EQ(get(8192, &first, 0), 0);
	ASSERT_EQ(put(0xB1, 4096), 4096);
	ASSERT_EQ(flush_ub(f.file, &ub, 1), 4096);
	std::vector<unsigned char> got = f.bytes();
	ASSERT_EQ(got.size(), 8192u);
	EXPECT_EQ(got[4096], 0xB1);
}

}  // namespace
