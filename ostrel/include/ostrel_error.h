/* ostrel_error.h: error chains.
 *
 * An `ostrel_error` is one link of a chain: a numeric code (see
 * ostrel_error_codes.h, or an APR/OS status), a message (may be NULL, then the
 * code's default message stands for it) and the link it wraps (`child`).  The
 * outermost link says what the caller was doing; the innermost says what went
 * wrong first.
 *
 * Ownership: a chain is allocated outside every APR pool, so it outlives the
 * pools of the code that made it.  Whoever receives a non-NULL chain owns it and
 * must hand it on (return it, or wrap it) or end it with ostrel_error_clear().
 * Wrapping takes ownership of the wrapped chain.
 *
 * Nothing in the library prints an error; the tools print a chain in one place
 * with ostrel_handle_error2().
 */
#ifndef OSTREL_ERROR_H
#define OSTREL_ERROR_H

#include <stdio.h>

#include "ostrel_error_codes.h"
#include "ostrel_types.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct ostrel_error {
  apr_status_t apr_err;       /* the code */
  const char *message;        /* UTF-8, or NULL for the code's default message */
  struct ostrel_error *child; /* the error this one wraps, or NULL */
  const char *file;           /* where it was made (debug aid), or NULL */
  long line;
} ostrel_error;

#define OSTREL_NO_ERROR ((ostrel_error *)0)

/* Returns a new link with CODE and a copy of MESSAGE (which may be NULL),
 * wrapping CHILD (which may be NULL; ownership passes to the new link). */
ostrel_error *ostrel_error_create(apr_status_t code, ostrel_error *child, const char *message);

/* As ostrel_error_create, with a printf-style message. */
ostrel_error *ostrel_error_createf(apr_status_t code, ostrel_error *child, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));

/* Wraps CHILD in a new link that has the same code as CHILD and MESSAGE.
 * A NULL CHILD gives NULL (so it can wrap a call's result unconditionally). */
ostrel_error *ostrel_error_quick_wrap(ostrel_error *child, const char *message);

/* As ostrel_error_quick_wrap, with a printf-style message. */
ostrel_error *ostrel_error_quick_wrapf(ostrel_error *child, const char *fmt, ...)
    __attribute__((format(printf, 2, 3)));

/* Turns an APR status into a one-link chain with code STATUS and the message
 * "<fmt...>: <APR's text for STATUS>".  STATUS must not be APR_SUCCESS. */
ostrel_error *ostrel_error_wrap_apr(apr_status_t status, const char *fmt, ...)
    __attribute__((format(printf, 2, 3)));

/* The one translator of native (errno) failures: code ERRNUM, message
 * "<fmt...>: <strerror(ERRNUM)>", for example
 * "Can't open file '/x': No such file or directory". */
ostrel_error *ostrel_error_from_errno(int errnum, const char *fmt, ...)
    __attribute__((format(printf, 2, 3)));

/* Frees the whole chain.  NULL is allowed. */
void ostrel_error_clear(ostrel_error *err);

/* Appends NEW_ERR below the innermost link of CHAIN, so that both are kept
 * (used when a clean-up fails after a first failure).  Either may be NULL;
 * returns the combined chain. */
ostrel_error *ostrel_error_compose_create(ostrel_error *chain, ostrel_error *new_err);

/* The innermost link of ERR (ERR itself when it wraps nothing). */
ostrel_error *ostrel_error_root_cause(ostrel_error *err);

/* The first link of ERR whose code is CODE, or NULL. */
ostrel_error *ostrel_error_find_cause(ostrel_error *err, apr_status_t code);

/* The text that stands for ERR's link: its message, or else the default
 * message of its code (for APR/OS statuses, APR's text). */
const char *ostrel_error_text(const ostrel_error *err, char *buf, apr_size_t bufsize);

/* Copies into BUF (of BUFSIZE bytes) the default message of CODE and returns
 * BUF. */
const char *ostrel_strerror(apr_status_t code, char *buf, apr_size_t bufsize);

/* Prints ERR on STREAM, one line per link, outermost first: PREFIX, then the
 * link's text (ostrel_error_text), then a line feed unless the text already
 * ends with one.  A line equal to the line printed just before it is not
 * printed again.  Write errors on STREAM are ignored.  With FATAL true, the
 * process then aborts.  The chain is not freed. */
void ostrel_handle_error2(const ostrel_error *err, FILE *stream, bool fatal, const char *prefix);

/* Reports an internal fault ("<file>:<line>: internal malfunction: <reason>")
 * on standard error and aborts the process.  Never returns. */
void ostrel_error__malfunction(const char *file, long line, const char *reason)
    __attribute__((noreturn));

#define OSTREL_ERR_MALFUNCTION(reason) ostrel_error__malfunction(__FILE__, __LINE__, (reason))

/* Evaluates EXPR (an ostrel_error * expression) and returns its error from the
 * enclosing function when it is not NULL. */
#define OSTREL_ERR(expr)                          \
  do {                                            \
    ostrel_error *ostrel_err__temp = (expr);      \
    if (ostrel_err__temp) return ostrel_err__temp; \
  } while (0)

#ifdef __cplusplus
}
#endif

#endif /* OSTREL_ERROR_H */
