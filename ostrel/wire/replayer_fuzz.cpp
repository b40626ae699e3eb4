// Fuzz target: arbitrary bytes as a commit request, fed in uneven pieces to
// a replayer that drives the recording editor (with an access check that
// refuses one tree).  Whatever the bytes, the replay either fails or ends
// with finish_edit as the editor's last call; a failed replay that reached
// the editor leaves it cancelled.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "recording_editor.h"
#include "replayer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  ostrel_fuzz::InputPool pool;
  const std::string input(reinterpret_cast<const char *>(data), size);
  std::vector<std::string> log;
  {
    ostrel_wire::ReplayTarget target;
    target.repos_root_url = "file:///repo";
    target.open_editor = [&](const ostrel_commit_editor **editor, void **baton, apr_hash_t *props,
                             apr_pool_t *p) {
      ostrel_wire_test::get_recording_editor(editor, baton, &log, props, p);
      return OSTREL_NO_ERROR;
    };
    target.check_access = [](const std::string &path, ostrel_wire::Access) -> std::string {
      return path.rfind("/secret", 0) == 0 ? "no" : "";
    };
    ostrel_wire::Replayer replayer(std::move(target), 4096);
    std::size_t pos = 0, piece = 1;
    while (pos < size) {
      std::size_t n = size - pos < piece ? size - pos : piece;
      replayer.feed(input.data() + pos, n);
      pos += n;
      piece = piece * 2 + 1;
    }
    replayer.end_of_body();
    OSTREL_FUZZ_CHECK(replayer.failed() != replayer.finished(), input);
    if (replayer.finished()) OSTREL_FUZZ_CHECK(!log.empty() && log.back() == "finish_edit", input);
    if (replayer.failed() && !log.empty()) OSTREL_FUZZ_CHECK(log.back() == "cancel_edit", input);
  }
  return 0;
}
