// The versioned filesystem of a repository, stored in one SQLite database.
//
// STORAGE MODEL
//
// A revision is a row (rev, root node).  Nodes are immutable node revisions:
// kind, properties, for a file a content id, for a directory a "view" of a
// directory key (dkey, asof).  A directory key holds rows (name, start_rev,
// end_rev, child); the entries of the view (K, A) are the rows of K alive at A
// (start_rev <= A < end_rev), then, for names K has no row for, the entries of
// K's parent view (a key made by forking another view).  A directory changed
// in a commit either extends its key (when its view is the key's newest state:
// rows end and begin at the new revision, older views keep reading the old
// rows) or forks a new key whose parent is the old view.  So:
//   - a copy of any directory at any revision is one new node row sharing the
//     source's view: O(1), whatever the size of the subtree;
//   - a commit writes one node per changed path and per directory above it,
//     and one row per changed directory entry: its cost follows the paths it
//     changes times their depth, never the size of the repository.
// Node rows carry their predecessor (the node they were changed from, or for
// a copy its source) and their line of history (the node that began it);
// ostrel_fs_node_origin_rev caches answers in the node_origin table.
//
// File contents are stored once per distinct SHA-256 among committed
// contents, as zstd-compressed chunks of CHUNK_SIZE bytes, streamed in and out.
//
// INVARIANTS OF A COMMIT
//
//  1. Before a commit's final step, the database holds revisions 0..Y and
//     every row reachable from them; the transaction's tree lives in the
//     committing process's memory, and its uploaded contents are rows marked
//     with the transaction's id that no revision references.  Readers see
//     exactly revisions 0..Y.
//  2. The final step is one SQLite write transaction (BEGIN IMMEDIATE, the
//     database's only write lock): it reads Y again, checks every changed path
//     against revisions after the base (out of date -> rollback, nothing
//     written: a file conflicts when its node changed after the base; a
//     directory whose properties the transaction changes conflicts only when
//     its own properties differ from the base's or it was deleted or
//     replaced, never because a commit passed through it), writes the new
//     nodes, directory rows, the revision row, its properties and changed
//     paths, and marks the contents it uses as committed.  Readers (WAL
//     snapshots) keep seeing 0..Y until it commits and then see 0..Y+1 at
//     once; no reader ever sees part of it.  Rows that revisions 0..Y read
//     are never changed except end_rev of a directory row being lowered from
//     "forever" to Y+1, which older views do not read.
//  3. A crash at any moment before the final COMMIT leaves revisions 0..Y
//     intact (SQLite rolls the write transaction back); a crash after it
//     leaves 0..Y+1.  What a killed transaction leaves behind is its txn row
//     and its marked contents: they are swept (their process no longer
//     exists) by the next begin or commit, so garbage never grows without
//     bound.  Aborting deletes them at once.
//  4. Uploads take the write lock only for one chunk at a time, never for the
//     whole stream, so a long upload does not hold back other committers; the
//     final step's lock waits at most the busy timeout, then fails cleanly
//     with OSTREL_ERR_FS_BUSY.
//
// FAULT POINTS (Store::fault_point): "upload-chunk" before each chunk is
// stored; "commit-locked" after the write lock is taken; "commit-written"
// after every row of the new revision is written, before COMMIT.

#include <apr_strings.h>
#include <openssl/evp.h>
#include <signal.h>
#include <sys/time.h>
#include <unistd.h>
#include <zstd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "filesystem_private.h"
#include "ostrel_fs.h"
#include "ostrel_path.h"
#include "store.h"

using ostrel::fs::ReadScope;
using ostrel::fs::Stmt;
using ostrel::fs::Store;

namespace {

constexpr int64_t kForever = int64_t{1} << 62;
constexpr size_t kChunkSize = 1 << 20;
constexpr int kZstdLevel = 3;

struct NodeRow {
  int64_t id = 0;
  int kind = ostrel_node_none;
  int64_t nid = 0;
  int64_t pred = 0;
  int64_t line = 0;
  ostrel_revnum created_rev = OSTREL_INVALID_REVNUM;
  std::optional<std::string> copy_path;
  ostrel_revnum copy_rev = OSTREL_INVALID_REVNUM;
  int64_t content = 0;  // 0: empty file
  std::string props;    // serialised, see encode_props
  int64_t dkey = 0;     // 0: empty directory
  int64_t asof = 0;
};

struct View {
  int64_t dkey = 0;
  int64_t asof = 0;
};

using PropMap = std::map<std::string, std::string>;

std::string encode_props(const PropMap &props) {
  std::string out;
  auto put = [&out](const std::string &s) {
    uint32_t n = static_cast<uint32_t>(s.size());
    out.append(reinterpret_cast<const char *>(&n), 4);
    out.append(s);
  };
  for (auto &[name, value] : props) {
    put(name);
    put(value);
  }
  return out;
}

bool decode_props(const std::string &blob, PropMap &props) {
  size_t pos = 0;
  auto get = [&](std::string &s) {
    uint32_t n;
    if (blob.size() - pos < 4) return false;
    std::memcpy(&n, blob.data() + pos, 4);
    pos += 4;
    if (blob.size() - pos < n) return false;
    s.assign(blob, pos, n);
    pos += n;
    return true;
  };
  while (pos < blob.size()) {
    std::string name, value;
    if (!get(name) || !get(value)) return false;
    props[name] = value;
  }
  return true;
}

std::string child_path(const std::string &parent, const std::string &name) {
  return parent == "/" ? "/" + name : parent + "/" + name;
}

std::string join_path(const std::vector<std::string> &segs, size_t n) {
  std::string out;
  for (size_t i = 0; i < n; ++i) out += "/" + segs[i];
  return out.empty() ? "/" : out;
}

// Splits an fs path into segments; "" and "/" are the root.  Which paths
// are valid is the common path vocabulary's rule (ostrel_fspath_check).
ostrel_error *parse_path(const char *path, std::vector<std::string> &segs) {
  if (!path) return ostrel_error_create(OSTREL_ERR_BAD_PATH, nullptr, "Path is missing");
  OSTREL_ERR(ostrel_fspath_check(path));
  std::string_view p(path);
  if (!p.empty() && p[0] == '/') p.remove_prefix(1);
  segs.clear();
  while (!p.empty()) {
    size_t slash = p.find('/');
    segs.emplace_back(p.substr(0, slash));
    p = slash == std::string_view::npos ? std::string_view() : p.substr(slash + 1);
  }
  return nullptr;
}

// Property names: a letter, '_' or ':' first, then letters, digits, '-', '.',
// '_' or ':'.  This keeps names printable, unambiguous in listings and safe in
// any serialisation.
bool valid_prop_name(const char *name) {
  if (!name || !*name) return false;
  auto alpha = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
  if (!alpha(name[0]) && name[0] != '_' && name[0] != ':') return false;
  for (const char *p = name; *p; ++p) {
    char c = *p;
    if (!alpha(c) && !(c >= '0' && c <= '9') && c != '-' && c != '.' && c != '_' && c != ':')
      return false;
  }
  return true;
}

ostrel_error *check_prop_name(const char *name, const char *path) {
  if (valid_prop_name(name)) return nullptr;
  return ostrel_error_createf(OSTREL_ERR_BAD_PROPERTY_NAME, nullptr,
                              "Invalid property name '%s' on '%s'", name ? name : "", path);
}

std::string now_iso8601() {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  struct tm tm;
  time_t secs = tv.tv_sec;
  gmtime_r(&secs, &tm);
  char buf[64];
  snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%06ldZ", tm.tm_year + 1900,
           tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
           static_cast<long>(tv.tv_usec));
  return buf;
}


}  // namespace

// ---------------------------------------------------------------------------
// Handles

struct MNode;

struct Entry {
  bool deleted = false;          // the base entry of this name is deleted
  std::unique_ptr<MNode> node;   // what the name holds now (after a delete: a replacement)
};

// A node of a transaction's tree that the transaction changed or passed
// through.  BASE is the stored node it derives from: for an opened node the
// node at its path in the base revision, for a copy the copy source.
struct MNode {
  int kind = ostrel_node_none;
  int64_t base = 0;
  bool added = false;
  bool replaced = false;
  std::string copy_path;
  ostrel_revnum copy_rev = OSTREL_INVALID_REVNUM;
  bool props_changed = false;
  PropMap props;
  bool text_changed = false;
  int64_t content = 0;
  std::map<std::string, Entry> entries;
};

struct ostrel_fs {
  Store store;
  int busy_timeout_ms = 10000;
};

struct ostrel_fs_txn {
  ostrel_fs *filesystem = nullptr;
  ostrel_revnum base = OSTREL_INVALID_REVNUM;
  int64_t id = 0;
  int64_t base_root = 0;
  std::unique_ptr<MNode> root;
  PropMap props;
  bool done = false;
};

struct ostrel_fs_root {
  ostrel_fs *filesystem;
  ostrel_revnum rev;
  int64_t root_node;
  ostrel_fs_txn *txn;
};

