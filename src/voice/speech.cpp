#include "voice/speech.h"

#include <atomic>
#include <chrono>

#include "voice/media_player.h"
#include "web/codecs.h"
#include "web/http_request.h"

namespace voice {

namespace {

using Clock = std::chrono::steady_clock;

// When the last exchange that got no answer ended, in ticks of the clock; kNever before the first.
constexpr Clock::rep kNever = 0;
std::atomic<Clock::rep> lastUnanswered{kNever};

// The exchange got no answer at all (refused, unreachable, closed, past its deadline): an answer of any
// kind, an error too, carries a status.
bool noAnswer(const web::RequestOptions& exchange) { return exchange.statusCode == 0; }

void rememberNoAnswer() { lastUnanswered = Clock::now().time_since_epoch().count(); }

}  // namespace

bool serviceResting() {
  const Clock::rep last = lastUnanswered;
  return last != kNever && Clock::now() - Clock::time_point(Clock::duration(last)) < std::chrono::seconds(kRestSeconds);
}

int perOfVoice(int voiceIndex) {
  switch (voiceIndex) {
    case 0: return 0;
    case 1: return 1;
    case 2: return 3;
    case 3: return 4;
    default: return voiceIndex;
  }
}

std::string tokenAddressAt(const std::string& host) {
  // A host written with its scheme is asked as written: "http://HUB:9002" is a hub inside the shop's own
  // network, which has no certificate (and whose link is in clear anyway). A bare host is asked over https.
  return (text::find(host, "://") == -1 ? "https://" + host : host) +
         "/oauth/2.0/token?grant_type=client_credentials&client_id=" + KASSARO_SPEECH_API_KEY +
         "&client_secret=" + KASSARO_SPEECH_SECRET;
}

std::string tokenAddress() { return tokenAddressAt(KASSARO_TOKEN_HOST); }

std::string tokenOf(const text::Bytes& answer) {
  return web::textBetween(codecs::utf8ToGbk(answer), "access_token\":\"", "\"");
}

std::string synthesisAddress(const std::string& sentence, const std::string& token, const std::string& cuid,
                             int per) {
  // The token goes into the address as the service wrote it, except that a byte which would end or
  // break the address ("&", "#", a space, a line break) is percent-encoded; tokens the service issues
  // are letters, digits, "." and "-", which pass unchanged.
  return std::string("http://") + KASSARO_SPEECH_HOST + "/text2audio?tex=" + codecs::urlEncode(sentence, false, true) +
         "&tok=" + codecs::urlEncode(token, true) + "&cuid=" + cuid + "&ctp=1&lan=zh&vol=5&per=" +
         std::to_string(per);
}

bool isAudioAnswer(const std::string& responseHeaders) { return text::find(responseHeaders, "audio/mp3") != -1; }

std::string audioFilePath(const std::string& directory, const std::string& digits) {
  return directory + "baidu_yuyin_" + digits + ".mp3";
}

void speak(const std::string& sentence, int voiceIndex) {
  const int per = perOfVoice(voiceIndex);

  web::RequestOptions tokenRequest;
  tokenRequest.url = tokenAddress();
  const std::string token = tokenOf(web::sendRequest(tokenRequest));
  // A service that does not answer would only keep the synthesis request waiting as long again.
  if (noAnswer(tokenRequest)) return rememberNoAnswer();

  // Without a token the request still goes: the service's answer decides, and it is not audio.
  web::RequestOptions audioRequest;
  audioRequest.url = synthesisAddress(sentence, token, codecs::randomText(10), per);
  const text::Bytes audio = web::sendRequest(audioRequest);
  if (noAnswer(audioRequest)) return rememberNoAnswer();
  if (!isAudioAnswer(audioRequest.returnedHeaders)) return;

  const std::string path = audioFilePath(tempDirectory(), codecs::randomText(8));
  // A file that could not be written is still handed to the player, whose open then fails quietly.
  writeWholeFile(path, audio);
  player::openAndPlay(path);
}

}  // namespace voice
