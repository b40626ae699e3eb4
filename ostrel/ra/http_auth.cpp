// Credentials and server certificates for the http access module (contract
// in http_auth.h).  TLS itself is libcurl's on OpenSSL: this file only
// adds the configured authorities to the verification store and watches the
// verification through OpenSSL's verify callback.

#include "http_auth.h"

#include "curl_library.h"

#include <apr_cstr.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

namespace ostrel_ra_http {
namespace {

// The longest wait asked by a server (Retry-After, seconds) that is waited
// out rather than reported.
constexpr long kLongestWait = 30;

int session_index() {
  static int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
  return index;
}

std::string der_of(X509 *cert) {
  unsigned char *der = nullptr;
  int len = i2d_X509(cert, &der);
  if (len <= 0) return {};
  std::string out(reinterpret_cast<char *>(der), static_cast<std::size_t>(len));
  OPENSSL_free(der);
  return out;
}

std::string fingerprint_of(const std::string &der, apr_pool_t *pool) {
  ostrel_auth_cert_info *info = nullptr;
  ostrel_error *err = ostrel_auth_cert_describe(
      &info, reinterpret_cast<const unsigned char *>(der.data()), der.size(), pool);
  if (err) {
    ostrel_error_clear(err);
    return {};
  }
  return info->fingerprint;
}

// Called by OpenSSL for every certificate of the chain and every problem.
int verify(int ok, X509_STORE_CTX *store) {
  auto *ssl =
      static_cast<SSL *>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
  auto *auth = static_cast<HttpAuth *>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), session_index()));
  if (!auth) return ok;
  X509 *leaf = X509_STORE_CTX_get0_cert(store);
  if (auth->leaf_der.empty() && leaf) {
    auth->leaf_der = der_of(leaf);
    // The name is checked here as well, so that a certificate for another
    // host is put to the user like any other unknown certificate.
    const std::string &h = auth->host;
    bool name_ok = X509_check_host(leaf, h.c_str(), h.size(), 0, nullptr) == 1 ||
                   X509_check_ip_asc(leaf, h.c_str(), 0) == 1;
    if (!name_ok) auth->problem = "it is issued for another host name than '" + h + "'";
  }
  if (!ok && auth->problem.empty())
    auth->problem = X509_verify_cert_error_string(X509_STORE_CTX_get_error(store));

  const std::string &taken = !auth->pinned.empty() ? auth->pinned : auth->accepted;
  if (taken.empty()) return ok;
  apr_pool_t *scratch = nullptr;
  apr_pool_create(&scratch, auth->pool);
  std::string fp = fingerprint_of(auth->leaf_der, scratch);
  apr_pool_destroy(scratch);
  if (fp == taken) {
    X509_STORE_CTX_set_error(store, X509_V_OK);
    return 1;
  }
  if (!auth->pinned.empty()) {
    auth->pin_mismatch = true;
    return 0;  // refused before anything is sent
  }
  return ok;
}

CURLcode setup_ssl(CURL *, void *ssl_ctx, void *baton) {
  auto *auth = static_cast<HttpAuth *>(baton);
  auto *ctx = static_cast<SSL_CTX *>(ssl_ctx);
  if (const char *ca = auth->ab ? ostrel_auth_ca_file(auth->ab) : nullptr) {
    if (X509_STORE_load_file(SSL_CTX_get_cert_store(ctx), ca) != 1) {
      auth->ca_error = ca;
      return CURLE_SSL_CACERT_BADFILE;
    }
  }
  SSL_CTX_set_ex_data(ctx, session_index(), auth);
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, verify);
  return CURLE_OK;
}

size_t header_line(char *data, size_t size, size_t count, void *baton) {
  auto *auth = static_cast<HttpAuth *>(baton);
  std::size_t len = size * count;
  static const char kName[] = "www-authenticate:";
  static const char kRetry[] = "retry-after:";
  if (len > sizeof kName - 1 && apr_cstr_casecmpn(data, kName, sizeof kName - 1) == 0)
    auth->challenge.assign(data + sizeof kName - 1, len - (sizeof kName - 1));
  if (len > sizeof kRetry - 1 && apr_cstr_casecmpn(data, kRetry, sizeof kRetry - 1) == 0)
    auth->retry_after =
        std::atol(std::string(data + sizeof kRetry - 1, len - (sizeof kRetry - 1)).c_str());
  return len;
}

// The realm of a "Basic realm="..."" challenge, or the whole challenge.
std::string realm_of(const std::string &challenge) {
  std::size_t at = challenge.find("realm=\"");
  if (at == std::string::npos) return "";
  std::size_t end = challenge.find('"', at + 7);
  return challenge.substr(at + 7, end == std::string::npos ? end : end - at - 7);
}

}  // namespace

