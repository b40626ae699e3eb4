// The health endpoint of ostreld, for load balancers: GET /?op=health.
//
// It needs no credentials (a balancer has none) and says nothing about any
// repository: 200 "ok" while the server serves and its root directory is
// there, 503 once it is stopping (SIGTERM) or the root is gone, so that a
// balancer takes it out of rotation before it closes its socket.  It
// deliberately does not reach the repositories' database: when the
// database is down every server is equally unable to commit, and taking
// them all out of rotation would hide the error that names the database
// behind the balancer's own.  The path "/" names no repository, so the
// endpoint can never shadow one.
#ifndef OSTRELD_HEALTH_H
#define OSTRELD_HEALTH_H

#include <microhttpd.h>

#include <string>

namespace ostreld {

// Whether a request (METHOD, escaped PATH, the value of its "op" argument)
// is a health check.
bool is_health_check(const std::string &method, const std::string &path, const std::string &op);

// Answers a health check for a server serving ROOT; *STATUS and *BYTES_OUT
// get what was queued, for the access log.
MHD_Result answer_health(MHD_Connection *connection, const std::string &root, bool stopping,
                         unsigned *status, unsigned long long *bytes_out);

}  // namespace ostreld

#endif  // OSTRELD_HEALTH_H
