// Copies between snapshot bios and the pages of an in-flight chunk, and the simple page
// cache that serves other processes once a session has failed. Driven directly on
// hand-built bios, file copies and caches.
#include <gtest/gtest.h>
#include <host/host.h>

#include "cow.h"
#include <linux/mm.h>
#include <linux/gfp.h>

#include <cstring>
#include <memory>
#include <vector>

namespace {

struct page *filled_page(uint8_t seed)
{
	struct page *p = alloc_page(GFP_KERNEL);
	uint8_t *a = (uint8_t *)page_address(p);
	for (int i = 0; i < 4096; i++)
		a[i] = (uint8_t)(seed + i * 13 + (i >> 8));
	return p;
}

uint8_t *addr(struct page *p) { return (uint8_t *)page_address(p); }

// A bio over the given (page, length, offset) segments at a snapshot-device sector.
struct bio *make_bio(sector_t sector, std::vector<std::tuple<struct page *, unsigned, unsigned>> segs,
		     bool write = false)
{
	struct bio *bio = bio_alloc(GFP_KERNEL, (int)segs.size());
	for (auto &[p, len, off] : segs) {
		struct bio_vec *bv = &bio->bi_io_vec[bio->bi_vcnt++];
		bv->bv_page = p;
		bv->bv_len = len;
		bv->bv_offset = off;
		bio->bi_size += len;
	}
	bio->bi_sector = sector;
	if (write)
		bio->bi_rw |= 1UL << BIO_RW;
	return bio;
}

// An in-flight chunk whose copy pages are n whole pages per file copy, the file copies
// starting at the given device byte positions.
struct fake_chunk {
	struct if_chunk ic {};
	std::vector<std::unique_ptr<struct file_copy>> fcs;
	std::vector<struct page *> pages;

