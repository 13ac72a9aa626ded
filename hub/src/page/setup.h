#pragma once
// Setting up the merchant's devices: for each phone app merchants use, the exact values to enter (and a
// QR code of the one it scans or that is long to type), the key's rotation, the password's change, and
// the counters that have logged in to the account.
#include <string>
#include <string_view>
#include <vector>

#include "common/clock.h"
#include "store/store.h"

namespace hub::page {

// What the phone apps are given to reach the account.
struct Reach {
  std::string base;  // how phones reach the hub, "http://hub.example.cn:9002"
  std::string key;   // the account's intake key
  std::string account;
};

// `notice` says what was just done, `error` why it was not; either may be empty.
std::string phonePage(const Reach& reach, std::string_view csrf, std::string_view notice, std::string_view error);
std::string countersPage(const clock::Zone& zone, const std::vector<store::CounterSeen>& counters);

// The text as a QR code (error correction M), drawn as SVG with a quiet zone of four modules.
std::string qrSvg(std::string_view text);

}  // namespace hub::page
