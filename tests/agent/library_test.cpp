// The agent library against the driver: the control commands, the worker pool, and backups
// whose snapshot instant is known exactly.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <host/host.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "agent/backup.h"
#include "agent/command.h"
#include "agent/error.h"
#include "agent/image.h"
#include "agent/machine.h"
#include "agent/workers.h"
#include "agent/workload.h"

using namespace agent;

namespace {

class Lib : public ::testing::Test {
 protected:
  std::string dir;
  std::unique_ptr<Machine> m;
  void SetUp() override {
    host::set_clock_speed(50);
    ensure_agent_thread_name("qel-test");
    char t[] = "/tmp/qel-lib-XXXXXX";
    ASSERT_TRUE(mkdtemp(t));
    dir = t;
    m = std::make_unique<Machine>();
    DiskOptions d;
    d.bytes = 8ull << 20;  // RAM disk, two 3 MiB partitions
    m->add_disk(d);
    m->mount("sda1");
  }
  void TearDown() override {
    m.reset();
    host::fault_reset();
    host::set_clock_speed(1);
    std::filesystem::remove_all(dir);
  }
  uint32_t dev(const char *n) { return m->device(n); }
  StartParams params(const char *n) {
    StartParams p;
    p.major = dev(n) >> 20;
    p.minor = dev(n) & 0xfffff;
    p.device_name = n;
    p.device_path = std::string("/dev/") + n;
    p.backing_stem = dir + "/" + n;
    return p;
  }
  SnapshotOptions snap_opts(const char *n, int workers = 2) {
    SnapshotOptions o;
    o.start = params(n);
    o.workers.count = workers;
    o.workers.buffer_size = 64 * 1024;
    o.workers.dir = dir;
    return o;
  }
  void fs_write(uint64_t off, const std::vector<char> &b) {
    ASSERT_EQ(ssize_t(b.size()), host::fs_pwrite(dev("sda1"), b.data(), b.size(), off_t(off)));
  }
  std::vector<char> slurp(const std::string &f) {
    std::ifstream in(f, std::ios::binary);
    return std::vector<char>(std::istreambuf_iterator<char>(in), {});
  }
};

}  // namespace

TEST_F(Lib, ControlCommandsDescribeARunningSession) {
  Control c;
  version_info v = c.version();
  EXPECT_EQ(4u, v.major);
  EXPECT_EQ(27u, v.build);
  EXPECT_EQ(0, c.count());
  EXPECT_EQ("NO ERROR", c.session_error(1));  // what the driver says for an id it does not know
  {
    Snapshot s(c, snap_opts("sda1", 3));
    int id = s.id();
    EXPECT_EQ(1, id);
    EXPECT_EQ(USER_SPACE_FILE | VEK_MODE_CHANGE_TRACKING | VEK_MODE_STARTED, s.reply().mode);
    EXPECT_LE(s.start_called_ns(), s.start_returned_ns());
    EXPECT_EQ(1, c.count());
    auto l = c.list();
    ASSERT_EQ(1u, l.size());
    EXPECT_EQ(id, l[0].id);
    EXPECT_EQ(65536u, l[0].block_size);
    auto f = c.list_fixed();
    EXPECT_EQ(id, f[0].id);
    EXPECT_EQ(0, f[1].id);
    EXPECT_EQ(std::optional<int>(id), c.session_of(dev("sda1") >> 20, dev("sda1") & 0xfffff));
    EXPECT_FALSE(c.session_of(dev("sda2") >> 20, dev("sda2") & 0xfffff));
    EXPECT_EQ("/dev/sda1", c.device_path(id));
    EXPECT_EQ(dir + "/sda1.cow_vek1", c.backing_file(id));
    EXPECT_EQ("", s.error_text());
    EXPECT_THROW(c.device_path(9), Error);
    // Three workers, each with its own backing file.
    for (int k = 0; k < 3; ++k)
      EXPECT_TRUE(std::filesystem::exists(dir + "/sda1.cow_vek1." + std::to_string(k)));
    StopSummary st = s.stop();
    EXPECT_EQ(dir + "/sda1.cow_vek1", st.reply.backing_file);
    EXPECT_EQ(0, st.reply.active_sessions);
    EXPECT_EQ(0, c.count());
    EXPECT_FALSE(
        std::filesystem::exists(dir + "/sda1.cow_vek1.0"));  // removed once the worker left
  }
}

TEST_F(Lib, StartFailuresCarryTheDriversReason) {
  Control c;
  try {
    c.start(params("sda2"));  // not mounted
    FAIL() << "start on an unmounted device succeeded";
  } catch (const Error &e) {
    EXPECT_NE(std::string::npos, std::string(e.what()).find("cannot snapshot sda2")) << e.what();
    EXPECT_NE(std::string::npos, std::string(e.what()).find("please check that the device"))
        << e.what();
    EXPECT_NE(0, e.code());
  }
  StartParams p = params("sda1");
  p.backing_stem = std::string(5000, 'x');
  EXPECT_THROW(c.start(p),
               Error);  // longer than the record's field: refused before the driver sees it
  EXPECT_EQ(0, c.count());
}

