#include "agent/owned_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace agent {

bool open_owned(const std::string &path, int flags, mode_t mode, OwnedFile *out, pid_t *holder) {
  const char *p = path.c_str();
  // The owner removes a file before it closes it, so a file opened just before that removal
  // is locked only once nobody will look for it under its name again: then open anew.
  for (int attempt = 0; attempt < 8; ++attempt) {
    bool created = false;
    int fd = -1;
    if (flags & O_CREAT) {
      fd = ::open(p, flags | O_EXCL | O_CLOEXEC, mode);
      if (fd >= 0)
        created = true;
      else if (errno != EEXIST)
        return false;
    }
    if (fd < 0) {
      fd = ::open(p, (flags & ~(O_CREAT | O_EXCL)) | O_CLOEXEC);
      if (fd < 0 && errno == ENOENT && (flags & O_CREAT)) continue;  // removed since
      if (fd < 0) return false;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      int e = errno;
      if (holder) *holder = e == EWOULDBLOCK ? flock_holder(fd) : 0;
      ::close(fd);
      errno = e;
      return false;
    }
    struct stat mine, named;
    int r = (flags & O_NOFOLLOW) ? ::lstat(p, &named) : ::stat(p, &named);
    if (::fstat(fd, &mine) == 0 && r == 0 && mine.st_dev == named.st_dev &&
        mine.st_ino == named.st_ino) {
      out->fd = fd;
      out->created = created;
      return true;
    }
    ::close(fd);
  }
  errno = EBUSY;  // replaced faster than we could lock it, again and again
  return false;
}

pid_t flock_holder(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return 0;
  // "1: FLOCK  ADVISORY  WRITE 4242 fe:00:1234 0 EOF"; waiters' lines have "->" after the number.
  std::ifstream f("/proc/locks");
  for (std::string line; std::getline(f, line);) {
    std::istringstream in(line);
    std::string num, kind, advisory, access, id;
    long pid = 0;
    if (!(in >> num >> kind) || kind != "FLOCK") continue;
    if (!(in >> advisory >> access >> pid >> id)) continue;
    unsigned maj = 0, min = 0;
    unsigned long long ino = 0;
    if (sscanf(id.c_str(), "%x:%x:%llu", &maj, &min, &ino) != 3) continue;
    if (maj == major(st.st_dev) && min == minor(st.st_dev) && ino == st.st_ino && pid > 0)
      return pid_t(pid);
  }
  return 0;
}

std::string process_text(pid_t pid) {
  if (pid <= 0) return "another process";
  std::string comm;
  std::ifstream f("/proc/" + std::to_string(pid) + "/comm");
  std::getline(f, comm);
  return "pid " + std::to_string(pid) + (comm.empty() ? "" : " (" + comm + ")");
}

}  // namespace agent
