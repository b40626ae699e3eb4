/* ostrel_delta.h: commit editing and text streams.  Conventions as in
 * ostrel_types.h. */
#ifndef OSTREL_DELTA_H
#define OSTREL_DELTA_H

#include "ostrel_error.h"
#include "ostrel_version.h"

#ifdef __cplusplus
extern "C" {
#endif

const ostrel_version *ostrel_delta_version(void);

#ifdef __cplusplus
}
#endif

#endif /* OSTREL_DELTA_H */
