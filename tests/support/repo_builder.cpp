// ostrel-repo-builder: makes commits in a local repository from a script on
// standard input, through the repository library.  Tests, the demo and the
// benchmarks use it to build repositories of a known shape.
//
// Usage: ostrel-repo-builder [--create [--format N]] REPOS-PATH < SCRIPT
// (--format: the format of the new repository, as OSTREL_FS_CONFIG_FORMAT)
//
// Script lines (words separated by single blanks; TEXT is the rest of the line):
//   begin [BASE]             start a transaction (on the youngest revision by default)
//   mkdir PATH | mkfile PATH | rm PATH
//   put PATH LOCAL-FILE      stream a local file's contents into file PATH
//   puttext PATH TEXT        set file PATH's contents to TEXT and a line feed
//   cp REV FROM-PATH TO-PATH copy with history
//   propset PATH NAME TEXT | propdel PATH NAME | revprop NAME TEXT
//   files DIR COUNT          add COUNT small files DIR/f0 ... (each "file N\n")
//   commit                   commit; prints "rN" on standard output
//   abort
// Errors are printed with the prefix "ostrel-repo-builder: " (status 1).

#include <apr_strings.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "ostrel_error.h"
#include "ostrel_fs.h"
#include "ostrel_pools.h"
#include "ostrel_repos.h"
#include "ostrel_tool_main.h"

