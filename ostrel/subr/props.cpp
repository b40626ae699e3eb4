// Property names and the normal form of property values.

#include <algorithm>
#include <cstring>
#include <string>

#include "ostrel_props.h"
#include "ostrel_utf.h"

extern "C" {

apr_array_header_t *ostrel_prop_sorted_names(apr_hash_t *props, apr_pool_t *result_pool) {
  apr_array_header_t *names =
      apr_array_make(result_pool, static_cast<int>(apr_hash_count(props)), sizeof(const char *));
  for (apr_hash_index_t *hi = apr_hash_first(result_pool, props); hi; hi = apr_hash_next(hi))
    APR_ARRAY_PUSH(names, const char *) = static_cast<const char *>(apr_hash_this_key(hi));
  auto **first = reinterpret_cast<const char **>(names->elts);
  std::sort(first, first + names->nelts,
            [](const char *a, const char *b) { return std::strcmp(a, b) < 0; });
  return names;
}

bool ostrel_prop_needs_translation(const char *name) {
  return std::strncmp(name, OSTREL_PROP_PREFIX, sizeof(OSTREL_PROP_PREFIX) - 1) == 0;
}

ostrel_error *ostrel_subst_translate_string2(ostrel_string **new_value, bool *translated_to_utf8,
                                             bool *translated_line_endings,
                                             const ostrel_string *value, const char *encoding,
                                             bool repair, apr_pool_t *result_pool,
                                             apr_pool_t *scratch_pool) {
  std::string text(value->data, value->len);
  bool converted = false;
  if (encoding) {
    ostrel_string *utf8 = nullptr;
    OSTREL_ERR(ostrel_utf_convert_to_utf8(&utf8, value->data, value->len, encoding, scratch_pool));
    converted = utf8->len != value->len || std::memcmp(utf8->data, value->data, value->len) != 0;
    text.assign(utf8->data, utf8->len);
  }
  apr_size_t bad = 0;
  while (!ostrel_utf__is_valid(text.data(), text.size(), &bad)) {
    if (!repair)
      return ostrel_error_createf(OSTREL_ERR_INVALID_UTF8, nullptr,
                                  "Property value is not valid UTF-8 (byte 0x%02X at offset %zu)",
                                  static_cast<unsigned char>(text[bad]), static_cast<size_t>(bad));
    text[bad] = '?';
  }
  std::string normal;
  normal.reserve(text.size());
  bool line_ends = false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r') {
      normal += '\n';
      line_ends = true;
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      normal += text[i];
    }
  }
  *new_value = ostrel_string_ncreate(normal.data(), normal.size(), result_pool);
  if (translated_to_utf8) *translated_to_utf8 = converted;
  if (translated_line_endings) *translated_line_endings = line_ends;
  return OSTREL_NO_ERROR;
}

}  // extern "C"
