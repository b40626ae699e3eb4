// The path helpers fennick applies to its argument before opening it.

#include <gtest/gtest.h>

#include "local_subr.h"
#include "ostrel_pools.h"

TEST(LocalSubr, CanonicalizeRemovesRepeatedSlashesDotSegmentsAndTrailingSlash) {
  apr_pool_t *pool = ostrel_pool_create(nullptr);
  const struct {
    const char *in, *out;
  } cases[] = {
      {"/srv/repo", "/srv/repo"},  {"/srv//repo/", "/srv/repo"}, {"/srv/./repo/.", "/srv/repo"},
      {"repo/", "repo"},           {"./repo", "repo"},           {"/", "/"},
      {"//", "/"},                 {".", "."},                   {"", ""},
      {"a/../b", "a/../b"},  // ".." is kept: it may cross a symbolic link
  };
  for (const auto &c : cases)
    EXPECT_STREQ(local_dirent_canonicalize(local_dirent_internal_style(c.in, pool), pool), c.out)
        << "'" << c.in << "'";
  apr_pool_destroy(pool);
}

TEST(LocalSubr, AsciiArgumentsConvertUnchanged) {
  apr_pool_t *pool = ostrel_pool_create(nullptr);
  const char *out = nullptr;
  ostrel_error *err = local_utf_cstring_to_utf8(&out, "/srv/repo-1", pool);
  EXPECT_EQ(err, nullptr);
  ostrel_error_clear(err);
  EXPECT_STREQ(out, "/srv/repo-1");
  apr_pool_destroy(pool);
}
