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
// thread: the name is read afresh, and a thread that has ended (its id free for another
// process's thread) reads as gone, never as the new one.
thread_identity identity_of(pid_t tid);

}  // namespace machine
