// Writing a repository's revisions as a dump stream (docs/dump-format.md).

#include <openssl/evp.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "dump_stream.h"
#include "ostrel_pools.h"
#include "ostrel_props.h"
#include "ostrel_repos_admin.h"

namespace {

using ostrel::repos::DumpAction;

struct DigestFree {
  void operator()(EVP_MD_CTX *ctx) const { EVP_MD_CTX_free(ctx); }
};

// '/' sorts before every other byte, so that a directory comes right before
// what lies below it, and a replaced directory before its new children.
bool path_before(const std::string &a, const std::string &b) {
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    if (a[i] == b[i]) continue;
    if (a[i] == '/') return true;
    if (b[i] == '/') return false;
    return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[i]);
  }
  return a.size() < b.size();
}

class Writer {
 public:
  Writer(ostrel_repos *repos, ostrel_stream *out)
      : filesystem_(ostrel_repos_fs(repos)), out_(out) {}

  ostrel_error *run(ostrel_revnum lower, ostrel_revnum upper, ostrel_repos_notify_fn notify,
                    void *baton, apr_pool_t *pool) {
    ostrel_revnum youngest;
    OSTREL_ERR(ostrel_fs_youngest_rev(&youngest, filesystem_, pool));
    if (lower < 0 || lower > upper || upper > youngest)
      return ostrel_error_createf(OSTREL_ERR_FS_NO_SUCH_REVISION, nullptr,
                                  "Cannot dump revisions %ld to %ld: the youngest is %ld",
                                  static_cast<long>(lower), static_cast<long>(upper),
                                  static_cast<long>(youngest));
    digest_.reset(EVP_MD_CTX_new());
    if (!digest_) return ostrel_error_create(OSTREL_ERR_MALFUNCTION, nullptr, "No SHA-256 digest");
    std::string header = std::string(ostrel::repos::kDumpMagic) + " " +
                         std::to_string(OSTREL_DUMP_FORMAT_VERSION) + "\n";
    if (lower == 0) {
      header += "base none -\n";
    } else if (lower == 1) {
      header += "base 0 -\n";
    } else {
      ostrel_string *date;
      OSTREL_ERR(
          ostrel_fs_revision_prop(&date, filesystem_, lower - 1, OSTREL_PROP_REVISION_DATE, pool));
      std::string d = date ? std::string(date->data, date->len) : "";
      bool printable = !d.empty();
      for (char c : d) printable = printable && c > ' ' && c <= '~';
      header += "base " + std::to_string(lower - 1) + " " + (printable ? d : "-") + "\n";
    }
    OSTREL_ERR(write(header));
    apr_pool_t *iterpool = ostrel_pool_create(pool);
    for (ostrel_revnum rev = lower; rev <= upper; ++rev) {
      apr_pool_clear(iterpool);
      OSTREL_ERR(revision(rev, iterpool));
      if (notify) notify(baton, rev, iterpool);
    }
    apr_pool_destroy(iterpool);
    return write("end\n");
  }

 private:
  ostrel_error *write(const char *data, size_t len) {
    if (hashing_) EVP_DigestUpdate(digest_.get(), data, len);
    apr_size_t n = len;
    return ostrel_stream_write(out_, data, &n);
  }
  ostrel_error *write(const std::string &s) { return write(s.data(), s.size()); }

  ostrel_error *pair(const char *word, const std::string &name, const ostrel_string *value) {
    OSTREL_ERR(write(std::string(word) + " " + std::to_string(name.size()) + " " +
                     std::to_string(value->len) + "\n" + name));
    OSTREL_ERR(write(value->data, value->len));
    return write("\n");
  }

  ostrel_error *path_line(const std::string &head, const char *path) {
    return write(head + " " + std::to_string(std::strlen(path)) + "\n" + path + "\n");
  }

  // One "WORD" pair per property of PROPS, in name order.
  ostrel_error *pairs(const char *word, apr_hash_t *props, apr_pool_t *pool) {
    apr_array_header_t *names = ostrel_prop_sorted_names(props, pool);
    for (int i = 0; i < names->nelts; ++i) {
      const char *name = APR_ARRAY_IDX(names, i, const char *);
      OSTREL_ERR(
          pair(word, name,
               static_cast<const ostrel_string *>(apr_hash_get(props, name, APR_HASH_KEY_STRING))));
    }
    return nullptr;
  }

