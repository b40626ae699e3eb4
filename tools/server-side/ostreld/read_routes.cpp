// The read requests of the protocol (op=list, op=file, op=props, op=log) and
// what they share with the web view: the local session, the access checks,
// cache headers and streamed bodies.
//
// Contract:
//  1. The path rules come first.  An anonymous caller refused the request's
//     path is asked to log in when that could help (the same whether the
//     path exists or not).  Otherwise the request goes on, and the session's
//     may_read hides every path the caller may not read, so asking for one
//     reads exactly as asking for a missing one; a caller who may read
//     neither the path nor the repository's root is told that no repository
//     is there, as for a name that none has.
//  2. Listings, logs and file contents are streamed: a thread of the answer
//     writes them into a pipe that libmicrohttpd reads, so a slow client
//     holds the writer back and memory stays flat.  What can fail before
//     the first byte (a missing path, a bad revision) is settled first, so
//     it gets its own status; a failure later ends the body with the error
//     frames, and the client refuses the answer.
//  3. Answers about a fixed revision carry an ETag and "immutable", and a
//     matching If-None-Match gets 304.

#include <apr_strings.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <thread>

#include "http_input.h"
#include "ostrel_path.h"
#include "ostrel_pools.h"
#include "answers.h"
#include "read_context.h"
#include "replay.h"

namespace ostreld {

namespace {

namespace frame = ostrel_wire::frame;
using ostrel_wire::put;
constexpr const char *kFramesType = "application/x-ostrel-frames";
// Contents travel in frames of at most this many bytes.
constexpr std::size_t kDataFrame = 256u << 10;
// The streamed body is handed to the pipe in pieces of about this size.
constexpr std::size_t kPipePiece = 64u << 10;

bool may_read(void *baton, const char *fs_path) {
  auto *route = static_cast<const ReadRoute *>(baton);
  return route->gate->refusal(*route->identity, route->repos, fs_path, Access::read).empty();
}


MHD_Result send_frames_error(ReadContext &ctx, ostrel_error *err) {
  unsigned status = status_for(err);
  std::string body = error_answer(err, ctx.local_root, ctx.route->public_root);
  ostrel_error_clear(err);
  return send_whole(ctx, status, std::move(body), kFramesType);
}

std::string version_frame() {
  std::string out;
  ostrel_wire::put_version(out);
  return out;
}

ostrel_wire::Opt opt(const char *text) {
  return text ? ostrel_wire::Opt(text) : std::nullopt;
}

void encode_entry(std::string &out, const char *relpath, const ostrel_ra_dirent *d) {
  put(out, frame::ListEntry{relpath, ostrel_wire::kind_word(d->kind), d->size, d->created_rev,
                            opt(d->last_author), opt(d->time)});
}

// The revision argument NAME: -1 (the youngest) when absent.
ostrel_error *rev_arg(ostrel_revnum *rev, const ReadContext &ctx, const char *name) {
  const char *text = ctx.arg(name);
  long long value = -1;
  if (text && !parse_query_number(text, -1, OSTREL_REVNUM_MAX, &value))
    return ostrel_error_createf(OSTREL_ERR_BAD_REVISION, nullptr, "Invalid revision '%s'",
                                ostrel_path_uri_autoescape(text, ctx.pool));
  *rev = static_cast<ostrel_revnum>(value);
  return OSTREL_NO_ERROR;
}

std::string caller_word(const ReadContext &ctx) {
  return ctx.route->identity->anonymous ? "-" : "u:" + ctx.route->identity->user;
}

// A stop asked for by a writer whose reader went away.
ostrel_error *reader_gone() {
  return ostrel_error_create(OSTREL_ERR_CANCELLED, nullptr, "The client went away");
}

// The frames of a streamed answer, handed to the writer in pieces.
struct FrameBatch {
  const BodyWriter &write;
  std::string out;

