/* ostrel_fs.h: the versioned filesystem of a repository.
 *
 * A filesystem holds a sequence of revisions, 0 (an empty root directory) to
 * the youngest.  Each revision is an immutable tree of directories and files
 * with properties, plus revision properties ("ostrel:author", "ostrel:date",
 * "ostrel:log", ...).  New revisions are made by transactions.
 *
 * Paths inside a filesystem ("fs paths") are '/'-separated UTF-8; a leading '/'
 * is optional on input ("trunk/a" and "/trunk/a" name the same node; "" and "/"
 * name the root).  Paths the filesystem returns (changed-path keys, copy
 * sources) always start with '/'.  A path with an empty, "." or ".." segment is
 * refused with OSTREL_ERR_BAD_PATH.
 *
 * Errors: a path that does not exist gives OSTREL_ERR_FS_NOT_FOUND; a revision
 * that does not exist OSTREL_ERR_FS_NO_SUCH_REVISION; a damaged repository
 * OSTREL_ERR_FS_CORRUPT; a repository held by another committer longer than the
 * busy timeout OSTREL_ERR_FS_BUSY.  Messages name the path or revision.
 *
 * Pools: handles (fs, roots, transactions) live in the pool they were opened
 * or made in, and are closed or aborted when that pool is cleared or destroyed.
 * Results live in the pool passed to the call.
 */
#ifndef OSTREL_FS_H
#define OSTREL_FS_H

#include <apr_hash.h>

#include "ostrel_error.h"
#include "ostrel_io.h"
#include "ostrel_string.h"
#include "ostrel_types.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct ostrel_fs ostrel_fs;
typedef struct ostrel_fs_root ostrel_fs_root;
typedef struct ostrel_fs_txn ostrel_fs_txn;

/* Keys of the fs configuration hash (const char * -> const char *) that
 * ostrel_repos_create / ostrel_repos_open2 accept.  NULL hash: defaults. */
/* How long, in milliseconds, a writer waits for a repository that another
 * committer holds before failing with OSTREL_ERR_FS_BUSY.  Default "10000". */
#define OSTREL_FS_CONFIG_BUSY_TIMEOUT "busy-timeout-ms"
/* The format a new local repository gets: "2" or "3" (read by older
 * builds) or "5".  Default: the newest. */
#define OSTREL_FS_CONFIG_FORMAT "format"

/* Standard revision property names. */
#define OSTREL_PROP_REVISION_AUTHOR "ostrel:author"
#define OSTREL_PROP_REVISION_DATE "ostrel:date"
#define OSTREL_PROP_REVISION_LOG "ostrel:log"

/* ---- Reading ---------------------------------------------------------- */

ostrel_error *ostrel_fs_youngest_rev(ostrel_revnum *youngest, ostrel_fs *filesystem, apr_pool_t *pool);

/* The root of revision REV (0 <= REV <= youngest). */
ostrel_error *ostrel_fs_revision_root(ostrel_fs_root **root, ostrel_fs *filesystem, ostrel_revnum rev,
                                      apr_pool_t *pool);

/* The revision of a revision root; OSTREL_INVALID_REVNUM for a transaction root. */
ostrel_revnum ostrel_fs_root_revision(ostrel_fs_root *root);

/* What kind of node PATH is in ROOT: ostrel_node_none when it does not exist
 * (which is no error; a parent that is a file also gives none). */
ostrel_error *ostrel_fs_check_path(ostrel_node_kind *kind, ostrel_fs_root *root, const char *path,
                                   apr_pool_t *pool);

/* One directory entry. */
typedef struct ostrel_fs_dirent {
  const char *name;
  ostrel_node_kind kind;
} ostrel_fs_dirent;

/* The entries of directory PATH: a hash from entry name to ostrel_fs_dirent *.
 * OSTREL_ERR_FS_NOT_DIRECTORY when PATH is a file. */
ostrel_error *ostrel_fs_dir_entries(apr_hash_t **entries, ostrel_fs_root *root, const char *path,
                                    apr_pool_t *pool);

/* A readable stream of the contents of file PATH, decompressed chunk by chunk
 * as it is read (the contents are never held whole).  OSTREL_ERR_FS_NOT_FILE
 * when PATH is a directory.  Every chunk is checked before any of its bytes
 * are handed out: a read that meets damaged stored contents fails with
 * OSTREL_ERR_FS_CORRUPT naming PATH and the root's revision, and the bytes
 * read before it were all right. */
