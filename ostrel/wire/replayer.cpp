// Replaying a commit request into an editor: see replayer.h.

#include "replayer.h"

#include <apr_strings.h>

#include "answers.h"
#include "ostrel_path.h"
#include "ostrel_pools.h"

namespace ostrel_wire {

namespace {

ostrel_error *bad_request(const std::string &why) {
  return ostrel_error_createf(OSTREL_ERR_RA_BAD_REQUEST, nullptr, "Malformed commit request: %s",
                              why.c_str());
}

const char *dup(Str text, apr_pool_t *pool) {
  return apr_pstrmemdup(pool, text.data(), text.size());
}

const char *dup(const Opt &text, apr_pool_t *pool) {
  return text ? dup(*text, pool) : nullptr;
}

}  // namespace

Replayer::Replayer(ReplayTarget target, std::size_t max_frame)
    : target_(std::move(target)), decoder_(max_frame) {
  pool_ = ostrel_pool_create(nullptr);
  scratch_ = ostrel_pool_create(pool_);
  revprops_ = apr_hash_make(pool_);
}

Replayer::~Replayer() {
  if (editor_ && !finished_ && !err_)
    ostrel_error_clear(editor_->cancel_edit(edit_baton_, scratch_));
  ostrel_error_clear(err_);
  apr_pool_destroy(pool_);
}

void Replayer::fail(ostrel_error *err, bool is_malformed) {
  if (err_) {
    ostrel_error_clear(err);
    return;
  }
  err_ = err;
  malformed_ = is_malformed;
  if (editor_) ostrel_error_clear(editor_->cancel_edit(edit_baton_, scratch_));
}

void Replayer::feed(const char *data, std::size_t len) {
  if (decoder_broken_ || ended_) return;
  decoder_.feed(data, len);
  Frame f;
  while (true) {
    Status status = decoder_.next(f);
    if (status == Status::need_more) return;
    if (status == Status::error) {
      decoder_broken_ = true;
      fail(bad_request(decoder_.error()), true);
      return;
    }
    // After a failure the rest is still split into frames, only to tell a
    // sender that is sending from one that stalls.
    frames_done_++;
    if (err_) continue;
    apr_pool_clear(scratch_);
    if (ostrel_error *err = replay(f)) fail(err, err->apr_err == OSTREL_ERR_RA_BAD_REQUEST);
  }
}

void Replayer::end_of_body() {
  ended_ = true;
  if (err_ || finished_) return;
  if (!finish_seen_ || !decoder_.at_boundary()) {
    fail(bad_request("the body ended before the commit was complete"), true);
    return;
  }
  apr_pool_clear(scratch_);
  if (ostrel_error *err = editor_->finish_edit(edit_baton_, scratch_)) {
    fail(err, false);
    return;
  }
  finished_ = true;
}

ostrel_error *Replayer::replay(const Frame &f) {
  if (!versioned_) {
    VersionCheck check = check_version(f);
    if (check != VersionCheck::ok) return bad_request(version_problem(check));
    versioned_ = true;
    return OSTREL_NO_ERROR;
  }
  if (finish_seen_) return bad_request("frames after finish_edit");
  ostrel_error *err = OSTREL_NO_ERROR;
  std::string why = CommitRequestFrames::decode(f, [&](const auto &kind) {
    using Kind = std::decay_t<decltype(kind)>;
    if (!editor_ && Kind::kTag != frame::Revprop::kTag && Kind::kTag != frame::OpenRoot::kTag)
      err = bad_request(std::string(Kind::kName) + " before open_root_dir");
    else
      err = on(kind);
  });
  if (!why.empty()) return bad_request(why);
  return err;
}

ostrel_error *Replayer::check_path_access(const std::string &path, Access access) {
  if (!target_.check_access) return OSTREL_NO_ERROR;
  std::string refusal = target_.check_access(path, access);
  if (refusal.empty()) return OSTREL_NO_ERROR;
  return ostrel_error_create(OSTREL_ERR_RA_NOT_AUTHORIZED, nullptr, refusal.c_str());
}

ostrel_error *Replayer::check_access(const std::string &relpath, Access access) {
  std::string path = "/" + target_.fs_path;
  if (!relpath.empty()) path += (path.size() > 1 ? "/" : "") + relpath;
  return check_path_access(path, access);
}

ostrel_error *Replayer::node(Node **out, Num id, const char *what) {
  auto found = nodes_.find(id);
  if (found == nodes_.end()) return bad_request(std::string(what) + " names no open node");
  *out = &found->second;
  return OSTREL_NO_ERROR;
}

ostrel_error *Replayer::check_new_id(Num id, const char *what) {
  // A number already in use would leave the node it names unreachable.
  if (nodes_.count(id))
    return bad_request(std::string(what) + " names a node that is already open");
  return OSTREL_NO_ERROR;
}

ostrel_error *Replayer::on(const frame::Revprop &f) {
  if (editor_) return bad_request("revision property after open_root_dir");
  apr_hash_set(revprops_, dup(f.name, pool_), APR_HASH_KEY_STRING,
               ostrel_string_ncreate(f.value.data(), f.value.size(), pool_));
  return OSTREL_NO_ERROR;
}

ostrel_error *Replayer::on(const frame::OpenRoot &f) {
  if (editor_) return bad_request("open_root_dir called twice");
  OSTREL_ERR(target_.open_editor(&editor_, &edit_baton_, revprops_, pool_));
  void *baton = nullptr;
  OSTREL_ERR(
      editor_->open_root_dir(edit_baton_, static_cast<ostrel_revnum>(f.base_rev), pool_, &baton));
  nodes_.emplace(f.id, Node{baton, true, ""});
  return OSTREL_NO_ERROR;
}

ostrel_error *Replayer::on(const frame::Delete &f) {
  Node *parent = nullptr;
  OSTREL_ERR(node(&parent, f.parent, f.kName));
  const char *path = dup(f.path, scratch_);
  OSTREL_ERR(check_access(path, Access::write_tree));
  return editor_->remove_entry(path, static_cast<ostrel_revnum>(f.rev), parent->baton, scratch_);
}

ostrel_error *Replayer::add(const frame::AddNode &f, bool is_dir) {
  const char *what = is_dir ? frame::AddDir::kName : frame::AddFile::kName;
  Node *parent = nullptr;
  OSTREL_ERR(node(&parent, f.parent, what));
  OSTREL_ERR(check_new_id(f.id, what));
  const char *path = dup(f.path, pool_);
  OSTREL_ERR(check_access(path, f.copy_path ? Access::write_tree : Access::write));
  const char *copy_url = nullptr;
  if (f.copy_path) {
    // Copy sources travel as escaped paths inside the repository; here they
    // become URLs of the repository the editor works on.
    const char *copy_path = dup(f.copy_path, scratch_);
    const char *decoded = ostrel_path_uri_decode(copy_path, scratch_);
    ostrel_error *bad = *copy_path == '/' ? ostrel_fspath_check(decoded) : OSTREL_NO_ERROR;
    if (*copy_path != '/' || bad) {
      ostrel_error_clear(bad);
      return ostrel_error_createf(OSTREL_ERR_RA_BAD_REQUEST, nullptr,
                                  "Malformed commit request: copy source '%s' is not a path "
                                  "inside the repository",
                                  copy_path);
    }
    OSTREL_ERR(check_path_access(decoded, Access::read_tree));
    copy_url = ostrel_uri_canonicalize(apr_pstrcat(scratch_, target_.repos_root_url.c_str(),
                                                   copy_path, static_cast<char *>(nullptr)),
                                       scratch_);
  }
  void *baton = nullptr;
  auto rev = static_cast<ostrel_revnum>(f.copy_rev);
  if (is_dir)
    OSTREL_ERR(editor_->add_dir(path, parent->baton, copy_url, rev, pool_, &baton));
  else
    OSTREL_ERR(editor_->add_file_node(path, parent->baton, copy_url, rev, pool_, &baton));
  nodes_.emplace(f.id, Node{baton, is_dir, path});
  return OSTREL_NO_ERROR;
}

ostrel_error *Replayer::open(const frame::OpenNode &f, bool is_dir) {
  const char *what = is_dir ? frame::OpenDir::kName : frame::OpenFile::kName;
  Node *parent = nullptr;
  OSTREL_ERR(node(&parent, f.parent, what));
  OSTREL_ERR(check_new_id(f.id, what));
  const char *path = dup(f.path, pool_);
  void *baton = nullptr;
  auto rev = static_cast<ostrel_revnum>(f.base_rev);
  ostrel_error *err = is_dir ? editor_->open_dir(path, parent->baton, rev, pool_, &baton)
                             : editor_->open_file_node(path, parent->baton, rev, pool_, &baton);
  // Whether a path the caller may not read exists is not theirs to learn.
  if (err) {
    if (ostrel_error *refusal = check_access(path, Access::read)) {
      ostrel_error_clear(err);
      return refusal;
    }
  }
  OSTREL_ERR(err);
  nodes_.emplace(f.id, Node{baton, is_dir, path});
  return OSTREL_NO_ERROR;
}

ostrel_error *Replayer::on(const frame::Prop &f) {
  Node *target = nullptr;
  OSTREL_ERR(node(&target, f.id, f.kName));
  OSTREL_ERR(check_access(target->path, Access::write));
  const ostrel_string *value =
      f.value ? ostrel_string_ncreate(f.value->data(), f.value->size(), scratch_) : nullptr;
  return (target->is_dir ? editor_->set_dir_prop : editor_->set_file_prop)(
      target->baton, dup(f.name, scratch_), value, scratch_);
}

ostrel_error *Replayer::node_of_kind(Node **out, Num id, const char *what, bool is_dir) {
  OSTREL_ERR(node(out, id, what));
  if ((*out)->is_dir == is_dir) return OSTREL_NO_ERROR;
  return bad_request(std::string(what) + ((*out)->is_dir ? " names a directory" : " names a file"));
}

ostrel_error *Replayer::on(const frame::CloseDir &f) {
  Node *target = nullptr;
  OSTREL_ERR(node_of_kind(&target, f.id, f.kName, true));
  OSTREL_ERR(editor_->close_dir(target->baton, scratch_));
  nodes_.erase(f.id);
  return OSTREL_NO_ERROR;
}

ostrel_error *Replayer::on(const frame::CloseFile &f) {
  Node *target = nullptr;
  OSTREL_ERR(node_of_kind(&target, f.id, f.kName, false));
  OSTREL_ERR(editor_->close_file_node(target->baton, dup(f.checksum, scratch_), scratch_));
  nodes_.erase(f.id);
  return OSTREL_NO_ERROR;
}

ostrel_error *Replayer::on(const frame::ApplyText &f) {
  Node *target = nullptr;
  OSTREL_ERR(node_of_kind(&target, f.id, f.kName, false));
  OSTREL_ERR(check_access(target->path, Access::write));
  return editor_->apply_text_delta(target->baton, dup(f.base_checksum, scratch_), pool_,
                                   &target->handler, &target->handler_baton);
}

ostrel_error *Replayer::on(const frame::Window &f) {
  Node *target = nullptr;
  OSTREL_ERR(node(&target, f.id, f.kName));
  if (!target->handler)
    return bad_request(std::string(f.kName) + " for a file without apply_text_delta");
  if (f.offset < 0) return bad_request(std::string(f.kName) + " at a negative offset");
  ostrel_txdelta_window window;
  window.offset = static_cast<ostrel_filesize>(f.offset);
  window.data = f.data.data();
  window.len = f.data.size();
  return target->handler(&window, target->handler_baton);
}

ostrel_error *Replayer::on(const frame::TextEnd &f) {
  Node *target = nullptr;
  OSTREL_ERR(node(&target, f.id, f.kName));
  if (!target->handler)
    return bad_request(std::string(f.kName) + " for a file without apply_text_delta");
  ostrel_txdelta_window_handler handler = target->handler;
  target->handler = nullptr;
  return handler(nullptr, target->handler_baton);
}

ostrel_error *Replayer::on(const frame::Finish &) {
  finish_seen_ = true;
  return OSTREL_NO_ERROR;
}

}  // namespace ostrel_wire
