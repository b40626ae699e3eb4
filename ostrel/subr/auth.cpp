// The authentication baton of the console tools, the credential chain and
// cache, the terminal prompt, and the decision about server certificates
// (contracts in ostrel_auth.h).
//
// Files under CONFIG_DIR/auth/ (directory 0700, files 0600, each written to
// a temporary file, flushed and renamed into place, so a reader sees a whole
// old file or a whole new one):
//   realm-<SHA-256 of the realm, hex>    realm=, username=, password= lines
//   cert-<SHA-256 of "host:port", hex>   host=, sha256= lines
// A file that is not ours or that others may read or write is ignored with
// a warning rather than trusted.

#include <apr_cstr.h>
#include <apr_strings.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ostrel_auth.h"
#include "ostrel_config.h"

struct ostrel_auth_baton {
  const char *username;        // resolved: given, else login name; NULL for none
  const char *given_username;  // as given, NULL when not given
  const char *password;
  const char *config_dir;  // as given; NULL: the default directory
  bool non_interactive;
  bool no_auth_cache;
  bool trust_server_cert;
  ostrel_config *cfg;
  ostrel_cancel_func cancel_func;
  void *cancel_baton;
  ostrel_auth_warning_func warning_func;
  void *warning_baton;
  apr_hash_t *accepted_once;  // host:port -> fingerprint accepted for this run
  apr_pool_t *pool;
};

struct ostrel_auth_iterstate {
  ostrel_auth_baton *ab;
  const char *realm;
  ostrel_auth_cred cred;
  bool from_cache;
  int prompts;
};

namespace {

constexpr int kMaxPrompts = 3;

std::string sha256_hex(std::string_view data, bool colons) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  EVP_Digest(data.data(), data.size(), digest, &len, EVP_sha256(), nullptr);
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned int i = 0; i < len; ++i) {
    if (colons && i) out += ':';
    out += kHex[digest[i] >> 4];
    out += kHex[digest[i] & 15];
  }
  if (!colons)
    for (char &c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

void warn(ostrel_auth_baton *ab, ostrel_error *warning) {
  if (ab->warning_func) ab->warning_func(ab->warning_baton, warning);
  ostrel_error_clear(warning);
}

ostrel_error *auth_dir(std::string *dir, ostrel_auth_baton *ab, apr_pool_t *pool) {
  const char *config_dir = ab->config_dir;
  if (!config_dir) OSTREL_ERR(ostrel_config_default_dir(&config_dir, pool));
  *dir = std::string(config_dir) + "/auth";
  return OSTREL_NO_ERROR;
}

// Reads the key=value file PATH when it is safe to trust.  Returns false
// (after a warning for a file with loose permissions) when it is missing or
// not to be trusted.
bool read_private_file(std::map<std::string, std::string> *values, const std::string &path,
                       ostrel_auth_baton *ab) {
  int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    if (errno != ENOENT)
      warn(ab, ostrel_error_from_errno(errno, "Ignoring the cached authentication file '%s'",
                                       path.c_str()));
    return false;
  }
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid() ||
      (st.st_mode & 077) != 0) {
    ::close(fd);
    warn(ab, ostrel_error_createf(OSTREL_ERR_BAD_CONFIG_FILE, nullptr,
                                  "Ignoring the cached authentication file '%s': it must be a "
                                  "file of yours that only you may read and write (mode 0600)",
                                  path.c_str()));
    return false;
  }
  std::string text;
  char buf[4096];
  ssize_t n;
  while ((n = ::read(fd, buf, sizeof buf)) > 0 && text.size() < 65536)
    text.append(buf, static_cast<std::size_t>(n));
  ::close(fd);
  std::string_view rest = text;
  while (!rest.empty()) {
    std::size_t nl = rest.find('\n');
    std::string_view line = rest.substr(0, nl);
    rest = nl == std::string_view::npos ? std::string_view() : rest.substr(nl + 1);
    std::size_t eq = line.find('=');
    if (eq != std::string_view::npos)
      (*values)[std::string(line.substr(0, eq))] = std::string(line.substr(eq + 1));
  }
  return true;
}

