/* store.h: one SQLite connection to a repository database, its prepared
 * statements, its transactions, and the one translation of SQLite results
 * into ostrel_error codes (busy, full disk, damage, uncertain commit, other).
 * Only the files of this folder include it; nothing outside includes
 * sqlite3.h. */
#ifndef OSTREL_FS_SQLITE_STORE_H
#define OSTREL_FS_SQLITE_STORE_H

#include <sqlite3.h>

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>

#include "ostrel_error.h"

namespace ostrel::fs {

class Stmt;

class Store {
 public:
  Store() = default;
  Store(const Store &) = delete;
  Store &operator=(const Store &) = delete;
  ~Store();

  /* Opens the database file PATH; CREATE makes it (it must not exist). */
  ostrel_error *open(const std::string &path, bool create, int busy_timeout_ms);
  void close();

  /* Runs SQL that returns no rows (several statements allowed). */
  ostrel_error *exec(const char *sql);

  /* A cached prepared statement for SQL, reset and with bindings cleared. */
  ostrel_error *prepare(Stmt &stmt, const char *sql);

  /* Write transactions.  begin_write takes the database's single write lock
   * (waiting up to the busy timeout, then OSTREL_ERR_FS_BUSY); commit makes
   * the transaction durable; rollback undoes it (never fails visibly).
   * DURABLE asks for a full sync at commit. */
  ostrel_error *begin_write(bool durable);
  /* When COMMIT itself fails with an I/O error its outcome is unknown: the
   * connection then refuses every further write (OSTREL_ERR_FS_UNCERTAIN,
   * naming the first failure), since going on could build on a revision
   * that does not exist or write one twice. */
  ostrel_error *commit();
  /* Records that the outcome of the last commit is unknown because of WHY
   * and returns the error saying so. */
  ostrel_error *uncertain(const char *why);
  const char *refused() const { return refused_.empty() ? nullptr : refused_.c_str(); }
  void rollback();
  bool in_transaction() const { return in_txn_; }
  bool in_read() const { return in_read_; }

  /* Chooses how a write that is not inside begin_write/commit is synced:
   * FULL survives power loss; NORMAL (WAL) survives a killed process, and on
   * power loss may lose the newest commits, never leaving a partial one. */
  ostrel_error *set_sync(bool full);

  /* Read transactions give one consistent snapshot to several queries.
   * A read transaction begun by a ReadScope outlives it ("lingers") for
   * the next scopes, up to kLingerUses of them: taking and dropping
   * SQLite's locks around every call cost more than the call.  A lingering
   * snapshot may be older than the newest commit; whoever needs the newest
   * (the youngest revision, a revision that seems missing) calls
   * refresh_read, and a write transaction ends it first. */
  ostrel_error *begin_read();
  void end_read();
  void scope_done();
  ostrel_error *refresh_read();
  bool lingering() const { return in_read_ && lingering_; }

  int64_t last_insert_id() const;

  /* Turns a SQLite result into an error naming WHAT; NULL for success codes. */
  ostrel_error *error(int rc, const char *what) const;

  const std::string &path() const { return path_; }

  /* The text of every statement prepared so far (PRAGMAs aside), each with
   * its query plan as EXPLAIN QUERY PLAN gives it, one step a line: lets
   * tests check the plans of the statements the storage really runs. */
  ostrel_error *query_plans(std::map<std::string, std::string> &plans);

 private:
  sqlite3 *db_ = nullptr;
  std::string path_;
  // Prepared statements by their text, looked up without a copy of it (a
  // batched insert's text runs to a few KiB).
  struct TextHash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
  };
  std::unordered_map<std::string, sqlite3_stmt *, TextHash, std::equal_to<>> cache_;
  bool in_txn_ = false;
  bool in_read_ = false;
  bool lingering_ = false;
  int linger_uses_ = 0;
  int sync_ = -1;  // -1 unknown, 0 NORMAL, 1 FULL
  int busy_timeout_ms_ = 10000;
  std::string refused_;
  bool wrote_ = false;  // a write transaction committed through this connection
};

/* One consistent snapshot for the reads of one call: begins a read
 * transaction unless one (or a write transaction) is already open, and ends
 * it when the scope ends.  Besides consistency this saves SQLite from taking
 * and dropping its locks around every single statement. */
class ReadScope {
 public:
  explicit ReadScope(Store &store) : store_(store) {}
  ReadScope(const ReadScope &) = delete;
  ReadScope &operator=(const ReadScope &) = delete;
  ~ReadScope() { end(); }
  ostrel_error *begin() {
    if (store_.in_transaction() || (store_.in_read() && !store_.lingering())) return nullptr;
    OSTREL_ERR(store_.begin_read());
    mine_ = true;
    return nullptr;
  }
  void end() {
    if (mine_) store_.scope_done();
    mine_ = false;
  }

 private:
  Store &store_;
  bool mine_ = false;
};

/* A borrowed prepared statement: binds, steps and reads columns.  Resetting
 * happens on the next prepare() and when the Stmt goes out of scope. */
class Stmt {
 public:
  Stmt() = default;
  Stmt(const Stmt &) = delete;
  Stmt &operator=(const Stmt &) = delete;
  ~Stmt();

  Stmt &bind(int i, int64_t v);
  Stmt &bind(int i, const std::string &v);
  Stmt &bind_text(int i, const char *v);  // NULL binds NULL
  Stmt &bind_blob(int i, const void *data, size_t len);
  Stmt &bind_null(int i);

  /* Steps once: *ROW is true when a row is available. */
  ostrel_error *step(bool *row);
  /* Steps a statement that returns no rows. */
  ostrel_error *run();

  bool is_null(int col) const;
  int64_t int64(int col) const;
  std::string text(int col) const;
  const void *blob(int col) const;
  size_t bytes(int col) const;

 private:
  friend class Store;
  const Store *store_ = nullptr;
  sqlite3_stmt *stmt_ = nullptr;
};

}  // namespace ostrel::fs

#endif /* OSTREL_FS_SQLITE_STORE_H */
