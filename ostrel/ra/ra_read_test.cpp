// The read calls (list, get_file, get_props, get_log) from one table of
// cases, run over file://, http:// and https:// (a real ostreld on a free
// loopback port; for https a certificate made here with openssl).  Then the
// local module's may_read: what it refuses is absent everywhere.
//
// History on top of the fixture's revision 1:
//   r2  cp A -> B (from r1), A/f "hello\nworld\n" with ostrel:mime-type
//   r3  rm B/sub, put big (3 MiB)
#include <apr_strings.h>

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "ostrel_cmdline.h"
#include "ostrel_config.h"
#include "ostrel_props.h"
#include "ra_test_fixture.h"

namespace {

using ra_test::expect_error;

struct Listed {
  std::string relpath;
  ostrel_node_kind kind;
  ostrel_filesize size;
  ostrel_revnum created;
  std::string author;
  bool has_date;
};

ostrel_error *collect_listing(void *baton, const char *relpath, const ostrel_ra_dirent *d,
                              apr_pool_t *) {
  static_cast<std::vector<Listed> *>(baton)->push_back(
      {relpath, d->kind, d->size, d->created_rev, d->last_author ? d->last_author : "(none)",
       d->time != nullptr});
  return OSTREL_NO_ERROR;
}

struct Logged {
  ostrel_revnum rev;
  std::string message;
  std::map<std::string, std::string> changes;  // path -> "A", "M (from /x:1)", ...
};

ostrel_error *collect_log(void *baton, const ostrel_ra_log_entry *e, apr_pool_t *) {
  Logged l{e->revision, "", {}};
  if (auto *m = static_cast<ostrel_string *>(
          apr_hash_get(e->revprops, OSTREL_PROP_REVISION_LOG, APR_HASH_KEY_STRING)))
    l.message = m->data;
  if (e->changed_paths) {
    for (apr_hash_index_t *hi = apr_hash_first(nullptr, e->changed_paths); hi;
         hi = apr_hash_next(hi)) {
      const void *key;
      void *val;
      apr_hash_this(hi, &key, nullptr, &val);
      auto *c = static_cast<ostrel_path_change *>(val);
      std::string text(1, "MADR"[c->change_kind]);
      if (c->copyfrom_path)
        text += std::string(" (from ") + c->copyfrom_path + ":" + std::to_string(c->copyfrom_rev) + ")";
      l.changes[static_cast<const char *>(key)] = text;
    }
  }
  static_cast<std::vector<Logged> *>(baton)->push_back(l);
  return OSTREL_NO_ERROR;
}

ostrel_error *string_write(void *baton, const char *data, apr_size_t *len) {
  static_cast<std::string *>(baton)->append(data, *len);
  return OSTREL_NO_ERROR;
}

class ReadTest : public ra_test::ServedRepositoryTest,
                 public ::testing::WithParamInterface<const char *> {
 protected:
  void SetUp() override {
    ServedRepositoryTest::SetUp();
    add_history();
    scheme_ = GetParam();
    if (scheme_ == "file") {
      base_ = "file://" + dir_;
    } else {
      start_server(scheme_ == "https");
    }
    if (HasFatalFailure()) return;
    RA_ASSERT_OK(open(&session_, base_ + "/repo", nullptr));
  }

  void add_history() {
    apr_pool_t *pool = ostrel_pool_create(pool_);
    ostrel_fs_txn *txn;
    ostrel_fs_root *root, *r1;
    ostrel_revnum rev;
    RA_ASSERT_OK(ostrel_fs_begin_txn(&txn, filesystem_, 1, pool));
    RA_ASSERT_OK(ostrel_fs_txn_root(&root, txn, pool));
    RA_ASSERT_OK(ostrel_fs_revision_root(&r1, filesystem_, 1, pool));
    RA_ASSERT_OK(ostrel_fs_copy(r1, "A", root, "B", pool));
    write_text(root, "A/f", "hello\nworld\n", pool);
    RA_ASSERT_OK(ostrel_fs_change_node_prop(root, "A/f", OSTREL_PROP_MIME_TYPE,
                                            ostrel_string_create("text/x-test", pool), pool));
    RA_ASSERT_OK(ostrel_fs_change_txn_prop(txn, OSTREL_PROP_REVISION_LOG,
                                           ostrel_string_create("branch", pool), pool));
    RA_ASSERT_OK(ostrel_fs_commit_txn(nullptr, &rev, txn, pool));
    RA_ASSERT_OK(ostrel_fs_begin_txn(&txn, filesystem_, 2, pool));
    RA_ASSERT_OK(ostrel_fs_txn_root(&root, txn, pool));
    RA_ASSERT_OK(ostrel_fs_delete(root, "B/sub", pool));
    RA_ASSERT_OK(ostrel_fs_make_file(root, "big", pool));
    big_.clear();
    for (long long i = 0; big_.size() < (3u << 20); i++) big_ += std::to_string(i * 7919) + "\n";
    write_text(root, "big", big_.c_str(), pool);
    RA_ASSERT_OK(ostrel_fs_commit_txn(nullptr, &rev, txn, pool));
    ASSERT_EQ(rev, 3);
    apr_pool_destroy(pool);
  }

  void start_server(bool tls) {
    if (!tls) return serve();
    std::string cmd = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes "
                      "-days 1 -subj /CN=localhost -addext subjectAltName=DNS:localhost "
                      "-keyout '" + dir_ + "/key.pem' -out '" + dir_ + "/cert.pem' >/dev/null 2>&1";
    OSTREL_SETUP_ASSERT(std::system(cmd.c_str()) == 0, "openssl could not make a certificate");
    serve({"--tls-cert", dir_ + "/cert.pem", "--tls-key", dir_ + "/key.pem"}, true);
  }

  // A session that trusts the test's certificate.
  ostrel_error *open(ostrel_ra_session **session, const std::string &url,
                     bool (*may_read)(void *, const char *)) {
    apr_hash_t *config = nullptr;
    OSTREL_ERR(ostrel_config_get_config(&config, (dir_ + "/cfg").c_str(), pool_));
    apr_array_header_t *options = apr_array_make(pool_, 1, sizeof(ostrel_cmdline__config_argument *));
    OSTREL_ERR(ostrel_cmdline__parse_config_option(
        options, apr_pstrcat(pool_, "config:https:ca-file=", dir_.c_str(), "/cert.pem",
                             static_cast<char *>(nullptr)),
        pool_));
    if (scheme_ == "https")
      OSTREL_ERR(ostrel_cmdline__apply_config_options(config, options, "test: ", "option"));
    auto *cfg = static_cast<ostrel_config *>(
        apr_hash_get(config, OSTREL_CONFIG_CATEGORY_CONFIG, APR_HASH_KEY_STRING));
    ostrel_ra_callbacks *callbacks;
    OSTREL_ERR(ostrel_ra_create_callbacks(&callbacks, pool_));
    OSTREL_ERR(ostrel_cmdline_create_auth_baton(&callbacks->auth_baton, true, "tester", nullptr,
                                                nullptr, true, false, cfg, nullptr, nullptr,
                                                pool_));
    callbacks->may_read = may_read;
    return ostrel_ra_open4(session, nullptr, url.c_str(), nullptr, callbacks, nullptr, config,
                           pool_);
  }

  std::vector<Listed> list(const char *path, ostrel_revnum rev, ostrel_ra_depth depth,
                           ostrel_ra_session *session = nullptr) {
    std::vector<Listed> out;
    ostrel_revnum fetched = -5;
    ostrel_error *err = ostrel_ra_list(session ? session : session_, path, rev, depth,
                                       collect_listing, &out, &fetched, pool_);
    EXPECT_EQ(err, nullptr) << ra_test::chain_text(err);
    ostrel_error_clear(err);
    EXPECT_EQ(fetched, rev < 0 ? 3 : rev);
    return out;
  }

  static std::vector<std::string> names(const std::vector<Listed> &entries) {
    std::vector<std::string> out;
    for (const Listed &e : entries)
      out.push_back(e.relpath + (e.kind == ostrel_node_dir ? "/" : ""));
    return out;
  }

  std::string scheme_;
  std::string big_;
  ostrel_ra_session *session_ = nullptr;
};

TEST_P(ReadTest, ListingsAtEveryDepthAndRevision) {
  struct Case {
    const char *path;
    ostrel_revnum rev;
    ostrel_ra_depth depth;
    std::vector<std::string> names;
  };
  const Case cases[] = {
      {"", -1, ostrel_ra_depth_immediates, {"A/", "B/", "big", "top"}},
      {"", 1, ostrel_ra_depth_immediates, {"A/", "top"}},
      {"", -1, ostrel_ra_depth_infinity, {"A/", "A/f", "A/sub/", "B/", "B/f", "big", "top"}},
      {"", 2, ostrel_ra_depth_infinity,
       {"A/", "A/f", "A/sub/", "B/", "B/f", "B/sub/", "top"}},
      {"A", -1, ostrel_ra_depth_empty, {"/"}},
      {"A/f", 2, ostrel_ra_depth_immediates, {""}},
      {"A/sub", -1, ostrel_ra_depth_infinity, {}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.path) + "@" + std::to_string(c.rev) + " depth " +
                 std::to_string(c.depth));
    EXPECT_EQ(names(list(c.path, c.rev, c.depth)), c.names);
  }
  // Sizes, last changes and their authors and dates.
  auto top = list("", -1, ostrel_ra_depth_immediates);
  ASSERT_EQ(top.size(), 4u);
  EXPECT_EQ(top[0].size, -1);
  EXPECT_EQ(top[0].created, 2);  // A's file changed in r2
  EXPECT_EQ(top[2].size, static_cast<ostrel_filesize>(big_.size()));
  EXPECT_EQ(top[2].created, 3);
  EXPECT_EQ(top[3].size, 4);
  EXPECT_EQ(top[3].created, 1);
  for (const Listed &e : top) EXPECT_TRUE(e.has_date) << e.relpath;
}

