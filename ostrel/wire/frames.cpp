// Messages of the frame readers of frames.h.

#include "frames.h"

namespace ostrel_wire::detail {

namespace {

std::string lacks_item(const char *name, std::size_t index) {
  return std::string(name) + " frame lacks item " + std::to_string(index + 1);
}

}  // namespace

std::string get_item(const Opt &item, Num &out, const char *name, std::size_t index) {
  if (!item) return lacks_item(name, index);
  if (!parse_number(*item, out))
    return std::string(name) + " frame: item " + std::to_string(index + 1) + " is not a number";
  return "";
}

std::string get_item(const Opt &item, Str &out, const char *name, std::size_t index) {
  if (!item) return lacks_item(name, index);
  out = *item;
  return "";
}

std::string get_item(const Opt &item, Opt &out, const char *, std::size_t) {
  out = item;
  return "";
}

std::string item_count_mismatch(const char *name, std::size_t got, std::size_t want) {
  return std::string(name) + " frame has " + std::to_string(got) + " items; expected " +
         std::to_string(want);
}

std::string unexpected_tag(char tag) {
  auto code = static_cast<unsigned char>(tag);
  std::string shown = code > 32 && code < 127 ? std::string("'") + tag + "'" : std::to_string(code);
  return "unexpected frame of tag " + shown;
}

}  // namespace ostrel_wire::detail
