#pragma once
// The hub's configuration: a TOML file with its keys at the top level, then the command line over it.
#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

#include "common/clock.h"
#include "common/failure.h"

namespace hub {

struct Config {
  std::string listen = "0.0.0.0:9002";
  // https:// and wss:// as well, on an address of their own ("0.0.0.0:9443"); empty: none. The PEM files
  // are read again on SIGHUP.
  std::string tlsListen;
  std::filesystem::path tlsCertificate;
  std::filesystem::path tlsKey;
  std::filesystem::path data = "/var/lib/kassaro-hub";
  std::string database;  // "postgresql://..." for a PostgreSQL server; empty: SQLite in the data directory
  std::string timezone = "Asia/Shanghai";  // the shops' day and the counters' time texts
  std::string publicUrl;                   // how phones reach the hub; empty: http://<this host>:<port>
  std::string logLevel = "info";
  bool registrationOpen = false;  // registration = "open" | "closed"
  int offlineAfter = 180;        // seconds without a phone report before the counters hear "APP掉线"

  // Limits.
  std::size_t maxMessageBytes = 64 * 1024;  // a counter's text; larger closes the connection
  std::size_t maxBodyBytes = 64 * 1024;     // an HTTP request body; larger is answered 413
  int pingInterval = 30;                    // seconds of silence before a counter is pinged
  double ratePerSecond = 20;                // phone requests per account key
  int rateBurst = 100;
  int loginFailures = 5;  // failed logins for an account or from an address ...
  int loginWindow = 300;  // ... within this many seconds stop being checked
  int dedupeWindow = 10;  // seconds within which the same notification posted again is one bill
  int hashThreads = 2;    // password hashing, off the event loop

  // Bounds on what clients can make the hub do and keep.
  int loginKnownDays = 30;          // a successful login makes its address and machine known this long
  int loginQueue = 64;              // password checks waiting, in all (an eighth of them per address)
  int storeQueue = 10000;           // clients' store jobs waiting (an eighth of them per address)
  int historyBills = 5000;          // the newest bills of the day a counter is sent at login
  // The operator's own recogniser rules, tried before the shipped ones; read again on SIGHUP. Empty: none.
  std::filesystem::path rulesFile;
  // The speech service the counters ask for their announcements.
  std::string speechEngine = "command";  // "baidu" | "command" | "off"
  std::string speechClientId;            // what the counters are built with; empty: no token for anyone
  std::string speechClientSecret;
  std::string baiduApiKey;  // the provider's own account, for the baidu engine
  std::string baiduSecretKey;
  std::string baiduTokenUrl = "https://aip.baidubce.com/oauth/2.0/token";
  std::string baiduTtsUrl = "https://tsn.baidu.com/text2audio";
  std::filesystem::path speechCaFile;  // roots for the engine's HTTPS; empty: the system's
  std::string speechCommand = "/usr/share/kassaro-hub/speak-espeak";  // sentence on stdin, MP3 on stdout
  int speechCommandSeconds = 10;
  int speechCacheMb = 64;
  double speechRatePerSecond = 2;  // sentences per address that has a counter logged in
  int speechRateBurst = 20;
  // The network edge on the open internet.
  // Proxies (addresses or CIDR blocks) whose X-Forwarded-For, X-Real-IP and X-Forwarded-Proto are
  // believed; from anyone else those headers are ignored.
  std::vector<std::string> trustedProxies;
  // Browser origins ("https://shop.example.cn") allowed to open the counters' WebSocket; counters send
  // no Origin, so an upgrade that carries another one is refused.
  std::vector<std::string> allowedOrigins;
  std::string metricsListen;  // an address of its own that answers /metrics; empty: loopback peers only
  int maxConnections = 50000;  // in all, kept below the descriptor limit
  int maxConnectionsPerAddress = 200;  // from one IPv4 address or IPv6 /64
  int loginDeadline = 30;  // seconds a counter connection has to log in
};

// Reads the file over the defaults. Throws Refused (status 2, the operator's to mend) "FILE:LINE: reason"
// for a file that cannot be read, is not TOML, has a key the hub does not know, or a value of the wrong
// kind or out of range.
Config readConfig(const std::filesystem::path& file);

// The time zone the configuration names; Refused (status 2) for a name the zone database does not know.
clock::Zone zoneOf(const Config& config);

}  // namespace hub
