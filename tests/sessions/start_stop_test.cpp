// Starting and stopping snapshot sessions through the control device, as the agent does.
#include "driver_fixture.h"

#include <linux/jiffies.h>
#include <linux/time.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

using namespace vekfx;

namespace {

class StartStopTest : public DriverTest {
protected:
	bool snapshot_openable(int id)
	{
		bool ok = false;
		run_as("qel-probe", [&] {
			int fd = host::open(("/dev/vek" + std::to_string(id)).c_str(), O_RDONLY);
			ok = fd >= 0;
			if (fd >= 0)
				host::close(fd);
		});
		return ok;
	}
};

}  // namespace

TEST_F(StartStopTest, StartReportsTheSessionAndStopEndsIt)
{
	unsigned long before = get_seconds();	// the platform's wall clock
	snap_shot_request rep;
	int id = start(part1, "/b/f", USER_SPACE_FILE, &rep);
	ASSERT_GE(id, 1) << dmesg_text();
	EXPECT_EQ(6, rep.mode);
	EXPECT_EQ(1, rep.active_sessions);
	EXPECT_GE(rep.time, before);
	EXPECT_LE(rep.time, get_seconds());
	EXPECT_LT(rep.nsec_get_freez, 1000000000u);
	EXPECT_LT(rep.nsec_froze, 1000000000u);
	// Freezing is part of the frozen window, so it cannot have taken longer.
	EXPECT_LE(rep.sec_get_freez * 1000000000ull + rep.nsec_get_freez,
		  rep.sec_froze * 1000000000ull + rep.nsec_froze);
	EXPECT_EQ("/b/f", std::string(rep.backing_file));	// the stem is not rewritten
	EXPECT_TRUE(dmesg_has("vek: INFO: starting new session on device:(8,1)."));
	EXPECT_TRUE(dmesg_has("vek: INFO: session started for device:(8,1) with session id: vek" +
			      std::to_string(id)));

	EXPECT_EQ(1, session_count());
	auto l = list(2);
	EXPECT_EQ(id, l[0].id);
	EXPECT_EQ(rep.time, l[0].time);
	EXPECT_EQ(65536u, l[0].block_size);
	EXPECT_EQ(0u, l[0].changed_blocks);
	EXPECT_EQ(4, l[0].mode);	// stored as given: bit 1 is only in the reply
	EXPECT_EQ(0, l[0].error);
	EXPECT_EQ(rep.sec_froze, l[0].sec_froze);
	EXPECT_EQ(rep.nsec_froze, l[0].nsec_froze);
	EXPECT_EQ(rep.sec_get_freez, l[0].sec_get_freez);
	EXPECT_EQ(rep.nsec_get_freez, l[0].nsec_get_freez);
	EXPECT_EQ(0, l[1].id);
	EXPECT_TRUE(snapshot_openable(id));

	snap_shot_request stop_rep;
	ASSERT_EQ(0, stop(id, &stop_rep));
	EXPECT_EQ("/b/f.cow_vek" + std::to_string(id), std::string(stop_rep.backing_file));
	EXPECT_EQ(0, stop_rep.active_sessions);
	EXPECT_TRUE(dmesg_has("vek: INFO: stopping vek session vek" + std::to_string(id) + "."));
	EXPECT_TRUE(dmesg_has("vek: INFO: vek session vek" + std::to_string(id) + " stopped."));
	EXPECT_EQ(0, session_count());
	// No snapshot device is left behind.
	EXPECT_FALSE(snapshot_openable(id));
}

TEST_F(StartStopTest, SnapshotKeepsTheImageOfTheFreeze)
{
	auto old_data = pattern(3 * 65536, 11);
	write_source(part1, 65536, old_data);
	int id = start(part1, dir() + "/img");
	ASSERT_GE(id, 1) << dmesg_text();
	io_workers w(id, 2, dir());
	ASSERT_EQ(0, w.wait_first());

	auto new_data = pattern(2 * 65536, 99);
	write_source(part1, 65536 + 4096, new_data);	// straddles two chunks
	EXPECT_EQ(new_data, read_dev("/dev/sda1", 65536 + 4096, new_data.size()));
	EXPECT_EQ(old_data, read_snapshot(id, 65536, old_data.size()));

	ASSERT_EQ(0, stop(id));
	w.join();
	for (long r : w.results())
		EXPECT_EQ(0, r);
	// After the stop the source keeps its own request function: writes simply land.
	write_source(part1, 0, pattern(4096, 5));
	EXPECT_EQ(pattern(4096, 5), read_dev("/dev/sda1", 0, 4096));
}

