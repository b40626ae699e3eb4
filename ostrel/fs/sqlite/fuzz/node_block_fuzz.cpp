// Fuzz target: any bytes as a stored block of nodes.  The first byte is the
// count of nodes its row claims, the rest the body.  A block the decoder
// accepts whole encodes back to a block that decodes to the same nodes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "../node_block.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  using namespace ostrel::fs;
  if (size < 1) return 0;
  const int64_t first = 1000, count = data[0];
  NodeBlockView view;
  if (!view.open(data + 1, size - 1, first, count)) return 0;
  std::vector<NodeRow> nodes(static_cast<size_t>(count));
  bool whole = true;
  for (int64_t id = first; id < first + count; ++id)
    whole = view.node(id, nodes[static_cast<size_t>(id - first)]) && whole;
  if (!whole) return 0;
  const std::string again = encode_node_block(nodes.data(), nodes.size(), view.base());
  if (again.size() > 0xffff && count > 1) return 0;  // beyond 16-bit starts: never written
  NodeBlockView back;
  std::vector<NodeRow> decoded;
  if (!back.open(again.data(), again.size(), first, count) || !back.all(decoded)) std::abort();
  for (size_t i = 0; i < nodes.size(); ++i)
    if (!same_node(nodes[i], decoded[i])) std::abort();
  return 0;
}
