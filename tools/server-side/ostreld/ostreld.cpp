// ostreld: serves the repositories directly under a directory over HTTP.
//
// Usage: ostreld --root DIR [--listen HOST:PORT] [--config FILE]
//                [--access-log FILE|-] [--tls-cert FILE --tls-key FILE]
//                [--users FILE] [--rules FILE] [--open]
//
// Reads its options, then serves until SIGTERM or SIGINT (see server.h).
// Every error is printed once, as "ostreld: ..." lines on standard error,
// with exit status 1.

#include <apr_general.h>
#include <apr_getopt.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ostrel_error.h"
#include "ostrel_pools.h"
#include "server.h"

namespace {

const char kHelp[] =
    "Usage: ostreld --root DIR [--listen HOST:PORT] [--config FILE] [--access-log FILE|-]\n"
    "               [--tls-cert FILE --tls-key FILE] [--users FILE] [--rules FILE]\n"
    "               [--open]\n"
    "\n"
    "Serves every repository directly under DIR at http://HOST:PORT/NAME/, where\n"
    "NAME is the repository's directory name, to kelbrin and the other tools of\n"
    "the repository library (their http:// URLs).\n"
    "\n"
    "Options:\n"
    "  --root DIR           the directory whose repositories are served (required)\n"
    "  --listen HOST:PORT   where to listen (default 127.0.0.1:8740); port 0 picks a\n"
    "                       free port.  The address listened on is printed as\n"
    "                       HOST:PORT, the first line of standard output.\n"
    "  --config FILE        read settings from FILE (see below)\n"
    "  --access-log FILE    append one line per request to FILE ('-': standard\n"
    "                       output): time, client address, user or '-', method,\n"
    "                       path, status, bytes in, bytes out, duration\n"
    "  --tls-cert FILE      serve https:// with this certificate (PEM; the chain\n"
    "                       after the server's own certificate)\n"
    "  --tls-key FILE       the certificate's private key (PEM); TLS 1.3, and 1.2\n"
    "                       with ECDHE and AES-GCM or ChaCha20-Poly1305 only\n"
    "  --users FILE         who may log in (HTTP Basic): one NAME:HASH line per\n"
    "                       user, managed with 'ostrel-admin passwd FILE USER'.\n"
    "                       Commits are then made in the logged-in user's name.\n"
    "                       Failed logins are logged on standard error and slow\n"
    "                       down further attempts from the same address.\n"
    "  --rules FILE         path rules: who may read and write where (see\n"
    "                       ostreld(8)).  With --users but without --rules,\n"
    "                       logged-in users may read and write and anonymous\n"
    "                       callers nothing.  Without --users, nobody logs in:\n"
    "                       the rules' '*' lines apply to everyone, and revisions\n"
    "                       have no author.  Both files are read at the start.\n"
    "  --open               anyone who can connect may read and write, and the\n"
    "                       author of a commit is the name the client sends; for\n"
    "                       a loopback or otherwise trusted network only.  Does\n"
    "                       not go with --users or --rules.\n"
    "  -h, --help           show this text\n"
    "\n"
    "The configuration file has one [server] section of 'option = value' lines\n"
    "('#' or ';' starts a comment); command-line options override it:\n"
    "  listen = HOST:PORT\n"
    "  access-log = FILE\n"
    "  max-header-bytes = 65536      request line and headers (431 beyond)\n"
    "  idle-timeout-seconds = 60     a connection that completes no header block\n"
    "                                and no frame for this long is dropped\n"
    "  header-timeout-seconds = 10   a request's headers must be complete this long\n"
    "                                after its request line (or the connection's\n"
    "                                start); a slower connection is dropped\n"
    "  min-body-bytes-per-second = 512  a request body slower than this over a\n"
    "                                window of body-grace-seconds is dropped (0: off)\n"
    "  body-grace-seconds = 10       the length of that window\n"
    "  max-connections = 4096        connections served at once; a request on a\n"
    "                                connection beyond them is answered 503 (busy,\n"
    "                                with Retry-After) and the connection closed\n"
    "  max-connections-per-address = 64  connections open at once from one client\n"
    "                                address; more are closed at once\n"
    "  event-threads = 2             threads serving every connection (none has a\n"
    "                                thread of its own) and answering reads\n"
    "  workers = 4                   threads replaying commits\n"
    "  max-streams = 64              streamed read answers at once (each has a\n"
    "                                thread that writes it); more are answered 503\n"
    "  max-streams-per-address = 8   the same, for one client address\n"
    "  max-frame-bytes = 1048576     one frame of a commit (413 beyond)\n"
    "\n"
    "Without --open, a request gets only what --users and --rules grant (401 asks\n"
    "an anonymous caller to log in where that could help); with neither, every\n"
    "request is refused.\n"
    "\n"
    "SIGTERM and SIGINT finish the commits in flight, refuse new requests, and\n"
    "exit 0.  SIGHUP reads the users and rules files again (a file that does\n"
    "not read keeps the old users and rules in force).  A taken port, a missing root or an "
    "unreadable configuration file\n"
    "are errors (exit status 1).\n";

enum {
  opt_root = 256,
  opt_listen,
  opt_config,
  opt_access_log,
  opt_tls_cert,
  opt_tls_key,
  opt_users,
  opt_rules,
  opt_open
};

const apr_getopt_option_t kOptions[] = {
    {"root", opt_root, 1, "DIR"},
    {"listen", opt_listen, 1, "HOST:PORT"},
    {"config", opt_config, 1, "FILE"},
    {"access-log", opt_access_log, 1, "FILE"},
    {"tls-cert", opt_tls_cert, 1, "FILE"},
    {"tls-key", opt_tls_key, 1, "FILE"},
    {"users", opt_users, 1, "FILE"},
    {"rules", opt_rules, 1, "FILE"},
    {"open", opt_open, 0, ""},
    {"help", 'h', 0, ""},
    {nullptr, 0, 0, nullptr},
};

int fail(ostrel_error *err) {
  ostrel_handle_error2(err, stderr, false, "ostreld: ");
  ostrel_error_clear(err);
  return EXIT_FAILURE;
}

}  // namespace

