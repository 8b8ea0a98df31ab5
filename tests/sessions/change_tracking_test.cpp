// Starts with change tracking: the tracking session is created or reused, outlives the
// snapshot session, and is marked broken when the last control handle closes.
#include "driver_fixture.h"

#include "cow.h"

#include <cstring>

using namespace vekfx;

namespace {

class ChangeTrackingTest : public DriverTest {
protected:
	// Fetch (0x1D) with an unblock first so it never waits; the number of records.
	int fetch(int fd, int size, int *tracking, std::vector<change_record_usr> *out = nullptr)
	{
		std::vector<change_record_usr> recs(size > 0 ? size : 1);
		change_recrod_request crr;
		memset(&crr, 0, sizeof(crr));
		crr.size = size;
		crr.cru = recs.data();
		host::ioctl(fd, VEK_IOCTL_UNBLOCK_CHANGE_RECORDS, nullptr);
		int n = host::ioctl(fd, VEK_IOCTL_GET_CHANGED_RECORDS, &crr);
		*tracking = crr.tracking;
		if (out)
			*out = recs;
		return n;
	}

	static int listed_cts()
	{
		int n = 0;
		struct list_head *p;
		down(&session_list_lock);
		list_for_each(p, &ct_list_head)
			n++;
		up(&session_list_lock);
		return n;
	}
};

}  // namespace

TEST_F(ChangeTrackingTest, TrackingStartIsReportedAndReused)
{
	snap_shot_request rep;
	int id = start(part1, "/c/a", USER_SPACE_FILE | 1, &rep);
	ASSERT_GE(id, 1) << dmesg_text();
	EXPECT_EQ(7, rep.mode);
	EXPECT_EQ(5, list(1)[0].mode);
	EXPECT_EQ(1, listed_cts());
	int tracking = -1;
	EXPECT_EQ(0, fetch(ctl, 0, &tracking));
	EXPECT_EQ(1, tracking);
	ASSERT_EQ(0, stop(id));

	// The tracking session outlives the snapshot: writes are still recorded.
	EXPECT_EQ(1, listed_cts());
	write_source(part1, 8 * 512, pattern(4096, 1));
	std::vector<change_record_usr> recs;
	int n = fetch(ctl, 4, &tracking, &recs);
	ASSERT_GE(n, 1);
	EXPECT_EQ(1, tracking);
	EXPECT_EQ(8, recs[0].major);
	EXPECT_EQ(1, recs[0].minor);
	EXPECT_EQ(8u, recs[0].start_sector);
	EXPECT_EQ(8u, recs[0].num_sectors);

	// A second tracked start on the same source reuses it.
	ASSERT_GE(start(part1, "/c/b", USER_SPACE_FILE | 1, &rep), 1);
	EXPECT_EQ(7, rep.mode);
	EXPECT_EQ(1, listed_cts());
	EXPECT_FALSE(dmesg_has("stale smrf"));
	// Another source gets its own.
	ASSERT_GE(start(part2, "/c/c", USER_SPACE_FILE | 1), 1);
	EXPECT_EQ(2, listed_cts());
}

TEST_F(ChangeTrackingTest, LastCloseMarksTrackingBroken)
{
	ASSERT_GE(start(part1, "/c/r", USER_SPACE_FILE | 1), 1);
	int second = open_control();
	ASSERT_GE(second, 0);
	int tracking = -1;

	host::close(second);		// not the last handle: nothing changes
	handles.pop_back();
	EXPECT_EQ(0, fetch(ctl, 0, &tracking));
	EXPECT_EQ(1, tracking);

	host::close(ctl);		// the last one
	handles.clear();
	ctl = open_control();
	ASSERT_GE(ctl, 0);
	EXPECT_EQ(0, fetch(ctl, 0, &tracking));
	EXPECT_EQ(0, tracking);

	// A new tracked snapshot is a new baseline.
	ASSERT_GE(start(part1, "/c/r2", USER_SPACE_FILE | 1), 1);
	EXPECT_EQ(0, fetch(ctl, 0, &tracking));
	EXPECT_EQ(1, tracking);
}

// The tracking session holds a mapping record that is no longer the disk's: the start
// drops it, marks tracking broken, hands it the current one, and tracking keeps the
// disk's interception after the snapshot session is gone.
TEST_F(ChangeTrackingTest, StaleMappingIsReplacedAndKeptInstalled)
{
	int id = start(part1, "/c/s1", USER_SPACE_FILE | 1);
	ASSERT_GE(id, 1);
	ASSERT_EQ(0, stop(id));

	// Make the tracking session's mapping stale: give up its hold on the real one (which
	// takes the interception off the disk) and leave it a record nobody else knows.
	ct_session *cts = list_first_entry(&ct_list_head, ct_session, list);
	saved_mrf *real = cts->smrf;
	down(&workLock);
	unset_mrf(real);
	put_smrf(real);
	auto *stale = (saved_mrf *)kzalloc(sizeof(saved_mrf), GFP_KERNEL);
	atomic_set(&stale->count, 1);
	atomic_set(&stale->mapped, 1);
	stale->major = 8;
	stale->minor = 0;
	INIT_LIST_HEAD(&stale->list);
	cts->smrf = stale;
	up(&workLock);

	host::dmesg_clear();
	id = start(part1, "/c/s2", USER_SPACE_FILE | 1);
	ASSERT_GE(id, 1) << dmesg_text();
	EXPECT_TRUE(dmesg_has("vek: INFO: Found old chage tracking with stale smrf!"));
	EXPECT_TRUE(dmesg_has("vek: INFO: Attempting to unmapp stale smrf!"));
	EXPECT_TRUE(dmesg_has("CTS has been disabled"));
	EXPECT_NE(stale, cts->smrf);	// released; the leak check after rmmod sees its memory
	ASSERT_EQ(0, stop(id));

	int tracking = -1;
	fetch(ctl, 64, &tracking);	// drop what the start and stop wrote
	write_source(part1, 0, pattern(4096, 9));
	std::vector<change_record_usr> recs;
	EXPECT_GE(fetch(ctl, 4, &tracking, &recs), 1) << "tracking lost the interception";
	EXPECT_EQ(1, tracking);		// the new snapshot is the new baseline
}
