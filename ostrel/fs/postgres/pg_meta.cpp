// The metadata of a repository in PostgreSQL (see postgres.h for commits,
// revision numbers and unfinished contents).
//
// Layout.  Directory versions are kept as in the local database: a directory
// key (dirkey) holds rows (dirent) valid from start_rev to end_rev; a View
// {dkey, asof} reads the rows alive at asof, falling through to the key's
// parent view for names the key does not decide (a deletion in a key with a
// parent leaves a tombstone, child NULL).  A new version of the newest state
// of a key extends the key in place (its changed names' rows end, new rows
// start), so a one-file change to a huge directory writes one row; a change
// to an older state forks a new key with that state as parent.  A parent key
// always has a smaller id, which bounds every walk up the chain.
//
// Invariants:
//  1. Every committed row belongs to a revision <= max(revision.rev) or to an
//     open transaction (content.txn); rows of revision youngest + 1 are only
//     ever visible inside the writer that makes them.
//  2. Only a writer holding the commit lock (advisory transaction lock
//     kCommitLock) writes; ids (node, dirkey, content, txn) are max + 1 under
//     the lock, revision numbers youngest + 1.
//  3. Every content a committed revision names is whole: its record and
//     the blob (the content store's row) of each of its chunks exist.  A
//     writer that adds a revision checks this for the contents it makes
//     committed, under the lock, before COMMIT; collections delete only
//     under the lock.  (Records of contents still marked with a transaction
//     may name blobs not sent yet: their uploads are still under way.)
//  4. A revision row carries the token of the transaction that made it; an
//     uncertain COMMIT is resolved by looking for that token under the lock
//     (so the old transaction has ended, one way or the other).
//  5. An open transaction's owner holds an advisory lock (kTxnLockClass,
//     its id) in a transaction left open on a connection of its own, the
//     lease, from before its row commits until after its row is deleted.  The server
//     drops the lock when that session ends, however the owner ended, so
//     a lock that can be taken proves the owner is gone whichever machine
//     it ran on; a process id proves nothing beyond its own machine (or
//     pid namespace).  Sweeps judge by the lock alone.

#include <unistd.h>

#include <chrono>
#include <cstring>
#include <random>
#include <set>
#include <thread>

#include "pg_conn.h"
#include "postgres.h"

namespace ostrel::fs::pg {

namespace {

// The repository's commit lock, per database (one repository a database).
constexpr int64_t kCommitLock = 0x6f7374726c434c4bLL;
// The class of the leases of open transactions (invariant 5): the lock
// (kTxnLockClass, id) in the space of two-number advisory locks, which is
// apart from that of kCommitLock.
constexpr int64_t kTxnLockClass = 0x6f737478;
int64_t txn_lock_key(int64_t id) { return id & 0x7fffffff; }
constexpr int64_t kForever = INT64_MAX;

const char kSchema[] =
    "CREATE TABLE ostrel_meta(key text COLLATE \"C\" PRIMARY KEY, value text NOT NULL);"
    "CREATE TABLE revision(rev bigint PRIMARY KEY, root bigint NOT NULL, token text NOT NULL);"
    "CREATE TABLE revprop(rev bigint NOT NULL, name text COLLATE \"C\" NOT NULL,"
    "  value bytea NOT NULL, PRIMARY KEY(rev, name));"
    "CREATE TABLE node(id bigint PRIMARY KEY, kind bigint NOT NULL, nid bigint NOT NULL,"
    "  pred bigint, line bigint NOT NULL, created_rev bigint NOT NULL, copy_path text,"
    "  copy_rev bigint, content bigint, props bytea NOT NULL, dkey bigint, asof bigint);"
    "CREATE INDEX node_line_starts ON node(created_rev) WHERE pred IS NULL;"
    "CREATE TABLE dirkey(id bigint PRIMARY KEY, parent bigint, parent_asof bigint,"
    "  head_asof bigint NOT NULL);"
    "CREATE TABLE dirent(dkey bigint NOT NULL, name text COLLATE \"C\" NOT NULL,"
    "  start_rev bigint NOT NULL, end_rev bigint NOT NULL, child bigint, kind bigint,"
    "  PRIMARY KEY(dkey, name, start_rev));"
    "CREATE INDEX dirent_alive ON dirent(dkey, end_rev);"
    "CREATE TABLE changed_path(rev bigint NOT NULL, path text COLLATE \"C\" NOT NULL,"
    "  change bigint NOT NULL, node_kind bigint NOT NULL, text_mod bigint NOT NULL,"
    "  prop_mod bigint NOT NULL, copy_path text, copy_rev bigint, PRIMARY KEY(rev, path));"
    "CREATE TABLE node_origin(line bigint PRIMARY KEY, rev bigint NOT NULL);"
    "CREATE TABLE txn(id bigint PRIMARY KEY, host text NOT NULL, pid bigint NOT NULL,"
    "  base bigint NOT NULL, opened timestamptz NOT NULL DEFAULT now());"
    "CREATE TABLE content(id bigint PRIMARY KEY, sha text NOT NULL, length bigint NOT NULL,"
    "  chunks bigint NOT NULL, txn bigint, base bigint, depth bigint NOT NULL);"
    "CREATE INDEX content_by_sha ON content(sha) WHERE txn IS NULL;"
    "CREATE INDEX content_by_txn ON content(txn) WHERE txn IS NOT NULL;"
    "CREATE TABLE chunk(content bigint NOT NULL, seq bigint NOT NULL, raw_len bigint NOT NULL,"
    "  codec bigint NOT NULL, ref bytea NOT NULL, sum bigint NOT NULL, PRIMARY KEY(content, seq));"
    "CREATE INDEX chunk_by_ref ON chunk(ref);"
    "CREATE TABLE store_mark(stream bigint PRIMARY KEY, value bigint NOT NULL);"
    // Chunks arrive compressed where that pays: the server need not try again.
    "CREATE TABLE blob(key bytea PRIMARY KEY, data bytea NOT NULL,"
    "  touched timestamptz NOT NULL DEFAULT now());"
    "ALTER TABLE blob ALTER COLUMN data SET STORAGE EXTERNAL;";

// The walk up a view's chain of keys, as a common table expression over
// parameters $1 (dkey) and $2 (asof).  A key whose parent does not precede
// it is damage: the walk ends there with a row (-KEY, PARENT, -1), which
// the queries below hand up (a walk cut short would lose entries unseen).
#define CHAIN                                                                          \
  "WITH RECURSIVE chain(dkey, asof, depth) AS ("                                        \
  "  SELECT $1::bigint, $2::bigint, 0 WHERE $1::bigint <> 0"                            \
  "  UNION ALL SELECT CASE WHEN k.parent > 0 AND k.parent < c.dkey THEN k.parent"       \
  "  ELSE -c.dkey END, CASE WHEN k.parent > 0 AND k.parent < c.dkey THEN k.parent_asof" \
  "  ELSE k.parent END, CASE WHEN k.parent > 0 AND k.parent < c.dkey THEN c.depth + 1"  \
  "  ELSE -1 END FROM chain c JOIN dirkey k ON k.id = c.dkey"                           \
  "  WHERE k.parent IS NOT NULL AND k.parent <> 0 AND c.dkey > 0) "

ostrel_error *looping_key(int64_t key, int64_t parent) {
  return ostrel_error_createf(OSTREL_ERR_FS_CORRUPT, nullptr,
                              "Repository is damaged: directory key %lld has parent %lld, "
                              "which does not precede it",
                              static_cast<long long>(key), static_cast<long long>(parent));
}

std::string host_name() {
  char buf[256] = {0};
  if (gethostname(buf, sizeof buf - 1) != 0) return "unknown";
  return buf;
}

std::string random_token() {
  std::random_device rd;
  static const char kHex[] = "0123456789abcdef";
  std::string t;
  for (int i = 0; i < 32; ++i) t.push_back(kHex[rd() & 15]);
  return t;
}

std::string ref_bytes(const ContentRef &ref) {
  std::string out(24, '\0');
  for (int w = 0; w < 3; ++w)
    for (int b = 0; b < 8; ++b)
      out[w * 8 + b] = static_cast<char>(static_cast<uint64_t>(ref.w[w]) >> (56 - 8 * b));
  return out;
}

ContentRef ref_of(const std::string &bytes) {
  ContentRef ref;
  for (int w = 0; w < 3; ++w) {
    uint64_t v = 0;
    for (int b = 0; b < 8; ++b) {
      size_t i = static_cast<size_t>(w * 8 + b);
      v = (v << 8) | (i < bytes.size() ? static_cast<unsigned char>(bytes[i]) : 0);
    }
    ref.w[w] = static_cast<int64_t>(v);
  }
  return ref;
}

// ---- buffered rows ----

struct Field {
  enum Kind { kNull, kInt, kText, kBytes } kind = kNull;
  int64_t i = 0;
  std::string s;
};
Field fnull() { return Field{}; }
Field fint(int64_t v) { return Field{Field::kInt, v, {}}; }
Field ftext(std::string v) { return Field{Field::kText, 0, std::move(v)}; }
Field fbytes(std::string v) { return Field{Field::kBytes, 0, std::move(v)}; }
Field fopt(const std::optional<std::string> &v) { return v ? ftext(*v) : fnull(); }

// Rows for one table, sent as pipelined INSERTs when few, as one COPY when
// many (a COPY costs two round trips, a pipelined INSERT none of its own).
struct Table {
  const char *name;
  const char *columns;
  int ncols;
  std::vector<std::vector<Field>> rows;
  std::vector<bool> dropped;

