#include "cli/cli.h"

#include <sys/stat.h>

#include <CLI/CLI.hpp>

#include <iostream>
#include <utility>
#include <vector>

#include "cli/commands.h"
#include "common/config.h"
#include "common/failure.h"
#include "common/log.h"
#include "store/store.h"

namespace hub::cli {
namespace {

struct Options {
  std::string configFile;
  std::string data;
  std::string database;
  std::string listen;
};

Config configOf(const Options& o) {
  Config c;
  if (!o.configFile.empty()) c = readConfig(o.configFile);
  if (!o.data.empty()) c.data = o.data;
  if (!o.database.empty()) c.database = o.database;
  if (!o.listen.empty()) c.listen = o.listen;
  if (const auto level = log::levelNamed(c.logLevel))
    log::setLevel(*level);
  else
    throw Refused(2, "log_level must be debug, info, warn or error");
  return c;
}

// The command the line names, run on the configuration; a refusal or a failure is one line on standard
// error and the exit code.
int runCommand(Command command, const Options& o, const Arguments& args) {
  try {
    return command(configOf(o), args);
  } catch (const Refused& refused) {
    std::cerr << "kassaro-hub: " << refused.what() << "\n";
    return refused.status;
  } catch (const store::Unavailable& e) {
    std::cerr << "kassaro-hub: the store failed: " << e.what() << "\n";
    return 1;
  } catch (const Failure& failure) {
    std::cerr << "kassaro-hub: " << failure.what() << "\n";
    return 1;
  } catch (const std::exception& e) {
    // Neither the operator's fault nor the outside's: a fault of ours, said as one rather than a crash.
    std::cerr << "kassaro-hub: defect: " << e.what() << "\n";
    return 70;
  }
}

// Each command the line may name, and the function that runs it.
using Table = std::vector<std::pair<CLI::App*, Command>>;

void defineAccountCommands(CLI::App& app, Arguments& a, Table& table) {
  auto* account = app.add_subcommand("account", "accounts: add, list, passwd, disable, enable, key");
  account->require_subcommand(1);
  auto* add = account->add_subcommand("add", "add an account; its password is one line on standard input");
  add->add_option("NAME", a.name, "account name (6 to 64 bytes)")->required();
  auto* list = account->add_subcommand("list", "list the accounts");
  auto* passwd = account->add_subcommand("passwd", "set a new password, one line on standard input");
  passwd->add_option("NAME", a.name)->required();
  auto* disable = account->add_subcommand("disable", "refuse the account's logins and phone requests");
  disable->add_option("NAME", a.name)->required();
  auto* enable = account->add_subcommand("enable", "take a disabled account back");
  enable->add_option("NAME", a.name)->required();
  auto* key = account->add_subcommand("key", "print the account's intake key and addresses");
  key->add_option("NAME", a.name)->required();
  key->add_flag("--new", a.newKey, "make a new key first (the old one stops working)");
  table.insert(table.end(), {{add, addAccount},
                             {list, listAccounts},
                             {passwd, changePassword},
                             {disable, disableAccount},
                             {enable, enableAccount},
                             {key, printAccountKey}});
}

// What every counter is told: the notice, maintenance, the version they should run.
void defineServerInfoCommands(CLI::App& app, Arguments& a, Table& table) {
  auto* notice = app.add_subcommand("notice", "the notice counters show");
  notice->require_subcommand(1);
  auto* noticeSet = notice->add_subcommand("set", "set the notice");
  noticeSet->add_option("TEXT", a.text)->required();
  auto* noticeClear = notice->add_subcommand("clear", "no notice");
  auto* maintenance = app.add_subcommand("maintenance", "maintenance on: counters say so and end themselves");
  maintenance->add_option("STATE", a.onOff, "on or off")->required()->check(CLI::IsMember({"on", "off"}));
  auto* clientVersion =
      app.add_subcommand("client-version", "the counter version; any other than a counter's own makes it update");
  clientVersion->add_option("VERSION", a.version)->required();
  clientVersion->add_option("--download", a.download, "the address counters open to download it");
  table.insert(table.end(), {{noticeSet, setNotice},
                             {noticeClear, clearNotice},
                             {maintenance, setMaintenance},
                             {clientVersion, setClientVersion}});
}

// An account's day, and the recogniser's rules: checking an operator's file, trying a notification on
// the rules in use.
void defineReadingCommands(CLI::App& app, Arguments& a, Table& table) {
  auto* bills = app.add_subcommand("bills", "an account's bills of a day");
  bills->add_option("NAME", a.name)->required();
  bills->add_option("--day", a.day, "YYYY-MM-DD (default today, in the hub's time zone)");
  auto* rules = app.add_subcommand("rules", "the recogniser's rules: check, try");
  rules->require_subcommand(1);
  auto* rulesCheck = rules->add_subcommand("check", "check a rules file; each error with its line");
  rulesCheck->add_option("FILE", a.rulesFile)->required();
  auto* rulesTry = rules->add_subcommand("try", "what the hub would make of a notification, and which rule decided");
  rulesTry->add_option("--rules", a.rulesFile, "an operator's rules file (default: the configuration's rules_file)");
  rulesTry->add_option("--package", a.package, "the app's package, com.tencent.mm ...")->required();
  rulesTry->add_option("--title", a.title, "the notification's title");
  rulesTry->add_option("--text", a.text, "the notification's text");
  auto* notifications =
      app.add_subcommand("notifications", "an account's notifications that no rule counted, of a day");
  notifications->add_option("NAME", a.name)->required();
  notifications->add_option("--day", a.day, "YYYY-MM-DD (default today, in the hub's time zone)");
  table.insert(table.end(), {{bills, printBills},
                             {rulesCheck, checkRules},
                             {rulesTry, tryRules},
                             {notifications, printNotifications}});
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
  Arguments args;
  Table table{{serveCmd, serveCommand}};
  defineAccountCommands(app, args, table);
  defineServerInfoCommands(app, args, table);
  defineReadingCommands(app, args, table);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? 0 : 2;
  }
  for (const auto& [command, runs] : table)
    if (command->parsed()) return runCommand(runs, o, args);
  return 0;
}

}  // namespace hub::cli
