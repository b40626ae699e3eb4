// The operation tree and the commit drive against a fake repository and a
// recording commit editor, put in place through kelbrin::repository.

#include <apr_strings.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <clocale>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "kelbrin.h"
#include "test_support.h"
#include "ostrel_pools.h"

namespace kelbrin {
namespace {

// What exists in the fake repository: path -> (revision it appeared in ->
// kind from then on; ostrel_node_none marks a deletion).
using FakeTree = std::map<std::string, std::map<ostrel_revnum, ostrel_node_kind>>;

struct Recorder {
  FakeTree tree;
  std::vector<std::string> queries;  // "path@rev"
  std::vector<std::string> calls;
  std::string fail_on;               // call name that returns an error
  const char *author = "alice";
  std::map<std::string, std::string> texts;  // file path -> text received
};

Recorder *recorder = nullptr;

ostrel_error *maybe_fail(const std::string &call) {
  if (call == recorder->fail_on)
    return ostrel_error_createf(OSTREL_ERR_FS_GENERAL, nullptr, "injected failure in %s",
                                call.c_str());
  return nullptr;
}

ostrel_error *fake_check_path(ostrel_ra_session *, const char *path, ostrel_revnum rev,
                              ostrel_node_kind *kind, apr_pool_t *) {
  recorder->queries.push_back(std::string(path) + "@" + std::to_string(rev));
  *kind = ostrel_node_none;
  auto it = recorder->tree.find(path);
  if (it == recorder->tree.end()) return nullptr;
  for (const auto &[since, k] : it->second)
    if (since <= rev) *kind = k;
  return nullptr;
}

const char *baton_of(void *baton) { return static_cast<const char *>(baton); }

void record(const std::string &call) { recorder->calls.push_back(call); }

std::string show(const char *text) { return text ? text : "(null)"; }

ostrel_error *rec_open_root(void *, ostrel_revnum base, apr_pool_t *pool, void **root) {
  record("open_root_dir " + std::to_string(base));
  *root = apr_pstrdup(pool, "");
  return maybe_fail("open_root_dir");
}
ostrel_error *rec_remove(const char *path, ostrel_revnum rev, void *parent, apr_pool_t *) {
  record("remove_entry " + std::string(path) + " " + std::to_string(rev) + " in '" +
         baton_of(parent) + "'");
  return maybe_fail("remove_entry");
}
ostrel_error *rec_add_dir(const char *path, void *parent, const char *copy_url,
                          ostrel_revnum copy_rev, apr_pool_t *pool, void **baton) {
  record("add_dir " + std::string(path) + " " + show(copy_url) + " " + std::to_string(copy_rev) +
         " in '" + baton_of(parent) + "'");
  *baton = apr_pstrdup(pool, path);
  return maybe_fail("add_dir");
}
ostrel_error *rec_open_dir(const char *path, void *parent, ostrel_revnum base, apr_pool_t *pool,
                           void **baton) {
  record("open_dir " + std::string(path) + " " + std::to_string(base) + " in '" +
         baton_of(parent) + "'");
  *baton = apr_pstrdup(pool, path);
  return maybe_fail("open_dir");
}
std::string prop_text(const char *name, const ostrel_string *value) {
  return std::string(name) + "=" + (value ? std::string(value->data, value->len) : "(delete)");
}
ostrel_error *rec_dir_prop(void *baton, const char *name, const ostrel_string *value,
                           apr_pool_t *) {
  record("set_dir_prop " + std::string(baton_of(baton)) + " " + prop_text(name, value));
  return maybe_fail("set_dir_prop");
}
ostrel_error *rec_close_dir(void *baton, apr_pool_t *) {
  record("close_dir " + std::string(baton_of(baton)));
  return maybe_fail("close_dir");
}
ostrel_error *rec_add_file(const char *path, void *parent, const char *copy_url,
                           ostrel_revnum copy_rev, apr_pool_t *pool, void **baton) {
  record("add_file_node " + std::string(path) + " " + show(copy_url) + " " +
         std::to_string(copy_rev) + " in '" + baton_of(parent) + "'");
  *baton = apr_pstrdup(pool, path);
  return maybe_fail("add_file_node");
}
ostrel_error *rec_open_file(const char *path, void *parent, ostrel_revnum base, apr_pool_t *pool,
                            void **baton) {
  record("open_file_node " + std::string(path) + " " + std::to_string(base) + " in '" +
         baton_of(parent) + "'");
  *baton = apr_pstrdup(pool, path);
  return maybe_fail("open_file_node");
}
ostrel_error *rec_window(ostrel_txdelta_window *window, void *baton) {
  std::string &text = recorder->texts[baton_of(baton)];
  if (window) text.append(window->data, window->len);
  return maybe_fail(window ? "window" : "end of text");
}
ostrel_error *rec_apply_text(void *file_baton, const char *checksum, apr_pool_t *,
                             ostrel_txdelta_window_handler *handler, void **handler_baton) {
  record("apply_text_delta " + std::string(baton_of(file_baton)) + " " + show(checksum));
  recorder->texts[baton_of(file_baton)];
  *handler = rec_window;
  *handler_baton = file_baton;
  return maybe_fail("apply_text_delta");
}
ostrel_error *rec_file_prop(void *baton, const char *name, const ostrel_string *value,
                            apr_pool_t *) {
  record("set_file_prop " + std::string(baton_of(baton)) + " " + prop_text(name, value));
  return maybe_fail("set_file_prop");
}
ostrel_error *rec_close_file(void *baton, const char *checksum, apr_pool_t *) {
  record("close_file_node " + std::string(baton_of(baton)) + " " + show(checksum));
  return maybe_fail("close_file_node");
}
ostrel_error *rec_never(void *, ostrel_revnum, apr_pool_t *) {
  record("set_target_rev");
  return nullptr;
}
ostrel_error *rec_never_absent(const char *, void *, apr_pool_t *) {
  record("mark_absent");
  return nullptr;
}

struct EditBaton {
  ostrel_commit_callback callback;
  void *callback_baton;
};

ostrel_error *rec_finish(void *edit_baton, apr_pool_t *pool) {
  record("finish_edit");
  OSTREL_ERR(maybe_fail("finish_edit"));
  auto *eb = static_cast<EditBaton *>(edit_baton);
  ostrel_commit_info info = {6, "2026-12-09T22:00:00.000000Z", recorder->author, nullptr};
  return eb->callback(&info, eb->callback_baton, pool);
}
ostrel_error *rec_cancel(void *, apr_pool_t *) {
  record("cancel_edit");
  return ostrel_error_create(OSTREL_ERR_FS_GENERAL, nullptr, "a cancel error is ignored");
}

const ostrel_commit_editor kRecordingEditor = {
    rec_never,     rec_open_root,  rec_remove,     rec_add_dir,    rec_open_dir,  rec_dir_prop,
    rec_close_dir, rec_never_absent, rec_add_file, rec_open_file,  rec_apply_text, rec_file_prop,
    rec_close_file, rec_never_absent, rec_finish,   rec_cancel,
};

ostrel_error *rec_get_editor(ostrel_ra_session *, const ostrel_commit_editor **editor,
                             void **edit_baton, apr_hash_t *revprops,
                             ostrel_commit_callback callback, void *callback_baton,
                             apr_hash_t *lock_tokens, bool keep_locks, apr_pool_t *pool) {
  record("get_commit_editor log=" +
         std::string(static_cast<ostrel_string *>(
                         apr_hash_get(revprops, "ostrel:log", APR_HASH_KEY_STRING))
                         ->data));
  EXPECT_EQ(lock_tokens, nullptr);
  EXPECT_FALSE(keep_locks);
  auto *eb = static_cast<EditBaton *>(apr_palloc(pool, sizeof(EditBaton)));
  eb->callback = callback;
  eb->callback_baton = callback_baton;
  *editor = &kRecordingEditor;
  *edit_baton = eb;
  return maybe_fail("get_commit_editor");
}

class DriveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::setlocale(LC_ALL, "C.UTF-8");
    pool_ = ostrel_pool_create(nullptr);
    recorder = &rec_;
    saved_ = repository;
    repository = {fake_check_path, rec_get_editor};
    // Revision 5 of the fake repository: E/a (dir) with E/a/f (file),
    // E/d (dir) with E/d/old (file), E/file (file).  Revision 7 adds E/a/x.
    for (const char *dir : {"a", "d"}) rec_.tree[dir][1] = ostrel_node_dir;
    for (const char *file : {"a/f", "d/old", "file"}) rec_.tree[file][1] = ostrel_node_file;
    rec_.tree["a/x"][7] = ostrel_node_file;
    rec_.tree[""][0] = ostrel_node_dir;
  }
  void TearDown() override {
    repository = saved_;
    recorder = nullptr;
    apr_pool_destroy(pool_);
    std::setlocale(LC_ALL, "C");
  }

