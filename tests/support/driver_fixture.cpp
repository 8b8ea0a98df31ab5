// driver_fixture.cpp - see driver_fixture.h.
#include "driver_fixture.h"

#include <linux/list.h>
#include <linux/semaphore.h>

#include <chrono>

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <mutex>
#include <random>
#include <sys/prctl.h>
#include <unistd.h>

namespace vekfx {

int dmesg_count(const std::string &needle)
{
	int n = 0;
	for (const auto &line : host::dmesg())
		if (line.find(needle) != std::string::npos)
			n++;
	return n;
}

std::string dmesg_text()
{
	std::string all;
	for (const auto &line : host::dmesg())
		all += line + "\n";
	return all;
}

snap_shot_request make_start_request(dev_t dev, const std::string &stem, int mode)
{
	snap_shot_request req;
	memset(&req, 0, sizeof(req));
	req.major = (int)dev_major(dev);
	req.minor = (int)dev_minor(dev);
	req.mode = mode;
	snprintf(req.device_name, sizeof(req.device_name), "dev%u_%u", dev_major(dev),
		 dev_minor(dev));
	snprintf(req.device_path, sizeof(req.device_path), "/dev/test/%u:%u", dev_major(dev),
		 dev_minor(dev));
	snprintf(req.backing_file, sizeof(req.backing_file), "%s", stem.c_str());
	snprintf(req.backing_dev, sizeof(req.backing_dev), "/dev/backing");
	return req;
}

uint64_t test_seed()
{
	uint64_t seed;
	if (const char *s = getenv("VEK_TEST_SEED"))
		seed = strtoull(s, nullptr, 0);
	else
		seed = std::random_device{}();
	printf("test seed: VEK_TEST_SEED=%llu\n", (unsigned long long)seed);
	return seed;
}

void run_as(const std::string &name, const std::function<void()> &fn)
{
	std::thread t([&] {
		prctl(PR_SET_NAME, name.c_str(), 0, 0, 0);
		fn();
	});
	t.join();
}

struct task_thread::state {
	std::mutex mu;
	std::condition_variable cv;
	std::function<void()> job;
	bool has_job = false, done = false, quit = false, started = false;
};

task_thread::task_thread(const std::string &name) : st_(std::make_unique<state>())
{
	state *st = st_.get();
	thread_ = std::thread([st, name, this] {
		prctl(PR_SET_NAME, name.c_str(), 0, 0, 0);
		std::unique_lock<std::mutex> lk(st->mu);
		tid_ = gettid();
		st->started = true;
		st->cv.notify_all();
		for (;;) {
			st->cv.wait(lk, [st] { return st->has_job || st->quit; });
			if (st->has_job) {
				auto job = std::move(st->job);
				st->has_job = false;
				lk.unlock();
				job();
				lk.lock();
				st->done = true;
				st->cv.notify_all();
				continue;
			}
			return;
		}
	});
	std::unique_lock<std::mutex> lk(st->mu);
	st->cv.wait(lk, [st] { return st->started; });
}

task_thread::~task_thread()
{
	{
		std::lock_guard<std::mutex> g(st_->mu);
		st_->quit = true;
	}
	st_->cv.notify_all();
	thread_.join();
}

void task_thread::run(const std::function<void()> &fn)
{
	std::unique_lock<std::mutex> lk(st_->mu);
	st_->job = fn;
	st_->has_job = true;
	st_->done = false;
	st_->cv.notify_all();
	st_->cv.wait(lk, [this] { return st_->done; });
}

std::vector<std::string> dmesg_matching(const std::vector<std::string> &needles)
{
	std::vector<std::string> out;
	for (const auto &line : host::dmesg())
		for (const auto &n : needles)
			if (line.find(n) != std::string::npos) {
				out.push_back(line);
				break;
			}
	return out;
}

const std::string &scratch_dir()
{
	static std::string dir = [] {
		char tmpl[] = "/tmp/vekfx-XXXXXX";
		const char *d = mkdtemp(tmpl);
		if (!d) {
			perror("mkdtemp");
			abort();
		}
		static std::string path = d;
		atexit([] {
			std::error_code ec;
			std::filesystem::remove_all(path, ec);
		});
		return path;
	}();
	return dir;
}

leak_baseline leak_baseline::now()
{
	leak_baseline b;
	b.kmalloc = host::kmalloc_in_use();
	b.vmalloc = host::vmalloc_in_use();
	b.pages = host::pages_in_use();
	b.bios = host::bios_in_use();
	return b;
}

void expect_no_leaks(const leak_baseline &before)
{
	leak_baseline after = leak_baseline::now();
	EXPECT_EQ(before.kmalloc, after.kmalloc) << "kmalloc objects not returned";
	EXPECT_EQ(before.vmalloc, after.vmalloc) << "vmalloc areas not returned";
	EXPECT_EQ(before.pages, after.pages) << "pages not returned";
	EXPECT_EQ(before.bios, after.bios) << "bios not returned";
	for (const auto &name : host::kmem_cache_names())
		EXPECT_FALSE(name.rfind("qel_", 0) == 0) << "cache left: " << name;
	for (const auto &dev : host::chrdevs())
		EXPECT_EQ(std::string::npos, dev.find("vekdriver")) << "chrdev left: " << dev;
}

// ---- io_workers ----

struct io_workers::worker {
	std::thread thread;
	std::mutex mu;
	pid_t tid = 0;
	long result = -2;
	std::string path;
};

io_workers::io_workers(int session_id, int n, const std::string &dir, int buffer_size,
		       int first_worker_id)
	: session_id_(session_id), n_(n), dir_(dir), buffer_size_(buffer_size),
	  first_id_(first_worker_id), results_(n, -2)
{
	for (int i = 0; i < n; i++) {
		auto w = std::make_unique<worker>();
		w->path = file_path(i);
		worker *wp = w.get();
		int wid = first_id_ + i;
		int sid = session_id_;
		int bsize = buffer_size_;
		w->thread = std::thread([wp, wid, sid, bsize] {
			char name[16];
			snprintf(name, sizeof(name), "qel-io-%d", wid);
			prctl(PR_SET_NAME, name, 0, 0, 0);
			{
				std::lock_guard<std::mutex> g(wp->mu);
				wp->tid = gettid();
			}
			int ctl = host::open("/dev/vekdriver", O_RDWR);
			int fd = ::open(wp->path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
			std::vector<char> buffer(bsize > 0 ? bsize : 1);
			zk_thread_info ti;
			memset(&ti, 0, sizeof(ti));
			ti.id = wid;
			ti.session_id = sid;
			ti.file_fd = fd;
			ti.buffer_size = bsize;
			ti.user_addr = (uint64_t)(uintptr_t)buffer.data();
			long rc = ctl >= 0 ? host::ioctl(ctl, VEK_IOCTL_RUN_IO_THREAD, &ti) : -3;
			if (fd >= 0)
				::close(fd);
			if (ctl >= 0)
				host::close(ctl);
			std::lock_guard<std::mutex> g(wp->mu);
			wp->result = rc;
		});
		workers_.push_back(std::move(w));
	}
}

io_workers::~io_workers()
{
	if (!joined_) {
		// A test that ended early: stop the session so the workers leave the driver.
		int fd = host::open("/dev/vekdriver", O_RDWR);
		if (fd >= 0) {
			snap_shot_request req;
			memset(&req, 0, sizeof(req));
			req.id = session_id_;
			host::ioctl(fd, VEK_IOCTL_STOP_VK, &req);
			host::close(fd);
		}
		join();
	}
}

std::string io_workers::file_path(int i) const
{
	return dir_ + "/s" + std::to_string(session_id_) + "-w" + std::to_string(first_id_ + i) +
	       ".cow";
}

pid_t io_workers::tid(int i) const
{
	std::lock_guard<std::mutex> g(workers_[i]->mu);
	return workers_[i]->tid;
}

int io_workers::wait_first(int ctl_fd)
{
	auto came = [this] {
		int n = 0;
		for (int i = 0; i < n_; i++) {
			worker &w = *workers_[i];
			std::lock_guard<std::mutex> g(w.mu);
			std::string comm;
			if (w.result != -2 ||
			    (w.tid && host::task_comm_of(w.tid, &comm) && comm.rfind("vek_io/", 0) == 0))
				n++;
		}
		return n;
	};
	const auto guard = std::chrono::steady_clock::now() + std::chrono::seconds(10);
	while (came() <= waited_) {
		if (std::chrono::steady_clock::now() > guard)
			return -1;	/* no worker came: a wait on a stopped clock would not end */
		std::this_thread::sleep_for(std::chrono::milliseconds(1));
	}
	int fd = ctl_fd >= 0 ? ctl_fd : host::open("/dev/vekdriver", O_RDWR);
	if (fd < 0)
		return -1;
	snap_shot_request req;
	memset(&req, 0, sizeof(req));
	req.id = session_id_;
	int rc = host::ioctl(fd, VEK_IOCTL_THREAD_WAIT_TIMEOUT, &req);
	if (ctl_fd < 0)
		host::close(fd);
	if (rc == 0)
		waited_++;
	return rc;
}

void io_workers::join()
{
	for (size_t i = 0; i < workers_.size(); i++) {
		if (workers_[i]->thread.joinable())
			workers_[i]->thread.join();
		results_[i] = workers_[i]->result;
	}
	joined_ = true;
}

// ---- DriverTest ----

void DriverTest::SetUp()
{
	host::fault_reset();
	host::set_clock_speed(clock_speed);
	if (make_disk)
		add_test_disk();
	host::dmesg_clear();
	baseline = leak_baseline::now();
	if (load_module) {
		ASSERT_EQ(0, load()) << dmesg_text();
		ctl = open_control();
		ASSERT_GE(ctl, 0) << strerror(errno);
	}
}

int DriverTest::load()
{
	int rc = host::insmod();
	loaded = rc == 0;
	return rc;
}

void DriverTest::add_test_disk()
{
	host::disk_spec spec;
	spec.name = "sda";
	spec.nr_sects = disk_sectors;
	spec.max_hw_sectors = max_hw_sectors;
	spec.reorder = reorder;
	if (const char *env = getenv("VEK_TEST_DISK_REORDER"); env && !reorder.enabled) {
		std::string why;
		ASSERT_TRUE(host::parse_disk_reorder(env, &spec.reorder, &why)) << "VEK_TEST_DISK_REORDER: " << why;
		if (clock_stops_with_io)
			spec.reorder.mean_latency_us = 0;
		printf("reordering disk from VEK_TEST_DISK_REORDER=%s%s\n", env,
		       clock_stops_with_io ? " (latency 0: the test stops the clock)" : "");
	}
	spec.partitions = {{64, part_sectors}, {64 + part_sectors, part_sectors}};
	disk = host::add_disk(spec);
	ASSERT_NE(0u, disk) << strerror(errno);
	part1 = disk + 1;
	part2 = disk + 2;
	ASSERT_EQ(0, host::mount(part1)) << strerror(errno);
	ASSERT_EQ(0, host::mount(part2)) << strerror(errno);
}

int DriverTest::open_control()
{
	int fd = host::open("/dev/vekdriver", O_RDWR);
	if (fd >= 0)
		handles.push_back(fd);
	return fd;
}

int DriverTest::start(dev_t dev, const std::string &stem, int mode, snap_shot_request *reply)
{
	snap_shot_request req = make_start_request(dev, stem, mode);
	int rc = ioctl(VEK_IOCTL_START_VK2, &req);
	if (reply)
		*reply = req;
	return rc == 0 ? req.id : -1;
}

int DriverTest::stop(int id, snap_shot_request *reply)
{
	snap_shot_request req;
	memset(&req, 0, sizeof(req));
	req.id = id;
	int rc = ioctl(VEK_IOCTL_STOP_VK, &req);
	if (reply)
		*reply = req;
	return rc;
}

int DriverTest::session_count()
{
	int32_t n = -7;
	if (ioctl(VEK_IOCTL_GET_VK_LIST_COUNT, &n) != 0)
		return -1;
	return n;
}

std::vector<session_list> DriverTest::list(int size)
{
	std::vector<session_list> v(size > 0 ? size : 0);
	session_list_request slr;
	memset(&slr, 0, sizeof(slr));
	slr.size = size;
	slr.sl = v.data();
	int rc = ioctl(VEK_IOCTL_GET_VK_LIST2, &slr);
	EXPECT_EQ(0, rc) << "list command failed";
	return v;
}

std::string DriverTest::get_string_cmd(unsigned long cmd, int id, int *rc)
{
	get_string gs;
	memset(&gs, 0, sizeof(gs));
	gs.id = id;
	int r = ioctl(cmd, &gs);
	if (rc)
		*rc = r;
	gs.string[sizeof(gs.string) - 1] = 0;
	return gs.string;
}

int DriverTest::set_file(int id, int fd, const std::string &name)
{
	set_cow_file sf;
	memset(&sf, 0, sizeof(sf));
	sf.id = id;
	sf.fd = fd;
	snprintf(sf.backing_file, sizeof(sf.backing_file), "%s", name.c_str());
	return ioctl(VEK_IOCTL_SET_COW_FILE, &sf);
}

void DriverTest::write_source(dev_t dev, off_t off, const std::vector<uint8_t> &data)
{
	ssize_t n = host::fs_pwrite(dev, data.data(), data.size(), off);
	ASSERT_EQ((ssize_t)data.size(), n) << strerror(errno);
}

std::vector<uint8_t> DriverTest::read_dev(const std::string &path, off_t off, size_t len)
{
	std::vector<uint8_t> buf(len);
	int fd = host::open(path.c_str(), O_RDONLY);
	EXPECT_GE(fd, 0) << path << ": " << strerror(errno);
	if (fd < 0)
		return {};
	ssize_t n = host::pread(fd, buf.data(), len, off);
	EXPECT_EQ((ssize_t)len, n) << path << ": " << strerror(errno);
	host::close(fd);
	return buf;
}

std::vector<uint8_t> DriverTest::read_snapshot(int id, off_t off, size_t len)
{
	std::vector<uint8_t> out;
	run_as("qel-reader", [&] { out = read_dev("/dev/vek" + std::to_string(id), off, len); });
	return out;
}

std::vector<uint8_t> DriverTest::pattern(size_t len, uint8_t seed)
{
	std::vector<uint8_t> v(len);
	for (size_t i = 0; i < len; i++)
		v[i] = (uint8_t)(seed + i * 7 + (i >> 9));
	return v;
}

int DriverTest::unload()
{
	if (!loaded)
		return 0;
	if (ctl >= 0) {
		for (const auto &s : list(16))
			if (s.id > 0)
				stop(s.id);
	}
	for (int fd : handles)
		host::close(fd);
	handles.clear();
	ctl = -1;
	int rc = host::rmmod();
	if (rc == 0)
		loaded = false;
	return rc;
}

void DriverTest::TearDown()
{
	/*
	 * A test that stopped the clock and failed before it started it again would leave the
	 * unload waiting for ever (the watchdog's pass and the stops sleep on this clock).
	 */
	host::set_clock_speed(clock_speed > 0 ? clock_speed : 1000);
	if (loaded) {
		EXPECT_EQ(0, unload()) << dmesg_text();
		if (check_leaks && !loaded)
			expect_no_leaks(baseline);
	} else {
		for (int fd : handles)
			host::close(fd);
		handles.clear();
	}
	if (disk) {
		host::umount(part1);
		host::umount(part2);
		host::del_disk(disk);
		disk = part1 = part2 = 0;
	}
	host::fault_reset();
	host::set_clock_speed(1);
}

/*
 * The waits for tasks to sleep on a stopped clock are bounded in real time: a task that
 * never sleeps (busy, blocked elsewhere, gone) is a failed test, not a hung one. The clock
 * is started again then, so that the test can end.
 */
static bool stopped_clock_wait_expired(std::chrono::steady_clock::time_point end)
{
	if (std::chrono::steady_clock::now() < end)
		return false;
	ADD_FAILURE() << "a task never went to sleep on the stopped clock";
	host::set_clock_speed(1000);
	return true;
}

long advance_to_next_timeout(const std::vector<pid_t> &tids)
{
	auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
	long step;

	for (;;) {
		bool all = true;

		step = -1;
		for (pid_t tid : tids) {
			host::task_info ti{};

			if (!host::task_info_of(tid, &ti))
				return -1;
			if (!ti.sleeping) {
				all = false;
				break;
			}
			if (ti.sleep_left >= 0 && (step < 0 || ti.sleep_left < step))
				step = ti.sleep_left;
		}
		if (all)
			break;
		if (stopped_clock_wait_expired(end))
			return -1;
		std::this_thread::yield();
	}
	if (step >= 0)
		host::advance_clock(step);
	return step;
}

long wait_sleeping(pid_t tid)
{
	auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
	host::task_info ti{};

	while (!host::task_info_of(tid, &ti) || !ti.sleeping) {
		if (stopped_clock_wait_expired(end))
			return -1;
		std::this_thread::yield();
	}
	return ti.sleep_left;
}

bool returns_on_stopped_clock(const std::function<void()> &fn)
{
	std::atomic<bool> done{false};
	std::thread t([&] {
		fn();
		done = true;
	});
	auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
	while (!done && std::chrono::steady_clock::now() < end)
		std::this_thread::sleep_for(std::chrono::milliseconds(1));
	bool returned = done;
	if (!returned)
		host::set_clock_speed(1000);
	t.join();
	return returned;
}

spin_holder::spin_holder(spinlock_t *lock) : lock_(lock)
{
	t_ = std::thread([this] {
		unsigned long flags;

		spin_lock_irqsave(lock_, flags);
		held_ = true;
		while (!release_)
			std::this_thread::sleep_for(std::chrono::milliseconds(1));
		spin_unlock_irqrestore(lock_, flags);
	});
	while (!held_)
		std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void spin_holder::release()
{
	release_ = true;
	if (t_.joinable())
		t_.join();
}

}  // namespace vekfx

namespace vekfx {

host::disk_reorder reordering_disk(uint64_t seed)
{
	host::disk_reorder r;
	r.enabled = true;
	r.seed = seed;
	r.depth = 32;
	r.mean_latency_us = 100000;
	printf("reordering disk: seed %llu, depth %u, mean latency %u us\n", (unsigned long long)seed,
	       r.depth, r.mean_latency_us);
	return r;
}

std::string disk_order_name(const ::testing::TestParamInfo<disk_order> &info)
{
	return info.param == disk_order::reordering ? "Reordering" : "InOrder";
}

bool eventually(const std::function<bool()> &cond, int ms)
{
	auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
	while (!cond()) {
		if (std::chrono::steady_clock::now() > end)
			return false;
		std::this_thread::sleep_for(std::chrono::milliseconds(1));
	}
	return true;
}

int semaphore_waiters(struct semaphore *sem)
{
	int n = 0;
	struct list_head *p;

	kplat_raw_spin_lock(&sem->lock.raw);
	list_for_each(p, &sem->wait_list)
		n++;
	kplat_raw_spin_unlock(&sem->lock.raw);
	return n;
}

}  // namespace vekfx
