#pragma once
// The engines that render a sentence as MP3: the provider's Baidu account, or a local program. A
// rendering blocks (a cloud round trip, a child process), so it runs on the speech workers, never on the
// event loop.
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

namespace hub::speech {

struct Rendering {
  bool ok = false;
  std::string audio;   // MP3, when ok
  std::string reason;  // the engine's own words for a failure, for the log and the merchant's page
};
inline Rendering failed(std::string reason) { return {false, {}, std::move(reason)}; }
inline Rendering renderedAudio(std::string audio) { return {true, std::move(audio), {}}; }

class Engine {
 public:
  virtual ~Engine() = default;
  // Names the engine and what makes its audio differ, so that the cache keeps each engine's apart.
  virtual std::string name() const = 0;
  // Called on a worker thread; several at once.
  virtual Rendering render(const std::string& text, int per) = 0;
};

struct BaiduAccount {
  std::string apiKey;
  std::string secretKey;
  std::string tokenUrl;
  std::string ttsUrl;
  std::filesystem::path caFile;  // empty: the system's roots
};

std::unique_ptr<Engine> baiduEngine(BaiduAccount account);
// `command` runs under /bin/sh with the sentence on standard input and the voice in KASSARO_VOICE.
std::unique_ptr<Engine> commandEngine(std::string command, std::chrono::seconds deadline);

}  // namespace hub::speech
