#pragma once
// The speech service's token endpoint: the counters' client id and secret buy a token, and the token
// buys synthesis. A token is signed, not remembered: any node holding the store's key accepts it.
#include <string>
#include <string_view>

#include "common/clock.h"
#include "net/edge.h"

namespace hub::speech {

// How long a token lasts, as the counters' service has always said (30 days).
constexpr clock::Millis kTokenLife = 2'592'000'000;

class Tokens {
 public:
  explicit Tokens(std::string key) : key_(std::move(key)) {}
  std::string issue(clock::Millis now) const;
  // Signed with this key and not yet expired.
  bool valid(std::string_view token, clock::Millis now) const;

 private:
  std::string sign(std::string_view body) const;
  std::string key_;
};

struct Client {
  std::string id;
  std::string secret;
};

// GET /oauth/2.0/token?grant_type=client_credentials&client_id=..&client_secret=.. (or POST with those
// fields as a form): the token, or the service's own "invalid_client" answer.
net::HttpResponse answerToken(const net::HttpRequest& request, const Client& client, const Tokens& tokens,
                              clock::Millis now);

// A request's field, from the query or, for a POST, from its form body.
std::string formField(const net::HttpRequest& request, std::string_view name);

}  // namespace hub::speech
