// Dump and load: a round trip gives an identical repository (trees,
// properties, revision properties, changed paths with copy history, node
// origins); streams that do not fit change nothing; damaged and cut streams
// keep every revision before the damage whole; backups copy and verify.

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>
#include <string>

#include "../fs/meta.h"
#include "ostrel_pools.h"
#include "ostrel_repos_admin.h"
#include "ostrel_test_support.h"

namespace {

using ostrel_test::chain_text;
using ostrel_test::TempDir;

#define ASSERT_OK(expr)                                     \
  do {                                                      \
    ostrel_error *err_ = (expr);                            \
    std::string text_ = chain_text(err_);                   \
    ostrel_error_clear(err_);                               \
    ASSERT_TRUE(err_ == nullptr) << #expr << "\n" << text_; \
  } while (0)

#define EXPECT_OK(expr)                       \
  do {                                        \
    ostrel_error *e_ = (expr);                \
    EXPECT_EQ(e_, nullptr) << chain_text(e_); \
    ostrel_error_clear(e_);                   \
  } while (0)

// Returns the error code of EXPR (0 for success) and clears the error.
apr_status_t code_of(ostrel_error *err, std::string *text = nullptr) {
  if (text) *text = chain_text(err);
  apr_status_t code = err ? err->apr_err : 0;
  ostrel_error_clear(err);
  return code;
}

class DumpTest : public ostrel_test::PoolTest {
 protected:
  ostrel_repos *create(const std::string &name) {
    ostrel_repos *repos = nullptr;
    ostrel_error *err =
        ostrel_repos_create(&repos, (dir_.path() + "/" + name).c_str(), nullptr, pool_);
    EXPECT_EQ(err, nullptr) << chain_text(err);
    ostrel_error_clear(err);
    return repos;
  }

  // One commit on the youngest revision, made by EDIT.
  void commit(ostrel_repos *repos, const std::string &log,
              const std::function<void(ostrel_fs_root *, ostrel_fs *)> &edit) {
    ostrel_fs *filesystem = ostrel_repos_fs(repos);
    ostrel_revnum y;
    ASSERT_OK(ostrel_fs_youngest_rev(&y, filesystem, pool_));
    ostrel_fs_txn *txn;
    ostrel_fs_root *root;
    ASSERT_OK(ostrel_fs_begin_txn(&txn, filesystem, y, pool_));
    ASSERT_OK(ostrel_fs_txn_root(&root, txn, pool_));
    ASSERT_OK(ostrel_fs_change_txn_prop(txn, OSTREL_PROP_REVISION_LOG,
                                        ostrel_string_create(log.c_str(), pool_), pool_));
    ASSERT_OK(ostrel_fs_change_txn_prop(txn, OSTREL_PROP_REVISION_AUTHOR,
                                        ostrel_string_create("alice", pool_), pool_));
    edit(root, filesystem);
    ostrel_revnum rev;
    ASSERT_OK(ostrel_fs_commit_txn(nullptr, &rev, txn, pool_));
  }

  void put(ostrel_fs_root *root, const char *path, const std::string &text, bool make = true) {
    if (make) ASSERT_OK(ostrel_fs_make_file(root, path, pool_));
    ostrel_stream *s;
    ASSERT_OK(ostrel_fs_apply_text(&s, root, path, pool_));
    apr_size_t len = text.size();
    ASSERT_OK(ostrel_stream_write(s, text.data(), &len));
    ASSERT_OK(ostrel_stream_close(s));
  }

  void prop(ostrel_fs_root *root, const char *path, const char *name, const char *value) {
    ASSERT_OK(ostrel_fs_change_node_prop(
        root, path, name, value ? ostrel_string_create(value, pool_) : nullptr, pool_));
  }

