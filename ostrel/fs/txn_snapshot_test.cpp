// A transaction published by its writer and opened read-only through a
// second handle on the repository (as a hook's process opens it): what the
// reader sees, what it may not do, and that it never disturbs the writer.

#include <apr_hash.h>
#include <apr_strings.h>
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <string>

#include "ostrel_error_codes.h"
#include "ostrel_fs.h"
#include "ostrel_pools.h"
#include "ostrel_repos.h"
#include "ostrel_test_support.h"
#include "os.h"

namespace {

std::string take_error(ostrel_error *err) {
  std::string text = ostrel_test::chain_text(err);
  ostrel_error_clear(err);
  return text;
}

#define OK(expr) ASSERT_EQ(take_error(expr), "") << #expr

apr_status_t code_of(ostrel_error *err) {
  apr_status_t code = err ? err->apr_err : 0;
  ostrel_error_clear(err);
  return code;
}

// Against each local format a new repository may have (the parameter).
class TxnSnapshotTest : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    pool_ = ostrel_pool_create(nullptr);
    path_ = temp_.path() + "/repo";
    apr_hash_t *config = apr_hash_make(pool_);
    apr_hash_set(config, OSTREL_FS_CONFIG_FORMAT, APR_HASH_KEY_STRING,
                 apr_psprintf(pool_, "%d", GetParam()));
    ASSERT_EQ(take_error(ostrel_repos_create(&repos_, path_.c_str(), config, pool_)), "");
    filesystem_ = ostrel_repos_fs(repos_);
  }
  void TearDown() override { apr_pool_destroy(pool_); }

  // Writes TEXT as the contents of PATH in ROOT.
  void put(ostrel_fs_root *root, const char *path, const std::string &text) {
    ostrel_stream *s;
    OK(ostrel_fs_apply_text(&s, root, path, pool_));
    apr_size_t len = text.size();
    OK(ostrel_stream_write(s, text.data(), &len));
    OK(ostrel_stream_close(s));
  }
  std::string cat(ostrel_fs_root *root, const char *path) {
    ostrel_stream *s;
    ostrel_error *err = ostrel_fs_file_contents(&s, root, path, pool_);
    if (err) return "ERROR " + take_error(err);
    std::string out(1 << 16, '\0'), all;
    while (true) {
      apr_size_t len = out.size();
      err = ostrel_stream_read_full(s, out.data(), &len);
      if (err) return "ERROR " + take_error(err);
      all.append(out, 0, len);
      if (len < out.size()) return all;
    }
  }
  // The changed paths of ROOT as "K path (from P:R)" lines.
  std::string changes(ostrel_fs_root *root) {
    apr_hash_t *h = nullptr;
    ostrel_error *err = ostrel_fs_paths_changed2(&h, root, pool_);
    if (err) return "ERROR " + take_error(err);
    std::map<std::string, std::string> sorted;
    for (apr_hash_index_t *hi = apr_hash_first(pool_, h); hi; hi = apr_hash_next(hi)) {
      const void *key;
      void *val;
      apr_hash_this(hi, &key, nullptr, &val);
      auto *c = static_cast<ostrel_path_change *>(val);
      std::string line = std::string(1, "MADR"[c->change_kind]) + " " +
                         static_cast<const char *>(key) + (c->node_kind == ostrel_node_dir ? "/" : "");
      if (c->copyfrom_path) line += std::string(" (from ") + c->copyfrom_path + ":" + std::to_string(c->copyfrom_rev) + ")";
      sorted[static_cast<const char *>(key)] = line;
    }
    std::string out;
    for (auto &[k, v] : sorted) out += v + "\n";
    return out;
  }
  // A second handle on the repository, as another process would open it.
  ostrel_fs *other_handle(apr_pool_t *pool) {
    ostrel_repos *r = nullptr;
    EXPECT_EQ(take_error(ostrel_repos_open2(&r, path_.c_str(), nullptr, pool)), "");
    return r ? ostrel_repos_fs(r) : nullptr;
  }

  ostrel_test::TempDir temp_;
  apr_pool_t *pool_ = nullptr;
  std::string path_;
  ostrel_repos *repos_ = nullptr;
  ostrel_fs *filesystem_ = nullptr;
};

