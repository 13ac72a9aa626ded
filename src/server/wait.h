// Waiting without freezing the windows: the calling thread goes on processing its window messages. On
// Windows it lives with the window layer's message pump (app/wait_win32.cpp); natively it is a sleep.
#pragma once

namespace server {

// Waits `milliseconds` while the calling thread's pending window messages are processed. A WM_QUIT
// met while waiting is posted again afterwards, so the message loop still sees it.
void waitPumping(int milliseconds);

}  // namespace server
