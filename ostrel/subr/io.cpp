// Files: opening with errors that name the file, reading whole files, and
// streams over APR file handles.

#include "ostrel_io.h"

#include <apr_strings.h>

#include "ostrel_utf.h"

namespace {

struct FileBaton {
  apr_file_t *file;
  bool disown;
  // The end of the file was seen: a reader asking again (to make sure a
  // short read was the end) gets nothing without another system call.
  bool at_end;
};

const char *file_name(apr_file_t *file, apr_pool_t *pool) {
  const char *name = nullptr;
  if (apr_file_name_get(&name, file) != APR_SUCCESS || !name) return "(stream)";
  const char *utf8 = nullptr;
  if (ostrel_error *err = ostrel_utf_cstring_to_utf8(&utf8, name, pool)) {
    ostrel_error_clear(err);
    return apr_pstrdup(pool, name);
  }
  return utf8;
}

ostrel_error *read_file(void *baton, char *buffer, apr_size_t *len) {
  auto *fb = static_cast<FileBaton *>(baton);
  apr_size_t total = 0;
  while (total < *len && !fb->at_end) {
    apr_size_t chunk = *len - total;
    apr_status_t status = apr_file_read(fb->file, buffer + total, &chunk);
    total += chunk;
    if (status == APR_EOF) {
      fb->at_end = true;
      break;
    }
    if (status != APR_SUCCESS) {
      apr_pool_t *pool = apr_file_pool_get(fb->file);
      return ostrel_error_wrap_apr(status, "Can't read file '%s'", file_name(fb->file, pool));
    }
  }
  *len = total;
  return OSTREL_NO_ERROR;
}

ostrel_error *write_file(void *baton, const char *data, apr_size_t *len) {
  auto *fb = static_cast<FileBaton *>(baton);
  apr_status_t status = apr_file_write_full(fb->file, data, *len, len);
  if (status != APR_SUCCESS) {
    apr_pool_t *pool = apr_file_pool_get(fb->file);
    return ostrel_error_wrap_apr(status, "Can't write file '%s'", file_name(fb->file, pool));
  }
  return OSTREL_NO_ERROR;
}

ostrel_error *close_file(void *baton) {
  auto *fb = static_cast<FileBaton *>(baton);
  if (fb->disown) return OSTREL_NO_ERROR;
  // The name is wanted only for the error; a closed file still knows it (the
  // handle lives in its pool until that goes).
  apr_status_t status = apr_file_close(fb->file);
  if (status != APR_SUCCESS)
    return ostrel_error_wrap_apr(status, "Can't close file '%s'",
                                 file_name(fb->file, apr_file_pool_get(fb->file)));
  return OSTREL_NO_ERROR;
}

}  // namespace

extern "C" {

ostrel_error *ostrel_io_file_open(apr_file_t **new_file, const char *fname, apr_int32_t flag,
                                  apr_fileperms_t perm, apr_pool_t *pool) {
  const char *native = nullptr;
  OSTREL_ERR(ostrel_utf_cstring_from_utf8(&native, fname, pool));
  apr_file_t *file = nullptr;
  apr_status_t status = apr_file_open(&file, native, flag, perm, pool);
  if (status != APR_SUCCESS) return ostrel_error_wrap_apr(status, "Can't open file '%s'", fname);
  *new_file = file;
  return OSTREL_NO_ERROR;
}

ostrel_error *ostrel_stringbuf_from_aprfile(ostrel_stringbuf **result, apr_file_t *file,
                                            apr_pool_t *pool) {
  ostrel_stringbuf *buf = ostrel_stringbuf_create_ensure(OSTREL_STREAM_CHUNK_SIZE, pool);
  FileBaton fb = {file, true, false};
  char chunk[OSTREL_STREAM_CHUNK_SIZE];
  for (;;) {
    apr_size_t len = sizeof chunk;
    OSTREL_ERR(read_file(&fb, chunk, &len));
    ostrel_stringbuf_appendbytes(buf, chunk, len);
    if (len < sizeof chunk) break;
  }
  *result = buf;
  return OSTREL_NO_ERROR;
}

ostrel_error *ostrel_stringbuf_from_file2(ostrel_stringbuf **result, const char *filename,
                                          apr_pool_t *pool) {
  apr_file_t *file = nullptr;
  if (filename[0] == '-' && filename[1] == '\0') {
    apr_status_t status = apr_file_open_stdin(&file, pool);
    if (status != APR_SUCCESS) return ostrel_error_wrap_apr(status, "Can't open stdin");
    return ostrel_stringbuf_from_aprfile(result, file, pool);
  }
  OSTREL_ERR(ostrel_io_file_open(&file, filename, APR_READ, APR_OS_DEFAULT, pool));
  ostrel_error *err = ostrel_stringbuf_from_aprfile(result, file, pool);
  apr_status_t status = apr_file_close(file);
  if (!err && status != APR_SUCCESS)
    err = ostrel_error_wrap_apr(status, "Can't close file '%s'", filename);
  return err;
}

ostrel_stream *ostrel_stream_from_aprfile2(apr_file_t *file, bool disown, apr_pool_t *pool) {
  auto *fb = static_cast<FileBaton *>(apr_palloc(pool, sizeof(FileBaton)));
  fb->file = file;
  fb->disown = disown;
  fb->at_end = false;
  ostrel_stream *stream = ostrel_stream_create(fb, pool);
  ostrel_stream_set_read(stream, read_file);
  ostrel_stream_set_write(stream, write_file);
  ostrel_stream_set_close(stream, close_file);
  return stream;
}

}  // extern "C"
