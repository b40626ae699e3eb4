#include "replay.h"

#include <apr_strings.h>

#include <cstring>

#include "ostrel_auth.h"
#include "ostrel_path.h"
#include "ostrel_pools.h"

namespace ostreld {

namespace tag = ostrel_wire::tag;
using ostrel_wire::Frame;
using ostrel_wire::number;

namespace {

ostrel_error *bad_frame(const char *fmt, const char *what) {
  return ostrel_error_createf(OSTREL_ERR_DELTA_BAD_CALL, nullptr, fmt, what);
}

const char *opt_item(const Frame &frame, std::size_t i, apr_pool_t *pool) {
  const auto &item = frame.items[i];
  return item ? apr_pstrmemdup(pool, item->data(), item->size()) : nullptr;
}

const char *str_item(const Frame &frame, std::size_t i, apr_pool_t *pool) {
  return apr_pstrmemdup(pool, frame.items[i]->data(), frame.items[i]->size());
}

}  // namespace

std::string error_answer(const ostrel_error *err, const std::string &local_url,
                         const std::string &shown_url) {
  std::string out;
  ostrel_wire::Encoder enc(out);
  enc.begin(tag::kVersion);
  enc.num(ostrel_wire::kProtocolVersion);
  enc.end();
  for (const ostrel_error *link = err; link; link = link->child) {
    enc.begin(tag::kError);
    enc.num(link->apr_err);
    char buf[256];
    std::string message =
        link->message ? link->message : ostrel_strerror(link->apr_err, buf, sizeof buf);
    if (!local_url.empty())
      for (std::size_t at = 0; (at = message.find(local_url, at)) != std::string::npos;
           at += shown_url.size())
        message.replace(at, local_url.size(), shown_url);
    enc.str(message);
    enc.end();
  }
  return out;
}

Replay::Replay(std::string session_url, std::string repos_root_url, std::string repos,
               std::string fs_path, Identity identity, std::size_t max_frame,
               AuthorizeFn authorize_fn)
    : session_url_(std::move(session_url)),
      root_url_(std::move(repos_root_url)),
      repos_(std::move(repos)),
      fs_path_(std::move(fs_path)),
      identity_(std::move(identity)),
      authorize_(authorize_fn),
      decoder_(max_frame) {
  pool_ = ostrel_pool_create(nullptr);
  scratch_ = ostrel_pool_create(pool_);
  revprops_ = apr_hash_make(pool_);
}

Replay::~Replay() {
  // Destroying the pool abandons an edit that was not finished.
  if (editor_ && !done_) ostrel_error_clear(editor_->cancel_edit(edit_baton_, scratch_));
  ostrel_error_clear(err_);
  apr_pool_destroy(pool_);
}

void Replay::fail(ostrel_error *err, bool malformed) {
  if (err_) {
    ostrel_error_clear(err);
    return;
  }
  err_ = err;
  malformed_ = malformed;
  if (editor_) ostrel_error_clear(editor_->cancel_edit(edit_baton_, scratch_));
  done_ = true;
}

void Replay::feed(const char *data, std::size_t len) {
  if (decoder_broken_ || finished_) return;
  decoder_.feed(data, len);
  Frame frame;
  while (true) {
    ostrel_wire::Status status = decoder_.next(frame);
    if (status == ostrel_wire::Status::need_more) return;
    if (status == ostrel_wire::Status::error) {
      decoder_broken_ = true;
      fail(ostrel_error_createf(OSTREL_ERR_RA_BAD_REQUEST, nullptr, "Malformed commit request: %s",
                                decoder_.error().c_str()),
           true);
      return;
    }
    // After a refusal the rest of the body is still split into frames, only
    // to tell a client that is sending from one that stalls.
    frames_done_++;
    if (err_) continue;
    std::string shape = ostrel_wire::check_shape(frame);
    if (!shape.empty()) {
      fail(ostrel_error_createf(OSTREL_ERR_RA_BAD_REQUEST, nullptr, "Malformed commit request: %s",
                                shape.c_str()),
           true);
      continue;
    }
    apr_pool_clear(scratch_);
    if (ostrel_error *err = replay(frame)) fail(err, err->apr_err == OSTREL_ERR_RA_BAD_REQUEST);
  }
}

void Replay::end_of_body() {
  finished_ = true;
  if (done_) return;
  if (!finish_seen_ || !decoder_.at_boundary()) {
    fail(ostrel_error_create(OSTREL_ERR_RA_BAD_REQUEST, nullptr,
                             "Malformed commit request: the body ended before the commit was "
                             "complete"),
         true);
    return;
  }
  apr_pool_clear(scratch_);
  ostrel_error *err = editor_->finish_edit(edit_baton_, scratch_);
  if (err) {
    fail(err, false);
    return;
  }
  done_ = true;
}

std::string Replay::answer(const std::string &local_url, const std::string &shown_url) const {
  if (err_) return error_answer(err_, local_url, shown_url);
  std::string out;
  ostrel_wire::Encoder enc(out);
  enc.begin(tag::kVersion);
  enc.num(ostrel_wire::kProtocolVersion);
  enc.end();
  enc.begin(tag::kCommitted);
  enc.num(revision_);
  enc.str(date_);
  enc.opt(has_author_ ? author_.c_str() : nullptr);
  enc.end();
  if (!warning_.empty()) {
    enc.begin(tag::kWarning);
    enc.str(warning_);
    enc.end();
  }
  return out;
}

ostrel_error *Replay::on_commit(const ostrel_commit_info *info, void *baton, apr_pool_t *) {
  auto *self = static_cast<Replay *>(baton);
  self->revision_ = info->revision;
  self->date_ = info->date ? info->date : "";
  self->has_author_ = info->author != nullptr;
  self->author_ = info->author ? info->author : "";
  self->warning_ = info->post_commit_err ? info->post_commit_err : "";
  return OSTREL_NO_ERROR;
}

ostrel_error *Replay::open_session() {
  ostrel_ra_callbacks *callbacks = nullptr;
  OSTREL_ERR(ostrel_ra_create_callbacks(&callbacks, pool_));
  // The author of the new revision is the identified user; anonymous
  // commits have none.
  OSTREL_ERR(ostrel_cmdline_create_auth_baton(
      &callbacks->auth_baton, true, identity_.anonymous ? "" : identity_.user.c_str(), nullptr,
      nullptr, true, false, nullptr, nullptr, nullptr, pool_));
  OSTREL_ERR(ostrel_ra_open4(&session_, nullptr, session_url_.c_str(), nullptr, callbacks, nullptr,
                             nullptr, pool_));
  return ostrel_ra_get_commit_editor3(session_, &editor_, &edit_baton_, revprops_, on_commit, this,
                                      nullptr, false, pool_);
}

ostrel_error *Replay::check_access(const std::string &path_below_session, Access access) {
  std::string path = "/" + fs_path_;
  if (!path_below_session.empty()) path += (path.size() > 1 ? "/" : "") + path_below_session;
  std::string refusal = authorize_(identity_, repos_, path, access);
  if (refusal.empty()) return OSTREL_NO_ERROR;
  return ostrel_error_create(OSTREL_ERR_RA_NOT_AUTHORIZED, nullptr, refusal.c_str());
}

ostrel_error *Replay::check_copy_source(const std::string &copy_path) {
  std::string refusal = authorize_(identity_, repos_, copy_path, Access::read_tree);
  if (refusal.empty()) return OSTREL_NO_ERROR;
  return ostrel_error_create(OSTREL_ERR_RA_NOT_AUTHORIZED, nullptr, refusal.c_str());
}

ostrel_error *Replay::node(Node **out, const Frame &frame, std::size_t item) {
  auto found = nodes_.find(number(frame, item));
  if (found == nodes_.end())
    return ostrel_error_createf(OSTREL_ERR_RA_BAD_REQUEST, nullptr,
                                "Malformed commit request: %s names no open node",
                                ostrel_wire::tag_name(frame.tag));
  *out = &found->second;
  return OSTREL_NO_ERROR;
}

ostrel_error *Replay::replay(const Frame &frame) {
  if (!versioned_) {
    if (frame.tag != tag::kVersion || *frame.items[0] != "1")
      return ostrel_error_create(OSTREL_ERR_RA_BAD_REQUEST, nullptr,
                                 "Malformed commit request: it does not start with protocol "
                                 "version 1");
    versioned_ = true;
    return OSTREL_NO_ERROR;
  }
  if (finish_seen_)
    return ostrel_error_create(OSTREL_ERR_RA_BAD_REQUEST, nullptr,
                               "Malformed commit request: frames after finish_edit");
  if (!editor_ && frame.tag != tag::kRevprop && frame.tag != tag::kOpenRoot)
    return bad_frame("Malformed commit request: %s before open_root_dir",
                     ostrel_wire::tag_name(frame.tag));

  apr_pool_t *pool = scratch_;
  Node *parent = nullptr;
  Node *target = nullptr;
  switch (frame.tag) {
    case tag::kRevprop: {
      if (editor_)
        return bad_frame("Malformed commit request: %s after open_root_dir", "revision property");
      const char *name = str_item(frame, 0, pool_);
      apr_hash_set(revprops_, name, APR_HASH_KEY_STRING,
                   ostrel_string_ncreate(frame.items[1]->data(), frame.items[1]->size(), pool_));
      return OSTREL_NO_ERROR;
    }
    case tag::kOpenRoot: {
      if (editor_) return bad_frame("%s called twice", "open_root_dir");
      OSTREL_ERR(open_session());
      void *baton = nullptr;
      OSTREL_ERR(editor_->open_root_dir(edit_baton_, static_cast<ostrel_revnum>(number(frame, 1)),
                                        pool_, &baton));
      nodes_[number(frame, 0)] = Node{baton, true, ""};
      return OSTREL_NO_ERROR;
    }
    case tag::kDelete: {
      OSTREL_ERR(node(&parent, frame, 0));
      const char *path = str_item(frame, 1, pool);
      OSTREL_ERR(check_access(path, Access::write_tree));
      return editor_->remove_entry(path, static_cast<ostrel_revnum>(number(frame, 2)),
                                   parent->baton, pool);
    }
    case tag::kAddDir:
    case tag::kAddFile: {
      OSTREL_ERR(node(&parent, frame, 0));
      const char *path = str_item(frame, 1, pool_);
      const char *copy_path = opt_item(frame, 2, pool);
      OSTREL_ERR(check_access(path, copy_path ? Access::write_tree : Access::write));
      const char *copy_url = nullptr;
      if (copy_path) {
        // Copy sources travel as paths inside the repository; here they
        // become URLs of the local repository.
        if (*copy_path != '/')
          return ostrel_error_createf(OSTREL_ERR_RA_BAD_REQUEST, nullptr,
                                      "Malformed commit request: copy source '%s' is not an "
                                      "absolute path",
                                      copy_path);
        OSTREL_ERR(check_copy_source(ostrel_path_uri_decode(copy_path, pool)));
        copy_url = ostrel_uri_canonicalize(
            apr_pstrcat(pool, root_url_.c_str(), copy_path, static_cast<char *>(nullptr)), pool);
      }
      bool is_dir = frame.tag == tag::kAddDir;
      void *baton = nullptr;
      auto rev = static_cast<ostrel_revnum>(number(frame, 3));
      if (is_dir)
        OSTREL_ERR(editor_->add_dir(path, parent->baton, copy_url, rev, pool_, &baton));
      else
        OSTREL_ERR(editor_->add_file_node(path, parent->baton, copy_url, rev, pool_, &baton));
      nodes_[number(frame, 4)] = Node{baton, is_dir, path};
      return OSTREL_NO_ERROR;
    }
    case tag::kOpenDir:
    case tag::kOpenFile: {
      OSTREL_ERR(node(&parent, frame, 0));
      const char *path = str_item(frame, 1, pool_);
      bool is_dir = frame.tag == tag::kOpenDir;
      void *baton = nullptr;
      auto rev = static_cast<ostrel_revnum>(number(frame, 2));
      ostrel_error *err =
          is_dir ? editor_->open_dir(path, parent->baton, rev, pool_, &baton)
                 : editor_->open_file_node(path, parent->baton, rev, pool_, &baton);
      // Whether a path the caller may not read exists is not theirs to learn.
      if (err) {
        if (ostrel_error *refusal = check_access(path, Access::read)) {
          ostrel_error_clear(err);
          return refusal;
        }
      }
      OSTREL_ERR(err);
      nodes_[number(frame, 3)] = Node{baton, is_dir, path};
      return OSTREL_NO_ERROR;
    }
    case tag::kProp: {
      OSTREL_ERR(node(&target, frame, 0));
      OSTREL_ERR(check_access(target->path, Access::write));
      const char *name = str_item(frame, 1, pool);
      const ostrel_string *value =
          frame.items[2]
              ? ostrel_string_ncreate(frame.items[2]->data(), frame.items[2]->size(), pool)
              : nullptr;
      return (target->is_dir ? editor_->set_dir_prop : editor_->set_file_prop)(target->baton, name,
                                                                               value, pool);
    }
    case tag::kCloseDir:
    case tag::kCloseFile: {
      OSTREL_ERR(node(&target, frame, 0));
      if (target->is_dir != (frame.tag == tag::kCloseDir))
        return bad_frame("Malformed commit request: %s names a node of the other kind",
                         ostrel_wire::tag_name(frame.tag));
      long long id = number(frame, 0);
      if (target->is_dir)
        OSTREL_ERR(editor_->close_dir(target->baton, pool));
      else
        OSTREL_ERR(editor_->close_file_node(target->baton, opt_item(frame, 1, pool), pool));
      nodes_.erase(id);
      return OSTREL_NO_ERROR;
    }
    case tag::kApplyText: {
      OSTREL_ERR(node(&target, frame, 0));
      if (target->is_dir)
        return bad_frame("Malformed commit request: %s names a directory", "apply_text_delta");
      OSTREL_ERR(check_access(target->path, Access::write));
      return editor_->apply_text_delta(target->baton, opt_item(frame, 1, pool), pool_,
                                       &target->handler, &target->handler_baton);
    }
    case tag::kWindow:
    case tag::kTextEnd: {
      OSTREL_ERR(node(&target, frame, 0));
      if (!target->handler)
        return bad_frame("Malformed commit request: %s for a file without apply_text_delta",
                         ostrel_wire::tag_name(frame.tag));
      if (frame.tag == tag::kTextEnd) {
        ostrel_txdelta_window_handler handler = target->handler;
        target->handler = nullptr;
        return handler(nullptr, target->handler_baton);
      }
      ostrel_txdelta_window window;
      window.offset = static_cast<ostrel_filesize>(number(frame, 1));
      window.data = frame.items[2]->data();
      window.len = frame.items[2]->size();
      return target->handler(&window, target->handler_baton);
    }
    case tag::kFinish:
      finish_seen_ = true;
      return OSTREL_NO_ERROR;
    default:
      return ostrel_error_createf(OSTREL_ERR_RA_BAD_REQUEST, nullptr,
                                  "Malformed commit request: %s frames do not belong in a commit",
                                  ostrel_wire::tag_name(frame.tag));
  }
}

}  // namespace ostreld
