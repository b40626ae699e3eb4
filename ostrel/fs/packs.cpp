// Local pack files: the content store of a repository on local disk.

#include "packs.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace ostrel::fs {

namespace {

// A pack stops taking new transactions past this size, so no file grows
// without bound and a copy can proceed file by file.
constexpr int64_t kPackLimit = int64_t{1} << 30;
// Appends are gathered into writes of this size.
constexpr size_t kWriteBuffer = size_t{1} << 20;

bool no_space(int e) { return e == ENOSPC || e == EDQUOT || e == EFBIG; }

ostrel_error *io_error(int e, const std::string &repo, const char *doing, const std::string &file) {
  if (no_space(e))
    return ostrel_error_createf(OSTREL_ERR_FS_GENERAL, nullptr,
                                "Repository '%s': the disk is full (cannot %s '%s')", repo.c_str(),
                                doing, file.c_str());
  return ostrel_error_from_errno(e, "Repository '%s': cannot %s '%s'", repo.c_str(), doing,
                                 file.c_str());
}

ostrel_error *sync_dir(const std::string &dir) {
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return ostrel_error_from_errno(errno, "Can't open directory '%s'", dir.c_str());
  int rc = fsync(fd);
  int saved = errno;
  ::close(fd);
  if (rc != 0) return ostrel_error_from_errno(saved, "Can't sync directory '%s'", dir.c_str());
  return nullptr;
}

class LocalAppender final : public Appender {
 public:
  LocalAppender(int fd, int64_t pack, std::string file, std::string repo, int64_t start)
      : fd_(fd), pack_(pack), file_(std::move(file)), repo_(std::move(repo)), start_(start),
        written_(start) {}
  ~LocalAppender() override {
    if (fd_ >= 0) ::close(fd_);  // also releases the lock
  }

  ostrel_error *append(const void *data, size_t len, Place *place) override {
    place->pack = pack_;
    place->off = end();
    place->len = static_cast<int64_t>(len);
    if (buf_.size() + len > kWriteBuffer) OSTREL_ERR(flush());
    if (len >= kWriteBuffer) return write_at(data, len);
    buf_.append(static_cast<const char *>(data), len);
    return nullptr;
  }

  ostrel_error *flush() override {
    if (buf_.empty()) return nullptr;
    ostrel_error *err = write_at(buf_.data(), buf_.size());
    buf_.clear();
    return err;
  }

  ostrel_error *sync() override {
    OSTREL_ERR(flush());
    if (written_ == start_) return nullptr;
    if (fdatasync(fd_) != 0) return io_error(errno, repo_, "sync", file_);
    return nullptr;
  }

  ostrel_error *discard() override {
    buf_.clear();
    if (ftruncate(fd_, start_) != 0) return io_error(errno, repo_, "truncate", file_);
    written_ = start_;
    return nullptr;
  }

  int64_t pack() const override { return pack_; }
  int64_t end() const override { return written_ + static_cast<int64_t>(buf_.size()); }
  bool wrote() const override { return end() != start_; }

 private:
  ostrel_error *write_at(const void *data, size_t len) {
    const char *p = static_cast<const char *>(data);
    while (len) {
      ssize_t n = pwrite(fd_, p, len, written_);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return io_error(errno, repo_, "write", file_);
      p += n;
      len -= static_cast<size_t>(n);
      written_ += n;
    }
    return nullptr;
  }

  int fd_;
  int64_t pack_;
  std::string file_;
  std::string repo_;
  int64_t start_;
  int64_t written_;
  std::string buf_;
};

class LocalPacks final : public ContentStore {
 public:
  LocalPacks(std::string dir, std::string repo) : dir_(std::move(dir)), repo_(std::move(repo)) {}
  ~LocalPacks() override {
    for (auto &[pack, fd] : readers_) ::close(fd);
  }

