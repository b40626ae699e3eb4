// What the read calls of the http access module (ra_http_read.cpp) use of
// the module's requests (ra_http.cpp).  Not a public header.
#ifndef OSTREL_RA_HTTP_READ_H
#define OSTREL_RA_HTTP_READ_H

#include <cstddef>
#include <string>

#include "ostrel_ra.h"

namespace ostrel_ra_http {

// Takes the next piece of an answer's body; an error stops the request.
using BodySink = ostrel_error *(*)(void *baton, const char *data, std::size_t len);

// One GET of URL?QUERY on SESSION's connection (credentials and
// certificates as for every request; SHOWN_URL names it in errors) whose
// 200 answer of the protocol goes to SINK piece by piece as it arrives,
// never held whole.  Any other answer becomes the error it carries: the
// server's chain, or a connection or protocol error naming SHOWN_URL.  An
// error of SINK is returned as it is.  Whether the streamed answer is
// complete is for the caller to check.
ostrel_error *get_streamed(ostrel_ra_session *session, const std::string &url,
                           const std::string &query, const char *shown_url, BodySink sink,
                           void *sink_baton);

}  // namespace ostrel_ra_http

#endif  // OSTREL_RA_HTTP_READ_H
