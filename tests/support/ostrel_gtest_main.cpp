// The main of every unit test program: GoogleTest's, except that a run in
// which a test's setup broke exits 99 rather than 1 (ostrel_setup_failed.h).
#include <cstdio>

#include "ostrel_setup_failed.h"

namespace ostrel_test {

namespace {
bool broke = false;
}

void note_setup_failed(const std::string &reason) {
  broke = true;
  const ::testing::TestInfo *test = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = test ? std::string(test->test_suite_name()) + "." + test->name() : "(no test)";
  std::fprintf(stderr, "SETUP FAILED: %s: %s\n", name.c_str(), reason.c_str());
  std::fflush(stderr);
}

bool setup_failed() { return broke; }

}  // namespace ostrel_test

int main(int argc, char **argv) {
  ::testing::InitGoogleTest(&argc, argv);
  int status = RUN_ALL_TESTS();
  if (status != 0 && ostrel_test::setup_failed()) return 99;
  return status;
}
