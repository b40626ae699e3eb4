/* ostrel_version.h: version records of the library's modules and the check
 * that a program runs with modules it is compatible with. */
#ifndef OSTREL_VERSION_H
#define OSTREL_VERSION_H

#include "ostrel_error.h"

#ifdef __cplusplus
extern "C" {
#endif

#define OSTREL_VER_MAJOR 1
#define OSTREL_VER_MINOR 7
#define OSTREL_VER_PATCH 0
/* Free-form build tag of this build of the library. */
#define OSTREL_VER_TAG "dev"

typedef struct ostrel_version {
  int major;
  int minor;
  int patch;
  const char *tag; /* free-form build tag, never NULL */
} ostrel_version;

/* One entry of a module list: a module's name and the function that returns
 * its version record.  A list ends with an entry whose label is NULL. */
typedef struct ostrel_version_checklist {
  const char *label;
  const ostrel_version *(*version_query)(void);
} ostrel_version_checklist;

/* The version of this build's subr module (all modules of one build share the
 * same numbers). */
const ostrel_version *ostrel_subr_version(void);

/* True when a program built against MY_VERSION can use a module of version
 * LIB_VERSION: same major version, and a minor version not lower. */
bool ostrel_ver_compatible(const ostrel_version *my_version, const ostrel_version *lib_version);

/* Checks every module of CHECKLIST against MY_VERSION with
 * ostrel_ver_compatible.  Returns NULL when all are compatible, otherwise
 * error OSTREL_ERR_VERSION_MISMATCH with one link per incompatible module,
 * each naming the module, its version and MY_VERSION. */
ostrel_error *ostrel_ver_check_list(const ostrel_version *my_version,
                                    const ostrel_version_checklist *checklist);

#ifdef __cplusplus
}
#endif

#endif /* OSTREL_VERSION_H */
