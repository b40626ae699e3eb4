/* curl_library.h: the HTTP client library, opened on first use
 * (late_library.h) when an http:// or https:// session opens, which calls
 * load() first.  Every other call of the library is on something a session
 * made, so curl_lib() is then ready.  A program that only reaches file://
 * repositories never loads it. */
#ifndef OSTREL_RA_CURL_LIBRARY_H
#define OSTREL_RA_CURL_LIBRARY_H

#include <curl/curl.h>

#include "../subr/late_library.h"
#include "ostrel_error.h"

namespace ostrel_ra_http {

// Every function of the library this folder calls.
#define OSTREL_CURL_FUNCTIONS(X)                                                    \
  X(curl_easy_cleanup) X(curl_easy_getinfo) X(curl_easy_init) X(curl_easy_pause)   \
  X(curl_easy_setopt) X(curl_easy_strerror) X(curl_free) X(curl_global_init)       \
  X(curl_multi_add_handle) X(curl_multi_cleanup) X(curl_multi_info_read)           \
  X(curl_multi_init) X(curl_multi_perform) X(curl_multi_poll)                      \
  X(curl_multi_remove_handle) X(curl_slist_append) X(curl_slist_free_all)          \
  X(curl_url) X(curl_url_cleanup) X(curl_url_get) X(curl_url_set)

struct CurlLibrary {
  OSTREL_CURL_FUNCTIONS(OSTREL_LATE_MEMBER)
};

/* Opens the library and sets it up once per process (an error naming it
 * when it cannot). */
ostrel_error *load_curl();

/* The opened library's functions. */
const CurlLibrary &curl_lib();

}  // namespace ostrel_ra_http

#endif /* OSTREL_RA_CURL_LIBRARY_H */
