// Tests of the local commit editor against real repositories: every kind of
// change, every refused call, streaming of a large text, and edits that end
// without a commit.

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <optional>
#include <regex>
#include <functional>


#include "../fs/filesystem_private.h"
#include "ostrel_config.h"
#include "ostrel_delta.h"
#include "ra_test_fixture.h"

// The storage's fault seam (ostrel/fs/meta.h): turns a named point of its
// work into a failure.
typedef ostrel_error *(*ostrel_fs__fault_hook_fn)(const char *point);
extern "C" void ostrel_fs__set_fault_hook(ostrel_fs__fault_hook_fn hook);

namespace {

using ra_test::chain_text;
using ra_test::expect_error;

const char kZeroSha[] = "0000000000000000000000000000000000000000000000000000000000000000";

struct Report {
  int calls = 0;
  ostrel_revnum revision = -1;
  std::string date;
  std::optional<std::string> author;
  ostrel_error *fail_with = nullptr;  // returned by the callback when set
};

ostrel_error *record_commit(const ostrel_commit_info *info, void *baton, apr_pool_t *) {
  auto *report = static_cast<Report *>(baton);
  report->calls++;
  report->revision = info->revision;
  report->date = info->date ? info->date : "";
  report->author = info->author ? std::optional<std::string>(info->author) : std::nullopt;
  ostrel_error *err = report->fail_with;
  report->fail_with = nullptr;
  return err;
}

class CommitEditorTest : public ra_test::RepositoryTest {
 public:  // the table of refused calls drives the fixture from lambdas
  // Gets an editor for a session at URL (default: the repository's root) as
  // USERNAME, and opens its root at BASE.
  void begin(const char *username = "tester", ostrel_revnum base = 1, std::string url = "",
             apr_hash_t *revprops = nullptr) {
    get_editor(username, url.empty() ? repo_url_ : url, revprops);
    RA_ASSERT_OK(ed_->open_root_dir(eb_, base, edit_pool_, &root_));
  }

  void get_editor(const char *username, const std::string &url, apr_hash_t *revprops = nullptr) {
    edit_pool_ = ostrel_pool_create(pool_);
    RA_ASSERT_OK(open_session(&session_, url, username, edit_pool_));
    RA_ASSERT_OK(ostrel_ra_get_commit_editor3(session_, &ed_, &eb_, revprops, record_commit,
                                              &report_, nullptr, false, edit_pool_));
  }

  std::string url(const char *path) { return repo_url_ + "/" + path; }

  void *add_dir(const char *path, void *parent, const char *copy_url = nullptr,
                ostrel_revnum copy_rev = -1) {
    void *baton = nullptr;
    EXPECT_EQ(ed_->add_dir(path, parent, copy_url, copy_rev, edit_pool_, &baton), nullptr);
    return baton;
  }
  void *add_file(const char *path, void *parent, const char *copy_url = nullptr,
                 ostrel_revnum copy_rev = -1) {
    void *baton = nullptr;
    EXPECT_EQ(ed_->add_file_node(path, parent, copy_url, copy_rev, edit_pool_, &baton), nullptr);
    return baton;
  }
  void *open_dir(const char *path, void *parent) {
    void *baton = nullptr;
    EXPECT_EQ(ed_->open_dir(path, parent, 1, edit_pool_, &baton), nullptr);
    return baton;
  }
  void *open_file(const char *path, void *parent) {
    void *baton = nullptr;
    EXPECT_EQ(ed_->open_file_node(path, parent, 1, edit_pool_, &baton), nullptr);
    return baton;
  }
  ostrel_error *send_text(void *file, const std::string &text) {
    ostrel_txdelta_window_handler handler;
    void *handler_baton;
    OSTREL_ERR(ed_->apply_text_delta(file, nullptr, edit_pool_, &handler, &handler_baton));
    ostrel_string *str = ostrel_string_ncreate(text.data(), text.size(), edit_pool_);
    return ostrel_txdelta_send_stream(ostrel_stream_from_string(str, edit_pool_), handler,
                                      handler_baton, nullptr, edit_pool_);
  }
  const ostrel_string *str(const char *s) { return ostrel_string_create(s, pool_); }

  std::optional<std::string> node_prop(ostrel_revnum rev, const char *path, const char *name) {
    ostrel_fs_root *root;
    ostrel_string *value = nullptr;
    EXPECT_EQ(ostrel_fs_revision_root(&root, filesystem_, rev, pool_), nullptr);
    EXPECT_EQ(ostrel_fs_node_prop(&value, root, path, name, pool_), nullptr);
    return value ? std::optional<std::string>(value->data) : std::nullopt;
  }
  std::optional<std::string> rev_prop(ostrel_revnum rev, const char *name) {
    ostrel_string *value = nullptr;
    EXPECT_EQ(ostrel_fs_revision_prop(&value, filesystem_, rev, name, pool_), nullptr);
    return value ? std::optional<std::string>(value->data) : std::nullopt;
  }

