// Every fault point the driver's whole life passes, failed at each of its hits in turn: the
// life (load, a start, source writes before and after its workers come, snapshot reads of
// chunks stored in the backing files and of one still in memory, a snapshot write, change-
// record fetches, stop, unload) runs to count the hits of each point, then once for every k
// (a seeded sample when there are many), failing the k-th hit. Whatever fails, the source's
// completed writes are on the disk and none of its writes failed for the snapshot's sake, a
// session is fine or in error with its reason, what the snapshot served while it said nothing
// of an error is the image of the freeze, and stop and unload succeed with every counter back
// where it was.
#include "cow.h"
#include "driver_fixture.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <host/fault.h>
#include <host/host.h>
#include <host/host_block.h>
#include <linux/vmstat.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace {

struct Variant {
	const char *point;
	const char *how;	// "" the point's usual failure, else what the rule makes of it
	int error = 0;
	long long value = -1;
};

// Each allocator, bio allocation, disk read and write, backing-file write (error, short, no
// space), backing-file read, statfs (error, no free block left), thread creation and
// registration.
const Variant kVariants[] = {
	{"kmalloc", ""},		{"kmem_cache_alloc", ""},
	{"kmem_cache_create", ""},	{"mempool_create", ""},
	{"alloc_page", ""},		{"vmalloc", ""},
	{"bio_alloc", ""},		{"kthread_create", ""},
	{"register_chrdev", ""},	{"register_blkdev", ""},
	{"alloc_disk", ""},		{"blk_alloc_queue", ""},
	{"disk_read", ""},		{"disk_write", ""},
	{"file_write", ""},		{"file_write", "short", 0, 512},
	{"file_write", "ENOSPC", -ENOSPC}, {"file_read", ""},
	{"statfs", ""},			{"statfs", "full", 0, 0},
};

std::string variant_name(const Variant &v)
{
	return std::string(v.point) + (*v.how ? std::string("_") + v.how : "");
}
void PrintTo(const Variant &v, std::ostream *os) { *os << variant_name(v); }

constexpr off_t kChunk = 65536;
// Source writes: 4 KiB into several chunks, one across a chunk boundary, one over four
// chunks (whose copies are all under way at once when one of them fails), one rewrite. The
// first kEarlyWrites come before any worker: their eight chunks wait on the first worker's
// queue, more than the batch limit below, so its first cycle checks the backing file
// system's free space.
const std::vector<std::pair<off_t, size_t>> kWrites = {
	{0, 4096}, {3 * kChunk + 8192, 4096}, {5 * kChunk - 2048, 4096},
	{9 * kChunk - 4096, 2 * kChunk + 8192}, {3 * kChunk + 8192, 4096}, {20 * kChunk, 4096},
};
constexpr size_t kEarlyWrites = 4;
// The workers' batch limit for the life (160 chunks at load): with two workers each wakes
// for more than one queued chunk, so the chunks the life preserves are in the backing files,
// and not still in memory, when the snapshot is read, and come back with file reads.
constexpr unsigned long kBatchLimit = 4;

// Transfers still queued on the session's workers.
long queued_transfers(int id)
{
	long n = 0;
	down(&workLock);
	struct cow_session *cs = get_cow_session_by_id(id);
	for (int i = 0; cs && cs->thread_info && i < VEK_IO_THREADS; i++)
		if (struct io_thread *t = cs->thread_info->io_threads[i])
			n += atomic_read(&t->pending_io);
	up(&workLock);
	return n;
}
constexpr off_t kSnapWrite = 12 * kChunk;	// where the snapshot device itself is written

class FaultSweep : public vekfx::DriverTest, public ::testing::WithParamInterface<Variant> {
protected:
	FaultSweep()
	{
		load_module = false;
		disk_sectors = 16384;	// 8 MiB
		part_sectors = 4096;	// 2 MiB, 32 chunks each
	}

