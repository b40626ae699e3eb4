/* meta.h: the metadata seam of the repository filesystem.
 *
 * Everything the filesystem records about revisions (nodes, directory
 * versions, changed paths, revision properties, node origins, the records
 * of file contents and of their chunks, open transactions) is read and
 * written through a MetaStore.  The interface is typed: no query language,
 * no engine types, no file names where a connection could stand, so that a
 * local database file and a database server are both behind it.  The logic
 * (conflict checks, invariants, what is damage at the level of the tree)
 * stays above it, in commit.cpp, tree.cpp, rows.cpp, verify.cpp and
 * filesystem.cpp; the layout of the records (tables, indexes, how a
 * directory version is kept) is the implementation's.
 *
 * SNAPSHOTS (the one rule).  Every read goes through a Snapshot.  A snapshot
 * answers for revisions 0..youngest() as they were when it was taken, and
 * committed revisions never change, so a snapshot is good for as long as the
 * caller only asks about revisions up to its youngest: the filesystem keeps
 * one, and takes a new one exactly when (a) a caller asks for the newest
 * revision (ostrel_fs_youngest_rev), (b) a revision beyond the snapshot's
 * youngest is named, or (c) this handle wrote anything (a Writer ended).
 * What is not part of a revision (open transactions, contents not yet
 * committed, content-store marks) is read inside a Writer, never from a
 * snapshot.  An implementation may keep or drop whatever engine transaction
 * stands behind a snapshot at any moment between calls, as long as the rule
 * above holds.
 *
 * WRITERS.  A Writer is one atomic unit of writes.  begin_writer() takes the
 * repository's commit lock (one writer at a time across every process and
 * server), waiting at most the busy timeout, then fails with
 * OSTREL_ERR_FS_BUSY.  Inside a writer the youngest revision is stable, so
 * the next revision number is youngest + 1 and node ids are handed out by
 * the caller from first_free_node_id(): revision numbers and node ids are
 * sequential and dense.  Writes may be buffered and sent in batches; any of
 * them may report its error as late as commit().  commit() is the commit
 * point: it returns NULL when everything is durable (for DURABLE writers)
 * and visible to new snapshots, an error when nothing was written, and
 * OSTREL_ERR_FS_UNCERTAIN when the outcome cannot be known (an I/O error or
 * a lost connection during the commit itself).  After an uncertain outcome
 * the MetaStore refuses every further writer with OSTREL_ERR_FS_UNCERTAIN
 * naming the first failure; only a new MetaStore (a new process or
 * connection, which sees what really happened) may write again.
 * rollback() undoes a writer and never fails visibly.  A writer destroyed
 * without commit() rolls back.
 *
 * ERRORS.  Every implementation translates its engine's failures in one
 * place into codes that say what to do: OSTREL_ERR_FS_BUSY (the lock was
 * held too long: try later), OSTREL_ERR_FS_FULL (no space: free some),
 * OSTREL_ERR_FS_CORRUPT (damage: restore or repair), OSTREL_ERR_FS_UNCERTAIN
 * (see above), OSTREL_ERR_FS_GENERAL (anything else).  Messages name the
 * repository.  A record that the caller asks for and that must exist but
 * does not (a node, a directory version, a content's record) is
 * OSTREL_ERR_FS_CORRUPT naming what is missing.
 *
 * Values are handed up as they are stored: the caller checks enumerations
 * and ranges (kinds, flags, revisions) before trusting them, so that damage
 * is found the same way whatever the implementation. */
#ifndef OSTREL_FS_META_H
#define OSTREL_FS_META_H

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ostrel_error.h"
#include "ostrel_error_codes.h"
#include "ostrel_types.h"

