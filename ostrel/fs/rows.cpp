// Reading what is stored: node rows, directory views, changed paths, and
// locations in any root (a revision's, or a transaction's tree over its base).

#include <cstring>
#include <set>
#include <string_view>

#include "handles.h"
#include "os.h"
#include "ostrel_path.h"

namespace ostrel::fs {

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

ostrel_error *parse_path(const char *path, std::vector<std::string> &segs) {
  if (!path) return ostrel_error_create(OSTREL_ERR_BAD_PATH, nullptr, "Path is missing");
  // Which paths are valid is the common path vocabulary's rule.
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

std::string revision_date_now() { return os::iso8601(os::current().now_usec()); }

// ---------------------------------------------------------------------------
// Reading stored nodes and directory views

// Every enumeration read from the database is checked before it is narrowed
// to its type: a damaged row gives OSTREL_ERR_FS_CORRUPT, never a value
// outside the enumeration handed to a caller (who may index a table with it).
bool valid_node_kind(int64_t kind) { return kind == ostrel_node_file || kind == ostrel_node_dir; }

static bool valid_change_kind(int64_t kind) {
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
      // ended after it, not the directory's whole history (the unary plus
      // keeps the planner off the index on start_rev, which reads it all).
      Stmt st;
      OSTREL_ERR(filesystem->store.prepare(st,
                                   "SELECT name, child, kind FROM dirent WHERE dkey=?1 AND "
                                   "end_rev>?2 AND +start_rev<=?2"));
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
  // Stored trees never change, so the directory a path of a stored root
  // leads to can be kept: the files of one directory resolve it once.
  const bool cacheable = from == 0 && segs.size() > 1;
  std::string key;
  size_t i = from;
  int64_t cur = root_id;
  if (cacheable) {
    key = std::to_string(root_id) + join_path(segs, segs.size() - 1);
    auto it = filesystem->dirs.find(key);
    if (it != filesystem->dirs.end()) {
      cur = it->second;
      i = segs.size() - 1;
    }
  }
  NodeRow row;
  OSTREL_ERR(load_node(filesystem, cur, row));
  int cur_kind = row.kind;
  for (; i < segs.size(); ++i) {
    if (cur_kind != ostrel_node_dir) {
      *id = 0;
      *kind = ostrel_node_none;
      return nullptr;
    }
    if (row.id != cur) OSTREL_ERR(load_node(filesystem, cur, row));
    if (cacheable && i == segs.size() - 1) {
      if (filesystem->dirs.size() >= 1024) filesystem->dirs.clear();
      filesystem->dirs[key] = cur;
    }
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
  for (int attempt = 0;; ++attempt) {
    {
      Stmt st;
      OSTREL_ERR(filesystem->store.prepare(st, "SELECT root FROM revision WHERE rev=?1"));
      st.bind(1, rev);
      bool row;
      OSTREL_ERR(st.step(&row));
      if (row) {
        *root = st.int64(0);
        return nullptr;
      }
    }
    // A snapshot kept from earlier calls may predate the revision.
    if (attempt > 0 || !filesystem->store.in_read())
      return ostrel_error_createf(OSTREL_ERR_FS_NO_SUCH_REVISION, nullptr, "No such revision %ld",
                                  static_cast<long>(rev));
    OSTREL_ERR(filesystem->store.refresh_read());
  }
}

// Whether PATH is a canonical '/'-rooted fs path ("/", "/a/b").
static bool canonical_path(const std::string &path) {
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

static ostrel_error *resolve_unnamed(ostrel_fs_root *root, const std::vector<std::string> &segs,
                              Loc &loc) {
  if (!root->txn) {
    loc = Loc{};
    return stored_resolve(root->filesystem, root->root_node, segs, 0, &loc.id, &loc.kind);
  }
  if (root->txn->done || root->txn->failed)
    return ostrel_error_create(OSTREL_ERR_FS_TXN_DEAD, nullptr,
                               root->txn->done
                                   ? "The transaction was already committed or aborted"
                                   : "The transaction's commit failed; it can only be aborted");
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

// ---------------------------------------------------------------------------
// What a location holds

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

}  // namespace ostrel::fs
