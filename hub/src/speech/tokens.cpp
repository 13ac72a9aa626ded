#include "speech/tokens.h"

#include <charconv>

#include "accounts/secrets.h"

namespace hub::speech {

// A token reads "kst.EXPIRY.NONCE.SIGN": when it ends (milliseconds), a random part so that two tokens of
// one moment differ, and the HMAC of the rest. Letters, digits, "." , "-" and "_" only: the counter puts
// it into an address as it is.
std::string Tokens::sign(std::string_view body) const {
  std::string mac = accounts::hmacSha256Base64(key_, body);
  for (char& c : mac) c = c == '+' ? '-' : c == '/' ? '_' : c;
  while (!mac.empty() && mac.back() == '=') mac.pop_back();
  return mac;
}

std::string Tokens::issue(clock::Millis now) const {
  std::string nonce = accounts::newIntakeKey().substr(0, 16);
  for (char& c : nonce) c = c == '.' ? '_' : c;
  const std::string body = "kst." + std::to_string(now + kTokenLife) + "." + nonce;
  return body + "." + sign(body);
}

bool Tokens::valid(std::string_view token, clock::Millis now) const {
  const auto dot = token.rfind('.');
  if (!token.starts_with("kst.") || dot == std::string_view::npos) return false;
  const std::string_view body = token.substr(0, dot);
  if (!accounts::sameText(sign(body), token.substr(dot + 1))) return false;
  const std::string_view expiry = body.substr(4, body.find('.', 4) - 4);
  clock::Millis until = 0;
  const auto [end, error] = std::from_chars(expiry.data(), expiry.data() + expiry.size(), until);
  return error == std::errc() && end == expiry.data() + expiry.size() && now < until;
}

std::string formField(const net::HttpRequest& request, std::string_view name) {
  std::string value = net::queryParameter(request.query, name);
  if (value.empty() && request.method == "POST") value = net::queryParameter(request.body, name);
  return value;
}

net::HttpResponse answerToken(const net::HttpRequest& request, const Client& client, const Tokens& tokens,
                              clock::Millis now) {
  if (request.method != "GET" && request.method != "POST")
    return net::jsonResponse(405, R"({"error":"invalid_request","error_description":"GET or POST"})");
  if (formField(request, "grant_type") != "client_credentials")
    return net::jsonResponse(400, R"({"error":"unsupported_grant_type","error_description":"unsupported grant type"})");
  // No configured client: nobody gets a token, rather than anybody.
  const bool known = !client.id.empty() && accounts::sameText(formField(request, "client_id"), client.id) &&
                     accounts::sameText(formField(request, "client_secret"), client.secret);
  if (!known) return net::jsonResponse(401, R"({"error":"invalid_client","error_description":"unknown client id"})");
  return net::jsonResponse(200, R"({"access_token":")" + tokens.issue(now) + R"(","expires_in":)" +
                                    std::to_string(kTokenLife / 1000) + "}");
}

}  // namespace hub::speech
