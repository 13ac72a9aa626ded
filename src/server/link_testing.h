// Test hooks of the server link: shorter waits and another server address, so that tests neither wait
// minutes nor need the built-in port. The program itself never calls these; it has no setting for them.
#pragma once
#include <string>

namespace server::testing {

struct Timing {
  int retryWaitMs = 10000;          // between the attempts of the start-up retry loop
  int reconnectWaitMs = 10000;      // before each quiet attempt after an established connection dropped
  int registrationCloseMs = 3000;   // "注册成功！" on the button, then the registration window closes
  int keepalivePingMs = 30000;      // silence before the client pings
  int keepaliveDropMs = 30000;      // further silence before the connection counts as dropped
};

// Applies to links created afterwards (the waits also to those running).
void setTiming(const Timing& timing);
Timing timing();

// The server address for links opened afterwards; empty for the built-in one.
void setEndpoint(const std::string& url);

// The result of the most recent connect attempt: 1 made, 0 failed.
int lastConnectResult();

}  // namespace server::testing
