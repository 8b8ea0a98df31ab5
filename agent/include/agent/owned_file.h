// Files that belong to one process at a time: a disk image while a machine has it, a backing
// file while a session's worker writes it. The owner holds an exclusive flock on the file for
// as long as it has it open (the kernel drops it when the process dies), so another run tells
// a live owner's file, which it refuses, from one a killed run left behind, which it may take.
#pragma once
#include <sys/types.h>

#include <string>

namespace agent {

struct OwnedFile {
  int fd = -1;
  bool created = false;  // this open made the file
};

// Opens `path` with `flags` (O_CREAT makes it when missing; O_CLOEXEC is added) and locks it
// without waiting. Returns false with errno set when that fails: EWOULDBLOCK when another
// open file holds the lock, and *holder (when given) is then its process, 0 when unknown.
bool open_owned(const std::string &path, int flags, mode_t mode, OwnedFile *out,
                pid_t *holder = nullptr);

// The process holding the flock of the file open as `fd`, from /proc/locks; 0 when none is
// found there (not locked, or a holder outside this pid namespace).
pid_t flock_holder(int fd);

// "pid 123 (qel-agent)"; "another process" for 0.
std::string process_text(pid_t pid);

}  // namespace agent
