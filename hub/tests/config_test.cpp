// The configuration file: keys over the defaults, and every mistake refused as the operator's to mend
// with the file and line it is on.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

#include "common/config.h"

using namespace hub;

namespace {

// A file of its own for each text, removed when the test ends.
struct ConfigFile {
  std::filesystem::path path;
  explicit ConfigFile(const std::string& text)
      : path(std::filesystem::temp_directory_path() / ("hub-config-" + std::to_string(getpid()) + ".toml")) {
    std::ofstream(path) << text;
  }
  ~ConfigFile() { std::filesystem::remove(path); }
};

// What reading the text refuses, as "LINE: reason" (the file's name taken off).
std::string refusal(const std::string& text) {
  const ConfigFile file(text);
  try {
    readConfig(file.path);
  } catch (const Refused& refused) {
    EXPECT_EQ(refused.status, 2);
    const std::string what = refused.what();
    EXPECT_EQ(what.rfind(file.path.string() + ":", 0), 0u) << what;
    return what.substr(file.path.string().size() + 1);
  }
  return "read";
}

}  // namespace

TEST(Config, KeysOfEveryPartAreReadOverTheDefaults) {
  const ConfigFile file(
      "listen = \"127.0.0.1:1\"\nregistration = \"open\"\nmax_body_bytes = 2048\nrate_per_second = 0.5\n"
      "speech_engine = \"off\"\ntrusted_proxies = [\"10.0.0.0/8\", \"::1\"]\nlogin_deadline = 7\n");
  const Config c = readConfig(file.path);
  EXPECT_EQ(c.listen, "127.0.0.1:1");
  EXPECT_TRUE(c.registrationOpen);
  EXPECT_EQ(c.maxBodyBytes, 2048u);
  EXPECT_EQ(c.ratePerSecond, 0.5);
  EXPECT_EQ(c.speechEngine, "off");
  EXPECT_EQ(c.trustedProxies, (std::vector<std::string>{"10.0.0.0/8", "::1"}));
  EXPECT_EQ(c.loginDeadline, 7);
  EXPECT_EQ(c.timezone, Config{}.timezone);
}

TEST(Config, EveryMistakeIsRefusedWithItsLine) {
  EXPECT_EQ(refusal("\nlisten = 5\n"), "2: listen has the wrong kind of value");
  EXPECT_EQ(refusal("ping_interval = 0\n"), "1: ping_interval must be from 1 to 3600");
  EXPECT_EQ(refusal("listen = \"a\"\ncolour = 1\n"), "2: unknown key colour");
  EXPECT_EQ(refusal("registration = \"maybe\"\n"), "1: registration is \"open\" or \"closed\"");
  EXPECT_EQ(refusal("speech_engine = \"loud\"\n"), "1: speech_engine is \"baidu\", \"command\" or \"off\"");
  EXPECT_EQ(refusal("allowed_origins = \"x\"\n"), "1: allowed_origins must be a list of texts");
  EXPECT_EQ(refusal("allowed_origins = [\n\"a\",\n2]\n"), "3: allowed_origins has the wrong kind of value");
  EXPECT_EQ(refusal("trusted_proxies = [\"10.0.0.0/33\"]\n"),
            "1: trusted_proxies: \"10.0.0.0/33\" is no address or CIDR block");
  EXPECT_NE(refusal("listen = \n"), "read");
}
