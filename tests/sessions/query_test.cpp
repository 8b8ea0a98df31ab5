// The query commands (lists, count, device, strings) and set-file.
#include "driver_fixture.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

using namespace vekfx;

namespace {

class QueryTest : public DriverTest {
protected:
	std::vector<int> start_three()
	{
		std::vector<int> ids;
		ids.push_back(start(part1, "/q/a"));
		ids.push_back(start(part2, "/q/b"));
		ids.push_back(start(part1, "/q/c"));
		for (int id : ids)
			EXPECT_GE(id, 1) << dmesg_text();
		return ids;
	}

	static bool bytes_are(const void *p, size_t n, uint8_t v)
	{
		const uint8_t *b = static_cast<const uint8_t *>(p);
		for (size_t i = 0; i < n; i++)
			if (b[i] != v)
				return false;
		return true;
	}
};

}  // namespace

TEST_F(QueryTest, CallerSizedListHonoursTheSize)
{
	auto ids = start_three();

	// Size 0 returns 0 and writes nothing.
	std::vector<session_list> buf(5);
	memset(buf.data(), 0xAB, buf.size() * sizeof(session_list));
	session_list_request slr = {0, buf.data()};
	EXPECT_EQ(0, ioctl(VEK_IOCTL_GET_VK_LIST2, &slr));
	EXPECT_TRUE(bytes_are(buf.data(), buf.size() * sizeof(session_list), 0xAB));

	// Size 2 of 3: the first two in start order, the rest untouched.
	slr.size = 2;
	EXPECT_EQ(0, ioctl(VEK_IOCTL_GET_VK_LIST2, &slr));
	EXPECT_EQ(ids[0], buf[0].id);
	EXPECT_EQ(ids[1], buf[1].id);
	EXPECT_TRUE(bytes_are(&buf[2], 3 * sizeof(session_list), 0xAB));

	// Size 5 of 3: entries 3 and 4 come back zeroed.
	memset(buf.data(), 0xAB, buf.size() * sizeof(session_list));
	slr.size = 5;
	EXPECT_EQ(0, ioctl(VEK_IOCTL_GET_VK_LIST2, &slr));
	for (int i = 0; i < 3; i++) {
		EXPECT_EQ(ids[i], buf[i].id);
		EXPECT_EQ(65536u, buf[i].block_size);
		EXPECT_EQ(0, buf[i].error);
		EXPECT_EQ(USER_SPACE_FILE, buf[i].mode);
	}
	EXPECT_TRUE(bytes_are(&buf[3], 2 * sizeof(session_list), 0));
}

TEST_F(QueryTest, CallerSizedListRejectsBadSizesAndPointers)
{
	start_three();
	std::vector<session_list> buf(4);
	for (int size : {-1, -2147483647 - 1, 2147483647, 1 << 20}) {
		host::dmesg_clear();
		session_list_request slr = {size, buf.data()};
		EXPECT_EQ(-1, ioctl(VEK_IOCTL_GET_VK_LIST2, &slr)) << size;
		EXPECT_TRUE(dmesg_has("vek: ERROR: Could not allocate session list.")) << size;
	}
	session_list_request bad = {4, (session_list *)8};
	host::dmesg_clear();
	EXPECT_EQ(-1, ioctl(VEK_IOCTL_GET_VK_LIST2, &bad));
	EXPECT_FALSE(dmesg_has("ERROR"));	// the copy-out failure is not logged
	EXPECT_EQ(-1, ioctl(VEK_IOCTL_GET_VK_LIST2, (void *)8));
	EXPECT_TRUE(dmesg_has("vek: ERROR: Could not copy session list requset from user space."));
}

