/* postgres_fs.h: what ostrel/repos needs to make and open repositories whose
 * records and contents live in PostgreSQL.  Not installed; not for tools. */
#ifndef OSTREL_FS_POSTGRES_FS_H
#define OSTREL_FS_POSTGRES_FS_H

#include <apr_hash.h>

#include "ostrel_fs.h"
#include "ostrel_string.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The format of such a repository (its format file says so). */
#define OSTREL_FS__POSTGRES_FORMAT 4

/* Refuses connection info that is malformed or holds a password. */
ostrel_error *ostrel_fs__check_conninfo(const char *conninfo);

/* Makes the schema of a new repository, holding revision 0, in the empty
 * database CONNINFO names, and opens it in POOL.  NAME (the repository's
 * directory) names it in messages. */
ostrel_error *ostrel_fs__create_postgres(ostrel_fs **filesystem, const char *name,
                                         const char *conninfo, apr_hash_t *fs_config,
                                         apr_pool_t *pool);

/* Opens the repository in the database CONNINFO names, in POOL. */
ostrel_error *ostrel_fs__open_postgres(ostrel_fs **filesystem, const char *name,
                                       const char *conninfo, apr_hash_t *fs_config,
                                       apr_pool_t *pool);

/* Makes every later read of FILESYSTEM (a repository in PostgreSQL) see
 * the repository as it is now, in one REPEATABLE READ transaction, for as
 * long as the handle lives; the handle then takes no writes.  For copies
 * made while others commit. */
ostrel_error *ostrel_fs__pin_snapshot(ostrel_fs *filesystem);

/* Whether FILESYSTEM keeps its records in PostgreSQL (non-zero if so). */
int ostrel_fs__is_postgres(ostrel_fs *filesystem);

/* Sets (VALUE given) or deletes property NAME of revision REV of
 * FILESYSTEM, a repository in PostgreSQL, as one commit. */
ostrel_error *ostrel_fs__change_rev_prop_postgres(ostrel_fs *filesystem, ostrel_revnum rev,
                                                  const char *name, const ostrel_string *value);

/* Deletes the contents that no record names and the transactions (with
 * their unfinished contents) older than GRACE_SECONDS; COUNTS receives the
 * chunks, their bytes and the transactions removed. */
ostrel_error *ostrel_fs__collect_postgres(const char *name, const char *conninfo,
                                          long long grace_seconds, long long counts[3]);

#ifdef __cplusplus
}
#endif

#endif /* OSTREL_FS_POSTGRES_FS_H */
