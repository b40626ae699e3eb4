// The subr module's version and the compatibility check of module lists.

#include "ostrel_version.h"

#include <string>

extern "C" {

const ostrel_version *ostrel_subr_version(void) {
  static const ostrel_version version = {OSTREL_VER_MAJOR, OSTREL_VER_MINOR, OSTREL_VER_PATCH,
                                         OSTREL_VER_TAG};
  return &version;
}

bool ostrel_ver_compatible(const ostrel_version *my_version, const ostrel_version *lib_version) {
  return my_version->major == lib_version->major && lib_version->minor >= my_version->minor;
}

ostrel_error *ostrel_ver_check_list(const ostrel_version *my_version,
                                    const ostrel_version_checklist *checklist) {
  ostrel_error *err = OSTREL_NO_ERROR;
  for (; checklist->label; ++checklist) {
    const ostrel_version *lib = checklist->version_query();
    if (ostrel_ver_compatible(my_version, lib)) continue;
    err = ostrel_error_createf(OSTREL_ERR_VERSION_MISMATCH, err,
                               "Version mismatch in '%s': found %d.%d.%d (%s), expected %d.%d.%d "
                               "or a later %d.x",
                               checklist->label, lib->major, lib->minor, lib->patch, lib->tag,
                               my_version->major, my_version->minor, my_version->patch,
                               my_version->major);
  }
  return err;
}

}  // extern "C"
