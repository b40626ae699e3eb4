// Opening a repository's stores (the metadata on SQLite, the contents in
// local packs or, for format 1, inside the metadata), the configuration a
// filesystem is opened with, upgrades and backups.

#include <cerrno>
#include <cstdlib>

#include "filesystem_private.h"
#include "handles.h"
#include "os.h"
#include "sqlite/sqlite_meta.h"

using namespace ostrel::fs;

namespace {

apr_status_t close_fs(void *data) {
  auto *filesystem = static_cast<ostrel_fs *>(data);
  // Answers not written are computed again by whoever asks next.
  ostrel_error_clear(flush_origins(filesystem));
  delete filesystem;
  return APR_SUCCESS;
}

}  // namespace

ostrel_error *ostrel::fs::parse_fs_config(apr_hash_t *config, int *busy_ms, int *format) {
  *busy_ms = 10000;
  if (format) *format = OSTREL_FS__FORMAT;
  if (!config) return nullptr;
  if (auto *f = static_cast<const char *>(apr_hash_get(config, OSTREL_FS_CONFIG_FORMAT,
                                                      APR_HASH_KEY_STRING))) {
    if (std::string(f) != "2" && std::string(f) != "3" && std::string(f) != "5")
      return ostrel_error_createf(OSTREL_ERR_BAD_CONFIG_OPTION, nullptr,
                                  "Invalid value '%s' for '%s': expected 2, 3 or 5", f,
                                  OSTREL_FS_CONFIG_FORMAT);
    if (format) *format = f[0] - '0';
  }
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

namespace {

ostrel_error *open_fs(ostrel_fs **out, const char *db_path, apr_hash_t *config, bool create,
                      apr_pool_t *pool) {
  auto filesystem = std::make_unique<ostrel_fs>();
  int format;
  OSTREL_ERR(parse_fs_config(config, &filesystem->busy_timeout_ms, &format));
  std::string db(db_path);
  size_t slash = db.rfind('/');
  filesystem->repo_dir = slash == std::string::npos ? "." : slash == 0 ? "/" : db.substr(0, slash);
  if (create) OSTREL_ERR(make_packs_dir(filesystem->repo_dir));
  OSTREL_ERR(open_sqlite_meta(db_path, create, filesystem->busy_timeout_ms, revision_date_now(),
                              &filesystem->meta, format));
  filesystem->format = filesystem->meta->format();
  filesystem->contents = filesystem->format == kLegacyFormat
                             ? make_record_contents(*filesystem->meta)
                             : make_local_packs(filesystem->repo_dir);
  *out = filesystem.release();
  apr_pool_cleanup_register(pool, *out, close_fs, apr_pool_cleanup_null);
  return nullptr;
}

}  // namespace

ostrel_error *ostrel::fs::open_with_stores(ostrel_fs **out, std::unique_ptr<MetaStore> meta,
                                           std::unique_ptr<ContentStore> contents,
                                           apr_pool_t *pool) {
  auto filesystem = std::make_unique<ostrel_fs>();
  filesystem->format = meta->format();
  filesystem->meta = std::move(meta);
  filesystem->contents = std::move(contents);
  *out = filesystem.release();
  apr_pool_cleanup_register(pool, *out, close_fs, apr_pool_cleanup_null);
  return nullptr;
}

extern "C" {

int ostrel_fs__format(ostrel_fs *filesystem) { return filesystem->format; }

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
  OSTREL_ERR(make_packs_dir(filesystem->repo_dir));
  auto packs = make_local_packs(filesystem->repo_dir);
  UpgradeSteps steps;
  steps.decode = [](int64_t id, int64_t seq, const std::string &stored, int64_t raw_len,
                    std::string &raw) -> ostrel_error * {
    if (raw_len < 0 || raw_len > static_cast<int64_t>(kChunkSize))
      return ostrel_error_createf(OSTREL_ERR_FS_CORRUPT, nullptr,
                                  "Repository is damaged: chunk %lld of contents %lld is too large",
                                  static_cast<long long>(seq), static_cast<long long>(id));
    raw.resize(static_cast<size_t>(raw_len));
    size_t got = ZSTD_decompress(raw.data(), raw.size(), stored.data(), stored.size());
    if (ZSTD_isError(got) || got != raw.size())
      return ostrel_error_createf(OSTREL_ERR_FS_CORRUPT, nullptr,
                                  "Repository is damaged: chunk %lld of contents %lld cannot be "
                                  "decompressed",
                                  static_cast<long long>(seq), static_cast<long long>(id));
    return nullptr;
  };
  steps.encode = [filesystem](const std::string &raw, ChunkRow *chunk,
                              std::string &stored) -> ostrel_error * {
    std::string packed;
    const std::string *bytes;
    OSTREL_ERR(encode_chunk(filesystem, raw, nullptr, chunk, packed, &bytes));
    stored = *bytes;
    return nullptr;
  };
  steps.process_alive = [](int64_t pid) { return ostrel::os::current().process_alive(pid); };
  int was;
  OSTREL_ERR(upgrade_records(*filesystem->meta, *packs, steps, &was));
  filesystem->format = OSTREL_FS__FORMAT;
  return nullptr;
}

ostrel_error *ostrel_fs__hold_commit_lock(ostrel_fs *filesystem) {
  if (filesystem->held) return nullptr;
  renew(filesystem);
  return filesystem->meta->begin_writer(false, &filesystem->held);
}

void ostrel_fs__release_commit_lock(ostrel_fs *filesystem) { filesystem->held.reset(); }

ostrel_error *ostrel_fs__backup(ostrel_fs *filesystem, const char *dst_dir, const char *dst_db,
                                apr_pool_t *pool) {
  // The records first, as one snapshot; then the contents they reference,
  // as the copy's marks say (bytes before a mark never change).
  OSTREL_ERR(filesystem->meta->backup(dst_db));
  std::unique_ptr<MetaStore> copy;
  OSTREL_ERR(open_sqlite_meta(dst_db, false, filesystem->busy_timeout_ms, "", &copy));
  std::unique_ptr<Snapshot> snapshot;
  OSTREL_ERR(copy->snapshot(&snapshot));
  (void)pool;
  return filesystem->contents->copy_to(dst_dir, [&snapshot](std::vector<StoreMark> *marks) {
    return snapshot->store_marks(marks);
  });
}

}  // extern "C"
