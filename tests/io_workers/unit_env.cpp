// unit_env.cpp - see unit_env.h.
#include "unit_env.h"

#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace vek_test {

cow_session *make_bare_session()
{
	cow_session *cs = (cow_session *)kzalloc(sizeof(*cs), GFP_KERNEL);
	io_thread_info *ti = (io_thread_info *)kzalloc(sizeof(*ti), GFP_KERNEL);

	cs->chunk_size = 65536;
	cs->chunk_mask = 65535;
	cs->chunk_shift = 16;
	cs->sector_shift = 9;
	cs->clone_id = 7;
	cs->errorMsg = (char *)kzalloc(VEK_ERROR_MSG_LEN, GFP_KERNEL);
	spin_lock_init(&cs->chunk_lock);
	spin_lock_init(&cs->if_lock);
	spin_lock_init(&cs->pos_lock);
	spin_lock_init(&cs->users_lock);
	spin_lock_init(&cs->write_list_lock);
	INIT_LIST_HEAD(&cs->list);
	spin_lock_init(&ti->io_threads_lock);
	init_completion(&ti->io_thread_done);
	if (!new_io_threads(ti))
		abort();
	cs->thread_info = ti;
	return cs;
}

void free_bare_session(cow_session *cs)
{
	free_io_threads(cs->thread_info);
	kfree(cs->thread_info);
	kfree(cs->errorMsg);
	kfree(cs);
}

temp_file::temp_file()
{
	char path[] = "/tmp/vek_backing_XXXXXX";
	fd = mkstemp(path);
	if (fd < 0)
		abort();
	unlink(path);
	file = fget(fd);
}

temp_file::~temp_file()
{
	if (file)
		fput(file);
	::close(fd);
}

long temp_file::size() const
{
	struct stat st;
	fstat(fd, &st);
	return (long)st.st_size;
}

std::vector<unsigned char> temp_file::bytes() const
{
	std::vector<unsigned char> v((size_t)size());
	if (!v.empty() && ::pread(fd, v.data(), v.size(), 0) != (ssize_t)v.size())
		abort();
	return v;
}

void temp_file::fill(unsigned char v, size_t len, off_t at) const
{
	std::vector<unsigned char> b(len, v);
	if (::pwrite(fd, b.data(), len, at) != (ssize_t)len)
		abort();
}

struct page *filled_page(unsigned char v)
{
	struct page *p = alloc_page(GFP_KERNEL);
	memset(page_address(p), v, PAGE_SIZE);
	return p;
}

struct bio *page_bio(sector_t sector, int n, unsigned char base)
{
	struct bio *bio = bio_alloc(GFP_KERNEL, n);
	bio->bi_sector = sector;
	for (int i = 0; i < n; i++) {
		struct page *p = filled_page((unsigned char)(base + i));
		if (bio_add_page(bio, p, PAGE_SIZE, 0) != (int)PAGE_SIZE)
			abort();
	}
	return bio;
}

void free_page_bio(struct bio *bio)
{
	for (int i = 0; i < bio->bi_vcnt; i++)
		__free_page(bio->bi_io_vec[i].bv_page);
	bio_put(bio);
}

int dmesg_count(const std::string &needle)
{
	int n = 0;
	for (const std::string &line : host::dmesg())
		if (line.find(needle) != std::string::npos)
			n++;
	return n;
}

std::string error_text(cow_session *cs)
{
	return std::string(cs->errorMsg);
}

}  // namespace vek_test
