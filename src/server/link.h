// The server link: the one WebSocket connection to the notification server, from the first attempt at
// start-up to the release at the end, with its retries and its four event handlers.
//
// Threads: createServerLink and openServerLink run on the window thread (program entry, main window's
// creation handler); the handlers run on the client's event thread, one at a time, and may block there
// (a message box, the retry waits) without costing the connection anything.
#pragma once
#include <string>

namespace server {

// Creates the client and registers closeServerLink as an exit clean-up. The program entry calls it
// before the main window exists.
void createServerLink();

// Binds the four handlers and makes the first connection attempt, blocking. The first thing the main
// window's creation handler does; a failure is followed by the connect-failed event.
void openServerLink();

// What the four handlers do. Connected: logs in when the login boxes hold text. Message: every text
// goes to the bill history load, then to the dispatcher. Connect failed: up to 20 attempts 10 s apart;
// "服务器重连成功" when one succeeds, the failure message and the end of the program when none does; not
// started again while it runs, nor by a failure that a later connection has made stale. Disconnected
// (an established connection ended): the monitor label shows "监控状态：×" and the link reconnects
// quietly, one attempt every 10 s for as long as it takes; the connected handler then logs in again.

// Exit clean-up: releases the client without waiting for a handler that is still running.
void closeServerLink();

// Sends one message through the link's client; false when there is no connection.
bool sendToServer(const std::string& text);

// The message shown when the retries have failed: the fixed text and the support contact.
std::string connectionGivenUpMessage();

inline constexpr const char* kReconnectedMessage = "服务器重连成功";
inline constexpr const char* kMonitorOnline = "监控状态：√";
inline constexpr const char* kMonitorOffline = "监控状态：×";

}  // namespace server