  // Passes the frames on once there are enough of them.
  ostrel_error *flush_if_full() {
    if (out.size() < kPipePiece) return OSTREL_NO_ERROR;
    bool ok = write(out.data(), out.size());
    out.clear();
    return ok ? OSTREL_NO_ERROR : reader_gone();
  }
  // Ends the answer: the end frame, or the frames of ERR (cleared).
  void finish(ostrel_error *err, const ReadContext &ctx) {
    if (err)
      ostrel_wire::put_error_chain(out, err, ctx.local_root, ctx.route->public_root);
    else
      put(out, frame::End{});
    ostrel_error_clear(err);
    write(out.data(), out.size());
  }
};

// ---- op=list ----

MHD_Result answer_list(ReadContext &ctx) {
  ostrel_revnum rev;
  long long depth = 1;
  if (ostrel_error *err = rev_arg(&rev, ctx, "rev")) return send_frames_error(ctx, err);
  if (ctx.has_arg("depth") && !parse_query_number(ctx.arg("depth"), 0, 2, &depth))
    return send_frames_error(ctx, ostrel_error_create(OSTREL_ERR_BAD_ARGUMENTS, nullptr,
                                                      "A listing's depth is 0, 1 or 2"));
  // The node itself first: a missing path gets its own status.
  ostrel_revnum fetched = rev;
  ostrel_node_kind kind = ostrel_node_none;
  auto note_kind = [](void *baton, const char *, const ostrel_ra_dirent *d, apr_pool_t *) {
    *static_cast<ostrel_node_kind *>(baton) = d->kind;
    return OSTREL_NO_ERROR;
  };
  const char *path = ctx.route->fs_path.c_str();
  if (ostrel_error *err = ostrel_ra_list(ctx.session, path, rev, ostrel_ra_depth_empty, note_kind,
                                         &kind, &fetched, ctx.pool))
    return send_frames_error(ctx, err);
  bool fixed = rev >= 0;
  std::string etag = fixed ? make_etag("list " + ctx.fs_path() + " " + std::to_string(depth) +
                                       " " + std::to_string(fetched) + " " + caller_word(ctx))
                           : "";
  if (fixed && not_modified(ctx, etag)) return send_not_modified(ctx, fixed, etag);
  auto produce = [fetched, depth](ReadContext &ctx, const BodyWriter &write) {
    FrameBatch batch{write, version_frame()};
    put(batch.out, frame::Revision{fetched});
    auto receive = [](void *b, const char *relpath, const ostrel_ra_dirent *d,
                      apr_pool_t *) -> ostrel_error * {
      auto *frames = static_cast<FrameBatch *>(b);
      encode_entry(frames->out, relpath, d);
      return frames->flush_if_full();
    };
    batch.finish(ostrel_ra_list(ctx.session, ctx.route->fs_path.c_str(), fetched,
                                static_cast<ostrel_ra_depth>(depth), receive, &batch, nullptr,
                                ctx.pool),
                 ctx);
  };
  return send_streamed(ctx, MHD_HTTP_OK, -1, kFramesType, produce,
                       [&](MHD_Response *r) { add_cache_headers(r, ctx, fixed, etag); });
}

// ---- op=file and op=props ----

// One frame of kind F (a name and a value) per property of PROPS.
template <typename F>
void encode_props(std::string &out, apr_hash_t *props, apr_pool_t *pool) {
  for (apr_hash_index_t *hi = apr_hash_first(pool, props); hi; hi = apr_hash_next(hi)) {
    const void *key;
    void *val;
    apr_hash_this(hi, &key, nullptr, &val);
    auto *value = static_cast<const ostrel_string *>(val);
    put(out, F{static_cast<const char *>(key), ostrel_wire::Str(value->data, value->len)});
  }
}

// The last-changed revision of PATH at REV (which must exist).
ostrel_error *created_rev(ostrel_revnum *out, ReadContext &ctx, ostrel_revnum rev) {
  auto note = [](void *baton, const char *, const ostrel_ra_dirent *d, apr_pool_t *) {
    *static_cast<ostrel_revnum *>(baton) = d->created_rev;
    return OSTREL_NO_ERROR;
  };
  return ostrel_ra_list(ctx.session, ctx.route->fs_path.c_str(), rev, ostrel_ra_depth_empty, note,
                        out, nullptr, ctx.pool);
}

MHD_Result answer_file(ReadContext &ctx, bool contents) {
  ostrel_revnum rev, fetched = -1, changed = -1;
  if (ostrel_error *err = rev_arg(&rev, ctx, "rev")) return send_frames_error(ctx, err);
  apr_hash_t *props = nullptr;
  const char *path = ctx.route->fs_path.c_str();
  ostrel_error *err =
      contents ? ostrel_ra_get_file(ctx.session, path, rev, nullptr, &fetched, &props, ctx.pool)
               : ostrel_ra_get_props(ctx.session, path, rev, &props, &fetched, ctx.pool);
  if (!err) err = created_rev(&changed, ctx, fetched);
  if (err) return send_frames_error(ctx, err);
  bool fixed = rev >= 0;
  // A node's contents and properties are those of its last change, whatever
  // revision names it.
  std::string etag = make_etag(std::string(contents ? "file " : "props ") + ctx.fs_path() + " " +
                               std::to_string(changed) + " " + caller_word(ctx));
  if (not_modified(ctx, etag)) return send_not_modified(ctx, fixed, etag);
  std::string head = version_frame();
  put(head, frame::Revision{fetched});
  encode_props<frame::NodeProp>(head, props, ctx.pool);
  auto hook = [&](MHD_Response *r) { add_cache_headers(r, ctx, fixed, etag); };
  if (!contents) {
    put(head, frame::End{});
    return send_whole(ctx, MHD_HTTP_OK, std::move(head), kFramesType, hook);
  }
  auto produce = [fetched, head](ReadContext &ctx, const BodyWriter &write) {
    if (!write(head.data(), head.size())) return;
    struct Baton {
      const BodyWriter &write;
      std::string frame;
    } baton{write, {}};
    ostrel_stream *out = ostrel_stream_create(&baton, ctx.pool);
    ostrel_stream_set_write(out, [](void *b, const char *data, apr_size_t *len) -> ostrel_error * {
      auto *bb = static_cast<Baton *>(b);
      for (apr_size_t at = 0; at < *len; at += kDataFrame) {
        std::size_t n = std::min<std::size_t>(kDataFrame, *len - at);
        bb->frame.clear();
        put(bb->frame, frame::Data{ostrel_wire::Str(data + at, n)});
        if (!bb->write(bb->frame.data(), bb->frame.size())) return reader_gone();
      }
      return OSTREL_NO_ERROR;
    });
    FrameBatch tail{write, {}};
    tail.finish(ostrel_ra_get_file(ctx.session, ctx.route->fs_path.c_str(), fetched, out, nullptr,
                                   nullptr, ctx.pool),
                ctx);
  };
  return send_streamed(ctx, MHD_HTTP_OK, -1, kFramesType, produce, hook);
}

// ---- op=log ----

void encode_log_entry(std::string &out, const ostrel_ra_log_entry *entry, apr_pool_t *pool) {
  put(out, frame::LogEntry{entry->revision});
  encode_props<frame::Revprop>(out, entry->revprops, pool);
  if (!entry->changed_paths) return;
  for (apr_hash_index_t *hi = apr_hash_first(pool, entry->changed_paths); hi;
       hi = apr_hash_next(hi)) {
    const void *key;
    void *val;
    apr_hash_this(hi, &key, nullptr, &val);
    auto *change = static_cast<const ostrel_path_change *>(val);
    static const char *const kActions[] = {"M", "A", "D", "R"};
    put(out, frame::Changed{static_cast<const char *>(key), kActions[change->change_kind],
                            ostrel_wire::kind_word(change->node_kind), change->text_mod ? 1 : 0,
                            change->prop_mod ? 1 : 0, opt(change->copyfrom_path),
                            change->copyfrom_rev});
  }
}

MHD_Result answer_log(ReadContext &ctx) {
  ostrel_revnum start, end;
  long long limit = 0;
  if (ostrel_error *err = rev_arg(&start, ctx, "start")) return send_frames_error(ctx, err);
  if (ostrel_error *err = rev_arg(&end, ctx, "end")) return send_frames_error(ctx, err);
  if (ctx.has_arg("limit") && !parse_query_number(ctx.arg("limit"), 0, INT32_MAX, &limit))
    return send_frames_error(ctx, ostrel_error_create(OSTREL_ERR_BAD_ARGUMENTS, nullptr,
                                                      "A log's limit is a number"));
  bool changed = ctx.arg("changed") && std::strcmp(ctx.arg("changed"), "1") == 0;
  for (ostrel_revnum r : {start, end})
    if (r > ctx.youngest)
      return send_frames_error(
          ctx, ostrel_error_createf(OSTREL_ERR_FS_NO_SUCH_REVISION, nullptr,
                                    "No such revision %ld (youngest is %ld)",
                                    static_cast<long>(r), static_cast<long>(ctx.youngest)));
  bool fixed = start >= 0 && end >= 0;
  std::string etag =
      fixed ? make_etag("log " + ctx.fs_path() + " " + std::to_string(start) + " " +
                        std::to_string(end) + " " + std::to_string(limit) + " " +
                        (changed ? "1" : "0") + " " + caller_word(ctx))
            : "";
  if (fixed && not_modified(ctx, etag)) return send_not_modified(ctx, fixed, etag);
  auto produce = [start, end, limit, changed](ReadContext &ctx, const BodyWriter &write) {
    FrameBatch batch{write, version_frame()};
    auto receive = [](void *b, const ostrel_ra_log_entry *entry,
                      apr_pool_t *pool) -> ostrel_error * {
      auto *frames = static_cast<FrameBatch *>(b);
      encode_log_entry(frames->out, entry, pool);
      return frames->flush_if_full();
    };
    batch.finish(ostrel_ra_get_log(ctx.session, ctx.route->fs_path.c_str(), start, end,
                                   static_cast<int>(limit), changed, receive, &batch, ctx.pool),
                 ctx);
  };
  return send_streamed(ctx, MHD_HTTP_OK, -1, kFramesType, produce,
                       [&](MHD_Response *r) { add_cache_headers(r, ctx, fixed, etag); });
}

// ---- Streamed bodies ----

// The writer thread fills the pipe; the event loop drains it into the
// connection without ever waiting: when the pipe is empty the connection is
// suspended, and the writer resumes it once it has written more (or ended).
struct StreamJob {
  std::unique_ptr<ReadContext> ctx;  // owns the pool, hence the session
  MHD_Connection *connection = nullptr;
  StreamSlots *slots = nullptr;
  std::string address;
  int read_fd = -1, write_fd = -1;
  std::thread producer;
  std::mutex mutex;          // guards waiting and written
  bool waiting = false;      // the connection is suspended until the writer writes
  bool written = false;      // the writer wrote since the reader last found the pipe empty
};

// The writer wrote something (or closed the pipe): a waiting reader goes on.
void wake_reader(StreamJob *job) {
  bool resume = false;
  {
    std::lock_guard<std::mutex> lock(job->mutex);
    job->written = true;
    resume = job->waiting;
    job->waiting = false;
  }
  if (resume) {
    job->slots->suspended(-1);
    MHD_resume_connection(job->connection);
  }
}

ssize_t read_piece(void *cls, uint64_t, char *buf, size_t max) {
  auto *job = static_cast<StreamJob *>(cls);
  for (;;) {
    ssize_t n = read(job->read_fd, buf, max);
    if (n > 0) return n;
    if (n == 0) return MHD_CONTENT_READER_END_OF_STREAM;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return MHD_CONTENT_READER_END_WITH_ERROR;
    std::lock_guard<std::mutex> lock(job->mutex);
    if (job->written) {  // written after the read: try again
      job->written = false;
      continue;
    }
    // Suspended under the lock, so that the writer's resume comes after.
    job->waiting = true;
    job->slots->suspended(+1);
    MHD_suspend_connection(job->connection);
    return 0;
  }
}

void end_job(void *cls) {
  auto *job = static_cast<StreamJob *>(cls);
  // Closing the read end makes a producer still writing fail and stop.
  close(job->read_fd);
  if (job->producer.joinable()) job->producer.join();
  apr_pool_destroy(job->ctx->pool);
  job->slots->release(job->address);
  delete job;
}

bool write_all(int fd, const char *data, std::size_t len) {
  while (len) {
    ssize_t n = write(fd, data, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    len -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

// ---- Shared with the web view ----

const char *ReadContext::arg(const char *name) const {
  // An argument without a value ("?log") is there, with an empty value.
  const char *value = nullptr;
  size_t size = 0;
  if (MHD_lookup_connection_value_n(route->connection, MHD_GET_ARGUMENT_KIND, name,
                                    std::strlen(name), &value, &size) != MHD_YES)
    return nullptr;
  return value ? value : "";
}

unsigned status_for(const ostrel_error *err) {
  for (const ostrel_error *link = err; link; link = link->child) {
    switch (link->apr_err) {
      case OSTREL_ERR_FS_NOT_FOUND:
      case OSTREL_ERR_FS_NO_SUCH_REVISION:
      case OSTREL_ERR_RA_NO_REPOSITORY:
        return MHD_HTTP_NOT_FOUND;
      case OSTREL_ERR_BAD_REVISION:
      case OSTREL_ERR_BAD_PATH:
      case OSTREL_ERR_BAD_ARGUMENTS:
      case OSTREL_ERR_RA_BAD_REQUEST:
      case OSTREL_ERR_FS_NOT_FILE:
      case OSTREL_ERR_FS_NOT_DIRECTORY:
        return MHD_HTTP_BAD_REQUEST;
      default:
        break;
    }
  }
  return MHD_HTTP_INTERNAL_SERVER_ERROR;
}

void add_security_headers(MHD_Response *response) {
  // Pages need no script and load nothing from elsewhere; raw contents are
  // sandboxed, so an HTML file in a repository runs nothing on this origin.
  MHD_add_response_header(response, "Content-Security-Policy",
                          "default-src 'none'; style-src 'unsafe-inline'; img-src 'self'; "
                          "base-uri 'none'; form-action 'none'; frame-ancestors 'none'; sandbox "
                          "allow-same-origin allow-popups allow-downloads");
  MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
  MHD_add_response_header(response, "X-Frame-Options", "DENY");
  MHD_add_response_header(response, "Referrer-Policy", "same-origin");
}

void add_cache_headers(MHD_Response *response, const ReadContext &ctx, bool fixed,
                       const std::string &etag) {
  if (!etag.empty()) MHD_add_response_header(response, MHD_HTTP_HEADER_ETAG, etag.c_str());
  if (fixed)
    MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL,
                            ctx.route->identity->anonymous
                                ? "public, max-age=31536000, immutable"
                                : "private, max-age=31536000, immutable");
  else
    MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL,
                            ctx.route->identity->anonymous ? "no-cache" : "private, no-cache");
  MHD_add_response_header(response, MHD_HTTP_HEADER_VARY, "Accept, Authorization");
}

bool not_modified(const ReadContext &ctx, const std::string &etag) {
  const char *given = MHD_lookup_connection_value(ctx.route->connection, MHD_HEADER_KIND,
                                                  MHD_HTTP_HEADER_IF_NONE_MATCH);
  if (!given || etag.empty()) return false;
  std::string_view list(given);
  if (list.find('*') != std::string_view::npos) return true;
  std::string weak = "W/" + etag;
  for (std::size_t at = 0; at < list.size();) {
    std::size_t comma = list.find(',', at);
    std::string_view one = list.substr(at, comma == std::string_view::npos ? list.npos : comma - at);
    while (!one.empty() && one.front() == ' ') one.remove_prefix(1);
    while (!one.empty() && one.back() == ' ') one.remove_suffix(1);
    if (one == etag || one == weak) return true;
    if (comma == std::string_view::npos) break;
    at = comma + 1;
  }
  return false;
}

std::string make_etag(const std::string &what) {
  // FNV-1a, 64 bits: entity tags need to differ, not to resist forgery.
  std::uint64_t h = 14695981039346656037ull;
  for (unsigned char c : what) {
    h ^= c;
    h *= 1099511628211ull;
  }
  char buf[24];
  std::snprintf(buf, sizeof buf, "\"%016llx\"", static_cast<unsigned long long>(h));
  return buf;
}

MHD_Result send_whole(ReadContext &ctx, unsigned status, std::string body,
                      const char *content_type,
                      const std::function<void(MHD_Response *)> &response_hook) {
  MHD_Response *response = MHD_create_response_from_buffer(
      body.size(), const_cast<char *>(body.data()), MHD_RESPMEM_MUST_COPY);
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, content_type);
  add_security_headers(response);
  if (response_hook) response_hook(response);
  MHD_Result ret = MHD_queue_response(ctx.route->connection, status, response);
  MHD_destroy_response(response);
  ctx.route->status = status;
  ctx.route->bytes_out = ctx.route->head ? 0 : body.size();
  return ret;
}

MHD_Result send_not_modified(ReadContext &ctx, bool fixed, const std::string &etag) {
  MHD_Response *response = MHD_create_response_from_buffer(0, nullptr, MHD_RESPMEM_PERSISTENT);
  add_cache_headers(response, ctx, fixed, etag);
  MHD_Result ret = MHD_queue_response(ctx.route->connection, MHD_HTTP_NOT_MODIFIED, response);
  MHD_destroy_response(response);
  ctx.route->status = MHD_HTTP_NOT_MODIFIED;
  return ret;
}

MHD_Result send_streamed(ReadContext &ctx, unsigned status, long long size,
                         const char *content_type,
                         Producer produce,
                         const std::function<void(MHD_Response *)> &response_hook) {
  static StreamSlots unbounded(~0u, ~0u);  // for a route given no slots (unit tests)
  StreamSlots *slots = ctx.route->streams ? ctx.route->streams : &unbounded;
  if (!slots->acquire(ctx.route->client)) {
    ostrel_error *err = ostrel_error_create(
        OSTREL_ERR_RA_CONNECTION, nullptr,
        "The server is busy: too many answers are being sent at once; try again in 2 s");
    std::string body = error_answer(err);
    ostrel_error_clear(err);
    return send_whole(ctx, MHD_HTTP_SERVICE_UNAVAILABLE, std::move(body), kFramesType,
                      [](MHD_Response *r) {
                        MHD_add_response_header(r, MHD_HTTP_HEADER_RETRY_AFTER, "2");
                      });
  }
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    slots->release(ctx.route->client);
    return send_frames_error(ctx, ostrel_error_from_errno(errno, "Can't make a pipe"));
  }
  fcntl(fds[0], F_SETFL, O_NONBLOCK);
  // Larger pipe buffers: fewer wake-ups per megabyte (best effort).
  fcntl(fds[1], F_SETPIPE_SZ, 1 << 20);
  auto *job = new StreamJob;
  job->ctx = std::make_unique<ReadContext>(ctx);
  job->connection = ctx.route->connection;
  job->slots = slots;
  job->address = ctx.route->client;
  job->read_fd = fds[0];
  job->write_fd = fds[1];
  ReadContext *owned = job->ctx.get();
  MHD_Response *response = MHD_create_response_from_callback(
      size < 0 ? MHD_SIZE_UNKNOWN : static_cast<uint64_t>(size), kPipePiece, read_piece, job,
      end_job);
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, content_type);
  add_security_headers(response);
  if (response_hook) response_hook(response);
  // The producer works on the job's own copy of the context from here on;
  // this thread touches neither the pool nor the session again.
  job->producer = std::thread([owned, job, produce = std::move(produce)] {
    std::string pending;
    BodyWriter write = [&pending, job](const char *data, std::size_t len) {
      pending.append(data, len);
      if (pending.size() < kPipePiece) return true;
      bool ok = write_all(job->write_fd, pending.data(), pending.size());
      pending.clear();
      wake_reader(job);
      return ok;
    };
    produce(*owned, write);
    write_all(job->write_fd, pending.data(), pending.size());
    close(job->write_fd);
    wake_reader(job);
  });
  ctx.route->status = status;
  ctx.route->bytes_out = size < 0 ? 0 : static_cast<unsigned long long>(size);
  // The job owns the pool now.
  ctx.pool = nullptr;
  MHD_Result ret = MHD_queue_response(ctx.route->connection, status, response);
  MHD_destroy_response(response);
  return ret;
}

