// The configuration file: one [server] section, read by the library's
// configuration reader, so that its format and its refusals (an unknown
// section or option, a malformed line, a bad value, each naming the file and
// the line) are those of every other configuration file.

#include "server.h"

#include <string>
#include <vector>

#include "ostrel_config.h"
#include "ostrel_pools.h"
#include "wire.h"

namespace ostreld {

namespace {

constexpr const char *kSection = "server";

// A whole-number option and its range.
struct Number {
  const char *name;
  unsigned Settings::*value;
  unsigned long min, max;
  std::string expected;  // what a bad value is told
};

const std::vector<Number> &numbers() {
  static const std::vector<Number> table = [] {
    std::vector<Number> t = {
        {"max-header-bytes", &Settings::max_header_bytes, 1024, 1u << 24, {}},
        {"idle-timeout-seconds", &Settings::idle_timeout_seconds, 1, 86400, {}},
        {"max-connections", &Settings::max_connections, 1, 100000, {}},
        {"max-connections-per-address", &Settings::max_connections_per_address, 1, 100000, {}},
        {"header-timeout-seconds", &Settings::header_timeout_seconds, 1, 3600, {}},
        {"min-body-bytes-per-second", &Settings::min_body_bytes_per_second, 0, 1u << 30, {}},
        {"body-grace-seconds", &Settings::body_grace_seconds, 1, 3600, {}},
        {"event-threads", &Settings::event_threads, 1, 64, {}},
        {"workers", &Settings::workers, 1, 256, {}},
        {"max-streams", &Settings::max_streams, 1, 100000, {}},
        {"max-streams-per-address", &Settings::max_streams_per_address, 1, 100000, {}},
        {"max-frame-bytes", &Settings::max_frame_bytes, 4096, 1u << 30, {}},
    };
    for (Number &n : t)
      n.expected = "expected a whole number from " + std::to_string(n.min) + " to " +
                   std::to_string(n.max);
    return t;
  }();
  return table;
}

// VALUE as NUMBER's whole number; false when it is none or out of range.
bool parse_in_range(const char *value, const Number &number, unsigned *parsed) {
  long long v = 0;
  if (!ostrel_wire::parse_number(value, v) || v < static_cast<long long>(number.min) ||
      v > static_cast<long long>(number.max))
    return false;
  *parsed = static_cast<unsigned>(v);
  return true;
}

const char *check_number(const char *value, const void *baton) {
  const auto *number = static_cast<const Number *>(baton);
  unsigned parsed = 0;
  return parse_in_range(value, *number, &parsed) ? nullptr : number->expected.c_str();
}

const char *check_text(const char *value, const void *) {
  return *value ? nullptr : "expected a value";
}

}  // namespace

ostrel_error *read_config(Settings &settings, const char *path) {
  std::vector<ostrel_config_known_option> known = {
      {kSection, "listen", check_text, nullptr},
      {kSection, "access-log", nullptr, nullptr},  // "" for none
  };
  for (const Number &number : numbers())
    known.push_back({kSection, number.name, check_number, &number});

  apr_pool_t *pool = ostrel_pool_create(nullptr);
  ostrel_config *cfg = nullptr;
  ostrel_error *err =
      ostrel_config_read_file(&cfg, path, known.data(), static_cast<int>(known.size()), pool);
  if (!err) {
    if (const char *v = ostrel_config_get(cfg, kSection, "listen", nullptr)) settings.listen = v;
    if (const char *v = ostrel_config_get(cfg, kSection, "access-log", nullptr))
      settings.access_log = v;
    for (const Number &number : numbers())
      if (const char *v = ostrel_config_get(cfg, kSection, number.name, nullptr))
        parse_in_range(v, number, &(settings.*number.value));
  }
  apr_pool_destroy(pool);
  return err;
}

}  // namespace ostreld
