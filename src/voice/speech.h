// The speech client: one sentence made audible. It fetches an access token from the speech service
// (client-credentials grant), asks the synthesis endpoint for the MP3 rendering of the sentence in the
// chosen voice, writes it to "baidu_yuyin_" + 8 digits + ".mp3" in the temporary directory and starts
// it playing. Nothing is kept between calls but the moment the service last failed to answer; every
// failure ends the call silently.
#pragma once
#include <string>

#include "common/text.h"

namespace voice {

// Blocks the calling thread for the two exchanges (each with its deadline of 15 s); returns once
// playback has started or the attempt has been abandoned. An exchange that gets no answer at all ends
// the attempt. Any thread: the player's open and play run together on the window thread.
void speak(const std::string& sentence, int voiceIndex);

// True for kRestSeconds after an exchange with the service got no answer: payment announcements are
// not attempted meanwhile, so that a dead service does not hold up the list.
bool serviceResting();
inline constexpr int kRestSeconds = 60;

// The service's `per` for a voice of 组合框1: 0 普通女声, 1 普通男生, 3 度逍遥, 4 度丫丫; any other
// index is sent as it is.
int perOfVoice(int voiceIndex);

// "https://" + token host + "/oauth/2.0/token?grant_type=client_credentials&client_id=...&client_secret=...";
// a token host built in with its own scheme ("http://HUB:9002") keeps it.
std::string tokenAddress();
std::string tokenAddressAt(const std::string& host);

// The token of the service's answer: the text after `access_token":"` up to the next double quote;
// empty when either is missing.
std::string tokenOf(const text::Bytes& answer);

// "http://" + synthesis host + "/text2audio?tex=...&tok=...&cuid=...&ctp=1&lan=zh&vol=5&per=...", every
// byte of the sentence's UTF-8 form percent-encoded.
std::string synthesisAddress(const std::string& sentence, const std::string& token, const std::string& cuid,
                             int per);

// A synthesis answer is audio when "audio/mp3" appears anywhere in its headers.
bool isAudioAnswer(const std::string& responseHeaders);

// directory (ending in a separator) + "baidu_yuyin_" + digits + ".mp3".
std::string audioFilePath(const std::string& directory, const std::string& digits);

// The user's temporary directory, always ending in a path separator.
std::string tempDirectory();

// Creates or truncates the file for exclusive writing and writes all of `bytes`; false on failure.
bool writeWholeFile(const std::string& path, const text::Bytes& bytes);

}  // namespace voice