  void copy(ostrel_fs *filesystem, ostrel_revnum rev, const char *from, ostrel_fs_root *to,
            const char *to_path) {
    ostrel_fs_root *from_root;
    ASSERT_OK(ostrel_fs_revision_root(&from_root, filesystem, rev, pool_));
    ASSERT_OK(ostrel_fs_copy(from_root, from, to, to_path, pool_));
  }

  // A history with every kind of change: adds, modifications of contents and
  // properties, copies of files and directories with changes below them,
  // replacements with and without history, deletions, a multi-chunk file,
  // an empty file, binary contents and unusual names.
  ostrel_repos *rich_repository(const std::string &name) {
    ostrel_repos *r = create(name);
    EXPECT_OK(
        ostrel_repos_change_rev_prop(r, 0, "custom", ostrel_string_create("zero", pool_), pool_));
    commit(r, "r1", [&](ostrel_fs_root *root, ostrel_fs *) {
      ASSERT_OK(ostrel_fs_make_dir(root, "/trunk", pool_));
      put(root, "/trunk/a", "alpha\n");
      prop(root, "/trunk/a", "mime", "text/plain");
      ASSERT_OK(ostrel_fs_make_dir(root, "/trunk/d", pool_));
      put(root, "/trunk/d/b", "beta\n");
      prop(root, "/", "root-prop", "x");
    });
    commit(r, "r2", [&](ostrel_fs_root *root, ostrel_fs *) {
      put(root, "/trunk/a", "alpha 2\n", false);
      prop(root, "/trunk/d", "owner", "bob");
      prop(root, "/trunk/a", "mime", nullptr);
      prop(root, "/trunk/a", "eol", "native");
    });
    commit(r, "r3", [&](ostrel_fs_root *root, ostrel_fs *filesystem) {
      ASSERT_OK(ostrel_fs_make_dir(root, "/tags", pool_));
      copy(filesystem, 2, "/trunk", root, "/tags/v1");
      put(root, "/tags/v1/a", "changed in the copy\n", false);
      ASSERT_OK(ostrel_fs_delete(root, "/tags/v1/d/b", pool_));
      prop(root, "/tags/v1", "frozen", "yes");
    });
    commit(r, "r4", [&](ostrel_fs_root *root, ostrel_fs *filesystem) {
      ASSERT_OK(ostrel_fs_delete(root, "/trunk/d", pool_));  // replaced without history
      ASSERT_OK(ostrel_fs_make_dir(root, "/trunk/d", pool_));
      put(root, "/trunk/d/new", "");
      ASSERT_OK(ostrel_fs_delete(root, "/trunk/a", pool_));  // replaced with history
      copy(filesystem, 3, "/tags/v1/a", root, "/trunk/a");
      copy(filesystem, 1, "/trunk/d/b", root, "/trunk/b-moved");  // a file from an old revision
    });
    commit(r, "r5", [&](ostrel_fs_root *root, ostrel_fs *) {
      std::string big;
      for (int i = 0; big.size() < 300000; ++i) big += std::to_string(i * 7919) + ",";
      put(root, "/trunk/big", big);
      std::string binary;
      for (int i = 0; i < 600; ++i) binary.push_back(static_cast<char>(i % 256));
      put(root, "/trunk/bin ary \xc3\xa9", binary);
      prop(root, "/trunk/bin ary \xc3\xa9", "multi-line", "v\n\r");
    });
    commit(r, "r6", [&](ostrel_fs_root *root, ostrel_fs *filesystem) {
      ASSERT_OK(ostrel_fs_delete(root, "/tags", pool_));
      copy(filesystem, 5, "/trunk", root, "/branch");
      put(root, "/branch/big", "short now", false);
    });
    return r;
  }

  std::string dump(ostrel_repos *repos, ostrel_revnum lower, ostrel_revnum upper) {
    ostrel_stringbuf *buf = ostrel_stringbuf_create("", pool_);
    ostrel_stream *out = ostrel_stream_from_stringbuf(buf, pool_);
    ostrel_error *err = ostrel_repos_dump(repos, lower, upper, out, nullptr, nullptr, pool_);
    EXPECT_EQ(err, nullptr) << chain_text(err);
    ostrel_error_clear(err);
    return std::string(buf->data, buf->len);
  }