  ostrel_ra_session *session_ = nullptr;
  const ostrel_commit_editor *ed_ = nullptr;
  void *eb_ = nullptr;
  void *root_ = nullptr;
  apr_pool_t *edit_pool_ = nullptr;
  Report report_;
};

// The author comes from the user name and the date from the commit: a value
// for either among the revision properties is refused, not silently replaced.
TEST_F(CommitEditorTest, AuthorAndDateCannotBeGivenAsRevisionProperties) {
  for (const char *name : {"ostrel:author", "ostrel:date"}) {
    apr_hash_t *revprops = apr_hash_make(pool_);
    apr_hash_set(revprops, name, APR_HASH_KEY_STRING, str("mallory"));
    apr_pool_t *pool = ostrel_pool_create(pool_);
    RA_ASSERT_OK(open_session(&session_, repo_url_, "tester", pool));
    ostrel_error *err = ostrel_ra_get_commit_editor3(session_, &ed_, &eb_, revprops,
                                                     record_commit, &report_, nullptr, false, pool);
    ASSERT_NE(err, nullptr) << name;
    EXPECT_EQ(err->apr_err, OSTREL_ERR_BAD_PROPERTY_NAME);
    EXPECT_NE(std::string(err->message).find(name), std::string::npos) << err->message;
    ostrel_error_clear(err);
    apr_pool_destroy(pool);
  }
  EXPECT_EQ(youngest(), 1);
}

TEST_F(CommitEditorTest, EveryKindOfChangeBecomesOneRevision) {
  apr_hash_t *revprops = apr_hash_make(pool_);
  apr_hash_set(revprops, "ostrel:log", APR_HASH_KEY_STRING, str("many changes"));
  apr_hash_set(revprops, "note", APR_HASH_KEY_STRING, str("extra"));
  begin("tester", 1, "", revprops);

  RA_ASSERT_OK(ed_->remove_entry("top", 1, root_, edit_pool_));
  void *b = add_dir("B", root_);
  void *b_new = add_file("B/new", b);
  RA_ASSERT_OK(send_text(b_new, "new text"));
  RA_ASSERT_OK(ed_->set_file_prop(b_new, "kind", str("plain"), edit_pool_));
  RA_ASSERT_OK(ed_->close_file_node(b_new, nullptr, edit_pool_));
  RA_ASSERT_OK(ed_->close_dir(b, edit_pool_));
  void *c = add_dir("C", root_, url("A").c_str(), 1);
  RA_ASSERT_OK(ed_->close_dir(c, edit_pool_));
  void *g = add_file("g", root_, url("A/f").c_str(), 1);
  RA_ASSERT_OK(ed_->close_file_node(g, nullptr, edit_pool_));
  void *a = open_dir("A", root_);
  void *a_f = open_file("A/f", a);
  RA_ASSERT_OK(send_text(a_f, "changed\n"));
  RA_ASSERT_OK(ed_->set_file_prop(a_f, "k", str("v"), edit_pool_));
  RA_ASSERT_OK(ed_->close_file_node(a_f, nullptr, edit_pool_));
  RA_ASSERT_OK(ed_->set_dir_prop(a, "color", nullptr, edit_pool_));
  RA_ASSERT_OK(ed_->close_dir(a, edit_pool_));
  EXPECT_EQ(youngest(), 1);  // nothing visible before the finish
  RA_ASSERT_OK(ed_->finish_edit(eb_, edit_pool_));

  ASSERT_EQ(report_.calls, 1);
  EXPECT_EQ(report_.revision, 2);
  EXPECT_EQ(report_.author, "tester");
  EXPECT_TRUE(std::regex_match(report_.date,
                               std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}Z)")))
      << report_.date;
  EXPECT_EQ(youngest(), 2);
  EXPECT_EQ(rev_prop(2, "ostrel:log"), "many changes");
  EXPECT_EQ(rev_prop(2, "ostrel:author"), "tester");
  EXPECT_EQ(rev_prop(2, "ostrel:date"), report_.date);
  EXPECT_EQ(rev_prop(2, "note"), "extra");

  EXPECT_EQ(kind(2, "top"), ostrel_node_none);
  EXPECT_EQ(cat(2, "B/new"), "new text");
  EXPECT_EQ(node_prop(2, "B/new", "kind"), "plain");
  EXPECT_EQ(cat(2, "C/f"), "hello\n");
  EXPECT_EQ(kind(2, "C/sub"), ostrel_node_dir);
  EXPECT_EQ(node_prop(2, "C", "color"), "red");  // the copy keeps its source's properties
  EXPECT_EQ(cat(2, "g"), "hello\n");
  EXPECT_EQ(cat(2, "A/f"), "changed\n");
  EXPECT_EQ(node_prop(2, "A/f", "k"), "v");
  EXPECT_EQ(node_prop(2, "A", "color"), std::nullopt);
  EXPECT_EQ(cat(1, "A/f"), "hello\n");  // the old revision is untouched

  ostrel_fs_root *root;
  apr_hash_t *changes;
  RA_ASSERT_OK(ostrel_fs_revision_root(&root, filesystem_, 2, pool_));
  RA_ASSERT_OK(ostrel_fs_paths_changed2(&changes, root, pool_));
  auto *copy = static_cast<ostrel_path_change *>(apr_hash_get(changes, "/C", APR_HASH_KEY_STRING));
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(copy->change_kind, ostrel_fs_path_change_add);
  EXPECT_STREQ(copy->copyfrom_path, "/A");
  EXPECT_EQ(copy->copyfrom_rev, 1);
  auto *del = static_cast<ostrel_path_change *>(apr_hash_get(changes, "/top", APR_HASH_KEY_STRING));
  ASSERT_NE(del, nullptr);
  EXPECT_EQ(del->change_kind, ostrel_fs_path_change_delete);
}

TEST_F(CommitEditorTest, ReplaceBelowASessionUrl) {
  // Session at A: paths are relative to it; copy URLs are absolute.
  begin("tester", 1, url("A"));
  RA_ASSERT_OK(ed_->remove_entry("sub", 1, root_, edit_pool_));
  void *sub = add_dir("sub", root_);
  RA_ASSERT_OK(ed_->close_dir(sub, edit_pool_));
  void *t = add_file("t", root_, url("top").c_str(), 1);
  RA_ASSERT_OK(ed_->close_file_node(t, nullptr, edit_pool_));
  RA_ASSERT_OK(ed_->finish_edit(eb_, edit_pool_));
  EXPECT_EQ(cat(2, "A/t"), "top\n");
  EXPECT_EQ(kind(2, "A/sub"), ostrel_node_dir);

  ostrel_fs_root *root;
  apr_hash_t *changes;
  RA_ASSERT_OK(ostrel_fs_revision_root(&root, filesystem_, 2, pool_));
  RA_ASSERT_OK(ostrel_fs_paths_changed2(&changes, root, pool_));
  auto *sub_change =
      static_cast<ostrel_path_change *>(apr_hash_get(changes, "/A/sub", APR_HASH_KEY_STRING));
  ASSERT_NE(sub_change, nullptr);
  EXPECT_EQ(sub_change->change_kind, ostrel_fs_path_change_replace);
}

TEST_F(CommitEditorTest, ChangesInsideACopyLeaveItsSourceAlone) {
  begin();
  void *c = add_dir("C", root_, url("A").c_str(), 1);
  void *c_f = open_file("C/f", c);
  RA_ASSERT_OK(send_text(c_f, "copy changed\n"));
  RA_ASSERT_OK(ed_->close_file_node(c_f, nullptr, edit_pool_));
  RA_ASSERT_OK(ed_->remove_entry("C/sub", 1, c, edit_pool_));
  void *c_new = add_dir("C/new", c);
  RA_ASSERT_OK(ed_->close_dir(c_new, edit_pool_));
  RA_ASSERT_OK(ed_->set_dir_prop(c, "color", ostrel_string_create("blue", pool_), edit_pool_));
  RA_ASSERT_OK(ed_->close_dir(c, edit_pool_));
  // Replace A/sub by a copy of itself from the same revision, and delete a
  // property that was never set.
  void *a = open_dir("A", root_);
  RA_ASSERT_OK(ed_->remove_entry("A/sub", 1, a, edit_pool_));
  void *a_sub = add_dir("A/sub", a, url("A/sub").c_str(), 1);
  RA_ASSERT_OK(ed_->close_dir(a_sub, edit_pool_));
  RA_ASSERT_OK(ed_->set_dir_prop(a, "never-set", nullptr, edit_pool_));
  RA_ASSERT_OK(ed_->close_dir(a, edit_pool_));
  RA_ASSERT_OK(ed_->finish_edit(eb_, edit_pool_));

  EXPECT_EQ(cat(2, "C/f"), "copy changed\n");
  EXPECT_EQ(kind(2, "C/sub"), ostrel_node_none);
  EXPECT_EQ(kind(2, "C/new"), ostrel_node_dir);
  EXPECT_EQ(node_prop(2, "C", "color"), "blue");
  EXPECT_EQ(cat(2, "A/f"), "hello\n");
  EXPECT_EQ(kind(2, "A/sub"), ostrel_node_dir);
  EXPECT_EQ(kind(2, "A/new"), ostrel_node_none);
  EXPECT_EQ(node_prop(2, "A", "color"), "red");
}

TEST_F(CommitEditorTest, CopyOfTheRepositoryRoot) {
  begin();
  void *snap = add_dir("snapshot", root_, repo_url_.c_str(), 1);
  RA_ASSERT_OK(ed_->close_dir(snap, edit_pool_));
  RA_ASSERT_OK(ed_->finish_edit(eb_, edit_pool_));
  EXPECT_EQ(cat(2, "snapshot/A/f"), "hello\n");
  EXPECT_EQ(cat(2, "snapshot/top"), "top\n");
  EXPECT_EQ(kind(2, "snapshot/snapshot"), ostrel_node_none);
}

TEST_F(CommitEditorTest, RepositoryAtAPathThatNeedsEscapes) {
  std::string odd_path = dir_ + "/my repo \xC3\xBC%";
  ostrel_repos *odd;
  RA_ASSERT_OK(ostrel_repos_create(&odd, odd_path.c_str(), nullptr, pool_));
  std::string odd_url = "file://" + dir_ + "/my%20repo%20%C3%BC%25";
  begin("tester", 0, odd_url);
  void *d = add_dir("a b", root_);
  RA_ASSERT_OK(ed_->close_dir(d, edit_pool_));
  void *copy = nullptr;
  expect_error(ed_->add_dir("c", root_, (odd_url + "/a%20b").c_str(), 0, edit_pool_, &copy),
               OSTREL_ERR_FS_NOT_FOUND, "does not exist in revision 0");
  RA_ASSERT_OK(ed_->finish_edit(eb_, edit_pool_));

  begin("tester", 1, odd_url);
  copy = add_dir("c", root_, (odd_url + "/a%20b").c_str(), 1);
  RA_ASSERT_OK(ed_->close_dir(copy, edit_pool_));
  RA_ASSERT_OK(ed_->finish_edit(eb_, edit_pool_));
  const char *root_url = nullptr;
  RA_ASSERT_OK(ostrel_ra_get_repos_root(session_, &root_url, pool_));
  EXPECT_EQ(root_url, odd_url);

  ostrel_fs_root *root;
  ostrel_node_kind k;
  RA_ASSERT_OK(ostrel_fs_revision_root(&root, ostrel_repos_fs(odd), 2, pool_));
  RA_ASSERT_OK(ostrel_fs_check_path(&k, root, "c", pool_));
  EXPECT_EQ(k, ostrel_node_dir);
}

// One refused call per case, on an edit whose root is open at revision 1.
// The refusal must change nothing: after a cancel the repository is as it was.
TEST_F(CommitEditorTest, RefusedCalls) {
  ostrel_repos *other;
  std::string twin_path = repo_path_ + "-twin";  // shares the repository's path as a prefix
  RA_ASSERT_OK(ostrel_repos_create(&other, twin_path.c_str(), nullptr, pool_));
  std::string twin_url = "file://" + twin_path;

  using Call = std::function<ostrel_error *(CommitEditorTest &)>;
  struct Case {
    const char *name;
    Call call;
    apr_status_t code;
    std::string reason;
  };
  const std::string a_url = url("A"), f_url = url("A/f");
  Case cases[] = {
      {"open_dir of a file",
       [](CommitEditorTest &t) {
         void *b;
         return t.ed_->open_dir("top", t.root_, 1, t.edit_pool_, &b);
       },
       OSTREL_ERR_FS_NOT_DIRECTORY, "'top'"},
      {"open_file_node of a directory",
       [](CommitEditorTest &t) {
         void *b;
         return t.ed_->open_file_node("A", t.root_, 1, t.edit_pool_, &b);
       },
       OSTREL_ERR_FS_NOT_FILE, "'A'"},
      {"open_dir of nothing",
       [](CommitEditorTest &t) {
         void *b;
         return t.ed_->open_dir("nope", t.root_, 1, t.edit_pool_, &b);
       },
       OSTREL_ERR_FS_NOT_FOUND, "'nope'"},
      {"add_dir where a directory exists",
       [](CommitEditorTest &t) {
         void *b;
         return t.ed_->add_dir("A", t.root_, nullptr, -1, t.edit_pool_, &b);
       },
       OSTREL_ERR_FS_ALREADY_EXISTS, "Can't add 'A': it already exists"},
      {"add_file_node where a file exists",
       [](CommitEditorTest &t) {
         void *b;
         return t.ed_->add_file_node("top", t.root_, nullptr, -1, t.edit_pool_, &b);
       },
       OSTREL_ERR_FS_ALREADY_EXISTS, "Can't add 'top': it already exists"},
      {"remove_entry of nothing",
       [](CommitEditorTest &t) { return t.ed_->remove_entry("nope", 1, t.root_, t.edit_pool_); },
       OSTREL_ERR_FS_NOT_FOUND, "'nope'"},
      {"remove_entry twice",
       [](CommitEditorTest &t) {
         EXPECT_EQ(t.ed_->remove_entry("top", 1, t.root_, t.edit_pool_), nullptr);
         return t.ed_->remove_entry("top", 1, t.root_, t.edit_pool_);
       },
       OSTREL_ERR_FS_NOT_FOUND, "'top'"},
      {"copy source absent at its revision",
       [f_url](CommitEditorTest &t) {
         void *b;
         return t.ed_->add_file_node("g", t.root_, f_url.c_str(), 0, t.edit_pool_, &b);
       },
       OSTREL_ERR_FS_NOT_FOUND, "does not exist in revision 0"},
      {"negative copy revision",
       [a_url](CommitEditorTest &t) {
         void *b;
         return t.ed_->add_dir("C", t.root_, a_url.c_str(), -1, t.edit_pool_, &b);
       },
       OSTREL_ERR_BAD_REVISION, "Invalid copy revision -1 for 'C'"},
      {"copy revision above the youngest",
       [a_url](CommitEditorTest &t) {
         void *b;
         return t.ed_->add_dir("C", t.root_, a_url.c_str(), 9, t.edit_pool_, &b);
       },
       OSTREL_ERR_FS_NO_SUCH_REVISION, "revision 9"},
      {"copy URL of another repository",
       [twin_url](CommitEditorTest &t) {
         void *b;
         return t.ed_->add_dir("C", t.root_, (twin_url + "/A").c_str(), 0, t.edit_pool_, &b);
       },
       OSTREL_ERR_RA_NOT_SAME_REPOSITORY, "-twin/A"},
      {"copy URL of another scheme",
       [](CommitEditorTest &t) {
         void *b;
         return t.ed_->add_dir("C", t.root_, "ftp://host/A", 1, t.edit_pool_, &b);
       },
       OSTREL_ERR_RA_UNKNOWN_SCHEME, "ftp://host/A"},
      {"copy of a file as a directory",
       [f_url](CommitEditorTest &t) {
         void *b;
         return t.ed_->add_dir("C", t.root_, f_url.c_str(), 1, t.edit_pool_, &b);
       },
       OSTREL_ERR_FS_NOT_DIRECTORY, "not a directory"},
      {"copy revision without a copy URL",
       [](CommitEditorTest &t) {
         void *b;
         return t.ed_->add_dir("C", t.root_, nullptr, 1, t.edit_pool_, &b);
       },
       OSTREL_ERR_DELTA_BAD_CALL, "without a copy source"},
      {"path that is no child of its parent",
       [](CommitEditorTest &t) {
         void *a = t.open_dir("A", t.root_);
         void *b;
         return t.ed_->add_dir("B/x", a, nullptr, -1, t.edit_pool_, &b);
       },
       OSTREL_ERR_BAD_PATH, "'B/x' is not a child of the directory 'A'"},
      {"grandchild named through the root",
       [](CommitEditorTest &t) {
         void *b;
         return t.ed_->add_dir("A/x", t.root_, nullptr, -1, t.edit_pool_, &b);
       },
       OSTREL_ERR_BAD_PATH, "'A/x'"},
      {"grandchild named through a directory that is not the root",
       [](CommitEditorTest &t) {
         void *a = t.open_dir("A", t.root_);
         void *b;
         return t.ed_->add_dir("A/x/y", a, nullptr, -1, t.edit_pool_, &b);
       },
       OSTREL_ERR_BAD_PATH, "'A/x/y' is not a child of the directory 'A'"},
      {"name with a control character",
       [](CommitEditorTest &t) {
         void *a = t.open_dir("A", t.root_);
         void *b;
         return t.ed_->add_dir("A/x\n   D ", a, nullptr, -1, t.edit_pool_, &b);
       },
       OSTREL_ERR_BAD_PATH, "'A/x\\x0A   D '"},
      {"name that is not UTF-8",
       [](CommitEditorTest &t) {
         void *f;
         return t.ed_->add_file_node("caf\xC3", t.root_, nullptr, -1, t.edit_pool_, &f);
       },
       OSTREL_ERR_BAD_PATH, "'caf\\xC3'"},
      {"dot-dot path",
       [](CommitEditorTest &t) { return t.ed_->remove_entry("..", 1, t.root_, t.edit_pool_); },
       OSTREL_ERR_BAD_PATH, "'..'"},
      {"parent called while its child is open",
       [](CommitEditorTest &t) {
         t.open_dir("A", t.root_);
         void *b;
         return t.ed_->add_dir("B", t.root_, nullptr, -1, t.edit_pool_, &b);
       },
       OSTREL_ERR_DELTA_BAD_CALL, "still has an open child"},
      {"closed directory used again",
       [](CommitEditorTest &t) {
         void *a = t.open_dir("A", t.root_);
         EXPECT_EQ(t.ed_->close_dir(a, t.edit_pool_), nullptr);
         void *b;
         return t.ed_->add_dir("A/x", a, nullptr, -1, t.edit_pool_, &b);
       },
       OSTREL_ERR_DELTA_BAD_CALL, "'A' was already closed"},
      {"directory property on a file",
       [](CommitEditorTest &t) {
         void *f = t.open_file("top", t.root_);
         return t.ed_->set_dir_prop(f, "p", t.str("v"), t.edit_pool_);
       },
       OSTREL_ERR_DELTA_BAD_CALL, "'top' is not a directory"},
      {"invalid property name",
       [](CommitEditorTest &t) {
         void *a = t.open_dir("A", t.root_);
         return t.ed_->set_dir_prop(a, "bad name", t.str("v"), t.edit_pool_);
       },
       OSTREL_ERR_BAD_PROPERTY_NAME, ""},
      {"open_root_dir twice",
       [](CommitEditorTest &t) {
         void *r;
         return t.ed_->open_root_dir(t.eb_, 1, t.edit_pool_, &r);
       },
       OSTREL_ERR_DELTA_BAD_CALL, "open_root_dir called twice"},
      {"finish with a directory still open",
       [](CommitEditorTest &t) {
         t.open_dir("A", t.root_);
         return t.ed_->finish_edit(t.eb_, t.edit_pool_);
       },
       OSTREL_ERR_DELTA_BAD_CALL, "'A' is still open"},
      {"file closed before its text ended",
       [](CommitEditorTest &t) {
         void *f = t.open_file("top", t.root_);
         ostrel_txdelta_window_handler h;
         void *hb;
         EXPECT_EQ(t.ed_->apply_text_delta(f, nullptr, t.edit_pool_, &h, &hb), nullptr);
         return t.ed_->close_file_node(f, nullptr, t.edit_pool_);
       },
       OSTREL_ERR_DELTA_BAD_CALL, "the text of 'top' has not ended"},
      {"text window out of sequence, then finish",
       [](CommitEditorTest &t) {
         void *f = t.open_file("top", t.root_);
         ostrel_txdelta_window_handler h;
         void *hb;
         EXPECT_EQ(t.ed_->apply_text_delta(f, nullptr, t.edit_pool_, &h, &hb), nullptr);
         ostrel_txdelta_window w = {5, "abc", 3};
         expect_error(h(&w, hb), OSTREL_ERR_DELTA_BAD_WINDOW, "starts at byte 5; expected byte 0");
         // A caller that ignores the refusal cannot commit a truncated text.
         return t.ed_->finish_edit(t.eb_, t.edit_pool_);
       },
       OSTREL_ERR_DELTA_BAD_CALL, "the text of 'top' was not received completely"},
      {"apply_text_delta twice",
       [](CommitEditorTest &t) {
         void *f = t.open_file("top", t.root_);
         EXPECT_EQ(t.send_text(f, "one"), nullptr);
         ostrel_txdelta_window_handler h;
         void *hb;
         return t.ed_->apply_text_delta(f, nullptr, t.edit_pool_, &h, &hb);
       },
       OSTREL_ERR_DELTA_BAD_CALL, "apply_text_delta called twice for 'top'"},
      {"base checksum mismatch",
       [](CommitEditorTest &t) {
         void *f = t.open_file("top", t.root_);
         ostrel_txdelta_window_handler h;
         void *hb;
         return t.ed_->apply_text_delta(f, kZeroSha, t.edit_pool_, &h, &hb);
       },
       OSTREL_ERR_DELTA_CHECKSUM_MISMATCH, "Base checksum mismatch on 'top'"},
      {"text checksum mismatch",
       [](CommitEditorTest &t) {
         void *f = t.open_file("top", t.root_);
         EXPECT_EQ(t.send_text(f, "new"), nullptr);
         return t.ed_->close_file_node(f, kZeroSha, t.edit_pool_);
       },
       OSTREL_ERR_DELTA_CHECKSUM_MISMATCH, "Text checksum mismatch on 'top'"},
      {"call after cancel",
       [](CommitEditorTest &t) {
         EXPECT_EQ(t.ed_->cancel_edit(t.eb_, t.edit_pool_), nullptr);
         void *b;
         return t.ed_->add_dir("B", t.root_, nullptr, -1, t.edit_pool_, &b);
       },
       OSTREL_ERR_DELTA_BAD_CALL, "add_dir called after cancel_edit"},
      {"target revision",
       [](CommitEditorTest &t) { return t.ed_->set_target_rev(t.eb_, 5, t.edit_pool_); },
       OSTREL_ERR_UNSUPPORTED, ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    begin();
    expect_error(c.call(*this), c.code, c.reason);
    RA_ASSERT_OK(ed_->cancel_edit(eb_, edit_pool_));
    apr_pool_destroy(edit_pool_);
    EXPECT_EQ(youngest(), 1);
    EXPECT_EQ(report_.calls, 0);
  }
}

TEST_F(CommitEditorTest, EditStateBeforeOpenRoot) {
  get_editor("tester", repo_url_);
  expect_error(ed_->finish_edit(eb_, edit_pool_), OSTREL_ERR_DELTA_BAD_CALL,
               "finish_edit called before open_root_dir");
  RA_ASSERT_OK(ed_->cancel_edit(eb_, edit_pool_));
  void *root;
  expect_error(ed_->open_root_dir(eb_, 1, edit_pool_, &root), OSTREL_ERR_DELTA_BAD_CALL,
               "open_root_dir called after cancel_edit");
  EXPECT_EQ(youngest(), 1);
}

TEST_F(CommitEditorTest, EditStateAfterFinish) {
  begin();
  void *b = add_dir("B", root_);
  RA_ASSERT_OK(ed_->close_dir(b, edit_pool_));
  RA_ASSERT_OK(ed_->finish_edit(eb_, edit_pool_));
  EXPECT_EQ(youngest(), 2);
  expect_error(ed_->add_dir("C", root_, nullptr, -1, edit_pool_, &b), OSTREL_ERR_DELTA_BAD_CALL,
               "after finish_edit");
  expect_error(ed_->finish_edit(eb_, edit_pool_), OSTREL_ERR_DELTA_BAD_CALL, "after finish_edit");
  RA_ASSERT_OK(ed_->cancel_edit(eb_, edit_pool_));  // too late to undo, and harmless
  EXPECT_EQ(kind(2, "B"), ostrel_node_dir);
  EXPECT_EQ(report_.calls, 1);
}

TEST_F(CommitEditorTest, OpenRootChecksTheBaseAndTheSessionUrl) {
  struct Case {
    std::string url;
    ostrel_revnum base;
    apr_status_t code;
    const char *reason;
  } cases[] = {
      {repo_url_, 2, OSTREL_ERR_FS_NO_SUCH_REVISION, "No such revision 2 (youngest is 1)"},
      {repo_url_, -7, OSTREL_ERR_BAD_REVISION, "-7"},
      {url("A/f"), 1, OSTREL_ERR_FS_NOT_DIRECTORY, "it is a file"},
      {url("A/new"), 1, OSTREL_ERR_FS_NOT_FOUND, "does not exist in revision 1"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.url + "@" + std::to_string(c.base));
    get_editor("tester", c.url);
    void *root;
    expect_error(ed_->open_root_dir(eb_, c.base, edit_pool_, &root), c.code, c.reason);
    apr_pool_destroy(edit_pool_);
  }
  // -1 means the youngest.
  begin("tester", -1);
  RA_ASSERT_OK(ed_->remove_entry("top", 1, root_, edit_pool_));
  RA_ASSERT_OK(ed_->finish_edit(eb_, edit_pool_));
  EXPECT_EQ(kind(2, "top"), ostrel_node_none);
}

TEST_F(CommitEditorTest, LockTokensAreRefused) {
  edit_pool_ = ostrel_pool_create(pool_);
  RA_ASSERT_OK(open_session(&session_, repo_url_, "tester", edit_pool_));
  apr_hash_t *locks = apr_hash_make(pool_);
  apr_hash_set(locks, "top", APR_HASH_KEY_STRING, "token");
  expect_error(ostrel_ra_get_commit_editor3(session_, &ed_, &eb_, nullptr, nullptr, nullptr, locks,
                                            false, edit_pool_),
               OSTREL_ERR_UNSUPPORTED, "lock");
  expect_error(ostrel_ra_get_commit_editor3(session_, &ed_, &eb_, nullptr, nullptr, nullptr,
                                            nullptr, true, edit_pool_),
               OSTREL_ERR_UNSUPPORTED, "lock");
}

TEST_F(CommitEditorTest, CancelOrLostPoolLeavesNoTrace) {
  enum class End { cancel, destroy_pool, destroy_pool_mid_text };
  for (End end : {End::cancel, End::destroy_pool, End::destroy_pool_mid_text}) {
    SCOPED_TRACE(static_cast<int>(end));
    begin();
    void *b = add_dir("abandoned", root_);
    void *f = add_file("abandoned/file", b);
    if (end == End::destroy_pool_mid_text) {
      ostrel_txdelta_window_handler h;
      void *hb;
      RA_ASSERT_OK(ed_->apply_text_delta(f, nullptr, edit_pool_, &h, &hb));
      ostrel_txdelta_window w = {0, "partial", 7};
      RA_ASSERT_OK(h(&w, hb));
    } else {
      RA_ASSERT_OK(send_text(f, "never committed"));
      RA_ASSERT_OK(ed_->close_file_node(f, nullptr, edit_pool_));
      RA_ASSERT_OK(ed_->close_dir(b, edit_pool_));
    }
    if (end == End::cancel) RA_ASSERT_OK(ed_->cancel_edit(eb_, edit_pool_));
    apr_pool_destroy(edit_pool_);
    EXPECT_EQ(youngest(), 1);
    EXPECT_EQ(report_.calls, 0);
  }

  // Nothing was left holding the repository, and nothing abandoned shows up
  // in the next commit.
  begin();
  void *kept = add_dir("kept", root_);
  RA_ASSERT_OK(ed_->close_dir(kept, edit_pool_));
  RA_ASSERT_OK(ed_->finish_edit(eb_, edit_pool_));
  EXPECT_EQ(youngest(), 2);
  EXPECT_EQ(kind(2, "kept"), ostrel_node_dir);
  EXPECT_EQ(kind(2, "abandoned"), ostrel_node_none);
}

// A pattern text of SIZE bytes produced on demand, so that neither side of
// the test holds it whole.
struct Pattern {
  ostrel_filesize size;
  ostrel_filesize offset = 0;
  static char at(ostrel_filesize i) { return static_cast<char>((i * 31 + i / 65521) & 0xff); }
  static ostrel_error *read(void *baton, char *buffer, apr_size_t *len) {
    auto *p = static_cast<Pattern *>(baton);
    apr_size_t n = std::min<apr_size_t>(*len, static_cast<apr_size_t>(p->size - p->offset));
    for (apr_size_t i = 0; i < n; i++) buffer[i] = at(p->offset + i);
    p->offset += n;
    *len = n;
    return OSTREL_NO_ERROR;
  }
};

TEST_F(CommitEditorTest, LargeTextIsStreamedIntoTheRevision) {
  const ostrel_filesize size = 24 * 1024 * 1024 + 13;
  begin();
  void *f = add_file("big", root_);
  ostrel_txdelta_window_handler h;
  void *hb;
  RA_ASSERT_OK(ed_->apply_text_delta(f, nullptr, edit_pool_, &h, &hb));
  Pattern pattern{size};
  ostrel_stream *source = ostrel_stream_create(&pattern, edit_pool_);
  ostrel_stream_set_read(source, Pattern::read);
  unsigned char digest[OSTREL_TXDELTA_DIGEST_SIZE];
  RA_ASSERT_OK(ostrel_txdelta_send_stream(source, h, hb, digest, edit_pool_));
  // The digest the sender computed is what the editor checks at close.
  char hex[2 * OSTREL_TXDELTA_DIGEST_SIZE + 1];
  for (int i = 0; i < OSTREL_TXDELTA_DIGEST_SIZE; i++)
    snprintf(hex + 2 * i, 3, "%02x", digest[i]);
  RA_ASSERT_OK(ed_->close_file_node(f, hex, edit_pool_));
  RA_ASSERT_OK(ed_->finish_edit(eb_, edit_pool_));

  ostrel_fs_root *root;
  ostrel_filesize length;
  RA_ASSERT_OK(ostrel_fs_revision_root(&root, filesystem_, 2, pool_));
  RA_ASSERT_OK(ostrel_fs_file_length(&length, root, "big", pool_));
  EXPECT_EQ(length, size);
  ostrel_stream *in;
  RA_ASSERT_OK(ostrel_fs_file_contents(&in, root, "big", pool_));
  std::vector<char> buf(1 << 20);
  ostrel_filesize at = 0;
  bool same = true;
  for (;;) {
    apr_size_t len = buf.size();
    RA_ASSERT_OK(ostrel_stream_read_full(in, buf.data(), &len));
    for (apr_size_t i = 0; i < len && same; i++) same = buf[i] == Pattern::at(at + i);
    at += len;
    if (len < buf.size()) break;
  }
  RA_ASSERT_OK(ostrel_stream_close(in));
  EXPECT_TRUE(same);
  EXPECT_EQ(at, size);
}

TEST_F(CommitEditorTest, OutOfDateEditMakesNothingOtherOldBasesCommit) {
  // Two edits based on revision 1 change the same file; the second to finish
  // must be refused, not silently overwrite the first.
  begin();
  const ostrel_commit_editor *first_ed = ed_;
  void *first_eb = eb_;
  apr_pool_t *first_pool = edit_pool_;
  void *f1 = open_file("top", root_);
  RA_ASSERT_OK(send_text(f1, "first\n"));
  RA_ASSERT_OK(ed_->close_file_node(f1, nullptr, edit_pool_));

  Report second_report;
  std::swap(report_, second_report);
  begin();
  void *f2 = open_file("top", root_);
  RA_ASSERT_OK(send_text(f2, "second\n"));
  RA_ASSERT_OK(ed_->close_file_node(f2, nullptr, edit_pool_));
  RA_ASSERT_OK(ed_->finish_edit(eb_, edit_pool_));
  EXPECT_EQ(report_.revision, 2);

  expect_error(first_ed->finish_edit(first_eb, first_pool), OSTREL_ERR_FS_OUT_OF_DATE, "top");
  EXPECT_EQ(second_report.calls, 0);
  RA_ASSERT_OK(first_ed->cancel_edit(first_eb, first_pool));
  EXPECT_EQ(youngest(), 2);
  EXPECT_EQ(cat(2, "top"), "second\n");

  // An edit on the same old base that changes something else still commits.
  begin();
  void *a = open_dir("A", root_);
  void *a_f = open_file("A/f", a);
  RA_ASSERT_OK(send_text(a_f, "third\n"));
  RA_ASSERT_OK(ed_->close_file_node(a_f, nullptr, edit_pool_));
  RA_ASSERT_OK(ed_->close_dir(a, edit_pool_));
  RA_ASSERT_OK(ed_->finish_edit(eb_, edit_pool_));
  EXPECT_EQ(youngest(), 3);
  EXPECT_EQ(cat(3, "top"), "second\n");
  EXPECT_EQ(cat(3, "A/f"), "third\n");
}

// Two processes commit through their own sessions at the same time, each
// adding its own entries to the same directory.  Adding different entries
// does not conflict, so every edit commits and none is lost.
TEST_F(CommitEditorTest, ConcurrentCommittersLoseNothing) {
  const int kEdits = 15;
  pid_t children[2];
  for (int who = 0; who < 2; who++) {
    children[who] = fork();
    ASSERT_GE(children[who], 0);
    if (children[who] != 0) continue;
    int committed = 0;
    for (int i = 0; i < kEdits; i++) {
      apr_pool_t *pool = ostrel_pool_create(pool_);
      ostrel_ra_session *session;
      const ostrel_commit_editor *ed;
      void *eb, *root, *dir;
      std::string name = "p" + std::to_string(who) + "-" + std::to_string(i);
      ostrel_error *err = open_session(&session, repo_url_, "racer", pool);
      if (!err)
        err = ostrel_ra_get_commit_editor3(session, &ed, &eb, nullptr, nullptr, nullptr, nullptr,
                                           false, pool);
      if (!err) err = ed->open_root_dir(eb, -1, pool, &root);
      if (!err) err = ed->add_dir(name.c_str(), root, nullptr, -1, pool, &dir);
      if (!err) err = ed->close_dir(dir, pool);
      if (!err) err = ed->finish_edit(eb, pool);
      if (err) {
        std::fprintf(stderr, "%s", chain_text(err).c_str());
        _exit(100);
      }
      committed++;
      apr_pool_destroy(pool);
    }
    _exit(committed);
  }
  int committed = 0;
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_NE(WEXITSTATUS(status), 100) << "an edit failed";
    committed += WEXITSTATUS(status);
  }
  EXPECT_EQ(committed, 2 * kEdits);
  EXPECT_EQ(youngest(), 1 + committed);
  // Every committed edit left its directory in the youngest revision.
  apr_hash_t *entries;
  ostrel_fs_root *root;
  RA_ASSERT_OK(ostrel_fs_revision_root(&root, filesystem_, youngest(), pool_));
  RA_ASSERT_OK(ostrel_fs_dir_entries(&entries, root, "", pool_));
  EXPECT_EQ(static_cast<int>(apr_hash_count(entries)), 2 + committed);  // A and top as well
}

const char *g_failing_point = nullptr;

ostrel_error *fail_at_point(const char *point) {
  if (g_failing_point && std::strcmp(point, g_failing_point) == 0)
    return ostrel_error_createf(OSTREL_ERR_IO, nullptr, "injected failure at %s", point);
  return nullptr;
}

// A storage failure while the text is written or while the revision is
// committed: the edit reports it, makes no revision, and the next edit works.
TEST_F(CommitEditorTest, StorageFailuresMakeNoRevision) {
  struct Case {
    const char *point;
    bool during_text;  // the failure shows while the text is sent
  } cases[] = {
      {"upload-chunk", true},
      {"commit-locked", false},
      {"commit-written", false},
  };
  ostrel_fs__set_fault_hook(fail_at_point);
  for (const Case &c : cases) {
    SCOPED_TRACE(c.point);
    begin();
    void *f = add_file("doomed", root_);
    g_failing_point = c.point;
    ostrel_error *err = send_text(f, std::string(3 * OSTREL_STREAM_CHUNK_SIZE, 'd'));
    if (c.during_text) {
      expect_error(err, OSTREL_ERR_IO, "injected failure");
      expect_error(ed_->close_file_node(f, nullptr, edit_pool_), OSTREL_ERR_DELTA_BAD_CALL,
                   "not received completely");
      expect_error(ed_->finish_edit(eb_, edit_pool_), OSTREL_ERR_DELTA_BAD_CALL,
                   "not received completely");
    } else {
      RA_ASSERT_OK(err);
      RA_ASSERT_OK(ed_->close_file_node(f, nullptr, edit_pool_));
      expect_error(ed_->finish_edit(eb_, edit_pool_), OSTREL_ERR_IO, "injected failure");
    }
    g_failing_point = nullptr;
    RA_ASSERT_OK(ed_->cancel_edit(eb_, edit_pool_));
    apr_pool_destroy(edit_pool_);
    EXPECT_EQ(youngest(), 1);
    EXPECT_EQ(report_.calls, 0);
  }
  ostrel_fs__set_fault_hook(nullptr);

  begin();
  void *f = add_file("fine", root_);
  RA_ASSERT_OK(send_text(f, "fine\n"));
  RA_ASSERT_OK(ed_->close_file_node(f, nullptr, edit_pool_));
  RA_ASSERT_OK(ed_->finish_edit(eb_, edit_pool_));
  EXPECT_EQ(cat(2, "fine"), "fine\n");
  EXPECT_EQ(kind(2, "doomed"), ostrel_node_none);
}

TEST_F(CommitEditorTest, AuthorComesFromTheAuthenticationBaton) {
  const char *login = ostrel_auth_login_name(pool_);
  struct Case {
    const char *username;
    std::optional<std::string> author;
  } cases[] = {
      {"alice", "alice"},
      {"", std::nullopt},  // no author recorded, and none reported
      {nullptr, login ? std::optional<std::string>(login) : std::nullopt},
  };
  ostrel_revnum rev = 1;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.username ? c.username : "(login)");
    report_ = Report();
    begin(c.username, rev);
    RA_ASSERT_OK(ed_->finish_edit(eb_, edit_pool_));
    rev++;
    EXPECT_EQ(report_.revision, rev);
    EXPECT_EQ(report_.author, c.author);
    EXPECT_EQ(rev_prop(rev, "ostrel:author"), c.author);
  }
}

