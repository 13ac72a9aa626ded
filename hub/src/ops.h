#pragma once
// The operator's own paths beside the clients': GET /healthz for a balancer or a supervisor, answered from
// the operator watch's last poll, and GET /metrics, every account's figures, for the operator alone.
#include <string_view>

#include "common/metrics.h"
#include "net/edge.h"
#include "operator_watch.h"

namespace hub {

class OpsRoutes {
 public:
  OpsRoutes(metrics::Metrics& metrics, const OperatorWatch& watch) : metrics_(metrics), watch_(watch) {}

  static bool owns(std::string_view path) { return path == "/healthz" || path == "/metrics"; }
  void handle(const net::HttpRequest& request, net::Reply reply);

 private:
  metrics::Metrics& metrics_;
  const OperatorWatch& watch_;
};

}  // namespace hub
