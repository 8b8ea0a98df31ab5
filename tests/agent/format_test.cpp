// What the agent prints and parses: sizes, device names, layouts, image records, progress,
// the session table and JSON, and the "+" joining of commands.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "agent/cli.h"
#include "agent/error.h"
#include "agent/image.h"
#include "agent/layout.h"
#include "agent/progress.h"

using namespace agent;

TEST(Parse, Sizes) {
  EXPECT_EQ(256ull << 20, parse_size("256M"));
  EXPECT_EQ(1ull << 30, parse_size("1G"));
  EXPECT_EQ(1ull << 30, parse_size("1GiB"));
  EXPECT_EQ(3ull << 29, parse_size("1.5g"));
  EXPECT_EQ(4096u, parse_size("4K"));
  EXPECT_EQ(512u, parse_size("512"));
  EXPECT_EQ(512u, parse_size("512B"));
  for (const char *bad :
       {"", "0", "M", "12X", "1.5", "0.1K", "-1M", "1MM", "1.2.3G", "99999999999999999999999"})
    EXPECT_FALSE(parse_size(bad)) << bad;
}

TEST(Parse, DeviceNames) {
  auto d = parse_device_name("sda2");
  ASSERT_TRUE(d);
  EXPECT_EQ("sda", d->disk);
  EXPECT_EQ(2u, d->part);
  d = parse_device_name("/dev/sdb");
  ASSERT_TRUE(d);
  EXPECT_EQ("sdb", d->disk);
  EXPECT_EQ(0u, d->part);
  EXPECT_EQ(15u, parse_device_name("sda15")->part);
  for (const char *bad : {"", "sda0", "sda16", "sda01", "1", "SDA", "sda1x", "/dev/"})
    EXPECT_FALSE(parse_device_name(bad)) << bad;
}

TEST(Layout, EqualPartitionsAreAlignedDisjointAndInside) {
  uint64_t nr = (256ull << 20) / 512;
  auto p = equal_partitions(nr, 2);
  ASSERT_EQ(2u, p.size());
  EXPECT_EQ(2048u, p[0].start_sect);
  EXPECT_EQ(p[0].start_sect + p[0].nr_sects, p[1].start_sect);
  EXPECT_LE(p[1].start_sect + p[1].nr_sects, nr);
  for (auto &x : p) {
    EXPECT_EQ(0u, x.start_sect % 2048);
    EXPECT_EQ(0u, x.nr_sects % 2048);
  }
  EXPECT_TRUE(equal_partitions(nr, 0).empty());
  EXPECT_THROW(equal_partitions(4096, 2), Error);  // 2 MiB: room for one 1 MiB partition only
  EXPECT_EQ(1u, equal_partitions(4096, 1).size());
  EXPECT_THROW(equal_partitions(nr, 16), Error);
}

// Tables as the machine writes them read back; sectors that are no table (a file system's
// boot sector, nothing) are told apart from tables that are there but unusable as they stand.
TEST(Layout, MbrTablesReadBackAndUnusableOnesAreRefused) {
  const uint64_t nr = 1ull << 33;  // 4 TiB: the last partition ends at the 32-bit limit
  std::vector<PartitionLayout> parts = {{2048, 4096}, {6144, 0xffffffffull - 6144}};
  Sector s = encode_mbr(parts, 0x1234abcd);
  auto back = decode_mbr(s, nr);
  ASSERT_TRUE(back);
  ASSERT_EQ(2u, back->size());
  EXPECT_EQ(6144u, (*back)[1].start_sect);
  EXPECT_EQ(0xffffffffull - 6144, (*back)[1].nr_sects);
  EXPECT_EQ(0xfe, s[446 + 16 + 5]);  // CHS of an end past cylinder 1023: the "too far" marker
  EXPECT_THROW(encode_mbr({{2048, 0xffffffffull}}, 0), Error);
  EXPECT_THROW(encode_mbr(std::vector<PartitionLayout>(5, {2048, 1}), 0), Error);
  EXPECT_TRUE(decode_mbr(encode_mbr({}, 0), nr)->empty());

  Sector none{};
  EXPECT_FALSE(decode_mbr(none, nr));  // no signature
  Sector fat = s;
  fat[446] = 0xeb;  // boot code where a boot flag would be
  EXPECT_FALSE(decode_mbr(fat, nr));

  auto with = [&](unsigned entry, size_t off, uint8_t v) {
    Sector t = s;
    t[446 + 16 * entry + off] = v;
    return t;
  };
  // An entry of type 0 with a size is a partition, as the kernel and fdisk read it.
  auto typeless = decode_mbr(with(0, 4, 0x00), nr);
  ASSERT_TRUE(typeless);
  EXPECT_EQ(2u, typeless->size());
  struct Case {
    Sector s;
    uint64_t nr;
    const char *why;
  } cases[] = {
      {with(0, 4, 0x05), nr, "partition 1 is an extended partition"},
      {with(1, 4, 0xee), nr, "GPT"},
      {with(0, 13, 0x00), nr, "partition 2 is used while partition 1 is empty"},  // size 0
      {with(0, 9, 0x00), nr, "holds the partition table's own sector"},  // start 2048 -> 0
      {with(1, 9, 0x08), nr, "overlaps partition 1"},                    // start 6144 -> 2048
      {s, 4294967294, "partition 2 (sectors 6144 to 4294967294) runs past the end of the disk"},
  };
  for (const Case &c : cases) {
    try {
      decode_mbr(c.s, c.nr);
      ADD_FAILURE() << "accepted: " << c.why;
    } catch (const Error &e) {
      EXPECT_NE(std::string(e.what()).find(c.why), std::string::npos) << e.what();
    }
  }
}

