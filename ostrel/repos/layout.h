// A repository on disk: a directory holding the format file (written last
// when a repository is made or copied, so that a directory without one is
// no repository) and the filesystem's database, with the content files
// beside it.  Shared by the code that makes, opens and copies repositories.
#ifndef OSTREL_REPOS_LAYOUT_H
#define OSTREL_REPOS_LAYOUT_H

#include <apr_pools.h>

#include <string>

#include "ostrel_error.h"

namespace ostrel::repos {

inline constexpr char kFormatFile[] = "format";
inline constexpr char kDbFile[] = "fs.db";
// A repository in PostgreSQL: its libpq connection info, one line, never a
// password.
inline constexpr char kConninfoFile[] = "conninfo";

// DIR/NAME ("." for an empty DIR).
inline std::string child(const std::string &dir, const char *name) {
  std::string p = dir.empty() ? "." : dir;
  if (p.back() != '/') p.push_back('/');
  return p + name;
}

// Makes sure PATH is an empty directory, making it when it does not exist.
// A file, or a directory with anything in it, is refused with
// OSTREL_ERR_REPOS_ALREADY_EXISTS: "Cannot ACTION 'PATH': it exists and is
// not an empty directory".
ostrel_error *make_empty_dir(const char *path, const char *action, apr_pool_t *pool);

// Writes the commented, non-executable hook templates (hooks/NAME.tmpl) and
// the hook configuration (conf/hooks.conf) into the new repository PATH.
ostrel_error *write_hook_templates(const char *path);

}  // namespace ostrel::repos

#endif  // OSTREL_REPOS_LAYOUT_H
