// Module load and unload, the control device's file operations and the dispatcher, as an
// agent sees them through host:: calls.
#include "driver_fixture.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>

using namespace vekfx;

namespace {

bool has_chrdev(const std::string &entry)
{
	auto v = host::chrdevs();
	return std::find(v.begin(), v.end(), entry) != v.end();
}

int qel_caches()
{
	int n = 0;
	for (const auto &name : host::kmem_cache_names())
		if (name.rfind("qel_", 0) == 0)
			n++;
	return n;
}

// Load tests drive insmod themselves.
class LoadTest : public DriverTest {
protected:
	LoadTest() { load_module = false; make_disk = false; }
};

class ControlTest : public DriverTest {
protected:
	ControlTest() { make_disk = false; }
};

}  // namespace

TEST_F(LoadTest, LoadRegistersEverythingAndExitReleasesIt)
{
	ASSERT_EQ(0, load());
	EXPECT_TRUE(dmesg_has("vek: INFO: vek driver loaded: 4.6.0 27, NR_CPUS: 4096"))
		<< dmesg_text();
	EXPECT_TRUE(has_chrdev("120 vekdriver"));
	EXPECT_EQ(5, qel_caches());
	for (const char *name : {"qel_record_cache", "qel_saved_cache", "qel_chunk_list_cache",
				 "qel_fc_cache", "qel_rb_cache"})
		EXPECT_EQ(0, host::kmem_cache_objects(name)) << name;
	EXPECT_EQ("Proprietary", host::modinfo("license"));
	EXPECT_EQ("Linux Tarvish Driver", host::modinfo("description"));
	EXPECT_EQ("4.6.0 build 27", host::modinfo("version"));
	EXPECT_EQ(0, host::fault_failures("kthread_create"));
	EXPECT_FALSE(dmesg_has("watchdog failed"));

	ASSERT_EQ(0, unload());
	auto log = host::dmesg();
	ASSERT_GE(log.size(), 2u);
	EXPECT_EQ("vek: INFO: vek driver has been shutdown.", log[log.size() - 2]);
	EXPECT_EQ("vek: INFO: driver unloaded.", log.back());
	EXPECT_FALSE(has_chrdev("120 vekdriver"));
	EXPECT_EQ(0, qel_caches());
	// A second load in the same machine starts from scratch.
	ASSERT_EQ(0, load());
	EXPECT_EQ(2, dmesg_count("vek driver loaded"));
}

TEST_F(LoadTest, TakenMajorFailsTheLoadAndLeavesNothing)
{
	host::fault_fail_next("register_chrdev", 1, -EBUSY);
	EXPECT_EQ(-1, load());
	EXPECT_TRUE(dmesg_has("vek: ERROR: Could not register char device.")) << dmesg_text();
	EXPECT_FALSE(dmesg_has("vek driver loaded"));
	EXPECT_EQ(0, qel_caches());
	EXPECT_FALSE(has_chrdev("120 vekdriver"));
	expect_no_leaks(baseline);
	// Nothing stuck: the next load works.
	ASSERT_EQ(0, load());
}

TEST_F(LoadTest, MissingReservePoolFailsTheLoad)
{
	host::fault_fail_next("mempool_create");
	EXPECT_EQ(-1, load());
	EXPECT_TRUE(dmesg_has("vek: ERROR: Could not create qel bp cache.")) << dmesg_text();
	EXPECT_EQ(0, qel_caches());
	EXPECT_FALSE(has_chrdev("120 vekdriver"));
	expect_no_leaks(baseline);
}

TEST_F(LoadTest, MissingMappingHashFailsTheLoadFirst)
{
	host::fault_fail_next("kmalloc");	// the first allocation of the load is the hash
	EXPECT_EQ(-1, load());
	EXPECT_TRUE(dmesg_has("vek: ERROR: Could not init mrf hash!")) << dmesg_text();
	EXPECT_EQ(0, host::fault_hits("kmem_cache_create"));
	expect_no_leaks(baseline);
}

TEST_F(LoadTest, EachMissingCacheIsToleratedAndLogged)
{
	const std::pair<const char *, const char *> cases[] = {
		{"qel_record_cache", "Could not create qel record cache."},
		{"qel_saved_cache", "Could not create qel saved cache."},
		{"qel_chunk_list_cache", "Could not create qel cunk list cache."},
		{"qel_fc_cache", "Could not create qle fc cache."},
		{"qel_rb_cache", "Could not create qel rb cache."},
	};
	for (const auto &[cache, message] : cases) {
		std::string name = cache;
		host::fault_fail_if("kmem_cache_create", [name](const host::fault_ctx &c) {
			return c.name && name == c.name;
		}, 1);
		host::dmesg_clear();
		ASSERT_EQ(0, load()) << cache;
		EXPECT_TRUE(dmesg_has(std::string("vek: ERROR: ") + message)) << cache;
		EXPECT_EQ(-1, host::kmem_cache_objects(cache));
		EXPECT_EQ(4, qel_caches());
		ASSERT_EQ(0, unload());
		expect_no_leaks(baseline);
		host::fault_reset();
	}
}

TEST_F(LoadTest, WatchdogThatCannotStartIsToleratedAndNotStopped)
{
	host::fault_fail_next("kthread_create");
	ASSERT_EQ(0, load());
	EXPECT_TRUE(dmesg_has("vek: ERROR: vek watchdog failed to start!"));
	EXPECT_TRUE(dmesg_has("vek driver loaded"));
	int fd = open_control();
	ASSERT_GE(fd, 0);
	version_info vi;
	EXPECT_EQ(0, host::ioctl(fd, VEK_IOCTL_GET_VERSION, &vi));
	ASSERT_EQ(0, unload());	// would hang or crash if it tried to stop a missing thread
	EXPECT_TRUE(dmesg_has("driver unloaded."));
}

