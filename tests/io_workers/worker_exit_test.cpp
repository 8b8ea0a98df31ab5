// How IO workers leave a session: a worker that registers just as NoThreadShutdown gives up
// on the session, the slot a worker leaves behind, and what the exit check tells the
// watchdog while a drain cannot end.
#include "agent_env.h"
#include "driver_fixture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

using namespace vek_test;
using vekfx::dmesg_has;

namespace {

int waiters(struct semaphore *sem) { return vekfx::semaphore_waiters(sem); }

int exact_count(const std::string &line)
{
	int n = 0;
	for (const auto &r : host::dmesg_records())
		if (r.text == line)
			n++;
	return n;
}

const std::string kHeader = "vek: ERROR: -- listing vek debug info --";

class WorkerExit : public vekfx::DriverTest {
protected:
	WorkerExit()
	{
		disk_sectors = 65536;
		part_sectors = 24576;
	}

	// One 4 KiB write into each of chunks [first, first + n): one preserved transfer each.
	void dirty_chunks(int first, int n)
	{
		for (int k = first; k < first + n; k++)
			write_source(part1, (off_t)k * 65536, pattern(4096, (uint8_t)k));
	}
	int no_threads(int id)
	{
		snap_shot_request req{};
		req.id = id;
		return ioctl(VEK_IOCTL_NO_THREAD_SHUTDOWN, &req);
	}
	cow_session *listed(int id)
	{
		cow_session *cs = nullptr;
		with_session(id, [&](cow_session *s) { cs = s; });
		return cs;
	}
	std::string file(const std::string &name) { return dir() + "/" + name; }