  // Parses ARGS as kelbrin's action words (URLs relative to file:///E, the
  // edit root of the tests) and commits them on base revision BASE_REV.
  ostrel_error *commit(std::vector<std::string> args, ostrel_revnum base_rev = 5) {
    tool_options opts;
    opts.revprops = apr_hash_make(pool_);
    opts.root_url = "file:///E";
    // Every URL's parent lies at or below E, and a propset on E itself keeps
    // the edit root there.
    args.insert(args.end(), {"propset", "keep-root", "x", "file:///E/a"});
    apr_array_header_t *list = apr_array_make(pool_, 8, sizeof(const char *));
    for (const std::string &a : args) APR_ARRAY_PUSH(list, const char *) = apr_pstrdup(pool_, a.c_str());
    apr_array_header_t *actions = nullptr;
    const char *edit_root = nullptr;
    bool help = false;
    OSTREL_ERR(parse_actions(list, &opts, &actions, &edit_root, &help, pool_));
    EXPECT_STREQ(edit_root, "file:///E");
    // The helper action above is not part of the scenario.
    --actions->nelts;
    testing::internal::CaptureStdout();
    ostrel_error *err = commit_actions(nullptr, base_rev, edit_root, actions, opts.revprops, pool_);
    stdout_ = testing::internal::GetCapturedStdout();
    return err;
  }

