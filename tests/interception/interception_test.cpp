// interception_test.cpp - writes to a source under snapshot: which chunks they claim, that
// the old contents are secured before the write reaches the disk, who waits for whom, and
// that trouble of a session never fails or holds the source's own I/O.
#include "icpt_env.h"

#include <chrono>
#include <future>
#include <memory>
#include <thread>

namespace icpt {
namespace {

using namespace std::chrono_literals;

class WriteTest : public InterceptTest {
protected:
	// Source contents before any session: chunks of sda1 filled with P.
	void SetUp() override
	{
		InterceptTest::SetUp();
		before = pattern(8 * kChunk, 0x30);
		write_dev("/dev/sda1", 0, before);
	}
	cow_session *start(dev_t dev)
	{
		cow_session *cs = make_session(dev);
		list_session(cs);
		if (!g.lower)
			use_gate(cs);
		return cs;
	}
	std::vector<uint8_t> old_chunk(size_t c)
	{
		return std::vector<uint8_t>(before.begin() + (long)(c * kChunk),
					    before.begin() + (long)((c + 1) * kChunk));
	}
	struct cow_chunk *preserved(cow_session *cs, sector_t c)
	{
		unsigned long flags;
		spin_lock_irqsave(&cs->chunk_lock, flags);
		struct cow_chunk *cc = get_cow_chunk(&cs->chunk_table, c);
		spin_unlock_irqrestore(&cs->chunk_lock, flags);
		return cc;
	}
	// A simulated snapshot read of chunk c in flight on the source.
	struct rb_wl *read_in_flight(cow_session *cs, sector_t c)
	{
		struct rb_wl *wl = alloc_rb_wl();
		wl->n = c;
		wl->reads = 1;
		wl->writes = 0;
		atomic_set(&wl->done, 0);
		init_waitqueue_head(&wl->wait);
		unsigned long flags;
		spin_lock_irqsave(&cs->write_list_lock, flags);
		rb_instert_wl(&cs->write_locks, wl);
		spin_unlock_irqrestore(&cs->write_list_lock, flags);
		return wl;
	}
	// What the snapshot read's completion does.
	void finish_simulated_read(cow_session *cs, struct rb_wl *wl)
	{
		unsigned long flags;
		bool free_it;
		spin_lock_irqsave(&cs->write_list_lock, flags);
		wl->reads--;
		atomic_inc(&wl->done);
		wake_up(&wl->wait);
		rb_erase(&wl->node, &cs->write_locks);
		free_it = wl->writes == 0;
		if (!free_it)
			rb_instert_wl(&cs->write_locked, wl);
		spin_unlock_irqrestore(&cs->write_list_lock, flags);
		if (free_it)
			put_rbwl(wl);
	}
	// Work on a thread of its own, joined (so its task is gone) before the leak checks.
	struct bg {
		std::thread t;
		std::promise<void> p;
		std::future<void> f;
		template <class F> explicit bg(F fn) : f(p.get_future())
		{
			t = std::thread([this, fn] {
				fn();
				p.set_value();
			});
		}
		~bg() { t.join(); }
		std::future_status wait_for(std::chrono::milliseconds d) { return f.wait_for(d); }
		void get() { f.get(); }
	};
	std::unique_ptr<bg> write_async(const char *path, off_t off, std::vector<uint8_t> data)
	{
		return std::make_unique<bg>([=, this] { write_dev(path, off, data); });
	}
	static bool still_running(std::unique_ptr<bg> &f, std::chrono::milliseconds d = 60ms)
	{
		return f->wait_for(d) == std::future_status::timeout;
	}
	std::vector<uint8_t> before;
};

// Hand-made bios for get_affected_chunks: no I/O is done with them.
struct bio *fake_bio(cow_session *cs, sector_t rel, unsigned size, bool write)
{
	struct bio *bio = bio_alloc(GFP_NOIO, 1);
	bio->bi_bdev = cs->bdev;
	bio->bi_sector = cs->part.start_sect + rel;
	bio->bi_size = size;
	bio->bi_rw = write ? 1 : 0;
	return bio;
}

std::vector<sector_t> claim(cow_session *cs, sector_t rel, unsigned size, bool write,
			    int *count = nullptr)
{
	LIST_HEAD(chunks);
	struct bio *bio = fake_bio(cs, rel, size, write);
	down(&session_work_lock);
	int n = get_affected_chunks(cs, bio, &chunks);
	up(&session_work_lock);
	if (count)
		*count = n;
	std::vector<sector_t> out;
	struct chunk_list *cl, *next;
	list_for_each_entry_safe(cl, next, &chunks, list) {
		out.push_back(cl->chunk);
		if (cl->new_ic) {
			up(&cl->ic->real_lock);
			up(&cl->ic->virt_lock);
		}
		if (cl->ic)
			put_and_dec_if(cs, cl->ic);
		list_del(&cl->list);
		put_chunk_list(cl);
	}
	bio_put(bio);
	return out;
}

TEST_F(WriteTest, ClaimedChunksFollowTheBiosExtent)
{
	cow_session *cs = start(part1);
	EXPECT_EQ(std::vector<sector_t>({0}), claim(cs, 0, 4096, true));
	EXPECT_EQ(std::vector<sector_t>({0, 1}), claim(cs, 124, 4096, true));
	// A write ending exactly on a chunk boundary claims no chunk after it.
	EXPECT_EQ(std::vector<sector_t>({0}), claim(cs, 0, 65536, true));
	EXPECT_EQ(std::vector<sector_t>({1}), claim(cs, 128 + 120, 4096, true));
	EXPECT_EQ(std::vector<sector_t>({3, 4}), claim(cs, 3 * 128, 2 * 65536, true));
	EXPECT_EQ(std::vector<sector_t>({3, 4, 5}), claim(cs, 3 * 128 + 64, 2 * 65536, true));
	EXPECT_TRUE(claim(cs, 0, 0, true).empty());		// size 0: nothing
	EXPECT_TRUE(claim(cs, 0, 4096, false).empty());		// a read with nothing in flight
	struct bio *ra = fake_bio(cs, 0, 4096, true);
	ra->bi_rw = 0x11;					// read-ahead flag: not a write
	LIST_HEAD(l);
	EXPECT_EQ(0, get_affected_chunks(cs, ra, &l));
	bio_put(ra);
	invalidate_session(cs, "TEST");
	EXPECT_TRUE(claim(cs, 0, 4096, true).empty());		// a session in error holds nothing
}

TEST_F(WriteTest, OldContentsAreCopiedBeforeTheWriteLands)
{
	cow_session *cs = start(part1);
	auto data = pattern(4096, 0x99);
	write_dev("/dev/sda1", 124 * 512, data);		// sectors 124..131: chunks 0 and 1

	auto copies = queued_copies(cs);
	ASSERT_EQ(2u, copies.size());
	EXPECT_EQ(0u, copies[0].first);
	EXPECT_EQ(1u, copies[1].first);
	EXPECT_EQ(old_chunk(0), copies[0].second);
	EXPECT_EQ(old_chunk(1), copies[1].second);
	EXPECT_NE(nullptr, preserved(cs, 0));
	EXPECT_NE(nullptr, preserved(cs, 1));
	EXPECT_EQ(2u, cs->pos);

	// Both copy reads reached the disk before the write did.
	auto log = g.log();
	ASSERT_EQ(3u, log.size());
	EXPECT_FALSE(log[0].write);
	EXPECT_EQ(kPart1Start, log[0].sector);
	EXPECT_EQ(65536u, log[0].size);
	EXPECT_FALSE(log[1].write);
	EXPECT_EQ(kPart1Start + 128, log[1].sector);
	EXPECT_TRUE(log[2].write);
	EXPECT_EQ(data, read_dev("/dev/sda1", 124 * 512, 4096));
	EXPECT_EQ("", error_text(cs));
	EXPECT_EQ(16L * 2, (long)atomic_read(&total_cow_pages));

	// A second write to a preserved chunk is not copied again.
	size_t reads = g.count(false);
	write_dev("/dev/sda1", 0, pattern(4096, 0x55));
	EXPECT_EQ(2u, queued_copies(cs).size());
	EXPECT_EQ(reads, g.count(false));
}

TEST_F(WriteTest, UncoveredPartitionOfTheSameDiskPassesUntouched)
{
	cow_session *cs = start(part1);
	auto data = pattern(8192, 0x42);
	write_dev("/dev/sda2", kChunk, data);	// sector 0 of sda2 would still match sda1's end
	EXPECT_TRUE(queued_copies(cs).empty());
	EXPECT_EQ(0u, g.count(false));
	EXPECT_EQ(data, read_dev("/dev/sda2", kChunk, 8192));
}

TEST_F(WriteTest, WritesAndReadsWaitForACopyInFlightOthersDoNot)
{
	cow_session *cs = start(part1);
	g.close_reads(kPart1Start, kPart1Start + 128);		// hold the copy read of chunk 0
	auto a = write_async("/dev/sda1", 0, pattern(4096, 1));
	ASSERT_TRUE(g.wait_count(false, 1));

	auto b = write_async("/dev/sda1", 4096, pattern(4096, 2));	// same chunk
	std::vector<uint8_t> seen_c, seen_d;
	auto c = std::make_unique<bg>([&] { seen_c = read_dev("/dev/sda1", 8192, 4096); });
	auto d = std::make_unique<bg>([&] { seen_d = read_dev("/dev/sda1", 5 * kChunk, 4096); });
	EXPECT_EQ(std::future_status::ready, d->wait_for(20s));	// another chunk: no wait
	EXPECT_TRUE(still_running(a));
	EXPECT_TRUE(still_running(b));
	EXPECT_EQ(std::future_status::timeout, c->wait_for(0ms));
	EXPECT_EQ(0u, g.count(true));			// neither write reached the disk

	g.open_reads();
	a->get();
	b->get();
	c->get();
	auto copies = queued_copies(cs);
	ASSERT_EQ(1u, copies.size());
	EXPECT_EQ(old_chunk(0), copies[0].second);
	EXPECT_EQ(2u, g.count(true));
	EXPECT_EQ(std::vector<uint8_t>(before.begin() + 5 * kChunk,
				       before.begin() + 5 * kChunk + 4096), seen_d);
	// The read saw the chunk after its copy: old or newly written data, never torn.
	EXPECT_EQ(4096u, seen_c.size());
}

TEST_F(WriteTest, WorkerThreadIOIsNeverHeld)
{
	cow_session *cs = start(part1);
	std::thread([&] {
		ASSERT_EQ(0, add_cow_thread());
		EXPECT_EQ(1, is_cow_thread());
		write_dev("/dev/sda1", 0, pattern(4096, 7));
		remove_cow_thread();
		EXPECT_EQ(0, is_cow_thread());
	}).join();
	EXPECT_EQ(0, is_cow_thread());
	EXPECT_TRUE(queued_copies(cs).empty());
	EXPECT_EQ(0u, g.count(false));
	EXPECT_EQ(1u, g.count(true));
	// The same write from anyone else is held for a copy.
	write_dev("/dev/sda1", 65536, pattern(4096, 8));
	EXPECT_EQ(1u, queued_copies(cs).size());
}

TEST_F(WriteTest, WriteWaitsForASnapshotReadOfTheChunk)
{
	cow_session *cs = start(part1);
	struct rb_wl *wl = read_in_flight(cs, 3);
	auto w = write_async("/dev/sda1", 3 * kChunk, pattern(4096, 3));
	ASSERT_TRUE(g.wait_count(false, 1));			// the copy is made first
	EXPECT_TRUE(still_running(w));
	EXPECT_EQ(0u, g.count(true));
	unsigned long flags;
	spin_lock_irqsave(&cs->write_list_lock, flags);
	EXPECT_EQ(1u, wl->writes);
	spin_unlock_irqrestore(&cs->write_list_lock, flags);

	finish_simulated_read(cs, wl);
	EXPECT_EQ(std::future_status::ready, w->wait_for(20s));
	EXPECT_EQ(1u, g.count(true));
	EXPECT_TRUE(RB_EMPTY_ROOT(&cs->write_locked));		// the node was freed
	ASSERT_EQ(1u, queued_copies(cs).size());
	EXPECT_EQ(old_chunk(3), queued_copies(cs)[0].second);
}

// A snapshot read that failed before reaching the source never completes its count; it
// has put the session in error, and the writer must not wait for ever.
TEST_F(WriteTest, WriteHeldByAFailedSnapshotReadGoesOnOnceTheSessionFails)
{
	cow_session *cs = start(part1);
	struct rb_wl *wl = read_in_flight(cs, 2);
	auto w = write_async("/dev/sda1", 2 * kChunk, pattern(4096, 4));
	EXPECT_TRUE(still_running(w, 100ms));
	invalidate_session(cs, "GET QUEUE ERROR");
	EXPECT_EQ(std::future_status::ready, w->wait_for(20s));
	EXPECT_EQ(pattern(4096, 4), read_dev("/dev/sda1", 2 * kChunk, 4096));
	unsigned long flags;
	spin_lock_irqsave(&cs->write_list_lock, flags);
	EXPECT_EQ(0u, wl->writes);
	EXPECT_EQ(wl, rb_serach_wl(&cs->write_locks, 2));	// still the read's
	spin_unlock_irqrestore(&cs->write_list_lock, flags);
	finish_simulated_read(cs, wl);				// the late read frees it
}

// A read that began on the source before the chunk was copied must not be overtaken by a
// later write to the now preserved chunk either.
TEST_F(WriteTest, WriteToAPreservedChunkStillWaitsForAnEarlierSnapshotRead)
{
	cow_session *cs = start(part1);
	write_dev("/dev/sda1", 4 * kChunk, pattern(512, 9));	// preserve chunk 4
	ASSERT_NE(nullptr, preserved(cs, 4));
	struct rb_wl *wl = read_in_flight(cs, 4);
	size_t writes = g.count(true);
	auto w = write_async("/dev/sda1", 4 * kChunk, pattern(512, 10));
	EXPECT_TRUE(still_running(w));
	EXPECT_EQ(writes, g.count(true));
	finish_simulated_read(cs, wl);
	EXPECT_EQ(std::future_status::ready, w->wait_for(20s));
	EXPECT_EQ(1u, queued_copies(cs).size());		// and no second copy
}

// The write spans chunks 0 and 1 of sda1. The disk leaves a completed read's sector past
// its end, so pages kept under that sector would be served as the next chunk's.
TEST_F(WriteTest, TwoSessionsOnOneDiskReadEachChunkOnce)
{
	cow_session *whole = start(disk);
	cow_session *p1 = start(part1);
	write_dev("/dev/sda1", kChunk - 2048, pattern(4096, 5));
	EXPECT_EQ(2u, g.count(false));				// one disk read per chunk, for two copies
	auto a = queued_copies(whole);
	auto b = queued_copies(p1);
	ASSERT_EQ(2u, a.size());
	ASSERT_EQ(2u, b.size());
	for (size_t c = 0; c < 2; c++) {
		EXPECT_EQ(kPart1Start / 128 + c, a[c].first);
		EXPECT_EQ(c, b[c].first);
		EXPECT_EQ(old_chunk(c), a[c].second) << "chunk " << c;
		EXPECT_EQ(old_chunk(c), b[c].second) << "chunk " << c;
	}
}

// A whole-disk write is matched to every partition it overlaps, and each session copies
// only its own chunks inside it: one that begins before a partition, one that runs from
// one partition into the next, and none that merely touches the sector after an end.
TEST_F(WriteTest, WholeDiskWritesAreCopiedForEveryPartitionTheyOverlap)
{
	auto p1last = pattern(kChunk, 0x66);
	auto p2old = pattern(kChunk, 0x77);
	write_dev("/dev/sda1", (kPart1Sectors - 128) * 512, p1last);
	write_dev("/dev/sda2", 0, p2old);
	cow_session *s1 = start(part1);
	cow_session *s2 = start(part2);

	// From sda1's last 8 sectors into sda2's first 8.
	write_dev("/dev/sda", (kPart2Start - 8) * 512, pattern(8192, 0x10));
	auto c1 = queued_copies(s1);
	auto c2 = queued_copies(s2);
	ASSERT_EQ(1u, c1.size());
	ASSERT_EQ(1u, c2.size());
	EXPECT_EQ(kPart1Sectors / 128 - 1, c1[0].first);	// never a chunk past its end
	EXPECT_EQ(p1last, c1[0].second);
	EXPECT_EQ(0u, c2[0].first);
	EXPECT_EQ(p2old, c2[0].second);

	// From the 8 sectors before sda1 into its first chunk.
	write_dev("/dev/sda", (kPart1Start - 8) * 512, pattern(8192, 0x11));
	c1 = queued_copies(s1);
	ASSERT_EQ(2u, c1.size());
	EXPECT_EQ(0u, c1[1].first);
	EXPECT_EQ(old_chunk(0), c1[1].second);
	EXPECT_EQ("", error_text(s1));
	EXPECT_EQ(pattern(8192, 0x11), read_dev("/dev/sda", (kPart1Start - 8) * 512, 8192));
}

TEST_F(WriteTest, LastPartialChunkIsReadToTheDeviceEndAndZeroedBeyond)
{
	// Disk sectors from sda2's last chunk on, past its end (sector 2000 of 2048).
	auto tail = pattern(kChunk + 8192, 0x5A);
	write_dev("/dev/sda", (kPart2Start + 1920) * 512, tail);
	cow_session *cs = start(part2);
	write_dev("/dev/sda2", 1990 * 512, pattern(4096, 1));

	auto copies = queued_copies(cs);
	ASSERT_EQ(1u, copies.size());
	EXPECT_EQ(15u, copies[0].first);
	const size_t valid = (kPart2Sectors - 1920) * 512;	// 40960 bytes on the device
	std::vector<uint8_t> expect(tail.begin(), tail.begin() + valid);
	expect.resize(kChunk, 0);
	EXPECT_EQ(expect, copies[0].second);
	auto log = g.log();
	ASSERT_FALSE(log.empty());
	EXPECT_EQ(valid, log[0].size);
}

TEST_F(WriteTest, WriteEndingAtTheDeviceEndClaimsNoChunkPastIt)
{
	cow_session *cs = start(part1);
	write_dev("/dev/sda1", (kPart1Sectors - 8) * 512, pattern(4096, 2));
	auto copies = queued_copies(cs);
	ASSERT_EQ(1u, copies.size());
	EXPECT_EQ(kPart1Sectors / 128 - 1, copies[0].first);
	EXPECT_EQ(1u, g.count(false));

	// Less than a sector still writes the sector: its chunk is claimed.
	EXPECT_EQ((std::vector<sector_t>{3}), claim(cs, 3 * 128 + 5, 100, true));
}

TEST_F(WriteTest, FailedSourceReadPutsTheSessionInErrorAndTheWriteStillLands)
{
	cow_session *cs = start(part1);
	ASSERT_GT(host::disk_fault_add(disk, host::disk_fault::read_error, kPart1Start, 128, 1), 0);
	auto data = pattern(4096, 0x61);
	write_dev("/dev/sda1", 0, data);
	EXPECT_EQ("COPY CHUNK ERROR", error_text(cs));
	EXPECT_EQ(1, dmesg_count("vek: ERROR: could not copy chunk 0."));
	EXPECT_TRUE(queued_copies(cs).empty());			// nothing stored as the snapshot
	EXPECT_EQ(nullptr, preserved(cs, 0));
	EXPECT_EQ(0, atomic_read(&total_cow_pages));
	EXPECT_EQ(0, atomic_read(&cs->fc_count));
	EXPECT_EQ(data, read_dev("/dev/sda1", 0, 4096));
	// The session in error no longer holds writes.
	write_dev("/dev/sda1", kChunk, data);
	EXPECT_TRUE(queued_copies(cs).empty());
}

TEST_F(WriteTest, ExhaustedPagesGiveUpAfterTheRetriesAndTheWriteProceeds)
{
	cow_session *cs = start(part1);
	host::fault_fail_if("alloc_page",
			    [](const host::fault_ctx &c) { return c.gfp == 0x650 || c.gfp == 0x670; });
	auto data = pattern(4096, 0x62);
	write_dev("/dev/sda1", 0, data);
	EXPECT_EQ(2002, host::fault_failures("alloc_page"));	// 1001 attempts of two tries
	host::fault_reset();
	EXPECT_EQ(1, dmesg_count("vek: ERROR: failed to allocate page after 1000 tries.  currently "
				 "have 0 pages allocated."));
	EXPECT_EQ("OUT OF MEMORY", error_text(cs));
	EXPECT_TRUE(queued_copies(cs).empty());
	EXPECT_EQ(0, atomic_read(&cs->fc_count));
	EXPECT_EQ(data, read_dev("/dev/sda1", 0, 4096));
}

TEST_F(WriteTest, FailedChunkListLeavesNoChunkClaimedAndTheWriteProceeds)
{
	cow_session *cs = start(part1);
	host::fault_rule r;
	r.skip = 1;			// the first entry is made, the second fails (both tries)
	r.count = 2;
	r.match = [](const host::fault_ctx &c) {
		return c.name && std::string(c.name) == "qel_chunk_list_cache";
	};
	host::fault_inject("kmem_cache_alloc", r);
	auto data = pattern(4096, 0x63);
	write_dev("/dev/sda1", 124 * 512, data);
	host::fault_reset();
	EXPECT_EQ("OUT OF MEMORY", error_text(cs));
	EXPECT_EQ(1, dmesg_count("vek: ERROR: could not create affected chunks list for sector "
				 "2172 + 4096."));
	EXPECT_EQ(data, read_dev("/dev/sda1", 124 * 512, 4096));
	// The chunk claimed before the failure had its locks released, not left held.
	struct if_chunk *ic = get_and_inc_if(cs, 0);
	if (ic) {
		EXPECT_EQ(0, down_trylock(&ic->real_lock));
		up(&ic->real_lock);
		put_and_dec_if(cs, ic);
	}
	EXPECT_EQ(nullptr, get_and_inc_if(cs, 1));
}

// A bio that reaches cow_request on a disk without a mapping record: right after the last
// holder gave the queue its function back, it goes to that function; only while the queue
// still holds cow_request is the mapping lost, and then the bio ends with -5.
TEST_F(WriteTest, BioWithoutAMappingGoesToTheRestoredFunctionOrEndsWithEIO)
{
	host::disk_spec spec;
	spec.name = "sdb";
	spec.nr_sects = 1024;
	dev_t sdb = host::add_disk(spec);
	struct block_device *b = bdget(sdb);
	struct request_queue *q = b->bd_disk->queue;
	make_request_fn *own = queue_make_request_fn(q);
	cow_session *cs = start(part1);
	static int ended;
	static struct completion done;
	auto submit = [&]() {
		struct bio *bio = fake_bio(cs, 0, 0, true);
		bio->bi_bdev = b;
		bio->bi_sector = 0;
		init_completion(&done);
		bio->bi_end_io = [](struct bio *, int err) {
			ended = err;
			complete(&done);
		};
		EXPECT_EQ(0, cow_request(q, bio));
		wait_for_completion(&done);
		return bio;
	};

	struct bio *late = submit();			// the queue has its own function back
	EXPECT_EQ(0, ended);
	EXPECT_EQ(0, dmesg_count("Could not find mrf"));
	bio_put(late);

	queue_set_make_request_fn(q, cow_request);	// ours, yet no record
	struct bio *lost = submit();
	queue_set_make_request_fn(q, own);
	EXPECT_EQ(-EIO, ended);
	EXPECT_EQ(1, dmesg_count("vek: ERROR: Could not find mrf for device (8,16)"));
	EXPECT_EQ(1, dmesg_count("vek: ERROR: could not find MRF."));
	bio_put(lost);
	bdput(b);
	EXPECT_EQ(0, host::del_disk(sdb));
}

}  // namespace
}  // namespace icpt
