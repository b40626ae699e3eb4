// Replays the frames of one commit request into the local commit editor of
// the repository, as they arrive.
//
// Contract:
//  1. Frames are decoded and replayed as the body streams in; a text window
//     goes to the repository before the next one is read, so the server holds
//     at most one frame (bounded by the frame size limit) of the body.
//  2. Every changed path and every copy source passes authorize() before the
//     editor sees the call that names it.
//  3. Nothing is committed unless the finish frame arrived, the body ended
//     right after it, and finish_edit succeeded.  Any refusal, malformed
//     frame, or a body that ends early abandons the edit (and the end of the
//     Replay abandons an edit that was not finished): no revision, nothing
//     left behind.
//  4. The first failure is kept; later bytes are ignored.
// The frames and their order are ostrel_wire's (replayer.h); this class
// gives the replay its editor (a local session on the repository) and its
// access check (the path rules).
#ifndef OSTRELD_REPLAY_H
#define OSTRELD_REPLAY_H

#include <apr_pools.h>

#include <string>

#include "answers.h"
#include "hooks.h"
#include "ostrel_delta.h"
#include "ostrel_error.h"
#include "ostrel_ra.h"
#include "replayer.h"

namespace ostreld {

class Replay {
 public:
  // SESSION_URL: the file:// URL of the commit's target (the repository root
  // REPOS_ROOT_URL or below).  REPOS: the repository's name, for authorize().
  // FS_PATH: the target's path inside the repository ("" for the root).
  // AUTHORIZE decides every path access (see hooks.h).
  Replay(std::string session_url, std::string repos_root_url, std::string repos,
         std::string fs_path, Identity identity, std::size_t max_frame,
         AuthorizeFn authorize_fn);
  Replay(const Replay &) = delete;
  Replay &operator=(const Replay &) = delete;

  // Takes the next bytes of the body.
  void feed(const char *data, std::size_t len) { replayer_.feed(data, len); }
  // The body ended: finishes the edit when everything arrived.
  void end_of_body() { replayer_.end_of_body(); }

  bool failed() const { return replayer_.failed(); }
  // The first failure, or nullptr.
  const ostrel_error *error() const { return replayer_.error(); }
  // How many frames were replayed so far.
  unsigned long long frames_done() const { return replayer_.frames_done(); }
  bool frame_too_large() const { return replayer_.frame_too_large(); }
  bool malformed() const { return replayer_.malformed(); }
  // The answer to send: the frames of the new revision or of the error chain
  // (with every LOCAL_URL in its messages shown as SHOWN_URL).
  std::string answer(const std::string &local_url, const std::string &shown_url) const;

 private:
  // The replay's editor and access check.
  static ostrel_wire::ReplayTarget target(Replay *self, std::string repos_root_url,
                                          std::string repos, std::string fs_path,
                                          AuthorizeFn authorize_fn);
  ostrel_error *open_editor(const ostrel_commit_editor **editor, void **edit_baton,
                            apr_hash_t *revprops, apr_pool_t *pool);
  static ostrel_error *on_commit(const ostrel_commit_info *info, void *baton, apr_pool_t *pool);

  std::string session_url_;
  Identity identity_;
  ostrel_wire::CommitAnswer committed_;
  // Last: its end abandons an unfinished edit, which may still call back.
  ostrel_wire::Replayer replayer_;
};

// The frames of an answer that carries ERR's chain (outermost link first).
// Every LOCAL_URL in a message is replaced by SHOWN_URL: clients see the
// repository under the URL they used, not the server's local paths.
std::string error_answer(const ostrel_error *err, const std::string &local_url = "",
                         const std::string &shown_url = "");

}  // namespace ostreld

#endif  // OSTRELD_REPLAY_H