  size_t live() const {
    size_t n = 0;
    for (bool d : dropped) n += !d;
    return n;
  }
};

constexpr size_t kCopyThreshold = 64;

}  // namespace

class PgMeta;

// Reads over one connection.  BEFORE, when set, is called with a question
// that may concern rows not yet sent (the writer sends them first).
class PgReads : public Snapshot {
 public:
  enum class Want { kNode, kView, kRevision, kContent, kOrigin, kNone };
  PgReads(Conn &conn, ostrel_revnum youngest) : youngest_(youngest), conn_(conn) {}
  std::function<ostrel_error *(Want, int64_t, int64_t)> before;
  ostrel_revnum youngest_;

  ostrel_revnum youngest() const override { return youngest_; }

  ostrel_error *ask(Want w, int64_t a = 0, int64_t b = 0) {
    if (before) return before(w, a, b);
    return OSTREL_NO_ERROR;
  }

  ostrel_error *revision_root(ostrel_revnum rev, int64_t *root, bool *found) override {
    *found = false;
    if (rev < 0 || rev > youngest_) return OSTREL_NO_ERROR;
    OSTREL_ERR(ask(Want::kRevision, rev));
    Result r;
    OSTREL_ERR(conn_.query("SELECT root FROM revision WHERE rev=$1", Params().int64(rev), &r,
                           "read a revision"));
    if (r.rows() == 0) return OSTREL_NO_ERROR;
    *root = r.int64(0, 0);
    *found = true;
    return OSTREL_NO_ERROR;
  }

  ostrel_error *node(int64_t id, NodeRow &out) override {
    OSTREL_ERR(ask(Want::kNode, id));
    Result r;
    OSTREL_ERR(conn_.query("SELECT kind, nid, pred, line, created_rev, copy_path, copy_rev, "
                           "content, props, dkey, asof FROM node WHERE id=$1",
                           Params().int64(id), &r, "read a node"));
    if (r.rows() == 0)
      return ostrel_error_createf(OSTREL_ERR_FS_CORRUPT, nullptr,
                                  "Repository is damaged: node %lld is missing",
                                  static_cast<long long>(id));
    out = NodeRow{};
    out.id = id;
    out.kind = r.int64(0, 0);
    out.nid = r.int64(0, 1);
    out.pred = r.is_null(0, 2) ? 0 : r.int64(0, 2);
    out.line = r.int64(0, 3);
    out.created_rev = static_cast<ostrel_revnum>(r.int64(0, 4));
    if (!r.is_null(0, 5)) out.copy_path = r.text(0, 5);
    out.copy_rev = r.is_null(0, 6) ? OSTREL_INVALID_REVNUM : static_cast<ostrel_revnum>(r.int64(0, 6));
    out.content = r.is_null(0, 7) ? 0 : r.int64(0, 7);
    out.props = r.bytes(0, 8);
    out.dir.dkey = r.is_null(0, 9) ? 0 : r.int64(0, 9);
    out.dir.asof = r.is_null(0, 10) ? 0 : r.int64(0, 10);
    return OSTREL_NO_ERROR;
  }

  ostrel_error *lookup(View v, const std::string &name, Child &out) override {
    out = Child{};
    if (!v.dkey) return OSTREL_NO_ERROR;
    OSTREL_ERR(ask(Want::kView, v.dkey, v.asof));
    Result r;
    OSTREL_ERR(conn_.query(
        CHAIN "SELECT e.child, e.kind, e.end_rev > c.asof, c.depth FROM chain c CROSS JOIN LATERAL ("
              "SELECT child, kind, end_rev FROM dirent d WHERE d.dkey = c.dkey AND d.name = $3 "
              "AND d.start_rev <= c.asof ORDER BY d.start_rev DESC LIMIT 1) e "
              "UNION ALL SELECT -dkey, asof, false, depth FROM chain WHERE depth < 0 "
              "ORDER BY 4 LIMIT 1",
        Params().int64(v.dkey).int64(v.asof).text(name), &r, "read a directory"));
    if (r.rows() > 0 && r.int64(0, 3) < 0) return looping_key(r.int64(0, 0), r.int64(0, 1));
    if (r.rows() == 0 || !r.int64(0, 2) || r.is_null(0, 0)) return OSTREL_NO_ERROR;
    out.id = r.int64(0, 0);
    out.kind = r.is_null(0, 1) ? 0 : r.int64(0, 1);
    return OSTREL_NO_ERROR;
  }

  ostrel_error *list(View v, std::map<std::string, Child> &out) override {
    out.clear();
    if (!v.dkey) return OSTREL_NO_ERROR;
    OSTREL_ERR(ask(Want::kView, v.dkey, v.asof));
    Result r;
    OSTREL_ERR(conn_.query(
        CHAIN "SELECT * FROM (SELECT DISTINCT ON (e.name) e.name, e.child, e.kind FROM chain c "
              "JOIN dirent e ON e.dkey = c.dkey AND e.end_rev > c.asof AND e.start_rev <= c.asof "
              "ORDER BY e.name, c.depth) entries "
              "UNION ALL SELECT NULL, -dkey, asof FROM chain WHERE depth < 0",
        Params().int64(v.dkey).int64(v.asof), &r, "list a directory"));
    for (int i = 0; i < r.rows(); ++i) {
      if (r.is_null(i, 0)) return looping_key(r.int64(i, 1), r.int64(i, 2));
      if (r.is_null(i, 1)) continue;  // a tombstone
      out[r.text(i, 0)] = Child{r.int64(i, 1), r.is_null(i, 2) ? 0 : r.int64(i, 2)};
    }
    return OSTREL_NO_ERROR;
  }

