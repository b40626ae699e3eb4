/* handles.h: the handles and row types shared by the rooms of ostrel/fs.
 *
 * The storage is split by what it does:
 *   filesystem.cpp  the public calls, and the invariants of a commit;
 *   rows.cpp        reading stored nodes, directory views, changed paths,
 *                   and locations in any root;
 *   contents.cpp    file contents: streamed in and out, chunked, compressed,
 *                   checked on every read, stored as deltas;
 *   tree.cpp        a transaction's tree in memory (including marking a file
 *                   node when its new contents are complete);
 *   commit.cpp      the final step of a commit, and ending transactions;
 *   verify.cpp      checking stored revisions;
 *   open.cpp        creating and opening a database;
 *   meta.h          the metadata seam (sqlite/ holds its implementation on
 *                   SQLite, and every SQL statement); content_store.h the
 *                   content seam (packs.cpp: local pack files); os.cpp the
 *                   operating-system seam.
 * Calls go one way: contents -> tree -> rows, and commit uses all three;
 * nothing below calls back up.  Not installed; not for tools. */
#ifndef OSTREL_FS_HANDLES_H
#define OSTREL_FS_HANDLES_H

#include <apr_pools.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <zstd.h>

#include "ostrel_fs.h"
#include "content_store.h"
#include "meta.h"

