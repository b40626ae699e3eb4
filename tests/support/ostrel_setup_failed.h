// "Setup broke" for the unit tests: a test whose setup fails (a server that
// does not start, a database that cannot be made) says so in a line
// "SETUP FAILED: TEST: REASON", fails, and the test program then exits 99
// instead of 1 (ostrel_gtest_main.cpp), so that CTest and a reader tell it
// apart from a failed check of the product (tests/README.md).
#ifndef OSTREL_SETUP_FAILED_H
#define OSTREL_SETUP_FAILED_H

#include <string>

#include <gtest/gtest.h>

namespace ostrel_test {

// Records that the running test's setup broke for REASON and prints the line.
// Does not end the test: use OSTREL_SETUP_ASSERT or return after it.
void note_setup_failed(const std::string &reason);

// True once note_setup_failed was called in this process.
bool setup_failed();

}  // namespace ostrel_test

// Ends the current function (a SetUp or a test body) as a broken setup when
// CONDITION is false.  REASON is a std::string expression.
#define OSTREL_SETUP_ASSERT(condition, reason)                      \
  do {                                                              \
    if (!(condition)) {                                             \
      ostrel_test::note_setup_failed(reason);                       \
      GTEST_FAIL() << "SETUP FAILED (see above): " << #condition;   \
    }                                                               \
  } while (0)

#endif  // OSTREL_SETUP_FAILED_H
