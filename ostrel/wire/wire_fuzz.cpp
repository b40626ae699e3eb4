// Feeds arbitrary bytes, in two chunks split at the first byte's value, to
// the frame decoder and reads every decoded frame as a frame of a commit
// request and of a read answer.
#include <cstddef>
#include <cstdint>

#include "frames.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  using namespace ostrel_wire;
  Decoder decoder(4096);
  std::size_t split = size ? data[0] % (size + 1) : 0;
  const char *bytes = reinterpret_cast<const char *>(data);
  Frame frame;
  for (int part = 0; part < 2; part++) {
    if (part == 0)
      decoder.feed(bytes, split);
    else
      decoder.feed(bytes + split, size - split);
    while (decoder.next(frame) == Status::frame) {
      (void)CommitRequestFrames::check(frame);
      (void)ReadAnswerFrames::check(frame);
    }
  }
  return 0;
}
