// Tests of the configuration directory, file parsing and --config-option
// overrides.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "ostrel_config.h"
#include "ostrel_pools.h"
#include "ostrel_test_support.h"

namespace {

using ostrel_test::chain_text;

class ConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    pool_ = ostrel_pool_create(nullptr);
  }
  void TearDown() override { apr_pool_destroy(pool_); }

  std::string write_config(const std::string &contents) {
    std::string dir = root_ + "/conf";
    mkdir(dir.c_str(), 0700);
    std::ofstream(dir + "/config", std::ios::binary) << contents;
    return dir;
  }

  const char *busy_timeout(apr_hash_t *cfg_hash) {
    auto *cfg = static_cast<ostrel_config *>(
        apr_hash_get(cfg_hash, OSTREL_CONFIG_CATEGORY_CONFIG, APR_HASH_KEY_STRING));
    return ostrel_config_get(cfg, OSTREL_CONFIG_SECTION_LOCAL, OSTREL_CONFIG_OPTION_BUSY_TIMEOUT,
                             "default");
  }

  // VALUE: the busy timeout expected after success; NULL: ERR must be a
  // configuration-option error whose chain holds ERROR (ERR is cleared).
  void expect_outcome(ostrel_error *err, apr_hash_t *cfg_hash, const char *value,
                      const char *error) {
    if (value) {
      ASSERT_EQ(err, nullptr) << chain_text(err);
      EXPECT_STREQ(busy_timeout(cfg_hash), value);
      return;
    }
    ASSERT_NE(err, nullptr);
    EXPECT_EQ(err->apr_err, OSTREL_ERR_BAD_CONFIG_OPTION);
    EXPECT_NE(chain_text(err).find(error), std::string::npos) << chain_text(err);
    ostrel_error_clear(err);
  }

  apr_pool_t *pool_;
  ostrel_test::TempDir temp_{"ostrel-config-test"};
  const std::string root_ = temp_.path();
};

TEST_F(ConfigTest, MissingDirectoryIsMadeWithATemplateThatReadsBackAsDefaults) {
  std::string dir = root_ + "/fresh";
  apr_hash_t *cfg_hash = nullptr;
  ASSERT_EQ(ostrel_config_get_config(&cfg_hash, dir.c_str(), pool_), nullptr);
  EXPECT_STREQ(busy_timeout(cfg_hash), "default");

  std::ifstream in(dir + "/config");
  ASSERT_TRUE(in) << "no template written";
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_NE(text.str().find("# [local]"), std::string::npos);
  EXPECT_NE(text.str().find("# busy-timeout-ms = 10000"), std::string::npos);

  // The second read parses the template it wrote.
  ASSERT_EQ(ostrel_config_get_config(&cfg_hash, dir.c_str(), pool_), nullptr);
  EXPECT_STREQ(busy_timeout(cfg_hash), "default");
}

TEST_F(ConfigTest, DefaultDirectoryIsDotOstrelInHome) {
  const char *old_home = std::getenv("HOME");
  std::string saved = old_home ? old_home : "";
  setenv("HOME", root_.c_str(), 1);
  apr_hash_t *cfg_hash = nullptr;
  ostrel_error *err = ostrel_config_get_config(&cfg_hash, nullptr, pool_);
  if (old_home) setenv("HOME", saved.c_str(), 1); else unsetenv("HOME");
  ASSERT_EQ(err, nullptr) << chain_text(err);
  struct stat st;
  EXPECT_EQ(stat((root_ + "/.ostrel/config").c_str(), &st), 0);
}

TEST_F(ConfigTest, DirectoryThatCannotBeMadeLeavesTheDefaults) {
  apr_hash_t *cfg_hash = nullptr;
  std::string dir = root_ + "/no/such/parent";
  ASSERT_EQ(ostrel_config_get_config(&cfg_hash, dir.c_str(), pool_), nullptr);
  EXPECT_STREQ(busy_timeout(cfg_hash), "default");
}

