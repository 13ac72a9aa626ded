// The announcer: everything the program speaks. A payment ("微信收款" + amount + "元！" + closing phrase)
// when "启用播报" is ticked, and the test sentence of the "试听" button. The settings are read from the
// main window's controls at the moment of speaking: 选择框2 (announce payments), 组合框1 (voice),
// 编辑框1 (closing phrase).
#pragma once
#include <string>

namespace voice {

// Called by the ledger for every payment of a known channel, before the payment is listed; returns once
// playback has started, the attempt was abandoned, or at once when announcing is off, the speech
// service is resting after an exchange without answer, or the amount is longer than
// kLongestSpokenAmount bytes (listed and totalled all the same, but not spoken).
void announcePayment(const std::string& channel, const std::string& amount);
inline constexpr size_t kLongestSpokenAmount = 64;

// The click handler of "试听": the fixed sentence with the closing phrase the window was created with,
// in the chosen voice, whether or not announcing is on or the service is resting. A click that arrives while an earlier test is
// still inside the speech exchange (the synchronous request pumps messages) is ignored.
void announceTest();

// Called once by the main window's creation handler, before the settings are loaded: keeps the closing
// phrase the window was created with for the test sentence.
void captureStartupClosingPhrase();

// The sentences, as spoken: channel + amount + "元！" + closing phrase, and the test sentence.
std::string paymentSentence(const std::string& channel, const std::string& amount, const std::string& closing);
std::string testSentence(const std::string& closing);

}  // namespace voice