// Writes TEXT to NAME in the auth directory: 0700 directory, 0600 file,
// atomically.
ostrel_error *write_private_file(ostrel_auth_baton *ab, const std::string &name,
                                 const std::string &text, apr_pool_t *pool) {
  std::string dir;
  OSTREL_ERR(auth_dir(&dir, ab, pool));
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
    return ostrel_error_from_errno(errno, "Can't make the authentication directory '%s'",
                                   dir.c_str());
  struct stat st;
  if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    return ostrel_error_createf(OSTREL_ERR_BAD_CONFIG_FILE, nullptr, "'%s' is not a directory",
                                dir.c_str());
  if ((st.st_mode & 077) != 0 && ::chmod(dir.c_str(), 0700) != 0)
    return ostrel_error_from_errno(errno, "Can't make '%s' private (mode 0700)", dir.c_str());

  std::string path = dir + "/" + name;
  std::string temp = path + ".tmp-XXXXXX";
  int fd = ::mkstemp(temp.data());  // mode 0600
  if (fd < 0) return ostrel_error_from_errno(errno, "Can't write in '%s'", dir.c_str());
  ostrel_error *err = OSTREL_NO_ERROR;
  for (std::size_t done = 0; done < text.size() && !err;) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0)
      err = ostrel_error_from_errno(n < 0 ? errno : EIO, "Can't write '%s'", temp.c_str());
    else
      done += static_cast<std::size_t>(n);
  }
  if (!err && ::fsync(fd) != 0)
    err = ostrel_error_from_errno(errno, "Can't flush '%s' to disk", temp.c_str());
  if (::close(fd) != 0 && !err)
    err = ostrel_error_from_errno(errno, "Can't write '%s'", temp.c_str());
  if (!err && ::rename(temp.c_str(), path.c_str()) != 0)
    err = ostrel_error_from_errno(errno, "Can't replace '%s'", path.c_str());
  if (err) ::unlink(temp.c_str());
  return err;
}

bool store_passwords(const ostrel_auth_baton *ab) {
  if (ab->no_auth_cache) return false;
  std::string_view value = ostrel_config_get(ab->cfg, OSTREL_CONFIG_SECTION_AUTH,
                                             OSTREL_CONFIG_OPTION_STORE_PASSWORDS, "yes");
  return !(value == "no" || value == "false" || value == "off");
}

std::string realm_file(const char *realm) {
  return "realm-" + sha256_hex(realm, false);
}
std::string cert_file(const char *host_port) {
  return "cert-" + sha256_hex(host_port, false);
}

// Closes the terminal and puts its settings back, whatever happened.
struct Terminal {
  int fd = -1;
  bool restore = false;
  struct termios saved {};
  ~Terminal() {
    if (restore) ::tcsetattr(fd, TCSAFLUSH, &saved);
    if (fd >= 0) ::close(fd);
  }
};

// The signals that end a process at a terminal.  While the echo is off they
// are caught, so that the terminal gets its echo back before the signal takes
// its usual course; a user who presses Ctrl-C at a password prompt must not
// be left typing blind.
constexpr int kEndingSignals[] = {SIGINT, SIGQUIT, SIGTERM, SIGHUP};
volatile sig_atomic_t prompt_signal = 0;

extern "C" void note_prompt_signal(int signo) {
  prompt_signal = signo;
}

class SignalsCaught {
 public:
  SignalsCaught() {
    prompt_signal = 0;
    struct sigaction catcher {};
    catcher.sa_handler = note_prompt_signal;
    sigemptyset(&catcher.sa_mask);
    catcher.sa_flags = 0;  // no SA_RESTART: the read must return with EINTR
    for (std::size_t i = 0; i < std::size(kEndingSignals); ++i)
      ::sigaction(kEndingSignals[i], &catcher, &previous_[i]);
  }
  SignalsCaught(const SignalsCaught &) = delete;
  SignalsCaught &operator=(const SignalsCaught &) = delete;

  // Puts the previous handlers back and delivers a signal that came in the
  // meantime to them.  Call after the terminal is restored.
  void release() {
    if (released_) return;
    released_ = true;
    for (std::size_t i = 0; i < std::size(kEndingSignals); ++i)
      ::sigaction(kEndingSignals[i], &previous_[i], nullptr);
    if (prompt_signal) ::raise(prompt_signal);
  }
  ~SignalsCaught() { release(); }

 private:
  struct sigaction previous_[std::size(kEndingSignals)]{};
  bool released_ = false;
};

