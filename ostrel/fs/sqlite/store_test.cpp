// The SQLite connection's own duties, seen with two connections on one
// database file.
#include "store.h"

#include <chrono>
#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "ostrel_test_support.h"

namespace ostrel::fs {
namespace {

#define OK(expr)                                                       \
  do {                                                                 \
    ostrel_error *err_ = (expr);                                       \
    ASSERT_EQ(err_, nullptr) << ostrel_test::chain_text(err_);         \
    if (err_) ostrel_error_clear(err_);                                \
  } while (0)

// A connection that wrote a large log closes without waiting for a reader
// of it.  Waiting held the write lock, so a reader about to commit, and every
// committer behind it, stood still for the whole busy timeout.
TEST(SqliteStore, ClosingAfterLargeWritesDoesNotWaitForReaders) {
  ostrel_test::TempDir dir;
  const std::string path = dir.path() + "/db";
  Store writer;
  OK(writer.open(path, true, 60000));
  OK(writer.exec("PRAGMA journal_mode=WAL; CREATE TABLE t(x BLOB)"));
  OK(writer.begin_write(false));
  // About 512 KiB of log: more than a closing connection may leave.
  for (int i = 0; i < 64; i++) OK(writer.exec("INSERT INTO t VALUES (zeroblob(8192))"));
  OK(writer.commit());

  Store reader;
  OK(reader.open(path, false, 60000));
  OK(reader.begin_read());
  {
    Stmt count;
    OK(reader.prepare(count, "SELECT count(*) FROM t"));
    bool row = false;
    OK(count.step(&row));
    ASSERT_TRUE(row);
    EXPECT_EQ(count.int64(0), 64);
  }

  // The reader keeps its snapshot until the close has returned (or, should
  // the close wait for it, until the bound below has passed).
  std::promise<void> closed;
  std::future<void> close_done = closed.get_future();
  std::thread closer([&] {
    writer.close();
    closed.set_value();
  });
  const bool returned_while_read =
      close_done.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
  reader.end_read();
  closer.join();
  EXPECT_TRUE(returned_while_read) << "the close waited for the reader's snapshot to end";

  // The write lock is free for the next committer at once.
  Store next;
  OK(next.open(path, false, 0));
  OK(next.begin_write(false));
  OK(next.exec("INSERT INTO t VALUES (1)"));
  OK(next.commit());
}

}  // namespace
}  // namespace ostrel::fs