  ostrel_error *changed_paths(ostrel_revnum rev, std::vector<ChangedPath> &out) override {
    out.clear();
    OSTREL_ERR(ask(Want::kRevision, rev));
    Result r;
    OSTREL_ERR(conn_.query("SELECT path, change, node_kind, text_mod, prop_mod, copy_path, "
                           "copy_rev FROM changed_path WHERE rev=$1 ORDER BY path",
                           Params().int64(rev), &r, "read changed paths"));
    for (int i = 0; i < r.rows(); ++i) {
      ChangedPath p;
      p.path = r.text(i, 0);
      p.change = r.int64(i, 1);
      p.node_kind = r.int64(i, 2);
      p.text_mod = r.int64(i, 3);
      p.prop_mod = r.int64(i, 4);
      if (!r.is_null(i, 5)) p.copy_path = r.text(i, 5);
      if (!r.is_null(i, 6)) p.copy_rev = r.int64(i, 6);
      out.push_back(std::move(p));
    }
    return OSTREL_NO_ERROR;
  }

  ostrel_error *revision_props(ostrel_revnum rev,
                               std::map<std::string, std::string> &out) override {
    out.clear();
    OSTREL_ERR(ask(Want::kRevision, rev));
    Result r;
    OSTREL_ERR(conn_.query("SELECT name, value FROM revprop WHERE rev=$1", Params().int64(rev), &r,
                           "read revision properties"));
    for (int i = 0; i < r.rows(); ++i) out[r.text(i, 0)] = r.bytes(i, 1);
    return OSTREL_NO_ERROR;
  }

  ostrel_error *node_origin(int64_t line, std::optional<ostrel_revnum> *rev) override {
    rev->reset();
    OSTREL_ERR(ask(Want::kOrigin));
    Result r;
    OSTREL_ERR(conn_.query("SELECT rev FROM node_origin WHERE line=$1", Params().int64(line), &r,
                           "read a node origin"));
    if (r.rows()) *rev = static_cast<ostrel_revnum>(r.int64(0, 0));
    return OSTREL_NO_ERROR;
  }

  ostrel_error *origin_counts(int64_t *lines, int64_t *recorded) override {
    OSTREL_ERR(ask(Want::kOrigin));
    Result r;
    OSTREL_ERR(conn_.query("SELECT (SELECT count(*) FROM node WHERE pred IS NULL AND "
                           "created_rev <= $1), (SELECT count(*) FROM node_origin)",
                           Params().int64(youngest_), &r, "count node origins"));
    *lines = r.int64(0, 0);
    *recorded = r.int64(0, 1);
    return OSTREL_NO_ERROR;
  }

  ostrel_error *content(int64_t id, ContentRow &out, bool *found) override {
    int64_t txn;
    OSTREL_ERR(content_row(id, out, &txn, found));
    if (*found && txn != 0) *found = false;
    return OSTREL_NO_ERROR;
  }

  ostrel_error *content_row(int64_t id, ContentRow &out, int64_t *txn, bool *found) {
    *found = false;
    OSTREL_ERR(ask(Want::kContent, id));
    Result r;
    OSTREL_ERR(conn_.query("SELECT sha, length, chunks, base, depth, txn FROM content WHERE id=$1",
                           Params().int64(id), &r, "read a content record"));
    if (r.rows() == 0) return OSTREL_NO_ERROR;
    out = ContentRow{};
    out.sha = r.text(0, 0);
    out.length = r.int64(0, 1);
    out.chunks = r.int64(0, 2);
    out.base = r.is_null(0, 3) ? 0 : r.int64(0, 3);
    out.depth = r.int64(0, 4);
    *txn = r.is_null(0, 5) ? 0 : r.int64(0, 5);
    *found = true;
    return OSTREL_NO_ERROR;
  }

  ostrel_error *content_by_sha(const std::string &sha, int64_t *id) override {
    *id = 0;
    OSTREL_ERR(ask(Want::kContent, 0));
    Result r;
    OSTREL_ERR(conn_.query("SELECT id FROM content WHERE sha=$1 AND txn IS NULL ORDER BY id LIMIT 1",
                           Params().text(sha), &r, "find contents"));
    if (r.rows()) *id = r.int64(0, 0);
    return OSTREL_NO_ERROR;
  }

  ostrel_error *chunk(int64_t content, int64_t seq, ChunkRow &out, bool *found) override {
    *found = false;
    OSTREL_ERR(ask(Want::kContent, content));
    Result r;
    OSTREL_ERR(conn_.query("SELECT raw_len, codec, ref, sum FROM chunk WHERE content=$1 AND seq=$2",
                           Params().int64(content).int64(seq), &r, "read a chunk record"));
    if (r.rows() == 0) return OSTREL_NO_ERROR;
    out = ChunkRow{};
    out.raw_len = r.int64(0, 0);
    out.codec = r.int64(0, 1);
    out.ref = ref_of(r.bytes(0, 2));
    out.sum = static_cast<uint64_t>(r.int64(0, 3));
    out.has_sum = true;
    *found = true;
    return OSTREL_NO_ERROR;
  }

  ostrel_error *store_marks(std::vector<StoreMark> *marks) override {
    marks->clear();
    OSTREL_ERR(ask(Want::kNone));
    Result r;
    OSTREL_ERR(conn_.query("SELECT stream, value FROM store_mark ORDER BY stream", Params(), &r,
                           "read content-store marks"));
    for (int i = 0; i < r.rows(); ++i) marks->push_back(StoreMark{r.int64(i, 0), r.int64(i, 1)});
    return OSTREL_NO_ERROR;
  }

 private:
  Conn &conn_;
};

class PgMeta : public MetaStore {
 public:
  PgMeta(const std::string &conninfo, const std::string &name, int busy_ms)
      : conn_(conninfo, name), conninfo_(conninfo), name_(name), busy_ms_(busy_ms) {}

  int format() const override { return kPostgresFormat; }

  ostrel_error *snapshot(std::unique_ptr<Snapshot> *out) override {
    if (writing_)
      return ostrel_error_create(OSTREL_ERR_FS_GENERAL, nullptr,
                                 "A snapshot was asked for while a writer is open");
    if (pinned_ && !conn_.in_transaction())
      return ostrel_error_createf(OSTREL_ERR_FS_GENERAL, nullptr,
                                  "The snapshot of repository '%s' that a copy reads was lost "
                                  "with its connection to the PostgreSQL server (%s)",
                                  name_.c_str(), conn_.server().c_str());
    ostrel_revnum y = 0;
    OSTREL_ERR(youngest(&y));
    *out = std::make_unique<PgReads>(conn_, y);
    return OSTREL_NO_ERROR;
  }

  ostrel_error *youngest(ostrel_revnum *y) {
    Result r;
    OSTREL_ERR(conn_.query("SELECT max(rev) FROM revision", Params(), &r, "read the youngest revision"));
    if (r.rows() == 0 || r.is_null(0, 0))
      return ostrel_error_createf(OSTREL_ERR_FS_CORRUPT, nullptr,
                                  "Repository '%s' is damaged: it has no revisions",
                                  name_.c_str());
    *y = static_cast<ostrel_revnum>(r.int64(0, 0));
    // Between calls the connection may go back to the pool: nothing of a
    // snapshot lives in the connection.
    return OSTREL_NO_ERROR;
  }

