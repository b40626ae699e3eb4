// ostreld's HTTP side: start, signals and stop.  The threads, the
// invariants and the parts are described in server_internal.h.

#include "server.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "gatekeeper.h"
#include "server_internal.h"

namespace ostreld {

ostrel_error *serve(const Settings &settings) {
  auto server = std::make_unique<Server>();
  server->settings = settings;
  struct stat st;
  if (settings.root.empty() || ::stat(settings.root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    return ostrel_error_createf(OSTREL_ERR_BAD_ARGUMENTS, nullptr,
                                "The root '%s' is not a directory", settings.root.c_str());
  char *real = realpath(settings.root.c_str(), nullptr);
  server->root = real ? real : settings.root;
  free(real);

  if (settings.access_log == "-") {
    server->log = stdout;
  } else if (!settings.access_log.empty()) {
    server->log = std::fopen(settings.access_log.c_str(), "a");
    if (!server->log) {
      int saved = errno;
      return ostrel_error_createf(OSTREL_ERR_BAD_CONFIG_FILE, nullptr,
                                  "Can't open the access log '%s': %s", settings.access_log.c_str(),
                                  std::strerror(saved));
    }
  }

  // TLS, users and rules are checked before anything listens.
  if (settings.open && (!settings.users.empty() || !settings.rules.empty()))
    return ostrel_error_create(OSTREL_ERR_BAD_ARGUMENTS, nullptr,
                               "--open lets everyone in without accounts or rules; it does not go "
                               "with --users or --rules");
  ostrel_server::TlsCredentials tls;
  if (settings.tls_cert.empty() != settings.tls_key.empty())
    return ostrel_error_create(OSTREL_ERR_BAD_ARGUMENTS, nullptr,
                               "--tls-cert and --tls-key go together");
  if (!settings.tls_cert.empty()) {
    OSTREL_ERR(ostrel_server::load_tls_credentials(settings.tls_cert.c_str(),
                                                   settings.tls_key.c_str(), &tls));
    server->tls = true;
  }
  // Only an open server goes without a gate; without users and rules the
  // gate's default policy admits nobody.
  std::unique_ptr<ostrel_server::Gatekeeper> gate;
  if (!settings.open) {
    OSTREL_ERR(ostrel_server::Gatekeeper::create(
        &gate, "ostreld", settings.users.empty() ? nullptr : settings.users.c_str(),
        settings.rules.empty() ? nullptr : settings.rules.c_str(), {}, [](const std::string &line) {
          std::fprintf(stderr, "ostreld: %s\n", line.c_str());
          std::fflush(stderr);
        }));
  }
  server->gate = Gate(gate.get());
  MHD_OptionItem tls_options[] = {
      {MHD_OPTION_HTTPS_MEM_CERT, 0, tls.cert_pem.data()},
      {MHD_OPTION_HTTPS_MEM_KEY, 0, tls.key_pem.data()},
      {MHD_OPTION_HTTPS_PRIORITIES, 0, const_cast<char *>(ostrel_server::kTlsPriorities)},
      {MHD_OPTION_END, 0, nullptr},
  };

  int listen_fd = -1;
  std::string shown;
  OSTREL_ERR(open_listener(&listen_fd, &shown, settings.listen));

  // The signals are taken by this thread alone (sigwait below); every
  // thread started from here on inherits the blocked mask.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  raise_open_files_limit(settings.max_connections + kRefusalSlots);
  server->workers = std::make_unique<WorkerPool>(settings.workers);
  server->streams =
      std::make_unique<StreamSlots>(settings.max_streams, settings.max_streams_per_address);
  MHD_Daemon *daemon = MHD_start_daemon(
      MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME |
          MHD_USE_ERROR_LOG | (server->tls ? MHD_USE_TLS : 0),
      0, nullptr, nullptr, handle, server.get(), MHD_OPTION_EXTERNAL_LOGGER, log_library, nullptr,
      MHD_OPTION_LISTEN_SOCKET, listen_fd, MHD_OPTION_THREAD_POOL_SIZE,
      static_cast<unsigned>(settings.event_threads), MHD_OPTION_CONNECTION_LIMIT,
      settings.max_connections + kRefusalSlots, MHD_OPTION_PER_IP_CONNECTION_LIMIT,
      static_cast<unsigned>(settings.max_connections_per_address), MHD_OPTION_CONNECTION_TIMEOUT,
      static_cast<unsigned>(settings.idle_timeout_seconds), MHD_OPTION_CONNECTION_MEMORY_LIMIT,
      static_cast<size_t>(settings.max_header_bytes), MHD_OPTION_NOTIFY_COMPLETED, on_completed,
      server.get(), MHD_OPTION_NOTIFY_CONNECTION, on_connection, server.get(),
      MHD_OPTION_URI_LOG_CALLBACK, on_request_line, server.get(), MHD_OPTION_UNESCAPE_CALLBACK,
      keep_escaped, server.get(), MHD_OPTION_ARRAY, server->tls ? tls_options : tls_options + 3,
      MHD_OPTION_END);
  if (!daemon) {
    server->workers.reset();
    close(listen_fd);
    if (server->log && server->log != stdout) std::fclose(server->log);
    return ostrel_error_createf(OSTREL_ERR_MALFUNCTION, nullptr, "Can't start serving on '%s'",
                                shown.c_str());
  }
  std::printf("%s\n", shown.c_str());
  std::fflush(stdout);
  if (!settings.open && settings.users.empty() && settings.rules.empty()) {
    std::fputs("ostreld: warning: no --users, --rules or --open: every request will be refused\n",
               stderr);
    std::fflush(stderr);
  }

  std::atomic<bool> reaper_done{false};
  std::thread reaper(reap, server.get(), std::ref(reaper_done));

  // SIGHUP reads the users and rules files again; a file that does not
  // read keeps the old accounts and rules in force, and says why.
  int received = 0;
  while (sigwait(&signals, &received) == 0 && received == SIGHUP) {
    if (!gate) continue;
    ostrel_error *err = gate->reload();
    if (err) {
      ostrel_handle_error2(err, stderr, false, "ostreld: ");
      std::fputs("ostreld: the users and rules in force stay as they were\n", stderr);
      ostrel_error_clear(err);
    } else {
      std::fputs("ostreld: read the users and rules files again\n", stderr);
    }
    std::fflush(stderr);
  }

  // Stop: no new connections, new requests refused, commits in flight
  // finished (invariant 4).
  server->stopping = true;
  MHD_socket quiesced = MHD_quiesce_daemon(daemon);
  if (quiesced != MHD_INVALID_SOCKET) close(quiesced);
  {
    std::unique_lock<std::mutex> lock(server->mutex);
    server->idle.wait(lock, [&] { return server->commits_in_flight == 0; });
  }
  // Every suspended connection is resumed before the daemon stops.
  server->streams->wait_unsuspended();
  MHD_stop_daemon(daemon);
  server->workers.reset();
  reaper_done = true;
  reaper.join();
  if (server->log && server->log != stdout) std::fclose(server->log);
  return OSTREL_NO_ERROR;
}

}  // namespace ostreld
