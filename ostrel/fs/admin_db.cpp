// Administration through a database connection of its own: revision
// property changes and online copies of a live database.
//
// The copy uses SQLite's online backup in one step.  Stepping page by page
// would let every commit made meanwhile restart the copy from the start, so
// a busy repository might never be copied; one step reads every page inside
// one read transaction, which in WAL mode sees one snapshot and never blocks
// a committer.

#include "admin_db.h"

#include <sqlite3.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "ostrel_fs.h"
#include "store.h"

using ostrel::fs::Stmt;
using ostrel::fs::Store;

namespace {

ostrel_error *sqlite_error(sqlite3 *db, int rc, const char *what, const char *path) {
  return ostrel_error_createf(OSTREL_ERR_FS_GENERAL, nullptr, "Cannot %s '%s': %s", what, path,
                              db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
}

ostrel_error *set_rev_prop_locked(Store &store, ostrel_revnum rev, const char *name,
                                  const ostrel_string *value) {
  Stmt st;
  OSTREL_ERR(store.prepare(st, "SELECT 1 FROM revision WHERE rev=?1"));
  st.bind(1, int64_t{rev});
  bool row;
  OSTREL_ERR(st.step(&row));
  if (!row)
    return ostrel_error_createf(OSTREL_ERR_FS_NO_SUCH_REVISION, nullptr, "No such revision %ld",
                                static_cast<long>(rev));
  if (value) {
    OSTREL_ERR(store.prepare(st,
                             "INSERT OR REPLACE INTO revprop(rev, name, value) "
                             "VALUES(?1, ?2, ?3)"));
    st.bind(1, int64_t{rev}).bind_text(2, name).bind_blob(3, value->data, value->len);
  } else {
    OSTREL_ERR(store.prepare(st, "DELETE FROM revprop WHERE rev=?1 AND name=?2"));
    st.bind(1, int64_t{rev}).bind_text(2, name);
  }
  return st.run();
}

}  // namespace

extern "C" {

ostrel_error *ostrel_fs__set_rev_prop(const char *db_path, int busy_timeout_ms, ostrel_revnum rev,
                                      const char *name, const ostrel_string *value) {
  Store store;
  OSTREL_ERR(store.open(db_path, false, busy_timeout_ms));
  OSTREL_ERR(store.begin_write(true));
  ostrel_error *err = set_rev_prop_locked(store, rev, name, value);
  if (!err) err = store.fault_point("revprop-written");
  if (err) {
    store.rollback();
    return err;
  }
  return store.commit();
}

ostrel_error *ostrel_fs__backup_db(const char *src_db, const char *dst_db) {
  sqlite3 *src = nullptr, *dst = nullptr;
  ostrel_error *err = nullptr;
  int rc = sqlite3_open_v2(src_db, &src, SQLITE_OPEN_READONLY, nullptr);
  if (rc != SQLITE_OK) {
    err = sqlite_error(src, rc, "open the database", src_db);
  } else {
    sqlite3_busy_timeout(src, 10000);
    rc = sqlite3_open_v2(dst_db, &dst, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
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
        err = sqlite_error(nullptr, rc, "copy the database", src_db);
      else if (finish != SQLITE_OK)
        err = sqlite_error(dst, finish, "finish the copy into", dst_db);
    }
  }
  // The copy carries the source's WAL mode in its header; a checkpoint and a
  // full sync make it whole in its main file before anyone relies on it.
  if (!err && (rc = sqlite3_exec(dst, "PRAGMA synchronous=FULL; PRAGMA wal_checkpoint(TRUNCATE);",
                                 nullptr, nullptr, nullptr)) != SQLITE_OK)
    err = sqlite_error(dst, rc, "sync the copy", dst_db);
  sqlite3_close_v2(src);
  if (dst && sqlite3_close_v2(dst) != SQLITE_OK && !err)
    err = sqlite_error(nullptr, SQLITE_ERROR, "close the copy", dst_db);
  if (!err) {
    FILE *f = std::fopen(dst_db, "r+");
    if (!f || fsync(fileno(f)) != 0)
      err = ostrel_error_from_errno(errno, "Can't sync file '%s'", dst_db);
    if (f) std::fclose(f);
  }
  if (err) {
    for (const char *suffix : {"", "-wal", "-shm"})
      std::remove((std::string(dst_db) + suffix).c_str());
  }
  return err;
}

}  // extern "C"