  ostrel_error *begin_writer(bool durable, std::unique_ptr<Writer> *out) override;

  const char *refused() const override { return refused_.empty() ? nullptr : refused_.c_str(); }

  ostrel_error *check_integrity() override {
    Result r;
    OSTREL_ERR(conn_.query(
        "SELECT (SELECT count(*) FROM revision), (SELECT max(rev) FROM revision),"
        " (SELECT count(*) FROM chunk c WHERE NOT EXISTS (SELECT 1 FROM blob b WHERE b.key = c.ref)),"
        " (SELECT count(*) FROM dirent e WHERE NOT EXISTS (SELECT 1 FROM dirkey k WHERE k.id = e.dkey)),"
        " (SELECT count(*) FROM node n WHERE n.content IS NOT NULL AND NOT EXISTS"
        "   (SELECT 1 FROM content c WHERE c.id = n.content))",
        Params(), &r, "check the repository's records"));
    int64_t count = r.int64(0, 0), max = r.is_null(0, 1) ? -1 : r.int64(0, 1);
    if (count != max + 1)
      return ostrel_error_createf(OSTREL_ERR_FS_CORRUPT, nullptr,
                                  "Repository '%s' is damaged: it holds %lld revision rows for "
                                  "revisions 0 to %lld",
                                  name_.c_str(), static_cast<long long>(count),
                                  static_cast<long long>(max));
    const char *what[] = {nullptr, nullptr, "chunk records name contents that are missing",
                          "directory rows name directory keys that are missing",
                          "nodes name content records that are missing"};
    for (int col = 2; col <= 4; ++col)
      if (r.int64(0, col) != 0)
        return ostrel_error_createf(OSTREL_ERR_FS_CORRUPT, nullptr,
                                    "Repository '%s' is damaged: %lld %s", name_.c_str(),
                                    static_cast<long long>(r.int64(0, col)), what[col]);
    return OSTREL_NO_ERROR;
  }

  // One REPEATABLE READ transaction on the store's connection, which every
  // read goes through from now on: it sees one state of the database.
  ostrel_error *pin_snapshot() override {
    if (writing_ || pinned_)
      return ostrel_error_create(OSTREL_ERR_FS_GENERAL, nullptr,
                                 "A snapshot cannot be pinned now");
    OSTREL_ERR(conn_.exec("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY; SELECT 1",
                          "hold one snapshot"));
    pinned_ = true;
    return OSTREL_NO_ERROR;
  }

  // Deferred writers commit with synchronous_commit off: the server's WAL
  // writer flushes them a moment later.  One synchronous commit that writes
  // flushes the WAL up to its own record, every earlier commit included.
  ostrel_error *sync() override {
    if (writing_)
      return ostrel_error_create(OSTREL_ERR_FS_GENERAL, nullptr,
                                 "A sync was asked for while a writer is open");
    OSTREL_ERR(conn_.exec("BEGIN", "sync the repository"));
    ostrel_error *err = conn_.exec("SET LOCAL synchronous_commit = on; "
                                   "UPDATE ostrel_meta SET value = value WHERE key = 'format'",
                                   "sync the repository");
    if (!err) err = conn_.exec("COMMIT", "sync the repository");
    if (err && conn_.connected() && conn_.in_transaction())
      ostrel_error_clear(conn_.exec("ROLLBACK", "roll back"));
    return err;
  }

  ostrel_error *backup(const std::string &destination) override {
    return ostrel_error_createf(
        OSTREL_ERR_FS_GENERAL, nullptr,
        "Repository '%s' lives in PostgreSQL: back it up with the database's own tools "
        "(pg_dump, or a standby), or move its history with ostrel-admin dump; '%s' was not made",
        name_.c_str(), destination.c_str());
  }

  // Leases (invariant 5).  *GOT false when another session holds ID's lock.
  ostrel_error *lease(int64_t id, bool *got) {
    auto c = std::make_unique<Conn>(conninfo_, name_);
    Result r;
    OSTREL_ERR(c->exec("BEGIN", "hold an open transaction"));
    OSTREL_ERR(c->query("SELECT pg_try_advisory_xact_lock($1::int4, $2::int4)::int::int8",
                        Params().int64(kTxnLockClass).int64(txn_lock_key(id)), &r,
                        "hold an open transaction"));
    *got = r.rows() == 1 && r.int64(0, 0) == 1;
    if (*got) leases_[id] = std::move(c);
    else ostrel_error_clear(c->exec("ROLLBACK", "roll back"));
    return OSTREL_NO_ERROR;
  }
  void unlease(int64_t id) {
    auto it = leases_.find(id);
    if (it == leases_.end()) return;
    // Ending its transaction lets the lock go; the connection goes back to
    // the pool only when that worked (Conn::release drops it otherwise).
    ostrel_error_clear(it->second->exec("ROLLBACK", "let an open transaction go"));
    leases_.erase(it);
  }

  Conn conn_;
  std::string conninfo_;
  std::string name_;
  int busy_ms_;
  std::string refused_;
  bool writing_ = false;
  bool pinned_ = false;
  // Open transactions' leases: a connection each, inside a transaction
  // that holds the lock (a transaction-level lock, which a pooler in
  // transaction mode keeps with the session it pins).
  std::map<int64_t, std::unique_ptr<Conn>> leases_;
};

class PgWriter : public Writer {
 public:
  PgWriter(PgMeta &meta, bool durable) : meta_(meta), conn_(meta.conn_), durable_(durable) {}
  ~PgWriter() override { rollback(); }

  ostrel_error *begin() {
    OSTREL_ERR(conn_.connect());
    OSTREL_ERR(conn_.pipeline_begin());
    OSTREL_ERR(conn_.queue("BEGIN ISOLATION LEVEL READ COMMITTED", Params()));
    std::string timeout = "SET LOCAL lock_timeout = " + std::to_string(std::max(1, meta_.busy_ms_));
    OSTREL_ERR(conn_.queue(timeout.c_str(), Params()));
    if (!durable_) OSTREL_ERR(conn_.queue("SET LOCAL synchronous_commit = off", Params()));
    OSTREL_ERR(conn_.queue("SELECT pg_advisory_xact_lock($1)", Params().int64(kCommitLock)));
    OSTREL_ERR(conn_.queue(
        "SELECT (SELECT max(rev) FROM revision), (SELECT coalesce(max(id), 0) FROM node),"
        " (SELECT coalesce(max(id), 0) FROM dirkey), (SELECT coalesce(max(id), 0) FROM content),"
        " (SELECT coalesce(max(id), 0) FROM txn)",
        Params()));
    std::vector<Result> results;
    open_ = true;
    ostrel_error *err = conn_.pipeline_end("take the commit lock", &results);
    // Says how long it waited, as a committer told to wait less needs to know.
    if (err && err->apr_err == OSTREL_ERR_FS_BUSY)
      return ostrel_error_createf(OSTREL_ERR_FS_BUSY, err,
                                  "Repository '%s' is held by another committer for longer than "
                                  "%d ms",
                                  meta_.name_.c_str(), meta_.busy_ms_);
    OSTREL_ERR(err);
    const Result &r = results.back();
    if (r.rows() == 0 || r.is_null(0, 0))
      return ostrel_error_createf(OSTREL_ERR_FS_CORRUPT, nullptr,
                                  "Repository '%s' is damaged: it has no revisions",
                                  meta_.name_.c_str());
    youngest_ = static_cast<ostrel_revnum>(r.int64(0, 0));
    new_rev_ = youngest_ + 1;
    first_node_ = r.int64(0, 1) + 1;
    next_dkey_ = first_dkey_ = r.int64(0, 2) + 1;
    next_content_ = first_content_ = r.int64(0, 3) + 1;
    next_txn_ = r.int64(0, 4) + 1;
    reads_ = std::make_unique<PgReads>(conn_, youngest_);
    reads_->before = [this](PgReads::Want w, int64_t a, int64_t b) { return before_read(w, a, b); };
    return OSTREL_NO_ERROR;
  }