TEST_F(StartStopTest, StemGetsTheSessionNumber)
{
	int a = start(part1, "/b/a");
	int b = start(part2, "/b/b");
	int c = start(part1, "/b/f");
	ASSERT_EQ(3, c) << dmesg_text();
	EXPECT_EQ("/b/f.cow_vek3", get_string_cmd(VEK_IOCTL_GET_BACKING_FILE, c));
	EXPECT_EQ("/b/a.cow_vek" + std::to_string(a), get_string_cmd(VEK_IOCTL_GET_BACKING_FILE, a));
	EXPECT_EQ("/b/b.cow_vek" + std::to_string(b), get_string_cmd(VEK_IOCTL_GET_BACKING_FILE, b));
}

TEST_F(StartStopTest, StartWithoutUserSpaceFileLeavesNothing)
{
	write_source(part1, 0, pattern(65536, 1));
	snap_shot_request rep;
	EXPECT_EQ(-1, start(part1, "/b/m0", 0, &rep));
	EXPECT_TRUE(dmesg_has("vek: ERROR: Error: USER_SPACE_FILE was not set!"));
	EXPECT_TRUE(dmesg_has("vek: ERROR: could not start new session for device:(8,1)."));
	EXPECT_EQ(0, rep.active_sessions);
	EXPECT_EQ(0, session_count());
	EXPECT_FALSE(snapshot_openable(1));
	// The interception was removed again: a write goes straight through.
	write_source(part1, 0, pattern(65536, 2));
	EXPECT_EQ(pattern(65536, 2), read_dev("/dev/sda1", 0, 65536));
	// And the failed start was not counted.
	snap_shot_request ok;
	ASSERT_GE(start(part1, "/b/m4", USER_SPACE_FILE, &ok), 1);
	EXPECT_EQ(1, ok.active_sessions);
}

TEST_F(StartStopTest, StartOnUnmountedOrMissingDeviceFails)
{
	ASSERT_EQ(0, host::umount(part2));
	EXPECT_EQ(-1, start(part2, "/b/u"));
	EXPECT_TRUE(dmesg_has("vek: ERROR: please check that the device (8,2) is mounted!"));
	EXPECT_TRUE(dmesg_has("vek: ERROR: could not create new session for device:(8,2)."));
	EXPECT_EQ(0, session_count());
	// The device reference was dropped: the disk can go away.
	ASSERT_EQ(0, host::mount(part2));

	host::dmesg_clear();
	EXPECT_EQ(-1, start(MKDEV(8, 14), "/b/none"));
	EXPECT_TRUE(dmesg_has("vek: ERROR: could not get block device info for (8,14)."));
	EXPECT_TRUE(dmesg_has("vek: ERROR: please check that the device (8,14) is mounted!"));

	// Numbers that do not fit a device number must not alias another device.
	host::dmesg_clear();
	snap_shot_request req = make_start_request(part1, "/b/alias");
	req.major = 0;
	req.minor = (8 << 20) | 1;
	EXPECT_EQ(-1, ioctl(VEK_IOCTL_START_VK2, &req));
	EXPECT_TRUE(dmesg_has("could not get block device info")) << dmesg_text();
	req.major = -8;
	req.minor = -1;
	EXPECT_EQ(-1, ioctl(VEK_IOCTL_START_VK2, &req));
	EXPECT_EQ(0, session_count());
}

TEST_F(StartStopTest, SnapshotOfSnapshotDeviceIsRefusedUntouched)
{
	snap_shot_request req = make_start_request(MKDEV(121, 1), "/b/s");
	EXPECT_EQ(-1, ioctl(VEK_IOCTL_START_VK2, &req));
	EXPECT_TRUE(dmesg_has("vek: ERROR: Can not take snapshot of Tarvish Device!"));
	EXPECT_FALSE(dmesg_has("could not get block device info"));
}

TEST_F(StartStopTest, BackingFileInUseGivesMinusTwo)
{
	int id = start(part1, "/b/f");
	ASSERT_GE(id, 1);
	snap_shot_request rep;
	std::string taken = "/b/f.cow_vek" + std::to_string(id);
	EXPECT_EQ(-1, start(part2, taken, USER_SPACE_FILE, &rep));
	EXPECT_EQ(-2, rep.id);
	EXPECT_EQ(1, rep.active_sessions);
	EXPECT_TRUE(dmesg_has("vek: ERROR: Backing file `" + taken +
			      "' is already in use by another active session."));
	// A stem alone does not clash with a stored name.
	EXPECT_GE(start(part2, "/b/f"), 1);
	EXPECT_EQ(2, session_count());
}

