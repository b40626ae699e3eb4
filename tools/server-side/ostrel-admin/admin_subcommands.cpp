// backup, dump, load and export: the subcommands that move history and trees
// in and out of a repository.

#include "admin_subcommands.h"

#include <apr_file_io.h>
#include <apr_hash.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "ostrel_fs.h"
#include "ostrel_pools.h"
#include "ostrel_props.h"
#include "ostrel_repos.h"
#include "ostrel_repos_admin.h"

namespace ostrel_admin {

ExtraOptions extra_options;

Progress::Progress(const char *verb) : verb_(verb), on_(isatty(STDERR_FILENO) == 1) {}

Progress::~Progress() {
  if (shown_) std::fputc('\n', stderr);
}

void Progress::revision(ostrel_revnum rev, ostrel_revnum last_rev) {
  if (!on_) return;
  if (last_rev >= 0)
    std::fprintf(stderr, "\r%s revision %ld of %ld", verb_, static_cast<long>(rev),
                 static_cast<long>(last_rev));
  else
    std::fprintf(stderr, "\r%s revision %ld", verb_, static_cast<long>(rev));
  std::fflush(stderr);
  shown_ = true;
}

void Progress::notify(void *baton, ostrel_revnum rev, apr_pool_t *) {
  auto *p = static_cast<Progress *>(baton);
  p->revision(rev, p->last);
}

namespace {

ostrel_error *stdout_write(void *, const char *data, apr_size_t *len) {
  if (*len && std::fwrite(data, 1, *len, stdout) != *len)
    return ostrel_error_from_errno(errno ? errno : EIO, "Can't write to standard output");
  return nullptr;
}

ostrel_error *stdin_read(void *, char *buffer, apr_size_t *len) {
  size_t n = std::fread(buffer, 1, *len, stdin);
  if (n < *len && std::ferror(stdin))
    return ostrel_error_from_errno(errno ? errno : EIO, "Can't read standard input");
  *len = n;
  return nullptr;
}

ostrel_error *resolve(ostrel_revnum *rev, ostrel_fs *filesystem, ostrel_revnum given,
                      ostrel_revnum dflt, apr_pool_t *pool) {
  ostrel_revnum youngest;
  OSTREL_ERR(ostrel_fs_youngest_rev(&youngest, filesystem, pool));
  if (given == kHeadRev) given = youngest;
  if (given == OSTREL_INVALID_REVNUM) given = dflt == kHeadRev ? youngest : dflt;
  if (given > youngest)
    return ostrel_error_createf(OSTREL_ERR_FS_NO_SUCH_REVISION, nullptr,
                                "No such revision %ld (the youngest is %ld)",
                                static_cast<long>(given), static_cast<long>(youngest));
  *rev = given;
  return nullptr;
}

mode_t current_umask() {
  static const mode_t mask = [] {
    mode_t m = umask(022);
    umask(m);
    return m;
  }();
  return mask;
}

// Writes the tree at PATH in ROOT to the local path TARGET, which does not
// exist yet.  A file with OSTREL_PROP_EXECUTABLE becomes executable (as far
// as the umask allows); one with OSTREL_PROP_SPECIAL becomes the symbolic
// link it describes.
ostrel_error *export_node(ostrel_fs_root *root, const std::string &path, ostrel_node_kind kind,
                          const std::string &target, apr_pool_t *pool) {
  apr_pool_t *iterpool = ostrel_pool_create(pool);
  ostrel_string *special = nullptr, *executable = nullptr;
  if (kind == ostrel_node_file) {
    OSTREL_ERR(ostrel_fs_node_prop(&special, root, path.c_str(), OSTREL_PROP_SPECIAL, iterpool));
    OSTREL_ERR(
        ostrel_fs_node_prop(&executable, root, path.c_str(), OSTREL_PROP_EXECUTABLE, iterpool));
  }
  if (special) {
    // A symbolic link is stored as a file holding "link TARGET".
    ostrel_stream *contents;
    OSTREL_ERR(ostrel_fs_file_contents(&contents, root, path.c_str(), iterpool));
    std::string text(65536 + 6, '\0');
    apr_size_t len = text.size();
    OSTREL_ERR(ostrel_stream_read_full(contents, text.data(), &len));
    const bool too_long = len == text.size();
    text.resize(len);
    if (text.rfind("link ", 0) != 0 || too_long || text.find('\0') != std::string::npos)
      return ostrel_error_createf(OSTREL_ERR_BAD_PROPERTY_VALUE, nullptr,
                                  "'%s' is marked as a symbolic link but does not hold "
                                  "'link TARGET'",
                                  path.c_str());
    if (symlink(text.c_str() + 5, target.c_str()) != 0)
      return ostrel_error_from_errno(errno, "Can't create symbolic link '%s'", target.c_str());
  } else if (kind == ostrel_node_file) {
    // Names are written as the repository holds them (UTF-8), whatever the
    // locale: a conversion to the native encoding would refuse every
    // non-ASCII name under the C locale.
    apr_file_t *file;
    apr_status_t st = apr_file_open(&file, target.c_str(),
                                    APR_FOPEN_WRITE | APR_FOPEN_CREATE | APR_FOPEN_EXCL |
                                        APR_FOPEN_BINARY,
                                    APR_OS_DEFAULT, iterpool);
    if (st != APR_SUCCESS) return ostrel_error_wrap_apr(st, "Can't create file '%s'", target.c_str());
    ostrel_stream *contents;
    OSTREL_ERR(ostrel_fs_file_contents(&contents, root, path.c_str(), iterpool));
    OSTREL_ERR(
        ostrel_stream_copy(contents, ostrel_stream_from_aprfile2(file, false, iterpool), iterpool));
    if (executable && chmod(target.c_str(), 0777 & ~current_umask()) != 0)
      return ostrel_error_from_errno(errno, "Can't make '%s' executable", target.c_str());
  } else {
    if (mkdir(target.c_str(), 0777) != 0)
      return ostrel_error_from_errno(errno, "Can't create directory '%s'", target.c_str());
    apr_hash_t *entries;
    OSTREL_ERR(ostrel_fs_dir_entries(&entries, root, path.c_str(), pool));
    for (apr_hash_index_t *hi = apr_hash_first(pool, entries); hi; hi = apr_hash_next(hi)) {
      void *val;
      apr_hash_this(hi, nullptr, nullptr, &val);
      auto *d = static_cast<ostrel_fs_dirent *>(val);
      apr_pool_clear(iterpool);
      OSTREL_ERR(export_node(root, (path == "/" ? "/" : path + "/") + d->name, d->kind,
                             target + "/" + d->name, iterpool));
    }
  }
  apr_pool_destroy(iterpool);
  return nullptr;
}

}  // namespace

ostrel_error *run_backup(const std::vector<std::string> &args, ostrel_revnum, ostrel_revnum, bool,
                         apr_pool_t *pool) {
  // The first call names the copy's youngest revision; the others follow
  // its verification.
  Progress progress("Copied; verified");
  auto notify = [](void *baton, ostrel_revnum rev, apr_pool_t *scratch) {
    auto *p = static_cast<Progress *>(baton);
    if (p->last == OSTREL_INVALID_REVNUM)
      p->last = rev;
    else
      Progress::notify(baton, rev, scratch);
  };
  return ostrel_repos_backup(args[0].c_str(), args[1].c_str(), notify, &progress, pool);
}

ostrel_error *run_dump(const std::vector<std::string> &args, ostrel_revnum start, ostrel_revnum end,
                       bool, apr_pool_t *pool) {
  if (isatty(STDOUT_FILENO) == 1)
    return ostrel_error_create(OSTREL_ERR_BAD_ARGUMENTS, nullptr,
                               "Not writing a dump stream to a terminal; redirect standard "
                               "output to a file or a pipe");
  ostrel_repos *repos;
  OSTREL_ERR(ostrel_repos_open2(&repos, args[0].c_str(), nullptr, pool));
  ostrel_fs *filesystem = ostrel_repos_fs(repos);
  ostrel_revnum lower, upper;
  OSTREL_ERR(resolve(&lower, filesystem, start, 0, pool));
  // -r N alone dumps revision N; no -r dumps them all.
  OSTREL_ERR(
      resolve(&upper, filesystem, end, start == OSTREL_INVALID_REVNUM ? kHeadRev : lower, pool));
  if (lower > upper)
    return ostrel_error_createf(OSTREL_ERR_BAD_REVISION, nullptr,
                                "Cannot dump revisions %ld to %ld: the range runs backwards",
                                static_cast<long>(lower), static_cast<long>(upper));
  Progress progress("Dumped");
  progress.last = upper;
  ostrel_stream *out = ostrel_stream_create(nullptr, pool);
  ostrel_stream_set_write(out, stdout_write);
  return ostrel_repos_dump(repos, lower, upper, out, Progress::notify, &progress, pool);
}

ostrel_error *run_load(const std::vector<std::string> &args, ostrel_revnum, ostrel_revnum, bool,
                       apr_pool_t *pool) {
  ostrel_repos *repos;
  OSTREL_ERR(ostrel_repos_open2(&repos, args[0].c_str(), nullptr, pool));
  ostrel_stream *in = ostrel_stream_create(nullptr, pool);
  ostrel_stream_set_read(in, stdin_read);
  ostrel_revnum youngest = OSTREL_INVALID_REVNUM;
  ostrel_error *err;
  {
    Progress progress("Loaded");
    err = ostrel_repos_load(repos, in, &youngest, Progress::notify, &progress, pool);
  }
  if (err && youngest != OSTREL_INVALID_REVNUM)
    err = ostrel_error_createf(err->apr_err, err,
                               "Load stopped; the repository holds revisions up to %ld",
                               static_cast<long>(youngest));
  return err;
}

ostrel_error *run_export(const std::vector<std::string> &args, ostrel_revnum start, ostrel_revnum,
                         bool, apr_pool_t *pool) {
  ostrel_repos *repos;
  OSTREL_ERR(ostrel_repos_open2(&repos, args[0].c_str(), nullptr, pool));
  ostrel_fs *filesystem = ostrel_repos_fs(repos);
  ostrel_revnum rev;
  OSTREL_ERR(resolve(&rev, filesystem, start, kHeadRev, pool));
  ostrel_fs_root *root;
  OSTREL_ERR(ostrel_fs_revision_root(&root, filesystem, rev, pool));
  std::string in_repo = args.size() > 2 ? args[2] : "/";
  if (in_repo.empty() || in_repo[0] != '/') in_repo = "/" + in_repo;
  ostrel_node_kind kind;
  OSTREL_ERR(ostrel_fs_check_path(&kind, root, in_repo.c_str(), pool));
  if (kind == ostrel_node_none)
    return ostrel_error_createf(OSTREL_ERR_FS_NOT_FOUND, nullptr,
                                "'%s' does not exist in revision %ld", in_repo.c_str(),
                                static_cast<long>(rev));
  // The tree is written beside DIR and moved into place whole, so that a
  // failure leaves nothing half-written behind.
  std::string target = args[1];
  struct stat st;
  if (kind == ostrel_node_file && stat(target.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
    target += in_repo.substr(in_repo.rfind('/'));
  if (lstat(target.c_str(), &st) == 0 &&
      !(S_ISDIR(st.st_mode) && std::filesystem::is_empty(target)))
    return ostrel_error_createf(OSTREL_ERR_BAD_ARGUMENTS, nullptr,
                                "Cannot export into '%s': it exists and is not an empty directory",
                                target.c_str());
  std::string tmpl = target + ".partial-XXXXXX";
  if (!mkdtemp(tmpl.data()))
    return ostrel_error_from_errno(errno, "Can't create a directory beside '%s'", target.c_str());
  std::string staged = tmpl + "/tree";
  ostrel_error *err = export_node(root, in_repo, kind, staged, pool);
  if (!err && std::rename(staged.c_str(), target.c_str()) != 0)
    err = ostrel_error_from_errno(errno, "Can't move the exported tree to '%s'", target.c_str());
  std::error_code ignored;
  std::filesystem::remove_all(tmpl, ignored);
  return err;
}

}  // namespace ostrel_admin