  Snapshot &reads() override { return *reads_; }

  ostrel_error *add_txn(int64_t pid, ostrel_revnum base, int64_t *id) override {
    // The lease is held before the row can be seen.  An id whose lock is
    // held (an owner whose row a collection removed) is passed over.
    for (int tries = 0;; ++tries) {
      *id = next_txn_++;
      bool got;
      OSTREL_ERR(meta_.lease(*id, &got));
      if (got) break;
      if (tries >= 64)
        return ostrel_error_createf(OSTREL_ERR_FS_GENERAL, nullptr,
                                    "Repository '%s': no free transaction id to hold",
                                    meta_.name_.c_str());
    }
    added_txns_.push_back(*id);
    txn_.rows.push_back({fint(*id), ftext(host_name()), fint(pid), fint(base)});
    return OSTREL_NO_ERROR;
  }

  ostrel_error *dead_txns(const std::function<bool(int64_t)> &,
                          std::vector<int64_t> *ids) override {
    ids->clear();
    OSTREL_ERR(flush());
    // A transaction-level lock taken here is free to take only when no
    // session holds the lease; it goes with this writer.
    Result r;
    OSTREL_ERR(conn_.query("SELECT id FROM txn WHERE pg_try_advisory_xact_lock($1::int4, "
                           "(id & 2147483647)::int4) ORDER BY id",
                           Params().int64(kTxnLockClass), &r, "look for ended transactions"));
    for (int i = 0; i < r.rows(); ++i) ids->push_back(r.int64(i, 0));
    return OSTREL_NO_ERROR;
  }

  ostrel_error *txns(std::map<int64_t, int64_t> &out) override {
    out.clear();
    OSTREL_ERR(flush());
    // Only this machine's: a process id means nothing on another host.
    Result r;
    OSTREL_ERR(conn_.query("SELECT id, pid FROM txn WHERE host=$1", Params().text(host_name()), &r,
                           "list open transactions"));
    for (int i = 0; i < r.rows(); ++i) out[r.int64(i, 0)] = r.int64(i, 1);
    return OSTREL_NO_ERROR;
  }

  ostrel_error *purge_txn(int64_t id) override {
    purged_txns_.push_back(id);
    post("DELETE FROM chunk WHERE content IN (SELECT id FROM content WHERE txn=$1)", Params().int64(id));
    post("DELETE FROM content WHERE txn=$1", Params().int64(id));
    post("DELETE FROM txn WHERE id=$1", Params().int64(id));
    return OSTREL_NO_ERROR;
  }

  ostrel_error *add_content(const ContentRow &row, const std::vector<ChunkRow> &chunks,
                            int64_t txn, int64_t *id) override {
    *id = next_content_++;
    content_.rows.push_back({fint(*id), ftext(row.sha), fint(row.length), fint(row.chunks),
                             txn ? fint(txn) : fnull(), row.base ? fint(row.base) : fnull(),
                             fint(row.depth)});
    if (!txn) used_contents_.insert(*id);
    int64_t seq = 0;
    for (const ChunkRow &c : chunks) {
      std::string ref = ref_bytes(c.ref);
      chunk_.rows.push_back({fint(*id), fint(seq++), fint(c.raw_len), fint(c.codec), fbytes(ref),
                             fint(static_cast<int64_t>(c.sum))});
    }
    return OSTREL_NO_ERROR;
  }

  ostrel_error *content_any(int64_t id, ContentRow &out, int64_t *txn, bool *found) override {
    return reads_->content_row(id, out, txn, found);
  }

  ostrel_error *commit_content(int64_t id) override {
    used_contents_.insert(id);
    post("UPDATE content SET txn=NULL WHERE id=$1", Params().int64(id));
    return OSTREL_NO_ERROR;
  }

  ostrel_error *store_mark(int64_t stream, int64_t *value) override {
    OSTREL_ERR(flush());
    Result r;
    OSTREL_ERR(conn_.query("SELECT value FROM store_mark WHERE stream=$1", Params().int64(stream),
                           &r, "read a content-store mark"));
    *value = r.rows() ? r.int64(0, 0) : 0;
    return OSTREL_NO_ERROR;
  }

  ostrel_error *set_store_mark(const StoreMark &mark) override {
    post("INSERT INTO store_mark(stream, value) VALUES($1, $2) ON CONFLICT (stream) DO UPDATE "
         "SET value = excluded.value",
         Params().int64(mark.stream).int64(mark.value));
    return OSTREL_NO_ERROR;
  }

  ostrel_error *first_free_node_id(int64_t *id) override {
    *id = first_node_;
    return OSTREL_NO_ERROR;
  }

  ostrel_error *add_nodes(const std::vector<NodeRow> &nodes) override {
    for (const NodeRow &n : nodes) {
      node_.rows.push_back({fint(n.id), fint(n.kind), fint(n.nid), n.pred ? fint(n.pred) : fnull(),
                            fint(n.line), fint(n.created_rev), fopt(n.copy_path),
                            n.copy_rev == OSTREL_INVALID_REVNUM ? fnull() : fint(n.copy_rev),
                            n.content ? fint(n.content) : fnull(), fbytes(n.props),
                            n.dir.dkey ? fint(n.dir.dkey) : fnull(),
                            n.dir.dkey ? fint(n.dir.asof) : fnull()});
      last_node_ = std::max(last_node_, n.id);
    }
    return OSTREL_NO_ERROR;
  }

  ostrel_error *write_dir(View from, const std::vector<DirChange> &changes, ostrel_revnum rev,
                          View *made) override {
    if (changes.empty()) {
      *made = from;
      return OSTREL_NO_ERROR;
    }
    Key k;
    if (from.dkey) OSTREL_ERR(dirkey(from.dkey, &k));
    int64_t key;
    bool has_parent, fresh = false;
    if (from.dkey && k.head_asof == from.asof) {
      key = from.dkey;
      has_parent = k.parent != 0;
      if (k.head_asof != rev)
        pre("UPDATE dirkey SET head_asof=$1 WHERE id=$2", Params().int64(rev).int64(key));
      keys_[key].head_asof = rev;
    } else {
      key = next_dkey_++;
      has_parent = from.dkey != 0;
      fresh = true;
      dirkey_.rows.push_back({fint(key), from.dkey ? fint(from.dkey) : fnull(),
                              from.dkey ? fint(from.asof) : fnull(), fint(rev)});
      keys_[key] = Key{from.dkey, from.asof, rev};
    }
    std::string names;  // a text[] literal of the names whose rows end
    for (const DirChange &c : changes) {
      auto pending = pending_rows_.find({key, c.name});
      if (pending != pending_rows_.end()) {
        dirent_.dropped[pending->second] = true;  // written before in this writer, not sent
        pending_rows_.erase(pending);
      } else if (sent_rows_.erase({key, c.name})) {
        pre("DELETE FROM dirent WHERE dkey=$1 AND name=$2 AND start_rev=$3",
            Params().int64(key).text(c.name).int64(rev));
      }
      if (!fresh) {
        names += names.empty() ? "{" : ",";
        names += '"';
        for (char ch : c.name) {
          if (ch == '"' || ch == '\\') names.push_back('\\');
          names.push_back(ch);
        }
        names += '"';
      }
      if (c.child || has_parent) {
        pending_rows_[{key, c.name}] = dirent_.rows.size();
        dirent_.rows.push_back({fint(key), ftext(c.name), fint(rev), fint(kForever),
                                c.child ? fint(c.child) : fnull(), c.child ? fint(c.kind) : fnull()});
        dirent_.dropped.push_back(false);
      }
    }
    if (!names.empty()) {
      names += "}";
      pre("UPDATE dirent SET end_rev=$1 WHERE dkey=$2 AND name = ANY($3::text[]) AND "
          "end_rev > $1 AND start_rev < $1",
          Params().int64(rev).int64(key).text(names));
    }
    *made = View{key, rev};
    return OSTREL_NO_ERROR;
  }

