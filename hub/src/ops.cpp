#include "ops.h"

#include "common/clock.h"

namespace hub {

void OpsRoutes::handle(const net::HttpRequest& request, net::Reply reply) {
  ++metrics_.httpRequests;
  if (!owns(request.path)) return reply(net::notFound());
  if (request.method != "GET") {
    net::HttpResponse r = net::jsonFailure(405, "method not allowed");
    r.headers.emplace_back("Allow", "GET");
    return reply(std::move(r));
  }
  if (request.path == "/healthz") {
    const std::string trouble = watch_.trouble(clock::now());
    return reply(trouble.empty() ? net::jsonResponse(200, R"({"ok":true})") : net::jsonFailure(503, trouble));
  }
  // Every account's volume: the operator's alone.
  if (!request.fromOperator) return reply(net::notFound());
  net::HttpResponse page;
  page.body = metrics::render(metrics_);
  page.contentType = "text/plain; version=0.0.4";
  reply(std::move(page));
}

}  // namespace hub