TEST_P(ReadTest, FilesStreamWithTheirProperties) {
  struct Case {
    const char *path;
    ostrel_revnum rev;
    std::string text;
    const char *mime;
  };
  const Case cases[] = {
      {"A/f", -1, "hello\nworld\n", "text/x-test"},
      {"A/f", 1, "hello\n", nullptr},
      {"B/f", 3, "hello\n", nullptr},
      {"top", 2, "top\n", nullptr},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.path) + "@" + std::to_string(c.rev));
    std::string got;
    ostrel_stream *out = ostrel_stream_create(&got, pool_);
    ostrel_stream_set_write(out, string_write);
    apr_hash_t *props = nullptr;
    ostrel_revnum fetched = -5;
    RA_ASSERT_OK(ostrel_ra_get_file(session_, c.path, c.rev, out, &fetched, &props, pool_));
    EXPECT_EQ(got, c.text);
    EXPECT_EQ(fetched, c.rev < 0 ? 3 : c.rev);
    auto *mime = static_cast<ostrel_string *>(
        apr_hash_get(props, OSTREL_PROP_MIME_TYPE, APR_HASH_KEY_STRING));
    EXPECT_EQ(mime ? std::string(mime->data) : "(none)", c.mime ? c.mime : "(none)");
  }
  std::string got;
  ostrel_stream *out = ostrel_stream_create(&got, pool_);
  ostrel_stream_set_write(out, string_write);
  RA_ASSERT_OK(ostrel_ra_get_file(session_, "big", -1, out, nullptr, nullptr, pool_));
  EXPECT_TRUE(got == big_) << "the big file came back with " << got.size() << " bytes";

  apr_hash_t *props = nullptr;
  RA_ASSERT_OK(ostrel_ra_get_props(session_, "A", 1, &props, nullptr, pool_));
  auto *color = static_cast<ostrel_string *>(apr_hash_get(props, "color", APR_HASH_KEY_STRING));
  ASSERT_NE(color, nullptr);
  EXPECT_STREQ(color->data, "red");
}

