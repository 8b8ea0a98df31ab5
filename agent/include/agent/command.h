// qel-agent's commands as data: what the command line asked for, parsed and checked before
// anything runs, so that a chain fails on a usage error before its first command starts, and
// so that the same request can be carried to the agent service and run there.
#pragma once
#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "agent/progress.h"

namespace agent {

class Agent;
class Snapshot;

struct Globals {
  std::string dev;  // a running vek-machine's device directory; "" for the machine in here
  std::string state;  // the agent service's state directory; "" for the default
  std::string disk;
  std::string disk_size;  // given: the image is created when missing
  std::string disk_reorder;  // the disk's reordering, "" = in order (DiskOptions::reorder)
  unsigned partitions = 2;
  bool partitions_given = false;
  int workers = 4;
  std::string buffer = "1M";
  std::string backing_dir;
  std::string backing_io = "direct";  // how the backing files are written: direct or cached
  int format = 2;
  bool progress = false, no_progress = false;
  bool disk_size_given = false;
  bool writes_disk = false;  // a command of the run writes the source disk (--writer)
};

struct Command {
  std::string name;  // "backup", "incremental", "snapshot", "list", ...
  std::string device, out;
  bool no_tracking = false, writer = false, wait = false;
  int id = 0;
  bool json = false;
  std::string image, against;  // verify
  // demo (never sent to the service: it runs a machine of its own)
  std::string demo_size = "256M", demo_buffer = "1M";
  int demo_workers = 4;
  unsigned demo_pause_us = 1500, demo_settle_ms = 300;
  std::string demo_dir;
  bool demo_keep = false;
  uint64_t demo_seed = 0;
  int demo_format = 2;
};

struct Request {
  Globals g;
  std::vector<Command> cmds;
};

void to_json(nlohmann::json &j, const Request &r);
void from_json(const nlohmann::json &j, Request &r);

// A service's long-lived part, shared by the requests it runs.
struct ServiceCore {
  Agent *agent = nullptr;
  std::string tmp_dir;  // backing files of sessions started without --backing-dir
  std::mutex held_mu;
  std::map<int, std::shared_ptr<Snapshot>> held;  // held_mu: sessions kept by `snapshot`
  std::mutex backup_mu;  // one backup at a time: the tracker captures for one device
  std::function<void()> saved_state;  // after a backup: keep the state file current
};

// How a run reaches the one who asked for it.
struct RunHooks {
  // Non-zero (a signal number) when the run is to end: a backup stops, a wait ends.
  const std::atomic<int> *cancel = nullptr;
  // The progress bar's figures; null: drawn on stderr as the globals say.
  ProgressBar::Sink progress;
};

// Runs the commands in turn; the exit code (0, 1 for a failed command, 128 + the signal for
// one ended by a signal). `core` is the service the run is part of, or null for a run of its
// own (the commands' machine and agent then live as long as the run).
int run_request(const Request &r, std::ostream &out, std::ostream &err, const RunHooks &hooks,
                ServiceCore *core);

// The agent service: `qel-agent serve`. Returns the exit code.
int run_service(const Request &r, std::ostream &out, std::ostream &err);
// Carries the request to the service of `state_dir` when one runs there: its exit code, or -1
// when no service answers, or when the one of a state directory not named on the command line
// serves another machine (the caller then runs the request itself).
int run_remote(const Request &r, const std::string &state_dir, bool explicit_state,
               std::ostream &out, std::ostream &err);
std::string default_state_dir();
// A new directory "<$TMPDIR or /tmp>/<prefix>-XXXXXX"; throws Error.
std::string make_temp_dir(const std::string &prefix);

}  // namespace agent
