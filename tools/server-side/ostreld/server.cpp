// ostreld's HTTP side.
//
// Threads: libmicrohttpd's event loop (event-threads threads, epoll) serves
// every connection; no connection has a thread of its own, so a client that
// is slow to send or to read costs a socket and its buffer, never a thread.
// Work that may wait (replaying a commit's frames into the repository, which
// does storage I/O and may wait for the repository's write lock up to
// busy-timeout-ms, finishing it, and closing its repository) runs on a pool
// of `workers` threads: the connection is suspended while its job runs and
// resumed when it is done, so the event loop never waits for a repository.
// Reads answer from the event loop.
//
// Invariants:
//  1. A request's identity is settled (identify()) on the first handler call,
//     after the headers and before any body byte is read; a request refused
//     there is answered without "100 Continue", so its body is never sent.
//  2. A commit is finished only on the handler call that reports the end of
//     the body; a connection that ends, or is dropped, before that leaves a
//     Replay that its destruction abandons (no revision, nothing left).
//  3. A connection that makes no progress (no complete header block, no
//     complete frame) for idle-timeout-seconds (a connection beyond
//     max-connections: kBusyRetryAfterSeconds at most) while the server is
//     not working on it is shut down by the reaper.  The reaper also shuts
//     down a connection whose request headers are not complete
//     header-timeout-seconds after its request began (after the request
//     line, or after the connection was opened or its previous request
//     ended, plus idle-timeout-seconds for a kept-alive connection), and one
//     whose request body, over a window of body-grace-seconds in which the
//     server was not working on it, came slower than
//     min-body-bytes-per-second.  So a client that trickles bytes holds a
//     connection for seconds, not for as long as it likes.
//  4. After SIGTERM/SIGINT no new connection is accepted and new requests
//     get 503; the server returns once no commit is in flight.
//  5. Requests share nothing but Server (under its mutexes); each request
//     works in pools of its own, made from the global pool, never from a
//     pool another thread uses.  A request is touched by one thread at a
//     time: its event thread, or the worker running its job while the
//     connection is suspended.
//  6. At most max-connections connections are served at once, and at most
//     max-connections-per-address from one client address (the library
//     closes the ones beyond at once).  The library accepts kRefusalSlots
//     more, each marked "over" when it is accepted; every request on an over
//     connection is answered 503 (Retry-After) and the connection closed,
//     so a client learns at once that the server is busy instead of waiting
//     in the listen queue.  Beyond those, new connections wait in the
//     listen queue.
//  7. A suspended connection is resumed exactly once, by the job that was
//     queued for it, and the daemon is stopped only once no job is queued
//     or running (commits_in_flight counts them).

#include "server.h"

#include <apr_pools.h>
#include <apr_strings.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <microhttpd.h>
#include <netdb.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <deque>
#include <fstream>
#include <functional>
#include <sstream>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "gatekeeper.h"
#include "health.h"
#include "hooks.h"
#include "ostrel_fs.h"
#include "ostrel_path.h"
#include "ostrel_pools.h"
#include "ostrel_repos.h"
#include "read_routes.h"
#include "replay.h"
#include "answers.h"
#include "respond.h"
#include "wire.h"

namespace ostreld {

namespace {

using Clock = std::chrono::steady_clock;
constexpr const char *kContentType = kFramesType;
// Connections accepted beyond max-connections only to be refused (invariant 6).
constexpr unsigned kRefusalSlots = 16;
// What a refused connection is told to wait before trying again.
constexpr unsigned kBusyRetryAfterSeconds = 5;

// ---- Configuration ----

bool parse_unsigned(const std::string &text, unsigned long max, unsigned &value) {
  if (text.empty() || text.size() > 10) return false;
  unsigned long v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<unsigned long>(c - '0');
  }
  if (v > max) return false;
  value = static_cast<unsigned>(v);
  return true;
}

std::string trim(const std::string &s) {
  std::size_t b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos) return "";
  std::size_t e = s.find_last_not_of(" \t\r");
  return s.substr(b, e - b + 1);
}

// ---- The server's state ----

