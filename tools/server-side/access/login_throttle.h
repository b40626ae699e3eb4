// Slowing down of password guessing, per client address.
//
// Every failed login from an address makes the next attempt from that
// address wait longer: the Nth failure in a row imposes
// min(first_delay * 2^(N-1), max_delay) before the address may try again.
// Other addresses are not affected.  An address's count is forgotten once
// it has made no failed attempt for forget_after; a successful login does
// not reset it, so that someone holding one valid account cannot use it to
// clear the delay they earn while guessing another.
//
// The server asks wait_before() when credentials arrive and holds the
// answer back for that long; it calls failed() for every refused login.
// The memory held is bounded (max_addresses; the oldest entries go first).
// Thread-safe.
#ifndef OSTREL_SERVER_LOGIN_THROTTLE_H
#define OSTREL_SERVER_LOGIN_THROTTLE_H

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <string>

namespace ostrel_server {

struct LoginThrottleSettings {
  std::chrono::milliseconds first_delay{250};
  std::chrono::milliseconds max_delay{30000};
  std::chrono::milliseconds forget_after{std::chrono::minutes(15)};
  std::size_t max_addresses = 10000;
};

class LoginThrottle {
 public:
  using Clock = std::chrono::steady_clock;
  using Duration = std::chrono::milliseconds;
  using Settings = LoginThrottleSettings;

  // NOW tells the time; tests give a clock they move by hand.
  explicit LoginThrottle(Settings settings = {},
                         std::function<Clock::time_point()> now = Clock::now);

  // How long an attempt from ADDRESS must still wait (zero when none).
  Duration wait_before(const std::string &address);

  // Records a failed login from ADDRESS; returns the number of failures in a
  // row and the delay the next attempt from ADDRESS now waits.
  struct Failure {
    unsigned count;
    Duration delay;
  };
  Failure failed(const std::string &address);

 private:
  struct Entry {
    unsigned failures = 0;
    Clock::time_point last_failure;
    Clock::time_point allowed_from;
  };
  Duration delay_for(unsigned failures) const;
  void forget_old(Clock::time_point now);

  Settings settings_;
  std::function<Clock::time_point()> now_;
  std::mutex mutex_;
  std::map<std::string, Entry> entries_;
};

}  // namespace ostrel_server

#endif  // OSTREL_SERVER_LOGIN_THROTTLE_H
