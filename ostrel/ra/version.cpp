#include "ostrel_ra.h"

extern "C" const ostrel_version *ostrel_ra_version(void) {
  static const ostrel_version version = {OSTREL_VER_MAJOR, OSTREL_VER_MINOR, OSTREL_VER_PATCH,
                                         OSTREL_VER_TAG};
  return &version;
}
