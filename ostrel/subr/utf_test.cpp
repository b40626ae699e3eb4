// Conversions between the native encoding and UTF-8, under a UTF-8 locale, an
// ISO-8859-1 locale (generated here with localedef) and the "C" locale.

#include "ostrel_utf.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>

#include "ostrel_cmdline.h"
#include "ostrel_path.h"
#include "ostrel_pools.h"
#include "ostrel_props.h"

namespace {

class LocaleTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    char tmpl[] = "/tmp/ostrel-locale-XXXXXX";
    if (mkdtemp(tmpl)) locale_dir_ = tmpl;
  }
  static void TearDownTestSuite() {
    if (!locale_dir_.empty()) std::filesystem::remove_all(locale_dir_);
  }
  void SetUp() override { pool_ = ostrel_pool_create(nullptr); }
  void TearDown() override {
    std::setlocale(LC_ALL, "C");
    apr_pool_destroy(pool_);
  }
  // Switches to the locale SOURCE.CHARMAP, generated at its first use (a
  // test that needs none pays nothing), or reports why not.
  static bool use_generated(const char *source, const char *charmap) {
    if (locale_dir_.empty()) return false;
    const std::string name = std::string(source) + "." + charmap;
    auto made = made_.find(name);
    if (made == made_.end()) {
      const std::string cmd = "localedef -i " + std::string(source) + " -f " + charmap + " " +
                              locale_dir_ + "/" + name + " >/dev/null 2>&1";
      made = made_.emplace(name, std::system(cmd.c_str()) == 0).first;
    }
    if (!made->second) return false;
    setenv("LOCPATH", locale_dir_.c_str(), 1);
    bool ok = std::setlocale(LC_ALL, name.c_str()) != nullptr;
    unsetenv("LOCPATH");
    return ok;
  }
  bool use_latin1() { return use_generated("en_US", "ISO-8859-1"); }
  // Turkish, where the lower case of 'I' is the dotless i (0xFD), not 'i'.
  bool use_turkish() { return use_generated("tr_TR", "ISO-8859-9"); }
  bool use_utf8() { return std::setlocale(LC_ALL, "C.UTF-8") != nullptr; }


 public:
  std::string to_utf8(const char *text, apr_status_t *code) {
    const char *out = nullptr;
    ostrel_error *err = ostrel_utf_cstring_to_utf8(&out, text, pool_);
    *code = err ? err->apr_err : 0;
    ostrel_error_clear(err);
    return out ? out : "<none>";
  }
  std::string from_utf8(const char *text, apr_status_t *code) {
    const char *out = nullptr;
    ostrel_error *err = ostrel_utf_cstring_from_utf8(&out, text, pool_);
    *code = err ? err->apr_err : 0;
    ostrel_error_clear(err);
    return out ? out : "<none>";
  }

 protected:
  std::string console(const char *text) {
    char *data = nullptr;
    size_t size = 0;
    FILE *stream = open_memstream(&data, &size);
    ostrel_error *err = ostrel_cmdline_fputs(text, stream, pool_);
    EXPECT_EQ(err, nullptr);
    ostrel_error_clear(err);
    std::fclose(stream);
    std::string out(data, size);
    std::free(data);
    return out;
  }

  static inline std::string locale_dir_;
  static inline std::map<std::string, bool> made_;  // locale name -> generated
  apr_pool_t *pool_ = nullptr;
};

struct Case {
  const char *input;
  const char *expected;  // "<none>" when refused
  apr_status_t code;
};

void check_table(LocaleTest *t, const Case *cases, size_t n, bool to,
                 std::string (LocaleTest::*fn)(const char *, apr_status_t *)) {
  for (size_t i = 0; i < n; ++i) {
    apr_status_t code = 0;
    EXPECT_EQ((t->*fn)(cases[i].input, &code), cases[i].expected)
        << (to ? "to UTF-8: " : "from UTF-8: ") << cases[i].input;
    EXPECT_EQ(code, cases[i].code) << cases[i].input;
  }
}

TEST_F(LocaleTest, Utf8Locale) {
  if (!use_utf8()) GTEST_SKIP() << "no C.UTF-8 locale on this system";
  EXPECT_STREQ(ostrel_utf__native_codeset(), "UTF-8");
  const Case to[] = {
      {"plain", "plain", 0},
      {"caf\xC3\xA9 \xE2\x82\xAC", "caf\xC3\xA9 \xE2\x82\xAC", 0},
      {"caf\xE9", "<none>", OSTREL_ERR_NATIVE_ENCODING},
      {"\xC0\x80", "<none>", OSTREL_ERR_NATIVE_ENCODING},
  };
  check_table(this, to, std::size(to), true, &LocaleTest::to_utf8);
  const Case from[] = {
      {"caf\xC3\xA9", "caf\xC3\xA9", 0},
      {"\xFF", "<none>", OSTREL_ERR_INVALID_UTF8},
  };
  check_table(this, from, std::size(from), false, &LocaleTest::from_utf8);
  EXPECT_EQ(console("caf\xC3\xA9\n"), "caf\xC3\xA9\n");
  EXPECT_EQ(console("J\xF6rg \xC3\xA9\xC3\n"), "J?\\XF6rg \xC3\xA9?\\XC3\n")
      << "bytes that are not UTF-8 are shown escaped: output never fails for its contents";
}