  // The calls, without the editor request.
  std::vector<std::string> calls() {
    std::vector<std::string> out;
    for (const std::string &c : rec_.calls)
      if (c.rfind("get_commit_editor", 0) != 0) out.push_back(c);
    return out;
  }

  using Calls = std::vector<std::string>;
  apr_pool_t *pool_ = nullptr;
  Recorder rec_;
  repository_calls saved_{};
  std::string stdout_;
};

TEST_F(DriveTest, SingleRemove) {
  ASSERT_EQ(describe(commit({"rm", "a"})), "ok");
  EXPECT_EQ(rec_.calls, (Calls{"get_commit_editor log=committed using kelbrin", "open_root_dir 5",
                               "remove_entry a 5 in ''", "finish_edit"}));
  EXPECT_EQ(stdout_, "r6 committed by alice at 2026-12-09T22:00:00.000000Z\n");
}

TEST_F(DriveTest, NoAuthorIsShownAsSuch) {
  rec_.author = nullptr;
  ASSERT_EQ(describe(commit({"rm", "a"})), "ok");
  EXPECT_EQ(stdout_, "r6 committed by (no author) at 2026-12-09T22:00:00.000000Z\n");
}

TEST_F(DriveTest, PropertyOnFileOneLevelDown) {
  ASSERT_EQ(describe(commit({"propset", "color", "red", "d/old"})), "ok");
  EXPECT_EQ(calls(), (Calls{"open_root_dir 5", "open_dir d 5 in ''", "open_file_node d/old 5 in 'd'",
                            "set_file_prop d/old color=red", "close_file_node d/old (null)",
                            "close_dir d", "finish_edit"}));
}

