// The commit editor that writes frames: see commit_encoder.h.

#include "commit_encoder.h"

#include <apr_strings.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "answers.h"
#include "editor_refusals.h"
#include "ostrel_path.h"

namespace ostrel_wire {

namespace {

enum class State { open, finished, cancelled };

struct Edit {
  CommitSink sink;
  const char *root_url;
  apr_hash_t *revprops;
  State state = State::open;
  bool started = false;
  Num next_id = 0;
  std::string frames;  // the frames of the call being made
};

struct Node {
  Edit *edit;
  Num id;
};

apr_status_t destroy_edit(void *data) {
  static_cast<Edit *>(data)->~Edit();
  return APR_SUCCESS;
}

ostrel_error *check_open(const Edit *e, const char *what) {
  if (e->state == State::open) return OSTREL_NO_ERROR;
  return ostrel_error_createf(OSTREL_ERR_DELTA_BAD_CALL, nullptr, "%s called after %s", what,
                              e->state == State::finished ? "finish_edit" : "cancel_edit");
}

// Writes the frames gathered in E->frames.
ostrel_error *send(Edit *e) {
  ostrel_error *err = e->sink.write(e->sink.baton, e->frames.data(), e->frames.size());
  e->frames.clear();
  return err;
}

template <typename F>
ostrel_error *send(Edit *e, const F &f) {
  put(e->frames, f);
  return send(e);
}

Node *new_node(Edit *e, apr_pool_t *pool) {
  auto *node = static_cast<Node *>(apr_palloc(pool, sizeof(Node)));
  node->edit = e;
  node->id = ++e->next_id;
  return node;
}

ostrel_error *open_root_dir(void *edit_baton, ostrel_revnum base_revision, apr_pool_t *pool,
                            void **root_baton) {
  auto *e = static_cast<Edit *>(edit_baton);
  OSTREL_ERR(check_open(e, "open_root_dir"));
  if (e->started)
    return ostrel_error_create(OSTREL_ERR_DELTA_BAD_CALL, nullptr, "open_root_dir called twice");
  e->started = true;
  put_version(e->frames);
  // In name order, so that one drive always makes the same bytes.
  std::vector<std::pair<std::string_view, const ostrel_string *>> props;
  for (apr_hash_index_t *hi = apr_hash_first(pool, e->revprops); hi; hi = apr_hash_next(hi)) {
    const void *key;
    void *val;
    apr_hash_this(hi, &key, nullptr, &val);
    props.emplace_back(static_cast<const char *>(key), static_cast<const ostrel_string *>(val));
  }
  std::sort(props.begin(), props.end());
  for (const auto &[name, value] : props)
    put(e->frames, frame::Revprop{name, Str(value->data, value->len)});
  Node *root = new_node(e, pool);
  put(e->frames, frame::OpenRoot{root->id, base_revision});
  *root_baton = root;
  return send(e);
}

ostrel_error *remove_entry(const char *path, ostrel_revnum revision, void *parent_baton,
                           apr_pool_t *) {
  auto *parent = static_cast<Node *>(parent_baton);
  OSTREL_ERR(check_open(parent->edit, "remove_entry"));
  return send(parent->edit, frame::Delete{parent->id, path, revision});
}

// The path of COPY_URL inside the repository, URL-escaped and starting with
// '/', or an error when it lies elsewhere.
ostrel_error *copy_path(const char **result, const Edit *e, const char *path, const char *copy_url,
                        apr_pool_t *pool) {
  *result = nullptr;
  if (!copy_url) return OSTREL_NO_ERROR;
  const char *canonical = ostrel_uri_canonicalize(copy_url, pool);
  const char *below = std::strcmp(canonical, e->root_url) == 0
                          ? ""
                          : ostrel_uri__is_child(e->root_url, canonical, pool);
  if (!below)
    return ostrel_error_createf(OSTREL_ERR_RA_NOT_SAME_REPOSITORY, nullptr,
                                "Copy source '%s' of '%s' is not in the repository at '%s'",
                                copy_url, path, e->root_url);
  *result = apr_pstrcat(pool, "/", below, static_cast<char *>(nullptr));
  return OSTREL_NO_ERROR;
}

template <typename F>
ostrel_error *add_node(const char *path, void *parent_baton, const char *copy_url,
                       ostrel_revnum copy_revision, apr_pool_t *pool, void **child_baton) {
  auto *parent = static_cast<Node *>(parent_baton);
  Edit *e = parent->edit;
  OSTREL_ERR(check_open(e, F::kName));
  const char *from = nullptr;
  OSTREL_ERR(copy_path(&from, e, path, copy_url, pool));
  Node *node = new_node(e, pool);
  F f;
  f.parent = parent->id;
  f.path = path;
  if (from) f.copy_path = from;
  f.copy_rev = copy_revision;
  f.id = node->id;
  *child_baton = node;
  return send(e, f);
}

template <typename F>
ostrel_error *open_node(const char *path, void *parent_baton, ostrel_revnum base_revision,
                        apr_pool_t *pool, void **child_baton) {
  auto *parent = static_cast<Node *>(parent_baton);
  Edit *e = parent->edit;
  OSTREL_ERR(check_open(e, F::kName));
  Node *node = new_node(e, pool);
  F f;
  f.parent = parent->id;
  f.path = path;
  f.base_rev = base_revision;
  f.id = node->id;
  *child_baton = node;
  return send(e, f);
}

ostrel_error *change_prop(void *baton, const char *name, const ostrel_string *value, apr_pool_t *) {
  auto *node = static_cast<Node *>(baton);
  OSTREL_ERR(check_open(node->edit, frame::Prop::kName));
  return send(node->edit, frame::Prop{node->id, name,
                                      value ? Opt(Str(value->data, value->len)) : std::nullopt});
}

ostrel_error *close_dir(void *baton, apr_pool_t *) {
  auto *node = static_cast<Node *>(baton);
  OSTREL_ERR(check_open(node->edit, frame::CloseDir::kName));
  return send(node->edit, frame::CloseDir{node->id});
}

ostrel_error *close_file_node(void *baton, const char *checksum, apr_pool_t *) {
  auto *node = static_cast<Node *>(baton);
  OSTREL_ERR(check_open(node->edit, frame::CloseFile::kName));
  return send(node->edit, frame::CloseFile{node->id, checksum ? Opt(checksum) : std::nullopt});
}

ostrel_error *window_handler(ostrel_txdelta_window *window, void *baton) {
  auto *node = static_cast<Node *>(baton);
  OSTREL_ERR(check_open(node->edit, frame::Window::kName));
  if (!window) return send(node->edit, frame::TextEnd{node->id});
  return send(node->edit, frame::Window{node->id, static_cast<Num>(window->offset),
                                        Str(window->data, window->len)});
}

ostrel_error *apply_text_delta(void *file_baton, const char *base_checksum, apr_pool_t *,
                               ostrel_txdelta_window_handler *handler, void **handler_baton) {
  auto *node = static_cast<Node *>(file_baton);
  OSTREL_ERR(check_open(node->edit, frame::ApplyText::kName));
  *handler = window_handler;
  *handler_baton = node;
  return send(node->edit,
              frame::ApplyText{node->id, base_checksum ? Opt(base_checksum) : std::nullopt});
}

ostrel_error *finish_edit(void *edit_baton, apr_pool_t *pool) {
  auto *e = static_cast<Edit *>(edit_baton);
  OSTREL_ERR(check_open(e, frame::Finish::kName));
  if (!e->started)
    return ostrel_error_create(OSTREL_ERR_DELTA_BAD_CALL, nullptr,
                               "finish_edit called before open_root_dir");
  e->state = State::finished;
  OSTREL_ERR(send(e, frame::Finish{}));
  return e->sink.finish(e->sink.baton, pool);
}

ostrel_error *cancel_edit(void *edit_baton, apr_pool_t *) {
  auto *e = static_cast<Edit *>(edit_baton);
  if (e->state != State::open) return OSTREL_NO_ERROR;
  e->state = State::cancelled;
  if (e->started) e->sink.cancel(e->sink.baton);
  return OSTREL_NO_ERROR;
}

const ostrel_commit_editor kEncoder = {
    ostrel_delta::refuse_target_rev,
    open_root_dir,
    remove_entry,
    add_node<frame::AddDir>,
    open_node<frame::OpenDir>,
    change_prop,
    close_dir,
    ostrel_delta::refuse_mark_absent,
    add_node<frame::AddFile>,
    open_node<frame::OpenFile>,
    apply_text_delta,
    change_prop,
    close_file_node,
    ostrel_delta::refuse_mark_absent,
    finish_edit,
    cancel_edit,
};

}  // namespace

void get_commit_encoder(const ostrel_commit_editor **editor, void **edit_baton,
                        const char *repos_root_url, apr_hash_t *revprops, const CommitSink &sink,
                        apr_pool_t *pool) {
  auto *e = new (apr_palloc(pool, sizeof(Edit))) Edit;
  apr_pool_cleanup_register(pool, e, destroy_edit, apr_pool_cleanup_null);
  e->sink = sink;
  e->root_url = apr_pstrdup(pool, repos_root_url);
  e->revprops = revprops ? revprops : apr_hash_make(pool);
  *editor = &kEncoder;
  *edit_baton = e;
}

}  // namespace ostrel_wire
