/* local_subr.h: the few console, encoding and path helpers the server-side
 * tools need, each a stand-in for the ostrel_subr call of the same name
 * without the "local_" prefix, kept private to these tools until ostrel_subr
 * provides them.  Same contracts: errors are returned, results live in POOL.
 */
#ifndef OSTREL_TOOLS_LOCAL_SUBR_H
#define OSTREL_TOOLS_LOCAL_SUBR_H

#include <apr_pools.h>

#include <cstdio>

#include "ostrel_error.h"

/* Initialises APR and the locale for a console program.  Returns 0, or 1
 * after reporting the failure on ERROR_STREAM itself. */
int local_cmdline_init(const char *progname, FILE *error_stream);

/* Converts SRC from the native encoding to UTF-8 in POOL;
 * OSTREL_ERR_NATIVE_ENCODING when it is not valid in the native encoding. */
ostrel_error *local_utf_cstring_to_utf8(const char **dest, const char *src, apr_pool_t *pool);

/* A local path in the library's internal style ('/' separators). */
const char *local_dirent_internal_style(const char *dirent, apr_pool_t *pool);

/* A local path in canonical form: no repeated '/', no "." segments, no
 * trailing '/' (except for "/" itself); "" stays "". */
const char *local_dirent_canonicalize(const char *dirent, apr_pool_t *pool);

#endif /* OSTREL_TOOLS_LOCAL_SUBR_H */
