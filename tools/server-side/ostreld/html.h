// The one way the web view writes HTML and JSON: markup comes only from
// string literals of this program (markup() takes nothing else), and every
// other text (names, paths, messages, properties, authors) goes through an
// escaping call.  No page is built by concatenating unescaped text.
#ifndef OSTRELD_HTML_H
#define OSTRELD_HTML_H

#include <cstddef>
#include <string>
#include <string_view>

namespace ostreld {

class HtmlWriter {
 public:
  // Literal markup of this program: a string literal, never a runtime text.
  template <std::size_t N>
  HtmlWriter &markup(const char (&literal)[N]) {
    out_.append(literal, N - 1);
    return *this;
  }
  // One of two literals, as COND says.
  template <std::size_t N, std::size_t M>
  HtmlWriter &markup_if(bool cond, const char (&yes)[N], const char (&no)[M]) {
    return cond ? markup(yes) : markup(no);
  }
  // Text content or an attribute value (inside double quotes): & < > " '
  // are escaped, and bytes that are no valid UTF-8 become U+FFFD.
  HtmlWriter &text(std::string_view value);
  // A number as text.
  HtmlWriter &number(long long value);
  // A URL path inside an attribute: every byte but unreserved ones and '/'
  // is percent-escaped, so that no name can end the attribute or start a
  // scheme.
  HtmlWriter &path(std::string_view fs_path);
  std::string &str() { return out_; }

 private:
  std::string out_;
};

class JsonWriter {
 public:
  template <std::size_t N>
  JsonWriter &markup(const char (&literal)[N]) {
    out_.append(literal, N - 1);
    return *this;
  }
  // One of two literals, as COND says.
  template <std::size_t N, std::size_t M>
  JsonWriter &markup_if(bool cond, const char (&yes)[N], const char (&no)[M]) {
    return cond ? markup(yes) : markup(no);
  }
  // A JSON string with its quotes; control characters, '"', '\\', '<', '>'
  // and '&' are escaped, invalid UTF-8 becomes U+FFFD.
  JsonWriter &string(std::string_view value);
  // A string, or null for a null pointer.
  JsonWriter &string_or_null(const char *value);
  JsonWriter &number(long long value);
  std::string &str() { return out_; }

 private:
  std::string out_;
};

// The length of the valid UTF-8 sequence at TEXT[AT...], or 0 when the
// bytes there are none.
std::size_t utf8_sequence(std::string_view text, std::size_t at);

// Whether TEXT is valid UTF-8 without NUL bytes: shown as text, not as a
// binary download.  A sequence cut at the very end (a prefix of a longer
// text) counts as valid.
bool looks_like_text(std::string_view text);

}  // namespace ostreld

#endif  // OSTRELD_HTML_H
