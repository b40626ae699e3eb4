// libFuzzer target: the dump stream reader on arbitrary bytes.  It must
// return an error or success, never crash, hang or allocate by what a
// length field claims.

#include <cstddef>
#include <cstdint>

#include "ostrel_pools.h"
#include "ostrel_repos_admin.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static apr_pool_t *root = [] {
    apr_initialize();
    return ostrel_pool_create(nullptr);
  }();
  apr_pool_t *pool = ostrel_pool_create(root);
  ostrel_string input{reinterpret_cast<const char *>(data), size};
  ostrel_error_clear(ostrel_repos_dump_check(ostrel_stream_from_string(&input, pool), pool));
  apr_pool_destroy(pool);
  return 0;
}
