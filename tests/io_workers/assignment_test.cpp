// Chunk-to-worker assignment and slots, on a bare session record.
#include "unit_env.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace vek_test;

namespace {

class Assignment : public ::testing::Test {
protected:
	cow_session *cs = nullptr;
	std::vector<if_chunk *> ics;
	std::vector<cow_chunk *> ccs;

	void SetUp() override { cs = make_bare_session(); }
	void TearDown() override
	{
		for (if_chunk *ic : ics)
			kfree(ic);
		for (cow_chunk *cc : ccs)
			kfree(cc);
		free_bare_session(cs);
	}
	void workers(int n) { atomic_set(&cs->thread_info->io_threads_started, n); }
	cow_chunk *chunk(sector_t c, sector_t provisional = 99)
	{
		cow_chunk *cc = (cow_chunk *)kzalloc(sizeof(*cc), GFP_KERNEL);
		cc->thread = -1;
		cc->old_chunk = c;
		cc->new_chunk = provisional;
		ccs.push_back(cc);
		return cc;
	}
	if_chunk *submit(cow_chunk *cc, int anon = 0)
	{
		if_chunk *ic = (if_chunk *)kzalloc(sizeof(*ic), GFP_KERNEL);
		ic->chunk = cc->old_chunk;
		ic->cc = cc;
		ic->anon = anon;
		INIT_LIST_HEAD(&ic->fc_list_head);
		ics.push_back(ic);
		submit_ic_file_io(ic, cs);
		return ic;
	}
	io_thread *slot(int i) { return cs->thread_info->io_threads[i]; }
	loff_t file_offset(cow_chunk *cc, loff_t disk_start)
	{
		file_copy fc{};
		fc.cc = cc;
		fc.disk_start = disk_start;
		calc_fc_file_start(&fc, cs->chunk_size);
		return fc.file_start;
	}
};

TEST_F(Assignment, ChunksGoToChunkModWorkersAndTakeThatWorkersSlotsInOrder)
{
	workers(3);
	cow_chunk *c1 = chunk(1), *c4 = chunk(4), *c7 = chunk(7), *c2 = chunk(2);
	submit(c1);
	submit(c4);
	submit(c7);
	submit(c2);
	EXPECT_EQ(c7->thread, 1);
	EXPECT_EQ(c1->thread, 1);
	EXPECT_EQ(c4->thread, 1);
	EXPECT_EQ(c2->thread, 2);
	EXPECT_EQ(c1->new_chunk, 0u);
	EXPECT_EQ(c4->new_chunk, 1u);
	EXPECT_EQ(c7->new_chunk, 2u);
	EXPECT_EQ(c2->new_chunk, 0u) << "each worker counts its own slots";
	EXPECT_EQ(file_offset(c1, 1 * 65536), 0);
	EXPECT_EQ(file_offset(c4, 4 * 65536), 65536);
	EXPECT_EQ(file_offset(c7, 7 * 65536), 131072);
	EXPECT_EQ(file_offset(c7, 7 * 65536 + 8 * 512), 131072 + 4096);
	EXPECT_EQ(slot(1)->thread_pos, 3u);
	EXPECT_EQ(atomic_read(&slot(1)->pending_io), 3);
	EXPECT_EQ(atomic_read(&slot(2)->pending_io), 1);
	EXPECT_EQ(atomic_read(&slot(0)->pending_io), 0);
}

TEST_F(Assignment, QueueKeepsSubmissionOrder)
{
	workers(1);
	if_chunk *a = submit(chunk(5)), *b = submit(chunk(9)), *c = submit(chunk(2));
	std::vector<if_chunk *> order;
	if_chunk *ic;
	list_for_each_entry(ic, &slot(0)->io_list, submit_list)
		order.push_back(ic);
	EXPECT_EQ(order, (std::vector<if_chunk *>{a, b, c}));
}

TEST_F(Assignment, WithoutWorkersEverythingWaitsOnWorkerZero)
{
	workers(0);
	cow_chunk *c = chunk(12345);
	submit(c);
	EXPECT_EQ(c->thread, 0);
	EXPECT_EQ(c->new_chunk, 0u) << "the provisional slot is replaced";
	EXPECT_EQ(atomic_read(&slot(0)->pending_io), 1);
}

TEST_F(Assignment, LaterTransfersOfAChunkKeepItsWorkerAndSlot)
{
	workers(2);
	cow_chunk *c = chunk(3);
	submit(c);
	ASSERT_EQ(c->thread, 1);
	ASSERT_EQ(c->new_chunk, 0u);
	workers(5);			// more workers since: the chunk does not move
	submit(c, 1);			// a snapshot-device read of it
	EXPECT_EQ(c->thread, 1);
	EXPECT_EQ(c->new_chunk, 0u);
	EXPECT_EQ(slot(1)->thread_pos, 1u);
	EXPECT_EQ(atomic_read(&slot(1)->pending_io), 1);
	EXPECT_EQ(atomic_read(&slot(1)->pending_anon_io), 1);
}

TEST_F(Assignment, LargeChunkNumbersUseTheFullChunkNumber)
{
	workers(3);
	cow_chunk *c = chunk((1ull << 32) + 1);	// (2^32 + 1) mod 3 = 2
	submit(c);
	EXPECT_EQ(c->thread, 2);
}

TEST_F(Assignment, SubmissionWakesTheSleepingWorkerOnlyOnceItHasWork)
{
	workers(1);
	const unsigned long half = zk_max_chunk_buffer / 2;	/* one worker: thresh / 2 */
	long left = -2;
	std::atomic<task_struct *> sleeper_task{nullptr};
	std::thread sleeper([&] {
		io_thread *iot = slot(0);
		sleeper_task = (task_struct *)current;
		left = wait_event_timeout(iot->io_wait, worker_has_work(cs, iot),
					  msecs_to_jiffies(60000));
	});
	while (!sleeper_task.load() ||
	       !__atomic_load_n(&sleeper_task.load()->nvcsw, __ATOMIC_RELAXED))
		std::this_thread::yield();	/* asleep, not just queued */
	unsigned long sleeps = __atomic_load_n(&sleeper_task.load()->nvcsw, __ATOMIC_RELAXED);
	for (unsigned long i = 0; i < half; i++)
		submit(chunk(i));
	EXPECT_EQ(sleeps, __atomic_load_n(&sleeper_task.load()->nvcsw, __ATOMIC_RELAXED))
		<< "woken by a submission below the batch size";
	EXPECT_EQ(left, -2);
	submit(chunk(half));		/* pending_io now above thresh / 2 */
	sleeper.join();
	EXPECT_GT(left, 0) << "woken by the submission, not by the time-out";
}

TEST_F(Assignment, SnapshotReadWakesTheWorkerAtOnce)
{
	workers(1);
	long left = -2;
	std::thread sleeper([&] {
		io_thread *iot = slot(0);
		left = wait_event_timeout(iot->io_wait, worker_has_work(cs, iot),
					  msecs_to_jiffies(60000));
	});
	while (!waitqueue_active(&slot(0)->io_wait))
		std::this_thread::yield();
	submit(chunk(3), 1);
	sleeper.join();
	EXPECT_GT(left, 0);
}

TEST(WorkerTable, AllocationFailureUndoesTheSlotsAlreadyMade)
{
	io_thread_info ti{};
	long before = host::kmalloc_in_use();
	host::dmesg_clear();
	host::fault_fail_after("kmalloc", 5, 1);
	EXPECT_EQ(new_io_threads(&ti), 0);
	host::fault_reset();
	EXPECT_TRUE(dmesg_has("vek: ERROR: Failed to alloc 5th iothread"));
	for (int i = 0; i < VEK_IO_THREADS; i++)
		EXPECT_EQ(ti.io_threads[i], nullptr) << i;
	EXPECT_EQ(host::kmalloc_in_use(), before);

	ASSERT_EQ(new_io_threads(&ti), 1);
	EXPECT_EQ(host::kmalloc_in_use(), before + VEK_IO_THREADS);
	free_io_threads(&ti);
	EXPECT_EQ(host::kmalloc_in_use(), before);
}

}  // namespace
