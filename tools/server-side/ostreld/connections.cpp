// Connections: the listening socket, the connection callbacks, the access
// log, and the reaper of stalled connections (invariants 3 and 6).
#include "server_internal.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <ctime>

#include "ostrel_path.h"
#include "ostrel_pools.h"
#include "wire.h"

namespace ostreld {

Clock::time_point touch(Server *server, MHD_Connection *connection, int in_handler_delta,
                        bool progress, bool *over) {
  std::lock_guard<std::mutex> lock(server->mutex);
  auto found = server->connections.find(connection);
  if (found == server->connections.end()) return Clock::now();
  if (progress) found->second.last_progress = Clock::now();
  found->second.in_handler += in_handler_delta;
  if (over) *over = found->second.over;
  return found->second.request_start;
}

bool is_suspended(MHD_Connection *connection) {
  const MHD_ConnectionInfo *info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_SUSPENDED);
  return info && info->suspended == MHD_YES;
}

bool has_body(MHD_Connection *connection) {
  const char *length =
      MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
  return MHD_lookup_connection_value(connection, MHD_HEADER_KIND,
                                     MHD_HTTP_HEADER_TRANSFER_ENCODING) ||
         (length && std::strcmp(length, "0") != 0);
}

void *on_request_line(void *cls, const char *, MHD_Connection *connection) {
  auto *server = static_cast<Server *>(cls);
  const auto header_limit = std::chrono::seconds(server->settings.header_timeout_seconds);
  with_state(server, connection, [header_limit](ConnectionState &state) {
    auto now = Clock::now();
    state.request_start = now;
    state.headers_due = std::min(state.headers_due, now + header_limit);
  });
  return nullptr;
}

namespace {

// The access log: one line per request, written whole.
void log_request(Server *server, const Request &r) {
  if (!server->log) return;
  auto now = std::chrono::system_clock::now();
  std::time_t secs = std::chrono::system_clock::to_time_t(now);
  std::tm tm{};
  gmtime_r(&secs, &tm);
  char when[32];
  std::strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%SZ", &tm);
  long long ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - r.start).count();
  apr_pool_t *pool = ostrel_pool_create(nullptr);
  std::string path = r.path;
  if (!r.op.empty()) path += "?op=" + r.op;
  const char *shown = ostrel_path_uri_autoescape(path.c_str(), pool);
  std::string user = r.identity.anonymous ? "-" : r.identity.user;
  const char *shown_user = ostrel_path_uri_autoescape(user.c_str(), pool);
  {
    std::lock_guard<std::mutex> lock(server->log_mutex);
    std::fprintf(server->log, "%s %s %s %s %s %u %llu %llu %lldms\n", when,
                 r.client.empty() ? "-" : r.client.c_str(), shown_user,
                 r.method.empty() ? "-" : r.method.c_str(), shown, r.status, r.bytes_in,
                 r.bytes_out, ms);
    std::fflush(server->log);
  }
  apr_pool_destroy(pool);
}

}  // namespace

void on_completed(void *cls, MHD_Connection *connection, void **con_cls,
                  MHD_RequestTerminationCode) {
  auto *server = static_cast<Server *>(cls);
  touch(server, connection, 0, true);
  // A kept-alive connection may wait idle-timeout-seconds for its next
  // request, which then has header-timeout-seconds for its headers.
  const auto next_due = std::chrono::seconds(server->settings.idle_timeout_seconds +
                                             server->settings.header_timeout_seconds);
  with_state(server, connection, [next_due](ConnectionState &state) {
    state.headers_done = false;
    state.in_body = false;
    state.headers_due = Clock::now() + next_due;
  });
  auto *r = static_cast<Request *>(*con_cls);
  if (!r) return;
  *con_cls = nullptr;
  // A request dropped before its answer is logged with status 0.
  log_request(server, *r);
  // The replay ends on a worker: closing its repository (and abandoning an
  // unfinished commit, which makes no revision) is storage I/O, which the
  // event loop never does (a close may move the log into the database).
  // The commit counts as in flight until then.
  if (r->counted_commit) {
    Replay *replay = r->replay.release();
    server->workers->submit([server, replay] {
      delete replay;
      std::lock_guard<std::mutex> lock(server->mutex);
      server->commits_in_flight--;
      server->idle.notify_all();
    });
  }
  delete r;
}

void on_connection(void *cls, MHD_Connection *connection, void **,
                   MHD_ConnectionNotificationCode code) {
  auto *server = static_cast<Server *>(cls);
  std::lock_guard<std::mutex> lock(server->mutex);
  if (code == MHD_CONNECTION_NOTIFY_STARTED) {
    const MHD_ConnectionInfo *info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    ConnectionState state;
    state.fd = info ? info->connect_fd : -1;
    state.last_progress = state.request_start = Clock::now();
    state.headers_due =
        state.request_start + std::chrono::seconds(server->settings.header_timeout_seconds);
    state.over = server->served >= server->settings.max_connections;
    if (!state.over) server->served++;
    server->connections[connection] = state;
  } else {
    auto found = server->connections.find(connection);
    if (found == server->connections.end()) return;
    if (!found->second.over) server->served--;
    server->connections.erase(found);
  }
}