	std::atomic<bool> phase{false};	// the life runs: only its calls count and fail
	std::map<std::string, int> outcomes;

	// A start on part1 with change tracking that wants one block of the backing file
	// system kept free; the id, or -1.
	int start_keeping_a_block(const std::string &stem)
	{
		snap_shot_request req = vekfx::make_start_request(
			part1, stem, VEK_MODE_CHANGE_TRACKING | USER_SPACE_FILE);
		req.bfree = 1;
		return ioctl(VEK_IOCTL_START_VK2, &req) == 0 ? req.id : -1;
	}
	// One life; its outcome in words. Every invariant is an EXPECT, with `label` saying
	// which run broke it.
	std::string life(const std::string &label, bool disk_may_fail_writes);
};

std::string FaultSweep::life(const std::string &label, bool disk_may_fail_writes)
{
	SCOPED_TRACE(label);
	const size_t part_bytes = size_t(part_sectors) * 512;
	// The partition as it is when the snapshot is taken; the source as it must end.
	std::vector<uint8_t> image = pattern(part_bytes, 0x5a);
	EXPECT_EQ((ssize_t)part_bytes, host::fs_pwrite(part1, image.data(), part_bytes, 0));
	std::vector<uint8_t> source = image;
	std::vector<bool> unknown(part_bytes, false);	// bytes of a write the disk failed
	const long dirty_before = host::zone_page_state(NR_FILE_DIRTY);
	host::dmesg_clear();

	std::string what;
	phase = true;
	int rc = load();
	if (rc == 0)
		zk_max_chunk_buffer = kBatchLimit;
	int id = -1;
	if (rc != 0) {
		what = "load refused";
	} else if ((ctl = open_control()) < 0) {
		what = "control device refused";
	} else if ((id = start_keeping_a_block(dir() + "/sweep")) < 0) {
		what = "start refused";
		EXPECT_EQ(0, session_count()) << "a refused start left a session";
	}
	int failed_writes = 0, landed = 0;
	auto source_write = [&](size_t i) {
		auto [off, len] = kWrites[i];
		std::vector<uint8_t> d = pattern(len, uint8_t(17 * i + 1));
		ssize_t n = host::fs_pwrite(part1, d.data(), len, off);
		if (n == (ssize_t)len) {
			landed++;
			std::copy(d.begin(), d.end(), source.begin() + off);
			std::fill(unknown.begin() + off, unknown.begin() + off + len, false);
		} else {
			failed_writes++;
			std::fill(unknown.begin() + off, unknown.begin() + off + len, true);
		}
	};
	for (size_t i = 0; id > 0 && i < kEarlyWrites; i++)
		source_write(i);
	std::unique_ptr<vekfx::io_workers> w;
	if (id > 0) {
		// A staging buffer of one chunk: the window holds the last chunk stored, the others
		// are read back from the file.
		w = std::make_unique<vekfx::io_workers>(id, 2, dir(), 65536);
		// The wait is in platform time: a loaded machine may bring the workers in later.
		int waited = -1;
		for (int tries = 0; waited != 0 && tries < 20; tries++)
			waited = w->wait_first(ctl);
		if (waited != 0) {
			// As the agent does when no worker came: the driver stops the session.
			snap_shot_request req{};
			req.id = id;
			ioctl(VEK_IOCTL_NO_THREAD_SHUTDOWN, &req);
			what = "no worker registered";
		}
	}
	if (id > 0 && what.empty()) {
		for (size_t i = kEarlyWrites; i < kWrites.size(); i++)
			source_write(i);
		// The early chunks go to the backing files now; the last one may stay in memory.
		// The bound only ends a wait that a failure made endless.
		vekfx::eventually([&] { return queued_transfers(id) <= 1; }, 5000);

		// The whole image, then a write to the snapshot device and its read-back.
		std::vector<uint8_t> got(part_bytes);
		const std::string vek = "/dev/vek" + std::to_string(id);
		ssize_t n = -1, wn = -1, rn = -1;
		std::vector<uint8_t> mine = pattern(4096, 0xc3), back(4096);
		vekfx::run_as("qel-reader", [&] {
			int fd = host::open(vek.c_str(), O_RDWR);
			if (fd < 0)
				return;
			n = host::pread(fd, got.data(), part_bytes, 0);
			wn = host::pwrite(fd, mine.data(), mine.size(), kSnapWrite);
			rn = host::pread(fd, back.data(), back.size(), kSnapWrite);
			host::close(fd);
		});

		// Change records: intact tracking must account for every source write that landed.
		host::ioctl(ctl, VEK_IOCTL_UNBLOCK_CHANGE_RECORDS, nullptr);
		std::vector<change_record_usr_v2> recs(64);
		change_recrod_request_v2 crr{};
		crr.size = int32_t(recs.size());
		crr.cru = recs.data();
		int got_recs = host::ioctl(ctl, VEK_IOCTL_GET_CHANGED_RECORDS_V2, &crr);
		if (got_recs >= 0 && crr.tracking == 1) {
			int of_part1 = 0;
			for (int i = 0; i < got_recs; i++)
				of_part1 += recs[i].major == vekfx::dev_major(part1) &&
					    recs[i].minor == vekfx::dev_minor(part1);
			EXPECT_GE(of_part1, landed) << "tracking said intact and lost records";
		}

		// The list may fail (its own allocation); the session's error then comes from the
		// error text alone.
		std::vector<session_list> l(16);
		session_list_request slr{};
		slr.size = int32_t(l.size());
		slr.sl = l.data();
		bool listed = ioctl(VEK_IOCTL_GET_VK_LIST2, &slr) == 0, found = false, in_error = false;
		for (int i = 0; listed && i < slr.size && i < int(l.size()); i++)
			if (l[i].id == id) {
				found = true;
				in_error = l[i].error != 0;
			}
		EXPECT_TRUE(!listed || found) << "the session vanished before its stop";
		std::string text = get_string_cmd(VEK_IOCTL_GET_SESSION_ERROR, id);
		if (!listed && !text.empty() && text != "NO ERROR")
			in_error = true;
		if (in_error) {
			EXPECT_FALSE(text.empty() || text == "NO ERROR") << "an error without its reason";
			what = "session in error: " + text;
		} else {
			// Nothing said of an error: what the snapshot served is the freeze's image. A
			// read or write that failed told its caller so.
			EXPECT_TRUE(n != (ssize_t)part_bytes || got == image) << "the snapshot image is wrong";
			EXPECT_TRUE(rn != 4096 || wn != 4096 || back == mine)
				<< "a snapshot write did not read back";
			what = n != (ssize_t)part_bytes || wn != 4096 || rn != 4096 ? "snapshot I/O failed"
			       : failed_writes ? "a source write failed at the disk"
			       : !listed	 ? "the list failed"
						 : "clean";
		}
	}
	if (id > 0 && !disk_may_fail_writes) {
		EXPECT_EQ(0, failed_writes) << "a source write failed for the snapshot's sake";
	}
	if (id > 0) {
		// The stop's own record may not be had: the agent asks again, as it would.
		int stopped = -1, tries = 0;
		while (stopped != 0 && tries++ < 3)
			stopped = stop(id);
		EXPECT_EQ(0, stopped) << "the stop failed three times: " << vekfx::dmesg_text();
		if (stopped != 0) {
			host::fault_reset();	// for the workers to leave, in a run already failed
			stopped = stop(id);
		}
		if (stopped == 0)
			w->join();
		else
			(void)w.release();	// still inside the driver: never joined
		if (tries > 1)
			what += " (stop asked again)";
	}
	// The session is stopped: what is left is closing the handles and the unload itself.
	for (int fd : handles)
		host::close(fd);
	handles.clear();
	ctl = -1;
	int unloaded = loaded ? host::rmmod() : 0;
	if (unloaded == 0)
		loaded = false;
	phase = false;
	EXPECT_EQ(0, unloaded) << "unload failed";
	if (unloaded == 0) {
		vekfx::expect_no_leaks(baseline);
		EXPECT_EQ(dirty_before, host::zone_page_state(NR_FILE_DIRTY)) << "dirty pages left";
	}
	// The source holds every write that completed.
	std::vector<uint8_t> now = read_dev("/dev/sda1", 0, part_bytes);
	bool same = now.size() == part_bytes;
	for (size_t i = 0; same && i < part_bytes; i++)
		same = unknown[i] || now[i] == source[i];
	EXPECT_TRUE(same) << "a completed source write is not on the disk";
	return what;
}