TEST_F(CommitEditorTest, CallbackErrorIsReturnedAfterTheRevisionIsMade) {
  begin();
  report_.fail_with = ostrel_error_create(OSTREL_ERR_IO, nullptr, "stdout is full");
  expect_error(ed_->finish_edit(eb_, edit_pool_), OSTREL_ERR_IO, "stdout is full");
  EXPECT_EQ(report_.calls, 1);
  EXPECT_EQ(youngest(), 2);
}

TEST_F(CommitEditorTest, BusyTimeoutOfTheConfigurationReachesTheRepository) {
  // Another handle holds the repository's commit lock.
  apr_pool_t *holder_pool = ostrel_pool_create(pool_);
  ostrel_repos *holder;
  RA_ASSERT_OK(ostrel_repos_open2(&holder, repo_path_.c_str(), nullptr, holder_pool));
  RA_ASSERT_OK(ostrel_fs__hold_commit_lock(ostrel_repos_fs(holder)));

  apr_hash_t *config;
  std::string conf_dir = dir_ + "/conf";
  RA_ASSERT_OK(ostrel_config_get_config(&config, conf_dir.c_str(), pool_));
  ostrel_cmdline__config_argument arg = {"config", "local", "busy-timeout-ms", "50"};
  apr_array_header_t *args = apr_array_make(pool_, 1, sizeof(ostrel_cmdline__config_argument *));
  APR_ARRAY_PUSH(args, ostrel_cmdline__config_argument *) = &arg;
  RA_ASSERT_OK(ostrel_cmdline__apply_config_options(config, args, "test: ", "--config-option"));

  edit_pool_ = ostrel_pool_create(pool_);
  ostrel_ra_callbacks *callbacks;
  RA_ASSERT_OK(ostrel_ra_create_callbacks(&callbacks, edit_pool_));
  RA_ASSERT_OK(ostrel_ra_open4(&session_, nullptr, repo_url_.c_str(), nullptr, callbacks, nullptr,
                               config, edit_pool_));
  RA_ASSERT_OK(ostrel_ra_get_commit_editor3(session_, &ed_, &eb_, nullptr, record_commit, &report_,
                                            nullptr, false, edit_pool_));
  // The first call that needs the write lock fails, after the configured wait.
  ostrel_error *err = ed_->open_root_dir(eb_, 1, edit_pool_, &root_);
  if (!err) {
    void *f = add_file("blocked", root_);
    err = send_text(f, "text");
    if (!err) err = ed_->close_file_node(f, nullptr, edit_pool_);
    if (!err) err = ed_->finish_edit(eb_, edit_pool_);
  }
  expect_error(err, OSTREL_ERR_FS_BUSY, "50 ms");
  ostrel_error_clear(ed_->cancel_edit(eb_, edit_pool_));

  ostrel_fs__release_commit_lock(ostrel_repos_fs(holder));
  apr_pool_destroy(holder_pool);
  EXPECT_EQ(youngest(), 1);
  EXPECT_EQ(report_.calls, 0);
}

