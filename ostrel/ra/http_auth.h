// Credentials and server certificates for the http access module.
//
// One HttpAuth per session.  Before each request, prepare() puts the
// session's credentials and certificate checks on the curl handle; after
// it, after() looks at the outcome and says whether to send the request
// again:
//  - 401: the next credentials of the chain (given, cached, prompted; see
//    ostrel_auth.h) are taken, after checking that a password may travel
//    over this URL (https, or http to loopback); the chain's end is the
//    error.
//  - a certificate that the authorities (system's and [https] ca-file) do
//    not vouch for, or that names another host: the user decides through
//    ostrel_auth_check_server_cert; accepted, the request goes again and
//    that certificate (by its SHA-256 fingerprint) is taken from then on.
//    A certificate accepted for good earlier is taken without asking; any
//    other certificate for that host and port is refused during the
//    handshake, before anything is sent.
//  - 429 with a Retry-After of at most 30 seconds (a server slowing down
//    failed logins): waited out, then the request goes again.
//  - a success after credentials were used: they are cached (when allowed).
#ifndef OSTREL_RA_HTTP_AUTH_H
#define OSTREL_RA_HTTP_AUTH_H

#include <apr_pools.h>
#include <curl/curl.h>

#include <string>

#include "ostrel_auth.h"

namespace ostrel_ra_http {

struct HttpAuth {
  ostrel_auth_baton *ab = nullptr;  // may be NULL: no credentials, no questions
  apr_pool_t *pool = nullptr;
  std::string url;        // the session URL, for messages
  std::string scheme;     // "http" or "https"
  std::string host;       // as in the URL, without brackets
  std::string host_port;  // "host:port" (port made explicit)
  const ostrel_auth_cred *cred = nullptr;
  ostrel_auth_iterstate *state = nullptr;
  bool saved = false;
  std::string accepted;  // fingerprint taken without the authorities' word
  std::string pinned;    // fingerprint accepted for good earlier
  // What the last handshake saw.
  std::string leaf_der;
  std::string problem;
  bool pin_mismatch = false;
  std::string ca_error;
  // The last 401's challenge.
  std::string challenge;
  long retry_after = -1;  // seconds, from a 429; -1 when none came
};

// Sets AUTH up for a session on URL.
ostrel_error *init(HttpAuth &auth, ostrel_auth_baton *ab, const char *url, apr_pool_t *pool);

// Puts credentials and certificate checks on EASY for the next request.
void prepare(HttpAuth &auth, CURL *easy);

// Starts a new request: forgets what the last handshake and answer saw.
void begin_request(HttpAuth &auth);

// Looks at a finished request (RESULT, HTTP STATUS) and sets *RETRY when
// the same request should go again.  An error ends the request.
ostrel_error *after(HttpAuth &auth, CURLcode result, long status, bool *retry);

}  // namespace ostrel_ra_http

#endif  // OSTREL_RA_HTTP_AUTH_H
