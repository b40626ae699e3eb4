#include "replay.h"

#include "ostrel_auth.h"
#include "ostrel_pools.h"

namespace ostreld {

namespace {

Access hooks_access(ostrel_wire::Access access) {
  switch (access) {
    case ostrel_wire::Access::read:
      return Access::read;
    case ostrel_wire::Access::write:
      return Access::write;
    case ostrel_wire::Access::read_tree:
      return Access::read_tree;
    case ostrel_wire::Access::write_tree:
      return Access::write_tree;
  }
  return Access::write_tree;
}

}  // namespace

std::string error_answer(const ostrel_error *err, const std::string &local_url,
                         const std::string &shown_url) {
  return ostrel_wire::encode_refusal(err, local_url, shown_url);
}

Replay::Replay(std::string session_url, std::string repos_root_url, std::string repos,
               std::string fs_path, Identity identity, std::size_t max_frame,
               AuthorizeFn authorize_fn)
    : session_url_(std::move(session_url)),
      identity_(std::move(identity)),
      replayer_(target(this, std::move(repos_root_url), std::move(repos), std::move(fs_path),
                       authorize_fn),
                max_frame) {}

ostrel_wire::ReplayTarget Replay::target(Replay *self, std::string repos_root_url,
                                         std::string repos, std::string fs_path,
                                         AuthorizeFn authorize_fn) {
  ostrel_wire::ReplayTarget target;
  target.repos_root_url = std::move(repos_root_url);
  target.fs_path = std::move(fs_path);
  target.open_editor = [self](const ostrel_commit_editor **editor, void **edit_baton,
                              apr_hash_t *revprops, apr_pool_t *pool) {
    return self->open_editor(editor, edit_baton, revprops, pool);
  };
  target.check_access = [self, repos = std::move(repos), authorize_fn](const std::string &path,
                                                                       ostrel_wire::Access access) {
    return authorize_fn(self->identity_, repos, path, hooks_access(access));
  };
  return target;
}

std::string Replay::answer(const std::string &local_url, const std::string &shown_url) const {
  if (replayer_.failed()) return error_answer(replayer_.error(), local_url, shown_url);
  return ostrel_wire::encode_answer(committed_);
}

ostrel_error *Replay::on_commit(const ostrel_commit_info *info, void *baton, apr_pool_t *) {
  auto *self = static_cast<Replay *>(baton);
  self->committed_.revision = info->revision;
  self->committed_.date = info->date ? info->date : "";
  if (info->author) self->committed_.author = info->author;
  if (info->post_commit_err) self->committed_.warning = info->post_commit_err;
  return OSTREL_NO_ERROR;
}

ostrel_error *Replay::open_editor(const ostrel_commit_editor **editor, void **edit_baton,
                                  apr_hash_t *revprops, apr_pool_t *pool) {
  ostrel_ra_callbacks *callbacks = nullptr;
  OSTREL_ERR(ostrel_ra_create_callbacks(&callbacks, pool));
  // The author of the new revision is the identified user; anonymous
  // commits have none.
  OSTREL_ERR(ostrel_cmdline_create_auth_baton(
      &callbacks->auth_baton, true, identity_.anonymous ? "" : identity_.user.c_str(), nullptr,
      nullptr, true, false, nullptr, nullptr, nullptr, pool));
  ostrel_ra_session *session = nullptr;
  OSTREL_ERR(ostrel_ra_open4(&session, nullptr, session_url_.c_str(), nullptr, callbacks, nullptr,
                             nullptr, pool));
  return ostrel_ra_get_commit_editor3(session, editor, edit_baton, revprops, on_commit, this,
                                      nullptr, false, pool);
}

}  // namespace ostreld