  ostrel_error *load(ostrel_repos *repos, const std::string &stream,
                     ostrel_revnum *youngest = nullptr) {
    ostrel_string *s = ostrel_string_ncreate(stream.data(), stream.size(), pool_);
    return ostrel_repos_load(repos, ostrel_stream_from_string(s, pool_), youngest, nullptr, nullptr,
                             pool_);
  }

  // Everything a repository says about revisions 0 to UPTO, as text.
  std::string describe(ostrel_repos *repos, ostrel_revnum upto = -1) {
    ostrel_fs *filesystem = ostrel_repos_fs(repos);
    ostrel_revnum y;
    std::string out;
    ostrel_error *err = ostrel_fs_youngest_rev(&y, filesystem, pool_);
    if (upto < 0) {
      out += "youngest " + std::to_string(y) + "\n";
      upto = y;
    }
    for (ostrel_revnum rev = 0; !err && rev <= upto; ++rev) {
      apr_hash_t *props;
      err = ostrel_fs_revision_proplist(&props, filesystem, rev, pool_);
      if (err) break;
      out += "r" + std::to_string(rev) + "\n" + props_text(props);
      ostrel_fs_root *root;
      apr_hash_t *changed;
      err = ostrel_fs_revision_root(&root, filesystem, rev, pool_);
      if (!err) err = ostrel_fs_paths_changed2(&changed, root, pool_);
      if (err) break;
      std::map<std::string, std::string> changes;
      for (apr_hash_index_t *hi = apr_hash_first(pool_, changed); hi; hi = apr_hash_next(hi)) {
        const void *key;
        void *val;
        apr_hash_this(hi, &key, nullptr, &val);
        auto *c = static_cast<ostrel_path_change *>(val);
        changes[static_cast<const char *>(key)] =
            std::to_string(c->change_kind) + std::to_string(c->node_kind) +
            std::to_string(c->text_mod) + std::to_string(c->prop_mod) + " " +
            (c->copyfrom_path ? c->copyfrom_path : "-") + "@" + std::to_string(c->copyfrom_rev);
      }
      for (auto &[path, what] : changes) out += "  changed " + path + " " + what + "\n";
      err = tree(root, "/", &out);
    }
    std::string text = chain_text(err);
    ostrel_error_clear(err);
    return out + text;
  }

  static std::string props_text(apr_hash_t *props) {
    std::map<std::string, std::string> sorted;
    apr_pool_t *p = apr_hash_pool_get(props);
    for (apr_hash_index_t *hi = apr_hash_first(p, props); hi; hi = apr_hash_next(hi)) {
      const void *key;
      void *val;
      apr_hash_this(hi, &key, nullptr, &val);
      auto *v = static_cast<ostrel_string *>(val);
      sorted[static_cast<const char *>(key)] = std::string(v->data, v->len);
    }
    std::string out;
    for (auto &[k, v] : sorted) out += "  prop " + k + "=" + v + "\n";
    return out;
  }

