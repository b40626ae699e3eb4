// The stand-in game on Windows: like the real game it keeps its data inside
// its own executable image.  The image is linked at base 0x400000 without
// relocations, and a zero-filled static area in it spans the game's fixed
// addresses 0x976274 and 0x9A9468; the objects the pointer chain leads to
// sit in the same area, so every address fits in 32 bits.
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
  return game::runGame(options, p1, kP2, static_cast<long>(GetCurrentProcessId()),
                       [] {
                         Sleep(10);
                         return true;
                       });
}
