// Opening a web address with the user's default browser, for the download page of a new version.
#pragma once
#include <string>
#include <string_view>
#include <vector>

namespace server {

// True only for a plain web address: it starts with "http://" or "https://" exactly as written here,
// something follows the scheme, and it holds no blank (ASCII or full-width), no quote, no control
// character and is not absurdly long. Server text of any other form must never reach the shell, which
// would open files and start programs as readily as web pages.
bool isOpenableAddress(std::string_view address);

// Hands the address to the platform's default handler and returns at once; false when that failed.
bool openWebAddress(const std::string& address);

// Native builds only: the addresses the stand-in was asked to open, oldest first.
std::vector<std::string> openedWebAddresses();
void clearOpenedWebAddresses();

}  // namespace server
