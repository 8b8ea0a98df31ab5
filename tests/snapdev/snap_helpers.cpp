#include "snap_helpers.h"

#include <chrono>

#include <linux/completion.h>

#include <sys/prctl.h>

#include <future>

namespace snapt {

task_thread::task_thread(const std::string &comm) : thread_([this, comm] { loop(comm); }) {}

task_thread::~task_thread()
{
	{
		std::lock_guard<std::mutex> g(mu_);
		quit_ = true;
	}
	cv_.notify_all();
	thread_.join();
}

void task_thread::loop(std::string comm)
{
	prctl(PR_SET_NAME, comm.c_str(), 0, 0, 0);
	for (;;) {
		std::function<void()> fn;
		{
			std::unique_lock<std::mutex> g(mu_);
			cv_.wait(g, [&] { return quit_ || !work_.empty(); });
			if (work_.empty())
				return;
			fn = std::move(work_.front());
			work_.pop_front();
		}
		fn();
	}
}

void task_thread::run(const std::function<void()> &fn)
{
	std::promise<void> done;
	{
		std::lock_guard<std::mutex> g(mu_);
		work_.push_back([&] {
			fn();
			done.set_value();
		});
	}
	cv_.notify_all();
	done.get_future().wait();
}

int task_thread::open(const std::string &path, int flags, int *err)
{
	int fd = -1, e = 0;
	run([&] {
		fd = host::open(path.c_str(), flags);
		e = errno;
	});
	if (err)
		*err = e;
	return fd;
}

int task_thread::close(int fd)
{
	int rc = -1;
	run([&] { rc = host::close(fd); });
	return rc;
}

namespace {
struct raw_wait {
	struct completion done;
	raw_result res;
};

void raw_end_io(struct bio *bio, int err)
{
	raw_wait *w = (raw_wait *)bio->bi_private;
	w->res.err = err;
	w->res.flags = bio->bi_flags;
	w->res.sector = bio->bi_sector;
	w->res.size = bio->bi_size;
	w->res.idx = bio->bi_idx;
	w->res.dev = bio->bi_bdev ? bio->bi_bdev->bd_dev : 0;
	w->res.ended = std::chrono::steady_clock::now().time_since_epoch().count();
	complete(&w->done);
}
}  // namespace

raw_result raw_bio(const std::string &comm, int id, sector_t sector, int rw, struct page *page,
		   unsigned len)
{
	raw_wait w;
	init_completion(&w.done);
	vekfx::run_as(comm, [&] {
		struct block_device *bdev = bdget(MKDEV(CLONE_MAJOR, id));
		if (!bdev) {
			w.res.err = 99;
			return;
		}
		struct bio *bio = bio_alloc(GFP_KERNEL, 1);
		bio->bi_bdev = bdev;
		bio->bi_sector = sector;
		bio_add_page(bio, page, len, 0);
		bio->bi_end_io = raw_end_io;
		bio->bi_private = &w;
		submit_bio(rw, bio);
		wait_for_completion(&w.done);
		bio_put(bio);
		bdput(bdev);
	});
	return w.res;
}

}  // namespace snapt
