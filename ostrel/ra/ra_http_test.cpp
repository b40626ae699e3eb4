// The http access module against a real ostreld (started here on a free
// loopback port, stopped at the end of each test): discovery from any URL in
// or above a repository, the session calls, and a commit made through it.
#include <string>

#include "ra_test_fixture.h"

namespace {

using ra_test::expect_error;

class HttpSessionTest : public ra_test::ServedRepositoryTest {
 protected:
  void SetUp() override {
    ServedRepositoryTest::SetUp();
    serve();
  }
};

TEST_F(HttpSessionTest, DiscoveryFindsTheRepositoryRootFromAnyUrlInside) {
  for (const char *below : {"", "/A", "/A/sub", "/A/f", "/not/yet/there"}) {
    SCOPED_TRACE(below);
    ostrel_ra_session *session = nullptr;
    RA_ASSERT_OK(open_session(&session, base_ + "/repo" + below, "tester", pool_));
    const char *root = nullptr;
    const char *url = nullptr;
    RA_ASSERT_OK(ostrel_ra_get_repos_root(session, &root, pool_));
    RA_ASSERT_OK(ostrel_ra_get_session_url(session, &url, pool_));
    EXPECT_EQ(std::string(root), base_ + "/repo");
    EXPECT_EQ(std::string(url), base_ + "/repo" + below);
  }
}

TEST_F(HttpSessionTest, UrlsAboveOrBesideARepositoryAreRefused) {
  ostrel_ra_session *session = nullptr;
  expect_error(open_session(&session, base_, "tester", pool_), OSTREL_ERR_RA_NO_REPOSITORY,
               "Unable to find a repository at URL '" + base_ + "'");
  expect_error(open_session(&session, base_ + "/other/x", "tester", pool_),
               OSTREL_ERR_RA_NO_REPOSITORY, base_ + "/other/x");
  expect_error(open_session(&session, base_ + "/repo/../repo", "tester", pool_),
               OSTREL_ERR_RA_ILLEGAL_URL, "is not in canonical form");
}

TEST_F(HttpSessionTest, SessionCallsAnswerLikeTheLocalModule) {
  ostrel_ra_session *session = nullptr;
  RA_ASSERT_OK(open_session(&session, base_ + "/repo/A", "tester", pool_));
  ostrel_revnum latest = -1;
  RA_ASSERT_OK(ostrel_ra_get_latest_revnum(session, &latest, pool_));
  EXPECT_EQ(latest, 1);
  struct Case {
    const char *path;
    ostrel_revnum rev;
    ostrel_node_kind kind;
  } cases[] = {
      {"", 1, ostrel_node_dir},         {"sub", 1, ostrel_node_dir},
      {"f", 1, ostrel_node_file},       {"nothing", 1, ostrel_node_none},
      {"f/below", 1, ostrel_node_none}, {"f", 0, ostrel_node_none},
      {"sub", -1, ostrel_node_dir},
  };
  for (const Case &c : cases) {
    auto kind = static_cast<ostrel_node_kind>(-1);
    RA_ASSERT_OK(ostrel_ra_check_path(session, c.path, c.rev, &kind, pool_));
    EXPECT_EQ(kind, c.kind) << c.path << "@" << c.rev;
  }
  ostrel_node_kind kind;
  expect_error(ostrel_ra_check_path(session, "f", 5, &kind, pool_), OSTREL_ERR_FS_NO_SUCH_REVISION,
               "No such revision 5 (youngest is 1)");
  expect_error(ostrel_ra_check_path(session, "f", -2, &kind, pool_), OSTREL_ERR_BAD_REVISION, "-2");
  expect_error(ostrel_ra_check_path(session, "../top", 1, &kind, pool_), OSTREL_ERR_BAD_PATH,
               "../top");
}

ostrel_error *keep_info(const ostrel_commit_info *info, void *baton, apr_pool_t *) {
  *static_cast<ostrel_commit_info *>(baton) = *info;
  return OSTREL_NO_ERROR;
}

TEST_F(HttpSessionTest, ACommitMakesOneRevisionWithTheSentAuthor) {
  ostrel_ra_session *session = nullptr;
  RA_ASSERT_OK(open_session(&session, base_ + "/repo/A", "tester", pool_));
  const ostrel_commit_editor *editor = nullptr;
  void *edit = nullptr;
  ostrel_commit_info info{};
  RA_ASSERT_OK(ostrel_ra_get_commit_editor3(session, &editor, &edit, nullptr, keep_info, &info,
                                            nullptr, false, pool_));
  void *root = nullptr, *file = nullptr, *copy = nullptr;
  RA_ASSERT_OK(editor->open_root_dir(edit, 1, pool_, &root));
  RA_ASSERT_OK(editor->open_file_node("f", root, 1, pool_, &file));
  ostrel_txdelta_window_handler handler;
  void *handler_baton;
  RA_ASSERT_OK(editor->apply_text_delta(file, nullptr, pool_, &handler, &handler_baton));
  ostrel_string *text = ostrel_string_create("over the network\n", pool_);
  RA_ASSERT_OK(ostrel_txdelta_send_stream(ostrel_stream_from_string(text, pool_), handler,
                                          handler_baton, nullptr, pool_));
  RA_ASSERT_OK(editor->close_file_node(file, nullptr, pool_));
  std::string source = base_ + "/repo/top";
  RA_ASSERT_OK(editor->add_file_node("top-copy", root, source.c_str(), 1, pool_, &copy));
  RA_ASSERT_OK(editor->close_file_node(copy, nullptr, pool_));
  RA_ASSERT_OK(editor->close_dir(root, pool_));
  RA_ASSERT_OK(editor->finish_edit(edit, pool_));
  EXPECT_EQ(info.revision, 2);
  ASSERT_NE(info.author, nullptr);
  EXPECT_STREQ(info.author, "tester");
  EXPECT_EQ(cat(2, "A/f"), "over the network\n");
  EXPECT_EQ(cat(2, "A/top-copy"), "top\n");

  // A copy source in another repository is refused before anything is sent.
  RA_ASSERT_OK(ostrel_ra_get_commit_editor3(session, &editor, &edit, nullptr, nullptr, nullptr,
                                            nullptr, false, pool_));
  RA_ASSERT_OK(editor->open_root_dir(edit, 2, pool_, &root));
  std::string elsewhere = base_ + "/other/top";
  expect_error(editor->add_file_node("x", root, elsewhere.c_str(), 1, pool_, &copy),
               OSTREL_ERR_RA_NOT_SAME_REPOSITORY, "is not in the repository at");
  RA_ASSERT_OK(editor->cancel_edit(edit, pool_));
  EXPECT_EQ(youngest(), 2);
}

}  // namespace
