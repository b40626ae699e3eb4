/* admin_db.h: administration calls that work on a repository's metadata
 * through a connection of their own (not the one of an open filesystem
 * handle): changing a committed revision's properties.
 * For ostrel/repos only; not installed. */
#ifndef OSTREL_FS_ADMIN_DB_H
#define OSTREL_FS_ADMIN_DB_H

#include <apr_pools.h>
#include <apr_tables.h>

#include "ostrel_error.h"
#include "ostrel_string.h"
#include "ostrel_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Sets (VALUE not NULL) or deletes (VALUE NULL) revision property NAME of the
 * committed revision REV in the database DB_PATH, in one durable write
 * transaction, waiting for other writers at most BUSY_TIMEOUT_MS.
 * OSTREL_ERR_FS_NO_SUCH_REVISION when REV does not exist. */
ostrel_error *ostrel_fs__set_rev_prop(const char *db_path, int busy_timeout_ms, ostrel_revnum rev,
                                      const char *name, const ostrel_string *value);

#ifdef __cplusplus
}
#endif

#endif /* OSTREL_FS_ADMIN_DB_H */
