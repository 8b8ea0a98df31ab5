// chunk_table_test.cpp - chunk arithmetic, the two per-session tables and the in-flight
// reference counting.
#include "cow.h"

#include <gtest/gtest.h>
#include <host/host.h>

namespace {

TEST(ChunkArithmetic, SectorsToChunks)
{
	// 64 KiB chunks of 512-byte sectors: 128 sectors each.
	EXPECT_EQ(0u, get_chunk(9, 0xffff, 16, 0));
	EXPECT_EQ(0u, get_chunk(9, 0xffff, 16, 127));
	EXPECT_EQ(1u, get_chunk(9, 0xffff, 16, 128));
	EXPECT_EQ(1u, get_chunk(9, 0xffff, 16, 255));
	EXPECT_EQ(2u, get_chunk(9, 0xffff, 16, 256));
	// A sector far beyond 32 bits of bytes stays exact in 64-bit arithmetic.
	EXPECT_EQ((1ULL << 33) / 128, get_chunk(9, 0xffff, 16, 1ULL << 33));
}

TEST(ChunkArithmetic, DownToPowerOfTwo)
{
	EXPECT_EQ(0x20000u, down_to_power_of_2(0x20000));
	EXPECT_EQ(64u, down_to_power_of_2(100));
	EXPECT_EQ(0u, down_to_power_of_2(0));
	EXPECT_EQ(1u, down_to_power_of_2(1));
	EXPECT_EQ(0x80000000u, down_to_power_of_2(0xffffffffu));
}

class ChunkTableTest : public ::testing::Test {
protected:
	void SetUp() override
	{
		host::fault_reset();
		kmalloc_before = host::kmalloc_in_use();
		vmalloc_before = host::vmalloc_in_use();
		ASSERT_EQ(0, init_chunk_table(&ct, 131072));
	}
	void TearDown() override
	{
		put_cow_chunk_table(&ct);
		EXPECT_EQ(kmalloc_before, host::kmalloc_in_use());
		EXPECT_EQ(vmalloc_before, host::vmalloc_in_use());
	}
	struct cow_chunk *add(sector_t chunk)
	{
		struct cow_chunk *cc = alloc_cow_chunk();
		cc->old_chunk = chunk;
		add_cow_chunk(&ct, cc);
		return cc;
	}
	struct chunk_table ct = {};
	long kmalloc_before = 0, vmalloc_before = 0;
};

TEST_F(ChunkTableTest, CollidingChunksAreKeptApart)
{
	EXPECT_EQ(131071u, ct.hash_mask);
	EXPECT_EQ(chunk_hash(&ct, 5), chunk_hash(&ct, 131077));
	EXPECT_EQ(6u, chunk_hash(&ct, 6));		// consecutive chunks, consecutive buckets
	struct cow_chunk *a = add(5);
	struct cow_chunk *b = add(131077);
	EXPECT_EQ(a, get_cow_chunk(&ct, 5));		// found behind the later insertion
	EXPECT_EQ(b, get_cow_chunk(&ct, 131077));
	EXPECT_EQ(nullptr, get_cow_chunk(&ct, 262149));	// same bucket, never added
	EXPECT_EQ(-1, a->thread);
	// Only the low 32 bits pick the bucket.
	EXPECT_EQ(chunk_hash(&ct, 7), chunk_hash(&ct, (1ULL << 32) + 7));
}

TEST_F(ChunkTableTest, TeardownFreesEveryRecordOnceAndIsIdempotent)
{
	for (sector_t c = 0; c < 300000; c += 997)
		add(c);
	EXPECT_GT(host::kmalloc_in_use(), kmalloc_before + 300);
	put_cow_chunk_table(&ct);
	EXPECT_EQ(nullptr, ct.table);
	EXPECT_EQ(kmalloc_before, host::kmalloc_in_use());
	put_cow_chunk_table(&ct);			// a second call does nothing
	EXPECT_EQ(nullptr, get_cow_chunk(&ct, 0));	// lookups in a torn-down table
	put_cow_chunk_table(nullptr);
}

TEST(ChunkTableAlloc, FailedBucketArrayReportsENOMEM)
{
	struct chunk_table t = {};
	host::fault_fail_next("vmalloc");
	EXPECT_EQ(-12, init_chunk_table(&t, 1024));
	EXPECT_EQ(nullptr, t.table);
	EXPECT_EQ(1023u, t.hash_mask);
	put_cow_if_table(&t);				// nothing to tear down
	host::fault_reset();
}

TEST(InFlightChunk, NewRecordIsBornLocked)
{
	struct if_chunk *ic = alloc_if_chunk(42);
	ASSERT_NE(nullptr, ic);
	EXPECT_EQ(42u, ic->chunk);
	EXPECT_EQ(0, atomic_read(&ic->count));
	EXPECT_EQ(-1, ic->created);
	EXPECT_EQ(0, ic->anon);
	EXPECT_TRUE(list_empty(&ic->fc_list_head));
	EXPECT_NE(0, down_trylock(&ic->real_lock));	// held by its creator
	EXPECT_NE(0, down_trylock(&ic->virt_lock));
	up(&ic->real_lock);
	EXPECT_EQ(0, down_trylock(&ic->real_lock));
	free_if_chunk(ic);
}

TEST(InFlightChunk, AnonymousRecordIsFreeAndNeverInTheTable)
{
	struct cow_session cs = {};
	struct cow_chunk cc = {};
	cc.old_chunk = 9;
	spin_lock_init(&cs.if_lock);
	ASSERT_EQ(0, init_chunk_table(&cs.if_table, 16));
	long before = host::kmalloc_in_use();

	struct if_chunk *anon = alloc_anon_if_chunk(&cc);
	ASSERT_NE(nullptr, anon);
	EXPECT_EQ(1, atomic_read(&anon->count));
	EXPECT_EQ(1, anon->anon);
	EXPECT_EQ(&cc, anon->cc);
	EXPECT_EQ(0, down_trylock(&anon->real_lock));
	EXPECT_EQ(0, down_trylock(&anon->virt_lock));
	EXPECT_EQ(nullptr, get_and_inc_if(&cs, 9));
	put_and_dec_if(&cs, anon);			// freed without an unlink
	EXPECT_EQ(before, host::kmalloc_in_use());
	put_cow_if_table(&cs.if_table);
}

TEST(InFlightChunk, LastReferenceUnlinksAndFrees)
{
	struct cow_session cs = {};
	spin_lock_init(&cs.if_lock);
	ASSERT_EQ(0, init_chunk_table(&cs.if_table, 131072));
	long before = host::kmalloc_in_use();

	struct if_chunk *ic = alloc_if_chunk(131072 + 3);
	struct if_chunk *other = alloc_if_chunk(3);	// same bucket
	add_and_inc_if(&cs, other);
	add_and_inc_if(&cs, ic);
	EXPECT_EQ(1, atomic_read(&ic->count));
	EXPECT_EQ(ic, get_and_inc_if(&cs, 131072 + 3));
	EXPECT_EQ(2, atomic_read(&ic->count));
	put_and_dec_if(&cs, ic);
	EXPECT_EQ(ic, get_and_inc_if(&cs, 131072 + 3));	// still published
	put_and_dec_if(&cs, ic);
	put_and_dec_if(&cs, ic);			// the last one
	EXPECT_EQ(nullptr, get_and_inc_if(&cs, 131072 + 3));
	EXPECT_EQ(other, get_and_inc_if(&cs, 3));	// its neighbour is untouched
	put_and_dec_if(&cs, other);
	put_and_dec_if(&cs, other);
	EXPECT_EQ(nullptr, get_and_inc_if(&cs, 3));
	EXPECT_EQ(before, host::kmalloc_in_use());
	put_cow_if_table(&cs.if_table);
}

TEST(InFlightChunk, TeardownFreesRecordsRegardlessOfCount)
{
	struct cow_session cs = {};
	spin_lock_init(&cs.if_lock);
	long before = host::kmalloc_in_use();
	ASSERT_EQ(0, init_chunk_table(&cs.if_table, 64));
	for (int i = 0; i < 10; i++) {
		struct if_chunk *ic = alloc_if_chunk((sector_t)i * 64);	// all in bucket 0
		add_and_inc_if(&cs, ic);
		atomic_inc(&ic->count);
	}
	put_cow_if_table(&cs.if_table);
	EXPECT_EQ(before, host::kmalloc_in_use());
}

}  // namespace
