// The configuration file parser and --config-option.  The input's first line
// is one --config-option argument, the rest the "config" file of a
// configuration directory.  Whatever is accepted leaves the one known option
// with a valid value: whole milliseconds from 0 to 86400000, written with at
// most ten digits (leading zeros are allowed).

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "ostrel_config.h"

namespace {

// A configuration directory of this process, made once and removed at exit.
char dir_name[] = "/tmp/ostrel-config-fuzz-XXXXXX";
char file_name[sizeof dir_name + 7];

const char *config_dir() {
  static const bool made = [] {
    if (!mkdtemp(dir_name)) std::abort();
    std::snprintf(file_name, sizeof file_name, "%s/config", dir_name);
    std::atexit([] {
      std::remove(file_name);
      rmdir(dir_name);
    });
    return true;
  }();
  return made ? dir_name : nullptr;
}

bool valid_timeout(const char *value) {
  if (!*value || std::strlen(value) > 10) return false;
  for (const char *p = value; *p; ++p)
    if (*p < '0' || *p > '9') return false;
  return std::atol(value) <= 86400000;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  ostrel_fuzz::InputPool pool;
  std::string input(reinterpret_cast<const char *>(data), size);
  size_t newline = input.find('\n');
  std::string option = input.substr(0, newline);
  option.resize(std::strlen(option.c_str()));
  std::string file = newline == std::string::npos ? "" : input.substr(newline + 1);

  const char *dir = config_dir();
  FILE *out = std::fopen(file_name, "wb");
  if (!out || std::fwrite(file.data(), 1, file.size(), out) != file.size() || std::fclose(out))
    std::abort();

  apr_hash_t *config = nullptr;
  ostrel_error *err = ostrel_config_get_config(&config, dir, pool.get());
  if (!err) {
    auto *cfg = static_cast<ostrel_config *>(
        apr_hash_get(config, OSTREL_CONFIG_CATEGORY_CONFIG, APR_HASH_KEY_STRING));
    const char *value = ostrel_config_get(cfg, OSTREL_CONFIG_SECTION_LOCAL,
                                          OSTREL_CONFIG_OPTION_BUSY_TIMEOUT, "10000");
    OSTREL_FUZZ_CHECK(valid_timeout(value), input);

    apr_array_header_t *options =
        apr_array_make(pool.get(), 1, sizeof(ostrel_cmdline__config_argument *));
    err = ostrel_cmdline__parse_config_option(options, option.c_str(), pool.get());
    if (!err) {
      OSTREL_FUZZ_CHECK(options->nelts == 1, input);
      auto *arg = APR_ARRAY_IDX(options, 0, ostrel_cmdline__config_argument *);
      OSTREL_FUZZ_CHECK(*arg->file && *arg->section && *arg->option, input);
      OSTREL_FUZZ_CHECK(!std::strchr(arg->option, ':'), input);
      err = ostrel_cmdline__apply_config_options(config, options, "fuzz: ", "--config-option");
      value = ostrel_config_get(cfg, OSTREL_CONFIG_SECTION_LOCAL,
                                OSTREL_CONFIG_OPTION_BUSY_TIMEOUT, "10000");
      OSTREL_FUZZ_CHECK(valid_timeout(value), input);
    } else {
      OSTREL_FUZZ_CHECK(options->nelts == 0, input);
    }
  }
  ostrel_error_clear(err);
  return 0;
}
