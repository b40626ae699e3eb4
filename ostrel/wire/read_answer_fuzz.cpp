// Fuzz target: arbitrary bytes as a read answer, fed in uneven pieces.
#include <cstddef>
#include <cstdint>

#include "read_answer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  ostrel_wire::ReadAnswer answer(4096);
  ostrel_wire::Frame frame;
  std::size_t pos = 0, piece = 1;
  while (pos < size) {
    std::size_t n = size - pos < piece ? size - pos : piece;
    answer.feed(reinterpret_cast<const char *>(data) + pos, n);
    pos += n;
    piece = piece * 3 + 1;
    while (answer.next(frame) == ostrel_wire::Status::frame) {
      for (const auto &item : frame.items)
        if (item && !item->empty()) (void)(*item)[0];
    }
  }
  (void)answer.complete();
  return 0;
}
