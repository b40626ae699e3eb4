// The commit logic on the in-memory stores: conflicts, and what every
// failure of the stores below (a failed write at any point, a full disk, a
// held lock, an unknown commit outcome, a crash that drops unsynced data)
// leaves behind.  No engine runs here; the same logic on the SQLite store is
// tested in filesystem_test.cpp.

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>

#include "handles.h"
#include "memory/memory_stores.h"
#include "filesystem_test_helpers.h"
#include "ostrel_fs.h"
#include "ostrel_pools.h"

using namespace ostrel::fs;

namespace {

using fs_test::code_of;
using fs_test::put;
using fs_test::take_error;


class MemoryRepoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    pool_ = ostrel_pool_create(nullptr);
    disk_ = std::make_shared<MemoryDisk>();
    reopen();
  }
  void TearDown() override { apr_pool_destroy(pool_); }

  // A new handle on the same disk, as another process would open it.
  void reopen() {
    OK(open_with_stores(&filesystem_, make_memory_meta(disk_, "2026-12-10T00:00:00.000000Z"),
                        make_memory_contents(disk_), pool_));
  }

  ostrel_error *try_commit(const std::function<ostrel_error *(ostrel_fs_root *)> &change,
                           ostrel_revnum *new_rev = nullptr, ostrel_revnum base = -1,
                           const char **conflict = nullptr) {
    apr_pool_t *p = ostrel_pool_create(pool_);
    ostrel_error *err = [&]() -> ostrel_error * {
      ostrel_revnum y;
      OSTREL_ERR(ostrel_fs_youngest_rev(&y, filesystem_, p));
      ostrel_fs_txn *txn;
      OSTREL_ERR(ostrel_fs_begin_txn(&txn, filesystem_, base < 0 ? y : base, p));
      ostrel_fs_root *root;
      OSTREL_ERR(ostrel_fs_txn_root(&root, txn, p));
      OSTREL_ERR(change(root));
      ostrel_revnum rev = -1;
      OSTREL_ERR(ostrel_fs_commit_txn(conflict, &rev, txn, pool_));
      if (new_rev) *new_rev = rev;
      return nullptr;
    }();
    apr_pool_destroy(p);  // aborts a transaction that did not commit
    return err;
  }

  ostrel_revnum youngest() {
    ostrel_revnum y = -1;
    EXPECT_EQ(take_error(ostrel_fs_youngest_rev(&y, filesystem_, pool_)), "");
    return y;
  }

  std::string cat(ostrel_revnum rev, const char *path) {
    ostrel_fs_root *root;
    ostrel_error *err = ostrel_fs_revision_root(&root, filesystem_, rev, pool_);
    if (err) return "ERROR: " + take_error(err);
    return fs_test::cat(root, path, pool_);
  }

  apr_pool_t *pool_ = nullptr;
  std::shared_ptr<MemoryDisk> disk_;
  ostrel_fs *filesystem_ = nullptr;
};

// r1: /trunk/a ("alpha"), /trunk/big (two chunks and a bit).
ostrel_error *make_trunk(ostrel_fs_root *root) {
  OSTREL_ERR(ostrel_fs_make_dir(root, "trunk", nullptr));
  OSTREL_ERR(ostrel_fs_make_file(root, "trunk/a", nullptr));
  OSTREL_ERR(put(root, "trunk/a", "alpha"));
  OSTREL_ERR(ostrel_fs_make_file(root, "trunk/big", nullptr));
  return put(root, "trunk/big", std::string(2 * kChunkSize + 5, 'b'));
}

// The change every fault case below tries to commit over r1.
ostrel_error *second_change(ostrel_fs_root *root) {
  OSTREL_ERR(put(root, "trunk/a", "alpha, edited in the second revision"));
  OSTREL_ERR(ostrel_fs_make_file(root, "trunk/c", nullptr));
  OSTREL_ERR(put(root, "trunk/c", std::string(kChunkSize + 1, 'c')));
  return ostrel_fs_delete(root, "trunk/big", nullptr);
}

