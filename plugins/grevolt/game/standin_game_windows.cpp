// The stand-in game on Windows: like the real game it keeps its data inside
// its own executable image.  The image is linked at base 0x400000 without
// relocations, and a zero-filled static area in it spans the game's fixed
// addresses 0x976274 and 0x9A9468; the objects the pointer chain leads to
// sit in the same area, so every address fits in 32 bits.  The same source
// builds the 32-bit game (the real one is 32-bit) and a 64-bit one.
#include <windows.h>

#include "motion.h"

namespace {

// Large enough to reach past 0x9A9468 from wherever the linker puts it after
// the code and data of this small program.
constexpr std::size_t kStaticAreaBytes = 0x5C0000;
alignas(4096) unsigned char staticArea[kStaticAreaBytes];

constexpr std::uintptr_t kP1 = 0x980040;
constexpr std::uintptr_t kP2 = 0x990080;

bool inStaticArea(std::uintptr_t address, std::size_t size) {
  auto begin = reinterpret_cast<std::uintptr_t>(staticArea);
  return address >= begin && address + size <= begin + kStaticAreaBytes;
}

}  // namespace

int main(int argc, char **argv) {
  const game::Options options = game::parseOptions(argc, argv);
  if (options.protectOnSignal || options.refuseReaders) {
    std::fprintf(stderr, "GREVOLT.exe: --protect-on-signal and --refuse-readers are Linux only\n");
    return 2;
  }
  for (std::uintptr_t address : {std::uintptr_t{game::kPositionAddress},
                                 std::uintptr_t{game::kChainRootAddress}, kP1, kP2}) {
    if (!inStaticArea(address, 0x100)) {
      std::fprintf(stderr,
                   "GREVOLT.exe: the static area (%p, %#zx bytes) does not hold address %#lx; "
                   "was the image linked at 0x400000 without relocations?\n",
                   static_cast<void *>(staticArea), kStaticAreaBytes,
                   static_cast<unsigned long>(address));
      return 1;
    }
  }

  // The unreadable chain leads into reserved, never committed memory.
  std::uintptr_t p1 = kP1;
  if (options.unreadableChain) {
    void *reserved = VirtualAlloc(nullptr, 0x10000, MEM_RESERVE, PAGE_NOACCESS);
    p1 = reinterpret_cast<std::uintptr_t>(reserved) + 0x40;
    if (reserved == nullptr || p1 > 0xFFFFFF00u) p1 = 0x40;  // low memory is never readable
  }
  // A game that will make its memory unreadable keeps the vectors in memory
  // of their own, which it releases then: the compatibility layer reads
  // pages without access through, as a debugger may, but not released ones.
  std::uintptr_t p2 = kP2;
  void *vectorMemory = nullptr;
  if (!options.protectWhenFile.empty()) {
    for (void *want : {reinterpret_cast<void *>(std::uintptr_t{0x30010000}),
                       static_cast<void *>(nullptr)}) {
      vectorMemory = VirtualAlloc(want, 0x10000, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
      if (vectorMemory != nullptr) break;
    }
    p2 = reinterpret_cast<std::uintptr_t>(vectorMemory) + 0x80;
    if (vectorMemory == nullptr || p2 > 0xFFFFFF00u) {
      std::fprintf(stderr, "GREVOLT.exe: no memory below 4 GiB for the vectors\n");
      return 1;
    }
  }
  // The trigger file is looked for by its Windows name (Z: is the root of the
  // host's file system under the compatibility layer).
  bool positionReadable = true;
  return game::runGame(
      options, p1, p2, static_cast<long>(GetCurrentProcessId()), [&] {
        Sleep(10);
        if (positionReadable && !options.protectWhenFile.empty() &&
            GetFileAttributesA(options.protectWhenFile.c_str()) != INVALID_FILE_ATTRIBUTES) {
          DWORD previous = 0;
          void *page = reinterpret_cast<void *>(game::kPositionAddress & ~std::uintptr_t{0xFFF});
          if (VirtualProtect(page, 0x1000, PAGE_NOACCESS, &previous) == 0) {
            std::fprintf(stderr, "GREVOLT.exe: VirtualProtect failed (error %lu)\n",
                         static_cast<unsigned long>(GetLastError()));
            std::exit(1);
          }
          if (VirtualFree(vectorMemory, 0, MEM_RELEASE) == 0) {
            std::fprintf(stderr, "GREVOLT.exe: VirtualFree failed (error %lu)\n",
                         static_cast<unsigned long>(GetLastError()));
            std::exit(1);
          }
          positionReadable = false;
          game::announceProtected();
        }
        return positionReadable;
      });
}
