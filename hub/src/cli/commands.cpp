// The operator's commands: each opens what it needs (the store, the rules), does one thing and says what
// it did on standard output.
#include "cli/commands.h"

#include <iconv.h>
#include <termios.h>
#include <unistd.h>

#include <iostream>
#include <optional>

#include "accounts/secrets.h"
#include "common/clock.h"
#include "common/failure.h"
#include "common/text.h"
#include "counter/protocol.h"
#include "recognise/rules_file.h"
#include "serve.h"
#include "store/store.h"

namespace hub::cli {
namespace {

std::unique_ptr<store::Store> openStore(const Config& c) {
  try {
    return store::openStore(c.database, c.data);
  } catch (const store::Unavailable& e) {
    throw Failure(std::string("cannot open the store: ") + e.what());
  }
}

store::Account accountNamed(store::Store& st, const std::string& name) {
  auto account = st.accountByName(name);
  if (!account) throw Refused(1, "no account " + name);
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
  if (!got) throw Refused(2, "no password on standard input");
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (!counter::protocol::validCredential(line))
    throw Refused(2, "a password is 6 to 64 bytes without control characters");
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
  if (cd == reinterpret_cast<iconv_t>(-1)) throw Failure("this system's iconv has no GBK");
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
  if (text.size() > most) throw Refused(2, name + " is longer than " + std::to_string(most) + " bytes");
  if (!text::validUtf8(text)) throw Refused(2, name + " is not UTF-8");
  if (text.find(counter::protocol::kSeparator) != std::string::npos)
    throw Refused(2, name + " may not hold the field separator " + std::string(counter::protocol::kSeparator));
  if (text::hasControl(text)) throw Refused(2, name + " may not hold control characters");
  if (!inGbk(text)) throw Refused(2, name + " holds characters the counters cannot show (not in GBK)");
  return text;
}

// The day --day names, or today.
std::pair<clock::Millis, clock::Millis> dayRange(const clock::Zone& zone, const std::string& day, clock::Millis now) {
  if (day.empty()) return clock::dayOf(zone, now);
  const auto named = clock::dayNamed(zone, day);
  if (!named) throw Refused(2, "--day must be YYYY-MM-DD");
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


// The server information as `edit` leaves it, in a transaction of its own; the serving hubs see the
// store's revision move and tell their counters.
template <typename F>
int changeServerInfo(const Config& c, F&& edit) {
  auto st = openStore(c);
  change(*st, [&] {
    store::ServerInfo info = st->serverInfo();
    edit(info);
    st->setServerInfo(info);
  });
  std::cout << "counters are told within 2 s\n";
  return 0;
}

int setDisabled(const Config& c, const std::string& name, bool disable) {
  auto st = openStore(c);
  const auto a = accountNamed(*st, name);
  change(*st, [&] { st->setDisabled(a.id, disable); });
  std::cout << "account " << name << (disable ? " disabled\n" : " enabled\n");
  return 0;
}

}  // namespace

int serveCommand(const Config& c, const Arguments&) { return serve(c); }

int addAccount(const Config& c, const Arguments& args) {
  auto st = openStore(c);
  if (!counter::protocol::validCredential(args.name))
    throw Refused(2, "an account name is 6 to 64 bytes without control characters");
  store::Account a;
  a.name = args.name;
  a.passwordHash = accounts::hashPassword(readPassword());
  a.intakeKey = accounts::newIntakeKey();
  a.createdAt = clock::now();
  bool added = false;
  change(*st, [&] { added = st->addAccount(a); });
  if (!added) throw Refused(1, "account " + args.name + " exists already");
  std::cout << "account " << args.name << " added\n";
  printKey(c, accountNamed(*st, args.name));
  return 0;
}

int listAccounts(const Config& c, const Arguments&) {
  auto st = openStore(c);
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
  return 0;
}

int changePassword(const Config& c, const Arguments& args) {
  auto st = openStore(c);
  const auto a = accountNamed(*st, args.name);
  const std::string hash = accounts::hashPassword(readPassword());
  change(*st, [&] { st->setPasswordHash(a.id, hash); });
  std::cout << "password of " << args.name << " changed; its counters log in again\n";
  return 0;
}

int disableAccount(const Config& c, const Arguments& args) { return setDisabled(c, args.name, true); }

int enableAccount(const Config& c, const Arguments& args) { return setDisabled(c, args.name, false); }

int printAccountKey(const Config& c, const Arguments& args) {
  auto st = openStore(c);
  auto a = accountNamed(*st, args.name);
  if (args.newKey) {
    a.intakeKey = accounts::newIntakeKey();
    change(*st, [&] { st->setIntakeKey(a.id, a.intakeKey); });
  }
  printKey(c, a);
  return 0;
}

int setNotice(const Config& c, const Arguments& args) {
  return changeServerInfo(c,
                          [&](store::ServerInfo& info) { info.notice = operatorText(args.text, "the notice", 1000); });
}

int clearNotice(const Config& c, const Arguments&) {
  return changeServerInfo(c, [](store::ServerInfo& info) { info.notice.clear(); });
}

int setMaintenance(const Config& c, const Arguments& args) {
  return changeServerInfo(c, [&](store::ServerInfo& info) { info.maintenance = args.onOff == "on"; });
}

int setClientVersion(const Config& c, const Arguments& args) {
  return changeServerInfo(c, [&](store::ServerInfo& info) {
    info.clientVersion = operatorText(args.version, "the client version", 32);
    if (!args.download.empty()) info.downloadUrl = operatorText(args.download, "the download address", 1000);
  });
}

int printBills(const Config& c, const Arguments& args) {
  auto st = openStore(c);
  const clock::Zone zone = zoneOf(c);
  const auto a = accountNamed(*st, args.name);
  const auto range = dayRange(zone, args.day, clock::now());
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
  return 0;
}

int printNotifications(const Config& c, const Arguments& args) {
  auto st = openStore(c);
  const clock::Zone zone = zoneOf(c);
  const auto a = accountNamed(*st, args.name);
  const auto range = dayRange(zone, args.day, clock::now());
  const auto list = st->unrecognised(a.id, range.first, range.second, INT64_MAX);
  for (const auto& n : list) {
    std::cout << n.id << "\t" << clock::isoTime(zone, n.receivedAt) << "\t" << n.package << "\t" << n.title
              << "\t" << n.text << "\t" << n.reason;
    if (n.billNumber) std::cout << "\tcounted by hand as bill " << n.billNumber;
    std::cout << "\n";
  }
  std::cout << list.size() << " notifications not counted\n";
  return 0;
}

int checkRules(const Config&, const Arguments& args) {
  const recognise::Loaded loaded = recognise::readRulesFile(args.rulesFile);
  for (const auto& error : loaded.errors) std::cerr << error << "\n";
  if (!loaded.errors.empty()) return 1;
  std::cout << args.rulesFile << ": " << loaded.rules.size() << " rules, no errors\n";
  return 0;
}

// What the hub would make of a notification, on the configuration's rules or the file named.
int tryRules(const Config& c, const Arguments& args) {
  const recognise::Rules in =
      recognise::loadRules(args.rulesFile.empty() ? c.rulesFile : std::filesystem::path(args.rulesFile));
  const recognise::Result r = recognise::recognise(in, {args.package, args.title, args.text});
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

}  // namespace hub::cli
