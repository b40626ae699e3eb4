// printf-style formatting into std::string, shared by the subr module's own
// sources (not part of the public API).
#ifndef OSTREL_SUBR_FORMAT_H
#define OSTREL_SUBR_FORMAT_H

#include <cstdarg>
#include <cstdio>
#include <string>

namespace ostrel_subr {

inline std::string vformat(const char *fmt, va_list ap) {
  va_list copy;
  va_copy(copy, ap);
  int needed = std::vsnprintf(nullptr, 0, fmt, copy);
  va_end(copy);
  if (needed < 0) return fmt;
  std::string out(static_cast<size_t>(needed), '\0');
  std::vsnprintf(out.data(), out.size() + 1, fmt, ap);
  return out;
}

}  // namespace ostrel_subr

#endif  // OSTREL_SUBR_FORMAT_H