TEST(ImageMeta, RoundTripsAndRejectsIncompleteRecords) {
  ImageMeta m{"sda1", 260096, 65536, 1234567890123ull, 1700000000, "incremental"};
  auto back = parse_meta(format_meta(m));
  ASSERT_TRUE(back);
  EXPECT_EQ(m.device, back->device);
  EXPECT_EQ(m.nr_sects, back->nr_sects);
  EXPECT_EQ(m.generation, back->generation);
  EXPECT_EQ(m.kind, back->kind);
  std::string good = format_meta(m);
  EXPECT_TRUE(parse_meta(good + "future_field=1\n"));  // later versions may add fields
  EXPECT_FALSE(parse_meta(""));
  EXPECT_FALSE(parse_meta("qel-image 2\n" + good.substr(good.find('\n') + 1)));
  std::string no_gen = good;
  no_gen.erase(no_gen.find("generation="),
               no_gen.find('\n', no_gen.find("generation=")) - no_gen.find("generation=") + 1);
  EXPECT_FALSE(parse_meta(no_gen));
  std::string bad_num = good;
  bad_num.replace(bad_num.find("nr_sects=") + 9, 6, "26x096");
  EXPECT_FALSE(parse_meta(bad_num));
  EXPECT_FALSE(parse_meta(good + "kind=partial\n"));
  EXPECT_FALSE(parse_meta(good + "nr_sects=99999999999999999999\n"));
}

TEST(ImageMeta, FileIsWrittenWholeAndRemoved) {
  char tmpl[] = "/tmp/qel-meta-XXXXXX";
  ASSERT_TRUE(mkdtemp(tmpl));
  std::string img = std::string(tmpl) + "/a.img";
  EXPECT_FALSE(read_meta(img));
  ImageMeta m{"sda1", 100, 65536, 5, 6, "full"};
  write_meta(img, m);
  auto r = read_meta(img);
  ASSERT_TRUE(r);
  EXPECT_EQ(5u, r->generation);
  EXPECT_NE(0, access((meta_path(img) + ".tmp").c_str(), F_OK));
  { std::ofstream(meta_path(img)) << "qel-image 1\ndevice=sda1\n"; }  // truncated record
  EXPECT_FALSE(read_meta(img));
  remove_meta(img);
  EXPECT_NE(0, access(meta_path(img).c_str(), F_OK));
  EXPECT_THROW(write_meta(std::string(tmpl) + "/missing/dir/a.img", m), Error);
  rmdir(tmpl);
  EXPECT_NE(new_generation(), 0u);
}

