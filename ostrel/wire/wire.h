// The framed format of the network protocol: the one parser of bytes that
// come from the other side of a connection, shared by the server and the
// client, and kept free of I/O and of the repository so that it can be
// fuzzed on its own.  The format is described in PROTOCOL.md beside this file.
//
//   frame := TAG (1 byte) LENGTH (4 bytes, big-endian) PAYLOAD (LENGTH bytes)
//   PAYLOAD := ITEM*
//   ITEM := SIZE (4 bytes, big-endian) BYTES (SIZE bytes)  |  0xFFFFFFFF ("absent")
//
// Numbers travel as items holding decimal text ("-1", "42").  The kinds of
// frames, and the items of each, are defined in frames.h.
#ifndef OSTREL_WIRE_H
#define OSTREL_WIRE_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ostrel_wire {

// Frame size limit when none is configured: room for a text window of the
// library's stream chunk size and its framing, with margin.
inline constexpr std::size_t kDefaultMaxFrame = 1 << 20;

// ---- Encoding ----

// Appends frames to a buffer.  Start a frame with begin(), add its items,
// end it with end(); the length is filled in then.
class Encoder {
 public:
  explicit Encoder(std::string &out) : out_(out) {}
  void begin(char tag);
  void str(std::string_view value);
  void opt(const char *value);  // nullptr: absent
  void absent();
  void num(long long value);
  void end();

 private:
  std::string &out_;
  std::size_t frame_start_ = 0;
};

// ---- Decoding ----

struct Frame {
  char tag = 0;
  // Views into the decoder's buffer, valid until the next feed() or next().
  std::vector<std::optional<std::string_view>> items;
};

enum class Status { frame, need_more, error };

// Splits a byte stream into frames as it arrives, whatever the chunking.  It
// holds at most one frame and one fed chunk: a frame announced longer than
// MAX_FRAME is refused as soon as its header is seen, before its payload.
class Decoder {
 public:
  explicit Decoder(std::size_t max_frame = kDefaultMaxFrame) : max_frame_(max_frame) {}
  void feed(const char *data, std::size_t len);
  // Stores the next complete frame in FRAME, or says that more bytes are
  // needed, or that the input is malformed (error() then says why; every
  // later call says error again).
  Status next(Frame &frame);
  // True when no partial frame is pending (the stream may end here).
  bool at_boundary() const { return pos_ == buf_.size(); }
  const std::string &error() const { return error_; }
  bool frame_too_large() const { return too_large_; }

 private:
  Status fail(std::string message);
  std::size_t max_frame_;
  std::string buf_;
  std::size_t pos_ = 0;
  std::string error_;
  bool too_large_ = false;
};

// Parses decimal text as a long long; false when it is not one.
bool parse_number(std::string_view text, long long &value);

}  // namespace ostrel_wire

#endif  // OSTREL_WIRE_H
