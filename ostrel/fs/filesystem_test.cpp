// Tests of the repository filesystem through its public API.

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <apr_hash.h>
#include <apr_strings.h>

#include "damage_for_tests.h"
#include "filesystem_test_helpers.h"
#include "ostrel_fs.h"
#include "ostrel_pools.h"
#include "ostrel_repos.h"
#include "handles.h"
#include "ostrel_test_support.h"
#include "os.h"
#include "filesystem_private.h"
#include "meta.h"

namespace {

using fs_test::code_of;
using fs_test::commit_file;
using fs_test::make_trunk;
using fs_test::propset;
using fs_test::put;
using fs_test::take_error;

// Every test runs against each local format that new repositories may
// have (the parameter: 2 or 3).
class RepoTest : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    pool_ = ostrel_pool_create(nullptr);
    path_ = dir_ + "/repo";
    OK(ostrel_repos_create(&repos_, path_.c_str(), format_config(GetParam()), pool_));
    filesystem_ = ostrel_repos_fs(repos_);
  }
  // The configuration that creates a repository of FORMAT.
  apr_hash_t *format_config(int format) {
    apr_hash_t *config = apr_hash_make(pool_);
    apr_hash_set(config, OSTREL_FS_CONFIG_FORMAT, APR_HASH_KEY_STRING,
                 apr_psprintf(pool_, "%d", format));
    return config;
  }
  void TearDown() override { apr_pool_destroy(pool_); }

  // Runs CHANGE on a transaction based on BASE (youngest when negative) and
  // commits it; returns the commit's error.
  ostrel_error *try_commit(const std::function<ostrel_error *(ostrel_fs_root *)> &change,
                           ostrel_revnum *new_rev = nullptr, ostrel_revnum base = -1,
                           const char **conflict = nullptr) {
    apr_pool_t *p = ostrel_pool_create(pool_);
    ostrel_revnum y;
    OSTREL_ERR(ostrel_fs_youngest_rev(&y, filesystem_, p));
    ostrel_fs_txn *txn;
    OSTREL_ERR(ostrel_fs_begin_txn(&txn, filesystem_, base < 0 ? y : base, p));
    ostrel_fs_root *root;
    OSTREL_ERR(ostrel_fs_txn_root(&root, txn, p));
    cur_txn_ = txn;
    ostrel_error *err = change(root);
    ostrel_revnum rev = -1;
    if (!err) err = ostrel_fs_commit_txn(conflict, &rev, txn, pool_);
    if (new_rev) *new_rev = rev;
    apr_pool_destroy(p);  // aborts the transaction when it did not commit
    return err;
  }

  ostrel_fs_root *root_at(ostrel_revnum rev) {
    ostrel_fs_root *root = nullptr;
    ostrel_error *err = ostrel_fs_revision_root(&root, filesystem_, rev, pool_);
    EXPECT_EQ(take_error(err), "");
    return root;
  }

  std::string cat(ostrel_fs_root *root, const char *path) {
    return fs_test::cat(root, path, pool_);
  }

  ostrel_node_kind kind(ostrel_fs_root *root, const char *path) {
    ostrel_node_kind k = ostrel_node_none;
    EXPECT_EQ(take_error(ostrel_fs_check_path(&k, root, path, pool_)), "");
    return k;
  }

  std::map<std::string, ostrel_path_change> changes(ostrel_revnum rev) {
    apr_hash_t *h = nullptr;
    EXPECT_EQ(take_error(ostrel_fs_paths_changed2(&h, root_at(rev), pool_)), "");
    std::map<std::string, ostrel_path_change> out;
    for (apr_hash_index_t *hi = apr_hash_first(pool_, h); hi; hi = apr_hash_next(hi)) {
      const void *key;
      void *val;
      apr_hash_this(hi, &key, nullptr, &val);
      out[static_cast<const char *>(key)] = *static_cast<ostrel_path_change *>(val);
    }
    return out;
  }

  std::string entries(ostrel_fs_root *root, const char *path) {
    apr_hash_t *h = nullptr;
    ostrel_error *err = ostrel_fs_dir_entries(&h, root, path, pool_);
    if (err) return "ERROR";
    std::map<std::string, int> sorted;
    for (apr_hash_index_t *hi = apr_hash_first(pool_, h); hi; hi = apr_hash_next(hi)) {
      void *val;
      apr_hash_this(hi, nullptr, nullptr, &val);
      auto *d = static_cast<ostrel_fs_dirent *>(val);
      sorted[d->name] = d->kind;
    }
    std::string out;
    for (auto &[name, k] : sorted) out += name + (k == ostrel_node_dir ? "/ " : " ");
    return out;
  }

  ostrel_revnum origin(ostrel_fs_root *root, const char *path) {
    ostrel_revnum rev = -2;
    EXPECT_EQ(take_error(ostrel_fs_node_origin_rev(&rev, root, path, pool_)), "");
    return rev;
  }

  // What the stores of the repository hold now, counted behind the handle.
  ostrel::fs::Counts counts() {
    ostrel::fs::Counts out;
    std::unique_ptr<ostrel::fs::Damage> stores;
    EXPECT_EQ(take_error(ostrel::fs::open_damage(path_, &stores)), "");
    if (stores) {
      EXPECT_EQ(take_error(stores->tally(&out)), "");
    }
    return out;
  }

  apr_pool_t *pool_;
  ostrel_fs_txn *cur_txn_ = nullptr;  // the transaction try_commit is changing
  ostrel_test::TempDir temp_{"ostrel-fs-test"};
  const std::string dir_ = temp_.path();
  std::string path_;
  ostrel_repos *repos_;
  ostrel_fs *filesystem_;
};


TEST_P(RepoTest, NewRepositoryHasAnEmptyRevisionZero) {
  ostrel_revnum y = -1;
  OK(ostrel_fs_youngest_rev(&y, filesystem_, pool_));
  EXPECT_EQ(y, 0);
  EXPECT_EQ(kind(root_at(0), "/"), ostrel_node_dir);
  EXPECT_EQ(entries(root_at(0), ""), "");
  EXPECT_TRUE(changes(0).empty());
  ostrel_string *date = nullptr;
  OK(ostrel_fs_revision_prop(&date, filesystem_, 0, OSTREL_PROP_REVISION_DATE, pool_));
  ASSERT_NE(date, nullptr);
  EXPECT_EQ(date->len, strlen("2026-12-09T22:38:37.123456Z"));
  EXPECT_EQ(date->data[date->len - 1], 'Z');
}

// A repository is made in a missing or empty directory and nowhere else;
// a refusal leaves what was there alone.
TEST_P(RepoTest, CreateTakesOnlyAMissingOrEmptyDirectory) {
  namespace stdfs = std::filesystem;
  struct Case {
    const char *name;
    std::function<void(const std::string &)> prepare;
    bool made;
  };
  const Case cases[] = {
      {"missing", [](const std::string &) {}, true},
      {"empty directory", [](const std::string &p) { stdfs::create_directory(p); }, true},
      {"directory with a file",
       [](const std::string &p) {
         stdfs::create_directory(p);
         std::ofstream(p + "/notes.txt") << "keep me";
       },
       false},
      {"directory with a hidden directory",
       [](const std::string &p) { stdfs::create_directories(p + "/.hidden"); }, false},
      {"a file", [](const std::string &p) { std::ofstream(p) << "keep me"; }, false},
  };
  int n = 0;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    std::string target = dir_ + "/target" + std::to_string(n++);
    c.prepare(target);
    ostrel_repos *r;
    std::string msg;
    apr_status_t code = code_of(ostrel_repos_create(&r, target.c_str(), nullptr, pool_), &msg);
    if (c.made) {
      EXPECT_EQ(code, 0) << msg;
      EXPECT_EQ(code_of(ostrel_repos_open2(&r, target.c_str(), nullptr, pool_)), 0);
      continue;
    }
    EXPECT_EQ(code, OSTREL_ERR_REPOS_ALREADY_EXISTS);
    EXPECT_NE(msg.find("Cannot create a repository at '" + target +
                       "': it exists and is not an empty directory"),
              std::string::npos)
        << msg;
    EXPECT_FALSE(stdfs::exists(target + "/format"));
    EXPECT_FALSE(stdfs::exists(target + "/fs.db"));
  }
}

TEST_P(RepoTest, CreateRefusesAnExistingRepositoryAndOpenFindsIt) {
  ostrel_repos *r;
  EXPECT_EQ(code_of(ostrel_repos_create(&r, path_.c_str(), nullptr, pool_)),
            OSTREL_ERR_REPOS_ALREADY_EXISTS);
  OK(ostrel_repos_open2(&r, path_.c_str(), nullptr, pool_));
  std::string msg;
  EXPECT_EQ(code_of(ostrel_repos_open2(&r, dir_.c_str(), nullptr, pool_), &msg),
            OSTREL_ERR_REPOS_NOT_FOUND);
  EXPECT_NE(msg.find(dir_), std::string::npos);
  std::string sub = path_ + "/deeper/still";
  EXPECT_STREQ(ostrel_repos_find_root_path(sub.c_str(), pool_), path_.c_str());
  EXPECT_EQ(ostrel_repos_find_root_path(dir_.c_str(), pool_), nullptr);
}