  ostrel_error *tree(ostrel_fs_root *root, const std::string &path, std::string *out) {
    ostrel_node_kind kind;
    OSTREL_ERR(ostrel_fs_check_path(&kind, root, path.c_str(), pool_));
    ostrel_revnum created, origin, copy_rev;
    const char *copy_path;
    OSTREL_ERR(ostrel_fs_node_created_rev(&created, root, path.c_str(), pool_));
    OSTREL_ERR(ostrel_fs_node_origin_rev(&origin, root, path.c_str(), pool_));
    OSTREL_ERR(ostrel_fs_copied_from(&copy_rev, &copy_path, root, path.c_str(), pool_));
    apr_hash_t *props;
    OSTREL_ERR(ostrel_fs_node_proplist(&props, root, path.c_str(), pool_));
    *out += "  node " + path + " kind " + std::to_string(kind) + " created " +
            std::to_string(created) + " origin " + std::to_string(origin) + " copied " +
            (copy_path ? copy_path : "-") + "@" + std::to_string(copy_rev) + "\n" +
            props_text(props);
    if (kind == ostrel_node_file) {
      const char *sha;
      ostrel_filesize len;
      OSTREL_ERR(ostrel_fs_file_sha256(&sha, root, path.c_str(), pool_));
      OSTREL_ERR(ostrel_fs_file_length(&len, root, path.c_str(), pool_));
      *out += "    text " + std::to_string(len) + " " + sha + "\n";
      return nullptr;
    }
    apr_hash_t *entries;
    OSTREL_ERR(ostrel_fs_dir_entries(&entries, root, path.c_str(), pool_));
    std::map<std::string, int> names;
    for (apr_hash_index_t *hi = apr_hash_first(pool_, entries); hi; hi = apr_hash_next(hi)) {
      void *val;
      apr_hash_this(hi, nullptr, nullptr, &val);
      names[static_cast<ostrel_fs_dirent *>(val)->name] = 1;
    }
    for (auto &[name, unused] : names)
      OSTREL_ERR(tree(root, (path == "/" ? "/" : path + "/") + name, out));
    return nullptr;
  }

  ostrel_revnum youngest(ostrel_repos *repos) {
    ostrel_revnum y = -1;
    ostrel_error_clear(ostrel_fs_youngest_rev(&y, ostrel_repos_fs(repos), pool_));
    return y;
  }

