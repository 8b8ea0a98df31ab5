// Serving one queued chunk, and failing the queues of a session without workers, on a
// bare session record with records from the module's own caches.
#include "agent_env.h"
#include "driver_fixture.h"
#include "unit_env.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace vek_test;

namespace {

std::atomic<int> g_calls{0};
std::atomic<int> g_err{1};

void note_end(struct file_copy *fc, int err)
{
	g_calls++;
	g_err = err;
}

class Serve : public vekfx::DriverTest {
protected:
	cow_session *cs = nullptr;
	cow_chunk cc{};
	std::vector<struct bio *> bios;

	Serve() { make_disk = false; }
	void SetUp() override
	{
		DriverTest::SetUp();
		cs = make_bare_session();
		atomic_set(&cs->thread_info->io_threads_started, 1);
		g_calls = 0;
		g_err = 1;
	}
	void TearDown() override
	{
		for (struct bio *b : bios)
			free_page_bio(b);
		free_bare_session(cs);
		DriverTest::TearDown();
	}
	// An anonymous in-flight record with n one-page write transfers for chunk c.
	if_chunk *anon_chunk(sector_t c, int n)
	{
		cc.thread = -1;
		cc.old_chunk = c;
		if_chunk *ic = alloc_anon_if_chunk(&cc);
		for (int i = 0; i < n; i++) {
			struct bio *bio = page_bio(c * 128 + 8 * i, 1, (unsigned char)(0x10 + i));
			bios.push_back(bio);
			struct file_copy *fc = alloc_file_copy(cs);
			init_fc(fc, &cc, bio, cs->chunk_size, 0, cs->sector_shift, note_end, 1);
			list_add_tail(&fc->fc_list, &ic->fc_list_head);
		}
		return ic;
	}
};

TEST_F(Serve, ServingAChunkStoresItsTransfersAndMarksItProcessed)
{
	temp_file f;
	std::vector<unsigned char> mem(65536);
	user_buffer ub{};
	ub.addr = (unsigned long)mem.data();
	ub.size = 4096;	// one segment per window: each goes straight to the file

	if_chunk *ic = anon_chunk(4, 3);
	atomic_inc(&ic->count);	// the queue's reference; ours is dropped below
	submit_ic_file_io(ic, cs);
	ASSERT_EQ(atomic_read(&cs->fc_count), 3);

	struct if_chunk *queued = list_first_entry(&cs->thread_info->io_threads[0]->io_list,
						   struct if_chunk, submit_list);
	ASSERT_EQ(queued, ic);
	do_ic_io(cs, ic, &ub, f.file);
	EXPECT_EQ(g_calls, 3);
	EXPECT_EQ(g_err, 0);
	EXPECT_EQ(atomic_read(&cs->fc_count), 0) << "every transfer released";
	EXPECT_EQ(atomic_read(&ic->processed), 1);
	EXPECT_TRUE(list_empty(&ic->fc_list_head));
	EXPECT_EQ(down_trylock(&ic->virt_lock), 0) << "virt_lock given back";
	up(&ic->virt_lock);
	std::vector<unsigned char> got = f.bytes();
	ASSERT_EQ(got.size(), 3u * 4096);
	EXPECT_EQ(got[0], 0x10);
	EXPECT_EQ(got[8191], 0x11);
	EXPECT_EQ(got[8192], 0x12);
	put_and_dec_if(cs, ic);
}

TEST_F(Serve, CleanupTakesEachChunkLockOnlyAfterLeavingTheQueueLock)
{
	atomic_set(&cs->thread_info->io_threads_started, 2);
	if_chunk *held = anon_chunk(0, 2);	// chunk 0: slot 0
	down(&held->virt_lock);			// a reader still has it
	submit_ic_file_io(held, cs);
	cow_chunk other_cc{};
	other_cc.thread = -1;
	other_cc.old_chunk = 1;			// slot 1
	if_chunk *other = alloc_anon_if_chunk(&other_cc);
	struct bio *bio = page_bio(128, 1, 0x33);
	bios.push_back(bio);
	struct file_copy *fc = alloc_file_copy(cs);
	init_fc(fc, &other_cc, bio, cs->chunk_size, 0, cs->sector_shift, note_end, 1);
	list_add_tail(&fc->fc_list, &other->fc_list_head);
	submit_ic_file_io(other, cs);

	std::atomic<bool> finished{false};
	std::thread cleaner([&] {
		runIOCleanup(cs);
		finished = true;
	});
	auto queued = [&](int slot) {
		unsigned long flags;
		spin_lock_irqsave(&cs->thread_info->io_threads_lock, flags);
		bool any = !list_empty(&cs->thread_info->io_threads[slot]->io_list);
		spin_unlock_irqrestore(&cs->thread_info->io_threads_lock, flags);
		return any;
	};
	ASSERT_TRUE(eventually([&] { return !queued(0) && !queued(1); })) << "both queues detached";
	std::this_thread::sleep_for(std::chrono::milliseconds(20));
	EXPECT_FALSE(finished) << "it waits for the held chunk";

	// The queue lock is free while the cleaner sleeps on virt_lock: new work still queues.
	cow_chunk late_cc{};
	late_cc.thread = -1;
	late_cc.old_chunk = 2;
	if_chunk *late = alloc_anon_if_chunk(&late_cc);
	submit_ic_file_io(late, cs);
	EXPECT_TRUE(queued(0));

	up(&held->virt_lock);
	cleaner.join();
	EXPECT_EQ(g_calls, 3);
	EXPECT_EQ(g_err, -EIO);
	EXPECT_EQ(atomic_read(&cs->fc_count), 0);
	EXPECT_EQ(atomic_read(&cs->thread_info->io_threads[0]->pending_anon_io), 1)
		<< "the detached records no longer count; the late one does";
	EXPECT_EQ(atomic_read(&cs->thread_info->io_threads[1]->pending_anon_io), 0);

	// The late record arrived after the clean-up: a second pass takes it.
	runIOCleanup(cs);
	EXPECT_FALSE(queued(0));
	EXPECT_EQ(atomic_read(&cs->thread_info->io_threads[0]->pending_anon_io), 0);
}

}  // namespace