struct ConnectionState {
  int fd = -1;
  Clock::time_point last_progress;
  Clock::time_point request_start;
  int in_handler = 0;  // > 0 while a handler call or a job works on it
  bool over = false;   // accepted beyond max-connections: refused (invariant 6)
  // The headers of the current request: complete, or due by this time.
  bool headers_done = false;
  Clock::time_point headers_due;
  // The body of the current request, while it is being received: the bytes
  // of the current rate window, when it started, and how much of it the
  // server spent working (not counted against the client).
  bool in_body = false;
  unsigned long long window_bytes = 0;
  Clock::time_point window_start;
  Clock::duration window_busy{};
  Clock::time_point job_start;
};

// The threads that run the jobs that may wait (invariant 7).
class WorkerPool {
 public:
  explicit WorkerPool(unsigned threads) {
    for (unsigned i = 0; i < threads; i++) threads_.emplace_back([this] { run(); });
  }
  ~WorkerPool() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    wake_.notify_all();
    for (std::thread &t : threads_) t.join();
  }
  void submit(std::function<void()> job) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      jobs_.push_back(std::move(job));
    }
    wake_.notify_one();
  }

 private:
  void run() {
    while (true) {
      std::function<void()> job;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait(lock, [this] { return done_ || !jobs_.empty(); });
        if (jobs_.empty()) return;
        job = std::move(jobs_.front());
        jobs_.pop_front();
      }
      job();
    }
  }
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> jobs_;
  bool done_ = false;
  std::vector<std::thread> threads_;
};

struct Server {
  Settings settings;
  bool tls = false;
  std::string root;  // absolute, canonical
  FILE *log = nullptr;
  std::mutex log_mutex;

  std::mutex mutex;  // guards connections, served, commits_in_flight
  std::condition_variable idle;
  std::map<MHD_Connection *, ConnectionState> connections;
  unsigned served = 0;  // connections in CONNECTIONS that are not over
  int commits_in_flight = 0;
  std::atomic<bool> stopping{false};
  std::unique_ptr<WorkerPool> workers;
  std::unique_ptr<StreamSlots> streams;
  Gate gate;  // who is asking and what they may do
};

// One request, from its request line to the end of its answer.
struct Request {
  Server *server = nullptr;
  Clock::time_point start;
  std::string method;
  std::string path;  // as received, escaped
  std::string op;
  std::string client;
  Identity identity;
  bool identified = false;
  unsigned status = 0;
  unsigned long long bytes_in = 0;
  unsigned long long bytes_out = 0;
  std::unique_ptr<Replay> replay;
  std::string pending;         // body bytes handed to the next job
  bool body_ended = false;     // the job that finishes the commit ran
  bool counted_commit = false;
  bool answered = false;
  std::string id = new_request_id();
  std::string repos;        // the repository's name, once known
  std::string public_root;  // the repository root as clients name it
  std::string local_root;   // the repository root as a file:// URL
};

// Marks the server as working on CONNECTION (IN_HANDLER_DELTA), and records
// progress when PROGRESS.  Returns when the connection's request started;
// *OVER tells whether the connection is beyond max-connections.
Clock::time_point touch(Server *server, MHD_Connection *connection, int in_handler_delta,
                        bool progress, bool *over = nullptr) {
  std::lock_guard<std::mutex> lock(server->mutex);
  auto found = server->connections.find(connection);
  if (found == server->connections.end()) return Clock::now();
  if (progress) found->second.last_progress = Clock::now();
  found->second.in_handler += in_handler_delta;
  if (over) *over = found->second.over;
  return found->second.request_start;
}

// Applies CHANGE to the state of CONNECTION, under the server's mutex.
template <typename Change>
void with_state(Server *server, MHD_Connection *connection, Change change) {
  std::lock_guard<std::mutex> lock(server->mutex);
  auto found = server->connections.find(connection);
  if (found != server->connections.end()) change(found->second);
}

bool is_suspended(MHD_Connection *connection) {
  const MHD_ConnectionInfo *info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_SUSPENDED);
  return info && info->suspended == MHD_YES;
}

// Whether a request declares a body (which the reaper then watches).
bool has_body(MHD_Connection *connection) {
  const char *length =
      MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
  return MHD_lookup_connection_value(connection, MHD_HEADER_KIND,
                                     MHD_HTTP_HEADER_TRANSFER_ENCODING) ||
         (length && std::strcmp(length, "0") != 0);
}

// ---- Answers ----

// Queues ANSWER for R, and notes it for the access log.
MHD_Result send_answer(Request *r, MHD_Connection *connection, const Answer &answer) {
  MHD_Result ret = respond(connection, r->id, answer);
  r->status = answer.status;
  r->bytes_out = answer.body.size();
  r->answered = true;
  return ret;
}

