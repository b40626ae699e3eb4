// Tests of the rules file: what each user may do where, and which files are
// refused with which line.

#include "path_rules.h"

#include <gtest/gtest.h>

#include "ostrel_test_support.h"

namespace ostrel_server {
namespace {

const char kRules[] =
    "# team rules\n"
    "group dev = alice, bob\n"
    "group ops = carol,  dave   # trailing comment\n"
    "\n"
    "/*            *      r\n"
    "/*            @ops   rw\n"
    "/proj         @dev   r\n"
    "/proj/trunk   @dev   rw\n"
    "/proj/trunk   bob    r\n"
    "/proj/secret  *      -\n"
    "/proj/secret  alice  rw\n"
    "/proj/vendor  @dev   -\n"
    "/proj/vendor  @ops   r\n"
    "/private      *      -\n"
    "/private/pub/ *      r\n"
    "/*/tags       *      -\n"
    "/*/tags       @ops   r\n";

TEST(PathRulesTest, DecidesAsTheMostSpecificMatchingLine) {
  PathRules rules;
  ASSERT_EQ(PathRules::parse(kRules, "rules", &rules), nullptr);
  struct Case {
    const char *repo, *path, *user;
    Access want;
  } cases[] = {
      // "*" reads everywhere, anonymous included
      {"other", "/", nullptr, Access::read},
      {"other", "/x/y", "zoe", Access::read},
      // a group line at the same path outranks "*"
      {"other", "/x", "carol", Access::read_write},
      // repository-specific lines outrank /* at the same depth...
      {"proj", "/", "carol", Access::read_write},  // /proj names only @dev, so /* decides
      {"proj", "/", "alice", Access::read},
      // ...and a deeper line outranks a shallower one
      {"proj", "/trunk/src/a.c", "alice", Access::read_write},
      {"proj", "/branches", "alice", Access::read},
      // the user's own line outranks their group's
      {"proj", "/trunk/src", "bob", Access::read},
      // "-" at a deeper path shuts out everyone but the named user
      {"proj", "/secret/key", nullptr, Access::none},
      {"proj", "/secret/key", "carol", Access::none},
      {"proj", "/secret", "alice", Access::read_write},
      // a group's "-" shuts its members out while another group reads
      {"proj", "/vendor/lib", "bob", Access::none},
      {"proj", "/vendor/lib", "dave", Access::read},
      {"proj", "/vendor/lib", "zoe", Access::read},  // no line for zoe there: /* "*" decides
      // a path is covered only at segment boundaries
      {"proj", "/trunkated", "alice", Access::read},
      // everything below a "-", except what a deeper line opens
      {"private", "/", "alice", Access::none},
      {"private", "/pub/readme", nullptr, Access::read},
      // "/*/tags" covers tags in every repository
      {"proj", "/tags/1.0", "alice", Access::none},
      {"other", "/tags", "dave", Access::read},
      // trailing slashes and the root written as ""
      {"proj", "/trunk/", "alice", Access::read_write},
      {"other", "", nullptr, Access::read},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.repo) + c.path + " as " + (c.user ? c.user : "(anonymous)"));
    EXPECT_EQ(rules.access(c.repo, c.path, c.user), c.want);
  }
}

TEST(PathRulesTest, NoMatchingLineMeansNoAccess) {
  PathRules rules;
  ASSERT_EQ(
      PathRules::parse("/proj/trunk alice rw\n/proj @dev r\ngroup dev = bob\n", "rules", &rules),
      nullptr);
  EXPECT_EQ(rules.access("proj", "/", "alice"), Access::none);
  EXPECT_EQ(rules.access("proj", "/trunk", nullptr), Access::none);
  EXPECT_EQ(rules.access("other", "/trunk", "alice"), Access::none);
  EXPECT_EQ(rules.access("proj", "/trunk", "bob"), Access::read);
  EXPECT_TRUE(rules.may_write("proj", "/trunk/x", "alice"));
  EXPECT_FALSE(rules.may_write("proj", "/trunk/x", "bob"));
  EXPECT_TRUE(rules.may_read("proj", "/trunk/x", "bob"));
}