TEST_F(MemoryRepoTest, CommitsReadBackAndConflictsAreFoundWithoutAnyEngine) {
  ostrel_revnum rev;
  OK(try_commit(make_trunk, &rev));
  EXPECT_EQ(rev, 1);
  EXPECT_EQ(cat(1, "trunk/a"), "alpha");
  EXPECT_EQ(cat(1, "trunk/big"), std::string(2 * kChunkSize + 5, 'b'));
  OK(try_commit([](ostrel_fs_root *r) { return put(r, "trunk/a", "from r1"); }, &rev));
  // A change based on r1 to the file r2 changed is out of date, naming it.
  const char *conflict = nullptr;
  std::string msg;
  EXPECT_EQ(code_of(try_commit([](ostrel_fs_root *r) { return put(r, "trunk/a", "stale"); },
                               nullptr, 1, &conflict),
                    &msg),
            OSTREL_ERR_FS_OUT_OF_DATE);
  EXPECT_NE(msg.find("'/trunk/a'"), std::string::npos) << msg;
  // One based on r1 that touches another path goes in, keeping r2's change.
  OK(try_commit([](ostrel_fs_root *r) {
    OSTREL_ERR(ostrel_fs_make_file(r, "trunk/new", nullptr));
    return put(r, "trunk/new", "new");
  }, &rev, 1));
  EXPECT_EQ(rev, 3);
  EXPECT_EQ(cat(3, "trunk/a"), "from r1");
  EXPECT_EQ(cat(3, "trunk/new"), "new");
  OK(ostrel_fs_verify(filesystem_, 0, 3, nullptr, nullptr, pool_));
}

// A write that fails at any point of a commit (uploads, records, the commit
// point) leaves the repository exactly as it was, and the commit can be
// made afterwards.  Every write of the commit is tried in turn.
TEST_F(MemoryRepoTest, AFailedWriteAtEveryPointOfACommitChangesNothing) {
  OK(try_commit(make_trunk));
  const int64_t before = disk_->writes();
  OK(try_commit(second_change));
  const int64_t per_commit = disk_->writes() - before;
  ASSERT_GT(per_commit, 5);
  // Back to r1 on a fresh disk for each case.
  for (int64_t n = 0; n < per_commit; ++n) {
    SCOPED_TRACE("the write that fails: " + std::to_string(n));
    disk_ = std::make_shared<MemoryDisk>();
    reopen();
    OK(try_commit(make_trunk));
    disk_->fail_after(n);
    std::string msg;
    EXPECT_EQ(code_of(try_commit(second_change), &msg), OSTREL_ERR_FS_GENERAL);
    EXPECT_NE(msg.find("injected write failure"), std::string::npos) << msg;
    EXPECT_EQ(youngest(), 1);
    EXPECT_EQ(cat(1, "trunk/a"), "alpha");
    EXPECT_EQ(cat(1, "trunk/big"), std::string(2 * kChunkSize + 5, 'b'));
    // Nothing half-written stays: a new handle commits the same change.
    reopen();
    ostrel_revnum rev;
    OK(try_commit(second_change, &rev));
    EXPECT_EQ(rev, 2);
    EXPECT_EQ(cat(2, "trunk/c"), std::string(kChunkSize + 1, 'c'));
    OK(ostrel_fs_verify(filesystem_, 0, 2, nullptr, nullptr, pool_));
  }
}

// A full disk and a held lock have their own codes: the caller frees space
// or tries later, and nothing is written in either case.
TEST_F(MemoryRepoTest, FullDiskAndHeldLockSayWhatToDo) {
  OK(try_commit(make_trunk));
  struct Case {
    const char *name;
    std::function<void(MemoryDisk &, bool)> set;
    apr_status_t code;
  };
  const Case cases[] = {
      {"full disk", [](MemoryDisk &d, bool on) { d.set_full(on); }, OSTREL_ERR_FS_FULL},
      {"held lock", [](MemoryDisk &d, bool on) { d.hold_lock(on); }, OSTREL_ERR_FS_BUSY},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    c.set(*disk_, true);
    EXPECT_EQ(code_of(try_commit(second_change)), c.code);
    c.set(*disk_, false);
    EXPECT_EQ(youngest(), 1);
    EXPECT_EQ(cat(1, "trunk/a"), "alpha");
  }
  OK(try_commit(second_change));
  EXPECT_EQ(youngest(), 2);
}

// When the outcome of the commit point is unknown, the handle refuses every
// further write and says why; a new handle sees what really happened, and
// writes again.  Both outcomes are tried.
TEST_F(MemoryRepoTest, AfterAnUncertainCommitTheHandleStopsWriting) {
  for (bool applied : {true, false}) {
    SCOPED_TRACE(applied ? "the commit happened" : "the commit did not happen");
    disk_ = std::make_shared<MemoryDisk>();
    reopen();
    OK(try_commit(make_trunk));
    disk_->uncertain_commit(applied);
    std::string msg;
    EXPECT_EQ(code_of(try_commit(second_change), &msg), OSTREL_ERR_FS_UNCERTAIN);
    EXPECT_NE(msg.find("outcome of a commit is unknown"), std::string::npos) << msg;
    // No transaction, no commit through this handle any more.
    msg.clear();
    EXPECT_EQ(code_of(try_commit([](ostrel_fs_root *r) { return put(r, "trunk/a", "more"); }),
                      &msg),
              OSTREL_ERR_FS_UNCERTAIN);
    EXPECT_NE(msg.find("takes no more writes"), std::string::npos) << msg;
    reopen();
    EXPECT_EQ(youngest(), applied ? 2 : 1);
    ostrel_revnum rev;
    OK(try_commit([](ostrel_fs_root *r) { return put(r, "trunk/a", "after"); }, &rev));
    EXPECT_EQ(rev, applied ? 3 : 2);
    OK(ostrel_fs_verify(filesystem_, 0, rev, nullptr, nullptr, pool_));
  }
}