MHD_Result send(Request *r, MHD_Connection *connection, unsigned status, std::string body) {
  Answer answer;
  answer.status = status;
  answer.body = std::move(body);
  return send_answer(r, connection, answer);
}

// The server's log line of a failed request: its id, who asked for what,
// the status, and the whole error chain (with the server's paths).
void log_failure(const Request *r, unsigned status, const ostrel_error *err) {
  std::string what = r->path;
  if (!r->op.empty()) what += "?op=" + r->op;
  std::fprintf(stderr, "ostreld: request %s: %s %s %s from %s: %u: %s\n", r->id.c_str(),
               r->identity.anonymous ? "-" : r->identity.user.c_str(), r->method.c_str(),
               what.c_str(), r->client.empty() ? "-" : r->client.c_str(), status,
               describe(err).c_str());
  std::fflush(stderr);
}

// Answers R with the failure ERR as VERDICT says; failures of the server
// (5xx) and of commits are logged with their detail.
MHD_Result send_failure_of(Request *r, MHD_Connection *connection, const ostrel_error *err,
                           const Verdict &verdict) {
  Server *server = r->server;
  Place place{r->local_root, r->repos.empty() ? "" : server->root + "/" + r->repos, server->root,
              r->public_root, r->repos};
  if (verdict.internal || r->replay) log_failure(r, verdict.status, err);
  return send_answer(r, connection, failure_answer(err, verdict, place, r->id));
}

// The same for an error of R's own, cleared here.
MHD_Result send_failure(Request *r, MHD_Connection *connection, ostrel_error *err,
                        const Verdict &verdict) {
  MHD_Result ret = send_failure_of(r, connection, err, verdict);
  ostrel_error_clear(err);
  return ret;
}

MHD_Result send_error(Request *r, MHD_Connection *connection, unsigned status, ostrel_error *err) {
  return send_failure(r, connection, err, Verdict{status, -1, status >= 500});
}

MHD_Result refuse(Request *r, MHD_Connection *connection, unsigned status, apr_status_t code,
                  const std::string &message) {
  return send_error(r, connection, status, ostrel_error_create(code, nullptr, message.c_str()));
}

// Refuses with 401 asking for credentials of REALM, or with 429 telling to
// come back after RETRY_AFTER seconds.
MHD_Result refuse_login(Request *r, MHD_Connection *connection, unsigned status,
                        const std::string &message, const std::string &realm, long retry_after) {
  ostrel_error *err = ostrel_error_create(
      status == MHD_HTTP_TOO_MANY_REQUESTS ? OSTREL_ERR_AUTHN_FAILED : OSTREL_ERR_RA_NOT_AUTHORIZED,
      nullptr, message.c_str());
  Answer answer;
  answer.status = status;
  answer.body = error_answer(err, r->local_root, r->public_root);
  ostrel_error_clear(err);
  if (status == MHD_HTTP_UNAUTHORIZED)
    answer.realm = realm;
  else
    answer.retry_after = retry_after;
  return send_answer(r, connection, answer);
}

// Answers R as the gate's DECISION (not an allowing one) says.
MHD_Result refuse_as_decided(Request *r, MHD_Connection *connection, const Decision &decision) {
  switch (decision.kind) {
    case Decision::Kind::ask_credentials:
      return refuse_login(r, connection, MHD_HTTP_UNAUTHORIZED, decision.message, decision.realm,
                          0);
    case Decision::Kind::slow_down:
      return refuse_login(r, connection, MHD_HTTP_TOO_MANY_REQUESTS, decision.message, "",
                          decision.retry_after);
    case Decision::Kind::malformed:
      return refuse(r, connection, MHD_HTTP_BAD_REQUEST, OSTREL_ERR_RA_NOT_AUTHORIZED,
                    decision.message);
    case Decision::Kind::deny:
    case Decision::Kind::allow:
      break;
  }
  return refuse(r, connection, MHD_HTTP_FORBIDDEN, OSTREL_ERR_RA_NOT_AUTHORIZED, decision.message);
}

