// Who a FUSE request's thread is: its process and its name, as the host holds them now.
#pragma once

#include <sys/types.h>

#include <string>

namespace machine {

struct thread_identity {
  pid_t tgid;        // the thread's process; the thread id itself when the thread is gone
  std::string comm;  // its name; empty when the thread is gone
};

// The identity of thread tid (an id of the machine's pid namespace). Every request asks, so a
// thread seen before is answered from a descriptor of its comm file, which names that very
// thread: its name is read afresh, and a thread the kernel has released is never answered
// from what was kept of it. Its id is then looked up anew, so that, as for any lookup by id,
// an id taken over while its old thread's request is still handled names the new thread.
thread_identity identity_of(pid_t tid);

// The identity a /proc/<tid>/status text gives (its Tgid: and its escaped Name:); tid and no
// name for an empty text.
thread_identity identity_from_status(const std::string &status, pid_t tid);

}  // namespace machine