TEST_F(ConfigTest, FileContents) {
  struct Case {
    const char *name;
    const char *contents;
    const char *value;  // expected busy-timeout-ms, or nullptr for an error
    const char *error;  // substring of the error chain
  } cases[] = {
      {"plain", "[local]\nbusy-timeout-ms = 250\n", "250", nullptr},
      {"comments and colon", "# note\n; note\n\n[ local ]\n  busy-timeout-ms:  42  \n", "42",
       nullptr},
      {"crlf", "[local]\r\nbusy-timeout-ms=7\r\n", "7", nullptr},
      {"byte-order mark", "\xEF\xBB\xBF[local]\nbusy-timeout-ms=8\n", "8", nullptr},
      {"last wins", "[local]\nbusy-timeout-ms=1\nbusy-timeout-ms=2\n", "2", nullptr},
      {"zero", "[local]\nbusy-timeout-ms=0\n", "0", nullptr},
      {"before section", "busy-timeout-ms = 5\n", nullptr, "comes before any section"},
      {"bad header", "[local\n", nullptr, "Malformed section header"},
      {"unknown section", "[nowhere]\nx=1\n", nullptr, "Unknown configuration section 'nowhere'"},
      {"unknown option", "[local]\nbusy-timeout = 5\n", nullptr,
       "Unknown configuration option 'busy-timeout'"},
      {"not a number", "[local]\nbusy-timeout-ms = soon\n", nullptr,
       "Invalid value 'soon' for configuration option 'config:local:busy-timeout-ms'"},
      {"negative", "[local]\nbusy-timeout-ms = -1\n", nullptr, "Invalid value '-1'"},
      {"too large", "[local]\nbusy-timeout-ms = 86400001\n", nullptr, "at most 86400000"},
      {"largest", "[local]\nbusy-timeout-ms = 86400000\n", "86400000", nullptr},
      {"empty value", "[local]\nbusy-timeout-ms =\n", nullptr, "Invalid value ''"},
      {"no separator", "[local]\njust words\n", nullptr, "Malformed line"},
      {"line number", "# one\n[local]\nbogus\n", nullptr, "/conf/config' at line 3"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    std::string dir = write_config(c.contents);
    apr_hash_t *cfg_hash = nullptr;
    ostrel_error *err = ostrel_config_get_config(&cfg_hash, dir.c_str(), pool_);
    expect_outcome(err, cfg_hash, c.value, c.error);
  }
}

TEST_F(ConfigTest, UnreadablePlacesAreErrorsNamingThem) {
  // The directory is a file; the "config" file is a directory.
  std::string not_dir = root_ + "/plain";
  std::ofstream(not_dir) << "x";
  std::string dir_with_dir = root_ + "/conf";
  mkdir(dir_with_dir.c_str(), 0700);
  mkdir((dir_with_dir + "/config").c_str(), 0700);
  for (const std::string &dir : {not_dir, dir_with_dir}) {
    SCOPED_TRACE(dir);
    apr_hash_t *cfg_hash = nullptr;
    ostrel_error *err = ostrel_config_get_config(&cfg_hash, dir.c_str(), pool_);
    ASSERT_NE(err, nullptr);
    EXPECT_EQ(err->apr_err, OSTREL_ERR_BAD_CONFIG_FILE);
    EXPECT_NE(chain_text(err).find(dir), std::string::npos) << chain_text(err);
    ostrel_error_clear(err);
  }
}

// A program's own file is read by the same rules, against its own options;
// the library's options mean nothing there, and the file must exist.
TEST_F(ConfigTest, ProgramFileHasTheLibrarysRulesAndItsOwnOptions) {
  static const char *const kLimit = "at most 9";
  const ostrel_config_known_option known[] = {
      {"server", "name", nullptr, nullptr},
      {"server", "digit",
       [](const char *value, const void *baton) -> const char * {
         return value[0] >= '0' && value[0] <= '9' && !value[1]
                    ? nullptr
                    : static_cast<const char *>(baton);
       },
       kLimit},
  };
  struct Case {
    const char *name;
    const char *contents;
    const char *digit;  // expected value, or nullptr for an error
    const char *error;  // substring of the error chain, %s for the file
  } cases[] = {
      {"own options", "# x\n[server]\nname = a b\ndigit: 7\n", "7", nullptr},
      {"defaults", "[server]\n", "none", nullptr},
      {"bad value", "[server]\ndigit = 10\n", nullptr,
       "Invalid value '10' for configuration option '%s:server:digit' (at most 9)"},
      {"library option", "[local]\nbusy-timeout-ms = 5\n", nullptr,
       "Unknown configuration section 'local' in file '%s'"},
      {"unknown option", "[server]\nnames = x\n", nullptr,
       "Unknown configuration option 'names' in section 'server' of file '%s'"},
      {"line number", "[server]\nname = x\n\nno equals sign\n", nullptr,
       "Error in configuration file '%s' at line 4"},
      {"before section", "digit = 1\n", nullptr, "comes before any section"},
  };
  const std::string path = root_ + "/program.conf";
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    std::ofstream(path, std::ios::binary | std::ios::trunc) << c.contents;
    ostrel_config *cfg = nullptr;
    ostrel_error *err = ostrel_config_read_file(&cfg, path.c_str(), known, 2, pool_);
    if (c.digit) {
      ASSERT_EQ(err, nullptr) << chain_text(err);
      EXPECT_STREQ(ostrel_config_get(cfg, "server", "digit", "none"), c.digit);
      continue;
    }
    ASSERT_NE(err, nullptr);
    EXPECT_EQ(err->apr_err, OSTREL_ERR_BAD_CONFIG_OPTION);
    char expected[512];
    std::snprintf(expected, sizeof expected, c.error, path.c_str());
    EXPECT_NE(chain_text(err).find(expected), std::string::npos) << chain_text(err);
    ostrel_error_clear(err);
  }

  // A missing file is an error naming it (unlike a missing library file).
  ostrel_config *cfg = nullptr;
  const std::string missing = root_ + "/missing.conf";
  ostrel_error *err = ostrel_config_read_file(&cfg, missing.c_str(), known, 2, pool_);
  ASSERT_NE(err, nullptr);
  EXPECT_EQ(err->apr_err, OSTREL_ERR_BAD_CONFIG_FILE);
  EXPECT_NE(chain_text(err).find("Can't read configuration file '" + missing + "'"),
            std::string::npos)
      << chain_text(err);
  ostrel_error_clear(err);
}

