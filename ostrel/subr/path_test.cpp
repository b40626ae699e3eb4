#include "ostrel_path.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ostrel_pools.h"
#include "ostrel_test_support.h"

namespace {

using PathTest = ostrel_test::PoolTest;

struct Pair {
  const char *input;
  const char *expected;
};

TEST_F(PathTest, IsUrl) {
  struct {
    const char *text;
    bool expected;
  } cases[] = {
      {"file:///x", true},   {"x+tunnel://h/x", true}, {"a.b-c+d://", true},
      {"HTTP://h", true},    {"1http://h", false},     {"http:/h", false},
      {"/abs/path", false},  {"trunk/a", false},       {"", false},
      {"://h", false},       {"ht tp://h", false},     {"c:\\x", false},
  };
  for (const auto &c : cases) EXPECT_EQ(ostrel_path_is_url(c.text), c.expected) << c.text;
}

TEST_F(PathTest, UriCanonicalize) {
  const Pair cases[] = {
      {"HTTP://Host.Example/a//./b/", "http://host.example/a/b"},
      {"http://host/", "http://host"},
      {"http://host", "http://host"},
      {"file://localhost/x", "file:///x"},
      {"file://LOCALHOST/x", "file:///x"},
      {"file:///", "file:///"},
      {"file://", "file:///"},
      {"file:///a/./b//c/", "file:///a/b/c"},
      {"file:///a/../b", "file:///a/../b"},  // ".." is kept
      {"file:///x%2fy%7e", "file:///x%2Fy~"},
      {"file:///%41%62%2D", "file:///Ab-"},
      {"file:///a%2E/%2E/b", "file:///a./b"},
      {"file:///a b", "file:///a%20b"},
      {"file:///100%", "file:///100%25"},
      {"file:///%zz", "file:///%25zz"},
      {"http://User@Host:8080/p", "http://User@host:8080/p"},
      {"http://[FE80::1]/p", "http://[fe80::1]/p"},
      {"file:///\xC3\xA9", "file:///%C3%A9"},
  };
  for (const Pair &c : cases) {
    const char *canon = ostrel_uri_canonicalize(c.input, pool_);
    EXPECT_STREQ(canon, c.expected) << c.input;
    EXPECT_STREQ(ostrel_uri_canonicalize(canon, pool_), canon) << "idempotent: " << c.input;
    EXPECT_TRUE(ostrel_uri_is_canonical(canon, pool_)) << canon;
  }
  EXPECT_FALSE(ostrel_uri_is_canonical("file:///a/", pool_));
  EXPECT_FALSE(ostrel_uri_is_canonical("http://H/a", pool_));
}

TEST_F(PathTest, IriAndAutoescape) {
  EXPECT_STREQ(ostrel_path_uri_from_iri("file:///caf\xC3\xA9 x%20", pool_),
               "file:///caf%C3%A9 x%20");
  EXPECT_STREQ(ostrel_path_uri_autoescape("file:///a b\"<>\\^`{|}\x01\x7F%41", pool_),
               "file:///a%20b%22%3C%3E%5C%5E%60%7B%7C%7D%01%7F%41");
  EXPECT_STREQ(ostrel_path_uri_autoescape("file:///a?b#c;d", pool_), "file:///a?b#c;d");
  EXPECT_STREQ(ostrel_path_uri_encode("a b/c%d#", pool_), "a%20b/c%25d%23");
  EXPECT_STREQ(ostrel_path_uri_decode("a%20b%2F%zz%4", pool_), "a b/%zz%4");
}

TEST_F(PathTest, UriDirnameAndBasename) {
  const Pair cases[] = {
      {"file:///a/b/c", "file:///a/b"}, {"file:///a", "file:///"},
      {"file:///", "file:///"},          {"http://h/a", "http://h"},
      {"http://h", "http://h"},          {"http://h/a/b%20c", "http://h/a"},
  };
  for (const Pair &c : cases) EXPECT_STREQ(ostrel_uri_dirname(c.input, pool_), c.expected) << c.input;
  EXPECT_STREQ(ostrel_uri_basename("http://h/a/b%20c", pool_), "b c");
  EXPECT_STREQ(ostrel_uri_basename("file:///", pool_), "");
}

TEST_F(PathTest, LongestAncestor) {
  struct {
    const char *a, *b, *expected;
  } cases[] = {
      {"file:///E/a", "file:///E/b", "file:///E"},
      {"file:///E/a/x", "file:///E/a", "file:///E/a"},
      {"file:///E", "file:///E", "file:///E"},
      {"file:///abc", "file:///abd", "file:///"},  // whole segments only
      {"file:///a", "file:///b", "file:///"},
      {"http://h/a", "http://h/b", "http://h"},
      {"http://h/a", "http://g/a", ""},
      {"http://h/a", "https://h/a", ""},
  };
  for (const auto &c : cases) {
    EXPECT_STREQ(ostrel_uri_get_longest_ancestor(c.a, c.b, pool_), c.expected) << c.a << " " << c.b;
    EXPECT_STREQ(ostrel_uri_get_longest_ancestor(c.b, c.a, pool_), c.expected) << "symmetric";
  }
}

TEST_F(PathTest, IsChild) {
  struct {
    const char *parent, *child, *expected;
  } cases[] = {
      {"file:///E", "file:///E/a/b", "a/b"},
      {"file:///E", "file:///E/a%20b", "a b"},
      {"file:///", "file:///a", "a"},
      {"http://h", "http://h/a", "a"},
      {"file:///E", "file:///E", nullptr},
      {"file:///E", "file:///Ex/a", nullptr},
      {"file:///E/a", "file:///E", nullptr},
      {"file:///", "file:///", nullptr},
  };
  for (const auto &c : cases) {
    const char *got = ostrel_uri__is_child(c.parent, c.child, pool_);
    if (c.expected) {
      EXPECT_STREQ(got, c.expected) << c.parent << " " << c.child;
    } else {
      EXPECT_EQ(got, nullptr) << c.parent << " " << c.child;
    }
  }
  EXPECT_STREQ(ostrel_uri_join_relpath("file:///E", "a b/c", pool_), "file:///E/a%20b/c");
  EXPECT_STREQ(ostrel_uri_join_relpath("file:///", "a", pool_), "file:///a");
  EXPECT_STREQ(ostrel_uri_join_relpath("file:///E", "", pool_), "file:///E");
}

TEST_F(PathTest, FileUrlsAndDirents) {
  struct {
    const char *url, *dirent;
  } ok[] = {
      {"file:///tmp/r%20x/a", "/tmp/r x/a"},
      {"file://localhost/tmp/r", "/tmp/r"},
      {"file:///", "/"},
      {"file://", "/"},
      {"file:///a//b/./c/", "/a/b/c"},
      {"file:///a/%41%2fb", "/a/A/b"},
  };
  for (const auto &c : ok) {
    const char *dirent = nullptr;
    ostrel_error *err = ostrel_uri_get_dirent_from_file_url(&dirent, c.url, pool_);
    ASSERT_EQ(err, nullptr) << c.url;
    EXPECT_STREQ(dirent, c.dirent) << c.url;
  }
  for (const char *bad : {"http://h/x", "file://otherhost/x", "file://local/x", "file:///a/%zz",
                          "file:///a/%4", "file:///a%00b", "file:///a/../b", "file:///a/%2e%2E/b",
                          "file:///.."}) {
    const char *dirent = "untouched";
    ostrel_error *err = ostrel_uri_get_dirent_from_file_url(&dirent, bad, pool_);
    ASSERT_NE(err, nullptr) << bad;
    EXPECT_EQ(err->apr_err, OSTREL_ERR_RA_ILLEGAL_URL);
    EXPECT_STREQ(dirent, "untouched");
    ostrel_error_clear(err);
  }
  const char *url = nullptr;
  ASSERT_EQ(ostrel_uri_get_file_url_from_dirent(&url, "/tmp//a b/", pool_), nullptr);
  EXPECT_STREQ(url, "file:///tmp/a%20b");
  ostrel_error *err = ostrel_uri_get_file_url_from_dirent(&url, "rel", pool_);
  ASSERT_NE(err, nullptr);
  EXPECT_EQ(err->apr_err, OSTREL_ERR_BAD_PATH);
  ostrel_error_clear(err);
}

TEST_F(PathTest, RelpathsAndDirents) {
  const Pair relpaths[] = {
      {"", ""}, {"a", "a"}, {"/a//b/./c/", "a/b/c"}, {"./a", "a"}, {".", ""}, {"a/../b", "a/../b"},
  };
  for (const Pair &c : relpaths) {
    EXPECT_STREQ(ostrel_relpath_canonicalize(c.input, pool_), c.expected) << c.input;
    EXPECT_TRUE(ostrel_relpath_is_canonical(c.expected)) << c.expected;
  }
  EXPECT_FALSE(ostrel_relpath_is_canonical("a/"));
  EXPECT_FALSE(ostrel_relpath_is_canonical("/a"));

  const Pair dirents[] = {
      {"-", "-"}, {"/", "/"}, {"//", "/"}, {"/a/./b/", "/a/b"}, {"./x", "x"}, {"a//b", "a/b"},
      {"", ""},   {".", ""},
  };
  for (const Pair &c : dirents) {
    EXPECT_STREQ(ostrel_dirent_canonicalize(c.input, pool_), c.expected) << c.input;
    EXPECT_STREQ(ostrel_dirent_internal_style(c.input, pool_), c.expected) << c.input;
  }

  EXPECT_STREQ(ostrel_relpath_join("", "a", pool_), "a");
  EXPECT_STREQ(ostrel_relpath_join("a", "", pool_), "a");
  EXPECT_STREQ(ostrel_relpath_join("a/b", "c", pool_), "a/b/c");
  EXPECT_STREQ(ostrel_relpath_dirname("a/b/c", pool_), "a/b");
  EXPECT_STREQ(ostrel_relpath_dirname("a", pool_), "");
}

TEST_F(PathTest, Decompose) {
  struct {
    const char *path;
    std::vector<std::string> expected;
  } cases[] = {
      {"", {}}, {"a", {"a"}}, {"a/b/c", {"a", "b", "c"}}, {"/a", {"/", "a"}}, {"/", {"/"}},
  };
  for (const auto &c : cases) {
    apr_array_header_t *parts = ostrel_path_decompose(c.path, pool_);
    std::vector<std::string> got;
    for (int i = 0; i < parts->nelts; ++i) got.emplace_back(APR_ARRAY_IDX(parts, i, const char *));
    EXPECT_EQ(got, c.expected) << c.path;
  }
}

}  // namespace
