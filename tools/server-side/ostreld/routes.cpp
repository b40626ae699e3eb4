// The handler of every request: who asks, where the request points, and
// which part answers it.
#include "server_internal.h"

#include <apr_strings.h>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cstring>

#include "health.h"
#include "ostrel_path.h"
#include "ostrel_pools.h"

namespace ostreld {

namespace {

// Maps the escaped request path onto the served tree.  Refuses with 400 an
// escaped '/', a '..' segment (escaped or not), a malformed escape or an
// escaped NUL, and anything that is not an absolute path: the decoded path
// always stays inside --root.
ostrel_error *resolve_target(Target &target, const std::string &raw, apr_pool_t *pool) {
  if (raw.empty() || raw[0] != '/')
    return ostrel_error_createf(OSTREL_ERR_RA_BAD_REQUEST, nullptr,
                                "The request path '%s' is not an absolute path",
                                ostrel_path_uri_autoescape(raw.c_str(), pool));
  std::string lower = raw;
  for (char &c : lower) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  if (lower.find("%2f") != std::string::npos || lower.find("%5c") != std::string::npos)
    return ostrel_error_createf(OSTREL_ERR_RA_BAD_REQUEST, nullptr,
                                "The request path '%s' holds an escaped '/' or '\\'",
                                ostrel_path_uri_autoescape(raw.c_str(), pool));
  // The path rules are those of local URLs (no '..', valid escapes, no NUL),
  // so the one check of the library serves here.
  const char *as_local = apr_pstrcat(pool, "file://", raw.c_str(), static_cast<char *>(nullptr));
  const char *decoded = nullptr;
  ostrel_error *err = ostrel_uri_get_dirent_from_file_url(&decoded, as_local, pool);
  if (err) {
    ostrel_error_clear(err);
    return ostrel_error_createf(OSTREL_ERR_RA_BAD_REQUEST, nullptr,
                                "The request path '%s' holds a '..' segment or a malformed "
                                "escape",
                                ostrel_path_uri_autoescape(raw.c_str(), pool));
  }
  std::string rest = decoded + 1;  // without the leading '/'
  std::size_t slash = rest.find('/');
  target.repos = rest.substr(0, slash);
  target.fs_path = slash == std::string::npos ? "" : rest.substr(slash + 1);
  return OSTREL_NO_ERROR;
}

}  // namespace

ostrel_error *open_repos(ostrel_repos **repos, Server *server, const Target &target,
                         const std::string &raw, apr_pool_t *pool) {
  std::string dir = server->root + "/" + target.repos;
  struct stat st;
  if (target.repos.empty() || ::stat((dir + "/format").c_str(), &st) != 0)
    return ostrel_error_createf(OSTREL_ERR_RA_NO_REPOSITORY, nullptr,
                                "No repository is served at '%s'",
                                ostrel_path_uri_autoescape(raw.c_str(), pool));
  return ostrel_repos_open2(repos, dir.c_str(), nullptr, pool);
}

MHD_Result refuse_open(Request *r, MHD_Connection *connection, ostrel_error *err) {
  if (err->apr_err == OSTREL_ERR_RA_NO_REPOSITORY)
    return send_error(r, connection, MHD_HTTP_NOT_FOUND, err);
  return send_failure(r, connection, err, judge_failure(err));
}

namespace {

const char *header_of(void *baton, const char *name) {
  return MHD_lookup_connection_value(static_cast<MHD_Connection *>(baton), MHD_HEADER_KIND, name);
}

}  // namespace

namespace {

std::string client_address(MHD_Connection *connection) {
  const MHD_ConnectionInfo *info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
  char host[NI_MAXHOST] = "-";
  if (info && info->client_addr) {
    socklen_t len =
        info->client_addr->sa_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    if (getnameinfo(info->client_addr, len, host, sizeof host, nullptr, 0, NI_NUMERICHOST) != 0)
      std::strcpy(host, "-");
  }
  return host;
}

}  // namespace

MHD_Result handle(void *cls, MHD_Connection *connection, const char *url, const char *method,
                  const char *, const char *upload_data, size_t *upload_data_size, void **con_cls) {
  auto *server = static_cast<Server *>(cls);
  auto *r = static_cast<Request *>(*con_cls);
  // The library may call again, in the loop that suspended the connection,
  // with more of the body (the next chunk): it is left where it is until
  // the job has run and the connection is resumed (invariant 7).
  if (r && is_suspended(connection)) return MHD_YES;
  bool over = false;
  Clock::time_point started = touch(server, connection, +1, false, &over);
  const bool first_call = !r;
  if (!r) {
    r = new Request;
    r->server = server;
    r->start = started;
    *con_cls = r;
  }
  // Progress is a complete header block, a complete frame (recorded by the
  // job that replays it), or an answer; bytes that complete nothing are none
  // (invariant 3).
  struct Leave {
    Server *s;
    MHD_Connection *c;
    Request *r;
    bool first;
    ~Leave() { touch(s, c, -1, first || r->answered); }
  } leave{server, connection, r, first_call};
  if (!first_call) {
    const std::size_t arrived = *upload_data_size;
    with_state(server, connection, [arrived](ConnectionState &state) {
      if (arrived)
        state.window_bytes += arrived;
      else
        state.in_body = false;
    });
  } else {
    const bool body = has_body(connection);
    with_state(server, connection, [body](ConnectionState &state) {
      state.headers_done = true;
      state.in_body = body;
      state.window_bytes = 0;
      state.window_busy = {};
      state.window_start = Clock::now();
    });
  }

  if (r->answered) {  // refused on its first call: the body is not read
    *upload_data_size = 0;
    return MHD_YES;
  }
  if (r->replay) return continue_commit(r, connection, upload_data, upload_data_size);

  // First call: the headers are complete, nothing of the body is read yet.
  r->method = method;
  r->path = url;
  r->client = client_address(connection);
  const char *op = MHD_lookup_connection_value(connection, MHD_GET_ARGUMENT_KIND, "op");
  r->op = op ? op : "";
  if (is_health_check(r->method, r->path, r->op)) {
    r->answered = true;
    return answer_health(connection, server->root, server->stopping, &r->status, &r->bytes_out);
  }
  if (over) return refuse_busy(r, connection);

  RequestHead head{method, r->client.c_str(), header_of, connection, connection};
  const Decision decision = server->gate.identify(head, &r->identity);
  r->identified = true;
  if (!decision.allowed()) return refuse_as_decided(r, connection, decision);
  if (server->stopping)
    return refuse(r, connection, MHD_HTTP_SERVICE_UNAVAILABLE, OSTREL_ERR_CANCELLED,
                  "The server is shutting down");

  apr_pool_t *pool = ostrel_pool_create(nullptr);
  struct PoolGuard {
    apr_pool_t *p;
    ~PoolGuard() { apr_pool_destroy(p); }
  } guard{pool};
  Target target;
  if (ostrel_error *err = resolve_target(target, r->path, pool))
    return send_error(r, connection, MHD_HTTP_BAD_REQUEST, err);
  const char *host = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_HOST);
  r->repos = target.repos;
  r->public_root = std::string(server->tls ? "https://" : "http://") + (host ? host : "localhost") +
                   "/" + ostrel_path_uri_encode(target.repos.c_str(), pool);

  if ((r->method == MHD_HTTP_METHOD_GET || r->method == MHD_HTTP_METHOD_HEAD) &&
      is_read_route(r->op)) {
    ReadRoute route{connection, &r->identity, &server->gate, target.repos, target.fs_path,
                    server->root + "/" + target.repos, r->path, r->public_root, r->op,
                    r->method == MHD_HTTP_METHOD_HEAD, r->client, server->streams.get()};
    MHD_Result ret = answer_read_route(route);
    r->status = route.status;
    r->bytes_out = route.bytes_out;
    r->answered = true;
    return ret;
  }
  if (r->method == MHD_HTTP_METHOD_GET) return answer_read(r, connection, target, pool);
  if (r->method == MHD_HTTP_METHOD_POST) {
    if (r->op != "commit")
      return refuse(r, connection, MHD_HTTP_BAD_REQUEST, OSTREL_ERR_RA_BAD_REQUEST,
                    "Unknown request '" + r->op + "'");
    return begin_commit(r, connection, target, pool);
  }
  return refuse(r, connection, MHD_HTTP_METHOD_NOT_ALLOWED, OSTREL_ERR_RA_BAD_REQUEST,
                "Method '" + r->method + "' is not allowed");
}

}  // namespace ostreld
