#include "respond.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <initializer_list>
#include <vector>

#include "replay.h"

namespace ostreld {

const char kFramesType[] = "application/x-ostrel-frames";
const char kRequestIdHeader[] = "Ostrel-Request-Id";

MHD_Result respond(MHD_Connection *connection, const std::string &request_id,
                   const Answer &answer) {
  MHD_Response *response = MHD_create_response_from_buffer(
      answer.body.size(), const_cast<char *>(answer.body.data()), MHD_RESPMEM_MUST_COPY);
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, kFramesType);
  if (!request_id.empty()) MHD_add_response_header(response, kRequestIdHeader, request_id.c_str());
  if (answer.retry_after >= 0)
    MHD_add_response_header(response, MHD_HTTP_HEADER_RETRY_AFTER,
                            std::to_string(answer.retry_after).c_str());
  if (answer.close) MHD_add_response_header(response, MHD_HTTP_HEADER_CONNECTION, "close");
  MHD_Result ret = answer.status == MHD_HTTP_UNAUTHORIZED
                       ? MHD_queue_basic_auth_fail_response(connection, answer.realm.c_str(),
                                                            response)
                       : MHD_queue_response(connection, answer.status, response);
  MHD_destroy_response(response);
  return ret;
}

namespace {

// What a busy repository's client is told to wait.
constexpr long kBusyRepositoryRetrySeconds = 2;

bool has(const ostrel_error *err, std::initializer_list<apr_status_t> codes) {
  for (const ostrel_error *link = err; link; link = link->child)
    for (apr_status_t code : codes)
      if (link->apr_err == code) return true;
  return false;
}

std::string message_of(const ostrel_error *link) {
  char buf[256];
  return link->message ? link->message : ostrel_strerror(link->apr_err, buf, sizeof buf);
}

void replace_all(std::string &text, const std::string &from, const std::string &to) {
  if (from.empty()) return;
  for (std::size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
    text.replace(at, from.size(), to);
}

}  // namespace

Verdict judge_failure(const ostrel_error *err) {
  // The conditions of the storage first: whatever the editor call that met
  // them, they say what the client can do.
  if (has(err, {OSTREL_ERR_FS_FULL})) return {MHD_HTTP_INSUFFICIENT_STORAGE, -1, true};
  if (has(err, {OSTREL_ERR_FS_BUSY}))
    return {MHD_HTTP_SERVICE_UNAVAILABLE, kBusyRepositoryRetrySeconds, true};
  if (has(err, {OSTREL_ERR_FS_CORRUPT, OSTREL_ERR_FS_BAD_FORMAT, OSTREL_ERR_MALFUNCTION,
                OSTREL_ERR_IO, OSTREL_ERR_FS_UNCERTAIN}))
    return {MHD_HTTP_INTERNAL_SERVER_ERROR, -1, true};
  if (has(err, {OSTREL_ERR_RA_NOT_AUTHORIZED, OSTREL_ERR_AUTHZ_DENIED,
                OSTREL_ERR_REPOS_HOOK_FAILURE}))
    return {MHD_HTTP_FORBIDDEN, -1, false};
  if (has(err, {OSTREL_ERR_RA_BAD_REQUEST, OSTREL_ERR_DELTA_BAD_CALL}))
    return {MHD_HTTP_BAD_REQUEST, -1, false};
  // What the client's view of the repository or its own changes got wrong:
  // it can update and resolve.
  if (has(err, {OSTREL_ERR_FS_OUT_OF_DATE, OSTREL_ERR_FS_ALREADY_EXISTS, OSTREL_ERR_FS_NOT_FOUND,
                OSTREL_ERR_FS_NOT_DIRECTORY, OSTREL_ERR_FS_NOT_FILE, OSTREL_ERR_FS_NO_SUCH_REVISION,
                OSTREL_ERR_FS_TXN_DEAD, OSTREL_ERR_DELTA_BAD_WINDOW,
                OSTREL_ERR_DELTA_CHECKSUM_MISMATCH, OSTREL_ERR_BAD_PROPERTY_NAME,
                OSTREL_ERR_BAD_PROPERTY_VALUE, OSTREL_ERR_INVALID_UTF8, OSTREL_ERR_BAD_PATH,
                OSTREL_ERR_PATH_HAS_DOTDOT, OSTREL_ERR_BAD_URL, OSTREL_ERR_RA_ILLEGAL_URL,
                OSTREL_ERR_RA_NOT_SAME_REPOSITORY}))
    return {MHD_HTTP_CONFLICT, -1, false};
  // Anything else is the server's own failure.
  return {MHD_HTTP_INTERNAL_SERVER_ERROR, -1, true};
}

std::string scrub(std::string message, const Place &place) {
  // The longest first: the URL and the directory of the repository become
  // its public URL; what is left of the served root goes.
  replace_all(message, place.local_url, place.shown_url);
  replace_all(message, place.local_dir, place.shown_url);
  if (!place.server_root.empty()) replace_all(message, place.server_root + "/", "");
  replace_all(message, place.server_root, "");
  return message;
}

Answer failure_answer(const ostrel_error *err, const Verdict &verdict, const Place &place,
                      const std::string &request_id) {
  Answer answer;
  answer.status = verdict.status;
  answer.retry_after = verdict.retry_after;
  const std::string id = " (request " + request_id + ")";
  const std::string name = place.repos.empty() ? "the repository" : "'" + place.repos + "'";
  ostrel_error *shown = nullptr;
  std::string text;
  apr_status_t code = err->apr_err;
  if (verdict.internal) {
    // The detail of a full disk, a busy or damaged repository stays in the
    // server's log (contract 3); other failures of the server (a database
    // server that cannot be reached) are told with their paths rewritten.
    switch (verdict.status) {
      case MHD_HTTP_INSUFFICIENT_STORAGE:
        code = OSTREL_ERR_FS_FULL;
        text = "The server has no space left for the repository " + name +
               "; nothing was committed";
        break;
      case MHD_HTTP_SERVICE_UNAVAILABLE:
        code = OSTREL_ERR_FS_BUSY;
        text = "The repository " + name + " is busy with another commit; try again in " +
               std::to_string(verdict.retry_after) + " s";
        break;
      default:
        if (has(err, {OSTREL_ERR_FS_CORRUPT})) {
          code = OSTREL_ERR_FS_CORRUPT;
          text = "The repository " + name +
                 " is damaged on the server; nothing was committed.  Its administrator finds the "
                 "details in the server's log";
        }
    }
  }
  if (!text.empty()) {
    shown = ostrel_error_create(code, nullptr, (text + id).c_str());
  } else {
    // The chain as it is, its paths rewritten, innermost link first.  The
    // id stays in the header: a refusal reads the same whatever it refused
    // and whenever.
    std::vector<const ostrel_error *> links;
    for (const ostrel_error *link = err; link; link = link->child) links.push_back(link);
    for (std::size_t i = links.size(); i-- > 0;) {
      std::string message = scrub(message_of(links[i]), place);
      if (i == 0 && verdict.internal) message += id;
      shown = ostrel_error_create(links[i]->apr_err, shown, message.c_str());
    }
  }
  answer.body = error_answer(shown);
  ostrel_error_clear(shown);
  return answer;
}

std::string describe(const ostrel_error *err) {
  std::string line;
  for (const ostrel_error *link = err; link; link = link->child) {
    if (!line.empty()) line += ": ";
    std::string text = message_of(link);
    for (char &c : text)
      if (c == '\n' || c == '\r') c = ' ';
    line += text + " [E" + std::to_string(link->apr_err) + "]";
  }
  return line;
}

std::string new_request_id() {
  static const unsigned long long run = static_cast<unsigned long long>(
      std::chrono::system_clock::now().time_since_epoch().count() ^ (getpid() << 16));
  static std::atomic<unsigned long long> next{1};
  char text[40];
  std::snprintf(text, sizeof text, "%06llx-%llu", run & 0xffffff, next++);
  return text;
}

}  // namespace ostreld