TEST_F(Lib, WorkerOptionsThatTheDriverCouldOverrunAreRefused) {
  WorkerOptions o;
  o.count = 0;
  EXPECT_THROW(check_worker_options(o), Error);
  o.count = 65;
  EXPECT_THROW(check_worker_options(o), Error);
  o.count = 64;
  EXPECT_NO_THROW(check_worker_options(o));
  for (size_t bad : {size_t(4096), size_t(65536 + 512), size_t(0)}) {
    o.buffer_size = bad;
    EXPECT_THROW(check_worker_options(o), Error) << bad;
  }
  o.buffer_size = 65536;
  EXPECT_NO_THROW(check_worker_options(o));
}

// The backing files are direct unless the run asks for the page cache, and the choice
// reaches an agent service: a request from a client that predates it asks for direct.
TEST_F(Lib, BackingFilesAreDirectUnlessCachedIsAsked) {
  int probe = ::open((dir + "/probe").c_str(), O_RDWR | O_CREAT | O_DIRECT, 0600);
  if (probe < 0) GTEST_SKIP() << dir << " does not take O_DIRECT";
  ::close(probe);
  for (bool direct : {true, false}) {
    BackingFiles f(dir, direct ? "direct" : "cached", 2, false, direct);
    ASSERT_EQ(f.files().size(), 2u);
    for (const BackingFiles::File &b : f.files())
      EXPECT_EQ((::fcntl(b.fd, F_GETFL) & O_DIRECT) != 0, direct) << b.path;
  }
  Request r;
  r.g.backing_io = "cached";
  nlohmann::json j = r;
  EXPECT_EQ(j.get<Request>().g.backing_io, "cached");
  j["globals"].erase("backing_io");
  EXPECT_EQ(j.get<Request>().g.backing_io, "direct");
  j["globals"]["backing_io"] = "sideways";
  EXPECT_THROW(j.get<Request>(), nlohmann::json::exception);
}

TEST_F(Lib, ChangeRecordsInBothFormatsWithAPartialBatch) {
  Control c;
  Snapshot s(c, snap_opts("sda1", 1));
  fs_write(4096 * 512, std::vector<char>(4097, 'a'));
  for (RecordFormat f : {RecordFormat::v2, RecordFormat::v1}) {
    fs_write(100 * 512, std::vector<char>(4096, 'b'));
    std::vector<ChangeRecord> got;
    ControlChanges src(c, f);
    DrainStats st = drain_queue(src, 64, [&](const ChangeRecord &r) { got.push_back(r); });
    EXPECT_TRUE(st.tracking);
    ASSERT_FALSE(got.empty());
    const ChangeRecord &last = got.back();
    EXPECT_EQ(dev("sda1") >> 20, last.major);
    EXPECT_EQ(dev("sda1") & 0xfffff, last.minor);
    EXPECT_EQ(100u, last.start_sector);
    EXPECT_EQ(8u, last.num_sectors);
    if (f == RecordFormat::v2) {
      ASSERT_EQ(2u, got.size());
      EXPECT_EQ(4096u, got[0].start_sector);
      EXPECT_EQ(9u, got[0].num_sectors);  // 4097 bytes round up
    }
  }
  ChangeBatch b;
  c.unblock_changes();
  b = c.fetch_changes(RecordFormat::v2, 10);  // released early, nothing queued
  EXPECT_TRUE(b.records.empty());
  EXPECT_EQ(0, b.inqueue);
  EXPECT_THROW(c.fetch_changes(RecordFormat::v2, -1), Error);
}

