// The table of repository access modules and their description.

#include "ostrel_ra.h"

namespace {

struct AccessModule {
  const char *scheme;
  const char *description;
};

// One entry per URL scheme this build can reach.
const AccessModule kModules[] = {
    {"file", "access repositories on local disk"},
};

}  // namespace

extern "C" ostrel_error *ostrel_ra_print_modules(ostrel_stringbuf *output, apr_pool_t * /*pool*/) {
  for (const AccessModule &module : kModules) {
    ostrel_stringbuf_appendcstr(output, "* local access (ostrel_ra_local): ");
    ostrel_stringbuf_appendcstr(output, module.description);
    ostrel_stringbuf_appendcstr(output, ".\n  - handles the '");
    ostrel_stringbuf_appendcstr(output, module.scheme);
    ostrel_stringbuf_appendcstr(output, "' scheme\n");
  }
  return OSTREL_NO_ERROR;
}