TEST_F(QueryTest, FixedListMovesSixteenEntriesBothWays)
{
	auto ids = start_three();
	std::vector<session_list> buf(16);
	memset(buf.data(), 0xCD, buf.size() * sizeof(session_list));
	ASSERT_EQ(0, ioctl(VEK_IOCTL_GET_VK_LIST, buf.data()));
	for (int i = 0; i < 3; i++)
		EXPECT_EQ(ids[i], buf[i].id);
	// Entries beyond the sessions come back as the caller sent them.
	EXPECT_TRUE(bytes_are(&buf[3], 13 * sizeof(session_list), 0xCD));

	// A 16-entry array whose last byte is not readable: the whole transfer fails.
	size_t len = 2 * 4096;
	char *mem = (char *)mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
				 -1, 0);
	ASSERT_NE(MAP_FAILED, (void *)mem);
	ASSERT_EQ(0, mprotect(mem + 4096, 4096, PROT_NONE));
	session_list *tight = (session_list *)(mem + 4096 - 16 * sizeof(session_list) + 1);
	host::dmesg_clear();
	EXPECT_EQ(-1, ioctl(VEK_IOCTL_GET_VK_LIST, tight));
	EXPECT_FALSE(dmesg_has("ERROR"));
	// Readable but not writable: the copy back fails and says so.
	ASSERT_EQ(0, mprotect(mem, len, PROT_READ));
	EXPECT_EQ(-1, ioctl(VEK_IOCTL_GET_VK_LIST, mem));
	EXPECT_TRUE(dmesg_has("vek: ERROR: Could not copy session list to user space."));
	munmap(mem, len);
}

TEST_F(QueryTest, CountFollowsStartsAndStops)
{
	EXPECT_EQ(0, session_count());
	auto ids = start_three();
	EXPECT_EQ(3, session_count());
	ASSERT_EQ(0, stop(ids[1]));
	EXPECT_EQ(2, session_count());
	auto l = list(3);
	EXPECT_EQ(ids[0], l[0].id);
	EXPECT_EQ(ids[2], l[1].id);
	EXPECT_EQ(-1, ioctl(VEK_IOCTL_GET_VK_LIST_COUNT, (void *)8));
}

TEST_F(QueryTest, DeviceLookupFindsTheFirstSessionOfThePartition)
{
	auto ids = start_three();
	snap_shot_request req;
	memset(&req, 0, sizeof(req));
	req.id = 77;
	req.major = 8;
	req.minor = 1;
	ASSERT_EQ(0, ioctl(VEK_IOCTL_GET_VK_DEV, &req));
	EXPECT_EQ(ids[0], req.id);
	req.minor = 2;
	ASSERT_EQ(0, ioctl(VEK_IOCTL_GET_VK_DEV, &req));
	EXPECT_EQ(ids[1], req.id);

	// No session: nothing is copied back.
	req.id = 77;
	req.minor = 3;
	EXPECT_EQ(-1, ioctl(VEK_IOCTL_GET_VK_DEV, &req));
	EXPECT_EQ(77, req.id);
	req.major = -8;
	req.minor = 1;
	EXPECT_EQ(-1, ioctl(VEK_IOCTL_GET_VK_DEV, &req));
	EXPECT_EQ(77, req.id);
}

