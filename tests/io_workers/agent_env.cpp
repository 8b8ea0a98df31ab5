// agent_env.cpp - see agent_env.h.
#include "agent_env.h"

#include "driver_fixture.h"

#include <chrono>
#include <fcntl.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace vek_test {

namespace {
constexpr size_t kCanary = 4096;
}

raw_worker::raw_worker() = default;

raw_worker::raw_worker(int id, int size, const std::string &file_path)
{
	file_fd_ = ::open(file_path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
	buffer.assign((size > 0 ? (size_t)size : 0) + kCanary, 0xEE);
	zti.id = 100 + id;
	zti.session_id = id;
	zti.file_fd = file_fd_;
	zti.buffer_size = size;
	zti.user_addr = (uint64_t)(uintptr_t)buffer.data();
}

raw_worker::~raw_worker()
{
	join();
	if (file_fd_ >= 0)
		::close(file_fd_);
}

void raw_worker::start(const std::string &name)
{
	t_ = std::thread([this, name] {
		prctl(PR_SET_NAME, name.c_str());
		tid_ = (pid_t)gettid();
		int fd = host::open("/dev/vekdriver", O_RDWR);
		result_ = host::ioctl(fd, VEK_IOCTL_RUN_IO_THREAD, &zti);
		host::close(fd);
		done_ = true;
	});
}

void raw_worker::join()
{
	if (t_.joinable())
		t_.join();
}

bool raw_worker::wait_tid(int ms) const
{
	return eventually([this] { return tid_ != 0; }, ms);
}

bool raw_worker::canary_intact(size_t from) const
{
	for (size_t i = from; i < buffer.size(); i++)
		if (buffer[i] != 0xEE)
			return false;
	return true;
}

void with_session(int id, const std::function<void(cow_session *)> &fn)
{
	down(&workLock);
	fn(get_cow_session_by_id(id));
	up(&workLock);
}

int slot_pending(int id, int slot)
{
	int v = -1;
	with_session(id, [&](cow_session *cs) {
		if (cs)
			v = atomic_read(&cs->thread_info->io_threads[slot]->pending_io);
	});
	return v;
}

int workers_started(int id)
{
	int v = -1;
	with_session(id, [&](cow_session *cs) {
		if (cs)
			v = atomic_read(&cs->thread_info->io_threads_started);
	});
	return v;
}

int session_fc_count(int id)
{
	int v = -1;
	with_session(id, [&](cow_session *cs) {
		if (cs)
			v = atomic_read(&cs->fc_count);
	});
	return v;
}

bool eventually(const std::function<bool()> &cond, int ms)
{
	return vekfx::eventually(cond, ms);
}

int slot_of(pid_t tid)
{
	host::task_info ti;
	if (!host::task_info_of(tid, &ti))
		return -1;
	int id = 0, slot = -1;
	if (sscanf(ti.comm.c_str(), "vek_io/%d/%d", &id, &slot) != 2)
		return -1;
	return slot;
}

}  // namespace vek_test
