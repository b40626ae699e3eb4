/* ostrel_repos_admin.h: administering repositories: backup, dump and load,
 * and changing the properties of committed revisions.
 *
 * The conventions of ostrel_fs.h apply: errors are returned, never printed;
 * results live in the pool passed to the call.  The dump stream format is
 * described in docs/dump-format.md; this header names its guarantees.
 */
#ifndef OSTREL_REPOS_ADMIN_H
#define OSTREL_REPOS_ADMIN_H

#include "ostrel_error.h"
#include "ostrel_io.h"
#include "ostrel_repos.h"
#include "ostrel_string.h"
#include "ostrel_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The version of the dump stream format that ostrel_repos_dump writes and the
 * only one ostrel_repos_load reads. */
#define OSTREL_DUMP_FORMAT_VERSION 1

/* Called after revision REV was dumped, loaded or (for a backup, with REV the
 * youngest revision copied) after a step of the copy.  May be NULL. */
typedef void (*ostrel_repos_notify_fn)(void *baton, ostrel_revnum rev, apr_pool_t *scratch_pool);

/* Sets (VALUE not NULL) or deletes (VALUE NULL) revision property NAME of the
 * committed revision REV of REPOS, at once and durably.  Revision properties
 * are not versioned: the old value is gone.  OSTREL_ERR_FS_NO_SUCH_REVISION
 * when REV does not exist; OSTREL_ERR_BAD_PROPERTY_NAME for an empty name;
 * deleting "ostrel:date" (which every revision carries) gives
 * OSTREL_ERR_BAD_PROPERTY_VALUE. */
ostrel_error *ostrel_repos_change_rev_prop(ostrel_repos *repos, ostrel_revnum rev, const char *name,
                                           const ostrel_string *value, apr_pool_t *scratch_pool);

/* Makes the commit of TXN keep the "ostrel:date" set on it instead of the
 * time of the commit, written in the same step as the revision: for tools
 * that bring in history made elsewhere.  Without a date on TXN the commit
 * dates it as usual. */
ostrel_error *ostrel_repos_txn_keep_date(ostrel_fs_txn *txn);

/* Writes revisions LOWER to UPPER (0 <= LOWER <= UPPER <= youngest) of
 * REPOS to OUT as a dump stream: for each revision its revision properties
 * and its changed paths, with copy sources, the full property list of every
 * node whose properties changed, and the contents (with their length and
 * SHA-256) of every file whose contents changed.  A stream that starts above
 * revision 0 continues the history up to LOWER - 1 and loads only on top of
 * it.  Contents are streamed; memory does not grow with their size.  OUT is
 * not closed.  NOTIFY is called after each revision. */
ostrel_error *ostrel_repos_dump(ostrel_repos *repos, ostrel_revnum lower, ostrel_revnum upper,
                                ostrel_stream *out, ostrel_repos_notify_fn notify,
                                void *notify_baton, apr_pool_t *scratch_pool);

/* Reads a dump stream from IN and commits each of its revisions to REPOS, one
 * commit per revision, with the stream's revision properties (its dates
 * included) and copy history.  The stream fits when it starts at revision 0
 * or 1 and REPOS holds revision 0 only, or when it continues revision B and
 * REPOS's youngest revision is B with the date the stream names; a stream
 * that does not fit gives OSTREL_ERR_DUMP_STREAM_MISFIT before anything is
 * changed.  A stream that is damaged or cut short gives
 * OSTREL_ERR_DUMP_STREAM_DAMAGED naming the revision; the revisions loaded
 * before it stay committed whole, and nothing of the damaged revision is
 * committed.  *LOADED_YOUNGEST (may be NULL) receives the youngest revision
 * of REPOS after the call, also on failure.  Memory stays bounded by the
 * size of one revision's list of changes, never by the size of contents.
 * NOTIFY is called after each loaded revision. */
ostrel_error *ostrel_repos_load(ostrel_repos *repos, ostrel_stream *in,
                                ostrel_revnum *loaded_youngest, ostrel_repos_notify_fn notify,
                                void *notify_baton, apr_pool_t *scratch_pool);

/* Reads a whole dump stream from IN and checks its structure and every
 * checksum without any repository.  OSTREL_ERR_DUMP_STREAM_DAMAGED for the
 * first fault found.  Never allocates more than a bounded amount whatever
 * the input claims. */
ostrel_error *ostrel_repos_dump_check(ostrel_stream *in, apr_pool_t *scratch_pool);

/* Makes a consistent copy of the repository at SRC_PATH in DST_PATH (which
 * must not exist, or be an empty directory) while other processes may go on
 * committing to SRC_PATH: the copy holds exactly the revisions committed when
 * the copy of the database began.  The copy is verified before the call
 * returns.  On failure DST_PATH holds no repository (its format file is
 * written last).  NOTIFY is called with the copy's youngest revision once
 * the database is copied and after each revision verified.  A repository
 * whose records live in PostgreSQL is copied, at one snapshot of its
 * database, into a new local repository at DST_PATH: same revisions,
 * properties, copies and contents, with the hooks and their settings, and
 * no tie to the database server. */
ostrel_error *ostrel_repos_backup(const char *src_path, const char *dst_path,
                                  ostrel_repos_notify_fn notify, void *notify_baton,
                                  apr_pool_t *scratch_pool);

#ifdef __cplusplus
}
#endif

#endif /* OSTREL_REPOS_ADMIN_H */
