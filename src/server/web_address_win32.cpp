// Opening a web address on Windows: the shell's default handler for the address's scheme.
#include <windows.h>
#include <objbase.h>
#include <shellapi.h>

#include "server/web_address.h"

namespace server {

bool openWebAddress(const std::string& address) {
  // The shell may hand the address to a handler that uses COM; the calling thread (often the link's
  // event thread) has no apartment of its own otherwise.
  const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
  SHELLEXECUTEINFOA info{};
  info.cbSize = sizeof info;
  info.fMask = SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
  info.lpVerb = "open";
  info.lpFile = address.c_str();
  info.nShow = SW_SHOWNORMAL;
  const bool opened = ShellExecuteExA(&info) != FALSE;
  if (com == S_OK || com == S_FALSE) CoUninitialize();
  return opened;
}

std::vector<std::string> openedWebAddresses() { return {}; }
void clearOpenedWebAddresses() {}

}  // namespace server
