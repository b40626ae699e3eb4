// The heap of a console program grows into a region advised for large pages.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "ostrel_cmdline.h"

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kOwnAllocator = true;  // the checker's malloc is not brk's
#else
constexpr bool kOwnAllocator = false;
#endif

// The flags /proc/self/smaps gives the mapping that holds ADDRESS ("" when
// none does).
std::string mapping_flags(const void *address) {
  const auto a = reinterpret_cast<uintptr_t>(address);
  std::ifstream smaps("/proc/self/smaps");
  std::string line;
  bool inside = false;
  while (std::getline(smaps, line)) {
    // A mapping starts with its range "FROM-TO"; its details ("Key: value")
    // follow, VmFlags last.
    const std::string first = line.substr(0, line.find(' '));
    const size_t dash = first.find('-');
    if (dash != std::string::npos && first.find_first_not_of("0123456789abcdef-") == std::string::npos) {
      const uintptr_t from = std::stoull(first.substr(0, dash), nullptr, 16);
      const uintptr_t to = std::stoull(first.substr(dash + 1), nullptr, 16);
      inside = from <= a && a < to;
    } else if (inside && line.rfind("VmFlags:", 0) == 0) {
      return line.substr(8) + " ";
    }
  }
  return "";
}

TEST(LargePagesTest, TheHeapGrowsIntoARegionAdvisedForLargePages) {
  const int advised = ostrel_cmdline_prefer_large_pages();
  if (kOwnAllocator) {
    EXPECT_EQ(advised, 0);
    return;
  }
#if defined(__linux__) && defined(__GLIBC__)
  ASSERT_EQ(advised, 1);
  // A block of some megabytes now comes from the grown heap, not from a
  // mapping of its own, and it is usable from end to end.
  const size_t size = size_t{4} << 20;
  auto *block = static_cast<unsigned char *>(std::malloc(size));
  ASSERT_NE(block, nullptr);
  std::memset(block, 0x5A, size);
  EXPECT_EQ(block[0] + block[size - 1], 2 * 0x5A);
  EXPECT_NE(mapping_flags(block + size / 2).find(" hg "), std::string::npos)
      << mapping_flags(block + size / 2);
  std::free(block);
  // A second call finds the heap grown already and changes nothing.
  EXPECT_EQ(ostrel_cmdline_prefer_large_pages(), 0);
#else
  EXPECT_EQ(advised, 0);
#endif
}

}  // namespace
