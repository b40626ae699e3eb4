// Helpers of the filesystem tests: error checks, and writing a file's text
// in a transaction.
#ifndef OSTREL_FS_TEST_HELPERS_H
#define OSTREL_FS_TEST_HELPERS_H

#include <gtest/gtest.h>

#include <string>

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

// The whole text of file PATH in ROOT, or "ERROR: " and the error's text.
inline std::string cat(ostrel_fs_root *root, const char *path, apr_pool_t *pool) {
  ostrel_stream *s;
  ostrel_error *err = ostrel_fs_file_contents(&s, root, path, pool);
  if (err) return "ERROR: " + take_error(err);
  std::string out;
  char buf[4096];
  while (true) {
    apr_size_t len = sizeof buf;
    err = ostrel_stream_read_full(s, buf, &len);
    if (err) return "ERROR: " + take_error(err);
    out.append(buf, len);
    if (len < sizeof buf) break;
  }
  return out;
}

}  // namespace fs_test

#define OK(expr)                                            \
  do {                                                      \
    ostrel_error *ok_err__ = (expr);                        \
    ASSERT_EQ(fs_test::take_error(ok_err__), "") << #expr; \
  } while (0)

#endif /* OSTREL_FS_TEST_HELPERS_H */
