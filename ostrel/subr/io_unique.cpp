// Files with unique names, and when they are removed again.

#include <apr_file_info.h>
#include <apr_strings.h>

#include "ostrel_io.h"

namespace {

struct RemoveOnCleanup {
  const char *path;
};

apr_status_t remove_file_cleanup(void *data) {
  // The file may already be gone (removed by hand, or closed with its own
  // removal); neither is a fault of this cleanup.
  apr_pool_t *scratch = nullptr;
  if (apr_pool_create(&scratch, nullptr) == APR_SUCCESS) {
    apr_file_remove(static_cast<RemoveOnCleanup *>(data)->path, scratch);
    apr_pool_destroy(scratch);
  }
  return APR_SUCCESS;
}

}  // namespace

extern "C" ostrel_error *ostrel_io_open_unique_file3(apr_file_t **file, const char **unique_path,
                                                     const char *dirpath,
                                                     ostrel_io_file_del delete_when,
                                                     apr_pool_t *result_pool,
                                                     apr_pool_t *scratch_pool) {
  if (!dirpath) {
    apr_status_t status = apr_temp_dir_get(&dirpath, scratch_pool);
    if (status != APR_SUCCESS)
      return ostrel_error_wrap_apr(status, "Can't find a temporary directory");
  }

  // mkstemp underneath: created exclusively (never an existing file) and
  // readable and writable by the owner only.
  char *name_template = apr_pstrcat(result_pool, dirpath, "/tmp.XXXXXX", nullptr);
  apr_int32_t flags = APR_FOPEN_CREATE | APR_FOPEN_READ | APR_FOPEN_WRITE | APR_FOPEN_EXCL;
  if (delete_when == ostrel_io_file_del_on_close) flags |= APR_FOPEN_DELONCLOSE;

  apr_file_t *opened = nullptr;
  apr_status_t status = apr_file_mktemp(&opened, name_template, flags, result_pool);
  if (status != APR_SUCCESS)
    return ostrel_error_wrap_apr(status, "Can't create a unique file in '%s'", dirpath);

  // With APR_FOPEN_DELONCLOSE the file's own pool cleanup closes it, which
  // also removes it when the pool goes before the caller closed the file.
  if (delete_when == ostrel_io_file_del_on_pool_cleanup) {
    auto *baton = static_cast<RemoveOnCleanup *>(apr_palloc(result_pool, sizeof(RemoveOnCleanup)));
    baton->path = name_template;
    apr_pool_cleanup_register(result_pool, baton, remove_file_cleanup, apr_pool_cleanup_null);
  }

  *file = opened;
  if (unique_path) *unique_path = name_template;
  return OSTREL_NO_ERROR;
}