TEST_F(DriveTest, ReplaceByRemoveThenMkdirOrCopy) {
  ASSERT_EQ(describe(commit({"rm", "a", "mkdir", "a"})), "ok");
  EXPECT_EQ(calls(), (Calls{"open_root_dir 5", "remove_entry a 5 in ''",
                            "add_dir a (null) -1 in ''", "close_dir a", "finish_edit"}));
  rec_.calls.clear();
  ASSERT_EQ(describe(commit({"rm", "file", "cp", "3", "d/old", "file"})), "ok");
  EXPECT_EQ(calls(), (Calls{"open_root_dir 5", "remove_entry file 5 in ''",
                            "add_file_node file file:///E/d/old 3 in ''",
                            "close_file_node file (null)", "finish_edit"}));
}

TEST_F(DriveTest, RemoveDiscardsWhatWasMergedBeforeIt) {
  // In list order the rm takes away the new child and the property; the
  // directory added again is empty.
  ASSERT_EQ(describe(commit({"mkdir", "d/new", "propset", "p", "v", "d", "rm", "d", "mkdir", "d"})),
            "ok");
  EXPECT_EQ(calls(), (Calls{"open_root_dir 5", "remove_entry d 5 in ''",
                            "add_dir d (null) -1 in ''", "close_dir d", "finish_edit"}));
}

TEST_F(DriveTest, CopyCarriesSourceUrlAndRevision) {
  struct {
    std::vector<std::string> args;
    ostrel_revnum base;
    Calls expected;
  } cases[] = {
      {{"cp", "5", "a", "b"}, 5,
       {"open_root_dir 5", "add_dir b file:///E/a 5 in ''", "close_dir b", "finish_edit"}},
      {{"cp", "2", "file", "f2"}, 5,
       {"open_root_dir 5", "add_file_node f2 file:///E/file 2 in ''", "close_file_node f2 (null)",
        "finish_edit"}},
      // "head" copies from the base revision given with --revision.
      {{"cp", "HEAD", "a", "b"}, 4,
       {"open_root_dir 4", "add_dir b file:///E/a 4 in ''", "close_dir b", "finish_edit"}},
      // mv: delete, then copy from the base revision.
      {{"mv", "a", "b"}, 5,
       {"open_root_dir 5", "remove_entry a 5 in ''", "add_dir b file:///E/a 5 in ''",
        "close_dir b", "finish_edit"}},
  };
  for (const auto &c : cases) {
    rec_.calls.clear();
    ASSERT_EQ(describe(commit(c.args, c.base)), "ok") << c.args[0];
    Calls got = calls();
    // mv's two children come in hash order.
    if (c.args[0] == "mv" && got[1].rfind("add_dir", 0) == 0) std::rotate(got.begin() + 1, got.begin() + 3, got.begin() + 4);
    EXPECT_EQ(got, c.expected) << c.args[0] << " " << c.args[1];
  }
}

TEST_F(DriveTest, RootPropertyChangesAreSent) {
  // Actions whose URL is the edit root itself (given directly here: kelbrin
  // makes the edit root the root of a repository whose own properties are
  // changed).  The root's properties go out after everything below it.
  action set = {action_kind::propset, -1, "file:///E", nullptr, "p",
                ostrel_string_create("v", pool_)};
  action del = {action_kind::propdel, -1, "file:///E", nullptr, "old", nullptr};
  action below = {action_kind::mkdir, -1, "file:///E/n", nullptr, nullptr, nullptr};
  apr_array_header_t *actions = apr_array_make(pool_, 3, sizeof(action *));
  for (action *act : {&set, &del, &below}) APR_ARRAY_PUSH(actions, action *) = act;
  apr_hash_t *revprops = apr_hash_make(pool_);
  apr_hash_set(revprops, "ostrel:log", APR_HASH_KEY_STRING, ostrel_string_create("m", pool_));
  testing::internal::CaptureStdout();
  ostrel_error *err = commit_actions(nullptr, 5, "file:///E", actions, revprops, pool_);
  testing::internal::GetCapturedStdout();
  ASSERT_EQ(describe(err), "ok");
  EXPECT_EQ(rec_.queries, (std::vector<std::string>{"@5", "@5"})) << "the root itself is checked";
  EXPECT_EQ(calls(), (Calls{"open_root_dir 5", "add_dir n (null) -1 in ''", "close_dir n",
                            "set_dir_prop  old=(delete)", "set_dir_prop  p=v", "finish_edit"}));

  // Anything but a property change of the root is refused before the edit.
  for (action_kind kind : {action_kind::rm, action_kind::mkdir, action_kind::put}) {
    rec_.calls.clear();
    action act = {kind, -1, "file:///E", "/dev/null", nullptr, nullptr};
    APR_ARRAY_IDX(actions, 0, action *) = &act;
    actions->nelts = 1;
    EXPECT_EQ(describe(commit_actions(nullptr, 5, "file:///E", actions, revprops, pool_)),
              "125002 | 'file:///E' is the root of the repository: it can only have its "
              "properties changed");
    EXPECT_TRUE(rec_.calls.empty());
  }
}

