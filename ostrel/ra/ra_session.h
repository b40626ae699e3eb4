// The session of every access module: the fields all modules share, then
// each module's own state.  Shared by the modules' code; not a public
// header.
#ifndef OSTREL_RA_SESSION_H
#define OSTREL_RA_SESSION_H

#include "ostrel_fs.h"
#include "ostrel_ra.h"
#include "ostrel_repos.h"

struct ostrel_ra_module;
struct ostrel_ra_http_session;

// A session of any access module: the common fields first, then the local
// module's, then the http module's state.
struct ostrel_ra_session {
  const ostrel_ra_module *module;
  apr_pool_t *pool;
  const char *session_url;      // as given to open4
  const char *repos_root_url;   // canonical URL of the repository's root
  const char *repos_root_path;  // local path of the repository's root
  const char *fs_path;          // the session URL's path inside the repository, "" for its root
  ostrel_repos *repos;
  ostrel_fs *filesystem;
  const ostrel_ra_callbacks *callbacks;
  void *callback_baton;
  ostrel_ra_http_session *http;  // the http module's state, else nullptr
  // The youngest revision the session has read (local module; -1 when the
  // session opens): revisions up to it exist for good, so naming one needs
  // no new look.
  ostrel_revnum youngest_seen;
};

#endif  // OSTREL_RA_SESSION_H
