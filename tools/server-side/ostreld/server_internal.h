// The parts of ostreld's HTTP side and what they share.
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
//     or running (commits_in_flight counts them).  A commit's replay ends
//     (its repository closed, an unfinished commit abandoned) in a job of
//     its own once its request is complete; it counts as in flight until
//     then.
//
// The parts: connections.cpp (the listener, the connection callbacks, the
// access log and the reaper), routes.cpp (the handler: who asks, where the
// request points, which part answers), reads.cpp and read_routes.cpp (the
// read requests), commits.cpp (commits on the workers), request.cpp (the
// answers and refusals of one request, through respond.cpp's one respond()),
// config.cpp (the configuration file) and server.cpp (start, signals and
// stop).
#ifndef OSTRELD_SERVER_INTERNAL_H
#define OSTRELD_SERVER_INTERNAL_H

#include <apr_pools.h>
#include <microhttpd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "hooks.h"
#include "ostrel_repos.h"
#include "read_routes.h"
#include "replay.h"
#include "respond.h"
#include "server.h"

namespace ostreld {

using Clock = std::chrono::steady_clock;
// Connections accepted beyond max-connections only to be refused (invariant 6).
constexpr unsigned kRefusalSlots = 16;
// What a refused connection is told to wait before trying again.
constexpr unsigned kBusyRetryAfterSeconds = 5;

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
                        bool progress, bool *over = nullptr);

// Applies CHANGE to the state of CONNECTION, under the server's mutex.
template <typename Change>
void with_state(Server *server, MHD_Connection *connection, Change change) {
  std::lock_guard<std::mutex> lock(server->mutex);
  auto found = server->connections.find(connection);
  if (found != server->connections.end()) change(found->second);
}

// Whether CONNECTION is suspended (a job of its request is queued or runs).
bool is_suspended(MHD_Connection *connection);
// Whether a request declares a body (which the reaper then watches).
bool has_body(MHD_Connection *connection);

// ---- request.cpp: the answers of one request ----

// Queues ANSWER for R, and notes it for the access log.
MHD_Result send_answer(Request *r, MHD_Connection *connection, const Answer &answer);
// Answers R with STATUS and the frames BODY.
MHD_Result send(Request *r, MHD_Connection *connection, unsigned status, std::string body);
// Answers R with the failure ERR as VERDICT says; failures of the server
// (5xx) and of commits are logged with their detail.
MHD_Result send_failure_of(Request *r, MHD_Connection *connection, const ostrel_error *err,
                           const Verdict &verdict);
// The same for an error of R's own, cleared here.
MHD_Result send_failure(Request *r, MHD_Connection *connection, ostrel_error *err,
                        const Verdict &verdict);
// The same with STATUS (5xx: an internal failure).
MHD_Result send_error(Request *r, MHD_Connection *connection, unsigned status, ostrel_error *err);
// Refuses R with STATUS, the error CODE and MESSAGE.
MHD_Result refuse(Request *r, MHD_Connection *connection, unsigned status, apr_status_t code,
                  const std::string &message);
// Answers R as the gate's DECISION (not an allowing one) says.
MHD_Result refuse_as_decided(Request *r, MHD_Connection *connection, const Decision &decision);
// Refuses a request on a connection beyond max-connections (invariant 6):
// 503 with Retry-After, and the connection is closed after the answer.
MHD_Result refuse_busy(Request *r, MHD_Connection *connection);

// ---- routes.cpp: where a request points ----

struct Target {
  std::string repos;    // the repository's name, "" when the path names none
  std::string fs_path;  // decoded path inside it, "" for its root
};

// Opens the repository TARGET names (RAW is the request path, for the
// message), or says that none is there.
ostrel_error *open_repos(ostrel_repos **repos, Server *server, const Target &target,
                         const std::string &raw, apr_pool_t *pool);
// Answers a failed open_repos: 404 when no repository is there, else 500.
MHD_Result refuse_open(Request *r, MHD_Connection *connection, ostrel_error *err);
// The handler of every request (libmicrohttpd's access handler).
MHD_Result handle(void *cls, MHD_Connection *connection, const char *url, const char *method,
                  const char *version, const char *upload_data, size_t *upload_data_size,
                  void **con_cls);

// ---- reads.cpp ----

// Answers the protocol's reads (discover, youngest, node) for TARGET.
MHD_Result answer_read(Request *r, MHD_Connection *connection, const Target &target,
                       apr_pool_t *pool);

// ---- commits.cpp ----

// The first call of a commit: everything that can be refused before the
// body is read.
MHD_Result begin_commit(Request *r, MHD_Connection *connection, const Target &target,
                        apr_pool_t *pool);
// Every later call: hands the body to the workers, then answers.
MHD_Result continue_commit(Request *r, MHD_Connection *connection, const char *data,
                           std::size_t *size);

// ---- connections.cpp ----

void *on_request_line(void *cls, const char *uri, MHD_Connection *connection);
void on_completed(void *cls, MHD_Connection *connection, void **con_cls,
                  MHD_RequestTerminationCode code);
void on_connection(void *cls, MHD_Connection *connection, void **socket_context,
                   MHD_ConnectionNotificationCode code);
size_t keep_escaped(void *cls, MHD_Connection *connection, char *s);
void log_library(void *cls, const char *fmt, va_list ap);
// Listens on LISTEN (HOST:PORT); *SHOWN is the address as bound.
ostrel_error *open_listener(int *fd_out, std::string *shown, const std::string &listen);
// Raises the soft limit on open files towards NEEDED (plus what the server
// needs besides its connections), as far as the hard limit allows.
void raise_open_files_limit(unsigned needed);
// Shuts down the connections that stall (invariant 3) until DONE.
void reap(Server *server, std::atomic<bool> &done);

}  // namespace ostreld

#endif  // OSTRELD_SERVER_INTERNAL_H