  ostrel_error *open_appender(std::unique_ptr<Appender> *out, const CommittedEnd &committed) override {
    for (int64_t pack = 1;; ++pack) {
      std::string file = name(pack);
      int fd = ::open(file.c_str(), O_RDWR | O_CLOEXEC);
      if (fd < 0 && errno == ENOENT) {
        fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0 && errno == EEXIST) fd = ::open(file.c_str(), O_RDWR | O_CLOEXEC);
        else if (fd >= 0) {
          // The new name must survive a crash before any commit relies on it.
          ostrel_error *err = sync_dir(dir_);
          if (err) {
            ::close(fd);
            return err;
          }
        }
      }
      if (fd < 0) return io_error(errno, repo_, "open", file);
      if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int e = errno;
        ::close(fd);
        if (e == EWOULDBLOCK || e == EINTR) continue;  // another writer's pack
        return io_error(e, repo_, "lock", file);
      }
      int64_t end = 0;
      ostrel_error *err = committed(pack, &end);
      if (!err && end >= kPackLimit) {
        ::close(fd);
        continue;
      }
      struct stat sb;
      if (!err && fstat(fd, &sb) != 0) err = io_error(errno, repo_, "read", file);
      if (!err && sb.st_size < end)
        err = ostrel_error_createf(OSTREL_ERR_FS_CORRUPT, nullptr,
                                   "Repository is damaged: pack file '%s' holds %lld bytes, "
                                   "fewer than the %lld its revisions use",
                                   file.c_str(), static_cast<long long>(sb.st_size),
                                   static_cast<long long>(end));
      // What lies after the committed end no revision references.
      if (!err && sb.st_size > end && ftruncate(fd, end) != 0)
        err = io_error(errno, repo_, "truncate", file);
      if (err) {
        ::close(fd);
        return err;
      }
      *out = std::make_unique<LocalAppender>(fd, pack, file, repo_, end);
      return nullptr;
    }
  }

  ostrel_error *read(const Place &place, std::string &out) override {
    int fd = -1;
    OSTREL_ERR(reader(place.pack, &fd));
    out.resize(static_cast<size_t>(place.len));
    size_t done = 0;
    while (done < out.size()) {
      ssize_t n = pread(fd, out.data() + done, out.size() - done,
                        place.off + static_cast<int64_t>(done));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return io_error(errno, repo_, "read", name(place.pack));
      if (n == 0)
        return ostrel_error_createf(OSTREL_ERR_FS_CORRUPT, nullptr,
                                    "Repository is damaged: pack file '%s' ends before byte "
                                    "%lld",
                                    name(place.pack).c_str(),
                                    static_cast<long long>(place.off + place.len));
      done += static_cast<size_t>(n);
    }
    return nullptr;
  }

  ostrel_error *files(std::vector<std::pair<int64_t, std::string>> *out) override {
    out->clear();
    DIR *d = opendir(dir_.c_str());
    if (!d) {
      if (errno == ENOENT) return nullptr;
      return ostrel_error_from_errno(errno, "Can't open directory '%s'", dir_.c_str());
    }
    while (struct dirent *e = readdir(d)) {
      long long n;
      char tail;
      if (std::sscanf(e->d_name, "pack-%lld%c", &n, &tail) == 1 && n > 0 &&
          std::string(e->d_name) == "pack-" + std::to_string(n))
        out->push_back({n, std::string(kPacksDir) + "/" + e->d_name});
    }
    closedir(d);
    return nullptr;
  }

 private:
  std::string name(int64_t pack) const { return dir_ + "/pack-" + std::to_string(pack); }

  ostrel_error *reader(int64_t pack, int *fd) {
    auto it = readers_.find(pack);
    if (it != readers_.end()) {
      *fd = it->second;
      return nullptr;
    }
    std::string file = name(pack);
    int f = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (f < 0) {
      if (errno == ENOENT)
        return ostrel_error_createf(OSTREL_ERR_FS_CORRUPT, nullptr,
                                    "Repository is damaged: pack file '%s' is missing",
                                    file.c_str());
      return io_error(errno, repo_, "open", file);
    }
    readers_[pack] = f;
    *fd = f;
    return nullptr;
  }

  std::string dir_;
  std::string repo_;
  std::map<int64_t, int> readers_;
};

}  // namespace

std::unique_ptr<ContentStore> make_local_packs(const std::string &dir, const std::string &repo) {
  return std::make_unique<LocalPacks>(dir, repo);
}

ostrel_error *make_packs_dir(const std::string &dir) {
  if (::mkdir(dir.c_str(), 0755) != 0) {
    if (errno == EEXIST) return nullptr;
    return ostrel_error_from_errno(errno, "Can't create directory '%s'", dir.c_str());
  }
  size_t slash = dir.rfind('/');
  return sync_dir(slash == std::string::npos ? "." : slash == 0 ? "/" : dir.substr(0, slash));
}

}  // namespace ostrel::fs
