// The versioned filesystem of a repository, stored behind the metadata seam
// (meta.h) and the content seam (content_store.h).
//
// STORAGE MODEL
//
// A revision is a root node.  Nodes are immutable node revisions: kind,
// properties, for a file a content id, for a directory a version of its
// entries (a View, whose layout is the store's: see sqlite/meta.cpp).  A
// commit makes a new version of every directory it changes from the version
// its node had, and older versions read as they did.  So:
//   - a copy of any directory at any revision is one new node sharing the
//     source's version: O(1), whatever the size of the subtree;
//   - a commit writes one node per changed path and per directory above it,
//     and one directory change per changed entry: its cost follows the paths
//     it changes times their depth, never the size of the repository.
// Nodes carry their predecessor (the node they were changed from, or for a
// copy its source) and their line of history (the node that began it);
// ostrel_fs_node_origin_rev records its answers as node origins.
//
// File contents are stored once per distinct SHA-256 among committed
// contents, as zstd-compressed chunks of CHUNK_SIZE bytes, streamed in and out.
//
// INVARIANTS OF A COMMIT
//
//  1. Before a commit's final step, the metadata holds revisions 0..Y and
//     every record reachable from them; the transaction's tree lives in the
//     committing process's memory, and its uploaded contents are records
//     marked with the transaction's id that no revision references.  Readers see
//     exactly revisions 0..Y.
//  2. The final step is one Writer of the metadata seam (it holds the
//     repository's commit lock): it reads Y again, checks every changed path
//     against revisions after the base (out of date -> rollback, nothing
//     written: a file conflicts when its node changed after the base; a
//     directory whose properties the transaction changes conflicts only when
//     its own properties differ from the base's or it was deleted or
//     replaced, never because a commit passed through it), writes the new
//     nodes, directory versions, the revision, its properties and changed
//     paths, and marks the contents it uses as committed.  Readers
//     (snapshots) keep seeing 0..Y until it commits and then see 0..Y+1 at
//     once; no reader ever sees part of it.  Nothing revisions 0..Y read
//     ever changes (the store keeps older directory versions as they were).
//  3. A crash at any moment before the commit point leaves revisions 0..Y
//     intact (the store rolls the writer back); a crash after it
//     leaves 0..Y+1.  What a killed transaction leaves behind is its
//     transaction record and its marked contents: they are swept (their process no longer
//     exists) by the next begin or commit, so garbage never grows without
//     bound.  Aborting deletes them at once.  A snapshot it published for
//     hooks (txns/, see txn_snapshot.cpp) is swept by the next begin once
//     its lock, held by the owner alone, can be taken.
//  4. Uploads take the write lock only for one chunk at a time, never for the
//     whole stream, so a long upload does not hold back other committers; the
//     final step's lock waits at most the busy timeout, then fails cleanly
//     with OSTREL_ERR_FS_BUSY.
//  5. When the commit point itself fails in a way that leaves its outcome
//     unknown (OSTREL_ERR_FS_UNCERTAIN), the handle takes no further
//     writes: revision Y+1 may or may not exist, and only a new handle can
//     tell.  Going on could write Y+1 twice or build on one that is not.
//  6. Contents are durable before any metadata that references them can
//     be.  The rule holds on every path that makes metadata name new bytes
//     (a commit, a commit with deferred syncs, the format upgrade; a load
//     is a series of commits): the appender is synced first, then the
//     writer commits.  Deferring syncs (ostrel_fs_defer_sync) defers only
//     the sync of the metadata, never that of the contents, and no choice
//     of the metadata store's sync mode could make it otherwise: a
//     database log written but not synced may still reach the disk at any
//     moment (the kernel writes dirty pages back when it likes, and a
//     checkpoint syncs the log), so only bytes synced before the commit
//     record is written are sure to be there whenever it is.  A log
//     reaches the disk as a prefix (SQLite's WAL frames are chained by
//     checksums, PostgreSQL's WAL is one stream), so a power loss after
//     deferred commits leaves revisions 0..K for some K at least the last
//     sync, each whole; the next appender drops the bytes after K's mark.
//     The metadata store's own mode stays as it is (SQLite: synchronous
//     NORMAL for deferred writers, which cannot corrupt the database;
//     OFF could, at a checkpoint).
//
// WHERE THINGS ARE: see handles.h.
//
// FAULT POINTS (fault_point, meta.h): "upload-chunk" before each chunk is
// stored; "commit-locked" after the write lock is taken; "commit-written"
// after every row of the new revision is written, before COMMIT;
// "revprop-written" after a revision property of an existing revision is
// written, before COMMIT; "commit-point" right after the COMMIT of a new
// revision returned (an error there stands for an I/O error whose outcome is
// unknown); "upgrade-written" after a format upgrade converted every record,
// before its COMMIT.