namespace ostrel::fs {

/* A version of a directory's entries, as the implementation keeps it: two
 * numbers with no meaning above the seam.  {0, 0} is the empty directory.
 * Equal versions have equal entries; a Writer makes new ones. */
struct View {
  int64_t dkey = 0;
  int64_t asof = 0;
  bool operator==(const View &o) const { return dkey == o.dkey && asof == o.asof; }
};

/* A node revision; immutable once written. */
struct NodeRow {
  int64_t id = 0;
  int64_t kind = 0;  // ostrel_node_file or ostrel_node_dir, checked by the caller
  int64_t nid = 0;   // the node's identity (the id of the node that began it)
  int64_t pred = 0;  // the node it was changed or copied from; 0: none
  int64_t line = 0;  // the node that began its line of history
  ostrel_revnum created_rev = OSTREL_INVALID_REVNUM;
  std::optional<std::string> copy_path;
  ostrel_revnum copy_rev = OSTREL_INVALID_REVNUM;
  int64_t content = 0;  // a file's contents; 0: empty
  std::string props;    // serialised properties, opaque to the store
  View dir;             // a directory's entries
};

/* An entry of a directory version. */
struct Child {
  int64_t id = 0;  // 0: absent
  int64_t kind = 0;
};

/* A row of a revision's changed paths, as stored. */
struct ChangedPath {
  std::string path;
  int64_t change = 0;
  int64_t node_kind = 0;
  int64_t text_mod = 0;
  int64_t prop_mod = 0;
  std::optional<std::string> copy_path;
  std::optional<int64_t> copy_rev;
};

/* One changed name of a directory for Writer::write_dir: CHILD 0 deletes it. */
struct DirChange {
  std::string name;
  int64_t child = 0;
  int64_t kind = 0;
};

/* The record of stored file contents. */
struct ContentRow {
  std::string sha;  // SHA-256, hex; empty while a legacy upload is unfinished
  int64_t length = 0;
  int64_t chunks = 0;
  int64_t base = 0;  // the contents a delta chunk is decoded against; 0: none
  int64_t depth = 0; // deltas between this and a whole version
  bool legacy = false;  // format 1: chunks carry no checksum of their own
};

/* Where a chunk's stored bytes are, in words only the content store that
 * made it reads (content_store.h). */
struct ContentRef {
  int64_t w[3] = {0, 0, 0};
};

/* The record of one stored chunk of contents. */
struct ChunkRow {
  int64_t raw_len = 0;
  int64_t codec = 0;
  ContentRef ref;
  uint64_t sum = 0;      // XXH3 of the stored bytes
  bool has_sum = true;   // false for format 1
};

/* A content-store mark kept with the metadata, moved atomically with a
 * commit (for local packs: the committed end of a pack). */
struct StoreMark {
  int64_t stream = 0;
  int64_t value = 0;
};

/* A consistent read view of revisions 0..youngest(); see SNAPSHOTS. */
class Snapshot {
 public:
  virtual ~Snapshot() = default;
  virtual ostrel_revnum youngest() const = 0;
  /* The root node of REV; *FOUND false when REV is not in the snapshot. */
  virtual ostrel_error *revision_root(ostrel_revnum rev, int64_t *root, bool *found) = 0;
  virtual ostrel_error *node(int64_t id, NodeRow &out) = 0;
  /* Entry NAME of directory version V (Child{} when absent). */
  virtual ostrel_error *lookup(View v, const std::string &name, Child &out) = 0;
  /* Every entry of V, by name. */
  virtual ostrel_error *list(View v, std::map<std::string, Child> &out) = 0;
  /* The entries of NEWER that may differ from those of OLDER, an earlier
   * version of the same directory (names deleted since are not listed; a
   * superset is allowed, and by default it is every entry of NEWER). */
  virtual ostrel_error *entries_since(View older, View newer, std::map<std::string, Child> &out) {
    (void)older;
    return list(newer, out);
  }
  virtual ostrel_error *changed_paths(ostrel_revnum rev, std::vector<ChangedPath> &out) = 0;
  /* Every revision property of REV (empty when REV has none). */
  virtual ostrel_error *revision_props(ostrel_revnum rev,
                                       std::map<std::string, std::string> &out) = 0;
  /* The revision line LINE began in, when it is recorded. */
  virtual ostrel_error *node_origin(int64_t line, std::optional<ostrel_revnum> *rev) = 0;
  /* How many lines of history there are, and how many have an origin recorded. */
  virtual ostrel_error *origin_counts(int64_t *lines, int64_t *recorded) = 0;
  /* The record of committed contents ID (*FOUND false when none). */
  virtual ostrel_error *content(int64_t id, ContentRow &out, bool *found) = 0;
  /* Committed contents with SHA-256 SHA, or 0. */
  virtual ostrel_error *content_by_sha(const std::string &sha, int64_t *id) = 0;
  virtual ostrel_error *chunk(int64_t content, int64_t seq, ChunkRow &out, bool *found) = 0;
  /* Every content-store mark recorded (for copying the contents). */
  virtual ostrel_error *store_marks(std::vector<StoreMark> *marks) = 0;
};

/* One atomic unit of writes; see WRITERS. */
class Writer {
 public:
  virtual ~Writer() = default;
  /* Reads as of this writer (its own writes included). */
  virtual Snapshot &reads() = 0;

  // -- transactions in flight and their uploads
  virtual ostrel_error *add_txn(int64_t pid, ostrel_revnum base, int64_t *id) = 0;
  /* Every open transaction: id -> the process id that opened it. */
  virtual ostrel_error *txns(std::map<int64_t, int64_t> &out) = 0;
  /* The open transactions whose owners are certainly gone, so that what
   * they left may be purged.  By default those whose process id
   * PROCESS_ALIVE says runs no more (a store on one machine); a store that
   * several machines share judges by what the owner holds on the server
   * instead, since a process id means nothing on another machine. */
  virtual ostrel_error *dead_txns(const std::function<bool(int64_t pid)> &process_alive,
                                  std::vector<int64_t> *ids) {
    ids->clear();
    std::map<int64_t, int64_t> open;
    OSTREL_ERR(txns(open));
    for (auto &[id, pid] : open)
      if (!process_alive(pid)) ids->push_back(id);
    return nullptr;
  }
  /* Deletes transaction ID and every content record marked with it. */
  virtual ostrel_error *purge_txn(int64_t id) = 0;
  /* Records contents and their chunks: marked with transaction TXN, or
   * committed when TXN is 0.  *ID receives the new record's id. */
  virtual ostrel_error *add_content(const ContentRow &row, const std::vector<ChunkRow> &chunks,
                                    int64_t txn, int64_t *id) = 0;
  /* The record of contents ID whatever its mark; *TXN 0 when committed. */
  virtual ostrel_error *content_any(int64_t id, ContentRow &out, int64_t *txn, bool *found) = 0;
  /* Makes contents ID (marked with a transaction) committed. */
  virtual ostrel_error *commit_content(int64_t id) = 0;
  virtual ostrel_error *store_mark(int64_t stream, int64_t *value) = 0;
  virtual ostrel_error *set_store_mark(const StoreMark &mark) = 0;

