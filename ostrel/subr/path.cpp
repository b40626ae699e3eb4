// URLs, relpaths and dirents, all held to the canonical form written at the
// top of ostrel_path.h.
//
// Most text that reaches these functions is already in the form they return:
// ASCII URLs and paths with nothing to escape, no dot segment and no doubled
// slash.  For those each public function takes a short road that only scans
// the input and copies it (or a prefix of it) into the caller's pool.  All
// other text goes the general road, the functions of path_reference.h, which
// are the reference for what every function returns; the short roads are
// held to them by path_test.cpp and the path fuzz target.  Byte classes are
// ASCII-only, so no result depends on the locale.

#include "ostrel_path.h"

#include <apr_cstr.h>
#include <apr_strings.h>

#include <array>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "path_reference.h"

namespace {

const char *pooled(std::string_view s, apr_pool_t *pool) {
  return apr_pstrmemdup(pool, s.data(), s.size());
}

enum ByteClass : unsigned char {
  kAlnum = 1,       // [A-Za-z0-9]
  kUnreserved = 2,  // alnum and "-._~"
  kMustEscape = 4,  // may never stand raw in a URI
  kPlainPath = 8,   // stands in a canonical URL path segment as it is
  kPlainHost = 16,  // stands in a canonical authority as it is
  kSchemeTail = 32  // [a-z0-9+.-], a canonical scheme after its first letter
};

constexpr std::array<unsigned char, 256> make_byte_classes() {
  std::array<unsigned char, 256> t{};
  for (int c = 0; c < 256; ++c) {
    bool lower = c >= 'a' && c <= 'z', upper = c >= 'A' && c <= 'Z', digit = c >= '0' && c <= '9';
    bool alnum = lower || upper || digit;
    bool unreserved = alnum || c == '-' || c == '.' || c == '_' || c == '~';
    bool must_escape = c < 0x20 || c >= 0x7F;
    for (const char *p = " \"<>\\^`{|}"; *p; ++p) must_escape = must_escape || c == *p;
    unsigned char v = 0;
    if (alnum) v |= kAlnum;
    if (unreserved) v |= kUnreserved;
    if (must_escape) v |= kMustEscape;
    if (!must_escape && c != '%' && c != '/') v |= kPlainPath;
    if (lower || digit || c == '.' || c == '-' || c == '_' || c == ':') v |= kPlainHost;
    if (lower || digit || c == '+' || c == '.' || c == '-') v |= kSchemeTail;
    t[static_cast<size_t>(c)] = v;
  }
  return t;
}

constexpr std::array<unsigned char, 256> kByteClasses = make_byte_classes();

bool has_class(unsigned char c, ByteClass cls) { return (kByteClasses[c] & cls) != 0; }
bool has_class(char c, ByteClass cls) { return has_class(static_cast<unsigned char>(c), cls); }

bool is_unreserved(unsigned char c) { return has_class(c, kUnreserved); }

bool must_escape(unsigned char c) { return has_class(c, kMustEscape); }

bool ascii_alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

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

// Appends the path segment SEG of a URL to OUT in canonical spelling.
void append_canonical_segment(std::string &out, std::string_view seg) {
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

// Where the first "://" of TEXT starts, or npos: TEXT.find("://"), looking
// only at the ':'s.
size_t scheme_end_of(std::string_view text) {
  for (size_t i = text.find(':'); i != std::string_view::npos; i = text.find(':', i + 1))
    if (text.size() - i >= 3 && text[i + 1] == '/' && text[i + 2] == '/') return i;
  return std::string_view::npos;
}

// Splits a URL (ostrel_path_is_url holds) at the start of its path.
UrlParts split_url(std::string_view url) {
  size_t scheme_end = scheme_end_of(url);
  size_t path_start = url.find('/', scheme_end + 3);
  if (path_start == std::string_view::npos) path_start = url.size();
  UrlParts parts;
  parts.prefix = url.substr(0, path_start);
  parts.path = url.substr(path_start);
  parts.is_file = scheme_end == 4 && ascii_lower(url[0]) == 'f' && ascii_lower(url[1]) == 'i' &&
                  ascii_lower(url[2]) == 'l' && ascii_lower(url[3]) == 'e';
  return parts;
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

// ---- Short roads ----------------------------------------------------------
//
// Each predicate below is true only for text that the general road returns
// unchanged (or, for the longest ancestor, as a prefix of its first input),
// or, for the name checks, in which it finds no fault.

// URL starts with a lower-case scheme ([a-z][a-z0-9+.-]*) and "://"; then
// *AFTER is where its authority starts and *IS_FILE tells a file:// URL.
bool plain_scheme(std::string_view url, size_t *after, bool *is_file) {
  if (url.empty() || url[0] < 'a' || url[0] > 'z') return false;
  size_t i = 1;
  while (i < url.size() && has_class(url[i], kSchemeTail)) ++i;
  if (url.size() - i < 3 || url.compare(i, 3, "://") != 0) return false;
  *is_file = i == 4 && url.compare(0, 4, "file") == 0;
  *after = i + 3;
  return true;
}

// True when the URL URL is canonical in the plainest way: lower-case scheme
// and authority of ASCII letters, digits, ".-_:" (no user, no IPv6 literal,
// no host for file://), path segments of bytes that need no escape, no '%',
// no empty, "." or ".." segment, no trailing '/' (save file:///).
bool plainly_canonical_url(std::string_view url) {
  size_t i;
  bool is_file;
  if (!plain_scheme(url, &i, &is_file)) return false;
  const size_t authority = i, n = url.size();
  while (i < n && url[i] != '/') {
    if (!has_class(url[i], kPlainHost)) return false;
    ++i;
  }
  if (is_file) {
    if (i != authority || i == n) return false;  // a host to drop, or "file://"
    if (i + 1 == n) return true;                   // "file:///"
  }
  while (i < n) {  // url[i] == '/'
    const size_t start = ++i;
    while (i < n && url[i] != '/') {
      if (!has_class(url[i], kPlainPath)) return false;
      ++i;
    }
    const size_t len = i - start;
    if (len == 0) return false;
    if (url[start] == '.' && (len == 1 || (len == 2 && url[start + 1] == '.'))) return false;
  }
  return true;
}

bool has_no_byte_of(std::string_view text, ByteClass cls) {
  for (char c : text)
    if (has_class(c, cls)) return false;
  return true;
}

bool has_no_high_byte(std::string_view text) {
  for (char c : text)
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  return true;
}

// True when the dirent DIRENT has no empty or "." segment and no trailing
// '/' (save "/" itself): canonical as it stands.
bool plainly_canonical_dirent(std::string_view dirent) {
  if (dirent.empty() || dirent == "/" || dirent == "-") return true;
  size_t i = dirent[0] == '/' ? 1 : 0;
  for (;;) {
    size_t end = dirent.find('/', i);
    std::string_view seg = dirent.substr(i, end == std::string_view::npos ? end : end - i);
    if (seg.empty() || seg == ".") return false;
    if (end == std::string_view::npos) return true;
    i = end + 1;
  }
}

// True when the URL path PATH ("" or starting with '/') splits into
// segments that are all non-empty and not ".": no doubled '/', no "."
// segment, no trailing '/' ("/" itself has no segment).
bool plain_segments(std::string_view path) {
  if (path.size() <= 1) return true;
  for (size_t i = 0; i < path.size(); ++i) {
    if (path[i] != '/') continue;
    const size_t next = i + 1;
    if (next == path.size() || path[next] == '/') return false;
    if (path[next] == '.' && (next + 1 == path.size() || path[next + 1] == '/')) return false;
  }
  return true;
}

// True when every segment of the URL path PATH passes the name check as it
// stands: bytes that need no escape and no '%' (so nothing to decode), and no
// ".." segment.
bool plain_names(std::string_view path) {
  for (size_t i = 0; i < path.size(); ++i) {
    const char c = path[i];
    if (c != '/') {
      if (!has_class(c, kPlainPath)) return false;
    } else if (path.compare(i + 1, 2, "..") == 0 && (i + 3 == path.size() || path[i + 3] == '/')) {
      return false;
    }
  }
  return true;
}

// True when RELPATH passes the name check as it stands: printable ASCII
// only, and no empty, "." or ".." segment.
bool plain_relpath(std::string_view relpath) {
  size_t start = 0;
  for (size_t i = 0; i <= relpath.size(); ++i) {
    if (i == relpath.size() || relpath[i] == '/') {
      if (relpath.empty()) return true;
      const size_t len = i - start;
      if (len == 0 || (len <= 2 && relpath[start] == '.' && (len == 1 || relpath[start + 1] == '.')))
        return false;
      start = i + 1;
      continue;
    }
    const unsigned char c = static_cast<unsigned char>(relpath[i]);
    if (c < 0x20 || c >= 0x7F) return false;
  }
  return true;
}

}  // namespace

namespace ostrel_path_reference {

std::string uri_from_iri(std::string_view iri) {
  std::string out;
  out.reserve(iri.size() + 8);
  for (char ch : iri) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (c >= 0x80)
      append_escape(out, c);
    else
      out += ch;
  }
  return out;
}

std::string uri_autoescape(std::string_view uri) {
  std::string out;
  out.reserve(uri.size() + 8);
  for (char ch : uri) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (must_escape(c))
      append_escape(out, c);
    else
      out += ch;
  }
  return out;
}

std::string uri_canonicalize(std::string_view url) {
  size_t scheme_end = scheme_end_of(url);
  // Text without a "scheme://" is no URL and has nothing to canonicalise.
  if (scheme_end == std::string_view::npos) return std::string(url);
  std::string out;
  out.reserve(url.size() + 8);
  for (size_t i = 0; i < scheme_end; ++i) out += ascii_lower(url[i]);
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
  out += userinfo;
  const size_t host_start = out.size();
  for (char c : host) out += ascii_lower(c);
  if (parts.is_file && userinfo.empty() && port.empty() &&
      std::string_view(out).substr(host_start) == "localhost")
    out.resize(host_start);
  out += port;
  // Dot segments are resolved as in a relative reference: "." goes, ".."
  // takes the segment before it with it, and nothing climbs above the root
  // ("%2E" decodes to "." first).  Each segment is spelt straight into OUT;
  // KEPT holds where the kept ones start, so ".." can cut the last one off.
  std::vector<size_t> kept;
  for (std::string_view seg : split_segments(parts.path)) {
    const size_t start = out.size();
    out += '/';
    append_canonical_segment(out, seg);
    std::string_view canon = std::string_view(out).substr(start + 1);
    if (canon == "." || canon == "..") {
      out.resize(start);
      if (canon.size() == 2 && !kept.empty()) {
        out.resize(kept.back());
        kept.pop_back();
      }
      continue;
    }
    kept.push_back(start);
  }
  if (parts.is_file && kept.empty()) out += '/';
  return out;
}

std::string uri_dirname(std::string_view url) {
  UrlParts parts = split_url(url);
  size_t last = parts.path.rfind('/');
  if (parts.path.size() <= 1 || last == std::string_view::npos) return std::string(url);
  std::string out(parts.prefix);
  out += parts.path.substr(0, last);
  if (parts.is_file && last == 0) out += '/';
  return out;
}

std::string uri_get_longest_ancestor(std::string_view uri1, std::string_view uri2) {
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
  return out;
}

std::optional<std::string> uri_is_child(std::string_view parent, std::string_view child) {
  if (parent.empty() || child.size() <= parent.size() || child.substr(0, parent.size()) != parent)
    return std::nullopt;
  std::string_view rest = child.substr(parent.size());
  if (parent.back() != '/') {
    if (rest[0] != '/') return std::nullopt;
    rest.remove_prefix(1);
  }
  if (rest.empty()) return std::nullopt;
  return decoded(rest);
}

std::string dirent_canonicalize(std::string_view dirent) {
  if (dirent == "-") return std::string(dirent);
  std::string joined = join_segments(split_segments(dirent));
  if (!dirent.empty() && dirent[0] == '/') joined.insert(0, 1, '/');
  return joined;
}

ostrel_error *uri_check_names(const char *url) {
  std::string_view text(url);
  size_t scheme_end = scheme_end_of(text);
  if (scheme_end == std::string_view::npos)
    return ostrel_error_createf(OSTREL_ERR_BAD_URL, nullptr, "'%s' is not a URL", url);
  size_t start = text.find('/', scheme_end + 3);
  while (start != std::string_view::npos) {
    size_t end = text.find('/', start + 1);
    std::string_view seg =
        text.substr(start + 1, end == std::string_view::npos ? end : end - start - 1);
    start = end;
    if (seg.empty() || seg == ".") continue;
    // Only a segment with an escape needs a decoded copy.
    std::string name;
    if (seg.find('%') != std::string_view::npos) {
      name = decoded(seg);
      seg = name;
    }
    if (const char *fault = name_fault(seg))
      return ostrel_error_createf(OSTREL_ERR_BAD_PATH, nullptr,
                                  "Invalid name '%s' in URL '%s': %s", shown(seg).c_str(),
                                  shown(url).c_str(), fault);
  }
  return OSTREL_NO_ERROR;
}

// Checks every '/'-separated segment of RELPATH; WHOLE is what the error
// names.
ostrel_error *path_check_segments(std::string_view relpath, std::string_view whole) {
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

}  // namespace ostrel_path_reference

namespace ref = ostrel_path_reference;

namespace {

ostrel_error *check_segments(std::string_view relpath, std::string_view whole) {
  if (plain_relpath(relpath)) return OSTREL_NO_ERROR;
  return ref::path_check_segments(relpath, whole);
}

}  // namespace

extern "C" {

bool ostrel_path_is_url(const char *path) {
  if (!ascii_alpha(path[0])) return false;
  const char *p = path + 1;
  while (has_class(*p, kAlnum) || *p == '+' || *p == '.' || *p == '-') ++p;
  return std::strncmp(p, "://", 3) == 0;
}

const char *ostrel_path_uri_from_iri(const char *iri, apr_pool_t *pool) {
  std::string_view text(iri);
  if (has_no_high_byte(text)) return pooled(text, pool);
  return pooled(ref::uri_from_iri(text), pool);
}

const char *ostrel_path_uri_autoescape(const char *uri, apr_pool_t *pool) {
  std::string_view text(uri);
  if (has_no_byte_of(text, kMustEscape)) return pooled(text, pool);
  return pooled(ref::uri_autoescape(text), pool);
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
  std::string_view url(uri);
  if (plainly_canonical_url(url)) return pooled(url, pool);
  return pooled(ref::uri_canonicalize(url), pool);
}

bool ostrel_uri_is_canonical(const char *uri, apr_pool_t * /*pool*/) {
  if (plainly_canonical_url(uri)) return true;
  return ostrel_path_is_url(uri) && ref::uri_canonicalize(uri) == uri;
}

const char *ostrel_uri_dirname(const char *uri, apr_pool_t *pool) {
  // The parent is always a prefix of URI: the path up to its last '/', or up
  // to and with the first '/' for a file:// root.
  std::string_view url(uri);
  UrlParts parts = split_url(url);
  size_t last = parts.path.rfind('/');
  if (parts.path.size() <= 1 || last == std::string_view::npos) return pooled(url, pool);
  return pooled(url.substr(0, parts.prefix.size() + (parts.is_file && last == 0 ? 1 : last)),
                pool);
}

const char *ostrel_uri_basename(const char *uri, apr_pool_t *pool) {
  UrlParts parts = split_url(uri);
  size_t last = parts.path.rfind('/');
  if (last == std::string_view::npos) return "";
  return pooled(decoded(parts.path.substr(last + 1)), pool);
}

const char *ostrel_uri_get_longest_ancestor(const char *uri1, const char *uri2, apr_pool_t *pool) {
  std::string_view url1(uri1), url2(uri2);
  UrlParts a = split_url(url1), b = split_url(url2);
  if (a.prefix != b.prefix) return "";
  // While both paths hold plain segments, the ancestor is URI1 up to the end
  // of the last whole segment the two paths share.
  if (plain_segments(a.path) && plain_segments(b.path)) {
    std::string_view pa = a.path == "/" ? "" : a.path, pb = b.path == "/" ? "" : b.path;
    size_t same = 0;
    while (same < pa.size() && same < pb.size() && pa[same] == pb[same]) ++same;
    const bool at_boundary = (same == pa.size() || pa[same] == '/') &&
                             (same == pb.size() || pb[same] == '/');
    const size_t shared_end = at_boundary || same == 0 ? same : pa.rfind('/', same - 1);
    if (shared_end > 0) return pooled(url1.substr(0, a.prefix.size() + shared_end), pool);
    if (!a.is_file) return pooled(a.prefix, pool);
    if (!a.path.empty()) return pooled(url1.substr(0, a.prefix.size() + 1), pool);
  }
  return pooled(ref::uri_get_longest_ancestor(url1, url2), pool);
}

const char *ostrel_uri__is_child(const char *parent_uri, const char *child_uri, apr_pool_t *pool) {
  std::string_view parent(parent_uri), child(child_uri);
  // The empty text is no URL, and nothing is its child.
  if (parent.empty() || child.size() <= parent.size() ||
      child.compare(0, parent.size(), parent) != 0)
    return nullptr;
  std::string_view rest = child.substr(parent.size());
  if (parent.back() != '/') {
    if (rest[0] != '/') return nullptr;
    rest.remove_prefix(1);
  }
  if (rest.empty()) return nullptr;
  // Nothing to decode without a '%'.
  if (rest.find('%') == std::string_view::npos) return pooled(rest, pool);
  return pooled(*ref::uri_is_child(parent, child), pool);
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
  if (apr_cstr_casecmpn(url, "file://", 7) != 0)
    return ostrel_error_createf(OSTREL_ERR_RA_ILLEGAL_URL, nullptr,
                                "Local URL '%s' does not contain 'file://' prefix", url);
  std::string_view rest(url + 7);
  size_t slash = rest.find('/');
  std::string_view host = rest.substr(0, slash);
  if (!host.empty() && !(host.size() == 9 && apr_cstr_casecmpn(host.data(), "localhost", 9) == 0))
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
  const size_t base_len = std::strlen(base), component_len = std::strlen(component);
  if (!base_len) return pooled({component, component_len}, pool);
  if (!component_len) return pooled({base, base_len}, pool);
  auto *out = static_cast<char *>(apr_palloc(pool, base_len + 1 + component_len + 1));
  std::memcpy(out, base, base_len);
  out[base_len] = '/';
  std::memcpy(out + base_len + 1, component, component_len + 1);
  return out;
}

const char *ostrel_relpath_dirname(const char *relpath, apr_pool_t *pool) {
  const char *last = std::strrchr(relpath, '/');
  if (!last) return "";
  return apr_pstrmemdup(pool, relpath, static_cast<apr_size_t>(last - relpath));
}

const char *ostrel_dirent_canonicalize(const char *dirent, apr_pool_t *pool) {
  std::string_view text(dirent);
  if (plainly_canonical_dirent(text)) return pooled(text, pool);
  return pooled(ref::dirent_canonicalize(text), pool);
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
  if (size_t scheme_end = scheme_end_of(text); scheme_end != std::string_view::npos) {
    size_t start = text.find('/', scheme_end + 3);
    if (plain_names(start == std::string_view::npos ? std::string_view() : text.substr(start)))
      return OSTREL_NO_ERROR;
  }
  return ref::uri_check_names(url);
}

}  // extern "C"