  ostrel_error *add_changed_paths(ostrel_revnum rev,
                                  const std::vector<ChangedPath> &paths) override {
    for (const ChangedPath &p : paths)
      changed_.rows.push_back({fint(rev), ftext(p.path), fint(p.change), fint(p.node_kind),
                               fint(p.text_mod), fint(p.prop_mod), fopt(p.copy_path),
                               p.copy_rev ? fint(*p.copy_rev) : fnull()});
    return OSTREL_NO_ERROR;
  }

  ostrel_error *add_revision(ostrel_revnum rev, int64_t root,
                             const std::map<std::string, std::string> &props) override {
    if (rev != new_rev_)
      return ostrel_error_createf(OSTREL_ERR_FS_GENERAL, nullptr,
                                  "Revision %ld cannot follow revision %ld in repository '%s'",
                                  static_cast<long>(rev), static_cast<long>(youngest_),
                                  meta_.name_.c_str());
    token_ = random_token();
    post("INSERT INTO revision(rev, root, token) VALUES($1, $2, $3)",
         Params().int64(rev).int64(root).text(token_));
    for (const auto &[name, value] : props) revprop_.rows.push_back({fint(rev), ftext(name), fbytes(value)});
    added_revision_ = true;
    reads_->youngest_ = rev;
    return OSTREL_NO_ERROR;
  }

  ostrel_error *set_revision_prop(ostrel_revnum rev, const std::string &name,
                                  const std::optional<std::string> &value) override {
    if (rev < 0 || rev > (added_revision_ ? new_rev_ : youngest_))
      return ostrel_error_createf(OSTREL_ERR_FS_NO_SUCH_REVISION, nullptr, "No such revision %ld",
                                  static_cast<long>(rev));
    if (value)
      post("INSERT INTO revprop(rev, name, value) VALUES($1, $2, $3) ON CONFLICT (rev, name) DO "
           "UPDATE SET value = excluded.value",
           Params().int64(rev).text(name).bytes(*value));
    else
      post("DELETE FROM revprop WHERE rev=$1 AND name=$2", Params().int64(rev).text(name));
    return OSTREL_NO_ERROR;
  }

  ostrel_error *add_origins(const std::map<int64_t, ostrel_revnum> &lines,
                            const std::vector<ostrel_revnum> &revs) override {
    for (const auto &[line, rev] : lines)
      post("INSERT INTO node_origin(line, rev) VALUES($1, $2) ON CONFLICT DO NOTHING",
           Params().int64(line).int64(rev));
    for (ostrel_revnum rev : revs)
      post("INSERT INTO node_origin(line, rev) SELECT id, created_rev FROM node WHERE "
           "created_rev=$1 AND pred IS NULL ON CONFLICT DO NOTHING",
           Params().int64(rev));
    origins_written_ = true;
    return OSTREL_NO_ERROR;
  }

  ostrel_error *commit() override;

  void rollback() override {
    if (!open_) return;
    open_ = false;
    meta_.writing_ = false;
    for (int64_t id : added_txns_) meta_.unlease(id);  // their rows never were
    if (conn_.connected() && !conn_.in_pipeline()) {
      ostrel_error_clear(conn_.exec("ROLLBACK", "roll back"));
    } else {
      conn_.drop();
    }
  }

 private:
  struct Key {
    int64_t parent = 0, parent_asof = 0, head_asof = 0;
  };

  ostrel_error *dirkey(int64_t id, Key *k) {
    auto it = keys_.find(id);
    if (it != keys_.end()) {
      *k = it->second;
      return OSTREL_NO_ERROR;
    }
    Result r;
    OSTREL_ERR(conn_.query("SELECT parent, parent_asof, head_asof FROM dirkey WHERE id=$1",
                           Params().int64(id), &r, "read a directory key"));
    if (r.rows() == 0)
      return ostrel_error_createf(OSTREL_ERR_FS_CORRUPT, nullptr,
                                  "Repository is damaged: directory key %lld is missing",
                                  static_cast<long long>(id));
    k->parent = r.is_null(0, 0) ? 0 : r.int64(0, 0);
    k->parent_asof = r.is_null(0, 1) ? 0 : r.int64(0, 1);
    k->head_asof = r.int64(0, 2);
    keys_[id] = *k;
    return OSTREL_NO_ERROR;
  }

  void pre(const char *sql, Params p) { pre_.emplace_back(sql, std::move(p)); }
  void post(const char *sql, Params p) { post_.emplace_back(sql, std::move(p)); }

  bool anything_pending() const {
    if (!pre_.empty() || !post_.empty()) return true;
    for (const Table *t : tables())
      if (!t->rows.empty()) return true;
    return false;
  }

  std::vector<const Table *> tables() const {
    return {&txn_, &dirkey_, &node_, &dirent_, &changed_, &content_, &chunk_, &revprop_};
  }
  std::vector<Table *> tables() {
    return {&txn_, &dirkey_, &node_, &dirent_, &changed_, &content_, &chunk_, &revprop_};
  }

  // Whether a read may concern rows this writer has not sent yet.
  ostrel_error *before_read(PgReads::Want w, int64_t a, int64_t b) {
    bool mine = false;
    switch (w) {
      case PgReads::Want::kNode: mine = a >= first_node_; break;
      case PgReads::Want::kView: mine = a >= first_dkey_ || b >= new_rev_; break;
      case PgReads::Want::kRevision: mine = a >= new_rev_; break;
      case PgReads::Want::kContent: mine = a == 0 || a >= first_content_ || !post_.empty(); break;
      case PgReads::Want::kOrigin: mine = origins_written_; break;
      case PgReads::Want::kNone: mine = true; break;
    }
    return mine ? flush() : OSTREL_NO_ERROR;
  }

  static void queue_insert(Conn &conn, const Table &t, size_t i, ostrel_error **err) {
    if (*err) return;
    std::string sql = std::string("INSERT INTO ") + t.name + "(" + t.columns + ") VALUES(";
    Params p;
    for (int c = 0; c < t.ncols; ++c) {
      const Field &f = t.rows[i][static_cast<size_t>(c)];
      sql += (c ? ",$" : "$") + std::to_string(c + 1);
      switch (f.kind) {
        case Field::kNull: p.null(); break;
        case Field::kInt: p.int64(f.i); break;
        case Field::kText: p.text(f.s); break;
        case Field::kBytes: p.bytes(f.s); break;
      }
    }
    sql += ")";
    *err = conn.queue(sql.c_str(), p);
  }

