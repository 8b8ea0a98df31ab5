// Contract between the two halves of the machine's disks: disk.cpp (the disk itself, its
// in-order service, the host calls) and disk_reorder.cpp (the reordering service).
#pragma once
#include <linux/bio.h>
#include <linux/blkdev.h>
#include <linux/genhd.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <sys/uio.h>

#include <host/host_block.h>

namespace kplat {

// Copies the second half of a large read of an image disk (disk_image_read.cpp).
struct image_reader {
  std::mutex mu;
  std::condition_variable cv;
  bool busy = false;              // mu: a caller has posted a job and not yet taken its result
  bool stop = false;              // mu
  struct iovec *iov = nullptr;    // mu: the job, until the thread takes it
  int iovcnt = 0;                 // mu
  uint64_t pos = 0;               // mu
  bool done = false;              // mu: the job's result is in err
  int err = 0;                    // mu
  std::thread thread;
};

// Reads the image's cache ahead of a sequential reader, into a scratch buffer it throws away
// (disk_image_read.cpp).
struct image_warmer {
  std::mutex mu;
  std::condition_variable cv;
  bool stop = false;      // mu
  bool idle = true;       // mu: waiting for work
  uint64_t next = UINT64_MAX;  // mu: where the last read ended; a read from here is sequential
  uint64_t warmed = 0;    // mu: the pages up to here were read ahead
  uint64_t target = 0;    // mu: and should be, up to here
  uint64_t end = 0;       // the disk's end in bytes (its image may go on); fixed
  std::thread thread;
};

struct disk_rule {
  int id;
  host::disk_fault kind;
  sector_t first, end;  // whole-disk sectors, [first, end)
  long remaining;       // -1: unlimited
  unsigned delay_ms;
};

// A bio in service on a reordering disk, in the timer heap until it is due.
struct reorder_slot {
  uint64_t due_ns;    // platform time its latency runs out
  uint64_t tiebreak;  // random: bios due together complete in no fixed order
  uint64_t seq;       // submission order
  struct bio *bio;
  int err;            // injected by a fault rule
  bool barrier;
};

// Bios that overlap one of these regions take its stripe lock while their data moves, so
// that concurrent completions move overlapping ranges one at a time.
constexpr unsigned kStripeShift = 7;  // 64 KiB regions
constexpr unsigned kStripes = 64;

struct host_disk {
  std::string name;
  int slot = -1;
  sector_t nr_sects = 0;
  int fd = -1;                      // image file, or -1 for a RAM disk
  std::string image;                // its path, for the log
  bool read_only = false;           // the image is open for reading only
  bool direct = false;              // fd is O_DIRECT (disk_spec::direct)
  size_t dio_mem_align = 512;       // the memory alignment its direct transfers need
  // Host errno last logged; 0 after a good write. Disk thread; on a reordering disk the
  // completion threads race on it, which at worst logs a run of failures twice.
  std::atomic<int> logged_write_error{0};
  std::atomic<uint64_t> image_transfers{0};  // system calls on the image (disk_stats)
  std::unique_ptr<image_reader> reader;      // copies half of a large read
  std::atomic<uint64_t> split_reads{0};      // reads copied in two halves (disk_stats)
  std::unique_ptr<image_warmer> warmer;      // reads ahead of sequential reads
  std::atomic<uint64_t> read_ahead{0};       // bytes it read (disk_stats)
  std::atomic<size_t> held{0};  // bios held in submitting threads (disk.cpp: defer_bio)
  unsigned char *ram = nullptr;
  size_t ram_bytes = 0;
  struct gendisk *disk = nullptr;
  struct request_queue *q = nullptr;
  std::thread worker;                  // in-order service
  host::disk_reorder reorder;          // fixed at add_disk
  std::vector<std::thread> completers;  // reordering service

  // Submitter and disk threads meet on it for every bio, for a few instructions: taken
  // with spin_acquire on those paths.
  std::mutex lock;
  std::condition_variable cv;
  std::deque<struct bio *> pending;  // lock
  bool stopping = false;             // lock
  bool serving = false;              // lock: bios in service, by the disk thread or a submitter
  std::vector<disk_rule> rules;      // lock
  std::atomic<size_t> nr_rules{0};   // rules.size(), written under lock, read without
  int next_rule_id = 1;              // lock
  host::disk_stats stats{};          // lock

  // Reordering service, all under lock.
  std::vector<reorder_slot> timers;  // min-heap on (due_ns, tiebreak)
  unsigned in_service = 0;           // in timers or being completed
  bool barrier_in_service = false;   // nothing enters service meanwhile
  uint64_t next_seq = 0, last_done_seq = 0;
  bool any_done = false;
  std::mt19937_64 rng;

  std::array<std::mutex, kStripes> stripes;
};

// Drops the first n bytes of a vector of segments.
void iov_advance(struct iovec *&iov, int &iovcnt, size_t n);
// Moves a whole vector of segments to or from the image file at pos. A failure gives the
// host's errno.
int file_transfer(int fd, bool write, struct iovec *iov, int iovcnt, uint64_t pos);

// An image disk's reads (disk_image_read.cpp).
// Its threads: 0, or EAGAIN. read_ahead: whether sequential reads may be read ahead of.
int start_reader(host_disk *hd, bool read_ahead);
void stop_reader(host_disk *hd);     // joins them
bool read_ahead_busy(host_disk *hd);  // reading ahead, or with reading ahead left to do
// Reads the image at pos into the segments, using them up: the host's errno, or 0.
int image_read(host_disk *hd, struct iovec *iov, int iovcnt, uint64_t pos);

// Reads or writes the bio's data at its sector; 0 or the bio's error. A disk thread.
int transfer(host_disk *hd, struct bio *bio);
// Applies the fault rules that match the bio; returns the injected error (0 when none)
// and adds the delay to serve it with to *delay_ms. hd->lock held.
int __match_rules(host_disk *hd, struct bio *bio, unsigned *delay_ms);
// Counts a served bio in the disk's statistics. hd->lock held.
void __count_bio(host_disk *hd, struct bio *bio, int err);
// Leaves a completed bio as this kernel's request-based drivers do.
void consume_bio(struct bio *bio);

// The reordering service (disk_reorder.cpp).
int reorder_check(const host::disk_reorder &r);  // 0 or EINVAL
void reorder_start(host_disk *hd);               // starts the completion threads
// Puts what the depth and barriers allow of the pending bios into service. hd->lock held.
void __reorder_admit(host_disk *hd);
void reorder_stop(host_disk *hd);  // hd->stopping set: serves the rest, joins the threads

}  // namespace kplat
