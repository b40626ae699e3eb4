// ostrel-damage: damages a repository on purpose, whatever keeps it (local
// database and packs, or PostgreSQL), through the typed damage each store
// carries (ostrel/fs/damage_for_tests.h).  The end-to-end damage tests use
// it; it is built in the tree and never installed.
//
// Usage: ostrel-damage REPOS-PATH OPERATION ARGS...
//   changed-path REV PATH FIELD=VALUE...
//       rewrites row PATH of revision REV's changed paths; FIELD is path,
//       change, node-kind, text-mod, prop-mod, copy-path or copy-rev (an
//       empty VALUE: none)
//   add-changed-path REV PATH CHANGE NODE-KIND
//   entries NAME KIND [CHILD-REV CHILD-PATH]
//       every stored entry NAME gets KIND (and the node at CHILD-PATH in
//       CHILD-REV as its child)
//   loop-directories     every chained directory version names itself
//   revision-root REV NODE
//       revision REV's record names node NODE as its root
//   checksum REV PATH    the contents record of file PATH says a wrong SHA-256
//   flip REV PATH        flips the middle byte of the last stored chunk of PATH
//   cut REV PATH         cuts the last stored chunk of PATH in half
//   remove REV PATH      removes the last stored chunk of PATH
//   count                prints what the stores hold, one "NAME VALUE" a line
//                        (changes nothing)
//   hold-lock SECONDS    commits a property change of the root and, while the
//                        commit holds the repository's write lock, prints
//                        "holding" and waits SECONDS: another committer meanwhile
//                        waits for the lock (and gives up after its busy timeout)
// Errors are printed with the prefix "ostrel-damage: " (status 1).

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "damage_for_tests.h"
#include "handles.h"
#include "meta.h"
#include "ostrel_error.h"
#include "ostrel_fs.h"
#include "ostrel_pools.h"
#include "ostrel_repos.h"
#include "ostrel_tool_main.h"

using namespace ostrel::fs;

