// Natively there is no Media Control Interface and no sound: the player keeps only which file it has
// open, on the window thread like the real one.
#include "ui/window_layer.h"
#include "voice/media_player.h"

namespace player {

namespace {
std::string openFile;
}

void close() { openFile.clear(); }

bool open(const std::string& path) {
  close();
  openFile = path;
  return true;
}

bool play(int) { return !openFile.empty(); }

void openAndPlay(const std::string& path) {
  ui::runOnWindowThread([&] {
    open(path);
    play(-1);
  });
}

}  // namespace player