TEST_P(TxnSnapshotTest, AnotherHandleReadsWhatThePendingTransactionHolds) {
  // r1: /keep, /old.txt, /dir/a.txt
  ostrel_fs_txn *t1;
  ostrel_fs_root *r1;
  OK(ostrel_fs_begin_txn(&t1, filesystem_, 0, pool_));
  OK(ostrel_fs_txn_root(&r1, t1, pool_));
  OK(ostrel_fs_make_dir(r1, "keep", pool_));
  OK(ostrel_fs_make_dir(r1, "dir", pool_));
  OK(ostrel_fs_make_file(r1, "old.txt", pool_));
  put(r1, "old.txt", "old\n");
  OK(ostrel_fs_make_file(r1, "dir/a.txt", pool_));
  put(r1, "dir/a.txt", "a\n");
  ostrel_revnum rev;
  OK(ostrel_fs_commit_txn(nullptr, &rev, t1, pool_));

  // The pending change: a large new file (several chunks, some written as
  // rows before the commit, some not), a change, a delete, a copy, a
  // replacement, properties.
  ostrel_fs_txn *txn;
  ostrel_fs_root *root;
  OK(ostrel_fs_begin_txn(&txn, filesystem_, 1, pool_));
  OK(ostrel_fs_txn_root(&root, txn, pool_));
  std::string big;
  for (int i = 0; big.size() < (5u << 20) / 2; ++i) big += "line " + std::to_string(i) + "\n";
  OK(ostrel_fs_make_file(root, "big.txt", pool_));
  put(root, "big.txt", big);
  put(root, "dir/a.txt", "a changed\n");
  OK(ostrel_fs_delete(root, "old.txt", pool_));
  ostrel_fs_root *base;
  OK(ostrel_fs_revision_root(&base, filesystem_, 1, pool_));
  OK(ostrel_fs_copy(base, "dir", root, "copy", pool_));
  OK(ostrel_fs_delete(root, "keep", pool_));
  OK(ostrel_fs_make_file(root, "keep", pool_));
  OK(ostrel_fs_change_node_prop(root, "dir/a.txt", "colour", ostrel_string_create("blue", pool_), pool_));
  OK(ostrel_fs_change_txn_prop(txn, "ostrel:log", ostrel_string_create("pending", pool_), pool_));
  OK(ostrel_fs_publish_txn(txn, pool_));
  const std::string name = ostrel_fs_txn_name(txn, pool_);

  apr_pool_t *rp = ostrel_pool_create(pool_);
  ostrel_fs *other = other_handle(rp);
  ASSERT_NE(other, nullptr);
  ostrel_fs_txn *seen;
  OK(ostrel_fs_open_txn(&seen, other, name.c_str(), rp));
  ostrel_fs_root *sroot;
  OK(ostrel_fs_txn_root(&sroot, seen, rp));
  const std::string want =
      "A /big.txt\n"
      "A /copy/ (from /dir:1)\n"
      "M /dir/a.txt\n"
      "R /keep\n"
      "D /old.txt\n";
  EXPECT_EQ(changes(sroot), want);
  EXPECT_EQ(changes(root), want);  // the writer's own root says the same
  EXPECT_EQ(cat(sroot, "big.txt"), big);
  EXPECT_EQ(cat(sroot, "dir/a.txt"), "a changed\n");
  EXPECT_EQ(cat(sroot, "copy/a.txt"), "a\n");
  ostrel_string *v = nullptr;
  OK(ostrel_fs_node_prop(&v, sroot, "dir/a.txt", "colour", rp));
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(std::string(v->data, v->len), "blue");
  apr_hash_t *props;
  OK(ostrel_fs_txn_proplist(&props, seen, rp));
  auto *log = static_cast<ostrel_string *>(apr_hash_get(props, "ostrel:log", APR_HASH_KEY_STRING));
  ASSERT_NE(log, nullptr);
  EXPECT_EQ(std::string(log->data, log->len), "pending");

  // Read-only: no change call, no commit; closing it leaves the writer's
  // transaction whole.
  EXPECT_EQ(code_of(ostrel_fs_make_dir(sroot, "nope", rp)), OSTREL_ERR_FS_TXN_DEAD);
  EXPECT_EQ(code_of(ostrel_fs_change_txn_prop(seen, "x", nullptr, rp)), OSTREL_ERR_FS_TXN_DEAD);
  ostrel_revnum bad;
  EXPECT_EQ(code_of(ostrel_fs_commit_txn(nullptr, &bad, seen, rp)), OSTREL_ERR_FS_TXN_DEAD);
  OK(ostrel_fs_abort_txn(seen, rp));
  apr_pool_destroy(rp);

  ostrel_fs_unpublish_txn(txn, pool_);
  OK(ostrel_fs_commit_txn(nullptr, &rev, txn, pool_));
  ASSERT_EQ(rev, 2);
  ostrel_fs_root *r2;
  OK(ostrel_fs_revision_root(&r2, filesystem_, 2, pool_));
  EXPECT_EQ(cat(r2, "big.txt"), big);
  EXPECT_EQ(changes(r2), want);
  OK(ostrel_fs_verify(filesystem_, 0, 2, nullptr, nullptr, pool_));
  // Once ended it can no longer be opened.
  ostrel_fs_txn *gone;
  EXPECT_EQ(code_of(ostrel_fs_open_txn(&gone, filesystem_, name.c_str(), pool_)),
            OSTREL_ERR_FS_NO_SUCH_TRANSACTION);
}