  static std::string copy_rows(const Table &t) {
    std::string rows;
    for (size_t i = 0; i < t.rows.size(); ++i) {
      if (!t.dropped.empty() && t.dropped[i]) continue;
      bool first = true;
      for (const Field &f : t.rows[i]) {
        switch (f.kind) {
          case Field::kNull: copy_null(rows, first); break;
          case Field::kInt: copy_int(rows, f.i, first); break;
          case Field::kText: copy_field(rows, f.s, first); break;
          case Field::kBytes: copy_bytes(rows, f.s, first); break;
        }
        first = false;
      }
      rows.push_back('\n');
    }
    return rows;
  }

  // Sends everything buffered: the statements that must precede the new
  // rows, the new rows (few: in the same pipeline; many: COPY), then the
  // statements that refer to them.  At most three round trips plus two a
  // COPY, whatever the number of rows.
  ostrel_error *flush() {
    // A connection lost since the writer began is a transaction lost: what
    // follows must not run on a new connection without the lock.
    if (!conn_.connected() || !conn_.in_transaction())
      return ostrel_error_createf(OSTREL_ERR_FS_GENERAL, nullptr,
                                  "The commit to repository '%s' lost its transaction: its "
                                  "connection to the PostgreSQL server (%s) failed",
                                  meta_.name_.c_str(), conn_.server().c_str());
    if (!anything_pending()) return OSTREL_NO_ERROR;
    std::vector<Table *> big;
    ostrel_error *err = conn_.pipeline_begin();
    for (auto &[sql, p] : pre_)
      if (!err) err = conn_.queue(sql.c_str(), p);
    for (Table *t : tables()) {
      if (t->live() == 0 && t->dropped.empty() && t->rows.empty()) continue;
      if (t->rows.size() >= kCopyThreshold) {
        big.push_back(t);
        continue;
      }
      for (size_t i = 0; i < t->rows.size(); ++i)
        if (t->dropped.empty() || !t->dropped[i]) queue_insert(conn_, *t, i, &err);
    }
    if (big.empty())
      for (auto &[sql, p] : post_)
        if (!err) err = conn_.queue(sql.c_str(), p);
    if (err) {
      conn_.drop();
      return err;
    }
    OSTREL_ERR(conn_.pipeline_end("write the commit's records"));
    for (Table *t : big) {
      std::string copy = std::string("COPY ") + t->name + "(" + t->columns + ") FROM STDIN";
      OSTREL_ERR(conn_.copy_in(copy.c_str(), copy_rows(*t), "write the commit's records"));
    }
    if (!big.empty() && !post_.empty()) {
      OSTREL_ERR(conn_.pipeline_begin());
      for (auto &[sql, p] : post_) OSTREL_ERR(conn_.queue(sql.c_str(), p));
      OSTREL_ERR(conn_.pipeline_end("write the commit's records"));
    }
    pre_.clear();
    post_.clear();
    for (auto &[k, index] : pending_rows_) sent_rows_.insert(k);
    pending_rows_.clear();
    for (Table *t : tables()) {
      t->rows.clear();
      t->dropped.clear();
    }
    return OSTREL_NO_ERROR;
  }

  ostrel_error *resolve_uncertain(ostrel_error *failure);