namespace {

// ---------------------------------------------------------------------------
// Reading stored nodes and directory views

// Every enumeration read from the database is checked before it is narrowed
// to its type: a damaged row gives OSTREL_ERR_FS_CORRUPT, never a value
// outside the enumeration handed to a caller (who may index a table with it).
bool valid_node_kind(int64_t kind) { return kind == ostrel_node_file || kind == ostrel_node_dir; }

bool valid_change_kind(int64_t kind) {
  return kind >= ostrel_fs_path_change_modify && kind <= ostrel_fs_path_change_replace;
}

ostrel_error *load_node(ostrel_fs *filesystem, int64_t id, NodeRow &row) {
  Stmt st;
  OSTREL_ERR(filesystem->store.prepare(st,
                               "SELECT kind, nid, pred, line, created_rev, copy_path, copy_rev, "
                               "content, props, dkey, asof FROM node WHERE id=?1"));
  st.bind(1, id);
  bool found;
  OSTREL_ERR(st.step(&found));
  if (!found)
    return ostrel_error_createf(OSTREL_ERR_FS_CORRUPT, nullptr,
                                "Repository is damaged: node %lld is missing",
                                static_cast<long long>(id));
  const int64_t kind = st.int64(0);
  if (!valid_node_kind(kind))
    return ostrel_error_createf(OSTREL_ERR_FS_CORRUPT, nullptr,
                                "Repository is damaged: node %lld has kind %lld",
                                static_cast<long long>(id), static_cast<long long>(kind));
  row.id = id;
  row.kind = static_cast<int>(kind);
  row.nid = st.int64(1);
  row.pred = st.is_null(2) ? 0 : st.int64(2);
  row.line = st.int64(3);
  row.created_rev = static_cast<ostrel_revnum>(st.int64(4));
  row.copy_path = st.is_null(5) ? std::nullopt : std::optional<std::string>(st.text(5));
  row.copy_rev = st.is_null(6) ? OSTREL_INVALID_REVNUM : static_cast<ostrel_revnum>(st.int64(6));
  row.content = st.is_null(7) ? 0 : st.int64(7);
  row.props.assign(static_cast<const char *>(st.blob(8)) ? static_cast<const char *>(st.blob(8)) : "",
                   st.bytes(8));
  row.dkey = st.is_null(9) ? 0 : st.int64(9);
  row.asof = st.is_null(10) ? 0 : st.int64(10);
  return nullptr;
}

struct DirKey {
  int64_t parent = 0;
  int64_t parent_asof = 0;
  int64_t head_asof = 0;
};

ostrel_error *load_dirkey(ostrel_fs *filesystem, int64_t dkey, DirKey &k) {
  Stmt st;
  OSTREL_ERR(filesystem->store.prepare(st, "SELECT parent, parent_asof, head_asof FROM dirkey WHERE id=?1"));
  st.bind(1, dkey);
  bool found;
  OSTREL_ERR(st.step(&found));
  if (!found)
    return ostrel_error_createf(OSTREL_ERR_FS_CORRUPT, nullptr,
                                "Repository is damaged: directory key %lld is missing",
                                static_cast<long long>(dkey));
  k.parent = st.is_null(0) ? 0 : st.int64(0);
  k.parent_asof = st.is_null(1) ? 0 : st.int64(1);
  k.head_asof = st.int64(2);
  // A key is forked from a key that already exists, so a parent always has a
  // smaller id.  Readers follow parent links until a key has none; refusing
  // any other link is what guarantees that walk ends on a damaged chain.
  if (k.parent != 0 && (k.parent < 0 || k.parent >= dkey))
    return ostrel_error_createf(OSTREL_ERR_FS_CORRUPT, nullptr,
                                "Repository is damaged: directory key %lld has parent %lld, "
                                "which does not precede it",
                                static_cast<long long>(dkey), static_cast<long long>(k.parent));
  return nullptr;
}

struct Child {
  int64_t id = 0;  // 0: absent
  int kind = ostrel_node_none;
};

// The entry in columns CHILD_COL (node id) and CHILD_COL + 1 (its kind) of
// a row of directory key DKEY naming NAME; a tombstone is an absent entry.
ostrel_error *read_child(const Stmt &st, int child_col, int64_t dkey, const std::string &name,
                         Child &out) {
  out = Child{};
  if (st.is_null(child_col)) return nullptr;
  const int64_t kind = st.int64(child_col + 1);
  if (!valid_node_kind(kind))
    return ostrel_error_createf(OSTREL_ERR_FS_CORRUPT, nullptr,
                                "Repository is damaged: entry '%s' of directory key %lld has "
                                "kind %lld",
                                name.c_str(), static_cast<long long>(dkey),
                                static_cast<long long>(kind));
  out.id = st.int64(child_col);
  out.kind = static_cast<int>(kind);
  return nullptr;
}

// The entry NAME of directory view V.
ostrel_error *view_lookup(ostrel_fs *filesystem, View v, const std::string &name, Child &out) {
  out = Child{};
  while (v.dkey) {
    Stmt st;
    OSTREL_ERR(filesystem->store.prepare(st,
                                 "SELECT child, kind, end_rev FROM dirent WHERE dkey=?1 AND "
                                 "name=?2 AND start_rev<=?3 ORDER BY start_rev DESC LIMIT 1"));
    st.bind(1, v.dkey).bind(2, name).bind(3, v.asof);
    bool row;
    OSTREL_ERR(st.step(&row));
    if (row) {
      if (st.int64(2) > v.asof) OSTREL_ERR(read_child(st, 0, v.dkey, name, out));
      return nullptr;  // this key decides, also when the name is gone here
    }
    DirKey k;
    OSTREL_ERR(load_dirkey(filesystem, v.dkey, k));
    v = View{k.parent, k.parent_asof};
  }
  return nullptr;
}

// All entries of directory view V.
ostrel_error *view_list(ostrel_fs *filesystem, View v, std::map<std::string, Child> &out) {
  std::set<std::string> decided;
  while (v.dkey) {
    {
      // Only the rows alive at asof: a key with a parent never ends a row
      // without starting the next one (a deletion leaves a tombstone), so
      // every name such a key decides has exactly one row alive; in a key
      // without parent an ended row simply means the name is gone.  The
      // index on (dkey, end_rev) keeps this to the rows alive at asof or
      // ended after it, not the directory's whole history.
      Stmt st;
      OSTREL_ERR(filesystem->store.prepare(st,
                                   "SELECT name, child, kind FROM dirent WHERE dkey=?1 AND "
                                   "end_rev>?2 AND start_rev<=?2"));
      st.bind(1, v.dkey).bind(2, v.asof);
      bool row;
      while (true) {
        OSTREL_ERR(st.step(&row));
        if (!row) break;
        std::string name = st.text(0);
        if (!decided.insert(name).second) continue;
        Child c;
        OSTREL_ERR(read_child(st, 1, v.dkey, name, c));
        if (c.id) out[name] = c;
      }
    }
    DirKey k;
    OSTREL_ERR(load_dirkey(filesystem, v.dkey, k));
    v = View{k.parent, k.parent_asof};
  }
  return nullptr;
}

// Resolves SEGS from stored node ROOT_ID; *ID is 0 when absent.
ostrel_error *stored_resolve(ostrel_fs *filesystem, int64_t root_id, const std::vector<std::string> &segs,
                             size_t from, int64_t *id, int *kind) {
  int64_t cur = root_id;
  NodeRow row;
  OSTREL_ERR(load_node(filesystem, cur, row));
  int cur_kind = row.kind;
  for (size_t i = from; i < segs.size(); ++i) {
    if (cur_kind != ostrel_node_dir) {
      *id = 0;
      *kind = ostrel_node_none;
      return nullptr;
    }
    if (i > from) OSTREL_ERR(load_node(filesystem, cur, row));
    Child c;
    OSTREL_ERR(view_lookup(filesystem, View{row.dkey, row.asof}, segs[i], c));
    if (!c.id) {
      *id = 0;
      *kind = ostrel_node_none;
      return nullptr;
    }
    cur = c.id;
    cur_kind = c.kind;
  }
  *id = cur;
  *kind = cur_kind;
  return nullptr;
}

ostrel_error *youngest(ostrel_fs *filesystem, ostrel_revnum *rev) {
  Stmt st;
  OSTREL_ERR(filesystem->store.prepare(st, "SELECT max(rev) FROM revision"));
  bool row;
  OSTREL_ERR(st.step(&row));
  if (!row || st.is_null(0))
    return ostrel_error_create(OSTREL_ERR_FS_CORRUPT, nullptr,
                               "Repository is damaged: it has no revision 0");
  *rev = static_cast<ostrel_revnum>(st.int64(0));
  return nullptr;
}

ostrel_error *revision_root_node(ostrel_fs *filesystem, ostrel_revnum rev, int64_t *root) {
  Stmt st;
  OSTREL_ERR(filesystem->store.prepare(st, "SELECT root FROM revision WHERE rev=?1"));
  st.bind(1, rev);
  bool row;
  OSTREL_ERR(st.step(&row));
  if (!row)
    return ostrel_error_createf(OSTREL_ERR_FS_NO_SUCH_REVISION, nullptr, "No such revision %ld",
                                static_cast<long>(rev));
  *root = st.int64(0);
  return nullptr;
}

// One row of a revision's changed paths, checked as it is read.
struct ChangeRow {
  ostrel_fs_path_change_kind change = ostrel_fs_path_change_modify;
  ostrel_node_kind node_kind = ostrel_node_none;
  bool text_mod = false;
  bool prop_mod = false;
  std::optional<std::string> copy_path;
  ostrel_revnum copy_rev = OSTREL_INVALID_REVNUM;
};

// Whether PATH is a canonical '/'-rooted fs path ("/", "/a/b").
bool canonical_path(const std::string &path) {
  std::vector<std::string> segs;
  ostrel_error *err = parse_path(path.c_str(), segs);
  if (err) {
    ostrel_error_clear(err);
    return false;
  }
  return path == join_path(segs, segs.size());
}

// The changed paths of revision REV, keyed by path.  A row with a value no
// commit writes (a kind outside its enumeration, a flag that is neither 0 nor
// 1, a path that is not canonical, a copy source on a change that cannot have
// one or from a revision not before REV) is OSTREL_ERR_FS_CORRUPT naming the
// revision and the path.
ostrel_error *read_changes(ostrel_fs *filesystem, ostrel_revnum rev,
                           std::map<std::string, ChangeRow> &out) {
  out.clear();
  Stmt st;
  OSTREL_ERR(filesystem->store.prepare(st, "SELECT path, change, node_kind, text_mod, prop_mod, "
                                           "copy_path, copy_rev FROM changed_path WHERE rev=?1"));
  st.bind(1, int64_t{rev});
  while (true) {
    bool row;
    OSTREL_ERR(st.step(&row));
    if (!row) return nullptr;
    const std::string path = st.text(0);
    const int64_t change = st.int64(1), node_kind = st.int64(2);
    const int64_t text_mod = st.int64(3), prop_mod = st.int64(4);
    const bool has_copy_path = !st.is_null(5), has_copy_rev = !st.is_null(6);
    ChangeRow ch;
    if (has_copy_path) ch.copy_path = st.text(5);
    if (has_copy_rev) ch.copy_rev = static_cast<ostrel_revnum>(st.int64(6));
    std::string what;
    if (!canonical_path(path))
      what = "a path that is not a valid repository path";
    else if (!valid_change_kind(change))
      what = "change kind " + std::to_string(change);
    else if (!valid_node_kind(node_kind))
      what = "node kind " + std::to_string(node_kind);
    else if ((text_mod != 0 && text_mod != 1) || (prop_mod != 0 && prop_mod != 1))
      what = "a modification flag that is neither 0 nor 1";
    else if (has_copy_path != has_copy_rev)
      what = "half a copy source";
    else if (has_copy_path && change != ostrel_fs_path_change_add &&
             change != ostrel_fs_path_change_replace)
      what = "a copy source on a change that is no add or replace";
    else if (has_copy_path && (st.int64(6) < 0 || st.int64(6) >= rev))
      what = "a copy source from revision " + std::to_string(st.int64(6));
    else if (has_copy_path && !canonical_path(*ch.copy_path))
      what = "a copy source that is not a valid repository path";
    if (!what.empty())
      return ostrel_error_createf(OSTREL_ERR_FS_CORRUPT, nullptr,
                                  "Repository is damaged: changed path '%s' of revision %ld has %s",
                                  path.c_str(), static_cast<long>(rev), what.c_str());
    ch.change = static_cast<ostrel_fs_path_change_kind>(change);
    ch.node_kind = static_cast<ostrel_node_kind>(node_kind);
    ch.text_mod = text_mod != 0;
    ch.prop_mod = prop_mod != 0;
    out[path] = std::move(ch);
  }
}

// ---------------------------------------------------------------------------
// Locations in any root (revision or transaction)

struct Loc {
  MNode *m = nullptr;  // a node of the transaction's tree
  int64_t id = 0;      // or a stored node
  int kind = ostrel_node_none;
  bool exists() const { return m || id; }
};

View mnode_base_view(ostrel_fs *filesystem, const MNode &m, ostrel_error **err) {
  *err = nullptr;
  if (!m.base || m.kind != ostrel_node_dir) return View{};
  NodeRow row;
  *err = load_node(filesystem, m.base, row);
  return View{row.dkey, row.asof};
}

// The entry NAME of transaction directory M.
ostrel_error *mnode_child(ostrel_fs *filesystem, MNode &m, const std::string &name, Loc &out) {
  out = Loc{};
  auto it = m.entries.find(name);
  if (it != m.entries.end()) {
    if (it->second.node) {
      out.m = it->second.node.get();
      out.kind = out.m->kind;
    }
    return nullptr;
  }
  ostrel_error *err;
  View v = mnode_base_view(filesystem, m, &err);
  OSTREL_ERR(err);
  Child c;
  OSTREL_ERR(view_lookup(filesystem, v, name, c));
  out.id = c.id;
  out.kind = c.kind;
  return nullptr;
}

// Adds to a damage report which path of which root was being read, so that
// the message says where the damage was met; other errors pass unchanged.
ostrel_error *damage_at(ostrel_error *err, const ostrel_fs_root *root,
                        const std::vector<std::string> &segs) {
  if (!err || err->apr_err != OSTREL_ERR_FS_CORRUPT) return err;
  std::string p = join_path(segs, segs.size());
  if (root->txn)
    return ostrel_error_createf(OSTREL_ERR_FS_CORRUPT, err,
                                "Cannot read '%s' in the transaction", p.c_str());
  return ostrel_error_createf(OSTREL_ERR_FS_CORRUPT, err, "Cannot read '%s' in revision %ld",
                              p.c_str(), static_cast<long>(root->rev));
}

ostrel_error *resolve_unnamed(ostrel_fs_root *root, const std::vector<std::string> &segs,
                              Loc &loc) {
  if (!root->txn) {
    loc = Loc{};
    return stored_resolve(root->filesystem, root->root_node, segs, 0, &loc.id, &loc.kind);
  }
  if (root->txn->done)
    return ostrel_error_create(OSTREL_ERR_FS_TXN_DEAD, nullptr,
                               "The transaction was already committed or aborted");
  loc = Loc{root->txn->root.get(), 0, ostrel_node_dir};
  for (size_t i = 0; i < segs.size(); ++i) {
    if (loc.kind != ostrel_node_dir) {
      loc = Loc{};
      return nullptr;
    }
    if (loc.m) {
      OSTREL_ERR(mnode_child(root->filesystem, *loc.m, segs[i], loc));
      if (!loc.exists()) return nullptr;
    } else {
      return stored_resolve(root->filesystem, loc.id, segs, i, &loc.id, &loc.kind);
    }
  }
  return nullptr;
}

ostrel_error *resolve(ostrel_fs_root *root, const std::vector<std::string> &segs, Loc &loc) {
  return damage_at(resolve_unnamed(root, segs, loc), root, segs);
}

ostrel_error *resolve_existing(ostrel_fs_root *root, const char *path,
                               std::vector<std::string> &segs, Loc &loc) {
  OSTREL_ERR(parse_path(path, segs));
  OSTREL_ERR(resolve(root, segs, loc));
  if (!loc.exists()) {
    std::string p = join_path(segs, segs.size());
    if (root->txn)
      return ostrel_error_createf(OSTREL_ERR_FS_NOT_FOUND, nullptr,
                                  "Path '%s' not found in the transaction", p.c_str());
    return ostrel_error_createf(OSTREL_ERR_FS_NOT_FOUND, nullptr,
                                "Path '%s' not found in revision %ld", p.c_str(),
                                static_cast<long>(root->rev));
  }
  return nullptr;
}

}  // namespace

