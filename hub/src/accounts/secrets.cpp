#include "accounts/secrets.h"

#include <openssl/evp.h>
#include <sodium.h>

#include <array>

#include "common/failure.h"

namespace hub::accounts {
namespace {

// Argon2id at 4 passes over 9 MiB, one of OWASP's equivalent settings for Argon2id: some 9 ms a check on
// this kind of machine. More memory buys little here and costs the kernel as much again (libsodium maps
// and fills fresh memory for every check), which a login storm of a thousand counters pays in full.
constexpr unsigned long long kPasses = 4;
constexpr size_t kMemory = 9u << 20;

void ensureSodium() {
  static const int ready = sodium_init();
  if (ready < 0) throw Failure("libsodium cannot start");
}

std::string hexOf(const unsigned char* bytes, size_t size) {
  std::string hex(size * 2 + 1, '\0');
  sodium_bin2hex(hex.data(), hex.size(), bytes, size);
  hex.pop_back();
  return hex;
}

}  // namespace

std::string hashPassword(std::string_view password) {
  ensureSodium();
  std::array<char, crypto_pwhash_STRBYTES> out{};
  if (crypto_pwhash_str_alg(out.data(), password.data(), password.size(), kPasses, kMemory,
                            crypto_pwhash_ALG_ARGON2ID13) != 0)
    throw Failure("out of memory for a password hash");
  return out.data();
}

bool checkPassword(std::string_view hash, std::string_view password) {
  ensureSodium();
  std::string text(hash);  // libsodium wants it terminated
  return crypto_pwhash_str_verify(text.c_str(), password.data(), password.size()) == 0;
}

std::string newIntakeKey() {
  ensureSodium();
  std::array<unsigned char, 24> raw{};
  randombytes_buf(raw.data(), raw.size());
  std::array<char, 40> out{};
  sodium_bin2base64(out.data(), out.size(), raw.data(), raw.size(), sodium_base64_VARIANT_URLSAFE_NO_PADDING);
  return out.data();
}

std::string digest(std::string_view text) {
  ensureSodium();
  std::array<unsigned char, crypto_hash_sha256_BYTES> sum{};
  crypto_hash_sha256(sum.data(), reinterpret_cast<const unsigned char*>(text.data()), text.size());
  return hexOf(sum.data(), sum.size());
}

bool sameText(std::string_view a, std::string_view b) {
  // Compare digests: equal length whatever the texts, so the time says nothing about the key.
  const std::string da = digest(a), db = digest(b);
  return sodium_memcmp(da.data(), db.data(), da.size()) == 0;
}

std::string hmacSha256Base64(std::string_view key, std::string_view message) {
  ensureSodium();
  crypto_auth_hmacsha256_state state;
  std::array<unsigned char, crypto_auth_hmacsha256_BYTES> mac{};
  crypto_auth_hmacsha256_init(&state, reinterpret_cast<const unsigned char*>(key.data()), key.size());
  crypto_auth_hmacsha256_update(&state, reinterpret_cast<const unsigned char*>(message.data()), message.size());
  crypto_auth_hmacsha256_final(&state, mac.data());
  std::array<char, sodium_base64_ENCODED_LEN(crypto_auth_hmacsha256_BYTES, sodium_base64_VARIANT_ORIGINAL)> out{};
  sodium_bin2base64(out.data(), out.size(), mac.data(), mac.size(), sodium_base64_VARIANT_ORIGINAL);
  return out.data();
}

std::string md5Hex(std::string_view text) {
  ensureSodium();
  std::array<unsigned char, EVP_MAX_MD_SIZE> sum{};
  unsigned int size = 0;
  if (EVP_Digest(text.data(), text.size(), sum.data(), &size, EVP_md5(), nullptr) != 1)
    throw Failure("OpenSSL has no MD5");
  return hexOf(sum.data(), size);
}

}  // namespace hub::accounts
