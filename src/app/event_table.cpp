#include "app/event_table.h"

#include "app/settings.h"
#include "server/account.h"
#include "ui/controls.h"
#include "voice/announcer.h"

namespace app {
namespace {

using namespace controls;
using ui::Event;
using ui::Window;

constexpr EventBinding kEvents[] = {
    // The login panel and the registration window.
    {Window::Main, kLoginButton, Event::Clicked, account::submitLogin},
    {Window::Main, kRegisterLink, Event::MouseDown, account::openRegistration},
    {Window::Registration, kRegisterButton, Event::Clicked, account::submitRegistration},
    // "软件管理": each setting written as it changes, and the voice tried.
    {Window::Main, kAutostartBox, Event::Clicked, settings::saveAutostart},
    {Window::Main, kClosingPhraseBox, Event::Changed, settings::saveClosingPhrase},
    {Window::Main, kVoiceBox, Event::Selected, settings::saveVoice},
    {Window::Main, kTestButton, Event::Clicked, voice::announceTest},
};

}  // namespace

std::span<const EventBinding> eventTable() { return kEvents; }

void bindEvents() {
  for (const EventBinding& b : kEvents) ui::bind(b.window, b.control, b.event, b.handler);
}

}  // namespace app
