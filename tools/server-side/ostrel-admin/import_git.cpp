// ostrel-admin import-git: one revision per git commit of an export stream.
//
// Contract:
//  - each git commit becomes one revision whose tree is the commit's tree
//    (below the branch's directory with --layout standard), with
//    "ostrel:author" (author "Name <email>"), "ostrel:date" (the author
//    date, in UTC), "ostrel:log" (the message) and "git:commit" (the commit
//    id); renames and copies are copies with history when their source is
//    unchanged in the commit, else copies of its contents;
//  - the executable bit is OSTREL_PROP_EXECUTABLE, a symbolic link a file
//    "link TARGET" with OSTREL_PROP_SPECIAL, as export writes them back;
//  - a commit whose id is already recorded in the repository is skipped,
//    so a second run over the same stream goes on where the first stopped;
//  - a revision is committed only when the stream held the whole commit: a
//    stream that is damaged or cut short stops the import with the commits
//    before it committed whole and nothing of the broken one;
//  - memory holds one commit's changes and a few numbers per mark; blob
//    contents go to a spool file (unlinked at once) and are streamed from
//    there into the repository;
//  - writes are batched: revisions are not synced one by one but every
//    kSyncEvery commits and at the end (also when the import stops on an
//    error).  A killed import loses nothing it committed; a power failure
//    may lose the newest revisions imported since the last sync, never
//    damage one (each revision's contents are synced before its records
//    are written), and a second run goes on after the last one left;
//  - hooks do not run: this is the administrator bringing history in.

#include <apr_strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "admin_subcommands.h"
#include "git_stream.h"
#include "ostrel_error_codes.h"
#include "ostrel_fs.h"
#include "ostrel_pools.h"
#include "ostrel_props.h"
#include "ostrel_repos.h"
#include "ostrel_repos_admin.h"

namespace ostrel_admin {
namespace {

constexpr char kCommitProp[] = "git:commit";
constexpr long kSyncEvery = 1000;
constexpr char kRefProp[] = "git:ref";

std::string iso_date(int64_t seconds) {
  time_t t = static_cast<time_t>(seconds);
  struct tm tm;
  gmtime_r(&t, &tm);
  char buf[40];
  strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S.000000Z", &tm);
  return buf;
}

std::string join(const std::string &dir, const std::string &path) {
  if (dir.empty()) return "/" + path;
  return "/" + dir + (path.empty() ? "" : "/" + path);
}

std::string parent_of(const std::string &path) {
  size_t slash = path.rfind('/');
  return slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
}

// Blob contents spooled to an unlinked temporary file.
class Spool {
 public:
  ~Spool() {
    if (f_) std::fclose(f_);
  }
  ostrel_error *open() {
    const char *tmp = std::getenv("TMPDIR");
    std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/ostrel-import-XXXXXX";
    int fd = mkstemp(templ.data());
    if (fd < 0) return ostrel_error_from_errno(errno, "Can't make a spool file in '%s'", templ.c_str());
    unlink(templ.c_str());
    f_ = fdopen(fd, "w+b");
    if (!f_) return ostrel_error_from_errno(errno, "Can't open the spool file");
    return nullptr;
  }
  ostrel_error *add(uint64_t mark, ostrel_git::Data &data, std::vector<char> &buf) {
    if (std::fseek(f_, 0, SEEK_END) != 0) return ostrel_error_from_errno(errno, "Can't seek the spool file");
    Place p{static_cast<int64_t>(std::ftell(f_)), data.length()};
    while (true) {
      size_t got;
      OSTREL_ERR(data.read(buf.data(), buf.size(), &got));
      if (!got) break;
      if (std::fwrite(buf.data(), 1, got, f_) != got)
        return ostrel_error_from_errno(errno, "Can't write the spool file (is the disk full?)");
    }
    if (mark) places_[mark] = p;
    return nullptr;
  }
  bool has(uint64_t mark) const { return places_.count(mark) != 0; }
  // Streams blob MARK into OUT (after PREFIX).
  ostrel_error *copy_to(uint64_t mark, ostrel_stream *out, std::vector<char> &buf) {
    const Place &p = places_.at(mark);
    if (std::fseek(f_, p.off, SEEK_SET) != 0) return ostrel_error_from_errno(errno, "Can't seek the spool file");
    uint64_t left = p.len;
    while (left) {
      size_t want = static_cast<size_t>(std::min<uint64_t>(left, buf.size()));
      size_t got = std::fread(buf.data(), 1, want, f_);
      if (got != want) return ostrel_error_from_errno(errno ? errno : EIO, "Can't read the spool file");
      apr_size_t len = got;
      OSTREL_ERR(ostrel_stream_write(out, buf.data(), &len));
      left -= got;
    }
    return nullptr;
  }

