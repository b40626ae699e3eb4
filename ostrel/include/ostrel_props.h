/* ostrel_props.h: versioned properties and the normalisation of their
 * values.  Conventions as in ostrel_types.h (results in the result pool,
 * errors returned). */
#ifndef OSTREL_PROPS_H
#define OSTREL_PROPS_H

#include <apr_hash.h>
#include <apr_tables.h>

#include "ostrel_error.h"
#include "ostrel_string.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The namespace of the properties that the library itself interprets. */
#define OSTREL_PROP_PREFIX "ostrel:"

/* A file whose contents are a program: exported with the executable bit.
 * Any value means set; "*" by convention. */
#define OSTREL_PROP_EXECUTABLE "ostrel:executable"

/* A file that stands for a symbolic link: its contents are "link TARGET".
 * Any value means set; "*" by convention. */
#define OSTREL_PROP_SPECIAL "ostrel:special"

/* The revision property that holds the log message. */
#define OSTREL_PROP_REVISION_LOG "ostrel:log"

/* The node property naming a file's media type ("text/plain", "image/png"):
 * what a server sends as its Content-Type, and whether it is shown as text. */
#define OSTREL_PROP_MIME_TYPE "ostrel:mime-type"

/* The names of the properties in PROPS (const char * keys), sorted bytewise,
 * as an array of const char * allocated in RESULT_POOL: for output in an
 * order that does not depend on the hash. */
apr_array_header_t *ostrel_prop_sorted_names(apr_hash_t *props, apr_pool_t *result_pool);

/* True when values of the property NAME are stored in normal form (UTF-8
 * with LF line ends): the names in the "ostrel:" namespace. */
bool ostrel_prop_needs_translation(const char *name);

/* Normalises VALUE into *NEW_VALUE (allocated in RESULT_POOL):
 *  - ENCODING NULL: VALUE must already be UTF-8; otherwise it is converted
 *    from ENCODING (an iconv name) to UTF-8.
 *  - CR LF and lone CR become LF.
 * Invalid UTF-8 (after conversion) is error OSTREL_ERR_INVALID_UTF8 naming the
 * offset of the first bad byte, unless REPAIR is true: then each bad byte is
 * replaced by '?'.  *TRANSLATED_TO_UTF8 and *TRANSLATED_LINE_ENDINGS (either
 * may be NULL) tell whether the encoding conversion or a line-end change
 * altered the bytes.  On error the outputs are untouched. */
ostrel_error *ostrel_subst_translate_string2(ostrel_string **new_value, bool *translated_to_utf8,
                                             bool *translated_line_endings,
                                             const ostrel_string *value, const char *encoding,
                                             bool repair, apr_pool_t *result_pool,
                                             apr_pool_t *scratch_pool);

#ifdef __cplusplus
}
#endif

#endif /* OSTREL_PROPS_H */
