#include "health.h"

#include <sys/stat.h>

namespace ostreld {

bool is_health_check(const std::string &method, const std::string &path, const std::string &op) {
  return (method == MHD_HTTP_METHOD_GET || method == MHD_HTTP_METHOD_HEAD) && path == "/" &&
         op == "health";
}

MHD_Result answer_health(MHD_Connection *connection, const std::string &root, bool stopping,
                         unsigned *status, unsigned long long *bytes_out) {
  struct stat st;
  const bool root_there = ::stat(root.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  std::string body = stopping     ? "stopping\n"
                     : root_there ? "ok\n"
                                  : "the root directory '" + root + "' is gone\n";
  *status = !stopping && root_there ? MHD_HTTP_OK : MHD_HTTP_SERVICE_UNAVAILABLE;
  MHD_Response *response = MHD_create_response_from_buffer(
      body.size(), const_cast<char *>(body.data()), MHD_RESPMEM_MUST_COPY);
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, "text/plain; charset=utf-8");
  MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
  MHD_Result ret = MHD_queue_response(connection, *status, response);
  MHD_destroy_response(response);
  *bytes_out = body.size();
  return ret;
}

}  // namespace ostreld
