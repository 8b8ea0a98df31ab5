// Stopping and freeing sessions: what stop_cow_session waits for, what put_cow_session
// releases, the tree and page-cache helpers, and the timing arithmetic of a start.
#include "driver_fixture.h"

#include "cow.h"

#include <linux/mm.h>

#include <atomic>
#include <chrono>
#include <thread>

using namespace vekfx;

namespace {

class TeardownTest : public DriverTest {
protected:
	cow_session *bare()
	{
		cow_session *cs = alloc_cow_session();
		spin_lock_init(&cs->users_lock);
		INIT_LIST_HEAD(&cs->list);
		return cs;
	}

	static struct rb_cache *node_with(sector_t n, bool page)
	{
		struct rb_cache *node = alloc_rb_cache();
		RB_CLEAR_NODE(&node->node);
		node->n = n;
		node->p = page ? alloc_page(GFP_KERNEL) : nullptr;
		return node;
	}
};

}  // namespace

TEST_F(TeardownTest, TimeDifferenceBorrowsFromTheSeconds)
{
	struct timespec a = {5, 900000000}, b = {7, 100000000}, d = {99, 99};
	calcTimeDiff(&a, &b, &d);
	EXPECT_EQ(1, d.tv_sec);
	EXPECT_EQ(200000000, d.tv_nsec);
	struct timespec c = {7, 950000000};
	calcTimeDiff(&a, &c, &d);
	EXPECT_EQ(2, d.tv_sec);
	EXPECT_EQ(50000000, d.tv_nsec);
	calcTimeDiff(&a, &a, &d);
	EXPECT_EQ(0, d.tv_sec);
	EXPECT_EQ(0, d.tv_nsec);
	struct timespec e = {6, 0};
	calcTimeDiff(&a, &e, &d);
	EXPECT_EQ(0, d.tv_sec);
	EXPECT_EQ(100000000, d.tv_nsec);
}

TEST_F(TeardownTest, PartlyBuiltSessionFreesOnlyWhatItHas)
{
	put_cow_session(nullptr);
	long kmallocs = host::kmalloc_in_use();
	cow_session *cs = bare();
	cs->errorMsg = (char *)kzalloc(VEK_ERROR_MSG_LEN, GFP_KERNEL);
	cs->bdev = bdget(part1);
	ASSERT_NE(nullptr, cs->bdev);
	int refs = atomic_read(&cs->bdev->__refs);
	struct block_device *bdev = cs->bdev;
	struct block_device *keep = bdget(part1);	// keeps the object alive to look at
	put_cow_session(cs);
	EXPECT_EQ(refs, atomic_read(&bdev->__refs));	// ours plus keep, minus the session's
	bdput(keep);
	EXPECT_EQ(kmallocs, host::kmalloc_in_use());
}

TEST_F(TeardownTest, TreesAndPageCacheGiveBackEveryPage)
{
	struct rb_root empty = RB_ROOT;
	rb_free_node_and_page(&empty);
	rb_free_node(&empty);
	EXPECT_TRUE(RB_EMPTY_ROOT(&empty));

	long pages = host::pages_in_use();
	struct rb_root tree = RB_ROOT;
	for (sector_t n : {40, 8, 24, 16, 0})
		rb_insert(&tree, node_with(n, n != 16));
	EXPECT_EQ(pages + 4, host::pages_in_use());
	EXPECT_EQ(5, host::kmem_cache_objects("qel_rb_cache"));
	rb_free_node_and_page(&tree);
	EXPECT_TRUE(RB_EMPTY_ROOT(&tree));
	EXPECT_EQ(pages, host::pages_in_use());
	EXPECT_EQ(0, host::kmem_cache_objects("qel_rb_cache"));

	struct rb_root plain = RB_ROOT;
	for (sector_t n : {3, 1, 2})
		rb_insert(&plain, node_with(n, false));
	rb_free_node(&plain);
	EXPECT_TRUE(RB_EMPTY_ROOT(&plain));
	EXPECT_EQ(0, host::kmem_cache_objects("qel_rb_cache"));

	long kmallocs = host::kmalloc_in_use();
	auto *spc = (simple_page_cache *)kzalloc(sizeof(simple_page_cache), GFP_KERNEL);
	INIT_LIST_HEAD(&spc->list);
	spin_lock_init(&spc->lock);
	for (int i = 0; i < 3; i++) {
		auto *scp = (simple_cached_page *)kmalloc(sizeof(simple_cached_page), GFP_KERNEL);
		scp->sector = i * 8;
		scp->page = alloc_page(GFP_KERNEL);
		list_add(&scp->list, &spc->list);
		spc->size++;
	}
	clean_spc(spc);
	EXPECT_TRUE(list_empty(&spc->list));
	kfree(spc);
	EXPECT_EQ(pages, host::pages_in_use());
	EXPECT_EQ(kmallocs, host::kmalloc_in_use());
}

