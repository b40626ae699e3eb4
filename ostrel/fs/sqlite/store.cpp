// The storage seam: one SQLite connection, its statements and its errors.

#include "store.h"

#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

#include <mutex>

namespace {

// The default VFS with one change.  SQLite syncs the directory of a WAL file
// once in every process that opens it with "create", in case the file is
// new; the WAL of a repository stays between processes, so that sync would
// be a third sync in every process that makes one commit.  A WAL that exists
// is opened without "create", which needs no directory sync; a new one
// still gets it.
sqlite3_vfs wal_keeping_vfs;
sqlite3_vfs *base_vfs = nullptr;

int open_file(sqlite3_vfs *, sqlite3_filename name, sqlite3_file *file, int flags, int *out) {
  if ((flags & SQLITE_OPEN_WAL) && name && access(name, F_OK) == 0) flags &= ~SQLITE_OPEN_CREATE;
  return base_vfs->xOpen(base_vfs, name, file, flags, out);
}

const char *vfs_name() {
  static std::once_flag once;
  std::call_once(once, [] {
    base_vfs = sqlite3_vfs_find(nullptr);
    if (!base_vfs) return;
    wal_keeping_vfs = *base_vfs;
    wal_keeping_vfs.zName = "ostrel-wal-keeping";
    wal_keeping_vfs.pNext = nullptr;
    wal_keeping_vfs.xOpen = open_file;
    if (sqlite3_vfs_register(&wal_keeping_vfs, 0) != SQLITE_OK) base_vfs = nullptr;
  });
  return base_vfs ? wal_keeping_vfs.zName : nullptr;
}
}

