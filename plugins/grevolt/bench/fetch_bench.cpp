// fetch latency against baselines measured in the same run against the same
// stand-in game, at the same addresses: one raw process_vm_readv of the three
// 12-byte vectors (the least any implementation has to do, and the target);
// the same followed by a poll of a pidfd of the game (what fetch does to make
// sure the game, not a process that took over its identifier, was read); and
// three raw 12-byte preads of /proc/PID/mem (one system call per vector).
// Prints medians over batches and their ratios.
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "child_game.h"
#include "grevolt.h"

namespace {

constexpr int kBatch = 100;

template <typename Body>
double medianNanosPerCall(int batches, Body body) {
  std::vector<double> perCall;
  for (int b = 0; b < batches; ++b) {
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kBatch; ++i) body();
    auto elapsed = std::chrono::steady_clock::now() - start;
    perCall.push_back(std::chrono::duration<double, std::nano>(elapsed).count() / kBatch);
  }
  std::nth_element(perCall.begin(), perCall.begin() + batches / 2, perCall.end());
  return perCall[batches / 2];
}

}  // namespace

int main(int argc, char **argv) {
  int batches = argc > 1 ? std::atoi(argv[1]) : 2000;
  if (batches < 1) batches = 1;
  grevolt_test::ChildGame game(GREVOLT_GAME_FILE, {"--exit-after", "120"});

  void *library = dlopen(GREVOLT_PLUGIN_FILE, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    std::fprintf(stderr, "fetch_bench: %s\n", dlerror());
    return 1;
  }
  auto plugin = reinterpret_cast<GetPluginFunction>(dlsym(library, "getBrellanPlugin"))();
  if (plugin->tryLock() != 1) {
    std::fprintf(stderr, "fetch_bench: the plug-in did not attach to the stand-in game\n");
    return 1;
  }

  // Baseline: resolve the chain once, then three preads per round.
  int mem = open(("/proc/" + std::to_string(game.pid()) + "/mem").c_str(), O_RDONLY | O_CLOEXEC);
  std::uint32_t p1 = 0, p2 = 0;
  if (mem < 0 || pread(mem, &p1, 4, 0x9A9468) != 4 || pread(mem, &p2, 4, p1 + 152) != 4) {
    std::fprintf(stderr, "fetch_bench: cannot read the game's memory directly\n");
    return 1;
  }
  float position[3], front[3], top[3], camera[3][3];
  std::string context;
  std::wstring identity;
  bool allGood = true;
  auto preads = [&] {
    allGood &= pread(mem, position, 12, 0x976274) == 12;
    allGood &= pread(mem, front, 12, p2 + 92) == 12;
    allGood &= pread(mem, top, 12, p2 + 76) == 12;
  };
  const iovec local[3] = {{position, 12}, {front, 12}, {top, 12}};
  const iovec remote[3] = {{reinterpret_cast<void *>(std::uintptr_t{0x976274}), 12},
                           {reinterpret_cast<void *>(std::uintptr_t{p2 + 92}), 12},
                           {reinterpret_cast<void *>(std::uintptr_t{p2 + 76}), 12}};
  auto gathered = [&] { allGood &= process_vm_readv(game.pid(), local, 3, remote, 3, 0) == 36; };
  const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, game.pid(), 0));
  if (pidfd < 0) {
    std::fprintf(stderr, "fetch_bench: no pidfd of the game\n");
    return 1;
  }
  auto guarded = [&] {
    allGood &= process_vm_readv(game.pid(), local, 3, remote, 3, 0) == 36;
    pollfd ended{pidfd, POLLIN, 0};
    allGood &= poll(&ended, 1, 0) == 0;
  };
  auto viaPlugin = [&] {
    allGood &= plugin->fetch(position, front, top, camera[0], camera[1], camera[2], context,
                             identity) == 1;
  };
  // Interleave the measurements so that drifts of the machine hit all three.
  medianNanosPerCall(batches / 10 + 1, preads);  // warm-up
  double preadsNs = 0, gatheredNs = 0, guardedNs = 0, pluginNs = 0;
  for (int round = 0; round < 4; ++round) {
    preadsNs += medianNanosPerCall(batches / 4 + 1, preads);
    gatheredNs += medianNanosPerCall(batches / 4 + 1, gathered);
    guardedNs += medianNanosPerCall(batches / 4 + 1, guarded);
    pluginNs += medianNanosPerCall(batches / 4 + 1, viaPlugin);
  }
  preadsNs /= 4;
  gatheredNs /= 4;
  guardedNs /= 4;
  pluginNs /= 4;
  plugin->unlock();
  close(mem);
  close(pidfd);
  dlclose(library);
  if (!allGood) {
    std::fprintf(stderr, "fetch_bench: a read failed during the measurement\n");
    return 1;
  }
  std::printf("one raw 3-vector process_vm_readv (target): %8.0f ns per call\n", gatheredNs);
  std::printf("the same and a poll of the game's pidfd:     %8.0f ns per call\n", guardedNs);
  std::printf("three raw 12-byte preads:                   %8.0f ns per round\n", preadsNs);
  std::printf("plug-in fetch:                              %8.0f ns per call\n", pluginNs);
  std::printf("ratio fetch / process_vm_readv:             %8.2f (target <= 1.10)\n",
              pluginNs / gatheredNs);
  std::printf("ratio fetch / process_vm_readv and poll:    %8.2f\n", pluginNs / guardedNs);
  std::printf("ratio process_vm_readv and poll / alone:     %8.2f (the cost of the check)\n",
              guardedNs / gatheredNs);
  std::printf("ratio fetch / three preads:                 %8.2f\n", pluginNs / preadsNs);
  std::printf("ratio process_vm_readv / three preads:      %8.2f\n", gatheredNs / preadsNs);
  return 0;
}
