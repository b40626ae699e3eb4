// Reading what is stored: node rows, directory views, changed paths, and
// locations in any root (a revision's, or a transaction's tree over its base).

#include <algorithm>
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
  segs.reserve(static_cast<size_t>(std::count(p.begin(), p.end(), '/')) + 1);
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

ostrel_error *snap(ostrel_fs *filesystem, Snapshot **out) {
  if (filesystem->writing) {
    *out = filesystem->writing;
    return nullptr;
  }
  if (!filesystem->snap) OSTREL_ERR(filesystem->meta->snapshot(&filesystem->snap));
  *out = filesystem->snap.get();
  return nullptr;
}

void renew(ostrel_fs *filesystem) { filesystem->snap.reset(); }

ostrel_error *in_writer(ostrel_fs *filesystem, bool durable,
                        const std::function<ostrel_error *(Writer &)> &body) {
  std::unique_ptr<Writer> writer;
  renew(filesystem);
  OSTREL_ERR(filesystem->meta->begin_writer(durable, &writer));
  Snapshot *outer = filesystem->writing;
  filesystem->writing = &writer->reads();
  ostrel_error *err = body(*writer);
  filesystem->writing = outer;
  if (err) writer->rollback();
  else err = writer->commit();
  return err;
}

ostrel_error *load_node(ostrel_fs *filesystem, int64_t id, NodeRow &row) {
  Snapshot *s;
  OSTREL_ERR(snap(filesystem, &s));
  OSTREL_ERR(s->node(id, row));
  if (!valid_node_kind(row.kind))
    return ostrel_error_createf(OSTREL_ERR_FS_CORRUPT, nullptr,
                                "Repository is damaged: node %lld has kind %lld",
                                static_cast<long long>(id), static_cast<long long>(row.kind));
  return nullptr;
}

// A directory entry read from the store, checked: a kind outside the
// enumeration is damage, never handed on.
static ostrel_error *checked_child(View v, const std::string &name, const Child &c) {
  if (!c.id || valid_node_kind(c.kind)) return nullptr;
  return ostrel_error_createf(OSTREL_ERR_FS_CORRUPT, nullptr,
                              "Repository is damaged: entry '%s' of directory key %lld has "
                              "kind %lld",
                              name.c_str(), static_cast<long long>(v.dkey),
                              static_cast<long long>(c.kind));
}

// The entry NAME of directory view V.
ostrel_error *view_lookup(ostrel_fs *filesystem, View v, const std::string &name, Child &out) {
  Snapshot *s;
  OSTREL_ERR(snap(filesystem, &s));
  OSTREL_ERR(s->lookup(v, name, out));
  return checked_child(v, name, out);
}

// All entries of directory view V.
ostrel_error *view_list(ostrel_fs *filesystem, View v, std::map<std::string, Child> &out) {
  Snapshot *s;
  OSTREL_ERR(snap(filesystem, &s));
  OSTREL_ERR(s->list(v, out));
  for (auto &[name, c] : out) OSTREL_ERR(checked_child(v, name, c));
  return nullptr;
}

// Resolves SEGS from stored node ROOT_ID; *ID is 0 when absent.
ostrel_error *stored_resolve(ostrel_fs *filesystem, int64_t root_id, const std::vector<std::string> &segs,
                             size_t from, int64_t *id, int *kind) {
  // Stored trees never change, so the directory a path of a stored root
  // leads to can be kept: the files of one directory resolve it once.  So
  // can its absence (kept as 0): a commit of many new files checks each
  // against a base revision where their directory does not exist yet.
  const bool cacheable = from == 0 && segs.size() > 1;
  std::string key;
  size_t i = from;
  int64_t cur = root_id;
  bool kept = false;  // the parent's answer came from the cache
  auto remember = [&](int64_t dir) {
    if (filesystem->dirs.size() >= 1024) filesystem->dirs.clear();
    filesystem->dirs[key] = dir;
  };
  auto absent = [&](bool before_parent) {
    if (cacheable && before_parent) remember(0);
    *id = 0;
    *kind = ostrel_node_none;
    return nullptr;
  };
  if (cacheable) {
    key = std::to_string(root_id) + join_path(segs, segs.size() - 1);
    auto it = filesystem->dirs.find(key);
    if (it != filesystem->dirs.end()) {
      if (!it->second) return absent(false);
      cur = it->second;
      i = segs.size() - 1;
      kept = true;
    }
  }
  NodeRow row;
  OSTREL_ERR(load_node(filesystem, cur, row));
  int cur_kind = row.kind;
  for (; i < segs.size(); ++i) {
    // Not a directory: no directory holds the last name.
    if (cur_kind != ostrel_node_dir) return absent(true);
    if (row.id != cur) OSTREL_ERR(load_node(filesystem, cur, row));
    if (cacheable && !kept && i == segs.size() - 1) remember(cur);
    Child c;
    OSTREL_ERR(view_lookup(filesystem, row.dir, segs[i], c));
    if (!c.id) return absent(i + 1 < segs.size());  // missing before the last name: no parent
    cur = c.id;
    cur_kind = c.kind;
  }
  *id = cur;
  *kind = cur_kind;
  return nullptr;
}

