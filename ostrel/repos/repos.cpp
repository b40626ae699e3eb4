// Repositories on local disk: a directory with a format file and the
// filesystem's database.

#include <apr_file_info.h>
#include <apr_file_io.h>
#include <apr_strings.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "../fs/filesystem_private.h"
#include "../fs/os.h"
#include "../fs/postgres/postgres_fs.h"
#include "layout.h"
#include "ostrel_repos.h"

struct ostrel_repos {
  const char *path;
  ostrel_fs *filesystem;
};

using ostrel::repos::child;
using ostrel::repos::kConninfoFile;
using ostrel::repos::kDbFile;
using ostrel::repos::kFormatFile;

namespace {

// Reads the format file of the repository at PATH.  *FOUND is false when
// there is none.
ostrel_error *read_format(const char *path, bool *found, int *format) {
  std::string file = child(path, kFormatFile);
  std::string text;
  OSTREL_ERR(ostrel::os::current().read_small_file(file, 31, &text, found));
  if (!*found) return nullptr;
  char *end;
  errno = 0;
  long value = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || end == text.c_str() || (*end != '\n' && *end != '\0'))
    return ostrel_error_createf(OSTREL_ERR_FS_BAD_FORMAT, nullptr,
                                "Repository '%s' has an unreadable format file", path);
  // A format is a small positive number; anything else was never written by
  // any build, so the file is damaged (and must not wrap into another value).
  if (errno == ERANGE || value < 1 || value > 1000000) {
    while (!text.empty() && text.back() == '\n') text.pop_back();
    return ostrel_error_createf(OSTREL_ERR_FS_CORRUPT, nullptr,
                                "Repository '%s' is damaged: its format file '%s' holds '%s', "
                                "which is no format number",
                                path, file.c_str(), text.c_str());
  }
  *format = static_cast<int>(value);
  return nullptr;
}

// Reads the format of the repository at PATH into *FORMAT, refusing a
// directory that is no repository and a format this build cannot read.
ostrel_error *read_readable_format(const char *path, int *format) {
  bool found;
  OSTREL_ERR(read_format(path, &found, format));
  if (!found)
    return ostrel_error_createf(OSTREL_ERR_REPOS_NOT_FOUND, nullptr,
                                "'%s' is not a repository (it has no format file)", path);
  if (*format != OSTREL_FS__FORMAT && *format != OSTREL_FS__TREES_FORMAT &&
      *format != OSTREL_FS__PACKS_FORMAT && *format != OSTREL_FS__LEGACY_FORMAT &&
      *format != OSTREL_FS__POSTGRES_FORMAT)
    return ostrel_error_createf(OSTREL_ERR_FS_BAD_FORMAT, nullptr,
                                "Repository '%s' has format %d; this build reads formats %d to %d "
                                "and %d (local) and %d (PostgreSQL)",
                                path, *format, OSTREL_FS__LEGACY_FORMAT, OSTREL_FS__TREES_FORMAT,
                                OSTREL_FS__FORMAT, OSTREL_FS__POSTGRES_FORMAT);
  return nullptr;
}

// The connection info of a repository in PostgreSQL, from its directory.
ostrel_error *read_conninfo(const char *path, std::string *conninfo) {
  std::string file = child(path, kConninfoFile);
  bool found;
  OSTREL_ERR(ostrel::os::current().read_small_file(file, 4096, conninfo, &found));
  if (!found)
    return ostrel_error_createf(OSTREL_ERR_FS_CORRUPT, nullptr,
                                "Repository '%s' is damaged: it keeps its records in PostgreSQL "
                                "but has no connection info file '%s'",
                                path, file.c_str());
  while (!conninfo->empty() && (conninfo->back() == '\n' || conninfo->back() == '\r'))
    conninfo->pop_back();
  return ostrel_fs__check_conninfo(conninfo->c_str());
}

