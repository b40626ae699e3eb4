// The commit editor of the local access module: editor calls become changes
// of one storage transaction, and finish_edit commits it.
//
// Contract with the caller (see ostrel_delta.h and ostrel_ra.h):
//  1. The transaction is begun by open_root_dir on the base revision and
//     lives in the pool the editor was obtained in.  Until finish_edit has
//     committed it, cancel_edit, or the end of that pool, aborts it: an edit
//     that is never finished leaves no revision and nothing of its contents
//     behind (the storage drops an aborted or orphaned transaction whole).
//  2. Every call is checked before the transaction changes: the node exists
//     or is absent as the call needs, has the kind the call needs, is a
//     child of the directory it is named through, and the call comes in
//     depth-first order (a node takes no calls while one of its children is
//     open; nothing is left open or half-sent when the edit is finished).
//     A refused call changes nothing.
//  3. A file's text is written to the transaction window by window as it
//     arrives; a text that was not received completely (a window out of
//     sequence, a failed write, no end) makes finish_edit refuse, so a file
//     can never silently keep its old or a truncated text.
//  4. The new revision's author is fixed when the editor is made (the user
//     name of the session's authentication baton, else the login name), and
//     set in the same transaction as the other revision properties, so the
//     revision appears with all of them at once.

#include <apr_strings.h>

#include <cstring>
#include <string_view>

#include "editor_refusals.h"
#include "ostrel_path.h"
#include "ostrel_pools.h"
#include "ra_local.h"

using namespace ostrel_ra_local;

namespace {

enum class EditState { ready, open, finished, finish_failed, cancelled };
enum class TextState { none, sending, done, failed };

struct EditBaton;

struct NodeBaton {
  EditBaton *eb;
  NodeBaton *parent;    // nullptr for the root
  const char *path;     // relative to the session URL
  const char *fs_path;  // inside the repository
  ostrel_node_kind kind;
  bool closed;
  int open_children;
  TextState text;
};

struct TextBaton {
  NodeBaton *file;
  ostrel_stream *contents;
  ostrel_filesize next_offset;
};

struct EditBaton {
  ostrel_ra_session *session;
  apr_pool_t *pool;
  apr_hash_t *revprops;  // name -> ostrel_string *, copied into POOL
  const char *author;    // nullptr: the revision gets no author
  ostrel_commit_callback callback;
  void *callback_baton;