ostrel_error *ostrel_fs_file_contents(ostrel_stream **contents, ostrel_fs_root *root,
                                      const char *path, apr_pool_t *pool);

/* The length in bytes and the SHA-256 (64 lower-case hex digits) of file PATH. */
ostrel_error *ostrel_fs_file_length(ostrel_filesize *length, ostrel_fs_root *root,
                                    const char *path, apr_pool_t *pool);
ostrel_error *ostrel_fs_file_sha256(const char **hex_digest, ostrel_fs_root *root,
                                    const char *path, apr_pool_t *pool);

/* The properties of node PATH: a hash from name to ostrel_string *. */
ostrel_error *ostrel_fs_node_proplist(apr_hash_t **props, ostrel_fs_root *root, const char *path,
                                      apr_pool_t *pool);
/* One property of node PATH; *VALUE is NULL when it is not set. */
ostrel_error *ostrel_fs_node_prop(ostrel_string **value, ostrel_fs_root *root, const char *path,
                                  const char *name, apr_pool_t *pool);

/* The revision properties of REV: a hash from name to ostrel_string *. */
ostrel_error *ostrel_fs_revision_proplist(apr_hash_t **props, ostrel_fs *filesystem, ostrel_revnum rev,
                                          apr_pool_t *pool);
ostrel_error *ostrel_fs_revision_prop(ostrel_string **value, ostrel_fs *filesystem, ostrel_revnum rev,
                                      const char *name, apr_pool_t *pool);

/* The revision in which the node revision at PATH was made (its last change). */
ostrel_error *ostrel_fs_node_created_rev(ostrel_revnum *revision, ostrel_fs_root *root,
                                         const char *path, apr_pool_t *pool);

/* The copy source of PATH when the node at PATH was itself made by a copy in
 * ROOT's revision (or transaction): *PATH_P and *REV_P, else NULL and
 * OSTREL_INVALID_REVNUM. */
ostrel_error *ostrel_fs_copied_from(ostrel_revnum *rev_p, const char **path_p, ostrel_fs_root *root,
                                    const char *path, apr_pool_t *pool);

/* ---- Changed paths ---------------------------------------------------- */

typedef enum ostrel_fs_path_change_kind {
  ostrel_fs_path_change_modify = 0,
  ostrel_fs_path_change_add = 1,
  ostrel_fs_path_change_delete = 2,
  ostrel_fs_path_change_replace = 3
} ostrel_fs_path_change_kind;

/* One changed path of a revision. */
typedef struct ostrel_path_change {
  ostrel_fs_path_change_kind change_kind;
  ostrel_node_kind node_kind; /* for a delete: the kind of what was deleted */
  bool text_mod;              /* file contents changed */
  bool prop_mod;              /* node properties changed */
  const char *copyfrom_path;  /* copy source ('/'-rooted), or NULL */
  ostrel_revnum copyfrom_rev; /* its revision, or OSTREL_INVALID_REVNUM */
} ostrel_path_change;

/* The paths changed in ROOT's revision (or transaction): a hash from fs path ('/'-rooted,
 * const char *) to ostrel_path_change *.  Revision 0 has none.  Directories
 * that a commit only passed through are not listed.  Every change_kind and
 * node_kind returned is one of the enumerators above (node_kind is never
 * ostrel_node_none); a stored row holding anything else gives
 * OSTREL_ERR_FS_CORRUPT naming the revision and the path. */
ostrel_error *ostrel_fs_paths_changed2(apr_hash_t **changed_paths, ostrel_fs_root *root,
                                       apr_pool_t *pool);

/* ---- Lines of history ------------------------------------------------- */

/* The revision in which the line of history of the node at PATH in ROOT began:
 * the revision where a node was created without copy history, from which this
 * node descends through changes and copies.  Looked up in the node-origins
 * index; when the index lacks the answer, it is computed from the node's
 * history and stored in the index before it is returned (together with the
 * answers for every other line that began in the same revision, so that a
 * crawl over all revisions writes once per revision).  On a transaction root:
 * the origin of the node the transaction's node derives from, or
 * OSTREL_INVALID_REVNUM for a node the transaction adds without history. */
