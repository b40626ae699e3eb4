// Checking stored revisions: every node reachable from each revision, its
// contents against their SHA-256, and its changed-path rows against its tree.

#include <memory>
#include <set>

#include "handles.h"

using namespace ostrel::fs;

namespace {

class Verifier {
 public:
  explicit Verifier(ostrel_fs *filesystem) : filesystem_(filesystem) {}

  ostrel_error *revision(ostrel_revnum rev) {
    rev_ = rev;
    int64_t root;
    OSTREL_ERR(revision_root_node(filesystem_, rev, &root));
    Snapshot *s;
    OSTREL_ERR(snap(filesystem_, &s));
    std::map<std::string, std::string> props;
    OSTREL_ERR(s->revision_props(rev, props));
    if (!props.count(OSTREL_PROP_REVISION_DATE)) return damage("/", "it has no date");
    OSTREL_ERR(tree(root));
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

  // A directory being checked: its entries and the next one to check.
  struct Dir {
    int64_t id = 0;
    size_t path_len = 0;  // its path is the first PATH_LEN bytes of path_
    std::map<std::string, Child> entries;
    std::map<std::string, Child>::iterator next;
  };

  // Checks the tree of node ROOT, depth first, each node once.  The walk
  // keeps its own stack of directories being checked instead of recursing,
  // so the depth of a tree is bounded by memory, not by the call stack;
  // path_ holds the path of the node at hand.
  ostrel_error *tree(int64_t root) {
    std::vector<std::unique_ptr<Dir>> stack;
    path_.assign(1, '/');
    std::unique_ptr<Dir> dir;
    OSTREL_ERR(node(root, ostrel_node_dir, dir));
    if (dir) stack.push_back(std::move(dir));
    while (!stack.empty()) {
      Dir &top = *stack.back();
      if (top.next == top.entries.end()) {
        done_.insert(top.id);
        open_.erase(top.id);
        stack.pop_back();
        continue;
      }
      const std::string &name = top.next->first;
      const Child c = top.next->second;
      ++top.next;
      path_.resize(top.path_len);
      if (top.path_len > 1) path_ += '/';
      path_ += name;
      if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos)
        return damage(path_, "invalid entry name");
      OSTREL_ERR(node(c.id, c.kind, dir));
      if (dir) stack.push_back(std::move(dir));
    }
    return nullptr;
  }

  // Checks node ID at path_; for a directory not checked before, returns
  // in *DIR its entries, still to be checked.
  ostrel_error *node(int64_t id, int expected_kind, std::unique_ptr<Dir> &dir) {
    dir.reset();
    if (done_.count(id)) return nullptr;
    // A directory listed inside itself would be walked without end.
    if (open_.count(id)) return damage(path_, "it contains itself");
    const std::string &path = path_;
    NodeRow row;
    OSTREL_ERR(wrap(load_node(filesystem_, id, row), path));
    if (row.kind != expected_kind) return damage(path, "its node has the wrong kind");
    if (row.created_rev > rev_) return damage(path, "its node belongs to a later revision");
    PropMap props;
    if (!decode_props(row.props, props)) return damage(path, "its properties are unreadable");
    OSTREL_ERR(history(row, path));
    if (row.kind == ostrel_node_file) {
      OSTREL_ERR(contents(row.content, path));
      done_.insert(id);
      return nullptr;
    }
    dir = std::make_unique<Dir>();
    dir->id = id;
    dir->path_len = path.size();
    NodeRow pred;
    if (row.pred && done_.count(row.pred)) OSTREL_ERR(wrap(load_node(filesystem_, row.pred, pred), path));
    if (row.pred && done_.count(row.pred) && pred.kind == ostrel_node_dir && pred.dir.dkey) {
      // The same key as a checked predecessor: only the entries written
      // since it need checking, so a long history is not re-read for
      // every revision of a directory.
      OSTREL_ERR(wrap(rows_since(pred.dir, row.dir, dir->entries), path));
    } else {
      OSTREL_ERR(wrap(view_list(filesystem_, row.dir, dir->entries), path));
    }
    dir->next = dir->entries.begin();
    open_.insert(id);
    return nullptr;
  }

