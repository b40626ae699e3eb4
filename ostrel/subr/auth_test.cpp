// Tests of the authentication baton: whose name becomes the author.

#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include "ostrel_auth.h"
#include "ostrel_pools.h"

namespace {

TEST(AuthBatonTest, UserNameComesFromTheOptionElseTheLogin) {
  apr_pool_t *pool = ostrel_pool_create(nullptr);
  struct passwd *me = getpwuid(geteuid());
  const char *login = me ? me->pw_name : nullptr;

  struct Case {
    const char *given;
    const char *expected;
  } cases[] = {
      {"alice", "alice"},
      {"", nullptr},  // explicitly no user: commits carry no author
      {nullptr, login},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.given ? c.given : "(null)");
    char given_copy[16] = "";
    const char *given = c.given;
    if (c.given) {
      // The baton must keep its own copy of what it was given.
      snprintf(given_copy, sizeof given_copy, "%s", c.given);
      given = given_copy;
    }
    ostrel_auth_baton *ab = nullptr;
    ASSERT_EQ(ostrel_cmdline_create_auth_baton(&ab, true, given, "secret", nullptr, true, false,
                                               nullptr, nullptr, nullptr, pool),
              nullptr);
    given_copy[0] = 'X';
    if (c.expected)
      EXPECT_STREQ(ostrel_auth_username(ab), c.expected);
    else
      EXPECT_EQ(ostrel_auth_username(ab), nullptr);
    EXPECT_STREQ(ostrel_auth_password(ab), "secret");
  }
  apr_pool_destroy(pool);
}

}  // namespace
