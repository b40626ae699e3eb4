// The metadata seam on SQLite: the schema, the format record, every
// statement the filesystem runs, backup and the format upgrades.
//
// LAYOUT OF A DIRECTORY VERSION.  A version is a view (dkey, asof) of a
// directory key.  A key holds rows (name, start_rev, end_rev, child); the
// entries of the view (K, A) are the rows of K alive at A (start_rev <= A <
// end_rev), then, for names K has no row for, the key's base chunks (format
// 3 only, see below), then the entries of K's parent view (a key made by
// forking another view).  A new version either extends its key (when FROM
// is the key's newest state: rows end and begin at the new revision, older
// views keep reading the old rows) or forks a new key whose parent is FROM.
// A key's parent always has a smaller id, which is what makes every walk up
// the parents end on a damaged chain.  Rows older views read never change,
// except end_rev being lowered from "forever" to the new revision, which
// they do not read.
//
// FORMAT 3: BULK WRITES.  Formats 1 and 2 cost every entry of a commit a
// row in three B-trees (dirent and its two indexes), its node two (node and
// the index of lines), its changed path one more.  A commit of many new
// files spent most of its time there.  Format 3 keeps the layout above and
// adds, per key, an immutable sorted listing written once, with the key:
//   - a key made by write_dir (a new directory, a fork, or a write of at
//     least kBulkEntries names into a key whose fork depth is below
//     kMaxForkDepth) keeps its changes as base chunks: rows of dirchunk
//     (dkey, first name, body), each body at most kChunkEntries entries
//     (name, child, kind; child 0 is a tombstone hiding the parent's entry),
//     sorted, names of a chunk from FIRST up to the next chunk's first.  A
//     lookup reads one chunk (the B-tree of dirchunk is the index of name
//     ranges); a listing reads a key's chunks in order.
//   - later, smaller commits extend such a key with rows as before, so a
//     one-entry change to a directory of 100,000 entries writes one row,
//     never a chunk.  A chunked key is treated like a key with a parent: a
//     name's row never ends without a successor (a deletion leaves a
//     tombstone row), so the rows alive at A decide every name they have.
//   - a chunk never changes once written and belongs to one key (views of
//     K have asof >= the revision that made K, when its chunks were
//     written, so chunks need no revision of their own).
//   - a bulk write into the head of a key forks instead of adding rows, so
//     N puts into an existing directory cost N/kChunkEntries chunks; the
//     fork depth (dirkey.depth: the parent's depth + 1) bounds how many keys
//     a lookup may walk before the write goes back to extending with rows.
// Changed paths are one row per revision (revchanges: an encoded list), and
// the index of lines (nodes without predecessor) is gone: the nodes of
// revision R are ids first_node(R) up to first_node(R + 1), recorded with
// each revision, which is all add_origins needs.  What stays per entry of a
// bulk commit is its node row and its contents' record (content, its index
// by SHA-256, one pchunk).  A SHA-256 is kept as its 32 bytes (formats 1
// and 2: 64 hex digits), and new databases have pages of 2 KiB.
//
// INVARIANTS (format 3 on top of those above): (1) a dirchunk row is
// written in the same transaction as its dirkey row and never changes;
// (2) the chunks of a key are sorted by first name and hold sorted,
// distinct names in their range; (3) a key with chunks or a parent never
// ends a row without starting the next one for that name; (4) first_node
// of revision R is the smallest node id made in R, or the next free id
// when R made none, so the nodes of R are the ids from first_node(R) below
// first_node(R + 1); (5) a bulk fork is made only over a key of depth
// below kMaxForkDepth (forks of older states, as in format 2, are not
// bounded: they are one per concurrent change of a directory).
//
// FORMAT 5: NODE BLOCKS.  In format 3 a bulk commit still paid a B-tree
// row per node (a fifth of a commit of 10,000 new files).  Node records
// never change once written and their ids are dense, handed out in order,
// so format 5 keeps them as runs: a row of nodeblock(first, count, lines,
// body) holds the nodes FIRST .. FIRST + COUNT - 1, encoded one after the
// other behind a table of their offsets (node_block.h), LINES of them
// without predecessor (for origin_counts, which reads no body).  A node is
// found by the last block whose first is not above its id; an id at or
// past that block's end is missing.  A read decodes the one record it
// needs, and a snapshot keeps the block it read last, so that the
// neighbours a walk reads next cost no query.  A block of several nodes
// stays below kNodeBlockBody bytes, one cell of a 2 KiB page; a node too
// large for that (long copy source, many properties) has a block of its
// own.  Format 3 is format 5 with a row a node instead (the upgrade turns
// the rows into blocks, a revision's run at a time); everything else is
// the same.  Format 4 is no database format: it is the number of a
// repository kept in PostgreSQL (postgres/), so this format is 5.
//
// INVARIANTS (format 5 on top of those of format 3): (6) a block is
// written in the transaction that made its nodes and never changes;
// blocks do not overlap: each begins at or after the end of every older
// one, so the next free id is the end of the newest; (7) the nodes of a
// block are in id order without gaps, and a block holds the nodes of one
// revision (so a revision's nodes are whole blocks, which add_origins
// decodes for the ids from first_node(R) below first_node(R + 1)); (8) a
// block body that does not decode as its row's COUNT records, each
// exactly filling its offsets' range, is damage (OSTREL_ERR_FS_CORRUPT
// naming the node and its block), never read as other values; (9) a
// block a snapshot keeps may have come from this handle's own writer
// while it ran: a writer that rolls back, or whose commit fails, drops
// every kept block (SqliteMeta::node_epoch), since its ids are handed out
// again.

#include "sqlite_meta.h"

#include <algorithm>
#include <functional>
#include <set>
#include <string_view>
#include <vector>

#include "ostrel_fs.h"
#include "node_block.h"
#include "store.h"
#include "../varint.h"