TEST_F(QueryTest, StringQueries)
{
	snap_shot_request rep;
	int id = start(part1, "/q/s", USER_SPACE_FILE, &rep);
	ASSERT_GE(id, 1);
	int rc = 7;
	EXPECT_EQ("/dev/test/8:1", get_string_cmd(VEK_IOCTL_GET_DEV_PATH, id, &rc));
	EXPECT_EQ(0, rc);
	EXPECT_EQ("/q/s.cow_vek" + std::to_string(id),
		  get_string_cmd(VEK_IOCTL_GET_BACKING_FILE, id, &rc));
	EXPECT_EQ(0, rc);
	EXPECT_EQ("", get_string_cmd(VEK_IOCTL_GET_SESSION_ERROR, id, &rc));
	EXPECT_EQ(0, rc);
	EXPECT_EQ("NO ERROR", get_string_cmd(VEK_IOCTL_GET_SESSION_ERROR, id + 1, &rc));
	EXPECT_EQ(0, rc);

	// An absent id: the record comes back as it was sent, and the command fails.
	for (unsigned long cmd : {VEK_IOCTL_GET_DEV_PATH, VEK_IOCTL_GET_BACKING_FILE}) {
		get_string gs;
		memset(&gs, 0, sizeof(gs));
		gs.id = id + 5;
		strcpy(gs.string, "as sent");
		EXPECT_EQ(-1, ioctl(cmd, &gs));
		EXPECT_STREQ("as sent", gs.string);
	}
	EXPECT_EQ(-1, ioctl(VEK_IOCTL_GET_DEV_PATH, (void *)8));
	EXPECT_TRUE(dmesg_has("vek: ERROR: Could not copy string request from user space."));

	// A read-only record: the copy back fails and is logged.
	void *mem = mmap(nullptr, 8192, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
	ASSERT_NE(MAP_FAILED, mem);
	static_cast<get_string *>(mem)->id = id;
	ASSERT_EQ(0, mprotect(mem, 8192, PROT_READ));
	EXPECT_EQ(-1, ioctl(VEK_IOCTL_GET_SESSION_ERROR, mem));
	EXPECT_TRUE(dmesg_has("vek: ERROR: Could not copy string erquest to user space."));
	munmap(mem, 8192);

	host::fault_fail_if("kmalloc", [](const host::fault_ctx &c) {
		return c.size == sizeof(get_string);
	}, 1);
	EXPECT_EQ(-1, ioctl(VEK_IOCTL_GET_BACKING_FILE, &rep));
	EXPECT_TRUE(dmesg_has("vek: ERROR: Could not allocate string."));
}

TEST_F(QueryTest, LongRequestStringsAreStoredTerminated)
{
	snap_shot_request req = make_start_request(part1, "");
	memset(req.device_path, 'p', sizeof(req.device_path));	// no terminator at all
	memset(req.backing_file, 'b', sizeof(req.backing_file));
	memset(req.device_name, 'n', sizeof(req.device_name));
	ASSERT_EQ(0, ioctl(VEK_IOCTL_START_VK2, &req)) << dmesg_text();
	std::string path = get_string_cmd(VEK_IOCTL_GET_DEV_PATH, req.id);
	EXPECT_EQ(std::string(4095, 'p'), path);
	std::string bf = get_string_cmd(VEK_IOCTL_GET_BACKING_FILE, req.id);
	EXPECT_EQ(4095u, bf.size());
	EXPECT_EQ(std::string(4095, 'b'), bf);
}

TEST_F(QueryTest, SetFileAttachesOnceAndRenames)
{
	int id = start(part1, "/q/f");
	ASSERT_GE(id, 1);
	std::string path = dir() + "/setfile.cow";
	int fd = ::open(path.c_str(), O_RDWR | O_CREAT, 0600);
	ASSERT_GE(fd, 0);

	EXPECT_EQ(0, set_file(id + 3, fd, "/ignored"));	// absent id: nothing happens
	EXPECT_EQ("/q/f.cow_vek" + std::to_string(id), get_string_cmd(VEK_IOCTL_GET_BACKING_FILE, id));

	EXPECT_EQ(1, set_file(id, -1, "/bad"));
	EXPECT_TRUE(dmesg_has("vek: ERROR: could not get file for fd: -1."));
	EXPECT_EQ(1, set_file(id, 987654, "/bad"));
	EXPECT_TRUE(dmesg_has("vek: ERROR: could not get file for fd: 987654."));

	EXPECT_EQ(0, set_file(id, fd, "/q/renamed"));
	EXPECT_EQ("/q/renamed", get_string_cmd(VEK_IOCTL_GET_BACKING_FILE, id));
	EXPECT_EQ(1, set_file(id, fd, "/q/again"));
	EXPECT_TRUE(dmesg_has("vek: ERROR: cow file already set on vek session with id: " +
			      std::to_string(id) + "."));
	EXPECT_EQ("/q/renamed", get_string_cmd(VEK_IOCTL_GET_BACKING_FILE, id));
	// The stored name now blocks a start with the same name.
	snap_shot_request rep;
	EXPECT_EQ(-1, start(part2, "/q/renamed", USER_SPACE_FILE, &rep));
	EXPECT_EQ(-2, rep.id);

	EXPECT_EQ(1, ioctl(VEK_IOCTL_SET_COW_FILE, (void *)8));
	EXPECT_TRUE(dmesg_has("vek: ERROR: Could not copy set file requset from user space."));

	// The stop closes the file the session held: our own descriptor stays usable.
	snap_shot_request stop_rep;
	ASSERT_EQ(0, stop(id, &stop_rep));
	EXPECT_STREQ("/q/renamed", stop_rep.backing_file);
	EXPECT_EQ(4, ::pwrite(fd, "test", 4, 0));
	::close(fd);
}

TEST_F(QueryTest, SetFileAllocationFailureIsOne)
{
	int id = start(part1, "/q/g");
	ASSERT_GE(id, 1);
	host::fault_fail_if("kmalloc", [](const host::fault_ctx &c) {
		return c.size == sizeof(set_cow_file);
	}, 1);
	EXPECT_EQ(1, set_file(id, 0, "/x"));
	EXPECT_TRUE(dmesg_has("vek: ERROR: Could not allocate set file request."));
}
