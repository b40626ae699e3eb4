// kelbrin's -X splitter.  An input holding a NUL is refused and adds
// nothing; otherwise every argument is a non-empty line of the input, with no
// line end in it, in order.

#include <clocale>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "kelbrin.h"
#include "ostrel_cmdline.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  // Arguments arrive in the native encoding; UTF-8 here.
  setenv("LC_ALL", "C.UTF-8", 1);
  return ostrel_cmdline_init("extra_args_fuzz", stderr);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  ostrel_fuzz::InputPool pool;
  std::string input(reinterpret_cast<const char *>(data), size);
  ostrel_stringbuf *contents = ostrel_stringbuf_ncreate(input.data(), input.size(), pool.get());
  apr_array_header_t *args = apr_array_make(pool.get(), 4, sizeof(const char *));
  ostrel_error *err = kelbrin::split_extra_arguments(args, contents, "fuzz-input", pool.get());
  if (input.find('\0') != std::string::npos) OSTREL_FUZZ_CHECK(err != nullptr, input);
  if (err) {
    OSTREL_FUZZ_CHECK(args->nelts == 0, input);
  } else {
    // The arguments, rejoined, are the input's lines without the empty ones.
    std::string lines;
    for (int i = 0; i < args->nelts; ++i) {
      const char *arg = APR_ARRAY_IDX(args, i, const char *);
      OSTREL_FUZZ_CHECK(*arg && !std::strpbrk(arg, "\r\n"), input);
      lines += arg;
      lines += '\n';
    }
    std::string expected;
    size_t start = 0;
    while (start < input.size()) {
      size_t end = input.find_first_of("\r\n", start);
      if (end == std::string::npos) end = input.size();
      if (end > start) expected += input.substr(start, end - start) + '\n';
      start = end + 1;
    }
    OSTREL_FUZZ_CHECK(lines == expected, input);
  }
  ostrel_error_clear(err);
  return 0;
}
