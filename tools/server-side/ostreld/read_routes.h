// The read side of ostreld: the read requests of the protocol (op=list,
// op=file, op=props, op=log; PROTOCOL.md "Reading") and the web view for
// browsers and scripts (HTML pages, raw bytes, JSON).  Both read through the
// library's read calls on a local session whose may_read is the path rules,
// so an unreadable path is absent from every answer and reads as a missing
// one.  server.cpp hands a GET or HEAD over once the caller is identified.
#ifndef OSTRELD_READ_ROUTES_H
#define OSTRELD_READ_ROUTES_H

#include <microhttpd.h>

#include <condition_variable>
#include <map>
#include <mutex>
#include <string>

#include "hooks.h"

namespace ostreld {

// Bounds the streamed answers in flight (each has a thread that writes it):
// at most MAX_TOTAL at once, at most MAX_PER_ADDRESS for one client address,
// so that slow readers cannot take every thread or every slot.  A request
// beyond them is answered 503 with Retry-After.
class StreamSlots {
 public:
  StreamSlots(unsigned max_total, unsigned max_per_address)
      : max_total_(max_total), max_per_address_(max_per_address) {}
  bool acquire(const std::string &address);
  void release(const std::string &address);
  // Streams whose connection waits for its writer.
  void suspended(int delta);
  // Waits until no connection waits for its writer.
  void wait_unsuspended();

 private:
  std::mutex mutex_;
  std::condition_variable none_suspended_;
  unsigned max_total_, max_per_address_;
  unsigned total_ = 0;
  int suspended_ = 0;
  std::map<std::string, unsigned> per_address_;
};

// One read request, as server.cpp resolved it.
struct ReadRoute {
  MHD_Connection *connection = nullptr;
  const Identity *identity = nullptr;
  const Gate *gate = nullptr;  // decides what the identity may read
  std::string repos;         // the repository's name ("" when the path names none)
  std::string fs_path;       // decoded path inside it, "" for its root
  std::string repos_dir;     // the repository's local directory
  std::string request_path;  // as received, escaped
  std::string public_root;   // the repository's root URL as the client names it
  std::string op;            // the op= argument, "" for none
  bool head = false;         // HEAD: headers only
  std::string client;        // the client's address
  StreamSlots *streams = nullptr;  // bounds the streamed answers
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