TEST_P(TxnSnapshotTest, DeepTreesNamesAndDamage) {
  ostrel_fs_txn *txn;
  ostrel_fs_root *root;
  OK(ostrel_fs_begin_txn(&txn, filesystem_, 0, pool_));
  OK(ostrel_fs_txn_root(&root, txn, pool_));
  // A deep chain of new directories goes through the snapshot whole.
  std::string p;
  for (int i = 0; i < 1000; ++i) {
    p += (i ? "/d" : "d");
    OK(ostrel_fs_make_dir(root, p.c_str(), pool_));
  }
  OK(ostrel_fs_publish_txn(txn, pool_));
  const std::string name = ostrel_fs_txn_name(txn, pool_);
  ostrel_fs_txn *seen;
  OK(ostrel_fs_open_txn(&seen, filesystem_, name.c_str(), pool_));
  ostrel_fs_root *sroot;
  OK(ostrel_fs_txn_root(&sroot, seen, pool_));
  ostrel_node_kind kind;
  OK(ostrel_fs_check_path(&kind, sroot, p.c_str(), pool_));
  EXPECT_EQ(kind, ostrel_node_dir);

  for (const char *bad : {"", "1", "../1-1", "1-1/x", "a-b", "1-"}) {
    ostrel_fs_txn *t;
    EXPECT_EQ(code_of(ostrel_fs_open_txn(&t, filesystem_, bad, pool_)), OSTREL_ERR_FS_NO_SUCH_TRANSACTION)
        << bad;
  }
  // A snapshot cut short is damage, not a smaller transaction.
  const std::string file = path_ + "/txns/" + name;
  std::string text;
  {
    std::ifstream in(file, std::ios::binary);
    text.assign(std::istreambuf_iterator<char>(in), {});
  }
  for (size_t cut : {size_t{5}, text.size() / 2, text.size() - 1}) {
    std::ofstream(file, std::ios::binary | std::ios::trunc) << text.substr(0, cut);
    ostrel_fs_txn *t;
    EXPECT_EQ(code_of(ostrel_fs_open_txn(&t, filesystem_, name.c_str(), pool_)), OSTREL_ERR_FS_CORRUPT)
        << cut;
  }
  ostrel_fs_unpublish_txn(txn, pool_);
}

// A process that publishes a pending transaction on its own handle, writes
// the transaction's name to a pipe, then either is killed at once (KILLED)
// or waits until the pipe RELEASE (its two ends) ends and leaves without
// any clean-up.  Returns its pid and the name.
pid_t publisher(const std::string &repo, bool killed, const int release[2], std::string *name) {
  int fds[2];
  if (pipe(fds) != 0) return -1;
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    close(release[1]);
    apr_pool_t *pool = ostrel_pool_create(nullptr);
    ostrel_repos *r;
    ostrel_fs_txn *txn;
    ostrel_fs_root *root;
    if (ostrel_repos_open2(&r, repo.c_str(), nullptr, pool) ||
        ostrel_fs_begin_txn(&txn, ostrel_repos_fs(r), 0, pool) ||
        ostrel_fs_txn_root(&root, txn, pool) || ostrel_fs_make_dir(root, "pending", pool) ||
        ostrel_fs_publish_txn(txn, pool))
      _exit(1);
    const std::string n = std::string(ostrel_fs_txn_name(txn, pool)) + "\n";
    if (write(fds[1], n.data(), n.size()) != static_cast<ssize_t>(n.size())) _exit(1);
    if (killed) kill(getpid(), SIGKILL);
    char c;
    while (read(release[0], &c, 1) > 0) {
    }
    _exit(0);
  }
  close(fds[1]);
  std::string got;
  char c;
  while (read(fds[0], &c, 1) == 1 && c != '\n') got += c;
  close(fds[0]);
  *name = got;
  return pid;
}

