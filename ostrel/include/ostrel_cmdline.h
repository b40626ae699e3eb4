/* ostrel_cmdline.h: what console programs need from the library: start-up,
 * console output in the native encoding, command-line configuration options
 * and the options every client tool takes to reach a repository.
 *
 * Conventions as in ostrel_types.h: results live in the pool passed in, errors
 * are returned and never printed (ostrel_cmdline_init alone reports its own
 * failure, because nothing else can at that point).
 */
#ifndef OSTREL_CMDLINE_H
#define OSTREL_CMDLINE_H

#include <stdio.h>

#include <apr_tables.h>

#include "ostrel_config.h"
#include "ostrel_error.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Prepares the library for a console program called PROGNAME: initialises APR
 * and takes the locale from the environment (so the native encoding is the
 * user's).  A locale that the environment names but the system lacks is not
 * fatal: a warning goes to ERROR_STREAM and the "C" locale stays.  Returns 0,
 * or 1 after writing the reason to ERROR_STREAM. */
int ostrel_cmdline_init(const char *progname, FILE *error_stream);

/* Makes the process heap grow in large steps and asks for the first to be
 * mapped with large pages where the system offers them on request, so that
 * the big in-memory trees of large commits cost few page faults.  Called by
 * ostrel_cmdline_init; a program that does not call that may call this
 * first thing in main().  Returns 1 when the heap was advised so, 0 when
 * nothing was changed (another allocator, another system). */
int ostrel_cmdline_prefer_large_pages(void);

/* Writes the UTF-8 text STRING to STREAM in the native encoding.  Output
 * never fails for what the text holds: a character that the native encoding
 * cannot show is written as "?\uXXXX" (its code point), and a byte of STRING
 * that is not valid UTF-8 as "?\XNN".  A failed write is an error with the
 * system's reason ("Write error: No space left on device"). */
ostrel_error *ostrel_cmdline_fputs(const char *string, FILE *stream, apr_pool_t *pool);

/* Formats like printf (the format and its arguments are UTF-8) and writes the
 * result to standard output as ostrel_cmdline_fputs does. */
ostrel_error *ostrel_cmdline_printf(apr_pool_t *pool, const char *fmt, ...)
    __attribute__((format(printf, 2, 3)));

/* As ostrel_cmdline_printf, to STREAM. */
ostrel_error *ostrel_cmdline_fprintf(FILE *stream, apr_pool_t *pool, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));

/* ostrel_cmdline__parse_config_option: see ostrel_config.h. */

/* The options by which every client tool reaches a repository: who logs in,
 * whether it may ask, and which configuration applies.  Zero-initialised
 * means none given. */
typedef struct ostrel_cmdline_access_options {
  const char *username;                /* -u, --username, as typed */
  const char *password;                /* -p, --password, as typed */
  const char *config_dir;              /* --config-dir, UTF-8 */
  apr_array_header_t *config_options;  /* --config-option, of
                                          ostrel_cmdline__config_argument *;
                                          null until the first one */
  int non_interactive;                 /* -n, --non-interactive */
  int no_auth_cache;                   /* --no-auth-cache */
} ostrel_cmdline_access_options;

/* The codes of the long-only access options.  A tool's own long-only options
 * take codes from OSTREL_CMDLINE_OPT_FIRST_FREE on. */
enum {
  OSTREL_CMDLINE_OPT_CONFIG_DIR = 256,
  OSTREL_CMDLINE_OPT_CONFIG_OPTION,
  OSTREL_CMDLINE_OPT_NO_AUTH_CACHE,
  OSTREL_CMDLINE_OPT_FIRST_FREE
};

/* The access options' rows, for a tool's apr_getopt_option_t table. */
#define OSTREL_CMDLINE_ACCESS_OPTION_ROWS                     \
  {"username", 'u', 1, ""}, {"password", 'p', 1, ""},         \
      {"non-interactive", 'n', 0, ""},                        \
      {"config-dir", OSTREL_CMDLINE_OPT_CONFIG_DIR, 1, ""},   \
      {"config-option", OSTREL_CMDLINE_OPT_CONFIG_OPTION, 1, ""}, \
      {"no-auth-cache", OSTREL_CMDLINE_OPT_NO_AUTH_CACHE, 0, ""}

/* When CODE (from apr_getopt_long) is one of the access options, records its
 * argument ARG in OPTIONS (copies and arrays in POOL) and sets *HANDLED to
 * nonzero; otherwise sets it to 0 and leaves OPTIONS untouched.  Errors: ARG
 * not convertible to UTF-8, or a malformed --config-option. */
ostrel_error *ostrel_cmdline_access_option(ostrel_cmdline_access_options *options, int code,
                                           const char *arg, int *handled, apr_pool_t *pool);

#ifdef __cplusplus
}
#endif

#endif /* OSTREL_CMDLINE_H */
