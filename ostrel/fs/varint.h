/* varint.h: the compact encoding of the records the storage keeps encoded
 * (listing chunks, changed paths, node blocks, published transactions):
 * unsigned LEB128 numbers, strings as their length and bytes. */
#ifndef OSTREL_FS_VARINT_H
#define OSTREL_FS_VARINT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace ostrel::fs {

inline void put_num(std::string &out, uint64_t v) {
  while (v >= 0x80) {
    out += static_cast<char>((v & 0x7f) | 0x80);
    v >>= 7;
  }
  out += static_cast<char>(v);
}

inline void put_str(std::string &out, std::string_view s) {
  put_num(out, s.size());
  out.append(s);
}

// Reads what put_num and put_str wrote; every getter fails (returns false)
// at the end of the input or on an overlong number, never reads past it.
class Decoder {
 public:
  Decoder(const void *data, size_t len)
      : p_(static_cast<const unsigned char *>(data)), end_(p_ + len) {}
  bool done() const { return p_ == end_; }
  size_t used(const void *start) const {
    return static_cast<size_t>(p_ - static_cast<const unsigned char *>(start));
  }
  bool num(uint64_t *v) {
    *v = 0;
    for (int shift = 0; shift < 64; shift += 7) {
      if (p_ == end_) return false;
      unsigned char b = *p_++;
      *v |= static_cast<uint64_t>(b & 0x7f) << shift;
      if (!(b & 0x80)) return true;
    }
    return false;
  }
  bool num(int64_t *v) {
    uint64_t u;
    if (!num(&u)) return false;
    *v = static_cast<int64_t>(u);
    return true;
  }
  bool str(std::string_view *s) {
    uint64_t n;
    if (!num(&n) || n > static_cast<uint64_t>(end_ - p_)) return false;
    *s = std::string_view(reinterpret_cast<const char *>(p_), n);
    p_ += n;
    return true;
  }
  bool byte(unsigned char *b) {
    if (p_ == end_) return false;
    *b = *p_++;
    return true;
  }

 private:
  const unsigned char *p_, *end_;
};

}  // namespace ostrel::fs

#endif /* OSTREL_FS_VARINT_H */