// A committer killed while its snapshot was published leaves the snapshot;
// the next begin removes it, and only it: snapshots whose owner lives (in
// another process or in this one) stay readable.
TEST_P(TxnSnapshotTest, SnapshotsOfKilledCommittersAreSweptAndLiveOnesStay) {
  auto exists = [this](const std::string &name) {
    return access((path_ + "/txns/" + name).c_str(), F_OK) == 0;
  };
  auto begin_and_abort = [this] {
    ostrel_fs_txn *t;
    OK(ostrel_fs_begin_txn(&t, filesystem_, 0, pool_));
    OK(ostrel_fs_abort_txn(t, pool_));
  };
  int release[2];
  ASSERT_EQ(pipe(release), 0);
  std::string dead, alive;
  // The killed one last: the begin of any after it would sweep its
  // snapshot (or, its transaction's id being free again, reuse the name).
  const pid_t living = publisher(path_, false, release, &alive);
  ostrel_fs_txn *mine;
  ostrel_fs_root *root;
  OK(ostrel_fs_begin_txn(&mine, filesystem_, 0, pool_));
  OK(ostrel_fs_txn_root(&root, mine, pool_));
  OK(ostrel_fs_make_dir(root, "mine", pool_));
  OK(ostrel_fs_publish_txn(mine, pool_));
  const std::string own = ostrel_fs_txn_name(mine, pool_);
  const pid_t killed = publisher(path_, true, release, &dead);
  close(release[0]);
  ASSERT_FALSE(dead.empty());
  ASSERT_FALSE(alive.empty());
  int status;
  ASSERT_EQ(waitpid(killed, &status, 0), killed);
  ASSERT_TRUE(WIFSIGNALED(status));
  ASSERT_TRUE(exists(dead)) << "the killed committer left its snapshot";

  begin_and_abort();
  EXPECT_FALSE(exists(dead));
  EXPECT_FALSE(exists(dead + ".lock"));
  ostrel_fs_txn *seen;
  EXPECT_EQ(code_of(ostrel_fs_open_txn(&seen, filesystem_, dead.c_str(), pool_)),
            OSTREL_ERR_FS_NO_SUCH_TRANSACTION);
  for (const std::string &name : {alive, own}) {
    OK(ostrel_fs_open_txn(&seen, filesystem_, name.c_str(), pool_));
    ostrel_fs_root *sroot;
    OK(ostrel_fs_txn_root(&sroot, seen, pool_));
    ostrel_node_kind kind;
    OK(ostrel_fs_check_path(&kind, sroot, name == own ? "mine" : "pending", pool_));
    EXPECT_EQ(kind, ostrel_node_dir) << name;
  }

  // The other owner goes without removing anything: its snapshot goes with
  // the next begin.  This one's own goes when its transaction ends.
  close(release[1]);
  ASSERT_EQ(waitpid(living, &status, 0), living);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_TRUE(exists(alive));
  begin_and_abort();
  EXPECT_FALSE(exists(alive));
  EXPECT_TRUE(exists(own));
  OK(ostrel_fs_abort_txn(mine, pool_));
  EXPECT_FALSE(exists(own));
  EXPECT_FALSE(exists(own + ".lock"));
}

INSTANTIATE_TEST_SUITE_P(Formats, TxnSnapshotTest, ::testing::Values(2, 3),
                         [](const ::testing::TestParamInfo<int> &f) {
                           return "Format" + std::to_string(f.param);
                         });

// A snapshot is read with a generous limit (a damaged file must not be
// read without end); the limit must not be what a small file costs.
TEST(SmallFileRead, TakesWhatTheFileHoldsUnderAnyLimit) {
  ostrel_test::TempDir temp;
  std::string path = temp.path() + "/small";
  std::ofstream(path) << "seven b";
  struct Case {
    size_t limit;
    const char *want;
  } cases[] = {{size_t{1} << 40, "seven b"}, {7, "seven b"}, {3, "sev"}, {0, ""}};
  for (const Case &c : cases) {
    std::string data = "stale";
    bool found = false;
    ASSERT_EQ(take_error(ostrel::os::current().read_small_file(path, c.limit, &data, &found)), "");
    EXPECT_TRUE(found);
    EXPECT_EQ(data, c.want) << "limit " << c.limit;
  }
  std::string data;
  bool found = true;
  ASSERT_EQ(take_error(ostrel::os::current().read_small_file(temp.path() + "/none", 10, &data, &found)), "");
  EXPECT_FALSE(found);
}

}  // namespace