// Refuses a request on a connection beyond max-connections (invariant 6):
// 503 with Retry-After, and the connection is closed after the answer.
MHD_Result refuse_busy(Request *r, MHD_Connection *connection) {
  ostrel_error *err = ostrel_error_createf(
      OSTREL_ERR_RA_CONNECTION, nullptr,
      "The server is busy: it serves at most %u connection%s at once; try again in %u s",
      r->server->settings.max_connections, r->server->settings.max_connections == 1 ? "" : "s",
      kBusyRetryAfterSeconds);
  Answer answer;
  answer.status = MHD_HTTP_SERVICE_UNAVAILABLE;
  answer.body = error_answer(err, r->local_root, r->public_root);
  ostrel_error_clear(err);
  answer.retry_after = kBusyRetryAfterSeconds;
  answer.close = true;
  return send_answer(r, connection, answer);
}

// ---- Where a request points ----

struct Target {
  std::string repos;    // the repository's name, "" when the path names none
  std::string fs_path;  // decoded path inside it, "" for its root
};

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

// Opens the repository TARGET names, or says that none is there.
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

// Answers a failed open_repos: 404 when no repository is there, else 500.
MHD_Result refuse_open(Request *r, MHD_Connection *connection, ostrel_error *err) {
  if (err->apr_err == OSTREL_ERR_RA_NO_REPOSITORY)
    return send_error(r, connection, MHD_HTTP_NOT_FOUND, err);
  return send_failure(r, connection, err, judge_failure(err));
}

// ---- Read requests ----

MHD_Result answer_read(Request *r, MHD_Connection *connection, const Target &target,
                       apr_pool_t *pool) {
  Server *server = r->server;
  if (r->op != "discover" && r->op != "youngest" && r->op != "node")
    return refuse(r, connection, MHD_HTTP_BAD_REQUEST, OSTREL_ERR_RA_BAD_REQUEST,
                  "Unknown request '" + r->op + "'");
  // The rules come first: whether a repository exists is not told to
  // those who may not read it.
  const Gate &gate = server->gate;
  Decision decision = gate.authorize(r->identity, target.repos, "/" + target.fs_path, Access::read);
  // Discovery tells only where the repository is: to whoever may read its
  // root, a path hidden from them is found as a missing one would be.
  if (!decision.allowed() && r->op == "discover" && !r->identity.anonymous &&
      gate.authorize(r->identity, target.repos, "/", Access::read).allowed())
    decision = Decision{};
  if (!decision.allowed()) return refuse_as_decided(r, connection, decision);
  ostrel_repos *repos = nullptr;
  if (ostrel_error *err = open_repos(&repos, server, target, r->path, pool))
    return refuse_open(r, connection, err);

  ostrel_fs *filesystem = ostrel_repos_fs(repos);
  ostrel_revnum youngest = 0;
  if (ostrel_error *err = ostrel_fs_youngest_rev(&youngest, filesystem, pool))
    return send_error(r, connection, MHD_HTTP_INTERNAL_SERVER_ERROR, err);

  if (r->op == "discover")
    return send(r, connection, MHD_HTTP_OK,
                ostrel_wire::encode_answer(ostrel_wire::DiscoverAnswer{
                    std::string("/") + ostrel_path_uri_encode(target.repos.c_str(), pool),
                    youngest,
                    {"commit-stream"}}));
  if (r->op == "youngest")
    return send(r, connection, MHD_HTTP_OK,
                ostrel_wire::encode_answer(ostrel_wire::YoungestAnswer{youngest}));

  // op=node: the kind of the path at a revision, with a directory's entries.
  const char *rev_text = MHD_lookup_connection_value(connection, MHD_GET_ARGUMENT_KIND, "rev");
  long long rev = -1;
  if (!rev_text || !ostrel_wire::parse_number(rev_text, rev) || rev < 0)
    return refuse(r, connection, MHD_HTTP_BAD_REQUEST, OSTREL_ERR_BAD_REVISION,
                  "A node request needs a revision number");
  if (rev > youngest)
    return send_error(r, connection, MHD_HTTP_NOT_FOUND,
                      ostrel_error_createf(OSTREL_ERR_FS_NO_SUCH_REVISION, nullptr,
                                           "No such revision %lld (youngest is %ld)", rev,
                                           static_cast<long>(youngest)));
  ostrel_fs_root *root = nullptr;
  ostrel_node_kind kind = ostrel_node_none;
  apr_hash_t *entries = nullptr;
  ostrel_error *err =
      ostrel_fs_revision_root(&root, filesystem, static_cast<ostrel_revnum>(rev), pool);
  if (!err) err = ostrel_fs_check_path(&kind, root, target.fs_path.c_str(), pool);
  if (!err && kind == ostrel_node_dir)
    err = ostrel_fs_dir_entries(&entries, root, target.fs_path.c_str(), pool);
  if (err) return send_error(r, connection, MHD_HTTP_INTERNAL_SERVER_ERROR, err);
  ostrel_wire::NodeAnswer node{kind, {}};
  if (entries) {
    for (apr_hash_index_t *hi = apr_hash_first(pool, entries); hi; hi = apr_hash_next(hi)) {
      void *val;
      apr_hash_this(hi, nullptr, nullptr, &val);
      auto *entry = static_cast<ostrel_fs_dirent *>(val);
      // A name the caller may not read is not told.
      std::string child = "/" + target.fs_path + (target.fs_path.empty() ? "" : "/") + entry->name;
      if (!gate.authorize(r->identity, target.repos, child, Access::read).allowed()) continue;
      node.entries.emplace_back(entry->name, entry->kind);
    }
  }
  return send(r, connection, MHD_HTTP_OK, ostrel_wire::encode_answer(node));
}