  // Checks the history links of node ROW (at PATH): a predecessor is an
  // older node, made in an earlier revision, on the same line of history
  // (so no walk back along predecessors can loop); a node without one
  // begins its own line; and the node-origin entry of its line, when there
  // is one, names the revision that line began in.
  ostrel_error *history(const NodeRow &row, const std::string &path) {
    if (row.pred) {
      if (row.pred < 0 || row.pred >= row.id)
        return damage(path, ("its predecessor link to node " + std::to_string(row.pred) +
                             " does not lead to an older node")
                                .c_str());
      NodeRow pred;
      OSTREL_ERR(wrap(load_node(filesystem_, row.pred, pred), path));
      if (pred.created_rev >= row.created_rev)
        return damage(path, ("its predecessor was made in revision " +
                             std::to_string(pred.created_rev) + ", not before it")
                                .c_str());
      if (pred.line != row.line)
        return damage(path, "its predecessor is on another line of history");
    } else if (row.line != row.id) {
      return damage(path, "it has no predecessor but does not begin its line of history");
    }
    if (!lines_done_.insert(row.line).second) return nullptr;
    Snapshot *s;
    OSTREL_ERR(snap(filesystem_, &s));
    std::optional<ostrel_revnum> recorded;
    OSTREL_ERR(s->node_origin(row.line, &recorded));
    if (!recorded) return nullptr;
    const int64_t indexed = *recorded;
    NodeRow start;
    if (row.line == row.id)
      start = row;
    else
      OSTREL_ERR(wrap(load_node(filesystem_, row.line, start), path));
    if (start.pred)
      return damage(path, "its line of history begins at a node that has a predecessor");
    if (indexed != start.created_rev)
      return damage(path, ("the node-origin index says its line of history began in revision " +
                           std::to_string(indexed) + ", not " +
                           std::to_string(start.created_rev))
                              .c_str());
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
      // PATH is canonical, so its parent directories are its prefixes that
      // end before a '/': cut one string back instead of joining every
      // prefix anew (which costs the square of the depth).
      std::string prefix = path;
      for (size_t n = segs.size(); n-- > 1;) {
        prefix.resize(prefix.rfind('/'));
        auto it = changes.find(prefix);
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

  // The entries of NEWER that may differ from those of its predecessor's
  // version OLDER, checked.
  ostrel_error *rows_since(View older, View newer, std::map<std::string, Child> &entries) {
    Snapshot *s;
    OSTREL_ERR(snap(filesystem_, &s));
    OSTREL_ERR(s->entries_since(older, newer, entries));
    for (auto &[name, c] : entries)
      if (!valid_node_kind(c.kind))
        return ostrel_error_createf(OSTREL_ERR_FS_CORRUPT, nullptr,
                                    "Repository is damaged: entry '%s' has kind %lld",
                                    name.c_str(), static_cast<long long>(c.kind));
    return nullptr;
  }

  ostrel_error *contents(int64_t id, const std::string &path) {
    if (!id || contents_done_.count(id)) return nullptr;
    ContentRow c;
    OSTREL_ERR(wrap(load_content(filesystem_, id, c), path));
    std::string sha, buf;
    int64_t length = 0;
    OSTREL_ERR(wrap(digest_chunks(filesystem_, id, c.chunks, nullptr, &sha, &length, buf), path));
    if (length != c.length) return damage(path, "its contents have the wrong length");
    if (sha != c.sha) return damage(path, "its contents do not match their SHA-256");
    contents_done_.insert(id);
    return nullptr;
  }

  ostrel_fs *filesystem_;
  ostrel_revnum rev_ = 0;
  std::set<int64_t> done_;
  std::set<int64_t> open_;  // the directories being checked, from the root down
  std::set<int64_t> contents_done_;
  std::set<int64_t> lines_done_;  // lines whose node-origin entry was checked
  std::string path_;
};

}  // namespace

extern "C" {

ostrel_error *ostrel_fs_verify(ostrel_fs *filesystem, ostrel_revnum start, ostrel_revnum end,
                               ostrel_fs_verify_notify_fn notify, void *notify_baton,
                               apr_pool_t *scratch_pool) {
  ostrel_revnum y;
  renew(filesystem);
  OSTREL_ERR(youngest(filesystem, &y));
  if (start < 0 || end < start || end > y)
    return ostrel_error_createf(OSTREL_ERR_FS_NO_SUCH_REVISION, nullptr,
                                "Cannot verify revisions %ld to %ld: the youngest is %ld",
                                static_cast<long>(start), static_cast<long>(end),
                                static_cast<long>(y));
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
  // The store's own structures last: damage a revision reads is reported
  // above with the revision and path it is in; this finds what no revision
  // reaches, and can only say what the store holds wrong.
  return filesystem->meta->check_integrity();
}

ostrel_error *ostrel_fs_node_origins_stats(apr_int64_t *lines, apr_int64_t *indexed, ostrel_fs *filesystem,
                                           apr_pool_t *) {
  OSTREL_ERR(flush_origins(filesystem));
  renew(filesystem);
  Snapshot *s;
  OSTREL_ERR(snap(filesystem, &s));
  int64_t all, recorded;
  OSTREL_ERR(s->origin_counts(&all, &recorded));
  *lines = all;
  *indexed = recorded;
  return nullptr;
}

}  // extern "C"
