// Interleavings around a session's start and its error state, made with the platform's own
// primitives: workLock hands itself on to its waiters in order, and a held spinlock stops a
// task at exactly that lock.
#include "driver_fixture.h"

#include "cow.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <sys/mman.h>
#include <thread>

using namespace vekfx;

namespace {

using vekfx::eventually;

int waiters(struct semaphore *sem) { return vekfx::semaphore_waiters(sem); }

class SessionRace : public DriverTest {
protected:
	cow_session *listed(int id)
	{
		cow_session *cs;
		down(&workLock);
		cs = get_cow_session_by_id(id);
		up(&workLock);
		return cs;
	}
};

}  // namespace

/*
 * A start whose reply cannot be delivered is undone. Between the start and its undo, a stop
 * that guessed the new id (1) and a new start on the other partition may have had workLock;
 * the new start's record can then be the very block the stopped session gave back. The undo
 * must leave that session alone.
 *
 * The test holds workLock while the start and a second task queue up behind it, in that
 * order. The second task does, under workLock, what the stop command and a start do there;
 * on one task, so that the new session's record is the block the stopped one returned, as a
 * slab hands out the object freed last.
 */
TEST_F(SessionRace, UndoOfAnUndeliveredStartLeavesASessionStartedMeanwhileAlone)
{
	size_t len = (sizeof(snap_shot_request) + 4095) & ~4095ul;
	void *mem = mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
	ASSERT_NE(MAP_FAILED, mem);
	auto *req = static_cast<snap_shot_request *>(mem);
	*req = make_start_request(part1, "/b/lost");
	ASSERT_EQ(0, mprotect(mem, len, PROT_READ));	// read in, never written back
	snap_shot_request other = make_start_request(part2, "/b/other");

	down(&workLock);
	std::atomic<int> rc{-2};
	std::thread starter([&] { rc = ioctl(VEK_IOCTL_START_VK2, req); });
	ASSERT_TRUE(eventually([] { return waiters(&workLock) == 1; }));

	cow_session *stopped = nullptr, *started = nullptr;
	int started_id = 0;
	std::thread meanwhile([&] {
		down(&workLock);
		stopped = get_cow_session_by_id(1);	// the stop of a guessed id
		if (stopped) {
			down(&session_list_lock);
			list_del_init(&stopped->list);
			up(&session_list_lock);
			stop_cow_session(stopped);
			put_cow_session(stopped);
		}
		started = new_cow_session(&other);	// a new start
		if (started && start_cow_session(started) == 0)
			started_id = started->clone_id;
		up(&workLock);
	});
	ASSERT_TRUE(eventually([] { return waiters(&workLock) == 2; }));
	up(&workLock);
	starter.join();
	meanwhile.join();
	munmap(mem, len);

	EXPECT_EQ(-1, rc);
	EXPECT_TRUE(dmesg_has("vek: ERROR: Could not copy snapshot request to user space."));
	ASSERT_GT(started_id, 0) << dmesg_text();
	EXPECT_EQ(nullptr, stopped) << "another command got workLock while the undone session "
				       "was still listed";
	EXPECT_EQ(1, session_count()) << "the undo took away the session started meanwhile";
	EXPECT_EQ(started, listed(started_id));
	auto l = list(2);
	EXPECT_EQ(started_id, l[0].id);
}

/*
 * An invalidation publishes its reason and the error flag together: whoever sees the flag
 * (the session list, the request paths) finds the text too. The test holds users_lock, which
 * the error query reads the text under; the invalidating task stops at that lock, wherever
 * it takes it, and what it has published by then is what a query sees.
 */
TEST_F(SessionRace, ErrorFlagIsNeverSeenWithoutItsText)
{
	int id = start(part1, "/b/err");
	ASSERT_GT(id, 0);
	// No watchdog pass may come while users_lock is held: its pin would wait there under
	// session_list_lock, and the listing below with it.
	host::set_clock_speed(0);
	cow_session *cs = listed(id);
	ASSERT_NE(nullptr, cs);

	auto held = std::make_unique<spin_holder>(&cs->users_lock);
	std::thread inv([&] { invalidate_session(cs, "NO COPY"); });
	// The lock word reads 2 once a waiter has parked on it.
	ASSERT_TRUE(eventually([&] {
		return __atomic_load_n(&cs->users_lock.raw.locked, __ATOMIC_SEQ_CST) == 2;
	}));
	auto l = list(1);
	std::string text(cs->errorMsg);	// its writer needs the lock the test holds
	EXPECT_TRUE(l[0].error == 0 || !text.empty())
		<< "the list reports error " << l[0].error << " while the text is \"" << text << "\"";
	EXPECT_EQ(l[0].error != 0, is_error(cs));
	held.reset();
	inv.join();

	EXPECT_EQ("NO COPY", get_string_cmd(VEK_IOCTL_GET_SESSION_ERROR, id));
	EXPECT_NE(0, list(1)[0].error);
	invalidate_session(cs, "FILE IO ERROR");
	EXPECT_EQ("NO COPY", get_string_cmd(VEK_IOCTL_GET_SESSION_ERROR, id)) << "first reason kept";
	host::set_clock_speed(clock_speed);
	ASSERT_EQ(0, stop(id));
}