// ---- Commits ----

// The one status of a failed commit (see respond.h).
Verdict commit_verdict(const Replay &replay) {
  if (replay.frame_too_large()) return {MHD_HTTP_CONTENT_TOO_LARGE, -1, false};
  if (replay.malformed()) return {MHD_HTTP_BAD_REQUEST, -1, false};
  return judge_failure(replay.error());
}

// The first call of a commit: everything that can be refused before the
// body is read.
MHD_Result begin_commit(Request *r, MHD_Connection *connection, const Target &target,
                        apr_pool_t *pool) {
  Server *server = r->server;
  const char *length =
      MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
  const char *encoding =
      MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_TRANSFER_ENCODING);
  if (length && encoding)
    return refuse(r, connection, MHD_HTTP_BAD_REQUEST, OSTREL_ERR_RA_BAD_REQUEST,
                  "A request may not carry both Content-Length and Transfer-Encoding");
  const char *type =
      MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_TYPE);
  if (!type || std::strncmp(type, kContentType, std::strlen(kContentType)) != 0)
    return refuse(r, connection, MHD_HTTP_UNSUPPORTED_MEDIA_TYPE, OSTREL_ERR_RA_BAD_REQUEST,
                  std::string("A commit's body must be of type ") + kContentType);
  // Refused before the body is sent: a caller who may not read where the
  // commit goes (nor learn whether that exists), and an anonymous caller who
  // may not write there (asked to log in).  Every changed path is checked
  // again as the commit is replayed.
  const Gate &gate = server->gate;
  Decision decision = gate.authorize(r->identity, target.repos, "/" + target.fs_path, Access::read);
  if (decision.allowed() && r->identity.anonymous)
    decision = gate.authorize(r->identity, target.repos, "/" + target.fs_path, Access::write);
  if (!decision.allowed()) return refuse_as_decided(r, connection, decision);
  ostrel_repos *repos = nullptr;
  if (ostrel_error *err = open_repos(&repos, server, target, r->path, pool))
    return refuse_open(r, connection, err);
  std::string dir = server->root + "/" + target.repos;
  const char *session_url = nullptr;
  const char *root_url = nullptr;
  std::string session_dir = target.fs_path.empty() ? dir : dir + "/" + target.fs_path;
  ostrel_error *err = ostrel_uri_get_file_url_from_dirent(&session_url, session_dir.c_str(), pool);
  if (!err) err = ostrel_uri_get_file_url_from_dirent(&root_url, dir.c_str(), pool);
  if (err) return send_error(r, connection, MHD_HTTP_INTERNAL_SERVER_ERROR, err);
  r->local_root = root_url;
  {
    std::lock_guard<std::mutex> lock(server->mutex);
    server->commits_in_flight++;
    r->counted_commit = true;
  }
  r->replay = std::make_unique<Replay>(
      session_url, root_url, target.repos, target.fs_path, r->identity,
      server->settings.max_frame_bytes,
      [&gate](const Identity &identity, const std::string &repos, const std::string &path,
              Access access) { return gate.refusal(identity, repos, path, access); });
  return MHD_YES;
}