namespace ostrel::fs {

namespace {

constexpr int64_t kForever = int64_t{1} << 62;
constexpr int kFormatRecords = 1;  // contents as rows of this database
constexpr int kFormatPacks = 2;    // contents in a content store
constexpr int kFormatTrees = 3;    // and bulk directory chunks (FORMAT 3)
constexpr int kFormatBlocks = 5;   // and node records in blocks (FORMAT 5; 4 is PostgreSQL's)

// Where each chunk's bytes are in the content store, and its marks.
#define PACK_TABLES                                                                              \
  "CREATE TABLE pchunk(content INTEGER NOT NULL, seq INTEGER NOT NULL, raw_len INTEGER NOT NULL," \
  "  codec INTEGER NOT NULL, pack INTEGER NOT NULL, off INTEGER NOT NULL, len INTEGER NOT NULL,"  \
  "  sum INTEGER NOT NULL, PRIMARY KEY(content, seq)) WITHOUT ROWID;"                            \
  "CREATE TABLE pack(id INTEGER PRIMARY KEY, end_off INTEGER NOT NULL);"

// The tables every format has (content's base and depth came with format 2).
#define COMMON_TABLES                                                                            \
  "CREATE TABLE meta(key TEXT PRIMARY KEY, value TEXT NOT NULL);"                                \
  "CREATE TABLE revprop(rev INTEGER NOT NULL, name TEXT NOT NULL, value BLOB NOT NULL,"          \
  "  PRIMARY KEY(rev, name)) WITHOUT ROWID;"                                                     \
  "CREATE TABLE dirent(dkey INTEGER NOT NULL, name TEXT NOT NULL, start_rev INTEGER NOT NULL,"   \
  "  end_rev INTEGER NOT NULL, child INTEGER, kind INTEGER,"                                     \
  "  PRIMARY KEY(dkey, name, start_rev)) WITHOUT ROWID;"                                         \
  "CREATE INDEX dirent_alive ON dirent(dkey, end_rev);"                                          \
  "CREATE TABLE content(id INTEGER PRIMARY KEY, sha TEXT, length INTEGER NOT NULL,"              \
  "  chunks INTEGER NOT NULL, txn INTEGER, base INTEGER, depth INTEGER NOT NULL DEFAULT 0);"      \
  "CREATE INDEX content_by_sha ON content(sha) WHERE txn IS NULL;"                               \
  "CREATE INDEX content_by_txn ON content(txn) WHERE txn IS NOT NULL;"                           \
  "CREATE TABLE txn(id INTEGER PRIMARY KEY, pid INTEGER NOT NULL, base INTEGER NOT NULL);"       \
  "CREATE TABLE node_origin(line INTEGER PRIMARY KEY, rev INTEGER NOT NULL);" PACK_TABLES

// A row a node (formats 1 to 3).
#define NODE_TABLE                                                                               \
  "CREATE TABLE node(id INTEGER PRIMARY KEY, kind INTEGER NOT NULL, nid INTEGER NOT NULL,"       \
  "  pred INTEGER, line INTEGER NOT NULL, created_rev INTEGER NOT NULL, copy_path TEXT,"         \
  "  copy_rev INTEGER, content INTEGER, props BLOB NOT NULL, dkey INTEGER, asof INTEGER);"

// Format 2 (and format 1, before its upgrade, with chunk rows instead of
// the pack tables).
const char kSchema2[] =
    COMMON_TABLES NODE_TABLE
    "CREATE TABLE revision(rev INTEGER PRIMARY KEY, root INTEGER NOT NULL);"
    "CREATE INDEX node_line_starts ON node(created_rev) WHERE pred IS NULL;"
    "CREATE TABLE dirkey(id INTEGER PRIMARY KEY, parent INTEGER, parent_asof INTEGER,"
    "  head_asof INTEGER NOT NULL);"
    "CREATE INDEX dirent_by_start ON dirent(dkey, start_rev);"
    "CREATE TABLE changed_path(rev INTEGER NOT NULL, path TEXT NOT NULL, change INTEGER NOT NULL,"
    "  node_kind INTEGER NOT NULL, text_mod INTEGER NOT NULL, prop_mod INTEGER NOT NULL,"
    "  copy_path TEXT, copy_rev INTEGER, PRIMARY KEY(rev, path)) WITHOUT ROWID;";

// What format 3 has instead (see FORMAT 3 above); the upgrade from format 2
// makes the same.
#define FORMAT3_TABLES                                                                           \
  "CREATE TABLE dirchunk(dkey INTEGER NOT NULL, first TEXT NOT NULL, body BLOB NOT NULL,"        \
  "  PRIMARY KEY(dkey, first)) WITHOUT ROWID;"                                                   \
  "CREATE TABLE revchanges(rev INTEGER PRIMARY KEY, body BLOB NOT NULL);"
#define FORMAT3_KEYS                                                                             \
  "CREATE TABLE revision(rev INTEGER PRIMARY KEY, root INTEGER NOT NULL,"                        \
  "  first_node INTEGER NOT NULL);"                                                              \
  "CREATE TABLE dirkey(id INTEGER PRIMARY KEY, parent INTEGER, parent_asof INTEGER,"             \
  "  head_asof INTEGER NOT NULL, chunked INTEGER NOT NULL DEFAULT 0,"                            \
  "  depth INTEGER NOT NULL DEFAULT 0);"
const char kSchema3[] = COMMON_TABLES NODE_TABLE FORMAT3_TABLES FORMAT3_KEYS;

// Format 5: format 3 with the nodes in blocks (FORMAT 5 above); the upgrade
// from format 3 makes the same.
#define NODEBLOCK_TABLE                                                                          \
  "CREATE TABLE nodeblock(first INTEGER PRIMARY KEY, count INTEGER NOT NULL,"                   \
  "  lines INTEGER NOT NULL, body BLOB NOT NULL);"
const char kSchema5[] = COMMON_TABLES NODEBLOCK_TABLE FORMAT3_TABLES FORMAT3_KEYS;

// A chunk of a key's base listing holds at most this many entries.
constexpr size_t kChunkEntries = 256;
// A write of at least this many names into the head of a key forks a
// chunked key instead of adding rows, while the fork depth is below
// kMaxForkDepth.
constexpr size_t kBulkEntries = 256;
constexpr int64_t kMaxForkDepth = 8;

}  // namespace

void append_chunk_entry(std::string &body, std::string_view name, const Child &child) {
  put_str(body, name);
  put_num(body, static_cast<uint64_t>(child.id));
  put_num(body, static_cast<uint64_t>(child.id ? child.kind : 0));
}

bool decode_chunk(const void *body, size_t len, std::vector<ChunkEntry> &out) {
  out.clear();
  Decoder d(body, len);
  while (!d.done()) {
    ChunkEntry e;
    if (!d.str(&e.name) || !d.num(&e.child.id) || !d.num(&e.child.kind)) return false;
    if (!out.empty() && !(out.back().name < e.name)) return false;
    out.push_back(e);
  }
  return true;
}

// Format 3 keeps a SHA-256 as its 32 bytes, not as 64 hex digits: the
// record and its index were a third of the metadata of a history of small
// edits.  The seam speaks hex; text that is no SHA-256 stays text (and
// finds nothing).
std::string sha_bytes(const std::string &hex) {
  auto digit = [](char c) {
    return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
  };
  if (hex.size() != 64) return hex;
  std::string out(32, '\0');
  for (size_t i = 0; i < 32; ++i) {
    int hi = digit(hex[2 * i]), lo = digit(hex[2 * i + 1]);
    if (hi < 0 || lo < 0) return hex;
    out[i] = static_cast<char>(hi << 4 | lo);
  }
  return out;
}

namespace {

std::string sha_text(const Stmt &st, int col) {
  if (!st.blob(col) || st.bytes(col) != 32) return st.text(col);
  static const char digits[] = "0123456789abcdef";
  const auto *b = static_cast<const unsigned char *>(st.blob(col));
  std::string out(64, '0');
  for (size_t i = 0; i < 32; ++i) {
    out[2 * i] = digits[b[i] >> 4];
    out[2 * i + 1] = digits[b[i] & 15];
  }
  return out;
}

ostrel_error *damaged_chunk(int64_t dkey) {
  return ostrel_error_createf(OSTREL_ERR_FS_CORRUPT, nullptr,
                              "Repository is damaged: a chunk of directory key %lld cannot be "
                              "read",
                              static_cast<long long>(dkey));
}

}  // namespace

std::string encode_changed_paths(const std::vector<ChangedPath> &paths) {
  std::string out;
  for (const ChangedPath &c : paths) {
    put_str(out, c.path);
    put_num(out, static_cast<uint64_t>(c.change));
    put_num(out, static_cast<uint64_t>(c.node_kind));
    put_num(out, static_cast<uint64_t>(c.text_mod));
    put_num(out, static_cast<uint64_t>(c.prop_mod));
    put_num(out, (c.copy_path ? 1u : 0u) | (c.copy_rev ? 2u : 0u));
    if (c.copy_path) put_str(out, *c.copy_path);
    if (c.copy_rev) put_num(out, static_cast<uint64_t>(*c.copy_rev));
  }
  return out;
}

bool decode_changed_paths(const void *body, size_t len, std::vector<ChangedPath> &out) {
  Decoder d(body, len);
  while (!d.done()) {
    ChangedPath c;
    std::string_view path;
    uint64_t has;
    if (!d.str(&path) || !d.num(&c.change) || !d.num(&c.node_kind) || !d.num(&c.text_mod) ||
        !d.num(&c.prop_mod) || !d.num(&has) || has > 3)
      return false;
    c.path = path;
    if (has & 1) {
      std::string_view copy;
      if (!d.str(&copy)) return false;
      c.copy_path = std::string(copy);
    }
    if (has & 2) {
      int64_t rev;
      if (!d.num(&rev)) return false;
      c.copy_rev = rev;
    }
    out.push_back(std::move(c));
  }
  return true;
}

namespace {

// Rows go in with one INSERT per kInsertRows rows: for a commit of many
// small files the work per statement (reset, bind, step) cost as much as
// the rows themselves.
constexpr size_t kInsertRows = 64;

// Inserts COUNT rows with INSERT_HEAD (an "INSERT INTO t(c1, ..., cN)"),
// kInsertRows to a statement.  A row takes NPARAMS parameters, after the
// SHARED ones (?1 .. ?SHARED) that BIND_SHARED binds once per statement;
// BIND_ROW(st, k, first) binds row K's to FIRST .. FIRST + NPARAMS - 1.
// ROW_SQL(first) is a row's "(...)" naming its parameters from ?FIRST;
// without it a row is NPARAMS parameters, one per column.
template <typename BindRow>
ostrel_error *insert_rows(Store &store, const std::string &insert_head, int nparams, size_t count,
                          const BindRow &bind_row,
                          const std::function<std::string(int first)> &row_sql = nullptr,
                          int shared = 0, const std::function<void(Stmt &)> &bind_shared = nullptr) {
  auto first_of = [&](size_t r) { return shared + 1 + static_cast<int>(r) * nparams; };
  auto sql_for = [&](size_t rows) {
    std::string plain = "(";
    for (int c = 0; c < nparams; ++c) plain += c ? ", ?" : "?";
    plain += ")";
    std::string sql = insert_head + " VALUES";
    for (size_t r = 0; r < rows; ++r) sql += (r ? ", " : "") + (row_sql ? row_sql(first_of(r)) : plain);
    return sql;
  };
  std::string batch_sql, one_sql;  // made when first needed
  Stmt st;
  for (size_t k = 0; k < count;) {
    const size_t rows = count - k >= kInsertRows ? kInsertRows : 1;
    std::string &sql = rows > 1 ? batch_sql : one_sql;
    if (sql.empty()) sql = sql_for(rows);
    OSTREL_ERR(store.prepare(st, sql.c_str()));
    if (bind_shared) bind_shared(st);
    for (size_t r = 0; r < rows; ++r, ++k) bind_row(st, k, first_of(r));
    OSTREL_ERR(st.run());
  }
  return nullptr;
}

std::string blob_of(const Stmt &st, int col) {
  const char *b = static_cast<const char *>(st.blob(col));
  return b ? std::string(b, st.bytes(col)) : std::string();
}

struct DirKey {
  int64_t parent = 0;
  int64_t parent_asof = 0;
  int64_t head_asof = 0;
  bool chunked = false;  // format 3: the key has base chunks
  int64_t depth = 0;     // format 3: forks above it (FORMAT 3)
};

class SqliteMeta;

// Reads.  A snapshot's youngest is fixed when it is made; the read
// transaction behind it is the connection's, begun when a read needs it and
// ended after kReadUses reads, by a writer, or by a newer snapshot (see
// SNAPSHOTS in meta.h: revisions up to youngest read the same in any later
// state).
class SqliteSnapshot : public Snapshot {
 public:
  SqliteSnapshot(SqliteMeta &meta, ostrel_revnum youngest) : meta_(meta), youngest_(youngest) {}
  ostrel_revnum youngest() const override { return youngest_; }
  ostrel_error *revision_root(ostrel_revnum rev, int64_t *root, bool *found) override;
  ostrel_error *node(int64_t id, NodeRow &out) override;
  ostrel_error *lookup(View v, const std::string &name, Child &out) override;
  ostrel_error *list(View v, std::map<std::string, Child> &out) override;
  ostrel_error *entries_since(View older, View newer, std::map<std::string, Child> &out) override;
  ostrel_error *changed_paths(ostrel_revnum rev, std::vector<ChangedPath> &out) override;
  ostrel_error *revision_props(ostrel_revnum rev, std::map<std::string, std::string> &out) override;
  ostrel_error *node_origin(int64_t line, std::optional<ostrel_revnum> *rev) override;
  ostrel_error *origin_counts(int64_t *lines, int64_t *recorded) override;
  ostrel_error *content(int64_t id, ContentRow &out, bool *found) override;
  ostrel_error *content_by_sha(const std::string &sha, int64_t *id) override;
  ostrel_error *chunk(int64_t content, int64_t seq, ChunkRow &out, bool *found) override;
  ostrel_error *store_marks(std::vector<StoreMark> *marks) override;

  void set_youngest(ostrel_revnum y) { youngest_ = y; }
  ostrel_error *dirkey(int64_t dkey, DirKey &k);

 private:
  // Entry NAME of the chunks of key DKEY: *DECIDED when a chunk holds it
  // (OUT is then the entry; a tombstone is Child{}).
  ostrel_error *chunk_lookup(int64_t dkey, const std::string &name, Child &out, bool *decided);
  // Adds the entries of the chunks of DKEY that DECIDED does not hold yet.
  ostrel_error *chunk_list(int64_t dkey, std::set<std::string> &decided,
                           std::map<std::string, Child> &out);
  std::vector<ChunkEntry> entries_;  // a decoded chunk, reused
  // Format 5: the node block read last.  Blocks never change once
  // committed, so it stays true for as long as no writer of this store
  // rolled back (block_epoch_ tells: a rolled-back writer's blocks were
  // readable here while it ran, and its ids are handed out again).
  ostrel_error *block_node(int64_t id, NodeRow &row);
  std::string block_body_;
  NodeBlockView block_;
  uint64_t block_epoch_ = 0;
  ostrel_error *read();
  SqliteMeta &meta_;
  ostrel_revnum youngest_;
};

class SqliteWriter;

class SqliteMeta : public MetaStore {
 public:
  Store store;
  int format_ = kFormatPacks;
  std::string path;

