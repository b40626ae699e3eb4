#include "wire.h"

#include <charconv>

namespace ostrel_wire {

namespace {

constexpr std::uint32_t kAbsent = 0xFFFFFFFFu;

void put_u32(std::string &out, std::uint32_t v) {
  char b[4] = {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
               static_cast<char>(v)};
  out.append(b, 4);
}

std::uint32_t get_u32(const char *p) {
  auto b = reinterpret_cast<const unsigned char *>(p);
  return (std::uint32_t{b[0]} << 24) | (std::uint32_t{b[1]} << 16) | (std::uint32_t{b[2]} << 8) |
         std::uint32_t{b[3]};
}

}  // namespace

void Encoder::begin(char t) {
  frame_start_ = out_.size();
  out_.push_back(t);
  put_u32(out_, 0);
}

void Encoder::str(std::string_view value) {
  put_u32(out_, static_cast<std::uint32_t>(value.size()));
  out_.append(value);
}

void Encoder::opt(const char *value) {
  if (value)
    str(value);
  else
    absent();
}

void Encoder::absent() { put_u32(out_, kAbsent); }

void Encoder::num(long long value) {
  char text[24];
  auto [end, ec] = std::to_chars(text, text + sizeof text, value);
  (void)ec;
  str(std::string_view(text, static_cast<std::size_t>(end - text)));
}

void Encoder::end() {
  auto len = static_cast<std::uint32_t>(out_.size() - frame_start_ - 5);
  char *p = out_.data() + frame_start_ + 1;
  p[0] = static_cast<char>(len >> 24);
  p[1] = static_cast<char>(len >> 16);
  p[2] = static_cast<char>(len >> 8);
  p[3] = static_cast<char>(len);
}

void Decoder::feed(const char *data, std::size_t len) {
  // Bytes of frames already handed out are dropped first, so the buffer
  // never holds more than the pending frame and this chunk.
  if (pos_) {
    buf_.erase(0, pos_);
    pos_ = 0;
  }
  buf_.append(data, len);
}

Status Decoder::fail(std::string message) {
  error_ = std::move(message);
  return Status::error;
}

Status Decoder::next(Frame &frame) {
  if (!error_.empty()) return Status::error;
  std::size_t avail = buf_.size() - pos_;
  if (avail < 5) return Status::need_more;
  const char *p = buf_.data() + pos_;
  std::uint32_t len = get_u32(p + 1);
  if (len > max_frame_) {
    too_large_ = true;
    return fail("frame of " + std::to_string(len) + " bytes is larger than the limit of " +
                std::to_string(max_frame_) + " bytes");
  }
  if (avail - 5 < len) return Status::need_more;

  frame.tag = p[0];
  frame.items.clear();
  const char *item = p + 5;
  const char *end = item + len;
  while (item < end) {
    if (end - item < 4) return fail("frame ends inside an item's size");
    std::uint32_t size = get_u32(item);
    item += 4;
    if (size == kAbsent) {
      frame.items.emplace_back(std::nullopt);
      continue;
    }
    if (static_cast<std::size_t>(end - item) < size)
      return fail("item of " + std::to_string(size) + " bytes overruns its frame");
    frame.items.emplace_back(std::string_view(item, size));
    item += size;
  }
  pos_ += 5 + len;
  return Status::frame;
}

bool parse_number(std::string_view text, long long &value) {
  if (text.empty() || text.size() > 20) return false;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size();
}

}  // namespace ostrel_wire
