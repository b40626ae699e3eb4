// Tests of local sessions: where open4 finds a repository, which URLs it
// refuses, and what check_path and get_latest_revnum answer.

#include <sys/stat.h>

#include "ra_test_fixture.h"

namespace {

using ra_test::expect_error;

class RaSessionTest : public ra_test::RepositoryTest {};

TEST_F(RaSessionTest, OpenFindsTheRepositoryAboveTheUrl) {
  struct Case {
    std::string url;
    const char *kind_of_session_path;  // what check_path("") answers
  } cases[] = {
      {repo_url_, "dir"},
      {"file://localhost" + repo_path_ + "/A", "dir"},
      {repo_url_ + "/A/f", "file"},
      {repo_url_ + "/A/not-yet", "none"},  // a URL may name what a commit will add
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.url);
    ostrel_ra_session *session = nullptr;
    RA_ASSERT_OK(open_session(&session, c.url, "tester", pool_));
    const char *root_url = nullptr;
    RA_ASSERT_OK(ostrel_ra_get_repos_root(session, &root_url, pool_));
    EXPECT_EQ(root_url, repo_url_);
    ostrel_node_kind k;
    RA_ASSERT_OK(ostrel_ra_check_path(session, "", -1, &k, pool_));
    const char *names[] = {"none", "file", "dir"};
    EXPECT_STREQ(names[k], c.kind_of_session_path);
  }
}

TEST_F(RaSessionTest, OpenRefusesUrlsThatLeadNowhere) {
  std::string empty_dir = dir_ + "/empty";
  ASSERT_EQ(mkdir(empty_dir.c_str(), 0700), 0);
  struct Case {
    std::string url;
    apr_status_t code;
    const char *reason;
  } cases[] = {
      {"file://" + empty_dir, OSTREL_ERR_RA_NO_REPOSITORY, "Unable to find a repository"},
      {"file://" + dir_ + "/missing/deeper", OSTREL_ERR_RA_NO_REPOSITORY,
       "Unable to find a repository"},
      {repo_url_ + "/A/../A", OSTREL_ERR_RA_ILLEGAL_URL, "'..'"},
      {"file://elsewhere" + repo_path_, OSTREL_ERR_RA_ILLEGAL_URL, "host"},
      {"ftp://host" + repo_path_, OSTREL_ERR_RA_UNKNOWN_SCHEME, "scheme"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.url);
    ostrel_ra_session *session = nullptr;
    ostrel_error *err = open_session(&session, c.url, "tester", pool_);
    ASSERT_NE(err, nullptr);
    std::string text = ra_test::chain_text(err);
    EXPECT_NE(text.find(c.url), std::string::npos) << text;  // every refusal names the URL
    expect_error(err, c.code, c.reason);
  }
}

TEST_F(RaSessionTest, CheckPathRevisionsAndPaths) {
  ostrel_ra_session *session = nullptr;
  RA_ASSERT_OK(open_session(&session, repo_url_ + "/A", "tester", pool_));
  struct Case {
    const char *path;
    ostrel_revnum rev;
    ostrel_node_kind kind;  // expected when CODE is 0
    apr_status_t code;
    const char *reason;
  } cases[] = {
      {"f", -1, ostrel_node_file, 0, nullptr},
      {"f", 1, ostrel_node_file, 0, nullptr},
      {"f", 0, ostrel_node_none, 0, nullptr},
      {"sub", 1, ostrel_node_dir, 0, nullptr},
      {"", 1, ostrel_node_dir, 0, nullptr},
      {"absent", 1, ostrel_node_none, 0, nullptr},
      {"f/below-a-file", 1, ostrel_node_none, 0, nullptr},
      {"f", 2, ostrel_node_none, OSTREL_ERR_FS_NO_SUCH_REVISION, "No such revision 2"},
      {"f", -2, ostrel_node_none, OSTREL_ERR_BAD_REVISION, "Invalid revision number -2"},
      {"../top", 1, ostrel_node_none, OSTREL_ERR_BAD_PATH, "'../top'"},
      {"sub//x", 1, ostrel_node_none, OSTREL_ERR_BAD_PATH, "'sub//x'"},
      {"/f", 1, ostrel_node_none, OSTREL_ERR_BAD_PATH, "'/f'"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << c.path << "@" << c.rev);
    ostrel_node_kind k = ostrel_node_none;
    ostrel_error *err = ostrel_ra_check_path(session, c.path, c.rev, &k, pool_);
    if (c.code) {
      expect_error(err, c.code, c.reason);
    } else {
      RA_ASSERT_OK(err);
      EXPECT_EQ(k, c.kind);
    }
  }
}

TEST_F(RaSessionTest, LatestRevisionIsReadAfresh) {
  ostrel_ra_session *session = nullptr;
  RA_ASSERT_OK(open_session(&session, repo_url_, "tester", pool_));
  ostrel_revnum latest;
  RA_ASSERT_OK(ostrel_ra_get_latest_revnum(session, &latest, pool_));
  EXPECT_EQ(latest, 1);

  // Another writer commits through its own handle.
  ostrel_repos *other;
  RA_ASSERT_OK(ostrel_repos_open2(&other, repo_path_.c_str(), nullptr, pool_));
  ostrel_fs_txn *txn;
  ostrel_fs_root *root;
  ostrel_revnum rev;
  RA_ASSERT_OK(ostrel_fs_begin_txn(&txn, ostrel_repos_fs(other), 1, pool_));
  RA_ASSERT_OK(ostrel_fs_txn_root(&root, txn, pool_));
  RA_ASSERT_OK(ostrel_fs_make_dir(root, "B", pool_));
  RA_ASSERT_OK(ostrel_fs_commit_txn(nullptr, &rev, txn, pool_));

  RA_ASSERT_OK(ostrel_ra_get_latest_revnum(session, &latest, pool_));
  EXPECT_EQ(latest, 2);
  ostrel_node_kind k;
  RA_ASSERT_OK(ostrel_ra_check_path(session, "B", -1, &k, pool_));
  EXPECT_EQ(k, ostrel_node_dir);
}

TEST_F(RaSessionTest, ModuleListNamesTheFileScheme) {
  ostrel_stringbuf *out = ostrel_stringbuf_create("", pool_);
  RA_ASSERT_OK(ostrel_ra_print_modules(out, pool_));
  EXPECT_NE(std::string(out->data).find("'file' scheme"), std::string::npos) << out->data;
}

}  // namespace