  int format() const override { return format_; }
  bool blocks() const { return format_ == kFormatBlocks; }
  // Changes whenever a writer's node blocks are undone (see SqliteSnapshot).
  uint64_t node_epoch = 1;
  void defer_syncs(bool defer) override {
    // Each checkpoint syncs: while commits are deferred the log may grow to
    // 16 MiB between them.
    ostrel_error_clear(store.exec(defer ? "PRAGMA wal_autocheckpoint=4096"
                                        : "PRAGMA wal_autocheckpoint=256"));
  }
  ostrel_error *sync() override {
    // A checkpoint syncs the log, then the database.
    store.end_read();
    return store.exec("PRAGMA wal_checkpoint(TRUNCATE)");
  }
  ostrel_error *snapshot(std::unique_ptr<Snapshot> *out) override {
    // A new snapshot sees the newest commits: end the read begun for older ones.
    store.end_read();
    ostrel_revnum y = 0;
    OSTREL_ERR(begin_read());
    OSTREL_ERR(youngest(&y));
    *out = std::make_unique<SqliteSnapshot>(*this, y);
    return nullptr;
  }
  ostrel_error *begin_writer(bool durable, std::unique_ptr<Writer> *out) override;
  const char *refused() const override { return store.refused(); }
  ostrel_error *check_integrity() override {
    OSTREL_ERR(begin_read());
    Stmt st;
    OSTREL_ERR(store.prepare(st, "PRAGMA quick_check"));
    bool row;
    OSTREL_ERR(st.step(&row));
    std::string result = row ? st.text(0) : "no answer";
    if (result != "ok")
      return ostrel_error_createf(OSTREL_ERR_FS_CORRUPT, nullptr,
                                  "Repository database '%s' is damaged: %s", path.c_str(),
                                  result.c_str());
    return nullptr;
  }
  ostrel_error *backup(const std::string &destination) override;

  // A read transaction for the next statements, when none is open.
  ostrel_error *begin_read() {
    if (store.in_transaction()) return nullptr;
    if (store.in_read() && ++read_uses_ < kReadUses) return nullptr;
    store.end_read();
    read_uses_ = 0;
    return store.begin_read();
  }

  ostrel_error *youngest(ostrel_revnum *rev) {
    Stmt st;
    OSTREL_ERR(store.prepare(st, "SELECT max(rev) FROM revision"));
    bool row;
    OSTREL_ERR(st.step(&row));
    if (!row || st.is_null(0))
      return ostrel_error_create(OSTREL_ERR_FS_CORRUPT, nullptr,
                                 "Repository is damaged: it has no revision 0");
    *rev = static_cast<ostrel_revnum>(st.int64(0));
    return nullptr;
  }

 private:
  // Holding one read transaction over many calls saves taking and dropping
  // SQLite's locks around each; ending it now and then lets checkpoints
  // move past it.
  static constexpr int kReadUses = 1000;
  int read_uses_ = 0;
};

ostrel_error *SqliteSnapshot::read() { return meta_.begin_read(); }

ostrel_error *SqliteSnapshot::revision_root(ostrel_revnum rev, int64_t *root, bool *found) {
  *found = false;
  if (rev < 0 || rev > youngest_) return nullptr;
  OSTREL_ERR(read());
  Stmt st;
  OSTREL_ERR(meta_.store.prepare(st, "SELECT root FROM revision WHERE rev=?1"));
  st.bind(1, int64_t{rev});
  bool row;
  OSTREL_ERR(st.step(&row));
  if (!row)
    return ostrel_error_createf(OSTREL_ERR_FS_CORRUPT, nullptr,
                                "Repository is damaged: revision %ld is missing",
                                static_cast<long>(rev));
  *root = st.int64(0);
  *found = true;
  return nullptr;
}

// A node row (formats 1 to 3) in columns id, kind, nid, pred, line,
// created_rev, copy_path, copy_rev, content, props, dkey, asof.
NodeRow node_at(const Stmt &st) {
  NodeRow row;
  row.id = st.int64(0);
  row.kind = st.int64(1);
  row.nid = st.int64(2);
  row.pred = st.is_null(3) ? 0 : st.int64(3);
  row.line = st.int64(4);
  row.created_rev = static_cast<ostrel_revnum>(st.int64(5));
  row.copy_path = st.is_null(6) ? std::nullopt : std::optional<std::string>(st.text(6));
  row.copy_rev = st.is_null(7) ? OSTREL_INVALID_REVNUM : static_cast<ostrel_revnum>(st.int64(7));
  row.content = st.is_null(8) ? 0 : st.int64(8);
  row.props = blob_of(st, 9);
  row.dir.dkey = st.is_null(10) ? 0 : st.int64(10);
  row.dir.asof = st.is_null(11) ? 0 : st.int64(11);
  return row;
}

ostrel_error *missing_node(int64_t id) {
  return ostrel_error_createf(OSTREL_ERR_FS_CORRUPT, nullptr,
                              "Repository is damaged: node %lld is missing",
                              static_cast<long long>(id));
}

ostrel_error *damaged_block(int64_t first, int64_t id) {
  return ostrel_error_createf(OSTREL_ERR_FS_CORRUPT, nullptr,
                              "Repository is damaged: node %lld cannot be read from the block "
                              "of nodes from %lld",
                              static_cast<long long>(id), static_cast<long long>(first));
}

// The block of nodes holding ID, from the last one read when it does
// (FORMAT 5).
ostrel_error *SqliteSnapshot::block_node(int64_t id, NodeRow &row) {
  if (block_epoch_ != meta_.node_epoch || !block_.holds(id)) {
    OSTREL_ERR(read());
    Stmt st;
    OSTREL_ERR(meta_.store.prepare(st, "SELECT first, count, body FROM nodeblock WHERE first<=?1 "
                                       "ORDER BY first DESC LIMIT 1"));
    st.bind(1, id);
    bool found;
    OSTREL_ERR(st.step(&found));
    block_epoch_ = 0;
    const int64_t first = found ? st.int64(0) : 0, count = found ? st.int64(1) : 0;
    if (!found || count < 1 || static_cast<uint64_t>(id - first) >= static_cast<uint64_t>(count))
      return missing_node(id);
    block_body_ = blob_of(st, 2);
    if (!block_.open(block_body_.data(), block_body_.size(), first, count))
      return damaged_block(first, id);
    block_epoch_ = meta_.node_epoch;
  }
  if (!block_.node(id, row)) return damaged_block(block_.first(), id);
  return nullptr;
}

ostrel_error *SqliteSnapshot::node(int64_t id, NodeRow &row) {
  if (meta_.blocks()) return block_node(id, row);
  OSTREL_ERR(read());
  Stmt st;
  OSTREL_ERR(meta_.store.prepare(st,
                                 "SELECT id, kind, nid, pred, line, created_rev, copy_path, "
                                 "copy_rev, content, props, dkey, asof FROM node WHERE id=?1"));
  st.bind(1, id);
  bool found;
  OSTREL_ERR(st.step(&found));
  if (!found) return missing_node(id);
  row = node_at(st);
  return nullptr;
}

ostrel_error *SqliteSnapshot::dirkey(int64_t dkey, DirKey &k) {
  OSTREL_ERR(read());
  Stmt st;
  OSTREL_ERR(meta_.store.prepare(st, meta_.format_ >= kFormatTrees
                                         ? "SELECT parent, parent_asof, head_asof, chunked, depth "
                                           "FROM dirkey WHERE id=?1"
                                         : "SELECT parent, parent_asof, head_asof, 0, 0 FROM "
                                           "dirkey WHERE id=?1"));
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
  k.chunked = st.int64(3) != 0;
  k.depth = st.int64(4);
  if (k.parent != 0 && (k.parent < 0 || k.parent >= dkey))
    return ostrel_error_createf(OSTREL_ERR_FS_CORRUPT, nullptr,
                                "Repository is damaged: directory key %lld has parent %lld, "
                                "which does not precede it",
                                static_cast<long long>(dkey), static_cast<long long>(k.parent));
  return nullptr;
}

// A changed_path row (formats 1 and 2) in columns FIRST .. FIRST + 6: path,
// change, node_kind, text_mod, prop_mod, copy_path, copy_rev.
ChangedPath changed_path_at(const Stmt &st, int first) {
  ChangedPath c;
  c.path = st.text(first);
  c.change = st.int64(first + 1);
  c.node_kind = st.int64(first + 2);
  c.text_mod = st.int64(first + 3);
  c.prop_mod = st.int64(first + 4);
  if (!st.is_null(first + 5)) c.copy_path = st.text(first + 5);
  if (!st.is_null(first + 6)) c.copy_rev = st.int64(first + 6);
  return c;
}

// The entry in columns CHILD_COL (node id) and CHILD_COL + 1 (its kind); a
// tombstone is an absent entry.
Child child_at(const Stmt &st, int col) {
  if (st.is_null(col)) return Child{};
  return Child{st.int64(col), st.int64(col + 1)};
}

ostrel_error *SqliteSnapshot::lookup(View v, const std::string &name, Child &out) {
  out = Child{};
  OSTREL_ERR(read());
  while (v.dkey) {
    Stmt st;
    OSTREL_ERR(meta_.store.prepare(st,
                                   "SELECT child, kind, end_rev FROM dirent WHERE dkey=?1 AND "
                                   "name=?2 AND start_rev<=?3 ORDER BY start_rev DESC LIMIT 1"));
    st.bind(1, v.dkey).bind(2, name).bind(3, v.asof);
    bool row;
    OSTREL_ERR(st.step(&row));
    if (row) {
      if (st.int64(2) > v.asof) out = child_at(st, 0);
      return nullptr;  // this key decides, also when the name is gone here
    }
    DirKey k;
    OSTREL_ERR(dirkey(v.dkey, k));
    if (k.chunked) {
      bool decided;
      OSTREL_ERR(chunk_lookup(v.dkey, name, out, &decided));
      if (decided) return nullptr;
    }
    v = View{k.parent, k.parent_asof};
  }
  return nullptr;
}

ostrel_error *SqliteSnapshot::chunk_lookup(int64_t dkey, const std::string &name, Child &out,
                                           bool *decided) {
  *decided = false;
  Stmt st;
  OSTREL_ERR(meta_.store.prepare(st, "SELECT body FROM dirchunk WHERE dkey=?1 AND first<=?2 "
                                     "ORDER BY first DESC LIMIT 1"));
  st.bind(1, dkey).bind(2, name);
  bool row;
  OSTREL_ERR(st.step(&row));
  if (!row) return nullptr;
  if (!decode_chunk(st.blob(0), st.bytes(0), entries_)) return damaged_chunk(dkey);
  auto it = std::lower_bound(entries_.begin(), entries_.end(), std::string_view(name),
                             [](const ChunkEntry &e, std::string_view n) { return e.name < n; });
  if (it == entries_.end() || it->name != name) return nullptr;
  *decided = true;
  out = it->child.id ? it->child : Child{};
  return nullptr;
}

ostrel_error *SqliteSnapshot::chunk_list(int64_t dkey, std::set<std::string> &decided,
                                         std::map<std::string, Child> &out) {
  Stmt st;
  OSTREL_ERR(meta_.store.prepare(st, "SELECT body FROM dirchunk WHERE dkey=?1 ORDER BY first"));
  st.bind(1, dkey);
  while (true) {
    bool row;
    OSTREL_ERR(st.step(&row));
    if (!row) return nullptr;
    if (!decode_chunk(st.blob(0), st.bytes(0), entries_)) return damaged_chunk(dkey);
    for (const ChunkEntry &e : entries_) {
      std::string name(e.name);
      if (!decided.insert(name).second) continue;
      if (e.child.id) out[name] = e.child;
    }
  }
}

ostrel_error *SqliteSnapshot::list(View v, std::map<std::string, Child> &out) {
  std::set<std::string> decided;
  OSTREL_ERR(read());
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
      OSTREL_ERR(meta_.store.prepare(st,
                                     "SELECT name, child, kind FROM dirent WHERE dkey=?1 AND "
                                     "end_rev>?2 AND +start_rev<=?2"));
      st.bind(1, v.dkey).bind(2, v.asof);
      bool row;
      while (true) {
        OSTREL_ERR(st.step(&row));
        if (!row) break;
        std::string name = st.text(0);
        if (!decided.insert(name).second) continue;
        Child c = child_at(st, 1);
        if (c.id) out[name] = c;
      }
    }
    DirKey k;
    OSTREL_ERR(dirkey(v.dkey, k));
    if (k.chunked) OSTREL_ERR(chunk_list(v.dkey, decided, out));
    v = View{k.parent, k.parent_asof};
  }
  return nullptr;
}