// A process killed in the middle of an edit leaves neither a revision nor
// anything that holds up the next committer.
TEST_F(CommitEditorTest, KilledEditorProcessLeavesNoTrace) {
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    begin();
    void *f = add_file("killed", root_);
    ostrel_txdelta_window_handler h;
    void *hb;
    if (ed_->apply_text_delta(f, nullptr, edit_pool_, &h, &hb)) _exit(3);
    std::string chunk(OSTREL_STREAM_CHUNK_SIZE, 'k');
    for (int i = 0; i < 4; i++) {
      ostrel_txdelta_window w = {static_cast<ostrel_filesize>(i) * OSTREL_STREAM_CHUNK_SIZE,
                                 chunk.data(), chunk.size()};
      if (h(&w, hb)) _exit(4);
    }
    raise(SIGKILL);
    _exit(5);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status)) << "child exited with " << WEXITSTATUS(status);
  EXPECT_EQ(youngest(), 1);

  begin();
  void *kept = add_dir("kept", root_);
  RA_ASSERT_OK(ed_->close_dir(kept, edit_pool_));
  RA_ASSERT_OK(ed_->finish_edit(eb_, edit_pool_));
  EXPECT_EQ(youngest(), 2);
  EXPECT_EQ(kind(2, "killed"), ostrel_node_none);
}

}  // namespace
