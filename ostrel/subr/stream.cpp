// Generic streams: a baton with read, write and close functions.

#include "ostrel_io.h"

#include <cstring>
#include <memory>

struct ostrel_stream {
  void *baton;
  ostrel_read_fn read_fn;
  ostrel_write_fn write_fn;
  ostrel_close_fn close_fn;
  ostrel_lend_fn lend_fn;
  bool closed;
};

namespace {

struct StringReader {
  const ostrel_string *str;
  apr_size_t offset;
};

ostrel_error *read_string(void *baton, char *buffer, apr_size_t *len) {
  auto *reader = static_cast<StringReader *>(baton);
  apr_size_t left = reader->str->len - reader->offset;
  if (*len > left) *len = left;
  if (*len) std::memcpy(buffer, reader->str->data + reader->offset, *len);
  reader->offset += *len;
  return OSTREL_NO_ERROR;
}

ostrel_error *write_stringbuf(void *baton, const char *data, apr_size_t *len) {
  ostrel_stringbuf_appendbytes(static_cast<ostrel_stringbuf *>(baton), data, *len);
  return OSTREL_NO_ERROR;
}

}  // namespace

extern "C" {

ostrel_stream *ostrel_stream_create(void *baton, apr_pool_t *pool) {
  auto *stream = static_cast<ostrel_stream *>(apr_pcalloc(pool, sizeof(ostrel_stream)));
  stream->baton = baton;
  return stream;
}

void ostrel_stream_set_read(ostrel_stream *stream, ostrel_read_fn read_fn) {
  stream->read_fn = read_fn;
}
void ostrel_stream_set_write(ostrel_stream *stream, ostrel_write_fn write_fn) {
  stream->write_fn = write_fn;
}
void ostrel_stream_set_close(ostrel_stream *stream, ostrel_close_fn close_fn) {
  stream->close_fn = close_fn;
}
void ostrel_stream_set_lend(ostrel_stream *stream, ostrel_lend_fn lend_fn) {
  stream->lend_fn = lend_fn;
}

ostrel_error *ostrel_stream_read_full(ostrel_stream *stream, char *buffer, apr_size_t *len) {
  if (!stream->read_fn) {
    *len = 0;
    return OSTREL_NO_ERROR;
  }
  apr_size_t wanted = *len;
  apr_size_t total = 0;
  while (total < wanted) {
    apr_size_t chunk = wanted - total;
    OSTREL_ERR(stream->read_fn(stream->baton, buffer + total, &chunk));
    if (chunk == 0) break;
    total += chunk;
  }
  *len = total;
  return OSTREL_NO_ERROR;
}

ostrel_error *ostrel_stream_lend(ostrel_stream *stream, char *buffer, apr_size_t room,
                                 const char **data, apr_size_t *len) {
  if (stream->lend_fn) return stream->lend_fn(stream->baton, buffer, room, data, len);
  *data = buffer;
  *len = room;
  return ostrel_stream_read_full(stream, buffer, len);
}

ostrel_error *ostrel_stream_write(ostrel_stream *stream, const char *data, apr_size_t *len) {
  if (!stream->write_fn || *len == 0) return OSTREL_NO_ERROR;
  return stream->write_fn(stream->baton, data, len);
}

ostrel_error *ostrel_stream_close(ostrel_stream *stream) {
  if (stream->closed) return OSTREL_NO_ERROR;
  stream->closed = true;
  return stream->close_fn ? stream->close_fn(stream->baton) : OSTREL_NO_ERROR;
}

ostrel_stream *ostrel_stream_empty(apr_pool_t *pool) { return ostrel_stream_create(nullptr, pool); }

ostrel_stream *ostrel_stream_from_string(const ostrel_string *str, apr_pool_t *pool) {
  auto *reader = static_cast<StringReader *>(apr_palloc(pool, sizeof(StringReader)));
  reader->str = str;
  reader->offset = 0;
  ostrel_stream *stream = ostrel_stream_create(reader, pool);
  ostrel_stream_set_read(stream, read_string);
  return stream;
}

ostrel_stream *ostrel_stream_from_stringbuf(ostrel_stringbuf *buf, apr_pool_t *pool) {
  ostrel_stream *stream = ostrel_stream_create(buf, pool);
  ostrel_stream_set_write(stream, write_stringbuf);
  return stream;
}

ostrel_error *ostrel_stream_copy(ostrel_stream *from, ostrel_stream *to, apr_pool_t * /*scratch_pool*/) {
  std::unique_ptr<char[]> buffer(new char[OSTREL_STREAM_CHUNK_SIZE]);
  ostrel_error *err = OSTREL_NO_ERROR;
  for (;;) {
    const char *data = nullptr;
    apr_size_t len = 0;
    err = ostrel_stream_lend(from, buffer.get(), OSTREL_STREAM_CHUNK_SIZE, &data, &len);
    if (err || len == 0) break;
    err = ostrel_stream_write(to, data, &len);
    if (err) break;
    // A source that cannot lend read all it had when it read short; one
    // that lends may hand out short pieces before its end.
    if (!from->lend_fn && len < OSTREL_STREAM_CHUNK_SIZE) break;
  }
  ostrel_error *close_from = ostrel_stream_close(from);
  ostrel_error *close_to = ostrel_stream_close(to);
  err = ostrel_error_compose_create(err, close_from);
  return ostrel_error_compose_create(err, close_to);
}

}  // extern "C"
