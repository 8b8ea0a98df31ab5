// qel-agent's command line. Each run is a fresh machine (module, disks, mounts) in this
// process; commands joined with "+" run one after another on the same machine, so
//   qel-agent --disk d.img snapshot sda1 + list + status 1 + stop 1
// sees the session the first command started.
#pragma once
#include <ostream>
#include <string>
#include <vector>

namespace agent {

// Returns the exit code: 0 success, 1 a command failed, 2 bad usage.
int cli_main(const std::vector<std::string> &args, std::ostream &out, std::ostream &err);
int cli_main(int argc, char **argv);

// A disk image is opened read-only unless a command writes it (--writer). A program that
// writes the source in other ways (a test tool's hook) calls this first.
void expect_source_writes();

// Splits the arguments (without the program name) at "+" tokens; an empty segment is an error
// (reported by cli_main as bad usage).
std::vector<std::vector<std::string>> split_commands(const std::vector<std::string> &args);

// Table and JSON forms of the session list.
struct SessionRow {
  int id;
  std::string device_path, backing_file, error_text;
  unsigned long long time, changed_blocks, block_size;
  unsigned long long sec_froze, nsec_froze;
  int mode, error;
};
std::string format_session_table(const std::vector<SessionRow> &rows);
std::string format_session_json(const std::vector<SessionRow> &rows);

}  // namespace agent
