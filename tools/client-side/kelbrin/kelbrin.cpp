// kelbrin: applies an ordered list of changes (cp, mv, rm, mkdir, put,
// propset, propsetf, propdel) to the URLs of a repository as one commit,
// without a working copy.
//
// The run, top to bottom: start-up (library, version check, root pool); the
// option loop; the plain arguments and the extra-arguments file; the action
// list with its clean URLs, the edit root URL and the log message; then the
// commit: one session at the edit root, the operation tree merged action by
// action while the repository is asked what exists, and a depth-first drive
// of the commit editor that ends in finish_edit (or cancel_edit on any
// failure).  Every fatal error ends in report_and_exit, which prints the chain
// with the prefix "kelbrin: " and exits with status 1.  Everything lives in
// the root pool, which only the exit paths destroy.

#include "kelbrin.h"

#include <apr_allocator.h>
#include <apr_file_io.h>
#include <apr_strings.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "ostrel_auth.h"
#include "ostrel_client.h"
#include "ostrel_cmdline.h"
#include "ostrel_config.h"
#include "ostrel_delta.h"
#include "ostrel_io.h"
#include "ostrel_opt.h"
#include "ostrel_path.h"
#include "ostrel_pools.h"
#include "ostrel_props.h"
#include "ostrel_ra.h"
#include "ostrel_utf.h"
#include "ostrel_version.h"