// A chain of directories far deeper than the stack allows frames for: the
// merge and the drive walk it without recursion (here on a 128 KiB stack).
TEST_F(DriveTest, DeepChainOnASmallStack) {
  constexpr int kDepth = 3000;
  std::string deep = "n";
  for (int i = 1; i < kDepth; ++i) deep += "/n";
  struct Run {
    decltype(this) test;
    std::string path;
    std::string result;
  } run = {this, deep, ""};
  pthread_attr_t attr;
  ASSERT_EQ(pthread_attr_init(&attr), 0);
  ASSERT_EQ(pthread_attr_setstacksize(&attr, 128 * 1024), 0);
  pthread_t thread;
  auto body = [](void *arg) -> void * {
    auto *r = static_cast<Run *>(arg);
    r->result = describe(r->test->commit({"mkdir", r->path}));
    return nullptr;
  };
  ASSERT_EQ(pthread_create(&thread, &attr, body, &run), 0);
  ASSERT_EQ(pthread_join(thread, nullptr), 0);
  pthread_attr_destroy(&attr);
  ASSERT_EQ(run.result, "ok");
  std::vector<std::string> got = calls();
  ASSERT_EQ(got.size(), 2u * kDepth + 2);
  EXPECT_EQ(got[kDepth - 1], "open_dir " + deep.substr(0, deep.size() - 2) + " 5 in '" +
                                 deep.substr(0, deep.size() - 4) + "'");
  EXPECT_EQ(got[kDepth], "add_dir " + deep + " (null) -1 in '" + deep.substr(0, deep.size() - 2) + "'");
  EXPECT_EQ(got[kDepth + 1], "close_dir " + deep);
  EXPECT_EQ(got.back(), "finish_edit");
}

TEST_F(DriveTest, MixedChangesUnderOneDirectory) {
  ASSERT_EQ(describe(commit({"rm", "d/old", "mkdir", "d/new", "propset", "NAME", "VAL", "d"})),
            "ok");
  Calls removal = {"remove_entry d/old 5 in 'd'"};
  Calls addition = {"add_dir d/new (null) -1 in 'd'", "close_dir d/new"};
  Calls first = {"open_root_dir 5", "open_dir d 5 in ''"};
  Calls a = first, b = first;
  a.insert(a.end(), removal.begin(), removal.end());
  a.insert(a.end(), addition.begin(), addition.end());
  b.insert(b.end(), addition.begin(), addition.end());
  b.insert(b.end(), removal.begin(), removal.end());
  for (Calls *seq : {&a, &b}) seq->insert(seq->end(), {"set_dir_prop d NAME=VAL", "close_dir d", "finish_edit"});
  Calls got = calls();
  EXPECT_TRUE(got == a || got == b) << testing::PrintToString(got);
}

TEST_F(DriveTest, DeletionsBeforeSets) {
  ASSERT_EQ(describe(commit({"propset", "p", "v", "file", "propdel", "p", "file", "propdel", "q",
                             "file"})),
            "ok");
  EXPECT_EQ(calls(), (Calls{"open_root_dir 5", "open_file_node file 5 in ''",
                            "set_file_prop file p=(delete)", "set_file_prop file q=(delete)",
                            "set_file_prop file p=v", "close_file_node file (null)",
                            "finish_edit"}));
}

