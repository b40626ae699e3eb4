// Counted strings, growable buffers and splitting of C strings.

#include "ostrel_string.h"

#include <apr_strings.h>

#include <cstring>

namespace {

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

}  // namespace

extern "C" {

ostrel_string *ostrel_string_ncreate(const char *bytes, apr_size_t size, apr_pool_t *pool) {
  auto *str = static_cast<ostrel_string *>(apr_palloc(pool, sizeof(ostrel_string)));
  char *data = static_cast<char *>(apr_palloc(pool, size + 1));
  if (size) std::memcpy(data, bytes, size);
  data[size] = '\0';
  str->data = data;
  str->len = size;
  return str;
}

ostrel_string *ostrel_string_create(const char *cstring, apr_pool_t *pool) {
  return ostrel_string_ncreate(cstring, std::strlen(cstring), pool);
}

ostrel_string *ostrel_string_create_from_buf(const ostrel_stringbuf *buf, apr_pool_t *pool) {
  return ostrel_string_ncreate(buf->data, buf->len, pool);
}

ostrel_string *ostrel_string_dup(const ostrel_string *original, apr_pool_t *pool) {
  return original ? ostrel_string_ncreate(original->data, original->len, pool) : nullptr;
}

bool ostrel_string_compare(const ostrel_string *a, const ostrel_string *b) {
  return a->len == b->len && (a->len == 0 || std::memcmp(a->data, b->data, a->len) == 0);
}

ostrel_stringbuf *ostrel_stringbuf_create_ensure(apr_size_t minimum_size, apr_pool_t *pool) {
  auto *buf = static_cast<ostrel_stringbuf *>(apr_palloc(pool, sizeof(ostrel_stringbuf)));
  buf->pool = pool;
  buf->blocksize = minimum_size + 1;
  buf->data = static_cast<char *>(apr_palloc(pool, buf->blocksize));
  buf->data[0] = '\0';
  buf->len = 0;
  return buf;
}

ostrel_stringbuf *ostrel_stringbuf_ncreate(const char *bytes, apr_size_t size, apr_pool_t *pool) {
  ostrel_stringbuf *buf = ostrel_stringbuf_create_ensure(size, pool);
  if (size) std::memcpy(buf->data, bytes, size);
  buf->data[size] = '\0';
  buf->len = size;
  return buf;
}

ostrel_stringbuf *ostrel_stringbuf_create(const char *cstring, apr_pool_t *pool) {
  return ostrel_stringbuf_ncreate(cstring, std::strlen(cstring), pool);
}

void ostrel_stringbuf_ensure(ostrel_stringbuf *buf, apr_size_t minimum_size) {
  if (minimum_size + 1 <= buf->blocksize) return;
  apr_size_t size = buf->blocksize ? buf->blocksize : 1;
  while (size < minimum_size + 1) size *= 2;
  char *data = static_cast<char *>(apr_palloc(buf->pool, size));
  std::memcpy(data, buf->data, buf->len + 1);
  buf->data = data;
  buf->blocksize = size;
}

void ostrel_stringbuf_appendbytes(ostrel_stringbuf *buf, const char *bytes, apr_size_t count) {
  if (count == 0) return;
  ostrel_stringbuf_ensure(buf, buf->len + count);
  std::memcpy(buf->data + buf->len, bytes, count);
  buf->len += count;
  buf->data[buf->len] = '\0';
}

void ostrel_stringbuf_appendcstr(ostrel_stringbuf *buf, const char *cstring) {
  ostrel_stringbuf_appendbytes(buf, cstring, std::strlen(cstring));
}

void ostrel_stringbuf_appendbyte(ostrel_stringbuf *buf, char byte) {
  ostrel_stringbuf_appendbytes(buf, &byte, 1);
}

void ostrel_stringbuf_setempty(ostrel_stringbuf *buf) {
  buf->len = 0;
  buf->data[0] = '\0';
}

void ostrel_cstring_split_append(apr_array_header_t *array, const char *input,
                                 const char *sep_chars, bool chop_whitespace, apr_pool_t *pool) {
  const char *p = input;
  while (*p) {
    p += std::strspn(p, sep_chars);
    if (!*p) break;
    apr_size_t len = std::strcspn(p, sep_chars);
    const char *start = p;
    const char *end = p + len;
    p = end;
    if (chop_whitespace) {
      while (start < end && is_space(*start)) ++start;
      while (end > start && is_space(end[-1])) --end;
    }
    if (start == end) continue;
    APR_ARRAY_PUSH(array, const char *) = apr_pstrmemdup(pool, start, end - start);
  }
}

apr_array_header_t *ostrel_cstring_split(const char *input, const char *sep_chars,
                                         bool chop_whitespace, apr_pool_t *pool) {
  apr_array_header_t *array = apr_array_make(pool, 5, sizeof(const char *));
  ostrel_cstring_split_append(array, input, sep_chars, chop_whitespace, pool);
  return array;
}

}  // extern "C"
