// Commits: refused before the body where they can be, replayed on the
// workers as the body arrives (invariants 2 and 7).
#include "server_internal.h"

#include <cstring>

#include "ostrel_path.h"

namespace ostreld {

namespace {

// The one status of a failed commit (see respond.h).
Verdict commit_verdict(const Replay &replay) {
  if (replay.frame_too_large()) return {MHD_HTTP_CONTENT_TOO_LARGE, -1, false};
  if (replay.malformed()) return {MHD_HTTP_BAD_REQUEST, -1, false};
  return judge_failure(replay.error());
}

}  // namespace

MHD_Result begin_commit(Request *r, MHD_Connection *connection, const Target &target,
                        apr_pool_t *pool) {
  Server *server = r->server;
  const char *length =
      MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
  const char *encoding =
      MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_TRANSFER_ENCODING);
  if (length && encoding)
    return refuse(r, connection, MHD_HTTP_BAD_REQUEST, OSTREL_ERR_RA_BAD_REQUEST,
                  "A request may not carry both Content-Length and Transfer-Encoding");
  const char *type =
      MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_TYPE);
  if (!type || std::strncmp(type, kFramesType, std::strlen(kFramesType)) != 0)
    return refuse(r, connection, MHD_HTTP_UNSUPPORTED_MEDIA_TYPE, OSTREL_ERR_RA_BAD_REQUEST,
                  std::string("A commit's body must be of type ") + kFramesType);
  // Refused before the body is sent: a caller who may not read where the
  // commit goes (nor learn whether that exists), and an anonymous caller who
  // may not write there (asked to log in).  Every changed path is checked
  // again as the commit is replayed.
  const Gate &gate = server->gate;
  Decision decision = gate.authorize(r->identity, target.repos, "/" + target.fs_path, Access::read);
  if (decision.allowed() && r->identity.anonymous)
    decision = gate.authorize(r->identity, target.repos, "/" + target.fs_path, Access::write);
  if (!decision.allowed()) return refuse_as_decided(r, connection, decision);
  ostrel_repos *repos = nullptr;
  if (ostrel_error *err = open_repos(&repos, server, target, r->path, pool))
    return refuse_open(r, connection, err);
  std::string dir = server->root + "/" + target.repos;
  const char *session_url = nullptr;
  const char *root_url = nullptr;
  std::string session_dir = target.fs_path.empty() ? dir : dir + "/" + target.fs_path;
  ostrel_error *err = ostrel_uri_get_file_url_from_dirent(&session_url, session_dir.c_str(), pool);
  if (!err) err = ostrel_uri_get_file_url_from_dirent(&root_url, dir.c_str(), pool);
  if (err) return send_error(r, connection, MHD_HTTP_INTERNAL_SERVER_ERROR, err);
  r->local_root = root_url;
  {
    std::lock_guard<std::mutex> lock(server->mutex);
    server->commits_in_flight++;
    r->counted_commit = true;
  }
  r->replay = std::make_unique<Replay>(
      session_url, root_url, target.repos, target.fs_path, r->identity,
      server->settings.max_frame_bytes,
      [&gate](const Identity &identity, const std::string &repos, const std::string &path,
              Access access) { return gate.refusal(identity, repos, path, access); });
  return MHD_YES;
}

namespace {

// Runs the next step of R's commit (the bytes in R->pending, or the end of
// the body when there are none) on a worker, with CONNECTION suspended
// until it is done (invariant 7).
void run_commit_job(Request *r, MHD_Connection *connection) {
  Server *server = r->server;
  with_state(server, connection, [](ConnectionState &state) {
    state.in_handler++;
    state.job_start = Clock::now();
  });
  MHD_suspend_connection(connection);
  server->workers->submit([r, connection] {
    Replay &replay = *r->replay;
    const unsigned long long before = replay.frames_done();
    if (!r->pending.empty()) {
      replay.feed(r->pending.data(), r->pending.size());
      r->pending.clear();
    } else {
      replay.end_of_body();
      r->body_ended = true;
    }
    const bool progress = r->body_ended || replay.frames_done() != before;
    with_state(r->server, connection, [progress](ConnectionState &state) {
      auto now = Clock::now();
      state.in_handler--;
      if (progress) state.last_progress = now;
      state.window_busy += now - state.job_start;
    });
    MHD_resume_connection(connection);
  });
}

}  // namespace

MHD_Result continue_commit(Request *r, MHD_Connection *connection, const char *data,
                           std::size_t *size) {
  if (*size) {
    // A refusal is answered once the body has ended (the library answers no
    // request in the middle of its body); a client that stops sending, or
    // sends too slowly, is dropped by the reaper.
    r->bytes_in += *size;
    r->pending.assign(data, *size);
    *size = 0;
    run_commit_job(r, connection);
    return MHD_YES;
  }
  if (!r->body_ended) {
    run_commit_job(r, connection);
    return MHD_YES;
  }
  Replay &replay = *r->replay;
  if (!replay.failed())
    return send(r, connection, MHD_HTTP_OK, replay.answer(r->local_root, r->public_root));
  return send_failure_of(r, connection, replay.error(), commit_verdict(replay));
}

}  // namespace ostreld
