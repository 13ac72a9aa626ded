#include "common/config.h"

#include "common/address.h"

#include <toml++/toml.h>

#include <functional>
#include <map>

namespace hub {
namespace {

std::string where(const std::filesystem::path& file, const toml::source_region& at) {
  return file.string() + ":" + std::to_string(at.begin.line);
}

template <typename T>
T valueOf(const std::filesystem::path& file, const toml::node& node, std::string_view key) {
  if (auto v = node.value<T>()) return *v;
  throw ConfigError(where(file, node.source()) + ": " + std::string(key) + " has the wrong kind of value");
}

template <typename T>
T inRange(const std::filesystem::path& file, const toml::node& node, std::string_view key, T low, T high) {
  const T v = valueOf<T>(file, node, key);
  if (v < low || v > high)
    throw ConfigError(where(file, node.source()) + ": " + std::string(key) + " must be from " +
                      std::to_string(low) + " to " + std::to_string(high));
  return v;
}

std::vector<std::string> texts(const std::filesystem::path& file, const toml::node& node, std::string_view key) {
  const toml::array* array = node.as_array();
  if (!array) throw ConfigError(where(file, node.source()) + ": " + std::string(key) + " must be a list of texts");
  std::vector<std::string> out;
  for (const toml::node& item : *array) out.push_back(valueOf<std::string>(file, item, key));
  return out;
}

}  // namespace

Config readConfig(const std::filesystem::path& file) {
  toml::table table;
  try {
    table = toml::parse_file(file.string());
  } catch (const toml::parse_error& e) {
    throw ConfigError(where(file, e.source()) + ": " + std::string(e.description()));
  }
  Config c;
  using Setter = std::function<void(const toml::node&, std::string_view)>;
  const std::map<std::string_view, Setter> keys = {
      {"listen", [&](auto& n, auto k) { c.listen = valueOf<std::string>(file, n, k); }},
      {"tls_listen", [&](auto& n, auto k) { c.tlsListen = valueOf<std::string>(file, n, k); }},
      {"tls_certificate", [&](auto& n, auto k) { c.tlsCertificate = valueOf<std::string>(file, n, k); }},
      {"tls_key", [&](auto& n, auto k) { c.tlsKey = valueOf<std::string>(file, n, k); }},
      {"data", [&](auto& n, auto k) { c.data = valueOf<std::string>(file, n, k); }},
      {"database", [&](auto& n, auto k) { c.database = valueOf<std::string>(file, n, k); }},
      {"timezone", [&](auto& n, auto k) { c.timezone = valueOf<std::string>(file, n, k); }},
      {"public_url", [&](auto& n, auto k) { c.publicUrl = valueOf<std::string>(file, n, k); }},
      {"log_level", [&](auto& n, auto k) { c.logLevel = valueOf<std::string>(file, n, k); }},
      {"registration",
       [&](auto& n, auto k) {
         const std::string v = valueOf<std::string>(file, n, k);
         if (v != "open" && v != "closed")
           throw ConfigError(where(file, n.source()) + ": registration is \"open\" or \"closed\"");
         c.registrationOpen = v == "open";
       }},
      {"offline_after", [&](auto& n, auto k) { c.offlineAfter = inRange<int>(file, n, k, 1, 86400); }},
      {"max_message_bytes",
       [&](auto& n, auto k) { c.maxMessageBytes = inRange<std::int64_t>(file, n, k, 1024, 16 << 20); }},
      {"max_body_bytes",
       [&](auto& n, auto k) { c.maxBodyBytes = inRange<std::int64_t>(file, n, k, 1024, 16 << 20); }},
      {"ping_interval", [&](auto& n, auto k) { c.pingInterval = inRange<int>(file, n, k, 1, 3600); }},
      {"rate_per_second", [&](auto& n, auto k) { c.ratePerSecond = inRange<double>(file, n, k, 0.01, 1e6); }},
      {"rate_burst", [&](auto& n, auto k) { c.rateBurst = inRange<int>(file, n, k, 1, 1000000); }},
      {"login_failures", [&](auto& n, auto k) { c.loginFailures = inRange<int>(file, n, k, 1, 1000); }},
      {"login_window", [&](auto& n, auto k) { c.loginWindow = inRange<int>(file, n, k, 1, 86400); }},
      {"dedupe_window", [&](auto& n, auto k) { c.dedupeWindow = inRange<int>(file, n, k, 0, 3600); }},
      {"hash_threads", [&](auto& n, auto k) { c.hashThreads = inRange<int>(file, n, k, 1, 64); }},
      // Bounds on what clients can make the hub do and keep.
      {"login_known_days", [&](auto& n, auto k) { c.loginKnownDays = inRange<int>(file, n, k, 1, 365); }},
      {"login_queue", [&](auto& n, auto k) { c.loginQueue = inRange<int>(file, n, k, 8, 100000); }},
      {"store_queue", [&](auto& n, auto k) { c.storeQueue = inRange<int>(file, n, k, 64, 10000000); }},
      {"history_bills", [&](auto& n, auto k) { c.historyBills = inRange<int>(file, n, k, 100, 100000); }},
      {"rules_file", [&](auto& n, auto k) { c.rulesFile = valueOf<std::string>(file, n, k); }},
      {"speech_engine",
       [&](auto& n, auto k) {
         c.speechEngine = valueOf<std::string>(file, n, k);
         if (c.speechEngine != "baidu" && c.speechEngine != "command" && c.speechEngine != "off")
           throw ConfigError(where(file, n.source()) + ": speech_engine is \"baidu\", \"command\" or \"off\"");
       }},
      {"speech_client_id", [&](auto& n, auto k) { c.speechClientId = valueOf<std::string>(file, n, k); }},
      {"speech_client_secret", [&](auto& n, auto k) { c.speechClientSecret = valueOf<std::string>(file, n, k); }},
      {"baidu_api_key", [&](auto& n, auto k) { c.baiduApiKey = valueOf<std::string>(file, n, k); }},
      {"baidu_secret_key", [&](auto& n, auto k) { c.baiduSecretKey = valueOf<std::string>(file, n, k); }},
      {"baidu_token_url", [&](auto& n, auto k) { c.baiduTokenUrl = valueOf<std::string>(file, n, k); }},
      {"baidu_tts_url", [&](auto& n, auto k) { c.baiduTtsUrl = valueOf<std::string>(file, n, k); }},
      {"speech_ca_file", [&](auto& n, auto k) { c.speechCaFile = valueOf<std::string>(file, n, k); }},
      {"speech_command", [&](auto& n, auto k) { c.speechCommand = valueOf<std::string>(file, n, k); }},
      {"speech_command_seconds",
       [&](auto& n, auto k) { c.speechCommandSeconds = inRange<int>(file, n, k, 1, 600); }},
      {"speech_cache_mb", [&](auto& n, auto k) { c.speechCacheMb = inRange<int>(file, n, k, 0, 1 << 20); }},
      {"speech_rate_per_second",
       [&](auto& n, auto k) { c.speechRatePerSecond = inRange<double>(file, n, k, 0.01, 1e6); }},
      {"speech_rate_burst", [&](auto& n, auto k) { c.speechRateBurst = inRange<int>(file, n, k, 1, 1000000); }},

      {"trusted_proxies",
       [&](auto& n, auto k) {
         c.trustedProxies = texts(file, n, k);
         for (const auto& proxy : c.trustedProxies)
           if (!address::parseBlock(proxy))
             throw ConfigError(where(file, n.source()) + ": trusted_proxies: \"" + proxy +
                               "\" is no address or CIDR block");
       }},
      {"allowed_origins", [&](auto& n, auto k) { c.allowedOrigins = texts(file, n, k); }},
      {"metrics_listen", [&](auto& n, auto k) { c.metricsListen = valueOf<std::string>(file, n, k); }},
      {"max_connections", [&](auto& n, auto k) { c.maxConnections = inRange<int>(file, n, k, 1, 10000000); }},
      {"max_connections_per_address",
       [&](auto& n, auto k) { c.maxConnectionsPerAddress = inRange<int>(file, n, k, 1, 10000000); }},
      {"login_deadline", [&](auto& n, auto k) { c.loginDeadline = inRange<int>(file, n, k, 1, 3600); }},
  };
  for (const auto& [key, node] : table) {
    const auto setter = keys.find(key.str());
    if (setter == keys.end())
      throw ConfigError(where(file, node.source()) + ": unknown key " + std::string(key.str()));
    setter->second(node, key.str());
  }
  return c;
}

}  // namespace hub
