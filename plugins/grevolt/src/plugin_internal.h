// Internal hooks of the plug-in core, for its own unit tests only.  They are
// not exported from the shared library.
#ifndef GREVOLT_PLUGIN_INTERNAL_H
#define GREVOLT_PLUGIN_INTERNAL_H

#include "platform.h"

namespace grevolt {

// Routes every platform call of the plug-in through `platform`; null restores
// the native implementation.  The caller keeps `platform` alive while in use.
void setPlatform(Platform *platform);

// Game-memory layout read by the plug-in (all absolute 32-bit addresses).
inline constexpr std::uint32_t kPositionAddress = 0x976274;
inline constexpr std::uint32_t kChainRootAddress = 0x9A9468;
inline constexpr std::uint32_t kChainSecondOffset = 152;
inline constexpr std::uint32_t kTopOffset = 76;
inline constexpr std::uint32_t kFrontOffset = 92;

}  // namespace grevolt

#endif  // GREVOLT_PLUGIN_INTERNAL_H
