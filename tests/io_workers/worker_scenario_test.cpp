// IO workers driven the way the agent drives them: RunIOThread, ThreadWaitTimeout and
// NoThreadShutdown on /dev/vekdriver, with writes to a mounted source partition.
#include "agent_env.h"
#include "driver_fixture.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <memory>
#include <csignal>
#include <set>

using namespace vek_test;
using vekfx::dmesg_count;
using vekfx::dmesg_has;

namespace {

// A thread in a ThreadWaitTimeout (wait), known by its task id once it runs.
struct waiting_thread {
	std::atomic<int> rc{-2};
	std::atomic<pid_t> tid{0};
	std::atomic<bool> done{false};
	std::thread thread;

	explicit waiting_thread(std::function<int()> wait)
		: thread([this, wait] {
			  tid = current->pid;
			  rc = wait();
			  done = true;
		  })
	{
		while (!tid)
			std::this_thread::yield();
	}
	~waiting_thread()
	{
		if (thread.joinable())
			thread.join();
	}
};

class Workers : public vekfx::DriverTest {
protected:
	Workers()
	{
		disk_sectors = 65536;	// 32 MiB: room for 161 chunks on one partition
		part_sectors = 24576;
	}

	// One 4 KiB write into each of chunks [first, first + n): one preserved transfer each.
	void dirty_chunks(int first, int n)
	{
		for (int k = first; k < first + n; k++)
			write_source(part1, (off_t)k * 65536, pattern(4096, (uint8_t)k));
	}
	int wait_workers(int id)
	{
		snap_shot_request req{};
		req.id = id;
		return ioctl(VEK_IOCTL_THREAD_WAIT_TIMEOUT, &req);
	}
	int no_threads(int id)
	{
		snap_shot_request req{};
		req.id = id;
		return ioctl(VEK_IOCTL_NO_THREAD_SHUTDOWN, &req);
	}
	std::string session_error(int id) { return get_string_cmd(VEK_IOCTL_GET_SESSION_ERROR, id); }
	std::string file(const std::string &name) { return dir() + "/" + name; }
};

TEST_F(Workers, WorkerIsRenamedShieldedAndLogged)
{
	int id = start(part1, dir() + "/names");
	ASSERT_GT(id, 0);
	vekfx::io_workers w(id, 2, dir());
	ASSERT_EQ(0, w.wait_first());
	ASSERT_EQ(0, w.wait_first());

	std::set<std::string> names;
	for (int i = 0; i < 2; i++) {
		host::task_info ti;
		ASSERT_TRUE(host::task_info_of(w.tid(i), &ti));
		names.insert(ti.comm);
		EXPECT_EQ(ti.flags & 0x108000u, 0x108000u) << "PF_NOFREEZE | PF_LESS_THROTTLE";
		EXPECT_EQ(ti.nice, 0);
	}
	EXPECT_EQ(names, (std::set<std::string>{"vek_io/" + std::to_string(id) + "/0",
						  "vek_io/" + std::to_string(id) + "/1"}));
	EXPECT_EQ(host::signal_handler(SIGKILL), (void *)SIG_IGN);
	EXPECT_EQ(host::signal_handler(SIGTERM), (void *)SIG_IGN);
	EXPECT_EQ(host::signal_task(w.tid(0), SIGTERM), 0) << "an ignored signal is discarded";
	EXPECT_TRUE(eventually([] { return dmesg_count("vek: INFO: vek_io: Thread(") == 2; }))
		<< "the line follows the completion the wait returned on";
	EXPECT_TRUE(dmesg_has("with user space address 0x"));
	EXPECT_TRUE(dmesg_has(" + 1048576"));

	ASSERT_EQ(0, stop(id));
	w.join();
	EXPECT_EQ(w.results(), (std::vector<long>{0, 0}));
}

int registered_threads()
{
	int n = 0;
	unsigned long flags;
	struct cow_pid_tracker *t;
	spin_lock_irqsave(&cow_thread_lock, flags);
	list_for_each_entry(t, &cow_pids_list, list)
		n++;
	spin_unlock_irqrestore(&cow_thread_lock, flags);
	return n;
}

TEST_F(Workers, WorkerThreadIdsAreListedOnlyWhileTheyServe)
{
	int id = start(part1, dir() + "/pids");
	ASSERT_GT(id, 0);
	EXPECT_EQ(registered_threads(), 0);
	vekfx::io_workers w(id, 3, dir());
	for (int i = 0; i < 3; i++)
		ASSERT_EQ(0, w.wait_first());
	EXPECT_EQ(registered_threads(), 3);
	ASSERT_EQ(0, stop(id));
	w.join();
	EXPECT_EQ(registered_threads(), 0) << "each worker took its id out when it left";

	raw_worker lost(99, 65536, file("pids.cow"));
	lost.start("qel-io-lost");
	lost.join();
	EXPECT_EQ(registered_threads(), 0) << "also on the no-session path";
}

TEST_F(Workers, RecordsThatCannotBeReadFromTheCallerAreRefused)
{
	void *bad = (void *)4096;
	EXPECT_EQ(1, ioctl(VEK_IOCTL_RUN_IO_THREAD, bad));
	EXPECT_TRUE(dmesg_has("vek: ERROR: Could not get session ID from user space."));
	EXPECT_EQ(-1, ioctl(VEK_IOCTL_THREAD_WAIT_TIMEOUT, bad));
	EXPECT_EQ(-1, ioctl(VEK_IOCTL_NO_THREAD_SHUTDOWN, bad));
	EXPECT_EQ(dmesg_count("vek: ERROR: Could not copy snapshot request from user space."), 2);
}

TEST_F(Workers, SnapshotReadWakesASleepingWorkerAndGoesAheadOfItsBacklog)
{
	int id = start(part1, dir() + "/ahead");
	ASSERT_GT(id, 0);
	std::vector<uint8_t> before = read_dev("/dev/sda1", 5 * 65536, 4096);
	dirty_chunks(0, 81);	// enough to wake the worker: all stored at once
	// From here the clock stands still: the worker's sleep cannot time out, only be woken.
	host::set_clock_speed(0);
	vekfx::io_workers w(id, 1, dir());
	ASSERT_EQ(0, w.wait_first());
	ASSERT_TRUE(eventually([&] { return slot_pending(id, 0) == 0; }));
	dirty_chunks(81, 80);	// a backlog that lets it sleep
	EXPECT_GT(vekfx::wait_sleeping(w.tid(0)), 0);
	ASSERT_EQ(slot_pending(id, 0), 80);

	std::vector<uint8_t> got;
	EXPECT_TRUE(vekfx::returns_on_stopped_clock([&] {
		got = read_snapshot(id, 5 * 65536, 4096);	// stored chunk 5
	})) << "the read woke the worker instead of waiting out its sleep";
	EXPECT_EQ(got, before);
	EXPECT_EQ(slot_pending(id, 0), 79)
		<< "one preserved transfer, then the read: the backlog is below the share";
	host::set_clock_speed(clock_speed);
	ASSERT_EQ(0, stop(id));
	w.join();
}

TEST_F(Workers, NameFitsTheTaskNameField)
{
	std::string comm;
	vekfx::run_as("qel-name", [&] {
		adjust_thread_properites(1000, 12);
		comm = current->comm;
	});
	EXPECT_EQ(comm, "vek_io/1000/12");
}

TEST_F(Workers, SixtyFifthWorkerFindsNoSlotAndLeavesAtOnce)
{
	int id = start(part1, dir() + "/full");
	ASSERT_GT(id, 0);
	vekfx::io_workers w(id, 64, dir(), 65536);
	// 64 threads may take longer to start than 30 s of the fast platform clock.
	ASSERT_TRUE(eventually([&] { return workers_started(id) == 64; }, 30000));
	for (int i = 0; i < 64; i++)
		ASSERT_EQ(0, w.wait_first()) << i;
	ASSERT_EQ(workers_started(id), 64);
	host::dmesg_clear();

	raw_worker extra(id, 65536, file("extra.cow"));
	extra.start("qel-io-extra");
	extra.join();
	EXPECT_EQ(extra.result(), 0);
	EXPECT_EQ(dmesg_count("vek_io: Thread(64)"), 0) << "no message for a refused worker";
	EXPECT_EQ(dmesg_count("ERROR"), 0);
	EXPECT_EQ(workers_started(id), 64);
	EXPECT_EQ(0, wait_workers(id)) << "it still completed the wait once";
	EXPECT_EQ(-1, wait_workers(id)) << "no 66th completion";
	EXPECT_TRUE(dmesg_has("Backing thread for session " + std::to_string(id) +
			      " did not start after 30000 msecs!"));
	EXPECT_TRUE(extra.canary_intact(0)) << "its buffer was never used";

	ASSERT_EQ(0, stop(id));
	w.join();
}

TEST_F(Workers, WorkerForAMissingSessionLeavesAndCompletesNothing)
{
	raw_worker lost(77, 65536, file("lost.cow"));
	lost.start("qel-io-lost");
	lost.join();
	EXPECT_EQ(lost.result(), 0);
	EXPECT_TRUE(dmesg_has("vek: ERROR: started new thread without a session, thread exiting."));

	host::set_clock_speed(0);
	int rc = 0;
	EXPECT_TRUE(vekfx::returns_on_stopped_clock([&] { rc = wait_workers(77); }))
		<< "no session: no wait at all";
	EXPECT_EQ(-1, rc);
	EXPECT_FALSE(dmesg_has("did not start after"));
	host::set_clock_speed(clock_speed);
}

TEST_F(Workers, ThreadWaitTimeoutReturnsWhenTheFirstWorkerRegisters)
{
	int id = start(part1, dir() + "/wait");
	ASSERT_GT(id, 0);
	// The clock stands still: the wait can end only by the worker's registration.
	host::set_clock_speed(0);
	waiting_thread waiter([&] { return wait_workers(id); });
	EXPECT_EQ(30000, vekfx::wait_sleeping(waiter.tid));
	vekfx::io_workers w(id, 1, dir());
	EXPECT_TRUE(eventually([&] { return waiter.done.load(); }, 10000));
	host::set_clock_speed(clock_speed);
	waiter.thread.join();
	EXPECT_EQ(waiter.rc, 0);
	EXPECT_FALSE(dmesg_has("did not start after"));
	ASSERT_EQ(0, stop(id));
	w.join();
}

TEST_F(Workers, ThreadWaitTimeoutGivesUpAfterThirtySeconds)
{
	int id = start(part1, dir() + "/nowait");
	ASSERT_GT(id, 0);
	EXPECT_EQ(-1, wait_workers(id));
	EXPECT_TRUE(dmesg_has("vek: ERROR: Backing thread for session " + std::to_string(id) +
			      " did not start after 30000 msecs!"));
	EXPECT_EQ(-1, no_threads(id)) << "no worker ever came: the session is stopped";
	EXPECT_EQ(session_count(), 0);
}

// A ThreadWaitTimeout holds a user reference while it waits, and the stop waits for every
// user: the stop lets the wait go, so that neither waits out the 30 s. Without a worker the
// wait fails; with one (whose completion an earlier wait took) it succeeds.
TEST_F(Workers, StopEndsAThreadWaitTimeoutStillWaiting)
{
	for (int workers : {0, 1}) {
		SCOPED_TRACE(workers ? "with a worker" : "without a worker");
		int id = start(part1, dir() + "/stopwait" + std::to_string(workers));
		ASSERT_GT(id, 0);
		std::unique_ptr<vekfx::io_workers> w;
		if (workers) {
			w = std::make_unique<vekfx::io_workers>(id, 1, dir());
			ASSERT_EQ(0, w->wait_first());
		}
		host::set_clock_speed(0);
		waiting_thread waiter([&] { return wait_workers(id); });
		EXPECT_EQ(30000, vekfx::wait_sleeping(waiter.tid));
		int stopped = -2;
		EXPECT_TRUE(vekfx::returns_on_stopped_clock([&] { stopped = stop(id); }))
			<< "the stop waited for the wait's time-out";
		EXPECT_EQ(0, stopped);
		EXPECT_TRUE(eventually([&] { return waiter.done.load(); }, 10000));
		host::set_clock_speed(clock_speed);
		waiter.thread.join();
		// The stop let it go, not a worker: even beside a worker that came for an
		// earlier wait, it is no success.
		EXPECT_EQ(-1, waiter.rc);
		EXPECT_FALSE(dmesg_has("did not start after"));
		if (w)
			w->join();
	}
}

TEST_F(Workers, NoThreadShutdownLeavesASessionWithAWorkerAlone)
{
	int id = start(part1, dir() + "/keep");
	ASSERT_GT(id, 0);
	vekfx::io_workers w(id, 1, dir());
	ASSERT_EQ(0, w.wait_first());
	EXPECT_EQ(0, no_threads(id));
	EXPECT_EQ(session_count(), 1);
	EXPECT_EQ(session_error(id), "");
	ASSERT_EQ(0, stop(id));
	w.join();
}

TEST_F(Workers, NoThreadShutdownFailsQueuedTransfersAndStopsTheSession)
{
	int id = start(part1, dir() + "/gone");
	ASSERT_GT(id, 0);
	dirty_chunks(0, 12);
	ASSERT_EQ(slot_pending(id, 0), 12) << "before any worker, chunks wait on slot 0";
	ASSERT_EQ(host::kmem_cache_objects("qel_fc_cache"), 12);

	EXPECT_EQ(-1, no_threads(id));
	EXPECT_TRUE(dmesg_has("vek: ERROR: tarvish session vek" + std::to_string(id) +
			      " had no threads running, shutting down!"));
	EXPECT_EQ(session_count(), 0);
	EXPECT_EQ(host::kmem_cache_objects("qel_fc_cache"), 0) << "every transfer released";
	EXPECT_EQ(session_error(id), "NO ERROR") << "the id no longer matches a session";
}

TEST_F(Workers, StopOfASessionThatNeverHadAWorkerReleasesItsQueuedTransfers)
{
	int id = start(part1, dir() + "/never");
	ASSERT_GT(id, 0);
	const long pages = atomic_read(&total_cow_pages);
	dirty_chunks(0, 12);
	ASSERT_EQ(slot_pending(id, 0), 12);
	ASSERT_EQ(atomic_read(&total_cow_pages) - pages, 12 * 16);

	EXPECT_EQ(0, stop(id));
	EXPECT_EQ(session_count(), 0);
	EXPECT_EQ(host::kmem_cache_objects("qel_fc_cache"), 0) << "every transfer released";
	EXPECT_EQ(atomic_read(&total_cow_pages), pages) << "every copy page given back";
	// The source kept its writes throughout.
	for (int k = 0; k < 12; k++)
		EXPECT_EQ(read_dev("/dev/sda1", (off_t)k * 65536, 4096), pattern(4096, (uint8_t)k));
}

TEST_F(Workers, EightyQueuedTransfersLetTheWorkerSleepTheEightyFirstWakesIt)
{
	int id = start(part1, dir() + "/batch");
	ASSERT_GT(id, 0);
	dirty_chunks(0, 80);
	// The clock stands still: the worker's 5 s sleep never times out, it can only be woken.
	host::set_clock_speed(0);
	vekfx::io_workers w(id, 1, dir());
	ASSERT_EQ(0, w.wait_first());
	EXPECT_EQ(5000, vekfx::wait_sleeping(w.tid(0)));
	EXPECT_EQ(slot_pending(id, 0), 80) << "half its share is not enough to wake it";

	dirty_chunks(80, 1);
	EXPECT_TRUE(eventually([&] { return slot_pending(id, 0) == 0; }, 10000))
		<< "the 81st transfer woke it; it did not wait out its 5 s sleep";
	host::set_clock_speed(clock_speed);
	ASSERT_EQ(0, stop(id));
	w.join();
}

TEST_F(Workers, SmallBatchIsServedWhenTheSleepEnds)
{
	int id = start(part1, dir() + "/timer");
	ASSERT_GT(id, 0);
	host::set_clock_speed(0);	// the worker's sleeps end when the test says
	vekfx::io_workers w(id, 1, dir());
	ASSERT_EQ(0, w.wait_first());
	EXPECT_EQ(5000, vekfx::wait_sleeping(w.tid(0)));
	dirty_chunks(3, 1);
	// Still asleep: a wake-up would have served the transfer before it slept again.
	EXPECT_EQ(5000, vekfx::wait_sleeping(w.tid(0)));
	EXPECT_EQ(slot_pending(id, 0), 1) << "one preserved transfer does not wake it";
	EXPECT_EQ(5000, vekfx::advance_to_next_timeout({w.tid(0)}));
	EXPECT_TRUE(eventually([&] { return slot_pending(id, 0) == 0; }, 3000));
	host::set_clock_speed(clock_speed);
	ASSERT_EQ(0, stop(id));
	w.join();
}

class Quota : public Workers, public ::testing::WithParamInterface<int> {};

TEST_P(Quota, EndsTheSessionOnlyAboveTheBufferBudget)
{
	const int queued = GetParam();
	snap_shot_request req = vekfx::make_start_request(part1, dir() + "/quota");
	req.bfree = 1000;
	ASSERT_EQ(0, ioctl(VEK_IOCTL_START_VK2, &req));
	int id = req.id;
	host::fault_rule few_blocks;
	few_blocks.count = -1;
	few_blocks.value = 10;	// f_bavail below bfree
	host::fault_inject("statfs", few_blocks);

	dirty_chunks(0, queued);
	ASSERT_EQ(slot_pending(id, 0), queued);
	vekfx::io_workers w(id, 1, dir());
	ASSERT_EQ(0, w.wait_first());
	ASSERT_TRUE(eventually([&] { return slot_pending(id, 0) == 0; }));
	if (queued > 160) {
		EXPECT_EQ(session_error(id), "USER QUOTA REACHED");
		EXPECT_TRUE(dmesg_has("vek: ERROR: user specified quota reached, tarvish session vek" +
				      std::to_string(id) + " ending."));
	} else {
		EXPECT_EQ(session_error(id), "");
		EXPECT_FALSE(dmesg_has("quota reached"));
	}
	host::fault_clear("statfs");
	ASSERT_EQ(0, stop(id));
	w.join();
}

INSTANTIATE_TEST_SUITE_P(Queued, Quota, ::testing::Values(160, 161));

TEST_F(Workers, BadDescriptorFailsTheSessionAndItsTransfersEndWithoutAFile)
{
	int id = start(part1, dir() + "/nofile");
	ASSERT_GT(id, 0);
	dirty_chunks(0, 3);	// waiting on slot 0 for the first worker
	raw_worker bad(id, 65536, file("nofile.cow"));
	bad.zti.file_fd = 1 << 20;	// no such descriptor
	bad.start("qel-io-nofile");
	ASSERT_EQ(0, wait_workers(id)) << "it still registered";
	EXPECT_TRUE(dmesg_has("vek: ERROR: COW Thread (" + std::to_string(bad.zti.id) +
			      ") could not get file handel."));
	EXPECT_TRUE(dmesg_has("vek: ERROR: Didsabling vek session (" + std::to_string(id) +
			      ") due to file error."));
	EXPECT_TRUE(eventually([] { return dmesg_has("vek: INFO: vek_io: Thread(0) with user space address"); }));
	EXPECT_EQ(session_error(id), "FILE ERROR");
	EXPECT_EQ(workers_started(id), 1) << "its slot stays claimed";
	ASSERT_TRUE(eventually([&] { return session_fc_count(id) == 0; }))
		<< "the queued transfers ended with -5";
	EXPECT_TRUE(bad.canary_intact(0));

	ASSERT_EQ(0, stop(id));
	bad.join();
	EXPECT_EQ(bad.result(), 0);
	EXPECT_EQ(workers_started(id), -1) << "session gone";
}

struct buffer_case {
	const char *name;
	int size;
	bool null_addr;
};

void PrintTo(const buffer_case &c, std::ostream *os) { *os << c.name; }

class BadBuffer : public Workers, public ::testing::WithParamInterface<buffer_case> {};

TEST_P(BadBuffer, IsRefusedWithASessionErrorAndNeverWritten)
{
	const buffer_case &c = GetParam();
	int id = start(part1, dir() + "/buf");
	ASSERT_GT(id, 0);
	dirty_chunks(0, 3);	// queued before the worker: they reach it at once
	raw_worker w(id, c.size, file("buf.cow"));
	if (c.null_addr)
		w.zti.user_addr = 0;
	w.start("qel-io-buf");
	ASSERT_EQ(0, wait_workers(id));
	EXPECT_EQ(session_error(id), "BUFFER ERROR");
	EXPECT_TRUE(dmesg_has("cannot hold a 4096 byte segment, disabling vek session"));
	ASSERT_TRUE(eventually([&] { return session_fc_count(id) == 0; }))
		<< "its queue is drained with -5";
	EXPECT_TRUE(w.canary_intact(0)) << "not one byte of the agent's memory was written";

	ASSERT_EQ(0, stop(id));
	w.join();
	EXPECT_EQ(w.result(), 0);
}

INSTANTIATE_TEST_SUITE_P(
	Cases, BadBuffer,
	::testing::Values(buffer_case{"smaller_than_a_page", 1024, false},
			  buffer_case{"zero", 0, false}, buffer_case{"negative", -65536, false},
			  buffer_case{"null_address", 65536, true}),
	[](const ::testing::TestParamInfo<buffer_case> &i) { return std::string(i.param.name); });

TEST_F(Workers, FullBackingFileSystemFailsTheSessionNotTheSource)
{
	int id = start(part1, dir() + "/full");
	ASSERT_GT(id, 0);
	vekfx::io_workers w(id, 1, dir(), 65536);	// one chunk per window: written at once
	ASSERT_EQ(0, w.wait_first());
	host::fault_fail_next("file_write", 1, -ENOSPC);
	dirty_chunks(0, 90);	// over half the share: served at once
	ASSERT_TRUE(eventually([&] { return session_error(id) != ""; }));
	EXPECT_EQ(session_error(id), "FILE IO ERROR");
	EXPECT_TRUE(dmesg_has("vek: ERROR: Out of space on file: offset 0, length 65536"));

	// The source keeps working and no longer waits for the session.
	std::vector<uint8_t> data = pattern(4096, 9);
	write_source(part1, 100 * 65536, data);
	EXPECT_EQ(read_dev("/dev/sda1", 100 * 65536, 4096), data);
	ASSERT_EQ(0, stop(id));
	w.join();
}

TEST_F(Workers, StopWaitsForEveryQueuedTransferBeforeTheWorkersLeave)
{
	int id = start(part1, dir() + "/drain");
	ASSERT_GT(id, 0);
	dirty_chunks(0, 40);	// on slot 0, a batch below the wake-up mark per worker
	// A stopped clock: the workers' sleep cannot time out into serving the batch, so only
	// the stop sets them to work, however slowly this machine runs.
	host::set_clock_speed(0);
	vekfx::io_workers w(id, 2, dir());
	ASSERT_EQ(0, w.wait_first());
	ASSERT_EQ(0, w.wait_first());
	ASSERT_EQ(host::kmem_cache_objects("qel_fc_cache"), 40);

	ASSERT_EQ(0, stop(id));
	w.join();
	EXPECT_EQ(w.results(), (std::vector<long>{0, 0}));
	EXPECT_EQ(host::kmem_cache_objects("qel_fc_cache"), 0)
		<< "the workers left only after the last transfer was released";
	EXPECT_FALSE(dmesg_has("File had no dentry!")) << "each worker's file reference dropped";
}

TEST_F(Workers, CopyDecidedBeforeTheLastWorkerLeftIsReleasedNotStranded)
{
	int id = start(part1, dir() + "/late");
	ASSERT_GT(id, 0);
	vekfx::io_workers w(id, 1, dir());
	ASSERT_EQ(0, w.wait_first());
	cow_session *cs = nullptr;
	with_session(id, [&](cow_session *s) { cs = s; });
	ASSERT_NE(cs, nullptr);	/* listed until the stop below */
	const long pages = host::pages_in_use();

	// pos_lock is taken by the copy after the decision to copy and before its transfer
	// exists: holding it stops a first write right in that gap.
	auto held = std::make_unique<vekfx::spin_holder>(&cs->pos_lock);
	std::thread writer([&] { write_source(part1, 0, pattern(4096, 7)); });
	ASSERT_TRUE(eventually([&] {
		struct if_chunk *ic = get_and_inc_if(cs, 0);
		if (ic)
			put_and_dec_if(cs, ic);
		return ic != nullptr;
	})) << "the write decided to copy chunk 0";

	invalidate_session(cs, "TEST ERROR");
	w.join();	/* nothing queued, no transfer alive: the worker leaves */
	EXPECT_EQ(w.results(), (std::vector<long>{0}));
	held.reset();
	writer.join();

	EXPECT_EQ(slot_pending(id, 0), 0) << "queued where no worker will serve it";
	EXPECT_EQ(session_fc_count(id), 0);
	EXPECT_EQ(host::pages_in_use(), pages) << "the copy's pages were freed";
	EXPECT_EQ(read_dev("/dev/sda1", 0, 4096), pattern(4096, 7)) << "the write itself landed";
	ASSERT_EQ(0, stop(id));
}

}  // namespace
