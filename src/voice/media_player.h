// The hidden media player of the main window (媒体播放1): at most one open file, played in the
// background. Open closes the previous file, stopping its sound; play returns at once.
#pragma once
#include <string>

namespace player {

// Opens `path` and plays it from the start, both in one call on the window thread, so that two
// announcements from two threads never interleave their open and play on the one player.
void openAndPlay(const std::string& path);

// The two operations; window thread only (openAndPlay takes care of that).
bool open(const std::string& path);
// -1 plays from the current position (the start after an open); otherwise from `position` ms.
bool play(int position = -1);

// Closes the open file, if any, stopping its sound.
void close();

}  // namespace player
