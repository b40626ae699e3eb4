// The authentication baton of the console tools.

#include <apr_strings.h>
#include <pwd.h>
#include <unistd.h>

#include <vector>

#include "ostrel_auth.h"

struct ostrel_auth_baton {
  const char *username;  // resolved: given, else login name; NULL for none
  const char *password;
  const char *config_dir;
  bool non_interactive;
  bool no_auth_cache;
  bool trust_server_cert;
  ostrel_config *cfg;
  ostrel_cancel_func cancel_func;
  void *cancel_baton;
};

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
  baton->password = password ? apr_pstrdup(pool, password) : nullptr;
  baton->config_dir = config_dir ? apr_pstrdup(pool, config_dir) : nullptr;
  baton->non_interactive = non_interactive;
  baton->no_auth_cache = no_auth_cache;
  baton->trust_server_cert = trust_server_cert;
  baton->cfg = cfg;
  baton->cancel_func = cancel_func;
  baton->cancel_baton = cancel_baton;
  *ab = baton;
  return OSTREL_NO_ERROR;
}

const char *ostrel_auth_username(const ostrel_auth_baton *ab) { return ab->username; }

const char *ostrel_auth_password(const ostrel_auth_baton *ab) { return ab->password; }

}  // extern "C"
