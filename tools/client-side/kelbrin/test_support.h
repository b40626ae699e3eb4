// Helpers shared by kelbrin's unit tests.
#ifndef KELBRIN_TEST_SUPPORT_H
#define KELBRIN_TEST_SUPPORT_H

#include <string>

#include "ostrel_error.h"

namespace kelbrin {

// "ok" for no error; otherwise the code and every link's message, joined by
// " | ".  Clears the error.
inline std::string describe(ostrel_error *err) {
  if (!err) return "ok";
  std::string text = std::to_string(err->apr_err);
  for (ostrel_error *e = err; e; e = e->child)
    text += std::string(" | ") + (e->message ? e->message : "");
  ostrel_error_clear(err);
  return text;
}

}  // namespace kelbrin

#endif  // KELBRIN_TEST_SUPPORT_H
