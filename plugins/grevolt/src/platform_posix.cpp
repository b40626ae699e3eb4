// POSIX (Linux) implementation of the platform seam, through /proc.
//
// - Processes: the numeric entries of /proc in increasing identifier order.
//   Each is visited under its command name (/proc/PID/comm) and, when that
//   differs, under the base name of its executable file (/proc/PID/exe): a
//   game started through a link of another name is still seen by its file's
//   name, and a game run by an interpreter (whose executable is the
//   interpreter) by the name it was started under.  The kernel keeps at most
//   15 bytes of the command name; a name of exactly that length is replaced by
//   the executable's base name when that starts with it.
// - Modules: the files mapped in /proc/PID/maps, each once, at its lowest
//   mapped address (the file is listed in address order); the kernel's
//   " (deleted)" suffix is not part of the name.
// - Reading: process_vm_readv, one call for all ranges of a read.  Like the
//   game itself, it cannot read pages without read permission.  That call
//   names the process by its identifier, which the system hands to another
//   process once the game has ended; so opening also takes a pidfd of the
//   game, and every read asks it, after the call, whether the game still
//   runs: if it does, the identifier named the game during the read.  Opening
//   makes one read at address 0 to learn whether the kernel lets this process
//   read that one (that needs ptrace permission over it: same user and the
//   system's ptrace restriction, or the privilege to bypass them).
// - Where process_vm_readv or pidfds are missing (ENOSYS) or forbidden (EPERM,
//   also by a system-call filter), reads fall back to preads of
//   /proc/PID/mem, which stays bound to the game's memory and reads nothing
//   once the game has ended, but only on kernels where that file refuses
//   unreadable pages too: many kernels read through them there, as a debugger
//   may, and a read that ignores the game's protection would deliver
//   whatever stands there.  Elsewhere the open fails.
// Names are taken as UTF-8; bytes that do not decode become U+FFFD.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <unordered_set>
#include <vector>

#include "platform.h"
#include "platform_posix.h"

