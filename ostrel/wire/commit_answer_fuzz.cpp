// Fuzz target: arbitrary bytes as the answer to a commit, and as a refusal.
// A decoded answer names a revision a commit makes; an error is a whole
// chain with a message in every link.
#include <cstddef>
#include <cstdint>
#include <string>

#include "answers.h"
#include "fuzz_support.h"

namespace {

void check_chain(ostrel_error *err, const std::string &input) {
  for (const ostrel_error *link = err; link; link = link->child)
    OSTREL_FUZZ_CHECK(link->message != nullptr, input);
  ostrel_error_clear(err);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  ostrel_fuzz::InputPool pool;
  const std::string input(reinterpret_cast<const char *>(data), size);
  ostrel_wire::CommitAnswer answer;
  ostrel_error *err = ostrel_wire::decode_answer(answer, input, "http://host/repo");
  if (!err) OSTREL_FUZZ_CHECK(answer.revision >= 1, input);
  check_chain(err, input);
  check_chain(ostrel_wire::decode_refusal(input, "http://host/repo"), input);
  return 0;
}
