// Making and opening a filesystem whose stores are in PostgreSQL.

#include <optional>

#include "../handles.h"
#include "pg_conn.h"
#include "postgres.h"
#include "postgres_fs.h"

using namespace ostrel::fs;

namespace {

ostrel_error *open_pg(ostrel_fs **out, const char *name, const char *conninfo,
                      apr_hash_t *config, bool create, apr_pool_t *pool) {
  int busy_ms;
  OSTREL_ERR(parse_fs_config(config, &busy_ms));
  std::unique_ptr<MetaStore> meta;
  if (create)
    OSTREL_ERR(pg::create_meta(conninfo, name, revision_date_now(), busy_ms, &meta));
  else
    OSTREL_ERR(pg::open_meta(conninfo, name, busy_ms, &meta));
  OSTREL_ERR(open_with_stores(out, std::move(meta), pg::make_contents(conninfo, name), pool));
  (*out)->busy_timeout_ms = busy_ms;
  (*out)->repo_dir = name;
  return OSTREL_NO_ERROR;
}

}  // namespace

extern "C" {

ostrel_error *ostrel_fs__check_conninfo(const char *conninfo) {
  return pg::check_conninfo(conninfo, nullptr);
}

ostrel_error *ostrel_fs__create_postgres(ostrel_fs **filesystem, const char *name,
                                         const char *conninfo, apr_hash_t *fs_config,
                                         apr_pool_t *pool) {
  return open_pg(filesystem, name, conninfo, fs_config, true, pool);
}

ostrel_error *ostrel_fs__open_postgres(ostrel_fs **filesystem, const char *name,
                                       const char *conninfo, apr_hash_t *fs_config,
                                       apr_pool_t *pool) {
  return open_pg(filesystem, name, conninfo, fs_config, false, pool);
}

ostrel_error *ostrel_fs__pin_snapshot(ostrel_fs *filesystem) {
  renew(filesystem);  // a snapshot kept from before would name a younger state
  return filesystem->meta->pin_snapshot();
}

int ostrel_fs__is_postgres(ostrel_fs *filesystem) {
  return filesystem->format == pg::kPostgresFormat;
}

ostrel_error *ostrel_fs__change_rev_prop_postgres(ostrel_fs *filesystem, ostrel_revnum rev,
                                                  const char *name, const ostrel_string *value) {
  std::optional<std::string> v;
  if (value) v.emplace(value->data, value->len);
  return in_writer(filesystem, true, [&](Writer &writer) -> ostrel_error * {
    OSTREL_ERR(writer.set_revision_prop(rev, name, v));
    return fault_point("revprop-written");
  });
}

ostrel_error *ostrel_fs__collect_postgres(const char *name, const char *conninfo,
                                          long long grace_seconds, long long counts[3]) {
  pg::Collected done;
  OSTREL_ERR(pg::collect_unreferenced(conninfo, name, grace_seconds, 10000, &done));
  counts[0] = done.chunks;
  counts[1] = done.bytes;
  counts[2] = done.transactions;
  return OSTREL_NO_ERROR;
}

}  // extern "C"
