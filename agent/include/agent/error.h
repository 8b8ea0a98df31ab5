// Errors of the agent: one exception type that carries the errno (0 when there is none) and a
// message that already says what failed, on which device or session, and why.
#pragma once
#include <cerrno>
#include <stdexcept>
#include <string>

namespace agent {

class Error : public std::runtime_error {
 public:
  explicit Error(const std::string &msg, int err = 0) : std::runtime_error(msg), err_(err) {}
  int code() const { return err_; }

 private:
  int err_;
};

// A request refused before anything was done (qel-agent's exit code 2, as for bad usage).
class UsageError : public Error {
 public:
  explicit UsageError(const std::string &msg) : Error(msg, EINVAL) {}
};

// "Input/output error (errno 5)"; "no error" for 0.
std::string errno_text(int err);

// Throws Error("<what>: <errno_text(err)>", err).
[[noreturn]] void throw_errno(const std::string &what, int err);

}  // namespace agent
