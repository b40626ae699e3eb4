// Fuzz target: the first line as a Range header against a body size taken
// from the input's length, the second as a query number.
#include <cstddef>
#include <cstdint>
#include <string>

#include "http_input.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  std::string text(reinterpret_cast<const char *>(data), size);
  std::size_t nl = text.find('\n');
  std::string range = text.substr(0, nl);
  std::string number = nl == std::string::npos ? "" : text.substr(nl + 1);
  std::uint64_t first = 0, last = 0;
  for (std::uint64_t body : {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{size}, UINT64_MAX}) {
    if (ostreld::parse_range(range.c_str(), body, &first, &last) == ostreld::RangeResult::partial &&
        (first > last || last >= body))
      __builtin_trap();
  }
  long long value = 0;
  if (ostreld::parse_query_number(number.c_str(), -1, 1000000, &value) &&
      (value < -1 || value > 1000000))
    __builtin_trap();
  return 0;
}
