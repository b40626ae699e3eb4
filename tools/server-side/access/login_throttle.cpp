// Per-address slowing down of failed logins (contract in login_throttle.h).

#include "login_throttle.h"

#include <algorithm>
#include <vector>

namespace ostrel_server {

LoginThrottle::LoginThrottle(Settings settings, std::function<Clock::time_point()> now)
    : settings_(settings), now_(std::move(now)) {}

LoginThrottle::Duration LoginThrottle::delay_for(unsigned failures) const {
  if (failures == 0) return Duration::zero();
  Duration delay = settings_.first_delay;
  for (unsigned i = 1; i < failures && delay < settings_.max_delay; ++i) delay *= 2;
  return std::min(delay, settings_.max_delay);
}

void LoginThrottle::forget_old(Clock::time_point now) {
  for (auto it = entries_.begin(); it != entries_.end();)
    it = now - it->second.last_failure >= settings_.forget_after ? entries_.erase(it)
                                                                 : std::next(it);
  while (entries_.size() >= settings_.max_addresses) {
    auto oldest = std::min_element(entries_.begin(), entries_.end(), [](auto &a, auto &b) {
      return a.second.last_failure < b.second.last_failure;
    });
    entries_.erase(oldest);
  }
}

LoginThrottle::Duration LoginThrottle::wait_before(const std::string &address) {
  Clock::time_point now = now_();
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = entries_.find(address);
  if (it == entries_.end() || it->second.allowed_from <= now) return Duration::zero();
  return std::chrono::ceil<Duration>(it->second.allowed_from - now);
}

LoginThrottle::Failure LoginThrottle::failed(const std::string &address) {
  Clock::time_point now = now_();
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = entries_.find(address);
  if (it != entries_.end() && now - it->second.last_failure >= settings_.forget_after) {
    entries_.erase(it);
    it = entries_.end();
  }
  if (it == entries_.end()) {
    forget_old(now);
    it = entries_.emplace(address, Entry{}).first;
  }
  Entry &entry = it->second;
  entry.failures++;
  entry.last_failure = now;
  Duration delay = delay_for(entry.failures);
  entry.allowed_from = now + delay;
  return {entry.failures, delay};
}

}  // namespace ostrel_server