bool StreamSlots::acquire(const std::string &address) {
  std::lock_guard<std::mutex> lock(mutex_);
  unsigned &mine = per_address_[address];
  if (total_ >= max_total_ || mine >= max_per_address_) {
    if (mine == 0) per_address_.erase(address);
    return false;
  }
  total_++;
  mine++;
  return true;
}

void StreamSlots::release(const std::string &address) {
  std::lock_guard<std::mutex> lock(mutex_);
  total_--;
  auto found = per_address_.find(address);
  if (found != per_address_.end() && --found->second == 0) per_address_.erase(found);
}

void StreamSlots::suspended(int delta) {
  std::lock_guard<std::mutex> lock(mutex_);
  suspended_ += delta;
  if (suspended_ == 0) none_suspended_.notify_all();
}

void StreamSlots::wait_unsuspended() {
  std::unique_lock<std::mutex> lock(mutex_);
  none_suspended_.wait(lock, [this] { return suspended_ == 0; });
}

// ---- The entry point ----

bool is_read_route(const std::string &op) {
  return op.empty() || op == "list" || op == "file" || op == "props" || op == "log";
}

namespace {

// The request as the answer keeps it: a streamed answer outlives the
// handler's call, so it works on copies that its pool owns.
struct OwnedRoute {
  ReadRoute route;
  Identity identity;
};

MHD_Result answer_owned(ReadContext &ctx);

}  // namespace

