// Fuzz target: any text as a users file.  Passwords are not checked here:
// each check costs a full memory-hard hash.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "users_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static bool started = ostrel_server::init_password_hashing() == nullptr;
  if (!started) return 0;
  ostrel_server::UsersFile users;
  ostrel_error *err = ostrel_server::UsersFile::parse(
      std::string_view(reinterpret_cast<const char *>(data), size), "fuzz", &users);
  if (err) {
    ostrel_error_clear(err);
    return 0;
  }
  (void)users.has_user("alice");
  return 0;
}
