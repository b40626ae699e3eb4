// The storage suite over each real implementation, from one table: a local
// repository (SQLite and pack files) and one in PostgreSQL go through the
// same crash points, injected failures, concurrent committers and damage,
// through the public API only, and must come out the same.

#include <apr_hash.h>
#include <libpq-fe.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <functional>

#include "../filesystem_test_helpers.h"
#include "../meta.h"
#include "ostrel_pg_fixture.h"
#include "ostrel_repos.h"

using fs_test::cat;
using fs_test::code_of;
using fs_test::put;
using fs_test::take_error;

namespace {

// kLocal2: a local repository of format 2 (kLocal: the newest format).
enum class Backend { kLocal, kLocal2, kPostgres };

std::string name_of(const ::testing::TestParamInfo<Backend> &info) {
  return info.param == Backend::kLocal    ? "Local"
         : info.param == Backend::kLocal2 ? "LocalFormat2"
                                          : "Postgres";
}

const char *g_point = nullptr;
bool g_kill = false;

ostrel_error *hook(const char *point) {
  if (!g_point || std::strcmp(point, g_point) != 0) return nullptr;
  if (g_kill) raise(SIGKILL);
  return ostrel_error_createf(OSTREL_ERR_IO, nullptr, "Injected failure at %s", point);
}

struct Fault {
  Fault(const char *point, bool kill) {
    g_point = point;
    g_kill = kill;
    ostrel_fs__set_fault_hook(hook);
  }
  ~Fault() {
    ostrel_fs__set_fault_hook(nullptr);
    g_point = nullptr;
  }
};

// Commits files PATHS (each with TEXT) on the youngest revision.
ostrel_error *commit_files(ostrel_fs *filesystem, const std::vector<std::string> &paths,
                           const std::string &text, ostrel_revnum *rev) {
  apr_pool_t *p = ostrel_pool_create(nullptr);
  ostrel_error *err = [&]() -> ostrel_error * {
    ostrel_revnum y;
    OSTREL_ERR(ostrel_fs_youngest_rev(&y, filesystem, p));
    ostrel_fs_txn *txn;
    OSTREL_ERR(ostrel_fs_begin_txn(&txn, filesystem, y, p));
    ostrel_fs_root *root;
    OSTREL_ERR(ostrel_fs_txn_root(&root, txn, p));
    for (const std::string &path : paths) {
      OSTREL_ERR(ostrel_fs_make_file(root, path.c_str(), p));
      OSTREL_ERR(put(root, path.c_str(), text + path));
    }
    return ostrel_fs_commit_txn(nullptr, rev, txn, p);
  }();
  apr_pool_destroy(p);
  return err;
}

std::vector<std::string> many(const std::string &prefix, int n) {
  std::vector<std::string> out;
  for (int i = 0; i < n; ++i) out.push_back(prefix + std::to_string(i));
  return out;
}

class StorageSuite : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    pool_ = ostrel_pool_create(nullptr);
    path_ = dir_.path() + "/repo";
    if (GetParam() == Backend::kPostgres) {
      OSTREL_NEED_POSTGRES(cluster);
      cluster_ = &cluster;
      static int n = 0;
      conninfo_ = cluster.createdb("s" + std::to_string(getpid()) + "_" + std::to_string(++n));
      OK(ostrel_repos_create_postgres(&repos_, path_.c_str(), conninfo_.c_str(), nullptr, pool_));
    } else {
      apr_hash_t *config = apr_hash_make(pool_);
      if (GetParam() == Backend::kLocal2)
        apr_hash_set(config, OSTREL_FS_CONFIG_FORMAT, APR_HASH_KEY_STRING, "2");
      OK(ostrel_repos_create(&repos_, path_.c_str(), config, pool_));
    }
    filesystem_ = ostrel_repos_fs(repos_);
  }
  void TearDown() override { apr_pool_destroy(pool_); }

  ostrel_fs *reopen() {
    ostrel_repos *repos;
    EXPECT_EQ(take_error(ostrel_repos_open2(&repos, path_.c_str(), nullptr, pool_)), "");
    return ostrel_repos_fs(repos);
  }

  ostrel_revnum youngest(ostrel_fs *filesystem) {
    ostrel_revnum y = -1;
    EXPECT_EQ(take_error(ostrel_fs_youngest_rev(&y, filesystem, pool_)), "");
    return y;
  }

  ostrel_fs_root *root_at(ostrel_fs *filesystem, ostrel_revnum rev) {
    ostrel_fs_root *root = nullptr;
    EXPECT_EQ(take_error(ostrel_fs_revision_root(&root, filesystem, rev, pool_)), "");
    return root;
  }

  // Runs BODY in a child with its own handle; returns its wait status.
  int in_child(const std::function<ostrel_error *(ostrel_fs *)> &body) {
    pid_t pid = fork();
    if (pid == 0) {
      apr_pool_t *pool = ostrel_pool_create(nullptr);
      ostrel_repos *repos;
      ostrel_error *err = ostrel_repos_open2(&repos, path_.c_str(), nullptr, pool);
      if (!err) err = body(ostrel_repos_fs(repos));
      if (err) std::fprintf(stderr, "child: %s", take_error(err).c_str());
      _exit(err ? 3 : 0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return status;
  }

  // Flips one stored byte of the contents of every file (the local packs,
  // or the chunks in the database).
  void damage_contents() {
    if (GetParam() == Backend::kPostgres) {
      PGconn *c = PQconnectdb(conninfo_.c_str());
      PGresult *r = PQexec(c, "UPDATE blob SET data = set_byte(data, length(data) / 2, "
                              "get_byte(data, length(data) / 2) # 255)");
      EXPECT_EQ(PQresultStatus(r), PGRES_COMMAND_OK) << PQerrorMessage(c);
      PQclear(r);
      PQfinish(c);
      return;
    }
    for (auto &f : std::filesystem::directory_iterator(path_ + "/packs")) {
      FILE *file = std::fopen(f.path().c_str(), "r+b");
      ASSERT_NE(file, nullptr);
      long middle = static_cast<long>(f.file_size() / 2);
      std::fseek(file, middle, SEEK_SET);
      int c = std::fgetc(file);
      std::fseek(file, middle, SEEK_SET);
      std::fputc(c ^ 0xff, file);
      std::fclose(file);
    }
  }

  ostrel_test::TempDir dir_{"ostrel-suite"};
  std::string path_;
  std::string conninfo_;
  ostrel_test::PgCluster *cluster_ = nullptr;
  apr_pool_t *pool_ = nullptr;
  ostrel_repos *repos_ = nullptr;
  ostrel_fs *filesystem_ = nullptr;
};

TEST_P(StorageSuite, ProcessKilledAtEachPointLeavesTheLastRevision) {
  ostrel_revnum rev;
  OK(commit_files(filesystem_, {"keep"}, "kept", &rev));
  const std::string big(3 * 1024 * 1024, 'x');
  for (const char *point : {"upload-chunk", "commit-locked", "commit-written"}) {
    for (bool large : {true, false}) {
      SCOPED_TRACE(std::string(point) + (large ? " large" : " many small"));
      int status = in_child([&](ostrel_fs *filesystem) {
        Fault fault(point, true);
        ostrel_revnum r;
        return large ? commit_files(filesystem, {"big"}, big, &r)
                     : commit_files(filesystem, many("small", 300), "s", &r);
      });
      ASSERT_TRUE(WIFSIGNALED(status)) << status;
      ostrel_fs *filesystem = reopen();
      EXPECT_EQ(youngest(filesystem), 1);
      OK(ostrel_fs_verify(filesystem, 0, 1, nullptr, nullptr, pool_));
    }
  }
  ostrel_fs *filesystem = reopen();
  OK(commit_files(filesystem, {"after"}, "after", &rev));
  EXPECT_EQ(rev, 2);
  EXPECT_EQ(cat(root_at(filesystem, 2), "after", pool_), "afterafter");
  OK(ostrel_fs_verify(filesystem, 0, 2, nullptr, nullptr, pool_));
}

TEST_P(StorageSuite, FailureAtEachPointWritesNothingAndTheHandleGoesOn) {
  ostrel_revnum rev;
  OK(commit_files(filesystem_, {"keep"}, "kept", &rev));
  for (const char *point : {"upload-chunk", "commit-locked", "commit-written"}) {
    SCOPED_TRACE(point);
    {
      Fault fault(point, false);
      std::string msg;
      EXPECT_NE(code_of(commit_files(filesystem_, many("f", 100), "x", &rev), &msg), 0);
      EXPECT_NE(msg.find("Injected failure"), std::string::npos) << msg;
    }
    EXPECT_EQ(youngest(filesystem_), 1);
  }
  OK(commit_files(filesystem_, many("f", 100), "x", &rev));
  EXPECT_EQ(rev, 2);
  ostrel_fs *other = reopen();
  EXPECT_EQ(cat(root_at(other, 2), "f42", pool_), "xf42");
  OK(ostrel_fs_verify(other, 0, 2, nullptr, nullptr, pool_));
}

TEST_P(StorageSuite, ConcurrentCommittersMakeSequentialRevisions) {
  constexpr int kChildren = 4, kEach = 5;
  std::vector<pid_t> pids;
  for (int c = 0; c < kChildren; ++c) {
    pid_t pid = fork();
    if (pid == 0) {
      apr_pool_t *pool = ostrel_pool_create(nullptr);
      ostrel_repos *repos;
      ostrel_error *err = ostrel_repos_open2(&repos, path_.c_str(), nullptr, pool);
      for (int i = 0; i < kEach && !err; ++i) {
        ostrel_revnum r;
        err = commit_files(ostrel_repos_fs(repos),
                           {"c" + std::to_string(c) + "-" + std::to_string(i)}, "t", &r);
      }
      _exit(err ? 3 : 0);
    }
    pids.push_back(pid);
  }
  for (pid_t pid : pids) {
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  ostrel_fs *filesystem = reopen();
  ASSERT_EQ(youngest(filesystem), kChildren * kEach);
  apr_hash_t *entries;
  OK(ostrel_fs_dir_entries(&entries, root_at(filesystem, kChildren * kEach), "", pool_));
  EXPECT_EQ(apr_hash_count(entries), static_cast<unsigned>(kChildren * kEach));
  // One file more in each revision: none lost, none twice.
  for (ostrel_revnum r = 1; r <= kChildren * kEach; ++r) {
    OK(ostrel_fs_dir_entries(&entries, root_at(filesystem, r), "", pool_));
    EXPECT_EQ(apr_hash_count(entries), static_cast<unsigned>(r)) << r;
  }
  OK(ostrel_fs_verify(filesystem, 0, kChildren * kEach, nullptr, nullptr, pool_));
}

TEST_P(StorageSuite, DamagedContentsAreFoundByVerifyAndByReads) {
  ostrel_revnum rev;
  std::string big(300000, 0);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 7919) >> 3);
  OK(commit_files(filesystem_, {"a"}, big, &rev));
  OK(ostrel_fs_verify(filesystem_, 0, rev, nullptr, nullptr, pool_));
  damage_contents();
  ostrel_fs *filesystem = reopen();
  std::string msg;
  EXPECT_EQ(code_of(ostrel_fs_verify(filesystem, 0, rev, nullptr, nullptr, pool_), &msg),
            OSTREL_ERR_FS_CORRUPT)
      << msg;
  EXPECT_EQ(cat(root_at(filesystem, rev), "a", pool_).rfind("ERROR: ", 0), 0u);
}

INSTANTIATE_TEST_SUITE_P(Backends, StorageSuite,
                         ::testing::Values(Backend::kLocal, Backend::kLocal2, Backend::kPostgres),
                         name_of);

}  // namespace
