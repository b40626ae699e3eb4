// The final step of a commit, and the other ways a transaction ends.  See
// "INVARIANTS OF A COMMIT" in filesystem.cpp: everything here runs inside
// the one write transaction of the final step, or of an abort or a sweep.

#include <unordered_set>

#include "handles.h"
#include "os.h"

namespace ostrel::fs {

// ---------------------------------------------------------------------------
// Ending transactions

// Inside a writer: removes what transactions whose owners are gone left
// behind (the store judges; see Writer::dead_txns).
ostrel_error *sweep_dead_txns(Writer &writer) {
  std::vector<int64_t> dead;
  OSTREL_ERR(writer.dead_txns([](int64_t pid) { return os::current().process_alive(pid); }, &dead));
  for (int64_t id : dead) OSTREL_ERR(writer.purge_txn(id));
  return nullptr;
}

ostrel_error *abort_txn(ostrel_fs_txn *txn) {
  if (txn->done) return nullptr;
  txn->done = true;
  drop_snapshot(txn);
  forget_nodes(txn);
  txn->root.reset();
  if (txn->readonly) return nullptr;  // the writer's to end
  ostrel_error *err = in_writer(txn->filesystem, false,
                                [txn](Writer &w) { return w.purge_txn(txn->id); });
  // The bytes it appended are after the store's mark: drop them now (a
  // failed drop leaves them to the next writer of that store).
  if (txn->appender) {
    ostrel_error_clear(txn->appender->discard());
    txn->appender.reset();
  }
  return err;
}

apr_status_t cleanup_txn(void *data) {
  auto *txn = static_cast<ostrel_fs_txn *>(data);
  ostrel_error_clear(abort_txn(txn));
  delete txn;
  return APR_SUCCESS;
}

// ---------------------------------------------------------------------------
// Commit

namespace {

// The nodes of the tree below ROOT (ROOT included) that differ from what
// they were opened from, or have something below them that does.  Found in
// one pass without recursion: a transaction's tree is as deep as the deepest
// path it changes, which no call stack bounds.
using ChangedSet = std::unordered_set<const MNode *>;

void find_changed(const MNode &root, ChangedSet &changed) {
  struct Item {
    const MNode *m;
    std::map<std::string, Entry>::const_iterator next;
    bool changed;
  };
  auto own = [](const MNode &m) { return m.added || m.props_changed || m.text_changed; };
  std::vector<Item> stack;
  stack.push_back({&root, root.entries.begin(), own(root)});
  while (!stack.empty()) {
    Item &top = stack.back();
    if (top.next != top.m->entries.end()) {
      const Entry &e = (top.next++)->second;
      if (!e.node)
        top.changed = true;  // a deletion
      else
        stack.push_back({e.node.get(), e.node->entries.begin(), own(*e.node)});
      continue;
    }
    const MNode *m = top.m;
    const bool is_changed = top.changed;
    stack.pop_back();
    if (is_changed) {
      changed.insert(m);
      if (!stack.empty()) stack.back().changed = true;
    }
  }
}

class Committer {
 public:
  Committer(ostrel_fs_txn *txn, Writer &writer, ostrel_revnum youngest)
      : filesystem_(txn->filesystem), txn_(txn), writer_(writer), youngest_(youngest),
        new_rev_(youngest + 1) {
    find_changed(*txn->root, changed_);
    changes.reserve(changed_.size());
  }

  // The revision's changed paths, in the order the walk meets them.
  std::vector<ChangedPath> changes;
  std::string conflict;

  // Whether the transaction changes anything at all.
  bool changes_anything() const { return changed_.count(txn_->root.get()) != 0; }

  // Adds PATH's change to the revision's changed paths; COPY_PATH empty:
  // not a copy.
  void record(const std::string &path, ostrel_fs_path_change_kind kind, int64_t node_kind,
              bool text_mod, bool prop_mod, const std::string &copy_path = "",
              ostrel_revnum copy_rev = OSTREL_INVALID_REVNUM) {
    ChangedPath &p = changes.emplace_back();
    p.path = path;
    p.change = kind;
    p.node_kind = node_kind;
    p.text_mod = text_mod;
    p.prop_mod = prop_mod;
    if (!copy_path.empty()) {
      p.copy_path = copy_path;
      p.copy_rev = copy_rev;
    }
  }