#include <apr_strings.h>

#include "filesystem_private.h"
#include "handles.h"
#include "os.h"

using namespace ostrel::fs;

namespace {
ostrel_fs__fault_hook_fn fault_hook = nullptr;
}

extern "C" void ostrel_fs__set_fault_hook(ostrel_fs__fault_hook_fn hook) { fault_hook = hook; }

ostrel_error *ostrel::fs::fault_point(const char *point) {
  return fault_hook ? fault_hook(point) : nullptr;
}

// ---------------------------------------------------------------------------
// The node-origins index

namespace {

// Remembers that line LINE began in revision REV, together with every other
// line that began in REV (a node without predecessor begins its own line in
// the revision that made it, so those answers need no walk).  Answers are
// written in batches (flush_origins): a crawl makes one write transaction per
// few thousand answers, not one per revision.  A process killed before a
// batch is written loses those answers, which are then computed again,
// never wrong.
ostrel_error *store_origins(ostrel_fs *filesystem, int64_t line, ostrel_revnum rev) {
  filesystem->origins[line] = rev;
  if (filesystem->origin_revs.empty() || filesystem->origin_revs.back() != rev)
    filesystem->origin_revs.push_back(rev);
  if (filesystem->origins.size() + filesystem->origin_revs.size() >= 4096)
    return flush_origins(filesystem);
  return nullptr;
}

}  // namespace

