// The repository server's gate: TLS credentials, who sends a request
// (HTTP Basic against the users file), the slowing down of guessing, and
// the path rules, for the request handlers on libmicrohttpd.
//
// How a handler uses it, on the FIRST call for a request (after the headers,
// before any of the body is read, so that a refused upload is never
// transferred: clients send "Expect: 100-continue" and get the refusal
// instead of "100 Continue"):
//   1. identify() the sender.  CHALLENGE: queue_challenge() (401 with the
//      realm).  THROTTLED: queue_throttled() (429 with Retry-After; the
//      password was not even checked).  IDENTIFIED: go on as the user (or
//      anonymously when no credentials came).
//   2. Check the access the request needs with rules().  Not enough for an
//      anonymous sender: queue_challenge(), so the client sends
//      credentials; not enough for a user: a refusal (403).
//   3. For a commit, wrap the commit editor with wrap_editor_with_rules()
//      and record the identified user as the author (never a name the
//      client claims).
// reload() reads the users and rules files again (ostreld does on SIGHUP):
// every login and every check of a path from then on uses the new accounts
// and rules; a check made before it stands.
#ifndef OSTREL_SERVER_GATEKEEPER_H
#define OSTREL_SERVER_GATEKEEPER_H

#include <microhttpd.h>

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "login_throttle.h"
#include "ostrel_error.h"
#include "path_rules.h"
#include "users_file.h"

namespace ostrel_server {

// The TLS versions and suites the server offers (1.3; 1.2 with ECDHE and
// AEAD suites only), as a GnuTLS priority string for
// MHD_OPTION_HTTPS_PRIORITIES.
extern const char kTlsPriorities[];

struct TlsCredentials {
  std::string cert_pem;
  std::string key_pem;
};

// Reads the PEM files CERT_FILE and KEY_FILE into *OUT after checking that
// both parse and that the key belongs to the certificate.  Errors
// (OSTREL_ERR_BAD_CONFIG_FILE) name the file and the reason and never
// show the key.
ostrel_error *load_tls_credentials(const char *cert_file, const char *key_file,
                                   TlsCredentials *out);

class Gatekeeper {
 public:
  using LogFunc = std::function<void(const std::string &line)>;

  // USERS_FILE, RULES_FILE: the files of --users and --rules, or nullptr.
  // Without a users file nobody can log in: every request is anonymous.
  // LOG receives one line per failed login; NOW tells the time (tests move
  // it by hand).
  static ostrel_error *create(
      std::unique_ptr<Gatekeeper> *gate, const char *realm, const char *users_file,
      const char *rules_file, LoginThrottleSettings throttle, LogFunc log,
      std::function<LoginThrottle::Clock::time_point()> now = LoginThrottle::Clock::now);

  enum class Outcome { identified, challenge, throttled };

  // Who sent the request on CONNECTION from ADDRESS (the client's address as
  // text): *USER is the authenticated name, or empty for an anonymous
  // request.  For THROTTLED, *WAIT is how long the address must still wait.
  Outcome identify(MHD_Connection *connection, const std::string &address, std::string *user,
                   LoginThrottle::Duration *wait);

  // Queues BODY as a 401 answer asking for credentials of this realm.
  MHD_Result queue_challenge(MHD_Connection *connection, MHD_Response *body) const;

  // Queues BODY as a 429 answer saying to retry after WAIT.
  static MHD_Result queue_throttled(MHD_Connection *connection, LoginThrottle::Duration wait,
                                    MHD_Response *body);

  // The rules in force; the caller keeps them alive as long as it uses them.
  std::shared_ptr<const PathRules> rules() const;
  bool has_users() const { return has_users_; }
  const std::string &realm() const { return realm_; }

  // Reads the users file and the rules file again.  All or nothing: when
  // either cannot be read or is malformed, the error says which and why,
  // and the accounts and rules in force stay as they are.
  ostrel_error *reload();

 private:
  Gatekeeper() = default;
  std::shared_ptr<const UsersFile> users() const;

  std::string realm_;
  std::string users_file_, rules_file_;  // "" when not given
  bool has_users_ = false;
  mutable std::mutex mutex_;  // guards users_ and rules_ (the pointers)
  std::shared_ptr<const UsersFile> users_;
  std::shared_ptr<const PathRules> rules_;
  std::unique_ptr<LoginThrottle> throttle_;
  LogFunc log_;
};

// The client address of CONNECTION as text ("127.0.0.1", "::1"), or "-".
std::string client_address(MHD_Connection *connection);

}  // namespace ostrel_server

#endif  // OSTREL_SERVER_GATEKEEPER_H
