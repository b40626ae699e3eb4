// Native encoding <-> UTF-8.  Every conversion goes through iconv from the
// locale's codeset, except that UTF-8 to UTF-8 is a validation only.  Invalid
// input is refused with an error that shows where it went wrong; no partial or
// "repaired" text is ever returned.

#include "ostrel_utf.h"

#include <apr_cstr.h>
#include <apr_strings.h>
#include <iconv.h>
#include <langinfo.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "utf_convert.h"

namespace ostrel_subr {

bool codeset_is_utf8(const char *codeset) {
  return apr_cstr_casecmp(codeset, "UTF-8") == 0 || apr_cstr_casecmp(codeset, "UTF8") == 0;
}

Conversion convert(const char *from, const char *to, const char *data, size_t len) {
  Conversion result;
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    result.status = Conversion::kUnknownEncoding;
    return result;
  }
  char *in = const_cast<char *>(data);
  size_t in_left = len;
  char chunk[4096];
  while (in_left > 0) {
    char *out = chunk;
    size_t out_left = sizeof chunk;
    size_t rc = iconv(cd, &in, &in_left, &out, &out_left);
    result.text.append(chunk, static_cast<size_t>(out - chunk));
    if (rc == static_cast<size_t>(-1)) {
      if (errno == E2BIG) continue;
      // EILSEQ: a bad byte; EINVAL: the text ends inside a sequence.  Either
      // way the input is not valid text in FROM.
      result.status = Conversion::kInvalid;
      result.bad_offset = static_cast<size_t>(in - data);
      break;
    }
  }
  if (result.status == Conversion::kOk) {
    // Flush any shift state (stateful encodings).
    char *out = chunk;
    size_t out_left = sizeof chunk;
    iconv(cd, nullptr, nullptr, &out, &out_left);
    result.text.append(chunk, static_cast<size_t>(out - chunk));
  }
  iconv_close(cd);
  return result;
}

// Shows up to a few bytes from OFFSET as \xNN escapes.
std::string escaped_bytes(const char *data, size_t len, size_t offset) {
  std::string out;
  for (size_t i = offset; i < len && i < offset + 4; ++i) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned char>(data[i]));
    out += hex;
  }
  return out;
}

// FROM names the source codeset; NATIVE tells whether it is the locale's.
ostrel_error *to_utf8(std::string &out, const char *data, size_t len, const char *from,
                      bool native = true) {
  std::string source = native ? std::string("the native encoding (") + from + ")"
                              : std::string("'") + from + "'";
  size_t bad = 0;
  if (codeset_is_utf8(from)) {
    if (!ostrel_utf__is_valid(data, len, &bad))
      return ostrel_error_createf(OSTREL_ERR_NATIVE_ENCODING, nullptr,
                                  "Can't convert text from %s to UTF-8: invalid bytes %s after "
                                  "'%s'",
                                  source.c_str(), escaped_bytes(data, len, bad).c_str(),
                                  std::string(data, bad).c_str());
    out.assign(data, len);
    return OSTREL_NO_ERROR;
  }
  Conversion conv = convert(from, "UTF-8", data, len);
  if (conv.status == Conversion::kUnknownEncoding)
    return ostrel_error_createf(OSTREL_ERR_UNKNOWN_ENCODING, nullptr,
                                "Can't convert text from %s to UTF-8: the system has no such "
                                "conversion",
                                source.c_str());
  if (conv.status == Conversion::kInvalid)
    return ostrel_error_createf(OSTREL_ERR_NATIVE_ENCODING, nullptr,
                                "Can't convert text from %s to UTF-8: invalid bytes %s after '%s'",
                                source.c_str(), escaped_bytes(data, len, conv.bad_offset).c_str(),
                                conv.text.c_str());
  out = std::move(conv.text);
  return OSTREL_NO_ERROR;
}

}  // namespace ostrel_subr

using namespace ostrel_subr;

