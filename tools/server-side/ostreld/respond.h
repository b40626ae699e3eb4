// Every answer ostreld sends on the protocol is built here, and every failure
// is told here: which HTTP status and error code it gets, what its client
// reads, and what the server's log keeps.
//
// Contract:
//  1. respond() is the one place that turns an Answer into a response: the
//     content type of the frames, the request id header, Retry-After, the
//     challenge of a 401, and "Connection: close".
//  2. A failure's status says what the client should do: 409 resolve (out
//     of date, a path that exists or is missing), 503 retry after
//     Retry-After (the repository is busy), 507 give up until the server's
//     disk has room, 403 refused (path rules, a hook), 413 too large, 400
//     malformed, 500 damage or an internal failure.
//  3. A client never reads a path on the server: local URLs and directories
//     become the repository's public URL, and the answer to a 5xx failure
//     carries a short message of its own (the error code, what to do, the
//     request id) instead of the server's detail.  The detail goes to the
//     server's standard error, one line per failed request, with the same
//     request id.  Every answer carries its request id in a header; only a
//     5xx answer has it in its message too (a refusal reads the same
//     whatever it refused, so that it tells nothing of what exists).
#ifndef OSTRELD_RESPOND_H
#define OSTRELD_RESPOND_H

#include <microhttpd.h>

#include <string>

#include "ostrel_error.h"

namespace ostreld {

// The content type of the protocol's frames.
extern const char kFramesType[];
// The response header that carries a request's id.
extern const char kRequestIdHeader[];

struct Answer {
  unsigned status = MHD_HTTP_OK;
  std::string body;      // frames
  std::string realm;     // with status 401: the realm to ask credentials for
  long retry_after = -1;  // >= 0: sent as Retry-After
  bool close = false;     // close the connection after the answer
};

// Queues ANSWER on CONNECTION, with REQUEST_ID in its header.
MHD_Result respond(MHD_Connection *connection, const std::string &request_id,
                   const Answer &answer);

// How a failed request is answered (contract 2).
struct Verdict {
  unsigned status;
  long retry_after;  // -1: none
  bool internal;     // 5xx: the client gets a short message, the log the detail
};
Verdict judge_failure(const ostrel_error *err);

// Where the repository a request names lives on the server and how its
// client names it, for the rewriting of messages (contract 3).
struct Place {
  std::string local_url;    // file:// URL of the repository ("" when none)
  std::string local_dir;    // its directory ("" when none)
  std::string server_root;  // the served root directory
  std::string shown_url;    // the repository's URL as the client uses it
  std::string repos;        // the repository's name ("" when none)
};

// MESSAGE with every server path of PLACE rewritten (contract 3).
std::string scrub(std::string message, const Place &place);

// The answer to a request that failed with ERR (kept by the caller), with
// status VERDICT, for the request REQUEST_ID.
Answer failure_answer(const ostrel_error *err, const Verdict &verdict, const Place &place,
                      const std::string &request_id);

// ERR's chain, outermost first, as one line for the server's log.
std::string describe(const ostrel_error *err);

// A new id, unique in this server's run and unlikely to repeat across runs.
std::string new_request_id();

}  // namespace ostreld

#endif  // OSTRELD_RESPOND_H