  // Writes the new nodes for the transaction's tree, whose root was opened
  // from YROOT (the youngest revision's root), children before their
  // parents; *NEW_ID is the new root.  The walk keeps its own stack of
  // frames instead of recursing, so the depth of the tree is bounded by
  // memory, not by the call stack.
  ostrel_error *commit_tree(const NodeRow &yroot, int64_t *new_id) {
    path_.assign(1, '/');
    std::vector<std::unique_ptr<Frame>> stack;
    stack.push_back(std::make_unique<Frame>());
    OSTREL_ERR(enter(*txn_->root, &yroot, *stack.back()));
    while (true) {
      Frame &top = *stack.back();
      if (top.next != top.m->entries.end()) {
        std::unique_ptr<Frame> child;
        OSTREL_ERR(next_entry(top, child));
        if (child) stack.push_back(std::move(child));
        continue;
      }
      int64_t id;
      OSTREL_ERR(leave(top, &id));
      const size_t path_len = top.path_len;
      stack.pop_back();
      if (stack.empty()) {
        *new_id = id;
        return write_nodes();
      }
      path_.resize(path_len);  // back to the path of the node just written
      child_done(*stack.back(), id);
    }
  }

 private:
  // A node being written: what enter() found, the directory rows its
  // children have produced so far, and the child being written above it.
  struct Frame {
    MNode *m = nullptr;
    size_t path_len = 0;  // the node's path is the first PATH_LEN bytes of path_
    NodeRow n;            // the new node, written by leave()
    View view;            // the view the new directory view is made from
    View base_view;       // the view at the base, for conflict checks
    std::vector<DirChange> rows;
    std::map<std::string, Entry>::iterator next;
    std::string child_name;
    MNode *child = nullptr;
  };

  // Starts the new node for M at path_.  For a node the transaction opened,
  // YNODE is the node at that path in the youngest revision: the new node
  // is made from it (so changes committed since the base are kept), after
  // checking that nothing the transaction changes here was changed since
  // the base.
  ostrel_error *enter(MNode &m, const NodeRow *ynode, Frame &f) {
    f.m = &m;
    f.path_len = path_.size();
    f.next = m.entries.begin();
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
        return out_of_date(path_);
      if (m.kind == ostrel_node_dir && m.props_changed && ynode->props != source.props)
        return out_of_date(path_);
    }

    NodeRow &n = f.n;
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
      f.view = from ? from->dir : View{};
      f.base_view = f.view;
      if (!m.added && m.base != ynode->id) f.base_view = source.dir;
    }
    return nullptr;
  }

  // Takes the next entry of directory F: records a deletion, skips a child
  // that changes nothing, or checks a changed child and starts its frame in
  // *CHILD.  Leaves path_ at the entry's path.
  ostrel_error *next_entry(Frame &f, std::unique_ptr<Frame> &child) {
    const std::string &name = f.next->first;
    Entry &e = f.next->second;
    ++f.next;
    path_.resize(f.path_len);
    if (f.path_len > 1) path_ += '/';
    path_ += name;
    const std::string &cpath = path_;
    Child ychild, bchild;
    OSTREL_ERR(view_lookup(filesystem_, f.view, name, ychild));
    bchild = ychild;
    if (!(f.base_view == f.view))
      OSTREL_ERR(view_lookup(filesystem_, f.base_view, name, bchild));
    if (!e.node) {
      if (!bchild.id) return nullptr;  // nothing to delete (cannot happen through the API)
      if (ychild.id != bchild.id) return out_of_date(cpath);
      record(cpath, ostrel_fs_path_change_delete, bchild.kind, false, false);
      f.rows.push_back(DirChange{name, 0, ostrel_node_none});
      return nullptr;
    }
    MNode &c = *e.node;
    if (!changed_.count(&c)) return nullptr;  // opened on the way to a refused change
    NodeRow ychild_row;
    if (c.added) {
      if (c.replaced ? (ychild.id != bchild.id) : (ychild.id != 0)) return out_of_date(cpath);
    } else {
      if (!ychild.id || ychild.kind != c.kind) return out_of_date(cpath);
      NodeRow cbase;
      OSTREL_ERR(load_node(filesystem_, ychild.id, ychild_row));
      if (ychild.id != c.base) {
        OSTREL_ERR(load_node(filesystem_, c.base, cbase));
        if (cbase.nid != ychild_row.nid) return out_of_date(cpath);
      }
    }
    f.child_name = name;
    f.child = &c;
    child = std::make_unique<Frame>();
    return enter(c, c.added ? nullptr : &ychild_row, *child);
  }

  // Records the change the child of F just written (as node CHILD_ID, at
  // path_) made.
  void child_done(Frame &f, int64_t child_id) {
    MNode &c = *f.child;
    if (c.added)
      record(path_, c.replaced ? ostrel_fs_path_change_replace : ostrel_fs_path_change_add,
             c.kind, c.kind == ostrel_node_file && c.text_changed,
             c.props_changed && !c.props.empty(), c.copy_path, c.copy_rev);
    else if (c.text_changed || c.props_changed)
      record(path_, ostrel_fs_path_change_modify, c.kind, c.text_changed, c.props_changed);
    f.rows.push_back(DirChange{f.child_name, child_id, c.kind});
  }

