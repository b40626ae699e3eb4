// The rule-checking commit editor (contract in authz_editor.h).

#include "authz_editor.h"

#include <apr_pools.h>

#include <new>

namespace ostrel_server {
namespace {

struct Edit {
  const ostrel_commit_editor *inner;
  void *inner_baton;
  const PathRules *rules;
  std::string repo;
  std::string base;  // "" or "/a/b"
  std::string user;
  bool anonymous;
  CopySourcePath copy_source_path;

  const char *who() const { return anonymous ? nullptr : user.c_str(); }
  std::string full(const char *relpath) const {
    std::string p = base;
    if (relpath && *relpath) (p += '/') += relpath;
    return p;
  }
};

struct Node {
  Edit *edit;
  void *inner;
  std::string path;  // inside the repository
};

apr_status_t destroy_edit(void *data) {
  static_cast<Edit *>(data)->~Edit();
  return APR_SUCCESS;
}
apr_status_t destroy_node(void *data) {
  static_cast<Node *>(data)->~Node();
  return APR_SUCCESS;
}

Node *new_node(Edit *edit, void *inner, std::string path, apr_pool_t *pool) {
  void *mem = apr_palloc(pool, sizeof(Node));
  Node *node = new (mem) Node{edit, inner, std::move(path)};
  apr_pool_cleanup_register(pool, node, destroy_node, apr_pool_cleanup_null);
  return node;
}

ostrel_error *denied(const std::string &path) {
  return ostrel_error_createf(OSTREL_ERR_AUTHZ_DENIED, nullptr, "Access denied to '%s'",
                              path.empty() ? "/" : path.c_str());
}

// Runs a call of the wrapped editor about PATH; its error is replaced by a
// refusal when the user may not read PATH.
ostrel_error *guarded(Edit *e, const std::string &path, ostrel_error *err) {
  if (err && !e->rules->may_read(e->repo, path, e->who())) {
    ostrel_error_clear(err);
    return denied(path);
  }
  return err;
}

ostrel_error *set_target_rev(void *eb, ostrel_revnum rev, apr_pool_t *pool) {
  auto *e = static_cast<Edit *>(eb);
  return e->inner->set_target_rev(e->inner_baton, rev, pool);
}

ostrel_error *open_root_dir(void *eb, ostrel_revnum base, apr_pool_t *pool, void **root) {
  auto *e = static_cast<Edit *>(eb);
  void *inner;
  OSTREL_ERR(guarded(e, e->base, e->inner->open_root_dir(e->inner_baton, base, pool, &inner)));
  *root = new_node(e, inner, e->base, pool);
  return OSTREL_NO_ERROR;
}

ostrel_error *remove_entry(const char *path, ostrel_revnum rev, void *pb, apr_pool_t *pool) {
  auto *parent = static_cast<Node *>(pb);
  Edit *e = parent->edit;
  std::string full = e->full(path);
  if (!e->rules->may_write_tree(e->repo, full, e->who())) return denied(full);
  return guarded(e, full, e->inner->remove_entry(path, rev, parent->inner, pool));
}

ostrel_error *check_add(Edit *e, const std::string &full, const char *copy_url) {
  // A copy brings a whole tree: every part of it must be writable.
  if (copy_url ? !e->rules->may_write_tree(e->repo, full, e->who())
               : !e->rules->may_write(e->repo, full, e->who()))
    return denied(full);
  if (copy_url) {
    std::string source;
    if (!e->copy_source_path(copy_url, &source) ||
        !e->rules->may_read_tree(e->repo, source, e->who()))
      return ostrel_error_createf(OSTREL_ERR_AUTHZ_DENIED, nullptr,
                                  "Access denied to the copy source '%s'", copy_url);
  }
  return OSTREL_NO_ERROR;
}

ostrel_error *add_dir(const char *path, void *pb, const char *copy_url, ostrel_revnum copy_rev,
                      apr_pool_t *pool, void **child) {
  auto *parent = static_cast<Node *>(pb);
  Edit *e = parent->edit;
  std::string full = e->full(path);
  OSTREL_ERR(check_add(e, full, copy_url));
  void *inner;
  OSTREL_ERR(guarded(e, full,
                     e->inner->add_dir(path, parent->inner, copy_url, copy_rev, pool, &inner)));
  *child = new_node(e, inner, full, pool);
  return OSTREL_NO_ERROR;
}

ostrel_error *add_file_node(const char *path, void *pb, const char *copy_url,
                            ostrel_revnum copy_rev, apr_pool_t *pool, void **child) {
  auto *parent = static_cast<Node *>(pb);
  Edit *e = parent->edit;
  std::string full = e->full(path);
  OSTREL_ERR(check_add(e, full, copy_url));
  void *inner;
  OSTREL_ERR(guarded(
      e, full, e->inner->add_file_node(path, parent->inner, copy_url, copy_rev, pool, &inner)));
  *child = new_node(e, inner, full, pool);
  return OSTREL_NO_ERROR;
}

ostrel_error *open_dir(const char *path, void *pb, ostrel_revnum base, apr_pool_t *pool,
                       void **child) {
  auto *parent = static_cast<Node *>(pb);
  Edit *e = parent->edit;
  std::string full = e->full(path);
  void *inner;
  OSTREL_ERR(guarded(e, full, e->inner->open_dir(path, parent->inner, base, pool, &inner)));
  *child = new_node(e, inner, full, pool);
  return OSTREL_NO_ERROR;
}

ostrel_error *open_file_node(const char *path, void *pb, ostrel_revnum base, apr_pool_t *pool,
                             void **child) {
  auto *parent = static_cast<Node *>(pb);
  Edit *e = parent->edit;
  std::string full = e->full(path);
  void *inner;
  OSTREL_ERR(guarded(e, full, e->inner->open_file_node(path, parent->inner, base, pool, &inner)));
  *child = new_node(e, inner, full, pool);
  return OSTREL_NO_ERROR;
}

ostrel_error *set_dir_prop(void *b, const char *name, const ostrel_string *value,
                           apr_pool_t *pool) {
  auto *node = static_cast<Node *>(b);
  Edit *e = node->edit;
  if (!e->rules->may_write(e->repo, node->path, e->who())) return denied(node->path);
  return e->inner->set_dir_prop(node->inner, name, value, pool);
}

ostrel_error *set_file_prop(void *b, const char *name, const ostrel_string *value,
                            apr_pool_t *pool) {
  auto *node = static_cast<Node *>(b);
  Edit *e = node->edit;
  if (!e->rules->may_write(e->repo, node->path, e->who())) return denied(node->path);
  return e->inner->set_file_prop(node->inner, name, value, pool);
}

ostrel_error *close_dir(void *b, apr_pool_t *pool) {
  auto *node = static_cast<Node *>(b);
  return node->edit->inner->close_dir(node->inner, pool);
}

ostrel_error *mark_dir_absent(const char *path, void *pb, apr_pool_t *pool) {
  auto *parent = static_cast<Node *>(pb);
  return parent->edit->inner->mark_dir_absent(path, parent->inner, pool);
}

ostrel_error *mark_file_absent(const char *path, void *pb, apr_pool_t *pool) {
  auto *parent = static_cast<Node *>(pb);
  return parent->edit->inner->mark_file_absent(path, parent->inner, pool);
}

ostrel_error *apply_text_delta(void *b, const char *base_checksum, apr_pool_t *pool,
                               ostrel_txdelta_window_handler *handler, void **handler_baton) {
  auto *node = static_cast<Node *>(b);
  Edit *e = node->edit;
  if (!e->rules->may_write(e->repo, node->path, e->who())) return denied(node->path);
  return e->inner->apply_text_delta(node->inner, base_checksum, pool, handler, handler_baton);
}

ostrel_error *close_file_node(void *b, const char *checksum, apr_pool_t *pool) {
  auto *node = static_cast<Node *>(b);
  return node->edit->inner->close_file_node(node->inner, checksum, pool);
}

ostrel_error *finish_edit(void *eb, apr_pool_t *pool) {
  auto *e = static_cast<Edit *>(eb);
  return e->inner->finish_edit(e->inner_baton, pool);
}

ostrel_error *cancel_edit(void *eb, apr_pool_t *pool) {
  auto *e = static_cast<Edit *>(eb);
  return e->inner->cancel_edit(e->inner_baton, pool);
}

const ostrel_commit_editor kAuthzEditor = {
    set_target_rev, open_root_dir,    remove_entry,    add_dir,        open_dir,
    set_dir_prop,   close_dir,        mark_dir_absent, add_file_node,  open_file_node,
    apply_text_delta, set_file_prop,  close_file_node, mark_file_absent, finish_edit,
    cancel_edit,
};

}  // namespace

void wrap_editor_with_rules(const ostrel_commit_editor **editor, void **edit_baton,
                            const ostrel_commit_editor *inner, void *inner_baton,
                            const PathRules *rules, const char *repo, const char *base_path,
                            const char *user, CopySourcePath copy_source_path, apr_pool_t *pool) {
  void *mem = apr_palloc(pool, sizeof(Edit));
  std::string base = base_path ? base_path : "";
  while (!base.empty() && base.back() == '/') base.pop_back();
  Edit *e = new (mem) Edit{inner,       inner_baton,  rules, repo, base, user ? user : "",
                           user == nullptr, std::move(copy_source_path)};
  apr_pool_cleanup_register(pool, e, destroy_edit, apr_pool_cleanup_null);
  *editor = &kAuthzEditor;
  *edit_baton = e;
}

}  // namespace ostrel_server