// Runs the next step of R's commit (the bytes in R->pending, or the end of
// the body when there are none) on a worker, with CONNECTION suspended
// until it is done (invariant 7).
void run_commit_job(Request *r, MHD_Connection *connection) {
  Server *server = r->server;
  with_state(server, connection, [](ConnectionState &state) {
    state.in_handler++;
    state.job_start = Clock::now();
  });
  MHD_suspend_connection(connection);
  server->workers->submit([r, connection] {
    Replay &replay = *r->replay;
    const unsigned long long before = replay.frames_done();
    if (!r->pending.empty()) {
      replay.feed(r->pending.data(), r->pending.size());
      r->pending.clear();
    } else {
      replay.end_of_body();
      r->body_ended = true;
    }
    const bool progress = r->body_ended || replay.frames_done() != before;
    with_state(r->server, connection, [progress](ConnectionState &state) {
      auto now = Clock::now();
      state.in_handler--;
      if (progress) state.last_progress = now;
      state.window_busy += now - state.job_start;
    });
    MHD_resume_connection(connection);
  });
}

MHD_Result continue_commit(Request *r, MHD_Connection *connection, const char *data,
                           std::size_t *size) {
  if (*size) {
    // A refusal is answered once the body has ended (the library answers no
    // request in the middle of its body); a client that stops sending, or
    // sends too slowly, is dropped by the reaper.
    r->bytes_in += *size;
    r->pending.assign(data, *size);
    *size = 0;
    run_commit_job(r, connection);
    return MHD_YES;
  }
  if (!r->body_ended) {
    run_commit_job(r, connection);
    return MHD_YES;
  }
  Replay &replay = *r->replay;
  if (!replay.failed())
    return send(r, connection, MHD_HTTP_OK, replay.answer(r->local_root, r->public_root));
  return send_failure_of(r, connection, replay.error(), commit_verdict(replay));
}

// ---- libmicrohttpd callbacks ----

const char *header_of(void *baton, const char *name) {
  return MHD_lookup_connection_value(static_cast<MHD_Connection *>(baton), MHD_HEADER_KIND, name);
}

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

// ---- Listening ----

ostrel_error *open_listener(int *fd_out, std::string *shown, const std::string &listen) {
  std::size_t colon = listen.rfind(':');
  if (colon == std::string::npos || colon == 0)
    return ostrel_error_createf(OSTREL_ERR_BAD_ARGUMENTS, nullptr, "'%s' is not HOST:PORT",
                                listen.c_str());
  std::string host = listen.substr(0, colon);
  std::string port = listen.substr(colon + 1);
  if (host.size() > 2 && host.front() == '[' && host.back() == ']')
    host = host.substr(1, host.size() - 2);
  unsigned port_number = 0;
  if (!parse_unsigned(port, 65535, port_number))
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

// Raises the soft limit on open files towards NEEDED (plus what the server
// needs besides its connections), as far as the hard limit allows.
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

}  // namespace

ostrel_error *read_config(Settings &settings, const char *path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    int saved = errno;
    return ostrel_error_createf(OSTREL_ERR_BAD_CONFIG_FILE, nullptr,
                                "Can't read the configuration file '%s': %s", path,
                                std::strerror(saved));
  }
  std::ostringstream text;
  text << in.rdbuf();
  return parse_config(settings, text.str(), path);
}