	fake_chunk(std::vector<loff_t> starts, int pages_each)
	{
		INIT_LIST_HEAD(&ic.fc_list_head);
		uint8_t seed = 1;
		for (loff_t s : starts) {
			auto fc = std::make_unique<struct file_copy>();
			std::vector<std::tuple<struct page *, unsigned, unsigned>> segs;
			for (int i = 0; i < pages_each; i++) {
				pages.push_back(filled_page(seed++));
				segs.emplace_back(pages.back(), 4096u, 0u);
			}
			fc->bio = make_bio((sector_t)(s >> 9), segs);
			fc->disk_start = s;
			list_add_tail(&fc->fc_list, &ic.fc_list_head);
			fcs.push_back(std::move(fc));
		}
	}
	~fake_chunk()
	{
		for (auto &fc : fcs)
			bio_put(fc->bio);
		for (auto *p : pages)
			__free_page(p);
	}
	// Byte at device position pos, as the chunk's pages hold it.
	uint8_t at(loff_t pos)
	{
		for (auto &fc : fcs) {
			loff_t rel = pos - fc->disk_start;
			if (rel >= 0 && rel < (loff_t)fc->bio->bi_vcnt * 4096)
				return addr(fc->bio->bi_io_vec[rel / 4096].bv_page)[rel % 4096];
		}
		ADD_FAILURE() << "position " << pos << " not in chunk";
		return 0;
	}
};

struct cow_session geometry()
{
	struct cow_session cs {};
	cs.chunk_size = 65536;
	cs.chunk_mask = 65535;
	cs.chunk_shift = 16;
	cs.sector_shift = 9;
	return cs;
}

TEST(BvecToIfBvec, CopiesOnlyTheOverlapInEitherDirection)
{
	struct page *bp = filled_page(100), *ip = filled_page(200);
	std::vector<uint8_t> bio0(addr(bp), addr(bp) + 4096), if0(addr(ip), addr(ip) + 4096);

	// The bio segment starts first: its first 1048 bytes lie before the chunk segment.
	struct bio_vec bv = {bp, 3000, 100}, iv = {ip, 4096, 0};
	EXPECT_EQ(1952u, bvec_to_if_bvec(&bv, 1000, &iv, 2048, 1));
	EXPECT_EQ(0, memcmp(addr(ip), bio0.data() + 100 + 1048, 1952));
	EXPECT_EQ(0, memcmp(addr(ip) + 1952, if0.data() + 1952, 4096 - 1952));
	EXPECT_EQ(0, memcmp(addr(bp), bio0.data(), 4096));	// the source side is untouched

	// The chunk segment starts first: 904 of its bytes are passed over.
	memcpy(addr(ip), if0.data(), 4096);
	struct bio_vec bv2 = {bp, 4096, 0}, iv2 = {ip, 4096, 0};
	EXPECT_EQ(3192u, bvec_to_if_bvec(&bv2, 5000, &iv2, 4096, 0));
	EXPECT_EQ(0, memcmp(addr(bp), if0.data() + 904, 3192));
	EXPECT_EQ(0, memcmp(addr(bp) + 3192, bio0.data() + 3192, 4096 - 3192));

	// A chunk segment with an offset in its page.
	memcpy(addr(bp), bio0.data(), 4096);
	struct bio_vec bv3 = {bp, 512, 0}, iv3 = {ip, 2048, 1024};
	EXPECT_EQ(512u, bvec_to_if_bvec(&bv3, 8192 + 512, &iv3, 8192, 1));
	EXPECT_EQ(0, memcmp(addr(ip) + 1024 + 512, bio0.data(), 512));
	EXPECT_EQ(0, memcmp(addr(ip) + 1024, if0.data() + 1024, 512));
	__free_page(bp);
	__free_page(ip);
}

TEST(IoOnIfChunk, ReadsAcrossFileCopiesFromTheFirstSegment)
{
	struct cow_session cs = geometry();
	// Chunk 1 (bytes 65536..131071) copied as two bios of 8 pages.
	fake_chunk ch({65536, 65536 + 32768}, 8);
	struct page *dst = alloc_page(GFP_KERNEL), *dst2 = alloc_page(GFP_KERNEL);
	memset(addr(dst), 0xEE, 4096);
	memset(addr(dst2), 0xEE, 4096);

	// 4096 bytes that straddle the two file copies: 2768 from the first, 1328 from the second.
	const loff_t pos = 65536 + 30000;
	struct bio_vec seg = {dst, 4096, 0};
	EXPECT_EQ(4096u, bvec_to_if_chunk(&cs, &ch.ic, &seg, pos, 0));
	for (int i = 0; i < 4096; i += 97)
		ASSERT_EQ(ch.at(pos + i), addr(dst)[i]) << i;

	// A two-segment bio whose current index is 1 is still copied from segment 0.
	struct bio *bio = make_bio((65536 + 4096) >> 9, {{dst, 1024, 512}, {dst2, 2048, 0}});
	bio->bi_idx = 1;
	EXPECT_EQ(3072u, io_on_if_chunk(&cs, &ch.ic, nullptr, bio, 0));
	for (int i = 0; i < 1024; i++)
		ASSERT_EQ(ch.at(65536 + 4096 + i), addr(dst)[512 + i]);
	for (int i = 0; i < 2048; i++)
		ASSERT_EQ(ch.at(65536 + 4096 + 1024 + i), addr(dst2)[i]);
	EXPECT_EQ(0xEE, addr(dst2)[2048]);
	bio_put(bio);
	__free_page(dst);
	__free_page(dst2);
}

TEST(IoOnIfChunk, WritesMergeIntoThePagesAndStopAtTheirEnd)
{
	struct cow_session cs = geometry();
	fake_chunk ch({0}, 16);	// chunk 0, one bio of 16 pages
	struct page *src = filled_page(77);

	// A write of the last 2048 bytes of the chunk, at sector 124.
	struct bio *bio = make_bio(124, {{src, 2048, 0}}, true);
	EXPECT_EQ(2048u, io_on_if_chunk(&cs, &ch.ic, nullptr, bio, 1));
	for (int i = 0; i < 2048; i++)
		ASSERT_EQ(addr(src)[i], ch.at(63488 + i));
	bio_put(bio);

	// A segment that runs past the chunk's pages copies only what lies inside them.
	fake_chunk half({0}, 4);	// only the first 16 KiB are in memory
	struct bio *over = make_bio(24, {{src, 4096, 0}}, true);	// bytes 12288..16383 inside
	EXPECT_EQ(4096u, io_on_if_chunk(&cs, &half.ic, nullptr, over, 1));
	bio_put(over);
	struct bio *beyond = make_bio(30, {{src, 4096, 0}}, true);	// 15360..19455: 1024 inside
	EXPECT_EQ(1024u, io_on_if_chunk(&cs, &half.ic, nullptr, beyond, 1));
	EXPECT_EQ(addr(src)[0], half.at(15360));
	bio_put(beyond);

	// Nothing in flight to copy into: nothing copied.
	struct if_chunk empty {};
	INIT_LIST_HEAD(&empty.fc_list_head);
	struct bio *none = make_bio(0, {{src, 4096, 0}}, true);
	EXPECT_EQ(0u, io_on_if_chunk(&cs, &empty, nullptr, none, 1));
	bio_put(none);
	__free_page(src);
}

// ---- simple page cache ----

class SimpleCache : public ::testing::Test {
protected:
	void SetUp() override
	{
		spc.size = 0;
		INIT_LIST_HEAD(&spc.list);
		spin_lock_init(&spc.lock);
		cs = geometry();
		cs.spc = &spc;
		buf = alloc_page(GFP_KERNEL);
	}
	void TearDown() override
	{
		struct simple_cached_page *e, *n;
		list_for_each_entry_safe(e, n, &spc.list, list) {
			list_del(&e->list);
			__free_page(e->page);
			kfree(e);
		}
		__free_page(buf);
	}
	// One-segment IO of len bytes at sector s through the cache; data in/out via buf.
	int io(sector_t s, int rw, unsigned len = 4096, unsigned off = 0)
	{
		struct bio *bio = make_bio(s, {{buf, len, off}}, rw != 0);
		int served = cached_io(&cs, bio, rw);
		bio_put(bio);
		return served;
	}
	void fill(uint8_t v) { memset(addr(buf), v, 4096); }