ostrel_error *ostrel_fs_node_origin_rev(ostrel_revnum *revision, ostrel_fs_root *root,
                                        const char *path, apr_pool_t *pool);

/* ---- Transactions ----------------------------------------------------- */

/* Begins a transaction on BASE_REV (0 <= BASE_REV <= youngest).  The
 * transaction lives until it is committed or aborted, or until POOL is
 * cleared or destroyed (which aborts it). */
ostrel_error *ostrel_fs_begin_txn(ostrel_fs_txn **txn, ostrel_fs *filesystem, ostrel_revnum base_rev,
                                  apr_pool_t *pool);

ostrel_revnum ostrel_fs_txn_base_revision(ostrel_fs_txn *txn);

/* The transaction's mutable root, for the change calls below. */
ostrel_error *ostrel_fs_txn_root(ostrel_fs_root **root, ostrel_fs_txn *txn, apr_pool_t *pool);

/* Sets (VALUE not NULL) or deletes (VALUE NULL) a revision property of the
 * revision the transaction will make.  "ostrel:date" is set by the commit. */
ostrel_error *ostrel_fs_change_txn_prop(ostrel_fs_txn *txn, const char *name,
                                        const ostrel_string *value, apr_pool_t *pool);

/* Change calls on a transaction root.  Each checks its arguments against the
 * transaction's tree: the parent of PATH must be an existing directory
 * (OSTREL_ERR_FS_NOT_FOUND / OSTREL_ERR_FS_NOT_DIRECTORY); make_dir, make_file
 * and copy refuse an existing PATH (OSTREL_ERR_FS_ALREADY_EXISTS); delete
 * refuses an absent one; property names must be valid
 * (OSTREL_ERR_BAD_PROPERTY_NAME). */
ostrel_error *ostrel_fs_make_dir(ostrel_fs_root *root, const char *path, apr_pool_t *pool);
ostrel_error *ostrel_fs_make_file(ostrel_fs_root *root, const char *path, apr_pool_t *pool);
ostrel_error *ostrel_fs_delete(ostrel_fs_root *root, const char *path, apr_pool_t *pool);

/* Copies FROM_PATH in FROM_ROOT (a revision root) to TO_PATH in TO_ROOT (a
 * transaction root) with history, in constant time whatever the size of the
 * copied subtree. */
ostrel_error *ostrel_fs_copy(ostrel_fs_root *from_root, const char *from_path,
                             ostrel_fs_root *to_root, const char *to_path, apr_pool_t *pool);

/* Sets (VALUE not NULL) or deletes (VALUE NULL) property NAME of node PATH. */
ostrel_error *ostrel_fs_change_node_prop(ostrel_fs_root *root, const char *path, const char *name,
                                         const ostrel_string *value, apr_pool_t *pool);

/* Returns in *CONTENTS a writable stream that replaces the contents of file
 * PATH.  The new contents take effect when the stream is closed; until then
 * the file keeps its old contents.  Contents are written as they come, in
 * compressed chunks, never held whole. */
ostrel_error *ostrel_fs_apply_text(ostrel_stream **contents, ostrel_fs_root *root, const char *path,
                                   apr_pool_t *pool);

/* Commits TXN as the next revision, atomically.  On success *NEW_REV is the
 * new revision and TXN is finished.  When a path that TXN changes was changed
 * by a revision after TXN's base, fails with OSTREL_ERR_FS_OUT_OF_DATE naming
 * the path (also in *CONFLICT_P when CONFLICT_P is not NULL), and nothing is
 * written.  Directories that TXN only passes through (to reach what it
 * changes) do not count as changed: the commit keeps what later revisions
 * did in them, unless one of them was deleted or replaced since the base.  A
 * property change on a directory is out of date only when that directory's
 * own properties at the youngest revision differ from those at the base, or
 * the directory was deleted or replaced since the base; changes below it
 * (which rewrite it on their way) do not count, and the commit keeps them.
 * Waiting for another committer longer than the busy timeout gives
 * OSTREL_ERR_FS_BUSY.  On any failure TXN is still usable only for
 * ostrel_fs_abort_txn. */
ostrel_error *ostrel_fs_commit_txn(const char **conflict_p, ostrel_revnum *new_rev,
                                   ostrel_fs_txn *txn, apr_pool_t *pool);

