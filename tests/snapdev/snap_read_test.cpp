// Reads of /dev/vek<N> through host:: system calls, the way the agent and other processes
// make them: every chunk state, the read interlock with source writes, split bios, a failed
// session, and the stop against open handles and bios in the IO path.
#include "snap_helpers.h"

#include <linux/mm.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

namespace {

using namespace snapt;
using vekfx::dmesg_count;
using clk = std::chrono::steady_clock;

constexpr size_t kPart = 2048 * 512;	// the fixture's partitions: 1 MiB, 16 chunks
constexpr size_t kChunk = 65536;

class SnapReadTest : public vekfx::DriverTest {
protected:
	void SetUp() override
	{
		DriverTest::SetUp();
		if (HasFatalFailure())
			return;
		image = pattern(kPart, 3);
		write_source(part1, 0, image);
	}
	int start_session(int workers = 2)
	{
		int id = start(part1, dir() + "/snap");
		EXPECT_GT(id, 0) << vekfx::dmesg_text();
		if (id > 0) {
			w = std::make_unique<vekfx::io_workers>(id, workers, dir());
			EXPECT_EQ(0, w->wait_first());
		}
		return id;
	}
	void stop_session(int id)
	{
		EXPECT_EQ(0, stop(id)) << vekfx::dmesg_text();
		w->join();
	}
	// processed of the chunk's in-flight record, or -1 when none is in flight.
	int in_flight(int id, sector_t chunk)
	{
		struct cow_session *cs = session_of(id);
		struct if_chunk *ic = cs ? get_and_inc_if(cs, chunk) : nullptr;
		if (!ic)
			return -1;
		int p = atomic_read(&ic->processed);
		put_and_dec_if(cs, ic);
		return p;
	}
	bool wait_stored(int id, sector_t first, sector_t last)
	{
		auto deadline = clk::now() + std::chrono::seconds(10);
		for (sector_t c = first; c <= last; c++)
			while (in_flight(id, c) != -1)
				if (clk::now() > deadline)
					return false;
				else
					std::this_thread::sleep_for(std::chrono::milliseconds(2));
		return true;
	}

	// A single-page read of vek<id> at sector comes back to its submitter with the image's
	// bytes and as it was sent, also from the source disk, which consumes the bios it ends.
	::testing::AssertionResult read_as_sent(int id, sector_t sector)
	{
		struct page *page = alloc_page(GFP_KERNEL);
		raw_result r = raw_bio("qel-reader", id, sector, READ, page);
		const uint8_t *data = (const uint8_t *)page_address(page);
		std::vector<uint8_t> got(data, data + 4096);
		__free_page(page);
		if (r.err != 0)
			return ::testing::AssertionFailure() << "error " << r.err;
		if (r.sector != sector || r.size != 4096 || r.idx != 0 ||
		    r.dev != MKDEV(CLONE_MAJOR, id))
			return ::testing::AssertionFailure()
			       << "came back at sector " << r.sector << ", " << r.size << " bytes, idx "
			       << r.idx << ", device " << MAJOR(r.dev) << ":" << MINOR(r.dev);
		return same_bytes(slice(image, sector * 512, 4096), got);
	}