TEST_P(RepoTest, CommitOfAddsIsReadBack) {
  ostrel_revnum rev;
  OK(try_commit(
      [this](ostrel_fs_root *root) {
        OSTREL_ERR(make_trunk(root));
        ostrel_string log{"first", 5}, author{"ann", 3};
        OSTREL_ERR(ostrel_fs_change_txn_prop(cur_txn_, OSTREL_PROP_REVISION_AUTHOR, &author, nullptr));
        return ostrel_fs_change_txn_prop(cur_txn_, OSTREL_PROP_REVISION_LOG, &log, nullptr);
      },
      &rev));
  EXPECT_EQ(rev, 1);
  ostrel_fs_root *r1 = root_at(1);
  EXPECT_EQ(entries(r1, "/"), "trunk/ ");
  EXPECT_EQ(entries(r1, "trunk"), "a sub/ ");
  EXPECT_EQ(cat(r1, "trunk/a"), "alpha");
  EXPECT_EQ(cat(r1, "/trunk/sub/b"), "beta");
  EXPECT_EQ(kind(r1, "trunk/nothing"), ostrel_node_none);
  EXPECT_EQ(kind(r1, "trunk/a/under-a-file"), ostrel_node_none);
  ostrel_string *color = nullptr;
  OK(ostrel_fs_node_prop(&color, r1, "trunk", "color", pool_));
  ASSERT_NE(color, nullptr);
  EXPECT_EQ(std::string(color->data, color->len), "blue");
  ostrel_filesize len;
  const char *sha;
  OK(ostrel_fs_file_length(&len, r1, "trunk/a", pool_));
  OK(ostrel_fs_file_sha256(&sha, r1, "trunk/a", pool_));
  EXPECT_EQ(len, 5);
  EXPECT_STREQ(sha, "8ed3f6ad685b959ead7022518e1af76cd816f8e8ec7ccdda1ed4018e8f2223f8");
  apr_hash_t *revprops;
  OK(ostrel_fs_revision_proplist(&revprops, filesystem_, 1, pool_));
  EXPECT_EQ(apr_hash_count(revprops), 3u);  // author, log and the commit's date

  auto ch = changes(1);
  ASSERT_EQ(ch.size(), 4u);
  EXPECT_EQ(ch["/trunk"].change_kind, ostrel_fs_path_change_add);
  EXPECT_EQ(ch["/trunk"].node_kind, ostrel_node_dir);
  EXPECT_TRUE(ch["/trunk"].prop_mod);
  EXPECT_EQ(ch["/trunk/a"].change_kind, ostrel_fs_path_change_add);
  EXPECT_TRUE(ch["/trunk/a"].text_mod);
  EXPECT_EQ(ch["/trunk/a"].copyfrom_path, nullptr);
  EXPECT_EQ(ch["/trunk/a"].copyfrom_rev, OSTREL_INVALID_REVNUM);
  EXPECT_EQ(ch.count("/"), 0u);  // passed through only

  // Revision 0 is unchanged.
  EXPECT_EQ(entries(root_at(0), "/"), "");
}

TEST_P(RepoTest, ModifyDeleteReplaceAndPropertyChangesAreRecorded) {
  OK(try_commit(make_trunk));
  OK(try_commit([](ostrel_fs_root *root) {
    OSTREL_ERR(put(root, "trunk/a", "alpha 2"));
    OSTREL_ERR(ostrel_fs_delete(root, "trunk/sub/b", nullptr));
    OSTREL_ERR(propset(root, "trunk/sub", "note", "x"));
    OSTREL_ERR(propset(root, "trunk", "color", nullptr));
    OSTREL_ERR(ostrel_fs_delete(root, "trunk/sub", nullptr));  // replaced below
    OSTREL_ERR(ostrel_fs_make_file(root, "trunk/sub", nullptr));
    return put(root, "trunk/sub", "now a file");
  }));
  ostrel_fs_root *r2 = root_at(2);
  EXPECT_EQ(cat(r2, "trunk/a"), "alpha 2");
  EXPECT_EQ(cat(root_at(1), "trunk/a"), "alpha");
  EXPECT_EQ(cat(r2, "trunk/sub"), "now a file");
  EXPECT_EQ(kind(root_at(1), "trunk/sub"), ostrel_node_dir);
  apr_hash_t *props;
  OK(ostrel_fs_node_proplist(&props, r2, "trunk", pool_));
  EXPECT_EQ(apr_hash_count(props), 0u);

  auto ch = changes(2);
  ASSERT_EQ(ch.size(), 3u);
  EXPECT_EQ(ch["/trunk/a"].change_kind, ostrel_fs_path_change_modify);
  EXPECT_TRUE(ch["/trunk/a"].text_mod);
  EXPECT_FALSE(ch["/trunk/a"].prop_mod);
  EXPECT_EQ(ch["/trunk"].change_kind, ostrel_fs_path_change_modify);
  EXPECT_TRUE(ch["/trunk"].prop_mod);
  EXPECT_EQ(ch["/trunk/sub"].change_kind, ostrel_fs_path_change_replace);
  EXPECT_EQ(ch["/trunk/sub"].node_kind, ostrel_node_file);

  OK(try_commit([](ostrel_fs_root *root) { return ostrel_fs_delete(root, "trunk", nullptr); }));
  ch = changes(3);
  ASSERT_EQ(ch.size(), 1u);
  EXPECT_EQ(ch["/trunk"].change_kind, ostrel_fs_path_change_delete);
  EXPECT_EQ(ch["/trunk"].node_kind, ostrel_node_dir);
  EXPECT_EQ(entries(root_at(3), "/"), "");
}

TEST_P(RepoTest, CopiesKeepHistoryAndShareTheSubtree) {
  OK(try_commit(make_trunk));                                                        // r1
  OK(try_commit([](ostrel_fs_root *root) { return put(root, "trunk/sub/b", "b2"); }));  // r2
  OK(try_commit([this](ostrel_fs_root *root) {                                        // r3
    OSTREL_ERR(ostrel_fs_make_dir(root, "branches", nullptr));
    return ostrel_fs_copy(root_at(1), "trunk", root, "branches/old", nullptr);
  }));
  ostrel_fs_root *r3 = root_at(3);
  EXPECT_EQ(cat(r3, "branches/old/sub/b"), "beta");  // as it was in r1
  EXPECT_EQ(cat(r3, "trunk/sub/b"), "b2");
  auto ch = changes(3);
  ASSERT_EQ(ch.size(), 2u);
  EXPECT_EQ(ch["/branches/old"].change_kind, ostrel_fs_path_change_add);
  EXPECT_STREQ(ch["/branches/old"].copyfrom_path, "/trunk");
  EXPECT_EQ(ch["/branches/old"].copyfrom_rev, 1);
  ostrel_revnum crev;
  const char *cpath;
  OK(ostrel_fs_copied_from(&crev, &cpath, r3, "branches/old", pool_));
  EXPECT_EQ(crev, 1);
  EXPECT_STREQ(cpath, "/trunk");
  OK(ostrel_fs_copied_from(&crev, &cpath, r3, "branches", pool_));
  EXPECT_EQ(cpath, nullptr);

  // Changing the copy and the original afterwards keeps both apart, in
  // either order, also for the directory they share.
  OK(try_commit([](ostrel_fs_root *root) {  // r4
    OSTREL_ERR(ostrel_fs_make_file(root, "branches/old/sub/c", nullptr));
    return ostrel_fs_delete(root, "branches/old/a", nullptr);
  }));
  OK(try_commit([](ostrel_fs_root *root) {  // r5
    OSTREL_ERR(ostrel_fs_make_file(root, "trunk/sub/d", nullptr));
    return ostrel_fs_make_file(root, "branches/old/sub/e", nullptr);
  }));
  EXPECT_EQ(entries(root_at(5), "trunk/sub"), "b d ");
  EXPECT_EQ(entries(root_at(5), "branches/old/sub"), "b c e ");
  EXPECT_EQ(entries(root_at(5), "branches/old"), "sub/ ");
  EXPECT_EQ(entries(root_at(5), "trunk"), "a sub/ ");
  EXPECT_EQ(entries(root_at(4), "trunk/sub"), "b ");
  EXPECT_EQ(entries(root_at(1), "trunk/sub"), "b ");
  // A copy deleted inside and re-added keeps the re-added entry only.
  OK(try_commit([](ostrel_fs_root *root) {  // r6
    OSTREL_ERR(ostrel_fs_delete(root, "branches/old/sub/b", nullptr));
    return ostrel_fs_make_dir(root, "branches/old/a", nullptr);
  }));
  EXPECT_EQ(entries(root_at(6), "branches/old/sub"), "c e ");
  EXPECT_EQ(entries(root_at(6), "branches/old"), "a/ sub/ ");
  EXPECT_EQ(cat(root_at(6), "trunk/sub/b"), "b2");

  // Origins: the copy continues trunk's line (begun in r1); the new files
  // begin their own.
  ostrel_fs_root *r6 = root_at(6);
  EXPECT_EQ(origin(r6, "branches/old"), 1);
  EXPECT_EQ(origin(r6, "branches/old/sub/c"), 4);
  EXPECT_EQ(origin(r6, "trunk/sub/b"), 1);
  EXPECT_EQ(origin(r6, "branches/old/a"), 6);
  EXPECT_EQ(origin(r6, "/"), 0);
}

TEST_P(RepoTest, NodeOriginsAreCachedByLookupsNotByCommits) {
  OK(try_commit(make_trunk));
  apr_int64_t lines, indexed;
  OK(ostrel_fs_node_origins_stats(&lines, &indexed, filesystem_, pool_));
  EXPECT_EQ(lines, 5);    // the root, trunk, a, sub, b
  EXPECT_EQ(indexed, 1);  // the root's, known from creation
  EXPECT_EQ(origin(root_at(1), "trunk/a"), 1);
  // One lookup stores the answers for every line its revision began.
  OK(ostrel_fs_node_origins_stats(&lines, &indexed, filesystem_, pool_));
  EXPECT_EQ(indexed, 5);
  EXPECT_EQ(origin(root_at(1), "trunk/a"), 1);  // now from the index
  EXPECT_EQ(origin(root_at(1), "trunk/sub/b"), 1);
}

