/* Agent-style IO workers for the benchmarks: threads named "qel...", each with its own
 * backing file and staging buffer, parked in RunIOThread until the session ends. */
#ifndef VEK_BENCH_WORKERS_H
#define VEK_BENCH_WORKERS_H

#include "vekdriver.h"

#include <host/host.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/prctl.h>
#include <thread>
#include <unistd.h>
#include <vector>

class agent_workers {
public:
	agent_workers(std::string dir, int id, int n) : dir_(std::move(dir))
	{
		for (int i = 0; i < n; i++)
			threads_.emplace_back([this, id, i] { run(id, i); });
	}
	~agent_workers()
	{
		for (std::thread &t : threads_)
			t.join();
	}

private:
	void run(int id, int i)
	{
		char name[16];
		snprintf(name, sizeof(name), "qel-bench-%d", i);
		prctl(PR_SET_NAME, name, 0, 0, 0);
		std::string path = dir_ + "/w" + std::to_string(i) + ".cow";
		int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
		// Page-aligned, as the agent allocates it: the host kernel's copies into a buffer
		// 16 bytes off a line run several times slower, which would be timed here instead.
		constexpr size_t kBuffer = 1 << 20;
		void *buffer = aligned_alloc(4096, kBuffer);
		if (!buffer)
			abort();
		zk_thread_info ti{};
		ti.id = i;
		ti.session_id = id;
		ti.file_fd = fd;
		ti.buffer_size = (int)kBuffer;
		ti.user_addr = (uint64_t)(uintptr_t)buffer;
		int ctl = host::open("/dev/vekdriver", O_RDWR);
		host::ioctl(ctl, VEK_IOCTL_RUN_IO_THREAD, &ti);
		host::close(ctl);
		free(buffer);
		::close(fd);
		unlink(path.c_str());
	}
	std::string dir_;
	std::vector<std::thread> threads_;
};

#endif
