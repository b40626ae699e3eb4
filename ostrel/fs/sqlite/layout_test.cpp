// The local store's own layout: the plans SQLite makes of the statements the
// storage runs, and what an upgrade leaves of the tables it replaces.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>

#include <apr_strings.h>

#include "damage_for_tests.h"
#include "filesystem_test_helpers.h"
#include "handles.h"
#include "ostrel_fs.h"
#include "ostrel_repos.h"
#include "sqlite_meta.h"
#include "store.h"

namespace {

using fs_test::cat;
using fs_test::commit_change;
using fs_test::commit_file;
using fs_test::make_trunk;
using fs_test::put;

apr_hash_t *format_config(int format, apr_pool_t *pool) {
  apr_hash_t *config = apr_hash_make(pool);
  apr_hash_set(config, OSTREL_FS_CONFIG_FORMAT, APR_HASH_KEY_STRING,
               apr_psprintf(pool, "%d", format));
  return config;
}

// Whether the database of the repository in REPO_DIR has table NAME.
bool has_table(const std::string &repo_dir, const char *name) {
  ostrel::fs::Store db;
  EXPECT_EQ(fs_test::take_error(db.open(repo_dir + "/fs.db", false, 1000)), "");
  ostrel::fs::Stmt st;
  EXPECT_EQ(fs_test::take_error(
                db.prepare(st, "SELECT count(*) FROM sqlite_master WHERE type='table' AND name=?1")),
            "");
  st.bind_text(1, name);
  bool row = false;
  EXPECT_EQ(fs_test::take_error(st.step(&row)), "");
  return row && st.int64(0) > 0;
}

class SqliteLayout : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    pool_ = ostrel_pool_create(nullptr);
    path_ = temp_.path() + "/repo";
    OK(ostrel_repos_create(&repos_, path_.c_str(), format_config(GetParam(), pool_), pool_));
    filesystem_ = ostrel_repos_fs(repos_);
  }
  void TearDown() override { apr_pool_destroy(pool_); }

  ostrel_fs_root *root_at(ostrel_revnum rev) {
    ostrel_fs_root *root = nullptr;
    EXPECT_EQ(fs_test::take_error(ostrel_fs_revision_root(&root, filesystem_, rev, pool_)), "");
    return root;
  }

  apr_pool_t *pool_;
  ostrel_test::TempDir temp_{"ostrel-sqlite-layout"};
  std::string path_;
  ostrel_repos *repos_;
  ostrel_fs *filesystem_;
};

