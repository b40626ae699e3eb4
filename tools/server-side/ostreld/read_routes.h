// The read side of ostreld: the read requests of the protocol (op=list,
// op=file, op=props, op=log; PROTOCOL.md "Reading") and the web view for
// browsers and scripts (HTML pages, raw bytes, JSON).  Both read through the
// library's read calls on a local session whose may_read is the path rules,
// so an unreadable path is absent from every answer and reads as a missing
// one.  server.cpp hands a GET or HEAD over once the caller is identified.
#ifndef OSTRELD_READ_ROUTES_H
#define OSTRELD_READ_ROUTES_H

#include <microhttpd.h>

#include <string>

#include "hooks.h"

namespace ostreld {

// One read request, as server.cpp resolved it.
struct ReadRoute {
  MHD_Connection *connection = nullptr;
  const Identity *identity = nullptr;
  std::string repos;         // the repository's name ("" when the path names none)
  std::string fs_path;       // decoded path inside it, "" for its root
  std::string repos_dir;     // the repository's local directory
  std::string request_path;  // as received, escaped
  std::string public_root;   // the repository's root URL as the client names it
  std::string op;            // the op= argument, "" for none
  bool head = false;         // HEAD: headers only
  // Set by answer_read_route, for the access log.
  unsigned status = 0;
  unsigned long long bytes_out = 0;
};

// Whether a GET with OP (and the request's arguments) is one for this side:
// the read ops, and requests without an op (the web view).
bool is_read_route(const std::string &op);

// Answers ROUTE: queues the response (streamed where it can be long).
MHD_Result answer_read_route(ReadRoute &route);

}  // namespace ostreld

#endif  // OSTRELD_READ_ROUTES_H