extern "C" {

// ---------------------------------------------------------------------------
// Reading

ostrel_error *ostrel_fs_youngest_rev(ostrel_revnum *out, ostrel_fs *filesystem, apr_pool_t *) {
  renew(filesystem);  // the newest, not a kept snapshot's
  return youngest(filesystem, out);
}

ostrel_error *ostrel_fs_revision_root(ostrel_fs_root **root, ostrel_fs *filesystem, ostrel_revnum rev,
                                      apr_pool_t *pool) {
  int64_t node;
  if (rev < 0)
    return ostrel_error_createf(OSTREL_ERR_FS_NO_SUCH_REVISION, nullptr, "No such revision %ld",
                                static_cast<long>(rev));
  OSTREL_ERR(revision_root_node(filesystem, rev, &node));
  auto *r = static_cast<ostrel_fs_root *>(apr_pcalloc(pool, sizeof(ostrel_fs_root)));
  *r = ostrel_fs_root{filesystem, rev, node, nullptr};
  *root = r;
  return nullptr;
}

ostrel_revnum ostrel_fs_root_revision(ostrel_fs_root *root) {
  return root->txn ? OSTREL_INVALID_REVNUM : root->rev;
}

ostrel_error *ostrel_fs_check_path(ostrel_node_kind *kind, ostrel_fs_root *root, const char *path,
                                   apr_pool_t *) {
  std::vector<std::string> segs;
  OSTREL_ERR(parse_path(path, segs));
  Loc loc;
  OSTREL_ERR(resolve(root, segs, loc));
  *kind = loc.exists() ? static_cast<ostrel_node_kind>(loc.kind) : ostrel_node_none;
  return nullptr;
}

ostrel_error *ostrel_fs_dir_entries(apr_hash_t **entries, ostrel_fs_root *root, const char *path,
                                    apr_pool_t *pool) {
  std::vector<std::string> segs;
  Loc loc;
  OSTREL_ERR(resolve_existing(root, path, segs, loc));
  if (loc.kind != ostrel_node_dir)
    return ostrel_error_createf(OSTREL_ERR_FS_NOT_DIRECTORY, nullptr, "'%s' is not a directory",
                                join_path(segs, segs.size()).c_str());
  std::map<std::string, Child> list;
  if (loc.m) {
    ostrel_error *err;
    View v = mnode_base_view(root->filesystem, *loc.m, &err);
    OSTREL_ERR(damage_at(err, root, segs));
    OSTREL_ERR(damage_at(view_list(root->filesystem, v, list), root, segs));
    for (auto &[name, e] : loc.m->entries) {
      if (e.node) list[name] = Child{1, e.node->kind};
      else list.erase(name);
    }
  } else {
    NodeRow row;
    OSTREL_ERR(damage_at(load_node(root->filesystem, loc.id, row), root, segs));
    OSTREL_ERR(damage_at(view_list(root->filesystem, row.dir, list), root, segs));
  }
  apr_hash_t *hash = apr_hash_make(pool);
  for (auto &[name, child] : list) {
    auto *d = static_cast<ostrel_fs_dirent *>(apr_palloc(pool, sizeof(ostrel_fs_dirent)));
    d->name = apr_pstrmemdup(pool, name.data(), name.size());
    d->kind = static_cast<ostrel_node_kind>(child.kind);
    apr_hash_set(hash, d->name, APR_HASH_KEY_STRING, d);
  }
  *entries = hash;
  return nullptr;
}

ostrel_error *ostrel_fs_file_contents(ostrel_stream **contents, ostrel_fs_root *root,
                                      const char *path, apr_pool_t *pool) {
  return file_stream(contents, root, path, pool);
}

ostrel_error *ostrel_fs_file_length(ostrel_filesize *length, ostrel_fs_root *root,
                                    const char *path, apr_pool_t *) {
  int64_t id;
  ContentRow c;
  OSTREL_ERR(file_content(root, path, &id, c));
  *length = c.length;
  return nullptr;
}

ostrel_error *ostrel_fs_file_sha256(const char **hex_digest, ostrel_fs_root *root,
                                    const char *path, apr_pool_t *pool) {
  int64_t id;
  ContentRow c;
  OSTREL_ERR(file_content(root, path, &id, c));
  *hex_digest = apr_pstrdup(pool, c.sha.c_str());
  return nullptr;
}

ostrel_error *ostrel_fs_node_proplist(apr_hash_t **props, ostrel_fs_root *root, const char *path,
                                      apr_pool_t *pool) {
  std::vector<std::string> segs;
  Loc loc;
  OSTREL_ERR(resolve_existing(root, path, segs, loc));
  PropMap map;
  OSTREL_ERR(props_of(root->filesystem, loc, map));
  apr_hash_t *hash = apr_hash_make(pool);
  for (auto &[name, value] : map)
    apr_hash_set(hash, apr_pstrmemdup(pool, name.data(), name.size()), APR_HASH_KEY_STRING,
                 ostrel_string_ncreate(value.data(), value.size(), pool));
  *props = hash;
  return nullptr;
}

ostrel_error *ostrel_fs_node_prop(ostrel_string **value, ostrel_fs_root *root, const char *path,
                                  const char *name, apr_pool_t *pool) {
  std::vector<std::string> segs;
  Loc loc;
  OSTREL_ERR(resolve_existing(root, path, segs, loc));
  PropMap map;
  OSTREL_ERR(props_of(root->filesystem, loc, map));
  auto it = map.find(name ? name : "");
  *value = it == map.end() ? nullptr
                           : ostrel_string_ncreate(it->second.data(), it->second.size(), pool);
  return nullptr;
}

ostrel_error *ostrel_fs_revision_proplist(apr_hash_t **props, ostrel_fs *filesystem, ostrel_revnum rev,
                                          apr_pool_t *pool) {
  int64_t root;
  OSTREL_ERR(revision_root_node(filesystem, rev, &root));
  Snapshot *s;
  OSTREL_ERR(snap(filesystem, &s));
  std::map<std::string, std::string> map;
  OSTREL_ERR(s->revision_props(rev, map));
  apr_hash_t *hash = apr_hash_make(pool);
  for (auto &[name, value] : map)
    apr_hash_set(hash, apr_pstrmemdup(pool, name.data(), name.size()), APR_HASH_KEY_STRING,
                 ostrel_string_ncreate(value.data(), value.size(), pool));
  *props = hash;
  return nullptr;
}

ostrel_error *ostrel_fs_revision_prop(ostrel_string **value, ostrel_fs *filesystem, ostrel_revnum rev,
                                      const char *name, apr_pool_t *pool) {
  apr_hash_t *props;
  OSTREL_ERR(ostrel_fs_revision_proplist(&props, filesystem, rev, pool));
  *value = static_cast<ostrel_string *>(apr_hash_get(props, name, APR_HASH_KEY_STRING));
  return nullptr;
}

ostrel_error *ostrel_fs_node_created_rev(ostrel_revnum *revision, ostrel_fs_root *root,
                                         const char *path, apr_pool_t *) {
  std::vector<std::string> segs;
  Loc loc;
  OSTREL_ERR(resolve_existing(root, path, segs, loc));
  if (loc.m) {
    // A node the transaction changes has no revision yet; one it only passes
    // through keeps that of its base.
    MNode &m = *loc.m;
    bool changed = m.added || m.props_changed || m.text_changed || !m.entries.empty();
    if (changed || !m.base) {
      *revision = OSTREL_INVALID_REVNUM;
      return nullptr;
    }
    loc.id = m.base;
  }
  NodeRow row;
  OSTREL_ERR(load_node(root->filesystem, loc.id, row));
  *revision = row.created_rev;
  return nullptr;
}

ostrel_error *ostrel_fs_copied_from(ostrel_revnum *rev_p, const char **path_p, ostrel_fs_root *root,
                                    const char *path, apr_pool_t *pool) {
  std::vector<std::string> segs;
  Loc loc;
  OSTREL_ERR(resolve_existing(root, path, segs, loc));
  *rev_p = OSTREL_INVALID_REVNUM;
  *path_p = nullptr;
  if (loc.m) {
    if (loc.m->added && !loc.m->copy_path.empty()) {
      *rev_p = loc.m->copy_rev;
      *path_p = apr_pstrdup(pool, loc.m->copy_path.c_str());
    }
    return nullptr;
  }
  NodeRow row;
  OSTREL_ERR(load_node(root->filesystem, loc.id, row));
  if (row.copy_path && row.created_rev == root->rev) {
    *rev_p = row.copy_rev;
    *path_p = apr_pstrdup(pool, row.copy_path->c_str());
  }
  return nullptr;
}

ostrel_error *ostrel_fs_paths_changed2(apr_hash_t **changed_paths, ostrel_fs_root *root,
                                       apr_pool_t *pool) {
  std::map<std::string, ChangeRow> rows;
  if (root->txn) {
    if (root->txn->done)
      return ostrel_error_create(OSTREL_ERR_FS_TXN_DEAD, nullptr,
                                 "The transaction was already committed or aborted");
    OSTREL_ERR(txn_changes(root->filesystem, *root->txn->root, rows));
  } else {
    OSTREL_ERR(read_changes(root->filesystem, root->rev, rows));
  }
  apr_hash_t *hash = apr_hash_make(pool);
  for (auto &[path, row] : rows) {
    auto *ch = static_cast<ostrel_path_change *>(apr_pcalloc(pool, sizeof(ostrel_path_change)));
    ch->change_kind = row.change;
    ch->node_kind = row.node_kind;
    ch->text_mod = row.text_mod;
    ch->prop_mod = row.prop_mod;
    ch->copyfrom_path =
        row.copy_path ? apr_pstrmemdup(pool, row.copy_path->data(), row.copy_path->size()) : nullptr;
    ch->copyfrom_rev = row.copy_rev;
    apr_hash_set(hash, apr_pstrmemdup(pool, path.data(), path.size()), APR_HASH_KEY_STRING, ch);
  }
  *changed_paths = hash;
  return nullptr;
}

// ---------------------------------------------------------------------------
// Lines of history

ostrel_error *ostrel_fs_node_origin_rev(ostrel_revnum *revision, ostrel_fs_root *root,
                                        const char *path, apr_pool_t *) {
  std::vector<std::string> segs;
  Loc loc;
  OSTREL_ERR(resolve_existing(root, path, segs, loc));
  int64_t id = loc.id;
  if (loc.m) {
    if (!loc.m->base) {  // a line the transaction starts: it has no revision yet
      *revision = OSTREL_INVALID_REVNUM;
      return nullptr;
    }
    id = loc.m->base;
  }
  ostrel_fs *filesystem = root->filesystem;
  NodeRow node;
  OSTREL_ERR(load_node(filesystem, id, node));
  auto known = filesystem->origins.find(node.line);
  if (known != filesystem->origins.end()) {
    *revision = known->second;
    return nullptr;
  }
  Snapshot *s;
  OSTREL_ERR(snap(filesystem, &s));
  std::optional<ostrel_revnum> recorded;
  OSTREL_ERR(s->node_origin(node.line, &recorded));
  if (recorded) {
    *revision = *recorded;
    return nullptr;
  }
  // Not cached: walk the node's history back to where its line began.
  NodeRow cur = node;
  while (cur.pred) {
    // A predecessor is always an older row; anything else would make this
    // walk endless.
    if (cur.pred < 0 || cur.pred >= cur.id)
      return ostrel_error_createf(OSTREL_ERR_FS_CORRUPT, nullptr,
                                  "Repository is damaged: node %lld has predecessor %lld, which "
                                  "does not precede it (history of '%s')",
                                  static_cast<long long>(cur.id),
                                  static_cast<long long>(cur.pred),
                                  join_path(segs, segs.size()).c_str());
    int64_t pred = cur.pred;
    OSTREL_ERR(load_node(filesystem, pred, cur));
  }
  if (cur.id != node.line)
    return ostrel_error_createf(OSTREL_ERR_FS_CORRUPT, nullptr,
                                "Repository is damaged: the history of '%s' does not lead to the "
                                "start of its line",
                                join_path(segs, segs.size()).c_str());
  OSTREL_ERR(store_origins(filesystem, node.line, cur.created_rev));
  *revision = cur.created_rev;
  return nullptr;
}

// ---------------------------------------------------------------------------
// Transactions

ostrel_error *ostrel_fs_begin_txn(ostrel_fs_txn **txn_p, ostrel_fs *filesystem, ostrel_revnum base_rev,
                                  apr_pool_t *pool) {
  int64_t base_root;
  if (base_rev < 0)
    return ostrel_error_createf(OSTREL_ERR_FS_NO_SUCH_REVISION, nullptr, "No such revision %ld",
                                static_cast<long>(base_rev));
  OSTREL_ERR(revision_root_node(filesystem, base_rev, &base_root));
  int64_t id = 0;
  OSTREL_ERR(in_writer(filesystem, false, [&](Writer &w) -> ostrel_error * {
    OSTREL_ERR(sweep_dead_txns(w));
    return w.add_txn(ostrel::os::current().current_pid(), base_rev, &id);
  }));
  // Snapshots left by committers that were killed while a hook read them
  // (their lock is gone with them).  A failed sweep is tried again by the
  // next begin; it never stops this one.
  ostrel_error_clear(sweep_txn_snapshots(filesystem));
  auto *txn = new ostrel_fs_txn;
  txn->filesystem = filesystem;
  txn->base = base_rev;
  txn->id = id;
  txn->base_root = base_root;
  txn->root = std::make_unique<MNode>();
  txn->root->kind = ostrel_node_dir;
  txn->root->base = base_root;
  apr_pool_cleanup_register(pool, txn, cleanup_txn, apr_pool_cleanup_null);
  *txn_p = txn;
  return nullptr;
}

ostrel_revnum ostrel_fs_txn_base_revision(ostrel_fs_txn *txn) { return txn->base; }

ostrel_error *ostrel_fs_txn_root(ostrel_fs_root **root, ostrel_fs_txn *txn, apr_pool_t *pool) {
  if (!txn->readonly) OSTREL_ERR(txn_alive(txn));
  else if (txn->done) return ostrel_error_create(OSTREL_ERR_FS_TXN_DEAD, nullptr,
                                                 "The transaction was already closed");
  auto *r = static_cast<ostrel_fs_root *>(apr_pcalloc(pool, sizeof(ostrel_fs_root)));
  *r = ostrel_fs_root{txn->filesystem, OSTREL_INVALID_REVNUM, 0, txn};
  *root = r;
  return nullptr;
}

ostrel_error *ostrel_fs_change_txn_prop(ostrel_fs_txn *txn, const char *name,
                                        const ostrel_string *value, apr_pool_t *) {
  OSTREL_ERR(txn_alive(txn));
  if (!valid_prop_name(name))
    return ostrel_error_createf(OSTREL_ERR_BAD_PROPERTY_NAME, nullptr,
                                "Invalid revision property name '%s'", name ? name : "");
  if (value)
    txn->props[name] = std::string(value->data, value->len);
  else
    txn->props.erase(name);
  return nullptr;
}

ostrel_error *ostrel_fs__keep_txn_date(ostrel_fs_txn *txn) {
  OSTREL_ERR(txn_alive(txn));
  txn->keep_date = true;
  return nullptr;
}

ostrel_error *ostrel_fs_make_dir(ostrel_fs_root *root, const char *path, apr_pool_t *) {
  return make_plain(root, path, ostrel_node_dir, "make a directory at");
}

ostrel_error *ostrel_fs_make_file(ostrel_fs_root *root, const char *path, apr_pool_t *) {
  return make_plain(root, path, ostrel_node_file, "make a file at");
}

ostrel_error *ostrel_fs_delete(ostrel_fs_root *root, const char *path, apr_pool_t *) {
  ostrel_fs_txn *txn = nullptr;
  std::vector<std::string> segs;
  OSTREL_ERR(txn_path(root, path, &txn, segs));
  if (segs.empty())
    return ostrel_error_create(OSTREL_ERR_BAD_PATH, nullptr, "Cannot delete the root '/'");
  MNode *parent;
  bool exists;
  OSTREL_ERR(mutable_parent(txn, segs, "delete", &parent, &exists));
  if (!exists)
    return ostrel_error_createf(OSTREL_ERR_FS_NOT_FOUND, nullptr,
                                "Cannot delete '%s': the path does not exist",
                                join_path(segs, segs.size()).c_str());
  auto it = parent->entries.find(segs.back());
  forget_nodes(txn);
  if (it == parent->entries.end()) {
    parent->entries[segs.back()].deleted = true;
  } else if (it->second.node && it->second.node->added && !it->second.node->replaced) {
    parent->entries.erase(it);  // added in this transaction: as if never added
  } else {
    it->second.node.reset();
    it->second.deleted = true;
  }
  return nullptr;
}

ostrel_error *ostrel_fs_copy(ostrel_fs_root *from_root, const char *from_path,
                             ostrel_fs_root *to_root, const char *to_path, apr_pool_t *) {
  ostrel_fs_txn *txn = nullptr;
  OSTREL_ERR(txn_of(to_root, &txn));
  if (from_root->txn)
    return ostrel_error_createf(OSTREL_ERR_UNSUPPORTED, nullptr,
                                "Cannot copy '%s' from a transaction: the source must be a "
                                "revision",
                                from_path ? from_path : "");
  if (from_root->filesystem != to_root->filesystem)
    return ostrel_error_createf(OSTREL_ERR_UNSUPPORTED, nullptr,
                                "Cannot copy '%s' between repositories", from_path ? from_path : "");
  std::vector<std::string> from_segs, to_segs;
  OSTREL_ERR(parse_path(from_path, from_segs));
  OSTREL_ERR(parse_path(to_path, to_segs));
  int64_t source;
  int kind;
  OSTREL_ERR(stored_resolve(from_root->filesystem, from_root->root_node, from_segs, 0, &source, &kind));
  std::string source_path = join_path(from_segs, from_segs.size());
  if (!source)
    return ostrel_error_createf(OSTREL_ERR_FS_NOT_FOUND, nullptr,
                                "Cannot copy to '%s': the source '%s' does not exist in revision "
                                "%ld",
                                join_path(to_segs, to_segs.size()).c_str(), source_path.c_str(),
                                static_cast<long>(from_root->rev));
  auto node = std::make_unique<MNode>();
  node->kind = kind;
  node->base = source;
  node->copy_path = source_path;
  node->copy_rev = from_root->rev;
  return add_node(txn, to_segs, std::move(node), "copy to");
}

ostrel_error *ostrel_fs_change_node_prop(ostrel_fs_root *root, const char *path, const char *name,
                                         const ostrel_string *value, apr_pool_t *) {
  ostrel_fs_txn *txn = nullptr;
  std::vector<std::string> segs;
  OSTREL_ERR(txn_path(root, path, &txn, segs));
  OSTREL_ERR(check_prop_name(name, join_path(segs, segs.size()).c_str()));
  MNode *m;
  OSTREL_ERR(resolve_mutable(txn, segs, &m));
  if (!m->props_changed) {
    Loc loc{m, 0, m->kind};
    OSTREL_ERR(props_of(txn->filesystem, loc, m->props));
    m->props_changed = true;
  }
  if (value)
    m->props[name] = std::string(value->data, value->len);
  else
    m->props.erase(name);
  return nullptr;
}

ostrel_error *ostrel_fs_apply_text(ostrel_stream **contents, ostrel_fs_root *root, const char *path,
                                   apr_pool_t *pool) {
  ostrel_fs_txn *txn = nullptr;
  OSTREL_ERR(txn_of(root, &txn));
  // Most often the file was made by the call before, by this same path.
  MNode *m = path ? recent_node(txn, path) : nullptr;
  if (!m || m->kind != ostrel_node_file) {
    std::vector<std::string> segs;
    OSTREL_ERR(parse_path(path, segs));
    OSTREL_ERR(resolve_mutable(txn, segs, &m));
    if (m->kind != ostrel_node_file)
      return ostrel_error_createf(OSTREL_ERR_FS_NOT_FILE, nullptr, "'%s' is not a file",
                                  join_path(segs, segs.size()).c_str());
    remember_node(txn, path, m);
  }
  // The text the file had in the base revision is where a delta starts; a
  // text this transaction wrote before may still be dropped, so none is.
  int64_t previous = 0;
  if (!m->text_changed) OSTREL_ERR(content_of(txn->filesystem, Loc{m, 0, m->kind}, &previous));
  return content_writer(contents, txn, path, m, previous, pool);
}

ostrel_error *ostrel_fs_commit_txn(const char **conflict_p, ostrel_revnum *new_rev,
                                   ostrel_fs_txn *txn, apr_pool_t *pool) {
  if (conflict_p) *conflict_p = nullptr;
  OSTREL_ERR(txn_alive(txn));
  const size_t written = txn->written;
  std::string conflict;
  ostrel_revnum rev = OSTREL_INVALID_REVNUM;
  // The contents are durable before the records that make a revision use
  // them, also with deferred syncs (invariant 6).
  const bool defer = txn->filesystem->defer_sync;
  ostrel_error *err = txn->appender ? txn->appender->sync() : nullptr;
  if (!err) {
    err = in_writer(txn->filesystem, !defer, [&](Writer &w) {
      return commit_locked(txn, w, &rev, &conflict);
    });
    {
      if (err) {
        // Records written inside the rolled-back step are gone again.
        for (size_t k = written; k < txn->pending.size(); ++k) {
          txn->pending[k].id = 0;
          txn->pending[k].committed = false;
        }
        txn->written = written;
      }
    }
  }
  if (err) {
    // The header promises that a failed transaction is good only for an
    // abort: its tree may hold what the failed step half-checked, and a
    // second commit of it would be a commit nobody reviewed.
    txn->failed = true;
    // The revision may exist and reference what the transaction appended:
    // those bytes must stay (if it does not, the store's next writer drops
    // them, since no mark covers them).
    if (err->apr_err == OSTREL_ERR_FS_UNCERTAIN) txn->appender.reset();
    if (conflict_p && !conflict.empty()) *conflict_p = apr_pstrdup(pool, conflict.c_str());
    return err;
  }
  txn->done = true;
  drop_snapshot(txn);
  forget_nodes(txn);
  txn->root.reset();
  txn->appender.reset();  // the committed end moved with the revision
  *new_rev = rev;
  return nullptr;
}

ostrel_error *ostrel_fs_abort_txn(ostrel_fs_txn *txn, apr_pool_t *) { return abort_txn(txn); }

void ostrel_fs_defer_sync(ostrel_fs *filesystem, bool defer) {
  filesystem->defer_sync = defer;
  filesystem->meta->defer_syncs(defer);
}

ostrel_error *ostrel_fs_sync(ostrel_fs *filesystem, apr_pool_t *) {
  // The contents first, then the records that use them.
  if (filesystem->contents) OSTREL_ERR(filesystem->contents->sync_all());
  return filesystem->meta->sync();
}

// ---------------------------------------------------------------------------
// Copying

}  // extern "C"
