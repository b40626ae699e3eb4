/* ostrel_repos.h: repositories on local disk.
 *
 * A repository is a directory holding a format file (naming the format
 * version) and the filesystem's database.  The conventions of ostrel_fs.h
 * apply (errors returned, never printed; handles live in their pool).
 */
#ifndef OSTREL_REPOS_H
#define OSTREL_REPOS_H

#include <apr_hash.h>

#include "ostrel_error.h"
#include "ostrel_fs.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct ostrel_repos ostrel_repos;

/* Creates a new repository at PATH (a local path in internal style; the
 * directory may exist if it is empty) with revision 0, and opens it.
 * FS_CONFIG: see ostrel_fs.h, may be NULL.  An existing repository or a
 * non-empty directory gives OSTREL_ERR_REPOS_ALREADY_EXISTS. */
ostrel_error *ostrel_repos_create(ostrel_repos **repos, const char *path, apr_hash_t *fs_config,
                                  apr_pool_t *pool);

/* Creates a new repository at PATH (as ostrel_repos_create) whose records
 * and contents live in PostgreSQL, in the empty database that CONNINFO (libpq
 * connection info) names.  The directory keeps only its format file and
 * CONNINFO, so every process that opens a directory holding the same
 * connection info reaches the same repository.  Connection info holding a
 * password is refused (OSTREL_ERR_BAD_ARGUMENTS): passwords come from
 * libpq's password file or a service file.  A database that is not empty
 * gives OSTREL_ERR_REPOS_ALREADY_EXISTS. */
ostrel_error *ostrel_repos_create_postgres(ostrel_repos **repos, const char *path,
                                           const char *conninfo, apr_hash_t *fs_config,
                                           apr_pool_t *pool);

/* What ostrel_repos_collect removed. */
typedef struct ostrel_repos_collected {
  long long chunks;        /* stored chunks no revision or transaction names */
  long long bytes;         /* their size */
  long long transactions;  /* transactions abandoned longer than the grace period */
} ostrel_repos_collected;

/* Removes from the repository in PostgreSQL at PATH the contents that
 * commits which never finished left behind, once untouched for
 * GRACE_SECONDS, and the transactions open that long (with their unfinished
 * contents).  Safe while commits go on.  A local repository gives
 * OSTREL_ERR_BAD_ARGUMENTS: it keeps nothing of a failed commit. */
ostrel_error *ostrel_repos_collect(const char *path, long long grace_seconds,
                                   ostrel_repos_collected *collected, apr_pool_t *pool);

/* Opens the repository at PATH.  A path that holds no repository gives
 * OSTREL_ERR_REPOS_NOT_FOUND naming it; an unknown format
 * OSTREL_ERR_FS_BAD_FORMAT; a damaged database OSTREL_ERR_FS_CORRUPT. */
ostrel_error *ostrel_repos_open2(ostrel_repos **repos, const char *path, apr_hash_t *fs_config,
                                 apr_pool_t *pool);

/* The filesystem of REPOS; lives as long as REPOS.  Cannot fail. */
/* The storage format ostrel_repos_create makes (unless its fs_config asks
 * for format 2 or 3, OSTREL_FS_CONFIG_FORMAT).  Format 4 is a repository in
 * PostgreSQL. */
#define OSTREL_REPOS_FORMAT 5

/* Converts the repository at PATH to the current storage format in place
 * (from format 1 file contents move from its database into pack files;
 * directories and changed paths take format 3's records, nodes format 5's
 * blocks) and sets
 * *OLD_FORMAT to the format it had; a repository already in the current
 * format is left alone.  Older formats stay readable and writable without
 * it; after it, builds that know only the older format refuse the
 * repository instead of misreading it.  All or nothing: an error or a crash
 * leaves the repository as it was.  No other process may use the repository
 * meanwhile (a transaction left open by a live process gives
 * OSTREL_ERR_FS_BUSY). */
ostrel_error *ostrel_repos_upgrade(const char *path, int *old_format, apr_pool_t *pool);

ostrel_fs *ostrel_repos_fs(ostrel_repos *repos);

/* The repository's directory. */
const char *ostrel_repos_path(ostrel_repos *repos, apr_pool_t *pool);

/* Walks up from PATH (a local path) to the nearest directory that is the root
 * of a repository and returns it, or NULL when there is none. */
const char *ostrel_repos_find_root_path(const char *path, apr_pool_t *pool);

/* ---- Commits through the repository's hooks -----------------------------
 *
 * Hooks are the executables REPOS/hooks/NAME.  A missing file is no hook; a
 * file that is not executable, or cannot be started, refuses.  Each runs with
 * the repository's path as its first argument, from an argument vector (no
 * shell), with PATH as its only environment variable, in a new session,
 * stdin from /dev/null (the revision-property hooks: see below), stdout
 * discarded, for at most the time limit of REPOS/conf/hooks.conf
 * ("timeout-seconds" in section [hooks], default 60), after which its
 * process group is killed.  A hook refuses by exiting non-zero (or being
 * killed, or timing out): the call fails with OSTREL_ERR_REPOS_HOOK_FAILURE,
 * whose message names the hook, how it ended, and the first 16 KiB of its
 * standard error. */

/* Runs "start-commit REPOS-PATH USER CAPABILITIES" (USER "" for none;
 * CAPABILITIES a colon-separated list of what the committing client can do,
 * "" today), then begins a transaction on BASE_REV with AUTHOR (NULL: none)
 * as its "ostrel:author". */
ostrel_error *ostrel_repos_fs_begin_txn_for_commit(ostrel_fs_txn **txn, ostrel_repos *repos,
                                                   ostrel_revnum base_rev, const char *author,
                                                   const char *capabilities, apr_pool_t *pool);

/* Runs "pre-commit REPOS-PATH TXN-NAME" with TXN published for it to read
 * (ostrel_fs_open_txn; "ostrel-admin log -t"), commits TXN as
 * ostrel_fs_commit_txn does, then runs "post-commit REPOS-PATH REV TXN-NAME".
 * A post-commit hook cannot undo the commit: its failure is appended to
 * REPOS/log/hooks.log and returned in *POST_COMMIT_WARNING (may be NULL;
 * NULL when it passed or there is none), never as an error. */
ostrel_error *ostrel_repos_fs_commit_txn(const char **conflict_p, ostrel_repos *repos,
                                         ostrel_revnum *new_rev, ostrel_fs_txn *txn,
                                         const char **post_commit_warning, apr_pool_t *pool);

/* ostrel_repos_change_rev_prop (ostrel_repos_admin.h) between the hooks
 * "pre-revprop-change REPOS-PATH REV USER NAME ACTION" (the new value on its
 * stdin; ACTION is A, M or D) and "post-revprop-change" with the same
 * arguments (the old value on its stdin), whose failure is a warning as for
 * post-commit. */
ostrel_error *ostrel_repos_change_rev_prop_hooked(ostrel_repos *repos, ostrel_revnum rev,
                                                  const char *author, const char *name,
                                                  const ostrel_string *value,
                                                  const char **post_warning, apr_pool_t *pool);

#ifdef __cplusplus
}
#endif

#endif /* OSTREL_REPOS_H */
