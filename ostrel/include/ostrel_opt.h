/* ostrel_opt.h: command-line option helpers of the console tools.
 * Conventions as in ostrel_types.h (results in POOL, errors returned). */
#ifndef OSTREL_OPT_H
#define OSTREL_OPT_H

#include <apr_getopt.h>
#include <apr_hash.h>

#include "ostrel_error.h"
#include "ostrel_string.h"

#ifdef __cplusplus
extern "C" {
#endif

/* True when NAME is a valid property name: it starts with a letter, '_' or
 * ':' and goes on with letters, digits, '-', '.', '_' and ':'. */
bool ostrel_prop_name_is_valid(const char *name);

/* Parses REVPROP_SPEC, "NAME[=VALUE]" in the native encoding, and stores
 * NAME -> VALUE (an `ostrel_string *`, UTF-8; "" when "=VALUE" is missing)
 * in *REVPROPS, creating the table in POOL when *REVPROPS is NULL.  Error
 * OSTREL_ERR_BAD_PROPERTY_NAME when NAME is empty or not a valid property
 * name; a conversion error when the text is not valid in the native
 * encoding.  *REVPROPS is unchanged on error. */
ostrel_error *ostrel_opt_parse_revprop(apr_hash_t **revprops, const char *revprop_spec,
                                       apr_pool_t *pool);

/* Prints help or version information on standard output (in the native
 * encoding).
 *
 * With PRINT_VERSION: when QUIET, only "MAJOR.MINOR.PATCH\n" of the library;
 * otherwise a banner -- PGM_NAME, the library's version, its build tag and
 * build date -- then a blank line, then VERSION_FOOTER when not NULL.
 *
 * Without PRINT_VERSION: HEADER, then one line per entry of OPTION_TABLE
 * (ended by an entry with a NULL name) and then FOOTER, each when not NULL.
 * GLOBAL_OPTIONS is not used.  CMD_TABLE must be NULL: this library has no
 * subcommand tables (error OSTREL_ERR_UNSUPPORTED otherwise).
 *
 * OS may be NULL.  A failed write is an error. */
ostrel_error *ostrel_opt_print_help3(apr_getopt_t *os, const char *pgm_name, bool print_version,
                                     bool quiet, const char *version_footer, const char *header,
                                     const void *cmd_table,
                                     const apr_getopt_option_t *option_table,
                                     const int *global_options, const char *footer,
                                     apr_pool_t *pool);

#ifdef __cplusplus
}
#endif

#endif /* OSTREL_OPT_H */
