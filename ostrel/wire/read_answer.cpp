// Checking read answers: see read_answer.h.

#include "read_answer.h"

namespace ostrel_wire {

Status ReadAnswer::fail(std::string message) {
  if (error_.empty()) error_ = std::move(message);
  return Status::error;
}

Status ReadAnswer::next(Frame &f) {
  if (!error_.empty()) return Status::error;
  for (;;) {
    Status status = decoder_.next(f);
    if (status == Status::error) return fail(decoder_.error());
    if (status == Status::need_more) return status;
    if (ended_) return fail("a frame follows the end of the answer");
    if (!versioned_) {
      VersionCheck check = check_version(f);
      if (check != VersionCheck::ok) return fail(version_problem(check));
      versioned_ = true;
      continue;
    }
    if (f.tag == frame::Error::kTag) {
      frame::Error link;
      std::string shape = get(f, link);
      if (!shape.empty()) return fail(shape);
      links_.push_back(ErrorLink{link.code, std::string(link.message)});
      continue;
    }
    std::string shape = ReadAnswerFrames::check(f);
    if (!shape.empty()) return fail(shape);
    if (f.tag == frame::End::kTag) ended_ = true;
    return Status::frame;
  }
}

}  // namespace ostrel_wire
