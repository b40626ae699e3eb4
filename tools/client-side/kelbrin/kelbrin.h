// kelbrin's records and stages, declared for the unit tests, which link the
// tool's one source unit (kelbrin.cpp, built without `main`) as a library.
// Nothing else includes this header.
#ifndef KELBRIN_KELBRIN_H
#define KELBRIN_KELBRIN_H

#include <apr_getopt.h>
#include <apr_hash.h>
#include <apr_tables.h>

#include "ostrel_cmdline.h"
#include "ostrel_error.h"
#include "ostrel_ra.h"
#include "ostrel_string.h"

namespace kelbrin {

// The parsed settings of the command line; every field starts null, false or
// empty, except base_rev (-1: none given).
struct tool_options {
  const char *message = nullptr;      // UTF-8
  const char *root_url = nullptr;     // canonical URL
  ostrel_revnum base_rev = OSTREL_INVALID_REVNUM;
  ostrel_cmdline_access_options access{};  // -u, -p, -n, --config-*, --no-auth-cache
  apr_hash_t *revprops = nullptr;     // name -> ostrel_string *
  const char *extra_args_file = nullptr;
};

enum class action_kind { mv, mkdir, cp, propset, propsetf, propdel, put, rm };

// One action of the command line.  URLs are clean (absolute, canonical).
struct action {
  action_kind kind;
  ostrel_revnum revision;     // cp: source revision, -1 for head; others -1
  const char *first_path;     // first URL
  const char *second_path;    // mv/cp: second URL; put: local source file
  const char *prop_name;      // propset/propdel
  const ostrel_string *prop_value;  // propset: normalised value; propdel: null
};

// What the command line asks for once the options are read.
enum class parse_outcome { proceed, help, version };

// The option loop.  Stops at the first --help or --version (OUTCOME tells
// which) or at the first error; OS is the getopt state (for the plain
// arguments and the version output).
ostrel_error *parse_options(int argc, const char *const *argv, tool_options *opts,
                            apr_getopt_t **os, parse_outcome *outcome, apr_pool_t *pool);

// The plain arguments from OS in order, then the lines of the extra-arguments
// file, all UTF-8.
ostrel_error *collect_arguments(apr_getopt_t *os, int argc, const tool_options *opts,
                                apr_array_header_t **argument_list, apr_pool_t *pool);

// Appends the arguments held in CONTENTS (the extra-arguments file
// FILE_NAME, in the native encoding), one per line, to ARGS as UTF-8; empty
// lines are skipped.  A NUL byte anywhere is an error naming FILE_NAME, and
// then nothing is appended.
ostrel_error *split_extra_arguments(apr_array_header_t *args, const ostrel_stringbuf *contents,
                                   const char *file_name, apr_pool_t *pool);

// Reads ARGUMENT_LIST into ACTIONS (an array of action *), computes
// EDIT_ROOT_URL and stores the log message in OPTS->revprops.  When a help
// word is met, *HELP_REQUESTED is set and nothing else is done after it.
ostrel_error *parse_actions(const apr_array_header_t *argument_list, tool_options *opts,
                            apr_array_header_t **actions, const char **edit_root_url,
                            bool *help_requested, apr_pool_t *pool);

// ostrel_uri_canonicalize(autoescape(uri_from_iri(TEXT))).
const char *clean_url(const char *text, apr_pool_t *pool);

// The help text, byte for byte.
extern const char kHelpText[];

// ---- Operation tree and commit drive ----

enum class change { change_open, change_delete, change_add, change_replace };

// One path that the commit touches or passes through.
struct op_node {
  change change_kind;
  ostrel_node_kind node_kind;
  ostrel_revnum copy_rev;     // -1 when the node is no copy
  const char *copy_url;       // absolute URL of the copy source, or null
  const char *source_file;    // local file for the new text ("-": stdin), or null
  apr_hash_t *children;       // name -> op_node *
  apr_hash_t *prop_sets;      // name -> ostrel_string *
  apr_array_header_t *prop_deletes;  // names, in merge order
  void *dir_baton;            // the editor's baton while the drive has it open
};

// The repository calls the tree and the drive make, behind one seam so that
// tests can put a recording editor and a fake repository in their place.
// The tool uses ostrel_ra_check_path and ostrel_ra_get_commit_editor3.
struct repository_calls {
  ostrel_error *(*check_path)(ostrel_ra_session *session, const char *path,
                              ostrel_revnum revision, ostrel_node_kind *kind, apr_pool_t *pool);
  ostrel_error *(*get_commit_editor)(ostrel_ra_session *session,
                                     const ostrel_commit_editor **editor, void **edit_baton,
                                     apr_hash_t *revprop_table,
                                     ostrel_commit_callback commit_callback, void *commit_baton,
                                     apr_hash_t *lock_tokens, bool keep_locks, apr_pool_t *pool);
};
extern repository_calls repository;

op_node *create_op_node(apr_pool_t *pool);

// Merges one action (kind rm, cp, mkdir, put, propset or propdel) at PATH,
// relative to EDIT_ROOT_URL, into the tree under ROOT, asking SESSION what
// exists.
ostrel_error *merge_action(action_kind kind, const char *path, const char *copy_url,
                           ostrel_revnum copy_rev, const char *prop_name,
                           const ostrel_string *prop_value, const char *source_file,
                           ostrel_revnum base_rev, const char *edit_root_url,
                           ostrel_ra_session *session, op_node *root, apr_pool_t *pool);

// Steps 9 to 13 of the commit run: merges ACTIONS into a new tree, asks for
// the commit editor, drives it and finishes the edit (or cancels it).
ostrel_error *commit_actions(ostrel_ra_session *session, ostrel_revnum base_rev,
                             const char *edit_root_url, const apr_array_header_t *actions,
                             apr_hash_t *revprops, apr_pool_t *pool);

// Prints the "r%ld committed by %s at %s" line (the commit callback).
ostrel_error *report_commit(const ostrel_commit_info *commit_info, void *baton, apr_pool_t *pool);

}  // namespace kelbrin

#endif  // KELBRIN_KELBRIN_H
