// unit_env.h - hand-built pieces for unit tests of the transfer path: a bare session
// record, a real temporary backing file opened through fget, pages and log searches.
#pragma once

#include "cow.h"

#include <linux/mm.h>
#include <linux/gfp.h>
#include <linux/file.h>

#include <host/host.h>

#include <string>
#include <vector>

namespace vek_test {

// A session record holding only what the transfer path and the worker queues read:
// chunk geometry, error state, the worker table and the in-flight table's lock. It is
// never listed, so no request path can find it.
cow_session *make_bare_session();
void free_bare_session(cow_session *cs);

// A real file in /tmp, unlinked at once; `file` is the driver's view of it.
struct temp_file {
	int fd = -1;
	struct file *file = nullptr;
	temp_file();
	~temp_file();
	std::vector<unsigned char> bytes() const;	// the whole file
	long size() const;
	void fill(unsigned char v, size_t len, off_t at) const;
};

// A page filled with v; tracked so tests can free what they made.
struct page *filled_page(unsigned char v);
// A bio of n whole pages filled with base, base + 1, ..., starting at sector.
struct bio *page_bio(sector_t sector, int n, unsigned char base);
void free_page_bio(struct bio *bio);

int dmesg_count(const std::string &needle);
inline bool dmesg_has(const std::string &needle) { return dmesg_count(needle) > 0; }
std::string error_text(cow_session *cs);

}  // namespace vek_test
