// ostrel-admin: creates, inspects and verifies local repositories.
//
// Usage: ostrel-admin SUBCOMMAND [ARGS...]; every subcommand takes --help.
// Output goes to standard output; every failure ends in one place (main),
// printed as an error chain prefixed "ostrel-admin: ", with status 1.

#include <apr_general.h>
#include <apr_hash.h>
#include <apr_strings.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "ostrel_error.h"
#include "ostrel_fs.h"
#include "ostrel_pools.h"
#include "ostrel_repos.h"

namespace {

struct Subcommand {
  const char *name;
  const char *usage;
  const char *summary;
  ostrel_error *(*run)(const std::vector<std::string> &args, ostrel_revnum start,
                       ostrel_revnum end, bool verbose, apr_pool_t *pool);
  bool takes_rev;
  bool takes_verbose;
};

const char kProgramUsage[] =
    "Usage: ostrel-admin SUBCOMMAND [ARGS...]\n"
    "Creates, inspects and verifies local repositories.\n"
    "Type 'ostrel-admin SUBCOMMAND --help' for help on one subcommand.\n"
    "\n"
    "Subcommands:\n";

ostrel_error *bad_args(const char *fmt, const char *arg = "") {
  return ostrel_error_createf(OSTREL_ERR_BAD_ARGUMENTS, nullptr, fmt, arg);
}

ostrel_error *out(const char *data, size_t len) {
  if (len && std::fwrite(data, 1, len, stdout) != len)
    return ostrel_error_from_errno(errno ? errno : EIO, "Can't write to standard output");
  return nullptr;
}

ostrel_error *outs(const std::string &s) { return out(s.data(), s.size()); }

ostrel_error *open_fs(ostrel_fs **filesystem, const std::string &path, apr_pool_t *pool) {
  ostrel_repos *repos;
  OSTREL_ERR(ostrel_repos_open2(&repos, path.c_str(), nullptr, pool));
  *filesystem = ostrel_repos_fs(repos);
  return nullptr;
}

// START, or the youngest revision when START is "none given".
ostrel_error *rev_or_youngest(ostrel_revnum *rev, ostrel_fs *filesystem, ostrel_revnum start,
                              apr_pool_t *pool) {
  ostrel_revnum youngest;
  OSTREL_ERR(ostrel_fs_youngest_rev(&youngest, filesystem, pool));
  if (start == OSTREL_INVALID_REVNUM) start = youngest;
  if (start > youngest)
    return ostrel_error_createf(OSTREL_ERR_FS_NO_SUCH_REVISION, nullptr,
                                "No such revision %ld (the youngest is %ld)",
                                static_cast<long>(start), static_cast<long>(youngest));
  *rev = start;
  return nullptr;
}

// The root of revision START (the youngest when START is none) of the
// repository at PATH.
ostrel_error *open_root(ostrel_fs_root **root, const std::string &path, ostrel_revnum start,
                        apr_pool_t *pool) {
  ostrel_fs *filesystem;
  OSTREL_ERR(open_fs(&filesystem, path, pool));
  ostrel_revnum rev = OSTREL_INVALID_REVNUM;
  OSTREL_ERR(rev_or_youngest(&rev, filesystem, start, pool));
  return ostrel_fs_revision_root(root, filesystem, rev, pool);
}

std::vector<std::pair<std::string, const ostrel_string *>> sorted_props(apr_hash_t *props,
                                                                        apr_pool_t *pool) {
  std::vector<std::pair<std::string, const ostrel_string *>> list;
  for (apr_hash_index_t *hi = apr_hash_first(pool, props); hi; hi = apr_hash_next(hi)) {
    const void *key;
    void *val;
    apr_hash_this(hi, &key, nullptr, &val);
    list.emplace_back(static_cast<const char *>(key), static_cast<const ostrel_string *>(val));
  }
  std::sort(list.begin(), list.end(),
            [](auto &a, auto &b) { return a.first < b.first; });
  return list;
}

// One "  NAME: VALUE" line per property, in name order.
ostrel_error *print_props(apr_hash_t *props, apr_pool_t *pool) {
  for (auto &[name, value] : sorted_props(props, pool)) {
    OSTREL_ERR(outs("  " + name + ": "));
    OSTREL_ERR(out(value->data, value->len));
    OSTREL_ERR(outs("\n"));
  }
  return nullptr;
}

ostrel_error *run_create(const std::vector<std::string> &args, ostrel_revnum, ostrel_revnum, bool,
                         apr_pool_t *pool) {
  ostrel_repos *repos;
  return ostrel_repos_create(&repos, args[0].c_str(), nullptr, pool);
}

ostrel_error *run_youngest(const std::vector<std::string> &args, ostrel_revnum, ostrel_revnum,
                           bool, apr_pool_t *pool) {
  ostrel_fs *filesystem;
  OSTREL_ERR(open_fs(&filesystem, args[0], pool));
  ostrel_revnum youngest;
  OSTREL_ERR(ostrel_fs_youngest_rev(&youngest, filesystem, pool));
  return outs(std::to_string(youngest) + "\n");
}

ostrel_error *run_ls(const std::vector<std::string> &args, ostrel_revnum start, ostrel_revnum,
                     bool, apr_pool_t *pool) {
  ostrel_fs_root *root;
  OSTREL_ERR(open_root(&root, args[0], start, pool));
  apr_hash_t *entries;
  OSTREL_ERR(ostrel_fs_dir_entries(&entries, root, args.size() > 1 ? args[1].c_str() : "/", pool));
  std::vector<std::string> names;
  for (apr_hash_index_t *hi = apr_hash_first(pool, entries); hi; hi = apr_hash_next(hi)) {
    void *val;
    apr_hash_this(hi, nullptr, nullptr, &val);
    auto *d = static_cast<ostrel_fs_dirent *>(val);
    names.push_back(std::string(d->name) + (d->kind == ostrel_node_dir ? "/" : ""));
  }
  std::sort(names.begin(), names.end());
  for (auto &n : names) OSTREL_ERR(outs(n + "\n"));
  return nullptr;
}

ostrel_error *run_cat(const std::vector<std::string> &args, ostrel_revnum start, ostrel_revnum,
                      bool, apr_pool_t *pool) {
  ostrel_fs_root *root;
  OSTREL_ERR(open_root(&root, args[0], start, pool));
  ostrel_stream *contents;
  OSTREL_ERR(ostrel_fs_file_contents(&contents, root, args[1].c_str(), pool));
  std::vector<char> buf(OSTREL_STREAM_CHUNK_SIZE);
  while (true) {
    apr_size_t len = buf.size();
    OSTREL_ERR(ostrel_stream_read_full(contents, buf.data(), &len));
    OSTREL_ERR(out(buf.data(), len));
    if (len < buf.size()) break;
  }
  return nullptr;
}

ostrel_error *run_log(const std::vector<std::string> &args, ostrel_revnum start, ostrel_revnum end,
                      bool verbose, apr_pool_t *pool) {
  ostrel_fs *filesystem;
  OSTREL_ERR(open_fs(&filesystem, args[0], pool));
  ostrel_revnum youngest;
  OSTREL_ERR(ostrel_fs_youngest_rev(&youngest, filesystem, pool));
  if (start == OSTREL_INVALID_REVNUM) {  // default: newest first, down to 0
    start = youngest;
    end = 0;
  } else if (end == OSTREL_INVALID_REVNUM) {
    end = start;
  }
  for (ostrel_revnum r : {start, end})
    if (r > youngest)
      return ostrel_error_createf(OSTREL_ERR_FS_NO_SUCH_REVISION, nullptr,
                                  "No such revision %ld (the youngest is %ld)",
                                  static_cast<long>(r), static_cast<long>(youngest));
  apr_pool_t *iterpool = ostrel_pool_create(pool);
  int step = start <= end ? 1 : -1;
  for (ostrel_revnum rev = start;; rev += step) {
    apr_pool_clear(iterpool);
    apr_hash_t *props;
    OSTREL_ERR(ostrel_fs_revision_proplist(&props, filesystem, rev, iterpool));
    OSTREL_ERR(outs("r" + std::to_string(rev) + "\n"));
    OSTREL_ERR(print_props(props, iterpool));
    if (verbose) {
      ostrel_fs_root *root;
      apr_hash_t *changed;
      OSTREL_ERR(ostrel_fs_revision_root(&root, filesystem, rev, iterpool));
      OSTREL_ERR(ostrel_fs_paths_changed2(&changed, root, iterpool));
      std::map<std::string, const ostrel_path_change *> sorted;
      for (apr_hash_index_t *hi = apr_hash_first(iterpool, changed); hi; hi = apr_hash_next(hi)) {
        const void *key;
        void *val;
        apr_hash_this(hi, &key, nullptr, &val);
        sorted[static_cast<const char *>(key)] = static_cast<const ostrel_path_change *>(val);
      }
      OSTREL_ERR(outs("Changed paths:\n"));
      for (auto &[path, ch] : sorted) {
        static const char kLetters[] = "MADR";
        std::string line = std::string("   ") + kLetters[ch->change_kind] + " " + path +
                           (ch->node_kind == ostrel_node_dir ? "/" : "");
        if (ch->copyfrom_path)
          line += std::string(" (from ") + ch->copyfrom_path + ":" +
                  std::to_string(ch->copyfrom_rev) + ")";
        OSTREL_ERR(outs(line + "\n"));
      }
    }
    if (rev == end) break;
  }
  apr_pool_destroy(iterpool);
  return nullptr;
}

ostrel_error *run_proplist(const std::vector<std::string> &args, ostrel_revnum start,
                           ostrel_revnum, bool, apr_pool_t *pool) {
  ostrel_fs_root *root;
  OSTREL_ERR(open_root(&root, args[0], start, pool));
  apr_hash_t *props;
  OSTREL_ERR(ostrel_fs_node_proplist(&props, root, args[1].c_str(), pool));
  return print_props(props, pool);
}

ostrel_error *run_revprops(const std::vector<std::string> &args, ostrel_revnum start,
                           ostrel_revnum, bool, apr_pool_t *pool) {
  if (start == OSTREL_INVALID_REVNUM) return bad_args("'revprops' needs a revision (-r REV)%s");
  ostrel_fs *filesystem;
  OSTREL_ERR(open_fs(&filesystem, args[0], pool));
  apr_hash_t *props;
  OSTREL_ERR(ostrel_fs_revision_proplist(&props, filesystem, start, pool));
  return print_props(props, pool);
}

void notify_verified(void *, ostrel_revnum rev, apr_pool_t *) {
  std::printf("* Verified revision %ld.\n", static_cast<long>(rev));
  std::fflush(stdout);
}

ostrel_error *run_verify(const std::vector<std::string> &args, ostrel_revnum, ostrel_revnum, bool,
                         apr_pool_t *pool) {
  ostrel_fs *filesystem;
  OSTREL_ERR(open_fs(&filesystem, args[0], pool));
  ostrel_revnum youngest;
  OSTREL_ERR(ostrel_fs_youngest_rev(&youngest, filesystem, pool));
  return ostrel_fs_verify(filesystem, 0, youngest, notify_verified, nullptr, pool);
}

ostrel_error *run_origins(const std::vector<std::string> &args, ostrel_revnum, ostrel_revnum, bool,
                          apr_pool_t *pool) {
  ostrel_fs *filesystem;
  OSTREL_ERR(open_fs(&filesystem, args[0], pool));
  apr_int64_t lines, indexed;
  OSTREL_ERR(ostrel_fs_node_origins_stats(&lines, &indexed, filesystem, pool));
  return outs("Lines of history: " + std::to_string(lines) +
              "\nIn the node-origins index: " + std::to_string(indexed) + "\n");
}

ostrel_error *run_upgrade(const std::vector<std::string> &args, ostrel_revnum, ostrel_revnum, bool,
                          apr_pool_t *pool) {
  int old_format = 0;
  OSTREL_ERR(ostrel_repos_upgrade(args[0].c_str(), &old_format, pool));
  if (old_format == OSTREL_REPOS_FORMAT)
    return outs("Repository '" + args[0] + "' is already in format " +
                std::to_string(OSTREL_REPOS_FORMAT) + ".\n");
  return outs("Upgraded repository '" + args[0] + "' from format " + std::to_string(old_format) +
              " to format " + std::to_string(OSTREL_REPOS_FORMAT) + ".\n");
}

const Subcommand kSubcommands[] = {
    {"create", "create PATH", "Create a new, empty repository at PATH.", run_create, false, false},
    {"youngest", "youngest PATH", "Print the youngest revision of the repository.", run_youngest,
     false, false},
    {"ls", "ls PATH [IN-REPO-PATH] [-r REV]",
     "List a directory (default '/', at the youngest revision); directories end in '/'.", run_ls,
     true, false},
    {"cat", "cat PATH IN-REPO-PATH [-r REV]", "Print the contents of a file.", run_cat, true,
     false},
    {"log", "log PATH [-r REV[:REV]] [-v]",
     "Print revision properties, newest first unless a range says otherwise;\n"
     "with -v also the changed paths (M modify, A add, D delete, R replace)\n"
     "and their copy sources.",
     run_log, true, true},
    {"proplist", "proplist PATH IN-REPO-PATH [-r REV]",
     "Print the properties of a node, names and values.", run_proplist, true, false},
    {"revprops", "revprops PATH -r REV", "Print the properties of a revision.", run_revprops,
     true, false},
    {"verify", "verify PATH",
     "Check every revision's tree and contents, one line per revision;\n"
     "stops with an error at the first damage.",
     run_verify, false, false},
    {"origins", "origins PATH",
     "Print how many lines of history exist and how many the node-origins\n"
     "index holds.",
     run_origins, false, false},
    {"upgrade", "upgrade PATH",
     "Convert the repository to the current storage format in place (file\n"
     "contents move into pack files); all or nothing.  Older formats keep\n"
     "working without it.  Nothing else may use the repository meanwhile.",
     run_upgrade, false, false},
};

void print_subcommand_help(const Subcommand &sc) {
  std::printf("Usage: ostrel-admin %s\n%s\n", sc.usage, sc.summary);
}

void print_program_help() {
  std::fputs(kProgramUsage, stdout);
  for (const Subcommand &sc : kSubcommands) std::printf("   %s\n", sc.usage);
}

// Parses "REV" or "REV:REV".
ostrel_error *parse_revs(const char *arg, bool range_ok, ostrel_revnum *start,
                         ostrel_revnum *end) {
  auto one = [](const char *s, const char **rest, ostrel_revnum *rev) -> bool {
    char *e;
    errno = 0;
    long v = std::strtol(s, &e, 10);
    if (e == s || errno || v < 0 || v > OSTREL_REVNUM_MAX || (*s < '0' || *s > '9')) return false;
    *rev = static_cast<ostrel_revnum>(v);
    *rest = e;
    return true;
  };
  const char *rest;
  if (!one(arg, &rest, start)) goto bad;
  if (*rest == ':' && range_ok) {
    if (!one(rest + 1, &rest, end)) goto bad;
  }
  if (*rest) goto bad;
  return nullptr;
bad:
  return ostrel_error_createf(OSTREL_ERR_BAD_REVISION, nullptr, "Invalid revision '%s'", arg);
}

ostrel_error *run(int argc, char **argv, bool *help_shown, apr_pool_t *pool) {
  if (argc < 2) return bad_args("No subcommand given; try 'ostrel-admin --help'%s");
  std::string name = argv[1];
  if (name == "--help" || name == "-h" || name == "help") {
    print_program_help();
    *help_shown = true;
    return nullptr;
  }
  const Subcommand *sc = nullptr;
  for (const Subcommand &c : kSubcommands)
    if (name == c.name) sc = &c;
  if (!sc) return bad_args("Unknown subcommand '%s'; try 'ostrel-admin --help'", argv[1]);

  std::vector<std::string> args;
  ostrel_revnum start = OSTREL_INVALID_REVNUM, end = OSTREL_INVALID_REVNUM;
  bool verbose = false;
  for (int i = 2; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      print_subcommand_help(*sc);
      *help_shown = true;
      return nullptr;
    }
    if ((a == "-r" || a == "--revision") && sc->takes_rev) {
      if (i + 1 >= argc) return bad_args("Option '%s' needs a revision", argv[i]);
      OSTREL_ERR(parse_revs(argv[++i], name == "log", &start, &end));
    } else if (a == "-v" && sc->takes_verbose) {
      verbose = true;
    } else if (a.size() > 1 && a[0] == '-') {
      return ostrel_error_createf(OSTREL_ERR_BAD_ARGUMENTS, nullptr,
                                  "Unknown option '%s' for '%s'; usage: ostrel-admin %s", argv[i],
                                  sc->name, sc->usage);
    } else {
      // "dir/" as ls prints it names the directory "dir".
      while (args.size() >= 1 && a.size() > 1 && a.back() == '/') a.pop_back();
      args.push_back(a);
    }
  }
  size_t needed = 1, allowed = 1;
  if (name == "ls") allowed = 2;
  if (name == "cat" || name == "proplist") needed = allowed = 2;
  if (args.size() < needed || args.size() > allowed)
    return ostrel_error_createf(OSTREL_ERR_BAD_ARGUMENTS, nullptr,
                                "Wrong number of arguments for '%s'; usage: ostrel-admin %s",
                                sc->name, sc->usage);
  return sc->run(args, start, end, verbose, pool);
}

}  // namespace

int main(int argc, char **argv) {
  apr_pool_t *pool = ostrel_pool_create(nullptr);
  bool help_shown = false;
  ostrel_error *err = run(argc, argv, &help_shown, pool);
  apr_pool_destroy(pool);
  if (!err && (std::fflush(stdout) != 0 || std::ferror(stdout)))
    err = ostrel_error_from_errno(errno ? errno : EIO, "Can't write to standard output");
  if (err) {
    ostrel_handle_error2(err, stderr, false, "ostrel-admin: ");
    ostrel_error_clear(err);
    return 1;
  }
  return 0;
}
