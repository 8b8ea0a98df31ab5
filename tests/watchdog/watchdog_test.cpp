// watchdog_test.cpp - the lock watchdog: its thread, heartbeats and the quiet period, the
// listing command, and the LOCKED lines for locks held by a test (on the accelerated clock:
// 60 s of quiet take 300 ms, a 600-try probe 30 ms).
#include "cow.h"
#include <linux/delay.h>
#include <linux/kthread.h>
#include <linux/jiffies.h>
#include "driver_fixture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <unistd.h>

namespace {

bool eventually(const std::function<bool()> &pred, int ms = 8000)
{
	auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
	while (std::chrono::steady_clock::now() < end) {
		if (pred())
			return true;
		std::this_thread::sleep_for(std::chrono::milliseconds(2));
	}
	return pred();
}

// Lines equal to `line` (the level prefix and line end are not part of a dmesg line).
int exact_count(const std::string &line, int level = -1)
{
	int n = 0;
	for (const auto &r : host::dmesg_records())
		if (r.text == line && (level < 0 || r.level == level))
			n++;
	return n;
}

bool wait_line(const std::string &line, int ms = 8000)
{
	return eventually([&] { return exact_count(line) > 0; }, ms);
}

int index_of(const std::string &needle)
{
	auto lines = host::dmesg();
	for (size_t i = 0; i < lines.size(); i++)
		if (lines[i].find(needle) != std::string::npos)
			return (int)i;
	return -1;
}

const std::string kHeader = "vek: ERROR: -- listing vek debug info --";
const std::string kPages = "vek: ERROR: vek_watchdog: total_cow_pages: 0";

using vekfx::spin_holder;

class WatchdogTest : public vekfx::DriverTest {
protected:
	int list_locks()
	{
		int32_t unused = 0;
		return ioctl(VEK_IOCTL_LIST_LOCKS, &unused);
	}
	// A listing, and the lines of its pass alone: the next listing's header shows only
	// once the watchdog is back in its loop, so everything between the two is this pass.
	std::vector<host::dmesg_record> list_pass()
	{
		host::dmesg_clear();
		EXPECT_EQ(0, list_locks());
		EXPECT_TRUE(eventually([&] { return exact_count(kHeader) == 1; }));
		EXPECT_EQ(0, list_locks());
		EXPECT_TRUE(eventually([&] { return exact_count(kHeader) == 2; }));
		std::vector<host::dmesg_record> pass;
		int headers = 0;
		for (const auto &r : host::dmesg_records()) {
			if (r.text == kHeader && ++headers == 2)
				break;
			if (headers == 1)	/* lines of an earlier pass come before */
				pass.push_back(r);
		}
		return pass;
	}
	static int count_in(const std::vector<host::dmesg_record> &pass, const std::string &text,
			    bool exact = true)
	{
		int n = 0;
		for (const auto &r : pass)
			if (exact ? r.text == text : r.text.find(text) != std::string::npos)
				n++;
		return n;
	}
	static std::string show(const std::vector<host::dmesg_record> &pass)
	{
		std::string s;
		for (const auto &r : pass)
			s += "<" + std::to_string(r.level) + ">" + r.text + "\n";
		return s;
	}
	struct cow_session *session(int id)
	{
		struct cow_session *cs, *found = nullptr;
		down(&session_list_lock);
		list_for_each_entry(cs, &session_list_head, list)
			if (cs->clone_id == id)
				found = cs;
		up(&session_list_lock);
		return found;
	}
	std::string line(const char *fmt, int id)
	{
		char buf[160];
		snprintf(buf, sizeof(buf), fmt, VEK_VERSION_BUILD, id);
		return buf;
	}
	// The watchdog sleeps between the tries of a probe (10 ms, 11 jiffies at most).
	static bool in_a_probe(pid_t wd)
	{
		return eventually([&] {
			long left = vekfx::wait_sleeping(wd);
			return left >= 0 && left <= 11;
		});
	}
	// A session without workers: nothing in the driver gives heartbeats on its own.
	int quiet_session()
	{
		int id = start(part1, dir() + "/w");
		EXPECT_GT(id, 0) << vekfx::dmesg_text();
		return id;
	}
};

TEST_F(WatchdogTest, RunsFromLoadToUnloadAheadOfOtherTasks)
{
	EXPECT_EQ(1, exact_count("vek: INFO: vek_watchdog: started.", 6));
	ASSERT_NE(nullptr, lock_debug_thread_task);
	host::task_info ti;
	ASSERT_TRUE(host::task_info_of(lock_debug_thread_task->pid, &ti));
	EXPECT_EQ("vek_watchdog", ti.comm);
	EXPECT_EQ(-20, ti.nice);
	EXPECT_NE(0u, ti.flags & PF_NOFREEZE);

	ASSERT_EQ(0, unload());
	int stopped = index_of("vek: INFO: vek_watchdog: stopped.");
	int unloaded = index_of("driver unloaded.");
	ASSERT_GE(stopped, 0) << vekfx::dmesg_text();
	EXPECT_LT(stopped, unloaded) << "the thread ends before the unload goes on";
}

TEST_F(WatchdogTest, ListingWithNoSessionLogsTheHeaderLinesOnly)
{
	auto pass = list_pass();
	ASSERT_EQ(2u, pass.size()) << show(pass);
	EXPECT_EQ(kHeader, pass[0].text);
	EXPECT_EQ(3, pass[0].level);
	EXPECT_EQ(kPages, pass[1].text);
	EXPECT_EQ(3, pass[1].level);
}

TEST_F(WatchdogTest, ListingShowsQueueZeroAndStartedQueuesAndNoLockWhenNoneIsHeld)
{
	int id = start(part1, dir() + "/w");
	ASSERT_GT(id, 0);
	vekfx::io_workers w(id, 2, dir());
	ASSERT_EQ(0, w.wait_first());
	// Both workers have claimed their queues (0 and 1).
	struct cow_session *cs = session(id);
	ASSERT_NE(nullptr, cs);
	ASSERT_TRUE(eventually([&] {
		return atomic_read(&cs->thread_info->io_threads_started) == 2;
	}));
	atomic_set(&cs->thread_info->io_threads[1]->pending_io, 4);

	auto pass = list_pass();
	EXPECT_EQ(1, count_in(pass, "vek: ERROR: vek_watchdog: io_thread[0]->pendign_io: 0"));
	EXPECT_EQ(1, count_in(pass, "vek: ERROR: vek_watchdog: io_thread[0]->pending_anon_io: 0"));
	EXPECT_EQ(1, count_in(pass, "vek: ERROR: vek_watchdog: io_thread[1]->pendign_io: 4"))
		<< show(pass);
	EXPECT_EQ(1, count_in(pass, "vek: ERROR: vek_watchdog: io_thread[1]->pending_anon_io: 0"));
	EXPECT_EQ(0, count_in(pass, "io_thread[2]", false)) << "queues never started are skipped";
	EXPECT_EQ(0, count_in(pass, "LOCKED", false)) << show(pass);
	// Workers may log beside the pass; only the watchdog's own lines are counted.
	EXPECT_EQ(5, count_in(pass, "vek_watchdog", false)) << show(pass);
	atomic_set(&cs->thread_info->io_threads[1]->pending_io, 0);

	ASSERT_EQ(0, stop(id));
	w.join();
}

// The completions of snapshot and source IO take session locks in interrupt context; the
// probes of a pass running beside them must hold those locks with interrupts off, or the
// platform's lock-state check aborts the test.
TEST_F(WatchdogTest, ListingBesideSnapshotAndSourceIoProbesWithInterruptsOff)
{
	int id = start(part1, dir() + "/w");
	ASSERT_GT(id, 0);
	vekfx::io_workers w(id, 2, dir());
	ASSERT_EQ(0, w.wait_first());
	auto before = read_snapshot(id, 0, 3 * 65536);	/* from the source: read interlocks */
	write_source(part1, 65536, pattern(4096, 5));	/* chunk 1 copied out */
	// Stored before the pass: a worker still storing it holds the chunk's lock, which the
	// probes rightly report however long a slow machine keeps the worker there.
	struct cow_session *cs = session(id);
	ASSERT_NE(nullptr, cs);
	ASSERT_TRUE(eventually([&] {
		struct if_chunk *ic = get_and_inc_if(cs, 1);
		if (ic)
			put_and_dec_if(cs, ic);
		return ic == nullptr;
	})) << "chunk 1 stored";
	auto pass = list_pass();
	EXPECT_EQ(0, count_in(pass, "LOCKED", false)) << show(pass);
	EXPECT_EQ(before, read_snapshot(id, 0, 3 * 65536)) << "chunk 1 from the backing store";
	pass = list_pass();
	EXPECT_EQ(0, count_in(pass, "LOCKED", false)) << show(pass);
	ASSERT_EQ(0, stop(id));
	w.join();
}

TEST_F(WatchdogTest, ListingReportsEveryHeldGlobalAndSessionLock)
{
	int id = quiet_session();
	struct cow_session *cs = session(id);
	ASSERT_NE(nullptr, cs);
	host::dmesg_clear();

	down(&session_work_lock);
	down(&workLock);
	{
		spin_holder rl(&record_list_lock);
		spin_holder cl(&cs->chunk_lock);
		spin_holder tl(&cs->thread_info->io_threads_lock);
		ASSERT_EQ(0, list_locks());
		EXPECT_TRUE(wait_line(line("vek_watchdog[%d]: LOCKED(session_work_lock) ", id)));
		EXPECT_TRUE(wait_line(line("vek_watchdog[%d]: LOCKED(workLock) ", id)));
		EXPECT_TRUE(wait_line(line("vek_watchdog[%d] LOCKED(record_list_lock) ", id)));
		EXPECT_TRUE(wait_line(line("vek_watchdog[%d] LOCKED(cs->chunk_lock) id(%d)", id)));
		EXPECT_TRUE(wait_line(
			line("vek_watchdog[%d] LOCKED(cs->thread_info->io_threads_lock) id(%d)", id)))
			<< vekfx::dmesg_text();
	}
	EXPECT_EQ(0, vekfx::dmesg_count("LOCKED(cs->write_list_lock)")) << "it was free";
	// A quiet-period pass may follow before the locks are given back; each line is an error.
	int errors = exact_count(line("vek_watchdog[%d]: LOCKED(workLock) ", id), 3);
	EXPECT_GE(errors, 1);
	EXPECT_EQ(errors, exact_count(line("vek_watchdog[%d]: LOCKED(workLock) ", id)));
	up(&workLock);
	up(&session_work_lock);

	auto pass = list_pass();
	EXPECT_EQ(0, count_in(pass, "LOCKED", false)) << "a free lock is not reported";
}

// A stop holds workLock while it waits for its session's users. A pass that pinned the
// sessions (each pin is a user) before probing workLock kept the stop waiting for the
// probe to give up, and the probe reported the stop's workLock as stuck. The clock stands
// still, so a probe never gives up: the stop must end anyway.
TEST_F(WatchdogTest, AStopDuringAPassWaitsForNoProbe)
{
	int id = quiet_session();
	ASSERT_NE(nullptr, lock_debug_thread_task);
	pid_t wd = lock_debug_thread_task->pid;
	host::set_clock_speed(0);
	down(&workLock);
	ASSERT_EQ(0, list_locks());
	// In its probe of workLock.
	ASSERT_TRUE(in_a_probe(wd));
	int rc = -2;
	EXPECT_TRUE(vekfx::returns_on_stopped_clock([&] {
		std::thread release([&] {
			while (vekfx::semaphore_waiters(&workLock) == 0)
				std::this_thread::yield();
			up(&workLock);	// to the stop, which waits for it
		});
		rc = stop(id);
		release.join();
	})) << "the stop waited for the watchdog's probe";
	EXPECT_EQ(0, rc);
	host::set_clock_speed(clock_speed);
	EXPECT_EQ(0, session_count());
}

// A pass that pinned every session before probing the first kept the stop of a second
// session waiting while the first one's held lock was probed. The clock stands still, so
// that probe never gives up: the stop of the other session must end anyway.
TEST_F(WatchdogTest, AStopWaitsForNoProbeOfAnotherSession)
{
	int held_id = quiet_session();
	int other = start(part2, dir() + "/other");
	ASSERT_GT(other, 0) << vekfx::dmesg_text();
	struct cow_session *held = session(held_id);
	ASSERT_NE(nullptr, held);
	ASSERT_NE(nullptr, lock_debug_thread_task);
	pid_t wd = lock_debug_thread_task->pid;
	host::set_clock_speed(0);
	{
		spin_holder cl(&held->chunk_lock);
		ASSERT_EQ(0, list_locks());
		// In its probe of the first session's chunk lock: the global locks are free.
		ASSERT_TRUE(in_a_probe(wd));
		int rc = -2;
		EXPECT_TRUE(vekfx::returns_on_stopped_clock([&] { rc = stop(other); }))
			<< "the stop waited for the probe of another session";
		EXPECT_EQ(0, rc);
	}
	host::set_clock_speed(clock_speed);
	EXPECT_EQ(0, stop(held_id));
	EXPECT_EQ(0, session_count());
}

// The shutdown command stopped each session while it was still listed. A pass could pin
// it after the stop had waited for its users, and drop that pin after the session was
// freed. A user reference held by the test keeps the stop waiting: a pass meanwhile must
// not touch the session.
TEST_F(WatchdogTest, AShutdownStoppingASessionLeavesItToNoPass)
{
	int id = quiet_session();
	struct cow_session *cs = session(id);
	ASSERT_NE(nullptr, cs);
	inc_users(cs);
	std::atomic<int> rc{-2};
	std::thread shutdown([&] { rc = ioctl(VEK_IOCTL_UNLOAD, nullptr); });
	EXPECT_TRUE(eventually([&] { return atomic_read(&cs->sd) > 0; }));
	auto pass = list_pass();
	EXPECT_EQ(0, count_in(pass, "->pendign_io", false)) << show(pass);
	EXPECT_EQ(-2, rc.load()) << "the stop waits for the test's reference";
	dec_users(cs);
	shutdown.join();
	EXPECT_EQ(0, rc.load());
	EXPECT_EQ(0, session_count());
}

TEST_F(WatchdogTest, HeldWriteListLockIsReportedForTheSessionAndPerChunk)
{
	int id = quiet_session();
	struct cow_session *cs = session(id);
	ASSERT_NE(nullptr, cs);
	host::dmesg_clear();
	{
		spin_holder wl(&cs->write_list_lock);
		ASSERT_EQ(0, list_locks());
		EXPECT_TRUE(wait_line(line("vek_watchdog[%d] LOCKED(cs->write_list_lock) id(%d)", id)));
		char chunk0[128];
		snprintf(chunk0, sizeof(chunk0),
			 "vek: ERROR: could not get write_list_lock for chunk: 0 on session: %d", id);
		EXPECT_TRUE(wait_line(chunk0)) << vekfx::dmesg_text();
	}
	auto pass = list_pass();
	EXPECT_EQ(0, count_in(pass, "write_list_lock", false)) << show(pass);
}

// With a session's locks really held, a pass probes each for 6 s, and its write_list_lock
// once more per chunk: days for one session. The unload stops the watchdog first and must
// not wait for that, nor for the probe under way. The clock stands still, so a probe never
// gives up by itself: the stop must end anyway.
TEST_F(WatchdogTest, StoppingTheWatchdogEndsAPassStuckOnHeldLocks)
{
	int id = quiet_session();
	struct cow_session *cs = session(id);
	ASSERT_NE(nullptr, cs);
	ASSERT_NE(nullptr, lock_debug_thread_task);
	pid_t wd = lock_debug_thread_task->pid;
	host::set_clock_speed(0);
	{
		spin_holder cl(&cs->chunk_lock);
		spin_holder wl(&cs->write_list_lock);
		host::dmesg_clear();
		ASSERT_EQ(0, list_locks());
		// In its probe of the chunk lock: the global locks are free.
		ASSERT_TRUE(in_a_probe(wd));
		EXPECT_TRUE(vekfx::returns_on_stopped_clock([&] { kthread_stop(lock_debug_thread_task); }))
			<< "the stop waited for the probes of held locks";
	}
	host::set_clock_speed(clock_speed);
	lock_debug_thread_task = NULL;
	EXPECT_TRUE(wait_line("vek: INFO: vek_watchdog: stopped."));
	EXPECT_EQ(0, vekfx::dmesg_count("LOCKED(cs->chunk_lock)")) << "a probe given up is no report";
	EXPECT_EQ(0, stop(id));
}

TEST_F(WatchdogTest, InFlightChunkWithHeldSemaphoreAndReadInterlockAreReported)
{
	int id = quiet_session();
	struct cow_session *cs = session(id);
	ASSERT_NE(nullptr, cs);

	struct if_chunk *ic = alloc_if_chunk(5);
	ASSERT_NE(nullptr, ic);
	up(&ic->virt_lock);			// only real_lock stays taken
	add_and_inc_if(cs, ic);

	struct rb_wl *rbwl = alloc_rb_wl();
	ASSERT_NE(nullptr, rbwl);
	memset((void *)rbwl, 0, sizeof(*rbwl));
	rbwl->n = 9;
	rbwl->reads = 1;
	rbwl->writes = 2;
	init_waitqueue_head(&rbwl->wait);
	unsigned long flags;
	spin_lock_irqsave(&cs->write_list_lock, flags);
	rb_instert_wl(&cs->write_locks, rbwl);
	spin_unlock_irqrestore(&cs->write_list_lock, flags);
	auto pass = list_pass();
	char buf[160];
	snprintf(buf, sizeof(buf), "vek_watchdog[%d]: LOCKED(ic->real_lock) id(%d), chunk(5)",
		 VEK_VERSION_BUILD, id);
	EXPECT_EQ(1, count_in(pass, buf)) << show(pass);
	EXPECT_EQ(0, count_in(pass, "LOCKED(ic->virt_lock)", false));
	snprintf(buf, sizeof(buf),
		 "vek: ERROR: found rbwl in locks on session %d for chunk 9: writes(2) reads(1)", id);
	EXPECT_EQ(1, count_in(pass, buf));
	EXPECT_EQ(0, count_in(pass, "found rbwl in locked", false));
	EXPECT_TRUE(eventually([&] { return atomic_read(&ic->count) == 1; }))
		<< "the watchdog gives its reference back";

	spin_lock_irqsave(&cs->write_list_lock, flags);
	rb_erase(&rbwl->node, &cs->write_locks);
	spin_unlock_irqrestore(&cs->write_list_lock, flags);
	put_rbwl(rbwl);
	up(&ic->real_lock);
	put_and_dec_if(cs, ic);
}

TEST_F(WatchdogTest, SemaphoreHeldThroughAQuietPeriodIsReportedWithoutAsking)
{
	int id = quiet_session();
	host::dmesg_clear();
	down(&session_work_lock);
	bool seen = wait_line(line("vek_watchdog[%d]: LOCKED(session_work_lock) ", id));
	up(&session_work_lock);
	EXPECT_TRUE(seen) << vekfx::dmesg_text();
	EXPECT_EQ(0, exact_count(kHeader)) << "a quiet-period pass is no listing";
	EXPECT_EQ(0, vekfx::dmesg_count("io_thread["));
}

TEST_F(WatchdogTest, HeartbeatsPostponeTheProbeUntilTheyStop)
{
	int id = quiet_session();
	ASSERT_NE(nullptr, lock_debug_thread_task);
	pid_t wd = lock_debug_thread_task->pid;
	host::dmesg_clear();
	down(&workLock);
	// The clock runs only from one sleep's end to the next, so the 10 s between heartbeats
	// are never longer however late the heartbeat thread runs.
	host::set_clock_speed(0);
	unsigned long t0 = jiffies;
	std::atomic<pid_t> beater{0};
	std::thread beat([&] {
		beater = current->pid;
		// 10 s of platform time between heartbeats, well inside the 60 s period.
		for (int i = 0; i < 20; i++) {
			lock_heartbeat();
			msleep(10000);
		}
	});
	while (!beater)
		std::this_thread::yield();
	while (vekfx::advance_to_next_timeout({beater, wd}) >= 0)
		;
	beat.join();
	EXPECT_GE(jiffies - t0, 200000u) << "200 s of platform time with a heartbeat every 10 s";
	EXPECT_EQ(0, vekfx::dmesg_count("LOCKED")) << vekfx::dmesg_text();

	host::set_clock_speed(clock_speed);
	EXPECT_TRUE(eventually([] { return atomic_read(&lock_wait_count) == 0; }))
		<< "each heartbeat is consumed";
	bool seen = wait_line(line("vek_watchdog[%d]: LOCKED(workLock) ", id));
	up(&workLock);
	EXPECT_TRUE(seen) << vekfx::dmesg_text();
}

TEST_F(WatchdogTest, AStreamOfHeartbeatsCostsTheWatchdogFewWakeUps)
{
	quiet_session();
	ASSERT_NE(nullptr, lock_debug_thread_task);
	pid_t wd = lock_debug_thread_task->pid;
	// The clock stands still during the stream: the watchdog's rest after the first
	// heartbeat lasts through it, whatever pace the stream keeps in real time.
	ASSERT_TRUE(eventually([] { return atomic_read(&lock_wait_count) == 0; }))
		<< "the heartbeats of the start are consumed";
	host::set_clock_speed(0);
	EXPECT_GT(vekfx::wait_sleeping(wd), 500) << "back in its 60 s wait";
	unsigned long before = __atomic_load_n(&lock_debug_thread_task->nvcsw, __ATOMIC_RELAXED);
	// 4000 heartbeats over about 200 ms, one every 50 us, as a busy write path gives them.
	auto next = std::chrono::steady_clock::now();
	for (int i = 0; i < 4000; i++) {
		lock_heartbeat();
		next += std::chrono::microseconds(50);
		while (std::chrono::steady_clock::now() < next)
			;
	}
	// However late the watchdog ran, it woke for the first heartbeat and is resting again.
	EXPECT_TRUE(vekfx::eventually([&] {
		host::task_info t{};
		return host::task_info_of(wd, &t) && t.sleeping && t.sleep_left <= 500 &&
		       __atomic_load_n(&lock_debug_thread_task->nvcsw, __ATOMIC_RELAXED) > before;
	}, 20000)) << "the watchdog never went back to its rest";
	unsigned long sleeps =
		__atomic_load_n(&lock_debug_thread_task->nvcsw, __ATOMIC_RELAXED) - before;
	EXPECT_GT(sleeps, 0u);
	EXPECT_LE(sleeps, 2u) << "the watchdog woke for heartbeats during its rest";
	EXPECT_EQ(500, vekfx::advance_to_next_timeout({wd})) << "the rest ends";
	EXPECT_TRUE(eventually([] { return atomic_read(&lock_wait_count) == 0; }))
		<< "every heartbeat is consumed";
	EXPECT_EQ(0, vekfx::dmesg_count("LOCKED")) << vekfx::dmesg_text();
}

TEST_F(WatchdogTest, StraySignalNeitherStopsNorSpinsTheWatchdog)
{
	int id = quiet_session();
	ASSERT_NE(nullptr, lock_debug_thread_task);
	pid_t wd = lock_debug_thread_task->pid;
	struct sighand_struct *sh = ((struct task_struct *)current)->sighand;
	spin_lock_irq(&sh->siglock);
	sh->action[SIGTERM - 1].sa.sa_handler = SIG_DFL;
	spin_unlock_irq(&sh->siglock);
	ASSERT_EQ(1, host::signal_task(wd, SIGTERM));
	EXPECT_TRUE(eventually([&] { return !host::signal_pending(wd); }))
		<< "the watchdog drops a signal meant for nobody";
	EXPECT_EQ(0, atomic_read(&lock_wait_count)) << "a signal is no heartbeat";

	host::dmesg_clear();
	down(&session_work_lock);
	bool seen = wait_line(line("vek_watchdog[%d]: LOCKED(session_work_lock) ", id));
	up(&session_work_lock);
	EXPECT_TRUE(seen) << "the quiet period still ends\n" << vekfx::dmesg_text();
}

TEST_F(WatchdogTest, HeldSessionListLockEndsThePassEarly)
{
	quiet_session();
	host::dmesg_clear();
	down(&session_list_lock);
	ASSERT_EQ(0, list_locks());
	bool seen = wait_line("vek: ERROR: vek_watchdog: could not get session_list_lock!");
	up(&session_list_lock);
	EXPECT_TRUE(seen) << vekfx::dmesg_text();
	auto pass = list_pass();
	EXPECT_EQ(0, count_in(pass, "session_list_lock", false)) << show(pass);
}

struct stepped_probe {
	int result;
	unsigned long spent;	/* platform ms */
	unsigned long sleeps;
};

// Runs a probe on a thread of its own with the platform clock stopped, moving it on 1 ms
// whenever the prober sleeps: the probe takes exactly the platform time its sleeps ask for,
// however late the machine runs each thread. at(ms) runs on this thread at each step.
stepped_probe probe_on_stopped_clock(const std::function<int()> &probe,
				     const std::function<void(unsigned long)> &at = {})
{
	host::set_clock_speed(0);
	std::atomic<struct task_struct *> prober{nullptr};
	std::atomic<bool> done{false};
	stepped_probe r{};
	unsigned long t0 = jiffies, nvcsw0 = 0;
	std::thread t([&] {
		struct task_struct *me = current;

		nvcsw0 = __atomic_load_n(&me->nvcsw, __ATOMIC_RELAXED);
		prober = me;
		r.result = probe();
		r.sleeps = __atomic_load_n(&me->nvcsw, __ATOMIC_RELAXED) - nvcsw0;
		done = true;
	});
	while (!prober)
		std::this_thread::yield();
	while (!done) {
		host::task_info ti{};
		if (!host::task_info_of(prober.load()->pid, &ti) || !ti.sleeping) {
			std::this_thread::yield();
			continue;
		}
		if (at)
			at(jiffies - t0);
		host::advance_clock(1);
	}
	t.join();
	r.spent = jiffies - t0;
	return r;
}

TEST_F(WatchdogTest, ProbesGiveUpAfterSixHundredTriesTenMillisecondsApart)
{
	struct semaphore sem;
	sema_init(&sem, 0);
	// 600 tries, each failure followed by a 10 ms sleep (11 jiffies: msleep rounds up).
	stepped_probe p = probe_on_stopped_clock([&] { return lock_debug_sem_lock(&sem); });
	EXPECT_EQ(1, p.result);
	EXPECT_EQ(600u, p.sleeps);
	EXPECT_GE(p.spent, 6000u);
	EXPECT_LE(p.spent, 6600u) << "about 6 s, not more";

	up(&sem);
	EXPECT_EQ(0, lock_debug_sem_lock(&sem));
	EXPECT_EQ(1, down_trylock(&sem)) << "the caller holds it after a successful probe";
	p = probe_on_stopped_clock([&] { return lock_debug_sem_lock(&sem); },
				   [&](unsigned long ms) {
					   if (ms == 1000)
						   up(&sem);
				   });
	EXPECT_EQ(0, p.result) << "had once it is given back";
	EXPECT_GE(p.spent, 1000u);
	EXPECT_LE(p.spent, 1011u) << "at the first try after it was given back";
	up(&sem);

	spinlock_t lock;
	spin_lock_init(&lock);
	{
		spin_holder h(&lock);
		p = probe_on_stopped_clock([&] {
			int r = lock_debug_lock(&lock);
			EXPECT_FALSE(irqs_disabled()) << "a probe that gives up leaves interrupts on";
			return r;
		});
		EXPECT_EQ(1, p.result);
		EXPECT_EQ(600u, p.sleeps);
		EXPECT_GE(p.spent, 6000u);
		EXPECT_LE(p.spent, 6600u);
	}
	EXPECT_EQ(0, lock_debug_lock(&lock));
	EXPECT_TRUE(irqs_disabled()) << "the lock is held with interrupts off";
	spin_unlock_irq(&lock);
	EXPECT_FALSE(irqs_disabled());
}

class WatchdogLessLoad : public vekfx::DriverTest {
protected:
	WatchdogLessLoad() { load_module = false; }
};

TEST_F(WatchdogLessLoad, LoadGoesOnWithoutAWatchdogAndUnloadDoesNotStopOne)
{
	host::fault_fail_next("kthread_create");
	ASSERT_EQ(0, load());
	EXPECT_TRUE(vekfx::dmesg_has("vek: ERROR: vek watchdog failed to start!"));
	EXPECT_EQ(nullptr, lock_debug_thread_task);
	EXPECT_EQ(0, vekfx::dmesg_count("vek_watchdog: started."));
	ASSERT_EQ(0, unload());
	EXPECT_EQ(0, vekfx::dmesg_count("vek_watchdog: stopped."));
}

}  // namespace
