// iconv conversion shared by utf.cpp and cmdline.cpp (not public API).
#ifndef OSTREL_SUBR_UTF_CONVERT_H
#define OSTREL_SUBR_UTF_CONVERT_H

#include <cstddef>
#include <string>

namespace ostrel_subr {

struct Conversion {
  enum Status { kOk, kInvalid, kUnknownEncoding } status = kOk;
  std::string text;       // what was converted (up to the failure)
  size_t bad_offset = 0;  // kInvalid: offset in the input of the first bad byte
};

// Converts LEN bytes at DATA from codeset FROM to codeset TO (iconv names).
Conversion convert(const char *from, const char *to, const char *data, size_t len);

bool codeset_is_utf8(const char *codeset);

}  // namespace ostrel_subr

#endif  // OSTREL_SUBR_UTF_CONVERT_H
