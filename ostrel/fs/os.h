/* os.h: the operating-system seam of the repository storage.
 *
 * Everything the storage asks of the operating system beyond its database
 * file goes through one Os object: the clock that dates revisions, the
 * current process id a transaction is marked with, whether the process that
 * left a transaction behind still exists, and small files written durably
 * (a repository's format file).  The default talks to POSIX; tests install
 * their own to fix the clock, pretend a process died, or fail a write.
 *
 * The installed Os is process-wide and must outlive every call that uses
 * it; install it before opening repositories, not while they are used. */
#ifndef OSTREL_FS_OS_H
#define OSTREL_FS_OS_H

#include <cstdint>
#include <string>

#include "ostrel_error.h"

namespace ostrel::os {

class Os {
 public:
  virtual ~Os() = default;

  /* Microseconds since 1970-01-01 UTC. */
  virtual int64_t now_usec() = 0;

  /* The id of the calling process. */
  virtual int64_t current_pid() = 0;

  /* False only when PID certainly names no running process (so what it
   * left behind can be swept); true when it runs or cannot be told. */
  virtual bool process_alive(int64_t pid) = 0;

  /* Reads at most LIMIT bytes of PATH into *DATA.  A missing PATH (or a
   * missing directory on its way) sets *FOUND to false and is no error. */
  virtual ostrel_error *read_small_file(const std::string &path, size_t limit, std::string *data,
                                        bool *found) = 0;

  /* Replaces PATH with DATA so that after a crash PATH holds either its
   * old contents or DATA, never a part: writes PATH.tmp, syncs it, renames
   * it over PATH and syncs the directory. */
  virtual ostrel_error *write_file_durably(const std::string &path, const std::string &data) = 0;
};

/* The Os in use: the POSIX one unless a test installed another. */
Os &current();

/* Installs OS (NULL: the POSIX default) and returns the one it replaces
 * (NULL when that was the default). */
Os *install(Os *os);

/* USEC (see now_usec) as "YYYY-MM-DDTHH:MM:SS.uuuuuuZ". */
std::string iso8601(int64_t usec);

}  // namespace ostrel::os

#endif /* OSTREL_FS_OS_H */
