// record_queue_test.cpp - the change record queue with hand-made bios and change-tracking
// sessions, fetched through the control device as the agent fetches them.
#include "changes_env.h"

#include <atomic>
#include <sys/mman.h>
#include <unistd.h>

using namespace vekct;

namespace {

constexpr int kSda = 8;

class RecordQueueTest : public vekfx::DriverTest {
protected:
	void TearDown() override
	{
		cts.drop_all();
		vekfx::DriverTest::TearDown();
	}
	// A tracked partition of disk (8,16) starting at disk sector 2048.
	struct ct_session *tracked(bool listed = false)
	{
		dev_t dev = MKDEV(kSda, 17);
		return listed ? cts.make_listed(dev, kSda, 16, 2048, 4096)
			      : cts.make(dev, kSda, 16, 2048, 4096);
	}
	void write(struct ct_session *c, sector_t disk_sector, unsigned size)
	{
		fake_bio b(kSda, 16, disk_sector, size);
		record_change(c, &b.bio, 0);
	}
	hand_cts cts;
};

TEST_F(RecordQueueTest, SourceWriteIsRecordedRelativeToThePartitionWithItsOwnNumbers)
{
	struct ct_session *c = tracked();
	write(c, 4096, 4096);
	write(c, 4100, 4097);
	write(c, 2048, 1);
	EXPECT_EQ(3, atomic_read(&record_list_lenght));

	fetch_v2 f = get_v2(ctl, 3);
	ASSERT_EQ(3, f.rc);
	EXPECT_EQ(1, f.tracking);
	EXPECT_EQ(0, f.inqueue);
	EXPECT_EQ(8u, f.recs[0].major);
	EXPECT_EQ(17u, f.recs[0].minor);
	EXPECT_EQ(2048u, f.recs[0].start_sector);
	EXPECT_EQ(8u, f.recs[0].num_sectors);
	EXPECT_EQ(2052u, f.recs[1].start_sector);
	EXPECT_EQ(9u, f.recs[1].num_sectors) << "a partial sector counts as one";
	EXPECT_EQ(0u, f.recs[2].start_sector);
	EXPECT_EQ(1u, f.recs[2].num_sectors);

	// A whole-disk write that begins before the source or runs on past its end is
	// recorded for the part that lies in it.
	write(c, 2040, 16 * 512);
	write(c, 2048 + 4096 - 8, 16 * 512);
	f = get_v2(ctl, 2);
	ASSERT_EQ(2, f.rc);
	EXPECT_EQ(0u, f.recs[0].start_sector);
	EXPECT_EQ(8u, f.recs[0].num_sectors);
	EXPECT_EQ(4096u - 8, f.recs[1].start_sector);
	EXPECT_EQ(8u, f.recs[1].num_sectors);
}

TEST_F(RecordQueueTest, SnapshotDeviceWriteNamesTheSnapshotDevice)
{
	struct ct_session *c = tracked();
	fake_bio b(VEK_CLONE_MAJOR, 3, 100, 512);
	record_change(c, &b.bio, 1);

	fetch_v2 f = get_v2(ctl, 1);
	ASSERT_EQ(1, f.rc);
	EXPECT_EQ(121u, f.recs[0].major);
	EXPECT_EQ(3u, f.recs[0].minor);
	EXPECT_EQ(100u, f.recs[0].start_sector) << "a sector of the snapshot device, not shifted";
	EXPECT_EQ(1u, f.recs[0].num_sectors);
}

TEST_F(RecordQueueTest, NothingIsRecordedWithoutSessionOrWithTrackingBroken)
{
	struct ct_session *c = tracked();
	fake_bio b(kSda, 16, 4096, 4096);
	record_change(nullptr, &b.bio, 0);
	atomic_set(&c->missed_write, 1);
	record_change(c, &b.bio, 0);
	EXPECT_EQ(0, atomic_read(&record_list_lenght));
	EXPECT_TRUE(list_empty(&record_list));
}

TEST_F(RecordQueueTest, FailedRecordAllocationBreaksTrackingOnceAndTheWriteGoesOn)
{
	struct ct_session *c = tracked();
	// Both the allocation and its one retry fail.
	host::fault_fail_if("kmem_cache_alloc", [](const host::fault_ctx &x) {
		return x.name && strcmp(x.name, "qel_record_cache") == 0;
	}, 2);
	write(c, 4096, 4096);
	EXPECT_EQ(1, atomic_read(&c->missed_write));
	EXPECT_EQ(0, atomic_read(&record_list_lenght));
	EXPECT_EQ(1, vekfx::dmesg_count("vek: INFO: CTS has been disabled 8.16[2048+4096]"))
		<< vekfx::dmesg_text();

	write(c, 4104, 4096);
	EXPECT_EQ(0, atomic_read(&record_list_lenght)) << "a broken source records nothing";
	EXPECT_EQ(1, vekfx::dmesg_count("CTS has been disabled"));
}

TEST_F(RecordQueueTest, OneRetryOfTheRecordAllocationIsEnough)
{
	struct ct_session *c = tracked();
	host::fault_fail_if("kmem_cache_alloc", [](const host::fault_ctx &x) {
		return x.name && strcmp(x.name, "qel_record_cache") == 0;
	}, 1);
	write(c, 4096, 4096);
	EXPECT_EQ(0, atomic_read(&c->missed_write));
	EXPECT_EQ(1, atomic_read(&record_list_lenght));
}

TEST_F(RecordQueueTest, BatchesTakeTheOldestAndReportWhatIsLeft)
{
	struct ct_session *c = tracked();
	for (int i = 0; i < 5; i++)
		write(c, 2048 + 8 * i, 4096);

	fetch_v2 f = get_v2(ctl, 2);
	ASSERT_EQ(2, f.rc);
	EXPECT_EQ(3, f.inqueue);
	EXPECT_EQ(0u, f.recs[0].start_sector);
	EXPECT_EQ(8u, f.recs[1].start_sector);

	fetch_v2 z = get_v2(ctl, 0);
	EXPECT_EQ(0, z.rc) << "size 0 returns at once";
	EXPECT_EQ(1, z.tracking);
	EXPECT_EQ(3, z.inqueue);
	EXPECT_EQ(3, atomic_read(&record_list_lenght)) << "size 0 leaves the queue alone";

	fetch_v2 rest = get_v2(ctl, 3);
	ASSERT_EQ(3, rest.rc);
	EXPECT_EQ(16u, rest.recs[0].start_sector);
	EXPECT_EQ(32u, rest.recs[2].start_sector);
	EXPECT_EQ(0, rest.inqueue);
}

TEST_F(RecordQueueTest, BothFormatsDrawOnOneQueueAndFormatOneKeepsSixteenBits)
{
	struct ct_session *c = cts.make(MKDEV(259, 70000), 259, 69999, 0, 100000);
	for (int i = 0; i < 4; i++) {
		fake_bio b(259, 69999, 10 * i, 512);
		record_change(c, &b.bio, 0);
	}
	fetch_v1 a = get_v1(ctl, 2);
	ASSERT_EQ(2, a.rc);
	EXPECT_EQ(259, a.recs[0].major);
	EXPECT_EQ(4464, a.recs[0].minor) << "70000 in 16 bits";
	EXPECT_EQ(0u, a.recs[0].start_sector);
	EXPECT_EQ(10u, a.recs[1].start_sector);
	EXPECT_EQ(1u, a.recs[1].num_sectors);
	EXPECT_EQ(2, a.inqueue);

	fetch_v2 b = get_v2(ctl, 2);
	ASSERT_EQ(2, b.rc) << "records taken in format 1 are gone for format 2";
	EXPECT_EQ(259u, b.recs[0].major);
	EXPECT_EQ(70000u, b.recs[0].minor);
	EXPECT_EQ(20u, b.recs[0].start_sector);
	EXPECT_EQ(30u, b.recs[1].start_sector);
	EXPECT_EQ(0, b.inqueue);
}

}  // namespace
