/* ostrel_string.h: counted strings, growable buffers and C-string helpers.
 *
 * All results live in the pool passed in.  An `ostrel_string` or
 * `ostrel_stringbuf` always has a NUL byte after its LEN bytes of data, so its
 * data can be used as a C string when it holds no NUL of its own.
 */
#ifndef OSTREL_STRING_H
#define OSTREL_STRING_H

#include <apr_tables.h>

#include "ostrel_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* An immutable counted string. */
typedef struct ostrel_string {
  const char *data;
  apr_size_t len;
} ostrel_string;

/* A growable buffer, allocated in POOL. */
typedef struct ostrel_stringbuf {
  apr_pool_t *pool;
  char *data;
  apr_size_t len;
  apr_size_t blocksize; /* bytes allocated for data, including the NUL */
} ostrel_stringbuf;

ostrel_string *ostrel_string_create(const char *cstring, apr_pool_t *pool);
ostrel_string *ostrel_string_ncreate(const char *bytes, apr_size_t size, apr_pool_t *pool);
ostrel_string *ostrel_string_create_from_buf(const ostrel_stringbuf *buf, apr_pool_t *pool);
ostrel_string *ostrel_string_dup(const ostrel_string *original, apr_pool_t *pool);
bool ostrel_string_compare(const ostrel_string *a, const ostrel_string *b);

ostrel_stringbuf *ostrel_stringbuf_create(const char *cstring, apr_pool_t *pool);
ostrel_stringbuf *ostrel_stringbuf_ncreate(const char *bytes, apr_size_t size, apr_pool_t *pool);
ostrel_stringbuf *ostrel_stringbuf_create_ensure(apr_size_t minimum_size, apr_pool_t *pool);
void ostrel_stringbuf_ensure(ostrel_stringbuf *buf, apr_size_t minimum_size);
void ostrel_stringbuf_appendbytes(ostrel_stringbuf *buf, const char *bytes, apr_size_t count);
void ostrel_stringbuf_appendcstr(ostrel_stringbuf *buf, const char *cstring);
void ostrel_stringbuf_appendbyte(ostrel_stringbuf *buf, char byte);
void ostrel_stringbuf_setempty(ostrel_stringbuf *buf);

/* Splits INPUT at every run of characters from SEP_CHARS and appends the
 * pieces, copied into POOL, to ARRAY (an array of `const char *`).  No empty
 * piece is appended.  With CHOP_WHITESPACE, leading and trailing white space is
 * removed from each piece first (and a piece that becomes empty is dropped). */
void ostrel_cstring_split_append(apr_array_header_t *array, const char *input,
                                 const char *sep_chars, bool chop_whitespace, apr_pool_t *pool);

/* As ostrel_cstring_split_append, into a new array. */
apr_array_header_t *ostrel_cstring_split(const char *input, const char *sep_chars,
                                         bool chop_whitespace, apr_pool_t *pool);

#ifdef __cplusplus
}
#endif

#endif /* OSTREL_STRING_H */
