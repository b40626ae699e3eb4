// How a console program's heap grows.
//
// A commit of many files holds a node per path in memory until it is
// written, so a large one grows the heap by megabytes in small pieces.  Each
// 4 KiB page the heap grows by is mapped by a page fault of its own when it
// is first touched, and on a virtual machine a fault costs microseconds: the
// faults of a 10,000-file commit took a third of its time.  Here the heap is
// made to grow in large steps, and the first step is advised to be mapped
// with the kernel's large (2 MiB) pages where the system offers them on
// request, so one fault maps what 512 did.
//
// Only the C library's own heap (the one brk grows) is touched, and only
// when this call sees it grow: under an allocator of another kind (a memory
// checker's, say) nothing is advised.

#include "ostrel_cmdline.h"

#include <cstdint>
#include <cstdlib>

#if defined(__linux__) && defined(__GLIBC__)
#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>
#endif

extern "C" int ostrel_cmdline_prefer_large_pages(void) {
#if defined(__linux__) && defined(__GLIBC__) && defined(MADV_HUGEPAGE)
  constexpr size_t kLargePage = size_t{2} << 20;
  // The steps the heap grows by, and the limits that go with them.  Setting
  // one of them ends the C library's own adjustment of the size from which
  // a block is mapped apart; these are the largest values that adjustment
  // reaches, so big buffers still come from (and go back to) the heap.
  constexpr size_t kStep = size_t{32} << 20;
  if (mallopt(M_MMAP_THRESHOLD, static_cast<int>(kStep)) != 1 ||
      mallopt(M_TRIM_THRESHOLD, static_cast<int>(2 * kStep)) != 1 ||
      mallopt(M_TOP_PAD, static_cast<int>(kStep)) != 1)
    return 0;
  // Make the heap grow now, by blocks small enough to come from it: the
  // first that does not fit in what the heap has left grows it by a step.
  auto *before = static_cast<char *>(sbrk(0));
  if (before == reinterpret_cast<char *>(-1)) return 0;
  constexpr size_t kProbe = 64 * 1024;
  void *probes[64];
  size_t taken = 0;
  char *after = before;
  while (taken < sizeof probes / sizeof *probes) {
    void *p = std::malloc(kProbe);
    if (!p) break;
    probes[taken++] = p;
    after = static_cast<char *>(sbrk(0));
    if (after != before) break;
  }
  for (size_t i = 0; i < taken; ++i) std::free(probes[i]);
  const auto grown_from = reinterpret_cast<uintptr_t>(before);
  const auto grown_to = reinterpret_cast<uintptr_t>(after);
  const uintptr_t start = (grown_from + kLargePage - 1) & ~uintptr_t{kLargePage - 1};
  if (after == reinterpret_cast<char *>(-1) || grown_to < start + kLargePage) return 0;
  return madvise(reinterpret_cast<void *>(start), grown_to - start, MADV_HUGEPAGE) == 0;
#else
  return 0;
#endif
}