// Makes sure nothing is at PATH but an empty directory (making it when
// missing), before a repository is created there.
ostrel_error *prepare_new_repos(const char *path, apr_pool_t *pool) {
  bool found;
  int format;
  ostrel_error *err = read_format(path, &found, &format);
  if (!err && found)
    return ostrel_error_createf(OSTREL_ERR_REPOS_ALREADY_EXISTS, nullptr,
                                "Repository '%s' already exists", path);
  ostrel_error_clear(err);
  return ostrel::repos::make_empty_dir(path, "create a repository at", pool);
}

ostrel_repos *make_handle(const char *path, ostrel_fs *filesystem, apr_pool_t *pool) {
  auto *r = static_cast<ostrel_repos *>(apr_pcalloc(pool, sizeof(ostrel_repos)));
  r->path = apr_pstrdup(pool, path);
  r->filesystem = filesystem;
  return r;
}

}  // namespace

extern "C" {

ostrel_error *ostrel_repos_create(ostrel_repos **repos, const char *path, apr_hash_t *fs_config,
                                  apr_pool_t *pool) {
  OSTREL_ERR(prepare_new_repos(path, pool));
  // The database first, the format file last: a directory without a format
  // file is no repository, so a creation cut short is never mistaken for one.
  ostrel_fs *filesystem;
  std::string db = child(path, kDbFile);
  OSTREL_ERR(ostrel_fs__create(&filesystem, db.c_str(), fs_config, pool));
  OSTREL_ERR(ostrel::repos::write_hook_templates(path));
  std::string file = child(path, kFormatFile);
  OSTREL_ERR(ostrel::os::current().write_file_durably(
      file, std::to_string(ostrel_fs__format(filesystem)) + "\n"));
  *repos = make_handle(path, filesystem, pool);
  return nullptr;
}

ostrel_error *ostrel_repos_create_postgres(ostrel_repos **repos, const char *path,
                                           const char *conninfo, apr_hash_t *fs_config,
                                           apr_pool_t *pool) {
  OSTREL_ERR(ostrel_fs__check_conninfo(conninfo));
  OSTREL_ERR(prepare_new_repos(path, pool));
  // The connection info, then the schema, then the format file: a
  // directory without a format file is no repository.
  OSTREL_ERR(ostrel::os::current().write_file_durably(child(path, kConninfoFile),
                                                      std::string(conninfo) + "\n"));
  ostrel_fs *filesystem;
  OSTREL_ERR(ostrel_fs__create_postgres(&filesystem, path, conninfo, fs_config, pool));
  OSTREL_ERR(ostrel::os::current().write_file_durably(
      child(path, kFormatFile), std::to_string(OSTREL_FS__POSTGRES_FORMAT) + "\n"));
  *repos = make_handle(path, filesystem, pool);
  return nullptr;
}

ostrel_error *ostrel_repos_collect(const char *path, long long grace_seconds,
                                   ostrel_repos_collected *collected, apr_pool_t *) {
  int format;
  OSTREL_ERR(read_readable_format(path, &format));
  if (format != OSTREL_FS__POSTGRES_FORMAT)
    return ostrel_error_createf(OSTREL_ERR_BAD_ARGUMENTS, nullptr,
                                "Repository '%s' is local: a commit that does not finish leaves "
                                "nothing there to collect",
                                path);
  std::string conninfo;
  OSTREL_ERR(read_conninfo(path, &conninfo));
  long long counts[3] = {0, 0, 0};
  OSTREL_ERR(ostrel_fs__collect_postgres(path, conninfo.c_str(), grace_seconds, counts));
  collected->chunks = counts[0];
  collected->bytes = counts[1];
  collected->transactions = counts[2];
  return nullptr;
}

ostrel_error *ostrel_repos_open2(ostrel_repos **repos, const char *path, apr_hash_t *fs_config,
                                 apr_pool_t *pool) {
  int format;
  OSTREL_ERR(read_readable_format(path, &format));
  ostrel_fs *filesystem;
  if (format == OSTREL_FS__POSTGRES_FORMAT) {
    std::string conninfo;
    OSTREL_ERR(read_conninfo(path, &conninfo));
    OSTREL_ERR(ostrel_error_quick_wrapf(
        ostrel_fs__open_postgres(&filesystem, path, conninfo.c_str(), fs_config, pool),
        "Cannot open repository '%s'", path));
    *repos = make_handle(path, filesystem, pool);
    return nullptr;
  }
  std::string db = child(path, kDbFile);
  OSTREL_ERR(ostrel_error_quick_wrapf(ostrel_fs__open(&filesystem, db.c_str(), fs_config, pool),
                                      "Cannot open repository '%s'", path));
  *repos = make_handle(path, filesystem, pool);
  return nullptr;
}

ostrel_error *ostrel_repos_upgrade(const char *path, int *old_format, apr_pool_t *pool) {
  int format;
  OSTREL_ERR(read_readable_format(path, &format));
  if (format == OSTREL_FS__POSTGRES_FORMAT)
    return ostrel_error_createf(OSTREL_ERR_BAD_ARGUMENTS, nullptr,
                                "Repository '%s' keeps its records in PostgreSQL; there is nothing "
                                "to upgrade",
                                path);
  // The database first: a format file still naming the old format over an
  // upgraded database is refused by old builds either way (the database
  // carries its own format), and this build reads both.
  std::string db = child(path, kDbFile);
  OSTREL_ERR(ostrel_error_quick_wrapf(ostrel_fs__upgrade(db.c_str(), old_format, pool),
                                      "Cannot upgrade repository '%s'", path));
  if (format == OSTREL_FS__FORMAT) return nullptr;
  return ostrel::os::current().write_file_durably(child(path, kFormatFile),
                                                  std::to_string(OSTREL_FS__FORMAT) + "\n");
}

ostrel_fs *ostrel_repos_fs(ostrel_repos *repos) { return repos->filesystem; }

const char *ostrel_repos_path(ostrel_repos *repos, apr_pool_t *pool) {
  return apr_pstrdup(pool, repos->path);
}

const char *ostrel_repos_find_root_path(const char *path, apr_pool_t *pool) {
  std::string p(path ? path : "");
  while (true) {
    bool found = false;
    int format;
    ostrel_error *err = read_format(p.empty() ? "." : p.c_str(), &found, &format);
    ostrel_error_clear(err);
    if (!err && found) return apr_pstrdup(pool, p.empty() ? "." : p.c_str());
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    size_t slash = p.rfind('/');
    if (slash == std::string::npos || p == "/") return nullptr;
    if (slash == 0)
      p.resize(1);
    else
      p.resize(slash);
  }
}

}  // extern "C"

namespace ostrel::repos {

ostrel_error *make_empty_dir(const char *path, const char *action, apr_pool_t *pool) {
  apr_finfo_t info;
  if (apr_stat(&info, path, APR_FINFO_TYPE, pool) != APR_SUCCESS) {
    apr_status_t st = apr_dir_make(path, APR_OS_DEFAULT, pool);
    if (st != APR_SUCCESS) return ostrel_error_wrap_apr(st, "Can't create directory '%s'", path);
    return nullptr;
  }
  apr_dir_t *dir;
  bool empty = info.filetype == APR_DIR && apr_dir_open(&dir, path, pool) == APR_SUCCESS;
  if (empty) {
    apr_finfo_t entry;
    while (empty && apr_dir_read(&entry, APR_FINFO_NAME, dir) == APR_SUCCESS)
      empty = !std::strcmp(entry.name, ".") || !std::strcmp(entry.name, "..");
    apr_dir_close(dir);
  }
  if (!empty)
    return ostrel_error_createf(OSTREL_ERR_REPOS_ALREADY_EXISTS, nullptr,
                                "Cannot %s '%s': it exists and is not an empty directory", action,
                                path);
  return nullptr;
}

}  // namespace ostrel::repos
