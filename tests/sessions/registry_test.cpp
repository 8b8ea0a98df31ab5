// The session registry and teardown helpers, exercised on hand-built sessions.
#include "driver_fixture.h"

#include "cow.h"

#include <linux/mm.h>

#include <atomic>
#include <chrono>
#include <thread>

using namespace vekfx;

namespace {

class RegistryTest : public DriverTest {
protected:
	// The clock stands still: no quiet period ends, so the watchdog never walks the
	// hand-built sessions (taking references the tests count) however long a test runs.
	RegistryTest()
	{
		make_disk = false;
		clock_speed = 0;
	}

	// A listed session on disk (8, 0) covering [start, start + nr].
	cow_session *fake(sector_t start, sector_t nr, int id)
	{
		cow_session *cs = alloc_cow_session();
		spin_lock_init(&cs->users_lock);
		spin_lock_init(&cs->pos_lock);
		INIT_LIST_HEAD(&cs->list);
		cs->dev = MKDEV(8, 1);
		cs->major = 8;
		cs->first_minor = 0;
		cs->part.start_sect = start;
		cs->part.nr_sects = nr;
		cs->clone_id = id;
		cs->chunk_mask = 65535;
		cs->chunk_shift = 16;
		cs->sector_shift = 9;
		cs->errorMsg = (char *)kzalloc(VEK_ERROR_MSG_LEN, GFP_KERNEL);
		cs->snap_info = (struct snap_info *)kzalloc(sizeof(struct snap_info), GFP_KERNEL);
		cs->other_info = (struct other_info *)kzalloc(sizeof(struct other_info), GFP_KERNEL);
		cs->chunk_size = 65536;
		down(&session_list_lock);
		list_add_tail(&cs->list, &session_list_head);
		up(&session_list_lock);
		fakes.push_back(cs);
		return cs;
	}

	void TearDown() override
	{
		for (cow_session *cs : fakes) {
			down(&session_list_lock);
			list_del_init(&cs->list);
			up(&session_list_lock);
			put_cow_session(cs);
		}
		fakes.clear();
		DriverTest::TearDown();
	}

	struct fake_bio {
		gendisk disk{};
		block_device bdev{};
		bio b{};
		fake_bio(int major, int first_minor, sector_t sector)
		{
			disk.major = major;
			disk.first_minor = first_minor;
			bdev.bd_disk = &disk;
			b.bi_bdev = &bdev;
			b.bi_sector = sector;
		}
	};

	int nodes(struct bio *bio, std::vector<cow_session *> *who = nullptr)
	{
		LIST_HEAD(list);
		down(&session_list_lock);
		int n = get_cow_sessions(bio, &list);
		up(&session_list_lock);
		session_node *node;
		list_for_each_entry(node, &list, list) {
			if (who)
				who->push_back(node->cs);
		}
		put_cow_sessions(&list);
		EXPECT_TRUE(list_empty(&list));
		return n;
	}

	std::vector<cow_session *> fakes;
};

}  // namespace

// A bio belongs to every session whose partition it overlaps; a partition's end is
// exclusive, so the sector after it is only the next partition's.
TEST_F(RegistryTest, BiosMatchEverySessionTheyOverlapAndEndsAreExclusive)
{
	cow_session *a = fake(64, 2048, 1);
	cow_session *b = fake(2112, 2048, 2);

	std::vector<cow_session *> who;
	fake_bio inside(8, 0, 100);
	EXPECT_EQ(1, nodes(&inside.b, &who));
	EXPECT_EQ(std::vector<cow_session *>{a}, who);
	who.clear();
	fake_bio boundary(8, 0, 2112);
	EXPECT_EQ(1, nodes(&boundary.b, &who));
	EXPECT_EQ(std::vector<cow_session *>{b}, who);
	who.clear();
	fake_bio across(8, 0, 2104);	// a's last 8 sectors and b's first 8
	across.b.bi_size = 16 * 512;
	EXPECT_EQ(2, nodes(&across.b, &who));
	EXPECT_EQ((std::vector<cow_session *>{a, b}), who);
	fake_bio into(8, 0, 60);		// begins before a
	into.b.bi_size = 8 * 512;
	EXPECT_EQ(1, nodes(&into.b));
	fake_bio before(8, 0, 56);
	before.b.bi_size = 8 * 512;		// ends right where a begins
	EXPECT_EQ(0, nodes(&before.b));
	fake_bio past(8, 0, 2112 + 2048);
	EXPECT_EQ(0, nodes(&past.b));
	fake_bio other_disk(8, 16, 100);
	EXPECT_EQ(0, nodes(&other_disk.b));
	fake_bio other_major(9, 0, 100);
	EXPECT_EQ(0, nodes(&other_major.b));
	// Every reference the nodes took was given back.
	EXPECT_EQ(0u, get_users(a));
	EXPECT_EQ(0u, get_users(b));
	EXPECT_EQ(a, get_cow_session(&across.b));	// the first in list order

	sector_t chunk = 99;
	cow_session *cs = nullptr;
	ASSERT_EQ(1, get_session_and_chunk(&into.b, &cs, &chunk));
	EXPECT_EQ(a, cs);
	EXPECT_EQ(0u, chunk) << "a bio from before the partition starts at its first chunk";
}