 private:
  struct Place {
    int64_t off;
    uint64_t len;
  };
  FILE *f_ = nullptr;
  std::unordered_map<uint64_t, Place> places_;
};

struct CommitAt {
  ostrel_revnum rev;
  std::string dir;  // the branch directory the commit's tree is in
};

class Importer : public ostrel_git::Sink {
 public:
  Importer(ostrel_repos *repos, bool standard, apr_pool_t *pool)
      : repos_(repos), filesystem_(ostrel_repos_fs(repos)), standard_(standard), pool_(pool),
        buf_(size_t{1} << 20) {
    commit_pool_ = ostrel_pool_create(pool);
    progress_ = isatty(STDERR_FILENO) == 1;
    ostrel_fs_defer_sync(filesystem_, true);
  }
  ~Importer() override {
    if (progress_shown_) std::fputc('\n', stderr);
  }

  ostrel_error *start() {
    OSTREL_ERR(spool_.open());
    OSTREL_ERR(ostrel_fs_youngest_rev(&youngest_, filesystem_, pool_));
    // The commits already imported, by id.
    apr_pool_t *iter = ostrel_pool_create(pool_);
    for (ostrel_revnum r = 1; r <= youngest_; ++r) {
      apr_pool_clear(iter);
      ostrel_string *oid;
      OSTREL_ERR(ostrel_fs_revision_prop(&oid, filesystem_, r, kCommitProp, iter));
      if (oid) imported_[std::string(oid->data, oid->len)] = r;
    }
    apr_pool_destroy(iter);
    return nullptr;
  }

  long committed() const { return committed_; }
  long skipped() const { return skipped_; }
  long tags_ignored() const { return tags_ignored_; }
  ostrel_revnum youngest() const { return youngest_; }

  ostrel_error *blob(uint64_t mark, ostrel_git::Data &data) override {
    return spool_.add(mark, data, buf_);
  }

  ostrel_error *commit(const ostrel_git::CommitHead &head) override {
    line_ = head.line;
    if (head.original_oid.empty())
      return fault("a commit without an 'original-oid' line; export with --show-original-ids");
    std::string dir;
    OSTREL_ERR(branch_dir(head.ref, &dir));
    Branch &b = branches_[head.ref];
    bool fresh = !b.exists;
    std::string copy_from_dir;
    ostrel_revnum copy_from_rev = OSTREL_INVALID_REVNUM;
    if (head.from) {
      auto it = marks_.find(head.from);
      if (it == marks_.end()) return fault("'from :" + std::to_string(head.from) + "' names no commit seen before");
      if (!standard_) {
        if (head.from != last_mark_)
          return fault("the commit's parent is not the commit before it; this stream is not one "
                       "line of history (use --layout standard, or export one linear branch)");
      } else if (b.exists && b.tip != head.from) {
        return fault("the commit's parent is not the tip of " + head.ref +
                     "; only first-parent lines of history are accepted");
      } else if (!b.exists) {
        copy_from_dir = it->second.dir;
        copy_from_rev = it->second.rev;
      }
    } else if (!standard_ && last_mark_) {
      return fault("a commit without a parent after the first one; this stream is not one line "
                   "of history");
    }
    auto done = imported_.find(head.original_oid);
    if (done != imported_.end()) {
      skip_ = true;
      record(head, dir, done->second);
      return nullptr;
    }
    skip_ = false;
    dir_ = dir;
    touched_.clear();
    dirs_.clear();
    apr_pool_clear(commit_pool_);
    OSTREL_ERR(ostrel_fs_begin_txn(&txn_, filesystem_, youngest_, commit_pool_));
    OSTREL_ERR(ostrel_fs_txn_root(&root_, txn_, commit_pool_));
    OSTREL_ERR(ostrel_fs_revision_root(&base_root_, filesystem_, youngest_, commit_pool_));
    const ostrel_git::Ident &who = head.has_author ? head.author : head.committer;
    OSTREL_ERR(set_revprops(who.name_email, who.time, head.message));
    OSTREL_ERR(prop(kCommitProp, head.original_oid));
    if (standard_) OSTREL_ERR(prop(kRefProp, head.ref));
    if (head.has_author && (head.committer.name_email != head.author.name_email ||
                            head.committer.time != head.author.time))
      OSTREL_ERR(prop("git:committer", head.committer.name_email + " " +
                                          std::to_string(head.committer.time) + " " +
                                          head.committer.tz));
    if (fresh && standard_) {
      if (!copy_from_dir.empty() || copy_from_rev != OSTREL_INVALID_REVNUM) {
        OSTREL_ERR(make_parents("/" + dir));
        ostrel_fs_root *src;
        OSTREL_ERR(ostrel_fs_revision_root(&src, filesystem_, copy_from_rev, commit_pool_));
        OSTREL_ERR(ostrel_fs_copy(src, join(copy_from_dir, "").c_str(), root_, ("/" + dir).c_str(),
                                  commit_pool_));
      } else {
        OSTREL_ERR(make_dirs("/" + dir));
      }
    }
    pending_ = head;
    return nullptr;
  }

