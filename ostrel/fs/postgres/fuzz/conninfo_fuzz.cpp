// Fuzz target: any text as the connection info of a repository directory.
// Accepted connection info never holds a password, and the description
// made for messages never shows one.
#include <libpq-fe.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "../pg_conn.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string conninfo(reinterpret_cast<const char *>(data), size);
  std::string shown;
  ostrel_error *err = ostrel::fs::pg::check_conninfo(conninfo, &shown);
  if (err) {
    ostrel_error_clear(err);
    return 0;
  }
  PQconninfoOption *options = PQconninfoParse(conninfo.c_str(), nullptr);
  if (!options) std::abort();  // accepted, so it parses
  for (PQconninfoOption *o = options; o->keyword; ++o)
    if (std::string(o->keyword) == "password" && o->val && *o->val) std::abort();
  PQconninfoFree(options);
  return 0;
}
