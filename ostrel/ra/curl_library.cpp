// The HTTP client library, opened on first use (curl_library.h).

#include "curl_library.h"

#include <mutex>


namespace ostrel_ra_http {

namespace {

CurlLibrary table;

const char *bind(void *handle) {
#define OSTREL_CURL_FIND(name) OSTREL_LATE_FIND(table, handle, name)
  OSTREL_CURL_FUNCTIONS(OSTREL_CURL_FIND)
#undef OSTREL_CURL_FIND
  return nullptr;
}

ostrel::LateLibrary library("the HTTP client library", "libcurl.so.4", OSTREL_ERR_RA_CONNECTION,
                            bind);

}  // namespace

ostrel_error *load_curl() {
  OSTREL_ERR(library.load());
  static std::once_flag set_up;
  std::call_once(set_up, [] { table.curl_global_init(CURL_GLOBAL_DEFAULT); });
  return nullptr;
}

const CurlLibrary &curl_lib() { return table; }

}  // namespace ostrel_ra_http
