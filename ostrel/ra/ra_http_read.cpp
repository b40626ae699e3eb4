// The read calls of the http access module: each is one GET whose answer
// (PROTOCOL.md, "Reading") is checked frame by frame as it streams in and
// handed on at once (entries to the receiver, contents to the stream), so
// the client holds at most one frame of it.  An answer that ends before its
// end frame is an error: a listing or a file is never silently cut short.

#include <apr_strings.h>

#include <cstring>
#include <string>

#include "ostrel_path.h"
#include "ostrel_pools.h"
#include "ra_http_read.h"
#include "ra_local.h"
#include "read_answer.h"

namespace {

using ostrel_wire::Frame;
using ostrel_wire::ReadAnswer;
using ostrel_wire::Status;
namespace rtag = ostrel_wire::read_tag;

// Frames carry contents of at most this many bytes, and nothing larger is
// accepted.
constexpr std::size_t kMaxReadFrame = 4u << 20;

bool parse_kind(std::string_view text, ostrel_node_kind &kind) {
  if (text == "dir")
    kind = ostrel_node_dir;
  else if (text == "file")
    kind = ostrel_node_file;
  else
    return false;
  return true;
}

const char *copy_opt(const std::optional<std::string_view> &item, apr_pool_t *pool) {
  return item ? apr_pstrmemdup(pool, item->data(), item->size()) : nullptr;
}

long long num(const Frame &f, std::size_t i) { return ostrel_wire::number(f, i); }

// What every read request shares: the URL, the answer being checked, and
// what the frames go to.
struct ReadRequest {
  const char *url = nullptr;
  ReadAnswer answer{kMaxReadFrame};
  ostrel_revnum *fetched_rev = nullptr;
  // Handles one content frame; set by each call.
  ostrel_error *(*on_frame)(ReadRequest *request, const Frame &frame) = nullptr;
  void *baton = nullptr;

