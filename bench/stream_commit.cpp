// Benchmark driver: commits the contents of one local file as a new file of a
// fresh repository, through a file:// session and the commit editor, the way
// a put of the commit tool does.  bench/stream_commit.sh measures it.
//
// Usage: stream_commit REPOSITORY-DIR SOURCE-FILE

#include <apr_file_io.h>

#include <cstdio>
#include <string>

#include "ostrel_delta.h"
#include "ostrel_pools.h"
#include "ostrel_ra.h"
#include "ostrel_repos.h"

namespace {

ostrel_error *read_file(void *baton, char *buffer, apr_size_t *len) {
  apr_status_t status = apr_file_read(static_cast<apr_file_t *>(baton), buffer, len);
  if (status == APR_EOF) {
    *len = 0;
    return OSTREL_NO_ERROR;
  }
  return status == APR_SUCCESS ? OSTREL_NO_ERROR : ostrel_error_wrap_apr(status, "Can't read");
}

ostrel_error *run(const char *repo_dir, const char *source, apr_pool_t *pool) {
  ostrel_repos *repos;
  OSTREL_ERR(ostrel_repos_create(&repos, repo_dir, nullptr, pool));

  ostrel_ra_callbacks *callbacks;
  OSTREL_ERR(ostrel_ra_create_callbacks(&callbacks, pool));
  ostrel_ra_session *session;
  std::string url = std::string("file://") + repo_dir;
  OSTREL_ERR(ostrel_ra_open4(&session, nullptr, url.c_str(), nullptr, callbacks, nullptr, nullptr,
                             pool));
  const ostrel_commit_editor *editor;
  void *edit_baton, *root, *file;
  OSTREL_ERR(ostrel_ra_get_commit_editor3(session, &editor, &edit_baton, nullptr, nullptr, nullptr,
                                          nullptr, false, pool));
  OSTREL_ERR(editor->open_root_dir(edit_baton, 0, pool, &root));
  OSTREL_ERR(editor->add_file_node("big", root, nullptr, -1, pool, &file));
  ostrel_txdelta_window_handler handler;
  void *handler_baton;
  OSTREL_ERR(editor->apply_text_delta(file, nullptr, pool, &handler, &handler_baton));

  apr_file_t *in;
  apr_status_t status = apr_file_open(&in, source, APR_FOPEN_READ, APR_FPROT_OS_DEFAULT, pool);
  if (status) return ostrel_error_wrap_apr(status, "Can't open '%s'", source);
  ostrel_stream *stream = ostrel_stream_create(in, pool);
  ostrel_stream_set_read(stream, read_file);
  OSTREL_ERR(ostrel_txdelta_send_stream(stream, handler, handler_baton, nullptr, pool));
  OSTREL_ERR(editor->close_file_node(file, nullptr, pool));
  return editor->finish_edit(edit_baton, pool);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 3) {
    std::fputs("usage: stream_commit REPOSITORY-DIR SOURCE-FILE\n", stderr);
    return 2;
  }
  apr_pool_t *pool = ostrel_pool_create(nullptr);
  ostrel_error *err = run(argv[1], argv[2], pool);
  if (err) {
    ostrel_handle_error2(err, stderr, false, "stream_commit: ");
    ostrel_error_clear(err);
  }
  apr_pool_destroy(pool);
  return err ? 1 : 0;
}
