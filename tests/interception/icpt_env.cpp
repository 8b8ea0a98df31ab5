// icpt_env.cpp - see icpt_env.h.
#include "icpt_env.h"

#include <chrono>
#include <cstring>
#include <thread>
#include <fcntl.h>
#include <linux/mm.h>

namespace icpt {

gate g;

void gate::close_reads(uint64_t lo, uint64_t hi)
{
	std::lock_guard<std::mutex> lk(m);
	hold_lo = lo;
	hold_hi = hi;
	hold_reads = true;
}

void gate::open_reads()
{
	std::lock_guard<std::mutex> lk(m);
	hold_reads = false;
	cv.notify_all();
}

std::vector<seen_bio> gate::log()
{
	std::lock_guard<std::mutex> lk(m);
	return seen;
}

size_t gate::count(bool write)
{
	std::lock_guard<std::mutex> lk(m);
	size_t n = 0;
	for (auto &s : seen)
		n += s.write == write;
	return n;
}

bool gate::wait_count(bool write, size_t n, int ms)
{
	auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
	while (count(write) < n) {
		if (std::chrono::steady_clock::now() > until)
			return false;
		std::this_thread::sleep_for(std::chrono::milliseconds(1));
	}
	return true;
}

// Process context of the submitter, like any make_request_fn.
static int gate_mrf(struct request_queue *q, struct bio *bio)
{
	bool w = bio_data_dir(bio) == WRITE;
	{
		std::unique_lock<std::mutex> lk(g.m);
		g.seen.push_back({w, bio->bi_sector, bio->bi_size});
		g.cv.notify_all();
		uint64_t s = bio->bi_sector;
		if (!w && s >= g.hold_lo && s < g.hold_hi)
			g.cv.wait(lk, [] { return !g.hold_reads; });
	}
	return g.lower(q, bio);
}

void InterceptTest::SetUp()
{
	host::set_clock_speed(1000);
	host::fault_reset();
	host::disk_spec spec;
	spec.name = "sda";
	spec.nr_sects = kDiskSectors;
	spec.partitions = {{kPart1Start, kPart1Sectors}, {kPart2Start, kPart2Sectors}};
	disk = host::add_disk(spec);
	ASSERT_NE(0u, disk);
	part1 = disk + 1;
	part2 = disk + 2;
	ASSERT_EQ(0, host::insmod());
	loaded = true;
	g.seen.clear();
	g.hold_reads = false;
	g.lower = nullptr;
	host::dmesg_clear();
	kmalloc_before = host::kmalloc_in_use();
	pages_before = host::pages_in_use();
	bios_before = host::bios_in_use();
}

void InterceptTest::TearDown()
{
	g.open_reads();
	while (!sessions.empty())
		drop_session(sessions.back());
	host::fault_reset();
	EXPECT_EQ(0, atomic_read(&total_cow_pages));
	// The watchdog thread briefly holds session nodes of its own: allow it to finish.
	for (int i = 0; i < 500 && host::kmalloc_in_use() != kmalloc_before; i++)
		std::this_thread::sleep_for(std::chrono::milliseconds(1));
	EXPECT_EQ(kmalloc_before, host::kmalloc_in_use()) << "kmalloc objects left";
	EXPECT_EQ(pages_before, host::pages_in_use()) << "pages left";
	EXPECT_EQ(bios_before, host::bios_in_use()) << "bios left";
	if (loaded) {
		EXPECT_EQ(0, host::rmmod());
	}
	if (disk) {
		EXPECT_EQ(0, host::del_disk(disk));
	}
}

cow_session *InterceptTest::make_session(dev_t dev)
{
	cow_session *cs = alloc_cow_session();
	struct block_device *bdev = bdget(dev);

	if (!cs || !bdev)
		abort();
	cs->dev = dev;
	cs->bdev = bdev;
	cs->major = bdev->bd_disk->major;
	cs->first_minor = bdev->bd_disk->first_minor;
	cs->part.start_sect = bdev->bd_part->start_sect;
	cs->part.nr_sects = bdev->bd_part->nr_sects;
	cs->hw_sector_size = 512;
	cs->clone_id = (int)sessions.size() + 1;
	cs->mode = USER_SPACE_FILE;
	cs->chunk_size = 65536;
	cs->chunk_mask = 65535;
	cs->chunk_shift = 16;
	cs->sector_shift = 9;
	cs->errorMsg = (char *)kzalloc(VEK_ERROR_MSG_LEN, GFP_KERNEL);
	cs->thread_info = (io_thread_info *)kzalloc(sizeof(io_thread_info), GFP_KERNEL);
	spin_lock_init(&cs->thread_info->io_threads_lock);
	init_completion(&cs->thread_info->io_thread_done);
	if (!new_io_threads(cs->thread_info))
		abort();
	spin_lock_init(&cs->chunk_lock);
	spin_lock_init(&cs->if_lock);
	spin_lock_init(&cs->pos_lock);
	spin_lock_init(&cs->users_lock);
	spin_lock_init(&cs->write_list_lock);
	if (init_chunk_table(&cs->chunk_table, down_to_power_of_2(131072)) ||
	    init_chunk_table(&cs->if_table, down_to_power_of_2(131072)))
		abort();
	cs->smrf = get_smrf(bdev);
	INIT_LIST_HEAD(&cs->list);
	sessions.push_back(cs);
	return cs;
}

void InterceptTest::list_session(cow_session *cs)
{
	ASSERT_EQ(0, set_mrf(cs->smrf, cs->bdev, cow_request));
	cs->set_mrf = 1;
	down(&session_list_lock);
	list_add_tail(&cs->list, &session_list_head);
	up(&session_list_lock);
}

void InterceptTest::use_gate(cow_session *cs)
{
	g.lower = cs->smrf->mrf;
	cs->smrf->mrf = gate_mrf;
}

void InterceptTest::drop_session(cow_session *cs)
{
	for (size_t i = 0; i < sessions.size(); i++)
		if (sessions[i] == cs)
			sessions.erase(sessions.begin() + (long)i);
	if (!list_empty(&cs->list)) {
		down(&session_list_lock);
		list_del_init(&cs->list);
		up(&session_list_lock);
	}
	atomic_inc(&cs->sd);
	/* As a stop does: whoever still holds a reference (the watchdog) finishes first. */
	while (get_users(cs) > 0)
		std::this_thread::sleep_for(std::chrono::milliseconds(1));
	runIOCleanup(cs);
	if (cs->set_mrf) {
		/* The last holder gives the queue the disk's own function, not the gate. */
		if (cs->smrf->mrf == gate_mrf && atomic_read(&cs->smrf->mapped) == 1)
			cs->smrf->mrf = g.lower;
		unset_mrf(cs->smrf);
	}
	put_cow_session(cs);
}

void InterceptTest::write_dev(const char *path, off_t off, const std::vector<uint8_t> &data)
{
	int fd = host::open(path, O_RDWR);
	ASSERT_GE(fd, 0) << path;
	ASSERT_EQ((ssize_t)data.size(), host::pwrite(fd, data.data(), data.size(), off));
	host::close(fd);
}

std::vector<uint8_t> InterceptTest::read_dev(const char *path, off_t off, size_t len)
{
	std::vector<uint8_t> out(len);
	int fd = host::open(path, O_RDONLY);
	EXPECT_GE(fd, 0) << path;
	EXPECT_EQ((ssize_t)len, host::pread(fd, out.data(), len, off));
	host::close(fd);
	return out;
}

std::vector<uint8_t> InterceptTest::pattern(size_t len, uint8_t seed)
{
	std::vector<uint8_t> v(len);
	for (size_t i = 0; i < len; i++)
		v[i] = (uint8_t)(seed + i * 7 + (i >> 9));
	return v;
}

std::vector<std::pair<uint64_t, std::vector<uint8_t>>> InterceptTest::queued_copies(cow_session *cs)
{
	std::vector<std::pair<uint64_t, std::vector<uint8_t>>> out;
	io_thread_info *ti = cs->thread_info;
	unsigned long flags;

	spin_lock_irqsave(&ti->io_threads_lock, flags);
	for (int i = 0; i < VEK_IO_THREADS; i++) {
		struct if_chunk *ic;
		list_for_each_entry(ic, &ti->io_threads[i]->io_list, submit_list) {
			std::vector<uint8_t> data;
			struct file_copy *fc;
			list_for_each_entry(fc, &ic->fc_list_head, fc_list) {
				for (int s = 0; s < fc->bio->bi_vcnt; s++) {
					struct bio_vec *bv = &fc->bio->bi_io_vec[s];
					uint8_t *p = (uint8_t *)page_address(bv->bv_page) + bv->bv_offset;
					data.insert(data.end(), p, p + bv->bv_len);
				}
			}
			out.emplace_back(ic->chunk, std::move(data));
		}
	}
	spin_unlock_irqrestore(&ti->io_threads_lock, flags);
	return out;
}

int InterceptTest::dmesg_count(const std::string &needle)
{
	int n = 0;
	for (const auto &line : host::dmesg())
		n += line.find(needle) != std::string::npos;
	return n;
}

}  // namespace icpt
