#include "accounts/throttle.h"

#include <algorithm>

namespace hub::accounts {

void FailureWindow::prune(std::deque<clock::Millis>& times, clock::Millis now) const {
  while (!times.empty() && now - times.front() >= window_) times.pop_front();
}

bool FailureWindow::blocked(const std::string& key, clock::Millis now) {
  const auto it = failures_.find(key);
  if (it == failures_.end()) return false;
  prune(it->second, now);
  return static_cast<int>(it->second.size()) >= limit_;
}

void FailureWindow::failed(const std::string& key, clock::Millis now) {
  auto& times = failures_[key];
  prune(times, now);
  times.push_back(now);
  // Only the newest `limit` failures matter for the window.
  while (static_cast<int>(times.size()) > limit_) times.pop_front();
}

void FailureWindow::forgive(const std::string& key, clock::Millis at) {
  const auto it = failures_.find(key);
  if (it == failures_.end()) return;
  if (const auto found = std::find(it->second.begin(), it->second.end(), at); found != it->second.end())
    it->second.erase(found);
  if (it->second.empty()) failures_.erase(it);
}

void FailureWindow::sweep(clock::Millis now) {
  for (auto it = failures_.begin(); it != failures_.end();) {
    prune(it->second, now);
    it = it->second.empty() ? failures_.erase(it) : std::next(it);
  }
}

double RateLimit::refilled(const Bucket& b, clock::Millis now) const {
  return std::min<double>(burst_, b.tokens + (now - b.at) / 1000.0 * perSecond_);
}

bool RateLimit::take(const std::string& key, clock::Millis now) {
  auto [it, fresh] = buckets_.try_emplace(key, Bucket{static_cast<double>(burst_), now});
  Bucket& b = it->second;
  b.tokens = refilled(b, now);
  b.at = now;
  if (b.tokens < 1) return false;
  b.tokens -= 1;
  return true;
}

void RateLimit::sweep(clock::Millis now) {
  std::erase_if(buckets_, [&](const auto& entry) { return refilled(entry.second, now) >= burst_; });
}

}  // namespace hub::accounts