// A crash drops what was never made durable.  A committed revision keeps
// every byte it references (the contents are synced before the commit
// point); uploads of a transaction that never committed are gone.
TEST_F(MemoryRepoTest, ACrashKeepsEveryCommittedRevisionWhole) {
  OK(try_commit(make_trunk));
  OK(try_commit(second_change));
  // A transaction in flight when the power goes.
  apr_pool_t *p = ostrel_pool_create(pool_);
  ostrel_fs_txn *txn;
  OK(ostrel_fs_begin_txn(&txn, filesystem_, 2, p));
  ostrel_fs_root *root;
  OK(ostrel_fs_txn_root(&root, txn, p));
  OK(put(root, "trunk/a", std::string(3 * kChunkSize, 'x')));
  disk_->crash();
  apr_pool_destroy(p);
  reopen();
  EXPECT_EQ(youngest(), 2);
  EXPECT_EQ(cat(2, "trunk/c"), std::string(kChunkSize + 1, 'c'));
  EXPECT_EQ(cat(1, "trunk/big"), std::string(2 * kChunkSize + 5, 'b'));
  OK(ostrel_fs_verify(filesystem_, 0, 2, nullptr, nullptr, pool_));
  OK(try_commit([](ostrel_fs_root *r) { return put(r, "trunk/a", "after the crash"); }));
  EXPECT_EQ(cat(3, "trunk/a"), "after the crash");
}

}  // namespace

// Deferred syncs (bulk imports) leave the newest commits unsynced, and a log
// may reach the disk without a sync, in order: after a power loss any
// prefix of the unsynced writers may be back (a transaction's begin is a
// writer too).  Whichever survives must be whole: revisions 0..K, K from
// the last sync up, every one of them readable.
TEST_F(MemoryRepoTest, APowerLossAfterDeferredCommitsLeavesAPrefixOfWholeRevisions) {
  constexpr int kSynced = 2, kUnsynced = 3;
  auto text_of = [](int rev) {
    return "revision " + std::to_string(rev) + "\n" + std::string(rev * 1000, 'x');
  };
  ostrel_revnum last = kSynced;
  // Each revision is at most a few writers: the bound only ends the loop.
  for (int keep = 0; keep <= 4 * kUnsynced && last < kSynced + kUnsynced; ++keep) {
    SCOPED_TRACE("unsynced writers that reach the disk: " + std::to_string(keep));
    disk_ = std::make_shared<MemoryDisk>();
    reopen();
    ostrel_fs_defer_sync(filesystem_, true);
    for (int rev = 1; rev <= kSynced + kUnsynced; ++rev) {
      OK(try_commit([&](ostrel_fs_root *r) {
        const std::string file = "f" + std::to_string(rev);
        if (rev > 1) OSTREL_ERR(ostrel_fs_make_file(r, file.c_str(), nullptr));
        else OSTREL_ERR(ostrel_fs_make_file(r, "f1", nullptr));
        OSTREL_ERR(put(r, file.c_str(), text_of(rev)));
        return rev > 1 ? put(r, "f1", text_of(rev)) : nullptr;
      }));
      if (rev == kSynced) OK(ostrel_fs_sync(filesystem_, pool_));
    }
    disk_->crash(keep);
    reopen();
    const ostrel_revnum survived = youngest();
    EXPECT_GE(survived, last) << "a longer prefix of the log keeps as many revisions";
    ASSERT_LE(survived, kSynced + kUnsynced);
    last = survived;
    OK(ostrel_fs_verify(filesystem_, 0, survived, nullptr, nullptr, pool_));
    for (int rev = 1; rev <= survived; ++rev) {
      EXPECT_EQ(cat(rev, ("f" + std::to_string(rev)).c_str()), text_of(rev));
      EXPECT_EQ(cat(rev, "f1"), text_of(rev));
    }
    ostrel_revnum rev;
    OK(try_commit([](ostrel_fs_root *r) { return put(r, "f1", "after the power loss"); }, &rev));
    EXPECT_EQ(rev, survived + 1);
  }
  EXPECT_EQ(last, kSynced + kUnsynced) << "the whole log back keeps every revision";
}
