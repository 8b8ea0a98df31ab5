// The kernel log: level prefixes, continuation lines, ring size.
#include <gtest/gtest.h>
#include <host/host.h>
#include <linux/kernel.h>
#include <cstring>

namespace {

TEST(Printk, LevelsAreParsedAndStrippedLikeDmesg) {
  host::dmesg_clear();
  EXPECT_EQ(printk(KERN_ERR "%s: ERROR: Could not register char device.\n", "vek"),
            (int)strlen("<3>vek: ERROR: Could not register char device.\n"));
  printk(KERN_INFO "%s: INFO: vek driver loaded: %d.%d.%d %d, NR_CPUS: %d\n", "vek", 4, 6, 0, 27, NR_CPUS);
  printk(KERN_WARNING "%s: INFO: odd\n", "vek");
  printk("no level\n");
  auto lines = host::dmesg();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], "vek: ERROR: Could not register char device.");
  EXPECT_EQ(lines[1], "vek: INFO: vek driver loaded: 4.6.0 27, NR_CPUS: 4096");
  auto recs = host::dmesg_records();
  EXPECT_EQ(recs[0].level, 3);
  EXPECT_EQ(recs[1].level, 6);
  EXPECT_EQ(recs[2].level, 4);
  EXPECT_EQ(recs[3].level, 4);  // the default level
  host::dmesg_clear();
  EXPECT_TRUE(host::dmesg().empty());
}

TEST(Printk, ContinuationsAndEmbeddedNewlines) {
  host::dmesg_clear();
  // The sink sees each line once, when it is complete, with its level.
  std::vector<host::dmesg_record> sunk;
  host::set_dmesg_sink([&](const host::dmesg_record &r) { sunk.push_back(r); });
  printk(KERN_INFO "part one");
  printk(", part two");
  EXPECT_EQ(host::dmesg(), std::vector<std::string>{"part one, part two"});  // partial line visible
  EXPECT_TRUE(sunk.empty());
  printk("\n" KERN_ERR "second\n<6>third\n");
  host::set_dmesg_sink(nullptr);
  ASSERT_EQ(sunk.size(), 3u);
  EXPECT_EQ(sunk[0].text, "part one, part two");
  EXPECT_EQ(sunk[0].level, 6);
  EXPECT_EQ(sunk[1].text, "second");
  EXPECT_EQ(sunk[1].level, 3);
  EXPECT_EQ(sunk[2].text, "third");
  auto recs = host::dmesg_records();
  ASSERT_EQ(recs.size(), 3u);
  EXPECT_EQ(recs[0].text, "part one, part two");
  EXPECT_EQ(recs[0].level, 6);
  EXPECT_EQ(recs[1].text, "second");
  EXPECT_EQ(recs[1].level, 3);
  EXPECT_EQ(recs[2].text, "third");
  EXPECT_EQ(recs[2].level, 6);
  // A "<N>" not at a line start is text.
  printk("a <3> b\n");
  EXPECT_EQ(host::dmesg().back(), "a <3> b");
  EXPECT_EQ(sunk.size(), 3u);  // removed
}

TEST(Printk, LongLinesAndTheRingKeepTheNewest) {
  host::dmesg_clear();
  std::string big(5000, 'x');
  printk(KERN_ERR "%s\n", big.c_str());
  EXPECT_EQ(host::dmesg().back(), big);
  host::dmesg_clear();
  for (int i = 0; i < 65536 + 10; i++) printk("line %d\n", i);
  auto lines = host::dmesg();
  ASSERT_EQ(lines.size(), 65536u);
  EXPECT_EQ(lines.front(), "line 10");
  EXPECT_EQ(lines.back(), "line 65545");
}

}  // namespace
