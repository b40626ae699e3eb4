// The server's gate (contract in gatekeeper.h).

#include "gatekeeper.h"

#include <arpa/inet.h>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>
#include <netinet/in.h>
#include <sodium.h>
#include <sys/socket.h>

#include <cerrno>
#include <fstream>
#include <sstream>

namespace ostrel_server {

// TLS 1.3 (whose suites are all AEAD with forward secrecy), and on TLS 1.2
// only ECDHE key exchange with AES-GCM or ChaCha20-Poly1305: no static RSA
// key exchange, no CBC, no SHA-1 MAC.
const char kTlsPriorities[] =
    "NORMAL:-VERS-ALL:+VERS-TLS1.3:+VERS-TLS1.2:-KX-ALL:+ECDHE-ECDSA:+ECDHE-RSA:-CIPHER-ALL:"
    "+AES-256-GCM:+AES-128-GCM:+CHACHA20-POLY1305:-MAC-ALL:+AEAD:%SERVER_PRECEDENCE";

namespace {

ostrel_error *read_pem(const char *path, const char *what, std::string *out) {
  std::ifstream in(path, std::ios::binary);
  if (!in)
    return ostrel_error_create(
        OSTREL_ERR_BAD_CONFIG_FILE,
        ostrel_error_from_errno(errno ? errno : EIO, "Can't read the TLS %s file '%s'", what, path),
        nullptr);
  std::ostringstream text;
  text << in.rdbuf();
  *out = text.str();
  return OSTREL_NO_ERROR;
}

// Names in a log line are the client's words: control characters are shown
// escaped so that a name cannot forge log lines.
std::string printable(const std::string &text) {
  std::string out;
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7f || c == '\\') {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

}  // namespace

ostrel_error *load_tls_credentials(const char *cert_file, const char *key_file,
                                   TlsCredentials *out) {
  TlsCredentials creds;
  OSTREL_ERR(read_pem(cert_file, "certificate", &creds.cert_pem));
  OSTREL_ERR(read_pem(key_file, "key", &creds.key_pem));

  gnutls_certificate_credentials_t check;
  if (gnutls_certificate_allocate_credentials(&check) < 0)
    return ostrel_error_create(OSTREL_ERR_MALFUNCTION, nullptr, "Can't set up TLS");
  gnutls_datum_t cert = {reinterpret_cast<unsigned char *>(creds.cert_pem.data()),
                         static_cast<unsigned int>(creds.cert_pem.size())};
  gnutls_datum_t key = {reinterpret_cast<unsigned char *>(creds.key_pem.data()),
                        static_cast<unsigned int>(creds.key_pem.size())};
  int rc = gnutls_certificate_set_x509_key_mem(check, &cert, &key, GNUTLS_X509_FMT_PEM);
  gnutls_certificate_free_credentials(check);
  if (rc == GNUTLS_E_CERTIFICATE_KEY_MISMATCH)
    return ostrel_error_createf(OSTREL_ERR_BAD_CONFIG_FILE, nullptr,
                                "The TLS key in '%s' does not belong to the certificate in '%s'",
                                key_file, cert_file);
  if (rc < 0) {
    // Which of the two is wrong: try the certificate alone.
    gnutls_x509_crt_t crt;
    gnutls_x509_crt_init(&crt);
    bool cert_ok = gnutls_x509_crt_import(crt, &cert, GNUTLS_X509_FMT_PEM) >= 0;
    gnutls_x509_crt_deinit(crt);
    return cert_ok ? ostrel_error_createf(OSTREL_ERR_BAD_CONFIG_FILE, nullptr,
                                          "Can't use the TLS key in '%s': %s", key_file,
                                          gnutls_strerror(rc))
                   : ostrel_error_createf(OSTREL_ERR_BAD_CONFIG_FILE, nullptr,
                                          "Can't use the TLS certificate in '%s': %s", cert_file,
                                          gnutls_strerror(rc));
  }
  *out = std::move(creds);
  return OSTREL_NO_ERROR;
}

ostrel_error *Gatekeeper::create(std::unique_ptr<Gatekeeper> *gate, const char *realm,
                                 const char *users_file, const char *rules_file,
                                 LoginThrottleSettings throttle, LogFunc log,
                                 std::function<LoginThrottle::Clock::time_point()> now) {
  std::unique_ptr<Gatekeeper> g(new Gatekeeper());
  g->realm_ = realm;
  if (users_file) {
    OSTREL_ERR(init_password_hashing());
    g->users_file_ = users_file;
    g->has_users_ = true;
  }
  if (rules_file) g->rules_file_ = rules_file;
  OSTREL_ERR(g->reload());
  g->throttle_ = std::make_unique<LoginThrottle>(throttle, std::move(now));
  g->log_ = std::move(log);
  *gate = std::move(g);
  return OSTREL_NO_ERROR;
}

ostrel_error *Gatekeeper::reload() {
  auto users = std::make_shared<UsersFile>();
  auto rules = std::make_shared<PathRules>();
  if (!users_file_.empty()) OSTREL_ERR(UsersFile::load(users_file_.c_str(), false, users.get()));
  if (!rules_file_.empty()) OSTREL_ERR(PathRules::load(rules_file_.c_str(), rules.get()));
  std::lock_guard<std::mutex> lock(mutex_);
  users_ = std::move(users);
  rules_ = std::move(rules);
  return OSTREL_NO_ERROR;
}

std::shared_ptr<const PathRules> Gatekeeper::rules() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return rules_;
}

std::shared_ptr<const UsersFile> Gatekeeper::users() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return users_;
}