ostrel_error *parse_config(Settings &settings, const std::string &text, const char *path) {
  std::istringstream in(text);
  struct Option {
    const char *name;
    unsigned *value;
    unsigned long min, max;
  };
  const Option numbers[] = {
      {"max-header-bytes", &settings.max_header_bytes, 1024, 1u << 24},
      {"idle-timeout-seconds", &settings.idle_timeout_seconds, 1, 86400},
      {"max-connections", &settings.max_connections, 1, 100000},
      {"max-connections-per-address", &settings.max_connections_per_address, 1, 100000},
      {"header-timeout-seconds", &settings.header_timeout_seconds, 1, 3600},
      {"min-body-bytes-per-second", &settings.min_body_bytes_per_second, 0, 1u << 30},
      {"body-grace-seconds", &settings.body_grace_seconds, 1, 3600},
      {"event-threads", &settings.event_threads, 1, 64},
      {"workers", &settings.workers, 1, 256},
      {"max-streams", &settings.max_streams, 1, 100000},
      {"max-streams-per-address", &settings.max_streams_per_address, 1, 100000},
      {"max-frame-bytes", &settings.max_frame_bytes, 4096, 1u << 30},
  };
  std::string line, section;
  int number = 0;
  while (std::getline(in, line)) {
    number++;
    std::string text = trim(line);
    if (text.empty() || text[0] == '#' || text[0] == ';') continue;
    if (text.front() == '[' && text.back() == ']') {
      section = trim(text.substr(1, text.size() - 2));
      if (section != "server")
        return ostrel_error_createf(OSTREL_ERR_BAD_CONFIG_OPTION, nullptr,
                                    "%s:%d: unknown section '%s' (the one section is [server])",
                                    path, number, section.c_str());
      continue;
    }
    std::size_t eq = text.find('=');
    if (eq == std::string::npos || section.empty())
      return ostrel_error_createf(OSTREL_ERR_BAD_CONFIG_OPTION, nullptr,
                                  "%s:%d: expected 'option = value' in the [server] section", path,
                                  number);
    std::string name = trim(text.substr(0, eq));
    std::string value = trim(text.substr(eq + 1));
    if (name == "listen") {
      settings.listen = value;
      continue;
    }
    if (name == "access-log") {
      settings.access_log = value;
      continue;
    }
    bool known = false;
    for (const Option &option : numbers) {
      if (name != option.name) continue;
      known = true;
      unsigned parsed = 0;
      if (!parse_unsigned(value, option.max, parsed) || parsed < option.min)
        return ostrel_error_createf(OSTREL_ERR_BAD_CONFIG_OPTION, nullptr,
                                    "%s:%d: '%s' must be a whole number from %lu to %lu", path,
                                    number, name.c_str(), option.min, option.max);
      *option.value = parsed;
    }
    if (!known)
      return ostrel_error_createf(OSTREL_ERR_BAD_CONFIG_OPTION, nullptr,
                                  "%s:%d: unknown option '%s'", path, number, name.c_str());
  }
  return OSTREL_NO_ERROR;
}