namespace {

struct Builder {
  ostrel_fs *filesystem = nullptr;
  apr_pool_t *pool = nullptr;  // lives as long as the builder
  apr_pool_t *txn_pool = nullptr;
  ostrel_fs_txn *txn = nullptr;
  ostrel_fs_root *root = nullptr;
};

ostrel_error *write_all(ostrel_stream *s, const char *data, size_t len) {
  apr_size_t n = len;
  return ostrel_stream_write(s, data, &n);
}

ostrel_error *put_text(Builder &b, const std::string &path, const std::string &text,
                       apr_pool_t *pool) {
  ostrel_stream *s;
  OSTREL_ERR(ostrel_fs_apply_text(&s, b.root, path.c_str(), pool));
  OSTREL_ERR(write_all(s, text.data(), text.size()));
  return ostrel_stream_close(s);
}

ostrel_error *put_file(Builder &b, const std::string &path, const std::string &local,
                       apr_pool_t *pool) {
  FILE *f = std::fopen(local.c_str(), "rb");
  if (!f) return ostrel_error_from_errno(errno, "Can't open file '%s'", local.c_str());
  ostrel_stream *s;
  ostrel_error *err = ostrel_fs_apply_text(&s, b.root, path.c_str(), pool);
  std::vector<char> buf(OSTREL_STREAM_CHUNK_SIZE);
  while (!err) {
    size_t n = std::fread(buf.data(), 1, buf.size(), f);
    if (n) err = write_all(s, buf.data(), n);
    if (n < buf.size()) {
      if (std::ferror(f)) err = ostrel_error_from_errno(EIO, "Can't read file '%s'", local.c_str());
      break;
    }
  }
  std::fclose(f);
  if (!err) err = ostrel_stream_close(s);
  return err;
}

ostrel_error *run_line(Builder &b, const std::string &line, apr_pool_t *pool) {
  std::istringstream in(line);
  std::string cmd, a1, a2;
  in >> cmd;
  auto rest = [&](size_t words) {
    size_t pos = 0;
    for (size_t i = 0; i <= words && pos != std::string::npos; ++i) {
      pos = line.find(' ', pos);
      if (pos != std::string::npos) ++pos;
    }
    return pos == std::string::npos ? std::string() : line.substr(pos);
  };
  if (cmd.empty() || cmd[0] == '#') return nullptr;
  if (cmd == "begin") {
    if (b.txn) return ostrel_error_create(OSTREL_ERR_BAD_ARGUMENTS, nullptr, "'begin' twice");
    ostrel_revnum base;
    OSTREL_ERR(ostrel_fs_youngest_rev(&base, b.filesystem, pool));
    if (in >> a1) base = static_cast<ostrel_revnum>(std::stol(a1));
    b.txn_pool = ostrel_pool_create(b.pool);
    OSTREL_ERR(ostrel_fs_begin_txn(&b.txn, b.filesystem, base, b.txn_pool));
    return ostrel_fs_txn_root(&b.root, b.txn, b.txn_pool);
  }
  if (!b.txn)
    return ostrel_error_createf(OSTREL_ERR_BAD_ARGUMENTS, nullptr, "'%s' outside a transaction",
                                cmd.c_str());
  apr_pool_t *p = b.txn_pool;
  in >> a1;
  if (cmd == "mkdir") return ostrel_fs_make_dir(b.root, a1.c_str(), p);
  if (cmd == "mkfile") return ostrel_fs_make_file(b.root, a1.c_str(), p);
  if (cmd == "rm") return ostrel_fs_delete(b.root, a1.c_str(), p);
  if (cmd == "put") {
    in >> a2;
    return put_file(b, a1, a2, p);
  }
  if (cmd == "puttext") return put_text(b, a1, rest(1) + "\n", p);
  if (cmd == "cp") {
    std::string to;
    in >> a2 >> to;
    ostrel_fs_root *from;
    OSTREL_ERR(ostrel_fs_revision_root(&from, b.filesystem, static_cast<ostrel_revnum>(std::stol(a1)), p));
    return ostrel_fs_copy(from, a2.c_str(), b.root, to.c_str(), p);
  }
  if (cmd == "propset" || cmd == "propdel") {
    in >> a2;
    std::string text = rest(2);
    ostrel_string value{text.c_str(), text.size()};
    return ostrel_fs_change_node_prop(b.root, a1.c_str(), a2.c_str(),
                                      cmd == "propset" ? &value : nullptr, p);
  }
  if (cmd == "revprop") {
    std::string text = rest(1);
    ostrel_string value{text.c_str(), text.size()};
    return ostrel_fs_change_txn_prop(b.txn, a1.c_str(), &value, p);
  }
  if (cmd == "files") {
    in >> a2;
    long count = std::stol(a2);
    apr_pool_t *iter = ostrel_pool_create(p);
    for (long i = 0; i < count; ++i) {
      apr_pool_clear(iter);
      std::string path = a1 + "/f" + std::to_string(i);
      OSTREL_ERR(ostrel_fs_make_file(b.root, path.c_str(), iter));
      OSTREL_ERR(put_text(b, path, "file " + std::to_string(i) + "\n", iter));
    }
    apr_pool_destroy(iter);
    return nullptr;
  }
  if (cmd == "commit" || cmd == "abort") {
    ostrel_error *err = nullptr;
    if (cmd == "commit") {
      ostrel_revnum rev;
      err = ostrel_fs_commit_txn(nullptr, &rev, b.txn, pool);
      if (!err) std::printf("r%ld\n", static_cast<long>(rev));
    }
    apr_pool_destroy(b.txn_pool);  // aborts an uncommitted transaction
    b.txn = nullptr;
    b.txn_pool = nullptr;
    return err;
  }
  return ostrel_error_createf(OSTREL_ERR_BAD_ARGUMENTS, nullptr, "Unknown command '%s'",
                              cmd.c_str());
}

ostrel_error *run(int argc, char **argv, apr_pool_t *pool) {
  bool create = argc > 1 && !std::strcmp(argv[1], "--create");
  const char *format = nullptr;
  if (create && argc > 3 && !std::strcmp(argv[2], "--format")) format = argv[3];
  const int words = create ? (format ? 5 : 3) : 2;
  if (argc != words)
    return ostrel_error_create(OSTREL_ERR_BAD_ARGUMENTS, nullptr,
                               "Usage: ostrel-repo-builder [--create [--format N]] REPOS-PATH "
                               "< SCRIPT");
  const char *path = argv[words - 1];
  ostrel_repos *repos;
  apr_hash_t *config = nullptr;
  if (format) {
    config = apr_hash_make(pool);
    apr_hash_set(config, OSTREL_FS_CONFIG_FORMAT, APR_HASH_KEY_STRING, format);
  }
  if (create)
    OSTREL_ERR(ostrel_repos_create(&repos, path, config, pool));
  else
    OSTREL_ERR(ostrel_repos_open2(&repos, path, nullptr, pool));
  Builder b;
  b.filesystem = ostrel_repos_fs(repos);
  b.pool = pool;
  std::string line;
  long lineno = 0;
  apr_pool_t *iter = ostrel_pool_create(pool);
  while (std::getline(std::cin, line)) {
    ++lineno;
    apr_pool_clear(iter);
    ostrel_error *err = run_line(b, line, iter);
    if (err) return ostrel_error_quick_wrapf(err, "Script line %ld: %s", lineno, line.c_str());
  }
  return nullptr;
}

}  // namespace

int main(int argc, char **argv) { return ostrel_test::tool_main(argc, argv, "ostrel-repo-builder: ", run); }