  ostrel_error *modify(ostrel_git::FileMode mode, uint64_t mark, ostrel_git::Data *data,
                       const std::string &path) override {
    if (skip_) return nullptr;
    OSTREL_ERR(check_path(path));
    if (!data && !spool_.has(mark))
      return fault("':" + std::to_string(mark) + "' names no blob seen before");
    std::string p = join(dir_, path);
    OSTREL_ERR(make_parents(p));
    ostrel_node_kind kind;
    OSTREL_ERR(ostrel_fs_check_path(&kind, root_, p.c_str(), commit_pool_));
    if (kind == ostrel_node_dir) {
      OSTREL_ERR(del(p));
      kind = ostrel_node_none;
    }
    const bool made = kind == ostrel_node_none;
    if (made) OSTREL_ERR(ostrel_fs_make_file(root_, p.c_str(), commit_pool_));
    apr_pool_t *sub = ostrel_pool_create(commit_pool_);
    ostrel_stream *out;
    OSTREL_ERR(ostrel_fs_apply_text(&out, root_, p.c_str(), sub));
    if (mode == ostrel_git::FileMode::symlink) {
      apr_size_t len = 5;
      OSTREL_ERR(ostrel_stream_write(out, "link ", &len));
    }
    if (data) {
      while (true) {
        size_t got;
        OSTREL_ERR(data->read(buf_.data(), buf_.size(), &got));
        if (!got) break;
        apr_size_t len = got;
        OSTREL_ERR(ostrel_stream_write(out, buf_.data(), &len));
      }
    } else {
      OSTREL_ERR(spool_.copy_to(mark, out, buf_));
    }
    OSTREL_ERR(ostrel_stream_close(out));
    apr_pool_destroy(sub);
    // A file made just now has no properties to look up.
    OSTREL_ERR(node_flag(p, OSTREL_PROP_EXECUTABLE, mode == ostrel_git::FileMode::executable, made));
    OSTREL_ERR(node_flag(p, OSTREL_PROP_SPECIAL, mode == ostrel_git::FileMode::symlink, made));
    touched_.insert(p);
    return nullptr;
  }

  ostrel_error *remove(const std::string &path) override {
    if (skip_) return nullptr;
    OSTREL_ERR(check_path(path));
    std::string p = join(dir_, path);
    ostrel_node_kind kind;
    OSTREL_ERR(ostrel_fs_check_path(&kind, root_, p.c_str(), commit_pool_));
    if (kind == ostrel_node_none) return nullptr;
    // git deletes files only: a directory here was made by this commit's
    // changes below it (a file that became a directory), and stays.
    if (kind == ostrel_node_dir && touched_below(p)) return nullptr;
    OSTREL_ERR(del(p));
    touched_.insert(p);
    return prune(parent_of(p));
  }