// The k values to fail: all of them up to the budget, else a seeded sample that keeps the first
// and the last hit.
std::vector<long> choose(long hits, size_t budget, uint64_t seed)
{
	std::vector<long> ks;
	if ((size_t)hits <= budget) {
		for (long k = 1; k <= hits; k++)
			ks.push_back(k);
		return ks;
	}
	std::set<long> pick{1, hits};
	std::mt19937_64 rng(seed);
	while (pick.size() < budget)
		pick.insert(1 + long(rng() % uint64_t(hits)));
	return {pick.begin(), pick.end()};
}

TEST_P(FaultSweep, EveryHitFailedLeavesTheSourceWholeAndTheDriverUnloadable)
{
	const Variant v = GetParam();
	const std::string name = variant_name(v);
	// A rule that fails nothing counts the point's calls inside the life.
	std::atomic<long> hits{0};
	host::fault_rule count;
	count.count = -1;
	count.match = [&](const host::fault_ctx &) {
		if (phase)
			hits++;
		return false;
	};
	// Four counts, the smallest kept: the workers' wake-ups and the watchdog's passes come by
	// the clock, so a slow run has more hits of some points than a fast one.
	long fewest = -1;
	for (int pass = 0; pass < 4; pass++) {
		hits = 0;
		host::fault_inject(v.point, count);
		EXPECT_EQ("clean", life(name + " counting", false));
		host::fault_clear(v.point);
		if (HasFailure())
			return;
		fewest = fewest < 0 ? hits.load() : std::min(fewest, hits.load());
	}

	const size_t budget = getenv("VEK_SWEEP_RUNS") ? size_t(atoi(getenv("VEK_SWEEP_RUNS"))) : 40;
	const uint64_t seed = vekfx::test_seed();
	std::vector<long> ks = choose(fewest, std::max<size_t>(budget, 2), seed);
	for (long k : ks) {
		host::fault_rule r;
		r.skip = unsigned(k - 1);
		r.count = 1;
		r.error = v.error;
		r.value = v.value;
		r.match = [&](const host::fault_ctx &) { return phase.load(); };
		host::fault_inject(v.point, r);
		std::string what = life(name + " failing hit " + std::to_string(k), name == "disk_write");
		// Threads take their turns differently from run to run: a late hit may not come.
		if (host::fault_failures(v.point) == 0)
			what = "hit not reached";
		host::fault_reset();
		outcomes[what]++;
		if (HasFailure())
			break;
	}
	std::string table;
	for (auto &[what, n] : outcomes)
		table += "\n  " + std::to_string(n) + " x " + what;
	std::cout << "[ sweep ] " << name << ": " << fewest << " hits, " << ks.size() << " runs"
		  << (fewest ? "" : " (the life never reaches this point)") << table
		  << std::endl;
}

INSTANTIATE_TEST_SUITE_P(EveryPoint, FaultSweep, ::testing::ValuesIn(kVariants),
			 [](const ::testing::TestParamInfo<Variant> &i) { return variant_name(i.param); });

}  // namespace