TEST_F(StartStopTest, SixteenSessionsAtMost)
{
	std::vector<int> ids;
	for (int i = 0; i < 16; i++) {
		snap_shot_request rep;
		int id = start(i % 2 ? part2 : part1, "/b/s" + std::to_string(i), USER_SPACE_FILE,
			       &rep);
		ASSERT_GE(id, 1) << i << dmesg_text();
		EXPECT_EQ(i + 1, rep.active_sessions);
		ids.push_back(id);
	}
	EXPECT_EQ(16, session_count());
	snap_shot_request rep;
	EXPECT_EQ(-1, start(part1, "/b/s16", USER_SPACE_FILE, &rep));
	EXPECT_EQ(16, rep.active_sessions);
	EXPECT_TRUE(dmesg_has("vek: ERROR: Reached max simultaneous snapshots. Can not create new "
			      "snapshots!"));
	// Fifteen running: the next one proceeds.
	ASSERT_EQ(0, stop(ids[3]));
	EXPECT_GE(start(part1, "/b/s17"), 1);
	EXPECT_EQ(16, session_count());
}

TEST_F(StartStopTest, StopOfAbsentIdSucceedsQuietly)
{
	snap_shot_request rep;
	EXPECT_EQ(0, stop(7, &rep));
	EXPECT_EQ(0, rep.active_sessions);
	EXPECT_FALSE(dmesg_has("stopping vek session"));
	for (int id : {0, -1, 255, 100000, -2147483647 - 1})
		EXPECT_EQ(0, stop(id)) << id;
}

TEST_F(StartStopTest, StopOfHeldSnapshotDeviceRetriesThenRefuses)
{
	int id = start(part1, "/b/held");
	ASSERT_GE(id, 1);
	task_thread mounter("mounter");
	int fd = -1;
	mounter.run([&] { fd = host::open(("/dev/vek" + std::to_string(id)).c_str(), O_RDONLY); });
	ASSERT_GE(fd, 0);

	unsigned long t0 = jiffies;
	snap_shot_request rep;
	EXPECT_EQ(-1, stop(id, &rep));
	unsigned long waited = jiffies - t0;
	EXPECT_GE(waited, 5000u);	// five attempts a second apart, in platform time
	EXPECT_EQ(1, rep.active_sessions);
	EXPECT_EQ(1, dmesg_count("vek: ERROR: Can not stop mounted vek session vek" +
				 std::to_string(id) + ", please unmount and try again."));
	EXPECT_EQ(1, session_count());

	// The agent's own opens never block the stop.
	task_thread agent("qel-agent");
	int qfd = -1;
	agent.run([&] { qfd = host::open(("/dev/vek" + std::to_string(id)).c_str(), O_RDONLY); });
	ASSERT_GE(qfd, 0);
	mounter.run([&] { host::close(fd); });
	ASSERT_EQ(0, stop(id)) << dmesg_text();
	EXPECT_EQ(0, session_count());
	agent.run([&] { host::close(qfd); });
}

TEST_F(StartStopTest, StopWaitsForWorkersAndTheyLeaveWithZero)
{
	int id = start(part1, dir() + "/w");
	ASSERT_GE(id, 1);
	io_workers w(id, 3, dir());
	ASSERT_EQ(0, w.wait_first());
	write_source(part1, 0, pattern(4 * 65536, 3));
	ASSERT_EQ(0, stop(id));
	w.join();
	ASSERT_EQ(3u, w.results().size());
	for (long r : w.results())
		EXPECT_EQ(0, r);
	EXPECT_EQ(0, session_count());
}

TEST_F(StartStopTest, ReplyThatCannotBeDeliveredUndoesTheStart)
{
	// The record is readable but not writable: the copy in works, the copy back fails.
	size_t len = (sizeof(snap_shot_request) + 4095) & ~4095ul;
	void *mem = mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
	ASSERT_NE(MAP_FAILED, mem);
	auto *req = static_cast<snap_shot_request *>(mem);
	*req = make_start_request(part1, "/b/ro");
	ASSERT_EQ(0, mprotect(mem, len, PROT_READ));

	EXPECT_EQ(-1, ioctl(VEK_IOCTL_START_VK2, req));
	EXPECT_TRUE(dmesg_has("vek: ERROR: Could not copy snapshot request to user space."));
	EXPECT_TRUE(dmesg_has("session started for device:(8,1)"));
	EXPECT_EQ(0, session_count());
	EXPECT_FALSE(snapshot_openable(1));
	munmap(mem, len);

	// It no longer counts: the next start is the only session.
	snap_shot_request rep;
	ASSERT_GE(start(part1, "/b/ro", USER_SPACE_FILE, &rep), 1);
	EXPECT_EQ(1, rep.active_sessions);
}

