/* ostrel_cmdline.h: what console programs need from the library: start-up,
 * console output in the native encoding, and command-line configuration
 * options.
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

#ifdef __cplusplus
}
#endif

#endif /* OSTREL_CMDLINE_H */
