/* ostrel_client.h: the client module: what the console tools print about a
 * repository, in one format whichever tool prints it (ostrel-admin on a
 * local repository, ostrel on any URL), so that scripts can switch between
 * them.  Conventions as in ostrel_types.h. */
#ifndef OSTREL_CLIENT_H
#define OSTREL_CLIENT_H

#include <apr_hash.h>

#include "ostrel_fs.h"
#include "ostrel_string.h"
#include "ostrel_version.h"

#ifdef __cplusplus
extern "C" {
#endif

const ostrel_version *ostrel_client_version(void);

/* Appends to OUT one "  NAME: VALUE" line per property of PROPS (name ->
 * ostrel_string *), in byte order of the names; values as their bytes. */
void ostrel_client_format_props(ostrel_stringbuf *out, apr_hash_t *props, apr_pool_t *pool);

/* Appends to OUT one log entry: "rREV", the revision properties REVPROPS as
 * ostrel_client_format_props does, and when CHANGED_PATHS (path ->
 * ostrel_path_change *) is not NULL, "Changed paths:" and one line per path
 * in byte order: three spaces, M, A, D or R, the path (a directory's with a
 * trailing '/', except the root), and " (from PATH:REV)" for a copy. */
void ostrel_client_format_log_entry(ostrel_stringbuf *out, ostrel_revnum rev,
                                    apr_hash_t *revprops, apr_hash_t *changed_paths,
                                    apr_pool_t *pool);

/* Appends to OUT the changed-path lines of a log entry, as
 * ostrel_client_format_log_entry writes them below "Changed paths:". */
void ostrel_client_format_changes(ostrel_stringbuf *out, apr_hash_t *changed_paths,
                                  apr_pool_t *pool);

/* Appends to OUT the listing line of RELPATH: the path, '/' after a
 * directory, a line end. */
void ostrel_client_format_ls_line(ostrel_stringbuf *out, const char *relpath,
                                  ostrel_node_kind kind);

#ifdef __cplusplus
}
#endif

#endif /* OSTREL_CLIENT_H */
