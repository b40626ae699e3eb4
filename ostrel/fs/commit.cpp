// The final step of a commit, and the other ways a transaction ends.  See
// "INVARIANTS OF A COMMIT" in filesystem.cpp: everything here runs inside
// the one write transaction of the final step, or of an abort or a sweep.

#include <unordered_set>

#include "handles.h"
#include "os.h"

namespace ostrel::fs {

// ---------------------------------------------------------------------------
// Ending transactions

// Deletes everything a transaction stored (its contents and its row).
static ostrel_error *purge_txn_rows(Store &store, int64_t txn_id, bool packs) {
  // The bytes of a pack-format transaction are after its pack's committed
  // end; its appender (or the pack's next writer) truncates them.
  Stmt st;
  OSTREL_ERR(store.prepare(st, packs ? "DELETE FROM pchunk WHERE content IN "
                                       "(SELECT id FROM content WHERE txn=?1)"
                                     : "DELETE FROM chunk WHERE content IN "
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
ostrel_error *sweep_dead_txns(ostrel_fs *filesystem) {
  Store &store = filesystem->store;
  std::vector<int64_t> dead;
  {
    Stmt st;
    OSTREL_ERR(store.prepare(st, "SELECT id, pid FROM txn"));
    bool row;
    while (true) {
      OSTREL_ERR(st.step(&row));
      if (!row) break;
      if (!os::current().process_alive(st.int64(1))) dead.push_back(st.int64(0));
    }
  }
  for (int64_t id : dead) OSTREL_ERR(purge_txn_rows(store, id, filesystem->format != kLegacyFormat));
  return nullptr;
}

ostrel_error *abort_txn(ostrel_fs_txn *txn) {
  if (txn->done) return nullptr;
  txn->done = true;
  txn->root.reset();
  if (txn->readonly) return nullptr;  // the writer's to end
  Store &store = txn->filesystem->store;
  ostrel_error *err = store.begin_write(false);
  if (!err) {
    err = purge_txn_rows(store, txn->id, txn->filesystem->format != kLegacyFormat);
    if (err) store.rollback();
    else err = store.commit();
  }
  // The bytes it appended are after the pack's committed end: drop them now
  // (a failed drop leaves them to the next writer of the pack).
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

// Rows go in with one INSERT per kInsertRows rows: for a commit of many
// small files the work per statement (reset, bind, step) cost as much as
// the rows themselves.
constexpr size_t kInsertRows = 64;

// Inserts COUNT rows with INSERT_HEAD (an "INSERT INTO t(c1, ..., cN)"
// naming NCOLS columns); BIND_ROW(st, k, first) binds row K's columns to
// parameters FIRST .. FIRST + NCOLS - 1.
template <typename BindRow>
ostrel_error *insert_rows(Store &store, const std::string &insert_head, int ncols, size_t count,
                          const BindRow &bind_row) {
  auto sql_for = [&](size_t rows) {
    std::string tuple = "(";
    for (int c = 0; c < ncols; ++c) tuple += c ? ", ?" : "?";
    tuple += ")";
    std::string sql = insert_head + " VALUES" + tuple;
    for (size_t r = 1; r < rows; ++r) sql += ", " + tuple;
    return sql;
  };
  const std::string batch_sql = sql_for(kInsertRows), one_sql = sql_for(1);
  Stmt st;
  size_t k = 0;
  for (; k + kInsertRows <= count; k += kInsertRows) {
    OSTREL_ERR(store.prepare(st, batch_sql.c_str()));
    for (size_t r = 0; r < kInsertRows; ++r) bind_row(st, k + r, static_cast<int>(r) * ncols + 1);
    OSTREL_ERR(st.run());
  }
  for (; k < count; ++k) {
    OSTREL_ERR(store.prepare(st, one_sql.c_str()));
    bind_row(st, k, 1);
    OSTREL_ERR(st.run());
  }
  return nullptr;
}

class Committer {
 public:
  Committer(ostrel_fs_txn *txn, ostrel_revnum youngest)
      : filesystem_(txn->filesystem), txn_(txn), youngest_(youngest), new_rev_(youngest + 1) {
    find_changed(*txn->root, changed_);
  }

  std::vector<ChangeRecord> changes;
  std::string conflict;

  // Whether the transaction changes anything at all.
  bool changes_anything() const { return changed_.count(txn_->root.get()) != 0; }

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
    std::vector<std::pair<std::string, RowChange>> rows;
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
      f.view = from ? View{from->dkey, from->asof} : View{};
      f.base_view = f.view;
      if (!m.added && m.base != ynode->id) f.base_view = View{source.dkey, source.asof};
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
    if (f.base_view.dkey != f.view.dkey || f.base_view.asof != f.view.asof)
      OSTREL_ERR(view_lookup(filesystem_, f.base_view, name, bchild));
    if (!e.node) {
      if (!bchild.id) return nullptr;  // nothing to delete (cannot happen through the API)
      if (ychild.id != bchild.id) return out_of_date(cpath);
      changes.push_back({cpath, ostrel_fs_path_change_delete, bchild.kind, false, false, "",
                         OSTREL_INVALID_REVNUM});
      f.rows.push_back({name, RowChange{0, ostrel_node_none}});
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
      changes.push_back({path_,
                         c.replaced ? ostrel_fs_path_change_replace : ostrel_fs_path_change_add,
                         c.kind, c.kind == ostrel_node_file && c.text_changed,
                         c.props_changed && !c.props.empty(), c.copy_path, c.copy_rev});
    else if (c.text_changed || c.props_changed)
      changes.push_back({path_, ostrel_fs_path_change_modify, c.kind, c.text_changed,
                         c.props_changed, "", OSTREL_INVALID_REVNUM});
    f.rows.push_back({f.child_name, RowChange{child_id, c.kind}});
  }

  // Writes F's directory rows (for a directory) and its node as *ID.
  ostrel_error *leave(Frame &f, int64_t *id) {
    if (f.m->kind == ostrel_node_dir) {
      View made;
      OSTREL_ERR(write_view(f.view, f.rows, &made));
      f.n.dkey = made.dkey;
      f.n.asof = made.asof;
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
    // Ids are given here (the write lock is held, so the largest is known)
    // so that a node starting its own identity or line names itself in the
    // one INSERT.
    if (!next_node_id_) {
      bool row;
      OSTREL_ERR(filesystem_->store.prepare(st, "SELECT max(id) FROM node"));
      OSTREL_ERR(st.step(&row));
      next_node_id_ = st.int64(0) + 1;
    }
    *id = next_node_id_++;
    if (!n.nid) n.nid = *id;
    if (!n.line) n.line = *id;
    n.id = *id;
    // Written in batches: nothing reads a node of this commit before
    // commit_tree ends, where the last batch goes in.
    new_nodes_.push_back(std::move(n));
    if (new_nodes_.size() >= kInsertRows * 16) return write_nodes();
    return nullptr;
  }

  ostrel_error *write_nodes() {
    OSTREL_ERR(insert_rows(
        filesystem_->store,
        "INSERT INTO node(id, kind, nid, pred, line, created_rev, copy_path, copy_rev, content, "
        "props, dkey, asof)",
        12, new_nodes_.size(), [&](Stmt &st, size_t k, int p) {
          const NodeRow &n = new_nodes_[k];
          st.bind(p, n.id).bind(p + 1, int64_t{n.kind}).bind(p + 2, n.nid);
          if (n.pred) st.bind(p + 3, n.pred); else st.bind_null(p + 3);
          st.bind(p + 4, n.line).bind(p + 5, int64_t{n.created_rev});
          if (n.copy_path) st.bind(p + 6, *n.copy_path).bind(p + 7, int64_t{n.copy_rev});
          else st.bind_null(p + 6).bind_null(p + 7);
          if (n.content) st.bind(p + 8, n.content); else st.bind_null(p + 8);
          st.bind_blob(p + 9, n.props.data(), n.props.size());
          if (n.kind == ostrel_node_dir && n.dkey) st.bind(p + 10, n.dkey).bind(p + 11, n.asof);
          else st.bind_null(p + 10).bind_null(p + 11);
        }));
    new_nodes_.clear();
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
    bool fresh = false;  // a key made here has no rows to end
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
      fresh = true;
    }
    // Every live row of a changed name ends first, then the new rows go in
    // (the names are distinct, so this is the same as name by name).
    std::vector<const std::pair<std::string, RowChange> *> inserts;
    for (auto &row : rows) {
      if (!fresh) {
        // The unary plus keeps the planner on the primary key (dkey, name):
        // on the index (dkey, end_rev) this scans every live entry of the
        // directory per row, which made adding N entries cost N squared.
        OSTREL_ERR(filesystem_->store.prepare(st, "UPDATE dirent SET end_rev=?1 WHERE dkey=?2 AND name=?3 "
                                          "AND +end_rev>?1"));
        st.bind(1, int64_t{new_rev_}).bind(2, key).bind(3, row.first);
        OSTREL_ERR(st.run());
      }
      if (row.second.child || has_parent) inserts.push_back(&row);
    }
    OSTREL_ERR(insert_rows(
        filesystem_->store, "INSERT INTO dirent(dkey, name, start_rev, end_rev, child, kind)", 6,
        inserts.size(), [&](Stmt &ins, size_t k, int p) {
          const auto &[name, change] = *inserts[k];
          ins.bind(p, key).bind(p + 1, name).bind(p + 2, int64_t{new_rev_}).bind(p + 3, kForever);
          if (change.child) ins.bind(p + 4, change.child).bind(p + 5, int64_t{change.kind});
          else ins.bind_null(p + 4).bind_null(p + 5);  // tombstone: hides the parent view's entry
        }));
    *made = View{key, new_rev_};
    return nullptr;
  }

  ostrel_fs *filesystem_;
  ostrel_fs_txn *txn_;
  ostrel_revnum youngest_;
  ostrel_revnum new_rev_;
  int64_t next_node_id_ = 0;
  std::vector<NodeRow> new_nodes_;  // made, not yet written
  ChangedSet changed_;
  std::string path_;  // the path of the node being written
};

}  // namespace

ostrel_error *commit_locked(ostrel_fs_txn *txn, ostrel_revnum *new_rev, std::string *conflict) {
  ostrel_fs *filesystem = txn->filesystem;
  Store &store = filesystem->store;
  OSTREL_ERR(store.fault_point("commit-locked"));
  ostrel_revnum y;
  OSTREL_ERR(youngest(filesystem, &y));
  OSTREL_ERR(sweep_dead_txns(filesystem));
  OSTREL_ERR(write_pending(txn, true));
  int64_t yroot_id;
  OSTREL_ERR(revision_root_node(filesystem, y, &yroot_id));
  Committer c(txn, y);
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
      c.changes.push_back({"/", ostrel_fs_path_change_modify, ostrel_node_dir, false, true, "",
                           OSTREL_INVALID_REVNUM});
  }
  ostrel_revnum rev = y + 1;
  Stmt st;
  OSTREL_ERR(store.prepare(st, "INSERT INTO revision(rev, root) VALUES(?1, ?2)"));
  st.bind(1, int64_t{rev}).bind(2, new_root);
  OSTREL_ERR(st.run());
  PropMap props = txn->props;
  if (!txn->keep_date || !props.count(OSTREL_PROP_REVISION_DATE))
    props[OSTREL_PROP_REVISION_DATE] = revision_date_now();
  for (auto &[name, value] : props) {
    OSTREL_ERR(store.prepare(st, "INSERT INTO revprop(rev, name, value) VALUES(?1, ?2, ?3)"));
    st.bind(1, int64_t{rev}).bind(2, name).bind_blob(3, value.data(), value.size());
    OSTREL_ERR(st.run());
  }
  OSTREL_ERR(insert_rows(store, "INSERT INTO changed_path(rev, path, change, node_kind, text_mod, "
                                "prop_mod, copy_path, copy_rev)", 8, c.changes.size(),
                         [&](Stmt &ins, size_t k, int p) {
                           const ChangeRecord &ch = c.changes[k];
                           ins.bind(p, int64_t{rev}).bind(p + 1, ch.path);
                           ins.bind(p + 2, int64_t{ch.kind}).bind(p + 3, int64_t{ch.node_kind});
                           ins.bind(p + 4, int64_t{ch.text_mod}).bind(p + 5, int64_t{ch.prop_mod});
                           if (ch.copy_path.empty()) ins.bind_null(p + 6).bind_null(p + 7);
                           else ins.bind(p + 6, ch.copy_path).bind(p + 7, int64_t{ch.copy_rev});
                         }));
  // Contents the transaction uploaded but no new node uses.
  if (txn->appender && txn->appender->wrote()) {
    OSTREL_ERR(store.prepare(st, "INSERT OR REPLACE INTO pack(id, end_off) VALUES(?1, ?2)"));
    st.bind(1, txn->appender->pack()).bind(2, txn->appender->end());
    OSTREL_ERR(st.run());
  }
  OSTREL_ERR(purge_txn_rows(store, txn->id, filesystem->format != kLegacyFormat));
  OSTREL_ERR(store.fault_point("commit-written"));
  *new_rev = rev;
  return nullptr;
}

ostrel_error *flush_origins(ostrel_fs *filesystem) {
  if (filesystem->origins.empty() && filesystem->origin_revs.empty()) return nullptr;
  Store &store = filesystem->store;
  OSTREL_ERR(store.begin_write(false));
  ostrel_error *err = [&]() -> ostrel_error * {
    Stmt st;
    for (auto &[line, rev] : filesystem->origins) {
      OSTREL_ERR(store.prepare(st, "INSERT OR IGNORE INTO node_origin(line, rev) VALUES(?1, ?2)"));
      st.bind(1, line).bind(2, int64_t{rev});
      OSTREL_ERR(st.run());
    }
    for (ostrel_revnum rev : filesystem->origin_revs) {
      OSTREL_ERR(store.prepare(st, "INSERT OR IGNORE INTO node_origin(line, rev) SELECT id, "
                                   "created_rev FROM node WHERE created_rev=?1 AND pred IS NULL"));
      st.bind(1, int64_t{rev});
      OSTREL_ERR(st.run());
    }
    return nullptr;
  }();
  if (!err) err = store.commit();
  else store.rollback();
  if (err) return err;
  filesystem->origins.clear();
  filesystem->origin_revs.clear();
  return nullptr;
}

}  // namespace ostrel::fs
