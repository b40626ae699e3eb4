// The plug-in's one seam to the operating system: finding processes and their
// modules, and reading another process's memory.  Nothing outside the
// platform_*.cpp files includes a system header for these concerns, so tests
// can put a fake or a fault-injecting implementation in place.
//
// Contracts common to all implementations:
// - Names are executable or module file names without directory, as wide
//   strings, compared by the caller code unit by code unit.  A process may go
//   by more than one name (on Linux, the name it was started under and the
//   name of its executable file); it is then visited once under each, one
//   right after the other.
// - The enumerations call the visitor once per entry in the system's order
//   and stop as soon as it returns true.  They return false only when the
//   list itself cannot be taken; any resource they hold is released before
//   they return, on every path.
// - Addresses are the game's 32-bit addresses; load addresses are reported at
//   full width, since they serve only to tell whether a module is present.
// - A ProcessHandle of kNoProcess means "none"; readMemory through it fails.
// - Reads honour the game's page protection: memory the game cannot read
//   itself is not readable through readMemory either.
// - Nothing here allocates in readMemory, which `fetch` calls on every frame.
#ifndef GREVOLT_PLATFORM_H
#define GREVOLT_PLATFORM_H

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <type_traits>
#include <utility>

namespace grevolt {

// A non-owning reference to a callable, so that the enumerations need neither
// templates nor heap-allocated std::function objects.
template <typename Signature>
class FunctionRef;

template <typename Result, typename... Args>
class FunctionRef<Result(Args...)> {
 public:
  template <typename Callable,
            typename = std::enable_if_t<!std::is_same_v<std::decay_t<Callable>, FunctionRef>>>
  FunctionRef(Callable &&callable)  // NOLINT: implicit by design, like a function pointer
      : object_(const_cast<void *>(static_cast<const void *>(&callable))),
        call_([](void *object, Args... args) -> Result {
          return (*static_cast<std::remove_reference_t<Callable> *>(object))(
              std::forward<Args>(args)...);
        }) {}

  Result operator()(Args... args) const { return call_(object_, std::forward<Args>(args)...); }

 private:
  void *object_;
  Result (*call_)(void *, Args...);
};

// Opaque process handle: a HANDLE on Windows; on POSIX, the address of what
// the platform keeps of the opened process (platform_posix.cpp).
using ProcessHandle = std::uintptr_t;
inline constexpr ProcessHandle kNoProcess = 0;

// One piece of a read: `size` bytes at `address` in the game, into
// `destination`.
struct MemoryRange {
  std::uint32_t address;
  void *destination;
  std::size_t size;
};
inline constexpr std::size_t kMaxRanges = 4;

// Returns true to stop the walk.
using ProcessVisitor = FunctionRef<bool(std::wstring_view name, std::uint32_t processId)>;
using ModuleVisitor = FunctionRef<bool(std::wstring_view name, std::uint64_t loadAddress)>;

class Platform {
 public:
  virtual ~Platform() = default;

  // Every running process with its executable file name.  False when the
  // process list cannot be taken.
  virtual bool forEachProcess(ProcessVisitor visit) = 0;

  // The modules (mapped executable files) of one process, each once, with its
  // load address.  False when the module list cannot be taken.
  virtual bool forEachModule(std::uint32_t processId, ModuleVisitor visit) = 0;

  // Opens the process for reading its memory and nothing else; the handle is
  // not inherited by child processes.  kNoProcess on failure, also when the
  // system refuses this process reading that one's memory.
  virtual ProcessHandle openForReading(std::uint32_t processId) = 0;

  // Copies the ranges (at most kMaxRanges) in their order, with one system
  // call where the system can gather them.  Reading stops at the first range
  // that cannot be copied whole: the ranges before it are complete, it holds
  // as many leading bytes as were copied, and the destinations of the ranges
  // after it are not written.  `*copied` receives the total number of bytes
  // copied, also on failure.  Returns true only when every range was copied
  // whole.  A process that has ended is never read, even once another one
  // has received its identifier: the read fails with nothing copied, and
  // bytes it may have put into the destinations meanwhile are zeroed.
  virtual bool readMemory(ProcessHandle process, std::span<const MemoryRange> ranges,
                          std::size_t *copied) = 0;

  // Releases a handle from openForReading.
  virtual void close(ProcessHandle process) = 0;
};

// The implementation for the system the plug-in was built for; it lives as
// long as the library.
Platform &nativePlatform();

}  // namespace grevolt

#endif  // GREVOLT_PLATFORM_H
