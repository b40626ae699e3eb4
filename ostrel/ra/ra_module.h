// The table through which the public ostrel_ra_* calls reach the access
// module of a session's URL scheme.  Not a public header.
#ifndef OSTREL_RA_MODULE_H
#define OSTREL_RA_MODULE_H

#include "ostrel_ra.h"

struct ostrel_ra_http_session;

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
};

extern const ostrel_ra_module ostrel_ra_local_module;
extern const ostrel_ra_module ostrel_ra_http_module;

#endif  // OSTREL_RA_MODULE_H
