// Range headers and query numbers: see http_input.h.

#include "http_input.h"

#include <cstring>

namespace ostreld {

namespace {

// Reads the digits at TEXT[*AT...] into *VALUE; false when there are none or
// the number does not fit.
bool digits(std::string_view text, std::size_t *at, std::uint64_t *value) {
  std::size_t start = *at;
  std::uint64_t v = 0;
  while (*at < text.size() && text[*at] >= '0' && text[*at] <= '9') {
    unsigned d = static_cast<unsigned>(text[*at] - '0');
    if (v > (UINT64_MAX - d) / 10) return false;
    v = v * 10 + d;
    ++*at;
  }
  *value = v;
  return *at > start;
}

}  // namespace

RangeResult parse_range(const char *header, std::uint64_t size, std::uint64_t *first,
                        std::uint64_t *last) {
  if (!header) return RangeResult::whole;
  std::string_view text(header);
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  if (text.substr(0, 6) != "bytes=") return RangeResult::whole;
  text.remove_prefix(6);
  if (text.find(',') != std::string_view::npos) return RangeResult::whole;
  std::size_t at = 0;
  std::uint64_t a = 0, b = 0;
  if (!text.empty() && text[0] == '-') {  // the last N bytes
    at = 1;
    if (!digits(text, &at, &b) || at != text.size()) return RangeResult::whole;
    if (b == 0 || size == 0) return RangeResult::unsatisfiable;
    *first = b >= size ? 0 : size - b;
    *last = size - 1;
    return RangeResult::partial;
  }
  if (!digits(text, &at, &a) || at >= text.size() || text[at] != '-') return RangeResult::whole;
  ++at;
  if (at == text.size()) {
    b = UINT64_MAX;
  } else if (!digits(text, &at, &b) || at != text.size() || b < a) {
    return RangeResult::whole;
  }
  if (a >= size) return RangeResult::unsatisfiable;
  *first = a;
  *last = b >= size ? size - 1 : b;
  return RangeResult::partial;
}

bool parse_query_number(const char *text, long long min, long long max, long long *value) {
  if (!text || !*text) return false;
  std::string_view t(text);
  bool negative = t[0] == '-';
  if (negative) t.remove_prefix(1);
  if (t.empty() || t.size() > 18) return false;
  long long v = 0;
  for (char c : t) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  if (negative) v = -v;
  if (v < min || v > max) return false;
  *value = v;
  return true;
}

}  // namespace ostreld
