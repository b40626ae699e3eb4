// Checking read answers: see read_answer.h.

#include "read_answer.h"

#include <cstring>

namespace ostrel_wire {

namespace {

struct ReadShape {
  char tag;
  const char *name;
  const char *items;
};

constexpr ReadShape kReadShapes[] = {
    {read_tag::kRevision, "revision", "n"},
    {read_tag::kListEntry, "listing entry", "ssnnoo"},
    {read_tag::kNodeProp, "node property", "ss"},
    {read_tag::kData, "contents", "s"},
    {read_tag::kLogEntry, "log entry", "n"},
    {tag::kRevprop, "revision property", "so"},
    {read_tag::kChanged, "changed path", "sssnnon"},
    {read_tag::kEnd, "end", ""},
};

// As check_shape, for the read answer kinds.
std::string check_read_shape(const Frame &frame) {
  const ReadShape *shape = nullptr;
  for (const ReadShape &s : kReadShapes)
    if (s.tag == frame.tag) shape = &s;
  if (!shape) {
    unsigned code = static_cast<unsigned char>(frame.tag);
    return "unknown frame kind " + std::to_string(code);
  }
  std::size_t want = std::strlen(shape->items);
  if (frame.items.size() != want)
    return std::string(shape->name) + " frame has " + std::to_string(frame.items.size()) +
           " items instead of " + std::to_string(want);
  for (std::size_t i = 0; i < want; i++) {
    const auto &item = frame.items[i];
    if (shape->items[i] == 'o') continue;
    if (!item) return std::string(shape->name) + " frame lacks item " + std::to_string(i + 1);
    long long ignored;
    if (shape->items[i] == 'n' && !parse_number(*item, ignored))
      return std::string(shape->name) + " frame: item " + std::to_string(i + 1) +
             " is not a number";
  }
  return "";
}

}  // namespace

Status ReadAnswer::fail(std::string message) {
  if (error_.empty()) error_ = std::move(message);
  return Status::error;
}

Status ReadAnswer::next(Frame &frame) {
  if (!error_.empty()) return Status::error;
  for (;;) {
    Status status = decoder_.next(frame);
    if (status == Status::error) return fail(decoder_.error());
    if (status == Status::need_more) return status;
    if (ended_) return fail("a frame follows the end of the answer");
    if (!versioned_) {
      std::string shape = check_shape(frame);
      if (!shape.empty()) return fail(shape);
      if (frame.tag != tag::kVersion) return fail("the answer does not start with its version");
      if (*frame.items[0] != std::to_string(kProtocolVersion))
        return fail("the answer is of another protocol version");
      versioned_ = true;
      continue;
    }
    if (frame.tag == tag::kError) {
      std::string shape = check_shape(frame);
      if (!shape.empty()) return fail(shape);
      links_.emplace_back(number(frame, 0), std::string(*frame.items[1]));
      continue;
    }
    std::string shape = check_read_shape(frame);
    if (!shape.empty()) return fail(shape);
    if (frame.tag == read_tag::kEnd) ended_ = true;
    return Status::frame;
  }
}

}  // namespace ostrel_wire