namespace ostrel::fs {

namespace {
// The most WAL a handle that wrote leaves behind when it closes.
constexpr off_t kWalKept = 128 * 1024;
}  // namespace

Store::~Store() { close(); }

void Store::close() {
  for (auto &[sql, stmt] : cache_) sqlite3_finalize(stmt);
  cache_.clear();
  if (db_) {
    if (in_txn_ || in_read_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    // A handle that wrote and leaves a WAL above kWalKept moves it into the
    // database and cuts it to nothing as it goes, when no reader holds it
    // back (else this does nothing).  Doing so after every commit cost a
    // sync of the database per process (half again the time of a one-file
    // commit); never doing it left up to 1 MiB between uses, several times
    // what a small repository holds.  The file itself stays, so the next
    // process needs no sync of the directory to make it again.
    //
    // The checkpoint never waits: with the busy handler it would wait for
    // every reader while holding the write lock, so a reader that is itself
    // about to write (another commit in this process or another) and every
    // committer behind it would stand still for the whole busy timeout.
    // Without it, a held-back checkpoint copies what it can and leaves the
    // rest to the next handle that closes.
    struct stat wal;
    if (wrote_ && stat((path_ + "-wal").c_str(), &wal) == 0 && wal.st_size > kWalKept) {
      sqlite3_busy_timeout(db_, 0);
      sqlite3_exec(db_, "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr);
    }
    sqlite3_close_v2(db_);
    db_ = nullptr;
  }
  in_txn_ = in_read_ = false;
}

ostrel_error *Store::error(int rc, const char *what) const {
  int primary = rc & 0xff;
  if (primary == SQLITE_OK || primary == SQLITE_ROW || primary == SQLITE_DONE) return nullptr;
  const char *detail = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
  switch (primary) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return ostrel_error_createf(OSTREL_ERR_FS_BUSY, nullptr,
                                  "Repository database '%s' is held by another writer for longer "
                                  "than %d ms (%s)",
                                  path_.c_str(), busy_timeout_ms_, what);
    case SQLITE_FULL:
      // WHAT may be a statement: it says nothing a user can act on.
      return ostrel_error_createf(OSTREL_ERR_FS_FULL, nullptr,
                                  "Repository database '%s': the disk is full", path_.c_str());
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
    case SQLITE_FORMAT:
      return ostrel_error_createf(OSTREL_ERR_FS_CORRUPT, nullptr,
                                  "Repository database '%s' is damaged: %s (%s)", path_.c_str(),
                                  detail, what);
    default:
      return ostrel_error_createf(OSTREL_ERR_FS_GENERAL, nullptr,
                                  "Repository database '%s': %s (%s)", path_.c_str(), detail, what);
  }
}

ostrel_error *Store::open(const std::string &path, bool create, int busy_timeout_ms) {
  path_ = path;
  busy_timeout_ms_ = busy_timeout_ms;
  int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | (create ? SQLITE_OPEN_CREATE : 0);
  int rc = sqlite3_open_v2(path.c_str(), &db_, flags, vfs_name());
  if (rc != SQLITE_OK) {
    ostrel_error *err;
    if ((rc & 0xff) == SQLITE_CANTOPEN)
      err = ostrel_error_createf(OSTREL_ERR_FS_CORRUPT, nullptr,
                                 "Repository database '%s' is missing or cannot be opened",
                                 path.c_str());
    else
      err = error(rc, "opening the database");
    close();
    return err;
  }
  sqlite3_extended_result_codes(db_, 1);
  sqlite3_busy_timeout(db_, busy_timeout_ms);
  // The WAL holds rows only (contents live in pack files): a checkpoint
  // every 256 pages (1 MiB) comes about once in 25 small commits, and keeps
  // the WAL, which stays between processes, from outweighing a small
  // repository; after a checkpoint the file is cut back to 1 MiB.
  sqlite3_wal_autocheckpoint(db_, 256);
  sqlite3_exec(db_, "PRAGMA journal_size_limit=1048576", nullptr, nullptr, nullptr);
  // The WAL stays between processes: every process that deleted it on
  // close would make the next one recreate it and pay two syncs per commit
  // for a checkpoint of a handful of pages.  Checkpoints happen as the WAL
  // grows (above).
  int persist = 1;
  sqlite3_file_control(db_, "main", SQLITE_FCNTL_PERSIST_WAL, &persist);
  sqlite3_db_config(db_, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
  // Freed pages are not overwritten with zeros: that rewrote every page a
  // sweep freed into the WAL, so freeing space first needed more of it.
  sqlite3_exec(db_, "PRAGMA secure_delete=OFF", nullptr, nullptr, nullptr);
  return nullptr;
}

ostrel_error *Store::exec(const char *sql) {
  char *msg = nullptr;
  int rc = sqlite3_exec(db_, sql, nullptr, nullptr, &msg);
  sqlite3_free(msg);
  return error(rc, sql);
}

ostrel_error *Store::prepare(Stmt &stmt, const char *sql) {
  if (stmt.stmt_) {
    sqlite3_reset(stmt.stmt_);
    sqlite3_clear_bindings(stmt.stmt_);
    stmt.stmt_ = nullptr;
  }
  const std::string_view text(sql);
  auto it = cache_.find(text);
  sqlite3_stmt *s;
  if (it == cache_.end()) {
    int rc = sqlite3_prepare_v2(db_, sql, static_cast<int>(text.size()) + 1, &s, nullptr);
    if (rc != SQLITE_OK) return error(rc, "preparing a query");
    cache_.emplace(text, s);
  } else {
    // A cached statement was reset and its bindings cleared when its last
    // Stmt let go of it; the reset here only guards against a step left
    // half done by a path that bypassed Stmt.
    s = it->second;
    sqlite3_reset(s);
  }
  stmt.stmt_ = s;
  stmt.store_ = this;
  return nullptr;
}

ostrel_error *Store::set_sync(bool full) {
  if (sync_ == (full ? 1 : 0)) return nullptr;
  OSTREL_ERR(exec(full ? "PRAGMA synchronous=FULL" : "PRAGMA synchronous=NORMAL"));
  sync_ = full ? 1 : 0;
  return nullptr;
}

ostrel_error *Store::begin_write(bool durable) {
  if (!refused_.empty())
    return ostrel_error_createf(OSTREL_ERR_FS_UNCERTAIN, nullptr,
                                "Repository database '%s' takes no more writes through this "
                                "handle: %s",
                                path_.c_str(), refused_.c_str());
  if (in_read_) end_read();  // a read snapshot cannot become a write
  OSTREL_ERR(set_sync(durable));
  OSTREL_ERR(exec("BEGIN IMMEDIATE"));
  in_txn_ = true;
  return nullptr;
}

ostrel_error *Store::commit() {
  char *msg = nullptr;
  int rc = sqlite3_exec(db_, "COMMIT", nullptr, nullptr, &msg);
  sqlite3_free(msg);
  if (rc != SQLITE_OK) {
    // An I/O error while committing may have left the commit record on
    // disk, or half of it, or nothing: nobody can say which until the
    // database is opened again.
    if ((rc & 0xff) == SQLITE_IOERR) {
      in_txn_ = false;
      sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
      return uncertain(sqlite3_errstr(rc));
    }
    ostrel_error *err = error(rc, "committing");
    rollback();
    return err;
  }
  in_txn_ = false;
  wrote_ = true;
  return nullptr;
}

ostrel_error *Store::uncertain(const char *why) {
  if (refused_.empty())
    refused_ = std::string("the outcome of a commit is unknown (") + why +
               "); open the repository again to see whether it happened";
  return ostrel_error_createf(OSTREL_ERR_FS_UNCERTAIN, nullptr, "Repository database '%s': %s",
                              path_.c_str(), refused_.c_str());
}

void Store::rollback() {
  if (!in_txn_) return;
  sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  in_txn_ = false;
}

namespace {
constexpr int kLingerUses = 1000;
}

ostrel_error *Store::begin_read() {
  if (in_read_ && lingering_) {  // taken over by a scope
    lingering_ = false;
    return nullptr;
  }
  if (in_txn_ || in_read_) return nullptr;
  OSTREL_ERR(exec("BEGIN"));
  in_read_ = true;
  lingering_ = false;
  linger_uses_ = 0;
  return nullptr;
}

void Store::end_read() {
  if (!in_read_) return;
  sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
  in_read_ = false;
  lingering_ = false;
}

void Store::scope_done() {
  if (!in_read_) return;
  if (++linger_uses_ >= kLingerUses) {
    end_read();
    return;
  }
  lingering_ = true;
}

ostrel_error *Store::refresh_read() {
  if (!in_read_) return nullptr;
  const bool was_lingering = lingering_;
  end_read();
  if (was_lingering) return nullptr;
  OSTREL_ERR(exec("BEGIN"));  // inside a scope: a fresh snapshot for its rest
  in_read_ = true;
  linger_uses_ = 0;
  return nullptr;
}

int64_t Store::last_insert_id() const { return sqlite3_last_insert_rowid(db_); }

ostrel_error *Store::query_plans(std::map<std::string, std::string> &plans) {
  plans.clear();
  for (auto &[sql, cached] : cache_) {
    if (sql.rfind("PRAGMA", 0) == 0) continue;
    sqlite3_stmt *st;
    int rc = sqlite3_prepare_v2(db_, ("EXPLAIN QUERY PLAN " + sql).c_str(), -1, &st, nullptr);
    if (rc != SQLITE_OK) return error(rc, "explaining a query");
    std::string plan;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
      const unsigned char *detail = sqlite3_column_text(st, 3);
      plan += detail ? reinterpret_cast<const char *>(detail) : "";
      plan += '\n';
    }
    sqlite3_finalize(st);
    if (rc != SQLITE_DONE) return error(rc, "explaining a query");
    plans[sql] = plan;
  }
  return nullptr;
}

Stmt::~Stmt() {
  if (stmt_) {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }
}

Stmt &Stmt::bind(int i, int64_t v) {
  sqlite3_bind_int64(stmt_, i, v);
  return *this;
}
Stmt &Stmt::bind(int i, const std::string &v) {
  sqlite3_bind_text(stmt_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
  return *this;
}
Stmt &Stmt::bind_text(int i, const char *v) {
  if (v)
    sqlite3_bind_text(stmt_, i, v, -1, SQLITE_TRANSIENT);
  else
    sqlite3_bind_null(stmt_, i);
  return *this;
}
Stmt &Stmt::bind_blob(int i, const void *data, size_t len) {
  sqlite3_bind_blob64(stmt_, i, data ? data : "", len, SQLITE_TRANSIENT);
  return *this;
}
Stmt &Stmt::bind_null(int i) {
  sqlite3_bind_null(stmt_, i);
  return *this;
}

ostrel_error *Stmt::step(bool *row) {
  int rc = sqlite3_step(stmt_);
  *row = rc == SQLITE_ROW;
  if (rc == SQLITE_ROW || rc == SQLITE_DONE) return nullptr;
  return store_->error(rc, sqlite3_sql(stmt_));
}

ostrel_error *Stmt::run() {
  bool row;
  return step(&row);
}

bool Stmt::is_null(int col) const { return sqlite3_column_type(stmt_, col) == SQLITE_NULL; }
int64_t Stmt::int64(int col) const { return sqlite3_column_int64(stmt_, col); }
std::string Stmt::text(int col) const {
  const unsigned char *t = sqlite3_column_text(stmt_, col);
  return t ? std::string(reinterpret_cast<const char *>(t),
                         static_cast<size_t>(sqlite3_column_bytes(stmt_, col)))
           : std::string();
}
const void *Stmt::blob(int col) const { return sqlite3_column_blob(stmt_, col); }
size_t Stmt::bytes(int col) const { return static_cast<size_t>(sqlite3_column_bytes(stmt_, col)); }

}  // namespace ostrel::fs
