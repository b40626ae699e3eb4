// The refusals of the calls no commit makes: see editor_refusals.h.

#include "editor_refusals.h"

namespace ostrel_delta {

ostrel_error *refuse_target_rev(void *, ostrel_revnum, apr_pool_t *) {
  return ostrel_error_create(OSTREL_ERR_UNSUPPORTED, nullptr,
                             "A commit makes the next revision; its number cannot be chosen");
}

ostrel_error *refuse_mark_absent(const char *path, void *, apr_pool_t *) {
  return ostrel_error_createf(OSTREL_ERR_UNSUPPORTED, nullptr,
                              "A commit cannot mark '%s' as absent", path);
}

}  // namespace ostrel_delta
