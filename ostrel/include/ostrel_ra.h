/* ostrel_ra.h: repository access.  One access module per URL scheme; "file"
 * reaches repositories on local disk.  Conventions as in ostrel_types.h.
 *
 * A session is open at one URL (its "session URL"); every path a session call
 * takes is relative to that URL ("" is the URL itself, "a/b" below it), is
 * plain UTF-8 (not URL-escaped: "a b", not "a%20b") and must not hold empty,
 * "." or ".." segments (OSTREL_ERR_BAD_PATH).  A session and everything it
 * hands out (editors, batons) live in the pool it was opened in; destroying
 * that pool closes the session and abandons an unfinished edit.
 *
 * "file" URLs: file:///abs/path or file://localhost/abs/path; the path is
 * percent-decoded into a local path, and the repository is the nearest
 * directory at or above it that holds one.  Any other host, a ".." segment,
 * or an unknown scheme is refused with a message naming the URL.
 *
 * "http" and "https" URLs reach repositories served by ostreld (protocol:
 * ostrel/wire/PROTOCOL.md).  Opening a session asks the server which
 * repository holds the URL (one request); the session keeps its connection
 * open, answers check_path about fixed revisions from a cache of directory
 * listings, and makes a commit with one request that streams the whole edit.
 * The user name of the authentication baton is sent as the author it claims
 * (a server with accounts ignores it and takes the logged-in user).  When the
 * server asks for credentials (401), they come from the baton's chain (see
 * ostrel_auth.h): OSTREL_ERR_AUTHN_NO_CREDENTIALS or OSTREL_ERR_AUTHN_FAILED
 * when there are none or none is accepted, OSTREL_ERR_AUTHN_INSECURE before
 * anything is sent when a password would travel over http:// to another
 * machine; server certificates are decided as ostrel_auth_check_server_cert
 * says (OSTREL_ERR_CERT_*).  Failures to connect give OSTREL_ERR_RA_CONNECTION,
 * answers that are not of the protocol OSTREL_ERR_RA_BAD_ANSWER, both naming
 * the URL; a refusal by the server comes back as the server's own error chain.
 * Nothing is retried, except a request refused for credentials before any of
 * its body was sent.
 */
#ifndef OSTREL_RA_H
#define OSTREL_RA_H

#include <apr_file_io.h>
#include <apr_hash.h>

#include "ostrel_auth.h"
#include "ostrel_delta.h"
#include "ostrel_error.h"
#include "ostrel_fs.h"
#include "ostrel_io.h"
#include "ostrel_string.h"
#include "ostrel_version.h"

