// Helpers of the snapshot-device scenario tests: IO on /dev/vek<N> and the source as a
// named task (names starting with "qel" make the caller the agent), backing-file sizes,
// raw bios for what a system call does not show.
#pragma once

#include <gtest/gtest.h>
#include <host/host.h>

#include "cow.h"
#include "driver_fixture.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace snapt {

inline std::string vek(int id) { return "/dev/vek" + std::to_string(id); }

// A thread with a task name of its own that runs what it is given, so that opens and
// closes come from the same task (opener records are kept per task id).
class task_thread {
public:
	explicit task_thread(const std::string &comm);
	~task_thread();
	void run(const std::function<void()> &fn);	// on the thread; waits for it
	int open(const std::string &path, int flags, int *err = nullptr);
	int close(int fd);

private:
	void loop(std::string comm);
	std::mutex mu_;
	std::condition_variable cv_;
	std::deque<std::function<void()>> work_;
	bool quit_ = false;
	std::thread thread_;
};

// pread/pwrite of len bytes at off on path, done by a task named comm. Returns the
// system call's result; *err gets errno.
inline ssize_t pread_as(const std::string &comm, const std::string &path, off_t off,
			std::vector<uint8_t> &out, int *err = nullptr)
{
	ssize_t n = -1;
	int e = 0;
	vekfx::run_as(comm, [&] {
		int fd = host::open(path.c_str(), O_RDONLY);
		if (fd < 0) {
			e = errno;
			return;
		}
		n = host::pread(fd, out.data(), out.size(), off);
		e = errno;
		host::close(fd);
	});
	if (err)
		*err = e;
	return n;
}

inline ssize_t pwrite_as(const std::string &comm, const std::string &path, off_t off,
			 const std::vector<uint8_t> &data, int *err = nullptr)
{
	ssize_t n = -1;
	int e = 0;
	vekfx::run_as(comm, [&] {
		int fd = host::open(path.c_str(), O_RDWR);
		if (fd < 0) {
			e = errno;
			return;
		}
		n = host::pwrite(fd, data.data(), data.size(), off);
		e = errno;
		host::close(fd);
	});
	if (err)
		*err = e;
	return n;
}

inline std::vector<uint8_t> read_as(const std::string &comm, const std::string &path, off_t off,
				    size_t len)
{
	std::vector<uint8_t> out(len);
	int err = 0;
	EXPECT_EQ((ssize_t)len, pread_as(comm, path, off, out, &err)) << path << ": " << strerror(err);
	return out;
}

inline void write_as(const std::string &comm, const std::string &path, off_t off,
		     const std::vector<uint8_t> &data)
{
	int err = 0;
	EXPECT_EQ((ssize_t)data.size(), pwrite_as(comm, path, off, data, &err))
		<< path << ": " << strerror(err);
}

inline std::string devpath(dev_t d)
{
	// Partitions of the fixture's "sda" are sda1, sda2.
	return "/dev/sda" + std::to_string(d & 15);
}

inline long long file_size(const std::string &path)
{
	struct stat st;
	return ::stat(path.c_str(), &st) == 0 ? (long long)st.st_size : -1;
}

inline long long backing_bytes(const vekfx::io_workers &w)
{
	long long total = 0;
	for (int i = 0; i < w.count(); i++)
		total += file_size(w.file_path(i)) > 0 ? file_size(w.file_path(i)) : 0;
	return total;
}

inline std::vector<uint8_t> slice(const std::vector<uint8_t> &v, size_t off, size_t len)
{
	return std::vector<uint8_t>(v.begin() + off, v.begin() + off + len);
}

// The first differing byte, for readable failures of large comparisons.
inline ::testing::AssertionResult same_bytes(const std::vector<uint8_t> &want,
					     const std::vector<uint8_t> &got, size_t base = 0)
{
	if (want.size() != got.size())
		return ::testing::AssertionFailure()
		       << "sizes differ: " << want.size() << " vs " << got.size();
	for (size_t i = 0; i < want.size(); i++)
		if (want[i] != got[i])
			return ::testing::AssertionFailure()
			       << "first difference at byte " << base + i << " (chunk "
			       << (base + i) / 65536 << "): want " << (int)want[i] << ", got "
			       << (int)got[i];
	return ::testing::AssertionSuccess();
}

// The session behind snapshot device id (the test holds no reference: use while it runs).
inline struct cow_session *session_of(int id)
{
	return replicas[id] ? replicas[id]->cs : nullptr;
}

// One raw single-page bio on vek<id>, submitted by a task named comm and waited for.
struct raw_result {
	int err = 1;
	unsigned long flags = 0;
	long long ended = 0;	/* steady_clock time of the completion, taken inside it */
	/* The bio as its completion found it. */
	sector_t sector = 0;
	unsigned size = 0;
	unsigned short idx = 0;
	dev_t dev = 0;
};
raw_result raw_bio(const std::string &comm, int id, sector_t sector, int rw, struct page *page,
		   unsigned len = 4096);

}  // namespace snapt