  EditState state;
  ostrel_fs_txn *txn;
  ostrel_fs_root *txn_root;
  ostrel_revnum base_rev;
  NodeBaton *deepest_open;   // the open nodes form a chain from the root
  const char *broken_text;   // path of a file whose text was not fully received
  apr_hash_t *source_roots;  // revision -> ostrel_fs_root * of copy sources
};

ostrel_error *bad_call(const char *fmt, const char *what, const char *path) {
  return ostrel_error_createf(OSTREL_ERR_DELTA_BAD_CALL, nullptr, fmt, what, path);
}

ostrel_error *check_edit_open(const EditBaton *eb, const char *what) {
  switch (eb->state) {
    case EditState::open:
      return OSTREL_NO_ERROR;
    case EditState::ready:
      return ostrel_error_createf(OSTREL_ERR_DELTA_BAD_CALL, nullptr,
                                  "%s called before open_root_dir", what);
    case EditState::finished:
    case EditState::finish_failed:
      return ostrel_error_createf(OSTREL_ERR_DELTA_BAD_CALL, nullptr,
                                  "%s called after finish_edit", what);
    case EditState::cancelled:
      return ostrel_error_createf(OSTREL_ERR_DELTA_BAD_CALL, nullptr,
                                  "%s called after cancel_edit", what);
  }
  return OSTREL_NO_ERROR;
}

// NODE must be open, of KIND, and (for a directory) have no open child.
ostrel_error *check_node(const NodeBaton *node, ostrel_node_kind kind, const char *what) {
  OSTREL_ERR(check_edit_open(node->eb, what));
  if (node->closed) return bad_call("%s: '%s' was already closed", what, node->path);
  if (node->kind != kind)
    return bad_call(kind == ostrel_node_dir ? "%s: '%s' is not a directory"
                                            : "%s: '%s' is not a file",
                    what, node->path);
  if (node->open_children)
    return bad_call("%s: '%s' still has an open child", what, node->path);
  if (node->text == TextState::sending)
    return bad_call("%s: the text of '%s' has not ended", what, node->path);
  return OSTREL_NO_ERROR;
}

// PATH must name a direct child of PARENT.
ostrel_error *check_child_path(const NodeBaton *parent, const char *path) {
  return ostrel_relpath_check_child(parent->path, path);
}

ostrel_error *txn_kind(ostrel_node_kind *kind, EditBaton *eb, const char *fs_path,
                       apr_pool_t *pool) {
  return ostrel_fs_check_path(kind, eb->txn_root, fs_path, pool);
}

ostrel_error *check_revision_arg(EditBaton *eb, ostrel_revnum revision, const char *path,
                                 apr_pool_t *pool) {
  ostrel_revnum resolved;
  return ostrel_error_quick_wrapf(resolve_revision(&resolved, eb->session, revision, pool),
                                  "Bad revision for '%s'", path);
}

// FS_PATH, when given, is PATH's path in the repository, already in POOL.
NodeBaton *make_node(EditBaton *eb, NodeBaton *parent, const char *path, ostrel_node_kind kind,
                     apr_pool_t *pool, const char *fs_path = nullptr) {
  auto *node = static_cast<NodeBaton *>(apr_pcalloc(pool, sizeof(NodeBaton)));
  node->eb = eb;
  node->parent = parent;
  node->path = apr_pstrdup(pool, path);
  node->fs_path = fs_path ? fs_path : ostrel_relpath_join(eb->session->fs_path, path, pool);
  node->kind = kind;
  node->text = TextState::none;
  if (parent) {
    parent->open_children++;
    eb->deepest_open = node;
  }
  return node;
}

void close_node(NodeBaton *node) {
  node->closed = true;
  if (node->parent) {
    node->parent->open_children--;
    node->eb->deepest_open = node->parent;
  } else {
    node->eb->deepest_open = nullptr;
  }
}

// ---- Slot 1 -------------------------------------------------------------

ostrel_error *begin_transaction(EditBaton *eb, ostrel_revnum base, apr_pool_t *scratch) {
  // The start-commit hook runs here, before anything is stored.
  OSTREL_ERR(ostrel_repos_fs_begin_txn_for_commit(&eb->txn, eb->session->repos, base, eb->author,
                                                  "", eb->pool));
  OSTREL_ERR(ostrel_fs_txn_root(&eb->txn_root, eb->txn, eb->pool));

  ostrel_node_kind kind;
  OSTREL_ERR(txn_kind(&kind, eb, eb->session->fs_path, scratch));
  if (kind == ostrel_node_none)
    return ostrel_error_createf(OSTREL_ERR_FS_NOT_FOUND, nullptr,
                                "Can't commit to '%s': it does not exist in revision %ld",
                                eb->session->session_url, static_cast<long>(base));
  if (kind != ostrel_node_dir)
    return ostrel_error_createf(OSTREL_ERR_FS_NOT_DIRECTORY, nullptr,
                                "Can't commit to '%s': it is a file, not a directory",
                                eb->session->session_url);

  for (apr_hash_index_t *hi = apr_hash_first(scratch, eb->revprops); hi; hi = apr_hash_next(hi)) {
    const void *key;
    void *val;
    apr_hash_this(hi, &key, nullptr, &val);
    auto *name = static_cast<const char *>(key);
    OSTREL_ERR(ostrel_fs_change_txn_prop(eb->txn, name, static_cast<ostrel_string *>(val), scratch));
  }
  return OSTREL_NO_ERROR;
}

ostrel_error *open_root_dir(void *edit_baton, ostrel_revnum base_revision,
                            apr_pool_t *result_pool, void **root_baton) {
  auto *eb = static_cast<EditBaton *>(edit_baton);
  if (eb->state != EditState::ready) {
    if (eb->state == EditState::open)
      return ostrel_error_create(OSTREL_ERR_DELTA_BAD_CALL, nullptr,
                                 "open_root_dir called twice");
    return check_edit_open(eb, "open_root_dir");
  }
  apr_pool_t *scratch = ostrel_pool_create(result_pool);
  ostrel_revnum base = OSTREL_INVALID_REVNUM;
  ostrel_error *err = resolve_revision(&base, eb->session, base_revision, scratch);
  if (!err) err = begin_transaction(eb, base, scratch);
  apr_pool_destroy(scratch);
  if (err) {
    if (eb->txn) {
      err = ostrel_error_compose_create(err, ostrel_fs_abort_txn(eb->txn, eb->pool));
      eb->txn = nullptr;
      eb->txn_root = nullptr;
    }
    return err;
  }
  eb->base_rev = base;
  eb->state = EditState::open;
  NodeBaton *root = make_node(eb, nullptr, "", ostrel_node_dir, result_pool);
  eb->deepest_open = root;
  *root_baton = root;
  return OSTREL_NO_ERROR;
}

// ---- Slot 2 -------------------------------------------------------------

ostrel_error *remove_entry(const char *path, ostrel_revnum revision, void *parent_baton,
                           apr_pool_t *pool) {
  auto *parent = static_cast<NodeBaton *>(parent_baton);
  EditBaton *eb = parent->eb;
  OSTREL_ERR(check_node(parent, ostrel_node_dir, "remove_entry"));
  OSTREL_ERR(check_child_path(parent, path));
  OSTREL_ERR(check_revision_arg(eb, revision, path, pool));
  const char *fs_path = ostrel_relpath_join(eb->session->fs_path, path, pool);
  ostrel_node_kind kind;
  OSTREL_ERR(txn_kind(&kind, eb, fs_path, pool));
  if (kind == ostrel_node_none)
    return ostrel_error_createf(OSTREL_ERR_FS_NOT_FOUND, nullptr,
                                "Can't delete '%s': it does not exist", path);
  return ostrel_fs_delete(eb->txn_root, fs_path, pool);
}

// ---- Slots 3 and 8 ------------------------------------------------------

// Checks COPY_URL@COPY_REVISION as the source of a node of KIND added at
// PATH and returns its revision root and path inside the repository.
ostrel_error *resolve_copy_source(ostrel_fs_root **from_root, const char **from_path,
                                  EditBaton *eb, const char *path, ostrel_node_kind kind,
                                  const char *copy_url, ostrel_revnum copy_revision,
                                  apr_pool_t *pool) {
  if (copy_revision < 0)
    return ostrel_error_createf(OSTREL_ERR_BAD_REVISION, nullptr,
                                "Invalid copy revision %ld for '%s'",
                                static_cast<long>(copy_revision), path);
  ostrel_revnum youngest;
  OSTREL_ERR(ostrel_fs_youngest_rev(&youngest, eb->session->filesystem, pool));
  if (copy_revision > youngest)
    return ostrel_error_createf(OSTREL_ERR_FS_NO_SUCH_REVISION, nullptr,
                                "Copy source revision %ld of '%s' does not exist (youngest is %ld)",
                                static_cast<long>(copy_revision), path,
                                static_cast<long>(youngest));

  const char *local = nullptr;
  OSTREL_ERR(ostrel_error_quick_wrapf(url_to_local_path(&local, copy_url, pool),
                                      "Bad copy source URL for '%s'", path));
  OSTREL_ERR(ostrel_error_quick_wrapf(
      ostrel_dirent_repos_relpath(from_path, eb->session->repos_root_path, local),
      "Bad copy source URL for '%s'", path));
  if (!*from_path)
    return ostrel_error_createf(OSTREL_ERR_RA_NOT_SAME_REPOSITORY, nullptr,
                                "Copy source '%s' of '%s' is not in the repository at '%s'",
                                copy_url, path, eb->session->repos_root_url);

  // Revision roots of copy sources are kept for the edit: several copies from
  // one revision share one.
  auto *root_p = static_cast<ostrel_fs_root *>(
      apr_hash_get(eb->source_roots, &copy_revision, sizeof copy_revision));
  if (!root_p) {
    OSTREL_ERR(ostrel_fs_revision_root(&root_p, eb->session->filesystem, copy_revision, eb->pool));
    auto *key = static_cast<ostrel_revnum *>(apr_pmemdup(eb->pool, &copy_revision,
                                                         sizeof copy_revision));
    apr_hash_set(eb->source_roots, key, sizeof *key, root_p);
  }

  ostrel_node_kind source_kind;
  OSTREL_ERR(ostrel_fs_check_path(&source_kind, root_p, *from_path, pool));
  if (source_kind == ostrel_node_none)
    return ostrel_error_createf(OSTREL_ERR_FS_NOT_FOUND, nullptr,
                                "Copy source '%s' of '%s' does not exist in revision %ld",
                                copy_url, path, static_cast<long>(copy_revision));
  if (source_kind != kind)
    return ostrel_error_createf(
        kind == ostrel_node_dir ? OSTREL_ERR_FS_NOT_DIRECTORY : OSTREL_ERR_FS_NOT_FILE, nullptr,
        "Copy source '%s' of '%s' is a %s in revision %ld, not a %s", copy_url, path,
        source_kind == ostrel_node_dir ? "directory" : "file", static_cast<long>(copy_revision),
        kind == ostrel_node_dir ? "directory" : "file");
  *from_root = root_p;
  return OSTREL_NO_ERROR;
}

ostrel_error *add_node(ostrel_node_kind kind, const char *what, const char *path,
                       void *parent_baton, const char *copy_url, ostrel_revnum copy_revision,
                       apr_pool_t *result_pool, void **child_baton) {
  auto *parent = static_cast<NodeBaton *>(parent_baton);
  EditBaton *eb = parent->eb;
  OSTREL_ERR(check_node(parent, ostrel_node_dir, what));
  OSTREL_ERR(check_child_path(parent, path));
  if (!copy_url && copy_revision != OSTREL_INVALID_REVNUM)
    return ostrel_error_createf(OSTREL_ERR_DELTA_BAD_CALL, nullptr,
                                "%s: copy revision %ld for '%s' given without a copy source", what,
                                static_cast<long>(copy_revision), path);

  apr_pool_t *scratch = ostrel_pool_create(result_pool);
  const char *fs_path = ostrel_relpath_join(eb->session->fs_path, path, result_pool);
  ostrel_node_kind existing;
  ostrel_error *err = txn_kind(&existing, eb, fs_path, scratch);
  if (!err && existing != ostrel_node_none)
    err = ostrel_error_createf(OSTREL_ERR_FS_ALREADY_EXISTS, nullptr,
                               "Can't add '%s': it already exists", path);
  if (!err) {
    if (copy_url) {
      ostrel_fs_root *from_root = nullptr;
      const char *from_path = nullptr;
      err = resolve_copy_source(&from_root, &from_path, eb, path, kind, copy_url, copy_revision,
                                scratch);
      if (!err) err = ostrel_fs_copy(from_root, from_path, eb->txn_root, fs_path, scratch);
    } else if (kind == ostrel_node_dir) {
      err = ostrel_fs_make_dir(eb->txn_root, fs_path, scratch);
    } else {
      err = ostrel_fs_make_file(eb->txn_root, fs_path, scratch);
    }
  }
  apr_pool_destroy(scratch);
  OSTREL_ERR(err);
  *child_baton = make_node(eb, parent, path, kind, result_pool, fs_path);
  return OSTREL_NO_ERROR;
}

ostrel_error *add_dir(const char *path, void *parent_baton, const char *copy_url,
                      ostrel_revnum copy_revision, apr_pool_t *result_pool, void **child_baton) {
  return add_node(ostrel_node_dir, "add_dir", path, parent_baton, copy_url, copy_revision,
                  result_pool, child_baton);
}

ostrel_error *add_file_node(const char *path, void *parent_baton, const char *copy_url,
                            ostrel_revnum copy_revision, apr_pool_t *result_pool,
                            void **file_baton) {
  return add_node(ostrel_node_file, "add_file_node", path, parent_baton, copy_url, copy_revision,
                  result_pool, file_baton);
}

// ---- Slots 4 and 9 ------------------------------------------------------

ostrel_error *open_node(ostrel_node_kind kind, const char *what, const char *path,
                        void *parent_baton, ostrel_revnum base_revision, apr_pool_t *result_pool,
                        void **child_baton) {
  auto *parent = static_cast<NodeBaton *>(parent_baton);
  EditBaton *eb = parent->eb;
  OSTREL_ERR(check_node(parent, ostrel_node_dir, what));
  OSTREL_ERR(check_child_path(parent, path));

  apr_pool_t *scratch = ostrel_pool_create(result_pool);
  ostrel_error *err = check_revision_arg(eb, base_revision, path, scratch);
  ostrel_node_kind existing = ostrel_node_none;
  if (!err) err = txn_kind(&existing, eb, ostrel_relpath_join(eb->session->fs_path, path, scratch), scratch);
  apr_pool_destroy(scratch);
  OSTREL_ERR(err);
  if (existing == ostrel_node_none)
    return ostrel_error_createf(OSTREL_ERR_FS_NOT_FOUND, nullptr,
                                "Can't open '%s': it does not exist", path);
  if (existing != kind)
    return ostrel_error_createf(
        kind == ostrel_node_dir ? OSTREL_ERR_FS_NOT_DIRECTORY : OSTREL_ERR_FS_NOT_FILE, nullptr,
        "Can't open '%s' as a %s: it is a %s", path, kind == ostrel_node_dir ? "directory" : "file",
        existing == ostrel_node_dir ? "directory" : "file");
  *child_baton = make_node(eb, parent, path, kind, result_pool);
  return OSTREL_NO_ERROR;
}

ostrel_error *open_dir(const char *path, void *parent_baton, ostrel_revnum base_revision,
                       apr_pool_t *result_pool, void **child_baton) {
  return open_node(ostrel_node_dir, "open_dir", path, parent_baton, base_revision, result_pool,
                   child_baton);
}

ostrel_error *open_file_node(const char *path, void *parent_baton, ostrel_revnum base_revision,
                             apr_pool_t *result_pool, void **file_baton) {
  return open_node(ostrel_node_file, "open_file_node", path, parent_baton, base_revision,
                   result_pool, file_baton);
}

// ---- Slots 5 and 11 -----------------------------------------------------

ostrel_error *change_prop(ostrel_node_kind kind, const char *what, void *baton, const char *name,
                          const ostrel_string *value, apr_pool_t *pool) {
  auto *node = static_cast<NodeBaton *>(baton);
  OSTREL_ERR(check_node(node, kind, what));
  return ostrel_fs_change_node_prop(node->eb->txn_root, node->fs_path, name, value, pool);
}

ostrel_error *set_dir_prop(void *dir_baton, const char *name, const ostrel_string *value,
                           apr_pool_t *pool) {
  return change_prop(ostrel_node_dir, "set_dir_prop", dir_baton, name, value, pool);
}

ostrel_error *set_file_prop(void *file_baton, const char *name, const ostrel_string *value,
                            apr_pool_t *pool) {
  return change_prop(ostrel_node_file, "set_file_prop", file_baton, name, value, pool);
}

// ---- Slot 6 -------------------------------------------------------------

ostrel_error *close_dir(void *dir_baton, apr_pool_t *) {
  auto *node = static_cast<NodeBaton *>(dir_baton);
  OSTREL_ERR(check_node(node, ostrel_node_dir, "close_dir"));
  close_node(node);
  return OSTREL_NO_ERROR;
}

// ---- Slot 10 ------------------------------------------------------------

ostrel_error *checksum_matches(const NodeBaton *file, const char *expected, const char *which,
                               apr_pool_t *pool) {
  const char *actual = nullptr;
  OSTREL_ERR(ostrel_fs_file_sha256(&actual, file->eb->txn_root, file->fs_path, pool));
  if (std::strcmp(actual, expected) != 0)
    return ostrel_error_createf(OSTREL_ERR_DELTA_CHECKSUM_MISMATCH, nullptr,
                                "%s checksum mismatch on '%s': expected %s, actual %s", which,
                                file->path, expected, actual);
  return OSTREL_NO_ERROR;
}

void text_failed(TextBaton *tb) {
  tb->file->text = TextState::failed;
  if (!tb->file->eb->broken_text) tb->file->eb->broken_text = tb->file->path;
}

ostrel_error *window_handler(ostrel_txdelta_window *window, void *baton) {
  auto *tb = static_cast<TextBaton *>(baton);
  if (tb->file->text != TextState::sending)
    return ostrel_error_createf(OSTREL_ERR_DELTA_BAD_CALL, nullptr,
                                "Text window for '%s' after its text ended", tb->file->path);
  ostrel_error *err = OSTREL_NO_ERROR;
  if (!window) {
    err = ostrel_stream_close(tb->contents);
    if (!err) tb->file->text = TextState::done;
  } else if (window->offset != tb->next_offset) {
    err = ostrel_error_createf(OSTREL_ERR_DELTA_BAD_WINDOW, nullptr,
                               "Text window for '%s' starts at byte %lld; expected byte %lld",
                               tb->file->path, static_cast<long long>(window->offset),
                               static_cast<long long>(tb->next_offset));
  } else {
    apr_size_t len = window->len;
    err = ostrel_stream_write(tb->contents, window->data, &len);
    tb->next_offset += static_cast<ostrel_filesize>(window->len);
  }
  if (err) text_failed(tb);
  return err;
}

ostrel_error *apply_text_delta(void *file_baton, const char *base_checksum,
                               apr_pool_t *result_pool, ostrel_txdelta_window_handler *handler,
                               void **handler_baton) {
  auto *file = static_cast<NodeBaton *>(file_baton);
  OSTREL_ERR(check_node(file, ostrel_node_file, "apply_text_delta"));
  if (file->text != TextState::none)
    return bad_call("%s called twice for '%s'", "apply_text_delta", file->path);
  if (base_checksum) OSTREL_ERR(checksum_matches(file, base_checksum, "Base", result_pool));

  auto *tb = static_cast<TextBaton *>(apr_pcalloc(result_pool, sizeof(TextBaton)));
  OSTREL_ERR(ostrel_fs_apply_text(&tb->contents, file->eb->txn_root, file->fs_path, result_pool));
  tb->file = file;
  file->text = TextState::sending;
  *handler = window_handler;
  *handler_baton = tb;
  return OSTREL_NO_ERROR;
}

// ---- Slot 12 ------------------------------------------------------------

ostrel_error *close_file_node(void *file_baton, const char *text_checksum, apr_pool_t *pool) {
  auto *file = static_cast<NodeBaton *>(file_baton);
  OSTREL_ERR(check_node(file, ostrel_node_file, "close_file_node"));
  if (file->text == TextState::failed)
    return bad_call("%s: the text of '%s' was not received completely", "close_file_node",
                    file->path);
  if (text_checksum) OSTREL_ERR(checksum_matches(file, text_checksum, "Text", pool));
  close_node(file);
  return OSTREL_NO_ERROR;
}

// ---- Slots 14 and 15 ----------------------------------------------------

ostrel_error *report_to_callback(EditBaton *eb, ostrel_revnum new_rev, const char *warning,
                                 apr_pool_t *pool) {
  if (!eb->callback) return OSTREL_NO_ERROR;
  ostrel_string *date = nullptr;
  ostrel_string *author = nullptr;
  OSTREL_ERR(ostrel_fs_revision_prop(&date, eb->session->filesystem, new_rev, OSTREL_PROP_REVISION_DATE,
                                     pool));
  OSTREL_ERR(ostrel_fs_revision_prop(&author, eb->session->filesystem, new_rev,
                                     OSTREL_PROP_REVISION_AUTHOR, pool));
  auto *info = static_cast<ostrel_commit_info *>(apr_pcalloc(pool, sizeof(ostrel_commit_info)));
  info->revision = new_rev;
  info->date = date ? date->data : nullptr;
  info->author = author ? author->data : nullptr;
  info->post_commit_err = warning;
  return eb->callback(info, eb->callback_baton, pool);
}

ostrel_error *finish_edit(void *edit_baton, apr_pool_t *pool) {
  auto *eb = static_cast<EditBaton *>(edit_baton);
  OSTREL_ERR(check_edit_open(eb, "finish_edit"));
  if (eb->broken_text)
    return ostrel_error_createf(OSTREL_ERR_DELTA_BAD_CALL, nullptr,
                                "finish_edit: the text of '%s' was not received completely",
                                eb->broken_text);
  if (eb->deepest_open && eb->deepest_open->parent)
    return bad_call("%s called while '%s' is still open", "finish_edit",
                    eb->deepest_open->path);

  ostrel_revnum new_rev = OSTREL_INVALID_REVNUM;
  const char *warning = nullptr;
  ostrel_error *err =
      ostrel_repos_fs_commit_txn(nullptr, eb->session->repos, &new_rev, eb->txn, &warning, pool);
  if (err) {
    eb->state = EditState::finish_failed;
    return ostrel_error_createf(err->apr_err, err, "Commit to '%s' failed",
                                eb->session->session_url);
  }
  eb->state = EditState::finished;
  return report_to_callback(eb, new_rev, warning, pool);
}

ostrel_error *cancel_edit(void *edit_baton, apr_pool_t *pool) {
  auto *eb = static_cast<EditBaton *>(edit_baton);
  if (eb->state == EditState::finished || eb->state == EditState::cancelled)
    return OSTREL_NO_ERROR;
  eb->state = EditState::cancelled;
  if (!eb->txn) return OSTREL_NO_ERROR;
  return ostrel_fs_abort_txn(eb->txn, pool);
}

const ostrel_commit_editor kCommitEditor = {
    ostrel_delta::refuse_target_rev,  open_root_dir,    remove_entry,
    add_dir,                          open_dir,         set_dir_prop,
    close_dir,                        ostrel_delta::refuse_mark_absent,
    add_file_node,                    open_file_node,   apply_text_delta,
    set_file_prop,                    close_file_node,  ostrel_delta::refuse_mark_absent,
    finish_edit,                      cancel_edit,
};

}  // namespace

