// 'ostrel-admin passwd' at a terminal: the password is asked twice, never
// shown, and ends up as a hash the users file accepts.

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "ostrel_pty.h"
#include "ostrel_test_support.h"
#include "users_file.h"

namespace ostrel_server {
namespace {

class PasswdTtyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char *build = std::getenv("OSTREL_BUILD_DIR");
    if (!build) GTEST_SKIP() << "OSTREL_BUILD_DIR is not set";
    admin_ = std::string(build) + "/bin/ostrel-admin";
    if (access(admin_.c_str(), X_OK) != 0) GTEST_SKIP() << admin_ << " is not built";
    ASSERT_EQ(init_password_hashing(), nullptr);
    file_ = dir_.path() + "/users";
  }

  ostrel_test::PtyResult passwd(const std::vector<std::pair<std::string, std::string>> &script) {
    return ostrel_test::run_in_pty(
        [&] {
          execl(admin_.c_str(), admin_.c_str(), "passwd", file_.c_str(), "alice",
                static_cast<char *>(nullptr));
          return 127;
        },
        script);
  }

  ostrel_test::TempDir dir_;
  std::string admin_, file_;
};

TEST_F(PasswdTtyTest, APasswordTypedTwiceIsStoredAndNeverEchoed) {
  ostrel_test::PtyResult r =
      passwd({{"New password: ", "s3cret-typed\n"}, {"Repeat the password: ", "s3cret-typed\n"}});
  ASSERT_FALSE(r.timed_out) << r.output;
  EXPECT_EQ(r.exit_status, 0) << r.output;
  EXPECT_EQ(r.output.find("s3cret-typed"), std::string::npos) << r.output;

  EXPECT_TRUE(r.echo_at_end);

  UsersFile users;
  ASSERT_EQ(UsersFile::load(file_.c_str(), false, &users), nullptr);
  EXPECT_TRUE(users.verify("alice", "s3cret-typed"));
}

// Ctrl-C at either prompt ends the process as usual, after giving the
// terminal its echo back, and leaves no file.
TEST_F(PasswdTtyTest, EndingKeysAtAPromptLeaveTheEchoOn) {
  struct Case {
    const char *name;
    std::vector<std::pair<std::string, std::string>> script;
    int signal;
  };
  const Case cases[] = {
      {"Ctrl-C at the first prompt", {{"New password: ", "half\x03"}}, SIGINT},
      {"Ctrl-C at the second prompt",
       {{"New password: ", "whole\n"}, {"Repeat the password: ", "\x03"}},
       SIGINT},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    ostrel_test::PtyResult r = passwd(c.script);
    ASSERT_FALSE(r.timed_out) << r.output;
    EXPECT_EQ(r.signal, c.signal) << r.output;
    EXPECT_TRUE(r.echo_at_end) << r.output;
    EXPECT_NE(access(file_.c_str(), F_OK), 0);
  }
}

TEST_F(PasswdTtyTest, TwoDifferentAnswersChangeNothing) {
  ostrel_test::PtyResult r =
      passwd({{"New password: ", "one\n"}, {"Repeat the password: ", "two\n"}});
  ASSERT_FALSE(r.timed_out) << r.output;
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_NE(r.output.find("ostrel-admin: The two passwords differ"), std::string::npos) << r.output;
  EXPECT_NE(access(file_.c_str(), F_OK), 0);  // no file made
}

}  // namespace
}  // namespace ostrel_server