  // Writes F's directory rows (for a directory) and its node as *ID.
  ostrel_error *leave(Frame &f, int64_t *id) {
    if (f.m->kind == ostrel_node_dir) {
      OSTREL_ERR(writer_.write_dir(f.view, f.rows, new_rev_, &f.n.dir));
    }
    return insert_node(f.n, id);
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
    bool committed;
    OSTREL_ERR(written_content(txn_, id, &id, &committed));
    if (committed) {
      *out = id;
      return nullptr;
    }
    ContentRow row;
    int64_t marked;
    bool found;
    OSTREL_ERR(writer_.content_any(id, row, &marked, &found));
    if (!found)
      return ostrel_error_createf(OSTREL_ERR_FS_CORRUPT, nullptr,
                                  "Contents uploaded by the transaction are missing");
    if (!marked) {  // already made committed by this commit
      *out = id;
      return nullptr;
    }
    int64_t same;
    OSTREL_ERR(writer_.reads().content_by_sha(row.sha, &same));
    if (same) {
      *out = same;
      return nullptr;
    }
    OSTREL_ERR(writer_.commit_content(id));
    *out = id;
    return nullptr;
  }

  ostrel_error *insert_node(NodeRow &n, int64_t *id) {
    // Ids are given here (the commit lock is held, so the largest is
    // known) so that a node starting its own identity or line names itself
    // in the one record.
    if (!next_node_id_) OSTREL_ERR(writer_.first_free_node_id(&next_node_id_));
    *id = next_node_id_++;
    if (!n.nid) n.nid = *id;
    if (!n.line) n.line = *id;
    n.id = *id;
    // Written in batches: nothing reads a node of this commit before
    // commit_tree ends, where the last batch goes in.
    new_nodes_.push_back(std::move(n));
    if (new_nodes_.size() >= 1024) return write_nodes();
    return nullptr;
  }

  ostrel_error *write_nodes() {
    OSTREL_ERR(writer_.add_nodes(new_nodes_));
    new_nodes_.clear();
    return nullptr;
  }

  ostrel_fs *filesystem_;
  ostrel_fs_txn *txn_;
  Writer &writer_;
  ostrel_revnum youngest_;
  ostrel_revnum new_rev_;
  int64_t next_node_id_ = 0;
  std::vector<NodeRow> new_nodes_;  // made, not yet written
  ChangedSet changed_;
  std::string path_;  // the path of the node being written
};

}  // namespace

ostrel_error *commit_locked(ostrel_fs_txn *txn, Writer &writer, ostrel_revnum *new_rev,
                           std::string *conflict) {
  ostrel_fs *filesystem = txn->filesystem;
  OSTREL_ERR(fault_point("commit-locked"));
  const ostrel_revnum y = writer.reads().youngest();
  OSTREL_ERR(sweep_dead_txns(writer));
  OSTREL_ERR(write_pending(txn, &writer));
  int64_t yroot_id;
  OSTREL_ERR(revision_root_node(filesystem, y, &yroot_id));
  Committer c(txn, writer, y);
  int64_t new_root = yroot_id;
  MNode &root = *txn->root;
  if (c.changes_anything()) {
    NodeRow yroot;
    OSTREL_ERR(load_node(filesystem, yroot_id, yroot));
    ostrel_error *err = c.commit_tree(yroot, &new_root);
    if (err) {
      *conflict = c.conflict;
      return err;
    }
    if (root.props_changed)
      c.record("/", ostrel_fs_path_change_modify, ostrel_node_dir, false, true);
  }
  ostrel_revnum rev = y + 1;
  PropMap props = txn->props;
  if (!txn->keep_date || !props.count(OSTREL_PROP_REVISION_DATE))
    props[OSTREL_PROP_REVISION_DATE] = revision_date_now();
  OSTREL_ERR(writer.add_changed_paths(rev, c.changes));
  OSTREL_ERR(writer.add_revision(rev, new_root, props));
  // The store's bytes this revision may reference.
  if (txn->appender && txn->appender->wrote()) OSTREL_ERR(writer.set_store_mark(txn->appender->mark()));
  // Contents the transaction uploaded but no new node uses.
  OSTREL_ERR(writer.purge_txn(txn->id));
  OSTREL_ERR(fault_point("commit-written"));
  *new_rev = rev;
  return nullptr;
}

ostrel_error *flush_origins(ostrel_fs *filesystem) {
  if (filesystem->origins.empty() && filesystem->origin_revs.empty()) return nullptr;
  OSTREL_ERR(in_writer(filesystem, false, [filesystem](Writer &w) {
    return w.add_origins(filesystem->origins, filesystem->origin_revs);
  }));
  filesystem->origins.clear();
  filesystem->origin_revs.clear();
  return nullptr;
}

}  // namespace ostrel::fs