TEST_F(RegistryTest, ErrorHidesASessionShutdownOnlyDeniesNodes)
{
	cow_session *a = fake(0, 1000, 1);
	cow_session *b = fake(2000, 1000, 2);
	fake_bio in_a(8, 0, 10), in_b(8, 0, 2500);

	invalidate_session(a, "FILE IO ERROR");
	EXPECT_EQ(nullptr, get_cow_session(&in_a.b));
	EXPECT_EQ(0, nodes(&in_a.b));
	EXPECT_TRUE(is_error(a));
	EXPECT_FALSE(is_valid_session(a));

	atomic_inc(&b->sd);
	EXPECT_EQ(b, get_cow_session(&in_b.b));
	EXPECT_EQ(0, nodes(&in_b.b));
	EXPECT_TRUE(is_shutdown(b));
	EXPECT_FALSE(is_valid_session(b));

	// The watchdog's walk sees a broken session, but pins none whose stop has begun (the
	// stop waits for users, and a pin after that wait would outlive the session).
	down(&session_list_lock);
	EXPECT_EQ(a, pin_session_at(0));
	EXPECT_EQ(nullptr, pin_session_at(1));
	up(&session_list_lock);
	EXPECT_EQ(1u, get_users(a));
	EXPECT_EQ(0u, get_users(b));
	dec_users(a);
	EXPECT_EQ(0u, get_users(a));
}

TEST_F(RegistryTest, SessionAndChunkOfABio)
{
	cow_session *a = fake(64, 4096, 1);
	cow_session *cs = nullptr;
	sector_t chunk = 99;
	fake_bio at127(8, 0, 64 + 127), at128(8, 0, 64 + 128), elsewhere(8, 16, 64);
	ASSERT_EQ(1, get_session_and_chunk(&at127.b, &cs, &chunk));
	EXPECT_EQ(a, cs);
	EXPECT_EQ(0u, chunk);
	ASSERT_EQ(1, get_session_and_chunk(&at128.b, &cs, &chunk));
	EXPECT_EQ(1u, chunk);
	cs = (cow_session *)0x1;
	chunk = 99;
	EXPECT_EQ(0, get_session_and_chunk(&elsewhere.b, &cs, &chunk));
	EXPECT_EQ((cow_session *)0x1, cs);
	EXPECT_EQ(99u, chunk);
}

