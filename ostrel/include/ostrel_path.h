/* ostrel_path.h: URLs, relative paths ("relpaths") and local paths
 * ("dirents").
 *
 * Canonical form -- the one definition every function here is held to.  Every
 * function returns canonical results, and those that take a URL, relpath or
 * dirent "in canonical form" may assume it (pass other text through the
 * matching *_canonicalize first).
 *
 *  - URL: SCHEME "://" AUTHORITY PATH, where
 *      - SCHEME is [a-z][a-z0-9+.-]* (lower case);
 *      - the host part of AUTHORITY is lower case (a user-info part before '@'
 *        and a port after ':' are kept as written); "file://localhost/..."
 *        becomes "file:///...";
 *      - PATH is empty or starts with '/'; its segments are separated by one
 *        '/' each; there are no empty, "." or ".." segments: a ".." takes
 *        the segment before it away, and one at the root is dropped, so the
 *        path never climbs above the URL's root ("%2E%2E" counts as "..");
 *        there is no trailing '/', except that a
 *        file:// URL always has at least the root path "/" ("file:///");
 *      - percent-escapes use upper-case hex digits; escapes of unreserved
 *        characters (A-Z a-z 0-9 - . _ ~) are decoded; every byte that may
 *        not stand in a URI (non-ASCII, control characters, space, '"', '<',
 *        '>', '\', '^', '`', '{', '|', '}', and a '%' that starts no valid
 *        escape) is escaped.
 *    Examples: "HTTP://Host.Example/a//./b/" -> "http://host.example/a/b";
 *    "file:///r/a/../b" -> "file:///r/b"; "http://h/../x" -> "http://h/x";
 *    "file://localhost/x%2fy%7e" -> "file:///x%2Fy~".
 *  - relpath: segments separated by one '/', no leading or trailing '/', no
 *    empty, "." or ".." segments ("" is the empty relpath); ".." is resolved
 *    as in a URL's path and never climbs above the relpath's start.
 *  - dirent (a local path, '/' separated internally): segments as in a
 *    relpath, except that ".." is kept (a local path may climb, and a
 *    symbolic link makes "a/.." differ from ""); an absolute dirent starts
 *    with '/' and the root itself is "/".
 *
 * Results are allocated in POOL (they may share the argument's memory when
 * nothing changes).  Errors are returned, never printed.
 */
#ifndef OSTREL_PATH_H
#define OSTREL_PATH_H

#include <apr_tables.h>

#include "ostrel_error.h"

