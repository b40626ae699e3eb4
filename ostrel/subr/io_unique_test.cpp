// Tests of ostrel_io_open_unique_file3: where the file is made, its
// permissions, and when each deletion mode removes it.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <string>

#include "ostrel_io.h"
#include "ostrel_pools.h"

namespace {

bool exists(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

class UniqueFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char templ[] = "/tmp/ostrel-unique-test.XXXXXX";
    ASSERT_NE(mkdtemp(templ), nullptr);
    dir_ = templ;
    pool_ = ostrel_pool_create(nullptr);
  }
  void TearDown() override {
    apr_pool_destroy(pool_);
    std::string cmd = "rm -rf '" + dir_ + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
  }
  std::string dir_;
  apr_pool_t *pool_;
};

TEST_F(UniqueFileTest, DeletionModes) {
  struct Case {
    ostrel_io_file_del mode;
    bool close_first;
    bool after_close;    // still on disk after the file is closed
    bool after_cleanup;  // still on disk after the result pool is gone
  } cases[] = {
      {ostrel_io_file_del_none, true, true, true},
      {ostrel_io_file_del_on_close, true, false, false},
      {ostrel_io_file_del_on_close, false, true, false},  // never closed: the pool removes it
      {ostrel_io_file_del_on_pool_cleanup, true, true, false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << "mode " << c.mode << " close " << c.close_first);
    apr_pool_t *result_pool = ostrel_pool_create(pool_);
    apr_file_t *file = nullptr;
    const char *path = nullptr;
    ASSERT_EQ(ostrel_io_open_unique_file3(&file, &path, dir_.c_str(), c.mode, result_pool, pool_),
              nullptr);
    ASSERT_NE(path, nullptr);
    std::string kept = path;
    EXPECT_EQ(kept.rfind(dir_ + "/", 0), 0u);
    struct stat st;
    ASSERT_EQ(stat(kept.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // Usable for writing and reading back.
    apr_size_t len = 5;
    ASSERT_EQ(apr_file_write(file, "hello", &len), APR_SUCCESS);

    if (c.close_first) {
      ASSERT_EQ(apr_file_close(file), APR_SUCCESS);
      EXPECT_EQ(exists(kept), c.after_close);
    }
    apr_pool_destroy(result_pool);
    EXPECT_EQ(exists(kept), c.after_cleanup);
  }
}

TEST_F(UniqueFileTest, NamesAreUniqueAndDefaultToTheTemporaryDirectory) {
  apr_file_t *a = nullptr, *b = nullptr;
  const char *path_a = nullptr, *path_b = nullptr;
  ASSERT_EQ(ostrel_io_open_unique_file3(&a, &path_a, dir_.c_str(), ostrel_io_file_del_on_close,
                                        pool_, pool_),
            nullptr);
  ASSERT_EQ(ostrel_io_open_unique_file3(&b, &path_b, dir_.c_str(), ostrel_io_file_del_on_close,
                                        pool_, pool_),
            nullptr);
  EXPECT_STRNE(path_a, path_b);

  apr_file_t *tmp = nullptr;
  ASSERT_EQ(ostrel_io_open_unique_file3(&tmp, nullptr, nullptr, ostrel_io_file_del_on_close,
                                        pool_, pool_),
            nullptr);
  const char *name = nullptr;
  ASSERT_EQ(apr_file_name_get(&name, tmp), APR_SUCCESS);
  const char *temp_dir = nullptr;
  ASSERT_EQ(apr_temp_dir_get(&temp_dir, pool_), APR_SUCCESS);
  EXPECT_EQ(std::string(name).rfind(std::string(temp_dir) + "/", 0), 0u) << name;
}

TEST_F(UniqueFileTest, MissingDirectoryIsAnErrorNamingIt) {
  std::string missing = dir_ + "/absent";
  apr_file_t *file = nullptr;
  ostrel_error *err = ostrel_io_open_unique_file3(&file, nullptr, missing.c_str(),
                                                  ostrel_io_file_del_on_close, pool_, pool_);
  ASSERT_NE(err, nullptr);
  EXPECT_NE(std::string(err->message).find(missing), std::string::npos) << err->message;
  EXPECT_EQ(file, nullptr);
  ostrel_error_clear(err);
}

}  // namespace
