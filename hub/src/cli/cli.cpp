#include "cli/cli.h"

#include <iconv.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <CLI/CLI.hpp>

#include <iostream>
#include <optional>

#include "accounts/secrets.h"
#include "common/clock.h"
#include "common/config.h"
#include "common/log.h"
#include "common/text.h"
#include "counter/protocol.h"
#include "recognise/rules_file.h"
#include "serve.h"
#include "store/store.h"

namespace hub::cli {
namespace {

// A failure the operator must read: one line on standard error, and the exit code.
struct Failure {
  std::string message;
  int code = 1;
};

struct Options {
  std::string configFile;
  std::string data;
  std::string database;
  std::string listen;
};

Config configOf(const Options& o) {
  Config c;
  if (!o.configFile.empty()) {
    try {
      c = readConfig(o.configFile);
    } catch (const Refused& e) {
      throw Failure{e.what(), 2};
    }
  }
  if (!o.data.empty()) c.data = o.data;
  if (!o.database.empty()) c.database = o.database;
  if (!o.listen.empty()) c.listen = o.listen;
  if (const auto level = log::levelNamed(c.logLevel))
    log::setLevel(*level);
  else
    throw Failure{"log_level must be debug, info, warn or error", 2};
  return c;
}

std::unique_ptr<store::Store> openStore(const Config& c) {
  try {
    return store::openStore(c.database, c.data);
  } catch (const store::Unavailable& e) {
    throw Failure{std::string("cannot open the store: ") + e.what()};
  }
}

clock::Zone zoneOf(const Config& c) {
  const auto zone = clock::zoneNamed(c.timezone);
  if (!zone) throw Failure{"unknown time zone " + c.timezone, 2};
  return *zone;
}

store::Account accountNamed(store::Store& st, const std::string& name) {
  auto account = st.accountByName(name);
  if (!account) throw Failure{"no account " + name};
  return *account;
}

// One line from standard input; on a terminal it is asked for without echo.
std::string readPassword() {
  const bool terminal = isatty(STDIN_FILENO);
  termios saved{};
  if (terminal) {
    std::cerr << "password: " << std::flush;
    tcgetattr(STDIN_FILENO, &saved);
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
  }
  std::string line;
  const bool got = static_cast<bool>(std::getline(std::cin, line));
  if (terminal) {
    tcsetattr(STDIN_FILENO, TCSANOW, &saved);
    std::cerr << "\n";
  }
  if (!got) throw Failure{"no password on standard input", 2};
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (!counter::protocol::validCredential(line))
    throw Failure{"a password is 6 to 64 bytes without control characters", 2};
  return line;
}

// What phones are given to reach this hub: the configured public address, or this host on the listening port.
std::string publicUrl(const Config& c) {
  if (!c.publicUrl.empty()) return c.publicUrl;
  std::string host = c.listen.substr(0, c.listen.rfind(':'));
  if (host == "0.0.0.0" || host == "[::]" || host.empty()) {
    char name[256] = {};
    host = gethostname(name, sizeof name - 1) == 0 && name[0] ? name : "localhost";
  }
  return "http://" + host + c.listen.substr(c.listen.rfind(':'));
}

void printKey(const Config& c, const store::Account& account) {
  const std::string url = publicUrl(c), key = account.intakeKey;
  // The vmq monitors take "HOST/KEY" and put "http://" before it; their HTTP client reads '\' as '/'.
  std::string host = url.substr(url.find("://") + 3);
  while (host.ends_with('/')) host.pop_back();
  std::cout << "key: " << key << "\n"
            << "payments: " << url << "/api/v1/payments?key=" << key << "\n"
            << "notifications: " << url << "/api/v1/notifications?key=" << key << "\n"
            << "heartbeat: " << url << "/api/v1/heartbeat?key=" << key << "\n"
            << "smsforwarder: " << url << "/hook/smsforwarder?key=" << key << " (secret: the key)\n"
            << "receiptnotice: " << url << "/hook/receiptnotice?key=" << key << " (md5 key: the key)\n"
            << "vmq: " << host << "\\vmq\\" << account.name << "/" << key << "\n";
}

// Whether every character of the UTF-8 text has a GBK form: counters show the server information in
// GBK, where any other character would come out as "?".
bool inGbk(const std::string& text) {
  iconv_t cd = iconv_open("GBK", "UTF-8");
  if (cd == reinterpret_cast<iconv_t>(-1)) throw Failure{"this system's iconv has no GBK"};
  std::string in = text, out(text.size() * 2 + 4, '\0');
  char* from = in.data();
  char* to = out.data();
  size_t fromLeft = in.size(), toLeft = out.size();
  const bool converted = iconv(cd, &from, &fromLeft, &to, &toLeft) != static_cast<size_t>(-1);
  iconv_close(cd);
  return converted && fromLeft == 0;
}

// A text the operator sends every counter inside "服务器信息": one field of it, so it may not hold the
// field separator (it would shift the fields after it), nor control characters or characters GBK lacks.
std::string operatorText(const std::string& text, std::string_view what, size_t most) {
  const std::string name(what);
  if (text.size() > most) throw Failure{name + " is longer than " + std::to_string(most) + " bytes", 2};
  if (!text::validUtf8(text)) throw Failure{name + " is not UTF-8", 2};
  if (text.find(counter::protocol::kSeparator) != std::string::npos)
    throw Failure{name + " may not hold the field separator " + std::string(counter::protocol::kSeparator), 2};
  if (text::hasControl(text)) throw Failure{name + " may not hold control characters", 2};
  if (!inGbk(text)) throw Failure{name + " holds characters the counters cannot show (not in GBK)", 2};
  return text;
}

// The day --day names, or today.
std::pair<clock::Millis, clock::Millis> dayRange(const clock::Zone& zone, const std::string& day, clock::Millis now) {
  if (day.empty()) return clock::dayOf(zone, now);
  const auto named = clock::dayNamed(zone, day);
  if (!named) throw Failure{"--day must be YYYY-MM-DD", 2};
  return *named;
}

// Runs one change in a transaction of its own.
template <typename F>
void change(store::Store& st, F&& f) {
  st.begin();
  try {
    f();
    st.commit();
  } catch (...) {
    st.rollback();
    throw;
  }
}

}  // namespace

int run(int argc, char** argv) {
  // The store's files (hub.sqlite3 and its log, which hold the intake keys) are the hub's alone, whatever
  // umask the operator's shell or the service gives.
  umask(S_IRWXG | S_IRWXO);
  CLI::App app{"kassaro-hub: the notification server that Kassaro counters log in to and phones report payments to"};
  app.require_subcommand(1);
  app.fallthrough();
  Options o;
  app.add_option("--config", o.configFile, "configuration file (TOML)")->check(CLI::ExistingFile);
  app.add_option("--data", o.data, "data directory holding the store (default /var/lib/kassaro-hub)");
  app.add_option("--database", o.database,
                 "postgresql://USER@HOST/DB: the store on a PostgreSQL server that several hubs may share "
                 "(default: SQLite in the data directory)");

  auto* serveCmd = app.add_subcommand("serve", "serve counters and phones until SIGTERM");
  serveCmd->add_option("--listen", o.listen, "HOST:PORT to listen on (default 0.0.0.0:9002)");

  auto* account = app.add_subcommand("account", "accounts: add, list, passwd, disable, enable, key");
  account->require_subcommand(1);
  std::string name;
  bool newKey = false;
  auto* accountAdd = account->add_subcommand("add", "add an account; its password is one line on standard input");
  accountAdd->add_option("NAME", name, "account name (6 to 64 bytes)")->required();
  auto* accountList = account->add_subcommand("list", "list the accounts");
  auto* accountPasswd = account->add_subcommand("passwd", "set a new password, one line on standard input");
  accountPasswd->add_option("NAME", name)->required();
  auto* accountDisable = account->add_subcommand("disable", "refuse the account's logins and phone requests");
  accountDisable->add_option("NAME", name)->required();
  auto* accountEnable = account->add_subcommand("enable", "take a disabled account back");
  accountEnable->add_option("NAME", name)->required();
  auto* accountKey = account->add_subcommand("key", "print the account's intake key and addresses");
  accountKey->add_option("NAME", name)->required();
  accountKey->add_flag("--new", newKey, "make a new key first (the old one stops working)");

  auto* notice = app.add_subcommand("notice", "the notice counters show");
  notice->require_subcommand(1);
  std::string text;
  auto* noticeSet = notice->add_subcommand("set", "set the notice");
  noticeSet->add_option("TEXT", text)->required();
  auto* noticeClear = notice->add_subcommand("clear", "no notice");

  auto* maintenance = app.add_subcommand("maintenance", "maintenance on: counters say so and end themselves");
  std::string onOff;
  maintenance->add_option("STATE", onOff, "on or off")->required()->check(CLI::IsMember({"on", "off"}));

  auto* clientVersion = app.add_subcommand("client-version", "the counter version; any other than a counter's own makes it update");
  std::string version, download;
  clientVersion->add_option("VERSION", version)->required();
  clientVersion->add_option("--download", download, "the address counters open to download it");

  auto* bills = app.add_subcommand("bills", "an account's bills of a day");
  std::string day;
  bills->add_option("NAME", name)->required();
  bills->add_option("--day", day, "YYYY-MM-DD (default today, in the hub's time zone)");

  // The recogniser's rules: checking an operator's file, trying a notification on the rules in use.
  auto* rules = app.add_subcommand("rules", "the recogniser's rules: check, try");
  rules->require_subcommand(1);
  std::string rulesFile, package, title;
  auto* rulesCheck = rules->add_subcommand("check", "check a rules file; each error with its line");
  rulesCheck->add_option("FILE", rulesFile)->required();
  auto* rulesTry = rules->add_subcommand("try", "what the hub would make of a notification, and which rule decided");
  rulesTry->add_option("--rules", rulesFile, "an operator's rules file (default: the configuration's rules_file)");
  rulesTry->add_option("--package", package, "the app's package, com.tencent.mm ...")->required();
  rulesTry->add_option("--title", title, "the notification's title");
  rulesTry->add_option("--text", text, "the notification's text");

  auto* notifications = app.add_subcommand("notifications", "an account's notifications that no rule counted, of a day");
  notifications->add_option("NAME", name)->required();
  notifications->add_option("--day", day, "YYYY-MM-DD (default today, in the hub's time zone)");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? 0 : 2;
  }