TEST_P(RepoTest, OutOfDateTransactionIsRefusedAndWritesNothing) {
  OK(try_commit(make_trunk));                                                          // r1
  OK(try_commit([](ostrel_fs_root *root) { return put(root, "trunk/a", "theirs"); }));  // r2
  struct Case {
    const char *name;
    std::function<ostrel_error *(ostrel_fs_root *)> change;
    const char *conflict;
  };
  const Case cases[] = {
      {"modify a file changed since", [](ostrel_fs_root *r) { return put(r, "trunk/a", "mine"); },
       "/trunk/a"},
      {"delete a file changed since",
       [](ostrel_fs_root *r) { return ostrel_fs_delete(r, "trunk/a", nullptr); }, "/trunk/a"},
      {"set a property on a file changed since",
       [](ostrel_fs_root *r) { return propset(r, "trunk/a", "p", "v"); }, "/trunk/a"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const char *conflict = nullptr;
    std::string msg;
    EXPECT_EQ(code_of(try_commit(c.change, nullptr, 1, &conflict), &msg), OSTREL_ERR_FS_OUT_OF_DATE);
    EXPECT_STREQ(conflict, c.conflict);
    EXPECT_NE(msg.find(c.conflict), std::string::npos) << msg;
  }
  ostrel_revnum y;
  OK(ostrel_fs_youngest_rev(&y, filesystem_, pool_));
  EXPECT_EQ(y, 2);
  const ostrel::fs::Counts left = counts();
  EXPECT_EQ(left.unfinished_contents, 0);
  EXPECT_EQ(left.transactions, 0);
}

// A tree far deeper than a call stack of one frame per level allows (a few
// copies of a directory into its own deepest directory make one) is
// committed, read, listed, traced and verified like any other.
TEST_P(RepoTest, DeepTreesAreCommittedReadAndVerified) {
  OK(try_commit([](ostrel_fs_root *r) { return ostrel_fs_make_dir(r, "d", nullptr); }));  // r1
  // Each copy of /d into its deepest directory doubles the chain: 2^14 levels.
  std::string leaf = "d";
  for (ostrel_revnum rev = 1; rev <= 14; ++rev) {
    OK(try_commit([&](ostrel_fs_root *r) {
      return ostrel_fs_copy(root_at(rev), "d", r, (leaf + "/d").c_str(), nullptr);
    }));
    leaf += "/" + leaf;
  }
  ASSERT_EQ(leaf.size(), 2u * 16384 - 1);
  const std::string file = leaf + "/f";
  ostrel_revnum rev = -1;
  OK(try_commit(
      [&](ostrel_fs_root *r) {
        OSTREL_ERR(ostrel_fs_make_file(r, file.c_str(), nullptr));
        OSTREL_ERR(put(r, file.c_str(), "deep"));
        return propset(r, leaf.c_str(), "depth", "16384");
      },
      &rev));
  ASSERT_EQ(rev, 16);
  EXPECT_EQ(cat(root_at(16), file.c_str()), "deep");
  EXPECT_EQ(entries(root_at(16), leaf.c_str()), "f ");
  EXPECT_EQ(origin(root_at(16), file.c_str()), 16);
  EXPECT_EQ(origin(root_at(16), leaf.c_str()), 1);
  auto changed = changes(16);
  EXPECT_EQ(changed.size(), 2u);
  EXPECT_EQ(changed.count("/" + file), 1u);
  // A deep transaction that is aborted is freed as well as one committed.
  EXPECT_EQ(code_of(try_commit([&](ostrel_fs_root *r) {
              OSTREL_ERR(ostrel_fs_make_dir(r, (leaf + "/x").c_str(), nullptr));
              return ostrel_error_create(OSTREL_ERR_CANCELLED, nullptr, "changed my mind");
            })),
            OSTREL_ERR_CANCELLED);
  OK(ostrel_fs_verify(filesystem_, 0, 16, nullptr, nullptr, pool_));
}

// After a failed commit the transaction is good only for an abort: every
// other call, reads of its root included, is refused as a dead transaction.
TEST_P(RepoTest, FailedCommitLeavesTheTransactionUsableOnlyForAbort) {
  OK(try_commit(make_trunk));                                                          // r1
  OK(try_commit([](ostrel_fs_root *root) { return put(root, "trunk/a", "theirs"); }));  // r2
  apr_pool_t *p = ostrel_pool_create(pool_);
  ostrel_fs_txn *txn;
  OK(ostrel_fs_begin_txn(&txn, filesystem_, 1, p));
  ostrel_fs_root *root;
  OK(ostrel_fs_txn_root(&root, txn, p));
  OK(put(root, "trunk/a", "mine"));
  ostrel_stream *open_stream;  // opened before the commit, closed after it
  OK(ostrel_fs_make_file(root, "trunk/late", p));
  OK(ostrel_fs_apply_text(&open_stream, root, "trunk/late", p));
  ostrel_revnum rev = -1;
  EXPECT_EQ(code_of(ostrel_fs_commit_txn(nullptr, &rev, txn, p)), OSTREL_ERR_FS_OUT_OF_DATE);
  ostrel_string value{"v", 1};
  struct Case {
    const char *name;
    std::function<ostrel_error *()> call;
  };
  const Case cases[] = {
      {"make_dir", [&] { return ostrel_fs_make_dir(root, "newdir", p); }},
      {"make_file", [&] { return ostrel_fs_make_file(root, "newfile", p); }},
      {"delete", [&] { return ostrel_fs_delete(root, "trunk/sub", p); }},
      {"copy", [&] { return ostrel_fs_copy(root_at(1), "trunk", root, "branch", p); }},
      {"node property", [&] { return propset(root, "trunk", "p", "v"); }},
      {"text", [&] { return put(root, "trunk/sub/b", "x"); }},
      {"closing a stream opened before", [&] { return ostrel_stream_close(open_stream); }},
      {"revision property", [&] { return ostrel_fs_change_txn_prop(txn, "log", &value, p); }},
      {"transaction root", [&] { return ostrel_fs_txn_root(&root, txn, p); }},
      {"read", [&] {
         ostrel_node_kind k;
         return ostrel_fs_check_path(&k, root, "trunk", p);
       }},
      {"second commit", [&] { return ostrel_fs_commit_txn(nullptr, &rev, txn, p); }},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    std::string msg;
    EXPECT_EQ(code_of(c.call(), &msg), OSTREL_ERR_FS_TXN_DEAD) << msg;
    EXPECT_NE(msg.find("only be aborted"), std::string::npos) << msg;
  }
  OK(ostrel_fs_abort_txn(txn, p));
  apr_pool_destroy(p);
  ostrel_revnum y;
  OK(ostrel_fs_youngest_rev(&y, filesystem_, pool_));
  EXPECT_EQ(y, 2);
  EXPECT_EQ(cat(root_at(2), "trunk/a"), "theirs");
  EXPECT_EQ(counts().transactions, 0);
}

// A directory's node is rewritten by every commit that passes through it, so
// only its own properties (or its deletion or replacement) can make a
// property change on it out of date.
TEST_P(RepoTest, DirectoryPropertyChangeIsOutOfDateOnlyWhenItsOwnPropertiesChanged) {
  OK(try_commit(make_trunk));  // r1: /trunk has color=blue
  using Change = std::function<ostrel_error *(ostrel_fs_root *)>;
  auto set = [](const char *path, const char *name, const char *value) -> Change {
    return [=](ostrel_fs_root *r) { return propset(r, path, name, value); };
  };
  struct Case {
    const char *name;
    Change theirs;      // committed after the base of ours
    const char *dir;    // ours sets property "mine" to VALUE on DIR
    const char *value;
    const char *conflict;  // nullptr: ours commits
  };
  const Case cases[] = {
      {"a file's text changed below", [](ostrel_fs_root *r) { return put(r, "trunk/sub/b", "2"); },
       "trunk", "1", nullptr},
      {"a file added below",
       [](ostrel_fs_root *r) { return ostrel_fs_make_file(r, "trunk/sub/new", nullptr); }, "trunk",
       "2", nullptr},
      {"a file's property changed below", set("trunk/a", "p", "x"), "trunk", "3", nullptr},
      {"root, a file's text changed below",
       [](ostrel_fs_root *r) { return put(r, "trunk/a", "4"); }, "/", "4", nullptr},
      {"a property changed and changed back in one commit",
       [](ostrel_fs_root *r) {
         OSTREL_ERR(propset(r, "trunk", "color", "red"));
         return propset(r, "trunk", "color", "blue");
       },
       "trunk", "5", nullptr},
      {"a property of the same directory changed", set("trunk", "color", "red"), "trunk", "6",
       "/trunk"},
      {"a property of the same directory deleted", set("trunk", "color", nullptr), "trunk", "7",
       "/trunk"},
      {"root, its own property changed", set("/", "color", "red"), "/", "8", "/"},
      {"the directory replaced",
       [](ostrel_fs_root *r) {
         OSTREL_ERR(ostrel_fs_delete(r, "trunk/sub", nullptr));
         return ostrel_fs_make_dir(r, "trunk/sub", nullptr);
       },
       "trunk/sub", "9", "/trunk/sub"},
      {"the directory deleted",
       [](ostrel_fs_root *r) { return ostrel_fs_delete(r, "trunk/sub", nullptr); }, "trunk/sub",
       "10", "/trunk/sub"},
  };
  // NAME=VALUE; for each property of PATH in REV but "mine", in name order.
  auto others = [this](ostrel_revnum rev, const char *path) {
    apr_hash_t *props = nullptr;
    EXPECT_EQ(take_error(ostrel_fs_node_proplist(&props, root_at(rev), path, pool_)), "");
    std::map<std::string, std::string> sorted;
    for (apr_hash_index_t *hi = apr_hash_first(pool_, props); hi; hi = apr_hash_next(hi)) {
      const void *key;
      void *val;
      apr_hash_this(hi, &key, nullptr, &val);
      auto *v = static_cast<const ostrel_string *>(val);
      if (std::string(static_cast<const char *>(key)) != "mine")
        sorted[static_cast<const char *>(key)] = std::string(v->data, v->len);
    }
    std::string out;
    for (auto &[k, v] : sorted) out += k + "=" + v + ";";
    return out;
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    ostrel_revnum base, theirs, ours;
    OK(ostrel_fs_youngest_rev(&base, filesystem_, pool_));
    OK(try_commit(c.theirs, &theirs));
    const char *conflict = nullptr;
    ostrel_error *err = try_commit(set(c.dir, "mine", c.value), &ours, base, &conflict);
    if (c.conflict) {
      std::string msg;
      EXPECT_EQ(code_of(err, &msg), OSTREL_ERR_FS_OUT_OF_DATE) << msg;
      EXPECT_STREQ(conflict, c.conflict);
      continue;
    }
    OK(err);
    // Ours sets its property and keeps everything theirs did.
    auto changed = changes(ours);
    EXPECT_EQ(changed.size(), 1u);
    EXPECT_TRUE(changed.count(c.dir[0] == '/' ? c.dir : "/" + std::string(c.dir)));
    ostrel_string *mine = nullptr;
    OK(ostrel_fs_node_prop(&mine, root_at(ours), c.dir, "mine", pool_));
    ASSERT_NE(mine, nullptr);
    EXPECT_EQ(std::string(mine->data, mine->len), c.value);
    for (const char *path : {c.dir, "trunk/a", "trunk/sub/b"})
      EXPECT_EQ(others(ours, path), others(theirs, path)) << path;
    for (const char *path : {"trunk/a", "trunk/sub/b"})
      EXPECT_EQ(cat(root_at(ours), path), cat(root_at(theirs), path)) << path;
    EXPECT_EQ(entries(root_at(ours), "trunk/sub"), entries(root_at(theirs), "trunk/sub"));
  }
  ostrel_revnum y;
  OK(ostrel_fs_youngest_rev(&y, filesystem_, pool_));
  OK(ostrel_fs_verify(filesystem_, 0, y, nullptr, nullptr, pool_));
}

TEST_P(RepoTest, TransactionsThatOnlyPassThroughTheSameDirectoriesBothCommit) {
  OK(try_commit(make_trunk));  // r1
  OK(try_commit([](ostrel_fs_root *r) { return ostrel_fs_make_file(r, "trunk/sub/x", nullptr); },
                nullptr, 1));
  OK(try_commit([](ostrel_fs_root *r) { return ostrel_fs_make_file(r, "trunk/sub/y", nullptr); },
                nullptr, 1));
  OK(try_commit([](ostrel_fs_root *r) { return put(r, "trunk/a", "also from r1"); }, nullptr, 1));
  EXPECT_EQ(entries(root_at(4), "trunk/sub"), "b x y ");
  EXPECT_EQ(cat(root_at(4), "trunk/a"), "also from r1");
  // The same name added twice from one base: the second is out of date.
  const char *conflict = nullptr;
  EXPECT_EQ(code_of(try_commit(
                [](ostrel_fs_root *r) { return ostrel_fs_make_dir(r, "trunk/sub/x", nullptr); },
                nullptr, 1, &conflict)),
            OSTREL_ERR_FS_OUT_OF_DATE);
  EXPECT_STREQ(conflict, "/trunk/sub/x");
  // A directory replaced since the base is no pass-through.
  OK(try_commit([this](ostrel_fs_root *r) {  // r5
    OSTREL_ERR(ostrel_fs_delete(r, "trunk/sub", nullptr));
    return ostrel_fs_copy(root_at(1), "trunk/sub", r, "trunk/sub", nullptr);
  }));
  EXPECT_EQ(code_of(try_commit(
                [](ostrel_fs_root *r) { return ostrel_fs_make_file(r, "trunk/sub/z", nullptr); },
                nullptr, 4, &conflict)),
            OSTREL_ERR_FS_OUT_OF_DATE);
  EXPECT_STREQ(conflict, "/trunk/sub");
}

TEST_P(RepoTest, ChangesThatWouldBreakTheTreeAreRefusedNamingThePath) {
  OK(try_commit(make_trunk));
  struct Case {
    const char *name;
    std::function<ostrel_error *(ostrel_fs_root *)> change;
    apr_status_t code;
    const char *named;
  };
  const Case cases[] = {
      {"add over an existing path",
       [](ostrel_fs_root *r) { return ostrel_fs_make_dir(r, "trunk/a", nullptr); },
       OSTREL_ERR_FS_ALREADY_EXISTS, "/trunk/a"},
      {"add under a missing parent",
       [](ostrel_fs_root *r) { return ostrel_fs_make_file(r, "nope/f", nullptr); },
       OSTREL_ERR_FS_NOT_FOUND, "/nope"},
      {"add under a file",
       [](ostrel_fs_root *r) { return ostrel_fs_make_file(r, "trunk/a/f", nullptr); },
       OSTREL_ERR_FS_NOT_DIRECTORY, "/trunk/a"},
      {"delete an absent path",
       [](ostrel_fs_root *r) { return ostrel_fs_delete(r, "trunk/zz", nullptr); },
       OSTREL_ERR_FS_NOT_FOUND, "/trunk/zz"},
      {"open an absent path", [](ostrel_fs_root *r) { return propset(r, "trunk/zz", "p", "v"); },
       OSTREL_ERR_FS_NOT_FOUND, "/trunk/zz"},
      {"write contents into a directory", [](ostrel_fs_root *r) { return put(r, "trunk", "x"); },
       OSTREL_ERR_FS_NOT_FILE, "/trunk"},
      {"copy a source absent at its revision",
       [this](ostrel_fs_root *r) {
         return ostrel_fs_copy(root_at(0), "trunk", r, "t2", nullptr);
       },
       OSTREL_ERR_FS_NOT_FOUND, "/trunk"},
      {"empty segment", [](ostrel_fs_root *r) { return ostrel_fs_make_dir(r, "trunk//x", nullptr); },
       OSTREL_ERR_BAD_PATH, "trunk//x"},
      {"dot segment", [](ostrel_fs_root *r) { return ostrel_fs_make_dir(r, "trunk/./x", nullptr); },
       OSTREL_ERR_BAD_PATH, "trunk/./x"},
      {"dot-dot segment",
       [](ostrel_fs_root *r) { return ostrel_fs_make_dir(r, "trunk/../x", nullptr); },
       OSTREL_ERR_BAD_PATH, "trunk/../x"},
      {"property name with a blank",
       [](ostrel_fs_root *r) { return propset(r, "trunk/a", "bad name", "v"); },
       OSTREL_ERR_BAD_PROPERTY_NAME, "/trunk/a"},
      {"empty property name", [](ostrel_fs_root *r) { return propset(r, "trunk/a", "", "v"); },
       OSTREL_ERR_BAD_PROPERTY_NAME, "/trunk/a"},
      {"delete the root", [](ostrel_fs_root *r) { return ostrel_fs_delete(r, "/", nullptr); },
       OSTREL_ERR_BAD_PATH, "/"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    std::string msg;
    EXPECT_EQ(code_of(try_commit(c.change), &msg), c.code) << msg;
    EXPECT_NE(msg.find(c.named), std::string::npos) << msg;
  }
  ostrel_revnum y;
  OK(ostrel_fs_youngest_rev(&y, filesystem_, pool_));
  EXPECT_EQ(y, 1);
  // Directories opened on the way to a refused change are not rewritten when
  // the transaction is committed anyway.
  const int64_t nodes = counts().nodes;
  OK(try_commit([](ostrel_fs_root *r) {
    ostrel_error_clear(propset(r, "trunk/sub/zz", "p", "v"));
    ostrel_error_clear(ostrel_fs_make_dir(r, "trunk/sub/b", nullptr));
    return nullptr;
  }));
  EXPECT_EQ(counts().nodes, nodes);
  EXPECT_TRUE(changes(2).empty());
  // A revision root cannot be changed.
  EXPECT_EQ(code_of(ostrel_fs_make_dir(root_at(1), "x", pool_)), OSTREL_ERR_FS_ROOT_NOT_TXN);
  // Reading errors.
  ostrel_fs_root *root;
  EXPECT_EQ(code_of(ostrel_fs_revision_root(&root, filesystem_, 7, pool_)), OSTREL_ERR_FS_NO_SUCH_REVISION);
  ostrel_stream *s;
  EXPECT_EQ(code_of(ostrel_fs_file_contents(&s, root_at(1), "trunk", pool_)),
            OSTREL_ERR_FS_NOT_FILE);
  apr_hash_t *h;
  EXPECT_EQ(code_of(ostrel_fs_dir_entries(&h, root_at(1), "trunk/a", pool_)),
            OSTREL_ERR_FS_NOT_DIRECTORY);
}

// The root always exists and cannot go: each refusal names it in a sentence
// that reads correctly for its action.
TEST_P(RepoTest, ChangesAtTheRootAreRefusedWithAMessageThatReadsCorrectly) {
  struct Case {
    std::function<ostrel_error *(ostrel_fs_root *)> change;
    apr_status_t code;
    const char *message;
  };
  const Case cases[] = {
      {[](ostrel_fs_root *r) { return ostrel_fs_make_dir(r, "/", nullptr); },
       OSTREL_ERR_FS_ALREADY_EXISTS, "Cannot make a directory at '/': the root always exists"},
      {[](ostrel_fs_root *r) { return ostrel_fs_make_file(r, "", nullptr); },
       OSTREL_ERR_FS_ALREADY_EXISTS, "Cannot make a file at '/': the root always exists"},
      {[this](ostrel_fs_root *r) { return ostrel_fs_copy(root_at(0), "/", r, "/", nullptr); },
       OSTREL_ERR_FS_ALREADY_EXISTS, "Cannot copy to '/': the root always exists"},
      {[](ostrel_fs_root *r) { return ostrel_fs_delete(r, "/", nullptr); }, OSTREL_ERR_BAD_PATH,
       "Cannot delete the root '/'"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.message);
    std::string msg;
    EXPECT_EQ(code_of(try_commit(c.change), &msg), c.code);
    EXPECT_EQ(msg, std::string(c.message) + "\n");
  }
  // The same phrasing where the path is not the root.
  std::string msg;
  OK(try_commit([](ostrel_fs_root *r) { return ostrel_fs_make_file(r, "f", nullptr); }));
  EXPECT_EQ(code_of(try_commit([](ostrel_fs_root *r) { return ostrel_fs_make_dir(r, "f/x", nullptr); }),
                    &msg),
            OSTREL_ERR_FS_NOT_DIRECTORY);
  EXPECT_EQ(msg, "Cannot make a directory at '/f/x': '/f' is not a directory\n");
}

TEST_P(RepoTest, BadConfigurationAndRevisionPropertyNamesAreRefused) {
  for (const char *value : {"", "soon", "-5", "12ms"}) {
    SCOPED_TRACE(value);
    apr_hash_t *config = apr_hash_make(pool_);
    apr_hash_set(config, OSTREL_FS_CONFIG_BUSY_TIMEOUT, APR_HASH_KEY_STRING, value);
    ostrel_repos *repos;
    std::string msg;
    EXPECT_EQ(code_of(ostrel_repos_open2(&repos, path_.c_str(), config, pool_), &msg),
              OSTREL_ERR_BAD_CONFIG_OPTION);
    EXPECT_NE(msg.find(OSTREL_FS_CONFIG_BUSY_TIMEOUT), std::string::npos) << msg;
  }
  ostrel_string v{"x", 1};
  for (const char *name : {"", "with blank", "1starts-with-digit", "slash/in"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(code_of(try_commit([&](ostrel_fs_root *) {
                return ostrel_fs_change_txn_prop(cur_txn_, name, &v, nullptr);
              })),
              OSTREL_ERR_BAD_PROPERTY_NAME);
  }
}

TEST_P(RepoTest, TransactionRootSeesItsOwnChanges) {
  OK(try_commit(make_trunk));
  OK(try_commit([this](ostrel_fs_root *root) {
    OSTREL_ERR(ostrel_fs_delete(root, "trunk/a", nullptr));
    OSTREL_ERR(ostrel_fs_make_dir(root, "trunk/new", nullptr));
    OSTREL_ERR(ostrel_fs_copy(root_at(1), "trunk/sub", root, "trunk/new/sub2", nullptr));
    OSTREL_ERR(put(root, "trunk/new/sub2/b", "changed in txn"));
    EXPECT_EQ(ostrel_fs_root_revision(root), OSTREL_INVALID_REVNUM);
    EXPECT_EQ(kind(root, "trunk/a"), ostrel_node_none);
    EXPECT_EQ(entries(root, "trunk"), "new/ sub/ ");
    EXPECT_EQ(entries(root, "trunk/new/sub2"), "b ");
    EXPECT_EQ(cat(root, "trunk/new/sub2/b"), "changed in txn");
    EXPECT_EQ(cat(root, "trunk/sub/b"), "beta");
    // Adding then deleting in one transaction leaves nothing.
    OSTREL_ERR(ostrel_fs_make_file(root, "trunk/tmp", nullptr));
    return ostrel_fs_delete(root, "trunk/tmp", nullptr);
  }));
  auto ch = changes(2);
  EXPECT_EQ(ch.count("/trunk/tmp"), 0u);
  EXPECT_EQ(ch["/trunk/new/sub2"].change_kind, ostrel_fs_path_change_add);
  EXPECT_EQ(ch["/trunk/new/sub2/b"].change_kind, ostrel_fs_path_change_modify);
  EXPECT_EQ(cat(root_at(2), "trunk/new/sub2/b"), "changed in txn");
  EXPECT_EQ(cat(root_at(2), "trunk/sub/b"), "beta");
}

// The transaction's tree remembers the last directory a change went
// through.  A deletion must make it forget: a directory deleted and made
// again, whether added in this transaction or opened from the base
// revision, is a new node, and a change under the deleted one fails.
// One handle keeps what it learnt of stored trees (the directory a path
// leads to, that there is none, a revision's root): answers at each
// revision stay those of that revision, before and after later commits.
TEST_P(RepoTest, KeptAnswersAboutStoredTreesStayTrueForTheirRevision) {
  OK(try_commit(make_trunk));
  // Asked at revision 1, before the paths exist (and under a file).
  const std::vector<std::pair<const char *, ostrel_node_kind>> at_one = {
      {"trunk/new/deeper/f", ostrel_node_none}, {"trunk/new/g", ostrel_node_none},
      {"trunk/a/x", ostrel_node_none},          {"trunk/a/x/y", ostrel_node_none},
      {"trunk/sub/b", ostrel_node_file},        {"trunk/sub/none", ostrel_node_none}};
  for (auto &[path, k] : at_one) EXPECT_EQ(kind(root_at(1), path), k) << path;
  OK(try_commit([](ostrel_fs_root *root) {
    OSTREL_ERR(ostrel_fs_make_dir(root, "trunk/new", nullptr));
    OSTREL_ERR(ostrel_fs_make_dir(root, "trunk/new/deeper", nullptr));
    OSTREL_ERR(ostrel_fs_make_file(root, "trunk/new/deeper/f", nullptr));
    OSTREL_ERR(ostrel_fs_make_file(root, "trunk/new/g", nullptr));
    OSTREL_ERR(ostrel_fs_delete(root, "trunk/sub/b", nullptr));
    OSTREL_ERR(ostrel_fs_delete(root, "trunk/a", nullptr));
    OSTREL_ERR(ostrel_fs_make_dir(root, "trunk/a", nullptr));
    return ostrel_fs_make_file(root, "trunk/a/x", nullptr);
  }));
  const std::vector<std::pair<const char *, ostrel_node_kind>> at_two = {
      {"trunk/new/deeper/f", ostrel_node_file}, {"trunk/new/g", ostrel_node_file},
      {"trunk/a/x", ostrel_node_file},          {"trunk/a/x/y", ostrel_node_none},
      {"trunk/sub/b", ostrel_node_none},        {"trunk/sub/none", ostrel_node_none}};
  for (auto &[path, k] : at_two) EXPECT_EQ(kind(root_at(2), path), k) << path;
  for (auto &[path, k] : at_one) EXPECT_EQ(kind(root_at(1), path), k) << path;
  EXPECT_EQ(entries(root_at(1), "trunk"), "a sub/ ");
  EXPECT_EQ(entries(root_at(2), "trunk"), "a/ new/ sub/ ");
}

TEST_P(RepoTest, DirectoriesDeletedAndMadeAgainTakeTheLaterChanges) {
  OK(try_commit(make_trunk));
  OK(try_commit([this](ostrel_fs_root *root) {
    // Added in this transaction, then deleted: the entry goes.
    OSTREL_ERR(ostrel_fs_make_dir(root, "trunk/new", nullptr));
    OSTREL_ERR(ostrel_fs_make_file(root, "trunk/new/x", nullptr));
    OSTREL_ERR(put(root, "trunk/new/x", "gone"));
    OSTREL_ERR(ostrel_fs_delete(root, "trunk/new", nullptr));
    EXPECT_EQ(code_of(ostrel_fs_make_file(root, "trunk/new/y", nullptr)), OSTREL_ERR_FS_NOT_FOUND);
    OSTREL_ERR(ostrel_fs_make_dir(root, "trunk/new", nullptr));
    OSTREL_ERR(ostrel_fs_make_file(root, "trunk/new/y", nullptr));
    OSTREL_ERR(put(root, "trunk/new/y", "kept"));
    // Opened from revision 1, then deleted: the entry is marked deleted.
    OSTREL_ERR(put(root, "trunk/sub/b", "edited"));
    OSTREL_ERR(ostrel_fs_delete(root, "trunk/sub", nullptr));
    EXPECT_EQ(code_of(put(root, "trunk/sub/b", "again")), OSTREL_ERR_FS_NOT_FOUND);
    EXPECT_EQ(code_of(ostrel_fs_make_file(root, "trunk/sub/c", nullptr)), OSTREL_ERR_FS_NOT_FOUND);
    OSTREL_ERR(ostrel_fs_make_dir(root, "trunk/sub", nullptr));
    OSTREL_ERR(ostrel_fs_make_file(root, "trunk/sub/c", nullptr));
    OSTREL_ERR(put(root, "trunk/sub/c", "new"));
    EXPECT_EQ(entries(root, "trunk/new"), "y ");
    EXPECT_EQ(entries(root, "trunk/sub"), "c ");
    return OSTREL_NO_ERROR;
  }));
  EXPECT_EQ(entries(root_at(2), "trunk/new"), "y ");
  EXPECT_EQ(cat(root_at(2), "trunk/new/y"), "kept");
  EXPECT_EQ(entries(root_at(2), "trunk/sub"), "c ");
  EXPECT_EQ(cat(root_at(2), "trunk/sub/c"), "new");
  auto ch = changes(2);
  EXPECT_EQ(ch.count("/trunk/new/x"), 0u);
  EXPECT_EQ(ch["/trunk/sub"].change_kind, ostrel_fs_path_change_replace);
}

// A text stream keeps its file's node from when it was opened, and must
// find the file again by its path when the tree changed under it.
TEST_P(RepoTest, ATextStreamClosedAfterItsFileChangedFindsTheFileByPath) {
  OK(try_commit(make_trunk));
  apr_pool_t *p = ostrel_pool_create(nullptr);
  auto open_text = [p](ostrel_fs_root *root, const char *path, ostrel_stream **s) {
    return ostrel_fs_apply_text(s, root, path, p);
  };
  auto finish = [](ostrel_stream *s, const std::string &text) {
    apr_size_t len = text.size();
    OSTREL_ERR(ostrel_stream_write(s, text.data(), &len));
    return ostrel_stream_close(s);
  };
  OK(try_commit([&](ostrel_fs_root *root) {
    ostrel_stream *remade, *gone, *twice;
    // Deleted and made again while the stream was open: the new file.
    OSTREL_ERR(ostrel_fs_make_file(root, "trunk/f", nullptr));
    OSTREL_ERR(open_text(root, "trunk/f", &remade));
    OSTREL_ERR(ostrel_fs_delete(root, "trunk/f", nullptr));
    OSTREL_ERR(ostrel_fs_make_file(root, "trunk/f", nullptr));
    OSTREL_ERR(finish(remade, "later"));
    // Deleted for good: the close says so.
    OSTREL_ERR(ostrel_fs_make_file(root, "trunk/g", nullptr));
    OSTREL_ERR(open_text(root, "trunk/g", &gone));
    OSTREL_ERR(ostrel_fs_delete(root, "trunk/g", nullptr));
    EXPECT_EQ(code_of(finish(gone, "lost")), OSTREL_ERR_FS_NOT_FOUND);
    // The path just made is a directory: no text for it.
    OSTREL_ERR(ostrel_fs_make_dir(root, "trunk/d", nullptr));
    ostrel_stream *dir;
    EXPECT_EQ(code_of(open_text(root, "trunk/d", &dir)), OSTREL_ERR_FS_NOT_FILE);
    // Two streams of one file, the path spelled two ways: the last closed wins.
    OSTREL_ERR(ostrel_fs_make_file(root, "trunk/h", nullptr));
    OSTREL_ERR(open_text(root, "trunk/h", &twice));
    OSTREL_ERR(put(root, "/trunk/h", "first"));
    return finish(twice, "second");
  }));
  apr_pool_destroy(p);
  EXPECT_EQ(cat(root_at(2), "trunk/f"), "later");
  EXPECT_EQ(entries(root_at(2), "trunk"), "a d/ f h sub/ ");
  EXPECT_EQ(cat(root_at(2), "trunk/h"), "second");
}

TEST_P(RepoTest, EqualContentsAreStoredOnceAndAbortsLeaveNothing) {
  OK(try_commit([](ostrel_fs_root *root) {
    OSTREL_ERR(ostrel_fs_make_file(root, "one", nullptr));
    OSTREL_ERR(put(root, "one", "same text"));
    OSTREL_ERR(ostrel_fs_make_file(root, "two", nullptr));
    return put(root, "two", "same text");
  }));
  OK(try_commit([](ostrel_fs_root *root) {
    OSTREL_ERR(ostrel_fs_make_file(root, "three", nullptr));
    return put(root, "three", "same text");
  }));
  EXPECT_EQ(counts().contents, 1);
  EXPECT_EQ(cat(root_at(2), "three"), "same text");
  // A transaction that uploads and then fails is aborted with its pool.
  EXPECT_NE(code_of(try_commit([](ostrel_fs_root *root) {
              OSTREL_ERR(ostrel_fs_make_file(root, "four", nullptr));
              OSTREL_ERR(put(root, "four", "never committed"));
              return ostrel_fs_delete(root, "missing", nullptr);
            })),
            0);
  const ostrel::fs::Counts left = counts();
  EXPECT_EQ(left.contents, 1);
  EXPECT_EQ(left.chunks, 1);
  EXPECT_EQ(left.transactions, 0);
}

// A commit's nodes, directory rows and changed paths are written many rows
// a statement: counts around the batch size must all land, in a new
// directory and in one whose rows are ended and replaced.
TEST_P(RepoTest, CommitsOfManyPathsRecordEveryOne) {
  const int n = 64 * 2 + 21;
  auto name = [](int i) { return "d/f" + std::to_string(i); };
  OK(try_commit([&](ostrel_fs_root *root) -> ostrel_error * {
    OSTREL_ERR(ostrel_fs_make_dir(root, "d", nullptr));
    for (int i = 0; i < n; ++i) {
      OSTREL_ERR(ostrel_fs_make_file(root, name(i).c_str(), nullptr));
      OSTREL_ERR(put(root, name(i).c_str(), "text " + std::to_string(i) + "\n"));
    }
    return nullptr;
  }));
  // Then: the first 65 deleted, the next 65 changed, 65 added.
  OK(try_commit([&](ostrel_fs_root *root) -> ostrel_error * {
    for (int i = 0; i < 65; ++i) OSTREL_ERR(ostrel_fs_delete(root, name(i).c_str(), nullptr));
    for (int i = 65; i < 130; ++i) OSTREL_ERR(put(root, name(i).c_str(), "changed\n"));
    for (int i = n; i < n + 65; ++i) {
      OSTREL_ERR(ostrel_fs_make_file(root, name(i).c_str(), nullptr));
      OSTREL_ERR(put(root, name(i).c_str(), "new\n"));
    }
    return nullptr;
  }));
  auto first = changes(1);
  EXPECT_EQ(first.size(), static_cast<size_t>(n + 1));
  EXPECT_EQ(first["/d/f148"].change_kind, ostrel_fs_path_change_add);
  auto second = changes(2);
  EXPECT_EQ(second.size(), 65u * 3);
  EXPECT_EQ(second["/d/f0"].change_kind, ostrel_fs_path_change_delete);
  EXPECT_EQ(second["/d/f129"].change_kind, ostrel_fs_path_change_modify);
  EXPECT_TRUE(second["/d/f129"].text_mod);
  EXPECT_EQ(second["/d/f" + std::to_string(n + 64)].change_kind, ostrel_fs_path_change_add);
  std::string want1, want2;
  std::map<std::string, std::string> sorted1, sorted2;
  for (int i = 0; i < n; ++i) sorted1["f" + std::to_string(i)] = "";
  for (int i = 65; i < n + 65; ++i) sorted2["f" + std::to_string(i)] = "";
  for (auto &[k, v] : sorted1) want1 += k + " ";
  for (auto &[k, v] : sorted2) want2 += k + " ";
  EXPECT_EQ(entries(root_at(1), "d"), want1);
  EXPECT_EQ(entries(root_at(2), "d"), want2);
  EXPECT_EQ(cat(root_at(1), "d/f64"), "text 64\n");
  EXPECT_EQ(kind(root_at(2), "d/f64"), ostrel_node_none);
  EXPECT_EQ(cat(root_at(2), "d/f100"), "changed\n");
  EXPECT_EQ(cat(root_at(2), "d/f148"), "text 148\n");
  EXPECT_EQ(cat(root_at(2), ("d/f" + std::to_string(n + 64)).c_str()), "new\n");
  OK(ostrel_fs_verify(filesystem_, 0, 2, nullptr, nullptr, pool_));
}

TEST_P(RepoTest, LargeContentsAreStreamedInChunks) {
  // 5 MiB + 123 bytes of a pattern that does not repeat within a chunk.
  const size_t total = 5 * 1024 * 1024 + 123;
  auto byte_at = [](size_t i) { return static_cast<char>((i * 2654435761u) >> 13); };
  OK(try_commit([&](ostrel_fs_root *root) {
    OSTREL_ERR(ostrel_fs_make_file(root, "big", nullptr));
    ostrel_stream *s;
    OSTREL_ERR(ostrel_fs_apply_text(&s, root, "big", pool_));
    std::string block(10000, 0);
    for (size_t i = 0; i < total;) {
      size_t n = std::min(block.size(), total - i);
      for (size_t j = 0; j < n; ++j) block[j] = byte_at(i + j);
      apr_size_t len = n;
      OSTREL_ERR(ostrel_stream_write(s, block.data(), &len));
      i += n;
    }
    return ostrel_stream_close(s);
  }));
  EXPECT_EQ(counts().chunks, 6);
  ostrel_stream *s;
  OK(ostrel_fs_file_contents(&s, root_at(1), "big", pool_));
  size_t i = 0;
  std::string buf(7777, 0);
  size_t mismatches = 0;
  while (true) {
    apr_size_t len = buf.size();
    OK(ostrel_stream_read_full(s, buf.data(), &len));
    for (size_t j = 0; j < len; ++j) mismatches += buf[j] != byte_at(i + j);
    i += len;
    if (len < buf.size()) break;
  }
  EXPECT_EQ(i, total);
  EXPECT_EQ(mismatches, 0u);
  OK(ostrel_fs_verify(filesystem_, 0, 1, nullptr, nullptr, pool_));
}


// Each new version of a small text is a delta against the one before, in
// chains of bounded length; every version reads back byte for byte, also
// after the path of the versions it was made from is deleted.
TEST_P(RepoTest, DeltaChainsReadBackAfterManyEditsAndAfterTheBaseIsDeleted) {
  std::vector<std::string> lines;
  for (int i = 0; i < 300; ++i) lines.push_back("line " + std::to_string(i) + " of the document\n");
  auto text_of = [&lines] {
    std::string s;
    for (auto &l : lines) s += l;
    return s;
  };
  std::map<ostrel_revnum, std::string> versions;
  ostrel_revnum rev;
  OK(try_commit([&](ostrel_fs_root *r) {
    OSTREL_ERR(ostrel_fs_make_file(r, "doc", nullptr));
    return put(r, "doc", text_of());
  }, &rev));
  versions[rev] = text_of();
  for (int edit = 0; edit < 40; ++edit) {
    lines[static_cast<size_t>(edit * 7 % 300)] = "edited in round " + std::to_string(edit) + "\n";
    if (edit % 5 == 0) lines.push_back("appended in round " + std::to_string(edit) + "\n");
    OK(try_commit([&](ostrel_fs_root *r) { return put(r, "doc", text_of()); }, &rev));
    versions[rev] = text_of();
  }
  const ostrel::fs::Counts stored = counts();
  EXPECT_GT(stored.deltas, 30);
  EXPECT_EQ(stored.deepest_delta, 8);
  // Deltas are small: far less than one whole version each.
  EXPECT_LT(stored.stored_bytes, static_cast<int64_t>(text_of().size()));
  const ostrel_revnum copied = 20;
  OK(try_commit([](ostrel_fs_root *r) { return ostrel_fs_delete(r, "doc", nullptr); }));
  OK(try_commit([&](ostrel_fs_root *r) {
    ostrel_fs_root *from = root_at(copied);
    OSTREL_ERR(ostrel_fs_copy(from, "doc", r, "again", nullptr));
    return put(r, "again", versions[copied] + "one more line\n");
  }, &rev));
  for (auto &[r, text] : versions) EXPECT_EQ(cat(root_at(r), "doc"), text) << "r" << r;
  EXPECT_EQ(cat(root_at(rev), "again"), versions[copied] + "one more line\n");
  OK(ostrel_fs_verify(filesystem_, 0, rev, nullptr, nullptr, pool_));
}

// A repository of the legacy format (contents as database rows) keeps
// working: commits, reads that check what they return, verify.  Upgrading
// it moves every content into packs, and every revision reads the same.
TEST_P(RepoTest, LegacyRepositoryKeepsWorkingAndUpgradesWhole) {
  const std::string legacy = dir_ + "/legacy";
  {
    apr_pool_t *p = ostrel_pool_create(pool_);
    ostrel_repos *r;
    OK(ostrel_repos_create(&r, legacy.c_str(), format_config(2), p));
    apr_pool_destroy(p);
  }
  OK(ostrel::fs::rewrite_as_format1(legacy));

  std::string big(2 * 1024 * 1024 + 99, 0);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 2654435761u) >> 11);
  {
    apr_pool_t *p = ostrel_pool_create(pool_);
    ostrel_repos *r;
    OK(ostrel_repos_open2(&r, legacy.c_str(), nullptr, p));
    ostrel_fs *filesystem = ostrel_repos_fs(r);
    ostrel_revnum rev;
    OK(commit_file(filesystem, "small", "a small text", &rev));
    OK(commit_file(filesystem, "big", big, &rev));
    EXPECT_EQ(rev, 2);
    OK(ostrel_fs_verify(filesystem, 0, 2, nullptr, nullptr, p));
    apr_pool_destroy(p);
  }
  EXPECT_FALSE(std::filesystem::exists(legacy + "/packs"));

  // A damaged legacy row is refused before any byte is handed out.
  {
    const std::string copy = dir_ + "/legacy-damaged";
    std::filesystem::copy(legacy, copy, std::filesystem::copy_options::recursive);
    apr_pool_t *p = ostrel_pool_create(pool_);
    ostrel_repos *r;
    {
      // The second chunk of 'big' says it decodes to a byte less.
      OK(ostrel_repos_open2(&r, copy.c_str(), nullptr, p));
      int64_t content, chunks;
      OK(ostrel::fs::locate_contents(ostrel_repos_fs(r), 2, "big", &content, &chunks));
      ASSERT_GT(chunks, 1);
      std::unique_ptr<ostrel::fs::Snapshot> snapshot;
      OK(ostrel_repos_fs(r)->meta->snapshot(&snapshot));
      ostrel::fs::ChunkRow chunk;
      bool found = false;
      OK(snapshot->chunk(content, 1, chunk, &found));
      ASSERT_TRUE(found);
      std::unique_ptr<ostrel::fs::Damage> damage;
      OK(ostrel::fs::open_damage(copy, &damage));
      OK(damage->set_chunk_length(content, 1, chunk.raw_len - 1));
    }
    OK(ostrel_repos_open2(&r, copy.c_str(), nullptr, p));  // sees the damage
    ostrel_fs_root *root;
    OK(ostrel_fs_revision_root(&root, ostrel_repos_fs(r), 2, p));
    ostrel_stream *s;
    OK(ostrel_fs_file_contents(&s, root, "big", p));
    char buf[100];
    apr_size_t len = sizeof buf;
    std::string msg;
    EXPECT_EQ(code_of(ostrel_stream_read_full(s, buf, &len), &msg), OSTREL_ERR_FS_CORRUPT);
    EXPECT_NE(msg.find("'/big' in revision 2"), std::string::npos) << msg;
    apr_pool_destroy(p);
  }

  int old_format = 0;
  OK(ostrel_repos_upgrade(legacy.c_str(), &old_format, pool_));
  EXPECT_EQ(old_format, 1);
  std::string format;
  std::getline(std::ifstream(legacy + "/format"), format);
  EXPECT_EQ(format, std::to_string(OSTREL_REPOS_FORMAT));
  OK(ostrel_repos_upgrade(legacy.c_str(), &old_format, pool_));
  EXPECT_EQ(old_format, OSTREL_REPOS_FORMAT);
  path_ = legacy;
  OK(ostrel_repos_open2(&repos_, legacy.c_str(), nullptr, pool_));
  filesystem_ = ostrel_repos_fs(repos_);
  EXPECT_EQ(cat(root_at(1), "small"), "a small text");
  EXPECT_EQ(cat(root_at(2), "big"), big);
  ostrel_revnum rev;
  OK(commit_file(filesystem_, "after", "after the upgrade", &rev));
  OK(try_commit([](ostrel_fs_root *r) { return put(r, "small", "a small text, edited"); }, &rev));
  EXPECT_EQ(cat(root_at(rev), "small"), "a small text, edited");
  OK(ostrel_fs_verify(filesystem_, 0, rev, nullptr, nullptr, pool_));
}

// An operating system whose clock, process ids and liveness a test sets.
class FakeOs final : public ostrel::os::Os {
 public:
  int64_t now = 0;
  int64_t pid = 4242;
  bool alive = true;
  int64_t now_usec() override { return now; }
  int64_t current_pid() override { return pid; }
  bool process_alive(int64_t) override { return alive; }
  ostrel_error *read_small_file(const std::string &path, size_t limit, std::string *data,
                                bool *found) override {
    return real_->read_small_file(path, limit, data, found);
  }
  ostrel_error *write_file_durably(const std::string &path, const std::string &data) override {
    return real_->write_file_durably(path, data);
  }
  FakeOs() : real_(&ostrel::os::current()) { ostrel::os::install(this); }
  ~FakeOs() override { ostrel::os::install(nullptr); }

 private:
  ostrel::os::Os *real_;
};

TEST_P(RepoTest, RevisionDatesAndLeftoverSweepsComeFromTheOperatingSystemSeam) {
  FakeOs os;
  os.now = int64_t{981173106} * 1000000 + 7;  // 2001-02-03T04:05:06.000007Z
  ostrel_revnum rev;
  OK(commit_file(filesystem_, "dated", "x", &rev));
  ostrel_string *date;
  OK(ostrel_fs_revision_prop(&date, filesystem_, rev, OSTREL_PROP_REVISION_DATE, pool_));
  ASSERT_NE(date, nullptr);
  EXPECT_EQ(std::string(date->data, date->len), "2001-02-03T04:05:06.000007Z");

  // A transaction of a process that still runs is left alone by others'
  // sweeps; once its process is gone, the next begin sweeps it.
  apr_pool_t *p = ostrel_pool_create(pool_);
  ostrel_fs_txn *open;
  OK(ostrel_fs_begin_txn(&open, filesystem_, rev, p));
  os.pid = 4343;
  OK(commit_file(filesystem_, "second", "y", &rev));
  EXPECT_EQ(counts().transactions, 1);  // the open one: its process lives
  os.alive = false;
  OK(commit_file(filesystem_, "third", "z", &rev));
  EXPECT_EQ(counts().transactions, 0);
  apr_pool_destroy(p);
}

// A backup holds the records as one snapshot and exactly the content bytes
// they reference, whatever a writer appended after them; the copy verifies.
TEST_P(RepoTest, BackupCopiesWhatTheRecordsReference) {
  OK(try_commit(make_trunk));
  ostrel_revnum rev;
  OK(commit_file(filesystem_, "big", std::string(3 * 1024 * 1024, 'b'), &rev));
  const std::string pack = path_ + "/packs/pack-1";
  const auto committed = std::filesystem::file_size(pack);
  { std::ofstream(pack, std::ios::app) << "bytes of a writer in progress"; }
  const std::string copy = dir_ + "/copy";
  std::filesystem::create_directories(copy);
  OK(ostrel_fs__backup(filesystem_, copy.c_str(), (copy + "/fs.db").c_str(), pool_));
  EXPECT_EQ(std::filesystem::file_size(copy + "/packs/pack-1"), committed);
  std::filesystem::copy_file(path_ + "/format", copy + "/format");
  ostrel_repos *repos;
  OK(ostrel_repos_open2(&repos, copy.c_str(), nullptr, pool_));
  OK(ostrel_fs_verify(ostrel_repos_fs(repos), 0, rev, nullptr, nullptr, pool_));
  EXPECT_EQ(cat(root_at(rev), "big"), std::string(3 * 1024 * 1024, 'b'));
}

// ---------------------------------------------------------------------------
// A fault point that fails (the upgrade's; crashes, failures, concurrent
// committers and damage of every implementation are in
// storage_suite_test.cpp).

const char *g_fault_point = nullptr;

ostrel_error *fault_hook(const char *point) {
  if (!g_fault_point || std::strcmp(point, g_fault_point) != 0) return nullptr;
  return ostrel_error_createf(OSTREL_ERR_IO, nullptr, "Injected failure at %s", point);
}

// Makes POINT fail while it lives.
struct FailAt {
  explicit FailAt(const char *point) {
    g_fault_point = point;
    ostrel_fs__set_fault_hook(fault_hook);
  }
  ~FailAt() {
    ostrel_fs__set_fault_hook(nullptr);
    g_fault_point = nullptr;
  }
};

// A repository of format 2 or 3 upgrades to the newest format whole: every
// revision reads the same afterwards (trees, texts, changed paths, origins),
// verify passes, and commits go on, into directories of both layouts.  An
// upgrade that fails after converting every record leaves the old format as
// it was.
class UpgradeTest : public RepoTest {
 protected:
  // What revision REV reads as: its changed paths, the listing of every
  // directory of it and the text and origin of every file.
  std::string reading(ostrel_revnum rev) {
    std::string out;
    for (auto &[path, c] : changes(rev))
      out += path + " " + std::to_string(c.change_kind) + std::to_string(c.node_kind) +
             std::to_string(c.text_mod) + std::to_string(c.prop_mod) + " " +
             (c.copyfrom_path ? c.copyfrom_path : "-") + "@" + std::to_string(c.copyfrom_rev) + "\n";
    ostrel_fs_root *root = root_at(rev);
    std::vector<std::string> dirs{""};
    while (!dirs.empty()) {
      std::string dir = dirs.back();
      dirs.pop_back();
      const std::string listing = entries(root, dir.empty() ? "/" : dir.c_str());
      out += "[" + dir + "] " + listing + "\n";
      size_t start = 0;
      for (size_t sp; (sp = listing.find(' ', start)) != std::string::npos; start = sp + 1) {
        std::string name = listing.substr(start, sp - start);
        std::string path = dir.empty() ? name : dir + "/" + name;
        if (name.back() == '/') {
          dirs.push_back(path.substr(0, path.size() - 1));
        } else {
          out += path + ": " + cat(root, path.c_str()) + " from r" +
                 std::to_string(origin(root, path.c_str())) + "\n";
        }
      }
    }
    return out;
  }
};

TEST_P(UpgradeTest, OlderFormatsUpgradeToTheNewestWholeOrNotAtAll) {
  auto add = [](ostrel_fs_root *r, const std::string &path, const std::string &text) {
    OSTREL_ERR(ostrel_fs_make_file(r, path.c_str(), nullptr));
    return put(r, path.c_str(), text);
  };
  ostrel_revnum rev;
  OK(try_commit(make_trunk));
  OK(try_commit([](ostrel_fs_root *r) {
    OSTREL_ERR(put(r, "trunk/a", "two"));
    return propset(r, "trunk/sub/b", "p", "v");
  }));
  OK(try_commit([this](ostrel_fs_root *r) {
    OSTREL_ERR(ostrel_fs_copy(root_at(1), "trunk", r, "branch", nullptr));
    return ostrel_fs_delete(r, "branch/sub/b", nullptr);
  }));
  OK(try_commit([&add](ostrel_fs_root *r) -> ostrel_error * {
    OSTREL_ERR(ostrel_fs_make_dir(r, "wide", nullptr));
    for (int i = 0; i < 300; ++i)
      OSTREL_ERR(add(r, "wide/e" + std::to_string(i), "entry " + std::to_string(i)));
    return nullptr;
  }, &rev));
  std::vector<std::string> before;
  for (ostrel_revnum r = 0; r <= rev; ++r) before.push_back(reading(r));

  {
    FailAt fault("upgrade-written");
    int old_format = 0;
    EXPECT_NE(take_error(ostrel_repos_upgrade(path_.c_str(), &old_format, pool_)), "");
  }
  std::string format;
  std::getline(std::ifstream(path_ + "/format"), format);
  EXPECT_EQ(format, std::to_string(GetParam()));
  {
    // Still the old format, whole: every revision reads as before.
    ostrel_repos *again;
    OK(ostrel_repos_open2(&again, path_.c_str(), nullptr, pool_));
    ostrel_fs *kept = filesystem_;
    filesystem_ = ostrel_repos_fs(again);
    EXPECT_EQ(ostrel_fs__format(filesystem_), GetParam());
    for (ostrel_revnum r = 0; r <= rev; ++r) EXPECT_EQ(reading(r), before[r]) << "r" << r;
    filesystem_ = kept;
  }

  int old_format = 0;
  OK(ostrel_repos_upgrade(path_.c_str(), &old_format, pool_));
  EXPECT_EQ(old_format, GetParam());
  std::getline(std::ifstream(path_ + "/format"), format);
  EXPECT_EQ(format, std::to_string(OSTREL_REPOS_FORMAT));
  OK(ostrel_repos_open2(&repos_, path_.c_str(), nullptr, pool_));
  filesystem_ = ostrel_repos_fs(repos_);
  EXPECT_EQ(ostrel_fs__format(filesystem_), OSTREL_REPOS_FORMAT);
  for (ostrel_revnum r = 0; r <= rev; ++r) EXPECT_EQ(reading(r), before[r]) << "r" << r;
  OK(ostrel_fs_verify(filesystem_, 0, rev, nullptr, nullptr, pool_));

  // Commits after it: into an old directory (rows), a new one (chunks), and
  // a bulk one into the old wide directory (a chunked fork over it).
  OK(try_commit([&add](ostrel_fs_root *r) {
    OSTREL_ERR(add(r, "trunk/c", "three"));
    OSTREL_ERR(ostrel_fs_delete(r, "wide/e7", nullptr));
    OSTREL_ERR(ostrel_fs_make_dir(r, "fresh", nullptr));
    return add(r, "fresh/x", "ex");
  }));
  OK(try_commit([&add](ostrel_fs_root *r) {
    for (int i = 0; i < 300; ++i)
      OSTREL_ERR(add(r, "wide/n" + std::to_string(i), "new " + std::to_string(i)));
    return ostrel_fs_delete(r, "wide/e8", nullptr);
  }, &rev));
  for (ostrel_revnum r = 0; r + 2 <= rev; ++r) EXPECT_EQ(reading(r), before[r]) << "r" << r;
  const std::string last = reading(rev);
  EXPECT_NE(last.find("[wide] "), std::string::npos);
  EXPECT_EQ(last.find("wide/e7:"), std::string::npos);
  EXPECT_EQ(last.find("wide/e8:"), std::string::npos);
  EXPECT_NE(last.find("wide/e9: entry 9"), std::string::npos);
  EXPECT_NE(last.find("wide/n299: new 299"), std::string::npos);
  EXPECT_NE(last.find("fresh/x: ex"), std::string::npos);
  EXPECT_EQ(changes(rev).size(), 301u);
  OK(ostrel_fs_verify(filesystem_, 0, rev, nullptr, nullptr, pool_));
}

TEST_P(RepoTest, DamagedOrMissingDatabaseGivesAClearError) {
  OK(try_commit(make_trunk));
  std::string db = path_ + "/fs.db";
  struct Case {
    const char *name;
    std::function<void()> damage;
    apr_status_t code;
    const char *says;
  };
  const Case cases[] = {
      {"database missing", [&] { std::filesystem::rename(db, db + ".away"); },
       OSTREL_ERR_FS_CORRUPT, "missing"},
      {"database overwritten",
       [&] {
         std::filesystem::remove(db + "-wal");
         std::filesystem::remove(db + "-shm");
         FILE *f = std::fopen(db.c_str(), "w");
         std::fputs("this is not a database, not at all; it is just text......", f);
         std::fclose(f);
       },
       OSTREL_ERR_FS_CORRUPT, "damaged"},
      {"unknown format", [&] {
         FILE *f = std::fopen((path_ + "/format").c_str(), "w");
         std::fputs("99\n", f);
         std::fclose(f);
       },
       OSTREL_ERR_FS_BAD_FORMAT, "99"},
      {"format number out of range", [&] {
         FILE *f = std::fopen((path_ + "/format").c_str(), "w");
         std::fputs("99999999999999999999\n", f);
         std::fclose(f);
       },
       OSTREL_ERR_FS_CORRUPT, "/copy/format' holds '99999999999999999999'"},
      {"database emptied",
       [&] {
         std::filesystem::remove(db + "-wal");
         std::filesystem::remove(db + "-shm");
         std::filesystem::resize_file(db, 0);
       },
       OSTREL_ERR_FS_CORRUPT, "/copy/fs.db' is damaged"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    // A fresh copy of the repository for each kind of damage.
    std::string copy = dir_ + "/copy";
    std::filesystem::remove_all(copy);
    std::filesystem::copy(path_, copy, std::filesystem::copy_options::recursive);
    std::string saved_path = path_;
    path_ = copy;
    db = path_ + "/fs.db";
    c.damage();
    ostrel_repos *repos;
    std::string msg;
    ostrel_error *err = ostrel_repos_open2(&repos, path_.c_str(), nullptr, pool_);
    if (!err) {  // some damage shows only on first use
      ostrel_revnum y;
      err = ostrel_fs_youngest_rev(&y, ostrel_repos_fs(repos), pool_);
    }
    bool has_code = ostrel_error_find_cause(err, c.code) != nullptr;
    msg = take_error(err);
    EXPECT_TRUE(has_code) << msg;
    EXPECT_NE(msg.find(c.says), std::string::npos) << msg;
    path_ = saved_path;
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, RepoTest, ::testing::Values(2, 3, 5),
                         [](const ::testing::TestParamInfo<int> &f) {
                           return "Format" + std::to_string(f.param);
                         });
INSTANTIATE_TEST_SUITE_P(Formats, UpgradeTest, ::testing::Values(2, 3),
                         [](const ::testing::TestParamInfo<int> &f) {
                           return "Format" + std::to_string(f.param);
                         });

}  // namespace