  // -- the revision a commit makes (revision youngest + 1)
  virtual ostrel_error *first_free_node_id(int64_t *id) = 0;
  /* Nodes with ids the caller gave (see first_free_node_id). */
  virtual ostrel_error *add_nodes(const std::vector<NodeRow> &nodes) = 0;
  /* A new version of a directory: FROM with CHANGES (distinct names), made
   * in revision REV.  Versions readable before stay as they were. */
  virtual ostrel_error *write_dir(View from, const std::vector<DirChange> &changes,
                                  ostrel_revnum rev, View *made) = 0;
  virtual ostrel_error *add_changed_paths(ostrel_revnum rev,
                                          const std::vector<ChangedPath> &paths) = 0;
  /* Revision REV (youngest + 1) with root ROOT and its properties. */
  virtual ostrel_error *add_revision(ostrel_revnum rev, int64_t root,
                                     const std::map<std::string, std::string> &props) = 0;
  /* Sets (VALUE given) or deletes a property of committed revision REV;
   * OSTREL_ERR_FS_NO_SUCH_REVISION when REV does not exist. */
  virtual ostrel_error *set_revision_prop(ostrel_revnum rev, const std::string &name,
                                          const std::optional<std::string> &value) = 0;
  /* Records origins: LINES (line -> revision), and every line that began
   * in one of REVS (nodes without predecessor made there).  Known ones stay. */
  virtual ostrel_error *add_origins(const std::map<int64_t, ostrel_revnum> &lines,
                                    const std::vector<ostrel_revnum> &revs) = 0;

  /* The commit point; see WRITERS. */
  virtual ostrel_error *commit() = 0;
  virtual void rollback() = 0;
};

/* A store is opened (or made) by its implementation's factory.  A new
 * store holds revision 0 and nothing else: its root is node 1, an empty
 * directory begun in revision 0 whose line's origin (line 1) is revision 0,
 * and its one property is the date it was made. */
class MetaStore {
 public:
  virtual ~MetaStore() = default;
  /* The format of the repository's records (1, 2, 3). */
  virtual int format() const = 0;
  /* A snapshot of the newest committed revisions. */
  virtual ostrel_error *snapshot(std::unique_ptr<Snapshot> *out) = 0;
  /* Takes the commit lock; DURABLE: the commit survives power loss, else a
   * killed process (never leaving part of it on power loss). */
  virtual ostrel_error *begin_writer(bool durable, std::unique_ptr<Writer> *out) = 0;
  /* Why writes are refused after an uncertain commit, or NULL. */
  virtual const char *refused() const = 0;
  /* Checks the implementation's own structures (not the tree); damage is
   * OSTREL_ERR_FS_CORRUPT. */
  virtual ostrel_error *check_integrity() = 0;
  /* Copies every record as one snapshot into the empty repository store
   * named DESTINATION (for the local database: the file to create), while
   * writers go on; the copy is durable on return, removed on failure. */
  virtual ostrel_error *backup(const std::string &destination) = 0;
  /* From now on every snapshot shows the newest state of this moment, for
   * as long as the store lives, and writers are refused: a copy reads one
   * state while writers elsewhere go on.  OSTREL_ERR_UNSUPPORTED where a
   * store copies itself by other means (backup()). */
  virtual ostrel_error *pin_snapshot() {
    return ostrel_error_create(OSTREL_ERR_UNSUPPORTED, nullptr,
                               "This repository store cannot hold one snapshot for a copy");
  }
  /* While DEFER is set, a bulk writer commits with durable = false and
   * calls sync() now and then: the store may leave more work unsynced
   * between those calls (never a half commit). */
  virtual void defer_syncs(bool defer) { (void)defer; }
  /* Makes every commit so far durable. */
  virtual ostrel_error *sync() { return nullptr; }
};

/* Fault points: the filesystem calls fault_point(NAME) at the moments where
 * a crash or an I/O failure matters (see filesystem.cpp, "Fault points").  A
 * process-wide hook (ostrel_fs__set_fault_hook) may turn any into an error
 * or end the process there. */
ostrel_error *fault_point(const char *point);

}  // namespace ostrel::fs

/* The fault hook: returns an error to fail the operation at POINT, or NULL to
 * let it go on.  It may also end the process. */
typedef ostrel_error *(*ostrel_fs__fault_hook_fn)(const char *point);

extern "C" void ostrel_fs__set_fault_hook(ostrel_fs__fault_hook_fn hook);

#endif /* OSTREL_FS_META_H */