	std::vector<uint8_t> image;
	std::unique_ptr<vekfx::io_workers> w;
};

TEST_F(SnapReadTest, ReadsReturnTheImageInEveryChunkState)
{
	int id = start_session();
	ASSERT_GT(id, 0);
	// Nothing written since the snapshot: from the source.
	EXPECT_TRUE(same_bytes(image, read_as("qel-reader", vek(id), 0, kPart)));
	EXPECT_TRUE(same_bytes(image, read_as("backup-tool", vek(id), 0, kPart)));
	EXPECT_TRUE(read_as_sent(id, 5 * kChunk / 512 + 8));

	// Chunks 1..3 are overwritten on the source; the snapshot keeps the old bytes.
	auto fresh = pattern(3 * kChunk, 99);
	write_source(part1, kChunk, fresh);
	EXPECT_TRUE(same_bytes(fresh, read_dev(devpath(part1), kChunk, 3 * kChunk)));
	EXPECT_TRUE(same_bytes(image, read_as("qel-reader", vek(id), 0, kPart)));

	// Once the workers have stored them, from the backing store through the same worker.
	ASSERT_TRUE(wait_stored(id, 1, 3));
	EXPECT_TRUE(same_bytes(image, read_as("qel-reader", vek(id), 0, kPart)));
	EXPECT_TRUE(read_as_sent(id, 2 * kChunk / 512 + 8));
	EXPECT_TRUE(same_bytes(slice(image, kChunk + 512, 3000),
			       read_as("qel-reader", vek(id), kChunk + 512, 3000)));
	// Only the three chunks written: the write ends on chunk 4's first byte, not in it.
	auto l = list();
	EXPECT_EQ(3u, l[0].changed_blocks);
	EXPECT_EQ(0, l[0].error);
	stop_session(id);
}

void ignore_end_io(struct bio *, int) {}

// The disk serves its bios in order, so a held read would hold every bio behind it; the
// snapshot read is therefore made by hand: prepared like any read of an untouched chunk,
// completed through its completion handler when the test says so.
TEST_F(SnapReadTest, ASourceWriteWaitsForASnapshotReadOfItsChunk)
{
	int id = start_session();
	ASSERT_GT(id, 0);
	struct cow_session *cs = session_of(id);
	struct chunk_list cl;
	memset(&cl, 0, sizeof(cl));
	cl.chunk = 5;
	down(&session_work_lock);
	prep_chunk_list(cs, &cl, 0);
	up(&session_work_lock);
	ASSERT_NE(nullptr, cl.rbwl);
	EXPECT_EQ(nullptr, cl.ic);
	EXPECT_EQ(nullptr, cl.cc);
	EXPECT_EQ(1u, cl.rbwl->reads);

	auto fresh = pattern(4096, 42);
	std::atomic<bool> written{false};
	std::thread writer([&] {
		write_source(part1, 5 * kChunk + 8192, fresh);
		written = true;
	});
	// The write joins the read's interlock, then waits for the read however long it takes.
	auto writers = [&] {
		unsigned long flags;
		spin_lock_irqsave(&cs->write_list_lock, flags);
		sector_t n = cl.rbwl->writes;
		spin_unlock_irqrestore(&cs->write_list_lock, flags);
		return n;
	};
	while (writers() == 0 && !written)
		std::this_thread::yield();
	std::this_thread::sleep_for(std::chrono::milliseconds(100));
	EXPECT_FALSE(written.load()) << "the source write did not wait for the read";
	// It copied the chunk before waiting: the snapshot has the old bytes, the disk too.
	EXPECT_TRUE(same_bytes(slice(image, 5 * kChunk + 8192, 4096),
			       read_dev(devpath(part1), 5 * kChunk + 8192, 4096)));
	EXPECT_EQ(1u, writers());

	// The read completes: its completion lets the write go.
	struct bio *bio = bio_alloc(GFP_KERNEL, 1);
	bio->bi_end_io = ignore_end_io;
	struct saved_info *info = alloc_saved_info();
	ASSERT_NE(nullptr, info);
	save_info(bio, info);
	inc_users(cs);
	info->cs = cs;
	info->rbwl = cl.rbwl;
	bio->bi_private = info;
	bio->bi_end_io = vrt_bio_endIO;
	vrt_bio_endIO(bio, 0);
	EXPECT_EQ((void *)ignore_end_io, (void *)bio->bi_end_io);
	bio_put(bio);
	writer.join();
	EXPECT_TRUE(written.load());
	EXPECT_TRUE(same_bytes(fresh, read_dev(devpath(part1), 5 * kChunk + 8192, 4096)));
	EXPECT_TRUE(same_bytes(slice(image, 5 * kChunk, kChunk),
			       read_as("qel-reader", vek(id), 5 * kChunk, kChunk)));
	// The interlock node is gone once both sides are done.
	EXPECT_TRUE(RB_EMPTY_ROOT(&cs->write_locks));
	EXPECT_TRUE(RB_EMPTY_ROOT(&cs->write_locked));
	stop_session(id);
}

TEST_F(SnapReadTest, ReadsOfAnUntouchedChunkShareOneReadLock)
{
	int id = start_session();
	ASSERT_GT(id, 0);
	struct cow_session *cs = session_of(id);
	struct chunk_list a, b, c;
	memset(&a, 0, sizeof(a));
	memset(&b, 0, sizeof(b));
	memset(&c, 0, sizeof(c));
	a.chunk = b.chunk = 3;
	c.chunk = 4;
	down(&session_work_lock);
	prep_chunk_list(cs, &a, 0);
	prep_chunk_list(cs, &b, 0);
	prep_chunk_list(cs, &c, 0);
	up(&session_work_lock);
	ASSERT_NE(nullptr, a.rbwl);
	EXPECT_EQ(a.rbwl, b.rbwl);
	EXPECT_NE(a.rbwl, c.rbwl);
	EXPECT_EQ(2u, a.rbwl->reads);
	// A chunk that is preserved or in flight needs no read lock.
	write_source(part1, 6 * kChunk, pattern(4096, 1));
	struct chunk_list d;
	memset(&d, 0, sizeof(d));
	d.chunk = 6;
	down(&session_work_lock);
	prep_chunk_list(cs, &d, 0);
	up(&session_work_lock);
	EXPECT_EQ(nullptr, d.rbwl);
	EXPECT_TRUE(d.cc || d.ic);
	if (d.ic)
		put_and_dec_if(cs, d.ic);
	// Give the three reads back as their completions would.
	for (struct chunk_list *e : {&a, &b, &c}) {
		struct bio *bio = bio_alloc(GFP_KERNEL, 1);
		bio->bi_end_io = ignore_end_io;
		struct saved_info *info = alloc_saved_info();
		save_info(bio, info);
		inc_users(cs);
		info->cs = cs;
		info->rbwl = e->rbwl;
		bio->bi_private = info;
		vrt_bio_endIO(bio, 0);
		bio_put(bio);
	}
	EXPECT_TRUE(RB_EMPTY_ROOT(&cs->write_locks));
	stop_session(id);
}

TEST_F(SnapReadTest, ABioAcrossAChunkBoundaryIsSplitAndCompletesOnce)
{
	int id = start_session();
	ASSERT_GT(id, 0);
	// Chunk 2 preserved (and stored), chunk 3 untouched: the halves are served differently.
	write_source(part1, 2 * kChunk, pattern(kChunk, 7));
	ASSERT_TRUE(wait_stored(id, 2, 2));
	const off_t at = 3 * kChunk - 2048;
	EXPECT_TRUE(same_bytes(slice(image, at, 4096), read_as("qel-reader", vek(id), at, 4096)));
	EXPECT_TRUE(same_bytes(slice(image, at, 4096), read_as("other", vek(id), at, 4096)));
	// A source write to chunk 3 now finds no read lock left behind by the halves (and the
	// fixture's leak check after unload finds no bio left over).
	write_source(part1, 3 * kChunk, pattern(4096, 8));
	EXPECT_TRUE(same_bytes(slice(image, at, 4096), read_as("qel-reader", vek(id), at, 4096)));
	stop_session(id);
}

TEST_F(SnapReadTest, AfterTheSessionFailsTheAgentGetsEioAndOthersTheCache)
{
	int id = start_session();
	ASSERT_GT(id, 0);
	invalidate_session(session_of(id), "FILE IO ERROR");

	std::vector<uint8_t> buf(4096);
	int err = 0;
	EXPECT_EQ(-1, pread_as("qel-reader", vek(id), 0, buf, &err));
	EXPECT_EQ(EIO, err);
	EXPECT_EQ(-1, pwrite_as("qel-writer", vek(id), 0, buf, &err));
	EXPECT_EQ(EIO, err);
	// The end-of-file flag marks the agent's failed bios.
	struct page *p = alloc_page(GFP_KERNEL);
	raw_result r = raw_bio("qel-raw", id, 8, READ, p);
	EXPECT_EQ(-5, r.err);
	EXPECT_TRUE(r.flags & (1UL << BIO_EOF));
	r = raw_bio("mounter", id, 8, READ, p);
	EXPECT_EQ(0, r.err);
	__free_page(p);

	// Another process writes a page and gets it back from the simple page cache; the
	// source is not touched.
	auto mine = pattern(4096, 200);
	write_as("mounter", vek(id), 8192, mine);
	EXPECT_TRUE(same_bytes(mine, read_as("mounter", vek(id), 8192, 4096)));
	EXPECT_TRUE(same_bytes(slice(image, 8192, 4096), read_dev(devpath(part1), 8192, 4096)));
	// A sector it never wrote is read from the source.
	EXPECT_TRUE(same_bytes(slice(image, 20480, 4096), read_as("mounter", vek(id), 20480, 4096)));
	EXPECT_EQ(1, session_of(id)->spc->size);
	EXPECT_EQ("FILE IO ERROR", get_string_cmd(VEK_IOCTL_GET_SESSION_ERROR, id));
	stop_session(id);
}

// A reader and a writer of one sector, both other processes than the agent, once the
// session has failed: no read returns data older than a write that completed before the
// read began, and the sector keeps one cache entry.
TEST_F(SnapReadTest, TheCacheServesTheLatestWriteToReadsRacingWritesOfItsSector)
{
	int id = start_session(1);
	ASSERT_GT(id, 0);
	invalidate_session(session_of(id), "FILE IO ERROR");

	constexpr uint64_t kWrites = 20000;
	constexpr off_t kAt = 8192;
	std::atomic<uint64_t> completed{0};
	std::atomic<bool> writing{true};
	std::atomic<long> reads{0}, stale{0};
	std::thread writer([&] {
		vekfx::run_as("mounter", [&] {
			int fd = host::open(vek(id).c_str(), O_RDWR);
			std::vector<uint64_t> block(512);
			long seen = 0;
			for (uint64_t v = 1; v <= kWrites; v++) {
				std::fill(block.begin(), block.end(), v);
				if (host::pwrite(fd, block.data(), 4096, kAt) != 4096)
					break;
				completed = v;
				/* However the threads are scheduled, reads fall among the writes. */
				if (v % 2000 == 0) {
					while (reads.load() == seen)
						std::this_thread::yield();
					seen = reads.load();
				}
			}
			host::close(fd);
			writing = false;
		});
	});
	std::thread reader([&] {
		vekfx::run_as("indexer", [&] {
			int fd = host::open(vek(id).c_str(), O_RDONLY);
			std::vector<uint64_t> block(512);
			while (writing) {
				uint64_t before = completed;
				if (before == 0 || host::pread(fd, block.data(), 4096, kAt) != 4096)
					continue;
				reads++;
				if (block[0] < before)
					stale++;
			}
			host::close(fd);
		});
	});
	writer.join();
	reader.join();

	EXPECT_EQ(kWrites, completed.load());
	EXPECT_GE(reads.load(), 10);
	EXPECT_EQ(0, stale.load()) << "reads older than a completed write, of " << reads.load();
	std::vector<uint8_t> last = read_as("indexer", vek(id), kAt, 4096);
	uint64_t got = 0;
	memcpy(&got, last.data(), sizeof(got));
	EXPECT_EQ(kWrites, got);
	EXPECT_EQ(1, session_of(id)->spc->size);
	stop_session(id);
}

TEST_F(SnapReadTest, StopIsRefusedWhileAnotherProcessHoldsTheDevice)
{
	int id = start_session();
	ASSERT_GT(id, 0);
	task_thread mounter("mounter"), agent("qel-mount");
	int fd = mounter.open(vek(id), O_RDONLY);
	int agent_fd = agent.open(vek(id), O_RDONLY);
	ASSERT_GE(fd, 0);
	ASSERT_GE(agent_fd, 0);

	host::dmesg_clear();
	EXPECT_NE(0, stop(id));
	EXPECT_EQ(1, dmesg_count("vek: ERROR: Can not stop mounted vek session vek" +
				 std::to_string(id) + ", please unmount and try again."));
	for (int n = 1; n <= 5; n++)
		EXPECT_EQ(1, dmesg_count("vek: INFO: Shutdown request " + std::to_string(n) +
					 " on vek" + std::to_string(id) +
					 " with 1 users and 1 qel users."));
	EXPECT_EQ(0, dmesg_count("Shutdown request 6"));
	EXPECT_EQ(5, dmesg_count(",mounter : 1"));
	// The session is still there and serves the image.
	EXPECT_EQ(1, session_count());
	EXPECT_TRUE(same_bytes(slice(image, 0, 8192), read_as("qel-reader", vek(id), 0, 8192)));

	// The agent's own handle does not hold the stop up.
	EXPECT_EQ(0, mounter.close(fd));
	stop_session(id);
	EXPECT_EQ(0, session_count());
	EXPECT_EQ(0, agent.close(agent_fd));
	EXPECT_EQ(0, dmesg_count("Close without clone"));
	// The next session gets the lowest number again.
	int again = start(part1, dir() + "/again");
	EXPECT_EQ(id, again);
	EXPECT_EQ(0, stop(again));
}

// Bios inside the IO path of the snapshot device (its IO references besides the look-up's
// own); -1 when the device has no record.
int io_refs_of(int id)
{
	struct blkdev_replica *clone = get_blkdev_replica(id);
	int refs;

	if (!clone)
		return -1;
	refs = atomic_read(&clone->io_refs) - 1;
	put_blkdev_replica(clone);
	return refs;
}

TEST_F(SnapReadTest, StopWaitsForABioInsideTheIoPath)
{
	int id = start_session();
	ASSERT_GT(id, 0);
	// A source write whose chunk copy is held at the disk keeps chunk 9 in flight with
	// its locks held; a snapshot read of chunk 9 waits inside the IO path for them. The
	// clock stands still until the stop has begun, so the copy cannot end any earlier.
	host::set_clock_speed(0);
	ASSERT_GT(host::disk_fault_add(disk, host::disk_fault::delay, 64 + 9 * 128, 128, 1, 60000), 0);
	auto fresh = pattern(4096, 77);
	std::thread writer([&] { write_source(part1, 9 * kChunk, fresh); });
	while (in_flight(id, 9) == -1)
		std::this_thread::yield();

	// The bio's own completion is timed: the reader's return from a pread could come after
	// the stop even though the bio had left the IO path first.
	struct page *page = alloc_page(GFP_KERNEL);
	ASSERT_NE(nullptr, page);
	std::atomic<long long> read_done{0};
	std::atomic<int> read_err{1};
	std::thread reader([&] {
		raw_result r = raw_bio("qel-reader", id, 9 * kChunk / 512, READ, page);
		read_err = r.err;
		read_done = r.ended;
	});
	while (io_refs_of(id) < 1)
		std::this_thread::yield();

	// The clock runs again once the stop holds workLock: the stop began with the bio
	// inside, and whatever it waits for (the source write, the bio) ends only now.
	std::atomic<long long> done_at_resume{-1};
	std::thread resume([&] {
		while (!down_trylock(&workLock)) {
			up(&workLock);
			std::this_thread::yield();
		}
		done_at_resume = read_done.load();
		host::set_clock_speed(clock_speed);
	});
	EXPECT_EQ(0, stop(id)) << vekfx::dmesg_text();
	long long stopped = clk::now().time_since_epoch().count();
	resume.join();
	reader.join();
	writer.join();
	w->join();
	host::disk_fault_clear(disk);
	EXPECT_EQ(0, done_at_resume.load()) << "the bio was inside when the stop began";
	EXPECT_EQ(0, read_err.load());
	EXPECT_GT(read_done.load(), 0);
	EXPECT_LE(read_done.load(), stopped) << "the stop returned while a bio was inside";
	const uint8_t *data = (const uint8_t *)page_address(page);
	EXPECT_TRUE(same_bytes(slice(image, 9 * kChunk, 4096), std::vector<uint8_t>(data, data + 4096)));
	__free_page(page);
	EXPECT_TRUE(same_bytes(fresh, read_dev(devpath(part1), 9 * kChunk, 4096)));
}

// A worker with only a few preserved chunks queued sleeps until its sleep times out; with the
// platform clock stopped that is never, so a copy stays in memory to be looked at.
class SnapInFlightTest : public SnapReadTest {
protected:
	SnapInFlightTest() { clock_stops_with_io = true; }
};

TEST_F(SnapInFlightTest, AChunkStillInFlightIsServedFromItsPages)
{
	// Stopped before the worker comes: no sleep of it may end before the copy is looked at.
	host::set_clock_speed(0);
	int id = start_session(1);
	ASSERT_GT(id, 0);
	write_source(part1, 4 * kChunk + 4096, pattern(4096, 55));
	ASSERT_EQ(0, in_flight(id, 4));
	EXPECT_TRUE(same_bytes(slice(image, 4 * kChunk, kChunk),
			       read_as("qel-reader", vek(id), 4 * kChunk, kChunk)));
	// Served without the worker: it would have stored the chunk on being woken.
	EXPECT_EQ(0, in_flight(id, 4));

	// A snapshot write into the copy still in memory is merged into its pages.
	auto mine = pattern(6000, 9);
	write_as("qel-writer", vek(id), 4 * kChunk + 100, mine);
	EXPECT_EQ(0, in_flight(id, 4));
	EXPECT_TRUE(same_bytes(mine, read_as("qel-reader", vek(id), 4 * kChunk + 100, 6000)));
	EXPECT_TRUE(same_bytes(slice(image, 4 * kChunk + 6100, 4096),
			       read_as("qel-reader", vek(id), 4 * kChunk + 6100, 4096)));
	host::set_clock_speed(clock_speed);
	stop_session(id);
}

}  // namespace