ostrel_error *youngest(ostrel_fs *filesystem, ostrel_revnum *rev) {
  Snapshot *s;
  OSTREL_ERR(snap(filesystem, &s));
  *rev = s->youngest();
  return nullptr;
}

ostrel_error *revision_root_node(ostrel_fs *filesystem, ostrel_revnum rev, int64_t *root) {
  // Inside a writer the revision being made is visible and may yet be
  // rolled back: only answers from outside one are kept.
  if (!filesystem->writing && rev == filesystem->last_root.rev) {
    *root = filesystem->last_root.node;
    return nullptr;
  }
  for (int attempt = 0;; ++attempt) {
    Snapshot *s;
    OSTREL_ERR(snap(filesystem, &s));
    bool found;
    OSTREL_ERR(s->revision_root(rev, root, &found));
    if (found) {
      if (!filesystem->writing) filesystem->last_root = {rev, *root};
      return nullptr;
    }
    // A revision beyond the snapshot's youngest: it may have been committed
    // since the snapshot was taken.
    if (attempt > 0 || filesystem->writing || rev < s->youngest())
      return ostrel_error_createf(OSTREL_ERR_FS_NO_SUCH_REVISION, nullptr, "No such revision %ld",
                                  static_cast<long>(rev));
    renew(filesystem);
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
  Snapshot *s;
  OSTREL_ERR(snap(filesystem, &s));
  std::vector<ChangedPath> rows;
  OSTREL_ERR(s->changed_paths(rev, rows));
  for (const ChangedPath &r : rows) {
    const std::string &path = r.path;
    const int64_t change = r.change, node_kind = r.node_kind;
    const int64_t text_mod = r.text_mod, prop_mod = r.prop_mod;
    const bool has_copy_path = r.copy_path.has_value(), has_copy_rev = r.copy_rev.has_value();
    ChangeRow ch;
    if (has_copy_path) ch.copy_path = r.copy_path;
    if (has_copy_rev) ch.copy_rev = static_cast<ostrel_revnum>(*r.copy_rev);
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
    else if (has_copy_path && (*r.copy_rev < 0 || *r.copy_rev >= rev))
      what = "a copy source from revision " + std::to_string(*r.copy_rev);
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
  return nullptr;
}

// ---------------------------------------------------------------------------
// Locations in any root (revision or transaction)

View mnode_base_view(ostrel_fs *filesystem, const MNode &m, ostrel_error **err) {
  *err = nullptr;
  if (!m.base || m.kind != ostrel_node_dir) return View{};
  NodeRow row;
  *err = load_node(filesystem, m.base, row);
  return row.dir;
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
  Child c;
  OSTREL_ERR(base_child(filesystem, m, name, c));
  out.id = c.id;
  out.kind = c.kind;
  return nullptr;
}

ostrel_error *base_child(ostrel_fs *filesystem, const MNode &m, const std::string &name,
                         Child &out) {
  ostrel_error *err;
  View v = mnode_base_view(filesystem, m, &err);
  OSTREL_ERR(err);
  return view_lookup(filesystem, v, name, out);
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
  size_t i = 0;
  // Most reads of a large change are below the directory it last walked to.
  if (MNode *start = walk_start(root->txn, segs, segs.size(), &i))
    loc = Loc{start, 0, ostrel_node_dir};
  for (; i < segs.size(); ++i) {
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
