// Fuzz target: the input as ostreld's configuration file.  A file that is
// accepted leaves every number within its option's range; a refusal names
// the file.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz_support.h"
#include "server.h"

namespace {

// The file of this process that holds the input, removed at exit.
const char *input_file() {
  static char name[] = "/tmp/ostreld-config-fuzz-XXXXXX";
  static const bool made = [] {
    int fd = mkstemp(name);
    if (fd < 0) std::abort();
    close(fd);
    std::atexit([] { std::remove(name); });
    return true;
  }();
  return made ? name : nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  ostrel_fuzz::InputPool pool;
  std::string text(reinterpret_cast<const char *>(data), size);
  const char *path = input_file();
  FILE *out = std::fopen(path, "wb");
  if (!out || std::fwrite(text.data(), 1, text.size(), out) != text.size() || std::fclose(out))
    std::abort();
  ostreld::Settings settings;
  ostrel_error *err = ostreld::read_config(settings, path);
  if (err) {
    std::string message = err->message ? err->message : "";
    ostrel_error_clear(err);
    OSTREL_FUZZ_CHECK(message.find(path) != std::string::npos, text);
    return 0;
  }
  OSTREL_FUZZ_CHECK(settings.max_header_bytes >= 1024 && settings.max_frame_bytes >= 4096, text);
  OSTREL_FUZZ_CHECK(settings.max_connections >= 1 && settings.max_connections <= 100000, text);
  OSTREL_FUZZ_CHECK(settings.event_threads >= 1 && settings.event_threads <= 64, text);
  OSTREL_FUZZ_CHECK(settings.workers >= 1 && settings.workers <= 256, text);
  OSTREL_FUZZ_CHECK(settings.idle_timeout_seconds >= 1 && settings.header_timeout_seconds >= 1 &&
                        settings.body_grace_seconds >= 1,
                    text);
  OSTREL_FUZZ_CHECK(!settings.listen.empty(), text);
  return 0;
}