/* With DEFER true, later commits of FILESYSTEM (through this handle) are
 * not made durable one by one: each is complete and visible, survives the
 * end or the kill of the process, but a power failure may lose the newest
 * of the revisions committed since the last ostrel_fs_sync (what survives
 * is revisions 0..K, each whole: never a revision whose contents are
 * lost).  For bulk imports, which sync every so often and at their end. */
void ostrel_fs_defer_sync(ostrel_fs *filesystem, bool defer);

/* Makes every revision committed through FILESYSTEM durable: its contents
 * first, then its rows. */
ostrel_error *ostrel_fs_sync(ostrel_fs *filesystem, apr_pool_t *scratch_pool);

/* Abandons TXN and frees what it stored.  Aborting twice, or after a commit,
 * does nothing. */
ostrel_error *ostrel_fs_abort_txn(ostrel_fs_txn *txn, apr_pool_t *pool);

/* ---- Transactions seen from another process ---------------------------- */

/* The name of TXN ("BASE-ID"), unique in its filesystem. */
const char *ostrel_fs_txn_name(ostrel_fs_txn *txn, apr_pool_t *pool);

/* Makes TXN, as it is now, readable by other processes under its name
 * (ostrel_fs_open_txn) until ostrel_fs_unpublish_txn, or until TXN ends and
 * its snapshot is removed by its owner.  Later changes to TXN are not seen by
 * readers; publish again to show them. */
ostrel_error *ostrel_fs_publish_txn(ostrel_fs_txn *txn, apr_pool_t *pool);

/* Removes TXN's snapshot (nothing when there is none). */
void ostrel_fs_unpublish_txn(ostrel_fs_txn *txn, apr_pool_t *pool);

/* Opens, read-only, the transaction NAME that another process published and
 * has not yet committed or aborted.  Its root (ostrel_fs_txn_root) takes
 * every read call, ostrel_fs_paths_changed2 included; change calls, commits
 * and ostrel_fs_change_txn_prop give OSTREL_ERR_FS_TXN_DEAD, and aborting or
 * clearing POOL leaves the owner's transaction alone.
 * OSTREL_ERR_FS_NO_SUCH_TRANSACTION when there is no such transaction. */
ostrel_error *ostrel_fs_open_txn(ostrel_fs_txn **txn, ostrel_fs *filesystem, const char *name,
                                 apr_pool_t *pool);

/* The revision properties set on TXN so far: name -> ostrel_string *. */
ostrel_error *ostrel_fs_txn_proplist(apr_hash_t **props, ostrel_fs_txn *txn, apr_pool_t *pool);

/* ---- Administration --------------------------------------------------- */

/* Called by ostrel_fs_verify after revision REV has been checked. */
typedef void (*ostrel_fs_verify_notify_fn)(void *baton, ostrel_revnum rev, apr_pool_t *scratch_pool);

/* Checks revisions START to END (inclusive; 0 <= START <= END <= youngest):
 * the database's own consistency, then every node of each revision's tree,
 * every directory entry and every file's contents (decompressed and compared
 * with their recorded length and SHA-256), then the revision's changed paths
 * (valid kinds; added, replaced and modified paths exist with the recorded
 * kind, deleted ones are gone; what was modified, deleted or replaced existed
 * before, what was added did not; copy sources exist).  Stops at the first
 * damage with OSTREL_ERR_FS_CORRUPT naming the revision and path.  NOTIFY
 * (may be NULL) is called once per revision that passed.  Nodes shared
 * between revisions are checked once. */
ostrel_error *ostrel_fs_verify(ostrel_fs *filesystem, ostrel_revnum start, ostrel_revnum end,
                               ostrel_fs_verify_notify_fn notify, void *notify_baton,
                               apr_pool_t *scratch_pool);

/* How many lines of history the filesystem holds (*LINES) and how many of
 * them the node-origins index already answers (*INDEXED). */
ostrel_error *ostrel_fs_node_origins_stats(apr_int64_t *lines, apr_int64_t *indexed, ostrel_fs *filesystem,
                                           apr_pool_t *scratch_pool);

/* A file beside the database that holds file contents. */
#ifdef __cplusplus
}
#endif

#endif /* OSTREL_FS_H */
