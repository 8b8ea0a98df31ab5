#include "agent/error.h"

#include <cstring>

namespace agent {

std::string errno_text(int err) {
  if (err == 0) return "no error";
  return std::string(strerror(err)) + " (errno " + std::to_string(err) + ")";
}

void throw_errno(const std::string &what, int err) {
  throw Error(what + ": " + errno_text(err), err);
}

}  // namespace agent
