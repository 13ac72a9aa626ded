#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "speech/cache.h"
#include "speech/synthesis.h"
#include "speech/tokens.h"

namespace hub::speech {
namespace {

TEST(SpeechTokens, HoldUntilTheyExpireAndOnlyUnderTheirKey) {
  const Tokens tokens("key of this store"), other("key of another store");
  const std::string token = tokens.issue(1'000);
  EXPECT_TRUE(tokens.valid(token, 1'000 + kTokenLife - 1));
  EXPECT_FALSE(tokens.valid(token, 1'000 + kTokenLife));
  EXPECT_FALSE(other.valid(token, 1'000));
  // A later expiry written into the token breaks its signature.
  std::string extended = token;
  extended.replace(4, 1, "9");
  EXPECT_FALSE(tokens.valid(extended, 1'000));
  EXPECT_EQ(token.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-_"),
            std::string::npos);
}

Sentence sentenceOf(const std::string& tex) {
  net::HttpRequest r;
  r.method = "GET";
  r.query = "tex=" + tex + "&tok=t&cuid=1&ctp=1&lan=zh&per=3";
  return readSentence(r);
}

// The error number a sentence is refused with, or 0 when it is taken.
int refusalOf(const std::string& tex) {
  try {
    sentenceOf(tex);
    return 0;
  } catch (const Refused& refused) {
    return refused.status;
  }
}

TEST(SpeechSentences, LimitIsCountedInGbkBytes) {
  std::string chinese;
  for (int i = 0; i < 512; ++i) chinese += "%E9%95%BF";  // "长", two bytes in GBK
  EXPECT_EQ(sentenceOf(chinese).per, 3);
  EXPECT_EQ(refusalOf(chinese + "1"), kBadText);
  EXPECT_EQ(refusalOf(std::string(1024, 'a')), 0);
  EXPECT_EQ(refusalOf("%C0%AF"), kBadText);  // an overlong "/"
  EXPECT_EQ(refusalOf("a%07"), kBadText);    // a control character
  // Encoded twice, "&" and "+" included, as the service also takes it.
  EXPECT_EQ(sentenceOf("%25E9%2595%25BF%2526%252B").text, "长&+");
}

TEST(SpeechCache, LeastRecentlyUsedGoesFirstAndAllSurvivesARestart) {
  const auto dir = std::filesystem::temp_directory_path() / ("speech-cache-" + std::to_string(getpid()));
  std::filesystem::remove_all(dir);
  {
    Cache cache(dir, 300);
    cache.put("a", std::string(100, 'a'));
    cache.put("b", std::string(100, 'b'));
    cache.put("c", std::string(100, 'c'));
    EXPECT_TRUE(cache.find("a"));  // now the latest used
    cache.put("d", std::string(100, 'd'));
    EXPECT_FALSE(cache.find("b"));
    EXPECT_EQ(cache.find("a"), std::string(100, 'a'));
  }
  Cache again(dir, 300);
  EXPECT_EQ(again.find("c"), std::string(100, 'c'));
  EXPECT_EQ(again.find("d"), std::string(100, 'd'));
  EXPECT_FALSE(again.find("b"));
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace hub::speech
