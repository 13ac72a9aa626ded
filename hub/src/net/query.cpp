// What the edge gives every part without Beast: a query's parameters, as the page, the speech service
// and the phones' forwarders read them, and the hub's JSON refusal.
#include <boost/json.hpp>

#include "common/text.h"
#include "net/edge.h"

namespace hub::net {

HttpResponse jsonFailure(int status, std::string_view error) {
  return jsonResponse(status, boost::json::serialize(boost::json::object{{"ok", false}, {"error", error}}));
}

std::string queryParameter(std::string_view query, std::string_view name) {
  while (!query.empty()) {
    const auto amp = query.find('&');
    const std::string_view pair = query.substr(0, amp);
    const auto eq = pair.find('=');
    if (text::formDecode(pair.substr(0, eq)) == name)
      return eq == std::string_view::npos ? "" : text::formDecode(pair.substr(eq + 1));
    if (amp == std::string_view::npos) break;
    query.remove_prefix(amp + 1);
  }
  return {};
}

}  // namespace hub::net
