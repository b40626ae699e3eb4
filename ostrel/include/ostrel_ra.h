/* ostrel_ra.h: repository access.  One access module per URL scheme; "file"
 * reaches repositories on local disk.  Conventions as in ostrel_types.h. */
#ifndef OSTREL_RA_H
#define OSTREL_RA_H

#include "ostrel_error.h"
#include "ostrel_string.h"
#include "ostrel_version.h"

#ifdef __cplusplus
extern "C" {
#endif

const ostrel_version *ostrel_ra_version(void);

/* Appends to OUTPUT a description of every repository access module of this
 * build, one module per entry, each naming the URL scheme it handles. */
ostrel_error *ostrel_ra_print_modules(ostrel_stringbuf *output, apr_pool_t *pool);

#ifdef __cplusplus
}
#endif

#endif /* OSTREL_RA_H */
