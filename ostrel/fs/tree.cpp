// A transaction's tree: the nodes a transaction changed or passed through,
// held in the committing process's memory until the commit writes them.

#include "handles.h"

#include <algorithm>

namespace ostrel::fs {

MNode::~MNode() {
  std::vector<std::unique_ptr<MNode>> doomed;
  for (auto &[name, e] : entries)
    if (e.node) doomed.push_back(std::move(e.node));
  while (!doomed.empty()) {
    std::unique_ptr<MNode> m = std::move(doomed.back());
    doomed.pop_back();
    for (auto &[name, e] : m->entries)
      if (e.node) doomed.push_back(std::move(e.node));
    // M is freed here; it holds no nodes any more, so that ends at once.
  }
}

ostrel_error *txn_alive(ostrel_fs_txn *txn) {
  if (txn->readonly)
    return ostrel_error_create(OSTREL_ERR_FS_TXN_DEAD, nullptr,
                               "The transaction was opened to be read; it cannot be changed");
  if (txn->done)
    return ostrel_error_create(OSTREL_ERR_FS_TXN_DEAD, nullptr,
                               "The transaction was already committed or aborted");
  if (txn->failed)
    return ostrel_error_create(OSTREL_ERR_FS_TXN_DEAD, nullptr,
                               "The transaction's commit failed; it can only be aborted");
  return nullptr;
}

ostrel_error *txn_of(ostrel_fs_root *root, ostrel_fs_txn **txn) {
  if (!root->txn)
    return ostrel_error_createf(OSTREL_ERR_FS_ROOT_NOT_TXN, nullptr,
                                "Cannot change revision %ld: only a transaction root can be changed",
                                static_cast<long>(root->rev));
  OSTREL_ERR(txn_alive(root->txn));
  *txn = root->txn;
  return nullptr;
}

MNode *walk_start(const ostrel_fs_txn *txn, const std::vector<std::string> &segs, size_t count,
                  size_t *depth) {
  // No node was freed since the last directory was reached, so a walk to
  // it would end there again.
  const std::vector<std::string> &known = txn->last_dir_segs;
  if (!txn->last_dir || known.size() > count ||
      !std::equal(known.begin(), known.end(), segs.begin()))
    return nullptr;
  *depth = known.size();
  return txn->last_dir;
}

// The transaction node for existing path SEGS, opening (copying into the
// transaction's tree) every directory on the way.
ostrel_error *resolve_mutable(ostrel_fs_txn *txn, const std::vector<std::string> &segs,
                              MNode **out) {
  return resolve_mutable(txn, segs, segs.size(), out);
}

// The same for the path of the first COUNT segments of SEGS.
ostrel_error *resolve_mutable(ostrel_fs_txn *txn, const std::vector<std::string> &segs,
                              size_t count, MNode **out) {
  size_t i = 0;
  MNode *m = walk_start(txn, segs, count, &i);
  if (!m) m = txn->root.get();
  const std::vector<std::string> &known = txn->last_dir_segs;
  MNode *parent = nullptr;
  for (; i < count; ++i) {
    parent = m;
    if (m->kind != ostrel_node_dir)
      return ostrel_error_createf(OSTREL_ERR_FS_NOT_DIRECTORY, nullptr, "'%s' is not a directory",
                                  join_path(segs, i).c_str());
    auto it = m->entries.find(segs[i]);
    if (it != m->entries.end()) {
      if (!it->second.node)
        return ostrel_error_createf(OSTREL_ERR_FS_NOT_FOUND, nullptr,
                                    "Path '%s' not found in the transaction",
                                    join_path(segs, i + 1).c_str());
      m = it->second.node.get();
      continue;
    }
    Child c;
    OSTREL_ERR(base_child(txn->filesystem, *m, segs[i], c));
    if (!c.id)
      return ostrel_error_createf(OSTREL_ERR_FS_NOT_FOUND, nullptr,
                                  "Path '%s' not found in the transaction",
                                  join_path(segs, i + 1).c_str());
    auto node = std::make_unique<MNode>();
    node->kind = c.kind;
    node->base = c.id;
    MNode *next = node.get();
    m->entries[segs[i]].node = std::move(node);
    m = next;
  }
  // Remember the deepest directory reached: M, or the directory holding it
  // (a walk that ends on a file took at least one step: the root and a
  // remembered directory are directories).
  size_t depth = count;
  MNode *dir = m;
  if (m->kind != ostrel_node_dir) {
    depth = count - 1;
    dir = parent;
  }
  if (txn->last_dir != dir || known.size() != depth) {
    txn->last_dir_segs.assign(segs.begin(), segs.begin() + static_cast<std::ptrdiff_t>(depth));
    txn->last_dir = dir;
  }
  *out = m;
  return nullptr;
}

void forget_nodes(ostrel_fs_txn *txn) {
  ++txn->tree_generation;
  txn->last_dir = nullptr;
  txn->last_dir_segs.clear();
  txn->recent_node = nullptr;
}

MNode *recent_node(ostrel_fs_txn *txn, const char *path) {
  return txn->recent_node && txn->recent_path == path ? txn->recent_node : nullptr;
}

void remember_node(ostrel_fs_txn *txn, const char *path, MNode *node) {
  txn->recent_path = path;
  txn->recent_node = node;
}

// The parent directory of SEGS in the transaction's tree, and whether its
// last segment names something.  WHAT is the action as a verb phrase that
// takes the path as its object ("make a directory at", "copy to"), so every
// message reads "Cannot WHAT 'PATH': REASON".  The root has no parent: it
// always exists, so asking for it is refused as an existing path.
static ostrel_error *parent_dir(ostrel_fs_txn *txn, const std::vector<std::string> &segs,
                                const char *what, MNode **parent) {
  if (segs.empty())
    return ostrel_error_createf(OSTREL_ERR_FS_ALREADY_EXISTS, nullptr,
                                "Cannot %s '/': the root always exists", what);
  OSTREL_ERR(resolve_mutable(txn, segs, segs.size() - 1, parent));
  if ((*parent)->kind != ostrel_node_dir)
    return ostrel_error_createf(OSTREL_ERR_FS_NOT_DIRECTORY, nullptr,
                                "Cannot %s '%s': '%s' is not a directory", what,
                                join_path(segs, segs.size()).c_str(),
                                join_path(segs, segs.size() - 1).c_str());
  return nullptr;
}

ostrel_error *mutable_parent(ostrel_fs_txn *txn, const std::vector<std::string> &segs,
                             const char *what, MNode **parent, bool *exists) {
  OSTREL_ERR(parent_dir(txn, segs, what, parent));
  Loc loc;
  OSTREL_ERR(mnode_child(txn->filesystem, **parent, segs.back(), loc));
  *exists = loc.exists();
  return nullptr;
}

ostrel_error *add_node(ostrel_fs_txn *txn, const std::vector<std::string> &segs,
                       std::unique_ptr<MNode> node, const char *what) {
  MNode *parent;
  OSTREL_ERR(parent_dir(txn, segs, what, &parent));
  // What mnode_child finds, in one search of the entries that also gives
  // where a new one goes.
  const std::string &name = segs.back();
  auto it = parent->entries.lower_bound(name);
  bool exists;
  if (it != parent->entries.end() && it->first == name) {
    exists = it->second.node != nullptr;
  } else {
    Child c;
    OSTREL_ERR(base_child(txn->filesystem, *parent, name, c));
    exists = c.id != 0;
    if (!exists) it = parent->entries.emplace_hint(it, name, Entry{});
  }
  if (exists)
    return ostrel_error_createf(OSTREL_ERR_FS_ALREADY_EXISTS, nullptr,
                                "Cannot %s '%s': the path already exists", what,
                                join_path(segs, segs.size()).c_str());
  Entry &e = it->second;
  node->added = true;
  node->replaced = e.deleted;
  e.node = std::move(node);
  return nullptr;
}

ostrel_error *txn_path(ostrel_fs_root *root, const char *path, ostrel_fs_txn **txn,
                       std::vector<std::string> &segs) {
  OSTREL_ERR(txn_of(root, txn));
  return parse_path(path, segs);
}

ostrel_error *make_plain(ostrel_fs_root *root, const char *path, int kind, const char *what) {
  ostrel_fs_txn *txn = nullptr;
  std::vector<std::string> segs;
  OSTREL_ERR(txn_path(root, path, &txn, segs));
  auto node = std::make_unique<MNode>();
  node->kind = kind;
  MNode *made = node.get();
  OSTREL_ERR(add_node(txn, segs, std::move(node), what));
  remember_node(txn, path, made);
  return nullptr;
}

ostrel_error *set_file_text(ostrel_fs_txn *txn, const std::string &path, MNode *file,
                            uint64_t generation, int64_t content) {
  OSTREL_ERR(txn_alive(txn));  // a stream may outlive its transaction's commit
  MNode *m = file;
  if (!m || generation != txn->tree_generation) {
    // The file may have been deleted (and made again) while its stream
    // was open: find what the path names now.
    std::vector<std::string> segs;
    OSTREL_ERR(parse_path(path.c_str(), segs));
    OSTREL_ERR(resolve_mutable(txn, segs, &m));
    if (m->kind != ostrel_node_file)
      return ostrel_error_createf(OSTREL_ERR_FS_NOT_FILE, nullptr, "'%s' is not a file",
                                  join_path(segs, segs.size()).c_str());
  }
  m->text_changed = true;
  m->content = content;
  return nullptr;
}

}  // namespace ostrel::fs
