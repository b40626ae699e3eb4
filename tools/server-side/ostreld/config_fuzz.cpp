// Fuzz target: the input as ostreld's configuration file.  A file that is
// accepted leaves every number within its option's range; a refusal is one
// error that names the file and a line.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "server.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  ostrel_fuzz::InputPool pool;
  std::string text(reinterpret_cast<const char *>(data), size);
  ostreld::Settings settings;
  ostrel_error *err = ostreld::parse_config(settings, text, "fuzz.conf");
  if (err) {
    std::string message = err->message ? err->message : "";
    ostrel_error_clear(err);
    OSTREL_FUZZ_CHECK(message.rfind("fuzz.conf:", 0) == 0, text);
    return 0;
  }
  OSTREL_FUZZ_CHECK(settings.max_header_bytes >= 1024 && settings.max_frame_bytes >= 4096, text);
  OSTREL_FUZZ_CHECK(settings.max_connections >= 1 && settings.max_connections <= 100000, text);
  OSTREL_FUZZ_CHECK(settings.event_threads >= 1 && settings.event_threads <= 64, text);
  OSTREL_FUZZ_CHECK(settings.workers >= 1 && settings.workers <= 256, text);
  OSTREL_FUZZ_CHECK(settings.idle_timeout_seconds >= 1 && settings.header_timeout_seconds >= 1 &&
                        settings.body_grace_seconds >= 1,
                    text);
  return 0;
}
