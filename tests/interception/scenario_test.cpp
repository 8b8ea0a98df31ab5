// scenario_test.cpp - copy-on-write seen from an agent: sessions started through the
// control device, agent IO workers, writes through the mounted file systems, and the
// snapshot devices read back.
#include "driver_fixture.h"

#include <host/host.h>

#include <cerrno>
#include <cstring>

namespace {

class CowScenario : public vekfx::DriverTest {};

TEST_F(CowScenario, SnapshotKeepsTheOldDataOfEveryRewrittenChunk)
{
	auto old_data = pattern(256 * 1024, 0x21);
	write_source(part1, 0, old_data);
	int id = start(part1, dir() + "/keep");
	ASSERT_GT(id, 0) << vekfx::dmesg_text();
	{
		vekfx::io_workers w(id, 2, dir());
		ASSERT_EQ(0, w.wait_first());
		// Unaligned rewrites across chunk boundaries, some chunks twice.
		write_source(part1, 61440, pattern(8192, 0x31));
		write_source(part1, 3 * 65536 - 512, pattern(70000, 0x41));
		write_source(part1, 0, pattern(4096, 0x51));
		EXPECT_EQ(old_data, read_snapshot(id, 0, old_data.size()));
		EXPECT_EQ(pattern(4096, 0x51), read_dev("/dev/sda1", 0, 4096));
		EXPECT_EQ("", get_string_cmd(VEK_IOCTL_GET_SESSION_ERROR, id));
		ASSERT_EQ(0, stop(id));
	}
}

TEST_F(CowScenario, TwoSessionsOnOneDiskEachKeepTheirImage)
{
	auto a = pattern(128 * 1024, 0x10);
	auto b = pattern(128 * 1024, 0x90);
	write_source(part1, 0, a);
	write_source(part2, 0, b);
	int id1 = start(part1, dir() + "/one");
	int id2 = start(part2, dir() + "/two");
	ASSERT_GT(id1, 0);
	ASSERT_GT(id2, 0);
	{
		vekfx::io_workers w1(id1, 1, dir());
		vekfx::io_workers w2(id2, 1, dir(), 1 << 20, 1);
		ASSERT_EQ(0, w1.wait_first());
		ASSERT_EQ(0, w2.wait_first());
		write_source(part2, 0, pattern(4096, 0x01));	// also the first sector after sda1
		write_source(part1, 4096, pattern(65536, 0x02));
		EXPECT_EQ(a, read_snapshot(id1, 0, a.size()));
		EXPECT_EQ(b, read_snapshot(id2, 0, b.size()));
		ASSERT_EQ(0, stop(id1));
		ASSERT_EQ(0, stop(id2));
	}
}

// The source's own I/O never fails because of a session's trouble: a failed copy read
// voids the snapshot (reported) and the write goes through.
TEST_F(CowScenario, FailedCopyReadVoidsTheSnapshotNotTheWrite)
{
	int id = start(part1, dir() + "/fail");
	ASSERT_GT(id, 0);
	{
		vekfx::io_workers w(id, 1, dir());
		ASSERT_EQ(0, w.wait_first());
		// part1 is partition 1: sectors are relative to it.
		ASSERT_GT(host::disk_fault_add(part1, host::disk_fault::read_error, 0, 128, 1), 0);
		auto data = pattern(4096, 0x77);
		write_source(part1, 0, data);
		host::disk_fault_clear(disk);
		EXPECT_EQ(data, read_dev("/dev/sda1", 0, 4096));
		EXPECT_EQ("COPY CHUNK ERROR", get_string_cmd(VEK_IOCTL_GET_SESSION_ERROR, id));
		ASSERT_EQ(0, stop(id));
	}
}

}  // namespace
