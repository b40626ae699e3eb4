// The read calls of the local access module: listings, file contents,
// properties and logs straight from the repository's filesystem.
//
// Every path handed out or read is first put to the session's may_read
// callback (when there is one); a refused path is treated exactly as an
// absent one: the same error, left out of listings, left out of a log's
// changed paths, and stripped as a copy source.  Listings walk the tree with
// an explicit stack, never recursion, so depth costs memory, not stack.

#include <apr_strings.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "ostrel_path.h"
#include "ostrel_pools.h"
#include "ra_local.h"

using namespace ostrel_ra_local;

namespace {

// The '/'-rooted repository path of PATH below the session URL.
std::string fs_path_of(ostrel_ra_session *session, const char *path) {
  std::string out = "/";
  out += session->fs_path;
  if (*path) {
    if (out.size() > 1) out += '/';
    out += path;
  }
  return out;
}

std::string child_of(const std::string &dir, const char *name) {
  return dir == "/" ? "/" + std::string(name) : dir + "/" + name;
}

bool readable(ostrel_ra_session *session, const std::string &fs_path) {
  const ostrel_ra_callbacks *cb = session->callbacks;
  return !cb || !cb->may_read || cb->may_read(session->callback_baton, fs_path.c_str());
}

ostrel_error *not_found(const std::string &fs_path, ostrel_revnum rev) {
  return ostrel_error_createf(OSTREL_ERR_FS_NOT_FOUND, nullptr,
                              "'%s' does not exist in revision %ld", fs_path.c_str(),
                              static_cast<long>(rev));
}

// The kind of FS_PATH in ROOT, none when the rules hide it.
ostrel_error *visible_kind(ostrel_node_kind *kind, ostrel_ra_session *session, ostrel_fs_root *root,
                           const std::string &fs_path, apr_pool_t *pool) {
  *kind = ostrel_node_none;
  if (!readable(session, fs_path)) return OSTREL_NO_ERROR;
  return ostrel_fs_check_path(kind, root, fs_path.c_str(), pool);
}

// The author and date of revisions, read once per call.
class RevisionInfo {
 public:
  RevisionInfo(ostrel_fs *filesystem, apr_pool_t *pool) : filesystem_(filesystem), pool_(pool) {}
  ostrel_error *get(ostrel_revnum rev, const char **author, const char **date) {
    auto found = known_.find(rev);
    if (found == known_.end()) {
      ostrel_string *a = nullptr, *d = nullptr;
      OSTREL_ERR(ostrel_fs_revision_prop(&a, filesystem_, rev, OSTREL_PROP_REVISION_AUTHOR, pool_));
      OSTREL_ERR(ostrel_fs_revision_prop(&d, filesystem_, rev, OSTREL_PROP_REVISION_DATE, pool_));
      found = known_.emplace(rev, std::make_pair(a ? a->data : nullptr, d ? d->data : nullptr))
                  .first;
    }
    *author = found->second.first;
    *date = found->second.second;
    return OSTREL_NO_ERROR;
  }

