#include "clean_stop.h"

#include <memory>

#include "common/clock.h"
#include "common/log.h"

namespace hub {
namespace {

// How long a clean end waits for requests in flight before it stops anyway.
constexpr clock::Millis kStopGrace = 10'000;

}  // namespace

void stopCleanlyOnSignal(net::Loop& loop, net::Server& server, std::function<void()> farewell,
                         std::function<std::size_t()> requestsInFlight) {
  auto stopping = std::make_shared<clock::Millis>(0);
  loop.onStopSignal([&server, stopping, farewell = std::move(farewell)] {
    log::info("stopping");
    *stopping = clock::now();
    server.stopAccepting();
    farewell();
  });
  loop.every(std::chrono::milliseconds(50), [&loop, &server, stopping, requestsInFlight = std::move(requestsInFlight)] {
    if (*stopping == 0) return;
    if ((requestsInFlight() == 0 && server.openConnections() == 0) || clock::now() - *stopping > kStopGrace)
      loop.stop();
  });
}

}  // namespace hub
