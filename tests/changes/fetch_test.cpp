// fetch_test.cpp - blocking batches, the one-shot unblock, the tracking output, bad
// requests and fetches whose results cannot be handed back, and the flush at last close.
#include "changes_env.h"

#include <atomic>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

using namespace vekct;

namespace {

constexpr int kSda = 8;

class FetchTest : public vekfx::DriverTest {
protected:
	void TearDown() override
	{
		for (auto &t : threads)
			if (t.joinable())
				t.join();
		cts.drop_all();
		vekfx::DriverTest::TearDown();
	}
	struct ct_session *source(bool listed, sector_t start = 2048)
	{
		dev_t dev = MKDEV(kSda, 17);
		return listed ? cts.make_listed(dev, kSda, 16, start, 1024)
			      : cts.make(dev, kSda, 16, start, 1024);
	}
	static void write(struct ct_session *c, sector_t disk_sector, unsigned size = 4096)
	{
		fake_bio b(c->major, c->first_minor, disk_sector, size);
		record_change(c, &b.bio, 0);
	}
	// A fetch of `size` records on its own handle and thread.
	struct pending {
		std::atomic<bool> done{false};
		std::atomic<pid_t> tid{0};
		fetch_v2 result;
	};
	void fetch_async(pending *p, int size)
	{
		int fd = open_control();
		ASSERT_GE(fd, 0);
		threads.emplace_back([p, fd, size] {
			p->tid = (pid_t)gettid();
			p->result = get_v2(fd, size);
			p->done = true;
		});
		ASSERT_TRUE(eventually([p] { return p->tid != 0; }));
	}
	// The fetch is still waiting after a while (it would have returned by now).
	static bool stays_blocked(const pending &p)
	{
		std::this_thread::sleep_for(std::chrono::milliseconds(150));
		return !p.done;
	}
	hand_cts cts;
	std::vector<std::thread> threads;
};

TEST_F(FetchTest, ShortQueueBlocksUntilUnblockThenDeliversWhatIsQueued)
{
	struct ct_session *c = source(false);
	for (int i = 0; i < 3; i++)
		write(c, 2048 + i);
	pending p;
	fetch_async(&p, 10);
	EXPECT_TRUE(stays_blocked(p));
	EXPECT_EQ(3, atomic_read(&record_list_lenght)) << "a waiting fetch takes nothing";

	ASSERT_EQ(0, unblock(ctl));
	ASSERT_TRUE(eventually([&] { return p.done.load(); }));
	EXPECT_EQ(3, p.result.rc);
	EXPECT_EQ(0, p.result.inqueue);
	EXPECT_EQ(2u, p.result.recs[2].start_sector);
	for (int i = 3; i < 10; i++)
		EXPECT_EQ(0u, p.result.recs[i].num_sectors) << "undelivered entries come back zero";
}

TEST_F(FetchTest, BlockedFetchReturnsOnceItsBatchIsQueued)
{
	struct ct_session *c = source(false);
	write(c, 2048);
	pending p;
	fetch_async(&p, 4);
	EXPECT_TRUE(stays_blocked(p));
	write(c, 2049);
	write(c, 2050);
	EXPECT_TRUE(stays_blocked(p)) << "3 of 4 is not a batch";
	write(c, 2051);
	ASSERT_TRUE(eventually([&] { return p.done.load(); }));
	EXPECT_EQ(4, p.result.rc);
	EXPECT_EQ(0, p.result.inqueue);
	EXPECT_EQ(3u, p.result.recs[3].start_sector);
	/* The batch is taken at the fourth record; a fifth stays queued for the next fetch. */
	write(c, 2052);
	EXPECT_EQ(1, atomic_read(&record_list_lenght));
}

TEST_F(FetchTest, UnblockWithNobodyWaitingReleasesOnlyTheNextFetch)
{
	ASSERT_EQ(0, unblock(ctl));
	fetch_v2 first = get_v2(ctl, 5);
	EXPECT_EQ(0, first.rc) << "returns at once on an empty queue";
	EXPECT_EQ(0, first.inqueue);

	pending p;
	fetch_async(&p, 5);
	EXPECT_TRUE(stays_blocked(p)) << "the unblock was used up";
	ASSERT_EQ(0, unblock(ctl));
	ASSERT_TRUE(eventually([&] { return p.done.load(); }));
	EXPECT_EQ(0, p.result.rc);
}

TEST_F(FetchTest, SignalEndsTheWaitAndTheFetchStillDelivers)
{
	struct ct_session *c = source(false);
	write(c, 2048);
	write(c, 2056);
	pending p;
	fetch_async(&p, 10);
	EXPECT_TRUE(stays_blocked(p));
	ASSERT_EQ(1, host::signal_task(p.tid));
	ASSERT_TRUE(eventually([&] { return p.done.load(); }));
	host::clear_signal(p.tid);
	EXPECT_EQ(2, p.result.rc) << "an interrupted wait is no failure";
	EXPECT_EQ(8u, p.result.recs[1].start_sector);
}

TEST_F(FetchTest, TrackingReportsBrokenStartedSessionsAndBrokenDeliveredRecords)
{
	struct ct_session *listed = source(true);
	struct ct_session *unlisted = cts.make(MKDEV(kSda, 18), kSda, 16, 4096, 1024);

	EXPECT_EQ(1, get_v2(ctl, 0).tracking);
	atomic_set(&unlisted->missed_write, 1);
	EXPECT_EQ(1, get_v2(ctl, 0).tracking) << "a session never started does not count";

	// A record whose session broke after it was queued.
	atomic_set(&unlisted->missed_write, 0);
	write(unlisted, 4096);
	atomic_set(&unlisted->missed_write, 1);
	fetch_v2 f = get_v2(ctl, 1);
	ASSERT_EQ(1, f.rc);
	EXPECT_EQ(0, f.tracking);
	EXPECT_EQ(1, get_v2(ctl, 0).tracking) << "only the fetch that delivered it";

	atomic_set(&listed->missed_write, 1);
	EXPECT_EQ(0, get_v2(ctl, 0).tracking);
	fetch_v1 g = get_v1(ctl, 0);
	EXPECT_EQ(0, g.rc);
	EXPECT_EQ(0, g.tracking) << "format 1 reports the same";
}

TEST_F(FetchTest, ErrorCtsMarksStartedSessionsOnlyAndSaysSoOncePerSession)
{
	struct ct_session *a = source(true, 2048);
	struct ct_session *b = cts.make_listed(MKDEV(kSda, 18), kSda, 16, 4096, 1024);
	struct ct_session *unstarted = cts.make(MKDEV(kSda, 19), kSda, 16, 8192, 64);
	host::dmesg_clear();

	int32_t unused = 12345;
	EXPECT_EQ(0, ioctl(VEK_IOCTL_ERROR_CTS, &unused));
	EXPECT_EQ(1, atomic_read(&a->missed_write));
	EXPECT_EQ(1, atomic_read(&b->missed_write));
	EXPECT_EQ(0, atomic_read(&unstarted->missed_write));
	EXPECT_EQ(2, vekfx::dmesg_count("vek: INFO: CTS has been disabled"));
	EXPECT_TRUE(vekfx::dmesg_has("CTS has been disabled 8.16[2048+1024]"));
	EXPECT_TRUE(vekfx::dmesg_has("CTS has been disabled 8.16[4096+1024]"));
	EXPECT_EQ(0, get_v2(ctl, 0).tracking);

	write(a, 2048);
	EXPECT_EQ(0, atomic_read(&record_list_lenght)) << "broken sources record nothing";
}

TEST_F(FetchTest, BadRequestsFailClearlyAndTakeNothing)
{
	struct ct_session *c = source(false);
	write(c, 2048);
	write(c, 2049);

	EXPECT_EQ(-1, host::ioctl(ctl, VEK_IOCTL_GET_CHANGED_RECORDS_V2, (void *)8));
	EXPECT_TRUE(vekfx::dmesg_has("vek: ERROR: Could not copy request from user space."));

	EXPECT_EQ(-1, get_v2(ctl, -1).rc);
	EXPECT_EQ(-1, get_v1(ctl, -5).rc);
	EXPECT_EQ(2, vekfx::dmesg_count("vek: ERROR: Could not allocate cru."));

	// More entries than any kernel allocation can hold: refused, not truncated.
	change_recrod_request_v2 huge;
	memset(&huge, 0, sizeof(huge));
	huge.size = 1 << 28;
	EXPECT_EQ(-1, host::ioctl(ctl, VEK_IOCTL_GET_CHANGED_RECORDS_V2, &huge));

	EXPECT_EQ(2, atomic_read(&record_list_lenght)) << "nothing was taken";
	EXPECT_EQ(2, get_v2(ctl, 2).rc);
}

// Records taken from the queue but not handed over are lost: their sources must read as
// broken on the next fetch, and only theirs.
TEST_F(FetchTest, ResultsThatCannotBeCopiedBackBreakTheirSourcesTracking)
{
	struct ct_session *a = source(true, 2048);
	struct ct_session *b = cts.make_listed(MKDEV(kSda, 18), kSda, 16, 4096, 1024);
	write(a, 2048);
	write(a, 2056);
	host::dmesg_clear();

	change_recrod_request_v2 crr;
	memset(&crr, 0, sizeof(crr));
	crr.size = 2;
	crr.cru = (change_record_usr_v2 *)16;	// not the agent's memory
	EXPECT_EQ(-1, host::ioctl(ctl, VEK_IOCTL_GET_CHANGED_RECORDS_V2, &crr));
	EXPECT_TRUE(vekfx::dmesg_has("vek: ERROR: failed to copy cru to user space, change "
				     "tracking is now being disabled."));
	EXPECT_EQ(0, atomic_read(&record_list_lenght)) << "the records are gone";
	EXPECT_EQ(1, atomic_read(&a->missed_write));
	EXPECT_EQ(0, atomic_read(&b->missed_write)) << "a source with no lost record stays intact";
	EXPECT_EQ(1, vekfx::dmesg_count("CTS has been disabled 8.16[2048+1024]"));

	fetch_v2 next = get_v2(ctl, 0);
	EXPECT_EQ(0, next.tracking);
}

TEST_F(FetchTest, RequestThatCannotBeWrittenBackAlsoBreaksTracking)
{
	struct ct_session *a = source(true);
	write(a, 2048);
	std::vector<change_record_usr> out(1);

	// Readable, not writable: the request is read, the reply cannot be stored.
	long page = sysconf(_SC_PAGESIZE);
	void *mem = mmap(nullptr, page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
	ASSERT_NE(MAP_FAILED, mem);
	auto *crr = (change_recrod_request *)mem;
	crr->size = 1;
	crr->cru = out.data();
	ASSERT_EQ(0, mprotect(mem, page, PROT_READ));

	EXPECT_EQ(-1, host::ioctl(ctl, VEK_IOCTL_GET_CHANGED_RECORDS, crr));
	EXPECT_TRUE(vekfx::dmesg_has("vek: ERROR: Failed to copy crr to user space, change "
				     "tracking is now being disabled."));
	EXPECT_EQ(1, atomic_read(&a->missed_write));
	EXPECT_EQ(0, get_v1(ctl, 0).tracking);
	munmap(mem, page);
}

TEST_F(FetchTest, WithoutMemoryToNameTheLostRecordsEverySourceIsMarked)
{
	struct ct_session *a = source(true, 2048);
	struct ct_session *b = cts.make_listed(MKDEV(kSda, 18), kSda, 16, 4096, 1024);
	write(a, 2048);
	write(a, 2049);
	write(a, 2050);
	// The array of three owners (24 bytes) cannot be had; the 96-byte result array can.
	host::fault_fail_if("kmalloc", [](const host::fault_ctx &x) { return x.size == 24; }, 1);

	change_recrod_request_v2 crr;
	memset(&crr, 0, sizeof(crr));
	crr.size = 3;
	crr.cru = (change_record_usr_v2 *)16;
	EXPECT_EQ(-1, host::ioctl(ctl, VEK_IOCTL_GET_CHANGED_RECORDS_V2, &crr));
	EXPECT_EQ(1, host::fault_failures("kmalloc"));
	EXPECT_EQ(1, atomic_read(&a->missed_write));
	EXPECT_EQ(1, atomic_read(&b->missed_write));
}

TEST_F(FetchTest, LastCloseDropsTheQueueAndTheNextFetchReportsTrackingBroken)
{
	struct ct_session *a = source(true);
	for (int i = 0; i < 4; i++)
		write(a, 2048 + i);
	int second = open_control();
	ASSERT_GE(second, 0);

	ASSERT_EQ(0, host::close(second));
	EXPECT_EQ(4, atomic_read(&record_list_lenght)) << "another handle is still open";
	EXPECT_EQ(0, atomic_read(&a->missed_write));

	ASSERT_EQ(0, host::close(ctl));
	handles.clear();
	EXPECT_EQ(0, atomic_read(&record_list_lenght));
	EXPECT_TRUE(list_empty(&record_list));
	EXPECT_EQ(1, atomic_read(&a->missed_write));

	ctl = open_control();
	ASSERT_GE(ctl, 0);
	fetch_v2 f = get_v2(ctl, 8);
	EXPECT_EQ(0, f.rc) << "the flush released the next fetch";
	EXPECT_EQ(0, f.tracking);
	EXPECT_EQ(0, f.inqueue);
}

TEST_F(FetchTest, ShutdownCommandReleasesAWaitingFetchAndEmptiesTheQueue)
{
	struct ct_session *c = source(false);
	write(c, 2048);
	pending p;
	fetch_async(&p, 100);
	EXPECT_TRUE(stays_blocked(p));

	int32_t unused = 0;
	ASSERT_EQ(0, ioctl(VEK_IOCTL_UNLOAD, &unused));
	ASSERT_TRUE(eventually([&] { return p.done.load(); }));
	EXPECT_GE(p.result.rc, 0);
	EXPECT_LE(p.result.rc, 1);
	EXPECT_EQ(0, atomic_read(&record_list_lenght));
	EXPECT_TRUE(list_empty(&record_list));
}

}  // namespace
