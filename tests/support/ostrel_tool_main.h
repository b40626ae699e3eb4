// The main() of the test kit's small tools: RUN does the work in a pool;
// an error is printed once, after PREFIX ("ostrel-damage: "), and the exit
// status is 1 for an error or an unwritable standard output, else 0.
#ifndef OSTREL_TOOL_MAIN_H
#define OSTREL_TOOL_MAIN_H

#include <cstdio>

#include "ostrel_cmdline.h"
#include "ostrel_error.h"
#include "ostrel_pools.h"

namespace ostrel_test {

inline int tool_main(int argc, char **argv, const char *prefix,
                     ostrel_error *(*run)(int argc, char **argv, apr_pool_t *pool)) {
  ostrel_cmdline_prefer_large_pages();  // as the console tools do
  apr_pool_t *pool = ostrel_pool_create(nullptr);
  ostrel_error *err = run(argc, argv, pool);
  apr_pool_destroy(pool);
  if (err) {
    ostrel_handle_error2(err, stderr, false, prefix);
    ostrel_error_clear(err);
    return 1;
  }
  return std::fflush(stdout) == 0 ? 0 : 1;
}

}  // namespace ostrel_test

#endif  // OSTREL_TOOL_MAIN_H