TEST_F(ConfigTest, CommandLineOverrides) {
  struct Arg {
    const char *file, *section, *option, *value;
  };
  struct Case {
    const char *name;
    std::vector<Arg> args;
    const char *value;  // expected busy-timeout-ms afterwards, or nullptr for an error
    const char *error;
  } cases[] = {
      {"set", {{"config", "local", "busy-timeout-ms", "99"}}, "99", nullptr},
      {"later wins",
       {{"config", "local", "busy-timeout-ms", "1"}, {"config", "local", "busy-timeout-ms", "2"}},
       "2", nullptr},
      {"empty restores default",
       {{"config", "local", "busy-timeout-ms", "1"}, {"config", "local", "busy-timeout-ms", ""}},
       "default", nullptr},
      {"unknown file", {{"nosuchfile", "local", "busy-timeout-ms", "1"}}, nullptr,
       "Unknown configuration file 'nosuchfile'"},
      {"unknown section", {{"config", "remote", "busy-timeout-ms", "1"}}, nullptr,
       "Unknown configuration section 'remote'"},
      {"unknown option", {{"config", "local", "timeout", "1"}}, nullptr,
       "Unknown configuration option 'timeout'"},
      {"malformed value", {{"config", "local", "busy-timeout-ms", "1s"}}, nullptr,
       "Invalid argument 'config:local:busy-timeout-ms=1s' of --config-option"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    std::string dir = write_config("[local]\nbusy-timeout-ms = 500\n");
    apr_hash_t *cfg_hash = nullptr;
    ASSERT_EQ(ostrel_config_get_config(&cfg_hash, dir.c_str(), pool_), nullptr);
    apr_array_header_t *args =
        apr_array_make(pool_, 1, sizeof(const ostrel_cmdline__config_argument *));
    std::vector<ostrel_cmdline__config_argument> storage;
    storage.reserve(c.args.size());
    for (const Arg &a : c.args) {
      storage.push_back({a.file, a.section, a.option, a.value});
      APR_ARRAY_PUSH(args, const ostrel_cmdline__config_argument *) = &storage.back();
    }
    ostrel_error *err =
        ostrel_cmdline__apply_config_options(cfg_hash, args, "test: ", "--config-option");
    expect_outcome(err, cfg_hash, c.value, c.error);
    if (!c.value) {
      EXPECT_STREQ(busy_timeout(cfg_hash), "500");  // refused value not applied
    }
  }
}

TEST_F(ConfigTest, ValueStaysValidWhenTheOptionIsSetAgain) {
  std::string dir = write_config("[local]\nbusy-timeout-ms = 500\n");
  apr_hash_t *cfg_hash = nullptr;
  ASSERT_EQ(ostrel_config_get_config(&cfg_hash, dir.c_str(), pool_), nullptr);
  const char *before = busy_timeout(cfg_hash);
  auto *cfg = static_cast<ostrel_config *>(apr_hash_get(cfg_hash, "config", APR_HASH_KEY_STRING));
  ASSERT_EQ(ostrel_config_set(cfg, "local", "busy-timeout-ms", "600"), nullptr);
  EXPECT_STREQ(before, "500");
  EXPECT_STREQ(busy_timeout(cfg_hash), "600");
}

}  // namespace