ostrel_error *SqliteSnapshot::entries_since(View older, View newer,
                                            std::map<std::string, Child> &out) {
  if (older.dkey != newer.dkey || older.asof > newer.asof || !newer.dkey)
    return list(newer, out);
  OSTREL_ERR(read());
  Stmt st;
  // Rows begun after OLDER end after it too: format 3 finds them through
  // the index of rows by end, formats 1 and 2 through the one by start.
  OSTREL_ERR(meta_.store.prepare(st, meta_.format_ >= kFormatTrees
                                         ? "SELECT name, child, kind FROM dirent WHERE dkey=?1 AND "
                                           "end_rev>?2 AND +start_rev>?2 AND +start_rev<=?3 AND "
                                           "child IS NOT NULL"
                                         : "SELECT name, child, kind FROM dirent WHERE dkey=?1 AND "
                                           "start_rev>?2 AND start_rev<=?3 AND child IS NOT NULL"));
  st.bind(1, newer.dkey).bind(2, older.asof).bind(3, newer.asof);
  while (true) {
    bool row;
    OSTREL_ERR(st.step(&row));
    if (!row) break;
    out[st.text(0)] = child_at(st, 1);
  }
  return nullptr;
}

ostrel_error *SqliteSnapshot::changed_paths(ostrel_revnum rev, std::vector<ChangedPath> &out) {
  out.clear();
  OSTREL_ERR(read());
  Stmt st;
  if (meta_.format_ >= kFormatTrees) {
    OSTREL_ERR(meta_.store.prepare(st, "SELECT body FROM revchanges WHERE rev=?1"));
    st.bind(1, int64_t{rev});
    bool row;
    OSTREL_ERR(st.step(&row));
    if (row && !decode_changed_paths(st.blob(0), st.bytes(0), out))
      return ostrel_error_createf(OSTREL_ERR_FS_CORRUPT, nullptr,
                                  "Repository is damaged: the changed paths of revision %ld "
                                  "cannot be read",
                                  static_cast<long>(rev));
    return nullptr;
  }
  OSTREL_ERR(meta_.store.prepare(st, "SELECT path, change, node_kind, text_mod, prop_mod, "
                                     "copy_path, copy_rev FROM changed_path WHERE rev=?1"));
  st.bind(1, int64_t{rev});
  while (true) {
    bool row;
    OSTREL_ERR(st.step(&row));
    if (!row) return nullptr;
    out.push_back(changed_path_at(st, 0));
  }
}

ostrel_error *SqliteSnapshot::revision_props(ostrel_revnum rev,
                                             std::map<std::string, std::string> &out) {
  out.clear();
  OSTREL_ERR(read());
  Stmt st;
  OSTREL_ERR(meta_.store.prepare(st, "SELECT name, value FROM revprop WHERE rev=?1"));
  st.bind(1, int64_t{rev});
  while (true) {
    bool row;
    OSTREL_ERR(st.step(&row));
    if (!row) return nullptr;
    out[st.text(0)] = blob_of(st, 1);
  }
}

ostrel_error *SqliteSnapshot::node_origin(int64_t line, std::optional<ostrel_revnum> *rev) {
  OSTREL_ERR(read());
  Stmt st;
  OSTREL_ERR(meta_.store.prepare(st, "SELECT rev FROM node_origin WHERE line=?1"));
  st.bind(1, line);
  bool row;
  OSTREL_ERR(st.step(&row));
  *rev = row ? std::optional<ostrel_revnum>(static_cast<ostrel_revnum>(st.int64(0))) : std::nullopt;
  return nullptr;
}

ostrel_error *SqliteSnapshot::origin_counts(int64_t *lines, int64_t *recorded) {
  OSTREL_ERR(read());
  Stmt st;
  bool row;
  OSTREL_ERR(meta_.store.prepare(st, meta_.blocks()
                                         ? "SELECT coalesce(sum(lines), 0) FROM nodeblock"
                                         : "SELECT count(*) FROM node WHERE pred IS NULL"));
  OSTREL_ERR(st.step(&row));
  *lines = st.int64(0);
  OSTREL_ERR(meta_.store.prepare(st, "SELECT count(*) FROM node_origin"));
  OSTREL_ERR(st.step(&row));
  *recorded = st.int64(0);
  return nullptr;
}

ostrel_error *SqliteSnapshot::content(int64_t id, ContentRow &c, bool *found) {
  OSTREL_ERR(read());
  Stmt st;
  if (meta_.format_ == kFormatRecords)
    OSTREL_ERR(meta_.store.prepare(st, "SELECT sha, length, chunks, NULL, 0 FROM content "
                                       "WHERE id=?1"));
  else
    OSTREL_ERR(meta_.store.prepare(st, "SELECT sha, length, chunks, base, depth FROM "
                                       "content WHERE id=?1"));
  st.bind(1, id);
  bool row;
  OSTREL_ERR(st.step(&row));
  *found = row && !st.is_null(0);
  if (!*found) return nullptr;
  c.sha = meta_.format_ >= kFormatTrees ? sha_text(st, 0) : st.text(0);
  c.length = st.int64(1);
  c.chunks = st.int64(2);
  c.base = st.is_null(3) ? 0 : st.int64(3);
  c.depth = st.int64(4);
  c.legacy = meta_.format_ == kFormatRecords;
  return nullptr;
}

ostrel_error *SqliteSnapshot::content_by_sha(const std::string &sha, int64_t *id) {
  OSTREL_ERR(read());
  Stmt st;
  OSTREL_ERR(meta_.store.prepare(st, "SELECT id FROM content WHERE sha=?1 AND txn IS NULL "
                                     "LIMIT 1"));
  if (meta_.format_ >= kFormatTrees) {
    const std::string bytes = sha_bytes(sha);
    if (bytes.size() == 32) st.bind_blob(1, bytes.data(), bytes.size());
    else st.bind(1, sha);
  } else {
    st.bind(1, sha);
  }
  bool row;
  OSTREL_ERR(st.step(&row));
  *id = row ? st.int64(0) : 0;
  return nullptr;
}

ostrel_error *SqliteSnapshot::chunk(int64_t content, int64_t seq, ChunkRow &out, bool *found) {
  OSTREL_ERR(read());
  Stmt st;
  out = ChunkRow{};
  if (meta_.format_ == kFormatRecords) {
    // The bytes stay in the row: the reference names it, and the format-1
    // content store reads them by it.
    OSTREL_ERR(meta_.store.prepare(st, "SELECT raw_len FROM chunk WHERE content=?1 AND seq=?2"));
    st.bind(1, content).bind(2, seq);
    OSTREL_ERR(st.step(found));
    if (!*found) return nullptr;
    out.raw_len = st.int64(0);
    out.codec = 1;  // zstd frames
    out.ref.w[0] = content;
    out.ref.w[1] = seq;
    out.has_sum = false;
    return nullptr;
  }
  OSTREL_ERR(meta_.store.prepare(st, "SELECT raw_len, codec, pack, off, len, sum FROM pchunk "
                                     "WHERE content=?1 AND seq=?2"));
  st.bind(1, content).bind(2, seq);
  OSTREL_ERR(st.step(found));
  if (!*found) return nullptr;
  out.raw_len = st.int64(0);
  out.codec = st.int64(1);
  out.ref.w[0] = st.int64(2);
  out.ref.w[1] = st.int64(3);
  out.ref.w[2] = st.int64(4);
  out.sum = static_cast<uint64_t>(st.int64(5));
  return nullptr;
}

ostrel_error *SqliteSnapshot::store_marks(std::vector<StoreMark> *marks) {
  marks->clear();
  if (meta_.format_ == kFormatRecords) return nullptr;
  OSTREL_ERR(read());
  Stmt st;
  OSTREL_ERR(meta_.store.prepare(st, "SELECT id, end_off FROM pack ORDER BY id"));
  while (true) {
    bool row;
    OSTREL_ERR(st.step(&row));
    if (!row) return nullptr;
    marks->push_back(StoreMark{st.int64(0), st.int64(1)});
  }
}

class SqliteWriter : public Writer {
 public:
  SqliteWriter(SqliteMeta &meta, ostrel_revnum youngest)
      : meta_(meta), store_(meta.store), reads_(meta, youngest) {}
  ~SqliteWriter() override { rollback(); }

  Snapshot &reads() override { return reads_; }

  ostrel_error *add_txn(int64_t pid, ostrel_revnum base, int64_t *id) override {
    Stmt st;
    OSTREL_ERR(store_.prepare(st, "INSERT INTO txn(pid, base) VALUES(?1, ?2)"));
    st.bind(1, pid).bind(2, int64_t{base});
    OSTREL_ERR(st.run());
    *id = store_.last_insert_id();
    return nullptr;
  }

  ostrel_error *txns(std::map<int64_t, int64_t> &out) override {
    out.clear();
    Stmt st;
    OSTREL_ERR(store_.prepare(st, "SELECT id, pid FROM txn"));
    while (true) {
      bool row;
      OSTREL_ERR(st.step(&row));
      if (!row) return nullptr;
      out[st.int64(0)] = st.int64(1);
    }
  }

  ostrel_error *purge_txn(int64_t txn_id) override {
    // The bytes of a pack-format transaction are after its pack's mark;
    // its appender (or the pack's next writer) drops them.
    Stmt st;
    OSTREL_ERR(store_.prepare(st, meta_.format_ != kFormatRecords
                                      ? "DELETE FROM pchunk WHERE content IN "
                                        "(SELECT id FROM content WHERE txn=?1)"
                                      : "DELETE FROM chunk WHERE content IN "
                                        "(SELECT id FROM content WHERE txn=?1)"));
    st.bind(1, txn_id);
    OSTREL_ERR(st.run());
    OSTREL_ERR(store_.prepare(st, "DELETE FROM content WHERE txn=?1"));
    st.bind(1, txn_id);
    OSTREL_ERR(st.run());
    OSTREL_ERR(store_.prepare(st, "DELETE FROM txn WHERE id=?1"));
    st.bind(1, txn_id);
    return st.run();
  }

