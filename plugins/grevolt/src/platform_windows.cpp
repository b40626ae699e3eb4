// Windows implementation of the platform seam: Toolhelp snapshots for
// processes and modules, OpenProcess with memory-read access only, and
// ReadProcessMemory, which fails on memory the game cannot read either.  Every
// snapshot is closed before its walk returns, on a match as well as at the end.
#include <windows.h>
// tlhelp32.h needs windows.h first.
#include <tlhelp32.h>

#include "platform.h"

namespace grevolt {
namespace {

#if !defined(_WIN64)
// The entry records as the 32-bit shipping build hands them to the system.
static_assert(sizeof(PROCESSENTRY32W) == 556, "process entry record size");
static_assert(sizeof(MODULEENTRY32W) == 1064, "module entry record size");
#endif

constexpr DWORD kSnapProcesses = TH32CS_SNAPPROCESS;  // 2
constexpr DWORD kSnapModules = TH32CS_SNAPMODULE;     // 8
constexpr DWORD kReadAccess = PROCESS_VM_READ;        // 16
static_assert(kSnapProcesses == 2 && kSnapModules == 8 && kReadAccess == 16);

class Snapshot {
 public:
  Snapshot(DWORD kind, DWORD processId) : handle_(CreateToolhelp32Snapshot(kind, processId)) {}
  ~Snapshot() {
    if (valid()) CloseHandle(handle_);
  }
  Snapshot(const Snapshot &) = delete;
  Snapshot &operator=(const Snapshot &) = delete;

  bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

class WindowsPlatform final : public Platform {
 public:
  bool forEachProcess(ProcessVisitor visit) override {
    Snapshot snapshot(kSnapProcesses, 0);
    if (!snapshot.valid()) return false;
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
         more = Process32NextW(snapshot.get(), &entry)) {
      if (visit(entry.szExeFile, static_cast<std::uint32_t>(entry.th32ProcessID))) break;
    }
    return true;
  }

  bool forEachModule(std::uint32_t processId, ModuleVisitor visit) override {
    Snapshot snapshot(kSnapModules, processId);
    if (!snapshot.valid()) return false;
    MODULEENTRY32W entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Module32FirstW(snapshot.get(), &entry); more;
         more = Module32NextW(snapshot.get(), &entry)) {
      auto address = reinterpret_cast<std::uintptr_t>(entry.modBaseAddr);
      if (visit(entry.szModule, static_cast<std::uint64_t>(address))) break;
    }
    return true;
  }

  ProcessHandle openForReading(std::uint32_t processId) override {
    HANDLE process = OpenProcess(kReadAccess, FALSE, processId);
    return reinterpret_cast<ProcessHandle>(process);  // null = kNoProcess
  }

  bool readMemory(ProcessHandle process, std::span<const MemoryRange> ranges,
                  std::size_t *copied) override {
    // One ReadProcessMemory per range, in order, stopping at the first that
    // fails or copies less than asked.
    *copied = 0;
    if (ranges.size() > kMaxRanges) return false;
    for (const MemoryRange &range : ranges) {
      SIZE_T done = 0;
      BOOL ok = ReadProcessMemory(
          reinterpret_cast<HANDLE>(process),
          reinterpret_cast<LPCVOID>(static_cast<std::uintptr_t>(range.address)),
          range.destination, range.size, &done);
      *copied += static_cast<std::size_t>(done);
      if (ok == 0 || done != range.size) return false;
    }
    return true;
  }

  void close(ProcessHandle process) override {
    if (process != kNoProcess) CloseHandle(reinterpret_cast<HANDLE>(process));
  }
};

}  // namespace

Platform &nativePlatform() {
  static WindowsPlatform platform;
  return platform;
}

}  // namespace grevolt
