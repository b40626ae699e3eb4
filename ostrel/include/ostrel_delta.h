/* ostrel_delta.h: commit editing and text streams.  Conventions as in
 * ostrel_types.h.
 *
 * A commit editor is a table of sixteen operations through which a caller
 * describes one new revision as a depth-first walk: open the root, then for
 * each changed child delete, add or open it, send its text and properties,
 * close it; finish (commit) or cancel at the end.  Whoever provides the editor
 * checks every call against the repository and refuses calls that make no
 * sense there, or that come out of order, with a clear error.
 *
 * Text is sent as a sequence of windows to a window handler.  A window carries
 * the next chunk of the file's new text; a NULL window ends the text.  Texts
 * move window by window, so neither side ever holds a whole file.
 */
#ifndef OSTREL_DELTA_H
#define OSTREL_DELTA_H

#include "ostrel_error.h"
#include "ostrel_io.h"
#include "ostrel_string.h"
#include "ostrel_version.h"

#ifdef __cplusplus
extern "C" {
#endif

const ostrel_version *ostrel_delta_version(void);

/* ---- Text windows ------------------------------------------------------- */

/* One window of a file's new text: LEN bytes of DATA, which belong at byte
 * OFFSET of the new text.  Windows come in order without gaps (the first has
 * OFFSET 0, each next one starts where the previous one ended); a receiver
 * refuses a window that does not.  DATA is lent for the one handler call. */
typedef struct ostrel_txdelta_window {
  ostrel_filesize offset;
  const char *data;
  apr_size_t len;
} ostrel_txdelta_window;

/* Receives the windows of one text, then a NULL WINDOW that ends it.  After
 * an error the sender stops and makes no further call with this BATON. */
typedef ostrel_error *(*ostrel_txdelta_window_handler)(ostrel_txdelta_window *window, void *baton);

/* Size in bytes of the digest that ostrel_txdelta_send_stream computes
 * (SHA-256). */
#define OSTREL_TXDELTA_DIGEST_SIZE 32

/* Reads STREAM to its end and sends it to HANDLER as the whole new text, in
 * windows of at most OSTREL_STREAM_CHUNK_SIZE bytes, then a NULL window.
 * STREAM is closed afterwards (also on failure).  When DIGEST is not NULL it
 * receives the SHA-256 of the text (OSTREL_TXDELTA_DIGEST_SIZE bytes).  Memory
 * use is one window, whatever the size of the text.  The first error of the
 * stream or the handler is returned; the handler then gets no more calls. */
ostrel_error *ostrel_txdelta_send_stream(ostrel_stream *stream,
                                         ostrel_txdelta_window_handler handler,
                                         void *handler_baton, unsigned char *digest,
                                         apr_pool_t *pool);

/* ---- The commit editor -------------------------------------------------- */

/* The operations in slot order.  Every path is relative to the URL the editor
 * was obtained for ("" is that URL itself; a child's path is its whole path,
 * "a/b", not "b").  Batons and handlers returned through the trailing
 * parameters are outputs, allocated in the pool passed to that call, and stay
 * valid while that pool lives and until the node is closed.  A NULL copy URL
 * (with copy revision -1) adds a node without history; a NULL property value
 * deletes the property.
 *
 * Order: open_root_dir once, first; a child is added or opened through its
 * parent directory's baton while that directory is open; the walk is depth
 * first, so a directory takes no call while one of its children is open; a
 * node is closed after everything below it; apply_text_delta at most once per file, and its
 * window handler must see its ending NULL window before the file is closed;
 * finish_edit or cancel_edit last.  After finish_edit (successful or not) only
 * cancel_edit may be called; cancel_edit may be called at any time, and more
 * than once. */
typedef struct ostrel_commit_editor {
  /* 0: the revision the edit is meant to produce (not used by commits). */
  ostrel_error *(*set_target_rev)(void *edit_baton, ostrel_revnum target_revision,
                                  apr_pool_t *pool);
  /* 1: opens the root directory as of BASE_REVISION. */
  ostrel_error *(*open_root_dir)(void *edit_baton, ostrel_revnum base_revision,
                                 apr_pool_t *result_pool, void **root_baton);
  /* 2: deletes PATH, which must exist (REVISION: the revision the caller
   * believes it to be at, or -1). */
  ostrel_error *(*remove_entry)(const char *path, ostrel_revnum revision, void *parent_baton,
                                apr_pool_t *pool);
  /* 3: adds directory PATH, empty or as a copy of COPY_URL at COPY_REVISION. */
  ostrel_error *(*add_dir)(const char *path, void *parent_baton, const char *copy_url,
                           ostrel_revnum copy_revision, apr_pool_t *result_pool,
                           void **child_baton);
  /* 4: opens existing directory PATH. */
  ostrel_error *(*open_dir)(const char *path, void *parent_baton, ostrel_revnum base_revision,
                            apr_pool_t *result_pool, void **child_baton);
  /* 5: sets (VALUE not NULL) or deletes a property of an open directory. */
  ostrel_error *(*set_dir_prop)(void *dir_baton, const char *name, const ostrel_string *value,
                                apr_pool_t *pool);
  /* 6: closes a directory opened or added before. */
  ostrel_error *(*close_dir)(void *dir_baton, apr_pool_t *pool);
  /* 7: a directory the sender could not describe (not used by commits). */
  ostrel_error *(*mark_dir_absent)(const char *path, void *parent_baton, apr_pool_t *pool);
  /* 8: adds file PATH, empty or as a copy of COPY_URL at COPY_REVISION. */
  ostrel_error *(*add_file_node)(const char *path, void *parent_baton, const char *copy_url,
                                 ostrel_revnum copy_revision, apr_pool_t *result_pool,
                                 void **file_baton);
  /* 9: opens existing file PATH. */
  ostrel_error *(*open_file_node)(const char *path, void *parent_baton,
                                  ostrel_revnum base_revision, apr_pool_t *result_pool,
                                  void **file_baton);
  /* 10: returns the handler that takes the file's new text.  BASE_CHECKSUM,
   * when not NULL, is the SHA-256 (hex) the caller expects the old text to
   * have. */
  ostrel_error *(*apply_text_delta)(void *file_baton, const char *base_checksum,
                                    apr_pool_t *result_pool,
                                    ostrel_txdelta_window_handler *handler,
                                    void **handler_baton);
  /* 11: sets (VALUE not NULL) or deletes a property of an open file. */
  ostrel_error *(*set_file_prop)(void *file_baton, const char *name, const ostrel_string *value,
                                 apr_pool_t *pool);
  /* 12: closes a file.  TEXT_CHECKSUM, when not NULL, is the SHA-256 (hex)
   * the new text must have. */
  ostrel_error *(*close_file_node)(void *file_baton, const char *text_checksum, apr_pool_t *pool);
  /* 13: a file the sender could not describe (not used by commits). */
  ostrel_error *(*mark_file_absent)(const char *path, void *parent_baton, apr_pool_t *pool);
  /* 14: ends the edit: for a commit editor, makes the new revision. */
  ostrel_error *(*finish_edit)(void *edit_baton, apr_pool_t *pool);
  /* 15: abandons the edit; nothing of it remains. */
  ostrel_error *(*cancel_edit)(void *edit_baton, apr_pool_t *pool);
} ostrel_commit_editor;

#ifdef __cplusplus
}
#endif

#endif /* OSTREL_DELTA_H */