 private:
  ostrel_fs *filesystem_;
  apr_pool_t *pool_;
  std::map<ostrel_revnum, std::pair<const char *, const char *>> known_;
};

ostrel_error *make_dirent(ostrel_ra_dirent *dirent, ostrel_fs_root *root, const std::string &fs_path,
                          ostrel_node_kind kind, RevisionInfo &info, apr_pool_t *pool) {
  dirent->kind = kind;
  dirent->size = -1;
  if (kind == ostrel_node_file)
    OSTREL_ERR(ostrel_fs_file_length(&dirent->size, root, fs_path.c_str(), pool));
  OSTREL_ERR(ostrel_fs_node_created_rev(&dirent->created_rev, root, fs_path.c_str(), pool));
  return info.get(dirent->created_rev, &dirent->last_author, &dirent->time);
}

// The readable entries of directory FS_PATH, sorted by name.
ostrel_error *sorted_entries(std::vector<std::pair<std::string, ostrel_node_kind>> &out,
                             ostrel_ra_session *session, ostrel_fs_root *root,
                             const std::string &fs_path, apr_pool_t *pool) {
  apr_hash_t *entries = nullptr;
  OSTREL_ERR(ostrel_fs_dir_entries(&entries, root, fs_path.c_str(), pool));
  out.clear();
  for (apr_hash_index_t *hi = apr_hash_first(pool, entries); hi; hi = apr_hash_next(hi)) {
    void *val;
    apr_hash_this(hi, nullptr, nullptr, &val);
    auto *d = static_cast<ostrel_fs_dirent *>(val);
    if (readable(session, child_of(fs_path, d->name))) out.emplace_back(d->name, d->kind);
  }
  std::sort(out.begin(), out.end());
  return OSTREL_NO_ERROR;
}

// The root of REVISION (-1: the youngest) and the revision it is.
ostrel_error *open_root(ostrel_fs_root **root, ostrel_revnum *rev, ostrel_ra_session *session,
                        ostrel_revnum revision, apr_pool_t *pool) {
  OSTREL_ERR(resolve_revision(rev, session, revision, pool));
  return ostrel_fs_revision_root(root, session->filesystem, *rev, pool);
}

ostrel_error *local_list(ostrel_ra_session *session, const char *path, ostrel_revnum revision,
                         ostrel_ra_depth depth, ostrel_ra_dirent_receiver receiver, void *baton,
                         ostrel_revnum *fetched_rev, apr_pool_t *pool) {
  ostrel_fs_root *root = nullptr;
  ostrel_revnum rev;
  OSTREL_ERR(open_root(&root, &rev, session, revision, pool));
  if (fetched_rev) *fetched_rev = rev;
  std::string top = fs_path_of(session, path);
  ostrel_node_kind kind;
  OSTREL_ERR(visible_kind(&kind, session, root, top, pool));
  if (kind == ostrel_node_none) return not_found(top, rev);
  RevisionInfo info(session->filesystem, pool);
  apr_pool_t *iterpool = ostrel_pool_create(pool);
  ostrel_error *err = OSTREL_NO_ERROR;
  ostrel_ra_dirent dirent;
  if (depth == ostrel_ra_depth_empty || kind == ostrel_node_file) {
    err = make_dirent(&dirent, root, top, kind, info, iterpool);
    if (!err) err = receiver(baton, "", &dirent, iterpool);
    apr_pool_destroy(iterpool);
    return err;
  }
  // One level per directory being walked: its path, its relpath, its sorted
  // entries and the next one to hand out.
  struct Level {
    std::string fs_path, relpath;
    std::vector<std::pair<std::string, ostrel_node_kind>> entries;
    std::size_t next = 0;
  };
  std::vector<Level> stack(1);
  stack[0].fs_path = top;
  err = sorted_entries(stack[0].entries, session, root, top, iterpool);
  while (!err && !stack.empty()) {
    Level &level = stack.back();
    if (level.next == level.entries.size()) {
      stack.pop_back();
      continue;
    }
    apr_pool_clear(iterpool);
    const auto &[name, entry_kind] = level.entries[level.next++];
    std::string fs_child = child_of(level.fs_path, name.c_str());
    std::string rel_child = level.relpath.empty() ? name : level.relpath + "/" + name;
    err = make_dirent(&dirent, root, fs_child, entry_kind, info, iterpool);
    if (!err) err = receiver(baton, rel_child.c_str(), &dirent, iterpool);
    if (!err && entry_kind == ostrel_node_dir && depth == ostrel_ra_depth_infinity) {
      Level below;
      below.fs_path = std::move(fs_child);
      below.relpath = std::move(rel_child);
      err = sorted_entries(below.entries, session, root, below.fs_path, iterpool);
      stack.push_back(std::move(below));
    }
  }
  apr_pool_destroy(iterpool);
  return err;
}

// Checks that FS_PATH is a readable file of ROOT (revision REV).
ostrel_error *check_file(ostrel_ra_session *session, ostrel_fs_root *root, const std::string &fs_path,
                         ostrel_revnum rev, apr_pool_t *pool) {
  ostrel_node_kind kind;
  OSTREL_ERR(visible_kind(&kind, session, root, fs_path, pool));
  if (kind == ostrel_node_none) return not_found(fs_path, rev);
  if (kind != ostrel_node_file)
    return ostrel_error_createf(OSTREL_ERR_FS_NOT_FILE, nullptr,
                                "'%s' is not a file in revision %ld", fs_path.c_str(),
                                static_cast<long>(rev));
  return OSTREL_NO_ERROR;
}

ostrel_error *local_get_file(ostrel_ra_session *session, const char *path, ostrel_revnum revision,
                             ostrel_stream *stream, ostrel_revnum *fetched_rev, apr_hash_t **props,
                             apr_pool_t *pool) {
  ostrel_fs_root *root = nullptr;
  ostrel_revnum rev;
  OSTREL_ERR(open_root(&root, &rev, session, revision, pool));
  if (fetched_rev) *fetched_rev = rev;
  std::string fs_path = fs_path_of(session, path);
  OSTREL_ERR(check_file(session, root, fs_path, rev, pool));
  if (props) OSTREL_ERR(ostrel_fs_node_proplist(props, root, fs_path.c_str(), pool));
  if (!stream) return OSTREL_NO_ERROR;
  ostrel_stream *contents = nullptr;
  OSTREL_ERR(ostrel_fs_file_contents(&contents, root, fs_path.c_str(), pool));
  // Large stored chunks are lent where the repository keeps them.
  std::vector<char> buf(256 << 10);
  for (;;) {
    const char *data = nullptr;
    apr_size_t len = 0;
    OSTREL_ERR(ostrel_stream_lend(contents, buf.data(), buf.size(), &data, &len));
    if (len == 0) break;
    OSTREL_ERR(ostrel_stream_write(stream, data, &len));
  }
  return ostrel_stream_close(contents);
}

ostrel_error *local_get_props(ostrel_ra_session *session, const char *path, ostrel_revnum revision,
                              apr_hash_t **props, ostrel_revnum *fetched_rev, apr_pool_t *pool) {
  ostrel_fs_root *root = nullptr;
  ostrel_revnum rev;
  OSTREL_ERR(open_root(&root, &rev, session, revision, pool));
  if (fetched_rev) *fetched_rev = rev;
  std::string fs_path = fs_path_of(session, path);
  ostrel_node_kind kind;
  OSTREL_ERR(visible_kind(&kind, session, root, fs_path, pool));
  if (kind == ostrel_node_none) return not_found(fs_path, rev);
  return ostrel_fs_node_proplist(props, root, fs_path.c_str(), pool);
}

// Whether a revision whose readable changed paths are CHANGED concerns
// FILTER ("" for the root: every revision does): it changed FILTER or
// something below it, or added, replaced or deleted one of its parents.
bool touches(apr_hash_t *changed, const std::string &filter, apr_pool_t *pool) {
  if (filter.empty()) return true;
  for (apr_hash_index_t *hi = apr_hash_first(pool, changed); hi; hi = apr_hash_next(hi)) {
    const void *key;
    void *val;
    apr_hash_this(hi, &key, nullptr, &val);
    std::string path = static_cast<const char *>(key);
    auto *change = static_cast<const ostrel_path_change *>(val);
    if (path == filter || path.rfind(filter + "/", 0) == 0) return true;
    if (filter.rfind(path + "/", 0) == 0 && change->change_kind != ostrel_fs_path_change_modify)
      return true;
  }
  return false;
}

ostrel_error *local_get_log(ostrel_ra_session *session, const char *path, ostrel_revnum start,
                            ostrel_revnum end, int limit, bool discover_changed_paths,
                            ostrel_ra_log_receiver receiver, void *baton, apr_pool_t *pool) {
  OSTREL_ERR(resolve_revision(&start, session, start, pool));
  OSTREL_ERR(resolve_revision(&end, session, end, pool));
  std::string filter = fs_path_of(session, path);
  if (filter == "/") filter.clear();
  // A path the rules hide has no history to show, as a missing one.
  if (!filter.empty() && !readable(session, filter)) return OSTREL_NO_ERROR;
  apr_pool_t *iterpool = ostrel_pool_create(pool);
  ostrel_error *err = OSTREL_NO_ERROR;
  int shown = 0;
  const int step = start <= end ? 1 : -1;
  for (ostrel_revnum rev = start; !err; rev += step) {
    apr_pool_clear(iterpool);
    ostrel_fs_root *root = nullptr;
    apr_hash_t *changed = nullptr;
    err = ostrel_fs_revision_root(&root, session->filesystem, rev, iterpool);
    if (!err) err = ostrel_fs_paths_changed2(&changed, root, iterpool);
    if (err) break;
    // Only the readable changes count, and a copy source the rules hide is
    // not named.
    apr_hash_t *visible = apr_hash_make(iterpool);
    for (apr_hash_index_t *hi = apr_hash_first(iterpool, changed); hi; hi = apr_hash_next(hi)) {
      const void *key;
      void *val;
      apr_hash_this(hi, &key, nullptr, &val);
      if (!readable(session, static_cast<const char *>(key))) continue;
      auto *change = static_cast<ostrel_path_change *>(val);
      if (change->copyfrom_path && !readable(session, change->copyfrom_path)) {
        change->copyfrom_path = nullptr;
        change->copyfrom_rev = OSTREL_INVALID_REVNUM;
      }
      apr_hash_set(visible, key, APR_HASH_KEY_STRING, change);
    }
    bool hidden = apr_hash_count(changed) > 0 && apr_hash_count(visible) == 0;
    if (!hidden && touches(visible, filter, iterpool)) {
      ostrel_ra_log_entry entry;
      entry.revision = rev;
      entry.changed_paths = discover_changed_paths ? visible : nullptr;
      err = ostrel_fs_revision_proplist(&entry.revprops, session->filesystem, rev, iterpool);
      if (!err) err = receiver(baton, &entry, iterpool);
      if (++shown == limit) break;
    }
    if (rev == end) break;
  }
  apr_pool_destroy(iterpool);
  return err;
}

}  // namespace

const ostrel_ra_read_calls ostrel_ra_local_read_calls = {
    local_list,
    local_get_file,
    local_get_props,
    local_get_log,
};
