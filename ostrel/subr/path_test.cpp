#include "ostrel_path.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "ostrel_pools.h"
#include "ostrel_test_support.h"
#include "path_reference.h"

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
      {"file:///a/../b", "file:///b"},
      {"file:///a/b/../../../c", "file:///c"},  // never above the root
      {"file:///..", "file:///"},
      {"http://h/a/%2E%2E/b", "http://h/b"},
      {"http://h/a/.%2e", "http://h"},
      {"http://h/a/..b/...", "http://h/a/..b/..."},
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
  // Text that is no URL comes back as it is, and nothing past its end is read.
  for (const char *text : {"", "a", "a:", "a:/b", "/abs/path", "x:/"}) {
    EXPECT_STREQ(ostrel_uri_canonicalize(text, pool_), text);
    EXPECT_FALSE(ostrel_uri_is_canonical(text, pool_)) << text;
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
      {"", "file:///a", nullptr},  // the empty text is no URL (an empty root)
      {"", "a", nullptr},
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
      {"", ""}, {"a", "a"}, {"/a//b/./c/", "a/b/c"}, {"./a", "a"}, {".", ""}, {"a/../b", "b"},
      {"../a", "a"}, {"a/b/../..", ""}, {"..a/b..", "..a/b.."},
  };
  for (const Pair &c : relpaths) {
    EXPECT_STREQ(ostrel_relpath_canonicalize(c.input, pool_), c.expected) << c.input;
    EXPECT_TRUE(ostrel_relpath_is_canonical(c.expected)) << c.expected;
  }
  EXPECT_FALSE(ostrel_relpath_is_canonical("a/"));
  EXPECT_FALSE(ostrel_relpath_is_canonical("/a"));

  const Pair dirents[] = {
      {"-", "-"}, {"/", "/"}, {"//", "/"}, {"/a/./b/", "/a/b"}, {"./x", "x"}, {"a//b", "a/b"},
      {"", ""},   {".", ""},   {"../x", "../x"}, {"/a/../b", "/a/../b"},
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

// One table of names for every check of the repository-name vocabulary: each
// name is put where each check meets it (a segment of a relpath, of a storage
// path, a child named through a directory, a path below a repository's
// directory, an escaped segment of a URL), and every check must agree.
TEST_F(PathTest, NamesInsideARepository) {
  struct {
    std::string name;
    const char *shown;  // nullptr: a valid name; else how the error shows it
  } cases[] = {
      {"a", nullptr},
      {"with space", nullptr},
      {"caf\xC3\xA9", nullptr},
      {"\xF0\x9F\x8E\xB5", nullptr},            // U+1F3B5
      {"...", nullptr},
      {"%41", nullptr},                          // a name may hold '%'
      {"", ""},
      {".", "."},
      {"..", ".."},
      {"a\n   D ", "a\\x0A   D "},               // would forge a 'log -v' line
      {"\x1B[2J", "\\x1B[2J"},                   // a terminal escape
      {std::string("nul\0tail", 8), "nul\\x00tail"},
      {"del\x7F", "del\\x7F"},
      {"c1\xC2\x9B", "c1\\xC2\\x9B"},            // U+009B, a C1 control
      {"\xC3", "\\xC3"},                         // a lone lead byte
      {"x\xC0\xAF", "x\\xC0\\xAF"},              // an overlong '/'
      {"\xED\xA0\x80", "\\xED\\xA0\\x80"},       // a surrogate
      {"\xF4\x90\x80\x80", "\\xF4\\x90\\x80\\x80"},  // above U+10FFFF
      {"ok\xFF", "ok\\xFF"},
  };
  for (const auto &c : cases) {
    const std::string &name = c.name;
    std::string label = ostrel_path_uri_encode(name.c_str(), pool_);
    if (name.find('\0') != std::string::npos) label = "nul%00tail";
    std::string escaped;
    for (unsigned char ch : name) {
      char buf[4];
      std::snprintf(buf, sizeof buf, "%%%02X", ch);
      escaped += buf;
    }
    // Each check with the name in place; C strings cannot hold a NUL, so the
    // NUL row reaches only the counted and the escaped forms.
    const bool has_nul = name.find('\0') != std::string::npos;
    std::vector<std::pair<std::string, ostrel_error *>> results;
    results.emplace_back("name", ostrel_path_check_name(name.data(), name.size()));
    // An empty segment of a URL is no name: canonical form drops it.
    if (!name.empty())
      results.emplace_back("url",
                           ostrel_uri_check_names(("file:///srv/r/" + escaped + "/x").c_str()));
    if (!has_nul) {
      const char *relpath = "untouched";
      const std::string dirent = "/srv/r/" + name + "/x";
      results.emplace_back("relpath", ostrel_relpath_check(("a/" + name + "/b").c_str()));
      results.emplace_back("fspath", ostrel_fspath_check(("/a/" + name).c_str()));
      results.emplace_back("child", ostrel_relpath_check_child("a", ("a/" + name).c_str()));
      results.emplace_back(
          "below root",
          ostrel_dirent_repos_relpath(&relpath, "/srv/r", dirent.c_str()));
      if (!c.shown) {
        EXPECT_STREQ(relpath, (name + "/x").c_str()) << label;
      } else {
        EXPECT_EQ(relpath, nullptr) << label;
      }
    }
    for (auto &[check, err] : results) {
      if (!c.shown) {
        EXPECT_EQ(err, nullptr) << check << " refused " << label << ": "
                                << ostrel_test::chain_text(err);
      } else {
        ASSERT_NE(err, nullptr) << check << " accepted " << label;
        EXPECT_EQ(err->apr_err, OSTREL_ERR_BAD_PATH) << check << " " << label;
        EXPECT_NE(std::string(err->message).find(c.shown), std::string::npos)
            << check << ": " << err->message;
      }
      ostrel_error_clear(err);
    }
  }
}

// The shapes around the names: separators, the root, children and the
// directory a repository lives in.
TEST_F(PathTest, PathShapesInsideARepository) {
  struct {
    const char *path;
    bool relpath_ok, fspath_ok;
  } shapes[] = {
      {"", true, true},         {"/", false, true},       {"a/b", true, true},
      {"/a/b", false, true},    {"a//b", false, false},   {"a/", false, false},
      {"//a", false, false},    {"a/./b", false, false},  {"../a", false, false},
  };
  for (const auto &c : shapes) {
    ostrel_error *err = ostrel_relpath_check(c.path);
    EXPECT_EQ(err == nullptr, c.relpath_ok) << "relpath " << c.path;
    ostrel_error_clear(err);
    err = ostrel_fspath_check(c.path);
    EXPECT_EQ(err == nullptr, c.fspath_ok) << "fspath " << c.path;
    ostrel_error_clear(err);
  }

  struct {
    const char *parent, *child;
    bool ok;
  } children[] = {
      {"", "a", true},        {"a", "a/b", true},     {"a/b", "a/b/c", true},
      {"", "a/b", false},     {"a", "a/b/c", false},  {"a", "b/x", false},
      {"a", "ab/x", false},   {"a", "a", false},      {"", "", false},
      {"a", "a/", false},
  };
  for (const auto &c : children) {
    ostrel_error *err = ostrel_relpath_check_child(c.parent, c.child);
    EXPECT_EQ(err == nullptr, c.ok) << c.parent << " / " << c.child;
    if (err) {
      EXPECT_EQ(err->apr_err, OSTREL_ERR_BAD_PATH);
    }
    ostrel_error_clear(err);
  }

  struct {
    const char *root, *dirent, *expected;
  } below[] = {
      {"/srv/r", "/srv/r", ""},     {"/srv/r", "/srv/r/a/b", "a/b"}, {"/", "/a", "a"},
      {"/", "/", ""},               {"/srv/r", "/srv/rx/a", nullptr}, {"/srv/r", "/srv", nullptr},
      {"/srv/r", "/other", nullptr},
  };
  for (const auto &c : below) {
    const char *relpath = "untouched";
    ASSERT_EQ(ostrel_dirent_repos_relpath(&relpath, c.root, c.dirent), nullptr) << c.dirent;
    if (c.expected) {
      EXPECT_STREQ(relpath, c.expected) << c.root << " " << c.dirent;
    } else {
      EXPECT_EQ(relpath, nullptr) << c.root << " " << c.dirent;
    }
  }

  for (const char *bad : {"file:///r/a%2Fb", "file:///r/%2E%2E/x", "file:///r/a%00"}) {
    ostrel_error *err = ostrel_uri_check_names(bad);
    EXPECT_NE(err, nullptr) << bad;
    ostrel_error_clear(err);
  }
  for (const char *good : {"file:///", "http://host", "file:///r/a%20b/c%C3%A9", "file:///r//./a"})
    EXPECT_EQ(ostrel_uri_check_names(good), nullptr) << good;
}

// The public functions take a short road for plain text; whatever the text,
// they must return what the general road (path_reference.h) returns.  The
// inputs sit on both sides of the short road's edge.
TEST_F(PathTest, ShortRoadsAgreeWithTheReference) {
  namespace ref = ostrel_path_reference;
  const std::string urls[] = {
      "http://host/repo/trunk/a",  "http://host/repo/trunk/a/",   "http://host",
      "http://host/",              "http://host//a",              "http://host/a//b",
      "http://host/a/./b",         "http://host/a/../b",          "http://host/a/..",
      "http://host/.",             "http://host/.a/..b/a.",       "http://host/a%20b",
      "http://host/a%2e",          "http://host/%7e%2F",          "http://host/100%",
      "http://Host/a",             "HTTP://host/a",               "hTtp://host/a",
      "http://user@host/a",        "http://host:8080/a",          "http://[FE80::1]:80/a",
      "http://[fe80::1]/a",        "http://host/caf\xC3\xA9",       "http://host/a b",
      "http://host/a|b",           "http://host/a\x7F",           "x+tunnel://host/r/a",
      "file:///",                  "file://",                     "file:///srv",
      "file:///srv/repo/a",        "file:///srv/repo/a/",         "file:////srv",
      "file://localhost/srv",      "file://LOCALHOST/srv",        "file://localhost:1/srv",
      "file://host/srv",           "FILE:///srv",                 "file:///srv/%00",
      "file:///srv/../..",         "file:///srv/a/b/c",           "file:///srv/a/x/c",
      "http://host/a/b/c",         "http://host/a/bc",            "http://h0st/a/b",
  };
  for (const std::string &url : urls) {
    const char *u = url.c_str();
    const std::string canon = ref::uri_canonicalize(url);
    EXPECT_EQ(ostrel_uri_canonicalize(u, pool_), canon) << url;
    EXPECT_EQ(ostrel_uri_is_canonical(u, pool_), canon == url) << url;
    EXPECT_EQ(ostrel_path_uri_from_iri(u, pool_), ref::uri_from_iri(url)) << url;
    EXPECT_EQ(ostrel_path_uri_autoescape(u, pool_), ref::uri_autoescape(url)) << url;
    for (const std::string &v : {url, canon}) {
      EXPECT_EQ(ostrel_uri_dirname(v.c_str(), pool_), ref::uri_dirname(v)) << v;
      ostrel_error *err = ostrel_uri_check_names(v.c_str());
      ostrel_error *ref_err = ref::uri_check_names(v.c_str());
      ASSERT_EQ(err == nullptr, ref_err == nullptr) << v;
      if (err) {
        EXPECT_STREQ(err->message, ref_err->message) << v;
      }
      ostrel_error_clear(err);
      ostrel_error_clear(ref_err);
    }
    for (const std::string &other : urls) {
      EXPECT_EQ(ostrel_uri_get_longest_ancestor(u, other.c_str(), pool_),
                ref::uri_get_longest_ancestor(url, other))
          << url << " " << other;
      const char *child = ostrel_uri__is_child(u, other.c_str(), pool_);
      std::optional<std::string> ref_child = ref::uri_is_child(url, other);
      ASSERT_EQ(child == nullptr, !ref_child) << url << " " << other;
      if (child) {
        EXPECT_STREQ(child, ref_child->c_str()) << url << " " << other;
      }
    }
  }

  const std::string dirents[] = {
      "",      "/",     "-",      "//",      "a",        "a/",  "/a",   "/a/",
      "a//b",  "./a",   "a/.",    "a/./b",   "a/../b",   "..",  "/..",  "/srv/repo",
      ".a/b.", "-/a",   "/-",     "a/b/c/d", "///srv//",
  };
  for (const std::string &dirent : dirents)
    EXPECT_EQ(ostrel_dirent_canonicalize(dirent.c_str(), pool_), ref::dirent_canonicalize(dirent))
        << dirent;

  const std::string relpaths[] = {
      "",    "a",     "a/b",   "a/",     "/a",   "a//b", ".",     "..",    "a/.",
      "a/..", ".a",   "..a",   "a..",    "a b",  "a%2F", "caf\xC3\xA9", "\xC3", "a\x01",
      "a\x7F", "~/-_", "a/b/c/d/e",
  };
  for (const std::string &relpath : relpaths) {
    ostrel_error *err = ostrel_relpath_check(relpath.c_str());
    ostrel_error *ref_err = ref::path_check_segments(relpath, relpath);
    ASSERT_EQ(err == nullptr, ref_err == nullptr) << relpath;
    if (err) {
      EXPECT_STREQ(err->message, ref_err->message) << relpath;
    }
    ostrel_error_clear(err);
    ostrel_error_clear(ref_err);
  }
}

}  // namespace