  try {
    const Config c = configOf(o);
    if (serveCmd->parsed()) return serve(c);
    if (rulesCheck->parsed()) {
      const recognise::Loaded loaded = recognise::readRulesFile(rulesFile);
      for (const auto& error : loaded.errors) std::cerr << error << "\n";
      if (!loaded.errors.empty()) return 1;
      std::cout << rulesFile << ": " << loaded.rules.size() << " rules, no errors\n";
      return 0;
    }
    if (rulesTry->parsed()) {
      recognise::Rules in;
      try {
        in = recognise::loadRules(rulesFile.empty() ? c.rulesFile : std::filesystem::path(rulesFile));
      } catch (const std::exception& e) {
        throw Failure{e.what()};
      }
      const recognise::Result r = recognise::recognise(in, {package, title, text});
      std::string from = "none";
      for (const auto& rule : in.list)
        if (rule.name == r.rule) from = rule.name + " (" + rule.from + ")";
      if (r.payment)
        std::cout << "payment: " << counterWord(r.payment->channel) << " " << money::format(r.payment->fen)
                  << " yuan\nrule: " << from << "\nkey: " << r.payment->key << "\n";
      else
        std::cout << "not a payment: " << r.reason << "\nrule: " << from << "\n"
                  << (r.notCounted ? "kept 7 days as not counted, for the merchant to see\n" : "not kept\n");
      return 0;
    }
    auto st = openStore(c);
    const clock::Millis now = clock::now();
    if (accountAdd->parsed()) {
      if (!counter::protocol::validCredential(name))
        throw Failure{"an account name is 6 to 64 bytes without control characters", 2};
      store::Account a;
      a.name = name;
      a.passwordHash = accounts::hashPassword(readPassword());
      a.intakeKey = accounts::newIntakeKey();
      a.createdAt = now;
      bool added = false;
      change(*st, [&] { added = st->addAccount(a); });
      if (!added) throw Failure{"account " + name + " exists already"};
      std::cout << "account " << name << " added\n";
      printKey(c, accountNamed(*st, name));
    } else if (accountList->parsed()) {
      const clock::Zone zone = zoneOf(c);
      for (const auto& a : st->accounts()) {
        const auto counters = st->countersSeen(a.id);
        clock::Millis lastCounter = 0;
        for (const auto& seen : counters) lastCounter = std::max(lastCounter, seen.lastSeen);
        std::cout << a.name << "\t" << (a.disabled ? "disabled" : "enabled") << "\tcreated "
                  << clock::isoTime(zone, a.createdAt) << "\tphone "
                  << (a.phoneSeenAt ? clock::isoTime(zone, a.phoneSeenAt) : std::string("never")) << "\tcounters "
                  << counters.size();
        if (lastCounter) std::cout << " (last " << clock::isoTime(zone, lastCounter) << ")";
        std::cout << "\n";
      }
    } else if (accountPasswd->parsed()) {
      const auto a = accountNamed(*st, name);
      const std::string hash = accounts::hashPassword(readPassword());
      change(*st, [&] { st->setPasswordHash(a.id, hash); });
      std::cout << "password of " << name << " changed; its counters log in again\n";
    } else if (accountDisable->parsed() || accountEnable->parsed()) {
      const auto a = accountNamed(*st, name);
      const bool disable = accountDisable->parsed();
      change(*st, [&] { st->setDisabled(a.id, disable); });
      std::cout << "account " << name << (disable ? " disabled\n" : " enabled\n");
    } else if (accountKey->parsed()) {
      auto a = accountNamed(*st, name);
      if (newKey) {
        a.intakeKey = accounts::newIntakeKey();
        change(*st, [&] { st->setIntakeKey(a.id, a.intakeKey); });
      }
      printKey(c, a);
    } else if (noticeSet->parsed() || noticeClear->parsed() || maintenance->parsed() || clientVersion->parsed()) {
      change(*st, [&] {
        store::ServerInfo info = st->serverInfo();
        if (noticeSet->parsed()) info.notice = operatorText(text, "the notice", 1000);
        if (noticeClear->parsed()) info.notice.clear();
        if (maintenance->parsed()) info.maintenance = onOff == "on";
        if (clientVersion->parsed()) {
          info.clientVersion = operatorText(version, "the client version", 32);
          if (!download.empty()) info.downloadUrl = operatorText(download, "the download address", 1000);
        }
        st->setServerInfo(info);
      });
      std::cout << "counters are told within 2 s\n";
    } else if (bills->parsed()) {
      const clock::Zone zone = zoneOf(c);
      const auto a = accountNamed(*st, name);
      const auto range = dayRange(zone, day, now);
      money::Fen total = 0;
      const auto list = st->bills(a.id, range.first, range.second);
      for (const auto& b : list) {
        total += b.fen;
        std::cout << b.number << "\t" << clock::isoTime(zone, b.time) << "\t" << counterWord(b.channel) << "\t"
                  << money::format(b.fen);
        if (!b.sourceId.empty()) std::cout << "\tid " << b.sourceId;
        std::cout << "\n";
      }
      std::cout << list.size() << " bills, " << money::format(total) << " yuan\n";
    } else if (notifications->parsed()) {
      const clock::Zone zone = zoneOf(c);
      const auto a = accountNamed(*st, name);
      const auto range = dayRange(zone, day, now);
      const auto list = st->unrecognised(a.id, range.first, range.second, INT64_MAX);
      for (const auto& n : list) {
        std::cout << n.id << "\t" << clock::isoTime(zone, n.receivedAt) << "\t" << n.package << "\t" << n.title
                  << "\t" << n.text << "\t" << n.reason;
        if (n.billNumber) std::cout << "\tcounted by hand as bill " << n.billNumber;
        std::cout << "\n";
      }
      std::cout << list.size() << " notifications not counted\n";
    }
    return 0;
  } catch (const Failure& f) {
    std::cerr << "kassaro-hub: " << f.message << "\n";
    return f.code;
  } catch (const store::Unavailable& e) {
    std::cerr << "kassaro-hub: the store failed: " << e.what() << "\n";
    return 1;
  }
}

}  // namespace hub::cli
