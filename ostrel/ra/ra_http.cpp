// The http access module: sessions on repositories served by ostreld through
// "http" and "https" URLs, on libcurl.  The protocol is described in
// ostrel/wire/PROTOCOL.md.
//
// Contract with the caller (beyond ostrel_ra.h):
//  1. Every request of a session goes through the session's one multi
//     handle, whose connection cache keeps the connection open between
//     requests.  Proxies come from the environment (libcurl's rules).
//  2. Answers about a fixed revision never change, so check_path answers
//     from a per-session cache of directory listings: asking about many
//     children of one directory costs one request.  The youngest revision is
//     asked afresh on every call.
//  3. A commit is one POST whose body is the whole editor drive in frames,
//     sent as the drive goes (chunked): a frame is queued, and the transfer
//     is pumped whenever more than kHighWater bytes wait, so at most that
//     much of a text is held on this side.  Nothing is sent twice: a failed
//     request is never retried, and cancel_edit (or the end of the edit's
//     pool) drops the connection, which makes the server abandon the edit.
//     The one exception: a request the server refused with 401 before any
//     of its body was sent (commits ask "Expect: 100-continue") goes again
//     with credentials (http_auth.h).

#include <apr_strings.h>
#include <curl/curl.h>

#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "answers.h"
#include "commit_encoder.h"
#include "curl_library.h"
#include "http_auth.h"
#include "ostrel_path.h"
#include "ostrel_pools.h"
#include "ra_http_read.h"
#include "ra_module.h"
#include "ra_session.h"

struct ostrel_ra_http_session {
  CURLM *multi = nullptr;
  std::string root_url;  // canonical URL of the repository's root
  std::string fs_path;   // the session URL's path inside the repository
  std::string user;      // sent as the claimed author; "" for none
  // (revision, relpath below the session URL) -> kind and, for a
  // directory, its entries.
  struct Listing {
    ostrel_node_kind kind = ostrel_node_none;
    std::map<std::string, ostrel_node_kind> entries;
  };
  std::map<std::pair<ostrel_revnum, std::string>, Listing> listings;
  ostrel_ra_http::HttpAuth auth;  // credentials and certificates
};

using ostrel_ra_http::curl_lib;

namespace {

// Answers larger than this (listings, errors) are refused: a broken or
// hostile server cannot make a client hold unbounded memory.
constexpr std::size_t kMaxAnswer = 256u << 20;
// The commit body is pumped out once this many bytes wait to be sent.
constexpr std::size_t kHighWater = 256u << 10;
constexpr const char *kContentType = "application/x-ostrel-frames";

apr_status_t cleanup_session(void *data) {
  auto *http = static_cast<ostrel_ra_http_session *>(data);
  if (http->multi) curl_lib().curl_multi_cleanup(http->multi);
  delete http;
  return APR_SUCCESS;
}

// ---- Requests ----

struct Transfer {
  CURL *easy = nullptr;
  curl_slist *headers = nullptr;
  std::string url;
  std::string answer;
  bool answer_too_big = false;
  char curl_error[CURL_ERROR_SIZE] = "";
  long status = 0;
  std::string content_type;
  bool done = false;
  CURLcode result = CURLE_OK;

