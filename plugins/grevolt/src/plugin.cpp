// The plug-in: its two descriptor records, the attachment to the game process
// and the position fetch.
//
// State (library-wide, all zero at load):
//   not attached: processHandle == kNoProcess, processId == 0
//   attached:     processHandle open for reading only, processId the game's
// A try-lock moves to "attached" only after the game process was found, its
// module "GREVOLT.exe" seen, the process opened, the vector addresses
// resolved and one trial fetch succeeded; any failure on the way leaves the
// state "not attached" with nothing open.  Only unlock() (or the next
// try-lock) leaves "attached"; a failed fetch does not.
//
// Game memory (32-bit little-endian process, absolute addresses):
//   0x976274        position, 3 floats
//   0x9A9468        P1
//   P1 + 152        P2
//   P2 + 76 / + 92  top / front vector, 3 floats each
// The pointer chain is followed once per try-lock, one pointer after the
// other; fetch reads the three 12-byte vectors with one gathered platform read
// and allocates nothing.
#include <cstring>

#include "grevolt.h"
#include "platform.h"
#include "plugin_internal.h"

namespace grevolt {
namespace {

constexpr wchar_t kGameName[] = L"GREVOLT.exe";

struct GameAttachment {
  std::uint32_t processId;
  ProcessHandle processHandle;
};

GameAttachment attachment{0, kNoProcess};
std::uint32_t frontAddress = 0;
std::uint32_t topAddress = 0;
Platform *platform = nullptr;

Platform &currentPlatform() { return platform != nullptr ? *platform : nativePlatform(); }

// Exact comparison: whole name, code unit by code unit, case-sensitive.
bool isGameName(std::wstring_view name) { return name == kGameName; }

// Identifier of the first process named "GREVOLT.exe" in the system's order,
// or 0.
std::uint32_t findGameProcess() {
  std::uint32_t found = 0;
  currentPlatform().forEachProcess([&](std::wstring_view name, std::uint32_t processId) {
    if (!isGameName(name)) return false;
    found = processId;
    return true;
  });
  return found;
}

// Whether the process has the module "GREVOLT.exe" loaded.  Its load address
// is not used: the game addresses are absolute.
bool findGameModule(std::uint32_t processId) {
  bool found = false;
  currentPlatform().forEachModule(processId, [&](std::wstring_view name, std::uint64_t) {
    found = isGameName(name);
    return found;
  });
  return found;
}

void dropAttachment() {
  if (attachment.processHandle != kNoProcess) currentPlatform().close(attachment.processHandle);
  attachment = {0, kNoProcess};
}

bool attachToGame(const ProcessMap &processes) {
  // A handle still held here belongs to an attachment the host did not
  // unlock; close it rather than leak it.
  dropAttachment();

  std::uint32_t processId = 0;
  if (!processes.empty()) {
    // The first entry in key order with exactly this key; find() may return
    // any of several equal entries.
    const std::wstring key(kGameName);
    auto entry = processes.lower_bound(key);
    if (entry == processes.end() || entry->first != key) return false;
    processId = static_cast<std::uint32_t>(entry->second & 0xFFFFFFFFu);
  } else {
    processId = findGameProcess();
  }
  if (processId == 0) return false;
  attachment.processId = processId;

  if (!findGameModule(processId)) {
    attachment.processId = 0;
    return false;
  }
  ProcessHandle handle = currentPlatform().openForReading(processId);
  if (handle == kNoProcess) {
    attachment.processId = 0;
    return false;
  }
  attachment.processHandle = handle;
  return true;
}

// Reads one pointer of the game; a failed read leaves it 0.
std::uint32_t readPointer(Platform &os, std::uint32_t address) {
  std::uint32_t pointer = 0;
  std::size_t copied = 0;
  const MemoryRange range{address, &pointer, sizeof pointer};
  os.readMemory(attachment.processHandle, {&range, 1}, &copied);
  return pointer;
}

// Follows the game's pointer chain once.  Failed reads leave their pointer at
// 0; the trial fetch that follows decides whether the addresses are usable.
void resolveVectorAddresses() {
  Platform &os = currentPlatform();
  const std::uint32_t p1 = readPointer(os, kChainRootAddress);
  const std::uint32_t p2 = readPointer(os, p1 + kChainSecondOffset);
  // 32-bit address arithmetic, as in the game.
  topAddress = static_cast<std::uint32_t>(p2 + kTopOffset);
  frontAddress = static_cast<std::uint32_t>(p2 + kFrontOffset);
}

int fetch(float *avatarPosition, float *avatarFront, float *avatarTop, float *cameraPosition,
          float *cameraFront, float *cameraTop, std::string & /*context*/,
          std::wstring & /*identity*/) {
  for (float *vector : {avatarPosition, avatarFront, avatarTop, cameraPosition, cameraFront,
                        cameraTop}) {
    vector[0] = vector[1] = vector[2] = 0.0f;
  }
  if (attachment.processHandle == kNoProcess) return 0;

  // Straight into the avatar arrays.  A read that stops early leaves the
  // arrays before the failing one filled, the failing one holding what was
  // copied of it and the later ones zero.
  constexpr std::size_t kVectorBytes = 3 * sizeof(float);
  const MemoryRange vectors[3] = {{kPositionAddress, avatarPosition, kVectorBytes},
                                  {frontAddress, avatarFront, kVectorBytes},
                                  {topAddress, avatarTop, kVectorBytes}};
  std::size_t copied = 0;
  // The platform's verdict alone is not trusted: every byte must be there.
  if (!currentPlatform().readMemory(attachment.processHandle, vectors, &copied) ||
      copied != 3 * kVectorBytes) {
    return 0;
  }

  for (int i = 0; i < 3; ++i) {
    cameraPosition[i] = avatarPosition[i];
    cameraFront[i] = avatarFront[i];
    cameraTop[i] = avatarTop[i];
  }
  return 1;
}

int tryLockWithProcesses(const ProcessMap &processes) {
  frontAddress = 0;
  topAddress = 0;
  if (!attachToGame(processes)) return 0;
  resolveVectorAddresses();

  // The trial read goes to scratch outputs: the host's arrays are not touched.
  float scratch[6][3];
  std::string context;
  std::wstring identity;
  if (fetch(scratch[0], scratch[1], scratch[2], scratch[3], scratch[4], scratch[5], context,
            identity) == 1) {
    return 1;
  }
  dropAttachment();
  return 0;
}

int tryLock() {
  const ProcessMap none;
  return tryLockWithProcesses(none);
}

void unlock() { dropAttachment(); }

std::wstring longDescription() {
  return L"Supports Battlefield 1942 v1.61b. No identity or context support yet.";
}

// Built during library initialisation, before any export can be called;
// destroyed at unload.  Declaration order fixes the construction order.
const std::wstring description = L"Battlefield 1942 v1.61b";
const std::wstring shortName = L"Battlefield 1942";

PluginDescriptor descriptor{
    kPluginMagic, description, shortName, nullptr, nullptr, tryLock, unlock, longDescription,
    fetch};

PluginDescriptor2 descriptor2{kPluginMagic2, 2, tryLockWithProcesses};

#if defined(_WIN32) && !defined(_WIN64)
// The shipping build: one 32-bit word per field.
static_assert(sizeof(PluginDescriptor) == 9 * 4, "PluginDescriptor must be 9 words of 32 bits");
static_assert(sizeof(PluginDescriptor2) == 3 * 4, "PluginDescriptor2 must be 3 words of 32 bits");
#endif

}  // namespace

void setPlatform(Platform *replacement) { platform = replacement; }

}  // namespace grevolt

extern "C" {
GREVOLT_EXPORT PluginDescriptor *getBrellanPlugin() { return &grevolt::descriptor; }
GREVOLT_EXPORT PluginDescriptor2 *getBrellanPlugin2() { return &grevolt::descriptor2; }
}
