#include "clean_stop.h"

#include <memory>

#include "common/clock.h"
#include "common/log.h"

namespace hub {
namespace {

// How long a clean end waits for requests in flight before it stops anyway.
constexpr clock::Millis kStopGrace = 10'000;

}  // namespace

void stopCleanlyOnSignal(net::Server& server, std::function<void()> farewell,
                         std::function<std::size_t()> requestsInFlight) {
  auto stopping = std::make_shared<clock::Millis>(0);
  server.onStopSignal([&server, stopping, farewell = std::move(farewell)] {
    log::info("stopping");
    *stopping = clock::now();
    server.stopAccepting();
    farewell();
  });
  server.every(std::chrono::milliseconds(50), [&server, stopping, requestsInFlight = std::move(requestsInFlight)] {
    if (*stopping == 0) return;
    if ((requestsInFlight() == 0 && server.openConnections() == 0) || clock::now() - *stopping > kStopGrace)
      server.stop();
  });
}

}  // namespace hub
