// ostrel-admin: creates, inspects and verifies local repositories.
//
// Usage: ostrel-admin SUBCOMMAND [ARGS...]; every subcommand takes --help.
// Output goes to standard output; every failure ends in one place (main),
// printed as an error chain prefixed "ostrel-admin: ", with status 1.

#include <apr_general.h>
#include <apr_hash.h>
#include <apr_strings.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "admin_subcommands.h"
#include "ostrel_auth.h"
#include "ostrel_client.h"
#include "ostrel_cmdline.h"
#include "ostrel_error.h"
#include "ostrel_fs.h"
#include "ostrel_pools.h"
#include "ostrel_props.h"
#include "ostrel_repos.h"
#include "users_file.h"

namespace {

using ostrel_admin::extra_options;
using ostrel_admin::kHeadRev;

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
    "Creates, inspects, verifies, backs up, dumps and loads local repositories,\n"
    "and manages the users file of the repository server.\n"
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
  if (start == OSTREL_INVALID_REVNUM || start == kHeadRev) start = youngest;
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
  if (!extra_options.txn.empty()) {
    ostrel_fs_txn *txn;
    OSTREL_ERR(ostrel_fs_open_txn(&txn, filesystem, extra_options.txn.c_str(), pool));
    return ostrel_fs_txn_root(root, txn, pool);
  }
  ostrel_revnum rev = OSTREL_INVALID_REVNUM;
  OSTREL_ERR(rev_or_youngest(&rev, filesystem, start, pool));
  return ostrel_fs_revision_root(root, filesystem, rev, pool);
}

// One "  NAME: VALUE" line per property, in name order.
ostrel_error *print_props(apr_hash_t *props, apr_pool_t *pool) {
  ostrel_stringbuf *text = ostrel_stringbuf_create("", pool);
  ostrel_client_format_props(text, props, pool);
  return out(text->data, text->len);
}

ostrel_error *run_create(const std::vector<std::string> &args, ostrel_revnum, ostrel_revnum, bool,
                         apr_pool_t *pool) {
  ostrel_repos *repos;
  if (!extra_options.postgres.empty())
    return ostrel_repos_create_postgres(&repos, args[0].c_str(), extra_options.postgres.c_str(),
                                        nullptr, pool);
  return ostrel_repos_create(&repos, args[0].c_str(), nullptr, pool);
}

ostrel_error *run_collect(const std::vector<std::string> &args, ostrel_revnum, ostrel_revnum,
                          bool, apr_pool_t *pool) {
  ostrel_repos_collected done;
  OSTREL_ERR(ostrel_repos_collect(args[0].c_str(), extra_options.grace, &done, pool));
  return outs("Removed " + std::to_string(done.chunks) + " unused chunk" +
              (done.chunks == 1 ? "" : "s") + " (" + std::to_string(done.bytes) + " bytes) and " +
              std::to_string(done.transactions) + " abandoned transaction" +
              (done.transactions == 1 ? "" : "s") + ".\n");
}

ostrel_error *run_youngest(const std::vector<std::string> &args, ostrel_revnum, ostrel_revnum,
                           bool, apr_pool_t *pool) {
  ostrel_fs *filesystem;
  OSTREL_ERR(open_fs(&filesystem, args[0], pool));
  ostrel_revnum youngest;
  OSTREL_ERR(ostrel_fs_youngest_rev(&youngest, filesystem, pool));
  return outs(std::to_string(youngest) + "\n");
}

// The entries of directory PATH in name order, directories marked with a
// trailing '/'; with -R the entries below them too, as paths under PREFIX.
ostrel_error *list_dir(ostrel_fs_root *root, const std::string &path, const std::string &prefix,
                       apr_pool_t *pool) {
  apr_hash_t *entries;
  OSTREL_ERR(ostrel_fs_dir_entries(&entries, root, path.c_str(), pool));
  std::map<std::string, ostrel_node_kind> sorted;
  for (apr_hash_index_t *hi = apr_hash_first(pool, entries); hi; hi = apr_hash_next(hi)) {
    void *val;
    apr_hash_this(hi, nullptr, nullptr, &val);
    auto *d = static_cast<ostrel_fs_dirent *>(val);
    sorted[d->name] = d->kind;
  }
  apr_pool_t *iterpool = ostrel_pool_create(pool);
  ostrel_stringbuf *line = ostrel_stringbuf_create("", pool);
  for (auto &[name, kind] : sorted) {
    bool dir = kind == ostrel_node_dir;
    ostrel_stringbuf_setempty(line);
    ostrel_client_format_ls_line(line, (prefix + name).c_str(), kind);
    OSTREL_ERR(out(line->data, line->len));
    if (dir && extra_options.recursive) {
      apr_pool_clear(iterpool);
      OSTREL_ERR(list_dir(root, (path == "/" ? "/" : path + "/") + name, prefix + name + "/",
                          iterpool));
    }
  }
  apr_pool_destroy(iterpool);
  return nullptr;
}

