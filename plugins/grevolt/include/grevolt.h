// grevolt: positional-audio plug-in for the voice-chat client.
//
// This is the whole interface a host sees.  The plug-in is a shared library
// that exports exactly two functions, getBrellanPlugin and getBrellanPlugin2,
// each returning the address of one static descriptor record.  Everything
// else is reached through the entry-point pointers in those records.
//
// Contracts with the host:
// - Ownership: both records and the two name strings that `description` and
//   `shortName` refer to are static; they live as long as the library stays
//   loaded and never change.  The string returned by `longDescription` is a
//   new object owned by the caller.  The host's ProcessMap and the eight
//   `fetch` outputs are lent for one call and never kept.
// - Results: the try-locks and `fetch` return exactly 1 on success and 0 on
//   failure.  The plug-in prints nothing and keeps no error codes; the only
//   exception that can leave an entry point is std::bad_alloc.
// - Calling order: try-lock until one returns 1, then `fetch` as often as
//   wanted, then `unlock`.  `fetch` and `unlock` without an attachment are
//   harmless.  The host calls the entry points from one thread at a time: the
//   plug-in takes no locks.
// - Strings and the process map are standard-library objects that cross the
//   boundary in both directions, so host and plug-in must be built with the
//   same compiler and standard library, both linking the shared runtime.
//
// On the shipping platform (32-bit Windows) each record field is one 32-bit
// word: 9 words for PluginDescriptor, 3 for PluginDescriptor2.
#ifndef GREVOLT_H
#define GREVOLT_H

#include <cstdint>
#include <map>
#include <string>

// The plug-in's own build defines GREVOLT_BUILDING_PLUGIN; a host does not.
#if !defined(GREVOLT_BUILDING_PLUGIN)
#define GREVOLT_EXPORT
#elif defined(_WIN32)
#define GREVOLT_EXPORT __declspec(dllexport)
#else
#define GREVOLT_EXPORT __attribute__((visibility("default")))
#endif

// The host's table of running processes: executable file name (no directory)
// -> process identifier.  Several processes may share a name; the plug-in uses
// the first entry in key order and the low 32 bits of its value.
using ProcessMap = std::multimap<std::wstring, unsigned long long>;

// Record magic numbers: the low byte tells the host which generation it holds.
inline constexpr std::uint32_t kPluginMagic = 0xD63AB7F0u;
inline constexpr std::uint32_t kPluginMagic2 = 0xD63AB7FFu;

// Generation-1 record.
struct PluginDescriptor {
  std::uint32_t magic;               // kPluginMagic
  const std::wstring &description;   // "Battlefield 1942 v1.61b"
  const std::wstring &shortName;     // "Battlefield 1942"
  void *optionalEntry1;              // host-defined; this plug-in provides none (null)
  void *optionalEntry2;              // host-defined; this plug-in provides none (null)
  // Attaches to the game by enumerating the system's processes.  1 = attached.
  int (*tryLock)();
  // Releases the attachment; does nothing when none is held.
  void (*unlock)();
  // Returns a new string, owned by the caller.
  std::wstring (*longDescription)();
  // Reads avatar position, front and top vectors (three floats each) from the
  // game; the camera arrays receive copies.  All six arrays are zeroed first.
  // On failure (0): camera arrays zero; avatar arrays before the failed read
  // hold what was read, the failed one zero or the bytes copied before the
  // failure, later ones zero.  `context` and `identity` are never touched.
  int (*fetch)(float *avatarPosition, float *avatarFront, float *avatarTop,
               float *cameraPosition, float *cameraFront, float *cameraTop,
               std::string &context, std::wstring &identity);
};

// Generation-2 record: an alternative try-lock that uses the host's process
// table.  An empty map makes it enumerate processes itself, exactly as tryLock.
// It shares the attachment of the generation-1 record.
struct PluginDescriptor2 {
  std::uint32_t magic;    // kPluginMagic2
  std::uint32_t version;  // 2
  int (*tryLockWithProcesses)(const ProcessMap &processes);
};

extern "C" {
// Both return the address of one static record; every call returns the same
// address and has no other effect.
GREVOLT_EXPORT PluginDescriptor *getBrellanPlugin();
GREVOLT_EXPORT PluginDescriptor2 *getBrellanPlugin2();
}

// The names under which a host looks the exports up, and their types.
using GetPluginFunction = PluginDescriptor *(*)();
using GetPlugin2Function = PluginDescriptor2 *(*)();

#endif  // GREVOLT_H
