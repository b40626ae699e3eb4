// kelbrin's records and stages, declared for the unit tests, which link the
// tool's one source unit (kelbrin.cpp, built without `main`) as a library.
// Nothing else includes this header.
#ifndef KELBRIN_KELBRIN_H
#define KELBRIN_KELBRIN_H

#include <apr_getopt.h>
#include <apr_hash.h>
#include <apr_tables.h>

#include "ostrel_error.h"
#include "ostrel_string.h"

namespace kelbrin {

// The parsed settings of the command line; every field starts null, false or
// empty, except base_rev (-1: none given).
struct tool_options {
  const char *message = nullptr;      // UTF-8
  const char *root_url = nullptr;     // canonical URL
  ostrel_revnum base_rev = OSTREL_INVALID_REVNUM;
  const char *username = nullptr;     // as typed
  const char *password = nullptr;     // as typed
  const char *config_dir = nullptr;   // UTF-8
  apr_array_header_t *config_options = nullptr;  // of ostrel_cmdline__config_argument *
  bool non_interactive = false;
  bool no_auth_cache = false;
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

}  // namespace kelbrin

#endif  // KELBRIN_KELBRIN_H
