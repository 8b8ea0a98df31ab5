// The control device of the driver, command by command. Every failure throws Error with the
// errno and, where the driver said why, its log line; nothing here knows driver internals.
//
// Keep one Control open for as long as change tracking is to stay intact: closing the last
// handle of the control device makes the driver drop queued change records and mark tracking
// broken.
#pragma once
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "agent/changes.h"
#include "vekdriver.h"

namespace agent {

struct StartParams {
  uint32_t major = 0, minor = 0;  // the source device (a partition's own numbers)
  std::string device_name;        // "sda1"
  std::string device_path;        // "/dev/sda1"
  std::string backing_stem;       // the driver names the session's backing file "<stem>.cow_vek<N>"
  std::string backing_dev;
  bool tracking = true;  // attach change tracking (mode bit 0)
  uint64_t bfree = 0;    // free-block floor of the backing file system; 0: none
};

struct StartReply {
  int id = 0;
  int mode = 0;
  int active_sessions = 0;
  uint64_t time = 0;
  uint64_t sec_get_freez = 0, nsec_get_freez = 0;  // time to freeze
  uint64_t sec_froze = 0, nsec_froze = 0;          // freeze start to thaw
};

struct StopReply {
  std::string backing_file;
  int active_sessions = 0;
};

class Control {
 public:
  explicit Control(const std::string &device = "vekdriver");  // a device of sys()
  ~Control();
  Control(const Control &) = delete;
  Control &operator=(const Control &) = delete;

  int fd() const { return fd_; }

  version_info version();
  StartReply start(const StartParams &p);
  StopReply stop(int id);
  std::vector<session_list> list();                         // all sessions, in start order
  std::array<session_list, VEK_LIST_ENTRIES> list_fixed();  // the 16-entry form
  int count();
  std::optional<int> session_of(uint32_t major, uint32_t minor);
  std::string device_path(int id);
  std::string backing_file(int id);
  // "" for a healthy session, the first error reason otherwise; "NO ERROR" for an absent id.
  std::string session_error(int id);
  void set_file(int id, int fd, const std::string &name);
  // ThreadWaitTimeout: true once a worker registered, false when none did in time (or no
  // such session).
  bool wait_for_worker(int id);
  // NoThreadShutdown: true when the driver stopped the session for lack of workers, false when
  // it had a worker and was left alone.
  bool no_thread_shutdown(int id);
  ChangeBatch fetch_changes(RecordFormat f, int size);
  void unblock_changes();
  void error_cts();
  void list_locks();
  void shutdown_driver();

  // Raw command, for callers that want the driver's result as it is: >= 0, or -errno.
  long raw(unsigned long cmd, void *arg);

 private:
  template <class Request, class Record>
  long fetch_format(unsigned long cmd, int size, ChangeBatch &b, int32_t &tracking,
                    int32_t &inqueue);
  // The driver's ERROR lines logged since `mark`, joined, for messages.
  std::string driver_says(size_t mark) const;
  size_t log_mark() const;
  int fd_ = -1;
};

// Change records through a Control, in one of the two formats.
class ControlChanges : public ChangeSource {
 public:
  ControlChanges(Control &c, RecordFormat f) : c_(c), f_(f) {}
  ChangeBatch fetch(int size) override { return c_.fetch_changes(f_, size); }
  void unblock() override { c_.unblock_changes(); }
  RecordFormat format() const override { return f_; }

 private:
  Control &c_;
  RecordFormat f_;
};

}  // namespace agent
