// What the fuzz targets share: APR started once, a pool per input, and a
// check that aborts with the broken invariant and the input's text.
#ifndef OSTREL_FUZZ_SUPPORT_H
#define OSTREL_FUZZ_SUPPORT_H

#include <apr_general.h>
#include <apr_pools.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "ostrel_pools.h"

namespace ostrel_fuzz {

// A pool that lives for one input.
class InputPool {
 public:
  InputPool() {
    static const bool started = apr_initialize() == APR_SUCCESS;
    if (!started) std::abort();
    pool_ = ostrel_pool_create(nullptr);
  }
  ~InputPool() { apr_pool_destroy(pool_); }
  InputPool(const InputPool &) = delete;
  InputPool &operator=(const InputPool &) = delete;
  apr_pool_t *get() const { return pool_; }

 private:
  apr_pool_t *pool_;
};

[[noreturn]] inline void broken(const char *what, const std::string &input, const char *file,
                                int line) {
  std::fprintf(stderr, "%s:%d: invariant broken: %s\ninput: '%s'\n", file, line, what,
               input.c_str());
  std::abort();
}

}  // namespace ostrel_fuzz

#define OSTREL_FUZZ_CHECK(cond, input) \
  ((cond) ? (void)0 : ostrel_fuzz::broken(#cond, (input), __FILE__, __LINE__))

#endif  // OSTREL_FUZZ_SUPPORT_H