  ostrel_error *copy(const std::string &from, const std::string &to, bool rename) override {
    if (skip_) return nullptr;
    OSTREL_ERR(check_path(from));
    OSTREL_ERR(check_path(to));
    std::string a = join(dir_, from), b = join(dir_, to);
    ostrel_node_kind kind, base_kind;
    OSTREL_ERR(ostrel_fs_check_path(&kind, root_, a.c_str(), commit_pool_));
    if (kind == ostrel_node_none) return fault("the copy source '" + from + "' does not exist");
    OSTREL_ERR(ostrel_fs_check_path(&base_kind, base_root_, a.c_str(), commit_pool_));
    OSTREL_ERR(make_parents(b));
    ostrel_node_kind dst_kind;
    OSTREL_ERR(ostrel_fs_check_path(&dst_kind, root_, b.c_str(), commit_pool_));
    if (dst_kind != ostrel_node_none) OSTREL_ERR(del(b));
    if (base_kind == kind && !touched_below(a)) {
      OSTREL_ERR(ostrel_fs_copy(base_root_, a.c_str(), root_, b.c_str(), commit_pool_));
    } else {
      // The source changed in this very commit: its new state has no
      // revision to copy from, so its contents are copied.
      if (kind != ostrel_node_file) return fault("the copy source '" + from + "' is not a file");
      OSTREL_ERR(copy_contents(a, b));
    }
    touched_.insert(b);
    if (rename) {
      OSTREL_ERR(del(a));
      touched_.insert(a);
      OSTREL_ERR(prune(parent_of(a)));
    }
    return nullptr;
  }

  ostrel_error *delete_all() override {
    if (skip_) return nullptr;
    std::string d = join(dir_, "");
    apr_hash_t *entries;
    OSTREL_ERR(ostrel_fs_dir_entries(&entries, root_, d.c_str(), commit_pool_));
    for (apr_hash_index_t *hi = apr_hash_first(commit_pool_, entries); hi; hi = apr_hash_next(hi)) {
      const void *key;
      apr_hash_this(hi, &key, nullptr, nullptr);
      std::string p = (d == "/" ? "/" : d + "/") + static_cast<const char *>(key);
      OSTREL_ERR(del(p));
      touched_.insert(p);
    }
    return nullptr;
  }

  ostrel_error *commit_end() override {
    if (skip_) {
      ++skipped_;
      show_progress();
      return nullptr;
    }
    ostrel_revnum rev;
    OSTREL_ERR(finish(&rev));
    record(pending_, dir_, rev);
    imported_[pending_.original_oid] = rev;
    return nullptr;
  }

  ostrel_error *reset(const std::string &ref, uint64_t from) override {
    if (!from) return nullptr;
    auto it = marks_.find(from);
    if (it == marks_.end()) return fault("'from :" + std::to_string(from) + "' names no commit seen before");
    if (!standard_) {
      if (ref.rfind("refs/tags/", 0) == 0) ++tags_ignored_;
      return nullptr;
    }
    std::string dir;
    OSTREL_ERR(branch_dir(ref, &dir));
    Branch &b = branches_[ref];
    if (b.exists && b.tip == from) return nullptr;
    if (b.exists && ref.rfind("refs/heads/", 0) == 0)
      return fault("'reset " + ref + "' moves an existing branch; only first-parent lines of history are accepted");
    OSTREL_ERR(copy_revision(ref, dir, it->second, "Create " + ref, nullptr));
    b.exists = true;
    b.tip = from;
    return nullptr;
  }

  ostrel_error *tag(const std::string &name, uint64_t from,
                    const ostrel_git::Ident &tagger, const std::string &message) override {
    auto it = marks_.find(from);
    if (it == marks_.end()) return fault("tag '" + name + "' names no commit seen before");
    if (!standard_) {
      ++tags_ignored_;
      return nullptr;
    }
    const std::string ref = "refs/tags/" + name;
    std::string dir;
    OSTREL_ERR(branch_dir(ref, &dir));
    OSTREL_ERR(copy_revision(ref, dir, it->second, message, tagger.name_email.empty() ? nullptr : &tagger));
    branches_[ref].exists = true;
    branches_[ref].tip = from;
    return nullptr;
  }

