// The media player over the Media Control Interface: an MPEGvideo device opened under an alias of its
// own, a GUID's 32 hex digits, so that no other MCI user in the process can collide with it.
#include <windows.h>
#include <mmsystem.h>
#include <objbase.h>

#include <cstdio>

#include "ui/window_layer.h"
#include "voice/media_player.h"

namespace player {

namespace {

const std::string& alias() {
  static const std::string name = [] {
    GUID g = {};
    CoCreateGuid(&g);
    char text[33];
    std::snprintf(text, sizeof text, "%08lX%04X%04X%02X%02X%02X%02X%02X%02X%02X%02X",
                  static_cast<unsigned long>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2],
                  g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return std::string(text);
  }();
  return name;
}

}  // namespace

void close() { mciSendStringA(("close " + alias()).c_str(), nullptr, 0, nullptr); }

bool open(const std::string& path) {
  close();
  MCI_OPEN_PARMSA parms = {};
  parms.lpstrDeviceType = "MPEGvideo";  // what the player makes of ".mp3"
  parms.lpstrElementName = path.c_str();
  parms.lpstrAlias = alias().c_str();
  return mciSendCommandA(0, MCI_OPEN, MCI_OPEN_ELEMENT | MCI_OPEN_TYPE | MCI_OPEN_ALIAS,
                         reinterpret_cast<DWORD_PTR>(&parms)) == 0;
}

bool play(int position) {
  // Without "wait" the command returns as soon as the sound has started.
  const std::string command =
      position == -1 ? "play " + alias() : "play " + alias() + " from " + std::to_string(position);
  return mciSendStringA(command.c_str(), nullptr, 0, nullptr) == 0;
}

void openAndPlay(const std::string& path) {
  ui::runOnWindowThread([&] {
    open(path);
    play(-1);
  });
}

}  // namespace player