MHD_Result answer_read_route(ReadRoute &caller_route) {
  ReadContext ctx;
  ctx.pool = ostrel_pool_create(nullptr);
  auto *owned = new OwnedRoute{caller_route, *caller_route.identity};
  owned->route.identity = &owned->identity;
  apr_pool_cleanup_register(
      ctx.pool, owned,
      [](void *data) -> apr_status_t {
        delete static_cast<OwnedRoute *>(data);
        return APR_SUCCESS;
      },
      apr_pool_cleanup_null);
  ctx.route = &owned->route;
  MHD_Result ret = answer_owned(ctx);
  caller_route.status = owned->route.status;
  caller_route.bytes_out = owned->route.bytes_out;
  // A streamed answer took the pool over; any other answer is done with it.
  if (ctx.pool) apr_pool_destroy(ctx.pool);
  return ret;
}

namespace {

MHD_Result answer_owned(ReadContext &ctx) {
  ReadRoute &route = *ctx.route;
  const bool web = route.op.empty();
  auto fail = [&](ostrel_error *err) {
    return web ? send_web_error(ctx, err) : send_frames_error(ctx, err);
  };
  std::string path = "/" + route.fs_path;
  const Decision decision = route.gate->authorize(*route.identity, route.repos, path, Access::read);
  if (decision.kind == Decision::Kind::ask_credentials) {
    // The protocol's clients read the error frames; a browser shows the text.
    const std::string &message = decision.message;
    ostrel_error *err = ostrel_error_create(OSTREL_ERR_RA_NOT_AUTHORIZED, nullptr, message.c_str());
    std::string body = web ? message + "\n" : error_answer(err);
    ostrel_error_clear(err);
    MHD_Response *response = MHD_create_response_from_buffer(
        body.size(), const_cast<char *>(body.data()), MHD_RESPMEM_MUST_COPY);
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE,
                            web ? "text/plain; charset=utf-8" : kFramesType);
    add_security_headers(response);
    MHD_Result ret =
        MHD_queue_basic_auth_fail_response(route.connection, decision.realm.c_str(), response);
    MHD_destroy_response(response);
    route.status = MHD_HTTP_UNAUTHORIZED;
    route.bytes_out = body.size();
    return ret;
  }
  struct stat st;
  bool hidden = !decision.allowed() &&
                !route.gate->refusal(*route.identity, route.repos, "/", Access::read).empty();
  if (route.repos.empty() || hidden || ::stat((route.repos_dir + "/format").c_str(), &st) != 0)
    return fail(ostrel_error_createf(
        OSTREL_ERR_RA_NO_REPOSITORY, nullptr, "No repository is served at '%s'",
        ostrel_path_uri_autoescape(route.request_path.c_str(), ctx.pool)));

  const char *root_url = nullptr;
  ostrel_ra_callbacks *callbacks = nullptr;
  ostrel_error *err = ostrel_uri_get_file_url_from_dirent(&root_url, route.repos_dir.c_str(),
                                                          ctx.pool);
  if (!err) err = ostrel_ra_create_callbacks(&callbacks, ctx.pool);
  if (!err) {
    callbacks->may_read = may_read;
    ctx.local_root = root_url;
    err = ostrel_ra_open4(&ctx.session, nullptr, root_url, nullptr, callbacks, &route, nullptr,
                          ctx.pool);
  }
  if (!err) err = ostrel_ra_get_latest_revnum(ctx.session, &ctx.youngest, ctx.pool);
  if (err) return fail(err);

  if (web) return answer_web_view(ctx);
  if (route.op == "list") return answer_list(ctx);
  if (route.op == "log") return answer_log(ctx);
  return answer_file(ctx, route.op == "file");
}

}  // namespace

}  // namespace ostreld