size_t keep_escaped(void *, MHD_Connection *, char *s) {
  return std::strlen(s);
}

void log_library(void *, const char *fmt, va_list ap) {
  std::fputs("ostreld: ", stderr);
  std::vfprintf(stderr, fmt, ap);
}

ostrel_error *open_listener(int *fd_out, std::string *shown, const std::string &listen) {
  std::size_t colon = listen.rfind(':');
  if (colon == std::string::npos || colon == 0)
    return ostrel_error_createf(OSTREL_ERR_BAD_ARGUMENTS, nullptr, "'%s' is not HOST:PORT",
                                listen.c_str());
  std::string host = listen.substr(0, colon);
  std::string port = listen.substr(colon + 1);
  if (host.size() > 2 && host.front() == '[' && host.back() == ']')
    host = host.substr(1, host.size() - 2);
  long long port_number = -1;
  if (!ostrel_wire::parse_number(port, port_number) || port_number < 0 || port_number > 65535)
    return ostrel_error_createf(OSTREL_ERR_BAD_ARGUMENTS, nullptr,
                                "'%s' is not HOST:PORT (the port is a number up to 65535)",
                                listen.c_str());
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo *found = nullptr;
  int rc = getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
  if (rc != 0)
    return ostrel_error_createf(OSTREL_ERR_BAD_ARGUMENTS, nullptr, "Can't listen on '%s': %s",
                                listen.c_str(), gai_strerror(rc));
  int fd = socket(found->ai_family, found->ai_socktype | SOCK_CLOEXEC, found->ai_protocol);
  int saved = errno;
  if (fd >= 0) {
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(fd, found->ai_addr, found->ai_addrlen) != 0 || ::listen(fd, 128) != 0) {
      saved = errno;
      close(fd);
      fd = -1;
    }
  }
  int family = found->ai_family;
  freeaddrinfo(found);
  if (fd < 0)
    return ostrel_error_createf(OSTREL_ERR_BAD_ARGUMENTS, nullptr, "Can't listen on '%s': %s",
                                listen.c_str(), std::strerror(saved));
  sockaddr_storage bound{};
  socklen_t len = sizeof bound;
  getsockname(fd, reinterpret_cast<sockaddr *>(&bound), &len);
  char text[NI_MAXHOST] = "";
  char serv[NI_MAXSERV] = "";
  getnameinfo(reinterpret_cast<sockaddr *>(&bound), len, text, sizeof text, serv, sizeof serv,
              NI_NUMERICHOST | NI_NUMERICSERV);
  *shown =
      family == AF_INET6 ? std::string("[") + text + "]:" + serv : std::string(text) + ":" + serv;
  *fd_out = fd;
  return OSTREL_NO_ERROR;
}

namespace {

// Whether the reaper should drop a connection in STATE at NOW (invariant 3).
const char *reason_to_drop(const Settings &settings, ConnectionState &state, Clock::time_point now) {
  const auto idle_limit = std::chrono::seconds(settings.idle_timeout_seconds);
  // A connection that is only to be refused holds a spare slot no longer
  // than it is told to wait.
  const auto limit =
      state.over ? std::min(idle_limit, std::chrono::seconds(kBusyRetryAfterSeconds)) : idle_limit;
  if (now - state.last_progress > limit) return "no progress";
  if (!state.headers_done && now > state.headers_due) return "headers too slow";
  if (state.in_body) {
    auto active = now - state.window_start - state.window_busy;
    if (active >= std::chrono::seconds(settings.body_grace_seconds)) {
      auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(active).count();
      if (state.window_bytes * 1000 <
          static_cast<unsigned long long>(settings.min_body_bytes_per_second) *
              static_cast<unsigned long long>(ms))
        return "body too slow";
      state.window_start = now;
      state.window_bytes = 0;
      state.window_busy = {};
    }
  }
  return nullptr;
}

}  // namespace

void raise_open_files_limit(unsigned needed) {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  rlim_t want = static_cast<rlim_t>(needed) + 256;
  if (limit.rlim_max != RLIM_INFINITY && want > limit.rlim_max) want = limit.rlim_max;
  if (want <= limit.rlim_cur) return;
  limit.rlim_cur = want;
  setrlimit(RLIMIT_NOFILE, &limit);
}

// Shuts down the connections that reason_to_drop() names, while the server
// is not working on them.
void reap(Server *server, std::atomic<bool> &done) {
  while (!done) {
    {
      std::lock_guard<std::mutex> lock(server->mutex);
      auto now = Clock::now();
      for (auto &[connection, state] : server->connections) {
        if (state.in_handler != 0 || state.fd < 0) continue;
        if (!reason_to_drop(server->settings, state, now)) continue;
        shutdown(state.fd, SHUT_RDWR);
        // Once is enough.
        state.last_progress = now;
        state.headers_done = true;
        state.in_body = false;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
  }
}

}  // namespace ostreld
