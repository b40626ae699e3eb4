// The query plans of the statements the SQLite store really runs.

#include <functional>
#include <map>
#include <string>

#include "filesystem_test_helpers.h"
#include "handles.h"
#include "ostrel_repos.h"
#include "sqlite/sqlite_meta.h"

namespace {

using fs_test::make_trunk;
using fs_test::put;
using fs_test::take_error;

class QueryPlanTest : public ::testing::Test {
 protected:
  void SetUp() override {
    pool_ = ostrel_pool_create(nullptr);
    ostrel_repos *repos;
    OK(ostrel_repos_create(&repos, (dir_.path() + "/repo").c_str(), nullptr, pool_));
    filesystem_ = ostrel_repos_fs(repos);
  }
  void TearDown() override { apr_pool_destroy(pool_); }

  ostrel_error *try_commit(const std::function<ostrel_error *(ostrel_fs_root *)> &change) {
    return fs_test::commit_change(filesystem_, change);
  }

  ostrel_fs_root *root_at(ostrel_revnum rev) {
    ostrel_fs_root *root = nullptr;
    EXPECT_EQ(take_error(ostrel_fs_revision_root(&root, filesystem_, rev, pool_)), "");
    return root;
  }

  ostrel_test::TempDir dir_{"ostrel-plan-test"};
  apr_pool_t *pool_ = nullptr;
  ostrel_fs *filesystem_ = nullptr;
};

// The statements a commit, a listing or verify runs once per entry must
// find their rows through the index that bounds them: one planned on a wider
// index scans a whole directory per row and makes large directories
// quadratic.  The plans checked are those of the statements the storage
// prepared while doing the work below.
TEST_F(QueryPlanTest, HotStatementsArePlannedOnTheIndexThatBoundsThem) {
  OK(try_commit(make_trunk));
  OK(try_commit([](ostrel_fs_root *r) {
    OSTREL_ERR(put(r, "trunk/a", "two"));
    return ostrel_fs_delete(r, "trunk/sub/b", nullptr);
  }));
  OK(try_commit([this](ostrel_fs_root *r) { return ostrel_fs_copy(root_at(1), "trunk", r, "branch", nullptr); }));
  apr_hash_t *entries;
  OK(ostrel_fs_dir_entries(&entries, root_at(3), "branch/sub", pool_));
  EXPECT_EQ(apr_hash_count(entries), 1u);
  EXPECT_EQ(fs_test::cat(root_at(3), "trunk/a", pool_), "two");
  ostrel_revnum origin = -2;
  OK(ostrel_fs_node_origin_rev(&origin, root_at(3), "branch/a", pool_));
  EXPECT_EQ(origin, 1);
  apr_int64_t lines, indexed;  // writes the origin answers kept in memory
  OK(ostrel_fs_node_origins_stats(&lines, &indexed, filesystem_, pool_));
  OK(ostrel_fs_verify(filesystem_, 0, 3, nullptr, nullptr, pool_));
  std::map<std::string, std::string> plans;
  OK(ostrel::fs::sqlite_query_plans(*filesystem_->meta, plans));
  struct Case {
    const char *statement;  // a fragment naming one statement
    const char *plan;
  };
  const Case cases[] = {
      {"UPDATE dirent SET end_rev", "dirent USING PRIMARY KEY (dkey=? AND name=?)"},
      {"SELECT child, kind, end_rev FROM dirent", "PRIMARY KEY (dkey=? AND name=? AND start_rev<?)"},
      {"SELECT name, child, kind FROM dirent WHERE dkey=?1 AND end_rev", "dirent_alive (dkey=? AND end_rev>?)"},
      {"SELECT name, child, kind FROM dirent WHERE dkey=?1 AND start_rev",
       "dirent_by_start (dkey=? AND start_rev>? AND start_rev<?)"},
      {"SELECT id FROM content WHERE sha", "content_by_sha (sha=?)"},
      {"DELETE FROM content WHERE txn", "content_by_txn (txn=?)"},
      {"FROM node WHERE created_rev=?1 AND pred IS NULL", "node_line_starts (created_rev=?)"},
  };
  for (const Case &c : cases) {
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
    EXPECT_EQ(plan.find("SCAN "), std::string::npos) << sql << "\n" << plan;
  }
}

}  // namespace
