#include "hooks.h"

#include <apr_pools.h>

#include <memory>

#include "gatekeeper.h"
#include "ostrel_path.h"
#include "ostrel_utf.h"

namespace ostreld {

namespace {

ostrel_server::Gatekeeper *g_gate = nullptr;

// The name a client claims in "Ostrel-Author" (open servers only).
Identity claimed_identity(const RequestHead &head) {
  Identity identity;
  const char *claimed = head.header(head.baton, "Ostrel-Author");
  if (claimed && *claimed) {
    apr_pool_t *pool = nullptr;
    apr_pool_create(&pool, nullptr);
    std::string name = ostrel_path_uri_decode(claimed, pool);
    apr_pool_destroy(pool);
    // A name that is not UTF-8 or holds control characters is refused
    // rather than stored as an author.
    apr_size_t bad = 0;
    bool clean = std::string(claimed).find("%00") == std::string::npos &&
                 name.find_first_of("\r\n") == std::string::npos &&
                 ostrel_utf__is_valid(name.data(), name.size(), &bad);
    if (!clean) {
      identity.refuse_status = 400;
      identity.refuse_message = "The Ostrel-Author header does not hold a valid user name";
      return identity;
    }
    identity.anonymous = false;
    identity.user = name;
  }
  return identity;
}

}  // namespace

void install_gate(ostrel_server::Gatekeeper *gate) {
  g_gate = gate;
}

std::string login_realm() {
  return g_gate && g_gate->has_users() ? g_gate->realm() : "";
}

Identity identify(const RequestHead &head) {
  // On an open server names are only claimed: they make the author of a
  // commit and nothing else.  A server with a gate but no accounts knows
  // nobody: its callers are anonymous, whatever they claim.
  if (!g_gate) return claimed_identity(head);
  if (!g_gate->has_users()) return Identity{};

  Identity identity;
  std::string user;
  ostrel_server::LoginThrottle::Duration wait{};
  switch (g_gate->identify(head.connection, head.client_address, &user, &wait)) {
    case ostrel_server::Gatekeeper::Outcome::identified:
      identity.anonymous = user.empty();
      identity.user = user;
      break;
    case ostrel_server::Gatekeeper::Outcome::challenge:
      identity.refuse_status = 401;
      identity.refuse_message = "Authentication failed: wrong user name or password";
      identity.challenge_realm = g_gate->realm();
      break;
    case ostrel_server::Gatekeeper::Outcome::throttled:
      identity.refuse_status = 429;
      identity.retry_after = static_cast<long>((wait.count() + 999) / 1000);
      identity.refuse_message = "Too many failed logins from this address; try again in " +
                                std::to_string(identity.retry_after) + " s";
      break;
  }
  return identity;
}

std::string authorize(const Identity &identity, const std::string &repos, const std::string &path,
                      Access access) {
  if (!g_gate) return "";
  const char *who = identity.anonymous || !g_gate->has_users() ? nullptr : identity.user.c_str();
  std::shared_ptr<const ostrel_server::PathRules> rules_in_force = g_gate->rules();
  const ostrel_server::PathRules &rules = *rules_in_force;
  bool allowed = false;
  switch (access) {
    case Access::read:
      allowed = rules.may_read(repos, path, who);
      break;
    case Access::write:
      allowed = rules.may_write(repos, path, who);
      break;
    case Access::read_tree:
      allowed = rules.may_read_tree(repos, path, who);
      break;
    case Access::write_tree:
      allowed = rules.may_write_tree(repos, path, who);
      break;
  }
  if (allowed) return "";
  // The same words whether or not the path exists.
  return "Access denied to '" + path + "'";
}

}  // namespace ostreld