ostrel_error *run_ls(const std::vector<std::string> &args, ostrel_revnum start, ostrel_revnum,
                     bool, apr_pool_t *pool) {
  ostrel_fs_root *root;
  OSTREL_ERR(open_root(&root, args[0], start, pool));
  std::string path = args.size() > 1 ? args[1] : "/";
  if (path.empty() || path[0] != '/') path = "/" + path;
  return list_dir(root, path, "", pool);
}

ostrel_error *run_cat(const std::vector<std::string> &args, ostrel_revnum start, ostrel_revnum,
                      bool, apr_pool_t *pool) {
  ostrel_fs_root *root;
  OSTREL_ERR(open_root(&root, args[0], start, pool));
  ostrel_stream *contents;
  OSTREL_ERR(ostrel_fs_file_contents(&contents, root, args[1].c_str(), pool));
  // Large pieces: stdio hands a piece larger than its buffer straight to
  // write(), so the contents leave in few system calls.
  std::vector<char> buf(1 << 20);
  // Into a pipe, a piece is written as the reader frees room: with the
  // default 64 KiB of room every piece took sixteen turns of both
  // processes.  Room for a whole piece lets each write go in at once while
  // the reader works on the previous one (the kernel may give less; then
  // nothing changes).
  struct stat st;
  if (fstat(STDOUT_FILENO, &st) == 0 && S_ISFIFO(st.st_mode))
    (void)fcntl(STDOUT_FILENO, F_SETPIPE_SZ, static_cast<int>(buf.size()));
  // The bytes are lent where the repository keeps them when it can (a large
  // stored chunk is mapped), so they go out without a copy on the way.
  while (true) {
    const char *data = nullptr;
    apr_size_t len = 0;
    OSTREL_ERR(ostrel_stream_lend(contents, buf.data(), buf.size(), &data, &len));
    if (len == 0) break;
    OSTREL_ERR(out(data, len));
  }
  return ostrel_stream_close(contents);
}

// The changed paths of ROOT (path -> ostrel_path_change *), and the same
// sorted by path.
ostrel_error *sorted_changes(apr_hash_t **changed,
                             std::map<std::string, const ostrel_path_change *> *sorted,
                             ostrel_fs_root *root, apr_pool_t *pool) {
  OSTREL_ERR(ostrel_fs_paths_changed2(changed, root, pool));
  for (apr_hash_index_t *hi = apr_hash_first(pool, *changed); hi; hi = apr_hash_next(hi)) {
    const void *key;
    void *val;
    apr_hash_this(hi, &key, nullptr, &val);
    (*sorted)[static_cast<const char *>(key)] = static_cast<const ostrel_path_change *>(val);
  }
  return nullptr;
}

// One "   K /path[/] [(from PATH:REV)]" line per changed path of ROOT.
ostrel_error *print_changes(ostrel_fs_root *root, apr_pool_t *pool) {
  apr_hash_t *changed;
  OSTREL_ERR(ostrel_fs_paths_changed2(&changed, root, pool));
  ostrel_stringbuf *text = ostrel_stringbuf_create("", pool);
  ostrel_client_format_changes(text, changed, pool);
  return out(text->data, text->len);
}

// log -t TXN: the transaction's revision properties, as log prints a
// revision's ("txn NAME" first), and with -v its changed paths.
ostrel_error *log_txn(ostrel_fs *filesystem, bool verbose, apr_pool_t *pool) {
  ostrel_fs_txn *txn;
  OSTREL_ERR(ostrel_fs_open_txn(&txn, filesystem, extra_options.txn.c_str(), pool));
  apr_hash_t *props;
  OSTREL_ERR(ostrel_fs_txn_proplist(&props, txn, pool));
  OSTREL_ERR(outs("txn " + extra_options.txn + "\n"));
  OSTREL_ERR(print_props(props, pool));
  if (!verbose) return nullptr;
  ostrel_fs_root *root;
  OSTREL_ERR(ostrel_fs_txn_root(&root, txn, pool));
  OSTREL_ERR(outs("Changed paths:\n"));
  return print_changes(root, pool);
}