 private:
  struct Branch {
    bool exists = false;
    uint64_t tip = 0;
  };

  ostrel_error *fault(const std::string &what) const {
    return ostrel_error_createf(OSTREL_ERR_GIT_STREAM, nullptr, "Line %zu of the git stream: %s",
                                line_, what.c_str());
  }

  // The directory of REF's tree: "" (the root) without a layout.
  ostrel_error *branch_dir(const std::string &ref, std::string *dir) {
    dir->clear();
    if (!standard_) return nullptr;
    std::string name;
    if (ref.rfind("refs/heads/", 0) == 0)
      *dir = "branches/" + ref.substr(11);
    else if (ref.rfind("refs/tags/", 0) == 0)
      *dir = "tags/" + ref.substr(10);
    else
      return fault("'" + ref + "' is neither refs/heads/NAME nor refs/tags/NAME");
    if (dir->find("//") != std::string::npos || dir->back() == '/')
      return fault("bad ref name '" + ref + "'");
    return nullptr;
  }

  ostrel_error *check_path(const std::string &path) const {
    if (path.empty() || path.front() == '/' || path.back() == '/')
      return fault("bad path '" + path + "'");
    return nullptr;
  }


  // Deletes P from the transaction, and forgets the directories it held.
  ostrel_error *del(const std::string &p) {
    OSTREL_ERR(ostrel_fs_delete(root_, p.c_str(), commit_pool_));
    for (auto it = dirs_.lower_bound(p); it != dirs_.end() && (*it == p || it->rfind(p + "/", 0) == 0);)
      it = dirs_.erase(it);
    return nullptr;
  }

  bool touched_below(const std::string &p) const {
    auto it = touched_.lower_bound(p);
    return it != touched_.end() && (*it == p || it->rfind(p + "/", 0) == 0);
  }

  ostrel_error *prop(const char *name, const std::string &value) {
    return ostrel_fs_change_txn_prop(txn_, name, ostrel_string_ncreate(value.data(), value.size(), commit_pool_),
                                     commit_pool_);
  }

  ostrel_error *set_revprops(const std::string &author, int64_t time, const std::string &message) {
    OSTREL_ERR(prop(OSTREL_PROP_REVISION_AUTHOR, author));
    OSTREL_ERR(prop(OSTREL_PROP_REVISION_DATE, iso_date(time)));
    OSTREL_ERR(prop(OSTREL_PROP_REVISION_LOG, message));
    return ostrel_repos_txn_keep_date(txn_);
  }

  ostrel_error *node_flag(const std::string &p, const char *name, bool on, bool fresh) {
    ostrel_string *now = nullptr;
    if (!fresh) OSTREL_ERR(ostrel_fs_node_prop(&now, root_, p.c_str(), name, commit_pool_));
    if (on == (now != nullptr)) return nullptr;
    return ostrel_fs_change_node_prop(root_, p.c_str(), name,
                                      on ? ostrel_string_create("*", commit_pool_) : nullptr,
                                      commit_pool_);
  }

  // Makes every missing directory above P; a file in the way is replaced.
  ostrel_error *make_parents(const std::string &p) {
    std::string parent = parent_of(p);
    if (parent == "/") return nullptr;
    return make_dirs(parent);
  }

  ostrel_error *make_dirs(const std::string &d) {
    if (dirs_.count(d)) return nullptr;
    size_t at = 1;
    while (at <= d.size()) {
      size_t slash = d.find('/', at);
      std::string part = d.substr(0, slash);
      if (dirs_.count(part)) {
        if (slash == std::string::npos) break;
        at = slash + 1;
        continue;
      }
      ostrel_node_kind kind;
      OSTREL_ERR(ostrel_fs_check_path(&kind, root_, part.c_str(), commit_pool_));
      if (kind == ostrel_node_file) {
        OSTREL_ERR(del(part));
        touched_.insert(part);
        kind = ostrel_node_none;
      }
      if (kind == ostrel_node_none) OSTREL_ERR(ostrel_fs_make_dir(root_, part.c_str(), commit_pool_));
      dirs_.insert(part);
      if (slash == std::string::npos) break;
      at = slash + 1;
    }
    return nullptr;
  }

