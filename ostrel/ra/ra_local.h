// Internals of the local access module ("file" URLs), shared by the session
// code and the commit editor.  Not a public header.
#ifndef OSTREL_RA_LOCAL_H
#define OSTREL_RA_LOCAL_H

#include "ostrel_fs.h"
#include "ostrel_ra.h"
#include "ostrel_repos.h"
#include "ra_module.h"
#include "ra_session.h"

namespace ostrel_ra_local {

// Turns a "file" URL into a percent-decoded absolute local path without a
// trailing slash ("/" for the root).  Refuses other schemes, hosts other than
// localhost, malformed escapes and ".." segments, naming URL.
ostrel_error *url_to_local_path(const char **local_path, const char *url, apr_pool_t *pool);

// Resolves REVISION for a read: -1 is the youngest; other negatives and
// revisions above the youngest are refused.
ostrel_error *resolve_revision(ostrel_revnum *resolved, ostrel_ra_session *session,
                               ostrel_revnum revision, apr_pool_t *pool);

// The local module's commit editor (commit_editor.cpp).
ostrel_error *get_commit_editor(ostrel_ra_session *session, const ostrel_commit_editor **editor,
                                void **edit_baton, apr_hash_t *revprop_table,
                                ostrel_commit_callback commit_callback, void *commit_baton,
                                apr_pool_t *pool);

}  // namespace ostrel_ra_local

#endif  // OSTREL_RA_LOCAL_H