Gatekeeper::Outcome Gatekeeper::identify(MHD_Connection *connection, const std::string &address,
                                         std::string *user, LoginThrottle::Duration *wait) {
  user->clear();
  if (!MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_AUTHORIZATION))
    return Outcome::identified;  // anonymous

  char *password = nullptr;
  char *name = MHD_basic_auth_get_username_password(connection, &password);
  std::string given = name ? name : "";
  std::string secret = password ? password : "";
  if (name) MHD_free(name);
  if (password) {
    sodium_memzero(password, secret.size());
    MHD_free(password);
  }
  if (!name) return Outcome::challenge;  // not Basic, or malformed

  *wait = throttle_->wait_before(address);
  if (wait->count() > 0) {
    sodium_memzero(secret.data(), secret.size());
    return Outcome::throttled;
  }
  bool ok = has_users_ && users()->verify(given, secret);
  sodium_memzero(secret.data(), secret.size());
  if (ok) {
    *user = given;
    return Outcome::identified;
  }
  LoginThrottle::Failure f = throttle_->failed(address);
  if (log_)
    log_("failed login for user '" + printable(given) + "' from " + address + " (" +
         std::to_string(f.count) + " in a row; the next attempt from this address waits " +
         std::to_string(f.delay.count()) + " ms)");
  return Outcome::challenge;
}

MHD_Result Gatekeeper::queue_challenge(MHD_Connection *connection, MHD_Response *body) const {
  return MHD_queue_basic_auth_fail_response(connection, realm_.c_str(), body);
}

MHD_Result Gatekeeper::queue_throttled(MHD_Connection *connection, LoginThrottle::Duration wait,
                                       MHD_Response *body) {
  long seconds = static_cast<long>((wait.count() + 999) / 1000);
  MHD_add_response_header(body, MHD_HTTP_HEADER_RETRY_AFTER, std::to_string(seconds).c_str());
  return MHD_queue_response(connection, MHD_HTTP_TOO_MANY_REQUESTS, body);
}

std::string client_address(MHD_Connection *connection) {
  const MHD_ConnectionInfo *info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
  if (!info || !info->client_addr) return "-";
  char text[INET6_ADDRSTRLEN] = "-";
  const sockaddr *sa = info->client_addr;
  if (sa->sa_family == AF_INET)
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in *>(sa)->sin_addr, text, sizeof text);
  else if (sa->sa_family == AF_INET6)
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6 *>(sa)->sin6_addr, text, sizeof text);
  return text;
}

}  // namespace ostrel_server