TEST_F(ControlTest, FileOperationsDoNothing)
{
	char buf[16] = "untouched";
	EXPECT_EQ(0, host::read(ctl, buf, sizeof(buf)));
	EXPECT_STREQ("untouched", buf);
	EXPECT_EQ(0, host::write(ctl, buf, sizeof(buf)));
	EXPECT_EQ(0, host::poll(ctl));
	EXPECT_EQ(0, host::mmap_dev(ctl, 4096, 0));
	// Every minor reaches the same device; there is no per-open state.
	int second = open_control();
	ASSERT_GE(second, 0);
	version_info vi;
	EXPECT_EQ(0, host::ioctl(second, VEK_IOCTL_GET_VERSION, &vi));
}

TEST_F(ControlTest, OpenHandleKeepsTheModuleLoaded)
{
	EXPECT_EQ(-EBUSY, host::rmmod());
	for (int fd : handles)
		host::close(fd);
	handles.clear();
	ctl = -1;
	EXPECT_EQ(0, host::rmmod());
	loaded = false;
	expect_no_leaks(baseline);
}

TEST_F(ControlTest, VersionIsReported)
{
	version_info vi;
	memset(&vi, 0xee, sizeof(vi));
	ASSERT_EQ(0, ioctl(VEK_IOCTL_GET_VERSION, &vi));
	EXPECT_EQ(4u, vi.major);
	EXPECT_EQ(6u, vi.minor);
	EXPECT_EQ(0u, vi.maint);
	EXPECT_EQ(27u, vi.build);

	EXPECT_EQ(-1, ioctl(VEK_IOCTL_GET_VERSION, (void *)8));
	EXPECT_EQ(1, errno);
	EXPECT_TRUE(dmesg_has("vek: ERROR: Could not copy version info to user space."));
}

TEST_F(ControlTest, UnknownNumbersAreRefused)
{
	const unsigned long bad[] = {
		VEK_IOW(0x18, 4), VEK_IOW(0x18, 12616), VEK_IOW(0x18, 0), 0x80042A18, 0x2A18,
		VEK_IOW(0x16, 4),			// known nr, wrong size
		(2UL << 30) | (12616UL << 16) | (0x2A << 8) | 0x16,	// known nr, read direction
		(1UL << 30) | (12616UL << 16) | (0x2B << 8) | 0x16,	// another type
		VEK_IOW(0x20, 32),			// the version record's own size: not the number
		VEK_IOW(0x2B, 4), VEK_IOW(0x14, 4), 0, 0xFFFFFFFF,
	};
	int i = 0;
	for (unsigned long cmd : bad) {
		char arg[64] = {};
		errno = 0;
		EXPECT_EQ(-1, ioctl(cmd, arg)) << std::hex << cmd;
		EXPECT_EQ(1, errno) << std::hex << cmd;
		EXPECT_EQ(++i, dmesg_count("vek: ERROR: ioctl command not found.")) << std::hex << cmd;
	}
}

TEST_F(ControlTest, RetiredStartIsRefusedWithoutTouchingAnything)
{
	for (void *arg : {(void *)nullptr, (void *)8, (void *)&ctl}) {
		errno = 0;
		EXPECT_EQ(-1, ioctl(VEK_IOCTL_START_VK, arg));
		EXPECT_EQ(255, errno);
	}
	EXPECT_EQ(3, dmesg_count("vek: ERROR: The tarvish or qel-agent making this snapshot "
				 "request is out of date. Please update to the latest version."));
	EXPECT_EQ(0, session_count());
}

TEST_F(ControlTest, ArgumentIgnoringCommandsAcceptAnyPointer)
{
	EXPECT_EQ(0, ioctl(VEK_IOCTL_UNBLOCK_CHANGE_RECORDS, (void *)8));
	EXPECT_EQ(0, ioctl(VEK_IOCTL_LIST_LOCKS, (void *)8));
	EXPECT_EQ(0, ioctl(VEK_IOCTL_ERROR_CTS, (void *)8));
}

TEST_F(ControlTest, ShutdownCommandRefusesStartsButKeepsAnswering)
{
	ASSERT_EQ(0, ioctl(VEK_IOCTL_UNLOAD, (void *)8));
	EXPECT_EQ(1, dmesg_count("vek: INFO: vek driver has been shutdown."));
	ASSERT_EQ(0, ioctl(VEK_IOCTL_UNLOAD, nullptr));
	EXPECT_EQ(2, dmesg_count("vek: INFO: vek driver has been shutdown."));

	version_info vi;
	EXPECT_EQ(0, ioctl(VEK_IOCTL_GET_VERSION, &vi));
	EXPECT_EQ(0, session_count());
	snap_shot_request req = make_start_request(MKDEV(8, 1), "/b/x");
	EXPECT_EQ(-1, ioctl(VEK_IOCTL_START_VK2, &req));
	EXPECT_TRUE(dmesg_has("vek: ERROR: Driver is currently not accepting new Tarvish "
			      "sessions request."));

	ASSERT_EQ(0, unload());
	auto log = host::dmesg();
	ASSERT_GE(log.size(), 2u);
	EXPECT_EQ("vek: INFO: vek driver has been shutdown.", log[log.size() - 2]);
	EXPECT_EQ("vek: INFO: driver unloaded.", log.back());
	EXPECT_EQ(3, dmesg_count("vek: INFO: vek driver has been shutdown."));
}