TEST_F(LocaleTest, Latin1Locale) {
  if (!use_latin1())
    GTEST_SKIP() << "cannot generate an ISO-8859-1 locale here (localedef with en_US and the "
                    "ISO-8859-1 charmap is needed)";
  const Case to[] = {
      {"plain", "plain", 0},
      {"caf\xE9", "caf\xC3\xA9", 0},
      {"\xFF\x80", "\xC3\xBF\xC2\x80", 0},  // every byte is a Latin-1 character
  };
  check_table(this, to, std::size(to), true, &LocaleTest::to_utf8);
  const Case from[] = {
      {"caf\xC3\xA9", "caf\xE9", 0},
      {"\xE2\x82\xAC", "<none>", OSTREL_ERR_NATIVE_ENCODING},  // no euro sign in Latin-1
      {"caf\xE9", "<none>", OSTREL_ERR_INVALID_UTF8},
  };
  check_table(this, from, std::size(from), false, &LocaleTest::from_utf8);

  ostrel_stringbuf *src = ostrel_stringbuf_ncreate("a\xE9\0b", 4, pool_);
  ostrel_stringbuf *dest = nullptr;
  ASSERT_EQ(ostrel_utf_stringbuf_to_utf8(&dest, src, pool_), nullptr);
  EXPECT_EQ(std::string(dest->data, dest->len), std::string("a\xC3\xA9\0b", 5))
      << "the whole counted contents are converted, NULs included";

  EXPECT_EQ(console("caf\xC3\xA9 \xE2\x82\xAC\n"), "caf\xE9 ?\\u20AC\n")
      << "a character without a native form is shown escaped, not dropped";
}

// URLs are ASCII text whatever the locale: under ISO-8859-1, where bytes
// above 0x7F are letters to isalnum and tolower, an escaped byte must stay
// escaped and a host byte unchanged.
TEST_F(LocaleTest, UrlsDoNotDependOnTheLocale) {
  if (!use_latin1())
    GTEST_SKIP() << "cannot generate an ISO-8859-1 locale here (localedef with en_US and the "
                    "ISO-8859-1 charmap is needed)";
  EXPECT_STREQ(ostrel_uri_canonicalize("http://H\xC9/%E9%41", pool_), "http://h\xC9/%E9A");
  EXPECT_STREQ(ostrel_uri_canonicalize("http://h/caf%E9/x", pool_), "http://h/caf%E9/x");
  EXPECT_FALSE(ostrel_path_is_url("\xE9://h/x"));
  EXPECT_STREQ(ostrel_path_uri_encode("a\xE9", pool_), "a%E9");
}

// Schemes and host names compare without regard to ASCII case only: in a
// Turkish locale "FILE" still names the file scheme.
TEST_F(LocaleTest, UrlCaseDoesNotDependOnTheLocale) {
  if (!use_turkish())
    GTEST_SKIP() << "cannot generate a Turkish ISO-8859-9 locale here (localedef with tr_TR and "
                    "the ISO-8859-9 charmap is needed)";
  for (const char *url : {"FILE:///tmp/x", "FiLe://LOCALHOST/tmp/x", "file://LocalHost/tmp/x"}) {
    const char *dirent = nullptr;
    ostrel_error *err = ostrel_uri_get_dirent_from_file_url(&dirent, url, pool_);
    EXPECT_EQ(err, nullptr) << url << ": " << (err ? err->message : "");
    ostrel_error_clear(err);
    if (dirent) {
      EXPECT_STREQ(dirent, "/tmp/x") << url;
    }
  }
}

TEST_F(LocaleTest, CLocaleRefusesNonAscii) {
  std::setlocale(LC_ALL, "C");
  const Case to[] = {
      {"plain", "plain", 0},
      {"caf\xC3\xA9", "<none>", OSTREL_ERR_NATIVE_ENCODING},
  };
  check_table(this, to, std::size(to), true, &LocaleTest::to_utf8);
}

TEST_F(LocaleTest, ConversionErrorShowsTheBadBytes) {
  if (!use_utf8()) GTEST_SKIP() << "no C.UTF-8 locale on this system";
  const char *out = nullptr;
  ostrel_error *err = ostrel_utf_cstring_to_utf8(&out, "ab\xFF\xFE", pool_);
  ASSERT_NE(err, nullptr);
  EXPECT_EQ(std::string(err->message),
            "Can't convert text from the native encoding (UTF-8) to UTF-8: invalid bytes \\xFF\\xFE after 'ab'");
  EXPECT_EQ(out, nullptr) << "output untouched on failure";
  ostrel_error_clear(err);
}

