// URLs, relpaths and dirents, all held to the canonical form written at the
// top of ostrel_path.h.  Internally the work is done on std::string and the
// results are copied into the caller's pool.

#include "ostrel_path.h"

#include <apr_strings.h>

#include <cctype>
#include <cstring>
#include <strings.h>
#include <string>
#include <string_view>
#include <vector>

namespace {

const char *pooled(const std::string &s, apr_pool_t *pool) {
  return apr_pstrmemdup(pool, s.data(), s.size());
}

bool is_unreserved(unsigned char c) {
  return std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~';
}

// Bytes that may never stand raw in a URI.
bool must_escape(unsigned char c) {
  return c < 0x20 || c >= 0x7F || std::strchr(" \"<>\\^`{|}", c) != nullptr;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void append_escape(std::string &out, unsigned char c) {
  static const char kHex[] = "0123456789ABCDEF";
  out += '%';
  out += kHex[c >> 4];
  out += kHex[c & 15];
}

// True when S[I] starts a valid escape "%XX"; then *VALUE is its byte.
bool escape_at(std::string_view s, size_t i, unsigned char *value) {
  if (s[i] != '%' || i + 2 >= s.size()) return false;
  int hi = hex_value(s[i + 1]), lo = hex_value(s[i + 2]);
  if (hi < 0 || lo < 0) return false;
  *value = static_cast<unsigned char>(hi * 16 + lo);
  return true;
}

// One path segment of a URL in canonical spelling.
std::string canonical_segment(std::string_view seg) {
  std::string out;
  for (size_t i = 0; i < seg.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(seg[i]);
    unsigned char value;
    if (c == '%') {
      if (escape_at(seg, i, &value)) {
        if (is_unreserved(value))
          out += static_cast<char>(value);
        else
          append_escape(out, value);
        i += 2;
      } else {
        append_escape(out, '%');
      }
    } else if (must_escape(c)) {
      append_escape(out, c);
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::vector<std::string_view> split_segments(std::string_view path) {
  std::vector<std::string_view> segs;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    std::string_view seg = path.substr(start, end - start);
    if (!seg.empty() && seg != ".") segs.push_back(seg);
    start = end + 1;
  }
  return segs;
}

struct UrlParts {
  std::string_view prefix;  // scheme "://" authority
  std::string_view path;    // "" or starting with '/'
  bool is_file;
};

// Splits a URL (ostrel_path_is_url holds) at the start of its path.
UrlParts split_url(std::string_view url) {
  size_t scheme_end = url.find("://");
  size_t path_start = url.find('/', scheme_end + 3);
  if (path_start == std::string_view::npos) path_start = url.size();
  UrlParts parts;
  parts.prefix = url.substr(0, path_start);
  parts.path = url.substr(path_start);
  parts.is_file = scheme_end == 4 && strncasecmp(url.data(), "file", 4) == 0;
  return parts;
}

std::string canonical_url(std::string_view url) {
  size_t scheme_end = url.find("://");
  std::string out;
  for (size_t i = 0; i < scheme_end; ++i)
    out += static_cast<char>(std::tolower(static_cast<unsigned char>(url[i])));
  out += "://";
  UrlParts parts = split_url(url);
  std::string_view authority = parts.prefix.substr(scheme_end + 3);
  size_t at = authority.rfind('@');
  std::string_view userinfo = at == std::string_view::npos ? "" : authority.substr(0, at + 1);
  std::string_view hostport = at == std::string_view::npos ? authority : authority.substr(at + 1);
  // The port starts at the last ':' that is not inside an IPv6 literal.
  size_t colon = hostport.rfind(':');
  size_t bracket = hostport.rfind(']');
  if (colon != std::string_view::npos && bracket != std::string_view::npos && colon < bracket)
    colon = std::string_view::npos;
  std::string_view host = colon == std::string_view::npos ? hostport : hostport.substr(0, colon);
  std::string_view port = colon == std::string_view::npos ? "" : hostport.substr(colon);
  std::string lower_host;
  for (char c : host) lower_host += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (parts.is_file && userinfo.empty() && port.empty() && lower_host == "localhost")
    lower_host.clear();
  out += userinfo;
  out += lower_host;
  out += port;
  // Dot segments are resolved as in a relative reference: "." goes, ".."
  // takes the segment before it with it, and nothing climbs above the root
  // ("%2E" decodes to "." first).
  std::vector<std::string> segments;
  for (std::string_view seg : split_segments(parts.path)) {
    std::string canon = canonical_segment(seg);
    if (canon == ".") continue;
    if (canon == "..") {
      if (!segments.empty()) segments.pop_back();
      continue;
    }
    segments.push_back(std::move(canon));
  }
  for (const std::string &seg : segments) {
    out += '/';
    out += seg;
  }
  if (parts.is_file && segments.empty()) out += '/';
  return out;
}

std::string decoded(std::string_view s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    unsigned char value;
    if (escape_at(s, i, &value)) {
      out += static_cast<char>(value);
      i += 2;
    } else {
      out += s[i];
    }
  }
  return out;
}

// SEGS with every ".." resolved against the segment before it; a ".." with
// nothing before it is dropped, so the result never climbs above its root.
std::vector<std::string_view> resolve_dot_dot(const std::vector<std::string_view> &segs) {
  std::vector<std::string_view> out;
  for (std::string_view seg : segs) {
    if (seg != "..")
      out.push_back(seg);
    else if (!out.empty())
      out.pop_back();
  }
  return out;
}

std::string join_segments(const std::vector<std::string_view> &segs) {
  std::string out;
  for (std::string_view seg : segs) {
    if (!out.empty()) out += '/';
    out += seg;
  }
  return out;
}

// Length of the valid UTF-8 sequence at S[I] (shortest form, no surrogate,
// at most U+10FFFF), or 0 when none starts there; *CP is its code point.
size_t utf8_sequence(std::string_view s, size_t i, unsigned *cp) {
  unsigned char c = static_cast<unsigned char>(s[i]);
  size_t need;
  unsigned min;
  if (c < 0x80) {
    *cp = c;
    return 1;
  } else if (c >= 0xC2 && c <= 0xDF) {
    need = 1, min = 0x80, *cp = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    need = 2, min = 0x800, *cp = c & 0x0F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    need = 3, min = 0x10000, *cp = c & 0x07;
  } else {
    return 0;
  }
  if (s.size() - i <= need) return 0;
  for (size_t k = 1; k <= need; ++k) {
    unsigned char t = static_cast<unsigned char>(s[i + k]);
    if ((t & 0xC0) != 0x80) return 0;
    *cp = (*cp << 6) | (t & 0x3F);
  }
  if (*cp < min || *cp > 0x10FFFF || (*cp >= 0xD800 && *cp <= 0xDFFF)) return 0;
  return need + 1;
}

bool is_control(unsigned cp) { return cp < 0x20 || (cp >= 0x7F && cp <= 0x9F); }

// TEXT for an error message: control characters and the bytes of invalid
// sequences as \xHH, everything else as it is.
std::string shown(std::string_view text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (size_t i = 0; i < text.size();) {
    unsigned cp;
    size_t n = utf8_sequence(text, i, &cp);
    if (n && !is_control(cp)) {
      out.append(text.substr(i, n));
      i += n;
      continue;
    }
    for (size_t k = 0; k < (n ? n : 1); ++k) {
      unsigned char c = static_cast<unsigned char>(text[i + k]);
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
    i += n ? n : 1;
  }
  return out;
}

// Why NAME is no name inside a repository, or nullptr when it is one.
const char *name_fault(std::string_view name) {
  if (name.empty()) return "empty name";
  if (name == "." || name == "..") return "'.' and '..' are not names";
  for (size_t i = 0; i < name.size();) {
    const unsigned char c = static_cast<unsigned char>(name[i]);
    if (c >= 0x20 && c < 0x7F) {  // printable ASCII, the common case
      if (c == '/') return "'/' inside a name";
      ++i;
      continue;
    }
    unsigned cp;
    size_t n = utf8_sequence(name, i, &cp);
    if (!n) return "not valid UTF-8";
    if (is_control(cp)) return "control character";
    if (cp == '/') return "'/' inside a name";
    i += n;
  }
  return nullptr;
}

// Checks every '/'-separated segment of RELPATH; WHOLE is what the error
// names.
ostrel_error *check_segments(std::string_view relpath, std::string_view whole) {
  if (relpath.empty()) return OSTREL_NO_ERROR;
  size_t start = 0;
  while (true) {
    size_t end = relpath.find('/', start);
    std::string_view seg = relpath.substr(start, end == std::string_view::npos ? end : end - start);
    if (const char *fault = name_fault(seg))
      return ostrel_error_createf(OSTREL_ERR_BAD_PATH, nullptr, "Invalid path '%s': %s",
                                  shown(whole).c_str(), fault);
    if (end == std::string_view::npos) return OSTREL_NO_ERROR;
    start = end + 1;
  }
}

}  // namespace

extern "C" {

bool ostrel_path_is_url(const char *path) {
  if (!std::isalpha(static_cast<unsigned char>(path[0]))) return false;
  const char *p = path + 1;
  while (std::isalnum(static_cast<unsigned char>(*p)) || *p == '+' || *p == '.' || *p == '-') ++p;
  return std::strncmp(p, "://", 3) == 0;
}

const char *ostrel_path_uri_from_iri(const char *iri, apr_pool_t *pool) {
  std::string out;
  for (const char *p = iri; *p; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c >= 0x80)
      append_escape(out, c);
    else
      out += *p;
  }
  return pooled(out, pool);
}

const char *ostrel_path_uri_autoescape(const char *uri, apr_pool_t *pool) {
  std::string out;
  for (const char *p = uri; *p; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (must_escape(c))
      append_escape(out, c);
    else
      out += *p;
  }
  return pooled(out, pool);
}

const char *ostrel_path_uri_decode(const char *uri_part, apr_pool_t *pool) {
  return pooled(decoded(uri_part), pool);
}

const char *ostrel_path_uri_encode(const char *path, apr_pool_t *pool) {
  std::string out;
  for (const char *p = path; *p; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (is_unreserved(c) || c == '/' || std::strchr("!$&'()*+,;=:@", c))
      out += *p;
    else
      append_escape(out, c);
  }
  return pooled(out, pool);
}

const char *ostrel_uri_canonicalize(const char *uri, apr_pool_t *pool) {
  return pooled(canonical_url(uri), pool);
}

bool ostrel_uri_is_canonical(const char *uri, apr_pool_t * /*pool*/) {
  return ostrel_path_is_url(uri) && canonical_url(uri) == uri;
}

const char *ostrel_uri_dirname(const char *uri, apr_pool_t *pool) {
  std::string_view url(uri);
  UrlParts parts = split_url(url);
  size_t last = parts.path.rfind('/');
  if (parts.path.size() <= 1 || last == std::string_view::npos) return pooled(std::string(url), pool);
  std::string out(parts.prefix);
  out += parts.path.substr(0, last);
  if (parts.is_file && last == 0) out += '/';
  return pooled(out, pool);
}

const char *ostrel_uri_basename(const char *uri, apr_pool_t *pool) {
  UrlParts parts = split_url(uri);
  size_t last = parts.path.rfind('/');
  if (last == std::string_view::npos) return "";
  return pooled(decoded(parts.path.substr(last + 1)), pool);
}

const char *ostrel_uri_get_longest_ancestor(const char *uri1, const char *uri2, apr_pool_t *pool) {
  UrlParts a = split_url(uri1), b = split_url(uri2);
  if (a.prefix != b.prefix) return "";
  std::vector<std::string_view> sa = split_segments(a.path), sb = split_segments(b.path);
  std::string out(a.prefix);
  size_t n = 0;
  while (n < sa.size() && n < sb.size() && sa[n] == sb[n]) {
    out += '/';
    out += sa[n];
    ++n;
  }
  if (n == 0 && a.is_file) out += '/';
  return pooled(out, pool);
}

const char *ostrel_uri__is_child(const char *parent_uri, const char *child_uri, apr_pool_t *pool) {
  std::string_view parent(parent_uri), child(child_uri);
  if (child.size() <= parent.size() || child.substr(0, parent.size()) != parent) return nullptr;
  std::string_view rest = child.substr(parent.size());
  if (parent.back() != '/') {
    if (rest[0] != '/') return nullptr;
    rest.remove_prefix(1);
  }
  if (rest.empty()) return nullptr;
  return pooled(decoded(rest), pool);
}

const char *ostrel_uri_join_relpath(const char *url, const char *relpath, apr_pool_t *pool) {
  if (!*relpath) return url;
  std::string out(url);
  if (out.back() != '/') out += '/';
  out += ostrel_path_uri_encode(relpath, pool);
  return pooled(out, pool);
}

ostrel_error *ostrel_uri_get_dirent_from_file_url(const char **dirent, const char *url,
                                                  apr_pool_t *pool) {
  if (strncasecmp(url, "file://", 7) != 0)
    return ostrel_error_createf(OSTREL_ERR_RA_ILLEGAL_URL, nullptr,
                                "Local URL '%s' does not contain 'file://' prefix", url);
  std::string_view rest(url + 7);
  size_t slash = rest.find('/');
  std::string_view host = rest.substr(0, slash);
  if (!host.empty() && !(host.size() == 9 && strncasecmp(host.data(), "localhost", 9) == 0))
    return ostrel_error_createf(OSTREL_ERR_RA_ILLEGAL_URL, nullptr,
                                "Local URL '%s' names the host '%.*s'; only local paths can be "
                                "reached",
                                url, static_cast<int>(host.size()), host.data());
  std::string_view encoded = slash == std::string_view::npos ? "" : rest.substr(slash);

  // Every '%' must start a valid escape, and none may stand for a NUL byte:
  // a local path cannot hold one, and cutting the path there would name
  // another file.
  std::string decoded_path;
  for (size_t i = 0; i < encoded.size(); ++i) {
    unsigned char value = static_cast<unsigned char>(encoded[i]);
    if (value == '%') {
      if (!escape_at(encoded, i, &value) || value == 0)
        return ostrel_error_createf(OSTREL_ERR_RA_ILLEGAL_URL, nullptr,
                                    "URL '%s' holds a malformed percent-escape", url);
      i += 2;
    }
    decoded_path += static_cast<char>(value);
  }

  // Rebuild the path from its segments: empty and "." segments fall away,
  // ".." is refused (also when it was escaped), so the path cannot climb out
  // of the directory the URL names.
  std::string path;
  std::string_view segments(decoded_path);
  while (!segments.empty()) {
    size_t end = segments.find('/');
    std::string_view segment = segments.substr(0, end);
    segments = end == std::string_view::npos ? "" : segments.substr(end + 1);
    if (segment.empty() || segment == ".") continue;
    if (segment == "..")
      return ostrel_error_createf(OSTREL_ERR_RA_ILLEGAL_URL, nullptr,
                                  "URL '%s' contains a '..' segment", url);
    path += '/';
    path += segment;
  }
  if (path.empty()) path += '/';
  *dirent = pooled(path, pool);
  return OSTREL_NO_ERROR;
}

ostrel_error *ostrel_uri_get_file_url_from_dirent(const char **url, const char *dirent,
                                                  apr_pool_t *pool) {
  if (!ostrel_dirent_is_absolute(dirent))
    return ostrel_error_createf(OSTREL_ERR_BAD_PATH, nullptr,
                                "'%s' is not an absolute path", dirent);
  const char *canon = ostrel_dirent_canonicalize(dirent, pool);
  *url = ostrel_uri_canonicalize(
      apr_pstrcat(pool, "file://", ostrel_path_uri_encode(canon, pool), nullptr), pool);
  return OSTREL_NO_ERROR;
}

const char *ostrel_relpath_canonicalize(const char *relpath, apr_pool_t *pool) {
  return pooled(join_segments(resolve_dot_dot(split_segments(relpath))), pool);
}

bool ostrel_relpath_is_canonical(const char *relpath) {
  return join_segments(resolve_dot_dot(split_segments(relpath))) == relpath;
}

const char *ostrel_relpath_join(const char *base, const char *component, apr_pool_t *pool) {
  if (!*base) return apr_pstrdup(pool, component);
  if (!*component) return apr_pstrdup(pool, base);
  return apr_pstrcat(pool, base, "/", component, nullptr);
}

const char *ostrel_relpath_dirname(const char *relpath, apr_pool_t *pool) {
  const char *last = std::strrchr(relpath, '/');
  if (!last) return "";
  return apr_pstrmemdup(pool, relpath, static_cast<apr_size_t>(last - relpath));
}

const char *ostrel_dirent_canonicalize(const char *dirent, apr_pool_t *pool) {
  if (std::strcmp(dirent, "-") == 0) return apr_pstrdup(pool, dirent);
  std::string joined = join_segments(split_segments(dirent));
  if (dirent[0] == '/') joined = std::string("/").append(joined);
  return pooled(joined, pool);
}

const char *ostrel_dirent_internal_style(const char *dirent, apr_pool_t *pool) {
  return ostrel_dirent_canonicalize(dirent, pool);
}

bool ostrel_dirent_is_absolute(const char *dirent) { return dirent[0] == '/'; }

apr_array_header_t *ostrel_path_decompose(const char *path, apr_pool_t *pool) {
  apr_array_header_t *components = apr_array_make(pool, 4, sizeof(const char *));
  if (path[0] == '/') APR_ARRAY_PUSH(components, const char *) = "/";
  for (std::string_view seg : split_segments(path))
    APR_ARRAY_PUSH(components, const char *) = apr_pstrmemdup(pool, seg.data(), seg.size());
  return components;
}

ostrel_error *ostrel_path_check_name(const char *name, apr_size_t len) {
  std::string_view text(name, len);
  if (const char *fault = name_fault(text))
    return ostrel_error_createf(OSTREL_ERR_BAD_PATH, nullptr, "Invalid name '%s': %s",
                                shown(text).c_str(), fault);
  return OSTREL_NO_ERROR;
}

ostrel_error *ostrel_relpath_check(const char *relpath) {
  return check_segments(relpath, relpath);
}

ostrel_error *ostrel_fspath_check(const char *fspath) {
  std::string_view path(fspath);
  if (path == "/") return OSTREL_NO_ERROR;
  return check_segments(path.substr(!path.empty() && path[0] == '/' ? 1 : 0), path);
}

ostrel_error *ostrel_relpath_check_child(const char *parent, const char *child) {
  OSTREL_ERR(ostrel_relpath_check(child));
  std::string_view name(child), dir(parent);
  if (!dir.empty()) {
    if (name.size() <= dir.size() || name.substr(0, dir.size()) != dir || name[dir.size()] != '/')
      name = {};
    else
      name.remove_prefix(dir.size() + 1);
  }
  if (name.empty() || name.find('/') != std::string_view::npos)
    return ostrel_error_createf(OSTREL_ERR_BAD_PATH, nullptr,
                                "'%s' is not a child of the directory '%s'", child, parent);
  return OSTREL_NO_ERROR;
}

ostrel_error *ostrel_dirent_repos_relpath(const char **relpath, const char *root,
                                          const char *dirent) {
  std::string_view base(root), path(dirent);
  *relpath = nullptr;
  if (base != "/") {
    if (path.substr(0, base.size()) != base) return OSTREL_NO_ERROR;
    path.remove_prefix(base.size());
    if (!path.empty() && path[0] != '/') return OSTREL_NO_ERROR;
  } else if (path.empty() || path[0] != '/') {
    return OSTREL_NO_ERROR;
  }
  if (!path.empty()) path.remove_prefix(1);
  OSTREL_ERR(check_segments(path, dirent));
  *relpath = path.data();
  return OSTREL_NO_ERROR;
}

ostrel_error *ostrel_uri_check_names(const char *url) {
  std::string_view text(url);
  size_t scheme_end = text.find("://");
  if (scheme_end == std::string_view::npos)
    return ostrel_error_createf(OSTREL_ERR_BAD_URL, nullptr, "'%s' is not a URL", url);
  size_t start = text.find('/', scheme_end + 3);
  while (start != std::string_view::npos) {
    size_t end = text.find('/', start + 1);
    std::string_view seg =
        text.substr(start + 1, end == std::string_view::npos ? end : end - start - 1);
    start = end;
    if (seg.empty() || seg == ".") continue;
    std::string name = decoded(seg);
    if (const char *fault = name_fault(name))
      return ostrel_error_createf(OSTREL_ERR_BAD_PATH, nullptr,
                                  "Invalid name '%s' in URL '%s': %s", shown(name).c_str(),
                                  shown(url).c_str(), fault);
  }
  return OSTREL_NO_ERROR;
}

}  // extern "C"
