// Loading a dump stream into a repository, one commit per revision.
//
// A revision is built in a transaction while its part of the stream is read,
// and committed only after its checksum matched, so a damaged or cut stream
// leaves the revisions before the damage committed whole and nothing of the
// damaged one.  The fit of the stream is decided from its header, before
// anything is written.

#include <cstring>
#include <map>
#include <string>

#include "../fs/filesystem_private.h"
#include "dump_stream.h"
#include "ostrel_pools.h"
#include "ostrel_repos_admin.h"

namespace {

using ostrel::repos::DumpAction;

class Loader : public ostrel::repos::DumpSink {
 public:
  Loader(ostrel_repos *repos, ostrel_repos_notify_fn notify, void *baton, apr_pool_t *pool)
      : repos_(repos),
        filesystem_(ostrel_repos_fs(repos)),
        notify_(notify),
        baton_(baton),
        pool_(pool) {
    revpool_ = ostrel_pool_create(pool);
    nodepool_ = ostrel_pool_create(pool);
  }

  ~Loader() override {
    if (txn_) ostrel_error_clear(ostrel_fs_abort_txn(txn_, pool_));
  }

  ostrel_error *youngest(ostrel_revnum *rev) {
    return ostrel_fs_youngest_rev(rev, filesystem_, pool_);
  }

  ostrel_error *header(ostrel_revnum base, const std::string &base_date) override {
    ostrel_revnum y;
    OSTREL_ERR(youngest(&y));
    if (base == OSTREL_INVALID_REVNUM || base == 0) {
      if (y != 0)
        return misfit("the stream starts at revision " + std::to_string(base + 1) +
                      ", but the repository already holds revisions up to " + std::to_string(y));
      return nullptr;
    }
    if (y != base)
      return misfit("the stream continues revision " + std::to_string(base) +
                    ", but the repository's youngest revision is " + std::to_string(y));
    if (!base_date.empty()) {
      ostrel_string *date;
      OSTREL_ERR(
          ostrel_fs_revision_prop(&date, filesystem_, base, OSTREL_PROP_REVISION_DATE, pool_));
      if (!date || std::string(date->data, date->len) != base_date)
        return misfit("the stream continues a revision " + std::to_string(base) + " dated " +
                      base_date + ", but the repository's revision " + std::to_string(base) +
                      " is dated " + (date ? std::string(date->data, date->len) : "(none)"));
    }
    return nullptr;
  }

  ostrel_error *begin_revision(ostrel_revnum rev) override {
    apr_pool_clear(revpool_);
    revprops_.clear();
    ostrel_revnum y;
    OSTREL_ERR(youngest(&y));
    if (rev == 0) return nullptr;  // revision 0 only brings its properties
    if (y != rev - 1)
      return misfit("revision " + std::to_string(rev) + " of the stream would follow revision " +
                    std::to_string(rev - 1) + ", but the repository's youngest is now " +
                    std::to_string(y) + " (another commit came in between?)");
    OSTREL_ERR(ostrel_fs_begin_txn(&txn_, filesystem_, y, revpool_));
    // The revision keeps the stream's date, committed together with it.
    OSTREL_ERR(ostrel_fs__keep_txn_date(txn_));
    return ostrel_fs_txn_root(&root_, txn_, revpool_);
  }

  ostrel_error *revprop(const std::string &name, const std::string &value) override {
    revprops_[name] = value;
    if (!txn_) return nullptr;
    return ostrel_fs_change_txn_prop(txn_, name.c_str(), str(value), revpool_);
  }

  ostrel_error *node(DumpAction action, ostrel_node_kind kind, const std::string &path) override {
    OSTREL_ERR(finish_node());
    apr_pool_clear(nodepool_);
    action_ = action;
    kind_ = kind;
    path_ = path;
    pending_ = true;
    if (action == DumpAction::remove) {
      pending_ = false;
      return ostrel_fs_delete(root_, path.c_str(), nodepool_);
    }
    return nullptr;
  }

  ostrel_error *copy(ostrel_revnum rev, const std::string &from) override {
    if (action_ == DumpAction::replace)
      OSTREL_ERR(ostrel_fs_delete(root_, path_.c_str(), nodepool_));
    ostrel_fs_root *from_root;
    OSTREL_ERR(ostrel_fs_revision_root(&from_root, filesystem_, rev, nodepool_));
    ostrel_node_kind from_kind;
    OSTREL_ERR(ostrel_fs_check_path(&from_kind, from_root, from.c_str(), nodepool_));
    if (from_kind != kind_)
      return misfit("the copy source '" + from + "@" + std::to_string(rev) +
                    "' is not the kind of node the stream copies to '" + path_ + "'");
    pending_ = false;
    return ostrel_fs_copy(from_root, from.c_str(), root_, path_.c_str(), nodepool_);
  }

  ostrel_error *props(const std::map<std::string, std::string> &props) override {
    OSTREL_ERR(finish_node());
    apr_hash_t *old;
    OSTREL_ERR(ostrel_fs_node_proplist(&old, root_, path_.c_str(), nodepool_));
    for (apr_hash_index_t *hi = apr_hash_first(nodepool_, old); hi; hi = apr_hash_next(hi)) {
      const void *key;
      apr_hash_this(hi, &key, nullptr, nullptr);
      auto *name = static_cast<const char *>(key);
      if (!props.count(name))
        OSTREL_ERR(ostrel_fs_change_node_prop(root_, path_.c_str(), name, nullptr, nodepool_));
    }
    for (auto &[name, value] : props)
      OSTREL_ERR(
          ostrel_fs_change_node_prop(root_, path_.c_str(), name.c_str(), str(value), nodepool_));
    return nullptr;
  }