namespace {

ostrel_error *usage(const char *why) {
  return ostrel_error_createf(OSTREL_ERR_BAD_ARGUMENTS, nullptr,
                              "%s (see the comment at the top of damage_tool.cpp)", why);
}

ostrel_error *number(const std::string &text, int64_t *out) {
  char *end;
  errno = 0;
  long long v = std::strtoll(text.c_str(), &end, 10);
  if (text.empty() || *end || errno)
    return ostrel_error_createf(OSTREL_ERR_BAD_ARGUMENTS, nullptr, "'%s' is not a number",
                                text.c_str());
  *out = v;
  return nullptr;
}

ostrel_error *revision(const std::string &text, ostrel_revnum *rev) {
  int64_t v;
  OSTREL_ERR(number(text, &v));
  *rev = static_cast<ostrel_revnum>(v);
  return nullptr;
}

// Row PATH of revision REV as stored, with the edits FIELD=VALUE applied.
ostrel_error *edited_row(ostrel_fs *filesystem, ostrel_revnum rev, const std::string &path,
                         const std::vector<std::string> &edits, ChangedPath *row) {
  std::unique_ptr<Snapshot> snapshot;
  OSTREL_ERR(filesystem->meta->snapshot(&snapshot));
  std::vector<ChangedPath> rows;
  OSTREL_ERR(snapshot->changed_paths(rev, rows));
  bool found = false;
  for (const ChangedPath &r : rows)
    if (r.path == path) {
      *row = r;
      found = true;
    }
  if (!found)
    return ostrel_error_createf(OSTREL_ERR_FS_NOT_FOUND, nullptr,
                                "Revision %d has no changed path '%s'", rev, path.c_str());
  for (const std::string &edit : edits) {
    size_t eq = edit.find('=');
    if (eq == std::string::npos) return usage(("'" + edit + "' is not FIELD=VALUE").c_str());
    const std::string field = edit.substr(0, eq), value = edit.substr(eq + 1);
    int64_t n = 0;
    const bool numeric = field != "path" && field != "copy-path";
    if (numeric && !value.empty()) OSTREL_ERR(number(value, &n));
    if (field == "path")
      row->path = value;
    else if (field == "change")
      row->change = n;
    else if (field == "node-kind")
      row->node_kind = n;
    else if (field == "text-mod")
      row->text_mod = n;
    else if (field == "prop-mod")
      row->prop_mod = n;
    else if (field == "copy-path")
      row->copy_path = value.empty() ? std::nullopt : std::optional<std::string>(value);
    else if (field == "copy-rev")
      row->copy_rev = value.empty() ? std::nullopt : std::optional<int64_t>(n);
    else
      return usage(("unknown field '" + field + "'").c_str());
  }
  return nullptr;
}

// The contents and last chunk of file PATH in revision REV.
ostrel_error *last_chunk(ostrel_fs *filesystem, ostrel_revnum rev, const std::string &path,
                         int64_t *content, int64_t *seq) {
  int64_t chunks;
  OSTREL_ERR(locate_contents(filesystem, rev, path, content, &chunks));
  if (chunks == 0)
    return ostrel_error_createf(OSTREL_ERR_FS_NOT_FILE, nullptr,
                                "'%s' in revision %d has no stored contents", path.c_str(), rev);
  *seq = chunks - 1;
  return nullptr;
}

// hold-lock: at the point where a commit holds the write lock, says so and
// waits.
unsigned g_hold_seconds = 0;

ostrel_error *hold_at_commit_point(const char *point) {
  if (std::strcmp(point, "commit-written") != 0) return nullptr;
  std::printf("holding\n");
  std::fflush(stdout);
  sleep(g_hold_seconds);
  return nullptr;
}

ostrel_error *hold_lock(ostrel_fs *filesystem, int64_t seconds, apr_pool_t *pool) {
  if (seconds < 0 || seconds > 3600)
    return usage("hold-lock takes from 0 to 3600 seconds");
  ostrel_revnum youngest;
  OSTREL_ERR(ostrel_fs_youngest_rev(&youngest, filesystem, pool));
  ostrel_fs_txn *txn;
  OSTREL_ERR(ostrel_fs_begin_txn(&txn, filesystem, youngest, pool));
  ostrel_fs_root *root;
  OSTREL_ERR(ostrel_fs_txn_root(&root, txn, pool));
  OSTREL_ERR(ostrel_fs_change_node_prop(root, "", "held-lock",
                                        ostrel_string_create("yes", pool), pool));
  g_hold_seconds = static_cast<unsigned>(seconds);
  ostrel_fs__set_fault_hook(hold_at_commit_point);
  ostrel_revnum rev;
  ostrel_error *err = ostrel_fs_commit_txn(nullptr, &rev, txn, pool);
  ostrel_fs__set_fault_hook(nullptr);
  return err;
}

ostrel_error *run(int argc, char **argv, apr_pool_t *pool) {
  if (argc < 3) return usage("expected REPOS-PATH OPERATION ARGS...");
  const std::string repo = argv[1], op = argv[2];
  const std::vector<std::string> args(argv + 3, argv + argc);
  ostrel_repos *repos;
  OSTREL_ERR(ostrel_repos_open2(&repos, repo.c_str(), nullptr, pool));
  ostrel_fs *filesystem = ostrel_repos_fs(repos);
  std::unique_ptr<Damage> damage;
  OSTREL_ERR(open_damage(repo, &damage));
  auto want = [&](size_t n) { return args.size() == n; };
  ostrel_revnum rev = 0;
  if (!args.empty() && op != "entries" && op != "hold-lock") OSTREL_ERR(revision(args[0], &rev));

  if (op == "changed-path" && args.size() >= 3) {
    ChangedPath row;
    OSTREL_ERR(edited_row(filesystem, rev, args[1],
                          std::vector<std::string>(args.begin() + 2, args.end()), &row));
    return damage->replace_changed_path(rev, args[1], row);
  }
  if (op == "add-changed-path" && want(4)) {
    ChangedPath row;
    row.path = args[1];
    OSTREL_ERR(number(args[2], &row.change));
    OSTREL_ERR(number(args[3], &row.node_kind));
    return damage->add_changed_path(rev, row);
  }
  if (op == "entries" && (want(2) || want(4))) {
    int64_t kind;
    OSTREL_ERR(number(args[1], &kind));
    std::optional<int64_t> child;
    if (want(4)) {
      ostrel_revnum child_rev;
      OSTREL_ERR(revision(args[2], &child_rev));
      NodeRow node;
      OSTREL_ERR(locate_node(filesystem, child_rev, args[3], &node));
      child = node.id;
    }
    return damage->rewrite_entries(args[0], child, kind);
  }
  if (op == "loop-directories" && want(0)) return damage->loop_directory_versions();
  if (op == "hold-lock" && want(1)) {
    int64_t seconds;
    OSTREL_ERR(number(args[0], &seconds));
    return hold_lock(filesystem, seconds, pool);
  }
  if (op == "count" && want(0)) {
    Counts c;
    OSTREL_ERR(damage->tally(&c));
    std::printf("transactions %lld\nunfinished-contents %lld\nchunks %lld\nheld-bytes %lld\n",
                static_cast<long long>(c.transactions),
                static_cast<long long>(c.unfinished_contents), static_cast<long long>(c.chunks),
                static_cast<long long>(c.held_bytes));
    return nullptr;
  }
  if (op == "revision-root" && want(2)) {
    int64_t node;
    OSTREL_ERR(number(args[1], &node));
    return damage->set_revision_root(rev, node);
  }
  if (want(2) && (op == "checksum" || op == "flip" || op == "cut" || op == "remove")) {
    int64_t content = 0, seq = 0, size = 0;
    OSTREL_ERR(last_chunk(filesystem, rev, args[1], &content, &seq));
    if (op == "checksum") return damage->set_content_sha(content, std::string(64, '0'));
    if (op == "remove") return damage->remove_stored(content, seq);
    OSTREL_ERR(damage->stored_size(content, seq, &size));
    return op == "flip" ? damage->flip_stored_byte(content, seq, size / 2)
                        : damage->cut_stored(content, seq, size / 2);
  }
  return usage(("unknown operation or wrong arguments: '" + op + "'").c_str());
}

}  // namespace

int main(int argc, char **argv) { return ostrel_test::tool_main(argc, argv, "ostrel-damage: ", run); }
