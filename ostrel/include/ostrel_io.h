/* ostrel_io.h: generic streams, and files.
 *
 * A stream is a baton with read, write and close functions; contents move
 * through streams in bounded chunks, never whole.  A stream made from a file
 * either owns the file (closing the stream closes it) or does not ("disown").
 */
#ifndef OSTREL_IO_H
#define OSTREL_IO_H

#include <apr_file_io.h>

#include "ostrel_error.h"
#include "ostrel_string.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The chunk size the library uses when it copies stream contents. */
#define OSTREL_STREAM_CHUNK_SIZE 65536

typedef struct ostrel_stream ostrel_stream;

/* Reads up to *LEN bytes into BUFFER; sets *LEN to the number read.  Fewer
 * than asked (including 0) only at the end of the stream. */
typedef ostrel_error *(*ostrel_read_fn)(void *baton, char *buffer, apr_size_t *len);
/* Writes all *LEN bytes of DATA (or fails); *LEN is left as the count written. */
typedef ostrel_error *(*ostrel_write_fn)(void *baton, const char *data, apr_size_t *len);
typedef ostrel_error *(*ostrel_close_fn)(void *baton);
/* Lends the next bytes of the stream where they lie: sets *DATA to *LEN
 * bytes (0 only at the end of the stream) that stay valid until the next
 * read or lend from the stream, or its close.  BUFFER, of ROOM bytes (ROOM
 * > 0), is where bytes that do not lie ready are read; *LEN is at most ROOM
 * then. */
typedef ostrel_error *(*ostrel_lend_fn)(void *baton, char *buffer, apr_size_t room,
                                        const char **data, apr_size_t *len);

/* A stream with BATON and no functions yet: reads give end of stream, writes are
 * swallowed, close does nothing, until set below. */
ostrel_stream *ostrel_stream_create(void *baton, apr_pool_t *pool);
void ostrel_stream_set_read(ostrel_stream *stream, ostrel_read_fn read_fn);
void ostrel_stream_set_write(ostrel_stream *stream, ostrel_write_fn write_fn);
void ostrel_stream_set_close(ostrel_stream *stream, ostrel_close_fn close_fn);
/* For a stream whose bytes can be read in place; reads and lends may mix. */
void ostrel_stream_set_lend(ostrel_stream *stream, ostrel_lend_fn lend_fn);

/* Reads until *LEN bytes are read or the stream ends; *LEN is then the number
 * read (less than asked only at the end of the stream). */
ostrel_error *ostrel_stream_read_full(ostrel_stream *stream, char *buffer, apr_size_t *len);
/* The next bytes of STREAM as ostrel_lend_fn gives them: in place where the
 * stream can lend them, else read into BUFFER (up to ROOM bytes, ROOM > 0).
 * A reader that only passes the bytes on saves a copy of each.  *LEN is 0
 * only at the end of the stream. */
ostrel_error *ostrel_stream_lend(ostrel_stream *stream, char *buffer, apr_size_t room,
                                 const char **data, apr_size_t *len);
ostrel_error *ostrel_stream_write(ostrel_stream *stream, const char *data, apr_size_t *len);
/* Closes the stream once; a second close does nothing. */
ostrel_error *ostrel_stream_close(ostrel_stream *stream);

/* An empty stream: reads give end of stream, writes are swallowed. */
ostrel_stream *ostrel_stream_empty(apr_pool_t *pool);

/* A stream that reads the bytes of STR (which must outlive the stream). */
ostrel_stream *ostrel_stream_from_string(const ostrel_string *str, apr_pool_t *pool);

/* A stream that appends what is written to BUF. */
ostrel_stream *ostrel_stream_from_stringbuf(ostrel_stringbuf *buf, apr_pool_t *pool);

/* Copies FROM to TO in chunks of OSTREL_STREAM_CHUNK_SIZE (or in the pieces
 * FROM lends, when it can) until FROM ends, then closes both (also on
 * failure; the first error is returned). */
ostrel_error *ostrel_stream_copy(ostrel_stream *from, ostrel_stream *to, apr_pool_t *scratch_pool);

/* Files.  File names are UTF-8 (converted to the native encoding for the
 * system); errors name the file and carry the system's reason, for example
 * "Can't open file 'x': No such file or directory". */

/* Opens FNAME with apr_file_open's FLAG and PERM; the file is closed when
 * POOL is cleared or destroyed, or by apr_file_close. */
ostrel_error *ostrel_io_file_open(apr_file_t **new_file, const char *fname, apr_int32_t flag,
                                  apr_fileperms_t perm, apr_pool_t *pool);

/* Reads the whole of FILE, from its current position to its end, into a new
 * buffer in POOL.  The file is left open. */
ostrel_error *ostrel_stringbuf_from_aprfile(ostrel_stringbuf **result, apr_file_t *file,
                                            apr_pool_t *pool);

/* Reads the whole file FILENAME into a new buffer in POOL; "-" reads standard
 * input to its end.  The file is closed before return. */
ostrel_error *ostrel_stringbuf_from_file2(ostrel_stringbuf **result, const char *filename,
                                          apr_pool_t *pool);

/* A stream that reads from and writes to FILE.  Unless DISOWN, closing the
 * stream closes FILE.  Read and write failures are errors with the system's
 * reason. */
ostrel_stream *ostrel_stream_from_aprfile2(apr_file_t *file, bool disown, apr_pool_t *pool);

/* ---- Unique files ------------------------------------------------------- */

/* When a file made by ostrel_io_open_unique_file3 is removed from disk. */
typedef enum ostrel_io_file_del {
  ostrel_io_file_del_none = 0,            /* never: the caller removes it */
  ostrel_io_file_del_on_close = 1,        /* when the file is closed (or its pool goes) */
  ostrel_io_file_del_on_pool_cleanup = 2  /* when the result pool is cleared or destroyed */
} ostrel_io_file_del;

/* Creates and opens for reading and writing a new file with a unique name in
 * DIRPATH (NULL: the system's temporary directory), readable and writable by
 * its owner only, and returns it in *FILE (allocated in RESULT_POOL).  When
 * UNIQUE_PATH is not NULL it receives the file's path (in RESULT_POOL).  The
 * file is never one that existed before the call.  DELETE_WHEN says when it
 * is removed; with ostrel_io_file_del_on_close it is also removed when
 * RESULT_POOL goes before the file was closed.  On failure nothing is left on
 * disk and the error names the directory. */
ostrel_error *ostrel_io_open_unique_file3(apr_file_t **file, const char **unique_path,
                                          const char *dirpath, ostrel_io_file_del delete_when,
                                          apr_pool_t *result_pool, apr_pool_t *scratch_pool);

#ifdef __cplusplus
}
#endif

#endif /* OSTREL_IO_H */