TEST_P(ReadTest, ErrorsNameThePathAndRevision) {
  struct Case {
    const char *call;
    const char *path;
    ostrel_revnum rev;
    apr_status_t code;
    const char *text;
  };
  const Case cases[] = {
      {"cat", "A/nope", -1, OSTREL_ERR_FS_NOT_FOUND, "'/A/nope' does not exist in revision 3"},
      {"cat", "B/sub", 3, OSTREL_ERR_FS_NOT_FOUND, "'/B/sub' does not exist in revision 3"},
      {"cat", "A", -1, OSTREL_ERR_FS_NOT_FILE, "'/A' is not a file in revision 3"},
      {"cat", "top", 9, OSTREL_ERR_FS_NO_SUCH_REVISION, "No such revision 9"},
      {"ls", "nope", 1, OSTREL_ERR_FS_NOT_FOUND, "'/nope' does not exist in revision 1"},
      {"props", "nope", 1, OSTREL_ERR_FS_NOT_FOUND, "'/nope' does not exist in revision 1"},
      {"ls", "a/../b", 1, OSTREL_ERR_BAD_PATH, ""},
      {"ls", "", -2, OSTREL_ERR_BAD_REVISION, "Invalid revision number -2"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.call) + " " + c.path);
    std::vector<Listed> ignored;
    apr_hash_t *props;
    std::string call = c.call;
    ostrel_error *err =
        call == "cat"
            ? ostrel_ra_get_file(session_, c.path, c.rev, nullptr, nullptr, nullptr, pool_)
        : call == "ls" ? ostrel_ra_list(session_, c.path, c.rev, ostrel_ra_depth_immediates,
                                        collect_listing, &ignored, nullptr, pool_)
                       : ostrel_ra_get_props(session_, c.path, c.rev, &props, nullptr, pool_);
    expect_error(err, c.code, c.text);
  }
}

