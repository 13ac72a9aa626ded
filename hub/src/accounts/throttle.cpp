#include "accounts/throttle.h"

#include <arpa/inet.h>

#include <algorithm>
#include <array>

namespace hub::accounts {

std::string addressGroup(std::string_view address) {
  std::string text(address);
  // "[2001:db8::1]" and "::ffff:1.2.3.4" as the edge may write them.
  if (text.size() > 2 && text.front() == '[' && text.back() == ']') text = text.substr(1, text.size() - 2);
  std::array<unsigned char, 16> bytes{};
  if (inet_pton(AF_INET6, text.c_str(), bytes.data()) != 1) return text;
  const bool mappedV4 = std::all_of(bytes.begin(), bytes.begin() + 10, [](unsigned char b) { return b == 0; }) &&
                        bytes[10] == 0xff && bytes[11] == 0xff;
  char out[INET6_ADDRSTRLEN] = {};
  if (mappedV4) return inet_ntop(AF_INET, bytes.data() + 12, out, sizeof out) ? out : text;
  std::fill(bytes.begin() + 8, bytes.end(), 0);
  return inet_ntop(AF_INET6, bytes.data(), out, sizeof out) ? std::string(out) + "/64" : text;
}

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
