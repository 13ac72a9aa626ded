#include "ops.h"

#include <boost/json.hpp>

#include "common/clock.h"

namespace hub {
namespace {

net::HttpResponse failure(int status, std::string_view error) {
  return net::jsonResponse(status, boost::json::serialize(boost::json::object{{"ok", false}, {"error", error}}));
}

}  // namespace

void OpsRoutes::handle(const net::HttpRequest& request, net::Reply reply) {
  ++metrics_.httpRequests;
  if (!owns(request.path)) return reply(failure(404, "not found"));
  if (request.method != "GET") {
    net::HttpResponse r = failure(405, "method not allowed");
    r.headers.emplace_back("Allow", "GET");
    return reply(std::move(r));
  }
  if (request.path == "/healthz") {
    const std::string trouble = watch_.trouble(clock::now());
    return reply(trouble.empty() ? net::jsonResponse(200, R"({"ok":true})") : failure(503, trouble));
  }
  // Every account's volume: the operator's alone.
  if (!request.fromOperator) return reply(failure(404, "not found"));
  net::HttpResponse page;
  page.body = metrics::render(metrics_);
  page.contentType = "text/plain; version=0.0.4";
  reply(std::move(page));
}

}  // namespace hub
