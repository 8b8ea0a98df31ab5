// Change records: how fast writes to a tracked source are recorded and how fast the agent
// fetches them in batches of 4096.
//
//   TrackedWrite vs UntrackedWrite: 4 KiB direct writes to a RAM-disk partition whose
//   change tracking outlived its snapshot session, against the same writes to the other,
//   untracked partition of the disk (records per second = writes per second).
//   RecordChange: record_change alone, on a hand-made session and bio (the recording cost
//   without the block layer).
//   Fetch/V1, Fetch/V2: one fetch command of a batch of 4096 queued records.
//
// The queue is emptied between measured runs so memory stays flat.
#include "cow.h"

#include <benchmark/benchmark.h>
#include <host/host.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <vector>

namespace {

constexpr uint64_t kPartSectors = 131072;	// 64 MiB each
constexpr size_t kBlock = 4096;
constexpr int kBatch = 4096;

int g_ctl = -1;
dev_t g_disk = 0;
int g_tracked_fd = -1, g_untracked_fd = -1;

void die(const char *what)
{
	fprintf(stderr, "changes_record: %s\n", what);
	exit(1);
}

// A tracked partition: a change-tracking snapshot started and stopped again, which leaves
// the change-tracking session holding the disk's queue.
void setup()
{
	host::set_clock_speed(200);
	host::disk_spec spec;
	spec.name = "sda";
	spec.nr_sects = 2048 + 2 * kPartSectors;
	spec.partitions = {{2048, kPartSectors}, {2048 + kPartSectors, kPartSectors}};
	g_disk = host::add_disk(spec);
	if (!g_disk || host::mount(g_disk + 1))
		die("cannot set up the disk");
	if (host::insmod())
		die("insmod failed");
	g_ctl = host::open("/dev/vekdriver", O_RDWR);

	snap_shot_request req{};
	req.major = (int)(g_disk >> 20);
	req.minor = (int)((g_disk + 1) & 0xFFFFF);
	req.mode = VEK_MODE_CHANGE_TRACKING | USER_SPACE_FILE;
	snprintf(req.device_name, sizeof(req.device_name), "sda1");
	snprintf(req.device_path, sizeof(req.device_path), "/dev/sda1");
	snprintf(req.backing_file, sizeof(req.backing_file), "/tmp/changes_record_bench");
	if (host::ioctl(g_ctl, VEK_IOCTL_START_VK2, &req) != 0)
		die("start failed");
	snap_shot_request stop{};
	stop.id = req.id;
	if (host::ioctl(g_ctl, VEK_IOCTL_STOP_VK, &stop) != 0)
		die("stop failed");

	g_tracked_fd = host::open("/dev/sda1", O_RDWR);
	g_untracked_fd = host::open("/dev/sda2", O_RDWR);
	if (g_ctl < 0 || g_tracked_fd < 0 || g_untracked_fd < 0)
		die("cannot open the devices");
}

void teardown()
{
	host::close(g_tracked_fd);
	host::close(g_untracked_fd);
	host::close(g_ctl);
	host::rmmod();
	host::umount(g_disk + 1);
	host::del_disk(g_disk);
}

// Fetches everything queued, outside the measurement; the number of records fetched.
long drain()
{
	static std::vector<change_record_usr_v2> cru(kBatch);
	long total = 0;
	for (;;) {
		int n = atomic_read(&record_list_lenght);
		if (n <= 0)
			return total;
		change_recrod_request_v2 crr{};
		crr.size = n < kBatch ? n : kBatch;
		crr.cru = cru.data();
		int got = host::ioctl(g_ctl, VEK_IOCTL_GET_CHANGED_RECORDS_V2, &crr);
		if (got < 0)
			die("fetch failed");
		total += got;
	}
}

// Writes cycle over blocks 1.. of the partition: block 0 of the second partition starts on
// the sector right after the first one, which tracking counts as the first one's (its
// range is inclusive at the end), and the untracked baseline must stay untracked.
void write_loop(benchmark::State &state, int fd)
{
	std::vector<char> buf(kBlock, 'x');
	uint64_t blocks = kPartSectors * 512 / kBlock - 1;
	uint64_t i = 0, since_drain = 0;
	long records = 0;
	for (auto _ : state) {
		if (host::pwrite(fd, buf.data(), kBlock, (off_t)((1 + i++ % blocks) * kBlock)) !=
		    (ssize_t)kBlock)
			die("write failed");
		if (++since_drain == 65536) {
			state.PauseTiming();
			records += drain();
			since_drain = 0;
			state.ResumeTiming();
		}
	}
	records += drain();
	state.SetItemsProcessed(state.iterations());
	state.counters["records"] = (double)records;
}

void BM_TrackedWrite(benchmark::State &state)
{
	write_loop(state, g_tracked_fd);
}

void BM_UntrackedWrite(benchmark::State &state)
{
	write_loop(state, g_untracked_fd);
	if (state.counters["records"] != 0)
		die("untracked partition produced records");
}

struct hand_source {
	struct ct_session *cts;
	struct gendisk disk;
	struct block_device bdev;
	struct bio bio;
	hand_source()
	{
		cts = alloc_cts_session();
		cts->dev = MKDEV(8, 17);
		cts->major = 8;
		cts->first_minor = 16;
		cts->start_sect = 2048;
		cts->nr_sects = kPartSectors;
		memset((void *)&disk, 0, sizeof(disk));
		memset((void *)&bdev, 0, sizeof(bdev));
		memset((void *)&bio, 0, sizeof(bio));
		disk.major = 8;
		disk.first_minor = 16;
		bdev.bd_disk = &disk;
		bio.bi_bdev = &bdev;
		bio.bi_size = kBlock;
	}
	~hand_source() { kfree(cts); }
	void queue(int n)
	{
		for (int i = 0; i < n; i++) {
			bio.bi_sector = 2048 + (uint64_t)(i % 16384) * 8;
			record_change(cts, &bio, 0);
		}
	}
};

void BM_RecordChange(benchmark::State &state)
{
	hand_source src;
	uint64_t since_drain = 0;
	for (auto _ : state) {
		src.bio.bi_sector = 2048 + (since_drain % 16384) * 8;
		record_change(src.cts, &src.bio, 0);
		if (++since_drain == 65536) {
			state.PauseTiming();
			drain();
			since_drain = 0;
			state.ResumeTiming();
		}
	}
	state.SetItemsProcessed(state.iterations());
	drain();
}

template <typename Req, typename Rec, unsigned long Cmd>
void fetch_loop(benchmark::State &state)
{
	hand_source src;
	std::vector<Rec> cru(kBatch);
	for (auto _ : state) {
		state.PauseTiming();
		src.queue(kBatch);
		state.ResumeTiming();
		Req crr{};
		crr.size = kBatch;
		crr.cru = cru.data();
		if (host::ioctl(g_ctl, Cmd, &crr) != kBatch)
			die("short fetch");
	}
	state.SetItemsProcessed(state.iterations() * kBatch);
}

void BM_Fetch_V1(benchmark::State &state)
{
	fetch_loop<change_recrod_request, change_record_usr, VEK_IOCTL_GET_CHANGED_RECORDS>(state);
}

void BM_Fetch_V2(benchmark::State &state)
{
	fetch_loop<change_recrod_request_v2, change_record_usr_v2,
		   VEK_IOCTL_GET_CHANGED_RECORDS_V2>(state);
}

// Wall-clock rates: the writes wait for the disk's completion thread.
BENCHMARK(BM_TrackedWrite)->UseRealTime();
BENCHMARK(BM_UntrackedWrite)->UseRealTime();
BENCHMARK(BM_RecordChange)->UseRealTime();
BENCHMARK(BM_Fetch_V1)->UseRealTime();
BENCHMARK(BM_Fetch_V2)->UseRealTime();

}  // namespace

int main(int argc, char **argv)
{
	benchmark::Initialize(&argc, argv);
	if (benchmark::ReportUnrecognizedArguments(argc, argv))
		return 1;
	setup();
	benchmark::RunSpecifiedBenchmarks();
	teardown();
	benchmark::Shutdown();
	return 0;
}
