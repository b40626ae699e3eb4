// Console, encoding and path helpers of the server-side tools (see local_subr.h).

#include "local_subr.h"

#include <apr_general.h>
#include <apr_strings.h>
#include <iconv.h>
#include <langinfo.h>

#include <cerrno>
#include <clocale>
#include <cstring>
#include <string>
#include <vector>

int local_cmdline_init(const char *progname, FILE *error_stream) {
  if (!std::setlocale(LC_ALL, "")) {
    // An unusable locale setting is no reason to stop: fall back to "C".
    std::setlocale(LC_ALL, "C");
  }
  apr_status_t status = apr_initialize();
  if (status != APR_SUCCESS) {
    char buf[256];
    if (error_stream)
      std::fprintf(error_stream, "%s: error: cannot initialise APR: %s\n", progname,
                   apr_strerror(status, buf, sizeof buf));
    return 1;
  }
  std::atexit(apr_terminate);
  return 0;
}

ostrel_error *local_utf_cstring_to_utf8(const char **dest, const char *src, apr_pool_t *pool) {
  const char *codeset = nl_langinfo(CODESET);
  if (!codeset || !std::strcmp(codeset, "UTF-8") || !std::strcmp(codeset, "utf8")) {
    *dest = apr_pstrdup(pool, src);
    return nullptr;
  }
  iconv_t cd = iconv_open("UTF-8", codeset);
  if (cd == reinterpret_cast<iconv_t>(-1))
    return ostrel_error_from_errno(errno, "Can't convert from native encoding '%s' to UTF-8",
                                   codeset);
  size_t in_left = std::strlen(src);
  std::vector<char> outbuf(in_left * 4 + 1);
  char *in = const_cast<char *>(src);
  char *outp = outbuf.data();
  size_t out_left = outbuf.size() - 1;
  size_t rc = iconv(cd, &in, &in_left, &outp, &out_left);
  iconv_close(cd);
  if (rc == static_cast<size_t>(-1))
    return ostrel_error_createf(OSTREL_ERR_NATIVE_ENCODING, nullptr,
                                "Can't convert string from native encoding '%s' to UTF-8",
                                codeset);
  *dest = apr_pstrmemdup(pool, outbuf.data(), static_cast<apr_size_t>(outp - outbuf.data()));
  return nullptr;
}

const char *local_dirent_internal_style(const char *dirent, apr_pool_t *pool) {
  return apr_pstrdup(pool, dirent);  // '/' is already the native separator
}

const char *local_dirent_canonicalize(const char *dirent, apr_pool_t *pool) {
  std::string in(dirent), out;
  bool absolute = !in.empty() && in[0] == '/';
  size_t pos = 0;
  while (pos <= in.size()) {
    size_t slash = in.find('/', pos);
    if (slash == std::string::npos) slash = in.size();
    std::string seg = in.substr(pos, slash - pos);
    if (!seg.empty() && seg != ".") {
      if (!out.empty() || absolute) out += '/';
      out += seg;
    }
    pos = slash + 1;
  }
  if (out.empty() && absolute) out = "/";
  if (out.empty() && !in.empty() && !absolute) out = ".";
  return apr_pstrdup(pool, out.c_str());
}
