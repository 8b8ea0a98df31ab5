// changes_env.h - helpers of the change-tracking tests: fetches through the control device
// in both formats, hand-made change-tracking sessions and bios for the record queue.
#pragma once

#include "driver_fixture.h"

#include <chrono>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

#include "cow.h"

namespace vekct {

struct fetch_v2 {
	int rc = -99;
	int tracking = -7;
	int inqueue = -7;
	std::vector<change_record_usr_v2> recs;
};

struct fetch_v1 {
	int rc = -99;
	int tracking = -7;
	int inqueue = -7;
	std::vector<change_record_usr> recs;
};

// GetChangedRecordsV2 / GetChangedRecords with an array of `size` entries (poisoned first,
// so the driver's zeroing of the undelivered tail is visible).
fetch_v2 get_v2(int fd, int size);
fetch_v1 get_v1(int fd, int size);
int unblock(int fd);

// Polls until pred() holds or `ms` of real time passed.
bool eventually(const std::function<bool()> &pred, int ms = 5000);

// A whole-disk bio as the interception sees it, or a snapshot-device bio.
struct fake_bio {
	struct gendisk disk;
	struct block_device bdev;
	struct bio bio;
	fake_bio(int major, int first_minor, sector_t sector, unsigned size);
};

// Change-tracking sessions made and listed by a test. Their smrf is null, so they must
// leave the list before the module is unloaded: drop_all() does that (after draining the
// queue, whose records point at them).
class hand_cts {
public:
	~hand_cts() { drop_all(); }
	struct ct_session *make(dev_t dev, int major, int first_minor, sector_t start,
				sector_t nr);
	struct ct_session *make_listed(dev_t dev, int major, int first_minor, sector_t start,
				       sector_t nr);
	void drop_all();

private:
	std::vector<struct ct_session *> made_;
};

int listed_cts_count();

}  // namespace vekct
