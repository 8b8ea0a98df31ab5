// Bad input and concurrent callers: garbage records and pointers get a failure and never a
// crash, an interrupted wait for the control lock changes nothing, and concurrent starts,
// stops and queries keep the registry consistent.
#include "driver_fixture.h"

#include "cow.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <random>
#include <set>
#include <thread>

using namespace vekfx;

namespace {

class RobustnessTest : public DriverTest {};

struct command {
	unsigned long cmd;
	size_t size;
	std::set<int> allowed;	// results a garbage call may give
};

}  // namespace

TEST_F(RobustnessTest, GarbageRecordsAndPointersNeverCrash)
{
	std::mt19937_64 rng(test_seed());
	const command cmds[] = {
		{VEK_IOCTL_START_VK2, sizeof(snap_shot_request), {0, -1}},
		{VEK_IOCTL_STOP_VK, sizeof(snap_shot_request), {0, -1}},
		{VEK_IOCTL_GET_VK_LIST, 16 * sizeof(session_list), {0, -1}},
		{VEK_IOCTL_GET_VK_DEV, sizeof(snap_shot_request), {0, -1}},
		{VEK_IOCTL_GET_DEV_PATH, sizeof(get_string), {0, -1}},
		{VEK_IOCTL_GET_BACKING_FILE, sizeof(get_string), {0, -1}},
		{VEK_IOCTL_GET_SESSION_ERROR, sizeof(get_string), {0, -1}},
		{VEK_IOCTL_GET_VERSION, sizeof(version_info), {0, -1}},
		{VEK_IOCTL_GET_VK_LIST2, sizeof(session_list_request), {0, -1}},
		{VEK_IOCTL_GET_VK_LIST_COUNT, sizeof(int32_t), {0, -1}},
		{VEK_IOCTL_SET_COW_FILE, sizeof(set_cow_file), {0, 1}},
		{VEK_IOCTL_START_VK, sizeof(snap_shot_request), {-1}},
		{VEK_IOW(0x18, 8), 8, {-1}},
	};
	std::vector<uint8_t> buf(sizeof(snap_shot_request) + 64);
	for (int round = 0; round < 600; round++) {
		const command &c = cmds[rng() % (sizeof(cmds) / sizeof(cmds[0]))];
		for (auto &b : buf)
			b = (uint8_t)rng();
		void *arg = buf.data();
		switch (rng() % 8) {
		case 0:
			arg = nullptr;
			break;
		case 1:
			arg = (void *)(uintptr_t)(rng() % 65536);	// unmapped low page
			break;
		case 2: {	// a start that names a real, mounted partition
			auto *req = (snap_shot_request *)buf.data();
			req->major = 8;
			req->minor = 1 + (int)(rng() % 2);
			break;
		}
		case 3: {	// plausible ids and sizes
			int32_t *p = (int32_t *)buf.data();
			p[0] = (int32_t)(rng() % 20) - 2;
			break;
		}
		default:
			break;
		}
		if (c.cmd == VEK_IOCTL_GET_VK_LIST2 && arg == buf.data()) {
			auto *slr = (session_list_request *)buf.data();
			slr->size = (int32_t)(rng() % 40) - 5;
			static std::vector<session_list> room(40);
			slr->sl = rng() % 4 ? room.data() : (session_list *)(uintptr_t)(rng() % 4096);
		}
		errno = 0;
		int rc = ioctl(c.cmd, arg);
		int result = rc == -1 ? -(int)errno : rc;
		if (c.cmd == VEK_IOCTL_START_VK)
			EXPECT_EQ(-255, result) << round;
		else if (rc == -1)
			EXPECT_EQ(1, errno) << std::hex << c.cmd << " round " << std::dec << round;
		else
			EXPECT_TRUE(c.allowed.count(rc)) << std::hex << c.cmd << " gave " << rc;
	}
	// Whatever started is consistent and stoppable.
	int n = session_count();
	EXPECT_GE(n, 0);
	EXPECT_LE(n, 16);
	auto l = list(16);
	for (int i = 0; i < n; i++) {
		EXPECT_GE(l[i].id, 1);
		EXPECT_EQ(65536u, l[i].block_size);
	}
}

