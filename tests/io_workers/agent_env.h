// agent_env.h - agent-style worker threads with hand-picked RunIOThread records, and
// read-only peeks at a listed session's worker queues.
#pragma once

#include "cow.h"

#include <host/host.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace vek_test {

// One agent thread named `name` that opens its own control handle and calls RunIOThread
// with `zti` as given (so tests can pass bad descriptors, buffers or session ids).
class raw_worker {
public:
	zk_thread_info zti{};
	std::vector<unsigned char> buffer;	// staging buffer (plus canary) when asked for

	// A worker for session `id` with a buffer of `size` bytes and its own file in dir.
	raw_worker(int id, int size, const std::string &file_path);
	raw_worker();
	~raw_worker();
	void start(const std::string &name);
	void join();
	bool done() const { return done_; }
	long result() const { return result_; }
	pid_t tid() const { return tid_; }
	bool wait_tid(int ms = 5000) const;	// until the thread has entered the driver
	bool canary_intact(size_t from) const;

private:
	int file_fd_ = -1;
	std::thread t_;
	std::atomic<bool> done_{false};
	std::atomic<pid_t> tid_{0};
	long result_ = -2;
};

// Runs fn on the listed session with that id (null when none), under workLock, so the
// session cannot go away while it is looked at. fn must not sleep.
void with_session(int id, const std::function<void(cow_session *)> &fn);
int slot_pending(int id, int slot);		// pending_io of a slot; -1 without session
int workers_started(int id);
int session_fc_count(int id);

// Polls cond every millisecond of real time until it holds or ms pass.
bool eventually(const std::function<bool()> &cond, int ms = 5000);

// The slot a worker took, from its task name "vek_io/<id>/<slot>"; -1 if not renamed.
int slot_of(pid_t tid);

}  // namespace vek_test
