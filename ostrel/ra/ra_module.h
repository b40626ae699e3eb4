// The table through which the public ostrel_ra_* calls reach the access
// module of a session's URL scheme.  Not a public header.
#ifndef OSTREL_RA_MODULE_H
#define OSTREL_RA_MODULE_H

#include "ostrel_ra.h"

struct ostrel_ra_http_session;

// The read calls of one module (ostrel_ra.h, "Reading").  Paths and
// revisions are already checked for form: PATH is a valid relpath and
// REVISION is -1 or more.
struct ostrel_ra_read_calls {
  ostrel_error *(*list)(ostrel_ra_session *session, const char *path, ostrel_revnum revision,
                        ostrel_ra_depth depth, ostrel_ra_dirent_receiver receiver, void *baton,
                        ostrel_revnum *fetched_rev, apr_pool_t *pool);
  ostrel_error *(*get_file)(ostrel_ra_session *session, const char *path, ostrel_revnum revision,
                            ostrel_stream *stream, ostrel_revnum *fetched_rev, apr_hash_t **props,
                            apr_pool_t *pool);
  ostrel_error *(*get_props)(ostrel_ra_session *session, const char *path, ostrel_revnum revision,
                             apr_hash_t **props, ostrel_revnum *fetched_rev, apr_pool_t *pool);
  ostrel_error *(*get_log)(ostrel_ra_session *session, const char *path, ostrel_revnum start,
                           ostrel_revnum end, int limit, bool discover_changed_paths,
                           ostrel_ra_log_receiver receiver, void *baton, apr_pool_t *pool);
};

// One access module.  Every function gets a session that open() filled in;
// arguments are already checked where the public header says the caller
// must pass something valid.
struct ostrel_ra_module {
  const char *name;            // e.g. "ostrel_ra_local"
  const char *title;           // e.g. "local access"
  const char *description;     // one sentence, no final period
  const char *const *schemes;  // NULL-terminated

  // Fills in SESSION (zeroed, allocated in POOL) for REPOS_URL; the common
  // fields (module, pool, session_url, callbacks) are already set.
  ostrel_error *(*open)(ostrel_ra_session *session, const char *repos_url, apr_hash_t *config,
                        apr_pool_t *pool);
  ostrel_error *(*get_repos_root)(ostrel_ra_session *session, const char **url, apr_pool_t *pool);
  ostrel_error *(*get_latest_revnum)(ostrel_ra_session *session, ostrel_revnum *latest,
                                     apr_pool_t *pool);
  ostrel_error *(*check_path)(ostrel_ra_session *session, const char *path, ostrel_revnum revision,
                              ostrel_node_kind *kind, apr_pool_t *pool);
  ostrel_error *(*get_commit_editor)(ostrel_ra_session *session,
                                     const ostrel_commit_editor **editor, void **edit_baton,
                                     apr_hash_t *revprop_table,
                                     ostrel_commit_callback commit_callback, void *commit_baton,
                                     apr_pool_t *pool);
  const ostrel_ra_read_calls *read;
};

extern const ostrel_ra_read_calls ostrel_ra_local_read_calls;
extern const ostrel_ra_read_calls ostrel_ra_http_read_calls;
extern const ostrel_ra_module ostrel_ra_local_module;
extern const ostrel_ra_module ostrel_ra_http_module;

#endif  // OSTREL_RA_MODULE_H
