// --with-revprop NAME[=VALUE].  Whatever is accepted is stored under a valid
// property name, with the text after the first '=' as its value; a refusal
// leaves the table as it was.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "ostrel_opt.h"
#include "ostrel_string.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  ostrel_fuzz::InputPool pool;
  std::string spec(reinterpret_cast<const char *>(data), size);
  spec.resize(std::strlen(spec.c_str()));

  apr_hash_t *revprops = apr_hash_make(pool.get());
  apr_hash_set(revprops, "kept", APR_HASH_KEY_STRING, ostrel_string_create("1", pool.get()));
  ostrel_error *err = ostrel_opt_parse_revprop(&revprops, spec.c_str(), pool.get());
  if (err) {
    OSTREL_FUZZ_CHECK(apr_hash_count(revprops) == 1, spec);
  } else {
    size_t eq = spec.find('=');
    std::string name = spec.substr(0, eq);
    OSTREL_FUZZ_CHECK(ostrel_prop_name_is_valid(name.c_str()), spec);
    auto *value =
        static_cast<const ostrel_string *>(apr_hash_get(revprops, name.c_str(), APR_HASH_KEY_STRING));
    OSTREL_FUZZ_CHECK(value != nullptr, spec);
    std::string expected = eq == std::string::npos ? "" : spec.substr(eq + 1);
    OSTREL_FUZZ_CHECK(std::string(value->data, value->len) == expected, spec);
  }
  ostrel_error_clear(err);
  return 0;
}