  ostrel_error *revision(ostrel_revnum rev, apr_pool_t *pool) {
    if (EVP_DigestInit_ex(digest_.get(), EVP_sha256(), nullptr) != 1)
      return ostrel_error_create(OSTREL_ERR_MALFUNCTION, nullptr, "Cannot start a SHA-256 digest");
    hashing_ = true;
    OSTREL_ERR(write("revision " + std::to_string(rev) + "\n"));
    apr_hash_t *revprops;
    OSTREL_ERR(ostrel_fs_revision_proplist(&revprops, filesystem_, rev, pool));
    OSTREL_ERR(pairs("revprop", revprops, pool));
    ostrel_fs_root *root;
    OSTREL_ERR(ostrel_fs_revision_root(&root, filesystem_, rev, pool));
    apr_hash_t *changed;
    OSTREL_ERR(ostrel_fs_paths_changed2(&changed, root, pool));
    std::vector<std::pair<std::string, const ostrel_path_change *>> changes;
    for (apr_hash_index_t *hi = apr_hash_first(pool, changed); hi; hi = apr_hash_next(hi)) {
      const void *key;
      void *val;
      apr_hash_this(hi, &key, nullptr, &val);
      changes.emplace_back(static_cast<const char *>(key),
                           static_cast<const ostrel_path_change *>(val));
    }
    std::sort(changes.begin(), changes.end(),
              [](auto &a, auto &b) { return path_before(a.first, b.first); });
    apr_pool_t *iterpool = ostrel_pool_create(pool);
    for (auto &[path, change] : changes) {
      apr_pool_clear(iterpool);
      OSTREL_ERR(node(root, path, *change, iterpool));
    }
    apr_pool_destroy(iterpool);
    hashing_ = false;
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_DigestFinal_ex(digest_.get(), md, &len);
    static const char kDigits[] = "0123456789abcdef";
    std::string sum;
    for (unsigned int i = 0; i < len; ++i) {
      sum.push_back(kDigits[md[i] >> 4]);
      sum.push_back(kDigits[md[i] & 15]);
    }
    return write("end-revision " + std::to_string(rev) + " " + sum + "\n");
  }

  ostrel_error *node(ostrel_fs_root *root, const std::string &path,
                     const ostrel_path_change &change, apr_pool_t *pool) {
    DumpAction action = change.change_kind == ostrel_fs_path_change_add       ? DumpAction::add
                        : change.change_kind == ostrel_fs_path_change_delete  ? DumpAction::remove
                        : change.change_kind == ostrel_fs_path_change_replace ? DumpAction::replace
                                                                              : DumpAction::modify;
    bool is_file = change.node_kind == ostrel_node_file;
    OSTREL_ERR(path_line(std::string("node ") + ostrel::repos::dump_action_word(action) + " " +
                             (is_file ? "file" : "dir"),
                         path.c_str()));
    if (action == DumpAction::remove) return nullptr;
    bool fresh = action != DumpAction::modify && !change.copyfrom_path;
    if (change.copyfrom_path && action != DumpAction::modify)
      OSTREL_ERR(path_line("copy " + std::to_string(change.copyfrom_rev), change.copyfrom_path));
    apr_hash_t *props;
    OSTREL_ERR(ostrel_fs_node_proplist(&props, root, path.c_str(), pool));
    if (change.prop_mod || (fresh && apr_hash_count(props) > 0)) {
      OSTREL_ERR(write("props\n"));
      OSTREL_ERR(pairs("prop", props, pool));
      OSTREL_ERR(write("end-props\n"));
    }
    if (is_file && (change.text_mod || fresh)) OSTREL_ERR(text(root, path, pool));
    return nullptr;
  }

  ostrel_error *text(ostrel_fs_root *root, const std::string &path, apr_pool_t *pool) {
    ostrel_filesize length;
    const char *sha;
    OSTREL_ERR(ostrel_fs_file_length(&length, root, path.c_str(), pool));
    OSTREL_ERR(ostrel_fs_file_sha256(&sha, root, path.c_str(), pool));
    OSTREL_ERR(write("text " + std::to_string(length) + " " + sha + "\n"));
    ostrel_stream *contents;
    OSTREL_ERR(ostrel_fs_file_contents(&contents, root, path.c_str(), pool));
    std::vector<char> buf(OSTREL_STREAM_CHUNK_SIZE);
    ostrel_filesize total = 0;
    while (true) {
      const char *data = nullptr;
      apr_size_t len = 0;
      OSTREL_ERR(ostrel_stream_lend(contents, buf.data(), buf.size(), &data, &len));
      if (len == 0) break;
      total += static_cast<ostrel_filesize>(len);
      if (total > length) break;
      OSTREL_ERR(write(data, len));
    }
    OSTREL_ERR(ostrel_stream_close(contents));
    if (total != length)
      return ostrel_error_createf(OSTREL_ERR_FS_CORRUPT, nullptr,
                                  "Revision %ld is damaged at '%s': its contents are %lld bytes, "
                                  "not the %lld recorded",
                                  static_cast<long>(ostrel_fs_root_revision(root)), path.c_str(),
                                  static_cast<long long>(total), static_cast<long long>(length));
    return write("\n");
  }

  ostrel_fs *filesystem_;
  ostrel_stream *out_;
  std::unique_ptr<EVP_MD_CTX, DigestFree> digest_;
  bool hashing_ = false;
};

}  // namespace

extern "C" ostrel_error *ostrel_repos_dump(ostrel_repos *repos, ostrel_revnum lower,
                                           ostrel_revnum upper, ostrel_stream *out,
                                           ostrel_repos_notify_fn notify, void *notify_baton,
                                           apr_pool_t *scratch_pool) {
  return Writer(repos, out).run(lower, upper, notify, notify_baton, scratch_pool);
}