TEST_F(RegistryTest, BrokenBiosAreLoggedAndMatchNothing)
{
	fake(0, 1000, 1);
	EXPECT_EQ(nullptr, get_cow_session(nullptr));
	EXPECT_TRUE(dmesg_has("vek: ERROR: NO: bio"));
	fake_bio no_dev(8, 0, 1);
	no_dev.b.bi_bdev = nullptr;
	EXPECT_EQ(0, nodes(&no_dev.b));
	EXPECT_TRUE(dmesg_has("vek: ERROR: NO: bio->bi_bdev"));
	fake_bio no_disk(8, 0, 1);
	no_disk.bdev.bd_disk = nullptr;
	EXPECT_EQ(nullptr, get_cow_session(&no_disk.b));
	EXPECT_TRUE(dmesg_has("vek: ERROR: NO: bio->bi_bdev->bd_disk"));
	fake_bio major0(0, 0, 1);
	EXPECT_EQ(nullptr, get_cow_session(&major0.b));
	EXPECT_TRUE(dmesg_has("vek: ERROR: NO: bio->bi_bdev->bd_disk->major"));
	// Nothing listed, nothing to test against: nothing is logged.
	host::dmesg_clear();
	for (cow_session *cs : fakes) {
		down(&session_list_lock);
		list_del_init(&cs->list);
		up(&session_list_lock);
	}
	EXPECT_EQ(nullptr, get_cow_session(nullptr));
	EXPECT_FALSE(dmesg_has("NO: bio"));
}

TEST_F(RegistryTest, NodeAllocationRetriesOnceThenSkipsTheSession)
{
	cow_session *a = fake(0, 1000, 1);
	fake_bio in_a(8, 0, 5);
	unsigned gfp = 0;
	host::fault_fail_if("kmalloc", [&](const host::fault_ctx &c) {
		if (c.size != sizeof(session_node))
			return false;
		gfp = c.gfp;
		return true;
	}, 1);
	EXPECT_EQ(1, nodes(&in_a.b));
	EXPECT_EQ((unsigned)GFP_NOIO, gfp);
	host::fault_fail_if("kmalloc", [](const host::fault_ctx &c) {
		return c.size == sizeof(session_node);
	}, 2);
	EXPECT_EQ(0, nodes(&in_a.b));
	EXPECT_TRUE(dmesg_has("vek: ERROR: Could not allocate session node!"));
	EXPECT_EQ(0u, get_users(a));
}

TEST_F(RegistryTest, ReferenceCountAndInvalidation)
{
	cow_session *a = fake(0, 10, 1);
	dec_users(a);
	EXPECT_EQ(0u, get_users(a));
	inc_users(a);
	inc_users(a);
	dec_users(a);
	EXPECT_EQ(1u, get_users(a));
	dec_users(a);

	invalidate_session(nullptr, "NO COPY");	// nothing to do, no crash
	invalidate_session(a, "NO THREADS");
	invalidate_session(a, "FILE ERROR");
	EXPECT_STREQ("NO THREADS", a->errorMsg);
	EXPECT_EQ(1, atomic_read(&a->error));

	cow_session *b = fake(20, 10, 2);
	std::string long_text(400, 'x');
	invalidate_session(b, long_text.c_str());
	EXPECT_EQ(std::string(VEK_ERROR_MSG_LEN - 1, 'x'), std::string(b->errorMsg));
	EXPECT_EQ("NO THREADS", get_string_cmd(VEK_IOCTL_GET_SESSION_ERROR, 1));
	auto l = list(3);
	EXPECT_NE(0, l[0].error);
	EXPECT_NE(0, l[1].error);

	EXPECT_FALSE(close_files(a));
	set_close_files(a);
	EXPECT_TRUE(close_files(a));

	down(&workLock);
	EXPECT_EQ(b, get_cow_session_by_id(2));
	EXPECT_EQ(nullptr, get_cow_session_by_id(3));
	up(&workLock);
	EXPECT_EQ(2, get_cow_session_count());
}

TEST_F(RegistryTest, InvalidationRacesKeepOneText)
{
	cow_session *a = fake(0, 10, 1);
	std::vector<std::thread> ts;
	std::atomic<bool> go{false};
	const char *texts[] = {"FILE IO ERROR", "NO COPY", "OUT OF MEMORY", "NO CHUNK"};
	for (const char *t : texts)
		ts.emplace_back([&, t] {
			while (!go)
				;
			invalidate_session(a, t);
		});
	go = true;
	for (auto &t : ts)
		t.join();
	std::string text = get_string_cmd(VEK_IOCTL_GET_SESSION_ERROR, 1);
	bool one_of = false;
	for (const char *t : texts)
		one_of |= text == t;
	EXPECT_TRUE(one_of) << text;
	EXPECT_EQ(1, atomic_read(&a->error));
}
