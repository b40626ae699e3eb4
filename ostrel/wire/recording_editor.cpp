// The recording editor: see recording_editor.h.

#include "recording_editor.h"

#include <algorithm>
#include <new>

#include "editor_refusals.h"

namespace ostrel_wire_test {

namespace {

struct Recorder {
  std::vector<std::string> *log;
  std::string fail_at;
};

struct Node {
  Recorder *rec;
  std::string path;
  bool is_dir;
  bool open;
};

apr_status_t destroy(void *data) {
  static_cast<Node *>(data)->~Node();
  return APR_SUCCESS;
}

Node *make_node(Recorder *rec, std::string path, bool is_dir, apr_pool_t *pool) {
  auto *node = new (apr_palloc(pool, sizeof(Node))) Node{rec, std::move(path), is_dir, true};
  apr_pool_cleanup_register(pool, node, destroy, apr_pool_cleanup_null);
  return node;
}

ostrel_error *record(Recorder *rec, std::string line) {
  bool refuse = !rec->fail_at.empty() && line.rfind(rec->fail_at, 0) == 0;
  rec->log->push_back(std::move(line));
  if (refuse)
    return ostrel_error_createf(OSTREL_ERR_FS_OUT_OF_DATE, nullptr, "refused: %s",
                                rec->log->back().c_str());
  return OSTREL_NO_ERROR;
}

// Refuses a baton that is not an open node of the wanted kind.
ostrel_error *check(const Node *node, bool want_dir, const char *call) {
  if (!node->open)
    return ostrel_error_createf(OSTREL_ERR_DELTA_BAD_CALL, nullptr, "%s on closed node '%s'", call,
                                node->path.c_str());
  if (node->is_dir != want_dir)
    return ostrel_error_createf(OSTREL_ERR_DELTA_BAD_CALL, nullptr, "%s on '%s' of the other kind",
                                call, node->path.c_str());
  return OSTREL_NO_ERROR;
}

std::string rev(ostrel_revnum r) {
  return "@" + std::to_string(r);
}

ostrel_error *open_root_dir(void *edit_baton, ostrel_revnum base, apr_pool_t *pool, void **root) {
  auto *rec = static_cast<Recorder *>(edit_baton);
  *root = make_node(rec, "", true, pool);
  return record(rec, "open_root_dir " + rev(base));
}

ostrel_error *remove_entry(const char *path, ostrel_revnum revision, void *parent, apr_pool_t *) {
  auto *p = static_cast<Node *>(parent);
  OSTREL_ERR(check(p, true, "remove_entry"));
  return record(
      p->rec, "remove_entry " + std::string(path) + " " + rev(revision) + " in '" + p->path + "'");
}

ostrel_error *add(const char *call, bool is_dir, const char *path, void *parent,
                  const char *copy_url, ostrel_revnum copy_rev, apr_pool_t *pool, void **child) {
  auto *p = static_cast<Node *>(parent);
  OSTREL_ERR(check(p, true, call));
  std::string line = std::string(call) + " " + path;
  if (copy_url) line += std::string(" from ") + copy_url + rev(copy_rev);
  *child = make_node(p->rec, path, is_dir, pool);
  return record(p->rec, line + " in '" + p->path + "'");
}

ostrel_error *add_dir(const char *path, void *parent, const char *copy_url, ostrel_revnum copy_rev,
                      apr_pool_t *pool, void **child) {
  return add("add_dir", true, path, parent, copy_url, copy_rev, pool, child);
}

ostrel_error *add_file(const char *path, void *parent, const char *copy_url, ostrel_revnum copy_rev,
                       apr_pool_t *pool, void **child) {
  return add("add_file_node", false, path, parent, copy_url, copy_rev, pool, child);
}

ostrel_error *open(const char *call, bool is_dir, const char *path, void *parent,
                   ostrel_revnum base, apr_pool_t *pool, void **child) {
  auto *p = static_cast<Node *>(parent);
  OSTREL_ERR(check(p, true, call));
  *child = make_node(p->rec, path, is_dir, pool);
  return record(p->rec, std::string(call) + " " + path + " " + rev(base) + " in '" + p->path + "'");
}

ostrel_error *open_dir(const char *path, void *parent, ostrel_revnum base, apr_pool_t *pool,
                       void **child) {
  return open("open_dir", true, path, parent, base, pool, child);
}

ostrel_error *open_file(const char *path, void *parent, ostrel_revnum base, apr_pool_t *pool,
                        void **child) {
  return open("open_file_node", false, path, parent, base, pool, child);
}

ostrel_error *prop(const char *call, bool is_dir, void *baton, const char *name,
                   const ostrel_string *value) {
  auto *n = static_cast<Node *>(baton);
  OSTREL_ERR(check(n, is_dir, call));
  std::string line = std::string(call) + " " + n->path + " " + name;
  line += value ? "=" + std::string(value->data, value->len) : " deleted";
  return record(n->rec, line);
}

ostrel_error *set_dir_prop(void *baton, const char *name, const ostrel_string *value,
                           apr_pool_t *) {
  return prop("set_dir_prop", true, baton, name, value);
}

ostrel_error *set_file_prop(void *baton, const char *name, const ostrel_string *value,
                            apr_pool_t *) {
  return prop("set_file_prop", false, baton, name, value);
}

ostrel_error *close(const char *call, bool is_dir, void *baton, std::string extra) {
  auto *n = static_cast<Node *>(baton);
  OSTREL_ERR(check(n, is_dir, call));
  n->open = false;
  return record(n->rec, std::string(call) + " " + n->path + extra);
}

ostrel_error *close_dir(void *baton, apr_pool_t *) {
  return close("close_dir", true, baton, "");
}

ostrel_error *close_file(void *baton, const char *checksum, apr_pool_t *) {
  return close("close_file_node", false, baton,
               checksum ? std::string(" checksum=") + checksum : std::string());
}

ostrel_error *window(ostrel_txdelta_window *window, void *baton) {
  auto *n = static_cast<Node *>(baton);
  OSTREL_ERR(check(n, false, "window"));
  if (!window) return record(n->rec, "end of text " + n->path);
  return record(n->rec, "window " + n->path + " " + std::to_string(window->offset) + " " +
                            std::string(window->data, window->len));
}

ostrel_error *apply_text_delta(void *baton, const char *base_checksum, apr_pool_t *,
                               ostrel_txdelta_window_handler *handler, void **handler_baton) {
  auto *n = static_cast<Node *>(baton);
  OSTREL_ERR(check(n, false, "apply_text_delta"));
  *handler = window;
  *handler_baton = n;
  return record(n->rec, "apply_text_delta " + n->path +
                            (base_checksum ? std::string(" base=") + base_checksum : ""));
}

ostrel_error *finish_edit(void *edit_baton, apr_pool_t *) {
  return record(static_cast<Recorder *>(edit_baton), "finish_edit");
}

ostrel_error *cancel_edit(void *edit_baton, apr_pool_t *) {
  auto *rec = static_cast<Recorder *>(edit_baton);
  rec->log->push_back("cancel_edit");
  return OSTREL_NO_ERROR;
}

const ostrel_commit_editor kRecorder = {
    ostrel_delta::refuse_target_rev,
    open_root_dir,
    remove_entry,
    add_dir,
    open_dir,
    set_dir_prop,
    close_dir,
    ostrel_delta::refuse_mark_absent,
    add_file,
    open_file,
    apply_text_delta,
    set_file_prop,
    close_file,
    ostrel_delta::refuse_mark_absent,
    finish_edit,
    cancel_edit,
};

apr_status_t destroy_recorder(void *data) {
  static_cast<Recorder *>(data)->~Recorder();
  return APR_SUCCESS;
}

}  // namespace

void get_recording_editor(const ostrel_commit_editor **editor, void **edit_baton,
                          std::vector<std::string> *log, apr_hash_t *revprops, apr_pool_t *pool,
                          const std::string &fail_at) {
  auto *rec = new (apr_palloc(pool, sizeof(Recorder))) Recorder{log, fail_at};
  apr_pool_cleanup_register(pool, rec, destroy_recorder, apr_pool_cleanup_null);
  if (revprops) {
    std::vector<std::string> lines;
    for (apr_hash_index_t *hi = apr_hash_first(pool, revprops); hi; hi = apr_hash_next(hi)) {
      const void *key;
      void *val;
      apr_hash_this(hi, &key, nullptr, &val);
      auto *value = static_cast<const ostrel_string *>(val);
      lines.push_back("revprop " + std::string(static_cast<const char *>(key)) + "=" +
                      std::string(value->data, value->len));
    }
    std::sort(lines.begin(), lines.end());
    log->insert(log->end(), lines.begin(), lines.end());
  }
  *editor = &kRecorder;
  *edit_baton = rec;
}

}  // namespace ostrel_wire_test
