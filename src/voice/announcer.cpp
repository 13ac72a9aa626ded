#include "voice/announcer.h"

#include <atomic>

#include "ui/controls.h"
#include "ui/window_layer.h"
#include "voice/speech.h"

namespace voice {

namespace {

constexpr ui::Window kMain = ui::Window::Main;

// Set once on the window thread during creation, read afterwards by the test on the same thread.
std::string startupClosingPhrase;

// The synchronous request of a test announcement pumps window messages, so a second click on "试听"
// can arrive inside the first one; it is dropped rather than stacked on top.
std::atomic<bool> testSpeaking{false};

}  // namespace

std::string paymentSentence(const std::string& channel, const std::string& amount, const std::string& closing) {
  return channel + amount + "元！" + closing;
}

std::string testSentence(const std::string& closing) { return "微信收款100.00元！" + closing; }

void announcePayment(const std::string& channel, const std::string& amount) {
  // No amount is this long: one that is would only travel to the speech service as copies many times
  // its size (the sentence, its UTF-8 form, the percent-encoded address).
  if (amount.size() > kLongestSpokenAmount) return;
  if (!ui::isChecked(kMain, controls::kAnnounceBox) || serviceResting()) return;
  const std::string sentence = paymentSentence(channel, amount, ui::text(kMain, controls::kClosingPhraseBox));
  speak(sentence, ui::currentIndex(kMain, controls::kVoiceBox));
}

void announceTest() {
  if (testSpeaking.exchange(true)) return;
  speak(testSentence(startupClosingPhrase), ui::currentIndex(kMain, controls::kVoiceBox));
  testSpeaking = false;
}

void captureStartupClosingPhrase() { startupClosingPhrase = ui::text(kMain, controls::kClosingPhraseBox); }

}  // namespace voice