  ~Transfer() { reset(); }
  // Back to a transfer not yet made.
  void reset() {
    if (easy) curl_lib().curl_easy_cleanup(easy);
    if (headers) curl_lib().curl_slist_free_all(headers);
    easy = nullptr;
    headers = nullptr;
    answer.clear();
    answer_too_big = false;
    curl_error[0] = '\0';
    status = 0;
    content_type.clear();
    done = false;
    result = CURLE_OK;
  }
};

size_t write_answer(char *data, size_t size, size_t count, void *baton) {
  auto *t = static_cast<Transfer *>(baton);
  size_t len = size * count;
  if (t->answer.size() + len > kMaxAnswer) {
    t->answer_too_big = true;
    return 0;
  }
  t->answer.append(data, len);
  return len;
}

ostrel_error *make_transfer(Transfer &t, ostrel_ra_http_session *http, const std::string &url) {
  t.url = url;
  t.easy = curl_lib().curl_easy_init();
  if (!t.easy)
    return ostrel_error_createf(OSTREL_ERR_MALFUNCTION, nullptr, "Cannot set up a request for '%s'",
                                url.c_str());
  curl_lib().curl_easy_setopt(t.easy, CURLOPT_URL, url.c_str());
  curl_lib().curl_easy_setopt(t.easy, CURLOPT_ERRORBUFFER, t.curl_error);
  curl_lib().curl_easy_setopt(t.easy, CURLOPT_WRITEFUNCTION, write_answer);
  curl_lib().curl_easy_setopt(t.easy, CURLOPT_WRITEDATA, &t);
  curl_lib().curl_easy_setopt(t.easy, CURLOPT_NOSIGNAL, 1L);
  curl_lib().curl_easy_setopt(t.easy, CURLOPT_CONNECTTIMEOUT, 30L);
  curl_lib().curl_easy_setopt(t.easy, CURLOPT_USERAGENT, "ostrel-ra-http/1");
  // A transfer that moves nothing for a minute has failed.
  curl_lib().curl_easy_setopt(t.easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_lib().curl_easy_setopt(t.easy, CURLOPT_LOW_SPEED_TIME, 60L);
  ostrel_ra_http::begin_request(http->auth);
  ostrel_ra_http::prepare(http->auth, t.easy);
  t.headers = curl_lib().curl_slist_append(t.headers, "Accept: application/x-ostrel-frames");
  if (!http->user.empty()) {
    std::string header = "Ostrel-Author: ";
    for (unsigned char c : http->user) {
      // Percent-escaped, so that any UTF-8 name fits a header line.
      static const char hex[] = "0123456789ABCDEF";
      if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
          c == '_' || c == '.' || c == '~') {
        header += static_cast<char>(c);
      } else {
        header += '%';
        header += hex[c >> 4];
        header += hex[c & 15];
      }
    }
    t.headers = curl_lib().curl_slist_append(t.headers, header.c_str());
  }
  return OSTREL_NO_ERROR;
}

// Runs the multi handle until T is done or, when UNTIL is given, until it
// says to stop.
template <typename Until>
void pump(ostrel_ra_http_session *http, Transfer &t, Until until) {
  while (!t.done && !until()) {
    int running = 0;
    curl_lib().curl_multi_perform(http->multi, &running);
    int left = 0;
    while (CURLMsg *msg = curl_lib().curl_multi_info_read(http->multi, &left)) {
      if (msg->msg == CURLMSG_DONE && msg->easy_handle == t.easy) {
        t.done = true;
        t.result = msg->data.result;
      }
    }
    if (t.done || until()) break;
    curl_lib().curl_multi_poll(http->multi, nullptr, 0, 1000, nullptr);
  }
  if (t.done) {
    curl_lib().curl_easy_getinfo(t.easy, CURLINFO_RESPONSE_CODE, &t.status);
    const char *type = nullptr;
    curl_lib().curl_easy_getinfo(t.easy, CURLINFO_CONTENT_TYPE, &type);
    t.content_type = type ? type : "";
    curl_lib().curl_multi_remove_handle(http->multi, t.easy);
  }
}

// Checks a finished transfer: a failure of the connection, an answer that is
// not of the protocol, and an answer of another status than 200 (with the
// error chain it carries, else its status) become errors naming SHOWN_URL.
ostrel_error *check_transfer(const Transfer &t, const char *shown_url) {
  if (t.result != CURLE_OK) {
    const char *reason = t.curl_error[0] ? t.curl_error : curl_lib().curl_easy_strerror(t.result);
    if (t.answer_too_big) reason = "the answer is too large";
    return ostrel_error_createf(OSTREL_ERR_RA_CONNECTION, nullptr,
                                "Unable to reach the repository at URL '%s': %s", shown_url,
                                reason);
  }
  if (t.content_type.rfind(kContentType, 0) != 0)
    return ostrel_error_createf(OSTREL_ERR_RA_BAD_ANSWER, nullptr,
                                "The server at URL '%s' does not speak the repository protocol "
                                "(HTTP status %ld, content type '%s')",
                                shown_url, t.status, t.content_type.c_str());
  if (t.status == 200) return OSTREL_NO_ERROR;
  OSTREL_ERR(ostrel_wire::decode_refusal(t.answer, shown_url));
  return ostrel_error_createf(OSTREL_ERR_RA_BAD_ANSWER, nullptr,
                              "The server at URL '%s' answered with HTTP status %ld", shown_url,
                              t.status);
}

// Checks a finished transfer and decodes its answer (answers.h) into ANSWER.
template <typename Answer>
ostrel_error *decode(Answer &answer, const Transfer &t, const char *shown_url) {
  OSTREL_ERR(check_transfer(t, shown_url));
  return ostrel_wire::decode_answer(answer, t.answer, shown_url);
}

// Runs a GET of URL on T, again with the next credentials while the server
// asks for them; PREPARE sets T up further before each round, CHECK may
// stop after it.  Each round is bounded by the credential chain (three
// prompts) or by the user's acceptance of a certificate; the count is a
// last guard.
template <typename Prepare, typename Check>
ostrel_error *perform_get(ostrel_ra_http_session *http, Transfer &t, const std::string &url,
                          const char *shown_url, Prepare prepare, Check check) {
  bool again = true;
  for (int round = 0; again; ++round) {
    if (round == 16)
      return ostrel_error_createf(OSTREL_ERR_AUTHN_FAILED, nullptr,
                                  "Giving up on URL '%s' after %d attempts", shown_url, round);
    t.reset();
    OSTREL_ERR(make_transfer(t, http, url));
    curl_lib().curl_easy_setopt(t.easy, CURLOPT_HTTPHEADER, t.headers);
    prepare();
    curl_lib().curl_multi_add_handle(http->multi, t.easy);
    pump(http, t, [] { return false; });
    OSTREL_ERR(check());
    OSTREL_ERR(ostrel_ra_http::after(http->auth, t.result, t.status, &again));
  }
  return OSTREL_NO_ERROR;
}

// One GET of URL?QUERY whose answer is decoded into ANSWER; SHOWN_URL names
// it in errors.
template <typename Answer>
ostrel_error *get(Answer &answer, ostrel_ra_http_session *http, const std::string &url,
                  const char *query, const char *shown_url) {
  Transfer t;
  OSTREL_ERR(perform_get(
      http, t, url + "?" + query, shown_url, [] {}, [] { return OSTREL_NO_ERROR; }));
  return decode(answer, t, shown_url);
}

// ---- Session calls ----

// Refuses a URL whose path holds a '..' segment (escaped or not), a
// malformed percent-escape or an escaped NUL byte: the path rules are those
// of local URLs, so the same check serves both, with the message naming URL.
ostrel_error *check_url_path(const char *url, apr_pool_t *pool) {
  const char *after_scheme = std::strstr(url, "://") + 3;
  const char *path = std::strchr(after_scheme, '/');
  if (!path) return OSTREL_NO_ERROR;
  const char *as_local = apr_pstrcat(pool, "file://", path, static_cast<char *>(nullptr));
  const char *ignored = nullptr;
  ostrel_error *err = ostrel_uri_get_dirent_from_file_url(&ignored, as_local, pool);
  if (!err) return OSTREL_NO_ERROR;
  std::string message = err->message ? err->message : "";
  std::string quoted = std::string("'") + as_local + "'";
  std::size_t at = message.find(quoted);
  if (at != std::string::npos) message.replace(at, quoted.size(), std::string("'") + url + "'");
  apr_status_t code = err->apr_err;
  ostrel_error_clear(err);
  return ostrel_error_create(code, nullptr, message.c_str());
}

ostrel_error *http_open(ostrel_ra_session *session, const char *repos_url, apr_hash_t *,
                        apr_pool_t *pool) {
  if (!ostrel_uri_is_canonical(repos_url, pool))
    return ostrel_error_createf(OSTREL_ERR_RA_ILLEGAL_URL, nullptr,
                                "URL '%s' is not in canonical form", repos_url);
  OSTREL_ERR(check_url_path(repos_url, pool));

  auto *http = new ostrel_ra_http_session;
  apr_pool_cleanup_register(pool, http, cleanup_session, apr_pool_cleanup_null);
  session->http = http;
  OSTREL_ERR(ostrel_ra_http::load_curl());
  http->multi = curl_lib().curl_multi_init();
  if (!http->multi)
    return ostrel_error_createf(OSTREL_ERR_MALFUNCTION, nullptr,
                                "Cannot set up a connection for '%s'", repos_url);
  ostrel_auth_baton *ab = session->callbacks ? session->callbacks->auth_baton : nullptr;
  const char *user = ab ? ostrel_auth_username(ab) : ostrel_auth_login_name(pool);
  http->user = user ? user : "";
  OSTREL_ERR(ostrel_ra_http::init(http->auth, ab, repos_url, pool));

  ostrel_wire::DiscoverAnswer discovered;
  ostrel_error *err = get(discovered, http, repos_url, "op=discover", repos_url);
  if (err && err->apr_err == OSTREL_ERR_RA_NO_REPOSITORY) {
    ostrel_error_clear(err);
    return ostrel_error_createf(OSTREL_ERR_RA_NO_REPOSITORY, nullptr,
                                "Unable to find a repository at URL '%s'", repos_url);
  }
  OSTREL_ERR(err);
  const char *root_path = discovered.root_path.c_str();

  // The root URL is the session URL's scheme and authority with the path
  // the server named; it must be the session URL or one of its ancestors.
  const char *after_scheme = std::strstr(repos_url, "://") + 3;
  const char *path_start = std::strchr(after_scheme, '/');
  std::string origin(repos_url, path_start ? static_cast<std::size_t>(path_start - repos_url)
                                           : std::strlen(repos_url));
  const char *root_url = ostrel_uri_canonicalize((origin + root_path).c_str(), pool);
  const char *below =
      std::strcmp(root_url, repos_url) == 0 ? "" : ostrel_uri__is_child(root_url, repos_url, pool);
  if (!below)
    return ostrel_error_createf(OSTREL_ERR_RA_BAD_ANSWER, nullptr,
                                "The server at URL '%s' named '%s' as the repository's root, "
                                "which does not hold that URL",
                                repos_url, root_url);
  http->root_url = root_url;
  http->fs_path = below;
  session->repos_root_url = apr_pstrdup(pool, root_url);
  session->fs_path = apr_pstrdup(pool, below);
  return OSTREL_NO_ERROR;
}

ostrel_error *http_get_repos_root(ostrel_ra_session *session, const char **url, apr_pool_t *pool) {
  *url = apr_pstrdup(pool, session->http->root_url.c_str());
  return OSTREL_NO_ERROR;
}

ostrel_error *http_get_latest_revnum(ostrel_ra_session *session, ostrel_revnum *latest,
                                     apr_pool_t *) {
  ostrel_wire::YoungestAnswer answer;
  OSTREL_ERR(get(answer, session->http, session->session_url, "op=youngest", session->session_url));
  *latest = static_cast<ostrel_revnum>(answer.youngest);
  return OSTREL_NO_ERROR;
}

// The listing of PATH (below the session URL) at REV, from the cache or
// fetched once.
ostrel_error *listing(const ostrel_ra_http_session::Listing **out, ostrel_ra_session *session,
                      const char *path, ostrel_revnum rev, apr_pool_t *pool) {
  ostrel_ra_http_session *http = session->http;
  auto key = std::make_pair(rev, std::string(path));
  auto found = http->listings.find(key);
  if (found != http->listings.end()) {
    *out = &found->second;
    return OSTREL_NO_ERROR;
  }
  const char *url = ostrel_uri_join_relpath(session->session_url, path, pool);
  std::string query = "op=node&rev=" + std::to_string(rev);
  ostrel_wire::NodeAnswer answer;
  OSTREL_ERR(get(answer, http, url, query.c_str(), url));
  ostrel_ra_http_session::Listing result;
  result.kind = answer.kind;
  for (auto &[name, kind] : answer.entries) result.entries[std::move(name)] = kind;
  *out = &(http->listings[key] = std::move(result));
  return OSTREL_NO_ERROR;
}

ostrel_error *http_check_path(ostrel_ra_session *session, const char *path, ostrel_revnum revision,
                              ostrel_node_kind *kind, apr_pool_t *pool) {
  OSTREL_ERR(ostrel_relpath_check(path));
  if (revision < OSTREL_INVALID_REVNUM)
    return ostrel_error_createf(OSTREL_ERR_BAD_REVISION, nullptr, "Invalid revision number %ld",
                                static_cast<long>(revision));
  // The youngest revision moves; only answers about a fixed one are cached.
  if (revision == OSTREL_INVALID_REVNUM)
    OSTREL_ERR(http_get_latest_revnum(session, &revision, pool));
  const ostrel_ra_http_session::Listing *parent = nullptr;
  if (!*path) {
    OSTREL_ERR(listing(&parent, session, "", revision, pool));
    *kind = parent->kind;
    return OSTREL_NO_ERROR;
  }
  OSTREL_ERR(listing(&parent, session, ostrel_relpath_dirname(path, pool), revision, pool));
  *kind = ostrel_node_none;
  if (parent->kind == ostrel_node_dir) {
    const char *slash = std::strrchr(path, '/');
    auto entry = parent->entries.find(slash ? slash + 1 : path);
    if (entry != parent->entries.end()) *kind = entry->second;
  }
  return OSTREL_NO_ERROR;
}

// ---- The commit editor ----
//
// The editor is the wire's commit encoder (commit_encoder.h); this module is
// its sink: frames are queued and streamed in one POST.  Calls are not
// checked here: the server replays them into the repository's own commit
// editor, which checks each one, and its refusal comes back as the answer.
// A refusal that arrives while the drive is still being sent ends the
// transfer early, and the next call returns it.

struct HttpEdit {
  ostrel_ra_session *session;
  Transfer transfer;
  std::string out;          // frames waiting to be sent
  std::size_t out_pos = 0;  // bytes of OUT already handed to libcurl
  bool started = false;
  bool body_ended = false;
  bool paused = false;
  std::size_t body_sent = 0;  // bytes handed to libcurl by this transfer
  ostrel_commit_callback callback;
  void *callback_baton;
};

size_t read_body(char *buffer, size_t size, size_t count, void *baton) {
  auto *e = static_cast<HttpEdit *>(baton);
  size_t room = size * count;
  size_t avail = e->out.size() - e->out_pos;
  if (!avail) {
    if (e->body_ended) return 0;
    e->paused = true;
    return CURL_READFUNC_PAUSE;
  }
  size_t n = avail < room ? avail : room;
  std::memcpy(buffer, e->out.data() + e->out_pos, n);
  e->out_pos += n;
  e->body_sent += n;
  if (e->out_pos == e->out.size()) {
    e->out.clear();
    e->out_pos = 0;
  }
  return n;
}

apr_status_t cleanup_edit(void *data) {
  auto *e = static_cast<HttpEdit *>(data);
  if (e->started && !e->transfer.done)
    curl_lib().curl_multi_remove_handle(e->session->http->multi, e->transfer.easy);
  e->~HttpEdit();
  return APR_SUCCESS;
}

// The server's answer to a transfer that ended before the drive did.
ostrel_error *early_answer(HttpEdit *e) {
  const char *url = e->session->session_url;
  OSTREL_ERR(check_transfer(e->transfer, url));
  OSTREL_ERR(ostrel_wire::decode_refusal(e->transfer.answer, url));
  return ostrel_error_createf(OSTREL_ERR_RA_BAD_ANSWER, nullptr,
                              "The server at URL '%s' ended the commit before it was sent", url);
}

ostrel_error *start(HttpEdit *e) {
  ostrel_ra_http_session *http = e->session->http;
  Transfer &t = e->transfer;
  OSTREL_ERR(make_transfer(t, http, std::string(e->session->session_url) + "?op=commit"));
  t.headers = curl_lib().curl_slist_append(t.headers, "Content-Type: application/x-ostrel-frames");
  t.headers = curl_lib().curl_slist_append(t.headers, "Transfer-Encoding: chunked");
  // The server may refuse (401) before the body; curl then sends none of it.
  t.headers = curl_lib().curl_slist_append(t.headers, "Expect: 100-continue");
  curl_lib().curl_easy_setopt(t.easy, CURLOPT_EXPECT_100_TIMEOUT_MS, 60000L);
  curl_lib().curl_easy_setopt(t.easy, CURLOPT_HTTPHEADER, t.headers);
  curl_lib().curl_easy_setopt(t.easy, CURLOPT_POST, 1L);
  curl_lib().curl_easy_setopt(t.easy, CURLOPT_READFUNCTION, read_body);
  curl_lib().curl_easy_setopt(t.easy, CURLOPT_READDATA, e);
  // Larger pieces per send: fewer system calls for large texts.
  curl_lib().curl_easy_setopt(t.easy, CURLOPT_UPLOAD_BUFFERSIZE, static_cast<long>(kHighWater));
  curl_lib().curl_multi_add_handle(http->multi, t.easy);
  e->started = true;
  return OSTREL_NO_ERROR;
}

// A commit refused with 401 before any byte of its body left is started
// again with the next credentials; *RESTARTED tells whether it was.
ostrel_error *restart_if_unauthorized(HttpEdit *e, bool *restarted) {
  *restarted = false;
  Transfer &t = e->transfer;
  if (!t.done || t.status != 401 || e->body_sent != 0) return OSTREL_NO_ERROR;
  bool again = false;
  OSTREL_ERR(ostrel_ra_http::after(e->session->http->auth, t.result, t.status, &again));
  if (!again) return OSTREL_NO_ERROR;
  t.reset();
  e->paused = false;
  OSTREL_ERR(start(e));
  *restarted = true;
  return OSTREL_NO_ERROR;
}

// Hands queued frames to the transfer until fewer than LIMIT bytes wait;
// returns the server's answer when the transfer ended on the way.
ostrel_error *flush(HttpEdit *e, std::size_t limit) {
  bool restarted = false;
  if (e->transfer.done) {
    OSTREL_ERR(restart_if_unauthorized(e, &restarted));
    if (!restarted) return early_answer(e);
  }
  // Bytes already handed to libcurl are dropped, so OUT never holds more
  // than about twice the high-water mark.
  if (e->out_pos >= kHighWater) {
    e->out.erase(0, e->out_pos);
    e->out_pos = 0;
  }
  if (e->out.size() - e->out_pos < limit) return OSTREL_NO_ERROR;
  do {
    pump(e->session->http, e->transfer, [e, limit] {
      if (e->paused && e->out.size() - e->out_pos > 0) {
        e->paused = false;
        curl_lib().curl_easy_pause(e->transfer.easy, CURLPAUSE_CONT);
      }
      return e->out.size() - e->out_pos < limit;
    });
    restarted = false;
    if (e->transfer.done && !e->body_ended) OSTREL_ERR(restart_if_unauthorized(e, &restarted));
  } while (restarted);
  if (e->transfer.done && !e->body_ended) return early_answer(e);
  return OSTREL_NO_ERROR;
}

// The encoder's sink: queues frames, starting the request with the first.
ostrel_error *write_frames(void *baton, const char *data, std::size_t len) {
  auto *e = static_cast<HttpEdit *>(baton);
  if (!e->started) OSTREL_ERR(start(e));
  e->out.append(data, len);
  return flush(e, kHighWater);
}

// The finish frame is queued: sends the rest, waits for the answer, and
// reports the new revision.
ostrel_error *finish_commit(void *baton, apr_pool_t *pool) {
  auto *e = static_cast<HttpEdit *>(baton);
  e->body_ended = true;
  bool restarted = false;
  do {
    pump(e->session->http, e->transfer, [e] {
      if (e->paused) {
        e->paused = false;
        curl_lib().curl_easy_pause(e->transfer.easy, CURLPAUSE_CONT);
      }
      return false;
    });
    OSTREL_ERR(restart_if_unauthorized(e, &restarted));
  } while (restarted);
  if (e->transfer.status >= 200 && e->transfer.status < 300)
    OSTREL_ERR(ostrel_ra_http::after(e->session->http->auth, e->transfer.result, e->transfer.status,
                                     &restarted));
  ostrel_wire::CommitAnswer answer;
  OSTREL_ERR(decode(answer, e->transfer, e->session->session_url));
  if (!e->callback) return OSTREL_NO_ERROR;
  ostrel_commit_info info{};
  info.revision = static_cast<ostrel_revnum>(answer.revision);
  info.date = apr_pstrdup(pool, answer.date.c_str());
  info.author = answer.author ? apr_pstrdup(pool, answer.author->c_str()) : nullptr;
  info.post_commit_err = answer.warning ? apr_pstrdup(pool, answer.warning->c_str()) : nullptr;
  return e->callback(&info, e->callback_baton, pool);
}

// Dropping the connection before the finish frame is what makes the server
// abandon the edit.
void cancel_commit(void *baton) {
  auto *e = static_cast<HttpEdit *>(baton);
  if (e->started && !e->transfer.done) {
    curl_lib().curl_multi_remove_handle(e->session->http->multi, e->transfer.easy);
    e->transfer.done = true;
  }
}

ostrel_error *http_get_commit_editor(ostrel_ra_session *session,
                                     const ostrel_commit_editor **editor, void **edit_baton,
                                     apr_hash_t *revprop_table,
                                     ostrel_commit_callback commit_callback, void *commit_baton,
                                     apr_pool_t *pool) {
  auto *e = new (apr_palloc(pool, sizeof(HttpEdit))) HttpEdit;
  apr_pool_cleanup_register(pool, e, cleanup_edit, apr_pool_cleanup_null);
  e->session = session;
  e->callback = commit_callback;
  e->callback_baton = commit_baton;
  ostrel_wire::get_commit_encoder(editor, edit_baton, session->http->root_url.c_str(),
                                  revprop_table, {write_frames, finish_commit, cancel_commit, e},
                                  pool);
  return OSTREL_NO_ERROR;
}

const char *const kHttpSchemes[] = {"http", "https", nullptr};

}  // namespace

