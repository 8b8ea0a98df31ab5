// scenario_test.cpp - copy-on-write seen from an agent: sessions started through the
// control device, agent IO workers, writes through the mounted file systems, and the
// snapshot devices read back.
#include "driver_fixture.h"
#include "cow.h"

#include <host/fault.h>
#include <host/host.h>
#include <linux/vmstat.h>

#include <cerrno>
#include <cstring>
#include <functional>

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

// The disk's queue takes 32 KiB requests, so a chunk's copy needs two bios and the page
// that did not fit the first is carried over to the second.
class CowScenarioSmallRequests : public CowScenario {
protected:
	CowScenarioSmallRequests() { max_hw_sectors = 64; }
};

// The copy is given up when the second bio, or its transfer record, cannot be had: every
// page taken for it, the carried one too, goes back with its accounting.
TEST_F(CowScenarioSmallRequests, CopyGivenUpForItsSecondBioGivesBackEveryPage)
{
	struct fault_case {
		const char *point, *message;
		std::function<bool(const host::fault_ctx &)> match;
	};
	const fault_case cases[] = {
		{"bio_alloc", "vek: ERROR: Could not allocate copy bio!",
		 [](const host::fault_ctx &c) { return c.gfp == GFP_NOIO && c.size == 16; }},
		{"kmem_cache_alloc", "vek: ERROR: Could not allocate file copy!",
		 [](const host::fault_ctx &c) { return c.name && std::string(c.name) == "qel_fc_cache"; }},
	};
	for (const auto &fc : cases) {
		SCOPED_TRACE(fc.point);
		host::dmesg_clear();
		const long pages = host::pages_in_use(), bios = host::bios_in_use();
		const long dirty = host::zone_page_state(NR_FILE_DIRTY);
		const int cow_pages = atomic_read(&total_cow_pages);
		int id = start(part1, dir() + "/carry-" + fc.point);
		ASSERT_GT(id, 0) << vekfx::dmesg_text();
		{
			vekfx::io_workers w(id, 1, dir());
			ASSERT_EQ(0, w.wait_first());
			host::fault_rule r;
			r.skip = 1;	// the first bio or record is had, both tries for the second fail
			r.count = 2;
			r.match = fc.match;
			host::fault_inject(fc.point, r);
			auto data = pattern(4096, 0x5c);
			write_source(part1, 0, data);
			EXPECT_EQ(2, host::fault_failures(fc.point));
			host::fault_reset();
			EXPECT_EQ(1, vekfx::dmesg_count(fc.message));
			EXPECT_EQ("OUT OF MEMORY", get_string_cmd(VEK_IOCTL_GET_SESSION_ERROR, id));
			EXPECT_EQ(data, read_dev("/dev/sda1", 0, 4096));
			ASSERT_EQ(0, stop(id));
		}
		EXPECT_EQ(cow_pages, atomic_read(&total_cow_pages));
		EXPECT_EQ(dirty, host::zone_page_state(NR_FILE_DIRTY));
		EXPECT_EQ(pages, host::pages_in_use());
		EXPECT_EQ(bios, host::bios_in_use());
	}
}

}  // namespace
