// The settings the main window's controls hold: read into them at start, and each written back by its
// control's handler.
#include <cstdlib>

#include "app/settings.h"
#include "common/msgbox.h"
#include "common/pz_ini.h"
#include "ui/controls.h"
#include "ui/window_layer.h"

namespace settings {
namespace {

using ui::Window;

constexpr const char* kDefaultClosingPhrase = "感谢您的惠顾、欢迎再次光临！";
constexpr const char* kAutostartRefused =
    "开机自启设置失败：Windows 没有记下 Kassaro 的开机启动项，可能被安全软件拦截了。\n"
    "请在安全软件中允许 Kassaro 开机启动，再勾选“开机自启”。";

}  // namespace

void loadSettings() {
  using namespace controls;
  ui::setChecked(Window::Main, kAutostartBox, readSetting(pz::kSettingsSection, pz::kAutostartKey, "0") == "1");
  const bool remembered = readSetting(pz::kLoginSection, pz::kRememberKey, "0") == "1";
  if (remembered) {
    ui::setText(Window::Main, kLoginAccountBox, readSetting(pz::kLoginSection, pz::kAccountKey, ""));
    ui::setText(Window::Main, kLoginPasswordBox, readSetting(pz::kLoginSection, pz::kPasswordKey, ""));
  }
  ui::setCurrentIndex(Window::Main, kVoiceBox, std::atoi(readSetting(pz::kSettingsSection, pz::kVoiceKey, "").c_str()));
  ui::setText(Window::Main, kClosingPhraseBox,
              readSetting(pz::kSpeechSection, pz::kClosingPhraseKey, kDefaultClosingPhrase));
  ui::setChecked(Window::Main, kRememberBox, remembered);
}

void saveAutostart() {
  bool on = ui::isChecked(Window::Main, controls::kAutostartBox);
  if (!setAutostartEntry(on) && on) {
    // Ticked, the box would say the program starts with Windows while nothing will start it.
    ui::setChecked(Window::Main, controls::kAutostartBox, false);
    on = false;
    msgbox::show(kAutostartRefused);
  }
  writeSetting(pz::kSettingsSection, pz::kAutostartKey, on ? "1" : "0");
}

void saveClosingPhrase() {
  writeSetting(pz::kSpeechSection, pz::kClosingPhraseKey, ui::text(Window::Main, controls::kClosingPhraseBox));
}

void saveVoice() {
  writeSetting(pz::kSettingsSection, pz::kVoiceKey, std::to_string(ui::currentIndex(Window::Main, controls::kVoiceBox)));
}

}  // namespace settings
