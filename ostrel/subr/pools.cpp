// Pools: every pool made here aborts on allocation failure, so no caller has to
// test an allocation for NULL.

#include "ostrel_pools.h"

#include <apr_general.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace {

int abort_on_pool_failure(int /*retcode*/) {
  std::fputs("Out of memory - terminating application.\n", stderr);
  std::abort();
}

void initialize_apr_once() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (apr_initialize() != APR_SUCCESS) {
      std::fputs("Cannot initialize APR\n", stderr);
      std::abort();
    }
    std::atexit(apr_terminate);
  });
}

}  // namespace

extern "C" apr_pool_t *ostrel_pool_create_ex(apr_pool_t *parent, apr_allocator_t *allocator) {
  initialize_apr_once();
  apr_pool_t *pool = nullptr;
  if (apr_pool_create_ex(&pool, parent, abort_on_pool_failure, allocator) != APR_SUCCESS)
    abort_on_pool_failure(0);
  return pool;
}
