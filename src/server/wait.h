// Waiting without freezing the windows: the calling thread goes on processing its window messages.
#pragma once

namespace server {

enum class WaitUnit { Milliseconds, Seconds, Minutes, Hours };

// Waits `count` units while the calling thread's pending window messages are processed; returns 1.
// A WM_QUIT met while waiting is posted again afterwards, so the message loop still sees it.
int waitPumping(int count, WaitUnit unit = WaitUnit::Milliseconds);

// The wait in milliseconds (0 for a count below 1).
long long waitMilliseconds(int count, WaitUnit unit);

}  // namespace server
