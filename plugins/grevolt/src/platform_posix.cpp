// POSIX (Linux) implementation of the platform seam, through /proc.
//
// - Processes: the numeric entries of /proc in increasing identifier order,
//   named by /proc/PID/comm.  The kernel keeps at most 15 bytes there; a name
//   of exactly that length may be cut short, so it is then replaced by the
//   base name of /proc/PID/exe when that starts with it.
// - Modules: the files mapped in /proc/PID/maps, each once, at its lowest
//   mapped address (the file is listed in address order); the kernel's
//   " (deleted)" suffix is not part of the name.
// - Reading: the handle is a read-only, close-on-exec descriptor of
//   /proc/PID/mem and a read is one pread at the address; a short read is a
//   failure.  Opening it needs ptrace permission over the process (same user
//   and the system's ptrace restriction, or the privilege to bypass them); a
//   refusal makes the open fail.
// Names are taken as UTF-8; bytes that do not decode become U+FFFD.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>
#include <unordered_set>
#include <vector>

#include "platform.h"

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

// The executable name of one process, or false when it has gone away.
bool processName(std::uint32_t processId, std::string *name) {
  const std::string dir = "/proc/" + std::to_string(processId);
  if (!readFile(dir + "/comm", name)) return false;
  if (!name->empty() && name->back() == '\n') name->pop_back();
  if (name->size() == kCommBytes) {
    char target[PATH_MAX];
    ssize_t n = ::readlink((dir + "/exe").c_str(), target, sizeof target);
    if (n > 0 && static_cast<std::size_t>(n) < sizeof target) {
      std::string_view full = baseName(withoutDeletedSuffix({target, static_cast<std::size_t>(n)}));
      if (full.size() > name->size() && full.substr(0, name->size()) == *name) name->assign(full);
    }
  }
  return true;
}

class PosixPlatform final : public Platform {
 public:
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
    std::string name;
    for (std::uint32_t id : ids) {
      if (!processName(id, &name)) continue;  // ended since the listing
      if (visit(decodeUtf8(name), id)) break;
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
    const std::string path = "/proc/" + std::to_string(processId) + "/mem";
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    return fd < 0 ? kNoProcess : static_cast<ProcessHandle>(fd) + 1;
  }

  bool readMemory(ProcessHandle process, std::uint32_t address, void *destination,
                  std::size_t size, std::size_t *copied) override {
    *copied = 0;
    if (process == kNoProcess) return false;
    ssize_t n = ::pread(static_cast<int>(process - 1), destination, size, static_cast<off_t>(address));
    if (n < 0) return false;
    *copied = static_cast<std::size_t>(n);
    return *copied == size;
  }

  void close(ProcessHandle process) override {
    if (process != kNoProcess) ::close(static_cast<int>(process - 1));
  }
};

}  // namespace

Platform &nativePlatform() {
  static PosixPlatform platform;
  return platform;
}

}  // namespace grevolt
