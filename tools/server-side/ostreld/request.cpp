// The answers and refusals of one request.
#include "server_internal.h"

#include <cstdio>

#include "answers.h"
#include "ostrel_error.h"

namespace ostreld {

MHD_Result send_answer(Request *r, MHD_Connection *connection, const Answer &answer) {
  MHD_Result ret = respond(connection, r->id, answer);
  r->status = answer.status;
  r->bytes_out = answer.body.size();
  r->answered = true;
  return ret;
}

MHD_Result send(Request *r, MHD_Connection *connection, unsigned status, std::string body) {
  Answer answer;
  answer.status = status;
  answer.body = std::move(body);
  return send_answer(r, connection, answer);
}

namespace {

// The server's log line of a failed request: its id, who asked for what,
// the status, and the whole error chain (with the server's paths).
void log_failure(const Request *r, unsigned status, const ostrel_error *err) {
  std::string what = r->path;
  if (!r->op.empty()) what += "?op=" + r->op;
  std::fprintf(stderr, "ostreld: request %s: %s %s %s from %s: %u: %s\n", r->id.c_str(),
               r->identity.anonymous ? "-" : r->identity.user.c_str(), r->method.c_str(),
               what.c_str(), r->client.empty() ? "-" : r->client.c_str(), status,
               describe(err).c_str());
  std::fflush(stderr);
}

}  // namespace

MHD_Result send_failure_of(Request *r, MHD_Connection *connection, const ostrel_error *err,
                           const Verdict &verdict) {
  Server *server = r->server;
  Place place{r->local_root, r->repos.empty() ? "" : server->root + "/" + r->repos, server->root,
              r->public_root, r->repos};
  if (verdict.internal || r->replay) log_failure(r, verdict.status, err);
  return send_answer(r, connection, failure_answer(err, verdict, place, r->id));
}

MHD_Result send_failure(Request *r, MHD_Connection *connection, ostrel_error *err,
                        const Verdict &verdict) {
  MHD_Result ret = send_failure_of(r, connection, err, verdict);
  ostrel_error_clear(err);
  return ret;
}

MHD_Result send_error(Request *r, MHD_Connection *connection, unsigned status, ostrel_error *err) {
  return send_failure(r, connection, err, Verdict{status, -1, status >= 500});
}

MHD_Result refuse(Request *r, MHD_Connection *connection, unsigned status, apr_status_t code,
                  const std::string &message) {
  return send_error(r, connection, status, ostrel_error_create(code, nullptr, message.c_str()));
}

namespace {

// Refuses with 401 asking for credentials of REALM, or with 429 telling to
// come back after RETRY_AFTER seconds.
MHD_Result refuse_login(Request *r, MHD_Connection *connection, unsigned status,
                        const std::string &message, const std::string &realm, long retry_after) {
  ostrel_error *err = ostrel_error_create(
      status == MHD_HTTP_TOO_MANY_REQUESTS ? OSTREL_ERR_AUTHN_FAILED : OSTREL_ERR_RA_NOT_AUTHORIZED,
      nullptr, message.c_str());
  Answer answer;
  answer.status = status;
  answer.body = error_answer(err, r->local_root, r->public_root);
  ostrel_error_clear(err);
  if (status == MHD_HTTP_UNAUTHORIZED)
    answer.realm = realm;
  else
    answer.retry_after = retry_after;
  return send_answer(r, connection, answer);
}

}  // namespace

MHD_Result refuse_as_decided(Request *r, MHD_Connection *connection, const Decision &decision) {
  switch (decision.kind) {
    case Decision::Kind::ask_credentials:
      return refuse_login(r, connection, MHD_HTTP_UNAUTHORIZED, decision.message, decision.realm,
                          0);
    case Decision::Kind::slow_down:
      return refuse_login(r, connection, MHD_HTTP_TOO_MANY_REQUESTS, decision.message, "",
                          decision.retry_after);
    case Decision::Kind::malformed:
      return refuse(r, connection, MHD_HTTP_BAD_REQUEST, OSTREL_ERR_RA_NOT_AUTHORIZED,
                    decision.message);
    case Decision::Kind::deny:
    case Decision::Kind::allow:
      break;
  }
  return refuse(r, connection, MHD_HTTP_FORBIDDEN, OSTREL_ERR_RA_NOT_AUTHORIZED, decision.message);
}

MHD_Result refuse_busy(Request *r, MHD_Connection *connection) {
  ostrel_error *err = ostrel_error_createf(
      OSTREL_ERR_RA_CONNECTION, nullptr,
      "The server is busy: it serves at most %u connection%s at once; try again in %u s",
      r->server->settings.max_connections, r->server->settings.max_connections == 1 ? "" : "s",
      kBusyRetryAfterSeconds);
  Answer answer;
  answer.status = MHD_HTTP_SERVICE_UNAVAILABLE;
  answer.body = error_answer(err, r->local_root, r->public_root);
  ostrel_error_clear(err);
  answer.retry_after = kBusyRetryAfterSeconds;
  answer.close = true;
  return send_answer(r, connection, answer);
}

}  // namespace ostreld
