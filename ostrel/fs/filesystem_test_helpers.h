// Helpers of the filesystem tests: error checks, writing a file's text in a
// transaction, and the commits the tests build their histories from.
#ifndef OSTREL_FS_TEST_HELPERS_H
#define OSTREL_FS_TEST_HELPERS_H

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "ostrel_fs.h"
#include "ostrel_pools.h"
#include "ostrel_test_support.h"

namespace fs_test {

// The text of ERR's chain; clears ERR.  "" for success.
inline std::string take_error(ostrel_error *err) {
  std::string text = ostrel_test::chain_text(err);
  ostrel_error_clear(err);
  return text;
}

// The code of ERR's outermost link; clears ERR.  0 for success.
inline apr_status_t code_of(ostrel_error *err, std::string *message = nullptr) {
  if (!err) return 0;
  apr_status_t code = err->apr_err;
  std::string text = take_error(err);
  if (message) *message = text;
  return code;
}

// Streams TEXT in as the contents of file PATH of transaction root ROOT.
inline ostrel_error *put(ostrel_fs_root *root, const char *path, const std::string &text) {
  ostrel_stream *s;
  apr_pool_t *p = ostrel_pool_create(nullptr);
  ostrel_error *err = ostrel_fs_apply_text(&s, root, path, p);
  if (!err) {
    apr_size_t len = text.size();
    err = ostrel_stream_write(s, text.data(), &len);
    ostrel_error *close_err = ostrel_stream_close(s);
    err = err ? ostrel_error_compose_create(err, close_err) : close_err;
  }
  apr_pool_destroy(p);
  return err;
}

// The piece size that asks cat() and next_piece() to take the bytes as the
// stream lends them (ostrel_stream_lend, with a 4 KiB buffer) instead.
inline constexpr size_t kLentPieces = 0;

// The next piece of S into OUT, read in pieces of PIECE bytes or lent
// (kLentPieces); false at the end of the stream.
inline ostrel_error *next_piece(ostrel_stream *s, std::vector<char> &buf, size_t piece,
                                std::string &out, bool *more) {
  out.clear();
  apr_size_t len = 0;
  if (piece == kLentPieces) {
    buf.resize(4096);
    const char *data = nullptr;
    OSTREL_ERR(ostrel_stream_lend(s, buf.data(), buf.size(), &data, &len));
    out.assign(data, len);
    *more = len > 0;
  } else {
    buf.resize(piece);
    len = buf.size();
    OSTREL_ERR(ostrel_stream_read_full(s, buf.data(), &len));
    out.assign(buf.data(), len);
    *more = len == buf.size();
  }
  return nullptr;
}

// The whole text of file PATH in ROOT, read in pieces of PIECE bytes (or
// lent: kLentPieces), or "ERROR: " and the error's text.
inline std::string cat(ostrel_fs_root *root, const char *path, apr_pool_t *pool,
                       size_t piece = 4096) {
  ostrel_stream *s;
  ostrel_error *err = ostrel_fs_file_contents(&s, root, path, pool);
  if (err) return "ERROR: " + take_error(err);
  std::string out, got;
  std::vector<char> buf;
  for (bool more = true; more;) {
    err = next_piece(s, buf, piece, got, &more);
    if (err) return "ERROR: " + take_error(err);
    out += got;
  }
  err = ostrel_stream_close(s);
  if (err) return "ERROR: " + take_error(err);
  return out;
}

inline ostrel_error *propset(ostrel_fs_root *root, const char *path, const char *name,
                             const char *value) {
  ostrel_string v{value, value ? std::strlen(value) : 0};
  return ostrel_fs_change_node_prop(root, path, name, value ? &v : nullptr, nullptr);
}

// r1 of most histories: /trunk/a (file "alpha"), /trunk/sub/b (file "beta"),
// a property on /trunk.
inline ostrel_error *make_trunk(ostrel_fs_root *root) {
  OSTREL_ERR(ostrel_fs_make_dir(root, "trunk", nullptr));
  OSTREL_ERR(ostrel_fs_make_file(root, "/trunk/a", nullptr));
  OSTREL_ERR(put(root, "trunk/a", "alpha"));
  OSTREL_ERR(ostrel_fs_make_dir(root, "trunk/sub", nullptr));
  OSTREL_ERR(ostrel_fs_make_file(root, "trunk/sub/b", nullptr));
  OSTREL_ERR(put(root, "trunk/sub/b", "beta"));
  return propset(root, "trunk", "color", "blue");
}

// One transaction on the youngest revision of FILESYSTEM changed by CHANGE
// and committed; *REV (when given) receives the new revision.
inline ostrel_error *commit_change(ostrel_fs *filesystem,
                                   const std::function<ostrel_error *(ostrel_fs_root *)> &change,
                                   ostrel_revnum *rev = nullptr) {
  apr_pool_t *p = ostrel_pool_create(nullptr);
  ostrel_error *err = [&]() -> ostrel_error * {
    ostrel_revnum y, made;
    OSTREL_ERR(ostrel_fs_youngest_rev(&y, filesystem, p));
    ostrel_fs_txn *txn;
    OSTREL_ERR(ostrel_fs_begin_txn(&txn, filesystem, y, p));
    ostrel_fs_root *root;
    OSTREL_ERR(ostrel_fs_txn_root(&root, txn, p));
    OSTREL_ERR(change(root));
    OSTREL_ERR(ostrel_fs_commit_txn(nullptr, &made, txn, p));
    if (rev) *rev = made;
    return nullptr;
  }();
  apr_pool_destroy(p);  // aborts the transaction when it did not commit
  return err;
}

// One transaction on the youngest revision of FILESYSTEM: makes directory
// DIR when given, then adds each file of PATHS with TEXT followed by its
// path (TEXT alone when SAME_TEXT); *REV receives the new revision.
inline ostrel_error *commit_files(ostrel_fs *filesystem, const std::vector<std::string> &paths,
                                  const std::string &text, ostrel_revnum *rev,
                                  const char *dir = nullptr, bool same_text = false) {
  apr_pool_t *p = ostrel_pool_create(nullptr);
  ostrel_error *err = [&]() -> ostrel_error * {
    ostrel_revnum y;
    OSTREL_ERR(ostrel_fs_youngest_rev(&y, filesystem, p));
    ostrel_fs_txn *txn;
    OSTREL_ERR(ostrel_fs_begin_txn(&txn, filesystem, y, p));
    ostrel_fs_root *root;
    OSTREL_ERR(ostrel_fs_txn_root(&root, txn, p));
    if (dir) OSTREL_ERR(ostrel_fs_make_dir(root, dir, p));
    for (const std::string &path : paths) {
      OSTREL_ERR(ostrel_fs_make_file(root, path.c_str(), p));
      OSTREL_ERR(put(root, path.c_str(), same_text ? text : text + path));
    }
    return ostrel_fs_commit_txn(nullptr, rev, txn, p);
  }();
  apr_pool_destroy(p);  // aborts the transaction when it did not commit
  return err;
}

// One transaction on the youngest revision adding file PATH with TEXT.
inline ostrel_error *commit_file(ostrel_fs *filesystem, const std::string &path,
                                 const std::string &text, ostrel_revnum *rev) {
  return commit_files(filesystem, {path}, text, rev, nullptr, true);
}

// PREFIX0 .. PREFIX(N-1).
inline std::vector<std::string> numbered(const std::string &prefix, int n) {
  std::vector<std::string> out;
  for (int i = 0; i < n; ++i) out.push_back(prefix + std::to_string(i));
  return out;
}

}  // namespace fs_test

#define OK(expr)                                            \
  do {                                                      \
    ostrel_error *ok_err__ = (expr);                        \
    ASSERT_EQ(fs_test::take_error(ok_err__), "") << #expr; \
  } while (0)

#endif /* OSTREL_FS_TEST_HELPERS_H */