TEST_F(Lib, BackupHoldsTheFrozenImageAndTheIncrementalCopiesWhatChanged) {
  const uint64_t nr = m->nr_sects("sda1");
  std::vector<char> base(nr * 512);
  for (size_t i = 0; i < base.size(); ++i) base[i] = char(i * 7 + (i >> 16));
  fs_write(0, base);

  Agent ag;
  BackupOptions bo;
  bo.device = "sda1";
  bo.major = dev("sda1") >> 20;
  bo.minor = dev("sda1") & 0xfffff;
  bo.nr_sects = nr;
  bo.out = dir + "/a.img";
  bo.workers.count = 2;
  bo.workers.buffer_size = 64 * 1024;
  bo.workers.dir = dir;
  bo.read_block = 64 * 1024;
  // Written right after the snapshot was taken, before a byte was read: the driver must
  // preserve these chunks, and the image must not see the writes.
  std::vector<char> after(65536 * 2, 'Z');
  bo.on_started = [&](Snapshot &) { fs_write(3 * 65536 + 4096, after); };
  BackupResult r = ag.backup(bo);
  EXPECT_FALSE(r.incremental);
  EXPECT_GE(r.chunks_preserved, 3u);  // chunks 3, 4 and 5
  EXPECT_TRUE(slurp(bo.out) == base);
  EXPECT_TRUE(r.tracking_intact);

  std::vector<char> now = base;
  std::copy(after.begin(), after.end(), now.begin() + 3 * 65536 + 4096);
  // Written after the queued records were taken but before the second snapshot: only the
  // records taken after the start name this chunk.
  std::vector<char> between(4096, 'B');
  bo.before_start = [&] { fs_write(20 * 65536, between); };
  std::copy(between.begin(), between.end(), now.begin() + 20 * 65536);
  std::vector<char> later(512, 'Q');
  bo.on_started = [&](Snapshot &) { fs_write(40 * 65536, later); };  // after the second snapshot
  bo.incremental = true;
  BackupResult r2 = ag.backup(bo);
  EXPECT_TRUE(r2.incremental) << r2.fallback_reason;
  // The writes between the two snapshots touched chunks 3, 4, 5 and 20; the one after the
  // second snapshot may be counted too, never anything else.
  EXPECT_GE(r2.chunks_copied, 4u);
  EXPECT_LE(r2.chunks_copied, 5u);
  EXPECT_TRUE(slurp(bo.out) == now);
  EXPECT_EQ("incremental", read_meta(bo.out)->kind);

  // The image replaced behind the tracker's back is no base for an incremental.
  ImageMeta meta = *read_meta(bo.out);
  meta.generation ^= 1;
  write_meta(bo.out, meta);
  bo.on_started = nullptr;
  bo.before_start = nullptr;
  BackupResult r3 = ag.backup(bo);
  EXPECT_FALSE(r3.incremental);
  EXPECT_NE(std::string::npos, r3.fallback_reason.find("was replaced")) << r3.fallback_reason;
  std::copy(later.begin(), later.end(), now.begin() + 40 * 65536);
  EXPECT_TRUE(slurp(bo.out) == now);

  // Tracking broken by the driver: the next incremental is a full backup.
  ag.control().error_cts();
  BackupResult r4 = ag.backup(bo);
  EXPECT_FALSE(r4.incremental);
  EXPECT_NE(std::string::npos, r4.fallback_reason.find("missed writes")) << r4.fallback_reason;
}

// Both partitions are followed and sda1's tracking is listed first; the first sector of
// sda2 lies right after sda1's last. A write there must reach sda2's incremental.
TEST_F(Lib, AnIncrementalOfTheSecondPartitionHasAWriteToItsFirstSector) {
  m->mount("sda2");
  Agent ag;
  auto opts = [&](const char *n) {
    BackupOptions bo;
    bo.device = n;
    bo.major = dev(n) >> 20;
    bo.minor = dev(n) & 0xfffff;
    bo.nr_sects = m->nr_sects(n);
    bo.out = dir + "/" + n + ".img";
    bo.workers.count = 2;
    bo.workers.buffer_size = 64 * 1024;
    bo.workers.dir = dir;
    return bo;
  };
  BackupOptions b1 = opts("sda1"), b2 = opts("sda2");
  ag.backup(b1);
  ag.backup(b2);
  std::vector<char> first(4096, 'F');
  ASSERT_EQ(ssize_t(first.size()), host::fs_pwrite(dev("sda2"), first.data(), first.size(), 0));
  b2.incremental = true;
  BackupResult r = ag.backup(b2);
  EXPECT_TRUE(r.incremental) << r.fallback_reason;
  EXPECT_GE(r.chunks_copied, 1u);
  std::vector<char> now(m->nr_sects("sda2") * 512);
  int fd = host::open("/dev/sda2", O_RDONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ssize_t(now.size()), host::pread(fd, now.data(), now.size(), 0));
  host::close(fd);
  EXPECT_TRUE(slurp(b2.out) == now);
}

TEST_F(Lib, ASessionThatFailsAfterTheLastReadStillFailsTheBackup) {
  const uint64_t nr = m->nr_sects("sda1");
  Agent ag;
  BackupOptions bo;
  bo.device = "sda1";
  bo.major = dev("sda1") >> 20;
  bo.minor = dev("sda1") & 0xfffff;
  bo.nr_sects = nr;
  bo.out = dir + "/a.img";
  bo.workers.count = 1;
  bo.workers.buffer_size = 64 * 1024;
  bo.workers.dir = dir;
  // Every read went well; then chunks are preserved and their backing file is full. What was
  // read is fine, but the session lost preserved data while it was the backup's snapshot, and
  // the agent cannot tell when: the backup must not count.
  bo.after_copy = [&](Snapshot &s) {
    host::fault_rule rule;
    rule.count = -1;
    rule.error = -28;
    host::fault_inject("file_write", rule);
    fs_write(0, std::vector<char>(4 * 65536, 'x'));
    // The worker stores them when its sleep ends, however late it runs: wait for the error.
    while (s.error_text().empty()) usleep(1000);
  };
  try {
    ag.backup(bo);
    FAIL() << "a backup whose session went into error succeeded";
  } catch (const Error &e) {
    EXPECT_NE(std::string::npos,
              std::string(e.what()).find("went into error during the backup: FILE IO ERROR"))
        << e.what();
  }
  EXPECT_FALSE(read_meta(bo.out));
  EXPECT_FALSE(ag.tracker().find(bo.major, bo.minor));
  EXPECT_EQ(0, ag.control().count());  // the session was stopped all the same
}
