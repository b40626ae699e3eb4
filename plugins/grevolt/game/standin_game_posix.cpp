// The stand-in game on Linux: a program named GREVOLT.exe that maps memory at
// the game's fixed addresses and moves the player there (see motion.h).
// It allows any process of the same user to read its memory (Yama's
// PR_SET_PTRACER), so that a probe started beside it, not only its parent,
// can attach where the system restricts ptrace to descendants; with
// --refuse-readers it makes itself not dumpable instead, which leaves reading
// it to processes with the privilege to trace any process.  With
// --protect-on-signal, SIGUSR1 makes it take read access away from the page
// that holds the position, as a game may do with memory it frees.
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <thread>

#include "motion.h"

#ifndef MAP_FIXED_NOREPLACE
#define MAP_FIXED_NOREPLACE 0x100000
#endif

namespace {

constexpr std::uintptr_t kPageSize = 4096;
// Where the stand-in keeps the objects the chain points to: below 4 GiB, as
// in a 32-bit game.
constexpr std::uintptr_t kP1Page = 0x30000000;
constexpr std::uintptr_t kP2Page = 0x30010000;
constexpr std::uintptr_t kHolePage = 0x30020000;

volatile std::sig_atomic_t protectionRequested = 0;

void requestProtection(int) { protectionRequested = 1; }

void *mapPageAt(std::uintptr_t address) {
  std::uintptr_t page = address & ~(kPageSize - 1);
  void *want = reinterpret_cast<void *>(page);
  void *got = mmap(want, kPageSize, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
  if (got != want) {
    std::fprintf(stderr, "GREVOLT.exe: cannot map memory at %#lx\n",
                 static_cast<unsigned long>(page));
    std::exit(1);
  }
  return got;
}

}  // namespace

int main(int argc, char **argv) {
  const game::Options options = game::parseOptions(argc, argv);
  if (options.refuseReaders) {
    prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
  } else {
    prctl(PR_SET_PTRACER, PR_SET_PTRACER_ANY, 0, 0, 0);  // fails harmlessly without Yama
  }
  if (options.protectOnSignal) {
    struct sigaction action {};
    action.sa_handler = requestProtection;
    sigemptyset(&action.sa_mask);
    sigaction(SIGUSR1, &action, nullptr);
  }

  mapPageAt(game::kPositionAddress);
  mapPageAt(game::kChainRootAddress);
  mapPageAt(kP1Page);
  mapPageAt(kP2Page);
  // Make sure nothing is mapped where the unreadable chain leads.
  munmap(mapPageAt(kHolePage), kPageSize);

  const std::uintptr_t p1 = (options.unreadableChain ? kHolePage : kP1Page) + 0x40;
  const std::uintptr_t p2 = kP2Page + 0x80;
  bool positionReadable = true;
  return game::runGame(options, p1, p2, static_cast<long>(getpid()), [&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const bool requested =
        protectionRequested != 0 ||
        (!options.protectWhenFile.empty() && ::access(options.protectWhenFile.c_str(), F_OK) == 0);
    if (requested && positionReadable) {
      const std::uintptr_t page = game::kPositionAddress & ~(kPageSize - 1);
      if (mprotect(reinterpret_cast<void *>(page), kPageSize, PROT_NONE) != 0) {
        std::perror("GREVOLT.exe: mprotect");
        std::exit(1);
      }
      positionReadable = false;
      game::announceProtected();
    }
    return positionReadable;
  });
}
