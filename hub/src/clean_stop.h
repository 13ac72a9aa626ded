#pragma once
// A clean end on SIGTERM or SIGINT: no new connections, the clients told the hub is going away (counters
// come back, to another node behind a balancer), requests already taken answered, then out.
#include <cstddef>
#include <functional>

#include "net/edge.h"

namespace hub {

// `farewell` tells the clients; the loop stops once `requestsInFlight` and the server's open connections
// are down to none, or after a grace period whatever is left.
void stopCleanlyOnSignal(net::Loop& loop, net::Server& server, std::function<void()> farewell,
                         std::function<std::size_t()> requestsInFlight);

}  // namespace hub