ostrel_error *init(HttpAuth &auth, ostrel_auth_baton *ab, const char *url, apr_pool_t *pool) {
  auth.ab = ab;
  auth.pool = pool;
  auth.url = url;
  CURLU *parsed = curl_lib().curl_url();
  char *scheme = nullptr, *host = nullptr, *port = nullptr;
  bool ok = curl_lib().curl_url_set(parsed, CURLUPART_URL, url, 0) == CURLUE_OK &&
            curl_lib().curl_url_get(parsed, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK &&
            curl_lib().curl_url_get(parsed, CURLUPART_HOST, &host, 0) == CURLUE_OK &&
            curl_lib().curl_url_get(parsed, CURLUPART_PORT, &port, CURLU_DEFAULT_PORT) == CURLUE_OK;
  if (ok) {
    auth.scheme = scheme;
    auth.host = host;
    if (auth.host.size() > 2 && auth.host.front() == '[')
      auth.host = auth.host.substr(1, auth.host.size() - 2);
    auth.host_port = std::string(host) + ":" + port;
  }
  curl_lib().curl_free(scheme);
  curl_lib().curl_free(host);
  curl_lib().curl_free(port);
  curl_lib().curl_url_cleanup(parsed);
  if (!ok)
    return ostrel_error_createf(OSTREL_ERR_RA_ILLEGAL_URL, nullptr, "Illegal repository URL '%s'",
                                url);
  // A password given up front never travels unprotected, not even once.
  if (ab && ostrel_auth_password(ab))
    OSTREL_ERR(ostrel_auth_check_transport(auth.scheme.c_str(), auth.host.c_str(), url));
  if (ab && auth.scheme == "https")
    if (const char *pinned = ostrel_auth_pinned_fingerprint(ab, auth.host_port.c_str(), pool))
      auth.pinned = pinned;
  return OSTREL_NO_ERROR;
}

void begin_request(HttpAuth &auth) {
  auth.leaf_der.clear();
  auth.problem.clear();
  auth.pin_mismatch = false;
  auth.ca_error.clear();
  auth.challenge.clear();
  auth.retry_after = -1;
}

void prepare(HttpAuth &auth, CURL *easy) {
  curl_lib().curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, header_line);
  curl_lib().curl_easy_setopt(easy, CURLOPT_HEADERDATA, &auth);
  if (auth.cred) {
    curl_lib().curl_easy_setopt(easy, CURLOPT_HTTPAUTH, CURLAUTH_BASIC);
    curl_lib().curl_easy_setopt(easy, CURLOPT_USERNAME, auth.cred->username);
    curl_lib().curl_easy_setopt(easy, CURLOPT_PASSWORD, auth.cred->password);
  }
  if (auth.scheme == "https") {
    curl_lib().curl_easy_setopt(easy, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
    curl_lib().curl_easy_setopt(easy, CURLOPT_SSL_CTX_FUNCTION, setup_ssl);
    curl_lib().curl_easy_setopt(easy, CURLOPT_SSL_CTX_DATA, &auth);
    // A certificate taken by its fingerprint is that exact certificate: its
    // names need no check.
    if (!auth.pinned.empty() || !auth.accepted.empty())
      curl_lib().curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 0L);
  }
}

ostrel_error *after(HttpAuth &auth, CURLcode result, long status, bool *retry) {
  *retry = false;
  if (!auth.ca_error.empty())
    return ostrel_error_createf(OSTREL_ERR_BAD_CONFIG_FILE, nullptr,
                                "Can't read the certificate authorities in '%s' "
                                "([https] ca-file)",
                                auth.ca_error.c_str());
  if (result == CURLE_PEER_FAILED_VERIFICATION || auth.pin_mismatch) {
    if (auth.leaf_der.empty() || !auth.ab) return OSTREL_NO_ERROR;  // the caller reports it
    const auto *der = reinterpret_cast<const unsigned char *>(auth.leaf_der.data());
    OSTREL_ERR(ostrel_auth_check_server_cert(auth.ab, auth.host_port.c_str(), der,
                                             auth.leaf_der.size(), false, auth.problem.c_str(),
                                             auth.pool));
    // Accepted: from now on that certificate is taken.
    auth.accepted = fingerprint_of(auth.leaf_der, auth.pool);
    *retry = !auth.accepted.empty();
    return OSTREL_NO_ERROR;
  }
  if (result != CURLE_OK) return OSTREL_NO_ERROR;

  // A server that slows down failed logins from this address says how long
  // to wait; a short wait is waited out, so that the user only sees a pause.
  if (status == 429 && auth.retry_after >= 0 && auth.retry_after <= kLongestWait) {
    std::this_thread::sleep_for(std::chrono::seconds(auth.retry_after));
    *retry = true;
    return OSTREL_NO_ERROR;
  }
  if (status == 401) {
    std::string realm =
        "<" + auth.scheme + "://" + auth.host_port + "> " + realm_of(auth.challenge);
    if (!auth.ab)
      return ostrel_error_createf(OSTREL_ERR_AUTHN_NO_CREDENTIALS, nullptr,
                                  "The server at '%s' asks for a user name and password",
                                  auth.url.c_str());
    const ostrel_auth_cred *cred = nullptr;
    if (!auth.state) {
      OSTREL_ERR(
          ostrel_auth_first_credentials(&cred, &auth.state, auth.ab, realm.c_str(), auth.pool));
    } else {
      OSTREL_ERR(ostrel_auth_next_credentials(&cred, auth.state, auth.pool));
    }
    OSTREL_ERR(
        ostrel_auth_check_transport(auth.scheme.c_str(), auth.host.c_str(), auth.url.c_str()));
    auth.cred = cred;
    auth.saved = false;
    *retry = true;
    return OSTREL_NO_ERROR;
  }
  if (status >= 200 && status < 300 && auth.state && !auth.saved) {
    auth.saved = true;
    OSTREL_ERR(ostrel_auth_save_credentials(auth.state, auth.pool));
  }
  return OSTREL_NO_ERROR;
}

}  // namespace ostrel_ra_http