extern "C" {

const char *ostrel_utf__native_codeset(void) {
  const char *codeset = nl_langinfo(CODESET);
  return (codeset && *codeset) ? codeset : "ANSI_X3.4-1968";
}

bool ostrel_utf__is_valid(const char *data, apr_size_t len, apr_size_t *bad_offset) {
  const auto *s = reinterpret_cast<const unsigned char *>(data);
  size_t i = 0;
  while (i < len) {
    unsigned char c = s[i];
    size_t need;
    unsigned int min, cp;
    if (c < 0x80) {
      ++i;
      continue;
    } else if (c >= 0xC2 && c <= 0xDF) {
      need = 1, min = 0x80, cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      need = 2, min = 0x800, cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      need = 3, min = 0x10000, cp = c & 0x07;
    } else {
      if (bad_offset) *bad_offset = i;
      return false;
    }
    bool ok = i + need < len;
    for (size_t k = 1; ok && k <= need; ++k) {
      if ((s[i + k] & 0xC0) != 0x80)
        ok = false;
      else
        cp = (cp << 6) | (s[i + k] & 0x3F);
    }
    if (ok && (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))) ok = false;
    if (!ok) {
      if (bad_offset) *bad_offset = i;
      return false;
    }
    i += need + 1;
  }
  return true;
}

ostrel_error *ostrel_utf_convert_to_utf8(ostrel_string **dest, const char *src, apr_size_t len,
                                         const char *from_codeset, apr_pool_t *pool) {
  std::string out;
  OSTREL_ERR(to_utf8(out, src, len, from_codeset, false));
  *dest = ostrel_string_ncreate(out.data(), out.size(), pool);
  return OSTREL_NO_ERROR;
}

ostrel_error *ostrel_utf_cstring_to_utf8(const char **dest, const char *src, apr_pool_t *pool) {
  std::string out;
  OSTREL_ERR(to_utf8(out, src, std::strlen(src), ostrel_utf__native_codeset()));
  *dest = apr_pstrmemdup(pool, out.data(), out.size());
  return OSTREL_NO_ERROR;
}

ostrel_error *ostrel_utf_stringbuf_to_utf8(ostrel_stringbuf **dest, const ostrel_stringbuf *src,
                                           apr_pool_t *pool) {
  std::string out;
  OSTREL_ERR(to_utf8(out, src->data, src->len, ostrel_utf__native_codeset()));
  *dest = ostrel_stringbuf_ncreate(out.data(), out.size(), pool);
  return OSTREL_NO_ERROR;
}

ostrel_error *ostrel_utf_string_to_utf8(const ostrel_string **dest, const ostrel_string *src,
                                        apr_pool_t *pool) {
  std::string out;
  OSTREL_ERR(to_utf8(out, src->data, src->len, ostrel_utf__native_codeset()));
  *dest = ostrel_string_ncreate(out.data(), out.size(), pool);
  return OSTREL_NO_ERROR;
}

ostrel_error *ostrel_utf_cstring_from_utf8(const char **dest, const char *src, apr_pool_t *pool) {
  size_t len = std::strlen(src);
  size_t bad = 0;
  if (!ostrel_utf__is_valid(src, len, &bad))
    return ostrel_error_createf(OSTREL_ERR_INVALID_UTF8, nullptr,
                                "Can't convert text from UTF-8 to the native encoding: invalid "
                                "bytes %s after '%s'",
                                escaped_bytes(src, len, bad).c_str(), std::string(src, bad).c_str());
  const char *native = ostrel_utf__native_codeset();
  if (codeset_is_utf8(native)) {
    *dest = apr_pstrmemdup(pool, src, len);
    return OSTREL_NO_ERROR;
  }
  Conversion conv = convert("UTF-8", native, src, len);
  if (conv.status == Conversion::kUnknownEncoding)
    return ostrel_error_createf(OSTREL_ERR_UNKNOWN_ENCODING, nullptr,
                                "Can't convert text from UTF-8 to the native encoding (%s): the system has no "
                                "such conversion",
                                native);
  if (conv.status == Conversion::kInvalid)
    return ostrel_error_createf(OSTREL_ERR_NATIVE_ENCODING, nullptr,
                                "Can't convert text from UTF-8 to the native encoding (%s): a character at "
                                "offset %zu has no representation there",
                                native, conv.bad_offset);
  *dest = apr_pstrmemdup(pool, conv.text.data(), conv.text.size());
  return OSTREL_NO_ERROR;
}

}  // extern "C"
