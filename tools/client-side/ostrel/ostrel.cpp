// ostrel: reads a repository through any URL (file://, http://, https://):
// listings, file contents, logs, node details, properties and exports.  It
// never changes anything.
//
// Usage: ostrel SUBCOMMAND URL [ARGS...] [OPTIONS]; `ostrel --help` lists the
// subcommands.  The outputs of ls, cat, log, proplist and export are those
// of ostrel-admin's subcommands of the same names (the formatting is the
// library's, ostrel_client.h), so scripts can switch between the two.
// Credentials, configuration and certificates work as in kelbrin, through
// the same library calls.  Every failure ends in one place (main), printed
// as an error chain prefixed "ostrel: ", with status 1.

#include <apr_getopt.h>
#include <apr_strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "ostrel_auth.h"
#include "ostrel_client.h"
#include "ostrel_cmdline.h"
#include "ostrel_config.h"
#include "ostrel_error.h"
#include "ostrel_io.h"
#include "ostrel_path.h"
#include "ostrel_pools.h"
#include "ostrel_ra.h"
#include "ostrel_utf.h"

namespace {

const char kHelpText[] =
    "Usage: ostrel SUBCOMMAND URL [ARGS...] [OPTION]...\n"
    "Reads a repository through a file://, http:// or https:// URL.\n"
    "\n"
    "Subcommands:\n"
    "  ls URL [-r REV] [-R] [-v]            list a directory; directories end in '/'\n"
    "  cat URL [-r REV]                     print a file's contents\n"
    "  log URL [-r REV[:REV]] [-v] [--limit N]\n"
    "                                       the revisions that changed URL, newest first\n"
    "  info URL [-r REV]                    what URL is and when it last changed\n"
    "  proplist URL [-r REV]                a node's properties\n"
    "  export URL DIR [-r REV]              write the tree at URL to the new directory DIR\n"
    "\n"
    "Options:\n"
    "  -r, --revision ARG    the revision to read (a number or HEAD); for log\n"
    "                        also a range REV:REV\n"
    "  -R, --recursive       ls: everything below the directory\n"
    "  -v, --verbose         ls: revision, author, size and date of each entry;\n"
    "                        log: the changed paths\n"
    "  --limit N             log: at most N revisions\n"
    "  -u, --username ARG    log in as ARG\n"
    "  -p, --password ARG    use ARG as the password\n"
    "  -n, --non-interactive don't prompt the user about anything\n"
    "  --config-dir ARG      use ARG to override the config directory\n"
    "  --config-option ARG   use ARG to override a configuration option\n"
    "                        (FILE:SECTION:OPTION=[VALUE])\n"
    "  --no-auth-cache       do not cache authentication tokens\n"
    "  -h, --help            display this text\n"
    "  --version             print version information\n";

enum : int {
  opt_version = OSTREL_CMDLINE_OPT_FIRST_FREE,
  opt_limit,
};

const apr_getopt_option_t kOptions[] = {
    {"revision", 'r', 1, ""},
    {"recursive", 'R', 0, ""},
    {"verbose", 'v', 0, ""},
    {"limit", opt_limit, 1, ""},
    OSTREL_CMDLINE_ACCESS_OPTION_ROWS,
    {"help", 'h', 0, ""},
    {"version", opt_version, 0, ""},
    {nullptr, 0, 0, nullptr},
};

struct Options {
  ostrel_revnum start = OSTREL_INVALID_REVNUM, end = OSTREL_INVALID_REVNUM;
  bool range = false;
  bool rev_given = false;  // -r was given
  bool recursive = false, verbose = false;
  long limit = 0;
  ostrel_cmdline_access_options access{};  // -u, -p, -n, --config-*, --no-auth-cache
  bool help = false, version = false;
};

ostrel_error *bad_args(const char *fmt, const char *arg = "") {
  return ostrel_error_createf(OSTREL_ERR_BAD_ARGUMENTS, nullptr, fmt, arg);
}

ostrel_error *out(const char *data, size_t len) {
  if (len && std::fwrite(data, 1, len, stdout) != len)
    return ostrel_error_from_errno(errno ? errno : EIO, "Can't write to standard output");
  return OSTREL_NO_ERROR;
}

ostrel_error *out_buf(const ostrel_stringbuf *buf) { return out(buf->data, buf->len); }

// One revision: a number or HEAD (-1).
bool parse_one_rev(const char *text, const char **rest, ostrel_revnum *rev) {
  if (std::strncmp(text, "HEAD", 4) == 0) {
    *rev = OSTREL_INVALID_REVNUM;
    *rest = text + 4;
    return true;
  }
  if (*text < '0' || *text > '9') return false;
  char *e;
  errno = 0;
  long v = std::strtol(text, &e, 10);
  if (errno || v > OSTREL_REVNUM_MAX) return false;
  *rev = static_cast<ostrel_revnum>(v);
  *rest = e;
  return true;
}

ostrel_error *parse_revs(const char *arg, Options &opts) {
  const char *rest = nullptr;
  opts.rev_given = true;
  if (!parse_one_rev(arg, &rest, &opts.start)) goto bad;
  opts.end = opts.start;
  if (*rest == ':') {
    opts.range = true;
    if (!parse_one_rev(rest + 1, &rest, &opts.end)) goto bad;
  }
  if (*rest) goto bad;
  return OSTREL_NO_ERROR;
bad:
  return ostrel_error_createf(OSTREL_ERR_BAD_REVISION, nullptr, "Invalid revision '%s'", arg);
}

ostrel_error *parse_options(int argc, const char *const *argv, Options &opts,
                            std::vector<std::string> &args, apr_pool_t *pool) {
  apr_getopt_t *os = nullptr;
  apr_getopt_init(&os, pool, argc, argv);
  os->interleave = 1;
  for (;;) {
    int code = 0;
    const char *arg = nullptr;
    apr_status_t status = apr_getopt_long(os, kOptions, &code, &arg);
    if (status == APR_EOF) break;
    if (status == APR_BADCH || status == APR_BADARG)
      return bad_args("Invalid option; try 'ostrel --help'%s");
    if (status != APR_SUCCESS) return ostrel_error_wrap_apr(status, "getopt failure");
    int handled = 0;
    OSTREL_ERR(ostrel_cmdline_access_option(&opts.access, code, arg, &handled, pool));
    if (handled) continue;
    switch (code) {
      case 'r':
        OSTREL_ERR(parse_revs(arg, opts));
        break;
      case 'R':
        opts.recursive = true;
        break;
      case 'v':
        opts.verbose = true;
        break;
      case opt_limit: {
        char *e;
        errno = 0;
        long n = std::strtol(arg, &e, 10);
        if (*arg < '0' || *arg > '9' || *e || errno || n < 1 || n > INT32_MAX)
          return bad_args("--limit needs a positive number, not '%s'", arg);
        opts.limit = n;
        break;
      }
      case 'h':
        opts.help = true;
        return OSTREL_NO_ERROR;
      case opt_version:
        opts.version = true;
        return OSTREL_NO_ERROR;
      default:
        OSTREL_ERR_MALFUNCTION("option table and option loop disagree");
    }
  }
  for (int i = os->ind; i < argc; ++i) {
    const char *utf8 = nullptr;
    OSTREL_ERR(ostrel_utf_cstring_to_utf8(&utf8, os->argv[i], pool));
    args.emplace_back(utf8);
  }
  return OSTREL_NO_ERROR;
}

const char *clean_url(const char *text, apr_pool_t *pool) {
  return ostrel_uri_canonicalize(
      ostrel_path_uri_autoescape(ostrel_path_uri_from_iri(text, pool), pool), pool);
}

// Opens a session at URL with kelbrin's credentials, configuration and
// certificate handling.
ostrel_error *open_session(ostrel_ra_session **session, const char *url, const Options &opts,
                           apr_pool_t *pool) {
  apr_hash_t *config = nullptr;
  OSTREL_ERR(ostrel_config_get_config(&config, opts.access.config_dir, pool));
  OSTREL_ERR(ostrel_cmdline__apply_config_options(config, opts.access.config_options, "ostrel: ",
                                                  "--config-option"));
  ostrel_ra_callbacks *callbacks = nullptr;
  OSTREL_ERR(ostrel_ra_create_callbacks(&callbacks, pool));
  auto *cfg = static_cast<ostrel_config *>(
      apr_hash_get(config, OSTREL_CONFIG_CATEGORY_CONFIG, APR_HASH_KEY_STRING));
  const ostrel_cmdline_access_options &access = opts.access;
  OSTREL_ERR(ostrel_cmdline_create_auth_baton(&callbacks->auth_baton, access.non_interactive,
                                              access.username, access.password, access.config_dir,
                                              access.no_auth_cache, false, cfg, nullptr, nullptr,
                                              pool));
  ostrel_auth_set_warning_func(
      callbacks->auth_baton,
      [](void *, const ostrel_error *warning) {
        ostrel_handle_error2(warning, stderr, false, "ostrel: warning: ");
      },
      nullptr);
  return ostrel_ra_open4(session, nullptr, url, nullptr, callbacks, nullptr, config, pool);
}

// ---- ls ----

struct LsBaton {
  bool verbose;
  const char *basename;  // the name shown when a file URL is listed
  ostrel_stringbuf *line;
  ostrel_error *(*write)(const ostrel_stringbuf *);
};

ostrel_error *print_entry(void *baton, const char *relpath, const ostrel_ra_dirent *d,
                          apr_pool_t *pool) {
  auto *b = static_cast<LsBaton *>(baton);
  ostrel_stringbuf_setempty(b->line);
  const char *name = *relpath ? relpath : b->basename;
  if (b->verbose) {
    std::string date = d->time ? std::string(d->time).substr(0, 16) : "";
    if (date.size() == 16) date[10] = ' ';
    std::string size = d->kind == ostrel_node_file ? std::to_string(d->size) : "";
    ostrel_stringbuf_appendcstr(
        b->line, apr_psprintf(pool, "%7ld %-12s %12s %-16s ", static_cast<long>(d->created_rev),
                              d->last_author ? d->last_author : "-", size.c_str(), date.c_str()));
  }
  ostrel_client_format_ls_line(b->line, name, d->kind);
  return b->write(b->line);
}

ostrel_error *run_ls(ostrel_ra_session *session, const char *url, const Options &opts,
                     apr_pool_t *pool) {
  LsBaton b{opts.verbose, ostrel_path_uri_decode(ostrel_uri_basename(url, pool), pool),
            ostrel_stringbuf_create("", pool), out_buf};
  return ostrel_ra_list(session, "", opts.start,
                        opts.recursive ? ostrel_ra_depth_infinity : ostrel_ra_depth_immediates,
                        print_entry, &b, nullptr, pool);
}

// ---- cat ----

ostrel_error *stdout_write(void *, const char *data, apr_size_t *len) { return out(data, *len); }

ostrel_error *run_cat(ostrel_ra_session *session, const Options &opts, apr_pool_t *pool) {
  ostrel_stream *stream = ostrel_stream_create(nullptr, pool);
  ostrel_stream_set_write(stream, stdout_write);
  return ostrel_ra_get_file(session, "", opts.start, stream, nullptr, nullptr, pool);
}

// ---- log ----

ostrel_error *print_log_entry(void *, const ostrel_ra_log_entry *entry, apr_pool_t *pool) {
  ostrel_stringbuf *text = ostrel_stringbuf_create("", pool);
  ostrel_client_format_log_entry(text, entry->revision, entry->revprops, entry->changed_paths,
                                 pool);
  return out_buf(text);
}

ostrel_error *run_log(ostrel_ra_session *session, const Options &opts, apr_pool_t *pool) {
  // Without -r: from the youngest down to 0; -r N alone: that revision.
  ostrel_revnum start = opts.start, end = opts.range ? opts.end : opts.start;
  if (!opts.rev_given) end = 0;
  if (end == OSTREL_INVALID_REVNUM || start == OSTREL_INVALID_REVNUM) {
    ostrel_revnum youngest;
    OSTREL_ERR(ostrel_ra_get_latest_revnum(session, &youngest, pool));
    if (start == OSTREL_INVALID_REVNUM) start = youngest;
    if (end == OSTREL_INVALID_REVNUM) end = youngest;
  }
  return ostrel_ra_get_log(session, "", start, end, static_cast<int>(opts.limit), opts.verbose,
                           print_log_entry, nullptr, pool);
}

// ---- info and proplist ----

ostrel_error *note_dirent(void *baton, const char *, const ostrel_ra_dirent *d, apr_pool_t *pool) {
  auto *copy = static_cast<ostrel_ra_dirent *>(baton);
  *copy = *d;
  // The texts live in the pool of this call only.
  copy->last_author = d->last_author ? apr_pstrdup(pool, d->last_author) : nullptr;
  copy->time = d->time ? apr_pstrdup(pool, d->time) : nullptr;
  return OSTREL_NO_ERROR;
}

ostrel_error *run_info(ostrel_ra_session *session, const char *url, const Options &opts,
                       apr_pool_t *pool) {
  apr_pool_t *scratch = ostrel_pool_create(pool);
  ostrel_ra_dirent d{};
  ostrel_revnum rev = OSTREL_INVALID_REVNUM;
  // note_dirent copies into the pool it is given; SCRATCH outlives the call.
  auto receiver = [](void *baton, const char *relpath, const ostrel_ra_dirent *dirent,
                     apr_pool_t *) -> ostrel_error * {
    auto *pair = static_cast<std::pair<ostrel_ra_dirent *, apr_pool_t *> *>(baton);
    return note_dirent(pair->first, relpath, dirent, pair->second);
  };
  std::pair<ostrel_ra_dirent *, apr_pool_t *> baton{&d, scratch};
  OSTREL_ERR(ostrel_ra_list(session, "", opts.start, ostrel_ra_depth_empty, receiver, &baton, &rev,
                            pool));
  const char *root = nullptr;
  OSTREL_ERR(ostrel_ra_get_repos_root(session, &root, pool));
  const char *below = std::strcmp(root, url) == 0 ? "" : ostrel_uri__is_child(root, url, pool);
  std::string path = "/" + std::string(below ? ostrel_path_uri_decode(below, pool) : "");
  ostrel_stringbuf *text = ostrel_stringbuf_create("", pool);
  ostrel_stringbuf_appendcstr(
      text, apr_psprintf(pool,
                         "Path: %s\nURL: %s\nRepository Root: %s\nRevision: %ld\nNode Kind: %s\n",
                         path.c_str(), url, root, static_cast<long>(rev),
                         d.kind == ostrel_node_dir ? "directory" : "file"));
  if (d.kind == ostrel_node_file)
    ostrel_stringbuf_appendcstr(text, ("Size: " + std::to_string(d.size) + "\n").c_str());
  ostrel_stringbuf_appendcstr(
      text, apr_psprintf(pool, "Last Changed Author: %s\nLast Changed Rev: %ld\nLast Changed Date: %s\n",
                         d.last_author ? d.last_author : "", static_cast<long>(d.created_rev),
                         d.time ? d.time : ""));
  return out_buf(text);
}

ostrel_error *run_proplist(ostrel_ra_session *session, const Options &opts, apr_pool_t *pool) {
  apr_hash_t *props = nullptr;
  OSTREL_ERR(ostrel_ra_get_props(session, "", opts.start, &props, nullptr, pool));
  ostrel_stringbuf *text = ostrel_stringbuf_create("", pool);
  ostrel_client_format_props(text, props, pool);
  return out_buf(text);
}

// ---- export ----

// Counts what export writes, and shows it on a terminal.
class Progress {
 public:
  explicit Progress(long total) : total_(total), on_(isatty(STDERR_FILENO) == 1) {}
  ~Progress() {
    if (shown_) std::fputc('\n', stderr);
  }
  void file_done() {
    ++done_;
    if (!on_) return;
    std::fprintf(stderr, "\rExported file %ld of %ld", done_, total_);
    std::fflush(stderr);
    shown_ = true;
  }