TEST(Utf8Validation, Sequences) {
  struct {
    std::string bytes;
    bool valid;
    size_t bad_offset;
  } cases[] = {
      {"", true, 0},
      {"ascii", true, 0},
      {"\xC3\xA9", true, 0},
      {"\xF0\x9F\x98\x80", true, 0},
      {"\xF4\x8F\xBF\xBF", true, 0},   // U+10FFFF
      {"a\xF4\x90\x80\x80", false, 1},  // above U+10FFFF
      {"ab\xC0\xAF", false, 2},         // overlong
      {"\xE0\x80\xAF", false, 0},       // overlong
      {"\xED\xA0\x80", false, 0},       // surrogate
      {"x\xC3", false, 1},              // truncated
      {"\xE2\x82", false, 0},           // truncated
      {"\x80", false, 0},               // lone continuation
      {"a\xC3(", false, 1},             // bad continuation
      {std::string("a\0b", 3), true, 0},
  };
  for (const auto &c : cases) {
    apr_size_t bad = 999;
    EXPECT_EQ(ostrel_utf__is_valid(c.bytes.data(), c.bytes.size(), &bad), c.valid) << c.bytes;
    if (!c.valid) {
      EXPECT_EQ(bad, c.bad_offset) << c.bytes;
    }
  }
}

TEST(PropertyNormalisation, TranslateString) {
  apr_pool_t *pool = ostrel_pool_create(nullptr);
  struct {
    const char *name;
    std::string input;
    const char *encoding;
    bool repair;
    const char *expected;  // nullptr: refused with OSTREL_ERR_INVALID_UTF8
    bool line_endings_changed;
  } cases[] = {
      {"LF unchanged", "a\nb\n", nullptr, false, "a\nb\n", false},
      {"CR LF to LF", "a\r\nb\r\n", nullptr, false, "a\nb\n", true},
      {"lone CR to LF", "a\rb\r", nullptr, false, "a\nb\n", true},
      {"CR CR LF is two line ends", "a\r\r\nb", nullptr, false, "a\n\nb", true},
      {"valid UTF-8 kept", "caf\xC3\xA9", nullptr, false, "caf\xC3\xA9", false},
      {"invalid UTF-8 refused", "caf\xE9", nullptr, false, nullptr, false},
      {"invalid UTF-8 repaired", "caf\xE9\r\n", nullptr, true, "caf?\n", true},
      {"converted from Latin-1", "caf\xE9", "ISO-8859-1", false, "caf\xC3\xA9", false},
  };
  for (const auto &c : cases) {
    ostrel_string value = {c.input.data(), c.input.size()};
    ostrel_string *out = nullptr;
    bool to_utf8 = false, line_ends = false;
    ostrel_error *err = ostrel_subst_translate_string2(&out, &to_utf8, &line_ends, &value,
                                                       c.encoding, c.repair, pool, pool);
    if (!c.expected) {
      ASSERT_NE(err, nullptr) << c.name;
      EXPECT_EQ(err->apr_err, OSTREL_ERR_INVALID_UTF8) << c.name;
      EXPECT_EQ(out, nullptr) << c.name;
      ostrel_error_clear(err);
      continue;
    }
    ASSERT_EQ(err, nullptr) << c.name;
    EXPECT_EQ(std::string(out->data, out->len), c.expected) << c.name;
    EXPECT_EQ(line_ends, c.line_endings_changed) << c.name;
    EXPECT_EQ(to_utf8, c.encoding != nullptr) << c.name;
  }
  EXPECT_TRUE(ostrel_prop_needs_translation("ostrel:log"));
  EXPECT_TRUE(ostrel_prop_needs_translation("ostrel:ignore"));
  EXPECT_FALSE(ostrel_prop_needs_translation("ostrelx:log"));
  EXPECT_FALSE(ostrel_prop_needs_translation("user:ostrel:x"));
  apr_pool_destroy(pool);
}

// Output that lists properties must not depend on the hash's order: names
// sort bytewise, so a name with a non-ASCII first byte comes after "z".
TEST(PropertyNames, SortedBytewise) {
  apr_pool_t *pool = ostrel_pool_create(nullptr);
  apr_hash_t *props = apr_hash_make(pool);
  EXPECT_EQ(ostrel_prop_sorted_names(props, pool)->nelts, 0);
  for (const char *name : {"zeta", "\xC3\xA9t\xC3\xA9", "alpha", "Beta", "alpha2", "ostrel:log"})
    apr_hash_set(props, name, APR_HASH_KEY_STRING, ostrel_string_create("v", pool));
  apr_array_header_t *names = ostrel_prop_sorted_names(props, pool);
  std::string joined;
  for (int i = 0; i < names->nelts; ++i)
    joined += APR_ARRAY_IDX(names, i, const char *) + std::string("|");
  EXPECT_EQ(joined, "Beta|alpha|alpha2|ostrel:log|zeta|\xC3\xA9t\xC3\xA9|");
  apr_pool_destroy(pool);
}

}  // namespace