// ---------------------------------------------------------------------------
// Contents: streamed, chunked, compressed, addressed by SHA-256

namespace {

struct ContentRow {
  std::string sha;
  int64_t length = 0;
  int64_t chunks = 0;
};

const char kEmptySha[] = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

ostrel_error *load_content(ostrel_fs *filesystem, int64_t id, ContentRow &c) {
  if (id == 0) {
    c = ContentRow{kEmptySha, 0, 0};
    return nullptr;
  }
  Stmt st;
  OSTREL_ERR(filesystem->store.prepare(st, "SELECT sha, length, chunks FROM content WHERE id=?1"));
  st.bind(1, id);
  bool row;
  OSTREL_ERR(st.step(&row));
  if (!row || st.is_null(0))
    return ostrel_error_createf(OSTREL_ERR_FS_CORRUPT, nullptr,
                                "Repository is damaged: contents %lld are missing",
                                static_cast<long long>(id));
  c.sha = st.text(0);
  c.length = st.int64(1);
  c.chunks = st.int64(2);
  return nullptr;
}

// Reads chunk SEQ of contents ID, decompressed, into OUT.
ostrel_error *read_chunk(ostrel_fs *filesystem, int64_t id, int64_t seq, std::string &out) {
  Stmt st;
  OSTREL_ERR(filesystem->store.prepare(st, "SELECT raw_len, data FROM chunk WHERE content=?1 AND seq=?2"));
  st.bind(1, id).bind(2, seq);
  bool row;
  OSTREL_ERR(st.step(&row));
  if (!row)
    return ostrel_error_createf(OSTREL_ERR_FS_CORRUPT, nullptr,
                                "Repository is damaged: chunk %lld of contents %lld is missing",
                                static_cast<long long>(seq), static_cast<long long>(id));
  size_t raw = static_cast<size_t>(st.int64(0));
  if (raw > kChunkSize)
    return ostrel_error_createf(OSTREL_ERR_FS_CORRUPT, nullptr,
                                "Repository is damaged: chunk %lld of contents %lld is too large",
                                static_cast<long long>(seq), static_cast<long long>(id));
  out.resize(raw);
  size_t got = ZSTD_decompress(out.data(), raw, st.blob(1), st.bytes(1));
  if (ZSTD_isError(got) || got != raw)
    return ostrel_error_createf(OSTREL_ERR_FS_CORRUPT, nullptr,
                                "Repository is damaged: chunk %lld of contents %lld cannot be "
                                "decompressed",
                                static_cast<long long>(seq), static_cast<long long>(id));
  return nullptr;
}

struct ContentReader {
  ostrel_fs *filesystem;
  int64_t id;
  int64_t chunks;
  int64_t next_seq = 0;
  std::string buf;
  size_t pos = 0;
};

ostrel_error *content_read(void *baton, char *buffer, apr_size_t *len) {
  auto *r = static_cast<ContentReader *>(baton);
  apr_size_t done = 0;
  while (done < *len) {
    if (r->pos == r->buf.size()) {
      if (r->next_seq >= r->chunks) break;
      OSTREL_ERR(read_chunk(r->filesystem, r->id, r->next_seq++, r->buf));
      r->pos = 0;
      continue;
    }
    apr_size_t n = std::min<apr_size_t>(*len - done, r->buf.size() - r->pos);
    std::memcpy(buffer + done, r->buf.data() + r->pos, n);
    r->pos += n;
    done += n;
  }
  *len = done;
  return nullptr;
}

apr_status_t delete_reader(void *data) {
  delete static_cast<ContentReader *>(data);
  return APR_SUCCESS;
}

ostrel_stream *content_stream(ostrel_fs *filesystem, int64_t id, int64_t chunks, apr_pool_t *pool) {
  auto *r = new ContentReader{filesystem, id, chunks, 0, std::string(), 0};
  apr_pool_cleanup_register(pool, r, delete_reader, apr_pool_cleanup_null);
  ostrel_stream *s = ostrel_stream_create(r, pool);
  ostrel_stream_set_read(s, content_read);
  return s;
}

std::string hex(const unsigned char *d, size_t n) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < n; ++i) {
    out += digits[d[i] >> 4];
    out += digits[d[i] & 15];
  }
  return out;
}

ostrel_error *resolve_mutable(ostrel_fs_txn *txn, const std::vector<std::string> &segs,
                              MNode **out);

// A stream that stores new contents for one file of a transaction.  Each full
// chunk is compressed and stored in its own short write transaction, marked
// with the transaction's id, so nothing is held whole and the write lock is
// never held for the whole upload.
struct ContentWriter {
  ostrel_fs_txn *txn;
  std::vector<std::string> segs;
  std::string buf;
  EVP_MD_CTX *sha = nullptr;
  int64_t length = 0;
  int64_t id = 0;
  int64_t seq = 0;
  bool failed = false;

  ~ContentWriter() {
    if (sha) EVP_MD_CTX_free(sha);
  }
};

ostrel_error *store_chunk(ContentWriter *w, const std::string *final_sha) {
  Store &store = w->txn->filesystem->store;
  std::string packed;
  if (!w->buf.empty()) {
    packed.resize(ZSTD_compressBound(w->buf.size()));
    size_t n = ZSTD_compress(packed.data(), packed.size(), w->buf.data(), w->buf.size(),
                             kZstdLevel);
    if (ZSTD_isError(n))
      return ostrel_error_createf(OSTREL_ERR_FS_GENERAL, nullptr, "Cannot compress contents: %s",
                                  ZSTD_getErrorName(n));
    packed.resize(n);
  }
  OSTREL_ERR(store.fault_point("upload-chunk"));
  OSTREL_ERR(store.begin_write(false));
  ostrel_error *err = [&]() -> ostrel_error * {
    Stmt st;
    if (!w->id) {
      OSTREL_ERR(store.prepare(st, "INSERT INTO content(sha, length, chunks, txn) "
                                   "VALUES(NULL, 0, 0, ?1)"));
      st.bind(1, w->txn->id);
      OSTREL_ERR(st.run());
      w->id = store.last_insert_id();
    }
    if (!w->buf.empty()) {
      OSTREL_ERR(store.prepare(st, "INSERT INTO chunk(content, seq, raw_len, data) "
                                   "VALUES(?1, ?2, ?3, ?4)"));
      st.bind(1, w->id).bind(2, w->seq).bind(3, static_cast<int64_t>(w->buf.size()));
      st.bind_blob(4, packed.data(), packed.size());
      OSTREL_ERR(st.run());
      ++w->seq;
    }
    if (final_sha) {
      OSTREL_ERR(store.prepare(st, "UPDATE content SET sha=?1, length=?2, chunks=?3 WHERE id=?4"));
      st.bind(1, *final_sha).bind(2, w->length).bind(3, w->seq).bind(4, w->id);
      OSTREL_ERR(st.run());
    }
    return nullptr;
  }();
  if (err) {
    store.rollback();
    return err;
  }
  OSTREL_ERR(store.commit());
  w->buf.clear();
  return nullptr;
}