TEST_P(ReadTest, LogsOfPathsAndRanges) {
  struct Case {
    const char *path;
    ostrel_revnum start, end;
    int limit;
    std::vector<ostrel_revnum> revs;
  };
  const Case cases[] = {
      {"", 3, 0, 0, {3, 2, 1, 0}},
      {"", 0, 3, 0, {0, 1, 2, 3}},
      {"", -1, 0, 2, {3, 2}},
      {"A/f", 3, 0, 0, {2, 1}},
      {"B", 3, 0, 0, {3, 2}},
      {"B/f", 3, 0, 0, {2}},  // added with its parent's copy
      {"top", 2, 2, 0, {}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.path) + " " + std::to_string(c.start) + ":" + std::to_string(c.end));
    std::vector<Logged> got;
    RA_ASSERT_OK(ostrel_ra_get_log(session_, c.path, c.start, c.end, c.limit, false, collect_log,
                                   &got, pool_));
    std::vector<ostrel_revnum> revs;
    for (const Logged &l : got) revs.push_back(l.rev);
    EXPECT_EQ(revs, c.revs);
  }
  std::vector<Logged> got;
  RA_ASSERT_OK(ostrel_ra_get_log(session_, "", 2, 2, 0, true, collect_log, &got, pool_));
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].message, "branch");
  EXPECT_EQ(got[0].changes, (std::map<std::string, std::string>{{"/A/f", "M"},
                                                                 {"/B", "A (from /A:1)"}}));
  expect_error(ostrel_ra_get_log(session_, "", 4, 0, 0, false, collect_log, &got, pool_),
               OSTREL_ERR_FS_NO_SUCH_REVISION, "No such revision 4");
}

INSTANTIATE_TEST_SUITE_P(Schemes, ReadTest, ::testing::Values("file", "http", "https"),
                         [](const auto &info) { return std::string(info.param); });

// ---- may_read: what the rules hide is absent everywhere ----

bool hide_a(void *, const char *fs_path) {
  std::string p(fs_path);
  return p != "/A" && p.rfind("/A/", 0) != 0;
}

class HiddenTest : public ReadTest {};

TEST_P(HiddenTest, HiddenPathsAreAbsentFromEveryAnswer) {
  ostrel_ra_session *session = nullptr;
  RA_ASSERT_OK(open(&session, base_ + "/repo", hide_a));
  EXPECT_EQ(names(list("", -1, ostrel_ra_depth_infinity, session)),
            (std::vector<std::string>{"B/", "B/f", "big", "top"}));
  // A hidden path reads as a missing one, word for word.
  std::string hidden, missing;
  for (auto [path, text] : {std::pair<const char *, std::string *>{"A/f", &hidden},
                            {"Q/f", &missing}}) {
    ostrel_error *err = ostrel_ra_get_file(session, path, 2, nullptr, nullptr, nullptr, pool_);
    ASSERT_NE(err, nullptr);
    EXPECT_EQ(err->apr_err, OSTREL_ERR_FS_NOT_FOUND);
    *text = ra_test::chain_text(err);
    ostrel_error_clear(err);
  }
  EXPECT_EQ(hidden.replace(hidden.find("/A/f"), 4, "/X/f"), missing.replace(missing.find("/Q/f"), 4, "/X/f"));
  // The log leaves out the hidden changed paths, the copy source from a
  // hidden path, and revisions of hidden changes only.
  std::vector<Logged> got;
  RA_ASSERT_OK(ostrel_ra_get_log(session, "", 3, 0, 0, true, collect_log, &got, pool_));
  ASSERT_EQ(got.size(), 4u);
  EXPECT_EQ(got[1].changes, (std::map<std::string, std::string>{{"/B", "A"}}));
  for (const Logged &l : got)
    for (const auto &[path, text] : l.changes) {
      EXPECT_EQ(path.find("/A"), std::string::npos) << path;
      EXPECT_EQ(text.find("/A"), std::string::npos) << text;
    }
  got.clear();
  RA_ASSERT_OK(ostrel_ra_get_log(session, "A", 3, 0, 0, true, collect_log, &got, pool_));
  EXPECT_TRUE(got.empty());
}

// The rules are the local module's (the server applies its own through the
// same callback; its tests are end to end).
INSTANTIATE_TEST_SUITE_P(Local, HiddenTest, ::testing::Values("file"),
                         [](const auto &info) { return std::string(info.param); });

}  // namespace
