#include <cstdio>
#include <sstream>

#include <nlohmann/json.hpp>

#include "agent/cli.h"
#include "agent/progress.h"

namespace agent {

std::vector<std::vector<std::string>> split_commands(const std::vector<std::string> &args) {
  std::vector<std::vector<std::string>> out(1);
  for (const std::string &a : args) {
    if (a == "+")
      out.emplace_back();
    else
      out.back().push_back(a);
  }
  return out;
}

std::string format_session_table(const std::vector<SessionRow> &rows) {
  if (rows.empty()) return "no snapshot sessions\n";
  std::vector<std::vector<std::string>> cells = {
      {"ID", "DEVICE", "SNAPSHOT TIME", "PRESERVED", "FROZEN", "MODE", "STATE"}};
  for (const SessionRow &r : rows) {
    std::string state =
        r.error ? "error: " + (r.error_text.empty() ? std::string("?") : r.error_text) : "ok";
    cells.push_back({"vek" + std::to_string(r.id), r.device_path, format_time(r.time),
                     std::to_string(r.changed_blocks) + " chunks",
                     format_duration(r.sec_froze, r.nsec_froze), std::to_string(r.mode), state});
  }
  // Every column as wide as its widest cell, whatever the ids and paths.
  std::vector<size_t> width(cells[0].size(), 0);
  for (const auto &row : cells)
    for (size_t i = 0; i < row.size(); ++i) width[i] = std::max(width[i], row[i].size());
  std::ostringstream o;
  for (const auto &row : cells) {
    for (size_t i = 0; i < row.size(); ++i) {
      o << row[i];
      if (i + 1 < row.size()) o << std::string(width[i] - row[i].size() + 2, ' ');
    }
    o << "\n";
  }
  return o.str();
}

std::string format_session_json(const std::vector<SessionRow> &rows) {
  nlohmann::json a = nlohmann::json::array();
  for (const SessionRow &r : rows) {
    a.push_back({{"id", r.id},
                 {"device", r.device_path},
                 {"backing_file", r.backing_file},
                 {"time", r.time},
                 {"time_iso", format_time(r.time)},
                 {"changed_blocks", r.changed_blocks},
                 {"block_size", r.block_size},
                 {"sec_froze", r.sec_froze},
                 {"nsec_froze", r.nsec_froze},
                 {"frozen_ms", double(r.sec_froze) * 1e3 + double(r.nsec_froze) / 1e6},
                 {"mode", r.mode},
                 {"error", bool(r.error)},
                 {"error_text", r.error_text}});
  }
  // Device paths and error texts need not be UTF-8.
  return a.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

}  // namespace agent
