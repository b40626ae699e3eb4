// Console start-up and output, and command-line configuration options.

#include "ostrel_cmdline.h"

#include <apr_general.h>
#include <apr_strings.h>

#include <cerrno>
#include <clocale>
#include <cstring>
#include <string>

#include "format.h"
#include "ostrel_pools.h"
#include "ostrel_utf.h"
#include "utf_convert.h"

namespace {

// Decodes the (valid) UTF-8 sequence at S and returns its code point and
// length.
unsigned int decode_one(const unsigned char *s, size_t *seq_len) {
  if (s[0] < 0x80) return *seq_len = 1, s[0];
  if (s[0] < 0xE0) return *seq_len = 2, ((s[0] & 0x1Fu) << 6) | (s[1] & 0x3Fu);
  if (s[0] < 0xF0)
    return *seq_len = 3, ((s[0] & 0x0Fu) << 12) | ((s[1] & 0x3Fu) << 6) | (s[2] & 0x3Fu);
  return *seq_len = 4, ((s[0] & 0x07u) << 18) | ((s[1] & 0x3Fu) << 12) | ((s[2] & 0x3Fu) << 6) |
                           (s[3] & 0x3Fu);
}

// UTF-8 TEXT in the native encoding, with every character the native encoding
// lacks shown as "?\uXXXX".
std::string to_console(const std::string &text, const char *native) {
  if (ostrel_subr::codeset_is_utf8(native)) return text;
  std::string out;
  size_t pos = 0;
  while (pos < text.size()) {
    ostrel_subr::Conversion conv =
        ostrel_subr::convert("UTF-8", native, text.data() + pos, text.size() - pos);
    out += conv.text;
    if (conv.status == ostrel_subr::Conversion::kOk) break;
    if (conv.status == ostrel_subr::Conversion::kUnknownEncoding) {
      // No converter at all: show every non-ASCII character escaped.
      conv.bad_offset = 0;
      for (; pos < text.size() && static_cast<unsigned char>(text[pos]) < 0x80; ++pos)
        out += text[pos];
      if (pos >= text.size()) break;
    } else {
      pos += conv.bad_offset;
    }
    size_t seq_len = 1;
    unsigned int cp = decode_one(reinterpret_cast<const unsigned char *>(text.data() + pos), &seq_len);
    char escape[16];
    std::snprintf(escape, sizeof escape, "?\\u%04X", cp);
    out += escape;
    pos += seq_len;
  }
  return out;
}

// TEXT with every byte that starts no valid UTF-8 sequence shown as "?\XNN".
std::string valid_utf8(const std::string &text) {
  std::string out;
  size_t pos = 0;
  apr_size_t bad = 0;
  while (!ostrel_utf__is_valid(text.data() + pos, text.size() - pos, &bad)) {
    out.append(text, pos, bad);
    char escape[8];
    std::snprintf(escape, sizeof escape, "?\\X%02X", static_cast<unsigned char>(text[pos + bad]));
    out += escape;
    pos += bad + 1;
  }
  out.append(text, pos, std::string::npos);
  return out;
}

ostrel_error *write_text(const std::string &text, FILE *stream) {
  std::string native = to_console(valid_utf8(text), ostrel_utf__native_codeset());
  errno = 0;
  if (std::fwrite(native.data(), 1, native.size(), stream) != native.size() ||
      std::fflush(stream) != 0 || std::ferror(stream)) {
    int saved = errno ? errno : EIO;
    std::clearerr(stream);
    return ostrel_error_from_errno(saved, "Write error");
  }
  return OSTREL_NO_ERROR;
}

}  // namespace