  ostrel_error *bad(const std::string &why) const {
    return ostrel_error_createf(OSTREL_ERR_RA_BAD_ANSWER, nullptr,
                                "Malformed answer from the server at URL '%s': %s", url,
                                why.c_str());
  }
};

ostrel_error *sink(void *baton, const char *data, std::size_t len) {
  auto *request = static_cast<ReadRequest *>(baton);
  request->answer.feed(data, len);
  Frame frame;
  Status status;
  while ((status = request->answer.next(frame)) == Status::frame) {
    if (frame.tag == rtag::kRevision) {
      if (request->fetched_rev) *request->fetched_rev = static_cast<ostrel_revnum>(num(frame, 0));
      continue;
    }
    if (frame.tag == rtag::kEnd) continue;
    OSTREL_ERR(request->on_frame(request, frame));
  }
  if (status == Status::error) return request->bad(request->answer.error());
  return OSTREL_NO_ERROR;
}

// Runs REQUEST as GET of PATH (below the session URL) with QUERY.
ostrel_error *run(ReadRequest &request, ostrel_ra_session *session, const char *path,
                  const std::string &query, apr_pool_t *pool) {
  request.url = ostrel_uri_join_relpath(session->session_url, path, pool);
  OSTREL_ERR(ostrel_ra_http::get_streamed(session, request.url, query, request.url, sink,
                                          &request));
  const auto &links = request.answer.links();
  if (!links.empty()) {
    ostrel_error *err = nullptr;
    for (auto it = links.rbegin(); it != links.rend(); ++it)
      err = ostrel_error_create(static_cast<apr_status_t>(it->first), err, it->second.c_str());
    return err;
  }
  if (!request.answer.complete()) return request.bad("the answer ends early");
  return OSTREL_NO_ERROR;
}

std::string rev_query(const char *op, ostrel_revnum revision) {
  return std::string("op=") + op + "&rev=" + std::to_string(revision);
}

// ---- Listings ----

struct ListBaton {
  ostrel_ra_dirent_receiver receiver;
  void *baton;
  apr_pool_t *iterpool;
};

ostrel_error *on_list_frame(ReadRequest *request, const Frame &f) {
  auto *b = static_cast<ListBaton *>(request->baton);
  if (f.tag != rtag::kListEntry) return request->bad("unexpected frame in a listing");
  apr_pool_clear(b->iterpool);
  ostrel_ra_dirent dirent;
  if (!parse_kind(*f.items[1], dirent.kind)) return request->bad("unknown node kind");
  dirent.size = num(f, 2);
  dirent.created_rev = static_cast<ostrel_revnum>(num(f, 3));
  dirent.last_author = copy_opt(f.items[4], b->iterpool);
  dirent.time = copy_opt(f.items[5], b->iterpool);
  const char *relpath = copy_opt(f.items[0], b->iterpool);
  // A relpath from the server is checked as one from a caller: the
  // receiver may join it onto local paths.
  if (*relpath && ostrel_relpath_check(relpath) != OSTREL_NO_ERROR)
    return request->bad("a listed path is not a valid path");
  return b->receiver(b->baton, relpath, &dirent, b->iterpool);
}

ostrel_error *http_list(ostrel_ra_session *session, const char *path, ostrel_revnum revision,
                        ostrel_ra_depth depth, ostrel_ra_dirent_receiver receiver, void *baton,
                        ostrel_revnum *fetched_rev, apr_pool_t *pool) {
  ListBaton b{receiver, baton, ostrel_pool_create(pool)};
  ReadRequest request;
  request.fetched_rev = fetched_rev;
  request.on_frame = on_list_frame;
  request.baton = &b;
  ostrel_error *err = run(request, session, path,
                          rev_query("list", revision) + "&depth=" +
                              std::to_string(static_cast<int>(depth)),
                          pool);
  apr_pool_destroy(b.iterpool);
  return err;
}

// ---- Files and properties ----

struct FileBaton {
  ostrel_stream *stream;
  apr_hash_t *props;
  apr_pool_t *pool;
};

ostrel_error *on_file_frame(ReadRequest *request, const Frame &f) {
  auto *b = static_cast<FileBaton *>(request->baton);
  if (f.tag == rtag::kNodeProp) {
    if (b->props)
      apr_hash_set(b->props, copy_opt(f.items[0], b->pool), APR_HASH_KEY_STRING,
                   ostrel_string_ncreate(f.items[1]->data(), f.items[1]->size(), b->pool));
    return OSTREL_NO_ERROR;
  }
  if (f.tag != rtag::kData) return request->bad("unexpected frame in a file's answer");
  if (!b->stream) return OSTREL_NO_ERROR;
  apr_size_t len = f.items[0]->size();
  return ostrel_stream_write(b->stream, f.items[0]->data(), &len);
}

ostrel_error *http_get_file(ostrel_ra_session *session, const char *path, ostrel_revnum revision,
                            ostrel_stream *stream, ostrel_revnum *fetched_rev, apr_hash_t **props,
                            apr_pool_t *pool) {
  FileBaton b{stream, props ? apr_hash_make(pool) : nullptr, pool};
  ReadRequest request;
  request.fetched_rev = fetched_rev;
  request.on_frame = on_file_frame;
  request.baton = &b;
  OSTREL_ERR(run(request, session, path, rev_query("file", revision), pool));
  if (props) *props = b.props;
  return OSTREL_NO_ERROR;
}

ostrel_error *http_get_props(ostrel_ra_session *session, const char *path, ostrel_revnum revision,
                             apr_hash_t **props, ostrel_revnum *fetched_rev, apr_pool_t *pool) {
  FileBaton b{nullptr, apr_hash_make(pool), pool};
  ReadRequest request;
  request.fetched_rev = fetched_rev;
  request.on_frame = on_file_frame;
  request.baton = &b;
  OSTREL_ERR(run(request, session, path, rev_query("props", revision), pool));
  *props = b.props;
  return OSTREL_NO_ERROR;
}

// ---- Logs ----

struct LogBaton {
  ostrel_ra_log_receiver receiver;
  void *baton;
  bool changed_paths;
  apr_pool_t *entry_pool;
  bool pending = false;
  ostrel_ra_log_entry entry{};
};

// Hands the entry being gathered to the receiver.
ostrel_error *deliver(LogBaton *b) {
  if (!b->pending) return OSTREL_NO_ERROR;
  b->pending = false;
  OSTREL_ERR(b->receiver(b->baton, &b->entry, b->entry_pool));
  apr_pool_clear(b->entry_pool);
  return OSTREL_NO_ERROR;
}

ostrel_error *parse_change(ostrel_path_change *change, ReadRequest *request, const Frame &f,
                           apr_pool_t *pool) {
  static const char kActions[] = "MADR";
  const std::string_view action = *f.items[1];
  const char *at = action.size() == 1 ? std::strchr(kActions, action[0]) : nullptr;
  if (!at || !*at) return request->bad("unknown change action");
  change->change_kind = static_cast<ostrel_fs_path_change_kind>(at - kActions);
  if (!parse_kind(*f.items[2], change->node_kind)) return request->bad("unknown node kind");
  change->text_mod = num(f, 3) != 0;
  change->prop_mod = num(f, 4) != 0;
  change->copyfrom_path = copy_opt(f.items[5], pool);
  change->copyfrom_rev = static_cast<ostrel_revnum>(num(f, 6));
  return OSTREL_NO_ERROR;
}

ostrel_error *on_log_frame(ReadRequest *request, const Frame &f) {
  auto *b = static_cast<LogBaton *>(request->baton);
  if (f.tag == rtag::kLogEntry) {
    OSTREL_ERR(deliver(b));
    b->pending = true;
    b->entry.revision = static_cast<ostrel_revnum>(num(f, 0));
    b->entry.revprops = apr_hash_make(b->entry_pool);
    b->entry.changed_paths = b->changed_paths ? apr_hash_make(b->entry_pool) : nullptr;
    return OSTREL_NO_ERROR;
  }
  if (!b->pending) return request->bad("a log frame before its entry");
  if (f.tag == ostrel_wire::tag::kRevprop) {
    if (f.items[1])
      apr_hash_set(b->entry.revprops, copy_opt(f.items[0], b->entry_pool), APR_HASH_KEY_STRING,
                   ostrel_string_ncreate(f.items[1]->data(), f.items[1]->size(), b->entry_pool));
    return OSTREL_NO_ERROR;
  }
  if (f.tag != rtag::kChanged) return request->bad("unexpected frame in a log");
  if (!b->entry.changed_paths) return OSTREL_NO_ERROR;
  auto *change =
      static_cast<ostrel_path_change *>(apr_pcalloc(b->entry_pool, sizeof(ostrel_path_change)));
  OSTREL_ERR(parse_change(change, request, f, b->entry_pool));
  apr_hash_set(b->entry.changed_paths, copy_opt(f.items[0], b->entry_pool), APR_HASH_KEY_STRING,
               change);
  return OSTREL_NO_ERROR;
}

ostrel_error *http_get_log(ostrel_ra_session *session, const char *path, ostrel_revnum start,
                           ostrel_revnum end, int limit, bool discover_changed_paths,
                           ostrel_ra_log_receiver receiver, void *baton, apr_pool_t *pool) {
  LogBaton b{receiver, baton, discover_changed_paths, ostrel_pool_create(pool), false, {}};
  ReadRequest request;
  request.on_frame = on_log_frame;
  request.baton = &b;
  std::string query = "op=log&start=" + std::to_string(start) + "&end=" + std::to_string(end) +
                      "&limit=" + std::to_string(limit) +
                      "&changed=" + (discover_changed_paths ? "1" : "0");
  ostrel_error *err = run(request, session, path, query, pool);
  // The last entry is complete only once the whole answer is.
  if (!err) err = deliver(&b);
  apr_pool_destroy(b.entry_pool);
  return err;
}

}  // namespace

const ostrel_ra_read_calls ostrel_ra_http_read_calls = {
    http_list,
    http_get_file,
    http_get_props,
    http_get_log,
};
