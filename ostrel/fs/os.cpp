// The POSIX side of the operating-system seam.

#include "os.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>

namespace ostrel::os {

namespace {

std::string dir_of(const std::string &path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

ostrel_error *write_all(int fd, const std::string &data, const std::string &path) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return ostrel_error_from_errno(errno, "Can't write file '%s'", path.c_str());
    }
    done += static_cast<size_t>(n);
  }
  return nullptr;
}

class PosixOs final : public Os {
 public:
  int64_t now_usec() override {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return int64_t{tv.tv_sec} * 1000000 + tv.tv_usec;
  }

  int64_t current_pid() override { return getpid(); }

  bool process_alive(int64_t pid) override {
    if (pid <= 0) return false;
    return !(kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH);
  }

  ostrel_error *read_small_file(const std::string &path, size_t limit, std::string *data,
                                bool *found) override {
    data->clear();
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      if (errno == ENOENT || errno == ENOTDIR) {
        *found = false;
        return nullptr;
      }
      return ostrel_error_from_errno(errno, "Can't open file '%s'", path.c_str());
    }
    *found = true;
    // The buffer grows with what the file holds: LIMIT is a bound, often far
    // larger than the file, and is never allocated up front.
    char piece[64 * 1024];
    while (data->size() < limit) {
      ssize_t n = ::read(fd, piece, std::min(sizeof piece, limit - data->size()));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        int saved = errno;
        ::close(fd);
        return ostrel_error_from_errno(saved, "Can't read file '%s'", path.c_str());
      }
      if (n == 0) break;
      data->append(piece, static_cast<size_t>(n));
    }
    ::close(fd);
    return nullptr;
  }

  ostrel_error *write_file_durably(const std::string &path, const std::string &data) override {
    std::string tmp = path + ".tmp";
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return ostrel_error_from_errno(errno, "Can't create file '%s'", tmp.c_str());
    ostrel_error *err = write_all(fd, data, tmp);
    if (!err && fsync(fd) != 0) err = ostrel_error_from_errno(errno, "Can't write file '%s'", tmp.c_str());
    if (::close(fd) != 0 && !err)
      err = ostrel_error_from_errno(errno, "Can't write file '%s'", tmp.c_str());
    if (err) {
      ::unlink(tmp.c_str());
      return err;
    }
    if (std::rename(tmp.c_str(), path.c_str()) != 0)
      return ostrel_error_from_errno(errno, "Can't move '%s' to '%s'", tmp.c_str(), path.c_str());
    std::string dir = dir_of(path);
    int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd < 0) return ostrel_error_from_errno(errno, "Can't open directory '%s'", dir.c_str());
    int rc = fsync(dfd);
    int saved = errno;
    ::close(dfd);
    if (rc != 0) return ostrel_error_from_errno(saved, "Can't sync directory '%s'", dir.c_str());
    return nullptr;
  }
};

PosixOs posix_os;
Os *installed = nullptr;

}  // namespace

Os &current() { return installed ? *installed : posix_os; }

Os *install(Os *os) {
  Os *old = installed;
  installed = os;
  return old;
}

std::string iso8601(int64_t usec) {
  time_t secs = static_cast<time_t>(usec / 1000000);
  long micros = static_cast<long>(usec % 1000000);
  struct tm tm;
  gmtime_r(&secs, &tm);
  char buf[64];
  snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%06ldZ", tm.tm_year + 1900,
           tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, micros);
  return buf;
}

}  // namespace ostrel::os