  ostrel_error *text_begin(uint64_t) override {
    OSTREL_ERR(finish_node());
    return ostrel_fs_apply_text(&text_, root_, path_.c_str(), nodepool_);
  }

  ostrel_error *text_chunk(const char *data, size_t len) override {
    apr_size_t n = len;
    return ostrel_stream_write(text_, data, &n);
  }

  ostrel_error *text_end() override {
    ostrel_stream *s = text_;
    text_ = nullptr;
    return ostrel_stream_close(s);
  }

  ostrel_error *end_revision(ostrel_revnum rev) override {
    if (rev == 0) return set_rev0_props();
    OSTREL_ERR(finish_node());
    const char *conflict = nullptr;
    ostrel_revnum new_rev;
    ostrel_error *err = ostrel_fs_commit_txn(&conflict, &new_rev, txn_, revpool_);
    if (err) return err;  // the transaction is aborted by the destructor
    txn_ = nullptr;
    root_ = nullptr;
    if (notify_) notify_(baton_, new_rev, revpool_);
    return nullptr;
  }

  ostrel_error *end_stream() override { return nullptr; }

 private:
  const ostrel_string *str(const std::string &s) {
    auto *v = static_cast<ostrel_string *>(apr_palloc(revpool_, sizeof(ostrel_string)));
    char *data = static_cast<char *>(apr_palloc(revpool_, s.size() + 1));
    std::memcpy(data, s.data(), s.size());
    data[s.size()] = '\0';
    v->data = data;
    v->len = s.size();
    return v;
  }

  // Makes the node of an add or replace without copy source, or checks the
  // node a modification names.
  ostrel_error *finish_node() {
    if (!pending_) return nullptr;
    pending_ = false;
    if (action_ == DumpAction::modify) {
      ostrel_node_kind kind;
      OSTREL_ERR(ostrel_fs_check_path(&kind, root_, path_.c_str(), nodepool_));
      if (kind != kind_)
        return misfit("the stream modifies '" + path_ + "', which is not there as a " +
                      (kind_ == ostrel_node_file ? "file" : "directory"));
      return nullptr;
    }
    if (action_ == DumpAction::replace)
      OSTREL_ERR(ostrel_fs_delete(root_, path_.c_str(), nodepool_));
    return kind_ == ostrel_node_dir ? ostrel_fs_make_dir(root_, path_.c_str(), nodepool_)
                                    : ostrel_fs_make_file(root_, path_.c_str(), nodepool_);
  }

  ostrel_error *set_rev0_props() {
    apr_hash_t *old;
    OSTREL_ERR(ostrel_fs_revision_proplist(&old, filesystem_, 0, revpool_));
    for (apr_hash_index_t *hi = apr_hash_first(revpool_, old); hi; hi = apr_hash_next(hi)) {
      const void *key;
      apr_hash_this(hi, &key, nullptr, nullptr);
      auto *name = static_cast<const char *>(key);
      if (!revprops_.count(name) && std::string(name) != OSTREL_PROP_REVISION_DATE)
        OSTREL_ERR(ostrel_repos_change_rev_prop(repos_, 0, name, nullptr, revpool_));
    }
    for (auto &[name, value] : revprops_)
      OSTREL_ERR(ostrel_repos_change_rev_prop(repos_, 0, name.c_str(), str(value), revpool_));
    if (notify_) notify_(baton_, 0, revpool_);
    return nullptr;
  }

  ostrel_error *misfit(const std::string &why) {
    return ostrel_error_createf(OSTREL_ERR_DUMP_STREAM_MISFIT, nullptr,
                                "The dump stream does not fit repository '%s': %s",
                                ostrel_repos_path(repos_, pool_), why.c_str());
  }

  ostrel_repos *repos_;
  ostrel_fs *filesystem_;
  ostrel_repos_notify_fn notify_;
  void *baton_;
  apr_pool_t *pool_, *revpool_, *nodepool_;
  ostrel_fs_txn *txn_ = nullptr;
  ostrel_fs_root *root_ = nullptr;
  ostrel_stream *text_ = nullptr;
  std::map<std::string, std::string> revprops_;
  DumpAction action_ = DumpAction::modify;
  ostrel_node_kind kind_ = ostrel_node_none;
  std::string path_;
  bool pending_ = false;
};

}  // namespace

extern "C" ostrel_error *ostrel_repos_load(ostrel_repos *repos, ostrel_stream *in,
                                           ostrel_revnum *loaded_youngest,
                                           ostrel_repos_notify_fn notify, void *notify_baton,
                                           apr_pool_t *scratch_pool) {
  apr_pool_t *pool = ostrel_pool_create(scratch_pool);
  ostrel_error *err;
  {
    Loader loader(repos, notify, notify_baton, pool);
    err = ostrel::repos::read_dump(in, loader);
    if (loaded_youngest) {
      ostrel_error *yerr = loader.youngest(loaded_youngest);
      if (yerr) {
        *loaded_youngest = OSTREL_INVALID_REVNUM;
        err = ostrel_error_compose_create(err, yerr);
      }
    }
  }
  apr_pool_destroy(pool);
  return err;
}
