// The receiving side of a commit: replays the frames of a commit request
// (as commit_encoder.h writes them) into any commit editor, as they arrive.
//
// Contract:
//  1. Frames are decoded and replayed as the bytes stream in; a text window
//     goes to the editor before the next frame is read, so at most one frame
//     (bounded by MAX_FRAME) and one fed chunk are held.
//  2. The request must start with the version frame; revision properties
//     come before open_root_dir, which comes once; every other frame names
//     an open node of the right kind, and the finish frame is the last.
//     Anything else is refused as malformed (OSTREL_ERR_RA_BAD_REQUEST).
//  3. Every changed path and every copy source passes the target's
//     check_access before the editor sees the call that names it; a refusal
//     is OSTREL_ERR_RA_NOT_AUTHORIZED with the check's message.
//  4. finish_edit is called only when the finish frame arrived and the
//     bytes ended right after it (end_of_body).  Any refusal, malformed
//     frame, or bytes that end early cancel the edit, and so does the end of
//     a Replayer whose edit was not finished.
//  5. The first failure is kept; later bytes are still split into frames
//     (frames_done() goes on counting) but not replayed.
#ifndef OSTREL_WIRE_REPLAYER_H
#define OSTREL_WIRE_REPLAYER_H

#include <apr_hash.h>
#include <apr_pools.h>

#include <functional>
#include <map>
#include <string>

#include "frames.h"
#include "ostrel_delta.h"

namespace ostrel_wire {

// What a path is accessed for: read or write, the path alone or its whole
// tree.
enum class Access { read, write, read_tree, write_tree };

// What a replay drives, and who decides what it may do.
struct ReplayTarget {
  // Gives the editor to drive, once, when open_root_dir arrives, with the
  // revision properties sent before it.  POOL lives as long as the
  // Replayer.
  std::function<ostrel_error *(const ostrel_commit_editor **editor, void **edit_baton,
                               apr_hash_t *revprops, apr_pool_t *pool)>
      open_editor;
  // Decides ACCESS to PATH ("/a/b", from the repository's root): "" allows
  // it, anything else is the refusal's message.  Empty: everything allowed.
  std::function<std::string(const std::string &path, Access access)> check_access;
  // The canonical URL of the repository's root, to which copy paths
  // ("/trunk/a") are joined to make the editor's copy URLs.
  std::string repos_root_url;
  // The editor's root inside the repository ("" for the root itself).
  std::string fs_path;
};

class Replayer {
 public:
  explicit Replayer(ReplayTarget target, std::size_t max_frame = kDefaultMaxFrame);
  ~Replayer();
  Replayer(const Replayer &) = delete;
  Replayer &operator=(const Replayer &) = delete;

  // Takes the next bytes of the request.
  void feed(const char *data, std::size_t len);
  // The bytes ended: finishes the edit when everything arrived.
  void end_of_body();

  // The first failure (owned by the Replayer), or nullptr.
  const ostrel_error *error() const { return err_; }
  bool failed() const { return err_ != nullptr; }
  // Whether the failure is the request's fault (malformed frames or their
  // order) rather than a refusal of the editor or of check_access.
  bool malformed() const { return malformed_; }
  bool frame_too_large() const { return decoder_.frame_too_large(); }
  // True once finish_edit succeeded.
  bool finished() const { return finished_; }
  // How many frames were split off so far.
  unsigned long long frames_done() const { return frames_done_; }

 private:
  struct Node {
    void *baton;
    bool is_dir;
    std::string path;  // relative to the editor's root
    ostrel_txdelta_window_handler handler = nullptr;
    void *handler_baton = nullptr;
  };

  void fail(ostrel_error *err, bool malformed);
  ostrel_error *replay(const Frame &f);
  ostrel_error *node(Node **out, Num id, const char *what);
  // As node(), refusing a node of the other kind than IS_DIR.
  ostrel_error *node_of_kind(Node **out, Num id, const char *what, bool is_dir);
  ostrel_error *check_new_id(Num id, const char *what);
  // ACCESS to PATH from the repository's root, or to RELPATH below the
  // editor's root.
  ostrel_error *check_path_access(const std::string &path, Access access);
  ostrel_error *check_access(const std::string &relpath, Access access);

  ostrel_error *on(const frame::Revprop &f);
  ostrel_error *on(const frame::OpenRoot &f);
  ostrel_error *on(const frame::Delete &f);
  ostrel_error *on(const frame::AddDir &f) { return add(f, true); }
  ostrel_error *on(const frame::AddFile &f) { return add(f, false); }
  ostrel_error *on(const frame::OpenDir &f) { return open(f, true); }
  ostrel_error *on(const frame::OpenFile &f) { return open(f, false); }
  ostrel_error *on(const frame::Prop &f);
  ostrel_error *on(const frame::CloseDir &f);
  ostrel_error *on(const frame::CloseFile &f);
  ostrel_error *on(const frame::ApplyText &f);
  ostrel_error *on(const frame::Window &f);
  ostrel_error *on(const frame::TextEnd &f);
  ostrel_error *on(const frame::Finish &f);
  ostrel_error *add(const frame::AddNode &f, bool is_dir);
  ostrel_error *open(const frame::OpenNode &f, bool is_dir);

  ReplayTarget target_;
  Decoder decoder_;
  apr_pool_t *pool_ = nullptr;
  apr_pool_t *scratch_ = nullptr;
  apr_hash_t *revprops_ = nullptr;
  const ostrel_commit_editor *editor_ = nullptr;
  void *edit_baton_ = nullptr;
  std::map<Num, Node> nodes_;
  bool versioned_ = false;
  bool finish_seen_ = false;
  bool ended_ = false;
  bool finished_ = false;
  bool malformed_ = false;
  bool decoder_broken_ = false;
  ostrel_error *err_ = nullptr;
  unsigned long long frames_done_ = 0;
};

}  // namespace ostrel_wire

#endif  // OSTREL_WIRE_REPLAYER_H