  ostrel_error *add_content(const ContentRow &row, const std::vector<ChunkRow> &chunks,
                            int64_t txn, int64_t *id) override {
    Stmt st;
    OSTREL_ERR(store_.prepare(st, "INSERT INTO content(sha, length, chunks, txn, base, depth) "
                                  "VALUES(?1, ?2, ?3, ?4, ?5, ?6)"));
    const std::string bytes = meta_.format_ >= kFormatTrees ? sha_bytes(row.sha) : row.sha;
    if (bytes.size() == 32) st.bind_blob(1, bytes.data(), bytes.size());
    else st.bind(1, row.sha);
    st.bind(2, row.length).bind(3, row.chunks);
    if (txn) st.bind(4, txn); else st.bind_null(4);
    if (row.base) st.bind(5, row.base); else st.bind_null(5);
    st.bind(6, row.depth);
    OSTREL_ERR(st.run());
    *id = store_.last_insert_id();
    const int64_t content = *id;
    return insert_rows(store_, "INSERT INTO pchunk(content, seq, raw_len, codec, pack, off, len, sum)",
                       8, chunks.size(), [&](Stmt &ins, size_t k, int p) {
                         const ChunkRow &c = chunks[k];
                         ins.bind(p, content).bind(p + 1, static_cast<int64_t>(k));
                         ins.bind(p + 2, c.raw_len).bind(p + 3, c.codec);
                         ins.bind(p + 4, c.ref.w[0]).bind(p + 5, c.ref.w[1]).bind(p + 6, c.ref.w[2]);
                         ins.bind(p + 7, static_cast<int64_t>(c.sum));
                       });
  }

  ostrel_error *content_any(int64_t id, ContentRow &out, int64_t *txn, bool *found) override {
    OSTREL_ERR(reads_.content(id, out, found));
    if (!*found) return nullptr;
    Stmt st;
    OSTREL_ERR(store_.prepare(st, "SELECT txn FROM content WHERE id=?1"));
    st.bind(1, id);
    bool row;
    OSTREL_ERR(st.step(&row));
    *txn = row && !st.is_null(0) ? st.int64(0) : 0;
    return nullptr;
  }

  ostrel_error *commit_content(int64_t id) override {
    Stmt st;
    OSTREL_ERR(store_.prepare(st, "UPDATE content SET txn=NULL WHERE id=?1"));
    st.bind(1, id);
    return st.run();
  }

  ostrel_error *store_mark(int64_t stream, int64_t *value) override {
    Stmt st;
    OSTREL_ERR(store_.prepare(st, "SELECT end_off FROM pack WHERE id=?1"));
    st.bind(1, stream);
    bool row;
    OSTREL_ERR(st.step(&row));
    *value = row ? st.int64(0) : 0;
    return nullptr;
  }

  ostrel_error *set_store_mark(const StoreMark &mark) override {
    Stmt st;
    OSTREL_ERR(store_.prepare(st, "INSERT OR REPLACE INTO pack(id, end_off) VALUES(?1, ?2)"));
    st.bind(1, mark.stream).bind(2, mark.value);
    return st.run();
  }

  ostrel_error *first_free_node_id(int64_t *id) override {
    Stmt st;
    bool row;
    if (meta_.blocks()) {
      OSTREL_ERR(store_.prepare(st, "SELECT first + count FROM nodeblock WHERE first="
                                    "(SELECT max(first) FROM nodeblock)"));
      OSTREL_ERR(st.step(&row));
      *id = row ? st.int64(0) : 1;
      return nullptr;
    }
    OSTREL_ERR(store_.prepare(st, "SELECT max(id) FROM node"));
    OSTREL_ERR(st.step(&row));
    *id = st.int64(0) + 1;
    return nullptr;
  }

  ostrel_error *add_nodes(const std::vector<NodeRow> &nodes) override {
    if (nodes.empty()) return nullptr;
    if (!first_node_ || nodes.front().id < first_node_) first_node_ = nodes.front().id;
    if (meta_.blocks()) return add_node_blocks(nodes);
    // Most nodes of a large commit are new files: a node that begins its
    // own line (nid and line are its id), has no predecessor, no copy
    // source and no directory view.  Those go in with four parameters a
    // row instead of twelve (binding was a third of the insert's cost);
    // the rest with every column.
    const ostrel_revnum rev = nodes.front().created_rev;
    std::vector<const NodeRow *> plain, other;
    plain.reserve(nodes.size());
    for (const NodeRow &n : nodes) {
      const bool is_plain = n.nid == n.id && n.line == n.id && !n.pred && !n.copy_path &&
                            !n.dir.dkey && n.created_rev == rev;
      (is_plain ? plain : other).push_back(&n);
    }
    static const std::string kInsert =
        "INSERT INTO node(id, kind, nid, pred, line, created_rev, copy_path, copy_rev, content, "
        "props, dkey, asof)";
    // A plain row: its id, kind, contents and properties; ?1 is REV.
    auto plain_sql = [](int p) {
      const std::string id = "?" + std::to_string(p);
      return "(" + id + ", ?" + std::to_string(p + 1) + ", " + id + ", NULL, " + id +
             ", ?1, NULL, NULL, ?" + std::to_string(p + 2) + ", ?" + std::to_string(p + 3) +
             ", NULL, NULL)";
    };
    OSTREL_ERR(insert_rows(
        store_, kInsert, 4, plain.size(),
        [&](Stmt &st, size_t k, int p) {
          const NodeRow &n = *plain[k];
          st.bind(p, n.id).bind(p + 1, n.kind);
          if (n.content) st.bind(p + 2, n.content); else st.bind_null(p + 2);
          st.bind_blob(p + 3, n.props.data(), n.props.size());
        },
        plain_sql, 1, [rev](Stmt &st) { st.bind(1, int64_t{rev}); }));
    return insert_rows(
        store_, kInsert, 12, other.size(), [&](Stmt &st, size_t k, int p) {
          const NodeRow &n = *other[k];
          st.bind(p, n.id).bind(p + 1, n.kind).bind(p + 2, n.nid);
          if (n.pred) st.bind(p + 3, n.pred); else st.bind_null(p + 3);
          st.bind(p + 4, n.line).bind(p + 5, int64_t{n.created_rev});
          if (n.copy_path) st.bind(p + 6, *n.copy_path).bind(p + 7, int64_t{n.copy_rev});
          else st.bind_null(p + 6).bind_null(p + 7);
          if (n.content) st.bind(p + 8, n.content); else st.bind_null(p + 8);
          st.bind_blob(p + 9, n.props.data(), n.props.size());
          if (n.dir.dkey) st.bind(p + 10, n.dir.dkey).bind(p + 11, n.dir.asof);
          else st.bind_null(p + 10).bind_null(p + 11);
        });
  }

  ostrel_error *write_dir(View from, const std::vector<DirChange> &rows, ostrel_revnum rev,
                          View *made) override {
    if (rows.empty()) {
      *made = from;
      return nullptr;
    }
    Stmt st;
    int64_t key;
    bool has_parent;
    bool fresh = false;  // a key made here has no rows to end
    DirKey k;
    if (from.dkey) OSTREL_ERR(reads_.dirkey(from.dkey, k));
    const bool trees = meta_.format_ >= kFormatTrees;
    // Format 3: a new key keeps its changes as chunks; a bulk write forks
    // one even from the head of its key, while forks are not too deep.
    if (trees && (!from.dkey || k.head_asof != from.asof ||
                  (rows.size() >= kBulkEntries && k.depth < kMaxForkDepth)))
      return write_chunked_key(from, k, rows, rev, made);
    if (from.dkey && k.head_asof == from.asof) {
      // FROM is the newest state of its key: extend the key.
      key = from.dkey;
      has_parent = k.parent != 0 || k.chunked;
      OSTREL_ERR(store_.prepare(st, "UPDATE dirkey SET head_asof=?1 WHERE id=?2"));
      st.bind(1, int64_t{rev}).bind(2, key);
      OSTREL_ERR(st.run());
    } else {
      // A new directory, or an older state of a key: start a key (forked
      // from FROM when there is one).
      OSTREL_ERR(store_.prepare(st, "INSERT INTO dirkey(parent, parent_asof, head_asof) "
                                    "VALUES(?1, ?2, ?3)"));
      if (from.dkey) st.bind(1, from.dkey).bind(2, from.asof);
      else st.bind_null(1).bind_null(2);
      st.bind(3, int64_t{rev});
      OSTREL_ERR(st.run());
      key = store_.last_insert_id();
      has_parent = from.dkey != 0;
      fresh = true;
    }
    // Every live row of a changed name ends first, then the new rows go in
    // (the names are distinct, so this is the same as name by name).
    std::vector<const DirChange *> inserts;
    for (auto &row : rows) {
      if (!fresh) {
        // The unary plus keeps the planner on the primary key (dkey, name):
        // on the index (dkey, end_rev) this scans every live entry of the
        // directory per row, which made adding N entries cost N squared.
        OSTREL_ERR(store_.prepare(st, "UPDATE dirent SET end_rev=?1 WHERE dkey=?2 AND name=?3 "
                                      "AND +end_rev>?1"));
        st.bind(1, int64_t{rev}).bind(2, key).bind(3, row.name);
        OSTREL_ERR(st.run());
      }
      if (row.child || has_parent) inserts.push_back(&row);
    }
    OSTREL_ERR(insert_rows(
        store_, "INSERT INTO dirent(dkey, name, start_rev, end_rev, child, kind)", 6,
        inserts.size(), [&](Stmt &ins, size_t n, int p) {
          const DirChange &change = *inserts[n];
          ins.bind(p, key).bind(p + 1, change.name).bind(p + 2, int64_t{rev}).bind(p + 3, kForever);
          if (change.child) ins.bind(p + 4, change.child).bind(p + 5, change.kind);
          else ins.bind_null(p + 4).bind_null(p + 5);  // tombstone: hides the parent view's entry
        }));
    *made = View{key, rev};
    return nullptr;
  }

