// A unit test program whose only test breaks in its setup: the kit's shell
// test runs it and checks that such a run ends with status 99 and says
// "SETUP FAILED" (ostrel_gtest_main.cpp), not 1 as a failed check would.
#include <cstdlib>

#include <gtest/gtest.h>

#include "ostrel_setup_failed.h"

namespace {

TEST(SetupFailedProbe, BreaksInSetup) {
  OSTREL_SETUP_ASSERT(false, "the probe's setup breaks on purpose");
  ADD_FAILURE() << "not reached";
}

TEST(SetupFailedProbe, FailsACheck) {
  if (std::getenv("PROBE_FAIL_CHECK")) ADD_FAILURE() << "a failed check of the product";
}

}  // namespace