namespace grevolt {
namespace {

constexpr std::size_t kCommBytes = 15;  // TASK_COMM_LEN - 1
constexpr std::string_view kDeletedSuffix = " (deleted)";

std::wstring decodeUtf8(std::string_view bytes) {
  std::wstring out;
  out.reserve(bytes.size());
  std::size_t i = 0;
  while (i < bytes.size()) {
    unsigned lead = static_cast<unsigned char>(bytes[i]);
    std::size_t extra = lead < 0x80 ? 0 : (lead & 0xE0) == 0xC0 ? 1 : (lead & 0xF0) == 0xE0 ? 2
                                      : (lead & 0xF8) == 0xF0     ? 3
                                                                  : 4;
    // Payload bits of the lead byte: 7, 5, 4 or 3.
    char32_t code = lead & (0x7Fu >> (extra + (extra > 0 ? 1 : 0)));
    bool valid = extra < 4 && i + extra < bytes.size();
    for (std::size_t k = 1; valid && k <= extra; ++k) {
      unsigned next = static_cast<unsigned char>(bytes[i + k]);
      valid = (next & 0xC0) == 0x80;
      code = (code << 6) | (next & 0x3F);
    }
    if (!valid) {
      out.push_back(static_cast<wchar_t>(0xFFFD));
      ++i;
      continue;
    }
    out.push_back(static_cast<wchar_t>(code));
    i += extra + 1;
  }
  return out;
}

// Reads a whole (small) file; false when it cannot be opened or read.
bool readFile(const std::string &path, std::string *contents) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  contents->clear();
  char buffer[4096];
  bool ok = true;
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;
    contents->append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return ok;
}

std::string_view baseName(std::string_view path) {
  std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::string_view withoutDeletedSuffix(std::string_view path) {
  if (path.size() >= kDeletedSuffix.size() &&
      path.substr(path.size() - kDeletedSuffix.size()) == kDeletedSuffix) {
    path.remove_suffix(kDeletedSuffix.size());
  }
  return path;
}

// The names of one process: its command name and, when it can be read and
// differs, the base name of its executable file (else empty).  False when the
// process has gone away.
bool processNames(std::uint32_t processId, std::string *command, std::string *file) {
  const std::string dir = "/proc/" + std::to_string(processId);
  if (!readFile(dir + "/comm", command)) return false;
  if (!command->empty() && command->back() == '\n') command->pop_back();
  file->clear();
  char target[PATH_MAX];
  // Refused for processes this one may not trace; the command name remains.
  ssize_t n = ::readlink((dir + "/exe").c_str(), target, sizeof target);
  if (n > 0 && static_cast<std::size_t>(n) < sizeof target) {
    std::string_view base = baseName(withoutDeletedSuffix({target, static_cast<std::size_t>(n)}));
    if (command->size() == kCommBytes && base.size() > command->size() &&
        base.substr(0, command->size()) == *command) {
      command->assign(base);  // the command name was cut short
    } else if (base != *command) {
      file->assign(base);
    }
  }
  return true;
}

#ifndef SYS_pidfd_open
#define SYS_pidfd_open 434  // the same number on every architecture
#endif

// What a handle points to: the game read with process_vm_readv (processId,
// and the pidfd that tells whether it still runs), or through its
// /proc/PID/mem (memoryFile; processId and pidfd unused).
struct OpenGame {
  pid_t processId;
  int pidfd;
  int memoryFile;
};

ProcessHandle toHandle(OpenGame *game) { return reinterpret_cast<ProcessHandle>(game); }
OpenGame &fromHandle(ProcessHandle handle) { return *reinterpret_cast<OpenGame *>(handle); }

// Whether the process of the pidfd has ended (it may still wait to be
// reaped, but its identifier is about to be free); also when that cannot be
// told.
bool hasEnded(int pidfd) {
  pollfd ended{pidfd, POLLIN, 0};
  int n;
  do {
    n = ::poll(&ended, 1, 0);
  } while (n < 0 && errno == EINTR);
  return n != 0;
}

// Whether preads of /proc/PID/mem fail on pages their process cannot read.
// The kernel decides that for all processes alike, as long as the reader is
// not tracing them, so a page of our own shows it; the answer does not change
// while the system runs.
bool memoryFileKeepsProtection() {
  static const bool keeps = [] {
    const long pageSize = ::sysconf(_SC_PAGESIZE);
    void *page = ::mmap(nullptr, static_cast<std::size_t>(pageSize), PROT_NONE,
                        MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (page == MAP_FAILED) return false;
    bool refused = false;
    int fd = ::open("/proc/self/mem", O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
      unsigned char byte = 0;
      refused = ::pread(fd, &byte, 1, static_cast<off_t>(reinterpret_cast<std::uintptr_t>(page))) < 0;
      ::close(fd);
    }
    ::munmap(page, static_cast<std::size_t>(pageSize));
    return refused;
  }();
  return keeps;
}

class PosixPlatform final : public Platform {
 public:
  explicit PosixPlatform(bool crossMemoryCall) : crossMemoryCall_(crossMemoryCall) {}

  bool forEachProcess(ProcessVisitor visit) override {
    std::vector<std::uint32_t> ids;
    {
      DIR *proc = ::opendir("/proc");
      if (proc == nullptr) return false;
      while (const dirent *entry = ::readdir(proc)) {
        char *end = nullptr;
        unsigned long id = std::strtoul(entry->d_name, &end, 10);
        if (end != entry->d_name && *end == '\0' && id > 0 && id <= UINT32_MAX) {
          ids.push_back(static_cast<std::uint32_t>(id));
        }
      }
      ::closedir(proc);
    }
    std::sort(ids.begin(), ids.end());
    std::string command;
    std::string file;
    for (std::uint32_t id : ids) {
      if (!processNames(id, &command, &file)) continue;  // ended since the listing
      if (visit(decodeUtf8(command), id)) break;
      if (!file.empty() && visit(decodeUtf8(file), id)) break;
    }
    return true;
  }

  bool forEachModule(std::uint32_t processId, ModuleVisitor visit) override {
    std::string maps;
    if (!readFile("/proc/" + std::to_string(processId) + "/maps", &maps)) return false;
    std::unordered_set<std::string_view> seen;
    std::string_view rest = maps;
    while (!rest.empty()) {
      std::size_t eol = rest.find('\n');
      std::string_view line = rest.substr(0, eol);
      rest.remove_prefix(eol == std::string_view::npos ? rest.size() : eol + 1);
      // "start-end perms offset dev inode   path"; only file mappings have a
      // path beginning with '/'.
      std::size_t path = line.find('/');
      if (path == std::string_view::npos) continue;
      std::string_view file = withoutDeletedSuffix(line.substr(path));
      if (!seen.insert(file).second) continue;
      std::uint64_t start = std::strtoull(std::string(line.substr(0, line.find('-'))).c_str(),
                                          nullptr, 16);
      if (visit(decodeUtf8(baseName(file)), start)) break;
    }
    return true;
  }

  ProcessHandle openForReading(std::uint32_t processId) override {
    if (processId == 0 || processId > static_cast<std::uint32_t>(INT_MAX)) return kNoProcess;
    const auto pid = static_cast<pid_t>(processId);
    if (crossMemoryCall_) {
      // Close-on-exec by itself.
      const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
      // ESRCH: no such process; EMFILE and the like: no descriptor to watch it.
      if (pidfd < 0 && errno != EPERM && errno != ENOSYS) return kNoProcess;
      if (pidfd >= 0) {
        // Address 0 is not mapped (short of a system allowing it): a
        // permitted read fails there with EFAULT, a refused one with EPERM,
        // and ESRCH says there is no such process (or one without memory).
        unsigned char byte = 0;
        iovec local{&byte, 1};
        iovec remote{nullptr, 1};
        const bool permitted =
            ::process_vm_readv(pid, &local, 1, &remote, 1, 0) >= 0 || errno == EFAULT;
        const int error = errno;
        if (permitted && !hasEnded(pidfd)) {
          if (auto *game = new (std::nothrow) OpenGame{pid, pidfd, -1}) return toHandle(game);
        }
        ::close(pidfd);
        if (permitted || (error != EPERM && error != ENOSYS)) return kNoProcess;
      }
    }
    if (!memoryFileKeepsProtection()) return kNoProcess;
    const std::string path = "/proc/" + std::to_string(processId) + "/mem";
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return kNoProcess;
    if (auto *game = new (std::nothrow) OpenGame{0, -1, fd}) return toHandle(game);
    ::close(fd);
    return kNoProcess;
  }

  bool readMemory(ProcessHandle process, std::span<const MemoryRange> ranges,
                  std::size_t *copied) override {
    *copied = 0;
    if (process == kNoProcess || ranges.size() > kMaxRanges) return false;
    std::size_t wanted = 0;
    for (const MemoryRange &range : ranges) wanted += range.size;

    const OpenGame &game = fromHandle(process);
    if (game.memoryFile < 0) {
      iovec local[kMaxRanges];
      iovec remote[kMaxRanges];
      for (std::size_t i = 0; i < ranges.size(); ++i) {
        local[i] = {ranges[i].destination, ranges[i].size};
        remote[i] = {reinterpret_cast<void *>(static_cast<std::uintptr_t>(ranges[i].address)),
                     ranges[i].size};
      }
      // The kernel stops at the first range it cannot copy and writes
      // nothing after it.
      ssize_t n = ::process_vm_readv(game.processId, local, ranges.size(), remote,
                                     ranges.size(), 0);
      if (n > 0 && hasEnded(game.pidfd)) {
        // What came may be another process's: wipe it.
        std::size_t left = static_cast<std::size_t>(n);
        for (std::size_t i = 0; i < ranges.size() && left > 0; ++i) {
          const std::size_t part = std::min(left, ranges[i].size);
          std::memset(ranges[i].destination, 0, part);
          left -= part;
        }
        return false;
      }
      if (n < 0) return false;
      *copied = static_cast<std::size_t>(n);
      return *copied == wanted;
    }

    const int fd = game.memoryFile;
    for (const MemoryRange &range : ranges) {
      ssize_t n = ::pread(fd, range.destination, range.size, static_cast<off_t>(range.address));
      if (n > 0) *copied += static_cast<std::size_t>(n);
      if (n < 0 || static_cast<std::size_t>(n) != range.size) return false;
    }
    return true;
  }

  void close(ProcessHandle process) override {
    if (process == kNoProcess) return;
    OpenGame *game = &fromHandle(process);
    ::close(game->memoryFile >= 0 ? game->memoryFile : game->pidfd);
    delete game;
  }

 private:
  const bool crossMemoryCall_;
};

}  // namespace

Platform &nativePlatform() {
  static PosixPlatform platform(true);
  return platform;
}

Platform &platformWithoutCrossMemoryCall() {
  static PosixPlatform platform(false);
  return platform;
}

}  // namespace grevolt
