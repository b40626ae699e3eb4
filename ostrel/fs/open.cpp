// Creating and opening a repository database: the schema, the format record
// and the configuration a filesystem is opened with.

#include <cerrno>
#include <cstdlib>

#include "filesystem_private.h"
#include "handles.h"
#include "packs.h"

using namespace ostrel::fs;

namespace {

// Where each chunk's bytes are in the content store (packs.h), and each
// pack's committed end.
#define PACK_TABLES                                                                              \
  "CREATE TABLE pchunk(content INTEGER NOT NULL, seq INTEGER NOT NULL, raw_len INTEGER NOT NULL," \
  "  codec INTEGER NOT NULL, pack INTEGER NOT NULL, off INTEGER NOT NULL, len INTEGER NOT NULL,"  \
  "  sum INTEGER NOT NULL, PRIMARY KEY(content, seq)) WITHOUT ROWID;"                            \
  "CREATE TABLE pack(id INTEGER PRIMARY KEY, end_off INTEGER NOT NULL);"

const char kSchema[] =
    "CREATE TABLE meta(key TEXT PRIMARY KEY, value TEXT NOT NULL);"
    "CREATE TABLE revision(rev INTEGER PRIMARY KEY, root INTEGER NOT NULL);"
    "CREATE TABLE revprop(rev INTEGER NOT NULL, name TEXT NOT NULL, value BLOB NOT NULL,"
    "  PRIMARY KEY(rev, name)) WITHOUT ROWID;"
    "CREATE TABLE node(id INTEGER PRIMARY KEY, kind INTEGER NOT NULL, nid INTEGER NOT NULL,"
    "  pred INTEGER, line INTEGER NOT NULL, created_rev INTEGER NOT NULL, copy_path TEXT,"
    "  copy_rev INTEGER, content INTEGER, props BLOB NOT NULL, dkey INTEGER, asof INTEGER);"
    "CREATE INDEX node_line_starts ON node(created_rev) WHERE pred IS NULL;"
    "CREATE TABLE dirkey(id INTEGER PRIMARY KEY, parent INTEGER, parent_asof INTEGER,"
    "  head_asof INTEGER NOT NULL);"
    "CREATE TABLE dirent(dkey INTEGER NOT NULL, name TEXT NOT NULL, start_rev INTEGER NOT NULL,"
    "  end_rev INTEGER NOT NULL, child INTEGER, kind INTEGER,"
    "  PRIMARY KEY(dkey, name, start_rev)) WITHOUT ROWID;"
    "CREATE INDEX dirent_alive ON dirent(dkey, end_rev);"
    "CREATE INDEX dirent_by_start ON dirent(dkey, start_rev);"
    "CREATE TABLE content(id INTEGER PRIMARY KEY, sha TEXT, length INTEGER NOT NULL,"
    "  chunks INTEGER NOT NULL, txn INTEGER, base INTEGER, depth INTEGER NOT NULL DEFAULT 0);"
    "CREATE INDEX content_by_sha ON content(sha) WHERE txn IS NULL;"
    "CREATE INDEX content_by_txn ON content(txn) WHERE txn IS NOT NULL;"
    "CREATE TABLE txn(id INTEGER PRIMARY KEY, pid INTEGER NOT NULL, base INTEGER NOT NULL);"
    "CREATE TABLE changed_path(rev INTEGER NOT NULL, path TEXT NOT NULL, change INTEGER NOT NULL,"
    "  node_kind INTEGER NOT NULL, text_mod INTEGER NOT NULL, prop_mod INTEGER NOT NULL,"
    "  copy_path TEXT, copy_rev INTEGER, PRIMARY KEY(rev, path)) WITHOUT ROWID;"
    "CREATE TABLE node_origin(line INTEGER PRIMARY KEY, rev INTEGER NOT NULL);"
    PACK_TABLES;

apr_status_t close_fs(void *data) {
  auto *filesystem = static_cast<ostrel_fs *>(data);
  // Answers not written are computed again by whoever asks next.
  ostrel_error_clear(flush_origins(filesystem));
  delete filesystem;
  return APR_SUCCESS;
}

ostrel_error *parse_config(apr_hash_t *config, int *busy_ms) {
  *busy_ms = 10000;
  if (!config) return nullptr;
  auto *value = static_cast<const char *>(apr_hash_get(config, OSTREL_FS_CONFIG_BUSY_TIMEOUT,
                                                      APR_HASH_KEY_STRING));
  if (!value) return nullptr;
  char *end;
  errno = 0;
  long ms = strtol(value, &end, 10);
  if (errno || end == value || *end || ms < 0 || ms > 86400000)
    return ostrel_error_createf(OSTREL_ERR_BAD_CONFIG_OPTION, nullptr,
                                "Invalid value '%s' for '%s': expected milliseconds", value,
                                OSTREL_FS_CONFIG_BUSY_TIMEOUT);
  *busy_ms = static_cast<int>(ms);
  return nullptr;
}

ostrel_error *open_fs(ostrel_fs **out, const char *db_path, apr_hash_t *config, bool create,
                      apr_pool_t *pool) {
  auto filesystem = std::make_unique<ostrel_fs>();
  OSTREL_ERR(parse_config(config, &filesystem->busy_timeout_ms));
  std::string db(db_path);
  size_t slash = db.rfind('/');
  filesystem->repo_dir = slash == std::string::npos ? "." : slash == 0 ? "/" : db.substr(0, slash);
  const std::string packs_dir = filesystem->repo_dir + "/" + kPacksDir;
  filesystem->packs = make_local_packs(packs_dir, filesystem->repo_dir);
  if (create) OSTREL_ERR(make_packs_dir(packs_dir));
  OSTREL_ERR(filesystem->store.open(db_path, create, filesystem->busy_timeout_ms));
  Store &store = filesystem->store;
  if (create) {
    OSTREL_ERR(store.exec("PRAGMA journal_mode=WAL"));
    OSTREL_ERR(store.begin_write(true));
    ostrel_error *err = [&]() -> ostrel_error * {
      OSTREL_ERR(store.exec(kSchema));
      Stmt st;
      OSTREL_ERR(store.prepare(st, "INSERT INTO meta(key, value) VALUES('format', ?1)"));
      st.bind(1, std::to_string(OSTREL_FS__FORMAT));
      OSTREL_ERR(st.run());
      OSTREL_ERR(store.exec("INSERT INTO node(id, kind, nid, pred, line, created_rev, props) "
                            "VALUES(1, 2, 1, NULL, 1, 0, x'');"
                            "INSERT INTO revision(rev, root) VALUES(0, 1);"
                            // The root directory's line of history began with the
                            // repository; no commit ever starts it, so its origin is
                            // known from creation.
                            "INSERT INTO node_origin(line, rev) VALUES(1, 0);"));
      OSTREL_ERR(store.prepare(st, "INSERT INTO revprop(rev, name, value) VALUES(0, ?1, ?2)"));
      std::string date = revision_date_now();
      st.bind(1, std::string(OSTREL_PROP_REVISION_DATE)).bind_blob(2, date.data(), date.size());
      return st.run();
    }();
    if (err) {
      store.rollback();
      return err;
    }
    OSTREL_ERR(store.commit());
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
                                  db_path);
    OSTREL_ERR(store.prepare(st, "SELECT value FROM meta WHERE key='format'"));
    OSTREL_ERR(st.step(&row));
    if (!row)
      return ostrel_error_createf(OSTREL_ERR_FS_CORRUPT, nullptr,
                                  "Repository database '%s' has no format record", db_path);
    std::string format = st.text(0);
    if (format == std::to_string(kLegacyFormat))
      filesystem->format = kLegacyFormat;
    else if (format != std::to_string(OSTREL_FS__FORMAT))
      return ostrel_error_createf(OSTREL_ERR_FS_BAD_FORMAT, nullptr,
                                  "Repository database '%s' has format '%s'; this build reads "
                                  "formats %d and %d",
                                  db_path, format.c_str(), kLegacyFormat, OSTREL_FS__FORMAT);
  }
  *out = filesystem.release();
  apr_pool_cleanup_register(pool, *out, close_fs, apr_pool_cleanup_null);
  return nullptr;
}

}  // namespace