ostrel_error *ostrel_ra_local::get_commit_editor(ostrel_ra_session *session,
                                                const ostrel_commit_editor **editor,
                                                void **edit_baton, apr_hash_t *revprop_table,
                                                ostrel_commit_callback commit_callback,
                                                void *commit_baton, apr_pool_t *pool) {
  auto *eb = static_cast<EditBaton *>(apr_pcalloc(pool, sizeof(EditBaton)));
  eb->session = session;
  eb->pool = pool;
  eb->callback = commit_callback;
  eb->callback_baton = commit_baton;
  eb->state = EditState::ready;
  eb->base_rev = OSTREL_INVALID_REVNUM;
  eb->source_roots = apr_hash_make(pool);

  eb->revprops = apr_hash_make(pool);
  if (revprop_table) {
    for (apr_hash_index_t *hi = apr_hash_first(pool, revprop_table); hi; hi = apr_hash_next(hi)) {
      const void *key;
      void *val;
      apr_hash_this(hi, &key, nullptr, &val);
      auto *name = static_cast<const char *>(key);
      // The date is the commit's own and the author comes from the user
      // name; a caller's value for either would be overwritten, so it is
      // refused rather than dropped.
      if (!std::strcmp(name, OSTREL_PROP_REVISION_DATE))
        return ostrel_error_createf(OSTREL_ERR_BAD_PROPERTY_NAME, nullptr,
                                    "Revision property '%s' is set by the repository when it "
                                    "commits; it cannot be given",
                                    name);
      if (!std::strcmp(name, OSTREL_PROP_REVISION_AUTHOR))
        return ostrel_error_createf(OSTREL_ERR_BAD_PROPERTY_NAME, nullptr,
                                    "Revision property '%s' comes from the user name; it cannot "
                                    "be given as a revision property",
                                    name);
      apr_hash_set(eb->revprops, apr_pstrdup(pool, name),
                   APR_HASH_KEY_STRING, ostrel_string_dup(static_cast<ostrel_string *>(val), pool));
    }
  }

  const ostrel_auth_baton *ab = session->callbacks ? session->callbacks->auth_baton : nullptr;
  eb->author = ab ? ostrel_auth_username(ab) : ostrel_auth_login_name(pool);
  if (eb->author) eb->author = apr_pstrdup(pool, eb->author);

  *editor = &kCommitEditor;
  *edit_baton = eb;
  return OSTREL_NO_ERROR;
}