ostrel_error *run_changed(const std::vector<std::string> &args, ostrel_revnum start,
                          ostrel_revnum, bool, apr_pool_t *pool) {
  ostrel_fs_root *root;
  OSTREL_ERR(open_root(&root, args[0], start, pool));
  return print_changes(root, pool);
}

// setrevprop / delrevprop: through the repository's revision-property hooks,
// as the user running the command.
ostrel_error *change_revprop(const std::vector<std::string> &args, ostrel_revnum start,
                             const ostrel_string *value, apr_pool_t *pool) {
  if (start == OSTREL_INVALID_REVNUM) return bad_args("A revision is needed (-r REV)%s");
  ostrel_repos *repos;
  OSTREL_ERR(ostrel_repos_open2(&repos, args[0].c_str(), nullptr, pool));
  OSTREL_ERR(rev_or_youngest(&start, ostrel_repos_fs(repos), start, pool));
  const char *warning = nullptr;
  OSTREL_ERR(ostrel_repos_change_rev_prop_hooked(repos, start, ostrel_auth_login_name(pool),
                                                 args[1].c_str(), value, &warning, pool));
  if (warning) std::fprintf(stderr, "ostrel-admin: warning: %s\n", warning);
  return nullptr;
}

ostrel_error *run_setrevprop(const std::vector<std::string> &args, ostrel_revnum start,
                             ostrel_revnum, bool, apr_pool_t *pool) {
  return change_revprop(args, start, ostrel_string_create(args[2].c_str(), pool), pool);
}

ostrel_error *run_delrevprop(const std::vector<std::string> &args, ostrel_revnum start,
                             ostrel_revnum, bool, apr_pool_t *pool) {
  return change_revprop(args, start, nullptr, pool);
}

