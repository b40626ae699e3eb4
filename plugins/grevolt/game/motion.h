// What the stand-in game writes where, shared by its POSIX and Windows builds.
//
// The player walks a circle of radius 40 around an origin at 0.5 rad/s,
// facing along the circle, upright.  The layout is the one the plug-in reads:
// position at 0x976274; the 32-bit pointer P1 at 0x9A9468; P2 at P1 + 152;
// top vector at P2 + 76 and front vector at P2 + 92.
#ifndef GREVOLT_GAME_MOTION_H
#define GREVOLT_GAME_MOTION_H

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace game {

inline constexpr std::uint32_t kPositionAddress = 0x976274;
inline constexpr std::uint32_t kChainRootAddress = 0x9A9468;
inline constexpr std::uint32_t kChainSecondOffset = 152;
inline constexpr std::uint32_t kTopOffset = 76;
inline constexpr std::uint32_t kFrontOffset = 92;

struct Options {
  bool unreadableChain = false;
  bool still = false;
  bool protectOnSignal = false;  // Linux stand-in only
  bool refuseReaders = false;    // Linux stand-in only
  std::string protectWhenFile;   // empty = never
  double exitAfter = 0;  // seconds; 0 = run until stopped
  float origin[3] = {100.0f, 20.0f, -300.0f};
};

struct Pose {
  float position[3];
  float front[3];
  float top[3];
};

inline Pose poseAt(const Options &options, double seconds) {
  const double angle = options.still ? 0.0 : 0.5 * seconds;
  const double radius = 40.0;
  Pose pose{};
  pose.position[0] = static_cast<float>(options.origin[0] + radius * std::cos(angle));
  pose.position[1] = options.origin[1];
  pose.position[2] = static_cast<float>(options.origin[2] + radius * std::sin(angle));
  pose.front[0] = static_cast<float>(-std::sin(angle));
  pose.front[1] = 0.0f;
  pose.front[2] = static_cast<float>(std::cos(angle));
  pose.top[0] = 0.0f;
  pose.top[1] = 1.0f;
  pose.top[2] = 0.0f;
  return pose;
}

inline void writeVector(std::uintptr_t address, const float (&vector)[3]) {
  volatile float *target = reinterpret_cast<volatile float *>(address);
  for (int i = 0; i < 3; ++i) target[i] = vector[i];
}

inline void writePose(std::uintptr_t p2, const Pose &pose) {
  writeVector(kPositionAddress, pose.position);
  writeVector(p2 + kTopOffset, pose.top);
  writeVector(p2 + kFrontOffset, pose.front);
}

inline const char kUsage[] =
    "Usage: GREVOLT.exe [--still] [--unreadable-chain] [--exit-after SECONDS]\n"
    "                   [--origin X,Y,Z] [--protect-when-file FILE]\n"
    "                   [--protect-on-signal] [--refuse-readers]\n"
    "A stand-in for the game: holds a player's position, front and top vectors\n"
    "at the game's memory addresses and moves the player along a circle.\n"
    "  --still             keep the player at the start of the circle\n"
    "  --unreadable-chain  make the pointer chain to the vectors lead nowhere\n"
    "  --exit-after S      exit after S seconds\n"
    "  --origin X,Y,Z      centre of the circle (default 100,20,-300)\n"
    "  --protect-when-file FILE\n"
    "                      once FILE exists, make the page holding the position\n"
    "                      unreadable, stop moving and print a 'protected' line\n"
    "                      (on Windows the memory of the vectors is released too)\n"
    "  --protect-on-signal (Linux) the same on SIGUSR1\n"
    "  --refuse-readers    (Linux) let only processes with the privilege to trace\n"
    "                      any process read this one's memory\n"
    "Prints one 'ready' line with the first pose once the memory is in place.\n";

// Parses the command line; exits with status 2 on a usage error.
inline Options parseOptions(int argc, char **argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--still") {
      options.still = true;
    } else if (arg == "--unreadable-chain") {
      options.unreadableChain = true;
    } else if (arg == "--protect-on-signal") {
      options.protectOnSignal = true;
    } else if (arg == "--refuse-readers") {
      options.refuseReaders = true;
    } else if (arg == "--exit-after" && i + 1 < argc) {
      char *end = nullptr;
      options.exitAfter = std::strtod(argv[++i], &end);
      if (*end != '\0' || options.exitAfter < 0) {
        std::fprintf(stderr, "GREVOLT.exe: bad number of seconds '%s'\n", argv[i]);
        std::exit(2);
      }
    } else if (arg == "--protect-when-file" && i + 1 < argc) {
      options.protectWhenFile = argv[++i];
    } else if (arg == "--origin" && i + 1 < argc) {
      if (std::sscanf(argv[++i], "%f,%f,%f", &options.origin[0], &options.origin[1],
                      &options.origin[2]) != 3) {
        std::fprintf(stderr, "GREVOLT.exe: bad origin '%s'\n", argv[i]);
        std::exit(2);
      }
    } else if (arg == "--help") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    } else {
      std::fprintf(stderr, "GREVOLT.exe: unknown argument '%s'\n%s", arg.c_str(), kUsage);
      std::exit(2);
    }
  }
  return options;
}

// The line tests and the demo wait for; %.9g gives back every float exactly.
inline void announceReady(long processId, const Pose &pose) {
  std::printf(
      "GREVOLT.exe ready: pid %ld position %.9g %.9g %.9g front %.9g %.9g %.9g top %.9g %.9g "
      "%.9g\n",
      processId, pose.position[0], pose.position[1], pose.position[2], pose.front[0],
      pose.front[1], pose.front[2], pose.top[0], pose.top[1], pose.top[2]);
  std::fflush(stdout);
}

// The line that tells a test the position page has just become unreadable.
inline void announceProtected() {
  std::printf("GREVOLT.exe protected: the position page is unreadable\n");
  std::fflush(stdout);
}

inline void writePointer(std::uintptr_t address, std::uint32_t value) {
  *reinterpret_cast<volatile std::uint32_t *>(address) = value;
}

// Lays the pointer chain (P1 -> P2; with an unreadable chain P1 leads to
// memory that cannot be read and P2 is never written), writes the first pose,
// announces it, then moves the player every 10 ms until the time is up.
// `pause10ms` is the system's sleep; it returns false once the game has made
// its position unreadable to itself, and from then on the player stands still.
template <typename Pause>
int runGame(const Options &options, std::uintptr_t p1, std::uintptr_t p2, long processId,
            Pause pause10ms) {
  writePointer(kChainRootAddress, static_cast<std::uint32_t>(p1));
  if (!options.unreadableChain) {
    writePointer(p1 + kChainSecondOffset, static_cast<std::uint32_t>(p2));
  }
  const auto start = std::chrono::steady_clock::now();
  Pose pose = poseAt(options, 0.0);
  writePose(p2, pose);
  announceReady(processId, pose);
  bool moving = true;
  for (;;) {
    moving = pause10ms() && moving;
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (options.exitAfter > 0 && seconds >= options.exitAfter) return 0;
    if (moving) writePose(p2, poseAt(options, seconds));
  }
}

}  // namespace game

#endif  // GREVOLT_GAME_MOTION_H
