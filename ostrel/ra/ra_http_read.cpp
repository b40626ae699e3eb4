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
#include "ra_module.h"
#include "ra_session.h"
#include "read_answer.h"

namespace {

using ostrel_wire::Frame;
using ostrel_wire::ReadAnswer;
using ostrel_wire::Status;
namespace frame = ostrel_wire::frame;

// Frames carry contents of at most this many bytes, and nothing larger is
// accepted.
constexpr std::size_t kMaxReadFrame = 4u << 20;

// The kind of a node that exists ("file" or "dir").
bool parse_kind(std::string_view text, ostrel_node_kind &kind) {
  return ostrel_wire::parse_kind_word(text, kind) && kind != ostrel_node_none;
}

const char *copy_opt(const std::optional<std::string_view> &item, apr_pool_t *pool) {
  return item ? apr_pstrmemdup(pool, item->data(), item->size()) : nullptr;
}

const char *copy_str(std::string_view item, apr_pool_t *pool) {
  return apr_pstrmemdup(pool, item.data(), item.size());
}

// The frame of kind K in F, which ReadAnswer has checked already.
template <typename K>
K as(const Frame &f) {
  K k;
  (void)ostrel_wire::get(f, k);
  return k;
}

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
    return ostrel_wire::malformed_answer(url, why);
  }
};

ostrel_error *sink(void *baton, const char *data, std::size_t len) {
  auto *request = static_cast<ReadRequest *>(baton);
  request->answer.feed(data, len);
  Frame f;
  Status status;
  while ((status = request->answer.next(f)) == Status::frame) {
    if (f.tag == frame::Revision::kTag) {
      if (request->fetched_rev)
        *request->fetched_rev = static_cast<ostrel_revnum>(as<frame::Revision>(f).rev);
      continue;
    }
    if (f.tag == frame::End::kTag) continue;
    OSTREL_ERR(request->on_frame(request, f));
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
  OSTREL_ERR(request.answer.error_chain());
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
  if (f.tag != frame::ListEntry::kTag) return request->bad("unexpected frame in a listing");
  apr_pool_clear(b->iterpool);
  auto entry = as<frame::ListEntry>(f);
  ostrel_ra_dirent dirent;
  if (!parse_kind(entry.kind, dirent.kind)) return request->bad("unknown node kind");
  dirent.size = entry.size;
  dirent.created_rev = static_cast<ostrel_revnum>(entry.created_rev);
  dirent.last_author = copy_opt(entry.author, b->iterpool);
  dirent.time = copy_opt(entry.date, b->iterpool);
  const char *relpath = copy_str(entry.relpath, b->iterpool);
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
  if (f.tag == frame::NodeProp::kTag) {
    auto prop = as<frame::NodeProp>(f);
    if (b->props)
      apr_hash_set(b->props, copy_str(prop.name, b->pool), APR_HASH_KEY_STRING,
                   ostrel_string_ncreate(prop.value.data(), prop.value.size(), b->pool));
    return OSTREL_NO_ERROR;
  }
  if (f.tag != frame::Data::kTag) return request->bad("unexpected frame in a file's answer");
  if (!b->stream) return OSTREL_NO_ERROR;
  auto data = as<frame::Data>(f);
  apr_size_t len = data.bytes.size();
  return ostrel_stream_write(b->stream, data.bytes.data(), &len);
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

ostrel_error *parse_change(ostrel_path_change *change, ReadRequest *request,
                           const frame::Changed &f, apr_pool_t *pool) {
  static const char kActions[] = "MADR";
  const char *at = f.action.size() == 1 ? std::strchr(kActions, f.action[0]) : nullptr;
  if (!at || !*at) return request->bad("unknown change action");
  change->change_kind = static_cast<ostrel_fs_path_change_kind>(at - kActions);
  if (!parse_kind(f.kind, change->node_kind)) return request->bad("unknown node kind");
  change->text_mod = f.text_mod != 0;
  change->prop_mod = f.prop_mod != 0;
  change->copyfrom_path = copy_opt(f.copy_path, pool);
  change->copyfrom_rev = static_cast<ostrel_revnum>(f.copy_rev);
  return OSTREL_NO_ERROR;
}

ostrel_error *on_log_frame(ReadRequest *request, const Frame &f) {
  auto *b = static_cast<LogBaton *>(request->baton);
  if (f.tag == frame::LogEntry::kTag) {
    OSTREL_ERR(deliver(b));
    b->pending = true;
    b->entry.revision = static_cast<ostrel_revnum>(as<frame::LogEntry>(f).rev);
    b->entry.revprops = apr_hash_make(b->entry_pool);
    b->entry.changed_paths = b->changed_paths ? apr_hash_make(b->entry_pool) : nullptr;
    return OSTREL_NO_ERROR;
  }
  if (!b->pending) return request->bad("a log frame before its entry");
  if (f.tag == frame::Revprop::kTag) {
    auto prop = as<frame::Revprop>(f);
    apr_hash_set(b->entry.revprops, copy_str(prop.name, b->entry_pool), APR_HASH_KEY_STRING,
                 ostrel_string_ncreate(prop.value.data(), prop.value.size(), b->entry_pool));
    return OSTREL_NO_ERROR;
  }
  if (f.tag != frame::Changed::kTag) return request->bad("unexpected frame in a log");
  if (!b->entry.changed_paths) return OSTREL_NO_ERROR;
  auto changed = as<frame::Changed>(f);
  auto *change =
      static_cast<ostrel_path_change *>(apr_pcalloc(b->entry_pool, sizeof(ostrel_path_change)));
  OSTREL_ERR(parse_change(change, request, changed, b->entry_pool));
  apr_hash_set(b->entry.changed_paths, copy_str(changed.path, b->entry_pool),
               APR_HASH_KEY_STRING, change);
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