ostrel_error *write_tty(int fd, std::string_view text) {
  while (!text.empty()) {
    ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return ostrel_error_from_errno(n < 0 ? errno : EIO, "Can't write to the terminal");
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return OSTREL_NO_ERROR;
}

// Asks for the user name (unless one was given) and the password.
ostrel_error *prompt_credentials(ostrel_auth_iterstate *state, apr_pool_t *pool) {
  ostrel_auth_baton *ab = state->ab;
  state->prompts++;
  const char *user = ab->given_username;
  if (!user) {
    const char *prompt = apr_psprintf(pool, "Authentication realm: %s\nUser name: ", state->realm);
    OSTREL_ERR(ostrel_auth_prompt(&user, prompt, false, pool));
  }
  const char *password;
  OSTREL_ERR(ostrel_auth_prompt(
      &password, apr_psprintf(pool, "Password for '%s' (realm %s): ", user, state->realm), true,
      pool));
  state->cred.username = user;
  state->cred.password = password;
  state->from_cache = false;
  return OSTREL_NO_ERROR;
}

bool is_loopback(std::string_view host) {
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
    host = host.substr(1, host.size() - 2);
  if (!host.empty() && host.back() == '.') host.remove_suffix(1);
  if (host.size() == 9 && apr_cstr_casecmpn(host.data(), "localhost", 9) == 0) return true;
  std::string h(host);
  unsigned char addr[16];
  if (inet_pton(AF_INET, h.c_str(), addr) == 1) return addr[0] == 127;
  if (inet_pton(AF_INET6, h.c_str(), addr) == 1) {
    static const unsigned char kLoopback[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    static const unsigned char kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    return std::memcmp(addr, kLoopback, 16) == 0 ||
           (std::memcmp(addr, kMapped, 12) == 0 && addr[12] == 127);
  }
  return false;
}

std::string bio_text(BIO *bio) {
  char *data = nullptr;
  long len = BIO_get_mem_data(bio, &data);
  return len > 0 ? std::string(data, static_cast<std::size_t>(len)) : std::string();
}

}  // namespace

extern "C" {

const char *ostrel_auth_login_name(apr_pool_t *pool) {
  std::vector<char> buffer(16384);
  struct passwd entry;
  struct passwd *found = nullptr;
  if (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found ||
      !found->pw_name || !*found->pw_name)
    return nullptr;
  return apr_pstrdup(pool, found->pw_name);
}

ostrel_error *ostrel_cmdline_create_auth_baton(ostrel_auth_baton **ab, bool non_interactive,
                                               const char *username, const char *password,
                                               const char *config_dir, bool no_auth_cache,
                                               bool trust_server_cert, ostrel_config *cfg,
                                               ostrel_cancel_func cancel_func, void *cancel_baton,
                                               apr_pool_t *pool) {
  auto *baton = static_cast<ostrel_auth_baton *>(apr_pcalloc(pool, sizeof(ostrel_auth_baton)));
  if (!username)
    baton->username = ostrel_auth_login_name(pool);
  else if (*username)
    baton->username = apr_pstrdup(pool, username);
  baton->given_username = username && *username ? baton->username : nullptr;
  baton->password = password ? apr_pstrdup(pool, password) : nullptr;
  baton->config_dir = config_dir ? apr_pstrdup(pool, config_dir) : nullptr;
  baton->non_interactive = non_interactive;
  baton->no_auth_cache = no_auth_cache;
  baton->trust_server_cert = trust_server_cert;
  baton->cfg = cfg;
  baton->cancel_func = cancel_func;
  baton->cancel_baton = cancel_baton;
  baton->accepted_once = apr_hash_make(pool);
  baton->pool = pool;
  *ab = baton;
  return OSTREL_NO_ERROR;
}

const char *ostrel_auth_username(const ostrel_auth_baton *ab) {
  return ab->username;
}

const char *ostrel_auth_password(const ostrel_auth_baton *ab) {
  return ab->password;
}

void ostrel_auth_set_warning_func(ostrel_auth_baton *ab, ostrel_auth_warning_func func,
                                  void *baton) {
  ab->warning_func = func;
  ab->warning_baton = baton;
}

ostrel_error *ostrel_auth_prompt(const char **answer, const char *prompt, bool secret,
                                 apr_pool_t *pool) {
  // Declared first so that on every way out the terminal is restored before
  // a signal caught meanwhile is handed on.
  std::optional<SignalsCaught> signals;
  Terminal tty;
  tty.fd = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (tty.fd < 0)
    return ostrel_error_create(OSTREL_ERR_AUTHN_NO_TERMINAL,
                               ostrel_error_from_errno(errno, "Can't open the terminal"),
                               "No terminal to ask on");
  if (secret) {
    if (::tcgetattr(tty.fd, &tty.saved) != 0)
      return ostrel_error_from_errno(errno, "Can't read the terminal's settings");
    struct termios quiet = tty.saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ICANON;
    signals.emplace();
    if (::tcsetattr(tty.fd, TCSAFLUSH, &quiet) != 0)
      return ostrel_error_from_errno(errno, "Can't turn off the terminal's echo");
    tty.restore = true;
  }
  OSTREL_ERR(write_tty(tty.fd, prompt));
  std::string line;
  bool ended = false;
  while (line.size() < 4096 && !prompt_signal) {
    char c;
    ssize_t n = ::read(tty.fd, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return ostrel_error_from_errno(errno, "Can't read from the terminal");
    if (n == 0) break;
    if (c == '\n') {
      ended = true;
      break;
    }
    line += c;
  }
  if (secret) {
    ostrel_error *err = write_tty(tty.fd, "\n");
    ::tcsetattr(tty.fd, TCSAFLUSH, &tty.saved);
    tty.restore = false;
    bool interrupted = prompt_signal != 0;
    signals->release();
    if (interrupted) {
      // The previous handler took the signal and did not end the process.
      ostrel_error_clear(err);
      if (!line.empty()) OPENSSL_cleanse(line.data(), line.size());
      return ostrel_error_create(OSTREL_ERR_CANCELLED, nullptr, "Interrupted at the terminal");
    }
    OSTREL_ERR(err);
  }
  if (!ended && line.empty())
    return ostrel_error_create(OSTREL_ERR_CANCELLED, nullptr, "No answer given at the terminal");
  if (!line.empty() && line.back() == '\r') line.pop_back();
  *answer = apr_pstrmemdup(pool, line.data(), line.size());
  if (!line.empty()) OPENSSL_cleanse(line.data(), line.size());
  return OSTREL_NO_ERROR;
}

ostrel_error *ostrel_auth_first_credentials(const ostrel_auth_cred **cred,
                                            ostrel_auth_iterstate **state, ostrel_auth_baton *ab,
                                            const char *realm, apr_pool_t *pool) {
  auto *st = static_cast<ostrel_auth_iterstate *>(apr_pcalloc(pool, sizeof(ostrel_auth_iterstate)));
  st->ab = ab;
  st->realm = apr_pstrdup(pool, realm);

  if (ab->password) {
    st->cred.username = ab->username ? ab->username : "";
    st->cred.password = ab->password;
    *cred = &st->cred;
    *state = st;
    return OSTREL_NO_ERROR;
  }

  std::string dir;
  OSTREL_ERR(auth_dir(&dir, ab, pool));
  std::map<std::string, std::string> cached;
  if (read_private_file(&cached, dir + "/" + realm_file(realm), ab) && cached["realm"] == realm &&
      !cached["username"].empty() && cached.count("password") &&
      (!ab->given_username || cached["username"] == ab->given_username)) {
    st->cred.username = apr_pstrdup(pool, cached["username"].c_str());
    st->cred.password = apr_pstrdup(pool, cached["password"].c_str());
    OPENSSL_cleanse(cached["password"].data(), cached["password"].size());
    st->from_cache = true;
    *cred = &st->cred;
    *state = st;
    return OSTREL_NO_ERROR;
  }

  ostrel_error *err = ab->non_interactive
                          ? ostrel_error_create(OSTREL_ERR_AUTHN_NO_TERMINAL, nullptr, nullptr)
                          : prompt_credentials(st, pool);
  if (err && err->apr_err == OSTREL_ERR_AUTHN_NO_TERMINAL) {
    ostrel_error_clear(err);
    return ostrel_error_createf(
        OSTREL_ERR_AUTHN_NO_CREDENTIALS, nullptr,
        "The server asks for a user name and password (realm: %s); pass --username and "
        "--password%s",
        realm,
        ab->non_interactive ? ", or leave out --non-interactive to be asked"
                            : " (there is no terminal to ask on)");
  }
  OSTREL_ERR(err);
  *cred = &st->cred;
  *state = st;
  return OSTREL_NO_ERROR;
}

ostrel_error *ostrel_auth_next_credentials(const ostrel_auth_cred **cred,
                                           ostrel_auth_iterstate *state, apr_pool_t *pool) {
  ostrel_auth_baton *ab = state->ab;
  *cred = nullptr;
  ostrel_error *err = OSTREL_NO_ERROR;
  if (ab->non_interactive || state->prompts >= kMaxPrompts)
    err = ostrel_error_create(OSTREL_ERR_AUTHN_NO_TERMINAL, nullptr, nullptr);
  else
    err = prompt_credentials(state, pool);
  if (err && err->apr_err == OSTREL_ERR_AUTHN_NO_TERMINAL) {
    ostrel_error_clear(err);
    return ostrel_error_createf(OSTREL_ERR_AUTHN_FAILED, nullptr,
                                "Authentication failed for realm %s: wrong user name or password",
                                state->realm);
  }
  OSTREL_ERR(err);
  *cred = &state->cred;
  return OSTREL_NO_ERROR;
}

ostrel_error *ostrel_auth_save_credentials(ostrel_auth_iterstate *state, apr_pool_t *pool) {
  if (state->from_cache || !store_passwords(state->ab)) return OSTREL_NO_ERROR;
  const ostrel_auth_cred &c = state->cred;
  // One value per line: a value with a line break cannot be kept.
  for (const char *value : {state->realm, c.username, c.password})
    if (std::strpbrk(value, "\r\n")) return OSTREL_NO_ERROR;
  std::string text = std::string("realm=") + state->realm + "\nusername=" + c.username +
                     "\npassword=" + c.password + "\n";
  ostrel_error *err = write_private_file(state->ab, realm_file(state->realm), text, pool);
  OPENSSL_cleanse(text.data(), text.size());
  if (err)
    return ostrel_error_quick_wrapf(err, "Can't cache the credentials for realm %s", state->realm);
  state->from_cache = true;
  return OSTREL_NO_ERROR;
}

ostrel_error *ostrel_auth_check_transport(const char *scheme, const char *host, const char *url) {
  if (apr_cstr_casecmp(scheme, "https") == 0) return OSTREL_NO_ERROR;
  if (apr_cstr_casecmp(scheme, "http") == 0 && is_loopback(host)) return OSTREL_NO_ERROR;
  return ostrel_error_createf(OSTREL_ERR_AUTHN_INSECURE, nullptr,
                              "Refusing to send a password to '%s': http:// is not encrypted, "
                              "so passwords go over it only to this machine (loopback); "
                              "use an https:// URL",
                              url);
}

ostrel_error *ostrel_auth_cert_describe(ostrel_auth_cert_info **info, const unsigned char *der,
                                        apr_size_t len, apr_pool_t *pool) {
  const unsigned char *p = der;
  std::unique_ptr<X509, decltype(&X509_free)> cert(d2i_X509(nullptr, &p, static_cast<long>(len)),
                                                   X509_free);
  if (!cert || p != der + len)
    return ostrel_error_create(OSTREL_ERR_CERT_BAD, nullptr,
                               "The server's certificate cannot be read");
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
  auto text = [&](auto print) {
    (void)BIO_reset(bio.get());
    print(bio.get());
    return apr_pstrdup(pool, bio_text(bio.get()).c_str());
  };
  auto *out =
      static_cast<ostrel_auth_cert_info *>(apr_pcalloc(pool, sizeof(ostrel_auth_cert_info)));
  const unsigned long flags = XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB;
  out->subject =
      text([&](BIO *b) { X509_NAME_print_ex(b, X509_get_subject_name(cert.get()), 0, flags); });
  out->issuer =
      text([&](BIO *b) { X509_NAME_print_ex(b, X509_get_issuer_name(cert.get()), 0, flags); });
  out->valid_from = text([&](BIO *b) { ASN1_TIME_print(b, X509_get0_notBefore(cert.get())); });
  out->valid_until = text([&](BIO *b) { ASN1_TIME_print(b, X509_get0_notAfter(cert.get())); });
  out->fingerprint = apr_pstrdup(
      pool, sha256_hex(std::string_view(reinterpret_cast<const char *>(der), len), true).c_str());
  *info = out;
  return OSTREL_NO_ERROR;
}

const char *ostrel_auth_ca_file(const ostrel_auth_baton *ab) {
  const char *file =
      ostrel_config_get(ab->cfg, OSTREL_CONFIG_SECTION_HTTPS, OSTREL_CONFIG_OPTION_CA_FILE, "");
  return *file ? file : nullptr;
}

const char *ostrel_auth_pinned_fingerprint(ostrel_auth_baton *ab, const char *host_port,
                                           apr_pool_t *pool) {
  std::string dir;
  ostrel_error *err = auth_dir(&dir, ab, pool);
  if (err) {
    ostrel_error_clear(err);
    return nullptr;
  }
  std::map<std::string, std::string> pinned;
  if (!read_private_file(&pinned, dir + "/" + cert_file(host_port), ab) ||
      pinned["host"] != host_port || pinned["sha256"].empty())
    return nullptr;
  return apr_pstrdup(pool, pinned["sha256"].c_str());
}

ostrel_error *ostrel_auth_check_server_cert(ostrel_auth_baton *ab, const char *host_port,
                                            const unsigned char *der, apr_size_t len, bool verified,
                                            const char *problem, apr_pool_t *pool) {
  ostrel_auth_cert_info *info;
  OSTREL_ERR(ostrel_auth_cert_describe(&info, der, len, pool));

  std::string dir;
  OSTREL_ERR(auth_dir(&dir, ab, pool));
  std::string pin_path = dir + "/" + cert_file(host_port);
  std::map<std::string, std::string> pinned;
  if (read_private_file(&pinned, pin_path, ab) && pinned["host"] == host_port &&
      !pinned["sha256"].empty()) {
    if (pinned["sha256"] == info->fingerprint) return OSTREL_NO_ERROR;
    return ostrel_error_createf(
        OSTREL_ERR_CERT_CHANGED, nullptr,
        "WARNING: the certificate of '%s' HAS CHANGED since you accepted it for good.\n"
        "Someone may be impersonating the server.  Accepted SHA-256 fingerprint:\n  %s\n"
        "fingerprint now:\n  %s\nIf the server's certificate was replaced on purpose, "
        "remove '%s' and connect again",
        host_port, pinned["sha256"].c_str(), info->fingerprint, pin_path.c_str());
  }

  if (verified) return OSTREL_NO_ERROR;
  const char *once =
      static_cast<const char *>(apr_hash_get(ab->accepted_once, host_port, APR_HASH_KEY_STRING));
  if (ab->trust_server_cert || (once && std::strcmp(once, info->fingerprint) == 0))
    return OSTREL_NO_ERROR;

  const char *why = problem && *problem ? problem : "it is not signed by a trusted authority";
  auto untrusted = [&](const char *hint) {
    return ostrel_error_createf(OSTREL_ERR_CERT_UNTRUSTED, nullptr,
                                "The certificate of '%s' is not trusted (%s); its SHA-256 "
                                "fingerprint is %s%s",
                                host_port, why, info->fingerprint, hint);
  };
  const char *hint =
      "; add its authority with --config-option config:https:ca-file=FILE, or run without "
      "--non-interactive to be asked";
  if (ab->non_interactive) return untrusted(hint);

  const char *question =
      apr_psprintf(pool,
                   "The certificate of '%s' is not trusted: %s.\n"
                   "  subject:     %s\n  issuer:      %s\n  valid:       %s to %s\n"
                   "  SHA-256:     %s\n"
                   "Reject it (r), accept it once (o) or accept it for good (g)? [r] ",
                   host_port, why, info->subject, info->issuer, info->valid_from, info->valid_until,
                   info->fingerprint);
  const char *answer;
  ostrel_error *err = ostrel_auth_prompt(&answer, question, false, pool);
  if (err && err->apr_err == OSTREL_ERR_AUTHN_NO_TERMINAL) {
    ostrel_error_clear(err);
    return untrusted(hint);
  }
  OSTREL_ERR(err);
  std::string_view choice = answer;
  if (choice == "o" || choice == "O") {
    apr_hash_set(ab->accepted_once, apr_pstrdup(ab->pool, host_port), APR_HASH_KEY_STRING,
                 apr_pstrdup(ab->pool, info->fingerprint));
    return OSTREL_NO_ERROR;
  }
  if (choice == "g" || choice == "G") {
    OSTREL_ERR(write_private_file(
        ab, cert_file(host_port),
        std::string("host=") + host_port + "\nsha256=" + info->fingerprint + "\n", pool));
    return OSTREL_NO_ERROR;
  }
  return untrusted(" (rejected)");
}

}  // extern "C"
