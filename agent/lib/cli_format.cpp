#include <cstdio>
#include <sstream>

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

std::string json_escape(const std::string &s) {
  std::string o;
  for (unsigned char c : s) {
    switch (c) {
      case '"':
        o += "\\\"";
        break;
      case '\\':
        o += "\\\\";
        break;
      case '\n':
        o += "\\n";
        break;
      case '\r':
        o += "\\r";
        break;
      case '\t':
        o += "\\t";
        break;
      default:
        if (c < 0x20) {
          char b[8];
          snprintf(b, sizeof b, "\\u%04x", c);
          o += b;
        } else {
          o += char(c);
        }
    }
  }
  return o;
}

std::string format_session_table(const std::vector<SessionRow> &rows) {
  if (rows.empty()) return "no snapshot sessions\n";
  std::ostringstream o;
  char line[512];
  snprintf(line, sizeof line, "%-6s %-12s %-10s %-8s %-14s %-5s %s\n", "ID", "DEVICE", "TIME",
           "CHUNKS", "FROZEN", "MODE", "STATE");
  o << line;
  for (const SessionRow &r : rows) {
    std::string state =
        r.error ? "error: " + (r.error_text.empty() ? std::string("?") : r.error_text) : "ok";
    snprintf(line, sizeof line, "%-6s %-12s %-10llu %-8llu %-14s %-5d %s\n",
             ("vek" + std::to_string(r.id)).c_str(), r.device_path.c_str(), r.time,
             r.changed_blocks, format_seconds(r.sec_froze, r.nsec_froze).c_str(), r.mode,
             state.c_str());
    o << line;
  }
  return o.str();
}

std::string format_session_json(const std::vector<SessionRow> &rows) {
  std::ostringstream o;
  o << "[";
  for (size_t i = 0; i < rows.size(); ++i) {
    const SessionRow &r = rows[i];
    o << (i ? "," : "") << "\n  {\"id\": " << r.id << ", \"device\": \""
      << json_escape(r.device_path) << "\", \"backing_file\": \"" << json_escape(r.backing_file)
      << "\", \"time\": " << r.time << ", \"changed_blocks\": " << r.changed_blocks
      << ", \"block_size\": " << r.block_size << ", \"sec_froze\": " << r.sec_froze
      << ", \"nsec_froze\": " << r.nsec_froze << ", \"mode\": " << r.mode
      << ", \"error\": " << (r.error ? "true" : "false") << ", \"error_text\": \""
      << json_escape(r.error_text) << "\"}";
  }
  o << (rows.empty() ? "]\n" : "\n]\n");
  return o.str();
}

}  // namespace agent