extern "C" {

int ostrel_cmdline_init(const char *progname, FILE *error_stream) {
  ostrel_cmdline_prefer_large_pages();
  if (apr_initialize() != APR_SUCCESS) {
    if (error_stream) std::fprintf(error_stream, "%s: error: cannot initialize APR\n", progname);
    return 1;
  }
  std::atexit(apr_terminate);
  if (!std::setlocale(LC_ALL, "")) {
    if (error_stream) {
      const char *env = nullptr;
      for (const char *name : {"LC_ALL", "LC_CTYPE", "LANG"})
        if ((env = std::getenv(name)) && *env) break;
      std::fprintf(error_stream,
                   "%s: warning: cannot set the locale '%s' from the environment; "
                   "using the \"C\" locale\n",
                   progname, env ? env : "");
    }
    std::setlocale(LC_ALL, "C");
  }
  return 0;
}

ostrel_error *ostrel_cmdline_fputs(const char *string, FILE *stream, apr_pool_t * /*pool*/) {
  return write_text(string, stream);
}

ostrel_error *ostrel_cmdline_printf(apr_pool_t * /*pool*/, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::string text = ostrel_subr::vformat(fmt, ap);
  va_end(ap);
  return write_text(text, stdout);
}

ostrel_error *ostrel_cmdline_fprintf(FILE *stream, apr_pool_t * /*pool*/, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::string text = ostrel_subr::vformat(fmt, ap);
  va_end(ap);
  return write_text(text, stream);
}

ostrel_error *ostrel_cmdline__parse_config_option(apr_array_header_t *config_options,
                                                  const char *opt_arg, apr_pool_t *pool) {
  const char *first_colon = std::strchr(opt_arg, ':');
  const char *second_colon = first_colon ? std::strchr(first_colon + 1, ':') : nullptr;
  const char *equals = second_colon ? std::strchr(second_colon + 1, '=') : nullptr;
  // OPTION is what lies between the second ':' and the first '=' after it; a
  // ':' there would make the split ambiguous.
  bool ok = first_colon && second_colon && equals && first_colon > opt_arg &&
            second_colon > first_colon + 1 && equals > second_colon + 1 &&
            std::memchr(second_colon + 1, ':', static_cast<size_t>(equals - second_colon - 1)) ==
                nullptr;
  if (!ok)
    return ostrel_error_createf(OSTREL_ERR_BAD_CONFIG_OPTION, nullptr,
                                "Invalid syntax of argument of --config-option: '%s' "
                                "(expected FILE:SECTION:OPTION=[VALUE])",
                                opt_arg);
  auto *arg = static_cast<ostrel_cmdline__config_argument *>(
      apr_palloc(pool, sizeof(ostrel_cmdline__config_argument)));
  arg->file = apr_pstrmemdup(pool, opt_arg, static_cast<apr_size_t>(first_colon - opt_arg));
  arg->section = apr_pstrmemdup(pool, first_colon + 1,
                                static_cast<apr_size_t>(second_colon - first_colon - 1));
  arg->option =
      apr_pstrmemdup(pool, second_colon + 1, static_cast<apr_size_t>(equals - second_colon - 1));
  arg->value = apr_pstrdup(pool, equals + 1);
  APR_ARRAY_PUSH(config_options, ostrel_cmdline__config_argument *) = arg;
  return OSTREL_NO_ERROR;
}

}  // extern "C"

ostrel_error *ostrel_cmdline_access_option(ostrel_cmdline_access_options *options, int code,
                                           const char *arg, int *handled, apr_pool_t *pool) {
  *handled = 1;
  switch (code) {
    case 'u':
      options->username = apr_pstrdup(pool, arg);
      return OSTREL_NO_ERROR;
    case 'p':
      options->password = apr_pstrdup(pool, arg);
      return OSTREL_NO_ERROR;
    case 'n':
      options->non_interactive = 1;
      return OSTREL_NO_ERROR;
    case OSTREL_CMDLINE_OPT_CONFIG_DIR:
      return ostrel_utf_cstring_to_utf8(&options->config_dir, arg, pool);
    case OSTREL_CMDLINE_OPT_CONFIG_OPTION: {
      if (!options->config_options)
        options->config_options =
            apr_array_make(pool, 1, sizeof(ostrel_cmdline__config_argument *));
      const char *text = nullptr;
      OSTREL_ERR(ostrel_utf_cstring_to_utf8(&text, arg, pool));
      return ostrel_cmdline__parse_config_option(options->config_options, text, pool);
    }
    case OSTREL_CMDLINE_OPT_NO_AUTH_CACHE:
      options->no_auth_cache = 1;
      return OSTREL_NO_ERROR;
    default:
      *handled = 0;
      return OSTREL_NO_ERROR;
  }
}
