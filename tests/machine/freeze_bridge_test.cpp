// The machine's freezes of host file systems that do not go as planned: one the host kernel
// refuses fails the snapshot's start, leaves no session, and leaves every host file system on
// the device thawed and working. Needs root, loop devices, /dev/fuse, e2fsprogs, mksquashfs and
// the kernel's squashfs.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <fstream>
#include <map>
#include <string>

#include "host_fs_fixture.h"

namespace {

using namespace vekmachine;

class FreezeBridgeTest : public HostFsTest {
 protected:
  std::string kmsg() { return slurp(path("kmsg")); }
  bool logged(const std::string &text) { return kmsg().find(text) != std::string::npos; }
  // No session is listed and no snapshot device is served.
  void expect_no_session() {
    Run list = agent({"list"});
    EXPECT_EQ(list.status, 0) << list.output;
    EXPECT_EQ(list.output, "no snapshot sessions\n");
    for (const std::string &e : list_dir(dir_))
      EXPECT_FALSE(e.rfind("vek", 0) == 0 && e != "vekdriver") << e << " is served after a failed start";
  }
  // The ext4 in `img` (where `extra` says, as for attach) is clean and holds the files as given.
  void expect_image_holds(const std::string &img, const std::string &extra,
                          const std::map<std::string, std::string> &files) {
    EXPECT_EQ(fsck_as_mounted(img, extra), 0) << "the image is not a clean file system";
    const std::string dev = attach(img, true, extra);
    ASSERT_FALSE(dev.empty());
    const std::string point = tmp_ + "/image";
    ASSERT_TRUE(mount_at(dev, point, "ro,noload"));
    for (auto &[name, data] : files) EXPECT_TRUE(slurp(point + "/" + name) == data) << name << " in the image";
    unmount_last();
    detach_last();
  }
  // The path by which host loop devices name the machine's file `name`.
  std::string served(const std::string &name) {
    char canon[PATH_MAX];
    return realpath(tmp_.c_str(), canon) ? std::string(canon) + "/dev/" + name : path(name);
  }
  static std::string loop_name(const std::string &dev) { return dev.substr(dev.rfind('/') + 1); }
};

// Two host file systems on sda1, side by side: ext4 on the lower-numbered loop device, frozen
// first, and squashfs, whose kernel driver cannot freeze at all (EOPNOTSUPP). A file system
// that cannot be frozen is not known to be consistent: the start fails, and the ext4 frozen
// already is thawed.
TEST_F(FreezeBridgeTest, AHostFileSystemThatCannotBeFrozenFailsTheStartAndThoseFrozenBeforeItAreThawed) {
  if (!have_tool("mksquashfs")) GTEST_SKIP() << "needs mksquashfs (squashfs-tools)";
  run_quiet({"modprobe", "squashfs"});
  if (slurp("/proc/filesystems").find("\tsquashfs\n") == std::string::npos)
    GTEST_SKIP() << "needs the kernel's squashfs";
  start();
  const std::string regions[2] = {"--sizelimit 16M", "--offset 16M --sizelimit 8M"};
  const std::string a = attach(path("sda1"), false, regions[0]);
  ASSERT_FALSE(a.empty());
  const std::string b = attach(path("sda1"), false, regions[1]);
  ASSERT_FALSE(b.empty());
  auto number = [](const std::string &dev) { return std::stoi(dev.substr(dev.find_first_of("0123456789"))); };
  const bool a_first = number(a) < number(b);
  const std::string ext4_dev = a_first ? a : b, ext4_region = a_first ? regions[0] : regions[1];
  const std::string sq_dev = a_first ? b : a;

  ASSERT_EQ(run_quiet({"mkfs.ext4", "-q", "-F", ext4_dev}), 0);
  const std::string live = tmp_ + "/live";
  ASSERT_TRUE(mount_at(ext4_dev, live, ""));
  const std::string kept(70000, 'K');
  ASSERT_TRUE(writes_through(live + "/kept", kept));
  const std::string sq_src = tmp_ + "/sqsrc", sq_img = tmp_ + "/sq.img", sq = tmp_ + "/sq";
  mkdir(sq_src.c_str(), 0755);
  std::ofstream(sq_src + "/hello") << "read-only\n";
  ASSERT_EQ(run_quiet({"mksquashfs", sq_src, sq_img, "-quiet", "-noappend"}), 0);
  ASSERT_EQ(run_quiet({"dd", "if=" + sq_img, "of=" + sq_dev, "bs=64k", "conv=fsync"}), 0);
  ASSERT_TRUE(mount_at(sq_dev, sq, "ro", "squashfs"));

  const std::string img = tmp_ + "/sda1.img";
  Run failed = agent({"backup", "sda1", "-o", img});
  EXPECT_GT(failed.status, 0) << failed.output;
  EXPECT_NE(failed.output.find("cannot snapshot sda1"), std::string::npos) << failed.output;
  EXPECT_NE(failed.output.find(sq), std::string::npos) << "the agent does not say which file system: "
                                                       << failed.output;
  EXPECT_TRUE(logged("ERROR: could not freeze the host file system on " + sq + " (" + loop_name(sq_dev) + " over " +
                     served("sda1") + "): " + strerror(EOPNOTSUPP) + " (errno " + std::to_string(EOPNOTSUPP) + ")"))
      << kmsg();
  EXPECT_TRUE(logged("froze the host file system on " + live)) << "the ext4 was not frozen first:\n" << kmsg();
  EXPECT_TRUE(logged("could not freeze block device")) << kmsg();
  expect_no_session();
  const std::string after(30000, 'A');
  EXPECT_TRUE(writes_through(live + "/after", after)) << "the ext4 frozen before the failure was left frozen";
  EXPECT_EQ(slurp(sq + "/hello"), "read-only\n");

  // Without the file system that cannot be frozen, the same backup goes through.
  ASSERT_EQ(mounts_.back(), sq);
  unmount_last();
  Run retry = agent({"backup", "sda1", "-o", img});
  ASSERT_EQ(retry.status, 0) << retry.output;
  expect_image_holds(img, ext4_region, {{"kept", kept}, {"after", after}});
  ASSERT_EQ(mounts_.back(), live);
  unmount_last();
  EXPECT_EQ(fsck(ext4_dev), 0) << "the source file system was damaged";
}

}  // namespace