namespace ostrel::fs {

inline constexpr int64_t kForever = int64_t{1} << 62;
inline constexpr size_t kChunkSize = 1 << 20;
inline constexpr int kZstdLevel = 3;
// The format of databases this build creates; it also reads kLegacyFormat,
// whose contents are kept as rows of the database.
inline constexpr int kPackFormat = 2;
inline constexpr int kLegacyFormat = 1;
// Delta chains stay this short, so a read decodes at most this many versions
// before the one asked for.
inline constexpr int kMaxDeltaDepth = 8;
// Uploaded contents are recorded in one write transaction per this many
// files or bytes, whichever comes first.
inline constexpr size_t kBatchFiles = 256;
inline constexpr int64_t kBatchBytes = int64_t{1} << 20;

using PropMap = std::map<std::string, std::string>;

struct MNode;

struct Entry {
  bool deleted = false;         // the base entry of this name is deleted
  std::unique_ptr<MNode> node;  // what the name holds now (after a delete: a replacement)
};

// A node of a transaction's tree that the transaction changed or passed
// through.  BASE is the stored node it derives from: for an opened node the
// node at its path in the base revision, for a copy the copy source.
struct MNode {
  MNode() = default;
  MNode(const MNode &) = delete;
  MNode &operator=(const MNode &) = delete;
  // Frees the subtree without recursion: the tree is as deep as the deepest
  // path the transaction changes.
  ~MNode();

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

// One row of a revision's changed paths, checked as it is read.
struct ChangeRow {
  ostrel_fs_path_change_kind change = ostrel_fs_path_change_modify;
  ostrel_node_kind node_kind = ostrel_node_none;
  bool text_mod = false;
  bool prop_mod = false;
  std::optional<std::string> copy_path;
  ostrel_revnum copy_rev = OSTREL_INVALID_REVNUM;
};

// A location in any root (revision or transaction).
struct Loc {
  MNode *m = nullptr;  // a node of the transaction's tree
  int64_t id = 0;      // or a stored node
  int kind = ostrel_node_none;
  bool exists() const { return m || id; }
};

// How a chunk's bytes are stored.
enum Codec : int {
  kCodecRaw = 0,    // as they are (tiny, or compression did not pay)
  kCodecZstd = 1,   // a zstd frame with its content checksum
  kCodecDelta = 2,  // a zstd frame made with the base's whole text as prefix
};

// Contents a transaction uploaded whose rows are not yet written: kept in
// memory and written in batches (kBatchFiles, kBatchBytes) or by the commit.
// A transaction's tree names them by the negative id -(index + 1).
struct PendingContent {
  ContentRow row;
  std::vector<ChunkRow> chunks;
  int64_t id = 0;          // the row's id once written
  bool committed = false;  // written by the commit step: committed already
};

}  // namespace ostrel::fs

struct ostrel_fs {
  int busy_timeout_ms = 10000;
  // Commits are not synced one by one; ostrel_fs_sync makes them durable.
  bool defer_sync = false;
  int format = ostrel::fs::kPackFormat;
  std::string repo_dir;  // the directory of the database file
  std::unique_ptr<ostrel::fs::MetaStore> meta;
  // The snapshot reads go through (see SNAPSHOTS in meta.h); while a writer
  // is open, its reads instead.
  std::unique_ptr<ostrel::fs::Snapshot> snap;
  ostrel::fs::Snapshot *writing = nullptr;
  std::unique_ptr<ostrel::fs::Writer> held;  // see ostrel_fs__hold_commit_lock
  std::unique_ptr<ostrel::fs::ContentStore> contents;
  // One compression and one decompression context for every file.
  ZSTD_CCtx *cctx = nullptr;
  ZSTD_DCtx *dctx = nullptr;
  // Recently decoded whole texts that delta chunks are decoded against.
  std::vector<std::pair<int64_t, std::string>> bases;
  // Directories of stored roots already resolved: "ROOT-ID/PATH" -> node
  // (0: no such directory).
  std::map<std::string, int64_t> dirs;
  // The root node of the revision whose root was asked for last (a
  // committed revision's root never changes); rev -1: none.
  struct {
    ostrel_revnum rev = -1;
    int64_t node = 0;
  } last_root;
  // Node-origin answers not yet written: line -> revision, and the
  // revisions whose new lines are to be written with them.
  std::map<int64_t, ostrel_revnum> origins;
  std::vector<ostrel_revnum> origin_revs;
  ~ostrel_fs() {
    ZSTD_freeCCtx(cctx);
    ZSTD_freeDCtx(dctx);
  }
};

struct ostrel_fs_txn {
  ostrel_fs *filesystem = nullptr;
  ostrel_revnum base = OSTREL_INVALID_REVNUM;
  int64_t id = 0;
  int64_t base_root = 0;
  std::unique_ptr<ostrel::fs::MNode> root;
  ostrel::fs::PropMap props;
  bool done = false;    // committed or aborted
  bool failed = false;  // a commit failed: only an abort is left
  bool keep_date = false;  // the commit keeps a date set on the transaction
  // Opened from another process's snapshot (txn_snapshot.cpp): readable
  // only; ending it leaves the writer's transaction alone.
  bool readonly = false;
  // Where this transaction's contents are appended (taken at the first).
  std::unique_ptr<ostrel::fs::Appender> appender;
  std::vector<ostrel::fs::PendingContent> pending;
  size_t written = 0;  // pending[0, written) have rows
  // The bytes of pending[written, counted) as last counted at WRITTEN
  // (contents.cpp, unwritten_bytes).
  struct {
    size_t written = 0, counted = 0;
    int64_t bytes = 0;
  } unwritten;
  std::map<std::string, int64_t> pending_by_sha;
  // Counts the times nodes of the tree were freed (a deletion, the end of
  // the transaction): a node pointer kept at one count is valid while the
  // count stays the same (tree.cpp, forget_nodes).
  uint64_t tree_generation = 0;
  // The deepest directory the last walk down the tree reached, and the
  // segments of its path: most calls of a large change touch the directory
  // the previous one did (tree.cpp, resolve_mutable).
  std::vector<std::string> last_dir_segs;
  ostrel::fs::MNode *last_dir = nullptr;
  // The node last made or opened by a path, under the path as it was given:
  // a file's text is most often written right after the file is made.
  std::string recent_path;
  ostrel::fs::MNode *recent_node = nullptr;
  // The locked lock file of its published snapshot, or -1 (txn_snapshot.cpp).
  int snapshot_lock = -1;
};

struct ostrel_fs_root {
  ostrel_fs *filesystem;
  ostrel_revnum rev;
  int64_t root_node;
  ostrel_fs_txn *txn;
};

namespace ostrel::fs {

// ---- reads and writes through the metadata seam -----------------------------

// The snapshot reads go through now: a writer's reads while one is open,
// else the filesystem's snapshot (taken when there is none).
ostrel_error *snap(ostrel_fs *filesystem, Snapshot **out);
// Drops the filesystem's snapshot: the next read takes a new one.
void renew(ostrel_fs *filesystem);
// Runs BODY in one writer and commits it (rolls back on error); the
// snapshot is renewed after, since the handle wrote.
ostrel_error *in_writer(ostrel_fs *filesystem, bool durable,
                        const std::function<ostrel_error *(Writer &)> &body);

// Opens a filesystem handle over META and CONTENTS (format 2 or later), in
// POOL: how tests run the filesystem on the in-memory stores.
/* Reads the filesystem's configuration (OSTREL_FS_CONFIG_BUSY_TIMEOUT; CONFIG
 * may be NULL) into *BUSY_MS. */
ostrel_error *parse_fs_config(apr_hash_t *config, int *busy_ms, int *format = nullptr);

ostrel_error *open_with_stores(ostrel_fs **out, std::unique_ptr<MetaStore> meta,
                               std::unique_ptr<ContentStore> contents, apr_pool_t *pool);

// ---- rows.cpp: reading stored rows, paths, properties ----------------------

std::string encode_props(const PropMap &props);
bool decode_props(const std::string &blob, PropMap &props);
std::string child_path(const std::string &parent, const std::string &name);
std::string join_path(const std::vector<std::string> &segs, size_t n);
// Splits an fs path into segments; "" and "/" are the root.
ostrel_error *parse_path(const char *path, std::vector<std::string> &segs);
bool valid_prop_name(const char *name);
ostrel_error *check_prop_name(const char *name, const char *path);
// The date a revision made now is stamped with.
std::string revision_date_now();

bool valid_node_kind(int64_t kind);
ostrel_error *load_node(ostrel_fs *filesystem, int64_t id, NodeRow &row);
ostrel_error *view_lookup(ostrel_fs *filesystem, View v, const std::string &name, Child &out);
ostrel_error *view_list(ostrel_fs *filesystem, View v, std::map<std::string, Child> &out);
ostrel_error *stored_resolve(ostrel_fs *filesystem, int64_t root_id,
                             const std::vector<std::string> &segs, size_t from, int64_t *id,
                             int *kind);
ostrel_error *youngest(ostrel_fs *filesystem, ostrel_revnum *rev);
ostrel_error *revision_root_node(ostrel_fs *filesystem, ostrel_revnum rev, int64_t *root);
ostrel_error *read_changes(ostrel_fs *filesystem, ostrel_revnum rev,
                           std::map<std::string, ChangeRow> &out);

View mnode_base_view(ostrel_fs *filesystem, const MNode &m, ostrel_error **err);
ostrel_error *mnode_child(ostrel_fs *filesystem, MNode &m, const std::string &name, Loc &out);
// The entry NAME of the stored directory transaction node M derives from
// (none when M is new).
ostrel_error *base_child(ostrel_fs *filesystem, const MNode &m, const std::string &name,
                         Child &out);
ostrel_error *damage_at(ostrel_error *err, const ostrel_fs_root *root,
                        const std::vector<std::string> &segs);
ostrel_error *resolve(ostrel_fs_root *root, const std::vector<std::string> &segs, Loc &loc);
ostrel_error *resolve_existing(ostrel_fs_root *root, const char *path,
                               std::vector<std::string> &segs, Loc &loc);
ostrel_error *props_of(ostrel_fs *filesystem, const Loc &loc, PropMap &props);
ostrel_error *content_of(ostrel_fs *filesystem, const Loc &loc, int64_t *content);
ostrel_error *file_loc(ostrel_fs_root *root, const char *path, Loc &loc);

// ---- contents.cpp ------------------------------------------------------------

std::string hex(const unsigned char *d, size_t n);
// The row of contents ID; a negative ID names contents TXN uploaded.
ostrel_error *load_content(ostrel_fs *filesystem, int64_t id, ContentRow &c,
                           ostrel_fs_txn *txn = nullptr);
// Reads chunk SEQ of contents ID, checked and decoded, into OUT.  Damage is
// OSTREL_ERR_FS_CORRUPT; nothing damaged is ever put in OUT.
ostrel_error *read_chunk(ostrel_fs *filesystem, int64_t id, int64_t seq, std::string &out,
                         ostrel_fs_txn *txn = nullptr);
// Reads the CHUNKS chunks of contents ID in order and hashes them: *SHA
// receives their SHA-256 (hex), *LENGTH their byte count, and LAST the last
// chunk read.
ostrel_error *digest_chunks(ostrel_fs *filesystem, int64_t id, int64_t chunks, ostrel_fs_txn *txn,
                            std::string *sha, int64_t *length, std::string &last);
// A stream of file PATH's contents in ROOT; damage met while reading names
// PATH and the root's revision.
ostrel_error *file_stream(ostrel_stream **contents, ostrel_fs_root *root, const char *path,
                          apr_pool_t *pool);
// The content row of file PATH in ROOT, and its id.
ostrel_error *file_content(ostrel_fs_root *root, const char *path, int64_t *id, ContentRow &c);
// A stream storing new contents of file PATH of TXN (FILE, its node in the
// transaction's tree), whose text before is PREVIOUS; closing it makes them
// the file's text.
ostrel_error *content_writer(ostrel_stream **contents, ostrel_fs_txn *txn, const char *path,
                             MNode *file, int64_t previous, apr_pool_t *pool);
// Records TXN's pending contents: in the commit's writer INSIDE as
// committed contents, else (INSIDE null) marked with the transaction in a
// writer of their own.
ostrel_error *write_pending(ostrel_fs_txn *txn, Writer *inside);
// The id of contents ID (negative: pending) once its rows are written, and
// whether the commit step wrote them as committed.
ostrel_error *written_content(ostrel_fs_txn *txn, int64_t id, int64_t *out, bool *committed);
// The committed value of content-store mark STREAM, at the newest state.
ostrel_error *store_mark(ostrel_fs *filesystem, int64_t stream, int64_t *value);
// Encodes RAW (against BASE_TEXT when given) for storing: sets CHUNK's
// codec, length and checksum; *BYTES points at what is to be stored (RAW
// itself, or PACKED).
ostrel_error *encode_chunk(ostrel_fs *filesystem, const std::string &raw,
                           const std::string *base_text, ChunkRow *chunk, std::string &packed,
                           const std::string **bytes, bool try_compress = true);

// ---- tree.cpp: a transaction's tree -----------------------------------------

ostrel_error *txn_alive(ostrel_fs_txn *txn);
ostrel_error *txn_of(ostrel_fs_root *root, ostrel_fs_txn **txn);
// The transaction of ROOT (which must be a live transaction root) and the
// segments of PATH.
ostrel_error *txn_path(ostrel_fs_root *root, const char *path, ostrel_fs_txn **txn,
                       std::vector<std::string> &segs);
ostrel_error *resolve_mutable(ostrel_fs_txn *txn, const std::vector<std::string> &segs,
                              MNode **out);
ostrel_error *resolve_mutable(ostrel_fs_txn *txn, const std::vector<std::string> &segs,
                              size_t count, MNode **out);
// The directory of TXN's tree the last walk reached, when its path is the
// start of the first COUNT segments of SEGS (*DEPTH: its length), else null.
MNode *walk_start(const ostrel_fs_txn *txn, const std::vector<std::string> &segs, size_t count,
                  size_t *depth);
// Called before nodes of TXN's tree are freed: forgets every node pointer
// kept across calls (the last directory walked to, the recent node) and
// moves the tree's generation on.
void forget_nodes(ostrel_fs_txn *txn);
// The node of TXN's tree last made or opened as PATH (spelled the same), or
// null; remember_node records it.
MNode *recent_node(ostrel_fs_txn *txn, const char *path);
void remember_node(ostrel_fs_txn *txn, const char *path, MNode *node);
ostrel_error *mutable_parent(ostrel_fs_txn *txn, const std::vector<std::string> &segs,
                             const char *what, MNode **parent, bool *exists);
ostrel_error *add_node(ostrel_fs_txn *txn, const std::vector<std::string> &segs,
                       std::unique_ptr<MNode> node, const char *what);
// Adds a new empty directory or file without history at PATH.
ostrel_error *make_plain(ostrel_fs_root *root, const char *path, int kind, const char *what);
// Makes CONTENT (0: empty) the text of file PATH of TXN.  FILE is that
// file's node as found at tree generation GENERATION: while no node was
// freed since, it is used as it is, else PATH is walked again.
ostrel_error *set_file_text(ostrel_fs_txn *txn, const std::string &path, MNode *file,
                            uint64_t generation, int64_t content);

// ---- commit.cpp: the final step, and ending transactions ---------------------

ostrel_error *commit_locked(ostrel_fs_txn *txn, Writer &writer, ostrel_revnum *new_rev,
                           std::string *conflict);
ostrel_error *sweep_dead_txns(Writer &writer);
ostrel_error *abort_txn(ostrel_fs_txn *txn);
// Writes the node-origin answers kept in memory, in one write transaction.
ostrel_error *flush_origins(ostrel_fs *filesystem);
apr_status_t cleanup_txn(void *data);

// ---- txn_snapshot.cpp: transactions seen from another process ---------------

// The changes of the transaction tree ROOT, keyed and kinded as a commit
// records them.
ostrel_error *txn_changes(ostrel_fs *filesystem, const MNode &root,
                          std::map<std::string, ChangeRow> &out);
// Removes the snapshots of transactions whose owners are gone.
ostrel_error *sweep_txn_snapshots(ostrel_fs *filesystem);
// Removes TXN's published snapshot, when it has one, and lets its lock go.
void drop_snapshot(ostrel_fs_txn *txn);

}  // namespace ostrel::fs

#endif /* OSTREL_FS_HANDLES_H */