extern "C" {

ostrel_error *ostrel_fs__create(ostrel_fs **filesystem, const char *db_path, apr_hash_t *fs_config,
                                apr_pool_t *pool) {
  return open_fs(filesystem, db_path, fs_config, true, pool);
}

ostrel_error *ostrel_fs__open(ostrel_fs **filesystem, const char *db_path, apr_hash_t *fs_config,
                              apr_pool_t *pool) {
  return open_fs(filesystem, db_path, fs_config, false, pool);
}

ostrel_error *ostrel_fs__upgrade(const char *db_path, int *old_format, apr_pool_t *pool) {
  ostrel_fs *filesystem;
  OSTREL_ERR(open_fs(&filesystem, db_path, nullptr, false, pool));
  *old_format = filesystem->format;
  if (filesystem->format == OSTREL_FS__FORMAT) return nullptr;
  OSTREL_ERR(make_packs_dir(filesystem->repo_dir + "/" + kPacksDir));
  Store &store = filesystem->store;
  // One write transaction: a crash leaves the legacy database as it was
  // (and at most unreferenced bytes in a pack, which the next writer of the
  // pack truncates).
  OSTREL_ERR(store.begin_write(true));
  ostrel_error *err = [&]() -> ostrel_error * {
    // Transactions in flight would be left with contents in the old place.
    auto open_txns = [&store](int64_t *n) -> ostrel_error * {
      Stmt st;
      bool row;
      OSTREL_ERR(store.prepare(st, "SELECT count(*) FROM txn"));
      OSTREL_ERR(st.step(&row));
      *n = st.int64(0);
      return nullptr;
    };
    int64_t open = 0;
    OSTREL_ERR(open_txns(&open));
    if (open > 0) {
      OSTREL_ERR(sweep_dead_txns(filesystem));
      OSTREL_ERR(open_txns(&open));
      if (open > 0)
        return ostrel_error_createf(OSTREL_ERR_FS_BUSY, nullptr,
                                    "Cannot upgrade '%s' while a transaction is open on it",
                                    db_path);
    }
    OSTREL_ERR(store.exec("ALTER TABLE content ADD COLUMN base INTEGER;"
                          "ALTER TABLE content ADD COLUMN depth INTEGER NOT NULL DEFAULT 0;"
                          PACK_TABLES));
    filesystem->format = OSTREL_FS__FORMAT;
    OSTREL_ERR(convert_legacy_contents(filesystem));
    OSTREL_ERR(store.exec("DROP TABLE chunk"));
    Stmt st;
    OSTREL_ERR(store.prepare(st, "UPDATE meta SET value=?1 WHERE key='format'"));
    st.bind(1, std::to_string(OSTREL_FS__FORMAT));
    return st.run();
  }();
  if (err) {
    store.rollback();
    filesystem->format = kLegacyFormat;
    return err;
  }
  OSTREL_ERR(store.commit());
  // The rows that held the contents are free pages now: give them back.
  return store.exec("VACUUM");
}

}  // extern "C"
