// Finding what to damage through the metadata seam, and choosing the
// implementation's damage by a repository's format file.

#include "damage_for_tests.h"

#include <fstream>

#include "handles.h"
#include "postgres/postgres_fs.h"

namespace ostrel::fs {

namespace {

ostrel_error *not_found(const std::string &path, ostrel_revnum rev) {
  return ostrel_error_createf(OSTREL_ERR_FS_NOT_FOUND, nullptr, "'%s' not found in revision %d",
                              path.c_str(), rev);
}

// The first line of file NAME in REPO_DIR, or "" when it cannot be read.
std::string first_line(const std::string &repo_dir, const char *name) {
  std::string line;
  std::ifstream in(repo_dir + "/" + name);
  std::getline(in, line);
  return line;
}

}  // namespace

ostrel_error *locate_root(ostrel_fs *filesystem, ostrel_revnum rev, int64_t *root) {
  std::unique_ptr<Snapshot> snapshot;
  OSTREL_ERR(filesystem->meta->snapshot(&snapshot));
  bool found;
  OSTREL_ERR(snapshot->revision_root(rev, root, &found));
  if (!found)
    return ostrel_error_createf(OSTREL_ERR_FS_NO_SUCH_REVISION, nullptr, "No revision %d", rev);
  return nullptr;
}

ostrel_error *locate_node(ostrel_fs *filesystem, ostrel_revnum rev, const std::string &path,
                          NodeRow *out) {
  std::unique_ptr<Snapshot> snapshot;
  OSTREL_ERR(filesystem->meta->snapshot(&snapshot));
  int64_t id;
  bool found;
  OSTREL_ERR(snapshot->revision_root(rev, &id, &found));
  if (!found)
    return ostrel_error_createf(OSTREL_ERR_FS_NO_SUCH_REVISION, nullptr, "No revision %d", rev);
  OSTREL_ERR(snapshot->node(id, *out));
  size_t start = 0;
  while (start < path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    if (end > start) {
      Child child;
      OSTREL_ERR(snapshot->lookup(out->dir, path.substr(start, end - start), child));
      if (!child.id) return not_found(path, rev);
      OSTREL_ERR(snapshot->node(child.id, *out));
    }
    start = end + 1;
  }
  return nullptr;
}

ostrel_error *locate_contents(ostrel_fs *filesystem, ostrel_revnum rev, const std::string &path,
                              int64_t *content, int64_t *chunks) {
  NodeRow node;
  OSTREL_ERR(locate_node(filesystem, rev, path, &node));
  *content = node.content;
  *chunks = 0;
  if (!node.content) return nullptr;
  std::unique_ptr<Snapshot> snapshot;
  OSTREL_ERR(filesystem->meta->snapshot(&snapshot));
  ContentRow row;
  bool found;
  OSTREL_ERR(snapshot->content(node.content, row, &found));
  if (!found) return not_found(path + " (its contents record)", rev);
  *chunks = row.chunks;
  return nullptr;
}

ostrel_error *open_damage(const std::string &repo_dir, std::unique_ptr<Damage> *out) {
  const std::string format = first_line(repo_dir, "format");
  if (format.empty())
    return ostrel_error_createf(OSTREL_ERR_FS_BAD_FORMAT, nullptr,
                                "'%s' is not a repository (no readable format file)",
                                repo_dir.c_str());
  if (format == std::to_string(OSTREL_FS__POSTGRES_FORMAT)) {
    const std::string conninfo = first_line(repo_dir, "conninfo");
    if (conninfo.empty())
      return ostrel_error_createf(OSTREL_ERR_FS_BAD_FORMAT, nullptr,
                                  "Repository '%s' names no database", repo_dir.c_str());
    return open_postgres_damage(conninfo, out);
  }
  return open_sqlite_damage(repo_dir, out);
}

}  // namespace ostrel::fs
