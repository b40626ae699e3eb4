// Option helpers: revision-property arguments and help/version output.

#include "ostrel_opt.h"

#include <apr_strings.h>

#include <cstring>
#include <string>

#include "ostrel_cmdline.h"
#include "ostrel_utf.h"
#include "ostrel_version.h"

namespace {

bool is_name_start(unsigned char c) { return std::isalpha(c) || c == '_' || c == ':'; }

bool is_name_char(unsigned char c) {
  return std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == ':';
}

}  // namespace

extern "C" {

bool ostrel_prop_name_is_valid(const char *name) {
  if (!is_name_start(static_cast<unsigned char>(name[0]))) return false;
  for (const char *p = name + 1; *p; ++p)
    if (!is_name_char(static_cast<unsigned char>(*p))) return false;
  return true;
}

ostrel_error *ostrel_opt_parse_revprop(apr_hash_t **revprops, const char *revprop_spec,
                                       apr_pool_t *pool) {
  if (!*revprop_spec)
    return ostrel_error_create(OSTREL_ERR_BAD_PROPERTY_NAME, nullptr,
                               "Revision property pair is empty (expected NAME[=VALUE])");
  if (*revprop_spec == '=')
    return ostrel_error_createf(OSTREL_ERR_BAD_PROPERTY_NAME, nullptr,
                                "Revision property name is empty in '%s' (expected NAME[=VALUE])",
                                revprop_spec);
  const char *utf8 = nullptr;
  OSTREL_ERR(ostrel_utf_cstring_to_utf8(&utf8, revprop_spec, pool));
  const char *equals = std::strchr(utf8, '=');
  const char *name = equals ? apr_pstrmemdup(pool, utf8, static_cast<apr_size_t>(equals - utf8))
                            : utf8;
  if (!ostrel_prop_name_is_valid(name))
    return ostrel_error_createf(OSTREL_ERR_BAD_PROPERTY_NAME, nullptr,
                                "'%s' is not a valid property name", name);
  if (!*revprops) *revprops = apr_hash_make(pool);
  apr_hash_set(*revprops, name, APR_HASH_KEY_STRING,
               ostrel_string_create(equals ? equals + 1 : "", pool));
  return OSTREL_NO_ERROR;
}

ostrel_error *ostrel_opt_print_help3(apr_getopt_t * /*os*/, const char *pgm_name,
                                     bool print_version, bool quiet, const char *version_footer,
                                     const char *header, const void *cmd_table,
                                     const apr_getopt_option_t *option_table,
                                     const int * /*global_options*/, const char *footer,
                                     apr_pool_t *pool) {
  const ostrel_version *ver = ostrel_subr_version();
  if (print_version) {
    if (quiet) return ostrel_cmdline_printf(pool, "%d.%d.%d\n", ver->major, ver->minor, ver->patch);
    OSTREL_ERR(ostrel_cmdline_printf(pool, "%s %d.%d.%d (build %s, %s)\n\n", pgm_name, ver->major,
                                     ver->minor, ver->patch, ver->tag, __DATE__));
    if (version_footer) OSTREL_ERR(ostrel_cmdline_fputs(version_footer, stdout, pool));
    return OSTREL_NO_ERROR;
  }
  if (cmd_table)
    return ostrel_error_create(OSTREL_ERR_UNSUPPORTED, nullptr,
                               "Help for subcommand tables is not available");
  if (header) OSTREL_ERR(ostrel_cmdline_fputs(header, stdout, pool));
  for (const apr_getopt_option_t *opt = option_table; opt && opt->name; ++opt) {
    std::string line = "  ";
    if (opt->optch > 0 && opt->optch < 256) {
      line += '-';
      line += static_cast<char>(opt->optch);
      line += " [--";
    } else {
      line += "--";
    }
    line += opt->name;
    if (opt->optch > 0 && opt->optch < 256) line += ']';
    if (opt->has_arg) line += " ARG";
    if (opt->description && *opt->description) {
      line += " : ";
      line += opt->description;
    }
    line += '\n';
    OSTREL_ERR(ostrel_cmdline_fputs(line.c_str(), stdout, pool));
  }
  if (footer) OSTREL_ERR(ostrel_cmdline_fputs(footer, stdout, pool));
  return OSTREL_NO_ERROR;
}

}  // extern "C"
