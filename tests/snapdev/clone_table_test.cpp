// The snapshot device table and its block-device operations, driven directly (no session
// machinery): creation and removal, the block major's registration, slot order, queue
// limits, opener accounting, the shutdown request, and removal against bios in the IO path.
#include <gtest/gtest.h>
#include <host/host.h>
#include <linux/errno.h>

#include "cow.h"
#include "driver_fixture.h"
#include "snap_helpers.h"

#include <sys/prctl.h>
#include <fcntl.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

namespace {

using vekfx::dmesg_count;
using vekfx::run_as;

int fake_mrf(struct request_queue *, struct bio *bio)
{
	bio_endio(bio, 0);
	return 0;
}

// The major is free when we can register it ourselves.
bool major_registered()
{
	int rc = register_blkdev(CLONE_MAJOR, "probe");
	if (rc == 0)
		unregister_blkdev(CLONE_MAJOR, "probe");
	return rc != 0;
}

std::vector<std::string> dmesg_matching(const std::string &needle)
{
	std::vector<std::string> out;
	for (auto &l : host::dmesg())
		if (l.find(needle) != std::string::npos)
			out.push_back(l);
	return out;
}

class CloneTable : public ::testing::Test {
protected:
	void SetUp() override
	{
		host::dmesg_clear();
		host::disk_spec spec;
		spec.name = "sdc";
		spec.nr_sects = 8192;
		spec.partitions = {{2048, 3000}, {5048, 3000}};
		disk = host::add_disk(spec);
		ASSERT_NE(0u, disk);
		part1 = disk + 1;
		part2 = disk + 2;
		cs1.part.nr_sects = 3000;
		cs2.part.nr_sects = 3000;
	}
	void TearDown() override
	{
		for (int i = 1; i < MAX_REPLICAS; i++)
			if (replicas[i])
				blkdev_unclone(i);
		EXPECT_EQ(0, atomic_read(&clone_count));
		EXPECT_FALSE(major_registered());
		EXPECT_EQ(nullptr, device_users_head);
		host::fault_reset();
		host::del_disk(disk);
	}

