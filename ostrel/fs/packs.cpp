// Local pack files: the content store of a repository on local disk.

#include "content_store.h"

#include <map>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstring>

namespace ostrel::fs {

namespace {

constexpr const char kPacksDir[] = "packs";

// A pack stops taking new transactions past this size, so no file grows
// without bound and a copy can proceed file by file.
constexpr int64_t kPackLimit = int64_t{1} << 30;
// A stored chunk is never longer than this (a chunk that did not compress,
// with room for a frame's overhead); a reference saying more is damage.
constexpr int64_t kMaxStored = int64_t{2} << 20;
// Appends are gathered into writes of this size.
constexpr size_t kWriteBuffer = size_t{1} << 20;
// Once this much more is written, the disk is asked to start writing it.
constexpr int64_t kWritebackStep = int64_t{8} << 20;

bool no_space(int e) { return e == ENOSPC || e == EDQUOT || e == EFBIG; }

ostrel_error *io_error(int e, const std::string &repo, const char *doing, const std::string &file) {
  if (no_space(e))
    return ostrel_error_createf(OSTREL_ERR_FS_FULL, nullptr,
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

// A stretch of a pack mapped for reading; unmapped when it goes.
class MappedBytes final : public LentBytes {
 public:
  MappedBytes(void *base, size_t span, size_t skip, size_t len) : base_(base), span_(span) {
    data = static_cast<const char *>(base) + skip;
    this->len = len;
  }
  ~MappedBytes() override { munmap(base_, span_); }
  MappedBytes(const MappedBytes &) = delete;
  MappedBytes &operator=(const MappedBytes &) = delete;

 private:
  void *base_;
  size_t span_;
};

class LocalAppender final : public Appender {
 public:
  LocalAppender(int fd, int64_t pack, std::string file, std::string repo, int64_t start)
      : fd_(fd), pack_(pack), file_(std::move(file)), repo_(std::move(repo)), start_(start),
        written_(start), writeback_from_(start) {}
  ~LocalAppender() override {
    if (fd_ >= 0) ::close(fd_);  // also releases the lock
  }

  // A reference is (pack, offset, length).
  ostrel_error *append(const void *data, size_t len, ContentRef *ref) override {
    ref->w[0] = pack_;
    ref->w[1] = end();
    ref->w[2] = static_cast<int64_t>(len);
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
    written_ = writeback_from_ = start_;
    return nullptr;
  }

  StoreMark mark() const override { return StoreMark{pack_, end()}; }
  int64_t end() const { return written_ + static_cast<int64_t>(buf_.size()); }
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
    start_writeback();
    return nullptr;
  }

  // A large commit would otherwise write all its bytes to the disk in its
  // sync, after the work of making them: the disk is asked to start on each
  // few megabytes as they are written (without waiting for it), so that the
  // two overlap and the sync finds most of them on the disk already.  The
  // sync still decides durability, and reports a failed write.
  void start_writeback() {
#if defined(__linux__) && defined(SYNC_FILE_RANGE_WRITE)
    if (written_ - writeback_from_ < kWritebackStep) return;
    (void)sync_file_range(fd_, writeback_from_, written_ - writeback_from_, SYNC_FILE_RANGE_WRITE);
    writeback_from_ = written_;
#endif
  }

  int fd_;
  int64_t pack_;
  std::string file_;
  std::string repo_;
  int64_t start_;
  int64_t written_;
  int64_t writeback_from_;  // where the bytes not yet sent to the disk start
  std::string buf_;
};

class LocalPacks final : public ContentStore {
 public:
  explicit LocalPacks(const std::string &repo_dir)
      : dir_(repo_dir + "/" + kPacksDir), repo_(repo_dir) {}
  ~LocalPacks() override {
    for (auto &[pack, fd] : readers_) ::close(fd);
  }

  ostrel_error *open_appender(std::unique_ptr<Appender> *out, const MarkReader &committed) override {
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

  ostrel_error *read(const ContentRef &ref, std::string &out) override {
    int fd = -1;
    OSTREL_ERR(check_ref(ref, &fd));
    out.resize(static_cast<size_t>(ref.w[2]));
    return read_at(fd, ref, out.data());
  }

  ostrel_error *read_into(const ContentRef &ref, char *dst, size_t room, size_t *len) override {
    int fd = -1;
    OSTREL_ERR(check_ref(ref, &fd));
    *len = static_cast<size_t>(ref.w[2]);
    if (*len > room) return nullptr;
    return read_at(fd, ref, dst);
  }

  // Maps the bytes REF names.  Committed bytes of a pack never change nor
  // go (a writer cuts only what follows the committed end), so a mapping of
  // them stays good; a file already shorter than REF says is damage, told
  // as a read tells it, before any mapped byte could fault.
  ostrel_error *lend(const ContentRef &ref, std::unique_ptr<LentBytes> *out) override {
    int fd = -1;
    OSTREL_ERR(check_ref(ref, &fd));
    const int64_t pack = ref.w[0], off = ref.w[1], len = ref.w[2];
    if (len == 0) return ContentStore::lend(ref, out);
    struct stat sb;
    if (fstat(fd, &sb) != 0) return io_error(errno, repo_, "read", name(pack));
    if (sb.st_size < off + len) return ends_early(pack, off + len);
    static const int64_t page = sysconf(_SC_PAGESIZE);
    const int64_t start = off - off % page;
    const size_t span = static_cast<size_t>(off - start + len);
    void *base = mmap(nullptr, span, PROT_READ, MAP_SHARED, fd, start);
    // A file system that cannot map files still reads them.
    if (base == MAP_FAILED) return ContentStore::lend(ref, out);
    (void)madvise(base, span, MADV_SEQUENTIAL);
    *out = std::make_unique<MappedBytes>(base, span, static_cast<size_t>(off - start),
                                         static_cast<size_t>(len));
    return nullptr;
  }

  ostrel_error *copy_to(const std::string &destination, const MarkList &list) override {
    std::vector<StoreMark> marks;
    OSTREL_ERR(list(&marks));
    if (marks.empty()) return nullptr;
    const std::string to_dir = destination + "/" + kPacksDir;
    OSTREL_ERR(make_packs_dir(destination));
    for (const StoreMark &m : marks) {
      const std::string to = to_dir + "/pack-" + std::to_string(m.stream);
      OSTREL_ERR(copy_prefix(name(m.stream), to, m.value));
    }
    return sync_dir(to_dir);
  }

  ostrel_error *sync_all() override {
    DIR *d = opendir(dir_.c_str());
    if (!d) return errno == ENOENT ? nullptr : io_error(errno, repo_, "open", dir_);
    ostrel_error *err = nullptr;
    while (const dirent *e = readdir(d)) {
      if (std::strncmp(e->d_name, "pack-", 5) != 0) continue;
      const std::string file = dir_ + "/" + e->d_name;
      int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
      if (fd < 0) {
        err = io_error(errno, repo_, "open", file);
        break;
      }
      int rc = ::fsync(fd);
      int saved = errno;
      ::close(fd);
      if (rc != 0) {
        err = io_error(saved, repo_, "sync", file);
        break;
      }
    }
    closedir(d);
    return err;
  }

 private:
  // The pack REF names, open for reading as *FD, once REF is one that can be.
  ostrel_error *check_ref(const ContentRef &ref, int *fd) {
    const int64_t pack = ref.w[0], off = ref.w[1], len = ref.w[2];
    if (pack <= 0 || off < 0 || len < 0 || len > kMaxStored)
      return ostrel_error_createf(OSTREL_ERR_FS_CORRUPT, nullptr,
                                  "Repository is damaged: a chunk names bytes %lld+%lld of pack "
                                  "%lld, which cannot be",
                                  static_cast<long long>(off), static_cast<long long>(len),
                                  static_cast<long long>(pack));
    return reader(pack, fd);
  }

  // Reads the bytes REF names from its pack FD into DST.
  ostrel_error *read_at(int fd, const ContentRef &ref, char *dst) {
    const int64_t pack = ref.w[0], off = ref.w[1];
    const size_t len = static_cast<size_t>(ref.w[2]);
    size_t done = 0;
    while (done < len) {
      ssize_t n = pread(fd, dst + done, len - done, off + static_cast<int64_t>(done));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return io_error(errno, repo_, "read", name(pack));
      if (n == 0) return ends_early(pack, off + static_cast<int64_t>(len));
      done += static_cast<size_t>(n);
    }
    return nullptr;
  }

  ostrel_error *ends_early(int64_t pack, int64_t end) const {
    return ostrel_error_createf(OSTREL_ERR_FS_CORRUPT, nullptr,
                                "Repository is damaged: pack file '%s' ends before byte %lld",
                                name(pack).c_str(), static_cast<long long>(end));
  }

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

  // Copies the first LENGTH bytes of FROM into the new file TO, durably.
  ostrel_error *copy_prefix(const std::string &from, const std::string &to, int64_t length) {
    int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return io_error(errno, repo_, "open", from);
    int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (out < 0) {
      int e = errno;
      ::close(in);
      return io_error(e, to, "create", to);
    }
    ostrel_error *err = nullptr;
    std::string buf(size_t{1} << 20, '\0');
    int64_t done = 0;
    while (!err && done < length) {
      size_t want = static_cast<size_t>(std::min<int64_t>(length - done, static_cast<int64_t>(buf.size())));
      ssize_t n = pread(in, buf.data(), want, done);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        err = io_error(errno, repo_, "read", from);
      } else if (n == 0) {
        err = ostrel_error_createf(OSTREL_ERR_FS_CORRUPT, nullptr,
                                   "Repository is damaged: pack file '%s' is shorter than the "
                                   "%lld bytes its revisions use",
                                   from.c_str(), static_cast<long long>(length));
      } else {
        for (ssize_t w = 0; !err && w < n;) {
          ssize_t k = pwrite(out, buf.data() + w, static_cast<size_t>(n - w), done + w);
          if (k < 0 && errno == EINTR) continue;
          if (k < 0) err = io_error(errno, to, "write", to);
          else w += k;
        }
        done += n;
      }
    }
    if (!err && fsync(out) != 0) err = io_error(errno, to, "sync", to);
    ::close(in);
    if (::close(out) != 0 && !err) err = io_error(errno, to, "close", to);
    return err;
  }

  std::string dir_;
  std::string repo_;
  std::map<int64_t, int> readers_;

};

}  // namespace

std::unique_ptr<ContentStore> make_local_packs(const std::string &repo_dir) {
  return std::make_unique<LocalPacks>(repo_dir);
}

ostrel_error *make_packs_dir(const std::string &repo_dir) {
  const std::string dir = repo_dir + "/" + kPacksDir;
  if (::mkdir(dir.c_str(), 0755) != 0) {
    if (errno == EEXIST) return nullptr;
    return ostrel_error_from_errno(errno, "Can't create directory '%s'", dir.c_str());
  }
  return sync_dir(repo_dir);
}

}  // namespace ostrel::fs