ostrel_error *serve(const Settings &settings) {
  auto server = std::make_unique<Server>();
  server->settings = settings;
  struct stat st;
  if (settings.root.empty() || ::stat(settings.root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    return ostrel_error_createf(OSTREL_ERR_BAD_ARGUMENTS, nullptr,
                                "The root '%s' is not a directory", settings.root.c_str());
  char *real = realpath(settings.root.c_str(), nullptr);
  server->root = real ? real : settings.root;
  free(real);

  if (settings.access_log == "-") {
    server->log = stdout;
  } else if (!settings.access_log.empty()) {
    server->log = std::fopen(settings.access_log.c_str(), "a");
    if (!server->log) {
      int saved = errno;
      return ostrel_error_createf(OSTREL_ERR_BAD_CONFIG_FILE, nullptr,
                                  "Can't open the access log '%s': %s", settings.access_log.c_str(),
                                  std::strerror(saved));
    }
  }

  // TLS, users and rules are checked before anything listens.
  if (settings.open && (!settings.users.empty() || !settings.rules.empty()))
    return ostrel_error_create(OSTREL_ERR_BAD_ARGUMENTS, nullptr,
                               "--open lets everyone in without accounts or rules; it does not go "
                               "with --users or --rules");
  ostrel_server::TlsCredentials tls;
  if (settings.tls_cert.empty() != settings.tls_key.empty())
    return ostrel_error_create(OSTREL_ERR_BAD_ARGUMENTS, nullptr,
                               "--tls-cert and --tls-key go together");
  if (!settings.tls_cert.empty()) {
    OSTREL_ERR(ostrel_server::load_tls_credentials(settings.tls_cert.c_str(),
                                                   settings.tls_key.c_str(), &tls));
    server->tls = true;
  }
  // Only an open server goes without a gate; without users and rules the
  // gate's default policy admits nobody.
  std::unique_ptr<ostrel_server::Gatekeeper> gate;
  if (!settings.open) {
    OSTREL_ERR(ostrel_server::Gatekeeper::create(
        &gate, "ostreld", settings.users.empty() ? nullptr : settings.users.c_str(),
        settings.rules.empty() ? nullptr : settings.rules.c_str(), {}, [](const std::string &line) {
          std::fprintf(stderr, "ostreld: %s\n", line.c_str());
          std::fflush(stderr);
        }));
  }
  server->gate = Gate(gate.get());
  MHD_OptionItem tls_options[] = {
      {MHD_OPTION_HTTPS_MEM_CERT, 0, tls.cert_pem.data()},
      {MHD_OPTION_HTTPS_MEM_KEY, 0, tls.key_pem.data()},
      {MHD_OPTION_HTTPS_PRIORITIES, 0, const_cast<char *>(ostrel_server::kTlsPriorities)},
      {MHD_OPTION_END, 0, nullptr},
  };

  int listen_fd = -1;
  std::string shown;
  OSTREL_ERR(open_listener(&listen_fd, &shown, settings.listen));

  // The signals are taken by this thread alone (sigwait below); every
  // thread started from here on inherits the blocked mask.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  raise_open_files_limit(settings.max_connections + kRefusalSlots);
  server->workers = std::make_unique<WorkerPool>(settings.workers);
  server->streams =
      std::make_unique<StreamSlots>(settings.max_streams, settings.max_streams_per_address);
  MHD_Daemon *daemon = MHD_start_daemon(
      MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME |
          MHD_USE_ERROR_LOG | (server->tls ? MHD_USE_TLS : 0),
      0, nullptr, nullptr, handle, server.get(), MHD_OPTION_EXTERNAL_LOGGER, log_library, nullptr,
      MHD_OPTION_LISTEN_SOCKET, listen_fd, MHD_OPTION_THREAD_POOL_SIZE,
      static_cast<unsigned>(settings.event_threads), MHD_OPTION_CONNECTION_LIMIT,
      settings.max_connections + kRefusalSlots, MHD_OPTION_PER_IP_CONNECTION_LIMIT,
      static_cast<unsigned>(settings.max_connections_per_address), MHD_OPTION_CONNECTION_TIMEOUT,
      static_cast<unsigned>(settings.idle_timeout_seconds), MHD_OPTION_CONNECTION_MEMORY_LIMIT,
      static_cast<size_t>(settings.max_header_bytes), MHD_OPTION_NOTIFY_COMPLETED, on_completed,
      server.get(), MHD_OPTION_NOTIFY_CONNECTION, on_connection, server.get(),
      MHD_OPTION_URI_LOG_CALLBACK, on_request_line, server.get(), MHD_OPTION_UNESCAPE_CALLBACK,
      keep_escaped, server.get(), MHD_OPTION_ARRAY, server->tls ? tls_options : tls_options + 3,
      MHD_OPTION_END);
  if (!daemon) {
    server->workers.reset();
    close(listen_fd);
    if (server->log && server->log != stdout) std::fclose(server->log);
    return ostrel_error_createf(OSTREL_ERR_MALFUNCTION, nullptr, "Can't start serving on '%s'",
                                shown.c_str());
  }
  std::printf("%s\n", shown.c_str());
  std::fflush(stdout);
  if (!settings.open && settings.users.empty() && settings.rules.empty()) {
    std::fputs("ostreld: warning: no --users, --rules or --open: every request will be refused\n",
               stderr);
    std::fflush(stderr);
  }

  std::atomic<bool> reaper_done{false};
  std::thread reaper(reap, server.get(), std::ref(reaper_done));

  // SIGHUP reads the users and rules files again; a file that does not
  // read keeps the old accounts and rules in force, and says why.
  int received = 0;
  while (sigwait(&signals, &received) == 0 && received == SIGHUP) {
    if (!gate) continue;
    ostrel_error *err = gate->reload();
    if (err) {
      ostrel_handle_error2(err, stderr, false, "ostreld: ");
      std::fputs("ostreld: the users and rules in force stay as they were\n", stderr);
      ostrel_error_clear(err);
    } else {
      std::fputs("ostreld: read the users and rules files again\n", stderr);
    }
    std::fflush(stderr);
  }

  // Stop: no new connections, new requests refused, commits in flight
  // finished (invariant 4).
  server->stopping = true;
  MHD_socket quiesced = MHD_quiesce_daemon(daemon);
  if (quiesced != MHD_INVALID_SOCKET) close(quiesced);
  {
    std::unique_lock<std::mutex> lock(server->mutex);
    server->idle.wait(lock, [&] { return server->commits_in_flight == 0; });
  }
  // Every suspended connection is resumed before the daemon stops.
  server->streams->wait_unsuspended();
  MHD_stop_daemon(daemon);
  server->workers.reset();
  reaper_done = true;
  reaper.join();
  if (server->log && server->log != stdout) std::fclose(server->log);
  return OSTREL_NO_ERROR;
}

}  // namespace ostreld