TEST(PathRulesTest, TreesNeedTheAccessEverywhereBelow) {
  PathRules rules;
  ASSERT_EQ(PathRules::parse("/proj alice rw\n/proj/trunk/keep alice r\n/proj/secret * -\n"
                             "/proj * r\n/*/tags alice -\n",
                             "rules", &rules),
            nullptr);
  struct Case {
    const char *path;
    bool read_tree, write_tree;
  } cases[] = {
      {"/trunk", true, false},  // keep/ below is read-only
      {"/trunk/keep", true, false}, {"/trunk/src", true, true},
      {"/", false, false},         // secret/ and tags/ below are closed
      {"/trunkated", true, true},  // not below /trunk
      {"/secret", false, false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(rules.may_read_tree("proj", c.path, "alice"), c.read_tree);
    EXPECT_EQ(rules.may_write_tree("proj", c.path, "alice"), c.write_tree);
  }
  // Without a rules file nothing below can take access away.
  EXPECT_TRUE(PathRules().may_write_tree("proj", "/", "alice"));
}

TEST(PathRulesTest, WithoutAFileUsersMayDoEverythingAndAnonymousNothing) {
  PathRules rules;
  EXPECT_EQ(rules.access("proj", "/any/path", "alice"), Access::read_write);
  EXPECT_EQ(rules.access("proj", "/any/path", nullptr), Access::none);
  // An empty file is a file: nobody may do anything.
  ASSERT_EQ(PathRules::parse("# nothing yet\n", "rules", &rules), nullptr);
  EXPECT_EQ(rules.access("proj", "/", "alice"), Access::none);
}

TEST(PathRulesTest, MalformedFilesNameTheLineAndTheReason) {
  struct Case {
    std::string text;
    const char *message;
  } cases[] = {
      {"/a * r\nproj * r\n", "line 2: invalid path 'proj': the path must start with '/'"},
      {"/a * rwx\n", "line 1: invalid access 'rwx'"},
      {"/a *\n", "line 1: expected 'PATH WHO ACCESS'"},
      {"/a * r extra\n", "line 1: expected 'PATH WHO ACCESS'"},
      {"/a//b * r\n", "line 1: invalid path '/a//b': the path has an empty"},
      {"/a/../b * r\n", "'..' segment"},
      {"/ * r\n", "must name a repository or '*'"},
      {"/a/* * r\n", "'*' is only allowed as the repository name"},
      {"/a* * r\n", "'*' must stand alone"},
      {"/a @nobody r\n", "line 1: group 'nobody' is not defined"},
      {"group g\n", "expected 'group NAME = USER, USER...'"},
      {"group g = a\ngroup g = b\n", "line 2: group 'g' is already defined at line 1"},
      {"group g = a, @h\ngroup h = b\n", "groups hold user names only"},
      {"group g = a,\n", "a ',' without a user name after it"},
      {"group g = a,,b\n", "invalid user name '' in group 'g'"},
      {"group @g = a\n", "invalid group name '@g'"},
      {"\n\n/a bob r\n/a/ bob rw\n", "line 4: '/a/' already has a line for 'bob' at line 3"},
      {"/a b:c r\n", "invalid user name 'b:c'"},
      {std::string("/a * r\n/b \0 r\n", 14), "line 2: the line holds a NUL byte"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text);
    PathRules rules;
    ASSERT_EQ(PathRules::parse("/keep * r\n", "rules", &rules), nullptr);
    ostrel_error *err = PathRules::parse(c.text, "/etc/rules", &rules);
    ASSERT_NE(err, nullptr);
    EXPECT_EQ(err->apr_err, OSTREL_ERR_BAD_CONFIG_FILE);
    std::string message = ostrel_test::chain_text(err);
    EXPECT_NE(message.find("rules file '/etc/rules'"), std::string::npos) << message;
    EXPECT_NE(message.find(c.message), std::string::npos) << message;
    ostrel_error_clear(err);
    // A refused file leaves the rules as they were.
    EXPECT_EQ(rules.access("keep", "/", nullptr), Access::read);
  }
}

TEST(PathRulesTest, LoadReportsAFileThatCannotBeRead) {
  ostrel_test::TempDir dir;
  PathRules rules;
  std::string path = dir.path() + "/missing";
  ostrel_error *err = PathRules::load(path.c_str(), &rules);
  ASSERT_NE(err, nullptr);
  EXPECT_NE(ostrel_test::chain_text(err).find("Can't read rules file '" + path + "'"),
            std::string::npos);
  ostrel_error_clear(err);
}

}  // namespace
}  // namespace ostrel_server