TEST_F(DriveTest, PropertyChangeOfADeletedNodeIsNotSent) {
  ASSERT_EQ(describe(commit({"propset", "p", "v", "a", "rm", "a", "rm", "a"})), "ok");
  EXPECT_EQ(calls(), (Calls{"open_root_dir 5", "remove_entry a 5 in ''", "finish_edit"}))
      << "rm twice deletes once; the property goes with the node";
}

TEST_F(DriveTest, PutsSendTheirText) {
  char name[] = "/tmp/kelbrin-put-XXXXXX";
  int fd = mkstemp(name);
  ASSERT_EQ(write(fd, "new text\n", 9), 9);
  close(fd);
  ASSERT_EQ(describe(commit({"put", name, "file", "put", name, "d/new.txt"})), "ok");
  std::remove(name);
  Calls got = calls();
  EXPECT_NE(std::find(got.begin(), got.end(), "open_file_node file 5 in ''"), got.end());
  EXPECT_NE(std::find(got.begin(), got.end(), "add_file_node d/new.txt (null) -1 in 'd'"), got.end());
  EXPECT_EQ(rec_.texts["file"], "new text\n");
  EXPECT_EQ(rec_.texts["d/new.txt"], "new text\n");
  EXPECT_EQ(got.back(), "finish_edit");
}

TEST_F(DriveTest, TwoPutsFromStdin) {
  char name[] = "/tmp/kelbrin-stdin-XXXXXX";
  int fd = mkstemp(name);
  ASSERT_EQ(write(fd, "from stdin", 10), 10);
  lseek(fd, 0, SEEK_SET);
  int saved_stdin = dup(0);
  dup2(fd, 0);
  close(fd);
  ostrel_error *err = commit({"put", "-", "n1", "put", "-", "n2"});
  dup2(saved_stdin, 0);
  close(saved_stdin);
  std::remove(name);
  ASSERT_EQ(describe(err), "ok");
  std::vector<std::string> texts = {rec_.texts["n1"], rec_.texts["n2"]};
  std::sort(texts.begin(), texts.end());
  EXPECT_EQ(texts, (std::vector<std::string>{"", "from stdin"}))
      << "the file driven first gets all of standard input, the other nothing";
}

TEST_F(DriveTest, FailuresDuringTheDriveCancelTheEdit) {
  struct {
    const char *fail_on;
    std::vector<std::string> args;
    bool cancelled;
  } cases[] = {
      {"none", {"put", "/nonexistent/src", "file"}, true},
      {"add_dir", {"mkdir", "b"}, true},
      {"close_file_node", {"propset", "p", "v", "file"}, true},
      {"window", {"put", "/dev/null", "file"}, false},  // empty text: no window is sent
      {"end of text", {"put", "/dev/null", "file"}, true},
      {"finish_edit", {"rm", "a"}, true},
      {"open_root_dir", {"rm", "a"}, false},
  };
  for (const auto &c : cases) {
    rec_.calls.clear();
    rec_.fail_on = c.fail_on;
    ostrel_error *err = commit(c.args);
    if (std::string(c.fail_on) == "window") {
      EXPECT_EQ(describe(err), "ok");
      continue;
    }
    EXPECT_NE(describe(err), "ok") << c.fail_on;
    bool cancelled = !rec_.calls.empty() && rec_.calls.back() == "cancel_edit";
    EXPECT_EQ(cancelled, c.cancelled) << c.fail_on << ": " << testing::PrintToString(rec_.calls);
    EXPECT_EQ(stdout_, "") << "no commit line after a failure";
  }
}

