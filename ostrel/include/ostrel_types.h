/* ostrel_types.h: basic types shared by every module of the repository library.
 *
 * Conventions of the whole C API (every ostrel_*.h header follows them):
 *  - Fallible calls return an `ostrel_error *`; NULL means success.  An error
 *    chain is allocated outside every pool and lives until the caller passes it
 *    to ostrel_error_clear() (or ostrel_handle_error2() and then clear).  The
 *    library never prints an error: it returns it.
 *  - Results are allocated in the pool the caller passes ("result pool");
 *    temporary allocations go to a scratch pool or a sub-pool that the call
 *    destroys before it returns.
 *  - On failure, output parameters are left untouched unless the header says
 *    otherwise.
 *  - Texts are NUL-terminated UTF-8 unless a header says "native encoding".
 */
#ifndef OSTREL_TYPES_H
#define OSTREL_TYPES_H

#include <apr.h>
#include <apr_pools.h>
#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* A revision number.  Signed 32-bit; OSTREL_INVALID_REVNUM (-1) means none. */
typedef int32_t ostrel_revnum;
#define OSTREL_INVALID_REVNUM ((ostrel_revnum)-1)
#define OSTREL_REVNUM_MAX ((ostrel_revnum)2147483647)
#define OSTREL_IS_VALID_REVNUM(n) ((n) >= 0)

/* The kind of a node in a repository tree. */
typedef enum ostrel_node_kind {
  ostrel_node_none = 0,
  ostrel_node_file = 1,
  ostrel_node_dir = 2
} ostrel_node_kind;

/* A size of file contents, in bytes. */
typedef int64_t ostrel_filesize;

#ifdef __cplusplus
}
#endif

#endif /* OSTREL_TYPES_H */