	// The lines of one listing pass: the next listing's header shows only once the watchdog
	// is back in its loop, so everything between the two headers is this pass.
	std::vector<std::string> listing_pass()
	{
		int32_t unused = 0;
		host::dmesg_clear();
		EXPECT_EQ(0, ioctl(VEK_IOCTL_LIST_LOCKS, &unused));
		EXPECT_TRUE(eventually([] { return exact_count(kHeader) == 1; }, 10000));
		EXPECT_EQ(0, ioctl(VEK_IOCTL_LIST_LOCKS, &unused));
		EXPECT_TRUE(eventually([] { return exact_count(kHeader) == 2; }, 10000));
		std::vector<std::string> pass;
		int headers = 0;
		for (const auto &r : host::dmesg_records()) {
			if (r.text == kHeader && ++headers == 2)
				break;
			if (headers == 1)
				pass.push_back(r.text);
		}
		return pass;
	}
};

/*
 * workLock is busy (a stop of another session whose snapshot device is held open keeps it
 * so for seconds; here the test holds it), and NoThreadShutdown, then a worker for the same
 * session, queue up behind it. The semaphore hands it on in that order: NoThreadShutdown
 * finds no worker, gives up on the session and stops it before the worker gets the lock.
 * Neither may wait for the other forever.
 */
TEST_F(WorkerExit, WorkerQueuedBehindNoThreadShutdownLeavesAndTheStopEnds)
{
	int id = start(part1, dir() + "/late");
	ASSERT_GT(id, 0);
	dirty_chunks(0, 12);
	ASSERT_EQ(slot_pending(id, 0), 12) << "before any worker, chunks wait on slot 0";
	cow_session *cs = listed(id);
	ASSERT_NE(cs, nullptr);

	down(&workLock);
	std::atomic<int> nts_rc{-2};
	std::atomic<bool> nts_done{false};
	std::thread nts([&] {
		nts_rc = no_threads(id);
		nts_done = true;
	});
	ASSERT_TRUE(eventually([] { return waiters(&workLock) == 1; }));
	raw_worker late(id, 65536, file("late.cow"));
	late.start("qel-io-late");
	ASSERT_TRUE(eventually([] { return waiters(&workLock) == 2; }));
	up(&workLock);

	// The bound only ends a test that has failed: a stop that ends, ends within milliseconds.
	bool ended = eventually([&] { return nts_done.load(); }, 10000);
	if (!ended) {
		// Stuck: the stop waits with workLock held for the worker, which waits for transfers
		// that no queue holds any more. Undo the stale count so that the test can end.
		ADD_FAILURE() << "NoThreadShutdown's stop never ended: slot 0 still counts "
			      << atomic_read(&cs->thread_info->io_threads[0]->pending_io)
			      << " pending transfers, its queue is "
			      << (list_empty(&cs->thread_info->io_threads[0]->io_list) ? "empty" : "not empty")
			      << ", fc_count " << atomic_read(&cs->fc_count);
		atomic_set(&cs->thread_info->io_threads[0]->pending_io, 0);
	}
	nts.join();
	late.join();
	EXPECT_EQ(nts_rc, -1) << "it gave up on the session and stopped it";
	EXPECT_EQ(late.result(), 0);
	EXPECT_FALSE(dmesg_has("vek: INFO: vek_io: Thread(0) with user space address"))
		<< "NoThreadShutdown stops the session before it lets go of workLock";
	EXPECT_TRUE(dmesg_has("vek: ERROR: tarvish session vek" + std::to_string(id) +
			      " had no threads running, shutting down!"));
	EXPECT_EQ(session_count(), 0);
	EXPECT_EQ(host::kmem_cache_objects("qel_fc_cache"), 0) << "every transfer released";
}

/*
 * A worker that has left keeps its slot: slots are never handed back, `started` is never
 * decremented, and the watchdog's listing shows every queue a worker has started.
 */
TEST_F(WorkerExit, SlotOfAWorkerThatLeftStaysStartedAndListed)
{
	int id = start(part1, dir() + "/left");
	ASSERT_GT(id, 0);
	vekfx::io_workers w(id, 2, dir());
	ASSERT_EQ(0, w.wait_first());
	ASSERT_EQ(0, w.wait_first());
	cow_session *cs = listed(id);
	ASSERT_NE(cs, nullptr);

	invalidate_session(cs, "TEST ERROR");
	w.join();	// nothing queued, no transfer alive: both leave, the session stays listed
	EXPECT_EQ(w.results(), (std::vector<long>{0, 0}));
	EXPECT_EQ(workers_started(id), 2);
	EXPECT_EQ(atomic_read(&cs->thread_info->io_threads[0]->started), 1);
	EXPECT_EQ(atomic_read(&cs->thread_info->io_threads[1]->started), 1);

	std::vector<std::string> pass = listing_pass();
	auto count = [&](const std::string &line) {
		int n = 0;
		for (const auto &l : pass)
			n += l == line;
		return n;
	};
	EXPECT_EQ(1, count("vek: ERROR: vek_watchdog: io_thread[1]->pendign_io: 0"));
	EXPECT_EQ(1, count("vek: ERROR: vek_watchdog: io_thread[1]->pending_anon_io: 0"));
	EXPECT_EQ(1, count("vek: ERROR: vek_watchdog: io_thread[0]->pendign_io: 0"));
	ASSERT_EQ(0, stop(id));
}

/*
 * A drain that cannot end (a transfer of the session stays alive) keeps the stop waiting
 * with workLock held. The draining worker's exit check gives no lock heartbeat, so after 60
 * quiet seconds the watchdog probes and reports workLock.
 */
TEST_F(WorkerExit, DrainThatCannotEndLetsTheWatchdogReportTheWaitingStop)
{
	int id = start(part1, dir() + "/stuck");
	ASSERT_GT(id, 0);
	int other = start(part2, dir() + "/other");	// listed throughout: the pass probes
	ASSERT_GT(other, 0);
	vekfx::io_workers w(id, 1, dir());
	ASSERT_EQ(0, w.wait_first());
	cow_session *cs = listed(id);
	ASSERT_NE(cs, nullptr);

	struct file_copy *fc = alloc_file_copy(cs);	// a transfer nobody ends yet
	ASSERT_NE(fc, nullptr);
	host::dmesg_clear();
	std::atomic<int> stop_rc{-2};
	std::thread stopper([&] { stop_rc = stop(id); });

	char line[128];
	snprintf(line, sizeof(line), "vek_watchdog[%d]: LOCKED(workLock) ", VEK_VERSION_BUILD);
	// 60 s of quiet take 300 ms here; the bound only ends a failed test.
	bool seen = eventually([&] { return exact_count(line) > 0; }, 10000);
	EXPECT_EQ(stop_rc, -2) << "the stop waits for the worker";
	put_file_copy(fc, cs);
	stopper.join();
	w.join();
	EXPECT_TRUE(seen) << "the draining worker's exit checks kept the watchdog from probing";
	EXPECT_EQ(stop_rc, 0);
	EXPECT_EQ(w.results(), (std::vector<long>{0}));
	ASSERT_EQ(0, stop(other));
}

}  // namespace