ostrel_error *run_log(const std::vector<std::string> &args, ostrel_revnum start, ostrel_revnum end,
                      bool verbose, apr_pool_t *pool) {
  ostrel_fs *filesystem;
  OSTREL_ERR(open_fs(&filesystem, args[0], pool));
  if (!extra_options.txn.empty()) {
    if (start != OSTREL_INVALID_REVNUM || args.size() > 1)
      return bad_args("'log -t' takes neither -r nor a path%s");
    return log_txn(filesystem, verbose, pool);
  }
  ostrel_revnum youngest;
  OSTREL_ERR(ostrel_fs_youngest_rev(&youngest, filesystem, pool));
  if (start == OSTREL_INVALID_REVNUM) {  // default: newest first, down to 0
    start = youngest;
    end = 0;
  } else if (end == OSTREL_INVALID_REVNUM) {
    end = start;
  }
  if (start == kHeadRev) start = youngest;
  if (end == kHeadRev) end = youngest;
  // With an in-repository path, only the revisions that changed it, something
  // below it, or added, replaced or deleted one of its parents.
  std::string filter = args.size() > 1 ? args[1] : "";
  if (!filter.empty() && filter[0] != '/') filter = "/" + filter;
  if (filter == "/") filter.clear();
  long shown = 0;
  for (ostrel_revnum r : {start, end})
    if (r > youngest)
      return ostrel_error_createf(OSTREL_ERR_FS_NO_SUCH_REVISION, nullptr,
                                  "No such revision %ld (the youngest is %ld)",
                                  static_cast<long>(r), static_cast<long>(youngest));
  apr_pool_t *iterpool = ostrel_pool_create(pool);
  int step = start <= end ? 1 : -1;
  for (ostrel_revnum rev = start;; rev += step) {
    apr_pool_clear(iterpool);
    if (extra_options.limit >= 0 && shown >= extra_options.limit) break;
    std::map<std::string, const ostrel_path_change *> sorted;
    apr_hash_t *changed = nullptr;
    if (verbose || !filter.empty()) {
      ostrel_fs_root *root;
      OSTREL_ERR(ostrel_fs_revision_root(&root, filesystem, rev, iterpool));
      OSTREL_ERR(sorted_changes(&changed, &sorted, root, iterpool));
    }
    if (!filter.empty()) {
      bool touches = false;
      for (auto &[path, ch] : sorted) {
        bool below = path == filter || path.rfind(filter + "/", 0) == 0;
        bool parent = filter.rfind(path + "/", 0) == 0 &&
                      ch->change_kind != ostrel_fs_path_change_modify;
        touches = touches || below || parent;
      }
      if (!touches) {
        if (rev == end) break;
        continue;
      }
    }
    ++shown;
    apr_hash_t *props;
    OSTREL_ERR(ostrel_fs_revision_proplist(&props, filesystem, rev, iterpool));
    ostrel_stringbuf *text = ostrel_stringbuf_create("", iterpool);
    ostrel_client_format_log_entry(text, rev, props, verbose ? changed : nullptr, iterpool);
    OSTREL_ERR(out(text->data, text->len));
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
  OSTREL_ERR(rev_or_youngest(&start, filesystem, start, pool));
  apr_hash_t *props;
  OSTREL_ERR(ostrel_fs_revision_proplist(&props, filesystem, start, pool));
  return print_props(props, pool);
}

void notify_verified(void *baton, ostrel_revnum rev, apr_pool_t *pool) {
  std::printf("* Verified revision %ld.\n", static_cast<long>(rev));
  std::fflush(stdout);
  ostrel_admin::Progress::notify(baton, rev, pool);
}

ostrel_error *run_verify(const std::vector<std::string> &args, ostrel_revnum, ostrel_revnum, bool,
                         apr_pool_t *pool) {
  ostrel_fs *filesystem;
  OSTREL_ERR(open_fs(&filesystem, args[0], pool));
  ostrel_revnum youngest;
  OSTREL_ERR(ostrel_fs_youngest_rev(&youngest, filesystem, pool));
  ostrel_admin::Progress progress("Verified");
  progress.last = youngest;
  return ostrel_fs_verify(filesystem, 0, youngest, notify_verified, &progress, pool);
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

const char kPasswdUsage[] = "passwd USERS-FILE USER [--delete]";
const char kPasswdSummary[] =
    "Set USER's password in the server's users file (made when missing, mode\n"
    "0600), or with --delete remove USER.  On a terminal the password is asked\n"
    "twice without echo; otherwise one line is read from standard input.";

// Reads the new password: twice on the terminal, else one line of standard
// input (without its line end).
ostrel_error *read_new_password(std::string *password, apr_pool_t *pool) {
  if (isatty(STDIN_FILENO)) {
    const char *first, *second;
    OSTREL_ERR(ostrel_auth_prompt(&first, "New password: ", true, pool));
    OSTREL_ERR(ostrel_auth_prompt(&second, "Repeat the password: ", true, pool));
    if (std::strcmp(first, second) != 0)
      return bad_args("The two passwords differ; nothing was changed%s");
    *password = first;
    return nullptr;
  }
  password->clear();
  int c;
  while ((c = std::getchar()) != EOF && c != '\n') password->push_back(static_cast<char>(c));
  if (std::ferror(stdin)) return ostrel_error_from_errno(errno ? errno : EIO, "Can't read standard input");
  if (!password->empty() && password->back() == '\r') password->pop_back();
  if (password->empty()) return bad_args("No password on standard input; nothing was changed%s");
  return nullptr;
}

ostrel_error *run_passwd(int argc, char **argv, bool *help_shown, apr_pool_t *pool) {
  std::vector<std::string> args;
  bool remove = false;
  for (int i = 2; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      std::printf("Usage: ostrel-admin %s\n%s\n", kPasswdUsage, kPasswdSummary);
      *help_shown = true;
      return nullptr;
    }
    if (a == "--delete")
      remove = true;
    else if (a.size() > 1 && a[0] == '-')
      return ostrel_error_createf(OSTREL_ERR_BAD_ARGUMENTS, nullptr,
                                  "Unknown option '%s' for 'passwd'; usage: ostrel-admin %s",
                                  argv[i], kPasswdUsage);
    else
      args.push_back(a);
  }
  if (args.size() != 2)
    return ostrel_error_createf(OSTREL_ERR_BAD_ARGUMENTS, nullptr,
                                "Wrong number of arguments for 'passwd'; usage: ostrel-admin %s",
                                kPasswdUsage);
  const std::string &file = args[0], &user = args[1];
  OSTREL_ERR(ostrel_server::init_password_hashing());
  ostrel_server::UsersFile users;
  OSTREL_ERR(ostrel_server::UsersFile::load(file.c_str(), !remove, &users));
  if (remove) {
    OSTREL_ERR(users.remove(user));
  } else {
    if (!ostrel_server::valid_user_name(user))
      return ostrel_error_createf(OSTREL_ERR_BAD_ARGUMENTS, nullptr,
                                  "Invalid user name '%s': it must be printable, without white "
                                  "space, ':', ',', '=' or '#', and not start with '@'",
                                  user.c_str());
    std::string password;
    OSTREL_ERR(read_new_password(&password, pool));
    ostrel_error *err = users.set_password(user, password);
    std::fill(password.begin(), password.end(), '\0');
    OSTREL_ERR(err);
  }
  return users.save(file.c_str());
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
    {"create", "create [--postgres CONNINFO] PATH",
     "Create a new, empty repository at PATH.  With --postgres, its records and\n"
     "contents live in the empty PostgreSQL database that CONNINFO (libpq\n"
     "connection info, never with a password: use a password file or a\n"
     "service file) names; PATH keeps only the format and CONNINFO, and every\n"
     "server that opens a copy of PATH serves the same repository.",
     run_create, false, false},
    {"collect", "collect PATH [--grace SECONDS]",
     "Remove from a repository in PostgreSQL the contents that commits which\n"
     "never finished left behind, once untouched for SECONDS (default 86400),\n"
     "and transactions abandoned that long.  Safe while commits go on.",
     run_collect, false, false},
    {"youngest", "youngest PATH", "Print the youngest revision of the repository.", run_youngest,
     false, false},
    {"ls", "ls PATH [IN-REPO-PATH] [-r REV | -t TXN] [-R]",
     "List a directory (default '/', at the youngest revision); directories end in '/'.\n"
     "With -R also everything below it, as paths relative to the directory.\n"
     "-t TXN reads the transaction a pre-commit hook was given instead.",
     run_ls, true, false},
    {"cat", "cat PATH IN-REPO-PATH [-r REV | -t TXN]", "Print the contents of a file.", run_cat,
     true, false},
    {"log", "log PATH [IN-REPO-PATH] [-r REV[:REV] | -t TXN] [-v] [--limit N]",
     "Print revision properties, newest first unless a range says otherwise;\n"
     "with -v also the changed paths (M modify, A add, D delete, R replace)\n"
     "and their copy sources.  With IN-REPO-PATH only the revisions that\n"
     "changed it or something below it; --limit N stops after N revisions.\n"
     "-t TXN prints the properties of the transaction a pre-commit hook was given.",
     run_log, true, true},
    {"changed", "changed PATH [-r REV | -t TXN]",
     "Print the changed paths of a revision (default the youngest) or of a\n"
     "transaction, marked as 'log -v' marks them.",
     run_changed, true, false},
    {"proplist", "proplist PATH IN-REPO-PATH [-r REV | -t TXN]",
     "Print the properties of a node, names and values.", run_proplist, true, false},
    {"revprops", "revprops PATH -r REV", "Print the properties of a revision.", run_revprops,
     true, false},
    {"setrevprop", "setrevprop PATH -r REV NAME VALUE",
     "Set a property of a committed revision, through the repository's\n"
     "pre-revprop-change and post-revprop-change hooks.",
     run_setrevprop, true, false},
    {"delrevprop", "delrevprop PATH -r REV NAME",
     "Delete a property of a committed revision, through the same hooks.", run_delrevprop, true,
     false},
    {"verify", "verify PATH",
     "Check every revision's tree and contents, one line per revision;\n"
     "stops with an error at the first damage.",
     run_verify, false, false},
    {"origins", "origins PATH",
     "Print how many lines of history exist and how many the node-origins\n"
     "index holds.",
     run_origins, false, false},
    {"backup", "backup SRC DST",
     "Copy the repository SRC to the new directory DST while commits may go on,\n"
     "then verify the copy.  A repository in PostgreSQL is copied into a new\n"
     "local repository (the revisions of one moment, served and loaded like\n"
     "any other).",
     ostrel_admin::run_backup, false, false},
    {"dump", "dump PATH [-r LOWER[:UPPER]]",
     "Write revisions (default: all; -r N: revision N only) to standard output\n"
     "as a dump stream.  A stream that starts above revision 1 loads only on\n"
     "top of the revision before it.",
     ostrel_admin::run_dump, true, false},
    {"load", "load PATH",
     "Commit the revisions of a dump stream read from standard input; the\n"
     "stream must start where the repository's history ends.",
     ostrel_admin::run_load, false, false},
    {"import-git", "import-git PATH [--layout standard]",
     "Commit the history of a 'git fast-export --show-original-ids' stream read\n"
     "from standard input, one revision per git commit; run again on the same\n"
     "stream, it skips the commits already imported.  --layout standard puts\n"
     "branches under branches/NAME and tags under tags/NAME.",
     ostrel_admin::run_import_git, false, false},
    {"export", "export PATH DIR [-r REV] [IN-REPO-PATH]",
     "Write the tree at IN-REPO-PATH (default '/') of revision REV (default\n"
     "the youngest) to the new directory DIR.",
     ostrel_admin::run_export, true, false},
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
  std::printf("   %s\n", kPasswdUsage);
}

// Parses "REV" or "REV:REV".
ostrel_error *parse_revs(const char *arg, bool range_ok, ostrel_revnum *start,
                         ostrel_revnum *end) {
  auto one = [](const char *s, const char **rest, ostrel_revnum *rev) -> bool {
    if (std::strncmp(s, "HEAD", 4) == 0) {
      *rev = kHeadRev;
      *rest = s + 4;
      return true;
    }
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
  if (name == "passwd") return run_passwd(argc, argv, help_shown, pool);
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
      OSTREL_ERR(parse_revs(argv[++i], name == "log" || name == "dump", &start, &end));
    } else if (a == "--limit" && name == "log") {
      if (i + 1 >= argc) return bad_args("Option '%s' needs a number", argv[i]);
      char *e;
      errno = 0;
      long n = std::strtol(argv[++i], &e, 10);
      if (*argv[i] < '0' || *argv[i] > '9' || *e || errno || n < 1)
        return bad_args("--limit needs a positive number, not '%s'", argv[i]);
      extra_options.limit = n;
    } else if ((a == "-t" || a == "--transaction") &&
               (name == "log" || name == "changed" || name == "cat" || name == "ls" ||
                name == "proplist")) {
      if (i + 1 >= argc) return bad_args("Option '%s' needs a transaction name", argv[i]);
      extra_options.txn = argv[++i];
    } else if (a == "--layout" && name == "import-git") {
      if (i + 1 >= argc) return bad_args("Option '%s' needs a layout", argv[i]);
      extra_options.layout = argv[++i];
      if (extra_options.layout != "standard" && extra_options.layout != "flat")
        return bad_args("Unknown layout '%s' (known: standard, flat)", argv[i]);
    } else if (a == "--postgres" && name == "create") {
      if (i + 1 >= argc) return bad_args("Option '%s' needs the connection info", argv[i]);
      extra_options.postgres = argv[++i];
      if (extra_options.postgres.empty()) return bad_args("--postgres needs the connection info%s");
    } else if (a == "--grace" && name == "collect") {
      if (i + 1 >= argc) return bad_args("Option '%s' needs a number of seconds", argv[i]);
      char *e;
      errno = 0;
      long long n = std::strtoll(argv[++i], &e, 10);
      if (*argv[i] < '0' || *argv[i] > '9' || *e || errno)
        return bad_args("--grace needs a number of seconds, not '%s'", argv[i]);
      extra_options.grace = n;
    } else if (a == "-R" && name == "ls") {
      extra_options.recursive = true;
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
  if (name == "ls" || name == "log") allowed = 2;
  if (name == "cat" || name == "proplist" || name == "backup") needed = allowed = 2;
  if (name == "export") needed = 2, allowed = 3;
  if (name == "setrevprop") needed = allowed = 3;
  if (name == "delrevprop") needed = allowed = 2;
  if (!extra_options.txn.empty() && start != OSTREL_INVALID_REVNUM)
    return bad_args("-r and -t cannot be given together%s");
  if (args.size() < needed || args.size() > allowed)
    return ostrel_error_createf(OSTREL_ERR_BAD_ARGUMENTS, nullptr,
                                "Wrong number of arguments for '%s'; usage: ostrel-admin %s",
                                sc->name, sc->usage);
  return sc->run(args, start, end, verbose, pool);
}

}  // namespace

int main(int argc, char **argv) {
  ostrel_cmdline_prefer_large_pages();
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
