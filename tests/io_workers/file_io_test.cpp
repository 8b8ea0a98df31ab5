// Positional file I/O failures and whole transfers (io_on_chunk) against a real file.
#include "unit_env.h"

#include <gtest/gtest.h>

#include <cerrno>

using namespace vek_test;

namespace {

constexpr int kWindow = 4 * 4096;

struct end_record {
	int calls = 0;
	int err = 1;
};
end_record g_end;

void record_end(struct file_copy *fc, int err)
{
	g_end.calls++;
	g_end.err = err;
}

class FileIo : public ::testing::Test {
protected:
	temp_file f;
	std::vector<unsigned char> mem;
	user_buffer ub{};
	cow_session *cs = nullptr;

	void SetUp() override
	{
		ASSERT_NE(f.file, nullptr);
		mem.assign(kWindow, 0);
		ub.addr = (unsigned long)mem.data();
		ub.size = kWindow;
		cs = make_bare_session();
		host::dmesg_clear();
		host::fault_reset();
		g_end = end_record();
	}
	void TearDown() override
	{
		free_bare_session(cs);
		host::fault_reset();
	}
	// A write transfer of n pages for chunk `chunk`, bound to slot `slot`.
	struct file_copy *write_fc(struct cow_chunk *cc, sector_t chunk, sector_t slot, int n,
				   unsigned char base, sector_t sector_in_chunk = 0)
	{
		cc->old_chunk = chunk;
		cc->new_chunk = slot;
		cc->thread = 0;
		struct bio *bio = page_bio(chunk * 128 + sector_in_chunk, n, base);
		struct file_copy *fc = (struct file_copy *)kzalloc(sizeof(*fc), GFP_KERNEL);
		init_fc(fc, cc, bio, cs->chunk_size, 0, cs->sector_shift, record_end, 1);
		calc_fc_file_start(fc, cs->chunk_size);
		return fc;
	}
	void drop_fc(struct file_copy *fc)
	{
		free_page_bio(fc->bio);
		kfree(fc);
	}
};

TEST_F(FileIo, OutOfSpaceFailsTheTransferAndTheSession)
{
	struct cow_chunk cc{};
	struct file_copy *fc = write_fc(&cc, 3, 0, 4, 0x10);
	host::fault_fail_next("file_write", 1, -ENOSPC);
	io_on_chunk(cs, &ub, fc, f.file);

	EXPECT_EQ(g_end.calls, 1);
	EXPECT_EQ(g_end.err, -EIO);
	EXPECT_TRUE(dmesg_has("vek: ERROR: Out of space on file: offset 0, length 16384"));
	EXPECT_TRUE(dmesg_has("vek: ERROR: An error occurred while writing to backing buffer!"));
	EXPECT_TRUE(dmesg_has("vek: ERROR: Error while doing IO on file!"));
	EXPECT_TRUE(is_error(cs));
	EXPECT_EQ(error_text(cs), "FILE IO ERROR");
	EXPECT_EQ(ub.dirty, 0) << "a failed write-back still clears dirty";
	drop_fc(fc);
}

TEST_F(FileIo, ShortAndFailedWritesAreReportedWithWhatCameBack)
{
	for (long long value : {100LL, -1LL}) {
		user_buffer w{};
		w.addr = (unsigned long)mem.data();
		w.size = kWindow;
		w.pos = 4096;
		w.file_pos = 8192;
		w.dirty = 1;
		host::dmesg_clear();
		host::fault_rule rule;
		if (value >= 0)
			rule.value = value;
		else
			rule.error = -EIO;
		host::fault_inject("file_write", rule);
		EXPECT_EQ(flush_ub(f.file, &w, 0), -1);
		EXPECT_EQ(w.dirty, 0);
		EXPECT_EQ(w.pos, 4096) << "no reset asked: the extent stays";
		std::string got = value >= 0 ? "got 100" : "got -5";
		EXPECT_TRUE(dmesg_has("vek: ERROR: An error occurred while writing to file: offset " +
				      std::string(value >= 0 ? "4196" : "4096") + ", length 4096, " + got))
			<< got;
	}
}

TEST_F(FileIo, NoFileIsAnErrorNotACrash)
{
	EXPECT_EQ(buf_to_file_f_op(1, nullptr, ub.addr, 0, 4096, 4096), 0);
	EXPECT_TRUE(dmesg_has("vek: ERROR: An IO error occurred: file no longer exisist."));

	struct cow_chunk cc{};
	struct file_copy *fc = write_fc(&cc, 0, 0, 4, 0x20);
	io_on_chunk(cs, &ub, fc, nullptr);	// fills the window, then its write-back fails
	EXPECT_EQ(g_end.err, -EIO);
	EXPECT_EQ(error_text(cs), "FILE IO ERROR");
	drop_fc(fc);
}

TEST_F(FileIo, WrongDirectionMovesNothing)
{
	struct page *p = filled_page(1);
	bio_vec b{p, PAGE_SIZE, 0};
	EXPECT_EQ(bvec_to_file_f_op(2, f.file, &ub, &b, 0), 0);
	EXPECT_TRUE(dmesg_has("vek: ERROR: I/O on file was not a READ or a WRITE!"));
	EXPECT_EQ(ub.pos, 0);
	__free_page(p);
}

TEST_F(FileIo, TransferLandsAtItsSlotPlusItsOffsetInTheChunk)
{
	// A bio 8 sectors into chunk 9, bound to slot 2: file offset 2 * 65536 + 4096.
	struct cow_chunk cc{};
	struct file_copy *fc = write_fc(&cc, 9, 2, 4, 0x30, 8);
	EXPECT_EQ(fc->disk_start, (loff_t)(9 * 65536 + 4096));
	EXPECT_EQ(fc->file_start, (loff_t)(2 * 65536 + 4096));
	io_on_chunk(cs, &ub, fc, f.file);
	EXPECT_EQ(g_end.calls, 1);
	EXPECT_EQ(g_end.err, 0);
	std::vector<unsigned char> got = f.bytes();
	ASSERT_EQ(got.size(), (size_t)(2 * 65536 + 4096 + kWindow));
	EXPECT_EQ(got[2 * 65536 + 4096], 0x30);
	EXPECT_EQ(got[2 * 65536 + 4096 + 3 * 4096], 0x33);
	EXPECT_EQ(got[2 * 65536], 0) << "nothing before the bio's offset";
	EXPECT_FALSE(is_error(cs));
	drop_fc(fc);
}

TEST_F(FileIo, ReadTransferReturnsWhatAWriteTransferStored)
{
	struct cow_chunk cc{};
	struct file_copy *w = write_fc(&cc, 5, 1, 4, 0x40);
	io_on_chunk(cs, &ub, w, f.file);
	ASSERT_EQ(g_end.err, 0);

	// A snapshot-device read of one page in the same chunk, through a fresh window.
	user_buffer rb{};
	std::vector<unsigned char> rmem(kWindow);
	rb.addr = (unsigned long)rmem.data();
	rb.size = kWindow;
	struct bio *bio = page_bio(5 * 128 + 16, 1, 0);
	struct file_copy r{};
	init_fc(&r, &cc, bio, cs->chunk_size, 0, cs->sector_shift, record_end, 0);
	calc_fc_file_start(&r, cs->chunk_size);
	io_on_chunk(cs, &rb, &r, f.file);
	EXPECT_EQ(g_end.calls, 2);
	EXPECT_EQ(g_end.err, 0);
	EXPECT_EQ(((unsigned char *)page_address(bio->bi_io_vec[0].bv_page))[100], 0x42);
	free_page_bio(bio);
	drop_fc(w);
}

TEST_F(FileIo, SessionInErrorEndsTransfersWithoutFileAccess)
{
	invalidate_session(cs, "NO THREADS");
	struct cow_chunk cc{};
	struct file_copy *fc = write_fc(&cc, 1, 0, 4, 0x50);
	long writes = host::fault_hits("file_write");
	io_on_chunk(cs, &ub, fc, f.file);
	EXPECT_EQ(g_end.calls, 1);
	EXPECT_EQ(g_end.err, -EIO);
	EXPECT_EQ(host::fault_hits("file_write"), writes);
	EXPECT_EQ(ub.pos, 0) << "the window was not touched";
	EXPECT_EQ(error_text(cs), "NO THREADS") << "the first reason stays";
	drop_fc(fc);
}

TEST_F(FileIo, BadUserAddressFailsTheTransfer)
{
	ub.addr = 4096;
	struct cow_chunk cc{};
	struct file_copy *fc = write_fc(&cc, 1, 0, 2, 0x60);
	io_on_chunk(cs, &ub, fc, f.file);
	EXPECT_EQ(g_end.err, -EIO);
	EXPECT_EQ(error_text(cs), "FILE IO ERROR");
	EXPECT_EQ(f.size(), 0);
	drop_fc(fc);
}

TEST_F(FileIo, ClosingNothingOrAFileWithoutDentry)
{
	kernel_close_file(nullptr);
	struct file fake{};
	kernel_close_file(&fake);
	EXPECT_TRUE(dmesg_has("vek: ERROR: File had no dentry!"));
}

}  // namespace