  PgMeta &meta_;
  Conn &conn_;
  bool durable_;
  bool open_ = false;
  std::unique_ptr<PgReads> reads_;
  ostrel_revnum youngest_ = 0, new_rev_ = 0;
  int64_t first_node_ = 0, last_node_ = 0, first_dkey_ = 0, next_dkey_ = 0;
  int64_t first_content_ = 0, next_content_ = 0, next_txn_ = 0;
  bool added_revision_ = false, origins_written_ = false;
  std::string token_;
  std::map<int64_t, Key> keys_;
  std::map<std::pair<int64_t, std::string>, size_t> pending_rows_;
  std::set<std::pair<int64_t, std::string>> sent_rows_;
  // Contents this writer makes committed: a revision checks they are whole.
  std::set<int64_t> used_contents_;
  std::vector<std::pair<std::string, Params>> pre_, post_;
  // Transactions this writer opens and deletes (their leases).
  std::vector<int64_t> added_txns_, purged_txns_;
  Table txn_{"txn", "id, host, pid, base", 4, {}, {}};
  Table dirkey_{"dirkey", "id, parent, parent_asof, head_asof", 4, {}, {}};
  Table node_{"node",
              "id, kind, nid, pred, line, created_rev, copy_path, copy_rev, content, props, dkey, "
              "asof",
              12, {}, {}};
  Table dirent_{"dirent", "dkey, name, start_rev, end_rev, child, kind", 6, {}, {}};
  Table changed_{"changed_path",
                 "rev, path, change, node_kind, text_mod, prop_mod, copy_path, copy_rev", 8, {}, {}};
  Table content_{"content", "id, sha, length, chunks, txn, base, depth", 7, {}, {}};
  Table chunk_{"chunk", "content, seq, raw_len, codec, ref, sum", 6, {}, {}};
  Table revprop_{"revprop", "rev, name, value", 3, {}, {}};
};

ostrel_error *PgWriter::commit() {
  if (!open_)
    return ostrel_error_create(OSTREL_ERR_FS_GENERAL, nullptr, "The writer is not open");
  ostrel_error *err = flush();
  if (!err && added_revision_ && !used_contents_.empty()) {
    // Invariant 3: the contents a revision makes committed are all there,
    // records and chunks (a collection may have run since their upload,
    // which may have been long ago for a large one).
    std::string ids = "{";
    for (int64_t id : used_contents_) ids += (ids.size() > 1 ? "," : "") + std::to_string(id);
    ids += "}";
    Result r;
    err = conn_.query("SELECT (SELECT count(*) FROM content WHERE id = ANY($1::bigint[])),"
                      " (SELECT count(*) FROM chunk c WHERE c.content = ANY($1::bigint[]) AND"
                      "  NOT EXISTS (SELECT 1 FROM blob b WHERE b.key = c.ref))",
                      Params().text(ids), &r, "check the commit's contents");
    if (!err && (r.int64(0, 0) != static_cast<int64_t>(used_contents_.size()) || r.int64(0, 1) != 0))
      err = ostrel_error_createf(OSTREL_ERR_FS_GENERAL, nullptr,
                                 "Part of the contents of this commit to repository '%s' was "
                                 "removed as unused before the commit was made; commit again",
                                 meta_.name_.c_str());
  }
  if (err) {
    rollback();
    return err;
  }
  err = fault_point("pg-before-commit");
  if (err) {
    rollback();
    return err;
  }
  if (!conn_.connected() || !conn_.in_transaction()) {
    // Never COMMIT on a connection that is not the writer's own: a new one
    // would answer "no transaction" as a success.
    rollback();
    return ostrel_error_createf(OSTREL_ERR_FS_GENERAL, nullptr,
                                "The commit to repository '%s' lost its transaction before "
                                "COMMIT; nothing was committed",
                                meta_.name_.c_str());
  }
  ostrel_error *failed = conn_.exec("COMMIT", "commit");
  open_ = false;
  meta_.writing_ = false;
  if (!failed) {
    for (int64_t id : purged_txns_) meta_.unlease(id);
    return OSTREL_NO_ERROR;
  }
  if (!conn_.lost()) {
    // The server refused the commit and rolled it back.
    if (conn_.in_transaction()) ostrel_error_clear(conn_.exec("ROLLBACK", "roll back"));
    for (int64_t id : added_txns_) meta_.unlease(id);
    return failed;
  }
  conn_.drop();
  // Leases stay as they are: which rows exist is unknown (this store
  // writes no more; they go when the process ends).
  ostrel_error *outcome = resolve_uncertain(failed);
  if (!outcome)
    for (int64_t id : purged_txns_) meta_.unlease(id);
  else if (outcome->apr_err != OSTREL_ERR_FS_UNCERTAIN)
    for (int64_t id : added_txns_) meta_.unlease(id);
  return outcome;
}

// The connection was lost during COMMIT: find out whether it happened.  The
// check takes the commit lock, so the transaction that sent COMMIT has ended
// on the server (committed, or rolled back) by the time the token is looked
// for.  Without a revision there is nothing to look for.
ostrel_error *PgWriter::resolve_uncertain(ostrel_error *failure) {
  const std::string reason = [&] {
    char buf[512];
    return std::string(ostrel_error_text(failure, buf, sizeof buf));
  }();
  ostrel_error_clear(failure);
  if (added_revision_) {
    auto deadline = std::chrono::steady_clock::now() +
                    std::chrono::milliseconds(std::max(meta_.busy_ms_, 5000));
    while (true) {
      Conn check(meta_.conninfo_, meta_.name_);
      Result r;
      ostrel_error *err = check.exec("BEGIN", "check a commit");
      if (!err) {
        std::string timeout = "SET LOCAL lock_timeout = " + std::to_string(std::max(1, meta_.busy_ms_));
        err = check.exec(timeout.c_str(), "check a commit");
      }
      if (!err)
        err = check.query("SELECT pg_advisory_xact_lock($1)", Params().int64(kCommitLock), nullptr,
                          "check a commit");
      if (!err)
        err = check.query("SELECT token FROM revision WHERE rev=$1", Params().int64(new_rev_), &r,
                          "check a commit");
      if (!err) {
        bool committed = r.rows() == 1 && r.text(0, 0) == token_;
        ostrel_error_clear(check.exec("ROLLBACK", "end a check"));
        if (committed) return OSTREL_NO_ERROR;
        return ostrel_error_createf(OSTREL_ERR_FS_GENERAL, nullptr,
                                    "Revision %ld was not committed to repository '%s': %s",
                                    static_cast<long>(new_rev_), meta_.name_.c_str(),
                                    reason.c_str());
      }
      ostrel_error_clear(err);
      check.drop();
      if (std::chrono::steady_clock::now() >= deadline) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
  }
  meta_.refused_ = "an earlier commit's outcome is unknown: " + reason;
  return ostrel_error_createf(OSTREL_ERR_FS_UNCERTAIN, nullptr,
                              "Whether revision %ld was committed to repository '%s' is unknown: "
                              "%s; look at the repository's youngest revision before committing "
                              "again",
                              static_cast<long>(new_rev_), meta_.name_.c_str(), reason.c_str());
}

ostrel_error *PgMeta::begin_writer(bool durable, std::unique_ptr<Writer> *out) {
  if (!refused_.empty())
    return ostrel_error_createf(OSTREL_ERR_FS_UNCERTAIN, nullptr,
                                "Repository '%s' refuses writes through this handle: %s",
                                name_.c_str(), refused_.c_str());
  if (writing_)
    return ostrel_error_create(OSTREL_ERR_FS_GENERAL, nullptr, "A writer is already open");
  if (pinned_)
    return ostrel_error_createf(OSTREL_ERR_FS_GENERAL, nullptr,
                                "Repository '%s' is read at one snapshot through this handle: it "
                                "takes no writes",
                                name_.c_str());
  auto w = std::make_unique<PgWriter>(*this, durable);
  writing_ = true;
  ostrel_error *err = w->begin();
  if (err) {
    w->rollback();
    writing_ = false;
    return err;
  }
  *out = std::move(w);
  return OSTREL_NO_ERROR;
}

ostrel_error *create_meta(const std::string &conninfo, const std::string &name,
                          const std::string &date, int busy_timeout_ms,
                          std::unique_ptr<MetaStore> *out) {
  OSTREL_ERR(check_conninfo(conninfo, nullptr));
  auto meta = std::make_unique<PgMeta>(conninfo, name, busy_timeout_ms);
  Conn &c = meta->conn_;
  Result r;
  OSTREL_ERR(c.query("SELECT count(*) FROM pg_tables WHERE schemaname = current_schema()",
                     Params(), &r, "look at the database"));
  if (r.int64(0, 0) != 0)
    return ostrel_error_createf(OSTREL_ERR_REPOS_ALREADY_EXISTS, nullptr,
                                "The PostgreSQL database for repository '%s' (%s) is not empty: "
                                "a repository needs a database of its own",
                                name.c_str(), c.server().c_str());
  OSTREL_ERR(c.exec("BEGIN", "create the repository's tables"));
  ostrel_error *err = c.exec(kSchema, "create the repository's tables");
  if (!err) {
    err = c.query("INSERT INTO ostrel_meta(key, value) VALUES('format', $1)",
                  Params().text(std::to_string(kPostgresFormat)), nullptr, "create the repository");
  }
  if (!err)
    err = c.query("INSERT INTO node(id, kind, nid, pred, line, created_rev, props) "
                  "VALUES(1, 2, 1, NULL, 1, 0, ''::bytea)",
                  Params(), nullptr, "create the repository");
  if (!err)
    err = c.query("INSERT INTO revision(rev, root, token) VALUES(0, 1, $1)",
                  Params().text(random_token()), nullptr, "create the repository");
  if (!err)
    err = c.query("INSERT INTO node_origin(line, rev) VALUES(1, 0)", Params(), nullptr,
                  "create the repository");
  if (!err)
    err = c.query("INSERT INTO revprop(rev, name, value) VALUES(0, 'ostrel:date', $1)",
                  Params().bytes(date), nullptr, "create the repository");
  if (!err) err = c.exec("COMMIT", "create the repository");
  if (err) {
    if (c.in_transaction()) ostrel_error_clear(c.exec("ROLLBACK", "roll back"));
    return err;
  }
  *out = std::move(meta);
  return OSTREL_NO_ERROR;
}

ostrel_error *open_meta(const std::string &conninfo, const std::string &name, int busy_timeout_ms,
                        std::unique_ptr<MetaStore> *out) {
  OSTREL_ERR(check_conninfo(conninfo, nullptr));
  auto meta = std::make_unique<PgMeta>(conninfo, name, busy_timeout_ms);
  Result r;
  ostrel_error *err = meta->conn_.query(
      "SELECT value FROM ostrel_meta WHERE key='format'", Params(), &r, "open the repository");
  if (err) {
    // A database without the table holds no repository.
    if (!meta->conn_.lost() && meta->conn_.connected()) {
      ostrel_error_clear(err);
      return ostrel_error_createf(OSTREL_ERR_FS_CORRUPT, nullptr,
                                  "The PostgreSQL database of repository '%s' (%s) holds no "
                                  "repository tables",
                                  name.c_str(), meta->conn_.server().c_str());
    }
    return err;
  }
  if (r.rows() == 0 || r.text(0, 0) != std::to_string(kPostgresFormat))
    return ostrel_error_createf(OSTREL_ERR_FS_BAD_FORMAT, nullptr,
                                "The PostgreSQL database of repository '%s' has format '%s'; "
                                "this build reads format %d",
                                name.c_str(), r.rows() ? r.text(0, 0).c_str() : "",
                                kPostgresFormat);
  meta->conn_.release();
  *out = std::move(meta);
  return OSTREL_NO_ERROR;
}

}  // namespace ostrel::fs::pg
