/* filesystem_private.h: what ostrel/repos needs from ostrel/fs beyond the public API.
 * Not installed; not for tools. */
#ifndef OSTREL_FS_PRIVATE_H
#define OSTREL_FS_PRIVATE_H

#include <apr_hash.h>

#include "ostrel_fs.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The format new repositories get: contents in pack files, directories
 * written in bulk as sorted chunks, node records in blocks (see
 * sqlite/meta.cpp).  It also reads and writes OSTREL_FS__TREES_FORMAT (the
 * same with a row a node), OSTREL_FS__PACKS_FORMAT (and without chunks) and
 * OSTREL_FS__LEGACY_FORMAT (contents as database rows), which
 * ostrel_fs__upgrade converts.  Format 4 is a repository in PostgreSQL
 * (postgres/postgres_fs.h): the format file tells them apart. */
#define OSTREL_FS__FORMAT 5
#define OSTREL_FS__TREES_FORMAT 3
#define OSTREL_FS__PACKS_FORMAT 2
#define OSTREL_FS__LEGACY_FORMAT 1

/* The format of the records of FILESYSTEM (for the format file). */
int ostrel_fs__format(ostrel_fs *filesystem);

/* Creates the database file DB_PATH (which must not exist) holding revision 0,
 * and opens it in POOL. */
ostrel_error *ostrel_fs__create(ostrel_fs **filesystem, const char *db_path, apr_hash_t *fs_config,
                                apr_pool_t *pool);

/* Opens the existing database file DB_PATH in POOL. */
ostrel_error *ostrel_fs__open(ostrel_fs **filesystem, const char *db_path, apr_hash_t *fs_config,
                              apr_pool_t *pool);

/* Makes the commit of TXN keep the "ostrel:date" set on it, instead of the
 * time of the commit: a revision loaded from a dump keeps the date it had,
 * written in the same database transaction as the revision itself.  Without
 * a date on TXN the commit dates it as usual. */
ostrel_error *ostrel_fs__keep_txn_date(ostrel_fs_txn *txn);

/* Converts the database DB_PATH to OSTREL_FS__FORMAT in place (from format
 * 1 moving its contents into pack files beside it); *OLD_FORMAT receives the format it
 * had (nothing is done when that is the current one).  All or nothing: on
 * any error, and after a crash, the database is as it was.  REQUIRES: no
 * other process uses the repository meanwhile (an open transaction of a
 * live process makes it fail with OSTREL_ERR_FS_BUSY). */
ostrel_error *ostrel_fs__upgrade(const char *db_path, int *old_format, apr_pool_t *pool);

/* Takes the repository's commit lock through FILESYSTEM and holds it until
 * ostrel_fs__release_commit_lock (or the handle closes): lets tests see
 * what other committers meet meanwhile, whatever the store. */
ostrel_error *ostrel_fs__hold_commit_lock(ostrel_fs *filesystem);
void ostrel_fs__release_commit_lock(ostrel_fs *filesystem);

/* Copies the repository of FILESYSTEM, while it is in use, into the empty
 * directory DST_DIR: its records as one snapshot into DST_DB (inside
 * DST_DIR), then every content byte that snapshot references.  Durable on
 * return.  The caller writes the format file last and verifies the copy. */
ostrel_error *ostrel_fs__backup(ostrel_fs *filesystem, const char *dst_dir, const char *dst_db,
                                apr_pool_t *pool);

#ifdef __cplusplus
}
#endif

#endif /* OSTREL_FS_PRIVATE_H */
