// tracking_scenario_test.cpp - change tracking as the agent sees it: sessions started with
// change tracking, writes to the source and to the snapshot device, fetches, the last
// close of the control device and unload.
#include "changes_env.h"
#include <linux/bio.h>
#include <linux/mm.h>

#include <atomic>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

using namespace vekct;

namespace {

constexpr int kTrack = VEK_MODE_CHANGE_TRACKING | USER_SPACE_FILE;

class TrackingScenario : public vekfx::DriverTest {
protected:
	// Everything queued now, without waiting for a full batch.
	std::vector<change_record_usr_v2> drain(int *tracking = nullptr)
	{
		int n = atomic_read(&record_list_lenght);
		fetch_v2 f = get_v2(ctl, n);
		EXPECT_EQ(n, f.rc);
		if (tracking)
			*tracking = f.tracking;
		f.recs.resize(f.rc > 0 ? f.rc : 0);
		return f.recs;
	}
	static bool has(const std::vector<change_record_usr_v2> &recs, dev_t dev, uint64_t sector,
			uint64_t count)
	{
		for (const auto &r : recs)
			if (r.major == vekfx::dev_major(dev) && r.minor == vekfx::dev_minor(dev) &&
			    r.start_sector == sector && r.num_sectors == count)
				return true;
		return false;
	}
	static std::string show(const std::vector<change_record_usr_v2> &recs)
	{
		std::string s;
		for (const auto &r : recs)
			s += std::to_string(r.major) + ":" + std::to_string(r.minor) + " @" +
			     std::to_string(r.start_sector) + "+" + std::to_string(r.num_sectors) +
			     "\n";
		return s;
	}
	// A tracked snapshot session with one worker, stopped again.
	void snapshot_and_stop(dev_t dev, const std::string &stem)
	{
		int id = start(dev, dir() + "/" + stem, kTrack);
		ASSERT_GT(id, 0) << vekfx::dmesg_text();
		vekfx::io_workers w(id, 1, dir());
		ASSERT_EQ(0, w.wait_first());
		ASSERT_EQ(0, stop(id));
		w.join();
	}
	static struct ct_session *first_cts()
	{
		return list_empty(&ct_list_head)
			       ? nullptr
			       : list_first_entry(&ct_list_head, struct ct_session, list);
	}
};

TEST_F(TrackingScenario, WritesAreRecordedDuringAndAfterTheSnapshotSession)
{
	int id = start(part1, dir() + "/a", kTrack);
	ASSERT_GT(id, 0) << vekfx::dmesg_text();
	vekfx::io_workers w(id, 1, dir());
	ASSERT_EQ(0, w.wait_first());
	drain();

	write_source(part1, 3 * 4096, pattern(4096, 1));
	auto during = drain();
	EXPECT_TRUE(has(during, part1, 24, 8)) << show(during);

	ASSERT_EQ(0, stop(id));
	w.join();
	EXPECT_EQ(1, listed_cts_count());

	write_source(part1, 0, pattern(8192, 2));
	int tracking = -1;
	auto after = drain(&tracking);
	EXPECT_TRUE(has(after, part1, 0, 16)) << "tracking outlives the snapshot\n" << show(after);
	EXPECT_EQ(1, tracking);

	// The other partition of the disk is not tracked.
	write_source(part2, 8192, pattern(4096, 3));
	auto other = drain();
	EXPECT_TRUE(other.empty()) << show(other);
}

TEST_F(TrackingScenario, NextSnapshotReusesTheSessionAndMakesANewBaseline)
{
	snapshot_and_stop(part1, "a");
	struct ct_session *c = first_cts();
	ASSERT_NE(nullptr, c);
	EXPECT_EQ(1, atomic_read(&c->mapped));

	int32_t unused = 0;
	ASSERT_EQ(0, ioctl(VEK_IOCTL_ERROR_CTS, &unused));
	EXPECT_EQ(0, get_v2(ctl, 0).tracking);
	write_source(part1, 0, pattern(4096, 1));
	EXPECT_EQ(0, atomic_read(&record_list_lenght)) << "broken: nothing recorded";

	host::dmesg_clear();
	snapshot_and_stop(part1, "b");
	EXPECT_EQ(1, listed_cts_count());
	EXPECT_EQ(c, first_cts());
	EXPECT_EQ(0, vekfx::dmesg_count("CTS has been disabled")) << vekfx::dmesg_text();
	EXPECT_EQ(1, get_v2(ctl, 0).tracking);

	write_source(part1, 4096, pattern(4096, 2));
	auto recs = drain();
	EXPECT_TRUE(has(recs, part1, 8, 8)) << show(recs);
}

TEST_F(TrackingScenario, EachTrackedPartitionReportsItsOwnNumbers)
{
	snapshot_and_stop(part1, "a");
	snapshot_and_stop(part2, "b");
	EXPECT_EQ(2, listed_cts_count());
	drain();

	write_source(part1, 65536, pattern(4096, 1));
	write_source(part2, 8192, pattern(1024, 2));
	// The first sector of sda2 lies right after sda1's last, and sda1's session is listed
	// first: the write is still sda2's.
	write_source(part2, 0, pattern(512, 3));
	auto recs = drain();
	EXPECT_TRUE(has(recs, part1, 128, 8)) << show(recs);
	EXPECT_TRUE(has(recs, part2, 16, 2)) << show(recs);
	EXPECT_TRUE(has(recs, part2, 0, 1)) << show(recs);
	EXPECT_EQ(3u, recs.size()) << show(recs);

	// Under an untracked snapshot of sda1 its writes are still its changes, and sda2's
	// first sector is still sda2's. A whole-disk write is recorded for every tracked
	// partition it reaches, each for its own part.
	int id = start(part1, dir() + "/plain");
	ASSERT_GT(id, 0) << vekfx::dmesg_text();
	vekfx::io_workers w(id, 1, dir());
	ASSERT_EQ(0, w.wait_first());
	drain();
	write_source(part1, 65536, pattern(4096, 4));
	write_source(part2, 0, pattern(512, 5));
	int fd = host::open("/dev/sda", O_RDWR);
	ASSERT_GE(fd, 0);
	std::vector<uint8_t> across = pattern(8192, 6);
	EXPECT_EQ(8192, host::pwrite(fd, across.data(), 8192, (64 + part_sectors - 8) * 512));
	EXPECT_EQ(8192, host::pwrite(fd, across.data(), 8192, (64 - 8) * 512));
	host::close(fd);
	recs = drain();
	EXPECT_TRUE(has(recs, part1, 128, 8)) << show(recs);
	EXPECT_TRUE(has(recs, part2, 0, 1)) << show(recs);
	EXPECT_TRUE(has(recs, part1, part_sectors - 8, 8)) << show(recs);
	EXPECT_TRUE(has(recs, part2, 0, 8)) << show(recs);
	EXPECT_TRUE(has(recs, part1, 0, 8)) << show(recs);
	EXPECT_EQ(5u, recs.size()) << show(recs);
	EXPECT_EQ(1, get_v2(ctl, 0).tracking);
	ASSERT_EQ(0, stop(id));
	w.join();
}

TEST_F(TrackingScenario, SnapshotDeviceWritesCarryTheSnapshotDevicesNumbers)
{
	int id = start(part1, dir() + "/a", kTrack);
	ASSERT_GT(id, 0);
	vekfx::io_workers w(id, 1, dir());
	ASSERT_EQ(0, w.wait_first());
	drain();

	std::string path = "/dev/vek" + std::to_string(id);
	int fd = host::open(path.c_str(), O_RDWR);
	ASSERT_GE(fd, 0) << strerror(errno);
	std::vector<uint8_t> data = pattern(512, 7);
	ASSERT_EQ(512, host::pwrite(fd, data.data(), 512, 100 * 512));
	host::close(fd);

	auto recs = drain();
	EXPECT_TRUE(has(recs, MKDEV(VEK_CLONE_MAJOR, id), 100, 1)) << show(recs);
	ASSERT_EQ(0, stop(id));
	w.join();
}

TEST_F(TrackingScenario, LastCloseMarksTheRunningSessionsTrackingBroken)
{
	// A running session, no workers and no writes: nothing is queued, yet closing the
	// last handle must still break tracking (the agent's view of the session is gone).
	int id = start(part1, dir() + "/a", kTrack);
	ASSERT_GT(id, 0);
	ASSERT_EQ(1, get_v2(ctl, 0).tracking);
	for (int fd : handles)
		host::close(fd);
	handles.clear();
	ctl = open_control();
	ASSERT_GE(ctl, 0);

	fetch_v2 f = get_v2(ctl, 4);
	EXPECT_EQ(0, f.rc);
	EXPECT_EQ(0, f.tracking);
	EXPECT_EQ(0, stop(id));
}

TEST_F(TrackingScenario, LastCloseDropsQueuedRecordsUntilTheNextSnapshot)
{
	snapshot_and_stop(part1, "a");
	write_source(part1, 0, pattern(4096, 1));
	write_source(part1, 8192, pattern(4096, 2));
	ASSERT_GE(atomic_read(&record_list_lenght), 2);

	for (int fd : handles)
		host::close(fd);
	handles.clear();
	EXPECT_EQ(0, atomic_read(&record_list_lenght));
	ctl = open_control();
	ASSERT_GE(ctl, 0);
	EXPECT_EQ(0, get_v2(ctl, 0).tracking);

	snapshot_and_stop(part1, "b");
	EXPECT_EQ(1, get_v2(ctl, 0).tracking) << "the new snapshot is the new baseline";
}

TEST_F(TrackingScenario, UnloadWithQueuedRecordsGivesTheDiskBackAndFreesEverything)
{
	snapshot_and_stop(part1, "a");
	for (int i = 0; i < 8; i++)
		write_source(part1, i * 4096, pattern(4096, (uint8_t)i));
	ASSERT_GE(atomic_read(&record_list_lenght), 8);

	ASSERT_EQ(0, unload());
	EXPECT_EQ(-1, host::kmem_cache_objects("qel_record_cache"));
	// The source works on without the driver.
	write_source(part1, 0, pattern(4096, 9));
	EXPECT_EQ(pattern(4096, 9), read_dev("/dev/sda1", 0, 4096));
}

// A source write found the tracking session and then let the list lock go before it
// recorded its change. A shutdown in between freed the session, and the write queued a
// record naming freed memory after the queue had been emptied. The write is held in its
// record's allocation here: the shutdown must wait for it and leave nothing queued.
TEST_F(TrackingScenario, ShutdownWaitsForAWriteRecordingItsChange)
{
	snapshot_and_stop(part1, "a");
	std::atomic<bool> held{false}, release{false};
	host::fault_rule hold;
	hold.count = -1;
	hold.match = [&](const host::fault_ctx &c) {
		if (c.name && !strcmp(c.name, "qel_record_cache") && !held.exchange(true))
			while (!release)
				std::this_thread::sleep_for(std::chrono::milliseconds(1));
		return false;	// the allocation goes through
	};
	host::fault_inject("kmem_cache_alloc", hold);
	// A bio of its own, not a file system write: the shutdown's flush of the disk would wait
	// for that.
	std::thread writer([&] {
		struct block_device *bdev = bdget(part1);
		struct completion done;
		init_completion(&done);
		struct page *page = alloc_page(GFP_KERNEL);
		memset(page_address(page), 1, PAGE_SIZE);
		struct bio *bio = bio_alloc(GFP_NOIO, 1);
		bio->bi_bdev = bdev;
		bio->bi_sector = 0;
		bio->bi_rw = WRITE;
		bio_add_page(bio, page, PAGE_SIZE, 0);
		bio->bi_private = &done;
		bio->bi_end_io = [](struct bio *b, int) { complete((struct completion *)b->bi_private); };
		generic_make_request(bio);
		wait_for_completion(&done);
		bio_put(bio);
		__free_page(page);
		bdput(bdev);
	});
	ASSERT_TRUE(eventually([&] { return held.load(); }));
	std::atomic<int> rc{-2};
	std::thread shutdown([&] {
		int32_t unused = 0;
		rc = ioctl(VEK_IOCTL_UNLOAD, &unused);
	});
	EXPECT_TRUE(eventually([&] {
		return vekfx::semaphore_waiters(&session_list_lock) > 0 || rc != -2;
	}));
	EXPECT_EQ(-2, rc.load()) << "the shutdown did not wait for the write";
	release = true;
	writer.join();
	shutdown.join();
	host::fault_clear("kmem_cache_alloc");
	EXPECT_EQ(0, rc.load());
	EXPECT_EQ(0, atomic_read(&record_list_lenght)) << "a record of freed tracking is queued";
	EXPECT_TRUE(list_empty(&ct_list_head));
}

// A session whose mapping went stale is moved to the new mapping by the next snapshot.
// It must become a holder of the new mapping, or the disk's own function would come back
// when that snapshot stops and writes would go unrecorded while tracking reads intact.
TEST_F(TrackingScenario, SessionMovedToANewMappingKeepsTrackingAfterTheSnapshotStops)
{
	snapshot_and_stop(part1, "a");
	struct ct_session *c = first_cts();
	ASSERT_NE(nullptr, c);

	// Make the session's mapping stale: it now holds a mapping of another disk, and the
	// source's own function is back in its queue.
	host::disk_spec spec;
	spec.name = "sdb";
	spec.nr_sects = 2048;
	dev_t sdb = host::add_disk(spec);
	ASSERT_NE(0u, sdb);
	struct block_device *bb = bdget(sdb);
	ASSERT_NE(nullptr, bb);
	struct saved_mrf *other = get_smrf(bb);
	ASSERT_NE(nullptr, other);
	ASSERT_EQ(0, set_mrf(other, bb, cow_request));
	down(&workLock);
	struct saved_mrf *old = c->smrf;
	unset_mrf(old);
	put_smrf(old);
	c->smrf = other;
	up(&workLock);
	write_source(part1, 0, pattern(4096, 1));
	EXPECT_EQ(0, atomic_read(&record_list_lenght)) << "the source is no longer intercepted";

	host::dmesg_clear();
	snapshot_and_stop(part1, "b");
	EXPECT_TRUE(vekfx::dmesg_has("vek: INFO: Found old chage tracking with stale smrf!"));
	EXPECT_TRUE(vekfx::dmesg_has("vek: INFO: Attempting to unmapp stale smrf!"));
	EXPECT_EQ(1, vekfx::dmesg_count("CTS has been disabled"));
	EXPECT_NE(other, c->smrf);

	drain();
	write_source(part1, 4096, pattern(4096, 2));
	int tracking = -1;
	auto recs = drain(&tracking);
	EXPECT_TRUE(has(recs, part1, 8, 8)) << "still tracked after the snapshot stopped\n"
					    << show(recs);
	EXPECT_EQ(1, tracking);

	bdput(bb);
	EXPECT_EQ(0, host::del_disk(sdb)) << strerror(errno);
}

}  // namespace