int main(int argc, const char *const *argv) {
  if (apr_initialize() != APR_SUCCESS) {
    std::fputs("ostreld: cannot initialise APR\n", stderr);
    return EXIT_FAILURE;
  }
  std::atexit(apr_terminate);
  apr_pool_t *pool = ostrel_pool_create(nullptr);

  apr_getopt_t *os = nullptr;
  apr_getopt_init(&os, pool, argc, argv);
  os->errfn = nullptr;
  const char *root = nullptr, *listen = nullptr, *config = nullptr, *access_log = nullptr;
  const char *tls_cert = nullptr, *tls_key = nullptr, *users = nullptr, *rules = nullptr;
  bool open = false;
  while (true) {
    int id = 0;
    const char *arg = nullptr;
    apr_status_t status = apr_getopt_long(os, kOptions, &id, &arg);
    if (status == APR_EOF) break;
    if (status != APR_SUCCESS)
      return fail(ostrel_error_createf(OSTREL_ERR_BAD_ARGUMENTS, nullptr,
                                       "Bad option '%s'; try 'ostreld --help'", argv[os->ind - 1]));
    switch (id) {
      case opt_root:
        root = arg;
        break;
      case opt_listen:
        listen = arg;
        break;
      case opt_config:
        config = arg;
        break;
      case opt_access_log:
        access_log = arg;
        break;
      case opt_tls_cert:
        tls_cert = arg;
        break;
      case opt_tls_key:
        tls_key = arg;
        break;
      case opt_users:
        users = arg;
        break;
      case opt_rules:
        rules = arg;
        break;
      case opt_open:
        open = true;
        break;
      case 'h':
        std::fputs(kHelp, stdout);
        return std::fflush(stdout) == 0 && !std::ferror(stdout) ? EXIT_SUCCESS : EXIT_FAILURE;
    }
  }
  if (os->ind < argc)
    return fail(ostrel_error_createf(OSTREL_ERR_BAD_ARGUMENTS, nullptr,
                                     "Unexpected argument '%s'; try 'ostreld --help'",
                                     argv[os->ind]));
  if (!root)
    return fail(ostrel_error_create(OSTREL_ERR_BAD_ARGUMENTS, nullptr,
                                    "--root DIR is required; try 'ostreld --help'"));

  ostreld::Settings settings;
  if (config)
    if (ostrel_error *err = ostreld::read_config(settings, config)) return fail(err);
  settings.root = root;
  if (listen) settings.listen = listen;
  if (access_log) settings.access_log = access_log;
  if (tls_cert) settings.tls_cert = tls_cert;
  if (tls_key) settings.tls_key = tls_key;
  if (users) settings.users = users;
  if (rules) settings.rules = rules;
  settings.open = open;
  if (ostrel_error *err = ostreld::serve(settings)) return fail(err);
  apr_pool_destroy(pool);
  return EXIT_SUCCESS;
}