  ostrel_error *add_changed_paths(ostrel_revnum rev,
                                  const std::vector<ChangedPath> &paths) override {
    if (meta_.format_ >= kFormatTrees) {
      if (paths.empty()) return nullptr;
      const std::string body = encode_changed_paths(paths);
      Stmt st;
      OSTREL_ERR(store_.prepare(st, "INSERT INTO revchanges(rev, body) VALUES(?1, ?2)"));
      st.bind(1, int64_t{rev}).bind_blob(2, body.data(), body.size());
      return st.run();
    }
    return insert_rows(store_, "INSERT INTO changed_path(rev, path, change, node_kind, text_mod, "
                               "prop_mod, copy_path, copy_rev)", 8, paths.size(),
                       [&](Stmt &ins, size_t k, int p) {
                         const ChangedPath &ch = paths[k];
                         ins.bind(p, int64_t{rev}).bind(p + 1, ch.path);
                         ins.bind(p + 2, ch.change).bind(p + 3, ch.node_kind);
                         ins.bind(p + 4, ch.text_mod).bind(p + 5, ch.prop_mod);
                         if (ch.copy_path) ins.bind(p + 6, *ch.copy_path);
                         else ins.bind_null(p + 6);
                         if (ch.copy_rev) ins.bind(p + 7, *ch.copy_rev);
                         else ins.bind_null(p + 7);
                       });
  }

  ostrel_error *add_revision(ostrel_revnum rev, int64_t root,
                             const std::map<std::string, std::string> &props) override {
    Stmt st;
    if (meta_.format_ >= kFormatTrees) {
      int64_t first = 0;
      OSTREL_ERR(first_free_node_id(&first));  // the nodes of REV are in by now
      if (first_node_) first = first_node_;
      OSTREL_ERR(store_.prepare(st, "INSERT INTO revision(rev, root, first_node) "
                                    "VALUES(?1, ?2, ?3)"));
      st.bind(1, int64_t{rev}).bind(2, root).bind(3, first);
    } else {
      OSTREL_ERR(store_.prepare(st, "INSERT INTO revision(rev, root) VALUES(?1, ?2)"));
      st.bind(1, int64_t{rev}).bind(2, root);
    }
    OSTREL_ERR(st.run());
    for (auto &[name, value] : props) {
      OSTREL_ERR(store_.prepare(st, "INSERT INTO revprop(rev, name, value) VALUES(?1, ?2, ?3)"));
      st.bind(1, int64_t{rev}).bind(2, name).bind_blob(3, value.data(), value.size());
      OSTREL_ERR(st.run());
    }
    reads_.set_youngest(rev);
    added_revision_ = true;
    return nullptr;
  }

  ostrel_error *set_revision_prop(ostrel_revnum rev, const std::string &name,
                                  const std::optional<std::string> &value) override {
    Stmt st;
    OSTREL_ERR(store_.prepare(st, "SELECT 1 FROM revision WHERE rev=?1"));
    st.bind(1, int64_t{rev});
    bool row;
    OSTREL_ERR(st.step(&row));
    if (!row)
      return ostrel_error_createf(OSTREL_ERR_FS_NO_SUCH_REVISION, nullptr, "No such revision %ld",
                                  static_cast<long>(rev));
    if (value) {
      OSTREL_ERR(store_.prepare(st, "INSERT OR REPLACE INTO revprop(rev, name, value) "
                                    "VALUES(?1, ?2, ?3)"));
      st.bind(1, int64_t{rev}).bind(2, name).bind_blob(3, value->data(), value->size());
    } else {
      OSTREL_ERR(store_.prepare(st, "DELETE FROM revprop WHERE rev=?1 AND name=?2"));
      st.bind(1, int64_t{rev}).bind(2, name);
    }
    return st.run();
  }

  ostrel_error *add_origins(const std::map<int64_t, ostrel_revnum> &lines,
                            const std::vector<ostrel_revnum> &revs) override {
    Stmt st;
    for (auto &[line, rev] : lines) {
      OSTREL_ERR(store_.prepare(st, "INSERT OR IGNORE INTO node_origin(line, rev) VALUES(?1, ?2)"));
      st.bind(1, line).bind(2, int64_t{rev});
      OSTREL_ERR(st.run());
    }
    if (meta_.blocks()) {
      for (ostrel_revnum rev : revs) OSTREL_ERR(add_block_origins(rev));
      return nullptr;
    }
    for (ostrel_revnum rev : revs) {
      // Format 3 has no index of lines: the nodes of REV are a range of ids.
      OSTREL_ERR(store_.prepare(
          st, meta_.format_ >= kFormatTrees
                  ? "INSERT OR IGNORE INTO node_origin(line, rev) SELECT id, created_rev FROM node "
                    "WHERE id>=(SELECT first_node FROM revision WHERE rev=?1) AND id<coalesce("
                    "(SELECT first_node FROM revision WHERE rev=?1+1), 4611686018427387904) "
                    "AND created_rev=?1 AND pred IS NULL"
                  : "INSERT OR IGNORE INTO node_origin(line, rev) SELECT id, created_rev FROM node "
                    "WHERE created_rev=?1 AND pred IS NULL"));
      st.bind(1, int64_t{rev});
      OSTREL_ERR(st.run());
    }
    return nullptr;
  }

  ostrel_error *commit() override {
    if (done_)
      return ostrel_error_create(OSTREL_ERR_MALFUNCTION, nullptr, "A writer was committed twice");
    done_ = true;
    ostrel_error *err = store_.commit();
    if (err) {
      ++meta_.node_epoch;  // what it wrote may be gone
      return err;
    }
    // A test may pretend the commit point of a revision failed after
    // COMMIT ran: the commit then happened, and the handle cannot know it.
    ostrel_error *fault = added_revision_ ? fault_point("commit-point") : nullptr;
    if (fault) {
      std::string why = fault->message ? fault->message : "an injected fault";
      ostrel_error_clear(fault);
      return store_.uncertain(why.c_str());
    }
    return nullptr;
  }

  void rollback() override {
    if (done_) return;
    done_ = true;
    store_.rollback();
    ++meta_.node_epoch;  // its blocks are gone, their ids free again
  }

  // Runs SQL of this folder inside the writer (format 1 and the upgrade).
  Store &store() { return store_; }
  SqliteMeta &meta() { return meta_; }

 private:
  SqliteMeta &meta_;
  Store &store_;
  SqliteSnapshot reads_;
  bool done_ = false;
  bool added_revision_ = false;
  int64_t first_node_ = 0;  // the smallest node id this writer added
  int64_t blocks_end_ = 0;  // format 5: the id after the last block, once known

  // Format 5: NODES as blocks.  A block must begin after every block there
  // is, or lookups of the ids it shares with an older one would find either.
  ostrel_error *add_node_blocks(const std::vector<NodeRow> &nodes) {
    std::vector<NodeBlock> blocks;
    pack_node_blocks(nodes, blocks);
    if (!blocks_end_) OSTREL_ERR(first_free_node_id(&blocks_end_));
    for (const NodeBlock &b : blocks) {
      if (b.first < blocks_end_)
        return ostrel_error_createf(OSTREL_ERR_MALFUNCTION, nullptr,
                                    "Node %lld is added again (the next free node is %lld)",
                                    static_cast<long long>(b.first),
                                    static_cast<long long>(blocks_end_));
      blocks_end_ = b.first + b.count;
    }
    return insert_rows(store_, "INSERT INTO nodeblock(first, count, lines, body)", 4,
                       blocks.size(), [&](Stmt &st, size_t k, int p) {
                         const NodeBlock &b = blocks[k];
                         st.bind(p, b.first).bind(p + 1, b.count).bind(p + 2, b.lines);
                         st.bind_blob(p + 3, b.body.data(), b.body.size());
                       });
  }

  // Format 5: the origins of the lines begun in REV, from the blocks of
  // its range of ids (FORMAT 3: first_node).
  ostrel_error *add_block_origins(ostrel_revnum rev) {
    Stmt st;
    bool row;
    int64_t bounds[2] = {0, kForever};  // the ids of REV and of REV + 1
    for (int k = 0; k < 2; ++k) {
      OSTREL_ERR(store_.prepare(st, "SELECT first_node FROM revision WHERE rev=?1"));
      OSTREL_ERR(st.bind(1, int64_t{rev} + k).step(&row));
      if (row) bounds[k] = st.int64(0);
      else if (k == 0) return nullptr;
    }
    const int64_t lo = bounds[0], hi = bounds[1];
    std::vector<int64_t> begun;
    OSTREL_ERR(store_.prepare(st, "SELECT first, count, body FROM nodeblock WHERE first>=coalesce("
                                  "(SELECT first FROM nodeblock WHERE first<=?1 ORDER BY first "
                                  "DESC LIMIT 1), ?1) AND first<?2 ORDER BY first"));
    st.bind(1, lo).bind(2, hi);
    NodeBlockView view;
    std::vector<NodeRow> nodes;
    while (true) {
      OSTREL_ERR(st.step(&row));
      if (!row) break;
      const int64_t first = st.int64(0);
      if (!view.open(st.blob(2), st.bytes(2), first, st.int64(1)) || !view.all(nodes))
        return ostrel_error_createf(OSTREL_ERR_FS_CORRUPT, nullptr,
                                    "Repository is damaged: the block of nodes from %lld cannot "
                                    "be read",
                                    static_cast<long long>(first));
      for (const NodeRow &n : nodes)
        if (n.id >= lo && n.id < hi && n.created_rev == rev && !n.pred) begun.push_back(n.id);
    }
    return insert_rows(store_, "INSERT OR IGNORE INTO node_origin(line, rev)", 1, begun.size(),
                       [&](Stmt &ins, size_t k, int p) { ins.bind(p, begun[k]); },
                       [](int p) { return "(?" + std::to_string(p) + ", ?1)"; }, 1,
                       [rev](Stmt &ins) { ins.bind(1, int64_t{rev}); });
  }

  // A new key for the version FROM (key K) with CHANGES, kept as chunks
  // (FORMAT 3).  Without FROM the key has no parent, and deletions need no
  // tombstone.
  ostrel_error *write_chunked_key(View from, const DirKey &k, const std::vector<DirChange> &changes,
                                  ostrel_revnum rev, View *made) {
    Stmt st;
    OSTREL_ERR(store_.prepare(st, "INSERT INTO dirkey(parent, parent_asof, head_asof, chunked, "
                                  "depth) VALUES(?1, ?2, ?3, 1, ?4)"));
    if (from.dkey) st.bind(1, from.dkey).bind(2, from.asof).bind(4, k.depth + 1);
    else st.bind_null(1).bind_null(2).bind(4, int64_t{0});
    st.bind(3, int64_t{rev});
    OSTREL_ERR(st.run());
    const int64_t key = store_.last_insert_id();
    std::vector<const DirChange *> sorted;
    sorted.reserve(changes.size());
    for (const DirChange &c : changes)
      if (c.child || from.dkey) sorted.push_back(&c);
    std::sort(sorted.begin(), sorted.end(),
              [](const DirChange *a, const DirChange *b) { return a->name < b->name; });
    for (size_t i = 1; i < sorted.size(); ++i)
      if (sorted[i - 1]->name == sorted[i]->name)  // would read back as damage
        return ostrel_error_createf(OSTREL_ERR_MALFUNCTION, nullptr,
                                    "Directory change names '%s' twice", sorted[i]->name.c_str());
    std::string body;
    for (size_t i = 0; i < sorted.size(); i += kChunkEntries) {
      const size_t end = std::min(sorted.size(), i + kChunkEntries);
      body.clear();
      for (size_t j = i; j < end; ++j) {
        append_chunk_entry(body, sorted[j]->name, Child{sorted[j]->child, sorted[j]->kind});
      }
      OSTREL_ERR(store_.prepare(st, "INSERT INTO dirchunk(dkey, first, body) VALUES(?1, ?2, ?3)"));
      st.bind(1, key).bind(2, sorted[i]->name).bind_blob(3, body.data(), body.size());
      OSTREL_ERR(st.run());
    }
    *made = View{key, rev};
    return nullptr;
  }
};

