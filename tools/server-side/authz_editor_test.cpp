// Tests of the rule-checking commit editor: one table of drives by
// different users; each refusal leaves the wrapped editor untouched and
// names nothing the user may not read.

#include "authz_editor.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "ostrel_test_support.h"

namespace ostrel_server {
namespace {

// The wrapped editor: records each call; open_* of a path named "missing"
// fails as a storage error that would tell the path does not exist.
struct Recorder {
  std::vector<std::string> calls;
};

struct FakeNode {
  Recorder *rec;
};

ostrel_error *fake_node(Recorder *rec, const std::string &call, const char *path,
                        apr_pool_t *pool, void **out) {
  if (std::string(path).find("missing") != std::string::npos)
    return ostrel_error_createf(OSTREL_ERR_FS_NOT_FOUND, nullptr, "Path '%s' not found", path);
  rec->calls.push_back(call + " " + path);
  *out = new (apr_palloc(pool, sizeof(FakeNode))) FakeNode{rec};
  return nullptr;
}

ostrel_error *discard_window(ostrel_txdelta_window *, void *) { return nullptr; }

const ostrel_commit_editor kRecordingEditor = {
    [](void *, ostrel_revnum, apr_pool_t *) -> ostrel_error * { return nullptr; },
    [](void *eb, ostrel_revnum, apr_pool_t *pool, void **root) {
      return fake_node(static_cast<Recorder *>(eb), "open_root", "", pool, root);
    },
    [](const char *path, ostrel_revnum, void *pb, apr_pool_t *) -> ostrel_error * {
      static_cast<FakeNode *>(pb)->rec->calls.push_back(std::string("remove ") + path);
      return nullptr;
    },
    [](const char *path, void *pb, const char *, ostrel_revnum, apr_pool_t *pool, void **c) {
      return fake_node(static_cast<FakeNode *>(pb)->rec, "add_dir", path, pool, c);
    },
    [](const char *path, void *pb, ostrel_revnum, apr_pool_t *pool, void **c) {
      return fake_node(static_cast<FakeNode *>(pb)->rec, "open_dir", path, pool, c);
    },
    [](void *b, const char *name, const ostrel_string *, apr_pool_t *) -> ostrel_error * {
      static_cast<FakeNode *>(b)->rec->calls.push_back(std::string("dir_prop ") + name);
      return nullptr;
    },
    [](void *, apr_pool_t *) -> ostrel_error * { return nullptr; },
    [](const char *, void *, apr_pool_t *) -> ostrel_error * { return nullptr; },
    [](const char *path, void *pb, const char *, ostrel_revnum, apr_pool_t *pool, void **c) {
      return fake_node(static_cast<FakeNode *>(pb)->rec, "add_file", path, pool, c);
    },
    [](const char *path, void *pb, ostrel_revnum, apr_pool_t *pool, void **c) {
      return fake_node(static_cast<FakeNode *>(pb)->rec, "open_file", path, pool, c);
    },
    [](void *b, const char *, apr_pool_t *, ostrel_txdelta_window_handler *h,
       void **hb) -> ostrel_error * {
      static_cast<FakeNode *>(b)->rec->calls.push_back("text");
      *h = discard_window;
      *hb = nullptr;
      return nullptr;
    },
    [](void *b, const char *name, const ostrel_string *, apr_pool_t *) -> ostrel_error * {
      static_cast<FakeNode *>(b)->rec->calls.push_back(std::string("file_prop ") + name);
      return nullptr;
    },
    [](void *, const char *, apr_pool_t *) -> ostrel_error * { return nullptr; },
    [](const char *, void *, apr_pool_t *) -> ostrel_error * { return nullptr; },
    [](void *eb, apr_pool_t *) -> ostrel_error * {
      static_cast<Recorder *>(eb)->calls.push_back("finish");
      return nullptr;
    },
    [](void *, apr_pool_t *) -> ostrel_error * { return nullptr; },
};

const char kRules[] =
    "group ops = carol\n"
    "/proj              *      r\n"
    "/proj              @ops   rw\n"
    "/proj/trunk        alice  rw\n"
    "/proj/trunk/keep   alice  r\n"
    "/proj/secret       *      -\n"
    "/proj/secret       carol  -\n"
    "/proj/hidden       *      -\n";

// A drive: gets the wrapped editor and the root baton, returns the first
// error.
using Drive = std::function<ostrel_error *(const ostrel_commit_editor *, void *, void *,
                                           apr_pool_t *)>;

class AuthzEditorTest : public ostrel_test::PoolTest {
 protected:
  void SetUp() override {
    PoolTest::SetUp();
    ASSERT_EQ(PathRules::parse(kRules, "rules", &rules_), nullptr);
  }

  // Runs DRIVE as USER through BASE; returns the error text ("" for none).
  std::string run(const char *user, const char *base, const Drive &drive) {
    const ostrel_commit_editor *editor;
    void *eb;
    wrap_editor_with_rules(
        &editor, &eb, &kRecordingEditor, &recorder_, &rules_, "proj", base, user,
        [](const char *url, std::string *path) {
          std::string u = url;
          if (u.rfind("^", 0) != 0) return false;  // "^/path": a path of this repository
          *path = u.substr(1);
          return true;
        },
        pool_);
    void *root;
    ostrel_error *err = editor->open_root_dir(eb, 1, pool_, &root);
    if (!err) err = drive(editor, eb, root, pool_);
    if (!err) err = editor->finish_edit(eb, pool_);
    std::string text;
    if (err) {
      text = std::to_string(err->apr_err) + ": " + ostrel_test::chain_text(err);
      ostrel_error_clear(err);
    }
    return text;
  }

