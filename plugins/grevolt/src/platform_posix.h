// What the POSIX platform offers beyond the seam, for its own tests.
#ifndef GREVOLT_PLATFORM_POSIX_H
#define GREVOLT_PLATFORM_POSIX_H

#include "platform.h"

namespace grevolt {

// The POSIX platform as it behaves where process_vm_readv is missing or
// forbidden: reads go through /proc/PID/mem where the kernel keeps the page
// protection there, and the open fails elsewhere.  Lives as long as the
// library.
Platform &platformWithoutCrossMemoryCall();

}  // namespace grevolt

#endif  // GREVOLT_PLATFORM_POSIX_H