// The statements a commit, a listing or verify runs once per entry must
// find their rows through the index that bounds them: one planned on a wider
// index scans a whole directory per row and makes large directories
// quadratic.  The plans checked are those of the statements the storage
// prepared while doing the work below.
TEST_P(SqliteLayout, HotStatementsArePlannedOnTheIndexThatBoundsThem) {
  OK(commit_change(filesystem_, make_trunk));
  OK(commit_change(filesystem_, [](ostrel_fs_root *r) {
    OSTREL_ERR(put(r, "trunk/a", "two"));
    return ostrel_fs_delete(r, "trunk/sub/b", nullptr);
  }));
  OK(commit_change(filesystem_, [this](ostrel_fs_root *r) {
    return ostrel_fs_copy(root_at(1), "trunk", r, "branch", nullptr);
  }));
  apr_hash_t *listing = nullptr;
  OK(ostrel_fs_dir_entries(&listing, root_at(3), "branch/sub", pool_));
  EXPECT_EQ(apr_hash_count(listing), 1u);
  EXPECT_EQ(cat(root_at(3), "trunk/a", pool_), "two");
  ostrel_revnum origin = -1;
  OK(ostrel_fs_node_origin_rev(&origin, root_at(3), "branch/a", pool_));
  EXPECT_EQ(origin, 1);
  apr_int64_t lines, indexed;  // writes the origin answers kept in memory
  OK(ostrel_fs_node_origins_stats(&lines, &indexed, filesystem_, pool_));
  OK(ostrel_fs_verify(filesystem_, 0, 3, nullptr, nullptr, pool_));
  std::map<std::string, std::string> plans;
  OK(ostrel::fs::sqlite_query_plans(*filesystem_->meta, plans));
  struct Case {
    int format;             // 0: every format; 3: formats 3 and 5, unless 5 differs
    const char *statement;  // a fragment naming one statement
    const char *plan;
  };
  const Case cases[] = {
      {0, "UPDATE dirent SET end_rev", "dirent USING PRIMARY KEY (dkey=? AND name=?)"},
      {0, "SELECT child, kind, end_rev FROM dirent", "PRIMARY KEY (dkey=? AND name=? AND start_rev<?)"},
      {2, "SELECT name, child, kind FROM dirent WHERE dkey=?1 AND end_rev", "dirent_alive (dkey=? AND end_rev>?)"},
      {2, "SELECT name, child, kind FROM dirent WHERE dkey=?1 AND start_rev",
       "dirent_by_start (dkey=? AND start_rev>? AND start_rev<?)"},
      {3, "dirent WHERE dkey=?1 AND end_rev>?2 AND +start_rev<=?2", "dirent_alive (dkey=? AND end_rev>?)"},
      {3, "dirent WHERE dkey=?1 AND end_rev>?2 AND +start_rev>?2", "dirent_alive (dkey=? AND end_rev>?)"},
      {3, "FROM dirchunk WHERE dkey=?1 AND first<=?2", "PRIMARY KEY (dkey=? AND first<?)"},
      {3, "FROM dirchunk WHERE dkey=?1 ORDER BY first", "PRIMARY KEY (dkey=?)"},
      {0, "SELECT id FROM content WHERE sha", "content_by_sha (sha=?)"},
      {0, "DELETE FROM content WHERE txn", "content_by_txn (txn=?)"},
      {2, "FROM node WHERE created_rev=?1 AND pred IS NULL", "node_line_starts (created_rev=?)"},
      {-3, "FROM node WHERE id>=", "INTEGER PRIMARY KEY (rowid>? AND rowid<?)"},
      {5, "SELECT first, count, body FROM nodeblock WHERE first<=?1", "INTEGER PRIMARY KEY (rowid<?)"},
      {5, "FROM nodeblock WHERE first>=coalesce(", "INTEGER PRIMARY KEY (rowid>? AND rowid<?)"},
      {5, "SELECT first + count FROM nodeblock", "INTEGER PRIMARY KEY (rowid=?)"},
  };
  for (const Case &c : cases) {
    // Format 5 is format 3 with nodes in blocks: it runs format 3's
    // statements but for those of nodes (-3: format 3 alone).
    const int f = GetParam();
    if (c.format == -3 ? f != 3 : c.format && c.format != f && !(c.format == 3 && f == 5))
      continue;
    SCOPED_TRACE(c.statement);
    int found = 0;
    for (auto &[sql, plan] : plans) {
      if (sql.find(c.statement) == std::string::npos) continue;
      ++found;
      EXPECT_NE(plan.find(c.plan), std::string::npos) << sql << "\n" << plan;
    }
    EXPECT_EQ(found, 1);
  }
  // No statement reads a whole table that grows with the history, except
  // the statistics that count one.
  for (auto &[sql, plan] : plans) {
    if (sql == "SELECT id, pid FROM txn") continue;  // the live transactions only
    if (sql.rfind("SELECT count(*)", 0) == 0) continue;
    if (sql.rfind("SELECT coalesce(sum(lines), 0)", 0) == 0) continue;  // counts lines
    EXPECT_EQ(plan.find("SCAN "), std::string::npos) << sql << "\n" << plan;
  }
}

// An upgrade to format 5 drops the tables whose records it moved elsewhere:
// format 1's chunks (now in pack files), format 2's changed-path rows (now
// one encoded record a revision) and format 3's node rows (now in blocks).
TEST(SqliteUpgrade, DropsTheTablesItReplaces) {
  struct Case {
    int from;
    const char *table;
  };
  for (const Case &c : {Case{1, "chunk"}, Case{2, "changed_path"}, Case{3, "node"}}) {
    SCOPED_TRACE(c.from);
    ostrel_test::TempDir temp{"ostrel-sqlite-upgrade"};
    const std::string path = temp.path() + "/repo";
    apr_pool_t *pool = ostrel_pool_create(nullptr);
    {
      apr_pool_t *p = ostrel_pool_create(pool);
      ostrel_repos *repos;
      OK(ostrel_repos_create(&repos, path.c_str(), format_config(c.from == 3 ? 3 : 2, p), p));
      apr_pool_destroy(p);
    }
    if (c.from == 1) OK(ostrel::fs::rewrite_as_format1(path));
    {
      apr_pool_t *p = ostrel_pool_create(pool);
      ostrel_repos *repos;
      OK(ostrel_repos_open2(&repos, path.c_str(), nullptr, p));
      ostrel_revnum rev;
      OK(commit_file(ostrel_repos_fs(repos), "file", "some text", &rev));
      apr_pool_destroy(p);
    }
    EXPECT_TRUE(has_table(path, c.table));
    int old_format = 0;
    OK(ostrel_repos_upgrade(path.c_str(), &old_format, pool));
    EXPECT_EQ(old_format, c.from);
    EXPECT_FALSE(has_table(path, c.table));
    EXPECT_TRUE(has_table(path, "nodeblock"));
    apr_pool_destroy(pool);
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, SqliteLayout, ::testing::Values(2, 3, 5),
                         [](const ::testing::TestParamInfo<int> &f) {
                           return "Format" + std::to_string(f.param);
                         });

}  // namespace
