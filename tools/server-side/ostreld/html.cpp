// Escaping for the web view: see html.h.

#include "html.h"

#include <cstdio>

namespace ostreld {

std::size_t utf8_sequence(std::string_view text, std::size_t at) {
  auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  unsigned char c = byte(at);
  if (c < 0x80) return 1;
  std::size_t len = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
  if (!len || at + len > text.size()) return 0;
  for (std::size_t i = 1; i < len; i++)
    if ((byte(at + i) & 0xC0) != 0x80) return 0;
  unsigned char d = byte(at + 1);
  if ((c == 0xE0 && d < 0xA0) || (c == 0xED && d > 0x9F) || (c == 0xF0 && d < 0x90) ||
      (c == 0xF4 && d > 0x8F))
    return 0;
  return len;
}

bool looks_like_text(std::string_view text) {
  for (std::size_t at = 0; at < text.size();) {
    if (text[at] == '\0') return false;
    std::size_t len = utf8_sequence(text, at);
    if (!len) {
      // Only a character cut off by the end of TEXT is forgiven.
      unsigned char c = static_cast<unsigned char>(text[at]);
      std::size_t want = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
      if (!want || at + want <= text.size()) return false;
      for (std::size_t i = at + 1; i < text.size(); i++)
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) return false;
      return true;
    }
    at += len;
  }
  return true;
}

HtmlWriter &HtmlWriter::text(std::string_view value) {
  for (std::size_t at = 0; at < value.size();) {
    std::size_t len = utf8_sequence(value, at);
    if (!len) {
      out_ += "\xEF\xBF\xBD";
      at++;
      continue;
    }
    char c = value[at];
    switch (c) {
      case '&': out_ += "&amp;"; break;
      case '<': out_ += "&lt;"; break;
      case '>': out_ += "&gt;"; break;
      case '"': out_ += "&quot;"; break;
      case '\'': out_ += "&#39;"; break;
      default: out_.append(value.data() + at, len);
    }
    at += len;
  }
  return *this;
}

HtmlWriter &HtmlWriter::number(long long value) {
  out_ += std::to_string(value);
  return *this;
}

HtmlWriter &HtmlWriter::path(std::string_view fs_path) {
  static const char hex[] = "0123456789ABCDEF";
  for (unsigned char c : fs_path) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
        c == '_' || c == '.' || c == '~' || c == '/') {
      out_ += static_cast<char>(c);
    } else {
      out_ += '%';
      out_ += hex[c >> 4];
      out_ += hex[c & 15];
    }
  }
  return *this;
}

JsonWriter &JsonWriter::string(std::string_view value) {
  out_ += '"';
  for (std::size_t at = 0; at < value.size();) {
    std::size_t len = utf8_sequence(value, at);
    if (!len) {
      out_ += "\\ufffd";
      at++;
      continue;
    }
    unsigned char c = static_cast<unsigned char>(value[at]);
    if (c < 0x20 || c == '"' || c == '\\' || c == '<' || c == '>' || c == '&') {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out_ += buf;
    } else {
      out_.append(value.data() + at, len);
    }
    at += len;
  }
  out_ += '"';
  return *this;
}

JsonWriter &JsonWriter::string_or_null(const char *value) {
  if (!value) {
    out_ += "null";
    return *this;
  }
  return string(value);
}

JsonWriter &JsonWriter::number(long long value) {
  out_ += std::to_string(value);
  return *this;
}

}  // namespace ostreld
