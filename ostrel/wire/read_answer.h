// The answers to read requests (listings, file contents, properties, logs):
// the one checker of such an answer as it streams in,
// shared by the http access module and the fuzz target.  The frames and
// their order are described in PROTOCOL.md ("Reading").
#ifndef OSTREL_WIRE_READ_ANSWER_H
#define OSTREL_WIRE_READ_ANSWER_H

#include <string>
#include <vector>

#include "answers.h"
#include "frames.h"

namespace ostrel_wire {

// Checks a read answer frame by frame as its bytes arrive.  The first frame
// must be the version frame; error frames are collected (links()); every
// other frame must be one of the read answer kinds with its items, and
// nothing may follow the end frame.  Holds at most one frame and one fed
// chunk, like Decoder.
class ReadAnswer {
 public:
  explicit ReadAnswer(std::size_t max_frame = kDefaultMaxFrame) : decoder_(max_frame) {}
  void feed(const char *data, std::size_t len) { decoder_.feed(data, len); }
  // Stores the next content frame in FRAME (never V or E), or says that more
  // bytes are needed, or that the answer is malformed (error() says why).
  Status next(Frame &frame);
  // True once the end frame arrived and nothing is pending after it.
  bool complete() const { return ended_ && decoder_.at_boundary(); }
  const std::string &error() const { return error_; }
  // The error chain the server sent (code, message), outermost first.
  const std::vector<ErrorLink> &links() const { return links_; }
  // That chain as an error (the caller owns it), or nullptr.
  ostrel_error *error_chain() const { return error_from_links(links_); }

 private:
  Status fail(std::string message);
  Decoder decoder_;
  bool versioned_ = false;
  bool ended_ = false;
  std::string error_;
  std::vector<ErrorLink> links_;
};

}  // namespace ostrel_wire

#endif  // OSTREL_WIRE_READ_ANSWER_H
