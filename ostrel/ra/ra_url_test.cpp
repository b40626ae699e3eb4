// Tests of the local access module's URL handling: which "file" URLs lead to
// which local paths, and which are refused.

#include <gtest/gtest.h>

#include <string>

#include "ostrel_pools.h"
#include "ra_local.h"

namespace {

TEST(LocalUrlTest, UrlsToLocalPaths) {
  apr_pool_t *pool = ostrel_pool_create(nullptr);
  struct Case {
    const char *url;
    const char *path;  // expected local path, or nullptr for a refusal
    apr_status_t code;
    const char *reason;
  } cases[] = {
      {"file:///srv/repo", "/srv/repo", 0, nullptr},
      {"file://localhost/srv/repo", "/srv/repo", 0, nullptr},
      {"FILE://LocalHost/srv", "/srv", 0, nullptr},
      {"file:///", "/", 0, nullptr},
      {"file://", "/", 0, nullptr},
      {"file:///a%20b/%C3%BC", "/a b/\xC3\xBC", 0, nullptr},
      {"file:///a//b/./c/", "/a/b/c", 0, nullptr},
      {"file:///a%2e%2e/b", "/a../b", 0, nullptr},
      {"file:///a/../b", nullptr, OSTREL_ERR_RA_ILLEGAL_URL, "'..' segment"},
      {"file:///a/..", nullptr, OSTREL_ERR_RA_ILLEGAL_URL, "'..' segment"},
      {"file:///a/%2E%2E/b", nullptr, OSTREL_ERR_RA_ILLEGAL_URL, "'..' segment"},
      {"file:///a%2F..%2Fb", nullptr, OSTREL_ERR_RA_ILLEGAL_URL, "'..' segment"},
      {"file://server/srv", nullptr, OSTREL_ERR_RA_ILLEGAL_URL, "names the host 'server'"},
      {"http://localhost/srv", nullptr, OSTREL_ERR_RA_UNKNOWN_SCHEME, "scheme"},
      {"/srv/repo", nullptr, OSTREL_ERR_RA_ILLEGAL_URL, "is not a URL"},
      {"file:///a%zz", nullptr, OSTREL_ERR_RA_ILLEGAL_URL, "percent-escape"},
      {"file:///a%2", nullptr, OSTREL_ERR_RA_ILLEGAL_URL, "percent-escape"},
      {"file:///a%00b", nullptr, OSTREL_ERR_RA_ILLEGAL_URL, "percent-escape"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.url);
    const char *path = nullptr;
    ostrel_error *err = ostrel_ra_local::url_to_local_path(&path, c.url, pool);
    if (c.path) {
      ASSERT_EQ(err, nullptr) << err->message;
      EXPECT_STREQ(path, c.path);
    } else {
      ASSERT_NE(err, nullptr);
      EXPECT_EQ(err->apr_err, c.code);
      std::string message = err->message;
      EXPECT_NE(message.find(c.reason), std::string::npos) << message;
      EXPECT_NE(message.find(c.url), std::string::npos) << message;
      ostrel_error_clear(err);
    }
  }
  apr_pool_destroy(pool);
}

}  // namespace