TEST(Progress, NumbersAndBar) {
  EXPECT_EQ("512 B", format_bytes(512));
  EXPECT_EQ("1.5 KiB", format_bytes(1536));
  EXPECT_EQ("256.0 MiB", format_bytes(256ull << 20));
  EXPECT_EQ("1.00 GiB", format_bytes(1ull << 30));
  EXPECT_EQ("100.0 MB/s", format_rate(200000000, 2.0));
  EXPECT_EQ("-", format_rate(100, 0));
  EXPECT_EQ("1.000042 s", format_seconds(1, 42000));
  EXPECT_EQ("0.42 ms", format_duration(0, 420000));
  EXPECT_EQ("42.1 ms", format_duration(0, 42100000));
  EXPECT_EQ("1.23 s", format_duration(1, 230000000));
  EXPECT_EQ("2 min 03 s", format_duration(123, 0));
  // Local time with its offset written the ISO way.
  const char *tz = getenv("TZ");
  std::string saved_tz = tz ? tz : "";
  setenv("TZ", "CET-1", 1);
  tzset();
  EXPECT_EQ("2023-11-14T23:13:20+01:00", format_time(1700000000));
  if (tz) setenv("TZ", saved_tz.c_str(), 1); else unsetenv("TZ");
  tzset();
  EXPECT_EQ("[#####.....]  50%  128.0 MiB/256.0 MiB  67.1 MB/s",
            format_progress(128ull << 20, 256ull << 20, 2.0, 10));
  EXPECT_EQ("[##########] 100%  0 B/0 B  -", format_progress(0, 0, 0, 10));
  // More done than total (a device that grew) is shown as complete, never past the bar.
  EXPECT_EQ(0u, format_progress(300, 100, 1, 10).find("[##########] 100%"));
}

TEST(Progress, BarDrawsOnlyOnATerminalAndEndsWithANewline) {
  char *buf = nullptr;
  size_t len = 0;
  FILE *f = open_memstream(&buf, &len);
  {
    ProgressBar quiet(f, "backup", 100);  // a memory stream is no terminal
    quiet.update(50);
    quiet.finish();
    EXPECT_FALSE(quiet.drawing());
  }
  fflush(f);
  EXPECT_EQ(0u, len);
  ProgressBar bar(f, "backup", 100, true);
  bar.update(10);
  bar.update(20);  // within 100 ms: not drawn
  bar.update(100);
  bar.finish();
  bar.finish();
  fclose(f);
  std::string s(buf, len);
  free(buf);
  EXPECT_EQ(0u, s.find("\rbackup [#"));
  EXPECT_NE(std::string::npos, s.find("100%"));
  EXPECT_EQ('\n', s.back());
  EXPECT_EQ(1, std::count(s.begin(), s.end(), '\n'));
  EXPECT_EQ(2, std::count(s.begin(), s.end(), '\r'));  // the first update and the final one
}

TEST(CliText, SplitsCommandsAtPlus) {
  auto s = split_commands({"--disk", "d.img", "snapshot", "+", "list", "--json", "+", "stop", "1"});
  ASSERT_EQ(3u, s.size());
  EXPECT_EQ((std::vector<std::string>{"--disk", "d.img", "snapshot"}), s[0]);
  EXPECT_EQ((std::vector<std::string>{"stop", "1"}), s[2]);
  auto e = split_commands({"list", "+"});
  ASSERT_EQ(2u, e.size());
  EXPECT_TRUE(e[1].empty());
}

TEST(CliText, SessionTableAndJson) {
  EXPECT_EQ("no snapshot sessions\n", format_session_table({}));
  EXPECT_EQ("[]\n", format_session_json({}));
  SessionRow a{1, "/dev/sda1", "/b/sda1.cow_vek1", "", 1700000000, 12, 65536, 0, 5000, 5, 0};
  SessionRow b{2, "/dev/sda\"2", "/b/x", "FILE IO ERROR", 1700000001, 3, 65536, 0, 7000, 4, 1};
  std::string t = format_session_table({a, b});
  EXPECT_NE(std::string::npos, t.find("vek1"));
  EXPECT_NE(std::string::npos, t.find("error: FILE IO ERROR"));
  EXPECT_EQ(3, std::count(t.begin(), t.end(), '\n'));
  // Any text survives the JSON form, and the time is there both as epoch seconds and as text.
  nlohmann::json j = nlohmann::json::parse(format_session_json({a, b}));
  ASSERT_EQ(2u, j.size());
  EXPECT_EQ(1, j[0]["id"]);
  EXPECT_EQ("/dev/sda\"2", j[1]["device"]);
  EXPECT_EQ(true, j[1]["error"]);
  EXPECT_EQ("FILE IO ERROR", j[1]["error_text"]);
  EXPECT_EQ(1700000000u, j[0]["time"]);
  EXPECT_EQ(format_time(1700000000), j[0]["time_iso"]);
}
