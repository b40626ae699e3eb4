// Replays the frames of one commit request into the local commit editor of
// the repository, as they arrive.
//
// Contract:
//  1. Frames are decoded and replayed as the body streams in; a text window
//     goes to the repository before the next one is read, so the server holds
//     at most one frame (bounded by the frame size limit) of the body.
//  2. Every changed path and every copy source passes AUTHORIZE before the
//     editor sees the call that names it.
//  3. Nothing is committed unless the finish frame arrived, the body ended
//     right after it, and finish_edit succeeded.  Any refusal, malformed
//     frame, or a body that ends early abandons the edit (and the end of the
//     Replay abandons an edit that was not finished): no revision, nothing
//     left behind.
//  4. The first failure is kept; later bytes are ignored.
#ifndef OSTRELD_REPLAY_H
#define OSTRELD_REPLAY_H

#include <apr_pools.h>

#include <map>
#include <memory>
#include <string>

#include "hooks.h"
#include "ostrel_delta.h"
#include "ostrel_error.h"
#include "ostrel_ra.h"
#include "wire.h"

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
  ~Replay();
  Replay(const Replay &) = delete;
  Replay &operator=(const Replay &) = delete;

  // Takes the next bytes of the body.
  void feed(const char *data, std::size_t len);
  // The body ended: finishes the edit when everything arrived.
  void end_of_body();

  bool failed() const { return err_ != nullptr; }
  // The first failure, or nullptr.
  const ostrel_error *error() const { return err_; }
  // How many frames were replayed so far.
  unsigned long long frames_done() const { return frames_done_; }
  bool frame_too_large() const { return decoder_.frame_too_large(); }
  bool malformed() const { return malformed_; }
  // The answer to send: the frames of the new revision or of the error chain
  // (with every LOCAL_URL in its messages shown as SHOWN_URL).
  std::string answer(const std::string &local_url, const std::string &shown_url) const;

 private:
  struct Node {
    void *baton;
    bool is_dir;
    std::string path;  // relative to the session URL
    ostrel_txdelta_window_handler handler = nullptr;
    void *handler_baton = nullptr;
  };

  ostrel_error *replay(const ostrel_wire::Frame &frame);
  ostrel_error *open_session();
  ostrel_error *node(Node **out, const ostrel_wire::Frame &frame, std::size_t item);
  ostrel_error *check_access(const std::string &path_below_session, Access access);
  ostrel_error *check_copy_source(const std::string &copy_path);
  void fail(ostrel_error *err, bool malformed);
  static ostrel_error *on_commit(const ostrel_commit_info *info, void *baton, apr_pool_t *pool);

  std::string session_url_, root_url_, repos_, fs_path_;
  Identity identity_;
  AuthorizeFn authorize_;
  ostrel_wire::Decoder decoder_;
  apr_pool_t *pool_ = nullptr;
  apr_pool_t *scratch_ = nullptr;
  apr_hash_t *revprops_ = nullptr;
  ostrel_ra_session *session_ = nullptr;
  const ostrel_commit_editor *editor_ = nullptr;
  void *edit_baton_ = nullptr;
  std::map<long long, Node> nodes_;
  bool versioned_ = false;
  bool finish_seen_ = false;
  bool done_ = false;
  bool malformed_ = false;
  ostrel_error *err_ = nullptr;
  long long revision_ = -1;
  std::string date_, author_;
  std::string warning_;  // the post-commit hook's failure, if any
  bool has_author_ = false;
  unsigned long long frames_done_ = 0;
  bool decoder_broken_ = false;
  bool finished_ = false;
};

// The frames of an answer that carries ERR's chain (outermost link first).
// Every LOCAL_URL in a message is replaced by SHOWN_URL: clients see the
// repository under the URL they used, not the server's local paths.
std::string error_answer(const ostrel_error *err, const std::string &local_url = "",
                         const std::string &shown_url = "");

}  // namespace ostreld

#endif  // OSTRELD_REPLAY_H
