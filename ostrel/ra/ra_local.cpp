// The local access module: sessions on repositories reached through "file"
// URLs.
//
// A session holds the repository open for its whole life; every query goes
// straight to the repository's filesystem, so answers are always current
// (the youngest revision is read afresh on every call).

#include <apr_strings.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "ostrel_config.h"
#include "ostrel_path.h"
#include "ostrel_pools.h"
#include "ra_local.h"

namespace ostrel_ra_local {

namespace {

bool equals_ignoring_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); i++) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

}  // namespace

ostrel_error *url_to_local_path(const char **local_path, const char *url, apr_pool_t *pool) {
  std::string_view text(url);
  std::size_t scheme_end = text.find("://");
  if (scheme_end == std::string_view::npos || scheme_end == 0)
    return ostrel_error_createf(OSTREL_ERR_RA_ILLEGAL_URL, nullptr, "'%s' is not a URL", url);
  if (!equals_ignoring_case(text.substr(0, scheme_end), "file"))
    return ostrel_error_createf(OSTREL_ERR_RA_UNKNOWN_SCHEME, nullptr,
                                "Unrecognised URL scheme for '%s'", url);

  return ostrel_uri_get_dirent_from_file_url(local_path, url, pool);
}

ostrel_error *resolve_revision(ostrel_revnum *resolved, ostrel_ra_session *session,
                               ostrel_revnum revision, apr_pool_t *pool) {
  if (revision < OSTREL_INVALID_REVNUM)
    return ostrel_error_createf(OSTREL_ERR_BAD_REVISION, nullptr, "Invalid revision number %ld",
                                static_cast<long>(revision));
  // A revision once seen stays: only one past it (or the youngest itself)
  // needs the repository's word.
  if (revision >= 0 && revision <= session->youngest_seen) {
    *resolved = revision;
    return OSTREL_NO_ERROR;
  }
  ostrel_revnum youngest;
  OSTREL_ERR(ostrel_fs_youngest_rev(&youngest, session->filesystem, pool));
  if (youngest > session->youngest_seen) session->youngest_seen = youngest;
  if (revision > youngest)
    return ostrel_error_createf(OSTREL_ERR_FS_NO_SUCH_REVISION, nullptr,
                                "No such revision %ld (youngest is %ld)",
                                static_cast<long>(revision), static_cast<long>(youngest));
  *resolved = revision == OSTREL_INVALID_REVNUM ? youngest : revision;
  return OSTREL_NO_ERROR;
}

}  // namespace ostrel_ra_local

using namespace ostrel_ra_local;

namespace {

ostrel_error *local_open(ostrel_ra_session *session, const char *repos_url, apr_hash_t *config,
                         apr_pool_t *pool) {
  const char *local_path = nullptr;
  OSTREL_ERR(url_to_local_path(&local_path, repos_url, pool));

  const char *root = ostrel_repos_find_root_path(local_path, pool);
  if (!root)
    return ostrel_error_createf(OSTREL_ERR_RA_NO_REPOSITORY, nullptr,
                                "Unable to find a repository at URL '%s'", repos_url);

  // The configuration reaches the storage as its fs configuration.
  apr_hash_t *fs_config = apr_hash_make(pool);
  ostrel_config *cfg =
      config ? static_cast<ostrel_config *>(
                   apr_hash_get(config, OSTREL_CONFIG_CATEGORY_CONFIG, APR_HASH_KEY_STRING))
             : nullptr;
  if (const char *timeout = ostrel_config_get(cfg, OSTREL_CONFIG_SECTION_LOCAL,
                                              OSTREL_CONFIG_OPTION_BUSY_TIMEOUT, nullptr))
    apr_hash_set(fs_config, OSTREL_FS_CONFIG_BUSY_TIMEOUT, APR_HASH_KEY_STRING, timeout);

  ostrel_error *err = ostrel_repos_open2(&session->repos, root, fs_config, pool);
  if (err)
    return ostrel_error_createf(err->apr_err, err, "Unable to open repository at URL '%s'",
                                repos_url);

  // The part of the local path below the root is the session's path inside
  // the repository.
  const char *fs_path = nullptr;
  OSTREL_ERR(ostrel_dirent_repos_relpath(&fs_path, root, local_path));
  if (!fs_path)
    return ostrel_error_createf(OSTREL_ERR_RA_NO_REPOSITORY, nullptr,
                                "Unable to find a repository at URL '%s'", repos_url);

  session->repos_root_path = apr_pstrdup(pool, root);
  OSTREL_ERR(ostrel_uri_get_file_url_from_dirent(&session->repos_root_url,
                                                 session->repos_root_path, pool));
  session->fs_path = apr_pstrdup(pool, fs_path);
  session->filesystem = ostrel_repos_fs(session->repos);
  return OSTREL_NO_ERROR;
}

ostrel_error *local_get_repos_root(ostrel_ra_session *session, const char **url,
                                   apr_pool_t *pool) {
  *url = apr_pstrdup(pool, session->repos_root_url);
  return OSTREL_NO_ERROR;
}

ostrel_error *local_get_latest_revnum(ostrel_ra_session *session, ostrel_revnum *latest_revnum,
                                      apr_pool_t *pool) {
  return ostrel_fs_youngest_rev(latest_revnum, session->filesystem, pool);
}

ostrel_error *local_check_path(ostrel_ra_session *session, const char *path,
                               ostrel_revnum revision, ostrel_node_kind *kind, apr_pool_t *pool) {
  OSTREL_ERR(ostrel_relpath_check(path));
  ostrel_revnum rev;
  OSTREL_ERR(resolve_revision(&rev, session, revision, pool));
  apr_pool_t *scratch = ostrel_pool_create(pool);
  ostrel_fs_root *root = nullptr;
  ostrel_error *err = ostrel_fs_revision_root(&root, session->filesystem, rev, scratch);
  if (!err)
    err = ostrel_fs_check_path(kind, root, ostrel_relpath_join(session->fs_path, path, scratch),
                               scratch);
  apr_pool_destroy(scratch);
  return err;
}

const char *const kLocalSchemes[] = {"file", nullptr};

}  // namespace

const ostrel_ra_module ostrel_ra_local_module = {
    "ostrel_ra_local",
    "local access",
    "access repositories on local disk",
    kLocalSchemes,
    local_open,
    local_get_repos_root,
    local_get_latest_revnum,
    local_check_path,
    ostrel_ra_local::get_commit_editor,
    &ostrel_ra_local_read_calls,
};