TEST_F(TeardownTest, StopWaitsForTheLastReferenceAndUncounts)
{
	cow_session *cs = bare();
	down(&workLock);
	::session_count = 1;
	cs->counted = 1;
	inc_users(cs);
	std::atomic<bool> released{false};
	std::thread holder([&] {
		std::this_thread::sleep_for(std::chrono::milliseconds(50));
		released = true;
		dec_users(cs);
	});
	EXPECT_EQ(0, stop_cow_session(cs));
	EXPECT_TRUE(released.load());
	EXPECT_EQ(1, atomic_read(&cs->sd));
	EXPECT_EQ(0, ::session_count);
	EXPECT_EQ(0, cs->counted);
	holder.join();

	// A session that was never counted leaves the count alone.
	cow_session *never = bare();
	EXPECT_EQ(0, stop_cow_session(never));
	EXPECT_EQ(0, ::session_count);
	up(&workLock);
	put_cow_session(cs);
	put_cow_session(never);
}

TEST_F(TeardownTest, PutAllEmptiesTheList)
{
	// Listed by hand, without session_list_lock: the watchdog must not walk them, so no
	// quiet period may end meanwhile.
	host::set_clock_speed(0);
	down(&workLock);
	put_all_cow_sessions();
	EXPECT_TRUE(list_empty(&session_list_head));
	long kmallocs = host::kmalloc_in_use();
	for (int i = 0; i < 3; i++) {
		cow_session *cs = bare();
		cs->errorMsg = (char *)kzalloc(VEK_ERROR_MSG_LEN, GFP_KERNEL);
		list_add_tail(&cs->list, &session_list_head);
	}
	stop_all_cow_sessions();
	int stopped = 0;
	cow_session *cs;
	list_for_each_entry(cs, &session_list_head, list)
		stopped += atomic_read(&cs->sd);
	EXPECT_EQ(3, stopped);
	put_all_cow_sessions();
	EXPECT_TRUE(list_empty(&session_list_head));
	up(&workLock);
	EXPECT_EQ(kmallocs, host::kmalloc_in_use());
}

// A tracked start that fails before tracking was started must not strand the new
// tracking record (and its reference on the disk's mapping record).
TEST_F(TeardownTest, FailedTrackedStartReleasesItsNewTrackingRecord)
{
	snap_shot_request req = make_start_request(part1, "/t/ct", USER_SPACE_FILE | 1);
	down(&workLock);
	cow_session *cs = new_cow_session(&req);
	ASSERT_NE(nullptr, cs);
	ASSERT_NE(nullptr, cs->cts);
	ASSERT_EQ(0, host::umount(part1));	// nothing left to freeze
	EXPECT_EQ(1, start_cow_session(cs));
	EXPECT_TRUE(dmesg_has("vek: ERROR: could not freeze block device (8,1)."));
	EXPECT_EQ(0, cs->set_mrf);
	undo_failed_start(cs);
	EXPECT_TRUE(list_empty(&ct_list_head));
	up(&workLock);
	ASSERT_EQ(0, host::mount(part1));
	// The fixture's leak check after rmmod sees the tracking record and mapping record.
}
