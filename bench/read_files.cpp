// Benchmark driver: reads every file named on standard input (one path per
// line) from start to end, one after the other, and prints the total number
// of bytes.  Each file costs what a reader cannot do without: an open, reads
// up to the one that finds the end, and a close.  bench/storage-commit-10k-
// files.sh uses it as the floor under a commit that reads the same files.
//
// Usage: read_files <PATH-LIST

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

int main() {
  static char buffer[64 * 1024];
  unsigned long long total = 0;
  std::string path;
  while (std::getline(std::cin, path)) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      std::fprintf(stderr, "read_files: cannot open '%s': %s\n", path.c_str(), std::strerror(errno));
      return 1;
    }
    ssize_t got;
    while ((got = read(fd, buffer, sizeof buffer)) > 0) total += static_cast<unsigned long long>(got);
    if (got < 0) {
      std::fprintf(stderr, "read_files: cannot read '%s': %s\n", path.c_str(), std::strerror(errno));
      return 1;
    }
    close(fd);
  }
  std::printf("%llu\n", total);
  return 0;
}
