// Every resource a session is built from can be missing: the start then fails with its
// message, nothing stays listed or counted, and everything taken so far is given back
// (the fixture's leak check after rmmod covers the last part).
#include "driver_fixture.h"

#include "cow.h"

#include <fcntl.h>

using namespace vekfx;

namespace {

struct start_fault {
	const char *name;
	const char *point;
	size_t size;		// 0: any size
	unsigned skip;
	int mode;
	const char *message;
};

std::ostream &operator<<(std::ostream &os, const start_fault &f) { return os << f.name; }

class StartFailureTest : public DriverTest, public ::testing::WithParamInterface<start_fault> {};

const start_fault kFaults[] = {
	{"session", "kmalloc", sizeof(cow_session), 0, USER_SPACE_FILE,
	 "could not allocate new cow session for (8,1)."},
	{"error_text", "kmalloc", VEK_ERROR_MSG_LEN, 0, USER_SPACE_FILE,
	 "could not allocate error message storage!"},
	{"thread_info", "kmalloc", sizeof(io_thread_info), 0, USER_SPACE_FILE,
	 "cound not allocate thread info storage for (8,1)."},
	{"snap_info", "kmalloc", sizeof(snap_info), 0, USER_SPACE_FILE,
	 "could not allocate snap info storage for (8,1)."},
	{"other_info", "kmalloc", sizeof(other_info), 0, USER_SPACE_FILE,
	 "could not allocate other info storage for (8,1)."},
	{"page_cache", "kmalloc", sizeof(simple_page_cache), 0, USER_SPACE_FILE,
	 "could not allocate simple page cache for (8,1)."},
	{"mapping", "kmalloc", sizeof(saved_mrf), 0, USER_SPACE_FILE,
	 "Could not get smrf for device!"},
	{"chunk_table", "vmalloc", 0, 0, USER_SPACE_FILE,
	 "could not create chunk table for (8,1)."},
	{"in_flight_table", "vmalloc", 0, 1, USER_SPACE_FILE,
	 "could not create in flight table for (8,1)."},
	{"io_thread", "kmalloc", sizeof(io_thread), 5, USER_SPACE_FILE,
	 "could not allocate io thread info for (8,1)."},
	// The page cache record is allocated earlier and may have the same size.
	{"change_tracking", "kmalloc", sizeof(ct_session),
	 sizeof(ct_session) == sizeof(simple_page_cache) ? 1u : 0u, USER_SPACE_FILE | 1,
	 "could not create new change tracking session for device:(8,1)."},
};

}  // namespace

TEST_P(StartFailureTest, FailsCleanlyAndTheNextStartWorks)
{
	const start_fault &f = GetParam();
	size_t size = f.size;
	host::fault_rule rule;
	rule.skip = f.skip;
	rule.count = 1;
	rule.match = [size](const host::fault_ctx &c) { return size == 0 || c.size == size; };
	host::fault_inject(f.point, rule);

	snap_shot_request rep;
	EXPECT_EQ(-1, start(part1, "/f/x", f.mode, &rep));
	EXPECT_EQ(1, host::fault_failures(f.point));
	EXPECT_TRUE(dmesg_has(std::string("vek: ERROR: ") + f.message)) << dmesg_text();
	EXPECT_TRUE(dmesg_has("vek: ERROR: could not create new session for device:(8,1)."));
	EXPECT_FALSE(dmesg_has("starting new session"));
	EXPECT_EQ(0, rep.active_sessions);
	EXPECT_EQ(0, session_count());

	host::fault_reset();
	int id = start(part1, "/f/x", f.mode, &rep);
	EXPECT_GE(id, 1) << dmesg_text();
	EXPECT_EQ(1, rep.active_sessions);
	EXPECT_EQ(1, session_count());
}

INSTANTIATE_TEST_SUITE_P(EverySetUpStep, StartFailureTest, ::testing::ValuesIn(kFaults),
			 [](const auto &info) { return std::string(info.param.name); });

// The io thread table's own message names the slot that failed.
TEST_F(DriverTest, IoThreadFailureNamesTheSlot)
{
	host::fault_fail_if("kmalloc", [](const host::fault_ctx &c) {
		return c.size == sizeof(io_thread);
	}, 1);
	EXPECT_EQ(-1, start(part1, "/f/slot"));
	EXPECT_TRUE(dmesg_has("vek: ERROR: Failed to alloc 0th iothread"));
	EXPECT_TRUE(dmesg_has("vek: ERROR: could not allocate io thread info for (8,1)."));
}
