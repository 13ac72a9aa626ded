#include "common/config.h"

#include "common/address.h"

#include <toml++/toml.h>

#include <map>

namespace hub {
namespace {

std::string where(const std::filesystem::path& file, const toml::source_region& at) {
  return file.string() + ":" + std::to_string(at.begin.line);
}

// One key of the file as it is read: its value, checked, or the operator's mistake with its line.
struct Entry {
  const std::filesystem::path& file;
  const toml::node& node;
  std::string_view key;

  Refused wrong(const std::string& reason) const { return Refused(2, where(file, node.source()) + ": " + reason); }

  template <typename T>
  T value(const toml::node& of) const {
    if (auto v = of.value<T>()) return *v;
    throw Refused(2, where(file, of.source()) + ": " + std::string(key) + " has the wrong kind of value");
  }
  template <typename T>
  T value() const {
    return value<T>(node);
  }
  std::string text() const { return value<std::string>(); }

  template <typename T>
  T inRange(T low, T high) const {
    const T v = value<T>();
    if (v < low || v > high)
      throw wrong(std::string(key) + " must be from " + std::to_string(low) + " to " + std::to_string(high));
    return v;
  }

  std::vector<std::string> texts() const {
    const toml::array* array = node.as_array();
    if (!array) throw wrong(std::string(key) + " must be a list of texts");
    std::vector<std::string> out;
    for (const toml::node& item : *array) out.push_back(value<std::string>(item));
    return out;
  }
};

using Keys = std::map<std::string_view, void (*)(Config&, const Entry&)>;

// Where the hub listens and keeps its store, and what it tells everyone.
void addGeneralKeys(Keys& keys) {
  keys.insert({
      {"listen", [](Config& c, const Entry& e) { c.listen = e.text(); }},
      {"tls_listen", [](Config& c, const Entry& e) { c.tlsListen = e.text(); }},
      {"tls_certificate", [](Config& c, const Entry& e) { c.tlsCertificate = e.text(); }},
      {"tls_key", [](Config& c, const Entry& e) { c.tlsKey = e.text(); }},
      {"data", [](Config& c, const Entry& e) { c.data = e.text(); }},
      {"database", [](Config& c, const Entry& e) { c.database = e.text(); }},
      {"timezone", [](Config& c, const Entry& e) { c.timezone = e.text(); }},
      {"public_url", [](Config& c, const Entry& e) { c.publicUrl = e.text(); }},
      {"log_level", [](Config& c, const Entry& e) { c.logLevel = e.text(); }},
      {"registration",
       [](Config& c, const Entry& e) {
         const std::string v = e.text();
         if (v != "open" && v != "closed") throw e.wrong("registration is \"open\" or \"closed\"");
         c.registrationOpen = v == "open";
       }},
      {"offline_after", [](Config& c, const Entry& e) { c.offlineAfter = e.inRange<int>(1, 86400); }},
      {"rules_file", [](Config& c, const Entry& e) { c.rulesFile = e.text(); }},
  });
}

// The limits, and the bounds on what clients can make the hub do and keep.
void addLimitKeys(Keys& keys) {
  keys.insert({
      {"max_message_bytes",
       [](Config& c, const Entry& e) { c.maxMessageBytes = e.inRange<std::int64_t>(1024, 16 << 20); }},
      {"max_body_bytes",
       [](Config& c, const Entry& e) { c.maxBodyBytes = e.inRange<std::int64_t>(1024, 16 << 20); }},
      {"ping_interval", [](Config& c, const Entry& e) { c.pingInterval = e.inRange<int>(1, 3600); }},
      {"rate_per_second", [](Config& c, const Entry& e) { c.ratePerSecond = e.inRange<double>(0.01, 1e6); }},
      {"rate_burst", [](Config& c, const Entry& e) { c.rateBurst = e.inRange<int>(1, 1000000); }},
      {"login_failures", [](Config& c, const Entry& e) { c.loginFailures = e.inRange<int>(1, 1000); }},
      {"login_window", [](Config& c, const Entry& e) { c.loginWindow = e.inRange<int>(1, 86400); }},
      {"dedupe_window", [](Config& c, const Entry& e) { c.dedupeWindow = e.inRange<int>(0, 3600); }},
      {"hash_threads", [](Config& c, const Entry& e) { c.hashThreads = e.inRange<int>(1, 64); }},
      {"login_known_days", [](Config& c, const Entry& e) { c.loginKnownDays = e.inRange<int>(1, 365); }},
      {"login_queue", [](Config& c, const Entry& e) { c.loginQueue = e.inRange<int>(8, 100000); }},
      {"store_queue", [](Config& c, const Entry& e) { c.storeQueue = e.inRange<int>(64, 10000000); }},
      {"history_bills", [](Config& c, const Entry& e) { c.historyBills = e.inRange<int>(100, 100000); }},
  });
}

// The speech service the counters ask for their announcements.
void addSpeechKeys(Keys& keys) {
  keys.insert({
      {"speech_engine",
       [](Config& c, const Entry& e) {
         c.speechEngine = e.text();
         if (c.speechEngine != "baidu" && c.speechEngine != "command" && c.speechEngine != "off")
           throw e.wrong("speech_engine is \"baidu\", \"command\" or \"off\"");
       }},
      {"speech_client_id", [](Config& c, const Entry& e) { c.speechClientId = e.text(); }},
      {"speech_client_secret", [](Config& c, const Entry& e) { c.speechClientSecret = e.text(); }},
      {"baidu_api_key", [](Config& c, const Entry& e) { c.baiduApiKey = e.text(); }},
      {"baidu_secret_key", [](Config& c, const Entry& e) { c.baiduSecretKey = e.text(); }},
      {"baidu_token_url", [](Config& c, const Entry& e) { c.baiduTokenUrl = e.text(); }},
      {"baidu_tts_url", [](Config& c, const Entry& e) { c.baiduTtsUrl = e.text(); }},
      {"speech_ca_file", [](Config& c, const Entry& e) { c.speechCaFile = e.text(); }},
      {"speech_command", [](Config& c, const Entry& e) { c.speechCommand = e.text(); }},
      {"speech_command_seconds",
       [](Config& c, const Entry& e) { c.speechCommandSeconds = e.inRange<int>(1, 600); }},
      {"speech_cache_mb", [](Config& c, const Entry& e) { c.speechCacheMb = e.inRange<int>(0, 1 << 20); }},
      {"speech_rate_per_second",
       [](Config& c, const Entry& e) { c.speechRatePerSecond = e.inRange<double>(0.01, 1e6); }},
      {"speech_rate_burst", [](Config& c, const Entry& e) { c.speechRateBurst = e.inRange<int>(1, 1000000); }},
  });
}

// The network edge on the open internet.
void addEdgeKeys(Keys& keys) {
  keys.insert({
      {"trusted_proxies",
       [](Config& c, const Entry& e) {
         c.trustedProxies = e.texts();
         for (const auto& proxy : c.trustedProxies)
           if (!address::parseBlock(proxy))
             throw e.wrong("trusted_proxies: \"" + proxy + "\" is no address or CIDR block");
       }},
      {"allowed_origins", [](Config& c, const Entry& e) { c.allowedOrigins = e.texts(); }},
      {"metrics_listen", [](Config& c, const Entry& e) { c.metricsListen = e.text(); }},
      {"max_connections", [](Config& c, const Entry& e) { c.maxConnections = e.inRange<int>(1, 10000000); }},
      {"max_connections_per_address",
       [](Config& c, const Entry& e) { c.maxConnectionsPerAddress = e.inRange<int>(1, 10000000); }},
      {"login_deadline", [](Config& c, const Entry& e) { c.loginDeadline = e.inRange<int>(1, 3600); }},
  });
}

const Keys& knownKeys() {
  static const Keys keys = [] {
    Keys all;
    addGeneralKeys(all);
    addLimitKeys(all);
    addSpeechKeys(all);
    addEdgeKeys(all);
    return all;
  }();
  return keys;
}

}  // namespace

Config readConfig(const std::filesystem::path& file) {
  toml::table table;
  try {
    table = toml::parse_file(file.string());
  } catch (const toml::parse_error& e) {
    throw Refused(2, where(file, e.source()) + ": " + std::string(e.description()));
  }
  Config c;
  for (const auto& [key, node] : table) {
    const auto setter = knownKeys().find(key.str());
    if (setter == knownKeys().end())
      throw Refused(2, where(file, node.source()) + ": unknown key " + std::string(key.str()));
    setter->second(c, Entry{file, node, key.str()});
  }
  return c;
}

clock::Zone zoneOf(const Config& config) {
  const auto zone = clock::zoneNamed(config.timezone);
  if (!zone) throw Refused(2, "unknown time zone " + config.timezone);
  return *zone;
}

}  // namespace hub
