// changes_env.cpp - see changes_env.h.
#include "changes_env.h"

namespace vekct {

fetch_v2 get_v2(int fd, int size)
{
	fetch_v2 out;
	out.recs.assign(size > 0 ? size : 0, change_record_usr_v2{~0ull, ~0ull, ~0ull, ~0ull});
	change_recrod_request_v2 crr;
	memset(&crr, 0, sizeof(crr));
	crr.size = size;
	crr.tracking = -7;
	crr.inqueue = -7;
	crr.cru = out.recs.data();
	out.rc = host::ioctl(fd, VEK_IOCTL_GET_CHANGED_RECORDS_V2, &crr);
	out.tracking = crr.tracking;
	out.inqueue = crr.inqueue;
	EXPECT_EQ(size, crr.size) << "size must come back as sent";
	EXPECT_EQ(out.recs.data(), crr.cru) << "cru must come back as sent";
	return out;
}

fetch_v1 get_v1(int fd, int size)
{
	fetch_v1 out;
	out.recs.assign(size > 0 ? size : 0, change_record_usr{0xffff, 0xffff, ~0ull, ~0ull});
	change_recrod_request crr;
	memset(&crr, 0, sizeof(crr));
	crr.size = size;
	crr.tracking = -7;
	crr.inqueue = -7;
	crr.cru = out.recs.data();
	out.rc = host::ioctl(fd, VEK_IOCTL_GET_CHANGED_RECORDS, &crr);
	out.tracking = crr.tracking;
	out.inqueue = crr.inqueue;
	return out;
}

int unblock(int fd)
{
	int32_t unused = 0;
	return host::ioctl(fd, VEK_IOCTL_UNBLOCK_CHANGE_RECORDS, &unused);
}

bool eventually(const std::function<bool()> &pred, int ms)
{
	auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
	while (std::chrono::steady_clock::now() < end) {
		if (pred())
			return true;
		std::this_thread::sleep_for(std::chrono::milliseconds(2));
	}
	return pred();
}

fake_bio::fake_bio(int major, int first_minor, sector_t sector, unsigned size)
{
	memset((void *)&disk, 0, sizeof(disk));
	memset((void *)&bdev, 0, sizeof(bdev));
	memset((void *)&bio, 0, sizeof(bio));
	disk.major = major;
	disk.first_minor = first_minor;
	bdev.bd_disk = &disk;
	bio.bi_bdev = &bdev;
	bio.bi_sector = sector;
	bio.bi_size = size;
	bio.bi_rw = 1;
}

struct ct_session *hand_cts::make(dev_t dev, int major, int first_minor, sector_t start,
				  sector_t nr)
{
	struct ct_session *cts = alloc_cts_session();
	EXPECT_NE(nullptr, cts);
	cts->dev = dev;
	cts->major = major;
	cts->first_minor = first_minor;
	cts->start_sect = start;
	cts->nr_sects = nr;
	made_.push_back(cts);
	return cts;
}

struct ct_session *hand_cts::make_listed(dev_t dev, int major, int first_minor,
					 sector_t start, sector_t nr)
{
	struct ct_session *cts = make(dev, major, first_minor, start, nr);
	down(&workLock);
	start_cts(cts);
	up(&workLock);
	return cts;
}

void hand_cts::drop_all()
{
	if (made_.empty())
		return;
	shutdown_flush_changed_recores();
	atomic_set(&record_list_unblock, 0);
	down(&workLock);
	down(&session_list_lock);
	for (struct ct_session *cts : made_) {
		if (atomic_read(&cts->started))
			list_del(&cts->list);
	}
	up(&session_list_lock);
	up(&workLock);
	for (struct ct_session *cts : made_)
		kfree(cts);
	made_.clear();
}

int listed_cts_count()
{
	int n = 0;
	struct list_head *p;

	down(&session_list_lock);
	list_for_each(p, &ct_list_head)
		n++;
	up(&session_list_lock);
	return n;
}

}  // namespace vekct