ostrel_error *writer_write(void *baton, const char *data, apr_size_t *len) {
  auto *w = static_cast<ContentWriter *>(baton);
  if (w->failed || w->txn->done)
    return ostrel_error_create(OSTREL_ERR_FS_TXN_DEAD, nullptr,
                               "Cannot write contents: the stream or its transaction has ended");
  apr_size_t left = *len;
  const char *p = data;
  EVP_DigestUpdate(w->sha, data, *len);
  w->length += static_cast<int64_t>(*len);
  while (left) {
    size_t n = std::min(left, kChunkSize - w->buf.size());
    w->buf.append(p, n);
    p += n;
    left -= n;
    if (w->buf.size() == kChunkSize) {
      ostrel_error *err = store_chunk(w, nullptr);
      if (err) {
        w->failed = true;
        return err;
      }
    }
  }
  return nullptr;
}

ostrel_error *writer_close(void *baton) {
  auto *w = static_cast<ContentWriter *>(baton);
  if (w->failed || w->txn->done)
    return ostrel_error_create(OSTREL_ERR_FS_TXN_DEAD, nullptr,
                               "Cannot finish contents: the stream or its transaction has ended");
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int dlen = 0;
  EVP_DigestFinal_ex(w->sha, digest, &dlen);
  std::string sha = hex(digest, dlen);
  if (w->length > 0 || w->id) OSTREL_ERR(store_chunk(w, &sha));
  MNode *m;
  OSTREL_ERR(resolve_mutable(w->txn, w->segs, &m));
  if (m->kind != ostrel_node_file)
    return ostrel_error_createf(OSTREL_ERR_FS_NOT_FILE, nullptr, "'%s' is not a file",
                                join_path(w->segs, w->segs.size()).c_str());
  m->text_changed = true;
  m->content = w->length > 0 ? w->id : 0;
  return nullptr;
}

apr_status_t delete_writer(void *data) {
  delete static_cast<ContentWriter *>(data);
  return APR_SUCCESS;
}

// ---------------------------------------------------------------------------
// The transaction's tree