ostrel_error *SqliteMeta::begin_writer(bool durable, std::unique_ptr<Writer> *out) {
  OSTREL_ERR(store.begin_write(durable));
  ostrel_revnum y = 0;
  ostrel_error *err = youngest(&y);
  if (err) {
    store.rollback();
    return err;
  }
  *out = std::make_unique<SqliteWriter>(*this, y);
  return nullptr;
}

ostrel_error *sqlite_error(sqlite3 *db, int rc, const char *what, const std::string &path) {
  return ostrel_error_createf((rc & 0xff) == SQLITE_FULL ? OSTREL_ERR_FS_FULL
                              : (rc & 0xff) == SQLITE_BUSY ? OSTREL_ERR_FS_BUSY
                              : (rc & 0xff) == SQLITE_CORRUPT || (rc & 0xff) == SQLITE_NOTADB
                                  ? OSTREL_ERR_FS_CORRUPT
                                  : OSTREL_ERR_FS_GENERAL,
                              nullptr, "Can't %s '%s': %s", what, path.c_str(),
                              db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
}

// Copies the database as one snapshot, with SQLite's online backup in one
// step.  Stepping page by page would let every commit made meanwhile restart
// the copy from the start, so a busy repository might never be copied; one
// step reads every page inside one read transaction, which in WAL mode sees
// one snapshot and never blocks a committer.
ostrel_error *SqliteMeta::backup(const std::string &dst_db) {
  sqlite3 *src = nullptr, *dst = nullptr;
  ostrel_error *err = nullptr;
  int rc = sqlite3_open_v2(path.c_str(), &src, SQLITE_OPEN_READONLY, nullptr);
  if (rc != SQLITE_OK) {
    err = sqlite_error(src, rc, "open the database", path);
  } else {
    sqlite3_busy_timeout(src, 10000);
    rc = sqlite3_open_v2(dst_db.c_str(), &dst, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    if (rc != SQLITE_OK) err = sqlite_error(dst, rc, "create the database", dst_db);
  }
  if (!err) {
    sqlite3_backup *backup = sqlite3_backup_init(dst, "main", src, "main");
    if (!backup) {
      err = sqlite_error(dst, SQLITE_ERROR, "start copying into", dst_db);
    } else {
      rc = sqlite3_backup_step(backup, -1);
      int finish = sqlite3_backup_finish(backup);
      if (rc != SQLITE_DONE)
        err = sqlite_error(nullptr, rc, "copy the database", path);
      else if (finish != SQLITE_OK)
        err = sqlite_error(dst, finish, "finish the copy into", dst_db);
    }
  }
  // The copy must be whole on disk before anything relies on it.
  if (!err && (rc = sqlite3_exec(dst, "PRAGMA synchronous=FULL; PRAGMA wal_checkpoint(TRUNCATE);",
                                 nullptr, nullptr, nullptr)) != SQLITE_OK)
    err = sqlite_error(dst, rc, "sync the copy", dst_db);
  sqlite3_close_v2(src);
  if (dst && sqlite3_close_v2(dst) != SQLITE_OK && !err)
    err = sqlite_error(nullptr, SQLITE_ERROR, "close the copy", dst_db);
  if (err) std::remove(dst_db.c_str());
  return err;
}

// The format-1 content store: a reference is (content, seq) of a chunk row.
class RecordContents : public ContentStore {
 public:
  explicit RecordContents(SqliteMeta &meta) : meta_(meta) {}
  ostrel_error *open_appender(std::unique_ptr<Appender> *, const MarkReader &) override {
    return ostrel_error_create(OSTREL_ERR_MALFUNCTION, nullptr,
                               "Format-1 contents are stored by record_upload");
  }
  ostrel_error *read(const ContentRef &ref, std::string &out) override {
    OSTREL_ERR(meta_.begin_read());
    Stmt st;
    OSTREL_ERR(meta_.store.prepare(st, "SELECT data FROM chunk WHERE content=?1 AND seq=?2"));
    st.bind(1, ref.w[0]).bind(2, ref.w[1]);
    bool row;
    OSTREL_ERR(st.step(&row));
    if (!row)
      return ostrel_error_createf(OSTREL_ERR_FS_CORRUPT, nullptr,
                                  "Repository is damaged: chunk %lld of contents %lld is missing",
                                  static_cast<long long>(ref.w[1]),
                                  static_cast<long long>(ref.w[0]));
    out = blob_of(st, 0);
    return nullptr;
  }
  ostrel_error *copy_to(const std::string &, const MarkList &) override {
    return nullptr;  // the database copy holds them
  }

 private:
  SqliteMeta &meta_;
};

}  // namespace

ostrel_error *open_sqlite_meta(const std::string &db_path, bool create, int busy_ms,
                               const std::string &date, std::unique_ptr<MetaStore> *out,
                               int format) {
  if (create && format == 0) format = kFormatBlocks;
  if (create && format != kFormatPacks && format != kFormatTrees && format != kFormatBlocks)
    return ostrel_error_createf(OSTREL_ERR_FS_BAD_FORMAT, nullptr,
                                "Cannot create a repository database of format %d; this build "
                                "creates formats %d, %d and %d",
                                format, kFormatPacks, kFormatTrees, kFormatBlocks);
  auto meta = std::make_unique<SqliteMeta>();
  meta->path = db_path;
  OSTREL_ERR(meta->store.open(db_path, create, busy_ms));
  Store &store = meta->store;
  if (create) {
    // Format 3 pages are 2 KiB: a repository of a few hundred revisions
    // has a score of tables of one or two pages each, and halving them took
    // a sixth off its size; a bulk commit costs the same (measured with the
    // storage benchmarks).  The page size of a database is fixed once it is
    // in WAL mode, so an upgraded one keeps the size it had.
    if (format >= kFormatTrees) OSTREL_ERR(store.exec("PRAGMA page_size=2048"));
    OSTREL_ERR(store.exec("PRAGMA journal_mode=WAL"));
    OSTREL_ERR(store.begin_write(true));
    ostrel_error *err = [&]() -> ostrel_error * {
      OSTREL_ERR(store.exec(format == kFormatBlocks  ? kSchema5
                            : format == kFormatTrees ? kSchema3
                                                     : kSchema2));
      Stmt st;
      OSTREL_ERR(store.prepare(st, "INSERT INTO meta(key, value) VALUES('format', ?1)"));
      st.bind(1, std::to_string(format));
      OSTREL_ERR(st.run());
      OSTREL_ERR(store.exec(format >= kFormatTrees
                                ? "INSERT INTO revision(rev, root, first_node) VALUES(0, 1, 1);"
                                : "INSERT INTO revision(rev, root) VALUES(0, 1);"));
      if (format == kFormatBlocks) {
        NodeRow root;
        root.id = root.nid = root.line = 1;
        root.kind = ostrel_node_dir;
        root.created_rev = 0;
        const std::string body = encode_node_block(&root, 1, 0);
        OSTREL_ERR(store.prepare(st, "INSERT INTO nodeblock(first, count, lines, body) "
                                     "VALUES(1, 1, 1, ?1)"));
        OSTREL_ERR(st.bind_blob(1, body.data(), body.size()).run());
      } else {
        OSTREL_ERR(store.exec("INSERT INTO node(id, kind, nid, pred, line, created_rev, props) "
                              "VALUES(1, 2, 1, NULL, 1, 0, x'');"));
      }
      // The root directory's line of history began with the repository; no
      // commit ever starts it, so its origin is known from creation.
      OSTREL_ERR(store.exec("INSERT INTO node_origin(line, rev) VALUES(1, 0);"));
      OSTREL_ERR(store.prepare(st, "INSERT INTO revprop(rev, name, value) VALUES(0, ?1, ?2)"));
      st.bind(1, std::string(OSTREL_PROP_REVISION_DATE)).bind_blob(2, date.data(), date.size());
      return st.run();
    }();
    if (err) {
      store.rollback();
      return err;
    }
    OSTREL_ERR(store.commit());
    meta->format_ = format;
  } else {
    Stmt st;
    bool row;
    // SQLite takes an empty (for instance truncated) file for an empty
    // database; without this check the first query would fail with a
    // message about a missing table.
    OSTREL_ERR(store.prepare(st, "SELECT 1 FROM sqlite_master WHERE type='table' AND name='meta'"));
    OSTREL_ERR(st.step(&row));
    if (!row)
      return ostrel_error_createf(OSTREL_ERR_FS_CORRUPT, nullptr,
                                  "Repository database '%s' is damaged: it is empty or holds no "
                                  "repository tables",
                                  db_path.c_str());
    OSTREL_ERR(store.prepare(st, "SELECT value FROM meta WHERE key='format'"));
    OSTREL_ERR(st.step(&row));
    if (!row)
      return ostrel_error_createf(OSTREL_ERR_FS_CORRUPT, nullptr,
                                  "Repository database '%s' has no format record", db_path.c_str());
    std::string format = st.text(0);
    if (format == std::to_string(kFormatRecords))
      meta->format_ = kFormatRecords;
    else if (format == std::to_string(kFormatPacks))
      meta->format_ = kFormatPacks;
    else if (format == std::to_string(kFormatTrees))
      meta->format_ = kFormatTrees;
    else if (format == std::to_string(kFormatBlocks))
      meta->format_ = kFormatBlocks;
    else
      return ostrel_error_createf(OSTREL_ERR_FS_BAD_FORMAT, nullptr,
                                  "Repository database '%s' has format '%s'; this build reads "
                                  "formats %d to %d and %d",
                                  db_path.c_str(), format.c_str(), kFormatRecords, kFormatTrees,
                                  kFormatBlocks);
  }
  *out = std::move(meta);
  return nullptr;
}

std::unique_ptr<ContentStore> make_record_contents(MetaStore &meta) {
  return std::make_unique<RecordContents>(static_cast<SqliteMeta &>(meta));
}

ostrel_error *record_upload(MetaStore &meta_store, int64_t txn, int64_t *content, int64_t seq,
                            const std::string *stored, int64_t raw_len, const RecordFinal *final) {
  auto &meta = static_cast<SqliteMeta &>(meta_store);
  std::unique_ptr<Writer> writer;
  OSTREL_ERR(meta.begin_writer(false, &writer));
  Store &store = meta.store;
  ostrel_error *err = [&]() -> ostrel_error * {
    Stmt st;
    if (!*content) {
      OSTREL_ERR(store.prepare(st, "INSERT INTO content(sha, length, chunks, txn) "
                                   "VALUES(NULL, 0, 0, ?1)"));
      st.bind(1, txn);
      OSTREL_ERR(st.run());
      *content = store.last_insert_id();
    }
    if (stored) {
      OSTREL_ERR(store.prepare(st, "INSERT INTO chunk(content, seq, raw_len, data) "
                                   "VALUES(?1, ?2, ?3, ?4)"));
      st.bind(1, *content).bind(2, seq).bind(3, raw_len);
      st.bind_blob(4, stored->data(), stored->size());
      OSTREL_ERR(st.run());
    }
    if (final) {
      OSTREL_ERR(store.prepare(st, "UPDATE content SET sha=?1, length=?2, chunks=?3 WHERE id=?4"));
      st.bind(1, final->sha).bind(2, final->length).bind(3, final->chunks).bind(4, *content);
      OSTREL_ERR(st.run());
    }
    return nullptr;
  }();
  if (err) {
    writer->rollback();
    return err;
  }
  return writer->commit();
}

namespace {

// Inside the upgrade's writer: format 1's chunk rows into the content store
// (format 2).
ostrel_error *records_to_packs(Store &store, Writer &writer, ContentStore &packs,
                               const UpgradeSteps &steps) {
  OSTREL_ERR(store.exec("ALTER TABLE content ADD COLUMN base INTEGER;"
                        "ALTER TABLE content ADD COLUMN depth INTEGER NOT NULL DEFAULT 0;"
                        PACK_TABLES));
  std::unique_ptr<Appender> appender;
  OSTREL_ERR(packs.open_appender(&appender, [&writer](int64_t stream, int64_t *value) {
    return writer.store_mark(stream, value);
  }));
  Stmt rows, ins;
  OSTREL_ERR(store.prepare(rows, "SELECT c.id, k.seq, k.raw_len, k.data FROM content c JOIN chunk k "
                                 "ON k.content=c.id ORDER BY c.id, k.seq"));
  std::string raw, stored;
  while (true) {
    bool row;
    OSTREL_ERR(rows.step(&row));
    if (!row) break;
    const int64_t id = rows.int64(0), seq = rows.int64(1);
    OSTREL_ERR(steps.decode(id, seq, blob_of(rows, 3), rows.int64(2), raw));
    ChunkRow c;
    OSTREL_ERR(steps.encode(raw, &c, stored));
    OSTREL_ERR(appender->append(stored.data(), stored.size(), &c.ref));
    OSTREL_ERR(store.prepare(ins, "INSERT INTO pchunk(content, seq, raw_len, codec, pack, off, "
                                  "len, sum) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)"));
    ins.bind(1, id).bind(2, seq).bind(3, c.raw_len).bind(4, c.codec);
    ins.bind(5, c.ref.w[0]).bind(6, c.ref.w[1]).bind(7, c.ref.w[2]);
    ins.bind(8, static_cast<int64_t>(c.sum));
    OSTREL_ERR(ins.run());
  }
  OSTREL_ERR(appender->sync());
  if (appender->wrote()) OSTREL_ERR(writer.set_store_mark(appender->mark()));
  return store.exec("DROP TABLE chunk");
}

// Inside the upgrade's writer: format 2 into format 3.  Directory rows stay
// as they are (their keys have no chunks); changed paths become one row per
// revision; revisions learn their first node; the indexes format 3 does
// without go.
ostrel_error *packs_to_trees(Store &store) {
  OSTREL_ERR(store.exec(FORMAT3_TABLES
                        "ALTER TABLE dirkey ADD COLUMN chunked INTEGER NOT NULL DEFAULT 0;"
                        "ALTER TABLE dirkey ADD COLUMN depth INTEGER NOT NULL DEFAULT 0;"
                        "ALTER TABLE revision ADD COLUMN first_node INTEGER;"
                        "DROP INDEX dirent_by_start;"));
  Stmt rows, ins;
  OSTREL_ERR(store.prepare(rows, "SELECT rev, path, change, node_kind, text_mod, prop_mod, "
                                 "copy_path, copy_rev FROM changed_path ORDER BY rev, path"));
  std::vector<ChangedPath> paths;
  int64_t rev = -1;
  auto flush = [&]() -> ostrel_error * {
    if (paths.empty()) return nullptr;
    const std::string body = encode_changed_paths(paths);
    OSTREL_ERR(store.prepare(ins, "INSERT INTO revchanges(rev, body) VALUES(?1, ?2)"));
    ins.bind(1, rev).bind_blob(2, body.data(), body.size());
    paths.clear();
    return ins.run();
  };
  while (true) {
    bool row;
    OSTREL_ERR(rows.step(&row));
    if (!row) break;
    if (rows.int64(0) != rev) {
      OSTREL_ERR(flush());
      rev = rows.int64(0);
    }
    paths.push_back(changed_path_at(rows, 1));
  }
  OSTREL_ERR(flush());
  // The first node of each revision: the smallest id made in it, or for a
  // revision that made none, the first node of the next one (the next free
  // id after the youngest).
  std::map<int64_t, int64_t> first;
  OSTREL_ERR(store.prepare(rows, "SELECT created_rev, min(id) FROM node GROUP BY created_rev"));
  while (true) {
    bool row;
    OSTREL_ERR(rows.step(&row));
    if (!row) break;
    first[rows.int64(0)] = rows.int64(1);
  }
  OSTREL_ERR(store.prepare(rows, "SELECT max(id) FROM node"));
  bool row;
  OSTREL_ERR(rows.step(&row));
  int64_t next = rows.int64(0) + 1;
  std::vector<int64_t> revs;
  OSTREL_ERR(store.prepare(rows, "SELECT rev FROM revision ORDER BY rev DESC"));
  while (true) {
    OSTREL_ERR(rows.step(&row));
    if (!row) break;
    revs.push_back(rows.int64(0));
  }
  for (int64_t r : revs) {
    auto it = first.find(r);
    if (it != first.end()) next = it->second;
    OSTREL_ERR(store.prepare(ins, "UPDATE revision SET first_node=?1 WHERE rev=?2"));
    ins.bind(1, next).bind(2, r);
    OSTREL_ERR(ins.run());
  }
  // SHA-256s as bytes.
  std::vector<std::pair<int64_t, std::string>> shas;
  OSTREL_ERR(store.prepare(rows, "SELECT id, sha FROM content WHERE sha IS NOT NULL"));
  while (true) {
    OSTREL_ERR(rows.step(&row));
    if (!row) break;
    shas.emplace_back(rows.int64(0), sha_bytes(rows.text(1)));
  }
  for (auto &[id, bytes] : shas) {
    if (bytes.size() != 32) continue;  // no SHA-256: verify will say so
    OSTREL_ERR(store.prepare(ins, "UPDATE content SET sha=?1 WHERE id=?2"));
    ins.bind_blob(1, bytes.data(), bytes.size()).bind(2, id);
    OSTREL_ERR(ins.run());
  }
  return store.exec("DROP TABLE changed_path; DROP INDEX node_line_starts;");
}

// Inside the upgrade's writer: format 3 into format 5.  The node rows
// become blocks, one run of ids of one revision after another, as the
// commits of format 5 would have written them.
ostrel_error *trees_to_blocks(Store &store) {
  OSTREL_ERR(store.exec(NODEBLOCK_TABLE));
  Stmt rows, ins;
  OSTREL_ERR(store.prepare(rows, "SELECT id, kind, nid, pred, line, created_rev, copy_path, "
                                 "copy_rev, content, props, dkey, asof FROM node ORDER BY id"));
  std::vector<NodeRow> run;
  std::vector<NodeBlock> blocks;
  auto flush = [&]() -> ostrel_error * {
    blocks.clear();
    pack_node_blocks(run, blocks);
    run.clear();
    for (const NodeBlock &b : blocks) {
      OSTREL_ERR(store.prepare(ins, "INSERT INTO nodeblock(first, count, lines, body) "
                                    "VALUES(?1, ?2, ?3, ?4)"));
      ins.bind(1, b.first).bind(2, b.count).bind(3, b.lines);
      OSTREL_ERR(ins.bind_blob(4, b.body.data(), b.body.size()).run());
    }
    return nullptr;
  };
  while (true) {
    bool row;
    OSTREL_ERR(rows.step(&row));
    if (!row) break;
    NodeRow n = node_at(rows);
    if (!run.empty() && (n.created_rev != run.front().created_rev || run.size() >= 1024))
      OSTREL_ERR(flush());
    run.push_back(std::move(n));
  }
  OSTREL_ERR(flush());
  return store.exec("DROP TABLE node");
}

}  // namespace

ostrel_error *upgrade_records(MetaStore &meta_store, ContentStore &packs, const UpgradeSteps &steps,
                              int *old_format) {
  auto &meta = static_cast<SqliteMeta &>(meta_store);
  *old_format = meta.format_;
  if (meta.format_ == kFormatBlocks) return nullptr;
  Store &store = meta.store;
  // One write transaction: a crash leaves the old database as it was (and
  // at most unreferenced bytes in a pack, which its next writer drops).
  std::unique_ptr<Writer> writer;
  OSTREL_ERR(meta.begin_writer(true, &writer));
  ostrel_error *err = [&]() -> ostrel_error * {
    // Transactions in flight would be left with contents in the old place.
    std::map<int64_t, int64_t> open;
    OSTREL_ERR(writer->txns(open));
    for (auto &[id, pid] : open)
      if (!steps.process_alive(pid)) OSTREL_ERR(writer->purge_txn(id));
    OSTREL_ERR(writer->txns(open));
    for (auto &[id, pid] : open)
      if (steps.process_alive(pid))
        return ostrel_error_createf(OSTREL_ERR_FS_BUSY, nullptr,
                                    "Cannot upgrade '%s' while a transaction is open on it",
                                    meta.path.c_str());
    if (meta.format_ == kFormatRecords) OSTREL_ERR(records_to_packs(store, *writer, packs, steps));
    if (meta.format_ < kFormatTrees) OSTREL_ERR(packs_to_trees(store));
    OSTREL_ERR(trees_to_blocks(store));
    OSTREL_ERR(fault_point("upgrade-written"));
    Stmt st;
    OSTREL_ERR(store.prepare(st, "UPDATE meta SET value=?1 WHERE key='format'"));
    st.bind(1, std::to_string(kFormatBlocks));
    return st.run();
  }();
  if (err) {
    writer->rollback();
    return err;
  }
  OSTREL_ERR(writer->commit());
  meta.format_ = kFormatBlocks;
  // The rows that held the contents or the changed paths are free pages
  // now: give them back.
  return store.exec("VACUUM");
}

ostrel_error *sqlite_query_plans(MetaStore &meta, std::map<std::string, std::string> &plans) {
  return static_cast<SqliteMeta &>(meta).store.query_plans(plans);
}

}  // namespace ostrel::fs
