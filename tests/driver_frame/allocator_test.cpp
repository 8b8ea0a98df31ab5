// The object allocators of the data paths: cache first, the general allocator when the
// cache is missing, never sleeping, one retry.
#include "driver_fixture.h"

#include "cow.h"

using namespace vekfx;

namespace {

class AllocatorTest : public DriverTest {
protected:
	AllocatorTest() { make_disk = false; load_module = false; }

	cow_session *bare_session()
	{
		auto *cs = alloc_cow_session();
		spin_lock_init(&cs->users_lock);
		return cs;
	}
};

}  // namespace

TEST_F(AllocatorTest, TypedAllocatorsUseTheirCachesAndCountFileCopies)
{
	ASSERT_EQ(0, load());
	cow_session *cs = bare_session();

	file_copy *fc = alloc_file_copy(cs);
	ASSERT_NE(nullptr, fc);
	EXPECT_EQ(1, atomic_read(&cs->fc_count));
	EXPECT_EQ(1, host::kmem_cache_objects("qel_fc_cache"));
	struct rb_cache *rb = alloc_rb_cache();
	saved_info *si = alloc_saved_info();
	chunk_list *cl = alloc_chunk_list();
	change_record *rec = alloc_change_record();
	ASSERT_TRUE(rb && si && cl && rec);
	EXPECT_EQ(1, host::kmem_cache_objects("qel_rb_cache"));
	EXPECT_EQ(1, host::kmem_cache_objects("qel_saved_cache"));
	EXPECT_EQ(1, host::kmem_cache_objects("qel_chunk_list_cache"));
	EXPECT_EQ(1, host::kmem_cache_objects("qel_record_cache"));

	put_file_copy(fc, cs);
	EXPECT_EQ(0, atomic_read(&cs->fc_count));
	put_rb_cache(rb);
	put_saved_info(si);
	put_chunk_list(cl);
	put_change_record(rec);
	for (const char *name : {"qel_record_cache", "qel_saved_cache", "qel_chunk_list_cache",
				 "qel_fc_cache", "qel_rb_cache"})
		EXPECT_EQ(0, host::kmem_cache_objects(name)) << name;
	kfree(cs);
}

TEST_F(AllocatorTest, MissingCacheFallsBackToTheGeneralAllocator)
{
	host::fault_fail_if("kmem_cache_create", [](const host::fault_ctx &c) {
		return c.name && std::string(c.name) == "qel_fc_cache";
	}, 1);
	ASSERT_EQ(0, load());
	ASSERT_EQ(nullptr, fc_cache);
	cow_session *cs = bare_session();
	long before = host::kmalloc_in_use();
	unsigned seen_gfp = 0xffff;
	host::fault_fail_if("kmalloc", [&](const host::fault_ctx &c) {
		seen_gfp = c.gfp;
		return false;
	});
	file_copy *fc = alloc_file_copy(cs);
	ASSERT_NE(nullptr, fc);
	EXPECT_EQ((unsigned)GFP_ATOMIC, seen_gfp);
	EXPECT_EQ(before + 1, host::kmalloc_in_use());
	EXPECT_EQ(1, atomic_read(&cs->fc_count));
	put_file_copy(fc, cs);
	EXPECT_EQ(before, host::kmalloc_in_use());
	EXPECT_EQ(0, atomic_read(&cs->fc_count));
	kfree(cs);
}

TEST_F(AllocatorTest, OneFailedAttemptIsRetriedTwoAreNot)
{
	ASSERT_EQ(0, load());
	host::fault_fail_next("kmem_cache_alloc", 1);
	chunk_list *cl = alloc_chunk_list();
	EXPECT_NE(nullptr, cl);
	EXPECT_EQ(1, host::fault_failures("kmem_cache_alloc"));
	put_chunk_list(cl);

	host::fault_fail_next("kmem_cache_alloc", 2);
	cow_session *cs = bare_session();
	EXPECT_EQ(nullptr, alloc_file_copy(cs));
	EXPECT_EQ(0, atomic_read(&cs->fc_count));	// a failed allocation is not counted
	EXPECT_EQ(3, host::fault_failures("kmem_cache_alloc"));

	// Without a cache the same single retry applies to the general allocator.
	host::fault_fail_next("kmalloc", 1);
	void *obj = alloc_common(NULL, 40);
	EXPECT_NE(nullptr, obj);
	free_common(NULL, obj);
	host::fault_fail_next("kmalloc", 2);
	EXPECT_EQ(nullptr, alloc_common(NULL, 40));
	kfree(cs);
}
