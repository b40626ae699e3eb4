/* filesystem_private.h: what ostrel/repos needs from ostrel/fs beyond the public API.
 * Not installed; not for tools. */
#ifndef OSTREL_FS_PRIVATE_H
#define OSTREL_FS_PRIVATE_H

#include <apr_hash.h>

#include "ostrel_fs.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The format the storage writes and the only one it reads. */
#define OSTREL_FS__FORMAT 1

/* Creates the database file DB_PATH (which must not exist) holding revision 0,
 * and opens it in POOL. */
ostrel_error *ostrel_fs__create(ostrel_fs **filesystem, const char *db_path, apr_hash_t *fs_config,
                                apr_pool_t *pool);

/* Opens the existing database file DB_PATH in POOL. */
ostrel_error *ostrel_fs__open(ostrel_fs **filesystem, const char *db_path, apr_hash_t *fs_config,
                              apr_pool_t *pool);

#ifdef __cplusplus
}
#endif

#endif /* OSTREL_FS_PRIVATE_H */