  TempDir dir_{"ostrel-dump"};
};

TEST_F(DumpTest, RoundTripGivesAnIdenticalRepository) {
  ostrel_repos *src = rich_repository("src");
  std::string stream = dump(src, 0, 6);
  ASSERT_EQ(code_of(ostrel_repos_dump_check(
                ostrel_stream_from_string(
                    ostrel_string_ncreate(stream.data(), stream.size(), pool_), pool_),
                pool_)),
            0);
  ostrel_repos *dst = create("dst");
  ostrel_revnum y;
  ASSERT_OK(load(dst, stream, &y));
  EXPECT_EQ(y, 6);
  std::string expected = describe(src);
  EXPECT_NE(expected.find("origin"), std::string::npos);
  EXPECT_EQ(describe(dst), expected);
  // A dump of the copy is the same stream, byte for byte.
  EXPECT_EQ(dump(dst, 0, 6), stream);
  ASSERT_OK(ostrel_fs_verify(ostrel_repos_fs(dst), 0, 6, nullptr, nullptr, pool_));
}

TEST_F(DumpTest, LoadsOnTopOfTheHistoryItContinues) {
  ostrel_repos *src = rich_repository("src");
  ostrel_repos *dst = create("dst");
  ASSERT_OK(load(dst, dump(src, 1, 2)));  // from revision 1: fits an empty repository
  EXPECT_EQ(youngest(dst), 2);
  std::string rest = dump(src, 3, 6);
  ASSERT_OK(load(dst, rest));
  // Revision 0's properties were not in the streams; everything else is equal.
  ostrel_repos *full = create("full");
  ASSERT_OK(load(full, dump(src, 0, 0)));
  ASSERT_OK(load(full, dump(src, 1, 6)));
  EXPECT_EQ(describe(full), describe(src));
  std::string d = describe(dst), s = describe(src);
  EXPECT_EQ(d.substr(d.find("r1\n")), s.substr(s.find("r1\n")));
}

// A loaded revision's date is written with the revision itself, not by a
// later change that a crash could stop: with every change of an existing
// revision's properties failing, each loaded revision still has its date.
TEST_F(DumpTest, LoadedRevisionsGetTheirDatesInTheirOwnCommit) {
  ostrel_repos *src = rich_repository("src");
  const std::string stream = dump(src, 1, 6);
  ostrel_repos *dst = create("dst");
  ostrel_fs__set_fault_hook([](const char *point) -> ostrel_error * {
    if (std::strcmp(point, "revprop-written") != 0) return nullptr;
    return ostrel_error_create(OSTREL_ERR_FS_GENERAL, nullptr, "injected failure");
  });
  apr_status_t change =
      code_of(ostrel_repos_change_rev_prop(src, 1, "x", ostrel_string_create("y", pool_), pool_));
  ostrel_error *err = load(dst, stream);
  ostrel_fs__set_fault_hook(nullptr);
  EXPECT_NE(change, 0);  // the hook is in the way of such changes
  ASSERT_OK(err);
  std::string d = describe(dst), s = describe(src);
  EXPECT_EQ(d.substr(d.find("r1\n")), s.substr(s.find("r1\n")));
}

TEST_F(DumpTest, StreamsThatDoNotFitChangeNothing) {
  ostrel_repos *src = rich_repository("src");
  ostrel_repos *other = rich_repository("other");  // same shape, other dates
  std::string rest = dump(src, 3, 6);
  ostrel_repos *dst = create("dst");
  ASSERT_OK(load(dst, dump(src, 0, 2)));
  struct Case {
    const char *what;
    ostrel_repos *repos;
    std::string stream;
    ostrel_revnum youngest;
  } cases[] = {
      {"a full stream into a repository with history", dst, dump(src, 0, 6), 2},
      {"a stream from revision 1 into a repository with history", dst, dump(src, 1, 6), 2},
      {"a continuation of revision 2 into an empty repository", create("empty"), rest, 0},
      {"a continuation of another repository's revision 2", nullptr, rest, 2},
      {"a continuation that skips revisions", dst, dump(src, 5, 6), 2},
  };
  cases[3].repos = create("cut");
  ASSERT_OK(load(cases[3].repos, dump(other, 0, 2)));
  for (auto &c : cases) {
    std::string before = describe(c.repos), text;
    ostrel_revnum y;
    EXPECT_EQ(code_of(load(c.repos, c.stream, &y), &text), OSTREL_ERR_DUMP_STREAM_MISFIT)
        << c.what << "\n"
        << text;
    EXPECT_EQ(y, c.youngest) << c.what;
    EXPECT_EQ(describe(c.repos), before) << c.what;
  }
}

TEST_F(DumpTest, DamagedOrCutStreamsKeepEarlierRevisionsWhole) {
  ostrel_repos *src = rich_repository("src");
  const std::string stream = dump(src, 0, 6);
  // Where each revision's part of the stream ends.
  std::map<size_t, ostrel_revnum> ends;
  for (ostrel_revnum rev = 0; rev <= 6; ++rev) {
    size_t at = stream.find("end-revision " + std::to_string(rev) + " ");
    ends[stream.find('\n', at) + 1] = rev;
  }
  std::string expected_whole = describe(src);
  int n = 0;
  for (size_t cut = 0; cut < stream.size(); cut += 1 + stream.size() / 23, ++n) {
    for (bool flip : {false, true}) {
      std::string damaged = flip ? stream : stream.substr(0, cut);
      if (flip) damaged[cut] = static_cast<char>(damaged[cut] ^ 0x20);
      ostrel_repos *dst = create("d" + std::to_string(n) + (flip ? "f" : "c"));
      ostrel_revnum y;
      std::string text;
      apr_status_t code = code_of(load(dst, damaged, &y), &text);
      // Every revision whose end mark lies before the damage is loaded; none
      // after it.
      ostrel_revnum complete = 0;
      for (auto &[end, rev] : ends)
        if (end <= cut) complete = rev;
      SCOPED_TRACE((flip ? "byte flipped at " : "cut at ") + std::to_string(cut) + "\n" + text);
      EXPECT_EQ(code, OSTREL_ERR_DUMP_STREAM_DAMAGED);
      EXPECT_EQ(y, complete);
      if (y > 0) {
        EXPECT_EQ(describe(dst, y), describe(src, y));
      }
      ASSERT_OK(ostrel_fs_verify(ostrel_repos_fs(dst), 0, y, nullptr, nullptr, pool_));
    }
  }
  EXPECT_GT(n, 20);
}

TEST_F(DumpTest, HostileStreamsAreRefusedWithoutHugeAllocations) {
  const char *header = "OSTREL-DUMP 1\nbase none -\n";
  struct Case {
    const char *what;
    std::string stream;
  } cases[] = {
      {"empty", ""},
      {"another format", "OSTREL-DUMP 2\nbase none -\n"},
      {"no end mark", std::string(header)},
      {"a huge revprop", std::string(header) + "revision 0\nrevprop 5 67108864\nhello"},
      {"a length beyond the bound", std::string(header) + "revision 0\nrevprop 5 999999999999\n"},
      {"a huge text", std::string(header) +
                          "revision 0\nend-revision 0 "
                          "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855\n"
                          "revision 1\nnode add file 2\n/f\ntext 4611686018427387904 " +
                          std::string(64, 'a') + "\nxyz"},
      {"a negative length", std::string(header) + "revision 0\nrevprop -1 3\n"},
      {"a long line", std::string(header) + std::string(100000, 'x')},
      {"a revision out of order", std::string(header) + "revision 3\n"},
      {"nodes in revision 0", std::string(header) + "revision 0\nnode add dir 2\n/d\n"},
      {"bytes after the end", std::string(header) + "end\nmore"},
  };
  for (auto &c : cases) {
    ostrel_string *s = ostrel_string_ncreate(c.stream.data(), c.stream.size(), pool_);
    std::string text;
    EXPECT_EQ(code_of(ostrel_repos_dump_check(ostrel_stream_from_string(s, pool_), pool_), &text),
              OSTREL_ERR_DUMP_STREAM_DAMAGED)
        << c.what << "\n"
        << text;
  }
}

TEST_F(DumpTest, ChangedRevisionPropertiesAndBackups) {
  ostrel_repos *src = rich_repository("src");
  ostrel_string *v = ostrel_string_create("new log", pool_);
  ASSERT_OK(ostrel_repos_change_rev_prop(src, 2, OSTREL_PROP_REVISION_LOG, v, pool_));
  ostrel_string *got;
  ASSERT_OK(
      ostrel_fs_revision_prop(&got, ostrel_repos_fs(src), 2, OSTREL_PROP_REVISION_LOG, pool_));
  ASSERT_NE(got, nullptr);
  EXPECT_EQ(std::string(got->data, got->len), "new log");
  EXPECT_EQ(code_of(ostrel_repos_change_rev_prop(src, 9, "x", v, pool_)),
            OSTREL_ERR_FS_NO_SUCH_REVISION);
  EXPECT_EQ(
      code_of(ostrel_repos_change_rev_prop(src, 1, OSTREL_PROP_REVISION_DATE, nullptr, pool_)),
      OSTREL_ERR_BAD_PROPERTY_VALUE);

  std::string copy = dir_.path() + "/copy";
  ASSERT_OK(
      ostrel_repos_backup((dir_.path() + "/src").c_str(), copy.c_str(), nullptr, nullptr, pool_));
  ostrel_repos *dst;
  ASSERT_OK(ostrel_repos_open2(&dst, copy.c_str(), nullptr, pool_));
  EXPECT_EQ(describe(dst), describe(src));
  // A backup never writes over something that is there.
  EXPECT_EQ(code_of(ostrel_repos_backup((dir_.path() + "/src").c_str(), copy.c_str(), nullptr,
                                        nullptr, pool_)),
            OSTREL_ERR_REPOS_ALREADY_EXISTS);
}

}  // namespace