	dev_t disk = 0, part1 = 0, part2 = 0;
	struct cow_session cs1 {}, cs2 {};
};

TEST_F(CloneTable, MajorIsRegisteredExactlyWhileADeviceExists)
{
	EXPECT_FALSE(major_registered());
	EXPECT_EQ(1, blkdev_clone(part1, &cs1, fake_mrf));
	EXPECT_TRUE(major_registered());
	EXPECT_EQ(2, blkdev_clone(part2, &cs2, fake_mrf));
	EXPECT_EQ(2, atomic_read(&clone_count));
	EXPECT_EQ(0, blkdev_unclone(1));
	EXPECT_TRUE(major_registered());
	EXPECT_EQ(0, blkdev_unclone(2));
	EXPECT_FALSE(major_registered());
	// The next creation registers it again and starts from slot 1.
	EXPECT_EQ(1, blkdev_clone(part1, &cs1, fake_mrf));
	EXPECT_TRUE(major_registered());
	// Removing an empty or negative slot changes nothing.
	EXPECT_EQ(0, blkdev_unclone(7));
	EXPECT_EQ(0, blkdev_unclone(-1));
	EXPECT_EQ(1, atomic_read(&clone_count));
}

TEST_F(CloneTable, FailedCreationsLeaveTheTableAndMajorAsTheyWere)
{
	const dev_t missing = MKDEV(8, 200);
	EXPECT_EQ(-1, blkdev_clone(missing, &cs1, fake_mrf));
	EXPECT_EQ(1, dmesg_count("vek: ERROR: could not get block device for (8,200)."));
	EXPECT_FALSE(major_registered());
	EXPECT_EQ(0, atomic_read(&clone_count));

	host::fault_fail_next("register_blkdev");
	EXPECT_EQ(-1, blkdev_clone(part1, &cs1, fake_mrf));
	EXPECT_EQ(1, dmesg_count("vek: ERROR: could not init clone devices driver."));
	EXPECT_FALSE(major_registered());

	// Out of memory for the record: -12, nothing left behind.
	host::fault_fail_next("kmalloc");
	EXPECT_EQ(-12, blkdev_clone(part1, &cs1, fake_mrf));
	EXPECT_EQ(1, dmesg_count("could not create new replica for device (8,"));
	EXPECT_FALSE(major_registered());
	EXPECT_EQ(nullptr, replicas[1]);

	// With a device present, a failed creation keeps the major for it.
	EXPECT_EQ(1, blkdev_clone(part1, &cs1, fake_mrf));
	EXPECT_EQ(-1, blkdev_clone(missing, &cs2, fake_mrf));
	EXPECT_TRUE(major_registered());
	EXPECT_EQ(1, atomic_read(&clone_count));
}

TEST_F(CloneTable, SlotsAreTakenLowestFirstUntilTheTableIsFull)
{
	for (int i = 1; i <= 254; i++) {
		ASSERT_EQ(i, next_replica());
		ASSERT_EQ(i, blkdev_clone(part1, &cs1, fake_mrf));
	}
	EXPECT_EQ(255, next_replica());
	host::dmesg_clear();
	EXPECT_EQ(-12, blkdev_clone(part1, &cs1, fake_mrf));
	EXPECT_EQ(1, dmesg_count("vek: ERROR: could not create new replica for device (8,"));
	EXPECT_EQ(254, atomic_read(&clone_count));

	blkdev_unclone(100);
	blkdev_unclone(3);
	EXPECT_EQ(3, next_replica());
	EXPECT_EQ(3, blkdev_clone(part2, &cs2, fake_mrf));
	EXPECT_STREQ("vek3", replicas[3]->disk->disk_name);
	EXPECT_EQ(100, blkdev_clone(part2, &cs2, fake_mrf));
}

TEST_F(CloneTable, DeviceShowsTheSessionSizeAndTakesOnePagePerBio)
{
	cs1.part.nr_sects = 2999;
	ASSERT_EQ(1, blkdev_clone(part1, &cs1, fake_mrf));
	struct blkdev_replica *r = replicas[1];
	ASSERT_NE(nullptr, r);
	EXPECT_EQ(&cs1, r->cs);
	EXPECT_EQ(part1, r->dev);
	EXPECT_EQ(2999u, r->nr_sects);
	ASSERT_NE(nullptr, r->disk);
	EXPECT_EQ(2999u, get_capacity(r->disk));
	EXPECT_EQ(CLONE_MAJOR, r->disk->major);
	EXPECT_EQ(1, r->disk->first_minor);
	EXPECT_EQ(1, r->disk->minors);
	EXPECT_STREQ("vek1", r->disk->disk_name);
	EXPECT_EQ(r, r->disk->private_data);
	EXPECT_FALSE(get_disk_ro(r->disk));
	ASSERT_NE(nullptr, r->q);
	EXPECT_EQ(&fake_mrf, r->q->make_request_fn);
	EXPECT_EQ(r, r->q->queuedata);
	EXPECT_NE(nullptr, r->q->queue_lock);
	EXPECT_EQ(8u, r->q->limits.max_hw_sectors);
	EXPECT_EQ(8u, r->q->limits.max_sectors);
	EXPECT_EQ(4096u, r->q->limits.max_segment_size);
	EXPECT_EQ(1u, r->q->limits.max_segments);
	ASSERT_NE(nullptr, r->bdev);
	EXPECT_EQ(part1, r->bdev->bd_dev);

	// bio_add_page on the snapshot device stops after one page.
	struct block_device *vb = bdget(MKDEV(CLONE_MAJOR, 1));
	ASSERT_NE(nullptr, vb);
	struct bio *bio = bio_alloc(GFP_KERNEL, 4);
	struct page *p1 = alloc_page(GFP_KERNEL), *p2 = alloc_page(GFP_KERNEL);
	bio->bi_bdev = vb;
	EXPECT_EQ(4096, bio_add_page(bio, p1, 4096, 0));
	EXPECT_EQ(0, bio_add_page(bio, p2, 4096, 0));
	EXPECT_EQ(4096u, bio->bi_size);
	bio_put(bio);
	__free_page(p1);
	__free_page(p2);
	bdput(vb);
}

// ---- opens and the shutdown request ----

// Opens through host::open need the module live (the devices name it as their owner).
// Opener records are kept per task, so each opener is one long-lived named thread.
class CloneOpen : public CloneTable {
protected:
	void SetUp() override
	{
		CloneTable::SetUp();
		ASSERT_EQ(0, host::insmod()) << vekfx::dmesg_text();
	}
	void TearDown() override
	{
		CloneTable::TearDown();
		EXPECT_EQ(0, host::rmmod());
	}
	u64 record_count(dev_t dev)
	{
		u64 total = 0;
		unsigned long flags;
		spin_lock_irqsave(&device_users_lock, flags);
		for (struct device_users *u = device_users_head; u; u = u->next)
			if (u->dev == dev)
				total += u->count;
		spin_unlock_irqrestore(&device_users_lock, flags);
		return total;
	}
	int records()
	{
		int n = 0;
		for (struct device_users *u = device_users_head; u; u = u->next)
			n++;
		return n;
	}
};

TEST_F(CloneOpen, AgentAndOtherOpensAreCountedApart)
{
	ASSERT_EQ(1, blkdev_clone(part1, &cs1, fake_mrf));
	snapt::task_thread agent("qel-agent"), reader("backup-reader");
	int err = 0;
	int a = agent.open("/dev/vek1", O_RDWR, &err);
	ASSERT_GE(a, 0) << strerror(err);
	int b = reader.open("/dev/vek1", O_RDONLY);
	ASSERT_GE(b, 0);
	EXPECT_EQ(1, atomic_read(&replicas[1]->users_qel));
	EXPECT_EQ(1, atomic_read(&replicas[1]->users));
	EXPECT_EQ(2, records());
	EXPECT_EQ(2, atomic_read(&device_users_count));
	EXPECT_EQ(2, dmesg_count("vek: INFO: inc_device_user: 1,"));
	EXPECT_EQ(1, dmesg_count(",qel-agent"));

	EXPECT_EQ(0, agent.close(a));
	EXPECT_EQ(0, reader.close(b));
	EXPECT_EQ(0, atomic_read(&replicas[1]->users_qel));
	EXPECT_EQ(0, atomic_read(&replicas[1]->users));
	EXPECT_EQ(0, records());
	EXPECT_EQ(0, atomic_read(&device_users_count));
	EXPECT_EQ(2, dmesg_count("vek: INFO: dec_device_user: 1,"));
}

TEST_F(CloneOpen, OneRecordPerTaskAndSourceDevice)
{
	// Two snapshot devices of the same source share the records of one opener.
	ASSERT_EQ(1, blkdev_clone(part1, &cs1, fake_mrf));
	ASSERT_EQ(2, blkdev_clone(part1, &cs2, fake_mrf));
	snapt::task_thread reader("reader"), other("someone-else");
	int fds[3] = {reader.open("/dev/vek1", O_RDONLY), reader.open("/dev/vek1", O_RDONLY),
		      reader.open("/dev/vek2", O_RDONLY)};
	for (int fd : fds)
		ASSERT_GE(fd, 0);
	EXPECT_EQ(1, records());
	EXPECT_EQ(3u, record_count(part1));
	EXPECT_EQ(3, atomic_read(&device_users_count));

	// A close by another task than the opener leaves the opener's record alone.
	EXPECT_EQ(0, other.close(fds[0]));
	EXPECT_EQ(3u, record_count(part1));
	EXPECT_EQ(2, atomic_read(&device_users_count));
	EXPECT_EQ(0, reader.close(fds[1]));
	EXPECT_EQ(0, reader.close(fds[2]));
	EXPECT_EQ(1u, record_count(part1));
	EXPECT_EQ(0, atomic_read(&device_users_count));
	// The stray record is cleared by the test itself so TearDown sees an empty list.
	struct device_users *u = device_users_head;
	device_users_head = nullptr;
	kfree(u);
}

TEST_F(CloneOpen, ShutdownIsRefusedWhileAnotherProcessHoldsTheDevice)
{
	ASSERT_EQ(1, blkdev_clone(part1, &cs1, fake_mrf));
	snapt::task_thread mounter("mounter"), agent("qel-agent"), fsck("fsck");
	int first = mounter.open("/dev/vek1", O_RDONLY);
	int a = agent.open("/dev/vek1", O_RDONLY);
	int second = fsck.open("/dev/vek1", O_RDONLY);
	ASSERT_GE(first, 0);
	ASSERT_GE(a, 0);
	ASSERT_GE(second, 0);

	host::dmesg_clear();
	EXPECT_EQ(-16, blkdev_shutdown(1));
	EXPECT_EQ(-16, blkdev_shutdown(1));
	EXPECT_EQ(1, dmesg_count(
			     "vek: INFO: Shutdown request 1 on vek1 with 2 users and 1 qel users."));
	EXPECT_EQ(1, dmesg_count(
			     "vek: INFO: Shutdown request 2 on vek1 with 2 users and 1 qel users."));
	// Every opener of every device is listed after each refusal, oldest first.
	auto lines = dmesg_matching("vek: INFO: DEVICE USER: 1,");
	ASSERT_EQ(6u, lines.size());
	EXPECT_NE(std::string::npos, lines[0].find(",mounter : 1"));
	EXPECT_NE(std::string::npos, lines[1].find(",qel-agent : 1"));
	EXPECT_NE(std::string::npos, lines[2].find(",fsck : 1"));
	EXPECT_NE(nullptr, replicas[1]->disk);

	EXPECT_EQ(0, mounter.close(first));
	EXPECT_EQ(0, fsck.close(second));
	// Only the agent holds it now: the disk goes, the record stays for bios in flight.
	EXPECT_EQ(0, blkdev_shutdown(1));
	EXPECT_EQ(nullptr, replicas[1]->disk);
	EXPECT_NE(nullptr, replicas[1]->q);
	// The removed disk can no longer be opened by its name.
	EXPECT_EQ(-1, agent.open("/dev/vek1", O_RDONLY));
	EXPECT_EQ(0, agent.close(a));
	EXPECT_EQ(0, atomic_read(&replicas[1]->users_qel));
	EXPECT_EQ(0, blkdev_shutdown(1));	// nothing left to remove
	EXPECT_EQ(0, blkdev_shutdown(9));	// an empty slot
	EXPECT_EQ(0, blkdev_shutdown(-1));	// a session without a device
}

TEST_F(CloneOpen, AnAgentHandleHeldAcrossRemovalClosesAgainstTheRemovedRecord)
{
	const long before = host::kmalloc_in_use();
	ASSERT_EQ(1, blkdev_clone(part1, &cs1, fake_mrf));
	snapt::task_thread agent("qel-agent");
	int a = agent.open("/dev/vek1", O_RDWR);
	ASSERT_GE(a, 0);
	EXPECT_EQ(0, blkdev_shutdown(1));
	EXPECT_EQ(0, blkdev_unclone(1));
	EXPECT_EQ(nullptr, replicas[1]);
	EXPECT_FALSE(major_registered());
	// The slot is reused while the old handle is still open.
	ASSERT_EQ(1, blkdev_clone(part2, &cs2, fake_mrf));
	host::dmesg_clear();
	EXPECT_EQ(0, agent.close(a));
	EXPECT_EQ(0, dmesg_count("Close without clone"));
	EXPECT_EQ(1, dmesg_count("vek: INFO: dec_device_user: 1,"));
	EXPECT_EQ(0, atomic_read(&replicas[1]->users_qel));
	EXPECT_EQ(0, atomic_read(&replicas[1]->users));
	EXPECT_EQ(0, atomic_read(&device_users_count));
	EXPECT_EQ(nullptr, device_users_head);
	blkdev_unclone(1);
	EXPECT_EQ(before, host::kmalloc_in_use());
}

TEST_F(CloneOpen, OpensOfAnEmptySlotOrOfAnotherDiskAreRefused)
{
	ASSERT_EQ(1, blkdev_clone(part1, &cs1, fake_mrf));
	struct block_device fake {};
	host::dmesg_clear();
	fake.bd_dev = MKDEV(CLONE_MAJOR, 0);
	EXPECT_EQ(-19, clone_open_blkdev(&fake, FMODE_READ));
	fake.bd_dev = MKDEV(CLONE_MAJOR, 2);	/* no device in that slot */
	EXPECT_EQ(-19, clone_open_blkdev(&fake, FMODE_READ));
	EXPECT_EQ(2, dmesg_count("vek: INFO: Open without clone!"));
	// A handle on a disk that is no longer the slot's (removed and the slot reused).
	struct gendisk other {};
	fake.bd_dev = MKDEV(CLONE_MAJOR, 1);
	fake.bd_disk = &other;
	EXPECT_EQ(-512, clone_open_blkdev(&fake, FMODE_READ));
	EXPECT_EQ(1, dmesg_count("vek: INFO: Open where disk do not match!"));
	EXPECT_EQ(0, atomic_read(&replicas[1]->users));
	EXPECT_EQ(0, atomic_read(&replicas[1]->users_qel));
	EXPECT_EQ(nullptr, device_users_head);
}

TEST_F(CloneTable, ABioOfARemovedDeviceIsNotServedByTheDeviceNowInItsSlot)
{
	ASSERT_EQ(1, blkdev_clone(part1, &cs1, fake_mrf));
	// The removed device's queue: any queue but the one of the record now in slot 1.
	struct request_queue old_queue {};
	struct block_device stale {};
	stale.bd_dev = MKDEV(CLONE_MAJOR, 1);
	static int result;
	result = 1;
	struct page *p = alloc_page(GFP_KERNEL);
	struct bio *bio = bio_alloc(GFP_KERNEL, 1);
	bio->bi_bdev = &stale;
	bio_add_page(bio, p, 4096, 0);
	bio->bi_end_io = [](struct bio *, int err) { result = err; };
	host::dmesg_clear();
	run_as("qel-agent", [&] { __virt_request(&old_queue, bio); });
	EXPECT_EQ(-5, result);
	EXPECT_TRUE(test_bit(BIO_EOF, &bio->bi_flags));
	EXPECT_EQ(1, dmesg_count("vek: ERROR: IO on virtual device without clone!"));
	EXPECT_EQ(0, atomic_read(&replicas[1]->io_refs));
	bio_put(bio);
	__free_page(p);
}

TEST_F(CloneOpen, QelIsRecognisedByTheFirstThreeLettersOfTheTaskName)
{
	int results[4];
	run_as("qel", [&] { results[0] = is_qel_process(); });
	run_as("qel-io-17", [&] { results[1] = is_qel_process(); });
	run_as("qe", [&] { results[2] = is_qel_process(); });
	run_as("aqel", [&] { results[3] = is_qel_process(); });
	EXPECT_EQ(1, results[0]);
	EXPECT_EQ(1, results[1]);
	EXPECT_EQ(0, results[2]);
	EXPECT_EQ(0, results[3]);
}

// ---- removal against the IO path ----

TEST_F(CloneTable, RemovalWaitsForBiosInTheIoPathWhichNeverWaitOnIt)
{
	ASSERT_EQ(1, blkdev_clone(part1, &cs1, fake_mrf));
	ASSERT_EQ(2, blkdev_clone(part2, &cs2, fake_mrf));
	struct blkdev_replica *r = get_blkdev_replica(1);
	ASSERT_NE(nullptr, r);
	EXPECT_EQ(&cs1, r->cs);

	std::atomic<bool> removed{false};
	std::thread stopper([&] {
		blkdev_unclone(1);
		removed = true;
	});
	// The removal unpublishes the slot, then waits for our reference with rw_mutex held.
	for (;;) {
		struct blkdev_replica *again = get_blkdev_replica(1);
		if (!again)
			break;
		put_blkdev_replica(again);
		std::this_thread::yield();
	}
	std::this_thread::sleep_for(std::chrono::milliseconds(50));
	EXPECT_FALSE(removed.load());
	// The record we hold is intact, and the IO path of another device is not held up.
	EXPECT_EQ(&cs1, r->cs);
	EXPECT_EQ(part1, r->dev);
	struct blkdev_replica *other = get_blkdev_replica(2);
	ASSERT_NE(nullptr, other);
	put_blkdev_replica(other);
	EXPECT_EQ(nullptr, get_blkdev_replica(1));

	put_blkdev_replica(r);
	stopper.join();
	EXPECT_TRUE(removed.load());
	EXPECT_EQ(nullptr, replicas[1]);
	EXPECT_EQ(1, atomic_read(&clone_count));
	EXPECT_EQ(nullptr, get_blkdev_replica(0));
	EXPECT_EQ(nullptr, get_blkdev_replica(255));
}

}  // namespace