namespace kelbrin {

const char kHelpText[] =
    "Kelbrin (for Ostrel)\n"
    "\n"
    "Usage: kelbrin [OPTION]... [ACTION]...\n"
    "\n"
    "Actions:\n"
    "  cp REV URL1 URL2      copy URL1@REV to URL2\n"
    "  mkdir URL             create new directory URL\n"
    "  mv URL1 URL2          move URL1 to URL2\n"
    "  rm URL                delete URL\n"
    "  put SRC-FILE URL      add or modify file URL with contents copied from\n"
    "                        SRC-FILE (use \"-\" to read from standard input)\n"
    "  propset NAME VAL URL  set property NAME on URL to value VAL\n"
    "  propsetf NAME VAL URL set property NAME on URL to value from file VAL\n"
    "  propdel NAME URL      delete property NAME from URL\n"
    "\n"
    "Options:\n"
    "  -h, --help            display this text\n"
    "  -m, --message ARG     use ARG as a log message\n"
    "  -F, --file ARG        read log message from file ARG\n"
    "  -u, --username ARG    commit the changes as username ARG\n"
    "  -p, --password ARG    use ARG as the password\n"
    "  -U, --root-url ARG    interpret all action URLs are relative to ARG\n"
    "  -r, --revision ARG    use revision ARG as baseline for changes\n"
    "  --with-revprop A[=B]  set revision property A in new revision to B\n"
    "                        if specified, else to the empty string\n"
    "  -n, --non-interactive don't prompt the user about anything\n"
    "  -X, --extra-args ARG  append arguments from file ARG (one per line;\n"
    "                        use \"-\" to read from standard input)\n"
    "  --config-dir ARG      use ARG to override the config directory\n"
    "  --config-option ARG   use ARG so override a configuration option\n"
    "  --no-auth-cache       do not cache authentication tokens\n"
    "  --version             print version information\n";

namespace {

constexpr apr_size_t kAllocatorMaxFree = 4194304;

// Codes of the long-only options.
enum : int {
  opt_version = OSTREL_CMDLINE_OPT_FIRST_FREE,
  opt_with_revprop,
};

const apr_getopt_option_t kOptions[] = {
    {"message", 'm', 1, ""},
    {"file", 'F', 1, ""},
    {"root-url", 'U', 1, ""},
    {"revision", 'r', 1, ""},
    {"with-revprop", opt_with_revprop, 1, ""},
    {"extra-args", 'X', 1, ""},
    {"help", 'h', 0, ""},
    OSTREL_CMDLINE_ACCESS_OPTION_ROWS,
    {"version", opt_version, 0, ""},
    {nullptr, 0, 0, nullptr},
};

// Stands for a bare "-" argument while APR parses the options; compared by
// address, never by contents.
const char kDashMarker[] = "(standard input)";

const ostrel_version *own_version() {
  static const ostrel_version version = {1, 7, 0, "kelbrin"};
  return &version;
}

// strtol's value as a revision: on this platform `long` is wider than a
// revision, so values beyond the revision range are clamped to it, as a
// 32-bit strtol would do.
ostrel_revnum clamp_revision(long value) {
  if (value > OSTREL_REVNUM_MAX) return OSTREL_REVNUM_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<ostrel_revnum>(value);
}

// A number, or HEAD: the youngest revision when the commit begins.
ostrel_error *parse_base_revision(const char *text, ostrel_revnum *rev) {
  if (std::strcmp(text, "HEAD") == 0) {
    *rev = OSTREL_INVALID_REVNUM;
    return OSTREL_NO_ERROR;
  }
  char *end = nullptr;
  long value = std::strtol(text, &end, 10);
  if (value < 0 || *end != '\0')
    return ostrel_error_create(OSTREL_ERR_BAD_REVISION, nullptr, "Invalid revision number");
  *rev = clamp_revision(value);
  return OSTREL_NO_ERROR;
}

ostrel_error *read_message_file(const char *arg, const char **message, apr_pool_t *pool) {
  const char *name = nullptr;
  OSTREL_ERR(ostrel_utf_cstring_to_utf8(&name, arg, pool));
  ostrel_stringbuf *contents = nullptr;
  OSTREL_ERR(ostrel_stringbuf_from_file2(&contents, name, pool));
  // The text ends at its first NUL byte (data is NUL-terminated).
  return ostrel_utf_cstring_to_utf8(message, contents->data, pool);
}

ostrel_error *set_root_url(const char *arg, tool_options *opts, apr_pool_t *pool) {
  const char *url = nullptr;
  OSTREL_ERR(ostrel_utf_cstring_to_utf8(&url, arg, pool));
  if (!ostrel_path_is_url(url))
    return ostrel_error_createf(OSTREL_ERR_BAD_ARGUMENTS, nullptr, "'%s' is not a URL\n", url);
  opts->root_url = clean_url(url, pool);
  return OSTREL_NO_ERROR;
}

// Reads the whole file PATH, bytes unchanged, into *VALUE (in POOL).
ostrel_error *read_value_file(const ostrel_string **value, const char *path, apr_pool_t *pool) {
  apr_pool_t *scratch = ostrel_pool_create(pool);
  apr_file_t *file = nullptr;
  ostrel_stringbuf *contents = nullptr;
  ostrel_error *err =
      ostrel_io_file_open(&file, path, APR_READ | APR_BUFFERED, APR_OS_DEFAULT, scratch);
  if (!err) err = ostrel_stringbuf_from_aprfile(&contents, file, scratch);
  if (!err) *value = ostrel_string_create_from_buf(contents, pool);
  apr_pool_destroy(scratch);
  return err;
}

ostrel_error *insufficient() {
  return ostrel_error_create(OSTREL_ERR_BAD_ARGUMENTS, nullptr, "insufficient arguments");
}

struct word_entry {
  const char *word;
  action_kind kind;
  int url_count;
};

const word_entry kWords[] = {
    {"mv", action_kind::mv, 2},           {"cp", action_kind::cp, 2},
    {"mkdir", action_kind::mkdir, 1},     {"rm", action_kind::rm, 1},
    {"put", action_kind::put, 1},         {"propset", action_kind::propset, 1},
    {"propsetf", action_kind::propsetf, 1}, {"propdel", action_kind::propdel, 1},
};

ostrel_error *parse_copy_revision(const char *text, ostrel_revnum *rev) {
  if (std::strcmp(text, "head") == 0 || std::strcmp(text, "HEAD") == 0) {
    *rev = OSTREL_INVALID_REVNUM;
    return OSTREL_NO_ERROR;
  }
  while (*text == 'r') ++text;
  char *end = nullptr;
  long value = std::strtol(text, &end, 0);
  if (*end != '\0')
    return ostrel_error_createf(OSTREL_ERR_BAD_ARGUMENTS, nullptr, "'%s' is not a revision\n",
                                text);
  *rev = clamp_revision(value);
  return OSTREL_NO_ERROR;
}

}  // namespace

const char *clean_url(const char *text, apr_pool_t *pool) {
  return ostrel_uri_canonicalize(
      ostrel_path_uri_autoescape(ostrel_path_uri_from_iri(text, pool), pool), pool);
}

ostrel_error *parse_options(int argc, const char *const *argv, tool_options *opts,
                            apr_getopt_t **os_out, parse_outcome *outcome, apr_pool_t *pool) {
  if (!opts->revprops) opts->revprops = apr_hash_make(pool);
  *outcome = parse_outcome::proceed;
  // APR's option parser refuses a bare "-" as an invalid option, yet "-" is
  // how the help text says to name standard input ("put - URL").  Each bare
  // "-" is therefore handed to the parser as a marker that is no option, and
  // turned back into "-" wherever it comes out.
  const char **argv_copy = static_cast<const char **>(apr_palloc(pool, sizeof(char *) * (argc + 1)));
  for (int i = 0; i < argc; ++i)
    argv_copy[i] = (i > 0 && std::strcmp(argv[i], "-") == 0) ? kDashMarker : argv[i];
  argv_copy[argc] = nullptr;
  apr_getopt_t *os = nullptr;
  apr_getopt_init(&os, pool, argc, argv_copy);
  os->interleave = 1;
  *os_out = os;
  for (;;) {
    int code = 0;
    const char *arg = nullptr;
    apr_status_t status = apr_getopt_long(os, kOptions, &code, &arg);
    if (status == APR_EOF) break;
    if (status != APR_SUCCESS) return ostrel_error_wrap_apr(status, "getopt failure");
    if (arg == kDashMarker) arg = "-";
    int handled = 0;
    OSTREL_ERR(ostrel_cmdline_access_option(&opts->access, code, arg, &handled, pool));
    if (handled) continue;
    switch (code) {
      case 'm':
        OSTREL_ERR(ostrel_utf_cstring_to_utf8(&opts->message, arg, pool));
        break;
      case 'F':
        OSTREL_ERR(read_message_file(arg, &opts->message, pool));
        break;
      case 'U':
        OSTREL_ERR(set_root_url(arg, opts, pool));
        break;
      case 'r':
        OSTREL_ERR(parse_base_revision(arg, &opts->base_rev));
        break;
      case opt_with_revprop:
        OSTREL_ERR(ostrel_opt_parse_revprop(&opts->revprops, arg, pool));
        break;
      case 'X':
        opts->extra_args_file = apr_pstrdup(pool, arg);
        break;
      case 'h':
        *outcome = parse_outcome::help;
        return OSTREL_NO_ERROR;
      case opt_version:
        *outcome = parse_outcome::version;
        return OSTREL_NO_ERROR;
      default:
        OSTREL_ERR_MALFUNCTION("option table and option loop disagree");
    }
  }
  return OSTREL_NO_ERROR;
}

ostrel_error *split_extra_arguments(apr_array_header_t *args, const ostrel_stringbuf *contents,
                                   const char *file_name, apr_pool_t *pool) {
  // A NUL would end the text early and silently drop every later action.
  const char *data = contents->data;
  if (const void *nul = std::memchr(data, '\0', contents->len))
    return ostrel_error_createf(OSTREL_ERR_BAD_ARGUMENTS, nullptr,
                                "The extra-arguments file '%s' holds a NUL byte (at byte %lu)",
                                std::strcmp(file_name, "-") ? file_name : "- (standard input)",
                                static_cast<unsigned long>(static_cast<const char *>(nul) - data));
  ostrel_stringbuf *utf8 = nullptr;
  OSTREL_ERR(ostrel_utf_stringbuf_to_utf8(&utf8, contents, pool));
  ostrel_cstring_split_append(args, utf8->data, "\n\r", false, pool);
  return OSTREL_NO_ERROR;
}

ostrel_error *collect_arguments(apr_getopt_t *os, int argc, const tool_options *opts,
                                apr_array_header_t **argument_list, apr_pool_t *pool) {
  apr_array_header_t *args = apr_array_make(pool, argc, sizeof(const char *));
  for (int i = os->ind; i < argc; ++i) {
    const char *text = nullptr;
    OSTREL_ERR(ostrel_utf_cstring_to_utf8(
        &text, os->argv[i] == kDashMarker ? "-" : os->argv[i], pool));
    APR_ARRAY_PUSH(args, const char *) = text;
  }
  if (opts->extra_args_file) {
    const char *name = nullptr;
    ostrel_stringbuf *contents = nullptr;
    OSTREL_ERR(ostrel_utf_cstring_to_utf8(&name, opts->extra_args_file, pool));
    OSTREL_ERR(ostrel_stringbuf_from_file2(&contents, name, pool));
    OSTREL_ERR(split_extra_arguments(args, contents, name, pool));
  }
  *argument_list = args;
  return OSTREL_NO_ERROR;
}

ostrel_error *parse_actions(const apr_array_header_t *argument_list, tool_options *opts,
                            apr_array_header_t **actions_out, const char **edit_root_url_out,
                            bool *help_requested, apr_pool_t *pool) {
  apr_array_header_t *actions = apr_array_make(pool, 1, sizeof(action *));
  const char *edit_root_url = nullptr;
  const int n = argument_list->nelts;
  auto arg = [argument_list](int i) { return APR_ARRAY_IDX(argument_list, i, const char *); };
  *help_requested = false;
  int i = 0;
  while (i < n) {
    auto *act = static_cast<action *>(apr_pcalloc(pool, sizeof(action)));
    const char *word = arg(i);
    const word_entry *entry = nullptr;
    for (const word_entry &candidate : kWords)
      if (std::strcmp(word, candidate.word) == 0) entry = &candidate;
    if (!entry) {
      if (std::strcmp(word, "?") == 0 || std::strcmp(word, "h") == 0 ||
          std::strcmp(word, "help") == 0) {
        *help_requested = true;
        return OSTREL_NO_ERROR;
      }
      return ostrel_error_createf(OSTREL_ERR_BAD_ARGUMENTS, nullptr, "'%s' is not an action\n",
                                  word);
    }
    act->kind = entry->kind;
    act->revision = OSTREL_INVALID_REVNUM;
    if (++i == n) return insufficient();

    if (act->kind == action_kind::cp) {
      OSTREL_ERR(parse_copy_revision(arg(i), &act->revision));
      if (++i == n) return insufficient();
    }
    if (act->kind == action_kind::put) {
      act->second_path = ostrel_dirent_canonicalize(arg(i), pool);
      if (++i == n) return insufficient();
    }
    if (act->kind == action_kind::propset || act->kind == action_kind::propsetf ||
        act->kind == action_kind::propdel) {
      act->prop_name = arg(i);
      if (++i == n) return insufficient();
      if (act->kind == action_kind::propset) {
        act->prop_value = ostrel_string_create(arg(i), pool);
        if (++i == n) return insufficient();
      } else if (act->kind == action_kind::propsetf) {
        const char *file = ostrel_dirent_canonicalize(arg(i), pool);
        if (++i == n) return insufficient();
        OSTREL_ERR(read_value_file(&act->prop_value, file, pool));
        act->kind = action_kind::propset;
      }
    }
    if (act->prop_value && ostrel_prop_needs_translation(act->prop_name)) {
      ostrel_string *normal = nullptr;
      ostrel_error *err = ostrel_subst_translate_string2(&normal, nullptr, nullptr,
                                                         act->prop_value, nullptr, false, pool,
                                                         pool);
      if (err) return ostrel_error_quick_wrap(err, "Error normalizing property value");
      act->prop_value = normal;
    }

    for (int url_index = 0; url_index < entry->url_count; ++url_index) {
      const char *text = arg(i);
      if (!ostrel_path_is_url(text)) {
        if (!opts->root_url)
          return ostrel_error_createf(OSTREL_ERR_BAD_ARGUMENTS, nullptr,
                                      "'%s' is not a URL, and --root-url (-U) not provided\n",
                                      text);
        // Joined as text: the URL's canonical form then resolves any ".."
        // against the root URL, as in any relative reference.
        text = apr_pstrcat(pool, opts->root_url, "/", text, nullptr);
      }
      const char *url = clean_url(text, pool);
      OSTREL_ERR(ostrel_uri_check_names(url));
      if (url_index == 0)
        act->first_path = url;
      else
        act->second_path = url;
      const char *candidate = (act->kind == action_kind::cp && url_index == 0)
                                  ? url
                                  : ostrel_uri_dirname(url, pool);
      if (edit_root_url) {
        const char *ancestor = ostrel_uri_get_longest_ancestor(edit_root_url, candidate, pool);
        // URLs of different schemes or hosts share no ancestor, so no one
        // connection can reach them all.
        if (!*ancestor)
          return ostrel_error_createf(OSTREL_ERR_BAD_PATH, nullptr,
                                      "'%s' and '%s' have no common ancestor, so they cannot "
                                      "be changed in one commit",
                                      edit_root_url, url);
        edit_root_url = ancestor;
      } else {
        edit_root_url = candidate;
      }
      ++i;
      if (i == n && url_index + 1 < entry->url_count) return insufficient();
    }
    APR_ARRAY_PUSH(actions, action *) = act;
  }

  if (opts->message) {
    apr_hash_set(opts->revprops, OSTREL_PROP_REVISION_LOG, APR_HASH_KEY_STRING,
                 ostrel_string_create(opts->message, pool));
  } else if (!apr_hash_get(opts->revprops, OSTREL_PROP_REVISION_LOG, APR_HASH_KEY_STRING)) {
    apr_hash_set(opts->revprops, OSTREL_PROP_REVISION_LOG, APR_HASH_KEY_STRING,
                 ostrel_string_create("committed using kelbrin", pool));
  }
  *actions_out = actions;
  *edit_root_url_out = edit_root_url;
  return OSTREL_NO_ERROR;
}

// ---- Operation tree ----
//
// One op_node per path the commit touches or passes through, rooted at the
// edit root URL.  Each action is merged in list order; the merge asks the
// repository whether the change makes sense (the node exists, is absent, is a
// file) and refuses what the tree cannot express, so that a refused action
// never leaves a half-made commit: the tree is complete before the commit
// editor exists.

repository_calls repository = {ostrel_ra_check_path, ostrel_ra_get_commit_editor3};

op_node *create_op_node(apr_pool_t *pool) {
  auto *node = static_cast<op_node *>(apr_pcalloc(pool, sizeof(op_node)));
  node->change_kind = change::change_open;
  node->node_kind = ostrel_node_dir;
  node->copy_rev = OSTREL_INVALID_REVNUM;
  node->children = apr_hash_make(pool);
  node->prop_sets = apr_hash_make(pool);
  node->prop_deletes = apr_array_make(pool, 1, sizeof(const char *));
  return node;
}

namespace {

bool is_copy(const op_node *node) {
  return node->copy_url && node->copy_rev >= 0 &&
         (node->change_kind == change::change_add || node->change_kind == change::change_replace);
}

const char *relative_to_edit_root(const char *url, const char *edit_root_url, apr_pool_t *pool) {
  if (std::strcmp(url, edit_root_url) == 0) return "";
  return ostrel_uri__is_child(edit_root_url, url, pool);
}

ostrel_error *path_error(const char *fmt, const char *path) {
  return ostrel_error_createf(OSTREL_ERR_BAD_PATH, nullptr, fmt, path);
}

// A node that turns out to be a file after actions were merged below it (mkdir
// F/y, then put onto F) would have those actions dropped by the drive, which
// never visits a file's children.
ostrel_error *refuse_children_of_file(const op_node *node, const char *path) {
  if (node->node_kind == ostrel_node_file && apr_hash_count(node->children))
    return path_error("'%s' is not a directory", path);
  return OSTREL_NO_ERROR;
}

}  // namespace

ostrel_error *merge_action(action_kind kind, const char *path, const char *copy_url,
                           ostrel_revnum copy_rev, const char *prop_name,
                           const ostrel_string *prop_value, const char *source_file,
                           ostrel_revnum base_rev, const char *edit_root_url,
                           ostrel_ra_session *session, op_node *root, apr_pool_t *pool) {
  // Everything but the tree itself is scratch work of this one action, so
  // that memory follows the size of the action list, not the depth of its
  // paths.
  struct scratch_pool {
    apr_pool_t *pool;
    ~scratch_pool() { apr_pool_destroy(pool); }
  } scratch = {ostrel_pool_create(pool)};

  // Step 1: the walk down, and where the node's content stands before this
  // commit (inside a subtree that this commit copies, that is the copy
  // source's matching path).  Children are keyed by their name, so each
  // step hashes one name, and only a new node gets its own copy of it.
  const std::size_t path_len = std::strlen(path);
  std::size_t running = 0;  // length of the prefix of PATH walked so far
  op_node *node = root;
  const char *inherited_path = nullptr;
  ostrel_revnum inherited_rev = OSTREL_INVALID_REVNUM;
  while (running < path_len) {
    // Nothing below a node being deleted, or below a file, is ever driven:
    // an action merged there would be dropped while the commit succeeds.
    if (node->change_kind == change::change_delete)
      return ostrel_error_createf(OSTREL_ERR_BAD_PATH, nullptr,
                                  "cannot change '%s' below '%.*s', which is being deleted", path,
                                  static_cast<int>(running), path);
    if (node->node_kind == ostrel_node_file)
      return ostrel_error_createf(OSTREL_ERR_BAD_PATH, nullptr, "'%.*s' is not a directory",
                                  static_cast<int>(running), path);
    const std::size_t start = running ? running + 1 : 0;
    const char *slash = std::strchr(path + start, '/');
    running = slash ? static_cast<std::size_t>(slash - path) : path_len;
    auto *child = static_cast<op_node *>(
        apr_hash_get(node->children, path + start, static_cast<apr_ssize_t>(running - start)));
    if (!child) {
      child = create_op_node(pool);
      apr_hash_set(node->children, apr_pstrmemdup(pool, path + start, running - start),
                   APR_HASH_KEY_STRING, child);
    }
    node = child;
    if (is_copy(node)) {
      inherited_path = relative_to_edit_root(node->copy_url, edit_root_url, scratch.pool);
      inherited_rev = node->copy_rev;
      if (!inherited_path) OSTREL_ERR_MALFUNCTION("copy source outside the edit root");
    } else if (inherited_path) {
      inherited_path = ostrel_relpath_join(
          inherited_path, apr_pstrmemdup(scratch.pool, path + start, running - start),
          scratch.pool);
    }
  }
  const char *check_path = inherited_path ? inherited_path : path;
  const ostrel_revnum check_rev = inherited_path ? inherited_rev : base_rev;
  const bool from_elsewhere = inherited_path && std::strcmp(inherited_path, path) != 0;
  auto query = [&](const char *where, ostrel_revnum rev) {
    return repository.check_path(session, where, rev, &node->node_kind, scratch.pool);
  };

  // Step 2: property actions.
  if (kind == action_kind::propset || kind == action_kind::propdel) {
    if (node->change_kind == change::change_delete)
      return path_error("cannot set properties on a location being deleted ('%s')", path);
    if (node->change_kind == change::change_open) {
      OSTREL_ERR(query(check_path, check_rev));
      if (node->node_kind == ostrel_node_none) return path_error("propset: '%s' not found", path);
      OSTREL_ERR(refuse_children_of_file(node, path));
    }
    if (prop_value)
      apr_hash_set(node->prop_sets, prop_name, APR_HASH_KEY_STRING, prop_value);
    else
      APR_ARRAY_PUSH(node->prop_deletes, const char *) = prop_name;
    return OSTREL_NO_ERROR;
  }

  // Step 3: rm, cp, mkdir, put.  The edit root itself (the root of a
  // repository, when the session was opened there) can take property
  // changes only.
  if (!*path)
    return ostrel_error_createf(OSTREL_ERR_BAD_PATH, nullptr,
                                "'%s' is the root of the repository: it can only have its "
                                "properties changed",
                                edit_root_url);
  if (node->change_kind == change::change_add || node->change_kind == change::change_replace)
    return path_error("unsupported multiple operations on '%s'", path);
  const bool was_deleted = node->change_kind == change::change_delete;
  switch (kind) {
    case action_kind::rm:
      node->change_kind = change::change_delete;
      // What was merged into or below the node before it is deleted goes with
      // it; a node added again afterwards starts empty.
      node->children = apr_hash_make(pool);
      node->prop_sets = apr_hash_make(pool);
      apr_array_clear(node->prop_deletes);
      node->source_file = nullptr;
      OSTREL_ERR(query(check_path, check_rev));
      if (node->node_kind == ostrel_node_none) {
        if (from_elsewhere)
          return ostrel_error_createf(OSTREL_ERR_BAD_PATH, nullptr,
                                      "'%s' (from '%s:%ld') not found", path, inherited_path,
                                      static_cast<long>(inherited_rev));
        return path_error("'%s' not found", path);
      }
      return OSTREL_NO_ERROR;

    case action_kind::cp: {
      if (copy_rev > base_rev)
        return ostrel_error_create(OSTREL_ERR_BAD_REVISION, nullptr,
                                   "Copy source revision cannot be younger than base revision");
      if (was_deleted) {
        node->change_kind = change::change_replace;
      } else {
        node->change_kind = change::change_add;
        OSTREL_ERR(query(check_path, check_rev));
        if (node->node_kind != ostrel_node_none) {
          if (from_elsewhere)
            return ostrel_error_createf(OSTREL_ERR_BAD_PATH, nullptr,
                                        "'%s' (from '%s:%ld') already exists", path,
                                        inherited_path, static_cast<long>(inherited_rev));
          return path_error("'%s' already exists", path);
        }
      }
      const char *source = relative_to_edit_root(copy_url, edit_root_url, scratch.pool);
      if (!source) OSTREL_ERR_MALFUNCTION("copy source outside the edit root");
      OSTREL_ERR(query(source, copy_rev));
      if (node->node_kind == ostrel_node_none) return path_error("'%s' not found", source);
      OSTREL_ERR(refuse_children_of_file(node, path));
      node->copy_url = copy_url;
      node->copy_rev = copy_rev;
      return OSTREL_NO_ERROR;
    }

    case action_kind::mkdir:
      node->change_kind = was_deleted ? change::change_replace : change::change_add;
      node->node_kind = ostrel_node_dir;
      return OSTREL_NO_ERROR;

    case action_kind::put:
      if (was_deleted) {
        node->change_kind = change::change_replace;
        node->node_kind = ostrel_node_file;
        node->source_file = source_file;
        return OSTREL_NO_ERROR;
      }
      OSTREL_ERR(query(check_path, check_rev));
      if (node->node_kind == ostrel_node_dir) return path_error("'%s' is not a file", path);
      if (node->node_kind == ostrel_node_none) {
        node->change_kind = change::change_add;
        node->node_kind = ostrel_node_file;
      }
      OSTREL_ERR(refuse_children_of_file(node, path));
      node->source_file = source_file;
      return OSTREL_NO_ERROR;

    default:
      OSTREL_ERR_MALFUNCTION("action kind that the tree cannot merge");
  }
}

// ---- Commit run and tree drive ----

namespace {

ostrel_error *open_temp_file(apr_file_t **fp, void * /*baton*/, apr_pool_t *pool) {
  return ostrel_io_open_unique_file3(fp, nullptr, nullptr, ostrel_io_file_del_on_close, pool,
                                     pool);
}

ostrel_error *send_prop_changes(const ostrel_commit_editor *editor, void *baton,
                                const op_node *node, apr_pool_t *pool) {
  auto op = node->node_kind == ostrel_node_dir ? editor->set_dir_prop : editor->set_file_prop;
  apr_pool_t *scratch = ostrel_pool_create(pool);
  ostrel_error *err = OSTREL_NO_ERROR;
  // Deletions first, so that a name both deleted and set ends with its value.
  for (int i = 0; !err && i < node->prop_deletes->nelts; ++i) {
    apr_pool_clear(scratch);
    err = op(baton, APR_ARRAY_IDX(node->prop_deletes, i, const char *), nullptr, scratch);
  }
  if (!err && apr_hash_count(node->prop_sets)) {
    for (apr_hash_index_t *hi = apr_hash_first(pool, node->prop_sets); !err && hi;
         hi = apr_hash_next(hi)) {
      apr_pool_clear(scratch);
      const void *name = nullptr;
      void *value = nullptr;
      apr_hash_this(hi, &name, nullptr, &value);
      err = op(baton, static_cast<const char *>(name), static_cast<const ostrel_string *>(value),
               scratch);
    }
  }
  apr_pool_destroy(scratch);
  return err;
}

// Sends the whole contents of SOURCE_FILE as the new text of FILE_BATON.
ostrel_error *send_text(const ostrel_commit_editor *editor, void *file_baton,
                        const char *source_file, apr_pool_t *scratch, apr_pool_t *pool) {
  ostrel_txdelta_window_handler handler = nullptr;
  void *handler_baton = nullptr;
  OSTREL_ERR(editor->apply_text_delta(file_baton, nullptr, scratch, &handler, &handler_baton));
  apr_file_t *file = nullptr;
  // Standard input is lent, never closed: a second put from "-" then reads
  // the (empty) rest of it, and descriptor 0 is never freed for reuse by a
  // file the library opens later.
  const bool is_stdin = std::strcmp(source_file, "-") == 0;
  if (is_stdin) {
    apr_status_t status = apr_file_open_stdin(&file, pool);
    if (status != APR_SUCCESS) return ostrel_error_wrap_apr(status, "Can't open stdin");
  } else {
    OSTREL_ERR(ostrel_io_file_open(&file, source_file, APR_READ, APR_OS_DEFAULT, pool));
  }
  ostrel_stream *contents = ostrel_stream_from_aprfile2(file, is_stdin, pool);
  return ostrel_txdelta_send_stream(contents, handler, handler_baton, nullptr, pool);
}

// Drives EDITOR over the tree below ROOT (whose directory baton is open)
// depth-first, without recursion, so that a chain of directories as deep as
// the action list makes it takes no stack.  Directory batons and the walk's
// position live in POOL until the edit ends (they follow the number of
// directories); everything else lives in a scratch pool cleared per node.
// The root's own property changes are sent last; the root is not closed.
ostrel_error *drive_tree(op_node *root, ostrel_revnum base_rev, const ostrel_commit_editor *editor,
                         apr_pool_t *pool) {
  struct open_dir {
    op_node *dir;
    const char *path;        // relative to the edit root
    apr_hash_index_t *next;  // the next child to drive, or null when done
  };
  std::vector<open_dir> open = {{root, "", apr_hash_first(pool, root->children)}};
  apr_pool_t *scratch = ostrel_pool_create(pool);
  while (!open.empty()) {
    if (!open.back().next) {
      op_node *done = open.back().dir;
      open.pop_back();
      apr_pool_clear(scratch);
      OSTREL_ERR(send_prop_changes(editor, done->dir_baton, done, scratch));
      if (!open.empty()) OSTREL_ERR(editor->close_dir(done->dir_baton, scratch));
      continue;
    }
    op_node *parent = open.back().dir;
    const char *parent_path = open.back().path;
    const void *key = nullptr;
    void *value = nullptr;
    apr_hash_this(open.back().next, &key, nullptr, &value);
    open.back().next = apr_hash_next(open.back().next);
    auto *child = static_cast<op_node *>(value);
    const bool is_dir = child->node_kind == ostrel_node_dir;
    apr_pool_clear(scratch);
    // A directory's path lives as long as its baton; a file's only now.
    const char *path = ostrel_relpath_join(parent_path, static_cast<const char *>(key),
                                           is_dir ? pool : scratch);
    void *file_baton = nullptr;

    if (child->change_kind == change::change_delete ||
        child->change_kind == change::change_replace)
      OSTREL_ERR(editor->remove_entry(path, base_rev, parent->dir_baton, scratch));
    if (child->change_kind == change::change_open) {
      if (is_dir)
        OSTREL_ERR(editor->open_dir(path, parent->dir_baton, base_rev, pool, &child->dir_baton));
      else
        OSTREL_ERR(editor->open_file_node(path, parent->dir_baton, base_rev, scratch, &file_baton));
    }
    if (child->change_kind == change::change_add ||
        child->change_kind == change::change_replace) {
      if (is_dir)
        OSTREL_ERR(editor->add_dir(path, parent->dir_baton, child->copy_url, child->copy_rev, pool,
                                   &child->dir_baton));
      else
        OSTREL_ERR(editor->add_file_node(path, parent->dir_baton, child->copy_url,
                                         child->copy_rev, scratch, &file_baton));
    }
    if (child->source_file && file_baton)
      OSTREL_ERR(send_text(editor, file_baton, child->source_file, scratch, scratch));
    if (file_baton) {
      OSTREL_ERR(send_prop_changes(editor, file_baton, child, scratch));
      OSTREL_ERR(editor->close_file_node(file_baton, nullptr, scratch));
    }
    if (is_dir && child->change_kind != change::change_delete)
      open.push_back({child, path, apr_hash_first(pool, child->children)});
  }
  apr_pool_destroy(scratch);
  return OSTREL_NO_ERROR;
}

ostrel_error *merge_one(action *act, ostrel_revnum base_rev, const char *edit_root_url,
                        ostrel_ra_session *session, op_node *root, apr_pool_t *pool) {
  auto rel = [&](const char *url) { return relative_to_edit_root(url, edit_root_url, pool); };
  switch (act->kind) {
    case action_kind::mv:
      OSTREL_ERR(merge_action(action_kind::rm, rel(act->first_path), nullptr,
                              OSTREL_INVALID_REVNUM, nullptr, nullptr, nullptr, base_rev,
                              edit_root_url, session, root, pool));
      return merge_action(action_kind::cp, rel(act->second_path), act->first_path, base_rev,
                          nullptr, nullptr, nullptr, base_rev, edit_root_url, session, root, pool);
    case action_kind::cp:
      if (act->revision == OSTREL_INVALID_REVNUM) act->revision = base_rev;
      return merge_action(action_kind::cp, rel(act->second_path), act->first_path, act->revision,
                          nullptr, nullptr, nullptr, base_rev, edit_root_url, session, root, pool);
    case action_kind::mkdir:
    case action_kind::rm:
      return merge_action(act->kind, rel(act->first_path), nullptr, OSTREL_INVALID_REVNUM,
                          nullptr, nullptr, nullptr, base_rev, edit_root_url, session, root, pool);
    case action_kind::put:
      return merge_action(action_kind::put, rel(act->first_path), nullptr, OSTREL_INVALID_REVNUM,
                          nullptr, nullptr, act->second_path, base_rev, edit_root_url, session,
                          root, pool);
    case action_kind::propset:
    case action_kind::propdel:
      return merge_action(act->kind, rel(act->first_path), nullptr, OSTREL_INVALID_REVNUM,
                          act->prop_name, act->prop_value, nullptr, base_rev, edit_root_url,
                          session, root, pool);
    default:
      OSTREL_ERR_MALFUNCTION("action kind left in the action list");
  }
}

}  // namespace

ostrel_error *report_commit(const ostrel_commit_info *commit_info, void * /*baton*/,
                            apr_pool_t *pool) {
  ostrel_error *err = ostrel_cmdline_printf(
      pool, "r%ld committed by %s at %s\n", static_cast<long>(commit_info->revision),
      commit_info->author ? commit_info->author : "(no author)", commit_info->date);
  // The revision exists whatever its post-commit hook says; the failure is
  // only worth a warning.
  if (!err && commit_info->post_commit_err) {
    std::fprintf(stderr, "kelbrin: warning: r%ld was committed, but: %s\n",
                 static_cast<long>(commit_info->revision), commit_info->post_commit_err);
    std::fflush(stderr);
  }
  // The status stays 1, since the output failed; the message must keep a
  // caller from taking that for a commit that did not happen.
  if (err)
    return ostrel_error_createf(err->apr_err, err,
                                "Revision %ld was committed, but the line reporting it could "
                                "not be written",
                                static_cast<long>(commit_info->revision));
  return OSTREL_NO_ERROR;
}

ostrel_error *commit_actions(ostrel_ra_session *session, ostrel_revnum base_rev,
                             const char *edit_root_url, const apr_array_header_t *actions,
                             apr_hash_t *revprops, apr_pool_t *pool) {
  op_node *root = create_op_node(pool);
  for (int i = 0; i < actions->nelts; ++i)
    OSTREL_ERR(merge_one(APR_ARRAY_IDX(actions, i, action *), base_rev, edit_root_url, session,
                         root, pool));

  const ostrel_commit_editor *editor = nullptr;
  void *edit_baton = nullptr;
  OSTREL_ERR(repository.get_commit_editor(session, &editor, &edit_baton, revprops, report_commit,
                                          nullptr, nullptr, false, pool));
  OSTREL_ERR(editor->open_root_dir(edit_baton, base_rev, pool, &root->dir_baton));
  ostrel_error *err = drive_tree(root, base_rev, editor, pool);
  if (!err) err = editor->finish_edit(edit_baton, pool);
  if (err) ostrel_error_clear(editor->cancel_edit(edit_baton, pool));
  return err;
}

namespace {

// The number of path segments of the canonical URL URL.
int url_depth(const char *url) {
  const char *path = std::strchr(std::strstr(url, "://") + 3, '/');
  int depth = 0;
  for (const char *p = path; p && *p; ++p)
    if (*p == '/' && p[1]) ++depth;
  return depth;
}

// The repository root URL REPOS_ROOT spelled as the action URLs spell it:
// the ancestor of the action URL URL at the root's depth, when both decode to
// the same; otherwise null.
const char *root_as_spelled_in(const char *url, const char *repos_root, apr_pool_t *pool) {
  const int depth = url_depth(repos_root);
  if (url_depth(url) < depth) return nullptr;
  const char *ancestor = url;
  while (url_depth(ancestor) > depth) ancestor = ostrel_uri_dirname(ancestor, pool);
  if (std::strcmp(ostrel_path_uri_decode(ancestor, pool), ostrel_path_uri_decode(repos_root, pool)))
    return nullptr;
  return ancestor;
}

// Opens the commit's session at *EDIT_ROOT_URL.  A change to a repository's
// root itself makes the edit root that root's parent, which lies outside the
// repository; when no repository is found at the edit root, but one
// repository holds every action URL and lies below the edit root, the
// session is opened at that repository's root instead, and *EDIT_ROOT_URL
// becomes that root.  Otherwise the error is the one for the edit root.
ostrel_error *open_commit_session(ostrel_ra_session **session, const char **edit_root_url,
                                  const apr_array_header_t *actions,
                                  ostrel_ra_callbacks *callbacks, apr_hash_t *config,
                                  apr_pool_t *pool) {
  ostrel_error *err = ostrel_ra_open4(session, nullptr, *edit_root_url, nullptr, callbacks,
                                      nullptr, config, pool);
  if (!err || err->apr_err != OSTREL_ERR_RA_NO_REPOSITORY || actions->nelts == 0) return err;

  const char *first_url = APR_ARRAY_IDX(actions, 0, const action *)->first_path;
  ostrel_ra_session *inner = nullptr;
  const char *repos_root = nullptr;
  ostrel_error *retry =
      ostrel_ra_open4(&inner, nullptr, first_url, nullptr, callbacks, nullptr, config, pool);
  if (!retry) retry = ostrel_ra_get_repos_root(inner, &repos_root, pool);
  if (retry) {
    ostrel_error_clear(retry);
    return err;
  }
  const char *root = root_as_spelled_in(first_url, repos_root, pool);
  if (!root || !ostrel_uri__is_child(*edit_root_url, root, pool)) return err;
  for (int i = 0; i < actions->nelts; ++i) {
    const action *act = APR_ARRAY_IDX(actions, i, const action *);
    const char *urls[] = {act->first_path,
                          act->kind == action_kind::mv || act->kind == action_kind::cp
                              ? act->second_path
                              : nullptr};
    for (const char *url : urls)
      if (url && std::strcmp(url, root) != 0 && !ostrel_uri__is_child(root, url, pool))
        return err;
  }
  // The probe's session sits at the first URL; the commit's sits at the root.
  ostrel_error *reopen =
      ostrel_ra_open4(session, nullptr, root, nullptr, callbacks, nullptr, config, pool);
  if (reopen) {
    ostrel_error_clear(err);
    return reopen;
  }
  ostrel_error_clear(err);
  *edit_root_url = root;
  return OSTREL_NO_ERROR;
}

ostrel_error *run_commit(ostrel_revnum base_rev, const ostrel_cmdline_access_options &access,
                         const char *edit_root_url, const apr_array_header_t *actions,
                         apr_hash_t *revprops, apr_pool_t *pool) {
  apr_hash_t *config = nullptr;
  OSTREL_ERR(ostrel_config_get_config(&config, access.config_dir, pool));
  OSTREL_ERR(ostrel_cmdline__apply_config_options(config, access.config_options, "kelbrin: ",
                                                  "--config-option"));
  ostrel_ra_callbacks *callbacks = nullptr;
  OSTREL_ERR(ostrel_ra_create_callbacks(&callbacks, pool));
  auto *cfg = static_cast<ostrel_config *>(
      apr_hash_get(config, OSTREL_CONFIG_CATEGORY_CONFIG, APR_HASH_KEY_STRING));
  OSTREL_ERR(ostrel_cmdline_create_auth_baton(&callbacks->auth_baton, access.non_interactive,
                                              access.username, access.password, access.config_dir,
                                              access.no_auth_cache, false, cfg,
                                              nullptr, nullptr, pool));
  ostrel_auth_set_warning_func(
      callbacks->auth_baton,
      [](void *, const ostrel_error *warning) {
        ostrel_handle_error2(warning, stderr, false,
                             "kelbrin: warning: ");
      },
      nullptr);
  callbacks->open_tmp_file = open_temp_file;
  ostrel_ra_session *session = nullptr;
  OSTREL_ERR(open_commit_session(&session, &edit_root_url, actions, callbacks, config, pool));
  ostrel_revnum youngest = OSTREL_INVALID_REVNUM;
  OSTREL_ERR(ostrel_ra_get_latest_revnum(session, &youngest, pool));
  if (base_rev >= 0 && base_rev > youngest)
    return ostrel_error_createf(OSTREL_ERR_FS_NO_SUCH_REVISION, nullptr,
                                "No such revision %ld (youngest is %ld)",
                                static_cast<long>(base_rev), static_cast<long>(youngest));
  if (base_rev < 0) base_rev = youngest;
  return commit_actions(session, base_rev, edit_root_url, actions, revprops, pool);
}

}  // namespace

namespace {

[[noreturn]] void report_and_exit(ostrel_error *err, apr_pool_t *pool) {
  if (err) {
    ostrel_handle_error2(err, stderr, false, "kelbrin: ");
    ostrel_error_clear(err);
  }
  if (pool) apr_pool_destroy(pool);
  std::exit(1);
}

[[noreturn]] void print_help_text(apr_pool_t *pool, int status) {
  ostrel_error_clear(ostrel_cmdline_fputs(kHelpText, status == 0 ? stdout : stderr, pool));
  apr_pool_destroy(pool);
  std::exit(status);
}

apr_pool_t *start_up(const char *progname) {
  if (ostrel_cmdline_init(progname, stderr) != 0) std::exit(1);
  apr_allocator_t *allocator = nullptr;
  if (apr_allocator_create(&allocator) != APR_SUCCESS) std::exit(1);
  static const ostrel_version_checklist checklist[] = {
      {"ostrel_client", ostrel_client_version},
      {"ostrel_subr", ostrel_subr_version},
      {"ostrel_ra", ostrel_ra_version},
      {nullptr, nullptr},
  };
  if (ostrel_error *err = ostrel_ver_check_list(own_version(), checklist))
    report_and_exit(err, nullptr);
  apr_allocator_max_free_set(allocator, kAllocatorMaxFree);
  apr_pool_t *pool = ostrel_pool_create_ex(nullptr, allocator);
  apr_allocator_owner_set(allocator, pool);
  return pool;
}

[[noreturn]] void print_version(apr_getopt_t *os, apr_pool_t *pool) {
  ostrel_stringbuf *footer = ostrel_stringbuf_create(
      "The following repository access (RA) modules are available:\n\n", pool);
  ostrel_error *err = ostrel_ra_print_modules(footer, pool);
  if (!err)
    err = ostrel_opt_print_help3(os, "kelbrin", true, false, footer->data, nullptr, nullptr,
                                 nullptr, nullptr, nullptr, pool);
  if (err) report_and_exit(err, pool);
  apr_pool_destroy(pool);
  std::exit(0);
}

}  // namespace

int main_flow(int argc, const char *const *argv) {
  apr_pool_t *pool = start_up("kelbrin");
  tool_options opts;
  apr_getopt_t *os = nullptr;
  parse_outcome outcome = parse_outcome::proceed;
  if (ostrel_error *err = parse_options(argc, argv, &opts, &os, &outcome, pool))
    report_and_exit(err, pool);
  if (outcome == parse_outcome::help) print_help_text(pool, 0);
  if (outcome == parse_outcome::version) print_version(os, pool);

  apr_array_header_t *argument_list = nullptr;
  if (ostrel_error *err = collect_arguments(os, argc, &opts, &argument_list, pool))
    report_and_exit(err, pool);
  if (argument_list->nelts == 0) print_help_text(pool, 1);

  apr_array_header_t *actions = nullptr;
  const char *edit_root_url = nullptr;
  bool help_requested = false;
  if (ostrel_error *err =
          parse_actions(argument_list, &opts, &actions, &edit_root_url, &help_requested, pool))
    report_and_exit(err, pool);
  if (help_requested) print_help_text(pool, 0);

  if (ostrel_error *err =
          run_commit(opts.base_rev, opts.access, edit_root_url, actions, opts.revprops, pool))
    report_and_exit(err, pool);
  apr_pool_destroy(pool);
  return 0;
}

}  // namespace kelbrin

#ifndef KELBRIN_NO_MAIN
int main(int argc, const char *argv[]) { return kelbrin::main_flow(argc, argv); }
#endif
