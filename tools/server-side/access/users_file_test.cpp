// Tests of the users file: parsing, checking passwords, and rewriting the
// file without losing it.

#include "users_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>

#include "ostrel_test_support.h"

namespace ostrel_server {
namespace {

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

class UsersFileTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(init_password_hashing(), nullptr); }
  ostrel_test::TempDir dir_;
};

TEST_F(UsersFileTest, PasswordsSetAreCheckedAfterARoundTripThroughTheFile) {
  UsersFile users;
  ASSERT_EQ(users.set_password("alice", "correct horse"), nullptr);
  ASSERT_EQ(users.set_password("bob", "b0b:with=odd#chars"), nullptr);
  std::string path = dir_.path() + "/users";
  ASSERT_EQ(users.save(path.c_str()), nullptr);

  std::string text = read_file(path);
  EXPECT_EQ(text.find("correct horse"), std::string::npos);
  EXPECT_EQ(text.rfind("alice:$argon2id$", 0), 0u) << text;
  struct stat st;
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);

  UsersFile loaded;
  ASSERT_EQ(UsersFile::load(path.c_str(), false, &loaded), nullptr);
  struct Case {
    const char *user, *password;
    bool ok;
  } cases[] = {
      {"alice", "correct horse", true},
      {"alice", "correct horse", true},  // the second time from the remembered login
      {"alice", "correct hors", false},
      {"alice", "", false},
      {"bob", "b0b:with=odd#chars", true},
      {"bob", "correct horse", false},
      {"carol", "correct horse", false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.user) + " / " + c.password);
    EXPECT_EQ(loaded.verify(c.user, c.password), c.ok);
  }
}

TEST_F(UsersFileTest, ChangedAndRemovedUsersKeepTheRestOfTheFile) {
  std::string path = dir_.path() + "/users";
  UsersFile users;
  ASSERT_EQ(users.set_password("alice", "one"), nullptr);
  ASSERT_EQ(users.set_password("bob", "two"), nullptr);
  ASSERT_EQ(users.save(path.c_str()), nullptr);
  ::chmod(path.c_str(), 0640);
  {
    std::ofstream append(path, std::ios::app);
    append << "# a note kept by the operator\n";
  }

  UsersFile loaded;
  ASSERT_EQ(UsersFile::load(path.c_str(), false, &loaded), nullptr);
  EXPECT_TRUE(loaded.verify("alice", "one"));
  ASSERT_EQ(loaded.set_password("alice", "uno"), nullptr);
  ASSERT_EQ(loaded.remove("bob"), nullptr);
  ASSERT_EQ(loaded.save(path.c_str()), nullptr);
  EXPECT_FALSE(loaded.verify("alice", "one"));  // a remembered login does not outlive a change

  UsersFile again;
  ASSERT_EQ(UsersFile::load(path.c_str(), false, &again), nullptr);
  EXPECT_TRUE(again.verify("alice", "uno"));
  EXPECT_FALSE(again.has_user("bob"));
  EXPECT_NE(read_file(path).find("# a note kept by the operator\n"), std::string::npos);
  struct stat st;
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);  // the operator's mode stays

  ostrel_error *err = again.remove("bob");
  ASSERT_NE(err, nullptr);
  EXPECT_EQ(err->apr_err, OSTREL_ERR_BAD_ARGUMENTS);
  ostrel_error_clear(err);
}

TEST_F(UsersFileTest, BadNamesAndEmptyPasswordsAreRefused) {
  UsersFile users;
  for (const char *name : {"", "a:b", "a b", "@g", "*", "a,b", "tab\t"}) {
    SCOPED_TRACE(name);
    ostrel_error *err = users.set_password(name, "pw");
    ASSERT_NE(err, nullptr);
    EXPECT_EQ(err->apr_err, OSTREL_ERR_BAD_ARGUMENTS);
    ostrel_error_clear(err);
  }
  ostrel_error *err = users.set_password("alice", "");
  ASSERT_NE(err, nullptr);
  ostrel_error_clear(err);
  EXPECT_FALSE(users.has_user("alice"));
}

TEST_F(UsersFileTest, MalformedFilesNameTheLineAndNeverTheHash) {
  const std::string hash = "$argon2id$v=19$m=65536,t=2,p=1$c2FsdHNhbHQ$aGFzaGhhc2hoYXNo";
  struct Case {
    std::string text;
    const char *message;
  } cases[] = {
      {"alice\n", "line 1: expected 'NAME:HASH'"},
      {"# c\n\nalice:" + hash + "\n:" + hash + "\n", "line 4: invalid user name"},
      {"alice:" + hash + "\nalice:" + hash + "\n", "line 2: the user is listed twice"},
      {"alice:plaintext\n", "line 1: the password hash is not an Argon2id hash"},
      {"alice:$argon2i$v=19$m=4096,t=3,p=1$x$y\n", "not an Argon2id hash"},
      {"a b:" + hash + "\n", "invalid user name"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text);
    UsersFile users;
    ostrel_error *err = UsersFile::parse(c.text, "/srv/users", &users);
    ASSERT_NE(err, nullptr);
    EXPECT_EQ(err->apr_err, OSTREL_ERR_BAD_CONFIG_FILE);
    std::string message = ostrel_test::chain_text(err);
    EXPECT_NE(message.find("users file '/srv/users'"), std::string::npos) << message;
    EXPECT_NE(message.find(c.message), std::string::npos) << message;
    EXPECT_EQ(message.find("plaintext"), std::string::npos) << message;
    EXPECT_EQ(message.find("aGFzaGhhc2hoYXNo"), std::string::npos) << message;
    ostrel_error_clear(err);
  }
}

TEST_F(UsersFileTest, AMissingFileIsEmptyOnlyWhenAllowed) {
  std::string path = dir_.path() + "/none";
  UsersFile users;
  EXPECT_EQ(UsersFile::load(path.c_str(), true, &users), nullptr);
  EXPECT_FALSE(users.verify("alice", "x"));
  ostrel_error *err = UsersFile::load(path.c_str(), false, &users);
  ASSERT_NE(err, nullptr);
  EXPECT_NE(ostrel_test::chain_text(err).find("Can't read users file"), std::string::npos);
  ostrel_error_clear(err);
}

TEST_F(UsersFileTest, AFailedSaveLeavesNothingBehind) {
  // A directory where the file should go: the final rename fails.
  std::string path = dir_.path() + "/users";
  ASSERT_EQ(::mkdir(path.c_str(), 0700), 0);
  std::ofstream(path + "/keep") << "x";
  UsersFile users;
  ASSERT_EQ(users.set_password("alice", "one"), nullptr);
  ostrel_error *err = users.save(path.c_str());
  ASSERT_NE(err, nullptr);
  EXPECT_NE(ostrel_test::chain_text(err).find("Can't replace users file '" + path + "'"),
            std::string::npos);
  ostrel_error_clear(err);
  int entries = 0;
  for (auto &entry : std::filesystem::directory_iterator(dir_.path())) {
    (void)entry;
    ++entries;
  }
  EXPECT_EQ(entries, 1);  // no temporary file left
  EXPECT_EQ(read_file(path + "/keep"), "x");
}

}  // namespace
}  // namespace ostrel_server