  PathRules rules_;
  Recorder recorder_;
};

ostrel_error *add_file_with_text(const ostrel_commit_editor *ed, void *parent, const char *path,
                                 apr_pool_t *pool) {
  void *file;
  OSTREL_ERR(ed->add_file_node(path, parent, nullptr, -1, pool, &file));
  ostrel_txdelta_window_handler h;
  void *hb;
  OSTREL_ERR(ed->apply_text_delta(file, nullptr, pool, &h, &hb));
  OSTREL_ERR(h(nullptr, hb));
  return ed->close_file_node(file, nullptr, pool);
}

TEST_F(AuthzEditorTest, EachChangeNeedsTheRightAccess) {
  const std::string denied = std::to_string(OSTREL_ERR_AUTHZ_DENIED) + ": ";
  struct Case {
    const char *what;
    const char *user;
    const char *base;
    Drive drive;
    std::string error;  // "" for success
  } cases[] = {
      {"write below the user's subtree", "alice", "/trunk",
       [](auto ed, void *, void *root, apr_pool_t *pool) {
         return add_file_with_text(ed, root, "a.txt", pool);
       },
       ""},
      {"the same file through the repository's root", "alice", "",
       [](auto ed, void *, void *root, apr_pool_t *pool) {
         void *dir;
         OSTREL_ERR(ed->open_dir("trunk", root, 1, pool, &dir));
         return add_file_with_text(ed, dir, "trunk/b.txt", pool);
       },
       ""},
      {"write outside the subtree", "alice", "",
       [](auto ed, void *, void *root, apr_pool_t *pool) {
         return add_file_with_text(ed, root, "c.txt", pool);
       },
       denied + "Access denied to '/c.txt'\n"},
      {"read-only user", "bob", "/trunk",
       [](auto ed, void *, void *root, apr_pool_t *pool) {
         return add_file_with_text(ed, root, "a.txt", pool);
       },
       denied + "Access denied to '/trunk/a.txt'\n"},
      {"property on a read-only directory", "bob", "",
       [](auto ed, void *, void *root, apr_pool_t *pool) {
         return ed->set_dir_prop(root, "x", nullptr, pool);
       },
       denied + "Access denied to '/'\n"},
      {"deleting a tree with a read-only part", "alice", "",
       [](auto ed, void *, void *root, apr_pool_t *pool) {
         return ed->remove_entry("trunk", 1, root, pool);
       },
       denied + "Access denied to '/trunk'\n"},
      {"text of a read-only file in a writable tree", "alice", "/trunk",
       [](auto ed, void *, void *root, apr_pool_t *pool) -> ostrel_error * {
         void *dir, *file;
         OSTREL_ERR(ed->open_dir("keep", root, 1, pool, &dir));
         OSTREL_ERR(ed->open_file_node("keep/f", dir, 1, pool, &file));
         ostrel_txdelta_window_handler h;
         void *hb;
         return ed->apply_text_delta(file, nullptr, pool, &h, &hb);
       },
       denied + "Access denied to '/trunk/keep/f'\n"},
      {"copy from an unreadable source", "alice", "/trunk",
       [](auto ed, void *, void *root, apr_pool_t *pool) {
         void *dir;
         return ed->add_dir("copy", root, "^/secret", 1, pool, &dir);
       },
       denied + "Access denied to the copy source '^/secret'\n"},
      {"copy from a source that is not in the repository", "alice", "/trunk",
       [](auto ed, void *, void *root, apr_pool_t *pool) {
         void *dir;
         return ed->add_dir("copy", root, "file:///elsewhere", 1, pool, &dir);
       },
       denied + "Access denied to the copy source 'file:///elsewhere'\n"},
      {"copy of a readable tree with an unreadable part", "carol", "",
       [](auto ed, void *, void *root, apr_pool_t *pool) {
         void *dir;
         return ed->add_file_node("copy", root, "^/", 1, pool, &dir);
       },
       denied + "Access denied to the copy source '^/'\n"},
      {"copy from a readable source", "alice", "/trunk",
       [](auto ed, void *, void *root, apr_pool_t *pool) {
         void *dir;
         return ed->add_dir("copy", root, "^/branches", 1, pool, &dir);
       },
       ""},
      {"group member writes anywhere readable", "carol", "",
       [](auto ed, void *, void *root, apr_pool_t *pool) {
         return ed->set_dir_prop(root, "x", nullptr, pool);
       },
       ""},
      {"anonymous writes nothing", nullptr, "/trunk",
       [](auto ed, void *, void *root, apr_pool_t *pool) {
         return add_file_with_text(ed, root, "a.txt", pool);
       },
       denied + "Access denied to '/trunk/a.txt'\n"},
      {"a missing path the user may not read reads as a refusal", "bob", "",
       [](auto ed, void *, void *root, apr_pool_t *pool) {
         void *dir;
         return ed->open_dir("hidden/missing", root, 1, pool, &dir);
       },
       denied + "Access denied to '/hidden/missing'\n"},
      {"a missing path the user may read is reported as missing", "bob", "",
       [](auto ed, void *, void *root, apr_pool_t *pool) {
         void *dir;
         return ed->open_dir("trunk/missing", root, 1, pool, &dir);
       },
       std::to_string(OSTREL_ERR_FS_NOT_FOUND) + ": Path 'trunk/missing' not found\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    recorder_.calls.clear();
    EXPECT_EQ(run(c.user, c.base, c.drive), c.error);
    bool finished = !recorder_.calls.empty() && recorder_.calls.back() == "finish";
    EXPECT_EQ(finished, c.error.empty());
    if (!c.error.empty()) {
      // The refused call never reached the editor that commits.
      for (const std::string &call : recorder_.calls)
        EXPECT_TRUE(call.rfind("open_", 0) == 0) << call;
    }
  }
}

}  // namespace
}  // namespace ostrel_server