#ifdef __cplusplus
extern "C" {
#endif

/* True when PATH starts with a scheme ([A-Za-z][A-Za-z0-9+.-]*) followed by
 * "://". */
bool ostrel_path_is_url(const char *path);

/* IRI with every non-ASCII byte percent-escaped (upper-case hex).  Other
 * bytes are unchanged. */
const char *ostrel_path_uri_from_iri(const char *iri, apr_pool_t *pool);

/* URI with every byte that may not stand in a URI escaped: space, '"', '<',
 * '>', '\', '^', '`', '{', '|', '}', control characters (0x00-0x1F, 0x7F) and
 * non-ASCII bytes.  Existing escapes and '%' are left alone. */
const char *ostrel_path_uri_autoescape(const char *uri, apr_pool_t *pool);

/* Percent-decodes every valid escape of URI_PART (a '%' that starts no valid
 * escape stays as it is). */
const char *ostrel_path_uri_decode(const char *uri_part, apr_pool_t *pool);

/* Percent-escapes PATH (a decoded path or relpath) so that it can stand in a
 * URL's path: everything but unreserved characters, '/' and the
 * sub-delimiters "!$&'()*+,;=:@" is escaped. */
const char *ostrel_path_uri_encode(const char *path, apr_pool_t *pool);

/* The canonical form of URI, which must be a URL (ostrel_path_is_url). */
const char *ostrel_uri_canonicalize(const char *uri, apr_pool_t *pool);

/* True when URI is in canonical form. */
bool ostrel_uri_is_canonical(const char *uri, apr_pool_t *pool);

/* The parent of the canonical URL URI: URI without its last path segment.
 * The root of a URL (no path segment left) is its own parent. */
const char *ostrel_uri_dirname(const char *uri, apr_pool_t *pool);

/* The last path segment of the canonical URL URI, decoded ("" for a root). */
const char *ostrel_uri_basename(const char *uri, apr_pool_t *pool);

/* The longest URL that is an ancestor of, or equal to, both canonical URLs
 * URI1 and URI2, comparing whole path segments.  "" when their schemes or
 * authorities differ. */
const char *ostrel_uri_get_longest_ancestor(const char *uri1, const char *uri2, apr_pool_t *pool);

/* When the canonical URL CHILD_URI lies strictly below the canonical URL
 * PARENT_URI, the path from PARENT_URI to CHILD_URI as a decoded relpath
 * (for example "a/b c" for ".../a/b%20c"); otherwise NULL (also when both
 * are equal). */
const char *ostrel_uri__is_child(const char *parent_uri, const char *child_uri, apr_pool_t *pool);

/* URL joined with the decoded relpath RELPATH (escaped on the way).  An
 * empty RELPATH gives URL. */
const char *ostrel_uri_join_relpath(const char *url, const char *relpath, apr_pool_t *pool);

/* The local path that the file:// URL URL names, decoded, with empty and "."
 * segments removed.  Error OSTREL_ERR_RA_ILLEGAL_URL when URL is not a
 * file:// URL, names a host other than the local one (empty or
 * "localhost"), holds a malformed percent-escape or one for a NUL byte, or
 * has a ".." segment (escaped or not): the path never climbs out of the
 * directory the URL names. */
ostrel_error *ostrel_uri_get_dirent_from_file_url(const char **dirent, const char *url,
                                                  apr_pool_t *pool);

/* The canonical file:// URL of the absolute dirent DIRENT (escaped).  Error
 * OSTREL_ERR_BAD_PATH when DIRENT is not absolute. */
ostrel_error *ostrel_uri_get_file_url_from_dirent(const char **url, const char *dirent,
                                                  apr_pool_t *pool);

/* The canonical form of RELPATH (a leading '/' is dropped). */
const char *ostrel_relpath_canonicalize(const char *relpath, apr_pool_t *pool);

/* True when RELPATH is in canonical form. */
bool ostrel_relpath_is_canonical(const char *relpath);

/* BASE and COMPONENT (both canonical relpaths) joined with '/'; either may be
 * empty, and then the other is the result. */
const char *ostrel_relpath_join(const char *base, const char *component, apr_pool_t *pool);

/* The parent of the canonical RELPATH ("" for a single segment or ""). */
const char *ostrel_relpath_dirname(const char *relpath, apr_pool_t *pool);

/* The canonical form of the local path DIRENT.  "-" stays "-". */
const char *ostrel_dirent_canonicalize(const char *dirent, apr_pool_t *pool);

/* DIRENT in the library's internal style ('/' separators), canonical.  On
 * this platform the separator is already '/', so this is
 * ostrel_dirent_canonicalize. */
const char *ostrel_dirent_internal_style(const char *dirent, apr_pool_t *pool);

/* True when DIRENT is absolute (starts with '/'). */
bool ostrel_dirent_is_absolute(const char *dirent);

/* ---- Names inside a repository ----
 *
 * The one rule for the names of a repository's nodes, applied wherever a
 * path enters the library (the storage, the access modules, the commit
 * editor, the server):
 *
 *   A name is one path segment: not empty, not "." or "..", without '/', valid
 *   UTF-8 (shortest forms, no surrogates, nothing above U+10FFFF), and without
 *   control characters (U+0000-U+001F, U+007F-U+009F).
 *
 * So no name can forge a line of a listing or log, put terminal escapes on a
 * screen, or be cut short at a NUL.  The checks below return
 * OSTREL_ERR_BAD_PATH with a message that quotes the text with every control
 * character and every byte of an invalid sequence escaped as \xHH (for
 * example 'a\x0A   D /').  They allocate nothing but the error.
 */

/* Checks the LEN bytes at NAME as one name. */
ostrel_error *ostrel_path_check_name(const char *name, apr_size_t len);

/* Checks RELPATH as a path inside a repository: "" (the root), or names
 * joined by single '/' (no leading, trailing or doubled '/'). */
ostrel_error *ostrel_relpath_check(const char *relpath);

/* Checks FSPATH as a storage path: a relpath as ostrel_relpath_check wants
 * it, optionally after one leading '/' ("" and "/" name the root). */
ostrel_error *ostrel_fspath_check(const char *fspath);

/* Checks that CHILD is a valid relpath naming a direct child of the
 * directory PARENT (a relpath, "" for the root): "a/b" is a child of "a",
 * "a/b/c" and "b/x" are not.  Error OSTREL_ERR_BAD_PATH otherwise. */
ostrel_error *ostrel_relpath_check_child(const char *parent, const char *child);

/* The path of the canonical absolute dirent DIRENT below the canonical
 * absolute dirent ROOT (a repository's directory), checked with
 * ostrel_relpath_check: "" when both are equal, "a/b" for ROOT/a/b.  When
 * DIRENT does not lie at or below ROOT, *RELPATH is set to NULL and no error
 * is returned.  *RELPATH points into DIRENT. */
ostrel_error *ostrel_dirent_repos_relpath(const char **relpath, const char *root,
                                          const char *dirent);

/* Checks the path of the URL URL (canonical or not): each segment, once
 * percent-decoded, must be a name (a '%00' escape, which would cut the name
 * short, is refused like every control character).  The error names URL. */
ostrel_error *ostrel_uri_check_names(const char *url);

/* The components of PATH (a canonical relpath or dirent) as an array of
 * `const char *`, in order: "a/b" gives "a", "b"; an absolute path gives "/"
 * first ("/a" gives "/", "a"); "" gives no component. */
apr_array_header_t *ostrel_path_decompose(const char *path, apr_pool_t *pool);

#ifdef __cplusplus
}
#endif

#endif /* OSTREL_PATH_H */