TEST_F(RobustnessTest, InterruptedWaitForTheControlLockChangesNothing)
{
	task_thread agent("qel-agent");
	int fd = -1;
	agent.run([&] { fd = host::open("/dev/vekdriver", O_RDWR); });
	ASSERT_GE(fd, 0);

	down(&workLock);	// a long operation holds the control lock
	std::atomic<int> start_rc{7}, stop_rc{7};
	std::thread waiter([&] {
		agent.run([&] {
			snap_shot_request req = make_start_request(part1, "/r/int");
			start_rc = host::ioctl(fd, VEK_IOCTL_START_VK2, &req);
			snap_shot_request sreq;
			memset(&sreq, 0, sizeof(sreq));
			sreq.id = 1;
			stop_rc = host::ioctl(fd, VEK_IOCTL_STOP_VK, &sreq);
		});
	});
	std::this_thread::sleep_for(std::chrono::milliseconds(30));
	host::dmesg_clear();
	EXPECT_EQ(1, host::signal_task(agent.tid()));
	waiter.join();
	up(&workLock);
	EXPECT_EQ(-1, start_rc.load());
	EXPECT_EQ(-1, stop_rc.load());	// the signal stays pending: the stop is refused too
	EXPECT_TRUE(host::dmesg().empty()) << dmesg_text();
	host::clear_signal(agent.tid());
	EXPECT_EQ(0, session_count());

	// Once the signal is gone the same caller starts normally.
	int rc = -1;
	agent.run([&] {
		snap_shot_request req = make_start_request(part1, "/r/int");
		rc = host::ioctl(fd, VEK_IOCTL_START_VK2, &req);
	});
	EXPECT_EQ(0, rc);
	agent.run([&] { host::close(fd); });
}

TEST_F(RobustnessTest, ConcurrentStartsStopsAndQueries)
{
	std::atomic<bool> stop_flag{false};
	std::atomic<int> started{0}, failed_stops{0};
	auto starter = [&](dev_t dev, int tag) {
		int fd = host::open("/dev/vekdriver", O_RDWR);
		for (int i = 0; i < 8; i++) {
			snap_shot_request req = make_start_request(
				dev, "/r/c" + std::to_string(tag) + "-" + std::to_string(i));
			if (host::ioctl(fd, VEK_IOCTL_START_VK2, &req) != 0)
				continue;
			started++;
			snap_shot_request s;
			memset(&s, 0, sizeof(s));
			s.id = req.id;
			if (host::ioctl(fd, VEK_IOCTL_STOP_VK, &s) != 0)
				failed_stops++;
		}
		host::close(fd);
	};
	auto querier = [&] {
		int fd = host::open("/dev/vekdriver", O_RDWR);
		std::vector<session_list> sl(16);
		while (!stop_flag) {
			session_list_request slr = {16, sl.data()};
			EXPECT_EQ(0, host::ioctl(fd, VEK_IOCTL_GET_VK_LIST2, &slr));
			for (auto &e : sl)
				if (e.id) {
					EXPECT_EQ(65536u, e.block_size);
				}
			int32_t n;
			EXPECT_EQ(0, host::ioctl(fd, VEK_IOCTL_GET_VK_LIST_COUNT, &n));
			EXPECT_LE(n, 16);
			get_string gs;
			memset(&gs, 0, sizeof(gs));
			gs.id = 1 + (int)(n % 3);
			host::ioctl(fd, VEK_IOCTL_GET_BACKING_FILE, &gs);
			memset(&gs, 0, sizeof(gs));
			gs.id = 1;
			EXPECT_EQ(0, host::ioctl(fd, VEK_IOCTL_GET_SESSION_ERROR, &gs));
		}
		host::close(fd);
	};
	std::thread q1(querier), q2(querier);
	std::thread s1(starter, part1, 1), s2(starter, part2, 2), s3(starter, part1, 3);
	s1.join();
	s2.join();
	s3.join();
	stop_flag = true;
	q1.join();
	q2.join();
	EXPECT_EQ(24, started.load()) << dmesg_text();
	EXPECT_EQ(0, failed_stops.load());
	EXPECT_EQ(0, session_count());
	snap_shot_request rep;
	ASSERT_GE(start(part1, "/r/after", USER_SPACE_FILE, &rep), 1);
	EXPECT_EQ(1, rep.active_sessions);
}
