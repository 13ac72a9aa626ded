// The machine identifier and its MD5: the standard's own test suite, digests computed independently (with
// Python's hashlib when the test was written, and with the platform's crypto provider under Windows),
// the disk number of an identify block, and the salting and truncation of the number.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "server/machine_id.h"
#include "server/md5.h"

#ifdef _WIN32
#include <windows.h>
#include <wincrypt.h>
#endif

namespace {

// A drive's identify block as the ATA standard lays it out: strings in words with the first character in
// the high byte, the geometry words set, the rest filled with a pattern.
server::IdentifyWords sampleDrive() {
  server::IdentifyWords w{};
  w[1] = 16383;
  w[3] = 16;
  w[6] = 63;
  w[21] = 0x1000;
  const std::string serial = "WD-WCC4N1234567     ";
  for (int i = 0; i < 10; ++i) w[10 + i] = uint16_t(uint8_t(serial[2 * i]) << 8 | uint8_t(serial[2 * i + 1]));
  const std::string firmware = "01.01A01";
  for (int i = 0; i < 4; ++i) w[23 + i] = uint16_t(uint8_t(firmware[2 * i]) << 8 | uint8_t(firmware[2 * i + 1]));
  const std::string model = "WDC WD10EZEX-08WN4A0                    ";
  for (int i = 0; i < 20; ++i) w[27 + i] = uint16_t(uint8_t(model[2 * i]) << 8 | uint8_t(model[2 * i + 1]));
  for (int i = 47; i < 256; ++i) w[i] = uint16_t(i * 0x9E37);
  return w;
}

std::string fourBytes(uint32_t v) {
  const char b[4] = {char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
  return std::string(b, 4);
}

#ifdef _WIN32
// The same digest from the platform's crypto provider.
std::string providerMd5(const std::string& bytes) {
  HCRYPTPROV provider = 0;
  HCRYPTHASH hash = 0;
  std::string hex;
  if (!CryptAcquireContextA(&provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) return "no provider";
  if (CryptCreateHash(provider, CALG_MD5, 0, 0, &hash)) {
    BYTE digest[16];
    DWORD size = sizeof digest;
    if (CryptHashData(hash, reinterpret_cast<const BYTE*>(bytes.data()), DWORD(bytes.size()), 0) &&
        CryptGetHashParam(hash, HP_HASHVAL, digest, &size, 0)) {
      static const char* digits = "0123456789ABCDEF";
      for (BYTE b : digest) {
        hex += digits[b >> 4];
        hex += digits[b & 15];
      }
    }
    CryptDestroyHash(hash);
  }
  CryptReleaseContext(provider, 0);
  return hex;
}
#endif

TEST(Md5, TheStandardsTestSuite) {
  EXPECT_EQ(md5::upperHex(""), "D41D8CD98F00B204E9800998ECF8427E");
  EXPECT_EQ(md5::upperHex("a"), "0CC175B9C0F1B6A831C399E269772661");
  EXPECT_EQ(md5::upperHex("abc"), "900150983CD24FB0D6963F7D28E17F72");
  EXPECT_EQ(md5::upperHex("message digest"), "F96B697D7CB7938D525A2F31AAF161D0");
  EXPECT_EQ(md5::upperHex("abcdefghijklmnopqrstuvwxyz"), "C3FCD3D76192E4007DFB496CCA67E13B");
  EXPECT_EQ(md5::upperHex("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
            "D174AB98D277D9F5A5611C2C9F419D9F");
  EXPECT_EQ(md5::upperHex("1234567890123456789012345678901234567890123456789012345678901234567890123456789"
                          "0"),
            "57EDF4A22BE3C955AC49DA2E2107B67A");
}

TEST(Md5, EveryLengthAroundTheBlockBoundaries) {
  // The padding takes one or two blocks depending on the tail: lengths 0 to 200 cover every case.
  // Natively the digests are checked for being well formed and different; under Windows against the
  // crypto provider, byte for byte.
  std::string previous;
  for (size_t n = 0; n <= 200; ++n) {
    std::string bytes(n, '\0');
    for (size_t i = 0; i < n; ++i) bytes[i] = char(i * 31 + n);
    const std::string hex = md5::upperHex(bytes);
    ASSERT_EQ(hex.size(), 32u);
    EXPECT_EQ(hex.find_first_not_of("0123456789ABCDEF"), std::string::npos);
    EXPECT_NE(hex, previous);
    previous = hex;
#ifdef _WIN32
    EXPECT_EQ(hex, providerMd5(bytes)) << n;
#endif
  }
}

TEST(MachineId, DiskNumberFromAnIdentifyBlock) {
  EXPECT_EQ(server::identityNumberFromWords(sampleDrive()), 1347727536);
  // Every word at its largest: the sum wraps around in 32 bits.
  server::IdentifyWords full;
  full.fill(0xFFFF);
  EXPECT_EQ(server::identityNumberFromWords(full), 1966046);
  // Words outside the ones named change nothing.
  server::IdentifyWords w = sampleDrive();
  for (int i : {0, 2, 4, 5, 7, 8, 9, 20, 22, 47, 100, 255}) w[i] ^= 0x1234;
  EXPECT_EQ(server::identityNumberFromWords(w), 1347727536);
  // The shifted part carries into the sign bit: the number is a signed 32-bit integer.
  server::IdentifyWords high{};
  high[1] = 0x8000;
  EXPECT_EQ(server::identityNumberFromWords(high), INT32_MIN);
  // A serial number or MachineGuid: the first four bytes of its MD5, least significant first (MD5 of
  // "abc" is 900150983cd24fb0...).
  EXPECT_EQ(server::identityNumberFromText("abc"), static_cast<int32_t>(0x98500190u));
}

TEST(MachineId, DigestsOfKnownNumbers) {
  // 0 + salt truncates to 37158264.
  EXPECT_EQ(server::machineIdFor(0), md5::upperHex(fourBytes(37158264)));
  EXPECT_EQ(server::machineIdFor(0), "4F0B5785AEDBE13EE2B8396DCD9FACA8");
  // The sample drive: 1347727536 + salt = 1384885800.4..., truncated.
  EXPECT_EQ(server::machineIdFor(1347727536), "84BC3173368DCB74348C8DC882C44C3C");
  EXPECT_EQ(server::machineIdFor(server::identityNumberFromWords(sampleDrive())),
            "84BC3173368DCB74348C8DC882C44C3C");
  // Toward zero: -37158265 + salt = -0.59..., which truncates to 0, not -1.
  EXPECT_EQ(server::machineIdFor(-37158265), md5::upperHex(fourBytes(0)));
  EXPECT_EQ(server::machineIdFor(-37158265), "F1D3FF8443297732862DF21DC4E57262");
  // Beyond 32 bits signed, the low 32 bits of the 64-bit integer.
  EXPECT_EQ(server::machineIdFor(INT32_MAX), "5C3F4A7EB932B96654D78BCD311637E5");
  EXPECT_EQ(server::machineIdFor(INT32_MIN), "94F6F11C0BA392DBAA09EAA981611482");
#ifdef _WIN32
  EXPECT_EQ(server::machineIdFor(0), providerMd5(fourBytes(37158264)));
  EXPECT_EQ(server::machineIdFor(1347727536), providerMd5(fourBytes(1384885800)));
#endif
}

TEST(MachineId, TheSameOnEveryCall) {
  const std::string id = server::machineId();
  ASSERT_EQ(id.size(), 32u);
  EXPECT_EQ(id.find_first_not_of("0123456789ABCDEF"), std::string::npos);
  EXPECT_EQ(server::machineId(), id);
  server::IdentifyWords words{};
  std::string text;
  if (server::readDiskIdentify(words)) {
    EXPECT_EQ(id, server::machineIdFor(server::identityNumberFromWords(words)));
  } else if (server::readStorageSerial(text) || server::readMachineGuid(text)) {
    // Where the identify data needs rights the user lacks (under Wine too: its MachineGuid).
    EXPECT_EQ(id, server::machineIdFor(server::identityNumberFromText(text)));
    EXPECT_NE(id, server::machineIdFor(0));
  } else {
    // Nothing identifies the PC (natively): the identifier of the number 0.
    EXPECT_EQ(server::diskIdentityNumber(), 0);
    EXPECT_EQ(id, server::machineIdFor(0));
  }
}

}  // namespace
