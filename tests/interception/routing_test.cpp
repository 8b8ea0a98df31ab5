// routing_test.cpp - generic_request: nested submissions run at once, resubmission on a
// non-zero handler result, and bios pending in the task handled as their own device would.
#include "icpt_env.h"

#include <cstring>
#include <linux/mm.h>

namespace icpt {
namespace {

struct completion_bio {
	struct bio *bio;
	struct page *page;
	struct completion done;
	int err = 1;
};

void cb_end(struct bio *bio, int err)
{
	auto *c = (completion_bio *)bio->bi_private;
	c->err = err;
	complete(&c->done);
}

completion_bio *make_bio(struct block_device *bdev, sector_t sector, bool write, uint8_t fill)
{
	auto *c = new completion_bio;
	init_completion(&c->done);
	c->page = alloc_page(GFP_KERNEL);
	memset(page_address(c->page), fill, PAGE_SIZE);
	c->bio = bio_alloc(GFP_NOIO, 1);
	c->bio->bi_bdev = bdev;
	c->bio->bi_sector = sector;
	c->bio->bi_rw = write ? 1 : 0;
	bio_add_page(c->bio, c->page, PAGE_SIZE, 0);
	c->bio->bi_private = c;
	c->bio->bi_end_io = cb_end;
	return c;
}

void free_bio(completion_bio *c)
{
	bio_put(c->bio);
	__free_page(c->page);
	delete c;
}

class RoutingTest : public InterceptTest {
protected:
	void SetUp() override
	{
		InterceptTest::SetUp();
		whole = bdget(disk);
		p2 = bdget(part2);
	}
	void TearDown() override
	{
		current->bio_list = nullptr;
		current->bio_tail = nullptr;
		bdput(whole);
		bdput(p2);
		InterceptTest::TearDown();
	}
	struct block_device *whole = nullptr, *p2 = nullptr;
};

struct block_device *nested_target;
long nested_wait_left;

// A handler that reads through the block layer and waits for the read, as copies do.
int nested_reader(struct request_queue *, struct bio *bio)
{
	completion_bio *r = make_bio(nested_target, 0, false, 0);
	generic_make_request(r->bio);
	nested_wait_left = (long)wait_for_completion_timeout(&r->done, 1000 * HZ);
	free_bio(r);
	bio_endio(bio, 0);
	return 0;
}

TEST_F(RoutingTest, NestedSubmissionRunsAtOnce)
{
	completion_bio *b = make_bio(whole, 0, false, 0);
	nested_target = whole;
	// As inside generic_make_request's loop: further submissions would be queued.
	current->bio_list = nullptr;
	current->bio_tail = &current->bio_list;
	EXPECT_EQ(0, generic_request(nested_reader, whole->bd_disk->queue, b->bio));
	EXPECT_GT(nested_wait_left, 0) << "the nested read was deferred behind its submitter";
	EXPECT_EQ(nullptr, current->bio_list);
	wait_for_completion(&b->done);
	free_bio(b);
}

int redirect_calls;
int redirect_once(struct request_queue *, struct bio *)
{
	return ++redirect_calls == 1;	// "remapped, submit again"
}

TEST_F(RoutingTest, NonZeroHandlerResultResubmitsOnce)
{
	completion_bio *b = make_bio(whole, 8, false, 0);
	host::disk_stats before, after;
	host::disk_get_stats(disk, &before);
	redirect_calls = 0;
	EXPECT_EQ(0, generic_request(redirect_once, whole->bd_disk->queue, b->bio));
	wait_for_completion(&b->done);
	host::disk_get_stats(disk, &after);
	EXPECT_EQ(1, redirect_calls);
	EXPECT_EQ(before.read_bios + 1, after.read_bios);
	EXPECT_EQ(0, b->err);
	free_bio(b);
}

std::vector<struct bio *> handled;
int recording_handler(struct request_queue *, struct bio *bio)
{
	handled.push_back(bio);
	bio_endio(bio, 0);
	return 0;
}

// Bios pending in the task have not been remapped from their partition yet; they must
// reach the disk at the partition's sectors, in their order, not as the handler's own.
TEST_F(RoutingTest, PendingBiosAreHandledAsTheirOwnDeviceWould)
{
	write_dev("/dev/sda", 0, std::vector<uint8_t>(4096, 0x11));
	write_dev("/dev/sda", kPart2Start * 512, std::vector<uint8_t>(4096, 0x11));

	completion_bio *b1 = make_bio(whole, 64, false, 0);
	completion_bio *b2 = make_bio(p2, 0, true, 0xA2);
	completion_bio *b3 = make_bio(p2, 0, true, 0xB3);
	current->bio_list = b2->bio;
	b2->bio->bi_next = b3->bio;
	b3->bio->bi_next = nullptr;
	current->bio_tail = &b3->bio->bi_next;
	handled.clear();

	EXPECT_EQ(0, generic_request(recording_handler, whole->bd_disk->queue, b1->bio));
	EXPECT_EQ(nullptr, current->bio_list);
	ASSERT_EQ(1u, handled.size());
	EXPECT_EQ(b1->bio, handled[0]);
	wait_for_completion(&b2->done);
	wait_for_completion(&b3->done);
	EXPECT_EQ(0, b2->err);
	EXPECT_EQ(0, b3->err);

	current->bio_tail = nullptr;
	EXPECT_EQ(std::vector<uint8_t>(4096, 0xB3), read_dev("/dev/sda", kPart2Start * 512, 4096));
	EXPECT_EQ(std::vector<uint8_t>(4096, 0x11), read_dev("/dev/sda", 0, 4096));
	free_bio(b1);
	free_bio(b2);
	free_bio(b3);
}

}  // namespace
}  // namespace icpt
