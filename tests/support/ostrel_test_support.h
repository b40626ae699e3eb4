// Helpers shared by the unit tests: the text of an error chain, and
// temporary directories and files that remove themselves.
#ifndef OSTREL_TEST_SUPPORT_H
#define OSTREL_TEST_SUPPORT_H

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ostrel_error.h"
#include "ostrel_pools.h"

namespace ostrel_test {

// Every link's text, one per line, outermost first.  Does not clear ERR.
inline std::string chain_text(const ostrel_error *err) {
  std::string text;
  char buf[512];
  for (; err; err = err->child) text += std::string(ostrel_error_text(err, buf, sizeof buf)) + "\n";
  return text;
}

// A fixture with one top-level pool per test, destroyed after it.
class PoolTest : public ::testing::Test {
 protected:
  void SetUp() override { pool_ = ostrel_pool_create(nullptr); }
  void TearDown() override { apr_pool_destroy(pool_); }
  apr_pool_t *pool_ = nullptr;
};

// A new directory under /tmp, removed with everything in it on destruction.
class TempDir {
 public:
  explicit TempDir(const std::string &prefix = "ostrel-test") {
    std::string templ = "/tmp/" + prefix + ".XXXXXX";
    if (!mkdtemp(templ.data())) throw std::runtime_error("mkdtemp failed for " + templ);
    path_ = templ;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;

  const std::string &path() const { return path_; }

 private:
  std::string path_;
};

// Files under /tmp with given contents, removed on destruction.
class TempFiles {
 public:
  ~TempFiles() {
    for (const std::string &name : names_) std::remove(name.c_str());
  }

  // Writes CONTENTS to a new file and returns its name.
  std::string write(const std::string &contents, const std::string &prefix = "ostrel-test") {
    std::string name = "/tmp/" + prefix + "-XXXXXX";
    int fd = mkstemp(name.data());
    if (fd < 0) throw std::runtime_error("mkstemp failed for " + name);
    names_.push_back(name);
    for (size_t done = 0; done < contents.size();) {
      ssize_t n = ::write(fd, contents.data() + done, contents.size() - done);
      if (n <= 0) {
        ::close(fd);
        throw std::runtime_error("cannot write " + name);
      }
      done += static_cast<size_t>(n);
    }
    ::close(fd);
    return name;
  }

 private:
  std::vector<std::string> names_;
};

}  // namespace ostrel_test

#endif  // OSTREL_TEST_SUPPORT_H
