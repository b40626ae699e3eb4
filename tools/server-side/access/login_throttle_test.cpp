// Tests of the slowing down of guessing, on a clock moved by hand.

#include "login_throttle.h"

#include <gtest/gtest.h>

namespace ostrel_server {
namespace {

using namespace std::chrono_literals;
using Duration = LoginThrottle::Duration;

class LoginThrottleTest : public ::testing::Test {
 protected:
  LoginThrottle::Clock::time_point now_{};
  LoginThrottle throttle_{LoginThrottle::Settings{250ms, 4000ms, 10min, 3},
                          [this] { return now_; }};
};

TEST_F(LoginThrottleTest, EachFailureDoublesTheWaitUpToTheCap) {
  const Duration expected[] = {250ms, 500ms, 1000ms, 2000ms, 4000ms, 4000ms};
  for (Duration want : expected) {
    LoginThrottle::Failure f = throttle_.failed("192.0.2.1");
    EXPECT_EQ(f.delay, want);
    EXPECT_EQ(throttle_.wait_before("192.0.2.1"), want);
    now_ += f.delay;  // the client waited its turn
    EXPECT_EQ(throttle_.wait_before("192.0.2.1"), 0ms);
  }
  EXPECT_EQ(throttle_.failed("192.0.2.1").count, 7u);
}

TEST_F(LoginThrottleTest, OtherAddressesAreNotSlowedDown) {
  for (int i = 0; i < 5; ++i) throttle_.failed("192.0.2.1");
  EXPECT_GT(throttle_.wait_before("192.0.2.1"), 0ms);
  EXPECT_EQ(throttle_.wait_before("192.0.2.2"), 0ms);
  EXPECT_EQ(throttle_.failed("192.0.2.2").delay, 250ms);
}

TEST_F(LoginThrottleTest, TheWaitShrinksAsTimePasses) {
  throttle_.failed("a");
  throttle_.failed("a");
  now_ += 200ms;
  EXPECT_EQ(throttle_.wait_before("a"), 300ms);
}

TEST_F(LoginThrottleTest, AQuietAddressIsForgotten) {
  for (int i = 0; i < 4; ++i) throttle_.failed("a");
  now_ += 9min;
  EXPECT_EQ(throttle_.failed("a").count, 5u);  // still counting
  now_ += 10min;
  EXPECT_EQ(throttle_.failed("a").count, 1u);
}

TEST_F(LoginThrottleTest, MemoryIsBoundedByDroppingTheOldestAddress) {
  throttle_.failed("a");
  now_ += 1s;
  throttle_.failed("b");
  now_ += 1s;
  throttle_.failed("c");
  now_ += 1s;
  throttle_.failed("d");  // room for three: "a" goes
  EXPECT_EQ(throttle_.failed("b").count, 2u);
  EXPECT_EQ(throttle_.failed("a").count, 1u);
}

}  // namespace
}  // namespace ostrel_server