const ostrel_ra_module ostrel_ra_http_module = {
    "ostrel_ra_http",
    "network access",
    "access repositories served by ostreld over HTTP and HTTPS",
    kHttpSchemes,
    http_open,
    http_get_repos_root,
    http_get_latest_revnum,
    http_check_path,
    http_get_commit_editor,
    &ostrel_ra_http_read_calls,
};

// ---- Streamed answers, for the read calls (ra_http_read.cpp) ----

namespace ostrel_ra_http {

ostrel_error *get_streamed(ostrel_ra_session *session, const std::string &url,
                           const std::string &query, const char *shown_url, BodySink sink,
                           void *sink_baton) {
  ostrel_ra_http_session *http = session->http;
  struct Stream {
    Transfer *t;
    BodySink sink;
    void *baton;
    ostrel_error *err = nullptr;
    bool decided = false, ours = false;
  };
  Transfer t;
  Stream s{&t, sink, sink_baton};
  // A 200 answer of the protocol goes to the sink as it arrives; any other
  // answer (a refusal, a challenge, a stranger) is kept, bounded, to be read
  // as a whole below.
  auto write = [](char *data, size_t size, size_t count, void *baton) -> size_t {
    auto *st = static_cast<Stream *>(baton);
    if (!st->decided) {
      long status = 0;
      const char *type = nullptr;
      curl_lib().curl_easy_getinfo(st->t->easy, CURLINFO_RESPONSE_CODE, &status);
      curl_lib().curl_easy_getinfo(st->t->easy, CURLINFO_CONTENT_TYPE, &type);
      st->ours =
          status == 200 && type && std::strncmp(type, kContentType, std::strlen(kContentType)) == 0;
      st->decided = true;
    }
    if (!st->ours) return write_answer(data, size, count, st->t);
    st->err = st->sink(st->baton, data, size * count);
    return st->err ? 0 : size * count;
  };
  OSTREL_ERR(perform_get(
      http, t, url + "?" + query, shown_url,
      [&] {
        s.decided = s.ours = false;
        curl_lib().curl_easy_setopt(t.easy, CURLOPT_WRITEFUNCTION, +write);
        curl_lib().curl_easy_setopt(t.easy, CURLOPT_WRITEDATA, &s);
      },
      [&] { return s.err; }));
  if (s.ours && t.result == CURLE_OK) return OSTREL_NO_ERROR;
  OSTREL_ERR(check_transfer(t, shown_url));
  OSTREL_ERR(ostrel_wire::decode_refusal(t.answer, shown_url));
  return ostrel_error_createf(OSTREL_ERR_RA_BAD_ANSWER, nullptr,
                              "The server at URL '%s' sent no answer to read", shown_url);
}

}  // namespace ostrel_ra_http