 private:
  long total_, done_ = 0;
  bool on_, shown_ = false;
};

struct ExportEntry {
  std::string relpath;
  ostrel_node_kind kind;
};

ostrel_error *write_file(ostrel_ra_session *session, const std::string &relpath, ostrel_revnum rev,
                         const std::string &target, apr_pool_t *pool) {
  apr_file_t *file;
  OSTREL_ERR(ostrel_io_file_open(&file, target.c_str(),
                                 APR_FOPEN_WRITE | APR_FOPEN_CREATE | APR_FOPEN_EXCL |
                                     APR_FOPEN_BUFFERED,
                                 APR_OS_DEFAULT, pool));
  ostrel_stream *stream = ostrel_stream_from_aprfile2(file, false, pool);
  OSTREL_ERR(ostrel_ra_get_file(session, relpath.c_str(), rev, stream, nullptr, nullptr, pool));
  return ostrel_stream_close(stream);
}

ostrel_error *run_export(ostrel_ra_session *session, const char *url, const std::string &dir,
                         const Options &opts, apr_pool_t *pool) {
  // One listing of the whole tree at one revision, then one read per file.
  std::vector<ExportEntry> entries;
  ostrel_revnum rev = OSTREL_INVALID_REVNUM;
  auto collect = [](void *baton, const char *relpath, const ostrel_ra_dirent *d,
                    apr_pool_t *) -> ostrel_error * {
    static_cast<std::vector<ExportEntry> *>(baton)->push_back({relpath, d->kind});
    return OSTREL_NO_ERROR;
  };
  ostrel_node_kind top = ostrel_node_none;
  auto kind_of = [](void *baton, const char *, const ostrel_ra_dirent *d,
                    apr_pool_t *) -> ostrel_error * {
    *static_cast<ostrel_node_kind *>(baton) = d->kind;
    return OSTREL_NO_ERROR;
  };
  OSTREL_ERR(ostrel_ra_list(session, "", opts.start, ostrel_ra_depth_empty, kind_of, &top, &rev,
                            pool));
  if (top == ostrel_node_dir)
    OSTREL_ERR(ostrel_ra_list(session, "", rev, ostrel_ra_depth_infinity, collect, &entries,
                              nullptr, pool));
  // The tree is written beside DIR and moved into place whole, so that a
  // failure leaves nothing half-written behind.
  std::string target = dir;
  struct stat st;
  if (top == ostrel_node_file && stat(target.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
    target += std::string("/") + ostrel_path_uri_decode(ostrel_uri_basename(url, pool), pool);
  if (lstat(target.c_str(), &st) == 0 &&
      !(S_ISDIR(st.st_mode) && std::filesystem::is_empty(target)))
    return ostrel_error_createf(OSTREL_ERR_BAD_ARGUMENTS, nullptr,
                                "Cannot export into '%s': it exists and is not an empty directory",
                                target.c_str());
  std::string tmpl = target + ".partial-XXXXXX";
  if (!mkdtemp(tmpl.data()))
    return ostrel_error_from_errno(errno, "Can't create a directory beside '%s'", target.c_str());
  std::string staged = tmpl + "/tree";
  long files = top == ostrel_node_file ? 1 : 0;
  for (const ExportEntry &e : entries) files += e.kind == ostrel_node_file;
  ostrel_error *err = OSTREL_NO_ERROR;
  {
    Progress progress(files);
    apr_pool_t *iterpool = ostrel_pool_create(pool);
    if (top == ostrel_node_file) {
      err = write_file(session, "", rev, staged, iterpool);
      if (!err) progress.file_done();
    } else if (mkdir(staged.c_str(), 0777) != 0) {
      err = ostrel_error_from_errno(errno, "Can't create directory '%s'", staged.c_str());
    }
    for (std::size_t i = 0; !err && i < entries.size(); ++i) {
      apr_pool_clear(iterpool);
      const ExportEntry &e = entries[i];
      std::string path = staged + "/" + e.relpath;
      if (e.kind == ostrel_node_dir) {
        if (mkdir(path.c_str(), 0777) != 0)
          err = ostrel_error_from_errno(errno, "Can't create directory '%s'", path.c_str());
      } else {
        err = write_file(session, e.relpath, rev, path, iterpool);
        if (!err) progress.file_done();
      }
    }
    apr_pool_destroy(iterpool);
  }
  if (!err && std::rename(staged.c_str(), target.c_str()) != 0)
    err = ostrel_error_from_errno(errno, "Can't move the exported tree to '%s'", target.c_str());
  std::error_code ignored;
  std::filesystem::remove_all(tmpl, ignored);
  return err;
}

// ---- The command line ----

struct Subcommand {
  const char *name;
  std::size_t args;  // URL and what follows it
};

const Subcommand kSubcommands[] = {
    {"ls", 1}, {"cat", 1}, {"log", 1}, {"info", 1}, {"proplist", 1}, {"export", 2},
};

ostrel_error *run(int argc, const char *const *argv, bool *done, apr_pool_t *pool) {
  Options opts;
  std::vector<std::string> args;
  OSTREL_ERR(parse_options(argc, argv, opts, args, pool));
  if (opts.help) {
    *done = true;
    return out(kHelpText, std::strlen(kHelpText));
  }
  if (opts.version) {
    *done = true;
    ostrel_stringbuf *text = ostrel_stringbuf_create(
        "ostrel, version 1.0.0\n\nThe following repository access (RA) modules are "
        "available:\n\n",
        pool);
    OSTREL_ERR(ostrel_ra_print_modules(text, pool));
    return out_buf(text);
  }
  if (args.empty()) return bad_args("No subcommand given; try 'ostrel --help'%s");
  const Subcommand *sc = nullptr;
  for (const Subcommand &c : kSubcommands)
    if (args[0] == c.name) sc = &c;
  if (!sc) return bad_args("Unknown subcommand '%s'; try 'ostrel --help'", args[0].c_str());
  if (args.size() != sc->args + 1)
    return bad_args("Wrong number of arguments for '%s'; try 'ostrel --help'", sc->name);
  const std::string name = sc->name;
  if (opts.range && name != "log") return bad_args("Only 'log' takes a revision range%s");
  if (opts.recursive && name != "ls") return bad_args("Only 'ls' takes -R%s");
  if (opts.verbose && name != "ls" && name != "log") return bad_args("'%s' does not take -v", sc->name);
  if (opts.limit && name != "log") return bad_args("Only 'log' takes --limit%s");
  if (!ostrel_path_is_url(args[1].c_str()))
    return bad_args("'%s' is not a URL (file://, http:// or https://)", args[1].c_str());
  const char *url = clean_url(args[1].c_str(), pool);
  ostrel_ra_session *session = nullptr;
  OSTREL_ERR(open_session(&session, url, opts, pool));
  if (name == "ls") return run_ls(session, url, opts, pool);
  if (name == "cat") return run_cat(session, opts, pool);
  if (name == "log") return run_log(session, opts, pool);
  if (name == "info") return run_info(session, url, opts, pool);
  if (name == "proplist") return run_proplist(session, opts, pool);
  return run_export(session, url, args[2], opts, pool);
}

}  // namespace

int main(int argc, const char *argv[]) {
  if (ostrel_cmdline_init("ostrel", stderr) != 0) return 1;
  apr_pool_t *pool = ostrel_pool_create(nullptr);
  bool done = false;
  ostrel_error *err = run(argc, argv, &done, pool);
  apr_pool_destroy(pool);
  if (!err && (std::fflush(stdout) != 0 || std::ferror(stdout)))
    err = ostrel_error_from_errno(errno ? errno : EIO, "Can't write to standard output");
  if (err) {
    ostrel_handle_error2(err, stderr, false, "ostrel: ");
    ostrel_error_clear(err);
    return 1;
  }
  return 0;
}
