#include "hooks.h"

#include <apr_pools.h>

#include <memory>

#include "gatekeeper.h"
#include "ostrel_path.h"
#include "ostrel_utf.h"

namespace ostreld {

namespace {

// The name a client claims in "Ostrel-Author" (open servers only).
Decision claimed_identity(const RequestHead &head, Identity *identity) {
  *identity = Identity{};
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
      Decision malformed;
      malformed.kind = Decision::Kind::malformed;
      malformed.message = "The Ostrel-Author header does not hold a valid user name";
      return malformed;
    }
    identity->anonymous = false;
    identity->user = name;
  }
  return Decision{};
}

}  // namespace

Decision Gate::identify(const RequestHead &head, Identity *identity) const {
  // On an open server names are only claimed: they make the author of a
  // commit and nothing else.  A server with a gate but no accounts knows
  // nobody: its callers are anonymous, whatever they claim.
  if (!gatekeeper_) return claimed_identity(head, identity);
  *identity = Identity{};
  if (!gatekeeper_->has_users()) return Decision{};

  Decision decision;
  std::string user;
  ostrel_server::LoginThrottle::Duration wait{};
  switch (gatekeeper_->identify(head.connection, head.client_address, &user, &wait)) {
    case ostrel_server::Gatekeeper::Outcome::identified:
      identity->anonymous = user.empty();
      identity->user = user;
      break;
    case ostrel_server::Gatekeeper::Outcome::challenge:
      decision.kind = Decision::Kind::ask_credentials;
      decision.message = "Authentication failed: wrong user name or password";
      decision.realm = gatekeeper_->realm();
      break;
    case ostrel_server::Gatekeeper::Outcome::throttled:
      decision.kind = Decision::Kind::slow_down;
      decision.retry_after = static_cast<long>((wait.count() + 999) / 1000);
      decision.message = "Too many failed logins from this address; try again in " +
                         std::to_string(decision.retry_after) + " s";
      break;
  }
  return decision;
}

std::string Gate::refusal(const Identity &identity, const std::string &repos,
                          const std::string &path, Access access) const {
  if (!gatekeeper_) return "";
  const char *who =
      identity.anonymous || !gatekeeper_->has_users() ? nullptr : identity.user.c_str();
  std::shared_ptr<const ostrel_server::PathRules> rules_in_force = gatekeeper_->rules();
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

Decision Gate::authorize(const Identity &identity, const std::string &repos,
                         const std::string &path, Access access) const {
  Decision decision;
  std::string why = refusal(identity, repos, path, access);
  if (why.empty()) return decision;
  // An anonymous caller is asked to log in where that could help.
  if (identity.anonymous && gatekeeper_->has_users()) {
    decision.kind = Decision::Kind::ask_credentials;
    decision.message = "Authentication required: " + why;
    decision.realm = gatekeeper_->realm();
  } else {
    decision.kind = Decision::Kind::deny;
    decision.message = why;
  }
  return decision;
}

}  // namespace ostreld
