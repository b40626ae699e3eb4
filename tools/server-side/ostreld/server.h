// ostreld's HTTP side: the listening socket, libmicrohttpd, the request
// handlers, the limits, the access log and the graceful stop.
#ifndef OSTRELD_SERVER_H
#define OSTRELD_SERVER_H

#include <cstdio>
#include <string>

#include "ostrel_error.h"

namespace ostreld {

// Every limit has a default here and an option in the [server] section of
// the configuration file (same names).
struct Settings {
  std::string root;                       // --root
  std::string listen = "127.0.0.1:8740";  // --listen / listen
  std::string access_log;                 // --access-log / access-log; "" none, "-" stdout
  unsigned max_header_bytes = 65536;      // request line and headers
  unsigned idle_timeout_seconds = 60;     // no progress for this long drops a connection
  unsigned max_connections = 4096;        // served at once; more are answered 503
  unsigned max_connections_per_address = 64;  // open at once from one client address
  unsigned header_timeout_seconds = 10;   // a request's headers must be complete by then
  unsigned min_body_bytes_per_second = 512;  // a request body slower than this is dropped
  unsigned body_grace_seconds = 10;       // ... measured over windows of this length
  unsigned event_threads = 2;             // threads of the event loop
  unsigned workers = 4;                   // threads that replay commits
  unsigned max_streams = 64;              // streamed read answers at once (a thread each)
  unsigned max_streams_per_address = 8;   // ... for one client address
  unsigned max_frame_bytes = 1u << 20;    // one frame of a commit body
  std::string tls_cert, tls_key;          // --tls-cert, --tls-key (PEM); both or neither
  std::string users;                      // --users: the users file, "" for none
  std::string rules;                      // --rules: the path rules file, "" for none
  // --open: no accounts and no rules; anyone who can connect reads and
  // writes, and a commit's author is the name the client sends.  Never
  // together with USERS or RULES.  Without it, nothing is allowed that the
  // users and rules do not grant (nothing at all when there are neither).
  bool open = false;
};

// Reads the configuration file PATH into SETTINGS: a "[server]" section of
// "option = value" lines, '#' or ';' comments, by the rules of every
// configuration file of the library.  Unknown sections or options,
// malformed lines and bad values are errors naming the file and line; a
// file that cannot be read is an error with the system's reason.
ostrel_error *read_config(Settings &settings, const char *path);

// Listens as SETTINGS say, prints the chosen HOST:PORT as the first line of
// standard output, and serves until SIGTERM or SIGINT, which finish the
// commits in flight, refuse new ones, and return.  Errors (a taken port, a
// missing root, a log that cannot be opened, a TLS key that cannot be read or
// does not match the certificate, a malformed users or rules file, --open
// with --users or --rules) are returned before serving.  A server that can
// admit nobody (no --open, --users or --rules) says so on standard error
// and serves its refusals.  Failed logins are logged on standard error with
// the client's address and the user name.
ostrel_error *serve(const Settings &settings);

}  // namespace ostreld

#endif  // OSTRELD_SERVER_H