TEST_F(DriveTest, MergeErrors) {
  struct {
    std::vector<std::string> args;
    std::string error;
  } cases[] = {
      {{"rm", "a", "propset", "p", "v", "a"},
       "125002 | cannot set properties on a location being deleted ('a')"},
      {{"propset", "p", "v", "nothing"}, "125002 | propset: 'nothing' not found"},
      {{"propdel", "p", "nothing"}, "125002 | propset: 'nothing' not found"},
      {{"mkdir", "n", "mkdir", "n"}, "125002 | unsupported multiple operations on 'n'"},
      {{"mkdir", "n", "rm", "n"}, "125002 | unsupported multiple operations on 'n'"},
      {{"rm", "nothing"}, "125002 | 'nothing' not found"},
      {{"cp", "5", "a", "b", "rm", "b/x"}, "125002 | 'b/x' (from 'a/x:5') not found"},
      {{"cp", "5", "a", "d"}, "125002 | 'd' already exists"},
      {{"cp", "5", "a", "b", "cp", "5", "d", "b/f"}, "125002 | 'b/f' (from 'a/f:5') already exists"},
      {{"cp", "5", "a", "b", "mkdir", "b"}, "125002 | unsupported multiple operations on 'b'"},
      {{"cp", "5", "nothing", "b"}, "125002 | 'nothing' not found"},
      {{"cp", "3", "a/x", "b"}, "125002 | 'a/x' not found"},
      {{"cp", "7", "a", "b"}, "205000 | Copy source revision cannot be younger than base revision"},
      {{"put", "/dev/null", "a"}, "125002 | 'a' is not a file"},
      {{"cp", "5", "a", "b", "mv", "b/x", "b/y"}, "125002 | 'b/x' (from 'a/x:5') not found"},
      {{"cp", "5", "a", "b", "mv", "b/f", "b/g"}, "125002 | 'b/f' not found"},
      // Mended: actions that the drive would drop while reporting success.
      {{"rm", "a", "mkdir", "a/b"}, "125002 | cannot change 'a/b' below 'a', which is being deleted"},
      {{"rm", "a", "cp", "5", "d", "a/b"},
       "125002 | cannot change 'a/b' below 'a', which is being deleted"},
      {{"rm", "a", "propset", "p", "v", "a/f"},
       "125002 | cannot change 'a/f' below 'a', which is being deleted"},
      {{"put", "/dev/null", "file", "mkdir", "file/y"}, "125002 | 'file' is not a directory"},
      {{"propset", "p", "v", "file", "put", "/dev/null", "file/y"}, "125002 | 'file' is not a directory"},
      {{"cp", "5", "file", "f2", "mkdir", "f2/y"}, "125002 | 'f2' is not a directory"},
      // The same when the node turns out to be a file after actions below it.
      {{"mkdir", "file/y", "put", "/dev/null", "file"}, "125002 | 'file' is not a directory"},
      {{"mkdir", "file/y", "propset", "p", "v", "file"}, "125002 | 'file' is not a directory"},
      {{"mkdir", "n/y", "put", "/dev/null", "n"}, "125002 | 'n' is not a directory"},
      {{"mkdir", "n/y", "cp", "5", "file", "n"}, "125002 | 'n' is not a directory"},
  };
  for (const auto &c : cases) {
    rec_.calls.clear();
    EXPECT_EQ(describe(commit(c.args)), c.error) << testing::PrintToString(c.args);
    EXPECT_TRUE(rec_.calls.empty()) << "no editor is requested when an action is refused";
  }
}

TEST_F(DriveTest, QueriesMadeByMerges) {
  struct {
    std::vector<std::string> args;
    std::vector<std::string> queries;
  } cases[] = {
      {{"mkdir", "n"}, {}},
      {{"rm", "a"}, {"a@5"}},
      {{"cp", "3", "a", "b"}, {"b@5", "a@3"}},
      {{"cp", "5", "a", "b", "propset", "p", "v", "b"}, {"b@5", "a@5"}},  // no query for propset
      {{"cp", "5", "a", "b", "rm", "b/f"}, {"b@5", "a@5", "a/f@5"}},
      {{"rm", "a", "cp", "5", "d", "a"}, {"a@5", "d@5"}},  // replace: the source only
      {{"put", "/dev/null", "file"}, {"file@5"}},
      {{"rm", "file", "put", "/dev/null", "file"}, {"file@5"}},
  };
  for (const auto &c : cases) {
    rec_.queries.clear();
    ASSERT_EQ(describe(commit(c.args)), "ok") << testing::PrintToString(c.args);
    EXPECT_EQ(rec_.queries, c.queries) << testing::PrintToString(c.args);
  }
}

}  // namespace
}  // namespace kelbrin