ostrel_error *txn_alive(ostrel_fs_txn *txn) {
  if (txn->done)
    return ostrel_error_create(OSTREL_ERR_FS_TXN_DEAD, nullptr,
                               "The transaction was already committed or aborted");
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

// The transaction node for existing path SEGS, opening (copying into the
// transaction's tree) every directory on the way.
ostrel_error *resolve_mutable(ostrel_fs_txn *txn, const std::vector<std::string> &segs,
                              MNode **out) {
  MNode *m = txn->root.get();
  for (size_t i = 0; i < segs.size(); ++i) {
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
    ostrel_error *err;
    View v = mnode_base_view(txn->filesystem, *m, &err);
    OSTREL_ERR(err);
    Child c;
    OSTREL_ERR(view_lookup(txn->filesystem, v, segs[i], c));
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
  *out = m;
  return nullptr;
}

// The parent directory of SEGS in the transaction's tree, and whether its
// last segment names something.  WHAT is the action as a verb phrase that
// takes the path as its object ("make a directory at", "copy to"), so every
// message reads "Cannot WHAT 'PATH': REASON".  The root has no parent: it
// always exists, so asking for it is refused as an existing path.
ostrel_error *mutable_parent(ostrel_fs_txn *txn, const std::vector<std::string> &segs,
                             const char *what, MNode **parent, bool *exists) {
  if (segs.empty())
    return ostrel_error_createf(OSTREL_ERR_FS_ALREADY_EXISTS, nullptr,
                                "Cannot %s '/': the root always exists", what);
  std::vector<std::string> parent_segs(segs.begin(), segs.end() - 1);
  OSTREL_ERR(resolve_mutable(txn, parent_segs, parent));
  if ((*parent)->kind != ostrel_node_dir)
    return ostrel_error_createf(OSTREL_ERR_FS_NOT_DIRECTORY, nullptr,
                                "Cannot %s '%s': '%s' is not a directory", what,
                                join_path(segs, segs.size()).c_str(),
                                join_path(segs, segs.size() - 1).c_str());
  Loc loc;
  OSTREL_ERR(mnode_child(txn->filesystem, **parent, segs.back(), loc));
  *exists = loc.exists();
  return nullptr;
}

ostrel_error *add_node(ostrel_fs_txn *txn, const std::vector<std::string> &segs,
                       std::unique_ptr<MNode> node, const char *what) {
  MNode *parent;
  bool exists;
  OSTREL_ERR(mutable_parent(txn, segs, what, &parent, &exists));
  if (exists)
    return ostrel_error_createf(OSTREL_ERR_FS_ALREADY_EXISTS, nullptr,
                                "Cannot %s '%s': the path already exists", what,
                                join_path(segs, segs.size()).c_str());
  Entry &e = parent->entries[segs.back()];
  node->added = true;
  node->replaced = e.deleted;
  e.node = std::move(node);
  return nullptr;
}

ostrel_error *props_of(ostrel_fs *filesystem, const Loc &loc, PropMap &props) {
  props.clear();
  if (loc.m && loc.m->props_changed) {
    props = loc.m->props;
    return nullptr;
  }
  int64_t id = loc.m ? loc.m->base : loc.id;
  if (!id) return nullptr;
  NodeRow row;
  OSTREL_ERR(load_node(filesystem, id, row));
  if (!decode_props(row.props, props))
    return ostrel_error_createf(OSTREL_ERR_FS_CORRUPT, nullptr,
                                "Repository is damaged: properties of node %lld are unreadable",
                                static_cast<long long>(id));
  return nullptr;
}

ostrel_error *content_of(ostrel_fs *filesystem, const Loc &loc, int64_t *content) {
  if (loc.m && (loc.m->text_changed || !loc.m->base)) {
    *content = loc.m->text_changed ? loc.m->content : 0;
    return nullptr;
  }
  NodeRow row;
  OSTREL_ERR(load_node(filesystem, loc.m ? loc.m->base : loc.id, row));
  *content = row.content;
  return nullptr;
}

ostrel_error *file_loc(ostrel_fs_root *root, const char *path, Loc &loc) {
  std::vector<std::string> segs;
  OSTREL_ERR(resolve_existing(root, path, segs, loc));
  if (loc.kind != ostrel_node_file)
    return ostrel_error_createf(OSTREL_ERR_FS_NOT_FILE, nullptr, "'%s' is not a file",
                                join_path(segs, segs.size()).c_str());
  return nullptr;
}

// The content row of file PATH in ROOT, and its id.
ostrel_error *file_content(ostrel_fs_root *root, const char *path, int64_t *id, ContentRow &c) {
  Loc loc;
  OSTREL_ERR(file_loc(root, path, loc));
  OSTREL_ERR(content_of(root->filesystem, loc, id));
  return load_content(root->filesystem, *id, c);
}

// Deletes everything a transaction stored (its contents and its row).
ostrel_error *purge_txn_rows(Store &store, int64_t txn_id) {
  Stmt st;
  OSTREL_ERR(store.prepare(st, "DELETE FROM chunk WHERE content IN "
                               "(SELECT id FROM content WHERE txn=?1)"));
  st.bind(1, txn_id);
  OSTREL_ERR(st.run());
  OSTREL_ERR(store.prepare(st, "DELETE FROM content WHERE txn=?1"));
  st.bind(1, txn_id);
  OSTREL_ERR(st.run());
  OSTREL_ERR(store.prepare(st, "DELETE FROM txn WHERE id=?1"));
  st.bind(1, txn_id);
  return st.run();
}

// Inside a write transaction: removes what transactions of processes that no
// longer exist left behind.
ostrel_error *sweep_dead_txns(Store &store) {
  std::vector<int64_t> dead;
  {
    Stmt st;
    OSTREL_ERR(store.prepare(st, "SELECT id, pid FROM txn"));
    bool row;
    while (true) {
      OSTREL_ERR(st.step(&row));
      if (!row) break;
      pid_t pid = static_cast<pid_t>(st.int64(1));
      if (pid <= 0 || (kill(pid, 0) != 0 && errno == ESRCH)) dead.push_back(st.int64(0));
    }
  }
  for (int64_t id : dead) OSTREL_ERR(purge_txn_rows(store, id));
  return nullptr;
}

ostrel_error *abort_txn(ostrel_fs_txn *txn) {
  if (txn->done) return nullptr;
  txn->done = true;
  txn->root.reset();
  Store &store = txn->filesystem->store;
  OSTREL_ERR(store.begin_write(false));
  ostrel_error *err = purge_txn_rows(store, txn->id);
  if (err) {
    store.rollback();
    return err;
  }
  return store.commit();
}

// The transaction of ROOT (which must be a live transaction root) and the
// segments of PATH.
ostrel_error *txn_path(ostrel_fs_root *root, const char *path, ostrel_fs_txn **txn,
                       std::vector<std::string> &segs) {
  OSTREL_ERR(txn_of(root, txn));
  return parse_path(path, segs);
}

// Adds a new empty directory or file without history at PATH.
ostrel_error *make_plain(ostrel_fs_root *root, const char *path, int kind, const char *what) {
  ostrel_fs_txn *txn = nullptr;
  std::vector<std::string> segs;
  OSTREL_ERR(txn_path(root, path, &txn, segs));
  auto node = std::make_unique<MNode>();
  node->kind = kind;
  return add_node(txn, segs, std::move(node), what);
}

apr_status_t cleanup_txn(void *data) {
  auto *txn = static_cast<ostrel_fs_txn *>(data);
  ostrel_error_clear(abort_txn(txn));
  delete txn;
  return APR_SUCCESS;
}

}  // namespace

// ---------------------------------------------------------------------------
// Commit

namespace {

struct ChangeRecord {
  std::string path;
  ostrel_fs_path_change_kind kind;
  int node_kind;
  bool text_mod;
  bool prop_mod;
  std::string copy_path;  // empty: none
  ostrel_revnum copy_rev;
};

struct RowChange {
  int64_t child;  // 0: the name is deleted
  int kind;
};

// Whether M (or anything below it) differs from what it was opened from.
bool changes_anything(const MNode &m) {
  if (m.added || m.props_changed || m.text_changed) return true;
  for (auto &[name, e] : m.entries)
    if (!e.node || changes_anything(*e.node)) return true;
  return false;
}

class Committer {
 public:
  Committer(ostrel_fs_txn *txn, ostrel_revnum youngest)
      : filesystem_(txn->filesystem), txn_(txn), youngest_(youngest), new_rev_(youngest + 1) {}

  std::vector<ChangeRecord> changes;
  std::string conflict;

  // Writes the new node for M at PATH.  For a node the transaction opened,
  // YNODE is the node at PATH in the youngest revision: the new node is made
  // from it (so changes committed since the base are kept), after checking
  // that nothing the transaction changes here was changed since the base.
  ostrel_error *commit_node(MNode &m, const std::string &path, const NodeRow *ynode,
                            int64_t *new_id) {
    NodeRow source;
    if (m.base) OSTREL_ERR(load_node(filesystem_, m.base, source));
    const NodeRow *from = m.added ? (m.base ? &source : nullptr) : ynode;
    if (!m.added && ynode->id != m.base) {
      // A file's node changes only when its text or properties do, so any
      // newer node conflicts with a change to either.  A directory's node is
      // rewritten by every commit that passes through it; only its own
      // properties conflict with a property change here (its deletion or
      // replacement was refused by the caller, which compares node ids).
      // Properties equal to the base's lose nothing when written over, also
      // when a later commit changed them and another changed them back.
      if (m.kind == ostrel_node_file && (m.props_changed || m.text_changed))
        return out_of_date(path);
      if (m.kind == ostrel_node_dir && m.props_changed && ynode->props != source.props)
        return out_of_date(path);
    }

    NodeRow n;
    n.kind = m.kind;
    n.created_rev = new_rev_;
    if (from) {
      n.pred = from->id;
      n.line = from->line;
      n.nid = m.added ? 0 : from->nid;
      n.content = from->content;
      n.props = from->props;
    }
    if (m.added && !m.copy_path.empty()) {
      n.copy_path = m.copy_path;
      n.copy_rev = m.copy_rev;
    }
    if (m.props_changed) n.props = encode_props(m.props);
    if (m.text_changed) OSTREL_ERR(committed_content(m.content, &n.content));

    if (m.kind == ostrel_node_dir) {
      View view = from ? View{from->dkey, from->asof} : View{};
      View base_view = view;
      if (!m.added && m.base != ynode->id) base_view = View{source.dkey, source.asof};
      std::vector<std::pair<std::string, RowChange>> rows;
      for (auto &[name, e] : m.entries) {
        std::string cpath = child_path(path, name);
        Child ychild, bchild;
        OSTREL_ERR(view_lookup(filesystem_, view, name, ychild));
        bchild = ychild;
        if (base_view.dkey != view.dkey || base_view.asof != view.asof)
          OSTREL_ERR(view_lookup(filesystem_, base_view, name, bchild));
        if (!e.node) {
          if (!bchild.id) continue;  // nothing to delete (cannot happen through the API)
          if (ychild.id != bchild.id) return out_of_date(cpath);
          changes.push_back({cpath, ostrel_fs_path_change_delete, bchild.kind, false, false, "",
                             OSTREL_INVALID_REVNUM});
          rows.push_back({name, RowChange{0, ostrel_node_none}});
          continue;
        }
        MNode &c = *e.node;
        if (!changes_anything(c)) continue;  // opened on the way to a refused change
        int64_t child_id;
        if (c.added) {
          if (c.replaced ? (ychild.id != bchild.id) : (ychild.id != 0)) return out_of_date(cpath);
          OSTREL_ERR(commit_node(c, cpath, nullptr, &child_id));
          changes.push_back({cpath,
                             c.replaced ? ostrel_fs_path_change_replace : ostrel_fs_path_change_add,
                             c.kind, c.kind == ostrel_node_file && c.text_changed,
                             c.props_changed && !c.props.empty(), c.copy_path, c.copy_rev});
        } else {
          if (!ychild.id || ychild.kind != c.kind) return out_of_date(cpath);
          NodeRow ychild_row, cbase;
          OSTREL_ERR(load_node(filesystem_, ychild.id, ychild_row));
          if (ychild.id != c.base) {
            OSTREL_ERR(load_node(filesystem_, c.base, cbase));
            if (cbase.nid != ychild_row.nid) return out_of_date(cpath);
          }
          OSTREL_ERR(commit_node(c, cpath, &ychild_row, &child_id));
          if (c.text_changed || c.props_changed)
            changes.push_back({cpath, ostrel_fs_path_change_modify, c.kind, c.text_changed,
                               c.props_changed, "", OSTREL_INVALID_REVNUM});
        }
        rows.push_back({name, RowChange{child_id, c.kind}});
      }
      View made;
      OSTREL_ERR(write_view(view, rows, &made));
      n.dkey = made.dkey;
      n.asof = made.asof;
    }
    OSTREL_ERR(insert_node(n, new_id));
    return nullptr;
  }

 private:
  ostrel_error *out_of_date(const std::string &path) {
    conflict = path;
    return ostrel_error_createf(OSTREL_ERR_FS_OUT_OF_DATE, nullptr,
                                "Path '%s' is out of date: it was changed after revision %ld",
                                path.c_str(), static_cast<long>(txn_->base));
  }

  // The committed contents for the transaction's contents ID: an already
  // committed contents with the same SHA-256 when there is one (ID is then
  // dropped with the transaction's other leftovers), else ID itself.
  ostrel_error *committed_content(int64_t id, int64_t *out) {
    if (!id) {
      *out = 0;
      return nullptr;
    }
    Stmt st;
    OSTREL_ERR(filesystem_->store.prepare(st, "SELECT sha, txn FROM content WHERE id=?1"));
    st.bind(1, id);
    bool row;
    OSTREL_ERR(st.step(&row));
    if (!row || st.is_null(0))
      return ostrel_error_createf(OSTREL_ERR_FS_CORRUPT, nullptr,
                                  "Contents uploaded by the transaction are missing");
    std::string sha = st.text(0);
    if (st.is_null(1)) {  // already made committed by this commit
      *out = id;
      return nullptr;
    }
    OSTREL_ERR(filesystem_->store.prepare(st, "SELECT id FROM content WHERE sha=?1 AND txn IS NULL LIMIT 1"));
    st.bind(1, sha);
    OSTREL_ERR(st.step(&row));
    if (row) {
      *out = st.int64(0);
      return nullptr;
    }
    OSTREL_ERR(filesystem_->store.prepare(st, "UPDATE content SET txn=NULL WHERE id=?1"));
    st.bind(1, id);
    OSTREL_ERR(st.run());
    *out = id;
    return nullptr;
  }

  ostrel_error *insert_node(NodeRow &n, int64_t *id) {
    Stmt st;
    OSTREL_ERR(filesystem_->store.prepare(
        st, "INSERT INTO node(kind, nid, pred, line, created_rev, copy_path, copy_rev, content, "
            "props, dkey, asof) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11)"));
    st.bind(1, int64_t{n.kind}).bind(2, n.nid).bind(5, int64_t{n.created_rev});
    if (n.pred) st.bind(3, n.pred); else st.bind_null(3);
    st.bind(4, n.line);
    if (n.copy_path) st.bind(6, *n.copy_path).bind(7, int64_t{n.copy_rev});
    else st.bind_null(6).bind_null(7);
    if (n.content) st.bind(8, n.content); else st.bind_null(8);
    st.bind_blob(9, n.props.data(), n.props.size());
    if (n.kind == ostrel_node_dir && n.dkey) st.bind(10, n.dkey).bind(11, n.asof);
    else st.bind_null(10).bind_null(11);
    OSTREL_ERR(st.run());
    *id = filesystem_->store.last_insert_id();
    if (!n.nid || !n.line) {
      // A node with no predecessor identity starts its own: a new node (and,
      // without copy history, a new line of history).
      OSTREL_ERR(filesystem_->store.prepare(st, "UPDATE node SET nid=CASE WHEN nid=0 THEN id ELSE nid END,"
                                        " line=CASE WHEN line=0 THEN id ELSE line END WHERE id=?1"));
      st.bind(1, *id);
      OSTREL_ERR(st.run());
    }
    return nullptr;
  }

  // Writes the directory rows of a view that is FROM with ROWS changed.
  ostrel_error *write_view(View from, const std::vector<std::pair<std::string, RowChange>> &rows,
                           View *made) {
    if (rows.empty()) {
      *made = from;
      return nullptr;
    }
    Stmt st;
    int64_t key;
    bool has_parent;
    DirKey k;
    if (from.dkey) OSTREL_ERR(load_dirkey(filesystem_, from.dkey, k));
    if (from.dkey && k.head_asof == from.asof) {
      // FROM is the newest state of its key: extend the key.
      key = from.dkey;
      has_parent = k.parent != 0;
      OSTREL_ERR(filesystem_->store.prepare(st, "UPDATE dirkey SET head_asof=?1 WHERE id=?2"));
      st.bind(1, int64_t{new_rev_}).bind(2, key);
      OSTREL_ERR(st.run());
    } else {
      // A new directory, or an older state of a key: start a key (forked
      // from FROM when there is one).
      OSTREL_ERR(filesystem_->store.prepare(st, "INSERT INTO dirkey(parent, parent_asof, head_asof) "
                                        "VALUES(?1, ?2, ?3)"));
      if (from.dkey) st.bind(1, from.dkey).bind(2, from.asof);
      else st.bind_null(1).bind_null(2);
      st.bind(3, int64_t{new_rev_});
      OSTREL_ERR(st.run());
      key = filesystem_->store.last_insert_id();
      has_parent = from.dkey != 0;
    }
    for (auto &[name, change] : rows) {
      OSTREL_ERR(filesystem_->store.prepare(st, "UPDATE dirent SET end_rev=?1 WHERE dkey=?2 AND name=?3 "
                                        "AND end_rev>?1"));
      st.bind(1, int64_t{new_rev_}).bind(2, key).bind(3, name);
      OSTREL_ERR(st.run());
      if (!change.child && !has_parent) continue;
      OSTREL_ERR(filesystem_->store.prepare(st, "INSERT INTO dirent(dkey, name, start_rev, end_rev, child, "
                                        "kind) VALUES(?1, ?2, ?3, ?4, ?5, ?6)"));
      st.bind(1, key).bind(2, name).bind(3, int64_t{new_rev_}).bind(4, kForever);
      if (change.child) st.bind(5, change.child).bind(6, int64_t{change.kind});
      else st.bind_null(5).bind_null(6);  // tombstone: hides the parent view's entry
      OSTREL_ERR(st.run());
    }
    *made = View{key, new_rev_};
    return nullptr;
  }

  ostrel_fs *filesystem_;
  ostrel_fs_txn *txn_;
  ostrel_revnum youngest_;
  ostrel_revnum new_rev_;
};

ostrel_error *commit_locked(ostrel_fs_txn *txn, ostrel_revnum *new_rev, std::string *conflict) {
  ostrel_fs *filesystem = txn->filesystem;
  Store &store = filesystem->store;
  OSTREL_ERR(store.fault_point("commit-locked"));
  ostrel_revnum y;
  OSTREL_ERR(youngest(filesystem, &y));
  OSTREL_ERR(sweep_dead_txns(store));
  int64_t yroot_id;
  OSTREL_ERR(revision_root_node(filesystem, y, &yroot_id));
  Committer c(txn, y);
  int64_t new_root = yroot_id;
  MNode &root = *txn->root;
  if (changes_anything(root)) {
    NodeRow yroot;
    OSTREL_ERR(load_node(filesystem, yroot_id, yroot));
    ostrel_error *err = c.commit_node(root, "/", &yroot, &new_root);
    if (err) {
      *conflict = c.conflict;
      return err;
    }
    if (root.props_changed)
      c.changes.push_back({"/", ostrel_fs_path_change_modify, ostrel_node_dir, false, true, "",
                           OSTREL_INVALID_REVNUM});
  }
  ostrel_revnum rev = y + 1;
  Stmt st;
  OSTREL_ERR(store.prepare(st, "INSERT INTO revision(rev, root) VALUES(?1, ?2)"));
  st.bind(1, int64_t{rev}).bind(2, new_root);
  OSTREL_ERR(st.run());
  PropMap props = txn->props;
  props[OSTREL_PROP_REVISION_DATE] = now_iso8601();
  for (auto &[name, value] : props) {
    OSTREL_ERR(store.prepare(st, "INSERT INTO revprop(rev, name, value) VALUES(?1, ?2, ?3)"));
    st.bind(1, int64_t{rev}).bind(2, name).bind_blob(3, value.data(), value.size());
    OSTREL_ERR(st.run());
  }
  for (auto &ch : c.changes) {
    OSTREL_ERR(store.prepare(st, "INSERT INTO changed_path(rev, path, change, node_kind, text_mod, "
                                 "prop_mod, copy_path, copy_rev) "
                                 "VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)"));
    st.bind(1, int64_t{rev}).bind(2, ch.path).bind(3, int64_t{ch.kind});
    st.bind(4, int64_t{ch.node_kind}).bind(5, int64_t{ch.text_mod}).bind(6, int64_t{ch.prop_mod});
    if (ch.copy_path.empty()) st.bind_null(7).bind_null(8);
    else st.bind(7, ch.copy_path).bind(8, int64_t{ch.copy_rev});
    OSTREL_ERR(st.run());
  }
  // Contents the transaction uploaded but no new node uses.
  OSTREL_ERR(purge_txn_rows(store, txn->id));
  OSTREL_ERR(store.fault_point("commit-written"));
  *new_rev = rev;
  return nullptr;
}

}  // namespace

// ---------------------------------------------------------------------------
// The node-origins index

namespace {

// Stores that line LINE began in revision REV, together with every other
// line that began in REV (a node without predecessor begins its own line in
// the revision that made it, so those answers need no walk).  Writing a
// revision's answers in one transaction keeps a crawl to one write per
// revision, and every answer is stored before it is reported.  The
// transaction survives the process being killed once it returns; a power
// loss may drop the newest answers, which are then computed again, never
// wrong.
ostrel_error *store_origins(ostrel_fs *filesystem, int64_t line, ostrel_revnum rev) {
  Store &store = filesystem->store;
  OSTREL_ERR(store.begin_write(false));
  ostrel_error *err = [&]() -> ostrel_error * {
    Stmt st;
    OSTREL_ERR(store.prepare(st, "INSERT OR IGNORE INTO node_origin(line, rev) VALUES(?1, ?2)"));
    st.bind(1, line).bind(2, int64_t{rev});
    OSTREL_ERR(st.run());
    OSTREL_ERR(store.prepare(st, "INSERT OR IGNORE INTO node_origin(line, rev) SELECT id, "
                                 "created_rev FROM node WHERE created_rev=?1 AND pred IS NULL"));
    st.bind(1, int64_t{rev});
    return st.run();
  }();
  if (err) {
    store.rollback();
    return err;
  }
  return store.commit();
}

}  // namespace

// ---------------------------------------------------------------------------
// Opening and creating

namespace {

const char kSchema[] =
    "CREATE TABLE meta(key TEXT PRIMARY KEY, value TEXT NOT NULL);"
    "CREATE TABLE revision(rev INTEGER PRIMARY KEY, root INTEGER NOT NULL);"
    "CREATE TABLE revprop(rev INTEGER NOT NULL, name TEXT NOT NULL, value BLOB NOT NULL,"
    "  PRIMARY KEY(rev, name)) WITHOUT ROWID;"
    "CREATE TABLE node(id INTEGER PRIMARY KEY, kind INTEGER NOT NULL, nid INTEGER NOT NULL,"
    "  pred INTEGER, line INTEGER NOT NULL, created_rev INTEGER NOT NULL, copy_path TEXT,"
    "  copy_rev INTEGER, content INTEGER, props BLOB NOT NULL, dkey INTEGER, asof INTEGER);"
    "CREATE INDEX node_line_starts ON node(created_rev) WHERE pred IS NULL;"
    "CREATE TABLE dirkey(id INTEGER PRIMARY KEY, parent INTEGER, parent_asof INTEGER,"
    "  head_asof INTEGER NOT NULL);"
    "CREATE TABLE dirent(dkey INTEGER NOT NULL, name TEXT NOT NULL, start_rev INTEGER NOT NULL,"
    "  end_rev INTEGER NOT NULL, child INTEGER, kind INTEGER,"
    "  PRIMARY KEY(dkey, name, start_rev)) WITHOUT ROWID;"
    "CREATE INDEX dirent_alive ON dirent(dkey, end_rev);"
    "CREATE INDEX dirent_by_start ON dirent(dkey, start_rev);"
    "CREATE TABLE content(id INTEGER PRIMARY KEY, sha TEXT, length INTEGER NOT NULL,"
    "  chunks INTEGER NOT NULL, txn INTEGER);"
    "CREATE INDEX content_by_sha ON content(sha) WHERE txn IS NULL;"
    "CREATE INDEX content_by_txn ON content(txn) WHERE txn IS NOT NULL;"
    "CREATE TABLE chunk(content INTEGER NOT NULL, seq INTEGER NOT NULL, raw_len INTEGER NOT NULL,"
    "  data BLOB NOT NULL, UNIQUE(content, seq));"
    "CREATE TABLE txn(id INTEGER PRIMARY KEY, pid INTEGER NOT NULL, base INTEGER NOT NULL);"
    "CREATE TABLE changed_path(rev INTEGER NOT NULL, path TEXT NOT NULL, change INTEGER NOT NULL,"
    "  node_kind INTEGER NOT NULL, text_mod INTEGER NOT NULL, prop_mod INTEGER NOT NULL,"
    "  copy_path TEXT, copy_rev INTEGER, PRIMARY KEY(rev, path)) WITHOUT ROWID;"
    "CREATE TABLE node_origin(line INTEGER PRIMARY KEY, rev INTEGER NOT NULL);";

apr_status_t close_fs(void *data) {
  delete static_cast<ostrel_fs *>(data);
  return APR_SUCCESS;
}

ostrel_error *parse_config(apr_hash_t *config, int *busy_ms) {
  *busy_ms = 10000;
  if (!config) return nullptr;
  auto *value = static_cast<const char *>(apr_hash_get(config, OSTREL_FS_CONFIG_BUSY_TIMEOUT,
                                                      APR_HASH_KEY_STRING));
  if (!value) return nullptr;
  char *end;
  errno = 0;
  long ms = strtol(value, &end, 10);
  if (errno || end == value || *end || ms < 0 || ms > 86400000)
    return ostrel_error_createf(OSTREL_ERR_BAD_CONFIG_OPTION, nullptr,
                                "Invalid value '%s' for '%s': expected milliseconds", value,
                                OSTREL_FS_CONFIG_BUSY_TIMEOUT);
  *busy_ms = static_cast<int>(ms);
  return nullptr;
}

ostrel_error *open_fs(ostrel_fs **out, const char *db_path, apr_hash_t *config, bool create,
                      apr_pool_t *pool) {
  auto filesystem = std::make_unique<ostrel_fs>();
  OSTREL_ERR(parse_config(config, &filesystem->busy_timeout_ms));
  OSTREL_ERR(filesystem->store.open(db_path, create, filesystem->busy_timeout_ms));
  Store &store = filesystem->store;
  if (create) {
    OSTREL_ERR(store.exec("PRAGMA journal_mode=WAL"));
    OSTREL_ERR(store.begin_write(true));
    ostrel_error *err = [&]() -> ostrel_error * {
      OSTREL_ERR(store.exec(kSchema));
      Stmt st;
      OSTREL_ERR(store.prepare(st, "INSERT INTO meta(key, value) VALUES('format', ?1)"));
      st.bind(1, std::to_string(OSTREL_FS__FORMAT));
      OSTREL_ERR(st.run());
      OSTREL_ERR(store.exec("INSERT INTO node(id, kind, nid, pred, line, created_rev, props) "
                            "VALUES(1, 2, 1, NULL, 1, 0, x'');"
                            "INSERT INTO revision(rev, root) VALUES(0, 1);"
                            // The root directory's line of history began with the
                            // repository; no commit ever starts it, so its origin is
                            // known from creation.
                            "INSERT INTO node_origin(line, rev) VALUES(1, 0);"));
      OSTREL_ERR(store.prepare(st, "INSERT INTO revprop(rev, name, value) VALUES(0, ?1, ?2)"));
      std::string date = now_iso8601();
      st.bind(1, std::string(OSTREL_PROP_REVISION_DATE)).bind_blob(2, date.data(), date.size());
      return st.run();
    }();
    if (err) {
      store.rollback();
      return err;
    }
    OSTREL_ERR(store.commit());
  } else {
    Stmt st;
    OSTREL_ERR(store.prepare(st, "SELECT value FROM meta WHERE key='format'"));
    bool row;
    OSTREL_ERR(st.step(&row));
    if (!row)
      return ostrel_error_createf(OSTREL_ERR_FS_CORRUPT, nullptr,
                                  "Repository database '%s' has no format record", db_path);
    std::string format = st.text(0);
    if (format != std::to_string(OSTREL_FS__FORMAT))
      return ostrel_error_createf(OSTREL_ERR_FS_BAD_FORMAT, nullptr,
                                  "Repository database '%s' has format '%s'; this build reads "
                                  "format %d",
                                  db_path, format.c_str(), OSTREL_FS__FORMAT);
  }
  *out = filesystem.release();
  apr_pool_cleanup_register(pool, *out, close_fs, apr_pool_cleanup_null);
  return nullptr;
}

}  // namespace

extern "C" {

ostrel_error *ostrel_fs__create(ostrel_fs **filesystem, const char *db_path, apr_hash_t *fs_config,
                                apr_pool_t *pool) {
  return open_fs(filesystem, db_path, fs_config, true, pool);
}

ostrel_error *ostrel_fs__open(ostrel_fs **filesystem, const char *db_path, apr_hash_t *fs_config,
                              apr_pool_t *pool) {
  return open_fs(filesystem, db_path, fs_config, false, pool);
}

// ---------------------------------------------------------------------------
// Reading

ostrel_error *ostrel_fs_youngest_rev(ostrel_revnum *out, ostrel_fs *filesystem, apr_pool_t *) {
  ReadScope scope(filesystem->store);
  OSTREL_ERR(scope.begin());
  return youngest(filesystem, out);
}

ostrel_error *ostrel_fs_revision_root(ostrel_fs_root **root, ostrel_fs *filesystem, ostrel_revnum rev,
                                      apr_pool_t *pool) {
  ReadScope scope(filesystem->store);
  OSTREL_ERR(scope.begin());
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
  ReadScope scope(root->filesystem->store);
  OSTREL_ERR(scope.begin());
  std::vector<std::string> segs;
  OSTREL_ERR(parse_path(path, segs));
  Loc loc;
  OSTREL_ERR(resolve(root, segs, loc));
  *kind = loc.exists() ? static_cast<ostrel_node_kind>(loc.kind) : ostrel_node_none;
  return nullptr;
}

ostrel_error *ostrel_fs_dir_entries(apr_hash_t **entries, ostrel_fs_root *root, const char *path,
                                    apr_pool_t *pool) {
  ReadScope scope(root->filesystem->store);
  OSTREL_ERR(scope.begin());
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
    OSTREL_ERR(damage_at(view_list(root->filesystem, View{row.dkey, row.asof}, list), root, segs));
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
  ReadScope scope(root->filesystem->store);
  OSTREL_ERR(scope.begin());
  int64_t id;
  ContentRow c;
  OSTREL_ERR(file_content(root, path, &id, c));
  *contents = content_stream(root->filesystem, id, c.chunks, pool);
  return nullptr;
}

ostrel_error *ostrel_fs_file_length(ostrel_filesize *length, ostrel_fs_root *root,
                                    const char *path, apr_pool_t *) {
  ReadScope scope(root->filesystem->store);
  OSTREL_ERR(scope.begin());
  int64_t id;
  ContentRow c;
  OSTREL_ERR(file_content(root, path, &id, c));
  *length = c.length;
  return nullptr;
}

ostrel_error *ostrel_fs_file_sha256(const char **hex_digest, ostrel_fs_root *root,
                                    const char *path, apr_pool_t *pool) {
  ReadScope scope(root->filesystem->store);
  OSTREL_ERR(scope.begin());
  int64_t id;
  ContentRow c;
  OSTREL_ERR(file_content(root, path, &id, c));
  *hex_digest = apr_pstrdup(pool, c.sha.c_str());
  return nullptr;
}

ostrel_error *ostrel_fs_node_proplist(apr_hash_t **props, ostrel_fs_root *root, const char *path,
                                      apr_pool_t *pool) {
  ReadScope scope(root->filesystem->store);
  OSTREL_ERR(scope.begin());
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
  ReadScope scope(root->filesystem->store);
  OSTREL_ERR(scope.begin());
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
  ReadScope scope(filesystem->store);
  OSTREL_ERR(scope.begin());
  int64_t root;
  OSTREL_ERR(revision_root_node(filesystem, rev, &root));
  Stmt st;
  OSTREL_ERR(filesystem->store.prepare(st, "SELECT name, value FROM revprop WHERE rev=?1"));
  st.bind(1, int64_t{rev});
  apr_hash_t *hash = apr_hash_make(pool);
  bool row;
  while (true) {
    OSTREL_ERR(st.step(&row));
    if (!row) break;
    std::string name = st.text(0);
    apr_hash_set(hash, apr_pstrmemdup(pool, name.data(), name.size()), APR_HASH_KEY_STRING,
                 ostrel_string_ncreate(static_cast<const char *>(st.blob(1)), st.bytes(1), pool));
  }
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
  ReadScope scope(root->filesystem->store);
  OSTREL_ERR(scope.begin());
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
  ReadScope scope(root->filesystem->store);
  OSTREL_ERR(scope.begin());
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
  ReadScope scope(root->filesystem->store);
  OSTREL_ERR(scope.begin());
  if (root->txn)
    return ostrel_error_create(OSTREL_ERR_UNSUPPORTED, nullptr,
                               "Changed paths are known only for committed revisions");
  std::map<std::string, ChangeRow> rows;
  OSTREL_ERR(read_changes(root->filesystem, root->rev, rows));
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
  ReadScope scope(root->filesystem->store);
  OSTREL_ERR(scope.begin());
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
  Stmt st;
  OSTREL_ERR(filesystem->store.prepare(st, "SELECT rev FROM node_origin WHERE line=?1"));
  st.bind(1, node.line);
  bool row;
  OSTREL_ERR(st.step(&row));
  if (row) {
    *revision = static_cast<ostrel_revnum>(st.int64(0));
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
  scope.end();  // the write below takes the write lock on its own
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
  Store &store = filesystem->store;
  OSTREL_ERR(store.begin_write(false));
  int64_t id = 0;
  ostrel_error *err = [&]() -> ostrel_error * {
    OSTREL_ERR(sweep_dead_txns(store));
    Stmt st;
    OSTREL_ERR(store.prepare(st, "INSERT INTO txn(pid, base) VALUES(?1, ?2)"));
    st.bind(1, int64_t{getpid()}).bind(2, int64_t{base_rev});
    OSTREL_ERR(st.run());
    id = store.last_insert_id();
    return nullptr;
  }();
  if (err) {
    store.rollback();
    return err;
  }
  OSTREL_ERR(store.commit());
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
  OSTREL_ERR(txn_alive(txn));
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

ostrel_error *ostrel_fs_make_dir(ostrel_fs_root *root, const char *path, apr_pool_t *) {
  return make_plain(root, path, ostrel_node_dir, "make a directory at");
}

ostrel_error *ostrel_fs_make_file(ostrel_fs_root *root, const char *path, apr_pool_t *) {
  return make_plain(root, path, ostrel_node_file, "make a file at");
}

ostrel_error *ostrel_fs_delete(ostrel_fs_root *root, const char *path, apr_pool_t *) {
  ReadScope scope(root->filesystem->store);
  OSTREL_ERR(scope.begin());
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
  ReadScope scope(to_root->filesystem->store);
  OSTREL_ERR(scope.begin());
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
  ReadScope scope(root->filesystem->store);
  OSTREL_ERR(scope.begin());
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
  std::vector<std::string> segs;
  OSTREL_ERR(txn_path(root, path, &txn, segs));
  MNode *m;
  OSTREL_ERR(resolve_mutable(txn, segs, &m));
  if (m->kind != ostrel_node_file)
    return ostrel_error_createf(OSTREL_ERR_FS_NOT_FILE, nullptr, "'%s' is not a file",
                                join_path(segs, segs.size()).c_str());
  auto *w = new ContentWriter;
  apr_pool_cleanup_register(pool, w, delete_writer, apr_pool_cleanup_null);
  w->txn = txn;
  w->segs = segs;
  w->buf.reserve(kChunkSize);
  w->sha = EVP_MD_CTX_new();
  if (!w->sha || EVP_DigestInit_ex(w->sha, EVP_sha256(), nullptr) != 1)
    return ostrel_error_create(OSTREL_ERR_FS_GENERAL, nullptr, "Cannot start a SHA-256 digest");
  ostrel_stream *s = ostrel_stream_create(w, pool);
  ostrel_stream_set_write(s, writer_write);
  ostrel_stream_set_close(s, writer_close);
  *contents = s;
  return nullptr;
}

ostrel_error *ostrel_fs_commit_txn(const char **conflict_p, ostrel_revnum *new_rev,
                                   ostrel_fs_txn *txn, apr_pool_t *pool) {
  if (conflict_p) *conflict_p = nullptr;
  OSTREL_ERR(txn_alive(txn));
  Store &store = txn->filesystem->store;
  OSTREL_ERR(store.begin_write(true));
  std::string conflict;
  ostrel_revnum rev = OSTREL_INVALID_REVNUM;
  ostrel_error *err = commit_locked(txn, &rev, &conflict);
  if (err) {
    store.rollback();
    if (conflict_p && !conflict.empty()) *conflict_p = apr_pstrdup(pool, conflict.c_str());
    return err;
  }
  OSTREL_ERR(store.commit());
  txn->done = true;
  txn->root.reset();
  *new_rev = rev;
  return nullptr;
}

ostrel_error *ostrel_fs_abort_txn(ostrel_fs_txn *txn, apr_pool_t *) { return abort_txn(txn); }

}  // extern "C"

// ---------------------------------------------------------------------------
// Verification and index statistics

namespace {

class Verifier {
 public:
  explicit Verifier(ostrel_fs *filesystem) : filesystem_(filesystem) {}

  ostrel_error *revision(ostrel_revnum rev) {
    rev_ = rev;
    int64_t root;
    OSTREL_ERR(revision_root_node(filesystem_, rev, &root));
    Stmt st;
    OSTREL_ERR(filesystem_->store.prepare(st, "SELECT 1 FROM revprop WHERE rev=?1 AND name=?2"));
    st.bind(1, int64_t{rev}).bind(2, std::string(OSTREL_PROP_REVISION_DATE));
    bool row;
    OSTREL_ERR(st.step(&row));
    if (!row) return damage("/", "it has no date");
    OSTREL_ERR(node(root, ostrel_node_dir, "/"));
    return changed_paths(root);
  }

 private:
  ostrel_error *damage(const std::string &path, const char *what) {
    return ostrel_error_createf(OSTREL_ERR_FS_CORRUPT, nullptr,
                                "Revision %ld is damaged at '%s': %s", static_cast<long>(rev_),
                                path.c_str(), what);
  }

  ostrel_error *wrap(ostrel_error *err, const std::string &path) {
    if (!err) return nullptr;
    return ostrel_error_createf(OSTREL_ERR_FS_CORRUPT, err, "Revision %ld is damaged at '%s'",
                                static_cast<long>(rev_), path.c_str());
  }

  ostrel_error *node(int64_t id, int expected_kind, const std::string &path) {
    if (done_.count(id)) return nullptr;
    // A directory listed inside itself would recurse without end.
    if (!open_.insert(id).second) return damage(path, "it contains itself");
    ostrel_error *err = checked_node(id, expected_kind, path);
    open_.erase(id);
    return err;
  }

  ostrel_error *checked_node(int64_t id, int expected_kind, const std::string &path) {
    NodeRow row;
    OSTREL_ERR(wrap(load_node(filesystem_, id, row), path));
    if (row.kind != expected_kind) return damage(path, "its node has the wrong kind");
    if (row.created_rev > rev_) return damage(path, "its node belongs to a later revision");
    PropMap props;
    if (!decode_props(row.props, props)) return damage(path, "its properties are unreadable");
    if (row.kind == ostrel_node_file) {
      OSTREL_ERR(contents(row.content, path));
    } else {
      std::map<std::string, Child> entries;
      NodeRow pred;
      if (row.pred && done_.count(row.pred)) OSTREL_ERR(wrap(load_node(filesystem_, row.pred, pred), path));
      if (row.pred && done_.count(row.pred) && pred.kind == ostrel_node_dir && pred.dkey &&
          pred.dkey == row.dkey && pred.asof <= row.asof) {
        // The same key as a checked predecessor: only the entries written
        // since it need checking, so a long history is not re-read for
        // every revision of a directory.
        OSTREL_ERR(wrap(rows_since(row.dkey, pred.asof, row.asof, entries), path));
      } else {
        OSTREL_ERR(wrap(view_list(filesystem_, View{row.dkey, row.asof}, entries), path));
      }
      for (auto &[name, c] : entries) {
        if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos)
          return damage(child_path(path, name), "invalid entry name");
        OSTREL_ERR(node(c.id, c.kind, child_path(path, name)));
      }
    }
    done_.insert(id);
    return nullptr;
  }

  // Checks the revision's changed-path rows against its tree (ROOT) and the
  // tree each change was made from: the revision before, or for a path
  // below a copy made in the same revision the copy's source.  An added,
  // replaced or modified path exists now with the recorded kind, a deleted
  // one does not; a modified or deleted path existed before with that kind,
  // a replaced one existed before, an added one did not; a copy source
  // exists with that kind.  Below a path added or replaced without history
  // everything is new, so there is nothing before to compare with.  Costs a
  // few path lookups per changed path.
  ostrel_error *changed_paths(int64_t root) {
    std::map<std::string, ChangeRow> changes;
    OSTREL_ERR(wrap(read_changes(filesystem_, rev_, changes), "/"));
    if (changes.empty()) return nullptr;
    if (rev_ == 0) return damage(changes.begin()->first, "revision 0 lists changed paths");
    int64_t prev_root;
    OSTREL_ERR(revision_root_node(filesystem_, rev_ - 1, &prev_root));
    for (auto &[path, ch] : changes) {
      std::vector<std::string> segs;
      OSTREL_ERR(wrap(parse_path(path.c_str(), segs), path));
      const bool gone = ch.change == ostrel_fs_path_change_delete;
      int kind;
      OSTREL_ERR(kind_at(root, segs, &kind, path));
      if (gone && kind != ostrel_node_none)
        return damage(path, "it is listed as deleted but exists");
      if (!gone && kind == ostrel_node_none)
        return damage(path, "it is listed as changed but does not exist");
      if (!gone && kind != ch.node_kind)
        return damage(path, "it is listed with the wrong node kind");
      if (ch.copy_path) {
        std::vector<std::string> from;
        int64_t from_root;
        OSTREL_ERR(wrap(parse_path(ch.copy_path->c_str(), from), path));
        OSTREL_ERR(wrap(revision_root_node(filesystem_, ch.copy_rev, &from_root), path));
        OSTREL_ERR(kind_at(from_root, from, &kind, path));
        if (kind != ch.node_kind)
          return ostrel_error_createf(
              OSTREL_ERR_FS_CORRUPT, nullptr,
              "Revision %ld is damaged at '%s': its copy source '%s' in revision %ld is %s",
              static_cast<long>(rev_), path.c_str(), ch.copy_path->c_str(),
              static_cast<long>(ch.copy_rev),
              kind == ostrel_node_none ? "missing" : "of another kind");
      }
      // Where the path was before this revision.
      int64_t before_root = prev_root;
      std::vector<std::string> before = segs;
      for (size_t n = segs.size(); n-- > 1;) {
        auto it = changes.find(join_path(segs, n));
        if (it == changes.end() || (it->second.change != ostrel_fs_path_change_add &&
                                    it->second.change != ostrel_fs_path_change_replace))
          continue;
        if (!it->second.copy_path) {
          before_root = 0;  // below a new directory: nothing was there
        } else {
          OSTREL_ERR(wrap(parse_path(it->second.copy_path->c_str(), before), path));
          before.insert(before.end(), segs.begin() + static_cast<std::ptrdiff_t>(n), segs.end());
          OSTREL_ERR(wrap(revision_root_node(filesystem_, it->second.copy_rev, &before_root), path));
        }
        break;
      }
      if (!before_root) continue;
      OSTREL_ERR(kind_at(before_root, before, &kind, path));
      switch (ch.change) {
        case ostrel_fs_path_change_add:
          if (kind != ostrel_node_none) return damage(path, "it is listed as added but existed");
          break;
        case ostrel_fs_path_change_replace:
          if (kind == ostrel_node_none)
            return damage(path, "it is listed as replaced but did not exist");
          break;
        case ostrel_fs_path_change_modify:
        case ostrel_fs_path_change_delete:
          if (kind == ostrel_node_none)
            return damage(path, "it is listed as modified or deleted but did not exist");
          if (kind != ch.node_kind) return damage(path, "it is listed with the wrong node kind");
          break;
      }
    }
    return nullptr;
  }

  // The kind of SEGS below stored node ROOT (none when absent); errors are
  // reported at PATH.
  ostrel_error *kind_at(int64_t root, const std::vector<std::string> &segs, int *kind,
                        const std::string &path) {
    int64_t id;
    return wrap(stored_resolve(filesystem_, root, segs, 0, &id, kind), path);
  }

  // The entries that rows of key DKEY started after FROM and up to ASOF
  // give (tombstones excluded).
  ostrel_error *rows_since(int64_t dkey, int64_t from, int64_t asof,
                           std::map<std::string, Child> &entries) {
    Stmt st;
    OSTREL_ERR(filesystem_->store.prepare(st, "SELECT name, child, kind FROM dirent WHERE dkey=?1 AND "
                                      "start_rev>?2 AND start_rev<=?3 AND child IS NOT NULL"));
    st.bind(1, dkey).bind(2, from).bind(3, asof);
    bool row;
    while (true) {
      OSTREL_ERR(st.step(&row));
      if (!row) break;
      std::string name = st.text(0);
      OSTREL_ERR(read_child(st, 1, dkey, name, entries[name]));
    }
    return nullptr;
  }

  ostrel_error *contents(int64_t id, const std::string &path) {
    if (!id || contents_done_.count(id)) return nullptr;
    ContentRow c;
    OSTREL_ERR(wrap(load_content(filesystem_, id, c), path));
    EVP_MD_CTX *ctx = EVP_MD_CTX_new();
    EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr);
    int64_t length = 0;
    std::string buf;
    for (int64_t seq = 0; seq < c.chunks; ++seq) {
      ostrel_error *err = read_chunk(filesystem_, id, seq, buf);
      if (err) {
        EVP_MD_CTX_free(ctx);
        return wrap(err, path);
      }
      EVP_DigestUpdate(ctx, buf.data(), buf.size());
      length += static_cast<int64_t>(buf.size());
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int dlen = 0;
    EVP_DigestFinal_ex(ctx, digest, &dlen);
    EVP_MD_CTX_free(ctx);
    if (length != c.length) return damage(path, "its contents have the wrong length");
    if (hex(digest, dlen) != c.sha) return damage(path, "its contents do not match their SHA-256");
    contents_done_.insert(id);
    return nullptr;
  }

  ostrel_fs *filesystem_;
  ostrel_revnum rev_ = 0;
  std::set<int64_t> done_;
  std::set<int64_t> open_;  // the directories being checked, from the root down
  std::set<int64_t> contents_done_;
};

}  // namespace

extern "C" {

ostrel_error *ostrel_fs_verify(ostrel_fs *filesystem, ostrel_revnum start, ostrel_revnum end,
                               ostrel_fs_verify_notify_fn notify, void *notify_baton,
                               apr_pool_t *scratch_pool) {
  ostrel_revnum y;
  OSTREL_ERR(youngest(filesystem, &y));
  if (start < 0 || end < start || end > y)
    return ostrel_error_createf(OSTREL_ERR_FS_NO_SUCH_REVISION, nullptr,
                                "Cannot verify revisions %ld to %ld: the youngest is %ld",
                                static_cast<long>(start), static_cast<long>(end),
                                static_cast<long>(y));
  {
    Stmt st;
    OSTREL_ERR(filesystem->store.prepare(st, "PRAGMA quick_check"));
    bool row;
    OSTREL_ERR(st.step(&row));
    std::string result = row ? st.text(0) : "no answer";
    if (result != "ok")
      return ostrel_error_createf(OSTREL_ERR_FS_CORRUPT, nullptr,
                                  "Repository database '%s' is damaged: %s",
                                  filesystem->store.path().c_str(), result.c_str());
  }
  Verifier v(filesystem);
  apr_pool_t *iterpool;
  apr_pool_create(&iterpool, scratch_pool);
  for (ostrel_revnum rev = start; rev <= end; ++rev) {
    apr_pool_clear(iterpool);
    ostrel_error *err = v.revision(rev);
    if (err) {
      apr_pool_destroy(iterpool);
      return err;
    }
    if (notify) notify(notify_baton, rev, iterpool);
  }
  apr_pool_destroy(iterpool);
  return nullptr;
}

ostrel_error *ostrel_fs_node_origins_stats(apr_int64_t *lines, apr_int64_t *indexed, ostrel_fs *filesystem,
                                           apr_pool_t *) {
  ReadScope scope(filesystem->store);
  OSTREL_ERR(scope.begin());
  Stmt st;
  bool row;
  OSTREL_ERR(filesystem->store.prepare(st, "SELECT count(*) FROM node WHERE pred IS NULL"));
  OSTREL_ERR(st.step(&row));
  *lines = st.int64(0);
  OSTREL_ERR(filesystem->store.prepare(st, "SELECT count(*) FROM node_origin"));
  OSTREL_ERR(st.step(&row));
  *indexed = st.int64(0);
  return nullptr;
}

}  // extern "C"