	struct simple_page_cache spc {};
	struct cow_session cs {};
	struct page *buf = nullptr;
};

TEST_F(SimpleCache, AWriteIsReadBackAtItsSectorOnly)
{
	fill(0x5A);
	EXPECT_EQ(1, io(10, 1));
	EXPECT_EQ(1, spc.size);
	fill(0);
	EXPECT_EQ(1, io(10, 0));
	for (int i = 0; i < 4096; i++)
		ASSERT_EQ(0x5A, addr(buf)[i]);
	// A read anywhere else is not served, even inside the cached page's range.
	EXPECT_EQ(0, io(11, 0));
	EXPECT_EQ(0, io(18, 0));
	// The latest write at a sector wins; it reuses the entry.
	fill(0x11);
	EXPECT_EQ(1, io(10, 1));
	EXPECT_EQ(1, spc.size);
	fill(0);
	EXPECT_EQ(1, io(10, 0));
	EXPECT_EQ(0x11, addr(buf)[4095]);
}

TEST_F(SimpleCache, BytesNoWriteFilledReadAsZeros)
{
	fill(0x77);
	EXPECT_EQ(1, io(20, 1, 512));
	fill(0xFF);
	EXPECT_EQ(1, io(20, 0, 4096));
	for (int i = 0; i < 512; i++)
		ASSERT_EQ(0x77, addr(buf)[i]);
	for (int i = 512; i < 4096; i++)
		ASSERT_EQ(0, addr(buf)[i]) << i;
	// A read shorter than the cached data gets its own length, into its segment's offset.
	fill(0xFF);
	EXPECT_EQ(1, io(20, 0, 1024, 2048));
	EXPECT_EQ(0xFF, addr(buf)[2047]);
	EXPECT_EQ(0x77, addr(buf)[2048]);
	EXPECT_EQ(0, addr(buf)[2048 + 512]);
	EXPECT_EQ(0xFF, addr(buf)[3072]);
}

TEST_F(SimpleCache, OnlySinglePageBiosAreServed)
{
	struct page *other = alloc_page(GFP_KERNEL);
	struct bio *two = make_bio(0, {{buf, 2048, 0}, {other, 2048, 0}}, true);
	EXPECT_EQ(0, cached_io(&cs, two, 1));
	bio_put(two);
	struct bio *big = make_bio(0, {{buf, 4096 + 512, 0}}, true);
	EXPECT_EQ(0, cached_io(&cs, big, 1));
	bio_put(big);
	struct bio *nopage = make_bio(0, {{nullptr, 512, 0}}, true);
	EXPECT_EQ(0, cached_io(&cs, nopage, 1));
	bio_put(nopage);
	EXPECT_EQ(0, spc.size);
	EXPECT_TRUE(list_empty(&spc.list));
	__free_page(other);
}

TEST_F(SimpleCache, AFullCacheGivesTheLeastRecentlyUsedEntryToANewSector)
{
	const long pages_before = host::pages_in_use();
	for (int i = 0; i < VEK_SPC_MAX; i++) {
		fill((uint8_t)i);
		ASSERT_EQ(1, io((sector_t)i * 8, 1));
	}
	EXPECT_EQ(VEK_SPC_MAX, spc.size);
	EXPECT_EQ(pages_before + VEK_SPC_MAX, host::pages_in_use());
	// Touch sector 0 so that sector 8 is now the least recently used.
	EXPECT_EQ(1, io(0, 0));
	// A read of an uncached sector is not served even when the cache is full.
	EXPECT_EQ(0, io(999999, 0));
	fill(0xAB);
	EXPECT_EQ(1, io(999999, 1, 1024));
	EXPECT_EQ(VEK_SPC_MAX, spc.size);
	EXPECT_EQ(pages_before + VEK_SPC_MAX, host::pages_in_use());
	EXPECT_EQ(0, io(8, 0));	// evicted
	EXPECT_EQ(1, io(0, 0));	// kept
	EXPECT_EQ(1, io(16, 0));
	// The page taken over keeps nothing of the sector it served before.
	fill(0xFF);
	EXPECT_EQ(1, io(999999, 0));
	EXPECT_EQ(0xAB, addr(buf)[1023]);
	EXPECT_EQ(0, addr(buf)[1024]);
	EXPECT_EQ(0, addr(buf)[4095]);
	// The most recent entry is at the front.
	EXPECT_EQ(999999u, list_first_entry(&spc.list, struct simple_cached_page, list)->sector);
}

TEST_F(SimpleCache, AnAllocationFailureLeavesTheWriteUnserved)
{
	auto entry = [](const host::fault_ctx &c) { return c.size == sizeof(struct simple_cached_page); };
	host::fault_fail_if("kmalloc", entry, 2);
	fill(1);
	EXPECT_EQ(0, io(40, 1));
	EXPECT_EQ(2, host::fault_failures("kmalloc"));
	host::fault_fail_if("alloc_page", [](const host::fault_ctx &) { return true; }, 2);
	EXPECT_EQ(0, io(40, 1));
	EXPECT_EQ(2, host::fault_failures("alloc_page"));
	host::fault_reset();
	EXPECT_EQ(0, spc.size);
	EXPECT_EQ(0, io(40, 0));
	// One failed attempt is retried.
	host::fault_fail_if("kmalloc", entry, 1);
	EXPECT_EQ(1, io(40, 1));
	EXPECT_EQ(1, spc.size);
	host::fault_reset();
}

}  // namespace
