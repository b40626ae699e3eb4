// What the protocol's read requests (read_routes.cpp) and the web view
// (web_view.cpp) share: the request's local session on the repository, its
// arguments, and the answers' headers.  Not used elsewhere.
#ifndef OSTRELD_READ_CONTEXT_H
#define OSTRELD_READ_CONTEXT_H

#include <apr_pools.h>

#include <functional>
#include <string>

#include "ostrel_ra.h"
#include "read_routes.h"

namespace ostreld {

struct ReadContext {
  ReadRoute *route = nullptr;
  apr_pool_t *pool = nullptr;  // owns the session; lives as long as the answer
  ostrel_ra_session *session = nullptr;
  ostrel_revnum youngest = 0;
  std::string local_root;  // the repository's file:// URL, replaced in messages

  // The query argument NAME (not unescaped), or nullptr.
  const char *arg(const char *name) const;
  bool has_arg(const char *name) const { return arg(name) != nullptr; }
  // The '/'-rooted path of the request inside the repository.
  std::string fs_path() const { return "/" + route->fs_path; }
};

// The HTTP status for a read call's error.
unsigned status_for(const ostrel_error *err);

// Content-Security-Policy, X-Content-Type-Options and framing refusals, on
// every answer of the web view.
void add_security_headers(MHD_Response *response);

// Cache headers: for a fixed revision (FIXED) the ETag and "immutable"
// (private when the caller logged in); for the youngest revision, no-cache
// (with ETAG when it is not empty: it names the contents, not the revision).
void add_cache_headers(MHD_Response *response, const ReadContext &ctx, bool fixed,
                       const std::string &etag);

// True when the request's If-None-Match names ETAG (or is "*").
bool not_modified(const ReadContext &ctx, const std::string &etag);

// A quoted entity tag for the words of WHAT (the answer kind, the path, the
// revision, the caller...): a hash, so that no name shows in it.
std::string make_etag(const std::string &what);

// Queues BODY with STATUS and CONTENT_TYPE; RESPONSE_HOOK may add headers.
MHD_Result send_whole(ReadContext &ctx, unsigned status, std::string body,
                      const char *content_type,
                      const std::function<void(MHD_Response *)> &response_hook = nullptr);

// Queues 304 Not Modified with ETAG.
MHD_Result send_not_modified(ReadContext &ctx, bool fixed, const std::string &etag);

// Streams a body written by PRODUCE from a thread of its own (through a
// pipe, so a slow reader holds the writer back and memory stays flat).
// PRODUCE gets a writer that returns false once the reader is gone; it may
// keep using CTX's pool and session, which the answer owns from now on.
// SIZE is the body's length, or -1 when unknown (chunked).
// PRODUCE must use the context it is given, never CTX (which ends with the
// handler's call); CTX's pool is null afterwards.
using BodyWriter = std::function<bool(const char *data, std::size_t len)>;
using Producer = std::function<void(ReadContext &ctx, const BodyWriter &write)>;
MHD_Result send_streamed(ReadContext &ctx, unsigned status, long long size,
                         const char *content_type, Producer produce,
                         const std::function<void(MHD_Response *)> &response_hook);

// The web view (web_view.cpp): HTML pages, JSON and raw bytes.
MHD_Result answer_web_view(ReadContext &ctx);

// Answers an error of the web view in the form the request asked for.
MHD_Result send_web_error(ReadContext &ctx, ostrel_error *err);

}  // namespace ostreld

#endif  // OSTRELD_READ_CONTEXT_H