TEST_F(StartStopTest, BadRecordPointersFailCleanly)
{
	EXPECT_EQ(-1, ioctl(VEK_IOCTL_START_VK2, (void *)16));
	EXPECT_TRUE(dmesg_has("vek: ERROR: Could not copy snapshot request from user space."));
	EXPECT_EQ(-1, ioctl(VEK_IOCTL_STOP_VK, nullptr));
	EXPECT_EQ(2, dmesg_count("Could not copy snapshot request from user space."));

	host::fault_fail_if("kmalloc", [](const host::fault_ctx &c) {
		return c.size == sizeof(snap_shot_request);
	}, 2);
	snap_shot_request req = make_start_request(part1, "/b/nomem");
	EXPECT_EQ(-1, ioctl(VEK_IOCTL_START_VK2, &req));
	EXPECT_EQ(-1, ioctl(VEK_IOCTL_STOP_VK, &req));
	EXPECT_EQ(2, dmesg_count("vek: ERROR: Could not allocate kernel snapshot request."));
	EXPECT_EQ(0, session_count());
}

TEST_F(StartStopTest, ModuleExitStopsRunningSessions)
{
	int a = start(part1, "/b/x1");
	int b = start(part2, "/b/x2");
	ASSERT_GE(b, 1);
	for (int fd : handles)
		host::close(fd);
	handles.clear();
	ctl = -1;
	ASSERT_EQ(0, host::rmmod()) << dmesg_text();
	loaded = false;
	auto tail = dmesg_matching({"vek session", "has been shutdown", "driver unloaded"});
	ASSERT_EQ(6u, tail.size()) << dmesg_text();
	EXPECT_EQ("vek: INFO: stopping vek session vek" + std::to_string(a) + ".", tail[0]);
	EXPECT_EQ("vek: INFO: vek session vek" + std::to_string(a) + " stopped.", tail[1]);
	EXPECT_EQ("vek: INFO: stopping vek session vek" + std::to_string(b) + ".", tail[2]);
	EXPECT_EQ("vek: INFO: vek session vek" + std::to_string(b) + " stopped.", tail[3]);
	EXPECT_EQ("vek: INFO: vek driver has been shutdown.", tail[4]);
	EXPECT_EQ("vek: INFO: driver unloaded.", tail[5]);
	expect_no_leaks(baseline);
}

TEST_F(StartStopTest, ShutdownStopsUntilABusySessionAndStaysShut)
{
	int a = start(part1, "/b/y1");
	int b = start(part2, "/b/y2");
	int c = start(part1, "/b/y3");
	ASSERT_GE(c, 1);
	task_thread mounter("mounter");
	int fd = -1;
	mounter.run([&] { fd = host::open(("/dev/vek" + std::to_string(b)).c_str(), O_RDONLY); });
	ASSERT_GE(fd, 0);

	EXPECT_EQ(-1, ioctl(VEK_IOCTL_UNLOAD, nullptr));
	EXPECT_TRUE(dmesg_has("vek: INFO: vek session vek" + std::to_string(a) + " stopped."));
	EXPECT_TRUE(dmesg_has("vek: ERROR: Can not stop mounted vek session vek" +
			      std::to_string(b) + ", please unmount and try again."));
	EXPECT_TRUE(dmesg_has("vek: ERROR: could not stop all vek sessions!"));
	auto l = list(4);
	EXPECT_EQ(b, l[0].id);
	EXPECT_EQ(c, l[1].id);
	EXPECT_EQ(0, l[2].id);
	EXPECT_EQ(-1, start(part1, "/b/y4"));
	EXPECT_TRUE(dmesg_has("not accepting new Tarvish sessions"));

	mounter.run([&] { host::close(fd); });
	ASSERT_EQ(0, ioctl(VEK_IOCTL_UNLOAD, nullptr));
	EXPECT_EQ(0, session_count());
}

TEST_F(StartStopTest, FailedSnapshotDeviceCreationUndoesTheStart)
{
	host::fault_fail_next("register_blkdev");
	EXPECT_EQ(-1, start(part1, "/b/noclone"));
	EXPECT_TRUE(dmesg_has("vek: ERROR: could not set up clone device for device (8,1)"));
	EXPECT_EQ(0, session_count());
	write_source(part1, 0, pattern(8192, 4));
	EXPECT_EQ(pattern(8192, 4), read_dev("/dev/sda1", 0, 8192));
	EXPECT_GE(start(part1, "/b/clone"), 1);
}