#ifdef __cplusplus
extern "C" {
#endif

const ostrel_version *ostrel_ra_version(void);

/* Appends to OUTPUT a description of every repository access module of this
 * build, one module per entry, each naming the URL scheme it handles. */
ostrel_error *ostrel_ra_print_modules(ostrel_stringbuf *output, apr_pool_t *pool);

/* ---- Callbacks ---------------------------------------------------------- */

/* Opens a new temporary file for the library in *FP (allocated in POOL); the
 * caller decides where it lives and when it goes away. */
typedef ostrel_error *(*ostrel_ra_open_tmp_file_func)(apr_file_t **fp, void *callback_baton,
                                                      apr_pool_t *pool);

/* What a session asks of its caller.  Create it with ostrel_ra_create_callbacks
 * and fill in what the caller provides; a NULL entry means "not provided". */
typedef struct ostrel_ra_callbacks {
  /* Used whenever an access module needs a temporary file.  The local
   * module never does (texts go straight into the repository), so it may be
   * NULL. */
  ostrel_ra_open_tmp_file_func open_tmp_file;
  /* Who is committing; NULL: the login name of the running user. */
  ostrel_auth_baton *auth_baton;
  /* Asked whether to stop; may be NULL.  The local module's operations are
   * short or driven by the caller, so it does not ask. */
  ostrel_cancel_func cancel_func;
  /* Asked by the read calls of the local module about every repository path
   * ('/'-rooted) they would hand out or read; a path it refuses is treated
   * as absent everywhere (see "Reading" below).  NULL: everything may be
   * read.  Servers set it from their path rules; clients leave it NULL. */
  bool (*may_read)(void *callback_baton, const char *fs_path);
} ostrel_ra_callbacks;

/* A new callback record in POOL with every entry NULL. */
ostrel_error *ostrel_ra_create_callbacks(ostrel_ra_callbacks **callbacks, apr_pool_t *pool);

/* ---- Sessions ----------------------------------------------------------- */

typedef struct ostrel_ra_session ostrel_ra_session;

/* Opens in *SESSION_P (allocated in POOL) a session at REPOS_URL, a
 * canonical URL.  CORRECTED_URL, when not NULL, is set to NULL (the local
 * module never redirects).  UUID must be NULL (repositories carry no
 * identifier to check).  CALLBACKS (not NULL) and CALLBACK_BATON are kept for
 * the session's life.  CONFIG is a configuration from
 * ostrel_config_get_config (NULL: defaults).
 * Errors: OSTREL_ERR_RA_UNKNOWN_SCHEME for a scheme no module handles;
 * OSTREL_ERR_RA_ILLEGAL_URL for a malformed URL, a host other than localhost,
 * or a ".." segment; OSTREL_ERR_RA_NO_REPOSITORY when no repository holds
 * the path; the storage's errors when the repository cannot be opened.  Every
 * one names REPOS_URL. */
ostrel_error *ostrel_ra_open4(ostrel_ra_session **session_p, const char **corrected_url,
                              const char *repos_url, const char *uuid,
                              const ostrel_ra_callbacks *callbacks, void *callback_baton,
                              apr_hash_t *config, apr_pool_t *pool);

/* The session URL and the repository's root URL, both canonical, in POOL. */
ostrel_error *ostrel_ra_get_session_url(ostrel_ra_session *session, const char **url,
                                        apr_pool_t *pool);
ostrel_error *ostrel_ra_get_repos_root(ostrel_ra_session *session, const char **url,
                                       apr_pool_t *pool);

/* The youngest revision of the repository, asked afresh on every call. */
ostrel_error *ostrel_ra_get_latest_revnum(ostrel_ra_session *session, ostrel_revnum *latest_revnum,
                                          apr_pool_t *pool);

/* The kind of node at PATH (relative to the session URL) in REVISION:
 * ostrel_node_none when nothing is there.  REVISION -1 means the youngest; any
 * other negative revision is refused with OSTREL_ERR_BAD_REVISION, and one
 * above the youngest with OSTREL_ERR_FS_NO_SUCH_REVISION. */
ostrel_error *ostrel_ra_check_path(ostrel_ra_session *session, const char *path,
                                   ostrel_revnum revision, ostrel_node_kind *kind,
                                   apr_pool_t *pool);

/* ---- Commits ------------------------------------------------------------ */

/* What a commit made.  Texts live in the pool passed to the callback. */
typedef struct ostrel_commit_info {
  ostrel_revnum revision; /* the new revision */
  const char *date;       /* its "ostrel:date", e.g. 2026-12-09T22:38:37.123456Z */
  const char *author;     /* its "ostrel:author", or NULL when it has none */
  /* Why the repository's post-commit hook failed (the revision exists all
   * the same), or NULL. */
  const char *post_commit_err;
} ostrel_commit_info;

/* Called once a commit has made its revision.  An error it returns is
 * returned by finish_edit; the revision stays made. */
typedef ostrel_error *(*ostrel_commit_callback)(const ostrel_commit_info *commit_info,
                                                void *baton, apr_pool_t *pool);

/* Returns in *EDITOR and *EDIT_BATON (in POOL) a commit editor for the
 * session's URL (see ostrel_delta.h for the calls and their order).  The edit
 * becomes one new revision, based on the revision given to open_root_dir:
 *  - REVPROP_TABLE (const char * -> ostrel_string *, may be NULL) gives the
 *    new revision's properties.  "ostrel:author" is set from the session's
 *    authentication baton (its user name, else the login name; none when
 *    there is none) and "ostrel:date" by the commit; values for these two in
 *    REVPROP_TABLE are overridden.
 *  - COMMIT_CALLBACK (may be NULL) is called with COMMIT_BATON once the
 *    revision is made, from within finish_edit.
 *  - LOCK_TOKENS must be NULL (or empty) and KEEP_LOCKS false: repositories
 *    have no locks (OSTREL_ERR_UNSUPPORTED otherwise).
 * Every call is checked against the transaction: opening or deleting what is
 * absent, opening a file as a directory or the reverse, adding where
 * something exists, a copy URL outside the session's repository, a negative
 * copy revision, a copy source absent at its revision, and calls out of order
 * are refused with a clear error naming the path.  finish_edit commits
 * atomically (or refuses, e.g. as out of date, making nothing); cancel_edit
 * abandons the edit.  When POOL is cleared or destroyed before finish_edit
 * succeeded, the edit is abandoned and leaves no trace in the repository. */
ostrel_error *ostrel_ra_get_commit_editor3(ostrel_ra_session *session,
                                           const ostrel_commit_editor **editor, void **edit_baton,
                                           apr_hash_t *revprop_table,
                                           ostrel_commit_callback commit_callback,
                                           void *commit_baton, apr_hash_t *lock_tokens,
                                           bool keep_locks, apr_pool_t *pool);

/* ---- Reading ------------------------------------------------------------ *
 *
 * Every read call takes a REVISION (-1: the youngest, resolved once per call;
 * the revision read is returned in *FETCHED_REV where asked for) and a PATH
 * relative to the session URL, checked as check_path says.  A path that does
 * not exist in that revision gives OSTREL_ERR_FS_NOT_FOUND with the message
 * "'/PATH' does not exist in revision N" (PATH from the repository root).
 *
 * Path rules: a path the session's may_read callback refuses (or, over the
 * network, that the server's rules hide from the caller) reads exactly as a
 * missing one: the same error, absent from listings, and absent from the
 * changed paths of a log.  Over the network each call is one request whose
 * answer is streamed (a listing, a log or a file's contents are never held
 * whole by the client), and answers about a fixed revision are cacheable.
 */

/* What a listing says about one node.  Texts live in the pool passed to the
 * receiver. */
typedef struct ostrel_ra_dirent {
  ostrel_node_kind kind;
  ostrel_filesize size;      /* a file's length in bytes; -1 for a directory */
  ostrel_revnum created_rev; /* the revision of the node's last change */
  const char *last_author;   /* "ostrel:author" of CREATED_REV, or NULL */
  const char *time;          /* "ostrel:date" of CREATED_REV, or NULL */
} ostrel_ra_dirent;

/* How deep a listing goes. */
typedef enum ostrel_ra_depth {
  ostrel_ra_depth_empty = 0,    /* the node itself only */
  ostrel_ra_depth_immediates = 1, /* its entries */
  ostrel_ra_depth_infinity = 2  /* everything below it */
} ostrel_ra_depth;

/* Called once per node of a listing: RELPATH is relative to the listed path
 * ("" for the listed node itself, "a/b" below it).  An error stops the
 * listing and is returned by ostrel_ra_list. */
typedef ostrel_error *(*ostrel_ra_dirent_receiver)(void *baton, const char *relpath,
                                                   const ostrel_ra_dirent *dirent,
                                                   apr_pool_t *pool);

/* Lists PATH in REVISION: for depth empty the node itself (a file or a
 * directory), else the entries of a directory (not the directory itself),
 * at each level in byte order of their names, a directory's contents right
 * after it for depth infinity.  Listing a file with depth immediates or
 * infinity gives the file itself, as relpath "". */
ostrel_error *ostrel_ra_list(ostrel_ra_session *session, const char *path, ostrel_revnum revision,
                             ostrel_ra_depth depth, ostrel_ra_dirent_receiver receiver,
                             void *receiver_baton, ostrel_revnum *fetched_rev, apr_pool_t *pool);

/* Writes the contents of file PATH in REVISION to STREAM (when not NULL; it
 * is not closed) as they are read, never holding them whole, and returns
 * the file's properties in *PROPS (when PROPS is not NULL: name ->
 * ostrel_string *, in POOL).  A directory gives OSTREL_ERR_FS_NOT_FILE.
 * When writing fails the error of STREAM is returned; bytes already written
 * stay written. */
ostrel_error *ostrel_ra_get_file(ostrel_ra_session *session, const char *path,
                                 ostrel_revnum revision, ostrel_stream *stream,
                                 ostrel_revnum *fetched_rev, apr_hash_t **props,
                                 apr_pool_t *pool);

/* The properties of node PATH in REVISION: name -> ostrel_string *, in POOL. */
ostrel_error *ostrel_ra_get_props(ostrel_ra_session *session, const char *path,
                                  ostrel_revnum revision, apr_hash_t **props,
                                  ostrel_revnum *fetched_rev, apr_pool_t *pool);

/* One revision of a log.  Everything lives in the pool passed to the
 * receiver. */
typedef struct ostrel_ra_log_entry {
  ostrel_revnum revision;
  apr_hash_t *revprops; /* name -> ostrel_string * */
  /* With changed paths asked for: '/'-rooted repository path ->
   * ostrel_path_change * (readable paths only); else NULL. */
  apr_hash_t *changed_paths;
} ostrel_ra_log_entry;

typedef ostrel_error *(*ostrel_ra_log_receiver)(void *baton, const ostrel_ra_log_entry *entry,
                                                apr_pool_t *pool);

/* The revisions from START to END (either order; -1 is the youngest; each
 * is checked as a read revision is) that changed PATH, something below it,
 * or added, replaced or deleted one of its parents; for the repository's
 * root every revision.  In the order START to END, at most LIMIT of them
 * (0: no limit).  A revision whose every changed path the rules hide is
 * left out.  DISCOVER_CHANGED_PATHS asks for each entry's changed paths.
 * An error of RECEIVER stops the log and is returned. */
ostrel_error *ostrel_ra_get_log(ostrel_ra_session *session, const char *path, ostrel_revnum start,
                                ostrel_revnum end, int limit, bool discover_changed_paths,
                                ostrel_ra_log_receiver receiver, void *receiver_baton,
                                apr_pool_t *pool);

#ifdef __cplusplus
}
#endif

#endif /* OSTREL_RA_H */
