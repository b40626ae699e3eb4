// A temporary repository with a small first revision, for the tests of the
// local access module.
//
// Revision 1 holds:   A/            (property color = red)
//                     A/sub/
//                     A/f           "hello\n"
//                     top           "top\n"
#ifndef OSTREL_RA_TEST_FIXTURE_H
#define OSTREL_RA_TEST_FIXTURE_H

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ostrel_ostreld_fixture.h"
#include "ostrel_pools.h"
#include "ostrel_ra.h"
#include "ostrel_repos.h"
#include "ostrel_setup_failed.h"
#include "ostrel_test_support.h"

namespace ra_test {

using ostrel_test::chain_text;

// Asserts that ERR holds CODE in its chain and SUBSTRING in its text, then
// clears it.
inline void expect_error(ostrel_error *err, apr_status_t code, const std::string &substring) {
  ASSERT_NE(err, nullptr) << "expected error " << code << " with '" << substring << "'";
  std::string text = chain_text(err);
  EXPECT_NE(ostrel_error_find_cause(err, code), nullptr) << text;
  EXPECT_NE(text.find(substring), std::string::npos) << text;
  ostrel_error_clear(err);
}

#define RA_ASSERT_OK(expr)                                        \
  do {                                                            \
    ostrel_error *ra_test_err__ = (expr);                         \
    ASSERT_EQ(ra_test_err__, nullptr) << ra_test::chain_text(ra_test_err__); \
  } while (0)

class RepositoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    pool_ = ostrel_pool_create(nullptr);
    repo_path_ = dir_ + "/repo";
    repo_url_ = "file://" + repo_path_;
    RA_ASSERT_OK(ostrel_repos_create(&repos_, repo_path_.c_str(), nullptr, pool_));
    filesystem_ = ostrel_repos_fs(repos_);
    make_first_revision();
  }

  void TearDown() override { apr_pool_destroy(pool_); }

  void make_first_revision() {
    apr_pool_t *pool = ostrel_pool_create(pool_);
    ostrel_fs_txn *txn;
    ostrel_fs_root *root;
    RA_ASSERT_OK(ostrel_fs_begin_txn(&txn, filesystem_, 0, pool));
    RA_ASSERT_OK(ostrel_fs_txn_root(&root, txn, pool));
    RA_ASSERT_OK(ostrel_fs_make_dir(root, "A", pool));
    RA_ASSERT_OK(ostrel_fs_make_dir(root, "A/sub", pool));
    RA_ASSERT_OK(ostrel_fs_make_file(root, "A/f", pool));
    RA_ASSERT_OK(ostrel_fs_make_file(root, "top", pool));
    write_text(root, "A/f", "hello\n", pool);
    write_text(root, "top", "top\n", pool);
    RA_ASSERT_OK(ostrel_fs_change_node_prop(root, "A", "color", ostrel_string_create("red", pool),
                                            pool));
    ostrel_revnum rev;
    RA_ASSERT_OK(ostrel_fs_commit_txn(nullptr, &rev, txn, pool));
    ASSERT_EQ(rev, 1);
    apr_pool_destroy(pool);
  }

  static void write_text(ostrel_fs_root *root, const char *path, const char *text,
                         apr_pool_t *pool) {
    ostrel_stream *out;
    RA_ASSERT_OK(ostrel_fs_apply_text(&out, root, path, pool));
    apr_size_t len = std::strlen(text);
    RA_ASSERT_OK(ostrel_stream_write(out, text, &len));
    RA_ASSERT_OK(ostrel_stream_close(out));
  }

  ostrel_revnum youngest() {
    ostrel_revnum rev = -1;
    EXPECT_EQ(ostrel_fs_youngest_rev(&rev, filesystem_, pool_), nullptr);
    return rev;
  }

  // The contents of PATH in REV ("<error>" when it cannot be read).
  std::string cat(ostrel_revnum rev, const char *path) {
    ostrel_fs_root *root;
    ostrel_stream *in;
    ostrel_error *err = ostrel_fs_revision_root(&root, filesystem_, rev, pool_);
    if (!err) err = ostrel_fs_file_contents(&in, root, path, pool_);
    if (err) {
      ostrel_error_clear(err);
      return "<error>";
    }
    std::string text;
    char buf[4096];
    for (;;) {
      apr_size_t len = sizeof buf;
      if (ostrel_error *e = ostrel_stream_read_full(in, buf, &len)) {
        ostrel_error_clear(e);
        return "<error>";
      }
      text.append(buf, len);
      if (len < sizeof buf) break;
    }
    ostrel_error_clear(ostrel_stream_close(in));
    return text;
  }

  ostrel_node_kind kind(ostrel_revnum rev, const char *path) {
    ostrel_fs_root *root;
    ostrel_node_kind k = ostrel_node_none;
    EXPECT_EQ(ostrel_fs_revision_root(&root, filesystem_, rev, pool_), nullptr);
    EXPECT_EQ(ostrel_fs_check_path(&k, root, path, pool_), nullptr);
    return k;
  }

  // Opens a session at URL as user USERNAME (nullptr: the login name).
  ostrel_error *open_session(ostrel_ra_session **session, const std::string &url,
                             const char *username, apr_pool_t *pool) {
    ostrel_ra_callbacks *callbacks;
    OSTREL_ERR(ostrel_ra_create_callbacks(&callbacks, pool));
    OSTREL_ERR(ostrel_cmdline_create_auth_baton(&callbacks->auth_baton, true, username, nullptr,
                                                nullptr, true, false, nullptr, nullptr, nullptr,
                                                pool));
    return ostrel_ra_open4(session, nullptr, url.c_str(), nullptr, callbacks, nullptr, nullptr,
                           pool);
  }

  apr_pool_t *pool_ = nullptr;
  ostrel_test::TempDir temp_{"ostrel-ra-test"};
  const std::string dir_ = temp_.path();
  std::string repo_path_, repo_url_;
  ostrel_repos *repos_ = nullptr;
  ostrel_fs *filesystem_ = nullptr;
};

// The fixture's repository served by a real ostreld on loopback (the
// folder holding it is the server's root): after serve(), base_ is the
// server's URL, so that the repository is base_ + "/repo".  A server that
// does not start is a broken setup; one that does not stop cleanly fails
// the test.
class ServedRepositoryTest : public RepositoryTest {
 protected:
  // Starts ostreld --open with OPTIONS.  With TLS the URL names localhost,
  // the name in the test's certificate.
  void serve(const std::vector<std::string> &options = {}, bool tls = false) {
    std::vector<std::string> all = {"--open"};
    all.insert(all.end(), options.begin(), options.end());
    std::string why;
    OSTREL_SETUP_ASSERT(server_.start(dir_, all, &why), why);
    base_ = tls ? "https://localhost:" + server_.port() : "http://" + server_.address();
  }

  void TearDown() override {
    std::string log;
    EXPECT_EQ(server_.stop(&log), 0) << "ostreld ended badly:\n" << log;
    RepositoryTest::TearDown();
  }

  ostrel_test::Ostreld server_;
  std::string base_;
};

}  // namespace ra_test

#endif  // OSTREL_RA_TEST_FIXTURE_H
