#include "hooks.h"

#include <apr_pools.h>

#include "ostrel_path.h"
#include "ostrel_utf.h"

namespace ostreld {

Identity identify(const RequestHead &head) {
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

std::string authorize(const Identity &, const std::string &, const std::string &, Access) {
  return "";
}

}  // namespace ostreld
