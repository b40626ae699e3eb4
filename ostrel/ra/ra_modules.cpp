// The table of repository access modules, and the public session calls,
// which reach the module of the session's URL scheme through it.

#include <apr_strings.h>

#include <cstring>
#include <string>

#include "ostrel_path.h"
#include "ra_module.h"
#include "ra_session.h"

namespace {

// One entry per module this build has; each names the schemes it handles.
const ostrel_ra_module *const kModules[] = {
    &ostrel_ra_local_module,
    &ostrel_ra_http_module,
};

// The module whose schemes include URL's scheme (compared without regard to
// case), or nullptr.
const ostrel_ra_module *module_for(const char *url) {
  const char *colon = std::strstr(url, "://");
  if (!colon || colon == url) return nullptr;
  std::string scheme(url, static_cast<std::size_t>(colon - url));
  for (char &c : scheme)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  for (const ostrel_ra_module *module : kModules)
    for (const char *const *s = module->schemes; *s; s++)
      if (scheme == *s) return module;
  return nullptr;
}

}  // namespace

extern "C" {

ostrel_error *ostrel_ra_print_modules(ostrel_stringbuf *output, apr_pool_t * /*pool*/) {
  for (const ostrel_ra_module *module : kModules) {
    ostrel_stringbuf_appendcstr(output, "* ");
    ostrel_stringbuf_appendcstr(output, module->title);
    ostrel_stringbuf_appendcstr(output, " (");
    ostrel_stringbuf_appendcstr(output, module->name);
    ostrel_stringbuf_appendcstr(output, "): ");
    ostrel_stringbuf_appendcstr(output, module->description);
    ostrel_stringbuf_appendcstr(output, ".\n");
    for (const char *const *s = module->schemes; *s; s++) {
      ostrel_stringbuf_appendcstr(output, "  - handles the '");
      ostrel_stringbuf_appendcstr(output, *s);
      ostrel_stringbuf_appendcstr(output, "' scheme\n");
    }
  }
  return OSTREL_NO_ERROR;
}

ostrel_error *ostrel_ra_create_callbacks(ostrel_ra_callbacks **callbacks, apr_pool_t *pool) {
  *callbacks = static_cast<ostrel_ra_callbacks *>(apr_pcalloc(pool, sizeof(ostrel_ra_callbacks)));
  return OSTREL_NO_ERROR;
}

ostrel_error *ostrel_ra_open4(ostrel_ra_session **session_p, const char **corrected_url,
                              const char *repos_url, const char *uuid,
                              const ostrel_ra_callbacks *callbacks, void *callback_baton,
                              apr_hash_t *config, apr_pool_t *pool) {
  if (corrected_url) *corrected_url = nullptr;
  if (uuid)
    return ostrel_error_createf(OSTREL_ERR_UNSUPPORTED, nullptr,
                                "Repository identifiers cannot be checked (opening '%s')",
                                repos_url);
  if (!std::strstr(repos_url, "://"))
    return ostrel_error_createf(OSTREL_ERR_RA_ILLEGAL_URL, nullptr, "'%s' is not a URL", repos_url);
  const ostrel_ra_module *module = module_for(repos_url);
  if (!module)
    return ostrel_error_createf(OSTREL_ERR_RA_UNKNOWN_SCHEME, nullptr,
                                "Unrecognised URL scheme for '%s'", repos_url);

  auto *session = static_cast<ostrel_ra_session *>(apr_pcalloc(pool, sizeof(ostrel_ra_session)));
  session->module = module;
  session->pool = pool;
  session->session_url = apr_pstrdup(pool, repos_url);
  session->callbacks = callbacks;
  session->callback_baton = callback_baton;
  session->youngest_seen = OSTREL_INVALID_REVNUM;
  OSTREL_ERR(module->open(session, repos_url, config, pool));
  *session_p = session;
  return OSTREL_NO_ERROR;
}

ostrel_error *ostrel_ra_get_session_url(ostrel_ra_session *session, const char **url,
                                        apr_pool_t *pool) {
  *url = apr_pstrdup(pool, session->session_url);
  return OSTREL_NO_ERROR;
}

ostrel_error *ostrel_ra_get_repos_root(ostrel_ra_session *session, const char **url,
                                       apr_pool_t *pool) {
  return session->module->get_repos_root(session, url, pool);
}

ostrel_error *ostrel_ra_get_latest_revnum(ostrel_ra_session *session, ostrel_revnum *latest_revnum,
                                          apr_pool_t *pool) {
  return session->module->get_latest_revnum(session, latest_revnum, pool);
}

ostrel_error *ostrel_ra_check_path(ostrel_ra_session *session, const char *path,
                                   ostrel_revnum revision, ostrel_node_kind *kind,
                                   apr_pool_t *pool) {
  return session->module->check_path(session, path, revision, kind, pool);
}

ostrel_error *ostrel_ra_get_commit_editor3(ostrel_ra_session *session,
                                           const ostrel_commit_editor **editor, void **edit_baton,
                                           apr_hash_t *revprop_table,
                                           ostrel_commit_callback commit_callback,
                                           void *commit_baton, apr_hash_t *lock_tokens,
                                           bool keep_locks, apr_pool_t *pool) {
  if ((lock_tokens && apr_hash_count(lock_tokens)) || keep_locks)
    return ostrel_error_create(OSTREL_ERR_UNSUPPORTED, nullptr,
                               "Repositories have no locks: lock tokens cannot be used");
  return session->module->get_commit_editor(session, editor, edit_baton, revprop_table,
                                            commit_callback, commit_baton, pool);
}

// ---- Reading ----
//
// The checks every module shares: the path's form and the revision's sign.

namespace {

ostrel_error *check_read(const char *path, ostrel_revnum revision) {
  OSTREL_ERR(ostrel_relpath_check(path));
  if (revision < OSTREL_INVALID_REVNUM)
    return ostrel_error_createf(OSTREL_ERR_BAD_REVISION, nullptr, "Invalid revision number %ld",
                                static_cast<long>(revision));
  return OSTREL_NO_ERROR;
}

}  // namespace

ostrel_error *ostrel_ra_list(ostrel_ra_session *session, const char *path, ostrel_revnum revision,
                             ostrel_ra_depth depth, ostrel_ra_dirent_receiver receiver,
                             void *receiver_baton, ostrel_revnum *fetched_rev, apr_pool_t *pool) {
  OSTREL_ERR(check_read(path, revision));
  return session->module->read->list(session, path, revision, depth, receiver, receiver_baton,
                                     fetched_rev, pool);
}

ostrel_error *ostrel_ra_get_file(ostrel_ra_session *session, const char *path,
                                 ostrel_revnum revision, ostrel_stream *stream,
                                 ostrel_revnum *fetched_rev, apr_hash_t **props,
                                 apr_pool_t *pool) {
  OSTREL_ERR(check_read(path, revision));
  return session->module->read->get_file(session, path, revision, stream, fetched_rev, props,
                                         pool);
}

ostrel_error *ostrel_ra_get_props(ostrel_ra_session *session, const char *path,
                                  ostrel_revnum revision, apr_hash_t **props,
                                  ostrel_revnum *fetched_rev, apr_pool_t *pool) {
  OSTREL_ERR(check_read(path, revision));
  return session->module->read->get_props(session, path, revision, props, fetched_rev, pool);
}

ostrel_error *ostrel_ra_get_log(ostrel_ra_session *session, const char *path, ostrel_revnum start,
                                ostrel_revnum end, int limit, bool discover_changed_paths,
                                ostrel_ra_log_receiver receiver, void *receiver_baton,
                                apr_pool_t *pool) {
  OSTREL_ERR(check_read(path, start));
  OSTREL_ERR(check_read(path, end));
  if (limit < 0)
    return ostrel_error_createf(OSTREL_ERR_BAD_ARGUMENTS, nullptr,
                                "A log limit cannot be negative (%d)", limit);
  return session->module->read->get_log(session, path, start, end, limit, discover_changed_paths,
                                        receiver, receiver_baton, pool);
}

}  // extern "C"
