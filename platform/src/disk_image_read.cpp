// An image disk's reads: the large ones split between the caller and the disk's reader thread,
// and the reading ahead of sequential ones.
#include <algorithm>
#include <string>
#include <system_error>
#include <vector>

#include <fcntl.h>
#include <pthread.h>
#include <sys/uio.h>

#include <host/fault.h>

#include "disk_internal.h"
#include "internal.h"

namespace kplat {

// ---- a large read copied by two threads ----
// A kernel disk puts a read's data into the bio's pages without the CPU. Here the image's page
// cache copies it, and a sequential writer under a snapshot waits for that copy of every chunk
// it preserves before its write may go on. So a large read of pages still coming from the
// host's disk is split in two: the disk's reader thread copies the second half while the caller
// copies the first, and the copy, with its wait for the disk, takes half as long where a CPU is
// free. (Reading such ranges with O_DIRECT instead saved the copy but lost more to the
// read-ahead it gives up: a third of the writer's speed, measured.)
constexpr size_t kSplitReadMin = 512 << 10;

namespace {

void reader_main(host_disk *hd, image_reader *rd) {
  std::string tname = (hd->name + "-rd").substr(0, 15);
  pthread_setname_np(pthread_self(), tname.c_str());
  std::unique_lock<std::mutex> g(rd->mu);
  for (;;) {
    rd->cv.wait(g, [&] { return rd->iov || rd->stop; });
    if (!rd->iov)
      return;
    struct iovec *iov = rd->iov;
    int iovcnt = rd->iovcnt;
    uint64_t pos = rd->pos;
    rd->iov = nullptr;
    g.unlock();
    int err = file_transfer(hd->fd, false, iov, iovcnt, pos);
    g.lock();
    rd->err = err;
    rd->done = true;
    rd->cv.notify_all();
  }
}

// ---- reading ahead of a sequential reader ----
// The first copy out of a page the host's disk has just filled costs this host several times a
// copy of a page read before (about 0.5 to 1.5 ms per MiB against 0.2, measured), and a writer
// under a snapshot pays it in every chunk its copy reads. A sequential reader's next pages are
// read here first, on a thread of the disk's own, into a scratch buffer that is thrown away:
// the page cache keeps them, and the reader's own copy then finds them read before. Only data
// moves through the cache, so nothing read here can be stale: a write in between lands in the
// same pages.
constexpr uint64_t kWarmAhead = 4 << 20;  // how far past a sequential read
constexpr size_t kWarmPiece = 256 << 10;  // read at a time, so that a jump is seen soon
constexpr size_t kWarmScratch = 64 << 10;

void warmer_main(host_disk *hd, image_warmer *w) {
  std::string tname = (hd->name + "-wa").substr(0, 15);
  pthread_setname_np(pthread_self(), tname.c_str());
  std::vector<unsigned char> scratch(kWarmScratch);
  std::unique_lock<std::mutex> g(w->mu);
  for (;;) {
    w->idle = true;
    w->cv.wait(g, [&] { return w->stop || w->warmed < w->target; });
    if (w->stop)
      return;
    w->idle = false;
    uint64_t at = w->warmed;
    size_t n = size_t(std::min<uint64_t>(kWarmPiece, w->target - at));
    g.unlock();
    // Every segment is the same scratch: only the source pages matter.
    struct iovec iov[kWarmPiece / kWarmScratch];
    int cnt = 0;
    for (size_t left = n; left; left -= iov[cnt++].iov_len)
      iov[cnt] = {scratch.data(), std::min(left, kWarmScratch)};
    ssize_t r = ::preadv(hd->fd, iov, cnt, off_t(at));
    g.lock();
    if (r > 0)
      hd->read_ahead.fetch_add(uint64_t(r), std::memory_order_relaxed);
    if (r <= 0)
      w->target = w->warmed;  // nothing more to read there: wait for the next sequential read
    else if (w->warmed == at)
      w->warmed = at + uint64_t(r);  // else a read elsewhere moved it on meanwhile
  }
}

// A read of [pos, pos + bytes) is coming: one that starts where the last one ended moves the
// window on, any other starts a new run after itself with nothing to read ahead yet.
void warm_ahead(host_disk *hd, uint64_t pos, size_t bytes) {
  image_warmer *w = hd->warmer.get();
  if (!w)
    return;
  bool wake = false;
  {
    std::lock_guard<std::mutex> g(w->mu);
    uint64_t end = pos + bytes;
    bool seq = pos == w->next;
    w->next = end;
    if (!seq) {
      w->warmed = w->target = end;
      return;
    }
    if (w->warmed < end)
      w->warmed = end;  // the reader is past what was read ahead: from its end on
    uint64_t want = std::min(end + kWarmAhead, w->end);
    if (want > w->target)
      w->target = want;
    wake = w->idle && w->warmed < w->target;
  }
  if (wake)
    w->cv.notify_one();
}

// Ends a thread of the disk's that waits on its state's cv for stop, and frees the state.
template <class State>
void stop_thread(std::unique_ptr<State> &st) {
  if (!st)
    return;
  {
    std::lock_guard<std::mutex> g(st->mu);
    st->stop = true;
  }
  st->cv.notify_all();
  st->thread.join();
  st.reset();
}

}  // namespace

// 0, or EAGAIN when the host gives no thread. Nothing of a direct image (its descriptor is
// O_DIRECT) is in the host's cache, so it gets no reading ahead, nor does an image the caller opened for writing only or
// O_DIRECT; nor a reordering disk, whose completions come in no order to follow. An image that
// gets no thread for it is only slower.
int start_reader(host_disk *hd, bool read_ahead) {
  int flags = fcntl(hd->fd, F_GETFL);
  if (flags < 0 || (flags & O_ACCMODE) == O_WRONLY || (flags & O_DIRECT))
    read_ahead = false;
  if (read_ahead) {
    hd->warmer = std::make_unique<image_warmer>();
    hd->warmer->end = uint64_t(hd->nr_sects) << 9;
    try {
      hd->warmer->thread = std::thread(warmer_main, hd, hd->warmer.get());
    } catch (const std::system_error &) {
      hd->warmer.reset();
    }
  }
  hd->reader = std::make_unique<image_reader>();
  try {
    hd->reader->thread = std::thread(reader_main, hd, hd->reader.get());
  } catch (const std::system_error &) {
    hd->reader.reset();
    return EAGAIN;
  }
  return 0;
}

bool read_ahead_busy(host_disk *hd) {
  image_warmer *w = hd->warmer.get();
  if (!w)
    return false;
  std::lock_guard<std::mutex> g(w->mu);
  return !w->idle || w->warmed < w->target;
}

void stop_reader(host_disk *hd) {
  stop_thread(hd->warmer);
  stop_thread(hd->reader);
}

namespace {

// What the host's cache holds ready of [pos, pos + bytes), read into the segments: the bytes
// read (from the start), 0, or -1. Under the "image_read_ready" fault point a rule's value
// stands for what is ready instead (those bytes are read, ready or not), so that a test
// chooses what is split whatever the host's cache does.
ssize_t read_ready(host_disk *hd, struct iovec *iov, int iovcnt, uint64_t pos, size_t bytes) {
  kplat::fault_ctx ctx;
  ctx.size = bytes;
  ctx.name = hd->name.c_str();
  ctx.offset = (long long)pos;
  kplat::fault_outcome o;
  if (!kplat::fault_hit("image_read_ready", ctx, &o) || o.value < 0)
    return ::preadv2(hd->fd, iov, iovcnt, off_t(pos), RWF_NOWAIT);
  size_t want = std::min(size_t(o.value), bytes), got = 0;
  std::vector<struct iovec> head;
  for (int i = 0; i < iovcnt && got < want; i++) {
    size_t n = std::min(iov[i].iov_len, want - got);
    head.push_back({iov[i].iov_base, n});
    got += n;
  }
  if (!got)
    return 0;
  return file_transfer(hd->fd, false, head.data(), int(head.size()), pos) ? -1 : ssize_t(got);
}

}  // namespace

// Reads the image at pos into the segments, using them up: a large read in two halves at
// once, when the disk's reader is free (a reordering disk's completions may read at the same
// time).
int image_read(host_disk *hd, struct iovec *iov, int iovcnt, uint64_t pos) {
  size_t bytes = 0;
  for (int i = 0; i < iovcnt; i++)
    bytes += iov[i].iov_len;
  warm_ahead(hd, pos, bytes);
  image_reader *rd = hd->reader.get();
  if (!rd || bytes < kSplitReadMin)
    return file_transfer(hd->fd, false, iov, iovcnt, pos);
  // What the cache holds ready is copied at once, here: a copy of warm pages is quick, and
  // handing half of it over costs more than it saves (a quarter of the speed of 1 MiB reads of
  // a cached device through FUSE, measured). Only the rest, still coming from the disk, is
  // split. A read that fails here (EAGAIN: nothing ready) is made again below.
  // Nothing of a direct image is in the host's cache: both halves come from the disk at once.
  ssize_t ready = hd->direct ? 0 : read_ready(hd, iov, iovcnt, pos, bytes);
  if (ready > 0) {
    if (size_t(ready) == bytes)
      return 0;
    pos += uint64_t(ready);
    bytes -= size_t(ready);
    iov_advance(iov, iovcnt, size_t(ready));
    if (bytes < kSplitReadMin)
      return file_transfer(hd->fd, false, iov, iovcnt, pos);
  }
  // The second half starts at the first segment boundary at or past the middle.
  int k = 0;
  size_t head = 0;
  while (k < iovcnt - 1 && head < bytes / 2)
    head += iov[k++].iov_len;
  bool split = false;
  {
    std::lock_guard<std::mutex> g(rd->mu);
    if (!rd->busy && k > 0) {
      split = true;
      rd->busy = true;
      rd->done = false;
      rd->iov = iov + k;
      rd->iovcnt = iovcnt - k;
      rd->pos = pos + head;
    }
  }
  if (!split)
    return file_transfer(hd->fd, false, iov, iovcnt, pos);
  rd->cv.notify_all();
  int err = file_transfer(hd->fd, false, iov, k, pos);
  std::unique_lock<std::mutex> g(rd->mu);
  rd->cv.wait(g, [&] { return rd->done; });
  rd->busy = false;
  hd->split_reads.fetch_add(1, std::memory_order_relaxed);
  hd->image_transfers.fetch_add(1, std::memory_order_relaxed);  // the reader's system call
  return err ? err : rd->err;
}

}  // namespace kplat