  // Removes directory D and its parents while they are empty, up to the
  // branch's own directory.
  ostrel_error *prune(std::string d) {
    const std::string top = join(dir_, "");
    while (d != "/" && d != top) {
      apr_hash_t *entries;
      OSTREL_ERR(ostrel_fs_dir_entries(&entries, root_, d.c_str(), commit_pool_));
      if (apr_hash_count(entries)) break;
      OSTREL_ERR(del(d));
      d = parent_of(d);
    }
    return nullptr;
  }

  ostrel_error *copy_contents(const std::string &a, const std::string &b) {
    OSTREL_ERR(ostrel_fs_make_file(root_, b.c_str(), commit_pool_));
    apr_pool_t *sub = ostrel_pool_create(commit_pool_);
    ostrel_stream *in, *out;
    OSTREL_ERR(ostrel_fs_file_contents(&in, root_, a.c_str(), sub));
    OSTREL_ERR(ostrel_fs_apply_text(&out, root_, b.c_str(), sub));
    while (true) {
      apr_size_t len = buf_.size();
      OSTREL_ERR(ostrel_stream_read_full(in, buf_.data(), &len));
      apr_size_t wlen = len;
      if (len) OSTREL_ERR(ostrel_stream_write(out, buf_.data(), &wlen));
      if (len < buf_.size()) break;
    }
    OSTREL_ERR(ostrel_stream_close(out));
    apr_hash_t *props;
    OSTREL_ERR(ostrel_fs_node_proplist(&props, root_, a.c_str(), sub));
    for (apr_hash_index_t *hi = apr_hash_first(sub, props); hi; hi = apr_hash_next(hi)) {
      const void *key;
      void *val;
      apr_hash_this(hi, &key, nullptr, &val);
      OSTREL_ERR(ostrel_fs_change_node_prop(root_, b.c_str(), static_cast<const char *>(key),
                                            static_cast<ostrel_string *>(val), sub));
    }
    apr_pool_destroy(sub);
    return nullptr;
  }

  // One revision that copies the tree of commit AT to DIR (a tag, or a
  // branch that starts at another branch's commit).
  ostrel_error *copy_revision(const std::string &ref, const std::string &dir, const CommitAt &at,
                              const std::string &message, const ostrel_git::Ident *who) {
    ostrel_fs_root *y;
    apr_pool_clear(commit_pool_);
    OSTREL_ERR(ostrel_fs_revision_root(&y, filesystem_, youngest_, commit_pool_));
    ostrel_node_kind kind;
    OSTREL_ERR(ostrel_fs_check_path(&kind, y, ("/" + dir).c_str(), commit_pool_));
    if (kind != ostrel_node_none) return nullptr;  // imported by an earlier run
    OSTREL_ERR(ostrel_fs_begin_txn(&txn_, filesystem_, youngest_, commit_pool_));
    OSTREL_ERR(ostrel_fs_txn_root(&root_, txn_, commit_pool_));
    base_root_ = y;
    touched_.clear();
    dirs_.clear();
    dir_ = dir;
    if (who) {
      OSTREL_ERR(set_revprops(who->name_email, who->time, message));
    } else {
      OSTREL_ERR(prop(OSTREL_PROP_REVISION_LOG, message));
    }
    OSTREL_ERR(prop(kRefProp, ref));
    OSTREL_ERR(make_parents("/" + dir));
    ostrel_fs_root *src;
    OSTREL_ERR(ostrel_fs_revision_root(&src, filesystem_, at.rev, commit_pool_));
    OSTREL_ERR(ostrel_fs_copy(src, join(at.dir, "").c_str(), root_, ("/" + dir).c_str(), commit_pool_));
    ostrel_revnum rev;
    return finish(&rev);
  }

