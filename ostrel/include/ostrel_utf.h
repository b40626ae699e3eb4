/* ostrel_utf.h: conversions between the native encoding and UTF-8.
 *
 * The native encoding is the character set of the locale that
 * ostrel_cmdline_init() took from the environment (LC_ALL, LC_CTYPE, LANG);
 * before that call it is the "C" locale's (ASCII).  Conversions go through
 * iconv.  Text that is not valid in its source encoding is refused with an
 * error that shows the valid part and the first bad bytes; nothing invalid is
 * ever passed on.
 *
 * Results are allocated in POOL; on failure the output is left untouched.
 * Errors are returned, never printed.
 */
#ifndef OSTREL_UTF_H
#define OSTREL_UTF_H

#include "ostrel_error.h"
#include "ostrel_string.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The name of the native codeset as iconv knows it (for example "UTF-8" or
 * "ISO-8859-1"). */
const char *ostrel_utf__native_codeset(void);

/* Converts the native-encoding C string SRC to UTF-8 in *DEST.
 * Error OSTREL_ERR_NATIVE_ENCODING when SRC is not valid in the native
 * encoding, OSTREL_ERR_UNKNOWN_ENCODING when iconv cannot convert from it. */
ostrel_error *ostrel_utf_cstring_to_utf8(const char **dest, const char *src, apr_pool_t *pool);

/* As ostrel_utf_cstring_to_utf8 for the whole (counted) contents of SRC, which
 * may hold NUL bytes; the result is a new buffer in POOL. */
ostrel_error *ostrel_utf_stringbuf_to_utf8(ostrel_stringbuf **dest, const ostrel_stringbuf *src,
                                           apr_pool_t *pool);

/* As ostrel_utf_cstring_to_utf8 for a counted string. */
ostrel_error *ostrel_utf_string_to_utf8(const ostrel_string **dest, const ostrel_string *src,
                                        apr_pool_t *pool);

/* Converts the UTF-8 C string SRC to the native encoding in *DEST.
 * Error OSTREL_ERR_INVALID_UTF8 when SRC is not valid UTF-8,
 * OSTREL_ERR_NATIVE_ENCODING when a character has no native representation. */
ostrel_error *ostrel_utf_cstring_from_utf8(const char **dest, const char *src, apr_pool_t *pool);

/* Converts LEN bytes at SRC from the encoding FROM_CODESET (an iconv name) to
 * UTF-8 in *DEST (a NUL-terminated counted string in POOL). */
ostrel_error *ostrel_utf_convert_to_utf8(ostrel_string **dest, const char *src, apr_size_t len,
                                         const char *from_codeset, apr_pool_t *pool);

/* True when the LEN bytes at DATA are valid UTF-8 (shortest forms only, no
 * surrogates, nothing above U+10FFFF).  When false and BAD_OFFSET is not NULL,
 * *BAD_OFFSET is the offset of the first byte that starts no valid sequence. */
bool ostrel_utf__is_valid(const char *data, apr_size_t len, apr_size_t *bad_offset);

#ifdef __cplusplus
}
#endif

#endif /* OSTREL_UTF_H */
