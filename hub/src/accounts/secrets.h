#pragma once
// Passwords and intake keys: what is kept of them, how they are compared, and the signs phone apps make
// with them.
#include <string>
#include <string_view>

namespace hub::accounts {

// An Argon2id hash of the password with a fresh salt, in libsodium's self-describing text form. Its cost is
// set so that one check takes some 10 ms here: dear for a guesser, cheap enough for a login storm.
std::string hashPassword(std::string_view password);
// Whether the password is the one the hash was made from.
bool checkPassword(std::string_view hash, std::string_view password);

// A new random intake key: 192 bits as 32 URL-safe Base64 characters.
std::string newIntakeKey();

// The SHA-256 digest of a text as 64 lower-case hex digits (keys are looked up by their digest).
std::string digest(std::string_view text);

// Equality that takes the same time wherever the texts differ.
bool sameText(std::string_view a, std::string_view b);

// The signs forwarder apps compute: HMAC-SHA256 as standard Base64 (SmsForwarder), and MD5 as 32
// lower-case hex digits (the payment monitors, receiptnotice).
std::string hmacSha256Base64(std::string_view key, std::string_view message);
std::string md5Hex(std::string_view text);

}  // namespace hub::accounts
