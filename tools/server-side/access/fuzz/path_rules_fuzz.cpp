// Fuzz target: any text as a rules file, then a few access decisions.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "path_rules.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  ostrel_server::PathRules rules;
  ostrel_error *err = ostrel_server::PathRules::parse(
      std::string_view(reinterpret_cast<const char *>(data), size), "fuzz", &rules);
  if (err) {
    ostrel_error_clear(err);
    return 0;
  }
  for (const char *user : {"alice", "bob", static_cast<const char *>(nullptr)})
    for (const char *path : {"/", "/trunk", "/trunk/a/b", "/tags/1.0"})
      (void)rules.access("proj", path, user);
  return 0;
}
