// cts_list_test.cpp - the list of started change-tracking sessions: which session a write
// belongs to, idempotent starts, and unload with nothing to stop.
#include "changes_env.h"

using namespace vekct;

namespace {

constexpr int kSda = 8;

class CtsListTest : public vekfx::DriverTest {
protected:
	void TearDown() override
	{
		cts.drop_all();
		vekfx::DriverTest::TearDown();
	}
	static struct ct_session *lookup(int major, int first_minor, sector_t sector)
	{
		fake_bio b(major, first_minor, sector, 4096);
		down(&session_list_lock);
		struct ct_session *found = get_cts_session_bio(&b.bio);
		up(&session_list_lock);
		return found;
	}
	hand_cts cts;
};

TEST_F(CtsListTest, FirstCoveringSessionDecidesAndItsEndIsExclusive)
{
	struct ct_session *a = cts.make_listed(MKDEV(kSda, 17), kSda, 16, 2048, 1024);
	struct ct_session *b = cts.make_listed(MKDEV(kSda, 16), kSda, 16, 0, 8192);
	struct ct_session *other = cts.make_listed(MKDEV(kSda, 33), kSda, 32, 2048, 1024);

	EXPECT_EQ(a, lookup(kSda, 16, 2048));
	EXPECT_EQ(a, lookup(kSda, 16, 3071));
	EXPECT_EQ(b, lookup(kSda, 16, 3072)) << "the sector right after the end is the next one's";
	EXPECT_EQ(b, lookup(kSda, 16, 2047));
	EXPECT_EQ(other, lookup(kSda, 32, 2100));
	EXPECT_EQ(nullptr, lookup(kSda, 32, 2047));
	EXPECT_EQ(nullptr, lookup(kSda, 48, 2048)) << "no session on that disk";
	EXPECT_EQ(nullptr, lookup(9, 16, 2048)) << "same minor, other major";

	atomic_set(&a->missed_write, 1);
	EXPECT_EQ(nullptr, lookup(kSda, 16, 2500))
		<< "a broken first match hides the later session that also covers the write";
	EXPECT_EQ(b, lookup(kSda, 16, 5000));
}

TEST_F(CtsListTest, BioWithoutDiskBelongsToNoSession)
{
	cts.make_listed(MKDEV(kSda, 17), kSda, 16, 0, 8192);
	fake_bio b(kSda, 16, 10, 512);
	b.bdev.bd_disk = nullptr;
	down(&session_list_lock);
	EXPECT_EQ(nullptr, get_cts_session_bio(&b.bio));
	b.bio.bi_bdev = nullptr;
	EXPECT_EQ(nullptr, get_cts_session_bio(&b.bio));
	up(&session_list_lock);
}

TEST_F(CtsListTest, StartingTwiceListsOnceAndKeepsOrder)
{
	struct ct_session *a = cts.make_listed(MKDEV(kSda, 17), kSda, 16, 2048, 1024);
	struct ct_session *b = cts.make_listed(MKDEV(kSda, 18), kSda, 16, 4096, 1024);
	down(&workLock);
	start_cts(a);
	start_cts(b);
	up(&workLock);
	EXPECT_EQ(2, listed_cts_count());
	EXPECT_EQ(&a->list, ct_list_head.next);
	EXPECT_EQ(&b->list, ct_list_head.prev);
	EXPECT_EQ(1, atomic_read(&a->started));
	EXPECT_EQ(0, atomic_read(&a->reset));
}

TEST_F(CtsListTest, SetErrorIgnoresNullAndLogsEveryTime)
{
	cts_set_error(nullptr);
	EXPECT_EQ(0, vekfx::dmesg_count("CTS has been disabled"));
	struct ct_session *c = cts.make(MKDEV(kSda, 17), kSda, 16, 2048, 1024);
	cts_set_error(c);
	cts_set_error(c);
	EXPECT_EQ(1, atomic_read(&c->missed_write));
	EXPECT_EQ(2, vekfx::dmesg_count("vek: INFO: CTS has been disabled 8.16[2048+1024]"));
}

TEST_F(CtsListTest, UnloadStepWithNoSessionTouchesNothing)
{
	struct ct_session *c = cts.make(MKDEV(kSda, 17), kSda, 16, 2048, 1024);
	fake_bio b(kSda, 16, 2048, 4096);
	record_change(c, &b.bio, 0);
	host::dmesg_clear();

	down(&workLock);
	stop_all_cts();
	up(&workLock);
	EXPECT_EQ(1, atomic_read(&record_list_lenght)) << "queued records stay";
	EXPECT_EQ(0, atomic_read(&record_list_unblock));
	EXPECT_TRUE(host::dmesg().empty()) << vekfx::dmesg_text();
}

}  // namespace