  ostrel_error *finish(ostrel_revnum *rev) {
    const char *conflict = nullptr;
    OSTREL_ERR(ostrel_fs_commit_txn(&conflict, rev, txn_, commit_pool_));
    txn_ = nullptr;
    youngest_ = *rev;
    ++committed_;
    show_progress();
    if (++since_sync_ >= kSyncEvery) return sync();
    return nullptr;
  }

 public:
  // Makes what was imported so far durable (see the file's comment).
  ostrel_error *sync() {
    since_sync_ = 0;
    return ostrel_fs_sync(filesystem_, commit_pool_);
  }

 private:

  void record(const ostrel_git::CommitHead &head, const std::string &dir, ostrel_revnum rev) {
    if (head.mark) marks_[head.mark] = CommitAt{rev, dir};
    Branch &b = branches_[head.ref];
    b.exists = true;
    b.tip = head.mark;
    last_mark_ = head.mark;
  }

  void show_progress() {
    if (!progress_) return;
    std::fprintf(stderr, "\rImported %ld commits, skipped %ld already imported (r%ld)",
                 committed_, skipped_, static_cast<long>(youngest_));
    progress_shown_ = true;
  }

  ostrel_repos *repos_;
  ostrel_fs *filesystem_;
  bool standard_;
  apr_pool_t *pool_;
  apr_pool_t *commit_pool_;
  std::vector<char> buf_;
  Spool spool_;
  ostrel_revnum youngest_ = 0;
  std::unordered_map<std::string, ostrel_revnum> imported_;
  std::unordered_map<uint64_t, CommitAt> marks_;
  std::map<std::string, Branch> branches_;
  uint64_t last_mark_ = 0;
  // The commit being imported.
  bool skip_ = false;
  ostrel_git::CommitHead pending_;
  std::string dir_;
  ostrel_fs_txn *txn_ = nullptr;
  ostrel_fs_root *root_ = nullptr;
  ostrel_fs_root *base_root_ = nullptr;
  std::set<std::string> touched_;
  // Directories known to exist in the current transaction.
  std::set<std::string> dirs_;
  size_t line_ = 0;
  long committed_ = 0, skipped_ = 0, tags_ignored_ = 0;
  long since_sync_ = 0;
  bool progress_ = false, progress_shown_ = false;
};

}  // namespace

ostrel_error *run_import_git(const std::vector<std::string> &args, ostrel_revnum, ostrel_revnum,
                             bool, apr_pool_t *pool) {
  if (isatty(STDIN_FILENO) == 1)
    return ostrel_error_create(OSTREL_ERR_BAD_ARGUMENTS, nullptr,
                               "Not reading a git stream from a terminal; pipe "
                               "'git fast-export --show-original-ids ...' into standard input");
  ostrel_repos *repos;
  OSTREL_ERR(ostrel_repos_open2(&repos, args[0].c_str(), nullptr, pool));
  ostrel_error *err;
  long committed = 0, skipped = 0, tags = 0;
  ostrel_revnum youngest = 0;
  {
    Importer importer(repos, extra_options.layout == "standard", pool);
    err = importer.start();
    if (!err) {
      ostrel_git::ReadFn read = [](char *buf, size_t len, size_t *got) -> ostrel_error * {
        while (true) {
          ssize_t n = ::read(STDIN_FILENO, buf, len);
          if (n < 0 && errno == EINTR) continue;
          if (n < 0) return ostrel_error_from_errno(errno, "Can't read standard input");
          *got = static_cast<size_t>(n);
          return nullptr;
        }
      };
      err = ostrel_git::parse_stream(read, importer);
    }
    // Also after a failure: what was committed before it stays, durably.
    err = ostrel_error_compose_create(err, importer.sync());
    committed = importer.committed();
    skipped = importer.skipped();
    tags = importer.tags_ignored();
    youngest = importer.youngest();
  }
  if (err)
    return ostrel_error_createf(err->apr_err, err,
                                "Import stopped; the repository holds revisions up to %ld",
                                static_cast<long>(youngest));
  std::printf("Imported %ld commits (%ld already imported were skipped); youngest revision %ld.\n",
              committed, skipped, static_cast<long>(youngest));
  if (tags)
    std::printf("%ld tags were not imported: tags need --layout standard.\n", tags);
  return nullptr;
}

}  // namespace ostrel_admin
